// The header rewrite against a failing disk, and the station lock on the file.
#include <gtest/gtest.h>

#include <errno.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>

#include "keydb/ForwardingKeyFileIo.h"
#include "keydb/KeyFile.h"
#include "keydb/KeyFileFormat.h"
#include "tests/keydb/KeyDbTestSupport.h"

using keydbtest::CapturingLogger;
using keydbtest::ReadBytes;
using keydbtest::RunKdbtool;
using keydbtest::TempDir;

namespace {

// The real file underneath, with writes, flushes or reads made to fail on demand.
class FaultyIo final : public CForwardingKeyFileIo {
  public:
    explicit FaultyIo(std::unique_ptr<IKeyFileIo> real) : CForwardingKeyFileIo(std::move(real)) {}

    int64_t ReadAt(uint64_t offset, uint8_t* buffer, size_t len) override {
        if (failReads && loaded) {
            error_ = EIO;
            return -1;
        }
        return Real().ReadAt(offset, buffer, len);
    }
    int64_t WriteAt(uint64_t offset, const uint8_t* buffer, size_t len) override {
        ++writes;
        if (failingWrites != 0) {
            if (failingWrites > 0) {
                --failingWrites;
            }
            // The disk is full: the first write lands only partly, the next ones not at all.
            if (shortFirst && len > 1) {
                shortFirst = false;
                return Real().WriteAt(offset, buffer, len / 2);
            }
            error_ = ENOSPC;
            return -1;
        }
        return Real().WriteAt(offset, buffer, len);
    }
    bool Sync() override {
        ++syncs;
        if (failSync) {
            error_ = EIO;
            return false;
        }
        return Real().Sync();
    }
    int LastError() const override {
        return error_ != 0 ? error_ : CForwardingKeyFileIo::LastError();
    }

    bool loaded = false;
    bool failReads = false;
    bool failSync = false;
    int failingWrites = 0;  // writes still to fail; -1 = all
    bool shortFirst = true;
    int writes = 0;
    int syncs = 0;

  private:
    int error_ = 0;
};

class KeyFileDisk : public ::testing::Test {
  protected:
    void SetUp() override {
        const keydbtest::ProgramResult r =
            RunKdbtool({"create", "--keys", "64", "--key-size", "16", "--used", "0-3", path_});
        ASSERT_EQ(r.exitCode, 0) << r.err;
    }

    std::unique_ptr<CKeyFile> Open(FaultyIo** io) {
        KeyFileOpenResult opened = OpenKeyFileIo(path_, KeyFileAccess::Station);
        EXPECT_EQ(opened.status, KeyFileOpenStatus::Ok);
        auto faulty = std::make_unique<FaultyIo>(std::move(opened.io));
        *io = faulty.get();
        auto file =
            std::make_unique<CKeyFile>(std::move(faulty), path_, &log_, KeyFileAccess::Station);
        EXPECT_TRUE(file->IsValid()) << file->GetError();
        (*io)->loaded = true;
        return file;
    }

    TempDir dir_;
    std::string path_ = dir_.File("keys.kdb");
    CapturingLogger log_;
};

int32_t Take(CKeyFile& file) {
    int32_t index = -1;
    KeyCopy key;
    return file.GetKey(&index, &key) ? index : -1;
}

}  // namespace

TEST_F(KeyFileDisk, SuccessfulUpdateIsFlushedBeforeItReportsTrue) {
    FaultyIo* io = nullptr;
    auto file = Open(&io);
    ASSERT_EQ(Take(*file), 4);
    EXPECT_EQ(io->syncs, 0);
    EXPECT_TRUE(file->UpdateKeyFile(4));
    EXPECT_EQ(io->syncs, 1);
    EXPECT_TRUE(log_.lines.empty());
}

TEST_F(KeyFileDisk, ShortWriteIsReportedAndTheOldHeaderPutBack) {
    const std::vector<uint8_t> before = ReadBytes(path_);
    FaultyIo* io = nullptr;
    auto file = Open(&io);
    io->failingWrites = 2;  // the new header half written, then no space; then space again
    ASSERT_EQ(Take(*file), 4);
    EXPECT_FALSE(file->UpdateKeyFile(4));
    ASSERT_FALSE(log_.lines.empty());
    EXPECT_EQ(log_.lines.back(), "Error:UpdateKeyFile-->write file header failed,err=28");
    // Half a new header was written before the disk filled; the file still has to load.
    EXPECT_EQ(ReadBytes(path_), before);
    file.reset();
    CKeyFile reloaded(path_);
    ASSERT_TRUE(reloaded.IsValid()) << reloaded.GetError();
    EXPECT_EQ(reloaded.GetUnusedCount(), 60);
}

