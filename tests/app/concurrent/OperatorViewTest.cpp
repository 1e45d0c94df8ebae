// What the operator sees of a run: results that stay after their boards have gone, refusals that
// say why, the unused-key label running low and out, and the calls for attention.
#include <gtest/gtest.h>

#include <mutex>
#include <string>

#include "keydb/KeySource.h"
#include "support/IniSettingBase.h"
#include "tests/app/concurrent/StationHarness.h"

namespace station_test {
namespace {

namespace C = StationControl;

class OperatorViewTest : public StationTest {
  protected:
    // The slot number each port was bound to.
    std::map<std::string, int> SlotOfPort() {
        std::map<std::string, uint32_t> stored;
        EXPECT_TRUE(portMap_->ReadAll(&stored));
        std::map<std::string, int> out;
        for (const auto& [path, number] : stored) {
            out[path] = static_cast<int>(number);  // simulated device paths are their ports
        }
        return out;
    }
};

TEST_F(OperatorViewTest, ABatchWithResetAfterWritingEndsWithEveryResultStillShown) {
    system_["WriteKeybox"] = "1";
    system_["ResetAfterWrite"] = "1";
    system_["LowKeys"] = "8";
    const std::string kdb = MakeKeyFile("keys.kdb", 12, 512, {0, 1});
    const std::vector<std::string> ports = {"1-1", "1-2", "1-3", "1-4"};
    for (size_t i = 0; i < ports.size(); ++i) {
        Plug(ports[i], static_cast<int>(i));
    }
    BootReal();
    controller_->LoadKeyFile(kdb);
    queue_.RunPending();
    EXPECT_EQ(view_.Text(C::kUnusedLabel), "Unused:10");
    EXPECT_EQ(view_.ControlColour(C::kUnusedLabel), std::nullopt);  // 10 is not below 8

    Press(C::kStartStopButton);
    ASSERT_TRUE(RunUntil([&] { return view_.Text(C::kTotalCounter) == "00004"; }, 60000));
    // Every board resets at the end of its job and leaves the bus: the slots free up.
    ASSERT_TRUE(RunUntil([&] { return controller_->SlotsSnapshot().empty(); }, 60000));
    Settle();
    EXPECT_EQ(view_.Text(C::kSuccessCounter), "00004");

    const std::map<std::string, int> slotOf = SlotOfPort();
    ASSERT_EQ(slotOf.size(), ports.size());
    for (const auto& [port, slot] : slotOf) {
        const int row = slot - 1;
        EXPECT_EQ(view_.Colour(row), kRowGreen) << port;
        EXPECT_EQ(view_.Cell(row, kColumnLocation), port);
        const std::string& status = view_.Cell(row, kColumnStatus);
        EXPECT_EQ(status.rfind(LangText("IDS_PROCCESS_OK"), 0), 0u) << status;
        EXPECT_EQ(view_.Mark(row), LangText("IDS_DEVICE_LEFT"));
    }
    // Rows of slots no board ever took stay empty.
    EXPECT_EQ(view_.Cell(5, kColumnLocation), "");
    EXPECT_EQ(view_.Colour(5), std::nullopt);

    // Six keys left, fewer than eight: amber, and nothing said yet.
    EXPECT_EQ(view_.Text(C::kUnusedLabel), "Unused:6");
    EXPECT_EQ(view_.ControlColour(C::kUnusedLabel), kRowAmber);
    EXPECT_EQ(view_.Text(C::kStatusLine), "");
    // One call for attention: the batch's end.
    EXPECT_EQ(view_.Attention(), 1);

    // One of the boards comes back in its loader: it takes its slot, and the old result goes.
    Plug("1-3", 2);
    WaitBound("1-3");
    queue_.RunPending();
    const int row = slotOf.at("1-3") - 1;
    // (Its new job may already have ended: the board holds its key, and is told so quickly.)
    EXPECT_NE(view_.Colour(row), kRowGreen);
    EXPECT_EQ(view_.Mark(row), "");
    EXPECT_EQ(view_.Cell(row, kColumnLocation), "1-3");
    Press(C::kStartStopButton);
    ASSERT_TRUE(RunUntil([&] { return State() == StationState::kIdle; }));
}

TEST_F(OperatorViewTest, KeysRunningOutTurnTheLabelRedAndTheStatusLineSaysSoOnce) {
    system_["WriteKeybox"] = "1";
    const std::string kdb = MakeKeyFile("keys.kdb", 5, 512, {1, 3});  // three unused
    for (int p = 1; p <= 4; ++p) {
        Plug("1-" + std::to_string(p), p);
    }
    BootReal();
    controller_->LoadKeyFile(kdb);
    queue_.RunPending();
    EXPECT_EQ(view_.ControlColour(C::kUnusedLabel), kRowAmber);  // 3 < 16, the default

    Press(C::kStartStopButton);
    ASSERT_TRUE(RunUntil([&] { return view_.Text(C::kTotalCounter) == "00004"; }, 60000));
    ASSERT_TRUE(RunUntil([&] { return !FindSlot([](auto& s) { return s.running != 0; }); }));
    queue_.RunPending();
    EXPECT_EQ(view_.Text(C::kSuccessCounter), "00003");
    EXPECT_EQ(view_.Text(C::kFailCounter), "00001");
    EXPECT_EQ(view_.Text(C::kUnusedLabel), "Unused:0");
    EXPECT_EQ(view_.ControlColour(C::kUnusedLabel), kRowRed);
    EXPECT_EQ(view_.Text(C::kStatusLine), LangText("IDS_KEYS_OUT"));

    // The label never counts below what there is.
    controller_->DecreaseUnused();
    queue_.RunPending();
    EXPECT_EQ(view_.Text(C::kUnusedLabel), "Unused:0");
    EXPECT_EQ(CountOf(LogText(), "Warning:No unused keys left"), 1u);
    // The failed job asked for attention; the batch's end did too, unless it was that same job.
    EXPECT_GE(view_.Attention(), 1);
    EXPECT_LE(view_.Attention(), 2);

    // A new key file: the warning goes and the label's colour with it.
    Press(C::kStartStopButton);
    ASSERT_TRUE(RunUntil([&] { return State() == StationState::kIdle; }));
    controller_->LoadKeyFile(MakeKeyFile("more.kdb", 40, 512));
    queue_.RunPending();
    EXPECT_EQ(view_.Text(C::kUnusedLabel), "Unused:40");
    EXPECT_EQ(view_.ControlColour(C::kUnusedLabel), std::nullopt);
    EXPECT_EQ(view_.Text(C::kStatusLine), "");
}

TEST_F(OperatorViewTest, RefusalsSayWhyAndAlertsComeOncePerFailureAndBatchEnd) {
    system_["LowKeys"] = "5";
    system_["StuckSeconds"] = "0";
    PlugAndSettle("1-1");
    PlugAndSettle("1-2");
    PlugAndSettle("1-3");
    BootGated();
    Press(C::kStartStopButton);
    ASSERT_TRUE(RunUntil([&] { return gate_.Running() == 3; }));

    EXPECT_FALSE(controller_->OnClose());
    queue_.RunPending();
    EXPECT_EQ(view_.Text(C::kStatusLine), LangText("IDS_CLOSE_RUNNING"));
    EXPECT_EQ(CountOf(LogText(), "Error:Close refused: the station is running; stop it first"), 1u);

    gate_.Release(1);  // a success with others running: nothing to say
    ASSERT_TRUE(RunUntil([&] { return !SlotNumbered(1)->running; }));
    EXPECT_EQ(view_.Attention(), 0);

    Press(C::kStartStopButton);
    ASSERT_EQ(State(), StationState::kStopping);
    EXPECT_FALSE(controller_->OnClose());
    queue_.RunPending();
    EXPECT_EQ(view_.Text(C::kStatusLine), LangText("IDS_CLOSE_STOPPING"));
    EXPECT_EQ(CountOf(LogText(), "Error:Close refused: jobs are still running"), 1u);

    gate_.Release(2, false);  // a failure
    ASSERT_TRUE(RunUntil([&] { return !SlotNumbered(2)->running; }));
    EXPECT_EQ(view_.Attention(), 1);
    gate_.Release(3);  // the batch's last job
    ASSERT_TRUE(RunUntil([&] { return State() == StationState::kIdle; }));
    queue_.RunPending();
    EXPECT_EQ(view_.Attention(), 2);

    // Switched off: failures and batch ends pass quietly.
    controller_->MutableSettings().Alerts = 0;
    Press(C::kStartStopButton);
    ASSERT_TRUE(RunUntil([&] { return gate_.Running() == 3; }));
    EXPECT_EQ(view_.Text(C::kStatusLine), "");  // a successful Start clears the last refusal
    gate_.Release(1, false);
    gate_.Release(2, false);
    gate_.Release(3, false);
    ASSERT_TRUE(RunUntil([&] { return !FindSlot([](auto& s) { return s.running != 0; }); }));
    queue_.RunPending();
    EXPECT_EQ(view_.Attention(), 2);
    Press(C::kStartStopButton);

    // The window's keys are kept: read, and written back with the settings.
    EXPECT_EQ(controller_->Settings().LowKeys, 5);
    EXPECT_EQ(controller_->Settings().StuckSeconds, 0);
    EXPECT_TRUE(controller_->OnClose());
    const std::string saved = ReadText(home_ / "config.ini");
    EXPECT_EQ(CountOf(saved, "\r\nLowKeys=5\r\n"), 1u);
    EXPECT_EQ(CountOf(saved, "\r\nStuckSeconds=0\r\n"), 1u);
    EXPECT_EQ(CountOf(saved, "\r\nAlerts=0\r\n"), 1u);
}

TEST_F(OperatorViewTest, WindowKeysMissingFromTheFileTakeTheirDefaultsAndAreNotAdded) {
    system_["LowKeys"] = "-4";  // out of range: the default, and start-up says so
    BootGated();
    EXPECT_EQ(controller_->Settings().LowKeys, 16);
    EXPECT_EQ(controller_->Settings().Alerts, 1);
    EXPECT_EQ(controller_->Settings().StuckSeconds, 120);
    EXPECT_EQ(CountOf(LogText(), "LowKeys"), 1u);  // among the keys that fell back
    EXPECT_TRUE(controller_->OnClose());
    const std::string saved = ReadText(home_ / "config.ini");
    EXPECT_EQ(CountOf(saved, "LowKeys=16"), 1u);
    EXPECT_EQ(CountOf(saved, "Alerts"), 0u);
    EXPECT_EQ(CountOf(saved, "StuckSeconds"), 0u);
}

TEST_F(OperatorViewTest, JobTimesStuckJobsAndTheShiftSummary) {
    station_fixture::HandClock clock(1000000);
    jobClock_ = &clock;
    system_["StuckSeconds"] = "60";
    for (int p = 1; p <= 5; ++p) {
        PlugAndSettle("1-" + std::to_string(p));
    }
    BootGated();
    Press(C::kStartStopButton);
    ASSERT_TRUE(RunUntil([&] { return gate_.Running() == 5; }));
    EXPECT_EQ(view_.Time(0), "0:00");
    EXPECT_EQ(view_.Text(C::kSummaryLabel), "");  // nothing ended yet

    // 59 s: running, not stuck. 61 s: every job is stuck, each said once.
    clock.Advance(59000);
    controller_->OnClockTick();
    queue_.RunPending();
    EXPECT_EQ(view_.Time(2), "0:59");
    EXPECT_EQ(view_.Colour(2), std::nullopt);
    clock.Advance(2000);
    controller_->OnClockTick();
    controller_->OnClockTick();
    queue_.RunPending();
    EXPECT_EQ(view_.Time(2), "1:01");
    EXPECT_EQ(view_.Colour(2), kRowAmber);
    EXPECT_EQ(CountOf(LogText(), "<ID 3>Warning:job running for 61 s, longer than StuckSeconds"),
              1u);
    EXPECT_EQ(gate_.Running(), 5);  // stuck jobs go on

    gate_.Release(1, false, "Device not ready");
    gate_.Release(2, false, "Device not ready");
    clock.Advance(14000);
    gate_.Release(3, false, "Failed to write key");
    gate_.Release(4, true);
    // Every one of the four results must have reached the controller before the clock moves on.
    ASSERT_TRUE(RunUntil([&] {
        for (int n = 1; n <= 4; ++n) {
            if (SlotNumbered(n)->running) {
                return false;
            }
        }
        return true;
    }));
    queue_.RunPending();
    EXPECT_EQ(view_.Colour(3), kRowGreen);  // the result's colour replaces the amber
    EXPECT_EQ(view_.Time(3), "1:15");       // a finished row keeps its job's duration
    ShiftSummary summary = controller_->Summary();
    // Four in the 75 s since the first job started: the rate over that time, not ten minutes.
    EXPECT_EQ(summary.jobsPerHour, 192);
    EXPECT_EQ(summary.paceMinutes, 1);
    ASSERT_EQ(summary.topFailures.size(), 2u);
    EXPECT_EQ(summary.topFailures[0], (std::pair<std::string, int>{"Device not ready", 2}));
    EXPECT_EQ(summary.topFailures[1], (std::pair<std::string, int>{"Failed to write key", 1}));

    // Later: the pace counts only the last ten minutes, the failures count the whole run.
    clock.Advance(11 * 60 * 1000);
    gate_.Release(5, false, "No unused key available");
    ASSERT_TRUE(RunUntil([&] { return !SlotNumbered(5)->running; }));
    queue_.RunPending();
    summary = controller_->Summary();
    EXPECT_EQ(summary.jobsPerHour, 6);
    ASSERT_EQ(summary.topFailures.size(), 3u);
    EXPECT_EQ(summary.topFailures[0].first, "Device not ready");
    EXPECT_EQ(view_.Text(C::kSummaryLabel),
              "6 jobs/h (last 10 min)"
              "\n2 x Device not ready\n1 x Failed to write key\n1 x No unused key available");
    EXPECT_EQ(view_.Time(4), "12:15");
    clock.Advance(10 * 60 * 1000);
    controller_->OnClockTick();
    queue_.RunPending();
    EXPECT_EQ(controller_->Summary().jobsPerHour, 0);
    Press(C::kStartStopButton);
}

// A key source far away, as the shared pool is: counts that other stations change, and a
// connection the test can cut. It hands out no keys.
class RemoteSource final : public IKeySource {
  public:
    std::atomic<int64_t> unused{40};
    std::atomic<bool> reachable{true};
    std::atomic<int> reads{0};

