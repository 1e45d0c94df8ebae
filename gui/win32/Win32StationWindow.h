// The native Windows operator window: dialog 102 from the resource script, implementing the
// station's view. No station logic lives here; the controller decides, the window shows.
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

    // The row's background, for the screenshot hook and tests.
    std::optional<RowColour> RowColourOf(int row) const;
    // Saves the window's picture as a 24-bit BMP file.
    bool SaveBitmap(const std::wstring& path);

    void ShowWindowTitle(const std::string& title) override;
    void ShowControlText(int controlId, const std::string& text) override;
    void ShowControlEnabled(int controlId, bool enabled) override;
    void ShowColumnTitle(int column, const std::string& title) override;
    void ShowCellText(int row, int column, const std::string& text) override;
    void ShowRowColour(int row, std::optional<RowColour> colour) override;
    void ShowControlColour(int controlId, std::optional<RowColour> colour) override;
    void CallAttention() override;
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
    void RedrawRow(int row);

    CWin32MainThreadPoster& poster_;
    CStationController* controller_ = nullptr;
    HINSTANCE instance_ = nullptr;
    HWND window_ = nullptr;
    HWND table_ = nullptr;
    HDEVNOTIFY notify_ = nullptr;
    std::array<std::optional<RowColour>, kTableRows> rowColours_{};
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

// UTF-8 and UTF-16 at the window's edge.
std::wstring Wide(const std::string& text);
std::string Narrow(const std::wstring& text);
