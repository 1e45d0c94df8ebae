// The main window driven through its buttons against emulated loader devices: the states of the
// station as the buttons show them, counters, row colours, the key-file action and its labels,
// the close command, and keys that must do nothing.
#include <QDate>
#include <QFileDialog>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QHeaderView>
#include <QLineEdit>
#include <QLocale>
#include <QMessageBox>
#include <QTest>

#include "gui/QtTranslations.h"
#include "gui/StationPrompts.h"
#include "keydb/KeyFile.h"
#include "provision/JobRecord.h"
#include "support/IniSettingBase.h"
#include "tests/gui/GuiStation.h"

using namespace gui_test;
namespace C = StationControl;

namespace {

// Counts the key events that reach a widget.
class KeyCounter final : public QObject {
  public:
    int count = 0;

  protected:
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::KeyPress) {
            ++count;
        }
        return false;
    }
};

QColor Green() {
    return QColor(0, 255, 0);
}
QColor Red() {
    return QColor(255, 0, 0);
}

}  // namespace

class StationWindowTest final : public QObject {
    Q_OBJECT

  private slots:
    void startStopAndStoppingShowInTheButtons();
    void stopWithoutJobsReturnsToIdleAtOnce();
    void theCloseCommandIsRefusedWhileRunningAndStopping();
    void countersRollOverFromAllNinesToZeros();
    void rowsTurnGreenOrRedAndLoseTheirColourWhenANewJobStarts();
    void builtInKeyCountCaptionEndsInAFullWidthColonAndIsReplaced();
    void theFileDialogOffersKeyDatabasesAndCancelChangesNothing();
    void aFailedLoadShowsAnErrorMessageAndLeadsBackToKeyFile();
    void languageTextsReachTheControlsByNumber();
    void enterAndEscapeNeverReachTheWindow();
    void headerClicksDoNotReorderRows();
    void configButtonOpensTheDialogOnlyWhenIdle();
    void resultsStayWhenBoardsLeaveAtTheirFinalResetAndTheBatchEndAlertsOnce();
    void refusalsShowInTheStatusLineAndLowKeysColourTheUnusedLabel();
    void tabLeavesTheTableAndTheSelectionIsAFrameAroundTheRow();
    void aStuckJobTurnsAmberAndItsTimeAdvancesWithTheClock();
    void oneStuckTwoFinishedAndOneRunningBoard();
    // Last: it installs Qt's Chinese translations into the application.
    void qtDialogTextsAreChineseWithTheChineseLanguageFile();
};

void StationWindowTest::startStopAndStoppingShowInTheButtons() {
    GuiStation station("states");
    GateClock* gate1 = station.NewGate();
    GateClock* gate2 = station.NewGate();
    gate1->Close();
    gate2->Close();
    QVERIFY(station.Plug("1-1", 0, gate1));
    QVERIFY(station.Plug("1-2", 1, gate2));
    QVERIFY(station.Boot().started);
    QVERIFY(station.WaitBound("1-1"));
    QVERIFY(station.WaitBound("1-2"));

    // Idle.
    QCOMPARE(station.Text(C::kStartStopButton), QStringLiteral("Start"));
    for (int id : {C::kStartStopButton, C::kKeyFileButton, C::kExitButton, C::kConfigButton}) {
        QVERIFY2(station.Enabled(id), qPrintable(QString::number(id)));
    }

    // Running: two jobs hold at their devices.
    station.Click(C::kStartStopButton);
    QVERIFY(WaitFor([&] { return gate1->Held() && gate2->Held(); }));
    QCOMPARE(station.Controller().State(), StationState::kRunning);
    QCOMPARE(station.Text(C::kStartStopButton), station.Lang("IDS_STOP_BUTTON"));
    QVERIFY(station.Enabled(C::kStartStopButton));
    for (int id : {C::kKeyFileButton, C::kExitButton, C::kConfigButton}) {
        QVERIFY(!station.Enabled(id));
    }

    // Stopping while both run; the first result leaves it stopping.
    station.Click(C::kStartStopButton);
    QCOMPARE(station.Controller().State(), StationState::kStopping);
    QVERIFY(WaitFor([&] { return station.Text(C::kStartStopButton) == "Stopping..."; }));
    QVERIFY(!station.Enabled(C::kStartStopButton));
    for (int id : {C::kKeyFileButton, C::kExitButton, C::kConfigButton}) {
        QVERIFY(!station.Enabled(id));
    }
    gate1->Open();
    QVERIFY(WaitFor([&] { return station.Text(C::kTotalCounter) == "00001"; }));
    QVERIFY(WaitFor([&] { return station.Window().Table()->RowColour(0).has_value(); }));
    QCOMPARE(station.Controller().State(), StationState::kStopping);
    QCOMPARE(station.Text(C::kStartStopButton), QStringLiteral("Stopping..."));
    QVERIFY(!station.Enabled(C::kStartStopButton));

    // The last result ends it.
    gate2->Open();
    QVERIFY(WaitFor([&] { return station.Controller().State() == StationState::kIdle; }));
    QVERIFY(WaitFor([&] { return station.Text(C::kStartStopButton) == "Start"; }));
    for (int id : {C::kStartStopButton, C::kKeyFileButton, C::kExitButton, C::kConfigButton}) {
        QVERIFY(station.Enabled(id));
    }
    QCOMPARE(station.Text(C::kSuccessCounter), QStringLiteral("00002"));
    QCOMPARE(station.Text(C::kTotalCounter), QStringLiteral("00002"));
}

