// poll() for the key pool's socket wait in the Windows build, over WSAPoll: this folder is on
// the include path of the pool library on Windows only (keydb/pool/CMakeLists.txt).
#pragma once

#include <winsock2.h>

#include <vector>

// winsock2.h has a pollfd of its own whose fd is a SOCKET; the pool's code holds an int (what
// PQsocket gives), so the names below stand in for poll's.
struct ks_pollfd {
    int fd;
    short events;
    short revents;
};

inline int ks_poll(ks_pollfd* fds, unsigned long count, int timeoutMs) {
    std::vector<WSAPOLLFD> sockets(count);
    for (unsigned long i = 0; i < count; ++i) {
        sockets[i].fd = static_cast<SOCKET>(fds[i].fd);
        sockets[i].events = fds[i].events;
        sockets[i].revents = 0;
    }
    const int ready = ::WSAPoll(sockets.data(), count, timeoutMs);
    for (unsigned long i = 0; i < count; ++i) {
        fds[i].revents = sockets[i].revents;
    }
    return ready;
}

#define pollfd ks_pollfd
#define poll ks_poll
