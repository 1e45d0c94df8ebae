// Locating the key area and reading vendor items on an emulated loader device.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "ProvisionTestSupport.h"
#include "device/ZRUsbComm.h"
#include "platform/sim/DemoImage.h"
#include "platform/sim/EmulatorPipes.h"
#include "platform/sim/LoaderEmulator.h"
#include "provision/MiscLocation.h"
#include "provision/VendorStorage.h"

using namespace provision_test;

namespace {

const char kPath[] = "dev0";

// The example list: parameter (0, 0x4000), uboot, misc (0x8000, 0x2000), userdata.
const char kExampleText[] =
    "FIRMWARE_VER:8.1\n"
    "CMDLINE:console=ttyFIQ0 mtdparts=zr29xxnand:0x00002000@0x00004000(uboot),"
    "0x00002000@0x00008000(misc),-@0x0000a000(userdata)\n";

class DeviceLayout : public ::testing::Test {
  public:
    DeviceLayout()
        : emulator(LoaderConfig{}, clock), pipes(clock), tap(pipes), comm(nullptr, 0, tap, clock) {
        pipes.Attach(kPath, emulator);
        LoaderConfig config = emulator.Config();
        config.capacitySectors = kDemoDiskSectors;
        emulator.SetConfig(config);
    }
    void Store(const std::function<void(SectorStore&)>& edit) { emulator.EditStore(edit); }
    int32_t Locate() { return GetKeyMiscOffset(kPath, &comm, &log); }
    void Fail(uint8_t value = 1) {
        LoaderFaults f = emulator.Faults();
        f.failStatusCount = 1;
        f.failStatusValue = value;
        emulator.SetFaults(f);
    }

