#include "platform/linux/UsbfsPipes.h"
#include "tests/common/LineLog.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <numeric>
#include <thread>

#include "tests/contract/PipeContract.h"
#include "tests/linuxio/DescriptorBytes.h"
#include "tests/linuxio/FakeUsbfs.h"
#include "tests/support/TempDir.h"

namespace fs = std::filesystem;
using namespace testdesc;

namespace {

class FakeClock final : public IClock {
  public:
    uint64_t NowMs() override { return now.load(); }
    void SleepMs(uint32_t ms) override { now += ms; }
    std::atomic<uint64_t> now{1000};
};

void WriteFile(const std::string& path, const std::string& text) {
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

class UsbfsPipesTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_FALSE(temp_.Path().empty()); }

    std::string Sysfs() const { return temp_.File("sys"); }
    std::string DevRoot() const { return temp_.File("dev/bus/usb"); }
    std::string Attribute(const std::string& port, const std::string& name) const {
        return Sysfs() + "/bus/usb/devices/" + port + "/" + name;
    }
    // A device folder under ROOT/devices and its entry in ROOT/bus/usb/devices, as sysfs has.
    void AddPort(const std::string& port, unsigned bus, unsigned dev,
                 const std::string& configuration = "1\n") {
        const std::string hub = "usb" + std::to_string(bus);
        fs::create_directories(Sysfs() + "/devices/pci0000:00/" + hub + "/" + port);
        fs::create_directories(Sysfs() + "/bus/usb/devices");
        std::error_code ignored;
        fs::create_directory_symlink("../../../devices/pci0000:00/" + hub + "/" + port,
                                     Sysfs() + "/bus/usb/devices/" + port, ignored);
        WriteFile(Attribute(port, "busnum"), std::to_string(bus) + "\n");
        WriteFile(Attribute(port, "devnum"), std::to_string(dev) + "\n");
        WriteFile(Attribute(port, "bConfigurationValue"), configuration);
    }
    // A device at a port in the fixture sysfs, with its usbfs node in the fake.
    FakeUsbfs::Device& AddDevice(const std::string& port, unsigned bus, unsigned dev,
                                 Bytes descriptors = LoaderNodeBytes(),
                                 const std::string& configuration = "1\n") {
        AddPort(port, bus, dev, configuration);
        return usbfs_.Add(Node(bus, dev), std::move(descriptors));
    }
    std::string Node(unsigned bus, unsigned dev) const {
        char suffix[16];
        std::snprintf(suffix, sizeof suffix, "/%03u/%03u", bus, dev);
        return DevRoot() + suffix;
    }

    TempDir temp_;
    FakeUsbfs usbfs_;
    FakeClock clock_;
    UsbfsPipes pipes_{Sysfs(), DevRoot(), nullptr, usbfs_, clock_};
};

Bytes Pattern(size_t size) {
    Bytes out(size);
    for (size_t i = 0; i < size; ++i) {
        out[i] = static_cast<uint8_t>(i * 7 + i / 251);
    }
    return out;
}

}  // namespace

TEST(DevicePathNames, AcceptsOnlySysfsUsbDeviceNames) {
    for (const char* good : {"1-3", "2-1.4", "10-1.2.3.4.5.6.7", "999-255", "1-1"}) {
        EXPECT_TRUE(usbfs::IsValidDevicePath(good)) << good;
    }
    for (const char* bad : {"",
                            "usb1",
                            "1-3:1.0",
                            "1-3/..",
                            "../1-3",
                            "1-",
                            "-3",
                            "1-3.",
                            "1--3",
                            "1-3..4",
                            "1.3",
                            "1-3-4",
                            "1-3.4.5.6.7.8.9.10",
                            "1234-1",
                            "1-1234",
                            " 1-3",
                            "1-3\n",
                            "1-3 ",
                            "1-3/devnum",
                            "a-3",
                            "1-3\\x",
                            "0x1-3"}) {
        EXPECT_FALSE(usbfs::IsValidDevicePath(bad)) << bad;
    }
    EXPECT_FALSE(usbfs::IsValidDevicePath(std::string("1-3\0", 4)));
    EXPECT_FALSE(usbfs::IsValidDevicePath("1-1.1.1.1.1.1.1.1.1.1.1.1.1.1.1.1.1"));
}

TEST(DevicePathNames, SysfsNumbersAreStrictDecimal) {
    unsigned value = 0;
    EXPECT_TRUE(usbfs::ParseSysfsNumber("5\n", 2, 255, &value));
    EXPECT_EQ(value, 5u);
    EXPECT_TRUE(usbfs::ParseSysfsNumber("127", 3, 255, &value));
    EXPECT_EQ(value, 127u);
    for (const char* bad : {"", "\n", " 5", "5 ", "5\n\n", "-1", "0x5", "256", "5a"}) {
        EXPECT_FALSE(usbfs::ParseSysfsNumber(bad, std::strlen(bad), 255, &value)) << bad;
    }
    EXPECT_FALSE(usbfs::ParseSysfsNumber("4294967296", 10, 0xFFFFFFFFu, &value));
}

