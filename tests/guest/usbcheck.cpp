// ks-guest-usbcheck: drives the loader transport (CZRUsbComm over UsbfsPipes) against a device on
// the kernel's own USB stack, for the cases the station's jobs do not provoke on their own.
//
//   ks-guest-usbcheck stall PATH     the device stalls the first command block: the command must
//                                    succeed on its second attempt, after the pipe reset
//   ks-guest-usbcheck timeout PATH   the device never answers the first two status reads: the
//                                    command must fail with the read code within the transfer
//                                    time-outs, and the device must be usable afterwards
//   ks-guest-usbcheck reset PATH DEVICES_INI
//                                    the loader resets (sub-code 1), leaves the bus and comes back:
//                                    discovery's WaitForDevice must see it again at its location
//                                    and the transport must reach it by the same path
//   ks-guest-usbcheck echo PATH      usbfs exchanges against an echo device (figures)
//
// PATH is the device's sysfs name ("1-9"). Prints "PASS ..." or "FAIL ..." lines and one
// "FIGURE key=value" line per measurement; exits 0 only when every check passed.
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "device/DeviceTables.h"
#include "device/ZRScan.h"
#include "device/ZRUsbComm.h"
#include "platform/linux/SysfsUsbTree.h"
#include "platform/linux/UsbfsPipes.h"
#include "support/Logger.h"

