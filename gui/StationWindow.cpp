#include "gui/StationWindow.h"

#include <QApplication>
#include <QCloseEvent>
#include <QFontMetrics>
#include <QKeyEvent>
#include <QPalette>
#include <QResizeEvent>
#include <QString>
#include <algorithm>

#include "app/StationController.h"
#include "gui/ConfigDialog.h"
#include "gui/StationIcon.h"
#include "gui/StationPrompts.h"
#include "support/TextElide.h"

namespace {

namespace C = StationControl;

// Counter captions and counters: pixel heights, weights and colours.
constexpr int kCaptionPixels = 13;
constexpr int kCounterPixels = 20;
constexpr int kCounterWeight = 900;
// The shift summary's lines: small enough for three failure texts beside the counters.
constexpr int kSummaryPixels = 11;
// The controller's clock tick: job times, stuck jobs, the summary's pace.
constexpr int kTickMs = 1000;
// The table's height and the summary band's under it (dialog units).
constexpr int kTableHeightUnits = 233;
constexpr int kSummaryHeightUnits = 42;

bool IsEnterPress(const QEvent* event) {
    if (event->type() != QEvent::KeyPress) {
        return false;
    }
    const int key = static_cast<const QKeyEvent*>(event)->key();
    return key == Qt::Key_Return || key == Qt::Key_Enter;
}

bool IsSwallowedKey(const QEvent* event) {
    if (event->type() != QEvent::KeyPress && event->type() != QEvent::KeyRelease &&
        event->type() != QEvent::ShortcutOverride) {
        return false;
    }
    const int key = static_cast<const QKeyEvent*>(event)->key();
    return key == Qt::Key_Return || key == Qt::Key_Enter || key == Qt::Key_Escape;
}

}  // namespace

CStationWindow::CStationWindow(QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowMinMaxButtonsHint | Qt::WindowCloseButtonHint),
      units_(CDialogUnits::DialogFont()) {
    setFont(CDialogUnits::DialogFont());
    setWindowTitle(QString::fromUtf8(kProductName));
    setWindowIcon(StationIcon());
    setObjectName(QStringLiteral("dialog%1").arg(C::kDialog));
    setProperty(kControlIdProperty, C::kDialog);

    AddButton(C::kKeyFileButton, "密钥文件", QRect(7, 7, 50, 28));
    AddButton(C::kStartStopButton, "开始", QRect(58, 7, 50, 28));
    AddButton(C::kExitButton, "退出", QRect(109, 7, 50, 28));
    AddButton(C::kConfigButton, "配置", QRect(160, 7, 61, 28));
    AddLabel(C::kKeyFileLabel, "密钥文件:", QRect(11, 52, 276, 17), Anchor::kWiden);
    AddLabel(C::kKeyCountLabel, "密钥数：", QRect(11, 84, 78, 17), Anchor::kFixed);
    AddLabel(C::kUnusedLabel, "未使用:", QRect(105, 84, 78, 17), Anchor::kFixed);
    AddLabel(C::kCreateTimeLabel, "创建时间:", QRect(199, 84, 155, 17), Anchor::kFixed);
    AddLabel(C::kSuccessCaption, "成功:", QRect(303, 10, 38, 17), Anchor::kRightEdge);
    AddLabel(C::kSuccessCounter, "00000", QRect(355, 10, 38, 17), Anchor::kRightEdge);
    AddLabel(C::kFailCaption, "失败:", QRect(303, 35, 38, 17), Anchor::kRightEdge);
    AddLabel(C::kFailCounter, "00000", QRect(355, 35, 38, 17), Anchor::kRightEdge);
    AddLabel(C::kTotalCaption, "总共:", QRect(303, 63, 38, 17), Anchor::kRightEdge);
    AddLabel(C::kTotalCounter, "00000", QRect(355, 63, 38, 17), Anchor::kRightEdge);
    StyleCounters();
    table_ = new CDeviceTable(this);
    Tag(table_, C::kDeviceTable, QRect(7, 106, 389, kTableHeightUnits), Anchor::kFillClient);
    // The shift summary in a band of its own under the table, as wide as the window: the pace
    // and the commonest failure texts, one a line; its full text is its tool tip.
    QLabel* summary = AddLabel(C::kSummaryLabel, "",
                               QRect(7, 106 + kTableHeightUnits + 1, 389, kSummaryHeightUnits),
                               Anchor::kBottomLine);
    summary->setFont(CDeviceTable::MakeFont(font(), kSummaryPixels, 0, 400));
    AddLabel(C::kStatusLine, "", QRect(7, 383, 389, 12), Anchor::kBottomLine);

    // The first focus is the key-file button (no key file is loaded yet); see showEvent.
    Button(C::kKeyFileButton)->setFocus(Qt::OtherFocusReason);

    tick_ = new QTimer(this);
    tick_->setInterval(kTickMs);
    connect(tick_, &QTimer::timeout, this, [this] {
        if (controller_ != nullptr) {
            controller_->OnClockTick();
        }
    });

    initialSize_ = units_.Size(kWidthUnits, kHeightUnits);
    resize(initialSize_);
    setMinimumSize(initialSize_);
    ApplyLayout();

    qApp->installEventFilter(this);
}

