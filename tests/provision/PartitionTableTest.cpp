// Parsing of the two partition-table forms a device may carry.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "provision/MiscLocation.h"

namespace {

std::vector<PartitionEntry> Parse(const std::string& text, bool* found = nullptr) {
    std::vector<PartitionEntry> list{{"stale", 1, 1}};
    const bool ok = ParseParameter(text.data(), text.size(), &list);
    if (found != nullptr) {
        *found = ok;
    }
    return list;
}

void ExpectEntry(const PartitionEntry& e, const std::string& name, uint32_t first, uint32_t count) {
    EXPECT_EQ(e.name, name);
    EXPECT_EQ(e.firstSector, first) << name;
    EXPECT_EQ(e.sectorCount, count) << name;
}

TEST(ParameterText, ExampleLineYieldsParameterEntryAndEveryPiece) {
    bool found = false;
    const auto list = Parse(
        "FIRMWARE_VER:8.1\nCMDLINE:console=ttyFIQ0 "
        "mtdparts=zr29xxnand:0x00002000@0x00004000(uboot),0x00002000@0x00008000(misc),-@"
        "0x0000a000(userdata)\n",
        &found);
    EXPECT_TRUE(found);
    ASSERT_EQ(list.size(), 4u);
    ExpectEntry(list[0], "parameter", 0, 0x4000);
    ExpectEntry(list[1], "uboot", 0x4000, 0x2000);
    ExpectEntry(list[2], "misc", 0x8000, 0x2000);
    ExpectEntry(list[3], "userdata", 0xA000, 0xFFFFFFFF);
}

TEST(ParameterText, BaseAddressShiftsTheParameterEntryOnly) {
    const auto list = Parse(
        "CMDLINE: mtdpart.addr=0x1000  x mtdparts=a:0x10@0x3000(boot),0x400@0x4000(misc)\r\n");
    ASSERT_EQ(list.size(), 3u);
    ExpectEntry(list[0], "parameter", 0x1000, 0x2000);
    ExpectEntry(list[1], "boot", 0x3000, 0x10);
    ExpectEntry(list[2], "misc", 0x4000, 0x400);
}

TEST(ParameterText, DecimalAndOctalBaseAddresses) {
    auto list = Parse("mtdpart.addr=4096 mtdparts=a:0x10@0x2000(boot),\n");
    ASSERT_EQ(list.size(), 2u);
    ExpectEntry(list[0], "parameter", 4096, 0x2000 - 4096);
    list = Parse("mtdpart.addr=010 mtdparts=a:0x10@0x20(boot),\n");
    ASSERT_EQ(list.size(), 2u);
    ExpectEntry(list[0], "parameter", 8, 0x18);
}

TEST(ParameterText, SinglePieceWithoutCommaHasNoParameterEntry) {
    const auto list = Parse("mtdparts=a:0x400@0x4000(misc)");
    ASSERT_EQ(list.size(), 1u);
    ExpectEntry(list[0], "misc", 0x4000, 0x400);
}

TEST(ParameterText, MalformedPiecesAreSkippedSilently) {
    const auto list = Parse(
        "mtdparts=a:0X10@0x100(upper),10@0x100(noprefix),0x10@0X100(upperoff),0x10(noat),"
        "0x10@0x100noparen,0x10@0x100(noclose,0x10@0x100(  ),0x1ffffffff@0x100(huge),"
        "0x20@0x200( good ),0x30@0x300(tail)junk");
    ASSERT_EQ(list.size(), 3u);
    ExpectEntry(list[0], "parameter", 0, 0x200);
    ExpectEntry(list[1], "good", 0x200, 0x20);
    ExpectEntry(list[2], "tail", 0x300, 0x30);
}

TEST(ParameterText, DashAnywhereInTheSizeMeansToTheEnd) {
    const auto list = Parse("mtdparts=a:0x10@0x100(a), 0x-1 @0x200(b),\n");
    ASSERT_EQ(list.size(), 3u);
    ExpectEntry(list[2], "b", 0x200, 0xFFFFFFFF);
}

TEST(ParameterText, MtdpartsWithoutColonGivesTrueAndAnEmptyList) {
    bool found = false;
    const auto list = Parse("mtdparts=nothing here\nother line\n", &found);
    EXPECT_TRUE(found);
    EXPECT_TRUE(list.empty());
}

TEST(ParameterText, OnlyTheFirstLineWithMtdpartsAndColonIsUsed) {
    const auto list = Parse(
        "a mtdparts without colon\n\n"
        "mtdparts=x:0x10@0x100(first),\n"
        "mtdparts=y:0x10@0x900(misc),\n");
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[1].name, "first");
}

TEST(ParameterText, NoMtdpartsLineGivesFalse) {
    bool found = true;
    const auto list = Parse("CMDLINE:console=ttyS0\nMTDPARTS=a:0x1@0x2(misc)\n", &found);
    EXPECT_FALSE(found);
    EXPECT_TRUE(list.empty());
}

TEST(ParameterText, TextEndsAtItsLengthOrFirstZeroByte) {
    const std::string text =
        std::string("mtdparts=a:0x10@0x100(aa),0x10@0x200(bb)") + '\0' + ",0x10@0x300(cc)";
    auto list = Parse(text);
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(list[2].name, "bb");
    // A length that cuts the line short is honoured too.
    std::vector<PartitionEntry> cut;
    ASSERT_TRUE(ParseParameter(text.data(), 27, &cut));
    ASSERT_EQ(cut.size(), 2u);
    EXPECT_EQ(cut[1].name, "aa");
}

