#include "support/Clock.h"

#include <chrono>
#include <thread>

namespace {

class SteadyClock final : public IClock {
  public:
    uint64_t NowMs() override {
        using namespace std::chrono;
        return static_cast<uint64_t>(
            duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
    }
    void SleepMs(uint32_t ms) override {
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    }
};

}  // namespace

IClock& SystemClock() {
    static SteadyClock clock;
    return clock;
}
