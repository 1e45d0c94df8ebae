// The common CRC-32 (reflected polynomial 0xEDB88320, initial value and final XOR all ones), as
// GPT headers and the simulated boards' state records carry it.
#pragma once

#include <cstddef>
#include <cstdint>

uint32_t StandardCrc32(const uint8_t* data, size_t size);
