// The station controller: settings, language, log, key database, discovery, the sixteen device
// slots with their scan thread and persistent port map, the counters, and the provisioning
// workers. It runs without a window system: the window is IStationView, the texts it shows live
// in CStationModel, and work for the main thread goes through IMainThreadPoster.
//
// Threads: the main thread calls every public operation except NoteDeviceChange and the
// IWorkerHost calls. One scan thread runs from Initialise to Shutdown; one worker thread runs
// per running slot and is joined when its result has been handled.
//
// Locks (never two of them at once, never one while waiting for a thread): scanLock_
// (scanRequests_), slotLock_ (slot table, usbMap_, freeSlotNumbers_, worker threads),
// counterLock_ (the three counters), unusedLock_ (the unused-key label). The model's and the
// logger's locks are taken inside any of them.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "app/MainThreadPoster.h"
#include "app/StationModel.h"
#include "app/StationPlatform.h"
#include "app/StationView.h"
#include "device/DeviceTables.h"
#include "device/ZRDeviceDesc.h"
#include "provision/WorkerHost.h"
#include "support/Logger.h"

class CIniLocalLan;
class CIniSettingBase;
class CKeyFile;
class IKeySource;
class CLogger;
class ZRScan;

// One slot of the device table, numbered 1..16 (table row = slotNumber - 1).
struct DeviceSlot {
    int slotNumber = 0;
    int running = 0;  // 1 while a worker is active for the slot
    int present = 0;  // 1 while the latest scan found the device at portLocation
    std::string devicePath;
    std::string portLocation;
};

enum class StationState { kIdle, kRunning, kStopping };

struct StationOptions {
    // Pause of the scan thread between looks at the request count, and after each rescan.
    uint32_t scanIntervalMs = 200;
    // How long shutdown waits for the scan thread before it reports the delay.
    uint32_t scanStopWaitMs = 10000;
};

// What window initialisation ended with: the station runs, or the process should end with
// exitCode (after the message has been shown).
struct StartupResult {
    bool started = false;
    int exitCode = 0;
};

class CStationController final : public IWorkerHost {
  public:
    static constexpr int kSlotCount = 16;
    static constexpr uint32_t kScanLimitSec = 30;

    // The job one worker thread runs for a slot.
    using WorkerProc = std::function<void(IWorkerHost& host, int slotNumber)>;

    // worker empty: the provisioning job (UpgradeThreadProc).
    CStationController(StationPlatform& platform, IStationView& view, IMainThreadPoster& poster,
                       StationOptions options = {}, WorkerProc worker = {});
    // Stops the scan thread and joins every thread still running (bounded: workers never wait for
    // the main thread). Closures still queued for the controller then do nothing.
    ~CStationController() override;
    CStationController(const CStationController&) = delete;
    CStationController& operator=(const CStationController&) = delete;

    // Window initialisation: settings, language, log, discovery, scan thread.
    StartupResult Initialise();

    // --- Window events (main thread).
    void OnKeyFileButton();
    void OnStartStopButton();
    void OnConfigButton();
    // The window's close command or the exit button. True when the station has shut down (the
    // view was told to close); false when the request was refused.
    bool OnClose();
    // A device-change notice with its event code: 0x0007, 0x8000 and 0x8004 ask for a rescan.
    void OnDeviceChangeEvent(uint32_t eventCode);
    // A worker's result, normally delivered through the main-thread queue.
    void OnUpgradeResult(int slotNumber, bool success);

    // Loads a key file as the key-file action does after its file dialog (main thread, idle).
    void LoadKeyFile(const std::string& path);
    // Draws keys from the shared key pool `pool` of the database at `conninfo` (a libpq connection
    // string) instead of a key file; the key-file label shows the pool and its counts.
    void LoadKeyPool(const std::string& conninfo, const std::string& pool);
    // Asks for one rescan (any thread).
    void NoteDeviceChange();

    // --- Observation.
    StationState State() const;
    bool IsShutDown() const { return shutDown_; }
    CStationModel& Model() { return model_; }
    CIniSettingBase& MutableSettings() { return *settings_; }
    std::vector<DeviceSlot> SlotsSnapshot() const;
    std::map<std::string, int> UsbMapSnapshot() const;
    // Rescans completed since start-up, and rescans asked for and not yet begun.
    uint64_t CompletedRescans() const { return completedRescans_.load(); }
    int PendingRescans() const;
    // True while a rescan is asked for or under way.
    bool RescanBusy() const;
    // Called on the thread that starts a worker, before the worker's thread exists.
    void SetWorkerStartObserver(std::function<void(int slotNumber)> observer) {
        workerStartObserver_ = std::move(observer);
    }

