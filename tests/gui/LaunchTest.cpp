// What the keystation program does before its window: its options (those of the headless
// station and nothing else), the simulated bus behind --simulate, and a start-up failure shown as
// a message.
#include <QMessageBox>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTest>

#include <set>

#include "device/DeviceTables.h"
#include "device/ZRScan.h"
#include "gui/GuiOptions.h"
#include "platform/machine/StationMachine.h"
#include "tests/gui/GuiStation.h"

using namespace gui_test;

namespace {

bool Parse(const QStringList& args, GuiOptions* out, QString* error = nullptr) {
    QString ignored;
    return ParseGuiOptions(QStringList{QStringLiteral("keystation")} + args, out,
                           error != nullptr ? error : &ignored);
}

}  // namespace

class LaunchTest final : public QObject {
    Q_OBJECT

  private slots:
    void withoutOptionsItIsThePlainStation();
    void theFourOptionsAreRead();
    void anythingElseIsRefused();
    void simulateBuildsThatManyLoadersBehindHubsOfEight();
    void anUnreadableLanguageFileEndsStartUpWithLoaderConfigFail();
    void practiceOptionsHelpAndNoDisplay();
};

void LaunchTest::withoutOptionsItIsThePlainStation() {
    GuiOptions o;
    o.simulate = 7;
    QVERIFY(Parse({}, &o));
    QVERIFY(o.home.empty());
    QVERIFY(!o.keyFile);
    QCOMPARE(o.simulate, -1);
    QVERIFY(!o.start);
}

void LaunchTest::theFourOptionsAreRead() {
    GuiOptions o;
    QVERIFY(Parse(
        {"--home", "/srv/station one", "--kdb", "/keys/a.kdb", "--simulate", "4", "--start"}, &o));
    QCOMPARE(QString::fromStdString(o.home), QStringLiteral("/srv/station one"));
    QVERIFY(o.keyFile);
    QCOMPARE(QString::fromStdString(*o.keyFile), QStringLiteral("/keys/a.kdb"));
    QCOMPARE(o.simulate, 4);
    QVERIFY(o.start);

    QVERIFY(Parse({"--simulate=0", "--home=/h"}, &o));
    QCOMPARE(o.simulate, 0);
    QCOMPARE(QString::fromStdString(o.home), QStringLiteral("/h"));
    QVERIFY(Parse({"--simulate", QString::number(kMaxSimulatedDevices)}, &o));
}

void LaunchTest::practiceOptionsHelpAndNoDisplay() {
    // The console's simulation options, for practice on simulated boards.
    GuiOptions o;
    QVERIFY(Parse({"--simulate", "8", "--sim-state", "/tmp/boards", "--sim-fault",
                   "status-lost=0.25", "--sim-fault", "unplug=0.5", "--sim-seed", "42"},
                  &o));
    QCOMPARE(o.simulate, 8);
    QCOMPARE(QString::fromStdString(o.sim.stateDir), QStringLiteral("/tmp/boards"));
    QCOMPARE(o.sim.faults.statusLost, 0.25);
    QCOMPARE(o.sim.faults.unplug, 0.5);
    QCOMPARE(o.sim.seed, uint64_t{42});
    QString error;
    QVERIFY(!Parse({"--simulate", "2", "--sim-fault", "melt=0.1"}, &o, &error));
    QVERIFY(!Parse({"--sim-state", "/tmp/boards"}, &o, &error));  // without --simulate

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
                               "--key-pool", "--help"}) {
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

void LaunchTest::anythingElseIsRefused() {
    const QStringList bad[] = {
        {"--sim-seed", "1"},  {"--sysfs-root", "/tmp"},
        {"--until-idle"},     {"stray"},
        {"--simulate"},       {"--simulate", "-1"},
        {"--simulate", "65"}, {"--simulate", "4x"},
        {"--simulate", ""},   {"--home", ""},
        {"--kdb", ""},        {"--home", "/a", "--home", "/b"},
    };
    for (const QStringList& args : bad) {
        GuiOptions o;
        QString error;
        QVERIFY2(!Parse(args, &o, &error), qPrintable(args.join(' ')));
        QVERIFY(!error.isEmpty());
    }
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
