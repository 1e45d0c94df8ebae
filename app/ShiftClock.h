// The shift's clock: how long each slot's job has run (its row's time, while it runs and once it
// has ended), jobs that run longer than StuckSeconds (their rows turn amber, once per job), and
// the shift summary: jobs per hour over the last ten minutes, the boards that had their key
// already, and the three most frequent failure texts.
//
// Threads: JobStarted is called by whichever thread starts a job (the scan thread with the slots'
// lock held, or the main thread); everything else on the main thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "provision/JobRecord.h"
#include "support/Clock.h"

class CStationModel;

// What the shift summary says: jobs ended per hour over the last ten minutes, or over the time
// since the first job started when that is shorter (no rate under a minute: the jobs done and
// the time they took instead), and the three most frequent failure texts of the run with their
// counts (most frequent first).
struct ShiftSummary {
    int jobsPerHour = 0;  // 0 while paceMinutes is 0
    int paceMinutes = 0;  // the minutes the rate is over (1..10); 0: under a minute so far
    int recentJobs = 0;   // jobs ended in that time
    int already = 0;  // boards of the run that held their key already (neither success nor fail)
    std::vector<std::pair<std::string, int>> topFailures;
};

class CShiftClock {
  public:
    static constexpr int kSlotCount = 16;
    // A language text by its key.
    using Texts = std::function<std::string(const char* key)>;
    // A job of slotNumber has run for `seconds`, longer than StuckSeconds (once per job).
    using StuckReport = std::function<void(int slotNumber, uint64_t seconds)>;

    CShiftClock(CStationModel& model, IClock& clock, Texts texts, StuckReport stuck);

    void JobStarted(int slotNumber);
    // A job's result arrived: its row keeps the time the job took.
    void JobResult(int slotNumber);
    // A job ended and counts for the summary; statusText is its row's last text.
    void JobEnded(JobOutcome outcome, const std::string& statusText);
    // Once a second (any period will do): the running jobs' times, stuck jobs, the pace.
    void Tick(int32_t stuckSeconds);
    ShiftSummary Summary() const { return summary_; }

    // "m:ss", or "h:mm:ss" from an hour on.
    static std::string FormatDuration(uint64_t ms);

  private:
    void UpdateSummary(uint64_t nowMs);

    CStationModel& model_;
    IClock& clock_;
    Texts texts_;
    StuckReport stuck_;
    // The start (plus one) of each slot's running job, 0 when none.
    std::atomic<uint64_t> jobStart_[kSlotCount] = {};
    uint64_t stuckJob_[kSlotCount] = {};   // the start (plus one) of the job reported stuck
    std::deque<uint64_t> recentEnds_;      // end times of the jobs of the last ten minutes
    std::atomic<uint64_t> firstStart_{0};  // the start (plus one) of the first job; 0: none
    std::map<std::string, int> failureCounts_;
    int alreadyCount_ = 0;
    ShiftSummary summary_;
};
