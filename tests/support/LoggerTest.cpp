#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "TempDir.h"
#include "support/Logger.h"
#include "support/Paths.h"
#include "support/TextCodec.h"

namespace {

const ks::LocalTime kStart{2024, 3, 7, 9, 5, 3, 7};

std::string Banner() {
    return std::string(CLogger::kBanner);
}

class StationLog : public ::testing::Test {
  protected:
    // Opens a logger writing into dir_ + sub with the fixed time.
    CLogger& OpenLogger(const std::string& folder) {
        logger_ = std::make_unique<CLogger>(folder, "");
        logger_->SetTimeSource([] { return kStart; });
        EXPECT_TRUE(logger_->Open());
        return *logger_;
    }
    std::string Content() const { return TempDir::Read(logger_->FilePath()); }

    TempDir dir_;
    std::unique_ptr<CLogger> logger_;
};

TEST(LogBanner, IsExactlyTheThreeLinesOf158Bytes) {
    const std::string banner = Banner();
    EXPECT_EQ(banner.size(), 158u);
    EXPECT_EQ(banner.rfind("ZR Logger V1.1.1 May  8 2023 log Message\r\nTime       Message\r\n", 0),
              0u);
    EXPECT_EQ(banner.substr(62), std::string(94, '-') + "\r\n");
}

TEST_F(StationLog, FileNamedFromStartTimeWithOneSeparatorAfterTrailingSlash) {
    CLogger& log = OpenLogger(dir_.Path() + "log-2024-03-07/");
    EXPECT_EQ(log.FilePath(), dir_.Path() + "log-2024-03-07/2024-03-07_09.05.03.txt");
    EXPECT_FALSE(std::filesystem::exists(log.FilePath()));  // appears with the first line
    log.Print(0, "Ostrel Running...\r\n");
    EXPECT_EQ(Content(), Banner() + "09:05:03:007 Ostrel Running...\r\n");
}

TEST_F(StationLog, LineEndsAreAddedOnlyWhenTheMessageLacksLf) {
    CLogger& log = OpenLogger(dir_.Path());
    log.Print(0, "<ID %d> Error:%s", 3, "x");
    log.Print(0, "ends with lf\n");
    log.Print(0, "%s", "");
    EXPECT_EQ(Content(), Banner() +
                             "09:05:03:007 <ID 3> Error:x\r\n"
                             "09:05:03:007 ends with lf\n"
                             "09:05:03:007 \r\n");
}

TEST_F(StationLog, ThresholdAndReadinessGateLines) {
    CLogger closed(dir_.Path(), "never.txt");
    closed.Print(0, "dropped");
    EXPECT_FALSE(closed.IsReady());
    EXPECT_FALSE(std::filesystem::exists(dir_.File("never.txt")));

    CLogger& log = OpenLogger(dir_.Path());
    EXPECT_TRUE(log.Open());  // again: true at once
    log.SetLevel(2);
    log.Print(1, "below");
    log.Print(2, "at");
    log.SetLevel(-1);
    log.Print(-1, "all");
    EXPECT_EQ(Content(), Banner() + "09:05:03:007 at\r\n09:05:03:007 all\r\n");
}

TEST_F(StationLog, MissingParentFoldersAreCreatedLevelByLevel) {
    const std::string folder = dir_.Path() + "exe/log/log-2024-03-07";
    CLogger& log = OpenLogger(folder);
    EXPECT_TRUE(std::filesystem::is_directory(folder));
    log.Print(0, "x");
    EXPECT_EQ(Content(), Banner() + "09:05:03:007 x\r\n");
}

TEST_F(StationLog, OpenFailsWhenTheFolderCannotBeCreated) {
    TempDir::Write(dir_.File("file"), "not a folder");
    CLogger log(dir_.File("file/sub"), "");
    EXPECT_FALSE(log.Open());
    EXPECT_FALSE(log.IsReady());
    log.Print(0, "dropped silently");
}

TEST_F(StationLog, DeletedFileIsRecreatedWithBanner) {
    CLogger& log = OpenLogger(dir_.Path());
    log.Print(0, "first");
    ASSERT_TRUE(std::filesystem::remove(log.FilePath()));
    log.Print(0, "second");
    EXPECT_EQ(Content(), Banner() + "09:05:03:007 second\r\n");
}

TEST_F(StationLog, SecondRunInTheSameSecondAppendsWithoutNewBanner) {
    OpenLogger(dir_.Path()).Print(0, "run 1");
    OpenLogger(dir_.Path()).Print(0, "run 2");
    EXPECT_EQ(Content(), Banner() + "09:05:03:007 run 1\r\n09:05:03:007 run 2\r\n");
}

TEST_F(StationLog, OverlongLineIsCutBetweenCharactersAndNextLineHasNoStaleBytes) {
    CLogger& log = OpenLogger(dir_.Path());
    std::string chinese;
    while (chinese.size() < 2 * CLogger::kLineBufferBytes) {
        chinese += "\xE4\xB8\xAD";  // three bytes each, so the cut falls inside one
    }
    log.Print(0, "%s", chinese.c_str());
    log.Print(0, "short");
    const std::string body = Content().substr(Banner().size());
    const std::size_t firstEnd = body.find("\r\n");
    ASSERT_NE(firstEnd, std::string::npos);
    const std::string first = body.substr(0, firstEnd + 2);
    EXPECT_LE(first.size(), CLogger::kLineBufferBytes);
    EXPECT_GT(first.size(), CLogger::kLineBufferBytes - 8);
    EXPECT_TRUE(ks::IsValidUtf8(first));
    EXPECT_EQ(first.rfind("09:05:03:007 \xE4\xB8\xAD", 0), 0u);
    EXPECT_EQ(body.substr(firstEnd + 2), "09:05:03:007 short\r\n");
}

TEST(StationLogPaths, DayFolderAndFileNameFormats) {
    EXPECT_EQ(ks::StationLogFolder("/opt/ks/", kStart), "/opt/ks/log/log-2024-03-07/");
    EXPECT_EQ(ks::StationLogFileName(kStart), "2024-03-07_09.05.03.txt");
    EXPECT_EQ(ks::FolderOf("/a/b/c.ini"), "/a/b/");
    EXPECT_EQ(ks::FolderOf("c.ini"), "");
}

TEST(StationLogPaths, ExecutableFolderIsThisTestProgramsFolder) {
    const std::string folder = ks::ExecutableFolder();
    ASSERT_FALSE(folder.empty());
    EXPECT_EQ(folder.back(), '/');
    const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe");
    EXPECT_EQ(folder, self.parent_path().string() + "/");
}

}  // namespace