CStationWindow::~CStationWindow() {
    qApp->removeEventFilter(this);
}

void CStationWindow::AttachController(CStationController* controller) {
    controller_ = controller;
    if (controller_ != nullptr) {
        tick_->start();
    } else {
        tick_->stop();
    }
}

void CStationWindow::Tag(QWidget* widget, int id, QRect units, Anchor anchor) {
    widget->setObjectName(QStringLiteral("control%1").arg(id));
    widget->setProperty(kControlIdProperty, id);
    const QRect pixels = units_.Rect(units.x(), units.y(), units.width(), units.height());
    widget->setGeometry(pixels);
    controls_[id] = widget;
    placements_[id] = Placement{widget, pixels, anchor};
}

QPushButton* CStationWindow::AddButton(int id, const char* text, QRect units) {
    auto* button = new QPushButton(QString::fromUtf8(text), this);
    button->setAutoDefault(false);
    button->setDefault(false);
    Tag(button, id, units, Anchor::kFixed);
    connect(button, &QPushButton::clicked, this, [this, id] { OnButton(id); });
    return button;
}

QLabel* CStationWindow::AddLabel(int id, const char* text, QRect units, Anchor anchor) {
    auto* label = new QLabel(QString::fromUtf8(text), this);
    label->setTextFormat(Qt::PlainText);
    label->setWordWrap(false);
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    Tag(label, id, units, anchor);
    return label;
}

void CStationWindow::StyleCounters() {
    struct Style {
        int id;
        int pixels;
        int weight;
        QColor colour;
    };
    const Style styles[] = {
        {C::kSuccessCaption, kCaptionPixels, 400, Qt::black},
        {C::kFailCaption, kCaptionPixels, 400, Qt::black},
        {C::kTotalCaption, kCaptionPixels, 400, Qt::black},
        {C::kSuccessCounter, kCounterPixels, kCounterWeight, QColor(0, 255, 0)},
        {C::kFailCounter, kCounterPixels, kCounterWeight, QColor(255, 0, 0)},
        {C::kTotalCounter, kCounterPixels, kCounterWeight, Qt::black},
    };
    for (const Style& s : styles) {
        QLabel* label = Label(s.id);
        if (label == nullptr) {
            continue;
        }
        QFont face = CDeviceTable::MakeFont(font(), s.pixels, 0, s.weight);
        // A counter's five digits fit its label: a wide face is narrowed until they do.
        const int needed = QFontMetrics(face).horizontalAdvance(label->text());
        const int room = label->width();
        if (needed > room && needed > 0 && room > 0) {
            face.setStretch(std::max(1, room * 100 / needed));
        }
        label->setFont(face);
        QPalette palette = label->palette();
        palette.setColor(QPalette::WindowText, s.colour);
        label->setPalette(palette);
    }
}

QWidget* CStationWindow::Control(int controlId) const {
    auto it = controls_.find(controlId);
    return it == controls_.end() ? nullptr : it->second;
}

QPushButton* CStationWindow::Button(int controlId) const {
    return qobject_cast<QPushButton*>(Control(controlId));
}

QLabel* CStationWindow::Label(int controlId) const {
    return qobject_cast<QLabel*>(Control(controlId));
}

// ---------------------------------------------------------------------------------------------
// Layout

