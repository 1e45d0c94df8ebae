// One station scenario for every operator window: the real controller on simulated boards drives
// the window through a decorator view that keeps what it was told; at each step the window's own
// state, read back from its controls, must equal what it was told, and the read-back states of
// all steps are written as text so that two windows' runs can be compared line by line.
//
// The scenario covers every view call the controller makes while it runs, in practice mode (the
// banner in the title and on the status line): texts, enabling, the focus after every action,
// the unused-key label's amber and red, a damaged key file, a refused Start, a refused close and a
// refused session end on the status line, a stuck job's amber row and its time, green and red
// rows, a board that has its key already in its own colour, boards that left marked as such, a
// failed board that keeps its row after Stop and a re-plug, the shift summary with three failure
// texts, the calls for attention, the configuration dialog and the session's end. Message boxes,
// the file chooser and the configuration dialog are modal; the decorator records them and does
// not pass them on, and the end of the station does not close the window under test.
//
// The window's event loop and read-back come from the test through ViewProbe; everything else is
// portable and has no platform header.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "app/JobResults.h"
#include "app/MainThreadPoster.h"
#include "app/PortMapStore.h"
#include "app/StationController.h"
#include "app/StationView.h"
#include "keydb/KeyFileWriter.h"
#include "platform/sim/DemoImage.h"
#include "platform/sim/LoaderEmulator.h"
#include "platform/sim/SimUsbHost.h"
#include "support/Clock.h"
#include "support/IniSettingBase.h"
#include "tests/common/StationHome.h"

namespace view_parity {

namespace C = StationControl;

// Every control of dialog 102 whose text, enabling or colour the controller sets.
inline constexpr int kControls[] = {
    C::kKeyFileButton,  C::kStartStopButton, C::kExitButton,   C::kConfigButton,
    C::kSuccessCaption, C::kSuccessCounter,  C::kFailCaption,  C::kFailCounter,
    C::kTotalCaption,   C::kTotalCounter,    C::kKeyFileLabel, C::kKeyCountLabel,
    C::kUnusedLabel,    C::kCreateTimeLabel, C::kStatusLine,   C::kSummaryLabel,
};

// What a window shows. The status cell is the status text followed by the row's mark; the
// summary is its whole text (a window may cut its lines to fit, keeping the whole as tool tip).
struct ShownState {
    struct Row {
        std::array<std::string, kTableColumns> cells;
        std::string time;
        std::optional<RowColour> colour;
        bool operator==(const Row&) const = default;
    };
    std::string title;
    std::map<int, std::string> texts;
    std::map<int, bool> enabled;
    std::map<int, std::optional<RowColour>> colours;
    std::array<std::string, kTableColumns> columns;
    std::array<Row, kTableRows> rows;
    int attention = 0;
    int focus = 0;  // the button with the keyboard focus, 0: none

    bool operator==(const ShownState&) const = default;

    static std::string Colour(const std::optional<RowColour>& c) {
        if (!c) {
            return "-";
        }
        char text[8];
        std::snprintf(text, sizeof text, "#%02x%02x%02x", c->red, c->green, c->blue);
        return text;
    }
    static std::string Escaped(const std::string& text) {
        std::string out;
        for (char ch : text) {
            out += ch == '\n' ? std::string("\\n") : std::string(1, ch);
        }
        return out;
    }

    // One line per item; `replace` pairs (from, to) hide what differs between machines.
    std::string Dump(const std::vector<std::pair<std::string, std::string>>& replace = {}) const {
        std::string out = "title " + title + "\n";
        for (int id : kControls) {
            const auto text = texts.find(id);
            const auto on = enabled.find(id);
            const auto colour = colours.find(id);
            out += "control " + std::to_string(id) + " [" +
                   Escaped(text == texts.end() ? std::string() : text->second) + "] " +
                   (on == enabled.end() || on->second ? "on" : "off") + " " +
                   Colour(colour == colours.end() ? std::nullopt : colour->second) + "\n";
        }
        for (int c = 0; c < kTableColumns; ++c) {
            out += "column " + std::to_string(c) + " " + columns[static_cast<size_t>(c)] + "\n";
        }
        for (int r = 0; r < kTableRows; ++r) {
            const Row& row = rows[static_cast<size_t>(r)];
            out += "row " + std::to_string(r) + " " + Colour(row.colour) + " [" + row.cells[0] +
                   "] [" + row.cells[1] + "] [" + row.cells[2] + "] [" + row.time + "]\n";
        }
        out += "attention " + std::to_string(attention) + "\n";
        out += "focus " + std::to_string(focus) + "\n";
        for (const auto& [from, to] : replace) {
            for (size_t at = out.find(from); !from.empty() && at != std::string::npos;
                 at = out.find(from, at + to.size())) {
                out.replace(at, from.size(), to);
            }
        }
        return out;
    }
};

// Forwards every view call to the window under test and keeps what it says.
class CParityView final : public IStationView {
  public:
    explicit CParityView(IStationView& window) : window_(window) {
        for (int id : kControls) {
            told_.enabled[id] = true;
            told_.colours[id] = std::nullopt;
        }
    }

