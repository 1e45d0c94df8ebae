#include <gtest/gtest.h>

#include <filesystem>
#include <mutex>
#include <string>

#include "TempDir.h"
#include "support/DeviceTraceLog.h"
#include "support/TextCodec.h"

namespace {

std::string Utf16(const std::string& utf8) {
    return ks::Utf8ToUtf16Le(utf8);
}

TEST(DeviceTrace, NewDayFileStartsWithByteOrderMarkAndStampsEachLine) {
    TempDir dir;
    std::mutex lock;
    DeviceTraceLog trace(dir.Path(), "scan_", lock);
    ks::LocalTime now{2024, 3, 7, 9, 5, 3, 42};
    trace.SetTimeSource([&now] { return now; });
    ASSERT_TRUE(trace.WriteLine("found 1-3"));
    trace.Report("dev %d \xE4\xB8\xAD", 2);
    const std::string path = dir.File("scan_2024-03-07.txt");
    EXPECT_EQ(
        TempDir::Read(path),
        "\xFF\xFE" + Utf16("09:05:03 042\tfound 1-3\r\n09:05:03 042\tdev 2 \xE4\xB8\xAD\r\n"));
    now.day = 8;
    ASSERT_TRUE(trace.WriteLine("next day"));
    EXPECT_EQ(TempDir::Read(dir.File("scan_2024-03-08.txt")),
              "\xFF\xFE" + Utf16("09:05:03 042\tnext day\r\n"));
}

TEST(DeviceTrace, DisabledOrFolderlessReportWritesNothing) {
    TempDir dir;
    std::mutex lock;
    DeviceTraceLog trace(dir.Path(), "t", lock);
    trace.SetEnabled(false);
    trace.Report("x");
    DeviceTraceLog folderless("", dir.Path() + "u", lock);
    folderless.Report("y");
    EXPECT_TRUE(std::filesystem::is_empty(TempDir::FsPath(dir.Path())));
}

TEST(DeviceTrace, ReportIsCutTo1023Units) {
    TempDir dir;
    std::mutex lock;
    DeviceTraceLog trace(dir.Path(), "t", lock);
    trace.SetTimeSource([] { return ks::LocalTime{2024, 1, 2, 3, 4, 5, 6}; });
    trace.Report("%s", std::string(5000, 'z').c_str());
    EXPECT_EQ(TempDir::Read(dir.File("t2024-01-02.txt")),
              "\xFF\xFE" + Utf16("03:04:05 006\t" + std::string(1023, 'z') + "\r\n"));
}

TEST(DeviceTrace, UnwritableFolderReportsFailure) {
    TempDir dir;
    std::mutex lock;
    DeviceTraceLog trace(dir.File("missing/"), "t", lock);
    EXPECT_FALSE(trace.WriteLine("x"));
}

}  // namespace
