// IKeyFileIo over a POSIX file descriptor. The station's lock is flock(): it belongs to the open
// file description, so a second open of the same file is refused even within one process.
#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <new>

#include "keydb/KeyFileIo.h"

namespace {

class CPosixKeyFileIo final : public IKeyFileIo {
  public:
    explicit CPosixKeyFileIo(int fd) : fd_(fd) {}
    ~CPosixKeyFileIo() override {
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

  private:
    int fd_;
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
    result.io.reset(new (std::nothrow) CPosixKeyFileIo(fd));
    if (!result.io) {
        close(fd);
        result.status = KeyFileOpenStatus::OpenFailed;
        result.error = ENOMEM;
        return result;
    }
    result.status = KeyFileOpenStatus::Ok;
    return result;
}
