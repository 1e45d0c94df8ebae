// kdbtool audit: the key file and its journal side by side, read-only and without the lock.
// kdbtool carry: the stock's journal from a station's folder put beside the key file, so that
// the file and its records move to another station together.
#include <nlohmann/json.hpp>

#include <cstdio>
#include <vector>

#include "keydb/KeyAudit.h"
#include "keydb/KeyFile.h"
#include "support/NativeFile.h"
#include "tools/kdbtool/KdbCommands.h"
#include "tools/kdbtool/KdbText.h"

namespace kdbtool {

namespace {

void PrintList(const char* name, const std::vector<uint32_t>& keys) {
    std::printf("%-18s %zu%s%s\n", name, keys.size(), keys.empty() ? "" : "  ",
                IndexRanges(keys).c_str());
}

void PrintText(const std::string& path, const CKeyFile& file, const KeyAuditReport& r) {
    std::printf("file:              %s\n", path.c_str());
    std::printf("journal:           %s\n", file.GetJournalPath().c_str());
    if (!file.GetSideJournalPath().empty()) {
        std::printf("beside the file:   %s (%u keys the two disagree on)\n",
                    file.GetSideJournalPath().c_str(), file.GetJournalsDisagree());
    }
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
    out["journal"] = file.GetJournalPath();
    out["sideJournal"] = file.GetSideJournalPath().empty()
                             ? nlohmann::ordered_json()
                             : nlohmann::ordered_json(file.GetSideJournalPath());
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

std::string RecordsFolderOf(const std::string& home) {
    if (home.empty()) {
        return std::string();
    }
    return home + (ks::IsPathSeparator(home.back()) ? "" : "/") + "stocks";
}

}  // namespace

int RunAudit(const std::vector<std::string>& args) {
    bool json = false;
    std::string path;
    std::string home;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "--json") {
            json = true;
        } else if (arg == "--home" && i + 1 < args.size()) {
            home = args[++i];
        } else if (!TakeFileArgument("audit", arg, &path)) {
            return kExitUsage;
        }
    }
    if (path.empty()) {
        std::fprintf(stderr, "kdbtool audit: no file given\n");
        return kExitUsage;
    }
    CKeyFile file(path, nullptr, KeyFileAccess::VerifyOnly, RecordsFolderOf(home));
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

int RunCarry(const std::vector<std::string>& args) {
    std::string path;
    std::string home;
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--home" && i + 1 < args.size()) {
            home = args[++i];
        } else if (!TakeFileArgument("carry", args[i], &path)) {
            return kExitUsage;
        }
    }
    if (path.empty() || home.empty()) {
        std::fprintf(stderr, "kdbtool carry: give --home DIR and the key file\n");
        return kExitUsage;
    }
    CKeyFile file(path, nullptr, KeyFileAccess::VerifyOnly, RecordsFolderOf(home));
    if (!file.IsValid() || !file.GetJournalError().empty()) {
        std::fprintf(stderr, "kdbtool carry: %s\n",
                     !file.IsValid() ? file.GetError().c_str() : file.GetJournalError().c_str());
        return kExitFail;
    }
    if (file.GetSideJournalPath().empty()) {
        std::fprintf(stderr, "kdbtool carry: no station records in %s\n", home.c_str());
        return kExitFail;
    }
    // The journal beside the file is replaced by the stock's: only when it records nothing the
    // stock's journal lacks (a station's load takes such records in first).
    if (file.GetSideOnlyUsed() > 0) {
        std::fprintf(stderr,
                     "kdbtool carry: the journal beside the file records %u keys as used that the "
                     "station's records of this stock lack: load the file in that station first\n",
                     file.GetSideOnlyUsed());
        return kExitFail;
    }
    ks::NativeFile in;
    std::vector<uint8_t> text;
    if (in.Open(file.GetJournalPath(), ks::kFileRead)) {
        uint8_t piece[1 << 16];
        for (int64_t n; (n = in.Read(piece, sizeof piece)) > 0;) {
            text.insert(text.end(), piece, piece + n);
        }
    } else if (!ks::IsNotFoundError(in.LastError())) {
        std::fprintf(stderr, "kdbtool carry: cannot read %s: %s\n", file.GetJournalPath().c_str(),
                     ks::SystemErrorText(in.LastError()).c_str());
        return kExitFail;
    }
    const std::string side = file.GetSideJournalPath();
    ks::NativeFile out;
    const std::string temp = ks::CreateUniqueFile(side + ".", &out);
    if (temp.empty() || !out.WriteAll(text.data(), text.size()) || !out.Flush() || !out.Close() ||
        !ks::RenameReplacing(temp, side) || !ks::SyncFolderOf(side)) {
        if (!temp.empty()) {
            ks::RemoveFile(temp);
        }
        std::fprintf(stderr, "kdbtool carry: cannot write %s\n", side.c_str());
        return kExitFail;
    }
    std::printf(
        "%s: the stock's journal (%zu bytes) is beside the file; copy both to the other "
        "station\n",
        side.c_str(), text.size());
    return kExitOk;
}

}  // namespace kdbtool
