// keystation-cli: the provisioning station without a window. The same controller as the GUI,
// with a console view: one line per status text of a device slot, the counters at the end.
#ifdef _WIN32
#include <windows.h>
#endif

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/MainThreadQueue.h"
#include "app/StationArguments.h"
#include "app/StationController.h"
#include "device/DeviceTables.h"
#include "device/ZRScan.h"
#include "platform/machine/StationMachine.h"
#include "platform/sim/LoaderEmulator.h"
#include "support/Clock.h"
#include "support/CommandLine.h"
#include "support/IniSettingBase.h"
#include "tools/keystation-cli/ConsoleView.h"
#include "tools/keystation-cli/JsonConsoleView.h"

namespace {

// What asked the station to end from outside: a signal's name, or the console closing.
std::atomic<const char*> gEndedBy = nullptr;

extern "C" void OnSignal(int signal) {
    gEndedBy = signal == SIGINT ? "SIGINT" : signal == SIGTERM ? "SIGTERM" : "SIGHUP";
}

#ifdef _WIN32
std::atomic<bool> gClosed = false;

// Windows ends the process when this returns (or some seconds after a closed console): it waits
// until the station has gone through its close path.
BOOL WINAPI OnConsoleEvent(DWORD event) {
    gEndedBy = event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT ? "SIGINT" : "console-closed";
    for (int waited = 0; !gClosed && waited < 20000; waited += 50) {
        ::Sleep(50);
    }
    return TRUE;
}
#endif

// Every way the process is told to end goes to the station's close path.
void CatchEndRequests() {
    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);
#ifdef _WIN32
    ::SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
#else
    std::signal(SIGHUP, OnSignal);
#endif
}

const char* KindName(uint32_t kind) {
    switch (kind) {
        case DEVICE_KIND_ROM:
            return "rom";
        case DEVICE_KIND_LOADER:
            return "loader";
        default:
            return "other";
    }
}

int ListDevices(IUsbTree& tree, const std::string& appDir) {
    DeviceTables tables;
    if (!tables.LoadFile(appDir + DeviceTables::kFileName, nullptr)) {
        std::fprintf(stderr, "keystation-cli: cannot read %s%s\n", appDir.c_str(),
                     DeviceTables::kFileName);
        return 1;
    }
    ZRScan scanner(CStationController::kScanLimitSec, CStationController::kScanLimitSec, 0, tree,
                   tables);
    scanner.LoadDeviceTables();
    const int count = scanner.Search(DEVICE_KIND_LOADER);
    for (int i = 0; i < count; ++i) {
        ZRDeviceDesc d;
        if (scanner.GetDevice(i, &d) != 0) {
            std::printf("%s\t%s\t%04x:%04x\t%s\n", d.location.c_str(), KindName(d.kind), d.vendorId,
                        d.productId, d.path.c_str());
        }
    }
    if (count == 0 && scanner.WalkedDeviceCount() > 0) {
        // Boards behind other ids than the tables name would otherwise be silently missing.
        std::fprintf(stderr,
                     "keystation-cli: %zu USB device(s) present, none is a loader by the vendor "
                     "ids and chip table of %s%s\n",
                     scanner.WalkedDeviceCount(), appDir.c_str(), DeviceTables::kFileName);
    }
    return 0;
}

bool AnySlotRunning(const CStationController& controller) {
    for (const DeviceSlot& slot : controller.SlotsSnapshot()) {
        if (slot.running != 0) {
            return true;
        }
    }
    return false;
}

// Exit status when the station could not start (settings or language files unusable).
constexpr int kExitNotStarted = 3;

