// Loading a key file: each check in order, with the text of the first failing one.
#include <gtest/gtest.h>

#include <cstring>

#include "keydb/Crc32.h"
#include "keydb/KeyFile.h"
#include "keydb/KeyFileFormat.h"
#include "keydb/Sha256.h"
#include "tests/keydb/KeyDbTestSupport.h"

using keydbtest::CapturingLogger;
using keydbtest::PatternBytes;
using keydbtest::ReadBytes;
using keydbtest::Reseal;
using keydbtest::RunKdbtool;
using keydbtest::TempDir;
using keydbtest::WriteBytes;

namespace {

// Builds a file field by field, so that layouts kdbtool refuses to make can be tested.
struct RawKeyFile {
    uint32_t headerSize = 80;
    bool shared = false;
    uint8_t second = 7;
    uint32_t keyCount = 4;
    uint32_t unusedCount = 4;
    uint32_t keySize = 8;
    std::vector<uint8_t> data;

    std::vector<uint8_t> Build() const {
        std::vector<uint8_t> image(headerSize, 0);
        kdb::StoreLe32(&image[0], kdb::kTag);
        kdb::StoreLe16(&image[4], static_cast<uint16_t>(headerSize));
        image[6] = static_cast<uint8_t>(second | (shared ? 0x80 : 0));
        image[7] = 8;
        image[8] = 9;
        image[9] = static_cast<uint8_t>(keySize >> 16);
        image[10] = 10;
        image[11] = 11;
        kdb::StoreLe16(&image[12], 2023);
        kdb::StoreLe32(&image[14], keyCount);
        kdb::StoreLe32(&image[18], unusedCount);
        kdb::StoreLe16(&image[22], static_cast<uint16_t>(keySize & 0xFFFF));
        EXPECT_TRUE(DoHash256(&image[24], data.data(), uint64_t{data.size()}));
        for (int i = 0; i < 16; ++i) {
            image[56 + i] = static_cast<uint8_t>(0xA0 + i);
        }
        image.insert(image.end(), data.begin(), data.end());
        Reseal(&image);
        return image;
    }
};

class KeyFileLoad : public ::testing::Test {
  protected:
    // Writes the image and loads it as a station, keeping the log lines.
    std::string LoadError(const std::vector<uint8_t>& image) {
        WriteBytes(path_, image);
        CapturingLogger log;
        CKeyFile file(path_, &log);
        EXPECT_FALSE(file.IsValid());
        EXPECT_EQ(file.GetKeyCount(), -1);
        EXPECT_EQ(file.GetUnusedCount(), -1);
        EXPECT_EQ(file.GetKeySize(), -1);
        EXPECT_EQ(file.GetRecordInfo(), nullptr);
        EXPECT_EQ(log.lines, std::vector<std::string>{file.GetError()});
        return file.GetError();
    }

    std::vector<uint8_t> MadeByTool(std::vector<std::string> args) {
        args.insert(args.begin(), {"create", "--force"});
        args.push_back(path_);
        const keydbtest::ProgramResult r = RunKdbtool(args);
        EXPECT_EQ(r.exitCode, 0) << r.err;
        return ReadBytes(path_);
    }

    TempDir dir_;
    std::string path_ = dir_.File("keys.kdb");
};

}  // namespace

TEST_F(KeyFileLoad, FileMadeByToolLoadsWithItsFields) {
    MadeByTool({"--keys", "100", "--key-size", "32", "--record-info",
                "000102030405060708090a0b0c0d0e0f", "--created", "2024-02-29 23:59:58", "--used",
                "1,3,50-59"});
    CapturingLogger log;
    CKeyFile file(path_, &log);
    ASSERT_TRUE(file.IsValid()) << file.GetError();
    EXPECT_TRUE(file.GetError().empty());
    EXPECT_TRUE(log.lines.empty());
    EXPECT_EQ(file.GetKeyCount(), 100);
    EXPECT_EQ(file.GetUnusedCount(), 88);
    EXPECT_EQ(file.GetKeySize(), 32);
    EXPECT_EQ(file.GetHeaderSize(), 72 + 13 + 4);
    EXPECT_FALSE(file.IsSharedKey());
    EXPECT_EQ(file.GetCreateTime(), "2024-02-29 23:59:58");
    ASSERT_NE(file.GetRecordInfo(), nullptr);
    for (int i = 0; i < 16; ++i) {
        EXPECT_EQ(file.GetRecordInfo()[i], i);
    }
}

