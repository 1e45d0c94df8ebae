// Time per discovery walk (Search) of a bus with sixteen loader devices behind two 8-port hubs,
// on the simulated host and on a sysfs tree of the same shape generated under /tmp.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "device/DeviceTables.h"
#include "device/ZRScan.h"
#include "platform/linux/SysfsUsbTree.h"
#include "platform/sim/SimUsbHost.h"

namespace fs = std::filesystem;

namespace {

constexpr int kHubs = 2;
constexpr int kPortsPerHub = 8;
constexpr int kDevices = kHubs * kPortsPerHub;

std::string g_sysfsRoot;  // set by main

DeviceTables Tables() {
    DeviceTables tables;
    tables.SetVendorIds(0xF00D, 0xF00E);
    tables.AddChipRow({0xF00D, 0x1001, 16});
    return tables;
}

void Write(const fs::path& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
}

std::string Descriptor(uint16_t vid, uint16_t pid, uint16_t bcd, uint8_t cls) {
    const unsigned char d[18] = {18,
                                 1,
                                 static_cast<unsigned char>(bcd & 0xFF),
                                 static_cast<unsigned char>(bcd >> 8),
                                 cls,
                                 0,
                                 0,
                                 64,
                                 static_cast<unsigned char>(vid & 0xFF),
                                 static_cast<unsigned char>(vid >> 8),
                                 static_cast<unsigned char>(pid & 0xFF),
                                 static_cast<unsigned char>(pid >> 8),
                                 0,
                                 1,
                                 1,
                                 2,
                                 3,
                                 1};
    return std::string(reinterpret_cast<const char*>(d), sizeof d);
}

fs::path AddDevice(const fs::path& parent, const std::string& name, uint16_t vid, uint16_t pid,
                   uint16_t bcd, uint8_t cls, int maxchild) {
    const fs::path d = parent / name;
    fs::create_directories(d);
    char text[32];
    std::snprintf(text, sizeof text, "%04x\n", vid);
    Write(d / "idVendor", text);
    std::snprintf(text, sizeof text, "%04x\n", pid);
    Write(d / "idProduct", text);
    std::snprintf(text, sizeof text, "%2x.%02x\n", bcd >> 8, bcd & 0xFF);
    Write(d / "version", text);
    std::snprintf(text, sizeof text, "%02x\n", cls);
    Write(d / "bDeviceClass", text);
    Write(d / "bDeviceSubClass", "00\n");
    Write(d / "bDeviceProtocol", "00\n");
    Write(d / "bConfigurationValue", "1\n");
    Write(d / "bNumInterfaces", " 1\n");
    Write(d / "maxchild", std::to_string(maxchild) + "\n");
    Write(d / "descriptors", Descriptor(vid, pid, bcd, cls));
    const fs::path link = fs::path(g_sysfsRoot) / "bus/usb/devices" / name;
    fs::create_symlink(fs::relative(d, link.parent_path()), link);
    return d;
}

// /tmp/.../bus/usb/devices -> devices/pci0000:00/0000:00:14.0/usb1/1-H/1-H.P
void MakeSysfs() {
    const fs::path root = g_sysfsRoot;
    fs::create_directories(root / "bus/usb/devices");
    const fs::path usb1 = AddDevice(root / "devices/pci0000:00/0000:00:14.0", "usb1", 0xFEED,
                                    0x0002, 0x0200, 9, kHubs);
    for (int h = 1; h <= kHubs; ++h) {
        const std::string hubName = "1-" + std::to_string(h);
        const fs::path hub = AddDevice(usb1, hubName, 0xFEED, 0x0010, 0x0200, 9, kPortsPerHub);
        for (int p = 1; p <= kPortsPerHub; ++p) {
            AddDevice(hub, hubName + "." + std::to_string(p), 0xF00D, 0x1001, 0x0201, 0, 0);
        }
    }
}

void FillSimHost(SimUsbHost& host) {
    host.AddController(true, kHubs);
    for (int h = 1; h <= kHubs; ++h) {
        const std::string hub = host.AddHub("1", h, kPortsPerHub);
        for (int p = 1; p <= kPortsPerHub; ++p) {
            SimUsbDeviceInfo info;
            info.vendorId = 0xF00D;
            info.productId = 0x1001;
            info.bcdUsb = 0x0201;
            host.PlugDevice(hub + "-" + std::to_string(p), info);
        }
    }
}

// A scanner that lives across iterations: root hub name and port counts are cached (the
// station's scan thread and WaitForDevice polls).
void WalkWithOneScanner(IUsbTree& tree, benchmark::State& state) {
    const DeviceTables tables = Tables();
    ZRScan scan(30, 30, 0, tree, tables);
    for (auto _ : state) {
        if (scan.Search(DEVICE_KIND_LOADER) != kDevices) {
            state.SkipWithError("wrong device count");
            break;
        }
    }
    state.counters["devices"] = kDevices;
}

void BM_SimWalk(benchmark::State& state) {
    SimUsbHost host;
    FillSimHost(host);
    WalkWithOneScanner(host, state);
}
BENCHMARK(BM_SimWalk);

void BM_SysfsWalk(benchmark::State& state) {
    SysfsUsbTree tree(g_sysfsRoot);
    WalkWithOneScanner(tree, state);
}
BENCHMARK(BM_SysfsWalk)->Unit(benchmark::kMicrosecond);

// A fresh scanner per walk (a worker's first poll): every hub is asked for its port count.
void BM_SysfsFirstWalk(benchmark::State& state) {
    SysfsUsbTree tree(g_sysfsRoot);
    const DeviceTables tables = Tables();
    for (auto _ : state) {
        ZRScan scan(30, 30, 0, tree, tables);
        if (scan.Search(DEVICE_KIND_LOADER) != kDevices) {
            state.SkipWithError("wrong device count");
            break;
        }
    }
}
BENCHMARK(BM_SysfsFirstWalk)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
    char pattern[] = "/tmp/ks-discovery-bench-XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
        std::perror("mkdtemp");
        return 1;
    }
    g_sysfsRoot = pattern;
    try {
        MakeSysfs();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "cannot build the sysfs tree: %s\n", e.what());
        return 1;
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::error_code ec;
    fs::remove_all(g_sysfsRoot, ec);
    return 0;
}
