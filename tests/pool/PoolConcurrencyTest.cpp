// The pool's own rules against a real server: a station never waits behind another station's
// claim on a key (it takes the next free one), and a key moves only along the allowed steps, with
// the step function out of every station's reach.
#include <gtest/gtest.h>
#include <libpq-fe.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "keydb/pool/PoolKeySource.h"
#include "tests/pool/PgServer.h"
#include "tests/pool/PoolTestKit.h"

namespace {

namespace fs = std::filesystem;

using Conn = std::unique_ptr<PGconn, decltype(&PQfinish)>;

int Kdbtool(const std::string& args) {
    const int status =
        std::system((std::string(KS_KDBTOOL) + " " + args + " >/dev/null 2>&1").c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

Conn Connect(const pooltest::PgServer& pg, const std::string& user) {
    Conn conn(PQconnectdb(pg.ConnInfo(user).c_str()), &PQfinish);
    EXPECT_EQ(PQstatus(conn.get()), CONNECTION_OK) << user << ": " << PQerrorMessage(conn.get());
    return conn;
}

// The first value of the first row, or "" with `ok` false when the statement failed.
std::string Value(PGconn* conn, const std::string& sql, bool* ok = nullptr) {
    PGresult* r = PQexec(conn, sql.c_str());
    const ExecStatusType status = PQresultStatus(r);
    const bool good = status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK;
    std::string value;
    if (status == PGRES_TUPLES_OK && PQntuples(r) > 0 && PQnfields(r) > 0) {
        value = PQgetvalue(r, 0, 0);
    }
    PQclear(r);
    if (ok != nullptr) {
        *ok = good;
    }
    return value;
}

class PoolRules : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(pg_.Ok()) << pg_.Error();
        fs::create_directories(dir_);
        const std::string db = "--db \"" + pg_.ConnInfo("ksadmin") + "\"";
        ASSERT_EQ(Kdbtool("create --keys 40 --key-size 16 " + kdb), 0);
        ASSERT_EQ(Kdbtool("pool keygen " + wrap), 0);
        ASSERT_EQ(Kdbtool("pool " + db + " init"), 0);
        ASSERT_EQ(Kdbtool("pool " + db + " import " + kdb + " --pool line --wrap-key " + wrap), 0);
        ASSERT_TRUE(
            pg_.Sql("CREATE ROLE st1 LOGIN; CREATE ROLE st2 LOGIN;"
                    "GRANT keypool_station TO st1, st2;"));
        // The stations, and the owner's tests of the step function, draw from the pool.
        for (const char* role : {"st1", "st2", "ksadmin"}) {
            ASSERT_EQ(Kdbtool("pool " + db + " bind --pool line " + role), 0);
        }
    }

    pooltest::PgServer pg_;
    const fs::path dir_ = fs::temp_directory_path() / ("kspoolrules." + std::to_string(getpid()));
    const std::string kdb = (dir_ / "keys.kdb").string();
    const std::string wrap = (dir_ / "pool.key").string();
    const pooltest::RemovedAtEnd cleanUp_{dir_.string()};
};

// Row locks of a claim in progress: while one transaction holds the lowest free key (as a
// station's take does until it commits), another station's take returns at once with the next
// key instead of queueing behind it; afterwards the held key is still the next one handed out.
TEST_F(PoolRules, AStationNeverWaitsBehindAnotherStationsClaim) {
    Conn holder = Connect(pg_, "ksadmin");
    Conn st1 = Connect(pg_, "st1");
    Conn st2 = Connect(pg_, "st2");
    bool ok = false;
    Value(holder.get(), "BEGIN", &ok);
    ASSERT_TRUE(ok);
    const std::string held = Value(holder.get(),
                                   "SELECT k.idx FROM keypool.keys k WHERE k.state = 'free' "
                                   "ORDER BY k.idx LIMIT 1 FOR UPDATE",
                                   &ok);
    ASSERT_TRUE(ok);
    ASSERT_EQ(held, "0");

    // A station that queued would sit until the holder ends: the bound turns that into a failure.
    for (PGconn* station : {st1.get(), st2.get()}) {
        Value(station, "SET statement_timeout = '5s'", &ok);
        ASSERT_TRUE(ok);
    }
    const auto start = std::chrono::steady_clock::now();
    const std::string first =
        Value(st1.get(), "CALL keypool.claim_key('line', 1, '1-1', '', '', false)", &ok);
    ASSERT_TRUE(ok) << PQerrorMessage(st1.get());
    const std::string second =
        Value(st2.get(), "CALL keypool.claim_key('line', 2, '1-2', '', '', false)", &ok);
    ASSERT_TRUE(ok) << PQerrorMessage(st2.get());
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_LT(waited, std::chrono::seconds(5));
    EXPECT_EQ(first, "1");
    EXPECT_EQ(second, "2");

    // Jobs that ask together skip every held key and each get the next free one, in job order,
    // with their own slot and serial on the key and on its event.
    Value(holder.get(), "SELECT 1 FROM keypool.keys k WHERE k.idx = 4 FOR UPDATE", &ok);
    ASSERT_TRUE(ok);
    Value(st1.get(),
          "CALL keypool.claim_keys('line', ARRAY[7, 8, 9], ARRAY['p', 'p', 'p'], "
          "ARRAY['a', 'b', 'c'], ARRAY['misc', 'misc', 'misc'])",
          &ok);
    ASSERT_TRUE(ok) << PQerrorMessage(st1.get());
    EXPECT_EQ(pooltest::Column(pg_,
                               "SELECT string_agg(idx || ':' || slot || ':' || serial, ',' "
                               "ORDER BY idx) FROM keypool.keys WHERE slot > 6"),
              std::vector<std::string>{"3:7:a,5:8:b,6:9:c"});
    EXPECT_EQ(pooltest::Column(pg_,
                               "SELECT string_agg(idx || ':' || slot || ':' || serial, ',' "
                               "ORDER BY id) FROM keypool.events WHERE event = 'reserved'"),
              std::vector<std::string>{"3:7:a,5:8:b,6:9:c"});

    // The claim ends without taking the key: it is the next one handed out.
    Value(holder.get(), "ROLLBACK", &ok);
    ASSERT_TRUE(ok);
    EXPECT_EQ(Value(st2.get(), "CALL keypool.claim_key('line', 2, '1-2', '', '', false)"), "0");
}

// Every pair of states against the step function, run by its owner (stations cannot call it at
// all): only taken -> reserved, taken -> free (returned), reserved -> delivered and reserved ->
// spent move a key; a key that may be on a board never becomes free or taken again.
TEST_F(PoolRules, AKeyMovesOnlyAlongTheAllowedSteps) {
    Conn owner = Connect(pg_, "ksadmin");
    const char* const states[] = {"free", "taken", "reserved", "delivered", "spent"};
    const std::set<std::pair<std::string, std::string>> allowed = {
        {"taken", "reserved"},
        {"taken", "free"},
        {"reserved", "delivered"},
        {"reserved", "spent"},
    };
    int idx = 0;
    for (const std::string from : states) {
        for (const std::string to : states) {
            SCOPED_TRACE(from + " -> " + to);
            ++idx;
            bool ok = false;
            Value(owner.get(),
                  "UPDATE keypool.keys SET state = '" + from +
                      "', station = session_user WHERE idx = " + std::to_string(idx),
                  &ok);
            ASSERT_TRUE(ok) << PQerrorMessage(owner.get());
            const std::string moved =
                Value(owner.get(),
                      "SELECT keypool.step_key('line', " + std::to_string(idx) + ", '" + from +
                          "', '" + to + "', 'SN', 'misc', 'IDS_X', 0)",
                      &ok);
            ASSERT_TRUE(ok) << PQerrorMessage(owner.get());
            const bool expected = allowed.count({from, to}) != 0;
            EXPECT_EQ(moved, expected ? "t" : "f");
            EXPECT_EQ(Value(owner.get(),
                            "SELECT state FROM keypool.keys WHERE idx = " + std::to_string(idx)),
                      expected ? to : from);
        }
    }
    // Out of every station's reach: only the named station functions are granted.
    Conn st1 = Connect(pg_, "st1");
    bool ok = true;
    Value(st1.get(), "SELECT keypool.step_key('line', 1, 'reserved', 'free', '', '', '', 0)", &ok);
    EXPECT_FALSE(ok);
}

}  // namespace

