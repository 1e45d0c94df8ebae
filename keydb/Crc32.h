// The key file's header CRC: width 32, polynomial 0x04C10DB7, most significant bit first, initial
// value 0, no final XOR.
#pragma once

#include <cstddef>
#include <cstdint>

uint32_t CalcCrc32(const uint8_t* data, size_t length);