TEST_F(UsbfsPipesTest, ResolvesThePortThroughBusnumAndDevnum) {
    AddDevice("2-1.4", 2, 17);
    std::string node;
    int error = 0;
    ASSERT_TRUE(pipes_.ResolveNode("2-1.4", &node, &error));
    EXPECT_EQ(node, DevRoot() + "/002/017");
}

TEST_F(UsbfsPipesTest, FollowsSysfsEntriesOnlyIntoTheirOwnDeviceFolder) {
    // The discovery fixture: 2-5 links out of ROOT/devices, 2-6 to the folder of 2-1.1.
    const std::string fixture = std::string(KS_SOURCE_DIR) + "/tests/fixtures/sysfs/basic";
    UsbfsPipes pipes(fixture, "/nonexistent/dev/bus/usb", nullptr, usbfs_, clock_);
    std::string node;
    int error = 0;
    ASSERT_TRUE(pipes.ResolveNode("1-1", &node, &error)) << error;
    EXPECT_EQ(node, "/nonexistent/dev/bus/usb/001/002");
    EXPECT_FALSE(pipes.ResolveNode("2-5", &node, &error));
    EXPECT_EQ(error, EACCES);
    EXPECT_FALSE(pipes.ResolveNode("2-6", &node, &error));
    EXPECT_EQ(error, EACCES);

    // A plain folder in ROOT/bus/usb/devices instead of a link into ROOT/devices.
    WriteFile(Sysfs() + "/bus/usb/devices/1-7/busnum", "1\n");
    WriteFile(Sysfs() + "/bus/usb/devices/1-7/devnum", "7\n");
    fs::create_directories(Sysfs() + "/devices");
    EXPECT_FALSE(pipes_.ResolveNode("1-7", &node, &error));
    EXPECT_EQ(error, EACCES);

    // An attribute that is itself a link is not followed.
    AddPort("1-3", 1, 5);
    WriteFile(temp_.File("elsewhere"), "9\n");
    fs::remove(Attribute("1-3", "devnum"));
    fs::create_symlink(temp_.File("elsewhere"), Attribute("1-3", "devnum"));
    EXPECT_FALSE(pipes_.ResolveNode("1-3", &node, &error));
    EXPECT_EQ(error, ELOOP);
}

TEST_F(UsbfsPipesTest, RefusesBadOrMissingSysfsNumbers) {
    std::string node;
    int error = 0;
    fs::create_directories(Sysfs() + "/devices");
    EXPECT_FALSE(pipes_.ResolveNode("1-3", &node, &error));
    EXPECT_EQ(error, ENOENT);

    AddDevice("1-3", 1, 5);
    for (const char* bad : {"0\n", "abc\n", "300\n", "", "5\n5\n"}) {
        WriteFile(Attribute("1-3", "devnum"), bad);
        error = 0;
        EXPECT_FALSE(pipes_.ResolveNode("1-3", &node, &error)) << bad;
        EXPECT_EQ(error, EIO) << bad;
    }
    WriteFile(Attribute("1-3", "devnum"), std::string(4096, '1'));
    EXPECT_FALSE(pipes_.ResolveNode("1-3", &node, &error));
    EXPECT_EQ(error, EIO);
    // A FIFO in place of the attribute must not block the open.
    fs::remove(Attribute("1-3", "devnum"));
    ASSERT_EQ(::mkfifo(Attribute("1-3", "devnum").c_str(), 0600), 0);
    EXPECT_FALSE(pipes_.ResolveNode("1-3", &node, &error));
    EXPECT_EQ(error, EIO);

    EXPECT_FALSE(pipes_.ResolveNode("../1-3", &node, &error));
    EXPECT_EQ(error, EINVAL);
    EXPECT_TRUE(usbfs_.OpenedNodes().empty());
}

