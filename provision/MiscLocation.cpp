#include "provision/MiscLocation.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string_view>

#include "device/ZRComm.h"
#include "provision/DeviceText.h"
#include "provision/ProvisionLog.h"
#include "support/HexDigit.h"

using namespace misc_location;

namespace {

uint32_t LoadLe32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

bool HasGptSignature(const uint8_t* buffer) {
    return std::memcmp(buffer + 512, "EFI ", 4) == 0 && std::memcmp(buffer + 516, "PART", 4) == 0;
}

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

std::string_view Trim(std::string_view s) {
    while (!s.empty() && IsBlank(s.front())) {
        s.remove_prefix(1);
    }
    while (!s.empty() && IsBlank(s.back())) {
        s.remove_suffix(1);
    }
    return s;
}

// A lowercase "0x" and at least one hexadecimal digit; text after the digits is ignored. A value
// that does not fit 32 bits is refused.
bool ParseHex0x(std::string_view s, uint32_t* value) {
    if (s.size() < 3 || s[0] != '0' || s[1] != 'x' || ks::HexDigit(s[2]) < 0) {
        return false;
    }
    uint64_t v = 0;
    for (size_t i = 2; i < s.size(); ++i) {
        const int d = ks::HexDigit(s[i]);
        if (d < 0) {
            break;
        }
        v = (v << 4) | static_cast<uint64_t>(d);
        if (v > 0xFFFFFFFFu) {
            return false;
        }
    }
    *value = static_cast<uint32_t>(v);
    return true;
}

// Unsigned number with automatic base ("0x" hexadecimal, leading "0" octal, else decimal); no
// digits give 0. Only the low 32 bits are kept.
uint32_t ParseAutoBase(std::string_view s) {
    const std::string copy(s);
    return static_cast<uint32_t>(std::strtoull(copy.c_str(), nullptr, 0));
}

// One "size@offset(name)" piece.
bool ParsePiece(std::string_view piece, PartitionEntry* entry) {
    const size_t at = piece.find('@');
    if (at == std::string_view::npos) {
        return false;
    }
    const std::string_view sizeText = Trim(piece.substr(0, at));
    uint32_t count = 0;
    if (sizeText.find('-') != std::string_view::npos) {
        count = kSizeToEnd;
    } else if (!ParseHex0x(sizeText, &count)) {
        return false;
    }
    const size_t open = piece.find('(', at + 1);
    if (open == std::string_view::npos) {
        return false;
    }
    uint32_t first = 0;
    if (!ParseHex0x(Trim(piece.substr(at + 1, open - at - 1)), &first)) {
        return false;
    }
    const size_t close = piece.find(')', open + 1);
    if (close == std::string_view::npos) {
        return false;
    }
    const std::string_view rawName = Trim(piece.substr(open + 1, close - open - 1));
    if (rawName.empty()) {
        return false;
    }
    std::string name =
        devtext::CodePageToUtf8(reinterpret_cast<const uint8_t*>(rawName.data()), rawName.size());
    entry->name = std::move(name);
    entry->firstSector = first;
    entry->sectorCount = count;
    return true;
}

bool EqualsMiscIgnoringCase(const std::string& name) {
    if (name.size() != 4) {
        return false;
    }
    static constexpr char kMisc[] = "misc";
    for (size_t i = 0; i < 4; ++i) {
        char c = name[i];
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
        if (c != kMisc[i]) {
            return false;
        }
    }
    return true;
}

}  // namespace

