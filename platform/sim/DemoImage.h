// Builders for the content of demo loader devices: a GPT or a parameter file describing a disk
// with a misc partition, the vendor-storage sector, and the serial-number and RKP data items.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/sim/LoaderEmulator.h"
#include "platform/sim/SectorStore.h"
#include "support/Clock.h"

struct GptPartition {
    std::string name;  // UTF-8; at most 36 UTF-16 units
    uint64_t firstLba = 0;
    uint64_t lastLba = 0;  // inclusive
};

// Writes a protective MBR, the primary GPT (header at sector 1, 128 entries at sectors 2..33)
// and the backup GPT at the end of a disk of diskSectors sectors, with valid CRCs. Partitions
// must lie in the usable area (34 .. diskSectors - 34) and not overlap; at most 128.
bool BuildGpt(SectorStore& store, const std::vector<GptPartition>& partitions, uint64_t diskSectors,
              std::string* error = nullptr);

// Writes a parameter file at sector `at`: "PARM", the text length (32-bit little-endian), the
// text, and four trailing bytes (a CRC-32 of the text).
bool WriteParameterFile(SectorStore& store, uint32_t at, const std::string& text);

enum class DemoLayout {
    kGpt,              // GPT on the disk
    kParameterAt0,     // parameter file at sector 0
    kParameterAt8192,  // parameter file at sector 8192 (offsets in it count from 8192)
};

// Where the demo disk's partitions lie, and what a demo device holds.
struct DemoFacts {
    uint32_t miscFirst = 0;  // absolute first sector of misc
    uint32_t miscSectors = 0;
    uint32_t keyAreaSector = 0;    // last 128 sectors of misc
    std::string serial;            // item 1
    std::vector<uint8_t> rkpData;  // item 67
};

constexpr uint16_t kDemoItemSerial = 1;
constexpr uint16_t kDemoItemRkp = 67;
constexpr uint32_t kDemoDiskSectors = 0x00800000;  // 4 GiB

DemoFacts DemoLoaderFacts(int index, DemoLayout layout = DemoLayout::kGpt);
// The parameter text of the demo disk (mtdparts line with offsets relative to the file's sector).
std::string DemoParameterText();
// Fills an emulator with the demo content for device `index`: partition table, vendor sector
// ("VEND" and some vendor bytes, keybox area empty), serial "KSDEMO%04d", RKP data, capability
// 0x10.
void PopulateDemoLoader(LoaderEmulator& emulator, int index, DemoLayout layout = DemoLayout::kGpt);
// What PopulateDemoLoader sets besides the storage: the disk size, capability 0x10, and the
// serial-number and RKP items of device `index`.
void ApplyDemoIdentity(LoaderEmulator& emulator, int index);
std::unique_ptr<LoaderEmulator> MakeDemoLoader(int index, DemoLayout layout = DemoLayout::kGpt,
                                               IClock& clock = SystemClock());
