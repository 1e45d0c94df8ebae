// kdbtool report: reads results files into a ShiftReport (records, runs, totals).
#include "tools/kdbtool/KdbReport.h"

#include <algorithm>
#include <exception>
#include <nlohmann/json.hpp>
#include <set>
#include <tuple>
#include <utility>

#include "provision/JobRecord.h"
#include "support/NativeFile.h"
#include "support/Utf8Decode.h"

namespace kdbtool {

namespace {

using Json = nlohmann::json;

constexpr size_t kMaxFieldBytes = 1024;  // every text field of a record
constexpr size_t kKeptUnreadable = 20;

bool IsDigits(std::string_view s, size_t from, size_t count) {
    for (size_t i = from; i < from + count; ++i) {
        if (i >= s.size() || s[i] < '0' || s[i] > '9') {
            return false;
        }
    }
    return true;
}

int Number(std::string_view s, size_t from, size_t count) {
    int value = 0;
    for (size_t i = from; i < from + count; ++i) {
        value = value * 10 + (s[i] - '0');
    }
    return value;
}

bool IsRealDate(int year, int month, int day) {
    static const int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (year < 1970 || month < 1 || month > 12 || day < 1) {
        return false;
    }
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return day <= (month == 2 && leap ? 29 : kDays[month - 1]);
}

// "YYYY-MM-DDThh:mm:ssZ" exactly, with a real date and time of day.
bool IsUtcStamp(std::string_view s) {
    if (s.size() != 20 || !IsDigits(s, 0, 4) || s[4] != '-' || !IsDigits(s, 5, 2) || s[7] != '-' ||
        !IsDigits(s, 8, 2) || s[10] != 'T' || !IsDigits(s, 11, 2) || s[13] != ':' ||
        !IsDigits(s, 14, 2) || s[16] != ':' || !IsDigits(s, 17, 2) || s[19] != 'Z') {
        return false;
    }
    return IsRealDate(Number(s, 0, 4), Number(s, 5, 2), Number(s, 8, 2)) && Number(s, 11, 2) < 24 &&
           Number(s, 14, 2) < 60 && Number(s, 17, 2) < 60;
}

// Cuts valid UTF-8 at a character boundary at most `max` bytes long.
std::string Bounded(const std::string& text, size_t max) {
    if (text.size() <= max) {
        return text;
    }
    size_t end = max;
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) {
        --end;
    }
    return text.substr(0, end);
}

// A text field: the string when the record has one, else empty.
std::string Text(const Json& record, const char* name) {
    const auto it = record.find(name);
    if (it == record.end() || !it->is_string()) {
        return std::string();
    }
    return Bounded(it->get_ref<const std::string&>(), kMaxFieldBytes);
}

// A whole number field in [min, max]; `fallback` when absent. False when it is present but not
// such a number.
bool Integer(const Json& record, const char* name, int64_t min, int64_t max, int64_t fallback,
             int64_t* out) {
    const auto it = record.find(name);
    if (it == record.end() || it->is_null()) {
        *out = fallback;
        return true;
    }
    int64_t value = 0;
    if (it->is_number_unsigned()) {
        const uint64_t u = it->get<uint64_t>();
        if (u > static_cast<uint64_t>(max)) {
            return false;
        }
        value = static_cast<int64_t>(u);
    } else if (it->is_number_integer()) {
        value = it->get<int64_t>();
    } else {
        return false;
    }
    if (value < min || value > max) {
        return false;
    }
    *out = value;
    return true;
}

bool Flag(const Json& record, const char* name, bool fallback) {
    const auto it = record.find(name);
    return it != record.end() && it->is_boolean() ? it->get<bool>() : fallback;
}

template <typename T>
void AddOnce(std::vector<T>* list, const T& value) {
    if (std::find(list->begin(), list->end(), value) == list->end()) {
        list->push_back(value);
    }
}

}  // namespace

bool ReportJob::IsPool() const {
    return keySha256.empty() && keySource.rfind("pool ", 0) == 0;
}

