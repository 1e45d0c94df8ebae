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

namespace {

// The file a path leads to: the path itself, or the target of a symbolic link (relative targets
// are taken from the link's folder), followed for a bounded number of links.
std::string ResolveLinks(const std::string& path) {
    std::string current = path;
    for (int hops = 0; hops < 16; ++hops) {
        struct stat st {};
        if (::lstat(current.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) {
            return current;
        }
        std::vector<char> target(4096);
        const ssize_t n = ::readlink(current.c_str(), target.data(), target.size());
        if (n <= 0 || static_cast<size_t>(n) >= target.size()) {
            return current;
        }
        std::string next(target.data(), static_cast<size_t>(n));
        if (next.front() != '/') {
            const size_t slash = current.rfind('/');
            next =
                (slash == std::string::npos ? std::string() : current.substr(0, slash + 1)) + next;
        }
        current = std::move(next);
    }
    return current;
}

// -1: no temporary file could be made; 0: failed after that; 1: replaced.
int ReplaceThroughTemporary(const std::string& target, std::string_view bytes) {
    std::string temp = target + ".XXXXXX";
    FileHandle fd(::mkstemp(temp.data()));
    if (!fd.Valid()) {
        return -1;
    }
    struct stat st {};
    if (::stat(target.c_str(), &st) == 0) {
        ::fchmod(fd.Get(), st.st_mode & 07777);
        // Keeps the owner where the process may (root, or its own file); fails harmlessly else.
        [[maybe_unused]] const int owned = ::fchown(fd.Get(), st.st_uid, st.st_gid);
    } else {
        ::fchmod(fd.Get(), 0644);
    }
    bool ok = WriteAll(fd.Get(), bytes);
    ok = ::fsync(fd.Get()) == 0 && ok;
    ok = fd.Close() && ok;
    if (!ok || ::rename(temp.c_str(), target.c_str()) != 0) {
        ::unlink(temp.c_str());
        return 0;
    }
    const size_t slash = target.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : target.substr(0, slash + 1);
    FileHandle dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.Valid()) {
        ::fsync(dir.Get());
    }
    return 1;
}

}  // namespace

bool ReplaceFileAtomically(const std::string& path, std::string_view bytes) {
    return ReplaceThroughTemporary(ResolveLinks(path), bytes) == 1;
}

bool ReplaceFileContents(const std::string& path, std::string_view bytes) {
    const std::string target = ResolveLinks(path);
    const int result = ReplaceThroughTemporary(target, bytes);
    return result == 1 || (result < 0 && WriteInPlace(target, bytes));
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