namespace {

// Runs fn(0) .. fn(n - 1) on n threads released together, as a station's slots ask at once.
void Together(int n, const std::function<void(int)>& fn) {
    std::atomic<int> ready{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < n; ++i) {
        threads.emplace_back([&, i] {
            ++ready;
            while (ready.load() < n) {
                std::this_thread::yield();
            }
            fn(i);
        });
    }
    for (std::thread& t : threads) {
        t.join();
    }
}

}  // namespace

// Jobs that check, draw and deliver at the same moment share calls: each still gets a key of its
// own that opens with the wrap key, a board's bytes that the server would refuse (not UTF-8,
// quotes, a backslash) fail nobody, its serial is found again as the board sent it, the limit
// holds inside one call, and the event chain stays whole.
TEST_F(PoolRules, JobsThatAskTogetherEachGetTheirOwnKeyAndTheLimitHolds) {
    PoolSourceOptions options;
    options.wrapKeyFile = wrap;
    CPoolKeySource source(pg_.ConnInfo("st1"), "line", nullptr, options);
    ASSERT_TRUE(source.IsValid()) << source.GetError();
    const std::map<std::string, uint32_t> fileKeys = pooltest::FileKeys(kdb);
    const std::string hostile = "\xff\xfe\"SN\\'4";
    auto jobOf = [&](int i) {
        KeyJobInfo job;
        job.slot = i + 1;
        job.portLocation = "1-" + std::to_string(i + 1);
        job.serial = i == 3 ? hostile : "SN-" + std::to_string(i);
        job.destination = "misc";
        return job;
    };

    std::vector<int32_t> index(16, -1);
    std::vector<std::string> bytes(16);
    Together(16, [&](int i) {
        KeyCopy key;
        if (source.TakeKey(jobOf(i), &index[i], &key) && source.ReserveKey(index[i], jobOf(i))) {
            bytes[i].assign(reinterpret_cast<const char*>(key.data()), key.size());
        }
    });
    std::set<int32_t> distinct;
    for (int i = 0; i < 16; ++i) {
        ASSERT_GE(index[i], 0) << "job " << i;
        ASSERT_TRUE(fileKeys.count(bytes[i])) << "job " << i << ": not a key of the file";
        EXPECT_EQ(fileKeys.at(bytes[i]), static_cast<uint32_t>(index[i])) << "job " << i;
        distinct.insert(index[i]);
    }
    EXPECT_EQ(distinct.size(), 16u);
    // Each key carries its own job's slot, port and serial, and so does its event.
    for (int i = 0; i < 16; ++i) {
        const std::string expected = std::to_string(i + 1) + " 1-" + std::to_string(i + 1) + " " +
                                     (i == 3 ? std::string("??\"SN\\'4") : jobOf(i).serial);
        for (const char* table : {"keys WHERE true", "events WHERE event = 'reserved'"}) {
            EXPECT_EQ(
                pooltest::Column(pg_,
                                 "SELECT slot || ' ' || port_location || ' ' || serial "
                                 "FROM keypool." +
                                     std::string(table) + " AND idx = " + std::to_string(index[i])),
                std::vector<std::string>{expected})
                << "job " << i << ", " << table;
        }
    }
    EXPECT_TRUE(source.WasReservedFor(hostile));
    EXPECT_FALSE(source.WasReservedFor("SN-never"));

    std::vector<int> delivered(16, 0);
    std::vector<int> used(17, 0);
    Together(16, [&](int i) {
        delivered[i] = source.DeliverKey(index[i], jobOf(i)) ? 1 : 0;
        used[i] =
            source.IsUsedKey(reinterpret_cast<const uint8_t*>(bytes[i].data()), bytes[i].size())
                ? 1
                : 0;
    });
    for (int i = 0; i < 16; ++i) {
        EXPECT_EQ(delivered[i], 1) << "job " << i;
        EXPECT_EQ(used[i], 1) << "job " << i;
    }
    const auto free39 = std::find_if(fileKeys.begin(), fileKeys.end(),
                                     [](const auto& entry) { return entry.second == 39; });
    ASSERT_NE(free39, fileKeys.end());
    EXPECT_FALSE(source.IsUsedKey(reinterpret_cast<const uint8_t*>(free39->first.data()),
                                  free39->first.size()));
    EXPECT_EQ(pooltest::Column(pg_, "SELECT count(*) FROM keypool.keys WHERE state = 'delivered'"),
              std::vector<std::string>{"16"});

    // Both guards asked together by sixteen boards in one call: served by its serial number, by
    // its key area, by both or by neither; a blank area is no key of this pool.
    const std::string zeros(bytes[0].size(), '\0');
    std::vector<int> served(16, -1);
    Together(16, [&](int i) {
        const std::string serial = i % 4 < 2 ? jobOf(i).serial : "SN-new-" + std::to_string(i);
        const std::string& area = i % 2 == 0 ? bytes[i] : i % 4 == 1 ? zeros : free39->first;
        const auto answer =
            source.WasServed(serial, reinterpret_cast<const uint8_t*>(area.data()), area.size());
        served[i] = answer == IKeySource::Served::kServed      ? 1
                    : answer == IKeySource::Served::kNotServed ? 0
                                                               : 2;
    });
    for (int i = 0; i < 16; ++i) {
        EXPECT_EQ(served[i], i % 4 == 3 ? 0 : 1) << "board " << i;
    }
    // A pool that holds a key looking like a blank area (put there past import, which refuses
    // it) has every blank area asked about: once the source has read the pool's info again.
    auto blankUsed = [&] {
        return source.IsUsedKey(reinterpret_cast<const uint8_t*>(zeros.data()), zeros.size());
    };
    EXPECT_FALSE(blankUsed());
    const std::vector<std::string> digest39 =
        pooltest::Column(pg_, "SELECT encode(digest, 'hex') FROM keypool.keys WHERE idx = 39");
    ASSERT_EQ(digest39.size(), 1u);
    ASSERT_TRUE(pg_.Sql("UPDATE keypool.keys SET digest = sha256(decode(repeat('00', " +
                        std::to_string(zeros.size()) + "), 'hex')), state = 'delivered', " +
                        "station = 'st1' WHERE idx = 39"));
    KeySourceCounts counts;
    ASSERT_TRUE(source.GetCounts(&counts));
    EXPECT_TRUE(blankUsed());
    CPoolKeySource loaded(pg_.ConnInfo("st1"), "line", nullptr, options);
    ASSERT_TRUE(loaded.IsValid()) << loaded.GetError();
    EXPECT_EQ(
        loaded.WasServed("SN-never", reinterpret_cast<const uint8_t*>(zeros.data()), zeros.size()),
        IKeySource::Served::kServed);
    ASSERT_TRUE(
        pg_.Sql("UPDATE keypool.keys SET state = 'free', station = NULL, digest = decode('" +
                digest39[0] + "', 'hex') WHERE idx = 39"));

    // Past the limit within one call: four of eight get a key, four are refused with an event.
    ASSERT_TRUE(pg_.Sql("UPDATE keypool.bindings SET max_open = 4 WHERE station = 'st1'"));
    std::atomic<int> drawn{0};
    Together(8, [&](int i) {
        int32_t idx = -1;
        KeyCopy key;
        if (source.TakeKey(jobOf(i), &idx, &key) && source.ReserveKey(idx, jobOf(i))) {
            ++drawn;
        }
    });
    EXPECT_EQ(drawn.load(), 4);
    EXPECT_EQ(pooltest::Column(pg_, "SELECT count(*) FROM keypool.events WHERE event = 'refused'"),
              std::vector<std::string>{"4"});
    EXPECT_EQ(Kdbtool("pool --db \"" + pg_.ConnInfo("ksadmin") + "\" audit"), 0);
}
