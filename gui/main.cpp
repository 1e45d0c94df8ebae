// keystation: the provisioning station with its operator window.
//
//   keystation [--home DIR] [--kdb FILE | --key-pool CONNINFO --pool NAME]
//              [--simulate N [--sim-state DIR] [--sim-fault NAME=P]... [--sim-seed S]] [--start]
//   keystation --help
//
// Without options the application directory is the executable's folder (run from the build tree)
// or the operator's $XDG_DATA_HOME/keystation/ (installed), and the station works with the
// machine's USB. --home names another application directory, --simulate N replaces the
// USB with N emulated loader devices (practice mode: the title and the status line say so; the
// --sim-* options keep their storage, draw faults and seed the draws as keystation-cli's do),
// --kdb loads a key file (--key-pool and --pool draw keys from a shared key pool instead; so do
// KeyPool and PoolName of config.ini) and --start presses Start once the window is up. Without a
// display the program says so and ends with 2.
//
// For the screenshot test only: when the environment variable KS_SCREENSHOT names a file, the
// window is saved there as PNG once the station has finished every job it started, and the
// program then stops the station and ends (exit code 3 when the file could not be written).
#include <QApplication>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "app/StationController.h"
#include "gui/GuiOptions.h"
#include "gui/QtMainThreadPoster.h"
#include "gui/QtTranslations.h"
#include "gui/ScreenshotWatcher.h"
#include "gui/StationIcon.h"
#include "gui/StationWindow.h"
#include "platform/machine/StationMachine.h"
#include "support/IniSettingBase.h"
#include "support/Paths.h"

namespace {

// True when the program can open a window: a platform plugin was named, or an X or Wayland
// display is there (Qt would abort without one).
bool DisplayAvailable() {
#if defined(_WIN32) || defined(__APPLE__)
    return true;
#else
    for (const char* name : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"}) {
        const char* value = std::getenv(name);
        if (value != nullptr && *value != '\0') {
            return true;
        }
    }
    return false;
#endif
}

}  // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0 ||
            std::strcmp(argv[i], "-help") == 0) {
            std::printf("%s", GuiHelp().toLocal8Bit().constData());
            return 0;
        }
    }
    if (!DisplayAvailable()) {
        std::fprintf(stderr,
                     "keystation: no display to open the window on (DISPLAY is not set); "
                     "keystation-cli runs the station without a window\n");
        return 2;
    }
    QApplication app(argc, argv);
    QApplication::setWindowIcon(StationIcon());
    QGuiApplication::setDesktopFileName(QStringLiteral("keystation"));

    GuiOptions options;
    QString error;
    if (!ParseGuiOptions(QApplication::arguments(), &options, &error)) {
        std::fprintf(stderr, "keystation: %s\n%s\n", error.toLocal8Bit().constData(),
                     GuiUsage().toLocal8Bit().constData());
        return 2;
    }

    const ApplicationFolders folders = ChooseApplicationFolders(options.home);
    if (std::string seedError; !SeedApplicationDirectory(folders, &seedError)) {
        std::fprintf(stderr, "keystation: %s\n", seedError.c_str());
        if (folders.appDir.empty()) {
            return 2;
        }
    }
    CStationMachine machine(folders.appDir, options.simulate, "/sys", "/dev/bus/usb", options.sim);
    if (!machine.SetupError().empty()) {
        std::fprintf(stderr, "keystation: simulated board: %s\n", machine.SetupError().c_str());
        return 2;
    }

    CQtMainThreadPoster poster;
    CStationWindow window;
    StationOptions stationOptions;
    stationOptions.practice = machine.Simulated();
    CStationController controller(machine.Platform(), window, poster, stationOptions);
    window.AttachController(&controller);
    const StartupResult startup = controller.Initialise();
    if (!startup.started) {
        return startup.exitCode;
    }
    // Qt's own dialog texts in the language of the station's language file.
    if (!InstallQtTranslations(controller.UiLocale())) {
        std::fprintf(stderr, "keystation: no Qt translation for %s (qt6-translations-l10n)\n",
                     controller.UiLocale().c_str());
    }
    window.show();

    QTimer::singleShot(0, &window, [&] {
        if (options.keyFile) {
            controller.LoadKeyFile(*options.keyFile);
        } else if (options.keyPool) {
            controller.LoadKeyPool(*options.keyPool, options.poolName);
        } else if (!controller.Settings().KeyPool.empty()) {
            // The shared key pool config.ini keeps (KeyPool, PoolName in section System).
            controller.LoadKeyPool(controller.Settings().KeyPool, controller.Settings().PoolName);
        }
        if (options.start) {
            controller.OnStartStopButton();
        }
    });

    std::unique_ptr<CScreenshotWatcher> watcher;
    const QString screenshot = qEnvironmentVariable(CScreenshotWatcher::kEnvironmentVariable);
    if (!screenshot.isEmpty()) {
        watcher = std::make_unique<CScreenshotWatcher>(controller, window, screenshot);
    }

    const int rc = QApplication::exec();
    if (watcher && !watcher->Saved()) {
        return 3;
    }
    return rc;
}