void StationWindowTest::stopWithoutJobsReturnsToIdleAtOnce() {
    GuiStation station("stopidle");
    QVERIFY(station.Boot().started);
    station.Click(C::kStartStopButton);
    QVERIFY(WaitFor([&] { return station.Text(C::kStartStopButton) == "Stop"; }));
    QVERIFY(!station.Enabled(C::kConfigButton));
    station.Click(C::kStartStopButton);
    QCOMPARE(station.Controller().State(), StationState::kIdle);
    QVERIFY(WaitFor([&] { return station.Text(C::kStartStopButton) == "Start"; }));
    QVERIFY(station.Enabled(C::kStartStopButton));
    QVERIFY(station.Enabled(C::kConfigButton));

    // The exit button shuts the station down and closes the window.
    station.Click(C::kExitButton);
    QVERIFY(station.Controller().IsShutDown());
    QVERIFY(!station.Window().isVisible());
}

void StationWindowTest::theCloseCommandIsRefusedWhileRunningAndStopping() {
    GuiStation station("close");
    GateClock* gate = station.NewGate();
    gate->Close();
    QVERIFY(station.Plug("1-1", 0, gate));
    QVERIFY(station.Boot().started);
    QVERIFY(station.WaitBound("1-1"));
    CStationWindow& window = station.Window();

    station.Click(C::kStartStopButton);
    QVERIFY(WaitFor([&] { return gate->Held(); }));
    QVERIFY(!window.close());
    QVERIFY(window.isVisible());
    QVERIFY(!station.Controller().IsShutDown());

    station.Click(C::kStartStopButton);
    QCOMPARE(station.Controller().State(), StationState::kStopping);
    QVERIFY(!window.close());
    QVERIFY(window.isVisible());

    gate->Open();
    QVERIFY(WaitFor([&] { return station.Controller().State() == StationState::kIdle; }));
    QVERIFY(window.close());
    QVERIFY(!window.isVisible());
    QVERIFY(station.Controller().IsShutDown());
    // The settings were saved on the way out.
    QVERIFY(fs::exists(station.Home() / "config.ini"));
}

void StationWindowTest::countersRollOverFromAllNinesToZeros() {
    GuiStation station("rollover");
    QVERIFY(station.Plug("1-1"));
    QVERIFY(station.Boot().started);
    QVERIFY(station.WaitBound("1-1"));
    station.Controller().Model().SetControlText(C::kSuccessCounter, "99999");
    station.Controller().Model().SetControlText(C::kTotalCounter, "99999");
    QVERIFY(WaitFor([&] { return station.Text(C::kSuccessCounter) == "99999"; }));

    station.Click(C::kStartStopButton);
    QVERIFY(WaitFor([&] { return station.Window().Table()->RowColour(0) == Green(); }));
    QCOMPARE(station.Text(C::kSuccessCounter), QStringLiteral("00000"));
    QCOMPARE(station.Text(C::kTotalCounter), QStringLiteral("00000"));
    QCOMPARE(station.Text(C::kFailCounter), QStringLiteral("00000"));
}

