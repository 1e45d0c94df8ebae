// The station's journal of a shift: the results file (app/JobResults.h) as the controller writes
// it. It names every finished job and every station event ("start", "stop", "close",
// "keys-loaded") with this machine's name and the keys loaded at the time, and says what started,
// stopped or closed the station. Main thread.
#pragma once

#include <cstdint>
#include <string>

#include "app/JobResults.h"

class CLoggerBase;

class CResultsJournal {
  public:
    // appFolder: the application folder; the file is results/results-YYYY-MM-DD.jsonl there.
    explicit CResultsJournal(const std::string& appFolder);

    // Where a failed write is logged (once); null: nowhere.
    void SetLog(CLoggerBase* log) { log_ = log; }
    // Practice mode: every record carries "practice": true.
    void SetPractice(bool practice) { results_.SetPractice(practice); }
    // The keys loaded now: the key file's name and key-area SHA-256 (empty for a pool), or none.
    void SetKeys(const std::string& name, const std::string& sha256);
    void ClearKeys();

    void Event(const char* name, const std::string& by);
    void KeysLoaded(int64_t keys, int64_t unused);
    // Fills in the keys and the host and appends the record.
    void Job(JobRecord* record);

  private:
    void Append(const StationEvent& event);
    void Failed();

    CJobResults results_;
    std::string host_;
    bool keysLoaded_ = false;
    std::string keyName_;
    std::string keySha256_;
    CLoggerBase* log_ = nullptr;
    bool failureLogged_ = false;
};
