// Block functions behind CSha256: each compresses `count` consecutive 64-byte blocks into state.
#pragma once

#include <cstddef>
#include <cstdint>

extern const uint32_t kSha256RoundConstants[64];

void Sha256BlocksPortable(uint32_t state[8], const uint8_t* blocks, size_t count);

// True when Sha256BlocksShaNi was compiled in and the CPU has the SHA extensions and SSE4.1.
bool Sha256CpuHasShaNi();
// Only callable when Sha256CpuHasShaNi() is true.
void Sha256BlocksShaNi(uint32_t state[8], const uint8_t* blocks, size_t count);
