// Handing out keys, giving them back, and recording them in the header on disk.
#include <gtest/gtest.h>

#include <cstring>
#include <iterator>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <utility>

#include "keydb/Crc32.h"
#include "keydb/KeyFile.h"
#include "keydb/KeyFileFormat.h"
#include "keydb/KeySource.h"
#include "keydb/KeyState.h"
#include "tests/keydb/KeyDbTestSupport.h"

using keydbtest::PatternBytes;
using keydbtest::ReadBytes;
using keydbtest::RunKdbtool;
using keydbtest::TempDir;
using keydbtest::WriteBytes;

namespace {

class KeyAllocation : public ::testing::Test {
  protected:
    void Create(std::vector<std::string> args) {
        args.insert(args.begin(), "create");
        args.push_back(path_);
        const keydbtest::ProgramResult r = RunKdbtool(args);
        ASSERT_EQ(r.exitCode, 0) << r.err;
    }

    // Creates a file whose keys are known: key i is keys_[i * size ...].
    void CreateWithKeys(uint32_t count, uint32_t size, const std::string& used = "",
                        bool shared = false) {
        keys_ = PatternBytes(size_t{shared ? 1 : count} * size, count);
        const std::string data = dir_.File("keys.bin");
        WriteBytes(data, keys_);
        std::vector<std::string> args{"--keys",     std::to_string(count),
                                      "--key-size", std::to_string(size),
                                      "--key-data", data};
        if (!used.empty()) {
            args.insert(args.end(), {"--used", used});
        }
        if (shared) {
            args.push_back("--shared");
        }
        Create(args);
    }

    std::vector<uint8_t> Header() {
        const std::vector<uint8_t> image = ReadBytes(path_);
        return std::vector<uint8_t>(image.begin(), image.begin() + kdb::LoadLe16(&image[4]));
    }

    TempDir dir_;
    std::string path_ = dir_.File("keys.kdb");
    std::vector<uint8_t> keys_;
};

int32_t Take(CKeyFile& file) {
    int32_t index = -1;
    KeyCopy key;
    return file.GetKey(&index, &key) ? index : -1;
}

}  // namespace

TEST_F(KeyAllocation, HandsOutTheOnlyUnusedKeyThenRunsDry) {
    CreateWithKeys(10, 16, "0-2,4-9");
    CKeyFile file(path_);
    ASSERT_TRUE(file.IsValid()) << file.GetError();
    EXPECT_EQ(file.GetUnusedCount(), 1);
    int32_t index = -1;
    KeyCopy key;
    ASSERT_TRUE(file.GetKey(&index, &key));
    EXPECT_EQ(index, 3);
    ASSERT_EQ(key.size(), 16u);
    EXPECT_EQ(0, std::memcmp(key.data(), keys_.data() + 3 * 16, 16));
    EXPECT_EQ(file.GetUnusedCount(), 0);
    EXPECT_FALSE(file.GetKey(&index, &key));
}

TEST_F(KeyAllocation, SkipsFullBytesAndTakesTheLowestClearBit) {
    CreateWithKeys(100, 4, "0-14,17");  // byte 0 = 0xFF, byte 1 = 0x7F, byte 2 = 0x02
    CKeyFile file(path_);
    ASSERT_TRUE(file.IsValid()) << file.GetError();
    EXPECT_EQ(Take(file), 15);
    EXPECT_EQ(Take(file), 16);
    EXPECT_EQ(Take(file), 18);
}

TEST_F(KeyAllocation, CountsAndBitsDisagreeingDoesNotHandOutUsedKeys) {
    CreateWithKeys(12, 4, "0-11");
    std::vector<uint8_t> image = ReadBytes(path_);
    kdb::StoreLe32(&image[18], 5);  // claims 5 unused, the bitmap says none
    keydbtest::Reseal(&image);
    WriteBytes(path_, image);
    CKeyFile file(path_);
    ASSERT_TRUE(file.IsValid()) << file.GetError();
    EXPECT_EQ(Take(file), -1);
}