TEST_F(UsbfsPipesTest, OpenClaimsTheBulkInterfaceAndCloseReleasesIt) {
    auto& device = AddDevice("1-3", 1, 5);
    int error = 0;
    const int out = pipes_.Open("1-3", IBulkPipes::kPipeOut, &error);
    ASSERT_GE(out, 0) << error;
    EXPECT_GE(usbfs_.With(Node(1, 5), [](auto& d) { return d.claimedBy; }), 0);
    const Bytes block = Pattern(31);
    EXPECT_EQ(pipes_.Write(out, block.data(), block.size(), &error), 31);
    pipes_.Close(out);
    EXPECT_EQ(usbfs_.OpenFileCount(), 0u);
    EXPECT_EQ(pipes_.OpenHandleCount(), 0u);
    EXPECT_EQ(usbfs_.With(Node(1, 5), [](auto& d) { return d.fromHost; }), block);

    device.toHost.push_back(Pattern(13));  // not yet claimed: set up before the open
    const int in = pipes_.Open("1-3", IBulkPipes::kPipeIn, &error);
    ASSERT_GE(in, 0) << error;
    uint8_t status[13] = {};
    EXPECT_EQ(pipes_.Read(in, status, sizeof status, &error), 13);
    EXPECT_EQ(Bytes(status, status + 13), Pattern(13));
    pipes_.Close(in);

    const std::vector<std::string> expected = {"getdriver", "claim 0", "release 0", "close",
                                               "getdriver", "claim 0", "release 0", "close"};
    EXPECT_EQ(usbfs_.Calls(), expected);
}

TEST_F(UsbfsPipesTest, EveryOpenResolvesThePortAfresh) {
    AddDevice("1-3", 1, 5);
    int error = 0;
    int h = pipes_.Open("1-3", IBulkPipes::kPipeDevice, &error);
    ASSERT_GE(h, 0);
    pipes_.Close(h);
    // The device re-enumerated at the same port (after a reset) and got a new address.
    usbfs_.Add(Node(1, 9), LoaderNodeBytes());
    WriteFile(Attribute("1-3", "devnum"), "9\n");
    h = pipes_.Open("1-3", IBulkPipes::kPipeDevice, &error);
    ASSERT_GE(h, 0);
    pipes_.Close(h);
    const std::vector<std::string> nodes = {Node(1, 5), Node(1, 9)};
    EXPECT_EQ(usbfs_.OpenedNodes(), nodes);
}

TEST_F(UsbfsPipesTest, ANodeThatChangedOwnerWhileOpeningIsRefused) {
    AddDevice("1-3", 1, 5);
    usbfs_.onOpen = [this](const std::string&) { WriteFile(Attribute("1-3", "devnum"), "6\n"); };
    int error = 0;
    EXPECT_EQ(pipes_.Open("1-3", IBulkPipes::kPipeIn, &error), IBulkPipes::kInvalidHandle);
    EXPECT_EQ(error, ENODEV);
    EXPECT_EQ(usbfs_.OpenFileCount(), 0u);
}

TEST_F(UsbfsPipesTest, OpenFailuresReportTheSystemErrorAndLeaveNothingOpen) {
    int error = 0;
    fs::create_directories(Sysfs() + "/devices");
    EXPECT_EQ(pipes_.Open("1-3", IBulkPipes::kPipeIn, &error), IBulkPipes::kInvalidHandle);
    EXPECT_EQ(error, ENOENT);  // nothing at that port

    AddDevice("1-3", 1, 5);
    EXPECT_EQ(pipes_.Open("1-3", 3, &error), IBulkPipes::kInvalidHandle);
    EXPECT_EQ(error, EINVAL);
    EXPECT_EQ(pipes_.Open("1-3", -1, &error), IBulkPipes::kInvalidHandle);
    EXPECT_EQ(pipes_.Open("1-3:1.0", IBulkPipes::kPipeIn, &error), IBulkPipes::kInvalidHandle);
    EXPECT_EQ(error, EINVAL);
    EXPECT_EQ(pipes_.Open(std::string(300, '1'), IBulkPipes::kPipeIn, &error),
              IBulkPipes::kInvalidHandle);
    EXPECT_EQ(error, EINVAL);

    // Unconfigured device.
    WriteFile(Attribute("1-3", "bConfigurationValue"), "\n");
    EXPECT_EQ(pipes_.Open("1-3", IBulkPipes::kPipeIn, &error), IBulkPipes::kInvalidHandle);
    EXPECT_EQ(error, ENODEV);

    // No interface with both bulk directions.
    WriteFile(Attribute("1-3", "bConfigurationValue"), "1\n");
    Bytes noPair = DeviceDescriptor(1);
    Append(noPair, Configuration().Interface(0, 0, 1).Endpoint(0x81).Finish());
    usbfs_.With(Node(1, 5), [&](auto& d) { d.descriptors = noPair; });
    EXPECT_EQ(pipes_.Open("1-3", IBulkPipes::kPipeIn, &error), IBulkPipes::kInvalidHandle);
    EXPECT_EQ(error, ENODEV);

    EXPECT_EQ(usbfs_.OpenFileCount(), 0u);
    EXPECT_EQ(pipes_.OpenHandleCount(), 0u);
}

