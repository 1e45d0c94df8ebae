#include "app/StationController.h"

#include <algorithm>
#include <chrono>
#include <cstdarg>
#include <exception>
#include <new>
#include <system_error>
#include <utility>

#include "app/JobResults.h"
#include "app/OperatorWords.h"
#include "app/StationDialogTexts.h"
#include "app/StationTexts.h"
#include "device/ZRScan.h"
#include "device/ZRUsbComm.h"
#include "keydb/KeyFile.h"
#include "keydb/KeyJournal.h"
#include "keydb/KeySource.h"
#include "keydb/pool/PoolKeySource.h"
#include "provision/UpgradeWorker.h"
#include "support/FileSystem.h"
#include "support/IniLocalLan.h"
#include "support/IniSettingBase.h"
#include "support/Logger.h"
#include "support/NativeFile.h"
#include "support/Paths.h"

namespace {

namespace C = StationControl;

// Device-change event codes that ask for a rescan: nodes changed, arrival, removal complete.
constexpr uint32_t kDevNodesChanged = 0x0007;
constexpr uint32_t kDeviceArrival = 0x8000;
constexpr uint32_t kDeviceRemoveComplete = 0x8004;

// Creates one level of folder through the file seam (UTF-16 on Windows); the parent must exist.
void CreateOneFolder(const std::string& folder) {
    ks::CreateOneFolder(ks::WithoutTrailingSeparator(folder), false);
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

// The key-area SHA-256 the key file's header holds (verified when it was loaded), in hex; empty
// when it cannot be read.
std::string KeyAreaDigest(const std::string& path) {
    constexpr size_t kDigestOffset = 24;
    constexpr size_t kDigestBytes = 32;
    ks::NativeFile file;
    uint8_t digest[kDigestBytes];
    if (!file.Open(path, ks::kFileRead) ||
        file.ReadAt(kDigestOffset, digest, sizeof(digest)) != static_cast<int64_t>(kDigestBytes)) {
        return std::string();
    }
    static constexpr char kHex[] = "0123456789abcdef";
    std::string text;
    for (const uint8_t byte : digest) {
        text += kHex[byte >> 4];
        text += kHex[byte & 15];
    }
    return text;
}

// The last component of a path ('/' or '\\' separated).
std::string FileNameOf(const std::string& path) {
    const size_t slash = path.find_last_of("/\\");
    return slash == std::string::npos ? path : path.substr(slash + 1);
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
    } else if (!ks::IsPathSeparator(appDir_.back())) {
        appDir_ += '/';
    }
    results_ = std::make_unique<CJobResults>(appDir_);
    hostName_ = ks::HostName();
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

    // An empty SavePath becomes the application folder (the RKP files' folder when it is
    // empty), so that the configuration dialog shows a folder that exists and its OK works.
    if (settings_->SavePath.empty()) {
        settings_->SavePath = appDir_;
    } else {
        CreateRkpFolder();
    }

    model_.SetControlText(C::kSuccessCounter, "00000");
    model_.SetControlText(C::kFailCounter, "00000");
    model_.SetControlText(C::kTotalCounter, "00000");

    if (options_.practice) {
        practiceBanner_ = LangTextOr("IDS_PRACTICE", "PRACTICE \xE2\x80\x94 simulated boards");
        model_.SetWindowTitle(practiceBanner_ + " \xE2\x80\x94 " + model_.WindowTitle());
        Log("Practice mode: simulated boards");
    }
    // A fresh start says what to do first.
    SetStatus(settings_->WriteKeybox != 0 ? GetLangText("IDS_FIRST_LOAD_KEYFILE") : std::string());

    if (!CreateScanner() || !StartScanThread()) {
        Log("Error:Create Scan Object failed!");
        scanner_.reset();
        view_.ShowMessage("Creating scan object failed!", ErrorCaption(), MessageIcon::kError);
        return {false, -1};
    }
    initialised_ = true;
    FocusNextStep();
    return {true, 0};
}

StartupResult CStationController::ConfigFailure() {
    view_.ShowMessage("Loader Config fail", std::string(), MessageIcon::kNone);
    return {false, 0};
}

void CStationController::CreateRkpFolder() {
    // An empty SavePath means the application folder, which exists.
    if (!settings_->SavePath.empty() &&
        !ks::FolderExists(ks::WithoutTrailingSeparator(settings_->SavePath))) {
        CreateOneFolder(settings_->SavePath);
    }
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
    deviceTablesProblem_.clear();
    const std::string tablesPath = appDir_ + DeviceTables::kFileName;
    if (!deviceTables_.LoadFile(tablesPath, logger_.get())) {
        deviceTablesProblem_ = deviceTables_.LoadProblem();
    } else if (deviceTables_.VendorId() == 0 && deviceTables_.AltVendorId() == 0) {
        deviceTablesProblem_ = tablesPath + ": no vendor ids";
    }
    if (!deviceTablesProblem_.empty()) {
        deviceTables_ = DeviceTables();
        deviceTablesProblem_ += ", no loader board can be found";
        Log("Error:CreateScanner-->%s", deviceTablesProblem_.c_str());
        SetStatus(deviceTablesProblem_);
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

bool CStationController::OnClose(const std::string& by) {
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
    return CloseNow(by);
}

bool CStationController::QueryEndSession(std::string* why) {
    if (shutDown_ || closing_ || !slots_.AnyRunning()) {
        return true;
    }
    // A board in the middle of its job may be holding a key: the session waits for it.
    Refuse("IDS_CLOSE_STOPPING", "Error:Session end refused: jobs are still running");
    if (why != nullptr) {
        *why = LangTextOr("IDS_CLOSE_STOPPING", "Cannot close yet: the running jobs are finishing");
    }
    return false;
}

void CStationController::EndStation(const std::string& by) {
    if (shutDown_ || closing_) {
        return;
    }
    Log("Ending the station: %s", by.c_str());
    if (stationRunning_ == 1) {
        Stop(by);
    }
    if (slots_.AnyRunning()) {
        // The running jobs finish first; the last one's result closes the station.
        endingBy_ = by;
        return;
    }
    CloseNow(by);
}

bool CStationController::CloseNow(const std::string& by) {
    closeBy_ = by;  // (`by` may be endingBy_ itself)
    endingBy_.clear();
    closing_ = true;
    EnableButtons(false);
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
        RestoreRunSettings();
        settings_->Save(appDir_ + "config.ini");
        RecordEvent("close", closeBy_);
    }
    shutDown_ = true;
    closing_ = false;
    view_.CloseWindow();
}

namespace {

// Sets `field` to `value` when given, keeping what it held in `saved`.
template <typename T>
void Override(T& field, const std::optional<T>& value, std::optional<T>* saved) {
    if (value) {
        *saved = field;
        field = *value;
    }
}

// Puts back what `saved` kept, unless the field no longer holds `value`.
template <typename T>
void PutBack(T& field, const std::optional<T>& value, const std::optional<T>& saved) {
    if (value && saved && field == *value) {
        field = *saved;
    }
}

}  // namespace

void CStationController::SetRunSettings(const RunSettings& run) {
    CIniSettingBase& s = *settings_;
    runValues_ = run;
    runSaved_ = RunSettings();
    Override(s.DestPosition, run.destPosition, &runSaved_.destPosition);
    Override(s.GetRkp, run.getRkp, &runSaved_.getRkp);
    Override(s.WriteKeybox, run.writeKeybox, &runSaved_.writeKeybox);
    Override(s.ResetAfterWrite, run.resetAfterWrite, &runSaved_.resetAfterWrite);
    Override(s.SavePath, run.savePath, &runSaved_.savePath);
}

void CStationController::RestoreRunSettings() {
    CIniSettingBase& s = *settings_;
    PutBack(s.DestPosition, runValues_.destPosition, runSaved_.destPosition);
    PutBack(s.GetRkp, runValues_.getRkp, runSaved_.getRkp);
    PutBack(s.WriteKeybox, runValues_.writeKeybox, runSaved_.writeKeybox);
    PutBack(s.ResetAfterWrite, runValues_.resetAfterWrite, runSaved_.resetAfterWrite);
    PutBack(s.SavePath, runValues_.savePath, runSaved_.savePath);
    runValues_ = RunSettings();
}

void CStationController::ApplyArguments(const StationArguments& arguments) {
    if (!initialised_ || shutDown_) {
        return;
    }
    SetRunSettings(arguments.run);
    if (arguments.keyFile) {
        LoadKeyFile(*arguments.keyFile);
    } else if (arguments.keyPool) {
        LoadKeyPool(*arguments.keyPool, arguments.poolName.value_or(std::string()),
                    arguments.poolWrapKey, arguments.insecurePool);
    } else if (!settings_->KeyPool.empty()) {
        // The shared key pool config.ini keeps (KeyPool, PoolName in section System).
        LoadKeyPool(settings_->KeyPool, settings_->PoolName, arguments.poolWrapKey,
                    arguments.insecurePool);
    }
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

void CStationController::EnableButtons(bool enabled) {
    for (const int id :
         {C::kKeyFileButton, C::kStartStopButton, C::kExitButton, C::kConfigButton}) {
        model_.EnableControl(id, enabled);
    }
}

void CStationController::FocusNextStep() {
    const bool needKeys = settings_->WriteKeybox != 0 && (!keySource_ || keySource_->IsBroken());
    model_.SetFocus(needKeys && stationRunning_ == 0 ? C::kKeyFileButton : C::kStartStopButton);
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
        Stop("stop-button");
        return;
    }
    if (State() == StationState::kStopping) {
        return;  // the button is disabled while stopping
    }
    if (settings_->WriteKeybox != 0 && !keySource_) {
        Refuse("IDS_START_NO_KEYFILE",
               "Error:Start refused: keybox writing is on and no key file is loaded");
        FocusNextStep();
        return;
    }
    if (settings_->WriteKeybox != 0 && keySource_->IsBroken()) {
        // A key file that failed to record a key hands out no more; it must be loaded again.
        Log("Error:Start refused: the key file could not record a key; load it again");
        view_.ShowMessage(GetLangText("IDS_KEYFILE_STOPPED"), ErrorCaption(), MessageIcon::kError);
        FocusNextStep();
        return;
    }
    // The folder as the settings name it now: the configuration dialog or a console option may
    // have changed it since start-up.
    CreateRkpFolder();
    stationRunning_ = 1;
    RecordEvent("start", "start-button");
    {
        std::lock_guard<std::mutex> guard(unusedLock_);
        if (!keysOutShown_) {
            SetStatus({});  // the last refusal or failure is past
        }
    }
    if (settings_->WriteKeybox != 0 && settings_->DestPosition != 0 &&
        settings_->AllowReprovision == 0) {
        // The loader takes the record out of vendor storage after its reset and keeps no copy
        // the station can read: only a record not taken yet and the serial number guard it.
        Log("Warning:Start: keys go to vendor storage, which cannot be read back once a board has "
            "taken its key; boards keyed before are recognised by serial number only");
        SetStatus(GetLangText("IDS_VENDOR_NO_READBACK"));
    }
    slots_.StartJobs();
    UpdateButtons();
    FocusNextStep();
}

void CStationController::Stop(const std::string& by) {
    stationRunning_ = 0;
    RecordEvent("stop", by);
    model_.SetControlText(C::kStartStopButton, GetLangText("IDS_STOPPING_BUTTON"));
    model_.EnableControl(C::kStartStopButton, false);
    if (slots_.AnyRunning()) {
        return;  // Stopping: the running jobs finish; their results end the state
    }
    UpdateButtons();
    model_.EnableControl(C::kStartStopButton, true);
    FocusNextStep();
}

void CStationController::OnConfigButton() {
    if (!initialised_ || shutDown_ || closing_ || State() != StationState::kIdle) {
        return;
    }
    view_.RunConfigDialog(*settings_, *language_);
    FocusNextStep();
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

void CStationController::OnUpgradeResult(int slotNumber, JobOutcome outcome) {
    if (slotNumber < 1 || slotNumber > kSlotCount) {
        return;
    }
    const bool failed = outcome == JobOutcome::kFailed;
    if (outcome == JobOutcome::kStopped) {
        model_.DropRowColour(slotNumber - 1);  // the board was not written: no colour
    } else {
        model_.SetRowColour(slotNumber - 1, outcome == JobOutcome::kSuccess ? kRowGreen
                                            : failed                        ? kRowRed
                                                                            : kRowAlready);
    }

    const uint64_t now = jobClock_.NowMs();
    const uint64_t start = jobStart_[slotNumber - 1].exchange(0);
    if (start != 0) {
        model_.SetRowTime(slotNumber - 1, FormatDuration(now >= start - 1 ? now - (start - 1) : 0));
    }
    CDeviceSlots::JobEnd end;
    const bool ended = slots_.EndJob(slotNumber, &end);
    if (ended) {
        recentEnds_.push_back(now);
        if (failed) {
            std::string text = model_.CellText(slotNumber - 1, kColumnStatus);
            ++failureCounts_[text.empty() ? std::string("?") : std::move(text)];
        } else if (outcome == JobOutcome::kAlready) {
            ++alreadyCount_;
        }
        UpdateSummary(now);
    }
    // A failure, and the last running job's end, call for the operator: once per result.
    if (ended && settings_->Alerts != 0 && (failed || !end.anyRunning)) {
        model_.CallAttention();
    }
    if (!end.anyRunning && stationRunning_ == 0 && !shutDown_ && !closing_) {
        if (!endingBy_.empty()) {
            CloseNow(endingBy_);  // the end of the station waited for this job
            return;
        }
        UpdateButtons();
        model_.EnableControl(C::kStartStopButton, true);
        FocusNextStep();
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
    EnableButtons(false);

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
        const int64_t keys = keyFile->GetKeyCount();
        const int64_t unused = keyFile->GetUnusedCount();
        try {
            keySource_ = std::make_unique<CKeyFileSource>(std::move(keyFile), path);
        } catch (const std::bad_alloc&) {
            keySource_.reset();
        }
        if (keySource_) {
            keySourceName_ = FileNameOf(path);
            keySha256_ = KeyAreaDigest(path);
            StationEvent event{"keys-loaded",  JournalTimeNow(), hostName_, std::string(),
                               keySourceName_, keySha256_,       keys,      unused};
            if (results_ != nullptr) {
                results_->Append(event);
            }
        }
    }
    {
        std::lock_guard<std::mutex> guard(unusedLock_);
        keysOutShown_ = false;
        if (keySource_) {
            // What the load put right or found (already in the log) stays on the status line.
            std::string notes;
            for (const std::string& note : keySource_->LoadNotes()) {
                notes += (notes.empty() ? "" : "; ") + note;
            }
            SetStatus(notes);
            ShowKeyLevelLocked(LabelNumber(model_.ControlText(C::kUnusedLabel)));
        } else {
            model_.SetControlColour(C::kUnusedLabel, std::nullopt);
        }
    }
    // The buttons are back before any message box: the loading text is not left behind it.
    model_.SetControlText(C::kKeyFileButton, buttonText);
    EnableButtons(true);
    if (!keySource_) {
        keyFile.reset();
        // No key file is loaded now; the configuration dialog must not show the old path.
        settings_->keyFilePath.clear();
        // The operator reads what to do; the failing check's own text goes to the log.
        const std::string words = GetLangText(KeyFileTroubleKey(ClassifyKeyFileError(reason)));
        const std::string text = GetLangText("IDS_LOADING_FW_FAIL") + ": " + words;
        Log("Error:Key file %s not loaded: %s", path.c_str(), reason.c_str());
        SetStatus(words);
        view_.ShowMessage(text, ErrorCaption(), MessageIcon::kError);
        model_.SetFocus(C::kKeyFileButton);  // the next step is another key file
        return;
    }
    FocusNextStep();
}

void CStationController::LoadKeyPool(const std::string& conninfo, const std::string& pool,
                                     const std::string& wrapKeyFile, bool insecureConnection) {
    if (!initialised_ || shutDown_ || State() != StationState::kIdle) {
        return;
    }
    StopCountPoller();
    keySource_.reset();
    SetKeyInfo({}, {}, {}, {});
    PoolSourceOptions options;
    options.wrapKeyFile = wrapKeyFile.empty() ? settings_->KeyPoolWrapKey : wrapKeyFile;
    options.insecureConnection = insecureConnection;
    if (insecureConnection) {
        Log("Warning: --insecure-pool-connection: the key pool connection %s is not required to "
            "use verified TLS",
            pool.c_str());
    }
    std::unique_ptr<CPoolKeySource> source;
    try {
        source = std::make_unique<CPoolKeySource>(conninfo, pool, logger_.get(), options);
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
    // A standby's address alone is refused by the pool source with its own reason.
    const bool standby = reason.find("read-only standby") != std::string::npos;
    // A connection refused by a rule (TLS, sslmode, channel binding, a password in the string)
    // is not a network fault: the operator reads the rule.
    const bool refused = reason.find("connection is refused") != std::string::npos;
    const std::string words =
        refused ? GetLangText("IDS_KEYPOOL_REFUSED") + " (" + reason + ")"
                : GetLangText(standby ? "IDS_KEYPOOL_STANDBY" : "IDS_KEYPOOL_LOAD_FAIL");
    SetStatus(words);
    view_.ShowMessage(words, ErrorCaption(), MessageIcon::kError);
    model_.SetFocus(C::kKeyFileButton);
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
    keySourceName_ = keySource_->Describe();
    keySha256_.clear();
    if (results_ != nullptr) {
        results_->Append(StationEvent{"keys-loaded", JournalTimeNow(), hostName_, std::string(),
                                      keySourceName_, std::string(), counts.keys, counts.unused});
    }
    {
        std::lock_guard<std::mutex> guard(unusedLock_);
        keysOutShown_ = false;
        SetStatus({});
        ShowKeyLevelLocked(counts.unused);
    }
    StartCountPoller();
    FocusNextStep();
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
    keySourceServer_ = source->Server();
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
    ++pollGeneration_;  // a count already posted by the poller lands on nothing
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
    // A failover moved the pool to another server: said once in the status line (the source
    // logs it when its first connection gets there).
    if (const std::string server = keySource_->Server(); server != keySourceServer_) {
        if (!keySourceServer_.empty() && !server.empty()) {
            SetStatus("key pool: now on " + server);
        }
        keySourceServer_ = server;
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
    summary.already = alreadyCount_;

    std::string text = std::to_string(summary.jobsPerHour) + " " + GetLangText("IDS_SUMMARY_RATE");
    if (summary.already > 0) {
        text += "\n" + std::to_string(summary.already) + " " + GetLangText("IDS_SUMMARY_ALREADY");
    }
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
    if (practiceBanner_.empty()) {
        model_.SetControlText(C::kStatusLine, text);
    } else {
        model_.SetControlText(C::kStatusLine,
                              text.empty() ? practiceBanner_ : practiceBanner_ + " | " + text);
    }
}

void CStationController::Refuse(const char* languageKey, const char* logLine) {
    Log("%s", logLine);
    SetStatus(GetLangText(languageKey));
}

void CStationController::RecordEvent(const char* name, const std::string& by) {
    if (results_ == nullptr) {
        return;
    }
    StationEvent event;
    event.event = name;
    event.by = by;
    event.time = JournalTimeNow();
    event.host = hostName_;
    results_->Append(event);
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
    if (keySource_ && keySource_->File() == nullptr && !keySource_->IsBroken()) {
        // A pool call lost with its connection (a failover, a server that did not answer in
        // time): that job failed with its key kept from every board it was not sent to, and the
        // next job draws from the pool again, on whichever server is its primary by then.
        Log("Error:%s: a key's state could not be recorded; that job failed, the station "
            "carries on",
            keySource_->Describe().c_str());
        SetStatus(GetLangText("IDS_POOL_LOST"));
        return;
    }
    keyFileFailureShown_ = true;
    Log("Error:The key file could not record a key; the station stops. Load the key file again.");
    // What the key file found, when it can say (a file changed while the station used it).
    const std::string reason = keySource_ ? keySource_->BrokenReason() : std::string();
    if (!reason.empty()) {
        Log("Error:%s", reason.c_str());
    }
    if (stationRunning_ == 1) {
        Stop("key-file-failure");  // running jobs finish, no new ones start
    }
    // Why, in the operator's words: a full disk is the common cause.
    CKeyFile* file = KeyFile();
    const std::string path = keySource_ ? keySource_->Describe() : std::string();
    std::string words;
    if (file != nullptr && DiskFullAt(path)) {
        Log("Error:The disk of %s is full", path.c_str());
        words = GetLangText("IDS_KEYFILE_DISK_FULL");
    }
    RereadUnusedLabel();
    SetStatus((words.empty() ? GetLangText("IDS_STOPPED_KEYFILE") : words) +
              (reason.empty() ? "" : ": " + reason));
    view_.ShowMessage(GetLangText("IDS_KEYFILE_STOPPED") + (words.empty() ? "" : "\n" + words),
                      ErrorCaption(), MessageIcon::kError);
    FocusNextStep();
}

void CStationController::RereadUnusedLabel() {
    KeySourceCounts counts;
    if (!keySource_ || !keySource_->GetCounts(&counts)) {
        return;
    }
    std::lock_guard<std::mutex> guard(unusedLock_);
    const std::string unused = std::to_string(counts.unused);
    model_.EditControlText(
        C::kUnusedLabel, [&](const std::string& text) { return ReplaceLabelValue(text, unused); });
}

std::string CStationController::ErrorCaption() {
    return LangTextOr("IDS_CAPTION_ERROR", "ERROR");
}

std::string CStationController::LangTextOr(const char* key, const char* fallback) {
    std::string text = GetLangText(key);
    return text.empty() || text == key ? std::string(fallback) : text;
}

void CStationController::RecordJob(const JobRecord& record) {
    poster_.Post([alive = alive_, this, job = record] {
        if (!*alive) {
            return;
        }
        // The keys can change only while no job runs, so these are the job's.
        JobRecord filled = job;
        if (keySource_) {
            filled.keySource = keySourceName_;
            filled.keySha256 = keySha256_;
        }
        filled.host = hostName_;
        if (results_ != nullptr && !results_->Append(filled)) {
            if (!resultsFailureLogged_) {
                Log("Error:the job results could not be written: %s",
                    results_->LastError().c_str());
            }
            resultsFailureLogged_ = true;
        }
        if (jobObserver_) {
            jobObserver_(filled);
        }
    });
}

void CStationController::PostUpgradeResult(int slotNumber, JobOutcome outcome) {
    if (tlsResultPosted != nullptr) {
        *tlsResultPosted = true;
    }
    poster_.Post([alive = alive_, this, slotNumber, outcome] {
        if (*alive) {
            OnUpgradeResult(slotNumber, outcome);
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
    // A row keeps its last job's colour and result until a job starts in its slot.
    const int row = slotNumber - 1;
    model_.DropRowColour(row);
    model_.SetCellText(row, kColumnStatus, std::string());
    model_.SetRowMark(row, std::string());
    jobStart_[row] = jobClock_.NowMs() + 1;
    model_.SetRowTime(row, FormatDuration(0));
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
        PostUpgradeResult(slotNumber, JobOutcome::kFailed);
    }
}