void StationWindowTest::rowsTurnGreenOrRedAndLoseTheirColourWhenANewJobStarts() {
    GuiStation station("colours");
    GateClock* gate = station.NewGate();
    QVERIFY(station.Plug("1-1", 0, gate));
    std::shared_ptr<LoaderEmulator> failing = station.Plug("1-2", 1);
    QVERIFY(failing);
    LoaderFaults faults = failing->Faults();
    faults.failStatusCount = 1000;  // the device refuses every command
    failing->SetFaults(faults);
    QVERIFY(station.Boot().started);
    QVERIFY(station.WaitBound("1-1"));
    QVERIFY(station.WaitBound("1-2"));
    CDeviceTable* table = station.Window().Table();
    QCOMPARE(table->CellText(0, 1), QStringLiteral("1-1"));
    QCOMPARE(table->CellText(1, 1), QStringLiteral("1-2"));
    QVERIFY(!table->RowColour(0));

    station.Click(C::kStartStopButton);
    QVERIFY(WaitFor([&] { return table->RowColour(0) && table->RowColour(1); }));
    QCOMPARE(*table->RowColour(0), Green());
    QCOMPARE(*table->RowColour(1), Red());
    QCOMPARE(table->CellText(0, 2), station.Lang("IDS_PROCCESS_OK") + "[]");
    QCOMPARE(table->CellText(1, 2), station.Lang("IDS_TEST_DEVICE_ERROR") +
                                        QString::fromUtf8(kKeyNoteSeparator) +
                                        station.Lang("IDS_NO_KEY_SENT"));
    QCOMPARE(table->item(0, 1)->background().color(), Green());
    QCOMPARE(table->item(1, 0)->background().color(), Red());
    QCOMPARE(station.Text(C::kSuccessCounter), QStringLiteral("00001"));
    QCOMPARE(station.Text(C::kFailCounter), QStringLiteral("00001"));
    QCOMPARE(station.Text(C::kTotalCounter), QStringLiteral("00002"));

    // Stop, then Start again with the devices still plugged in: slot 1's new job drops the
    // green at its start.
    QVERIFY(WaitFor([&] { return !station.AnyRunning(); }));
    station.Click(C::kStartStopButton);
    QVERIFY(WaitFor([&] { return station.Controller().State() == StationState::kIdle; }));
    gate->Close();
    station.Click(C::kStartStopButton);
    QVERIFY(WaitFor([&] { return gate->Held(); }));
    QVERIFY(WaitFor([&] { return !table->RowColour(0); }));
    QVERIFY(table->item(0, 2)->data(Qt::BackgroundRole).isNull());
    QCOMPARE(table->CellText(0, 1), QStringLiteral("1-1"));
    QCOMPARE(table->CellText(0, 0), QStringLiteral("1"));
    gate->Open();
    QVERIFY(WaitFor([&] { return table->RowColour(0).has_value(); }));
}

void StationWindowTest::builtInKeyCountCaptionEndsInAFullWidthColonAndIsReplaced() {
    GuiStation station("builtin");
    station.language["LanKinds"] = "0";
    const std::string kdb =
        station.MakeKeyFile("keys.kdb", 1000, 64, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10});
    QVERIFY(station.Boot().started);
    QCOMPARE(station.Text(C::kKeyCountLabel), QStringLiteral("密钥数："));
    QCOMPARE(station.Window().windowTitle(), QStringLiteral("Key Station"));

    ModalDriver<QFileDialog> dialog([&](QFileDialog* d) { ChooseFile(d, PathToQString(kdb)); });
    station.Click(C::kKeyFileButton);
    QVERIFY(dialog.Handled());
    QVERIFY(WaitFor([&] { return station.Text(C::kKeyCountLabel) == "1000"; }));
    QCOMPARE(station.Text(C::kKeyFileLabel), "密钥文件:" + PathToQString(kdb));
    QCOMPARE(station.Text(C::kUnusedLabel), QStringLiteral("未使用:990"));
    QCOMPARE(station.Text(C::kCreateTimeLabel), QStringLiteral("创建时间:2026-01-31 12:00:00"));
    QCOMPARE(station.Text(C::kKeyFileButton), QStringLiteral("密钥文件"));
    QVERIFY(station.Enabled(C::kKeyFileButton));
    QVERIFY(station.Enabled(C::kStartStopButton));
    QVERIFY(station.Enabled(C::kExitButton));

    // A job that records its key counts the unused label down; the count label keeps no caption.
    QVERIFY(station.Plug("1-1"));
    QVERIFY(station.WaitBound("1-1"));
    station.Controller().MutableSettings().WriteKeybox = 1;
    station.Click(C::kStartStopButton);
    QVERIFY(WaitFor([&] { return station.Text(C::kUnusedLabel) == "未使用:989"; }));
    QCOMPARE(station.Text(C::kKeyCountLabel), QStringLiteral("1000"));
}