    bool TakeKey(const KeyJobInfo&, int32_t*, KeyCopy*) override { return false; }
    bool ReserveKey(int32_t, const KeyJobInfo&) override { return false; }
    bool DeliverKey(int32_t, const KeyJobInfo&) override { return false; }
    bool SpendKey(int32_t, const KeyJobInfo&, const std::string&, int) override { return false; }
    bool ReturnUnsentKey(int32_t, const KeyJobInfo&) override { return false; }
    bool IsUsedKey(const uint8_t*, size_t) override { return false; }
    bool WasReservedFor(const std::string&) override { return false; }
    bool GetCounts(KeySourceCounts* out) override {
        ++reads;
        if (!reachable) {
            return false;
        }
        out->keys = 100;
        out->unused = unused;
        out->inDoubt = 0;
        return true;
    }
    int32_t GetKeySize() const override { return 512; }
    const uint8_t* GetRecordInfo() const override { return nullptr; }
    std::string GetCreateTime() const override { return "2026-01-31 12:00:00"; }
    std::string Describe() const override { return "pool line-2 at db.example"; }
    bool IsBroken() const override { return false; }
    std::string Server() override {
        std::lock_guard<std::mutex> guard(serverLock_);
        return server_;
    }
    void MoveTo(const std::string& server) {
        std::lock_guard<std::mutex> guard(serverLock_);
        server_ = server;
    }

