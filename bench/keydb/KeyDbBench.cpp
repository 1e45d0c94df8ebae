// Key database benchmarks:
//  - SHA-256 over 64 KiB buffers: portable and SHA-NI block functions against OpenSSL's EVP.
//  - Loading and verifying a 256 MiB key file, in process and as `kdbtool info`, against
//    `openssl dgst -sha256` and `sha256sum` of the same file (CPU time and peak memory of each).
//  - GetKey + UpdateKeyFile per committed key, with and without the flush to stable storage.
// Files go to $TMPDIR (default /tmp) and are removed at exit.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <openssl/evp.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "keydb/Crc32.h"
#include "keydb/ForwardingKeyFileIo.h"
#include "keydb/KeyFile.h"
#include "keydb/KeyFileFormat.h"
#include "keydb/KeyFileWriter.h"
#include "keydb/Sha256.h"

extern char** environ;

namespace {

constexpr size_t kBufferSize = 64 * 1024;

std::vector<std::string>& CreatedFiles() {
    static std::vector<std::string> files;
    return files;
}

std::string TempFolder() {
    const char* t = getenv("TMPDIR");
    return t != nullptr && *t != '\0' ? t : "/tmp";
}

// Fast deterministic key bytes: the benchmarks do not need real randomness.
class PatternSource final : public IKeyDataSource {
  public:
    bool Read(uint8_t* buffer, size_t len, std::string*) override {
        for (size_t i = 0; i < len; ++i) {
            state_ = state_ * 6364136223846793005ULL + 1442695040888963407ULL;
            buffer[i] = static_cast<uint8_t>(state_ >> 56);
        }
        return true;
    }

  private:
    uint64_t state_ = 1;
};

// Builds (once per layout) a key file in the temp folder.
std::string KeyFileFor(uint32_t keys, uint32_t keySize) {
    static std::map<std::pair<uint32_t, uint32_t>, std::string> made;
    auto it = made.find({keys, keySize});
    if (it != made.end()) {
        return it->second;
    }
    const std::string path = TempFolder() + "/ks-keydb-bench-" + std::to_string(getpid()) + "-" +
                             std::to_string(keys) + "x" + std::to_string(keySize) + ".kdb";
    KeyFileLayout layout;
    layout.keyCount = keys;
    layout.keySize = keySize;
    PatternSource source;
    std::string error;
    if (!WriteKeyFile(path, layout, source, true, &error)) {
        std::fprintf(stderr, "cannot make %s: %s\n", path.c_str(), error.c_str());
        std::exit(1);
    }
    CreatedFiles().push_back(path);
    made[{keys, keySize}] = path;
    return path;
}

std::vector<uint8_t> Buffer() {
    std::vector<uint8_t> b(kBufferSize);
    std::mt19937 rng(1);
    for (auto& x : b) {
        x = static_cast<uint8_t>(rng());
    }
    return b;
}

void HashWith(benchmark::State& state, Sha256Impl impl) {
    if (impl == Sha256Impl::ShaNi && !Sha256ShaNiAvailable()) {
        state.SkipWithError("no SHA extensions on this CPU");
        return;
    }
    const std::vector<uint8_t> buffer = Buffer();
    CSha256 sha(impl);
    uint8_t digest[32];
    for (auto _ : state) {
        sha.Update(buffer.data(), buffer.size());
        sha.Final(digest);
        benchmark::DoNotOptimize(digest);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBufferSize));
}

void BM_Sha256_Portable(benchmark::State& state) {
    HashWith(state, Sha256Impl::Portable);
}
void BM_Sha256_ShaNi(benchmark::State& state) {
    HashWith(state, Sha256Impl::ShaNi);
}

void BM_Sha256_OpensslEvp(benchmark::State& state) {
    const std::vector<uint8_t> buffer = Buffer();
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    uint8_t digest[32];
    unsigned int len = 0;
    for (auto _ : state) {
        EVP_DigestInit_ex(ctx, EVP_sha256(), nullptr);
        EVP_DigestUpdate(ctx, buffer.data(), buffer.size());
        EVP_DigestFinal_ex(ctx, digest, &len);
        benchmark::DoNotOptimize(digest);
    }
    EVP_MD_CTX_free(ctx);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBufferSize));
}

// The header CRC over the largest header, as each UpdateKeyFile computes it twice.
void BM_CalcCrc32Header64KiB(benchmark::State& state) {
    const std::vector<uint8_t> buffer = Buffer();
    for (auto _ : state) {
        benchmark::DoNotOptimize(CalcCrc32(buffer.data(), kdb::kMaxHeaderSize - 4));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * (kdb::kMaxHeaderSize - 4)));
}

BENCHMARK(BM_CalcCrc32Header64KiB);
BENCHMARK(BM_Sha256_Portable);
BENCHMARK(BM_Sha256_ShaNi);
BENCHMARK(BM_Sha256_OpensslEvp);

// 262,144 keys of 1,024 bytes: a 256 MiB data area.
constexpr uint32_t kBigKeys = 262144;
constexpr uint32_t kBigKeySize = 1024;