void CStationWindow::ApplyLayout() {
    const QSize initial = initialSize_;
    const QSize now = size();
    for (auto& [id, place] : placements_) {
        QRect r = place.initial;
        switch (place.anchor) {
            case Anchor::kFixed:
                break;
            case Anchor::kWiden:
                r.setWidth(place.initial.width() + now.width() - initial.width());
                break;
            case Anchor::kRightEdge:
                r.moveLeft(place.initial.left() + now.width() - initial.width());
                break;
            case Anchor::kFillClient:
                r.setWidth(place.initial.width() + now.width() - initial.width());
                r.setHeight(place.initial.height() + now.height() - initial.height());
                break;
            case Anchor::kBottomLine:
                r.moveTop(place.initial.top() + now.height() - initial.height());
                r.setWidth(place.initial.width() + now.width() - initial.width());
                break;
        }
        if (r.width() < 0) {
            r.setWidth(0);
        }
        if (r.height() < 0) {
            r.setHeight(0);
        }
        place.widget->setGeometry(r);
    }
}

void CStationWindow::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    // The focus frame shows from the start, as after a Tab, not only once one was pressed.
    if (QWidget* focus = focusWidget()) {
        focus->setFocus(Qt::TabFocusReason);
    }
    setAttribute(Qt::WA_KeyboardFocusChange);
}

void CStationWindow::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    ApplyLayout();
    for (const auto& shown : fullTexts_) {
        ShowElided(shown.first);
    }
    if (!isMinimized()) {
        table_->FitToClient();
    }
    update();
}

// ---------------------------------------------------------------------------------------------
// Keys, buttons and closing

bool CStationWindow::eventFilter(QObject* watched, QEvent* event) {
    if (IsSwallowedKey(event) && watched->isWidgetType() &&
        static_cast<QWidget*>(watched)->window() == this) {
        // Enter presses the focused button, as Space does; otherwise Enter and Escape do nothing
        // (neither closes the window).
        auto* button = qobject_cast<QPushButton*>(watched);
        if (IsEnterPress(event) && button != nullptr && button->hasFocus() && button->isEnabled() &&
            button->isVisible() && !static_cast<const QKeyEvent*>(event)->isAutoRepeat()) {
            button->click();
        }
        event->accept();
        return true;
    }
    return QWidget::eventFilter(watched, event);
}

void CStationWindow::OnButton(int controlId) {
    if (controller_ == nullptr) {
        return;
    }
    switch (controlId) {
        case C::kKeyFileButton:
            controller_->OnKeyFileButton();
            break;
        case C::kStartStopButton:
            controller_->OnStartStopButton();
            break;
        case C::kExitButton:
            controller_->OnClose("exit-button");
            break;
        case C::kConfigButton:
            controller_->OnConfigButton();
            break;
        default:
            break;
    }
}

void CStationWindow::closeEvent(QCloseEvent* event) {
    if (closeAllowed_ || controller_ == nullptr) {
        event->accept();
        return;
    }
    // The controller decides: it refuses while the station runs or stops, otherwise it shuts
    // down and calls CloseWindow.
    inCloseEvent_ = true;
    controller_->OnClose("close-box");
    inCloseEvent_ = false;
    if (closeAllowed_) {
        event->accept();
    } else {
        event->ignore();
    }
}

void CStationWindow::CloseWindow() {
    closeAllowed_ = true;
    // A station ended from outside (a signal) may have a box or dialog up: it goes first.
    for (QWidget* modal = QApplication::activeModalWidget(); modal != nullptr && modal != this;
         modal = QApplication::activeModalWidget()) {
        if (!modal->close()) {
            break;
        }
    }
    if (!inCloseEvent_) {
        close();
    }
}

void CStationWindow::ShowElided(int controlId) {
    QLabel* label = Label(controlId);
    if (label == nullptr) {
        return;
    }
    const QString& value = fullTexts_[controlId];
    const QFontMetrics metrics(label->font());
    const int width = label->contentsRect().width();
    QStringList lines;
    for (const QString& line : value.split(QLatin1Char('\n'))) {
        const std::string cut = ks::ElideUtf8(line.toStdString(), [&](std::string_view text) {
            return metrics.horizontalAdvance(QString::fromUtf8(
                       text.data(), static_cast<qsizetype>(text.size()))) <= width;
        });
        lines.push_back(QString::fromStdString(cut));
    }
    label->setText(lines.join(QLatin1Char('\n')));
    label->setToolTip(value);
    label->setProperty(kFullTextProperty, value);
}

