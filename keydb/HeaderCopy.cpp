#include "keydb/HeaderCopy.h"

#include <cstring>
#include <exception>

#include "keydb/KeyFileFormat.h"
#include "keydb/Sha256.h"

namespace header_copy {

namespace {
constexpr uint8_t kMagic[4] = {'K', 'S', 'H', 'C'};
constexpr uint32_t kVersion = 1;
}  // namespace

bool Encode(const uint8_t* header, size_t size, std::vector<uint8_t>* out) {
    if (size > 0xFFFF) {
        return false;
    }
    try {
        out->assign(kOverhead + size, 0);
    } catch (const std::exception&) {
        return false;
    }
    uint8_t* p = out->data();
    std::memcpy(p, kMagic, 4);
    kdb::StoreLe32(p + 4, kVersion);
    kdb::StoreLe32(p + 8, static_cast<uint32_t>(size));
    if (size != 0) {
        std::memcpy(p + 12, header, size);
    }
    return DoHash256(p + 12 + size, p, 12 + size);
}

bool Decode(const uint8_t* data, size_t size, std::vector<uint8_t>* header) {
    if (data == nullptr || size < kOverhead || size > kMaxSize ||
        std::memcmp(data, kMagic, 4) != 0 || kdb::LoadLe32(data + 4) != kVersion) {
        return false;
    }
    const uint32_t length = kdb::LoadLe32(data + 8);
    if (length != size - kOverhead) {
        return false;
    }
    uint8_t digest[32];
    if (!DoHash256(digest, data, 12 + length) || std::memcmp(digest, data + 12 + length, 32) != 0) {
        return false;
    }
    try {
        header->assign(data + 12, data + 12 + length);
    } catch (const std::exception&) {
        return false;
    }
    return true;
}

}  // namespace header_copy
