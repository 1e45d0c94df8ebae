// The station controller, the window's handler: it takes the window's buttons, its close command
// and every other way out, starts a provisioning worker per running slot and collects each
// worker's result, and decides what the window shows: texts, enabled buttons, the focus after
// every action. It owns the settings, the language, the log, discovery, the device slots
// (app/DeviceSlots.h: slot table, port map, scan thread), the key supply (app/KeySupply.h), the
// shift clock (app/ShiftClock.h), the results journal (app/ResultsJournal.h) and the counters.
// It runs without a window system: the window is IStationView, the texts it shows live in
// CStationModel, and work for the main thread goes through IMainThreadPoster. Start-up and
// shutdown are in StationLifecycle.cpp.
//
// Threads: the main thread calls every public operation except NoteDeviceChange and the
// IWorkerHost calls. One scan thread (CDeviceSlots) runs from Initialise to the end of shutdown;
// one worker thread runs per running slot and is joined when its result has been handled; while
// shutdown waits for the scan thread to end, one closing thread waits for it and posts the rest
// of the shutdown to the main thread, which goes on dispatching meanwhile.
//
// Locks (never two of them at once, never one while waiting for a thread): the device slots' own
// (see there), counterLock_ (the three counters), the key supply's (the unused-key label). The
// model's and the logger's locks are taken inside any of them.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "app/DeviceSlots.h"
#include "app/MainThreadPoster.h"
#include "app/ShiftClock.h"
#include "app/StationArguments.h"
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
class CKeySupply;
class CResultsJournal;
class IKeySource;
class CLogger;
class ZRScan;

enum class StationState { kIdle, kRunning, kStopping };

struct StationOptions {
    // Pause of the scan thread between looks at the request count, and after each rescan.
    uint32_t scanIntervalMs = 200;
    // How long shutdown waits for the scan thread before it reports the delay.
    uint32_t scanStopWaitMs = 10000;
    // How long the close command waits on the main thread for the scan thread to end before it
    // lets the main thread go on dispatching and finishes the shutdown when the thread has ended.
    uint32_t closeGraceMs = 50;
    // The clock of the job times, stuck jobs and the summary's pace; null: the system's.
    IClock* jobClock = nullptr;
    // How often the counts of a key source without a file (the shared pool) are read again, off
    // the main thread, so that the unused-key label follows other stations' draws; 0: never.
    uint32_t keyCountRefreshMs = 5000;
    // Practice mode (simulated boards): the title and the status line say so all the time, and
    // production's key stocks are refused (app/PracticeKeys.h).
    bool practice = false;
    // Production's application folder, whose "stocks" records tell practice which key stocks are
    // production's; empty: unknown.
    std::string productionFolder;
    // Practice takes production's key stocks all the same (--practice-with-production-keys).
    bool practiceWithProductionKeys = false;
    // The system's locale ("zh_CN") on a first start (config.ini was just seeded): the language
    // file whose LANG:IDS_QT_LOCALE has the same language is selected, and saved so. Empty: the
    // language config.ini selects.
    std::string systemLocale;
};

// What window initialisation ended with: the station runs, or the process should end with
// exitCode (after the message has been shown).
struct StartupResult {
    bool started = false;
    int exitCode = 0;
};

class CStationController final : public IWorkerHost {
  public:
    static constexpr int kSlotCount = CDeviceSlots::kSlotCount;
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
    // The window's close command or the exit button; `by` names it in the results ("close" with
    // "by"). True when the station has shut down (the view was told to close); false when the
    // request was refused (the station runs or stops), or when the scan thread is still
    // finishing a rescan: then the main thread goes on dispatching, and the shutdown ends (and
    // the view is told to close) in a closure posted once the thread has ended.
    bool OnClose(const std::string& by = "exit-button");
    // The session is about to end (log-off, shutdown): true when it may; false while jobs run,
    // with the reason in *why (also on the status line and in the log).
    bool QueryEndSession(std::string* why);
    // Every other way out (the session ends, a signal, the console closes): a running station
    // is stopped, the running jobs finish, then the station shuts down as the close command
    // does; `stop` and `close` in the results name `by`. Main thread; the view is told to close
    // when it is done (at once when no job runs).
    void EndStation(const std::string& by);
    // True from an accepted close command until the view has been told to close.
    bool IsClosing() const { return closing_; }
    // A device-change notice with its event code: 0x0007, 0x8000 and 0x8004 ask for a rescan.
    void OnDeviceChangeEvent(uint32_t eventCode);
    // A worker's result, normally delivered through the main-thread queue.
    void OnUpgradeResult(int slotNumber, JobOutcome outcome);
    // The clock's tick, once a second (any period will do): the running jobs' times, jobs that
    // run longer than StuckSeconds (their rows turn amber, one log line each), the summary's pace.
    void OnClockTick();
    ShiftSummary Summary() const { return clock_.Summary(); }

