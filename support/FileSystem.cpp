#include "support/FileSystem.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <system_error>
#include <vector>

namespace ks {

namespace {

constexpr char kSeparator = '/';

class FileHandle {
  public:
    explicit FileHandle(int fd) : fd_(fd) {}
    ~FileHandle() { Close(); }
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;
    int Get() const { return fd_; }
    bool Valid() const { return fd_ >= 0; }
    bool Close() {
        if (fd_ < 0) {
            return true;
        }
        const int rc = ::close(fd_);
        fd_ = -1;
        return rc == 0;
    }

  private:
    int fd_;
};

bool WriteAll(int fd, std::string_view bytes) {
    const char* p = bytes.data();
    std::size_t left = bytes.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, p, left);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        if (n == 0) {
            return false;
        }
        p += n;
        left -= static_cast<std::size_t>(n);
    }
    return true;
}

bool WriteInPlace(const std::string& path, std::string_view bytes) {
    FileHandle fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (!fd.Valid()) {
        return false;
    }
    const bool written = WriteAll(fd.Get(), bytes);
    return fd.Close() && written;
}

}  // namespace

bool FolderExists(const std::string& path) {
    std::error_code ec;
    return !path.empty() && std::filesystem::is_directory(path, ec);
}

std::string WithoutTrailingSeparator(std::string folder) {
    if (folder.size() > 1 && folder.back() == kSeparator) {
        folder.pop_back();
    }
    return folder;
}

bool CreateFolderChain(const std::string& folder) {
    if (folder.empty()) {
        return false;
    }
    // Walk the prefixes ending before each separator, then the whole folder. Existing levels are
    // skipped; every missing one is created in turn.
    std::size_t pos = 0;
    while (true) {
        const std::size_t next = folder.find(kSeparator, pos);
        const std::string prefix = next == std::string::npos ? folder : folder.substr(0, next);
        if (!prefix.empty() && !FolderExists(prefix)) {
            std::error_code ec;
            std::filesystem::create_directory(prefix, ec);
            if (!FolderExists(prefix)) {
                return false;
            }
        }
        if (next == std::string::npos) {
            return true;
        }
        pos = next + 1;
    }
}

ReadStatus ReadWholeFile(const std::string& path, std::size_t maxBytes, std::string& out) {
    out.clear();
    FileHandle fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.Valid()) {
        return errno == ENOENT ? ReadStatus::NotFound : ReadStatus::Unreadable;
    }
    struct stat st {};
    if (::fstat(fd.Get(), &st) != 0 || S_ISDIR(st.st_mode)) {
        return ReadStatus::Unreadable;
    }
    // The size is only a hint (special files report 0); reading stops at maxBytes + 1.
    std::vector<char> chunk(64 * 1024);
    while (true) {
        const ssize_t n = ::read(fd.Get(), chunk.data(), chunk.size());
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            out.clear();
            return ReadStatus::Unreadable;
        }
        if (n == 0) {
            return ReadStatus::Ok;
        }
        if (out.size() + static_cast<std::size_t>(n) > maxBytes) {
            out.clear();
            return ReadStatus::TooLarge;
        }
        out.append(chunk.data(), static_cast<std::size_t>(n));
    }
}

bool ReplaceFileContents(const std::string& path, std::string_view bytes) {
    std::string temp = path + ".XXXXXX";
    FileHandle fd(::mkstemp(temp.data()));
    if (!fd.Valid()) {
        return WriteInPlace(path, bytes);
    }
    struct stat st {};
    const mode_t mode = ::stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0644;
    ::fchmod(fd.Get(), mode);
    bool ok = WriteAll(fd.Get(), bytes);
    ok = ::fsync(fd.Get()) == 0 && ok;
    ok = fd.Close() && ok;
    if (ok && ::rename(temp.c_str(), path.c_str()) == 0) {
        return true;
    }
    ::unlink(temp.c_str());
    return false;
}

AppendStatus AppendToFile(const std::string& path, std::string_view headerIfNew,
                          std::string_view bytes) {
    bool created = true;
    int raw = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_APPEND | O_CLOEXEC, 0644);
    if (raw < 0 && errno == EEXIST) {
        created = false;
        raw = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    }
    FileHandle fd(raw);
    if (!fd.Valid()) {
        return AppendStatus::OpenFailed;
    }
    bool ok = true;
    if (created && !headerIfNew.empty()) {
        ok = WriteAll(fd.Get(), headerIfNew);
    }
    ok = ok && WriteAll(fd.Get(), bytes);
    ok = fd.Close() && ok;
    return ok ? AppendStatus::Appended : AppendStatus::WriteFailed;
}

}  // namespace ks
