// Naming and writing of the RKP data file.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "provision/RkpExport.h"

namespace fs = std::filesystem;

namespace {

const RkpTime kTime{2024, 3, 5, 14, 7, 9};

std::string PathFor(int32_t format, const std::string& folder = "/f/") {
    std::string path;
    EXPECT_TRUE(FormatRkpPath(folder, "SN", format, kTime, &path));
    return path;
}

TEST(RkpFileName, FourPatternsChosenByJsonformat) {
    EXPECT_EQ(PathFor(0), "/f/SN-20240305_140709.json");
    EXPECT_EQ(PathFor(1), "/f/SN-2024-03-05_14-07-09.json");
    EXPECT_EQ(PathFor(2), "/f/SN-2024-03-05_14:07:09.json");
    EXPECT_EQ(PathFor(3), "/f/SN.json");
    EXPECT_EQ(PathFor(-1), "/f/SN.json");
}

TEST(RkpFileName, YearInFullOtherFieldsTwoDigits) {
    std::string path;
    ASSERT_TRUE(FormatRkpPath("", "X", 0, RkpTime{12345, 12, 31, 23, 59, 58}, &path));
    EXPECT_EQ(path, "X-123451231_235958.json");
    ASSERT_TRUE(FormatRkpPath("", "X", 1, RkpTime{987, 1, 2, 0, 0, 0}, &path));
    EXPECT_EQ(path, "X-987-01-02_00-00-00.json");
}

TEST(RkpFolderChoice, SavePathWithOrWithoutTrailingSeparatorGivesOnePath) {
    EXPECT_EQ(RkpFolder("/data/rkp", "/app/"), "/data/rkp/");
    EXPECT_EQ(RkpFolder("/data/rkp/", "/app/"), "/data/rkp/");
    EXPECT_EQ(RkpFolder("C:\\rkp\\", "/app/"), "C:\\rkp\\");
    EXPECT_EQ(RkpFolder("", "/app/"), "/app/");
    EXPECT_EQ(RkpFolder("", "/app"), "/app/");
    EXPECT_EQ(RkpFolder("", ""), "");
}

TEST(RkpFileName, PathsBeyondMaxPathWorkUpToTheLongestWindowsPath) {
    // A folder deeper than MAX_PATH (260) is fine: the file seam opens it in the \\?\ form.
    std::string path;
    EXPECT_TRUE(FormatRkpPath(std::string(300, 'd') + "/", "SN", 3, kTime, &path));
    // "SN.json" is 7 units: the folder fills the rest of the longest path exactly.
    const std::string folder = std::string(rkp::kMaxPathUnits - 8, 'd') + "/";
    EXPECT_TRUE(FormatRkpPath(folder, "SN", 3, kTime, &path));
    EXPECT_EQ(path.size(), rkp::kMaxPathUnits);
    EXPECT_FALSE(FormatRkpPath(folder + "d", "SN", 3, kTime, &path));
    // Counted in UTF-16 units, not bytes: three-byte characters are one unit each.
    std::string wide;
    for (size_t i = 0; i + 8 < rkp::kMaxPathUnits; ++i) {
        wide += "\xe4\xbd\xa0";
    }
    EXPECT_TRUE(FormatRkpPath(wide + "/", "SN", 3, kTime, &path));
    EXPECT_FALSE(FormatRkpPath(wide + "d/", "SN", 3, kTime, &path));
}

class RkpFileWrite : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/ks_rkp_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
    }
    void TearDown() override { fs::remove_all(dir_); }
    std::string Read(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    std::string dir_;
};

TEST_F(RkpFileWrite, DataStoredUnchangedAndExistingFileTruncated) {
    const std::string path = dir_ + "/SN.json";
    {
        std::ofstream old(path, std::ios::binary);
        old << std::string(9000, 'o');
    }
    std::vector<uint8_t> data(5120);
    for (size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<uint8_t>(i);
    }
    const RkpSaveResult r = SaveRkpFile(path, data.data(), data.size());
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.written, 5120);
    EXPECT_EQ(Read(path), std::string(data.begin(), data.end()));
}

TEST_F(RkpFileWrite, NothingToWriteCreatesNothing) {
    const std::string path = dir_ + "/empty.json";
    const uint8_t byte = 0;
    const RkpSaveResult r = SaveRkpFile(path, &byte, 0);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.written, -1);
    EXPECT_FALSE(fs::exists(path));
}

TEST_F(RkpFileWrite, SymbolicLinkAtTheNameIsNotFollowed) {
    const std::string target = dir_ + "/target";
    {
        std::ofstream t(target);
        t << "keep";
    }
    const std::string link = dir_ + "/SN.json";
    ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
    const uint8_t data[3] = {1, 2, 3};
    const RkpSaveResult r = SaveRkpFile(link, data, sizeof data);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.written, -1);
    EXPECT_EQ(Read(target), "keep");
}

TEST_F(RkpFileWrite, FifoOrFolderAtTheNameIsRefusedWithoutBlocking) {
    const std::string fifo = dir_ + "/fifo.json";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const uint8_t data[3] = {1, 2, 3};
    EXPECT_EQ(SaveRkpFile(fifo, data, sizeof data).written, -1);
    const std::string folder = dir_ + "/folder.json";
    fs::create_directory(folder);
    EXPECT_EQ(SaveRkpFile(folder, data, sizeof data).written, -1);
    EXPECT_EQ(SaveRkpFile(dir_ + "/missing/x.json", data, sizeof data).written, -1);
}

TEST_F(RkpFileWrite, ShortWriteReportsTheBytesActuallyWritten) {
    // A file-size limit makes the kernel stop the write part-way, as a full disk would.
    struct rlimit saved {};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    void (*oldHandler)(int) = signal(SIGXFSZ, SIG_IGN);
    struct rlimit limited = saved;
    limited.rlim_cur = 1000;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
    std::vector<uint8_t> data(5120, 0x5A);
    const RkpSaveResult r = SaveRkpFile(dir_ + "/SN.json", data.data(), data.size());
    setrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, oldHandler);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.written, 1000);
    EXPECT_EQ(fs::file_size(dir_ + "/SN.json"), 1000u);
}

}  // namespace
