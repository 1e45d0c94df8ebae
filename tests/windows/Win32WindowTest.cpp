// The Windows operator window for real under Wine (run by window_test.sh under a virtual X server,
// in a prefix whose dialog faces have Chinese glyphs):
//  - the scenario every operator window runs (tests/common/ViewParity.h), in English and Chinese:
//    at each step the window's controls show what the controller told it, and the states read
//    back equal the Qt window's, step by step, when the Linux build's files are there;
//  - every text the language files put on a control fits it, measured with the control's own
//    font (GetTextExtentPoint32W) against its client width, in both languages, on the main
//    window and on the configuration dialog;
//  - the folder chooser: COM held apartment-threaded by the window's thread, the title "Choose a
//    directory", a folder picked and then the dialog cancelled keeps the folder, a chooser
//    cancelled changes nothing.
#include <gtest/gtest.h>

#include <windows.h>

#include <objbase.h>
#include <shlobj.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "app/JobResults.h"
#include "gui/win32/Win32StationWindow.h"
#include "gui/win32/resource.h"
#include "support/IniSettingBase.h"
#include "support/WideText.h"
#include "tests/common/ViewParity.h"

namespace {

namespace fs = std::filesystem;
namespace C = StationControl;
using view_parity::ShownState;

std::wstring TextOf(HWND window) {
    const int n = ::GetWindowTextLengthW(window);
    std::wstring text(static_cast<size_t>(n) + 1, L'\0');
    text.resize(static_cast<size_t>(::GetWindowTextW(window, text.data(), n + 1)));
    return text;
}

// The window whose keys the pump treats as its message loop does (Enter, Escape, Tab).
CWin32StationWindow* pumped = nullptr;

// Runs this thread's messages until pred holds; false after timeoutMs.
bool PumpUntil(const std::function<bool()>& pred, int timeoutMs) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        MSG message;
        while (::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            if (pumped != nullptr && pumped->PreTranslate(&message)) {
                continue;
            }
            ::TranslateMessage(&message);
            ::DispatchMessageW(&message);
        }
        if (pred()) {
            return true;
        }
        if (std::chrono::steady_clock::now() > end) {
            return false;
        }
        ::MsgWaitForMultipleObjects(0, nullptr, FALSE, 2, QS_ALLINPUT);
    }
}

ShownState ReadBack(CWin32StationWindow& window) {
    ShownState s;
    HWND dialog = window.Handle();
    s.title = Narrow(TextOf(dialog));
    for (int id : view_parity::kControls) {
        s.texts[id] =
            Narrow(id == C::kSummaryLabel ? window.SummaryText() : window.ControlText(id));
        s.enabled[id] = ::IsWindowEnabled(::GetDlgItem(dialog, id)) != FALSE;
        s.colours[id] = window.ControlColourOf(id);
    }
    for (int c = 0; c < kTableColumns; ++c) {
        s.columns[static_cast<size_t>(c)] = Narrow(window.ColumnTitle(c));
    }
    for (int r = 0; r < kTableRows; ++r) {
        ShownState::Row& row = s.rows[static_cast<size_t>(r)];
        for (int c = 0; c < kTableColumns; ++c) {
            row.cells[static_cast<size_t>(c)] = Narrow(window.CellText(r, c));
        }
        row.time = Narrow(window.RowTime(r));
        row.colour = window.RowColourOf(r);
    }
    s.attention = window.AttentionCalls();
    s.focus = window.FocusedControl();
    return s;
}

// A text's width in pixels in the control's own font.
int TextWidth(HWND control, const std::wstring& text) {
    HDC dc = ::GetDC(control);
    HGDIOBJ old =
        ::SelectObject(dc, reinterpret_cast<HFONT>(::SendMessageW(control, WM_GETFONT, 0, 0)));
    SIZE size{};
    ::GetTextExtentPoint32W(dc, text.c_str(), static_cast<int>(text.size()), &size);
    ::SelectObject(dc, old);
    ::ReleaseDC(control, dc);
    return size.cx;
}