TEST_F(UsbfsPipesTest, AKernelDriverIsDetachedBeforeTheClaim) {
    AddDevice("1-3", 1, 5).driver = "usb-storage";
    int error = 0;
    const int h = pipes_.Open("1-3", IBulkPipes::kPipeOut, &error);
    ASSERT_GE(h, 0) << error;
    pipes_.Close(h);
    const std::vector<std::string> expected = {"getdriver", "disconnect 0", "claim 0", "release 0",
                                               "close"};
    EXPECT_EQ(usbfs_.Calls(), expected);
}

TEST_F(UsbfsPipesTest, AnInterfaceHeldByAnotherHandleIsBusy) {
    AddDevice("1-3", 1, 5);
    int error = 0;
    const int first = pipes_.Open("1-3", IBulkPipes::kPipeOut, &error);
    ASSERT_GE(first, 0);
    EXPECT_EQ(pipes_.Open("1-3", IBulkPipes::kPipeIn, &error), IBulkPipes::kInvalidHandle);
    EXPECT_EQ(error, EBUSY);
    // The other usbfs user is not disconnected.
    EXPECT_EQ(usbfs_.With(Node(1, 5), [](auto& d) { return d.disconnects; }), 0);
    pipes_.Close(first);
    const int second = pipes_.Open("1-3", IBulkPipes::kPipeIn, &error);
    EXPECT_GE(second, 0);
    pipes_.Close(second);
    EXPECT_EQ(usbfs_.OpenFileCount(), 0u);
}

// Releasing an interface in a non-zero alternate setting makes the kernel select setting 0 again
// (endpoints reset), and the transport releases it between a command's phases: such a device is
// refused, with a line that says why, and nothing is left claimed.
TEST_F(UsbfsPipesTest, UsesTheActiveConfigurationAndRefusesANonZeroAlternateSetting) {
    Bytes node = DeviceDescriptor(2);
    Append(node, LoaderConfiguration(1));
    Append(node, Configuration(2)
                     .Interface(0, 0, 1)
                     .Endpoint(0x84, kInterrupt, 8)
                     .Interface(1, 0, 0)
                     .Interface(1, 1, 2)
                     .Endpoint(0x83)
                     .Endpoint(0x03)
                     .Finish());
    auto& device = AddDevice("1-3", 1, 5, node, "2\n");
    device.toHost.push_back(Pattern(13));
    test_log::LineLog log;
    UsbfsPipes pipes(Sysfs(), DevRoot(), &log, usbfs_, clock_);
    int error = 0;
    EXPECT_EQ(pipes.Open("1-3", IBulkPipes::kPipeIn, &error), IBulkPipes::kInvalidHandle);
    EXPECT_EQ(error, ENODEV);
    const std::vector<std::string> expected = {"close"};
    EXPECT_EQ(usbfs_.Calls(), expected);
    EXPECT_TRUE(log.Contains("alternate setting 1 of interface 1; refused"));
    EXPECT_EQ(pipes.OpenHandleCount(), 0u);

    // The same device in configuration 1 (a bulk pair in setting 0) opens.
    WriteFile(Attribute("1-3", "bConfigurationValue"), "1\n");
    const int h = pipes.Open("1-3", IBulkPipes::kPipeIn, &error);
    ASSERT_GE(h, 0) << error;
    uint8_t status[13];
    EXPECT_EQ(pipes.Read(h, status, sizeof status, &error), 13);
    pipes.Close(h);
}

// Where the kernel has it, a bound driver is detached and the interface claimed in one call, so
// the driver cannot bind again in between; another usbfs user is still never detached.
TEST_F(UsbfsPipesTest, DetachAndClaimIsOneCallWhereTheKernelHasIt) {
    usbfs_.hasDisconnectClaim = true;
    AddDevice("1-3", 1, 5).driver = "usb-storage";
    test_log::LineLog log;
    UsbfsPipes pipes(Sysfs(), DevRoot(), &log, usbfs_, clock_);
    int error = 0;
    const int first = pipes.Open("1-3", IBulkPipes::kPipeOut, &error);
    ASSERT_GE(first, 0) << error;
    EXPECT_TRUE(log.Contains("detached driver usb-storage from interface 0 of 1-3"));
    EXPECT_EQ(pipes.Open("1-3", IBulkPipes::kPipeIn, &error), IBulkPipes::kInvalidHandle);
    EXPECT_EQ(error, EBUSY);
    pipes.Close(first);
    const std::vector<std::string> expected = {
        "getdriver", "disconnect-claim 0", "getdriver", "disconnect-claim 0",
        "close",     "release 0",          "close"};
    EXPECT_EQ(usbfs_.Calls(), expected);
    EXPECT_EQ(usbfs_.With(Node(1, 5), [](auto& d) { return d.disconnects; }), 1);
}

