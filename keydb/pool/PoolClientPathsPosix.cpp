// The PostgreSQL client's file names on POSIX systems: paths are bytes, the client finds its
// defaults itself.
#include <sys/socket.h>

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

bool IsLocalSocket(int socket) {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    return socket >= 0 &&
           ::getsockname(socket, reinterpret_cast<sockaddr*>(&address), &length) == 0 &&
           address.ss_family == AF_UNIX;
}

}  // namespace pool
