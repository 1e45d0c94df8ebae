// The Qt window in the scenario that every operator window runs (tests/common/ViewParity.h): at
// each step it shows exactly what the controller told it, in English and in Chinese. The states
// read back are written to parity-qt-en.txt and parity-qt-zh.txt in this build folder, where the
// Windows window's test compares its own with them.
#include <QFile>
#include <QTest>

#include "gui/DeviceTable.h"
#include "gui/QtMainThreadPoster.h"
#include "gui/StationWindow.h"
#include "tests/common/ViewParity.h"

using view_parity::ShownState;

namespace {

std::optional<RowColour> ToRowColour(const std::optional<QColor>& c) {
    if (!c) {
        return std::nullopt;
    }
    return RowColour{static_cast<uint8_t>(c->red()), static_cast<uint8_t>(c->green()),
                     static_cast<uint8_t>(c->blue())};
}

ShownState ReadBack(CStationWindow& window) {
    ShownState s;
    s.title = window.windowTitle().toStdString();
    for (int id : view_parity::kControls) {
        QString text;
        if (QPushButton* button = window.Button(id)) {
            text = button->text();
        } else if (QLabel* label = window.Label(id)) {
            // The summary's lines are cut to the label; its tool tip holds the whole text.
            text = id == StationControl::kSummaryLabel ? label->toolTip() : label->text();
        }
        s.texts[id] = text.toStdString();
        QWidget* control = window.Control(id);
        s.enabled[id] = control != nullptr && control->isEnabled();
        s.colours[id] = ToRowColour(window.ControlColour(id));
    }
    CDeviceTable* table = window.Table();
    for (int c = 0; c < kTableColumns; ++c) {
        s.columns[static_cast<size_t>(c)] = table->ColumnTitle(c).toStdString();
    }
    for (int r = 0; r < kTableRows; ++r) {
        ShownState::Row& row = s.rows[static_cast<size_t>(r)];
        for (int c = 0; c < kTableColumns; ++c) {
            row.cells[static_cast<size_t>(c)] = table->CellText(r, c).toStdString();
        }
        row.time = table->RowTime(r).toStdString();
        row.colour = ToRowColour(table->RowColour(r));
    }
    s.attention = window.AttentionCalls();
    s.focus = window.FocusedControl();
    return s;
}

}  // namespace

class WindowParityTest final : public QObject {
    Q_OBJECT

  private slots:
    void theWindowShowsWhatTheControllerSaysInEnglishAndChinese();
};

void WindowParityTest::theWindowShowsWhatTheControllerSaysInEnglishAndChinese() {
    for (const auto& [selected, tag] : {std::pair{0, "en"}, std::pair{1, "zh"}}) {
        CQtMainThreadPoster poster;
        CStationWindow window;
        window.show();
        view_parity::CParityScenario scenario(std::string("qt_") + tag, selected);
        view_parity::ViewProbe probe;
        probe.window = &window;
        probe.poster = &poster;
        probe.pumpUntil = [](const std::function<bool()>& pred, int ms) {
            return QTest::qWaitFor(pred, ms);
        };
        probe.readBack = [&window] { return ReadBack(window); };
        const std::string dump = scenario.Run(probe);
        for (const std::string& failure : scenario.Failures()) {
            qWarning("%s", failure.c_str());
        }
        QVERIFY(scenario.Failures().empty());
        // Every kind of view call the controller makes while it runs was made.
        for (const char* kind : view_parity::kViewCalls) {
            QVERIFY2(scenario.Parity()->Kinds().count(kind) == 1, kind);
        }
        QVERIFY(scenario.Parity()->Modals() == view_parity::kScenarioModals);
        QFile out(QStringLiteral(KS_BINARY_DIR "/tests/gui/parity-qt-%1.txt").arg(tag));
        QVERIFY(out.open(QIODevice::WriteOnly | QIODevice::Truncate));
        out.write(dump.data(), static_cast<qint64>(dump.size()));
        const QString folder = qEnvironmentVariable("KS_SHOT_DIR");
        if (!folder.isEmpty()) {
            QVERIFY(window.grab().save(folder + "/parity-qt-" + tag + ".png", "PNG"));
        }
    }
}

QTEST_MAIN(WindowParityTest)
#include "WindowParityTest.moc"