TEST_F(KeyAllocation, ReleasedKeyIsOfferedAgainFirst) {
    CreateWithKeys(20, 8);
    CKeyFile file(path_);
    ASSERT_TRUE(file.IsValid());
    EXPECT_EQ(Take(file), 0);
    EXPECT_EQ(Take(file), 1);
    EXPECT_EQ(Take(file), 2);
    EXPECT_EQ(file.GetUnusedCount(), 17);
    file.ReleaseKey(1);
    EXPECT_EQ(file.GetUnusedCount(), 18);
    EXPECT_EQ(Take(file), 1);
    EXPECT_EQ(Take(file), 3);
}

TEST_F(KeyAllocation, KeyReleasedFarBehindTheSearchIsFoundAgain) {
    // Taking 150 keys moves the search past many full bitmap words; a key given back in the
    // first byte must still be the next one handed out.
    CreateWithKeys(200, 4);
    CKeyFile file(path_);
    ASSERT_TRUE(file.IsValid());
    for (int i = 0; i < 150; ++i) {
        ASSERT_EQ(Take(file), i);
    }
    file.ReleaseKey(5);
    file.ReleaseKey(77);
    EXPECT_EQ(Take(file), 5);
    EXPECT_EQ(Take(file), 77);
    EXPECT_EQ(Take(file), 150);
}

// The life of a key: every state and every event against one table.
TEST(KeyStates, EveryStateAndEventFollowsTheTable) {
    using S = KeyState;
    using E = KeyEvent;
    const S states[] = {S::kFree,  S::kTaken,    S::kReserved, S::kDelivered,
                        S::kSpent, S::kReturned, S::kInDoubt,  S::kExported};
    const E events[] = {E::kTake, E::kReserve, E::kDeliver, E::kSpend, E::kReturn, E::kExport};
    // The only moves there are; anything else is refused.
    const std::map<std::pair<S, E>, S> allowed = {
        {{S::kFree, E::kTake}, S::kTaken},
        {{S::kReturned, E::kTake}, S::kTaken},
        {{S::kTaken, E::kReserve}, S::kReserved},
        {{S::kTaken, E::kReturn}, S::kReturned},
        {{S::kReserved, E::kDeliver}, S::kDelivered},
        {{S::kReserved, E::kSpend}, S::kSpent},
        {{S::kFree, E::kExport}, S::kExported},
        {{S::kReturned, E::kExport}, S::kExported},
    };
    std::set<std::pair<S, S>> pairs;
    for (const S from : states) {
        for (const E event : events) {
            const std::optional<S> next = NextKeyState(from, event);
            const auto it = allowed.find({from, event});
            SCOPED_TRACE(std::string(KeyStateName(from)) + " + event " +
                         std::to_string(static_cast<int>(event)));
            if (it == allowed.end()) {
                EXPECT_FALSE(next.has_value()) << "to " << KeyStateName(*next);
            } else {
                ASSERT_TRUE(next.has_value());
                EXPECT_EQ(*next, it->second);
                pairs.insert({from, *next});
            }
        }
    }
    // Over every pair of states: a key that may be on a board (reserved, delivered, spent, in
    // doubt), or that was exported, never becomes free, taken or returned again.
    const std::set<S> gone = {S::kReserved, S::kDelivered, S::kSpent, S::kInDoubt, S::kExported};
    for (const S from : gone) {
        for (const S to : {S::kFree, S::kTaken, S::kReturned}) {
            EXPECT_EQ(pairs.count({from, to}), 0u)
                << KeyStateName(from) << " -> " << KeyStateName(to);
        }
    }
    // ... and those are the keys a board may hold.
    for (const S state : states) {
        EXPECT_EQ(KeyMayBeOnBoard(state), gone.count(state) != 0) << KeyStateName(state);
    }
    EXPECT_EQ(pairs.size(), allowed.size());
    std::set<std::string> names;
    for (const S state : states) {
        names.insert(KeyStateName(state));
    }
    EXPECT_EQ(names.size(), std::size(states));
}

