// Start-up, the Idle / Running / Stopping states, counters and shutdown.
#include <gtest/gtest.h>
#include <algorithm>
#include <fstream>

#include "support/IniSettingBase.h"
#include "tests/app/concurrent/StationHarness.h"

namespace station_test {
namespace {

namespace C = StationControl;

class StationStateTest : public StationTest {};

TEST_F(StationStateTest, StartUpAppliesTheLanguageSetsTheCountersAndOpensTheLog) {
    BootGated();
    EXPECT_EQ(view_.Title(), LangText("LANG:IDS_TEXT_APPNAME") + " V1.55");
    EXPECT_EQ(view_.Text(C::kStartStopButton), "Start");
    EXPECT_EQ(view_.Text(C::kUnusedLabel), "Unused:");
    EXPECT_EQ(view_.Column(2), "Status");
    for (int id : {C::kSuccessCounter, C::kFailCounter, C::kTotalCounter}) {
        EXPECT_EQ(view_.Text(id), "00000");
    }
    EXPECT_NE(LangText("IDS_STOP_BUTTON"), "IDS_STOP_BUTTON");  // bare keys read PROMPT
    EXPECT_EQ(CountOf(LogText(), "Ostrel Running..."), 1u);
    EXPECT_EQ(State(), StationState::kIdle);
}

TEST_F(StationStateTest, WithoutALanguageTheWindowKeepsItsTextsAndKeysShowAsThemselves) {
    language_["Selected"] = "5";  // outside the table: becomes 1 only when LanKinds > 1
    language_["LanKinds"] = "0";
    BootGated();
    EXPECT_EQ(view_.Text(C::kKeyFileButton), "密钥文件");
    EXPECT_EQ(LangText("IDS_START_BUTTON"), "IDS_START_BUTTON");
}

TEST_F(StationStateTest, AMissingLanguageFileEndsStartUpWithLoaderConfigFailBeforeAnyScan) {
    language_["Lang1File"] = "Missing.ini";
    auto device = Plug("1-1");
    const StartupResult r = Boot(gate_.Proc());
    EXPECT_FALSE(r.started);
    EXPECT_EQ(r.exitCode, 0);
    queue_.RunFor(50);
    ASSERT_EQ(view_.Messages().size(), 1u);
    EXPECT_EQ(view_.Messages()[0].text, "Loader Config fail");
    EXPECT_EQ(view_.Messages()[0].caption, "");
    EXPECT_EQ(view_.Messages()[0].icon, MessageIcon::kNone);
    EXPECT_EQ(host_->PortCountRequests(), 0u);  // the tree was never walked
    EXPECT_EQ(controller_->CompletedRescans(), 0u);
    EXPECT_EQ(device->CommandCount(), 0u);
    EXPECT_FALSE(fs::exists(home_ / "log"));
}

TEST_F(StationStateTest, ThePlatformGetsTheStationLogWhileTheStationRunsAndNeverAfter) {
    std::vector<CLoggerBase*> handed;
    platform_->attachLog = [&handed](CLoggerBase* log) { handed.push_back(log); };
    ASSERT_TRUE(Boot(gate_.Proc()).started);
    ASSERT_EQ(handed.size(), 1u);
    ASSERT_NE(handed[0], nullptr);
    handed[0]->Print(0, "platform line");
    EXPECT_EQ(CountOf(LogText(), "platform line"), 1u);
    EXPECT_TRUE(controller_->OnClose());
    ASSERT_EQ(handed.size(), 2u);
    EXPECT_EQ(handed[1], nullptr);
}

// A path with '/' for every separator, to compare paths joined on either platform.
std::string Slashed(std::string path) {
    std::replace(path.begin(), path.end(), '\\', '/');
    return path;
}

TEST_F(StationStateTest, WithoutDeviceTablesTheStationRunsAndFindsNoBoard) {
    PlugAndSettle("1-1");
    fs::remove(home_ / "devices.ini");
    const StartupResult r = Boot(gate_.Proc());
    EXPECT_TRUE(r.started);
    EXPECT_TRUE(view_.Messages().empty());
    const std::string why =
        (home_ / "devices.ini").string() + ": not found, no loader board can be found";
    // The operator is told on the status line, not only in the log (either separator before
    // the file name: the station joins it to its folder with '/').
    EXPECT_EQ(Slashed(controller_->DeviceTablesProblem()), Slashed(why));
    EXPECT_EQ(Slashed(Model().ControlText(C::kStatusLine)), Slashed(why));
    // (The log is in the ANSI code page, where the profile's Chinese name may not exist.)
    EXPECT_EQ(CountOf(LogText(), "devices.ini: not found, no loader board can be found"), 1u);
    ASSERT_TRUE(RunUntil([&] { return controller_->CompletedRescans() >= 1; }));
    EXPECT_TRUE(controller_->SlotsSnapshot().empty());
}

TEST_F(StationStateTest, DeviceTablesWithoutVendorIdsAreNamedOnTheStatusLine) {
    PlugAndSettle("1-1");
    {
        std::ofstream devices(home_ / "devices.ini", std::ios::trunc);
        devices << "[Vendor]\r\n[ChipTable]\r\n";
    }
    ASSERT_TRUE(Boot(gate_.Proc()).started);
    const std::string why =
        (home_ / "devices.ini").string() + ": no vendor ids, no loader board can be found";
    EXPECT_EQ(Slashed(controller_->DeviceTablesProblem()), Slashed(why));
    EXPECT_EQ(Slashed(Model().ControlText(C::kStatusLine)), Slashed(why));
}

TEST_F(StationStateTest, StopWithTwoWorkersGoesThroughStoppingUntilTheSecondResult) {
    PlugAndSettle("1-1");
    BootGated();
    Plug("1-2");
    WaitBound("1-2");
    Press(C::kStartStopButton);
    ASSERT_TRUE(RunUntil([&] { return gate_.Running() == 2; }));
    EXPECT_EQ(State(), StationState::kRunning);
    EXPECT_EQ(view_.Text(C::kStartStopButton), LangText("IDS_STOP_BUTTON"));
    EXPECT_TRUE(view_.Enabled(C::kStartStopButton));
    for (int id : {C::kKeyFileButton, C::kExitButton, C::kConfigButton}) {
        EXPECT_FALSE(view_.Enabled(id)) << id;
    }

    Press(C::kStartStopButton);
    EXPECT_EQ(State(), StationState::kStopping);
    EXPECT_EQ(view_.Text(C::kStartStopButton), LangText("IDS_STOPPING_BUTTON"));
    EXPECT_FALSE(view_.Enabled(C::kStartStopButton));

    gate_.Release(1);
    ASSERT_TRUE(RunUntil([&] { return !SlotNumbered(1)->running; }));
    EXPECT_EQ(State(), StationState::kStopping);
    EXPECT_EQ(view_.Text(C::kStartStopButton), LangText("IDS_STOPPING_BUTTON"));
    EXPECT_FALSE(view_.Enabled(C::kStartStopButton));
    for (int id : {C::kKeyFileButton, C::kExitButton, C::kConfigButton}) {
        EXPECT_FALSE(view_.Enabled(id)) << id;
    }

    gate_.Release(2, false);
    ASSERT_TRUE(RunUntil([&] { return State() == StationState::kIdle; }));
    queue_.RunPending();
    EXPECT_EQ(view_.Text(C::kStartStopButton), LangText("IDS_START_BUTTON"));
    for (int id : {C::kStartStopButton, C::kKeyFileButton, C::kExitButton, C::kConfigButton}) {
        EXPECT_TRUE(view_.Enabled(id)) << id;
    }
    EXPECT_EQ(view_.Colour(0), kRowGreen);
    EXPECT_EQ(view_.Colour(1), kRowRed);
    EXPECT_EQ(view_.Cell(0, kColumnStatus), "done");
    EXPECT_EQ(view_.Text(C::kSuccessCounter), "00001");
    EXPECT_EQ(view_.Text(C::kFailCounter), "00001");
    EXPECT_EQ(view_.Text(C::kTotalCounter), "00002");
    // Both devices stay plugged in: their slots stay, with no second job.
    EXPECT_EQ(controller_->SlotsSnapshot().size(), 2u);
    EXPECT_EQ(gate_.Finished(), 2);
}

TEST_F(StationStateTest, StopWithoutRunningWorkersReturnsToIdleAtOnce) {
    BootGated();
    Press(C::kStartStopButton);
    EXPECT_EQ(State(), StationState::kRunning);
    Press(C::kStartStopButton);
    EXPECT_EQ(State(), StationState::kIdle);
    EXPECT_EQ(view_.Text(C::kStartStopButton), LangText("IDS_START_BUTTON"));
    EXPECT_TRUE(view_.Enabled(C::kStartStopButton));
    EXPECT_TRUE(view_.Enabled(C::kExitButton));
}

TEST_F(StationStateTest, StartWithKeyboxWritingAndNoKeyFileChangesNothing) {
    system_["WriteKeybox"] = "1";
    PlugAndSettle("1-1");
    BootGated();
    const std::string before = view_.Text(C::kStartStopButton);
    Press(C::kStartStopButton);
    EXPECT_EQ(State(), StationState::kIdle);
    EXPECT_EQ(view_.Text(C::kStartStopButton), before);
    EXPECT_TRUE(view_.Messages().empty());
    EXPECT_FALSE(SlotAt("1-1")->running);

    controller_->MutableSettings().WriteKeybox = 0;
    Press(C::kStartStopButton);
    EXPECT_EQ(State(), StationState::kRunning);
    ASSERT_TRUE(RunUntil([&] { return gate_.Running() == 1; }));
}

TEST_F(StationStateTest, StartBeginsOneWorkerPerPresentSlotInAscendingSlotOrder) {
    // Stored numbers make the slot order differ from the port order.
    ASSERT_TRUE(portMap_->Write("1-1", 3));
    ASSERT_TRUE(portMap_->Write("1-2", 1));
    ASSERT_TRUE(portMap_->Write("1-3", 2));
    Plug("1-1");
    Plug("1-2");
    Plug("1-3");
    BootGated();
    ASSERT_EQ(controller_->SlotsSnapshot().size(), 3u);

    std::vector<int> started;  // written on this thread: Start runs here
    controller_->SetWorkerStartObserver([&](int slot) { started.push_back(slot); });
    Press(C::kStartStopButton);
    EXPECT_EQ(started, (std::vector<int>{1, 2, 3}));
    ASSERT_TRUE(RunUntil([&] { return gate_.Running() == 3; }));
    EXPECT_EQ(SlotNumbered(1)->portLocation, "1-2");
    controller_->SetWorkerStartObserver({});
}

TEST_F(StationStateTest, CountersRollOverFromAllNinesToAllZeros) {
    BootGated();
    Model().SetControlText(C::kSuccessCounter, "99999");
    Model().SetControlText(C::kTotalCounter, "99998");
    controller_->IncreaseSuccess();
    EXPECT_EQ(Model().ControlText(C::kSuccessCounter), "00000");
    EXPECT_EQ(Model().ControlText(C::kTotalCounter), "99999");
    controller_->IncreaseFail();
    EXPECT_EQ(Model().ControlText(C::kTotalCounter), "00000");
    EXPECT_EQ(Model().ControlText(C::kFailCounter), "00001");
    queue_.RunPending();
    EXPECT_EQ(view_.Text(C::kTotalCounter), "00000");
}

TEST_F(StationStateTest, CountersStayExactUnderManyConcurrentJobsEnding) {
    BootGated();
    Model().SetControlText(C::kUnusedLabel, "Unused:1000");
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 100; ++i) {
                if ((i + t) % 3 == 0) {
                    controller_->IncreaseFail();
                } else {
                    controller_->IncreaseSuccess();
                }
                controller_->DecreaseUnused();
            }
        });
    }
    for (auto& t : threads) {
        t.join();
    }
    int fails = 0;
    for (int t = 0; t < 8; ++t) {
        for (int i = 0; i < 100; ++i) {
            fails += (i + t) % 3 == 0 ? 1 : 0;
        }
    }
    EXPECT_EQ(Model().ControlText(C::kTotalCounter), "00800");
    EXPECT_EQ(Model().ControlText(C::kFailCounter), "00" + std::to_string(fails));
    EXPECT_EQ(Model().ControlText(C::kSuccessCounter), "00" + std::to_string(800 - fails));
    EXPECT_EQ(Model().ControlText(C::kUnusedLabel), "Unused:200");
}

