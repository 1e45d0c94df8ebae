// A station's folder, a key file and simulated boards kept in files, for scenarios that run the
// console station as a real program and then read what the boards hold.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "platform/sim/SimBoardFiles.h"
#include "tests/common/ChildProcess.h"
#include "tests/common/ConsoleStation.h"
#include "tests/integrity/BoardKeyCheck.h"

namespace integrity {

namespace fs = std::filesystem;

struct StationRun {
    int exitCode = -1;
    std::string err;  // the status line's messages and the log lines on standard error
    std::string out;
};

inline std::string ReadText(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

class StationHome : public ::testing::Test {
  protected:
    void SetUp() override {
        const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
        root_ = fs::temp_directory_path() /
                ("ks_" + std::string(info->name()) + "_" + std::to_string(getpid()));
        fs::remove_all(root_);
        fs::create_directories(root_ / "home" / "rkp");
        const fs::path data = fs::path(KS_SOURCE_DIR) / "data";
        fs::copy(data / "lang", root_ / "home" / "lang", fs::copy_options::recursive);
        fs::copy_file(data / "devices.ini", root_ / "home" / "devices.ini");
        fs::copy_file(data / "config.ini", root_ / "home" / "config.ini");
    }
    void TearDown() override {
        if (!HasFailure()) {
            fs::remove_all(root_);
        }
    }

    std::string Path(const std::string& name) const { return (root_ / name).string(); }

    // The console station on `boards` simulated boards kept in folder `boardDir` (under the
    // root), run until every board finished.
    std::vector<std::string> Station(const std::string& kdb, const std::string& boardDir,
                                     int boards, int dest, bool rkp = false) const {
        fs::create_directories(root_ / boardDir);
        std::vector<std::string> args = console_station::Run(
            (root_ / "home").string(), kdb, boards, (root_ / boardDir).string(), dest, rkp ? 1 : 0,
            (root_ / "home" / "rkp").string() + "/");
        args.insert(args.end(), {"--until-idle", "--reset-after-write", "0"});
        return args;
    }

    // Starts a program with its output going to files; its pid.
    pid_t Start(const std::vector<std::string>& args) {
        ++runs_;
        outPath_ = root_ / ("run-" + std::to_string(runs_) + ".out");
        errPath_ = root_ / ("run-" + std::to_string(runs_) + ".err");
        return child_process::Spawn(args, outPath_.string(), errPath_.string());
    }
    StationRun Finish(pid_t pid) {
        StationRun run;
        run.exitCode = pid < 0 ? -1 : child_process::Wait(pid);
        run.out = ReadText(outPath_);
        run.err = ReadText(errPath_);
        return run;
    }
    StationRun Run(const std::vector<std::string>& args) { return Finish(Start(args)); }

    // Every board of every folder, read from its image files: no key of `kdb` on two boards,
    // every key found marked used. The number of keys found.
    size_t CheckBoards(const std::string& kdb, const std::vector<std::string>& boardDirs) {
        BoardKeyCheck check(kdb);
        int offset = 0;
        for (const std::string& dir : boardDirs) {
            std::vector<SimBoardContent> boards;
            std::string error;
            EXPECT_TRUE(LoadSimBoardContents((root_ / dir).string(), &boards, &error)) << error;
            for (const SimBoardContent& b : boards) {
                const int id = offset + b.index;
                check.SeeAt(id, b.miscKeyArea.data(), b.miscKeyArea.size());
                check.SeeWithin(id, b.vendorSector);
                check.SeeWithin(id, b.item8Sector);
                for (const TakenKeybox& t : b.taken) {
                    check.SeeAt(id, t.key.data(), t.key.size());
                }
            }
            offset += 1000;
        }
        return check.Verify();
    }

    int Kdbtool(const std::vector<std::string>& args) {
        std::vector<std::string> argv = {KS_KDBTOOL};
        argv.insert(argv.end(), args.begin(), args.end());
        return child_process::Run(argv);
    }

    fs::path root_;
    int runs_ = 0;
    fs::path outPath_, errPath_;
};

}  // namespace integrity
