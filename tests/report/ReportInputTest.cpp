// Results files are read from the stations' folders, and what a board reports (its serial
// number) ends up in them: a hostile or damaged file must not reach a spreadsheet as a formula,
// the HTML page as markup, or the text report as extra columns, and every line that is not a
// record is said. The time window and the run endings are checked on files written here.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/keydb/KeyDbTestSupport.h"
#include "tests/report/ReportTestKit.h"
#include "tools/kdbtool/KdbReport.h"

using keydbtest::RunKdbtool;
using keydbtest::TempDir;
using report_fixture::ReadFile;
using report_fixture::Section;
using report_fixture::SplitTabs;

namespace {

std::string Result(const std::string& time, int slot, const std::string& serial,
                   const std::string& result, int key, const std::string& extra = "") {
    return "{\"event\":\"result\",\"time\":\"" + time + "\",\"slot\":" + std::to_string(slot) +
           ",\"port\":\"1-" + std::to_string(slot) + "\",\"serial\":" + serial +
           ",\"key\":" + std::to_string(key) + ",\"destination\":\"misc\",\"result\":\"" + result +
           "\",\"text\":\"t\",\"step\":\"" + (result == "fail" ? "IDS_READ_MISC_ERROR" : "") +
           "\",\"code\":-4,\"duration_ms\":10,\"key_source\":\"k.kdb\",\"key_sha256\":\"ab\","
           "\"host\":\"h\"" +
           extra + "}\n";
}

std::string Event(const std::string& time, const std::string& event) {
    return "{\"event\":\"" + event + "\",\"time\":\"" + time + "\",\"host\":\"h\"}\n";
}

}  // namespace

TEST(ReportInput, AHostileSerialStaysTextInEveryFormatAndBadLinesAreSaid) {
    TempDir dir;
    const std::string hostile = "\"=HYPERLINK(\\\"http://x\\\")\\t<script>x</script>,\\\"\"";
    std::string text = Event("2026-12-01T08:00:00Z", "start");
    text += Result("2026-12-01T08:01:00Z", 1, hostile, "fail", 7);
    text += Result("2026-12-01T08:02:00Z", 2, "\"SN2\"", "ok", 8);
    text += "not json at all\n";
    std::string other = Result("2026-12-01T08:03:00Z", 3, "\"SN3\"", "ok", 9);
    other.replace(other.find("\"result\""), 8, "\"other\"");  // an event of a newer station
    text += other;
    text += Result("2026-13-01T08:03:00Z", 3, "\"SN3\"", "ok", 9);     // no such month
    text += Result("2026-12-01T08:03:00Z", 1000, "\"SN3\"", "ok", 9);  // no such slot
    text += Result("2026-12-01T08:03:00Z", 3, "\"SN3\"", "won", 9);
    text += "{\"event\":\"result\",\"time\":\"2026-12-01T08:04:00Z\",\"serial\":\"" +
            std::string(70000, 'A') + "\"}\n";
    text += Event("2026-12-01T08:05:00Z", "stop");
    text += Result("2026-12-01T08:06:00Z", 4, "\"SN4\"", "ok", 10).substr(0, 60);  // cut short
    keydbtest::WriteBytes(dir.File("results.jsonl"),
                          std::vector<uint8_t>(text.begin(), text.end()));

    const keydbtest::ProgramResult r =
        RunKdbtool({"report", dir.File("results.jsonl"), "--csv", dir.File("r.csv"), "--html",
                    dir.File("r.html")});
    EXPECT_EQ(r.exitCode, 1) << "lines that are not records fail the report";
    for (const char* line : {":4: not a JSON object", ":6: no event or no UTC time",
                             ":7: a number field is out of range", ":8: unknown result \"won\"",
                             ":9: longer than a record can be"}) {
        EXPECT_NE(r.err.find(line), std::string::npos) << line << "\n" << r.err;
    }
    EXPECT_NE(r.out.find(":11: last line cut short"), std::string::npos) << r.out;
    // Line 5 has an event the report does not know: it is no job and no error.

    std::vector<std::string> jobs = Section(r.out, "jobs");
    ASSERT_EQ(jobs.size(), 3u) << r.out;
    const std::vector<std::string> first = SplitTabs(jobs[1]);
    ASSERT_EQ(first.size(), 16u) << jobs[1];
    EXPECT_EQ(first[5], "=HYPERLINK(\"http://x\") <script>x</script>,\"");
    EXPECT_EQ(first[7], "yes: the board may hold key 7, set it aside");

    const std::string csv = ReadFile(dir.File("r.csv"));
    EXPECT_NE(csv.find(",\"'=HYPERLINK(\"\"http://x\"\")\t<script>x</script>,\"\"\","),
              std::string::npos)
        << csv;
    const std::string html = ReadFile(dir.File("r.html"));
    EXPECT_EQ(html.find("<script"), std::string::npos);
    EXPECT_NE(html.find("=HYPERLINK(&quot;http://x&quot;)\t&lt;script&gt;x&lt;/script&gt;,&quot;"),
              std::string::npos);
    EXPECT_NE(html.find("last line cut short"), std::string::npos);

    // The run was stopped and never closed: it is not called closed.
    const std::vector<std::string> runs = Section(r.out, "station runs");
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_NE(runs[0].find("no close up to its last record"), std::string::npos) << runs[0];
}

