// The PostgreSQL client's file names on POSIX systems: paths are bytes, the client finds its
// defaults itself.
#include "keydb/pool/PoolCrypto.h"

namespace pool {

bool ClientFilePath(const std::string& path, std::string* out, std::string* /*error*/) {
    *out = path;
    return true;
}

std::string PassFileDefault() {
    return {};
}

std::string RootCertDefault() {
    return {};
}

bool NoHostIsTcp() {
    return false;
}

}  // namespace pool
