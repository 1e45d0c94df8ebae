// The console station as a program: a whole run on simulated devices, the device list, the
// refusal to start without a key file, and boards kept in a state folder from run to run.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "keydb/KeyFile.h"
#include "keydb/KeyFileWriter.h"
#include "keydb/Sha256.h"
#include "platform/sim/SimBoardFiles.h"
#include "provision/JobRecord.h"

namespace fs = std::filesystem;

namespace {

struct RunResult {
    int exitCode = -1;
    std::string out;
};

// Standard output, with the error stream in it unless `errorsTo` names another place.
RunResult RunCli(const std::string& args, const std::string& errorsTo = "&1") {
    const std::string cmd = std::string(KS_BINARY_DIR) + "/tools/keystation-cli/keystation-cli " +
                            args + " 2>" + errorsTo;
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

// Boards behind ids the tables do not name: the listing is empty, and says why on stderr.
TEST_F(KeystationCliTest, ListSaysSoWhenDevicesArePresentButNoneMatchesTheTables) {
    fs::create_directories(home_);
    {
        std::ofstream devices(home_ / "devices.ini");
        devices << "[Vendor]\r\nZR_VENDOR_ID=0x1234\r\nZR_ALT_VENDOR_ID=0x1235\r\n[ChipTable]\r\n";
    }
    const RunResult r = RunCli("--home " + Home() + " --simulate 3 --list");
    ASSERT_EQ(r.exitCode, 0) << r.out;
    EXPECT_EQ(r.out.find("\tloader\t"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("USB device(s) present, none is a loader"), std::string::npos) << r.out;
}

// An RKP folder named only for this run (its parent exists) is made at Start, so the jobs can
// save their RKP files there.
TEST_F(KeystationCliTest, ANewRkpFolderNamedForTheRunIsCreatedAtStart) {
    const std::string kdb = MakeKeyFile(4);
    const fs::path rkp = home_ / "新 RKP";
    const RunResult r =
        RunCli("--home " + Home() + " --kdb " + kdb + " --simulate 2 --start --until-idle --rkp 1" +
               " --save-path '" + rkp.string() + "'");
    ASSERT_EQ(r.exitCode, 0) << r.out;
    int files = 0;
    for (const auto& entry : fs::directory_iterator(rkp)) {
        files += entry.path().extension() == ".json";
    }
    EXPECT_EQ(files, 2) << r.out;
}

// devices.ini that cannot be read (here a folder of that name) finds no board: the run fails
// and says why, never "total 00000" with exit 0.
TEST_F(KeystationCliTest, UnreadableDeviceTablesFailTheRunAndSayWhy) {
    fs::create_directories(home_ / "devices.ini");
    const RunResult r = RunCli("--home " + Home() + " --simulate 2 --start --until-idle");
    EXPECT_EQ(r.exitCode, 3) << r.out;
    EXPECT_NE(r.out.find("devices.ini: cannot be read, no loader board can be found"),
              std::string::npos)
        << r.out;
}

TEST_F(KeystationCliTest, StartWithoutAKeyFileIsRefusedWithItsOwnExitCode) {
    const RunResult r = RunCli("--home " + Home() + " --simulate 1 --start --until-idle");
    EXPECT_EQ(r.exitCode, 2) << r.out;
    EXPECT_NE(r.out.find("Start refused"), std::string::npos);
    EXPECT_NE(r.out.find("success 00000 fail 00000 total 00000"), std::string::npos);
}

// Automation must not take a station that never started for a run without failures.
TEST_F(KeystationCliTest, LoaderConfigFailEndsWithANonZeroExitCode) {
    fs::create_directories(home_);
    {
        std::ofstream config(home_ / "config.ini");
        config << "[Language]\r\nLang1File=Missing.ini\r\nLangPath=lang/\r\nLanKinds=1\r\n"
                  "Selected=0\r\n";
    }
    const RunResult r = RunCli("--home " + Home() + " --simulate 1 --start --until-idle");
    EXPECT_EQ(r.exitCode, 3) << r.out;
    EXPECT_NE(r.out.find("Loader Config fail"), std::string::npos) << r.out;
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
    // The status line goes to standard error; the shift summary comes before the counters.
    EXPECT_NE(r.out.find("No unused keys left: press Stop, then Key File\n"), std::string::npos)
        << r.out;
    // Given a key file, the run does not first tell the operator to load one.
    EXPECT_EQ(r.out.find("Load a key file first"), std::string::npos) << r.out;
    const std::vector<std::string> lines = Lines(r.out);
    ASSERT_GE(lines.size(), 3u);
    // Two jobs in well under a minute: no rate, the jobs and the time they took.
    EXPECT_EQ(lines[lines.size() - 3].rfind("summary 2 jobs in 0:0", 0), 0u)
        << lines[lines.size() - 3];
    EXPECT_EQ(lines[lines.size() - 2], "summary 2 x No unused key available");
}

namespace {

// Which of `keys` each board in the state folder holds in its misc key area (-1: none of them).
std::vector<int> KeysOnBoards(const std::string& state,
                              const std::vector<std::vector<uint8_t>>& keys) {
    std::vector<SimBoardContent> boards;
    std::string error;
    EXPECT_TRUE(LoadSimBoardContents(state, &boards, &error)) << error;
    std::vector<int> found;
    for (const SimBoardContent& board : boards) {
        int which = -1;
        for (size_t k = 0; k < keys.size(); ++k) {
            const std::vector<uint8_t>& key = keys[k];
            if (board.miscKeyArea.size() == 65536 &&
                std::equal(key.begin(), key.end(), board.miscKeyArea.begin()) &&
                std::all_of(board.miscKeyArea.begin() + static_cast<long>(key.size()),
                            board.miscKeyArea.end(), [](uint8_t b) { return b == 0; })) {
                which = static_cast<int>(k);
            }
        }
        found.push_back(which);
    }
    return found;
}

}  // namespace

TEST_F(KeystationCliTest, BoardsInAStateFolderKeepWhatEachRunWroteAndStaySparse) {
    fs::create_directories(home_);
    std::vector<std::vector<uint8_t>> keys(4, std::vector<uint8_t>(128));
    {
        std::ofstream data(home_ / "keys.bin", std::ios::binary);
        for (size_t k = 0; k < keys.size(); ++k) {
            for (size_t i = 0; i < keys[k].size(); ++i) {
                keys[k][i] = static_cast<uint8_t>(k * 64 + i * 3 + 1);
            }
            data.write(reinterpret_cast<const char*>(keys[k].data()),
                       static_cast<std::streamsize>(keys[k].size()));
        }
    }
    const std::string kdb = (home_ / "keys.kdb").string();
    const std::string create = std::string(KS_BINARY_DIR) +
                               "/tools/kdbtool/kdbtool create --keys 4 --key-size 128 --key-data " +
                               (home_ / "keys.bin").string() + " " + kdb + " >/dev/null";
    ASSERT_EQ(std::system(create.c_str()), 0);
    const std::string state = (home_ / "boards").string();
    const std::string args = "--home " + Home() + " --kdb " + kdb + " --simulate 2 --sim-state " +
                             state + " --start --until-idle --rkp 0 --dest 0";

    const RunResult first = RunCli(args);
    ASSERT_EQ(first.exitCode, 0) << first.out;
    const std::vector<int> firstKeys = KeysOnBoards(state, keys);
    ASSERT_EQ(firstKeys.size(), 2u);
    EXPECT_NE(firstKeys[0], -1);
    EXPECT_NE(firstKeys[1], -1);
    EXPECT_NE(firstKeys[0], firstKeys[1]);
    for (const char* name : {"board-00.img", "board-01.img", "board-01.vendor.img"}) {
        struct stat st {};
        ASSERT_EQ(::stat((fs::path(state) / name).c_str(), &st), 0) << name;
        EXPECT_GE(st.st_size, 512 * 1024 * 1024) << name;
        EXPECT_LT(st.st_blocks * 512, 1024 * 1024) << name;
    }

    // A mark far from anything the station touches: only an image that is reused keeps it.
    const std::string image = (fs::path(state) / "board-00.img").string();
    const off_t markAt = off_t{0x200000} * 512;
    const int fd = ::open(image.c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::pwrite(fd, "MARK", 4, markAt), 4);
    ::close(fd);

    // The same boards again: each holds a used key of the file, so neither gets a second one;
    // that is no failure, and the operator is told to take them away.
    const RunResult refused = RunCli(args);
    EXPECT_EQ(refused.exitCode, 0) << refused.out;
    EXPECT_EQ(KeysOnBoards(state, keys), firstKeys);
    size_t refusals = 0;
    for (size_t at = refused.out.find("Already has its key: remove"); at != std::string::npos;
         at = refused.out.find("Already has its key: remove", at + 1)) {
        ++refusals;
    }
    EXPECT_GE(refusals, 2u) << refused.out;
    EXPECT_NE(refused.out.find("summary 2 already had their key"), std::string::npos)
        << refused.out;
    EXPECT_NE(refused.out.find("success 00000 fail 00000 total 00000"), std::string::npos)
        << refused.out;
    {
        CKeyFile file(kdb, nullptr, KeyFileAccess::VerifyOnly);
        ASSERT_TRUE(file.IsValid());
        EXPECT_EQ(file.GetUnusedCount(), 2);
    }

    // With re-provisioning allowed they do.
    std::string config;
    {
        std::ifstream in(home_ / "config.ini", std::ios::binary);
        config.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    const size_t flag = config.find("AllowReprovision=0");
    ASSERT_NE(flag, std::string::npos);
    config[flag + std::string("AllowReprovision=").size()] = '1';
    std::ofstream(home_ / "config.ini", std::ios::binary) << config;

    const RunResult second = RunCli(args);
    ASSERT_EQ(second.exitCode, 0) << second.out;
    const std::vector<int> secondKeys = KeysOnBoards(state, keys);
    ASSERT_EQ(secondKeys.size(), 2u);
    for (int k : secondKeys) {
        EXPECT_NE(k, -1);
        EXPECT_NE(k, firstKeys[0]);
        EXPECT_NE(k, firstKeys[1]);
    }
    EXPECT_NE(secondKeys[0], secondKeys[1]);
    char mark[4] = {};
    const int again = ::open(image.c_str(), O_RDONLY);
    ASSERT_GE(again, 0);
    EXPECT_EQ(::pread(again, mark, 4, markAt), 4);
    ::close(again);
    EXPECT_EQ(std::string(mark, 4), "MARK");
    // The same boards at the same ports keep their slots.
    EXPECT_NE(first.out.find("slot 2 [1-1-2] "), std::string::npos);
    EXPECT_NE(second.out.find("slot 2 [1-1-2] "), std::string::npos);
    CKeyFile file(kdb, nullptr, KeyFileAccess::VerifyOnly);
    ASSERT_TRUE(file.IsValid());
    EXPECT_EQ(file.GetUnusedCount(), 0);
}

TEST_F(KeystationCliTest, JsonLinesTellEveryStatusAndResultAndTheResultsFileKeepsThem) {
    // Three boards, two keys: two jobs succeed, one finds no key.
    const std::string kdb = MakeKeyFile(2);
    const RunResult r = RunCli("--home " + Home() + " --kdb " + kdb +
                                   " --simulate 3 --start --until-idle --rkp 1 --dest 0 --json",
                               "/dev/null");
    EXPECT_EQ(r.exitCode, 1);
    std::vector<nlohmann::json> results;
    std::set<std::string> resultLines;
    std::map<int, std::string> lastStatus;
    nlohmann::json summary;
    for (const std::string& line : Lines(r.out)) {
        const nlohmann::json object = nlohmann::json::parse(line, nullptr, false);
        ASSERT_TRUE(object.is_object()) << line;
        ASSERT_TRUE(summary.is_null()) << "a line after the summary: " << line;
        const std::string event = object.value("event", "");
        if (event == "status") {
            lastStatus[object.at("slot").get<int>()] = object.at("text").get<std::string>();
        } else if (event == "result") {
            // The row showed the job's result text before the result line came.
            EXPECT_EQ(lastStatus[object.at("slot").get<int>()], object.at("text")) << line;
            results.push_back(object);
            resultLines.insert(line);
        } else {
            ASSERT_EQ(event, "summary") << line;
            summary = object;
        }
    }
    ASSERT_EQ(results.size(), 3u) << r.out;
    ASSERT_FALSE(summary.is_null());
    EXPECT_EQ(summary.at("success"), 2);
    EXPECT_EQ(summary.at("fail"), 1);
    EXPECT_EQ(summary.at("total"), 3);
    // Three jobs within a second are no rate per hour.
    EXPECT_EQ(summary.at("jobs_per_hour").get<int64_t>(), 0);
    std::set<int64_t> keys;
    std::set<std::string> serials;
    for (const nlohmann::json& job : results) {
        const bool ok = job.at("result") == "ok";
        EXPECT_EQ(job.at("step"), ok ? "" : "IDS_GET_KEY_ERROR");
        EXPECT_EQ(job.at("key").get<int64_t>() >= 0, ok);
        EXPECT_EQ(job.at("destination"), ok ? "misc" : "");
        EXPECT_GE(job.at("duration_ms").get<int64_t>(), 0);
        keys.insert(job.at("key").get<int64_t>());
        serials.insert(job.at("serial").get<std::string>());
        EXPECT_FALSE(job.at("port").get<std::string>().empty());
    }
    EXPECT_EQ(keys, (std::set<int64_t>{-1, 0, 1}));
    // The one failure is the summary's one failure text.
    const nlohmann::json& failures = summary.at("top_failures");
    ASSERT_EQ(failures.size(), 1u);
    EXPECT_EQ(failures[0].at("count"), 1);
    for (const nlohmann::json& job : results) {
        if (job.at("result") != "ok") {
            // The summary counts the failure; the job's text adds that no key went out.
            EXPECT_EQ(failures[0].at("text").get<std::string>() + kKeyNoteSeparator + "no key sent",
                      job.at("text"));
            EXPECT_EQ(job.at("key_sent"), false);
        }
    }
    EXPECT_EQ(serials.size(), 3u);

    // Each result names its key source by file name and key-area digest, and the station.
    std::string image;
    {
        std::ifstream kdbIn(kdb, std::ios::binary);
        image.assign(std::istreambuf_iterator<char>(kdbIn), std::istreambuf_iterator<char>());
    }
    CKeyFile loaded(kdb, nullptr, KeyFileAccess::VerifyOnly);
    ASSERT_TRUE(loaded.IsValid());
    const size_t header = static_cast<size_t>(loaded.GetHeaderSize());
    ASSERT_LT(header, image.size());
    uint8_t digest[32];
    ASSERT_TRUE(DoHash256(digest, reinterpret_cast<const uint8_t*>(image.data()) + header,
                          uint64_t{image.size() - header}));
    std::string digestHex;
    for (const uint8_t byte : digest) {
        char two[3];
        std::snprintf(two, sizeof(two), "%02x", byte);
        digestHex += two;
    }
    for (const nlohmann::json& job : results) {
        EXPECT_EQ(job.at("key_source"), "keys.kdb");
        EXPECT_EQ(job.at("key_sha256"), digestHex);
        EXPECT_FALSE(job.at("host").get<std::string>().empty());
    }

    // The results file holds the same result lines, between the station's events in order:
    // the keys loaded (with their source and counts), start, stop and close, each with its time.
    std::vector<fs::path> files;
    for (const auto& entry : fs::directory_iterator(home_ / "results")) {
        files.push_back(entry.path());
    }
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(files[0].filename().string().rfind("results-", 0), 0u);
    std::ifstream in(files[0]);
    std::set<std::string> fileLines;
    std::vector<std::string> events;
    for (std::string line; std::getline(in, line);) {
        const nlohmann::json object = nlohmann::json::parse(line, nullptr, false);
        ASSERT_TRUE(object.is_object()) << line;
        const std::string event = object.value("event", "");
        if (event == "result") {
            fileLines.insert(line);
            continue;
        }
        events.push_back(event);
        EXPECT_EQ(object.at("time").get<std::string>().size(), 20u) << line;
        EXPECT_EQ(object.at("host"), results[0].at("host")) << line;
        if (event == "keys-loaded") {
            EXPECT_EQ(object.at("key_source"), "keys.kdb");
            EXPECT_EQ(object.at("key_sha256"), digestHex);
            EXPECT_EQ(object.at("keys"), 2);
            EXPECT_EQ(object.at("unused"), 2);
        }
    }
    EXPECT_EQ(fileLines, resultLines);
    EXPECT_EQ(events, (std::vector<std::string>{"keys-loaded", "start", "stop", "close"}));
}

TEST_F(KeystationCliTest, SimulatedBoardOptionsAreCheckedBeforeAnythingRuns) {
    struct Case {
        const char* args;
        const char* message;
    };
    const Case cases[] = {
        {"--sim-fault unplug=0.5", "need --simulate"},
        {"--simulate 1 --sim-fault unplug=2", "from 0 to 1"},
        {"--simulate 1 --sim-fault wobble=0.1", "unknown fault"},
        {"--simulate 1 --sim-seed -3", "--sim-seed takes"},
        {"--simulate 1 --sim-revive-ms x", "--sim-revive-ms takes"},
    };
    for (const Case& c : cases) {
        const RunResult r = RunCli("--home " + Home() + " --list " + c.args);
        EXPECT_EQ(r.exitCode, 2) << c.args << "\n" << r.out;
        EXPECT_NE(r.out.find(c.message), std::string::npos) << c.args << "\n" << r.out;
    }
    // A board file that is not what it should be stops the program with the reason.
    fs::create_directories(home_ / "boards" / "board-00.img");
    const RunResult r =
        RunCli("--home " + Home() + " --list --simulate 1 --sim-state " + Home() + "/boards");
    EXPECT_EQ(r.exitCode, 2) << r.out;
    EXPECT_NE(r.out.find("board-00.img"), std::string::npos) << r.out;
}
