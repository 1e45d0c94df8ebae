// The pool against what a station, an administrator and a superuser control, on a real server:
// no key bytes leave before the reservation is durable, whatever the session set; every key is
// checked on arrival (its wrap and its digest); a guard that cannot answer takes no key.
#include <gtest/gtest.h>
#include <libpq-fe.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "keydb/KeyJournal.h"
#include "keydb/pool/PoolCrypto.h"
#include "keydb/pool/PoolKeySource.h"
#include "tests/common/ChildProcess.h"
#include "tests/pool/PgPair.h"
#include "tests/pool/PgServer.h"
#include "tests/pool/PoolTestKit.h"

namespace {

namespace fs = std::filesystem;
using pooltest::Column;
using pooltest::Kdbtool;

// A server with the schema, a pool "line" of `keys` keys, the administrator "keyadmin" and the
// station "st" bound to it.
struct Bed {
    pooltest::PgServer pg;
    fs::path dir;
    std::string db;   // --db "..." as the superuser
    std::string adm;  // --db "..." as the administrator
    std::string kdb;
    std::string wrap;
    PoolSourceOptions options;

    explicit Bed(const char* name) {
        dir = fs::temp_directory_path() / (std::string(name) + "." + std::to_string(getpid()));
        fs::remove_all(dir);
        fs::create_directories(dir);
        db = "--db \"" + pg.ConnInfo("ksadmin") + "\"";
        adm = "--db \"" + pg.ConnInfo("keyadmin") + "\"";
        kdb = Path("keys.kdb");
        wrap = Path("pool.key");
        options.wrapKeyFile = wrap;
    }
    ~Bed() { fs::remove_all(dir); }
    std::string Path(const std::string& name) const { return (dir / name).string(); }
    bool SetUp(int keys, int keySize = 32) {
        return pg.Ok() &&
               Kdbtool("create --keys " + std::to_string(keys) + " --key-size " +
                       std::to_string(keySize) + " " + kdb) == 0 &&
               Kdbtool("pool keygen " + wrap) == 0 && Kdbtool("pool " + db + " init") == 0 &&
               pg.Sql(
                   "CREATE ROLE keyadmin LOGIN; GRANT keypool_admin TO keyadmin;"
                   "CREATE ROLE st LOGIN; GRANT keypool_station TO st;") &&
               Kdbtool("pool " + adm + " import " + kdb + " --pool line --wrap-key " + wrap) == 0 &&
               Kdbtool("pool " + adm + " bind --pool line st") == 0;
    }
    // A console station on `boards` simulated boards kept in the folder "boards"; its exit code.
    int Station(int boards) {
        const fs::path home = dir / "home";
        if (!fs::exists(home)) {
            fs::create_directories(home);
            const fs::path data = fs::path(KS_SOURCE_DIR) / "data";
            fs::copy(data / "lang", home / "lang", fs::copy_options::recursive);
            fs::copy_file(data / "devices.ini", home / "devices.ini");
            fs::copy_file(data / "config.ini", home / "config.ini");
        }
        return child_process::Run({KS_KEYSTATION_CLI,
                                   "--home",
                                   home.string(),
                                   "--key-pool",
                                   pg.ConnInfo("st"),
                                   "--pool",
                                   "line",
                                   "--pool-wrap-key",
                                   wrap,
                                   "--simulate",
                                   std::to_string(boards),
                                   "--sim-state",
                                   Path("boards"),
                                   "--start",
                                   "--until-idle",
                                   "--keybox",
                                   "1",
                                   "--rkp",
                                   "0",
                                   "--dest",
                                   "0"});
    }
    std::string Count(const std::string& where) const {
        const auto n = Column(pg, "SELECT count(*) FROM keypool.keys WHERE " + where);
        return n.empty() ? "?" : n[0];
    }
};

TEST(PoolHolds, AGuardThatCannotAnswerTakesNoKey) {
    Bed bed("kspoolguard");
    ASSERT_TRUE(bed.SetUp(20)) << bed.pg.Error();
    EXPECT_EQ(bed.Station(2), 0);
    EXPECT_EQ(bed.Count("state = 'delivered'"), "2");
    // The check cannot be made (here: the station may no longer call it).
    ASSERT_TRUE(
        bed.pg.Sql("REVOKE EXECUTE ON FUNCTION keypool.boards_served(text, text[], bytea[]) FROM "
                   "keypool_station"));
    {
        CPoolKeySource source(bed.pg.ConnInfo("st"), "line", nullptr, bed.options);
        ASSERT_TRUE(source.IsValid()) << source.GetError();
        std::string why;
        EXPECT_EQ(source.WasServed("SN-1", nullptr, 0, &why), IKeySource::Served::kCannotTell);
        EXPECT_NE(why.find("permission denied"), std::string::npos) << why;
        EXPECT_FALSE(source.WasReservedFor("SN-1"));
    }
    // The same boards again: each job fails before it takes a key, instead of a second key.
    bed.Station(2);
    EXPECT_EQ(bed.Count("state <> 'free'"), "2");
}

// A station's own draw, as it could make it by hand: change the session's commit setting
// (`set`), claim one key, then fetch. Whether key bytes came back; the key's index in `index`.
bool ClaimSetFetch(PGconn* conn, const std::string& set, int* index) {
    auto exec = [&](const std::string& sql) {
        PGresult* r = PQexec(conn, sql.c_str());
        const bool ok =
            PQresultStatus(r) == PGRES_TUPLES_OK || PQresultStatus(r) == PGRES_COMMAND_OK;
        std::string first = ok && PQntuples(r) > 0 && PQnfields(r) > 0 && !PQgetisnull(r, 0, 0)
                                ? PQgetvalue(r, 0, 0)
                                : "";
        PQclear(r);
        return first;
    };
    exec(set);
    const std::string claimed =
        exec("CALL keypool.claim_key('line', 1, '1-1', 'SN-hand', 'misc', true)");
    *index = claimed.empty() ? -1 : std::atoi(claimed.c_str());
    return !claimed.empty() && !exec("CALL keypool.fetch_key('line', " + claimed + ")").empty();
}

TEST(PoolHolds, NoKeyBytesLeaveBeforeTheReservationIsDurableWhateverTheSessionSet) {
    Bed bed("kspooldurable");
    ASSERT_TRUE(bed.SetUp(20)) << bed.pg.Error();
    ASSERT_TRUE(bed.pg.Sql("ALTER ROLE st SET synchronous_commit = off"));
    // Nothing flushes the log behind the sessions' backs: the WAL writer is stopped.
    const auto writer =
        Column(bed.pg, "SELECT pid FROM pg_stat_activity WHERE backend_type = 'walwriter'");
    ASSERT_EQ(writer.size(), 1u);
    ASSERT_EQ(::kill(std::atoi(writer[0].c_str()), SIGSTOP), 0);

    // The setting off for the session (nothing can come between the claim and its commit):
    // the bytes leave only once the reservation is on disk.
    pooltest::Conn st = pooltest::Connect(bed.pg.ConnInfo("st"));
    int byHand = -1;
    const bool bytes = ClaimSetFetch(st.get(), "SET synchronous_commit = off", &byHand);
    ASSERT_GE(byHand, 0);
    st.reset();
    // The station's own draws with the setting off by ALTER ROLE and by PGOPTIONS: the claim
    // raises it, so the bytes come and the reservation is on disk.
    ::setenv("PGOPTIONS", "-c synchronous_commit=off", 1);
    int32_t drawn = -1;
    {
        CPoolKeySource source(bed.pg.ConnInfo("st"), "line", nullptr, bed.options);
        ASSERT_TRUE(source.IsValid()) << source.GetError();
        KeyJobInfo job;
        job.slot = 1;
        KeyCopy key;
        EXPECT_TRUE(source.TakeKey(job, &drawn, &key));
        EXPECT_TRUE(source.ReserveKey(drawn, job));
    }
    ::unsetenv("PGOPTIONS");
    // An immediate stop: what was not flushed is gone.
    ASSERT_TRUE(bed.pg.Restart());
    const std::string handState =
        Column(bed.pg, "SELECT state FROM keypool.keys WHERE idx = " + std::to_string(byHand))[0];
    EXPECT_TRUE(!bytes || handState == "reserved") << "sent, and " << handState << " again";
    EXPECT_EQ(Column(bed.pg, "SELECT state FROM keypool.keys WHERE idx = " + std::to_string(drawn)),
              std::vector<std::string>{"reserved"});
}

TEST(PoolHolds, NoKeyBytesLeaveWhileTheSynchronousStandbyIsDown) {
    pooltest::PgPair pair;
    ASSERT_TRUE(pair.Ok()) << pair.Error();
    const fs::path dir = fs::temp_directory_path() / ("kspoolsyncdown." + std::to_string(getpid()));
    fs::create_directories(dir);
    const pooltest::RemovedAtEnd cleanUp(dir.string());
    const std::string admin = pair.Primary("ksadmin");
    const std::string kdb = (dir / "keys.kdb").string();
    const std::string wrap = (dir / "pool.key").string();
    ASSERT_EQ(child_process::Run({KS_KDBTOOL, "create", "--keys", "10", "--key-size", "32", kdb}),
              0);
    ASSERT_EQ(child_process::Run({KS_KDBTOOL, "pool", "keygen", wrap}), 0);
    ASSERT_EQ(child_process::Run({KS_KDBTOOL, "pool", "--db", admin, "init"}), 0);
    ASSERT_EQ(child_process::Run({KS_KDBTOOL, "pool", "--db", admin, "import", kdb, "--pool",
                                  "line", "--wrap-key", wrap}),
              0);
    ASSERT_TRUE(pair.Sql("CREATE ROLE st LOGIN; GRANT keypool_station TO st"));
    ASSERT_EQ(
        child_process::Run({KS_KDBTOOL, "pool", "--db", admin, "bind", "--pool", "line", "st"}), 0);
    ASSERT_TRUE(pair.StopStandby());
    // The claim's wait for the standby is cut short by the session's own time-out: it is
    // committed on the primary alone; its bytes must not leave.
    int index = -1;
    {
        pooltest::Conn st = pooltest::Connect(pair.Primary("st"));
        ASSERT_EQ(PQstatus(st.get()), CONNECTION_OK);
        EXPECT_FALSE(ClaimSetFetch(
            st.get(), "SET synchronous_commit = local; SET statement_timeout = '1s'", &index));
    }
    ASSERT_GE(index, 0);
    // The primary dies and the standby takes over: the claim is not there, and no byte of the
    // key went out, so it is free to draw.
    ASSERT_TRUE(pair.StopPrimary());
    ASSERT_TRUE(pair.StartStandby());
    ASSERT_TRUE(pair.Promote());
    pooltest::Conn promoted = pooltest::Connect(pair.Standby("ksadmin"));
    PGresult* r =
        PQexec(promoted.get(),
               ("SELECT state FROM keypool.keys WHERE idx = " + std::to_string(index)).c_str());
    ASSERT_EQ(PQntuples(r), 1);
    EXPECT_STREQ(PQgetvalue(r, 0, 0), "free");
    PQclear(r);
}

// A key's wrapped bytes changed, two keys' wrapped bytes swapped, a digest changed: each draw
// spends its key with the step that caught it, no key reaches the job; export refuses a key that
// does not open; every nonce of an import is its own; a key pooled again by an administrator
// under a made-up digest is caught at the station.
TEST(PoolHolds, EveryKeyIsCheckedOnArrival) {
    Bed bed("kspoolarrival");
    ASSERT_TRUE(bed.SetUp(20)) << bed.pg.Error();
    const auto nonces =
        Column(bed.pg, "SELECT encode(substring(wrapped FROM 1 FOR 12), 'hex') FROM keypool.keys");
    EXPECT_EQ(std::set<std::string>(nonces.begin(), nonces.end()).size(), 20u);
    EXPECT_EQ(Kdbtool("pool " + bed.db + " verify --pool line --wrap-key " + bed.wrap), 0);
    ASSERT_TRUE(bed.pg.Sql(
        "UPDATE keypool.keys SET wrapped = set_byte(wrapped, 20, get_byte(wrapped, 20) # 1) "
        "WHERE idx IN (0, 10);"
        "UPDATE keypool.keys k SET wrapped = o.wrapped FROM keypool.keys o "
        "WHERE (k.idx, o.idx) IN ((1, 2), (2, 1));"
        "UPDATE keypool.keys SET digest = sha256('not this key'::bytea) WHERE idx = 3;"));
    const std::string verify = bed.Path("verify.txt");
    EXPECT_EQ(Kdbtool("pool " + bed.db + " verify --pool line --wrap-key " + bed.wrap, verify), 1);
    const std::string said = pooltest::ReadText(verify);
    for (const char* key : {"key 0 ", "key 1 ", "key 2 ", "key 3 ", "key 10 "}) {
        EXPECT_NE(said.find(key), std::string::npos) << key << " in " << said;
    }
    KeyCopy delivered;
    {
        CPoolKeySource source(bed.pg.ConnInfo("st"), "line", nullptr, bed.options);
        ASSERT_TRUE(source.IsValid()) << source.GetError();
        KeyJobInfo job;
        job.slot = 1;
        int32_t index = -1;
        for (int i = 0; i < 4; ++i) {
            EXPECT_FALSE(source.TakeKey(job, &index, &delivered)) << i;
        }
        ASSERT_TRUE(source.TakeKey(job, &index, &delivered));
        EXPECT_EQ(index, 4);
        ASSERT_TRUE(source.ReserveKey(index, job));
        ASSERT_TRUE(source.DeliverKey(index, job));
    }
    EXPECT_EQ(Column(bed.pg,
                     "SELECT idx || ' ' || state || ' ' || step FROM keypool.keys "
                     "WHERE idx < 4 ORDER BY idx"),
              (std::vector<std::string>{"0 spent unwrap", "1 spent unwrap", "2 spent unwrap",
                                        "3 spent digest"}));
    EXPECT_NE(Kdbtool("pool " + bed.adm + " export --pool line --wrap-key " + bed.wrap + " " +
                      bed.Path("out.kdb")),
              0);
    EXPECT_FALSE(
        pooltest::Allowed(bed.pg, "st", "SELECT * FROM keypool.export_fetch('line', now())"));

    // The administrator pools the delivered key again, past import, under a made-up digest.
    pool::WrapKey wrapKey;
    std::string error;
    ASSERT_TRUE(pool::ReadWrapKeyFile(bed.wrap, &wrapKey, &error)) << error;
    pooltest::Conn admin = pooltest::Connect(bed.pg.ConnInfo("keyadmin"));
    const auto check = pool::WrapCheck(wrapKey);
    PGresult* r =
        PQexec(admin.get(), ("SELECT keypool.create_pool('again', 32, 1, '\\x" +
                             std::string(32, '0') + "', '2026-01-01 00:00:00', '" +
                             std::string(64, 'a') + "', '\\x" + HexBytes(check.data(), 32) + "')")
                                .c_str());
    ASSERT_EQ(PQresultStatus(r), PGRES_TUPLES_OK) << PQerrorMessage(admin.get());
    const int32_t again = std::atoi(PQgetvalue(r, 0, 0));
    PQclear(r);
    std::vector<uint8_t> wrapped;
    ASSERT_TRUE(pool::WrapPoolKey(wrapKey, again, 0, delivered.data(), delivered.size(), &wrapped));
    const std::string sql = "SELECT keypool.add_keys(" + std::to_string(again) + ", 0, '\\x" +
                            HexBytes(wrapped.data(), wrapped.size()) + "', '\\x" +
                            std::string(64, 'b') + "', '0')";
    r = PQexec(admin.get(), sql.c_str());
    ASSERT_EQ(PQresultStatus(r), PGRES_TUPLES_OK) << PQerrorMessage(admin.get());
    PQclear(r);
    ASSERT_EQ(Kdbtool("pool " + bed.adm + " bind --pool again st"), 0);
    {
        CPoolKeySource source(bed.pg.ConnInfo("st"), "again", nullptr, bed.options);
        ASSERT_TRUE(source.IsValid()) << source.GetError();
        KeyJobInfo job;
        int32_t index = -1;
        KeyCopy key;
        EXPECT_FALSE(source.TakeKey(job, &index, &key));
    }
    EXPECT_EQ(Column(bed.pg,
                     "SELECT k.state || ' ' || k.step FROM keypool.keys k JOIN "
                     "keypool.pools p ON p.id = k.pool_id WHERE p.name = 'again'"),
              std::vector<std::string>{"spent digest"});
}

// Keys in doubt count against the station's limit until the administrator resolves them, each
// with its reason as an event; a station cannot resolve its own.
TEST(PoolHolds, KeysInDoubtAreResolvedByTheAdministrator) {
    Bed bed("kspoolresolve");
    ASSERT_TRUE(bed.SetUp(10)) << bed.pg.Error();
    ASSERT_EQ(Kdbtool("pool " + bed.adm + " bind --pool line --limit 2 st"), 0);
    CPoolKeySource source(bed.pg.ConnInfo("st"), "line", nullptr, bed.options);
    ASSERT_TRUE(source.IsValid()) << source.GetError();
    KeyJobInfo job;
    int32_t index = -1;
    KeyCopy key;
    for (job.slot = 1; job.slot <= 2; ++job.slot) {
        job.serial = "SN-" + std::to_string(job.slot);
        ASSERT_TRUE(source.TakeKey(job, &index, &key));
        ASSERT_TRUE(source.ReserveKey(index, job));  // and never ended: in doubt
    }
    EXPECT_FALSE(source.TakeKey(job, &index, &key));  // the limit
    EXPECT_FALSE(pooltest::Allowed(bed.pg, "st",
                                   "SELECT keypool.resolve_key('line', 0, 'spent', '', 'mine')"));
    EXPECT_EQ(Kdbtool("pool " + bed.adm + " resolve --pool line 0 delivered --reason x"), 2);
    EXPECT_EQ(Kdbtool("pool " + bed.adm + " resolve --pool line 0 spent --reason 'board scrapped'"),
              0);
    EXPECT_EQ(Kdbtool("pool " + bed.adm +
                      " resolve --pool line 1 delivered --serial SN-2 --reason 'read back'"),
              0);
    EXPECT_EQ(Kdbtool("pool " + bed.adm + " resolve --pool line 1 spent --reason again"), 1);
    EXPECT_EQ(Column(bed.pg,
                     "SELECT idx || ' ' || state || ' ' || serial FROM keypool.keys "
                     "WHERE idx < 2 ORDER BY idx"),
              (std::vector<std::string>{"0 spent SN-1", "1 delivered SN-2"}));
    EXPECT_EQ(Column(bed.pg,
                     "SELECT event || ' ' || station || ' ' || reason FROM "
                     "keypool.events WHERE reason IS NOT NULL ORDER BY id"),
              (std::vector<std::string>{"spent keyadmin board scrapped",
                                        "delivered keyadmin read back"}));
    ASSERT_TRUE(source.TakeKey(job, &index, &key));  // room again
    EXPECT_EQ(Kdbtool("pool " + bed.adm + " audit", bed.Path("audit.txt")), 0)
        << pooltest::ReadText(bed.Path("audit.txt"));
}

// A superuser rewrites a delivered key's history and frees it, with event_text replaced so that
// the server's own hashes still agree, and the append-only trigger off: the audit recomputes
// the chain itself and compares the schema with this version's, naming each changed object.
// A grant of export_fetch to stations is named too.
TEST(PoolHolds, TheAuditTrustsNothingTheServerComputes) {
    Bed bed("kspoolaudit");
    ASSERT_TRUE(bed.SetUp(10)) << bed.pg.Error();
    EXPECT_EQ(bed.Station(2), 0);
    const std::string json = bed.Path("audit.json");
    ASSERT_EQ(Kdbtool("pool " + bed.adm + " audit --json", json), 0) << pooltest::ReadText(json);
    const std::string before = pooltest::ReadText(json);
    const size_t at = before.find("\"headHash\": \"");
    ASSERT_NE(at, std::string::npos);
    const std::string head = before.substr(at + 13, 64);
    ASSERT_TRUE(bed.pg.Sql(
        "CREATE OR REPLACE FUNCTION keypool.event_text(e keypool.events) RETURNS text "
        "LANGUAGE plpgsql IMMUTABLE SET search_path = pg_catalog, pg_temp AS $$ BEGIN "
        "RETURN e.id::text; END $$;"
        "ALTER TABLE keypool.events DISABLE TRIGGER events_append_only;"
        "UPDATE keypool.events SET event = 'imported', station = 'keyadmin', serial = NULL, "
        "slot = NULL, port_location = NULL, destination = NULL, "
        "hash = sha256(convert_to(id::text, 'UTF8')) WHERE idx = 0 AND event <> 'imported';"
        "UPDATE keypool.keys SET state = 'free', station = NULL, serial = NULL WHERE idx = 0;"
        "GRANT EXECUTE ON FUNCTION keypool.export_fetch(text, timestamptz) TO keypool_station;"));
    const std::string said = bed.Path("audit.txt");
    EXPECT_EQ(Kdbtool("pool " + bed.adm + " audit --expect-head " + head, said), 1);
    const std::string text = pooltest::ReadText(said);
    for (const char* named :
         {"chain BROKEN", "NOT FOUND", "function keypool.event_text: its body is not",
          "trigger events_append_only on events -> refuse_change: disabled",
          "function keypool.export_fetch: executable by keypool_station"}) {
        EXPECT_NE(text.find(named), std::string::npos) << named << " in\n" << text;
    }
}

// Who could stall the line: a compromised or curious station with its own role's credentials,
// running any SQL its role may. It opens a transaction around a claim, sends a claim and a sleep
// in one query or in one pipeline, runs the owner's function in a DO block or in a procedure's
// argument, and idles in a transaction. None of it keeps a pool's event chain locked past its own
// call: meanwhile another station draws and delivers well inside its 3.5 s lock time-out. A pool
// whose chain is held (a superuser's open transaction) stalls no other pool, and an idle station
// session is cut.
TEST(PoolHolds, NoStationHoldsTheLine) {
    Bed bed("kspoolline");
    ASSERT_TRUE(bed.SetUp(20)) << bed.pg.Error();
    const std::string other = bed.Path("other.kdb");
    ASSERT_EQ(Kdbtool("create --keys 5 --key-size 32 " + other), 0);
    ASSERT_EQ(
        Kdbtool("pool " + bed.adm + " import " + other + " --pool other --wrap-key " + bed.wrap),
        0);
    ASSERT_TRUE(bed.pg.Sql("CREATE ROLE good LOGIN; GRANT keypool_station TO good;"));
    ASSERT_EQ(Kdbtool("pool " + bed.adm + " bind --pool line good"), 0);
    ASSERT_EQ(Kdbtool("pool " + bed.adm + " bind --pool other good"), 0);
    // One job of the good station: a key drawn, reserved and delivered; the seconds it took.
    int jobs = 0;
    auto job = [&](const char* poolName, double* seconds) {
        CPoolKeySource source(bed.pg.ConnInfo("good"), poolName, nullptr, bed.options);
        KeyJobInfo info;
        info.slot = 1;
        info.serial = "SN-good-" + std::to_string(++jobs);
        int32_t index = -1;
        KeyCopy key;
        const auto start = std::chrono::steady_clock::now();
        const bool done = source.IsValid() && source.TakeKey(info, &index, &key) &&
                          source.ReserveKey(index, info) && source.DeliverKey(index, info);
        *seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        return done;
    };
    pooltest::Conn bad = pooltest::Connect(bed.pg.ConnInfo("st"));
    ASSERT_EQ(PQstatus(bad.get()), CONNECTION_OK);
    auto error = [&](const std::string& sql) {
        PGresult* r = PQexec(bad.get(), sql.c_str());
        const bool ok =
            PQresultStatus(r) == PGRES_TUPLES_OK || PQresultStatus(r) == PGRES_COMMAND_OK;
        const std::string said = ok ? "" : PQresultErrorMessage(r);
        PQclear(r);
        return said;
    };
    const std::string claim =
        "CALL keypool.claim_keys('line', ARRAY[1], ARRAY['1-1'], ARRAY['SN-bad'], "
        "ARRAY['misc'])";
    const std::string owners =
        "keypool.station_claim('line', ARRAY[1], ARRAY['1-1'], ARRAY['SN-bad'], ARRAY['misc'], "
        "true)";
    for (const std::string& attack :
         {claim + "; SELECT pg_sleep(8)", "BEGIN; SAVEPOINT s; " + claim,
          "DO $$BEGIN PERFORM " + owners + "; PERFORM pg_sleep(8); END$$",
          "SELECT * FROM " + owners + ", pg_sleep(8)",
          "CALL keypool.return_key('line', cardinality((" + owners +
              ").idx) + length(pg_sleep(8)::text))"}) {
        EXPECT_NE(error(attack), "") << attack;
        error("ROLLBACK");
    }
    // Left in a transaction whose claim was refused while the good station works.
    EXPECT_EQ(error("BEGIN"), "");
    EXPECT_NE(error(claim).find("invalid transaction termination"), std::string::npos);
    double took = 0;
    EXPECT_TRUE(job("line", &took));
    EXPECT_LT(took, 2.0);
    EXPECT_EQ(bed.Count("station = 'st'"), "0");
    error("ROLLBACK");

    // A claim and a sleep in one pipeline: the claim is committed before the sleep begins.
    ASSERT_EQ(PQenterPipelineMode(bad.get()), 1);
    ASSERT_EQ(PQsendQueryParams(bad.get(), claim.c_str(), 0, nullptr, nullptr, nullptr, nullptr, 0),
              1);
    ASSERT_EQ(PQsendQueryParams(bad.get(), "SELECT pg_sleep(5)", 0, nullptr, nullptr, nullptr,
                                nullptr, 0),
              1);
    ASSERT_EQ(PQpipelineSync(bad.get()), 1);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(4);
    while (bed.Count("station = 'st' AND state = 'reserved'") != "1" &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_EQ(bed.Count("station = 'st' AND state = 'reserved'"), "1");
    EXPECT_TRUE(job("line", &took));
    EXPECT_LT(took, 2.0);
    std::vector<ExecStatusType> answers;
    while (answers.empty() || answers.back() != PGRES_PIPELINE_SYNC) {
        PGresult* r = PQgetResult(bad.get());
        if (r != nullptr) {
            answers.push_back(PQresultStatus(r));
            PQclear(r);
        }
    }
    EXPECT_EQ(answers,
              (std::vector<ExecStatusType>{PGRES_TUPLES_OK, PGRES_TUPLES_OK, PGRES_PIPELINE_SYNC}));
    ASSERT_EQ(PQexitPipelineMode(bad.get()), 1);

    // The session that called has the idle bound: idle in a transaction, it is cut.
    EXPECT_EQ(error("BEGIN; SELECT 1"), "");
    std::this_thread::sleep_for(std::chrono::seconds(3));
    EXPECT_NE(error("SELECT 1"), "");
    EXPECT_EQ(PQstatus(bad.get()), CONNECTION_BAD);

    // Pool "line"'s chain held: pool "other" draws and delivers on; "line" waits out its bound.
    pooltest::Conn holder = pooltest::Connect(bed.pg.ConnInfo("ksadmin"));
    PGresult* held = PQexec(holder.get(),
                            "BEGIN; SELECT 1 FROM keypool.chain_locks l JOIN keypool.pools p ON "
                            "p.id = l.pool_id WHERE p.name = 'line' FOR UPDATE");
    ASSERT_EQ(PQntuples(held), 1);
    PQclear(held);
    EXPECT_TRUE(job("other", &took));
    EXPECT_LT(took, 2.0);
    EXPECT_FALSE(job("line", &took));
    EXPECT_GT(took, 3.0);
    PQclear(PQexec(holder.get(), "ROLLBACK"));
    const std::string said = bed.Path("audit.txt");
    EXPECT_EQ(Kdbtool("pool " + bed.adm + " audit", said), 0) << pooltest::ReadText(said);
}

// A server restart while the station works: a delivery, a re-provisioning check and a draw made
// during the outage wait for the connection and succeed, each recorded once.
TEST(PoolHolds, AShortOutageIsRiddenOut) {
    Bed bed("kspoolouting");
    ASSERT_TRUE(bed.SetUp(10)) << bed.pg.Error();
    CPoolKeySource source(bed.pg.ConnInfo("st"), "line", nullptr, bed.options);
    ASSERT_TRUE(source.IsValid()) << source.GetError();
    KeyJobInfo first;
    first.slot = 1;
    first.serial = "SN-1";
    int32_t index = -1;
    KeyCopy key;
    ASSERT_TRUE(source.TakeKey(first, &index, &key));
    ASSERT_TRUE(source.ReserveKey(index, first));
    std::thread restart([&] { EXPECT_TRUE(bed.pg.Restart()); });
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    EXPECT_TRUE(source.DeliverKey(index, first));
    EXPECT_EQ(source.WasServed("SN-1", nullptr, 0), IKeySource::Served::kServed);
    KeyJobInfo second;
    second.slot = 2;
    second.serial = "SN-2";
    int32_t next = -1;
    EXPECT_TRUE(source.TakeKey(second, &next, &key));
    restart.join();
    EXPECT_GE(source.GetReconnects(), 1u);
    EXPECT_EQ(Column(bed.pg,
                     "SELECT idx || ' ' || state FROM keypool.keys WHERE state <> 'free' "
                     "ORDER BY idx"),
              (std::vector<std::string>{std::to_string(index) + " delivered",
                                        std::to_string(next) + " reserved"}));
    EXPECT_EQ(Column(bed.pg,
                     "SELECT count(*) FROM keypool.events WHERE event IN ('reserved', "
                     "'delivered')"),
              std::vector<std::string>{"3"});
}

// A pool made by an earlier release's schema (tests/pool/data/schema-N.sql), with keys in every
// state, moved to this version by kdbtool pool upgrade in one transaction: every key and event
// stays as it was (the chain included), the audit passes and a station draws on.
void UpgradeFrom(int version) {
    Bed bed("kspoolupgrade");
    ASSERT_TRUE(bed.pg.Ok()) << bed.pg.Error();
    const std::string old = pooltest::ReadText(
        std::string(KS_SOURCE_DIR) + "/tests/pool/data/schema-" + std::to_string(version) + ".sql");
    ASSERT_FALSE(old.empty());
    ASSERT_TRUE(bed.pg.Sql("SET client_min_messages = warning; BEGIN;" + old + "COMMIT;"));
    const std::string out = bed.Path("out.kdb");
    ASSERT_EQ(Kdbtool("create --keys 10 --key-size 32 --used 0-1 " + bed.kdb), 0);
    ASSERT_EQ(Kdbtool("create --keys 3 --key-size 32 " + out), 0);
    ASSERT_EQ(Kdbtool("pool keygen " + bed.wrap), 0);
    ASSERT_TRUE(bed.pg.Sql("CREATE ROLE st LOGIN; GRANT keypool_station TO st;"));
    ASSERT_EQ(
        Kdbtool("pool " + bed.db + " import " + bed.kdb + " --pool line --wrap-key " + bed.wrap),
        0);
    ASSERT_EQ(Kdbtool("pool " + bed.db + " import " + out + " --pool out --wrap-key " + bed.wrap),
              0);
    ASSERT_EQ(Kdbtool("pool " + bed.db + " bind --pool line st"), 0);
    // Every state through the earlier release's functions: 0-1 spent at import, 2 taken, 3
    // reserved (in doubt), 4 delivered, 5 spent, 6 returned (free), the rest free; pool "out"
    // exported.
    {
        pooltest::Conn st = pooltest::Connect(bed.pg.ConnInfo("st"));
        for (const char* sql :
             {"SELECT keypool.claim_key('line', 1, '1-1', '', '', false)",
              "SELECT * FROM keypool.claim_keys('line', ARRAY[2, 3, 4], ARRAY['1-2', '1-3', "
              "'1-4'], ARRAY['SN-3', 'SN-4', 'SN-5'], ARRAY['misc', 'misc', 'misc'])",
              "SELECT * FROM keypool.fetch_keys('line', ARRAY[3, 4, 5])",
              "SELECT * FROM keypool.deliver_keys('line', ARRAY[4])",
              "SELECT keypool.spend_key('line', 5, 'IDS_WRITE_MISC', -4)",
              "SELECT keypool.claim_key('line', 5, '1-5', '', '', false)",
              "SELECT keypool.return_key('line', 6)"}) {
            PGresult* r = PQexec(st.get(), sql);
            // Version 2 refuses a fetch while other log is not yet flushed: one flushed
            // statement, and the fetch again (as that release's station does).
            for (int again = 0; again < 5 && version == 2 && PQresultStatus(r) != PGRES_TUPLES_OK;
                 ++again) {
                PQclear(r);
                PQclear(PQexec(st.get(), "SELECT keypool.flush_now()"));
                r = PQexec(st.get(), sql);
            }
            EXPECT_EQ(PQresultStatus(r), PGRES_TUPLES_OK) << sql << PQerrorMessage(st.get());
            PQclear(r);
        }
    }
    ASSERT_TRUE(bed.pg.Sql("SELECT keypool.export_mark('out')"));
    const std::string keys =
        "SELECT p.name || ' ' || k.idx || ' ' || k.state || ' ' || coalesce(k.station, '-') || "
        "' ' || encode(sha256(k.wrapped || k.digest), 'hex') FROM keypool.keys k JOIN "
        "keypool.pools p ON p.id = k.pool_id ORDER BY 1";
    const std::string events =
        "SELECT id || ' ' || event || ' ' || encode(hash, 'hex') FROM keypool.events ORDER BY id";
    const auto keysBefore = Column(bed.pg, keys);
    const auto eventsBefore = Column(bed.pg, events);
    ASSERT_EQ(keysBefore.size(), 13u);
    EXPECT_EQ(Column(bed.pg,
                     "SELECT string_agg(DISTINCT state, ' ' ORDER BY state) FROM "
                     "keypool.keys"),
              std::vector<std::string>{"delivered exported free reserved spent taken"});
    EXPECT_EQ(Kdbtool("pool " + bed.db + " audit"), 1);  // not this version's schema

    // Only a superuser upgrades; a refused upgrade changes nothing.
    ASSERT_TRUE(bed.pg.Sql("CREATE ROLE keyadmin LOGIN; GRANT keypool_admin TO keyadmin;"));
    EXPECT_EQ(Kdbtool("pool " + bed.adm + " upgrade"), 1);
    EXPECT_EQ(
        Column(bed.pg, version == 1 ? "SELECT 1 WHERE to_regclass('keypool.schema_version') IS NULL"
                                    : "SELECT max(version) FROM keypool.schema_version"),
        std::vector<std::string>{std::to_string(version)});
    ASSERT_EQ(Kdbtool("pool " + bed.db + " upgrade"), 0);
    EXPECT_EQ(Kdbtool("pool " + bed.db + " upgrade"), 0);  // at this version already
    EXPECT_EQ(Column(bed.pg, keys), keysBefore);
    EXPECT_EQ(Column(bed.pg, events), eventsBefore);
    // The station logins get the idle-in-transaction bound.
    EXPECT_EQ(Column(bed.pg,
                     "SELECT count(*) FROM pg_db_role_setting s JOIN pg_roles r ON r.oid = "
                     "s.setrole WHERE r.rolname = 'st' AND "
                     "'idle_in_transaction_session_timeout=2s' = ANY (s.setconfig)"),
              std::vector<std::string>{"1"});
    const std::string said = bed.Path("audit.txt");
    EXPECT_EQ(Kdbtool("pool " + bed.adm + " audit", said), 0) << pooltest::ReadText(said);
    EXPECT_EQ(Kdbtool("pool " + bed.db + " verify --pool line --wrap-key " + bed.wrap), 0);
    CPoolKeySource source(bed.pg.ConnInfo("st"), "line", nullptr, bed.options);
    ASSERT_TRUE(source.IsValid()) << source.GetError();
    KeyJobInfo job;
    int32_t index = -1;
    KeyCopy key;
    ASSERT_TRUE(source.TakeKey(job, &index, &key));
    EXPECT_TRUE(source.ReserveKey(index, job));
    EXPECT_TRUE(source.DeliverKey(index, job));
    EXPECT_EQ(Kdbtool("pool " + bed.adm + " audit", said), 0) << pooltest::ReadText(said);
}

TEST(PoolHolds, APoolOfTheFirstReleaseIsUpgradedWithoutLosingAKeyOrAnEvent) {
    UpgradeFrom(1);
}

TEST(PoolHolds, APoolOfTheSecondReleaseIsUpgradedWithoutLosingAKeyOrAnEvent) {
    UpgradeFrom(2);
}

}  // namespace
