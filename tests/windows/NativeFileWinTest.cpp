// The Windows side of the file seam, for real under Wine: the second-station guard, the durable
// replace, appends, folders and names outside ASCII, and the code pages.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "keydb/KeyFile.h"
#include "keydb/KeyFileIo.h"
#include "keydb/KeyFileWriter.h"
#include "support/FileSystem.h"
#include "support/NativeFile.h"
#include "support/Paths.h"
#include "support/TextCodec.h"
#include "support/WideText.h"

namespace {

// A scratch folder in the prefix's temporary folder, its name outside ASCII.
class Scratch {
  public:
    Scratch() {
        wchar_t base[MAX_PATH + 1] = {};
        const DWORD n = ::GetTempPathW(MAX_PATH + 1, base);
        path_ = ks::Utf8FromWide(std::wstring_view(base, n)) + "ks-win-\xE6\xB5\x8B\xE8\xAF\x95-" +
                std::to_string(::GetCurrentProcessId()) + "-" + std::to_string(::GetTickCount64());
        EXPECT_TRUE(ks::CreateFolderChain(path_));
    }
    ~Scratch() {
        std::error_code ec;
        std::filesystem::remove_all(std::filesystem::path(ks::WidePath(path_)), ec);
    }
    std::string File(const std::string& name) const { return path_ + "\\" + name; }
    // The names in the folder, UTF-8.
    std::vector<std::string> Names() const {
        std::vector<std::string> names;
        for (const auto& entry :
             std::filesystem::directory_iterator(std::filesystem::path(ks::WidePath(path_)))) {
            names.push_back(ks::Utf8FromWide(entry.path().filename().wstring()));
        }
        return names;
    }
    const std::string& Path() const { return path_; }

  private:
    std::string path_;
};

std::string Read(const std::string& path) {
    std::string bytes;
    EXPECT_EQ(ks::ReadWholeFile(path, 1 << 20, bytes), ks::ReadStatus::Ok) << path;
    return bytes;
}

TEST(WindowsFiles, OneStationPerKeyFileWhileToolsStillReadIt) {
    Scratch dir;
    const std::string path = dir.File("keys.kdb");
    ASSERT_TRUE(ks::ReplaceFileAtomically(path, std::string(4096, 'k')));

    KeyFileOpenResult first = OpenKeyFileIo(path, KeyFileAccess::Station);
    ASSERT_EQ(first.status, KeyFileOpenStatus::Ok);

    // A second station, in this process as in another, is refused: the file is in use.
    KeyFileOpenResult second = OpenKeyFileIo(path, KeyFileAccess::Station);
    EXPECT_EQ(second.status, KeyFileOpenStatus::InUse);
    EXPECT_EQ(second.io, nullptr);

    // The lock never stops a reader: a tool verifying the file reads every byte.
    KeyFileOpenResult reader = OpenKeyFileIo(path, KeyFileAccess::VerifyOnly);
    ASSERT_EQ(reader.status, KeyFileOpenStatus::Ok);
    std::vector<uint8_t> bytes(4096);
    EXPECT_EQ(reader.io->ReadAt(0, bytes.data(), bytes.size()), 4096);
    EXPECT_EQ(bytes[4095], 'k');
    EXPECT_EQ(reader.io->Size(), 4096);

    // The station writes and flushes in place; the reader sees it.
    const uint8_t patch[3] = {'n', 'e', 'w'};
    EXPECT_EQ(first.io->WriteAt(100, patch, 3), 3);
    EXPECT_TRUE(first.io->Sync());
    EXPECT_EQ(reader.io->ReadAt(100, bytes.data(), 3), 3);
    EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + 3), "new");

    // The journal beside it is created, appended and flushed.
    const std::string line = "{\"event\":\"loaded\"}\n";
    ASSERT_TRUE(first.io->CompanionAppend(
        KeyFileCompanion::kJournal, reinterpret_cast<const uint8_t*>(line.data()), line.size()));
    ASSERT_TRUE(first.io->CompanionAppend(
        KeyFileCompanion::kJournal, reinterpret_cast<const uint8_t*>(line.data()), line.size()));
    EXPECT_EQ(Read(CompanionPath(path, KeyFileCompanion::kJournal)), line + line);

    // The header copy is replaced, cut to its new length, and cleared.
    const std::string copy = "header-copy";
    ASSERT_TRUE(first.io->CompanionReplace(
        KeyFileCompanion::kHeaderCopy, reinterpret_cast<const uint8_t*>(copy.data()), copy.size()));
    ASSERT_TRUE(first.io->CompanionReplace(KeyFileCompanion::kHeaderCopy,
                                           reinterpret_cast<const uint8_t*>("hc"), 2));
    EXPECT_EQ(Read(CompanionPath(path, KeyFileCompanion::kHeaderCopy)), "hc");
    EXPECT_TRUE(first.io->CompanionClear(KeyFileCompanion::kHeaderCopy));
    EXPECT_EQ(Read(CompanionPath(path, KeyFileCompanion::kHeaderCopy)), "");

    // A companion read of a file that is not there is empty, not an error.
    uint8_t none[4];
    EXPECT_EQ(reader.io->CompanionReadAt(KeyFileCompanion::kHeaderCopy, 0, none, 4), 0);

    // Once the first station lets go, the next one gets the file.
    first.io.reset();
    KeyFileOpenResult third = OpenKeyFileIo(path, KeyFileAccess::Station);
    EXPECT_EQ(third.status, KeyFileOpenStatus::Ok);

    // A read-only opener may not write the companions.
    EXPECT_FALSE(reader.io->CompanionAppend(KeyFileCompanion::kJournal,
                                            reinterpret_cast<const uint8_t*>("x"), 1));
}