    const ShownState& Told() const { return told_; }
    // The kinds of calls made so far ("ShowRowMark", ...).
    const std::set<std::string>& Kinds() const { return kinds_; }
    // The modal calls in order ("ShowMessage", "RunConfigDialog", "CloseWindow", ...).
    const std::vector<std::string>& Modals() const { return modals_; }
    // Called at each modal call, before it returns (the window's queue may be drained there, as
    // a modal loop does).
    void SetModalHook(std::function<void(const std::string&)> hook) { hook_ = std::move(hook); }

    void ShowWindowTitle(const std::string& title) override {
        Note("ShowWindowTitle");
        told_.title = title;
        window_.ShowWindowTitle(title);
    }
    void ShowControlText(int id, const std::string& text) override {
        Note("ShowControlText");
        told_.texts[id] = text;
        window_.ShowControlText(id, text);
    }
    void ShowControlEnabled(int id, bool enabled) override {
        Note("ShowControlEnabled");
        told_.enabled[id] = enabled;
        told_.focus = wantedFocus_ != 0 && told_.enabled[wantedFocus_] ? wantedFocus_ : 0;
        window_.ShowControlEnabled(id, enabled);
    }
    void ShowFocus(int id) override {
        Note("ShowFocus");
        wantedFocus_ = id;
        told_.focus = told_.enabled[id] ? id : 0;
        window_.ShowFocus(id);
    }
    void ShowColumnTitle(int column, const std::string& title) override {
        Note("ShowColumnTitle");
        if (column >= 0 && column < kTableColumns) {
            told_.columns[static_cast<size_t>(column)] = title;
        }
        window_.ShowColumnTitle(column, title);
    }
    void ShowCellText(int row, int column, const std::string& text) override {
        Note("ShowCellText");
        if (Valid(row) && column >= 0 && column < kTableColumns) {
            if (column == kColumnStatus) {
                status_[static_cast<size_t>(row)] = text;
                Compose(row);
            } else {
                told_.rows[static_cast<size_t>(row)].cells[static_cast<size_t>(column)] = text;
            }
        }
        window_.ShowCellText(row, column, text);
    }
    void ShowRowColour(int row, std::optional<RowColour> colour) override {
        Note("ShowRowColour");
        if (Valid(row)) {
            told_.rows[static_cast<size_t>(row)].colour = colour;
        }
        window_.ShowRowColour(row, colour);
    }
    void ShowControlColour(int id, std::optional<RowColour> colour) override {
        Note("ShowControlColour");
        told_.colours[id] = colour;
        window_.ShowControlColour(id, colour);
    }
    void ShowRowTime(int row, const std::string& text) override {
        Note("ShowRowTime");
        if (Valid(row)) {
            told_.rows[static_cast<size_t>(row)].time = text;
        }
        window_.ShowRowTime(row, text);
    }
    void ShowRowMark(int row, const std::string& mark) override {
        Note("ShowRowMark");
        if (Valid(row)) {
            marks_[static_cast<size_t>(row)] = mark;
            Compose(row);
        }
        window_.ShowRowMark(row, mark);
    }
    void CallAttention() override {
        Note("CallAttention");
        ++told_.attention;
        window_.CallAttention();
    }
    void ShowMessage(const std::string&, const std::string&, MessageIcon) override {
        Modal("ShowMessage");
    }
    std::optional<std::string> ChooseKeyFile() override {
        Modal("ChooseKeyFile");
        return std::nullopt;
    }
    void RunConfigDialog(CIniSettingBase&, CIniLocalLan&) override { Modal("RunConfigDialog"); }
    void CloseWindow() override { Modal("CloseWindow"); }

  private:
    static bool Valid(int row) { return row >= 0 && row < kTableRows; }
    void Note(const char* kind) { kinds_.insert(kind); }
    void Modal(const std::string& kind) {
        modals_.push_back(kind);
        if (hook_) {
            hook_(kind);
        }
    }
    void Compose(int row) {
        const auto r = static_cast<size_t>(row);
        told_.rows[r].cells[kColumnStatus] = status_[r] + marks_[r];
    }

