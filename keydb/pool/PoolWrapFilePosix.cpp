// The wrap key file on POSIX systems: only its owner may read or write it.
#include <fcntl.h>
#include <openssl/rand.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <string>

#include "keydb/WipeMemory.h"
#include "keydb/pool/PoolCrypto.h"

namespace pool {

bool ReadWrapKeyFile(const std::string& path, WrapKey* key, std::string* error) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        *error = "the wrap key file " + path + " cannot be opened";
        return false;
    }
    struct stat st {};
    bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    if (!ok) {
        *error = "the wrap key file " + path + " is not a regular file";
    }
    if (ok && (st.st_mode & 077) != 0) {
        *error = "the wrap key file " + path + " may be read by others (chmod 600 it)";
        ok = false;
    }
    if (ok && st.st_size != static_cast<off_t>(kWrapKeyBytes)) {
        *error = "the wrap key file " + path + " does not hold 32 bytes";
        ok = false;
    }
    if (ok) {
        size_t got = 0;
        while (got < kWrapKeyBytes) {
            const ssize_t n = ::read(fd, key->bytes.data() + got, kWrapKeyBytes - got);
            if (n <= 0) {
                break;
            }
            got += static_cast<size_t>(n);
        }
        ok = got == kWrapKeyBytes;
        if (!ok) {
            *error = "the wrap key file " + path + " could not be read";
        }
    }
    ::close(fd);
    return ok;
}

bool WriteNewWrapKeyFile(const std::string& path, std::string* error) {
    std::array<uint8_t, kWrapKeyBytes> bytes{};
    if (RAND_bytes(bytes.data(), static_cast<int>(bytes.size())) != 1) {
        *error = "no random bytes";
        return false;
    }
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
        WipeMemory(bytes.data(), bytes.size());
        *error = path + " exists or cannot be created";
        return false;
    }
    bool ok = ::fchmod(fd, 0600) == 0 &&
              ::write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size()) &&
              ::fsync(fd) == 0;
    ok = ::close(fd) == 0 && ok;
    WipeMemory(bytes.data(), bytes.size());
    if (!ok) {
        ::unlink(path.c_str());
        *error = path + " could not be written";
    }
    return ok;
}

}  // namespace pool
