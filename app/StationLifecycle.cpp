// The station controller's start-up and shutdown: settings, language, log, discovery and the scan
// thread at window initialisation; the close command and every other way out, which all end in
// one close path (running jobs finished, settings written back, `close` in the results).
#include <algorithm>
#include <new>
#include <system_error>

#include "app/KeySupply.h"
#include "app/ResultsJournal.h"
#include "app/StationController.h"
#include "app/StationDialogTexts.h"
#include "device/ZRScan.h"
#include "support/FileSystem.h"
#include "support/IniLocalLan.h"
#include "support/IniSettingBase.h"
#include "support/Logger.h"
#include "support/NativeFile.h"
#include "support/Paths.h"

namespace {

namespace C = StationControl;

// Creates one level of folder through the file seam (UTF-16 on Windows); the parent must exist.
void CreateOneFolder(const std::string& folder) {
    ks::CreateOneFolder(ks::WithoutTrailingSeparator(folder), false);
}

}  // namespace

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
    journal_ = std::make_unique<CResultsJournal>(appDir_);
    journal_->SetPractice(options_.practice);
    keys_ = std::make_unique<CKeySupply>(
        model_, poster_, *journal_, *settings_,
        [this](const char* key) { return GetLangText(key); },
        [this](const std::string& text) { SetStatus(text); }, options_.keyCountRefreshMs);
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
    // The records of the key stocks this station loads, and its index of every key it handed out.
    keys_->UseRecordsFolder(appDir_ + "stocks");

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

    if (!options_.systemLocale.empty()) {
        SelectSystemLanguage();
    }
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

void CStationController::SelectSystemLanguage() {
    const std::string& system = options_.systemLocale;
    const std::string language = system.substr(0, system.find_first_of("_-.@"));
    const size_t count = std::min<size_t>(settings_->languageTable.size(),
                                          static_cast<size_t>(std::max(settings_->LanKinds, 0)));
    for (size_t i = 0; i < count && !language.empty(); ++i) {
        CIniLocalLan candidate;
        if (!candidate.Load(appDir_ + settings_->LangPath + settings_->languageTable[i].fileName)) {
            continue;
        }
        const std::string locale = candidate.GetText("LANG:IDS_QT_LOCALE");
        if (locale.substr(0, locale.find_first_of("_-")) == language) {
            settings_->Selected = static_cast<int32_t>(i);
            return;
        }
    }
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
        keys_->SetLog(logger_.get());
        journal_->SetLog(logger_.get());
        logger_->SetLevel(ks::kLogAll);
        logger_->Print(ks::kLogStation, "Ostrel Running...\r\n");
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
    keys_->Drop();
    keys_->SetLog(nullptr);
    journal_->SetLog(nullptr);
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
    } else if (options_.practice) {
        LoadPracticeKeyFile();
    }
}
