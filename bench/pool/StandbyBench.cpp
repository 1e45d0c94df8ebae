// Reservations per second on a primary with a synchronous standby (scripts/pool-pair.sh), with the
// standby's wait switched on and off on the same pair in the same run (synchronous_standby_names
// set or empty): take + reserve as a job does before its first key byte goes to a board, at 8
// and 64 clients. Compare items_per_second of BM_PairTakeAndReserve/sync:1 with /sync:0.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>

#include "bench/pool/BenchJobs.h"
#include "keydb/pool/PoolKeySource.h"
#include "tests/pool/PgPair.h"

namespace {

constexpr int kPerClient = 100;
constexpr int kKeys = 40000;

struct PairWorld {
    std::unique_ptr<pooltest::PgPair> pair;
    std::filesystem::path dir;
    bool ok = false;
    ~PairWorld() {
        pair.reset();
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }
};

PairWorld& Pair() {
    static PairWorld world;
    static const bool made = [] {
        world.dir =
            std::filesystem::temp_directory_path() / ("ks_pair_bench." + std::to_string(getpid()));
        std::filesystem::create_directories(world.dir);
        const std::string kdb = (world.dir / "pair.kdb").string();
        const std::string wrap = (world.dir / "pair.key").string();
        world.pair = std::make_unique<pooltest::PgPair>();
        const std::string tool = KS_KDBTOOL;
        const std::string db = " --db \"" + world.pair->Primary("ksadmin") + "\"";
        world.ok =
            world.pair->Ok() &&
            std::system((tool + " create --keys " + std::to_string(kKeys) + " --key-size 128 " +
                         kdb + " >/dev/null")
                            .c_str()) == 0 &&
            std::system((tool + " pool keygen " + wrap + " >/dev/null").c_str()) == 0 &&
            std::system((tool + " pool" + db + " init >/dev/null").c_str()) == 0 &&
            std::system((tool + " pool" + db + " import " + kdb + " --pool pair --wrap-key " +
                         wrap + " >/dev/null")
                            .c_str()) == 0 &&
            world.pair->Sql("CREATE ROLE station LOGIN; GRANT keypool_station TO station") &&
            std::system((tool + " pool" + db + " bind --pool pair --limit 4096 station >/dev/null")
                            .c_str()) == 0;
        return world.ok;
    }();
    (void)made;
    return world;
}

// The primary waits for its standby at commit (true) or commits alone (false).
bool SetSynchronous(bool on) {
    PairWorld& w = Pair();
    const std::string names = on ? "FIRST 1 (standby)" : "";
    if (!w.pair->Sql("ALTER SYSTEM SET synchronous_standby_names = '" + names + "'") ||
        !w.pair->Sql("SELECT pg_reload_conf()")) {
        return false;
    }
    // The reload reaches every process within moments; a new session shows it.
    const std::string check = "DO $$ BEGIN IF current_setting('synchronous_standby_names') <> '" +
                              names + "' THEN RAISE EXCEPTION 'not yet'; END IF; END $$";
    for (int i = 0; i < 100; ++i) {
        if (w.pair->Sql(check)) {
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

void BM_PairTakeAndReserve(benchmark::State& state) {
    PairWorld& w = Pair();
    if (!w.ok) {
        state.SkipWithError("no server pair");
        return;
    }
    if (state.thread_index() == 0 && !SetSynchronous(state.range(0) != 0)) {
        state.SkipWithError("the standby's wait could not be set");
        return;
    }
    PoolSourceOptions options;
    options.wrapKeyFile = (w.dir / "pair.key").string();
    CPoolKeySource source(w.pair->Primary("station"), "pair", nullptr, options);
    poolbench::TakeReserveDeliver(source, state);
}

}  // namespace

// Without the standby's wait at 8 and 64 clients, then with it, in one run.
BENCHMARK(BM_PairTakeAndReserve)
    ->ArgName("sync")
    ->Arg(0)
    ->Arg(1)
    ->Threads(8)
    ->Threads(64)
    ->Iterations(kPerClient)
    ->UseRealTime();
