#include "app/JobResults.h"

#include <cstdio>
#include <exception>
#include <nlohmann/json.hpp>
#include <utility>

#include "support/FileSystem.h"
#include "support/LocalTime.h"

namespace {

using Json = nlohmann::ordered_json;

std::string Line(const Json& object) {
    try {
        return object.dump(-1, ' ', false, Json::error_handler_t::replace) + "\n";
    } catch (const std::exception&) {
        return std::string();
    }
}

}  // namespace

std::string FormatJobRecordLine(const JobRecord& r) {
    try {
        Json object;
        object["event"] = "result";
        object["time"] = r.time;
        object["slot"] = r.slot;
        object["port"] = r.port;
        object["serial"] = r.serial;
        object["key"] = r.keyIndex;
        object["destination"] = r.destination;
        object["result"] = JobOutcomeName(r.outcome);
        object["text"] = r.result;
        object["step"] = r.step;
        object["code"] = r.code;
        object["key_sent"] = r.keySent;
        if (!r.cause.empty()) {
            object["cause"] = r.cause;
            object["cause_code"] = r.causeCode;
        }
        object["duration_ms"] = r.durationMs;
        object["key_source"] = r.keySource;
        object["key_sha256"] = r.keySha256;
        object["host"] = r.host;
        if (r.practice) {
            object["practice"] = true;
        }
        return Line(object);
    } catch (const std::exception&) {
        return std::string();
    }
}

std::string FormatStationEventLine(const StationEvent& e) {
    try {
        Json object;
        object["event"] = e.event;
        object["time"] = e.time;
        object["host"] = e.host;
        if (!e.by.empty()) {
            object["by"] = e.by;
        }
        if (e.practice) {
            object["practice"] = true;
        }
        if (e.event == "keys-loaded") {
            object["key_source"] = e.keySource;
            object["key_sha256"] = e.keySha256;
            object["keys"] = e.keys;
            object["unused"] = e.unused;
        }
        return Line(object);
    } catch (const std::exception&) {
        return std::string();
    }
}

std::string FormatSummaryLine(const JobSummary& s) {
    try {
        Json object;
        object["event"] = "summary";
        object["success"] = s.success;
        object["fail"] = s.fail;
        object["total"] = s.total;
        object["already"] = s.already;
        object["jobs_per_hour"] = s.jobsPerHour;
        Json failures = Json::array();
        for (const auto& [text, count] : s.topFailures) {
            failures.push_back(Json{{"text", text}, {"count", count}});
        }
        object["top_failures"] = std::move(failures);
        return Line(object);
    } catch (const std::exception&) {
        return std::string();
    }
}

CJobResults::CJobResults(std::string appFolder) : folder_(std::move(appFolder)) {
    if (!folder_.empty() && folder_.back() != '/' && folder_.back() != '\\') {
        folder_ += '/';
    }
    folder_ += "results";
}

std::string CJobResults::TodayPath() const {
    const ks::LocalTime now = ks::NowLocalTime();
    char name[40];
    std::snprintf(name, sizeof(name), "/results-%04d-%02d-%02d.jsonl", now.year % 10000,
                  now.month % 100, now.day % 100);
    return folder_ + name;
}

bool CJobResults::Append(const JobRecord& record) {
    if (practice_ && !record.practice) {
        JobRecord marked = record;
        marked.practice = true;
        return AppendLine(FormatJobRecordLine(marked));
    }
    return AppendLine(FormatJobRecordLine(record));
}

bool CJobResults::Append(const StationEvent& event) {
    if (practice_ && !event.practice) {
        StationEvent marked = event;
        marked.practice = true;
        return AppendLine(FormatStationEventLine(marked));
    }
    return AppendLine(FormatStationEventLine(event));
}

bool CJobResults::AppendLine(const std::string& line) {
    std::lock_guard<std::mutex> guard(lock_);
    if (line.empty()) {
        error_ = "the record could not be formatted";
        return false;
    }
    const std::string path = TodayPath();
    if (!ks::CreateFolderChain(folder_)) {
        error_ = "cannot create " + folder_;
        return false;
    }
    if (ks::AppendToFile(path, std::string_view(), line) != ks::AppendStatus::Appended) {
        error_ = "cannot append to " + path;
        return false;
    }
    error_.clear();
    return true;
}

std::string CJobResults::LastError() const {
    std::lock_guard<std::mutex> guard(lock_);
    return error_;
}
