// The way other threads hand work to the main (window) thread: a queue of closures that the main
// thread runs one after another, in the order in which they were posted.
#pragma once

#include <functional>

class IMainThreadPoster {
  public:
    virtual ~IMainThreadPoster() = default;
    // Queues fn to run later on the main thread. Callable from any thread, also from the main
    // thread itself; never runs fn before returning and never blocks on the main thread.
    // Closures posted by one thread run in the order of their posting.
    virtual void Post(std::function<void()> fn) = 0;
};
