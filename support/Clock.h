// Time source and sleeping, behind an interface so that waits (transport retries, device polls,
// emulated reboots) can run on a virtual clock in tests.
#pragma once

#include <cstdint>

class IClock {
  public:
    virtual ~IClock() = default;
    // Monotonic milliseconds since an arbitrary origin.
    virtual uint64_t NowMs() = 0;
    virtual void SleepMs(uint32_t ms) = 0;
};

// The process-wide real clock (steady_clock, std::this_thread::sleep_for).
IClock& SystemClock();
