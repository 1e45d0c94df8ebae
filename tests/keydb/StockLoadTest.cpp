// What a station refuses at load rather than fail on later (a folder or journal it cannot write
// or read, a key file it cannot write, each with its own reason), a reservation whose journal
// record cannot be written marking no key, the station's index of every key it handed out, and
// key counts that are powers of two.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "keydb/ForwardingKeyFileIo.h"
#include "keydb/KeyFile.h"
#include "keydb/KeyFileFormat.h"
#include "keydb/StationKeyIndex.h"
#include "tests/keydb/KeyDbTestSupport.h"

using keydbtest::ReadBytes;
using keydbtest::RunKdbtool;
using keydbtest::TempDir;

namespace {

// The load's error for `path`, as a user without privileges gets it: mode bits do not refuse
// root, so a test run as root loads in a child that has dropped to "nobody".
std::string LoadErrorAsUser(const std::string& path) {
    int pipeFds[2];
    if (::pipe(pipeFds) != 0) {
        return "pipe failed";
    }
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(pipeFds[0]);
        if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) {
            ::_exit(2);
        }
        CKeyFile file(path);
        const std::string error = file.IsValid() ? "loaded" : file.GetError();
        if (::write(pipeFds[1], error.data(), error.size()) < 0) {
            ::_exit(3);
        }
        ::_exit(0);
    }
    ::close(pipeFds[1]);
    std::string text;
    char buffer[512];
    for (ssize_t n; (n = ::read(pipeFds[0], buffer, sizeof buffer)) > 0;) {
        text.append(buffer, static_cast<size_t>(n));
    }
    ::close(pipeFds[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    return text;
}

// Appends to the journal fail (a disk that filled up after the load).
class JournalFullIo final : public CForwardingKeyFileIo {
  public:
    using CForwardingKeyFileIo::CForwardingKeyFileIo;
    bool CompanionAppend(KeyFileCompanion, const uint8_t*, size_t) override { return false; }
    int LastError() const override { return ENOSPC; }
};

bool UsedOnDisk(const std::string& path, uint32_t index) {
    const std::vector<uint8_t> image = ReadBytes(path);
    return (image[kdb::kOffBitmap + index / 8] >> (index % 8) & 1) != 0;
}

}  // namespace

TEST(StockLoad, WhatWouldFailLaterIsRefusedAtLoadWithItsTrueReason) {
    TempDir dir;
    ::chmod(dir.Path().c_str(), 0777);
    const std::string folder = dir.File("line");
    ASSERT_EQ(::mkdir(folder.c_str(), 0777), 0);
    const std::string path = folder + "/keys.kdb";
    ASSERT_EQ(RunKdbtool({"create", "--keys", "16", "--key-size", "16", path}).exitCode, 0);
    ::chmod(path.c_str(), 0666);
    const std::vector<uint8_t> original = ReadBytes(path);
    const std::string journal = path + ".journal.jsonl";

    // A folder that cannot take the journal.
    ::chmod(folder.c_str(), 0555);
    std::string error = LoadErrorAsUser(path);
    EXPECT_NE(error.find("journal " + journal + " cannot be written"), std::string::npos) << error;
    ::chmod(folder.c_str(), 0777);
    // A journal that cannot be written, or cannot be read.
    for (const auto& [mode, what] :
         {std::pair<mode_t, const char*>{0444, "written"}, {0222, "read"}}) {
        SCOPED_TRACE(mode);
        keydbtest::WriteBytes(journal, {});
        ::chmod(journal.c_str(), mode);
        error = LoadErrorAsUser(path);
        EXPECT_NE(error.find("journal " + journal + " cannot be " + what), std::string::npos)
            << error;
        ::unlink(journal.c_str());
    }
    // A key file that cannot be written, in a folder that can: said of the file, not the folder.
    ::chmod(path.c_str(), 0444);
    error = LoadErrorAsUser(path);
    EXPECT_NE(error.find("key file " + path + " cannot be written"), std::string::npos) << error;
    ::chmod(path.c_str(), 0666);
    EXPECT_EQ(LoadErrorAsUser(path), "loaded");
    // None of the refused loads touched the file.
    EXPECT_EQ(ReadBytes(path), original);
}

