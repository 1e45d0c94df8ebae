// The key file put back or replaced behind the station's back: the supplier's original copied over
// a used file beside its journal, a copy written over the file while a station runs, and a restore
// after a crash that left keys in doubt. The boards' images are read after each scenario: no key
// is on two boards, every key on a board is marked used, and kdbtool audit passes.
#include <signal.h>

#include <chrono>
#include <thread>

#include "tests/integrity/StationHome.h"

namespace {

using integrity::ReadText;
using integrity::StationHome;
namespace fs = std::filesystem;

constexpr int kBoards = 8;
constexpr const char* kMarkedNote =
    "keys the journal records as used were free in the file: "
    "marked used";

class RestoredKeyFile : public StationHome {
  protected:
    void SetUp() override {
        StationHome::SetUp();
        master_ = Path("master.kdb");
        kdb_ = Path("keys.kdb");
        // 4,000 keys: a header of two sectors, rewritten through its copy.
        ASSERT_EQ(Kdbtool({"create", "--keys", "4000", "--key-size", "128", master_}), 0);
        fs::copy_file(master_, kdb_);
    }
    // The operator's restore: the original's bytes over the file, the journal left beside it.
    void Restore() const { fs::copy_file(master_, kdb_, fs::copy_options::overwrite_existing); }
    // Waits until the journal holds a reservation (a key is on its way to a board).
    bool WaitForReservation() const {
        for (int i = 0; i < 400; ++i) {
            if (ReadText(kdb_ + ".journal.jsonl").find("\"reserved\"") != std::string::npos) {
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return false;
    }

    std::string master_, kdb_;
};

}  // namespace

TEST_F(RestoredKeyFile, OriginalPutBackBesideItsJournalHandsOutNoKeyTwice) {
    const integrity::StationRun first = Run(Station(kdb_, "boards-1", kBoards, 0));
    ASSERT_EQ(first.exitCode, 0) << first.err;
    Restore();
    // The restored file shows every key unused; its journal says keys 0-7 went to boards.
    const integrity::StationRun second = Run(Station(kdb_, "boards-2", kBoards, 0));
    EXPECT_EQ(second.exitCode, 0) << second.err;
    EXPECT_NE(second.err.find(std::to_string(kBoards) + " " + kMarkedNote), std::string::npos)
        << second.err;
    EXPECT_EQ(CheckBoards(kdb_, {"boards-1", "boards-2"}), static_cast<size_t>(2 * kBoards));
    EXPECT_EQ(Kdbtool({"audit", kdb_}), 0);
}

TEST_F(RestoredKeyFile, CopyWrittenOverTheFileDuringARunLosesNoMark) {
    // Vendor storage: each job waits for its board's reboot, so the copy lands mid-run.
    const pid_t pid = Start(Station(kdb_, "boards-1", kBoards, 1));
    ASSERT_GT(pid, 0);
    const bool reserved = WaitForReservation();
    Restore();
    const integrity::StationRun first = Finish(pid);
    ASSERT_TRUE(reserved) << first.err;
    // Whatever the first run noticed, the next one on new boards gives none of its keys again.
    const integrity::StationRun second = Run(Station(kdb_, "boards-2", kBoards, 0));
    EXPECT_EQ(second.exitCode, 0) << second.err;
    EXPECT_NE(second.err.find(kMarkedNote), std::string::npos) << second.err;
    EXPECT_GE(CheckBoards(kdb_, {"boards-1", "boards-2"}), static_cast<size_t>(kBoards));
    EXPECT_EQ(Kdbtool({"audit", kdb_}), 0);
}

TEST_F(RestoredKeyFile, RestoreAfterACrashWithKeysInDoubtStallsNothing) {
    const pid_t pid = Start(Station(kdb_, "boards-1", kBoards, 1));
    ASSERT_GT(pid, 0);
    const bool reserved = WaitForReservation();
    ::kill(pid, SIGKILL);
    Finish(pid);
    ASSERT_TRUE(reserved);
    Restore();
    // Twice as many boards as the crashed run had: every job takes a key.
    const integrity::StationRun second = Run(Station(kdb_, "boards-2", 2 * kBoards, 0));
    EXPECT_EQ(second.exitCode, 0) << second.err;
    EXPECT_NE(second.err.find(kMarkedNote), std::string::npos) << second.err;
    EXPECT_NE(second.out.find("success 00016 fail 00000"), std::string::npos) << second.out;
    EXPECT_GE(CheckBoards(kdb_, {"boards-1", "boards-2"}), static_cast<size_t>(2 * kBoards));
    EXPECT_EQ(Kdbtool({"audit", kdb_}), 0);
}