namespace {

class ConsoleLog final : public CLoggerBase {
  public:
    void VPrint(int, const char* format, va_list args) override KS_PRINTF_LIKE(3, 0) {
        char line[1024];
        std::vsnprintf(line, sizeof(line), format, args);
        std::printf("  transport: %s\n", line);
        std::fflush(stdout);
    }
    void SetLevel(int) override {}
};

int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

int g_failures = 0;

void Check(bool ok, const std::string& what) {
    std::printf("%s %s\n", ok ? "PASS" : "FAIL", what.c_str());
    std::fflush(stdout);
    if (!ok)
        ++g_failures;
}

int RunStall(const std::string& path) {
    ConsoleLog log;
    UsbfsPipes pipes("/sys", "/dev/bus/usb", &log);
    CZRUsbComm comm(&log, 0, pipes);
    const int64_t start = NowMs();
    const int first = comm.ZRU_TestDeviceReady(path, nullptr, nullptr, 0);
    const int64_t elapsed = NowMs() - start;
    Check(first == ZR_OK,
          "stalled command succeeds on its second attempt (result " + std::to_string(first) + ")");
    Check(elapsed >= CZRUsbComm::kRetryWaitMs,
          "second attempt came after the retry wait (" + std::to_string(elapsed) + " ms)");
    Check(pipes.OpenHandleCount() == 0, "no pipe left open");
    const int64_t again = NowMs();
    const int second = comm.ZRU_TestDeviceReady(path, nullptr, nullptr, 0);
    const int64_t secondMs = NowMs() - again;
    Check(second == ZR_OK && secondMs < CZRUsbComm::kRetryWaitMs,
          "next command succeeds at once (result " + std::to_string(second) + ", " +
              std::to_string(secondMs) + " ms)");
    std::printf("FIGURE stall_recovery_ms=%lld\n", static_cast<long long>(elapsed));
    std::printf("FIGURE command_roundtrip_ms=%lld\n", static_cast<long long>(secondMs));
    return g_failures == 0 ? 0 : 1;
}

int RunTimeout(const std::string& path) {
    ConsoleLog log;
    const UsbfsTransferPolicy policy;  // the production time-outs
    UsbfsPipes pipes("/sys", "/dev/bus/usb", &log, SystemUsbfsCalls(), SystemClock(), policy);
    CZRUsbComm comm(&log, 0, pipes);
    const int64_t start = NowMs();
    const int result = comm.ZRU_TestDeviceReady(path, nullptr, nullptr, 0);
    const int64_t elapsed = NowMs() - start;
    Check(result == ZR_ERR_READ, "unanswered status read fails the command with " +
                                     std::to_string(ZR_ERR_READ) + " (result " +
                                     std::to_string(result) + ")");
    // Two attempts, each ending in one request time-out, with the retry wait between them.
    const int64_t least =
        2 * static_cast<int64_t>(policy.requestTimeoutMs) + CZRUsbComm::kRetryWaitMs;
    Check(elapsed >= least - 200 && elapsed < least + 10000,
          "the command ended after its time-outs (" + std::to_string(elapsed) + " ms, about " +
              std::to_string(least) + " expected)");
    Check(pipes.OpenHandleCount() == 0, "no pipe left open after the time-outs");
    const int64_t again = NowMs();
    const int next = comm.ZRU_TestDeviceReady(path, nullptr, nullptr, 0);
    Check(next == ZR_OK, "device answers again afterwards (result " + std::to_string(next) + ", " +
                             std::to_string(NowMs() - again) + " ms)");
    std::printf("FIGURE timeout_command_ms=%lld\n", static_cast<long long>(elapsed));
    return g_failures == 0 ? 0 : 1;
}

int RunReset(const std::string& path, const std::string& devicesIni) {
    ConsoleLog log;
    DeviceTables tables;
    Check(tables.LoadFile(devicesIni, &log), "device tables read from " + devicesIni);
    SysfsUsbTree tree;
    ZRScan scan(30, 30, 0, tree, tables);
    scan.LoadDeviceTables();
    const int found = scan.Search(DEVICE_KIND_LOADER);
    ZRDeviceDesc record;
    bool listed = false;
    for (int i = 0; i < found; ++i) {
        ZRDeviceDesc d;
        if (scan.GetDevice(i, &d) == 1 && d.path == path) {
            record = d;
            listed = true;
        }
    }
    Check(listed,
          "the loader at " + path + " is found by discovery (location " + record.location + ")");
    if (!listed)
        return 1;

    UsbfsPipes pipes("/sys", "/dev/bus/usb", &log);
    CZRUsbComm comm(&log, 0, pipes);
    const int64_t start = NowMs();
    const int reset = comm.ZRU_ResetDevice(path, 1);
    Check(reset == ZR_OK || reset == ZR_ERR_OPEN_IN || reset == ZR_ERR_READ,
          "reset command done (result " + std::to_string(reset) + ")");
    ZRDeviceDesc wait;
    wait.location = record.location;
    const int back = scan.WaitForDevice(&wait, DEVICE_KIND_LOADER, 0, 0);
    const int64_t waitedMs = NowMs() - start;
    Check(back == 1, "WaitForDevice saw the loader back at " + record.location + " after " +
                         std::to_string(waitedMs) + " ms");
    Check(wait.path == path, "it came back under the same path (" + wait.path + ")");
    const int ready = comm.ZRU_TestDeviceReady(path, nullptr, nullptr, 0);
    Check(ready == ZR_OK, "the returned device answers (result " + std::to_string(ready) + ")");
    std::printf("FIGURE reset_to_wait_for_device_ms=%lld\n", static_cast<long long>(waitedMs));
    return g_failures == 0 ? 0 : 1;
}

// One transport-style exchange: the OUT pipe opened, written and closed, then the IN pipe opened,
// read and closed (each handle claims the interface, so only one is open at a time).
bool EchoExchange(UsbfsPipes& pipes, const std::string& path, const std::vector<uint8_t>& sent,
                  size_t size, std::vector<uint8_t>& got) {
    int err = 0;
    const int out = pipes.Open(path, IBulkPipes::kPipeOut, &err);
    if (out < 0)
        return false;
    const bool wrote = pipes.Write(out, sent.data(), size, &err) == static_cast<long>(size);
    pipes.Close(out);
    if (!wrote)
        return false;
    const int in = pipes.Open(path, IBulkPipes::kPipeIn, &err);
    if (in < 0)
        return false;
    const bool read = pipes.Read(in, got.data(), size, &err) == static_cast<long>(size);
    pipes.Close(in);
    return read && std::memcmp(sent.data(), got.data(), size) == 0;
}

int RunEcho(const std::string& path) {
    UsbfsPipes pipes;
    std::vector<uint8_t> sent(64 * 1024), got(64 * 1024);
    for (size_t i = 0; i < sent.size(); ++i)
        sent[i] = static_cast<uint8_t>(i * 7 + 3);

    const int rounds = 20;
    int64_t start = NowMs();
    bool ok = true;
    for (int i = 0; i < rounds && ok; ++i)
        ok = EchoExchange(pipes, path, sent, 31, got);
    const int64_t smallMs = NowMs() - start;
    Check(ok, "31-byte exchanges come back unchanged");
    start = NowMs();
    for (int i = 0; i < rounds && ok; ++i)
        ok = EchoExchange(pipes, path, sent, sent.size(), got);
    const int64_t bigMs = NowMs() - start;
    Check(ok, "64 KiB exchanges come back unchanged");
    // Streams on one open pipe at a time: transfer cost without the opens.
    const int streamed = 10;
    int err = 0;
    int64_t outMs = 0;
    int64_t inMs = 0;
    bool streamOk = false;
    const int out = pipes.Open(path, IBulkPipes::kPipeOut, &err);
    if (out >= 0) {
        start = NowMs();
        streamOk = true;
        for (int i = 0; i < streamed && streamOk; ++i) {
            streamOk =
                pipes.Write(out, sent.data(), sent.size(), &err) == static_cast<long>(sent.size());
        }
        outMs = NowMs() - start;
        pipes.Close(out);
    }
    const int in = streamOk ? pipes.Open(path, IBulkPipes::kPipeIn, &err) : -1;
    if (in >= 0) {
        start = NowMs();
        for (int i = 0; i < streamed && streamOk; ++i) {
            streamOk =
                pipes.Read(in, got.data(), got.size(), &err) == static_cast<long>(got.size()) &&
                got == sent;
        }
        inMs = NowMs() - start;
        pipes.Close(in);
    } else {
        streamOk = false;
    }
    Check(streamOk, "64 KiB transfers streamed on one open pipe come back unchanged");
    Check(pipes.OpenHandleCount() == 0, "no pipe left open");
    if (outMs > 0 && inMs > 0) {
        std::printf("FIGURE stream_64KiB_out_MBps=%.1f\n",
                    streamed * 65536.0 / 1e6 / (static_cast<double>(outMs) / 1000.0));
        std::printf("FIGURE stream_64KiB_in_MBps=%.1f\n",
                    streamed * 65536.0 / 1e6 / (static_cast<double>(inMs) / 1000.0));
    }
    std::printf("FIGURE exchange_31B_us=%lld\n", static_cast<long long>(smallMs * 1000 / rounds));
    if (bigMs > 0) {
        std::printf("FIGURE exchange_64KiB_MBps=%.1f\n",
                    2.0 * rounds * 65536.0 / 1e6 / (static_cast<double>(bigMs) / 1000.0));
    }
    return g_failures == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr,
                     "usage: ks-guest-usbcheck stall|timeout|echo PATH\n"
                     "       ks-guest-usbcheck reset PATH DEVICES_INI\n");
        return 2;
    }
    const std::string mode = argv[1];
    const std::string path = argv[2];
    if (mode == "reset" && argc == 4)
        return RunReset(path, argv[3]);
    if (mode == "stall")
        return RunStall(path);
    if (mode == "timeout")
        return RunTimeout(path);
    if (mode == "echo")
        return RunEcho(path);
    std::fprintf(stderr, "ks-guest-usbcheck: unknown mode %s\n", mode.c_str());
    return 2;
}
