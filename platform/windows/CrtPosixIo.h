// The few POSIX file calls that the simulated boards' state files (platform/sim) still make, over
// the C runtime, for the Windows build: CMake forces this header into that library only.
// Everything else goes through support/NativeFile.h. The calls that take a path (open, rename,
// the folder listing) are replaced here by UTF-8 versions over the W calls, so a state folder
// under C:\Users\张三 works; files are opened sharing delete, so that a board's fresh image can
// be renamed over the old one while the emulator has it open, as on POSIX.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>
#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <new>

#include "support/WideText.h"

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

namespace ks_crt_io {

inline int ErrnoOf(DWORD error) {
    switch (error) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_INVALID_NAME:
            return ENOENT;
        case ERROR_FILE_EXISTS:
        case ERROR_ALREADY_EXISTS:
            return EEXIST;
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION:
        case ERROR_LOCK_VIOLATION:
            return EACCES;
        case ERROR_NOT_ENOUGH_MEMORY:
        case ERROR_OUTOFMEMORY:
            return ENOMEM;
        default:
            return EIO;
    }
}

}  // namespace ks_crt_io

// open(2) with a UTF-8 path: CreateFileW sharing read, write and delete, then a CRT descriptor.
inline int ks_crt_open(const char* path, int flags, int /*mode*/ = 0) {
    DWORD access = GENERIC_READ;
    if ((flags & (_O_WRONLY | _O_RDWR)) != 0) {
        access = (flags & _O_WRONLY) != 0 ? GENERIC_WRITE : GENERIC_READ | GENERIC_WRITE;
    }
    DWORD disposition = OPEN_EXISTING;
    if ((flags & _O_CREAT) != 0) {
        disposition = (flags & _O_EXCL) != 0    ? CREATE_NEW
                      : (flags & _O_TRUNC) != 0 ? CREATE_ALWAYS
                                                : OPEN_ALWAYS;
    } else if ((flags & _O_TRUNC) != 0) {
        disposition = TRUNCATE_EXISTING;
    }
    const std::wstring name = ks::WidePath(path);
    HANDLE h =
        ::CreateFileW(name.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                      nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        errno = ks_crt_io::ErrnoOf(::GetLastError());
        return -1;
    }
    const int fd = ::_open_osfhandle(reinterpret_cast<intptr_t>(h),
                                     (flags & (_O_WRONLY | _O_RDWR | _O_APPEND)) | _O_BINARY);
    if (fd < 0) {
        ::CloseHandle(h);
        errno = EMFILE;
    }
    return fd;
}

// rename(2) with UTF-8 paths: replaces the target in one step, as POSIX does.
inline int ks_crt_rename(const char* from, const char* to) {
    if (::MoveFileExW(ks::WidePath(from).c_str(), ks::WidePath(to).c_str(),
                      MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        return 0;
    }
    errno = ks_crt_io::ErrnoOf(::GetLastError());
    return -1;
}

// A folder listing with UTF-8 names (opendir/readdir/closedir).
struct ks_crt_dirent {
    char d_name[1024];
};
struct ks_crt_dir {
    HANDLE find = INVALID_HANDLE_VALUE;
    WIN32_FIND_DATAW data{};
    bool pending = false;
    ks_crt_dirent entry{};
};

inline ks_crt_dir* ks_crt_opendir(const char* path) {
    std::wstring pattern = ks::WidePath(path);
    if (!pattern.empty() && pattern.back() != L'\\') {
        pattern += L'\\';
    }
    pattern += L'*';
    auto* dir = new (std::nothrow) ks_crt_dir;
    if (dir == nullptr) {
        errno = ENOMEM;
        return nullptr;
    }
    dir->find = ::FindFirstFileW(pattern.c_str(), &dir->data);
    if (dir->find == INVALID_HANDLE_VALUE) {
        errno = ks_crt_io::ErrnoOf(::GetLastError());
        delete dir;
        return nullptr;
    }
    dir->pending = true;
    return dir;
}

inline ks_crt_dirent* ks_crt_readdir(ks_crt_dir* dir) {
    while (dir->pending || ::FindNextFileW(dir->find, &dir->data)) {
        dir->pending = false;
        const std::string name = ks::Utf8FromWide(dir->data.cFileName);
        if (name.empty() || name.size() >= sizeof dir->entry.d_name) {
            continue;  // a name too long for the entry is no board file
        }
        std::memcpy(dir->entry.d_name, name.c_str(), name.size() + 1);
        return &dir->entry;
    }
    return nullptr;
}

inline int ks_crt_closedir(ks_crt_dir* dir) {
    ::FindClose(dir->find);
    delete dir;
    return 0;
}

#define open ks_crt_open
#define rename ks_crt_rename
#define opendir ks_crt_opendir
#define readdir ks_crt_readdir
#define closedir ks_crt_closedir
#define DIR ks_crt_dir
#define dirent ks_crt_dirent