void StationWindowTest::theFileDialogOffersKeyDatabasesAndCancelChangesNothing() {
    GuiStation station("filedialog");
    const std::string kdb = station.MakeKeyFile("keys.kdb", 10, 32);
    QVERIFY(station.Boot().started);
    station.Controller().LoadKeyFile(kdb);
    QVERIFY(WaitFor([&] { return station.Text(C::kKeyCountLabel) == "Keys:10"; }));
    const CKeyFile* loaded = station.Controller().KeyFile();
    QVERIFY(loaded != nullptr);

    QStringList filters;
    QFileDialog::FileMode mode = QFileDialog::Directory;
    QString initialName = QStringLiteral("unset");
    ModalDriver<QFileDialog> dialog([&](QFileDialog* d) {
        filters = d->nameFilters();
        mode = d->fileMode();
        if (auto* name = d->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"))) {
            initialName = name->text();
        }
        d->reject();
    });
    station.Click(C::kKeyFileButton);
    QVERIFY(dialog.Handled());
    QCOMPARE(filters, QStringList({"Key Database(*.kdb)", "All File(*.*)"}));
    QCOMPARE(mode, QFileDialog::ExistingFile);
    QCOMPARE(initialName, QString());
    QCOMPARE(station.Controller().KeyFile(), loaded);
    QCOMPARE(station.Text(C::kKeyCountLabel), QStringLiteral("Keys:10"));
    QCOMPARE(station.Text(C::kKeyFileButton), QStringLiteral("Key File"));
}

void StationWindowTest::aFailedLoadShowsAnErrorMessageAndLeadsBackToKeyFile() {
    GuiStation station("badfile");
    const std::string good = station.MakeKeyFile("keys.kdb", 10, 32);
    const fs::path bad = station.Home() / "bad.kdb";
    WriteText(bad, "KBOX but nothing else");
    QVERIFY(station.Boot().started);
    station.Controller().LoadKeyFile(good);
    QVERIFY(WaitFor([&] { return station.Text(C::kKeyCountLabel) == "Keys:10"; }));

    ModalDriver<QFileDialog> dialog(
        [&](QFileDialog* d) { ChooseFile(d, PathToQString(bad.string())); });
    // While the message is up, the load is over: the buttons are back with their own texts.
    QString text, caption, buttonText, countLabel;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    bool buttonsEnabled = false;
    ModalDriver<QMessageBox> message([&](QMessageBox* box) {
        text = box->text();
        caption = box->windowTitle();
        icon = box->icon();
        buttonText = station.Text(C::kKeyFileButton);
        countLabel = station.Text(C::kKeyCountLabel);
        buttonsEnabled = station.Enabled(C::kKeyFileButton) &&
                         station.Enabled(C::kStartStopButton) && station.Enabled(C::kExitButton) &&
                         station.Enabled(C::kConfigButton);
        box->accept();
    });
    station.Click(C::kKeyFileButton);
    QVERIFY(dialog.Handled());
    QVERIFY(message.Handled());
    // The message says in plain words what is wrong and what to do, and the status line under
    // the table keeps those words; the failing check's own text is in the log only.
    QCOMPARE(text,
             station.Lang("IDS_LOADING_FW_FAIL") + ": " + station.Lang("IDS_KEYFILE_CUT_SHORT"));
    QVERIFY(WaitFor(
        [&] { return station.Text(C::kStatusLine) == station.Lang("IDS_KEYFILE_CUT_SHORT"); }));
    QCOMPARE(caption, QStringLiteral("ERROR"));
    QCOMPARE(icon, QMessageBox::Critical);
    QCOMPARE(buttonText, QStringLiteral("Key File"));
    QCOMPARE(countLabel, QStringLiteral("Keys:"));
    QVERIFY(buttonsEnabled);
    // The next step is a key file again: Enter goes to Key File, not to Configure.
    QVERIFY(WaitFor([&] { return station.Window().FocusedControl() == C::kKeyFileButton; }));

    // Afterwards: no key file, empty values, the buttons back.
    QVERIFY(WaitFor([&] { return station.Text(C::kKeyFileButton) == "Key File"; }));
    QCOMPARE(station.Controller().KeyFile(), nullptr);
    QCOMPARE(station.Text(C::kKeyFileLabel), QStringLiteral("Key file:"));
    QCOMPARE(station.Text(C::kUnusedLabel), QStringLiteral("Unused:"));
    QVERIFY(station.Enabled(C::kStartStopButton));
    QVERIFY(station.Enabled(C::kExitButton));
}

