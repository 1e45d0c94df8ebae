// UTF-16 at the Windows API edge: text is UTF-8 everywhere else. Built on Windows only.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace ks {

// UTF-8 to UTF-16; invalid bytes become U+FFFD.
std::wstring WideFromUtf8(std::string_view text);
// UTF-16 to UTF-8; unpaired surrogates become U+FFFD.
std::string Utf8FromWide(std::wstring_view text);
// A path for the W calls: UTF-16 with '/' turned into '\'. From kLongPathFrom characters on it
// is made absolute and given the \\?\ prefix (\\?\UNC\ for a share), so that files and folders
// beyond MAX_PATH (260) open on every Windows, with or without long-path support switched on.
inline constexpr std::size_t kLongPathFrom = 248;  // CreateDirectoryW's limit is MAX_PATH - 12
std::wstring WidePath(const std::string& path);

}  // namespace ks
