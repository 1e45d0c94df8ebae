// Text helpers of kdbtool: strict number and list parsing, hex, JSON strings.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "keydb/KeyFileWriter.h"

namespace kdbtool {

// Decimal digits only, no sign, no blanks; false when out of [0, max].
bool ParseUnsigned(const std::string& text, uint64_t max, uint64_t* value);
// "0,5,7-9": indices and inclusive ranges; every index must lie below limit.
bool ParseIndexList(const std::string& text, uint32_t limit, std::vector<uint32_t>* indices,
                    std::string* error);
// Exactly 2 * size hex digits.
bool ParseHex(const std::string& text, uint8_t* out, size_t size);
// "YYYY-MM-DD hh:mm:ss" with a real calendar date and time of day.
bool ParseTime(const std::string& text, KeyFileTime* time);
std::string Hex(const uint8_t* data, size_t size);
// One argument of a command that takes one file, not among the options the command knows: it
// becomes *path, unless it looks like an option or a file was given before (false, said on
// standard error as "kdbtool <command>: ...").
bool TakeFileArgument(const char* command, const std::string& arg, std::string* path);
// A JSON string literal (quotes included); bytes that are not UTF-8 become U+FFFD.
std::string JsonString(const std::string& text);

}  // namespace kdbtool