// The room a control gives its text: the client width, less a check box's box and gap, or a
// push button's edges.
int TextRoom(HWND control) {
    RECT client{};
    ::GetClientRect(control, &client);
    wchar_t kind[32] = {};
    ::GetClassNameW(control, kind, 32);
    if (_wcsicmp(kind, L"Button") != 0) {
        return client.right;
    }
    const LONG style = ::GetWindowLongW(control, GWL_STYLE) & BS_TYPEMASK;
    if (style == BS_AUTOCHECKBOX || style == BS_CHECKBOX) {
        return client.right - ::GetSystemMetrics(SM_CXMENUCHECK) - ::GetSystemMetrics(SM_CXEDGE);
    }
    if (style == BS_GROUPBOX) {
        return client.right - 4 * ::GetSystemMetrics(SM_CXEDGE);
    }
    return client.right - 4 * ::GetSystemMetrics(SM_CXEDGE);
}

// "id [text] needs N px, has M" for each text that does not fit its control.
void ExpectFits(HWND control, const std::wstring& text, const std::string& where) {
    ASSERT_NE(control, nullptr) << where;
    const int needed = TextWidth(control, text);
    const int room = TextRoom(control);
    EXPECT_LE(needed, room) << where << " [" << Narrow(text) << "] needs " << needed << " px, has "
                            << room;
    EXPECT_GT(needed, 0) << where << ": nothing measured";
}

// A station with the Windows window, on a simulated bus without boards.
class WinStation {
  public:
    WinStation(const std::string& name, int selected) : home_("ks_win32_" + name) {
        home_.language["Selected"] = std::to_string(selected);
        host_ = std::make_unique<SimUsbHost>(clock_);
        host_->AddController(true, 4);
        portMap_ = std::make_unique<CPortMapFile>((home_.Path() / "portmap.ini").string());
        platform_ = std::make_unique<StationPlatform>(
            StationPlatform{*host_, *host_, *host_, clock_, *portMap_, home_.Folder(), {}, {}});
    }
    ~WinStation() {
        pumped = nullptr;
        controller_.reset();
        window_.reset();
        host_.reset();
    }
    bool Boot() {
        home_.WriteConfig();
        window_ = std::make_unique<CWin32StationWindow>(poster_);
        if (!window_->Create(::GetModuleHandleW(nullptr))) {
            return false;
        }
        pumped = window_.get();
        StationOptions options;
        options.scanIntervalMs = 5;
        controller_ = std::make_unique<CStationController>(*platform_, *window_, poster_, options);
        window_->AttachController(controller_.get());
        if (!controller_->Initialise().started) {
            return false;
        }
        window_->Show();
        return Drain();
    }
    // Runs every view call posted so far.
    bool Drain() {
        auto done = std::make_shared<bool>(false);
        poster_.Post([done] { *done = true; });
        return PumpUntil([&] { return *done; }, 20000);
    }
    std::string Lang(const char* key) { return controller_->GetLangText(key); }
    const fs::path& Home() const { return home_.Path(); }
    std::string Folder() const { return home_.Folder(); }
    SimUsbHost& Host() { return *host_; }
    CWin32StationWindow& Window() { return *window_; }
    CStationController& Controller() { return *controller_; }

  private:
    station_fixture::StationHome home_;
    station_fixture::FastClock clock_{50};
    CWin32MainThreadPoster poster_;
    std::unique_ptr<SimUsbHost> host_;
    std::unique_ptr<CPortMapFile> portMap_;
    std::unique_ptr<StationPlatform> platform_;
    std::unique_ptr<CWin32StationWindow> window_;
    std::unique_ptr<CStationController> controller_;
};

