// One provisioning job against an emulated loader device on a simulated USB host.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "ProvisionTestSupport.h"
#include "device/ZRDeviceDesc.h"
#include "keydb/KeyFile.h"
#include "keydb/KeyJournal.h"
#include "keydb/KeyState.h"
#include "platform/sim/DemoImage.h"
#include "platform/sim/LoaderEmulator.h"
#include "platform/sim/SimUsbHost.h"
#include "provision/UpgradeWorker.h"
#include "tests/keydb/MemoryKeyFileIo.h"

namespace fs = std::filesystem;
using namespace provision_test;

namespace {

const char kLocation[] = "1-3";
constexpr uint32_t kKeyCount = 4;
constexpr uint32_t kVendorSector = LoaderEmulator::kVendorSector;
constexpr uint32_t kItem8Sector = LoaderEmulator::kVendorItem8Sector;

std::string T(const std::string& key) {
    return RecordingHost::Text(key);
}

// An item of length 0. Its buffer is allocated all the same: the emulator copies from the
// item's data() even when there is nothing to copy.
std::vector<uint8_t> EmptyItem() {
    std::vector<uint8_t> item;
    item.reserve(1);
    return item;
}

class Worker : public ::testing::Test {
  protected:
    // The log's lines of the failing steps; the line that names a sent key and says what to do
    // with the board is checked by ExpectFailed.
    std::vector<std::string> StepLines() {
        std::vector<std::string> lines = host.log.Lines();
        lines.erase(std::remove_if(lines.begin(), lines.end(),
                                   [](const std::string& l) {
                                       return l.find("was sent: the board may hold it") !=
                                              std::string::npos;
                                   }),
                    lines.end());
        return lines;
    }

    Worker() : usb(clock), tap(usb), host(tap, usb, tables, clock) {
        tables.SetVendorIds(0xF00D, 0xF00E);
        usb.AddController(true, 8);
        Plug(DemoLayout::kGpt);
        host.slot.devicePath = SimUsbHost::NameOfLocation(kLocation);
        host.slot.portLocation = kLocation;
        host.settings.exeFolder = dir.path() + "/";
        rkpDir = dir.File("rkp");
        fs::create_directory(rkpDir);
        host.settings.SavePath = rkpDir;
        keyPath = dir.File("keys.kdb");
        // The job runs on this thread. While a reset device is on its way back, its sleeps wait
        // for the host's timer thread, which moves the clock on to the device's return itself.
        clock.SetGate(std::this_thread::get_id(), [this] {
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
            while (usb.PendingReturns() > 0 && std::chrono::steady_clock::now() < deadline) {
                std::this_thread::sleep_for(std::chrono::microseconds(200));
            }
        });
    }

    void Plug(DemoLayout layout) {
        if (device) {
            usb.Unplug(kLocation);
        }
        device = std::shared_ptr<LoaderEmulator>(MakeDemoLoader(1, layout, clock));
        facts = DemoLoaderFacts(1, layout);
        ASSERT_TRUE(usb.Plug(kLocation, device));
    }

    void LoadKeys(uint32_t keySize, uint32_t count = kKeyCount, std::vector<uint32_t> used = {}) {
        keySize_ = keySize;
        count_ = count;
        host.keyFile.reset();  // a loaded key file is locked against replacement
        fs::remove(keyPath + ".journal.jsonl");
        ASSERT_TRUE(MakePatternKeyFile(keyPath, count, keySize, std::move(used)));
        host.keyFile = std::make_unique<CKeyFile>(keyPath);
        ASSERT_TRUE(host.keyFile->IsValid()) << host.keyFile->GetError();
    }

    void KeyJob(int32_t dest, uint32_t keySize = 128) {
        host.settings.WriteKeybox = 1;
        host.settings.DestPosition = dest;
        LoadKeys(keySize);
    }

    void Run() { UpgradeThreadProc(host, host.slotNumber); }

    // Forgets what earlier jobs of the same test reported.
    void ForgetReports() {
        host.statuses.clear();
        host.events.clear();
        host.posted.clear();
        host.records.clear();
        host.successCalls = host.failCalls = host.decreaseUnusedCalls = host.dropColourCalls = 0;
        host.log.Clear();
    }

    // Makes the device report a failure for the command whose block is about to go out.
    void FailThisCommand(uint8_t value = 1) {
        LoaderFaults f = device->Faults();
        f.failStatusCount = 1;
        f.failStatusValue = value;
        device->SetFaults(f);
    }
    void FailCommand(uint8_t opcode, uint32_t address, int occurrence = 1) {
        auto seen = std::make_shared<int>(0);
        tap.onCommand = [this, opcode, address, occurrence, seen](const TappedCommand& c) {
            if (c.opcode == opcode && c.address == address && ++*seen == occurrence) {
                FailThisCommand();
            }
        };
    }
    void SetFaults(const std::function<void(LoaderFaults&)>& edit) {
        LoaderFaults f = device->Faults();
        edit(f);
        device->SetFaults(f);
    }

    std::vector<uint8_t> Sectors(uint32_t first, uint32_t count) {
        std::vector<uint8_t> out(count * 512);
        EXPECT_TRUE(device->ReadSectors(first, count, out.data()));
        return out;
    }

    int32_t DiskUnused() {
        CKeyFile check(keyPath, nullptr, KeyFileAccess::VerifyOnly);
        EXPECT_TRUE(check.IsValid()) << check.GetError();
        return check.GetUnusedCount();
    }

    // The journal's records, as "event key" (plus the step of a spent key).
    std::vector<std::string> Journal() {
        std::vector<std::string> out;
        std::ifstream in(keyPath + ".journal.jsonl");
        std::string line;
        while (std::getline(in, line)) {
            JournalRecord r;
            EXPECT_TRUE(ParseJournalRecord(line, &r)) << line;
            if (r.event == JournalEvent::kLoaded) {
                continue;
            }
            std::string text = std::string(JournalEventName(r.event)) + " " + std::to_string(r.key);
            if (r.event == JournalEvent::kSpent) {
                text += " " + r.step;
            }
            EXPECT_EQ(r.job.slot, host.slotNumber);
            EXPECT_EQ(r.job.portLocation, kLocation);
            out.push_back(text);
        }
        return out;
    }

    // The state the job left its key (key 0) in, as the key file shows it afterwards: free
    // (never taken), returned, taken (held: neither returned nor reserved), spent (reserved
    // before the device was written, then the job failed) or delivered.
    void ExpectKey(KeyState state, const std::string& spentAt = std::string()) {
        ASSERT_NE(host.keyFile, nullptr);
        const int32_t n = static_cast<int32_t>(count_);
        const bool inUse = state != KeyState::kReturned && state != KeyState::kFree;
        EXPECT_EQ(host.keyFile->GetKeyState(0), state);
        EXPECT_EQ(host.keyFile->GetUnusedCount(), inUse ? n - 1 : n);
        EXPECT_EQ(DiskUnused(), KeyMayBeOnBoard(state) ? n - 1 : n);
        switch (state) {
            case KeyState::kSpent:
                EXPECT_EQ(Journal(),
                          (std::vector<std::string>{"reserved 0", "spent 0 " + spentAt}));
                break;
            case KeyState::kDelivered:
                EXPECT_EQ(Journal(), (std::vector<std::string>{"reserved 0", "delivered 0"}));
                break;
            default:
                // Taken: nothing written; returned: written at the next flush.
                EXPECT_EQ(Journal(), std::vector<std::string>{});
                break;
        }
        // The next job gets the job's key again only when it was given back.
        int32_t index = -1;
        KeyCopy key;
        ASSERT_TRUE(host.keyFile->GetKey(&index, &key));
        EXPECT_EQ(index, inUse ? 1 : 0);
        if (!inUse) {
            EXPECT_EQ(host.StatusShown("IDS_GET_KEY"), state == KeyState::kReturned);
        }
    }

