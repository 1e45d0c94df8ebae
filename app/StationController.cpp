#include "app/StationController.h"

#include <algorithm>
#include <chrono>
#include <cstdarg>
#include <exception>
#include <filesystem>
#include <new>
#include <system_error>
#include <utility>

#include "app/JobResults.h"
#include "app/StationDialogTexts.h"
#include "app/StationTexts.h"
#include "device/ZRScan.h"
#include "device/ZRUsbComm.h"
#include "keydb/KeyFile.h"
#include "keydb/KeySource.h"
#include "keydb/pool/PoolKeySource.h"
#include "provision/UpgradeWorker.h"
#include "support/FileSystem.h"
#include "support/IniLocalLan.h"
#include "support/IniSettingBase.h"
#include "support/Logger.h"
#include "support/Paths.h"

namespace {

namespace C = StationControl;

// Device-change event codes that ask for a rescan: nodes changed, arrival, removal complete.
constexpr uint32_t kDevNodesChanged = 0x0007;
constexpr uint32_t kDeviceArrival = 0x8000;
constexpr uint32_t kDeviceRemoveComplete = 0x8004;

// Creates one level of folder; the parent must exist.
void CreateOneFolder(const std::string& folder) {
    std::error_code ec;
    std::filesystem::create_directory(ks::WithoutTrailingSeparator(folder), ec);
}

// A failing check's text as the operator reads it: without the log's "Error:" and the name of
// the routine before its arrow.
std::string OperatorReason(const std::string& checkText) {
    std::string text = checkText;
    if (const size_t arrow = text.rfind("->"); arrow != std::string::npos) {
        text.erase(0, arrow + 2);
    } else if (text.rfind("Error:", 0) == 0) {
        text.erase(0, 6);
    }
    return text.empty() ? std::string("?") : text;
}

// The running job's "result posted" flag, on a worker thread.
thread_local std::atomic<bool>* tlsResultPosted = nullptr;

}  // namespace

// The bookkeeping of one worker thread: whether its job posted a result.
struct CStationController::WorkerJob {
    std::atomic<bool> posted = false;
};

CStationController::CStationController(StationPlatform& platform, IStationView& view,
                                       IMainThreadPoster& poster, StationOptions options,
                                       WorkerProc worker)
    : platform_(platform),
      view_(view),
      poster_(poster),
      options_(options),
      worker_(std::move(worker)),
      alive_(std::make_shared<std::atomic<bool>>(true)),
      model_(poster, &view),
      settings_(std::make_unique<CIniSettingBase>()),
      language_(std::make_unique<CIniLocalLan>()),
      slots_(
          platform.portMap, platform.deviceChanges, model_, options.scanIntervalMs,
          [this] { return stationRunning_ == 1; },
          [this](int slotNumber) { return StartWorker(slotNumber); }),
      jobClock_(options.jobClock != nullptr ? *options.jobClock : SystemClock()) {
    if (!worker_) {
        worker_ = [](IWorkerHost& host, int slotNumber) { UpgradeThreadProc(host, slotNumber); };
    }
}

CStationController::~CStationController() {
    StopCountPoller();
    if (closer_.joinable()) {
        closer_.join();  // it ends with the scan thread
    }
    StopScanThread();
    for (auto& t : slots_.TakeThreads()) {
        t.join();
    }
    *alive_ = false;
}

void CStationController::Log(const char* format, ...) {
    CLogger* log = logger_.get();
    if (log == nullptr) {
        return;
    }
    va_list args;
    va_start(args, format);
    log->VPrint(0, format, args);
    va_end(args);
}

// ---------------------------------------------------------------------------------------------
// Start-up and shutdown

