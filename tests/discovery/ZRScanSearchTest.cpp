// Search and GetDevice over the simulated USB host: which devices are listed, with which kind,
// location and path, and in which order.
#include <gtest/gtest.h>

#include <memory>

#include "device/ZRScan.h"
#include "platform/sim/LoaderEmulator.h"
#include "platform/sim/SimUsbHost.h"
#include "tests/discovery/DiscoveryTestSupport.h"

using namespace discovery_test;

namespace {

SimUsbDeviceInfo Composite(uint16_t pid, int interfaces) {
    SimUsbDeviceInfo info = Board(pid, 0x0200);
    info.interfaceCount = interfaces;
    return info;
}

class SearchTest : public ::testing::Test {
  protected:
    SearchTest() : tables_(TestTables()) { host_.AddController(true, 8); }

    std::unique_ptr<ZRScan> Scanner(int scanAll = 0) {
        return std::make_unique<ZRScan>(30, 30, scanAll, host_, tables_, clock_, &log_);
    }
    std::vector<ZRDeviceDesc> All(ZRScan& scan, uint32_t mask) { return SearchAll(scan, mask); }
    static std::vector<std::string> Locations(const std::vector<ZRDeviceDesc>& devices) {
        std::vector<std::string> out;
        for (const ZRDeviceDesc& d : devices) {
            out.push_back(d.location);
        }
        return out;
    }

