// UTF-16 at the Windows API edge: text is UTF-8 everywhere else. Built on Windows only.
#pragma once

#include <string>
#include <string_view>

namespace ks {

// UTF-8 to UTF-16; invalid bytes become U+FFFD.
std::wstring WideFromUtf8(std::string_view text);
// UTF-16 to UTF-8; unpaired surrogates become U+FFFD.
std::string Utf8FromWide(std::wstring_view text);
// A path for the W calls: UTF-16 with '/' turned into '\'.
std::wstring WidePath(const std::string& path);

}  // namespace ks
