// kdbtool as an operator uses it: creating files, refusing to overwrite, reporting files.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <filesystem>

#include "keydb/KeyFile.h"
#include "keydb/KeyFileFormat.h"
#include "tests/keydb/KeyDbTestSupport.h"

using keydbtest::PatternBytes;
using keydbtest::ProgramResult;
using keydbtest::ReadBytes;
using keydbtest::RunKdbtool;
using keydbtest::TempDir;
using keydbtest::WriteBytes;

namespace {

class Kdbtool : public ::testing::Test {
  protected:
    TempDir dir_;
    std::string path_ = dir_.File("keys.kdb");
};

}  // namespace

TEST_F(Kdbtool, CreateWritesTheGivenKeysAndFields) {
    const std::vector<uint8_t> keys = PatternBytes(3 * 20, 42);
    WriteBytes(dir_.File("k.bin"), keys);
    const ProgramResult r =
        RunKdbtool({"create", "--keys=3", "--key-size", "20", "--key-data", dir_.File("k.bin"),
                    "--header-size", "128", "--created", "2021-07-04 01:02:03", "--record-info",
                    "FFEEDDCCBBAA99887766554433221100", path_});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const std::vector<uint8_t> image = ReadBytes(path_);
    ASSERT_EQ(image.size(), 128u + keys.size());
    EXPECT_EQ(0, std::memcmp(image.data(), "KBOX", 4));
    EXPECT_EQ(kdb::LoadLe16(&image[4]), 128);
    EXPECT_EQ(0, std::memcmp(image.data() + 128, keys.data(), keys.size()));
    EXPECT_EQ(image[56], 0xFF);
    EXPECT_EQ(image[71], 0x00);
    struct stat st {};
    ASSERT_EQ(stat(path_.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u) << "key files are readable by their owner only";

    CKeyFile file(path_);
    ASSERT_TRUE(file.IsValid()) << file.GetError();
    EXPECT_EQ(file.GetCreateTime(), "2021-07-04 01:02:03");
    EXPECT_EQ(file.GetUnusedCount(), 3);
}

TEST_F(Kdbtool, RandomKeysDifferBetweenFiles) {
    ASSERT_EQ(RunKdbtool({"create", "--keys", "4", "--key-size", "32", path_}).exitCode, 0);
    const std::string other = dir_.File("other.kdb");
    ASSERT_EQ(RunKdbtool({"create", "--keys", "4", "--key-size", "32", other}).exitCode, 0);
    const std::vector<uint8_t> a = ReadBytes(path_);
    const std::vector<uint8_t> b = ReadBytes(other);
    ASSERT_EQ(a.size(), b.size());
    EXPECT_NE(std::vector<uint8_t>(a.end() - 128, a.end()),
              std::vector<uint8_t>(b.end() - 128, b.end()));
}

TEST_F(Kdbtool, ExistingFileIsKeptUnlessForced) {
    ASSERT_EQ(RunKdbtool({"create", "--keys", "4", "--key-size", "8", path_}).exitCode, 0);
    const std::vector<uint8_t> first = ReadBytes(path_);
    const ProgramResult refused = RunKdbtool({"create", "--keys", "9", "--key-size", "8", path_});
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_NE(refused.err.find("already exists"), std::string::npos) << refused.err;
    EXPECT_EQ(ReadBytes(path_), first);

    const ProgramResult forced =
        RunKdbtool({"create", "--force", "--keys", "9", "--key-size", "8", path_});
    ASSERT_EQ(forced.exitCode, 0) << forced.err;
    CKeyFile file(path_);
    EXPECT_EQ(file.GetKeyCount(), 9);
    // No temporary file (".keys.kdb.<random>") is left behind either way: the folder holds the
    // key file alone.
    std::vector<std::string> names;
    for (const auto& entry :
         std::filesystem::directory_iterator(std::filesystem::path(path_).parent_path())) {
        names.push_back(entry.path().filename().string());
    }
    // (The station's load above made its journal beside the file.)
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"keys.kdb", "keys.kdb.journal.jsonl"}));
}

TEST_F(Kdbtool, KeyDataOfTheWrongLengthIsRefused) {
    WriteBytes(dir_.File("k.bin"), PatternBytes(31, 1));
    const ProgramResult r = RunKdbtool(
        {"create", "--keys", "4", "--key-size", "8", "--key-data", dir_.File("k.bin"), path_});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("holds 31 bytes"), std::string::npos) << r.err;
    struct stat st {};
    EXPECT_NE(stat(path_.c_str(), &st), 0) << "nothing is created on failure";
}

