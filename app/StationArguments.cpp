#include "app/StationArguments.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <set>

namespace {

enum ProgramBits : unsigned { kQt = 1, kWin32 = 2, kConsole = 4, kAll = 7, kWindows = 3 };

unsigned Bit(StationProgram program) {
    switch (program) {
        case StationProgram::kQtWindow:
            return kQt;
        case StationProgram::kWin32Window:
            return kWin32;
        case StationProgram::kConsole:
            return kConsole;
    }
    return 0;
}

enum class Id {
    kHome,
    kKdb,
    kKeyPool,
    kPool,
    kPoolWrapKey,
    kInsecurePool,
    kPracticeWithProductionKeys,
    kSimulate,
    kSimState,
    kSimFault,
    kSimSeed,
    kSimRevive,
    kSysfsRoot,
    kDevRoot,
    kStart,
    kUntilIdle,
    kDest,
    kRkp,
    kKeybox,
    kResetAfterWrite,
    kSavePath,
    kJson,
    kList,
    kHelp,
};

struct Spec {
    Id id;
    const char* name;
    const char* value;  // null: a switch
    const char* help;
    unsigned programs;        // who takes it
    const char* whyNotTaken;  // said by the others
};

#ifdef _WIN32
constexpr unsigned kUsbRootPrograms = 0;
constexpr const char* kUsbRootWhy = "Linux's USB tree; Windows lists the boards itself";
#else
constexpr unsigned kUsbRootPrograms = kQt | kConsole;
constexpr const char* kUsbRootWhy = "";
#endif

constexpr Spec kSpecs[] = {
    {Id::kHome, "home", "DIR", "application folder (config.ini, logs, results)", kAll, ""},
    {Id::kKdb, "kdb", "FILE", "load this key file once start-up is done", kAll, ""},
    {Id::kKeyPool, "key-pool", "CONNINFO", "draw keys from a shared key pool (with --pool)", kAll,
     ""},
    {Id::kPool, "pool", "NAME", "the key pool's name", kAll, ""},
    {Id::kPoolWrapKey, "pool-wrap-key", "FILE",
     "the pool's wrap key file (else KeyPoolWrapKey of config.ini)", kAll, ""},
    {Id::kInsecurePool, "insecure-pool-connection", nullptr,
     "allow a pool connection without verified TLS (logged)", kAll, ""},
    {Id::kSimulate, "simulate", "N", "practice mode: N simulated boards (0..64), no USB", kAll, ""},
    {Id::kPracticeWithProductionKeys, "practice-with-production-keys", nullptr,
     "(with --simulate, in a window) practice may spend keys production has used", kAll, ""},
    {Id::kSimState, "sim-state", "DIR", "keep the simulated boards' storage in DIR", kAll, ""},
    {Id::kSimFault, "sim-fault", "NAME=P",
     "fault NAME with probability P (0..1) per command, repeatable:\n"
     "                              status-lost, unplug, reset-never-returns, short-read, bad-tag",
     kAll, ""},
    {Id::kSimSeed, "sim-seed", "S", "seed of the fault draws (default 1)", kAll, ""},
    {Id::kSimRevive, "sim-revive-ms", "MS", "a board lost at a reset comes back after MS ms", kAll,
     ""},
    {Id::kSysfsRoot, "sysfs-root", "DIR", "read DIR instead of /sys", kUsbRootPrograms,
     kUsbRootWhy},
    {Id::kDevRoot, "dev-root", "DIR", "open usbfs nodes under DIR instead of /dev/bus/usb",
     kUsbRootPrograms, kUsbRootWhy},
    {Id::kStart, "start", nullptr, "press Start once start-up is done", kAll, ""},
    {Id::kUntilIdle, "until-idle", nullptr,
     "(with --start) stop and end once every present board has had its job", kConsole,
     "a window stays until the operator closes it"},
    {Id::kDest, "dest", "N", "DestPosition (0..3) for this run; config.ini keeps its value", kAll,
     ""},
    {Id::kRkp, "rkp", "0|1", "GetRkp for this run", kAll, ""},
    {Id::kKeybox, "keybox", "0|1", "WriteKeybox for this run", kAll, ""},
    {Id::kResetAfterWrite, "reset-after-write", "0|1", "ResetAfterWrite for this run", kAll, ""},
    {Id::kSavePath, "save-path", "DIR", "SavePath (the RKP files' folder) for this run", kAll, ""},
    {Id::kJson, "json", nullptr, "JSON Lines on standard output (status, result, summary)",
     kConsole, "the console's output; a window shows its table"},
    {Id::kList, "list", nullptr, "print the loader boards found, one a line, and end", kConsole,
     "it opens no window: keystation-cli --list"},
    {Id::kHelp, "help", nullptr, "print this and end", kAll, ""},
};

const char* ProgramName(StationProgram program) {
    return program == StationProgram::kConsole ? "keystation-cli" : "keystation";
}

const Spec* Find(const std::string& name) {
    for (const Spec& spec : kSpecs) {
        if (name == spec.name) {
            return &spec;
        }
    }
    return nullptr;
}

bool ParseInt(const std::string& text, long low, long high, int* out) {
    if (text.empty() || text.size() > 12) {
        return false;
    }
    char* end = nullptr;
    const long v = std::strtol(text.c_str(), &end, 10);
    if (end != text.c_str() + text.size() || v < low || v > high) {
        return false;
    }
    *out = static_cast<int>(v);
    return true;
}

bool ParseSeed(const std::string& text, uint64_t* out) {
    if (text.empty() || text[0] < '0' || text[0] > '9') {
        return false;  // strtoull would take a sign or blanks
    }
    char* end = nullptr;
    errno = 0;
    const unsigned long long v = std::strtoull(text.c_str(), &end, 10);
    if (end != text.c_str() + text.size() || errno == ERANGE) {
        return false;
    }
    *out = v;
    return true;
}

// One option with its value (empty for a switch) into *o; false with *error.
bool Take(const Spec& spec, const std::string& value, StationArguments* o, std::string* error) {
    const std::string option = std::string("--") + spec.name;
    int n = 0;
    auto needs = [&](const char* what) {
        *error = option + " needs " + what;
        return false;
    };
    switch (spec.id) {
        case Id::kHome:
            if (value.empty()) {
                return needs("a folder");
            }
            o->home = value;
            return true;
        case Id::kKdb:
            if (value.empty()) {
                return needs("a file");
            }
            o->keyFile = value;
            return true;
        case Id::kKeyPool:
            o->keyPool = value;
            return true;
        case Id::kPool:
            o->poolName = value;
            return true;
        case Id::kPoolWrapKey:
            o->poolWrapKey = value;
            return true;
        case Id::kInsecurePool:
            o->insecurePool = true;
            return true;
        case Id::kPracticeWithProductionKeys:
            o->practiceWithProductionKeys = true;
            return true;
        case Id::kSimulate:
            if (!ParseInt(value, 0, kMaxSimulatedBoards, &o->simulate)) {
                *error = option + " takes 0.." + std::to_string(kMaxSimulatedBoards);
                return false;
            }
            return true;
        case Id::kSimState:
            if (value.empty()) {
                return needs("a folder");
            }
            o->sim.stateDir = value;
            return true;
        case Id::kSimFault: {
            std::string why;
            if (!ParseRandomFault(value, &o->sim.faults, &why)) {
                *error = option + ": " + why;
                return false;
            }
            return true;
        }
        case Id::kSimSeed:
            if (!ParseSeed(value, &o->sim.seed)) {
                *error = option + " takes 0.." + std::to_string(UINT64_MAX);
                return false;
            }
            return true;
        case Id::kSimRevive:
            if (!ParseInt(value, 0, kMaxReviveMs, &n)) {
                *error = option + " takes 0.." + std::to_string(kMaxReviveMs);
                return false;
            }
            o->sim.faults.lostBoardReturnMs = static_cast<uint32_t>(n);
            return true;
        case Id::kSysfsRoot:
            o->sysfsRoot = value;
            return true;
        case Id::kDevRoot:
            o->devRoot = value;
            return true;
        case Id::kStart:
            o->start = true;
            return true;
        case Id::kUntilIdle:
            o->untilIdle = true;
            return true;
        case Id::kDest:
        case Id::kRkp:
        case Id::kKeybox:
        case Id::kResetAfterWrite: {
            const int high = spec.id == Id::kDest ? 3 : 1;
            if (!ParseInt(value, 0, high, &n)) {
                *error = option + " takes 0.." + std::to_string(high) + ", not '" + value + "'";
                return false;
            }
            (spec.id == Id::kDest     ? o->run.destPosition
             : spec.id == Id::kRkp    ? o->run.getRkp
             : spec.id == Id::kKeybox ? o->run.writeKeybox
                                      : o->run.resetAfterWrite) = n;
            return true;
        }
        case Id::kSavePath:
            o->run.savePath = value;
            return true;
        case Id::kJson:
            o->json = true;
            return true;
        case Id::kList:
            o->list = true;
            return true;
        case Id::kHelp:
            o->help = true;
            return true;
    }
    return false;
}

}  // namespace

