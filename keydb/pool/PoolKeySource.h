// A key pool shared by many stations, kept in a PostgreSQL database (docs/key-pool.md). Every
// state change is one call of a station function, committed before the call returns. The
// station's jobs share up to four connections (a job borrows one for each call, so that the
// server can commit several jobs' calls in one flush); when a connection is lost, the call fails
// (exactly as a key file that cannot record) and later calls reconnect after a back-off that
// doubles from 250 ms up to 8 s.
#pragma once

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "keydb/KeySource.h"

class CLoggerBase;
struct pg_conn;

class CPoolKeySource final : public IKeySource {
  public:
    // Connects and reads the pool's shape; IsValid() tells whether that worked.
    CPoolKeySource(std::string conninfo, std::string pool, CLoggerBase* log = nullptr);
    ~CPoolKeySource() override;
    CPoolKeySource(const CPoolKeySource&) = delete;
    CPoolKeySource& operator=(const CPoolKeySource&) = delete;

    bool IsValid() const { return valid_; }
    const std::string& GetError() const { return error_; }

    bool TakeKey(const KeyJobInfo& job, int32_t* index, KeyCopy* key) override;
    bool ReserveKey(int32_t index, const KeyJobInfo& job) override;
    bool DeliverKey(int32_t index, const KeyJobInfo& job) override;
    bool SpendKey(int32_t index, const KeyJobInfo& job, const std::string& step, int code) override;
    void ReturnKey(int32_t index, const KeyJobInfo& job) override;
    bool IsUsedKey(const uint8_t* data, size_t size) override;
    bool WasDeliveredTo(const std::string& serial) override;
    bool GetCounts(KeySourceCounts* out) override;
    int32_t GetKeySize() const override { return keySize_; }
    const uint8_t* GetRecordInfo() const override { return valid_ ? recordInfo_.data() : nullptr; }
    std::string GetCreateTime() const override { return created_; }
    std::string Describe() const override;
    // A pool is never broken for good: a lost connection fails the calls until it is back.
    bool IsBroken() const override { return false; }
    // Times the connection was made again after a loss (log, tests).
    uint64_t GetReconnects();

  private:
    // A connection for one call (waits while all are busy) and its return.
    pg_conn* Borrow();
    void GiveBack(pg_conn* conn);
    // Connects (or connects again) unless the back-off says to wait; false when not connected.
    bool Connect(pg_conn** conn);
    bool Step(const char* sql, int count, const char* const* values, const char* what,
              int32_t index);
    // A station function that answers one boolean; false also when it could not be asked.
    bool Ask(const char* sql, int count, const char* const* values);
    bool ReadInfo(pg_conn* conn, KeySourceCounts* counts, bool atLoad);

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
    bool valid_ = false;
    std::string error_;
    int32_t keySize_ = 0;
    std::array<uint8_t, 16> recordInfo_{};
    std::string created_;
};