TEST_F(StationStateTest, CloseIsRefusedWhileRunningAndStoppingAndSavesTheSettingsWhenIdle) {
    PlugAndSettle("1-1");
    BootGated();
    Press(C::kStartStopButton);
    ASSERT_TRUE(RunUntil([&] { return gate_.Running() == 1; }));
    EXPECT_FALSE(controller_->OnClose());
    Press(C::kStartStopButton);
    ASSERT_EQ(State(), StationState::kStopping);
    EXPECT_FALSE(controller_->OnClose());  // the worker still uses the key file and the log
    EXPECT_FALSE(view_.Closed());

    gate_.Release(1);
    ASSERT_TRUE(RunUntil([&] { return State() == StationState::kIdle; }));
    controller_->MutableSettings().DestPosition = 2;
    EXPECT_TRUE(controller_->OnClose());
    EXPECT_TRUE(view_.Closed());
    EXPECT_TRUE(controller_->IsShutDown());
    EXPECT_FALSE(controller_->OnClose());  // once only
    CIniSettingBase saved;
    ASSERT_TRUE(saved.Load((home_ / "config.ini").string()));
    EXPECT_EQ(saved.DestPosition, 2);
    // An empty save folder became the application folder at start-up, so that the configuration
    // dialog's OK works on a fresh home; the filesystem's root is neither used nor saved back.
    EXPECT_EQ(saved.SavePath, controller_->Settings().exeFolder);
    EXPECT_NE(saved.SavePath, "/");

    // Nothing happens after the shutdown: notices are no longer taken.
    const uint64_t rescans = controller_->CompletedRescans();
    Plug("1-2");
    queue_.RunFor(50);
    EXPECT_EQ(controller_->CompletedRescans(), rescans);
}

