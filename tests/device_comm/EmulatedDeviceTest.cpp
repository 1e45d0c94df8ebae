// The command set end to end against the loader emulator: storage, vendor items, faults the
// transport has to survive, the reset cycle and the keybox take-out.
#include <gtest/gtest.h>

#include <cstring>

#include "device/ZRUsbComm.h"
#include "platform/sim/DemoImage.h"
#include "platform/sim/EmulatorPipes.h"
#include "tests/device_comm/TestDoubles.h"

namespace {

const std::string kPath = "sim:1-3";

class EmulatedDeviceTest : public ::testing::Test {
  protected:
    FakeClock clock;
    std::unique_ptr<LoaderEmulator> device = MakeDemoLoader(7, DemoLayout::kGpt, clock);
    EmulatorPipes pipes{clock};
    CapturingLogger log;
    CZRUsbComm comm{&log, 0, pipes, clock};

    void SetUp() override { pipes.Attach(kPath, *device); }

    void Fault(const std::function<void(LoaderFaults&)>& change) {
        LoaderFaults f = device->Faults();
        change(f);
        device->SetFaults(f);
    }
    std::vector<uint8_t> Sector(uint32_t address) {
        std::vector<uint8_t> s(512);
        device->ReadSectors(address, 1, s.data());
        return s;
    }
};

TEST_F(EmulatedDeviceTest, SectorsWrittenAreReadBack) {
    std::vector<uint8_t> data(128 * 512);
    for (size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<uint8_t>(i * 31 + 7);
    }
    const uint32_t keyArea = DemoLoaderFacts(7).keyAreaSector;
    ASSERT_EQ(comm.ZRU_WriteLBA(kPath, keyArea, 128, data.data(), 0), 0);
    std::vector<uint8_t> back(data.size());
    ASSERT_EQ(comm.ZRU_ReadLBA(kPath, keyArea, 128, back.data(), 0), 0);
    EXPECT_EQ(back, data);
    EXPECT_EQ(pipes.OpenHandleCount(), 0u);
}

TEST_F(EmulatedDeviceTest, ChecksummedWritesAreVerifiedByTheDevice) {
    CZRUsbComm summing(nullptr, 1, pipes, clock);
    std::vector<uint8_t> data(2 * 512, 0x11);
    ASSERT_EQ(summing.ZRU_WriteLBA(kPath, 100, 2, data.data(), 0), 0);
    EXPECT_EQ(Sector(101), std::vector<uint8_t>(512, 0x11));
    const std::array<uint8_t, 31> cbw = device->LastCommandBlock();
    EXPECT_EQ(cbw[14], 13);
    EXPECT_EQ(zr::GetLe32(cbw.data() + 15 + 9), zr::SectorChecksum(data.data(), 2));
}

TEST_F(EmulatedDeviceTest, ReadsPastTheDiskFailButVendorSectorsAreServed) {
    std::vector<uint8_t> buf(1024);
    EXPECT_EQ(comm.ZRU_ReadLBA(kPath, kDemoDiskSectors - 1, 2, buf.data(), 0), ZR_ERR_DEVICE);
    ASSERT_EQ(comm.ZRU_ReadLBA(kPath, LoaderEmulator::kVendorSector, 1, buf.data(), 0), 0);
    EXPECT_EQ(std::memcmp(buf.data(), "VEND", 4), 0);
}

TEST_F(EmulatedDeviceTest, CapabilityAndReadinessAnswerAsConfigured) {
    uint8_t caps[8] = {};
    ASSERT_EQ(comm.ZRU_ReadCapability(kPath, caps), 0);
    EXPECT_EQ(caps[0], 0x10);

    LoaderConfig config = device->Config();
    config.testReadyResidue = {0x00, 0x10, 0x00, 0x02};
    device->SetConfig(config);
    uint32_t first = 0;
    uint32_t second = 0;
    ASSERT_EQ(comm.ZRU_TestDeviceReady(kPath, &first, &second, 0), 0);
    EXPECT_EQ(first, 0x10u);
    EXPECT_EQ(second, 2u);

    config.testReadyStatus = 1;
    device->SetConfig(config);
    EXPECT_EQ(comm.ZRU_TestDeviceReady(kPath, nullptr, nullptr, 0), ZR_ERR_DEVICE_READY);
}

TEST_F(EmulatedDeviceTest, ThirteenByteCapabilityAnswerIsRejected) {
    Fault([](LoaderFaults& f) { f.capabilityAnswerLength = 13; });
    uint8_t caps[8] = {};
    EXPECT_EQ(comm.ZRU_ReadCapability(kPath, caps), ZR_ERR_DEVICE);
}

TEST_F(EmulatedDeviceTest, VendorItemsComeWithTheirHeader) {
    std::vector<uint8_t> buf(0xFFFF, 0xEE);
    ASSERT_EQ(comm.ZRU_ReadVendorRpmb(kPath, kDemoItemSerial, 0, buf.data(), 0xFFFF), 0);
    EXPECT_EQ(zr::GetLe16(buf.data()), kDemoItemSerial);
    ASSERT_EQ(zr::GetLe16(buf.data() + 4), 10);
    EXPECT_EQ(std::string(buf.begin() + 8, buf.begin() + 18), "KSDEMO0007");
    EXPECT_EQ(buf[18], 0);  // padded with zeros, not left as it was

    ASSERT_EQ(comm.ZRU_ReadVendorRpmb(kPath, kDemoItemRkp, 0, buf.data(), 0xFFFF), 0);
    const std::vector<uint8_t> rkp = DemoLoaderFacts(7).rkpData;
    ASSERT_EQ(zr::GetLe16(buf.data() + 4), rkp.size());
    EXPECT_TRUE(std::equal(rkp.begin(), rkp.end(), buf.begin() + 8));

    EXPECT_EQ(comm.ZRU_ReadVendorRpmb(kPath, 99, 0, buf.data(), 0xFFFF), ZR_ERR_DEVICE);

    // A loader without the capability bit serves no vendor items.
    LoaderConfig config = device->Config();
    config.capability[0] = 0x00;
    device->SetConfig(config);
    EXPECT_EQ(comm.ZRU_ReadVendorRpmb(kPath, kDemoItemSerial, 0, buf.data(), 0xFFFF),
              ZR_ERR_DEVICE);
}

TEST_F(EmulatedDeviceTest, WrittenVendorItemsCanBeReadBack) {
    const uint8_t data[5] = {1, 2, 3, 4, 5};
    ASSERT_EQ(comm.ZRU_WriteVendorRpmb(kPath, 0x30, 1, data, 5), 0);
    std::vector<uint8_t> stored;
    ASSERT_TRUE(device->GetItem(0x30, 1, &stored));
    EXPECT_EQ(stored, std::vector<uint8_t>(data, data + 5));
    uint8_t buf[16] = {};
    ASSERT_EQ(comm.ZRU_ReadVendorRpmb(kPath, 0x30, 1, buf, 16), 0);
    EXPECT_EQ(buf[4], 5);
    EXPECT_EQ(buf[12], 5);
    EXPECT_FALSE(device->GetItem(0x30, 0, nullptr));
}

TEST_F(EmulatedDeviceTest, OneWrongTagIsRecoveredByTheRetry) {
    Fault([](LoaderFaults& f) { f.wrongTagCount = 1; });
    uint32_t first = 0;
    EXPECT_EQ(comm.ZRU_TestDeviceReady(kPath, &first, nullptr, 0), 0);
    EXPECT_EQ(clock.Sleeps(), std::vector<uint32_t>{2000});
    EXPECT_EQ(pipes.ResetPipeCount(), 1u);
}

TEST_F(EmulatedDeviceTest, TwoWrongTagsFailAfterWaitAndReset) {
    Fault([](LoaderFaults& f) { f.wrongTagCount = 2; });
    EXPECT_EQ(comm.ZRU_TestDeviceReady(kPath, nullptr, nullptr, 0), ZR_ERR_STATUS_BLOCK);
    EXPECT_EQ(clock.Sleeps(), std::vector<uint32_t>{2000});
    EXPECT_EQ(device->ClearHaltCount(), 1u);
    EXPECT_EQ(device->CommandCount(), 2u);
}

TEST_F(EmulatedDeviceTest, ShortDataPhaseIsRecoveredWithBothWaits) {
    Fault([](LoaderFaults& f) { f.shortDataCount = 1; });
    std::vector<uint8_t> buf(4 * 512);
    ASSERT_EQ(comm.ZRU_ReadLBA(kPath, 1, 4, buf.data(), 0), 0);
    EXPECT_EQ(std::memcmp(buf.data(), "EFI PART", 8), 0);
    EXPECT_EQ(clock.Sleeps(), (std::vector<uint32_t>{2000, 1000}));
}

TEST_F(EmulatedDeviceTest, TransferErrorsInEachPhaseAreRetried) {
    for (TransferPhase phase :
         {TransferPhase::kCommand, TransferPhase::kData, TransferPhase::kStatus}) {
        const uint32_t next = device->CommandCount() + 1;
        Fault([&](LoaderFaults& f) {
            f.failTransferAtCommand = next;
            f.failTransferPhase = phase;
        });
        std::vector<uint8_t> buf(512);
        EXPECT_EQ(comm.ZRU_ReadLBA(kPath, 0, 1, buf.data(), 0), 0);
        EXPECT_EQ(buf[510], 0x55);
    }
    EXPECT_EQ(pipes.ResetPipeCount(), 3u);
}

TEST_F(EmulatedDeviceTest, ForcedFailureStatusesMapPerCommand) {
    Fault([](LoaderFaults& f) {
        f.failStatusCount = 1;
        f.failStatusValue = 2;
    });
    std::vector<uint8_t> data(512, 0x77);
    EXPECT_EQ(comm.ZRU_WriteLBA(kPath, 200, 1, data.data(), 0), ZR_ERR_DEVICE_WRITE2);
    EXPECT_EQ(Sector(200), std::vector<uint8_t>(512, 0));  // a failed write stores nothing
    Fault([](LoaderFaults& f) { f.failStatusCount = 1; });
    EXPECT_EQ(comm.ZRU_Command03(kPath, 0, 0, 1, data.data()), ZR_ERR_DEVICE_BLOCK);
    EXPECT_TRUE(clock.Sleeps().empty());
}

TEST_F(EmulatedDeviceTest, FlashInfoAndCommand24ModeTwoAgainstTheDevice) {
    LoaderConfig config = device->Config();
    config.flashInfo = std::vector<uint8_t>(512, 0x42);
    config.command24State = 1;
    device->SetConfig(config);
    std::vector<uint8_t> buf(512);
    uint32_t length = 0;
    ASSERT_EQ(comm.ZRU_ReadFlashInfo(kPath, buf.data(), &length), 0);
    EXPECT_EQ(length, 512u);
    uint32_t state = 9;
    ASSERT_EQ(comm.ZRU_Command24(kPath, 0, 64, reinterpret_cast<uint8_t*>(&state), 2), 0);
    EXPECT_EQ(state, 1u);

    config.flashInfo = std::vector<uint8_t>(10, 1);
    device->SetConfig(config);
    EXPECT_EQ(comm.ZRU_ReadFlashInfo(kPath, buf.data(), &length), ZR_ERR_READ);
}

TEST_F(EmulatedDeviceTest, RawSectorReadsAndOtherCommandsKeepTheDeviceInStep) {
    std::vector<uint8_t> raw(2 * 528);
    ASSERT_EQ(comm.ZRU_Command04(kPath, 0, 2, raw.data()), 0);
    EXPECT_EQ(raw[510], 0x55);
    EXPECT_EQ(raw[528 + 0], 'E');
    uint8_t small[64];
    EXPECT_EQ(comm.ZRU_Command1B(kPath, small), 0);
    EXPECT_EQ(comm.ZRU_Command01(kPath, 0, small), 0);
    EXPECT_EQ(comm.ZRU_Command2B(kPath, small), 0);
    EXPECT_EQ(comm.ZRU_Command20(kPath, small, 64), 0);
    EXPECT_EQ(comm.ZRU_Command1F(kPath, small, 64), 0);
    EXPECT_EQ(comm.ZRU_Command18(kPath, small, 64), 0);
    EXPECT_EQ(comm.ZRU_Command22(kPath, 0, 64, small), 0);
    EXPECT_EQ(comm.ZRU_Command23(kPath, 1, 64, small, 0), 0);
    EXPECT_EQ(comm.ZRU_Command24(kPath, 1, 64, small, 1), 0);
    EXPECT_EQ(comm.ZRU_Command1E(kPath, 1), 0);
    EXPECT_EQ(comm.ZRU_Command25(kPath, 1, 1), 0);
    EXPECT_EQ(comm.ZRU_Command2A(kPath, 1), 0);
    EXPECT_EQ(comm.ZRU_BlockCommand(kPath, 0, 0, 0, 0x42), 0);
    EXPECT_EQ(device->StallCount(), 0u);
    EXPECT_TRUE(clock.Sleeps().empty());
}

TEST_F(EmulatedDeviceTest, ResetTakesTheDeviceAwayUntilItsDelayHasPassed) {
    ASSERT_EQ(comm.ZRU_ResetDevice(kPath, 1), 0);
    EXPECT_TRUE(device->IsOffBus());
    EXPECT_FALSE(pipes.IsPresent(kPath));
    EXPECT_EQ(comm.ZRU_TestDeviceReady(kPath, nullptr, nullptr, 0), ZR_ERR_OPEN_OUT);
    clock.Advance(device->Config().resetReturnDelayMs);
    EXPECT_TRUE(pipes.IsPresent(kPath));
    EXPECT_EQ(comm.ZRU_TestDeviceReady(kPath, nullptr, nullptr, 0), 0);
}

TEST_F(EmulatedDeviceTest, FinalResetBootsAwayFromTheLoader) {
    ASSERT_EQ(comm.ZRU_ResetDevice(kPath, 0), 0);
    clock.Advance(60000);
    EXPECT_FALSE(pipes.IsPresent(kPath));
}

TEST_F(EmulatedDeviceTest, UnplugMidCommandCostsAnErrorCodeNotAHang) {
    Fault([this](LoaderFaults& f) { f.unplugAtCommand = device->CommandCount() + 1; });
    std::vector<uint8_t> buf(512);
    EXPECT_EQ(comm.ZRU_ReadLBA(kPath, 0, 1, buf.data(), 0), ZR_ERR_WRITE);
    EXPECT_FALSE(pipes.IsPresent(kPath));
    EXPECT_EQ(comm.ZRU_ReadLBA(kPath, 0, 1, buf.data(), 0), ZR_ERR_OPEN_OUT);
}

// The vendor-sector keybox round: record written, device reset, device back, area clean.
class KeyboxTakeOutTest : public EmulatedDeviceTest {
  protected:
    std::vector<uint8_t> key = std::vector<uint8_t>(128);
    std::array<uint8_t, 16> info{};

