#include "platform/sim/HostileBoard.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <vector>

#include "device/ZRTransport.h"
#include "platform/sim/LoaderEmulator.h"

using namespace zr;

namespace {

constexpr size_t kSector = 512;
constexpr size_t kRawSector = 528;  // sector reads of 0x04 carry 16 spare bytes per sector
constexpr uint32_t kParameterTag = 0x4D524150;  // "PARM"
constexpr uint32_t kParameterAltSector = 8192;
constexpr uint16_t kSerialItem = 1;
constexpr uint16_t kRkpItem = 0x43;
constexpr uint32_t kRkpRoom = 5120;
constexpr size_t kMaxExtraData = 4096;  // the most a data phase grows by

constexpr const char* kHabitNames[] = {
    "status-tag", "signature",  "status-value", "residue",     "long-data", "short-data",
    "capability", "flash-info", "gpt-header",   "gpt-entries", "parameter", "item-length",
    "serial",     "rkp-empty",  "rkp-large",    "silent",
};
constexpr int kHabitCount = static_cast<int>(sizeof(kHabitNames) / sizeof(kHabitNames[0]));

// Serial numbers in code page 936 that must never become a file name as they are.
struct SerialLie {
    const char* bytes;
    size_t size;
};
#define KS_SERIAL(text) \
    { text, sizeof(text) - 1 }
constexpr SerialLie kSerialLies[] = {
    KS_SERIAL("../escaped"),
    KS_SERIAL("../../escaped"),
    KS_SERIAL("../../../escaped"),
    KS_SERIAL("a/../../escaped"),
    KS_SERIAL(".."),
    KS_SERIAL("."),
    KS_SERIAL("sub/dir"),
    KS_SERIAL("/etc/passwd"),
    KS_SERIAL("..\\..\\escaped"),
    KS_SERIAL("KS\\0001"),
    KS_SERIAL("KS\x01\x02\x03"),
    KS_SERIAL("KS\x1b[2J"),
    KS_SERIAL("KS\r\n0001"),
    KS_SERIAL("KS\x7f"),
    KS_SERIAL("\x00KS0001"),
    KS_SERIAL("KS\x00/../x"),
    KS_SERIAL("KS\x80\xff"),         // no lead byte of code page 936
    KS_SERIAL("KS\x81\x20"),         // a lead byte with a trail that is none
    KS_SERIAL("KS\x81"),             // a lead byte at the end
    KS_SERIAL("\xd6\xd0/\xce\xc4"),  // Chinese text around a separator
    KS_SERIAL("\xa1\xa1..\xa1\xa1"),
    KS_SERIAL(""),
};
#undef KS_SERIAL

// GPT numbers that mean trouble: beyond the disk, at the 32- and 64-bit edges.
constexpr uint64_t kBadLbas[] = {
    0,
    1,
    33,
    0x00800000,  // the demo disk's end
    0x00FFFFFF,
    0xFFFFFF7FULL,
    0xFFFFFFFFULL,
    0x100000000ULL,
    0x100000080ULL,
    0x7FFFFFFFFFFFFFFFULL,
    0xFFFFFFFFFFFFFF80ULL,
    0xFFFFFFFFFFFFFFFFULL,
};
constexpr uint32_t kBadCounts[] = {0, 1, 4, 127, 128, 129, 256, 0x10000, 0x7FFFFFFF, 0xFFFFFFFF};

void PutLe64(uint8_t* p, uint64_t v) {
    for (int i = 0; i < 8; ++i) {
        p[i] = static_cast<uint8_t>(v >> (8 * i));
    }
}

}  // namespace

std::string HostileHabitNames(uint32_t habits) {
    std::string text;
    for (int i = 0; i < kHabitCount; ++i) {
        if ((habits & (1u << i)) != 0) {
            text += text.empty() ? "" : ",";
            text += kHabitNames[i];
        }
    }
    return text.empty() ? "honest" : text;
}

struct HostileBoard::State {
    std::mutex lock;
    uint64_t random = 0;
    uint32_t habits = 0;
    uint64_t silentFrom = 0;  // the answer from which on a silent board says nothing
    HostileCounts counts;

