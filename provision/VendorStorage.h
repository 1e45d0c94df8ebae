// Vendor storage: items read by id (serial number, RKP data), the serial-number text, and the two
// keybox records the station writes into vendor storage with the check made after the device has
// been reset.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

class CLoggerBase;
class CZRComm;

namespace vendor {
inline constexpr size_t kSectorBytes = 512;
inline constexpr uint32_t kStorageSector = 0xFFFFFF01u;  // destination 1
inline constexpr uint32_t kItem8Sector = 0xFFF00008u;    // destination 2
inline constexpr uint16_t kSnItemId = 1;
inline constexpr uint16_t kRkpItemId = 0x43;
inline constexpr uint16_t kSnCapacity = 512;
inline constexpr uint16_t kRkpCapacity = 5120;
inline constexpr size_t kRecordInfoBytes = 16;
inline constexpr size_t kStorageRecordOffset = 252;
inline constexpr size_t kStorageKeyOffset = 280;
inline constexpr size_t kStorageKeyRoom = kSectorBytes - kStorageKeyOffset;  // 232
inline constexpr size_t kItem8DataOffset = 8;  // after the item's id and length fields
inline constexpr size_t kItem8KeyOffset = 36;
inline constexpr uint16_t kItem8DataLength = 156;
// The item carries kItem8DataLength bytes: a longer key would reach the board cut short.
inline constexpr size_t kItem8KeyRoom =
    kItem8DataLength - (kItem8KeyOffset - kItem8DataOffset);  // 128
inline constexpr size_t kSnTextUnits = 512;
inline constexpr size_t kSnMaxUnits = 100;
inline constexpr uint8_t kCapabilityVendorRead = 0x10;
}  // namespace vendor

enum class VendorDestination : int {
    kStorageSector = 1,  // the record inside the vendor-storage sector
    kItem8 = 2,          // vendor item 8, built from zeros
};

enum class VendorClearState {
    kClean,          // the device took the record and cleared the area
    kRecordPresent,  // the record is still there
    kNotClean,       // something is left in the area
};

// Reads vendor item id into buffer. *size: in, the buffer's capacity; out, the item's data
// length. Every failure but a missing command object or a failed readiness test writes one line
// to log (may be null).
bool ZR_ReadVendorRpmbData(CZRComm* comm, CLoggerBase* log, const std::string& devicePath,
                           uint16_t id, uint8_t type, uint8_t* buffer, uint16_t* size);
// The item read alone, by one loader command, without the readiness and capability checks (for a
// board whose readiness the job has just checked); false when the loader does not answer with it.
bool ReadVendorItemOnce(CZRComm* comm, CLoggerBase* log, const std::string& devicePath, uint16_t id,
                        uint8_t type, uint8_t* buffer, uint16_t* size);

// The serial number as text: the item's bytes in the device code page, cut at the first zero.
// Empty when the bytes are no valid text or would need more than 512 UTF-16 units.
std::string SnBytesToText(const uint8_t* data, size_t length);

// The serial-number check: 1 to 100 UTF-16 units, and nothing that could lead a file named after
// it out of its folder (no '/', '\\', "..", nor a control character).
bool IsSnTextValid(const std::string& snText);

// Key bytes the record of a destination has room for (232 or 128).
size_t VendorKeyRoom(VendorDestination destination);

// True when the sector begins with the "VEND" tag.
bool HasVendTag(const uint8_t* sector);

// Destination 1: writes the record at byte 252 of the sector as read from the device; all other
// bytes stay. False (sector untouched) when the key does not fit.
bool BuildVendorStorageRecord(uint8_t* sector, const uint8_t* recordInfo, const uint8_t* key,
                              size_t keySize);

// Destination 2: builds vendor item 8 in the zeroed sector. False (sector untouched) when the key
// does not fit.
bool BuildVendorItem8(uint8_t* sector, const uint8_t* recordInfo, const uint8_t* key,
                      size_t keySize);

// The key bytes of a keybox record the loader has not taken yet: where the destination's record
// lies in its sector, when the sector holds one ("KBOX" at the record's place) with room for
// keySize key bytes; nullptr otherwise.
const uint8_t* VendorRecordKey(VendorDestination destination, const uint8_t* sector,
                               size_t keySize);

// Judges the sector re-read after the reset.
VendorClearState CheckVendorCleared(VendorDestination destination, const uint8_t* sector);
