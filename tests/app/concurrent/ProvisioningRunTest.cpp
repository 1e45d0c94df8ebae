// Whole jobs through the real provisioning worker against emulated loader devices.
#include <gtest/gtest.h>

#include <cstring>

#include "keydb/KeyFile.h"
#include "provision/JobRecord.h"
#include "support/FileSystem.h"
#include "tests/app/concurrent/StationHarness.h"

namespace station_test {
namespace {

namespace C = StationControl;

class ProvisioningRunTest : public StationTest {
  protected:
    // The key index whose bytes device `location` holds at the start of its misc key area, or
    // -1 when the area holds none of the file's keys.
    int KeyIndexOnDevice(const std::string& location, uint32_t keyCount, uint32_t keySize,
                         const std::vector<uint8_t>& allKeys) {
        const DemoFacts facts = DemoLoaderFacts(0);
        std::vector<uint8_t> area(size_t{128} * 512);
        if (!devices_[location]->ReadSectors(facts.keyAreaSector, 128, area.data())) {
            return -1;
        }
        for (uint32_t i = 0; i < keyCount; ++i) {
            if (std::memcmp(area.data(), &allKeys[size_t{i} * keySize], keySize) == 0) {
                return static_cast<int>(i);
            }
        }
        return -1;
    }
    std::vector<uint8_t> KeyData(const std::string& path, uint32_t keyCount, uint32_t keySize) {
        std::string bytes;  // through the file seam: the path may hold Chinese characters
        EXPECT_EQ(ks::ReadWholeFile(path, 64u << 20, bytes), ks::ReadStatus::Ok) << path;
        CKeyFile file(path, nullptr, KeyFileAccess::VerifyOnly);
        const size_t header = static_cast<size_t>(file.GetHeaderSize());
        EXPECT_EQ(bytes.size(), header + size_t{keyCount} * keySize);
        return std::vector<uint8_t>(bytes.begin() + static_cast<std::ptrdiff_t>(header),
                                    bytes.end());
    }
};

TEST_F(ProvisioningRunTest, SixteenDevicesAtOnceEachGetADifferentKeyFromOneFile) {
    constexpr uint32_t kKeys = 40;
    constexpr uint32_t kKeySize = 1024;
    system_["WriteKeybox"] = "1";
    system_["DestPosition"] = "0";
    const std::string kdb = MakeKeyFile("keys.kdb", kKeys, kKeySize, {0, 5});
    const std::vector<uint8_t> keys = KeyData(kdb, kKeys, kKeySize);
    for (int p = 1; p <= 16; ++p) {
        Plug("1-" + std::to_string(p), p);
    }
    BootReal();
    ASSERT_EQ(controller_->SlotsSnapshot().size(), 16u);
    controller_->LoadKeyFile(kdb);
    queue_.RunPending();
    ASSERT_EQ(view_.Text(C::kUnusedLabel), "Unused:38");

    Press(C::kStartStopButton);
    ASSERT_TRUE(RunUntil([&] { return view_.Text(C::kTotalCounter) == "00016"; }, 60000));
    ASSERT_TRUE(RunUntil([&] {
        return State() == StationState::kRunning &&
               !FindSlot([](auto& s) { return s.running != 0; });
    }));
    queue_.RunPending();
    EXPECT_EQ(view_.Text(C::kSuccessCounter), "00016");
    EXPECT_EQ(view_.Text(C::kFailCounter), "00000");
    EXPECT_EQ(view_.Text(C::kUnusedLabel), "Unused:22");

    std::set<int> given;
    for (int p = 1; p <= 16; ++p) {
        const int index = KeyIndexOnDevice("1-" + std::to_string(p), kKeys, kKeySize, keys);
        EXPECT_GE(index, 0) << p;
        EXPECT_NE(index, 0) << "a key recorded as used was handed out";
        EXPECT_NE(index, 5) << "a key recorded as used was handed out";
        EXPECT_TRUE(given.insert(index).second) << "key " << index << " went to two devices";
        EXPECT_EQ(view_.Colour(SlotAt("1-" + std::to_string(p))->slotNumber - 1), kRowGreen);
    }

    // The file on disk agrees with the label: the sixteen keys and the two old ones are used.
    CKeyFile reloaded(kdb, nullptr, KeyFileAccess::VerifyOnly);
    ASSERT_TRUE(reloaded.IsValid()) << reloaded.GetError();
    EXPECT_EQ(reloaded.GetUnusedCount(), 22);

    Press(C::kStartStopButton);
    EXPECT_TRUE(controller_->OnClose());
}

TEST_F(ProvisioningRunTest, ADeviceThatReturnsAtAnotherPortAfterItsResetGetsNoSecondKeyThere) {
    system_["WriteKeybox"] = "1";
    system_["DestPosition"] = "1";
    const std::string kdb = MakeKeyFile("keys.kdb", 10, 128);
    auto device = Plug("1-1", 1);
    LoaderFaults faults = device->Faults();
    faults.returnAtOtherPort = true;
    device->SetFaults(faults);
    BootReal();
    controller_->LoadKeyFile(kdb);
    Press(C::kStartStopButton);

    // Once the device has left, it returns at another port only this once. The reset count
    // rises before the device asks to leave, so wait for the leaving itself.
    ASSERT_TRUE(RunUntil([&] {
        const std::string at = host_->LocationOf(device.get());
        return device->IsOffBus() || (!at.empty() && at != "1-1");
    }));
    faults.returnAtOtherPort = false;
    device->SetFaults(faults);

    ASSERT_TRUE(RunUntil(
        [&] { return view_.Cell(1, kColumnStatus) == LangText("IDS_ALREADY_PROVISIONED"); },
        60000));
    ASSERT_TRUE(RunUntil([&] { return !FindSlot([](auto& s) { return s.running != 0; }); }));
    queue_.RunPending();
    const std::string newPort = host_->LocationOf(device.get());
    ASSERT_NE(newPort, "1-1");
    // The first job waited for the device at 1-1 in vain; its slot left with the result.
    EXPECT_EQ(SlotNumbered(1), nullptr);
    EXPECT_EQ(view_.Colour(0), kRowRed);
    EXPECT_EQ(view_.Cell(0, kColumnStatus), LangText("IDS_WAIT_DEVICE_ERROR") + kKeyNoteSeparator +
                                                "may hold key 0: set the board aside");
    EXPECT_EQ(view_.Mark(0), LangText("IDS_DEVICE_LEFT"));
    EXPECT_EQ(view_.Cell(0, kColumnLocation), "1-1");
    // At its new port the device is a new job, which finds that the first job's key was reserved
    // for its serial number: it may hold it, so it gets no second one.
    ASSERT_NE(SlotAt(newPort), nullptr);
    EXPECT_EQ(SlotAt(newPort)->slotNumber, 2);
    EXPECT_EQ(view_.Colour(1), kRowAlready);
    EXPECT_EQ(view_.Cell(1, kColumnStatus), LangText("IDS_ALREADY_PROVISIONED"));
    EXPECT_EQ(view_.Text(C::kSuccessCounter), "00000");
    EXPECT_EQ(view_.Text(C::kFailCounter), "00001");
    EXPECT_EQ(view_.Text(C::kTotalCounter), "00001");
    // The first job's key stayed used (spent) with the board that took it.
    EXPECT_EQ(view_.Text(C::kUnusedLabel), "Unused:9");
    ASSERT_EQ(device->TakenKeyboxes().size(), 1u);
}

TEST_F(ProvisioningRunTest, AKeyFileThatCannotRecordStopsTheStationUntilItIsLoadedAgain) {
    system_["WriteKeybox"] = "1";
    system_["DestPosition"] = "0";
    const std::string kdb = MakeKeyFile("keys.kdb", 20, 64);
    for (int p = 1; p <= 4; ++p) {
        Plug("1-" + std::to_string(p), p);
    }
    BootReal();
    controller_->LoadKeyFile(kdb);
    queue_.RunPending();
    // The journal beside the key file, held by the station since the load, is renamed away and
    // replaced by something that cannot be written: no reservation can be made. (Renamed, not
    // deleted: Windows keeps the name of a held file that is deleted until it is closed.)
    fs::rename(Utf8Path(kdb + ".journal.jsonl"), Utf8Path(kdb + ".journal.jsonl.old"));
    fs::create_directory(Utf8Path(kdb + ".journal.jsonl"));
    Press(C::kStartStopButton);
    ASSERT_TRUE(RunUntil([&] { return State() == StationState::kIdle; }));
    queue_.RunPending();
    // Every job failed before its key reached a board, or was stopped before it took one (no
    // counter); the station stopped and said why, once.
    EXPECT_EQ(view_.Text(C::kSuccessCounter), "00000");
    EXPECT_NE(view_.Text(C::kFailCounter), "00000");
    EXPECT_EQ(view_.Text(C::kTotalCounter), view_.Text(C::kFailCounter));
    ASSERT_EQ(view_.Messages().size(), 1u);
    EXPECT_EQ(view_.Messages()[0].text, LangText("IDS_KEYFILE_STOPPED"));
    EXPECT_NE(LogText().find("Error:The key file could not record a key; the station stops"),
              std::string::npos);
    const std::vector<uint8_t> keys = KeyData(kdb, 20, 64);
    for (int p = 1; p <= 4; ++p) {
        EXPECT_EQ(KeyIndexOnDevice("1-" + std::to_string(p), 20, 64, keys), -1);
    }
    // Start is refused with the same reason until the file is loaded again.
    Press(C::kStartStopButton);
    EXPECT_EQ(State(), StationState::kIdle);
    EXPECT_EQ(view_.Messages().size(), 2u);

    // No key is marked used by a reservation whose journal record could not be written.
    std::set<int> markedUsed;
    {
        CKeyFile onDisk(kdb, nullptr, KeyFileAccess::VerifyOnly);
        for (uint32_t k = 0; k < 20; ++k) {
            if (onDisk.IsMarkedUsedAtLoad(k)) {
                markedUsed.insert(static_cast<int>(k));
            }
        }
    }
    EXPECT_TRUE(markedUsed.empty());
    // The label is read again from the key file once the station stopped: the keys marked used
    // and any key a stopped job still holds are not counted as unused.
    const std::string label = view_.Text(C::kUnusedLabel);
    ASSERT_EQ(label.rfind("Unused:", 0), 0u) << label;
    EXPECT_LE(std::stoul(label.substr(7)), 20 - markedUsed.size()) << label;

    fs::remove(Utf8Path(kdb + ".journal.jsonl"));
    controller_->LoadKeyFile(kdb);
    // (Unplugged before Start: a job cut off by the unplug after its reservation would leave its
    // key spent for that board's serial number, and the board refused as served.)
    for (int p = 1; p <= 4; ++p) {
        host_->Unplug("1-" + std::to_string(p));
    }
    ASSERT_TRUE(RunUntil([&] { return controller_->SlotsSnapshot().empty(); }));
    Press(C::kStartStopButton);
    EXPECT_EQ(State(), StationState::kRunning);
    Plug("1-1", 1);
    ASSERT_TRUE(RunUntil([&] { return view_.Text(C::kSuccessCounter) == "00001"; })) << LogText();
    const int given = KeyIndexOnDevice("1-1", 20, 64, keys);
    EXPECT_GE(given, 0);
    EXPECT_EQ(markedUsed.count(given), 0u);
    Press(C::kStartStopButton);
    ASSERT_TRUE(RunUntil([&] { return State() == StationState::kIdle; }));
}

}  // namespace
}  // namespace station_test
