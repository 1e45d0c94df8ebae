// The pool on a primary with a synchronous standby (scripts/pool-pair.sh): console stations that
// follow a failover without a key on two boards or a key lost, a station source that says where
// the pool went, a standby that is down (calls time out, no key sent, SIGTERM ends the station),
// and a standby that stations refuse to draw from while status and audit read it.
#include <gtest/gtest.h>
#include <libpq-fe.h>
#include <signal.h>
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
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "keydb/KeyFile.h"
#include "keydb/pool/PoolKeySource.h"
#include "platform/sim/SimBoardFiles.h"
#include "tests/common/ChildProcess.h"
#include "tests/common/LineLog.h"
#include "tests/pool/PgPair.h"

namespace fs = std::filesystem;

namespace {

constexpr int kStations = 3;
constexpr int kBoards = 8;
constexpr int kKeys = 400;
constexpr int kKeySize = 128;

using Clock = std::chrono::steady_clock;

// Output of a command (standard output and error), and its exit status in `status`.
std::string Output(const std::string& command, int* status) {
    std::string out;
    FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
    if (pipe == nullptr) {
        *status = -1;
        return out;
    }
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) {
        out.append(buffer, n);
    }
    const int raw = ::pclose(pipe);
    *status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    return out;
}

// Waits for a child at most `limit`; kills it past that. Its exit status, -1 for a signal, or
// -2 when it had to be killed.
int WaitAtMost(pid_t pid, std::chrono::seconds limit) {
    const auto end = Clock::now() + limit;
    int status = 0;
    while (Clock::now() < end) {
        const pid_t done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid) {
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ::kill(pid, SIGKILL);
    child_process::Wait(pid);
    return -2;
}

// Key index -> state, as the server named by `conninfo` holds them.
std::map<int, std::string> PoolStates(const std::string& conninfo) {
    std::map<int, std::string> out;
    std::unique_ptr<PGconn, decltype(&PQfinish)> conn(PQconnectdb(conninfo.c_str()), &PQfinish);
    PGresult* r = PQexec(conn.get(), "SELECT idx, state FROM keypool.keys");
    for (int i = 0; r != nullptr && i < PQntuples(r); ++i) {
        out[std::atoi(PQgetvalue(r, i, 0))] = PQgetvalue(r, i, 1);
    }
    PQclear(r);
    return out;
}

// One query's single value as text, or "" when there is none.
std::string Value(const std::string& conninfo, const std::string& sql) {
    std::unique_ptr<PGconn, decltype(&PQfinish)> conn(PQconnectdb(conninfo.c_str()), &PQfinish);
    PGresult* r = PQexec(conn.get(), sql.c_str());
    std::string value =
        r != nullptr && PQntuples(r) == 1 ? std::string(PQgetvalue(r, 0, 0)) : std::string();
    PQclear(r);
    return value;
}

// A line's station folders, its key file imported into the pair's pool "line", station roles.
class Line {
  public:
    explicit Line(const std::string& name)
        : root_(fs::temp_directory_path() / (name + "_" + std::to_string(getpid()))) {
        fs::remove_all(root_);
        const fs::path data = fs::path(KS_SOURCE_DIR) / "data";
        for (int s = 0; s < kStations; ++s) {
            const fs::path home = Home(s);
            fs::create_directories(home / "rkp");
            fs::create_directories(Boards(s));
            fs::copy(data / "lang", home / "lang", fs::copy_options::recursive);
            fs::copy_file(data / "devices.ini", home / "devices.ini");
            fs::copy_file(data / "config.ini", home / "config.ini");
        }
    }
    ~Line() {
        std::error_code ec;
        fs::remove_all(root_, ec);
    }
    Line(const Line&) = delete;
    Line& operator=(const Line&) = delete;

    fs::path Home(int s) const { return root_ / ("home" + std::to_string(s)); }
    fs::path Boards(int s) const { return root_ / ("boards" + std::to_string(s)); }
    std::string Kdb() const { return (root_ / "keys.kdb").string(); }
    std::string WrapKey() const { return (root_ / "pool.key").string(); }
    PoolSourceOptions Options() const {
        PoolSourceOptions options;
        options.wrapKeyFile = WrapKey();
        return options;
    }

    // Creates the key file, the schema, the pool and the roles st0.. on the pair's primary. The
    // stations may hold many keys without an end: every stop leaves some in doubt for them.
    bool Import(const pooltest::PgPair& pair) const {
        const std::string admin = pair.Primary("ksadmin");
        return child_process::Run({KS_KDBTOOL, "create", "--keys", std::to_string(kKeys),
                                   "--key-size", std::to_string(kKeySize), Kdb()}) == 0 &&
               child_process::Run({KS_KDBTOOL, "pool", "keygen", WrapKey()}) == 0 &&
               child_process::Run({KS_KDBTOOL, "pool", "--db", admin, "init"}) == 0 &&
               child_process::Run({KS_KDBTOOL, "pool", "--db", admin, "import", Kdb(), "--pool",
                                   "line", "--wrap-key", WrapKey()}) == 0 &&
               pair.Sql(
                   "CREATE ROLE st0 LOGIN; CREATE ROLE st1 LOGIN; CREATE ROLE st2 LOGIN; "
                   "GRANT keypool_station TO st0, st1, st2;") &&
               child_process::Run({KS_KDBTOOL, "pool", "--db", admin, "bind", "--pool", "line",
                                   "--limit", "1024", "st0"}) == 0 &&
               child_process::Run({KS_KDBTOOL, "pool", "--db", admin, "bind", "--pool", "line",
                                   "--limit", "1024", "st1"}) == 0 &&
               child_process::Run({KS_KDBTOOL, "pool", "--db", admin, "bind", "--pool", "line",
                                   "--limit", "1024", "st2"}) == 0;
    }

    // Station 2's boards now and then leave mid-command and come back a second later for a new
    // job, so that jobs also start after the failover.
    std::vector<std::string> Station(int s, const std::string& conninfo, int boards) const {
        std::vector<std::string> args = Cli(s, conninfo, boards);
        if (s == 2) {
            args.insert(args.end(), {"--sim-fault", "unplug=0.02", "--sim-seed", "7"});
        }
        return args;
    }

    std::vector<std::string> Cli(int s, const std::string& conninfo, int boards) const {
        return {KS_KEYSTATION_CLI,
                "--home",
                Home(s).string(),
                "--key-pool",
                conninfo,
                "--pool",
                "line",
                "--pool-wrap-key",
                WrapKey(),
                "--simulate",
                std::to_string(boards),
                "--sim-state",
                Boards(s).string(),
                "--start",
                "--until-idle",
                "--keybox",
                "1",
                "--rkp",
                "0",
                "--reset-after-write",
                "0",
                "--dest",
                std::to_string(s % 3)};
    }

    // Key index -> boards (station * 100 + board) that hold its bytes, read from the board
    // images alone; false when an image could not be read.
    bool KeysOnBoards(std::map<int, std::set<int>>* found, std::set<int>* boardsWithKey) const {
        std::map<std::string, int> fileKeys;
        {
            CKeyFile file(Kdb(), nullptr, KeyFileAccess::VerifyOnly);
            if (!file.IsValid()) {
                return false;
            }
            std::ifstream in(Kdb(), std::ios::binary);
            const std::string bytes((std::istreambuf_iterator<char>(in)), {});
            for (int i = 0; i < kKeys; ++i) {
                fileKeys[bytes.substr(file.GetHeaderSize() + static_cast<size_t>(i) * kKeySize,
                                      kKeySize)] = i;
            }
        }
        auto see = [&](int board, const std::vector<uint8_t>& area) {
            for (size_t at = 0; at + kKeySize <= area.size(); ++at) {
                const auto it =
                    fileKeys.find(std::string(area.begin() + static_cast<long>(at),
                                              area.begin() + static_cast<long>(at + kKeySize)));
                if (it != fileKeys.end()) {
                    (*found)[it->second].insert(board);
                    boardsWithKey->insert(board);
                }
            }
        };
        for (int s = 0; s < kStations; ++s) {
            std::vector<SimBoardContent> boards;
            std::string error;
            if (!LoadSimBoardContents(Boards(s).string(), &boards, &error)) {
                return false;
            }
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
        return true;
    }

    // Keys of jobs the stations reported done ("ok" in their results files).
    std::set<int> DeliveredByResults() const {
        std::set<int> keys;
        for (int s = 0; s < kStations; ++s) {
            std::error_code ec;
            for (const auto& entry : fs::directory_iterator(Home(s) / "results", ec)) {
                std::ifstream in(entry.path());
                for (std::string line; std::getline(in, line);) {
                    const auto record = nlohmann::json::parse(line, nullptr, false);
                    if (record.is_object() && record.value("result", "") == "ok" &&
                        record.value("key", -1) >= 0) {
                        keys.insert(record.value("key", -1));
                    }
                }
            }
        }
        return keys;
    }

  private:
    fs::path root_;
};

// The moments at which the primary is stopped, as the number of reservations the stations have
// made by then (of 24 boards): KS_FAILOVER_MOMENTS="3,12,..." (scripts/pool-failover.sh sets
// many), else two.
std::vector<int> KillMoments() {
    std::vector<int> moments;
    if (const char* env = std::getenv("KS_FAILOVER_MOMENTS")) {
        std::stringstream list(env);
        for (std::string item; std::getline(list, item, ',');) {
            const int ms = std::atoi(item.c_str());
            if (ms >= 0 && ms < kStations * kBoards) {
                moments.push_back(ms);
            }
        }
    }
    if (moments.empty()) {
        moments = {2, 12};
    }
    return moments;
}

}  // namespace

TEST(Failover, ThreeStationsFollowThePromotedStandbyAndNoKeyIsOnTwoBoardsOrLost) {
    for (const int moment : KillMoments()) {
        SCOPED_TRACE("primary stopped after " + std::to_string(moment) + " reservations");
        pooltest::PgPair pair;
        ASSERT_TRUE(pair.Ok()) << pair.Error();
        Line line("ks_failover");
        ASSERT_TRUE(line.Import(pair));

        std::vector<pid_t> pids;
        for (int s = 0; s < kStations; ++s) {
            pids.push_back(child_process::Spawn(
                line.Station(s, pair.Both("st" + std::to_string(s)), kBoards)));
            ASSERT_GT(pids.back(), 0);
        }
        const std::string watch = pair.Primary("ksadmin");
        const auto giveUp = Clock::now() + std::chrono::seconds(120);
        while (std::atoi(Value(watch,
                               "SELECT count(*) FROM keypool.events WHERE event = "
                               "'reserved'")
                             .c_str()) < moment &&
               Clock::now() < giveUp) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        ASSERT_TRUE(pair.StopPrimary());
        const auto stopped = std::chrono::system_clock::now();
        ASSERT_TRUE(pair.Promote());
        for (const pid_t pid : pids) {
            // Every job ends, failed or not: the stations carry on and end by themselves.
            EXPECT_GE(WaitAtMost(pid, std::chrono::seconds(120)), 0);
        }
        const size_t doneFirst = line.DeliveredByResults().size();
        const std::string admin = pair.Standby("ksadmin");
        const long long stopMs =
            std::chrono::duration_cast<std::chrono::milliseconds>(stopped.time_since_epoch())
                .count();
        // The first key call a station got done on the new primary (a job that reserved its key
        // before the stop ends it there).
        const std::string firstAfter = Value(
            admin, "SELECT round(extract(epoch FROM min(at)) * 1000 - " + std::to_string(stopMs) +
                       ") FROM keypool.events WHERE event <> 'imported' AND at > to_timestamp(" +
                       std::to_string(stopMs) + " / 1000.0)");
        std::printf(
            "[ failover ] stopped after %d reservations: %zu jobs done in the first run, "
            "the first key call on the new primary %s ms after the stop\n",
            moment, doneFirst, firstAfter.empty() ? "(none)" : firstAfter.c_str());

        // Every key a station was told was delivered is delivered on the new primary: nothing
        // acknowledged was lost in the switch.
        std::map<int, std::string> states = PoolStates(admin);
        for (const int key : line.DeliveredByResults()) {
            EXPECT_EQ(states[key], "delivered") << "key " << key << " was reported delivered";
        }
        // The stations run again over the same boards until each board holds a key (a job
        // whose call ran out of time on a loaded machine is run again): all on the new primary.
        std::map<int, std::set<int>> found;
        std::set<int> boardsWithKey;
        for (int pass = 0; pass < 3 && boardsWithKey.size() < size_t{kStations * kBoards}; ++pass) {
            for (int s = 0; s < kStations; ++s) {
                EXPECT_GE(child_process::Run(
                              line.Station(s, pair.Both("st" + std::to_string(s)), kBoards)),
                          0);
            }
            found.clear();
            boardsWithKey.clear();
            ASSERT_TRUE(line.KeysOnBoards(&found, &boardsWithKey));
        }
        states = PoolStates(admin);
        // A board is left without a key only when a key reserved for it was spent or left open in
        // the switch: the guard then refuses its serial number for good, and giving it another key
        // is the supervisor's call (AllowReprovision). Any other board got its key.
        size_t spentOrOpen = 0;
        for (const auto& [idx, state] : states) {
            spentOrOpen += (state == "spent" || state == "reserved") ? 1 : 0;
        }
        EXPECT_LE(static_cast<size_t>(kStations * kBoards) - boardsWithKey.size(), spentOrOpen)
            << "a board was left without a key although no key reserved for it was lost";
        for (const auto& [idx, boards] : found) {
            EXPECT_EQ(boards.size(), 1u)
                << "key " << idx << " is on " << boards.size() << " boards";
            const std::string& state = states[idx];
            EXPECT_TRUE(state == "reserved" || state == "delivered" || state == "spent")
                << "key " << idx << " is on a board but " << state << " on the new primary";
        }
        for (const int key : line.DeliveredByResults()) {
            EXPECT_EQ(states[key], "delivered") << "key " << key;
        }
        EXPECT_EQ(child_process::Run({KS_KDBTOOL, "pool", "--db", admin, "audit"}), 0);
    }
}

TEST(Failover, ASourceOnBothServersFollowsThePrimaryAndSaysSoOnce) {
    pooltest::PgPair pair;
    ASSERT_TRUE(pair.Ok()) << pair.Error();
    Line line("ks_failover_source");
    ASSERT_TRUE(line.Import(pair));

    // Only the standby's address: refused with a reason, whether or not the connection string
    // asks for a server that takes writes.
    for (const std::string& standbyOnly :
         {pair.Standby("st0"), pair.Standby("st0") + " target_session_attrs=any"}) {
        CPoolKeySource refused(standbyOnly, "line", nullptr, line.Options());
        EXPECT_FALSE(refused.IsValid()) << standbyOnly;
        EXPECT_NE(refused.GetError().find("read-only standby"), std::string::npos)
            << refused.GetError();
    }
    int status = -1;
    const std::string cli =
        Output(std::string(KS_KEYSTATION_CLI) + " --home " + line.Home(0).string() +
                   " --key-pool \"" + pair.Standby("st0") + "\" --pool line --pool-wrap-key " +
                   line.WrapKey() + " --simulate 1 --start --until-idle",
               &status);
    EXPECT_NE(cli.find("read-only standby"), std::string::npos) << cli;

    // Status and audit read the standby; status on the primary names its synchronous standby.
    std::string out = Output(
        std::string(KS_KDBTOOL) + " pool --db \"" + pair.Standby("ksadmin") + "\" status", &status);
    EXPECT_EQ(status, 0) << out;
    EXPECT_NE(out.find("read-only standby"), std::string::npos) << out;
    out = Output(std::string(KS_KDBTOOL) + " pool --db \"" + pair.Standby("ksadmin") + "\" audit",
                 &status);
    EXPECT_EQ(status, 0) << out;
    out = Output(
        std::string(KS_KDBTOOL) + " pool --db \"" + pair.Primary("ksadmin") + "\" status --json",
        &status);
    EXPECT_EQ(status, 0) << out;
    const auto json =
        nlohmann::json::parse(out.substr(std::min(out.find('{'), out.size())), nullptr, false);
    ASSERT_TRUE(json.is_object()) << out;
    EXPECT_EQ(json["@server"]["role"], "primary");
    EXPECT_EQ(json["@server"]["synchronousStandbys"].size(), 1u) << out;
    EXPECT_TRUE(json["@server"]["warnings"].empty()) << out;

    test_log::LineLog log;
    CPoolKeySource source(pair.Both("st0"), "line", &log, line.Options());
    ASSERT_TRUE(source.IsValid()) << source.GetError();
    const std::string first = source.Server();
    EXPECT_NE(first.find(":5432"), std::string::npos) << first;
    KeyJobInfo job;
    job.slot = 1;
    job.portLocation = "1-1";
    job.destination = "misc";
    std::set<int32_t> delivered;
    auto oneJob = [&](int32_t* index) {
        KeyCopy key;
        return source.TakeKey(job, index, &key) && source.ReserveKey(*index, job) &&
               source.DeliverKey(*index, job);
    };
    for (int i = 0; i < 5; ++i) {
        int32_t index = -1;
        ASSERT_TRUE(oneJob(&index));
        delivered.insert(index);
    }
    ASSERT_TRUE(pair.StopPrimary());
    const auto stopped = Clock::now();
    ASSERT_TRUE(pair.Promote());
    // Calls fail until the source is on the new primary, then go on there.
    int failed = 0;
    int32_t index = -1;
    while (!oneJob(&index) && failed < 400) {
        ++failed;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ASSERT_LT(failed, 400) << "the source never reached the new primary";
    std::printf(
        "[ failover ] a station's first job on the new primary: %lld ms after the "
        "primary stopped (%d failed calls before)\n",
        static_cast<long long>(
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - stopped).count()),
        failed);
    delivered.insert(index);
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(oneJob(&index));
        delivered.insert(index);
    }
    EXPECT_NE(source.Server(), first);
    EXPECT_NE(source.Server().find(":5433"), std::string::npos) << source.Server();
    int said = 0;
    for (const std::string& l : log.Lines()) {
        said += l == "key pool: now on " + source.Server() ? 1 : 0;
    }
    EXPECT_EQ(said, 1) << "the switch is logged once";
    const std::map<int, std::string> states = PoolStates(pair.Standby("ksadmin"));
    for (const int32_t key : delivered) {
        EXPECT_EQ(states.at(key), "delivered") << "key " << key;
    }
    // The new primary has no standby: status says so.
    out = Output(std::string(KS_KDBTOOL) + " pool --db \"" + pair.Both("ksadmin") + "\" status",
                 &status);
    EXPECT_EQ(status, 0) << out;
    EXPECT_NE(out.find("warning: the server has no synchronous standby"), std::string::npos) << out;
}

