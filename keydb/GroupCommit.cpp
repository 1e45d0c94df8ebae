#include "keydb/GroupCommit.h"

#include <exception>
#include <utility>

bool CGroupCommit::Commit(int64_t headerBit, const std::string& journalLine) {
    std::unique_lock<std::mutex> guard(lock_);
    if (broken_) {
        return false;
    }
    try {
        if (headerBit >= 0) {
            pending_.headerBits.push_back(static_cast<uint32_t>(headerBit));
        }
        pending_.journal += journalLine;
    } catch (const std::exception&) {
        return false;  // nothing of this entry is queued in a way anyone relies on
    }
    return WaitFor(guard, ++queued_);
}

void CGroupCommit::Queue(const std::string& journalLine) {
    std::lock_guard<std::mutex> guard(lock_);
    if (broken_) {
        return;
    }
    try {
        pending_.journal += journalLine;
        ++queued_;
    } catch (const std::exception&) {
        // A line that needs no wait may be lost; the key it speaks of is already safe.
    }
}

bool CGroupCommit::Drain() {
    std::unique_lock<std::mutex> guard(lock_);
    if (broken_) {
        return false;
    }
    return WaitFor(guard, queued_);
}

bool CGroupCommit::WaitFor(std::unique_lock<std::mutex>& guard, uint64_t sequence) {
    while (flushed_ < sequence && !broken_) {
        if (leading_) {
            done_.wait(guard);
            continue;
        }
        leading_ = true;
        Batch batch = std::move(pending_);
        pending_ = Batch{};
        const uint64_t upTo = queued_;
        guard.unlock();
        bool ok = false;
        try {
            ok = batch.empty() || flush_(batch);
        } catch (const std::exception&) {
            ok = false;
        }
        guard.lock();
        leading_ = false;
        ++flushes_;
        if (ok) {
            flushed_ = upTo;
        } else {
            broken_ = true;
        }
        done_.notify_all();
    }
    return flushed_ >= sequence;
}

bool CGroupCommit::Broken() const {
    std::lock_guard<std::mutex> guard(lock_);
    return broken_;
}

uint64_t CGroupCommit::FlushCount() const {
    std::lock_guard<std::mutex> guard(lock_);
    return flushes_;
}
