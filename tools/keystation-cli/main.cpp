// keystation-cli: the provisioning station without a window. The same controller as the GUI,
// with a console view: one line per status text of a device slot, the counters at the end.
#include <getopt.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/MainThreadQueue.h"
#include "app/StationController.h"
#include "device/DeviceTables.h"
#include "device/ZRScan.h"
#include "platform/machine/StationMachine.h"
#include "platform/sim/LoaderEmulator.h"
#include "support/Clock.h"
#include "support/CommandLine.h"
#include "support/IniSettingBase.h"
#include "tools/keystation-cli/ConsoleView.h"
#include "tools/keystation-cli/JsonConsoleView.h"

namespace {

constexpr int kMaxSimulated = 64;
constexpr long kMaxReviveMs = 3600000;

std::atomic<bool> gInterrupted = false;

extern "C" void OnSignal(int) {
    gInterrupted = true;
}

void Usage(std::FILE* to) {
    std::fprintf(
        to,
        "usage: keystation-cli [--home DIR] [--kdb FILE] [--simulate N] [--sysfs-root DIR]\n"
        "                      [--dev-root DIR] [--start] [--until-idle] [--dest N]\n"
        "                      [--rkp 0|1] [--keybox 0|1] [--reset-after-write 0|1]\n"
        "                      [--save-path DIR]\n"
        "                      [--sim-state DIR] [--sim-fault NAME=P]... [--sim-seed S]\n"
        "                      [--sim-revive-ms MS] [--key-pool CONNINFO --pool NAME\n"
        "                      [--pool-wrap-key FILE] [--insecure-pool-connection]]\n"
        "                      [--json]\n"
        "       keystation-cli --list [--home DIR] [--sysfs-root DIR] [--simulate N]\n"
        "                      [--sim-state DIR]\n"
        "simulated boards (with --simulate):\n"
        "  --sim-state DIR     keep each board's storage in DIR (board-NN.img, "
        "board-NN.vendor.img,\n"
        "                      board-NN.taken), reused by later runs\n"
        "  --sim-fault NAME=P  fault NAME on each command with probability P (0..1); NAME is\n"
        "                      status-lost, unplug, reset-never-returns, short-read or bad-tag\n"
        "  --sim-seed S        seed of the fault draws (default 1); each board draws its own "
        "stream\n"
        "  --sim-revive-ms MS  a board lost at a reset comes back after MS ms anyway\n"
        "--json: JSON Lines on standard output (status, result and summary objects)\n");
}

struct Options {
    std::string home;
    std::optional<std::string> keyFile;
    std::optional<std::string> keyPool;  // a libpq connection string
    std::optional<std::string> poolName;
    std::string poolWrapKey;  // the pool's wrap key file (else KeyPoolWrapKey of config.ini)
    bool insecurePool = false;
    int simulate = -1;  // -1: the machine's USB
    std::string sysfsRoot = "/sys";
    std::string devRoot = "/dev/bus/usb";
    bool start = false;
    bool untilIdle = false;
    bool json = false;
    bool list = false;
    std::optional<int> dest;
    std::optional<int> rkp;
    std::optional<int> keybox;
    std::optional<int> resetAfterWrite;
    std::optional<std::string> savePath;
    SimBusOptions sim;
    bool simOptions = false;  // any of the --sim-* options given
};

bool ParseInt(const char* text, int low, int high, int* out) {
    char* end = nullptr;
    const long v = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || v < low || v > high) {
        return false;
    }
    *out = static_cast<int>(v);
    return true;
}

bool ParseSeed(const char* text, uint64_t* out) {
    if (*text < '0' || *text > '9') {
        return false;  // strtoull would take a sign or blanks
    }
    char* end = nullptr;
    errno = 0;
    const unsigned long long v = std::strtoull(text, &end, 10);
    if (end == text || *end != '\0' || errno == ERANGE) {
        return false;
    }
    *out = v;
    return true;
}

