// keystation: the provisioning station with its operator window. Its options are the station's
// (app/StationArguments.h; `keystation --help` lists them and the few it does not take).
//
// Without options the application directory is the executable's folder (run from the build tree)
// or the operator's $XDG_DATA_HOME/keystation/ (installed), and the station works with the
// machine's USB. Without a display the program says so and ends with 2.
//
// For the screenshot test only: when the environment variable KS_SCREENSHOT names a file, the
// window is saved there as PNG once the station has finished every job it started, and the
// program then stops the station and ends (exit code 3 when the file could not be written).
#include <QApplication>
#include <QFile>
#include <QLocale>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "app/PracticeKeys.h"
#include "app/StationArguments.h"
#include "app/StationController.h"
#include "gui/EndSignals.h"
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
            std::printf("%s", StationHelp(StationProgram::kQtWindow).c_str());
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

    // Qt's own options (-platform, -style, ...) are taken out first.
    std::vector<std::string> arguments;
    for (const QString& argument : QApplication::arguments()) {
        arguments.push_back(QFile::encodeName(argument).toStdString());
    }
    StationArguments options;
    if (std::string error;
        !ParseStationArguments(arguments, StationProgram::kQtWindow, &options, &error)) {
        std::fprintf(stderr, "keystation: %s\n%s", error.c_str(),
                     StationUsage(StationProgram::kQtWindow).c_str());
        return 2;
    }

    // Practice (simulated boards) without --home keeps its files apart from production's.
    const std::string production = ChooseApplicationFolders(std::string()).appDir;
    ApplicationFolders folders = ChooseApplicationFolders(options.home);
    folders.appDir = WindowStationFolder(options, folders.appDir);
    // A first start (no config.ini yet) speaks the system's language when a language file has it.
    const bool firstStart = !folders.appDir.empty() &&
                            !QFile::exists(QString::fromStdString(folders.appDir + "config.ini"));
    if (std::string seedError; !SeedApplicationDirectory(folders, &seedError)) {
        std::fprintf(stderr, "keystation: %s\n", seedError.c_str());
        if (folders.appDir.empty()) {
            return 2;
        }
    }
    CStationMachine machine(folders.appDir, options.simulate, options.sysfsRoot, options.devRoot,
                            options.sim);
    if (!machine.SetupError().empty()) {
        std::fprintf(stderr, "keystation: simulated board: %s\n", machine.SetupError().c_str());
        return 2;
    }

    CQtMainThreadPoster poster;
    CStationWindow window;
    StationOptions stationOptions;
    stationOptions.practice = machine.Simulated();
    stationOptions.productionFolder = production;
    stationOptions.practiceWithProductionKeys = options.practiceWithProductionKeys;
    if (firstStart) {
        stationOptions.systemLocale = QLocale::system().name().toStdString();
    }
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
        controller.ApplyArguments(options);
        if (options.start) {
            controller.OnStartStopButton();
        }
    });

    // SIGTERM, SIGINT and SIGHUP end the station through its close path, as the session's end
    // does on Windows: running jobs finish, the settings are written, the results say why.
    CEndSignals endSignals([&controller](const char* name) { controller.EndStation(name); });
    if (!endSignals.Ok()) {
        std::fprintf(stderr, "keystation: signals end the program without its close path\n");
    }

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
