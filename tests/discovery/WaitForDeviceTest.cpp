// WaitForDevice on the simulated host with virtual time: eight consecutive sightings at the exact
// location, the time limit per kind, and a device that comes back from a reset.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

#include "device/ZRScan.h"
#include "device/ZRTransport.h"
#include "platform/sim/LoaderEmulator.h"
#include "platform/sim/SimUsbHost.h"
#include "tests/discovery/DiscoveryTestSupport.h"

using namespace discovery_test;

namespace {

// The boards here keep their serial number at string index 5.
SimUsbDeviceInfo TestBoard(uint16_t pid, uint16_t bcdUsb = 0x0201) {
    return discovery_test::Board(pid, bcdUsb, kVendor, 5);
}

class WaitTest : public ::testing::Test {
  protected:
    WaitTest() : tables_(TestTables()) { host_.AddController(true, 8); }
    ~WaitTest() override { clock_.SetOnSleep(nullptr); }

    // Plugs the device at the first pause of the next wait, so that the scanner sees it arrive
    // as a board back from its reset does (a device there all along counts only after a grace).
    void PlugAtFirstPause(const std::string& location, const SimUsbDeviceInfo& info) {
        clock_.SetOnSleep([this, location, info, done = false](uint32_t) mutable {
            if (!done) {
                done = true;
                host_.PlugDevice(location, info);
            }
        });
    }

    // Waits for a loader at `location` (any vendor and product); 1 when it was found.
    static int WaitForLoader(ZRScan& scan, const std::string& location) {
        ZRDeviceDesc record;
        record.location = location;
        return scan.WaitForDevice(&record, DEVICE_KIND_LOADER, 0, 0);
    }

    // Number of 50 ms pauses the scanner made.
    size_t Polls() {
        size_t n = 0;
        for (uint32_t ms : clock_.Sleeps()) {
            n += ms == ZRScan::kPollPauseMs ? 1 : 0;
        }
        return n;
    }