// 0: parsed; otherwise the exit code.
int ParseOptions(int argc, char** argv, Options* o) {
    enum {
        kHome = 256,
        kKdb,
        kSimulate,
        kSysfs,
        kDev,
        kStart,
        kUntilIdle,
        kList,
        kDest,
        kRkp,
        kKeybox,
        kReset,
        kSavePath,
        kSimState,
        kSimFault,
        kSimSeed,
        kSimRevive,
        kKeyPool,
        kPoolName,
        kPoolWrapKey,
        kInsecurePool,
        kJson,
        kHelp
    };
    static const option kLong[] = {
        {"home", required_argument, nullptr, kHome},
        {"kdb", required_argument, nullptr, kKdb},
        {"simulate", required_argument, nullptr, kSimulate},
        {"sysfs-root", required_argument, nullptr, kSysfs},
        {"dev-root", required_argument, nullptr, kDev},
        {"start", no_argument, nullptr, kStart},
        {"until-idle", no_argument, nullptr, kUntilIdle},
        {"list", no_argument, nullptr, kList},
        {"dest", required_argument, nullptr, kDest},
        {"rkp", required_argument, nullptr, kRkp},
        {"keybox", required_argument, nullptr, kKeybox},
        {"reset-after-write", required_argument, nullptr, kReset},
        {"save-path", required_argument, nullptr, kSavePath},
        {"sim-state", required_argument, nullptr, kSimState},
        {"sim-fault", required_argument, nullptr, kSimFault},
        {"sim-seed", required_argument, nullptr, kSimSeed},
        {"sim-revive-ms", required_argument, nullptr, kSimRevive},
        {"key-pool", required_argument, nullptr, kKeyPool},
        {"pool", required_argument, nullptr, kPoolName},
        {"pool-wrap-key", required_argument, nullptr, kPoolWrapKey},
        {"insecure-pool-connection", no_argument, nullptr, kInsecurePool},
        {"json", no_argument, nullptr, kJson},
        {"help", no_argument, nullptr, kHelp},
        {nullptr, 0, nullptr, 0},
    };
    int c = 0;
    int value = 0;
    while ((c = getopt_long(argc, argv, "", kLong, nullptr)) != -1) {
        switch (c) {
            case kHome:
                o->home = optarg;
                break;
            case kKdb:
                o->keyFile = optarg;
                break;
            case kKeyPool:
                o->keyPool = optarg;
                break;
            case kPoolName:
                o->poolName = optarg;
                break;
            case kPoolWrapKey:
                o->poolWrapKey = optarg;
                break;
            case kInsecurePool:
                o->insecurePool = true;
                break;
            case kJson:
                o->json = true;
                break;
            case kSimulate:
                if (!ParseInt(optarg, 0, kMaxSimulated, &o->simulate)) {
                    std::fprintf(stderr, "keystation-cli: --simulate takes 0..%d\n", kMaxSimulated);
                    return 2;
                }
                break;
            case kSysfs:
                o->sysfsRoot = optarg;
                break;
            case kDev:
                o->devRoot = optarg;
                break;
            case kStart:
                o->start = true;
                break;
            case kUntilIdle:
                o->untilIdle = true;
                break;
            case kList:
                o->list = true;
                break;
            case kDest:
            case kRkp:
            case kKeybox:
            case kReset:
                if (!ParseInt(optarg, 0, c == kDest ? 3 : 1, &value)) {
                    std::fprintf(stderr, "keystation-cli: bad value '%s'\n", optarg);
                    return 2;
                }
                (c == kDest     ? o->dest
                 : c == kRkp    ? o->rkp
                 : c == kKeybox ? o->keybox
                                : o->resetAfterWrite) = value;
                break;
            case kSavePath:
                o->savePath = optarg;
                break;
            case kSimState:
                if (*optarg == '\0') {
                    std::fprintf(stderr, "keystation-cli: --sim-state needs a folder\n");
                    return 2;
                }
                o->sim.stateDir = optarg;
                o->simOptions = true;
                break;
            case kSimFault: {
                std::string error;
                if (!ParseRandomFault(optarg, &o->sim.faults, &error)) {
                    std::fprintf(stderr, "keystation-cli: --sim-fault: %s\n", error.c_str());
                    return 2;
                }
                o->simOptions = true;
                break;
            }
            case kSimSeed:
                if (!ParseSeed(optarg, &o->sim.seed)) {
                    std::fprintf(stderr, "keystation-cli: --sim-seed takes 0..%llu\n",
                                 static_cast<unsigned long long>(UINT64_MAX));
                    return 2;
                }
                o->simOptions = true;
                break;
            case kSimRevive:
                if (!ParseInt(optarg, 0, static_cast<int>(kMaxReviveMs), &value)) {
                    std::fprintf(stderr, "keystation-cli: --sim-revive-ms takes 0..%ld\n",
                                 kMaxReviveMs);
                    return 2;
                }
                o->sim.faults.lostBoardReturnMs = static_cast<uint32_t>(value);
                o->simOptions = true;
                break;
            case kHelp:
                Usage(stdout);
                return 1;
            default:
                Usage(stderr);
                return 2;
        }
    }
    if (optind != argc) {
        Usage(stderr);
        return 2;
    }
    if (o->simOptions && o->simulate < 0) {
        std::fprintf(stderr, "keystation-cli: the --sim-* options need --simulate\n");
        return 2;
    }
    if (o->untilIdle && !o->start) {
        std::fprintf(stderr, "keystation-cli: --until-idle needs --start\n");
        return 2;
    }
    if (o->keyPool.has_value() != o->poolName.has_value() || (o->keyPool && o->keyFile)) {
        std::fprintf(stderr, "keystation-cli: --key-pool needs --pool, and not --kdb\n");
        return 2;
    }
    return 0;
}