    // Loads a key file as the key-file action does after its file dialog (main thread, idle).
    void LoadKeyFile(const std::string& path);
    // Draws keys from the shared key pool `pool` of the database at `conninfo` (a libpq connection
    // string) instead of a key file; the key-file label shows the pool and its counts. The pool's
    // keys open with the wrap key in `wrapKeyFile` (empty: KeyPoolWrapKey of config.ini);
    // `insecureConnection` allows TCP without verified TLS, and is logged at every load.
    void LoadKeyPool(const std::string& conninfo, const std::string& pool,
                     const std::string& wrapKeyFile = std::string(),
                     bool insecureConnection = false);
    // Draws keys from an opened key source without a file behind it (the pool of LoadKeyPool, or
    // a test's): its counts are shown now and read again every keyCountRefreshMs; a failed read
    // says in the status line that the connection is lost, the next good one that it is back.
    // False (no key source loaded) when its counts cannot be read now. Main thread, idle.
    bool LoadKeySource(std::unique_ptr<IKeySource> source);
    // What the program's options ask for once start-up is done (main thread, idle): the run's
    // settings (SetRunSettings), then the key file, or the key pool, or else the pool config.ini
    // names. Start is the caller's to press.
    void ApplyArguments(const StationArguments& arguments);
    // Settings for this run only: applied now, and put back before the settings are written at
    // shutdown, each unless it was changed since (in the configuration dialog).
    void SetRunSettings(const RunSettings& run);
    // Asks for one rescan (any thread).
    void NoteDeviceChange();
    // The locale of the toolkit's own texts (dialog buttons, file dialogs) for the selected
    // language file: its LANG:IDS_QT_LOCALE, else "zh_CN" for a Chinese file; empty: none.
    const std::string& UiLocale() const { return uiLocale_; }

    // --- Observation.
    StationState State() const;
    bool IsShutDown() const { return shutDown_; }
    CStationModel& Model() { return model_; }
    CIniSettingBase& MutableSettings() { return *settings_; }
    std::vector<DeviceSlot> SlotsSnapshot() const { return slots_.Snapshot(); }
    std::map<std::string, int> UsbMapSnapshot() const { return slots_.UsbMapSnapshot(); }
    // Rescans completed since start-up, and rescans asked for and not yet begun.
    uint64_t CompletedRescans() const { return slots_.CompletedRescans(); }
    int PendingRescans() const { return slots_.PendingRescans(); }
    // True while a rescan is asked for or under way.
    bool RescanBusy() const { return slots_.RescanBusy(); }
    // Why devices.ini gave no loader ids (it could not be read, or names none): "" when it did.
    // The station then runs but can find no board; the status line says so.
    const std::string& DeviceTablesProblem() const { return deviceTablesProblem_; }
    // Called on the thread that starts a worker, before the worker's thread exists.
    void SetWorkerStartObserver(std::function<void(int slotNumber)> observer) {
        workerStartObserver_ = std::move(observer);
    }
    // Called on the main thread with every finished job's record, after it went to the results
    // file (the console's JSON lines).
    void SetJobObserver(std::function<void(const JobRecord&)> observer) {
        jobObserver_ = std::move(observer);
    }

    // --- IWorkerHost.
    bool CopySlot(int slotNumber, WorkerSlot* out) override;
    const CIniSettingBase& Settings() override { return *settings_; }
    IKeySource* KeySource() override;
    CStationKeyIndex* KeyIndex() override;
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
    void RkpFolderFailed(int error) override;
    int RkpFolderBlocked() override;
    void RecordJob(const JobRecord& record) override;
    void PostUpgradeResult(int slotNumber, JobOutcome outcome) override;
    std::unique_ptr<CZRComm> NewComm() override;
    std::unique_ptr<ZRScan> NewScanner() override;

  private:
    struct WorkerJob;

