// The emulated loader at the bulk-endpoint level: framing, stalls, packet semantics, the reset
// hook, and resilience against hostile or concurrent traffic.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <random>
#include <thread>

#include "device/ZRTransport.h"
#include "platform/sim/LoaderEmulator.h"
#include "tests/device_comm/TestDoubles.h"

namespace {

using namespace zr;

std::vector<uint8_t> Cbw(uint8_t opcode, uint32_t tag, uint32_t address = 0, uint16_t count = 0,
                         uint32_t length = 0) {
    std::vector<uint8_t> b(kCommandBlockSize);
    BuildCommandBlock(b.data(), opcode, tag);
    PutBe32(b.data() + kCbwCb + 2, address);
    PutBe16(b.data() + kCbwCb + 7, count);
    PutLe32(b.data() + kCbwDataLength, length);
    return b;
}

class LoaderEmulatorTest : public ::testing::Test {
  protected:
    FakeClock clock;
    LoaderEmulator device{LoaderConfig{}, clock};

    long Out(const std::vector<uint8_t>& bytes) {
        return device.BulkOut(bytes.data(), bytes.size());
    }
    std::vector<uint8_t> In(size_t size, long* got) {
        std::vector<uint8_t> buf(size);
        *got = device.BulkIn(buf.data(), buf.size());
        buf.resize(*got > 0 ? static_cast<size_t>(*got) : 0);
        return buf;
    }
    // A test-ready round; true when the device answered in step.
    bool Ready(uint32_t tag) {
        long n = 0;
        if (Out(Cbw(0x00, tag)) != 31) {
            return false;
        }
        const std::vector<uint8_t> csw = In(13, &n);
        return n == 13 && GetLe32(csw.data() + 4) == tag;
    }
};

TEST_F(LoaderEmulatorTest, DescriptorFactsTellLoaderFromRomMode) {
    EXPECT_EQ(device.BcdUsb() & 1, 1);
    LoaderConfig rom;
    rom.bcdUsb = 0x0200;
    LoaderEmulator romDevice(rom, clock);
    EXPECT_EQ(romDevice.BcdUsb() & 1, 0);
    EXPECT_EQ(device.VendorId(), LoaderConfig{}.vendorId);
}

TEST_F(LoaderEmulatorTest, StatusEchoesTheTagWithTheResidue) {
    ASSERT_EQ(Out(Cbw(0x14, 0xCAFEF00D, 0, 1, 1024)), 31);
    long n = 0;
    std::vector<uint8_t> data = In(512, &n);
    ASSERT_EQ(n, 512);
    const std::vector<uint8_t> csw = In(13, &n);
    ASSERT_EQ(n, 13);
    EXPECT_EQ(GetLe32(csw.data()), kStatusSignature);
    EXPECT_EQ(GetLe32(csw.data() + 4), 0xCAFEF00Du);
    EXPECT_EQ(GetLe32(csw.data() + 8), 512u);  // asked for 1024, sent 512
    EXPECT_EQ(csw[12], 0);
}

TEST_F(LoaderEmulatorTest, GarbageCommandBlocksStallUntilTheHaltIsCleared) {
    std::vector<uint8_t> bad = Cbw(0x00, 1);
    bad[0] = 'X';
    EXPECT_EQ(Out(bad), -1);
    EXPECT_FALSE(Ready(2));  // still halted
    device.ClearHalt();
    EXPECT_TRUE(Ready(3));

    std::vector<uint8_t> shortBlock = Cbw(0x00, 4);
    shortBlock.pop_back();
    EXPECT_EQ(Out(shortBlock), -1);
    device.ClearHalt();
    std::vector<uint8_t> longCb = Cbw(0x00, 5);
    longCb[kCbwCbLength] = 17;
    EXPECT_EQ(Out(longCb), -1);
    device.ClearHalt();
    EXPECT_EQ(device.BulkOut(nullptr, 31), -1);
    device.ClearHalt();
    EXPECT_TRUE(Ready(6));
    EXPECT_EQ(device.StallCount(), 4u);
}

TEST_F(LoaderEmulatorTest, OutOfStepTransfersStall) {
    long n = 0;
    In(13, &n);
    EXPECT_EQ(n, -1);  // nothing to send
    device.ClearHalt();
    ASSERT_EQ(Out(Cbw(0x14, 1, 0, 1, 512)), 31);
    EXPECT_EQ(Out(Cbw(0x00, 2)), -1);  // the sector was not read first
    device.ClearHalt();
    ASSERT_EQ(Out(Cbw(0x14, 3, 0, 2, 1024)), 31);
    In(13, &n);
    EXPECT_EQ(n, -1);  // part of a packet: overflow
    device.ClearHalt();
    ASSERT_EQ(Out(Cbw(0x15, 4, 0, 1, 512)), 31);
    EXPECT_EQ(Out(std::vector<uint8_t>(513, 0)), -1);  // more than the command carries
    device.ClearHalt();
    EXPECT_TRUE(Ready(5));
}

// A transfer the host started before the device left its port must not reach the device after
// it is plugged in again: that would leave the new attachment halted or half-way through a
// command nobody is waiting for.
TEST_F(LoaderEmulatorTest, TransfersOfAnEndedAttachmentFailWithoutTouchingTheDevice) {
    const uint64_t first = device.OnAttached();
    EXPECT_NE(first, LoaderEmulator::kAnyAttachment);
    std::vector<uint8_t> cbw = Cbw(0x00, 1);
    ASSERT_EQ(device.BulkOut(cbw.data(), cbw.size(), first), 31);
    device.OnDetached();
    const uint64_t second = device.OnAttached();  // the half-done command is dropped
    EXPECT_NE(second, first);

    uint8_t csw[13] = {};
    EXPECT_EQ(device.BulkIn(csw, sizeof csw, first), -1);
    cbw = Cbw(0x00, 2);
    EXPECT_EQ(device.BulkOut(cbw.data(), cbw.size(), first), -1);
    device.ClearHalt(first);
    EXPECT_EQ(device.StallCount(), 0u);
    EXPECT_EQ(device.ClearHaltCount(), 0u);

    cbw = Cbw(0x00, 3);
    ASSERT_EQ(device.BulkOut(cbw.data(), cbw.size(), second), 31);
    ASSERT_EQ(device.BulkIn(csw, sizeof csw, second), 13);
    EXPECT_EQ(GetLe32(csw + 4), 3u);
    EXPECT_TRUE(Ready(4));  // a caller without attachment numbers is not affected
}

TEST_F(LoaderEmulatorTest, DataOutMayArriveInPieces) {
    ASSERT_EQ(Out(Cbw(0x15, 1, 9, 1, 512)), 31);
    EXPECT_EQ(Out(std::vector<uint8_t>(200, 0xAA)), 200);
    EXPECT_EQ(Out(std::vector<uint8_t>(312, 0xAA)), 312);
    long n = 0;
    const std::vector<uint8_t> csw = In(13, &n);
    ASSERT_EQ(n, 13);
    EXPECT_EQ(csw[12], 0);
    std::vector<uint8_t> sector(512);
    device.ReadSectors(9, 1, sector.data());
    EXPECT_EQ(sector, std::vector<uint8_t>(512, 0xAA));
}

TEST_F(LoaderEmulatorTest, ShortPacketEndsTheTransferButFullPacketsRunIntoTheStatus) {
    ASSERT_EQ(Out(Cbw(0xAA, 1, 0, 0, 8)), 31);
    long n = 0;
    In(13, &n);
    EXPECT_EQ(n, 8);
    In(13, &n);
    EXPECT_EQ(n, 13);

    ASSERT_EQ(Out(Cbw(0x14, 2, 0, 1, 512)), 31);
    In(2048, &n);
    EXPECT_EQ(n, 512 + 13);
    EXPECT_TRUE(Ready(3));
}

TEST_F(LoaderEmulatorTest, ResetAnswersItsStatusThenAsksTheHostToTakeItAway) {
    std::vector<ResetRequest> requests;
    bool offBusInCallback = false;
    device.onResetRequested = [&](const ResetRequest& r) {
        requests.push_back(r);
        offBusInCallback = device.IsOffBus();
    };
    std::vector<uint8_t> reset = Cbw(0xFF, 1);
    reset[kCbwCb + 1] = 1;
    ASSERT_EQ(Out(reset), 31);
    EXPECT_TRUE(requests.empty());
    long n = 0;
    In(13, &n);
    EXPECT_EQ(n, 13);
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_TRUE(offBusInCallback);
    EXPECT_EQ(requests[0].subCode, 1);
    EXPECT_EQ(requests[0].delayMs, LoaderConfig{}.resetReturnDelayMs);
    EXPECT_FALSE(requests[0].noReturn);
    EXPECT_FALSE(Ready(2));
    device.OnReturnedFromReset();
    EXPECT_TRUE(Ready(3));

    LoaderFaults faults;
    faults.returnAtOtherPort = true;
    device.SetFaults(faults);
    reset = Cbw(0xFF, 4);
    reset[kCbwCb + 1] = 1;
    ASSERT_EQ(Out(reset), 31);
    In(13, &n);
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_TRUE(requests[1].returnAtOtherPort);
    device.OnReturnedFromReset();

    ASSERT_EQ(Out(Cbw(0xFF, 5)), 31);  // sub-code 0: boots the system
    In(13, &n);
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_TRUE(requests[2].noReturn);
    EXPECT_EQ(device.ResetCount(), 3u);
}

TEST_F(LoaderEmulatorTest, UnplugIsReportedToTheHost) {
    int unplugs = 0;
    device.onUnplugRequested = [&] { ++unplugs; };
    LoaderFaults faults;
    faults.unplugAtCommand = 2;
    device.SetFaults(faults);
    EXPECT_TRUE(Ready(1));
    EXPECT_EQ(Out(Cbw(0x00, 2)), -1);
    EXPECT_EQ(unplugs, 1);
    EXPECT_TRUE(device.IsOffBus());
    device.ClearHalt();
    EXPECT_FALSE(Ready(3));
}

TEST_F(LoaderEmulatorTest, LatencyIsSpentOnTheInjectedClock) {
    LoaderFaults faults;
    faults.latencyPerCommandMs = 7;
    faults.latencyPerByteNs = 1000000 / 512;  // about 1 ms per sector
    device.SetFaults(faults);
    ASSERT_EQ(Out(Cbw(0x14, 1, 0, 64, 64 * 512)), 31);
    long n = 0;
    In(64 * 512, &n);
    ASSERT_EQ(n, 64 * 512);
    const std::vector<uint32_t> sleeps = clock.Sleeps();
    ASSERT_EQ(sleeps.size(), 2u);
    EXPECT_EQ(sleeps[0], 7u);
    EXPECT_EQ(sleeps[1], 63u);
}

TEST_F(LoaderEmulatorTest, RandomTrafficNeverCrashesAndTheDeviceRecovers) {
    std::mt19937 rng(20240307);
    const uint8_t ops[] = {0x00, 0x01, 0x03, 0x04, 0x05, 0x14, 0x15, 0x1A, 0x1B, 0x20,
                           0x21, 0x22, 0x23, 0x24, 0x26, 0x27, 0x28, 0x2B, 0xAA, 0x77};
    std::vector<uint8_t> buf(70000);
    for (int i = 0; i < 4000; ++i) {
        const uint32_t pick = rng() % 10;
        if (pick < 4) {
            std::vector<uint8_t> cbw(kCommandBlockSize);
            for (uint8_t& b : cbw) {
                b = static_cast<uint8_t>(rng());
            }
            if (rng() % 4 != 0) {
                PutLe32(cbw.data(), kCommandSignature);
                cbw[kCbwCb] = ops[rng() % sizeof(ops)];
                cbw[kCbwCb + 7] &= 0x03;  // keep most data phases small
                cbw[kCbwCbLength] %= 17;
            }
            Out(cbw);
        } else if (pick < 7) {
            device.BulkIn(buf.data(), rng() % 3000);
        } else if (pick < 9) {
            device.BulkOut(buf.data(), rng() % 3000);
        } else {
            device.ClearHalt();
        }
    }
    device.ClearHalt();
    EXPECT_TRUE(Ready(0x12345678));
}

TEST(LoaderEmulatorConcurrency, TrafficFromSeveralThreadsIsSerialised) {
    LoaderEmulator device;
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; ++t) {
        threads.emplace_back([&device, &stop, t] {
            std::vector<uint8_t> buf(1024);
            uint32_t tag = static_cast<uint32_t>(t) << 24;
            for (int i = 0; i < 2000 && !stop; ++i) {
                std::vector<uint8_t> cbw(kCommandBlockSize);
                BuildCommandBlock(cbw.data(), i % 2 == 0 ? 0x00 : 0x14, ++tag);
                PutBe16(cbw.data() + kCbwCb + 7, 1);
                device.BulkOut(cbw.data(), cbw.size());
                device.BulkIn(buf.data(), i % 3 == 0 ? 13 : 512);
                if (i % 7 == 0) {
                    device.ClearHalt();
                }
                LoaderFaults f = device.Faults();
                f.wrongTagCount = static_cast<uint32_t>(i % 2);
                device.SetFaults(f);
            }
        });
    }
    for (std::thread& th : threads) {
        th.join();
    }
    device.ClearHalt();
    device.SetFaults(LoaderFaults{});
    std::vector<uint8_t> cbw(kCommandBlockSize);
    BuildCommandBlock(cbw.data(), 0x00, 99);
    ASSERT_EQ(device.BulkOut(cbw.data(), cbw.size()), 31);
    uint8_t csw[13];
    ASSERT_EQ(device.BulkIn(csw, 13), 13);
    EXPECT_EQ(GetLe32(csw + 4), 99u);
    EXPECT_GT(device.CommandCount(), 100u);
}

}  // namespace