StartupResult CStationController::Initialise() {
    if (initialised_ || shutDown_) {
        return {initialised_, 0};
    }
    appDir_ = platform_.appDir.empty() ? ks::ExecutableFolder() : platform_.appDir;
    if (appDir_.empty()) {
        appDir_.assign(1, '/');  // (assigning "/" trips a false -Wrestrict of GCC 12 here)
    } else if (appDir_.back() != '/') {
        appDir_ += '/';
    }
    results_ = std::make_unique<CJobResults>(appDir_);
    model_.PublishAll();

    if (!LoadConfiguration()) {
        return ConfigFailure();
    }

    const ks::LocalTime today = platform_.localTime ? platform_.localTime() : ks::NowLocalTime();
    logFolder_ = ks::StationLogFolder(appDir_, today);
    if (!ks::FolderExists(ks::WithoutTrailingSeparator(logFolder_))) {
        CreateOneFolder(logFolder_);
    }
    CreateLogger();

    // An empty SavePath stays empty (and is saved so): the RKP files then go to the
    // application folder, never to the filesystem's root.
    if (!settings_->SavePath.empty()) {
        if (!ks::FolderExists(ks::WithoutTrailingSeparator(settings_->SavePath))) {
            CreateOneFolder(settings_->SavePath);
        }
    }

    model_.SetControlText(C::kSuccessCounter, "00000");
    model_.SetControlText(C::kFailCounter, "00000");
    model_.SetControlText(C::kTotalCounter, "00000");

    if (!CreateScanner() || !StartScanThread()) {
        Log("Error:Create Scan Object failed!");
        scanner_.reset();
        view_.ShowMessage("Creating scan object failed!", "ERROR", MessageIcon::kError);
        return {false, -1};
    }
    initialised_ = true;
    return {true, 0};
}

StartupResult CStationController::ConfigFailure() {
    view_.ShowMessage("Loader Config fail", std::string(), MessageIcon::kNone);
    return {false, 0};
}

bool CStationController::LoadConfiguration() {
    try {
        if (!settings_->Load(appDir_ + "config.ini")) {
            return false;
        }
    } catch (const std::bad_alloc&) {
        return false;
    }
    settings_->exeFolder = appDir_;

    const int32_t selected = settings_->Selected;
    if (selected >= 0 && selected < settings_->LanKinds &&
        static_cast<size_t>(selected) < settings_->languageTable.size()) {
        const std::string path = appDir_ + settings_->LangPath +
                                 settings_->languageTable[static_cast<size_t>(selected)].fileName;
        if (!language_->Load(path)) {
            return false;
        }
        CStationDialogTexts window(model_);
        language_->ApplyDialogTexts(window);
        uiLocale_ = language_->GetText("LANG:IDS_QT_LOCALE");
        const std::string& file = settings_->languageTable[static_cast<size_t>(selected)].fileName;
        if (uiLocale_.empty() && file.find("Chinese") != std::string::npos) {
            uiLocale_ = "zh_CN";
        }
        // Makes PROMPT the section of every later bare key.
        language_->GetText("PROMPT:IDS_TEXT_APPNAME");
    }
    return true;
}

void CStationController::CreateLogger() {
    if (settings_->LogLevel >= 4) {
        return;
    }
    try {
        logger_ = std::make_unique<CLogger>(logFolder_, std::string());
    } catch (const std::bad_alloc&) {
        return;
    }
    if (platform_.localTime) {
        logger_->SetTimeSource(platform_.localTime);
    }
    if (logger_->Open()) {
        logger_->SetLevel(-1);
        logger_->Print(0, "Ostrel Running...\r\n");
        LogSettingsTrouble();
    }
}

void CStationController::LogSettingsTrouble() {
    if (settings_->LoadedFileUnread()) {
        Log("Error:LoadConfiguration-->%sconfig.ini exists but could not be read: defaults are "
            "used and the file is left as it is (it is not saved at shutdown)",
            appDir_.c_str());
        return;
    }
    if (settings_->FirstOverlongLine() != 0) {
        Log("Error:LoadConfiguration-->%sconfig.ini line %zu is longer than %zu bytes and was not "
            "read; the file is left as it is (it is not saved at shutdown)",
            appDir_.c_str(), settings_->FirstOverlongLine(), ks::kIniMaxLineBytes);
    }
    if (settings_->defaultedKeys.empty()) {
        return;
    }
    std::string keys;
    for (const std::string& key : settings_->defaultedKeys) {
        if (!keys.empty()) {
            keys += ',';
        }
        keys += key;
    }
    Log("Warning:LoadConfiguration-->config.ini: missing or out of range, defaults used: %s",
        keys.c_str());
}