// The kernel's uevent comes before udev has made the node accessible to the operator: a board
// that has just arrived and is refused is tried again for a bounded time; one that has been there
// a long time is refused at once.
TEST_F(UsbfsPipesTest, ANodeNotYetOpenedUpByUdevIsTriedAgainForABoundedTime) {
    AddDevice("1-3", 1, 5).openRefusals = 4;
    fs::create_directories(Sysfs() + "/bus/usb/devices/1-3/power");
    WriteFile(Attribute("1-3", "power/connected_duration"), "120\n");
    int error = 0;
    const uint64_t start = clock_.NowMs();
    const int h = pipes_.Open("1-3", IBulkPipes::kPipeOut, &error);
    ASSERT_GE(h, 0) << error;
    pipes_.Close(h);
    EXPECT_EQ(usbfs_.OpenedNodes().size(), 5u);
    EXPECT_EQ(clock_.NowMs() - start, 4u * UsbfsTransferPolicy{}.permissionPollMs);

    // Still refused when the bound runs out: EACCES, as without the rule.
    usbfs_.With(Node(1, 5), [](auto& d) { d.openRefusals = 1000; });
    EXPECT_EQ(pipes_.Open("1-3", IBulkPipes::kPipeOut, &error), IBulkPipes::kInvalidHandle);
    EXPECT_EQ(error, EACCES);
    EXPECT_LE(
        usbfs_.OpenedNodes().size(),
        5u + 1u + UsbfsTransferPolicy{}.permissionWaitMs / UsbfsTransferPolicy{}.permissionPollMs);

    // Connected for a minute: the rule is missing, not late.
    WriteFile(Attribute("1-3", "power/connected_duration"), "60000\n");
    const size_t before = usbfs_.OpenedNodes().size();
    EXPECT_EQ(pipes_.Open("1-3", IBulkPipes::kPipeOut, &error), IBulkPipes::kInvalidHandle);
    EXPECT_EQ(error, EACCES);
    EXPECT_EQ(usbfs_.OpenedNodes().size(), before + 1);
}

TEST_F(UsbfsPipesTest, TransfersNeedAnOpenHandleOfTheRightDirection) {
    AddDevice("1-3", 1, 5);
    int error = 0;
    const int out = pipes_.Open("1-3", IBulkPipes::kPipeOut, &error);
    ASSERT_GE(out, 0);
    uint8_t buffer[13] = {};
    EXPECT_EQ(pipes_.Read(out, buffer, sizeof buffer, &error), -1);
    EXPECT_EQ(error, EBADF);
    pipes_.Close(out);
    EXPECT_EQ(pipes_.Write(out, buffer, sizeof buffer, &error), -1);
    EXPECT_EQ(error, EBADF);
    EXPECT_EQ(pipes_.Write(12345, buffer, sizeof buffer, &error), -1);
    pipes_.Close(12345);  // unknown handles are ignored
    const int device = pipes_.Open("1-3", IBulkPipes::kPipeDevice, &error);
    ASSERT_GE(device, 0);
    EXPECT_EQ(pipes_.Write(device, buffer, sizeof buffer, &error), -1);
    EXPECT_EQ(error, EBADF);
    pipes_.Close(device);
}

TEST_F(UsbfsPipesTest, AShortPacketEndsAReadWithTheCountSoFar) {
    auto& device = AddDevice("1-3", 1, 5);
    device.toHost.push_back(Pattern(1000));
    int error = 0;
    const int in = pipes_.Open("1-3", IBulkPipes::kPipeIn, &error);
    ASSERT_GE(in, 0);
    Bytes buffer(4096);
    EXPECT_EQ(pipes_.Read(in, buffer.data(), buffer.size(), &error), 1000);
    EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + 1000), Pattern(1000));
    pipes_.Close(in);
}

TEST_F(UsbfsPipesTest, AnUnansweredReadFailsWithTheTimeOut) {
    AddDevice("1-3", 1, 5);
    int error = 0;
    const int in = pipes_.Open("1-3", IBulkPipes::kPipeIn, &error);
    ASSERT_GE(in, 0);
    uint8_t status[13];
    EXPECT_EQ(pipes_.Read(in, status, sizeof status, &error), -1);
    EXPECT_EQ(error, ETIMEDOUT);
    EXPECT_EQ(usbfs_.With(Node(1, 5), [](auto& d) { return d.requestTimeouts; }),
              std::vector<unsigned>{5000});
    pipes_.Close(in);
}

