#include "app/MainThreadQueue.h"

#include <chrono>
#include <utility>

void CMainThreadQueue::Post(std::function<void()> fn) {
    {
        std::lock_guard<std::mutex> guard(lock_);
        queue_.push_back(std::move(fn));
    }
    queued_.notify_one();
}

size_t CMainThreadQueue::RunPending() {
    size_t ran = 0;
    for (;;) {
        std::function<void()> fn;
        {
            std::lock_guard<std::mutex> guard(lock_);
            if (queue_.empty()) {
                return ran;
            }
            fn = std::move(queue_.front());
            queue_.pop_front();
        }
        fn();
        ++ran;
    }
}

size_t CMainThreadQueue::RunFor(uint32_t timeoutMs) {
    {
        std::unique_lock<std::mutex> guard(lock_);
        queued_.wait_for(guard, std::chrono::milliseconds(timeoutMs),
                         [this] { return !queue_.empty(); });
    }
    return RunPending();
}