const char* KindName(uint32_t kind) {
    switch (kind) {
        case DEVICE_KIND_ROM:
            return "rom";
        case DEVICE_KIND_LOADER:
            return "loader";
        default:
            return "other";
    }
}

int ListDevices(IUsbTree& tree, const std::string& appDir) {
    DeviceTables tables;
    if (!tables.LoadFile(appDir + DeviceTables::kFileName, nullptr)) {
        std::fprintf(stderr, "keystation-cli: cannot read %s%s\n", appDir.c_str(),
                     DeviceTables::kFileName);
        return 1;
    }
    ZRScan scanner(CStationController::kScanLimitSec, CStationController::kScanLimitSec, 0, tree,
                   tables);
    scanner.LoadDeviceTables();
    const int count = scanner.Search(DEVICE_KIND_LOADER);
    for (int i = 0; i < count; ++i) {
        ZRDeviceDesc d;
        if (scanner.GetDevice(i, &d) != 0) {
            std::printf("%s\t%s\t%04x:%04x\t%s\n", d.location.c_str(), KindName(d.kind), d.vendorId,
                        d.productId, d.path.c_str());
        }
    }
    if (count == 0 && scanner.WalkedDeviceCount() > 0) {
        // Boards behind other ids than the tables name would otherwise be silently missing.
        std::fprintf(stderr,
                     "keystation-cli: %zu USB device(s) present, none is a loader by the vendor "
                     "ids and chip table of %s%s\n",
                     scanner.WalkedDeviceCount(), appDir.c_str(), DeviceTables::kFileName);
    }
    return 0;
}

bool AnySlotRunning(const CStationController& controller) {
    for (const DeviceSlot& slot : controller.SlotsSnapshot()) {
        if (slot.running != 0) {
            return true;
        }
    }
    return false;
}

// Exit status when the station could not start (settings or language files unusable).
constexpr int kExitNotStarted = 3;