TEST(ReportInput, TheWindowTakesJobsFromSinceUpToUntilAndRunsThatTouchIt) {
    TempDir dir;
    std::string text;
    text += Event("2026-12-01T07:59:00Z", "start");
    text += Result("2026-12-01T08:00:00Z", 1, "\"A\"", "ok", 1);
    text += Result("2026-12-01T09:00:00Z", 1, "\"B\"", "ok", 2);
    text += Event("2026-12-01T09:30:00Z", "start");  // started again while it ran: killed
    text += Result("2026-12-01T09:59:59Z", 2, "\"C\"", "fail", -1);
    text += Result("2026-12-01T10:00:00Z", 2, "\"D\"", "ok", 3);
    text += Event("2026-12-01T10:00:01Z", "stop");
    text += Event("2026-12-01T10:00:02Z", "close");
    text += Event("2026-12-01T11:00:00Z", "keys-loaded");
    text += Event("2026-12-01T11:00:01Z", "start");
    keydbtest::WriteBytes(dir.File("a.jsonl"), std::vector<uint8_t>(text.begin(), text.end()));

    const keydbtest::ProgramResult r = RunKdbtool({"report", "--since", "2026-12-01T09", "--until",
                                                   "2026-12-01 10:00Z", dir.File("a.jsonl")});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const std::vector<std::string> jobs = Section(r.out, "jobs");
    ASSERT_EQ(jobs.size(), 3u) << r.out;
    EXPECT_EQ(SplitTabs(jobs[1])[5], "B");
    EXPECT_EQ(SplitTabs(jobs[2])[5], "C");
    EXPECT_EQ(SplitTabs(jobs[2])[7], "no");
    const std::vector<std::string> runs = Section(r.out, "station runs");
    ASSERT_EQ(runs.size(), 2u) << r.out;
    EXPECT_NE(runs[0].find("CRASHED"), std::string::npos) << runs[0];
    EXPECT_NE(runs[0].find("jobs 1 (ok 1, fail 0)"), std::string::npos) << runs[0];
    EXPECT_EQ(runs[1].substr(runs[1].size() - 8), "  closed") << runs[1];

    for (const std::vector<std::string>& bad : std::vector<std::vector<std::string>>{
             {"report"},
             {"report", "--since", "2026-02-30", "x"},
             {"report", "--since", "yesterday", "x"},
             {"report", "--until", "2026-01-01", "--since", "2026-01-02", "x"},
             {"report", "--csv"},
             {"report", "--bogus", "x"}}) {
        EXPECT_EQ(RunKdbtool(bad).exitCode, 2) << bad.back();
    }
    EXPECT_EQ(RunKdbtool({"report", dir.File("missing.jsonl")}).exitCode, 1);
}

TEST(ReportInput, ElisionCutsAtACharacterAndSaysSo) {
    const std::string chinese = "保存RKP数据失败：磁盘已满";  // 14 characters
    EXPECT_EQ(kdbtool::ElideUtf8(chinese, 14), chinese);
    EXPECT_EQ(kdbtool::ElideUtf8(chinese, 13), "保存RKP数据失败：磁盘…");
    EXPECT_EQ(kdbtool::ElideUtf8(chinese, 3), "保存…");
    EXPECT_EQ(kdbtool::ElideUtf8(chinese, 1), "…");
    // A broken sequence counts one character per byte and is never cut into.
    EXPECT_EQ(kdbtool::ElideUtf8("ab\xE4\xBF", 4), "ab\xE4\xBF");
    EXPECT_EQ(kdbtool::ElideUtf8("ab\xE4\xBF", 3), "ab…");
}
