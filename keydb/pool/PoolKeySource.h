// A key pool shared by many stations, kept in a PostgreSQL database (docs/key-pool.md). Every
// state change is one call of a station function, committed before the call returns. TakeKey
// draws a key: the server claims and reserves it in one committed transaction and only then
// hands out its wrapped bytes, which the source opens with the pool's wrap key. Jobs that draw or
// deliver at the same moment share one such transaction, and so one flush on the server. So a pool
// key is reserved on the server from the moment it is taken; the source holds it as the job's
// taken key (its KeyState) until the job reserves it, which the server has recorded already. A
// taken key the job returns unsent is spent (its bytes have left the server), and one a job took
// but never reserved is spent when the slot takes its next key or the source goes. The station's
// jobs share up to four connections (a job borrows one for each call, so that the server can commit
// several jobs' calls in one flush); when a connection is lost, calls reconnect after a back-off
// that doubles from 250 ms up to 8 s, and a call made meanwhile waits up to 10 s for the connection
// and is made again when that changes nothing twice (never a claim that may have been made); past
// that the call fails, exactly as a key file that cannot record.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "keydb/KeySource.h"
#include "keydb/KeyState.h"
#include "keydb/pool/PoolBatch.h"
#include "keydb/pool/PoolCall.h"

class CLoggerBase;
struct pg_conn;
struct pg_result;
namespace pool {
struct WrapKey;
}

// How a station reaches its pool beyond the connection string.
struct PoolSourceOptions {
    // The pool's wrap key file (kdbtool pool keygen); required.
    std::string wrapKeyFile;
    // Allows a TCP connection without sslmode=verify-full (the station logs it at every start).
    bool insecureConnection = false;
};

class CPoolKeySource final : public IKeySource {
  public:
    // Connects and reads the pool's shape; IsValid() tells whether that worked.
    CPoolKeySource(std::string conninfo, std::string pool, CLoggerBase* log = nullptr,
                   const PoolSourceOptions& options = PoolSourceOptions());
    ~CPoolKeySource() override;
    CPoolKeySource(const CPoolKeySource&) = delete;
    CPoolKeySource& operator=(const CPoolKeySource&) = delete;

    bool IsValid() const { return valid_; }
    const std::string& GetError() const { return error_; }

    bool TakeKey(const KeyJobInfo& job, int32_t* index, KeyCopy* key) override;
    bool ReserveKey(int32_t index, const KeyJobInfo& job) override;
    bool DeliverKey(int32_t index, const KeyJobInfo& job) override;
    bool SpendKey(int32_t index, const KeyJobInfo& job, const std::string& step, int code) override;
    bool ReturnUnsentKey(int32_t index, const KeyJobInfo& job) override;
    bool IsUsedKey(const uint8_t* data, size_t size) override;
    bool WasReservedFor(const std::string& serial) override;
    Served WasServed(const std::string& serial, const uint8_t* data, size_t size,
                     std::string* why = nullptr) override;
    bool GetCounts(KeySourceCounts* out) override;
    int32_t GetKeySize() const override { return keySize_; }
    const uint8_t* GetRecordInfo() const override { return valid_ ? recordInfo_.data() : nullptr; }
    std::string GetCreateTime() const override { return created_; }
    std::string Describe() const override;
    // A pool is never broken for good: a lost connection fails the calls until it is back.
    bool IsBroken() const override { return false; }
    // Times the connection was made again after a loss (log, tests).
    uint64_t GetReconnects();
    // The server the pool's calls go to now ("host:port"); it changes after a failover.
    std::string Server() override;