TEST_F(KeyFileLoad, MissingFileFailsAtOpenWithTheSystemError) {
    const std::string missing = dir_.File("absent.kdb");
    CKeyFile file(missing);
    EXPECT_FALSE(file.IsValid());
    EXPECT_EQ(file.GetError(), "Error:CKeyFile->CKeyFile open " + missing + " failed,err=2");
}

TEST_F(KeyFileLoad, WrongTagFailsFirstWhateverFollows) {
    std::vector<uint8_t> image = MadeByTool({"--keys", "4", "--key-size", "8"});
    std::memcpy(image.data(), "KBOY", 4);
    image[4] = 3;  // also a bad header size, which must not be reported
    EXPECT_EQ(LoadError(image), "Error:CKeyFile->CKeyFile tag is wrong,tag=0x594f424b");
}

TEST_F(KeyFileLoad, FilesShorterThanTheFixedFieldsFailWithoutReadingPastTheEnd) {
    EXPECT_EQ(LoadError({}), "Error:CKeyFile->CKeyFile tag is wrong,tag=0x0");
    EXPECT_EQ(LoadError({'K', 'B'}), "Error:CKeyFile->CKeyFile tag is wrong,tag=0x424b");
    EXPECT_EQ(LoadError({'K', 'B', 'O', 'X', 0x10}),
              "Error:CKeyFile->CKeyFile header size is wrong,size=16");
}

TEST_F(KeyFileLoad, HeaderSizeMustLieBetween74AndTheFileLength) {
    RawKeyFile raw;
    raw.data = PatternBytes(32, 1);
    raw.headerSize = 73;
    EXPECT_EQ(LoadError(raw.Build()), "Error:CKeyFile->CKeyFile header size is wrong,size=73");

    std::vector<uint8_t> image = MadeByTool({"--keys", "4", "--key-size", "8"});
    kdb::StoreLe16(&image[4], static_cast<uint16_t>(image.size()));
    EXPECT_EQ(LoadError(image),
              "Error:CKeyFile->CKeyFile header size is wrong,size=" + std::to_string(image.size()));

    // 74 passes the size step; with its CRC at 70 the bitmap of even one key cannot fit.
    raw.headerSize = 74;
    raw.keyCount = 1;
    raw.unusedCount = 1;
    raw.data = PatternBytes(8, 1);
    const std::string error = LoadError(raw.Build());
    EXPECT_EQ(error.find("header size"), std::string::npos) << error;
    EXPECT_EQ(error, "Error:CKeyFile->CKeyFile key bitmap does not fit the header,keys=1,size=74");
}

TEST_F(KeyFileLoad, AnyHeaderByteChangedWithoutNewCrcFailsTheCrc) {
    const std::vector<uint8_t> good = MadeByTool({"--keys", "20", "--key-size", "8"});
    const uint32_t h = kdb::LoadLe16(&good[4]);
    const uint32_t stored = kdb::LoadLe32(&good[h - 4]);
    for (size_t offset : {size_t{6}, size_t{18}, size_t{56}, size_t{72}, size_t{h - 5}}) {
        std::vector<uint8_t> image = good;
        image[offset] ^= 0x01;
        char expected[128];
        std::snprintf(expected, sizeof(expected),
                      "Error:CKeyFile->CKeyFile header crc is wrong,old=%x,new=%x", stored,
                      CalcCrc32(image.data(), h - 4));
        EXPECT_EQ(LoadError(image), expected) << "offset " << offset;
    }
}

TEST_F(KeyFileLoad, ChangedKeyByteFailsTheDigestNotTheCrc) {
    std::vector<uint8_t> image = MadeByTool({"--keys", "20", "--key-size", "8"});
    image[image.size() - 1] ^= 0x80;
    EXPECT_EQ(LoadError(image), "Error:CKeyFile->CKeyFile memcmp sha256 failed!");
}

TEST_F(KeyFileLoad, SharedFlagDecidesTheExpectedLength) {
    RawKeyFile raw;
    raw.headerSize = 1000;
    raw.keyCount = 5000;
    raw.unusedCount = 5000;
    raw.keySize = 16;
    raw.shared = true;
    raw.data = PatternBytes(16, 2);
    WriteBytes(path_, raw.Build());
    {
        CKeyFile file(path_);
        ASSERT_TRUE(file.IsValid()) << file.GetError();
        EXPECT_TRUE(file.IsSharedKey());
        EXPECT_EQ(file.GetKeyCount(), 5000);
    }
    raw.shared = false;
    EXPECT_EQ(LoadError(raw.Build()), "Error:CKeyFile->CKeyFile check size failed!");

    raw.keyCount = 1;
    raw.unusedCount = 1;
    WriteBytes(path_, raw.Build());
    CKeyFile single(path_);
    EXPECT_TRUE(single.IsValid()) << single.GetError();
}