bool CStationController::CreateScanner() {
    // The loader boards are recognised by their vendor ids and the chip table. A missing or
    // broken table leaves them empty: the station still runs, finds no board, and says why.
    if (!deviceTables_.LoadFile(appDir_ + DeviceTables::kFileName, logger_.get()) ||
        (deviceTables_.VendorId() == 0 && deviceTables_.AltVendorId() == 0)) {
        deviceTables_ = DeviceTables();
        Log("Error:CreateScanner-->no vendor ids in %s%s, no loader board can be found",
            appDir_.c_str(), DeviceTables::kFileName);
    }
    try {
        scanner_ = std::make_unique<ZRScan>(kScanLimitSec, kScanLimitSec, 0, platform_.usbTree,
                                            deviceTables_, platform_.clock, nullptr);
        // With the chip table loaded, boards under the alternate vendor id are found as well.
        scanner_->LoadDeviceTables();
    } catch (const std::bad_alloc&) {
        scanner_.reset();
        return false;
    }
    return true;
}

bool CStationController::StartScanThread() {
    if (platform_.attachLog) {
        platform_.attachLog(logger_ && logger_->IsReady() ? logger_.get() : nullptr);
    }
    return slots_.Start(*scanner_, logger_.get(), GetLangText("IDS_DEVICE_LEFT"));
}

void CStationController::StopScanThread() {
    if (!slots_.Started()) {
        return;
    }
    slots_.BeginStop();
    if (!slots_.WaitEnded(options_.scanStopWaitMs)) {
        // A thread can't be ended from outside safely, and one left behind would use freed
        // objects. Every step of a rescan is bounded, so the thread will end: wait for it.
        Log("Error:Scan thread did not end within %u ms, waiting for it", options_.scanStopWaitMs);
    }
    slots_.Join();
}

bool CStationController::OnClose() {
    if (shutDown_ || closing_ || slots_.StopRequested()) {
        return false;
    }
    if (stationRunning_ == 1) {
        Refuse("IDS_CLOSE_RUNNING", "Error:Close refused: the station is running; stop it first");
        return false;
    }
    // While the station is stopping, workers still use the key database, the logger and the
    // settings: the close waits until the last of them has ended.
    if (slots_.AnyRunning()) {
        Refuse("IDS_CLOSE_STOPPING", "Error:Close refused: jobs are still running");
        return false;
    }
    closing_ = true;
    model_.EnableControl(C::kKeyFileButton, false);
    model_.EnableControl(C::kStartStopButton, false);
    model_.EnableControl(C::kExitButton, false);
    model_.EnableControl(C::kConfigButton, false);
    slots_.BeginStop();
    if (!slots_.Started() || slots_.WaitEnded(options_.closeGraceMs)) {
        FinishShutdown();
        return true;
    }
    // A rescan is under way (a hub that does not answer can hold it for seconds): the window
    // keeps dispatching while a thread of its own waits for the scan thread.
    try {
        closer_ = std::thread([this, alive = alive_] {
            if (!slots_.WaitEnded(options_.scanStopWaitMs)) {
                Log("Error:Scan thread did not end within %u ms, waiting for it",
                    options_.scanStopWaitMs);
                slots_.WaitEnded();
            }
            poster_.Post([this, alive] {
                if (*alive) {
                    FinishShutdown();
                }
            });
        });
    } catch (const std::system_error&) {
        StopScanThread();
        FinishShutdown();
        return true;
    }
    return false;
}

void CStationController::FinishShutdown() {
    if (shutDown_) {
        return;
    }
    if (closer_.joinable()) {
        closer_.join();  // its post was its last act
    }
    slots_.Join();
    for (auto& t : slots_.TakeThreads()) {
        t.join();
    }
    scanner_.reset();
    StopCountPoller();
    keySource_.reset();
    if (platform_.attachLog) {
        platform_.attachLog(nullptr);
    }
    logger_.reset();
    if (initialised_) {
        settings_->Save(appDir_ + "config.ini");
    }
    shutDown_ = true;
    closing_ = false;
    view_.CloseWindow();
}

// ---------------------------------------------------------------------------------------------
// Buttons and state

StationState CStationController::State() const {
    const bool anyRunning = slots_.AnyRunning();
    if (stationRunning_ == 1) {
        return StationState::kRunning;
    }
    return anyRunning ? StationState::kStopping : StationState::kIdle;
}

void CStationController::EnableIdleButtons(bool enabled) {
    model_.EnableControl(C::kKeyFileButton, enabled);
    model_.EnableControl(C::kExitButton, enabled);
    model_.EnableControl(C::kConfigButton, enabled);
}

void CStationController::UpdateButtons() {
    const bool running = stationRunning_ == 1;
    model_.SetControlText(C::kStartStopButton,
                          GetLangText(running ? "IDS_STOP_BUTTON" : "IDS_START_BUTTON"));
    EnableIdleButtons(!running);
}

