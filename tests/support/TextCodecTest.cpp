#include <gtest/gtest.h>

#include <string>

#include "support/TextCodec.h"

namespace {

const std::string kZhongWenGbk = "\xD6\xD0\xCE\xC4";  // 中文
const std::string kZhongWenUtf8 = "\xE4\xB8\xAD\xE6\x96\x87";
const std::string kReplacement = "\xEF\xBF\xBD";

TEST(GbkConversion, ChineseAndAsciiRoundTrip) {
    const std::string gbk = "Path=D:\\" + kZhongWenGbk + "\\x";
    const std::string utf8 = ks::GbkToUtf8(gbk);
    EXPECT_EQ(utf8, "Path=D:\\" + kZhongWenUtf8 + "\\x");
    EXPECT_EQ(ks::Utf8ToGbk(utf8), gbk);
}

TEST(GbkConversion, UsesTheWindowsCodePageTable) {
    // 0x80 is the euro sign and A1AA the em dash in code page 936 (GB18030 differs on both).
    EXPECT_EQ(ks::GbkToUtf8(std::string("\x80")), "\xE2\x82\xAC");
    EXPECT_EQ(ks::GbkToUtf8(std::string("\xA1\xAA")), "\xE2\x80\x94");
}

TEST(GbkConversion, InvalidBytesBecomeReplacementCharacters) {
    // A lone 0xFF, a lead byte before an ASCII digit (the digit survives), an unmapped pair and a
    // lead byte cut off by the end of the input.
    EXPECT_EQ(ks::GbkToUtf8(std::string("a\xFF"
                                        "b")),
              "a" + kReplacement + "b");
    EXPECT_EQ(ks::GbkToUtf8(std::string("\x81"
                                        "0")),
              kReplacement + "0");
    EXPECT_EQ(ks::GbkToUtf8(std::string("\xA1\x40"
                                        "z")),
              kReplacement + "z");
    EXPECT_EQ(ks::GbkToUtf8(std::string("x\xD6")), "x" + kReplacement);
}

TEST(GbkConversion, ArbitraryBytesNeverFailAndYieldValidUtf8) {
    std::string all;
    for (int round = 0; round < 3; ++round) {
        for (int b = 0; b < 256; ++b) {
            all += static_cast<char>((b * (round * 2 + 1)) & 0xFF);
        }
    }
    const std::string utf8 = ks::GbkToUtf8(all);
    EXPECT_TRUE(ks::IsValidUtf8(utf8));
    EXPECT_FALSE(utf8.empty());
}

TEST(GbkConversion, CharactersWithoutGbkFormBecomeQuestionMarks) {
    // U+1F600 has no code page 936 form; a stray continuation byte is not UTF-8.
    EXPECT_EQ(ks::Utf8ToGbk("a\xF0\x9F\x98\x80"
                            "b"),
              "a?b");
    EXPECT_EQ(ks::Utf8ToGbk("a\x80"
                            "b"),
              "a?b");
}

TEST(Utf16Encoding, EncodesSurrogatePairsAndReplacesInvalidBytes) {
    EXPECT_EQ(ks::Utf8ToUtf16Le("A\xE4\xB8\xAD"), std::string("A\0\x2D\x4E", 4));
    EXPECT_EQ(ks::Utf8ToUtf16Le("\xF0\x9F\x98\x80"), std::string("\x3D\xD8\x00\xDE", 4));
    EXPECT_EQ(ks::Utf8ToUtf16Le("\xFF"), std::string("\xFD\xFF", 2));
}

TEST(Utf8Cutting, NeverSplitsACharacter) {
    const std::string text = "ab" + kZhongWenUtf8;  // 2 + 3 + 3 bytes
    EXPECT_EQ(ks::Utf8PrefixBytes(text, 4), 2u);
    EXPECT_EQ(ks::Utf8PrefixBytes(text, 5), 5u);
    EXPECT_EQ(ks::Utf8PrefixBytes(text, 100), text.size());
    EXPECT_EQ(ks::Utf8WithoutCutTail(text.substr(0, 7)), 5u);
    EXPECT_EQ(ks::Utf8WithoutCutTail(text.substr(0, 8)), 8u);
    EXPECT_EQ(ks::Utf8WithoutCutTail("\xF0\x9F\x98"), 0u);
}

TEST(Utf8Cutting, CountsUtf16UnitsWithSurrogatePairsAsTwo) {
    const std::string emoji = "\xF0\x9F\x98\x80";
    EXPECT_EQ(ks::Utf8PrefixForUtf16Units("a" + emoji, 2), 1u);
    EXPECT_EQ(ks::Utf8PrefixForUtf16Units("a" + emoji, 3), 5u);
    EXPECT_EQ(ks::Utf8PrefixForUtf16Units(kZhongWenUtf8, 1), 3u);
}

}  // namespace
