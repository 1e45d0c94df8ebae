// The operator's window on a real X server (run under xvfb-run), in English and in Chinese, saved
// as pictures for a person to look at: Stop then Start over boards that passed, a damaged key file
// with its message, and a full key-file disk (where a small file system can be mounted). Each
// scene also checks what it shows. Pictures go to KS_SHOT_DIR (default: the working folder).

#include <QGuiApplication>
#include <QMessageBox>
#include <QScreen>
#include <QTest>
#include <fstream>

#include "tests/gui/GuiStation.h"

using namespace gui_test;
namespace C = StationControl;

namespace {

QString ShotPath(const QString& name) {
    QString folder = qEnvironmentVariable("KS_SHOT_DIR");
    if (folder.isEmpty()) {
        folder = QStringLiteral(".");
    }
    return folder + QStringLiteral("/") + name + QStringLiteral(".png");
}

// The whole screen (the window and any message box over it).
bool SaveScreen(const QString& name) {
    QTest::qWait(300);
    QScreen* screen = QGuiApplication::primaryScreen();
    return screen != nullptr && screen->grabWindow(0).save(ShotPath(name));
}

QString Suffix(const char* selected) {
    return std::string(selected) == "0" ? QStringLiteral("-en") : QStringLiteral("-zh");
}

}  // namespace

class ScreenshotTour final : public QObject {
    Q_OBJECT

  private slots:
    void stopStartOverPassedBoards();
    void aDamagedKeyFile();
    void aFullDisk();
};

void ScreenshotTour::stopStartOverPassedBoards() {
    for (const char* selected : {"0", "1"}) {
        GuiStation station(std::string("tour-already") + selected);
        station.language["Selected"] = selected;
        station.system["GetRkp"] = "1";
        station.system["WriteKeybox"] = "1";
        const std::string kdb = station.MakeKeyFile("keys.kdb", 40, 32);
        for (int i = 0; i < 8; ++i) {
            QVERIFY(station.Plug("1-" + std::to_string(i + 1), i));
        }
        QVERIFY(station.Boot().started);
        QVERIFY(station.WaitBound("1-8"));
        station.Controller().LoadKeyFile(kdb);
        station.Click(C::kStartStopButton);
        QVERIFY(WaitFor([&] {
            return station.Text(C::kSuccessCounter) == QStringLiteral("00008") &&
                   !station.AnyRunning();
        }));
        station.Click(C::kStartStopButton);
        QVERIFY(WaitFor([&] { return station.Controller().State() == StationState::kIdle; }));
        station.Click(C::kStartStopButton);
        const QColor already(kRowAlready.red, kRowAlready.green, kRowAlready.blue);
        QVERIFY(WaitFor([&] {
            for (int row = 0; row < 8; ++row) {
                if (station.Window().Table()->RowColour(row) != already) {
                    return false;
                }
            }
            return !station.AnyRunning();
        }));
        QCOMPARE(station.Text(C::kFailCounter), QStringLiteral("00000"));
        QVERIFY(SaveScreen(QStringLiteral("stop-start-passed") + Suffix(selected)));
        station.Click(C::kStartStopButton);
        QVERIFY(WaitFor([&] { return station.Controller().State() == StationState::kIdle; }));
    }
}

void ScreenshotTour::aDamagedKeyFile() {
    for (const char* selected : {"0", "1"}) {
        GuiStation station(std::string("tour-damaged") + selected);
        station.language["Selected"] = selected;
        station.system["WriteKeybox"] = "1";
        const std::string kdb = station.MakeKeyFile("keys.kdb", 40, 32);
        {
            std::fstream f(kdb, std::ios::in | std::ios::out | std::ios::binary);
            f.seekp(-5, std::ios::end);
            f.put('\x33');
        }
        QVERIFY(station.Plug("1-1", 0));
        QVERIFY(station.Boot().started);
        bool saved = false;
        ModalDriver<QMessageBox> message([&](QMessageBox* box) {
            saved = SaveScreen(QStringLiteral("damaged-key-file") + Suffix(selected));
            box->accept();
        });
        station.Controller().LoadKeyFile(kdb);
        QVERIFY(message.Handled());
        QVERIFY(saved);
        QCOMPARE(station.Text(C::kStatusLine), station.Lang("IDS_KEYFILE_DAMAGED"));
    }
}

void ScreenshotTour::aFullDisk() {
    for (const char* selected : {"0", "1"}) {
        GuiStation station(std::string("tour-full") + selected);
        station.language["Selected"] = selected;
        station.system["WriteKeybox"] = "1";
        const fs::path disk = station.Home() / "disk";
        SmallDisk smallDisk(disk, 256 * 1024);
        if (!smallDisk.Mounted()) {
            QSKIP("no tmpfs here: the full disk is not shown");
        }
        const std::string kdb = (disk / "keys.kdb").string();
        fs::copy_file(station.MakeKeyFile("keys.kdb", 40, 32), kdb);
        for (int i = 0; i < 12; ++i) {
            QVERIFY(station.Plug("1-" + std::to_string(i + 1), i % 8));
        }
        QVERIFY(station.Boot().started);
        QVERIFY(station.WaitBound("1-12"));
        station.Controller().LoadKeyFile(kdb);
        {
            std::ofstream filler(disk / "filler", std::ios::binary);
            const std::string block(4096, 'x');
            for (int i = 0; i < 1000 && filler.write(block.data(), block.size()); ++i) {
                filler.flush();
            }
        }
        bool saved = false;
        ModalDriver<QMessageBox> message([&](QMessageBox* box) {
            QVERIFY(WaitFor([&] { return !station.AnyRunning(); }));
            saved = SaveScreen(QStringLiteral("full-disk-message") + Suffix(selected));
            box->accept();
        });
        station.Click(C::kStartStopButton);
        QVERIFY(WaitFor([&] { return message.Handled() && !station.AnyRunning(); }));
        QVERIFY(saved);
        QVERIFY(SaveScreen(QStringLiteral("full-disk") + Suffix(selected)));
        QVERIFY2(station.Text(C::kStatusLine).startsWith(station.Lang("IDS_KEYFILE_DISK_FULL")),
                 qPrintable(station.Text(C::kStatusLine)));
    }
}

QTEST_MAIN(ScreenshotTour)
#include "ScreenshotTour.moc"