    uint64_t Next() {
        random += 0x9E3779B97F4A7C15ULL;
        uint64_t z = random;
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        return z ^ (z >> 31);
    }
    // 0 .. n-1 (n > 0).
    uint64_t Below(uint64_t n) { return Next() % n; }
    bool OneIn(uint64_t n) { return Below(n) == 0; }
    bool Has(uint32_t habit) const { return (habits & habit) != 0; }
    template <typename T, size_t N>
    T Pick(const T (&values)[N]) {
        return values[Below(N)];
    }
    void Fill(uint8_t* p, size_t n) {
        for (size_t i = 0; i < n; ++i) {
            p[i] = static_cast<uint8_t>(Next());
        }
    }

    void Answer(LoaderReply& reply);
    bool ReplaceAnswer(std::vector<uint8_t>& data);
    bool LieAboutSectors(const uint8_t* cb, std::vector<uint8_t>& data);
    bool LieAboutGptHeader(uint8_t* sector);
    bool LieAboutGptEntries(uint8_t* sector);
    bool LieAboutParameter(uint8_t* at, size_t room);
    bool LieAboutItem(const uint8_t* cb, std::vector<uint8_t>& data);
    bool LieAboutStatus(const LoaderReply& reply, uint8_t* csw);
};

HostileBoard::HostileBoard(uint64_t seed, uint32_t habits) : state_(std::make_shared<State>()) {
    State& s = *state_;
    s.random = seed;
    if (habits == kHostileAllHabits) {
        // One board in five is honest; the others keep one to three habits.
        habits = 0;
        if (!s.OneIn(5)) {
            const uint64_t n = 1 + s.Below(3);
            for (uint64_t i = 0; i < n; ++i) {
                habits |= 1u << s.Below(kHabitCount);
            }
        }
    }
    s.habits = habits & kHostileAllHabits;
    s.silentFrom = s.Below(16);
}

void HostileBoard::Attach(LoaderEmulator& emulator) {
    std::shared_ptr<State> state = state_;
    emulator.SetReplyFilter([state](LoaderReply& reply) {
        std::lock_guard<std::mutex> guard(state->lock);
        state->Answer(reply);
    });
}

uint32_t HostileBoard::Habits() const {
    std::lock_guard<std::mutex> guard(state_->lock);
    return state_->habits;
}

HostileCounts HostileBoard::Counts() const {
    std::lock_guard<std::mutex> guard(state_->lock);
    return state_->counts;
}

void HostileBoard::State::Answer(LoaderReply& reply) {
    const uint8_t* cb = reply.commandBlock.data() + kCbwCb;
    const uint8_t op = cb[0];
    std::vector<uint8_t>& data = *reply.data;
    const uint64_t number = counts.commands++;
    bool lied = false;

    if (Has(kHostileSilent) && number >= silentFrom) {
        reply.silentMs = HostileBoard::kSilentReadMs;
        ++counts.lies;
        return;
    }
    // Lies about content, told most of the time the command fits.
    if (!OneIn(4)) {
        if ((op == 0xAA && Has(kHostileCapability)) || (op == 0x1A && Has(kHostileFlashInfo))) {
            lied = ReplaceAnswer(data);
        } else if (op == 0x04 || op == 0x14) {
            lied = LieAboutSectors(cb, data);
        } else if (op == 0x27) {
            lied = LieAboutItem(cb, data);
        }
    }
    // Lies about the data phase's length.
    if (!data.empty() && Has(kHostileLongData) && OneIn(3)) {
        const size_t extra = 1 + Below(OneIn(2) ? 16 : kMaxExtraData);
        const size_t old = data.size();
        data.resize(old + extra);
        Fill(data.data() + old, extra);
        lied = true;
    }
    if (!data.empty() && Has(kHostileShortData) && OneIn(3)) {
        data.resize(Below(data.size()));
        lied = true;
    }
    lied = LieAboutStatus(reply, reply.statusBlock) || lied;
    if (lied) {
        ++counts.lies;
    }
}

// A capability or flash-info answer of a length of its own: any from 0 to 32, or a few larger.
bool HostileBoard::State::ReplaceAnswer(std::vector<uint8_t>& data) {
    static constexpr size_t kLongLengths[] = {63, 64, 511, 512, 513, 1024, 4096};
    const size_t length = OneIn(4) ? Pick(kLongLengths) : Below(33);
    const uint8_t first = data.empty() ? 0 : data[0];
    data.assign(length, 0);
    Fill(data.data(), data.size());
    if (!data.empty() && OneIn(2)) {
        data[0] = first;  // keeps the capability bits the station looks at
    }
    return true;
}