bool ParseStationArguments(const std::vector<std::string>& args, StationProgram program,
                           StationArguments* out, std::string* error) {
    for (size_t i = 1; i < args.size(); ++i) {
        if (args[i] == "--help" || args[i] == "-h" || args[i] == "-help") {
            *out = StationArguments();
            out->help = true;
            return true;
        }
    }
    StationArguments o;
    std::set<Id> seen;
    bool simOptions = false;
    for (size_t i = 1; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg.size() < 3 || arg.compare(0, 2, "--") != 0) {
            *error = "unexpected argument '" + arg + "'";
            return false;
        }
        const size_t equals = arg.find('=');
        const std::string name =
            arg.substr(2, equals == std::string::npos ? std::string::npos : equals - 2);
        const Spec* spec = Find(name);
        if (spec == nullptr) {
            *error = "unknown option --" + name;
            return false;
        }
        if ((spec->programs & Bit(program)) == 0) {
            *error = "--" + name + " is not an option of " + ProgramName(program) + ": " +
                     spec->whyNotTaken;
            return false;
        }
        std::string value;
        if (spec->value != nullptr) {
            if (equals != std::string::npos) {
                value = arg.substr(equals + 1);
            } else if (i + 1 < args.size()) {
                value = args[++i];
            } else {
                *error = "--" + name + " needs a value (" + spec->value + ")";
                return false;
            }
        } else if (equals != std::string::npos) {
            *error = "--" + name + " takes no value";
            return false;
        }
        if (spec->id != Id::kSimFault && !seen.insert(spec->id).second) {
            *error = "--" + name + " given more than once";
            return false;
        }
        if (!Take(*spec, value, &o, error)) {
            return false;
        }
        simOptions = simOptions || spec->id == Id::kSimState || spec->id == Id::kSimFault ||
                     spec->id == Id::kSimSeed || spec->id == Id::kSimRevive;
    }
    if (o.practiceWithProductionKeys && o.simulate < 0) {
        *error = "--practice-with-production-keys needs --simulate N";
        return false;
    }
    if (simOptions && o.simulate < 0) {
        *error = "the --sim-* options need --simulate N";
        return false;
    }
    if (o.untilIdle && !o.start) {
        *error = "--until-idle needs --start";
        return false;
    }
    if (o.keyPool.has_value() != o.poolName.has_value() || (o.keyPool && o.keyFile)) {
        *error = "--key-pool needs --pool, and not --kdb";
        return false;
    }
    *out = std::move(o);
    return true;
}