const char* RunEndingText(RunEnding ending) {
    switch (ending) {
        case RunEnding::kClosed:
            return "closed";
        case RunEnding::kCrashed:
            return "CRASHED or killed while running (no stop, no close; it was started again)";
        case RunEnding::kOpenAtEnd:
            return "no close up to its last record: crashed, killed or still open";
        case RunEnding::kRunningAtEnd:
            return "running at its last record (no stop, no close): crashed, killed or still "
                   "running";
    }
    return "";
}

bool RunEndedBadly(RunEnding ending) {
    return ending != RunEnding::kClosed;
}

std::string ReasonTotals::Label() const {
    std::string label = text.empty() ? step : text;
    if (!cause.empty()) {
        label += " (" + cause + ")";
    }
    return label;
}

std::string ElideUtf8(const std::string& text, size_t maxChars) {
    if (maxChars == 0) {
        return std::string();
    }
    size_t chars = 0;
    size_t cut = std::string::npos;  // where the text is cut when it has too many characters
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    for (size_t i = 0; i < text.size();) {
        if (chars == maxChars - 1) {
            cut = i;
        }
        if (chars == maxChars) {
            return text.substr(0, cut) + "\xE2\x80\xA6";
        }
        i += ks::textcodec::DecodeUtf8(p + i, text.size() - i).length;
        ++chars;
    }
    return text;
}

bool ParseReportTime(const std::string& text, std::string* utc) {
    std::string t = text;
    if (!t.empty() && (t.back() == 'Z' || t.back() == 'z')) {
        t.pop_back();
    }
    if (t.size() == 10) {
        t += "T00:00:00";
    } else if (t.size() == 13) {
        t += ":00:00";
    } else if (t.size() == 16) {
        t += ":00";
    }
    if (t.size() != 19) {
        return false;
    }
    if (t[10] == ' ' || t[10] == 't') {
        t[10] = 'T';
    }
    t += 'Z';
    if (!IsUtcStamp(t)) {
        return false;
    }
    *utc = t;
    return true;
}

// ---------------------------------------------------------------------------------------------
// Reading

bool ShiftReader::AddFile(const std::string& path, std::string* error) {
    ks::NativeFile file;
    if (!file.Open(path, ks::kFileRead)) {
        *error = "cannot open " + path + " (error " + std::to_string(file.LastError()) + ")";
        return false;
    }
    if (!file.IsRegularFile()) {
        *error = path + " is not a file";
        return false;
    }
    const int64_t size = file.Size();
    if (size < 0 || static_cast<uint64_t>(size) > kMaxResultsFileBytes) {
        *error = path + " is larger than a results file can be";
        return false;
    }
    std::string text;
    text.resize(static_cast<size_t>(size));
    size_t got = 0;
    while (got < text.size()) {
        const int64_t n = file.Read(text.data() + got, text.size() - got);
        if (n < 0) {
            *error = "cannot read " + path + " (error " + std::to_string(file.LastError()) + ")";
            return false;
        }
        if (n == 0) {
            break;  // it became shorter while it was read
        }
        got += static_cast<size_t>(n);
    }
    text.resize(got);
    AddText(text, path);
    return true;
}

void ShiftReader::AddText(std::string_view text, const std::string& name) {
    files_.push_back(name);
    size_t number = 0;
    size_t begin = 0;
    while (begin < text.size()) {
        ++number;
        const size_t end = text.find('\n', begin);
        if (end == std::string_view::npos) {
            // The station writes whole lines; a last line without its end was being written
            // when the station was killed (or is being written now).
            cutShort_.push_back(name + ":" + std::to_string(number));
            return;
        }
        std::string_view line = text.substr(begin, end - begin);
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        if (line.size() > kMaxLineBytes) {
            Unreadable(name, number, "longer than a record can be");
        } else if (!line.empty()) {
            AddLine(line, name, number);
        }
        begin = end + 1;
    }
}

