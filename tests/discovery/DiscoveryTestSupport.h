// Shared helpers of the discovery tests: a virtual clock, a log sink that keeps its lines, the
// device tables and boards the tests use, and a search's whole result.
#pragma once

#include <cstdarg>
#include <cstdio>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "device/DeviceTables.h"
#include "device/ZRScan.h"
#include "platform/sim/SimUsbHost.h"
#include "support/Clock.h"
#include "support/Logger.h"
#include "tests/common/LineLog.h"

namespace discovery_test {

using RecordingLog = test_log::LineLog;

// Virtual time: SleepMs moves NowMs forward at once. the hook given to SetOnSleep
// (optional) runs after each sleep,
// so a test can change the bus between two polls.
class VirtualClock final : public IClock {
  public:
    uint64_t NowMs() override {
        std::lock_guard<std::mutex> guard(lock_);
        return now_;
    }
    void SleepMs(uint32_t ms) override {
        std::function<void(uint32_t)> hook;
        {
            std::lock_guard<std::mutex> guard(lock_);
            now_ += ms;
            sleeps_.push_back(ms);
            hook = onSleep_;
        }
        if (hook) {
            hook(ms);
        }
    }
    std::vector<uint32_t> Sleeps() {
        std::lock_guard<std::mutex> guard(lock_);
        return sleeps_;
    }
    void Set(uint64_t now) {
        std::lock_guard<std::mutex> guard(lock_);
        now_ = now;
    }
    void SetOnSleep(std::function<void(uint32_t)> hook) {
        std::lock_guard<std::mutex> guard(lock_);
        onSleep_ = std::move(hook);
    }

  private:
    std::function<void(uint32_t)> onSleep_;
    std::mutex lock_;
    uint64_t now_ = 1000;
    std::vector<uint32_t> sleeps_;
};

constexpr uint16_t kVendor = 0xF00D;
constexpr uint16_t kAltVendor = 0xF00E;

// Vendor ids plus three chip rows: F00D:1001 -> 16, F00D:2005 -> 48, F00E:2002 -> 33.
inline DeviceTables TestTables() {
    DeviceTables tables;
    tables.SetVendorIds(kVendor, kAltVendor);
    tables.AddChipRow({kVendor, 0x1001, 16});
    tables.AddChipRow({kVendor, 0x2005, 48});
    tables.AddChipRow({kAltVendor, 0x2002, 33});
    return tables;
}

// A board on the simulated bus: the test vendor's product pid (a loader by its bcdUSB unless
// another is given) with its serial number at string index serialIndex.
inline SimUsbDeviceInfo Board(uint16_t pid, uint16_t bcdUsb = 0x0201, uint16_t vid = kVendor,
                              uint8_t serialIndex = 3) {
    SimUsbDeviceInfo info;
    info.vendorId = vid;
    info.productId = pid;
    info.bcdUsb = bcdUsb;
    info.serialIndex = serialIndex;
    return info;
}

// Every device a search with `mask` finds, in the order GetDevice gives them.
inline std::vector<ZRDeviceDesc> SearchAll(ZRScan& scan, uint32_t mask) {
    std::vector<ZRDeviceDesc> out;
    const int count = scan.Search(mask);
    for (int i = 0; i < count; ++i) {
        ZRDeviceDesc desc;
        EXPECT_EQ(scan.GetDevice(i, &desc), 1);
        out.push_back(desc);
    }
    return out;
}

}  // namespace discovery_test
