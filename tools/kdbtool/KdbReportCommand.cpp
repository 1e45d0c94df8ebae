// kdbtool report: its arguments, the results files read, the report printed and written.
#include <cstdio>
#include <string>
#include <vector>

#include "support/FileSystem.h"
#include "tools/kdbtool/KdbCommands.h"
#include "tools/kdbtool/KdbReport.h"

namespace kdbtool {

namespace {

int Usage(const std::string& text) {
    std::fprintf(stderr, "kdbtool report: %s\n", text.c_str());
    return kExitUsage;
}

bool WriteOutput(const std::string& path, const std::string& bytes, const char* what) {
    if (!ks::ReplaceFileAtomically(path, bytes)) {
        std::fprintf(stderr, "kdbtool report: cannot write the %s to %s\n", what, path.c_str());
        return false;
    }
    return true;
}

}  // namespace

int RunReport(const std::vector<std::string>& args) {
    ReportWindow window;
    std::string csv;
    std::string html;
    std::string poolDb;
    bool insecure = false;
    std::vector<std::string> files;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        const bool valued = arg == "--since" || arg == "--until" || arg == "--csv" ||
                            arg == "--html" || arg == "--pool-db";
        if (valued) {
            if (i + 1 >= args.size() || args[i + 1].empty()) {
                return Usage(arg + " needs a value");
            }
            const std::string& value = args[++i];
            if (arg == "--since" || arg == "--until") {
                std::string* to = arg == "--since" ? &window.since : &window.until;
                if (!ParseReportTime(value, to)) {
                    return Usage(arg + " takes a UTC time YYYY-MM-DD[Thh:mm[:ss]], not \"" + value +
                                 "\"");
                }
            } else {
                (arg == "--csv" ? csv : arg == "--html" ? html : poolDb) = value;
            }
        } else if (arg == "--insecure-pool-connection") {
            insecure = true;
        } else if (arg == "--help" || arg == "-h") {
            PrintUsage(stdout);
            return kExitOk;
        } else if (arg.size() > 1 && arg[0] == '-') {
            return Usage("unknown option \"" + arg + "\"");
        } else {
            files.push_back(arg);
        }
    }
    if (files.empty()) {
        return Usage("no results file given (results/results-*.jsonl)");
    }
    if (!window.since.empty() && !window.until.empty() && window.until <= window.since) {
        return Usage("--until is not after --since");
    }
    ShiftReader reader;
    bool readAll = true;
    for (const std::string& file : files) {
        std::string error;
        if (!reader.AddFile(file, &error)) {
            std::fprintf(stderr, "kdbtool report: %s\n", error.c_str());
            readAll = false;
        }
    }
    ShiftReport report = reader.Finish(window);
    bool poolRead = true;
    if (!poolDb.empty()) {
        poolRead = ReadPoolAuditHead(poolDb, insecure, &report.pool);
        if (!poolRead) {
            std::fprintf(stderr, "kdbtool report: key pool: %s\n", report.pool.error.c_str());
        }
    }
    const std::string text = FormatReportText(report);
    std::fwrite(text.data(), 1, text.size(), stdout);
    bool written = true;
    if (!csv.empty()) {
        written = WriteOutput(csv, FormatReportCsv(report), "CSV") && written;
    }
    if (!html.empty()) {
        written = WriteOutput(html, FormatReportHtml(report), "HTML page") && written;
    }
    for (const std::string& line : report.unreadable) {
        std::fprintf(stderr, "kdbtool report: not a record: %s\n", line.c_str());
    }
    const bool chainIntact = !report.pool.read || report.pool.brokenAt == 0;
    return readAll && written && poolRead && chainIntact && report.unreadableLines == 0 ? kExitOk
                                                                                        : kExitFail;
}

}  // namespace kdbtool
