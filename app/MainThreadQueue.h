// A main-thread queue for programs without a window system (the console station, tests): closures
// posted from any thread wait here until the owning thread runs them.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>

#include "app/MainThreadPoster.h"

class CMainThreadQueue final : public IMainThreadPoster {
  public:
    void Post(std::function<void()> fn) override;

    // Runs the closures queued so far, and those they queue in turn, on the calling thread.
    // Returns how many ran.
    size_t RunPending();
    // Waits at most timeoutMs (real time) until something is queued, then runs what is pending.
    // Returns how many ran.
    size_t RunFor(uint32_t timeoutMs);

  private:
    std::mutex lock_;
    std::condition_variable queued_;
    std::deque<std::function<void()>> queue_;
};