void StationWindowTest::languageTextsReachTheControlsByNumber() {
    GuiStation station("language");
    QVERIFY(station.Boot().started);
    CStationWindow& window = station.Window();
    QCOMPARE(window.windowTitle(), QStringLiteral("Key Provisioning Station V1.55"));
    QCOMPARE(station.Text(C::kKeyFileButton), QStringLiteral("Key File"));
    QCOMPARE(station.Text(C::kConfigButton), QStringLiteral("Config"));
    QCOMPARE(station.Text(C::kSuccessCaption), QStringLiteral("Success:"));
    QCOMPARE(station.Text(C::kCreateTimeLabel), QStringLiteral("Created:"));
    QCOMPARE(station.Text(C::kSuccessCounter), QStringLiteral("00000"));
    QCOMPARE(window.Table()->ColumnTitle(0), QStringLiteral("Slot"));
    QCOMPARE(window.Table()->ColumnTitle(2), QStringLiteral("Status"));
    // Each control is found by its number.
    for (int id : {C::kKeyFileButton, C::kStartStopButton, C::kExitButton, C::kConfigButton,
                   C::kKeyFileLabel, C::kKeyCountLabel, C::kUnusedLabel, C::kCreateTimeLabel,
                   C::kSuccessCaption, C::kSuccessCounter, C::kFailCaption, C::kFailCounter,
                   C::kTotalCaption, C::kTotalCounter, C::kDeviceTable}) {
        QWidget* control = window.findChild<QWidget*>(QStringLiteral("control%1").arg(id));
        QVERIFY2(control != nullptr, qPrintable(QString::number(id)));
        QCOMPARE(control->property(CStationWindow::kControlIdProperty).toInt(), id);
        QCOMPARE(window.Control(id), control);
    }

    // The Chinese file, read from code page 936.
    GuiStation chinese("chinese");
    chinese.language["Selected"] = "1";
    QVERIFY(chinese.Boot().started);
    QCOMPARE(chinese.Text(C::kStartStopButton),
             QString::fromStdString(chinese.Controller().GetLangText("IDS_START_BUTTON")));
    QVERIFY(chinese.Window().windowTitle().endsWith(" V1.55"));
    QVERIFY(chinese.Text(C::kKeyFileButton) != QStringLiteral("Key File"));
    // The machine has a font for these texts (the set-up installs one), so none shows as boxes.
    const QStringList families = QFontDatabase::families(QFontDatabase::SimplifiedChinese);
    QVERIFY2(!families.isEmpty(), "no font for Simplified Chinese");
    const QFontMetrics metrics{QFont(families.front())};
    for (int id : {C::kKeyFileButton, C::kStartStopButton, C::kExitButton, C::kConfigButton,
                   C::kKeyFileLabel, C::kUnusedLabel}) {
        const QString text = chinese.Text(id);
        QVERIFY(!text.isEmpty());
        for (const QChar ch : text) {
            QVERIFY2(metrics.inFont(ch), qPrintable(QStringLiteral("%1 in %2").arg(ch).arg(text)));
        }
    }
}

void StationWindowTest::enterAndEscapeNeverReachTheWindow() {
    GuiStation station("keys");
    QVERIFY(station.Plug("1-1"));
    QVERIFY(station.Boot().started);
    CStationWindow& window = station.Window();
    QPushButton* start = window.Button(C::kStartStopButton);
    KeyCounter startKeys;
    KeyCounter tableKeys;
    KeyCounter windowKeys;
    start->installEventFilter(&startKeys);
    window.Table()->installEventFilter(&tableKeys);
    window.installEventFilter(&windowKeys);
    window.Table()->setFocus();

    for (QWidget* target : {static_cast<QWidget*>(start), static_cast<QWidget*>(window.Table()),
                            static_cast<QWidget*>(&window)}) {
        for (Qt::Key key : {Qt::Key_Return, Qt::Key_Enter, Qt::Key_Escape}) {
            QTest::keyClick(target, key);
        }
    }
    QCOMPARE(startKeys.count, 0);
    QCOMPARE(tableKeys.count, 0);
    QCOMPARE(windowKeys.count, 0);
    QVERIFY(window.isVisible());
    // Start did not have the focus: nothing was pressed.
    QCOMPARE(station.Controller().State(), StationState::kIdle);

    // Other keys still reach the controls: Space presses the focused button...
    start->setFocus();
    QTest::keyClick(start, Qt::Key_Space);
    QCOMPARE(startKeys.count, 1);
    QCOMPARE(station.Controller().State(), StationState::kRunning);
    QVERIFY(WaitFor([&] { return !station.AnyRunning(); }));
    // ...and so does Enter (the key itself still never reaches the control).
    QTest::keyClick(start, Qt::Key_Return);
    station.Flush();
    QCOMPARE(startKeys.count, 1);
    QCOMPARE(station.Controller().State(), StationState::kIdle);
    QTest::keyClick(start, Qt::Key_Enter);
    station.Flush();
    QCOMPARE(station.Controller().State(), StationState::kRunning);
    QVERIFY(WaitFor([&] { return !station.AnyRunning(); }));
    station.Click(C::kStartStopButton);
}