void BM_LoadAndVerify256MiB(benchmark::State& state) {
    const std::string path = KeyFileFor(kBigKeys, kBigKeySize);
    for (auto _ : state) {
        CKeyFile file(path);
        if (!file.IsValid()) {
            state.SkipWithError(file.GetError().c_str());
            return;
        }
        benchmark::DoNotOptimize(file.GetUnusedCount());
    }
    state.SetBytesProcessed(
        static_cast<int64_t>(state.iterations() * (uint64_t{kBigKeys} * kBigKeySize)));
}

// Runs a command on the big file per iteration and reports its own CPU time and peak memory
// (the reference and the tool are measured in the same run, so their ratio means something on a
// busy machine).
void RunCommandOnBigFile(benchmark::State& state, std::vector<std::string> args) {
    const std::string path = KeyFileFor(kBigKeys, kBigKeySize);
    args.push_back(path);
    std::vector<char*> argv;
    for (std::string& a : args) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    double childCpuSeconds = 0;
    long peakKiB = 0;
    for (auto _ : state) {
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        pid_t pid = -1;
        if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) {
            posix_spawn_file_actions_destroy(&actions);
            state.SkipWithError(("cannot run " + args[0]).c_str());
            return;
        }
        posix_spawn_file_actions_destroy(&actions);
        int status = 0;
        struct rusage usage {};
        wait4(pid, &status, 0, &usage);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            state.SkipWithError((args[0] + " failed").c_str());
            return;
        }
        childCpuSeconds +=
            static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
            static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
        peakKiB = std::max(peakKiB, usage.ru_maxrss);
    }
    // The command's own CPU time: comparable with the CPU column of the load benchmark when
    // the machine is busy.
    state.counters["child_cpu_ms"] =
        benchmark::Counter(childCpuSeconds * 1000 / static_cast<double>(state.iterations()));
    state.counters["child_peak_mib"] = benchmark::Counter(static_cast<double>(peakKiB) / 1024);
    state.SetBytesProcessed(
        static_cast<int64_t>(state.iterations() * (uint64_t{kBigKeys} * kBigKeySize)));
}

void BM_Sha256sumCommand256MiB(benchmark::State& state) {
    RunCommandOnBigFile(state, {"sha256sum"});
}

// The reference for a load: `openssl dgst -sha256` on the same file.
void BM_OpensslDgstCommand256MiB(benchmark::State& state) {
    RunCommandOnBigFile(state, {"openssl", "dgst", "-sha256"});
}

// `kdbtool info`: the whole program, opening the file as a station does.
void BM_KdbtoolInfoCommand256MiB(benchmark::State& state) {
    RunCommandOnBigFile(state, {KS_KDBTOOL, "info"});
}

BENCHMARK(BM_LoadAndVerify256MiB)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_Sha256sumCommand256MiB)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_OpensslDgstCommand256MiB)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_KdbtoolInfoCommand256MiB)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

// The real file with the flush turned into a no-op: only the benchmark does this.
class NoFlushIo final : public CForwardingKeyFileIo {
  public:
    using CForwardingKeyFileIo::CForwardingKeyFileIo;
    bool Sync() override { return true; }
};

std::unique_ptr<CKeyFile> OpenForCommit(const std::string& path, bool flush) {
    KeyFileOpenResult opened = OpenKeyFileIo(path, KeyFileAccess::Station);
    if (opened.status != KeyFileOpenStatus::Ok) {
        return nullptr;
    }
    std::unique_ptr<IKeyFileIo> io = std::move(opened.io);
    if (!flush) {
        io = std::make_unique<NoFlushIo>(std::move(io));
    }
    return std::make_unique<CKeyFile>(std::move(io), path, nullptr, KeyFileAccess::Station);
}

// Arguments: key count, flush (1) or not (0). Each iteration takes one key and records it; the
// file is made afresh (untimed) when its keys run out.
void BM_GetKeyAndCommit(benchmark::State& state) {
    const uint32_t keys = static_cast<uint32_t>(state.range(0));
    const bool flush = state.range(1) != 0;
    const std::string path = KeyFileFor(keys, 16);
    const std::string work = path + ".work";
    const auto fresh = [&]() -> std::unique_ptr<CKeyFile> {
        const std::string cmd = "cp " + path + " " + work;
        if (std::system(cmd.c_str()) != 0) {
            return nullptr;
        }
        return OpenForCommit(work, flush);
    };
    std::unique_ptr<CKeyFile> file = fresh();
    if (!file || !file->IsValid()) {
        state.SkipWithError("cannot open the key file");
        return;
    }
    for (auto _ : state) {
        int32_t index = -1;
        KeyCopy key;
        if (!file->GetKey(&index, &key)) {
            state.PauseTiming();
            file.reset();
            file = fresh();
            state.ResumeTiming();
            if (!file || !file->GetKey(&index, &key)) {
                state.SkipWithError("cannot take a key");
                return;
            }
        }
        if (!file->UpdateKeyFile(index)) {
            state.SkipWithError("UpdateKeyFile failed");
            return;
        }
    }
    state.counters["headerBytes"] = file->GetHeaderSize();
    file.reset();
    unlink(work.c_str());
}

BENCHMARK(BM_GetKeyAndCommit)
    ->Args({1000, 0})
    ->Args({kdb::kMaxKeyCount, 0})
    ->Args({1000, 1})
    ->Args({kdb::kMaxKeyCount, 1})
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    for (const std::string& path : CreatedFiles()) {
        unlink(path.c_str());
    }
    return 0;
}
