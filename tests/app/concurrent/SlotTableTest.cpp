// Device slots, the scan thread and the persistent port map.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "device/UsbTree.h"
#include "platform/sim/SimUsbHost.h"
#include "tests/app/concurrent/StationHarness.h"

namespace station_test {
namespace {

namespace C = StationControl;

// The simulated host's tree, but the device at one port carries the device path of another: a
// platform whose device path names the board rather than its port (a board with a serial number).
class AliasTree final : public IUsbTree {
  public:
    AliasTree(SimUsbHost& host, std::string path, std::string shownAs)
        : host_(host), path_(std::move(path)), shownAs_(std::move(shownAs)) {}
    UsbTreeStatus ListHostControllers(std::vector<UsbHostControllerEntry>* out,
                                      int* sysError) override {
        return host_.ListHostControllers(out, sysError);
    }
    UsbTreeStatus GetRootHubName(const std::string& controllerPath, std::string* name,
                                 int* sysError) override {
        return host_.GetRootHubName(controllerPath, name, sysError);
    }
    UsbTreeStatus GetHubPortCount(const std::string& hubName, int* portCount,
                                  int* sysError) override {
        return host_.GetHubPortCount(hubName, portCount, sysError);
    }
    UsbTreeStatus GetPortConnection(const std::string& hubName, int port, UsbPortConnection* info,
                                    int* sysError) override {
        return host_.GetPortConnection(hubName, port, info, sysError);
    }
    UsbTreeStatus GetPortDriverKey(const std::string& hubName, int port, std::string* driverKey,
                                   int* sysError) override {
        return host_.GetPortDriverKey(hubName, port, driverKey, sysError);
    }
    UsbTreeStatus GetPortHubName(const std::string& hubName, int port, std::string* name,
                                 int* sysError) override {
        return host_.GetPortHubName(hubName, port, name, sysError);
    }
    uint32_t FindDevnodeByDriverKey(const std::string& driverKey) override {
        return host_.FindDevnodeByDriverKey(driverKey);
    }
    UsbTreeStatus GetDeviceId(uint32_t devnode, std::string* id, int* sysError) override {
        return host_.GetDeviceId(devnode, id, sysError);
    }
    UsbTreeStatus GetCompatibleIds(uint32_t devnode, std::vector<std::string>* ids,
                                   int* sysError) override {
        return host_.GetCompatibleIds(devnode, ids, sysError);
    }
    UsbTreeStatus GetFirstChild(uint32_t devnode, uint32_t* child, int* sysError) override {
        return host_.GetFirstChild(devnode, child, sysError);
    }
    UsbTreeStatus GetNextSibling(uint32_t devnode, uint32_t* sibling, int* sysError) override {
        return host_.GetNextSibling(devnode, sibling, sysError);
    }
    std::string DevicePath(uint32_t devnode, uint32_t kind) override {
        const std::string path = host_.DevicePath(devnode, kind);
        return path == path_ ? shownAs_ : path;
    }
    std::string ConnectorLocation(uint32_t devnode) override {
        return host_.ConnectorLocation(devnode);
    }

