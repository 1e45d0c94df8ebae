// Where the key area lies on a device: the device's partition table (a GPT or a parameter file
// with an "mtdparts" line) is read, the partition named misc is found, and the key area is its
// last 128 sectors.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

class CLoggerBase;
class CZRComm;

struct PartitionEntry {
    std::string name;  // UTF-8
    uint32_t firstSector = 0;
    uint32_t sectorCount = 0;  // kSizeToEnd: the partition grows to the end of the storage
};

enum PartitionTableKind : int {
    PARTITION_TABLE_GPT = 0,
    PARTITION_TABLE_PARAMETER = 1,       // parameter file at sector 0
    PARTITION_TABLE_PARAMETER_8192 = 2,  // parameter file at sector 8192
};

namespace misc_location {
inline constexpr uint32_t kSectorBytes = 512;
inline constexpr uint32_t kSizeToEnd = 0xFFFFFFFFu;
inline constexpr uint32_t kGptSectors = 34;
inline constexpr uint32_t kGptBytes = kGptSectors * kSectorBytes;  // 17408
inline constexpr uint32_t kGptEntriesOffset = 1024;
inline constexpr uint32_t kGptEntryBytes = 128;
inline constexpr uint32_t kGptMaxEntries = (kGptBytes - kGptEntriesOffset) / kGptEntryBytes;  // 128
inline constexpr uint32_t kGptNameUnits = 36;
inline constexpr uint32_t kParameterAltSector = 8192;
inline constexpr uint32_t kParameterTag = 0x4D524150;  // "PARM"
inline constexpr uint32_t kTableBufferBytes = 0x80000;
inline constexpr uint32_t kKeyAreaSectors = 128;
}  // namespace misc_location

// Reads the device's partition table into buffer. *length: in, the buffer's capacity; out, 17408
// for a GPT or the parameter text length. On success the buffer holds the 34 GPT sectors, or the
// parameter file from its tag on with a zero byte right after the text (at offset 8 + length).
// Each failure writes one line to log (may be null) and returns false.
bool GetParamFromDev(const std::string& devicePath, CZRComm* comm, CLoggerBase* log,
                     uint8_t* buffer, uint32_t* length, PartitionTableKind* kind);

// Parses the parameter text (the bytes after tag and length; the text ends at length or at its
// first zero byte). Clears the list, then appends the partitions of the first line that holds
// "mtdparts" followed by ':'. Returns true when any line holds "mtdparts".
bool ParseParameter(const char* text, size_t length, std::vector<PartitionEntry>* list);

// Parses the GPT sectors (protective MBR first). Clears the list and fills it; never looks past
// length nor past the 128 entries that 34 sectors hold. False without the "EFI PART" signature.
bool ParseGpt(std::vector<PartitionEntry>* list, const uint8_t* buffer, size_t length);

// The first sector of the key area (the last 128 sectors of misc), or -1 after one log line.
int32_t GetKeyMiscOffset(const std::string& devicePath, CZRComm* comm, CLoggerBase* log);
