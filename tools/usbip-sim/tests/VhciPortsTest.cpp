// VhciPorts against a fake sysfs tree laid out like vhci_hcd.0's.
#include "tools/usbip-sim/VhciPorts.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace fs = std::filesystem;

namespace {

class VhciPortsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        root_ = fs::temp_directory_path() /
                ("vhci-test-" + std::to_string(::getpid()) + "-" +
                 ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(root_);
        ctl_ = root_ / "devices/platform/vhci_hcd.0";
        fs::create_directories(ctl_ / "usb3");
        fs::create_directories(ctl_ / "usb4");
        fs::create_directories(root_ / "bus/usb/devices");
        Write(ctl_ / "nports", "30\n");
        Write(ctl_ / "usb3/speed", "480\n");
        Write(ctl_ / "usb3/busnum", "3\n");
        Write(ctl_ / "usb3/maxchild", "15\n");
        Write(ctl_ / "usb4/speed", "5000\n");
        Write(ctl_ / "usb4/busnum", "4\n");
        Write(ctl_ / "usb4/maxchild", "15\n");
        Write(ctl_ / "attach", "");
        Write(ctl_ / "detach", "");
    }
    void TearDown() override { fs::remove_all(root_); }

    static void Write(const fs::path& p, const std::string& text) {
        std::ofstream f(p, std::ios::trunc);
        f << text;
    }
    static std::string Read(const fs::path& p) {
        std::ifstream f(p);
        std::stringstream s;
        s << f.rdbuf();
        return s.str();
    }

    fs::path root_;
    fs::path ctl_;
};

TEST_F(VhciPortsTest, HighSpeedHubGivesTheBusAndPortNames) {
    VhciPorts ports(root_.string());
    std::string error;
    ASSERT_TRUE(ports.Probe(&error)) << error;
    EXPECT_EQ(ports.HighSpeedBus(), 3u);
    EXPECT_EQ(ports.PortsPerHub(), 15u);
    EXPECT_EQ(ports.SysfsName(0), "3-1");
    EXPECT_EQ(ports.SysfsName(14), "3-15");
}

TEST_F(VhciPortsTest, AttachAndDetachWriteTheKernelsFormat) {
    VhciPorts ports(root_.string());
    std::string error;
    ASSERT_TRUE(ports.Probe(&error)) << error;
    ASSERT_TRUE(ports.Attach(2, 7, 0x30001, &error)) << error;
    EXPECT_EQ(Read(ctl_ / "attach"), "2 7 196609 3");
    ASSERT_TRUE(ports.Detach(2, &error)) << error;
    EXPECT_EQ(Read(ctl_ / "detach"), "2");
    EXPECT_FALSE(ports.Attach(15, 7, 1, &error));  // beyond the high-speed hub
}

TEST_F(VhciPortsTest, MissingControllerIsReported) {
    fs::remove_all(root_ / "devices");
    VhciPorts ports(root_.string());
    std::string error;
    EXPECT_FALSE(ports.Probe(&error));
    EXPECT_NE(error.find("vhci"), std::string::npos);
}

TEST_F(VhciPortsTest, WaitsFollowTheDeviceEntry) {
    VhciPorts ports(root_.string());
    std::string error;
    ASSERT_TRUE(ports.Probe(&error)) << error;
    const fs::path dev = root_ / "bus/usb/devices/3-2";
    fs::create_directories(dev);
    Write(dev / "bConfigurationValue", "\n");
    EXPECT_TRUE(ports.DevicePresent("3-2"));
    EXPECT_FALSE(ports.WaitConfigured("3-2", 30));
    Write(dev / "bConfigurationValue", "1\n");
    EXPECT_TRUE(ports.WaitConfigured("3-2", 30));
    EXPECT_FALSE(ports.WaitGone("3-2", 30));
    std::thread remover([&]() {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        fs::remove_all(dev);
    });
    EXPECT_TRUE(ports.WaitGone("3-2", 2000));
    remover.join();
}

}  // namespace
