// The shared key pool against a real server: stations on many connections drain one pool at once,
// every key state through the station functions, what a station role may not do, and the
// administration commands (import once, bind, audit) around it.
#include <gtest/gtest.h>
#include <libpq-fe.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "keydb/KeyFile.h"
#include "keydb/pool/PoolKeySource.h"
#include "tests/pool/PgServer.h"
#include "tests/pool/PoolTestKit.h"

namespace {

namespace fs = std::filesystem;

using pooltest::Allowed;
using pooltest::Kdbtool;

struct Taken {
    int32_t index = -1;
    std::string bytes;
    CPoolKeySource* source = nullptr;
    bool second = false;  // taken by station st2
    std::string serial;   // the board's serial number the draw recorded
};

TEST(KeyPool, StationsDrainOnePoolEachKeyOnceWithinTheirRights) {
    pooltest::PgServer pg;
    ASSERT_TRUE(pg.Ok()) << pg.Error();
    const fs::path dir = fs::temp_directory_path() / ("kspooltest." + std::to_string(getpid()));
    fs::create_directories(dir);
    const pooltest::RemovedAtEnd cleanUp(dir.string());
    const std::string kdb = (dir / "keys.kdb").string();
    const std::string db = "--db \"" + pg.ConnInfo("ksadmin") + "\"";
    constexpr uint32_t kKeys = 300;
    constexpr uint32_t kUsed = 10;  // 0-9 used in the file: imported as spent
    ASSERT_EQ(Kdbtool("create --keys 300 --key-size 48 --used 0-9 " + kdb), 0);
    std::map<std::string, uint32_t> fileKeys = pooltest::FileKeys(kdb);
    const std::string wrap = (dir / "pool.key").string();
    ASSERT_EQ(Kdbtool("pool keygen " + wrap), 0);
    ASSERT_EQ(Kdbtool("pool " + db + " init"), 0);
    ASSERT_EQ(Kdbtool("pool " + db + " import " + kdb + " --pool line --wrap-key " + wrap), 0);
    EXPECT_EQ(Kdbtool("pool " + db + " import " + kdb + " --pool again --wrap-key " + wrap),
              1);  // the same keys
    ASSERT_TRUE(
        pg.Sql("CREATE ROLE st1 LOGIN; CREATE ROLE st2 LOGIN; CREATE ROLE outsider LOGIN;"
               "GRANT keypool_station TO st1, st2;"));
    ASSERT_EQ(Kdbtool("pool " + db + " bind --pool line --limit 4096 st1"), 0);
    ASSERT_EQ(Kdbtool("pool " + db + " bind --pool line --limit 4096 st2"), 0);
    EXPECT_EQ(Kdbtool("pool " + db + " bind --pool line outsider"), 1);  // not a station role
    PoolSourceOptions options;
    options.wrapKeyFile = wrap;

    // Eight connections of two stations take keys at once until the pool is empty.
    std::vector<std::unique_ptr<CPoolKeySource>> sources;
    for (int i = 0; i < 8; ++i) {
        sources.push_back(std::make_unique<CPoolKeySource>(pg.ConnInfo(i % 2 ? "st2" : "st1"),
                                                           "line", nullptr, options));
        ASSERT_TRUE(sources.back()->IsValid()) << sources.back()->GetError();
    }
    KeySourceCounts counts;
    ASSERT_TRUE(sources[0]->GetCounts(&counts));
    EXPECT_EQ(counts.keys, kKeys);
    EXPECT_EQ(counts.unused, kKeys - kUsed);
    EXPECT_EQ(sources[0]->GetKeySize(), 48);
    std::mutex lock;
    std::vector<Taken> taken;
    std::vector<std::thread> threads;
    for (auto& source : sources) {
        const bool second = threads.size() % 2 == 1;
        const std::string board = "SN-" + std::to_string(threads.size()) + "-";
        threads.emplace_back([&, s = source.get(), second, board] {
            KeyJobInfo job;
            job.portLocation = "1-3";
            int32_t index = -1;
            KeyCopy key;
            // Each draw as another slot's job: a slot's next draw ends its earlier job. Each
            // board has its own serial number, recorded with the reservation the draw makes.
            while ((++job.slot, job.serial = board + std::to_string(job.slot),
                    s->TakeKey(job, &index, &key))) {
                std::lock_guard<std::mutex> guard(lock);
                taken.push_back({index, std::string(key.data(), key.data() + key.size()), s, second,
                                 job.serial});
            }
        });
    }
    for (auto& t : threads) {
        t.join();
    }
    ASSERT_EQ(taken.size(), kKeys - kUsed);
    std::set<int32_t> indices;
    for (const auto& t : taken) {
        EXPECT_TRUE(indices.insert(t.index).second) << "key " << t.index << " taken twice";
        ASSERT_EQ(fileKeys.count(t.bytes), 1u);
        EXPECT_EQ(fileKeys[t.bytes], static_cast<uint32_t>(t.index)) << "bytes of another key";
        EXPECT_GE(t.index, static_cast<int32_t>(kUsed));
    }

    // Another station may move none of these keys; their own station takes each on its road. A
    // drawn key is reserved already: its bytes left the server, so giving it back spends it.
    KeyJobInfo job;
    job.serial = "SN-1";
    job.destination = "misc";
    std::map<std::string, int> inDoubtBy;
    for (const auto& t : taken) {
        CPoolKeySource* other = t.second ? sources[0].get() : sources[1].get();
        EXPECT_FALSE(other->ReserveKey(t.index, job));
        switch (t.index % 4) {
            case 0:
                ASSERT_TRUE(t.source->ReserveKey(t.index, job));
                EXPECT_FALSE(other->DeliverKey(t.index, job));
                EXPECT_TRUE(t.source->DeliverKey(t.index, job));
                EXPECT_FALSE(t.source->SpendKey(t.index, job, "IDS_WRITE_MISC", -4));  // ended
                break;
            case 1:
                ASSERT_TRUE(t.source->ReserveKey(t.index, job));
                EXPECT_TRUE(t.source->SpendKey(t.index, job, "IDS_WRITE_MISC", -4));
                break;
            case 2:
                EXPECT_TRUE(t.source->ReturnUnsentKey(t.index, job));
                EXPECT_FALSE(t.source->ReserveKey(t.index, job));  // no longer held
                break;
            default:  // reserved and never ended: what a crash leaves
                ASSERT_TRUE(t.source->ReserveKey(t.index, job));
                ++inDoubtBy[t.second ? "st2" : "st1"];
                break;
        }
    }
    // The re-provisioning guards: every drawn key is used (reserved, delivered or spent), by its
    // bytes; the board's serial number too, whichever way its key's job ended (delivered, spent,
    // given back after the draw, or still open), for the station that reserved it.
    for (const auto& t : taken) {
        const auto* bytes = reinterpret_cast<const uint8_t*>(t.bytes.data());
        EXPECT_TRUE(sources[1]->IsUsedKey(bytes, t.bytes.size())) << t.index;
        EXPECT_TRUE(t.source->WasReservedFor(t.serial)) << t.serial << ", key " << t.index;
    }
    EXPECT_FALSE(sources[0]->WasReservedFor("SN-none"));
    const int returned = 0;

    CPoolKeySource later(pg.ConnInfo("st1"), "line", nullptr, options);
    ASSERT_TRUE(later.GetCounts(&counts));
    EXPECT_EQ(counts.unused, returned);
    EXPECT_EQ(counts.inDoubt, inDoubtBy["st1"]);

    // A server that goes away fails the call that meets it; the source connects again on a later
    // call, after its back-off.
    ASSERT_TRUE(pg.Restart());
    {
        KeyJobInfo none;
        int32_t index = -1;
        KeyCopy key;
        EXPECT_FALSE(later.TakeKey(none, &index, &key));
        bool back = false;
        for (int i = 0; i < 200 && !back; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            back = later.GetCounts(&counts);
        }
        EXPECT_TRUE(back);
        EXPECT_EQ(later.GetReconnects(), 1u);
        EXPECT_EQ(counts.unused, returned);  // the failed take took nothing
    }

    // A station reads no key bytes and changes no state except through the functions.
    EXPECT_FALSE(Allowed(pg, "st2", "SELECT wrapped FROM keypool.keys"));
    EXPECT_FALSE(Allowed(pg, "st2", "UPDATE keypool.keys SET state = 'free'"));
    EXPECT_FALSE(Allowed(pg, "st2", "SELECT * FROM keypool.events"));
    EXPECT_FALSE(Allowed(pg, "st2",
                         "SELECT keypool.step_key('line', 11, 'reserved', 'free', "
                         "NULL, NULL, NULL, NULL)"));
    EXPECT_FALSE(Allowed(pg, "outsider", "CALL keypool.claim_key('line', 1, 'x', '', '', true)"));
    EXPECT_TRUE(Allowed(pg, "st2", "SELECT * FROM keypool.pool_info('line')"));
    EXPECT_FALSE(Allowed(pg, "ksadmin", "DELETE FROM keypool.events"));  // append-only

    EXPECT_EQ(Kdbtool("pool " + db + " audit"), 0);
    // A key whose state disagrees with its events fails the audit.
    ASSERT_TRUE(pg.Sql("UPDATE keypool.keys SET state = 'free' WHERE idx = 12"));
    EXPECT_EQ(Kdbtool("pool " + db + " audit"), 1);
}

}  // namespace
