// The key database file: load and verification, key allocation, and the in-place update of the
// used-key record on disk.
//
// Header (little-endian; H = header size, N = key count, K = key size):
//   0 tag "KBOX" | 4 H (u16) | 6 bit 7 shared key, bits 0-6 second | 7 minute | 8 hour
//   9 K bits 16-23 | 10 day | 11 month | 12 year (u16) | 14 N (u32) | 18 unused count (u32)
//   22 K bits 0-15 (u16) | 24 SHA-256 of the data area (32) | 56 record info (16)
//   72 used-key bitmap, key i = bit (i % 8) of byte 72 + i / 8 | H-4 CRC of bytes 0..H-5
// The data area follows the header: N keys of K bytes, or one shared key of K bytes.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "keydb/KeyCopy.h"
#include "keydb/KeyFileIo.h"

class CLoggerBase;

class CKeyFile {
  public:
    // Opens, reads and verifies the file as a station: read/write, holding an exclusive advisory
    // lock so that a second station (in this or another process) is refused.
    explicit CKeyFile(const std::string& path, CLoggerBase* log = nullptr);
    // VerifyOnly opens read-only without the lock; such an object never hands out or records keys.
    CKeyFile(const std::string& path, CLoggerBase* log, KeyFileAccess access);
    // Verifies through an already opened file (tests, benchmarks). A null io is reported as an
    // open failure.
    CKeyFile(std::unique_ptr<IKeyFileIo> io, const std::string& path, CLoggerBase* log,
             KeyFileAccess access);
    ~CKeyFile();
    CKeyFile(const CKeyFile&) = delete;
    CKeyFile& operator=(const CKeyFile&) = delete;

    // True only when every check passed.
    bool IsValid() const { return valid_; }
    // The text of the failing check (empty when valid); also written to the log when one is given.
    const std::string& GetError() const { return error_; }

    int32_t GetKeyCount() const;
    // Keys not yet handed out in this run (in-memory count), read under the key lock.
    int32_t GetUnusedCount();
    int32_t GetKeySize() const;
    // "YYYY-MM-DD hh:mm:ss" as stored; meaningful only for a valid file.
    std::string GetCreateTime() const;
    // The 16 record-info bytes of the header, or nullptr when the file is not valid.
    const uint8_t* GetRecordInfo() const;
    int32_t GetHeaderSize() const;
    bool IsSharedKey() const;

    // Allocates the lowest-numbered unused key: its index and a copy of its bytes.
    bool GetKey(int32_t* index, KeyCopy* key);
    // Returns a key allocated by GetKey in this run to the pool. Other indices are ignored.
    void ReleaseKey(int32_t index);
    // Records the key as used in the header on disk and flushes it to stable storage. False when
    // the header could not be read, changed under us, or could not be written and flushed.
    bool UpdateKeyFile(int32_t index);

  private:
    void Load();
    bool ReadImage();
    bool Fail(std::string text);
    int32_t FindFirstUnusedLocked() const;
    bool WriteAll(uint64_t offset, const uint8_t* data, size_t len);

    std::string path_;
    CLoggerBase* log_ = nullptr;
    KeyFileAccess access_ = KeyFileAccess::Station;
    std::unique_ptr<IKeyFileIo> io_;
    bool valid_ = false;
    std::string error_;

    uint8_t* image_ = nullptr;  // whole file: header then data area
    uint64_t imageSize_ = 0;
    uint32_t headerSize_ = 0;
    uint32_t keyCount_ = 0;
    uint32_t keySize_ = 0;
    bool sharedKey_ = false;

    std::mutex keyLock_;                // in-memory bitmap, unused count, in-flight marks
    std::vector<uint8_t> inFlight_;     // keys handed out and neither released nor recorded
    uint32_t searchStart_ = 0;          // no unused key lies in a bitmap byte below this one
    std::mutex fileLock_;               // header rewrite on disk
    std::vector<uint8_t> knownHeader_;  // the header on disk as last verified or written
};
