// The key promise under every fault a board can bring, in one run: sixteen ports of the real
// controller and workers on a fast clock, a fresh board for every job, and the operator unplugging
// each board once its job has ended and plugging in the next. Every board drops status blocks,
// leaves the bus mid-command, gets lost at a reset (and comes back much later), sends short data
// phases and wrong tags at random moments; every other board also lies
// (platform/sim/HostileBoard.h: its partition table, serial number, RKP data and any wire answer).
// Half the jobs write the key to misc, half to vendor storage with its reset and wait.
//
// Afterwards: no job outlived its time-outs and every job started ended with one result (the
// counters and the boards that held their key add up to the starts), no key of the file is on two
// boards, every key found on a board is marked used and every delivered key is on one, the audit of
// the key file and its journal passes with every used key's fate recorded and none in doubt,
// delivered keys equal successes, no board got a second key, the unused label shows what the file
// holds, nothing was written outside the RKP folder but the station's own files, and no file the
// station wrote holds a key's bytes (raw or in hex).
//
// KS_SOAK_JOBS sets the number of jobs (default 3000), KS_SOAK_SEED the seed.
#include <gtest/gtest.h>

#include <algorithm>
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
#include "tests/integrity/BoardKeyCheck.h"

namespace station_test {
namespace {

namespace C = StationControl;

constexpr int kPorts = 16;
// The longest a job may take on the station's clock: every wait of the worker (device waits,
// a silent board's read time-outs, transport retries, a lost board's return) fits into it.
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

class SoakTest : public StationTest {
  protected:
    struct Port {
        std::string location;
        std::shared_ptr<LoaderEmulator> board;
        std::unique_ptr<HostileBoard> hostile;  // every other board
        int life = 0;  // the board's number in the run (the board checks name it)
        int index = 0;
        DemoLayout layout = DemoLayout::kGpt;
        int slot = 0;           // the slot number it is bound to, once known
        uint64_t counted = 0;   // the slot's job starts whose end has been counted
        bool jobEnded = false;  // the current board's job has ended
        bool away = false;      // unplugged, waiting until the station has seen it go
    };

    std::string Habits(const Port& port) const {
        return port.hostile ? HostileHabitNames(port.hostile->Habits()) : "random faults only";
    }

    // What a board holds where a key may have gone: its misc key area, its vendor sector and
    // item 8, and the keybox records its loader took out (read from its storage, not the wire).
    void SeeKeysOn(const Port& port) {
        LoaderEmulator& board = *port.board;
        std::vector<uint8_t> area(size_t{128} * 512);
        std::vector<uint8_t> sector(512);
        const uint32_t keyArea = DemoLoaderFacts(port.index, port.layout).keyAreaSector;
        ASSERT_TRUE(board.ReadSectors(keyArea, 128, area.data()));
        check_->SeeAt(port.life, area.data(), area.size());
        for (uint32_t s : {LoaderEmulator::kVendorSector, LoaderEmulator::kVendorItem8Sector}) {
            ASSERT_TRUE(board.ReadSectors(s, 1, sector.data()));
            check_->SeeWithin(port.life, sector);
        }
        for (const TakenKeybox& t : board.TakenKeyboxes()) {
            check_->SeeAt(port.life, t.key.data(), t.key.size());
        }
    }

    // Plugs a fresh board at the port (the one it replaces is read for keys first); the seed, the
    // partition layout and whether it lies change per life.
    void PlugNext(Port& port) {
        if (port.board) {
            SeeKeysOn(port);
        }
        const uint64_t life = lives_++;
        port.life = static_cast<int>(life);
        port.index = static_cast<int>(life % 9000) + 1;
        port.layout = life % 3 == 0   ? DemoLayout::kGpt
                      : life % 3 == 1 ? DemoLayout::kParameterAt0
                                      : DemoLayout::kParameterAt8192;
        port.board = MakeDemoLoader(port.index, port.layout, clock_);
        port.board->SetRandomFaults(rates_, BoardFaultSeed(seed_, static_cast<int>(life)));
        port.hostile.reset();
        if (life % 2 != 0) {
            honestSerials_.insert(DemoLoaderFacts(port.index, port.layout).serial);
        } else {
            port.hostile =
                std::make_unique<HostileBoard>(BoardFaultSeed(seed_ + 1, static_cast<int>(life)));
            port.hostile->Attach(*port.board);
        }
        port.jobEnded = false;
        port.away = false;
        ASSERT_TRUE(host_->Plug(port.location, port.board)) << port.location;
    }

