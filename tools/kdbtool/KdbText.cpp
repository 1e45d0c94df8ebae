#include "tools/kdbtool/KdbText.h"
#include "support/DecimalText.h"
#include "support/HexDigit.h"

#include <cstdio>

namespace kdbtool {

namespace {

bool IsLeapYear(int year) {
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

int DaysInMonth(int year, int month) {
    static const int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && IsLeapYear(year) ? 29 : kDays[month - 1];
}

// Length of the UTF-8 sequence at s[i], or 0 when it is not well formed.
size_t Utf8Length(const std::string& s, size_t i) {
    const auto byte = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned char c = byte(i);
    size_t len = 0;
    uint32_t cp = 0;
    if (c < 0x80) {
        return 1;
    } else if (c >= 0xC2 && c <= 0xDF) {
        len = 2;
        cp = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
        len = 3;
        cp = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
        len = 4;
        cp = c & 0x07;
    } else {
        return 0;
    }
    if (i + len > s.size()) {
        return 0;
    }
    for (size_t k = 1; k < len; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80) {
            return 0;
        }
        cp = (cp << 6) | (byte(i + k) & 0x3F);
    }
    if ((len == 3 && cp < 0x800) || (len == 4 && (cp < 0x10000 || cp > 0x10FFFF)) ||
        (cp >= 0xD800 && cp <= 0xDFFF)) {
        return 0;
    }
    return len;
}

}  // namespace

bool ParseUnsigned(const std::string& text, uint64_t max, uint64_t* value) {
    return ks::ParseDecimal(text, 20, max, value);
}

bool ParseIndexList(const std::string& text, uint32_t limit, std::vector<uint32_t>* indices,
                    std::string* error) {
    indices->clear();
    if (text.empty()) {
        return true;
    }
    size_t start = 0;
    while (start <= text.size()) {
        size_t comma = text.find(',', start);
        if (comma == std::string::npos) {
            comma = text.size();
        }
        const std::string item = text.substr(start, comma - start);
        const size_t dash = item.find('-');
        uint64_t first = 0;
        uint64_t last = 0;
        bool ok = false;
        if (dash == std::string::npos) {
            ok = ParseUnsigned(item, UINT32_MAX, &first);
            last = first;
        } else {
            ok = ParseUnsigned(item.substr(0, dash), UINT32_MAX, &first) &&
                 ParseUnsigned(item.substr(dash + 1), UINT32_MAX, &last) && first <= last;
        }
        if (!ok) {
            *error = "bad index list item \"" + item + "\"";
            return false;
        }
        if (last >= limit) {
            *error = "used index " + std::to_string(last) + " is not below the key count " +
                     std::to_string(limit);
            return false;
        }
        for (uint64_t i = first; i <= last; ++i) {
            indices->push_back(static_cast<uint32_t>(i));
        }
        start = comma + 1;
    }
    return true;
}

bool ParseHex(const std::string& text, uint8_t* out, size_t size) {
    if (text.size() != 2 * size) {
        return false;
    }
    for (size_t i = 0; i < size; ++i) {
        const int hi = ks::HexDigit(text[2 * i]);
        const int lo = ks::HexDigit(text[2 * i + 1]);
        if (hi < 0 || lo < 0) {
            return false;
        }
        out[i] = static_cast<uint8_t>(hi << 4 | lo);
    }
    return true;
}

bool ParseTime(const std::string& text, KeyFileTime* time) {
    // Fixed shape: YYYY-MM-DD hh:mm:ss
    static const char kShape[] = "dddd-dd-dd dd:dd:dd";
    if (text.size() != sizeof(kShape) - 1) {
        return false;
    }
    for (size_t i = 0; i < text.size(); ++i) {
        const bool digit = text[i] >= '0' && text[i] <= '9';
        if (kShape[i] == 'd' ? !digit : text[i] != kShape[i]) {
            return false;
        }
    }
    const auto num = [&](size_t pos, size_t len) {
        int v = 0;
        for (size_t i = 0; i < len; ++i) {
            v = v * 10 + (text[pos + i] - '0');
        }
        return v;
    };
    KeyFileTime t;
    t.year = num(0, 4);
    t.month = num(5, 2);
    t.day = num(8, 2);
    t.hour = num(11, 2);
    t.minute = num(14, 2);
    t.second = num(17, 2);
    if (t.month < 1 || t.month > 12 || t.day < 1 || t.day > DaysInMonth(t.year, t.month) ||
        t.hour > 23 || t.minute > 59 || t.second > 59) {
        return false;
    }
    *time = t;
    return true;
}

std::string Hex(const uint8_t* data, size_t size) {
    static const char kDigits[] = "0123456789abcdef";
    std::string out;
    out.reserve(2 * size);
    for (size_t i = 0; i < size; ++i) {
        out.push_back(kDigits[data[i] >> 4]);
        out.push_back(kDigits[data[i] & 0x0F]);
    }
    return out;
}

std::string JsonString(const std::string& text) {
    std::string out = "\"";
    size_t i = 0;
    while (i < text.size()) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c >= 0x80) {
            const size_t len = Utf8Length(text, i);
            if (len == 0) {
                out += "\\ufffd";
                ++i;
            } else {
                out.append(text, i, len);
                i += len;
            }
            continue;
        }
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (c < 0x20 || c == 0x7F) {
                    char esc[8];
                    std::snprintf(esc, sizeof(esc), "\\u%04x", c);
                    out += esc;
                } else {
                    out.push_back(static_cast<char>(c));
                }
        }
        ++i;
    }
    out += "\"";
    return out;
}

bool TakeFileArgument(const char* command, const std::string& arg, std::string* path) {
    if (arg.size() > 1 && arg[0] == '-') {
        std::fprintf(stderr, "kdbtool %s: unknown option \"%s\"\n", command, arg.c_str());
        return false;
    }
    if (!path->empty()) {
        std::fprintf(stderr, "kdbtool %s: more than one file given\n", command);
        return false;
    }
    *path = arg;
    return true;
}

}  // namespace kdbtool