std::string StationUsage(StationProgram program) {
    const std::string name = ProgramName(program);
    const std::string indent(name.size() + 8, ' ');
    std::string usage =
        "usage: " + name + " [--home DIR] [--kdb FILE | --key-pool CONNINFO --pool NAME]\n" +
        indent + "[--simulate N [--sim-state DIR] [--sim-fault NAME=P]... [--sim-seed S]]\n" +
        indent + "[--start] [--dest N] [--rkp 0|1] [--keybox 0|1] ...\n";
    if (program == StationProgram::kConsole) {
        usage += "       " + name + " --list [--home DIR] [--simulate N] ...\n";
    }
    return usage + "       " + name + " --help\n";
}

std::string StationHelp(StationProgram program) {
    std::string text = StationUsage(program) + "\n";
    std::string refused;
    for (const Spec& spec : kSpecs) {
        std::string left = std::string("  --") + spec.name;
        if (spec.value != nullptr) {
            left += std::string(" ") + spec.value;
        }
        if ((spec.programs & Bit(program)) == 0) {
            refused += left + ": " + spec.whyNotTaken + "\n";
            continue;
        }
        left.resize(std::max<size_t>(left.size() + 1, 30), ' ');
        text += left + spec.help + "\n";
    }
    if (!refused.empty()) {
        text += std::string("\nNot taken by ") + ProgramName(program) +
                (program == StationProgram::kWin32Window ? " on Windows" : "") + ":\n" + refused;
    }
    return text;
}
