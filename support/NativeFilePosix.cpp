// NativeFile over POSIX file descriptors.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

#include "support/FileSystem.h"
#include "support/NativeFile.h"

namespace ks {

namespace {

int Fd(intptr_t handle) {
    return static_cast<int>(handle);
}

// One read or write, asked again while the system breaks it off with EINTR.
template <typename Io>
ssize_t Uninterrupted(Io io) {
    ssize_t n = -1;
    do {
        n = io();
    } while (n < 0 && errno == EINTR);
    return n;
}

std::string FolderForSync(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

bool NativeFile::Fail() {
    error_ = errno;
    return false;
}

bool NativeFile::Open(const std::string& path, unsigned flags, unsigned mode) {
    Close();
    int oflags = O_CLOEXEC;
    if ((flags & kFileFolder) != 0) {
        oflags |= O_RDONLY | O_DIRECTORY;
    } else if ((flags & kFileRead) != 0 && (flags & (kFileWrite | kFileAppend)) != 0) {
        oflags |= O_RDWR;
    } else if ((flags & (kFileWrite | kFileAppend)) != 0) {
        oflags |= O_WRONLY;
    } else {
        oflags |= O_RDONLY;
    }
    oflags |= (flags & kFileCreate) != 0 ? O_CREAT : 0;
    oflags |= (flags & kFileExclusive) != 0 ? O_EXCL : 0;
    oflags |= (flags & kFileTruncate) != 0 ? O_TRUNC : 0;
    oflags |= (flags & kFileAppend) != 0 ? O_APPEND : 0;
    oflags |= (flags & kFileNoFollow) != 0 ? O_NOFOLLOW : 0;
    oflags |= (flags & kFileNonBlock) != 0 ? O_NONBLOCK : 0;
    int fd = -1;
    do {
        fd = ::open(path.c_str(), oflags, static_cast<mode_t>(mode));
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        return Fail();
    }
    handle_ = fd;
    return true;
}

bool NativeFile::Close() {
    if (handle_ == kNone) {
        return true;
    }
    const int rc = ::close(Fd(handle_));
    handle_ = kNone;
    return rc == 0 || Fail();
}

int64_t NativeFile::Read(void* buffer, std::size_t len) {
    const ssize_t n = Uninterrupted([&] { return ::read(Fd(handle_), buffer, len); });
    return n >= 0 || Fail() ? n : -1;
}

int64_t NativeFile::ReadAt(uint64_t offset, void* buffer, std::size_t len) {
    const ssize_t n = Uninterrupted(
        [&] { return ::pread(Fd(handle_), buffer, len, static_cast<off_t>(offset)); });
    return n >= 0 || Fail() ? n : -1;
}

int64_t NativeFile::WriteAt(uint64_t offset, const void* data, std::size_t len) {
    const ssize_t n =
        Uninterrupted([&] { return ::pwrite(Fd(handle_), data, len, static_cast<off_t>(offset)); });
    return n >= 0 || Fail() ? n : -1;
}

bool NativeFile::WriteAll(const void* data, std::size_t len) {
    const auto* p = static_cast<const char*>(data);
    while (len > 0) {
        const ssize_t n = ::write(Fd(handle_), p, len);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            if (n == 0) {
                errno = EIO;
            }
            return Fail();
        }
        p += n;
        len -= static_cast<std::size_t>(n);
    }
    return true;
}

bool NativeFile::Flush() {
    return ::fsync(Fd(handle_)) == 0 || Fail();
}

int64_t NativeFile::Size() {
    struct stat st {};
    if (::fstat(Fd(handle_), &st) != 0) {
        Fail();
        return -1;
    }
    return static_cast<int64_t>(st.st_size);
}

bool NativeFile::Truncate(uint64_t length) {
    return ::ftruncate(Fd(handle_), static_cast<off_t>(length)) == 0 || Fail();
}

bool NativeFile::IsRegularFile() {
    struct stat st {};
    if (::fstat(Fd(handle_), &st) != 0) {
        return Fail();
    }
    return S_ISREG(st.st_mode);
}

bool NativeFile::Identity(FileIdentity* out) {
    struct stat st {};
    if (::fstat(Fd(handle_), &st) != 0) {
        return Fail();
    }
    out->device = static_cast<uint64_t>(st.st_dev);
    out->file = static_cast<uint64_t>(st.st_ino);
    return true;
}

bool IdentityOfPath(const std::string& path, FileIdentity* out, int* error) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        if (error != nullptr) {
            *error = errno;
        }
        return false;
    }
    out->device = static_cast<uint64_t>(st.st_dev);
    out->file = static_cast<uint64_t>(st.st_ino);
    return true;
}

