// The machine a Windows station runs on: a simulated bus of emulated boards, the port map (the
// registry for real boards, a file for simulated ones) and the application directory beside the
// executable.
#include <windows.h>

#include <algorithm>
#include <cstdlib>
#include <utility>
#include <vector>

#include "device/DeviceTables.h"
#include "platform/machine/StationMachine.h"
#include "platform/sim/DemoImage.h"
#include "platform/sim/LoaderEmulator.h"
#include "platform/sim/SimBoardFiles.h"
#include "platform/sim/SimUsbHost.h"
#include "platform/windows/RegistryPortMap.h"
#include "platform/windows/WinUsbPlatform.h"
#include "support/Clock.h"
#include "support/FileSystem.h"
#include "support/NativeFile.h"
#include "support/Paths.h"
#include "support/WideText.h"

// The machine's USB side, under the name the shared header gives that member.
class LinuxUsbPlatform final : public CWinUsbPlatform {};

namespace {

std::string WithSeparator(std::string folder) {
    if (folder.empty()) {
        folder = ks::ExecutableFolder();
    }
    if (folder.empty() || !ks::IsPathSeparator(folder.back())) {
        folder += '\\';
    }
    return folder;
}

bool Fail(std::string* error, const std::string& text) {
    if (error != nullptr && error->empty()) {
        *error = text;
    }
    return false;
}

bool Exists(const std::string& path) {
    return ::GetFileAttributesW(ks::WidePath(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

// Copies one plain file of the defaults to `target` when nothing of that name is there, through
// a temporary file so that it appears whole or not at all.
bool SeedFile(const std::string& source, const std::string& target, std::string* error) {
    if (Exists(target)) {
        return true;
    }
    std::string bytes;
    if (ks::ReadWholeFile(source, 16u << 20, bytes) != ks::ReadStatus::Ok) {
        return true;  // nothing of that name shipped
    }
    ks::NativeFile out;
    const std::string temp = ks::CreateUniqueFile(target + ".seed-", &out);
    if (temp.empty()) {
        return Fail(error, "cannot create " + target + ": " + ks::SystemErrorText(out.LastError()));
    }
    const bool written = out.WriteAll(bytes) && out.Flush();
    const bool closed = out.Close();
    bool exists = false;
    int err = 0;
    if (!written || !closed || !ks::RenameNoReplace(temp, target, &exists, &err)) {
        ks::RemoveFile(temp);
        return exists || Fail(error, "cannot write " + target + ": " + ks::SystemErrorText(err));
    }
    return true;
}

// The plain files of a shipped folder (one level), for lang\.
bool SeedFolder(const std::string& source, const std::string& target, std::string* error) {
    if (!ks::FolderExists(source)) {
        return true;
    }
    if (!ks::FolderExists(target) && !ks::CreateOneFolder(target, true)) {
        return Fail(error, "cannot create " + target);
    }
    WIN32_FIND_DATAW found{};
    HANDLE search = ::FindFirstFileW(ks::WidePath(source + "\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) {
        return true;
    }
    bool ok = true;
    do {
        if ((found.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) ==
            0) {
            const std::string name = ks::Utf8FromWide(found.cFileName);
            ok = SeedFile(source + "\\" + name, target + "\\" + name, error) && ok;
        }
    } while (::FindNextFileW(search, &found));
    ::FindClose(search);
    return ok;
}

}  // namespace

CStationMachine::CStationMachine(std::string appDir, int simulate, std::string /*sysfsRoot*/,
                                 std::string /*devRoot*/, SimBusOptions sim)
    : appDir_(WithSeparator(std::move(appDir))) {
    IUsbTree* tree = nullptr;
    IBulkPipes* pipes = nullptr;
    IDeviceChangeSource* changes = nullptr;
    if (simulate >= 0) {
        PlugSimulatedBoards(simulate, sim);
        portMap_ = std::make_unique<CPortMapFile>(appDir_ + "portmap-sim.ini");
        tree = sim_.get();
        pipes = sim_.get();
        changes = sim_.get();
    } else {
        machine_ = std::make_unique<LinuxUsbPlatform>();
        tree = &machine_->Tree();
        pipes = &machine_->Pipes();
        changes = &machine_->Changes();
        portMap_ = std::make_unique<CRegistryPortMap>(MakeSystemRegistry());
    }
    platform_ = std::make_unique<StationPlatform>(
        StationPlatform{*tree, *pipes, *changes, SystemClock(), *portMap_, appDir_, {}, {}});
    if (!sim_) {
        // The registry map says once in the station log when it falls back to the user's key.
        // The pipes say there which driver each device is spoken to through.
        auto* map = static_cast<CRegistryPortMap*>(portMap_.get());
        platform_->attachLog = [map, usb = machine_.get()](CLoggerBase* log) {
            map->SetLog(log);
            usb->SetLog(log);
        };
    }
}

CStationMachine::~CStationMachine() = default;

ApplicationFolders ChooseApplicationFolders(const std::string& home, const std::string& exeFolder,
                                            const std::string& /*userData*/) {
    ApplicationFolders out;
    const std::string exe = WithSeparator(exeFolder);
    if (ks::FolderExists(exe + "data")) {
        out.defaults = exe + "data\\";
    }
    out.appDir = home.empty() ? exe : WithSeparator(home);
    return out;
}

ApplicationFolders ChooseApplicationFolders(const std::string& home) {
    return ChooseApplicationFolders(home, ks::ExecutableFolder(), std::string());
}

bool SeedApplicationDirectory(const ApplicationFolders& folders, std::string* error) {
    if (folders.appDir.empty()) {
        return Fail(error, "no application directory (give --home)");
    }
    if (!ks::CreateFolderChain(ks::WithoutTrailingSeparator(folders.appDir))) {
        return Fail(error, "cannot create " + folders.appDir);
    }
    if (folders.defaults.empty()) {
        return true;
    }
    bool ok = SeedFile(folders.defaults + "config.ini", folders.appDir + "config.ini", error);
    ok = SeedFile(folders.defaults + DeviceTables::kFileName,
                  folders.appDir + DeviceTables::kFileName, error) &&
         ok;
    ok = SeedFolder(folders.defaults + "lang", folders.appDir + "lang", error) && ok;
    return ok;
}