void CStationController::OnStartStopButton() {
    if (!initialised_ || shutDown_ || closing_) {
        return;
    }
    if (stationRunning_ == 1) {
        stationRunning_ = 0;
        model_.SetControlText(C::kStartStopButton, GetLangText("IDS_STOPPING_BUTTON"));
        model_.EnableControl(C::kStartStopButton, false);
        if (slots_.AnyRunning()) {
            return;  // Stopping: the running jobs finish; their results end the state
        }
        UpdateButtons();
        model_.EnableControl(C::kStartStopButton, true);
        return;
    }
    if (State() == StationState::kStopping) {
        return;  // the button is disabled while stopping
    }
    if (settings_->WriteKeybox != 0 && !keySource_) {
        Refuse("IDS_START_NO_KEYFILE",
               "Error:Start refused: keybox writing is on and no key file is loaded");
        return;
    }
    if (settings_->WriteKeybox != 0 && keySource_->IsBroken()) {
        // A key file that failed to record a key hands out no more; it must be loaded again.
        Log("Error:Start refused: the key file could not record a key; load it again");
        view_.ShowMessage(GetLangText("IDS_KEYFILE_STOPPED"), "ERROR", MessageIcon::kError);
        return;
    }
    stationRunning_ = 1;
    {
        std::lock_guard<std::mutex> guard(unusedLock_);
        if (!keysOutShown_) {
            SetStatus({});  // the last refusal or failure is past
        }
    }
    slots_.StartJobs();
    UpdateButtons();
}

void CStationController::OnConfigButton() {
    if (!initialised_ || shutDown_ || closing_ || State() != StationState::kIdle) {
        return;
    }
    view_.RunConfigDialog(*settings_, *language_);
}

void CStationController::OnDeviceChangeEvent(uint32_t eventCode) {
    if (eventCode == kDevNodesChanged || eventCode == kDeviceArrival ||
        eventCode == kDeviceRemoveComplete) {
        NoteDeviceChange();
    }
}

void CStationController::NoteDeviceChange() {
    slots_.NoteDeviceChange();
}

void CStationController::OnUpgradeResult(int slotNumber, bool success) {
    if (slotNumber < 1 || slotNumber > kSlotCount) {
        return;
    }
    model_.SetRowColour(slotNumber - 1, success ? kRowGreen : kRowRed);

    const uint64_t now = jobClock_.NowMs();
    const uint64_t start = jobStart_[slotNumber - 1].exchange(0);
    if (start != 0) {
        model_.SetRowTime(slotNumber - 1, FormatDuration(now >= start - 1 ? now - (start - 1) : 0));
    }
    CDeviceSlots::JobEnd end;
    const bool ended = slots_.EndJob(slotNumber, &end);
    if (ended) {
        recentEnds_.push_back(now);
        if (!success) {
            std::string text = model_.CellText(slotNumber - 1, kColumnStatus);
            ++failureCounts_[text.empty() ? std::string("?") : std::move(text)];
        }
        UpdateSummary(now);
    }
    // A failure, and the last running job's end, call for the operator: once per result.
    if (ended && settings_->Alerts != 0 && (!success || !end.anyRunning)) {
        model_.CallAttention();
    }
    if (!end.anyRunning && stationRunning_ == 0 && !shutDown_ && !closing_) {
        UpdateButtons();
        model_.EnableControl(C::kStartStopButton, true);
    }
}

// ---------------------------------------------------------------------------------------------
// Key file

void CStationController::OnKeyFileButton() {
    if (!initialised_ || shutDown_ || closing_ || State() != StationState::kIdle) {
        return;
    }
    std::optional<std::string> path = view_.ChooseKeyFile();
    if (!path) {
        return;
    }
    LoadKeyFile(*path);
}

