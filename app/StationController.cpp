#include "app/StationController.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdarg>
#include <exception>
#include <filesystem>
#include <new>
#include <system_error>
#include <utility>

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

// Without device-change notices the scan thread rescans this often.
constexpr uint32_t kFallbackRescanMs = 1000;

// Creates one level of folder; the parent must exist.
void CreateOneFolder(const std::string& folder) {
    std::error_code ec;
    std::filesystem::create_directory(ks::WithoutTrailingSeparator(folder), ec);
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
      language_(std::make_unique<CIniLocalLan>()) {
    if (!worker_) {
        worker_ = [](IWorkerHost& host, int slotNumber) { UpgradeThreadProc(host, slotNumber); };
    }
}

CStationController::~CStationController() {
    StopScanThread();
    std::vector<std::thread> threads;
    {
        std::lock_guard<std::mutex> guard(slotLock_);
        for (auto& t : workers_) {
            if (t.joinable()) {
                threads.push_back(std::move(t));
            }
        }
        for (auto& t : retiredWorkers_) {
            threads.push_back(std::move(t));
        }
        retiredWorkers_.clear();
    }
    for (auto& t : threads) {
        if (t.joinable()) {
            t.join();
        }
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
    scanStop_ = false;
    {
        std::lock_guard<std::mutex> guard(scanWaitLock_);
        scanEnded_ = false;
    }
    {
        std::lock_guard<std::mutex> guard(scanLock_);
        scanRequests_ = 1;
    }
    if (platform_.attachLog) {
        platform_.attachLog(logger_ && logger_->IsReady() ? logger_.get() : nullptr);
    }
    if (!platform_.deviceChanges.Start([this] { NoteDeviceChange(); })) {
        Log("Error:device change notices unavailable, rescanning every %u ms", kFallbackRescanMs);
        pollForChanges_ = true;
    }
    try {
        scanThread_ = std::thread(&CStationController::ScanThreadProc, this);
    } catch (const std::system_error&) {
        platform_.deviceChanges.Stop();
        return false;
    }
    return true;
}

void CStationController::StopScanThread() {
    if (!scanThread_.joinable()) {
        return;
    }
    platform_.deviceChanges.Stop();
    {
        std::lock_guard<std::mutex> guard(scanWaitLock_);
        scanStop_ = true;
    }
    scanWake_.notify_all();
    bool ended = false;
    {
        std::unique_lock<std::mutex> guard(scanWaitLock_);
        ended = scanWake_.wait_for(guard, std::chrono::milliseconds(options_.scanStopWaitMs),
                                   [this] { return scanEnded_; });
    }
    if (!ended) {
        // A thread can't be ended from outside safely, and one left behind would use freed
        // objects. Every step of a rescan is bounded, so the thread will end: wait for it.
        Log("Error:Scan thread did not end within %u ms, waiting for it", options_.scanStopWaitMs);
    }
    scanThread_.join();
}

bool CStationController::OnClose() {
    if (shutDown_ || stationRunning_ == 1 || scanStop_) {
        return false;
    }
    {
        // While the station is stopping, workers still use the key database, the logger and the
        // settings: the close waits until the last of them has ended.
        std::lock_guard<std::mutex> guard(slotLock_);
        if (AnyRunningLocked()) {
            return false;
        }
    }
    StopScanThread();
    std::vector<std::thread> finished;
    {
        std::lock_guard<std::mutex> guard(slotLock_);
        finished = std::move(retiredWorkers_);
        retiredWorkers_.clear();
        for (auto& t : workers_) {
            if (t.joinable()) {
                finished.push_back(std::move(t));
            }
        }
    }
    for (auto& t : finished) {
        t.join();
    }
    scanner_.reset();
    keySource_.reset();
    if (platform_.attachLog) {
        platform_.attachLog(nullptr);
    }
    logger_.reset();
    if (initialised_) {
        settings_->Save(appDir_ + "config.ini");
    }
    shutDown_ = true;
    view_.CloseWindow();
    return true;
}

// ---------------------------------------------------------------------------------------------
// Buttons and state

bool CStationController::AnyRunningLocked() const {
    return std::any_of(slots_.begin(), slots_.end(),
                       [](const auto& entry) { return entry.second.running != 0; });
}

StationState CStationController::State() const {
    bool anyRunning = false;
    {
        std::lock_guard<std::mutex> guard(slotLock_);
        anyRunning = AnyRunningLocked();
    }
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
    if (!initialised_ || shutDown_) {
        return;
    }
    if (stationRunning_ == 1) {
        stationRunning_ = 0;
        model_.SetControlText(C::kStartStopButton, GetLangText("IDS_STOPPING_BUTTON"));
        model_.EnableControl(C::kStartStopButton, false);
        {
            std::lock_guard<std::mutex> guard(slotLock_);
            if (AnyRunningLocked()) {
                return;  // Stopping: the running jobs finish; their results end the state
            }
        }
        UpdateButtons();
        model_.EnableControl(C::kStartStopButton, true);
        return;
    }
    if (State() == StationState::kStopping) {
        return;  // the button is disabled while stopping
    }
    if (settings_->WriteKeybox != 0 && !keySource_) {
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
        std::lock_guard<std::mutex> guard(slotLock_);
        for (auto& [number, slot] : slots_) {
            if (slot.present != 0 && slot.running == 0) {
                slot.running = 1;
                StartWorkerLocked(slot);
            }
        }
    }
    UpdateButtons();
}

void CStationController::OnConfigButton() {
    if (!initialised_ || shutDown_ || State() != StationState::kIdle) {
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
    std::lock_guard<std::mutex> guard(scanLock_);
    if (scanRequests_ < INT_MAX) {
        ++scanRequests_;
    }
}

int CStationController::PendingRescans() const {
    std::lock_guard<std::mutex> guard(scanLock_);
    return scanRequests_;
}

bool CStationController::RescanBusy() const {
    std::lock_guard<std::mutex> guard(scanLock_);
    return scanRequests_ > 0 || rescanning_;
}

void CStationController::OnUpgradeResult(int slotNumber, bool success) {
    if (slotNumber < 1 || slotNumber > kSlotCount) {
        return;
    }
    model_.SetRowColour(slotNumber - 1, success ? kRowGreen : kRowRed);

    std::thread finished;
    bool rescanForWaitingDevice = false;
    bool anyRunning = false;
    {
        std::lock_guard<std::mutex> guard(slotLock_);
        auto it = slots_.find(slotNumber);
        if (it != slots_.end() && it->second.running != 0) {
            finished = std::move(workers_[slotNumber - 1]);
            if (it->second.present != 0) {
                it->second.running = 0;
            } else {
                slots_.erase(it);
                rescanForWaitingDevice = unboundWaiting_;
                unboundWaiting_ = false;
            }
        }
        anyRunning = AnyRunningLocked();
    }
    if (finished.joinable()) {
        // The result is the worker's last act: its thread is ending.
        if (finished.get_id() == std::this_thread::get_id()) {
            std::lock_guard<std::mutex> guard(slotLock_);
            retiredWorkers_.push_back(std::move(finished));
        } else {
            finished.join();
        }
    }
    if (rescanForWaitingDevice) {
        NoteDeviceChange();  // a device waits for a slot number: look again
    }
    if (!anyRunning && stationRunning_ == 0 && !shutDown_) {
        UpdateButtons();
        model_.EnableControl(C::kStartStopButton, true);
    }
}

// ---------------------------------------------------------------------------------------------
// Key file

void CStationController::OnKeyFileButton() {
    if (!initialised_ || shutDown_ || State() != StationState::kIdle) {
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
    keySource_.reset();
    const std::string buttonText = model_.ControlText(C::kKeyFileButton);
    model_.SetControlText(C::kKeyFileButton, GetLangText("IDS_LOADING_FW_BUTTON"));
    SetKeyInfo({}, {}, {}, {});
    model_.EnableControl(C::kKeyFileButton, false);
    model_.EnableControl(C::kStartStopButton, false);
    model_.EnableControl(C::kExitButton, false);

    std::unique_ptr<CKeyFile> keyFile;
    try {
        keyFile = std::make_unique<CKeyFile>(path, logger_.get());
        if (!keyFile->IsValid()) {
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
    if (!keySource_) {
        keyFile.reset();
        // No key file is loaded now; the configuration dialog must not show the old path.
        settings_->keyFilePath.clear();
        view_.ShowMessage(GetLangText("IDS_LOADING_FW_FAIL"), "ERROR", MessageIcon::kError);
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
    keySource_.reset();
    SetKeyInfo({}, {}, {}, {});
    std::unique_ptr<CPoolKeySource> source;
    KeySourceCounts counts;
    try {
        source = std::make_unique<CPoolKeySource>(conninfo, pool, logger_.get());
    } catch (const std::bad_alloc&) {
        source.reset();
    }
    if (source && source->IsValid() && source->GetCounts(&counts)) {
        keyFileFailureShown_ = false;
        Log("Key pool %s loaded: %lld keys, %lld unused, %lld in doubt for this station",
            source->Describe().c_str(), static_cast<long long>(counts.keys),
            static_cast<long long>(counts.unused), static_cast<long long>(counts.inDoubt));
        SetKeyInfo(source->Describe(), std::to_string(counts.keys), std::to_string(counts.unused),
                   source->GetCreateTime());
        keySource_ = std::move(source);
        return;
    }
    Log("Error:Key pool %s could not be loaded: %s", pool.c_str(),
        source ? source->GetError().c_str() : "out of memory");
    view_.ShowMessage(GetLangText("IDS_LOADING_FW_FAIL"), "ERROR", MessageIcon::kError);
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
    std::lock_guard<std::mutex> guard(slotLock_);
    auto it = slots_.find(slotNumber);
    if (it == slots_.end() || out == nullptr) {
        return false;
    }
    out->devicePath = it->second.devicePath;
    out->portLocation = it->second.portLocation;
    return true;
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
    model_.EditControlText(C::kUnusedLabel, DecreaseLabelNumber);
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

void CStationController::StartWorkerLocked(DeviceSlot& slot) {
    const int number = slot.slotNumber;
    if (workerStartObserver_) {
        workerStartObserver_(number);
    }
    std::thread& thread = workers_[number - 1];
    if (thread.joinable()) {
        // A slot's thread is taken when its result is handled, before `running` is cleared, so
        // this is never reached; should it be, the thread is still joined later.
        retiredWorkers_.push_back(std::move(thread));
    }
    try {
        auto job = std::make_shared<WorkerJob>();
        thread = std::thread(&CStationController::WorkerThreadMain, this, number, std::move(job));
    } catch (const std::exception&) {
        slot.running = 0;
        Log("<ID %d>Error:start worker thread failed", number);
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

// ---------------------------------------------------------------------------------------------
// Scan thread, slots and port map

void CStationController::ScanThreadProc() {
    {
        std::lock_guard<std::mutex> guard(slotLock_);
        slots_.clear();
        LoadPortMap();
    }
    uint32_t quietMs = 0;
    for (;;) {
        bool rescan = false;
        {
            std::lock_guard<std::mutex> guard(scanLock_);
            if (scanRequests_ > 0) {
                --scanRequests_;
                rescan = true;
            } else if (pollForChanges_) {
                quietMs += options_.scanIntervalMs;
                rescan = quietMs >= kFallbackRescanMs;
            }
            rescanning_ = rescan;
        }
        if (rescan) {
            quietMs = 0;
            Rescan();
            ++completedRescans_;
            std::lock_guard<std::mutex> guard(scanLock_);
            rescanning_ = false;
        }
        if (!WaitScanInterval()) {
            break;
        }
    }
    {
        std::lock_guard<std::mutex> guard(scanWaitLock_);
        scanEnded_ = true;
    }
    scanWake_.notify_all();
}

bool CStationController::WaitScanInterval() {
    std::unique_lock<std::mutex> guard(scanWaitLock_);
    return !scanWake_.wait_for(guard, std::chrono::milliseconds(options_.scanIntervalMs),
                               [this] { return scanStop_.load(); });
}

void CStationController::Rescan() {
    const int count = scanner_->Search(DEVICE_KIND_LOADER);
    std::vector<ZRDeviceDesc> found;
    for (int i = 0; i < count; ++i) {
        ZRDeviceDesc desc;
        if (scanner_->GetDevice(i, &desc) != 0) {
            found.push_back(std::move(desc));
        }
    }

    {
        std::lock_guard<std::mutex> guard(slotLock_);
        for (auto it = slots_.begin(); it != slots_.end();) {
            const std::string& location = it->second.portLocation;
            const bool seen = std::any_of(found.begin(), found.end(), [&](const ZRDeviceDesc& d) {
                return d.location == location;
            });
            it = seen ? std::next(it) : HandleRemoveDevice(it);
        }
    }

    for (const ZRDeviceDesc& desc : found) {
        std::lock_guard<std::mutex> guard(slotLock_);
        auto it = std::find_if(slots_.begin(), slots_.end(), [&](const auto& entry) {
            return entry.second.portLocation == desc.location;
        });
        if (it == slots_.end()) {
            HandleNewDevice(desc);
        } else if (it->second.present == 0) {
            it->second.present = 1;
            model_.SetCellText(it->first - 1, kColumnLocation, it->second.portLocation);
        }
    }
}

void CStationController::LoadPortMap() {
    LoadUsbMapInfo();
    ResetFreeSlotNumbers();
}

void CStationController::ResetFreeSlotNumbers() {
    freeSlotNumbers_.clear();
    for (int n = 1; n <= kSlotCount; ++n) {
        freeSlotNumbers_.push_back(n);
    }
    for (const auto& [path, number] : usbMap_) {
        auto it = std::find(freeSlotNumbers_.begin(), freeSlotNumbers_.end(), number);
        if (it != freeSlotNumbers_.end()) {
            freeSlotNumbers_.erase(it);
        }
    }
}

bool CStationController::LoadUsbMapInfo() {
    usbMap_.clear();
    std::map<std::string, uint32_t> stored;
    if (!platform_.portMap.ReadAll(&stored)) {
        Log("Error:LoadUsbMapInfo open key failed.");
        return false;
    }
    for (const auto& [path, number] : stored) {
        if (number < 1 || number > static_cast<uint32_t>(kSlotCount)) {
            // No table row for it: such a binding could never be shown or used.
            Log("Error:LoadUsbMapInfo ignored slot %u of %s", number, path.c_str());
            continue;
        }
        usbMap_[path] = static_cast<int>(number);
    }
    return true;
}

bool CStationController::WriteUsbMap(const std::string& devicePath, int slotNumber) {
    if (!platform_.portMap.Write(devicePath, static_cast<uint32_t>(slotNumber))) {
        Log("Error:WriteUsbMap open key failed.");
        return false;
    }
    return true;
}

bool CStationController::ClearUsbMap() {
    if (!platform_.portMap.Clear()) {
        Log("Error:ClearUsbMap open key failed.");
        return false;
    }
    return true;
}

void CStationController::RebuildUsbMap() {
    ClearUsbMap();
    usbMap_.clear();
    for (const auto& [number, slot] : slots_) {
        WriteUsbMap(slot.devicePath, number);
        usbMap_[slot.devicePath] = number;
    }
    ResetFreeSlotNumbers();
}

int CStationController::AllocateSlotNumber(const std::string& devicePath) {
    if (freeSlotNumbers_.empty()) {
        // With every number held by a slot in the table the rebuild would free nothing.
        if (slots_.size() >= static_cast<size_t>(kSlotCount)) {
            return 0;
        }
        RebuildUsbMap();
        if (freeSlotNumbers_.empty()) {
            return 0;
        }
    }
    const int number = freeSlotNumbers_.front();
    freeSlotNumbers_.pop_front();
    WriteUsbMap(devicePath, number);
    usbMap_[devicePath] = number;
    return number;
}

void CStationController::HandleNewDevice(const ZRDeviceDesc& desc) {
    int number = 0;
    if (auto stored = usbMap_.find(desc.path); stored != usbMap_.end()) {
        number = stored->second;
        auto occupant = slots_.find(number);
        if (occupant != slots_.end()) {
            DeviceSlot& slot = occupant->second;
            if (slot.devicePath == desc.path && slot.running != 0) {
                // The device of a running job is back at another port: the job keeps it.
                slot.present = 1;
                slot.portLocation = desc.location;
                Log("<ID %d>Info:in HandleNewDevice", number);
                model_.SetCellText(number - 1, kColumnLocation, desc.location);
                return;
            }
            if (slot.devicePath != desc.path) {
                // The stored number belongs to another device in the table: this path gets a
                // number of its own instead of taking that slot away.
                number = 0;
            }
        }
    }
    if (number == 0) {
        number = AllocateSlotNumber(desc.path);
        if (number == 0) {
            unboundWaiting_ = true;
            if (unboundReported_.insert(desc.path).second) {
                Log("Error:HandleNewDevice no free slot for %s at %s", desc.path.c_str(),
                    desc.location.c_str());
            }
            return;
        }
    }
    unboundReported_.erase(desc.path);

    DeviceSlot& slot = slots_[number];
    slot.slotNumber = number;
    slot.running = 0;
    slot.present = 1;
    slot.devicePath = desc.path;
    slot.portLocation = desc.location;
    Log("<ID %d>Info:in HandleNewDevice", number);
    model_.SetCellText(number - 1, kColumnLocation, desc.location);
    if (stationRunning_ == 1) {
        slot.running = 1;
        StartWorkerLocked(slot);
    }
}

CStationController::SlotTable::iterator CStationController::HandleRemoveDevice(
    SlotTable::iterator slot) {
    const int number = slot->first;
    Log("<ID %d>Info:in HandleRemoveDevice", number);
    if (slot->second.running == 0) {
        ClearRow(number - 1);
        return slots_.erase(slot);
    }
    slot->second.present = 0;
    model_.SetCellText(number - 1, kColumnLocation, std::string());
    return std::next(slot);
}

void CStationController::ClearRow(int row) {
    model_.ClearRow(row);
}

// ---------------------------------------------------------------------------------------------
// Observation

std::vector<DeviceSlot> CStationController::SlotsSnapshot() const {
    std::lock_guard<std::mutex> guard(slotLock_);
    std::vector<DeviceSlot> out;
    for (const auto& [number, slot] : slots_) {
        out.push_back(slot);
    }
    return out;
}

std::map<std::string, int> CStationController::UsbMapSnapshot() const {
    std::lock_guard<std::mutex> guard(slotLock_);
    return usbMap_;
}
