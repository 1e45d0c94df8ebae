// Cutting a line of UTF-8 text to the room a face has for it: the longest start that fits,
// ended at a character boundary (never inside a character's bytes) and followed by "…". The
// face says what fits: pixels for the Qt and Windows windows, columns for a console.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

namespace ks {

inline constexpr std::string_view kEllipsis = "\xE2\x80\xA6";

// `text` itself when fits(text); otherwise the longest start of it that ends at a UTF-8 character
// boundary and fits with kEllipsis after it, followed by kEllipsis (kEllipsis alone when no start
// does). `fits` must be monotone (a longer text never fits where a shorter one does not); it is
// called about log2(characters) + 1 times.
std::string ElideUtf8(std::string_view text, const std::function<bool(std::string_view)>& fits);

// Columns a terminal gives the text: two for East Asian wide and full-width characters, one for
// the others (each character counted once, whatever its bytes).
std::size_t Utf8Columns(std::string_view text);

}  // namespace ks
