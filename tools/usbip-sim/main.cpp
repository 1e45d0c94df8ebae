// usbip-sim: serves emulated loader devices to this machine's own USB stack through the kernel's
// virtual host controller (vhci-hcd), so that the station's Linux platform code runs against real
// sysfs entries, usbfs nodes and uevents.
//
//   usbip-sim [--state-dir DIR] [--ready FILE] [--sysfs ROOT] DEVICE...
//
// DEVICE is described in DeviceSpec.h, e.g. "port=0,type=loader,demo=3". The server attaches
// every device, writes "ok NAME..." to the ready file once all are configured ("failed REASON"
// otherwise), and serves until SIGTERM or SIGINT, when it detaches them all and exits. Needs
// write access to /sys/devices/platform/vhci_hcd.0/attach (root).
#include <signal.h>
#include <time.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "platform/sim/DemoImage.h"
#include "platform/sim/LoaderEmulator.h"
#include "tools/usbip-sim/DeviceSpec.h"
#include "tools/usbip-sim/EchoFunction.h"
#include "tools/usbip-sim/LoaderFunction.h"
#include "tools/usbip-sim/PortRunner.h"
#include "tools/usbip-sim/VhciPorts.h"

namespace {

std::mutex g_logLock;

void Log(const std::string& who, const std::string& text) {
    timespec ts = {};
    ::clock_gettime(CLOCK_BOOTTIME, &ts);
    std::lock_guard<std::mutex> guard(g_logLock);
    std::fprintf(stderr, "[%5ld.%03ld] usbip-sim %s: %s\n", static_cast<long>(ts.tv_sec),
                 ts.tv_nsec / 1000000, who.c_str(), text.c_str());
    std::fflush(stderr);
}

void Usage() {
    std::fprintf(stderr,
                 "usage: usbip-sim [--state-dir DIR] [--ready FILE] [--sysfs ROOT] DEVICE...\n"
                 "  DEVICE: port=N[,type=loader|rom|echo][,demo=I][,vid=0xV][,pid=0xP]"
                 "[,option]...\n");
}

void WriteReady(const std::string& path, const std::string& text) {
    if (path.empty())
        return;
    const std::string tmp = path + ".tmp";
    FILE* f = std::fopen(tmp.c_str(), "w");
    if (f == nullptr)
        return;
    std::fprintf(f, "%s\n", text.c_str());
    std::fclose(f);
    std::rename(tmp.c_str(), path.c_str());
}

std::unique_ptr<IUsbFunction> MakeFunction(const DeviceSpec& spec) {
    const int index = spec.demo >= 0 ? spec.demo : static_cast<int>(spec.port);
    char serial[32];
    std::snprintf(serial, sizeof(serial), "USBIPSIM%04d", index);
    if (spec.type == DeviceSpec::Type::kEcho) {
        UsbDeviceIdentity id;
        id.vendorId = spec.vendorId >= 0 ? static_cast<uint16_t>(spec.vendorId) : 0x1D6B;
        id.productId = spec.productId >= 0 ? static_cast<uint16_t>(spec.productId) : 0x0104;
        id.bcdUsb = 0x0200;
        id.manufacturer = "KeyStation Sim";
        id.product = "Echo";
        id.serial = serial;
        return std::make_unique<EchoFunction>(id);
    }
    std::unique_ptr<LoaderEmulator> emulator = MakeDemoLoader(index);
    LoaderConfig config = emulator->Config();
    if (spec.type == DeviceSpec::Type::kRom)
        config.bcdUsb = 0x0200;
    if (spec.vendorId >= 0)
        config.vendorId = static_cast<uint16_t>(spec.vendorId);
    if (spec.productId >= 0)
        config.productId = static_cast<uint16_t>(spec.productId);
    if (spec.resetDelayMs >= 0)
        config.resetReturnDelayMs = static_cast<uint32_t>(spec.resetDelayMs);
    config.resetLingerMs = static_cast<uint32_t>(spec.lingerMs);
    emulator->SetConfig(config);

    LoaderFaults faults = emulator->Faults();
    faults.latencyPerCommandMs = static_cast<uint32_t>(spec.latencyMs);
    faults.failTransferAtCommand = static_cast<uint32_t>(spec.failCommand);
    faults.failTransferPhase = spec.failPhase == "data"     ? TransferPhase::kData
                               : spec.failPhase == "status" ? TransferPhase::kStatus
                                                            : TransferPhase::kCommand;
    faults.unplugAtCommand = static_cast<uint32_t>(spec.unplugCommand);
    faults.noReturnAfterReset = spec.noReturn;
    faults.returnAtOtherPort = spec.otherPort >= 0;
    faults.keyboxTakeOut = spec.keybox == "leave"   ? KeyboxTakeOut::kLeaveRecord
                           : spec.keybox == "exis"  ? KeyboxTakeOut::kWriteExis
                           : spec.keybox == "stray" ? KeyboxTakeOut::kLeaveStrayByte
                                                    : KeyboxTakeOut::kClean;
    emulator->SetFaults(faults);
    return std::make_unique<LoaderFunction>(std::move(emulator), serial);
}

}  // namespace

