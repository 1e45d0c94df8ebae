// Four console stations on one pool of 1,000 keys, sixteen boards each kept in files, one station
// killed with SIGKILL in the middle of its jobs and then run again: no key's bytes on two boards,
// every key on a board reserved, delivered or spent in the pool, the killed run's unfinished keys
// in doubt for its station, and kdbtool pool audit passes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <libpq-fe.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "keydb/KeyFile.h"
#include "keydb/pool/PoolKeySource.h"
#include "platform/sim/SimBoardFiles.h"
#include "tests/common/ChildProcess.h"
#include "tests/pool/PgServer.h"

namespace fs = std::filesystem;

namespace {

constexpr int kStations = 4;
constexpr int kBoards = 16;
constexpr int kKilled = 1;  // station index (0-based) killed in the middle

using child_process::Spawn;
using child_process::Wait;

int RunTool(const std::vector<std::string>& args) {
    return child_process::Run(args);
}

// Key index -> (state, station) as the pool holds them.
std::map<int, std::pair<std::string, std::string>> PoolStates(const pooltest::PgServer& pg) {
    std::map<int, std::pair<std::string, std::string>> out;
    std::unique_ptr<PGconn, decltype(&PQfinish)> conn(PQconnectdb(pg.ConnInfo("ksadmin").c_str()),
                                                      &PQfinish);
    PGresult* r = PQexec(conn.get(), "SELECT idx, state, coalesce(station, '') FROM keypool.keys");
    for (int i = 0; r != nullptr && i < PQntuples(r); ++i) {
        out[std::atoi(PQgetvalue(r, i, 0))] = {PQgetvalue(r, i, 1), PQgetvalue(r, i, 2)};
    }
    PQclear(r);
    return out;
}

}  // namespace