  private:
    // A connection for one call (waits while all are busy) and its return.
    pg_conn* Borrow();
    void GiveBack(pg_conn* conn);
    // Connects (or connects again) unless the back-off says to wait; false when not connected.
    bool Connect(pg_conn** conn);
    bool Step(const char* sql, int count, const char* const* values, const char* what,
              int32_t index);
    bool ReadInfo(pg_conn** conn, KeySourceCounts* counts, bool atLoad);
    // One bounded call (pool::BoundedExec); a call cut short or on a broken connection closes
    // the connection and starts the back-off. Null unless the server answered; `why` says what
    // went wrong (empty for a clean answer).
    pg_result* Call(pg_conn** conn, const char* sql, int count, const char* const* values,
                    int format, std::string* why, pool::CallEnd* ended = nullptr);
    // Connects, waiting through the back-off of a reconnect until `deadline`.
    bool ConnectWithin(pg_conn** conn, std::chrono::steady_clock::time_point deadline);
    // A call that rides out a short outage: while the connection is lost it waits for it (up to
    // 10 s) and makes the call again when it never left, or when `repeatable` (making it twice
    // changes nothing); never a call that may have claimed a key.
    pg_result* CallWithin(pg_conn** conn, const char* sql, int count, const char* const* values,
                          int format, std::string* why, bool repeatable);
    void NoteFailure(const std::string& why);
    // A job's draw or delivery, answered by the batch that carried it.
    struct DrawAsk {
        const KeyJobInfo* job;
        int32_t index;                       // -1: none drawn
        std::string status;                  // why not: "limit", "unbound", "empty"
        std::shared_ptr<pg_result> fetched;  // the batch's fetch, holding this key's wrapped bytes
        const char* wrapped;                 // in `fetched`
        int wrappedLength;
        const char* digest;  // the stored digest, in `fetched`
        int digestLength;
        std::string why;  // the call failed: why
    };
    struct DeliverAsk {
        int32_t index;
        bool delivered;
        std::string why;
    };
    struct ServedAsk {
        std::string serial;  // empty: not asked
        std::string digest;  // "\\x" and 64 hex digits; empty: not asked
        bool served;         // false also when the call failed
        bool answered;       // the server answered
        std::string why;     // why it did not
    };
    void RunDraws(const std::vector<DrawAsk*>& asks);
    void RunServedChecks(const std::vector<ServedAsk*>& asks);
    void RunDelivers(const std::vector<DeliverAsk*>& asks);
    // Spends a key whose bytes left the server and that no job will end (see the class comment).
    bool SpendUnsent(int32_t index, int slot, const char* why);
    // Moves a held key by `event` (NextKeyState); it leaves the held keys when the move takes it
    // out of the taken state. False (with a log line) when the key is held and the table refuses
    // the move, or for kReserve and kReturn when it is not held.
    bool MoveHeld(int32_t index, KeyEvent event);

    std::string conninfo_;
    std::string pool_;
    CLoggerBase* log_ = nullptr;
    std::mutex lock_;  // the idle connections, the count, the back-off
    std::condition_variable returned_;
    std::vector<pg_conn*> idle_;  // null: a place for a connection not made yet (or given up)
    int made_ = 0;                // connections (and places) handed out or idle
    std::string database_;
    std::chrono::steady_clock::time_point nextAttempt_{};
    std::chrono::milliseconds backoff_{0};
    uint64_t reconnects_ = 0;
    bool dropped_ = false;  // a connection was closed after a failed call
    std::string server_;    // where the last connection was made
    pool::CallLimits limits_;
    bool insecure_ = false;  // TCP without verified TLS allowed (PoolSourceOptions)
    bool valid_ = false;
    std::string error_;
    int32_t keySize_ = 0;
    std::array<uint8_t, 16> recordInfo_{};
    std::string created_;
    int32_t poolId_ = -1;
    std::unique_ptr<pool::WrapKey> wrapKey_;
    // The pool holds no key that looks like a blank key area (as of the last read of its info).
    std::atomic<bool> noBlankKey_{false};
    // Jobs that draw or deliver at the same moment share one transaction: one flush for all.
    std::unique_ptr<pool::CallBatch<DrawAsk>> draws_;
    std::unique_ptr<pool::CallBatch<DeliverAsk>> delivers_;
    std::unique_ptr<pool::CallBatch<ServedAsk>> servedChecks_;  // the re-provisioning guards'
    std::mutex heldLock_;
    // Keys drawn and not yet reserved by their job, by slot: spent if the job never reserves.
    struct HeldKey {
        int32_t index;
        int slot;
        KeyState state;  // taken
    };
    std::vector<HeldKey> held_;
};
