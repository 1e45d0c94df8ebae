// Transport overhead per command: sector reads through the command layer against a zero-latency
// emulated loader, next to a plain copy of the same bytes.
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "device/ZRUsbComm.h"
#include "platform/sim/DemoImage.h"
#include "platform/sim/EmulatorPipes.h"

namespace {

const std::string kPath = "bench:1-1";

void BM_ReadLBA(benchmark::State& state) {
    const auto count = static_cast<uint16_t>(state.range(0));
    auto device = MakeDemoLoader(1);
    std::vector<uint8_t> fill(static_cast<size_t>(count) * 512, 0x5A);
    device->WriteSectors(0x6000, count, fill.data());
    EmulatorPipes pipes;
    pipes.Attach(kPath, *device);
    CZRUsbComm comm(nullptr, 0, pipes);
    std::vector<uint8_t> buf(fill.size());
    for (auto _ : state) {
        if (comm.ZRU_ReadLBA(kPath, 0x6000, count, buf.data(), 0) != 0) {
            state.SkipWithError("read failed");
            break;
        }
        benchmark::DoNotOptimize(buf.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(buf.size()));
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}
BENCHMARK(BM_ReadLBA)->Arg(1)->Arg(128);

void BM_WriteLBA(benchmark::State& state) {
    const auto count = static_cast<uint16_t>(state.range(0));
    auto device = MakeDemoLoader(1);
    EmulatorPipes pipes;
    pipes.Attach(kPath, *device);
    CZRUsbComm comm(nullptr, 0, pipes);
    std::vector<uint8_t> buf(static_cast<size_t>(count) * 512, 0xA5);
    for (auto _ : state) {
        if (comm.ZRU_WriteLBA(kPath, 0x6000, count, buf.data(), 0) != 0) {
            state.SkipWithError("write failed");
            break;
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(buf.size()));
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}
BENCHMARK(BM_WriteLBA)->Arg(1)->Arg(128);

// The reference: copying the same bytes once.
void BM_Memcpy(benchmark::State& state) {
    const size_t bytes = static_cast<size_t>(state.range(0)) * 512;
    // Source and destination are kept off the same 4 KiB offset, where copies stall on
    // false store-to-load aliasing and the reference would look slower than it is.
    std::vector<uint8_t> src(bytes, 0x5A);
    std::vector<uint8_t> dstStorage(bytes + 4096);
    uint8_t* dst = dstStorage.data() + 1024;
    for (auto _ : state) {
        std::memcpy(dst, src.data(), bytes);
        benchmark::DoNotOptimize(dst);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(bytes));
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}
BENCHMARK(BM_Memcpy)->Arg(1)->Arg(128);

}  // namespace

BENCHMARK_MAIN();
