// What the station tests share: a clock that runs faster than the wall clock, whole-file text
// helpers, and a station's home folder with the shipped language files and devices.ini and a
// config.ini written from two key maps.
#pragma once

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "keydb/KeyFileWriter.h"
#include "support/Clock.h"

namespace station_fixture {

namespace fs = std::filesystem;

// Real time sped up: NowMs runs `factor` times faster than the wall clock and SleepMs sleeps a
// `factor`th of the time, so 30-second device waits and 1.5-second reboots take milliseconds.
class FastClock final : public IClock {
  public:
    explicit FastClock(uint64_t factor) : factor_(factor) {}
    uint64_t NowMs() override {
        const auto us = std::chrono::duration_cast<std::chrono::microseconds>(
                            std::chrono::steady_clock::now().time_since_epoch())
                            .count();
        return static_cast<uint64_t>(us) * factor_ / 1000;
    }
    void SleepMs(uint32_t ms) override {
        std::this_thread::sleep_for(std::chrono::microseconds(uint64_t{ms} * 1000 / factor_));
    }

  private:
    uint64_t factor_;
};

// A clock the test moves by hand.
class HandClock final : public IClock {
  public:
    explicit HandClock(uint64_t startMs = 5000000) : now_(startMs) {}
    uint64_t NowMs() override { return now_.load(); }
    void SleepMs(uint32_t ms) override { now_ += ms; }
    void Advance(uint64_t ms) { now_ += ms; }

  private:
    std::atomic<uint64_t> now_;
};

// The tests' key files: `count` keys of `keySize` bytes made 2026-01-31 12:00:00, `used`
// already recorded as used.
inline KeyFileLayout SampleLayout(uint32_t count, uint32_t keySize,
                                  std::vector<uint32_t> used = {}) {
    KeyFileLayout layout;
    layout.keyCount = count;
    layout.keySize = keySize;
    layout.created = {2026, 1, 31, 12, 0, 0};
    layout.usedIndices = std::move(used);
    return layout;
}

// Such a key file of random keys at `path`; false with the reason in *error.
inline bool WriteSampleKeyFile(const std::string& path, uint32_t count, uint32_t keySize,
                               std::vector<uint32_t> used, std::string* error) {
    CRandomKeySource source;
    return WriteKeyFile(path, SampleLayout(count, keySize, std::move(used)), source, true, error);
}

// A UTF-8 path (as the station takes and reports paths) for std::filesystem: a plain std::string
// would be read in the ANSI code page on Windows, where a profile named 张三 is then not found.
inline fs::path Utf8Path(const std::string& utf8) {
    return fs::path(std::u8string(utf8.begin(), utf8.end()));
}

inline std::string ReadText(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

inline void WriteText(const fs::path& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

// The clock of one emulated device, whose per-command latency sleeps on it: while the gate is
// closed the device answers no command, so a job on it stays running until the test opens it.
class GateClock final : public IClock {
  public:
    explicit GateClock(bool open) : open_(open) {}
    uint64_t NowMs() override {
        return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                         std::chrono::steady_clock::now().time_since_epoch())
                                         .count());
    }
    void SleepMs(uint32_t) override {
        std::unique_lock<std::mutex> guard(lock_);
        ++waiting_;
        changed_.wait(guard, [&] { return open_; });
        --waiting_;
    }
    void Open() {
        std::lock_guard<std::mutex> guard(lock_);
        open_ = true;
        changed_.notify_all();
    }
    void Close() {
        std::lock_guard<std::mutex> guard(lock_);
        open_ = false;
    }
    // True while a command of the device waits at the gate.
    bool Held() {
        std::lock_guard<std::mutex> guard(lock_);
        return waiting_ > 0;
    }

  private:
    std::mutex lock_;
    std::condition_variable changed_;
    bool open_;
    int waiting_ = 0;
};

// A fresh folder in the temporary directory, named after the process and `name`, removed again
// by the destructor. It starts with the shipped language files and devices.ini; config.ini is
// written from `system` and `language` (plain settings: logging off, English selected).
class StationHome {
  public:
    explicit StationHome(const std::string& name)
        : path_(fs::temp_directory_path() / (name + "_" + std::to_string(::getpid()))) {
        fs::remove_all(path_);
        fs::create_directories(path_);
        const fs::path data = fs::path(KS_SOURCE_DIR) / "data";
        fs::copy(data / "lang", path_ / "lang", fs::copy_options::recursive);
        fs::copy_file(data / "devices.ini", path_ / "devices.ini");
    }
    ~StationHome() {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    StationHome(const StationHome&) = delete;
    StationHome& operator=(const StationHome&) = delete;

    const fs::path& Path() const { return path_; }
    // The folder as the station takes it: with a trailing separator.
    std::string Folder() const { return path_.string() + "/"; }

    void WriteConfig() const {
        std::string text = "[Language]\r\n";
        for (const auto& [k, v] : language) {
            text += k + "=" + v + "\r\n";
        }
        text += "[System]\r\n";
        for (const auto& [k, v] : system) {
            text += k + "=" + v + "\r\n";
        }
        WriteText(path_ / "config.ini", text);
    }

    std::map<std::string, std::string> system = {{"LogLevel", "0"},        {"GetRkp", "0"},
                                                 {"WriteKeybox", "0"},     {"DestPosition", "0"},
                                                 {"ResetAfterWrite", "0"}, {"SavePath", ""}};
    std::map<std::string, std::string> language = {{"LangPath", "lang/"},
                                                   {"LanKinds", "2"},
                                                   {"Lang1File", "English.ini"},
                                                   {"Lang2File", "Chinese.ini"},
                                                   {"Selected", "0"}};

  private:
    fs::path path_;
};

}  // namespace station_fixture
