// Sixteen lying boards against the real controller and worker, for a few thousand jobs: each job
// gets a fresh board with its own seed (partition table, serial number, RKP data and every wire
// answer may lie), and when its job has ended the board is unplugged and the next one plugged in.
// Whatever the boards say, the station must not crash, must end every job within its time-outs
// and with exactly one result, must write nothing outside the RKP folder, and must mark no key
// used without a job that reserved it. KS_HOSTILE_JOBS sets the number of jobs (default 2000),
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
        int slot = 0;               // the slot number it is bound to, once known
        uint64_t startsAtPlug = 0;  // the slot's job starts before this board came
        bool away = false;          // unplugged, waiting until the station has seen it go
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
        port.startsAtPlug = port.slot > 0 ? Starts(port.slot) : 0;
        port.away = false;
        ASSERT_TRUE(host_->Plug(port.location, port.board)) << port.location;
    }

    uint64_t Starts(int slot) {
        std::lock_guard<std::mutex> guard(startLock_);
        return starts_[slot];
    }

    uint64_t seed_ = EnvNumber("KS_HOSTILE_SEED", 0x5EED0F1E5ULL);
    uint64_t lives_ = 0;
    std::mutex startLock_;
    std::map<int, uint64_t> starts_;     // job starts by slot number
    std::map<int, uint64_t> startedAt_;  // the station clock at the slot's latest start
    uint64_t totalStarts_ = 0;
};

TEST_F(HostileBoardTest, LyingBoardsNeverCrashHangEscapeTheRkpFolderOrSpendAnUnreservedKey) {
    const uint64_t jobs = std::max<uint64_t>(EnvNumber("KS_HOSTILE_JOBS", 2000), kPorts);
    const fs::path rkp = home_ / "out" / "a" / "b" / "rkp";  // deep: a "../" stays in the home
    fs::create_directories(rkp);
    system_["GetRkp"] = "1";
    system_["WriteKeybox"] = "1";
    system_["DestPosition"] = "0";
    system_["SavePath"] = rkp.string() + "/";
    const std::string kdb = MakeKeyFile("keys.kdb", static_cast<uint32_t>(jobs + kPorts), 64);

    std::vector<Port> ports(kPorts);
    for (int p = 0; p < kPorts; ++p) {
        ports[static_cast<size_t>(p)].location = "1-" + std::to_string(p + 1);
        PlugHostile(ports[static_cast<size_t>(p)]);
    }
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
    Press(C::kStartStopButton);
    ASSERT_EQ(State(), StationState::kRunning);

    std::map<std::string, uint64_t> results;  // the row's last text, by jobs that ended with it
    uint64_t ended = 0;
    uint64_t longestMs = 0;
    std::string longestText;
    uint64_t lastProgressMs = clock_.NowMs();
    uint64_t plugged = kPorts;
    bool hung = false;
    while (ended < jobs && !hung) {
        queue_.RunPending();
        const std::vector<DeviceSlot> slots = controller_->SlotsSnapshot();
        for (Port& port : ports) {
            const DeviceSlot* slot = nullptr;
            for (const DeviceSlot& s : slots) {
                if (s.portLocation == port.location) {
                    slot = &s;
                }
            }
            if (port.away) {
                // The station has let go of the last board: the next one is a new job.
                if ((slot == nullptr || slot->present == 0) && plugged < jobs) {
                    ++plugged;
                    PlugHostile(port);
                }
                continue;
            }
            if (slot == nullptr) {
                continue;
            }
            port.slot = slot->slotNumber;
            uint64_t startedAt = 0;
            bool started = false;
            {
                std::lock_guard<std::mutex> guard(startLock_);
                started = starts_[port.slot] > port.startsAtPlug;
                startedAt = startedAt_[port.slot];
            }
            const uint64_t now = clock_.NowMs();
            if (started && slot->running != 0 && now - startedAt > kJobLimitMs) {
                ADD_FAILURE() << "job at " << port.location << " still running after "
                              << now - startedAt << " ms; board "
                              << HostileHabitNames(port.hostile->Habits());
                hung = true;
            }
            if (!started || slot->running != 0) {
                continue;
            }
            // The job has ended: its row holds its result.
            ++ended;
            lastProgressMs = now;
            const std::string text = view_.Cell(port.slot - 1, kColumnStatus);
            ++results[text];
            if (now - startedAt > longestMs) {
                longestMs = now - startedAt;
                longestText = text + " (" + HostileHabitNames(port.hostile->Habits()) + ")";
            }
            host_->Unplug(port.location);
            port.away = true;
        }
        // The watchdog: no job at all ending for far longer than any job may take.
        if (clock_.NowMs() - lastProgressMs > 2 * kJobLimitMs) {
            ADD_FAILURE() << "no job ended for " << clock_.NowMs() - lastProgressMs << " ms after "
                          << ended << " jobs";
            hung = true;
        }
        queue_.RunFor(1);
    }
    ASSERT_FALSE(hung);
    ASSERT_TRUE(RunUntil([&] { return !FindSlot([](auto& s) { return s.running != 0; }); }));
    queue_.RunPending();

    // Every job started ended once, with one result.
    const uint64_t success = std::stoull(view_.Text(C::kSuccessCounter));
    const uint64_t fail = std::stoull(view_.Text(C::kFailCounter));
    {
        std::lock_guard<std::mutex> guard(startLock_);
        EXPECT_EQ(success + fail, totalStarts_);
        EXPECT_EQ(totalStarts_, ended);
    }
    EXPECT_EQ(ended, jobs);
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
        const bool own = file == "keys.kdb.journal.jsonl" || file.rfind("log/", 0) == 0 ||
                         file.rfind("portmap", 0) == 0;
        const bool rkpFile = path.parent_path() == rkp && fs::is_regular_file(path);
        EXPECT_TRUE(own || rkpFile) << "written outside the RKP folder: " << file;
    }

    // The key file: every key marked used belongs to a job that reserved it, none is in doubt,
    // and exactly the successful jobs delivered theirs.
    controller_->SetWorkerStartObserver({});
    Press(C::kStartStopButton);
    ASSERT_TRUE(RunUntil([&] { return State() == StationState::kIdle; }));
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

    std::cout << "hostile boards: " << ended << " jobs, " << success << " succeeded, " << fail
              << " failed; keys delivered " << audit.delivered.size() << ", spent "
              << audit.spent.size() << "; longest job " << longestMs
              << " ms on the station clock: " << longestText << "\n";
    for (const auto& [text, count] : results) {
        std::cout << "  " << count << "\t" << text << "\n";
    }
}

}  // namespace
}  // namespace station_test