void ShiftReader::Unreadable(const std::string& name, size_t number, const std::string& why) {
    ++unreadableLines_;
    if (unreadable_.size() < kKeptUnreadable) {
        unreadable_.push_back(name + ":" + std::to_string(number) + ": " + why);
    }
}

void ShiftReader::AddLine(std::string_view line, const std::string& name, size_t number) {
    Json record;
    try {
        record = Json::parse(line.begin(), line.end(), nullptr, false);
    } catch (const std::exception&) {
        record = Json(Json::value_t::discarded);
    }
    if (record.is_discarded() || !record.is_object()) {
        Unreadable(name, number, "not a JSON object");
        return;
    }
    const std::string event = Text(record, "event");
    const std::string time = Text(record, "time");
    if (event.empty() || !IsUtcStamp(time)) {
        Unreadable(name, number, "no event or no UTC time");
        return;
    }
    if (event == "result") {
        ReportJob job;
        job.time = time;
        job.host = Text(record, "host");
        job.practice = Flag(record, "practice", false);
        job.port = Text(record, "port");
        job.serial = Text(record, "serial");
        job.keySource = Text(record, "key_source");
        job.keyPath = Text(record, "key_path");
        job.keySha256 = Text(record, "key_sha256");
        job.destination = Text(record, "destination");
        job.outcome = Text(record, "result");
        job.step = Text(record, "step");
        job.text = Text(record, "text");
        job.cause = Text(record, "cause");
        if (!Integer(record, "slot", 0, 999, 0, &job.slot) ||
            !Integer(record, "key", -1, INT32_MAX, -1, &job.key) ||
            !Integer(record, "code", INT32_MIN, INT32_MAX, 0, &job.code) ||
            !Integer(record, "cause_code", INT32_MIN, INT32_MAX, 0, &job.causeCode) ||
            !Integer(record, "duration_ms", 0, INT64_MAX, 0, &job.durationMs)) {
            Unreadable(name, number, "a number field is out of range");
            return;
        }
        if (job.outcome != "ok" && job.outcome != "fail" && job.outcome != "already" &&
            job.outcome != "stopped") {
            Unreadable(name, number, "unknown result \"" + Bounded(job.outcome, 40) + "\"");
            return;
        }
        // Stations that record it say whether a key went out; for the others a key index on
        // the record means the key was reserved for the board before it was sent, so the board
        // may hold it whatever happened next.
        job.keySent = Flag(record, "key_sent",
                           job.key >= 0 && (job.outcome == "ok" || job.outcome == "fail"));
        jobs_.push_back(std::move(job));
        jobOrder_.push_back(order_++);
        return;
    }
    if (event == "start" || event == "stop" || event == "close" || event == "keys-loaded") {
        ReportEvent e;
        e.time = time;
        e.host = Text(record, "host");
        e.event = event;
        e.practice = Flag(record, "practice", false);
        e.keySource = Text(record, "key_path");
        if (e.keySource.empty()) {
            e.keySource = Text(record, "key_source");
        }
        e.keySha256 = Text(record, "key_sha256");
        events_.push_back(std::move(e));
        eventOrder_.push_back(order_++);
    }
    // Other events (a newer station's) are not part of the report.
}

// ---------------------------------------------------------------------------------------------
// Runs and totals

