// The sysfs USB tree on fixture trees laid out like /sys (tests/fixtures/sysfs/basic, made by
// make_fixtures.py there): what the walk finds, and that hostile content is not followed.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <initializer_list>
#include <string>
#include <vector>

#include "device/ZRScan.h"
#include "platform/linux/SysfsUsbTree.h"
#include "tests/discovery/DiscoveryTestSupport.h"
#include "tests/support/TempDir.h"

using namespace discovery_test;

namespace {

const std::string kFixture = std::string(KS_SOURCE_DIR) + "/tests/fixtures/sysfs/basic";

// A scratch copy of folders of tests/fixtures/sysfs (links kept as links), for a test that
// changes the tree; removed at the end.
class FixtureCopy {
  public:
    explicit FixtureCopy(std::initializer_list<const char*> folders) {
        const std::filesystem::path source =
            std::filesystem::path(KS_SOURCE_DIR) / "tests/fixtures/sysfs";
        for (const char* folder : folders) {
            std::filesystem::copy(source / folder, Root() / folder,
                                  std::filesystem::copy_options::recursive |
                                      std::filesystem::copy_options::copy_symlinks);
        }
    }
    std::filesystem::path Root() const { return std::filesystem::path(temp_.Path()); }

  private:
    TempDir temp_;
};

class SysfsTest : public ::testing::Test {
  protected:
    SysfsTest() : tables_(TestTables()) {}

    std::vector<ZRDeviceDesc> Found(ZRScan& scan, uint32_t mask) { return SearchAll(scan, mask); }