    void ExpectRows() {
        ASSERT_FALSE(host.statuses.empty());
        EXPECT_EQ(host.statuses.front().second, "");
        EXPECT_EQ(host.dropColourCalls, 1);
        for (const auto& s : host.statuses) {
            EXPECT_EQ(s.first, host.slotNumber - 1);
        }
    }

    // reserved: the key was reserved (the unused label dropped) before the job failed.
    void ExpectFailed(const std::string& lastStatusKey, bool reserved = false) {
        ExpectRows();
        // The row says whether a key went out, and for a reserved key which one and what to do.
        const int64_t keyOfJob = host.records.empty() ? -2 : host.records[0].keyIndex;
        const std::string shown =
            T(lastStatusKey) + kKeyNoteSeparator +
            (reserved ? T("IDS_KEY_MAY_BE_ON_BOARD") + " " + std::to_string(keyOfJob)
                      : T("IDS_NO_KEY_SENT"));
        EXPECT_EQ(host.LastStatus(), shown);
        EXPECT_EQ(host.log.Contains("failed after key " + std::to_string(keyOfJob) +
                                    " was sent: the board may hold it, set the board aside"),
                  reserved && host.withLog);
        EXPECT_EQ(host.failCalls, 1);
        EXPECT_EQ(host.successCalls, 0);
        EXPECT_EQ(host.decreaseUnusedCalls, reserved ? 1 : 0);
        EXPECT_EQ(host.keyFileFailedCalls, 0);
        EXPECT_EQ(
            host.posted,
            (std::vector<std::pair<int, JobOutcome>>{{host.slotNumber, JobOutcome::kFailed}}));
        EXPECT_EQ(host.events, reserved ? (std::vector<std::string>{"decrease", "fail", "post"})
                                        : (std::vector<std::string>{"fail", "post"}));
        // The job's record names the failing step, and a key only once it was reserved.
        ASSERT_EQ(host.records.size(), 1u);
        const JobRecord& record = host.records[0];
        EXPECT_EQ(record.outcome, JobOutcome::kFailed);
        EXPECT_EQ(record.step, lastStatusKey);
        EXPECT_EQ(record.result, shown);
        EXPECT_EQ(record.keyIndex >= 0, reserved);
        EXPECT_EQ(record.keySent, reserved);
        EXPECT_EQ(record.slot, host.slotNumber);
        EXPECT_EQ(record.port, kLocation);
    }

    // The board holds its key already: no key taken, neither counter moves, the record says so.
    void ExpectAlready() {
        ExpectRows();
        EXPECT_EQ(host.LastStatus(), T("IDS_ALREADY_PROVISIONED"));
        EXPECT_EQ(host.failCalls, 0);
        EXPECT_EQ(host.successCalls, 0);
        EXPECT_EQ(host.decreaseUnusedCalls, 0);
        EXPECT_EQ(
            host.posted,
            (std::vector<std::pair<int, JobOutcome>>{{host.slotNumber, JobOutcome::kAlready}}));
        EXPECT_EQ(host.events, (std::vector<std::string>{"post"}));
        ASSERT_EQ(host.records.size(), 1u);
        EXPECT_EQ(host.records[0].outcome, JobOutcome::kAlready);
        EXPECT_EQ(host.records[0].step, "IDS_ALREADY_PROVISIONED");
        EXPECT_EQ(host.records[0].keyIndex, -1);
    }

    void ExpectSpent(const std::string& status) {
        ExpectFailed(status, true);
        ExpectKey(KeyState::kSpent, status);
    }

    void ExpectSucceeded(const std::string& okText, bool keyWritten) {
        ExpectRows();
        EXPECT_EQ(host.LastStatus(), okText);
        EXPECT_EQ(host.successCalls, 1);
        EXPECT_EQ(host.failCalls, 0);
        EXPECT_EQ(host.decreaseUnusedCalls, keyWritten ? 1 : 0);
        EXPECT_EQ(
            host.posted,
            (std::vector<std::pair<int, JobOutcome>>{{host.slotNumber, JobOutcome::kSuccess}}));
        ASSERT_EQ(host.records.size(), 1u);
        EXPECT_EQ(host.records[0].outcome, JobOutcome::kSuccess);
        EXPECT_EQ(host.records[0].result, okText);
        EXPECT_EQ(host.records[0].step, "");
        EXPECT_EQ(host.records[0].keyIndex, keyWritten ? 0 : -1);
        EXPECT_EQ(host.events, keyWritten
                                   ? (std::vector<std::string>{"decrease", "success", "post"})
                                   : (std::vector<std::string>{"success", "post"}));
    }

    // The progress texts shown, without the first (empty) one.
    std::vector<std::string> Progress() {
        std::vector<std::string> out;
        for (size_t i = 1; i < host.statuses.size(); ++i) {
            out.push_back(host.statuses[i].second);
        }
        return out;
    }

    bool Sent(uint8_t opcode, int subCode = -1) {
        for (const auto& c : tap.Commands()) {
            if (c.opcode == opcode && (subCode < 0 || c.subCode == subCode)) {
                return true;
            }
        }
        return false;
    }

    void ExpectMiscAreaHoldsKey(uint32_t keyIndex) {
        const auto area = Sectors(facts.keyAreaSector, 128);
        const auto key = PatternKey(keyIndex, keySize_);
        ASSERT_LE(key.size(), area.size());
        EXPECT_TRUE(std::equal(key.begin(), key.end(), area.begin()));
        EXPECT_TRUE(std::all_of(area.begin() + static_cast<long>(key.size()), area.end(),
                                [](uint8_t b) { return b == 0; }));
    }