void CStationController::LoadKeyFile(const std::string& path) {
    if (!initialised_ || shutDown_ || State() != StationState::kIdle) {
        return;
    }
    StopCountPoller();
    keySource_.reset();
    const std::string buttonText = model_.ControlText(C::kKeyFileButton);
    model_.SetControlText(C::kKeyFileButton, GetLangText("IDS_LOADING_FW_BUTTON"));
    SetKeyInfo({}, {}, {}, {});
    model_.EnableControl(C::kKeyFileButton, false);
    model_.EnableControl(C::kStartStopButton, false);
    model_.EnableControl(C::kExitButton, false);

    std::unique_ptr<CKeyFile> keyFile;
    std::string reason = "out of memory";
    try {
        keyFile = std::make_unique<CKeyFile>(path, logger_.get());
        if (!keyFile->IsValid()) {
            reason = OperatorReason(keyFile->GetError());
            keyFile.reset();
        }
    } catch (const std::bad_alloc&) {
        keyFile.reset();
    }
    if (keyFile) {
        keyFile->SetJournalHost(ks::HostName());
        keyFileFailureShown_ = false;
        Log("Key file %s loaded: %d keys, %d unused, %u in doubt (reserved by a run that did not "
            "record how their jobs ended)",
            path.c_str(), keyFile->GetKeyCount(), keyFile->GetUnusedCount(),
            keyFile->GetInDoubtCount());
        SetKeyInfo(path, std::to_string(keyFile->GetKeyCount()),
                   std::to_string(keyFile->GetUnusedCount()), keyFile->GetCreateTime());
        settings_->keyFilePath = path;
        try {
            keySource_ = std::make_unique<CKeyFileSource>(std::move(keyFile), path);
        } catch (const std::bad_alloc&) {
            keySource_.reset();
        }
    }
    {
        std::lock_guard<std::mutex> guard(unusedLock_);
        keysOutShown_ = false;
        if (keySource_) {
            SetStatus({});
            ShowKeyLevelLocked(LabelNumber(model_.ControlText(C::kUnusedLabel)));
        } else {
            model_.SetControlColour(C::kUnusedLabel, std::nullopt);
        }
    }
    if (!keySource_) {
        keyFile.reset();
        // No key file is loaded now; the configuration dialog must not show the old path.
        settings_->keyFilePath.clear();
        // The check that failed says why; the operator sees it with the message.
        const std::string text = GetLangText("IDS_LOADING_FW_FAIL") + ": " + reason;
        Log("Error:Key file %s not loaded: %s", path.c_str(), reason.c_str());
        SetStatus(text);
        view_.ShowMessage(text, "ERROR", MessageIcon::kError);
    }

    model_.SetControlText(C::kKeyFileButton, buttonText);
    model_.EnableControl(C::kKeyFileButton, true);
    model_.EnableControl(C::kStartStopButton, true);
    model_.EnableControl(C::kExitButton, true);
}

void CStationController::LoadKeyPool(const std::string& conninfo, const std::string& pool) {
    if (!initialised_ || shutDown_ || State() != StationState::kIdle) {
        return;
    }
    StopCountPoller();
    keySource_.reset();
    SetKeyInfo({}, {}, {}, {});
    std::unique_ptr<CPoolKeySource> source;
    try {
        source = std::make_unique<CPoolKeySource>(conninfo, pool, logger_.get());
    } catch (const std::bad_alloc&) {
        source.reset();
    }
    std::string reason = source ? source->GetError() : std::string("out of memory");
    if (source && source->IsValid()) {
        if (LoadKeySource(std::move(source))) {
            return;
        }
        reason = "its counts could not be read";
    }
    Log("Error:Key pool %s could not be loaded: %s", pool.c_str(), reason.c_str());
    {
        std::lock_guard<std::mutex> guard(unusedLock_);
        keysOutShown_ = false;
        model_.SetControlColour(C::kUnusedLabel, std::nullopt);
    }
    const std::string text = GetLangText("IDS_LOADING_FW_FAIL") + ": " + reason;
    SetStatus(text);
    view_.ShowMessage(text, "ERROR", MessageIcon::kError);
}

bool CStationController::LoadKeySource(std::unique_ptr<IKeySource> source) {
    if (!initialised_ || shutDown_ || closing_ || State() != StationState::kIdle || !source) {
        return false;
    }
    StopCountPoller();
    keySource_.reset();
    KeySourceCounts counts;
    if (!source->GetCounts(&counts)) {
        SetKeyInfo({}, {}, {}, {});
        return false;
    }
    keyFileFailureShown_ = false;
    Log("Key pool %s loaded: %lld keys, %lld unused, %lld in doubt for this station",
        source->Describe().c_str(), static_cast<long long>(counts.keys),
        static_cast<long long>(counts.unused), static_cast<long long>(counts.inDoubt));
    SetKeyInfo(source->Describe(), std::to_string(counts.keys), std::to_string(counts.unused),
               source->GetCreateTime());
    keySource_ = std::move(source);
    {
        std::lock_guard<std::mutex> guard(unusedLock_);
        keysOutShown_ = false;
        SetStatus({});
        ShowKeyLevelLocked(counts.unused);
    }
    StartCountPoller();
    return true;
}