    SysfsUsbTree tree_{kFixture};
    DeviceTables tables_;
    VirtualClock clock_;
    RecordingLog log_;
};

TEST_F(SysfsTest, WalkFindsTheBoardsBehindTheHubAndTheMassStorageInterface) {
    ZRScan scan(30, 30, 0, tree_, tables_, clock_, &log_);
    scan.LoadDeviceTables();
    const auto found = Found(scan, 0x3F);
    ASSERT_EQ(found.size(), 3U);

    EXPECT_EQ(found[0].location, "2-1-1");
    EXPECT_EQ(found[0].path, "2-1.1");
    EXPECT_EQ(found[0].kind, static_cast<uint32_t>(DEVICE_KIND_LOADER));
    EXPECT_EQ(found[0].chipCode, 16);
    EXPECT_EQ(found[0].vendorId, 0xF00D);
    EXPECT_EQ(found[0].productId, 0x1001);
    EXPECT_EQ(found[0].bcdUsb, 0x0201);
    EXPECT_EQ(found[0].serialIndex, 3);
    EXPECT_EQ(found[0].controllerFlag, 1U);

    EXPECT_EQ(found[1].location, "2-1-2");
    EXPECT_EQ(found[1].kind, static_cast<uint32_t>(DEVICE_KIND_ROM));
    EXPECT_EQ(found[1].chipCode, 48);

    EXPECT_EQ(found[2].location, "2-3");
    EXPECT_EQ(found[2].kind, static_cast<uint32_t>(DEVICE_KIND_MSC));
    EXPECT_EQ(found[2].path, "2-3:1.0");
    EXPECT_EQ(found[2].serialIndex, 0);

    // Not found: 1-1 (full-speed root hub), 2-1.3 (attribute link), 2-1.4 (unconfigured),
    // 2-2.1 (behind an unconfigured hub), 2-4 (short descriptors), 2-5 and usb9 (outside the
    // root), 2-6 (a link to another device's folder).
    EXPECT_TRUE(log_.Has("Error:EnumerateHostController-->CreateFile failed,err=0xd"));  // usb9
}

TEST_F(SysfsTest, LoaderSearchAndScanAllWalkTheFullSpeedRootHubToo) {
    ZRScan scan(30, 30, 0, tree_, tables_, clock_);
    auto found = Found(scan, DEVICE_KIND_LOADER);
    ASSERT_EQ(found.size(), 1U);
    EXPECT_EQ(found[0].location, "2-1-1");

    ZRScan all(30, 30, 1, tree_, tables_, clock_);
    found = Found(all, DEVICE_KIND_LOADER);
    ASSERT_EQ(found.size(), 2U);
    EXPECT_EQ(found[0].location, "1-1");
    EXPECT_EQ(found[0].controllerFlag, 0U);
    EXPECT_EQ(found[0].chipCode, 0x350A);
}

TEST_F(SysfsTest, ControllersAreRootHubsInBusOrderNamedByTheirUsbVersion) {
    std::vector<UsbHostControllerEntry> controllers;
    ASSERT_EQ(tree_.ListHostControllers(&controllers, nullptr), UsbTreeStatus::kOk);
    ASSERT_EQ(controllers.size(), 3U);
    EXPECT_EQ(controllers[0].path, "usb1");
    EXPECT_EQ(controllers[0].number, 1U);
    EXPECT_EQ(controllers[1].path, "usb2");
    EXPECT_EQ(controllers[2].number, 9U);

    std::string name;
    ASSERT_EQ(tree_.GetRootHubName("usb1", &name, nullptr), UsbTreeStatus::kOk);
    EXPECT_EQ(name, "USB#ROOT_HUB#usb1");
    ASSERT_EQ(tree_.GetRootHubName("usb2", &name, nullptr), UsbTreeStatus::kOk);
    EXPECT_EQ(name, "usb2");
    int ports = 0;
    ASSERT_EQ(tree_.GetHubPortCount("USB#ROOT_HUB#usb1", &ports, nullptr), UsbTreeStatus::kOk);
    EXPECT_EQ(ports, 2);
    ASSERT_EQ(tree_.GetHubPortCount("2-1", &ports, nullptr), UsbTreeStatus::kOk);
    EXPECT_EQ(ports, 4);
}

TEST_F(SysfsTest, PortConnectionCarriesTheRawDescriptorAndTheConfigurationState) {
    UsbPortConnection info;
    ASSERT_EQ(tree_.GetPortConnection("2-1", 1, &info, nullptr), UsbTreeStatus::kOk);
    EXPECT_TRUE(info.connected);
    EXPECT_FALSE(info.isHub);
    EXPECT_EQ(info.currentConfiguration, 1);
    EXPECT_EQ(info.VendorId(), 0xF00D);
    EXPECT_EQ(info.ProductId(), 0x1001);

    ASSERT_EQ(tree_.GetPortConnection("usb2", 1, &info, nullptr), UsbTreeStatus::kOk);
    EXPECT_TRUE(info.isHub);
    ASSERT_EQ(tree_.GetPortConnection("usb2", 2, &info, nullptr), UsbTreeStatus::kOk);
    EXPECT_TRUE(info.isHub);
    EXPECT_EQ(info.currentConfiguration, 0);  // empty bConfigurationValue
    ASSERT_EQ(tree_.GetPortConnection("2-1", 3, &info, nullptr), UsbTreeStatus::kOk);
    EXPECT_TRUE(info.connected);
    ASSERT_EQ(tree_.GetPortConnection("2-1", 4, &info, nullptr), UsbTreeStatus::kOk);
    EXPECT_EQ(info.currentConfiguration, 0);
    ASSERT_EQ(tree_.GetPortConnection("usb1", 2, &info, nullptr), UsbTreeStatus::kOk);
    EXPECT_FALSE(info.connected);  // empty port
}

TEST_F(SysfsTest, DeviceIdsCompatibleIdsAndInterfacesFollowTheDeviceFolders) {
    const uint32_t storage = tree_.FindDevnodeByDriverKey("2-3");
    ASSERT_NE(storage, 0U);
    EXPECT_EQ(tree_.FindDevnodeByDriverKey("2-3"), storage);  // stable
    std::string id;
    ASSERT_EQ(tree_.GetDeviceId(storage, &id, nullptr), UsbTreeStatus::kOk);
    EXPECT_EQ(id, "USB\\VID_F00D&PID_0000\\2-3");
    std::vector<std::string> compatible;
    ASSERT_EQ(tree_.GetCompatibleIds(storage, &compatible, nullptr), UsbTreeStatus::kOk);
    EXPECT_EQ(compatible.back(), "USB\\COMPOSITE");

    uint32_t first = 0;
    uint32_t second = 0;
    ASSERT_EQ(tree_.GetFirstChild(storage, &first, nullptr), UsbTreeStatus::kOk);
    ASSERT_EQ(tree_.GetNextSibling(first, &second, nullptr), UsbTreeStatus::kOk);
    EXPECT_EQ(tree_.DevicePath(first, DEVICE_KIND_MSC), "2-3:1.0");
    EXPECT_EQ(tree_.DevicePath(second, DEVICE_KIND_ADB), "2-3:1.1");
    ASSERT_EQ(tree_.GetDeviceId(second, &id, nullptr), UsbTreeStatus::kOk);
    EXPECT_EQ(id, "USB\\VID_F00D&PID_0000&MI_01\\2-3:1.1");
    ASSERT_EQ(tree_.GetCompatibleIds(second, &compatible, nullptr), UsbTreeStatus::kOk);
    EXPECT_EQ(compatible.front(), "USB\\Class_FF&SubClass_00&Prot_00");
    uint32_t none = 0;
    int err = 0;
    EXPECT_EQ(tree_.GetNextSibling(second, &none, &err), UsbTreeStatus::kRequestFailed);
    EXPECT_EQ(err, ENOENT);

    const uint32_t loader = tree_.FindDevnodeByDriverKey("2-1.1");
    ASSERT_EQ(tree_.GetCompatibleIds(loader, &compatible, nullptr), UsbTreeStatus::kOk);
    for (const std::string& c : compatible) {
        EXPECT_EQ(c.find("COMPOSITE"), std::string::npos);
    }
}

TEST_F(SysfsTest, ShortDescriptorsFileFailsThePortQuery) {
    UsbPortConnection info;
    int err = 0;
    EXPECT_EQ(tree_.GetPortConnection("usb2", 4, &info, &err), UsbTreeStatus::kRequestFailed);
    EXPECT_EQ(err, EIO);
    EXPECT_FALSE(info.connected);
}

TEST_F(SysfsTest, LinksLeavingTheRootOrNamingAnotherFolderAreNotFollowed) {
    UsbPortConnection info;
    int err = 0;
    EXPECT_EQ(tree_.GetPortConnection("usb2", 5, &info, &err), UsbTreeStatus::kRequestFailed);
    EXPECT_EQ(err, EACCES);
    EXPECT_EQ(tree_.GetPortConnection("usb2", 6, &info, &err), UsbTreeStatus::kRequestFailed);
    EXPECT_EQ(err, EACCES);
    EXPECT_EQ(tree_.FindDevnodeByDriverKey("2-5"), 0U);
    std::string name;
    EXPECT_EQ(tree_.GetRootHubName("usb9", &name, &err), UsbTreeStatus::kOpenFailed);
    EXPECT_EQ(err, EACCES);
}

TEST_F(SysfsTest, AnAttributeFileThatIsALinkIsNotRead) {
    const uint32_t devnode = tree_.FindDevnodeByDriverKey("2-1.3");
    ASSERT_NE(devnode, 0U);
    std::string id;
    int err = 0;
    EXPECT_EQ(tree_.GetDeviceId(devnode, &id, &err), UsbTreeStatus::kRequestFailed);
    EXPECT_EQ(err, ELOOP);  // O_NOFOLLOW
}

TEST_F(SysfsTest, MalformedNamesAreRefusedBeforeAnyFileIsTouched) {
    int ports = 0;
    int err = 0;
    EXPECT_EQ(tree_.GetHubPortCount("../../etc", &ports, &err), UsbTreeStatus::kOpenFailed);
    EXPECT_EQ(err, EINVAL);
    EXPECT_EQ(tree_.FindDevnodeByDriverKey("../../etc"), 0U);
    EXPECT_EQ(tree_.FindDevnodeByDriverKey("2-1/../2-3"), 0U);
    std::string name;
    EXPECT_EQ(tree_.GetRootHubName("usb1/..", &name, &err), UsbTreeStatus::kOpenFailed);
    UsbPortConnection info;
    EXPECT_EQ(tree_.GetPortConnection("usb2", 0, &info, &err), UsbTreeStatus::kRequestFailed);
    EXPECT_EQ(tree_.GetPortConnection("usb2", 256, &info, &err), UsbTreeStatus::kRequestFailed);
    std::string id;
    EXPECT_EQ(tree_.GetDeviceId(0, &id, &err), UsbTreeStatus::kRequestFailed);
    EXPECT_EQ(tree_.GetDeviceId(12345, &id, &err), UsbTreeStatus::kRequestFailed);
    EXPECT_EQ(tree_.DevicePath(12345, DEVICE_KIND_LOADER), "");
}

TEST(SysfsRelinkTest, ALinkRepointedOutOfTheRootAfterALookupIsRefused) {
    namespace fs = std::filesystem;
    const FixtureCopy copy({"basic", "outside"});
    const fs::path temp = copy.Root();
    {
        SysfsUsbTree tree((temp / "basic").string());
        UsbPortConnection info;
        ASSERT_EQ(tree.GetPortConnection("usb2", 3, &info, nullptr), UsbTreeStatus::kOk);
        EXPECT_TRUE(info.connected);

        const fs::path link = temp / "basic/bus/usb/devices/2-3";
        fs::remove(link);
        fs::create_symlink("../../../../outside/2-5", link);
        int err = 0;
        EXPECT_EQ(tree.GetPortConnection("usb2", 3, &info, &err), UsbTreeStatus::kRequestFailed);
        EXPECT_EQ(err, EACCES);

        fs::remove(link);  // unplugged
        ASSERT_EQ(tree.GetPortConnection("usb2", 3, &info, nullptr), UsbTreeStatus::kOk);
        EXPECT_FALSE(info.connected);
    }
}

// The bus and device numbers name an enumeration: WaitForDevice tells a board back from its reset
// from the one that is still leaving by them.
TEST(SysfsEnumerationTest, BusAndDeviceNumbersNameTheEnumerationAndANewNumberIsANewOne) {
    namespace fs = std::filesystem;
    const FixtureCopy copy({"basic"});
    const fs::path temp = copy.Root();
    {
        SysfsUsbTree tree((temp / "basic").string());
        const fs::path folder = temp / "basic/devices/pci0000:00/0000:00:14.0/usb2/2-1/2-1.1";
        UsbPortConnection before;
        ASSERT_EQ(tree.GetPortConnection("2-1", 1, &before, nullptr), UsbTreeStatus::kOk);
        EXPECT_EQ(before.enumeration, (uint64_t{2} << 32) | 1U);

        {
            std::FILE* f = std::fopen((folder / "devnum").c_str(), "w");
            ASSERT_NE(f, nullptr);
            std::fputs("9\n", f);
            std::fclose(f);
        }
        UsbPortConnection after;
        ASSERT_EQ(tree.GetPortConnection("2-1", 1, &after, nullptr), UsbTreeStatus::kOk);
        EXPECT_EQ(after.enumeration, (uint64_t{2} << 32) | 9U);
        EXPECT_NE(after.enumeration, before.enumeration);

        // Unreadable numbers leave it unknown; the port is still reported.
        fs::remove(folder / "devnum");
        UsbPortConnection unknown;
        ASSERT_EQ(tree.GetPortConnection("2-1", 1, &unknown, nullptr), UsbTreeStatus::kOk);
        EXPECT_TRUE(unknown.connected);
        EXPECT_EQ(unknown.enumeration, 0U);
    }
}

// An xHCI connector has a port on the USB 2 bus and one on the SuperSpeed bus (sysfs port/peer
// links). A board that comes back at the other speed is on the other bus; the location stays the
// connector's, so the board keeps its slot and WaitForDevice finds it where it left.
TEST(SysfsPeerPortTest, BothBusesPortsOfOneConnectorGiveOneLocation) {
    namespace fs = std::filesystem;
    const FixtureCopy copy({"basic"});
    const fs::path temp = copy.Root();
    const fs::path root = temp / "basic";
    const fs::path usb2 = root / "devices/pci0000:00/0000:00:14.0/usb2";
    // Root port 1 of bus 2 is the peer of root port 4 of bus 1; port 1 of the hub at 2-1 the
    // peer of port 2 of the hub at 1-4. Port 2 of that hub has no peer.
    fs::create_directories(usb2 / "2-0:1.0/usb2-port1");
    fs::create_directory_symlink("../../../devices/pci0000:00/0000:00:14.0/usb2/2-0:1.0",
                                 root / "bus/usb/devices/2-0:1.0");
    fs::create_symlink("../../../../0000:00:1d.0/usb1/1-0:1.0/usb1-port4",
                       usb2 / "2-0:1.0/usb2-port1/peer");
    fs::create_directories(usb2 / "2-1/2-1:1.0/2-1-port1");
    fs::create_symlink("../../../../../0000:00:1d.0/usb1/1-4/1-4:1.0/1-4-port2",
                       usb2 / "2-1/2-1:1.0/2-1-port1/peer");
    {
        SysfsUsbTree tree(root.string());
        DeviceTables tables = TestTables();
        VirtualClock clock;
        ZRScan scan(30, 30, 0, tree, tables, clock);
        scan.LoadDeviceTables();
        const std::vector<ZRDeviceDesc> found =
            SearchAll(scan, DEVICE_KIND_LOADER | DEVICE_KIND_ROM);
        ASSERT_EQ(found.size(), 2U);
        const ZRDeviceDesc& loader = found[0];
        const ZRDeviceDesc& rom = found[1];
        EXPECT_EQ(loader.location, "1-4-2");  // the connector, named on the lower bus
        EXPECT_EQ(loader.path, "2-1.1");      // opened where it is
        EXPECT_EQ(rom.location, "2-1-2");     // no peer at the hub's port 2: as walked

        // A peer naming a hub the tiers above do not lead to is not taken.
        fs::remove(usb2 / "2-1/2-1:1.0/2-1-port1/peer");
        fs::create_symlink("../../../../../0000:00:1d.0/usb1/1-5/1-5:1.0/1-5-port2",
                           usb2 / "2-1/2-1:1.0/2-1-port1/peer");
        const std::vector<ZRDeviceDesc> again = SearchAll(scan, DEVICE_KIND_LOADER);
        ASSERT_EQ(again.size(), 1U);
        EXPECT_EQ(again[0].location, "2-1-1");
    }
}

TEST(SysfsNamesTest, UsbNamingRules) {
    EXPECT_TRUE(SysfsUsbTree::IsRootHubName("usb1"));
    EXPECT_TRUE(SysfsUsbTree::IsRootHubName("usb999"));
    EXPECT_FALSE(SysfsUsbTree::IsRootHubName("usb0"));
    EXPECT_FALSE(SysfsUsbTree::IsRootHubName("usb1x"));
    EXPECT_FALSE(SysfsUsbTree::IsRootHubName("usb"));

    EXPECT_TRUE(SysfsUsbTree::IsDeviceName("1-3"));
    EXPECT_TRUE(SysfsUsbTree::IsDeviceName("2-1.4.2"));
    EXPECT_TRUE(SysfsUsbTree::IsDeviceName("3-1.2.3.4.5.6.7"));
    EXPECT_FALSE(SysfsUsbTree::IsDeviceName("3-1.2.3.4.5.6.7.1"));  // too deep
    EXPECT_FALSE(SysfsUsbTree::IsDeviceName("1-0"));
    EXPECT_FALSE(SysfsUsbTree::IsDeviceName("1-256"));
    EXPECT_FALSE(SysfsUsbTree::IsDeviceName("1-3."));
    EXPECT_FALSE(SysfsUsbTree::IsDeviceName("1-3:1.0"));
    EXPECT_FALSE(SysfsUsbTree::IsDeviceName("../../etc"));
    EXPECT_FALSE(SysfsUsbTree::IsDeviceName("1-0001"));

    EXPECT_TRUE(SysfsUsbTree::IsInterfaceName("1-3:1.0"));
    EXPECT_TRUE(SysfsUsbTree::IsInterfaceName("2-1.4:2.11"));
    EXPECT_FALSE(SysfsUsbTree::IsInterfaceName("1-3:1"));
    EXPECT_FALSE(SysfsUsbTree::IsInterfaceName("1-3:1.0/.."));
    EXPECT_FALSE(SysfsUsbTree::IsInterfaceName("usb1:1.0"));
}

TEST(SysfsMissingRootTest, ARootWithoutAUsbBusListsNothingAndFindsNothing) {
    SysfsUsbTree tree("/nonexistent/sys");
    std::vector<UsbHostControllerEntry> controllers;
    int err = 0;
    EXPECT_EQ(tree.ListHostControllers(&controllers, &err), UsbTreeStatus::kRequestFailed);
    EXPECT_EQ(err, ENOENT);
    DeviceTables tables = TestTables();
    VirtualClock clock;
    RecordingLog log;
    ZRScan scan(30, 30, 0, tree, tables, clock, &log);
    EXPECT_EQ(scan.Search(0x3F), 0);
    EXPECT_TRUE(log.Has("Error:EnumerateHostControllers-->SetupDiGetClassDevs failed,err=0x2"));
}

}  // namespace