TEST(PoolKillTest, FourStationsOnePoolOneKilledNoKeyOnTwoBoards) {
    pooltest::PgServer pg;
    ASSERT_TRUE(pg.Ok()) << pg.Error();
    const fs::path root = fs::temp_directory_path() / ("ks_poolkill_" + std::to_string(getpid()));
    fs::remove_all(root);
    const pooltest::RemovedAtEnd cleanUp(root.string());
    const std::string kdb = (root / "keys.kdb").string();
    const std::string admin = pg.ConnInfo("ksadmin");
    const fs::path data = fs::path(KS_SOURCE_DIR) / "data";
    for (int s = 0; s < kStations; ++s) {
        const fs::path home = root / ("home" + std::to_string(s));
        fs::create_directories(home / "rkp");
        fs::create_directories(root / ("boards" + std::to_string(s)));
        fs::copy(data / "lang", home / "lang", fs::copy_options::recursive);
        fs::copy_file(data / "devices.ini", home / "devices.ini");
        fs::copy_file(data / "config.ini", home / "config.ini");
    }
    ASSERT_EQ(RunTool({KS_KDBTOOL, "create", "--keys", "1000", "--key-size", "128", kdb}), 0);
    const std::string wrap = (root / "pool.key").string();
    ASSERT_EQ(RunTool({KS_KDBTOOL, "pool", "keygen", wrap}), 0);
    ASSERT_EQ(RunTool({KS_KDBTOOL, "pool", "--db", admin, "init"}), 0);
    ASSERT_EQ(RunTool({KS_KDBTOOL, "pool", "--db", admin, "import", kdb, "--pool", "line",
                       "--wrap-key", wrap}),
              0);
    ASSERT_TRUE(
        pg.Sql("CREATE ROLE st0 LOGIN; CREATE ROLE st1 LOGIN; CREATE ROLE st2 LOGIN; "
               "CREATE ROLE st3 LOGIN; GRANT keypool_station TO st0, st1, st2, st3;"));
    for (int s = 0; s < kStations; ++s) {
        ASSERT_EQ(RunTool({KS_KDBTOOL, "pool", "--db", admin, "bind", "--pool", "line",
                           "st" + std::to_string(s)}),
                  0);
    }

    auto station = [&](int s, int dest) {
        return std::vector<std::string>{KS_KEYSTATION_CLI,
                                        "--home",
                                        (root / ("home" + std::to_string(s))).string(),
                                        "--key-pool",
                                        pg.ConnInfo("st" + std::to_string(s)),
                                        "--pool",
                                        "line",
                                        "--pool-wrap-key",
                                        wrap,
                                        "--simulate",
                                        std::to_string(kBoards),
                                        "--sim-state",
                                        (root / ("boards" + std::to_string(s))).string(),
                                        "--start",
                                        "--until-idle",
                                        "--keybox",
                                        "1",
                                        "--rkp",
                                        "0",
                                        "--reset-after-write",
                                        "0",
                                        "--dest",
                                        std::to_string(dest),
                                        "--sim-fault",
                                        "status-lost=0.02",
                                        "--sim-seed",
                                        std::to_string(s + 1)};
    };
    // The killed station writes vendor records: each job waits for a reboot of its board, so the
    // kill lands inside jobs that hold reserved keys.
    std::vector<pid_t> pids;
    for (int s = 0; s < kStations; ++s) {
        pids.push_back(Spawn(station(s, s == kKilled ? 1 : s % 3)));
        ASSERT_GT(pids.back(), 0);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1200));
    ::kill(pids[kKilled], SIGKILL);
    EXPECT_LT(Wait(pids[kKilled]), 0) << "the station ended before its kill";
    for (int s = 0; s < kStations; ++s) {
        if (s != kKilled) {
            EXPECT_GE(Wait(pids[s]), 0);
        }
    }
    // What the kill left: the killed station's reserved keys are in doubt for it.
    std::map<int, std::pair<std::string, std::string>> states = PoolStates(pg);
    int64_t reservedByKilled = 0;
    for (const auto& [idx, st] : states) {
        reservedByKilled += st.first == "reserved" && st.second == "st1" ? 1 : 0;
    }
    EXPECT_GT(reservedByKilled, 0) << "the kill found no job between reservation and end";
    std::printf("[ pool kill ] %lld keys in doubt for the killed station\n",
                static_cast<long long>(reservedByKilled));
    {
        PoolSourceOptions options;
        options.wrapKeyFile = wrap;
        CPoolKeySource again(pg.ConnInfo("st1"), "line", nullptr, options);
        KeySourceCounts counts;
        ASSERT_TRUE(again.GetCounts(&counts));
        EXPECT_EQ(counts.inDoubt, reservedByKilled);
    }
    // The killed station runs once more over the same boards.
    EXPECT_GE(RunTool(station(kKilled, 0)), 0);
    states = PoolStates(pg);

    std::map<std::string, int> fileKeys;
    {
        CKeyFile file(kdb, nullptr, KeyFileAccess::VerifyOnly);
        ASSERT_TRUE(file.IsValid());
        std::ifstream in(kdb, std::ios::binary);
        const std::string bytes((std::istreambuf_iterator<char>(in)), {});
        for (int i = 0; i < 1000; ++i) {
            fileKeys[bytes.substr(file.GetHeaderSize() + static_cast<size_t>(i) * 128, 128)] = i;
        }
    }
    std::map<int, std::set<int>> found;  // key index -> boards (station * 100 + board)
    auto see = [&](int board, const std::vector<uint8_t>& area) {
        for (size_t at = 0; at + 128 <= area.size(); ++at) {
            const auto it = fileKeys.find(std::string(area.begin() + static_cast<long>(at),
                                                      area.begin() + static_cast<long>(at + 128)));
            if (it != fileKeys.end()) {
                found[it->second].insert(board);
            }
        }
    };
    for (int s = 0; s < kStations; ++s) {
        std::vector<SimBoardContent> boards;
        std::string error;
        ASSERT_TRUE(
            LoadSimBoardContents((root / ("boards" + std::to_string(s))).string(), &boards, &error))
            << error;
        EXPECT_EQ(boards.size(), static_cast<size_t>(kBoards));
        for (const SimBoardContent& b : boards) {
            const int board = s * 100 + b.index;
            see(board, b.miscKeyArea);
            see(board, b.vendorSector);
            see(board, b.item8Sector);
            for (const TakenKeybox& t : b.taken) {
                see(board, t.key);
            }
        }
    }
    EXPECT_GE(found.size(), static_cast<size_t>(kStations * kBoards) * 9 / 10);
    std::printf("[ pool kill ] %zu keys found on %d boards\n", found.size(), kStations * kBoards);
    for (const auto& [idx, boards] : found) {
        EXPECT_EQ(boards.size(), 1u) << "key " << idx << " is on " << boards.size() << " boards";
        const std::string& state = states[idx].first;
        EXPECT_TRUE(state == "reserved" || state == "delivered" || state == "spent")
            << "key " << idx << " is on a board but " << state << " in the pool";
    }
    EXPECT_EQ(RunTool({KS_KDBTOOL, "pool", "--db", admin, "audit"}), 0);
}
