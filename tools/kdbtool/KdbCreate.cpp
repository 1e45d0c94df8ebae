// kdbtool create: writes a new key file.
#include <time.h>

#include <cstdio>

#include "keydb/KeyFileFormat.h"
#include "keydb/KeyFileWriter.h"
#include "tools/kdbtool/KdbCommands.h"
#include "tools/kdbtool/KdbText.h"

namespace kdbtool {

namespace {

int Usage(const std::string& text) {
    std::fprintf(stderr, "kdbtool create: %s\n", text.c_str());
    return kExitUsage;
}

KeyFileTime Now() {
    KeyFileTime t;
    const time_t now = time(nullptr);
    struct tm local {};
    if (localtime_r(&now, &local) != nullptr) {
        t.year = local.tm_year + 1900;
        t.month = local.tm_mon + 1;
        t.day = local.tm_mday;
        t.hour = local.tm_hour;
        t.minute = local.tm_min;
        t.second = local.tm_sec > 59 ? 59 : local.tm_sec;
    }
    return t;
}

}  // namespace

int RunCreate(const std::vector<std::string>& args) {
    std::string keys, keySize, headerSize, recordInfo, created, keyData, used, out;
    bool haveKeys = false, haveKeySize = false, haveUsed = false;
    bool shared = false, force = false;
    for (size_t i = 0; i < args.size(); ++i) {
        std::string arg = args[i];
        std::string value;
        bool inlineValue = false;
        const size_t eq = arg.find('=');
        if (arg.rfind("--", 0) == 0 && eq != std::string::npos) {
            value = arg.substr(eq + 1);
            arg = arg.substr(0, eq);
            inlineValue = true;
        }
        const auto takeValue = [&](std::string* target) {
            if (inlineValue) {
                *target = value;
                return true;
            }
            if (i + 1 >= args.size()) {
                return false;
            }
            *target = args[++i];
            return true;
        };
        if (arg == "--shared" || arg == "--force") {
            if (inlineValue) {
                return Usage(arg + " takes no value");
            }
            (arg == "--shared" ? shared : force) = true;
            continue;
        }
        std::string* target = nullptr;
        if (arg == "--keys") {
            target = &keys;
            haveKeys = true;
        } else if (arg == "--key-size") {
            target = &keySize;
            haveKeySize = true;
        } else if (arg == "--header-size") {
            target = &headerSize;
        } else if (arg == "--record-info") {
            target = &recordInfo;
        } else if (arg == "--created") {
            target = &created;
        } else if (arg == "--key-data") {
            target = &keyData;
        } else if (arg == "--used") {
            target = &used;
            haveUsed = true;
        } else if (arg == "--help" || arg == "-h") {
            PrintUsage(stdout);
            return kExitOk;
        } else if (arg.size() > 1 && arg[0] == '-') {
            return Usage("unknown option \"" + arg + "\"");
        } else if (out.empty()) {
            out = arg;
            continue;
        } else {
            return Usage("more than one output file given");
        }
        if (!takeValue(target)) {
            return Usage(arg + " needs a value");
        }
    }
    if (!haveKeys || !haveKeySize) {
        return Usage("--keys and --key-size are required");
    }
    if (out.empty()) {
        return Usage("no output file given");
    }

    KeyFileLayout layout;
    uint64_t number = 0;
    if (!ParseUnsigned(keys, kdb::kMaxKeyCount, &number) || number == 0) {
        return Usage("--keys must be 1 .. " + std::to_string(kdb::kMaxKeyCount));
    }
    layout.keyCount = static_cast<uint32_t>(number);
    if (!ParseUnsigned(keySize, kdb::kMaxKeySize, &number) || number == 0) {
        return Usage("--key-size must be 1 .. " + std::to_string(kdb::kMaxKeySize));
    }
    layout.keySize = static_cast<uint32_t>(number);
    layout.sharedKey = shared;
    if (!headerSize.empty()) {
        if (!ParseUnsigned(headerSize, kdb::kMaxHeaderSize, &number)) {
            return Usage("--header-size must be at most 65535");
        }
        layout.headerSize = static_cast<uint32_t>(number);
    }
    if (!recordInfo.empty() && !ParseHex(recordInfo, layout.recordInfo, kdb::kRecordInfoSize)) {
        return Usage("--record-info must be 32 hex digits");
    }
    if (created.empty()) {
        layout.created = Now();
    } else if (!ParseTime(created, &layout.created)) {
        return Usage("--created must be a valid \"YYYY-MM-DD hh:mm:ss\"");
    }
    if (haveUsed) {
        std::string error;
        if (!ParseIndexList(used, layout.keyCount, &layout.usedIndices, &error)) {
            return Usage(error);
        }
    }
    std::string error;
    if (!CheckKeyFileLayout(layout, &error)) {
        return Usage(error);
    }

    bool ok = false;
    if (keyData.empty()) {
        CRandomKeySource source;
        ok = WriteKeyFile(out, layout, source, force, &error);
    } else {
        CFileKeySource source(keyData);
        ok = source.Open(KeyDataLength(layout), &error) &&
             WriteKeyFile(out, layout, source, force, &error);
    }
    if (!ok) {
        std::fprintf(stderr, "kdbtool create: %s\n", error.c_str());
        return kExitFail;
    }
    return kExitOk;
}

}  // namespace kdbtool
