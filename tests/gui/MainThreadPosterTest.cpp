// The Qt main-thread queue: closures from any thread run on the main thread, never inside Post,
// in the order they were posted, and not at all once the queue is gone.
#include <QCoreApplication>
#include <QTest>
#include <QThread>

#include <atomic>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "gui/QtMainThreadPoster.h"

class MainThreadPosterTest final : public QObject {
    Q_OBJECT

  private slots:
    void aClosurePostedOnTheMainThreadRunsLater();
    void closuresFromWorkerThreadsRunOnTheMainThreadInTheirOrder();
    void changesPostedUnderOneLockKeepTheirGlobalOrder();
    void closuresLeftWhenTheQueueGoesNeverRun();
};

void MainThreadPosterTest::aClosurePostedOnTheMainThreadRunsLater() {
    CQtMainThreadPoster poster;
    bool ran = false;
    poster.Post([&] { ran = true; });
    QVERIFY(!ran);
    QCOMPARE(poster.Pending(), size_t{1});
    QTRY_VERIFY(ran);
    QCOMPARE(poster.Pending(), size_t{0});
    poster.Post({});  // an empty closure is dropped
    QCOMPARE(poster.Pending(), size_t{0});
}

void MainThreadPosterTest::closuresFromWorkerThreadsRunOnTheMainThreadInTheirOrder() {
    constexpr int kThreads = 4;
    constexpr int kEach = 2000;
    CQtMainThreadPoster poster;
    std::vector<int> last(kThreads, -1);
    int ran = 0;
    bool ordered = true;
    bool onMain = true;
    QThread* main = QThread::currentThread();
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kEach; ++i) {
                poster.Post([&, t, i] {
                    onMain = onMain && QThread::currentThread() == main;
                    ordered = ordered && last[static_cast<size_t>(t)] == i - 1;
                    last[static_cast<size_t>(t)] = i;
                    ++ran;
                });
            }
        });
    }
    // The workers never wait for the main thread: they finish before it runs anything.
    for (auto& thread : threads) {
        thread.join();
    }
    QCOMPARE(ran, 0);
    QTRY_COMPARE(ran, kThreads * kEach);
    QVERIFY(ordered);
    QVERIFY(onMain);
}

void MainThreadPosterTest::changesPostedUnderOneLockKeepTheirGlobalOrder() {
    CQtMainThreadPoster poster;
    std::mutex modelLock;
    int nextChange = 0;
    std::vector<int> seen;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 1000; ++i) {
                std::lock_guard<std::mutex> guard(modelLock);
                const int change = nextChange++;
                poster.Post([&seen, change] { seen.push_back(change); });
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    QTRY_COMPARE(seen.size(), size_t{4000});
    for (size_t i = 0; i < seen.size(); ++i) {
        QCOMPARE(seen[i], static_cast<int>(i));
    }
}

void MainThreadPosterTest::closuresLeftWhenTheQueueGoesNeverRun() {
    auto ran = std::make_shared<std::atomic<int>>(0);
    {
        CQtMainThreadPoster poster;
        for (int i = 0; i < 10; ++i) {
            poster.Post([ran] { ++*ran; });
        }
    }
    QTest::qWait(20);
    QCOMPARE(ran->load(), 0);
}

QTEST_MAIN(MainThreadPosterTest)
#include "MainThreadPosterTest.moc"