    VirtualClock clock;
    LoaderEmulator emulator;
    EmulatorPipes pipes;
    TapPipes tap;
    CZRUsbComm comm;
    RecordingLog log;
};

TEST_F(DeviceLayout, ParameterFileAtSectorZeroGivesTheLast128SectorsOfMisc) {
    Store([](SectorStore& s) { WriteParameterFile(s, 0, kExampleText); });
    EXPECT_EQ(Locate(), 0x9F80);
    EXPECT_TRUE(log.Lines().empty());
}

TEST_F(DeviceLayout, ParameterFileAtSector8192CountsFromThere) {
    Store([](SectorStore& s) { WriteParameterFile(s, 8192, kExampleText); });
    EXPECT_EQ(Locate(), 0x9F80 + 8192);
}

TEST_F(DeviceLayout, DemoLayoutsAgreeWithTheirDiskFacts) {
    for (DemoLayout layout :
         {DemoLayout::kGpt, DemoLayout::kParameterAt0, DemoLayout::kParameterAt8192}) {
        PopulateDemoLoader(emulator, 1, layout);
        EXPECT_EQ(Locate(), static_cast<int32_t>(DemoLoaderFacts(1, layout).keyAreaSector));
    }
}

TEST_F(DeviceLayout, GptSignatureAtSectorOneWinsOverParmAtSectorZero) {
    Store([](SectorStore& s) {
        BuildGpt(s, {{"boot", 2048, 4095}, {"misc", 4096, 6143}}, 1 << 20);
        uint8_t mbr[512];
        s.Read(0, 1, mbr);
        std::memcpy(mbr, "PARM", 4);
        s.Write(0, 1, mbr);
    });
    EXPECT_EQ(Locate(), 6143 - 127);
}

TEST_F(DeviceLayout, MiscIsFoundInAnyCaseAndOnlyTheFirstCounts) {
    Store([](SectorStore& s) {
        BuildGpt(s, {{"MISC", 4096, 6143}, {"misc", 8192, 10239}}, 1 << 20);
    });
    EXPECT_EQ(Locate(), 6143 - 127);
}

TEST_F(DeviceLayout, NoMiscAnywhere) {
    Store([](SectorStore& s) { BuildGpt(s, {{"miscellaneous", 4096, 6143}}, 1 << 20); });
    EXPECT_EQ(Locate(), -1);
    EXPECT_EQ(log.Lines(), std::vector<std::string>{"ERROR:GetKeyMiscOffset->no found misc!"});
}

TEST_F(DeviceLayout, MtdpartsWithoutColonEndsInNoMisc) {
    Store([](SectorStore& s) { WriteParameterFile(s, 0, "CMDLINE: mtdparts=none\n"); });
    EXPECT_EQ(Locate(), -1);
    EXPECT_EQ(log.Lines(), std::vector<std::string>{"ERROR:GetKeyMiscOffset->no found misc!"});
}

TEST_F(DeviceLayout, ParameterWithoutMtdparts) {
    Store([](SectorStore& s) { WriteParameterFile(s, 0, "CMDLINE: console=ttyS0\n"); });
    EXPECT_EQ(Locate(), -1);
    EXPECT_EQ(log.Lines(),
              std::vector<std::string>{"ERROR:GetKeyMiscOffset->ParseParameter failed!"});
}

TEST_F(DeviceLayout, MiscGrowingToTheEndIsNeverUsed) {
    Store([](SectorStore& s) {
        WriteParameterFile(s, 0, "mtdparts=a:0x2000@0x4000(boot),-@0x6000(misc)\n");
    });
    EXPECT_EQ(Locate(), -1);
    EXPECT_EQ(log.Lines(), std::vector<std::string>{"ERROR:GetKeyMiscOffset->misc size unknown!"});
}

TEST_F(DeviceLayout, MiscTooSmallOrOutOfReachIsRefused) {
    // Exactly the key area's 128 sectors is enough: the area is the whole of misc.
    Store([](SectorStore& s) {
        WriteParameterFile(s, 0, "mtdparts=a:0x2000@0x4000(boot),0x80@0x6000(misc)\n");
    });
    EXPECT_EQ(Locate(), 0x6000);
    Store([](SectorStore& s) {
        WriteParameterFile(s, 0, "mtdparts=a:0x2000@0x4000(boot),0x7f@0x6000(misc)\n");
    });
    EXPECT_EQ(Locate(), -1);
    Store([](SectorStore& s) {
        WriteParameterFile(s, 0, "mtdparts=a:0x2000@0x4000(boot),0x2000@0x7fffff00(misc)\n");
    });
    EXPECT_EQ(Locate(), -1);
    EXPECT_EQ(log.Lines(),
              (std::vector<std::string>{"ERROR:GetKeyMiscOffset->misc key area out of range!",
                                        "ERROR:GetKeyMiscOffset->misc key area out of range!"}));
}

TEST_F(DeviceLayout, NoTableAtAll) {
    EXPECT_EQ(Locate(), -1);
    EXPECT_EQ(log.Lines(),
              std::vector<std::string>{"ERROR:GetParamFromDev->Check parameter tag failed!"});
    // Sector 0 was probed, then sector 8192.
    const auto commands = tap.Commands();
    ASSERT_EQ(commands.size(), 2u);
    EXPECT_EQ(commands[0].address, 0u);
    EXPECT_EQ(commands[1].address, 8192u);
    EXPECT_EQ(commands[1].count, 2);
}

TEST_F(DeviceLayout, ProbeReadFailureIsLoggedWithTheCommandResult) {
    Fail();
    EXPECT_EQ(Locate(), -1);
    EXPECT_EQ(log.Lines(), std::vector<std::string>{
                               "ERROR:GetParamFromDev->Read parameter head failed,err=-8!"});
}

TEST_F(DeviceLayout, SecondProbeAndTableReadFailures) {
    tap.onCommand = [this](const TappedCommand& c) {
        if (c.address == 8192) {
            Fail();
        }
    };
    EXPECT_EQ(Locate(), -1);
    EXPECT_TRUE(log.Has("ERROR:GetParamFromDev->Read parameter head failed,err=-8!"));

    log.Clear();
    Store([](SectorStore& s) { BuildGpt(s, {{"misc", 4096, 6143}}, 1 << 20); });
    tap.onCommand = [this](const TappedCommand& c) {
        if (c.count == 34) {
            Fail();
        }
    };
    EXPECT_EQ(Locate(), -1);
    EXPECT_EQ(log.Lines(),
              std::vector<std::string>{"ERROR:GetParamFromDev->Read gpt failed,err=-8!"});

    log.Clear();
    Store([](SectorStore& s) {
        s.Clear();
        WriteParameterFile(s, 0, kExampleText);
    });
    tap.onCommand = [this](const TappedCommand& c) {
        if (c.opcode == 0x14 && c.count == 1) {
            Fail();
        }
    };
    EXPECT_EQ(Locate(), -1);
    EXPECT_EQ(log.Lines(), std::vector<std::string>{
                               "ERROR:GetParamFromDev->Read parameter file failed,err=-8!"});
}

// The sector count of the parameter-file read for a text of length L.
uint16_t ParameterReadSectors(DeviceLayout* t, size_t textLength) {
    std::string text = "mtdparts=a:0x10@0x100(misc),\n";
    text.resize(textLength, '#');
    t->emulator.EditStore([&](SectorStore& s) {
        s.Clear();
        WriteParameterFile(s, 0, text);
    });
    std::vector<uint8_t> buffer(misc_location::kTableBufferBytes);
    uint32_t length = static_cast<uint32_t>(buffer.size());
    PartitionTableKind kind = PARTITION_TABLE_GPT;
    EXPECT_TRUE(GetParamFromDev(kPath, &t->comm, &t->log, buffer.data(), &length, &kind));
    EXPECT_EQ(kind, PARTITION_TABLE_PARAMETER);
    EXPECT_EQ(length, textLength);
    EXPECT_EQ(buffer[8 + textLength], 0);
    return t->tap.Commands().back().count;
}

TEST_F(DeviceLayout, ParameterFileReadCoversTagLengthTextAndFourBytes) {
    EXPECT_EQ(ParameterReadSectors(this, 500), 1);  // 500 + 12 = 512
    EXPECT_EQ(ParameterReadSectors(this, 501), 2);
    EXPECT_EQ(ParameterReadSectors(this, 1012), 2);
}

TEST_F(DeviceLayout, CapacityLimitsTheTableRead) {
    std::vector<uint8_t> buffer(misc_location::kGptBytes);
    PartitionTableKind kind;
    Store([](SectorStore& s) { BuildGpt(s, {{"misc", 4096, 6143}}, 1 << 20); });
    uint32_t length = misc_location::kGptBytes - 1;
    EXPECT_FALSE(GetParamFromDev(kPath, &comm, &log, buffer.data(), &length, &kind));
    length = misc_location::kGptBytes;
    EXPECT_TRUE(GetParamFromDev(kPath, &comm, &log, buffer.data(), &length, &kind));
    EXPECT_EQ(length, misc_location::kGptBytes);
    EXPECT_EQ(log.Lines(),
              std::vector<std::string>{"ERROR:GetParamFromDev->Memory is not enough to save gpt!"});

    log.Clear();
    Store([](SectorStore& s) {
        s.Clear();
        WriteParameterFile(s, 0, std::string(1024 - 12, 'x'));
    });
    length = 1023;
    EXPECT_FALSE(GetParamFromDev(kPath, &comm, &log, buffer.data(), &length, &kind));
    length = 1024;
    EXPECT_TRUE(GetParamFromDev(kPath, &comm, &log, buffer.data(), &length, &kind));
    EXPECT_EQ(log.Lines(), std::vector<std::string>{
                               "ERROR:GetParamFromDev->Memory is not enough to save parameter!"});
}

TEST_F(DeviceLayout, HugeParameterLengthCannotWrapIntoASmallRead) {
    // 0xFFFFFFF8 + 11 wraps to 3 in 32 bits: one sector, and the text end far outside the buffer.
    Store([](SectorStore& s) {
        uint8_t head[512] = {'P', 'A', 'R', 'M', 0xF8, 0xFF, 0xFF, 0xFF};
        s.Write(0, 1, head);
    });
    EXPECT_EQ(Locate(), -1);
    EXPECT_EQ(log.Lines(), std::vector<std::string>{
                               "ERROR:GetParamFromDev->Memory is not enough to save parameter!"});
}

// --- A GPT written by the system's own partitioning tool -------------------------------------

TEST_F(DeviceLayout, GptWrittenBySfdisk) {
    TempDir dir;
    std::string image;
    ASSERT_TRUE(MakeSfdiskImage(dir, &image));
    // sfdisk honoured the layout: misc starts at sector 10240 and has 2048 sectors.
    std::string error;
    ASSERT_TRUE(emulator.LoadImageFile(image, 0, &error)) << error;
    EXPECT_EQ(Locate(), 10240 + 2048 - 128);
    EXPECT_TRUE(log.Lines().empty());
}

// --- Vendor items ----------------------------------------------------------------------------

class VendorItems : public DeviceLayout {
  protected:
    bool ReadItem(uint16_t id, uint16_t capacity, std::vector<uint8_t>* out) {
        out->assign(capacity, 0xCC);
        uint16_t size = capacity;
        const bool ok = ZR_ReadVendorRpmbData(&comm, &log, kPath, id, 0, out->data(), &size);
        if (ok) {
            out->resize(size);
        }
        return ok;
    }
};

TEST_F(VendorItems, ItemDataUpToTheCapacityIsReturned) {
    std::vector<uint8_t> data(512);
    for (size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<uint8_t>(i ^ 0x3C);
    }
    emulator.SetItem(1, 0, data);
    std::vector<uint8_t> got;
    ASSERT_TRUE(ReadItem(1, 512, &got));
    EXPECT_EQ(got, data);
    EXPECT_TRUE(log.Lines().empty());
}

TEST_F(VendorItems, OneByteMoreThanTheCapacityFails) {
    emulator.SetItem(1, 0, std::vector<uint8_t>(513, 'A'));
    std::vector<uint8_t> got;
    EXPECT_FALSE(ReadItem(1, 512, &got));
    EXPECT_EQ(log.Lines(), std::vector<std::string>{
                               "ERROR:ZR_ReadVendorRpmbData->buffer is not enough,data_size=513!"});
    // Nothing was copied into the caller's buffer.
    EXPECT_EQ(got, std::vector<uint8_t>(512, 0xCC));
}

TEST_F(VendorItems, AnswerForAnotherIdIsRefused) {
    emulator.SetItem(1, 0, {'S', 'N'});
    tap.onIn = [](const TappedCommand& c, uint8_t* data, long size) {
        if (c.opcode == 0x27 && size > 13) {  // the data, not the status block
            data[0] = 2;
        }
    };
    std::vector<uint8_t> got;
    EXPECT_FALSE(ReadItem(1, 512, &got));
    EXPECT_EQ(log.Lines(),
              std::vector<std::string>{"ERROR:ZR_ReadVendorRpmbData->id is not match!"});
}

TEST_F(VendorItems, LoaderWithoutVendorReadCapability) {
    emulator.SetItem(1, 0, {'S', 'N'});
    LoaderConfig config = emulator.Config();
    config.capability[0] = 0xEF;
    emulator.SetConfig(config);
    std::vector<uint8_t> got;
    EXPECT_FALSE(ReadItem(1, 512, &got));
    EXPECT_EQ(log.Lines(), std::vector<std::string>{
                               "ERROR:ZR_ReadVendorRpmbData->not support read vendor and rpmb!"});
    // The item itself was never asked for.
    for (const auto& c : tap.Commands()) {
        EXPECT_NE(c.opcode, 0x27);
    }
}

TEST_F(VendorItems, CapabilityAndItemReadFailuresCarryTheirResult) {
    LoaderFaults f = emulator.Faults();
    f.capabilityAnswerLength = 13;
    emulator.SetFaults(f);
    std::vector<uint8_t> got;
    EXPECT_FALSE(ReadItem(1, 512, &got));
    ASSERT_EQ(log.Lines().size(), 1u);
    EXPECT_EQ(log.Lines()[0].rfind("ERROR:ZR_ReadVendorRpmbData->ReadCapability failed,ret=-", 0),
              0u)
        << log.Lines()[0];

    log.Clear();
    f.capabilityAnswerLength = 8;
    emulator.SetFaults(f);
    EXPECT_FALSE(ReadItem(99, 512, &got));  // no such item: the device reports a failure
    EXPECT_EQ(log.Lines(),
              std::vector<std::string>{
                  "ERROR:ZR_ReadVendorRpmbData->ZRU_ReadVendorRpmb data failed,err=-8!"});
}

TEST_F(VendorItems, DeviceNotReadyFailsWithoutALogLine) {
    emulator.SetItem(1, 0, {'S', 'N'});
    LoaderConfig config = emulator.Config();
    config.testReadyStatus = 1;
    emulator.SetConfig(config);
    std::vector<uint8_t> got;
    EXPECT_FALSE(ReadItem(1, 512, &got));
    EXPECT_TRUE(log.Lines().empty());
    uint16_t size = 4;
    EXPECT_FALSE(ZR_ReadVendorRpmbData(nullptr, &log, kPath, 1, 0, got.data(), &size));
}

}  // namespace
