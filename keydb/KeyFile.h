// The key database file: load and verification, key allocation, and the in-place update of the
// used-key record on disk.
//
// Header (little-endian; H = header size, N = key count, K = key size):
//   0 tag "KBOX" | 4 H (u16) | 6 bit 7 shared key, bits 0-6 second | 7 minute | 8 hour
//   9 K bits 16-23 | 10 day | 11 month | 12 year (u16) | 14 N (u32) | 18 unused count (u32)
//   22 K bits 0-15 (u16) | 24 SHA-256 of the data area (32) | 56 record info (16)
//   72 used-key bitmap, key i = bit (i % 8) of byte 72 + i / 8 | H-4 CRC of bytes 0..H-5
// The data area follows the header: N keys of K bytes, or one shared key of K bytes; no two keys
// of a file are the same bytes. A load reads the data area once, in blocks, and keeps only the
// header and a hash of each key in memory; a key is read from disk when it is taken.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "keydb/GroupCommit.h"
#include "keydb/KeyCopy.h"
#include "keydb/KeyFileIo.h"
#include "keydb/KeyJournal.h"
#include "keydb/KeyState.h"

class CLoggerBase;

class CKeyFile {
  public:
    // Opens, reads and verifies the file as a station: read/write, holding an exclusive advisory
    // lock so that a second station (in this or another process) is refused.
    explicit CKeyFile(const std::string& path, CLoggerBase* log = nullptr);
    // VerifyOnly opens read-only without the lock; such an object never hands out or records keys.
    // With a records folder (the station's own), the stock's journal and header copy live there,
    // named after the key area's SHA-256, so that every path, link, mount, copy or restore of the
    // stock finds the same records and the same lock; the journal beside the file is kept as a
    // copy and read too.
    CKeyFile(const std::string& path, CLoggerBase* log, KeyFileAccess access,
             const std::string& recordsFolder = std::string());
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

    // Allocates the lowest-numbered unused key: its index and a copy of its bytes (taken). False
    // when none is left, or once the file is broken.
    bool GetKey(int32_t* index, KeyCopy* key);
    // Returns a taken key to the pool (returned); it must never have left the station. Other
    // indices are ignored.
    void ReleaseKey(int32_t index);
    // The same, with the job that gives it back named in its journal record.
    bool ReturnKey(int32_t index, const KeyJobInfo& job);
    // Reserves a taken key: marks it used in the header on disk and appends its reservation to
    // the journal, both on stable storage, before it returns true. Call it before the first
    // device command that carries any byte of the key. False: nothing of the key may be sent,
    // the key stays taken (held) and the file is broken.
    bool ReserveKey(int32_t index, const KeyJobInfo& job);
    // The job of a reserved key ended: delivered, or spent at `step` with result `code`. The
    // record is on stable storage when DeliverKey returns true; false breaks the file (the key
    // stays used on disk, and without its end record it counts as in doubt at the next load).
    bool DeliverKey(int32_t index, const KeyJobInfo& job);
    bool SpendKey(int32_t index, const KeyJobInfo& job, const std::string& step, int code);
    // Records the key as used in the header on disk, without a journal record, and flushes it.
    // False when the header could not be read, changed under us, or could not be written and
    // flushed.
    bool UpdateKeyFile(int32_t index);

    // The key's state in this run (reserved, delivered and spent also for keys of earlier runs
    // only as far as this run touched them; keys used on disk before show as kSpent).
    KeyState GetKeyState(int32_t index);
    // True once a reservation, an end record or a header update could not be written: no key is
    // handed out any more; the file must be loaded again.
    bool IsBroken() const { return broken_.load(); }
    // Why the file broke, for the operator ("the key file was changed while the station was using
    // it"); empty while it is not broken or when the failing step has no text of its own.
    std::string GetBrokenReason();
    // What the load found and put right or wants the operator to know (keys the journal records
    // as used that were free in the file, a journal written by another host); each is in the log
    // too.
    const std::vector<std::string>& GetLoadNotes() const { return loadNotes_; }
    // Keys reserved by earlier runs whose jobs never recorded an end (a crash): counted at load.
    uint32_t GetInDoubtCount() const { return inDoubt_; }
    // What the journal said at load (empty when it could not be read: see GetJournalError).
    const KeyJournalSummary& GetJournalSummary() const { return journal_; }
    const std::string& GetJournalError() const { return journalError_; }
    // True when the key is marked used in the header as loaded (for a verify-only object: as it
    // is on disk).
    bool IsMarkedUsedAtLoad(uint32_t index) const;
    // The re-provisioning guards (station access only). IsUsedKey: `data` equals one of the file's
    // keys that is used, on disk at load (or by the journal) or reserved in this run; never for a
    // shared-key file, whose one key every board gets. It looks the key up by a hash kept in
    // memory and reads the one candidate from disk to compare. WasReservedFor: a key was reserved
    // for a board with this serial number (delivered, spent or in doubt since), by the journal at
    // load or in this run.
    bool IsUsedKey(const uint8_t* data, size_t size);
    bool WasReservedFor(const std::string& serial);
    // The name the journal and the header copy are named after: the file's real path.
    const std::string& GetSidePath() const { return sidePath_; }
    // Where the stock's journal is (in the records folder when one is used), and the journal
    // beside the file when that is another file (else empty).
    const std::string& GetJournalPath() const { return journalPath_; }
    const std::string& GetSideJournalPath() const { return sideJournalPath_; }
    // The key area's SHA-256 in hex (what the stock's records are named after).
    const std::string& GetDigestHex() const { return digestHex_; }
    // Keys the journal beside the file records as used that the stock's journal does not (a
    // stock brought from another station), and keys the two disagree on in all.
    uint32_t GetSideOnlyUsed() const { return sideOnlyUsed_; }
    uint32_t GetJournalsDisagree() const { return journalsDisagree_; }
    // The host name written into journal records (the machine's own by default).
    void SetJournalHost(const std::string& host);
    // Header rewrites that went to disk, and flushes the group commit ran (measurements, tests).
    uint64_t GetHeaderWrites() const { return headerWrites_.load(); }
    uint64_t GetCommitFlushes() const { return commit_.FlushCount(); }