TEST_F(UsbfsPipesTest, ABigSectorWriteIsSplitWhenUsbfsRefusesItWhole) {
    auto& device = AddDevice("1-3", 1, 5);
    device.maxRequest = 64 * 1024;  // usbfs memory limit reached above this
    int error = 0;
    const int out = pipes_.Open("1-3", IBulkPipes::kPipeOut, &error);
    ASSERT_GE(out, 0);
    const Bytes data = Pattern(65535 * 512);  // the largest sector transfer
    EXPECT_EQ(pipes_.Write(out, data.data(), data.size(), &error), static_cast<long>(data.size()));
    pipes_.Close(out);
    const auto sizes = usbfs_.With(Node(1, 5), [](auto& d) { return d.requestSizes; });
    size_t accepted = 0;
    for (size_t i = 0; i < sizes.size(); ++i) {
        EXPECT_TRUE(sizes[i] % 512 == 0 || i + 1 == sizes.size()) << sizes[i];
        if (sizes[i] <= 64 * 1024) {
            accepted += sizes[i];
        }
    }
    EXPECT_EQ(accepted, data.size());
    EXPECT_TRUE(usbfs_.With(Node(1, 5), [&](auto& d) { return d.fromHost == data; }));
}

TEST_F(UsbfsPipesTest, ABigReadArrivesInOrderAcrossRequests) {
    auto& device = AddDevice("1-3", 1, 5);
    const Bytes data = Pattern(3 * 1024 * 1024 + 512);
    device.toHost.push_back(data);
    int error = 0;
    const int in = pipes_.Open("1-3", IBulkPipes::kPipeIn, &error);
    ASSERT_GE(in, 0);
    Bytes buffer(data.size());
    EXPECT_EQ(pipes_.Read(in, buffer.data(), buffer.size(), &error),
              static_cast<long>(data.size()));
    EXPECT_EQ(buffer, data);
    pipes_.Close(in);
}

TEST_F(UsbfsPipesTest, ResetPipeClearsTheHaltOfTheChosenEndpointsOnTheOpenHandle) {
    AddDevice("1-3", 1, 5);
    int error = 0;
    const int device = pipes_.Open("1-3", IBulkPipes::kPipeDevice, &error);
    ASSERT_GE(device, 0);
    EXPECT_EQ(usbfs_.OpenFileCount(), 1u);
    EXPECT_TRUE(pipes_.ResetPipe(device, 2, &error));
    EXPECT_EQ(usbfs_.With(Node(1, 5), [](auto& d) { return d.clearedHalts; }),
              (std::vector<unsigned>{0x81, 0x02}));
    EXPECT_TRUE(pipes_.ResetPipe(device, 0, &error));
    EXPECT_TRUE(pipes_.ResetPipe(device, 1, &error));
    EXPECT_EQ(usbfs_.With(Node(1, 5), [](auto& d) { return d.clearedHalts; }),
              (std::vector<unsigned>{0x81, 0x02, 0x81, 0x02}));
    // Nothing was opened or claimed again for the resets.
    EXPECT_EQ(usbfs_.OpenFileCount(), 1u);
    EXPECT_FALSE(pipes_.ResetPipe(device, 3, &error));
    EXPECT_EQ(error, EINVAL);
    pipes_.Close(device);
    EXPECT_EQ(usbfs_.OpenFileCount(), 0u);
    EXPECT_EQ(pipes_.OpenHandleCount(), 0u);
    EXPECT_FALSE(pipes_.ResetPipe(device, 2, &error));
    EXPECT_EQ(error, EBADF);
}

// Through the real system calls: a regular file stands in for the node. Its descriptors are
// read, but the claim fails (a file takes no usbfs requests) and nothing stays open.
TEST_F(UsbfsPipesTest, RealSystemCallsOnAFileThatIsNoUsbfsNode) {
    AddPort("1-3", 1, 5);
    const Bytes bytes = LoaderNodeBytes();
    WriteFile(Node(1, 5), std::string(bytes.begin(), bytes.end()));
    UsbfsPipes real(Sysfs(), DevRoot());
    int error = 0;
    EXPECT_EQ(real.Open("1-3", IBulkPipes::kPipeIn, &error), IBulkPipes::kInvalidHandle);
    EXPECT_EQ(error, ENOTTY);
    EXPECT_EQ(real.OpenHandleCount(), 0u);
}

TEST_F(UsbfsPipesTest, WorkersOnSeparateDevicesRunConcurrently) {
    constexpr int kWorkers = 6;
    constexpr int kRounds = 40;
    for (int w = 0; w < kWorkers; ++w) {
        auto& device = AddDevice("1-" + std::to_string(w + 1), 1, static_cast<unsigned>(w + 2));
        for (int r = 0; r < kRounds; ++r) {
            device.toHost.push_back(Pattern(13));
        }
    }
    std::atomic<int> failures{0};
    std::vector<std::thread> workers;
    for (int w = 0; w < kWorkers; ++w) {
        workers.emplace_back([&, w] {
            const std::string port = "1-" + std::to_string(w + 1);
            for (int r = 0; r < kRounds; ++r) {
                int error = 0;
                const int out = pipes_.Open(port, IBulkPipes::kPipeOut, &error);
                const Bytes block = Pattern(31);
                if (out < 0 || pipes_.Write(out, block.data(), 31, &error) != 31) {
                    ++failures;
                }
                pipes_.Close(out);
                const int in = pipes_.Open(port, IBulkPipes::kPipeIn, &error);
                uint8_t status[13];
                if (in < 0 || pipes_.Read(in, status, 13, &error) != 13) {
                    ++failures;
                }
                pipes_.Close(in);
            }
        });
    }
    for (auto& t : workers) {
        t.join();
    }
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(pipes_.OpenHandleCount(), 0u);
    EXPECT_EQ(usbfs_.OpenFileCount(), 0u);
    for (int w = 0; w < kWorkers; ++w) {
        EXPECT_EQ(usbfs_.With(Node(1, static_cast<unsigned>(w + 2)),
                              [](auto& d) { return d.fromHost.size(); }),
                  static_cast<size_t>(31 * kRounds));
    }
}

