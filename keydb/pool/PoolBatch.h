// Calls of several jobs that share one server transaction, so that the server flushes once for
// all of them (the pool's counterpart of the key file's group commit). The first caller to find
// no batch under way leads: it takes what is queued (at most `most`, in the order asked) and runs
// it with the lock released, while later callers queue behind it. Nobody returns before a batch
// that held its ask has run; every ask carries its own answer.
#pragma once

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <exception>
#include <functional>
#include <mutex>
#include <vector>

namespace pool {

template <typename Ask>
class CallBatch {
  public:
    // Runs one batch; it answers every ask it is given (an ask starts as "failed").
    using RunFn = std::function<void(const std::vector<Ask*>&)>;

    // gatherStep: how long a quiet spell ends the gathering of a batch (zero: no gathering).
    CallBatch(size_t most, RunFn run,
              std::chrono::microseconds gatherStep = std::chrono::microseconds(0),
              std::chrono::microseconds gatherMost = std::chrono::microseconds(0))
        : most_(most == 0 ? 1 : most),
          gatherStep_(gatherStep),
          gatherMost_(gatherMost),
          run_(std::move(run)) {
        taken_.reserve(most_);
        asks_.reserve(most_);
    }
    CallBatch(const CallBatch&) = delete;
    CallBatch& operator=(const CallBatch&) = delete;

    // Queues `ask` and returns once a batch holding it has run (false: no memory to queue it).
    bool Run(Ask* ask) {
        std::unique_lock<std::mutex> guard(lock_);
        Entry entry{ask, false};
        try {
            queue_.push_back(&entry);
        } catch (const std::exception&) {
            return false;
        }
        arrived_.notify_all();
        while (!entry.ran) {
            if (leading_) {
                ran_.wait(guard);
                continue;
            }
            leading_ = true;
            // Like the server's commit_delay with its commit_siblings: when callers come in
            // groups (others queued already, or the last batch held more than one), the batch
            // waits while more keep arriving, each quiet spell ending it, never longer than
            // gatherMost_ in all. A caller on its own never waits.
            const bool company = queue_.size() > 1 || lastSize_ > 1;
            const auto gatherEnd = std::chrono::steady_clock::now() + gatherMost_;
            for (size_t seen = queue_.size(); company && seen < most_ && gatherStep_.count() > 0;
                 seen = queue_.size()) {
                const auto until =
                    std::min(gatherEnd, std::chrono::steady_clock::now() + gatherStep_);
                arrived_.wait_until(guard, until, [&] { return queue_.size() > seen; });
                if (queue_.size() == seen || std::chrono::steady_clock::now() >= gatherEnd) {
                    break;
                }
            }
            taken_.clear();
            asks_.clear();
            while (!queue_.empty() && taken_.size() < most_) {  // within the reserved room
                asks_.push_back(queue_.front()->ask);
                taken_.push_back(queue_.front());
                queue_.pop_front();
            }
            lastSize_ = taken_.size();
            guard.unlock();
            try {
                run_(asks_);
            } catch (const std::exception&) {
                // An ask left unanswered keeps its "failed".
            }
            guard.lock();
            for (Entry* e : taken_) {
                e->ran = true;
            }
            ++batches_;
            leading_ = false;
            ran_.notify_all();
        }
        return true;
    }

    // Batches run so far (for measurements and tests).
    size_t Batches() {
        std::lock_guard<std::mutex> guard(lock_);
        return batches_;
    }

  private:
    struct Entry {
        Ask* ask;
        bool ran;
    };

    const size_t most_;
    const std::chrono::microseconds gatherStep_;
    const std::chrono::microseconds gatherMost_;
    RunFn run_;
    std::mutex lock_;
    std::condition_variable ran_;
    std::condition_variable arrived_;
    std::deque<Entry*> queue_;
    std::vector<Entry*> taken_;  // the leader's batch
    std::vector<Ask*> asks_;
    bool leading_ = false;
    size_t batches_ = 0;
    size_t lastSize_ = 0;  // asks in the last batch
};

}  // namespace pool
