#include "platform/sim/DemoImage.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>

#include "device/ZRTransport.h"
#include "platform/sim/StandardCrc32.h"

using zr::PutLe16;
using zr::PutLe32;

namespace {

constexpr size_t kSector = SectorStore::kSectorSize;
constexpr uint32_t kGptEntries = 128;
constexpr size_t kGptEntrySize = 128;
constexpr uint32_t kGptEntrySectors = kGptEntries * kGptEntrySize / kSector;  // 32
constexpr size_t kGptNameUnits = 36;

// Demo disk layout, in sectors relative to the partition table's origin.
struct DemoPart {
    const char* name;
    uint32_t first;
    uint32_t count;  // 0: to the end of the disk
};
constexpr DemoPart kDemoParts[] = {
    {"uboot", 0x2000, 0x2000}, {"trust", 0x4000, 0x2000}, {"misc", 0x6000, 0x2000},
    {"boot", 0x8000, 0x10000}, {"userdata", 0x18000, 0},
};
constexpr uint32_t kDemoMiscFirst = 0x6000;
constexpr uint32_t kDemoMiscSectors = 0x2000;

void SetError(std::string* error, const char* text) {
    if (error != nullptr) {
        *error = text;
    }
}

void PutLe64(uint8_t* p, uint64_t v) {
    PutLe32(p, static_cast<uint32_t>(v));
    PutLe32(p + 4, static_cast<uint32_t>(v >> 32));
}

// UTF-8 to UTF-16 units; false on malformed input or more than maxUnits units.
bool Utf8ToUtf16(const std::string& text, std::vector<uint16_t>* out, size_t maxUnits) {
    out->clear();
    size_t i = 0;
    while (i < text.size()) {
        const auto c = static_cast<unsigned char>(text[i]);
        uint32_t cp = 0;
        size_t extra = 0;
        if (c < 0x80) {
            cp = c;
        } else if ((c & 0xE0) == 0xC0) {
            cp = c & 0x1F;
            extra = 1;
        } else if ((c & 0xF0) == 0xE0) {
            cp = c & 0x0F;
            extra = 2;
        } else if ((c & 0xF8) == 0xF0) {
            cp = c & 0x07;
            extra = 3;
        } else {
            return false;
        }
        if (i + extra >= text.size()) {
            return false;  // truncated sequence
        }
        for (size_t k = 1; k <= extra; ++k) {
            const auto cc = static_cast<unsigned char>(text[i + k]);
            if ((cc & 0xC0) != 0x80) {
                return false;
            }
            cp = (cp << 6) | (cc & 0x3F);
        }
        i += extra + 1;
        if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
            return false;
        }
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out->push_back(static_cast<uint16_t>(0xD800 + (cp >> 10)));
            out->push_back(static_cast<uint16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            out->push_back(static_cast<uint16_t>(cp));
        }
        if (out->size() > maxUnits) {
            return false;
        }
    }
    return true;
}

// A deterministic GUID-shaped value (version 4 layout) from a seed.
void MakeGuid(uint8_t* out16, uint64_t seed) {
    uint64_t x = seed * 0x9E3779B97F4A7C15ULL + 0x632BE59BD9B4E019ULL;
    for (int i = 0; i < 16; ++i) {
        x ^= x >> 33;
        x *= 0xFF51AFD7ED558CCDULL;
        x ^= x >> 29;
        out16[i] = static_cast<uint8_t>(x);
    }
    out16[7] = static_cast<uint8_t>((out16[7] & 0x0F) | 0x40);
    out16[8] = static_cast<uint8_t>((out16[8] & 0x3F) | 0x80);
}

uint64_t NameSeed(const std::string& name, size_t index) {
    uint64_t h = 1469598103934665603ULL;
    for (const char ch : name) {
        h = (h ^ static_cast<unsigned char>(ch)) * 1099511628211ULL;
    }
    return h ^ (static_cast<uint64_t>(index) << 48);
}

// Linux filesystem data partition type, in its on-disk byte order.
constexpr uint8_t kTypeLinuxData[16] = {0xAF, 0x3D, 0xC6, 0x0F, 0x83, 0x84, 0x72, 0x47,
                                        0x8E, 0x79, 0x3D, 0x69, 0xD8, 0x47, 0x7D, 0xE4};

}  // namespace

