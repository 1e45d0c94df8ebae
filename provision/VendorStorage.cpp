#include "provision/VendorStorage.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

#include "device/ZRComm.h"
#include "provision/DeviceText.h"
#include "provision/ProvisionLog.h"

using namespace vendor;

namespace {

constexpr uint32_t kVendTag = 0x444E4556;  // "VEND"
constexpr uint32_t kKboxTag = 0x584F424B;  // "KBOX"
constexpr uint32_t kExisTag = 0x53495845;  // "EXIS"
constexpr uint32_t kRecordInfoLength = 16;
constexpr size_t kWorkBytes = 0xFFFF;
constexpr size_t kItemHeaderBytes = 8;

uint32_t LoadLe32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

uint16_t LoadLe16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

void StoreLe32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}

void StoreLe16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

// The keybox record body shared by both destinations: tag, 16, K, record info, key bytes.
void WriteRecordBody(uint8_t* at, const uint8_t* recordInfo, const uint8_t* key, size_t keySize) {
    StoreLe32(at, kKboxTag);
    StoreLe32(at + 4, kRecordInfoLength);
    StoreLe32(at + 8, static_cast<uint32_t>(keySize));
    std::memcpy(at + 12, recordInfo, kRecordInfoBytes);
    if (keySize > 0) {
        std::memcpy(at + 28, key, keySize);
    }
}

bool AllZero(const uint8_t* p, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        if (p[i] != 0) {
            return false;
        }
    }
    return true;
}

// The item read by one loader command asking for `want` bytes.
bool ReadItem(CZRComm* comm, CLoggerBase* log, const std::string& devicePath, uint16_t id,
              uint8_t type, uint8_t* buffer, uint16_t* size, size_t want) {
    std::vector<uint8_t> work;
    try {
        work.assign(kWorkBytes, 0);
    } catch (const std::bad_alloc&) {
        ProvLog(log, "ERROR:ZR_ReadVendorRpmbData->malloc memory failed!");
        return false;
    }
    const int ret =
        comm->ZRU_ReadVendorRpmb(devicePath, id, type, work.data(), static_cast<uint16_t>(want));
    if (ret != 0) {
        ProvLog(log, "ERROR:ZR_ReadVendorRpmbData->ZRU_ReadVendorRpmb data failed,err=%d!", ret);
        return false;
    }
    if (LoadLe16(work.data()) != id) {
        ProvLog(log, "ERROR:ZR_ReadVendorRpmbData->id is not match!");
        return false;
    }
    const uint16_t dataLength = LoadLe16(work.data() + 4);
    // The data must fit the caller's buffer and lie inside what was read.
    if (dataLength > *size || kItemHeaderBytes + dataLength > kWorkBytes) {
        ProvLog(log, "ERROR:ZR_ReadVendorRpmbData->buffer is not enough,data_size=%d!",
                static_cast<int>(dataLength));
        return false;
    }
    std::memcpy(buffer, work.data() + kItemHeaderBytes, dataLength);
    *size = dataLength;
    return true;
}

}  // namespace

bool ZR_ReadVendorRpmbData(CZRComm* comm, CLoggerBase* log, const std::string& devicePath,
                           uint16_t id, uint8_t type, uint8_t* buffer, uint16_t* size) {
    if (comm == nullptr || buffer == nullptr || size == nullptr) {
        return false;
    }
    uint32_t first = 0;
    uint32_t second = 0;
    if (comm->ZRU_TestDeviceReady(devicePath, &first, &second, 0) != 0) {
        return false;
    }
    uint8_t capability[8] = {};
    int ret = comm->ZRU_ReadCapability(devicePath, capability);
    if (ret != 0) {
        ProvLog(log, "ERROR:ZR_ReadVendorRpmbData->ReadCapability failed,ret=%d!", ret);
        return false;
    }
    if ((capability[0] & kCapabilityVendorRead) == 0) {
        ProvLog(log, "ERROR:ZR_ReadVendorRpmbData->not support read vendor and rpmb!");
        return false;
    }
    return ReadItem(comm, log, devicePath, id, type, buffer, size, kWorkBytes);
}