  private:
    SimUsbHost& host_;
    std::string path_;
    std::string shownAs_;
};

class SlotTableTest : public StationTest {
  protected:
    std::map<std::string, uint32_t> StoredMap() {
        std::map<std::string, uint32_t> stored;
        EXPECT_TRUE(portMap_->ReadAll(&stored));
        return stored;
    }
};

TEST_F(SlotTableTest, FirstDevicesGetTheLowestNumbersAndKeepThemAfterARestart) {
    BootGated();
    PlugAndSettle("1-3");
    PlugAndSettle("1-1");
    PlugAndSettle("1-2");
    EXPECT_EQ(SlotAt("1-3")->slotNumber, 1);
    EXPECT_EQ(SlotAt("1-1")->slotNumber, 2);
    EXPECT_EQ(SlotAt("1-2")->slotNumber, 3);
    EXPECT_EQ(view_.Cell(0, kColumnLocation), "1-3");
    EXPECT_EQ(StoredMap(), (std::map<std::string, uint32_t>{{"1-3", 1}, {"1-1", 2}, {"1-2", 3}}));
    EXPECT_EQ(CountOf(LogText(), "<ID 2>Info:in HandleNewDevice"), 1u);

    // A new program run on the same machine: all three are there at once.
    NewHost();
    Plug("1-1");
    Plug("1-2");
    Plug("1-3");
    BootGated();
    EXPECT_EQ(SlotAt("1-3")->slotNumber, 1);
    EXPECT_EQ(SlotAt("1-1")->slotNumber, 2);
    EXPECT_EQ(SlotAt("1-2")->slotNumber, 3);
}

TEST_F(SlotTableTest, AnIdleDeviceUnpluggedKeepsItsResultUntilAJobStartsInTheSlot) {
    PlugAndSettle("1-4");
    BootGated();
    PlugAndSettle("1-6");
    Press(C::kStartStopButton);
    gate_.Release(1);
    ASSERT_TRUE(RunUntil([&] { return view_.Colour(0) == kRowGreen; }));
    Press(C::kStartStopButton);
    gate_.Release(2, false);
    ASSERT_TRUE(RunUntil([&] { return State() == StationState::kIdle; }));

    // The board leaves after its job: the slot is free at once, the row keeps the result.
    host_->Unplug("1-4");
    ASSERT_TRUE(RunUntil([&] { return SlotAt("1-4") == nullptr; }));
    queue_.RunPending();
    EXPECT_EQ(SlotNumbered(1), nullptr);
    EXPECT_EQ(view_.Cell(0, kColumnLocation), "1-4");
    EXPECT_EQ(view_.Cell(0, kColumnStatus), "done");
    EXPECT_EQ(view_.Mark(0), LangText("IDS_DEVICE_LEFT"));
    EXPECT_EQ(view_.Colour(0), kRowGreen);
    EXPECT_EQ(view_.Cell(0, kColumnSlot), "1");
    EXPECT_EQ(CountOf(LogText(), "<ID 1>Info:in HandleRemoveDevice"), 1u);
    // The binding outlives the device.
    EXPECT_EQ(StoredMap(), (std::map<std::string, uint32_t>{{"1-4", 1}, {"1-6", 2}}));

    // A second look changes nothing.
    PlugAndRescan("1-9");
    EXPECT_EQ(view_.Cell(0, kColumnStatus), "done");
    EXPECT_EQ(view_.Mark(0), LangText("IDS_DEVICE_LEFT"));
    EXPECT_EQ(SlotAt("1-9")->slotNumber, 3);

    // A board that takes the slot while the station is idle keeps the old result showing (a
    // failed board may hold a spent key) until a job starts in the slot; only the mark goes.
    Plug("1-4");
    WaitBound("1-4");
    queue_.RunPending();
    EXPECT_EQ(SlotAt("1-4")->slotNumber, 1);
    EXPECT_EQ(view_.Cell(0, kColumnLocation), "1-4");
    EXPECT_EQ(view_.Cell(0, kColumnStatus), "done");
    EXPECT_EQ(view_.Mark(0), "");
    EXPECT_EQ(view_.Colour(0), kRowGreen);

    // A board that never finished a job here leaves an empty row.
    host_->Unplug("1-9");
    ASSERT_TRUE(RunUntil([&] { return SlotAt("1-9") == nullptr; }));
    queue_.RunPending();
    EXPECT_EQ(view_.Cell(2, kColumnLocation), "");
    EXPECT_EQ(view_.Cell(2, kColumnStatus), "");
    EXPECT_EQ(view_.Colour(2), std::nullopt);
    EXPECT_EQ(view_.Cell(1, kColumnStatus), "failed");
    EXPECT_EQ(view_.Mark(1), "");  // still plugged in: unmarked
}

TEST_F(SlotTableTest, ADeviceUnpluggedDuringItsJobLeavesWithTheResult) {
    BootGated();
    Press(C::kStartStopButton);
    PlugAndSettle("1-1");
    ASSERT_TRUE(RunUntil([&] { return gate_.Running() == 1; }));

    host_->Unplug("1-1");
    ASSERT_TRUE(RunUntil([&] { return !SlotNumbered(1)->present; }));
    queue_.RunPending();
    EXPECT_TRUE(SlotNumbered(1)->running);
    EXPECT_EQ(view_.Cell(0, kColumnLocation), "");
    EXPECT_EQ(view_.Cell(0, kColumnStatus), "working 1-1");

    gate_.Release(1, false);
    ASSERT_TRUE(RunUntil([&] { return SlotNumbered(1) == nullptr; }));
    queue_.RunPending();
    // The final text stays, with the port and the mark of a board that has left.
    EXPECT_EQ(view_.Cell(0, kColumnStatus), "failed");
    EXPECT_EQ(view_.Mark(0), LangText("IDS_DEVICE_LEFT"));
    EXPECT_EQ(view_.Cell(0, kColumnLocation), "1-1");
    EXPECT_EQ(view_.Colour(0), kRowRed);

    // Plugged in again while the station runs: a new job in the same slot, colour dropped.
    Plug("1-1");
    ASSERT_TRUE(RunUntil([&] { return gate_.Running() == 1; }));
    queue_.RunPending();
    EXPECT_EQ(view_.Colour(0), std::nullopt);
    EXPECT_EQ(SlotAt("1-1")->slotNumber, 1);
}

TEST_F(SlotTableTest, ADeviceBackAtItsPortBeforeItsJobEndsGetsNoSecondJob) {
    BootGated();
    Press(C::kStartStopButton);
    PlugAndSettle("1-2");
    ASSERT_TRUE(RunUntil([&] { return gate_.Running() == 1; }));
    auto device = devices_["1-2"];
    host_->Unplug("1-2");
    ASSERT_TRUE(RunUntil([&] { return !SlotNumbered(1)->present; }));
    ASSERT_TRUE(host_->Plug("1-2", device));
    ASSERT_TRUE(RunUntil([&] { return SlotNumbered(1)->present != 0; }));
    Settle();
    EXPECT_EQ(view_.Cell(0, kColumnLocation), "1-2");
    EXPECT_EQ(gate_.Running(), 1);

    // Every job is let go: a second job in the slot would otherwise keep the end of the first
    // waiting for it, and the test would hang instead of failing.
    ReleaseWorkers();
    ASSERT_TRUE(RunUntil([&] { return !SlotNumbered(1)->running; }));
    Settle();
    EXPECT_EQ(gate_.Running(), 0);
    EXPECT_EQ(gate_.Finished(), 1);  // plugged in throughout: no new job
}

TEST_F(SlotTableTest, ARunningJobsBoardBackAtAnotherPortWithTheSamePathGetsNoSecondJob) {
    AliasTree tree(*host_, SimUsbHost::NameOfLocation("1-5"), SimUsbHost::NameOfLocation("1-4"));
    UseTree(tree);
    BootGated();
    Press(C::kStartStopButton);
    PlugAndSettle("1-4");
    ASSERT_TRUE(RunUntil([&] { return gate_.Running() == 1; }));
    auto device = devices_["1-4"];
    host_->Unplug("1-4");
    ASSERT_TRUE(RunUntil([&] { return !SlotNumbered(1)->present; }));
    ASSERT_TRUE(host_->Plug("1-5", device));
    ASSERT_TRUE(RunUntil([&] { return SlotNumbered(1)->present != 0; }));
    Settle();
    // The job keeps its board at the new port; no second job starts for it.
    EXPECT_EQ(SlotNumbered(1)->portLocation, "1-5");
    EXPECT_EQ(view_.Cell(0, kColumnLocation), "1-5");
    EXPECT_EQ(controller_->SlotsSnapshot().size(), 1u);
    EXPECT_EQ(gate_.Running(), 1);

    // Every job is let go: a second job in the slot would otherwise keep the end of the first
    // waiting for it, and the test would hang instead of failing.
    ReleaseWorkers();
    ASSERT_TRUE(RunUntil([&] { return !SlotNumbered(1)->running; }));
    Settle();
    EXPECT_EQ(gate_.Running(), 0);
    EXPECT_EQ(gate_.Finished(), 1);
}

TEST_F(SlotTableTest, SixteenStoredBindingsOfAbsentDevicesAreRebuiltFromTheTable) {
    for (uint32_t n = 1; n <= 16; ++n) {
        ASSERT_TRUE(portMap_->Write("9-" + std::to_string(n), n));
    }
    ASSERT_TRUE(portMap_->Write("1-2", 5));
    BootGated();
    PlugAndSettle("1-2");  // its stored number is kept
    EXPECT_EQ(SlotAt("1-2")->slotNumber, 5);
    PlugAndSettle("1-1");  // needs a number: none is free
    EXPECT_EQ(SlotAt("1-1")->slotNumber, 1);
    EXPECT_EQ(StoredMap(), (std::map<std::string, uint32_t>{{"1-2", 5}, {"1-1", 1}}));
    PlugAndSettle("1-3");
    EXPECT_EQ(SlotAt("1-3")->slotNumber, 2);
}

TEST_F(SlotTableTest, StoredNumbersOutsideTheTableAreIgnored) {
    ASSERT_TRUE(portMap_->Write("1-1", 17));
    ASSERT_TRUE(portMap_->Write("1-2", 0));
    BootGated();
    PlugAndSettle("1-1");
    PlugAndSettle("1-2");
    EXPECT_EQ(SlotAt("1-1")->slotNumber, 1);
    EXPECT_EQ(SlotAt("1-2")->slotNumber, 2);
    EXPECT_EQ(CountOf(LogText(), "Error:LoadUsbMapInfo ignored slot 17 of 1-1"), 1u);
}

TEST_F(SlotTableTest, AStoredNumberHeldByAnotherDeviceGivesTheNewcomerItsOwn) {
    ASSERT_TRUE(portMap_->Write("1-1", 1));
    ASSERT_TRUE(portMap_->Write("1-2", 1));  // a doubled binding, e.g. an edited file
    BootGated();
    Press(C::kStartStopButton);
    PlugAndSettle("1-1");
    ASSERT_TRUE(RunUntil([&] { return gate_.Running() == 1; }));
    PlugAndSettle("1-2");
    ASSERT_TRUE(RunUntil([&] { return gate_.Running() == 2; }));
    EXPECT_EQ(SlotAt("1-1")->slotNumber, 1);
    EXPECT_EQ(SlotAt("1-2")->slotNumber, 2);
    EXPECT_EQ(StoredMap()["1-2"], 2u);
}

TEST_F(SlotTableTest, ASeventeenthDeviceWaitsForAFreeSlot) {
    BootGated();
    for (int p = 1; p <= 16; ++p) {
        Plug("1-" + std::to_string(p));
    }
    ASSERT_TRUE(RunUntil([&] { return controller_->SlotsSnapshot().size() == 16; }));
    Settle();
    Press(C::kStartStopButton);
    ASSERT_TRUE(RunUntil([&] { return gate_.Running() == 16; }));

    PlugAndRescan("1-17");
    controller_->NoteDeviceChange();  // another look changes nothing
    Settle();
    EXPECT_EQ(SlotAt("1-17"), nullptr);
    EXPECT_EQ(CountOf(LogText(), "Error:HandleNewDevice no free slot for 1-17 at 1-17"), 1u);

    // Slot 4's device leaves during its job; the slot frees when the result arrives.
    host_->Unplug("1-4");
    ASSERT_TRUE(RunUntil([&] { return !SlotNumbered(4)->present; }));
    gate_.Release(4);
    ASSERT_TRUE(RunUntil([&] { return SlotAt("1-17") != nullptr; }));
    EXPECT_EQ(SlotAt("1-17")->slotNumber, 4);
    ASSERT_TRUE(RunUntil([&] { return gate_.Running() == 16; }));
    std::map<std::string, uint32_t> stored = StoredMap();
    EXPECT_EQ(stored.size(), 16u);
    EXPECT_EQ(stored.count("1-4"), 0u);
    EXPECT_EQ(stored["1-17"], 4u);
}

TEST_F(SlotTableTest, ARescanThatFindsNothingReleasesEverySlot) {
    Plug("1-1");
    Plug("1-2");
    BootGated();
    ASSERT_EQ(controller_->SlotsSnapshot().size(), 2u);
    host_->Unplug("1-1");
    host_->Unplug("1-2");
    ASSERT_TRUE(RunUntil([&] { return controller_->SlotsSnapshot().empty(); }));
}

TEST_F(SlotTableTest, AnUnwritablePortMapStillBindsDevicesForThisRun) {
    fs::create_directories(home_ / "portmap.ini");  // a folder where the file should be
    BootGated();
    PlugAndSettle("1-1");
    PlugAndSettle("1-2");
    EXPECT_EQ(SlotAt("1-1")->slotNumber, 1);
    EXPECT_EQ(SlotAt("1-2")->slotNumber, 2);
    const std::string log = LogText();
    EXPECT_EQ(CountOf(log, "Error:LoadUsbMapInfo open key failed."), 1u);
    EXPECT_EQ(CountOf(log, "Error:WriteUsbMap open key failed."), 2u);
}

}  // namespace
}  // namespace station_test
