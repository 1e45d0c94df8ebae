// IKeyFileIo over a POSIX file descriptor. The station's lock is flock(): it belongs to the open
// file description, so a second open of the same file is refused even within one process.
#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <exception>
#include <new>
#include <string>

#include "keydb/KeyFileIo.h"
#include "support/Paths.h"

namespace {

int OpenRetrying(const char* path, int flags, mode_t mode = 0) {
    int fd = -1;
    do {
        fd = open(path, flags | O_CLOEXEC, mode);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

bool WriteAllAt(int fd, uint64_t offset, const uint8_t* data, size_t len, bool append) {
    size_t done = 0;
    while (done < len) {
        const ssize_t n =
            append ? write(fd, data + done, len - done)
                   : pwrite(fd, data + done, len - done, static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            if (n == 0) {
                errno = EIO;
            }
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

// Flushes a folder so that a file created in it keeps its name across a power cut.
bool SyncFolder(const std::string& file) {
    const std::string folder = ks::FolderOf(file);
    const int fd = OpenRetrying(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY);
    if (fd < 0) {
        return false;
    }
    const bool ok = fsync(fd) == 0;
    const int err = errno;
    close(fd);
    errno = err;
    return ok;
}

class CPosixKeyFileIo final : public IKeyFileIo {
  public:
    CPosixKeyFileIo(int fd, std::string path, bool writable)
        : fd_(fd), path_(std::move(path)), writable_(writable) {}
    ~CPosixKeyFileIo() override {
        for (Companion& c : companions_) {
            if (c.fd >= 0) {
                close(c.fd);
            }
        }
        if (fd_ >= 0) {
            close(fd_);  // also drops the lock
        }
    }
    CPosixKeyFileIo(const CPosixKeyFileIo&) = delete;
    CPosixKeyFileIo& operator=(const CPosixKeyFileIo&) = delete;

    int64_t Size() override {
        struct stat st {};
        if (fstat(fd_, &st) != 0) {
            error_ = errno;
            return -1;
        }
        return static_cast<int64_t>(st.st_size);
    }

    int64_t ReadAt(uint64_t offset, uint8_t* buffer, size_t len) override {
        for (;;) {
            const ssize_t n = pread(fd_, buffer, len, static_cast<off_t>(offset));
            if (n >= 0) {
                return n;
            }
            if (errno != EINTR) {
                error_ = errno;
                return -1;
            }
        }
    }

    int64_t WriteAt(uint64_t offset, const uint8_t* buffer, size_t len) override {
        for (;;) {
            const ssize_t n = pwrite(fd_, buffer, len, static_cast<off_t>(offset));
            if (n >= 0) {
                return n;
            }
            if (errno != EINTR) {
                error_ = errno;
                return -1;
            }
        }
    }

    bool Sync() override {
        if (fdatasync(fd_) != 0) {
            error_ = errno;
            return false;
        }
        return true;
    }

    int LastError() const override { return error_; }

    int64_t CompanionReadAt(KeyFileCompanion which, uint64_t offset, uint8_t* buffer,
                            size_t len) override {
        Companion& c = Get(which);
        int fd = c.fd;
        bool own = false;
        if (fd < 0) {
            fd = OpenRetrying(c.path.c_str(), O_RDONLY);
            if (fd < 0) {
                if (errno == ENOENT) {
                    return 0;
                }
                error_ = errno;
                return -1;
            }
            own = true;
        }
        ssize_t n = -1;
        do {
            n = pread(fd, buffer, len, static_cast<off_t>(offset));
        } while (n < 0 && errno == EINTR);
        if (n < 0) {
            error_ = errno;
        }
        if (own) {
            close(fd);
        }
        return n;
    }

    bool CompanionReplace(KeyFileCompanion which, const uint8_t* data, size_t len) override {
        Companion& c = Get(which);
        if (!Open(c)) {
            return false;
        }
        if (!WriteAllAt(c.fd, 0, data, len, false) ||
            ftruncate(c.fd, static_cast<off_t>(len)) != 0 || fdatasync(c.fd) != 0) {
            error_ = errno;
            return false;
        }
        return true;
    }

    bool CompanionAppend(KeyFileCompanion which, const uint8_t* data, size_t len) override {
        Companion& c = Get(which);
        if (!Open(c, O_APPEND)) {
            return false;
        }
        if (!WriteAllAt(c.fd, 0, data, len, true) || fdatasync(c.fd) != 0) {
            error_ = errno;
            return false;
        }
        return true;
    }

    bool CompanionClear(KeyFileCompanion which) override {
        Companion& c = Get(which);
        if (c.fd < 0) {
            return true;
        }
        if (ftruncate(c.fd, 0) != 0) {
            error_ = errno;
            return false;
        }
        return true;
    }

    void CompanionRemove(KeyFileCompanion which) override {
        Companion& c = Get(which);
        if (c.fd >= 0) {
            close(c.fd);
            c.fd = -1;
        }
        if (writable_) {
            unlink(c.path.c_str());
        }
    }

  private:
    struct Companion {
        std::string path;
        int fd = -1;
    };

    Companion& Get(KeyFileCompanion which) {
        Companion& c = companions_[which == KeyFileCompanion::kJournal ? 0 : 1];
        if (c.path.empty()) {
            c.path = CompanionPath(path_, which);
        }
        return c;
    }

    // Opens the companion for writing once; a file this call creates gets its name flushed.
    bool Open(Companion& c, int extraFlags = 0) {
        if (c.fd >= 0) {
            return true;
        }
        if (!writable_) {
            error_ = EBADF;
            return false;
        }
        int fd = OpenRetrying(c.path.c_str(), O_WRONLY | extraFlags);
        bool created = false;
        if (fd < 0 && errno == ENOENT) {
            fd = OpenRetrying(c.path.c_str(), O_WRONLY | O_CREAT | extraFlags, 0644);
            created = true;
        }
        if (fd < 0) {
            error_ = errno;
            return false;
        }
        if (created && (fdatasync(fd) != 0 || !SyncFolder(c.path))) {
            error_ = errno;
            close(fd);
            return false;
        }
        c.fd = fd;
        return true;
    }

    int fd_;
    std::string path_;
    bool writable_;
    Companion companions_[2];
    int error_ = 0;
};

}  // namespace

KeyFileOpenResult OpenKeyFileIo(const std::string& path, KeyFileAccess access) {
    KeyFileOpenResult result;
    const int flags = (access == KeyFileAccess::Station ? O_RDWR : O_RDONLY) | O_CLOEXEC;
    int fd = -1;
    do {
        fd = open(path.c_str(), flags);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        result.status = KeyFileOpenStatus::OpenFailed;
        result.error = errno;
        return result;
    }
    if (access == KeyFileAccess::Station) {
        int rc = 0;
        do {
            rc = flock(fd, LOCK_EX | LOCK_NB);
        } while (rc != 0 && errno == EINTR);
        if (rc != 0) {
            const int err = errno;
            close(fd);
            result.status =
                err == EWOULDBLOCK ? KeyFileOpenStatus::InUse : KeyFileOpenStatus::OpenFailed;
            result.error = err;
            return result;
        }
    }
    try {
        result.io.reset(new CPosixKeyFileIo(fd, path, access == KeyFileAccess::Station));
    } catch (const std::exception&) {
        result.io.reset();
    }
    if (!result.io) {
        close(fd);
        result.status = KeyFileOpenStatus::OpenFailed;
        result.error = ENOMEM;
        return result;
    }
    result.status = KeyFileOpenStatus::Ok;
    return result;
}
