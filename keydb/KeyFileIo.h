// The key database's only window on the file system: positioned reads and writes on one open
// key file, a flush to stable storage, the platform's last error code, and the records of the key
// stock (its journal and the copy of a header being rewritten). The records live beside the key
// file, or, for a station with a records folder, in that folder named after the key area's
// SHA-256 (what the stock is, not where it lies), with the journal beside the file kept as a copy
// (the side journal).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

// The records of a key stock. Beside a key file they are named after it:
// "keys.kdb.journal.jsonl", "keys.kdb.header-copy"; in a records folder after the key area's
// SHA-256: "<sha256>.journal.jsonl", "<sha256>.header-copy". kSideJournal is the journal beside
// the key file when the stock's journal lives in a records folder (else the same file as
// kJournal).
enum class KeyFileCompanion { kJournal, kHeaderCopy, kSideJournal };

// The companion's file name for a key file path (beside the file).
std::string CompanionPath(const std::string& keyFilePath, KeyFileCompanion which);
// The companion's file name in a records folder for the key area's SHA-256 (hex).
std::string StockRecordPath(const std::string& recordsFolder, const std::string& digestHex,
                            KeyFileCompanion which);

enum class KeyFileOpenStatus {
    Ok,
    OpenFailed,  // the file could not be opened; see error
    InUse,       // another station holds the lock
};

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

    // Where a companion lies, for messages.
    virtual std::string CompanionName(KeyFileCompanion which) const {
        return which == KeyFileCompanion::kHeaderCopy ? "header copy" : "journal";
    }
    // Names the stock's records after the key area's SHA-256 (hex, as the header states it), in
    // the records folder when there is one. Called once, before any companion is used.
    virtual void UseStockRecords(const std::string& digestHex) { (void)digestHex; }
    // True when the side journal is a file of its own (a records folder is in use).
    virtual bool HasSideJournal() const { return false; }
    // A station's records, before any key is handed out: opens the journals for appending
    // (creating them), holds them open for the object's life and takes the stock's exclusive lock
    // on them, which a rename or copy of the key file does not take away. Ok; InUse when another
    // station holds them; OpenFailed with LastError() and *which (the companion that failed).
    virtual KeyFileOpenStatus OpenRecords(KeyFileCompanion* which) {
        (void)which;
        return KeyFileOpenStatus::Ok;
    }
    // True while the key file's name and the journals' names still lead to the files held open
    // (device and inode; the file ID on Windows). False with the reason for the operator, and
    // LastError() when a name could not be looked up.
    virtual bool StillHeld(std::string* why) {
        (void)why;
        return true;
    }
};

enum class KeyFileAccess {
    // Read and write, holding an exclusive advisory lock for the object's life: one station per
    // key file.
    Station,
    // Read only, no lock: for tools that inspect a file a station may be using.
    VerifyOnly,
};

struct KeyFileOpenResult {
    std::unique_ptr<IKeyFileIo> io;
    KeyFileOpenStatus status = KeyFileOpenStatus::OpenFailed;
    int error = 0;
};

// Opens a key file on the local file system, its companions named after its real path
// (ks::RealPath), or kept in `recordsFolder` (created when absent) once UseStockRecords names the
// stock. Never throws.
KeyFileOpenResult OpenKeyFileIo(const std::string& path, KeyFileAccess access,
                                const std::string& recordsFolder = std::string());
