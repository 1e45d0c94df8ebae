#include <gtest/gtest.h>

#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "TempDir.h"
#include "support/IniLocalLan.h"
#include "support/Logger.h"

namespace {

TEST(ConcurrentLogging, LinesFromManyThreadsNeverInterleave) {
    TempDir dir;
    CLogger log(dir.Path(), "run.txt");
    ASSERT_TRUE(log.Open());
    constexpr int kThreads = 6;
    constexpr int kLines = 150;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&log, t] {
            const std::string payload(200 + t * 37, static_cast<char>('a' + t));
            for (int i = 0; i < kLines; ++i) {
                log.Print(0, "<%d> %d %s", t, i, payload.c_str());
            }
        });
    }
    for (std::thread& th : threads) {
        th.join();
    }
    const std::string text = TempDir::Read(dir.File("run.txt"));
    ASSERT_EQ(text.rfind(std::string(CLogger::kBanner), 0), 0u);
    std::istringstream in(text.substr(CLogger::kBanner.size()));
    std::string line;
    std::set<std::pair<int, int>> seen;
    while (std::getline(in, line)) {
        ASSERT_FALSE(line.empty());
        ASSERT_EQ(line.back(), '\r');
        line.pop_back();
        // "hh:mm:ss:mmm <t> i payload"
        ASSERT_GT(line.size(), 13u);
        int t = -1;
        int i = -1;
        char payload[2048] = {};
        ASSERT_EQ(std::sscanf(line.c_str() + 13, "<%d> %d %2047s", &t, &i, payload), 3) << line;
        ASSERT_GE(t, 0);
        ASSERT_LT(t, kThreads);
        EXPECT_EQ(std::string(payload), std::string(200 + t * 37, static_cast<char>('a' + t)));
        EXPECT_TRUE(seen.insert({t, i}).second);
    }
    EXPECT_EQ(seen.size(), static_cast<std::size_t>(kThreads * kLines));
}

TEST(ConcurrentLanguage, WorkersReadTextsWhileTheControllerDoes) {
    TempDir dir;
    TempDir::Write(dir.File("l.ini"), "[PROMPT]\nIDS_GET_KEY=Getting key\nIDS_WAIT_DEVICE=Wait\n");
    CIniLocalLan lan;
    ASSERT_TRUE(lan.Load(dir.File("l.ini")));
    lan.GetText("PROMPT:IDS_GET_KEY");
    std::vector<std::thread> threads;
    std::atomic<int> wrong = 0;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&lan, &wrong, t] {
            for (int i = 0; i < 2000; ++i) {
                const bool first = (i + t) % 2 == 0;
                const std::string text = lan.GetText(first ? "IDS_GET_KEY" : "IDS_WAIT_DEVICE");
                if (text != (first ? "Getting key" : "Wait")) {
                    ++wrong;
                }
                // The controller also reads values through the same object.
                lan.GetValue("PROMPT:IDS_WAIT_DEVICE", "");
            }
        });
    }
    for (std::thread& th : threads) {
        th.join();
    }
    EXPECT_EQ(wrong.load(), 0);
}

}  // namespace