    IStationView& window_;
    ShownState told_;
    std::array<std::string, kTableRows> status_;
    std::array<std::string, kTableRows> marks_;
    std::set<std::string> kinds_;
    std::vector<std::string> modals_;
    std::function<void(const std::string&)> hook_;
    int wantedFocus_ = 0;
};

// The modal calls the scenario makes, in order: the damaged key file's message, the
// configuration dialog, and the window closed at the session's end.
inline const std::vector<std::string> kScenarioModals = {"ShowMessage", "RunConfigDialog",
                                                         "CloseWindow"};
// Every kind of view call the controller makes while it runs.
inline constexpr const char* kViewCalls[] = {
    "ShowWindowTitle", "ShowControlText", "ShowControlEnabled", "ShowColumnTitle",
    "ShowCellText",    "ShowRowColour",   "ShowControlColour",  "ShowRowTime",
    "ShowRowMark",     "CallAttention",   "ShowFocus"};

// The window under test, as the scenario reaches it.
struct ViewProbe {
    IStationView* window = nullptr;
    IMainThreadPoster* poster = nullptr;
    // Runs the window's event loop until pred holds; false after timeoutMs.
    std::function<bool(const std::function<bool()>& pred, int timeoutMs)> pumpUntil;
    // What the window shows now, read from its controls.
    std::function<ShownState()> readBack;
};

using station_fixture::GateClock;
using station_fixture::HandClock;  // the clock of the job times

// The scenario. Run() returns the read-back states of every step as text (paths of this run
// replaced); Failures() lists every step whose read-back differed from what the window was told,
// or whose station state was not the scenario's.
class CParityScenario {
  public:
    // `selected`: the language file (0 English, 1 Chinese).
    CParityScenario(const std::string& name, int selected) : home_("ks_parity_" + name) {
        home_.language["Selected"] = std::to_string(selected);
        home_.system["WriteKeybox"] = "1";
        home_.system["GetRkp"] = "0";
        home_.system["ResetAfterWrite"] = "0";
        home_.system["LowKeys"] = "4";
        home_.system["StuckSeconds"] = "90";
        home_.system["Alerts"] = "1";
        host_ = std::make_unique<SimUsbHost>(fast_);
        host_->AddController(true, 20);
        portMap_ = std::make_unique<CPortMapFile>((home_.Path() / "portmap.ini").string());
        platform_ = std::make_unique<StationPlatform>(
            StationPlatform{*host_, *host_, *host_, fast_, *portMap_, home_.Folder(), {}, {}});
    }
    ~CParityScenario() {
        gate_.Open();
        if (controller_ && controller_->State() != StationState::kIdle) {
            controller_->OnStartStopButton();
            if (probe_.pumpUntil) {
                probe_.pumpUntil([&] { return controller_->State() == StationState::kIdle; },
                                 20000);
            }
        }
        controller_.reset();
        host_.reset();
    }
    CParityScenario(const CParityScenario&) = delete;
    CParityScenario& operator=(const CParityScenario&) = delete;

    const std::vector<std::string>& Failures() const { return failures_; }
    const CParityView* Parity() const { return parity_.get(); }
    CStationController* Controller() { return controller_.get(); }