void CStationController::StartCountPoller() {
    StopCountPoller();
    IKeySource* source = keySource_.get();
    if (source == nullptr || source->File() != nullptr || options_.keyCountRefreshMs == 0) {
        return;
    }
    {
        std::lock_guard<std::mutex> guard(pollLock_);
        pollStop_ = false;
    }
    const uint64_t generation = ++pollGeneration_;
    keySourceLost_ = false;
    try {
        poller_ = std::thread([this, source, generation, alive = alive_] {
            std::unique_lock<std::mutex> guard(pollLock_);
            for (;;) {
                if (pollWake_.wait_for(guard, std::chrono::milliseconds(options_.keyCountRefreshMs),
                                       [this] { return pollStop_; })) {
                    return;
                }
                guard.unlock();
                KeySourceCounts counts;
                const bool ok = source->GetCounts(&counts);
                poster_.Post([this, alive, generation, ok, counts] {
                    if (*alive) {
                        OnPolledCounts(generation, ok, counts);
                    }
                });
                guard.lock();
            }
        });
    } catch (const std::system_error&) {
        Log("Error:the key counts will not be refreshed: no thread for it");
    }
}

void CStationController::StopCountPoller() {
    if (!poller_.joinable()) {
        return;
    }
    {
        std::lock_guard<std::mutex> guard(pollLock_);
        pollStop_ = true;
    }
    pollWake_.notify_all();
    poller_.join();  // a read under way ends within the source's own time-outs
}

void CStationController::OnPolledCounts(uint64_t generation, bool ok,
                                        const KeySourceCounts& counts) {
    if (generation != pollGeneration_ || shutDown_ || !keySource_) {
        return;  // a source loaded since, or the station has gone
    }
    if (!ok) {
        if (!keySourceLost_) {
            keySourceLost_ = true;
            Log("Error:Key pool %s: the connection is lost; jobs fail at their key until it is "
                "back",
                keySource_->Describe().c_str());
            SetStatus(GetLangText("IDS_POOL_LOST"));
        }
        return;
    }
    if (keySourceLost_) {
        keySourceLost_ = false;
        Log("Key pool %s: the connection is back", keySource_->Describe().c_str());
        SetStatus(GetLangText("IDS_POOL_BACK"));
    }
    std::lock_guard<std::mutex> guard(unusedLock_);
    const std::string keys = std::to_string(counts.keys);
    const std::string unused = std::to_string(counts.unused);
    model_.EditControlText(C::kKeyCountLabel,
                           [&](const std::string& text) { return ReplaceLabelValue(text, keys); });
    model_.EditControlText(
        C::kUnusedLabel, [&](const std::string& text) { return ReplaceLabelValue(text, unused); });
    ShowKeyLevelLocked(counts.unused);
}

void CStationController::SetKeyInfo(const std::string& path, const std::string& keyCount,
                                    const std::string& unusedCount, const std::string& createTime) {
    const std::pair<int, const std::string*> labels[] = {
        {C::kKeyFileLabel, &path},
        {C::kKeyCountLabel, &keyCount},
        {C::kUnusedLabel, &unusedCount},
        {C::kCreateTimeLabel, &createTime},
    };
    for (const auto& label : labels) {
        const std::string* value = label.second;
        model_.EditControlText(label.first, [value](const std::string& text) {
            return ReplaceLabelValue(text, *value);
        });
    }
}

CKeyFile* CStationController::KeyFile() {
    return keySource_ ? keySource_->File() : nullptr;
}

// ---------------------------------------------------------------------------------------------
// IWorkerHost

bool CStationController::CopySlot(int slotNumber, WorkerSlot* out) {
    return slots_.CopySlot(slotNumber, out);
}

CLoggerBase* CStationController::Logger() {
    return logger_.get();
}

std::string CStationController::GetLangText(const std::string& key) {
    return language_->GetText(key);
}

void CStationController::SetRowStatus(int row, const std::string& text) {
    model_.SetCellText(row, kColumnStatus, text);
}

void CStationController::DropRowColour(int row) {
    model_.DropRowColour(row);
}

