// The whole station on sixteen emulated loader devices with realistic latencies (1 ms per
// command, 20 MB/s data, a 1.5 s reboot): 160 jobs as ten Start/Stop rounds of sixteen, each
// round on sixteen boards the station has not seen, for the misc destination (0) and the
// vendor-sector destination (1).
//
// Reported per run:
//  - wall_s: the ten rounds, each from its Start until its last result was handled;
//  - ideal_s: the device-bound time: per device, the latencies its emulator slept plus 1.5 s per
//    reboot, summed over its jobs; the largest over the sixteen devices (they work in parallel);
//  - efficiency: ideal_s / wall_s;
//  - device_busy_s / efficiency_busy: the same with the emulators' sleeps as long as they really
//    took, so that the operating system's late wake-ups are not counted as the station's;
//  - ideal_wait_s / efficiency_wait: the same with the loader wait after each reboot added, which
//    the job cannot shorten (eight sightings 50 ms apart: at least 350 ms after the return);
//  - job_bound_s / efficiency_jobs: the sum over the rounds of the longest job of the round, as
//    the worker itself took it (from its start to its result): wall time beyond this is the
//    controller's own (thread start, result handling, the Start/Stop rounds);
//  - cpu_ms_per_job: user + system CPU of the whole process (station, emulators, simulated host)
//    per job; max_rss_mb: the process's peak resident memory.
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/MainThreadQueue.h"
#include "app/PortMapStore.h"
#include "app/StationController.h"
#include "device/ZRComm.h"
#include "device/ZRScan.h"
#include "keydb/KeyFileWriter.h"
#include "platform/sim/DemoImage.h"
#include "platform/sim/LoaderEmulator.h"
#include "platform/sim/SimUsbHost.h"
#include "provision/UpgradeWorker.h"
#include "support/Clock.h"
#include "tests/pool/PgServer.h"

namespace fs = std::filesystem;

namespace {

constexpr int kDevices = 16;
constexpr int kRounds = 10;
constexpr uint32_t kCommandLatencyMs = 1;
constexpr uint32_t kByteLatencyNs = 50;  // 20 MB/s
constexpr uint32_t kRebootMs = 1500;
constexpr uint32_t kLoaderWaitMs = 7 * 50;

// The real clock, counting what its user slept: an emulator's busy time, both as asked for and
// as the sleeps really took (the operating system wakes a sleeper late by some tens of µs).
class BusyClock final : public IClock {
  public:
    uint64_t NowMs() override { return SystemClock().NowMs(); }
    void SleepMs(uint32_t ms) override {
        sleptMs_ += ms;
        const auto begin = std::chrono::steady_clock::now();
        SystemClock().SleepMs(ms);
        sleptUs_ += static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                              std::chrono::steady_clock::now() - begin)
                                              .count());
    }
    uint64_t SleptMs() const { return sleptMs_.load(); }
    uint64_t SleptUs() const { return sleptUs_.load(); }

  private:
    std::atomic<uint64_t> sleptMs_ = 0;
    std::atomic<uint64_t> sleptUs_ = 0;
};

class NullView final : public IStationView {
  public:
    void ShowWindowTitle(const std::string&) override {}
    void ShowControlText(int, const std::string&) override {}
    void ShowControlEnabled(int, bool) override {}
    void ShowColumnTitle(int, const std::string&) override {}
    void ShowCellText(int, int, const std::string&) override {}
    void ShowRowColour(int, std::optional<RowColour>) override {}
    void ShowMessage(const std::string& text, const std::string&, MessageIcon) override {
        std::fprintf(stderr, "station message: %s\n", text.c_str());
    }
    std::optional<std::string> ChooseKeyFile() override { return std::nullopt; }
    void RunConfigDialog(CIniSettingBase&, CIniLocalLan&) override {}
    void CloseWindow() override {}
};

