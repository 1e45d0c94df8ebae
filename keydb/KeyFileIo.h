// The key database's only window on the file system: positioned reads and writes on one open
// key file, a flush to stable storage, and the platform's last error code.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

class IKeyFileIo {
  public:
    virtual ~IKeyFileIo() = default;
    // File length in bytes, or -1.
    virtual int64_t Size() = 0;
    // Reads up to len bytes at offset: bytes read (0 at end of file), or -1 on error.
    virtual int64_t ReadAt(uint64_t offset, uint8_t* buffer, size_t len) = 0;
    // Writes up to len bytes at offset: bytes written (possibly fewer than len), or -1 on error.
    virtual int64_t WriteAt(uint64_t offset, const uint8_t* buffer, size_t len) = 0;
    // Flushes written data to stable storage.
    virtual bool Sync() = 0;
    // The platform error code of the last failed call (errno on POSIX).
    virtual int LastError() const = 0;
};

enum class KeyFileAccess {
    // Read and write, holding an exclusive advisory lock for the object's life: one station per
    // key file.
    Station,
    // Read only, no lock: for tools that inspect a file a station may be using.
    VerifyOnly,
};

enum class KeyFileOpenStatus {
    Ok,
    OpenFailed,  // the file could not be opened; see error
    InUse,       // another station holds the lock
};

struct KeyFileOpenResult {
    std::unique_ptr<IKeyFileIo> io;
    KeyFileOpenStatus status = KeyFileOpenStatus::OpenFailed;
    int error = 0;
};

// Opens a key file on the local file system. Never throws.
KeyFileOpenResult OpenKeyFileIo(const std::string& path, KeyFileAccess access);