void StationWindowTest::headerClicksDoNotReorderRows() {
    GuiStation station("header");
    QVERIFY(station.Plug("1-1"));
    QVERIFY(station.Boot().started);
    QVERIFY(station.WaitBound("1-1"));
    CDeviceTable* table = station.Window().Table();
    QHeaderView* header = table->horizontalHeader();
    for (int column = 0; column < 3; ++column) {
        const QPoint at(header->sectionViewportPosition(column) + 5, header->height() / 2);
        QTest::mouseClick(header->viewport(), Qt::LeftButton, {}, at);
        QTest::mouseClick(header->viewport(), Qt::LeftButton, {}, at);
    }
    QVERIFY(!table->isSortingEnabled());
    for (int r = 0; r < 16; ++r) {
        QCOMPARE(table->CellText(r, 0), QString::number(r + 1));
    }
    QCOMPARE(table->CellText(0, 1), QStringLiteral("1-1"));
}

void StationWindowTest::configButtonOpensTheDialogOnlyWhenIdle() {
    GuiStation station("config");
    QVERIFY(station.Boot().started);
    QString title;
    ModalDriver<QDialog> dialog([&](QDialog* d) {
        title = d->windowTitle();
        d->reject();
    });
    station.Click(C::kConfigButton);
    QVERIFY(dialog.Handled());
    QCOMPARE(title, QStringLiteral("Configuration"));

    station.Click(C::kStartStopButton);
    QVERIFY(WaitFor([&] { return !station.Enabled(C::kConfigButton); }));
    ModalDriver<QDialog> none([&](QDialog* d) { d->reject(); }, 300);
    station.Controller().OnConfigButton();  // even a direct request is refused
    QTest::qWait(400);
    QVERIFY(!none.Handled());
    station.Click(C::kStartStopButton);
}

void StationWindowTest::resultsStayWhenBoardsLeaveAtTheirFinalResetAndTheBatchEndAlertsOnce() {
    GuiStation station("leftrows");
    station.system["ResetAfterWrite"] = "1";
    QVERIFY(station.Plug("1-1", 0));
    QVERIFY(station.Plug("1-2", 1));
    QVERIFY(station.Boot().started);
    QVERIFY(station.WaitBound("1-1"));
    QVERIFY(station.WaitBound("1-2"));
    CDeviceTable* table = station.Window().Table();
    station.Click(C::kStartStopButton);
    // Both boards pass and leave the bus at their final reset: their slots free up.
    QVERIFY(WaitFor([&] {
        return station.Text(C::kTotalCounter) == "00002" &&
               station.Controller().SlotsSnapshot().empty();
    }));
    station.Flush();
    const QString left = station.Lang("IDS_DEVICE_LEFT");
    for (int row : {0, 1}) {
        QCOMPARE(table->RowColour(row), std::optional<QColor>(Green()));
        QCOMPARE(table->CellText(row, 1), QStringLiteral("1-%1").arg(row + 1));
        QCOMPARE(table->CellText(row, 2), station.Lang("IDS_PROCCESS_OK") + "[]" + left);
        QVERIFY(!table->RowTime(row).isEmpty());  // the job's duration
    }
    QCOMPARE(station.Window().AttentionCalls(), 1);  // the batch's end, once
    station.Click(C::kStartStopButton);
}

void StationWindowTest::refusalsShowInTheStatusLineAndLowKeysColourTheUnusedLabel() {
    GuiStation station("refusals");
    station.system["WriteKeybox"] = "1";
    station.system["LowKeys"] = "20";
    const std::string kdb = station.MakeKeyFile("keys.kdb", 12, 32);
    QVERIFY(station.Boot().started);
    QLabel* status = station.Window().Label(C::kStatusLine);
    QVERIFY(status != nullptr && status->isVisible());
    // A fresh start says what to do first.
    QCOMPARE(status->text(), station.Lang("IDS_FIRST_LOAD_KEYFILE"));
    station.Click(C::kStartStopButton);
    QCOMPARE(station.Controller().State(), StationState::kIdle);
    QVERIFY(WaitFor([&] { return status->text() == station.Lang("IDS_START_NO_KEYFILE"); }));
    // The status line lies under the table, inside the window.
    const QRect table = station.Window().Table()->geometry();
    QVERIFY(status->geometry().top() >= table.bottom());
    QVERIFY(status->geometry().bottom() <= station.Window().rect().bottom());

    QVERIFY(!station.Window().ControlColour(C::kUnusedLabel));
    station.Controller().LoadKeyFile(kdb);
    QVERIFY(WaitFor([&] { return station.Text(C::kUnusedLabel) == "Unused:12"; }));
    QCOMPARE(station.Window().ControlColour(C::kUnusedLabel),
             std::optional<QColor>(QColor(255, 191, 0)));
    QCOMPARE(status->text(), QString());  // a key file is loaded: the refusal is past
}