// Passes every call through and notes the moment the job posts its result (its last act).
class TimedHost final : public IWorkerHost {
  public:
    TimedHost(IWorkerHost& inner, std::function<void()> onResult)
        : inner_(inner), onResult_(std::move(onResult)) {}
    bool CopySlot(int n, WorkerSlot* out) override { return inner_.CopySlot(n, out); }
    const CIniSettingBase& Settings() override { return inner_.Settings(); }
    IKeySource* KeySource() override { return inner_.KeySource(); }
    CStationKeyIndex* KeyIndex() override { return inner_.KeyIndex(); }
    CLoggerBase* Logger() override { return inner_.Logger(); }
    std::string GetLangText(const std::string& key) override { return inner_.GetLangText(key); }
    void SetRowStatus(int row, const std::string& text) override { inner_.SetRowStatus(row, text); }
    void DropRowColour(int row) override { inner_.DropRowColour(row); }
    void IncreaseSuccess() override {
        ++succeeded;
        inner_.IncreaseSuccess();
    }
    void IncreaseFail() override { inner_.IncreaseFail(); }
    void DecreaseUnused() override { inner_.DecreaseUnused(); }
    void KeyFileFailed() override { inner_.KeyFileFailed(); }
    void RecordJob(const JobRecord& record) override { inner_.RecordJob(record); }
    void PostUpgradeResult(int n, JobOutcome outcome) override {
        onResult_();
        inner_.PostUpgradeResult(n, outcome);
    }
    std::unique_ptr<CZRComm> NewComm() override { return inner_.NewComm(); }
    std::unique_ptr<ZRScan> NewScanner() override { return inner_.NewScanner(); }

    static inline std::atomic<int> succeeded{0};  // jobs that wrote and recorded their key

  private:
    IWorkerHost& inner_;
    std::function<void()> onResult_;
};

double CpuSeconds() {
    rusage u{};
    ::getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

double MaxRssMb() {
    rusage u{};
    ::getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_maxrss) / 1024.0;
}

bool SlotsIdle(const CStationController& controller) {
    for (const DeviceSlot& s : controller.SlotsSnapshot()) {
        if (s.running != 0) {
            return false;
        }
    }
    return true;
}

// The shared key pool for the pool runs: a throw-away local server, started once.
pooltest::PgServer& PoolServer() {
    static pooltest::PgServer server;
    return server;
}

// The pool's wrap key file, beside the server's folder.
std::string PoolWrapKey() {
    return PoolServer().Folder() + "/bench-pool.key";
}

// Imports the key file into a pool named after it, binds the bench station to it and returns the
// station's connection string, or "" when that fails.
std::string ImportIntoPool(const std::string& kdb, const std::string& pool) {
    pooltest::PgServer& pg = PoolServer();
    if (!pg.Ok()) {
        return std::string();
    }
    const std::string tool = std::string(KS_KDBTOOL) + " pool ";
    const std::string db = "--db \"" + pg.ConnInfo("ksadmin") + "\" ";
    static const bool ready =
        std::system((tool + "keygen " + PoolWrapKey() + " >/dev/null").c_str()) == 0 &&
        std::system((tool + db + "init >/dev/null").c_str()) == 0 &&
        pg.Sql("CREATE ROLE benchstation LOGIN; GRANT keypool_station TO benchstation");
    const bool imported =
        ready &&
        std::system((tool + db + "import " + kdb + " --pool " + pool + " --wrap-key " +
                     PoolWrapKey() + " >/dev/null")
                        .c_str()) == 0 &&
        std::system((tool + db + "bind --pool " + pool + " benchstation >/dev/null").c_str()) == 0;
    return imported ? pg.ConnInfo("benchstation") : std::string();
}

