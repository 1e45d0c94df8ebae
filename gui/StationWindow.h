// The station's main window (dialog 102): the key-file, Start/Stop, exit and configuration
// buttons, the key-file summary labels, the three counters and the device table. It shows what
// the controller's model says (IStationView) and hands the buttons and the close command to the
// controller.
//
// Every control carries its number as the dynamic property "controlId" and as its objectName
// ("control1001"); Control(id) finds it. Positions are dialog units of the dialog font. On every
// size change the controls keep their places or follow the right and bottom edges; the window
// can't be made smaller than it was created. Enter and Escape never reach the window or its
// controls. Below the table a status line says why a request was refused or what needs the
// operator; beside the counters the shift summary shows the pace and the commonest failures. A
// call for attention flashes the window in the task bar and rings the bell.
#pragma once

#include <QLabel>
#include <QPushButton>
#include <QRect>
#include <QTimer>
#include <QWidget>
#include <map>
#include <optional>
#include <string>

#include "app/StationView.h"
#include "gui/DeviceTable.h"
#include "gui/DialogUnits.h"

class CStationController;

class CStationWindow final : public QWidget, public IStationView {
    Q_OBJECT

  public:
    // Size of the window's client area in dialog units.
    static constexpr int kWidthUnits = 403;
    static constexpr int kHeightUnits = 400;
    static constexpr char kControlIdProperty[] = "controlId";
    // The whole text of a label shown cut to its width (the status line, the summary).
    static constexpr char kFullTextProperty[] = "fullText";

    explicit CStationWindow(QWidget* parent = nullptr);
    ~CStationWindow() override;
    CStationWindow(const CStationWindow&) = delete;
    CStationWindow& operator=(const CStationWindow&) = delete;

    // The controller that the buttons, the close command and the once-a-second clock tick go to;
    // null: none.
    void AttachController(CStationController* controller);

    // A control by its number, or null.
    QWidget* Control(int controlId) const;
    QPushButton* Button(int controlId) const;
    QLabel* Label(int controlId) const;
    CDeviceTable* Table() const { return table_; }
    const CDialogUnits& Units() const { return units_; }
    // The size the window was created with, which is also its minimum.
    QSize InitialSize() const { return initialSize_; }
    // A label's background colour set by the controller, or none.
    std::optional<QColor> ControlColour(int controlId) const;
    // Calls for attention so far.
    int AttentionCalls() const { return attentionCalls_; }
    // The button with the keyboard focus (the window's focus, whether or not it is active), or 0
    // when none has it.
    int FocusedControl() const;

    // --- IStationView.
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

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

  private:
    // Where a control goes when the window's client area changes size.
    enum class Anchor {
        kFixed,       // keeps its place and size
        kWiden,       // keeps left and top; its width follows the right edge
        kRightEdge,   // keeps its distance from the right edge
        kFillClient,  // keeps left and top; width and height follow the right and bottom edges
        kBottomLine,  // keeps left and its distance from the bottom edge; width follows the right
    };
    struct Placement {
        QWidget* widget = nullptr;
        QRect initial;  // in pixels, relative to the client area
        Anchor anchor = Anchor::kFixed;
    };

    QPushButton* AddButton(int id, const char* text, QRect units);
    QLabel* AddLabel(int id, const char* text, QRect units, Anchor anchor);
    void Tag(QWidget* widget, int id, QRect units, Anchor anchor);
    void StyleCounters();
    void ApplyLayout();
    void OnButton(int controlId);
    // Gives the control the focus now, or once it is enabled again.
    void FocusWhenEnabled(int controlId);
    // The status line and the summary: each line cut to the label's width with "…" at a
    // character boundary (again at every resize); the whole text is the tool tip and the
    // property kFullTextProperty.
    void ShowElided(int controlId);

    CDialogUnits units_;
    CStationController* controller_ = nullptr;
    std::map<int, QWidget*> controls_;
    std::map<int, Placement> placements_;
    CDeviceTable* table_ = nullptr;
    QSize initialSize_;
    bool closeAllowed_ = false;
    bool inCloseEvent_ = false;
    int attentionCalls_ = 0;
    QTimer* tick_ = nullptr;
    int wantedFocus_ = 0;  // the control that gets the focus once it is enabled; 0: none
    std::map<int, QString> fullTexts_;  // the elided labels' whole texts
};