    VirtualClock clock_;
    RecordingLog log_;
    DeviceTables tables_;
    SimUsbHost host_{clock_};
};

TEST_F(SearchTest, LoaderAtPortThreeOfControllerOneIsListedWithItsLocationKindAndPath) {
    auto loader = std::make_shared<LoaderEmulator>(LoaderConfig{});  // F00D:350A, bcdUSB 0x0201
    ASSERT_TRUE(host_.Plug("1-3", loader));
    auto scan = Scanner();

    const auto found = All(*scan, DEVICE_KIND_LOADER);
    ASSERT_EQ(found.size(), 1U);
    EXPECT_EQ(found[0].location, "1-3");
    EXPECT_EQ(found[0].kind, static_cast<uint32_t>(DEVICE_KIND_LOADER));
    EXPECT_EQ(found[0].path, "1-3");
    EXPECT_EQ(found[0].vendorId, kVendor);
    EXPECT_EQ(found[0].productId, 0x350A);
    EXPECT_EQ(found[0].bcdUsb, 0x0201);
    EXPECT_EQ(found[0].serialIndex, 3);
    EXPECT_EQ(found[0].controllerFlag, 1U);
    // No chip row for 0x350A: the vendor rule makes the product id the chip code.
    EXPECT_EQ(found[0].chipCode, 0x350A);
    EXPECT_NE(found[0].devnode, 0U);
}

TEST_F(SearchTest, RomModeDeviceIsNotALoaderButIsFoundAsRomKind) {
    ASSERT_TRUE(host_.PlugDevice("1-3", Board(0x2005, 0x0200)));
    auto scan = Scanner();
    EXPECT_EQ(scan->Search(DEVICE_KIND_LOADER), 0);

    auto rom = All(*scan, DEVICE_KIND_ROM);
    ASSERT_EQ(rom.size(), 1U);
    EXPECT_EQ(rom[0].kind, static_cast<uint32_t>(DEVICE_KIND_ROM));
    EXPECT_EQ(rom[0].chipCode, 0x2005);  // no rows loaded: the vendor rule's product id

    scan->LoadDeviceTables();
    rom = All(*scan, DEVICE_KIND_ROM);
    ASSERT_EQ(rom.size(), 1U);
    EXPECT_EQ(rom[0].chipCode, 48);  // the chip row
}

TEST_F(SearchTest, ChipMatchNeedsARowOrTheMainVendorWithAProductAbove0xFF) {
    ASSERT_TRUE(host_.PlugDevice("1-1", Board(0x0005)));  // main vendor, low pid
    ASSERT_TRUE(host_.PlugDevice("1-2", Board(0x2002, 0x0201, kAltVendor)));  // alt row
    ASSERT_TRUE(host_.PlugDevice("1-3", Board(0x3003, 0x0201, kAltVendor)));  // alt, no row
    ASSERT_TRUE(host_.PlugDevice("1-4", Board(0x1234, 0x0201, 0xABCD)));      // foreign
    ASSERT_TRUE(host_.PlugDevice("1-5", Board(0x0100)));  // main vendor, high byte 1
    auto scan = Scanner();
    scan->LoadDeviceTables();

    const auto found = All(*scan, 0x3F);
    ASSERT_EQ(Locations(found), (std::vector<std::string>{"1-2", "1-5"}));
    EXPECT_EQ(found[0].chipCode, 33);
    EXPECT_EQ(found[1].chipCode, 0x0100);
}

TEST_F(SearchTest, WithoutConfiguredVendorIdNoDeviceMatchesTheVendorRule) {
    DeviceTables empty;
    ZRScan scan(30, 30, 0, host_, empty, clock_, &log_);
    ASSERT_TRUE(host_.PlugDevice("1-1", Board(0x350A, 0x0201, 0x0000)));
    ASSERT_TRUE(host_.PlugDevice("1-2", Board(0x350A)));
    scan.LoadDeviceTables();
    EXPECT_EQ(scan.Search(0x3F), 0);
}

TEST_F(SearchTest, ModeListDevicesNeedTheDeviceTables) {
    ASSERT_TRUE(host_.PlugDevice("1-1", Board(0x0000, 0x0200)));  // mass storage
    ASSERT_TRUE(host_.PlugDevice("1-2", Board(0x0001, 0x0200)));  // MTP
    ASSERT_TRUE(host_.PlugDevice("1-3", Board(0x0006, 0x0200)));  // ADB
    ASSERT_TRUE(host_.PlugDevice("1-4", Board(0x0016, 0x0200)));  // camera
    auto scan = Scanner();
    EXPECT_EQ(scan->Search(0x3F), 0);

    scan->LoadDeviceTables();
    const auto found = All(*scan, 0x3F);
    ASSERT_EQ(found.size(), 4U);
    EXPECT_EQ(found[0].kind, static_cast<uint32_t>(DEVICE_KIND_MSC));
    EXPECT_EQ(found[0].serialIndex, 0);  // mass storage records carry no serial index
    EXPECT_EQ(found[1].kind, static_cast<uint32_t>(DEVICE_KIND_MTP));
    EXPECT_EQ(found[2].kind, static_cast<uint32_t>(DEVICE_KIND_ADB));
    EXPECT_EQ(found[3].kind, static_cast<uint32_t>(DEVICE_KIND_UVC));
    for (const ZRDeviceDesc& d : found) {
        EXPECT_EQ(d.chipCode, 0);
        EXPECT_EQ(d.path, SimUsbHost::NameOfLocation(d.location));  // not composite: the device
    }
}

TEST_F(SearchTest, EachMaskBitAdmitsOnlyItsKind) {
    ASSERT_TRUE(host_.PlugDevice("1-1", Board(0x0010, 0x0200)));  // mass storage (2nd pid)
    ASSERT_TRUE(host_.PlugDevice("1-2", Board(0x0001, 0x0200)));  // MTP
    ASSERT_TRUE(host_.PlugDevice("1-3", Board(0x0011, 0x0200)));  // ADB (2nd pid)
    ASSERT_TRUE(host_.PlugDevice("1-4", Board(0x0016, 0x0200)));  // camera
    ASSERT_TRUE(host_.PlugDevice("1-5", Board(0x1001, 0x0200)));  // ROM
    ASSERT_TRUE(host_.PlugDevice("1-6", Board(0x1001, 0x0201)));  // loader
    auto scan = Scanner();
    scan->LoadDeviceTables();
    const std::pair<uint32_t, const char*> cases[] = {
        {DEVICE_KIND_MSC, "1-1"}, {DEVICE_KIND_MTP, "1-2"}, {DEVICE_KIND_ADB, "1-3"},
        {DEVICE_KIND_UVC, "1-4"}, {DEVICE_KIND_ROM, "1-5"}, {DEVICE_KIND_LOADER, "1-6"},
    };
    for (const auto& [mask, location] : cases) {
        const auto found = All(*scan, mask);
        ASSERT_EQ(found.size(), 1U) << "mask " << mask;
        EXPECT_EQ(found[0].location, location);
        EXPECT_EQ(found[0].kind, mask);
    }
    EXPECT_EQ(scan->Search(0), 0);
    EXPECT_EQ(scan->Search(0x3F), 6);
}

TEST_F(SearchTest, CompositeModeDevicesAreOpenedThroughTheirInterfaces) {
    ASSERT_TRUE(host_.PlugDevice("1-1", Composite(0x0000, 2)));  // mass storage: first interface
    ASSERT_TRUE(host_.PlugDevice("1-2", Composite(0x0006, 3)));  // ADB: second interface
    auto scan = Scanner();
    scan->LoadDeviceTables();

    const auto found = All(*scan, DEVICE_KIND_MSC | DEVICE_KIND_ADB);
    ASSERT_EQ(found.size(), 2U);
    EXPECT_EQ(found[0].path, "1-1:1.0");
    EXPECT_EQ(found[1].path, "1-2:1.1");
    EXPECT_NE(found[0].devnode, host_.FindDevnodeByDriverKey("1-1"));
    EXPECT_EQ(host_.DevicePath(found[1].devnode, DEVICE_KIND_ADB), "1-2:1.1");
    EXPECT_TRUE(log_.Lines().empty());
}

// Every device claims to be composite, whatever its interfaces; everything else is the host's.
class AllCompositeTree final : public IUsbTree {
  public:
    explicit AllCompositeTree(SimUsbHost& host) : host_(host) {}
    UsbTreeStatus ListHostControllers(std::vector<UsbHostControllerEntry>* out, int* err) override {
        return host_.ListHostControllers(out, err);
    }
    UsbTreeStatus GetRootHubName(const std::string& c, std::string* n, int* err) override {
        return host_.GetRootHubName(c, n, err);
    }
    UsbTreeStatus GetHubPortCount(const std::string& h, int* n, int* err) override {
        return host_.GetHubPortCount(h, n, err);
    }
    UsbTreeStatus GetPortConnection(const std::string& h, int p, UsbPortConnection* i,
                                    int* err) override {
        return host_.GetPortConnection(h, p, i, err);
    }
    UsbTreeStatus GetPortDriverKey(const std::string& h, int p, std::string* k, int* err) override {
        return host_.GetPortDriverKey(h, p, k, err);
    }
    UsbTreeStatus GetPortHubName(const std::string& h, int p, std::string* n, int* err) override {
        return host_.GetPortHubName(h, p, n, err);
    }
    uint32_t FindDevnodeByDriverKey(const std::string& k) override {
        return host_.FindDevnodeByDriverKey(k);
    }
    UsbTreeStatus GetDeviceId(uint32_t d, std::string* id, int* err) override {
        return host_.GetDeviceId(d, id, err);
    }
    UsbTreeStatus GetCompatibleIds(uint32_t, std::vector<std::string>* ids, int*) override {
        *ids = {"USB\\COMPOSITE"};
        return UsbTreeStatus::kOk;
    }
    UsbTreeStatus GetFirstChild(uint32_t d, uint32_t* c, int* err) override {
        return host_.GetFirstChild(d, c, err);
    }
    UsbTreeStatus GetNextSibling(uint32_t d, uint32_t* s, int* err) override {
        return host_.GetNextSibling(d, s, err);
    }
    std::string DevicePath(uint32_t d, uint32_t kind) override { return host_.DevicePath(d, kind); }