TEST_F(KeyFileLoad, SizeCheckDoesNotWrapAt32Bits) {
    // 65,537 keys of 65,536 bytes: the product wraps to 65,536 in 32 bits, which would make a
    // 64 KiB data area pass and put key 1 outside the file.
    RawKeyFile raw;
    raw.keyCount = 65537;
    raw.unusedCount = 65537;
    raw.keySize = 65536;
    raw.headerSize = static_cast<uint32_t>(kdb::MinHeaderSizeFor(raw.keyCount));
    raw.data = PatternBytes(65536, 3);
    EXPECT_EQ(LoadError(raw.Build()), "Error:CKeyFile->CKeyFile check size failed!");
}

TEST_F(KeyFileLoad, BitmapReachingIntoTheCrcIsRejected) {
    RawKeyFile raw;
    raw.headerSize = 78;  // room for a 2-byte bitmap: 16 keys
    raw.keySize = 4;
    raw.keyCount = 16;
    raw.unusedCount = 16;
    raw.data = PatternBytes(16 * 4, 4);
    WriteBytes(path_, raw.Build());
    {
        CKeyFile file(path_);
        EXPECT_TRUE(file.IsValid()) << file.GetError();
    }
    raw.keyCount = 17;
    raw.unusedCount = 17;
    raw.data = PatternBytes(17 * 4, 4);
    EXPECT_EQ(LoadError(raw.Build()),
              "Error:CKeyFile->CKeyFile key bitmap does not fit the header,keys=17,size=78");

    const keydbtest::ProgramResult r = RunKdbtool({"info", "--json", path_});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.out.find("\"error\":\"Error:CKeyFile->CKeyFile key bitmap does not fit the "
                         "header,keys=17,size=78\""),
              std::string::npos)
        << r.out;
}

TEST_F(KeyFileLoad, MoreUnusedKeysThanKeysIsADamagedHeader) {
    RawKeyFile raw;
    raw.keySize = 4;
    raw.keyCount = 16;
    raw.unusedCount = 17;
    raw.data = PatternBytes(16 * 4, 5);
    EXPECT_EQ(LoadError(raw.Build()),
              "Error:CKeyFile->CKeyFile unused count is wrong,unused=17,keys=16");
}

TEST_F(KeyFileLoad, KeySizeByte9CountsInUnitsOf65536) {
    RawKeyFile raw;
    raw.shared = true;
    raw.keySize = 0x10005;
    raw.data = PatternBytes(0x10005, 5);
    WriteBytes(path_, raw.Build());
    {
        CKeyFile file(path_);
        ASSERT_TRUE(file.IsValid()) << file.GetError();
        EXPECT_EQ(file.GetKeySize(), 0x10005);
        int32_t index = -1;
        KeyCopy key;
        ASSERT_TRUE(file.GetKey(&index, &key));
        ASSERT_EQ(key.size(), 0x10005u);
        EXPECT_EQ(0, std::memcmp(key.data(), raw.data.data(), raw.data.size()));
    }

    raw.shared = false;  // 4 keys expected now: length check sees all 24 bits
    EXPECT_EQ(LoadError(raw.Build()), "Error:CKeyFile->CKeyFile check size failed!");
}

TEST_F(KeyFileLoad, CreationSecondShowsWithoutTheSharedBit) {
    RawKeyFile raw;
    raw.shared = true;
    raw.second = 59;
    raw.data = PatternBytes(8, 6);
    WriteBytes(path_, raw.Build());
    CKeyFile file(path_);
    ASSERT_TRUE(file.IsValid()) << file.GetError();
    EXPECT_EQ(file.GetCreateTime(), "2023-11-10 09:08:59");
}

TEST_F(KeyFileLoad, FailedVerificationLeavesTheFileUntouched) {
    std::vector<uint8_t> image = MadeByTool({"--keys", "20", "--key-size", "8"});
    image[image.size() - 3] ^= 1;
    WriteBytes(path_, image);
    {
        CKeyFile file(path_);
        EXPECT_FALSE(file.IsValid());
        int32_t index = -1;
        KeyCopy key;
        EXPECT_FALSE(file.GetKey(&index, &key));
        EXPECT_FALSE(file.UpdateKeyFile(0));
    }
    EXPECT_EQ(ReadBytes(path_), image);
}
