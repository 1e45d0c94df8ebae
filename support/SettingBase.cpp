#include "support/SettingBase.h"

#include <limits>
#include <new>

#include "support/FileSystem.h"

namespace ks {

int32_t ParseDecimal(std::string_view text) {
    std::size_t i = 0;
    auto isSpace = [](char c) {
        return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
    };
    while (i < text.size() && isSpace(text[i])) {
        ++i;
    }
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    int64_t value = 0;
    constexpr int64_t kMax = std::numeric_limits<int32_t>::max();
    constexpr int64_t kMinMagnitude = kMax + 1;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        value = value * 10 + (text[i] - '0');
        if (value > kMinMagnitude) {
            value = kMinMagnitude;  // saturated; keep consuming digits
        }
    }
    if (negative) {
        return static_cast<int32_t>(-value);
    }
    return static_cast<int32_t>(value > kMax ? kMax : value);
}

}  // namespace ks

CSettingBase::~CSettingBase() = default;

bool CSettingBase::LoadDocument(const std::string& path) {
    path_ = path;
    currentSection_ = nullptr;
    document_ = std::make_unique<ks::IniDocument>();
    std::string bytes;
    loadStatus_ = ks::ReadWholeFile(path, ks::kIniMaxFileBytes, bytes);
    utf8WithBom_ = false;
    firstOverlongLine_ = 0;
    if (loadStatus_ != ks::ReadStatus::Ok) {
        return false;
    }
    utf8WithBom_ = ks::IsUtf8WithBom(bytes);
    firstOverlongLine_ = ks::ParseIni(bytes.data(), bytes.size(), *document_).firstOverlongLine;
    return true;
}

bool CSettingBase::WriteDocument(const std::string& path) const {
    if (path.empty()) {
        return false;
    }
    // Written back in the encoding it was read in: code page 936, or UTF-8 with its mark.
    std::string bytes;
    if (utf8WithBom_) {
        bytes.assign(ks::kUtf8ByteOrderMark);
        bytes += document_ ? ks::SerializeIniUtf8(*document_) : std::string();
    } else {
        bytes = document_ ? ks::SerializeIni(*document_) : std::string();
    }
    return ks::ReplaceFileContents(path, bytes);
}

ks::IniDocument& CSettingBase::EnsureDocument() {
    if (!document_) {
        document_ = std::make_unique<ks::IniDocument>();
        currentSection_ = nullptr;
    }
    return *document_;
}

void CSettingBase::DropDocument() {
    currentSection_ = nullptr;
    document_.reset();
}

ks::IniSection* CSettingBase::Address(std::string_view key, bool create,
                                      std::string_view& entryKey) {
    const std::size_t colon = key.find(':');
    if (colon == std::string_view::npos) {
        entryKey = key;
        return currentSection_;
    }
    const std::string_view name = key.substr(0, colon);
    entryKey = key.substr(colon + 1);
    if (!document_) {
        currentSection_ = nullptr;
    } else if (create) {
        currentSection_ = &document_->GetOrAddSection(name);
    } else {
        currentSection_ = document_->FindSection(name);
    }
    return currentSection_;
}

std::string CSettingBase::GetValue(std::string_view key) {
    if (!document_) {
        return {};
    }
    try {
        std::string_view entryKey;
        const ks::IniSection* section = Address(key, false, entryKey);
        if (section == nullptr || ks::TrimBlanks(entryKey).empty()) {
            return {};
        }
        const std::string* value = section->Find(entryKey);
        return value == nullptr ? std::string() : *value;
    } catch (const std::bad_alloc&) {
        return {};
    }
}

bool CSettingBase::SetValue(std::string_view key, std::string_view value) {
    if (!document_) {
        return false;
    }
    try {
        std::string_view entryKey;
        ks::IniSection* section = Address(key, true, entryKey);
        if (section == nullptr) {
            return false;
        }
        return section->Set(entryKey, value);
    } catch (const std::bad_alloc&) {
        return false;
    }
}