  private:
    SimUsbHost& host_;
};

TEST_F(SearchTest, FailedInterfaceLookupKeepsTheLastInstanceFoundAndTheDevicePath) {
    SimUsbDeviceInfo adb = Board(0x0006, 0x0200);  // one interface: no sibling
    SimUsbDeviceInfo msc = Board(0x0000, 0x0200);  // no interface at all: no child
    msc.interfaceCount = 0;
    ASSERT_TRUE(host_.PlugDevice("1-1", adb));
    ASSERT_TRUE(host_.PlugDevice("1-2", msc));
    AllCompositeTree tree(host_);
    ZRScan scan(30, 30, 0, tree, tables_, clock_, &log_);
    scan.LoadDeviceTables();

    ASSERT_EQ(scan.Search(DEVICE_KIND_ADB | DEVICE_KIND_MSC), 2);
    ZRDeviceDesc adbDesc;
    ZRDeviceDesc mscDesc;
    ASSERT_EQ(scan.GetDevice(0, &adbDesc), 1);
    ASSERT_EQ(scan.GetDevice(1, &mscDesc), 1);
    EXPECT_EQ(adbDesc.path, "1-1");
    std::string childId;
    ASSERT_EQ(host_.GetDeviceId(adbDesc.devnode, &childId, nullptr), UsbTreeStatus::kOk);
    EXPECT_EQ(childId, "USB\\VID_F00D&PID_0006&MI_00\\1-1:1.0");  // the child, not the sibling
    EXPECT_EQ(mscDesc.path, "1-2");
    EXPECT_EQ(mscDesc.devnode, host_.FindDevnodeByDriverKey("1-2"));
    EXPECT_TRUE(log_.Has("ERROR:Search_ADB-->CM_Get_Sibling failed(0x2)"));
    EXPECT_TRUE(log_.Has("ERROR:Search-->CM_Get_Child failed(0x2)"));
}

TEST_F(SearchTest, UnconfiguredDeviceIsSkipped) {
    ASSERT_TRUE(host_.PlugDevice("1-3", Board(0x1001)));
    ASSERT_TRUE(host_.SetConfiguration("1-3", 0));
    auto scan = Scanner();
    EXPECT_EQ(scan->Search(0x3F), 0);
    ASSERT_TRUE(host_.SetConfiguration("1-3", 1));
    EXPECT_EQ(scan->Search(0x3F), 1);
}

TEST_F(SearchTest, NothingBehindAnUnconfiguredHubIsWalked) {
    const std::string hub = host_.AddHub("1", 2, 4);
    ASSERT_EQ(hub, "1-2");
    ASSERT_TRUE(host_.PlugDevice("1-2-1", Board(0x1001)));
    ASSERT_TRUE(host_.SetConfiguration(hub, 0));
    auto scan = Scanner();
    const uint64_t before = host_.PortCountRequests();
    EXPECT_EQ(scan->Search(0x3F), 0);
    EXPECT_EQ(host_.PortCountRequests() - before, 1U);  // the root hub only
}

TEST_F(SearchTest, FullSpeedOnlyControllersAreWalkedOnlyWithScanAll) {
    SimUsbHost host(clock_);
    ASSERT_EQ(host.AddController(false, 4), 1);
    ASSERT_EQ(host.AddController(true, 4), 2);
    ASSERT_TRUE(host.PlugDevice("1-1", Board(0x1001)));
    ASSERT_TRUE(host.PlugDevice("2-1", Board(0x1001)));

    ZRScan normal(30, 30, 0, host, tables_, clock_);
    ASSERT_EQ(normal.Search(DEVICE_KIND_LOADER), 1);
    ZRDeviceDesc desc;
    ASSERT_EQ(normal.GetDevice(0, &desc), 1);
    EXPECT_EQ(desc.location, "2-1");
    EXPECT_EQ(desc.controllerFlag, 1U);

    ZRScan all(30, 30, 1, host, tables_, clock_);
    ASSERT_EQ(all.Search(DEVICE_KIND_LOADER), 2);
    ASSERT_EQ(all.GetDevice(0, &desc), 1);
    EXPECT_EQ(desc.location, "1-1");
    EXPECT_EQ(desc.controllerFlag, 0U);
}

TEST_F(SearchTest, GetDeviceRefusesIndicesOutsideTheLastSearch) {
    ASSERT_TRUE(host_.PlugDevice("1-1", Board(0x1001)));
    ASSERT_TRUE(host_.PlugDevice("1-2", Board(0x1002)));
    auto scan = Scanner();
    ZRDeviceDesc desc;
    EXPECT_EQ(scan->GetDevice(0, &desc), 0);  // no search yet
    ASSERT_EQ(scan->Search(DEVICE_KIND_LOADER), 2);
    EXPECT_EQ(scan->GetDevice(1, &desc), 1);
    EXPECT_EQ(desc.location, "1-2");
    desc.location = "unchanged";
    EXPECT_EQ(scan->GetDevice(2, &desc), 0);
    EXPECT_EQ(scan->GetDevice(-1, &desc), 0);
    EXPECT_EQ(desc.location, "unchanged");
    EXPECT_EQ(scan->GetDevice(0, nullptr), 0);
}

TEST_F(SearchTest, WalkOrderIsControllersThenPortsWithEachHubWalkedWhereItsPortIsMet) {
    host_.AddController(true, 4);
    ASSERT_EQ(host_.AddHub("1", 2, 4), "1-2");
    ASSERT_EQ(host_.AddHub("1", 5, 4), "1-5");
    ASSERT_EQ(host_.AddHub("1-5", 4, 2), "1-5-4");
    const char* boards[] = {"2-1", "1-6", "1-5-4-2", "1-5-2", "1-4", "1-2-3", "1-2-1", "1-1"};
    for (const char* at : boards) {
        ASSERT_TRUE(host_.PlugDevice(at, Board(0x1001))) << at;
    }
    auto scan = Scanner();
    EXPECT_EQ(Locations(All(*scan, DEVICE_KIND_LOADER)),
              (std::vector<std::string>{"1-1", "1-2-1", "1-2-3", "1-4", "1-5-2", "1-5-4-2", "1-6",
                                        "2-1"}));
    ZRDeviceDesc desc;
    ASSERT_EQ(scan->GetDevice(5, &desc), 1);
    EXPECT_EQ(desc.path, "1-5.4.2");
}

TEST_F(SearchTest, HubOpenIsTriedThreeTimesOneSecondApart) {
    ASSERT_EQ(host_.AddHub("1", 2, 4), "1-2");
    ASSERT_TRUE(host_.PlugDevice("1-2-1", Board(0x1001)));
    auto scan = Scanner();

    host_.SetHubOpenFailures("1-2", 2);
    EXPECT_EQ(scan->Search(DEVICE_KIND_LOADER), 1);
    EXPECT_EQ(clock_.Sleeps(), (std::vector<uint32_t>{1000, 1000}));

    // A hub seen again at the same place keeps its port count: no open at all.
    host_.SetHubOpenFailures("1-2", 3);
    EXPECT_EQ(scan->Search(DEVICE_KIND_LOADER), 1);
    EXPECT_EQ(clock_.Sleeps().size(), 2U);
}

TEST_F(SearchTest, HubThatCannotBeOpenedIsGivenUpAfterTheThirdAttempt) {
    ASSERT_EQ(host_.AddHub("1", 2, 4), "1-2");
    ASSERT_TRUE(host_.PlugDevice("1-2-1", Board(0x1001)));
    ASSERT_TRUE(host_.PlugDevice("1-3", Board(0x1001)));
    host_.SetHubOpenFailures("1-2", 3);
    auto scan = Scanner();

    EXPECT_EQ(Locations(All(*scan, DEVICE_KIND_LOADER)), (std::vector<std::string>{"1-3"}));
    EXPECT_EQ(clock_.Sleeps(), (std::vector<uint32_t>{1000, 1000}));
    EXPECT_TRUE(log_.Has("Error:EnumerateHub-->CreateFile failed,err=0x10"));  // EBUSY
    // The count stays unknown, so the next walk asks again and now succeeds.
    EXPECT_EQ(scan->Search(DEVICE_KIND_LOADER), 2);
}

TEST_F(SearchTest, PortCountsAreCachedPerControllerAndPerHubAtAnUnchangedLocation) {
    ASSERT_EQ(host_.AddHub("1", 2, 4), "1-2");
    auto scan = Scanner();
    uint64_t before = host_.PortCountRequests();
    scan->Search(DEVICE_KIND_LOADER);
    EXPECT_EQ(host_.PortCountRequests() - before, 2U);  // root hub and hub

    before = host_.PortCountRequests();
    scan->Search(DEVICE_KIND_LOADER);
    EXPECT_EQ(host_.PortCountRequests() - before, 0U);

    // The hub moved: its name changed, so it is asked again.
    ASSERT_TRUE(host_.Unplug("1-2"));
    ASSERT_EQ(host_.AddHub("1", 3, 4), "1-3");
    before = host_.PortCountRequests();
    scan->Search(DEVICE_KIND_LOADER);
    EXPECT_EQ(host_.PortCountRequests() - before, 1U);
}

TEST_F(SearchTest, FailedPortQuerySkipsOnlyThatPort) {
    ASSERT_TRUE(host_.PlugDevice("1-2", Board(0x1001)));
    ASSERT_TRUE(host_.PlugDevice("1-3", Board(0x1001)));
    host_.SetPortQueryFailure("1-2", true);
    auto scan = Scanner();
    EXPECT_EQ(Locations(All(*scan, DEVICE_KIND_LOADER)), (std::vector<std::string>{"1-3"}));
    EXPECT_TRUE(log_.Has("Error:EnumerateHubPorts-->DeviceIoControl failed,err=0x5"));  // EIO
}

TEST_F(SearchTest, UnpluggedDevicesVanishFromTheNextSearch) {
    ASSERT_TRUE(host_.PlugDevice("1-1", Board(0x1001)));
    ASSERT_TRUE(host_.PlugDevice("1-2", Board(0x1001)));
    auto scan = Scanner();
    ASSERT_EQ(scan->Search(DEVICE_KIND_LOADER), 2);
    ASSERT_TRUE(host_.Unplug("1-1"));
    EXPECT_EQ(Locations(All(*scan, DEVICE_KIND_LOADER)), (std::vector<std::string>{"1-2"}));
}

}  // namespace