// The log is read with the tools of the operator's desktop: in a code page 936 (GB18030) locale a
// UTF-8 log shows its Chinese texts as garbage. Lines follow the locale's character set; a UTF-8
// or plain ASCII locale keeps UTF-8.
TEST(StationLogCharset, LinesAreWrittenInTheLocalesCharacterSet) {
    const std::string key = "\xE5\xAF\x86\xE9\x92\xA5";  // two Chinese characters, UTF-8
    for (const char* charset : {"GB18030", "UTF-8", "ANSI_X3.4-1968"}) {
        SCOPED_TRACE(charset);
        TempDir dir;
        CLogger log(dir.Path(), "log.txt");
        log.SetTimeSource([] { return kStart; });
        log.SetCharset(charset);
        ASSERT_TRUE(log.Open());
        log.Print(0, "<1-3> %s", key.c_str());
        const std::string content = TempDir::Read(log.FilePath());
        const std::string expected = std::string(charset) == "GB18030"
                                         ? ks::Utf8ToGbk("09:05:03:007 <1-3> " + key + "\r\n")
                                         : "09:05:03:007 <1-3> " + key + "\r\n";
        EXPECT_EQ(content, Banner() + expected);
    }
    EXPECT_TRUE(ks::KeepsUtf8("utf8"));
    EXPECT_FALSE(ks::KeepsUtf8("GBK"));
}
