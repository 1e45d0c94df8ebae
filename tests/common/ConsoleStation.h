// The console station's command line for a run on simulated boards, as the tests that start it
// as a program give it; each adds what its run needs (--until-idle, faults, a seed) after it.
#pragma once

#include <string>
#include <vector>

namespace console_station {

// `boards` simulated boards kept in boardDir, started at once: key boxes written, RKP data saved
// to savePath when rkp is 1, to destination dest.
inline std::vector<std::string> Run(const std::string& home, const std::string& kdb, int boards,
                                    const std::string& boardDir, int dest, int rkp,
                                    const std::string& savePath) {
    return {KS_KEYSTATION_CLI,
            "--home",
            home,
            "--kdb",
            kdb,
            "--simulate",
            std::to_string(boards),
            "--sim-state",
            boardDir,
            "--start",
            "--keybox",
            "1",
            "--rkp",
            std::to_string(rkp),
            "--dest",
            std::to_string(dest),
            "--save-path",
            savePath};
}

}  // namespace console_station
