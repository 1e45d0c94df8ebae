// The results file of a shift: every finished job appended as one JSON object per line to
// results/results-YYYY-MM-DD.jsonl in the application folder (the station's local date), each
// line written out before the next job's, so that a supervisor can follow it with `tail -f` or
// import it. The same objects are what `keystation-cli --json` prints.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "provision/JobRecord.h"

// One line, ending in '\n': {"event":"result", ...the record's fields...}. Texts that are not
// valid UTF-8 are written with replacement characters. Never throws (empty on failure).
std::string FormatJobRecordLine(const JobRecord& record);

// A station event of the results file: "start", "stop", "close" or "keys-loaded" (a key file or
// pool was loaded: its name, key-area SHA-256 and counts).
struct StationEvent {
    std::string event;
    std::string time;  // UTC "YYYY-MM-DDThh:mm:ssZ"
    std::string host;
    std::string by;         // start, stop and close: what did it ("stop-button", "SIGTERM", ...)
    std::string keySource;  // keys-loaded only
    std::string keySha256;  // keys-loaded only; empty for a pool
    int64_t keys = -1;      // keys-loaded only
    int64_t unused = -1;    // keys-loaded only
    bool practice = false;  // written as "practice": true
};
// One line, ending in '\n': {"event":..., "time":..., "host":..., ["by"], [key source and
// counts]}.
std::string FormatStationEventLine(const StationEvent& event);

// The console's last line: the counters and the shift summary (jobs per hour over the last ten
// minutes, the most frequent failure texts with their counts).
struct JobSummary {
    int64_t success = 0;
    int64_t fail = 0;
    int64_t total = 0;
    int64_t already = 0;  // boards that held their key already (in no counter)
    int64_t jobsPerHour = 0;
    std::vector<std::pair<std::string, int64_t>> topFailures;
};
std::string FormatSummaryLine(const JobSummary& summary);

class CJobResults {
  public:
    // folder: the application folder, with or without a trailing separator.
    explicit CJobResults(std::string appFolder);

    // Appends the record to today's file (creating the folder and file as needed). False when it
    // could not be written; the reason is in LastError().
    bool Append(const JobRecord& record);
    bool Append(const StationEvent& event);
    std::string LastError() const;
    // Practice mode: every record appended from now on carries "practice": true.
    void SetPractice(bool practice) { practice_ = practice; }
    // Today's file.
    std::string TodayPath() const;

  private:
    bool AppendLine(const std::string& line);

    std::string folder_;
    mutable std::mutex lock_;
    std::string error_;
    bool practice_ = false;
};