TEST_F(UsbfsPipesTest, CloseDuringATransferKeepsTheFileUntilTheTransferEnds) {
    AddDevice("1-3", 1, 5);
    int error = 0;
    const int out = pipes_.Open("1-3", IBulkPipes::kPipeOut, &error);
    ASSERT_GE(out, 0);
    std::atomic<bool> closed{false};
    std::thread closer;
    // The transfer's request closes the handle from another thread mid-transfer.
    const Bytes data = Pattern(1024 * 1024);
    usbfs_.With(Node(1, 5), [](auto& d) { d.maxRequest = 16 * 1024; });
    closer = std::thread([&] {
        while (usbfs_.With(Node(1, 5), [](auto& d) { return d.fromHost.size(); }) == 0) {
            std::this_thread::yield();
        }
        pipes_.Close(out);
        closed = true;
    });
    const long n = pipes_.Write(out, data.data(), data.size(), &error);
    closer.join();
    EXPECT_TRUE(closed.load());
    EXPECT_EQ(n, static_cast<long>(data.size()));
    const auto calls = usbfs_.Calls();
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "closed while claimed"), 0);
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "close of a file not open"), 0);
    EXPECT_EQ(usbfs_.OpenFileCount(), 0u);
}

// The splitting and time budget, on their own.
TEST(ChunkedTransfer, RequestsAreWholePacketsAndShrinkWhenRefused) {
    FakeClock clock;
    UsbfsTransferPolicy policy;
    policy.maxChunkBytes = 100 * 1024;  // not a multiple of 1024: rounded down
    std::vector<size_t> sizes;
    size_t limit = 30 * 1024;
    const usbfs::BulkRequest request = [&](uint8_t*, size_t size, uint32_t) -> long {
        sizes.push_back(size);
        return size > limit ? -ENOMEM : static_cast<long>(size);
    };
    Bytes data(200 * 1024 + 100);
    int error = 0;
    EXPECT_EQ(
        usbfs::RunChunkedTransfer(request, data.data(), data.size(), 1024, policy, clock, &error),
        static_cast<long>(data.size()));
    ASSERT_GE(sizes.size(), 3u);
    EXPECT_EQ(sizes[0], 100u * 1024);
    EXPECT_EQ(sizes[1], 50u * 1024);
    EXPECT_EQ(sizes[2], 25u * 1024);
    for (size_t i = 0; i + 1 < sizes.size(); ++i) {
        EXPECT_EQ(sizes[i] % 1024, 0u) << i;
    }
    EXPECT_EQ(sizes.back(), 100u);  // the rest

    // Below the smallest request size a refusal is final.
    sizes.clear();
    limit = 1024;
    EXPECT_EQ(
        usbfs::RunChunkedTransfer(request, data.data(), data.size(), 512, policy, clock, &error),
        -1);
    EXPECT_EQ(error, ENOMEM);
    EXPECT_EQ(sizes.back(), 16u * 1024);
}

TEST(ChunkedTransfer, ErrorsOtherThanRefusalFailAtOnce) {
    FakeClock clock;
    int calls = 0;
    const usbfs::BulkRequest request = [&](uint8_t*, size_t size, uint32_t) -> long {
        return ++calls == 2 ? -EPIPE : static_cast<long>(size);
    };
    Bytes data(1024 * 1024);
    int error = 0;
    EXPECT_EQ(usbfs::RunChunkedTransfer(request, data.data(), data.size(), 512, {}, clock, &error),
              -1);
    EXPECT_EQ(error, EPIPE);
    EXPECT_EQ(calls, 2);
}