TEST_F(KeyFileDisk, ShortWriteThatCannotBeUndoneStillReportsFalse) {
    FaultyIo* io = nullptr;
    auto file = Open(&io);
    io->failingWrites = -1;
    io->shortFirst = false;  // every write fails outright
    ASSERT_EQ(Take(*file), 4);
    EXPECT_FALSE(file->UpdateKeyFile(4));
    EXPECT_EQ(io->syncs, 0);
    EXPECT_EQ(log_.lines.back(), "Error:UpdateKeyFile-->write file header failed,err=28");
}

TEST_F(KeyFileDisk, FailedFlushReportsFalse) {
    FaultyIo* io = nullptr;
    auto file = Open(&io);
    io->failSync = true;
    ASSERT_EQ(Take(*file), 4);
    EXPECT_FALSE(file->UpdateKeyFile(4));
    EXPECT_EQ(log_.lines.back(), "Error:UpdateKeyFile-->flush file header failed,err=5");
}

TEST_F(KeyFileDisk, FailedHeaderReadReportsFalseAndWritesNothing) {
    FaultyIo* io = nullptr;
    auto file = Open(&io);
    ASSERT_EQ(Take(*file), 4);  // the key itself is read from disk when it is taken
    io->failReads = true;
    EXPECT_FALSE(file->UpdateKeyFile(4));
    EXPECT_EQ(io->writes, 0);
    EXPECT_EQ(log_.lines.back(), "Error:UpdateKeyFile-->read file header failed,err=5");
}

TEST_F(KeyFileDisk, SecondStationInTheSameProcessIsRefused) {
    CKeyFile first(path_);
    ASSERT_TRUE(first.IsValid()) << first.GetError();
    CapturingLogger log;
    CKeyFile second(path_, &log);
    EXPECT_FALSE(second.IsValid());
    EXPECT_EQ(second.GetError(),
              "Error:CKeyFile->CKeyFile key file " + path_ + " is in use by another station");
    EXPECT_EQ(log.lines, std::vector<std::string>{second.GetError()});
    int32_t index = -1;
    KeyCopy key;
    EXPECT_FALSE(second.GetKey(&index, &key));
    EXPECT_TRUE(first.GetKey(&index, &key));
}

TEST_F(KeyFileDisk, SecondStationInAnotherProcessIsRefused) {
    CKeyFile first(path_);
    ASSERT_TRUE(first.IsValid()) << first.GetError();
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        CKeyFile second(path_);
        const bool refused =
            !second.IsValid() &&
            second.GetError().find("in use by another station") != std::string::npos;
        _exit(refused ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST_F(KeyFileDisk, ReadersAreNotBlockedByARunningStation) {
    CKeyFile station(path_);
    ASSERT_TRUE(station.IsValid());
    ASSERT_EQ(Take(station), 4);
    ASSERT_TRUE(station.UpdateKeyFile(4));

    CKeyFile reader(path_, nullptr, KeyFileAccess::VerifyOnly);
    ASSERT_TRUE(reader.IsValid()) << reader.GetError();
    EXPECT_EQ(reader.GetUnusedCount(), 59);
    int32_t index = -1;
    KeyCopy key;
    EXPECT_FALSE(reader.GetKey(&index, &key)) << "a reader never hands out keys";
    EXPECT_FALSE(reader.UpdateKeyFile(5));

    const keydbtest::ProgramResult r = RunKdbtool({"info", "--json", path_});
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("\"valid\":true"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\"unusedCount\":59"), std::string::npos) << r.out;
    EXPECT_TRUE(station.UpdateKeyFile(5)) << "the station keeps working after a reader";
}

TEST_F(KeyFileDisk, LockIsReleasedWhenTheStationLetsGo) {
    { CKeyFile first(path_); }
    CKeyFile second(path_);
    EXPECT_TRUE(second.IsValid()) << second.GetError();
}

TEST_F(KeyFileDisk, FileThatFailsToLoadHoldsNoLock) {
    std::vector<uint8_t> image = ReadBytes(path_);
    image.back() ^= 1;
    keydbtest::WriteBytes(path_, image);
    CKeyFile broken(path_);
    ASSERT_FALSE(broken.IsValid());
    const keydbtest::ProgramResult r =
        RunKdbtool({"create", "--force", "--keys", "8", "--key-size", "4", path_});
    EXPECT_EQ(r.exitCode, 0) << r.err;
}

TEST_F(KeyFileDisk, ToolWillNotReplaceAFileAStationHolds) {
    const std::vector<uint8_t> before = ReadBytes(path_);
    CKeyFile station(path_);
    ASSERT_TRUE(station.IsValid());
    const keydbtest::ProgramResult r =
        RunKdbtool({"create", "--force", "--keys", "8", "--key-size", "4", path_});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("in use by a station"), std::string::npos) << r.err;
    EXPECT_EQ(ReadBytes(path_), before);
}
