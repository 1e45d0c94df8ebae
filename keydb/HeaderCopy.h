// The copy of a key file header kept beside the file while the header is rewritten in place
// (keys.kdb.header-copy): "KSHC", a format version, the header's length, the header, and a
// SHA-256 of everything before it, so that a copy cut short by a power cut is recognised.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace header_copy {

constexpr size_t kOverhead = 4 + 4 + 4 + 32;
constexpr size_t kMaxSize = kOverhead + 0xFFFF;

// False only when memory runs out.
bool Encode(const uint8_t* header, size_t size, std::vector<uint8_t>* out);
// The header held by a copy that checks out; false for anything else (empty, cut, altered).
bool Decode(const uint8_t* data, size_t size, std::vector<uint8_t>* header);

}  // namespace header_copy