TEST(ChunkedTransfer, TheWholeTransferHasATimeBudgetAndNoRequestWaitsForever) {
    FakeClock clock;
    UsbfsTransferPolicy policy;  // 5000 ms + 1000 ms per MiB
    std::vector<uint32_t> timeouts;
    // A device that trickles: every request takes 900 ms of the clock.
    const usbfs::BulkRequest request = [&](uint8_t*, size_t size, uint32_t timeoutMs) -> long {
        timeouts.push_back(timeoutMs);
        clock.now += 900;
        return static_cast<long>(size);
    };
    Bytes data(4 * 1024 * 1024);  // budget 9000 ms, 16 requests needed
    int error = 0;
    EXPECT_EQ(
        usbfs::RunChunkedTransfer(request, data.data(), data.size(), 512, policy, clock, &error),
        -1);
    EXPECT_EQ(error, ETIMEDOUT);
    ASSERT_EQ(timeouts.size(), 10u);
    EXPECT_EQ(timeouts.front(), 5000u);
    EXPECT_EQ(timeouts.back(), 9000u - 9 * 900);
    for (uint32_t t : timeouts) {
        EXPECT_GE(t, 1u);  // 0 would mean "no time-out" to usbfs
    }
}

TEST(ChunkedTransfer, ZeroBytesMoveNothingAndBadArgumentsAreRefused) {
    FakeClock clock;
    int calls = 0;
    const usbfs::BulkRequest request = [&](uint8_t*, size_t size, uint32_t) -> long {
        ++calls;
        return static_cast<long>(size);
    };
    uint8_t byte = 0;
    int error = 0;
    EXPECT_EQ(usbfs::RunChunkedTransfer(request, &byte, 0, 512, {}, clock, &error), 0);
    EXPECT_EQ(usbfs::RunChunkedTransfer(request, nullptr, 10, 512, {}, clock, &error), -1);
    EXPECT_EQ(error, EINVAL);
    EXPECT_EQ(usbfs::RunChunkedTransfer(request, &byte, 1, 0, {}, clock, &error), -1);
    EXPECT_EQ(calls, 0);
    // A request reporting more than it was asked for is an error, not a count.
    const usbfs::BulkRequest liar = [](uint8_t*, size_t size, uint32_t) -> long {
        return static_cast<long>(size) + 1;
    };
    EXPECT_EQ(usbfs::RunChunkedTransfer(liar, &byte, 1, 512, {}, clock, &error), -1);
    EXPECT_EQ(error, EIO);
}

namespace {

// The pipes' contract (tests/contract/PipeContract.h) over scripted usbfs calls: one device at
// port 1-3, its answers queued, a halt as the EPIPE usbfs gives for a stalled endpoint, a device
// gone as ENODEV on every request.
class UsbfsRig final : public pipecontract::Rig {
  public:
    UsbfsRig() {
        const std::string port = Sysfs() + "/devices/pci0000:00/usb1/1-3";
        fs::create_directories(port);
        fs::create_directories(Sysfs() + "/bus/usb/devices");
        fs::create_directory_symlink("../../../devices/pci0000:00/usb1/1-3",
                                     Sysfs() + "/bus/usb/devices/1-3");
        WriteFile(port + "/busnum", "1\n");
        WriteFile(port + "/devnum", "5\n");
        WriteFile(port + "/bConfigurationValue", "1\n");
        usbfs_.Add(Node(), LoaderNodeBytes());
    }
    IBulkPipes& Pipes() override { return pipes_; }
    std::string Path() override { return "1-3"; }
    void Answer(size_t size) override {
        usbfs_.With(Node(), [size](auto& d) { d.toHost.emplace_back(size, 0xA5); });
    }
    void Silent() override {}  // nothing queued: the request runs into its time-out
    void Halt(int) override {
        usbfs_.With(Node(), [](auto& d) { d.failNextBulk = EPIPE; });
    }
    void Unplug() override {
        usbfs_.With(Node(), [](auto& d) { d.gone = true; });
    }
    std::vector<std::string> TakeClears() override {
        const std::vector<unsigned> cleared =
            usbfs_.With(Node(), [](auto& d) { return d.clearedHalts; });
        std::vector<std::string> clears;
        for (; seen_ < cleared.size(); ++seen_) {
            clears.push_back((cleared[seen_] & 0x80) != 0 ? "in" : "out");
        }
        return clears;
    }

  private:
    std::string Sysfs() const { return temp_.File("sys"); }
    std::string Node() const { return temp_.File("dev/bus/usb/001/005"); }

    TempDir temp_;
    FakeUsbfs usbfs_;
    FakeClock clock_;
    UsbfsPipes pipes_{Sysfs(), temp_.File("dev/bus/usb"), nullptr, usbfs_, clock_};
    size_t seen_ = 0;
};

TEST(UsbfsPipesContract, KeepTheContractOfEveryPipesImplementation) {
    const int ran = pipecontract::RunAll([] { return std::make_unique<UsbfsRig>(); });
    EXPECT_EQ(ran, static_cast<int>(pipecontract::Cases().size()));
}

}  // namespace