TEST_F(Kdbtool, BadArgumentsAreUsageErrors) {
    const std::vector<std::vector<std::string>> cases = {
        {},
        {"frobnicate"},
        {"create", "--keys", "4", path_},
        {"create", "--keys", "0", "--key-size", "8", path_},
        {"create", "--keys", "523673", "--key-size", "8", path_},
        {"create", "--keys", "4", "--key-size", "16777216", path_},
        {"create", "--keys", "4", "--key-size", "8", "--record-info", "00ff", path_},
        {"create", "--keys", "4", "--key-size", "8", "--created", "2023-02-29 00:00:00", path_},
        {"create", "--keys", "4", "--key-size", "8", "--created", "2023-01-01 24:00:00", path_},
        {"create", "--keys", "4", "--key-size", "8", "--used", "1,4", path_},
        {"create", "--keys", "4", "--key-size", "8", "--used", "3-1", path_},
        {"create", "--keys", "40", "--key-size", "8", "--header-size", "80", path_},
        {"create", "--keys", "4", "--key-size", "8", "--bogus", path_},
        {"create", "--keys", "4", "--key-size", "8"},
        {"info"},
        {"info", "--yaml", path_},
        {"info", path_, path_},
    };
    for (const auto& args : cases) {
        const ProgramResult r = RunKdbtool(args);
        std::string joined;
        for (const auto& a : args) {
            joined += a + " ";
        }
        EXPECT_EQ(r.exitCode, 2) << joined << "\n" << r.err;
        EXPECT_FALSE(r.err.empty()) << joined;
    }
    struct stat st {};
    EXPECT_NE(stat(path_.c_str(), &st), 0);
}

TEST_F(Kdbtool, InfoReportsAValidFileAsJson) {
    ASSERT_EQ(RunKdbtool({"create", "--keys", "10", "--key-size", "16", "--shared", "--used", "2,3",
                          "--created", "2020-01-02 03:04:05", "--record-info",
                          "00112233445566778899aabbccddeeff", path_})
                  .exitCode,
              0);
    const ProgramResult r = RunKdbtool({"info", "--json", path_});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "{\"file\":\"" + path_ +
                         "\",\"valid\":true,\"error\":null,\"keyCount\":10,\"unusedCount\":8,"
                         "\"keySize\":16,\"headerSize\":78,\"sharedKey\":true,"
                         "\"created\":\"2020-01-02 03:04:05\","
                         "\"recordInfo\":\"00112233445566778899aabbccddeeff\"}\n");
    const ProgramResult text = RunKdbtool({"info", path_});
    EXPECT_EQ(text.exitCode, 0);
    EXPECT_NE(text.out.find("unused count: 8"), std::string::npos) << text.out;
}

TEST_F(Kdbtool, InfoReportsTheFailingCheckAndEscapesIt) {
    // A name with a quote, a backslash, a tab and a byte that is not UTF-8.
    const std::string odd = dir_.File("a\"b\\c\td\xff.kdb");
    const ProgramResult r = RunKdbtool({"info", "--json", odd});
    EXPECT_EQ(r.exitCode, 1);
    const std::string escaped = dir_.Path() + "/a\\\"b\\\\c\\td\\ufffd.kdb";
    EXPECT_EQ(r.out, "{\"file\":\"" + escaped +
                         "\",\"valid\":false,\"error\":\"Error:CKeyFile->CKeyFile open " + escaped +
                         " failed,err=2\",\"keyCount\":null,\"unusedCount\":null,"
                         "\"keySize\":null,\"headerSize\":null,\"sharedKey\":null,"
                         "\"created\":null,\"recordInfo\":null}\n");

    ASSERT_EQ(RunKdbtool({"create", "--keys", "10", "--key-size", "16", path_}).exitCode, 0);
    std::vector<uint8_t> image = ReadBytes(path_);
    image[0] = 'X';
    WriteBytes(path_, image);
    const ProgramResult bad = RunKdbtool({"info", path_});
    EXPECT_EQ(bad.exitCode, 1);
    EXPECT_NE(bad.out.find("error:        Error:CKeyFile->CKeyFile tag is wrong,tag=0x584f4258"),
              std::string::npos)
        << bad.out;
}
