// The simulated host under concurrent use: pipe transfers on several devices while devices and a
// hub are unplugged and plugged again, a device resets, a scanner walks, and notices flow.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <memory>
#include <set>
#include <thread>
#include <vector>

#include "device/DeviceTables.h"
#include "device/ZRScan.h"
#include "device/ZRTransport.h"
#include "platform/sim/LoaderEmulator.h"
#include "platform/sim/SimUsbHost.h"

namespace {

using namespace std::chrono_literals;

// Time that never really passes: the scanner's hub retries must not stall the test.
class InstantClock final : public IClock {
  public:
    uint64_t NowMs() override { return now_.load(); }
    void SleepMs(uint32_t ms) override { now_ += ms; }

  private:
    std::atomic<uint64_t> now_{1000};
};

enum class Outcome { kDone, kFailed, kBadStatus };

// One bulk-only transaction: command block out, status block in.
Outcome Transaction(SimUsbHost& host, const std::string& path, uint8_t opcode, uint8_t subCode,
                    uint32_t tag) {
    uint8_t cbw[zr::kCommandBlockSize] = {};
    zr::PutLe32(cbw, zr::kCommandSignature);
    zr::PutLe32(cbw + zr::kCbwTag, tag);
    cbw[zr::kCbwFlags] = opcode == 0xFF ? 0 : zr::kFlagDataIn;
    cbw[zr::kCbwCbLength] = 6;
    cbw[zr::kCbwCb] = opcode;
    cbw[zr::kCbwCb + 1] = subCode;
    int err = 0;
    const int out = host.Open(path, IBulkPipes::kPipeOut, &err);
    if (out < 0) {
        return Outcome::kFailed;
    }
    const long wrote = host.Write(out, cbw, sizeof cbw, &err);
    if (wrote != static_cast<long>(sizeof cbw)) {
        host.ResetPipe(out, 2, &err);
        host.Close(out);
        return Outcome::kFailed;
    }
    host.Close(out);
    const int in = host.Open(path, IBulkPipes::kPipeIn, &err);
    if (in < 0) {
        return Outcome::kFailed;
    }
    uint8_t csw[zr::kStatusBlockSize] = {};
    const long got = host.Read(in, csw, sizeof csw, &err);
    if (got != static_cast<long>(sizeof csw)) {
        host.ResetPipe(in, 2, &err);
        host.Close(in);
        return Outcome::kFailed;
    }
    host.Close(in);
    if (zr::GetLe32(csw) != zr::kStatusSignature) {
        return Outcome::kBadStatus;
    }
    return Outcome::kDone;
}

bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) {
            return false;
        }
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

