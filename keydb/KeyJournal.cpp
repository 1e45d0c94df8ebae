#include "keydb/KeyJournal.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <exception>
#include <vector>

#include "keydb/KeyFileIo.h"

namespace {

using Json = nlohmann::ordered_json;

constexpr size_t kReadPiece = 1 << 20;

struct EventName {
    JournalEvent event;
    const char* name;
};

constexpr EventName kEvents[] = {
    {JournalEvent::kLoaded, "loaded"},       {JournalEvent::kReserved, "reserved"},
    {JournalEvent::kDelivered, "delivered"}, {JournalEvent::kSpent, "spent"},
    {JournalEvent::kReturned, "returned"},
};

bool GetText(const Json& object, const char* name, std::string* out) {
    const auto it = object.find(name);
    if (it == object.end()) {
        return true;  // optional
    }
    if (!it->is_string()) {
        return false;
    }
    *out = it->get<std::string>();
    return true;
}

bool GetInt(const Json& object, const char* name, int64_t* out) {
    const auto it = object.find(name);
    if (it == object.end()) {
        return true;
    }
    if (!it->is_number_integer()) {
        return false;
    }
    *out = it->get<int64_t>();
    return true;
}

bool ParseObject(const Json& object, JournalRecord* out) {
    if (!object.is_object()) {
        return false;
    }
    std::string event;
    if (!GetText(object, "event", &event)) {
        return false;
    }
    bool known = false;
    for (const EventName& e : kEvents) {
        if (event == e.name) {
            out->event = e.event;
            known = true;
        }
    }
    if (!known) {
        return false;
    }
    int64_t slot = 0;
    if (!GetText(object, "time", &out->time) || !GetText(object, "host", &out->host) ||
        !GetInt(object, "key", &out->key) || !GetInt(object, "slot", &slot) ||
        !GetText(object, "port", &out->job.portLocation) ||
        !GetText(object, "serial", &out->job.serial) ||
        !GetText(object, "destination", &out->job.destination) ||
        !GetText(object, "step", &out->step) || !GetInt(object, "code", &out->code) ||
        !GetText(object, "digest", &out->digest) || !GetInt(object, "keys", &out->keys) ||
        !GetInt(object, "in_doubt", &out->inDoubt)) {
        return false;
    }
    if (slot < 0 || slot > 1000) {
        return false;
    }
    out->job.slot = static_cast<int>(slot);
    if (out->event == JournalEvent::kLoaded) {
        return !out->digest.empty();
    }
    return out->key >= 0 && out->key <= UINT32_MAX;
}

// Feeds whole lines of this key file's records into the summary.
class Summariser {
  public:
    Summariser(std::string digest, uint32_t keyCount, KeyJournalSummary* out)
        : digest_(std::move(digest)), keyCount_(keyCount), out_(out) {}

    void Line(std::string_view line) {
        if (line.empty()) {
            return;
        }
        JournalRecord record;
        if (!ParseJournalRecord(line, &record)) {
            ++out_->malformed;
            return;
        }
        if (record.event == JournalEvent::kLoaded) {
            ours_ = record.digest == digest_;
            if (ours_) {
                ++out_->loads;
                if (out_->hosts.size() < kMaxJournalHosts) {
                    out_->hosts.insert(record.host);
                }
            } else {
                ++out_->foreign;
            }
            return;
        }
        if (!ours_) {
            ++out_->foreign;
            return;
        }
        if (record.key >= keyCount_) {
            ++out_->malformed;
            return;
        }
        ++out_->records;
        const auto index = static_cast<uint32_t>(record.key);
        KeyHistory& history = out_->keys[index];
        switch (record.event) {
            case JournalEvent::kReserved:
                ++history.reserved;
                history.open = true;
                if (!record.job.serial.empty()) {
                    out_->keysBySerial[record.job.serial].insert(index);
                }
                break;
            case JournalEvent::kDelivered:
                ++history.delivered;
                history.open = false;
                break;
            case JournalEvent::kSpent:
                ++history.spent;
                history.open = false;
                break;
            case JournalEvent::kReturned:
                ++history.returned;
                break;
            case JournalEvent::kLoaded:
                break;
        }
    }

  private:
    std::string digest_;
    uint32_t keyCount_;
    KeyJournalSummary* out_;
    bool ours_ = false;
};

}  // namespace

std::string CompanionPath(const std::string& keyFilePath, KeyFileCompanion which) {
    return keyFilePath +
           (which == KeyFileCompanion::kHeaderCopy ? ".header-copy" : ".journal.jsonl");
}

std::string StockRecordPath(const std::string& recordsFolder, const std::string& digestHex,
                            KeyFileCompanion which) {
    std::string path = recordsFolder;
    if (!path.empty() && path.back() != '/' && path.back() != '\\') {
        path += '/';
    }
    return CompanionPath(path + digestHex, which);
}

const char* JournalEventName(JournalEvent event) {
    for (const EventName& e : kEvents) {
        if (e.event == event) {
            return e.name;
        }
    }
    return "?";
}

std::string HexBytes(const uint8_t* data, size_t size) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    text.reserve(size * 2);
    for (size_t i = 0; i < size; ++i) {
        text += kDigits[data[i] >> 4];
        text += kDigits[data[i] & 15];
    }
    return text;
}

