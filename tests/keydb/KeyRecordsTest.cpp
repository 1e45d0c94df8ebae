// The key file's own records against a file that is not the one the station left: an older copy
// put back beside the journal, a file written over during a run. The journal wins: every key it
// says went out is used, and a station that finds its marks gone hands out nothing more.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "keydb/KeyFile.h"
#include "keydb/KeyFileFormat.h"
#include "tests/keydb/KeyDbTestSupport.h"

using keydbtest::ReadBytes;
using keydbtest::RunKdbtool;
using keydbtest::TempDir;
using keydbtest::WriteBytes;

namespace {

KeyJobInfo Job(int slot, const std::string& serial = std::string()) {
    KeyJobInfo job;
    job.slot = slot;
    job.portLocation = "1-" + std::to_string(slot);
    job.serial = serial;
    job.destination = "vendor";
    return job;
}

// Takes the next key and reserves it; its index, or -1. The key's bytes go to *bytes.
int32_t TakeAndReserve(CKeyFile& file, int slot, std::vector<uint8_t>* bytes = nullptr) {
    int32_t index = -1;
    KeyCopy key;
    if (!file.GetKey(&index, &key)) {
        return -1;
    }
    if (bytes != nullptr) {
        bytes->assign(key.data(), key.data() + key.size());
    }
    return file.ReserveKey(index, Job(slot)) ? index : -1;
}

bool UsedOnDisk(const std::string& path, uint32_t index) {
    const std::vector<uint8_t> image = ReadBytes(path);
    return (image[kdb::kOffBitmap + index / 8] >> (index % 8) & 1) != 0;
}

}  // namespace

// The supplier's original copied back over a used file, its journal beside it (also after a crash
// that left a key in doubt): the load marks on disk, before any key is handed out, every key the
// journal says went out, says so, and hands out the next free key; the used-key guard knows them.
TEST(KeyRecords, OriginalPutBackBesideItsJournalGetsTheJournalsKeysMarkedUsed) {
    TempDir dir;
    const std::string path = dir.File("keys.kdb");
    ASSERT_EQ(RunKdbtool({"create", "--keys", "5000", "--key-size", "16", path}).exitCode, 0);
    const std::vector<uint8_t> original = ReadBytes(path);
    std::vector<uint8_t> delivered, inDoubt;
    {
        CKeyFile file(path);
        ASSERT_TRUE(file.IsValid()) << file.GetError();
        EXPECT_TRUE(file.GetLoadNotes().empty());
        ASSERT_EQ(TakeAndReserve(file, 1, &delivered), 0);
        ASSERT_TRUE(file.DeliverKey(0, Job(1)));
        ASSERT_EQ(TakeAndReserve(file, 2), 1);
        ASSERT_TRUE(file.SpendKey(1, Job(2), "IDS_WRITE_KEY_FAIL", -1));
        ASSERT_EQ(TakeAndReserve(file, 3, &inDoubt), 2);
        int32_t index = -1;
        KeyCopy key;
        ASSERT_TRUE(file.GetKey(&index, &key));
        file.ReturnKey(index, Job(4));  // key 3 never left: it stays free
        // The station dies with key 2 on its way to a board.
    }
    WriteBytes(path, original);
    keydbtest::CapturingLogger log;
    {
        CKeyFile file(path, &log);
        ASSERT_TRUE(file.IsValid()) << file.GetError();
        ASSERT_EQ(file.GetLoadNotes().size(), 1u);
        EXPECT_EQ(file.GetLoadNotes()[0],
                  "3 keys the journal records as used were free in the file: marked used");
        // On disk before any key is handed out.
        for (uint32_t i = 0; i < 3; ++i) {
            EXPECT_TRUE(UsedOnDisk(path, i)) << i;
        }
        EXPECT_FALSE(UsedOnDisk(path, 3));
        EXPECT_EQ(file.GetUnusedCount(), 4997);
        EXPECT_EQ(file.GetInDoubtCount(), 1u);
        EXPECT_TRUE(file.IsUsedKey(delivered.data(), delivered.size()));
        EXPECT_TRUE(file.IsUsedKey(inDoubt.data(), inDoubt.size()));
        // The key in doubt blocks nothing: the next free key is handed out.
        std::vector<uint8_t> next;
        EXPECT_EQ(TakeAndReserve(file, 1, &next), 3);
        EXPECT_NE(next, delivered);
    }
    bool named = false;
    for (const std::string& line : log.lines) {
        named = named || line.find("keys marked used from the journal: 0-2") != std::string::npos;
    }
    EXPECT_TRUE(named);
    // A load of the file as the station left it has nothing to put right.
    CKeyFile again(path);
    ASSERT_TRUE(again.IsValid());
    EXPECT_TRUE(again.GetLoadNotes().empty());
    EXPECT_EQ(RunKdbtool({"audit", path}).exitCode, 0);
}

