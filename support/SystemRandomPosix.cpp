#include <sys/random.h>

#include <cerrno>

#include "support/SystemRandom.h"

namespace ks {

bool FillSystemRandom(void* buffer, std::size_t len, int* error) {
    auto* p = static_cast<unsigned char*>(buffer);
    while (len > 0) {
        const ssize_t n = ::getrandom(p, len, 0);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            if (error != nullptr) {
                *error = n < 0 ? errno : EIO;
            }
            return false;
        }
        p += n;
        len -= static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace ks