void StationWindowTest::tabLeavesTheTableAndTheSelectionIsAFrameAroundTheRow() {
    GuiStation station("keyboard");
    QVERIFY(station.Plug("1-1"));
    QVERIFY(station.Boot().started);
    QVERIFY(station.WaitBound("1-1"));
    CStationWindow& window = station.Window();
    CDeviceTable* table = window.Table();
    station.Click(C::kStartStopButton);
    QVERIFY(WaitFor([&] { return table->RowColour(0) == Green(); }));
    station.Click(C::kStartStopButton);

    window.activateWindow();
    table->setFocus();
    QVERIFY(WaitFor([&] { return table->hasFocus(); }));
    table->selectRow(0);
    QTest::keyClick(table, Qt::Key_Tab);
    QVERIFY2(!table->hasFocus(), "Tab stayed in the table");
    table->setFocus();
    QTest::keyClick(table, Qt::Key_Backtab, Qt::ShiftModifier);
    QVERIFY2(!table->hasFocus(), "Shift+Tab stayed in the table");

    // The selected green row: green inside, a frame of the highlight colour at its edge.
    QVERIFY(table->selectionModel()->isRowSelected(0, QModelIndex()));
    const QImage shot = table->viewport()->grab().toImage();
    const int top = table->rowViewportPosition(0);
    const int x = table->columnViewportPosition(0) + 6;
    const QColor inside = shot.pixelColor(x, top + table->rowHeight(0) / 2);
    QCOMPARE(inside, Green());
    const QColor edge = shot.pixelColor(table->columnViewportPosition(1) + 8, top + 1);
    QCOMPARE(edge, table->palette().color(QPalette::Highlight));
    // An unselected row has no frame.
    const int next = table->rowViewportPosition(1);
    QVERIFY(shot.pixelColor(table->columnViewportPosition(1) + 8, next + table->rowHeight(1) / 2) !=
            table->palette().color(QPalette::Highlight));
}

using station_fixture::HandClock;

void StationWindowTest::aStuckJobTurnsAmberAndItsTimeAdvancesWithTheClock() {
    GuiStation station("stuck");
    HandClock clock;
    station.jobClock = &clock;
    station.system["StuckSeconds"] = "90";
    GateClock* gate = station.NewGate();
    gate->Close();
    QVERIFY(station.Plug("1-1", 0, gate));
    QVERIFY(station.Boot().started);
    QVERIFY(station.WaitBound("1-1"));
    CDeviceTable* table = station.Window().Table();
    station.Click(C::kStartStopButton);
    QVERIFY(WaitFor([&] { return gate->Held(); }));
    QVERIFY(WaitFor([&] { return table->RowTime(0) == "0:00"; }));

    clock.Advance(45000);
    station.Controller().OnClockTick();
    QVERIFY(WaitFor([&] { return table->RowTime(0) == "0:45"; }));
    QVERIFY(!table->RowColour(0));
    clock.Advance(46000);
    station.Controller().OnClockTick();
    QVERIFY(WaitFor([&] { return table->RowTime(0) == "1:31"; }));
    QCOMPARE(table->RowColour(0), std::optional<QColor>(QColor(255, 191, 0)));
    QVERIFY(station.Controller().State() == StationState::kRunning);  // it goes on

    clock.Advance(9000);
    gate->Open();
    QVERIFY(WaitFor([&] { return table->RowColour(0) == Green(); }));
    QCOMPARE(table->RowTime(0), QStringLiteral("1:40"));
    station.Controller().OnClockTick();  // a finished row keeps its duration
    station.Flush();
    QCOMPARE(table->RowTime(0), QStringLiteral("1:40"));
    // One job in the 100 s since the first started: a rate over that minute, said so.
    QVERIFY(station.Text(C::kSummaryLabel)
                .startsWith("36 " + station.Lang("IDS_SUMMARY_RATE").replace("%d", "1")));
    station.Click(C::kStartStopButton);
}