bool NativeFile::TryLockExclusive(bool* held) {
    if (held != nullptr) {
        *held = false;
    }
    int rc = 0;
    do {
        rc = ::flock(Fd(handle_), LOCK_EX | LOCK_NB);
    } while (rc != 0 && errno == EINTR);
    if (rc == 0) {
        return true;
    }
    if (held != nullptr) {
        *held = errno == EWOULDBLOCK;
    }
    return Fail();
}

void NativeFile::TakeOwnerAndModeOf(const std::string& like) {
    struct stat st {};
    if (::stat(like.c_str(), &st) == 0) {
        ::fchmod(Fd(handle_), st.st_mode & 07777);
        // Keeps the owner where the process may (root, or its own file); fails harmlessly else.
        [[maybe_unused]] const int owned = ::fchown(Fd(handle_), st.st_uid, st.st_gid);
    } else {
        ::fchmod(Fd(handle_), 0644);
    }
}

bool IsNotFoundError(int error) {
    return error == ENOENT;
}

bool IsSharingError(int /*error*/) {
    return false;  // no share modes here
}

bool IsExistsError(int error) {
    return error == EEXIST;
}

std::string SystemErrorText(int error) {
    return std::strerror(error);
}

int OutOfMemoryError() {
    return ENOMEM;
}

int NotWritableError() {
    return EBADF;
}

bool SyncFolderOf(const std::string& path) {
    NativeFile folder;
    return folder.Open(FolderForSync(path), kFileFolder) && folder.Flush();
}

bool RenameReplacing(const std::string& from, const std::string& to, int* error) {
    if (::rename(from.c_str(), to.c_str()) == 0) {
        return true;
    }
    if (error != nullptr) {
        *error = errno;
    }
    return false;
}

bool RenameNoReplace(const std::string& from, const std::string& to, bool* exists, int* error) {
    if (exists != nullptr) {
        *exists = false;
    }
    int err = 0;
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) {
        return true;
    }
    err = errno;
    if (err == EINVAL || err == ENOSYS) {
        // No atomic no-replace rename here; a hard link refuses an existing name too.
        if (::link(from.c_str(), to.c_str()) == 0) {
            ::unlink(from.c_str());
            return true;
        }
        err = errno;
    }
    if (exists != nullptr) {
        *exists = err == EEXIST;
    }
    if (error != nullptr) {
        *error = err;
    }
    return false;
}

bool RemoveFile(const std::string& path) {
    return ::unlink(path.c_str()) == 0 || errno == ENOENT;
}

std::string ResolveLinks(const std::string& path) {
    std::string current = path;
    for (int hops = 0; hops < 16; ++hops) {
        struct stat st {};
        if (::lstat(current.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) {
            return current;
        }
        std::vector<char> target(4096);
        const ssize_t n = ::readlink(current.c_str(), target.data(), target.size());
        if (n <= 0 || static_cast<std::size_t>(n) >= target.size()) {
            return current;
        }
        std::string next(target.data(), static_cast<std::size_t>(n));
        if (next.front() != '/') {
            const std::size_t slash = current.rfind('/');
            next =
                (slash == std::string::npos ? std::string() : current.substr(0, slash + 1)) + next;
        }
        current = std::move(next);
    }
    return current;
}

std::string RealPath(const std::string& path) {
    char* resolved = ::realpath(path.c_str(), nullptr);
    if (resolved == nullptr) {
        return path;
    }
    std::string out(resolved);
    std::free(resolved);
    return out;
}

std::string CreateUniqueFile(const std::string& prefix, NativeFile* file) {
    std::string name = prefix + "XXXXXX";
    const int fd = ::mkstemp(name.data());
    if (fd < 0) {
        return std::string();
    }
    ::close(fd);
    if (!file->Open(name, kFileWrite | kFileNoFollow)) {
        ::unlink(name.c_str());
        return std::string();
    }
    return name;
}

bool CreateOneFolder(const std::string& path, bool privateToUser) {
    if (::mkdir(path.c_str(), privateToUser ? 0700 : 0777) == 0) {
        return true;
    }
    struct stat st {};
    return errno == EEXIST && ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool FolderExists(const std::string& path) {
    struct stat st {};
    return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool FreeSpaceOf(const std::string& folder, uint64_t* available) {
    struct statvfs st {};
    if (::statvfs(folder.empty() ? "." : folder.c_str(), &st) != 0) {
        return false;
    }
    *available = static_cast<uint64_t>(st.f_bavail) * st.f_frsize;
    return true;
}

bool IsPathSeparator(char c) {
    return c == '/';
}

}  // namespace ks