bool BuildGpt(SectorStore& store, const std::vector<GptPartition>& partitions, uint64_t diskSectors,
              std::string* error) {
    const uint64_t firstUsable = 2 + kGptEntrySectors;
    if (diskSectors < 2 * firstUsable + 1 || diskSectors > (uint64_t{1} << 32)) {
        SetError(error, "disk size out of range");
        return false;
    }
    const uint64_t lastUsable = diskSectors - 1 - kGptEntrySectors - 1;
    if (partitions.size() > kGptEntries) {
        SetError(error, "too many partitions");
        return false;
    }
    std::vector<uint8_t> entries(kGptEntries * kGptEntrySize, 0);
    std::vector<uint16_t> name;
    for (size_t i = 0; i < partitions.size(); ++i) {
        const GptPartition& p = partitions[i];
        if (p.firstLba < firstUsable || p.lastLba > lastUsable || p.lastLba < p.firstLba) {
            SetError(error, "partition outside the usable area");
            return false;
        }
        for (size_t j = 0; j < i; ++j) {
            if (p.firstLba <= partitions[j].lastLba && partitions[j].firstLba <= p.lastLba) {
                SetError(error, "partitions overlap");
                return false;
            }
        }
        if (p.name.empty() || !Utf8ToUtf16(p.name, &name, kGptNameUnits)) {
            SetError(error, "bad partition name");
            return false;
        }
        uint8_t* e = entries.data() + i * kGptEntrySize;
        std::memcpy(e, kTypeLinuxData, 16);
        MakeGuid(e + 16, NameSeed(p.name, i));
        PutLe64(e + 32, p.firstLba);
        PutLe64(e + 40, p.lastLba);
        for (size_t k = 0; k < name.size(); ++k) {
            PutLe16(e + 56 + 2 * k, name[k]);
        }
    }
    const uint32_t entriesCrc = StandardCrc32(entries.data(), entries.size());

    uint8_t diskGuid[16];
    MakeGuid(diskGuid, diskSectors ^ 0xD15C);

    const auto header = [&](uint64_t myLba, uint64_t otherLba, uint64_t entriesLba,
                            uint8_t* sector) {
        std::memset(sector, 0, kSector);
        std::memcpy(sector, "EFI PART", 8);
        PutLe32(sector + 8, 0x00010000);
        PutLe32(sector + 12, 92);
        PutLe64(sector + 24, myLba);
        PutLe64(sector + 32, otherLba);
        PutLe64(sector + 40, firstUsable);
        PutLe64(sector + 48, lastUsable);
        std::memcpy(sector + 56, diskGuid, 16);
        PutLe64(sector + 72, entriesLba);
        PutLe32(sector + 80, kGptEntries);
        PutLe32(sector + 84, kGptEntrySize);
        PutLe32(sector + 88, entriesCrc);
        PutLe32(sector + 16, StandardCrc32(sector, 92));
    };

    uint8_t mbr[kSector] = {};
    uint8_t* record = mbr + 446;
    record[1] = 0x00;
    record[2] = 0x02;
    record[3] = 0x00;
    record[4] = 0xEE;
    record[5] = record[6] = record[7] = 0xFF;
    PutLe32(record + 8, 1);
    PutLe32(record + 12, static_cast<uint32_t>(std::min<uint64_t>(diskSectors - 1, 0xFFFFFFFF)));
    mbr[510] = 0x55;
    mbr[511] = 0xAA;

    uint8_t primary[kSector];
    uint8_t backup[kSector];
    const uint64_t backupEntries = diskSectors - 1 - kGptEntrySectors;
    header(1, diskSectors - 1, 2, primary);
    header(diskSectors - 1, 1, backupEntries, backup);

    return store.Write(0, 1, mbr) && store.Write(1, 1, primary) &&
           store.Write(2, kGptEntrySectors, entries.data()) &&
           store.Write(static_cast<uint32_t>(backupEntries), kGptEntrySectors, entries.data()) &&
           store.Write(static_cast<uint32_t>(diskSectors - 1), 1, backup);
}