// A job's key through the key file as its key source: from every state a job can bring it to,
// each move the source offers goes through exactly when the state table allows it, and leaves
// the key in the table's next state (or where it was).
TEST_F(KeyAllocation, SourceMovesAJobsKeyOnlyAsTheTableAllows) {
    using S = KeyState;
    using E = KeyEvent;
    CreateWithKeys(4, 8);
    const std::vector<uint8_t> image = ReadBytes(path_);
    const std::pair<S, std::vector<E>> paths[] = {
        {S::kFree, {}},
        {S::kTaken, {E::kTake}},
        {S::kReturned, {E::kTake, E::kReturn}},
        {S::kReserved, {E::kTake, E::kReserve}},
        {S::kDelivered, {E::kTake, E::kReserve, E::kDeliver}},
        {S::kSpent, {E::kTake, E::kReserve, E::kSpend}},
    };
    const KeyJobInfo job{1, "1-1", "SN1", "misc"};
    int run = 0;
    for (const auto& [state, path] : paths) {
        for (const E event : {E::kTake, E::kReserve, E::kDeliver, E::kSpend, E::kReturn}) {
            SCOPED_TRACE(std::string(KeyStateName(state)) + ", then " + KeyEventName(event));
            const std::string copy = dir_.File("walk" + std::to_string(run++) + ".kdb");
            WriteBytes(copy, image);
            CKeyFile file(copy);
            ASSERT_TRUE(file.IsValid());
            CKeyFileSource source(&file, copy);
            // The move on key 0; true when the source made it.
            const auto move = [&](E e) {
                switch (e) {
                    case E::kTake: {
                        int32_t index = -1;
                        KeyCopy key;
                        return source.TakeKey(job, &index, &key) && index == 0;
                    }
                    case E::kReserve:
                        return source.ReserveKey(0, job);
                    case E::kDeliver:
                        return source.DeliverKey(0, job);
                    case E::kSpend:
                        return source.SpendKey(0, job, "IDS_WRITE_KEY_ERROR", 5);
                    case E::kReturn:
                        return source.ReturnUnsentKey(0, job);
                    case E::kExport:
                        break;
                }
                return false;
            };
            for (const E step : path) {
                ASSERT_TRUE(move(step)) << KeyEventName(step);
            }
            ASSERT_EQ(file.GetKeyState(0), state);
            const std::optional<S> next = NextKeyState(state, event);
            EXPECT_EQ(move(event), next.has_value());
            EXPECT_EQ(file.GetKeyState(0), next.value_or(state));
            // A refused move breaks nothing: the next key still goes out.
            EXPECT_FALSE(source.IsBroken());
        }
    }
}

TEST_F(KeyAllocation, ReleasingAKeyNotHandedOutChangesNothing) {
    CreateWithKeys(20, 8, "5");
    CKeyFile file(path_);
    ASSERT_TRUE(file.IsValid());
    file.ReleaseKey(5);   // used in an earlier run
    file.ReleaseKey(7);   // never handed out
    file.ReleaseKey(-1);  // out of range
    file.ReleaseKey(20);
    EXPECT_EQ(file.GetUnusedCount(), 19);
    for (int expected : {0, 1, 2, 3, 4, 6, 7}) {
        EXPECT_EQ(Take(file), expected);
    }
    file.ReleaseKey(2);
    file.ReleaseKey(2);  // a second release must not count twice
    EXPECT_EQ(file.GetUnusedCount(), 19 - 7 + 1);
    EXPECT_EQ(Take(file), 2);
    EXPECT_EQ(Take(file), 8);
}

TEST_F(KeyAllocation, RecordedKeyCannotBeReleased) {
    CreateWithKeys(20, 8);
    CKeyFile file(path_);
    ASSERT_TRUE(file.IsValid());
    EXPECT_EQ(Take(file), 0);
    ASSERT_TRUE(file.UpdateKeyFile(0));
    file.ReleaseKey(0);
    EXPECT_EQ(Take(file), 1);
}

