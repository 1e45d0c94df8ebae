// The station window as the controller sees it. Every call is made on the main thread.
//
// The texts that change while the station runs (button and label texts, the sixteen-row device
// table, row colours, counters) live in CStationModel, which any thread may change; the model
// passes each change to the view as a value through the main-thread queue, in the order in which
// the changes were made. A worker's changes and its result travel through the same queue, so the
// view has shown a worker's last status text before the controller handles its result.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

class CIniSettingBase;
class CIniLocalLan;

// Control numbers of the main window (dialog 102).
namespace StationControl {
constexpr int kDialog = 102;
constexpr int kKeyFileButton = 1000;
constexpr int kStartStopButton = 1001;
constexpr int kExitButton = 1002;
constexpr int kSuccessCaption = 1003;
constexpr int kSuccessCounter = 1004;
constexpr int kFailCaption = 1005;
constexpr int kFailCounter = 1006;
constexpr int kTotalCaption = 1007;
constexpr int kTotalCounter = 1008;
constexpr int kKeyFileLabel = 1009;
constexpr int kKeyCountLabel = 1010;
constexpr int kUnusedLabel = 1012;
constexpr int kCreateTimeLabel = 1014;
constexpr int kDeviceTable = 1016;
constexpr int kConfigButton = 1017;
// Added to the window of old: the status line under the device table (why a request was refused,
// what went wrong, what needs the operator) and the shift summary beside the counters.
constexpr int kStatusLine = 1030;
constexpr int kSummaryLabel = 1031;
}  // namespace StationControl

// Device table geometry: row r shows slot r + 1.
constexpr int kTableRows = 16;
constexpr int kTableColumns = 3;
constexpr int kColumnSlot = 0;
constexpr int kColumnLocation = 1;
constexpr int kColumnStatus = 2;

struct RowColour {
    uint8_t red = 0;
    uint8_t green = 0;
    uint8_t blue = 0;
    bool operator==(const RowColour&) const = default;
};
constexpr RowColour kRowGreen{0, 255, 0};
constexpr RowColour kRowRed{255, 0, 0};
// A row whose job runs far longer than jobs should; the unused-key label when keys run low.
constexpr RowColour kRowAmber{255, 191, 0};
// A board that holds its key already: no key taken, no failure; the operator removes it.
constexpr RowColour kRowAlready{135, 206, 250};

enum class MessageIcon { kNone, kError };

class IStationView {
  public:
    virtual ~IStationView() = default;

    // --- Mirror of CStationModel, delivered through the main-thread queue in change order.
    virtual void ShowWindowTitle(const std::string& title) = 0;
    // A button's or label's text, by control number.
    virtual void ShowControlText(int controlId, const std::string& text) = 0;
    virtual void ShowControlEnabled(int controlId, bool enabled) = 0;
    // A column title of the device table.
    virtual void ShowColumnTitle(int column, const std::string& title) = 0;
    // One cell of the device table (row 0..15, column 0..2).
    virtual void ShowCellText(int row, int column, const std::string& text) = 0;
    // A row's background: a colour, or none for the default background. The row is redrawn.
    virtual void ShowRowColour(int row, std::optional<RowColour> colour) = 0;
    // A label's text colour, or none for its own. Views without colours ignore it.
    virtual void ShowControlColour(int /*controlId*/, std::optional<RowColour> /*colour*/) {}
    // How long a row's job has run (while it runs) or took (once it has ended), as "m:ss" or
    // "h:mm:ss"; empty for none. Shown in the status column beside the status text.
    virtual void ShowRowTime(int /*row*/, const std::string& /*text*/) {}
    // A mark shown after a row's status text ("" for none): the row's board has left after its
    // job, and the row keeps that job's result until another board takes the slot.
    virtual void ShowRowMark(int /*row*/, const std::string& /*mark*/) {}
    // A failed job or the end of a batch asks for the operator's attention (once per event).
    virtual void CallAttention() {}
    // The button the keyboard works on: the next step after the last action. The window gives it
    // the focus, with its focus frame, now when it is enabled, otherwise as soon as it is.
    virtual void ShowFocus(int /*controlId*/) {}

    // --- Modal interactions, called directly by the controller on the main thread.
    // A message box; an empty caption means the application's own name.
    virtual void ShowMessage(const std::string& text, const std::string& caption,
                             MessageIcon icon) = 0;
    // The file-open dialog for the key file, with the filter
    // "Key Database(*.kdb)|*.kdb|All File(*.*)|*.*||" and an empty initial name. Returns the
    // chosen path, or nothing when the operator cancels.
    virtual std::optional<std::string> ChooseKeyFile() = 0;
    // The configuration dialog, modal; it edits the settings in memory. The controller opens it
    // only while the station is idle.
    virtual void RunConfigDialog(CIniSettingBase& settings, CIniLocalLan& language) = 0;
    // The controller has shut down: close the window (the application then ends).
    virtual void CloseWindow() = 0;
};