    // Runs jobs until `target` have ended in all and none runs, plugging a fresh board into every
    // port whose job has ended. A board that comes back by itself after its job (a reset, a
    // random unplug, a lost board's late return) gets another job, which counts as well. False
    // when a job outlived any time-out (the watchdog) or no job ended for far too long.
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
                                  << now - startedAt[port.slot] << " ms; board " << Habits(port);
                    UnplugAll();
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
                        longestText_ = text + " (" + Habits(port) + ")";
                    }
                }
                if (port.away) {
                    // The station has let go of the last board: the next one is a new job.
                    if (slot == nullptr && plugged_ < target) {
                        ++plugged_;
                        PlugNext(port);
                    }
                } else if (port.jobEnded && !running && host_->Unplug(port.location)) {
                    port.away = true;  // (a board off the bus after a reset is taken on its return)
                }
            }
            if (now - lastProgressMs > 2 * kJobLimitMs) {
                ADD_FAILURE() << "no job ended for " << now - lastProgressMs << " ms after "
                              << ended_ << " jobs";
                UnplugAll();
                return false;
            }
            queue_.RunFor(1);
        }
        return true;
    }

    // After a hang: every board leaves, so that the jobs end and the station can close.
    void UnplugAll() {
        for (const Port& port : ports_) {
            host_->Unplug(port.location);
        }
    }

    void StopAndSettle() {
        Press(C::kStartStopButton);
        ASSERT_TRUE(RunUntil([&] { return State() == StationState::kIdle; }, 120000));
        queue_.RunPending();
    }

    uint64_t seed_ = EnvNumber("KS_SOAK_SEED", 0x5EED0F1E5ULL);
    RandomFaultRates rates_;
    std::unique_ptr<integrity::BoardKeyCheck> check_;
    std::set<std::string> honestSerials_;  // the serial numbers of the boards that never lie
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

