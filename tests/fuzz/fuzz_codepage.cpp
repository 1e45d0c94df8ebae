// Code page 936 conversion both ways and the UTF-8 length helpers: decoding gives well-formed
// UTF-8, text without replacement characters survives encoding and decoding unchanged, and every
// prefix length is cut between characters.
//
// Input: one byte, a limit for the prefix helpers, then the text.
#include <cstddef>
#include <cstdint>
#include <string>

#include "provision/DeviceText.h"
#include "support/TextCodec.h"
#include "tests/fuzz/FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Reader in(data, size);
    const size_t limit = in.U8();
    const auto rest = in.Rest();
    const std::string bytes(rest.begin(), rest.end());

    // Code page 936 to UTF-8 and back.
    const std::string text = ks::GbkToUtf8(bytes);
    FUZZ_CHECK(ks::IsValidUtf8(text));
    if (text.find("\xEF\xBF\xBD") == std::string::npos) {
        FUZZ_CHECK(ks::GbkToUtf8(ks::Utf8ToGbk(text)) == text);
    }
    FUZZ_CHECK(devtext::CodePageToUtf8(rest.data(), rest.size()) == text);

    // The same bytes taken as UTF-8 (valid or not).
    const std::string gbk = ks::Utf8ToGbk(bytes);
    FUZZ_CHECK(ks::IsValidUtf8(ks::GbkToUtf8(gbk)));
    const std::string utf16 = ks::Utf8ToUtf16Le(bytes);
    FUZZ_CHECK(utf16.size() % 2 == 0);
    const bool valid = ks::IsValidUtf8(bytes);
    if (valid) {
        FUZZ_CHECK(utf16.size() / 2 == devtext::Utf16Length(bytes));
    }
    const size_t prefix = ks::Utf8PrefixBytes(bytes, limit);
    FUZZ_CHECK(prefix <= limit && prefix <= bytes.size());
    const size_t whole = ks::Utf8WithoutCutTail(bytes);
    FUZZ_CHECK(whole <= bytes.size());
    const size_t units = ks::Utf8PrefixForUtf16Units(bytes, limit);
    FUZZ_CHECK(units <= bytes.size());
    if (valid) {
        FUZZ_CHECK(ks::IsValidUtf8(std::string_view(bytes).substr(0, prefix)));
        FUZZ_CHECK(whole == bytes.size());
        const std::string head = bytes.substr(0, units);
        FUZZ_CHECK(ks::IsValidUtf8(head) && devtext::Utf16Length(head) <= limit);
    }

    // UTF-16LE from the board (GPT names) to UTF-8.
    const std::string name = devtext::Utf16LeToUtf8(rest.data(), rest.size() / 2);
    FUZZ_CHECK(ks::IsValidUtf8(name));
    for (const char c : devtext::Printable(name)) {
        FUZZ_CHECK(static_cast<unsigned char>(c) >= 0x20 && c != 0x7F);
    }
    return 0;
}