TEST_F(KeyAllocation, UpdateSetsTheBitLowersTheCountAndReseals) {
    CreateWithKeys(40, 8, "0-11");
    const std::vector<uint8_t> before = Header();
    {
        CKeyFile file(path_);
        ASSERT_TRUE(file.IsValid());
        EXPECT_EQ(Take(file), 12);
        ASSERT_TRUE(file.UpdateKeyFile(12));
        EXPECT_EQ(file.GetUnusedCount(), 27);
    }
    const std::vector<uint8_t> after = Header();
    const uint32_t h = static_cast<uint32_t>(after.size());
    EXPECT_EQ(after[73], before[73] | 0x10);  // key 12 = bit 4 of byte 73
    EXPECT_EQ(kdb::LoadLe32(&after[18]), kdb::LoadLe32(&before[18]) - 1);
    EXPECT_EQ(kdb::LoadLe32(&after[h - 4]), CalcCrc32(after.data(), h - 4));
    EXPECT_NE(kdb::LoadLe32(&after[h - 4]), kdb::LoadLe32(&before[h - 4]));
    for (size_t i = 0; i < h - 4; ++i) {
        if (i != 73 && (i < 18 || i > 21)) {
            EXPECT_EQ(after[i], before[i]) << "header byte " << i;
        }
    }
    EXPECT_EQ(ReadBytes(path_).size(), h + 40u * 8);

    CKeyFile reloaded(path_);
    ASSERT_TRUE(reloaded.IsValid()) << reloaded.GetError();
    EXPECT_EQ(reloaded.GetUnusedCount(), 27);
    EXPECT_EQ(Take(reloaded), 13);
}

TEST_F(KeyAllocation, KeysHandedOutButNotRecordedAreFreeAfterReload) {
    CreateWithKeys(20, 8);
    {
        CKeyFile file(path_);
        EXPECT_EQ(Take(file), 0);
        EXPECT_EQ(Take(file), 1);
        ASSERT_TRUE(file.UpdateKeyFile(1));
    }
    CKeyFile file(path_);
    EXPECT_EQ(file.GetUnusedCount(), 19);
    EXPECT_EQ(Take(file), 0);
    EXPECT_EQ(Take(file), 2);
}

TEST_F(KeyAllocation, RecordingAnIndexAlreadySetOnDiskStillCountsIt) {
    CreateWithKeys(20, 8, "4");
    {
        CKeyFile file(path_);
        ASSERT_TRUE(file.UpdateKeyFile(4));
    }
    const std::vector<uint8_t> header = Header();
    EXPECT_EQ(header[72], 0x10);
    EXPECT_EQ(kdb::LoadLe32(&header[18]), 18u);
    CKeyFile file(path_);
    EXPECT_TRUE(file.IsValid()) << file.GetError();
}

TEST_F(KeyAllocation, RecordingNeverTakesTheDiskCountBelowZero) {
    CreateWithKeys(3, 8, "0-2");
    {
        CKeyFile file(path_);
        ASSERT_TRUE(file.UpdateKeyFile(1));
    }
    EXPECT_EQ(kdb::LoadLe32(&Header()[18]), 0u);
}

TEST_F(KeyAllocation, UpdateKeepsBitsWrittenToDiskSinceTheLoad) {
    CreateWithKeys(20, 8);
    CKeyFile file(path_);
    ASSERT_TRUE(file.IsValid());
    // Another writer records key 9 in the file after our load.
    std::vector<uint8_t> image = ReadBytes(path_);
    image[73] |= 0x02;
    kdb::StoreLe32(&image[18], 19);
    keydbtest::Reseal(&image);
    WriteBytes(path_, image);

    EXPECT_EQ(Take(file), 0);
    ASSERT_TRUE(file.UpdateKeyFile(0));
    const std::vector<uint8_t> header = Header();
    EXPECT_EQ(header[72], 0x01);
    EXPECT_EQ(header[73], 0x02);
    EXPECT_EQ(kdb::LoadLe32(&header[18]), 18u);
}