std::string JournalTimeNow() {
    using namespace std::chrono;
    const auto now = floor<seconds>(system_clock::now());
    const auto day = floor<days>(now);
    const year_month_day date{day};
    const hh_mm_ss<seconds> time{now - day};
    char text[32];
    std::snprintf(text, sizeof(text), "%04d-%02u-%02uT%02d:%02d:%02dZ",
                  static_cast<int>(date.year()), static_cast<unsigned>(date.month()),
                  static_cast<unsigned>(date.day()), static_cast<int>(time.hours().count()),
                  static_cast<int>(time.minutes().count()),
                  static_cast<int>(time.seconds().count()));
    return text;
}

std::string FormatJournalRecord(const JournalRecord& record) {
    try {
        Json object;
        object["event"] = JournalEventName(record.event);
        object["time"] = record.time;
        object["host"] = record.host;
        if (record.event == JournalEvent::kLoaded) {
            object["digest"] = record.digest;
            object["keys"] = record.keys;
            object["in_doubt"] = record.inDoubt;
        } else {
            object["key"] = record.key;
            object["slot"] = record.job.slot;
            object["port"] = record.job.portLocation;
            if (!record.job.serial.empty()) {
                object["serial"] = record.job.serial;
            }
            object["destination"] = record.job.destination;
            if (record.event == JournalEvent::kSpent) {
                object["step"] = record.step;
                object["code"] = record.code;
            }
        }
        return object.dump(-1, ' ', false, Json::error_handler_t::replace) + "\n";
    } catch (const std::exception&) {
        return std::string();
    }
}

bool ParseJournalRecord(std::string_view line, JournalRecord* out) {
    if (out == nullptr || line.size() > kMaxJournalLine) {
        return false;
    }
    try {
        const Json object = Json::parse(line.begin(), line.end(), nullptr, false);
        if (object.is_discarded()) {
            return false;
        }
        *out = JournalRecord{};
        return ParseObject(object, out);
    } catch (const std::exception&) {
        return false;
    }
}

uint32_t KeyJournalSummary::InDoubtCount() const {
    uint32_t count = 0;
    for (const auto& entry : keys) {
        if (entry.second.open) {
            ++count;
        }
    }
    return count;
}

bool SummariseJournal(IKeyFileIo& io, const std::string& digestHex, uint32_t keyCount,
                      KeyJournalSummary* out, std::string* error, int which) {
    const KeyFileCompanion journal =
        which == 0 ? KeyFileCompanion::kJournal : KeyFileCompanion::kSideJournal;
    *out = KeyJournalSummary{};
    try {
        Summariser summariser(digestHex, keyCount, out);
        std::vector<uint8_t> piece(kReadPiece);
        std::string line;
        bool overlong = false;
        uint64_t offset = 0;
        for (;;) {
            const int64_t got = io.CompanionReadAt(journal, offset, piece.data(), piece.size());
            if (got < 0) {
                if (error != nullptr) {
                    *error = "read failed,err=" + std::to_string(io.LastError());
                }
                return false;
            }
            if (got == 0) {
                break;
            }
            offset += static_cast<uint64_t>(got);
            for (int64_t i = 0; i < got; ++i) {
                const char c = static_cast<char>(piece[static_cast<size_t>(i)]);
                if (c == '\n') {
                    if (overlong) {
                        ++out->malformed;
                    } else {
                        summariser.Line(line);
                    }
                    line.clear();
                    overlong = false;
                } else if (!overlong) {
                    if (line.size() >= kMaxJournalLine) {
                        overlong = true;
                        line.clear();
                    } else {
                        line += c;
                    }
                }
            }
        }
        // A last line without its newline was cut off by a crash: not a record.
        if (!line.empty() || overlong) {
            ++out->malformed;
            out->lastLineCut = true;
        }
        return true;
    } catch (const std::exception&) {
        if (error != nullptr) {
            *error = "out of memory";
        }
        return false;
    }
}

namespace {

bool Used(const KeyHistory& h) {
    return h.reserved > 0 || h.delivered > 0 || h.spent > 0;
}

}  // namespace

uint32_t MergeJournalSummaries(const KeyJournalSummary& side, KeyJournalSummary* into,
                               uint32_t* onlySide) {
    uint32_t disagree = 0;
    uint32_t theirsOnly = 0;
    for (auto& [index, mine] : into->keys) {
        const auto other = side.keys.find(index);
        if (Used(mine) && (other == side.keys.end() || !Used(other->second))) {
            ++disagree;
        }
    }
    for (const auto& [index, theirs] : side.keys) {
        KeyHistory& mine = into->keys[index];
        if (Used(theirs) && !Used(mine)) {
            ++disagree;
            ++theirsOnly;
        }
        mine.reserved = std::max(mine.reserved, theirs.reserved);
        mine.delivered = std::max(mine.delivered, theirs.delivered);
        mine.spent = std::max(mine.spent, theirs.spent);
        mine.returned = std::max(mine.returned, theirs.returned);
        mine.open = mine.reserved > mine.delivered + mine.spent;
    }
    for (const auto& [serial, keys] : side.keysBySerial) {
        into->keysBySerial[serial].insert(keys.begin(), keys.end());
    }
    for (const std::string& host : side.hosts) {
        if (into->hosts.size() < kMaxJournalHosts) {
            into->hosts.insert(host);
        }
    }
    into->records = std::max(into->records, side.records);
    into->malformed = std::max(into->malformed, side.malformed);
    into->foreign = std::max(into->foreign, side.foreign);
    into->loads = std::max(into->loads, side.loads);
    if (onlySide != nullptr) {
        *onlySide = theirsOnly;
    }
    return disagree;
}