TEST(Failover, AStandbyThatIsDownFailsJobsWithoutSendingAKeyAndStopEndsTheStation) {
    pooltest::PgPair pair;
    ASSERT_TRUE(pair.Ok()) << pair.Error();
    Line line("ks_failover_down");
    ASSERT_TRUE(line.Import(pair));
    ASSERT_TRUE(pair.StopStandby());
    int status = -1;
    std::string out = Output(
        std::string(KS_KDBTOOL) + " pool --db \"" + pair.Primary("ksadmin") + "\" status", &status);
    EXPECT_NE(out.find("no synchronous standby is connected"), std::string::npos) << out;

    // The station's key calls wait for the standby, are cancelled and fail their jobs.
    EXPECT_EQ(WaitAtMost(child_process::Spawn(line.Station(0, pair.Both("st0"), 2)),
                         std::chrono::seconds(120)),
              1);
    // SIGTERM while the calls hang ends the station.
    const pid_t pid = child_process::Spawn(line.Station(1, pair.Both("st1"), 4));
    ASSERT_GT(pid, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    ::kill(pid, SIGTERM);
    const auto terminated = Clock::now();
    EXPECT_GE(WaitAtMost(pid, std::chrono::seconds(60)), 0) << "SIGTERM did not end the station";
    std::printf("[ failover ] standby down: the station ended %lld ms after SIGTERM\n",
                static_cast<long long>(
                    std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - terminated)
                        .count()));

    std::map<int, std::set<int>> found;
    std::set<int> boardsWithKey;
    ASSERT_TRUE(line.KeysOnBoards(&found, &boardsWithKey));
    EXPECT_TRUE(found.empty()) << found.size() << " keys went to boards without the standby";
    // Nothing delivered; what the primary committed alone stays held (never handed out again).
    ASSERT_TRUE(pair.StartStandby());
    const std::map<int, std::string> states = PoolStates(pair.Primary("ksadmin"));
    int held = 0;
    for (const auto& [idx, state] : states) {
        EXPECT_NE(state, "delivered") << "key " << idx;
        held += state != "free" ? 1 : 0;
    }
    std::printf("[ failover ] standby down: %d keys held, none on a board\n", held);
    EXPECT_EQ(child_process::Run({KS_KDBTOOL, "pool", "--db", pair.Primary("ksadmin"), "audit"}),
              0);
}
