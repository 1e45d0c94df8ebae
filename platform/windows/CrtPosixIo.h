// The few POSIX file calls that the simulated boards' state files (platform/sim) still make, over
// the C runtime, for the Windows build: CMake forces this header into that library only.
// Everything else goes through support/NativeFile.h.
#pragma once

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>
#include <windows.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>

// Every open is binary; links, close-on-exec and FIFOs do not apply here.
#define O_CLOEXEC _O_BINARY
#define O_NOFOLLOW 0
#define O_NONBLOCK 0
// No sparse-file hole query: every offset holds data.
#define SEEK_DATA SEEK_SET

namespace ks_crt_io {

inline ssize_t Transfer(int fd, void* buffer, const void* data, std::size_t n, int64_t offset) {
    HANDLE h = reinterpret_cast<HANDLE>(::_get_osfhandle(fd));
    if (h == INVALID_HANDLE_VALUE) {
        errno = EBADF;
        return -1;
    }
    OVERLAPPED o{};
    o.Offset = static_cast<DWORD>(static_cast<uint64_t>(offset) & 0xFFFFFFFFu);
    o.OffsetHigh = static_cast<DWORD>(static_cast<uint64_t>(offset) >> 32);
    const DWORD piece = n > (1u << 30) ? (1u << 30) : static_cast<DWORD>(n);
    DWORD done = 0;
    const BOOL ok = buffer != nullptr ? ::ReadFile(h, buffer, piece, &done, &o)
                                      : ::WriteFile(h, data, piece, &done, &o);
    if (!ok) {
        if (buffer != nullptr && ::GetLastError() == ERROR_HANDLE_EOF) {
            return 0;
        }
        errno = EIO;
        return -1;
    }
    return static_cast<ssize_t>(done);
}

}  // namespace ks_crt_io

inline ssize_t pread(int fd, void* buffer, std::size_t n, off_t offset) {
    return ks_crt_io::Transfer(fd, buffer, nullptr, n, offset);
}

inline ssize_t pwrite(int fd, const void* data, std::size_t n, off_t offset) {
    return ks_crt_io::Transfer(fd, nullptr, data, n, offset);
}

inline int fsync(int fd) {
    return ::_commit(fd);
}
