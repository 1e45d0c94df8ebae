// Demo device content and the sparse store, checked against a real partitioning tool where one
// is installed.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include <unistd.h>

#include "device/ZRTransport.h"
#include "device/ZRUsbComm.h"
#include "platform/sim/DemoImage.h"
#include "platform/sim/EmulatorPipes.h"
#include "tests/device_comm/TestDoubles.h"

namespace {

std::string TempPath(const char* name) {
    return std::string(KS_BINARY_DIR) + "/device_comm_" + std::to_string(::getpid()) + "_" + name;
}

bool HaveSfdisk() {
    return std::system("sfdisk --version >/dev/null 2>&1") == 0;
}

std::string RunCapture(const std::string& command) {
    std::string out;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return out;
    }
    char buf[4096];
    size_t n = 0;
    while ((n = std::fread(buf, 1, sizeof(buf), pipe)) > 0) {
        out.append(buf, n);
    }
    ::pclose(pipe);
    return out;
}

// The GPT entry name as the station reads it: UTF-16 from byte 56 up to a zero unit.
std::string EntryName(const uint8_t* entry) {
    std::string name;
    for (size_t i = 0; i < 36; ++i) {
        const uint16_t unit = zr::GetLe16(entry + 56 + 2 * i);
        if (unit == 0) {
            break;
        }
        name += static_cast<char>(unit);
    }
    return name;
}

TEST(SectorStore, UnwrittenSectorsReadAsZeroAndWritesSpanChunks) {
    SectorStore store;
    std::vector<uint8_t> data(300 * 512);
    for (size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<uint8_t>(i / 512 + 1);
    }
    ASSERT_TRUE(store.Write(100, 300, data.data()));
    std::vector<uint8_t> back(302 * 512, 0xFF);
    ASSERT_TRUE(store.Read(99, 302, back.data()));
    EXPECT_EQ(back[0], 0);
    EXPECT_TRUE(std::equal(data.begin(), data.end(), back.begin() + 512));
    EXPECT_EQ(back[301 * 512], 0);
    EXPECT_EQ(store.ChunkCount(), 4u);  // sectors 99..401 touch chunks 0..3
}

TEST(SectorStore, RangesPastTheTopOfTheAddressSpaceAreRefused) {
    SectorStore store;
    uint8_t sector[1024] = {};
    EXPECT_TRUE(store.Write(0xFFFFFFFF, 1, sector));
    EXPECT_FALSE(store.Write(0xFFFFFFFF, 2, sector));
    EXPECT_FALSE(store.Read(0xFFFFFFFF, 2, sector));
    EXPECT_FALSE(store.LoadBytes(0xFFFFFFFF, sector, 513));
}

TEST(SectorStore, LoadedBytesArePaddedAndZeroStretchesStaySparse) {
    SectorStore store;
    std::vector<uint8_t> image(1024 * 1024, 0);
    image[5] = 1;
    image[image.size() - 1] = 2;
    ASSERT_TRUE(store.LoadBytes(0, image.data(), image.size() - 100));
    EXPECT_EQ(store.ChunkCount(), 1u);  // the byte at the end lies beyond what was loaded
    ASSERT_TRUE(store.LoadBytes(0, image.data(), image.size()));
    EXPECT_EQ(store.ChunkCount(), 2u);
    uint8_t last[512];
    ASSERT_TRUE(store.Read(2047, 1, last));
    EXPECT_EQ(last[511], 2);
}

TEST(DemoImage, GptIsReadableByTheStationsRules) {
    auto device = MakeDemoLoader(3);
    std::vector<uint8_t> gpt(34 * 512);
    ASSERT_TRUE(device->ReadSectors(0, 34, gpt.data()));
    EXPECT_EQ(std::memcmp(gpt.data() + 512, "EFI PART", 8), 0);
    const uint32_t entries = zr::GetLe32(gpt.data() + 592);
    EXPECT_EQ(entries, 128u);
    const DemoFacts facts = DemoLoaderFacts(3);
    bool found = false;
    for (uint32_t i = 0; i < entries; ++i) {
        const uint8_t* e = gpt.data() + 1024 + 128 * i;
        if (std::all_of(e, e + 128, [](uint8_t b) { return b == 0; })) {
            break;
        }
        if (EntryName(e) == "misc") {
            found = true;
            const uint32_t first = zr::GetLe32(e + 32);
            const uint32_t count = zr::GetLe32(e + 40) - first + 1;
            EXPECT_EQ(first, facts.miscFirst);
            EXPECT_EQ(first + count - 128, facts.keyAreaSector);
        }
    }
    EXPECT_TRUE(found);
    EXPECT_EQ(facts.serial, "KSDEMO0003");
}

