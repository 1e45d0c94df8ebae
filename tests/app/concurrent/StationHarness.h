// A station on a simulated USB host, for controller tests: a home folder with config.ini,
// devices.ini and the language files, a recording view, the main-thread queue run by the test,
// and workers that either run the real provisioning job or wait until the test lets them finish.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app/MainThreadQueue.h"
#include "app/PortMapStore.h"
#include "app/StationController.h"
#include "keydb/KeyFileWriter.h"
#include "platform/sim/DemoImage.h"
#include "platform/sim/LoaderEmulator.h"
#include "platform/sim/SimUsbHost.h"
#include "support/Clock.h"
#include "support/TextCodec.h"
#include "tests/app/concurrent/RecordingView.h"
#include "tests/common/StationHome.h"

namespace station_test {

namespace fs = std::filesystem;

using station_fixture::FastClock;
using station_fixture::ReadText;
using station_fixture::StationHome;
using station_fixture::Utf8Path;
using station_fixture::WriteText;

inline size_t CountOf(const std::string& text, const std::string& part) {
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++n;
    }
    return n;
}

// Text as the station log holds it: in the environment's character set where that is not UTF-8
// (a Windows code page; characters it lacks, such as a profile's 张三 in code page 1252, are '?').
inline std::string AsLogged(const std::string& text) {
    const std::string charset = ks::EnvironmentCharset();
    std::string out;
    return !ks::KeepsUtf8(charset) && ks::Utf8ToCharset(text, charset, &out) ? out : text;
}

// Workers that report "working", then wait until the test releases their slot.
class WorkerGate {
  public:
    CStationController::WorkerProc Proc() {
        return [this](IWorkerHost& host, int slot) {
            WorkerSlot copy;
            host.CopySlot(slot, &copy);
            host.DropRowColour(slot - 1);
            host.SetRowStatus(slot - 1, "");
            host.SetRowStatus(slot - 1, "working " + copy.portLocation);
            bool success = true;
            {
                std::unique_lock<std::mutex> guard(lock_);
                ++running_;
                changed_.notify_all();
                changed_.wait(guard, [&] { return released_.count(slot) != 0 || all_; });
                success = released_.count(slot) == 0 || released_[slot];
                released_.erase(slot);
                --running_;
                ++finished_;
            }
            std::string text = success ? "done" : "failed";
            {
                std::lock_guard<std::mutex> guard(lock_);
                if (auto it = texts_.find(slot); it != texts_.end()) {
                    text = it->second;
                    texts_.erase(it);
                }
            }
            if (success) {
                host.IncreaseSuccess();
            } else {
                host.IncreaseFail();
            }
            host.SetRowStatus(slot - 1, text);
            host.PostUpgradeResult(slot, success ? JobOutcome::kSuccess : JobOutcome::kFailed);
        };
    }
    void Release(int slot, bool success = true) {
        std::lock_guard<std::mutex> guard(lock_);
        released_[slot] = success;
        changed_.notify_all();
    }
    // Lets the slot's job end with this final status text.
    void Release(int slot, bool success, const std::string& text) {
        std::lock_guard<std::mutex> guard(lock_);
        texts_[slot] = text;
        released_[slot] = success;
        changed_.notify_all();
    }
    void ReleaseAll() {
        std::lock_guard<std::mutex> guard(lock_);
        all_ = true;
        changed_.notify_all();
    }
    int Running() {
        std::lock_guard<std::mutex> guard(lock_);
        return running_;
    }
    int Finished() {
        std::lock_guard<std::mutex> guard(lock_);
        return finished_;
    }

  private:
    std::mutex lock_;
    std::condition_variable changed_;
    std::map<int, bool> released_;
    std::map<int, std::string> texts_;
    bool all_ = false;
    int running_ = 0;
    int finished_ = 0;
};

class StationTest : public ::testing::Test {
  protected:
    static constexpr ks::LocalTime kToday{2026, 3, 7, 9, 5, 3, 0};

    void SetUp() override { NewHost(); }

    void TearDown() override {
        ReleaseWorkers();
        controller_.reset();
        host_.reset();
    }

    void NewHost() {
        controller_.reset();
        host_ = std::make_unique<SimUsbHost>(clock_);
        host_->AddController(true, 20);
        portMap_ = std::make_unique<CPortMapFile>((home_ / "portmap.ini").string());
        platform_ = std::make_unique<StationPlatform>(StationPlatform{*host_,
                                                                      *host_,
                                                                      *host_,
                                                                      clock_,
                                                                      *portMap_,
                                                                      homeFolder_.Folder(),
                                                                      [] { return kToday; },
                                                                      {}});
    }

    // The station walks `tree` instead of the simulated host's own tree (set before booting).
    void UseTree(IUsbTree& tree) {
        platform_ = std::make_unique<StationPlatform>(StationPlatform{tree,
                                                                      *host_,
                                                                      *host_,
                                                                      clock_,
                                                                      *portMap_,
                                                                      homeFolder_.Folder(),
                                                                      [] { return kToday; },
                                                                      {}});
    }

    void WriteConfig() { homeFolder_.WriteConfig(); }

    // Creates the controller with the current config and initialises it.
    StartupResult Boot(CStationController::WorkerProc worker) {
        WriteConfig();
        controller_.reset();
        StationOptions options;
        options.scanIntervalMs = 5;
        options.scanStopWaitMs = scanStopWaitMs_;
        options.jobClock = jobClock_;
        options.keyCountRefreshMs = keyCountRefreshMs_;
        controller_ = std::make_unique<CStationController>(*platform_, view_, queue_, options,
                                                           std::move(worker));
        return controller_->Initialise();
    }
    void BootGated() {
        const StartupResult r = Boot(gate_.Proc());
        ASSERT_TRUE(r.started);
        Settle();
    }
    void BootReal() {
        const StartupResult r = Boot({});
        ASSERT_TRUE(r.started);
        Settle();
    }

