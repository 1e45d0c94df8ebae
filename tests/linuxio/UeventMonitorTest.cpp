#include <fcntl.h>
#include <linux/netlink.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/linux/UeventMonitor.h"
#include "tests/common/LineLog.h"

namespace {

using test_log::LineLog;

using namespace std::chrono_literals;

// Counts notices and lets a test wait for a number of them.
class NoticeCounter {
  public:
    void operator()() {
        std::lock_guard<std::mutex> guard(lock_);
        ++count_;
        changed_.notify_all();
    }
    bool WaitFor(int count, std::chrono::milliseconds limit) {
        std::unique_lock<std::mutex> guard(lock_);
        return changed_.wait_for(guard, limit, [&] { return count_ >= count; });
    }
    int Count() {
        std::lock_guard<std::mutex> guard(lock_);
        return count_;
    }

  private:
    std::mutex lock_;
    std::condition_variable changed_;
    int count_ = 0;
};

UeventMonitorOptions FastPolling() {
    UeventMonitorOptions options;
    options.forcePolling = true;
    options.pollIntervalMs = 10;
    return options;
}

}  // namespace

TEST(UeventMonitorFallback, PollingDeliversNoticesAndSaysSoInTheLog) {
    LineLog log;
    UeventMonitor monitor(&log, FastPolling());
    NoticeCounter counter;
    ASSERT_TRUE(monitor.Start([&] { counter(); }));
    EXPECT_TRUE(monitor.IsPolling());
    EXPECT_TRUE(counter.WaitFor(3, 5s));
    monitor.Stop();
    const auto lines = log.Lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("polling every 0.01 s"), std::string::npos) << lines[0];
}

TEST(UeventMonitorFallback, StopJoinsPromptlyAndNoNoticeFollows) {
    UeventMonitorOptions options = FastPolling();
    options.pollIntervalMs = 60 * 60 * 1000;  // an hour: Stop must not wait for the interval
    UeventMonitor monitor(nullptr, options);
    NoticeCounter counter;
    ASSERT_TRUE(monitor.Start([&] { counter(); }));
    const auto before = std::chrono::steady_clock::now();
    monitor.Stop();
    // Generous bound: a Stop that waited for the interval would take an hour.
    EXPECT_LT(std::chrono::steady_clock::now() - before, 30s);
    EXPECT_EQ(counter.Count(), 0);

    UeventMonitor fast(nullptr, FastPolling());
    NoticeCounter fastCounter;
    ASSERT_TRUE(fast.Start([&] { fastCounter(); }));
    ASSERT_TRUE(fastCounter.WaitFor(1, 5s));
    fast.Stop();
    const int atStop = fastCounter.Count();
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(fastCounter.Count(), atStop);
    EXPECT_EQ(fast.NoticeCount(), static_cast<uint64_t>(atStop));
}

TEST(UeventMonitorLifecycle, StartTwiceIsRefusedAndRestartWorks) {
    UeventMonitor monitor(nullptr, FastPolling());
    NoticeCounter first;
    EXPECT_FALSE(monitor.Start(nullptr));
    ASSERT_TRUE(monitor.Start([&] { first(); }));
    EXPECT_FALSE(monitor.Start([] {}));
    monitor.Stop();
    monitor.Stop();  // repeated Stop is harmless

    NoticeCounter second;
    ASSERT_TRUE(monitor.Start([&] { second(); }));
    EXPECT_TRUE(second.WaitFor(1, 5s));
    monitor.Stop();
}

TEST(UeventMonitorLifecycle, StopFromInsideANoticeDoesNotDeadlock) {
    UeventMonitor monitor(nullptr, FastPolling());
    std::atomic<int> calls{0};
    ASSERT_TRUE(monitor.Start([&] {
        monitor.Stop();
        ++calls;
    }));
    // The thread ends after its first notice; a fresh Start joins it and runs again.
    for (int i = 0; i < 500 && calls.load() == 0; ++i) {
        std::this_thread::sleep_for(10ms);
    }
    ASSERT_EQ(calls.load(), 1);
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(calls.load(), 1);
    NoticeCounter counter;
    ASSERT_TRUE(monitor.Start([&] { counter(); }));
    EXPECT_TRUE(counter.WaitFor(1, 5s));
    monitor.Stop();
}

