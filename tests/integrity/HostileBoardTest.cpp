// Sixteen lying boards against the real controller and worker, for a few thousand jobs: each job
// gets a fresh board with its own seed (partition table, serial number, RKP data and every wire
// answer may lie), and when its job has ended the board is unplugged and the next one plugged in.
// Whatever the boards say, the station must not crash, must end every job within its time-outs
// and with exactly one result, must write nothing outside the RKP folder, and must mark no key
// used without a job that reserved it. KS_HOSTILE_JOBS sets the number of jobs (default 4000),
// KS_HOSTILE_SEED the seed.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdlib>
#include <iostream>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "keydb/KeyAudit.h"
#include "keydb/KeyFile.h"
#include "platform/sim/HostileBoard.h"
#include "support/IniSettingBase.h"
#include "tests/app/concurrent/StationHarness.h"

namespace station_test {
namespace {

namespace C = StationControl;

constexpr int kPorts = 16;
// The longest a job may take on the station's clock: every wait of the worker (device waits,
// a silent board's read time-outs, transport retries) fits many times into it.
constexpr uint64_t kJobLimitMs = 30 * 60 * 1000;

uint64_t EnvNumber(const char* name, uint64_t fallback) {
    const char* text = std::getenv(name);
    if (text == nullptr || *text == '\0') {
        return fallback;
    }
    return std::strtoull(text, nullptr, 0);
}

// Every file below folder, as paths relative to it.
std::set<std::string> FilesBelow(const fs::path& folder) {
    std::set<std::string> files;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(folder, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        if (!it->is_directory()) {
            files.insert(fs::relative(it->path(), folder).string());
        }
    }
    return files;
}

class HostileBoardTest : public StationTest {
  protected:
    struct Port {
        std::string location;
        std::shared_ptr<LoaderEmulator> board;
        std::unique_ptr<HostileBoard> hostile;
        int slot = 0;           // the slot number it is bound to, once known
        uint64_t counted = 0;   // the slot's job starts whose end has been counted
        bool jobEnded = false;  // the current board's job has ended
        bool away = false;      // unplugged, waiting until the station has seen it go
    };

    // Plugs a fresh lying board at the port; the seed and the partition layout change per life.
    void PlugHostile(Port& port) {
        const uint64_t life = lives_++;
        const int index = static_cast<int>(life % 9000) + 1;
        const DemoLayout layout = life % 3 == 0   ? DemoLayout::kGpt
                                  : life % 3 == 1 ? DemoLayout::kParameterAt0
                                                  : DemoLayout::kParameterAt8192;
        port.board = MakeDemoLoader(index, layout, clock_);
        port.hostile =
            std::make_unique<HostileBoard>(BoardFaultSeed(seed_, static_cast<int>(life)));
        port.hostile->Attach(*port.board);
        port.jobEnded = false;
        port.away = false;
        ASSERT_TRUE(host_->Plug(port.location, port.board)) << port.location;
    }

    // Runs jobs until `target` have ended in all and none runs, plugging a fresh board into every
    // port whose job has ended. A board that comes back after its job (it was reset) gets another
    // job, which counts as well. False when a job outlived any time-out (the watchdog).
    bool RunJobs(uint64_t target) {
        uint64_t lastProgressMs = clock_.NowMs();
        bool busy = true;  // a job runs, or a board is on its way back
        while (ended_ < target || busy) {
            queue_.RunPending();
            busy = host_->PendingReturns() > 0;
            std::map<int, uint64_t> starts;
            std::map<int, uint64_t> startedAt;
            {
                std::lock_guard<std::mutex> guard(startLock_);
                starts = starts_;
                startedAt = startedAt_;
            }
            // Taken after the starts: a job counted there shows as running here until it ends.
            const std::vector<DeviceSlot> slots = controller_->SlotsSnapshot();
            const uint64_t now = clock_.NowMs();
            for (Port& port : ports_) {
                const DeviceSlot* slot = nullptr;
                for (const DeviceSlot& s : slots) {
                    if (s.portLocation == port.location) {
                        slot = &s;
                    }
                }
                if (slot != nullptr) {
                    port.slot = slot->slotNumber;
                }
                const bool running = slot != nullptr && slot->running != 0;
                const uint64_t started = port.slot > 0 ? starts[port.slot] : 0;
                busy = busy || running;
                if (running && now - startedAt[port.slot] > kJobLimitMs) {
                    ADD_FAILURE() << "job at " << port.location << " still running after "
                                  << now - startedAt[port.slot] << " ms; board "
                                  << HostileHabitNames(port.hostile->Habits());
                    return false;
                }
                if (!running && started > port.counted) {
                    // The slot's jobs have ended: its row holds the result of the last one.
                    // A board that left by itself (a reset) after its job took its row along.
                    std::string text = view_.Cell(port.slot - 1, kColumnStatus);
                    if (text.empty()) {
                        text = "(row cleared: the board left after its job)";
                    }
                    results_[text] += started - port.counted;
                    ended_ += started - port.counted;
                    port.counted = started;
                    port.jobEnded = true;
                    lastProgressMs = now;
                    if (now - startedAt[port.slot] > longestMs_) {
                        longestMs_ = now - startedAt[port.slot];
                        longestText_ =
                            text + " (" + HostileHabitNames(port.hostile->Habits()) + ")";
                    }
                }
                if (port.away) {
                    // The station has let go of the last board: the next one is a new job.
                    if (slot == nullptr && plugged_ < target) {
                        ++plugged_;
                        PlugHostile(port);
                    }
                } else if (port.jobEnded && !running && host_->Unplug(port.location)) {
                    port.away = true;  // (a board off the bus after a reset is taken on its return)
                }
            }
            // No job at all ending for far longer than any job may take.
            if (now - lastProgressMs > 2 * kJobLimitMs) {
                ADD_FAILURE() << "no job ended for " << now - lastProgressMs << " ms after "
                              << ended_ << " jobs";
                return false;
            }
            queue_.RunFor(1);
        }
        return true;
    }

