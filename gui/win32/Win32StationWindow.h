// The native Windows operator window: dialog 102 from the resource script, implementing the
// station's view. No station logic lives here; the controller decides, the window shows.
//
// It shows what the Qt window shows: each row's status text followed by its mark (a board that
// left after its job) and, at the right end of the status cell, the job's time, the status text
// cut with an ellipsis before it; row colours (green, red, amber for a stuck job, and any other
// the controller sends); the unused-key label's background colour; the status line under the
// table (cut with an ellipsis); the shift summary in a smaller face, each line cut to the label,
// the whole text as its tool tip; a call for attention flashes the window and rings the bell.
// The selected row keeps its colour and is drawn with a frame.
//
// COM is initialised apartment-threaded on the window's thread (OleInitialize) for as long as the
// window exists: the folder chooser of the configuration dialog needs it.
#pragma once

#include <windows.h>
// <commctrl.h> needs the types of <windows.h>.
#include <commctrl.h>

#include <array>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "app/MainThreadPoster.h"
#include "app/StationView.h"

class CStationController;

// Runs posted closures on the window's thread: one message to the window per post.
class CWin32MainThreadPoster final : public IMainThreadPoster {
  public:
    static constexpr UINT kMessage = WM_APP + 1;
    void SetWindow(HWND window);
    void Post(std::function<void()> fn) override;
    // Runs every closure queued so far (on the window's thread).
    void RunQueued();

  private:
    std::mutex lock_;
    std::deque<std::function<void()>> queue_;
    HWND window_ = nullptr;
};

class CWin32StationWindow final : public IStationView {
  public:
    explicit CWin32StationWindow(CWin32MainThreadPoster& poster);
    ~CWin32StationWindow() override;
    CWin32StationWindow(const CWin32StationWindow&) = delete;
    CWin32StationWindow& operator=(const CWin32StationWindow&) = delete;

    // Creates the window (hidden until Show); false when the dialog resource cannot be made.
    bool Create(HINSTANCE instance);
    void AttachController(CStationController* controller) { controller_ = controller; }
    void Show();
    HWND Handle() const { return window_; }
    // Runs the message loop until the window is gone.
    int RunMessageLoop();
    // What the loop does with a message before dispatching it: the dialog's keys, Enter on a
    // button; true when the message is handled.
    bool PreTranslate(MSG* message);

    // What the window shows, read back for the screenshot hook and the tests.
    std::optional<RowColour> RowColourOf(int row) const;
    std::optional<RowColour> ControlColourOf(int controlId) const;
    // The status cell's text as the table holds it: the status text followed by the row's mark.
    std::wstring CellText(int row, int column) const;
    std::wstring RowTime(int row) const;
    std::wstring ColumnTitle(int column) const;
    std::wstring ControlText(int controlId) const;
    // The shift summary's whole text (its tool tip); the label shows each line cut to its width.
    const std::wstring& SummaryText() const { return summaryText_; }
    int AttentionCalls() const { return attentionCalls_; }
    // The button with the keyboard focus, or 0 when none has it.
    int FocusedControl() const;
    // True when OleInitialize succeeded on the window's thread.
    bool ComReady() const { return comReady_; }
    // Saves the window's picture as a 24-bit BMP file.
    bool SaveBitmap(const std::wstring& path);

    void ShowWindowTitle(const std::string& title) override;
    void ShowControlText(int controlId, const std::string& text) override;
    void ShowControlEnabled(int controlId, bool enabled) override;
    void ShowColumnTitle(int column, const std::string& title) override;
    void ShowCellText(int row, int column, const std::string& text) override;
    void ShowRowColour(int row, std::optional<RowColour> colour) override;
    void ShowControlColour(int controlId, std::optional<RowColour> colour) override;
    void ShowRowTime(int row, const std::string& text) override;
    void ShowRowMark(int row, const std::string& mark) override;
    void CallAttention() override;
    void ShowFocus(int controlId) override;
    void ShowMessage(const std::string& text, const std::string& caption,
                     MessageIcon icon) override;
    std::optional<std::string> ChooseKeyFile() override;
    void RunConfigDialog(CIniSettingBase& settings, CIniLocalLan& language) override;
    void CloseWindow() override;

  private:
    static INT_PTR CALLBACK DialogProc(HWND window, UINT message, WPARAM w, LPARAM l);
    INT_PTR Handle(UINT message, WPARAM w, LPARAM l);
    void SetUpTable();
    void SetUpFonts();
    void RecordLayout();
    void ApplyLayout();
    void FitRows();
    LRESULT CustomDraw(NMLVCUSTOMDRAW* draw);
    void DrawCell(NMLVCUSTOMDRAW* draw, int row, int column);
    void RedrawRow(int row);
    void SetStatusCell(int row);
    void SetUpSummary();
    void ShowSummary();
    // The session ends: the station's close path, dispatching until it is done.
    void EndSession();

    CWin32MainThreadPoster& poster_;
    CStationController* controller_ = nullptr;
    HINSTANCE instance_ = nullptr;
    HWND window_ = nullptr;
    HWND table_ = nullptr;
    HDEVNOTIFY notify_ = nullptr;
    std::array<std::optional<RowColour>, kTableRows> rowColours_{};
    std::array<std::wstring, kTableRows> statusTexts_{};
    std::array<std::wstring, kTableRows> marks_{};
    std::array<std::wstring, kTableRows> times_{};
    std::wstring summaryText_;
    HWND summaryTip_ = nullptr;
    HFONT summaryFont_ = nullptr;
    int attentionCalls_ = 0;
    int wantedFocus_ = 0;  // the model's focus, given once its button is enabled
    bool comReady_ = false;
    std::map<int, RowColour> controlColours_;
    std::map<int, HBRUSH> controlBrushes_;
    HFONT captionFont_ = nullptr;
    HFONT counterFont_ = nullptr;
    HFONT headerFont_ = nullptr;
    HFONT boldColumnFont_ = nullptr;
    HFONT columnFont_ = nullptr;
    HFONT rowFont_ = nullptr;
    SIZE minimum_{};
    SIZE initialClient_{};
    std::map<int, RECT> initialRects_;
};

// Saves a window's picture, as the screen shows it, as a 24-bit BMP file.
bool SaveWindowBitmap(HWND window, const std::wstring& path);

// UTF-8 and UTF-16 at the window's edge.
std::wstring Wide(const std::string& text);
std::string Narrow(const std::wstring& text);
