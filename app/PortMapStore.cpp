#include "app/PortMapStore.h"

#include <charconv>
#include <utility>

#include "support/FileSystem.h"
#include "support/HexDigit.h"
#include "support/IniDocument.h"
#include "support/NativeFile.h"
#include "support/Paths.h"

namespace {

constexpr char kSection[] = "UsbMap";
// A port map with sixteen live bindings is a few hundred bytes; anything near this is not ours.
constexpr size_t kMaxFileBytes = 1024 * 1024;

bool Unencoded(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' || c == '_' ||
           c == '~';
}

bool ParseNumber(const std::string& text, uint32_t* value) {
    if (text.empty()) {
        return false;
    }
    const char* end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, *value, 10);
    return ec == std::errc() && ptr == end;
}

enum class LoadResult { kOk, kMissing, kFailed };

LoadResult LoadDocument(const std::string& path, ks::IniDocument* doc) {
    std::string bytes;
    switch (ks::ReadWholeFile(path, kMaxFileBytes, bytes)) {
        case ks::ReadStatus::Ok:
            ks::ParseIniUtf8(bytes, *doc);
            return LoadResult::kOk;
        case ks::ReadStatus::NotFound:
            doc->Clear();
            return LoadResult::kMissing;
        default:
            return LoadResult::kFailed;
    }
}

}  // namespace

CPortMapFile::CPortMapFile(std::string path) : path_(std::move(path)) {}

std::string CPortMapFile::EncodeName(const std::string& name) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(name.size());
    for (char ch : name) {
        const auto c = static_cast<unsigned char>(ch);
        if (Unencoded(c)) {
            out.push_back(ch);
        } else {
            out.push_back('%');
            out.push_back(kHex[c >> 4]);
            out.push_back(kHex[c & 0x0F]);
        }
    }
    return out;
}

bool CPortMapFile::DecodeName(const std::string& text, std::string* name) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c == '%') {
            if (i + 2 >= text.size()) {
                return false;
            }
            const int hi = ks::HexDigit(text[i + 1]);
            const int lo = ks::HexDigit(text[i + 2]);
            if (hi < 0 || lo < 0) {
                return false;
            }
            out.push_back(static_cast<char>(hi * 16 + lo));
            i += 2;
        } else if (Unencoded(c)) {
            out.push_back(text[i]);
        } else {
            return false;
        }
    }
    *name = std::move(out);
    return true;
}

bool CPortMapFile::ReadAll(std::map<std::string, uint32_t>* out) {
    out->clear();
    ks::IniDocument doc;
    if (LoadDocument(path_, &doc) == LoadResult::kFailed) {
        return false;
    }
    const ks::IniSection* section = doc.FindSection(kSection);
    if (section == nullptr) {
        return true;
    }
    for (const auto& [key, value] : section->GetEntries()) {
        std::string name;
        uint32_t number = 0;
        if (DecodeName(key, &name) && !name.empty() && ParseNumber(value, &number)) {
            (*out)[name] = number;
        }
    }
    return true;
}

bool CPortMapFile::Write(const std::string& name, uint32_t value) {
    if (name.empty()) {
        return false;
    }
    ks::IniDocument doc;
    if (LoadDocument(path_, &doc) == LoadResult::kFailed) {
        return false;
    }
    if (!doc.GetOrAddSection(kSection).Set(EncodeName(name), std::to_string(value))) {
        return false;
    }
    // Never written in place: a torn port map could bind a device to the wrong slot.
    return ks::ReplaceFileAtomically(path_, ks::SerializeIniUtf8(doc));
}

bool CPortMapFile::Clear() {
    return ks::RemoveFile(path_);  // true also when there was none
}
