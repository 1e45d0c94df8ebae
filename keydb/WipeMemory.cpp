#include "keydb/WipeMemory.h"

#include <string.h>

void WipeMemory(void* data, size_t length) {
    if (data == nullptr || length == 0) {
        return;
    }
#if defined(__GLIBC__) || defined(__FreeBSD__) || defined(__OpenBSD__)
    explicit_bzero(data, length);
#else
    volatile unsigned char* p = static_cast<volatile unsigned char*>(data);
    for (size_t i = 0; i < length; ++i) {
        p[i] = 0;
    }
#endif
}