namespace {

bool InWindow(const std::string& time, const ReportWindow& w) {
    return (w.since.empty() || time >= w.since) && (w.until.empty() || time < w.until);
}

// Walks one host's records in time order and cuts them into runs of the program.
void BuildRuns(const std::vector<ReportJob>& jobs, const std::vector<uint64_t>& jobOrder,
               const std::vector<ReportEvent>& events, const std::vector<uint64_t>& eventOrder,
               const ReportWindow& window, std::vector<StationRun>* out) {
    struct Item {
        const std::string* host;
        const std::string* time;
        uint64_t order;
        const ReportJob* job;
        const ReportEvent* event;
    };
    std::vector<Item> items;
    items.reserve(jobs.size() + events.size());
    for (size_t i = 0; i < jobs.size(); ++i) {
        items.push_back({&jobs[i].host, &jobs[i].time, jobOrder[i], &jobs[i], nullptr});
    }
    for (size_t i = 0; i < events.size(); ++i) {
        items.push_back({&events[i].host, &events[i].time, eventOrder[i], nullptr, &events[i]});
    }
    std::sort(items.begin(), items.end(), [](const Item& a, const Item& b) {
        return std::tie(*a.host, *a.time, a.order) < std::tie(*b.host, *b.time, b.order);
    });

    std::vector<StationRun> runs;
    StationRun* run = nullptr;
    bool running = false;
    const auto finish = [&](RunEnding ending) {
        if (run != nullptr) {
            run->ending = ending;
            // Runs that overlap the window are part of the report.
            if ((!window.until.empty() && run->first >= window.until) ||
                (!window.since.empty() && run->last < window.since)) {
                runs.pop_back();
            }
        }
        run = nullptr;
        running = false;
    };
    for (size_t i = 0; i < items.size(); ++i) {
        const Item& item = items[i];
        if (run != nullptr && run->host != *item.host) {
            finish(running ? RunEnding::kRunningAtEnd : RunEnding::kOpenAtEnd);
        }
        const bool restart = item.event != nullptr && running &&
                             (item.event->event == "start" || item.event->event == "keys-loaded");
        if (restart) {
            // A station that runs records neither a new start nor a key file being loaded: the
            // program was started again without its run having ended.
            finish(RunEnding::kCrashed);
        }
        if (run == nullptr) {
            runs.emplace_back();
            run = &runs.back();
            run->host = *item.host;
            run->first = *item.time;
        }
        run->last = *item.time;
        if (item.job != nullptr) {
            const ReportJob& job = *item.job;
            if (!InWindow(job.time, window)) {
                continue;
            }
            ++run->jobs;
            run->ok += job.outcome == "ok" ? 1 : 0;
            run->fail += job.outcome == "fail" ? 1 : 0;
            run->practice = run->practice || job.practice;
            if (!job.KeyFile().empty()) {
                AddOnce(&run->keySources, job.KeyFile());
            }
            continue;
        }
        const ReportEvent& e = *item.event;
        run->practice = run->practice || e.practice;
        if (e.event == "start") {
            running = true;
            ++run->starts;
        } else if (e.event == "stop") {
            running = false;
            ++run->stops;
        } else if (e.event == "keys-loaded") {
            if (!e.keySource.empty()) {
                AddOnce(&run->keySources, e.keySource);
            }
        } else if (e.event == "close") {
            finish(RunEnding::kClosed);
        }
    }
    finish(running ? RunEnding::kRunningAtEnd : RunEnding::kOpenAtEnd);
    out->insert(out->end(), runs.begin(), runs.end());
}

}  // namespace

