// The wrap key file on Windows, through the file seam (UTF-16 paths). The folder's access list
// is what keeps others out there; the file itself is only checked to be 32 bytes.
#include <openssl/rand.h>

#include <array>
#include <string>

#include "keydb/WipeMemory.h"
#include "keydb/pool/PoolCrypto.h"
#include "support/NativeFile.h"

namespace pool {

bool ReadWrapKeyFile(const std::string& path, WrapKey* key, std::string* error) {
    ks::NativeFile file;
    if (!file.Open(path, ks::kFileRead)) {
        *error = "the wrap key file " + path + " cannot be opened";
        return false;
    }
    if (!file.IsRegularFile() || file.Size() != static_cast<int64_t>(kWrapKeyBytes)) {
        *error = "the wrap key file " + path + " does not hold 32 bytes";
        return false;
    }
    size_t got = 0;
    while (got < kWrapKeyBytes) {
        const int64_t n = file.Read(key->bytes.data() + got, kWrapKeyBytes - got);
        if (n <= 0) {
            break;
        }
        got += static_cast<size_t>(n);
    }
    if (got != kWrapKeyBytes) {
        *error = "the wrap key file " + path + " could not be read";
        return false;
    }
    return true;
}

bool WriteNewWrapKeyFile(const std::string& path, std::string* error) {
    std::array<uint8_t, kWrapKeyBytes> bytes{};
    if (RAND_bytes(bytes.data(), static_cast<int>(bytes.size())) != 1) {
        *error = "no random bytes";
        return false;
    }
    ks::NativeFile file;
    const bool ok = file.Open(path, ks::kFileWrite | ks::kFileCreate | ks::kFileExclusive, 0600) &&
                    file.WriteAll(bytes.data(), bytes.size()) && file.Flush() && file.Close();
    WipeMemory(bytes.data(), bytes.size());
    if (!ok) {
        *error = path + " exists or could not be written";
    }
    return ok;
}

}  // namespace pool
