// Thousands of jobs on sixteen emulated boards, each command exposed to random faults (lost
// status blocks, unplugs, boards lost at a reset, short reads, wrong tags), half of them to the
// misc partition and half to vendor storage, with the boards plugged in again after every job as
// an operator would. Afterwards: the counters equal the jobs started, no key of the file is on
// two boards, every key on a board is marked used, the audit of the key file and its journal
// passes, delivered keys equal successes, and the unused label shows what the file holds.
//
// KS_SOAK_JOBS sets the number of jobs (default 10,000).
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "keydb/KeyAudit.h"
#include "keydb/KeyFile.h"
#include "support/IniSettingBase.h"
#include "tests/app/concurrent/StationHarness.h"
#include "tests/integrity/BoardKeyCheck.h"

namespace station_test {
namespace {

namespace C = StationControl;

constexpr int kBoards = 16;

class SoakTest : public StationTest {
  protected:
    std::string Location(int board) const { return "1-" + std::to_string(board + 1); }

    // Runs jobs until `jobs` have started in all, plugging every board in again once its job
    // has ended (a board that fell off the bus by itself comes back on its own).
    void RunJobs(uint64_t jobs) {
        std::set<int> unplugged;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(20);
        while (started_.load() < jobs) {
            ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "the soak stalled";
            queue_.RunFor(1);
            queue_.RunPending();
            const std::vector<DeviceSlot> slots = controller_->SlotsSnapshot();
            for (int b = 0; b < kBoards; ++b) {
                const std::string at = Location(b);
                const DeviceSlot* slot = nullptr;
                for (const DeviceSlot& s : slots) {
                    if (s.portLocation == at) {
                        slot = &s;
                    }
                }
                if (unplugged.count(b) != 0) {
                    if (slot == nullptr && !host_->IsAttached(at) &&
                        host_->Plug(at, boards_[static_cast<size_t>(b)])) {
                        unplugged.erase(b);
                    }
                } else if (slot != nullptr && slot->running == 0 && slot->present != 0 &&
                           host_->Unplug(at)) {
                    unplugged.insert(b);
                }
            }
        }
    }

    void StopAndSettle() {
        Press(C::kStartStopButton);
        ASSERT_TRUE(RunUntil([&] { return State() == StationState::kIdle; }, 120000));
        queue_.RunPending();
    }

    std::atomic<uint64_t> started_{0};
    std::vector<std::shared_ptr<LoaderEmulator>> boards_;
};

TEST_F(SoakTest, TenThousandJobsWithRandomFaultsKeepEveryKeyOnOneBoard) {
    const char* env = std::getenv("KS_SOAK_JOBS");
    const uint64_t jobs = env != nullptr && *env != '\0' ? std::strtoull(env, nullptr, 10) : 10000;
    system_["WriteKeybox"] = "1";
    system_["DestPosition"] = "0";
    system_["GetRkp"] = "0";
    system_["ResetAfterWrite"] = "0";
    // The same boards are written over and over: each job takes a key.
    system_["AllowReprovision"] = "1";
    const uint32_t keyCount = static_cast<uint32_t>(jobs + jobs / 4 + 64);
    const std::string kdb = MakeKeyFile("keys.kdb", keyCount, 64);

    RandomFaultRates rates;
    rates.statusLost = 0.03;
    rates.unplug = 0.01;
    rates.resetNeverReturns = 0.02;
    rates.shortRead = 0.03;
    rates.badTag = 0.03;
    rates.lostBoardReturnMs = 40000;  // after the job's 30-second wait has given up
    for (int b = 0; b < kBoards; ++b) {
        boards_.push_back(Plug(Location(b), b));
        boards_.back()->SetRandomFaults(rates, BoardFaultSeed(7, b));
    }
    BootReal();
    controller_->SetWorkerStartObserver([this](int) { started_.fetch_add(1); });
    controller_->LoadKeyFile(kdb);
    queue_.RunPending();

    // Half the jobs to the misc partition, half to vendor storage (with its reset and wait).
    Press(C::kStartStopButton);
    RunJobs(jobs / 2);
    StopAndSettle();
    controller_->MutableSettings().DestPosition = 1;
    Press(C::kStartStopButton);
    RunJobs(jobs);
    StopAndSettle();

    const uint64_t success = std::stoull(view_.Text(C::kSuccessCounter));
    const uint64_t fail = std::stoull(view_.Text(C::kFailCounter));
    const uint64_t total = std::stoull(view_.Text(C::kTotalCounter));
    EXPECT_EQ(total, started_.load());
    EXPECT_EQ(success + fail, total);
    EXPECT_GT(fail, 0u) << "the faults were not felt";
    EXPECT_GT(success, total / 2);

    CKeyFile file(kdb, nullptr, KeyFileAccess::VerifyOnly);
    ASSERT_TRUE(file.IsValid()) << file.GetError();
    const KeyAuditReport audit = AuditKeyFile(file);
    EXPECT_TRUE(audit.Passed());
    EXPECT_EQ(audit.delivered.size(), success);
    EXPECT_TRUE(audit.inDoubt.empty());
    EXPECT_EQ(audit.usedWithoutRecord, 0u);
    EXPECT_EQ(audit.usedInFile, audit.delivered.size() + audit.spent.size());
    EXPECT_EQ(view_.Text(C::kUnusedLabel), "Unused:" + std::to_string(file.GetUnusedCount()));

    integrity::BoardKeyCheck check(kdb);
    std::vector<uint8_t> area(size_t{128} * 512);
    std::vector<uint8_t> sector(512);
    for (int b = 0; b < kBoards; ++b) {
        LoaderEmulator& board = *boards_[static_cast<size_t>(b)];
        ASSERT_TRUE(board.ReadSectors(DemoLoaderFacts(b).keyAreaSector, 128, area.data()));
        check.SeeAt(b, area.data(), area.size());
        for (uint32_t s : {LoaderEmulator::kVendorSector, LoaderEmulator::kVendorItem8Sector}) {
            ASSERT_TRUE(board.ReadSectors(s, 1, sector.data()));
            check.SeeWithin(b, sector);
        }
        for (const TakenKeybox& t : board.TakenKeyboxes()) {
            check.SeeAt(b, t.key.data(), t.key.size());
        }
    }
    const size_t onBoards = check.Verify();
    EXPECT_GE(onBoards, audit.delivered.size() / 2);  // vendor deliveries stay on their boards

    std::printf(
        "[ soak ] %llu jobs: %llu success, %llu fail; %zu keys delivered, %zu spent, "
        "%zu found on boards\n",
        static_cast<unsigned long long>(total), static_cast<unsigned long long>(success),
        static_cast<unsigned long long>(fail), audit.delivered.size(), audit.spent.size(),
        onBoards);
}

}  // namespace
}  // namespace station_test
