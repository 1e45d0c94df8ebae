// A key file is checked without holding it in memory: kdbtool info on a file larger than the
// station's memory budget (64 MiB) stays within it, and a damaged byte anywhere in the key area,
// also in the last block, still fails the load.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <fstream>
#include <string>
#include <vector>

#include "keydb/KeyFile.h"
#include "tests/keydb/KeyDbTestSupport.h"

extern char** environ;

using keydbtest::RunKdbtool;
using keydbtest::TempDir;

namespace {

// Runs kdbtool; its exit code and peak resident memory in KiB.
int KdbtoolPeak(const std::vector<std::string>& args, long* peakKiB) {
    std::vector<std::string> all = {KS_KDBTOOL};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : all) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        return -1;
    }
    int status = 0;
    struct rusage usage {};
    wait4(pid, &status, 0, &usage);
    *peakKiB = usage.ru_maxrss;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void FlipByte(const std::string& path, uint64_t offset) {
    std::fstream f(path, std::ios::binary | std::ios::in | std::ios::out);
    f.seekg(static_cast<std::streamoff>(offset));
    const char c = static_cast<char>(f.get());
    f.seekp(static_cast<std::streamoff>(offset));
    f.put(static_cast<char>(c ^ 1));
}

}  // namespace

TEST(LoadFootprint, FileLargerThanTheMemoryBudgetIsCheckedWithinIt) {
    TempDir dir;
    const std::string path = dir.File("big.kdb");
    // 98,304 keys of 1,000 bytes: a 94 MiB key area, blocks that are no power of two.
    ASSERT_EQ(RunKdbtool({"create", "--keys", "98304", "--key-size", "1000", path}).exitCode, 0);
    long peak = 0;
    EXPECT_EQ(KdbtoolPeak({"info", path}, &peak), 0);
    EXPECT_LT(peak, 64 * 1024) << "peak " << peak << " KiB";
    {
        CKeyFile station(path);
        ASSERT_TRUE(station.IsValid()) << station.GetError();
        int32_t index = -1;
        KeyCopy key;
        ASSERT_TRUE(station.GetKey(&index, &key));
        EXPECT_EQ(key.size(), 1000u);
    }
    const uint64_t size =
        98304ull * 1000 +
        static_cast<uint64_t>(CKeyFile(path, nullptr, KeyFileAccess::VerifyOnly).GetHeaderSize());
    FlipByte(path, size - 1);
    EXPECT_EQ(KdbtoolPeak({"info", path}, &peak), 1);
    CKeyFile damaged(path, nullptr, KeyFileAccess::VerifyOnly);
    EXPECT_FALSE(damaged.IsValid());
}
