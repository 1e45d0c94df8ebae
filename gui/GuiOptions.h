// The options of the keystation program: the headless station's --home DIR, --kdb FILE,
// --key-pool CONNINFO with --pool NAME, --simulate N with its practice options (--sim-state DIR,
// --sim-fault NAME=P, --sim-seed S), --start and --help, and nothing else. Without options the
// program is the plain station: its application directory is the executable's folder and it works
// with the machine's USB.
#pragma once

#include <QString>
#include <QStringList>
#include <optional>
#include <string>

#include "platform/machine/StationMachine.h"

struct GuiOptions {
    std::string home;                    // empty: the executable's folder
    std::optional<std::string> keyFile;  // loaded once the window is up
    std::optional<std::string> keyPool;  // a libpq connection string; with poolName
    std::string poolName;
    int simulate = -1;   // -1: the machine's USB; else N emulated loader devices
    bool start = false;  // press Start once the window is up
    SimBusOptions sim;   // the simulated boards' state folder, faults and seed
    bool help = false;   // print the options and end
};

constexpr int kMaxSimulatedDevices = 64;

// arguments: the program's arguments with the program name first, as QCoreApplication gives
// them (Qt's own options already taken out). False with a message for a bad or unknown option.
bool ParseGuiOptions(const QStringList& arguments, GuiOptions* out, QString* error);

// The usage line, and the options one per line.
QString GuiUsage();
QString GuiHelp();
