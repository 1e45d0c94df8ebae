// Test doubles for the transport: a virtual clock, a capturing log sink, and scripted bulk pipes
// that give byte-exact control over what the "device" answers.
#pragma once

#include <algorithm>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "device/BulkPipes.h"
#include "device/ZRTransport.h"
#include "support/Clock.h"
#include "support/Logger.h"
#include "tests/common/LineLog.h"

using CapturingLogger = test_log::LineLog;

// Virtual time: SleepMs advances NowMs at once and is recorded.
class FakeClock final : public IClock {
  public:
    explicit FakeClock(std::vector<std::string>* events = nullptr) : events_(events) {}
    uint64_t NowMs() override {
        std::lock_guard<std::mutex> guard(lock_);
        return now_;
    }
    void SleepMs(uint32_t ms) override {
        std::lock_guard<std::mutex> guard(lock_);
        now_ += ms;
        sleeps_.push_back(ms);
        if (events_ != nullptr) {
            events_->push_back("sleep " + std::to_string(ms));
        }
    }
    void Advance(uint64_t ms) {
        std::lock_guard<std::mutex> guard(lock_);
        now_ += ms;
    }
    std::vector<uint32_t> Sleeps() {
        std::lock_guard<std::mutex> guard(lock_);
        return sleeps_;
    }

  private:
    std::mutex lock_;
    uint64_t now_ = 1000;
    std::vector<uint32_t> sleeps_;
    std::vector<std::string>* events_;
};

// Bulk pipes that follow a script. Every call is recorded in `events` ("open1", "close",
// "write 31", "read 13", "reset"); reads are served from `reads` in order.
class ScriptedPipes final : public IBulkPipes {
  public:
    struct Reply {
        enum class Kind { kBytes, kStatus, kFail, kTimeout };
        Kind kind = Kind::kBytes;
        std::vector<uint8_t> bytes;  // kBytes: delivered up to the request size
        uint8_t status = 0;          // kStatus: a status block for the last command block
        uint8_t residue[4] = {};
        bool wrongTag = false;
        bool wrongSignature = false;
    };
    static Reply Bytes(std::vector<uint8_t> b) {
        Reply r;
        r.bytes = std::move(b);
        return r;
    }
    static Reply Status(uint8_t status = 0) {
        Reply r;
        r.kind = Reply::Kind::kStatus;
        r.status = status;
        return r;
    }
    static Reply WrongTag() {
        Reply r = Status(0);
        r.wrongTag = true;
        return r;
    }
    // Nothing comes within the pipe's time-out (which passes on `clock`, when set).
    static Reply Timeout() {
        Reply r;
        r.kind = Reply::Kind::kTimeout;
        return r;
    }
    static Reply Fail() {
        Reply r;
        r.kind = Reply::Kind::kFail;
        return r;
    }

    std::vector<std::string>& events;
    std::deque<Reply> reads;
    std::deque<bool> openResults;   // per Open call, true when empty
    std::deque<long> writeResults;  // per Write call: -1, a byte count, or (empty) the full size
    bool resetResult = true;
    FakeClock* clock = nullptr;  // advanced by timeoutMs on a kTimeout read
    uint32_t timeoutMs = 5000;
    std::vector<std::vector<uint8_t>> writes;

    explicit ScriptedPipes(std::vector<std::string>& ev) : events(ev) {}

    std::vector<uint8_t> LastCommandBlock() const {
        for (auto it = writes.rbegin(); it != writes.rend(); ++it) {
            if (it->size() == zr::kCommandBlockSize) {
                return *it;
            }
        }
        return {};
    }

    int Open(const std::string&, int mode, int* sysError) override {
        events.push_back("open" + std::to_string(mode));
        bool ok = true;
        if (!openResults.empty()) {
            ok = openResults.front();
            openResults.pop_front();
        }
        if (!ok) {
            *sysError = 2;
            return kInvalidHandle;
        }
        return ++nextHandle_;
    }
    void Close(int) override { events.push_back("close"); }
    long Write(int, const uint8_t* data, size_t size, int* sysError) override {
        events.push_back("write " + std::to_string(size));
        writes.emplace_back(data, data + size);
        if (!writeResults.empty()) {
            const long r = writeResults.front();
            writeResults.pop_front();
            if (r < 0) {
                *sysError = 5;
            }
            return r;
        }
        return static_cast<long>(size);
    }
    long Read(int, uint8_t* data, size_t size, int* sysError) override {
        events.push_back("read " + std::to_string(size));
        if (reads.empty()) {
            *sysError = 110;
            return -1;
        }
        Reply r = reads.front();
        reads.pop_front();
        if (r.kind == Reply::Kind::kFail) {
            *sysError = 32;
            return -1;
        }
        if (r.kind == Reply::Kind::kTimeout) {
            if (clock != nullptr) {
                clock->Advance(timeoutMs);
            }
            *sysError = 110;  // ETIMEDOUT
            return -1;
        }
        if (r.kind == Reply::Kind::kStatus) {
            const std::vector<uint8_t> cbw = LastCommandBlock();
            uint32_t tag = cbw.size() == zr::kCommandBlockSize ? zr::GetLe32(cbw.data() + 4) : 0;
            if (r.wrongTag) {
                tag ^= 0x01000000;
            }
            r.bytes.assign(13, 0);
            zr::BuildStatusBlock(r.bytes.data(), tag, zr::GetLe32(r.residue), r.status);
            if (r.wrongSignature) {
                r.bytes[3] = 'X';
            }
        }
        const size_t n = std::min(size, r.bytes.size());
        std::copy(r.bytes.begin(), r.bytes.begin() + static_cast<long>(n), data);
        return static_cast<long>(n);
    }
    bool ResetPipe(int, uint8_t pipe, int* sysError) override {
        events.push_back("reset " + std::to_string(pipe));
        if (!resetResult) {
            *sysError = 19;
        }
        return resetResult;
    }

  private:
    int nextHandle_ = 10;
};
