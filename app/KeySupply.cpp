#include "app/KeySupply.h"

#include <algorithm>
#include <chrono>
#include <cstdarg>
#include <new>
#include <system_error>
#include <utility>

#include "app/MainThreadPoster.h"
#include "app/OperatorWords.h"
#include "app/ResultsJournal.h"
#include "app/StationModel.h"
#include "app/StationTexts.h"
#include "keydb/KeyFile.h"
#include "keydb/pool/PoolKeySource.h"
#include "support/FileSystem.h"
#include "support/IniSettingBase.h"
#include "support/LogTo.h"
#include "support/NativeFile.h"
#include "support/Paths.h"

namespace {

namespace C = StationControl;

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

}  // namespace

CKeySupply::CKeySupply(CStationModel& model, IMainThreadPoster& poster, CResultsJournal& journal,
                       const CIniSettingBase& settings, Texts texts, Status status,
                       uint32_t refreshMs)
    : model_(model),
      poster_(poster),
      journal_(journal),
      settings_(settings),
      texts_(std::move(texts)),
      status_(std::move(status)),
      refreshMs_(refreshMs),
      alive_(std::make_shared<std::atomic<bool>>(true)) {}

CKeySupply::~CKeySupply() {
    StopPoller();
    *alive_ = false;
}

void CKeySupply::Log(const char* format, ...) {
    va_list args;
    va_start(args, format);
    VLogTo(log_, format, args);
    va_end(args);
}

CKeyFile* CKeySupply::File() const {
    return source_ ? source_->File() : nullptr;
}

void CKeySupply::Drop() {
    StopPoller();
    source_.reset();
    journal_.ClearKeys();
}

void CKeySupply::UseRecordsFolder(const std::string& folder) {
    recordsFolder_ = folder;
    auto index = std::make_unique<CStationKeyIndex>();
    std::string error = "the folder cannot be made";
    if (!ks::CreateFolderChain(folder) || !index->Open(folder + "/delivered-keys.idx", &error)) {
        Log("Error:The station's key index %s/delivered-keys.idx cannot be used (%s): a board "
            "keyed from another key file is not recognised",
            folder.c_str(), error.c_str());
        return;
    }
    index_ = std::move(index);
}

std::string CKeySupply::LoadFile(const std::string& path) {
    Drop();
    SetLabels({}, {}, {}, {});
    std::unique_ptr<CKeyFile> keyFile;
    std::string reason = "out of memory";
    try {
        keyFile = std::make_unique<CKeyFile>(path, log_, KeyFileAccess::Station, recordsFolder_);
        if (!keyFile->IsValid()) {
            reason = OperatorReason(keyFile->GetError());
            keyFile.reset();
        }
    } catch (const std::bad_alloc&) {
        keyFile.reset();
    }
    if (keyFile) {
        keyFile->SetJournalHost(ks::HostName());
        Log("Key file %s loaded: %d keys, %d unused, %u in doubt (reserved by a run that did not "
            "record how their jobs ended)",
            path.c_str(), keyFile->GetKeyCount(), keyFile->GetUnusedCount(),
            keyFile->GetInDoubtCount());
        SetLabels(path, std::to_string(keyFile->GetKeyCount()),
                  std::to_string(keyFile->GetUnusedCount()), keyFile->GetCreateTime());
        const int64_t keys = keyFile->GetKeyCount();
        const int64_t unused = keyFile->GetUnusedCount();
        try {
            source_ = std::make_unique<CKeyFileSource>(std::move(keyFile), path);
        } catch (const std::bad_alloc&) {
            source_.reset();
        }
        if (source_) {
            journal_.SetKeys(FileNameOf(path), KeyAreaDigest(path));
            journal_.KeysLoaded(keys, unused);
        }
    }
    std::lock_guard<std::mutex> guard(unusedLock_);
    keysOutShown_ = false;
    if (!source_) {
        model_.SetControlColour(C::kUnusedLabel, std::nullopt);
        // The operator reads what to do; the failing check's own text goes to the log.
        const std::string words = texts_(KeyFileTroubleKey(ClassifyKeyFileError(reason)));
        Log("Error:Key file %s not loaded: %s", path.c_str(), reason.c_str());
        status_(words);
        return texts_("IDS_LOADING_FW_FAIL") + ": " + words;
    }
    // What the load put right or found (already in the log) stays on the status line.
    std::string notes;
    for (const std::string& note : source_->LoadNotes()) {
        notes += (notes.empty() ? "" : "; ") + note;
    }
    status_(notes);
    ShowLevelLocked(LabelNumber(model_.ControlText(C::kUnusedLabel)));
    return std::string();
}

