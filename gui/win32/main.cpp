// keystation.exe: the Windows station with its operator window. Its options are the station's
// (app/StationArguments.h; `keystation --help` lists them and the few it does not take). The
// help and a usage error go to the console the program was started from, or to a message box
// when there is none.
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

#include "app/PracticeKeys.h"
#include "app/StationArguments.h"
#include "app/StationController.h"
#include "gui/win32/Win32StationWindow.h"
#include "platform/machine/StationMachine.h"

namespace {

// Writes text to the standard handle `which`, or to the console of the parent process when the
// program has none; false when there is neither.
bool Tell(DWORD which, const std::string& text) {
    HANDLE out = ::GetStdHandle(which);
    bool console = false;
    if (out == nullptr || out == INVALID_HANDLE_VALUE) {
        if (!::AttachConsole(ATTACH_PARENT_PROCESS)) {
            return false;
        }
        out = ::CreateFileW(L"CONOUT$", GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                            nullptr);
        if (out == INVALID_HANDLE_VALUE) {
            return false;
        }
        console = true;
    }
    DWORD mode = 0;
    DWORD written = 0;
    if (console || ::GetConsoleMode(out, &mode)) {
        const std::wstring wide = Wide(text);
        return ::WriteConsoleW(out, wide.c_str(), static_cast<DWORD>(wide.size()), &written,
                               nullptr) != FALSE;
    }
    return ::WriteFile(out, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
           written == text.size();
}

void TellOrShow(DWORD which, const std::string& text, UINT icon) {
    if (!Tell(which, text)) {
        ::MessageBoxW(nullptr, Wide(text).c_str(), L"keystation", MB_OK | icon);
    }
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
    StationArguments options;
    if (std::string error;
        !ParseStationArguments(args, StationProgram::kWin32Window, &options, &error)) {
        TellOrShow(STD_ERROR_HANDLE,
                   "keystation: " + error + "\n" + StationUsage(StationProgram::kWin32Window),
                   MB_ICONERROR);
        return 2;
    }
    if (options.help) {
        TellOrShow(STD_OUTPUT_HANDLE, StationHelp(StationProgram::kWin32Window), 0);
        return 0;
    }

    // Practice (simulated boards) without --home keeps its files apart from production's.
    const std::string production = ChooseApplicationFolders(std::string()).appDir;
    ApplicationFolders folders = ChooseApplicationFolders(options.home);
    folders.appDir = WindowStationFolder(options, folders.appDir);
    if (std::string seedError; !SeedApplicationDirectory(folders, &seedError)) {
        ::MessageBoxW(nullptr, Wide(seedError).c_str(), L"keystation", MB_OK | MB_ICONERROR);
        if (folders.appDir.empty()) {
            return 2;
        }
    }
    CStationMachine machine(folders.appDir, options.simulate, options.sysfsRoot, options.devRoot,
                            options.sim);
    if (!machine.SetupError().empty()) {
        TellOrShow(STD_ERROR_HANDLE, "keystation: simulated board: " + machine.SetupError() + "\n",
                   MB_ICONERROR);
        return 2;
    }

    CWin32MainThreadPoster poster;
    CWin32StationWindow window(poster);
    if (!window.Create(::GetModuleHandleW(nullptr))) {
        return 1;
    }
    StationOptions stationOptions;
    stationOptions.practice = machine.Simulated();
    stationOptions.productionFolder = production;
    stationOptions.practiceWithProductionKeys = options.practiceWithProductionKeys;
    CStationController controller(machine.Platform(), window, poster, stationOptions);
    window.AttachController(&controller);
    const StartupResult startup = controller.Initialise();
    if (!startup.started) {
        return startup.exitCode;
    }
    window.Show();
    poster.Post([&] {
        controller.ApplyArguments(options);
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