    void SetUp() override {
        EmulatedDeviceTest::SetUp();
        for (size_t i = 0; i < key.size(); ++i) {
            key[i] = static_cast<uint8_t>(0x80 + i);
        }
        for (size_t i = 0; i < info.size(); ++i) {
            info[i] = static_cast<uint8_t>(i + 1);
        }
    }
    // Writes the record the way the station does and resets the device through a full cycle.
    void WriteRecordAndCycle(uint32_t sector) {
        std::vector<uint8_t> s(512);
        size_t at = 252;
        if (sector == LoaderEmulator::kVendorSector) {
            ASSERT_EQ(comm.ZRU_ReadLBA(kPath, sector, 1, s.data(), 0), 0);
        } else {
            at = 8;
            zr::PutLe16(s.data(), 8);
            zr::PutLe16(s.data() + 4, 156);
        }
        std::memcpy(s.data() + at, "KBOX", 4);
        zr::PutLe32(s.data() + at + 4, 16);
        zr::PutLe32(s.data() + at + 8, static_cast<uint32_t>(key.size()));
        std::memcpy(s.data() + at + 12, info.data(), 16);
        std::memcpy(s.data() + at + 28, key.data(), std::min<size_t>(key.size(), 512 - at - 28));
        ASSERT_EQ(comm.ZRU_WriteLBA(kPath, sector, 1, s.data(), 0), 0);
        ASSERT_EQ(comm.ZRU_ResetDevice(kPath, 1), 0);
        clock.Advance(device->Config().resetReturnDelayMs);
        ASSERT_TRUE(pipes.IsPresent(kPath));
        ASSERT_EQ(comm.ZRU_ReadLBA(kPath, sector, 1, s.data(), 0), 0);
        after = s;
    }
    static bool Zero(const std::vector<uint8_t>& s, size_t from, size_t to) {
        return std::all_of(s.begin() + static_cast<long>(from), s.begin() + static_cast<long>(to),
                           [](uint8_t b) { return b == 0; });
    }
    std::vector<uint8_t> after;
};

TEST_F(KeyboxTakeOutTest, VendorSectorRecordIsTakenAndTheRestKept) {
    const std::vector<uint8_t> before = Sector(LoaderEmulator::kVendorSector);
    WriteRecordAndCycle(LoaderEmulator::kVendorSector);
    EXPECT_TRUE(Zero(after, 252, 512));
    EXPECT_TRUE(std::equal(before.begin(), before.begin() + 252, after.begin()));
    const std::vector<TakenKeybox> taken = device->TakenKeyboxes();
    ASSERT_EQ(taken.size(), 1u);
    EXPECT_EQ(taken[0].source, TakenKeybox::Source::kVendorSector);
    EXPECT_EQ(taken[0].key, key);
    EXPECT_EQ(taken[0].recordInfo, info);
}

TEST_F(KeyboxTakeOutTest, ItemEightRecordIsTaken) {
    WriteRecordAndCycle(LoaderEmulator::kVendorItem8Sector);
    EXPECT_TRUE(Zero(after, 8, 512));
    ASSERT_EQ(device->TakenKeyboxes().size(), 1u);
    EXPECT_EQ(device->TakenKeyboxes()[0].key, key);
}

TEST_F(KeyboxTakeOutTest, OversizedRecordIsBoundedByTheSector) {
    key.assign(400, 0x33);
    WriteRecordAndCycle(LoaderEmulator::kVendorSector);
    ASSERT_EQ(device->TakenKeyboxes().size(), 1u);
    EXPECT_EQ(device->TakenKeyboxes()[0].declaredSize, 400u);
    EXPECT_EQ(device->TakenKeyboxes()[0].key.size(), 232u);
}

TEST_F(KeyboxTakeOutTest, DeviceThatLeavesTheRecord) {
    Fault([](LoaderFaults& f) { f.keyboxTakeOut = KeyboxTakeOut::kLeaveRecord; });
    WriteRecordAndCycle(LoaderEmulator::kVendorSector);
    EXPECT_EQ(std::memcmp(after.data() + 252, "KBOX", 4), 0);
    EXPECT_TRUE(device->TakenKeyboxes().empty());
}

TEST_F(KeyboxTakeOutTest, DeviceThatMarksTheRecordAsExisting) {
    Fault([](LoaderFaults& f) { f.keyboxTakeOut = KeyboxTakeOut::kWriteExis; });
    WriteRecordAndCycle(LoaderEmulator::kVendorItem8Sector);
    EXPECT_EQ(std::memcmp(after.data() + 8, "EXIS", 4), 0);
    EXPECT_TRUE(device->TakenKeyboxes().empty());
}

TEST_F(KeyboxTakeOutTest, DeviceThatLeavesAStrayByte) {
    Fault([](LoaderFaults& f) { f.keyboxTakeOut = KeyboxTakeOut::kLeaveStrayByte; });
    WriteRecordAndCycle(LoaderEmulator::kVendorItem8Sector);
    EXPECT_NE(std::memcmp(after.data() + 8, "KBOX", 4), 0);
    EXPECT_FALSE(Zero(after, 8, 156));
    EXPECT_EQ(std::count_if(after.begin() + 8, after.begin() + 156, [](uint8_t b) { return b; }),
              1);
}

TEST_F(KeyboxTakeOutTest, NoReturnAfterResetKeepsTheDeviceAway) {
    Fault([](LoaderFaults& f) { f.noReturnAfterReset = true; });
    ASSERT_EQ(comm.ZRU_ResetDevice(kPath, 1), 0);
    clock.Advance(600000);
    EXPECT_FALSE(pipes.IsPresent(kPath));
}

}  // namespace
