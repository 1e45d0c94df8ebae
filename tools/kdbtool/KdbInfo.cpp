// kdbtool info: loads a key file the way a station does, read-only and without the lock.
#include <cstdio>

#include "keydb/KeyFile.h"
#include "keydb/KeyFileFormat.h"
#include "tools/kdbtool/KdbCommands.h"
#include "tools/kdbtool/KdbText.h"

namespace kdbtool {

namespace {

void PrintJson(const std::string& path, CKeyFile& file) {
    const bool valid = file.IsValid();
    const auto number = [&](int32_t v) { return valid ? std::to_string(v) : std::string("null"); };
    std::string out = "{";
    out += "\"file\":" + JsonString(path);
    out += ",\"valid\":" + std::string(valid ? "true" : "false");
    out += ",\"error\":" + (valid ? std::string("null") : JsonString(file.GetError()));
    out += ",\"keyCount\":" + number(file.GetKeyCount());
    out += ",\"unusedCount\":" + number(file.GetUnusedCount());
    out += ",\"keySize\":" + number(file.GetKeySize());
    out += ",\"headerSize\":" + number(file.GetHeaderSize());
    out += ",\"sharedKey\":" +
           (valid ? std::string(file.IsSharedKey() ? "true" : "false") : std::string("null"));
    out += ",\"created\":" + (valid ? JsonString(file.GetCreateTime()) : std::string("null"));
    out += ",\"recordInfo\":" + (valid ? JsonString(Hex(file.GetRecordInfo(), kdb::kRecordInfoSize))
                                       : std::string("null"));
    out += "}\n";
    std::fputs(out.c_str(), stdout);
}

void PrintText(const std::string& path, CKeyFile& file) {
    std::printf("file:         %s\n", path.c_str());
    if (!file.IsValid()) {
        std::printf("valid:        no\nerror:        %s\n", file.GetError().c_str());
        return;
    }
    std::printf("valid:        yes\n");
    std::printf("key count:    %d\n", file.GetKeyCount());
    std::printf("unused count: %d\n", file.GetUnusedCount());
    std::printf("key size:     %d\n", file.GetKeySize());
    std::printf("header size:  %d\n", file.GetHeaderSize());
    std::printf("shared key:   %s\n", file.IsSharedKey() ? "yes" : "no");
    std::printf("created:      %s\n", file.GetCreateTime().c_str());
    std::printf("record info:  %s\n", Hex(file.GetRecordInfo(), kdb::kRecordInfoSize).c_str());
    std::printf(
        "copies:       a copy of this file on a second station hands out the same keys again;\n"
        "              stations that share keys draw from one key pool (kdbtool pool)\n");
}

}  // namespace

int RunInfo(const std::vector<std::string>& args) {
    bool json = false;
    std::string path;
    for (const std::string& arg : args) {
        if (arg == "--json") {
            json = true;
        } else if (arg == "--help" || arg == "-h") {
            PrintUsage(stdout);
            return kExitOk;
        } else if (!TakeFileArgument("info", arg, &path)) {
            return kExitUsage;
        }
    }
    if (path.empty()) {
        std::fprintf(stderr, "kdbtool info: no file given\n");
        return kExitUsage;
    }
    CKeyFile file(path, nullptr, KeyFileAccess::VerifyOnly);
    if (json) {
        PrintJson(path, file);
    } else {
        PrintText(path, file);
    }
    return file.IsValid() ? kExitOk : kExitFail;
}

}  // namespace kdbtool
