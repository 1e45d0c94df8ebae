// Where the station's keys come from: the loaded key file or key pool (IKeySource), the four
// key labels of the window (file or pool, key count, unused count, creation time), the
// unused-key label's level (amber below LowKeys, red and a warning once none is left), and for a
// source without a file (the shared pool) a thread that reads its counts again every refreshMs,
// so that the label follows other stations' draws and a lost connection is said.
//
// Threads: the main thread loads, drops and reads the source; workers call DecreaseUnused. The
// poller thread only reads the counts and posts them to the main thread. unusedLock_ serialises
// the unused-key label; the model's lock and the logger's are taken inside it.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "keydb/KeySource.h"
#include "keydb/StationKeyIndex.h"
#include "support/Logger.h"

class CIniSettingBase;
class CKeyFile;
class CLoggerBase;
class CResultsJournal;
class CStationModel;
class IMainThreadPoster;

class CKeySupply {
  public:
    using Texts = std::function<std::string(const char* key)>;
    using Status = std::function<void(const std::string& text)>;

    // The references must outlive this object; texts and status are called on the main thread
    // (status also by workers, through DecreaseUnused).
    CKeySupply(CStationModel& model, IMainThreadPoster& poster, CResultsJournal& journal,
               const CIniSettingBase& settings, Texts texts, Status status, uint32_t refreshMs);
    // Stops the poller (bounded by the source's own time-outs).
    ~CKeySupply();
    CKeySupply(const CKeySupply&) = delete;
    CKeySupply& operator=(const CKeySupply&) = delete;

    void SetLog(CLoggerBase* log) { log_ = log; }
    // The station's records of its key stocks (found by their key areas' SHA-256) and its index
    // of every key it handed out, in `folder` (created when absent); said in the log when the
    // index cannot be used.
    void UseRecordsFolder(const std::string& folder);
    // Every key this station handed out, of any stock; null when it could not be opened.
    CStationKeyIndex* Index() { return index_ ? index_.get() : nullptr; }

    // Each load drops the keys loaded before. "" when the keys are loaded; otherwise the words
    // for the operator's message (already on the status line and in the log).
    std::string LoadFile(const std::string& path);
    std::string LoadPool(const std::string& conninfo, const std::string& pool,
                         const std::string& wrapKeyFile, bool insecureConnection);
    // A source without a file behind it; false (nothing loaded) when its counts cannot be read.
    bool LoadSource(std::unique_ptr<IKeySource> source);
    // No keys any more (the poller stopped).
    void Drop();

    IKeySource* Source() const { return source_.get(); }
    // The key file behind the source, or null when none is loaded or the source is a pool.
    CKeyFile* File() const;
    // True when no key can be drawn until keys are loaded (again).
    bool NeedsLoad() const { return !source_ || source_->IsBroken(); }

    // A key was recorded as used (any thread): the unused-key label counts down.
    void DecreaseUnused();
    // The unused-key label read again from the source (after it failed to record a key).
    void RereadUnused();
    // True while the out-of-keys warning is up (then the status line keeps it).
    bool OutOfKeysShown();

  private:
    void Log(const char* format, ...) KS_PRINTF_LIKE(2, 3);
    void SetLabels(const std::string& path, const std::string& keyCount,
                   const std::string& unusedCount, const std::string& createTime);
    void ShowLevelLocked(int64_t unused);
    void StartPoller();
    void StopPoller();
    void OnPolledCounts(uint64_t generation, bool ok, const KeySourceCounts& counts);

    CStationModel& model_;
    IMainThreadPoster& poster_;
    CResultsJournal& journal_;
    const CIniSettingBase& settings_;
    Texts texts_;
    Status status_;
    const uint32_t refreshMs_;
    CLoggerBase* log_ = nullptr;
    std::string recordsFolder_;
    std::unique_ptr<CStationKeyIndex> index_;
    std::shared_ptr<std::atomic<bool>> alive_;  // false once this object is gone
    std::unique_ptr<IKeySource> source_;

    std::thread poller_;
    std::mutex pollLock_;
    std::condition_variable pollWake_;
    bool pollStop_ = false;        // under pollLock_
    uint64_t pollGeneration_ = 0;  // main thread: which poller's posts still count
    bool lost_ = false;            // main thread: the last read of the counts failed
    std::string server_;           // main thread: the pool's server as last shown

    std::mutex unusedLock_;
    bool keysOutShown_ = false;  // under unusedLock_: the out-of-keys warning is up
};
