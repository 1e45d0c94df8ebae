// One key file reached by several names, or copied to another station: a symbolic link in another
// folder and a second spelling of the path find the same journal, so the second run's guard knows
// every board the first one served; a journal written by another host is reported at load.
#include <unistd.h>

#include "tests/integrity/StationHome.h"

namespace {

using integrity::ReadText;
using integrity::StationHome;
namespace fs = std::filesystem;

constexpr int kBoards = 4;

}  // namespace

TEST_F(StationHome, LinkAndSecondPathToTheKeyFileShareItsJournalAndItsGuard) {
    fs::create_directories(root_ / "files" / "sub");
    fs::create_directories(root_ / "elsewhere");
    const std::string kdb = Path("files/keys.kdb");
    ASSERT_EQ(Kdbtool({"create", "--keys", "100", "--key-size", "128", kdb}), 0);
    const std::string link = Path("elsewhere/keys.kdb");
    fs::create_symlink(kdb, link);
    const std::string second = Path("files/sub/../keys.kdb");

    // Vendor storage with serial numbers read: the boards are known by the journal's deliveries.
    const integrity::StationRun first = Run(Station(link, "boards", kBoards, 1, true));
    ASSERT_EQ(first.exitCode, 0) << first.err;
    EXPECT_TRUE(fs::exists(kdb + ".journal.jsonl"));
    EXPECT_FALSE(fs::exists(link + ".journal.jsonl"));

    // The same boards again through the other names: each is turned away, none takes a key.
    for (const std::string& name : {kdb, second, link}) {
        SCOPED_TRACE(name);
        const integrity::StationRun again = Run(Station(name, "boards", kBoards, 1, true));
        EXPECT_EQ(again.exitCode, 0) << again.err;
        EXPECT_NE(again.out.find("success 00000 fail 00000"), std::string::npos) << again.out;
    }
    EXPECT_FALSE(fs::exists(link + ".journal.jsonl"));
    EXPECT_EQ(CheckBoards(kdb, {"boards"}), static_cast<size_t>(kBoards));
    // The audit through any name reads the one journal.
    for (const std::string& name : {kdb, second, link}) {
        EXPECT_EQ(Kdbtool({"audit", name}), 0) << name;
    }
}

// The file copied to a second station and brought back with that station's records (or its
// journal merged): the next load says another host loaded this key area, in the log and on the
// status line.
TEST_F(StationHome, JournalWrittenByAnotherHostIsReportedAtLoad) {
    const std::string kdb = Path("keys.kdb");
    ASSERT_EQ(Kdbtool({"create", "--keys", "100", "--key-size", "128", kdb}), 0);
    const integrity::StationRun first = Run(Station(kdb, "boards-1", kBoards, 0));
    ASSERT_EQ(first.exitCode, 0) << first.err;
    EXPECT_EQ(first.err.find("also loaded on another station"), std::string::npos) << first.err;
    const std::string journal = ReadText(kdb + ".journal.jsonl");
    const size_t host = journal.find("\"host\":\"");
    ASSERT_NE(host, std::string::npos) << journal;
    const size_t hostEnd = journal.find('"', host + 8);
    std::string foreign = journal.substr(0, journal.find('\n') + 1);  // its "loaded" record
    foreign.replace(host, hostEnd - host + 1, "\"host\":\"line-2-station\"");
    std::ofstream(kdb + ".journal.jsonl", std::ios::app) << foreign;
    const integrity::StationRun second = Run(Station(kdb, "boards-2", kBoards, 0));
    EXPECT_EQ(second.exitCode, 0) << second.err;
    EXPECT_NE(second.err.find("this key file was also loaded on another station (line-2-station)"),
              std::string::npos)
        << second.err;
    EXPECT_EQ(CheckBoards(kdb, {"boards-1", "boards-2"}), static_cast<size_t>(2 * kBoards));
    EXPECT_EQ(Kdbtool({"audit", kdb}), 0);
}
