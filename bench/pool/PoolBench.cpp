// A job's key records per second with 1, 8 and 64 concurrent clients: the shared key pool (a
// throw-away local server, one connection per client, a draw: the key claimed and reserved in one
// committed transaction, then its wrapped bytes fetched and opened, as a job does before its first
// key byte goes to a board, and the key delivered once the board holds it) against the key file
// (one file, the same threads, take + reserve + deliver with its group commit), alternating in the
// same run. Compare items_per_second of each pair. Every key is ended as a job ends it, so the
// stations' open keys stay within the pool's per-station limit as on a line.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>

#include "bench/pool/BenchJobs.h"
#include "keydb/KeyFile.h"
#include "keydb/pool/PoolKeySource.h"
#include "tests/pool/PgServer.h"

namespace {

constexpr int kClients = 64;
constexpr int kPerClient = 100;
constexpr int kKeys = 40000;  // enough for every repetition of both benchmarks

struct World {
    std::unique_ptr<pooltest::PgServer> pg;
    std::filesystem::path dir;
    std::string kdbForPool;
    std::string kdbForFile;
    std::string wrapKey;
    bool ok = false;
};

World& Shared() {
    static World world = [] {
        World w;
        w.dir =
            std::filesystem::temp_directory_path() / ("ks_pool_bench." + std::to_string(getpid()));
        std::filesystem::create_directories(w.dir);
        w.kdbForPool = (w.dir / "pool.kdb").string();
        w.kdbForFile = (w.dir / "file.kdb").string();
        w.wrapKey = (w.dir / "pool.key").string();
        w.pg = std::make_unique<pooltest::PgServer>();
        const std::string tool = KS_KDBTOOL;
        const std::string db = " --db \"" + w.pg->ConnInfo("ksadmin") + "\"";
        w.ok =
            w.pg->Ok() &&
            std::system((tool + " create --keys " + std::to_string(kKeys) + " --key-size 128 " +
                         w.kdbForPool + " >/dev/null")
                            .c_str()) == 0 &&
            std::system((tool + " create --keys " + std::to_string(kKeys) + " --key-size 128 " +
                         w.kdbForFile + " >/dev/null")
                            .c_str()) == 0 &&
            std::system((tool + " pool keygen " + w.wrapKey + " >/dev/null").c_str()) == 0 &&
            std::system((tool + " pool" + db + " init >/dev/null").c_str()) == 0 &&
            std::system((tool + " pool" + db + " import " + w.kdbForPool +
                         " --pool bench --wrap-key " + w.wrapKey + " >/dev/null")
                            .c_str()) == 0 &&
            w.pg->Sql("CREATE ROLE station LOGIN; GRANT keypool_station TO station") &&
            std::system((tool + " pool" + db + " bind --pool bench --limit 4096 station >/dev/null")
                            .c_str()) == 0;
        return w;
    }();
    return world;
}

void BM_PoolTakeAndReserve(benchmark::State& state) {
    World& w = Shared();
    if (!w.ok) {
        state.SkipWithError("no server");
        return;
    }
    PoolSourceOptions options;
    options.wrapKeyFile = w.wrapKey;
    CPoolKeySource source(w.pg->ConnInfo("station"), "bench", nullptr, options);
    poolbench::TakeReserveDeliver(source, state);
}

std::unique_ptr<CKeyFile> g_file;
std::mutex g_fileLock;

void BM_FileTakeAndReserve(benchmark::State& state) {
    World& w = Shared();
    if (state.thread_index() == 0) {
        std::lock_guard<std::mutex> guard(g_fileLock);
        if (!g_file) {
            g_file = std::make_unique<CKeyFile>(w.kdbForFile);
        }
    }
    const KeyJobInfo job = poolbench::ClientJob(state);
    int32_t index = -1;
    KeyCopy key;
    for (auto _ : state) {
        CKeyFile* file = nullptr;
        {
            std::lock_guard<std::mutex> guard(g_fileLock);
            file = g_file.get();
        }
        if (file == nullptr || !file->GetKey(&index, &key) || !file->ReserveKey(index, job) ||
            !file->DeliverKey(index, job)) {
            state.SkipWithError("take, reserve or deliver failed");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations());
}

}  // namespace

// 1, 8 and 64 clients, pool and file alternating in the same run.
BENCHMARK(BM_PoolTakeAndReserve)->Threads(1)->Iterations(kPerClient)->UseRealTime();
BENCHMARK(BM_FileTakeAndReserve)->Threads(1)->Iterations(kPerClient)->UseRealTime();
BENCHMARK(BM_PoolTakeAndReserve)->Threads(8)->Iterations(kPerClient)->UseRealTime();
BENCHMARK(BM_FileTakeAndReserve)->Threads(8)->Iterations(kPerClient)->UseRealTime();
BENCHMARK(BM_PoolTakeAndReserve)->Threads(kClients)->Iterations(kPerClient)->UseRealTime();
BENCHMARK(BM_FileTakeAndReserve)->Threads(kClients)->Iterations(kPerClient)->UseRealTime();

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    g_file.reset();
    World& w = Shared();
    w.pg.reset();
    std::filesystem::remove_all(w.dir);
    return 0;
}
