#include "app/StationController.h"

#include <algorithm>
#include <chrono>
#include <cstdarg>
#include <exception>
#include <new>
#include <system_error>
#include <utility>

#include "app/KeySupply.h"
#include "app/OperatorWords.h"
#include "app/PracticeKeys.h"
#include "app/ResultsJournal.h"
#include "app/StationDialogTexts.h"
#include "app/StationTexts.h"
#include "device/ZRScan.h"
#include "device/ZRUsbComm.h"
#include "keydb/KeyFile.h"
#include "keydb/KeySource.h"
#include "provision/RkpExport.h"
#include "provision/UpgradeWorker.h"
#include "support/FileSystem.h"
#include "support/IniLocalLan.h"
#include "support/IniSettingBase.h"
#include "support/LogTo.h"
#include "support/Logger.h"
#include "support/NativeFile.h"
#include "support/Paths.h"

namespace {

namespace C = StationControl;

// Device-change event codes that ask for a rescan: nodes changed, arrival, removal complete.
constexpr uint32_t kDevNodesChanged = 0x0007;
constexpr uint32_t kDeviceArrival = 0x8000;
constexpr uint32_t kDeviceRemoveComplete = 0x8004;

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
      clock_(
          model_, options.jobClock != nullptr ? *options.jobClock : SystemClock(),
          [this](const char* key) { return GetLangText(key); },
          [this](int slotNumber, uint64_t seconds) { OnStuckJob(slotNumber, seconds); }) {
    if (!worker_) {
        worker_ = [](IWorkerHost& host, int slotNumber) { UpgradeThreadProc(host, slotNumber); };
    }
}

CStationController::~CStationController() {
    keys_.reset();
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
    va_list args;
    va_start(args, format);
    VLogTo(logger_.get(), format, args);
    va_end(args);
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
    const bool needKeys = settings_->WriteKeybox != 0 && keys_->NeedsLoad();
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
    if (settings_->WriteKeybox != 0 && keys_->Source() == nullptr) {
        Refuse("IDS_START_NO_KEYFILE",
               "Error:Start refused: keybox writing is on and no key file is loaded");
        FocusNextStep();
        return;
    }
    if (settings_->WriteKeybox != 0 && keys_->Source()->IsBroken()) {
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
    if (!keys_->OutOfKeysShown()) {
        SetStatus({});  // the last refusal or failure is past
    }
    if (settings_->WriteKeybox != 0 && settings_->Destination() != KeyDestination::kMisc &&
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

    clock_.JobResult(slotNumber);
    CDeviceSlots::JobEnd end;
    const bool ended = slots_.EndJob(slotNumber, &end);
    if (ended) {
        // Counted by the failure, without what became of each board's key.
        const std::string text = model_.CellText(slotNumber - 1, kColumnStatus);
        clock_.JobEnded(outcome, text.substr(0, text.find(kKeyNoteSeparator)));
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

bool CStationController::PracticeRefuses(const std::string& what, const std::string& why,
                                         const char* textKey) {
    if (!options_.practice || why.empty()) {
        return false;
    }
    if (options_.practiceWithProductionKeys) {
        Log("Warning:Practice takes %s all the same (--practice-with-production-keys): %s; its "
            "keys go to simulated boards",
            what.c_str(), why.c_str());
        return false;
    }
    Log("Error:Practice refuses %s: %s", what.c_str(), why.c_str());
    const std::string words = GetLangText(textKey);
    SetStatus(words);
    view_.ShowMessage(words, ErrorCaption(), MessageIcon::kError);
    model_.SetFocus(C::kKeyFileButton);
    return true;
}

void CStationController::LoadPracticeKeyFile() {
    const std::string path = appDir_ + kPracticeKeyFileName;
    if (std::string error; !MakePracticeKeyFile(path, &error)) {
        Log("Error:The practice key file %s could not be made: %s", path.c_str(), error.c_str());
        return;
    }
    LoadKeyFile(path);
}

void CStationController::LoadKeyFile(const std::string& path) {
    if (!initialised_ || shutDown_ || State() != StationState::kIdle) {
        return;
    }
    if (options_.practice &&
        PracticeRefuses("key file " + path,
                        ProductionUseOf(path,
                                        options_.productionFolder.empty()
                                            ? std::string()
                                            : options_.productionFolder + "stocks",
                                        appDir_ + "stocks"),
                        "IDS_PRACTICE_KEYFILE_USED")) {
        return;
    }
    const std::string buttonText = model_.ControlText(C::kKeyFileButton);
    model_.SetControlText(C::kKeyFileButton, GetLangText("IDS_LOADING_FW_BUTTON"));
    EnableButtons(false);
    const std::string message = keys_->LoadFile(path);
    // No key file is loaded after a failure: the configuration dialog must not show the old path.
    settings_->keyFilePath = message.empty() ? path : std::string();
    keyFileFailureShown_ = keyFileFailureShown_ && !message.empty();
    // The buttons are back before any message box: the loading text is not left behind it.
    model_.SetControlText(C::kKeyFileButton, buttonText);
    EnableButtons(true);
    if (!message.empty()) {
        view_.ShowMessage(message, ErrorCaption(), MessageIcon::kError);
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
    if (PracticeRefuses("key pool " + pool, "a key pool holds the line's keys",
                        "IDS_PRACTICE_POOL")) {
        return;
    }
    const std::string message = keys_->LoadPool(conninfo, pool, wrapKeyFile, insecureConnection);
    if (message.empty()) {
        keyFileFailureShown_ = false;
        FocusNextStep();
    } else {
        view_.ShowMessage(message, ErrorCaption(), MessageIcon::kError);
        model_.SetFocus(C::kKeyFileButton);
    }
}

bool CStationController::LoadKeySource(std::unique_ptr<IKeySource> source) {
    if (!initialised_ || shutDown_ || closing_ || State() != StationState::kIdle || !source) {
        return false;
    }
    if (!keys_->LoadSource(std::move(source))) {
        return false;
    }
    keyFileFailureShown_ = false;
    FocusNextStep();
    return true;
}

CKeyFile* CStationController::KeyFile() {
    return keys_ ? keys_->File() : nullptr;
}

CStationKeyIndex* CStationController::KeyIndex() {
    return keys_ ? keys_->Index() : nullptr;
}

IKeySource* CStationController::KeySource() {
    return keys_ ? keys_->Source() : nullptr;
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
    keys_->DecreaseUnused();
}

void CStationController::OnClockTick() {
    if (!initialised_ || shutDown_) {
        return;
    }
    clock_.Tick(settings_->StuckSeconds);
}

void CStationController::OnStuckJob(int slotNumber, uint64_t seconds) {
    Log("<ID %d>Warning:job running for %llu s, longer than StuckSeconds (%d s)", slotNumber,
        static_cast<unsigned long long>(seconds), settings_->StuckSeconds);
    SetStatus(GetLangText("IDS_JOB_STUCK") + " " + std::to_string(slotNumber));
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
    if (journal_ != nullptr) {
        journal_->Event(name, by);
    }
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
    IKeySource* source = keys_->Source();
    if (source != nullptr && source->File() == nullptr && !source->IsBroken()) {
        // A pool call lost with its connection (a failover, a server that did not answer in
        // time): that job failed with its key kept from every board it was not sent to, and the
        // next job draws from the pool again, on whichever server is its primary by then.
        Log("Error:%s: a key's state could not be recorded; that job failed, the station "
            "carries on",
            source->Describe().c_str());
        SetStatus(GetLangText("IDS_POOL_LOST"));
        return;
    }
    keyFileFailureShown_ = true;
    Log("Error:The key file could not record a key; the station stops. Load the key file again.");
    // What the key file found, when it can say (a file changed while the station used it).
    const std::string reason = source != nullptr ? source->BrokenReason() : std::string();
    if (!reason.empty()) {
        Log("Error:%s", reason.c_str());
    }
    if (stationRunning_ == 1) {
        Stop("key-file-failure");  // running jobs finish, no new ones start
    }
    // Why, in the operator's words: a full disk is the common cause.
    CKeyFile* file = KeyFile();
    const std::string path = source != nullptr ? source->Describe() : std::string();
    std::string words;
    if (file != nullptr && DiskFullAt(path)) {
        Log("Error:The disk of %s is full", path.c_str());
        words = GetLangText("IDS_KEYFILE_DISK_FULL");
    }
    keys_->RereadUnused();
    SetStatus((words.empty() ? GetLangText("IDS_STOPPED_KEYFILE") : words) +
              (reason.empty() ? "" : ": " + reason));
    view_.ShowMessage(GetLangText("IDS_KEYFILE_STOPPED") + (words.empty() ? "" : "\n" + words),
                      ErrorCaption(), MessageIcon::kError);
    FocusNextStep();
}

std::string CStationController::ErrorCaption() {
    return LangTextOr("IDS_CAPTION_ERROR", "ERROR");
}

std::string CStationController::LangTextOr(const char* key, const char* fallback) {
    std::string text = GetLangText(key);
    return text.empty() || text == key ? std::string(fallback) : text;
}

void CStationController::RkpFolderFailed(int error) {
    if (error == 0 || rkpBlocked_.exchange(error) != 0) {
        return;  // said once, until the folder can be written again
    }
    const char* key = RkpFolderTroubleKey(RkpFolderTroubleOf(error));
    Log("Error:the RKP folder %s cannot take files: %s (%d); jobs that save RKP data wait until "
        "it can",
        RkpFolder(settings_->SavePath, appDir_).c_str(), ks::SystemErrorText(error).c_str(), error);
    SetStatus(GetLangText(key != nullptr ? key : "IDS_RKP_FOLDER_READONLY"));
}

int CStationController::RkpFolderBlocked() {
    if (rkpBlocked_.load() == 0) {
        return 0;
    }
    {
        // One probe at a time: several boards arriving at once ask together.
        std::lock_guard<std::mutex> guard(rkpProbeLock_);
        if (rkpBlocked_.load() == 0) {
            return 0;
        }
        const int error = ProbeRkpFolder(RkpFolder(settings_->SavePath, appDir_));
        if (error != 0) {
            return error;
        }
        rkpBlocked_ = 0;
    }
    Log("The RKP folder takes files again");
    SetStatus(std::string());
    return 0;
}

void CStationController::RecordJob(const JobRecord& record) {
    poster_.Post([alive = alive_, this, job = record] {
        if (!*alive || journal_ == nullptr) {
            return;
        }
        JobRecord filled = job;
        filled.practice = options_.practice;
        journal_->Job(&filled);
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
    clock_.JobStarted(slotNumber);
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
