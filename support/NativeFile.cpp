// What the file seam does the same way on every platform; the calls themselves are in
// NativeFilePosix.cpp and NativeFileWin.cpp.
#include "support/NativeFile.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <cerrno>
#endif

#include <utility>

namespace ks {

namespace {

// The platform's code for a write that stored nothing.
#ifdef _WIN32
constexpr int kWriteFault = ERROR_WRITE_FAULT;
#else
constexpr int kWriteFault = EIO;
#endif

}  // namespace

NativeFile::~NativeFile() {
    Close();
}

NativeFile::NativeFile(NativeFile&& other) noexcept
    : handle_(std::exchange(other.handle_, kNone)), error_(other.error_) {}

NativeFile& NativeFile::operator=(NativeFile&& other) noexcept {
    if (this != &other) {
        Close();
        handle_ = std::exchange(other.handle_, kNone);
        error_ = other.error_;
    }
    return *this;
}

bool NativeFile::WriteAllAt(uint64_t offset, const void* data, std::size_t len) {
    const auto* p = static_cast<const char*>(data);
    while (len > 0) {
        const int64_t n = WriteAt(offset, p, len);
        if (n <= 0) {
            if (n == 0) {
                error_ = kWriteFault;
            }
            return false;
        }
        p += n;
        len -= static_cast<std::size_t>(n);
        offset += static_cast<uint64_t>(n);
    }
    return true;
}

}  // namespace ks
