// The main-thread queue on the Qt event loop: each closure becomes one queued call on an object
// of the main thread. Qt delivers posted events of one priority in the order of their posting,
// so closures posted one after another (the model's changes, then a worker's result) run in that
// order. Posting never waits for the main thread.
#pragma once

#include <QObject>
#include <functional>

#include "app/MainThreadPoster.h"

class CQtMainThreadPoster final : public IMainThreadPoster {
  public:
    // Create on the main thread; it must outlive every thread that posts.
    CQtMainThreadPoster() = default;
    CQtMainThreadPoster(const CQtMainThreadPoster&) = delete;
    CQtMainThreadPoster& operator=(const CQtMainThreadPoster&) = delete;

    void Post(std::function<void()> fn) override;

  private:
    QObject context_;  // lives on the thread that created the poster
};