void CStationController::IncreaseCounter(int counterId) {
    model_.EditControlText(counterId, IncrementDigits);
}

void CStationController::IncreaseSuccess() {
    std::lock_guard<std::mutex> guard(counterLock_);
    IncreaseCounter(C::kTotalCounter);
    IncreaseCounter(C::kSuccessCounter);
}

void CStationController::IncreaseFail() {
    std::lock_guard<std::mutex> guard(counterLock_);
    IncreaseCounter(C::kTotalCounter);
    IncreaseCounter(C::kFailCounter);
}

void CStationController::DecreaseUnused() {
    std::lock_guard<std::mutex> guard(unusedLock_);
    // Counted down per key recorded, but never below zero, and zero once the key source hands
    // out no more keys.
    const std::optional<int64_t> takeable = TakeableKeys();
    int64_t shown = 0;
    model_.EditControlText(C::kUnusedLabel, [&](const std::string& text) {
        shown = LabelNumber(text) - 1;
        if (takeable && *takeable < shown) {
            shown = *takeable;
        }
        shown = std::max<int64_t>(shown, 0);
        return ReplaceLabelValue(text, std::to_string(shown));
    });
    ShowKeyLevelLocked(shown);
}

std::optional<int64_t> CStationController::TakeableKeys() {
    IKeySource* source = keySource_.get();
    if (source == nullptr) {
        return std::nullopt;
    }
    if (source->IsBroken()) {
        return 0;  // it hands out no more keys until it is loaded again
    }
    return std::nullopt;
}

void CStationController::ShowKeyLevelLocked(int64_t unused) {
    if (!keySource_) {
        model_.SetControlColour(C::kUnusedLabel, std::nullopt);
        return;
    }
    const int64_t low = settings_->LowKeys;
    if (unused <= 0) {
        model_.SetControlColour(C::kUnusedLabel, kRowRed);
        if (!keysOutShown_) {
            keysOutShown_ = true;
            Log("Warning:No unused keys left");
            SetStatus(GetLangText("IDS_KEYS_OUT"));
        }
        return;
    }
    keysOutShown_ = false;
    model_.SetControlColour(C::kUnusedLabel, low > 0 && unused < low
                                                 ? std::optional<RowColour>(kRowAmber)
                                                 : std::nullopt);
}

void CStationController::OnClockTick() {
    if (!initialised_ || shutDown_) {
        return;
    }
    const uint64_t now = jobClock_.NowMs();
    const int32_t stuckSeconds = settings_->StuckSeconds;
    for (int i = 0; i < kSlotCount; ++i) {
        const uint64_t start = jobStart_[i].load();
        if (start == 0) {
            continue;
        }
        const uint64_t elapsed = now >= start - 1 ? now - (start - 1) : 0;
        model_.SetRowTime(i, FormatDuration(elapsed));
        if (stuckSeconds > 0 && elapsed >= uint64_t{1000} * static_cast<uint64_t>(stuckSeconds) &&
            stuckJob_[i] != start) {
            // It goes on: the worker's own time-outs end it.
            stuckJob_[i] = start;
            model_.SetRowColour(i, kRowAmber);
            Log("<ID %d>Warning:job running for %llu s, longer than StuckSeconds (%d s)", i + 1,
                static_cast<unsigned long long>(elapsed / 1000), stuckSeconds);
            SetStatus(GetLangText("IDS_JOB_STUCK") + " " + std::to_string(i + 1));
        }
    }
    if (!recentEnds_.empty()) {
        UpdateSummary(now);
    }
}

void CStationController::UpdateSummary(uint64_t nowMs) {
    constexpr uint64_t kPaceWindowMs = 10 * 60 * 1000;
    while (!recentEnds_.empty() && recentEnds_.front() + kPaceWindowMs <= nowMs) {
        recentEnds_.pop_front();
    }
    ShiftSummary summary;
    summary.jobsPerHour = static_cast<int>(recentEnds_.size() * (3600000 / kPaceWindowMs));
    std::vector<std::pair<std::string, int>> failures(failureCounts_.begin(), failureCounts_.end());
    std::stable_sort(failures.begin(), failures.end(),
                     [](const auto& a, const auto& b) { return a.second > b.second; });
    if (failures.size() > 3) {
        failures.resize(3);
    }
    summary.topFailures = std::move(failures);

    std::string text = std::to_string(summary.jobsPerHour) + " " + GetLangText("IDS_SUMMARY_RATE");
    for (const auto& [failure, count] : summary.topFailures) {
        text += "\n" + std::to_string(count) + " x " + failure;
    }
    summary_ = std::move(summary);
    if (model_.ControlText(C::kSummaryLabel) != text) {
        model_.SetControlText(C::kSummaryLabel, text);
    }
}

