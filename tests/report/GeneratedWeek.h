// Results files of a station with sixteen boards over several days, written with the station's
// own formatters: a short practice run before two eight-hour shifts a day, one job per slot and
// minute, failures of several reasons before and after the key (slot 7 failing most), boards put
// back that held their key, a station killed once, the other runs closed. The expected totals
// come back with the files.
#pragma once

#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "app/JobResults.h"
#include "provision/JobRecord.h"

namespace report_fixture {

struct WeekTotals {
    int64_t jobs = 0;
    int64_t ok = 0;
    int64_t fail = 0;
    int64_t already = 0;
    int64_t practice = 0;
    int64_t failWithKey = 0;
    std::map<std::string, int64_t> failuresByStep;
    std::map<int, int64_t> failuresBySlot;
    int64_t runs = 0;
    int64_t crashedRuns = 0;
};

// A failure of the week: its step, the Chinese text the row showed, its code, whether the key
// had gone out.
struct WeekFailure {
    const char* step;
    const char* text;
    int code;
    bool keySent;
};

inline const std::vector<WeekFailure>& WeekFailures() {
    static const std::vector<WeekFailure> failures = {
        {"IDS_TEST_DEVICE_ERROR", "设备未就绪", -5, false},
        {"IDS_READ_SN_ERROR", "读取序列号失败", 0, false},
        {"IDS_SAVE_RKP_ERROR", "保存RKP数据失败", 0, false},
        {"IDS_WRITE_KEY_MISC_ERROR", "写入密钥到misc失败", -3, true},
        {"IDS_READ_MISC_ERROR", "读取misc失败", -4, true},
        {"IDS_CHECK_KEY_ERROR", "回读的密钥不一致", 0, true},
    };
    return failures;
}

inline std::string Stamp(int day, int second) {
    char text[64];
    std::snprintf(text, sizeof text, "2026-11-%02dT%02d:%02d:%02dZ", (2 + day) % 100,
                  second / 3600 % 100, second / 60 % 60, second % 60);
    return text;
}

// Writes `days` files results-2026-11-DD.jsonl into `folder` (which exists); their paths.
inline std::vector<std::string> WriteWeek(const std::string& folder, int days, WeekTotals* t) {
    const std::string source = "夜班-2026-11.kdb";
    const std::string sha = "5f1d3a0c9b7e42d18a6c0e3f7b2d9a4c1e8f6b0d3a7c5e9f2b4d6a8c0e1f3b5d";
    std::vector<std::string> paths;
    uint64_t state = 12345;
    const auto next = [&](uint64_t n) {
        state = state * 6364136223846793005ULL + 1442695040888963407ULL;
        return (state >> 33) % n;
    };
    int64_t keyIndex = 0;
    for (int day = 0; day < days; ++day) {
        std::string text;
        // Practice records carry "practice": true.
        const auto practiced = [](std::string line) {
            line.insert(line.size() - 2, ",\"practice\":true");
            return line;
        };
        const auto event = [&](const char* name, int second, bool practice = false) {
            StationEvent e;
            e.event = name;
            e.time = Stamp(day, second);
            e.host = "line-3";
            if (e.event == "keys-loaded") {
                e.keySource = practice ? "练习.kdb" : source;
                e.keySha256 = practice ? std::string(64, 'e') : sha;
                e.keys = 200000;
                e.unused = 200000 - keyIndex;
            }
            const std::string line = FormatStationEventLine(e);
            text += practice ? practiced(line) : line;
        };
        // Practice from 05:30: four boards, ten jobs each, all pass.
        event("keys-loaded", 5 * 3600 + 1800, true);
        event("start", 5 * 3600 + 1805, true);
        ++t->runs;
        for (int job = 0; job < 40; ++job) {
            JobRecord r;
            r.slot = 1 + job % 4;
            r.port = "1-1-" + std::to_string(r.slot);
            r.serial = "PRACTICE" + std::to_string(job % 4);
            r.keyIndex = job;
            r.destination = "misc";
            r.outcome = JobOutcome::kSuccess;
            r.result = "成功[密钥]";
            r.time = Stamp(day, 5 * 3600 + 1810 + job * 10);
            r.keySource = "练习.kdb";
            r.keySha256 = std::string(64, 'e');
            r.host = "line-3";
            text += practiced(FormatJobRecordLine(r));
            ++t->jobs;
            ++t->ok;
            ++t->practice;
        }
        event("stop", 5 * 3600 + 2300, true);
        event("close", 5 * 3600 + 2310, true);
        // Shifts from 06:00 to 14:00 and from 14:00 to 22:00 (UTC), each one run of the program.
        for (int shift = 0; shift < 2; ++shift) {
            const int from = (6 + 8 * shift) * 3600;
            const bool killed = day == 3 && shift == 0;  // the station was killed mid-shift
            event("keys-loaded", from);
            event("start", from + 5);
            ++t->runs;
            t->crashedRuns += killed ? 1 : 0;
            const int minutes = killed ? 4 * 60 : 8 * 60 - 2;
            for (int minute = 1; minute <= minutes; ++minute) {
                for (int slot = 1; slot <= 16; ++slot) {
                    JobRecord r;
                    r.slot = slot;
                    r.port = "1-" + std::to_string(1 + (slot - 1) / 4) + "-" +
                             std::to_string(1 + (slot - 1) % 4);
                    char serial[24];
                    std::snprintf(serial, sizeof serial, "QX%02d%02d%04d%02d", day, shift, minute,
                                  slot);
                    r.serial = serial;
                    r.time = Stamp(day, from + minute * 60 + slot * 3);
                    r.durationMs = 30000 + static_cast<int64_t>(next(20000));
                    r.keySource = source;
                    r.keySha256 = sha;
                    r.host = "line-3";
                    // Slot 7's cable is bad: it fails five times as often.
                    const uint64_t roll = next(1000);
                    const bool fails = roll < (slot == 7 ? 150u : 30u);
                    const bool already = !fails && minute % 97 == 0 && slot == 2;
                    r.destination = "misc";
                    ++t->jobs;
                    if (already) {
                        r.outcome = JobOutcome::kAlready;
                        r.result = "该设备已有密钥，请取下";
                        r.destination.clear();
                        ++t->already;
                    } else if (fails) {
                        const WeekFailure& f = WeekFailures()[next(WeekFailures().size())];
                        r.outcome = JobOutcome::kFailed;
                        r.step = f.step;
                        r.result = f.text;
                        r.code = f.code;
                        if (f.keySent) {
                            r.keyIndex = keyIndex++;
                            ++t->failWithKey;
                        } else {
                            r.destination.clear();
                        }
                        ++t->fail;
                        ++t->failuresByStep[f.step];
                        ++t->failuresBySlot[slot];
                    } else {
                        r.outcome = JobOutcome::kSuccess;
                        r.keyIndex = keyIndex++;
                        r.result = "成功[密钥 RKP]";
                        ++t->ok;
                    }
                    text += FormatJobRecordLine(r);
                }
            }
            if (!killed) {
                event("stop", from + 8 * 3600 - 60);
                event("close", from + 8 * 3600 - 50);
            }
        }
        char name[64];
        std::snprintf(name, sizeof name, "/results-2026-11-%02d.jsonl", (2 + day) % 100);
        const std::string path = folder + name;
        if (FILE* f = std::fopen(path.c_str(), "wb")) {
            std::fwrite(text.data(), 1, text.size(), f);
            std::fclose(f);
        }
        paths.push_back(path);
    }
    return paths;
}

}  // namespace report_fixture