TEST(ParameterText, CodePageNamesBecomeUtf8) {
    const auto list = Parse("mtdparts=a:0x10@0x100(\xc4\xe3),\n");
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[1].name, "\xe4\xbd\xa0");
}

// A 34-sector GPT image with the given entries (name, first, last).
struct GptSpec {
    std::u16string name;
    uint64_t first;
    uint64_t last;
};

std::vector<uint8_t> MakeGpt(const std::vector<GptSpec>& entries, uint32_t announced) {
    std::vector<uint8_t> b(misc_location::kGptBytes, 0);
    std::memcpy(b.data() + 512, "EFI PART", 8);
    std::memcpy(b.data() + 592, &announced, 4);
    for (size_t i = 0; i < entries.size(); ++i) {
        if (entries[i].name.empty() && entries[i].first == 0 && entries[i].last == 0) {
            continue;  // an unused (all-zero) entry
        }
        uint8_t* e = b.data() + 1024 + 128 * i;
        e[0] = 0xAF;  // some type GUID byte
        std::memcpy(e + 32, &entries[i].first, 8);
        std::memcpy(e + 40, &entries[i].last, 8);
        for (size_t k = 0; k < entries[i].name.size() && k < 36; ++k) {
            const char16_t u = entries[i].name[k];
            e[56 + 2 * k] = static_cast<uint8_t>(u);
            e[57 + 2 * k] = static_cast<uint8_t>(u >> 8);
        }
    }
    return b;
}

TEST(GptTable, EntriesUntilTheFirstEmptyOne) {
    const auto gpt =
        MakeGpt({{u"boot", 0x800, 0x17FF}, {u"MiSc", 0x1800, 0x27FF}, {u"", 0, 0}}, 128);
    std::vector<PartitionEntry> list;
    ASSERT_TRUE(ParseGpt(&list, gpt.data(), gpt.size()));
    ASSERT_EQ(list.size(), 2u);
    ExpectEntry(list[0], "boot", 0x800, 0x1000);
    ExpectEntry(list[1], "MiSc", 0x1800, 0x1000);
}

TEST(GptTable, ScanStopsAtEmptyEntryEvenWhenMoreAreAnnounced) {
    auto gpt = MakeGpt({{u"a", 34, 40}, {u"b", 41, 50}}, 128);
    // An entry after the empty one is never reached.
    gpt[1024 + 128 * 3] = 1;
    std::vector<PartitionEntry> list;
    ASSERT_TRUE(ParseGpt(&list, gpt.data(), gpt.size()));
    EXPECT_EQ(list.size(), 2u);
}

TEST(GptTable, AnnouncedCountBeyondTheSectorsReadIsCappedAt128) {
    std::vector<GptSpec> many;
    for (int i = 0; i < 128; ++i) {
        many.push_back({u"p" + std::u16string(1, static_cast<char16_t>(u'A' + i % 26)),
                        static_cast<uint64_t>(100 + i), static_cast<uint64_t>(100 + i)});
    }
    const auto gpt = MakeGpt(many, 0xFFFFFFFF);
    std::vector<PartitionEntry> list;
    // Exactly the 17408 bytes read: a parser that trusts the header would run past them.
    ASSERT_TRUE(ParseGpt(&list, gpt.data(), gpt.size()));
    EXPECT_EQ(list.size(), 128u);
    // A shorter buffer limits the scan further.
    ASSERT_TRUE(ParseGpt(&list, gpt.data(), 1024 + 128 * 5));
    EXPECT_EQ(list.size(), 5u);
}

TEST(GptTable, NameFillingAll36UnitsIsCutThere) {
    const std::u16string full(36, u'x');
    auto gpt = MakeGpt({{full, 1, 1}}, 1);
    std::vector<PartitionEntry> list;
    ASSERT_TRUE(ParseGpt(&list, gpt.data(), gpt.size()));
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].name, std::string(36, 'x'));
}

TEST(GptTable, NonAsciiAndBrokenUtf16Names) {
    const auto gpt = MakeGpt(
        {{u"\u4f60\U0001F600", 1, 1}, {std::u16string(1, char16_t{0xD800}) + u"z", 2, 2}}, 2);
    std::vector<PartitionEntry> list;
    ASSERT_TRUE(ParseGpt(&list, gpt.data(), gpt.size()));
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0].name, "\xe4\xbd\xa0\xf0\x9f\x98\x80");
    EXPECT_EQ(list[1].name, "\xef\xbf\xbdz");
}

TEST(GptTable, CountUsesLow32BitsOfLastMinusFirstPlusOne) {
    const auto gpt = MakeGpt({{u"wrap", 0x1'0000'0010ull, 0x2'0000'000Full}}, 1);
    std::vector<PartitionEntry> list;
    ASSERT_TRUE(ParseGpt(&list, gpt.data(), gpt.size()));
    ASSERT_EQ(list.size(), 1u);
    ExpectEntry(list[0], "wrap", 0x10, 0x0);
}

TEST(GptTable, MissingSignatureIsRefusedAndClearsTheList) {
    auto gpt = MakeGpt({{u"misc", 1, 200}}, 1);
    gpt[519] = 'X';
    std::vector<PartitionEntry> list{{"old", 1, 1}};
    EXPECT_FALSE(ParseGpt(&list, gpt.data(), gpt.size()));
    EXPECT_TRUE(list.empty());
    EXPECT_FALSE(ParseGpt(&list, gpt.data(), 100));
}

}  // namespace