  private:
    void Load();
    bool ReadHead();
    bool ReadFully(uint64_t offset, uint8_t* buffer, size_t len);
    bool ScanKeyArea(uint8_t* digest);
    bool CheckDuplicates();
    // Reads a key from disk; false when it cannot be read or is not the key the load hashed.
    bool ReadKey(uint32_t index, uint8_t* out);
    // May the key have reached a board (used at load, or reserved or later in this run)?
    bool UsedLocked(uint32_t index) const;
    bool Fail(std::string text);
    bool CheckHeader(const uint8_t* header, uint64_t fileSize, std::string* error) const;
    bool RestoreHeaderCopy();
    void ReadJournal();
    // Marks used on disk every key the journal records as reserved, delivered or spent that the
    // header shows free (a restored or replaced file). False when it could not be written.
    bool MarkJournalKeysUsed();
    void Note(const std::string& text);
    void NoteOtherHosts();
    uint64_t KeyHash(const uint8_t* data) const;
    int32_t FindFirstUnusedLocked() const;
    bool WriteAll(uint64_t offset, const uint8_t* data, size_t len);
    bool FlushBatch(const CGroupCommit::Batch& batch);
    bool WriteHeaderBits(const std::vector<uint32_t>& bits);
    // Reads the header on disk into `disk` (headerSize_ bytes): false when it cannot be read, is
    // damaged, or is not the header this station left (then the file is broken).
    bool ReadOwnHeader(uint8_t* disk);
    std::string Record(JournalEvent event, uint32_t index, const KeyJobInfo& job,
                       const std::string& step = std::string(), int code = 0);
    bool Transition(uint32_t index, KeyEvent event);
    // A key index this station object may act on; and the same, in the given state.
    bool StationIndex(int32_t index, uint32_t* out) const;
    bool StationKeyIn(int32_t index, KeyState state, uint32_t* out);
    void Break(const std::string& text, const std::string& reason = std::string());
    bool OpenRecords();
    bool AppendJournal(KeyFileCompanion which, bool cut, const std::string& text);

    std::string path_;
    std::string sidePath_;  // what the journal and the header copy are named after
    CLoggerBase* log_ = nullptr;
    KeyFileAccess access_ = KeyFileAccess::Station;
    std::unique_ptr<IKeyFileIo> io_;
    bool valid_ = false;
    std::string error_;

    uint8_t* image_ = nullptr;  // the header (the file's first bytes, as many as a header can be)
    uint64_t imageSize_ = 0;
    uint64_t fileSize_ = 0;
    uint32_t headerSize_ = 0;
    uint32_t keyCount_ = 0;
    uint32_t keySize_ = 0;
    bool sharedKey_ = false;

    std::mutex keyLock_;                             // in-memory bitmap, unused count, key states
    std::unordered_map<uint32_t, KeyState> states_;  // keys this run touched
    uint32_t searchStart_ = 0;  // no unused key lies in a bitmap byte below this one

    // Header rewrites and journal appends: one group-commit leader at a time writes both.
    CGroupCommit commit_;
    std::vector<uint8_t> knownHeader_;  // the header on disk as last verified or written
    bool restoredHeader_ = false;       // the load took the header from its copy
    bool usedHeaderCopy_ = false;       // a copy was written in this run (removed at close)
    bool journalStarted_ = false;       // this run's "loaded" record is written
    bool journalCut_ = false;           // the journal ended inside a line at load
    bool sideJournalCut_ = false;       // the same for the journal beside the file
    std::string journalPath_;
    std::string sideJournalPath_;
    uint32_t sideOnlyUsed_ = 0;
    uint32_t journalsDisagree_ = 0;
    std::string digestHex_;
    std::string host_;
    uint32_t inDoubt_ = 0;
    KeyJournalSummary journal_;
    std::string journalError_;
    std::vector<uint8_t> loadedBitmap_;
    // A hash of every key (the keys stay on disk), and the keys by hash in an open-addressing
    // table; both fixed after load. The serial numbers a key was reserved for, under keyLock_
    // once loaded.
    uint64_t hashSeed_ = 0;
    std::vector<uint64_t> keyHashes_;
    std::vector<uint32_t> hashTable_;
    std::unordered_set<std::string> reservedSerials_;
    std::atomic<bool> broken_ = false;
    std::string brokenReason_;  // under keyLock_
    std::vector<std::string> loadNotes_;
    std::atomic<uint64_t> headerWrites_ = 0;
};
