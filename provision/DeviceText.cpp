#include "provision/DeviceText.h"

#include "support/TextCodec.h"

namespace devtext {

namespace {

void AppendUtf8(std::string* out, uint32_t cp) {
    if (cp < 0x80) {
        out->push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out->push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out->push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out->push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out->push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

}  // namespace

std::string CodePageToUtf8(const uint8_t* data, size_t length) {
    if (data == nullptr || length == 0) {
        return std::string();
    }
    return ks::GbkToUtf8(reinterpret_cast<const char*>(data), length);
}

std::string Utf16LeToUtf8(const uint8_t* data, size_t maxUnits) {
    std::string out;
    size_t i = 0;
    while (i < maxUnits) {
        uint32_t u =
            static_cast<uint32_t>(data[2 * i]) | (static_cast<uint32_t>(data[2 * i + 1]) << 8);
        if (u == 0) {
            break;
        }
        ++i;
        if (u >= 0xD800 && u <= 0xDBFF) {
            if (i < maxUnits) {
                uint32_t lo = static_cast<uint32_t>(data[2 * i]) |
                              (static_cast<uint32_t>(data[2 * i + 1]) << 8);
                if (lo >= 0xDC00 && lo <= 0xDFFF) {
                    ++i;
                    AppendUtf8(&out, 0x10000 + ((u - 0xD800) << 10) + (lo - 0xDC00));
                    continue;
                }
            }
            AppendUtf8(&out, 0xFFFD);
        } else if (u >= 0xDC00 && u <= 0xDFFF) {
            AppendUtf8(&out, 0xFFFD);
        } else {
            AppendUtf8(&out, u);
        }
    }
    return out;
}

size_t Utf16Length(const std::string& utf8) {
    return ks::Utf8ToUtf16Le(utf8).size() / 2;
}

std::string CutAtZero(const std::string& text) {
    const size_t z = text.find('\0');
    return z == std::string::npos ? text : text.substr(0, z);
}

std::string Printable(const std::string& text) {
    std::string out = text;
    for (char& c : out) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7F) {
            c = '?';
        }
    }
    return out;
}

}  // namespace devtext