TEST(StockLoad, AReservationWhoseJournalRecordCannotBeWrittenMarksNoKey) {
    TempDir dir;
    const std::string path = dir.File("keys.kdb");
    ASSERT_EQ(RunKdbtool({"create", "--keys", "16", "--key-size", "16", path}).exitCode, 0);
    KeyFileOpenResult opened = OpenKeyFileIo(path, KeyFileAccess::Station);
    ASSERT_EQ(opened.status, KeyFileOpenStatus::Ok);
    CKeyFile file(std::make_unique<JournalFullIo>(std::move(opened.io)), path, nullptr,
                  KeyFileAccess::Station);
    ASSERT_TRUE(file.IsValid()) << file.GetError();
    int32_t index = -1;
    KeyCopy key;
    ASSERT_TRUE(file.GetKey(&index, &key));
    EXPECT_FALSE(file.ReserveKey(index, KeyJobInfo{1, "1-1", "SN1", "misc"}));
    EXPECT_TRUE(file.IsBroken());
    EXPECT_NE(file.GetBrokenReason().find("journal could not be written"), std::string::npos)
        << file.GetBrokenReason();
    EXPECT_FALSE(UsedOnDisk(path, static_cast<uint32_t>(index)));
    EXPECT_FALSE(file.GetKey(&index, &key));
}

// Key counts that are powers of two fill a table sized to the count exactly: every key reserved,
// the used-key guard still answers for keys of the file and for bytes that are none.
TEST(StockLoad, PowerOfTwoKeyCountsAreGuardedToTheLastKey) {
    for (const int count : {1, 2, 64, 1024}) {
        SCOPED_TRACE(count);
        TempDir dir;
        const std::string path = dir.File("keys.kdb");
        ASSERT_EQ(RunKdbtool({"create", "--keys", std::to_string(count), "--key-size", "32", path})
                      .exitCode,
                  0);
        CKeyFile file(path);
        ASSERT_TRUE(file.IsValid()) << file.GetError();
        std::vector<uint8_t> last;
        for (int i = 0; i < count; ++i) {
            int32_t index = -1;
            KeyCopy key;
            ASSERT_TRUE(file.GetKey(&index, &key));
            ASSERT_TRUE(file.ReserveKey(index, KeyJobInfo{1, "1-1", "", "misc"}));
            last.assign(key.data(), key.data() + key.size());
        }
        int32_t index = -1;
        KeyCopy key;
        EXPECT_FALSE(file.GetKey(&index, &key));
        EXPECT_TRUE(file.IsUsedKey(last.data(), last.size()));
        const std::vector<uint8_t> none(32, 0xA5);
        EXPECT_FALSE(file.IsUsedKey(none.data(), none.size()));
        EXPECT_EQ(RunKdbtool({"audit", path}).exitCode, 0);
    }
}

// The station's index of what it handed out: kept across restarts, a line cut by a crash left
// out, keys of several sizes, serial numbers; digests only, never a key's bytes.
TEST(StockLoad, StationKeyIndexKnowsEveryKeyAndSerialAcrossRestartsWithoutKeyBytes) {
    TempDir dir;
    const std::string path = dir.File("delivered-keys.idx");
    const std::vector<uint8_t> small = keydbtest::PatternBytes(16, 1);
    const std::vector<uint8_t> large = keydbtest::PatternBytes(128, 2);
    {
        CStationKeyIndex index;
        std::string error;
        ASSERT_TRUE(index.Open(path, &error)) << error;
        ASSERT_TRUE(index.Record(small.data(), small.size(), "SN-A"));
        ASSERT_TRUE(index.Record(large.data(), large.size(), ""));
    }
    {
        std::FILE* f = std::fopen(path.c_str(), "ab");
        std::fputs("k 16 0123", f);  // a crash in the middle of a line
        std::fclose(f);
    }
    CStationKeyIndex index;
    std::string error;
    ASSERT_TRUE(index.Open(path, &error)) << error;
    EXPECT_TRUE(index.HoldsKey(small.data(), small.size()));
    EXPECT_TRUE(index.HoldsKey(large.data(), large.size()));
    EXPECT_FALSE(index.HoldsKey(large.data(), small.size()));
    EXPECT_EQ(index.KeySizes(), (std::set<size_t>{16, 128}));
    EXPECT_TRUE(index.ServedSerial("SN-A"));
    EXPECT_FALSE(index.ServedSerial("SN-B"));
    const std::vector<uint8_t> other = keydbtest::PatternBytes(16, 3);
    ASSERT_TRUE(index.Record(other.data(), other.size(), "SN-B"));
    CStationKeyIndex again;
    ASSERT_TRUE(again.Open(path, &error)) << error;
    EXPECT_TRUE(again.HoldsKey(other.data(), other.size()));
    EXPECT_TRUE(again.ServedSerial("SN-B"));
    const std::vector<uint8_t> text = ReadBytes(path);
    for (const auto* key : {&small, &large, &other}) {
        EXPECT_EQ(std::search(text.begin(), text.end(), key->begin(), key->begin() + 8),
                  text.end());
    }
}
