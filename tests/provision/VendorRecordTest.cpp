// Keybox records in vendor storage, the check after the reset, and the serial-number text.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "provision/VendorStorage.h"

namespace {

using Sector = std::array<uint8_t, 512>;

uint32_t Le32(const uint8_t* p) {
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

std::vector<uint8_t> KeyOf(size_t n) {
    std::vector<uint8_t> k(n);
    for (size_t i = 0; i < n; ++i) {
        k[i] = static_cast<uint8_t>(0xA0 + i * 7);
    }
    return k;
}

const uint8_t kInfo[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};

TEST(VendorStorageRecord, WrittenInPlaceKeepingEveryOtherByte) {
    Sector s;
    for (size_t i = 0; i < s.size(); ++i) {
        s[i] = static_cast<uint8_t>(i * 31 + 5);
    }
    std::memcpy(s.data(), "VEND", 4);
    const Sector before = s;
    const auto key = KeyOf(100);
    ASSERT_TRUE(HasVendTag(s.data()));
    ASSERT_TRUE(BuildVendorStorageRecord(s.data(), kInfo, key.data(), key.size()));
    EXPECT_EQ(0, std::memcmp(s.data(), before.data(), 252));
    EXPECT_EQ(0, std::memcmp(s.data() + 252, "KBOX", 4));
    EXPECT_EQ(Le32(s.data() + 256), 16u);
    EXPECT_EQ(Le32(s.data() + 260), 100u);
    EXPECT_EQ(0, std::memcmp(s.data() + 264, kInfo, 16));
    EXPECT_EQ(0, std::memcmp(s.data() + 280, key.data(), key.size()));
    // Whatever lay after the key stays as read.
    EXPECT_EQ(0, std::memcmp(s.data() + 380, before.data() + 380, 512 - 380));
}

TEST(VendorStorageRecord, RoomIs232KeyBytes) {
    Sector s{};
    std::memcpy(s.data(), "VEND", 4);
    const auto fits = KeyOf(232);
    ASSERT_TRUE(BuildVendorStorageRecord(s.data(), kInfo, fits.data(), fits.size()));
    EXPECT_EQ(s[511], fits[231]);
    Sector untouched{};
    const auto tooLong = KeyOf(233);
    EXPECT_FALSE(BuildVendorStorageRecord(untouched.data(), kInfo, tooLong.data(), tooLong.size()));
    EXPECT_EQ(untouched, Sector{});
    EXPECT_EQ(VendorKeyRoom(VendorDestination::kStorageSector), 232u);
}

TEST(VendorItem8, BuiltFromZerosAndAlwaysDeclares156Bytes) {
    Sector s;
    s.fill(0xEE);
    const auto key = KeyOf(128);  // the most the 156 declared bytes hold
    ASSERT_TRUE(BuildVendorItem8(s.data(), kInfo, key.data(), key.size()));
    EXPECT_EQ(s[0], 8);
    EXPECT_EQ(s[1], 0);
    EXPECT_EQ(s[2] | s[3], 0);
    EXPECT_EQ(s[4] | (s[5] << 8), 156);
    EXPECT_EQ(s[6] | s[7], 0);
    EXPECT_EQ(0, std::memcmp(s.data() + 8, "KBOX", 4));
    EXPECT_EQ(Le32(s.data() + 12), 16u);
    EXPECT_EQ(Le32(s.data() + 16), 128u);
    EXPECT_EQ(0, std::memcmp(s.data() + 20, kInfo, 16));
    EXPECT_EQ(0, std::memcmp(s.data() + 36, key.data(), key.size()));
    for (size_t i = 8 + 156; i < 512; ++i) {
        ASSERT_EQ(s[i], 0) << i;
    }
}

// The item's length field says 156 data bytes: a key must end inside them, or the board takes a
// truncated key and the check after the reset looks at part of it.
TEST(VendorItem8, RoomIsTheKeyBytesThe156DataBytesHold) {
    Sector s{};
    const auto fits = KeyOf(128);
    ASSERT_TRUE(BuildVendorItem8(s.data(), kInfo, fits.data(), fits.size()));
    EXPECT_EQ(s[8 + 156 - 1], fits[127]);  // the last data byte
    for (size_t i = 8 + 156; i < 512; ++i) {
        ASSERT_EQ(s[i], 0) << i;
    }
    const auto tooLong = KeyOf(129);
    Sector untouched{};
    EXPECT_FALSE(BuildVendorItem8(untouched.data(), kInfo, tooLong.data(), tooLong.size()));
    EXPECT_EQ(untouched, Sector{});
}

TEST(VendorClearCheck, StorageSectorRecordPresentBeforeByteScan) {
    Sector s{};
    std::memcpy(s.data(), "VEND", 4);
    s[100] = 0x55;  // outside the record area: not looked at
    EXPECT_EQ(CheckVendorCleared(VendorDestination::kStorageSector, s.data()),
              VendorClearState::kClean);
    std::memcpy(s.data() + 252, "KBOX", 4);
    EXPECT_EQ(CheckVendorCleared(VendorDestination::kStorageSector, s.data()),
              VendorClearState::kRecordPresent);
    std::memset(s.data() + 252, 0, 4);
    s[511] = 1;
    EXPECT_EQ(CheckVendorCleared(VendorDestination::kStorageSector, s.data()),
              VendorClearState::kNotClean);
}

TEST(VendorClearCheck, Item8OnlyExisCountsAsPresent) {
    Sector s{};
    s[0] = 8;
    s[4] = 156;
    s[200] = 0x77;  // beyond byte 155: not looked at
    EXPECT_EQ(CheckVendorCleared(VendorDestination::kItem8, s.data()), VendorClearState::kClean);
    std::memcpy(s.data() + 8, "EXIS", 4);
    EXPECT_EQ(CheckVendorCleared(VendorDestination::kItem8, s.data()),
              VendorClearState::kRecordPresent);
    std::memcpy(s.data() + 8, "KBOX", 4);
    EXPECT_EQ(CheckVendorCleared(VendorDestination::kItem8, s.data()), VendorClearState::kNotClean);
    std::memset(s.data() + 8, 0, 4);
    s[155] = 1;
    EXPECT_EQ(CheckVendorCleared(VendorDestination::kItem8, s.data()), VendorClearState::kNotClean);
}

TEST(SerialNumberText, ConvertedFromTheDeviceCodePageAndCutAtZero) {
    const uint8_t raw[] = {'S', 'N', 0xC4, 0xE3, '1', 0, 'x', 'y'};
    EXPECT_EQ(SnBytesToText(raw, sizeof raw),
              "SN\xe4\xbd\xa0"
              "1");
    EXPECT_EQ(SnBytesToText(raw, 2), "SN");
    EXPECT_EQ(SnBytesToText(raw, 0), "");
}

TEST(SerialNumberText, LengthIsCountedInUtf16Units) {
    EXPECT_TRUE(IsSnTextValid(std::string(100, 'A')));
    EXPECT_FALSE(IsSnTextValid(std::string(101, 'A')));
    EXPECT_FALSE(IsSnTextValid(""));
    // 50 characters outside the basic plane need 100 units; one more character is too many.
    std::string astral;
    for (int i = 0; i < 50; ++i) {
        astral += "\xf0\x9f\x98\x80";
    }
    EXPECT_TRUE(IsSnTextValid(astral));
    EXPECT_FALSE(IsSnTextValid(astral + "A"));
    // 100 Chinese characters are 100 units, though 300 UTF-8 bytes.
    std::string cjk;
    for (int i = 0; i < 100; ++i) {
        cjk += "\xe4\xbd\xa0";
    }
    EXPECT_TRUE(IsSnTextValid(cjk));
}

TEST(SerialNumberText, NamesThatWouldLeaveTheFolderAreRefused) {
    for (const std::string& bad : std::vector<std::string>{
             "../etc", "a/b", "a\\b", "..", "x..y", "tab\there", "nl\n", "del\x7f", "c1\xc2\x85"}) {
        EXPECT_FALSE(IsSnTextValid(bad)) << bad;
    }
    for (const std::string& good :
         std::vector<std::string>{"SN0123456789", "a.b", ".hidden", "A-B_C:D", "\xe4\xbd\xa0"}) {
        EXPECT_TRUE(IsSnTextValid(good)) << good;
    }
}

}  // namespace
