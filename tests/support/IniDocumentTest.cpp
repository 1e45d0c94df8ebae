#include <gtest/gtest.h>

#include <string>

#include "support/IniDocument.h"

namespace {

ks::IniDocument Parse(const std::string& text, ks::IniParseReport* report = nullptr) {
    ks::IniDocument doc;
    const ks::IniParseReport r = ks::ParseIni(text.data(), text.size(), doc);
    if (report != nullptr) {
        *report = r;
    }
    return doc;
}

std::string Value(const ks::IniDocument& doc, const std::string& section, const std::string& key) {
    const ks::IniSection* s = doc.FindSection(section);
    if (s == nullptr) {
        return "<no section>";
    }
    const std::string* v = s->Find(key);
    return v == nullptr ? "<no entry>" : *v;
}

TEST(IniParsing, HeaderWithTrailingBlanksAndInnerBlanksNamesTheTrimmedSection) {
    const auto doc = Parse("[ System ] \t\r\nA=1\r\n");
    EXPECT_EQ(Value(doc, "System", "A"), "1");
    ASSERT_EQ(doc.GetSections().size(), 1u);
    EXPECT_EQ(doc.GetSections().begin()->first, "System");
}

TEST(IniParsing, SectionsAndKeysMatchRegardlessOfCaseAndKeepFirstSpelling) {
    const auto doc = Parse("[System]\nLogLevel=1\n[SYSTEM]\nloglevel=2\n[system]\nOther=3\n");
    ASSERT_EQ(doc.GetSections().size(), 1u);
    const ks::IniSection& s = doc.GetSections().begin()->second;
    EXPECT_EQ(s.Name(), "System");
    ASSERT_EQ(s.GetEntries().size(), 2u);
    EXPECT_EQ(s.GetEntries().begin()->first, "LogLevel");  // first spelling kept
    EXPECT_EQ(Value(doc, "sYsTeM", "LOGLEVEL"), "2");      // later duplicate wins
    EXPECT_EQ(Value(doc, "system", "other"), "3");
}

TEST(IniParsing, KeysAreTrimmedButValuesKeptAsWritten) {
    const auto doc = Parse("[S]\n  LogLevel \t=  3 \t\nUrl=a=b=c\nEmpty=\n");
    EXPECT_EQ(Value(doc, "S", "LogLevel"), "  3 \t");
    EXPECT_EQ(Value(doc, "S", "Url"), "a=b=c");
    EXPECT_EQ(Value(doc, "S", "Empty"), "");
}

TEST(IniParsing, LineEndsWithAndWithoutCarriageReturn) {
    const auto doc = Parse("[S]\r\nA=1\r\nB=2\nC=3\r\r\nD=4");
    EXPECT_EQ(Value(doc, "S", "A"), "1");
    EXPECT_EQ(Value(doc, "S", "B"), "2");
    EXPECT_EQ(Value(doc, "S", "C"), "3");
    EXPECT_EQ(Value(doc, "S", "D"), "4");  // last line without LF
}

TEST(IniParsing, CommentsBareLinesAndEntriesBeforeTheFirstHeaderAreIgnored) {
    ks::IniParseReport report;
    const auto doc =
        Parse("Orphan=1\n[S]\n# comment\n; note\nno equals sign\n=starts with equals\n", &report);
    EXPECT_EQ(report.orphanEntries, 1u);
    ASSERT_EQ(doc.GetSections().size(), 1u);
    EXPECT_TRUE(doc.GetSections().begin()->second.GetEntries().empty());
}

TEST(IniParsing, HashLineWithEqualsIsAnEntry) {
    const auto doc = Parse("[S]\n#X=5\n");
    EXPECT_EQ(Value(doc, "S", "#X"), "5");
}

TEST(IniParsing, FileWithoutHeadersYieldsEmptyDocument) {
    ks::IniParseReport report;
    const auto doc = Parse("LogLevel=3\nSelected=1\n", &report);
    EXPECT_TRUE(doc.Empty());
    EXPECT_EQ(report.orphanEntries, 2u);
}

TEST(IniParsing, RepeatedHeaderContinuesEarlierSection) {
    const auto doc = Parse("[A]\nx=1\n[B]\ny=2\n[a]\nz=3\n");
    EXPECT_EQ(Value(doc, "A", "x"), "1");
    EXPECT_EQ(Value(doc, "A", "z"), "3");
    EXPECT_EQ(doc.GetSections().size(), 2u);
}

TEST(IniParsing, BracketLinesThatAreNotHeaders) {
    // "[abc" has no closing bracket: with "=" it is an entry of the current section.
    const auto doc = Parse("[S]\n[abc=1\n[\n");
    EXPECT_EQ(Value(doc, "S", "[abc"), "1");
    EXPECT_EQ(doc.GetSections().size(), 1u);
}

TEST(IniParsing, GbkTrailBytesThatLookLikeSyntaxDoNotSplitCharacters) {
    // 0xD5 0x5D is one character whose second byte is ']', 0x88 0x5B one whose second is '['.
    // "[K" + 0xD5 0x5D ends in a ']' byte but is no header.
    const std::string text = "[S]\nK=\xD5\x5D\n\x88\x5BL]=v\n[K\xD5\x5D\n";
    const auto doc = Parse(text);
    const ks::IniSection* s = doc.FindSection("S");
    ASSERT_NE(s, nullptr);
    ASSERT_EQ(s->GetEntries().size(), 2u);
    EXPECT_EQ(ks::SerializeIni(doc), "[S]\r\nK=\xD5\x5D\r\n\x88\x5BL]=v\r\n");
}

TEST(IniParsing, OverlongLineIsSkippedWholeAndParsingGoesOn) {
    const std::string longValue(ks::kIniMaxLineBytes + 10, 'x');
    ks::IniParseReport report;
    const auto doc = Parse("[S]\nA=1\nB=" + longValue + "\nC=3\n", &report);
    EXPECT_EQ(Value(doc, "S", "A"), "1");
    EXPECT_EQ(Value(doc, "S", "B"), "<no entry>");
    EXPECT_EQ(Value(doc, "S", "C"), "3");
    EXPECT_EQ(report.overlongLines, 1u);
    EXPECT_EQ(report.firstOverlongLine, 3u);
}

TEST(IniParsing, BinaryInputDoesNotCrash) {
    std::string junk;
    uint32_t x = 12345;
    for (int i = 0; i < 200000; ++i) {
        x = x * 1103515245u + 12345u;
        junk += static_cast<char>(x >> 24);
    }
    junk += "\n[S]\nk=v\n";
    const auto doc = Parse(junk);
    EXPECT_EQ(Value(doc, "S", "k"), "v");
}

TEST(IniParsing, ParsesFromABufferWithoutTerminator) {
    const char bytes[] = {'[', 'S', ']', '\n', 'a', '=', '1', '2'};
    ks::IniDocument doc;
    ks::ParseIni(bytes, 7, doc);  // the '2' lies outside the given length
    EXPECT_EQ(Value(doc, "S", "a"), "1");
    ks::ParseIni(nullptr, 0, doc);
    EXPECT_TRUE(doc.Empty());
}

TEST(IniParsing, Utf8FileWithByteOrderMarkIsReadAsUtf8) {
    const auto doc = Parse("\xEF\xBB\xBF[S]\nP=\xE4\xB8\xAD\n");
    EXPECT_EQ(Value(doc, "S", "P"), "\xE4\xB8\xAD");
}

TEST(IniWriting, SortedCaseInsensitivelyWithCrLfAndNoBlankLines) {
    const auto doc = Parse("; top\n[system]\nb=2\nA=1\n[Language]\nSelected=0\n\n[B]\nx=\n");
    EXPECT_EQ(ks::SerializeIni(doc),
              "[B]\r\nx=\r\n[Language]\r\nSelected=0\r\n[system]\r\nA=1\r\nb=2\r\n");
}

TEST(IniWriting, LineBreaksInsideValuesCannotInjectEntries) {
    ks::IniDocument doc;
    doc.GetOrAddSection("S").Set("Path", "a\r\n[Evil]\nx=1");
    const std::string text = ks::SerializeIni(doc);
    ks::IniDocument again;
    ks::ParseIni(text.data(), text.size(), again);
    EXPECT_EQ(again.GetSections().size(), 1u);
    EXPECT_EQ(Value(again, "S", "Path"), "a  [Evil] x=1");
}

TEST(IniNameOrder, FoldsOnlyAsciiLettersAndSortsLikeUtf16) {
    ks::IniNameLess less;
    EXPECT_FALSE(less("ABC", "abc"));
    EXPECT_FALSE(less("abc", "ABC"));
    EXPECT_TRUE(less("_", "a"));  // '_' (0x5F) sorts below 'a' once 'A' is folded
    EXPECT_TRUE(less("a", "ab"));
    // U+1F600 (surrogates D83D DE00) sorts below U+E000 in UTF-16 order.
    EXPECT_TRUE(less("\xF0\x9F\x98\x80", "\xEE\x80\x80"));
    EXPECT_TRUE(less("\xED\x9F\xBF", "\xF0\x9F\x98\x80"));  // U+D7FF below it
}

TEST(IniDocumentEdits, EmptyKeysAreRefusedAndLookupsTrim) {
    ks::IniDocument doc;
    ks::IniSection& s = doc.GetOrAddSection(" \tS ");
    EXPECT_EQ(&s, doc.FindSection("s"));
    EXPECT_FALSE(s.Set(" \t", "x"));
    EXPECT_TRUE(s.Set("  Key ", "v"));
    ASSERT_NE(s.Find("KEY"), nullptr);
    EXPECT_EQ(*s.Find("\tkey"), "v");
    EXPECT_EQ(s.GetEntries().begin()->first, "Key");
}

}  // namespace
