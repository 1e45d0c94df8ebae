#include "support/TextCodec.h"

#include <cstdint>

#include "support/Utf8Decode.h"

namespace ks {

using textcodec::DecodeUtf8;
using textcodec::Utf8Char;

std::string GbkToUtf8(const char* data, std::size_t size) {
    std::string out;
    if (data == nullptr || size == 0) {
        return out;
    }
    out.reserve(size + size / 2);
    textcodec::AppendGbkAsUtf8(data, size, out);
    return out;
}

std::string Utf8ToUtf16Le(std::string_view text) {
    std::string out;
    out.reserve(text.size() * 2);
    auto put = [&out](uint32_t unit) {
        out += static_cast<char>(unit & 0xFFu);
        out += static_cast<char>((unit >> 8) & 0xFFu);
    };
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    std::size_t i = 0;
    while (i < text.size()) {
        const Utf8Char c = DecodeUtf8(p + i, text.size() - i);
        i += c.length;
        if (c.codePoint >= 0x10000) {
            const uint32_t v = c.codePoint - 0x10000;
            put(0xD800 + (v >> 10));
            put(0xDC00 + (v & 0x3FFu));
        } else {
            put(c.codePoint);
        }
    }
    return out;
}

bool IsValidUtf8(std::string_view text) {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    std::size_t i = 0;
    while (i < text.size()) {
        const Utf8Char c = DecodeUtf8(p + i, text.size() - i);
        if (!c.valid) {
            return false;
        }
        i += c.length;
    }
    return true;
}

std::size_t Utf8PrefixBytes(std::string_view text, std::size_t maxBytes) {
    if (text.size() <= maxBytes) {
        return text.size();
    }
    std::size_t cut = maxBytes;
    // Step back over continuation bytes to the start of the character cut in two.
    std::size_t back = 0;
    while (cut > 0 && back < 3 && (static_cast<unsigned char>(text[cut]) & 0xC0u) == 0x80u) {
        --cut;
        ++back;
    }
    return cut;
}

std::size_t Utf8WithoutCutTail(std::string_view text) {
    const std::size_t size = text.size();
    for (std::size_t back = 1; back <= 4 && back <= size; ++back) {
        const auto b = static_cast<unsigned char>(text[size - back]);
        if ((b & 0xC0u) == 0x80u) {
            continue;  // a continuation byte: look further back for its lead
        }
        const std::size_t need = b >= 0xF0 ? 4 : b >= 0xE0 ? 3 : b >= 0xC0 ? 2 : 1;
        return need > back ? size - back : size;
    }
    return size;
}

std::size_t Utf8PrefixForUtf16Units(std::string_view text, std::size_t maxUnits) {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    std::size_t i = 0;
    std::size_t units = 0;
    while (i < text.size()) {
        const Utf8Char c = DecodeUtf8(p + i, text.size() - i);
        const std::size_t need = c.codePoint >= 0x10000 ? 2 : 1;
        if (units + need > maxUnits) {
            break;
        }
        units += need;
        i += c.length;
    }
    return i;
}

bool KeepsUtf8(std::string_view charset) {
    std::string lower;
    for (const char c : charset) {
        if (c != '-' && c != '_') {
            lower += (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
        }
    }
    return lower.empty() || lower == "utf8" || lower == "ansix3.41968" || lower == "ascii" ||
           lower == "usascii";
}

}  // namespace ks