TEST_F(StationStateTest, ShutdownWaitsOutARescanThatOverrunsTheStopPeriod) {
    scanStopWaitMs_ = 1;
    BootGated();
    // Five new hubs that can't be opened: the next walk tries each three times, 1 s apart.
    for (int port = 1; port <= 5; ++port) {
        host_->SetHubOpenFailures("1-" + std::to_string(port), 3);
    }
    const uint64_t before = host_->PortCountRequests();
    for (int port = 1; port <= 5; ++port) {
        ASSERT_FALSE(host_->AddHub("1", port, 4).empty());
    }
    ASSERT_TRUE(RunUntil([&] { return host_->PortCountRequests() > before; }));
    controller_->OnClose();  // finishes now, or once the rescan has ended
    ASSERT_TRUE(RunUntil([&] { return view_.Closed(); }));
    EXPECT_TRUE(controller_->IsShutDown());
    // The rescan was let finish: every hub got its three attempts.
    EXPECT_GE(host_->PortCountRequests() - before, 15u);
    const std::string log = LogText();
    EXPECT_EQ(CountOf(log, "Error:Scan thread did not end within 1 ms, waiting for it"), 1u);
}

// A clock whose sleeps wait while it is held: a rescan that meets a hub needing another attempt
// stays in its pause until the test lets it go.
class HeldClock final : public IClock {
  public:
    uint64_t NowMs() override { return inner_.NowMs(); }
    void SleepMs(uint32_t ms) override {
        {
            std::unique_lock<std::mutex> guard(lock_);
            ++sleeping_;
            changed_.notify_all();
            changed_.wait(guard, [&] { return !held_; });
            --sleeping_;
        }
        inner_.SleepMs(ms);
    }
    void Hold() {
        std::lock_guard<std::mutex> guard(lock_);
        held_ = true;
    }
    void Release() {
        std::lock_guard<std::mutex> guard(lock_);
        held_ = false;
        changed_.notify_all();
    }
    bool Sleeping() {
        std::lock_guard<std::mutex> guard(lock_);
        return sleeping_ > 0;
    }