ShiftReport ShiftReader::Finish(const ReportWindow& window) {
    ShiftReport r;
    r.window = window;
    r.files = files_;
    r.unreadable = unreadable_;
    r.unreadableLines = unreadableLines_;
    r.cutShort = cutShort_;
    BuildRuns(jobs_, jobOrder_, events_, eventOrder_, window, &r.runs);

    // The jobs of the window in time order (records of one second keep their file order).
    std::vector<size_t> index;
    for (size_t i = 0; i < jobs_.size(); ++i) {
        if (InWindow(jobs_[i].time, window)) {
            index.push_back(i);
        }
    }
    std::stable_sort(index.begin(), index.end(), [&](size_t a, size_t b) {
        return std::tie(jobs_[a].time, jobOrder_[a]) < std::tie(jobs_[b].time, jobOrder_[b]);
    });
    r.jobs.reserve(index.size());
    for (size_t i : index) {
        r.jobs.push_back(std::move(jobs_[i]));
    }
    jobs_.clear();
    jobOrder_.clear();

    std::map<std::tuple<std::string, std::string, bool>, size_t> sourceAt;
    std::map<std::pair<std::string, std::string>, size_t> reasonAt;
    std::map<std::pair<std::string, int64_t>, SlotTotals> slots;
    std::map<std::string, std::vector<std::string>> serialKeys;
    for (const ReportJob& job : r.jobs) {
        r.ok += job.outcome == "ok" ? 1 : 0;
        r.fail += job.outcome == "fail" ? 1 : 0;
        r.already += job.outcome == "already" ? 1 : 0;
        r.stopped += job.outcome == "stopped" ? 1 : 0;
        r.practiceJobs += job.practice ? 1 : 0;
        const bool failed = job.outcome == "fail";
        r.failWithKey += failed && job.keySent ? 1 : 0;

        if (!job.KeyFile().empty()) {
            const auto key = std::make_tuple(job.KeyFile(), job.keySha256, job.practice);
            auto [it, added] = sourceAt.emplace(key, r.sources.size());
            if (added) {
                SourceTotals s;
                s.source = job.KeyFile();
                s.sha256 = job.keySha256;
                s.pool = job.IsPool();
                s.practice = job.practice;
                r.sources.push_back(s);
            }
            SourceTotals& s = r.sources[it->second];
            ++s.jobs;
            s.delivered += job.outcome == "ok" && job.keySent ? 1 : 0;
            s.spent += failed && job.keySent ? 1 : 0;
        }
        if (job.keySent && !job.serial.empty() && job.key >= 0) {
            serialKeys[job.serial].push_back(job.KeyFile() + ":" + std::to_string(job.key));
        }

        SlotTotals& slot = slots[{job.host, job.slot}];
        slot.host = job.host;
        slot.slot = job.slot;
        if (!job.port.empty()) {
            AddOnce(&slot.ports, job.port);
        }
        ++slot.jobs;
        if (!failed) {
            continue;
        }
        ++slot.failures;
        slot.keySent += job.keySent ? 1 : 0;
        const std::string step = job.step.empty() ? std::string("(no step)") : job.step;
        auto [it, added] = reasonAt.emplace(std::make_pair(step, job.cause), r.reasons.size());
        if (added) {
            ReasonTotals reason;
            reason.step = step;
            // The failure's words, without what became of this board's key.
            reason.text = job.text.substr(0, job.text.find(kKeyNoteSeparator));
            reason.cause = job.cause;
            if (!job.cause.empty() && job.causeCode != 0) {
                reason.cause += " (" + std::to_string(job.causeCode) + ")";
            }
            r.reasons.push_back(reason);
        }
        ReasonTotals& reason = r.reasons[it->second];
        ++reason.failures;
        reason.keySent += job.keySent ? 1 : 0;
        reason.practice += job.practice ? 1 : 0;
        ++slot.byReason[it->second];
    }

    // Most failures first; the slots' reason indices follow the new order.
    std::vector<size_t> order(r.reasons.size());
    for (size_t i = 0; i < order.size(); ++i) {
        order[i] = i;
    }
    std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
        return r.reasons[a].failures > r.reasons[b].failures;
    });
    std::vector<size_t> newIndex(order.size());
    std::vector<ReasonTotals> sorted;
    for (size_t i = 0; i < order.size(); ++i) {
        newIndex[order[i]] = i;
        sorted.push_back(r.reasons[order[i]]);
    }
    r.reasons = std::move(sorted);
    for (auto& [where, slot] : slots) {
        std::map<size_t, int64_t> byReason;
        for (const auto& [reason, count] : slot.byReason) {
            byReason[newIndex[reason]] = count;
        }
        slot.byReason = std::move(byReason);
        r.slots.push_back(std::move(slot));
    }
    for (auto& [serial, keys] : serialKeys) {
        if (keys.size() > 1) {
            r.serialsWithSeveralKeys.push_back({serial, std::move(keys)});
        }
    }
    return r;
}

}  // namespace kdbtool