TEST(WindowsFiles, ReplaceLeavesTheOldOrTheNewFileAndNoTemporaries) {
    Scratch dir;
    const std::string path = dir.File("\xE9\x85\x8D\xE7\xBD\xAE.ini");  // a Chinese name
    std::string none;
    EXPECT_EQ(ks::ReadWholeFile(path, 100, none), ks::ReadStatus::NotFound);
    ASSERT_TRUE(ks::ReplaceFileAtomically(path, "first"));
    ASSERT_TRUE(ks::ReplaceFileAtomically(path, "second, longer"));
    EXPECT_EQ(Read(path), "second, longer");
    ASSERT_TRUE(ks::ReplaceFileContents(path, "third"));
    EXPECT_EQ(Read(path), "third");
    // Only the file itself is left: every temporary was renamed or removed.
    EXPECT_EQ(dir.Names(), std::vector<std::string>{"\xE9\x85\x8D\xE7\xBD\xAE.ini"});

    // A file larger than asked for is refused whole.
    std::string out = "stale";
    EXPECT_EQ(ks::ReadWholeFile(path, 4, out), ks::ReadStatus::TooLarge);
    EXPECT_TRUE(out.empty());
    // A folder is no file.
    EXPECT_EQ(ks::ReadWholeFile(dir.Path(), 100, out), ks::ReadStatus::Unreadable);
}

TEST(WindowsFiles, AppendWritesTheHeaderOnlyIntoANewFile) {
    Scratch dir;
    const std::string log = dir.File("log\\log-2026-01-02\\run.txt");
    ASSERT_TRUE(ks::CreateFolderChain(ks::WithoutTrailingSeparator(ks::FolderOf(log))));
    EXPECT_TRUE(ks::FolderExists(dir.Path() + "/log/log-2026-01-02"));  // either separator
    EXPECT_EQ(ks::AppendToFile(log, "HEADER\r\n", "one\r\n"), ks::AppendStatus::Appended);
    EXPECT_EQ(ks::AppendToFile(log, "HEADER\r\n", "two\r\n"), ks::AppendStatus::Appended);
    EXPECT_EQ(Read(log), "HEADER\r\none\r\ntwo\r\n");
    EXPECT_EQ(ks::AppendToFile(dir.File("no\\such\\folder.txt"), "", "x"),
              ks::AppendStatus::OpenFailed);
}

TEST(WindowsFiles, RenamesReplaceOrRefuseAndRemovalIsIdempotent) {
    Scratch dir;
    ASSERT_TRUE(ks::ReplaceFileAtomically(dir.File("a"), "A"));
    ASSERT_TRUE(ks::ReplaceFileAtomically(dir.File("b"), "B"));
    bool exists = false;
    EXPECT_FALSE(ks::RenameNoReplace(dir.File("a"), dir.File("b"), &exists));
    EXPECT_TRUE(exists);
    EXPECT_EQ(Read(dir.File("b")), "B");
    EXPECT_TRUE(ks::RenameReplacing(dir.File("a"), dir.File("b")));
    EXPECT_EQ(Read(dir.File("b")), "A");
    EXPECT_TRUE(ks::RemoveFile(dir.File("b")));
    EXPECT_TRUE(ks::RemoveFile(dir.File("b")));  // already gone
    ks::NativeFile unique;
    const std::string made = ks::CreateUniqueFile(dir.File("tmp."), &unique);
    ASSERT_FALSE(made.empty());
    EXPECT_EQ(made.rfind(dir.File("tmp."), 0), 0u);
    EXPECT_TRUE(unique.WriteAll("x", 1));
    EXPECT_TRUE(unique.IsRegularFile());
    EXPECT_EQ(unique.Size(), 1);
}

