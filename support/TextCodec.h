// Conversions at the edges: code page 936 (GBK) files and UTF-16LE logs. In memory all text is
// UTF-8.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace ks {

// Decodes code page 936 bytes. A byte sequence that is not valid code page 936 becomes one
// U+FFFD: a lead byte with a byte of the trail range after it is taken as one unmapped pair,
// any other bad byte alone.
std::string GbkToUtf8(const char* data, std::size_t size);
inline std::string GbkToUtf8(std::string_view bytes) {
    return GbkToUtf8(bytes.data(), bytes.size());
}

// Encodes to code page 936. A character with no code page 936 form, and a byte that is not valid
// UTF-8, become '?'.
std::string Utf8ToGbk(std::string_view text);

// The character set of the environment's locale (LC_ALL / LC_CTYPE / LANG), as nl_langinfo names
// it ("UTF-8", "GB18030", "ANSI_X3.4-1968"); asked without changing the program's own locale.
std::string EnvironmentCharset();
// True for a charset name that means UTF-8, and for plain ASCII (which cannot hold the station's
// texts: text for it stays UTF-8).
bool KeepsUtf8(std::string_view charset);
// Converts UTF-8 text to the charset; characters it lacks become '?'. False (out untouched) when
// iconv does not know the charset or the text is not valid UTF-8.
bool Utf8ToCharset(std::string_view text, const std::string& charset, std::string* out);

// Encodes to UTF-16 little-endian bytes (no byte-order mark); invalid UTF-8 becomes U+FFFD.
std::string Utf8ToUtf16Le(std::string_view text);

// True when text is well-formed UTF-8.
bool IsValidUtf8(std::string_view text);

// The length of the longest prefix of text that is at most maxBytes long and does not end inside
// a UTF-8 sequence.
std::size_t Utf8PrefixBytes(std::string_view text, std::size_t maxBytes);

// The length of text without a UTF-8 sequence that its end cuts off.
std::size_t Utf8WithoutCutTail(std::string_view text);

// The length in bytes of the longest prefix of text whose UTF-16 form has at most maxUnits code
// units, cut only between characters.
std::size_t Utf8PrefixForUtf16Units(std::string_view text, std::size_t maxUnits);

}  // namespace ks
