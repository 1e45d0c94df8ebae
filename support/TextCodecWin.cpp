// Code page 936 and the system's ANSI code page through MultiByteToWideChar and
// WideCharToMultiByte, with the same replacement rules as the iconv side.
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "support/TextCodec.h"
#include "support/Utf8Decode.h"
#include "support/WideText.h"

namespace ks {

using namespace textcodec;

namespace {

constexpr UINT kGbk = 936;

void AppendUtf8(uint32_t cp, std::string& out) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

// One character of the code page from `len` bytes, or false when they are not one. Windows
// maps the user-defined areas of code page 936 to the private use area; those are no text.
bool DecodeOne(UINT codePage, const char* bytes, int len, std::string& out) {
    wchar_t wide[2];
    const int n = ::MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, bytes, len, wide, 2);
    if (n != 1 || (wide[0] >= 0xE000 && wide[0] <= 0xF8FF)) {
        return false;
    }
    AppendUtf8(wide[0], out);
    return true;
}

// Encodes one code point; false when the code page has no form for it.
bool EncodeOne(UINT codePage, uint32_t cp, std::string& out) {
    wchar_t wide[2];
    int units = 1;
    if (cp >= 0x10000) {
        wide[0] = static_cast<wchar_t>(0xD800 + ((cp - 0x10000) >> 10));
        wide[1] = static_cast<wchar_t>(0xDC00 + ((cp - 0x10000) & 0x3FF));
        units = 2;
    } else {
        wide[0] = static_cast<wchar_t>(cp);
    }
    char bytes[8];
    BOOL usedDefault = FALSE;
    // UTF-7 and UTF-8 code pages take no default-character arguments.
    const bool plain = codePage == CP_UTF8 || codePage == CP_UTF7;
    const int n =
        ::WideCharToMultiByte(codePage, plain ? 0 : WC_NO_BEST_FIT_CHARS, wide, units, bytes,
                              sizeof bytes, nullptr, plain ? nullptr : &usedDefault);
    if (n <= 0 || usedDefault) {
        return false;
    }
    out.append(bytes, static_cast<std::size_t>(n));
    return true;
}

std::string EncodeText(UINT codePage, std::string_view text) {
    std::string out;
    out.reserve(text.size());
    WalkUtf8(text, out, [codePage](const Utf8Char& c, std::string& o) {
        if (!c.valid || !EncodeOne(codePage, c.codePoint, o)) {
            o += '?';
        }
    });
    return out;
}

}  // namespace

void textcodec::AppendGbkAsUtf8(const char* data, std::size_t size, std::string& out) {
    WalkGbk(data, size, out, [](const char* bytes, std::size_t n, std::string& o) {
        if (!DecodeOne(kGbk, bytes, static_cast<int>(n), o)) {
            o += kReplacementUtf8;
        }
    });
}

std::string Utf8ToGbk(std::string_view text) {
    return EncodeText(kGbk, text);
}

std::string EnvironmentCharset() {
    const UINT acp = ::GetACP();
    if (acp == CP_UTF8) {
        return "UTF-8";
    }
    char name[16];
    std::snprintf(name, sizeof name, "CP%u", acp);
    return name;
}

bool Utf8ToCharset(std::string_view text, const std::string& charset, std::string* out) {
    if (out == nullptr || !IsValidUtf8(text)) {
        return false;
    }
    if (KeepsUtf8(charset)) {
        *out = std::string(text);
        return true;
    }
    if (charset.size() < 3 || (charset[0] != 'C' && charset[0] != 'c') ||
        (charset[1] != 'P' && charset[1] != 'p')) {
        return false;
    }
    char* end = nullptr;
    const unsigned long codePage = std::strtoul(charset.c_str() + 2, &end, 10);
    if (end == nullptr || *end != '\0' || codePage == 0 || codePage > 65535 ||
        !::IsValidCodePage(static_cast<UINT>(codePage))) {
        return false;
    }
    *out = EncodeText(static_cast<UINT>(codePage), text);
    return true;
}

}  // namespace ks