    // --- IWorkerHost.
    bool CopySlot(int slotNumber, WorkerSlot* out) override;
    const CIniSettingBase& Settings() override { return *settings_; }
    IKeySource* KeySource() override { return keySource_.get(); }
    // The key file behind the key source, or null when none is loaded or the source is a pool.
    CKeyFile* KeyFile();
    CLoggerBase* Logger() override;
    std::string GetLangText(const std::string& key) override;
    void SetRowStatus(int row, const std::string& text) override;
    void DropRowColour(int row) override;
    void IncreaseSuccess() override;
    void IncreaseFail() override;
    void DecreaseUnused() override;
    void KeyFileFailed() override;
    void PostUpgradeResult(int slotNumber, bool success) override;
    std::unique_ptr<CZRComm> NewComm() override;
    std::unique_ptr<ZRScan> NewScanner() override;

  private:
    using SlotTable = std::map<int, DeviceSlot>;
    struct WorkerJob;

    void Log(const char* format, ...) KS_PRINTF_LIKE(2, 3);
    StartupResult ConfigFailure();
    bool LoadConfiguration();
    void CreateLogger();
    // One start-up line when config.ini could not be read, or naming the keys that fell back to
    // their defaults.
    void LogSettingsTrouble();
    bool CreateScanner();
    bool StartScanThread();
    void StopScanThread();
    void UpdateButtons();
    void EnableIdleButtons(bool enabled);
    void SetKeyInfo(const std::string& path, const std::string& keyCount,
                    const std::string& unusedCount, const std::string& createTime);
    bool AnyRunningLocked() const;
    void IncreaseCounter(int counterId);
    void OnKeyFileFailed();

    // Scan thread.
    void ScanThreadProc();
    bool WaitScanInterval();  // false when asked to stop
    void Rescan();
    void LoadPortMap();
    void HandleNewDevice(const ZRDeviceDesc& desc);
    SlotTable::iterator HandleRemoveDevice(SlotTable::iterator slot);
    int AllocateSlotNumber(const std::string& devicePath);
    void RebuildUsbMap();
    void ResetFreeSlotNumbers();
    bool LoadUsbMapInfo();
    bool WriteUsbMap(const std::string& devicePath, int slotNumber);
    bool ClearUsbMap();
    void ClearRow(int row);

    // Workers. StartWorkerLocked runs with slotLock_ held.
    void StartWorkerLocked(DeviceSlot& slot);
    void WorkerThreadMain(int slotNumber, std::shared_ptr<WorkerJob> job);

    StationPlatform& platform_;
    IStationView& view_;
    IMainThreadPoster& poster_;
    const StationOptions options_;
    WorkerProc worker_;
    std::function<void(int)> workerStartObserver_;
    std::shared_ptr<std::atomic<bool>> alive_;

    CStationModel model_;
    std::string appDir_;
    std::string logFolder_;
    std::unique_ptr<CIniSettingBase> settings_;
    std::unique_ptr<CIniLocalLan> language_;
    std::unique_ptr<CLogger> logger_;
    std::unique_ptr<IKeySource> keySource_;
    DeviceTables deviceTables_;
    std::unique_ptr<ZRScan> scanner_;

    // Scan thread: stop flag, end event, wake-up for its pauses.
    std::thread scanThread_;
    std::atomic<bool> scanStop_ = false;
    std::mutex scanWaitLock_;
    std::condition_variable scanWake_;
    bool scanEnded_ = false;  // the end event, under scanWaitLock_
    bool pollForChanges_ = false;
    std::atomic<uint64_t> completedRescans_ = 0;
    std::atomic<bool> rescanning_ = false;

    mutable std::mutex scanLock_;
    int scanRequests_ = 0;

    mutable std::mutex slotLock_;
    SlotTable slots_;
    std::map<std::string, int> usbMap_;
    std::deque<int> freeSlotNumbers_;
    std::set<std::string> unboundReported_;  // devices left without a slot, logged once each
    bool unboundWaiting_ = false;            // a device waits for a free slot number
    std::thread workers_[kSlotCount];
    std::vector<std::thread> retiredWorkers_;

    std::mutex counterLock_;
    std::mutex unusedLock_;

    std::atomic<int> stationRunning_ = 0;
    bool keyFileFailureShown_ = false;  // main thread; reset when a key file is loaded
    bool shutDown_ = false;
    bool initialised_ = false;
};
