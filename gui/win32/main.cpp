// keystation.exe: the Windows station with its operator window.
//
//   keystation [--home DIR] [--kdb FILE] [--simulate N] [--start]
//
// For the screenshot test only: when the environment variable KS_SCREENSHOT names a file, the
// window is saved there as a BMP picture once the station has finished every job it started;
// the program then stops the station and ends (exit code 3 when the file could not be written).
#include <windows.h>

#include <shellapi.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "app/StationController.h"
#include "gui/win32/Win32StationWindow.h"
#include "platform/machine/StationMachine.h"

namespace {

struct Options {
    std::string home;
    std::optional<std::string> keyFile;
    int simulate = -1;
    bool start = false;
};

bool Parse(const std::vector<std::string>& args, Options* o, std::string* error) {
    for (std::size_t i = 1; i < args.size(); ++i) {
        const std::string& a = args[i];
        const bool hasValue = i + 1 < args.size();
        if (a == "--home" && hasValue) {
            o->home = args[++i];
        } else if (a == "--kdb" && hasValue) {
            o->keyFile = args[++i];
        } else if (a == "--simulate" && hasValue) {
            char* end = nullptr;
            const long n = std::strtol(args[++i].c_str(), &end, 10);
            if (end == nullptr || *end != '\0' || n < 0 || n > 16) {
                *error = "--simulate takes 0 to 16";
                return false;
            }
            o->simulate = static_cast<int>(n);
        } else if (a == "--start") {
            o->start = true;
        } else {
            *error = "unknown option " + a +
                     "\nusage: keystation [--home DIR] [--kdb FILE] [--simulate N] [--start]";
            return false;
        }
    }
    return true;
}

// The batch has ended when some row shows a result and every bound board's row does.
bool JobsFinished(CStationController& controller, const CWin32StationWindow& window) {
    if (controller.State() != StationState::kRunning || controller.CompletedRescans() == 0 ||
        controller.RescanBusy()) {
        return false;
    }
    bool anyResult = false;
    for (int row = 0; row < kTableRows; ++row) {
        anyResult = anyResult || window.RowColourOf(row).has_value();
    }
    if (!anyResult) {
        return false;
    }
    for (const DeviceSlot& slot : controller.SlotsSnapshot()) {
        if (slot.running != 0 || !window.RowColourOf(slot.slotNumber - 1)) {
            return false;
        }
    }
    return true;
}

}  // namespace

int main() {
    int argc = 0;
    wchar_t** argv = ::CommandLineToArgvW(::GetCommandLineW(), &argc);
    std::vector<std::string> args;
    for (int i = 0; i < argc; ++i) {
        args.push_back(Narrow(argv[i]));
    }
    ::LocalFree(argv);
    Options options;
    std::string error;
    if (!Parse(args, &options, &error)) {
        ::MessageBoxW(nullptr, Wide(error).c_str(), L"keystation", MB_OK | MB_ICONERROR);
        return 2;
    }

    const ApplicationFolders folders = ChooseApplicationFolders(options.home);
    if (std::string seedError; !SeedApplicationDirectory(folders, &seedError)) {
        ::MessageBoxW(nullptr, Wide(seedError).c_str(), L"keystation", MB_OK | MB_ICONERROR);
        if (folders.appDir.empty()) {
            return 2;
        }
    }
    CStationMachine machine(folders.appDir, options.simulate);

    CWin32MainThreadPoster poster;
    CWin32StationWindow window(poster);
    if (!window.Create(::GetModuleHandleW(nullptr))) {
        return 1;
    }
    CStationController controller(machine.Platform(), window, poster);
    window.AttachController(&controller);
    const StartupResult startup = controller.Initialise();
    if (!startup.started) {
        return startup.exitCode;
    }
    window.Show();
    poster.Post([&] {
        if (options.keyFile) {
            controller.LoadKeyFile(*options.keyFile);
        }
        if (options.start) {
            controller.OnStartStopButton();
        }
    });

    // The screenshot hook: polled from the window's thread through the poster.
    wchar_t shot[MAX_PATH] = {};
    const DWORD shotLength = ::GetEnvironmentVariableW(L"KS_SCREENSHOT", shot, MAX_PATH);
    bool saved = false;
    bool done = false;
    if (shotLength > 0 && shotLength < MAX_PATH) {
        ::SetTimer(window.Handle(), 2, 200, nullptr);
        // WM_TIMER 2 reaches the dialog procedure, which ignores it; the check runs here.
        MSG message;
        while (::GetMessageW(&message, nullptr, 0, 0) > 0) {
            if (!done && message.message == WM_TIMER && message.wParam == 2 &&
                JobsFinished(controller, window)) {
                done = true;
                ::KillTimer(window.Handle(), 2);
                ::Sleep(300);  // the last repaints
                ::RedrawWindow(window.Handle(), nullptr, nullptr,
                               RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN);
                saved = window.SaveBitmap(shot);
                controller.OnStartStopButton();  // no job runs: back to idle at once
                controller.OnClose();
                continue;
            }
            if (window.PreTranslate(&message)) {
                continue;
            }
            ::TranslateMessage(&message);
            ::DispatchMessageW(&message);
        }
        return saved ? 0 : 3;
    }
    return window.RunMessageLoop();
}