    // Runs the main-thread queue until pred holds; false after the time-out.
    bool RunUntil(const std::function<bool()>& pred, int timeoutMs = 20000) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (std::chrono::steady_clock::now() < end) {
            queue_.RunPending();
            if (pred()) {
                return true;
            }
            queue_.RunFor(1);
        }
        queue_.RunPending();
        return pred();
    }
    // Waits until every device change seen so far has been rescanned and the queue is empty.
    void Settle() {
        ASSERT_TRUE(RunUntil(
            [&] { return controller_->CompletedRescans() > 0 && !controller_->RescanBusy(); }));
        queue_.RunPending();
    }

    std::shared_ptr<LoaderEmulator> Plug(const std::string& location, int index = 0) {
        std::shared_ptr<LoaderEmulator> device = MakeDemoLoader(index, DemoLayout::kGpt, clock_);
        EXPECT_TRUE(host_->Plug(location, device)) << location;
        devices_[location] = device;
        return device;
    }
    // Plugs a device and, once the station runs, waits until a slot holds it.
    void PlugAndSettle(const std::string& location, int index = 0) {
        Plug(location, index);
        if (controller_) {
            WaitBound(location);
        }
    }
    // Plugs a device and waits for the rescan that follows its notice.
    void PlugAndRescan(const std::string& location, int index = 0) {
        const uint64_t before = controller_->CompletedRescans();
        Plug(location, index);
        ASSERT_TRUE(RunUntil([&] {
            return controller_->CompletedRescans() > before && !controller_->RescanBusy();
        }));
        queue_.RunPending();
    }
    void WaitBound(const std::string& location) {
        ASSERT_TRUE(RunUntil([&] { return SlotAt(location) != nullptr; })) << location;
        Settle();
    }

    std::optional<DeviceSlot> FindSlot(const std::function<bool(const DeviceSlot&)>& match) {
        for (const DeviceSlot& s : controller_->SlotsSnapshot()) {
            if (match(s)) {
                return s;
            }
        }
        return std::nullopt;
    }
    std::unique_ptr<DeviceSlot> SlotAt(const std::string& location) {
        auto s = FindSlot([&](const DeviceSlot& d) { return d.portLocation == location; });
        return s ? std::make_unique<DeviceSlot>(*s) : nullptr;
    }
    std::unique_ptr<DeviceSlot> SlotNumbered(int number) {
        auto s = FindSlot([&](const DeviceSlot& d) { return d.slotNumber == number; });
        return s ? std::make_unique<DeviceSlot>(*s) : nullptr;
    }

    CStationModel& Model() { return controller_->Model(); }
    std::string LangText(const std::string& key) { return controller_->GetLangText(key); }
    StationState State() { return controller_->State(); }

    void Press(int button) {
        switch (button) {
            case StationControl::kStartStopButton:
                controller_->OnStartStopButton();
                break;
            case StationControl::kKeyFileButton:
                controller_->OnKeyFileButton();
                break;
            case StationControl::kConfigButton:
                controller_->OnConfigButton();
                break;
            default:
                break;
        }
        queue_.RunPending();
    }

    void ReleaseWorkers() { gate_.ReleaseAll(); }

    // The one station log file of the run.
    std::string LogText() {
        const fs::path folder = home_ / "log" / "log-2026-03-07";
        std::string all;
        if (fs::is_directory(folder)) {
            for (const auto& entry : fs::directory_iterator(folder)) {
                all += ReadText(entry.path());
            }
        }
        return all;
    }

    // A key file of `count` keys of `keySize` bytes; key i starts with its index (4 bytes LE).
    std::string MakeKeyFile(const std::string& name, uint32_t count, uint32_t keySize,
                            std::vector<uint32_t> used = {}) {
        const KeyFileLayout layout = station_fixture::SampleLayout(count, keySize, std::move(used));
        std::vector<uint8_t> data(size_t{count} * keySize);
        for (uint32_t i = 0; i < count; ++i) {
            uint8_t* key = &data[size_t{i} * keySize];
            for (uint32_t b = 0; b < keySize; ++b) {
                key[b] = static_cast<uint8_t>(i * 7 + b * 13 + 1);
            }
            for (uint32_t b = 0; b < 4 && b < keySize; ++b) {
                key[b] = static_cast<uint8_t>(i >> (8 * b));
            }
        }
        std::vector<uint8_t> image;
        std::string error;
        EXPECT_TRUE(BuildKeyFileImage(layout, data.data(), data.size(), &image, &error)) << error;
        const fs::path path = home_ / name;
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(image.data()),
                   static_cast<std::streamsize>(image.size()));
        return path.string();
    }

    FastClock clock_{50};
    uint32_t scanStopWaitMs_ = 10000;
    IClock* jobClock_ = nullptr;  // the controller's clock of job times; null: the system's
    uint32_t keyCountRefreshMs_ = 5000;
    StationHome homeFolder_{std::string("ks_station_") +
                            ::testing::UnitTest::GetInstance()->current_test_info()->name()};
    const fs::path& home_ = homeFolder_.Path();
    std::map<std::string, std::string>& system_ = homeFolder_.system;
    std::map<std::string, std::string>& language_ = homeFolder_.language;
    std::unique_ptr<SimUsbHost> host_;
    std::unique_ptr<CPortMapFile> portMap_;
    std::unique_ptr<StationPlatform> platform_;
    CMainThreadQueue queue_;
    RecordingView view_;
    WorkerGate gate_;
    std::unique_ptr<CStationController> controller_;
    std::map<std::string, std::shared_ptr<LoaderEmulator>> devices_;
};

}  // namespace station_test
