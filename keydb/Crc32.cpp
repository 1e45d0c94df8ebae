#include "keydb/Crc32.h"

#include <array>

namespace {

constexpr uint32_t kPolynomial = 0x04C10DB7u;

// kTables[0][i] is i * 2^24 shifted through eight steps with the polynomial; kTables[k][i] is
// the remainder of the same byte followed by k zero bytes, for eight bytes per step.
constexpr std::array<std::array<uint32_t, 256>, 8> MakeTables() {
    std::array<std::array<uint32_t, 256>, 8> t{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t c = i << 24;
        for (int bit = 0; bit < 8; ++bit) {
            c = (c & 0x80000000u) != 0 ? (c << 1) ^ kPolynomial : c << 1;
        }
        t[0][i] = c;
    }
    for (size_t k = 1; k < 8; ++k) {
        for (uint32_t i = 0; i < 256; ++i) {
            const uint32_t prev = t[k - 1][i];
            t[k][i] = (prev << 8) ^ t[0][prev >> 24];
        }
    }
    return t;
}

constexpr auto kTables = MakeTables();

}  // namespace

uint32_t CalcCrc32(const uint8_t* data, size_t length) {
    uint32_t c = 0;
    if (data == nullptr) {
        return c;
    }
    while (length >= 8) {
        const uint32_t hi = c ^ ((uint32_t{data[0]} << 24) | (uint32_t{data[1]} << 16) |
                                 (uint32_t{data[2]} << 8) | uint32_t{data[3]});
        c = kTables[7][hi >> 24] ^ kTables[6][(hi >> 16) & 0xFF] ^ kTables[5][(hi >> 8) & 0xFF] ^
            kTables[4][hi & 0xFF] ^ kTables[3][data[4]] ^ kTables[2][data[5]] ^
            kTables[1][data[6]] ^ kTables[0][data[7]];
        data += 8;
        length -= 8;
    }
    while (length-- > 0) {
        c = (c << 8) ^ kTables[0][(c >> 24) ^ *data++];
    }
    return c;
}
