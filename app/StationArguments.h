// The command line of the station's three programs: the Qt window (keystation), the Windows
// window (keystation.exe) and the console (keystation-cli). One set of options, read by one
// parser, explained by one help text. A program refuses the few options it has no use for, and
// its help says which and why.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/sim/LoaderEmulator.h"

enum class StationProgram { kQtWindow, kWin32Window, kConsole };

// How the simulated boards behave.
struct SimBusOptions {
    // Empty: the boards live in memory and start afresh every run. Otherwise their storage is
    // kept in this folder (see SimBoardFiles.h) and reused by later runs.
    std::string stateDir;
    RandomFaultRates faults;  // the same rates on every board
    uint64_t seed = 1;        // every board draws its own stream from it
};

// Settings of config.ini replaced for one run; the file keeps its own values.
struct RunSettings {
    std::optional<int> destPosition;
    std::optional<int> getRkp;
    std::optional<int> writeKeybox;
    std::optional<int> resetAfterWrite;
    std::optional<std::string> savePath;
};

struct StationArguments {
    std::string home;                    // empty: the executable's folder
    std::optional<std::string> keyFile;  // loaded once start-up is done
    std::optional<std::string> keyPool;  // a libpq connection string; with poolName
    std::optional<std::string> poolName;
    std::string poolWrapKey;  // the pool's wrap key file (else KeyPoolWrapKey of config.ini)
    bool insecurePool = false;
    // Practice (simulated boards in a window) may take a key stock production has used.
    bool practiceWithProductionKeys = false;
    int simulate = -1;  // -1: the machine's USB; else N simulated loader boards
    SimBusOptions sim;
    std::string sysfsRoot = "/sys";
    std::string devRoot = "/dev/bus/usb";
    bool start = false;      // press Start once start-up is done
    bool untilIdle = false;  // stop and end once every present board has had its job
    bool json = false;       // JSON Lines on standard output
    bool list = false;       // list the loader boards and end
    RunSettings run;
    bool help = false;  // print the help and end
};

inline constexpr int kMaxSimulatedBoards = 64;
inline constexpr uint32_t kMaxReviveMs = 3600000;

// args: the program's arguments in UTF-8, its name first. False, with one line in *error, for an
// unknown, repeated, malformed or refused option; --help anywhere wins over everything else.
bool ParseStationArguments(const std::vector<std::string>& args, StationProgram program,
                           StationArguments* out, std::string* error);

// The help text: usage, every option the program takes, then those it does not, with why.
std::string StationHelp(StationProgram program);
// The first lines of the help (the usage), for a usage error.
std::string StationUsage(StationProgram program);
