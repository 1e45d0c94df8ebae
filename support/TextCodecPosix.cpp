// Code page 936 and the locale's character set through iconv.
#include <iconv.h>
#include <langinfo.h>
#include <locale.h>

#include <cerrno>
#include <cstdint>

#include "support/TextCodec.h"
#include "support/Utf8Decode.h"

namespace ks {

using namespace textcodec;

namespace {

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

void textcodec::AppendGbkAsUtf8(const char* data, std::size_t size, std::string& out) {
    auto onBad = [](const unsigned char* p, std::size_t left, std::string& o) -> std::size_t {
        o += kReplacementUtf8;
        return GbkLength(p, left);
    };
    Converter conv("UTF-8", "CP936", "GBK");
    if (conv.Valid()) {
        Convert(conv.Get(), data, size, out, onBad);
        return;
    }
    // No code page 936 tables on this system: ASCII passes, everything else is replaced.
    WalkGbk(data, size, out,
            [](const char*, std::size_t, std::string& o) { o += kReplacementUtf8; });
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
        WalkUtf8(text, out, [](const Utf8Char&, std::string& o) { o += '?'; });
        return out;
    }
    Convert(conv.Get(), text.data(), text.size(), out, onBad);
    return out;
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
