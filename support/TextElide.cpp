#include "support/TextElide.h"

#include <cstdint>
#include <vector>

namespace ks {

namespace {

bool IsContinuation(char byte) {
    return (static_cast<unsigned char>(byte) & 0xC0) == 0x80;
}

// The code point starting at text[i] (bytes of a broken sequence count as one character each).
uint32_t CodePointAt(std::string_view text, std::size_t i, std::size_t* length) {
    const auto lead = static_cast<unsigned char>(text[i]);
    std::size_t n = lead < 0x80 ? 1 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
    if (i + n > text.size()) {
        n = 1;
    }
    uint32_t cp = n == 1 ? lead : lead & (0x7F >> n);
    for (std::size_t k = 1; k < n; ++k) {
        if (!IsContinuation(text[i + k])) {
            *length = 1;
            return lead;
        }
        cp = (cp << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
    }
    *length = n;
    return cp;
}

bool IsWide(uint32_t cp) {
    return (cp >= 0x1100 && cp <= 0x115F) || (cp >= 0x2E80 && cp <= 0x303E) ||
           (cp >= 0x3041 && cp <= 0x33FF) || (cp >= 0x3400 && cp <= 0x4DBF) ||
           (cp >= 0x4E00 && cp <= 0x9FFF) || (cp >= 0xA000 && cp <= 0xA4CF) ||
           (cp >= 0xAC00 && cp <= 0xD7A3) || (cp >= 0xF900 && cp <= 0xFAFF) ||
           (cp >= 0xFE30 && cp <= 0xFE4F) || (cp >= 0xFF00 && cp <= 0xFF60) ||
           (cp >= 0xFFE0 && cp <= 0xFFE6) || (cp >= 0x20000 && cp <= 0x3FFFD);
}

}  // namespace

std::string ElideUtf8(std::string_view text, const std::function<bool(std::string_view)>& fits) {
    if (fits(text)) {
        return std::string(text);
    }
    // Every length at which a character ends, shortest first.
    std::vector<std::size_t> ends;
    for (std::size_t i = 0; i < text.size();) {
        std::size_t length = 1;
        CodePointAt(text, i, &length);
        i += length;
        ends.push_back(i);
    }
    std::string candidate;
    auto fitsWithEllipsis = [&](std::size_t length) {
        candidate.assign(text.substr(0, length));
        candidate += kEllipsis;
        return fits(candidate);
    };
    // The most characters whose start fits with the ellipsis (0: none).
    std::size_t low = 0;
    std::size_t high = ends.size();
    while (low < high) {
        const std::size_t mid = (low + high + 1) / 2;
        if (fitsWithEllipsis(ends[mid - 1])) {
            low = mid;
        } else {
            high = mid - 1;
        }
    }
    std::string out(text.substr(0, low == 0 ? 0 : ends[low - 1]));
    out += kEllipsis;
    return out;
}

std::size_t Utf8Columns(std::string_view text) {
    std::size_t columns = 0;
    for (std::size_t i = 0; i < text.size();) {
        std::size_t length = 1;
        columns += IsWide(CodePointAt(text, i, &length)) ? 2 : 1;
        i += length;
    }
    return columns;
}

}  // namespace ks
