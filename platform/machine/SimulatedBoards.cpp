// The simulated bus, the same on every platform: demo loader boards behind hubs of eight ports on
// one controller.
#include <algorithm>
#include <memory>
#include <string>
#include <utility>

#include "platform/machine/StationMachine.h"
#include "platform/sim/SimBoardFiles.h"
#include "platform/sim/SimUsbHost.h"

void CStationMachine::PlugSimulatedBoards(int boards, const SimBusOptions& sim) {
    sim_ = std::make_unique<SimUsbHost>();
    const int hubs = (boards + kSimHubPorts - 1) / kSimHubPorts;
    sim_->AddController(true, std::max(hubs, 4));
    for (int h = 0; h < hubs; ++h) {
        const std::string hub = sim_->AddHub("1", h + 1, kSimHubPorts);
        for (int p = 0; p < kSimHubPorts && h * kSimHubPorts + p < boards; ++p) {
            std::string error;
            std::shared_ptr<LoaderEmulator> loader =
                MakeSimBoard(sim.stateDir, sim.faults, sim.seed, h * kSimHubPorts + p, &error);
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
}
