#include "platform/machine/StationMachine.h"

#include <algorithm>
#include <filesystem>
#include <system_error>
#include <utility>

#include "device/DeviceTables.h"
#include "platform/linux/LinuxUsbPlatform.h"
#include "platform/sim/DemoImage.h"
#include "platform/sim/LoaderEmulator.h"
#include "platform/sim/SimBoardFiles.h"
#include "platform/sim/SimUsbHost.h"
#include "support/Clock.h"
#include "support/Paths.h"

namespace fs = std::filesystem;

namespace {

std::string WithSeparator(std::string folder) {
    if (folder.empty()) {
        folder = ks::ExecutableFolder();
    }
    if (folder.empty() || folder.back() != '/') {
        folder += '/';
    }
    return folder;
}

// Demo board `index`, in memory or kept in the state folder; nullptr (and a message) when its
// files cannot be used.
std::shared_ptr<LoaderEmulator> MakeBoard(const SimBusOptions& sim, int index, std::string* error) {
    std::shared_ptr<LoaderEmulator> board;
    if (sim.stateDir.empty()) {
        board = MakeDemoLoader(index);
    } else {
        board = std::make_shared<LoaderEmulator>();
        if (!OpenSimBoard(*board, sim.stateDir, index, error)) {
            return nullptr;
        }
    }
    if (sim.faults.Any()) {
        board->SetRandomFaults(sim.faults, BoardFaultSeed(sim.seed, index));
    }
    return board;
}

}  // namespace

CStationMachine::CStationMachine(std::string appDir, int simulate, std::string sysfsRoot,
                                 std::string devRoot, SimBusOptions sim)
    : appDir_(WithSeparator(std::move(appDir))) {
    IUsbTree* tree = nullptr;
    IBulkPipes* pipes = nullptr;
    IDeviceChangeSource* changes = nullptr;
    if (simulate >= 0) {
        sim_ = std::make_unique<SimUsbHost>();
        const int hubs = (simulate + kSimHubPorts - 1) / kSimHubPorts;
        sim_->AddController(true, std::max(hubs, 4));
        for (int h = 0; h < hubs; ++h) {
            const std::string hub = sim_->AddHub("1", h + 1, kSimHubPorts);
            for (int p = 0; p < kSimHubPorts && h * kSimHubPorts + p < simulate; ++p) {
                std::string error;
                std::shared_ptr<LoaderEmulator> loader =
                    MakeBoard(sim, h * kSimHubPorts + p, &error);
                if (!loader) {
                    if (setupError_.empty()) {
                        setupError_ = error;
                    }
                    continue;
                }
                sim_->Plug(hub + "-" + std::to_string(p + 1), loader);
                loaders_.push_back(std::move(loader));
            }
        }
        tree = sim_.get();
        pipes = sim_.get();
        changes = sim_.get();
    } else {
        machine_ = std::make_unique<LinuxUsbPlatform>(std::move(sysfsRoot), std::move(devRoot));
        tree = &machine_->Tree();
        pipes = &machine_->Pipes();
        changes = &machine_->Changes();
    }
    portMap_ = std::make_unique<CPortMapFile>(appDir_ + (sim_ ? "portmap-sim.ini" : "portmap.ini"));
    platform_ = std::make_unique<StationPlatform>(
        StationPlatform{*tree, *pipes, *changes, SystemClock(), *portMap_, appDir_, {}, {}});
    if (machine_) {
        platform_->attachLog = [m = machine_.get()](CLoggerBase* log) { m->SetLog(log); };
    }
}

CStationMachine::~CStationMachine() = default;

void SeedApplicationDirectory(const std::string& appDir) {
    const fs::path data = fs::path(ks::ExecutableFolder()) / "data";
    const fs::path dir(appDir);
    std::error_code ec;
    fs::create_directories(dir, ec);
    if (!fs::is_directory(data, ec)) {
        return;
    }
    for (const char* file : {"config.ini", DeviceTables::kFileName}) {
        if (!fs::exists(dir / file, ec) && fs::exists(data / file, ec)) {
            fs::copy_file(data / file, dir / file, ec);
        }
    }
    if (!fs::exists(dir / "lang", ec) && fs::is_directory(data / "lang", ec)) {
        fs::copy(data / "lang", dir / "lang", fs::copy_options::recursive, ec);
    }
}
