// Pieces shared by the fuzz targets: a reader that takes typed values from the fuzzer's bytes, a
// log that formats every line and drops it, a virtual clock, a private scratch folder, a loader
// board whose every command fails unless a target overrides it, and a check that aborts.
#pragma once

#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "device/ZRComm.h"
#include "support/Clock.h"
#include "support/Logger.h"

// A property the code under test must keep; a broken one is a finding, so the run stops with a
// report that libFuzzer records as a crash.
#define FUZZ_CHECK(cond)                                                                     \
    do {                                                                                     \
        if (!(cond)) {                                                                       \
            std::fprintf(stderr, "%s:%d: property failed: %s\n", __FILE__, __LINE__, #cond); \
            std::abort();                                                                    \
        }                                                                                    \
    } while (0)

namespace fuzz {

// Takes values from the front of the input; past its end every value is zero.
class Reader {
  public:
    Reader(const uint8_t* data, size_t size) : data_(data), size_(size) {}

    bool Empty() const { return pos_ >= size_; }
    size_t Left() const { return size_ - pos_; }

    uint8_t U8() { return pos_ < size_ ? data_[pos_++] : 0; }
    uint16_t U16() { return static_cast<uint16_t>(U8() | (U8() << 8)); }
    uint32_t U32() { return static_cast<uint32_t>(U16()) | (static_cast<uint32_t>(U16()) << 16); }
    bool Bool() { return (U8() & 1) != 0; }

    // Up to n bytes, fewer at the end of the input.
    std::vector<uint8_t> Bytes(size_t n) {
        n = std::min(n, Left());
        std::vector<uint8_t> out(data_ + pos_, data_ + pos_ + n);
        pos_ += n;
        return out;
    }
    // Copies up to n bytes into out and returns how many there were.
    size_t Fill(uint8_t* out, size_t n) {
        n = std::min(n, Left());
        if (n > 0) {
            std::memcpy(out, data_ + pos_, n);
        }
        pos_ += n;
        return n;
    }
    std::vector<uint8_t> Rest() { return Bytes(Left()); }

  private:
    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
};

// Formats every line, as a real log would, and keeps nothing.
class DropLog final : public CLoggerBase {
  public:
    void VPrint(int /*level*/, const char* format, va_list args) override KS_PRINTF_LIKE(3, 0) {
        char line[1024];
        std::vsnprintf(line, sizeof line, format, args);
        ++lines;
    }
    void SetLevel(int /*threshold*/) override {}
    size_t lines = 0;
};

// Virtual time: a sleep moves the clock on at once.
class VirtualClock final : public IClock {
  public:
    uint64_t NowMs() override { return now_; }
    void SleepMs(uint32_t ms) override { now_ += ms; }

  private:
    uint64_t now_ = 1000;
};

// A folder of this process under the system's temporary folder, made on first use and removed
// with its contents when the process ends.
inline const std::string& ScratchDir() {
    // Never destroyed: the removal at exit runs after static objects are gone.
    static const std::string* const dir = [] {
        const char* base = std::getenv("TMPDIR");
        auto* path = new std::string(std::string(base != nullptr && *base != '\0' ? base : "/tmp") +
                                     "/ks-fuzz-XXXXXX");
        if (mkdtemp(path->data()) == nullptr) {
            std::perror("mkdtemp");
            std::abort();
        }
        return path;
    }();
    static const bool removeAtExit = [] {
        return std::atexit([] {
                   std::error_code ec;
                   std::filesystem::remove_all(*dir, ec);
               }) == 0;
    }();
    (void)removeAtExit;
    return *dir;
}

// Writes bytes to a file of the scratch folder and returns its path.
inline std::string WriteScratchFile(const std::string& name, const uint8_t* data, size_t size) {
    const std::string path = ScratchDir() + "/" + name;
    FILE* f = std::fopen(path.c_str(), "wb");
    FUZZ_CHECK(f != nullptr);
    FUZZ_CHECK(size == 0 || std::fwrite(data, 1, size, f) == size);
    FUZZ_CHECK(std::fclose(f) == 0);
    return path;
}

// A board whose every command fails as a device failure; targets override what they serve.
class SilentBoard : public CZRComm {
  public:
    SilentBoard() : CZRComm(nullptr, 0) {}
    int ZRU_BlockCommand(const std::string&, uint8_t, uint32_t, uint32_t, uint8_t) override {
        return ZR_ERR_DEVICE;
    }
    int ZRU_Command1B(const std::string&, uint8_t*) override { return ZR_ERR_DEVICE; }
    int ZRU_ReadCapability(const std::string&, uint8_t*) override { return ZR_ERR_DEVICE; }
    int ZRU_Command2B(const std::string&, uint8_t*) override { return ZR_ERR_DEVICE; }
    int ZRU_Command01(const std::string&, uint8_t, uint8_t*) override { return ZR_ERR_DEVICE; }
    int ZRU_ReadFlashInfo(const std::string&, uint8_t*, uint32_t*) override {
        return ZR_ERR_DEVICE;
    }
    int ZRU_ReadVendorRpmb(const std::string&, uint16_t, uint8_t, uint8_t*, uint16_t) override {
        return ZR_ERR_DEVICE;
    }
    int ZRU_ReadLBA(const std::string&, uint32_t, uint16_t, uint8_t*, uint8_t) override {
        return ZR_ERR_DEVICE;
    }
    int ZRU_ReadComData(const std::string&, uint8_t*, uint16_t) override { return ZR_ERR_DEVICE; }
    int ZRU_Command04(const std::string&, uint32_t, uint16_t, uint8_t*) override {
        return ZR_ERR_DEVICE;
    }
    int ZRU_ResetDevice(const std::string&, uint8_t) override { return ZR_ERR_DEVICE; }
    int ZRU_Command2A(const std::string&, uint8_t) override { return ZR_ERR_DEVICE; }
    int ZRU_Command1E(const std::string&, uint8_t) override { return ZR_ERR_DEVICE; }
    int ZRU_Command16(const std::string&) override { return ZR_ERR_DEVICE; }
    int ZRU_Command03(const std::string&, uint8_t, uint32_t, uint32_t, uint8_t*) override {
        return ZR_ERR_DEVICE;
    }
    int ZRU_TestDeviceReady(const std::string&, uint32_t*, uint32_t*, uint8_t) override {
        return ZR_ERR_DEVICE_READY;
    }
    int ZRU_WriteVendorRpmb(const std::string&, uint16_t, uint8_t, const uint8_t*,
                            uint16_t) override {
        return ZR_ERR_DEVICE;
    }
    int ZRU_WriteLBA(const std::string&, uint32_t, uint16_t, const uint8_t*, uint8_t) override {
        return ZR_ERR_DEVICE;
    }
    int ZRU_Command05(const std::string&, uint32_t, uint16_t, const uint8_t*) override {
        return ZR_ERR_DEVICE;
    }
    int ZRU_Command20(const std::string&, uint8_t*, uint16_t) override { return ZR_ERR_DEVICE; }
    int ZRU_Command1F(const std::string&, const uint8_t*, uint16_t) override {
        return ZR_ERR_DEVICE;
    }
    int ZRU_Command18(const std::string&, const uint8_t*, uint16_t) override {
        return ZR_ERR_DEVICE;
    }
    int ZRU_Command21(const std::string&, uint32_t, uint32_t, uint8_t*) override {
        return ZR_ERR_DEVICE;
    }
    int ZRU_Command22(const std::string&, uint32_t, uint32_t, const uint8_t*) override {
        return ZR_ERR_DEVICE;
    }
    int ZRU_Command24(const std::string&, uint16_t, uint16_t, uint8_t*, uint8_t) override {
        return ZR_ERR_DEVICE;
    }
    int ZRU_Command23(const std::string&, uint16_t, uint16_t, const uint8_t*, uint8_t) override {
        return ZR_ERR_DEVICE;
    }
    int ZRU_Command19(const std::string&) override { return ZR_ERR_DEVICE; }
    int ZRU_Command25(const std::string&, uint32_t, uint16_t) override { return ZR_ERR_DEVICE; }
    int ZRU_Open(const std::string&, int) override { return kInvalidHandle; }
    void ZRU_Close(int) override {}
    int ZRU_Write(int, const uint8_t*, uint32_t) override { return 0; }
    int ZRU_Read(int, uint8_t*, uint32_t) override { return 0; }
};

}  // namespace fuzz
