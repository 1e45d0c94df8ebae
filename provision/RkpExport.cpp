#include "provision/RkpExport.h"

#include <algorithm>
#include <cstdio>

#include "provision/DeviceText.h"
#include "support/LocalTime.h"
#include "support/NativeFile.h"

RkpTime RkpLocalNow() {
    const ks::LocalTime now = ks::NowLocalTime();
    return RkpTime{now.year, now.month, now.day, now.hour, now.minute, now.second};
}

std::string RkpFolder(const std::string& savePath, const std::string& appDir) {
    std::string folder = savePath.empty() ? appDir : savePath;
    if (!folder.empty() && folder.back() != '\\' && folder.back() != '/') {
        folder.push_back(rkp::kSeparator);
    }
    return folder;
}

bool FormatRkpPath(const std::string& folder, const std::string& snText, int32_t jsonFormat,
                   const RkpTime& time, std::string* path) {
    char name[96];
    int n;
    switch (jsonFormat) {
        case 0:
            n = std::snprintf(name, sizeof name, "-%d%02d%02d_%02d%02d%02d.json", time.year,
                              time.month, time.day, time.hour, time.minute, time.second);
            break;
        case 1:
            n = std::snprintf(name, sizeof name, "-%d-%02d-%02d_%02d-%02d-%02d.json", time.year,
                              time.month, time.day, time.hour, time.minute, time.second);
            break;
        case 2:
            n = std::snprintf(name, sizeof name, "-%d-%02d-%02d_%02d:%02d:%02d.json", time.year,
                              time.month, time.day, time.hour, time.minute, time.second);
            break;
        default:
            n = std::snprintf(name, sizeof name, ".json");
            break;
    }
    if (n < 0 || static_cast<size_t>(n) >= sizeof name) {
        return false;
    }
    *path = folder + snText + name;
    return devtext::Utf16Length(*path) <= rkp::kMaxPathUnits;
}

RkpSaveResult SaveRkpFile(const std::string& path, const uint8_t* data, size_t length) {
    RkpSaveResult result;
    if (length == 0 || data == nullptr || path.empty()) {
        return result;
    }
    // Non-blocking keeps a FIFO without a reader from blocking the open; it does not affect
    // regular files.
    ks::NativeFile file;
    if (!file.Open(path, ks::kFileWrite | ks::kFileCreate | ks::kFileTruncate | ks::kFileNoFollow |
                             ks::kFileNonBlock)) {
        return result;
    }
    if (!file.IsRegularFile()) {
        file.Close();
        return result;
    }
    const bool wrote = file.WriteAll(data, length);
    // A write that stopped short leaves what reached the file (it was emptied at the open).
    const int64_t size = wrote ? static_cast<int64_t>(length) : file.Size();
    const bool closed = file.Close();
    result.written = static_cast<long>(std::max<int64_t>(size, 0));
    result.ok = wrote && closed;
    return result;
}
