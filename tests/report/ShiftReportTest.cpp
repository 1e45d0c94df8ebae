// The supervisor's morning after a shift run by the real console station on simulated boards
// kept in files: production on two key files (one with a Chinese name), jobs that fail before and
// after their key, boards put back that already hold their key, a station stopped by SIGTERM and
// one killed with SIGKILL and started again, and a run drawing from a key pool on a PostgreSQL
// server the test starts. `kdbtool report` over the station's results files must list every job as
// the files hold it, add up what the files add up to, and give the pool's audit head as
// `kdbtool pool audit` computes it.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tests/common/ChildProcess.h"
#include "tests/common/ConsoleStation.h"
#include "tests/keydb/KeyDbTestSupport.h"
#include "tests/pool/PgServer.h"
#include "tests/report/ReportTestKit.h"

namespace fs = std::filesystem;
using report_fixture::ReadFile;
using report_fixture::Records;
using report_fixture::Section;
using report_fixture::SplitTabs;

namespace {

class ShiftReport : public ::testing::Test {
  protected:
    void SetUp() override {
        root_ = fs::temp_directory_path() / ("ks_report_" + std::to_string(getpid()));
        fs::remove_all(root_);
        fs::create_directories(home_ / "rkp");
        const fs::path data = fs::path(KS_SOURCE_DIR) / "data";
        fs::copy(data / "lang", home_ / "lang", fs::copy_options::recursive);
        fs::copy_file(data / "devices.ini", home_ / "devices.ini");
        std::string config = ReadFile(data / "config.ini");
        // The operator's language: Chinese.
        const size_t selected = config.find("Selected=0");
        ASSERT_NE(selected, std::string::npos);
        config.replace(selected, 10, "Selected=1");
        std::FILE* f = std::fopen((home_ / "config.ini").c_str(), "wb");
        ASSERT_NE(f, nullptr);
        std::fwrite(config.data(), 1, config.size(), f);
        std::fclose(f);
    }
    void TearDown() override {
        if (!HasFailure()) {
            fs::remove_all(root_);
        }
    }

    std::string KeyFile(const std::string& name) {
        const std::string path = (root_ / name).string();
        EXPECT_EQ(
            child_process::Run({KS_KDBTOOL, "create", "--keys", "300", "--key-size", "64", path}),
            0);
        return path;
    }

    std::vector<std::string> Station(const std::string& kdb, const std::string& boards, int count,
                                     int dest, bool untilIdle,
                                     const std::vector<std::string>& faults = {},
                                     bool rkp = true) const {
        fs::create_directories(root_ / boards);
        std::vector<std::string> args =
            console_station::Run(home_.string(), kdb, count, (root_ / boards).string(), dest,
                                 rkp ? 1 : 0, (home_ / "rkp").string());
        args.insert(args.end(), {"--sim-seed", "7"});
        if (untilIdle) {
            args.push_back("--until-idle");
        }
        for (const std::string& fault : faults) {
            args.push_back("--sim-fault");
            args.push_back(fault);
        }
        return args;
    }

    std::vector<std::string> ResultsFiles() const {
        std::vector<std::string> files;
        for (const auto& entry : fs::directory_iterator(home_ / "results")) {
            files.push_back(entry.path().string());
        }
        std::sort(files.begin(), files.end());
        return files;
    }

    // Lines of the results files that are job results or `event` records.
    int64_t Count(const std::string& event) const {
        int64_t n = 0;
        if (!fs::exists(home_ / "results")) {
            return 0;
        }
        for (const auto& r : Records(ResultsFiles())) {
            n += r.value("event", "") == event ? 1 : 0;
        }
        return n;
    }