std::string CKeySupply::LoadPool(const std::string& conninfo, const std::string& pool,
                                 const std::string& wrapKeyFile, bool insecureConnection) {
    Drop();
    SetLabels({}, {}, {}, {});
    PoolSourceOptions options;
    options.wrapKeyFile = wrapKeyFile.empty() ? settings_.KeyPoolWrapKey : wrapKeyFile;
    options.insecureConnection = insecureConnection;
    if (insecureConnection) {
        Log("Warning: --insecure-pool-connection: the key pool connection %s is not required to "
            "use verified TLS",
            pool.c_str());
    }
    std::unique_ptr<CPoolKeySource> source;
    try {
        source = std::make_unique<CPoolKeySource>(conninfo, pool, log_, options);
    } catch (const std::bad_alloc&) {
        source.reset();
    }
    std::string reason = source ? source->GetError() : std::string("out of memory");
    if (source && source->IsValid()) {
        if (LoadSource(std::move(source))) {
            return std::string();
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
        refused ? texts_("IDS_KEYPOOL_REFUSED") + " (" + reason + ")"
                : texts_(standby ? "IDS_KEYPOOL_STANDBY" : "IDS_KEYPOOL_LOAD_FAIL");
    status_(words);
    return words;
}

bool CKeySupply::LoadSource(std::unique_ptr<IKeySource> source) {
    Drop();
    KeySourceCounts counts;
    if (!source || !source->GetCounts(&counts)) {
        SetLabels({}, {}, {}, {});
        return false;
    }
    Log("Key pool %s loaded: %lld keys, %lld unused, %lld in doubt for this station",
        source->Describe().c_str(), static_cast<long long>(counts.keys),
        static_cast<long long>(counts.unused), static_cast<long long>(counts.inDoubt));
    SetLabels(source->Describe(), std::to_string(counts.keys), std::to_string(counts.unused),
              source->GetCreateTime());
    source_ = std::move(source);
    journal_.SetKeys(source_->Describe(), std::string());
    journal_.KeysLoaded(counts.keys, counts.unused);
    {
        std::lock_guard<std::mutex> guard(unusedLock_);
        keysOutShown_ = false;
        status_({});
        ShowLevelLocked(counts.unused);
    }
    StartPoller();
    return true;
}

void CKeySupply::SetLabels(const std::string& path, const std::string& keyCount,
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

void CKeySupply::DecreaseUnused() {
    std::lock_guard<std::mutex> guard(unusedLock_);
    // Counted down per key recorded, but never below zero, and zero once the key source hands
    // out no more keys (until it is loaded again).
    const bool broken = source_ && source_->IsBroken();
    int64_t shown = 0;
    model_.EditControlText(C::kUnusedLabel, [&](const std::string& text) {
        shown = broken ? 0 : std::max<int64_t>(LabelNumber(text) - 1, 0);
        return ReplaceLabelValue(text, std::to_string(shown));
    });
    ShowLevelLocked(shown);
}

void CKeySupply::RereadUnused() {
    KeySourceCounts counts;
    if (!source_ || !source_->GetCounts(&counts)) {
        return;
    }
    std::lock_guard<std::mutex> guard(unusedLock_);
    const std::string unused = std::to_string(counts.unused);
    model_.EditControlText(
        C::kUnusedLabel, [&](const std::string& text) { return ReplaceLabelValue(text, unused); });
}

bool CKeySupply::OutOfKeysShown() {
    std::lock_guard<std::mutex> guard(unusedLock_);
    return keysOutShown_;
}

void CKeySupply::ShowLevelLocked(int64_t unused) {
    if (!source_) {
        model_.SetControlColour(C::kUnusedLabel, std::nullopt);
        return;
    }
    const int64_t low = settings_.LowKeys;
    if (unused <= 0) {
        model_.SetControlColour(C::kUnusedLabel, kRowRed);
        if (!keysOutShown_) {
            keysOutShown_ = true;
            Log("Warning:No unused keys left");
            status_(texts_("IDS_KEYS_OUT"));
        }
        return;
    }
    keysOutShown_ = false;
    model_.SetControlColour(C::kUnusedLabel, low > 0 && unused < low
                                                 ? std::optional<RowColour>(kRowAmber)
                                                 : std::nullopt);
}

void CKeySupply::StartPoller() {
    StopPoller();
    IKeySource* source = source_.get();
    if (source == nullptr || source->File() != nullptr || refreshMs_ == 0) {
        return;
    }
    {
        std::lock_guard<std::mutex> guard(pollLock_);
        pollStop_ = false;
    }
    const uint64_t generation = ++pollGeneration_;
    lost_ = false;
    server_ = source->Server();
    try {
        poller_ = std::thread([this, source, generation, alive = alive_] {
            std::unique_lock<std::mutex> guard(pollLock_);
            for (;;) {
                if (pollWake_.wait_for(guard, std::chrono::milliseconds(refreshMs_),
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

void CKeySupply::StopPoller() {
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

void CKeySupply::OnPolledCounts(uint64_t generation, bool ok, const KeySourceCounts& counts) {
    if (generation != pollGeneration_ || !source_) {
        return;  // a source loaded since, or none any more
    }
    if (!ok) {
        if (!lost_) {
            lost_ = true;
            Log("Error:Key pool %s: the connection is lost; jobs fail at their key until it is "
                "back",
                source_->Describe().c_str());
            status_(texts_("IDS_POOL_LOST"));
        }
        return;
    }
    if (lost_) {
        lost_ = false;
        Log("Key pool %s: the connection is back", source_->Describe().c_str());
        status_(texts_("IDS_POOL_BACK"));
    }
    // A failover moved the pool to another server: said once in the status line (the source
    // logs it when its first connection gets there).
    if (const std::string server = source_->Server(); server != server_) {
        if (!server_.empty() && !server.empty()) {
            status_("key pool: now on " + server);
        }
        server_ = server;
    }
    std::lock_guard<std::mutex> guard(unusedLock_);
    const std::string keys = std::to_string(counts.keys);
    const std::string unused = std::to_string(counts.unused);
    model_.EditControlText(C::kKeyCountLabel,
                           [&](const std::string& text) { return ReplaceLabelValue(text, keys); });
    model_.EditControlText(
        C::kUnusedLabel, [&](const std::string& text) { return ReplaceLabelValue(text, unused); });
    ShowLevelLocked(counts.unused);
}
