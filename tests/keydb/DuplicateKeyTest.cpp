// Key bytes that repeat: a key file in which two keys are the same bytes would put one key on two
// boards. kdbtool create refuses such key data (an administrator's key-data file with a repeat),
// and a file that has them anyway (a supplier's, one built by other tools) fails its load in the
// station and in kdbtool info, naming the first pair.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "keydb/KeyFile.h"
#include "keydb/KeyFileWriter.h"
#include "tests/keydb/KeyDbTestSupport.h"

using keydbtest::PatternBytes;
using keydbtest::RunKdbtool;
using keydbtest::TempDir;
using keydbtest::WriteBytes;

namespace {

// keys keys of size bytes, distinct, then key `to` made a copy of key `from` for each pair.
std::vector<uint8_t> KeyData(uint32_t keys, uint32_t size,
                             const std::vector<std::pair<uint32_t, uint32_t>>& copies) {
    std::vector<uint8_t> data = PatternBytes(size_t{keys} * size, 7);
    for (const auto& [from, to] : copies) {
        std::copy(data.begin() + from * size, data.begin() + (from + 1) * size,
                  data.begin() + to * size);
    }
    return data;
}

std::vector<uint8_t> Image(const std::vector<uint8_t>& data, uint32_t keys, uint32_t size) {
    KeyFileLayout layout;
    layout.keyCount = keys;
    layout.keySize = size;
    std::vector<uint8_t> image;
    std::string error;
    EXPECT_TRUE(BuildKeyFileImage(layout, data.data(), data.size(), &image, &error)) << error;
    return image;
}

}  // namespace

TEST(DuplicateKeys, CreateRefusesKeyDataWithARepeatAndLeavesNoFile) {
    TempDir dir;
    const std::string data = dir.File("keys.bin");
    const std::string out = dir.File("keys.kdb");
    // Key 7 repeats key 3, key 9 repeats key 3 too: the first pair is named.
    WriteBytes(data, KeyData(10, 16, {{3, 7}, {3, 9}}));
    const keydbtest::ProgramResult made =
        RunKdbtool({"create", "--keys", "10", "--key-size", "16", "--key-data", data, out});
    EXPECT_EQ(made.exitCode, 1);
    EXPECT_NE(made.err.find("keys 3 and 7 are the same bytes"), std::string::npos) << made.err;
    size_t files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir.Path())) {
        EXPECT_EQ(entry.path().string(), data);  // neither the file nor its temporary
        ++files;
    }
    EXPECT_EQ(files, 1u);

    // Distinct keys pass, also when they differ only in their last byte or inside the part that
    // is no whole word (a key of 21 bytes).
    for (const uint32_t size : {16u, 21u}) {
        std::vector<uint8_t> bytes = KeyData(10, size, {{2, 5}});
        bytes[6 * size - 1] ^= 1;
        WriteBytes(data, bytes);
        EXPECT_EQ(RunKdbtool({"create", "--force", "--keys", "10", "--key-size",
                              std::to_string(size), "--key-data", data, out})
                      .exitCode,
                  0)
            << size;
    }
    // Random keys short enough to repeat by chance are drawn again: every one-byte value once.
    const keydbtest::ProgramResult all =
        RunKdbtool({"create", "--force", "--keys", "256", "--key-size", "1", out});
    EXPECT_EQ(all.exitCode, 0) << all.err;
    const std::vector<uint8_t> image = keydbtest::ReadBytes(out);
    ASSERT_GE(image.size(), 256u);
    std::vector<uint8_t> values(image.end() - 256, image.end());
    std::sort(values.begin(), values.end());
    for (int v = 0; v < 256; ++v) {
        ASSERT_EQ(values[static_cast<size_t>(v)], v);
    }
    const keydbtest::ProgramResult tooMany =
        RunKdbtool({"create", "--force", "--keys", "257", "--key-size", "1", out});
    EXPECT_EQ(tooMany.exitCode, 1);
    EXPECT_NE(tooMany.err.find("keys of 1 bytes have only 256 different values"), std::string::npos)
        << tooMany.err;
    // A shared key file holds its one key for every board.
    WriteBytes(data, PatternBytes(16, 1));
    EXPECT_EQ(RunKdbtool({"create", "--force", "--shared", "--keys", "10", "--key-size", "16",
                          "--key-data", data, out})
                  .exitCode,
              0);
    CKeyFile shared(out);
    EXPECT_TRUE(shared.IsValid()) << shared.GetError();
}

TEST(DuplicateKeys, FileWithRepeatedKeysFailsTheStationsLoadAndInfoNamingTheFirstPair) {
    TempDir dir;
    const std::string path = dir.File("supplier.kdb");
    WriteBytes(path, Image(KeyData(5000, 24, {{4100, 4321}, {17, 4999}}), 5000, 24));
    CKeyFile station(path);
    EXPECT_FALSE(station.IsValid());
    EXPECT_NE(station.GetError().find("keys 4100 and 4321 are the same bytes"), std::string::npos)
        << station.GetError();
    int32_t index = -1;
    KeyCopy key;
    EXPECT_FALSE(station.GetKey(&index, &key));
    const keydbtest::ProgramResult info = RunKdbtool({"info", path});
    EXPECT_EQ(info.exitCode, 1);
    EXPECT_NE(info.out.find("valid:        no"), std::string::npos) << info.out;
    EXPECT_NE(info.out.find("keys 4100 and 4321 are the same bytes"), std::string::npos)
        << info.out;
    // The same file with the repeat removed loads, and info says what a copy of it does.
    WriteBytes(path, Image(KeyData(5000, 24, {}), 5000, 24));
    const keydbtest::ProgramResult fine = RunKdbtool({"info", path});
    EXPECT_EQ(fine.exitCode, 0) << fine.out;
    EXPECT_NE(fine.out.find("a copy of this file on a second station hands out the same keys"),
              std::string::npos)
        << fine.out;
}