    // Waits until the results files hold at least `n` records of `event`.
    bool WaitFor(const std::string& event, int64_t n) const {
        for (int i = 0; i < 600; ++i) {
            if (Count(event) >= n) {
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return false;
    }

    fs::path root_;
    fs::path home_ = fs::temp_directory_path() / ("ks_report_" + std::to_string(getpid())) / "home";
};

std::string KeySentExpected(const nlohmann::json& r) {
    const int64_t key = r["key"].get<int64_t>();
    const std::string result = r["result"].get<std::string>();
    if (key < 0 || (result != "ok" && result != "fail")) {
        return "no";
    }
    return result == "ok" ? "yes"
                          : "yes: the board may hold key " + std::to_string(key) + ", set it aside";
}

}  // namespace

TEST_F(ShiftReport, ListsEveryJobAndAddsUpWhatTheResultsFilesHold) {
    const std::string night = KeyFile("夜班钥匙.kdb");
    const std::string day = KeyFile("day-keys.kdb");

    // 1. Six boards provisioned.
    ASSERT_LE(child_process::Run(Station(night, "boards-a", 6, 0, true)), 1);
    // 2. Sixteen boards on a bad day, without reading their serial numbers: lost status blocks,
    //    status blocks with another tag, boards that leave the bus.
    ASSERT_LE(
        child_process::Run(Station(night, "boards-b", 16, 0, true,
                                   {"status-lost=0.2", "bad-tag=0.1", "unplug=0.004"}, false)),
        1);
    // 3. The six boards of the first run put back: each holds its key and takes none.
    ASSERT_LE(child_process::Run(Station(night, "boards-a", 6, 0, true)), 1);
    // 4. A station stopped by SIGTERM once its three jobs ended: it stops and closes.
    {
        const int64_t before = Count("result");
        const pid_t pid = child_process::Spawn(Station(night, "boards-e", 3, 1, false));
        ASSERT_GT(pid, 0);
        ASSERT_TRUE(WaitFor("result", before + 3));
        ::kill(pid, SIGTERM);
        EXPECT_GE(child_process::Wait(pid), 0) << "SIGTERM ends the console station in order";
    }
    // 5. A station killed with SIGKILL after its first job, then started again on the same boards
    //    with the other key file.
    {
        const int64_t before = Count("result");
        const int64_t starts = Count("start");
        const pid_t pid = child_process::Spawn(Station(night, "boards-f", 4, 1, false));
        ASSERT_GT(pid, 0);
        ASSERT_TRUE(WaitFor("start", starts + 1));
        ASSERT_TRUE(WaitFor("result", before + 1));
        ::kill(pid, SIGKILL);
        EXPECT_LT(child_process::Wait(pid), 0);
    }
    ASSERT_LE(child_process::Run(Station(day, "boards-f", 4, 1, true)), 1);
    // 6. Four boards from a key pool.
    pooltest::PgServer pg;
    ASSERT_TRUE(pg.Ok()) << pg.Error();
    const std::string admin = pg.ConnInfo("ksadmin");
    const std::string wrap = (root_ / "pool.key").string();
    const std::string poolKeys = KeyFile("pool.kdb");
    ASSERT_EQ(child_process::Run({KS_KDBTOOL, "pool", "keygen", wrap}), 0);
    ASSERT_EQ(child_process::Run({KS_KDBTOOL, "pool", "--db", admin, "init"}), 0);
    ASSERT_EQ(child_process::Run({KS_KDBTOOL, "pool", "--db", admin, "import", poolKeys, "--pool",
                                  "line", "--wrap-key", wrap}),
              0);
    ASSERT_TRUE(
        pg.Sql("CREATE ROLE st LOGIN; GRANT keypool_station TO st; "
               "CREATE ROLE auditor LOGIN; GRANT keypool_auditor TO auditor;"));
    ASSERT_EQ(
        child_process::Run({KS_KDBTOOL, "pool", "--db", admin, "bind", "--pool", "line", "st"}), 0);
    {
        std::vector<std::string> args = Station("", "boards-p", 4, 0, true);
        args.erase(args.begin() + 3, args.begin() + 5);  // --kdb
        args.insert(args.end(),
                    {"--key-pool", pg.ConnInfo("st"), "--pool", "line", "--pool-wrap-key", wrap});
        ASSERT_LE(child_process::Run(args), 1);
    }

    const std::vector<std::string> files = ResultsFiles();
    ASSERT_FALSE(files.empty());
    std::vector<nlohmann::json> results;
    std::vector<nlohmann::json> events;
    for (auto& r : Records(files)) {
        (r["event"] == "result" ? results : events).push_back(r);
    }

    // What the shift must hold for the report to be tried on it.
    std::map<std::string, int64_t> outcomes;
    int64_t failWithKey = 0;
    int64_t failWithoutKey = 0;
    for (const auto& r : results) {
        ++outcomes[r["result"].get<std::string>()];
        if (r["result"] == "fail") {
            const int64_t key = r["key"].get<int64_t>();
            (key >= 0 ? failWithKey : failWithoutKey)++;
            // Every failure says, in the operator's language, whether a key went out; one after
            // the key names it and says what to do with the board.
            EXPECT_EQ(r["key_sent"], key >= 0);
            const std::string text = r["text"];
            const std::string note =
                key >= 0 ? "可能已有密钥 " + std::to_string(key) + "：请将此板单独放置"
                         : std::string("未发送密钥");
            EXPECT_EQ(text.substr(text.size() - std::min(text.size(), note.size())), note) << text;
        }
    }
    ASSERT_GT(outcomes["ok"], 0);
    ASSERT_GE(outcomes["already"], 6) << "the boards put back";
    ASSERT_GT(failWithKey, 0) << "a failure after the key went out";
    ASSERT_GT(failWithoutKey, 0) << "a failure before any key";

    std::vector<std::string> args = {KS_KDBTOOL, "report"};
    args.insert(args.end(), files.begin(), files.end());
    const std::string csv = (root_ / "shift.csv").string();
    const std::string html = (root_ / "shift.html").string();
    args.insert(args.end(), {"--csv", csv, "--html", html, "--pool-db", pg.ConnInfo("auditor")});
    const keydbtest::ProgramResult report = keydbtest::RunProgram(args);
    ASSERT_EQ(report.exitCode, 0) << report.err;

    // Every job, as the files hold it, whether a key went out and what to do with the board.
    std::multiset<std::string> expectedRows;
    for (const auto& r : results) {
        expectedRows.insert(
            r["time"].get<std::string>() + "|" + std::to_string(r["slot"].get<int>()) + "|" +
            r["port"].get<std::string>() + "|" + r["serial"].get<std::string>() + "|" +
            (r["key"].get<int64_t>() >= 0 ? std::to_string(r["key"].get<int64_t>()) : "") + "|" +
            KeySentExpected(r) + "|" + r["key_source"].get<std::string>() + "|" +
            r["key_sha256"].get<std::string>() + "|" + r["result"].get<std::string>() + "|" +
            r["step"].get<std::string>() + "|" +
            (r["result"] == "ok" || r["result"] == "already" ? "" : r["text"].get<std::string>()));
    }
    std::vector<std::string> jobLines = Section(report.out, "jobs");
    ASSERT_FALSE(jobLines.empty()) << report.out;
    jobLines.erase(jobLines.begin());  // the header
    std::multiset<std::string> rows;
    for (const std::string& line : jobLines) {
        const std::vector<std::string> c = SplitTabs(line);
        ASSERT_EQ(c.size(), 16u) << line;
        EXPECT_EQ(c[2], "production");
        rows.insert(c[0] + "|" + c[3] + "|" + c[4] + "|" + c[5] + "|" + c[6] + "|" + c[7] + "|" +
                    c[8] + "|" + c[9] + "|" + c[11] + "|" + c[12] + "|" + c[14]);
    }
    EXPECT_EQ(rows, expectedRows);

    // The totals.
    char totals[200];
    std::snprintf(totals, sizeof totals,
                  "jobs: %zu (ok %lld, fail %lld, already %lld, stopped %lld)", results.size(),
                  static_cast<long long>(outcomes["ok"]), static_cast<long long>(outcomes["fail"]),
                  static_cast<long long>(outcomes["already"]),
                  static_cast<long long>(outcomes["stopped"]));
    EXPECT_NE(report.out.find(totals), std::string::npos) << report.out;
    EXPECT_NE(
        report.out.find("failures after a key went out: " + std::to_string(failWithKey) + " "),
        std::string::npos);

    // Keys delivered and spent per key file.
    std::map<std::string, std::pair<int64_t, int64_t>> perSource;
    for (const auto& r : results) {
        if (r["key"].get<int64_t>() >= 0) {
            auto& p = perSource[r["key_source"].get<std::string>()];
            (r["result"] == "ok" ? p.first : p.second) +=
                r["result"] == "ok" || r["result"] == "fail";
        }
    }
    // The restarted run may find only boards that already hold their key: two or three sources.
    ASSERT_GE(perSource.size(), 2u);
    const std::vector<std::string> sources = Section(report.out, "keys per key source");
    for (const auto& [source, counts] : perSource) {
        bool found = false;
        const bool pool = source.rfind("pool line", 0) == 0;
        for (const std::string& line : sources) {
            if (line.find("  " + source + (pool ? "  (key pool)" : "  sha256 ")) ==
                std::string::npos) {
                continue;
            }
            found = true;
            long long delivered = -1;
            long long spent = -1;
            ASSERT_EQ(std::sscanf(line.c_str(), " production delivered %lld spent %lld", &delivered,
                                  &spent),
                      2)
                << line;
            EXPECT_EQ(delivered, counts.first) << source;
            EXPECT_EQ(spent, counts.second) << source;
        }
        EXPECT_TRUE(found) << source << "\n" << report.out;
    }

    // Failures by reason and per slot.
    std::map<std::string, int64_t> byStep;
    std::map<int, int64_t> bySlot;
    for (const auto& r : results) {
        if (r["result"] == "fail") {
            ++byStep[r["step"].get<std::string>()];
            ++bySlot[r["slot"].get<int>()];
        }
    }
    std::map<std::string, int64_t> reportedSteps;
    for (const std::string& line : Section(report.out, "failures by reason")) {
        long long n = 0;
        char step[64] = {};
        ASSERT_EQ(
            std::sscanf(line.c_str(), " %lld after the key: %*d practice: %*d %63s", &n, step), 2)
            << line;
        reportedSteps[step] += n;
    }
    EXPECT_EQ(reportedSteps, byStep);
    std::map<int, int64_t> reportedSlots;
    for (const std::string& line : Section(report.out, "failures per slot")) {
        int slot = 0;
        long long failed = 0;
        const size_t at = line.find(" slot ");
        ASSERT_NE(at, std::string::npos) << line;
        ASSERT_EQ(std::sscanf(line.c_str() + at, " slot %d failed %lld", &slot, &failed), 2);
        if (failed > 0) {
            reportedSlots[slot] += failed;
        }
    }
    EXPECT_EQ(reportedSlots, bySlot);

    // The station's runs in order: closed, closed, closed, closed after SIGTERM, killed (it was
    // started again while it ran), closed, closed (the pool).
    const std::vector<std::string> runs = Section(report.out, "station runs");
    ASSERT_EQ(runs.size(), 7u) << report.out;
    for (size_t i = 0; i < runs.size(); ++i) {
        if (i == 4) {
            EXPECT_NE(runs[i].find("CRASHED or killed while running"), std::string::npos)
                << runs[i];
        } else {
            EXPECT_EQ(runs[i].substr(runs[i].size() - 8), "  closed") << runs[i];
        }
    }
    EXPECT_EQ(Section(report.out, "records not read").size(), 0u);

    // The pool's audit head, as the pool's own audit computes it.
    const std::string auditJson = (root_ / "audit.json").string();
    ASSERT_EQ(std::system((std::string(KS_KDBTOOL) + " pool --db '" + admin + "' audit --json >" +
                           auditJson)
                              .c_str()),
              0);
    const std::string head = nlohmann::json::parse(ReadFile(auditJson))["headHash"];
    ASSERT_EQ(head.size(), 64u);
    const std::vector<std::string> audit = Section(report.out, "key pool audit");
    ASSERT_EQ(audit.size(), 3u) << report.out;
    EXPECT_NE(audit[0].find("chain intact"), std::string::npos) << audit[0];
    EXPECT_EQ(audit[1], "  head " + head);

    // The CSV: a byte-order mark, a header and one row per job, the Chinese key file name as
    // UTF-8; the HTML page: both plots, nothing loaded from elsewhere, no script.
    const std::string csvText = ReadFile(csv);
    ASSERT_EQ(csvText.substr(0, 3), "\xEF\xBB\xBF");
    size_t csvRows = 0;
    for (size_t at = 0; (at = csvText.find("\r\n", at)) != std::string::npos; at += 2) {
        ++csvRows;
    }
    EXPECT_EQ(csvRows, results.size() + 1);
    EXPECT_NE(csvText.find("夜班钥匙.kdb"), std::string::npos);
    const std::string page = ReadFile(html);
    EXPECT_NE(page.find("<svg id=\"plot-jobs\""), std::string::npos);
    EXPECT_NE(page.find("<svg id=\"plot-failures\""), std::string::npos);
    EXPECT_EQ(page.find("<script"), std::string::npos);
    EXPECT_EQ(page.find("src="), std::string::npos);
    EXPECT_EQ(page.find("href="), std::string::npos);
}