  private:
    std::mutex serverLock_;
    std::string server_ = "db1.example:5432";
};

TEST_F(OperatorViewTest, ThePoolsCountsFollowOtherStationsAndALostConnectionOrAFailoverIsSaid) {
    keyCountRefreshMs_ = 5;
    BootGated();
    auto owned = std::make_unique<RemoteSource>();
    RemoteSource& pool = *owned;
    ASSERT_TRUE(controller_->LoadKeySource(std::move(owned)));
    queue_.RunPending();
    EXPECT_EQ(view_.Text(C::kKeyFileLabel), "Key file:pool line-2 at db.example");
    EXPECT_EQ(view_.Text(C::kKeyCountLabel), "Keys:100");
    EXPECT_EQ(view_.Text(C::kUnusedLabel), "Unused:40");

    // Other stations draw keys: the label follows while this one is idle.
    pool.unused = 31;
    ASSERT_TRUE(RunUntil([&] { return view_.Text(C::kUnusedLabel) == "Unused:31"; }));

    // The connection goes: said once in the status line and the log, however many reads fail.
    pool.reachable = false;
    ASSERT_TRUE(RunUntil([&] { return view_.Text(C::kStatusLine) == LangText("IDS_POOL_LOST"); }));
    const int failed = pool.reads;
    ASSERT_TRUE(RunUntil([&] { return pool.reads > failed + 3; }));
    queue_.RunPending();
    EXPECT_EQ(CountOf(LogText(), "the connection is lost"), 1u);
    EXPECT_EQ(view_.Text(C::kUnusedLabel), "Unused:31");  // the last known count stays

    // It comes back, with fewer keys than LowKeys: said, and the label turns amber.
    pool.unused = 12;
    pool.reachable = true;
    ASSERT_TRUE(RunUntil([&] { return view_.Text(C::kStatusLine) == LangText("IDS_POOL_BACK"); }));
    ASSERT_TRUE(RunUntil([&] { return view_.Text(C::kUnusedLabel) == "Unused:12"; }));
    EXPECT_EQ(view_.ControlColour(C::kUnusedLabel), kRowAmber);
    EXPECT_EQ(CountOf(LogText(), "the connection is back"), 1u);

    // A failover: the pool is on another server now, said in the status line.
    pool.MoveTo("db2.example:5432");
    ASSERT_TRUE(RunUntil(
        [&] { return view_.Text(C::kStatusLine) == "key pool: now on db2.example:5432"; }));
    // A pool call lost in the switch fails its job; the station carries on (a key file's
    // failure stops it).
    Press(C::kStartStopButton);
    ASSERT_EQ(controller_->State(), StationState::kRunning);
    controller_->KeyFileFailed();
    queue_.RunPending();
    EXPECT_EQ(controller_->State(), StationState::kRunning);
    EXPECT_EQ(CountOf(LogText(), "the station carries on"), 1u);
    EXPECT_EQ(view_.Text(C::kStatusLine), LangText("IDS_POOL_LOST"));
    Press(C::kStartStopButton);
    queue_.RunPending();

    // A key file replaces the pool (which goes with its reads): no late read lands any more.
    controller_->LoadKeyFile(MakeKeyFile("keys.kdb", 20, 64));
    queue_.RunFor(30);
    queue_.RunPending();
    EXPECT_EQ(view_.Text(C::kUnusedLabel), "Unused:20");
    EXPECT_EQ(view_.ControlColour(C::kUnusedLabel), std::nullopt);
    EXPECT_EQ(view_.Text(C::kStatusLine), "");
    EXPECT_TRUE(controller_->OnClose());
}

}  // namespace
}  // namespace station_test
