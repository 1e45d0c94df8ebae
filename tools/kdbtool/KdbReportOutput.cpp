// The shift report as text, CSV and one HTML page with two inline SVG plots.
#include <algorithm>
#include <array>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "tools/kdbtool/KdbReport.h"

namespace kdbtool {

namespace {

const char* Mode(bool practice) {
    return practice ? "practice" : "production";
}

std::string KeyText(const ReportJob& job) {
    return job.key >= 0 ? std::to_string(job.key) : std::string();
}

// What became of the key, in the words the supervisor acts on.
std::string KeySentText(const ReportJob& job) {
    if (!job.keySent) {
        return "no";
    }
    if (job.outcome == "ok") {
        return "yes";
    }
    return "yes: the board may hold key " + std::to_string(job.key) + ", set it aside";
}

std::string ReasonText(const ReportJob& job) {
    if (job.outcome == "ok" || job.outcome == "already") {
        return std::string();
    }
    std::string text = job.text;
    if (!job.cause.empty()) {
        text += " (" + job.cause;
        if (job.causeCode != 0) {
            text += ", " + std::to_string(job.causeCode);
        }
        text += ")";
    }
    return text;
}

std::string CodeText(const ReportJob& job) {
    return job.step.empty() ? std::string() : std::to_string(job.code);
}

// Tabs and line ends inside a field would break the text report's columns.
std::string Cell(const std::string& text) {
    std::string out = text;
    std::replace_if(
        out.begin(), out.end(), [](char c) { return c == '\t' || c == '\n' || c == '\r'; }, ' ');
    return out;
}

std::string WindowText(const ShiftReport& r) {
    if (r.window.since.empty() && r.window.until.empty()) {
        return "all records";
    }
    return (r.window.since.empty() ? std::string("the first record") : r.window.since) + " to " +
           (r.window.until.empty() ? std::string("the last record") : r.window.until);
}

// The columns of one job, shared by the text and the CSV.
std::vector<std::string> JobColumns(const ReportJob& j) {
    return {j.time,      j.host,      Mode(j.practice), std::to_string(j.slot),
            j.port,      j.serial,    KeyText(j),       KeySentText(j),
            j.KeyFile(), j.keySha256, j.destination,    j.outcome,
            j.step,      CodeText(j), ReasonText(j),    std::to_string(j.durationMs)};
}

const std::vector<std::string>& JobHeader() {
    static const std::vector<std::string> header = {
        "time (UTC)",  "host",   "mode",     "slot",     "port",
        "serial",      "key",    "key sent", "key file", "key file sha256",
        "destination", "result", "step",     "code",     "reason",
        "duration ms"};
    return header;
}

bool UsedAPool(const ShiftReport& r) {
    for (const SourceTotals& s : r.sources) {
        if (s.pool) {
            return true;
        }
    }
    return false;
}

// The key pool's audit head, or how to get it.
std::string PoolText(const ShiftReport& r) {
    const PoolAuditHead& p = r.pool;
    if (!UsedAPool(r) && !p.asked) {
        return std::string();
    }
    std::string out = "\nkey pool audit\n";
    if (!p.asked) {
        return out +
               "  keep the pool's audit head with this report: kdbtool report ... --pool-db "
               "CONNINFO (an auditor's connection) prints it\n";
    }
    if (!p.read) {
        return out + "  not read: " + Cell(p.error) + "\n";
    }
    out += "  events: " + std::to_string(p.events) + ", chain " +
           (p.brokenAt == 0 ? std::string("intact")
                            : "BROKEN at event " + std::to_string(p.brokenAt)) +
           "\n";
    out += "  head " + p.head +
           "\n  keep it with this report: the next audit runs kdbtool pool --db CONNINFO audit "
           "--expect-head " +
           p.head + "\n";
    return out;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Text

std::string FormatReportText(const ShiftReport& r) {
    std::string out;
    char line[512];
    out += "shift report: " + std::to_string(r.files.size()) + " results file(s), " +
           WindowText(r) + ", times in UTC\n\n";

    out += "jobs\n";
    const auto row = [&](const std::vector<std::string>& cells) {
        for (size_t i = 0; i < cells.size(); ++i) {
            out += (i == 0 ? "" : "\t") + Cell(cells[i]);
        }
        out += '\n';
    };
    row(JobHeader());
    for (const ReportJob& job : r.jobs) {
        row(JobColumns(job));
    }

    std::snprintf(line, sizeof line,
                  "\ntotals\njobs: %lld (ok %lld, fail %lld, already %lld, stopped %lld); "
                  "practice: %lld\n",
                  static_cast<long long>(r.jobs.size()), static_cast<long long>(r.ok),
                  static_cast<long long>(r.fail), static_cast<long long>(r.already),
                  static_cast<long long>(r.stopped), static_cast<long long>(r.practiceJobs));
    out += line;
    std::snprintf(line, sizeof line,
                  "failures after a key went out: %lld (those boards may hold their key: set "
                  "them aside)\n",
                  static_cast<long long>(r.failWithKey));
    out += line;

    out +=
        "\nkeys per key source (delivered: on boards that passed; spent: sent to boards "
        "that then failed)\n";
    for (const SourceTotals& s : r.sources) {
        std::snprintf(line, sizeof line, "  %-10s delivered %6lld  spent %5lld  jobs %6lld  ",
                      Mode(s.practice), static_cast<long long>(s.delivered),
                      static_cast<long long>(s.spent), static_cast<long long>(s.jobs));
        out += line + Cell(s.source);
        out += s.pool ? std::string("  (key pool)") : "  sha256 " + s.sha256;
        out += '\n';
    }

    out += "\nfailures by reason\n";
    for (const ReasonTotals& reason : r.reasons) {
        std::snprintf(line, sizeof line, "  %6lld  after the key: %5lld  practice: %5lld  ",
                      static_cast<long long>(reason.failures),
                      static_cast<long long>(reason.keySent),
                      static_cast<long long>(reason.practice));
        out += line + Cell(reason.step) + "  " + Cell(reason.Label()) + "\n";
    }

    out += "\nfailures per slot\n";
    for (const SlotTotals& slot : r.slots) {
        std::string ports;
        for (const std::string& p : slot.ports) {
            ports += (ports.empty() ? "" : ",") + p;
        }
        std::snprintf(line, sizeof line,
                      "  %s slot %2lld  failed %5lld of %6lld  after the key: %5lld  port ",
                      Cell(slot.host).c_str(), static_cast<long long>(slot.slot),
                      static_cast<long long>(slot.failures), static_cast<long long>(slot.jobs),
                      static_cast<long long>(slot.keySent));
        out += line + Cell(ports) + "\n";
    }

    if (!r.serialsWithSeveralKeys.empty()) {
        out += "\nserial numbers that were sent more than one key\n";
        for (const SerialKeys& s : r.serialsWithSeveralKeys) {
            out += "  " + Cell(s.serial) + ":";
            for (const std::string& k : s.keys) {
                out += " " + Cell(k);
            }
            out += '\n';
        }
    }

    out += "\nstation runs\n";
    for (const StationRun& run : r.runs) {
        std::snprintf(line, sizeof line,
                      "  %s  %s .. %s  %-10s  starts %lld  stops %lld  jobs %lld (ok %lld, "
                      "fail %lld)  ",
                      Cell(run.host).c_str(), run.first.c_str(), run.last.c_str(),
                      Mode(run.practice), static_cast<long long>(run.starts),
                      static_cast<long long>(run.stops), static_cast<long long>(run.jobs),
                      static_cast<long long>(run.ok), static_cast<long long>(run.fail));
        out += line;
        out += RunEndingText(run.ending);
        out += '\n';
    }

    out += PoolText(r);

    if (!r.cutShort.empty() || r.unreadableLines > 0) {
        out += "\nrecords not read\n";
        for (const std::string& where : r.cutShort) {
            out += "  " + Cell(where) +
                   ": last line cut short (the station was killed while writing it)\n";
        }
        if (r.unreadableLines > 0) {
            out += "  " + std::to_string(r.unreadableLines) + " line(s) that are not records";
            out += r.unreadable.empty() ? "\n" : ", the first: " + Cell(r.unreadable[0]) + "\n";
        }
    }
    return out;
}

// ---------------------------------------------------------------------------------------------
// CSV

namespace {

// One CSV field (RFC 4180). A text that a spreadsheet would take for a formula (a serial number
// is whatever the board held) gets a leading apostrophe, so that it stays text.
std::string CsvField(const std::string& text, bool number) {
    std::string value = text;
    if (!number && !value.empty() &&
        (value[0] == '=' || value[0] == '+' || value[0] == '-' || value[0] == '@' ||
         value[0] == '\t' || value[0] == '\r')) {
        value.insert(value.begin(), '\'');
    }
    if (value.find_first_of(",\"\r\n") == std::string::npos) {
        return value;
    }
    std::string quoted = "\"";
    for (char c : value) {
        quoted += c;
        if (c == '"') {
            quoted += '"';
        }
    }
    return quoted + "\"";
}

}  // namespace

std::string FormatReportCsv(const ShiftReport& r) {
    // The byte-order mark makes spreadsheets read the file as UTF-8 (Chinese texts and paths).
    std::string out = "\xEF\xBB\xBF";
    const auto row = [&](const std::vector<std::string>& cells, bool header) {
        for (size_t i = 0; i < cells.size(); ++i) {
            // Columns of numbers: slot, key, code, duration.
            const bool number = !header && (i == 3 || i == 6 || i == 13 || i == 15);
            out += (i == 0 ? "" : ",") + CsvField(cells[i], number);
        }
        out += "\r\n";
    };
    row(JobHeader(), true);
    for (const ReportJob& job : r.jobs) {
        row(JobColumns(job), false);
    }
    return out;
}

// ---------------------------------------------------------------------------------------------
// HTML

namespace {

std::string Html(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            case '\'':
                out += "&#39;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

std::string Num(int64_t v) {
    return std::to_string(v);
}

std::string Fixed(double v) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", v);
    return text;
}

// A round upper end for a count axis.
int64_t AxisTop(int64_t max) {
    int64_t top = 1;
    while (top < max) {
        if (top * 2 >= max) {
            return top * 2;
        }
        if (top * 5 >= max) {
            return top * 5;
        }
        top *= 10;
    }
    return top;
}

const char* const kReasonColours[] = {"#d0312d", "#e8871e", "#8e44ad", "#1f77b4",
                                      "#17becf", "#8c564b", "#bcbd22"};
constexpr size_t kReasonColourCount = sizeof kReasonColours / sizeof kReasonColours[0];
const char* const kOtherColour = "#7f7f7f";

struct Bar {
    std::string label;
    std::vector<std::pair<int64_t, const char*>> parts;  // stacked from the bottom
};

constexpr int kPlotWidth = 960;
constexpr int kPlotHeight = 300;
constexpr int kLeft = 56;
constexpr int kRight = 16;
constexpr int kTop = 16;
constexpr int kBottom = 48;

// Stacked bars with a count axis; every `labelEvery`-th bar is labelled below the axis.
std::string BarPlot(const std::string& id, const std::string& title, const std::vector<Bar>& bars,
                    size_t labelEvery) {
    int64_t max = 0;
    for (const Bar& bar : bars) {
        int64_t sum = 0;
        for (const auto& part : bar.parts) {
            sum += part.first;
        }
        max = std::max(max, sum);
    }
    const int64_t top = AxisTop(std::max<int64_t>(max, 1));
    const double plotW = kPlotWidth - kLeft - kRight;
    const double plotH = kPlotHeight - kTop - kBottom;
    const double step = bars.empty() ? plotW : plotW / static_cast<double>(bars.size());
    const double width = std::max(1.0, step * 0.8);
    std::string svg = "<svg id=\"" + id +
                      "\" class=\"plot\" xmlns=\"http://www.w3.org/2000/svg\" "
                      "width=\"" +
                      Num(kPlotWidth) + "\" height=\"" + Num(kPlotHeight) + "\" viewBox=\"0 0 " +
                      Num(kPlotWidth) + " " + Num(kPlotHeight) + "\" role=\"img\" aria-label=\"" +
                      Html(title) + "\">\n";
    svg += "<title>" + Html(title) + "</title>\n";
    // Grid lines and the count axis.
    for (int i = 0; i <= 4; ++i) {
        const double y = kTop + plotH - plotH * i / 4.0;
        svg += "<line x1=\"" + Num(kLeft) + "\" x2=\"" + Num(kPlotWidth - kRight) + "\" y1=\"" +
               Fixed(y) + "\" y2=\"" + Fixed(y) + "\" stroke=\"#ddd\"/>\n";
        svg += "<text x=\"" + Num(kLeft - 6) + "\" y=\"" + Fixed(y + 4) +
               "\" text-anchor=\"end\" font-size=\"11\">" + Num(top * i / 4) + "</text>\n";
    }
    for (size_t b = 0; b < bars.size(); ++b) {
        const double x = kLeft + step * static_cast<double>(b) + (step - width) / 2;
        double y = kTop + plotH;
        for (const auto& [count, colour] : bars[b].parts) {
            if (count <= 0) {
                continue;
            }
            const double h = plotH * static_cast<double>(count) / static_cast<double>(top);
            y -= h;
            svg += "<rect x=\"" + Fixed(x) + "\" y=\"" + Fixed(y) + "\" width=\"" + Fixed(width) +
                   "\" height=\"" + Fixed(h) + "\" fill=\"" + colour + "\"><title>" +
                   Html(bars[b].label) + ": " + Num(count) + "</title></rect>\n";
        }
        if (labelEvery > 0 && b % labelEvery == 0) {
            svg += "<text x=\"" + Fixed(x + width / 2) + "\" y=\"" +
                   Num(kPlotHeight - kBottom + 16) + "\" text-anchor=\"middle\" font-size=\"11\">" +
                   Html(bars[b].label) + "</text>\n";
        }
    }
    svg += "<line x1=\"" + Num(kLeft) + "\" x2=\"" + Num(kPlotWidth - kRight) + "\" y1=\"" +
           Fixed(kTop + plotH) + "\" y2=\"" + Fixed(kTop + plotH) + "\" stroke=\"#333\"/>\n";
    if (bars.empty()) {
        svg += "<text x=\"" + Num(kPlotWidth / 2) + "\" y=\"" + Num(kPlotHeight / 2) +
               "\" text-anchor=\"middle\" font-size=\"14\">no jobs</text>\n";
    }
    svg += "</svg>\n";
    return svg;
}

// Days since 1970-01-01 of a civil date, and back (proleptic Gregorian).
int64_t DaysFromCivil(int64_t y, int64_t m, int64_t d) {
    y -= m <= 2 ? 1 : 0;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const int64_t yoe = y - era * 400;
    const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

std::string CivilFromDays(int64_t z) {
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const int64_t doe = z - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    const int64_t d = doy - (153 * mp + 2) / 5 + 1;
    const int64_t m = mp + (mp < 10 ? 3 : -9);
    char text[16];
    std::snprintf(text, sizeof text, "%02d-%02d", static_cast<int>(m), static_cast<int>(d));
    return text;
}

// Hours since 1970 of a checked "YYYY-MM-DDThh:mm:ssZ".
int64_t HourOf(const std::string& t) {
    return DaysFromCivil(std::stoll(t.substr(0, 4)), std::stoll(t.substr(5, 2)),
                         std::stoll(t.substr(8, 2))) *
               24 +
           std::stoll(t.substr(11, 2));
}

// Hours (or days, for more than four weeks) from the first job to the last, empty ones too.
std::string JobsPerHourPlot(const ShiftReport& r) {
    std::vector<Bar> bars;
    bool byDay = false;
    if (!r.jobs.empty()) {
        const int64_t first = HourOf(r.jobs.front().time);
        const int64_t last = HourOf(r.jobs.back().time);
        byDay = last - first >= 24 * 28;
        // At most about a thousand bars, whatever times a file holds.
        const int64_t unit = byDay ? 24 * ((last - first) / (24 * 1000) + 1) : 1;
        const int64_t base = first / unit;
        std::vector<std::array<int64_t, 3>> counts(static_cast<size_t>(last / unit - base + 1),
                                                   {0, 0, 0});
        for (const ReportJob& job : r.jobs) {
            auto& c = counts[static_cast<size_t>(HourOf(job.time) / unit - base)];
            ++c[job.outcome == "ok" ? 0 : job.outcome == "fail" ? 1 : 2];
        }
        for (size_t i = 0; i < counts.size(); ++i) {
            const int64_t at = (base + static_cast<int64_t>(i)) * unit;
            Bar bar;
            bar.label = CivilFromDays(at / 24);
            if (!byDay) {
                char hour[8];
                std::snprintf(hour, sizeof hour, " %02dh", static_cast<int>(at % 24));
                bar.label += hour;
            }
            bar.parts = {
                {counts[i][0], "#2e9e44"}, {counts[i][1], "#d0312d"}, {counts[i][2], "#4a90d9"}};
            bars.push_back(bar);
        }
    }
    const size_t labelEvery = std::max<size_t>(1, (bars.size() + 11) / 12);
    return BarPlot("plot-jobs", byDay ? "Jobs per day (UTC)" : "Jobs per hour (UTC)", bars,
                   labelEvery);
}

std::string FailuresPlot(const ShiftReport& r, std::string* legend) {
    bool severalHosts = false;
    for (const SlotTotals& s : r.slots) {
        severalHosts = severalHosts || s.host != r.slots.front().host;
    }
    std::vector<Bar> bars;
    for (const SlotTotals& s : r.slots) {
        Bar bar;
        bar.label = (severalHosts ? s.host + " " : std::string()) + "slot " + Num(s.slot);
        int64_t other = 0;
        for (const auto& [reason, count] : s.byReason) {
            if (reason < kReasonColourCount) {
                bar.parts.emplace_back(count, kReasonColours[reason]);
            } else {
                other += count;
            }
        }
        bar.parts.emplace_back(other, kOtherColour);
        bars.push_back(bar);
    }
    *legend = "<ul class=\"legend\" id=\"legend-failures\">\n";
    int64_t other = 0;
    for (size_t i = 0; i < r.reasons.size(); ++i) {
        if (i >= kReasonColourCount) {
            other += r.reasons[i].failures;
            continue;
        }
        *legend +=
            "<li><span class=\"swatch\" style=\"background:" + std::string(kReasonColours[i]) +
            "\"></span>" + Html(ElideUtf8(r.reasons[i].Label(), 60)) + " (" +
            Num(r.reasons[i].failures) + ")</li>\n";
    }
    if (other > 0) {
        *legend += "<li><span class=\"swatch\" style=\"background:" + std::string(kOtherColour) +
                   "\"></span>other reasons (" + Num(other) + ")</li>\n";
    }
    *legend += "</ul>\n";
    const size_t labelEvery = std::max<size_t>(1, (bars.size() + 15) / 16);
    return BarPlot("plot-failures", "Failures by slot and reason", bars, labelEvery);
}

}  // namespace

std::string FormatReportHtml(const ShiftReport& r) {
    std::string h;
    h += "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n";
    h += "<title>Shift report</title>\n<style>\n"
         "body{font-family:\"Noto Sans CJK SC\",\"WenQuanYi Micro Hei\",\"Microsoft YaHei\","
         "\"PingFang SC\",sans-serif;margin:16px;color:#222;background:#fff}\n"
         "h1{font-size:22px}h2{font-size:17px;margin-top:24px}\n"
         "table{border-collapse:collapse;font-size:13px}\n"
         "td,th{border:1px solid #ccc;padding:2px 6px;text-align:left;vertical-align:top}\n"
         "th{background:#f0f0f0}td.n{text-align:right}\n"
         "tr.fail td{background:#fdecea}tr.key td{background:#fbd5d0;font-weight:bold}\n"
         ".bad{color:#b00;font-weight:bold}\n"
         ".legend{list-style:none;padding:0;font-size:13px}"
         ".legend li{display:inline-block;margin-right:16px}\n"
         ".swatch{display:inline-block;width:12px;height:12px;margin-right:4px}\n"
         "</style>\n</head>\n<body>\n";
    h += "<h1>Shift report</h1>\n<p>" + Num(static_cast<int64_t>(r.files.size())) +
         " results file(s), " + Html(WindowText(r)) + ", times in UTC.</p>\n";
    h += "<p id=\"totals\">Jobs: " + Num(static_cast<int64_t>(r.jobs.size())) + " (ok " +
         Num(r.ok) + ", fail " + Num(r.fail) + ", already " + Num(r.already) + ", stopped " +
         Num(r.stopped) + "); practice: " + Num(r.practiceJobs) + ".";
    if (r.failWithKey > 0) {
        h += " <span class=\"bad\">" + Num(r.failWithKey) +
             " failure(s) after a key went out: those boards may hold their key, set them "
             "aside.</span>";
    }
    h += "</p>\n";

    h += "<h2>Jobs per hour</h2>\n" + JobsPerHourPlot(r);
    h += "<ul class=\"legend\"><li><span class=\"swatch\" style=\"background:#2e9e44\"></span>"
         "ok</li><li><span class=\"swatch\" style=\"background:#d0312d\"></span>fail</li>"
         "<li><span class=\"swatch\" style=\"background:#4a90d9\"></span>already, stopped</li>"
         "</ul>\n";
    std::string legend;
    h += "<h2>Failures by slot and reason</h2>\n" + FailuresPlot(r, &legend) + legend;

    h += "<h2>Failures by reason</h2>\n<table id=\"reasons\">\n<tr><th>failures</th><th>after "
         "the key</th><th>practice</th><th>step</th><th>reason</th></tr>\n";
    for (const ReasonTotals& reason : r.reasons) {
        h += "<tr><td class=\"n\">" + Num(reason.failures) + "</td><td class=\"n\">" +
             Num(reason.keySent) + "</td><td class=\"n\">" + Num(reason.practice) + "</td><td>" +
             Html(reason.step) + "</td><td class=\"reason\">" + Html(reason.Label()) +
             "</td></tr>\n";
    }
    h += "</table>\n";

    h += "<h2>Keys per key source</h2>\n<table id=\"sources\">\n<tr><th>mode</th><th>key "
         "file or pool</th><th>key area SHA-256</th><th>delivered</th><th>spent on "
         "failures</th><th>jobs</th></tr>\n";
    for (const SourceTotals& s : r.sources) {
        h += "<tr><td>" + std::string(Mode(s.practice)) + "</td><td>" + Html(s.source) +
             "</td><td><code>" + (s.pool ? std::string("(key pool)") : Html(s.sha256)) +
             "</code></td><td class=\"n\">" + Num(s.delivered) + "</td><td class=\"n\">" +
             Num(s.spent) + "</td><td class=\"n\">" + Num(s.jobs) + "</td></tr>\n";
    }
    h += "</table>\n";
    if (UsedAPool(r) || r.pool.asked) {
        const PoolAuditHead& p = r.pool;
        h += "<h2>Key pool audit</h2>\n<p id=\"pool\">";
        if (!p.asked) {
            h += "Keep the pool's audit head with this report: <code>kdbtool report ... --pool-db "
                 "CONNINFO</code> (an auditor's connection) prints it.";
        } else if (!p.read) {
            h += "<span class=\"bad\">Not read: " + Html(p.error) + "</span>";
        } else {
            h += Num(p.events) + " events, chain " +
                 (p.brokenAt == 0
                      ? std::string("intact")
                      : "<span class=\"bad\">BROKEN at event " + Num(p.brokenAt) + "</span>") +
                 ". Head <code>" + Html(p.head) +
                 "</code>: keep it with this report; the next audit runs <code>kdbtool pool --db "
                 "CONNINFO audit --expect-head " +
                 Html(p.head) + "</code>.";
        }
        h += "</p>\n";
    }

    h += "<h2>Failures per slot</h2>\n<table id=\"slots\">\n<tr><th>host</th><th>slot</th>"
         "<th>port</th><th>jobs</th><th>failed</th><th>after the key</th></tr>\n";
    for (const SlotTotals& s : r.slots) {
        std::string ports;
        for (const std::string& p : s.ports) {
            ports += (ports.empty() ? "" : ", ") + p;
        }
        h += "<tr><td>" + Html(s.host) + "</td><td class=\"n\">" + Num(s.slot) + "</td><td>" +
             Html(ports) + "</td><td class=\"n\">" + Num(s.jobs) + "</td><td class=\"n\">" +
             Num(s.failures) + "</td><td class=\"n\">" + Num(s.keySent) + "</td></tr>\n";
    }
    h += "</table>\n";

    if (!r.serialsWithSeveralKeys.empty()) {
        h += "<h2>Serial numbers sent more than one key</h2>\n<table id=\"serials\">\n"
             "<tr><th>serial</th><th>keys</th></tr>\n";
        for (const SerialKeys& s : r.serialsWithSeveralKeys) {
            std::string keys;
            for (const std::string& k : s.keys) {
                keys += (keys.empty() ? "" : ", ") + k;
            }
            h += "<tr><td>" + Html(s.serial) + "</td><td>" + Html(keys) + "</td></tr>\n";
        }
        h += "</table>\n";
    }

    h += "<h2>Station runs</h2>\n<table id=\"runs\">\n<tr><th>host</th><th>from</th><th>to"
         "</th><th>mode</th><th>starts</th><th>stops</th><th>jobs</th><th>ok</th><th>fail</th>"
         "<th>key files</th><th>how it ended</th></tr>\n";
    for (const StationRun& run : r.runs) {
        std::string sources;
        for (const std::string& s : run.keySources) {
            sources += (sources.empty() ? "" : ", ") + s;
        }
        h += "<tr><td>" + Html(run.host) + "</td><td>" + run.first + "</td><td>" + run.last +
             "</td><td>" + Mode(run.practice) + "</td><td class=\"n\">" + Num(run.starts) +
             "</td><td class=\"n\">" + Num(run.stops) + "</td><td class=\"n\">" + Num(run.jobs) +
             "</td><td class=\"n\">" + Num(run.ok) + "</td><td class=\"n\">" + Num(run.fail) +
             "</td><td>" + Html(sources) + "</td><td" +
             (RunEndedBadly(run.ending) ? " class=\"bad\"" : "") + ">" +
             Html(RunEndingText(run.ending)) + "</td></tr>\n";
    }
    h += "</table>\n";

    // The jobs that need a look first: failures (those after the key at the top), then the rest
    // in time order, up to the page's limit.
    std::vector<const ReportJob*> listed;
    for (int pass = 0; pass < 3 && listed.size() < kHtmlJobRows; ++pass) {
        for (const ReportJob& job : r.jobs) {
            const bool failed = job.outcome == "fail";
            const bool take = pass == 0   ? failed && job.keySent
                              : pass == 1 ? failed && !job.keySent
                                          : !failed;
            if (take && listed.size() < kHtmlJobRows) {
                listed.push_back(&job);
            }
        }
    }
    h += "<h2>Jobs</h2>\n";
    if (listed.size() < r.jobs.size()) {
        h += "<p>The first " + Num(static_cast<int64_t>(listed.size())) + " of " +
             Num(static_cast<int64_t>(r.jobs.size())) +
             " jobs, failures first; the CSV and the text report list them all.</p>\n";
    }
    h += "<table id=\"jobs\">\n<tr>";
    for (const std::string& name : JobHeader()) {
        h += "<th>" + Html(name) + "</th>";
    }
    h += "</tr>\n";
    for (const ReportJob* job : listed) {
        const bool failed = job->outcome == "fail";
        h += std::string("<tr") +
             (failed ? (job->keySent ? " class=\"key\"" : " class=\"fail\"") : "") + ">";
        for (const std::string& cell : JobColumns(*job)) {
            h += "<td>" + Html(cell) + "</td>";
        }
        h += "</tr>\n";
    }
    h += "</table>\n";
    if (!r.cutShort.empty() || r.unreadableLines > 0) {
        h += "<h2>Records not read</h2>\n<ul>\n";
        for (const std::string& where : r.cutShort) {
            h += "<li>" + Html(where) +
                 ": last line cut short (the station was killed while writing it)</li>\n";
        }
        for (const std::string& line : r.unreadable) {
            h += "<li>" + Html(line) + "</li>\n";
        }
        h += "</ul>\n";
    }
    h += "</body>\n</html>\n";
    return h;
}

}  // namespace kdbtool
