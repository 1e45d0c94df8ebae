// WaitForDevice on the simulated host with virtual time: eight consecutive sightings at the exact
// location, the time limit per kind, and a device that comes back from a reset.
#include <gtest/gtest.h>

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

SimUsbDeviceInfo Board(uint16_t pid, uint16_t bcdUsb = 0x0201) {
    SimUsbDeviceInfo info;
    info.vendorId = kVendor;
    info.productId = pid;
    info.bcdUsb = bcdUsb;
    info.serialIndex = 5;
    return info;
}

class WaitTest : public ::testing::Test {
  protected:
    WaitTest() : tables_(TestTables()) { host_.AddController(true, 8); }
    ~WaitTest() override { clock_.SetOnSleep(nullptr); }

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
    ASSERT_TRUE(host_.PlugDevice("1-3", Board(0x1001)));
    ZRScan scan(30, 30, 0, host_, tables_, clock_, &log_);
    scan.LoadDeviceTables();
    ZRDeviceDesc record;
    record.location = "1-3";

    ASSERT_EQ(scan.WaitForDevice(&record, DEVICE_KIND_LOADER, 0, 0), 1);
    EXPECT_EQ(Polls(), 7U);  // eight walks, a pause between each two
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
    ASSERT_TRUE(host_.PlugDevice("1-3", Board(0x1001)));
    ZRScan scan(30, 30, 0, host_, tables_, clock_);
    int pause = 0;
    clock_.SetOnSleep([&](uint32_t) {
        ++pause;
        if (pause == 5) {
            host_.Unplug("1-3");  // the sixth walk misses it
        } else if (pause == 6) {
            host_.PlugDevice("1-3", Board(0x1001));
        }
    });
    ZRDeviceDesc record;
    record.location = "1-3";
    ASSERT_EQ(scan.WaitForDevice(&record, DEVICE_KIND_LOADER, 0, 0), 1);
    // Five sightings, one miss, then eight more: fourteen walks, thirteen pauses.
    EXPECT_EQ(Polls(), 13U);
}

TEST_F(WaitTest, DeviceBackAtAnotherPortIsNotFoundAndTheLimitEndsTheWait) {
    ASSERT_TRUE(host_.PlugDevice("1-4", Board(0x1001)));
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
    ASSERT_TRUE(host_.PlugDevice("1-3-1", Board(0x1001)));
    ZRScan scan(1, 1, 0, host_, tables_, clock_);
    ZRDeviceDesc record;
    record.location = "1-3";  // the hub's port, not the device's
    EXPECT_EQ(scan.WaitForDevice(&record, DEVICE_KIND_LOADER, 0, 0), 0);
    record.location = "1-3-1";
    EXPECT_EQ(scan.WaitForDevice(&record, DEVICE_KIND_LOADER, 0, 0), 1);
}

TEST_F(WaitTest, VendorAndProductMustMatchUnlessBothAreZero) {
    ASSERT_TRUE(host_.PlugDevice("1-3", Board(0x1001)));
    ZRScan scan(1, 1, 0, host_, tables_, clock_);
    ZRDeviceDesc record;
    record.location = "1-3";
    EXPECT_EQ(scan.WaitForDevice(&record, DEVICE_KIND_LOADER, kVendor, 0x1002), 0);
    EXPECT_EQ(scan.WaitForDevice(&record, DEVICE_KIND_LOADER, kVendor, 0x1001), 1);
}

TEST_F(WaitTest, KindMustMatchAndItsLimitApplies) {
    ASSERT_TRUE(host_.PlugDevice("1-3", Board(0x1001, 0x0200)));  // ROM mode
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
    ASSERT_TRUE(host_.PlugDevice("1-2", Board(0x0010, 0x0200)));
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
    ASSERT_TRUE(host_.PlugDevice("1-1", Board(0x1001)));
    ASSERT_TRUE(host_.PlugDevice("1-3", Board(0x0005)));  // not a board
    ZRScan scan(1, 1, 0, host_, tables_, clock_);
    ASSERT_EQ(scan.Search(DEVICE_KIND_LOADER), 1);
    ZRDeviceDesc record;
    record.location = "1-3";
    EXPECT_EQ(scan.WaitForDevice(&record, DEVICE_KIND_LOADER, 0, 0), 0);
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

}  // namespace
