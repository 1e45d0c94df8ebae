// Sixteen jobs at once: taking keys without any other work in between, and taking, giving back,
// reserving and delivering through the shared flush.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <latch>
#include <memory>
#include <random>
#include <thread>
#include <vector>

#include "keydb/KeyAudit.h"
#include "keydb/KeyFile.h"
#include "tests/keydb/KeyDbTestSupport.h"
#include "tests/keydb/MemoryKeyFileIo.h"

using keydbtest::MemoryDisk;
using keydbtest::MemoryKeyFileIo;
using keydbtest::RunKdbtool;
using keydbtest::TempDir;

namespace {
constexpr int kThreads = 16;
}

TEST(KeyReservationConcurrency, SixteenThreadsStartingTogetherNeverTakeOneKeyTwice) {
    constexpr uint32_t kKeys = 50000;
    TempDir dir;
    const std::string path = dir.File("keys.kdb");
    ASSERT_EQ(RunKdbtool({"create", "--keys", std::to_string(kKeys), "--key-size", "2", "--used",
                          "0-99", path})
                  .exitCode,
              0);
    CKeyFile file(path);
    ASSERT_TRUE(file.IsValid());
    std::vector<std::atomic<int>> takers(kKeys);
    std::atomic<uint32_t> taken{0};
    std::latch start(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            start.arrive_and_wait();
            int32_t index = -1;
            KeyCopy key;
            while (file.GetKey(&index, &key)) {
                takers[static_cast<size_t>(index)].fetch_add(1);
                taken.fetch_add(1);
            }
        });
    }
    for (std::thread& t : threads) {
        t.join();
    }
    EXPECT_EQ(taken.load(), kKeys - 100);
    for (uint32_t i = 0; i < kKeys; ++i) {
        ASSERT_EQ(takers[i].load(), i < 100 ? 0 : 1) << "key " << i;
    }
    EXPECT_EQ(file.GetUnusedCount(), 0);
}

// Every reservation is on stable storage (header bit and journal record) when ReserveKey returns,
// every delivery when DeliverKey returns, and jobs that record at the same moment share flushes.
// One key in three taken is given back first (as a job that fails before its reservation does)
// while the others take, reserve and the display counts: no key is held by two jobs at once, each
// copy holds the key's own bytes, and a key given back and reserved later counts as reserved.
TEST(KeyReservationConcurrency, ReservationsShareFlushesAndNoneIsReportedBeforeItIsDurable) {
    constexpr uint32_t kKeys = 480;
    constexpr uint32_t kKeySize = 8;
    TempDir dir;
    const std::string path = dir.File("keys.kdb");
    const std::vector<uint8_t> keys = keydbtest::PatternBytes(kKeys * kKeySize, 77);
    keydbtest::WriteBytes(dir.File("keys.bin"), keys);
    ASSERT_EQ(RunKdbtool({"create", "--keys", std::to_string(kKeys), "--key-size",
                          std::to_string(kKeySize), "--key-data", dir.File("keys.bin"), path})
                  .exitCode,
              0);
    auto disk = std::make_shared<MemoryDisk>();
    disk->file = disk->durable = keydbtest::ReadBytes(path);
    // A flush long enough that jobs on a busy machine (or under Wine) still meet at it.
    disk->syncDelayUs = 2000;
    auto file = std::make_unique<CKeyFile>(std::make_unique<MemoryKeyFileIo>(disk), path, nullptr,
                                           KeyFileAccess::Station);
    ASSERT_TRUE(file->IsValid());

    std::atomic<int> early{0};
    std::atomic<int> failures{0};
    std::atomic<int> overlaps{0};
    std::atomic<int> wrongBytes{0};
    std::atomic<int> givenBack{0};
    std::vector<std::atomic<int>> holders(kKeys);
    std::vector<std::atomic<int>> reserved(kKeys);
    std::latch start(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            start.arrive_and_wait();
            KeyJobInfo job;
            job.slot = t + 1;
            job.destination = "misc";
            std::mt19937 rng(static_cast<unsigned>(t + 1));
            int32_t index = -1;
            KeyCopy key;
            while (file->GetKey(&index, &key)) {
                const auto at = static_cast<size_t>(index);
                if (holders[at].fetch_add(1) != 0) {
                    ++overlaps;
                }
                if (key.size() != kKeySize ||
                    std::memcmp(key.data(), &keys[kKeySize * at], kKeySize) != 0) {
                    ++wrongBytes;
                }
                file->GetUnusedCount();  // the controller's display reads concurrently
                if (rng() % 3 == 0) {
                    holders[at].fetch_sub(1);
                    file->ReleaseKey(index);
                    ++givenBack;
                    continue;
                }
                if (!file->ReserveKey(index, job)) {
                    ++failures;
                    return;
                }
                reserved[static_cast<size_t>(index)].fetch_add(1);
                const auto i = static_cast<uint32_t>(index);
                if (!disk->DurableBit(i) || !disk->DurableRecord(JournalEvent::kReserved, i)) {
                    ++early;
                }
                if (!file->DeliverKey(index, job)) {
                    ++failures;
                    return;
                }
                if (!disk->DurableRecord(JournalEvent::kDelivered, i)) {
                    ++early;
                }
            }
        });
    }
    for (std::thread& t : threads) {
        t.join();
    }
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(early.load(), 0);
    EXPECT_EQ(overlaps.load(), 0);
    EXPECT_EQ(wrongBytes.load(), 0);
    EXPECT_GT(givenBack.load(), 0);
    for (uint32_t i = 0; i < kKeys; ++i) {
        ASSERT_EQ(reserved[i].load(), 1) << "key " << i;
    }
    // 960 records and the returns went out; with sixteen jobs at once they shared far fewer
    // flushes.
    EXPECT_LT(file->GetCommitFlushes(), 2u * kKeys);
    EXPECT_LT(file->GetHeaderWrites(), uint64_t{kKeys});
    file.reset();

    auto check = std::make_unique<CKeyFile>(std::make_unique<MemoryKeyFileIo>(disk->AfterRestart()),
                                            path, nullptr, KeyFileAccess::VerifyOnly);
    ASSERT_TRUE(check->IsValid());
    EXPECT_EQ(check->GetUnusedCount(), 0);
    const KeyAuditReport audit = AuditKeyFile(*check);
    EXPECT_TRUE(audit.Passed());
    EXPECT_EQ(audit.delivered.size(), kKeys);
    EXPECT_TRUE(audit.inDoubt.empty());
    EXPECT_TRUE(audit.returned.empty()) << "a key given back and reserved later";
}
