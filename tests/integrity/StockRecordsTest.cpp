// A key stock under the hands of an operator, a backup tool and a clumsy administrator: the key
// file replaced by a rename while a station uses it, reached through a hard link or a bind mount
// after an older copy was put back, its journal deleted during a run, or cut, foreign or missing
// beside a restored copy, its file system unmounted under the station. Every check reads the
// boards' images: no key of the stock is on two boards, every key on a board is marked used.
#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <sstream>
#include <thread>

#include "tests/integrity/StationHome.h"

namespace {

using integrity::ReadText;
using integrity::StationHome;
using integrity::StationRun;
namespace fs = std::filesystem;

constexpr const char* kReplaced =
    "the key file was replaced or moved while the station was using it";

class StockRecords : public StationHome {
  protected:
    // Starts a station and waits until `journal` holds a reservation (the station is inside its
    // run); false when none came within a minute.
    pid_t StartAndWaitForAReservation(const std::vector<std::string>& args,
                                      const std::string& journal) {
        const pid_t pid = Start(args);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (pid > 0 && std::chrono::steady_clock::now() < deadline) {
            if (ReadText(journal).find("\"reserved\"") != std::string::npos) {
                return pid;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        ADD_FAILURE() << "no reservation in " << journal;
        return pid;
    }
    // Finishes a run started earlier, whose output files were `out` and `err`.
    StationRun FinishRun(pid_t pid, const fs::path& out, const fs::path& err) {
        outPath_ = out;
        errPath_ = err;
        return Finish(pid);
    }
    std::vector<uint8_t> Bytes(const std::string& path) {
        const std::string text = ReadText(path);
        return std::vector<uint8_t>(text.begin(), text.end());
    }
    void Put(const std::string& path, const std::vector<uint8_t>& bytes) {
        // Written over in place, as a backup tool restoring into the file does.
        std::ofstream(path, std::ios::binary | std::ios::trunc)
            .write(reinterpret_cast<const char*>(bytes.data()),
                   static_cast<std::streamsize>(bytes.size()));
    }
    // What `kdbtool audit --home` says of the stock through `kdb`, without the lines that name
    // the path itself (the file, the journal beside it).
    std::string Audit(const std::string& kdb) {
        const StationRun run =
            Finish(Start({KS_KDBTOOL, "audit", "--home", (root_ / "home").string(), kdb}));
        EXPECT_EQ(run.exitCode, 0) << kdb << "\n" << run.out;
        std::istringstream in(run.out);
        std::string said;
        for (std::string line; std::getline(in, line);) {
            if (line.rfind("file:", 0) != 0 && line.rfind("beside the file:", 0) != 0) {
                said += line + "\n";
            }
        }
        return said;
    }
};

}  // namespace

// cp master.kdb line/new.kdb && mv line/new.kdb line/keys.kdb while station A runs on
// line/keys.kdb: A stops at its next record, saying why; station B on the same path is refused
// while A holds the stock; after A, a station on the new file skips every key A reserved.
TEST_F(StockRecords, KeyFileReplacedByARenameDuringARunStopsItAndASecondStationIsRefused) {
    fs::create_directories(root_ / "line");
    const std::string master = Path("master.kdb");
    ASSERT_EQ(Kdbtool({"create", "--keys", "64", "--key-size", "64", master}), 0);
    const std::string kdb = Path("line/keys.kdb");
    fs::copy_file(master, kdb);

    // Vendor storage: every job waits for its board's restart, time to act inside the run.
    const pid_t a =
        StartAndWaitForAReservation(Station(kdb, "boards-a", 8, 1), kdb + ".journal.jsonl");
    const fs::path aOut = outPath_, aErr = errPath_;
    fs::copy_file(master, Path("line/new.kdb"));
    fs::rename(Path("line/new.kdb"), kdb);
    const StationRun b = Run(Station(kdb, "boards-b", 4, 0));
    EXPECT_NE(b.err.find("in use by another station"), std::string::npos) << b.err;
    const StationRun ra = FinishRun(a, aOut, aErr);
    EXPECT_NE(ra.err.find(kReplaced), std::string::npos) << ra.err;
    // A handed out no key after it stopped: its boards hold at most the keys it reserved.
    const std::string journal = ReadText(kdb + ".journal.jsonl");
    size_t reserved = 0;
    for (size_t at = journal.find("\"reserved\""); at != std::string::npos;
         at = journal.find("\"reserved\"", at + 1)) {
        ++reserved;
    }

    // A station on the new file, once A is gone, marks what A reserved before it hands out any.
    const StationRun c = Run(Station(kdb, "boards-c", 8, 0));
    EXPECT_EQ(c.exitCode, 0) << c.err;
    EXPECT_NE(c.out.find("success 00008"), std::string::npos) << c.out;
    const size_t onA = CheckBoards(kdb, {"boards-a"});
    EXPECT_GE(onA, 1u);
    EXPECT_LE(onA, reserved);
    // B's boards hold none, C's 8 others: no key on two boards, every one marked used.
    EXPECT_EQ(CheckBoards(kdb, {"boards-a", "boards-b", "boards-c"}), onA + 8);
}

// Run 1 through line/keys.kdb, the copy from before it put back, run 2 through a hard link in
// another folder (and run 3 through a bind mount of the folder): the same records, the same
// keys skipped, and the same audit through every name.
TEST_F(StockRecords, HardLinkAndBindMountAfterARestoreFindTheSameRecords) {
    fs::create_directories(root_ / "line");
    fs::create_directories(root_ / "alt");
    const std::string kdb = Path("line/keys.kdb");
    ASSERT_EQ(Kdbtool({"create", "--keys", "64", "--key-size", "64", kdb}), 0);
    const std::string link = Path("alt/keys.kdb");
    fs::create_hard_link(kdb, link);
    const std::vector<uint8_t> backup = Bytes(kdb);

    ASSERT_EQ(Run(Station(kdb, "boards-1", 4, 0)).exitCode, 0);
    Put(kdb, backup);
    const StationRun second = Run(Station(link, "boards-2", 4, 0));
    EXPECT_EQ(second.exitCode, 0) << second.err;
    EXPECT_NE(second.out.find("success 00004"), std::string::npos) << second.out;
    EXPECT_EQ(CheckBoards(kdb, {"boards-1", "boards-2"}), 8u);
    const std::string audit = Audit(kdb);
    EXPECT_NE(audit.find("delivered:         8  0-7"), std::string::npos) << audit;
    EXPECT_EQ(Audit(link), audit);

    fs::create_directories(root_ / "mnt");
    const std::string mount = (root_ / "mnt").string();
    if (::mount((root_ / "line").c_str(), mount.c_str(), nullptr, MS_BIND, nullptr) != 0) {
        std::printf("[ skipped ] bind mount: %s (the test cannot mount here)\n",
                    std::strerror(errno));
        return;
    }
    Put(kdb, backup);
    const StationRun third = Run(Station(mount + "/keys.kdb", "boards-3", 4, 0));
    ::umount2(mount.c_str(), MNT_DETACH);
    EXPECT_EQ(third.exitCode, 0) << third.err;
    EXPECT_NE(third.out.find("success 00004"), std::string::npos) << third.out;
    EXPECT_EQ(CheckBoards(kdb, {"boards-1", "boards-2", "boards-3"}), 12u);
}

// The journal beside the file deleted during a run stops the station; a copy of the file from
// before the run put back beside no journal, half a journal or another file's journal hands out
// none of the keys that went out.
TEST_F(StockRecords, JournalDeletedDuringARunOrCutForeignOrMissingBesideARestoredCopy) {
    const std::string kdb = Path("keys.kdb");
    const std::string journal = kdb + ".journal.jsonl";
    ASSERT_EQ(Kdbtool({"create", "--keys", "64", "--key-size", "64", kdb}), 0);
    const std::string other = Path("other.kdb");
    ASSERT_EQ(Kdbtool({"create", "--keys", "64", "--key-size", "64", other}), 0);
    ASSERT_EQ(Run(Station(other, "boards-other", 2, 0)).exitCode, 0);
    const std::vector<uint8_t> backup = Bytes(kdb);

    const pid_t a = StartAndWaitForAReservation(Station(kdb, "boards-a", 4, 1), journal);
    const fs::path aOut = outPath_, aErr = errPath_;
    fs::remove(journal);
    const StationRun ra = FinishRun(a, aOut, aErr);
    EXPECT_NE(ra.err.find(kReplaced), std::string::npos) << ra.err;

    // (A stops at its first record after the deletion: boards after that get nothing.)
    std::vector<std::string> dirs = {"boards-a"};
    size_t expected = CheckBoards(kdb, dirs);
    EXPECT_GE(expected, 1u);
    for (const char* beside : {"absent", "cut", "foreign"}) {
        SCOPED_TRACE(beside);
        Put(kdb, backup);
        const std::string text = ReadText(journal);
        if (std::string(beside) == "absent") {
            fs::remove(journal);
        } else if (std::string(beside) == "cut") {
            std::ofstream(journal, std::ios::binary | std::ios::trunc)
                << text.substr(0, text.size() / 2);
        } else {
            fs::copy_file(other + ".journal.jsonl", journal, fs::copy_options::overwrite_existing);
        }
        const std::string dir = std::string("boards-") + beside;
        const StationRun run = Run(Station(kdb, dir, 2, 0));
        EXPECT_EQ(run.exitCode, 0) << run.err;
        EXPECT_NE(run.out.find("success 00002"), std::string::npos) << run.out;
        dirs.push_back(dir);
        expected += 2;
        EXPECT_EQ(CheckBoards(kdb, dirs), expected);
    }
}

// The key file on a file system unmounted lazily during a run: the station stops, saying why,
// instead of handing out keys from files nobody can see.
TEST_F(StockRecords, FileSystemUnmountedDuringARunStopsTheStation) {
    fs::create_directories(root_ / "disk");
    const std::string disk = (root_ / "disk").string();
    if (::mount("tmpfs", disk.c_str(), "tmpfs", 0, "size=8m") != 0) {
        GTEST_SKIP() << "cannot mount a tmpfs here: " << std::strerror(errno);
    }
    const std::string kdb = disk + "/keys.kdb";
    ASSERT_EQ(Kdbtool({"create", "--keys", "64", "--key-size", "64", kdb}), 0);
    const pid_t a =
        StartAndWaitForAReservation(Station(kdb, "boards-a", 8, 1), kdb + ".journal.jsonl");
    const fs::path aOut = outPath_, aErr = errPath_;
    ASSERT_EQ(::umount2(disk.c_str(), MNT_DETACH), 0) << std::strerror(errno);
    const StationRun ra = FinishRun(a, aOut, aErr);
    EXPECT_NE(ra.err.find(kReplaced), std::string::npos) << ra.err;
    EXPECT_EQ(ra.out.find("success 00008"), std::string::npos) << ra.out;
}

// Two runs over the same boards, the destination changed between them (misc with GetRkp off and
// on, vendor storage, item 8, every ordered pair): the second run gives no board a second key,
// whatever place the first key went to.
TEST_F(StockRecords, EveryPairOfDestinationsAcrossTwoRunsGivesNoBoardASecondKey) {
    const std::string kdb = Path("keys.kdb");
    ASSERT_EQ(Kdbtool({"create", "--keys", "200", "--key-size", "64", kdb}), 0);
    struct Way {
        int dest;
        bool rkp;
        const char* name;
    };
    const Way ways[] = {
        {0, false, "misc"}, {0, true, "misc-rkp"}, {1, false, "vendor"}, {2, false, "item8"}};
    constexpr int kPairBoards = 2;
    std::vector<std::string> dirs;
    for (const Way& first : ways) {
        for (const Way& second : ways) {
            if (&first == &second) {
                continue;
            }
            const std::string dir = std::string("pair-") + first.name + "-" + second.name;
            SCOPED_TRACE(dir);
            const StationRun one = Run(Station(kdb, dir, kPairBoards, first.dest, first.rkp));
            EXPECT_NE(one.out.find("success 00002"), std::string::npos) << one.out << one.err;
            const StationRun two = Run(Station(kdb, dir, kPairBoards, second.dest, second.rkp));
            EXPECT_NE(two.out.find("success 00000"), std::string::npos) << two.out << two.err;
            dirs.push_back(dir);
        }
    }
    // One key on every board, none on two, every one marked used.
    EXPECT_EQ(CheckBoards(kdb, dirs), dirs.size() * kPairBoards);
}

// Boards keyed from one key file and still plugged in when another file is loaded: the station
// knows them by its own index of the keys it handed out, and gives none of them a key of the
// second file (which, in misc, would overwrite and lose the first).
TEST_F(StockRecords, AnotherKeyFileOverBoardsStillPluggedInKeysNone) {
    const std::string first = Path("first.kdb");
    const std::string second = Path("second.kdb");
    for (const std::string& kdb : {first, second}) {
        ASSERT_EQ(Kdbtool({"create", "--keys", "64", "--key-size", "64", kdb}), 0);
    }
    for (const int dest : {0, 1}) {
        const std::string dir = "plugged-" + std::to_string(dest);
        SCOPED_TRACE(dir);
        ASSERT_NE(Run(Station(first, dir, 4, dest)).out.find("success 00004"), std::string::npos);
        const StationRun again = Run(Station(second, dir, 4, dest));
        EXPECT_NE(again.out.find("success 00000"), std::string::npos) << again.out << again.err;
        EXPECT_EQ(CheckBoards(first, {dir}), 4u);
        EXPECT_EQ(CheckBoards(second, {dir}), 0u);
    }
}
