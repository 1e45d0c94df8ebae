// What the keystation program does before its window: --help and a missing display, the
// simulated bus behind --simulate, and a start-up failure shown as a message. (Its options are
// the station's, tested in tests/app/StationArgumentsTest.cpp.)
#include <signal.h>

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMessageBox>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTest>

#include <set>

#include "app/JobResults.h"
#include "device/DeviceTables.h"
#include "device/ZRScan.h"
#include "platform/machine/StationMachine.h"
#include "tests/gui/GuiStation.h"

using namespace gui_test;

class LaunchTest final : public QObject {
    Q_OBJECT

  private slots:
    void simulateBuildsThatManyLoadersBehindHubsOfEight();
    void anUnreadableLanguageFileEndsStartUpWithLoaderConfigFail();
    void helpAndNoDisplay();
    void sigtermGoesThroughTheClosePath();
};

// SIGTERM to the running program: the station stops, the settings are written back and the
// results say what ended it, as the session's end does on Windows.
void LaunchTest::sigtermGoesThroughTheClosePath() {
    const QString home = QStringLiteral("/tmp/ks_gui_sigterm");
    QDir(home).removeRecursively();
    QVERIFY(QDir().mkpath(home));
    std::string error;
    const std::string kdb = home.toStdString() + "/keys.kdb";
    QVERIFY2(station_fixture::WriteSampleKeyFile(kdb, 4, 64, {}, &error), error.c_str());

    QProcess station;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    station.setProcessEnvironment(env);
    station.start(QStringLiteral(KS_BINARY_DIR "/gui/keystation"),
                  {QStringLiteral("--home"), home, QStringLiteral("--kdb"),
                   QString::fromStdString(kdb), QStringLiteral("--simulate"), QStringLiteral("2"),
                   QStringLiteral("--rkp"), QStringLiteral("0"), QStringLiteral("--start")});
    QVERIFY(station.waitForStarted(30000));
    const QString results = QString::fromStdString(CJobResults(home.toStdString()).TodayPath());
    auto resultText = [&] {
        QFile file(results);
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
    };
    // Both boards have had their job.
    QVERIFY(QTest::qWaitFor(
        [&] { return resultText().count(QStringLiteral("{\"event\":\"result\"")) == 2; }, 60000));
    QFile config(home + QStringLiteral("/config.ini"));
    QVERIFY(config.open(QIODevice::ReadWrite));
    QVERIFY(config.setFileTime(QDateTime::fromSecsSinceEpoch(86400),
                               QFileDevice::FileModificationTime));
    config.close();

    QCOMPARE(::kill(static_cast<pid_t>(station.processId()), SIGTERM), 0);
    QVERIFY(station.waitForFinished(30000));
    QCOMPARE(station.exitStatus(), QProcess::NormalExit);
    QCOMPARE(station.exitCode(), 0);
    const QString text = resultText();
    const qsizetype stop = text.indexOf(QStringLiteral("{\"event\":\"stop\""));
    const qsizetype close = text.indexOf(QStringLiteral("{\"event\":\"close\""));
    QVERIFY2(stop > 0 && close > stop, qPrintable(text));
    QVERIFY2(text.indexOf(QStringLiteral("\"by\":\"SIGTERM\""), stop) > stop, qPrintable(text));
    QVERIFY2(text.indexOf(QStringLiteral("\"by\":\"SIGTERM\""), close) > close, qPrintable(text));
    // config.ini was written back (its time is no longer the one set above), with its own
    // GetRkp, not the run's --rkp 0.
    QVERIFY(QFileInfo(config).lastModified().toSecsSinceEpoch() > 86400);
    QVERIFY(config.open(QIODevice::ReadOnly));
    QVERIFY(QString::fromLatin1(config.readAll()).contains(QStringLiteral("GetRkp=1")));
}

void LaunchTest::helpAndNoDisplay() {
    // The program itself: --help prints the options, also without a display; without a display
    // it says so and ends with 2 instead of aborting.
    const QString program = QStringLiteral(KS_BINARY_DIR "/gui/keystation");
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
        env.remove(QString::fromLatin1(name));
    }
    QProcess help;
    help.setProcessEnvironment(env);
    help.start(program, {QStringLiteral("--help")});
    QVERIFY(help.waitForFinished(30000));
    QCOMPARE(help.exitCode(), 0);
    const QString usage = QString::fromLocal8Bit(help.readAllStandardOutput());
    for (const char* option : {"--simulate", "--sim-state", "--sim-fault", "--sim-seed", "--kdb",
                               "--key-pool", "--help", "Not taken by keystation"}) {
        QVERIFY2(usage.contains(QString::fromLatin1(option)), option);
    }
    QProcess headless;
    headless.setProcessEnvironment(env);
    headless.start(program, {QStringLiteral("--simulate"), QStringLiteral("1")});
    QVERIFY(headless.waitForFinished(30000));
    QCOMPARE(headless.exitStatus(), QProcess::NormalExit);
    QCOMPARE(headless.exitCode(), 2);
    QVERIFY(QString::fromLocal8Bit(headless.readAllStandardError()).contains("no display"));
}

void LaunchTest::simulateBuildsThatManyLoadersBehindHubsOfEight() {
    CStationMachine machine("/tmp/ks_gui_launch_home", 10);
    QVERIFY(machine.Simulated());
    QCOMPARE(QString::fromStdString(machine.AppDir()), QStringLiteral("/tmp/ks_gui_launch_home/"));
    QCOMPARE(QString::fromStdString(machine.Platform().appDir),
             QStringLiteral("/tmp/ks_gui_launch_home/"));

    DeviceTables tables;
    QVERIFY(tables.LoadFile(KS_SOURCE_DIR "/data/devices.ini", nullptr));
    ZRScan scanner(30, 30, 0, machine.Platform().usbTree, tables);
    scanner.LoadDeviceTables();
    QCOMPARE(scanner.Search(DEVICE_KIND_LOADER), 10);
    std::set<std::string> locations;
    for (int i = 0; i < 10; ++i) {
        ZRDeviceDesc d;
        QCOMPARE(scanner.GetDevice(i, &d), 1);
        locations.insert(d.location);
    }
    QVERIFY(locations.count("1-1-1") && locations.count("1-1-8"));
    QVERIFY(locations.count("1-2-1") && locations.count("1-2-2"));
    QVERIFY(!locations.count("1-2-3"));
}

void LaunchTest::anUnreadableLanguageFileEndsStartUpWithLoaderConfigFail() {
    GuiStation station("noconfig");
    station.language["Lang1File"] = "Missing.ini";
    QString text, caption;
    QMessageBox::Icon icon = QMessageBox::Critical;
    ModalDriver<QMessageBox> message([&](QMessageBox* box) {
        text = box->text();
        caption = box->windowTitle();
        icon = box->icon();
        box->accept();
    });
    const StartupResult result = station.Boot();
    QVERIFY(message.Handled());
    QVERIFY(!result.started);
    QCOMPARE(result.exitCode, 0);
    QCOMPARE(text, QStringLiteral("Loader Config fail"));
    QCOMPARE(caption, QStringLiteral("Key Station"));
    QCOMPARE(icon, QMessageBox::NoIcon);
    QVERIFY(!station.Window().isVisible());
}

QTEST_MAIN(LaunchTest)
#include "LaunchTest.moc"
