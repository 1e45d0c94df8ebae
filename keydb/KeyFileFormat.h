// Field offsets and byte-order helpers of the key file header (see KeyFile.h for the layout).
#pragma once

#include <cstddef>
#include <cstdint>

namespace kdb {

constexpr uint32_t kTag = 0x584F424Bu;  // "KBOX"

constexpr size_t kOffTag = 0;
constexpr size_t kOffHeaderSize = 4;
constexpr size_t kOffSecondShared = 6;
constexpr size_t kOffMinute = 7;
constexpr size_t kOffHour = 8;
constexpr size_t kOffKeySizeHigh = 9;
constexpr size_t kOffDay = 10;
constexpr size_t kOffMonth = 11;
constexpr size_t kOffYear = 12;
constexpr size_t kOffKeyCount = 14;
constexpr size_t kOffUnusedCount = 18;
constexpr size_t kOffKeySizeLow = 22;
constexpr size_t kOffDigest = 24;
constexpr size_t kOffRecordInfo = 56;
constexpr size_t kOffBitmap = 72;

constexpr size_t kDigestSize = 32;
constexpr size_t kRecordInfoSize = 16;
constexpr size_t kCrcSize = 4;
constexpr uint8_t kSharedKeyBit = 0x80;
constexpr uint8_t kSecondMask = 0x7F;

constexpr uint32_t kMinHeaderSize = 74;
constexpr uint32_t kMaxHeaderSize = 0xFFFF;
constexpr uint32_t kMaxKeySize = 0xFFFFFF;

constexpr uint64_t BitmapBytes(uint64_t keyCount) {
    return (keyCount + 7) / 8;
}

// True when the bitmap of keyCount keys ends before the CRC of a header of headerSize bytes.
constexpr bool BitmapFits(uint64_t headerSize, uint64_t keyCount) {
    return headerSize >= kOffBitmap + kCrcSize &&
           kOffBitmap + BitmapBytes(keyCount) <= headerSize - kCrcSize;
}

// The most keys any header can describe.
constexpr uint32_t kMaxKeyCount = (kMaxHeaderSize - kCrcSize - kOffBitmap) * 8;

// The smallest header for keyCount keys.
constexpr uint64_t MinHeaderSizeFor(uint64_t keyCount) {
    const uint64_t h = kOffBitmap + BitmapBytes(keyCount) + kCrcSize;
    return h < kMinHeaderSize ? kMinHeaderSize : h;
}

inline uint16_t LoadLe16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

inline uint32_t LoadLe32(const uint8_t* p) {
    return uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
}

inline void StoreLe16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

inline void StoreLe32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}

}  // namespace kdb