void StationWindowTest::oneStuckTwoFinishedAndOneRunningBoard() {
    GuiStation station("mixed");
    HandClock clock;
    station.jobClock = &clock;
    station.system["StuckSeconds"] = "90";
    GateClock* slow = station.NewGate();
    GateClock* late = station.NewGate();
    slow->Close();
    late->Close();
    QVERIFY(station.Plug("1-1", 0, slow));
    QVERIFY(station.Plug("1-2", 1));
    std::shared_ptr<LoaderEmulator> failing = station.Plug("1-3", 2);
    QVERIFY(failing);
    LoaderFaults faults = failing->Faults();
    faults.failStatusCount = 1000;
    failing->SetFaults(faults);
    QVERIFY(station.Boot().started);
    for (const char* at : {"1-1", "1-2", "1-3"}) {
        QVERIFY(station.WaitBound(at));
    }
    CDeviceTable* table = station.Window().Table();
    station.Click(C::kStartStopButton);
    QVERIFY(WaitFor([&] { return table->RowColour(1) && table->RowColour(2); }));
    QVERIFY(WaitFor([&] { return slow->Held(); }));  // its thread may be behind the others

    clock.Advance(100000);
    station.Controller().OnClockTick();
    QVERIFY(station.Plug("1-4", 3, late));  // its job starts now
    QVERIFY(WaitFor([&] { return late->Held(); }));
    clock.Advance(7000);
    station.Controller().OnClockTick();
    QVERIFY(WaitFor([&] { return table->RowTime(3) == "0:07"; }));
    QCOMPARE(table->RowTime(0), QStringLiteral("1:47"));
    QCOMPARE(table->RowColour(0), std::optional<QColor>(QColor(255, 191, 0)));
    QCOMPARE(table->RowColour(1), std::optional<QColor>(Green()));
    QCOMPARE(table->RowColour(2), std::optional<QColor>(Red()));
    QVERIFY(!table->RowColour(3));
    QVERIFY(station.Text(C::kStatusLine).startsWith(station.Lang("IDS_JOB_STUCK")));
    QVERIFY(station.Text(C::kSummaryLabel).contains(QStringLiteral("1 x ")));

    // Under a virtual X server the picture is kept for the record.
    const QString folder = qEnvironmentVariable("KS_SHOT_DIR");
    if (!folder.isEmpty()) {
        QVERIFY(station.Window().grab().save(folder + "/stuck-finished-running.png", "PNG"));
    }
    slow->Open();
    late->Open();
    QVERIFY(WaitFor([&] { return !station.AnyRunning(); }));
    station.Click(C::kStartStopButton);
}

void StationWindowTest::qtDialogTextsAreChineseWithTheChineseLanguageFile() {
    GuiStation english("qtenglish");
    QVERIFY(english.Boot().started);
    QCOMPARE(english.Controller().UiLocale(), std::string("en"));

    GuiStation chinese("qtchinese");
    chinese.language["Selected"] = "1";
    QVERIFY(chinese.Boot().started);
    QCOMPARE(chinese.Controller().UiLocale(), std::string("zh_CN"));
    QCOMPARE(QCoreApplication::translate("QPlatformTheme", "Cancel"), QStringLiteral("Cancel"));
    QVERIFY(InstallQtTranslations(chinese.Controller().UiLocale()));
    // The message box's and the file dialog's own texts.
    QCOMPARE(QCoreApplication::translate("QPlatformTheme", "Cancel"), QStringLiteral("取消"));
    // Dates in the Chinese format ("2026/12/8", not "8 Dec"), and the file filter in Chinese.
    QCOMPARE(QLocale().toString(QDate(2026, 12, 8), QLocale::ShortFormat),
             QLocale(QLocale::Chinese, QLocale::China)
                 .toString(QDate(2026, 12, 8), QLocale::ShortFormat));
    QVERIFY(!QLocale().toString(QDate(2026, 12, 8), QLocale::ShortFormat).contains("Dec"));
    QString lookIn;
    QStringList filters;
    ModalDriver<QFileDialog> dialog([&](QFileDialog* d) {
        lookIn = d->labelText(QFileDialog::LookIn);
        filters = d->nameFilters();
        d->reject();
    });
    chinese.Click(C::kKeyFileButton);
    QVERIFY(dialog.Handled());
    QVERIFY2(lookIn != QStringLiteral("Look in:") && !lookIn.isEmpty(), qPrintable(lookIn));
    QVERIFY(!filters.isEmpty());
    QVERIFY2(filters[0].startsWith(chinese.Lang("IDS_KEYFILE_FILTER").section('(', 0, 0)) &&
                 filters[0].contains(QStringLiteral("*.kdb")) && !filters[0].contains("Database"),
             qPrintable(filters.join('|')));
    QLocale::setDefault(QLocale::c());
}

QTEST_MAIN(StationWindowTest)
#include "StationWindowTest.moc"
