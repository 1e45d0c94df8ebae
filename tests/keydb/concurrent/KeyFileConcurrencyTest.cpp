// Many workers drawing from one key file at once.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <random>
#include <set>
#include <thread>

#include "keydb/KeyFile.h"
#include "keydb/KeyFileFormat.h"
#include "tests/keydb/KeyDbTestSupport.h"

using keydbtest::PatternBytes;
using keydbtest::ReadBytes;
using keydbtest::RunKdbtool;
using keydbtest::TempDir;

TEST(KeyFileConcurrency, EightWorkersNeverShareAKeyAndLeaveACorrectFile) {
    constexpr uint32_t kKeys = 600;
    constexpr uint32_t kKeySize = 12;
    constexpr int kThreads = 8;
    TempDir dir;
    const std::string path = dir.File("keys.kdb");
    const std::vector<uint8_t> keys = PatternBytes(kKeys * kKeySize, 77);
    keydbtest::WriteBytes(dir.File("keys.bin"), keys);
    const keydbtest::ProgramResult made = RunKdbtool(
        {"create", "--keys", std::to_string(kKeys), "--key-size", std::to_string(kKeySize),
         "--key-data", dir.File("keys.bin"), "--used", "0-9,100", path});
    ASSERT_EQ(made.exitCode, 0) << made.err;

    std::vector<std::atomic<int>> holders(kKeys);
    std::atomic<int> overlaps{0};
    std::atomic<int> wrongBytes{0};
    std::atomic<int> failedUpdates{0};
    std::vector<std::vector<int32_t>> committed(kThreads);
    {
        CKeyFile file(path);
        ASSERT_TRUE(file.IsValid()) << file.GetError();
        ASSERT_EQ(file.GetUnusedCount(), static_cast<int32_t>(kKeys - 11));
        std::vector<std::thread> workers;
        for (int t = 0; t < kThreads; ++t) {
            workers.emplace_back([&, t] {
                std::mt19937 rng(static_cast<unsigned>(t + 1));
                for (;;) {
                    int32_t index = -1;
                    KeyCopy key;
                    if (!file.GetKey(&index, &key)) {
                        break;
                    }
                    if (holders[static_cast<size_t>(index)].fetch_add(1) != 0) {
                        ++overlaps;
                    }
                    if (key.size() != kKeySize ||
                        std::memcmp(key.data(), &keys[size_t{kKeySize} * index], kKeySize) != 0) {
                        ++wrongBytes;
                    }
                    file.GetUnusedCount();  // the controller's display reads concurrently
                    if (rng() % 3 == 0) {
                        holders[static_cast<size_t>(index)].fetch_sub(1);
                        file.ReleaseKey(index);
                    } else {
                        if (!file.UpdateKeyFile(index)) {
                            ++failedUpdates;
                        }
                        committed[static_cast<size_t>(t)].push_back(index);
                    }
                }
            });
        }
        for (std::thread& w : workers) {
            w.join();
        }
        EXPECT_EQ(file.GetUnusedCount(), 0);
    }
    EXPECT_EQ(overlaps.load(), 0);
    EXPECT_EQ(wrongBytes.load(), 0);
    EXPECT_EQ(failedUpdates.load(), 0);

    std::set<int32_t> all;
    size_t total = 0;
    for (const auto& list : committed) {
        all.insert(list.begin(), list.end());
        total += list.size();
    }
    EXPECT_EQ(total, all.size()) << "an index was committed twice";
    EXPECT_EQ(all.size(), kKeys - 11u);

    CKeyFile reloaded(path);
    ASSERT_TRUE(reloaded.IsValid()) << reloaded.GetError();
    EXPECT_EQ(reloaded.GetUnusedCount(), 0);
    const std::vector<uint8_t> image = ReadBytes(path);
    for (uint32_t i = 0; i < kKeys; ++i) {
        const bool set = (image[kdb::kOffBitmap + i / 8] >> (i % 8) & 1) != 0;
        EXPECT_TRUE(set) << "key " << i << " not recorded";
    }
}