TEST_F(SoakTest, FaultyAndLyingBoardsNeverShareAKeyLoseItsFateLeakItHangOrEscapeTheRkpFolder) {
    const uint64_t jobs = std::max<uint64_t>(EnvNumber("KS_SOAK_JOBS", 3000), 2 * kPorts);
    const fs::path rkp = home_ / "out" / "a" / "b" / "rkp";  // deep: a "../" stays in the home
    fs::create_directories(rkp);
    system_["GetRkp"] = "1";
    system_["WriteKeybox"] = "1";
    system_["DestPosition"] = "0";
    system_["SavePath"] = rkp.string() + "/";
    const std::string kdb = MakeKeyFile("keys.kdb", static_cast<uint32_t>(jobs + kPorts), 64);
    check_ = std::make_unique<integrity::BoardKeyCheck>(kdb);
    rates_.statusLost = 0.03;
    rates_.unplug = 0.01;
    rates_.resetNeverReturns = 0.02;
    rates_.shortRead = 0.03;
    rates_.badTag = 0.03;
    rates_.lostBoardReturnMs = 40000;  // after the job's 30-second wait has given up

    ports_.resize(kPorts);
    for (int p = 0; p < kPorts; ++p) {
        ports_[static_cast<size_t>(p)].location = "1-" + std::to_string(p + 1);
        PlugNext(ports_[static_cast<size_t>(p)]);
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

    Press(C::kStartStopButton);
    ASSERT_EQ(State(), StationState::kRunning);
    ASSERT_TRUE(RunJobs(jobs / 2));
    StopAndSettle();
    controller_->MutableSettings().DestPosition = 1;
    Press(C::kStartStopButton);
    ASSERT_TRUE(RunJobs(jobs));
    ASSERT_TRUE(RunUntil([&] { return !FindSlot([](auto& s) { return s.running != 0; }); }));
    StopAndSettle();

    // Every job started ended once, with one result: a success, a failure, or a board that held
    // its key already (in neither counter).
    const uint64_t success = std::stoull(view_.Text(C::kSuccessCounter));
    const uint64_t fail = std::stoull(view_.Text(C::kFailCounter));
    const uint64_t total = std::stoull(view_.Text(C::kTotalCounter));
    const auto already = static_cast<uint64_t>(controller_->Summary().already);
    {
        std::lock_guard<std::mutex> guard(startLock_);
        EXPECT_EQ(success + fail, total);
        EXPECT_EQ(total + already, totalStarts_);
        EXPECT_EQ(totalStarts_, ended_);
    }
    EXPECT_GE(ended_, jobs);
    // The faults are felt, and not so often that few jobs get through.
    EXPECT_GT(fail, total / 10);
    EXPECT_GT(success, total / 10);

    // Nothing was written outside the RKP folder but the station's own files; RKP files lie
    // right in it.
    const std::set<std::string> after = FilesBelow(home_);
    for (const std::string& file : after) {
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

    controller_->SetWorkerStartObserver({});
    EXPECT_TRUE(controller_->OnClose());
    const std::string unusedLabel = view_.Text(C::kUnusedLabel);
    controller_.reset();

    // No file the station wrote or changed (log, journal, results, RKP files, port map) holds
    // any of the file's keys, raw or in hex.
    size_t scanned = 0;
    for (const std::string& file : FilesBelow(home_)) {
        if (file == "keys.kdb") {
            continue;
        }
        const std::string leak = check_->KeyBytesIn(ReadText(home_ / file));
        EXPECT_TRUE(leak.empty()) << file << " holds " << leak;
        ++scanned;
    }
    EXPECT_GT(scanned, 4u);

    // The key file: every used key's fate is recorded (delivered or spent, none in doubt, none
    // used without a job that reserved it), and exactly the successful jobs delivered theirs.
    CKeyFile file(kdb, nullptr, KeyFileAccess::VerifyOnly);
    ASSERT_TRUE(file.IsValid()) << file.GetError();
    const KeyAuditReport audit = AuditKeyFile(file);
    EXPECT_TRUE(audit.Passed()) << audit.journalError;
    EXPECT_EQ(audit.usedWithoutRecord, 0u);
    EXPECT_TRUE(audit.inDoubt.empty()) << IndexRanges(audit.inDoubt);
    EXPECT_EQ(audit.delivered.size(), success);
    EXPECT_EQ(audit.usedInFile, audit.delivered.size() + audit.spent.size());
    EXPECT_EQ(unusedLabel, "Unused:" + std::to_string(file.GetUnusedCount()));
    // No board that tells its serial number truly got a second key: one that comes back after
    // a job that reserved a key for it holds its key already.
    for (const auto& [serial, keys] : audit.serialsWithSeveralKeys) {
        EXPECT_EQ(honestSerials_.count(serial), 0u)
            << "board " << serial << " got " << keys.size() << " keys";
    }

    // The boards: no key on two, every key found on one marked used, and every delivered key is
    // on a board (in the misc key area, or among the records the loader took).
    for (const Port& port : ports_) {
        SeeKeysOn(port);
    }
    const size_t onBoards = check_->Verify();
    size_t missing = 0;
    for (uint32_t index : audit.delivered) {
        missing += check_->Seen(index) ? 0 : 1;
    }
    EXPECT_EQ(missing, 0u) << "delivered keys found on no board";

    std::cout << "soak: " << ended_ << " jobs, " << success << " succeeded, " << fail << " failed, "
              << already << " held their key; keys delivered " << audit.delivered.size()
              << ", spent " << audit.spent.size() << ", found on boards " << onBoards
              << "; longest job " << longestMs_ << " ms on the station clock: " << longestText_
              << "\n";
    for (const auto& [text, count] : results_) {
        std::cout << "  " << count << "\t" << text << "\n";
    }
}

}  // namespace
}  // namespace station_test
