// Where a station's keys come from: the key file beside the station, or a key pool shared by many
// stations. The worker and the controller see only this seam; the key states of KeyState.h apply
// to both: take, then reserve before the first byte of the key goes to a board, then deliver or
// spend; only a taken key that was never sent is returned. Each call is one move of the table
// (NextKeyState) and is refused when the table does not allow it from the key's state.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "keydb/KeyCopy.h"
#include "keydb/KeyJournal.h"

class CKeyFile;

struct KeySourceCounts {
    int64_t keys = 0;     // keys the source holds in all
    int64_t unused = 0;   // keys never handed out (what the unused-keys label shows)
    int64_t inDoubt = 0;  // reserved by a run that never recorded how the job ended
};

class IKeySource {
  public:
    virtual ~IKeySource() = default;

    // Hands out one unused key to the job (its slot and port location): its index and a copy of
    // its bytes (taken). False when none is left, when the source cannot be reached, or once it
    // is broken.
    virtual bool TakeKey(const KeyJobInfo& job, int32_t* index, KeyCopy* key) = 0;
    // Records the taken key as reserved on stable storage before it returns true; call it before
    // the first device command that carries any byte of the key. False: nothing of the key may be
    // sent and the key stays held.
    virtual bool ReserveKey(int32_t index, const KeyJobInfo& job) = 0;
    // The job of a reserved key ended. False: the end could not be recorded; the key stays used
    // and the source has ended it itself (the key file spends it, a pool leaves it in doubt), so
    // the job does not spend it too.
    virtual bool DeliverKey(int32_t index, const KeyJobInfo& job) = 0;
    virtual bool SpendKey(int32_t index, const KeyJobInfo& job, const std::string& step,
                          int code) = 0;
    // Gives back a taken key that was never sent. False when the key is not taken (nothing
    // changes). A pool cannot take the key back (its bytes have left the server): it spends it.
    virtual bool ReturnUnsentKey(int32_t index, const KeyJobInfo& job) = 0;

    // The re-provisioning guards, asked before a key is taken. True when `data` (what a board's
    // key area holds, `size` bytes) is one of the source's keys recorded as used (reserved,
    // delivered or spent); true when a key of the source was reserved for a board with this serial
    // number, whatever became of it (delivered, spent, or still open after a crash). False also
    // when it cannot be told: a job asks WasServed, which says so.
    virtual bool IsUsedKey(const uint8_t* data, size_t size) = 0;
    virtual bool WasReservedFor(const std::string& serial) = 0;
    // Both guards at once, as a job asks them (a pool answers in one call): `serial` empty or
    // `data` null leaves that guard out. kCannotTell (with the reason in `why` when given): the
    // source could not be asked, and the job must take no key.
    enum class Served { kNotServed, kServed, kCannotTell };
    virtual Served WasServed(const std::string& serial, const uint8_t* data, size_t size,
                             std::string* why = nullptr) {
        (void)why;
        return (!serial.empty() && WasReservedFor(serial)) ||
                       (data != nullptr && IsUsedKey(data, size))
                   ? Served::kServed
                   : Served::kNotServed;
    }

    // False when the counts could not be read (a pool out of reach).
    virtual bool GetCounts(KeySourceCounts* out) = 0;
    virtual int32_t GetKeySize() const = 0;
    // The 16 record-info bytes, or nullptr when the source has none.
    virtual const uint8_t* GetRecordInfo() const = 0;
    // "YYYY-MM-DD hh:mm:ss" of the key set's creation.
    virtual std::string GetCreateTime() const = 0;
    // What the key-file label shows: the file's path, or the pool's name and where it lives.
    virtual std::string Describe() const = 0;
    // True once a reservation or an end record could not be written: no further key is handed
    // out until the source is loaded again.
    virtual bool IsBroken() const = 0;
    // Why it broke, when the source can say it to the operator; else empty.
    virtual std::string BrokenReason() { return std::string(); }
    // What the load found that the operator should see (also in the log); empty for none.
    virtual std::vector<std::string> LoadNotes() const { return {}; }
    // The key file behind the source, or nullptr for a pool.
    virtual CKeyFile* File() { return nullptr; }
    // Where a pool's calls go now (its server, which changes after a failover); empty for a
    // key file. Safe from any thread.
    virtual std::string Server() { return std::string(); }
};

// The key file as a key source; behaviour exactly that of CKeyFile.
class CKeyFileSource final : public IKeySource {
  public:
    CKeyFileSource(std::unique_ptr<CKeyFile> file, std::string path);
    // Borrows a key file that outlives the source (tests, benchmarks).
    explicit CKeyFileSource(CKeyFile* file, std::string path = std::string());
    ~CKeyFileSource() override;
    CKeyFileSource(const CKeyFileSource&) = delete;
    CKeyFileSource& operator=(const CKeyFileSource&) = delete;

    bool TakeKey(const KeyJobInfo& job, int32_t* index, KeyCopy* key) override;
    bool ReserveKey(int32_t index, const KeyJobInfo& job) override;
    bool DeliverKey(int32_t index, const KeyJobInfo& job) override;
    bool SpendKey(int32_t index, const KeyJobInfo& job, const std::string& step, int code) override;
    bool ReturnUnsentKey(int32_t index, const KeyJobInfo& job) override;
    bool IsUsedKey(const uint8_t* data, size_t size) override;
    bool WasReservedFor(const std::string& serial) override;
    bool GetCounts(KeySourceCounts* out) override;
    int32_t GetKeySize() const override;
    const uint8_t* GetRecordInfo() const override;
    std::string GetCreateTime() const override;
    std::string Describe() const override { return path_; }
    bool IsBroken() const override;
    std::string BrokenReason() override;
    std::vector<std::string> LoadNotes() const override;
    CKeyFile* File() override { return file_; }

  private:
    std::unique_ptr<CKeyFile> owned_;
    CKeyFile* file_ = nullptr;
    std::string path_;
};
