// The console station killed with SIGKILL at random moments while it provisions eight boards that
// keep their storage in files, then run once more to the end: no key is on two boards, every key
// on a board is marked used, and the key file and its journal pass kdbtool info and audit.
//
// KS_KILL_RUNS sets the number of kills (default 30), KS_KILL_SEED the seed of the moments.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "keydb/KeyFile.h"
#include "platform/sim/SimBoardFiles.h"
#include "tests/common/ChildProcess.h"
#include "tests/integrity/BoardKeyCheck.h"

namespace fs = std::filesystem;

namespace {

constexpr int kBoards = 8;

int EnvInt(const char* name, int fallback) {
    const char* text = std::getenv(name);
    return text != nullptr && *text != '\0' ? std::atoi(text) : fallback;
}

using child_process::Spawn;
using child_process::Wait;

int RunTool(const std::vector<std::string>& args) {
    return child_process::Run(args);
}

class KillTest : public ::testing::Test {
  protected:
    void SetUp() override {
        root_ = fs::temp_directory_path() / ("ks_kill_" + std::to_string(getpid()));
        fs::remove_all(root_);
        fs::create_directories(root_ / "home" / "rkp");
        fs::create_directories(root_ / "boards");
        const fs::path data = fs::path(KS_SOURCE_DIR) / "data";
        fs::copy(data / "lang", root_ / "home" / "lang", fs::copy_options::recursive);
        fs::copy_file(data / "devices.ini", root_ / "home" / "devices.ini");
        // The same boards are written again and again, each run taking new keys.
        std::ifstream in(data / "config.ini", std::ios::binary);
        std::string config((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        const size_t flag = config.find("AllowReprovision=0");
        ASSERT_NE(flag, std::string::npos);
        config.replace(flag, 18, "AllowReprovision=1");
        std::ofstream(root_ / "home" / "config.ini", std::ios::binary) << config;
        kdb_ = (root_ / "keys.kdb").string();
        // 4,000 keys: a header of two sectors, so that its rewrites go through the header copy.
        ASSERT_EQ(RunTool({KS_KDBTOOL, "create", "--keys", "4000", "--key-size", "128", kdb_}), 0);
    }
    void TearDown() override {
        if (!HasFailure()) {
            fs::remove_all(root_);
        }
    }

    std::vector<std::string> Station(int dest, bool faults, int seed) const {
        std::vector<std::string> args = {KS_KEYSTATION_CLI,
                                         "--home",
                                         (root_ / "home").string(),
                                         "--kdb",
                                         kdb_,
                                         "--simulate",
                                         std::to_string(kBoards),
                                         "--sim-state",
                                         (root_ / "boards").string(),
                                         "--start",
                                         "--until-idle",
                                         "--keybox",
                                         "1",
                                         "--rkp",
                                         "1",
                                         "--reset-after-write",
                                         "0",
                                         "--dest",
                                         std::to_string(dest),
                                         "--save-path",
                                         (root_ / "home" / "rkp").string() + "/",
                                         "--sim-seed",
                                         std::to_string(seed)};
        if (faults) {
            for (const char* f :
                 {"status-lost=0.02", "bad-tag=0.01", "short-read=0.01", "unplug=0.005"}) {
                args.push_back("--sim-fault");
                args.push_back(f);
            }
        }
        return args;
    }

    fs::path root_;
    std::string kdb_;
};

}  // namespace

TEST_F(KillTest, StationKilledAtRandomMomentsNeverPutsOneKeyOnTwoBoards) {
    const int kills = EnvInt("KS_KILL_RUNS", 30);
    const unsigned seed = static_cast<unsigned>(EnvInt("KS_KILL_SEED", 20261208));
    std::mt19937 rng(seed);
    int endedBeforeTheKill = 0;
    for (int i = 0; i < kills; ++i) {
        SCOPED_TRACE("kill " + std::to_string(i) + " of seed " + std::to_string(seed));
        // Misc writes take milliseconds, the vendor path waits for a reboot of 1.5 s: kill
        // inside either.
        const int dest = i % 3 == 2 ? (i % 2 == 0 ? 1 : 2) : 0;
        const int limitMs = dest == 0 ? 400 : 3000;
        const pid_t pid = Spawn(Station(dest, true, i + 1));
        ASSERT_GT(pid, 0);
        std::this_thread::sleep_for(
            std::chrono::milliseconds(std::uniform_int_distribution<int>(0, limitMs)(rng)));
        ::kill(pid, SIGKILL);
        if (Wait(pid) >= 0) {
            ++endedBeforeTheKill;
        }
        // Whatever the moment, the file is whole for the next load.
        CKeyFile file(kdb_, nullptr, KeyFileAccess::VerifyOnly);
        ASSERT_TRUE(file.IsValid()) << file.GetError();
    }
    std::printf("[ kill ] %d kills (seed %u), %d runs ended before their kill\n", kills, seed,
                endedBeforeTheKill);

    // A clean run to the end: every board gets one more key, and every job succeeds.
    EXPECT_EQ(RunTool(Station(0, false, 1)), 0);

    integrity::BoardKeyCheck check(kdb_);
    std::vector<SimBoardContent> boards;
    std::string error;
    ASSERT_TRUE(LoadSimBoardContents((root_ / "boards").string(), &boards, &error)) << error;
    ASSERT_EQ(boards.size(), static_cast<size_t>(kBoards));
    for (const SimBoardContent& b : boards) {
        check.SeeAt(b.index, b.miscKeyArea.data(), b.miscKeyArea.size());
        check.SeeWithin(b.index, b.vendorSector);
        check.SeeWithin(b.index, b.item8Sector);
        for (const TakenKeybox& t : b.taken) {
            check.SeeAt(b.index, t.key.data(), t.key.size());
        }
    }
    const size_t onBoards = check.Verify();
    EXPECT_GE(onBoards, static_cast<size_t>(kBoards));  // at least the clean run's keys
    std::printf("[ kill ] %zu keys found on the boards\n", onBoards);

    EXPECT_EQ(RunTool({KS_KDBTOOL, "info", kdb_}), 0);
    EXPECT_EQ(RunTool({KS_KDBTOOL, "audit", kdb_}), 0);
}