TEST(WindowsText, CodePagesGoThroughTheSystemTables) {
    // "中文" in code page 936 and back.
    const std::string chinese = "\xE4\xB8\xAD\xE6\x96\x87";
    EXPECT_EQ(ks::Utf8ToGbk(chinese), "\xD6\xD0\xCE\xC4");
    EXPECT_EQ(ks::GbkToUtf8(std::string("\xD6\xD0\xCE\xC4")), chinese);
    // A character code page 936 lacks becomes '?'.
    EXPECT_EQ(ks::Utf8ToGbk("a\xF0\x9F\x98\x80"
                            "b"),
              "a?b");

    // The station log's code page: the system's ANSI one.
    const std::string acp = ks::EnvironmentCharset();
    EXPECT_EQ(acp,
              ::GetACP() == CP_UTF8 ? std::string("UTF-8") : "CP" + std::to_string(::GetACP()));
    std::string out;
    ASSERT_TRUE(ks::Utf8ToCharset("caf\xC3\xA9", "CP1252", &out));
    EXPECT_EQ(out, "caf\xE9");
    ASSERT_TRUE(ks::Utf8ToCharset(chinese + ".", "CP1252", &out));
    EXPECT_EQ(out,
              "?"
              "?.");
    EXPECT_FALSE(ks::Utf8ToCharset("x", "CP0", &out));
    EXPECT_FALSE(ks::Utf8ToCharset("x", "KOI8-R", &out));
    EXPECT_FALSE(ks::Utf8ToCharset("bad \xFF", "CP1252", &out));
}

TEST(WindowsPaths, TheExecutableFolderEndsInABackslashAndHoldsThisProgram) {
    const std::string folder = ks::ExecutableFolder();
    ASSERT_FALSE(folder.empty());
    EXPECT_EQ(folder.back(), '\\');
    EXPECT_TRUE(ks::FolderExists(folder));
    wchar_t self[MAX_PATH] = {};
    const DWORD n = ::GetModuleFileNameW(nullptr, self, MAX_PATH);
    EXPECT_EQ(ks::FolderOf(ks::Utf8FromWide(std::wstring_view(self, n))), folder);
    EXPECT_EQ(ks::FolderOf("C:\\a/b\\c.ini"), "C:\\a/b\\");
    EXPECT_EQ(ks::FolderOf("c.ini"), "");
    EXPECT_FALSE(ks::HostName().empty());
}

}  // namespace

// Paths beyond MAX_PATH: WidePath gives them the \\?\ form (absolute, no '.' or '..' left), and
// the seam creates, replaces, renames and reads files and folders there. Wine accepts long paths
// without the prefix too, so the form itself is checked here.
TEST(WindowsPaths, PathsBeyondMaxPathTakeTheVerbatimForm) {
    EXPECT_EQ(ks::WidePath("C:/short/name.kdb"), L"C:\\short\\name.kdb");
    const std::string segment = "\xE5\xBE\x88\xE9\x95\xBF\xE7\x9A\x84 folder 0123456789 abcdefghij";
    std::string tail;
    for (int i = 0; i < 8; ++i) {
        tail += "\\" + segment;
    }
    const std::wstring longWide = ks::WidePath("C:\\a\\.\\b\\..\\c" + tail);
    EXPECT_EQ(longWide.rfind(L"\\\\?\\C:\\a\\c\\", 0), 0u) << ks::Utf8FromWide(longWide);
    EXPECT_EQ(longWide.find(L"\\.\\"), std::wstring::npos);
    EXPECT_EQ(ks::WidePath("\\\\server\\share" + tail).rfind(L"\\\\?\\UNC\\server\\share\\", 0),
              0u);
    const std::wstring verbatim = ks::WidePath("\\\\?\\C:\\x" + tail);
    EXPECT_EQ(verbatim.rfind(L"\\\\?\\C:\\x\\", 0), 0u);
    EXPECT_EQ(verbatim.find(L"\\\\?\\", 1), std::wstring::npos);  // never prefixed twice

    Scratch dir;
    const std::string folder = dir.Path() + tail;
    ASSERT_GT(ks::WideFromUtf8(folder).size(), 300u);
    ASSERT_TRUE(ks::CreateFolderChain(folder));
    EXPECT_TRUE(ks::FolderExists(folder));
    const std::string file = folder + "\\\xE5\xAF\x86\xE9\x92\xA5 keys.kdb";
    ASSERT_TRUE(ks::ReplaceFileAtomically(file, "first"));
    ASSERT_TRUE(ks::ReplaceFileAtomically(file, "second"));
    EXPECT_EQ(Read(file), "second");
    ASSERT_TRUE(ks::RenameReplacing(file, file + ".moved"));
    EXPECT_EQ(Read(file + ".moved"), "second");
    EXPECT_TRUE(ks::RemoveFile(file + ".moved"));
    // Relative long paths are made absolute against the current folder.
    const std::wstring relative = ks::WidePath("rel" + tail);
    EXPECT_EQ(relative.rfind(L"\\\\?\\", 0), 0u);
    EXPECT_NE(relative.find(L"\\rel\\"), std::wstring::npos);
}