    void StopAndSettle() {
        Press(C::kStartStopButton);
        ASSERT_TRUE(RunUntil([&] { return State() == StationState::kIdle; }, 120000));
        queue_.RunPending();
    }

    uint64_t seed_ = EnvNumber("KS_HOSTILE_SEED", 0x5EED0F1E5ULL);
    uint64_t lives_ = 0;
    std::vector<Port> ports_;
    uint64_t plugged_ = 0;
    uint64_t ended_ = 0;
    std::map<std::string, uint64_t> results_;  // jobs by the last text of their row
    uint64_t longestMs_ = 0;
    std::string longestText_;
    std::mutex startLock_;
    std::map<int, uint64_t> starts_;     // job starts by slot number
    std::map<int, uint64_t> startedAt_;  // the station clock at the slot's latest start
    uint64_t totalStarts_ = 0;
};

TEST_F(HostileBoardTest, LyingBoardsNeverCrashHangEscapeTheRkpFolderOrSpendAnUnreservedKey) {
    const uint64_t jobs = std::max<uint64_t>(EnvNumber("KS_HOSTILE_JOBS", 4000), 2 * kPorts);
    const fs::path rkp = home_ / "out" / "a" / "b" / "rkp";  // deep: a "../" stays in the home
    fs::create_directories(rkp);
    system_["GetRkp"] = "1";
    system_["WriteKeybox"] = "1";
    system_["DestPosition"] = "0";
    system_["SavePath"] = rkp.string() + "/";
    const std::string kdb = MakeKeyFile("keys.kdb", static_cast<uint32_t>(jobs + kPorts), 64);

    ports_.resize(kPorts);
    for (int p = 0; p < kPorts; ++p) {
        ports_[static_cast<size_t>(p)].location = "1-" + std::to_string(p + 1);
        PlugHostile(ports_[static_cast<size_t>(p)]);
    }
    plugged_ = kPorts;
    BootReal();
    controller_->LoadKeyFile(kdb);
    queue_.RunPending();
    const std::set<std::string> before = FilesBelow(home_);
    controller_->SetWorkerStartObserver([&](int slot) {
        std::lock_guard<std::mutex> guard(startLock_);
        ++starts_[slot];
        startedAt_[slot] = clock_.NowMs();
        ++totalStarts_;
    });

    // Half the jobs write the key to misc, half to vendor storage (with a reset and a wait).
    Press(C::kStartStopButton);
    ASSERT_EQ(State(), StationState::kRunning);
    ASSERT_TRUE(RunJobs(jobs / 2));
    StopAndSettle();
    controller_->MutableSettings().DestPosition = 1;
    Press(C::kStartStopButton);
    ASSERT_TRUE(RunJobs(jobs));
    ASSERT_TRUE(RunUntil([&] { return !FindSlot([](auto& s) { return s.running != 0; }); }));
    StopAndSettle();

    // Every job started ended once, with one result.
    const uint64_t success = std::stoull(view_.Text(C::kSuccessCounter));
    const uint64_t fail = std::stoull(view_.Text(C::kFailCounter));
    {
        std::lock_guard<std::mutex> guard(startLock_);
        EXPECT_EQ(success + fail, totalStarts_);
        EXPECT_EQ(totalStarts_, ended_);
    }
    EXPECT_GE(ended_, jobs);
    // The boards lie often enough to fail jobs, and not so often that none gets through.
    EXPECT_GT(success, 0u);
    EXPECT_GT(fail, 0u);

    // Nothing was written outside the RKP folder but the station's own files; RKP files lie
    // right in it.
    for (const std::string& file : FilesBelow(home_)) {
        if (before.count(file) != 0) {
            continue;
        }
        const fs::path path = home_ / file;
        // The key file's journal and header copy, the log, the port map, the job results.
        const bool own = file.rfind("keys.kdb.", 0) == 0 || file.rfind("log/", 0) == 0 ||
                         file.rfind("portmap", 0) == 0 || file.rfind("results/results-", 0) == 0;
        const bool rkpFile = path.parent_path() == rkp && fs::is_regular_file(path);
        EXPECT_TRUE(own || rkpFile) << "written outside the RKP folder: " << file;
    }

    // The key file: every key marked used belongs to a job that reserved it, none is in doubt,
    // and exactly the successful jobs delivered theirs.
    controller_->SetWorkerStartObserver({});
    EXPECT_TRUE(controller_->OnClose());
    controller_.reset();
    CKeyFile file(kdb, nullptr, KeyFileAccess::VerifyOnly);
    ASSERT_TRUE(file.IsValid()) << file.GetError();
    const KeyAuditReport audit = AuditKeyFile(file);
    EXPECT_TRUE(audit.Passed()) << audit.journalError;
    EXPECT_EQ(audit.usedWithoutRecord, 0u);
    EXPECT_TRUE(audit.inDoubt.empty()) << IndexRanges(audit.inDoubt);
    EXPECT_EQ(audit.delivered.size(), success);
    EXPECT_EQ(audit.usedInFile, audit.delivered.size() + audit.spent.size());

    std::cout << "hostile boards: " << ended_ << " jobs, " << success << " succeeded, " << fail
              << " failed; keys delivered " << audit.delivered.size() << ", spent "
              << audit.spent.size() << "; longest job " << longestMs_
              << " ms on the station clock: " << longestText_ << "\n";
    for (const auto& [text, count] : results_) {
        std::cout << "  " << count << "\t" << text << "\n";
    }
}

}  // namespace
}  // namespace station_test
