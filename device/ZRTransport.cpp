#include "device/ZRTransport.h"

#include <atomic>
#include <chrono>
#include <cstring>

namespace zr {

OpcodeTraits TraitsForOpcode(uint8_t opcode) {
    switch (opcode) {
        case 0x00:
        case 0x01:
        case 0x1A:
        case 0x1B:
        case 0x20:
        case 0x2B:
        case 0xAA:
            return {kFlagDataIn, 6};
        case 0x03:
        case 0x04:
        case 0x14:
        case 0x17:
        case 0x21:
        case 0x24:
        case 0x27:
        case 0x28:
            return {kFlagDataIn, 10};
        case 0x05:
        case 0x06:
        case 0x0B:
        case 0x15:
        case 0x18:
        case 0x19:
        case 0x1F:
        case 0x22:
        case 0x23:
        case 0x25:
        case 0x26:
            return {0x00, 10};
        case 0x16:
        case 0x1E:
        case 0x2A:
        case 0xFF:
            return {0x00, 6};
        default:
            return {0x00, 0};
    }
}

uint32_t TagSource::FreshSeed() {
    static std::atomic<uint32_t> counter{0};
    const uint64_t now =
        static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    const uint32_t n = counter.fetch_add(1, std::memory_order_relaxed);
    uint64_t mixed = now ^ (static_cast<uint64_t>(n) * 0x9E3779B97F4A7C15ULL);
    mixed ^= mixed >> 29;
    mixed *= 0xBF58476D1CE4E5B9ULL;
    mixed ^= mixed >> 32;
    return static_cast<uint32_t>(mixed);
}

uint32_t TagSource::Draw15() {
    state_ = state_ * 1103515245u + 12345u;
    return (state_ >> 16) & 0x7FFF;
}

uint32_t TagSource::NextTag() {
    uint32_t tag = 0;
    for (int i = 0; i < 4; ++i) {
        const uint32_t byte = Draw15() * 256 / 32768;  // 0..255
        tag = tag * 256 + byte;
    }
    return tag;
}

void BuildCommandBlock(uint8_t* block31, uint8_t opcode, uint32_t tag) {
    std::memset(block31, 0, kCommandBlockSize);
    PutLe32(block31, kCommandSignature);
    PutLe32(block31 + kCbwTag, tag);
    const OpcodeTraits traits = TraitsForOpcode(opcode);
    block31[kCbwFlags] = traits.flags;
    block31[kCbwCbLength] = traits.commandLength;
    block31[kCbwCb] = opcode;
}

StatusBlock ParseStatusBlock(const uint8_t* block13) {
    StatusBlock s;
    s.signature = GetLe32(block13);
    s.tag = GetLe32(block13 + kCswTag);
    std::memcpy(s.residue, block13 + kCswResidue, 4);
    s.status = block13[kCswStatus];
    return s;
}

void BuildStatusBlock(uint8_t* block13, uint32_t tag, uint32_t residueLe, uint8_t status) {
    PutLe32(block13, kStatusSignature);
    PutLe32(block13 + kCswTag, tag);
    PutLe32(block13 + kCswResidue, residueLe);
    block13[kCswStatus] = status;
}

uint32_t SectorChecksum(const uint8_t* data, uint32_t sectorCount) {
    uint32_t sum = 0;
    const size_t words = static_cast<size_t>(sectorCount) * (kSectorSize / 4);
    for (size_t i = 0; i < words; ++i) {
        sum += GetLe32(data + i * 4);
    }
    return sum;
}

}  // namespace zr
