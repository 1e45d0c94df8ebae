// The key area at the end of the misc partition: 128 sectors holding the key bytes followed by
// zeros. No header of the station's own.
#pragma once

#include <cstddef>
#include <cstdint>

namespace misc_key {
inline constexpr uint16_t kAreaSectors = 128;
inline constexpr size_t kAreaBytes = 65536;
}  // namespace misc_key

// Fills the whole area: key bytes first, zeros after them. False (area untouched) when the key
// does not fit.
bool BuildMiscKeyImage(uint8_t* area, size_t areaSize, const uint8_t* key, size_t keySize);

// True when the first keySize bytes of the area read back equal the key; the padding after it is
// not compared.
bool MiscKeyMatches(const uint8_t* area, size_t areaSize, const uint8_t* key, size_t keySize);
