#include "app/PortMapStore.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;

namespace {

class PortMapFileTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() /
               ("ks_portmap_" + std::to_string(::getpid()) + "_" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        path_ = (dir_ / "portmap.ini").string();
    }
    void TearDown() override { fs::remove_all(dir_); }

    std::string FileText() const {
        std::ifstream in(path_, std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    void WriteFileText(const std::string& text) const {
        std::ofstream(path_, std::ios::binary) << text;
    }
    size_t FilesInDir() const {
        return static_cast<size_t>(std::distance(fs::directory_iterator(dir_), {}));
    }

    fs::path dir_;
    std::string path_;
};

}  // namespace

TEST_F(PortMapFileTest, AMissingFileIsAnEmptyGroup) {
    CPortMapFile store(path_);
    std::map<std::string, uint32_t> pairs{{"stale", 1}};
    ASSERT_TRUE(store.ReadAll(&pairs));
    EXPECT_TRUE(pairs.empty());
}

TEST_F(PortMapFileTest, PairsSurviveANewStoreObject) {
    ASSERT_TRUE(CPortMapFile(path_).Write("1-3", 2));
    ASSERT_TRUE(CPortMapFile(path_).Write("1-4.1", 1));
    ASSERT_TRUE(CPortMapFile(path_).Write("1-3", 5));  // replaces

    std::map<std::string, uint32_t> pairs;
    ASSERT_TRUE(CPortMapFile(path_).ReadAll(&pairs));
    EXPECT_EQ(pairs, (std::map<std::string, uint32_t>{{"1-3", 5}, {"1-4.1", 1}}));
    EXPECT_EQ(FileText(), "[UsbMap]\r\n1-3=5\r\n1-4.1=1\r\n");
}

TEST_F(PortMapFileTest, NamesWithIniSpecialCharactersAndCaseRoundTrip) {
    const std::string names[] = {
        "\\\\?\\USB#VID_F00D&PID_1001#6&1A2B#{a5dcbf10-6530-11d2-901f-00c04fb951ed}",
        "a=b",
        "[x]",
        ";comment",
        "#hash",
        " lead",
        "trail ",
        "c:d",
        "line\r\nbreak",
        "ABC",
        "abc",
        "%41",
        "\xe4\xb8\xad"};
    CPortMapFile store(path_);
    uint32_t n = 1;
    for (const auto& name : names) {
        ASSERT_TRUE(store.Write(name, n++)) << name;
    }
    std::map<std::string, uint32_t> pairs;
    ASSERT_TRUE(store.ReadAll(&pairs));
    ASSERT_EQ(pairs.size(), std::size(names));
    n = 1;
    for (const auto& name : names) {
        EXPECT_EQ(pairs[name], n++) << name;
    }
    // Every line of the file is a plain "key=value" line.
    std::istringstream lines(FileText());
    std::string line;
    std::getline(lines, line);
    EXPECT_EQ(line, "[UsbMap]\r");
    while (std::getline(lines, line)) {
        EXPECT_EQ(line.find_first_of("[]; #:"), std::string::npos) << line;
        EXPECT_EQ(std::count(line.begin(), line.end(), '='), 1) << line;
    }
}

TEST_F(PortMapFileTest, LinesOfOtherShapesAreIgnored) {
    WriteFileText(
        "[UsbMap]\n1-3=2\nbad%zz=3\nUPPER=4\n1-5=x\n1-6=-1\n1-7=4294967296\n1-8= 7\n"
        "1-9=4294967295\n[Other]\n2-1=1\n");
    std::map<std::string, uint32_t> pairs;
    ASSERT_TRUE(CPortMapFile(path_).ReadAll(&pairs));
    EXPECT_EQ(pairs, (std::map<std::string, uint32_t>{{"1-3", 2}, {"1-9", 4294967295u}}));
}

TEST_F(PortMapFileTest, ClearDeletesTheGroupAndIsFineWhenItIsGone) {
    CPortMapFile store(path_);
    ASSERT_TRUE(store.Write("1-3", 2));
    ASSERT_TRUE(store.Clear());
    EXPECT_FALSE(fs::exists(path_));
    EXPECT_TRUE(store.Clear());
    std::map<std::string, uint32_t> pairs;
    ASSERT_TRUE(store.ReadAll(&pairs));
    EXPECT_TRUE(pairs.empty());
}

TEST_F(PortMapFileTest, WritesLeaveNoTemporaryFilesBehind) {
    CPortMapFile store(path_);
    for (uint32_t i = 1; i <= 16; ++i) {
        ASSERT_TRUE(store.Write("1-" + std::to_string(i), i));
    }
    EXPECT_EQ(FilesInDir(), 1u);
}

TEST_F(PortMapFileTest, AGroupThatCannotBeOpenedReportsFailure) {
    // The store's path is a folder: it can be neither read nor replaced.
    fs::create_directories(path_);
    CPortMapFile blocked(path_);
    std::map<std::string, uint32_t> pairs;
    EXPECT_FALSE(blocked.ReadAll(&pairs));
    EXPECT_FALSE(blocked.Write("1-3", 2));
    EXPECT_FALSE(blocked.Clear());

    // A folder that does not exist: nothing can be written.
    CPortMapFile nowhere((dir_ / "missing" / "portmap.ini").string());
    EXPECT_FALSE(nowhere.Write("1-3", 2));
}

TEST(PortMapNameEncoding, DecodingRejectsWhatEncodingNeverProduces) {
    std::string name;
    EXPECT_TRUE(CPortMapFile::DecodeName("1-3%3A1.0", &name));
    EXPECT_EQ(name, "1-3:1.0");
    EXPECT_FALSE(CPortMapFile::DecodeName("%4", &name));
    EXPECT_FALSE(CPortMapFile::DecodeName("%", &name));
    EXPECT_FALSE(CPortMapFile::DecodeName("%G0", &name));
    EXPECT_FALSE(CPortMapFile::DecodeName("A", &name));
    EXPECT_EQ(CPortMapFile::EncodeName("A:b=c"), "%41%3Ab%3Dc");
}