bool ReadVendorItemOnce(CZRComm* comm, CLoggerBase* log, const std::string& devicePath, uint16_t id,
                        uint8_t type, uint8_t* buffer, uint16_t* size) {
    if (comm == nullptr || buffer == nullptr || size == nullptr) {
        return false;
    }
    // No more than the caller can take is asked for (in whole sectors): a short item is a short
    // transfer.
    return ReadItem(comm, log, devicePath, id, type, buffer, size,
                    std::min(kWorkBytes, (kItemHeaderBytes + size_t{*size} + 511) / 512 * 512));
}

std::string SnBytesToText(const uint8_t* data, size_t length) {
    const std::string text = devtext::CodePageToUtf8(data, length);
    if (devtext::Utf16Length(text) > kSnTextUnits) {
        return std::string();
    }
    return devtext::CutAtZero(text);
}

bool IsSnTextValid(const std::string& snText) {
    const size_t units = devtext::Utf16Length(snText);
    if (units < 1 || units > kSnMaxUnits) {
        return false;
    }
    if (snText.find("..") != std::string::npos) {
        return false;
    }
    for (size_t i = 0; i < snText.size(); ++i) {
        const auto c = static_cast<unsigned char>(snText[i]);
        if (c < 0x20 || c == 0x7F || c == '/' || c == '\\') {
            return false;
        }
        // C1 control characters U+0080..U+009F are encoded as C2 80 .. C2 9F.
        if (c == 0xC2 && i + 1 < snText.size()) {
            const auto n = static_cast<unsigned char>(snText[i + 1]);
            if (n >= 0x80 && n <= 0x9F) {
                return false;
            }
        }
    }
    return true;
}

size_t VendorKeyRoom(VendorDestination destination) {
    return destination == VendorDestination::kItem8 ? kItem8KeyRoom : kStorageKeyRoom;
}

bool HasVendTag(const uint8_t* sector) {
    return sector != nullptr && LoadLe32(sector) == kVendTag;
}

bool BuildVendorStorageRecord(uint8_t* sector, const uint8_t* recordInfo, const uint8_t* key,
                              size_t keySize) {
    if (sector == nullptr || recordInfo == nullptr || keySize > kStorageKeyRoom ||
        (keySize > 0 && key == nullptr)) {
        return false;
    }
    WriteRecordBody(sector + kStorageRecordOffset, recordInfo, key, keySize);
    return true;
}

bool BuildVendorItem8(uint8_t* sector, const uint8_t* recordInfo, const uint8_t* key,
                      size_t keySize) {
    if (sector == nullptr || recordInfo == nullptr || keySize > kItem8KeyRoom ||
        (keySize > 0 && key == nullptr)) {
        return false;
    }
    std::memset(sector, 0, kSectorBytes);
    StoreLe16(sector, 8);
    StoreLe16(sector + 4, kItem8DataLength);
    WriteRecordBody(sector + kItem8DataOffset, recordInfo, key, keySize);
    return true;
}

const uint8_t* VendorRecordKey(VendorDestination destination, const uint8_t* sector,
                               size_t keySize) {
    if (sector == nullptr || keySize == 0) {
        return nullptr;
    }
    const bool item8 = destination == VendorDestination::kItem8;
    const size_t recordAt = item8 ? kItem8DataOffset : kStorageRecordOffset;
    const size_t keyAt = item8 ? kItem8KeyOffset : kStorageKeyOffset;
    if (LoadLe32(sector + recordAt) != kKboxTag || keySize > kSectorBytes - keyAt) {
        return nullptr;
    }
    return sector + keyAt;
}

VendorClearState CheckVendorCleared(VendorDestination destination, const uint8_t* sector) {
    if (destination == VendorDestination::kItem8) {
        if (LoadLe32(sector + 8) == kExisTag) {
            return VendorClearState::kRecordPresent;
        }
        return AllZero(sector + 8, 148) ? VendorClearState::kClean : VendorClearState::kNotClean;
    }
    if (LoadLe32(sector + kStorageRecordOffset) == kKboxTag) {
        return VendorClearState::kRecordPresent;
    }
    return AllZero(sector + kStorageRecordOffset, kSectorBytes - kStorageRecordOffset)
               ? VendorClearState::kClean
               : VendorClearState::kNotClean;
}