bool GetParamFromDev(const std::string& devicePath, CZRComm* comm, CLoggerBase* log,
                     uint8_t* buffer, uint32_t* length, PartitionTableKind* kind) {
    if (comm == nullptr || buffer == nullptr || length == nullptr || kind == nullptr) {
        return false;
    }
    const uint32_t capacity = *length;
    uint8_t probe[2 * kSectorBytes] = {};
    int ret = comm->ZRU_ReadLBA(devicePath, 0, 2, probe, 0);
    if (ret != 0) {
        ProvLog(log, "ERROR:GetParamFromDev->Read parameter head failed,err=%d!", ret);
        return false;
    }
    uint32_t start = 0;
    if (HasGptSignature(probe)) {
        *kind = PARTITION_TABLE_GPT;
        if (capacity < kGptBytes) {
            ProvLog(log, "ERROR:GetParamFromDev->Memory is not enough to save gpt!");
            return false;
        }
        *length = kGptBytes;
        std::memset(buffer, 0, kGptBytes);
        ret = comm->ZRU_ReadLBA(devicePath, 0, kGptSectors, buffer, 0);
        if (ret != 0) {
            ProvLog(log, "ERROR:GetParamFromDev->Read gpt failed,err=%d!", ret);
            return false;
        }
        return true;
    }
    if (LoadLe32(probe) == kParameterTag) {
        *kind = PARTITION_TABLE_PARAMETER;
        start = 0;
    } else {
        ret = comm->ZRU_ReadLBA(devicePath, kParameterAltSector, 2, probe, 0);
        if (ret != 0) {
            ProvLog(log, "ERROR:GetParamFromDev->Read parameter head failed,err=%d!", ret);
            return false;
        }
        if (LoadLe32(probe) != kParameterTag) {
            ProvLog(log, "ERROR:GetParamFromDev->Check parameter tag failed!");
            return false;
        }
        *kind = PARTITION_TABLE_PARAMETER_8192;
        start = kParameterAltSector;
    }
    // Tag, length, text and four trailing bytes, rounded up to whole sectors. Counted in 64 bits
    // so that a length near 4 GiB cannot wrap round to a small sector count.
    const uint32_t textLength = LoadLe32(probe + 4);
    const uint64_t sectors = ((static_cast<uint64_t>(textLength) + 11) >> 9) + 1;
    if (static_cast<uint64_t>(capacity) < sectors * kSectorBytes) {
        ProvLog(log, "ERROR:GetParamFromDev->Memory is not enough to save parameter!");
        return false;
    }
    if (sectors > 0xFFFF) {
        // Only reachable with a capacity above 32 MiB; the sector count field has 16 bits.
        ProvLog(log, "ERROR:GetParamFromDev->Memory is not enough to save parameter!");
        return false;
    }
    std::memset(buffer, 0, static_cast<size_t>(sectors * kSectorBytes));
    *length = textLength;
    ret = comm->ZRU_ReadLBA(devicePath, start, static_cast<uint16_t>(sectors), buffer, 0);
    if (ret != 0) {
        ProvLog(log, "ERROR:GetParamFromDev->Read parameter file failed,err=%d!", ret);
        return false;
    }
    buffer[8 + static_cast<size_t>(textLength)] = 0;
    return true;
}

bool ParseParameter(const char* text, size_t length, std::vector<PartitionEntry>* list) {
    list->clear();
    if (text == nullptr) {
        return false;
    }
    std::string_view all(text, length);
    const size_t zero = all.find('\0');
    if (zero != std::string_view::npos) {
        all = all.substr(0, zero);
    }
    bool found = false;
    try {
        size_t pos = 0;
        while (pos <= all.size()) {
            size_t end = all.find('\n', pos);
            if (end == std::string_view::npos) {
                end = all.size();
            }
            std::string_view line = all.substr(pos, end - pos);
            pos = end + 1;
            if (!line.empty() && line.back() == '\r') {
                line.remove_suffix(1);
            }
            if (line.empty()) {
                continue;
            }
            const size_t mtd = line.find("mtdparts");
            if (mtd == std::string_view::npos) {
                continue;
            }
            found = true;
            const size_t colon = line.find(':', mtd);
            if (colon == std::string_view::npos) {
                continue;
            }
            uint32_t base = 0;
            static constexpr std::string_view kAddrKey = "mtdpart.addr=";
            const size_t addr = line.find(kAddrKey);
            if (addr != std::string_view::npos) {
                std::string_view value = line.substr(addr + kAddrKey.size());
                while (!value.empty() && IsBlank(value.front())) {
                    value.remove_prefix(1);
                }
                size_t cut = 0;
                while (cut < value.size() && !IsBlank(value[cut])) {
                    ++cut;
                }
                base = ParseAutoBase(value.substr(0, cut));
            }
            std::string_view parts = line.substr(colon + 1);
            size_t comma;
            while ((comma = parts.find(',')) != std::string_view::npos) {
                PartitionEntry entry;
                if (ParsePiece(parts.substr(0, comma), &entry)) {
                    if (list->empty()) {
                        list->push_back(
                            PartitionEntry{"parameter", base, entry.firstSector - base});
                    }
                    list->push_back(std::move(entry));
                }
                parts.remove_prefix(comma + 1);
            }
            if (!parts.empty()) {
                PartitionEntry entry;
                if (ParsePiece(parts, &entry)) {
                    list->push_back(std::move(entry));
                }
            }
            break;
        }
    } catch (const std::bad_alloc&) {
        list->clear();
        return false;
    }
    return found;
}

