// The key database's only window on the file system: positioned reads and writes on one open
// key file, a flush to stable storage, the platform's last error code, and the two files that
// live beside the key file (its journal and the copy of a header being rewritten).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

// The files beside a key file, named after it: "keys.kdb.journal.jsonl", "keys.kdb.header-copy".
enum class KeyFileCompanion { kJournal, kHeaderCopy };

// The companion's file name for a key file path.
std::string CompanionPath(const std::string& keyFilePath, KeyFileCompanion which);

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

    // Reads up to len bytes of a companion at offset: bytes read, 0 at its end or when it does
    // not exist, -1 on error.
    virtual int64_t CompanionReadAt(KeyFileCompanion which, uint64_t offset, uint8_t* buffer,
                                    size_t len) = 0;
    // Makes the companion hold exactly these bytes, on stable storage together with its name.
    virtual bool CompanionReplace(KeyFileCompanion which, const uint8_t* data, size_t len) = 0;
    // Appends to the companion (created when absent) and flushes it to stable storage.
    virtual bool CompanionAppend(KeyFileCompanion which, const uint8_t* data, size_t len) = 0;
    // Empties the companion (no flush: an outdated copy left by a crash is harmless).
    virtual bool CompanionClear(KeyFileCompanion which) = 0;
    // Removes the companion file.
    virtual void CompanionRemove(KeyFileCompanion which) = 0;
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

// Opens a key file on the local file system, its companions named after its real path
// (ks::RealPath). Never throws.
KeyFileOpenResult OpenKeyFileIo(const std::string& path, KeyFileAccess access);
