#include "platform/linux/LinuxUsbPlatform.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>
#include <vector>

#include "device/ZRDeviceDesc.h"
#include "tests/common/LineLog.h"
#include "tests/linuxio/DescriptorBytes.h"
#include "tests/support/TempDir.h"

namespace fs = std::filesystem;

namespace {

using test_log::LineLog;

const std::string kFixture = std::string(KS_SOURCE_DIR) + "/tests/fixtures/sysfs/basic";

// The device path the tree gives for the device at a port of the first controller's root hub.
std::string PathAtRootPort(IUsbTree& tree, int port) {
    std::vector<UsbHostControllerEntry> controllers;
    int error = 0;
    if (tree.ListHostControllers(&controllers, &error) != UsbTreeStatus::kOk ||
        controllers.empty()) {
        return {};
    }
    std::string rootHub;
    std::string driverKey;
    if (tree.GetRootHubName(controllers[0].path, &rootHub, &error) != UsbTreeStatus::kOk ||
        tree.GetPortDriverKey(rootHub, port, &driverKey, &error) != UsbTreeStatus::kOk) {
        return {};
    }
    const uint32_t devnode = tree.FindDevnodeByDriverKey(driverKey);
    return devnode == 0 ? std::string() : tree.DevicePath(devnode, DEVICE_KIND_LOADER);
}

}  // namespace

// The path the tree hands out is one the pipes resolve: to the node named by the device's busnum
// and devnum under the usbfs root.
TEST(LinuxUsbPlatform, TreePathsOpenThroughThePipes) {
    TempDir dev;
    ASSERT_FALSE(dev.Path().empty());
    UeventMonitorOptions polling;
    polling.forcePolling = true;
    LinuxUsbPlatform platform(kFixture, dev.File("usb"), nullptr, polling);

    const std::string path = PathAtRootPort(platform.Tree(), 1);
    ASSERT_EQ(path, "1-1");

    int error = 0;
    EXPECT_EQ(platform.Pipes().Open(path, IBulkPipes::kPipeIn, &error), IBulkPipes::kInvalidHandle);
    EXPECT_EQ(error, ENOENT);  // no node yet

    // A regular file at 001/002 (busnum 1, devnum 2 in the fixture) stands in for the node: it is
    // found and its descriptors read, and the claim fails because a file takes no usbfs requests.
    fs::create_directories(dev.File("usb/001"));
    const testdesc::Bytes bytes = testdesc::LoaderNodeBytes();
    std::ofstream(dev.File("usb/001/002"), std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<long>(bytes.size()));
    EXPECT_EQ(platform.Pipes().Open(path, IBulkPipes::kPipeIn, &error), IBulkPipes::kInvalidHandle);
    EXPECT_EQ(error, ENOTTY);
}

TEST(LinuxUsbPlatform, ChangeSourceRunsAndStopsWithThePlatform) {
    std::atomic<int> notices{0};
    LineLog log;
    {
        UeventMonitorOptions polling;
        polling.forcePolling = true;
        polling.pollIntervalMs = 5;
        LinuxUsbPlatform platform(kFixture, "/nonexistent", nullptr, polling);
        // The station's log is attached after the platform is built, before notices start.
        platform.SetLog(&log);
        ASSERT_TRUE(platform.Changes().Start([&] { ++notices; }));
        for (int i = 0; i < 500 && notices.load() == 0; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        EXPECT_GT(notices.load(), 0);
        // Destroyed while running: the destructor stops the thread before anything else goes.
    }
    const int atEnd = notices.load();
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(notices.load(), atEnd);
    const auto lines = log.Lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("UeventMonitor-->"), std::string::npos) << lines[0];
    EXPECT_NE(lines[0].find("polling every"), std::string::npos) << lines[0];
}