// The first visible window of this thread that is a dialog other than `except` and passes
// `match`.
HWND FindDialog(const std::function<bool(HWND)>& match) {
    struct Search {
        const std::function<bool(HWND)>* match;
        HWND found;
    } search{&match, nullptr};
    ::EnumThreadWindows(
        ::GetCurrentThreadId(),
        [](HWND window, LPARAM l) -> BOOL {
            auto* s = reinterpret_cast<Search*>(l);
            if (::IsWindowVisible(window) && (*s->match)(window)) {
                s->found = window;
                return FALSE;
            }
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.found;
}

bool HasChildText(HWND parent, const std::wstring& text) {
    struct Search {
        const std::wstring* text;
        bool found;
    } search{&text, false};
    ::EnumChildWindows(
        parent,
        [](HWND child, LPARAM l) -> BOOL {
            auto* s = reinterpret_cast<Search*>(l);
            if (_wcsicmp(TextOf(child).c_str(), s->text->c_str()) == 0) {
                s->found = true;
                return FALSE;
            }
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.found;
}

// Drives modal dialogs from inside their loops: a thread timer runs `step` until it says done.
class ModalDriver {
  public:
    explicit ModalDriver(std::function<bool()> step) : step_(std::move(step)) {
        current_ = this;
        timer_ = ::SetTimer(nullptr, 0, 50, &ModalDriver::Tick);
    }
    ~ModalDriver() {
        ::KillTimer(nullptr, timer_);
        current_ = nullptr;
    }
    bool Done() const { return done_; }

  private:
    static void CALLBACK Tick(HWND, UINT, UINT_PTR, DWORD) {
        ModalDriver* self = current_;
        if (self == nullptr || self->done_ || self->busy_) {
            return;
        }
        self->busy_ = true;
        self->done_ = self->step_();
        self->busy_ = false;
    }
    static inline ModalDriver* current_ = nullptr;
    std::function<bool()> step_;
    UINT_PTR timer_ = 0;
    bool done_ = false;
    bool busy_ = false;
};

HWND ConfigDialog() {
    return FindDialog([](HWND w) { return ::GetDlgItem(w, IDC_CFG_BROWSE) != nullptr; });
}

}  // namespace

// --- One scenario, two windows ---------------------------------------------------------------

TEST(Win32Window, ShowsWhatTheControllerSaysAsTheQtWindowDoes) {
    const char* qtFolder = std::getenv("KS_QT_PARITY_DIR");
    for (const auto& [selected, tag] : {std::pair{0, "en"}, std::pair{1, "zh"}}) {
        SCOPED_TRACE(tag);
        CWin32MainThreadPoster poster;
        CWin32StationWindow window(poster);
        ASSERT_TRUE(window.Create(::GetModuleHandleW(nullptr)));
        window.Show();
        view_parity::CParityScenario scenario(std::string("win32_") + tag, selected);
        view_parity::ViewProbe probe;
        probe.window = &window;
        probe.poster = &poster;
        probe.pumpUntil = PumpUntil;
        probe.readBack = [&window] { return ReadBack(window); };
        const std::string dump = scenario.Run(probe);
        for (const std::string& failure : scenario.Failures()) {
            ADD_FAILURE() << failure;
        }
        for (const char* kind : view_parity::kViewCalls) {
            EXPECT_EQ(scenario.Parity()->Kinds().count(kind), 1u) << kind;
        }
        EXPECT_EQ(scenario.Parity()->Modals(), view_parity::kScenarioModals);

        // The summary label shows each line of the whole text, cut with an ellipsis to fit.
        HWND summary = ::GetDlgItem(window.Handle(), IDC_SUMMARY_LABEL);
        std::wstringstream whole(window.SummaryText());
        std::wstringstream shown(TextOf(summary));
        std::wstring full;
        std::wstring line;
        int lines = 0;
        RECT client{};
        ::GetClientRect(summary, &client);
        while (std::getline(whole, full)) {
            ASSERT_TRUE(std::getline(shown, line));
            if (!line.empty() && line.back() == L'\r') {
                line.pop_back();
            }
            ++lines;
            EXPECT_LE(TextWidth(summary, line), client.right) << Narrow(line);
            if (line != full) {
                ASSERT_FALSE(line.empty());
                EXPECT_EQ(line.back(), L'\u2026') << Narrow(line);
                EXPECT_EQ(full.rfind(line.substr(0, line.size() - 1), 0), 0u) << Narrow(line);
            }
        }
        EXPECT_EQ(lines, 5) << "the pace, the boards that had their key, three failure texts";
        // All four lines are inside the label.
        TEXTMETRICW metrics{};
        HDC dc = ::GetDC(summary);
        HGDIOBJ old =
            ::SelectObject(dc, reinterpret_cast<HFONT>(::SendMessageW(summary, WM_GETFONT, 0, 0)));
        ::GetTextMetricsW(dc, &metrics);
        ::SelectObject(dc, old);
        ::ReleaseDC(summary, dc);
        EXPECT_LE(lines * metrics.tmHeight, client.bottom);

        // The sixteen rows share the table's height.
        HWND table = ::GetDlgItem(window.Handle(), IDC_DEVICE_TABLE);
        RECT rows{};
        ::GetClientRect(table, &rows);
        RECT last{};
        ASSERT_TRUE(ListView_GetItemRect(table, kTableRows - 1, &last, LVIR_BOUNDS));
        EXPECT_GT(last.bottom, rows.bottom - rows.bottom / kTableRows) << "rows leave room";
        EXPECT_LE(last.bottom, rows.bottom) << "the last row is cut";

        const fs::path out =
            fs::path(KS_WINDOW_TEST_DIR) / ("parity-win32-" + std::string(tag) + ".txt");
        std::ofstream(out, std::ios::binary) << dump;
        if (const char* shots = std::getenv("KS_SHOT_DIR")) {
            EXPECT_TRUE(window.SaveBitmap(
                ks::WidePath(std::string(shots) + "/parity-win32-" + tag + ".bmp")));
        }
        if (qtFolder != nullptr && *qtFolder != '\0') {
            const fs::path qt = fs::path(qtFolder) / ("parity-qt-" + std::string(tag) + ".txt");
            std::ifstream in(qt, std::ios::binary);
            ASSERT_TRUE(in.good()) << "no Qt run to compare with: " << qt.string();
            std::stringstream qtDump;
            qtDump << in.rdbuf();
            EXPECT_EQ(dump, qtDump.str()) << "the Windows and the Qt windows differ";
        }
    }
}

// --- Texts that fit --------------------------------------------------------------------------

TEST(Win32Window, EveryLanguageTextFitsItsControl) {
    for (const auto& [selected, tag] : {std::pair{0, "en"}, std::pair{1, "zh"}}) {
        SCOPED_TRACE(tag);
        WinStation station(std::string("fit_") + tag, selected);
        ASSERT_TRUE(station.Boot());
        HWND dialog = station.Window().Handle();
        auto fits = [&](int id, const std::string& text) {
            ExpectFits(::GetDlgItem(dialog, id), ks::WideFromUtf8(text),
                       "control " + std::to_string(id));
        };
        // What the language file set on the controls.
        for (int id : {C::kKeyFileButton, C::kStartStopButton, C::kExitButton, C::kConfigButton,
                       C::kSuccessCaption, C::kFailCaption, C::kTotalCaption, C::kSuccessCounter,
                       C::kFailCounter, C::kTotalCounter, C::kKeyFileLabel, C::kKeyCountLabel,
                       C::kUnusedLabel, C::kCreateTimeLabel}) {
            fits(id, Narrow(station.Window().ControlText(id)));
        }
        // What the buttons and labels say later on.
        for (const char* key : {"IDS_START_BUTTON", "IDS_STOP_BUTTON", "IDS_STOPPING_BUTTON"}) {
            fits(C::kStartStopButton, station.Lang(key));
        }
        fits(C::kKeyFileButton, station.Lang("IDS_LOADING_FW_BUTTON"));
        fits(C::kSuccessCounter, "99999");
        fits(C::kKeyCountLabel, Narrow(station.Window().ControlText(C::kKeyCountLabel)) + "100000");
        fits(C::kUnusedLabel, Narrow(station.Window().ControlText(C::kUnusedLabel)) + "100000");
        fits(C::kCreateTimeLabel,
             Narrow(station.Window().ControlText(C::kCreateTimeLabel)) + "2026-01-31 12:00:00");
        for (const char* key :
             {"IDS_START_NO_KEYFILE", "IDS_CLOSE_RUNNING", "IDS_CLOSE_STOPPING", "IDS_KEYS_OUT",
              "IDS_POOL_LOST", "IDS_POOL_BACK", "IDS_FIRST_LOAD_KEYFILE", "IDS_KEYFILE_DAMAGED",
              "IDS_KEYFILE_NOT_KEYFILE", "IDS_KEYFILE_CUT_SHORT", "IDS_KEYFILE_READ_ONLY",
              "IDS_KEYFILE_IN_USE", "IDS_KEYFILE_NOT_FOUND", "IDS_KEYFILE_UNREADABLE",
              "IDS_KEYFILE_DISK_FULL", "IDS_KEYFILE_JOURNAL", "IDS_KEYFILE_OTHER",
              "IDS_KEYPOOL_LOAD_FAIL"}) {
            fits(C::kStatusLine, station.Lang(key));
        }
        fits(C::kStatusLine, station.Lang("IDS_JOB_STUCK") + " 16");
        // The column titles, in the header's font, inside their columns.
        HWND table = ::GetDlgItem(dialog, IDC_DEVICE_TABLE);
        HWND header = ListView_GetHeader(table);
        for (int c = 0; c < kTableColumns; ++c) {
            const std::wstring title = station.Window().ColumnTitle(c);
            EXPECT_LE(TextWidth(header, title) + 12, ListView_GetColumnWidth(table, c))
                << "column " << c << " [" << Narrow(title) << "]";
        }

        // The configuration dialog, measured from inside its modal loop, then cancelled.
        int measured = 0;
        ModalDriver driver([&] {
            HWND config = ConfigDialog();
            if (config == nullptr) {
                return false;
            }
            for (int id : {IDOK, IDCANCEL, IDC_CFG_RKP, IDC_CFG_SAVEPATH_LABEL, IDC_CFG_KEYBOX,
                           IDC_CFG_KEYFILE_LABEL, IDC_CFG_GENERAL, IDC_CFG_RESET}) {
                HWND control = ::GetDlgItem(config, id);
                ExpectFits(control, TextOf(control), "dialog 129 control " + std::to_string(id));
                ++measured;
            }
            EXPECT_EQ(Narrow(TextOf(::GetDlgItem(config, IDC_CFG_RESET))),
                      station.Lang("IDS_REBOOTAFTER"));
            if (const char* shots = std::getenv("KS_SHOT_DIR")) {
                ::RedrawWindow(config, nullptr, nullptr,
                               RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN);
                EXPECT_TRUE(SaveWindowBitmap(
                    config, ks::WidePath(std::string(shots) + "/config-win32-" + tag + ".bmp")));
            }
            ::PostMessageW(config, WM_COMMAND, IDCANCEL, 0);
            return true;
        });
        station.Controller().OnConfigButton();
        EXPECT_TRUE(driver.Done());
        EXPECT_EQ(measured, 8);
    }
}

// --- The folder chooser ----------------------------------------------------------------------

// Opens the configuration dialog, presses its chooser button, picks `folder` in the chooser or
// cancels it (empty), then ends the dialog with `end` (IDOK or IDCANCEL). Returns the save-folder
// edit's text after the chooser closed; `titled` tells whether the chooser showed its title.
std::wstring UseChooser(WinStation& station, const std::wstring& folder, int end, bool* titled) {
    enum class Stage { kOpenChooser, kChoose, kReadEdit, kDone };
    Stage stage = Stage::kOpenChooser;
    std::wstring edit;
    int ticks = 0;
    ModalDriver driver([&] {
        HWND config = ConfigDialog();
        if (config == nullptr) {
            return false;
        }
        HWND chooser = FindDialog([&](HWND w) {
            wchar_t kind[16] = {};
            ::GetClassNameW(w, kind, 16);
            return w != config && w != station.Window().Handle() && wcscmp(kind, L"#32770") == 0;
        });
        switch (stage) {
            case Stage::kOpenChooser:
                ::PostMessageW(config, WM_COMMAND, MAKEWPARAM(IDC_CFG_BROWSE, BN_CLICKED), 0);
                stage = Stage::kChoose;
                return false;
            case Stage::kChoose:
                if (chooser == nullptr) {
                    return false;
                }
                *titled = HasChildText(chooser, L"Choose a directory");
                if (!folder.empty()) {
                    // The chooser fills its tree after it shows: the selection is asked for
                    // until its edit box names the folder (or two seconds have passed).
                    ::SendMessageW(chooser, BFFM_SETSELECTIONW, TRUE,
                                   reinterpret_cast<LPARAM>(folder.c_str()));
                    const std::wstring name = fs::path(folder).filename().wstring();
                    if (++ticks < 40 && !HasChildText(chooser, name)) {
                        return false;
                    }
                }
                ::PostMessageW(chooser, WM_COMMAND, folder.empty() ? IDCANCEL : IDOK, 0);
                stage = Stage::kReadEdit;
                return false;
            case Stage::kReadEdit:
            case Stage::kDone:
                if (chooser != nullptr) {
                    return false;
                }
                edit = TextOf(::GetDlgItem(config, IDC_CFG_SAVEPATH));
                ::PostMessageW(config, WM_COMMAND, end, 0);
                stage = Stage::kDone;
                return true;
        }
        return true;
    });
    station.Controller().OnConfigButton();
    EXPECT_TRUE(driver.Done());
    return edit;
}

TEST(Win32Window, TheFolderChooserRunsUnderComAndACancelledDialogKeepsItsFolder) {
    WinStation station("chooser", 0);
    ASSERT_TRUE(station.Boot());
    // The window's thread holds COM apartment-threaded: asking again answers "already".
    const HRESULT again = ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    EXPECT_EQ(again, S_FALSE);
    if (SUCCEEDED(again)) {
        ::CoUninitialize();
    }
    CIniSettingBase& settings = station.Controller().MutableSettings();
    const std::string before = settings.SavePath;
    wchar_t windows[MAX_PATH] = {};
    ASSERT_GT(::GetWindowsDirectoryW(windows, MAX_PATH), 0u);
    auto same = [](const std::wstring& a, const std::wstring& b) {
        return _wcsicmp(a.c_str(), b.c_str()) == 0;
    };

    // A folder picked, then the dialog cancelled: the folder stays chosen.
    bool titled = false;
    std::wstring edit = UseChooser(station, windows, IDCANCEL, &titled);
    EXPECT_TRUE(titled) << "the chooser's title";
    EXPECT_TRUE(same(edit, windows)) << Narrow(edit);
    EXPECT_TRUE(same(ks::WideFromUtf8(settings.SavePath), windows))
        << "cancelled after the pick: " << settings.SavePath << " (was " << before << ")";

    // The chooser cancelled, then OK: nothing changed.
    settings.SavePath = before;
    edit = UseChooser(station, L"", IDOK, &titled);
    EXPECT_TRUE(same(edit, ks::WideFromUtf8(before))) << Narrow(edit);
    EXPECT_EQ(settings.SavePath, before);
}

// --- Keys ------------------------------------------------------------------------------------

TEST(Win32Window, FocusStartsOnTheFirstStepAndEnterPressesTheFocusedButton) {
    WinStation station("keys", 0);
    ASSERT_TRUE(station.Boot());
    HWND dialog = station.Window().Handle();
    // Key File while keys are to be written and none are loaded, else Start.
    EXPECT_EQ(::GetFocus(), ::GetDlgItem(dialog, station.Controller().Settings().WriteKeybox != 0
                                                     ? IDC_KEYFILE_BUTTON
                                                     : IDC_STARTSTOP_BUTTON));
    // Enter on the focused Config button opens the configuration dialog; Escape does nothing.
    HWND config = ::GetDlgItem(dialog, IDC_CONFIG_BUTTON);
    ::SetFocus(config);
    ::PostMessageW(config, WM_KEYDOWN, VK_ESCAPE, 1);
    bool opened = false;
    ModalDriver driver([&] {
        HWND open = ConfigDialog();
        if (open == nullptr) {
            return false;
        }
        opened = true;
        ::PostMessageW(open, WM_COMMAND, IDCANCEL, 0);
        return true;
    });
    ::PostMessageW(config, WM_KEYDOWN, VK_RETURN, 1);
    EXPECT_TRUE(PumpUntil([&] { return driver.Done(); }, 20000));
    EXPECT_TRUE(opened);
    EXPECT_TRUE(::IsWindow(dialog)) << "a key closed the window";
}

// --- Keys after a load, and the session's end ------------------------------------------------

TEST(Win32Window, AfterALoadTheKeysWorkAndTheSessionsEndGoesThroughTheClosePath) {
    WinStation station("session", 0);
    ASSERT_TRUE(station.Boot());
    HWND dialog = station.Window().Handle();
    HWND start = ::GetDlgItem(dialog, IDC_STARTSTOP_BUTTON);
    // A board whose first command waits at a gate: its job runs until the gate opens.
    station_fixture::GateClock gate(false);
    std::shared_ptr<LoaderEmulator> board = MakeDemoLoader(0, DemoLayout::kGpt, gate);
    LoaderFaults slow;
    slow.latencyPerCommandMs = 1;  // each command sleeps on the gate's clock
    board->SetFaults(slow);
    ASSERT_TRUE(station.Host().Plug("1-1", board));

    std::string error;
    const std::string kdb = station.Folder() + "keys.kdb";
    ASSERT_TRUE(station_fixture::WriteSampleKeyFile(kdb, 4, 64, {}, &error)) << error;
    station.Controller().LoadKeyFile(kdb);
    ASSERT_TRUE(station.Drain());
    // The focus is on Start with its frame showing, and the keys work: Tab moves on, Enter on
    // Start starts the station.
    EXPECT_EQ(::GetFocus(), start);
    EXPECT_EQ(::SendMessageW(dialog, WM_QUERYUISTATE, 0, 0) & UISF_HIDEFOCUS, 0);
    ::PostMessageW(start, WM_KEYDOWN, VK_TAB, 1);
    EXPECT_TRUE(PumpUntil([&] { return ::GetFocus() != start; }, 5000)) << "Tab did nothing";
    EXPECT_TRUE(::IsChild(dialog, ::GetFocus()));
    ::SetFocus(start);
    ::PostMessageW(start, WM_KEYDOWN, VK_RETURN, 1);
    ASSERT_TRUE(PumpUntil([&] { return gate.Held(); }, 20000)) << "Enter did not start";

    // The session's end is refused while the job runs.
    EXPECT_EQ(::SendMessageW(dialog, WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF), FALSE);
    // When it ends all the same, the station stops, the job finishes (its gate opens meanwhile),
    // the settings are written back and the results say what ended the station.
    const std::string savePath = "C:\\rkp-of-this-shift\\";
    station.Controller().MutableSettings().SavePath = savePath;
    ModalDriver opener([&] {
        gate.Open();
        return true;
    });
    ::SendMessageW(dialog, WM_ENDSESSION, TRUE, ENDSESSION_LOGOFF);
    EXPECT_TRUE(station.Controller().IsShutDown());
    EXPECT_FALSE(::IsWindow(dialog));
    EXPECT_NE(station_fixture::ReadText(station.Home() / "config.ini").find("SavePath=" + savePath),
              std::string::npos);
    const std::string results = station_fixture::ReadText(
        station_fixture::Utf8Path(CJobResults(station.Folder()).TodayPath()));
    const size_t stop = results.find("{\"event\":\"stop\"");
    const size_t job = results.find("{\"event\":\"result\"", stop);
    const size_t close = results.find("{\"event\":\"close\"", job);
    ASSERT_NE(close, std::string::npos) << results;
    EXPECT_NE(results.find("\"by\":\"session-end\"", stop), std::string::npos) << results;
    EXPECT_NE(results.find("\"by\":\"session-end\"", close), std::string::npos) << results;
}