int RunStation(const StationArguments& o, StationPlatform& platform) {
    CMainThreadQueue queue;
    // With --json the text console is not told the status texts: standard output has only the
    // JSON view's lines.
    CConsoleView view(stdout, stderr);
    CJsonConsoleView jsonView(view, stdout);
    IStationView& shown = o.json ? static_cast<IStationView&>(jsonView) : view;
    CStationController controller(platform, shown, queue);
    if (o.json) {
        controller.SetJobObserver([&jsonView](const JobRecord& r) { jsonView.PrintJob(r); });
    }
    view.HoldStatus();
    const StartupResult startup = controller.Initialise();
    queue.RunPending();
    if (!startup.started) {
        view.ReleaseStatus(false);
        // "Loader Config fail" ends start-up with 0 for the window program; automation must not
        // take a station that never started for one that succeeded.
        return startup.exitCode != 0 ? startup.exitCode : kExitNotStarted;
    }

    // Start-up's hint to load a key file is for a station given none; what the load says is
    // printed as it comes.
    CIniSettingBase& settings = controller.MutableSettings();
    view.ReleaseStatus(o.keyFile || o.keyPool || !settings.KeyPool.empty());
    controller.ApplyArguments(o);
    queue.RunPending();
    int exitCode = 0;
    const char* stopping = nullptr;  // why the run ends by itself
    if (!controller.DeviceTablesProblem().empty()) {
        // No board can be found: a run that could only end "total 00000" is no success.
        std::fprintf(stderr, "keystation-cli: %s\n", controller.DeviceTablesProblem().c_str());
        exitCode = kExitNotStarted;
        stopping = "no-boards";
    } else if (o.start) {
        controller.OnStartStopButton();
        queue.RunPending();
        if (controller.State() != StationState::kRunning) {
            std::fprintf(stderr,
                         "keystation-cli: Start refused: keybox writing is on and no "
                         "key file is loaded\n");
            exitCode = 2;
            stopping = "start-refused";
        }
    }

    CatchEndRequests();
    // The run is over when no job runs and either nothing is left to rescan or a whole rescan
    // has begun since the last job ended (so every device present then has been seen).
    bool idle = false;
    bool ending = false;
    uint64_t idleSince = 0;
    while (!view.Closed()) {
        queue.RunFor(20);
        controller.OnClockTick();
        if (o.untilIdle && stopping == nullptr) {
            const uint64_t rescans = controller.CompletedRescans();
            if (AnySlotRunning(controller)) {
                idle = false;
            } else if (!idle) {
                idle = true;
                idleSince = rescans;
            }
            if (idle && rescans > 0 && (!controller.RescanBusy() || rescans >= idleSince + 2)) {
                stopping = "until-idle";
            }
        }
        const char* endedBy = gEndedBy.load();
        if (endedBy != nullptr && !ending) {
            controller.EndStation(endedBy);
            ending = true;
        }
        if (stopping != nullptr && !ending) {
            controller.EndStation(stopping);
            ending = true;
        }
    }
    queue.RunPending();
#ifdef _WIN32
    gClosed = true;
#endif

    const std::string fail = view.ControlText(StationControl::kFailCounter);
    if (o.json) {
        JobSummary summary;
        summary.success = std::atoll(view.ControlText(StationControl::kSuccessCounter).c_str());
        summary.fail = std::atoll(fail.c_str());
        summary.total = std::atoll(view.ControlText(StationControl::kTotalCounter).c_str());
        const ShiftSummary shift = controller.Summary();
        summary.jobsPerHour = shift.jobsPerHour;
        summary.already = shift.already;
        for (const auto& [text, count] : shift.topFailures) {
            summary.topFailures.emplace_back(text, count);
        }
        jsonView.PrintSummary(summary);
    } else {
        view.PrintSummary();
        std::printf("success %s fail %s total %s\n",
                    view.ControlText(StationControl::kSuccessCounter).c_str(), fail.c_str(),
                    view.ControlText(StationControl::kTotalCounter).c_str());
    }
    if (exitCode == 0 && fail != "00000") {
        exitCode = 1;
    }
    return exitCode;
}

}  // namespace

int main(int argc, char** argv) {
    // UTF-8 arguments on every platform (a Chinese folder name on Windows too), and a console
    // that shows the UTF-8 lines written to it.
    ks::UseUtf8Console();
    std::vector<std::string> arguments = ks::CommandLineArguments(argc, argv);
    StationArguments o;
    if (std::string error;
        !ParseStationArguments(arguments, StationProgram::kConsole, &o, &error)) {
        std::fprintf(stderr, "keystation-cli: %s\n%s", error.c_str(),
                     StationUsage(StationProgram::kConsole).c_str());
        return 2;
    }
    if (o.help) {
        std::printf("%s", StationHelp(StationProgram::kConsole).c_str());
        return 0;
    }
    const ApplicationFolders folders = ChooseApplicationFolders(o.home);
    if (std::string error; !SeedApplicationDirectory(folders, &error)) {
        std::fprintf(stderr, "keystation-cli: %s\n", error.c_str());
        if (folders.appDir.empty()) {
            return 2;
        }
    }
    CStationMachine machine(folders.appDir, o.simulate, o.sysfsRoot, o.devRoot, o.sim);
    if (!machine.SetupError().empty()) {
        std::fprintf(stderr, "keystation-cli: simulated board: %s\n", machine.SetupError().c_str());
        return 2;
    }
    if (o.list) {
        return ListDevices(machine.Platform().usbTree, machine.AppDir());
    }
    return RunStation(o, machine.Platform());
}
