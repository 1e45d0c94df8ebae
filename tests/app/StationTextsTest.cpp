#include "app/StationTexts.h"

#include <gtest/gtest.h>

TEST(IncrementDigits, CarriesLeftwardsAndRollsOverAtTheWidth) {
    EXPECT_EQ(IncrementDigits("00000"), "00001");
    EXPECT_EQ(IncrementDigits("00009"), "00010");
    EXPECT_EQ(IncrementDigits("01999"), "02000");
    EXPECT_EQ(IncrementDigits("99998"), "99999");
    EXPECT_EQ(IncrementDigits("99999"), "00000");
    EXPECT_EQ(IncrementDigits("9"), "0");
}

TEST(IncrementDigits, TextThatIsNotAllDigitsBecomesEmpty) {
    EXPECT_EQ(IncrementDigits("0001a"), "");
    EXPECT_EQ(IncrementDigits(" 0001"), "");
    EXPECT_EQ(IncrementDigits("-0001"), "");
    EXPECT_EQ(IncrementDigits("\xef\xbc\x91"), "");  // full-width digit one
}

TEST(ReplaceLabelValue, KeepsTheCaptionUpToTheFirstAsciiColon) {
    EXPECT_EQ(ReplaceLabelValue("Unused:990", "989"), "Unused:989");
    EXPECT_EQ(ReplaceLabelValue("Key file:/a:b.kdb", "/c.kdb"), "Key file:/c.kdb");
    EXPECT_EQ(ReplaceLabelValue("Created:", ""), "Created:");
}

TEST(ReplaceLabelValue, ACaptionWithoutAsciiColonIsDropped) {
    // "密钥数：" ends in a full-width colon (U+FF1A), which is not an ASCII one.
    EXPECT_EQ(ReplaceLabelValue("密钥数：", "1000"), "1000");
    EXPECT_EQ(ReplaceLabelValue("", "1000"), "1000");
}

TEST(DecreaseLabelNumber, CountsTheNumberAfterTheColonDown) {
    EXPECT_EQ(DecreaseLabelNumber("未使用:990"), "未使用:989");
    EXPECT_EQ(DecreaseLabelNumber("Unused:1"), "Unused:0");
    EXPECT_EQ(DecreaseLabelNumber("Unused:0"), "Unused:-1");
}

TEST(DecreaseLabelNumber, ReadsOnlyLeadingDigitsAndSplitsAtTheStartWithoutColon) {
    EXPECT_EQ(DecreaseLabelNumber("Unused:12 keys"), "Unused:11");
    EXPECT_EQ(DecreaseLabelNumber("Unused:"), "Unused:-1");
    EXPECT_EQ(DecreaseLabelNumber("990"), "989");
    EXPECT_EQ(DecreaseLabelNumber("密钥数：990"), "-1");  // no ASCII colon, no leading digits
}

TEST(DecreaseLabelNumber, AnOverlongNumberIsCutInsteadOfOverflowing) {
    EXPECT_EQ(DecreaseLabelNumber("n:99999999999999999999999"), "n:999999999999999998");
}