int main(int argc, char** argv) {
    std::string stateDir;
    std::string readyFile;
    std::string sysfsRoot = "/sys";
    std::vector<DeviceSpec> specs;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&](std::string* out) {
            if (i + 1 >= argc)
                return false;
            *out = argv[++i];
            return true;
        };
        if (arg == "--state-dir") {
            if (!value(&stateDir))
                return Usage(), 2;
        } else if (arg == "--ready") {
            if (!value(&readyFile))
                return Usage(), 2;
        } else if (arg == "--sysfs") {
            if (!value(&sysfsRoot))
                return Usage(), 2;
        } else if (arg == "--help" || arg == "-h") {
            Usage();
            return 0;
        } else {
            DeviceSpec spec;
            std::string error;
            if (!ParseDeviceSpec(arg, &spec, &error)) {
                std::fprintf(stderr, "usbip-sim: %s: %s\n", arg.c_str(), error.c_str());
                return 2;
            }
            specs.push_back(spec);
        }
    }
    if (specs.empty()) {
        Usage();
        return 2;
    }
    std::set<uint32_t> used;
    for (const DeviceSpec& s : specs) {
        if (!used.insert(s.port).second) {
            std::fprintf(stderr, "usbip-sim: port %u given twice\n", s.port);
            return 2;
        }
    }

    VhciPorts ports(sysfsRoot);
    std::string error;
    if (!ports.Probe(&error)) {
        Log("-", error);
        WriteReady(readyFile, "failed " + error);
        return 1;
    }
    for (const DeviceSpec& s : specs) {
        if (s.port >= ports.PortsPerHub() ||
            (s.otherPort >= 0 && static_cast<uint32_t>(s.otherPort) >= ports.PortsPerHub())) {
            Log("-", "port outside 0.." + std::to_string(ports.PortsPerHub() - 1));
            WriteReady(readyFile, "failed bad port");
            return 2;
        }
    }

    // Signals are taken by sigwait on this thread only.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    ::signal(SIGPIPE, SIG_IGN);

    std::vector<std::unique_ptr<PortRunner>> runners;
    try {
        for (const DeviceSpec& s : specs) {
            PortRunnerOptions options;
            options.port = s.port;
            options.otherPort = s.otherPort >= 0 ? static_cast<uint32_t>(s.otherPort) : s.port;
            const std::string name = ports.SysfsName(s.port);
            if (!stateDir.empty())
                options.stateFile = stateDir + "/" + name + ".state";
            runners.push_back(
                std::make_unique<PortRunner>(ports, MakeFunction(s), s.serverFaults, options,
                                             [name](const std::string& text) { Log(name, text); }));
        }
    } catch (const std::exception& e) {
        Log("-", std::string("cannot set up the devices: ") + e.what());
        WriteReady(readyFile, "failed setup");
        return 1;
    }

    // Attach one after another: the hub enumerates them one at a time anyway.
    std::string readyText = "ok";
    bool ok = true;
    for (auto& r : runners) {
        r->Start();
        if (!r->WaitFirstAttach(10000) || !ports.WaitConfigured(r->Name(), 20000)) {
            ok = false;
            readyText = "failed " + r->Name() + " did not enumerate";
            Log(r->Name(), "did not enumerate");
            break;
        }
        readyText += " " + r->Name();
    }
    WriteReady(readyFile, readyText);
    Log("-", readyText);

    if (ok) {
        int sig = 0;
        sigwait(&signals, &sig);
        Log("-", std::string("stopping on ") + (sig == SIGINT ? "SIGINT" : "SIGTERM"));
    }
    for (auto& r : runners)
        r->Stop();
    Log("-", "all devices detached");
    return ok ? 0 : 1;
}