// The key file a station holds: tools still read it, but nobody writes, replaces, renames or
// deletes it until the station lets go; a second station is told the file is in use.
TEST(WindowsFiles, TheKeyFileAStationHoldsIsReadOnlyToEveryoneElse) {
    Scratch dir;
    const std::string path = dir.File("\xE5\xAF\x86\xE9\x92\xA5.kdb");
    ASSERT_TRUE(ks::ReplaceFileAtomically(path, std::string(512, 'k')));
    ASSERT_TRUE(ks::ReplaceFileAtomically(dir.File("other.kdb"), "other"));
    KeyFileOpenResult station = OpenKeyFileIo(path, KeyFileAccess::Station);
    ASSERT_EQ(station.status, KeyFileOpenStatus::Ok);

    EXPECT_EQ(Read(path), std::string(512, 'k'));  // a tool reads it
    EXPECT_EQ(OpenKeyFileIo(path, KeyFileAccess::VerifyOnly).status, KeyFileOpenStatus::Ok);
    EXPECT_EQ(OpenKeyFileIo(path, KeyFileAccess::Station).status, KeyFileOpenStatus::InUse);

    ks::NativeFile writer;
    EXPECT_FALSE(writer.Open(path, ks::kFileWrite));
    EXPECT_TRUE(ks::IsSharingError(writer.LastError())) << writer.LastError();
    EXPECT_FALSE(writer.Open(path, ks::kFileWrite | ks::kFileCreate | ks::kFileTruncate));
    EXPECT_FALSE(ks::ReplaceFileAtomically(path, "overwritten"));
    EXPECT_FALSE(ks::RenameReplacing(dir.File("other.kdb"), path));
    EXPECT_FALSE(ks::RenameReplacing(path, dir.File("moved.kdb")));
    EXPECT_FALSE(ks::RemoveFile(path));
    EXPECT_EQ(Read(path), std::string(512, 'k'));

    // The station itself still writes it in place.
    const uint8_t patch[2] = {'o', 'k'};
    EXPECT_EQ(station.io->WriteAt(0, patch, 2), 2);
    EXPECT_TRUE(station.io->Sync());
    station.io.reset();
    EXPECT_TRUE(ks::RenameReplacing(path, dir.File("moved.kdb")));
    EXPECT_EQ(Read(dir.File("moved.kdb")).substr(0, 2), "ok");
}

