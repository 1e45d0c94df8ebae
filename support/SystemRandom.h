// The operating system's cryptographic random bytes.
#pragma once

#include <cstddef>

namespace ks {

// Fills buffer with len random bytes; false (with the platform's code in *error) on failure.
bool FillSystemRandom(void* buffer, std::size_t len, int* error);

}  // namespace ks