bool WriteParameterFile(SectorStore& store, uint32_t at, const std::string& text) {
    if (text.size() > 0x100000) {
        return false;
    }
    std::vector<uint8_t> file(8 + text.size() + 4, 0);
    std::memcpy(file.data(), "PARM", 4);
    PutLe32(file.data() + 4, static_cast<uint32_t>(text.size()));
    std::memcpy(file.data() + 8, text.data(), text.size());
    PutLe32(file.data() + 8 + text.size(),
            StandardCrc32(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
    const size_t sectors = (file.size() + kSector - 1) / kSector;
    file.resize(sectors * kSector, 0);
    return store.Write(at, static_cast<uint32_t>(sectors), file.data());
}

std::string DemoParameterText() {
    std::string parts;
    char piece[96];
    for (const DemoPart& p : kDemoParts) {
        if (p.count == 0) {
            std::snprintf(piece, sizeof(piece), "-@0x%08x(%s:grow)", p.first, p.name);
        } else {
            std::snprintf(piece, sizeof(piece), "0x%08x@0x%08x(%s),", p.count, p.first, p.name);
        }
        parts += piece;
    }
    return "FIRMWARE_VER: 1.0\r\n"
           "MACHINE_MODEL: KSDEMO\r\n"
           "MACHINE_ID: 007\r\n"
           "MANUFACTURER: demo\r\n"
           "MAGIC: 0x5041524B\r\n"
           "ATAG: 0x00200800\r\n"
           "MACHINE: 3288\r\n"
           "CHECK_MASK: 0x80\r\n"
           "PWR_HLD: 0,0,A,0,1\r\n"
           "CMDLINE: console=ttyS2,115200n8 root=PARTLABEL=rootfs mtdparts=zrflash:" +
           parts + "\r\n";
}

DemoFacts DemoLoaderFacts(int index, DemoLayout layout) {
    DemoFacts facts;
    facts.miscFirst = kDemoMiscFirst + (layout == DemoLayout::kParameterAt8192 ? 8192 : 0);
    facts.miscSectors = kDemoMiscSectors;
    facts.keyAreaSector = facts.miscFirst + facts.miscSectors - 128;
    char serial[32];
    std::snprintf(serial, sizeof(serial), "KSDEMO%04d", index);
    facts.serial = serial;
    std::string rkp = "{\"serial\":\"" + facts.serial + "\",\"build\":\"demo-loader\",\"csr\":\"";
    static const char kHex[] = "0123456789abcdef";
    uint64_t x = 0x5EED0000ULL + static_cast<uint64_t>(index);
    for (int i = 0; i < 192; ++i) {
        x = x * 6364136223846793005ULL + 1442695040888963407ULL;
        rkp += kHex[(x >> 60) & 0xF];
    }
    rkp += "\"}";
    facts.rkpData.assign(rkp.begin(), rkp.end());
    return facts;
}

void ApplyDemoIdentity(LoaderEmulator& emulator, int index) {
    const DemoFacts facts = DemoLoaderFacts(index);
    LoaderConfig config = emulator.Config();
    config.capability[0] = 0x10;
    config.capacitySectors = kDemoDiskSectors;
    emulator.SetConfig(config);
    emulator.SetItem(kDemoItemSerial, 0,
                     std::vector<uint8_t>(facts.serial.begin(), facts.serial.end()));
    emulator.SetItem(kDemoItemRkp, 0, facts.rkpData);
}

void PopulateDemoLoader(LoaderEmulator& emulator, int index, DemoLayout layout) {
    const DemoFacts facts = DemoLoaderFacts(index, layout);
    ApplyDemoIdentity(emulator, index);

    emulator.EditStore([&](SectorStore& store) {
        store.Clear();
        switch (layout) {
            case DemoLayout::kGpt: {
                std::vector<GptPartition> parts;
                for (const DemoPart& p : kDemoParts) {
                    const uint64_t last =
                        p.count == 0 ? kDemoDiskSectors - 34 : uint64_t{p.first} + p.count - 1;
                    parts.push_back({p.name, p.first, last});
                }
                BuildGpt(store, parts, kDemoDiskSectors);
                break;
            }
            case DemoLayout::kParameterAt0:
                WriteParameterFile(store, 0, DemoParameterText());
                break;
            case DemoLayout::kParameterAt8192:
                WriteParameterFile(store, 8192, DemoParameterText());
                break;
        }
        uint8_t vendor[kSector] = {};
        std::memcpy(vendor, "VEND", 4);
        PutLe32(vendor + 4, 1);  // version
        std::snprintf(reinterpret_cast<char*>(vendor + 16), 64, "%s", facts.serial.c_str());
        for (size_t i = 80; i < 252; ++i) {
            vendor[i] = static_cast<uint8_t>(i * 7 + static_cast<size_t>(index));
        }
        store.Write(LoaderEmulator::kVendorSector, 1, vendor);
    });
}

std::unique_ptr<LoaderEmulator> MakeDemoLoader(int index, DemoLayout layout, IClock& clock) {
    auto emulator = std::make_unique<LoaderEmulator>(LoaderConfig{}, clock);
    PopulateDemoLoader(*emulator, index, layout);
    return emulator;
}
