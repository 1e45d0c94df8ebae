// kdbtool audit: the key file and its journal side by side, read-only and without the lock.
#include <nlohmann/json.hpp>

#include <cstdio>

#include "keydb/KeyAudit.h"
#include "keydb/KeyFile.h"
#include "tools/kdbtool/KdbCommands.h"

namespace kdbtool {

namespace {

void PrintList(const char* name, const std::vector<uint32_t>& keys) {
    std::printf("%-18s %zu%s%s\n", name, keys.size(), keys.empty() ? "" : "  ",
                IndexRanges(keys).c_str());
}

void PrintText(const std::string& path, const CKeyFile& file, const KeyAuditReport& r) {
    std::printf("file:              %s\n", path.c_str());
    std::printf("journal:           %s\n",
                CompanionPath(file.GetSidePath(), KeyFileCompanion::kJournal).c_str());
    std::printf("keys:              %u, %u used in the file (%u without a reservation record)\n",
                r.keyCount, r.usedInFile, r.usedWithoutRecord);
    std::printf("records:           %llu (%llu lines not records, %llu of other key files)\n",
                static_cast<unsigned long long>(r.records),
                static_cast<unsigned long long>(r.malformed),
                static_cast<unsigned long long>(r.foreign));
    PrintList("delivered:", r.delivered);
    PrintList("spent:", r.spent);
    PrintList("in doubt:", r.inDoubt);
    PrintList("returned:", r.returned);
    for (const auto& [serial, keys] : r.serialsWithSeveralKeys) {
        std::printf("serial %s received %zu keys: %s\n", serial.c_str(), keys.size(),
                    IndexRanges(keys).c_str());
    }
    if (!r.journalError.empty()) {
        std::printf("FAILED: %s\n", r.journalError.c_str());
    }
    for (const uint32_t k : r.deliveredTwice) {
        std::printf("FAILED: key %u delivered more than once\n", k);
    }
    for (const uint32_t k : r.reservedTwice) {
        std::printf("FAILED: key %u reserved more than once\n", k);
    }
    for (const uint32_t k : r.notMarkedUsed) {
        std::printf("FAILED: key %u left the station but is not marked used in the file\n", k);
    }
    std::printf("result:            %s\n", r.Passed() ? "passed" : "FAILED");
}

void PrintJson(const std::string& path, const CKeyFile& file, const KeyAuditReport& r) {
    nlohmann::ordered_json out;
    out["file"] = path;
    out["valid"] = file.IsValid();
    out["error"] =
        file.IsValid() ? nlohmann::ordered_json() : nlohmann::ordered_json(file.GetError());
    out["journal"] = CompanionPath(file.GetSidePath(), KeyFileCompanion::kJournal);
    out["keyCount"] = r.keyCount;
    out["usedInFile"] = r.usedInFile;
    out["usedWithoutRecord"] = r.usedWithoutRecord;
    out["records"] = r.records;
    out["malformedLines"] = r.malformed;
    out["foreignRecords"] = r.foreign;
    out["delivered"] = r.delivered;
    out["spent"] = r.spent;
    out["inDoubt"] = r.inDoubt;
    out["returned"] = r.returned;
    out["serialsWithSeveralKeys"] = r.serialsWithSeveralKeys;
    out["deliveredTwice"] = r.deliveredTwice;
    out["reservedTwice"] = r.reservedTwice;
    out["notMarkedUsed"] = r.notMarkedUsed;
    out["journalError"] =
        r.journalError.empty() ? nlohmann::ordered_json() : nlohmann::ordered_json(r.journalError);
    out["passed"] = file.IsValid() && r.Passed();
    const std::string text =
        out.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
    std::fputs(text.c_str(), stdout);
}

}  // namespace

int RunAudit(const std::vector<std::string>& args) {
    bool json = false;
    std::string path;
    for (const std::string& arg : args) {
        if (arg == "--json") {
            json = true;
        } else if (arg.size() > 1 && arg[0] == '-') {
            std::fprintf(stderr, "kdbtool audit: unknown option \"%s\"\n", arg.c_str());
            return kExitUsage;
        } else if (path.empty()) {
            path = arg;
        } else {
            std::fprintf(stderr, "kdbtool audit: more than one file given\n");
            return kExitUsage;
        }
    }
    if (path.empty()) {
        std::fprintf(stderr, "kdbtool audit: no file given\n");
        return kExitUsage;
    }
    CKeyFile file(path, nullptr, KeyFileAccess::VerifyOnly);
    const KeyAuditReport report = AuditKeyFile(file);
    if (json) {
        PrintJson(path, file, report);
    } else if (!file.IsValid()) {
        std::printf("file:              %s\nFAILED: %s\nresult:            FAILED\n", path.c_str(),
                    file.GetError().c_str());
    } else {
        PrintText(path, file, report);
    }
    return file.IsValid() && report.Passed() ? kExitOk : kExitFail;
}

}  // namespace kdbtool
