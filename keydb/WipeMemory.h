// Overwrites memory with zeros in a way the compiler may not drop as a dead store.
#pragma once

#include <cstddef>

void WipeMemory(void* data, size_t length);
