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
        result.error = file.LastError();
        return result;
    }
    if (!file.IsRegularFile()) {
        file.Close();
        return result;
    }
    const bool wrote = file.WriteAll(data, length);
    result.error = wrote ? 0 : file.LastError();
    // A write that stopped short leaves what reached the file (it was emptied at the open).
    const int64_t size = wrote ? static_cast<int64_t>(length) : file.Size();
    const bool closed = file.Close();
    if (!closed && result.error == 0) {
        result.error = file.LastError();
    }
    result.written = static_cast<long>(std::max<int64_t>(size, 0));
    result.ok = wrote && closed;
    return result;
}

RkpFolderTrouble RkpFolderTroubleOf(int error) {
#ifdef _WIN32
    constexpr int kFull[] = {39, 112};    // handle disk full, disk full
    constexpr int kReadOnly[] = {5, 19};  // access denied, write-protected medium
#else
    constexpr int kFull[] = {28, 122};        // ENOSPC, EDQUOT
    constexpr int kReadOnly[] = {13, 1, 30};  // EACCES, EPERM, EROFS
#endif
    for (const int e : kFull) {
        if (e == error) {
            return RkpFolderTrouble::kFull;
        }
    }
    for (const int e : kReadOnly) {
        if (e == error) {
            return RkpFolderTrouble::kReadOnly;
        }
    }
    return RkpFolderTrouble::kNone;
}

const char* RkpFolderTroubleKey(RkpFolderTrouble trouble) {
    switch (trouble) {
        case RkpFolderTrouble::kFull:
            return "IDS_RKP_FOLDER_FULL";
        case RkpFolderTrouble::kReadOnly:
            return "IDS_RKP_FOLDER_READONLY";
        case RkpFolderTrouble::kNone:
            break;
    }
    return nullptr;
}

int ProbeRkpFolder(const std::string& folder) {
    // As large as the largest RKP item, so that a folder that passes can hold the next file.
    static const std::string kBytes(5120, '\0');
    const std::string path = folder + ".rkp-folder-probe";
    ks::NativeFile file;
    if (!file.Open(path,
                   ks::kFileWrite | ks::kFileCreate | ks::kFileTruncate | ks::kFileNoFollow)) {
        return file.LastError() != 0 ? file.LastError() : -1;
    }
    const bool wrote = file.WriteAll(kBytes);
    int error = wrote ? 0 : file.LastError();
    if (!file.Close() && error == 0) {
        error = file.LastError();
    }
    ks::RemoveFile(path);
    return wrote && error == 0 ? 0 : (error != 0 ? error : -1);
}