int RunStation(const Options& o, StationPlatform& platform) {
    CMainThreadQueue queue;
    // With --json the text console is not told the status texts: standard output has only the
    // JSON view's lines.
    CConsoleView view(stdout, stderr);
    CJsonConsoleView jsonView(view, stdout);
    IStationView& shown = o.json ? static_cast<IStationView&>(jsonView) : view;
    CStationController controller(platform, shown, queue);
    if (o.json) {
        controller.SetJobObserver([&jsonView](const JobRecord& r) { jsonView.PrintJob(r); });
    }
    view.HoldStatus();
    const StartupResult startup = controller.Initialise();
    queue.RunPending();
    if (!startup.started) {
        view.ReleaseStatus(false);
        // "Loader Config fail" ends start-up with 0 for the window program; automation must not
        // take a station that never started for one that succeeded.
        return startup.exitCode != 0 ? startup.exitCode : kExitNotStarted;
    }

    // Options for this run only: the file keeps its values.
    CIniSettingBase& settings = controller.MutableSettings();
    const int savedDest = settings.DestPosition;
    const int savedRkp = settings.GetRkp;
    const int savedKeybox = settings.WriteKeybox;
    const int savedReset = settings.ResetAfterWrite;
    const std::string savedPath = settings.SavePath;
    if (o.dest)
        settings.DestPosition = *o.dest;
    if (o.rkp)
        settings.GetRkp = *o.rkp;
    if (o.keybox)
        settings.WriteKeybox = *o.keybox;
    if (o.resetAfterWrite)
        settings.ResetAfterWrite = *o.resetAfterWrite;
    if (o.savePath)
        settings.SavePath = *o.savePath;

    // Start-up's hint to load a key file is for a station given none; what the load says is
    // printed as it comes.
    view.ReleaseStatus(o.keyFile || o.keyPool || !settings.KeyPool.empty());
    if (o.keyFile) {
        view.SetKeyFileAnswer(*o.keyFile);
        controller.OnKeyFileButton();
        queue.RunPending();
    } else if (o.keyPool || !settings.KeyPool.empty()) {
        // The shared key pool named on the command line, or else the one config.ini keeps.
        controller.LoadKeyPool(o.keyPool.value_or(settings.KeyPool),
                               o.poolName.value_or(settings.PoolName), o.poolWrapKey,
                               o.insecurePool);
        queue.RunPending();
    }
    int exitCode = 0;
    bool stopping = false;
    if (!controller.DeviceTablesProblem().empty()) {
        // No board can be found: a run that could only end "total 00000" is no success.
        std::fprintf(stderr, "keystation-cli: %s\n", controller.DeviceTablesProblem().c_str());
        exitCode = kExitNotStarted;
        stopping = true;
    } else if (o.start) {
        controller.OnStartStopButton();
        queue.RunPending();
        if (controller.State() != StationState::kRunning) {
            std::fprintf(stderr,
                         "keystation-cli: Start refused: keybox writing is on and no "
                         "key file is loaded\n");
            exitCode = 2;
            stopping = true;
        }
    }

    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);
    // The run is over when no job runs and either nothing is left to rescan or a whole rescan
    // has begun since the last job ended (so every device present then has been seen).
    bool idle = false;
    uint64_t idleSince = 0;
    while (!view.Closed()) {
        queue.RunFor(20);
        controller.OnClockTick();
        if (o.untilIdle && !stopping) {
            const uint64_t rescans = controller.CompletedRescans();
            if (AnySlotRunning(controller)) {
                idle = false;
            } else if (!idle) {
                idle = true;
                idleSince = rescans;
            }
            if (idle && rescans > 0 && (!controller.RescanBusy() || rescans >= idleSince + 2)) {
                stopping = true;
            }
        }
        if (gInterrupted) {
            stopping = true;
        }
        if (!stopping) {
            continue;
        }
        if (controller.State() == StationState::kRunning) {
            controller.OnStartStopButton();
        }
        if (controller.State() == StationState::kIdle) {
            settings.DestPosition = savedDest;
            settings.GetRkp = savedRkp;
            settings.WriteKeybox = savedKeybox;
            settings.ResetAfterWrite = savedReset;
            settings.SavePath = savedPath;
            controller.OnClose();
        }
    }
    queue.RunPending();

    const std::string fail = view.ControlText(StationControl::kFailCounter);
    if (o.json) {
        JobSummary summary;
        summary.success = std::atoll(view.ControlText(StationControl::kSuccessCounter).c_str());
        summary.fail = std::atoll(fail.c_str());
        summary.total = std::atoll(view.ControlText(StationControl::kTotalCounter).c_str());
        const ShiftSummary shift = controller.Summary();
        summary.jobsPerHour = shift.jobsPerHour;
        summary.already = shift.already;
        for (const auto& [text, count] : shift.topFailures) {
            summary.topFailures.emplace_back(text, count);
        }
        jsonView.PrintSummary(summary);
    } else {
        view.PrintSummary();
        std::printf("success %s fail %s total %s\n",
                    view.ControlText(StationControl::kSuccessCounter).c_str(), fail.c_str(),
                    view.ControlText(StationControl::kTotalCounter).c_str());
    }
    if (exitCode == 0 && fail != "00000") {
        exitCode = 1;
    }
    return exitCode;
}

}  // namespace

int main(int argc, char** argv) {
    // UTF-8 arguments on every platform (a Chinese folder name on Windows too), and a console
    // that shows the UTF-8 lines written to it.
    ks::UseUtf8Console();
    std::vector<std::string> arguments = ks::CommandLineArguments(argc, argv);
    std::vector<char*> pointers = ks::ArgumentPointers(arguments);
    Options o;
    if (const int rc = ParseOptions(static_cast<int>(arguments.size()), pointers.data(), &o);
        rc != 0) {
        return rc == 1 ? 0 : rc;
    }
    const ApplicationFolders folders = ChooseApplicationFolders(o.home);
    if (std::string error; !SeedApplicationDirectory(folders, &error)) {
        std::fprintf(stderr, "keystation-cli: %s\n", error.c_str());
        if (folders.appDir.empty()) {
            return 2;
        }
    }
    CStationMachine machine(folders.appDir, o.simulate, o.sysfsRoot, o.devRoot, o.sim);
    if (!machine.SetupError().empty()) {
        std::fprintf(stderr, "keystation-cli: simulated board: %s\n", machine.SetupError().c_str());
        return 2;
    }
    if (o.list) {
        return ListDevices(machine.Platform().usbTree, machine.AppDir());
    }
    return RunStation(o, machine.Platform());
}