bool ParseGpt(std::vector<PartitionEntry>* list, const uint8_t* buffer, size_t length) {
    list->clear();
    if (buffer == nullptr || length < 600 || !HasGptSignature(buffer)) {
        return false;
    }
    // Never more entries than the sectors read can hold, whatever the header announces.
    uint64_t count = LoadLe32(buffer + 592);
    const size_t held =
        length > kGptEntriesOffset ? (length - kGptEntriesOffset) / kGptEntryBytes : 0;
    if (count > held) {
        count = held;
    }
    if (count > kGptMaxEntries) {
        count = kGptMaxEntries;
    }
    try {
        for (uint64_t i = 0; i < count; ++i) {
            const uint8_t* e = buffer + kGptEntriesOffset + i * kGptEntryBytes;
            bool empty = true;
            for (uint32_t k = 0; k < kGptEntryBytes; ++k) {
                if (e[k] != 0) {
                    empty = false;
                    break;
                }
            }
            if (empty) {
                break;
            }
            const uint32_t first = LoadLe32(e + 32);
            const uint32_t last = LoadLe32(e + 40);
            // The name field has 36 units; a name that fills it has no terminating zero.
            list->push_back(PartitionEntry{devtext::Utf16LeToUtf8(e + 56, kGptNameUnits), first,
                                           last - first + 1});
        }
    } catch (const std::bad_alloc&) {
        list->clear();
        return false;
    }
    return true;
}

int32_t GetKeyMiscOffset(const std::string& devicePath, CZRComm* comm, CLoggerBase* log) {
    std::vector<uint8_t> table;
    std::vector<PartitionEntry> list;
    try {
        table.assign(kTableBufferBytes, 0);
        list.reserve(16);
    } catch (const std::bad_alloc&) {
        ProvLog(log, "ERROR:GetKeyMiscOffset->new memory failed,err=%d!", ENOMEM);
        return -1;
    }
    uint32_t length = kTableBufferBytes;
    PartitionTableKind kind = PARTITION_TABLE_GPT;
    if (!GetParamFromDev(devicePath, comm, log, table.data(), &length, &kind)) {
        return -1;
    }
    if (kind == PARTITION_TABLE_GPT) {
        if (!ParseGpt(&list, table.data(), length)) {
            ProvLog(log, "ERROR:GetKeyMiscOffset->ParseGpt failed!");
            return -1;
        }
    } else {
        if (!ParseParameter(reinterpret_cast<const char*>(table.data()) + 8, length, &list)) {
            ProvLog(log, "ERROR:GetKeyMiscOffset->ParseParameter failed!");
            return -1;
        }
    }
    const PartitionEntry* misc = nullptr;
    for (const PartitionEntry& entry : list) {
        if (EqualsMiscIgnoringCase(entry.name)) {
            misc = &entry;
            break;
        }
    }
    if (misc == nullptr) {
        ProvLog(log, "ERROR:GetKeyMiscOffset->no found misc!");
        return -1;
    }
    // A misc that grows to the end of the storage has no known end to count back from.
    if (misc->sectorCount == kSizeToEnd) {
        ProvLog(log, "ERROR:GetKeyMiscOffset->misc size unknown!");
        return -1;
    }
    // The key area must lie inside misc and be addressable as a positive sector number.
    uint64_t result = static_cast<uint64_t>(misc->firstSector) + misc->sectorCount;
    if (kind == PARTITION_TABLE_PARAMETER_8192) {
        result += kParameterAltSector;
    }
    if (misc->sectorCount < kKeyAreaSectors || result - kKeyAreaSectors > 0x7FFFFFFFu) {
        ProvLog(log, "ERROR:GetKeyMiscOffset->misc key area out of range!");
        return -1;
    }
    return static_cast<int32_t>(result - kKeyAreaSectors);
}
