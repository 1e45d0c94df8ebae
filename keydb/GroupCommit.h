// Group commit: jobs that record keys at the same moment share one trip to stable storage. The
// first caller to find no flush under way becomes the leader: it takes everything queued so far
// and flushes it with the lock released, while later callers queue behind it and wait. Nobody is
// told "recorded" before a flush that covers its entry has completed. A failed flush breaks the
// committer for good: every caller waiting on it, and every later one, is told "failed".
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

class CGroupCommit {
  public:
    struct Batch {
        std::vector<uint32_t> headerBits;  // keys to mark used in the header on disk
        std::string journal;               // journal lines to append, in order
        bool empty() const { return headerBits.empty() && journal.empty(); }
    };
    // Writes one batch to stable storage; true when all of it is there. Called by one leader at a
    // time, without the committer's lock.
    using FlushFn = std::function<bool(const Batch&)>;

    explicit CGroupCommit(FlushFn flush) : flush_(std::move(flush)) {}
    CGroupCommit(const CGroupCommit&) = delete;
    CGroupCommit& operator=(const CGroupCommit&) = delete;

    // Queues a header bit (when headerBit >= 0) and a journal line, and returns once a flush that
    // covers them has completed: true, or false when that flush failed or the committer was
    // already broken.
    bool Commit(int64_t headerBit, const std::string& journalLine);
    // Queues a journal line that needs no wait: it goes out with the next flush, or with Drain.
    void Queue(const std::string& journalLine);
    // Flushes whatever is queued (at close). False when it failed or the committer is broken.
    bool Drain();

    bool Broken() const;
    // Flushes run so far (for measurements and tests).
    uint64_t FlushCount() const;

  private:
    bool WaitFor(std::unique_lock<std::mutex>& guard, uint64_t sequence);

    FlushFn flush_;
    mutable std::mutex lock_;
    std::condition_variable done_;
    Batch pending_;
    uint64_t queued_ = 0;   // sequence number of the last queued entry
    uint64_t flushed_ = 0;  // every entry up to this one is on stable storage
    bool leading_ = false;
    bool broken_ = false;
    uint64_t flushes_ = 0;
};