TEST(DemoImage, ParameterFileLayouts) {
    auto at0 = MakeDemoLoader(1, DemoLayout::kParameterAt0);
    auto at8192 = MakeDemoLoader(1, DemoLayout::kParameterAt8192);
    uint8_t head[1024];
    ASSERT_TRUE(at0->ReadSectors(0, 2, head));
    EXPECT_EQ(std::memcmp(head, "PARM", 4), 0);
    const uint32_t length = zr::GetLe32(head + 4);
    const std::string text = DemoParameterText();
    EXPECT_EQ(length, text.size());
    EXPECT_NE(text.find("mtdparts="), std::string::npos);
    EXPECT_NE(text.find("0x00002000@0x00006000(misc)"), std::string::npos);

    ASSERT_TRUE(at8192->ReadSectors(0, 2, head));
    EXPECT_NE(std::memcmp(head, "PARM", 4), 0);
    EXPECT_NE(std::memcmp(head + 512, "EFI ", 4), 0);
    ASSERT_TRUE(at8192->ReadSectors(8192, 2, head));
    EXPECT_EQ(std::memcmp(head, "PARM", 4), 0);
    EXPECT_EQ(DemoLoaderFacts(1, DemoLayout::kParameterAt8192).keyAreaSector,
              DemoLoaderFacts(1, DemoLayout::kParameterAt0).keyAreaSector + 8192);
}

TEST(DemoImage, BuildGptRefusesBadPartitionLists) {
    SectorStore store;
    std::string error;
    EXPECT_FALSE(BuildGpt(store, {{"a", 10, 100}}, 4096, &error));  // inside the table
    EXPECT_FALSE(BuildGpt(store, {{"a", 40, 100}, {"b", 100, 200}}, 4096, &error));
    EXPECT_FALSE(BuildGpt(store, {{std::string(37, 'n'), 40, 100}}, 4096, &error));
    EXPECT_FALSE(BuildGpt(store, {{"\xC3", 40, 100}}, 4096, &error));
    EXPECT_FALSE(BuildGpt(store, {{"a", 40, 4070}}, 4096, &error));  // over the backup table
    EXPECT_TRUE(BuildGpt(store, {{std::string(36, 'n'), 40, 4062}}, 4096, &error)) << error;
}

TEST(DemoImage, BuiltGptIsAcceptedBySfdisk) {
    if (!HaveSfdisk()) {
        GTEST_SKIP() << "sfdisk not installed";
    }
    SectorStore store;
    const std::vector<GptPartition> parts = {
        {"uboot", 2048, 4095}, {"misc", 4096, 6143}, {"r\xC3\xA9serve", 6144, 131038}};
    ASSERT_TRUE(BuildGpt(store, parts, 131072));
    const std::string image = TempPath("built.img");
    ASSERT_TRUE(store.SaveImageFile(image, 131072));
    std::string json = RunCapture("sfdisk --json '" + image + "' 2>&1");
    json.erase(
        std::remove_if(json.begin(), json.end(),
                       [](char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }),
        json.end());
    const std::string verify = RunCapture("sfdisk --verify '" + image + "' 2>&1");
    std::remove(image.c_str());
    EXPECT_NE(json.find("\"label\":\"gpt\""), std::string::npos) << json;
    EXPECT_NE(json.find("\"start\":4096,\"size\":2048"), std::string::npos) << json;
    EXPECT_NE(json.find("\"name\":\"misc\""), std::string::npos) << json;
    EXPECT_NE(json.find("\"name\":\"r\xC3\xA9serve\""), std::string::npos) << json;
    EXPECT_NE(verify.find("No errors detected"), std::string::npos) << verify;
    EXPECT_EQ(json.find("corrupt"), std::string::npos) << json;
}

TEST(DemoImage, ImageWrittenBySfdiskIsServedOverTheTransport) {
    if (!HaveSfdisk()) {
        GTEST_SKIP() << "sfdisk not installed";
    }
    const std::string image = TempPath("sfdisk.img");
    {
        std::ofstream f(image, std::ios::binary);
        f.seekp(64 * 1024 * 1024 - 1);
        f.put('\0');
    }
    const std::string script =
        "label: gpt\n"
        "start=2048, size=2048, name=uboot\n"
        "start=4096, size=8192, name=misc\n"
        "start=12288, name=userdata\n";
    const std::string cmd = "printf '" + script + "' | sfdisk --quiet '" + image + "' 2>&1";
    ASSERT_EQ(std::system(cmd.c_str()), 0);

    FakeClock clock;
    LoaderEmulator device(LoaderConfig{}, clock);
    std::string error;
    ASSERT_TRUE(device.LoadImageFile(image, 0, &error)) << error;
    std::remove(image.c_str());
    EmulatorPipes pipes(clock);
    pipes.Attach("img", device);
    CZRUsbComm comm(nullptr, 0, pipes, clock);

    std::vector<uint8_t> gpt(34 * 512);
    ASSERT_EQ(comm.ZRU_ReadLBA("img", 0, 34, gpt.data(), 0), 0);
    EXPECT_EQ(std::memcmp(gpt.data() + 512, "EFI PART", 8), 0);
    const uint8_t* misc = gpt.data() + 1024 + 128;
    EXPECT_EQ(EntryName(misc), "misc");
    EXPECT_EQ(zr::GetLe32(misc + 32), 4096u);
    EXPECT_EQ(zr::GetLe32(misc + 40), 4096u + 8192 - 1);
}

}  // namespace