// ---------------------------------------------------------------------------------------------
// IStationView

void CStationWindow::ShowWindowTitle(const std::string& title) {
    setWindowTitle(QString::fromStdString(title));
}

void CStationWindow::ShowControlText(int controlId, const std::string& text) {
    const QString value = QString::fromStdString(text);
    if (QPushButton* button = Button(controlId)) {
        button->setText(value);
    } else if (QLabel* label = Label(controlId)) {
        if (controlId == C::kSummaryLabel || controlId == C::kStatusLine) {
            fullTexts_[controlId] = value;
            ShowElided(controlId);
        } else {
            label->setText(value);
        }
    }
}

void CStationWindow::ShowControlColour(int controlId, std::optional<RowColour> colour) {
    QLabel* label = Label(controlId);
    if (label == nullptr) {
        return;
    }
    if (colour) {
        QPalette palette = label->palette();
        palette.setColor(QPalette::Window, QColor(colour->red, colour->green, colour->blue));
        label->setPalette(palette);
    }
    label->setAutoFillBackground(colour.has_value());
    label->update();
}

std::optional<QColor> CStationWindow::ControlColour(int controlId) const {
    const QLabel* label = Label(controlId);
    if (label == nullptr || !label->autoFillBackground()) {
        return std::nullopt;
    }
    return label->palette().color(QPalette::Window);
}

void CStationWindow::ShowRowTime(int row, const std::string& text) {
    table_->SetRowTime(row, QString::fromStdString(text));
}

void CStationWindow::ShowRowMark(int row, const std::string& mark) {
    table_->SetRowMark(row, QString::fromStdString(mark));
}

void CStationWindow::CallAttention() {
    ++attentionCalls_;
    QApplication::alert(this);
    QApplication::beep();
}

void CStationWindow::ShowControlEnabled(int controlId, bool enabled) {
    QWidget* control = Control(controlId);
    if (control == nullptr) {
        return;
    }
    // The model's focus goes to its button once that is enabled again.
    control->setEnabled(enabled);
    if (enabled && controlId == wantedFocus_) {
        FocusWhenEnabled(controlId);
    }
}

void CStationWindow::ShowFocus(int controlId) {
    FocusWhenEnabled(controlId);
}

int CStationWindow::FocusedControl() const {
    const QWidget* focus = focusWidget();
    if (focus == nullptr || !focus->isEnabled() ||
        qobject_cast<const QPushButton*>(focus) == nullptr) {
        return 0;
    }
    return focus->property(kControlIdProperty).toInt();
}

void CStationWindow::FocusWhenEnabled(int controlId) {
    QWidget* control = Control(controlId);
    if (control == nullptr) {
        return;
    }
    // In a window that is not active (a box is up) the focus lands there once it is again.
    if (control->isEnabled()) {
        control->setFocus(Qt::TabFocusReason);  // with its focus frame
        wantedFocus_ = 0;
    } else {
        wantedFocus_ = controlId;
    }
}

void CStationWindow::ShowColumnTitle(int column, const std::string& title) {
    table_->SetColumnTitle(column, QString::fromStdString(title));
}

void CStationWindow::ShowCellText(int row, int column, const std::string& text) {
    table_->SetCellText(row, column, QString::fromStdString(text));
}

void CStationWindow::ShowRowColour(int row, std::optional<RowColour> colour) {
    if (colour) {
        table_->SetRowColour(row, QColor(colour->red, colour->green, colour->blue));
    } else {
        table_->SetRowColour(row, std::nullopt);
    }
}

void CStationWindow::ShowMessage(const std::string& text, const std::string& caption,
                                 MessageIcon icon) {
    ShowStationMessage(this, text, caption, icon);
}

std::optional<std::string> CStationWindow::ChooseKeyFile() {
    // The filter in the station's language (the built-in one without a language text).
    QString filter;
    if (controller_ != nullptr) {
        const std::string text = controller_->GetLangText("IDS_KEYFILE_FILTER");
        if (!text.empty() && text != "IDS_KEYFILE_FILTER") {
            filter = QString::fromStdString(text);
        }
    }
    return ChooseKeyFilePath(this, filter);
}

void CStationWindow::RunConfigDialog(CIniSettingBase& settings, CIniLocalLan& language) {
    CConfigDialog dialog(settings, language, this);
    dialog.exec();
}