    std::string Run(const ViewProbe& probe) {
        probe_ = probe;
        parity_ = std::make_unique<CParityView>(*probe.window);
        const std::string kdb = MakeKeyFile(4, {0});  // three unused keys
        const std::string damaged = home_.Folder() + "damaged.kdb";
        station_fixture::WriteText(station_fixture::Utf8Path(damaged),
                                   "KBOX but not a key file at all");
        // At a message box the window has drawn what came before it: the key-file button is
        // enabled and reads its own text again, not the loading text.
        parity_->SetModalHook([this](const std::string& kind) {
            if (kind != "ShowMessage") {
                return;
            }
            DrainQueue("message box");
            const ShownState shown = probe_.readBack();
            const std::string text = shown.texts.count(C::kKeyFileButton) != 0
                                         ? shown.texts.at(C::kKeyFileButton)
                                         : std::string();
            if (text != controller_->Model().ControlText(C::kKeyFileButton) ||
                text == controller_->GetLangText("IDS_LOADING_FW_BUTTON") ||
                !shown.enabled.at(C::kKeyFileButton)) {
                failures_.push_back("behind the message box the key-file button shows [" + text +
                                    "]");
            }
        });
        // Board 1 holds its first command until the scenario lets it go.
        Plug("1-1", 0, &gate_);
        home_.WriteConfig();
        StationOptions options;
        options.scanIntervalMs = 5;
        options.jobClock = &jobs_;
        options.practice = true;
        // The scenario's key file has a key marked used by no run of this practice station.
        options.practiceWithProductionKeys = true;
        controller_ =
            std::make_unique<CStationController>(*platform_, *parity_, *probe.poster, options);
        if (!controller_->Initialise().started) {
            failures_.push_back("the station did not start");
            return dump_;
        }
        Expect(Settle() && Bound("1-1"), "board 1-1 bound");
        Step("idle", {});

        controller_->OnStartStopButton();  // no key file: refused
        Step("start refused", [&] { return controller_->State() == StationState::kIdle; });

        controller_->LoadKeyFile(damaged);
        Step("damaged key file", [&] { return controller_->Model().Focus() == C::kKeyFileButton; });

        controller_->LoadKeyFile(kdb);
        Step("three keys, below LowKeys",
             [&] { return controller_->Model().Focus() == C::kStartStopButton; });

        controller_->OnStartStopButton();
        Expect(Pump([&] { return gate_.Held(); }), "board 1-1 holds its first command");
        Step("running, board 1 held", {});

        std::string why;
        Expect(!controller_->QueryEndSession(&why) && !why.empty(),
               "the session's end refused while a job runs");
        Step("session end refused", {});

        PlugAndFinish("1-2", 1, {}, 1);
        Step("board 2 passed", {});

        LoaderFaults refuse;
        refuse.failStatusCount = 1000;
        PlugAndFinish("1-3", 2, refuse, 2);
        Step("board 3 failed", {});

        // Board 2 leaves after its job: its row keeps its result, marked. Plugged in again it
        // has its key already: its own outcome and colour, no key taken.
        Expect(host_->Unplug("1-2"), "board 2 unplugged");
        Step("board 2 left", [&] { return !controller_->Model().RowMark(1).empty(); });
        Expect(host_->Plug("1-2", devices_[1]), "board 2 plugged again");
        Step("board 2 back with its key", [&] {
            return Told().rows[1].colour == kRowAlready &&
                   Told().rows[1].cells[kColumnLocation] == "1-2" && !SlotRunning(2);
        });

        jobs_.Advance(100000);
        controller_->OnClockTick();
        Step("board 1 stuck", [&] { return Told().rows[0].time == "1:40"; });

        PlugAndFinish("1-4", 3, {}, 3);
        PlugAndFinish("1-5", 4, {}, 4);
        Step("no keys left", {});

        PlugAndFinish("1-6", 5, {}, 5);
        LoaderFaults leave;
        leave.unplugAtCommand = 3;
        PlugAndFinish("1-7", 6, leave, 6);
        // Board 7 left the bus during its job: its row keeps the result, marked.
        Step("three failure texts", [&] { return !controller_->Model().RowMark(6).empty(); });

        gate_.Open();
        Expect(Pump([&] { return !AnyRunning(); }), "board 1 ends");
        Step("batch ended", {});

        Expect(host_->Unplug("1-4"), "board 4 unplugged");
        Step("board 4 left", [&] { return !controller_->Model().RowMark(3).empty(); });

        controller_->OnClose();  // refused while running
        Step("close refused", {});
        controller_->OnStartStopButton();
        Step("stopped", [&] { return controller_->State() == StationState::kIdle; });

        // The failed board leaves and comes back after Stop: its row keeps its red and its text
        // (it may hold a spent key) until a job starts in its slot.
        const std::string failedText = Told().rows[2].cells[kColumnStatus];
        Expect(host_->Unplug("1-3"), "board 3 unplugged");
        Step("board 3 left", [&] { return !controller_->Model().RowMark(2).empty(); });
        Expect(host_->Plug("1-3", devices_[2]), "board 3 plugged again");
        Step("board 3 back after Stop", [&] {
            return controller_->Model().RowMark(2).empty() && Told().rows[2].colour == kRowRed &&
                   Told().rows[2].cells[kColumnStatus] == failedText && Bound("1-3");
        });

        controller_->OnConfigButton();
        Step("configuration closed", {});

        // The session's end goes through the close path: a SavePath changed in this run is
        // written back, and the results say what closed the station.
        Expect(controller_->QueryEndSession(&why), "the session may end once no job runs");
        const std::string savePath = "rkp-of-this-shift/";
        controller_->MutableSettings().SavePath = savePath;
        controller_->EndStation("session-end");
        Step("session ended", [&] { return controller_->IsShutDown(); });
        Expect(FileHas(home_.Folder() + "config.ini", "SavePath=" + savePath),
               "config.ini written back");
        Expect(FileHas(CJobResults(home_.Folder()).TodayPath(), "\"event\":\"close\",\"time\"") &&
                   FileHas(CJobResults(home_.Folder()).TodayPath(), "\"by\":\"session-end\""),
               "the close recorded with the session's end");
        return dump_;
    }