TEST_F(KeyAllocation, DamagedHeaderOnDiskIsNotResealed) {
    CreateWithKeys(20, 8);
    CKeyFile file(path_);
    ASSERT_TRUE(file.IsValid());
    std::vector<uint8_t> image = ReadBytes(path_);
    image[30] ^= 0xFF;  // digest byte, CRC left stale
    WriteBytes(path_, image);
    keydbtest::CapturingLogger log;
    CKeyFile logged(path_, &log, KeyFileAccess::VerifyOnly);  // a reader sees it broken
    EXPECT_FALSE(logged.IsValid());
    EXPECT_EQ(Take(file), 0);
    EXPECT_FALSE(file.UpdateKeyFile(0));
    EXPECT_EQ(ReadBytes(path_), image);
}

TEST_F(KeyAllocation, SharedKeyGivesTheSameBytesUnderNewIndices) {
    CreateWithKeys(5, 24, "", true);
    CKeyFile file(path_);
    ASSERT_TRUE(file.IsValid()) << file.GetError();
    for (int32_t expected = 0; expected < 5; ++expected) {
        int32_t index = -1;
        KeyCopy key;
        ASSERT_TRUE(file.GetKey(&index, &key));
        EXPECT_EQ(index, expected);
        ASSERT_EQ(key.size(), 24u);
        EXPECT_EQ(0, std::memcmp(key.data(), keys_.data(), 24));
    }
    EXPECT_EQ(file.GetUnusedCount(), 0);
    EXPECT_EQ(Take(file), -1);
}

TEST_F(KeyAllocation, KeysOf64KiBAndMoreAreCopiedWhole) {
    const uint32_t size = 0x10003;
    CreateWithKeys(3, size);
    CKeyFile file(path_);
    ASSERT_TRUE(file.IsValid()) << file.GetError();
    EXPECT_EQ(file.GetKeySize(), static_cast<int32_t>(size));
    for (int32_t i = 0; i < 3; ++i) {
        int32_t index = -1;
        KeyCopy key;
        ASSERT_TRUE(file.GetKey(&index, &key));
        ASSERT_EQ(index, i);
        ASSERT_EQ(key.size(), size);
        EXPECT_EQ(0, std::memcmp(key.data(), keys_.data() + size_t{size} * i, size));
    }
}

TEST_F(KeyAllocation, UpdateRefusesIndicesOutsideTheFile) {
    CreateWithKeys(10, 8);
    const std::vector<uint8_t> before = ReadBytes(path_);
    CKeyFile file(path_);
    EXPECT_FALSE(file.UpdateKeyFile(-1));
    EXPECT_FALSE(file.UpdateKeyFile(10));
    EXPECT_EQ(ReadBytes(path_), before);
}

TEST(KeyCopyBuffer, MovesOwnershipAndEmptiesOnReset) {
    KeyCopy a;
    EXPECT_TRUE(a.empty());
    EXPECT_FALSE(a.Allocate(0));
    ASSERT_TRUE(a.Allocate(32));
    EXPECT_EQ(a.size(), 32u);
    for (size_t i = 0; i < 32; ++i) {
        EXPECT_EQ(a.data()[i], 0) << "fresh copies start zeroed";
        a.data()[i] = static_cast<uint8_t>(i);
    }
    const uint8_t* bytes = a.data();
    KeyCopy b(std::move(a));
    EXPECT_TRUE(a.empty());
    EXPECT_EQ(a.data(), nullptr);
    EXPECT_EQ(b.data(), bytes);
    KeyCopy c;
    ASSERT_TRUE(c.Allocate(4));
    c = std::move(b);
    EXPECT_EQ(c.size(), 32u);
    EXPECT_EQ(c.data()[31], 31);
    c.Reset();
    EXPECT_TRUE(c.empty());
    EXPECT_EQ(c.data(), nullptr);
}