// The file written over while the station has it (an older copy, the original): the next header
// rewrite finds the marks of this run gone, writes nothing over that file, and the station hands
// out nothing more, saying why.
TEST(KeyRecords, FileWrittenOverDuringARunStopsTheStationWithoutResealingIt) {
    TempDir dir;
    const std::string path = dir.File("keys.kdb");
    for (const char* keys : {"100", "5000"}) {  // a header of one sector, and one of several
        SCOPED_TRACE(std::string(keys) + " keys");
        ASSERT_EQ(
            RunKdbtool({"create", "--force", "--keys", keys, "--key-size", "16", path}).exitCode,
            0);
        const std::vector<uint8_t> original = ReadBytes(path);
        CKeyFile file(path);
        ASSERT_TRUE(file.IsValid()) << file.GetError();
        ASSERT_EQ(TakeAndReserve(file, 1), 0);
        EXPECT_TRUE(file.GetBrokenReason().empty());
        WriteBytes(path, original);
        EXPECT_EQ(TakeAndReserve(file, 2), -1);
        EXPECT_TRUE(file.IsBroken());
        EXPECT_EQ(file.GetBrokenReason(),
                  "the key file was changed while the station was using it");
        int32_t index = -1;
        KeyCopy key;
        EXPECT_FALSE(file.GetKey(&index, &key));
        EXPECT_EQ(ReadBytes(path), original);
    }
    // A file that still holds every mark of this run (and more) is written over as usual.
    CKeyFile file(path);
    ASSERT_TRUE(file.IsValid());
    ASSERT_EQ(TakeAndReserve(file, 1), 1);
    std::vector<uint8_t> image = ReadBytes(path);
    image[kdb::kOffBitmap + 1] |= 0x80;  // key 15 marked by someone else
    keydbtest::Reseal(&image);
    WriteBytes(path, image);
    EXPECT_EQ(TakeAndReserve(file, 2), 2);
    EXPECT_FALSE(file.IsBroken());
    EXPECT_TRUE(UsedOnDisk(path, 15));
}

// The journal is untrusted text (a backup, another station): a host name in it reaches the log
// and the status line only bounded and without control characters.
TEST(KeyRecords, AnotherHostsNameFromTheJournalIsShownBoundedAndPrintable) {
    TempDir dir;
    const std::string path = dir.File("keys.kdb");
    ASSERT_EQ(RunKdbtool({"create", "--keys", "10", "--key-size", "16", path}).exitCode, 0);
    {
        CKeyFile file(path);
        ASSERT_TRUE(file.IsValid());
        file.SetJournalHost("evil\x1b[2J" + std::string(300, 'x'));
        ASSERT_EQ(TakeAndReserve(file, 1), 0);
    }
    CKeyFile file(path);
    ASSERT_TRUE(file.IsValid());
    ASSERT_EQ(file.GetLoadNotes().size(), 1u);
    const std::string& note = file.GetLoadNotes()[0];
    EXPECT_NE(note.find("also loaded on another station (evil?[2Jxxx"), std::string::npos) << note;
    EXPECT_EQ(note.find('\x1b'), std::string::npos);
    EXPECT_LT(note.size(), 300u);
}

// The keys stay on disk and are read when taken: a key area changed after the load (another file
// with the same header copied over, a key edited in place) hands out no key that was not checked,
// and the used-key guard does not answer from changed bytes.
TEST(KeyRecords, KeyAreaChangedAfterTheLoadHandsOutNothingUnchecked) {
    TempDir dir;
    const std::string path = dir.File("keys.kdb");
    ASSERT_EQ(RunKdbtool({"create", "--keys", "100", "--key-size", "32", path}).exitCode, 0);
    CKeyFile file(path);
    ASSERT_TRUE(file.IsValid());
    std::vector<uint8_t> first;
    ASSERT_EQ(TakeAndReserve(file, 1, &first), 0);
    EXPECT_TRUE(file.IsUsedKey(first.data(), first.size()));
    std::vector<uint8_t> image = ReadBytes(path);
    const size_t header = static_cast<size_t>(file.GetHeaderSize());
    image[header + 1 * 32 + 5] ^= 0x40;  // key 1, the next one to be taken
    WriteBytes(path, image);
    int32_t index = -1;
    KeyCopy key;
    EXPECT_FALSE(file.GetKey(&index, &key));
    EXPECT_TRUE(key.empty());
    EXPECT_TRUE(file.IsBroken());
    EXPECT_EQ(file.GetBrokenReason(), "the key file was changed while the station was using it");
    EXPECT_EQ(RunKdbtool({"info", path}).exitCode, 1);  // the digest no longer matches
}
