#include "provision/MiscKeyImage.h"

#include <cstring>

bool BuildMiscKeyImage(uint8_t* area, size_t areaSize, const uint8_t* key, size_t keySize) {
    if (area == nullptr || keySize > areaSize || (keySize > 0 && key == nullptr)) {
        return false;
    }
    std::memset(area, 0, areaSize);
    if (keySize > 0) {
        std::memcpy(area, key, keySize);
    }
    return true;
}

bool MiscKeyMatches(const uint8_t* area, size_t areaSize, const uint8_t* key, size_t keySize) {
    if (area == nullptr || keySize > areaSize || (keySize > 0 && key == nullptr)) {
        return false;
    }
    return keySize == 0 || std::memcmp(area, key, keySize) == 0;
}