TEST(SimUsbHostConcurrentTest, TransfersScansAndResetsSurvivePlugChurnAndNoNoticeIsLost) {
    SimUsbHost host;  // real clock: the reset return delay is a few milliseconds
    host.AddController(true, 8);
    ASSERT_EQ(host.AddHub("1", 8, 4), "1-8");
    const std::vector<std::string> locations = {"1-1", "1-2", "1-8-1", "1-8-2"};
    std::vector<std::shared_ptr<LoaderEmulator>> devices;
    for (size_t i = 0; i < locations.size(); ++i) {
        LoaderConfig config;
        config.productId = static_cast<uint16_t>(0x1001 + i);
        config.resetReturnDelayMs = 3;
        config.finalResetReturns = true;
        devices.push_back(std::make_shared<LoaderEmulator>(config));
        ASSERT_TRUE(host.Plug(locations[i], devices.back()));
    }
    std::atomic<uint64_t> delivered{0};
    ASSERT_TRUE(host.Start([&] { ++delivered; }));
    const uint64_t noticesBeforeStart = host.NoticeCount();

    std::atomic<bool> stop{false};
    std::atomic<int> badStatus{0};
    std::atomic<int> done{0};
    std::vector<std::thread> threads;
    for (size_t i = 0; i < locations.size(); ++i) {
        threads.emplace_back([&, i] {
            const std::string path = SimUsbHost::NameOfLocation(locations[i]);
            for (uint32_t n = 1; !stop.load(); ++n) {
                // Device 0 resets now and then; the others only ask whether they are ready.
                const bool reset = i == 0 && n % 25 == 0;
                const Outcome outcome =
                    Transaction(host, path, reset ? 0xFF : 0x00, 0, static_cast<uint32_t>(n));
                badStatus += outcome == Outcome::kBadStatus ? 1 : 0;
                done += outcome == Outcome::kDone ? 1 : 0;
                if (reset && outcome == Outcome::kDone) {
                    WaitUntil([&] { return host.PendingReturns() == 0; }, 2000ms);
                }
            }
        });
    }
    threads.emplace_back([&] {  // the scanner
        DeviceTables tables;
        tables.SetVendorIds(0xF00D, 0);
        InstantClock clock;
        ZRScan scan(30, 30, 0, host, tables, clock);
        const std::set<std::string> known(locations.begin(), locations.end());
        while (!stop.load()) {
            const int count = scan.Search(DEVICE_KIND_LOADER);
            EXPECT_LE(count, 4);
            for (int i = 0; i < count; ++i) {
                ZRDeviceDesc desc;
                ASSERT_EQ(scan.GetDevice(i, &desc), 1);
                EXPECT_EQ(known.count(desc.location), 1U) << desc.location;
                EXPECT_EQ(desc.path, SimUsbHost::NameOfLocation(desc.location));
            }
        }
    });
    threads.emplace_back([&] {  // unplugs and plugs devices, and now and then the hub
        for (int round = 0; round < 200; ++round) {
            const size_t i = static_cast<size_t>(round) % devices.size();
            if (round % 60 == 59) {
                host.Unplug("1-8");
                std::this_thread::sleep_for(200us);
                host.AddHub("1", 8, 4);
                host.Plug("1-8-1", devices[2]);
                host.Plug("1-8-2", devices[3]);
                continue;
            }
            host.Unplug(locations[i]);
            std::this_thread::sleep_for(100us);
            host.Plug(locations[i], devices[i]);
            std::this_thread::sleep_for(100us);
        }
        stop = true;
    });
    for (std::thread& t : threads) {
        t.join();
    }
    EXPECT_EQ(badStatus.load(), 0);
    EXPECT_GT(done.load(), 0);

    // Quiet again: every device at its own port, found by a walk, and answering.
    ASSERT_TRUE(WaitUntil([&] { return host.PendingReturns() == 0; }, 2000ms));
    for (size_t i = 0; i < devices.size(); ++i) {
        if (host.LocationOf(devices[i].get()).empty()) {
            ASSERT_TRUE(host.Plug(locations[i], devices[i]));
        }
        EXPECT_EQ(host.LocationOf(devices[i].get()), locations[i]);
        EXPECT_EQ(Transaction(host, SimUsbHost::NameOfLocation(locations[i]), 0x00, 0, 7),
                  Outcome::kDone);
    }
    DeviceTables tables;
    tables.SetVendorIds(0xF00D, 0);
    InstantClock clock;
    ZRScan scan(30, 30, 0, host, tables, clock);
    EXPECT_EQ(scan.Search(DEVICE_KIND_LOADER), 4);

    // Every notice raised reaches the listener; none after Stop.
    EXPECT_TRUE(WaitUntil(
        [&] { return delivered.load() == host.NoticeCount() - noticesBeforeStart; }, 2000ms))
        << delivered.load() << " of " << host.NoticeCount() - noticesBeforeStart;
    host.Stop();
    const uint64_t before = delivered.load();
    host.Unplug("1-1");
    host.Plug("1-1", devices[0]);
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(delivered.load(), before);
}

TEST(SimUsbHostConcurrentTest, StopEndsDeliveryWhileNoticesAreRaised) {
    SimUsbHost host;
    host.AddController(true, 4);
    SimUsbDeviceInfo info;
    info.vendorId = 0xF00D;
    info.productId = 0x1001;
    std::atomic<bool> stop{false};
    std::thread churn([&] {
        while (!stop.load()) {
            host.PlugDevice("1-1", info);
            host.Unplug("1-1");
        }
    });
    for (int round = 0; round < 50; ++round) {
        std::atomic<int> calls{0};
        std::atomic<bool> stopped{false};
        std::atomic<int> afterStop{0};
        ASSERT_TRUE(host.Start([&] {
            ++calls;
            afterStop += stopped.load() ? 1 : 0;
        }));
        std::this_thread::sleep_for(200us);
        host.Stop();
        stopped = true;
        std::this_thread::sleep_for(200us);
        EXPECT_EQ(afterStop.load(), 0);
    }
    stop = true;
    churn.join();
}

TEST(SimUsbHostConcurrentTest, HandleOfADeviceThatLeftFailsEvenAfterItCameBack) {
    SimUsbHost host;
    host.AddController(true, 4);
    auto device = std::make_shared<LoaderEmulator>(LoaderConfig{});
    ASSERT_TRUE(host.Plug("1-2", device));
    int err = 0;
    const int out = host.Open("1-2", IBulkPipes::kPipeOut, &err);
    ASSERT_GE(out, 0);
    std::thread replug([&] {
        host.Unplug("1-2");
        host.Plug("1-2", device);
    });
    replug.join();
    uint8_t block[zr::kCommandBlockSize] = {};
    EXPECT_EQ(host.Write(out, block, sizeof block, &err), -1);
    EXPECT_EQ(err, ENODEV);
    host.Close(out);
    EXPECT_EQ(host.Open("1-3", IBulkPipes::kPipeOut, &err), IBulkPipes::kInvalidHandle);
    EXPECT_EQ(err, ENODEV);
    EXPECT_EQ(host.Open("1-2", 3, &err), IBulkPipes::kInvalidHandle);
    EXPECT_EQ(err, EINVAL);
    const int in = host.Open("1-2", IBulkPipes::kPipeIn, &err);
    ASSERT_GE(in, 0);
    EXPECT_EQ(host.Write(in, block, sizeof block, &err), -1);  // wrong direction
    EXPECT_EQ(err, EBADF);
    host.Close(in);
}

}  // namespace