    // Practice refusing a key stock of production's: true (said on the status line, in a box
    // and in the log) when `what` must not be loaded; `why` is production's use of it.
    bool PracticeRefuses(const std::string& what, const std::string& why, const char* textKey);
    // Practice without a key source given: its own key file, made when absent, is loaded.
    void LoadPracticeKeyFile();
    void Log(const char* format, ...) KS_PRINTF_LIKE(2, 3);
    StartupResult ConfigFailure();
    bool LoadConfiguration();
    // A first start: Selected becomes the language file of the system's language, if one is.
    void SelectSystemLanguage();
    void CreateLogger();
    // One start-up line when config.ini could not be read, or naming the keys that fell back to
    // their defaults.
    void LogSettingsTrouble();
    bool CreateScanner();
    void CreateRkpFolder();
    bool StartScanThread();
    // Stops the scan thread and waits for it on the calling thread (the destructor).
    void StopScanThread();
    // The rest of the shutdown once the scan thread has ended (main thread).
    void FinishShutdown();
    // The close once it is accepted; `by` goes to the results.
    bool CloseNow(const std::string& by);
    // Stop as the button does; `by` goes to the results.
    void Stop(const std::string& by);
    // Puts back what SetRunSettings replaced (before the settings are written).
    void RestoreRunSettings();
    void UpdateButtons();
    // The four buttons at once (while a key file loads, at shutdown).
    void EnableButtons(bool enabled);
    // The focus goes to the next step's button: Key File while keys are needed and none can be
    // drawn, otherwise Start/Stop.
    void FocusNextStep();
    void EnableIdleButtons(bool enabled);
    // The status line under the table (any thread); empty clears it.
    void SetStatus(const std::string& text);
    // A request the station refuses: the reason in the status line and in the log.
    void Refuse(const char* languageKey, const char* logLine);
    // The caption of error messages in the station's language ("ERROR" without one).
    std::string ErrorCaption();
    // A language text, or `fallback` when the language file has none.
    std::string LangTextOr(const char* key, const char* fallback);
    void IncreaseCounter(int counterId);
    void OnKeyFileFailed();
    // Appends a station event ("start", "stop", "close", "keys-loaded") to the results file.
    void RecordEvent(const char* name, const std::string& by);

    // A job runs longer than StuckSeconds: one log line and the status line.
    void OnStuckJob(int slotNumber, uint64_t seconds);

    // Workers. StartWorker runs with the slots' lock held (the slots' job starter).
    std::thread StartWorker(int slotNumber);
    void WorkerThreadMain(int slotNumber, std::shared_ptr<WorkerJob> job);

    StationPlatform& platform_;
    IStationView& view_;
    IMainThreadPoster& poster_;
    const StationOptions options_;
    WorkerProc worker_;
    std::function<void(int)> workerStartObserver_;
    std::function<void(const JobRecord&)> jobObserver_;
    std::shared_ptr<std::atomic<bool>> alive_;

    CStationModel model_;
    std::string appDir_;
    std::string logFolder_;
    std::unique_ptr<CIniSettingBase> settings_;
    std::unique_ptr<CIniLocalLan> language_;
    std::unique_ptr<CLogger> logger_;
    // Made at start-up, in the application folder.
    std::unique_ptr<CResultsJournal> journal_;
    std::unique_ptr<CKeySupply> keys_;
    std::string practiceBanner_;  // empty unless in practice mode
    DeviceTables deviceTables_;
    std::string deviceTablesProblem_;
    std::unique_ptr<ZRScan> scanner_;
    CDeviceSlots slots_;
    // Waits for the scan thread's end at shutdown and posts the rest of it (main thread owns it).
    std::thread closer_;
    std::mutex counterLock_;

    std::atomic<int> stationRunning_ = 0;
    // The error that keeps the RKP folder from taking files (0: none); new jobs that save RKP
    // data wait for it to be writable again.
    std::atomic<int> rkpBlocked_ = 0;
    std::mutex rkpProbeLock_;
    bool keyFileFailureShown_ = false;  // main thread; reset when a key file is loaded

    CShiftClock clock_;
    std::string uiLocale_;
    bool shutDown_ = false;
    bool closing_ = false;  // main thread: a close command was accepted
    std::string endingBy_;  // main thread: EndStation waits for the running jobs
    std::string closeBy_;   // main thread: what the accepted close came from
    bool initialised_ = false;
    RunSettings runValues_;  // what SetRunSettings set
    RunSettings runSaved_;   // what the settings held before
};
