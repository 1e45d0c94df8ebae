// Command block layout, the opcode rule, the tag generator and the per-command fields, checked
// byte for byte on what the transport writes.
#include <gtest/gtest.h>

#include <set>

#include "device/ZRUsbComm.h"
#include "tests/device_comm/TestDoubles.h"

namespace {

using namespace zr;

TEST(OpcodeRule, DirectionAndLengthFollowTheOpcodeTable) {
    for (uint8_t op : {0x00, 0x01, 0x1A, 0x1B, 0x20, 0x2B, 0xAA}) {
        EXPECT_EQ(TraitsForOpcode(op).flags, 0x80) << int(op);
        EXPECT_EQ(TraitsForOpcode(op).commandLength, 6) << int(op);
    }
    for (uint8_t op : {0x03, 0x04, 0x14, 0x17, 0x21, 0x24, 0x27, 0x28}) {
        EXPECT_EQ(TraitsForOpcode(op).flags, 0x80) << int(op);
        EXPECT_EQ(TraitsForOpcode(op).commandLength, 10) << int(op);
    }
    for (uint8_t op : {0x05, 0x06, 0x0B, 0x15, 0x18, 0x19, 0x1F, 0x22, 0x23, 0x25, 0x26}) {
        EXPECT_EQ(TraitsForOpcode(op).flags, 0x00) << int(op);
        EXPECT_EQ(TraitsForOpcode(op).commandLength, 10) << int(op);
    }
    for (uint8_t op : {0x16, 0x1E, 0x2A, 0xFF}) {
        EXPECT_EQ(TraitsForOpcode(op).flags, 0x00) << int(op);
        EXPECT_EQ(TraitsForOpcode(op).commandLength, 6) << int(op);
    }
    EXPECT_EQ(TraitsForOpcode(0x12).commandLength, 0);
    EXPECT_EQ(TraitsForOpcode(0xFE).flags, 0);
}

TEST(TagSource, TagIsFourScaledDrawsOfTheFifteenBitGenerator) {
    uint32_t state = 12345;
    const auto draw = [&state] {
        state = state * 1103515245u + 12345u;
        return (state >> 16) & 0x7FFF;
    };
    TagSource tags(12345);
    for (int i = 0; i < 100; ++i) {
        uint32_t expected = 0;
        for (int k = 0; k < 4; ++k) {
            expected = expected * 256 + draw() * 256 / 32768;
        }
        EXPECT_EQ(tags.NextTag(), expected);
    }
}

TEST(TagSource, ObjectsDrawDifferentSequences) {
    std::set<uint32_t> seeds;
    for (int i = 0; i < 64; ++i) {
        seeds.insert(TagSource::FreshSeed());
    }
    EXPECT_GT(seeds.size(), 60u);
}

class FieldTest : public ::testing::Test {
  protected:
    std::vector<std::string> events;
    ScriptedPipes pipes{events};
    FakeClock clock;
    CZRUsbComm comm{nullptr, 0, pipes, clock};

