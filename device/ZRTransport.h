// Framing of the loader's bulk-only transport: the 31-byte command block, the 13-byte status
// block, the opcode rule and the per-command tag. Shared by the host transport and the device
// emulator.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zr {

constexpr size_t kCommandBlockSize = 31;
constexpr size_t kStatusBlockSize = 13;
constexpr size_t kSectorSize = 512;
constexpr uint32_t kCommandSignature = 0x43425355;  // "USBC"
constexpr uint32_t kStatusSignature = 0x53425355;   // "USBS"
constexpr uint8_t kFlagDataIn = 0x80;

// Command block field offsets.
constexpr size_t kCbwTag = 4;
constexpr size_t kCbwDataLength = 8;
constexpr size_t kCbwFlags = 12;
constexpr size_t kCbwLun = 13;
constexpr size_t kCbwCbLength = 14;
constexpr size_t kCbwCb = 15;  // command bytes CB[0..15]

// Status block field offsets.
constexpr size_t kCswTag = 4;
constexpr size_t kCswResidue = 8;
constexpr size_t kCswStatus = 12;

inline void PutLe32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}
inline void PutLe16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
inline void PutBe32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}
inline void PutBe16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}
inline uint32_t GetLe32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
inline uint16_t GetLe16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
inline uint32_t GetBe32(const uint8_t* p) {
    return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
           (static_cast<uint32_t>(p[2]) << 8) | static_cast<uint32_t>(p[3]);
}
inline uint16_t GetBe16(const uint8_t* p) {
    return static_cast<uint16_t>((p[0] << 8) | p[1]);
}

// Direction flag and command length the opcode rule gives an opcode (0x00 / 0 for opcodes
// outside the rule).
struct OpcodeTraits {
    uint8_t flags;
    uint8_t commandLength;
};
OpcodeTraits TraitsForOpcode(uint8_t opcode);

// Draws command tags: four draws of a 15-bit linear congruential generator (the classic C
// library one), each scaled to 0..255, most significant byte first. One instance per command
// object, so no state is shared between threads.
class TagSource {
  public:
    explicit TagSource(uint32_t seed) : state_(seed) {}
    // A seed that differs between objects and runs.
    static uint32_t FreshSeed();
    uint32_t NextTag();

  private:
    uint32_t Draw15();
    uint32_t state_;
};

// Fills a command block for opcode: signature, tag, zeroed fields, flags and command length by
// the opcode rule, CB[0] = opcode. The caller fills the rest.
void BuildCommandBlock(uint8_t* block31, uint8_t opcode, uint32_t tag);

struct StatusBlock {
    uint32_t signature = 0;
    uint32_t tag = 0;
    uint8_t residue[4] = {};  // raw bytes 8..11
    uint8_t status = 0;
};
StatusBlock ParseStatusBlock(const uint8_t* block13);
void BuildStatusBlock(uint8_t* block13, uint32_t tag, uint32_t residueLe, uint8_t status);

// The sector-write checksum: the wrapping sum of the data taken as count x 128 little-endian
// 32-bit words.
uint32_t SectorChecksum(const uint8_t* data, uint32_t sectorCount);

}  // namespace zr