bool HostileBoard::State::LieAboutSectors(const uint8_t* cb, std::vector<uint8_t>& data) {
    const size_t stride = cb[0] == 0x04 ? kRawSector : kSector;
    const uint32_t address = GetBe32(cb + 2);
    bool lied = false;
    for (size_t at = 0; at + kSector <= data.size(); at += stride) {
        const uint64_t lba = uint64_t{address} + at / stride;
        uint8_t* sector = data.data() + at;
        if (lba == 1 && Has(kHostileGptHeader) && std::memcmp(sector, "EFI PART", 8) == 0) {
            lied = LieAboutGptHeader(sector) || lied;
        } else if (lba >= 2 && lba <= 33 && Has(kHostileGptEntries)) {
            lied = LieAboutGptEntries(sector) || lied;
        } else if ((lba == 0 || lba == kParameterAltSector) && Has(kHostileParameter) &&
                   GetLe32(sector) == kParameterTag) {
            // The file may run over several sectors of this read: it gets the rest of it.
            lied = LieAboutParameter(sector, data.size() - at) || lied;
        }
    }
    return lied;
}

bool HostileBoard::State::LieAboutGptHeader(uint8_t* sector) {
    switch (Below(6)) {
        case 0:  // header size
            PutLe32(sector + 12, Pick(kBadCounts));
            break;
        case 1:  // first and last usable LBA
            PutLe64(sector + 40, Pick(kBadLbas));
            PutLe64(sector + 48, Pick(kBadLbas));
            break;
        case 2:  // where the entries are
            PutLe64(sector + 72, Pick(kBadLbas));
            break;
        case 3:  // how many entries
            PutLe32(sector + 80, Pick(kBadCounts));
            break;
        case 4:  // how large each entry is
            PutLe32(sector + 84, Pick(kBadCounts));
            break;
        default:  // all at once
            PutLe64(sector + 72, Pick(kBadLbas));
            PutLe32(sector + 80, Pick(kBadCounts));
            PutLe32(sector + 84, Pick(kBadCounts));
            break;
    }
    return true;
}

bool HostileBoard::State::LieAboutGptEntries(uint8_t* sector) {
    bool lied = false;
    for (size_t e = 0; e < kSector / 128; ++e) {
        uint8_t* entry = sector + e * 128;
        const bool used = std::any_of(entry, entry + 16, [](uint8_t b) { return b != 0; });
        if (!used || OneIn(2)) {
            continue;
        }
        PutLe64(entry + 32, Pick(kBadLbas));
        PutLe64(entry + 40, Pick(kBadLbas));
        if (OneIn(4)) {
            // Every name "misc": the first one found is as wrong as any other.
            static constexpr uint8_t kMisc[] = {'m', 0, 'i', 0, 's', 0, 'c', 0, 0, 0};
            std::memcpy(entry + 56, kMisc, sizeof(kMisc));
        } else if (OneIn(4)) {
            std::fill(entry + 56, entry + 128, uint8_t{0xFF});  // a name without an end
        }
        lied = true;
    }
    return lied;
}

bool HostileBoard::State::LieAboutParameter(uint8_t* at, size_t room) {
    static constexpr const char* kPieces[] = {
        "0xffffffff@0xffffff80(misc)",
        "0x00002000@0xfffffff0(misc)",
        "0x00000080@0x7fffff80(misc)",
        "0x0000007f@0x00006000(misc)",
        "0x1ffffffff@0x00006000(misc)",
        "-@0x00006000(misc)",
        "0x00002000@(misc)",
        "0x00002000@0x00006000(misc",
        "0x00002000@0x00006000()",
        "0x@0x(misc)",
        "0x00002000@0x00006000(MISC)",
        "0x00002000@0x00006000(misc),0x00002000@0x00ffffff(misc)",
        "0x00002000@0x00006000(\xce\xc4misc)",
    };
    std::string text = "FIRMWARE_VER: 1.0\r\nCMDLINE: mtdparts=zrflash:";
    const uint64_t pieces = 1 + Below(3);
    for (uint64_t i = 0; i < pieces; ++i) {
        text += i == 0 ? "" : ",";
        text += Pick(kPieces);
    }
    if (OneIn(3)) {
        text.append(Below(4096), 'x');  // a line longer than anything the file holds
    }
    text += "\r\n";
    if (room < 8) {
        return false;
    }
    const size_t fits = std::min(text.size(), room - 8);
    std::memcpy(at + 8, text.data(), fits);
    static constexpr uint32_t kLengths[] = {0,       1,          0x7FFFF,   0x80000,
                                            0x80001, 0xFFFFFFF8, 0xFFFFFFFF};
    // The length field: what was written, or a number of its own.
    PutLe32(at + 4, OneIn(2) ? static_cast<uint32_t>(fits) : Pick(kLengths));
    return true;
}