    VirtualClock clock;
    DeviceTables tables;
    SimUsbHost usb;
    TapPipes tap;
    RecordingHost host;
    std::shared_ptr<LoaderEmulator> device;
    DemoFacts facts;
    TempDir dir;
    std::string rkpDir;
    std::string keyPath;
    uint32_t keySize_ = 0;
    uint32_t count_ = kKeyCount;
};

// --- Jobs that succeed ------------------------------------------------------------------------

TEST_F(Worker, NothingToDoSucceedsRightAfterTheReadinessTest) {
    Run();
    ExpectSucceeded(T("IDS_PROCCESS_OK") + "[]", false);
    const auto commands = tap.Commands();
    ASSERT_EQ(commands.size(), 1u);
    EXPECT_EQ(commands[0].opcode, 0x00);
    EXPECT_TRUE(StepLines().empty());
}

TEST_F(Worker, MiscDestinationWritesKeyAndZerosOverAnOlderLongerKey) {
    KeyJob(0, 1000);
    std::vector<uint8_t> old(65536, 0xEE);
    device->WriteSectors(facts.keyAreaSector, 128, old.data());
    Run();
    ExpectSucceeded(T("IDS_PROCCESS_OK") + "[" + T("IDS_INFO_KEYBOX") + "]", true);
    EXPECT_EQ(Progress(),
              (std::vector<std::string>{T("IDS_GET_KEY"), T("IDS_WRITE_MISC"), T("IDS_READ_MISC"),
                                        T("IDS_PROCCESS_OK") + "[" + T("IDS_INFO_KEYBOX") + "]"}));
    ExpectMiscAreaHoldsKey(0);
    ExpectKey(KeyState::kDelivered);
    EXPECT_TRUE(StepLines().empty());
}

class WorkerOnLayout : public Worker, public ::testing::WithParamInterface<DemoLayout> {};

TEST_P(WorkerOnLayout, MiscDestinationFoundThroughTheDevicesPartitionTable) {
    Plug(GetParam());
    KeyJob(0, 256);
    Run();
    ExpectSucceeded(T("IDS_PROCCESS_OK") + "[" + T("IDS_INFO_KEYBOX") + "]", true);
    ExpectMiscAreaHoldsKey(0);
    ExpectKey(KeyState::kDelivered);
}

INSTANTIATE_TEST_SUITE_P(Layouts, WorkerOnLayout,
                         ::testing::Values(DemoLayout::kGpt, DemoLayout::kParameterAt0,
                                           DemoLayout::kParameterAt8192));

TEST_F(Worker, MiscDestinationOnADiskPartitionedBySfdisk) {
    std::string image;
    ASSERT_TRUE(MakeSfdiskImage(dir, &image));
    device->EditStore([](SectorStore& s) { s.Clear(); });
    std::string error;
    ASSERT_TRUE(device->LoadImageFile(image, 0, &error)) << error;
    facts.keyAreaSector = kSfdiskMiscKeyArea;
    KeyJob(0, 512);
    Run();
    ExpectSucceeded(T("IDS_PROCCESS_OK") + "[" + T("IDS_INFO_KEYBOX") + "]", true);
    ExpectMiscAreaHoldsKey(0);
}

TEST_F(Worker, KeyFillingTheWholeMiscAreaIsWrittenAndComparedInFull) {
    KeyJob(0, 65536);
    tap.onCommand = [this](const TappedCommand& c) {
        // The device spoils the area's last byte before it is read back.
        if (c.opcode == 0x14 && c.count == 128) {
            std::vector<uint8_t> last(512);
            device->ReadSectors(facts.keyAreaSector + 127, 1, last.data());
            last[511] ^= 0xFF;
            device->WriteSectors(facts.keyAreaSector + 127, 1, last.data());
        }
    };
    Run();
    ExpectSpent("IDS_CHECK_KEY_ERROR");
}

TEST_F(Worker, KeyOfExactly64KiBSucceeds) {
    KeyJob(0, 65536);
    Run();
    ExpectSucceeded(T("IDS_PROCCESS_OK") + "[" + T("IDS_INFO_KEYBOX") + "]", true);
    ExpectMiscAreaHoldsKey(0);
}

TEST_F(Worker, PaddingChangedByTheDeviceIsNotCompared) {
    KeyJob(0, 100);
    tap.onCommand = [this](const TappedCommand& c) {
        if (c.opcode == 0x14 && c.count == 128) {
            std::vector<uint8_t> first(512);
            device->ReadSectors(facts.keyAreaSector, 1, first.data());
            first[100] = 0x42;
            device->WriteSectors(facts.keyAreaSector, 1, first.data());
        }
    };
    Run();
    ExpectSucceeded(T("IDS_PROCCESS_OK") + "[" + T("IDS_INFO_KEYBOX") + "]", true);
}

TEST_F(Worker, VendorStorageSectorDestination) {
    for (int32_t dest : {1, 3, -5}) {  // every value other than 0 and 2
        SCOPED_TRACE(dest);
        Plug(DemoLayout::kGpt);
        const auto before = Sectors(kVendorSector, 1);
        KeyJob(dest, 200);
        ForgetReports();
        Run();
        ExpectSucceeded(T("IDS_PROCCESS_OK") + "[" + T("IDS_INFO_KEYBOX") + "]", true);
        EXPECT_EQ(Progress(), (std::vector<std::string>{
                                  T("IDS_READING_SN"), T("IDS_READ_VENDOR"), T("IDS_GET_KEY"),
                                  T("IDS_WRITE_VENDOR"), T("IDS_RESET_DEVICE"),
                                  T("IDS_WAIT_DEVICE"), T("IDS_CLEAN_VENDOR"),
                                  T("IDS_PROCCESS_OK") + "[" + T("IDS_INFO_KEYBOX") + "]"}));
        const auto taken = device->TakenKeyboxes();
        ASSERT_EQ(taken.size(), 1u);
        EXPECT_EQ(taken[0].source, TakenKeybox::Source::kVendorSector);
        EXPECT_EQ(taken[0].declaredSize, 200u);
        EXPECT_EQ(taken[0].key, PatternKey(0, 200));
        EXPECT_EQ(0, std::memcmp(taken[0].recordInfo.data(), kRecordInfo, 16));
        // The vendor bytes before the record went back to the device as they were read.
        const auto after = Sectors(kVendorSector, 1);
        EXPECT_TRUE(std::equal(before.begin(), before.begin() + 252, after.begin()));
        EXPECT_TRUE(Sent(0xFF, 1));
        ExpectKey(KeyState::kDelivered);
    }
}

TEST_F(Worker, VendorItem8DestinationIsBuiltFromZerosNotFromWhatTheGuardRead) {
    KeyJob(2, 128);
    std::vector<uint8_t> junk(512, 0x77);
    device->WriteSectors(kItem8Sector, 1, junk.data());
    Run();
    ExpectSucceeded(T("IDS_PROCCESS_OK") + "[" + T("IDS_INFO_KEYBOX") + "]", true);
    EXPECT_EQ(Progress(),
              (std::vector<std::string>{T("IDS_READING_SN"), T("IDS_READ_VENDOR"), T("IDS_GET_KEY"),
                                        T("IDS_WRITE_VENDOR"), T("IDS_RESET_DEVICE"),
                                        T("IDS_WAIT_DEVICE"), T("IDS_CLEAN_VENDOR"),
                                        T("IDS_PROCCESS_OK") + "[" + T("IDS_INFO_KEYBOX") + "]"}));
    // Nothing of the junk the guard read went back: the item was built from zeros (the loader
    // cleared the record, the item's id and length stay).
    std::vector<uint8_t> left(512, 0);
    left[0] = 8;
    left[4] = 156;
    EXPECT_EQ(Sectors(kItem8Sector, 1), left);
    const auto taken = device->TakenKeyboxes();
    ASSERT_EQ(taken.size(), 1u);
    EXPECT_EQ(taken[0].source, TakenKeybox::Source::kVendorItem8);
    EXPECT_EQ(taken[0].key, PatternKey(0, 128));
    // Item 8 is read by the guard, written once and read once after the reset.
    const auto commands = tap.Commands();
    std::vector<uint8_t> item8Ops;
    for (const auto& c : commands) {
        if (c.address == kItem8Sector && (c.opcode == 0x14 || c.opcode == 0x15)) {
            item8Ops.push_back(c.opcode);
        }
    }
    EXPECT_EQ(item8Ops, (std::vector<uint8_t>{0x14, 0x15, 0x14}));
    ExpectKey(KeyState::kDelivered);
}

TEST_F(Worker, KeysFillingTheRecordRoomExactlyAreWritten) {
    KeyJob(1, 232);
    Run();
    ExpectSucceeded(T("IDS_PROCCESS_OK") + "[" + T("IDS_INFO_KEYBOX") + "]", true);
    ASSERT_EQ(device->TakenKeyboxes().size(), 1u);
    EXPECT_EQ(device->TakenKeyboxes()[0].key, PatternKey(0, 232));
}

TEST_F(Worker, KeysLongerThanTheRecordRoomAreRefusedBeforeAnythingIsWritten) {
    for (auto [dest, size] : {std::pair<int32_t, uint32_t>{1, 233}, {2, 129}}) {
        SCOPED_TRACE(dest);
        Plug(DemoLayout::kGpt);
        const auto vendorBefore = Sectors(kVendorSector, 1);
        KeyJob(dest, size);
        ForgetReports();
        const size_t commandsBefore = tap.Commands().size();
        Run();
        ExpectFailed("IDS_KEY_SIZE_LARGER");
        const auto commands = tap.Commands();
        EXPECT_TRUE(std::none_of(
            commands.begin() + static_cast<long>(commandsBefore), commands.end(),
            [](const TappedCommand& c) { return c.opcode == 0x15 || c.opcode == 0xFF; }));
        EXPECT_EQ(Sectors(kVendorSector, 1), vendorBefore);
        EXPECT_EQ(StepLines(),
                  std::vector<std::string>{"<1-3> Error:UpgradeThreadProc-->key size " +
                                           std::to_string(size) + " larger than the record room " +
                                           std::to_string(dest == 1 ? 232 : 128)});
        ExpectKey(KeyState::kReturned);
    }
}

TEST_F(Worker, ResetAnsweredWithPipeFailuresCountsAsDone) {
    for (bool refuseIn : {false, true}) {
        SCOPED_TRACE(refuseIn);
        Plug(DemoLayout::kGpt);
        tap.loseResetStatus = !refuseIn;
        tap.refuseInAfterReset = refuseIn;
        const int interventions = tap.ResetInterventions();
        KeyJob(1, 128);
        ForgetReports();
        Run();
        ExpectSucceeded(T("IDS_PROCCESS_OK") + "[" + T("IDS_INFO_KEYBOX") + "]", true);
        EXPECT_EQ(tap.ResetInterventions(), interventions + 1);
        EXPECT_EQ(device->TakenKeyboxes().size(), 1u);
    }
}

TEST_F(Worker, FinalResetOnlyAfterSuccess) {
    KeyJob(0, 64);
    host.settings.ResetAfterWrite = 1;
    Run();
    ExpectSucceeded(T("IDS_PROCCESS_OK") + "[" + T("IDS_INFO_KEYBOX") + "]", true);
    EXPECT_TRUE(host.log.Has("<1-3> UpgradeThreadProc->ZRU_ResetDevice..."));
    ASSERT_FALSE(tap.Commands().empty());
    EXPECT_EQ(tap.Commands().back().opcode, 0xFF);
    EXPECT_EQ(tap.Commands().back().subCode, 0);
}

TEST_F(Worker, FinalResetIsSkippedForAFailedJob) {
    KeyJob(0, 64);
    host.settings.ResetAfterWrite = 1;
    FailCommand(0x15, facts.keyAreaSector);
    Run();
    ExpectFailed("IDS_WRITE_KEY_MISC_ERROR", true);
    EXPECT_FALSE(Sent(0xFF));
    EXPECT_FALSE(host.log.Contains("ZRU_ResetDevice..."));
}

// --- RKP export -------------------------------------------------------------------------------

// '#' in the pattern stands for one decimal digit; everything else must match exactly.
bool MatchesName(const std::string& pattern, const std::string& name) {
    if (pattern.size() != name.size()) {
        return false;
    }
    for (size_t i = 0; i < pattern.size(); ++i) {
        const bool ok =
            pattern[i] == '#' ? (name[i] >= '0' && name[i] <= '9') : pattern[i] == name[i];
        if (!ok) {
            return false;
        }
    }
    return true;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST_F(Worker, RkpOnlyJobSavesTheItemUnchanged) {
    host.settings.GetRkp = 1;
    Run();
    ExpectSucceeded(T("IDS_PROCCESS_OK") + "[ " + T("IDS_INFO_RKP") + "]", false);
    EXPECT_EQ(Progress(),
              (std::vector<std::string>{T("IDS_READING_SN"), T("IDS_READING_RKP"),
                                        T("IDS_PROCCESS_OK") + "[ " + T("IDS_INFO_RKP") + "]"}));
    std::vector<std::string> files;
    for (const auto& e : fs::directory_iterator(rkpDir)) {
        files.push_back(e.path().filename().string());
    }
    ASSERT_EQ(files.size(), 1u);
    EXPECT_TRUE(MatchesName("KSDEMO0001-########_######.json", files[0])) << files[0];
    EXPECT_EQ(ReadFile(rkpDir + "/" + files[0]),
              std::string(facts.rkpData.begin(), facts.rkpData.end()));
    EXPECT_EQ(StepLines(),
              (std::vector<std::string>{
                  "<1-3> Error:UpgradeThreadProc-->ZR_ReadVendorRpmbData success[KSDEMO0001]",
                  "<1-3> Error:UpgradeThreadProc-->ZR_ReadVendorRpmbData success"}));
}

TEST_F(Worker, RkpAndKeyboxTogether) {
    host.settings.GetRkp = 1;
    KeyJob(0, 64);
    Run();
    ExpectSucceeded(
        T("IDS_PROCCESS_OK") + "[" + T("IDS_INFO_KEYBOX") + " " + T("IDS_INFO_RKP") + "]", true);
    ExpectKey(KeyState::kDelivered);
}

TEST_F(Worker, BoardThatHasAKeyOfTheseKeysGetsNoSecondOne) {
    host.settings.GetRkp = 1;
    KeyJob(0, 64);
    Run();
    ASSERT_EQ(host.successCalls, 1);
    ExpectMiscAreaHoldsKey(0);

    // The same board again, in this run: its serial number got key 0.
    ForgetReports();
    Run();
    ExpectAlready();
    EXPECT_EQ(host.keyFile->GetUnusedCount(), static_cast<int32_t>(count_) - 1);
    // It keeps the one RKP file of its first job.
    EXPECT_EQ(std::distance(fs::directory_iterator(rkpDir), fs::directory_iterator()), 1);
    ExpectMiscAreaHoldsKey(0);

    // A later run knows the serial number from the journal, and the key area's key from the
    // file's used-key record even when the serial number is not read.
    host.keyFile.reset();
    host.keyFile = std::make_unique<CKeyFile>(keyPath);
    ASSERT_TRUE(host.keyFile->IsValid());
    for (const int32_t rkp : {1, 0}) {
        ForgetReports();
        host.settings.GetRkp = rkp;
        Run();
        ExpectAlready();
    }
    // Vendor storage reads the serial number for the guard even without the RKP export.
    ForgetReports();
    host.settings.DestPosition = 1;
    Run();
    ExpectAlready();

    // Allowed, the misc destination takes the next key and the area holds it.
    ForgetReports();
    host.settings.DestPosition = 0;
    host.settings.GetRkp = 1;
    host.settings.AllowReprovision = 1;
    Run();
    EXPECT_EQ(host.successCalls, 1);
    ExpectMiscAreaHoldsKey(1);
    EXPECT_EQ(host.keyFile->GetUnusedCount(), static_cast<int32_t>(count_) - 2);
}

class WorkerJsonformat : public Worker, public ::testing::WithParamInterface<int32_t> {};

TEST_P(WorkerJsonformat, FileNamePatternFollowsTheSetting) {
    host.settings.GetRkp = 1;
    host.settings.Jsonformat = GetParam();
    host.settings.SavePath = rkpDir + "/";  // with its separator: the same folder
    Run();
    ASSERT_EQ(host.successCalls, 1);
    static const char* const kPatterns[] = {
        "KSDEMO0001-########_######.json",
        "KSDEMO0001-####-##-##_##-##-##.json",
        "KSDEMO0001-####-##-##_##:##:##.json",
        "KSDEMO0001.json",
    };
    std::vector<std::string> files;
    for (const auto& e : fs::directory_iterator(rkpDir)) {
        files.push_back(e.path().filename().string());
    }
    ASSERT_EQ(files.size(), 1u);
    EXPECT_TRUE(MatchesName(kPatterns[std::min(GetParam(), 3)], files[0])) << files[0];
}

INSTANTIATE_TEST_SUITE_P(Patterns, WorkerJsonformat, ::testing::Values(0, 1, 2, 3, 7));

TEST_F(Worker, EmptySavePathWritesIntoTheApplicationFolder) {
    host.settings.GetRkp = 1;
    host.settings.Jsonformat = 3;
    host.settings.SavePath.clear();
    host.settings.exeFolder = dir.path();  // without its separator
    Run();
    ASSERT_EQ(host.successCalls, 1);
    EXPECT_TRUE(fs::exists(dir.File("KSDEMO0001.json")));
}

TEST_F(Worker, SerialNumberOfExactly100CharactersIsAccepted) {
    host.settings.GetRkp = 1;
    host.settings.Jsonformat = 3;
    device->SetItem(kDemoItemSerial, 0, std::vector<uint8_t>(100, 'S'));
    Run();
    ASSERT_EQ(host.successCalls, 1);
    EXPECT_TRUE(fs::exists(rkpDir + "/" + std::string(100, 'S') + ".json"));
}

TEST_F(Worker, MalformedOrEscapingSerialNumbersFailTheCheckAndWriteNothing) {
    const std::vector<std::string> serials = {
        std::string(101, 'S'), "", "../outside", "a/b", "..\\x", std::string("cr\rlf")};
    for (const std::string& sn : serials) {
        SCOPED_TRACE(sn);
        ForgetReports();
        host.settings.GetRkp = 1;
        std::vector<uint8_t> item = EmptyItem();
        item.insert(item.end(), sn.begin(), sn.end());
        device->SetItem(kDemoItemSerial, 0, std::move(item));
        Run();
        // No new status: the row keeps the RKP reading text.
        ExpectFailed("IDS_READING_RKP");
        EXPECT_TRUE(host.log.Has("<1-3> Error:UpgradeThreadProc-->sn format error"));
        EXPECT_TRUE(fs::is_empty(rkpDir));
        EXPECT_FALSE(fs::exists(dir.File("outside-")));
        for (const auto& e : fs::directory_iterator(dir.path())) {
            EXPECT_EQ(e.path().extension(), e.path().filename() == "rkp" ? "" : ".kdb") << e.path();
        }
    }
}

TEST_F(Worker, SerialCheckComesOnlyAfterTheRkpItemWasRead) {
    host.settings.GetRkp = 1;
    device->SetItem(kDemoItemSerial, 0, EmptyItem());
    device->RemoveItem(kDemoItemRkp, 0);
    Run();
    ExpectFailed("IDS_READING_RKP_ERROR");
    EXPECT_EQ(StepLines(),
              (std::vector<std::string>{
                  "<1-3> Error:UpgradeThreadProc-->ZR_ReadVendorRpmbData success[]",
                  "ERROR:ZR_ReadVendorRpmbData->ZRU_ReadVendorRpmb data failed,err=-8!",
                  "<1-3> Error:UpgradeThreadProc-->ZR_ReadVendorRpmbData failed,err=0"}));
}

TEST_F(Worker, SerialNumberReadFailure) {
    host.settings.GetRkp = 1;
    KeyJob(0, 64);
    device->RemoveItem(kDemoItemSerial, 0);
    Run();
    ExpectFailed("IDS_READ_SN_ERROR");
    EXPECT_EQ(StepLines(),
              (std::vector<std::string>{
                  "ERROR:ZR_ReadVendorRpmbData->ZRU_ReadVendorRpmb data failed,err=-8!",
                  "<1-3> Error:UpgradeThreadProc-->ZR_ReadVendorRpmbData failed,err=0"}));
    ExpectKey(KeyState::kFree);
}

// A vendor record cannot be read back once the loader has taken it: a board whose serial number
// cannot be read, or reads empty, gets no key there.
TEST_F(Worker, VendorDestinationsTakeNoKeyWithoutTheSerialNumber) {
    for (const int32_t dest : {1, 2}) {
        for (const bool unreadable : {true, false}) {
            SCOPED_TRACE("destination " + std::to_string(dest) +
                         (unreadable ? ", item unreadable" : ", item empty"));
            KeyJob(dest, 64);
            ForgetReports();
            if (unreadable) {
                device->RemoveItem(kDemoItemSerial, 0);
            } else {
                device->SetItem(kDemoItemSerial, 0, EmptyItem());
            }
            Run();
            ExpectFailed("IDS_READ_SN_ERROR");
            ExpectKey(KeyState::kFree);
        }
    }
}

TEST_F(Worker, RkpFileThatCannotBeWritten) {
    host.settings.GetRkp = 1;
    host.settings.Jsonformat = 3;
    host.settings.SavePath = dir.File("missing");
    KeyJob(0, 64);
    Run();
    ExpectFailed("IDS_SAVE_RKP_ERROR");
    EXPECT_TRUE(host.log.Has("<1-3> Error:UpgradeThreadProc-->save rkp fail[" +
                             dir.File("missing/KSDEMO0001.json") + "](-1/" +
                             std::to_string(facts.rkpData.size()) + ")"));
    ExpectKey(KeyState::kFree);
}

TEST_F(Worker, EmptyRkpItemIsASaveFailure) {
    host.settings.GetRkp = 1;
    host.settings.Jsonformat = 3;
    device->SetItem(kDemoItemRkp, 0, EmptyItem());
    Run();
    ExpectFailed("IDS_SAVE_RKP_ERROR");
    EXPECT_TRUE(host.log.Has("<1-3> Error:UpgradeThreadProc-->save rkp fail[" + rkpDir +
                             "/KSDEMO0001.json](-1/0)"));
    EXPECT_TRUE(fs::is_empty(rkpDir));
}

// --- Failures before a key is taken -----------------------------------------------------------

TEST_F(Worker, ScannerCannotBeMade) {
    KeyJob(0, 64);
    host.failScanner = true;
    Run();
    ExpectFailed("IDS_CREATE_ZRSCAN_ERROR");
    EXPECT_EQ(StepLines(),
              std::vector<std::string>{"<1-3> Error:UpgradeThreadProc-->new ZRScan object failed"});
    EXPECT_TRUE(tap.Commands().empty());
    ExpectKey(KeyState::kFree);
}

TEST_F(Worker, CommandObjectCannotBeMade) {
    KeyJob(0, 64);
    host.failComm = true;
    Run();
    ExpectFailed("IDS_CREATE_ZRCOMM_ERROR");
    EXPECT_EQ(StepLines(),
              std::vector<std::string>{"<1-3> Error:UpgradeThreadProc-->new ZRComm object failed"});
    ExpectKey(KeyState::kFree);
}

TEST_F(Worker, DeviceNotReady) {
    KeyJob(0, 64);
    LoaderConfig config = device->Config();
    config.testReadyStatus = 1;
    device->SetConfig(config);
    Run();
    ExpectFailed("IDS_TEST_DEVICE_ERROR");
    EXPECT_EQ(StepLines(),
              std::vector<std::string>{
                  "<1-3> Error:UpgradeThreadProc-->ZRU_TestDeviceReady failed,err=-6"});
    ExpectKey(KeyState::kFree);
}

TEST_F(Worker, NoKeyLeftOrNoKeyFile) {
    host.settings.WriteKeybox = 1;
    Run();
    ExpectFailed("IDS_GET_KEY_ERROR");
    EXPECT_EQ(StepLines(),
              std::vector<std::string>{"<1-3> Error:UpgradeThreadProc-->Get key failed"});

    ForgetReports();
    LoadKeys(64, 2, {0, 1});
    Run();
    ExpectFailed("IDS_GET_KEY_ERROR");
}

TEST_F(Worker, WithoutAStationLogTheJobStillReports) {
    KeyJob(0, 64);
    host.withLog = false;
    LoaderConfig config = device->Config();
    config.testReadyStatus = 1;
    device->SetConfig(config);
    Run();
    ExpectFailed("IDS_TEST_DEVICE_ERROR");
    EXPECT_TRUE(StepLines().empty());
}

TEST_F(Worker, SlotNotInTheTable) {
    host.slotNumber = 5;
    UpgradeThreadProc(host, 7);
    EXPECT_TRUE(host.statuses.empty());
    EXPECT_EQ(host.failCalls, 1);
    EXPECT_EQ(host.posted, (std::vector<std::pair<int, JobOutcome>>{{7, JobOutcome::kFailed}}));
}

// --- Failures in the misc destination ----------------------------------------------------------

TEST_F(Worker, NoPartitionTableOnTheDevice) {
    KeyJob(0, 64);
    device->EditStore([](SectorStore& s) { s.Clear(); });
    Run();
    ExpectFailed("IDS_GET_MISC_OFFSET_ERROR");
    EXPECT_EQ(StepLines(), (std::vector<std::string>{
                               "ERROR:GetParamFromDev->Check parameter tag failed!",
                               "<1-3> Error:UpgradeThreadProc-->Get key writing position failed"}));
    ExpectKey(KeyState::kFree);
}

TEST_F(Worker, MiscWithoutAFixedSizeIsNotWritten) {
    KeyJob(0, 64);
    device->EditStore([](SectorStore& s) {
        s.Clear();
        WriteParameterFile(s, 0, "CMDLINE: mtdparts=a:0x2000@0x2000(boot),-@0x4000(misc)\n");
    });
    Run();
    ExpectFailed("IDS_GET_MISC_OFFSET_ERROR");
    EXPECT_EQ(StepLines(), (std::vector<std::string>{
                               "ERROR:GetKeyMiscOffset->misc size unknown!",
                               "<1-3> Error:UpgradeThreadProc-->Get key writing position failed"}));
    EXPECT_FALSE(Sent(0x15));
    ExpectKey(KeyState::kFree);  // the key area is found before a key is taken
}

TEST_F(Worker, KeyLargerThanTheMiscAreaIsHeld) {
    KeyJob(0, 65537);
    Run();
    ExpectFailed("IDS_KEY_SIZE_LARGER");
    EXPECT_TRUE(StepLines().empty());
    EXPECT_FALSE(Sent(0x15));
    ExpectKey(KeyState::kTaken);
}

TEST_F(Worker, MiscWriteFailureSpendsTheKeyTheBoardMayHaveStored) {
    KeyJob(0, 64);
    FailCommand(0x15, facts.keyAreaSector);
    Run();
    EXPECT_EQ(StepLines(), std::vector<std::string>{
                               "<1-3> Error:UpgradeThreadProc-->ZRU_WriteLBA failed,err=-8"});
    ExpectSpent("IDS_WRITE_KEY_MISC_ERROR");
}

TEST_F(Worker, MiscReadBackFailureSpendsTheKey) {
    KeyJob(0, 64);
    FailCommand(0x14, facts.keyAreaSector, 2);  // the first read is the look before a key is taken
    Run();
    EXPECT_EQ(StepLines(), std::vector<std::string>{
                               "<1-3> Error:UpgradeThreadProc->ZRU_ReadLBA failed,err=-8!"});
    ExpectSpent("IDS_READ_MISC_ERROR");
}

TEST_F(Worker, MiscReadBackDifferenceSpendsTheKey) {
    KeyJob(0, 64);
    tap.onCommand = [this](const TappedCommand& c) {
        if (c.opcode == 0x14 && c.address == facts.keyAreaSector) {
            std::vector<uint8_t> first(512);
            device->ReadSectors(facts.keyAreaSector, 1, first.data());
            first[63] ^= 1;
            device->WriteSectors(facts.keyAreaSector, 1, first.data());
        }
    };
    Run();
    EXPECT_EQ(StepLines(),
              std::vector<std::string>{"<1-3> Error:UpgradeThreadProc->compare key failed!"});
    ExpectSpent("IDS_CHECK_KEY_ERROR");
}

TEST_F(Worker, ReadBackThatDeliversNoDataIsNotMistakenForTheKey) {
    // The buffer still held the image that was written: a read that reports success without
    // filling it must not compare equal.
    KeyJob(0, 64);
    tap.swallowIn = [this](const TappedCommand& c) {
        return c.opcode == 0x14 && c.address == facts.keyAreaSector;
    };
    Run();
    ExpectSpent("IDS_CHECK_KEY_ERROR");
}

// --- Failures in the vendor destinations ------------------------------------------------------

TEST_F(Worker, VendorSectorReadFailureStopsTheJobBeforeAKeyIsTaken) {
    KeyJob(1, 64);
    FailCommand(0x14, kVendorSector);
    Run();
    ExpectFailed("IDS_READ_VENDOR_ERROR");
    EXPECT_EQ(StepLines(), std::vector<std::string>{
                               "<1-3> Error:UpgradeThreadProc->ZRU_ReadLBA failed,err=-8!"});
    ExpectKey(KeyState::kFree);
    EXPECT_FALSE(host.StatusShown("IDS_GET_KEY"));
}

TEST_F(Worker, VendorSectorWithoutItsTagTakesNoKey) {
    KeyJob(1, 64);
    std::vector<uint8_t> sector(512, 0);
    device->WriteSectors(kVendorSector, 1, sector.data());
    Run();
    ExpectFailed("IDS_INVALID_VENDOR_ERROR");
    EXPECT_EQ(StepLines(),
              std::vector<std::string>{"<1-3> Error:UpgradeThreadProc->vendor data invalid!"});
    EXPECT_FALSE(Sent(0x15));
    ExpectKey(KeyState::kFree);
    EXPECT_FALSE(host.StatusShown("IDS_GET_KEY"));
}

TEST_F(Worker, VendorSectorWriteFailureSpendsTheKey) {
    KeyJob(1, 64);
    FailCommand(0x15, kVendorSector);
    Run();
    EXPECT_EQ(StepLines(), std::vector<std::string>{
                               "<1-3> Error:UpgradeThreadProc-->ZRU_WriteLBA failed,err=-8"});
    EXPECT_FALSE(Sent(0xFF));
    ExpectSpent("IDS_WRITE_KEY_ERROR");
}

TEST_F(Worker, VendorItem8WriteFailureShowsTheWriteErrorAndSpendsTheKey) {
    KeyJob(2, 64);
    FailCommand(0x15, kItem8Sector);
    Run();
    EXPECT_EQ(StepLines(), std::vector<std::string>{
                               "ERROR:ZR_WriteProvisioningData->ZRU_WriteLBA failed,err=-8!"});
    EXPECT_FALSE(Sent(0xFF));
    ExpectSpent("IDS_WRITE_KEY_ERROR");
}

TEST_F(Worker, ResetFailureSpendsTheKeyTheBoardMayHaveTaken) {
    KeyJob(1, 64);
    FailCommand(0xFF, 0);
    Run();
    EXPECT_EQ(StepLines(), std::vector<std::string>{
                               "<1-3> Error:UpgradeThreadProc-->ZRU_ResetDevice failed,err=-8"});
    ExpectSpent("IDS_RESET_ERROR");
}

TEST_F(Worker, DeviceThatDoesNotComeBackSpendsTheKeyAfterThirtySeconds) {
    for (bool otherPort : {false, true}) {
        SCOPED_TRACE(otherPort);
        Plug(DemoLayout::kGpt);
        SetFaults([otherPort](LoaderFaults& f) {
            f.noReturnAfterReset = !otherPort;
            f.returnAtOtherPort = otherPort;
        });
        KeyJob(1, 64);
        ForgetReports();
        const uint64_t start = clock.NowMs();
        Run();
        EXPECT_GE(clock.NowMs() - start, 30000u);
        EXPECT_EQ(StepLines(), std::vector<std::string>{
                                   "<1-3> Error:UpgradeThreadProc-->Wait loader failed,err=0"});
        ExpectSpent("IDS_WAIT_DEVICE_ERROR");
    }
}

TEST_F(Worker, ReReadAfterTheResetFailsAndSpendsTheKey) {
    KeyJob(1, 64);
    FailCommand(0x14, kVendorSector, 2);
    Run();
    EXPECT_EQ(StepLines(), std::vector<std::string>{
                               "<1-3> Error:UpgradeThreadProc->ZRU_ReadLBA2 failed,err=-8!"});
    ExpectSpent("IDS_READ_VENDOR_ERROR");
}

struct TakeOutCase {
    int32_t dest;
    KeyboxTakeOut takeOut;
    const char* status;
    const char* line;
};

class WorkerTakeOut : public Worker, public ::testing::WithParamInterface<TakeOutCase> {};

TEST_P(WorkerTakeOut, DeviceThatDidNotClearTheAreaSpendsTheKey) {
    const TakeOutCase& c = GetParam();
    SetFaults([&c](LoaderFaults& f) { f.keyboxTakeOut = c.takeOut; });
    KeyJob(c.dest, 64);
    Run();
    EXPECT_EQ(StepLines(), std::vector<std::string>{c.line});
    ExpectSpent(c.status);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, WorkerTakeOut,
    ::testing::Values(
        TakeOutCase{1, KeyboxTakeOut::kLeaveRecord, "IDS_KEY_EXIST_ERROR",
                    "<1-3> Error:UpgradeThreadProc->key exist!"},
        TakeOutCase{1, KeyboxTakeOut::kLeaveStrayByte, "IDS_CLEAN_VENDOR_ERROR",
                    "<1-3> Error:UpgradeThreadProc->Cleaning vendor failed!"},
        TakeOutCase{2, KeyboxTakeOut::kWriteExis, "IDS_KEY_EXIST_ERROR",
                    "<1-3> Error:UpgradeThreadProc->key exist!"},
        // In item 8 only "EXIS" means present; a record left with its "KBOX" tag is dirt.
        TakeOutCase{2, KeyboxTakeOut::kLeaveRecord, "IDS_CLEAN_VENDOR_ERROR",
                    "<1-3> Error:UpgradeThreadProc->Cleaning vendor failed!"},
        TakeOutCase{2, KeyboxTakeOut::kLeaveStrayByte, "IDS_CLEAN_VENDOR_ERROR",
                    "<1-3> Error:UpgradeThreadProc->Cleaning vendor failed!"}));

// --- The key-file update -------------------------------------------------------------------------

TEST_F(Worker, ADeliveredRecordThatCannotBeWrittenStopsTheStation) {
    KeyJob(0, 64);
    // The key file on a disk that goes away once the key is on its way to the board.
    auto disk = std::make_shared<keydbtest::MemoryDisk>();
    {
        std::ifstream in(keyPath, std::ios::binary);
        disk->file.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    disk->durable = disk->file;
    host.keyFile.reset();
    host.keyFile = std::make_unique<CKeyFile>(std::make_unique<keydbtest::MemoryKeyFileIo>(disk),
                                              keyPath, nullptr, KeyFileAccess::Station);
    ASSERT_TRUE(host.keyFile->IsValid()) << host.keyFile->GetError();
    tap.onCommand = [&disk](const TappedCommand& c) {
        if (c.opcode == 0x15) {
            disk->off = true;
        }
    };
    Run();
    ExpectMiscAreaHoldsKey(0);
    EXPECT_EQ(host.LastStatus(), T("IDS_UPDATE_KEYFILE_ERROR") + kKeyNoteSeparator +
                                     T("IDS_KEY_MAY_BE_ON_BOARD") + " 0");
    EXPECT_EQ(host.keyFileFailedCalls, 1);
    EXPECT_EQ(host.failCalls, 1);
    EXPECT_EQ(host.successCalls, 0);
    EXPECT_TRUE(host.keyFile->IsBroken());
    // The key may be on the board: it stays used, never handed out again.
    EXPECT_EQ(host.keyFile->GetKeyState(0), KeyState::kSpent);
    EXPECT_TRUE(disk->DurableBit(0));
}

TEST_F(Worker, KeyThatCannotBeReservedIsNeverSentAndStopsTheKeyFile) {
    KeyJob(0, 64);
    // Another program damages the file's header after it was loaded (the keys themselves, read
    // from the file when taken, are untouched).
    FILE* damage = std::fopen(keyPath.c_str(), "r+b");
    ASSERT_NE(damage, nullptr);
    ASSERT_EQ(std::fwrite("\0\0\0\0", 1, 4, damage), 4u);
    ASSERT_EQ(std::fclose(damage), 0);
    Run();
    EXPECT_EQ(host.LastStatus(),
              T("IDS_UPDATE_KEYFILE_ERROR") + kKeyNoteSeparator + T("IDS_NO_KEY_SENT"));
    EXPECT_EQ(host.events, (std::vector<std::string>{"keyfile-failed", "fail", "post"}));
    EXPECT_EQ(StepLines(),
              std::vector<std::string>{"<1-3> Error:UpgradeThreadProc-->UpdateKeyFile failed"});
    EXPECT_FALSE(Sent(0x15));  // not a byte of the key reached the board
    EXPECT_EQ(host.keyFile->GetKeyState(0), KeyState::kTaken);
    EXPECT_TRUE(host.keyFile->IsBroken());
    int32_t index = -1;
    KeyCopy key;
    EXPECT_FALSE(host.keyFile->GetKey(&index, &key));  // no further key until a reload
}

TEST_F(Worker, AKeyChangedOnDiskAfterTheLoadStopsTheStationAtTheTake) {
    KeyJob(0, 64);
    // Another program writes over the first key's bytes after the load: the take finds it and
    // the station is told to stop, as when a record cannot be written.
    FILE* damage = std::fopen(keyPath.c_str(), "r+b");
    ASSERT_NE(damage, nullptr);
    ASSERT_EQ(std::fseek(damage, host.keyFile->GetHeaderSize(), SEEK_SET), 0);
    ASSERT_EQ(std::fwrite("\xff\x00\xff\x00", 1, 4, damage), 4u);
    ASSERT_EQ(std::fclose(damage), 0);
    Run();
    EXPECT_EQ(host.LastStatus(), T("IDS_STOPPED_KEYFILE"));
    // A stopped job, not a failed board: nothing was written to it.
    EXPECT_EQ(host.events, (std::vector<std::string>{"keyfile-failed", "post"}));
    EXPECT_FALSE(Sent(0x15));
    EXPECT_TRUE(host.keyFile->IsBroken());
}

// --- The re-provisioning guard, every destination ------------------------------------------------

struct GuardCase {
    int32_t dest;
    int32_t rkp;
};

class WorkerGuard : public Worker, public ::testing::WithParamInterface<GuardCase> {
  protected:
    // The file's keys on the board, wherever they are: the misc key area, a record in the vendor
    // sector or item 8, or among the records the loader took.
    std::set<uint32_t> KeysOnBoard() {
        std::set<uint32_t> out;
        const auto area = Sectors(facts.keyAreaSector, 128);
        const auto vendorArea = Sectors(kVendorSector, 1);
        const auto item8 = Sectors(kItem8Sector, 1);
        const auto taken = device->TakenKeyboxes();
        for (uint32_t i = 0; i < count_; ++i) {
            const auto key = PatternKey(i, keySize_);
            const auto within = [&key](const std::vector<uint8_t>& bytes) {
                return std::search(bytes.begin(), bytes.end(), key.begin(), key.end()) !=
                       bytes.end();
            };
            bool found = std::equal(key.begin(), key.end(), area.begin()) || within(vendorArea) ||
                         within(item8);
            for (const auto& t : taken) {
                found = found || t.key == key;
            }
            if (found) {
                out.insert(i);
            }
        }
        return out;
    }
    void Reload() {
        host.keyFile.reset();
        host.keyFile = std::make_unique<CKeyFile>(keyPath);
        ASSERT_TRUE(host.keyFile->IsValid()) << host.keyFile->GetError();
    }
    void ExpectRefused(int32_t unused) {
        ExpectAlready();
        EXPECT_FALSE(host.StatusShown("IDS_GET_KEY"));
        EXPECT_EQ(host.keyFile->GetUnusedCount(), unused);
    }
    // A fresh board and a fresh key file (and journal).
    void Fresh() {
        tap.onCommand = nullptr;
        Plug(DemoLayout::kGpt);
        LoadKeys(keySize_);
        ForgetReports();
    }
    // The sector the guard reads: the misc key area or the destination's vendor sector.
    uint32_t GuardSector(int32_t dest) const {
        return dest == 0 ? facts.keyAreaSector : dest == 2 ? kItem8Sector : kVendorSector;
    }
};

TEST_P(WorkerGuard, ABoardThatMayHoldOneOfTheseKeysNeverGetsASecondOne) {
    const GuardCase c = GetParam();
    const auto n = static_cast<int32_t>(kKeyCount);
    host.settings.GetRkp = c.rkp;
    KeyJob(c.dest, 64);
    const std::set<uint32_t> keyZero = {0};

    // The first job puts key 0 on the board; Stop and Start (the same loaded file) and a restart
    // (the file and its journal loaded again) refuse the board without taking a key.
    Run();
    ASSERT_EQ(host.successCalls, 1);
    EXPECT_EQ(KeysOnBoard(), keyZero);
    ForgetReports();
    Run();
    ExpectRefused(n - 1);
    Reload();
    ForgetReports();
    Run();
    ExpectRefused(n - 1);
    EXPECT_EQ(KeysOnBoard(), keyZero);

    // A crash after the board got its key and before "delivered": the disk as it was at that
    // moment (copied when the key had reached the board) is what the next run loads.
    Fresh();
    const std::string snapshot = dir.File("snapshot");
    fs::create_directory(snapshot);
    bool written = false;
    tap.onCommand = [&](const TappedCommand& cmd) {
        const bool onBoard = c.dest == 0 ? cmd.opcode == 0x14 && written : cmd.opcode == 0xFF;
        written = written || cmd.opcode == 0x15;
        if (onBoard && !fs::exists(snapshot + "/keys.kdb")) {
            CopyFileOver(keyPath, snapshot + "/keys.kdb");  // a tool may read the held file
            CopyFileOver(keyPath + ".journal.jsonl", snapshot + "/journal");
        }
    };
    Run();
    ASSERT_EQ(host.successCalls, 1);
    // Restored once the station let go of the file (Windows refuses it while the file is held).
    host.keyFile.reset();
    ASSERT_TRUE(CopyFileOver(snapshot + "/keys.kdb", keyPath));
    ASSERT_TRUE(CopyFileOver(snapshot + "/journal", keyPath + ".journal.jsonl"));
    Reload();
    EXPECT_EQ(host.keyFile->GetInDoubtCount(), 1u);
    ForgetReports();
    Run();
    ExpectRefused(n - 1);
    EXPECT_EQ(KeysOnBoard(), keyZero);

    // A job that failed after the write: the key is spent and may be on the board (misc: the
    // read-back failed; vendor: the loader left the record where it was).
    Fresh();
    if (c.dest == 0) {
        FailCommand(0x14, facts.keyAreaSector, 2);  // the guard's read is the first
    } else {
        SetFaults([](LoaderFaults& f) { f.keyboxTakeOut = KeyboxTakeOut::kLeaveRecord; });
    }
    Run();
    ASSERT_EQ(host.failCalls, 1);
    EXPECT_EQ(host.keyFile->GetKeyState(0), KeyState::kSpent);
    SetFaults([](LoaderFaults& f) { f.keyboxTakeOut = KeyboxTakeOut::kClean; });
    tap.onCommand = nullptr;
    ForgetReports();
    Run();
    ExpectRefused(n - 1);
    // Without the journal only the file's used-key record is left: the key on the board is
    // still recognised.
    host.keyFile.reset();
    fs::remove(keyPath + ".journal.jsonl");
    Reload();
    ForgetReports();
    Run();
    ExpectRefused(n - 1);
    EXPECT_EQ(KeysOnBoard(), keyZero);

    // The guard's read of the board fails: the job stops before a key is taken.
    Fresh();
    FailCommand(0x14, GuardSector(c.dest));
    Run();
    ExpectFailed(c.dest == 0 ? "IDS_READ_MISC_ERROR" : "IDS_READ_VENDOR_ERROR");
    EXPECT_FALSE(host.StatusShown("IDS_GET_KEY"));
    EXPECT_EQ(host.keyFile->GetUnusedCount(), n);
    EXPECT_TRUE(KeysOnBoard().empty());

    // Allowed, the board takes a second key; first, served now, its key area unreadable: told by
    // its serial number, which the guard reads whatever the destination; no key taken.
    tap.onCommand = nullptr;
    ForgetReports();
    Run();
    ASSERT_EQ(host.successCalls, 1);
    FailCommand(0x14, GuardSector(c.dest));
    ForgetReports();
    Run();
    ExpectRefused(n - 1);
    tap.onCommand = nullptr;
    host.settings.AllowReprovision = 1;
    ForgetReports();
    Run();
    ASSERT_EQ(host.successCalls, 1);
    EXPECT_EQ(host.keyFile->GetUnusedCount(), n - 2);
    // The misc key area holds the newer key only.
    const std::set<uint32_t> expected =
        c.dest == 0 ? std::set<uint32_t>{1} : std::set<uint32_t>{0, 1};
    EXPECT_EQ(KeysOnBoard(), expected);
}

INSTANTIATE_TEST_SUITE_P(EveryDestination, WorkerGuard,
                         ::testing::Values(GuardCase{0, 0}, GuardCase{0, 1}, GuardCase{1, 0},
                                           GuardCase{1, 1}, GuardCase{2, 0}, GuardCase{2, 1}),
                         [](const ::testing::TestParamInfo<GuardCase>& param) {
                             return std::string(param.param.dest == 0   ? "Misc"
                                                : param.param.dest == 1 ? "Vendor"
                                                                        : "Item8") +
                                    (param.param.rkp != 0 ? "WithSerial" : "WithoutRkp");
                         });

}  // namespace
