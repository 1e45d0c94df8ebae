// The key pool attacked as a station, an administrator, a superuser, a dump and the network path
// would attack it, against a real server: no key leaves without a committed reservation under the
// asking station's name, a station holds no more than its limit, no key enters twice, export is
// a transfer, history cannot be rewritten unnoticed, and a dump holds no key.
#include <gtest/gtest.h>
#include <libpq-fe.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "keydb/KeyFile.h"
#include "keydb/KeyFileWriter.h"
#include "keydb/KeyJournal.h"
#include "keydb/pool/PoolKeySource.h"
#include "tests/pool/PgServer.h"
#include "tests/pool/PoolTestKit.h"

namespace {

namespace fs = std::filesystem;
using pooltest::Allowed;
using pooltest::Column;
using pooltest::Kdbtool;
using pooltest::ReadText;

struct Bed {
    pooltest::PgServer pg;
    fs::path dir;
    std::string db;    // --db "..." as the superuser (init only)
    std::string adm;   // --db "..." as the administrator
    std::string aud;   // --db "..." as the auditor
    std::string wrap;  // the wrap key file
    PoolSourceOptions options;

    Bed() {
        dir = fs::temp_directory_path() / ("kspoolattack." + std::to_string(getpid()));
        fs::remove_all(dir);
        fs::create_directories(dir);
        db = "--db \"" + pg.ConnInfo("ksadmin") + "\"";
        adm = "--db \"" + pg.ConnInfo("keyadmin") + "\"";
        aud = "--db \"" + pg.ConnInfo("auditor") + "\"";
        wrap = (dir / "pool.key").string();
        options.wrapKeyFile = wrap;
    }
    ~Bed() { fs::remove_all(dir); }
    std::string Path(const std::string& name) const { return (dir / name).string(); }
    // init, the administrator, the auditor and station roles st1, st2 (bound) and st3 (not).
    bool SetUp() {
        return pg.Ok() && Kdbtool("pool keygen " + wrap) == 0 &&
               Kdbtool("pool " + db + " init") == 0 &&
               pg.Sql(
                   "CREATE ROLE keyadmin LOGIN; GRANT keypool_admin TO keyadmin;"
                   "CREATE ROLE auditor LOGIN; GRANT keypool_auditor TO auditor;"
                   "CREATE ROLE st1 LOGIN; CREATE ROLE st2 LOGIN; CREATE ROLE st3 LOGIN;"
                   "GRANT keypool_station TO st1, st2, st3;");
    }
};

// Every value of every row a statement returned (or nothing when the server refused it).
std::vector<std::string> Values(PGconn* conn, const std::string& sql, int format = 1) {
    PGresult* r = PQexecParams(conn, sql.c_str(), 0, nullptr, nullptr, nullptr, nullptr, format);
    std::vector<std::string> out;
    for (int i = 0; PQresultStatus(r) == PGRES_TUPLES_OK && i < PQntuples(r); ++i) {
        for (int f = 0; f < PQnfields(r); ++f) {
            out.emplace_back(PQgetvalue(r, i, f), static_cast<size_t>(PQgetlength(r, i, f)));
        }
    }
    PQclear(r);
    return out;
}

std::string Hex(const std::string& bytes) {
    return HexBytes(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

TEST(PoolAttacks, AStationReadsNoKeyWithoutACommittedReservationAndCannotHarvestThePool) {
    Bed bed;
    ASSERT_TRUE(bed.SetUp()) << bed.pg.Error();
    const std::string kdb = bed.Path("keys.kdb");
    ASSERT_EQ(Kdbtool("create --keys 200 --key-size 32 " + kdb), 0);
    const std::map<std::string, uint32_t> clear = pooltest::FileKeys(kdb);
    ASSERT_EQ(Kdbtool("pool " + bed.adm + " import " + kdb + " --pool line --wrap-key " + bed.wrap),
              0);
    ASSERT_EQ(Kdbtool("pool " + bed.adm + " bind --pool line --limit 8 st1"), 0);
    ASSERT_EQ(Kdbtool("pool " + bed.adm + " bind --pool line st2"), 0);
    // Every stored key: clear and as hex (from the file), wrapped and as hex (from the table).
    std::set<std::string> stored;
    for (const std::string& hex :
         Column(bed.pg, "SELECT encode(wrapped, 'hex') FROM keypool.keys")) {
        std::string raw;
        for (size_t i = 0; i + 1 < hex.size(); i += 2) {
            raw += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
        }
        stored.insert(raw);
        stored.insert(hex);
    }
    for (const auto& [bytes, idx] : clear) {
        stored.insert(bytes);
        stored.insert(Hex(bytes));
    }
    auto leaked = [&](const std::vector<std::string>& values) {
        int n = 0;
        for (const std::string& v : values) {
            for (const std::string& k : stored) {
                n += v.find(k) != std::string::npos ? 1 : 0;
            }
        }
        return n;
    };

    // Attack 1: take inside a transaction and roll back. Every station-callable procedure and
    // function is tried; whatever any of them returned is compared with every stored key, clear
    // and wrapped. (The procedures refuse to commit inside the transaction: nothing is claimed.)
    pooltest::Conn st1 = pooltest::Connect(bed.pg.ConnInfo("st1"));
    ASSERT_EQ(PQstatus(st1.get()), CONNECTION_OK);
    std::vector<std::string> seen;
    Values(st1.get(), "BEGIN");
    for (int i = 0; i < 6; ++i) {
        Values(st1.get(), "SAVEPOINT s");
        const auto claimed =
            Values(st1.get(), "CALL keypool.claim_key('line', 1, 'x', 'SN', 'misc', true)");
        seen.insert(seen.end(), claimed.begin(), claimed.end());
        Values(st1.get(), "RELEASE s");
        const std::string n = std::to_string(i);
        for (const std::string& text :
             {"CALL keypool.fetch_key('line', " + n + ")",
              "CALL keypool.fetch_keys('line', ARRAY[" + n + ", 0, 1])",
              "SELECT * FROM keypool.station_fetch('line', ARRAY[" + n + ", 0, 1])",
              std::string("CALL keypool.claim_keys('line', ARRAY[1, 2], ARRAY['x', 'y'], "
                          "ARRAY['SN', 'SN2'], ARRAY['misc', 'misc'])"),
              std::string("SELECT * FROM keypool.station_claim('line', ARRAY[1], ARRAY['x'], "
                          "ARRAY['SN'], ARRAY['misc'], true)"),
              "CALL keypool.deliver_keys('line', ARRAY[" + n + "])",
              std::string("SELECT * FROM keypool.pool_info('line')"),
              std::string("CALL keypool.return_unfetched('line')"),
              "CALL keypool.return_key('line', " + n + ")",
              "CALL keypool.deliver_key('line', " + n + ")"}) {
            Values(st1.get(), "SAVEPOINT s");
            const auto got = Values(st1.get(), text);
            seen.insert(seen.end(), got.begin(), got.end());
            Values(st1.get(), "ROLLBACK TO s");
        }
    }
    Values(st1.get(), "ROLLBACK");
    EXPECT_FALSE(seen.empty());  // the calls answered: the counts
    EXPECT_EQ(leaked(seen), 0) << "a key left the server in a rolled-back transaction";
    EXPECT_EQ(Column(bed.pg, "SELECT count(*) FROM keypool.keys WHERE state = 'free'"),
              std::vector<std::string>{"200"});

    // A committed draw hands out bytes; no read in a transaction that rolls back, and reading
    // them again reads only this station's own reservation, which stays reserved for good.
    const auto claimed = Values(st1.get(),
                                "CALL keypool.claim_keys('line', ARRAY[2], ARRAY['y'], "
                                "ARRAY['SN-A'], ARRAY['misc'])",
                                0);
    ASSERT_EQ(claimed, (std::vector<std::string>{"{0}", "{ok}"}));
    const auto drawn = Values(st1.get(), "CALL keypool.fetch_key('line', 0)");
    ASSERT_EQ(drawn.size(), 1u);
    EXPECT_EQ(leaked(drawn), 1);
    Values(st1.get(), "BEGIN");
    EXPECT_TRUE(Values(st1.get(), "CALL keypool.fetch_key('line', 0)").empty());
    Values(st1.get(), "ROLLBACK");
    EXPECT_EQ(Values(st1.get(), "CALL keypool.fetch_key('line', 0)"), drawn);
    EXPECT_EQ(Column(bed.pg, "SELECT state || ' ' || station FROM keypool.keys WHERE idx = 0"),
              std::vector<std::string>{"reserved st1"});
    // Its bytes left: it can never be returned. Another station cannot read it.
    EXPECT_EQ(Values(st1.get(), "CALL keypool.return_key('line', 0)"),
              std::vector<std::string>{std::string(1, '\0')});
    EXPECT_TRUE(
        Column(bed.pg, "SELECT 1 FROM keypool.keys WHERE idx = 0 AND state = 'free'").empty());
    pooltest::Conn st2 = pooltest::Connect(bed.pg.ConnInfo("st2"));
    EXPECT_EQ(leaked(Values(st2.get(), "CALL keypool.fetch_key('line', 0)")), 0);

    // Attack 2: take everything and give it back. st1 stops at its limit (8 without an end),
    // refused with an event; none of its keys goes back; st2 still draws.
    CPoolKeySource source1(bed.pg.ConnInfo("st1"), "line", nullptr, bed.options);
    ASSERT_TRUE(source1.IsValid()) << source1.GetError();
    KeyJobInfo job;
    int32_t index = -1;
    KeyCopy key;
    std::vector<int32_t> mine{0};
    for (job.slot = 1; job.slot <= 20 && source1.TakeKey(job, &index, &key); ++job.slot) {
        EXPECT_EQ(clear.at(std::string(key.data(), key.data() + key.size())),
                  static_cast<uint32_t>(index));
        mine.push_back(index);
    }
    EXPECT_EQ(mine.size(), 8u);
    for (const int32_t i : mine) {
        source1.ReturnUnsentKey(i, job);
    }
    EXPECT_EQ(Column(bed.pg, "SELECT count(*) FROM keypool.keys WHERE state = 'free'"),
              std::vector<std::string>{"192"});
    EXPECT_EQ(Column(bed.pg,
                     "SELECT count(*) FROM keypool.events WHERE event = 'refused' AND "
                     "station = 'st1'"),
              std::vector<std::string>{"1"});
    CPoolKeySource source2(bed.pg.ConnInfo("st2"), "line", nullptr, bed.options);
    ASSERT_TRUE(source2.IsValid()) << source2.GetError();
    job.slot = 1;
    job.serial = "SN-B";
    ASSERT_TRUE(source2.TakeKey(job, &index, &key));
    ASSERT_TRUE(source2.ReserveKey(index, job));
    ASSERT_TRUE(source2.DeliverKey(index, job));
    // A key claimed without its bytes goes back when its station loads the pool again.
    Values(st2.get(), "CALL keypool.claim_key('line', 3, 'z', '', '', false)");
    EXPECT_EQ(Column(bed.pg, "SELECT count(*) FROM keypool.keys WHERE state = 'taken'"),
              std::vector<std::string>{"1"});
    { CPoolKeySource reload(bed.pg.ConnInfo("st2"), "line", nullptr, bed.options); }
    EXPECT_EQ(Column(bed.pg, "SELECT count(*) FROM keypool.keys WHERE state = 'taken'"),
              std::vector<std::string>{"0"});

    // Attack 8: a station not bound to the pool draws nothing and learns nothing; the serial
    // number query answers a station only about its own reservations.
    CPoolKeySource outsider(bed.pg.ConnInfo("st3"), "line", nullptr, bed.options);
    EXPECT_FALSE(outsider.IsValid());
    pooltest::Conn st3 = pooltest::Connect(bed.pg.ConnInfo("st3"));
    EXPECT_EQ(Values(st3.get(), "CALL keypool.claim_key('line', 1, 'x', '', '', true)", 0),
              (std::vector<std::string>{"", "unbound"}));
    EXPECT_TRUE(source1.WasReservedFor("SN-A"));   // its own reservation
    EXPECT_FALSE(source2.WasReservedFor("SN-A"));  // st1's board
    EXPECT_TRUE(source2.WasReservedFor("SN-B"));
    ASSERT_EQ(Kdbtool("pool " + bed.adm + " unbind --pool line st2"), 0);
    EXPECT_FALSE(source2.TakeKey(job, &index, &key));

    // Status and audit show per station what it did; the audit passes.
    const std::string status = bed.Path("status.txt");
    ASSERT_EQ(Kdbtool("pool " + bed.aud + " status", status), 0);
    EXPECT_NE(ReadText(status).find("station st1: claimed 8 reserved 8 fetched 8 delivered 0 "
                                    "returned 0 spent 7 in doubt 1 refused 1"),
              std::string::npos)
        << ReadText(status);
    EXPECT_EQ(Kdbtool("pool " + bed.aud + " audit"), 0);
}

// Writes a key file with exactly these keys (none used).
bool WriteKeys(const std::string& path, const std::vector<std::string>& keys) {
    class Source final : public IKeyDataSource {
      public:
        explicit Source(std::string all) : all_(std::move(all)) {}
        bool Read(uint8_t* buffer, size_t len, std::string* error) override {
            if (len > all_.size() - at_) {
                *error = "short";
                return false;
            }
            std::memcpy(buffer, all_.data() + at_, len);
            at_ += len;
            return true;
        }

      private:
        std::string all_;
        size_t at_ = 0;
    };
    std::string all;
    for (const std::string& k : keys) {
        all += k;
    }
    Source source(all);
    KeyFileLayout layout;
    layout.keyCount = static_cast<uint32_t>(keys.size());
    layout.keySize = static_cast<uint32_t>(keys[0].size());
    std::string error;
    return WriteKeyFile(path, layout, source, false, &error);
}

TEST(PoolAttacks, NoKeyEntersTwiceExportTransfersAndHistoryAndDumpsGiveNothingAway) {
    Bed bed;
    ASSERT_TRUE(bed.SetUp()) << bed.pg.Error();
    const std::string a = bed.Path("a.kdb");
    ASSERT_EQ(Kdbtool("create --keys 100 --key-size 32 " + a), 0);
    std::vector<std::string> keysA(100);
    for (const auto& [bytes, idx] : pooltest::FileKeys(a)) {
        keysA[idx] = bytes;
    }
    ASSERT_EQ(Kdbtool("pool " + bed.adm + " import " + a + " --pool a --wrap-key " + bed.wrap), 0);

    // Attack 4: a file sharing keys with an earlier import, a file holding one key twice.
    std::vector<std::string> overlap(keysA.begin() + 90, keysA.end());
    for (int i = 0; i < 10; ++i) {
        overlap.push_back(std::string(32, static_cast<char>('a' + i)));
    }
    ASSERT_TRUE(WriteKeys(bed.Path("overlap.kdb"), overlap));
    const std::string out = bed.Path("out.txt");
    EXPECT_EQ(Kdbtool("pool " + bed.adm + " import " + bed.Path("overlap.kdb") +
                          " --pool b --wrap-key " + bed.wrap,
                      out),
              1);
    EXPECT_NE(ReadText(out).find("key 0 is key 90 of pool a"), std::string::npos) << ReadText(out);
    // A file holding one key twice cannot even be written (nor loaded) any more.
    std::vector<std::string> twice(10, std::string(32, 'z'));
    for (int i = 1; i < 10; ++i) {
        twice[i] = std::string(32, static_cast<char>('0' + i));
    }
    twice[7] = twice[2];
    EXPECT_FALSE(WriteKeys(bed.Path("twice.kdb"), twice));
    // A key all 0xFF is what an erased board holds: it could go onto a board twice unnoticed.
    std::vector<std::string> blank = overlap;
    blank.erase(blank.begin(), blank.begin() + 10);
    blank[4] = std::string(32, '\xff');
    ASSERT_TRUE(WriteKeys(bed.Path("blank.kdb"), blank));
    EXPECT_EQ(Kdbtool("pool " + bed.adm + " import " + bed.Path("blank.kdb") +
                          " --pool b --wrap-key " + bed.wrap,
                      out),
              1);
    EXPECT_NE(ReadText(out).find("cannot be told from a board without a key"), std::string::npos)
        << ReadText(out);
    EXPECT_EQ(Column(bed.pg, "SELECT string_agg(name, ',') FROM keypool.pools"),
              std::vector<std::string>{"a"});

    // An operator imports an older copy of a key file put back beside its journal: the keys the
    // journal says went out arrive spent; without a readable journal the import is refused.
    const std::string c = bed.Path("c.kdb");
    ASSERT_EQ(Kdbtool("create --keys 10 --key-size 32 " + c), 0);
    std::filesystem::copy_file(c, bed.Path("c.bak"));
    {
        CKeyFile file(c);
        ASSERT_TRUE(file.IsValid()) << file.GetError();
        KeyJobInfo job;
        int32_t index = -1;
        KeyCopy key;
        for (int i = 0; i < 2; ++i) {
            ASSERT_TRUE(file.GetKey(&index, &key));
            ASSERT_TRUE(file.ReserveKey(index, job));
            ASSERT_TRUE(file.DeliverKey(index, job));
        }
    }
    std::filesystem::copy_file(bed.Path("c.bak"), c,
                               std::filesystem::copy_options::overwrite_existing);
    std::filesystem::rename(c + ".journal.jsonl", c + ".j");
    std::filesystem::create_directory(c + ".journal.jsonl");
    EXPECT_EQ(Kdbtool("pool " + bed.adm + " import " + c + " --pool c --wrap-key " + bed.wrap, out),
              1);
    EXPECT_NE(ReadText(out).find("journal cannot be read"), std::string::npos) << ReadText(out);
    std::filesystem::remove(c + ".journal.jsonl");
    std::filesystem::rename(c + ".j", c + ".journal.jsonl");
    EXPECT_EQ(Kdbtool("pool " + bed.adm + " import " + c + " --pool c --wrap-key " + bed.wrap, out),
              0);
    EXPECT_NE(ReadText(out).find("2 of them were free in the file but used by its journal"),
              std::string::npos)
        << ReadText(out);
    EXPECT_EQ(Column(bed.pg,
                     "SELECT string_agg(k.idx::text || k.state, ',' ORDER BY k.idx) FROM "
                     "keypool.keys k JOIN keypool.pools p ON p.id = k.pool_id "
                     "WHERE p.name = 'c' AND k.state <> 'free'"),
              std::vector<std::string>{"0spent,1spent"});

    // A station delivers five keys; then attack 5: export writes the other 95 as unused and the
    // pool never hands them out again; the file holds no byte of the five.
    ASSERT_EQ(Kdbtool("pool " + bed.adm + " bind --pool a st1"), 0);
    {
        CPoolKeySource st1(bed.pg.ConnInfo("st1"), "a", nullptr, bed.options);
        ASSERT_TRUE(st1.IsValid()) << st1.GetError();
        KeyJobInfo job;
        int32_t index = -1;
        KeyCopy key;
        for (job.slot = 1; job.slot <= 5; ++job.slot) {
            ASSERT_TRUE(st1.TakeKey(job, &index, &key));
            ASSERT_TRUE(st1.ReserveKey(index, job));
            ASSERT_TRUE(st1.DeliverKey(index, job));
        }
    }
    const std::string exported = bed.Path("exported.kdb");
    ASSERT_EQ(
        Kdbtool("pool " + bed.adm + " export --pool a --wrap-key " + bed.wrap + " " + exported), 0);
    {
        CKeyFile file(exported, nullptr, KeyFileAccess::VerifyOnly);
        ASSERT_TRUE(file.IsValid()) << file.GetError();
        const std::map<std::string, uint32_t> inFile = pooltest::FileKeys(exported);
        for (uint32_t i = 0; i < 100; ++i) {
            EXPECT_EQ(file.IsMarkedUsedAtLoad(i), i < 5) << i;
            EXPECT_EQ(inFile.count(keysA[i]), i < 5 ? 0u : 1u) << i;
        }
    }
    EXPECT_EQ(Column(bed.pg, "SELECT count(*) FROM keypool.keys WHERE state = 'exported'"),
              std::vector<std::string>{"95"});
    {
        CPoolKeySource st1(bed.pg.ConnInfo("st1"), "a", nullptr, bed.options);
        KeyJobInfo job;
        int32_t index = -1;
        KeyCopy key;
        EXPECT_FALSE(st1.TakeKey(job, &index, &key));
    }
    EXPECT_EQ(Kdbtool("pool " + bed.adm + " export --pool a --wrap-key " + bed.wrap + " " +
                      bed.Path("second.kdb")),
              1);
    EXPECT_EQ(
        Kdbtool("pool " + bed.adm + " import " + exported + " --pool back --wrap-key " + bed.wrap),
        1);

    // Attack 6: the administrator acts only through the owner's functions; nobody is the owner.
    EXPECT_EQ(Column(bed.pg,
                     "SELECT count(*) FROM pg_auth_members WHERE roleid = "
                     "'keypool_owner'::regrole"),
              std::vector<std::string>{"0"});
    for (const char* sql : {"DELETE FROM keypool.events", "UPDATE keypool.events SET station = 'x'",
                            "ALTER TABLE keypool.events DISABLE TRIGGER ALL",
                            "UPDATE keypool.keys SET state = 'free'", "SET ROLE keypool_owner",
                            "SELECT wrapped FROM keypool.keys",
                            "INSERT INTO keypool.events (pool_id, idx, event, station) VALUES "
                            "(1, 1, 'returned', 'x')"}) {
        EXPECT_FALSE(Allowed(bed.pg, "keyadmin", sql)) << sql;
        EXPECT_FALSE(Allowed(bed.pg, "auditor", sql)) << sql;
    }
    EXPECT_EQ(Kdbtool("pool " + bed.aud + " bind --pool a st2"), 1);  // the auditor only reads
    const std::string audit = bed.Path("audit.json");
    ASSERT_EQ(Kdbtool("pool " + bed.aud + " audit --json", audit), 0) << ReadText(audit);
    const std::string report = ReadText(audit);
    const size_t at = report.find("\"headHash\": \"");
    ASSERT_NE(at, std::string::npos);
    const std::string head = report.substr(at + 13, 64);

    // A superuser can rewrite everything; the chain shows an edit in the middle, and the head
    // hash an earlier audit printed shows a tail cut off and the state set back to match.
    const std::string deliveredEvent =
        Column(bed.pg, "SELECT max(id) FROM keypool.events WHERE event = 'delivered'")[0];
    ASSERT_TRUE(
        bed.pg.Sql("ALTER TABLE keypool.events DISABLE TRIGGER events_append_only;"
                   "DELETE FROM keypool.events WHERE id > " +
                   deliveredEvent +
                   " - 1;"
                   "UPDATE keypool.keys SET state = 'free', station = NULL, exported_at = NULL "
                   "WHERE state = 'exported';"
                   "UPDATE keypool.keys SET state = 'reserved' WHERE idx = 4 AND pool_id = "
                   "(SELECT id FROM keypool.pools WHERE name = 'a');"
                   "ALTER TABLE keypool.events ENABLE TRIGGER events_append_only;"));
    EXPECT_EQ(Kdbtool("pool " + bed.aud + " audit"), 0);  // consistent on its own
    EXPECT_EQ(Kdbtool("pool " + bed.aud + " audit --expect-head " + head), 1);
    ASSERT_TRUE(
        bed.pg.Sql("ALTER TABLE keypool.events DISABLE TRIGGER events_append_only;"
                   "UPDATE keypool.events SET event = 'returned', step = NULL WHERE idx = 2 AND "
                   "event = 'delivered';"
                   "ALTER TABLE keypool.events ENABLE TRIGGER events_append_only;"
                   "UPDATE keypool.keys SET state = 'free' WHERE idx = 2;"));
    ASSERT_EQ(Kdbtool("pool " + bed.aud + " audit", out), 1);
    EXPECT_NE(ReadText(out).find("chain BROKEN"), std::string::npos) << ReadText(out);

    // Attack 7: a dump of the whole database holds none of the keys, clear or as hex.
    const std::string dump = bed.Path("dump.sql");
    ASSERT_EQ(
        std::system(
            (bed.pg.Bin() + "/pg_dump \"" + bed.pg.ConnInfo("ksadmin") + "\" >" + dump).c_str()),
        0);
    const std::string dumped = ReadText(dump);
    EXPECT_NE(dumped.find("keypool.keys"), std::string::npos);
    for (const std::string& k : keysA) {
        EXPECT_EQ(dumped.find(k), std::string::npos);
        EXPECT_EQ(dumped.find(Hex(k)), std::string::npos);
    }
}

}  // namespace
