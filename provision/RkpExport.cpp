#include "provision/RkpExport.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>

#include "provision/DeviceText.h"

RkpTime RkpLocalNow() {
    RkpTime t;
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    if (localtime_r(&now, &local) != nullptr) {
        t.year = local.tm_year + 1900;
        t.month = local.tm_mon + 1;
        t.day = local.tm_mday;
        t.hour = local.tm_hour;
        t.minute = local.tm_min;
        t.second = local.tm_sec;
    }
    return t;
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
    // O_NONBLOCK keeps a FIFO without a reader from blocking the open; it does not affect
    // regular files.
    const int fd = ::open(path.c_str(),
                          O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0644);
    if (fd < 0) {
        return result;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return result;
    }
    size_t done = 0;
    while (done < length) {
        const ssize_t w = ::write(fd, data + done, length - done);
        if (w < 0) {
            if (errno == EINTR) {
                continue;
            }
            break;
        }
        if (w == 0) {
            break;
        }
        done += static_cast<size_t>(w);
    }
    const bool closed = ::close(fd) == 0;
    result.written = static_cast<long>(done);
    result.ok = closed && done == length;
    return result;
}
