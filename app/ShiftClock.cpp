#include "app/ShiftClock.h"

#include <algorithm>
#include <cstdio>

#include "app/StationModel.h"

CShiftClock::CShiftClock(CStationModel& model, IClock& clock, Texts texts, StuckReport stuck)
    : model_(model), clock_(clock), texts_(std::move(texts)), stuck_(std::move(stuck)) {}

void CShiftClock::JobStarted(int slotNumber) {
    if (slotNumber < 1 || slotNumber > kSlotCount) {
        return;
    }
    const uint64_t now = clock_.NowMs();
    jobStart_[slotNumber - 1] = now + 1;
    uint64_t none = 0;
    firstStart_.compare_exchange_strong(none, now + 1);
    model_.SetRowTime(slotNumber - 1, FormatDuration(0));
}

void CShiftClock::JobResult(int slotNumber) {
    if (slotNumber < 1 || slotNumber > kSlotCount) {
        return;
    }
    const uint64_t now = clock_.NowMs();
    const uint64_t start = jobStart_[slotNumber - 1].exchange(0);
    if (start != 0) {
        model_.SetRowTime(slotNumber - 1, FormatDuration(now >= start - 1 ? now - (start - 1) : 0));
    }
}

void CShiftClock::JobEnded(JobOutcome outcome, const std::string& statusText) {
    const uint64_t now = clock_.NowMs();
    recentEnds_.push_back(now);
    if (outcome == JobOutcome::kFailed) {
        ++failureCounts_[statusText.empty() ? std::string("?") : statusText];
    } else if (outcome == JobOutcome::kAlready) {
        ++alreadyCount_;
    }
    UpdateSummary(now);
}

void CShiftClock::Tick(int32_t stuckSeconds) {
    const uint64_t now = clock_.NowMs();
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
            stuck_(i + 1, elapsed / 1000);
        }
    }
    if (!recentEnds_.empty()) {
        UpdateSummary(now);
    }
}

namespace {

// The first "%d" of a language text replaced by `value` (a language file's text is no format);
// without one, the value goes after the text.
std::string WithNumber(std::string text, const std::string& value) {
    const size_t at = text.find("%d");
    if (at == std::string::npos) {
        return text.empty() ? value : text + " " + value;
    }
    return text.replace(at, 2, value);
}

}  // namespace

void CShiftClock::UpdateSummary(uint64_t nowMs) {
    constexpr uint64_t kPaceWindowMs = 10 * 60 * 1000;
    constexpr uint64_t kMinutePaceMs = 60 * 1000;
    while (!recentEnds_.empty() && recentEnds_.front() + kPaceWindowMs <= nowMs) {
        recentEnds_.pop_front();
    }
    ShiftSummary summary;
    // The rate is over the time the jobs had: ten minutes, or less since the first job started.
    const uint64_t first = firstStart_.load();
    const uint64_t since = first != 0 && nowMs >= first - 1 ? nowMs - (first - 1) : kPaceWindowMs;
    const uint64_t span = std::min(since, kPaceWindowMs);
    summary.recentJobs = static_cast<int>(recentEnds_.size());
    if (span >= kMinutePaceMs) {
        summary.paceMinutes = static_cast<int>(span / kMinutePaceMs);
        summary.jobsPerHour = static_cast<int>(recentEnds_.size() * 3600000 / span);
    }
    std::vector<std::pair<std::string, int>> failures(failureCounts_.begin(), failureCounts_.end());
    std::stable_sort(failures.begin(), failures.end(),
                     [](const auto& a, const auto& b) { return a.second > b.second; });
    if (failures.size() > 3) {
        failures.resize(3);
    }
    summary.topFailures = std::move(failures);
    summary.already = alreadyCount_;

    // Under a minute a rate would mean nothing: the jobs done and the time they took.
    std::string text =
        summary.paceMinutes > 0
            ? std::to_string(summary.jobsPerHour) + " " +
                  WithNumber(texts_("IDS_SUMMARY_RATE"), std::to_string(summary.paceMinutes))
            : std::to_string(summary.recentJobs) + " " +
                  WithNumber(texts_("IDS_SUMMARY_DONE"), FormatDuration(span));
    if (summary.already > 0) {
        text += "\n" + std::to_string(summary.already) + " " + texts_("IDS_SUMMARY_ALREADY");
    }
    for (const auto& [failure, count] : summary.topFailures) {
        text +=
            "\n" + WithNumber(texts_("IDS_SUMMARY_TIMES"), std::to_string(count)) + " " + failure;
    }
    summary_ = std::move(summary);
    if (model_.ControlText(StationControl::kSummaryLabel) != text) {
        model_.SetControlText(StationControl::kSummaryLabel, text);
    }
}

std::string CShiftClock::FormatDuration(uint64_t ms) {
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
