// What the station works with outside its own code: the USB side (the machine's, or a simulated
// bus of emulated loader devices), the persistent port map and the application directory, bundled
// as the controller's StationPlatform.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "app/PortMapStore.h"
#include "app/StationArguments.h"
#include "app/StationPlatform.h"
#include "platform/sim/LoaderEmulator.h"

class LinuxUsbPlatform;
class SimUsbHost;

class CStationMachine {
  public:
    static constexpr int kSimHubPorts = 8;

    // appDir: the application directory (empty: the executable's folder). simulate < 0: the
    // machine's USB through sysfs, usbfs and uevents (under the two roots given); otherwise a
    // simulated host with that many demo loader devices behind hubs of eight ports. Simulated
    // devices keep their slot bindings in a port map of their own. A simulated board that cannot
    // be set up is left out and reported by SetupError().
    CStationMachine(std::string appDir, int simulate, std::string sysfsRoot = "/sys",
                    std::string devRoot = "/dev/bus/usb", SimBusOptions sim = {});
    ~CStationMachine();
    CStationMachine(const CStationMachine&) = delete;
    CStationMachine& operator=(const CStationMachine&) = delete;

    StationPlatform& Platform() { return *platform_; }
    const std::string& AppDir() const { return appDir_; }
    bool Simulated() const { return sim_ != nullptr; }
    // Empty when every simulated board was set up; otherwise why the first one was not.
    const std::string& SetupError() const { return setupError_; }

  private:
    // Makes the simulated host with `boards` boards behind hubs of kSimHubPorts ports.
    void PlugSimulatedBoards(int boards, const SimBusOptions& sim);

    std::string appDir_;
    std::string setupError_;
    std::unique_ptr<SimUsbHost> sim_;
    std::vector<std::shared_ptr<LoaderEmulator>> loaders_;
    std::unique_ptr<LinuxUsbPlatform> machine_;
    std::unique_ptr<IPortMapStore> portMap_;
    std::unique_ptr<StationPlatform> platform_;
};

// Where a station keeps its files, and where the defaults for them come from.
struct ApplicationFolders {
    std::string appDir;    // with a trailing separator; "" when none could be named
    std::string defaults;  // the shipped defaults, with a trailing separator; "" when none exist
    bool perOperator = false;  // appDir is the operator's own folder of an installed program
};

// The installed defaults' folder as seen from the folder of the installed programs.
inline constexpr const char* kInstalledDefaults = "../share/keystation/";

// Chooses the folders for a program in exeFolder. The shipped defaults are the "data" folder
// beside the executable (a program run from its build tree) or, failing that, the installed ones
// (kInstalledDefaults). The application directory is `home` when it is not empty; otherwise the
// executable's folder, except for an installed program, which uses the operator's own folder:
// userData + "keystation/" (userData as from ks::UserDataFolder; appDir stays "" when it is
// empty).
ApplicationFolders ChooseApplicationFolders(const std::string& home, const std::string& exeFolder,
                                            const std::string& userData);

// The same for this process: its executable's folder, $XDG_DATA_HOME and the operator's home.
ApplicationFolders ChooseApplicationFolders(const std::string& home);

// Creates folders.appDir (missing levels private to the operator) and gives it the defaults it
// lacks: config.ini, devices.ini and the lang/ folder. A name already present, whatever it is, is
// never touched; only plain files and folders are copied, never what a symbolic link points to.
// Each default appears whole or not at all, also when two stations seed the folder at once.
// False, with the first reason in *error, when the folder cannot be made or a default copied.
bool SeedApplicationDirectory(const ApplicationFolders& folders, std::string* error);
