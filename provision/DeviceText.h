// Text that comes from the device: 8-bit code-page bytes (serial numbers, parameter-file names)
// and UTF-16LE (GPT partition names), turned into UTF-8 for use in memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace devtext {

// Converts length bytes of device text (code page 936) to UTF-8. Embedded zero bytes are
// converted like any other character; bytes that are no valid text become U+FFFD.
std::string CodePageToUtf8(const uint8_t* data, size_t length);

// Converts up to maxUnits UTF-16LE code units, stopping at the first zero unit. Unpaired
// surrogates become U+FFFD. data must hold 2 * maxUnits bytes.
std::string Utf16LeToUtf8(const uint8_t* data, size_t maxUnits);

// Number of UTF-16 code units the UTF-8 text needs (characters above U+FFFF count two).
size_t Utf16Length(const std::string& utf8);

// The text up to (not including) its first zero byte.
std::string CutAtZero(const std::string& text);

// A copy fit for a single log line: control characters and DEL are replaced by '?'.
std::string Printable(const std::string& text);

}  // namespace devtext