    std::vector<uint8_t> Block() { return pipes.LastCommandBlock(); }
    uint8_t Cb(size_t i) { return Block().at(kCbwCb + i); }
    void Answer(size_t dataBytes) {
        pipes.reads.clear();
        if (dataBytes > 0) {
            pipes.reads.push_back(ScriptedPipes::Bytes(std::vector<uint8_t>(dataBytes, 0)));
        }
        pipes.reads.push_back(ScriptedPipes::Status(0));
    }
};

TEST_F(FieldTest, SectorReadCarriesBigEndianAddressAndCount) {
    std::vector<uint8_t> buf(3 * 512);
    Answer(buf.size());
    ASSERT_EQ(comm.ZRU_ReadLBA("p", 0x01020304, 3, buf.data(), 0x5A), 0);
    const std::vector<uint8_t> b = Block();
    EXPECT_EQ(GetLe32(b.data()), kCommandSignature);
    EXPECT_EQ(GetLe32(b.data() + kCbwDataLength), 3u * 512);
    EXPECT_EQ(b[kCbwFlags], 0x80);
    EXPECT_EQ(b[kCbwLun], 0);
    EXPECT_EQ(b[kCbwCbLength], 10);
    const uint8_t cb[16] = {0x14, 0x5A, 1, 2, 3, 4, 0, 0, 3, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(std::vector<uint8_t>(b.begin() + kCbwCb, b.end()), std::vector<uint8_t>(cb, cb + 16));
}

TEST_F(FieldTest, VendorItemAddressPacksIdAndType) {
    std::vector<uint8_t> buf(600);
    Answer(600);
    ASSERT_EQ(comm.ZRU_ReadVendorRpmb("p", 0x0143, 7, buf.data(), 600), 0);
    EXPECT_EQ(Cb(0), 0x27);
    EXPECT_EQ(Cb(2), 0x01);
    EXPECT_EQ(Cb(3), 0x43);
    EXPECT_EQ(Cb(4), 0);
    EXPECT_EQ(Cb(5), 7);
    EXPECT_EQ(GetBe16(Block().data() + kCbwCb + 7), 600);
    EXPECT_EQ(GetLe32(Block().data() + kCbwDataLength), 600u);

    Answer(0);
    ASSERT_EQ(comm.ZRU_WriteVendorRpmb("p", 0x0008, 0, buf.data(), 156), 0);
    EXPECT_EQ(Cb(0), 0x26);
    EXPECT_EQ(Block()[kCbwFlags], 0);
    EXPECT_EQ(pipes.writes.back().size(), 156u);
}

TEST_F(FieldTest, ComDataLeavesLengthAndAddressAtZero) {
    std::vector<uint8_t> buf(1024);
    Answer(1024);
    ASSERT_EQ(comm.ZRU_ReadComData("p", buf.data(), 2), 0);
    EXPECT_EQ(GetLe32(Block().data() + kCbwDataLength), 0u);
    EXPECT_EQ(GetBe32(Block().data() + kCbwCb + 2), 0u);
    EXPECT_EQ(GetBe16(Block().data() + kCbwCb + 7), 2);
}

TEST_F(FieldTest, Command21KeepsTheFullSizeInTheLengthField) {
    std::vector<uint8_t> buf(0x2345);
    Answer(0x2345);
    ASSERT_EQ(comm.ZRU_Command21("p", 0xA0B0C0D0, 0x12345, buf.data()), 0);
    EXPECT_EQ(GetLe32(Block().data() + kCbwDataLength), 0x12345u);
    EXPECT_EQ(GetBe16(Block().data() + kCbwCb + 7), 0x2345);
    EXPECT_EQ(GetBe32(Block().data() + kCbwCb + 2), 0xA0B0C0D0u);
    EXPECT_NE(std::find(events.begin(), events.end(), "read 9029"), events.end());
}

TEST_F(FieldTest, Command23ModeZeroPutsTheAddressInBytesThirteenAndFourteen) {
    uint8_t buf[16] = {};
    Answer(0);
    ASSERT_EQ(comm.ZRU_Command23("p", 0xBEEF, 16, buf, 0), 0);
    EXPECT_EQ(GetBe16(Block().data() + kCbwCb + 13), 0xBEEF);
    EXPECT_EQ(GetBe32(Block().data() + kCbwCb + 2), 0u);
    EXPECT_EQ(GetBe16(Block().data() + kCbwCb + 7), 16);

    Answer(0);
    ASSERT_EQ(comm.ZRU_Command23("p", 0xBEEF, 16, buf, 1), 0);
    EXPECT_EQ(GetBe32(Block().data() + kCbwCb + 2), 0xBEEFu);
    EXPECT_EQ(GetBe16(Block().data() + kCbwCb + 13), 0);
}

TEST_F(FieldTest, LunAndSelectorBytes) {
    uint8_t buf[64];
    Answer(64);
    ASSERT_EQ(comm.ZRU_Command03("p", 3, 9, 512, buf), 0);
    EXPECT_EQ(Block()[kCbwLun], 3);
    EXPECT_EQ(GetBe16(Block().data() + kCbwCb + 7), 512);
    Answer(0);
    ASSERT_EQ(comm.ZRU_Command19("p"), 0);
    EXPECT_EQ(Cb(1), 0xAA);
    Answer(0);
    ASSERT_EQ(comm.ZRU_BlockCommand("p", 2, 0x11223344, 16, 0x42), 0);
    EXPECT_EQ(Block()[kCbwLun], 2);
    EXPECT_EQ(Cb(0), 0x42);
    EXPECT_EQ(Block()[kCbwCbLength], 0);  // outside the opcode rule
    EXPECT_EQ(GetBe32(Block().data() + kCbwCb + 2), 0x11223344u);
}

TEST_F(FieldTest, EachCommandDrawsAFreshTag) {
    Answer(0);
    ASSERT_EQ(comm.ZRU_Command16("p"), 0);
    const uint32_t first = GetLe32(Block().data() + kCbwTag);
    Answer(0);
    ASSERT_EQ(comm.ZRU_Command16("p"), 0);
    EXPECT_NE(GetLe32(Block().data() + kCbwTag), first);
}

}  // namespace