std::string CStationController::FormatDuration(uint64_t ms) {
    const uint64_t seconds = ms / 1000;
    const uint64_t h = seconds / 3600;
    const uint64_t m = seconds / 60 % 60;
    const uint64_t s = seconds % 60;
    char text[40];
    if (h > 0) {
        std::snprintf(text, sizeof(text), "%llu:%02llu:%02llu", static_cast<unsigned long long>(h),
                      static_cast<unsigned long long>(m), static_cast<unsigned long long>(s));
    } else {
        std::snprintf(text, sizeof(text), "%llu:%02llu", static_cast<unsigned long long>(m),
                      static_cast<unsigned long long>(s));
    }
    return text;
}

void CStationController::SetStatus(const std::string& text) {
    model_.SetControlText(C::kStatusLine, text);
}

void CStationController::Refuse(const char* languageKey, const char* logLine) {
    Log("%s", logLine);
    SetStatus(GetLangText(languageKey));
}

void CStationController::KeyFileFailed() {
    poster_.Post([alive = alive_, this] {
        if (*alive) {
            OnKeyFileFailed();
        }
    });
}

void CStationController::OnKeyFileFailed() {
    if (keyFileFailureShown_ || shutDown_) {
        return;
    }
    keyFileFailureShown_ = true;
    Log("Error:The key file could not record a key; the station stops. Load the key file again.");
    if (stationRunning_ == 1) {
        OnStartStopButton();  // stop as the button would: running jobs finish, no new ones start
    }
    view_.ShowMessage(GetLangText("IDS_KEYFILE_STOPPED"), "ERROR", MessageIcon::kError);
}

void CStationController::RecordJob(const JobRecord& record) {
    poster_.Post([alive = alive_, this, record] {
        if (!*alive) {
            return;
        }
        if (results_ != nullptr && !results_->Append(record)) {
            if (!resultsFailureLogged_) {
                Log("Error:the job results could not be written: %s",
                    results_->LastError().c_str());
            }
            resultsFailureLogged_ = true;
        }
        if (jobObserver_) {
            jobObserver_(record);
        }
    });
}

void CStationController::PostUpgradeResult(int slotNumber, bool success) {
    if (tlsResultPosted != nullptr) {
        *tlsResultPosted = true;
    }
    poster_.Post([alive = alive_, this, slotNumber, success] {
        if (*alive) {
            OnUpgradeResult(slotNumber, success);
        }
    });
}

std::unique_ptr<CZRComm> CStationController::NewComm() {
    try {
        return std::make_unique<CZRUsbComm>(nullptr, 0, platform_.bulkPipes, platform_.clock);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

std::unique_ptr<ZRScan> CStationController::NewScanner() {
    try {
        auto scanner = std::make_unique<ZRScan>(kScanLimitSec, kScanLimitSec, 0, platform_.usbTree,
                                                deviceTables_, platform_.clock, nullptr);
        scanner->LoadDeviceTables();
        return scanner;
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

// ---------------------------------------------------------------------------------------------
// Workers

std::thread CStationController::StartWorker(int slotNumber) {
    if (workerStartObserver_) {
        workerStartObserver_(slotNumber);
    }
    jobStart_[slotNumber - 1] = jobClock_.NowMs() + 1;
    model_.SetRowTime(slotNumber - 1, FormatDuration(0));
    try {
        auto job = std::make_shared<WorkerJob>();
        return std::thread(&CStationController::WorkerThreadMain, this, slotNumber, std::move(job));
    } catch (const std::exception&) {
        return {};  // the slots log it and set the slot idle again
    }
}

void CStationController::WorkerThreadMain(int slotNumber, std::shared_ptr<WorkerJob> job) {
    tlsResultPosted = &job->posted;
    worker_(*this, slotNumber);
    tlsResultPosted = nullptr;
    if (!job->posted) {
        // Without a result the slot would stay running for good and a stop would never end.
        Log("<ID %d>Error:worker ended without a result", slotNumber);
        PostUpgradeResult(slotNumber, false);
    }
}