bool HostileBoard::State::LieAboutItem(const uint8_t* cb, std::vector<uint8_t>& data) {
    if (data.size() < 8) {
        return false;
    }
    const uint16_t id = GetBe16(cb + 2);
    const size_t room = data.size() - 8;
    bool lied = false;
    if (id == kSerialItem && Has(kHostileSerial)) {
        std::fill(data.begin() + 8, data.end(), uint8_t{0});
        if (OneIn(6)) {
            // Longer than any serial number, maybe without an end.
            const size_t n = std::min<size_t>(room, 50 + Below(600));
            std::fill(data.begin() + 8, data.begin() + 8 + static_cast<long>(n), uint8_t{'A'});
            PutLe16(data.data() + 4, static_cast<uint16_t>(n));
        } else {
            const SerialLie lie = Pick(kSerialLies);
            const size_t n = std::min(room, lie.size);
            std::memcpy(data.data() + 8, lie.bytes, n);
            PutLe16(data.data() + 4, static_cast<uint16_t>(n));
        }
        lied = true;
    }
    if (id == kRkpItem && Has(kHostileRkpEmpty)) {
        PutLe16(data.data() + 4, 0);
        lied = true;
    }
    if (id == kRkpItem && Has(kHostileRkpLarge)) {
        const uint32_t length = kRkpRoom + static_cast<uint32_t>(Below(0x10000 - kRkpRoom));
        PutLe16(data.data() + 4, static_cast<uint16_t>(length));
        if (OneIn(2) && length + size_t{8} > data.size()) {
            // ... and sends all of it, more than was asked for.
            const size_t old = data.size();
            data.resize(length + size_t{8});
            Fill(data.data() + old, data.size() - old);
        }
        lied = true;
    }
    if (Has(kHostileItemLength)) {
        static constexpr uint16_t kLengths[] = {0xFFFF, 0x8000, 5121, 513, 512};
        const uint16_t length =
            OneIn(2) ? Pick(kLengths) : static_cast<uint16_t>(std::min<size_t>(room + 1, 0xFFFF));
        PutLe16(data.data() + 4, length);
        if (OneIn(4)) {
            PutLe16(data.data(), static_cast<uint16_t>(id + 1));  // another item's header
        }
        lied = true;
    }
    return lied;
}

bool HostileBoard::State::LieAboutStatus(const LoaderReply& reply, uint8_t* csw) {
    bool lied = false;
    if (Has(kHostileStatusTag) && OneIn(3)) {
        const uint32_t tag = GetLe32(csw + kCswTag);
        PutLe32(csw + kCswTag, OneIn(2) ? tag + 1 : tag ^ (1u << Below(32)));
        lied = true;
    }
    if (Has(kHostileSignature) && OneIn(3)) {
        static constexpr uint32_t kSignatures[] = {0x43425355 /* "USBC" */, 0x73425355, 0,
                                                   0xFFFFFFFF};
        PutLe32(csw, Pick(kSignatures));
        lied = true;
    }
    if (Has(kHostileStatusValue) && OneIn(3)) {
        static constexpr uint8_t kValues[] = {1, 2, 3, 0x80, 0xFF};
        csw[kCswStatus] = Pick(kValues);
        lied = true;
    }
    if (Has(kHostileResidue) && OneIn(3)) {
        const uint32_t length = GetLe32(reply.commandBlock.data() + kCbwDataLength);
        static constexpr uint32_t kResidues[] = {0x80000000u, 0xFFFFFFFFu};
        PutLe32(csw + kCswResidue,
                OneIn(2) ? length + 1 + static_cast<uint32_t>(Below(4096)) : Pick(kResidues));
        lied = true;
    }
    return lied;
}