    // Path texts that differ between runs and machines.
    std::vector<std::pair<std::string, std::string>> Replacements() const {
        return {{keyFile_, "<key file>"}};
    }

  private:
    const ShownState& Told() const { return parity_->Told(); }

    static bool FileHas(const std::string& path, const std::string& text) {
        return station_fixture::ReadText(station_fixture::Utf8Path(path)).find(text) !=
               std::string::npos;
    }

    bool Pump(const std::function<bool()>& pred, int timeoutMs = 30000) {
        return probe_.pumpUntil(pred, timeoutMs);
    }
    bool Settle() {
        return Pump(
            [&] { return controller_->CompletedRescans() > 0 && !controller_->RescanBusy(); });
    }
    bool Bound(const std::string& location) {
        return Pump([&] {
            for (const DeviceSlot& s : controller_->SlotsSnapshot()) {
                if (s.portLocation == location && s.present != 0) {
                    return true;
                }
            }
            return false;
        });
    }
    bool AnyRunning() {
        for (const DeviceSlot& s : controller_->SlotsSnapshot()) {
            if (s.running != 0) {
                return true;
            }
        }
        return false;
    }
    void Expect(bool ok, const std::string& what) {
        if (!ok) {
            failures_.push_back("not reached: " + what);
        }
    }

    void Plug(const std::string& location, int index, IClock* clock,
              const LoaderFaults& faults = {}) {
        std::shared_ptr<LoaderEmulator> device =
            MakeDemoLoader(index, DemoLayout::kGpt, clock != nullptr ? *clock : fast_);
        LoaderFaults f = faults;
        if (clock != nullptr) {
            f.latencyPerCommandMs = 1;
        }
        device->SetFaults(f);
        Expect(host_->Plug(location, device), "plugged " + location);
        devices_.push_back(device);
    }
    // Plugs a board while the station runs and waits until its job on row `row` has ended.
    void PlugAndFinish(const std::string& location, int index, const LoaderFaults& faults,
                       int row) {
        Plug(location, index, nullptr, faults);
        Expect(Pump([&] {
                   return Told().rows[static_cast<size_t>(row)].colour.has_value() &&
                          Told().rows[static_cast<size_t>(row)].cells[kColumnLocation] == location;
               }),
               "a result for " + location);
        Expect(Pump([&] { return !SlotRunning(row + 1); }), "the job of " + location + " joined");
    }
    bool SlotRunning(int number) {
        for (const DeviceSlot& s : controller_->SlotsSnapshot()) {
            if (s.slotNumber == number && s.running != 0) {
                return true;
            }
        }
        return false;
    }

    // Everything posted so far has reached the window once a marker posted now has run.
    void DrainQueue(const std::string& name) {
        auto marker = std::make_shared<std::atomic<bool>>(false);
        probe_.poster->Post([marker] { *marker = true; });
        Expect(Pump([&] { return marker->load(); }), name + ": queue drained");
    }

    // Lets the queued view calls run, then compares the window with what it was told.
    void Step(const std::string& name, const std::function<bool()>& until) {
        if (until) {
            Expect(Pump(until), name);
        }
        DrainQueue(name);
        const ShownState shown = probe_.readBack();
        const std::string told = Told().Dump(Replacements());
        const std::string seen = shown.Dump(Replacements());
        if (told != seen) {
            failures_.push_back("step \"" + name + "\": the window shows\n" + seen +
                                "but was told\n" + told);
        }
        dump_ += "## " + name + "\n" + seen;
    }

    std::string MakeKeyFile(uint32_t count, std::vector<uint32_t> used) {
        std::string error;
        keyFile_ = home_.Folder() + "parity.kdb";
        if (!station_fixture::WriteSampleKeyFile(keyFile_, count, 64, std::move(used), &error)) {
            failures_.push_back("key file: " + error);
        }
        return keyFile_;
    }

    station_fixture::StationHome home_;
    station_fixture::FastClock fast_{50};
    HandClock jobs_;
    GateClock gate_{false};
    std::unique_ptr<SimUsbHost> host_;
    std::unique_ptr<CPortMapFile> portMap_;
    std::unique_ptr<StationPlatform> platform_;
    std::vector<std::shared_ptr<LoaderEmulator>> devices_;
    std::unique_ptr<CParityView> parity_;
    std::unique_ptr<CStationController> controller_;
    ViewProbe probe_;
    std::string keyFile_;
    std::string dump_;
    std::vector<std::string> failures_;
};

}  // namespace view_parity
