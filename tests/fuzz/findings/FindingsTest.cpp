#include <gtest/gtest.h>

#include <string>

#include "support/IniDocument.h"

namespace {

// INI texts whose entries were lost or changed by writing the document and reading it again.
struct IniRoundTrip {
    const char* what;
    std::string text;
};

const IniRoundTrip kIniRoundTrips[] = {
    {"a key of a CR alone", std::string("[System]\n\r=ForceWrite=0\n")},
    {"a CR inside a key next to the same key with a blank", "[s]\na\rb=1\na b=2\n"},
    {"a CR inside a section name", "[a\rb]\nk=v\n"},
    {"a CR inside a value", "[s]\nk=1\r2\r\n"},
};

class IniRoundTripFinding : public ::testing::TestWithParam<IniRoundTrip> {};

TEST_P(IniRoundTripFinding, KeepsEveryEntry) {
    const std::string& text = GetParam().text;
    ks::IniDocument first;
    ks::ParseIni(text.data(), text.size(), first);
    ks::IniDocument again;
    ks::ParseIniUtf8(ks::SerializeIniUtf8(first), again);
    ASSERT_EQ(again.GetSections().size(), first.GetSections().size());
    for (const auto& [name, section] : first.GetSections()) {
        const ks::IniSection* other = again.FindSection(name);
        ASSERT_NE(other, nullptr) << name;
        EXPECT_EQ(other->GetEntries(), section.GetEntries()) << name;
    }
}

INSTANTIATE_TEST_SUITE_P(Fuzz, IniRoundTripFinding, ::testing::ValuesIn(kIniRoundTrips),
                         [](const auto& param) { return std::to_string(param.index); });

}  // namespace