    VirtualClock clock_;
    RecordingLog log_;
    DeviceTables tables_;
    SimUsbHost host_{clock_};
};

TEST_F(WaitTest, ReturnsAfterTheEighthConsecutiveSightingAndRefillsTheRecord) {
    PlugAtFirstPause("1-3", TestBoard(0x1001));
    ZRScan scan(30, 30, 0, host_, tables_, clock_, &log_);
    scan.LoadDeviceTables();
    ZRDeviceDesc record;
    record.location = "1-3";

    ASSERT_EQ(scan.WaitForDevice(&record, DEVICE_KIND_LOADER, 0, 0), 1);
    EXPECT_EQ(Polls(), 8U);  // an empty walk, then eight sightings, a pause between each two
    EXPECT_EQ(record.location, "1-3");
    EXPECT_EQ(record.path, "1-3");
    EXPECT_EQ(record.kind, static_cast<uint32_t>(DEVICE_KIND_LOADER));
    EXPECT_EQ(record.vendorId, kVendor);
    EXPECT_EQ(record.productId, 0x1001);
    EXPECT_EQ(record.bcdUsb, 0x0201);
    EXPECT_EQ(record.serialIndex, 5);
    EXPECT_EQ(record.chipCode, 16);
    EXPECT_EQ(record.controllerFlag, 1U);
    EXPECT_EQ(record.devnode, host_.FindDevnodeByDriverKey("1-3"));
}

TEST_F(WaitTest, OneMissedPollStartsTheCountAgain) {
    ASSERT_TRUE(host_.PlugDevice("1-3", TestBoard(0x1001)));
    ZRScan scan(30, 30, 0, host_, tables_, clock_);
    int pause = 0;
    clock_.SetOnSleep([&](uint32_t) {
        ++pause;
        if (pause == 5) {
            host_.Unplug("1-3");  // the sixth walk misses it
        } else if (pause == 6) {
            host_.PlugDevice("1-3", TestBoard(0x1001));
        }
    });
    ASSERT_EQ(WaitForLoader(scan, "1-3"), 1);
    // Five sightings, one miss, then eight more: fourteen walks, thirteen pauses.
    EXPECT_EQ(Polls(), 13U);
}

TEST_F(WaitTest, DeviceBackAtAnotherPortIsNotFoundAndTheLimitEndsTheWait) {
    ASSERT_TRUE(host_.PlugDevice("1-4", TestBoard(0x1001)));
    ZRScan scan(30, 2, 0, host_, tables_, clock_);
    ZRDeviceDesc record;
    record.location = "1-3";
    const uint64_t start = clock_.NowMs();  // 1000: a whole second
    EXPECT_EQ(scan.WaitForDevice(&record, DEVICE_KIND_LOADER, 0, 0), 0);
    // Polls go on while the elapsed whole seconds do not exceed 2, so until 3 s have passed.
    EXPECT_EQ(clock_.NowMs() - start, 3000U);
    EXPECT_EQ(record.path, "");  // untouched
}

TEST_F(WaitTest, LocationIsComparedExactly) {
    ASSERT_EQ(host_.AddHub("1", 3, 4), "1-3");
    ASSERT_TRUE(host_.PlugDevice("1-3-1", TestBoard(0x1001)));
    ZRScan scan(1, 1, 0, host_, tables_, clock_);
    ZRDeviceDesc record;
    record.location = "1-3";  // the hub's port, not the device's
    EXPECT_EQ(scan.WaitForDevice(&record, DEVICE_KIND_LOADER, 0, 0), 0);
    ASSERT_TRUE(host_.Unplug("1-3-1"));
    PlugAtFirstPause("1-3-1", TestBoard(0x1001));
    record.location = "1-3-1";
    EXPECT_EQ(scan.WaitForDevice(&record, DEVICE_KIND_LOADER, 0, 0), 1);
}

TEST_F(WaitTest, VendorAndProductMustMatchUnlessBothAreZero) {
    ASSERT_TRUE(host_.PlugDevice("1-3", TestBoard(0x1001)));
    ZRScan scan(1, 1, 0, host_, tables_, clock_);
    ZRDeviceDesc record;
    record.location = "1-3";
    EXPECT_EQ(scan.WaitForDevice(&record, DEVICE_KIND_LOADER, kVendor, 0x1002), 0);
    ASSERT_TRUE(host_.Unplug("1-3"));
    PlugAtFirstPause("1-3", TestBoard(0x1001));
    EXPECT_EQ(scan.WaitForDevice(&record, DEVICE_KIND_LOADER, kVendor, 0x1001), 1);
}

TEST_F(WaitTest, KindMustMatchAndItsLimitApplies) {
    ASSERT_TRUE(host_.PlugDevice("1-3", TestBoard(0x1001, 0x0200)));  // ROM mode
    ZRScan scan(1, 5, 0, host_, tables_, clock_);
    scan.LoadDeviceTables();
    ZRDeviceDesc record;
    record.location = "1-3";

    uint64_t start = clock_.NowMs();
    EXPECT_EQ(scan.WaitForDevice(&record, DEVICE_KIND_LOADER, 0, 0), 0);
    EXPECT_EQ(clock_.NowMs() - start, 6000U);  // chip kinds: 5 s limit

    start = clock_.NowMs();
    EXPECT_EQ(scan.WaitForDevice(&record, DEVICE_KIND_MSC, 0, 0), 0);
    EXPECT_EQ(clock_.NowMs() - start, 2000U);  // interface kinds: 1 s limit

    EXPECT_EQ(scan.WaitForDevice(&record, DEVICE_KIND_ROM, 0, 0), 1);
    EXPECT_EQ(record.kind, static_cast<uint32_t>(DEVICE_KIND_ROM));
    EXPECT_EQ(record.chipCode, 16);
}

TEST_F(WaitTest, MassStorageRecordHasNoSerialIndexAndNoChipCode) {
    PlugAtFirstPause("1-2", TestBoard(0x0010, 0x0200));
    ZRScan scan(1, 1, 0, host_, tables_, clock_);
    scan.LoadDeviceTables();
    ZRDeviceDesc record;
    record.location = "1-2";
    record.chipCode = 99;
    ASSERT_EQ(scan.WaitForDevice(&record, DEVICE_KIND_MSC, 0, 0), 1);
    EXPECT_EQ(record.serialIndex, 0);
    EXPECT_EQ(record.chipCode, 0);
    EXPECT_EQ(record.kind, static_cast<uint32_t>(DEVICE_KIND_MSC));
}

TEST_F(WaitTest, WaitingDoesNotDisturbTheListOfTheLastSearch) {
    ASSERT_TRUE(host_.PlugDevice("1-1", TestBoard(0x1001)));
    ASSERT_TRUE(host_.PlugDevice("1-3", TestBoard(0x0005)));  // not a board
    ZRScan scan(1, 1, 0, host_, tables_, clock_);
    ASSERT_EQ(scan.Search(DEVICE_KIND_LOADER), 1);
    EXPECT_EQ(WaitForLoader(scan, "1-3"), 0);
    ZRDeviceDesc desc;
    ASSERT_EQ(scan.GetDevice(0, &desc), 1);
    EXPECT_EQ(desc.location, "1-1");
    EXPECT_EQ(desc.kind, static_cast<uint32_t>(DEVICE_KIND_LOADER));
    EXPECT_EQ(scan.GetDevice(1, &desc), 0);
}

// The loader's reset command: the device leaves its port after the status block and the host
// brings it back at the same port after the delay it asked for.
TEST_F(WaitTest, LoaderBackFromAResetIsFoundAtItsPort) {
    LoaderConfig config;
    config.resetReturnDelayMs = 700;
    config.finalResetReturns = true;
    auto loader = std::make_shared<LoaderEmulator>(config, clock_);
    ASSERT_TRUE(host_.Plug("1-3", loader));

    uint8_t cbw[zr::kCommandBlockSize] = {};
    zr::PutLe32(cbw, zr::kCommandSignature);
    zr::PutLe32(cbw + zr::kCbwTag, 0x1234);
    cbw[zr::kCbwCbLength] = 6;
    cbw[zr::kCbwCb] = 0xFF;  // reset
    int err = 0;
    const int out = host_.Open("1-3", IBulkPipes::kPipeOut, &err);
    ASSERT_GE(out, 0);
    ASSERT_EQ(host_.Write(out, cbw, sizeof cbw, &err), static_cast<long>(sizeof cbw));
    host_.Close(out);
    const int in = host_.Open("1-3", IBulkPipes::kPipeIn, &err);
    ASSERT_GE(in, 0);
    uint8_t csw[zr::kStatusBlockSize] = {};
    ASSERT_EQ(host_.Read(in, csw, sizeof csw, &err), static_cast<long>(sizeof csw));
    host_.Close(in);

    // The host's timer thread moves the same virtual clock; keep the scanner's pauses from
    // running ahead of it while the device is away (bounded in real time).
    clock_.SetOnSleep([&](uint32_t ms) {
        for (int i = 0; ms == ZRScan::kPollPauseMs && host_.PendingReturns() > 0 && i < 5000; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    ZRScan scan(30, 30, 0, host_, tables_, clock_);
    ZRDeviceDesc record;
    record.location = "1-3";
    ASSERT_EQ(scan.WaitForDevice(&record, DEVICE_KIND_LOADER, 0, 0), 1);
    EXPECT_EQ(host_.NoticeCount(), 3U);  // plugged, left for the reset, back
    EXPECT_EQ(record.path, "1-3");
    EXPECT_FALSE(loader->IsOffBus());
    EXPECT_EQ(loader->ResetCount(), 1U);
}

// ---- a board right after its reset: the old enumeration is not the board come back ----

// Sends the loader's reset command (sub-code 1) through the host's pipes.
void SendReset(SimUsbHost& host, const std::string& path) {
    uint8_t cbw[zr::kCommandBlockSize] = {};
    zr::PutLe32(cbw, zr::kCommandSignature);
    zr::PutLe32(cbw + zr::kCbwTag, 0x4321);
    cbw[zr::kCbwCbLength] = 6;
    cbw[zr::kCbwCb] = 0xFF;
    cbw[zr::kCbwCb + 1] = 1;
    int err = 0;
    const int out = host.Open(path, IBulkPipes::kPipeOut, &err);
    ASSERT_GE(out, 0);
    ASSERT_EQ(host.Write(out, cbw, sizeof cbw, &err), static_cast<long>(sizeof cbw));
    host.Close(out);
    const int in = host.Open(path, IBulkPipes::kPipeIn, &err);
    ASSERT_GE(in, 0);
    uint8_t csw[zr::kStatusBlockSize] = {};
    ASSERT_EQ(host.Read(in, csw, sizeof csw, &err), static_cast<long>(sizeof csw));
    host.Close(in);
}

// Time the test sets: the simulated host's timer thread waits on it instead of running ahead.
class HeldClock final : public IClock {
  public:
    uint64_t NowMs() override { return now_.load(); }
    void SleepMs(uint32_t) override { std::this_thread::sleep_for(std::chrono::milliseconds(1)); }
    void Set(uint64_t now) { now_.store(now); }

  private:
    std::atomic<uint64_t> now_{1000};
};

// A real board stays in sysfs for a few hundred milliseconds after its reset, longer than eight
// polls take. Taking it then would read the vendor sector of a board that is not there (or not
// restarted) and fail the check after the reset.
TEST_F(WaitTest, ABoardLingeringAfterItsResetIsNotTakenForTheBoardComeBack) {
    HeldClock hostClock;
    hostClock.Set(clock_.NowMs());
    SimUsbHost host(hostClock);
    host.AddController(true, 8);
    LoaderConfig config;
    config.resetLingerMs = 800;  // sixteen polls
    config.resetReturnDelayMs = 700;
    config.finalResetReturns = true;
    auto loader = std::make_shared<LoaderEmulator>(config, hostClock);
    ASSERT_TRUE(host.Plug("1-3", loader));
    const uint64_t resetAt = clock_.NowMs();
    SendReset(host, "1-3");
    ASSERT_TRUE(host.IsAttached("1-3"));  // still there, not answering
    ASSERT_TRUE(loader->IsOffBus());

    int lingeringPolls = 0;
    clock_.SetOnSleep([&](uint32_t) {
        const uint64_t now = clock_.NowMs();
        hostClock.Set(now);
        // Let the host's timer catch up with the time just set (bounded in real time).
        const bool attached = now - resetAt < 800 || now - resetAt >= 1500;
        for (int i = 0; host.IsAttached("1-3") != attached && i < 5000; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        lingeringPolls += (host.IsAttached("1-3") && loader->IsOffBus()) ? 1 : 0;
    });
    ZRScan scan(30, 30, 0, host, tables_, clock_);
    ASSERT_EQ(WaitForLoader(scan, "1-3"), 1);
    clock_.SetOnSleep(nullptr);
    EXPECT_GE(lingeringPolls, 8);      // long enough to be counted eight times over
    EXPECT_FALSE(loader->IsOffBus());  // the board that was found is the one that came back
    EXPECT_GE(clock_.NowMs() - resetAt, 1500U + 7 * ZRScan::kPollPauseMs);
    EXPECT_EQ(loader->ResetCount(), 1U);
    EXPECT_EQ(host.NoticeCount(), 3U);  // plugged, left after lingering, back
}

// Re-enumerated between two polls (never seen gone): the new enumeration counts, the old not.
TEST_F(WaitTest, AnotherEnumerationAtTheSamePortCountsWithoutBeingSeenGone) {
    ASSERT_TRUE(host_.PlugDevice("1-3", TestBoard(0x1001)));
    int pause = 0;
    clock_.SetOnSleep([&](uint32_t) {
        if (++pause == 3) {
            host_.Unplug("1-3");
            host_.PlugDevice("1-3", TestBoard(0x1001));
        }
    });
    ZRScan scan(30, 30, 0, host_, tables_, clock_);
    ASSERT_EQ(WaitForLoader(scan, "1-3"), 1);
    // Three walks of the old enumeration, then eight of the new one.
    EXPECT_EQ(Polls(), 10U);
}

// A board already back before the wait began (or a tree that cannot tell enumerations apart) is
// not refused for ever: it counts once it has stayed the grace.
TEST_F(WaitTest, TheSameEnumerationThroughoutCountsAfterTheGrace) {
    ASSERT_TRUE(host_.PlugDevice("1-3", TestBoard(0x1001)));
    ZRScan scan(30, 30, 0, host_, tables_, clock_);
    const uint64_t start = clock_.NowMs();
    ASSERT_EQ(WaitForLoader(scan, "1-3"), 1);
    const uint64_t waited = clock_.NowMs() - start;
    EXPECT_GE(waited, ZRScan::kSameEnumerationGraceMs + 7 * ZRScan::kPollPauseMs);
    EXPECT_LT(waited, ZRScan::kSameEnumerationGraceMs + 9 * ZRScan::kPollPauseMs);
}

}  // namespace
