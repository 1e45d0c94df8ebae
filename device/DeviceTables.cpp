#include "device/DeviceTables.h"

#include <algorithm>
#include <cstdint>
#include <string_view>

#include "support/DecimalText.h"
#include "support/FileSystem.h"
#include "support/HexDigit.h"
#include "support/IniDocument.h"
#include "support/Logger.h"

namespace {

constexpr size_t kMaxLogText = 64;

char FoldAscii(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// 1 to 4 hex digits, nothing else.
bool ParseHex16(std::string_view s, uint16_t* out) {
    if (s.empty() || s.size() > 4) {
        return false;
    }
    uint32_t v = 0;
    for (char c : s) {
        int d = ks::HexDigit(c);
        if (d < 0) {
            return false;
        }
        v = v * 16 + static_cast<uint32_t>(d);
    }
    *out = static_cast<uint16_t>(v);
    return true;
}

// "0x" or "0X" followed by 1 to 4 hex digits, surrounding blanks allowed.
bool ParseVendorId(std::string_view s, uint16_t* out) {
    s = ks::TrimBlanks(s);
    if (s.size() < 3 || s[0] != '0' || FoldAscii(s[1]) != 'x') {
        return false;
    }
    return ParseHex16(s.substr(2), out);
}

// A positive decimal number that fits int32_t, surrounding blanks allowed.
bool ParseChipCode(std::string_view s, int32_t* out) {
    uint64_t v = 0;
    if (!ks::ParseDecimal(ks::TrimBlanks(s), 10, INT32_MAX, &v) || v == 0) {
        return false;
    }
    *out = static_cast<int32_t>(v);
    return true;
}

void LogBadValue(CLoggerBase* log, const char* section, std::string_view key,
                 std::string_view value) {
    if (log == nullptr) {
        return;
    }
    const int keyLen = static_cast<int>(std::min(key.size(), kMaxLogText));
    const int valueLen = static_cast<int>(std::min(value.size(), kMaxLogText));
    log->Print(ks::kLogStation, "Error:DeviceTables-->bad entry in [%s]: %.*s=%.*s", section,
               keyLen, key.data(), valueLen, value.data());
}

}  // namespace

void DeviceTables::Clear() {
    vendorId_ = 0;
    altVendorId_ = 0;
    chipRows_.clear();
}

void DeviceTables::SetVendorIds(uint16_t vendorId, uint16_t altVendorId) {
    vendorId_ = vendorId;
    altVendorId_ = altVendorId;
}

bool DeviceTables::AddChipRow(const ChipRow& row) {
    for (ChipRow& existing : chipRows_) {
        if (existing.vendorId == row.vendorId && existing.productId == row.productId) {
            existing.chipCode = row.chipCode;
            return true;
        }
    }
    if (chipRows_.size() >= kMaxChipRows) {
        return false;
    }
    chipRows_.push_back(row);
    return true;
}

bool DeviceTables::LoadFile(const std::string& path, CLoggerBase* log) {
    Clear();
    loadProblem_.clear();
    try {
        std::string content;
        const ks::ReadStatus status = ks::ReadWholeFile(path, kMaxFileSize, content);
        if (status != ks::ReadStatus::Ok) {
            const char* why = status == ks::ReadStatus::NotFound   ? "not found"
                              : status == ks::ReadStatus::TooLarge ? "larger than 64 KiB"
                                                                   : "cannot be read";
            loadProblem_ = path + ": " + why;
            if (log != nullptr) {
                log->Print(ks::kLogStation, "Error:DeviceTables-->%s", loadProblem_.c_str());
            }
            return false;
        }
        return LoadBuffer(content.data(), content.size(), log);
    } catch (const std::bad_alloc&) {
        Clear();
        loadProblem_.clear();
        return false;
    }
}

bool DeviceTables::LoadBuffer(const char* data, size_t size, CLoggerBase* log) {
    Clear();
    if (data == nullptr || size > kMaxFileSize) {
        if (log != nullptr) {
            log->Print(ks::kLogStation, "Error:DeviceTables-->content missing or over %zu bytes",
                       kMaxFileSize);
        }
        return false;
    }
    try {
        ks::IniDocument doc;
        ks::ParseIni(data, size, doc);
        if (const ks::IniSection* vendor = doc.FindSection("Vendor")) {
            if (const std::string* value = vendor->Find("ZR_VENDOR_ID")) {
                if (!ParseVendorId(*value, &vendorId_) || vendorId_ == 0) {
                    vendorId_ = 0;
                    LogBadValue(log, "Vendor", "ZR_VENDOR_ID", *value);
                }
            }
            if (const std::string* value = vendor->Find("ZR_ALT_VENDOR_ID")) {
                if (!ParseVendorId(*value, &altVendorId_) || altVendorId_ == 0) {
                    altVendorId_ = 0;
                    LogBadValue(log, "Vendor", "ZR_ALT_VENDOR_ID", *value);
                }
            }
        }
        // The keys hold a ':', which key addressing would take for a section separator, so the
        // rows are read by walking the section's entries.
        if (const ks::IniSection* chips = doc.FindSection("ChipTable")) {
            for (const auto& [key, value] : chips->GetEntries()) {
                const size_t colon = key.find(':');
                ChipRow row;
                if (colon == std::string::npos ||
                    !ParseHex16(std::string_view(key).substr(0, colon), &row.vendorId) ||
                    !ParseHex16(std::string_view(key).substr(colon + 1), &row.productId) ||
                    !ParseChipCode(value, &row.chipCode)) {
                    LogBadValue(log, "ChipTable", key, value);
                    continue;
                }
                if (!AddChipRow(row)) {
                    if (log != nullptr) {
                        log->Print(ks::kLogStation,
                                   "Error:DeviceTables-->more than %zu chip rows, rest dropped",
                                   kMaxChipRows);
                    }
                    break;
                }
            }
        }
    } catch (const std::bad_alloc&) {
        Clear();
        return false;
    }
    if (vendorId_ == 0 && log != nullptr) {
        log->Print(ks::kLogStation, "Error:DeviceTables-->ZR_VENDOR_ID not configured");
    }
    return true;
}