// What the Linux-only scenarios do to a loaded key file (another program writes its header in
// place, or a backup is copied or renamed over it) is refused on Windows, through the C library
// as through the W calls; once the station lets go, the same writes go through.
TEST(WindowsFiles, ALoadedKeyFileRefusesEveryOtherWriterUntilItIsLetGo) {
    Scratch dir;
    const std::string path = dir.File("\xE5\xAF\x86\xE9\x92\xA5 \xE6\x96\x87\xE4\xBB\xB6.kdb");
    KeyFileLayout layout;
    layout.keyCount = 8;
    layout.keySize = 16;
    std::vector<uint8_t> keys(128);
    for (size_t i = 0; i < keys.size(); ++i) {
        keys[i] = static_cast<uint8_t>(i * 7 + 1);
    }
    std::vector<uint8_t> image;
    std::string error;
    ASSERT_TRUE(BuildKeyFileImage(layout, keys.data(), keys.size(), &image, &error)) << error;
    const std::string bytes(image.begin(), image.end());
    ASSERT_TRUE(ks::ReplaceFileAtomically(path, bytes));
    ASSERT_TRUE(ks::ReplaceFileAtomically(dir.File("backup.kdb"), bytes));
    const std::wstring wide = ks::WidePath(path);
    auto station = std::make_unique<CKeyFile>(path);
    ASSERT_TRUE(station->IsValid()) << station->GetError();

    for (const wchar_t* mode : {L"r+b", L"wb", L"ab"}) {
        FILE* other = ::_wfopen(wide.c_str(), mode);
        EXPECT_EQ(other, nullptr) << "mode " << ks::Utf8FromWide(mode);
        if (other != nullptr) {
            std::fclose(other);
        }
    }
    EXPECT_FALSE(::MoveFileExW(ks::WidePath(dir.File("backup.kdb")).c_str(), wide.c_str(),
                               MOVEFILE_REPLACE_EXISTING));
    EXPECT_FALSE(::CopyFileW(ks::WidePath(dir.File("backup.kdb")).c_str(), wide.c_str(), FALSE));
    EXPECT_FALSE(::MoveFileExW(wide.c_str(), ks::WidePath(dir.File("moved.kdb")).c_str(), 0));
    EXPECT_EQ(Read(path), bytes);
    FILE* reader = ::_wfopen(wide.c_str(), L"rb");  // a tool still reads it
    EXPECT_NE(reader, nullptr);
    if (reader != nullptr) {
        std::fclose(reader);
    }

    station.reset();
    FILE* writer = ::_wfopen(wide.c_str(), L"r+b");
    ASSERT_NE(writer, nullptr);
    std::fclose(writer);
    EXPECT_TRUE(::CopyFileW(ks::WidePath(dir.File("backup.kdb")).c_str(), wide.c_str(), FALSE));
}

// A stock's records are found by what the stock is, not by the path it was loaded through: a hard
// link names the same file (one identity), a second station through it is refused, and an older
// copy put back over the path after a delivery still has that key marked used at the next load.
TEST(WindowsFiles, AHardLinkOrACopyPutBackFindsTheStocksOwnRecords) {
    Scratch dir;
    const std::string path = dir.File("\xE5\xAF\x86\xE9\x92\xA5.kdb");
    const std::string link = dir.File("link \xE9\x93\xBE\xE6\x8E\xA5.kdb");
    const std::string records = dir.File("stocks");
    ASSERT_TRUE(ks::CreateFolderChain(records));
    KeyFileLayout layout;
    layout.keyCount = 8;
    layout.keySize = 16;
    std::vector<uint8_t> keys(128);
    for (size_t i = 0; i < keys.size(); ++i) {
        keys[i] = static_cast<uint8_t>(i * 13 + 5);
    }
    std::vector<uint8_t> image;
    std::string error;
    ASSERT_TRUE(BuildKeyFileImage(layout, keys.data(), keys.size(), &image, &error)) << error;
    const std::string bytes(image.begin(), image.end());
    ASSERT_TRUE(ks::ReplaceFileAtomically(path, bytes));
    ASSERT_TRUE(::CreateHardLinkW(ks::WidePath(link).c_str(), ks::WidePath(path).c_str(), nullptr));
    ks::FileIdentity viaPath, viaLink;
    ASSERT_TRUE(ks::IdentityOfPath(path, &viaPath, nullptr));
    ASSERT_TRUE(ks::IdentityOfPath(link, &viaLink, nullptr));
    EXPECT_EQ(viaPath, viaLink);

    auto station = std::make_unique<CKeyFile>(path, nullptr, KeyFileAccess::Station, records);
    ASSERT_TRUE(station->IsValid()) << station->GetError();
    CKeyFile second(link, nullptr, KeyFileAccess::Station, records);
    EXPECT_FALSE(second.IsValid());
    EXPECT_NE(second.GetError().find("in use by another station"), std::string::npos)
        << second.GetError();

    int32_t index = -1;
    KeyCopy key;
    ASSERT_TRUE(station->GetKey(&index, &key));
    KeyJobInfo job;
    job.slot = 1;
    job.destination = "misc";
    ASSERT_TRUE(station->ReserveKey(index, job));
    ASSERT_TRUE(station->DeliverKey(index, job));
    station.reset();

    // The unmarked original put back over the path (the link keeps the marked file).
    ASSERT_TRUE(ks::ReplaceFileAtomically(path, bytes));
    ASSERT_TRUE(ks::IdentityOfPath(path, &viaPath, nullptr));
    EXPECT_NE(viaPath, viaLink);
    CKeyFile restored(path, nullptr, KeyFileAccess::Station, records);
    ASSERT_TRUE(restored.IsValid()) << restored.GetError();
    EXPECT_EQ(restored.GetUnusedCount(), 7);
    int32_t next = -1;
    ASSERT_TRUE(restored.GetKey(&next, &key));
    EXPECT_NE(next, index);
}