TEST(UeventMonitorLifecycle, DestructionStopsARunningMonitor) {
    NoticeCounter counter;
    {
        UeventMonitor monitor(nullptr, FastPolling());
        ASSERT_TRUE(monitor.Start([&] { counter(); }));
        ASSERT_TRUE(counter.WaitFor(1, 5s));
    }
    const int atEnd = counter.Count();
    std::this_thread::sleep_for(30ms);
    EXPECT_EQ(counter.Count(), atEnd);
}

// Against the real kernel socket: a synthetic "change" on the loopback interface is a kernel
// message of another subsystem, so it is accepted but gives no notice.
TEST(UeventMonitorSocket, TakesKernelMessagesAndNoticesOnlyUsbChanges) {
    UeventMonitor monitor(nullptr, UeventMonitorOptions{});
    NoticeCounter counter;
    ASSERT_TRUE(monitor.Start([&] { counter(); }));
    if (monitor.IsPolling()) {
        monitor.Stop();
        GTEST_SKIP() << "no uevent socket here";
    }
    const int fd = ::open("/sys/devices/virtual/net/lo/uevent", O_WRONLY | O_CLOEXEC);
    if (fd < 0) {
        monitor.Stop();
        GTEST_SKIP() << "cannot trigger a uevent here";
    }
    const uint64_t before = monitor.AcceptedMessageCount();
    const bool written = ::write(fd, "change", 6) == 6;
    ::close(fd);
    if (!written) {
        monitor.Stop();
        GTEST_SKIP() << "cannot trigger a uevent here";
    }
    for (int i = 0; i < 500 && monitor.AcceptedMessageCount() == before; ++i) {
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_GT(monitor.AcceptedMessageCount(), before);
    EXPECT_EQ(monitor.NoticeCount(), 0u);
    monitor.Stop();
    EXPECT_EQ(counter.Count(), 0);
}

// A user process can send to the monitor's netlink port directly. Such a message, even a
// well-formed usb "add" from root, is not the kernel's and must give no notice.
TEST(UeventMonitorSocket, ForgedMessagesFromUserProcessesAreIgnored) {
    UeventMonitor monitor(nullptr, UeventMonitorOptions{});
    NoticeCounter counter;
    ASSERT_TRUE(monitor.Start([&] { counter(); }));
    if (monitor.IsPolling() || monitor.PortId() == 0) {
        monitor.Stop();
        GTEST_SKIP() << "no uevent socket here";
    }
    const int sender = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_KOBJECT_UEVENT);
    ASSERT_GE(sender, 0);
    sockaddr_nl to{};
    to.nl_family = AF_NETLINK;
    to.nl_pid = monitor.PortId();
    const char forged[] =
        "add@/devices/usb1/1-3\0ACTION=add\0DEVPATH=/devices/usb1/1-3\0SUBSYSTEM=usb\0"
        "DEVTYPE=usb_device\0SEQNUM=1\0";
    const ssize_t sent = ::sendto(sender, forged, sizeof forged - 1, 0,
                                  reinterpret_cast<const sockaddr*>(&to), sizeof to);
    ::close(sender);
    if (sent < 0) {
        monitor.Stop();
        GTEST_SKIP() << "cannot send to the monitor's port here, errno " << errno;
    }
    for (int i = 0; i < 500 && monitor.DroppedMessageCount() == 0; ++i) {
        std::this_thread::sleep_for(10ms);
    }
    monitor.Stop();
    EXPECT_EQ(monitor.DroppedMessageCount(), 1u);
    EXPECT_EQ(counter.Count(), 0);
}