  private:
    FastClock inner_{50};
    std::mutex lock_;
    std::condition_variable changed_;
    bool held_ = false;
    int sleeping_ = 0;
};

TEST_F(StationStateTest, TheMainThreadGoesOnDispatchingWhileShutdownWaitsForASlowRescan) {
    HeldClock held;
    platform_ = std::make_unique<StationPlatform>(StationPlatform{
        *host_, *host_, *host_, held, *portMap_, homeFolder_.Folder(), [] { return kToday; }, {}});
    scanStopWaitMs_ = 1;
    BootGated();
    // A new hub that can't be opened at once: the rescan pauses before its next attempt, and the
    // pause lasts until the test ends it.
    held.Hold();
    host_->SetHubOpenFailures("1-1", 1);
    ASSERT_FALSE(host_->AddHub("1", 1, 4).empty());
    ASSERT_TRUE(RunUntil([&] { return held.Sleeping(); }));

    // Should the close wait on this thread, the watchdog ends the pause, and the close is seen
    // to have returned only after it.
    std::atomic<bool> returned = false;
    std::atomic<bool> releasedByWatchdog = false;
    std::thread watchdog([&] {
        for (int i = 0; i < 2000 && !returned; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        if (!returned) {
            releasedByWatchdog = true;
            held.Release();
        }
    });
    const bool closedAtOnce = controller_->OnClose();
    returned = true;
    watchdog.join();
    EXPECT_FALSE(releasedByWatchdog);
    EXPECT_FALSE(closedAtOnce);
    EXPECT_TRUE(controller_->IsClosing());
    EXPECT_FALSE(view_.Closed());

    // Meanwhile the main thread runs what is posted to it, model changes included; the buttons
    // are off and a second close, Start or a key file are refused.
    bool ran = false;
    queue_.Post([&] { ran = true; });
    Model().SetCellText(5, kColumnStatus, "still drawing");
    queue_.RunPending();
    EXPECT_TRUE(ran);
    EXPECT_EQ(view_.Cell(5, kColumnStatus), "still drawing");
    for (int id : {C::kStartStopButton, C::kKeyFileButton, C::kExitButton, C::kConfigButton}) {
        EXPECT_FALSE(view_.Enabled(id)) << id;
    }
    EXPECT_FALSE(controller_->OnClose());
    Press(C::kStartStopButton);
    EXPECT_EQ(State(), StationState::kIdle);
    EXPECT_FALSE(controller_->IsShutDown());

    // The rescan ends: the shutdown finishes on the main thread and the window closes.
    held.Release();
    ASSERT_TRUE(RunUntil([&] { return view_.Closed(); }));
    EXPECT_TRUE(controller_->IsShutDown());
    EXPECT_FALSE(controller_->IsClosing());
    EXPECT_TRUE(fs::exists(home_ / "config.ini"));
    EXPECT_EQ(CountOf(LogText(), "Error:Scan thread did not end within 1 ms, waiting for it"), 1u);
}

TEST_F(StationStateTest, AWorkerThatEndsWithoutAResultStillFreesItsSlot) {
    Plug("1-1");
    ASSERT_TRUE(Boot([](IWorkerHost&, int) {}).started);
    Settle();
    Press(C::kStartStopButton);
    Press(C::kStartStopButton);
    ASSERT_TRUE(RunUntil([&] { return State() == StationState::kIdle; }));
    EXPECT_FALSE(SlotAt("1-1")->running);
    EXPECT_EQ(view_.Colour(0), kRowRed);
    EXPECT_EQ(CountOf(LogText(), "<ID 1>Error:worker ended without a result"), 1u);
    EXPECT_EQ(view_.Text(C::kTotalCounter), "00000");  // nothing was counted for it
}

TEST_F(StationStateTest, ConfigurationOpensOnlyWhileIdle) {
    PlugAndSettle("1-1");
    BootGated();
    Press(C::kConfigButton);
    EXPECT_EQ(view_.ConfigDialogs(), 1);
    Press(C::kStartStopButton);
    Press(C::kConfigButton);
    Press(C::kStartStopButton);  // stopping: the worker still runs
    Press(C::kConfigButton);
    EXPECT_EQ(view_.ConfigDialogs(), 1);
}

TEST_F(StationStateTest, OnlyTheThreeDeviceChangeEventsAskForARescan) {
    BootGated();
    controller_->OnDeviceChangeEvent(0x0018);
    controller_->OnDeviceChangeEvent(0x8001);
    EXPECT_EQ(controller_->PendingRescans(), 0);
    host_->Stop();  // only the calls below count
    const uint64_t before = controller_->CompletedRescans();
    controller_->OnDeviceChangeEvent(0x0007);
    controller_->OnDeviceChangeEvent(0x8000);
    controller_->OnDeviceChangeEvent(0x8004);
    ASSERT_TRUE(RunUntil([&] { return !controller_->RescanBusy(); }));
    EXPECT_EQ(controller_->CompletedRescans() - before, 3u);
}

}  // namespace
}  // namespace station_test
