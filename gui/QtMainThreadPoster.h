// The main-thread queue on the Qt event loop. Post puts the closure into a queue of its own
// (under a standard mutex, so the hand-over from the posting thread is plainly visible to tools
// such as ThreadSanitizer) and posts one event that runs the queue's front closure on the main
// thread. Closures run in the order they entered the queue: a model's changes, posted under the
// model's lock, and then a worker's result arrive in the order they were made. Posting never
// waits for the main thread.
#pragma once

#include <QObject>
#include <deque>
#include <functional>
#include <mutex>

#include "app/MainThreadPoster.h"

class CQtMainThreadPoster final : public IMainThreadPoster {
  public:
    // Create on the main thread; it must outlive every thread that posts. Closures still queued
    // when it is destroyed never run.
    CQtMainThreadPoster() = default;
    CQtMainThreadPoster(const CQtMainThreadPoster&) = delete;
    CQtMainThreadPoster& operator=(const CQtMainThreadPoster&) = delete;

    void Post(std::function<void()> fn) override;

    // Closures posted and not yet run.
    size_t Pending() const;

  private:
    void RunFront();

    mutable std::mutex lock_;
    std::deque<std::function<void()>> queue_;
    QObject context_;  // lives on the thread that created the poster
};
