// The console station as a program: a whole run on simulated devices, the device list, and the
// refusal to start without a key file.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "keydb/KeyFile.h"
#include "keydb/KeyFileWriter.h"

namespace fs = std::filesystem;

namespace {

struct RunResult {
    int exitCode = -1;
    std::string out;
};

RunResult RunCli(const std::string& args) {
    const std::string cmd =
        std::string(KS_BINARY_DIR) + "/tools/keystation-cli/keystation-cli " + args + " 2>&1";
    RunResult r;
    FILE* pipe = ::popen(cmd.c_str(), "r");
    if (pipe == nullptr) {
        return r;
    }
    char buf[4096];
    size_t n = 0;
    while ((n = std::fread(buf, 1, sizeof buf, pipe)) > 0) {
        r.out.append(buf, n);
    }
    const int status = ::pclose(pipe);
    r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

class KeystationCliTest : public ::testing::Test {
  protected:
    void SetUp() override {
        home_ = fs::temp_directory_path() /
                ("ks_cli_" + std::to_string(::getpid()) + "_" +
                 ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(home_);
    }
    void TearDown() override { fs::remove_all(home_); }

    std::string MakeKeyFile(uint32_t keys) {
        fs::create_directories(home_);
        KeyFileLayout layout;
        layout.keyCount = keys;
        layout.keySize = 128;
        CRandomKeySource source;
        std::string error;
        const std::string path = (home_ / "keys.kdb").string();
        EXPECT_TRUE(WriteKeyFile(path, layout, source, false, &error)) << error;
        return path;
    }
    std::string Home() const { return home_.string(); }

    fs::path home_;
};

}  // namespace

TEST_F(KeystationCliTest, ARunOnSimulatedDevicesProvisionsEachOnceAndKeepsTheSettingsFile) {
    const std::string kdb = MakeKeyFile(10);
    const RunResult r = RunCli("--home " + Home() + " --kdb " + kdb +
                               " --simulate 4 --start --until-idle --rkp 0 --dest 0");
    ASSERT_EQ(r.exitCode, 0) << r.out;
    const std::vector<std::string> lines = Lines(r.out);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "success 00004 fail 00000 total 00004");
    int successLines = 0;
    for (const auto& line : lines) {
        successLines +=
            line.rfind("slot ", 0) == 0 && line.find("] Success[KeyBox]") != std::string::npos;
    }
    EXPECT_EQ(successLines, 4);
    EXPECT_NE(r.out.find("slot 3 [1-1-3] "), std::string::npos);

    CKeyFile file(kdb, nullptr, KeyFileAccess::VerifyOnly);
    ASSERT_TRUE(file.IsValid());
    EXPECT_EQ(file.GetUnusedCount(), 6);
    // The run's options were not written back; the shipped defaults were copied in.
    std::ifstream config(home_ / "config.ini");
    std::stringstream text;
    text << config.rdbuf();
    EXPECT_NE(text.str().find("GetRkp=1"), std::string::npos);
    EXPECT_TRUE(fs::exists(home_ / "devices.ini"));
    EXPECT_TRUE(fs::exists(home_ / "lang" / "English.ini"));
}

TEST_F(KeystationCliTest, ListPrintsOneTabSeparatedLinePerLoaderInWalkOrder) {
    const RunResult r = RunCli("--home " + Home() + " --simulate 10 --list");
    ASSERT_EQ(r.exitCode, 0) << r.out;
    const std::vector<std::string> lines = Lines(r.out);
    ASSERT_EQ(lines.size(), 10u);
    EXPECT_EQ(lines[0], "1-1-1\tloader\tf00d:350a\t1-1.1");
    EXPECT_EQ(lines[8], "1-2-1\tloader\tf00d:350a\t1-2.1");
}

TEST_F(KeystationCliTest, StartWithoutAKeyFileIsRefusedWithItsOwnExitCode) {
    const RunResult r = RunCli("--home " + Home() + " --simulate 1 --start --until-idle");
    EXPECT_EQ(r.exitCode, 2) << r.out;
    EXPECT_NE(r.out.find("Start refused"), std::string::npos);
    EXPECT_NE(r.out.find("success 00000 fail 00000 total 00000"), std::string::npos);
}

TEST_F(KeystationCliTest, AFailedJobMakesTheExitCodeOne) {
    // A key file without unused keys: every job fails at taking a key.
    fs::create_directories(home_);
    KeyFileLayout layout;
    layout.keyCount = 2;
    layout.keySize = 64;
    layout.usedIndices = {0, 1};
    CRandomKeySource source;
    std::string error;
    const std::string kdb = (home_ / "spent.kdb").string();
    ASSERT_TRUE(WriteKeyFile(kdb, layout, source, false, &error)) << error;
    const RunResult r =
        RunCli("--home " + Home() + " --kdb " + kdb + " --simulate 2 --start --until-idle --rkp 0");
    EXPECT_EQ(r.exitCode, 1) << r.out;
    EXPECT_NE(r.out.find("success 00000 fail 00002 total 00002"), std::string::npos) << r.out;
}
