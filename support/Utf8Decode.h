// What the code page conversions of both platforms share: UTF-8 decoding and the shape of code
// page 936 byte pairs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace ks::textcodec {

inline constexpr char kReplacementUtf8[] = "\xEF\xBF\xBD";

struct Utf8Char {
    uint32_t codePoint;
    std::size_t length;  // bytes used; 1 for an invalid byte
    bool valid;
};

inline Utf8Char DecodeUtf8(const unsigned char* p, std::size_t left) {
    const unsigned char b = p[0];
    if (b < 0x80) {
        return {b, 1, true};
    }
    std::size_t length = 0;
    uint32_t cp = 0;
    uint32_t min = 0;
    if (b >= 0xC2 && b <= 0xDF) {
        length = 2;
        cp = b & 0x1Fu;
        min = 0x80;
    } else if (b >= 0xE0 && b <= 0xEF) {
        length = 3;
        cp = b & 0x0Fu;
        min = 0x800;
    } else if (b >= 0xF0 && b <= 0xF4) {
        length = 4;
        cp = b & 0x07u;
        min = 0x10000;
    } else {
        return {0xFFFD, 1, false};
    }
    if (left < length) {
        return {0xFFFD, 1, false};
    }
    for (std::size_t i = 1; i < length; ++i) {
        if ((p[i] & 0xC0u) != 0x80u) {
            return {0xFFFD, 1, false};
        }
        cp = (cp << 6) | (p[i] & 0x3Fu);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
        return {0xFFFD, 1, false};
    }
    return {cp, length, true};
}

inline bool IsGbkLead(unsigned char b) {
    return b >= 0x81 && b <= 0xFE;
}
inline bool IsGbkTrail(unsigned char b) {
    return (b >= 0x40 && b <= 0x7E) || (b >= 0x80 && b <= 0xFE);
}
// Appends code page 936 text (not empty) as UTF-8, each byte that is not part of a character as
// U+FFFD; through the platform's own tables, without them only ASCII is kept.
void AppendGbkAsUtf8(const char* data, std::size_t size, std::string& out);

// Walks UTF-8 text: ASCII passes as it is; every other character (or invalid byte) goes to
// encode(character, out).
template <typename Encode>
void WalkUtf8(std::string_view text, std::string& out, Encode encode) {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    std::size_t i = 0;
    while (i < text.size()) {
        if (p[i] < 0x80) {
            out += static_cast<char>(p[i]);
            ++i;
            continue;
        }
        const Utf8Char c = DecodeUtf8(p + i, text.size() - i);
        encode(c, out);
        i += c.length;
    }
}

// 2 for a lead and trail byte pair at p, otherwise 1.
inline std::size_t GbkLength(const unsigned char* p, std::size_t left) {
    return left >= 2 && IsGbkLead(p[0]) && IsGbkTrail(p[1]) ? 2 : 1;
}

// Walks code page 936 text: ASCII passes as it is; each lead and trail byte pair, and each other
// byte on its own, goes to decode(bytes, length, out), which appends it as UTF-8.
template <typename Decode>
void WalkGbk(const char* data, std::size_t size, std::string& out, Decode decode) {
    const auto* p = reinterpret_cast<const unsigned char*>(data);
    std::size_t i = 0;
    while (i < size) {
        if (p[i] < 0x80) {
            out += static_cast<char>(p[i]);
            ++i;
            continue;
        }
        const std::size_t n = GbkLength(p + i, size - i);
        decode(data + i, n, out);
        i += n;
    }
}

}  // namespace ks::textcodec
