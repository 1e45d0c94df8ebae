#include "support/TextCodec.h"

#include <iconv.h>
#include <langinfo.h>
#include <locale.h>

#include <cerrno>
#include <cstdint>

namespace ks {

namespace {

constexpr char kReplacementUtf8[] = "\xEF\xBF\xBD";
const iconv_t kNoConverter = reinterpret_cast<iconv_t>(static_cast<intptr_t>(-1));

class Converter {
  public:
    // The first of the names that this system's iconv knows is used.
    Converter(const char* to, const char* from, const char* fromAlternative) {
        cd_ = ::iconv_open(to, from);
        if (cd_ == kNoConverter && fromAlternative != nullptr) {
            cd_ = ::iconv_open(to, fromAlternative);
        }
    }
    ~Converter() {
        if (cd_ != kNoConverter) {
            ::iconv_close(cd_);
        }
    }
    Converter(const Converter&) = delete;
    Converter& operator=(const Converter&) = delete;
    bool Valid() const { return cd_ != kNoConverter; }
    iconv_t Get() const { return cd_; }

  private:
    iconv_t cd_;
};

struct Utf8Char {
    uint32_t codePoint;
    std::size_t length;  // bytes used; 1 for an invalid byte
    bool valid;
};

Utf8Char DecodeUtf8(const unsigned char* p, std::size_t left) {
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

bool IsGbkLead(unsigned char b) {
    return b >= 0x81 && b <= 0xFE;
}
bool IsGbkTrail(unsigned char b) {
    return (b >= 0x40 && b <= 0x7E) || (b >= 0x80 && b <= 0xFE);
}

// Runs iconv over the input; onBad is told about each bad spot and returns how many input bytes
// to skip, having appended its replacement to out.
template <typename OnBad>
void Convert(iconv_t cd, const char* data, std::size_t size, std::string& out, OnBad onBad) {
    char* in = const_cast<char*>(data);
    std::size_t inLeft = size;
    char chunk[4096];
    while (inLeft > 0) {
        char* outPtr = chunk;
        std::size_t outLeft = sizeof(chunk);
        const std::size_t rc = ::iconv(cd, &in, &inLeft, &outPtr, &outLeft);
        const int err = errno;
        out.append(chunk, sizeof(chunk) - outLeft);
        if (rc != static_cast<std::size_t>(-1)) {
            break;
        }
        if (err == E2BIG) {
            continue;
        }
        // EILSEQ, or EINVAL for a sequence cut off by the end of the input.
        const std::size_t skip = onBad(reinterpret_cast<const unsigned char*>(in), inLeft, out);
        in += skip;
        inLeft -= skip;
        ::iconv(cd, nullptr, nullptr, nullptr, nullptr);
    }
}

}  // namespace

std::string GbkToUtf8(const char* data, std::size_t size) {
    std::string out;
    if (data == nullptr || size == 0) {
        return out;
    }
    out.reserve(size + size / 2);
    auto onBad = [](const unsigned char* p, std::size_t left, std::string& o) -> std::size_t {
        o += kReplacementUtf8;
        return (left >= 2 && IsGbkLead(p[0]) && IsGbkTrail(p[1])) ? 2 : 1;
    };
    Converter conv("UTF-8", "CP936", "GBK");
    if (conv.Valid()) {
        Convert(conv.Get(), data, size, out, onBad);
        return out;
    }
    // No code page 936 tables on this system: ASCII passes, everything else is replaced.
    const auto* p = reinterpret_cast<const unsigned char*>(data);
    std::size_t i = 0;
    while (i < size) {
        if (p[i] < 0x80) {
            out += static_cast<char>(p[i]);
            ++i;
        } else {
            i += onBad(p + i, size - i, out);
        }
    }
    return out;
}

std::string Utf8ToGbk(std::string_view text) {
    std::string out;
    if (text.empty()) {
        return out;
    }
    out.reserve(text.size());
    auto onBad = [](const unsigned char* p, std::size_t left, std::string& o) -> std::size_t {
        o += '?';
        return DecodeUtf8(p, left).length;
    };
    Converter conv("CP936", "UTF-8", nullptr);
    if (!conv.Valid()) {
        Converter alternative("GBK", "UTF-8", nullptr);
        if (alternative.Valid()) {
            Convert(alternative.Get(), text.data(), text.size(), out, onBad);
            return out;
        }
        const auto* p = reinterpret_cast<const unsigned char*>(text.data());
        std::size_t i = 0;
        while (i < text.size()) {
            if (p[i] < 0x80) {
                out += static_cast<char>(p[i]);
                ++i;
            } else {
                i += onBad(p + i, text.size() - i, out);
            }
        }
        return out;
    }
    Convert(conv.Get(), text.data(), text.size(), out, onBad);
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

std::string EnvironmentCharset() {
    locale_t environment = ::newlocale(LC_CTYPE_MASK, "", static_cast<locale_t>(nullptr));
    if (environment == static_cast<locale_t>(nullptr)) {
        return std::string();
    }
    const char* name = ::nl_langinfo_l(CODESET, environment);
    std::string charset = name != nullptr ? name : "";
    ::freelocale(environment);
    return charset;
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

bool Utf8ToCharset(std::string_view text, const std::string& charset, std::string* out) {
    if (out == nullptr || !IsValidUtf8(text)) {
        return false;
    }
    Converter converter(charset.c_str(), "UTF-8", nullptr);
    if (!converter.Valid()) {
        return false;
    }
    std::string result;
    result.reserve(text.size() + 16);
    std::size_t pos = 0;
    char chunk[256];
    while (pos < text.size()) {
        char* in = const_cast<char*>(text.data() + pos);
        std::size_t inLeft = text.size() - pos;
        char* to = chunk;
        std::size_t toLeft = sizeof chunk;
        const std::size_t rc = ::iconv(converter.Get(), &in, &inLeft, &to, &toLeft);
        result.append(chunk, sizeof chunk - toLeft);
        pos = text.size() - inLeft;
        if (rc == static_cast<std::size_t>(-1)) {
            if (errno == E2BIG) {
                continue;
            }
            // A character the charset lacks: '?' for it, then on after it.
            result += '?';
            pos += DecodeUtf8(reinterpret_cast<const unsigned char*>(text.data() + pos),
                              text.size() - pos)
                       .length;
        }
    }
    *out = std::move(result);
    return true;
}

}  // namespace ks
