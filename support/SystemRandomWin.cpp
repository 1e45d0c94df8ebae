#include <windows.h>
// <bcrypt.h> needs the types of <windows.h>.
#include <bcrypt.h>

#include "support/SystemRandom.h"

namespace ks {

bool FillSystemRandom(void* buffer, std::size_t len, int* error) {
    auto* p = static_cast<unsigned char*>(buffer);
    while (len > 0) {
        const ULONG piece = len > 0x40000000 ? 0x40000000 : static_cast<ULONG>(len);
        const NTSTATUS status =
            ::BCryptGenRandom(nullptr, p, piece, BCRYPT_USE_SYSTEM_PREFERRED_RNG);
        if (status < 0) {
            if (error != nullptr) {
                *error = static_cast<int>(status);
            }
            return false;
        }
        p += piece;
        len -= piece;
    }
    return true;
}

}  // namespace ks