void RunStation(benchmark::State& state, int destination, bool pool, bool withGuard = true) {
    const fs::path home =
        fs::temp_directory_path() /
        ("ks_station_bench_" + std::to_string(::getpid()) + "_" + std::to_string(destination));
    fs::remove_all(home);
    fs::create_directories(home);
    const fs::path data = fs::path(KS_SOURCE_DIR) / "data";
    fs::copy_file(data / "devices.ini", home / "devices.ini");
    std::ofstream(home / "config.ini")
        << "[Language]\r\nLanKinds=0\r\n[System]\r\nLogLevel=0\r\nGetRkp=0\r\nWriteKeybox=1\r\n"
        << "DestPosition=" << destination
        << "\r\nResetAfterWrite=0\r\nAllowReprovision=" << (withGuard ? 0 : 1)
        << "\r\nSavePath=" << home.string() << "/\r\n";
    KeyFileLayout layout;
    layout.keyCount = kDevices * kRounds + 40;
    layout.keySize = 128;
    CRandomKeySource keys;
    std::string error;
    const std::string kdb = (home / "bench.kdb").string();
    if (!WriteKeyFile(kdb, layout, keys, true, &error)) {
        state.SkipWithError(error.c_str());
        return;
    }

    for (auto _ : state) {
        SimUsbHost host;
        host.AddController(true, 4);
        std::vector<std::unique_ptr<BusyClock>> clocks;
        std::vector<std::shared_ptr<LoaderEmulator>> devices;
        for (int h = 0; h < 2; ++h) {
            const std::string hub = host.AddHub("1", h + 1, 8);
            for (int p = 1; p <= 8; ++p) {
                clocks.push_back(std::make_unique<BusyClock>());
                std::shared_ptr<LoaderEmulator> device = MakeDemoLoader(
                    static_cast<int>(devices.size()), DemoLayout::kGpt, *clocks.back());
                LoaderFaults faults = device->Faults();
                faults.latencyPerCommandMs = kCommandLatencyMs;
                faults.latencyPerByteNs = kByteLatencyNs;
                device->SetFaults(faults);
                LoaderConfig config = device->Config();
                config.resetReturnDelayMs = kRebootMs;
                device->SetConfig(config);
                host.Plug(hub + "-" + std::to_string(p), device);
                devices.push_back(std::move(device));
            }
        }
        CPortMapFile portMap((home / "portmap.ini").string());
        StationPlatform platform{host, host, host, SystemClock(), portMap, home.string() + "/",
                                 {},   {}};
        CMainThreadQueue queue;
        NullView view;
        // Each job's own duration, by slot, for the round under way.
        std::mutex jobLock;
        std::vector<double> jobSeconds(kDevices + 1, 0.0);
        auto timedWorker = [&](IWorkerHost& station, int slot) {
            const auto begin = std::chrono::steady_clock::now();
            TimedHost timing(station, [&, slot, begin] {
                const double s =
                    std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
                std::lock_guard<std::mutex> guard(jobLock);
                jobSeconds[static_cast<size_t>(slot)] = s;
            });
            UpgradeThreadProc(timing, slot);
        };
        CStationController controller(platform, view, queue, StationOptions{}, timedWorker);
        if (!controller.Initialise().started) {
            state.SkipWithError("station start-up failed");
            return;
        }
        auto runUntil = [&](const std::function<bool()>& done) {
            while (!done()) {
                queue.RunFor(1);
            }
            queue.RunPending();
        };
        runUntil([&] { return controller.SlotsSnapshot().size() == kDevices; });
        if (pool) {
            static int runs = 0;
            const std::string name = "bench" + std::to_string(::getpid()) + "-" +
                                     std::to_string(destination) + "-" + std::to_string(++runs);
            const std::string conninfo = ImportIntoPool(kdb, name);
            controller.LoadKeyPool(conninfo, name, PoolWrapKey());
        } else {
            controller.LoadKeyFile(kdb);
        }
        queue.RunPending();
        if (controller.KeySource() == nullptr) {
            state.SkipWithError("key source did not load");
            return;
        }
        std::vector<uint64_t> sleptBefore;
        std::vector<uint64_t> sleptUsBefore;
        for (auto& c : clocks) {
            sleptBefore.push_back(c->SleptMs());
            sleptUsBefore.push_back(c->SleptUs());
        }
        std::vector<uint32_t> resetsBefore;
        for (auto& d : devices) {
            resetsBefore.push_back(d->ResetCount());
        }

        TimedHost::succeeded = 0;
        double cpu = 0;
        double wall = 0;
        double jobBound = 0;
        for (int round = 0; round < kRounds; ++round) {
            if (round > 0) {
                // Sixteen new boards: what the last round wrote is gone, and every serial number
                // is one the station has not seen (a board it has would be refused as done).
                for (size_t i = 0; i < devices.size(); ++i) {
                    PopulateDemoLoader(*devices[i], round * kDevices + static_cast<int>(i),
                                       DemoLayout::kGpt);
                }
            }
            const double cpuStart = CpuSeconds();
            const auto start = std::chrono::steady_clock::now();
            controller.OnStartStopButton();
            queue.RunPending();
            runUntil([&] { return SlotsIdle(controller); });
            controller.OnStartStopButton();
            queue.RunPending();
            wall += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            cpu += CpuSeconds() - cpuStart;
            std::lock_guard<std::mutex> guard(jobLock);
            jobBound += *std::max_element(jobSeconds.begin(), jobSeconds.end());
            std::fill(jobSeconds.begin(), jobSeconds.end(), 0.0);
        }

        double ideal = 0;
        double idealWait = 0;
        double measured = 0;
        double deviceMs = 0;  // summed over every device
        for (size_t i = 0; i < devices.size(); ++i) {
            deviceMs += static_cast<double>(clocks[i]->SleptMs() - sleptBefore[i]);
            const uint64_t resets = devices[i]->ResetCount() - resetsBefore[i];
            const double busy =
                static_cast<double>(clocks[i]->SleptMs() - sleptBefore[i] + resets * kRebootMs);
            ideal = std::max(ideal, busy / 1000.0);
            measured = std::max(measured,
                                static_cast<double>(clocks[i]->SleptUs() - sleptUsBefore[i]) / 1e6 +
                                    static_cast<double>(resets * kRebootMs) / 1000.0);
            idealWait =
                std::max(idealWait, (busy + static_cast<double>(resets * kLoaderWaitMs)) / 1000.0);
        }
        const int jobs = kDevices * kRounds;
        if (TimedHost::succeeded != jobs) {
            // A bench of refusals or failures measures nothing of the provisioning.
            const std::string why = std::to_string(TimedHost::succeeded.load()) + " of " +
                                    std::to_string(jobs) + " jobs succeeded";
            state.SkipWithError(why.c_str());
            controller.OnClose();
            return;
        }
        state.SetIterationTime(wall);
        state.counters["jobs"] = jobs;
        state.counters["wall_s"] = wall;
        state.counters["ideal_s"] = ideal;
        state.counters["efficiency"] = ideal / wall;
        state.counters["device_busy_s"] = measured;
        state.counters["efficiency_busy"] = measured / wall;
        state.counters["ideal_wait_s"] = idealWait;
        state.counters["efficiency_wait"] = idealWait / wall;
        state.counters["job_bound_s"] = jobBound;
        state.counters["efficiency_jobs"] = jobBound / wall;
        state.counters["cpu_ms_per_job"] = cpu * 1000.0 / jobs;
        // The device's own time per job (its latencies, without the reboot): compare with and
        // without the re-provisioning guard for what the guard's reads cost.
        state.counters["device_ms_per_job"] = deviceMs / jobs;
        state.counters["max_rss_mb"] = MaxRssMb();
        controller.OnClose();
    }
    fs::remove_all(home);
}

void BM_Station160Jobs(benchmark::State& state) {
    RunStation(state, static_cast<int>(state.range(0)), false);
}

// The same jobs drawing their keys from the shared key pool (one local server) instead of the
// key file: compare its efficiency with BM_Station160Jobs/0 of the same run. The file and the
// pool alternate, twice each, so that the machine's load meets both alike.
void BM_Station160JobsPool(benchmark::State& state) {
    RunStation(state, static_cast<int>(state.range(0)), true);
}

// The misc jobs with AllowReprovision=1, where the guard reads nothing: device_ms_per_job of
// BM_Station160Jobs/0 over this one's is what the guard's reads cost a misc job.
void BM_Station160JobsNoGuard(benchmark::State& state) {
    RunStation(state, static_cast<int>(state.range(0)), false, false);
}

BENCHMARK(BM_Station160Jobs)->Arg(0)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);
BENCHMARK(BM_Station160JobsNoGuard)
    ->Arg(0)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kSecond);
BENCHMARK(BM_Station160JobsPool)->Arg(0)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);
BENCHMARK(BM_Station160Jobs)->Arg(0)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);
BENCHMARK(BM_Station160JobsPool)->Arg(0)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

BENCHMARK(BM_Station160Jobs)->Arg(1)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
