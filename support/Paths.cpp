#include "support/Paths.h"

#include <cstdio>

#include "support/NativeFile.h"

namespace ks {

std::string StationLogFolder(const std::string& exeFolder, const LocalTime& day) {
    char name[64];
    std::snprintf(name, sizeof(name), "log/log-%d-%02d-%02d/", day.year, day.month, day.day);
    return exeFolder + name;
}

std::string StationLogFileName(const LocalTime& start) {
    char name[80];
    std::snprintf(name, sizeof(name), "%d-%02d-%02d_%02d.%02d.%02d.txt", start.year, start.month,
                  start.day, start.hour, start.minute, start.second);
    return name;
}

std::string FolderOf(const std::string& path) {
    for (std::size_t i = path.size(); i > 0; --i) {
        if (IsPathSeparator(path[i - 1])) {
            return path.substr(0, i);
        }
    }
    return std::string();
}

std::string UserDataFolder(const char* xdgDataHome, const char* home) {
    if (xdgDataHome != nullptr && xdgDataHome[0] == '/') {
        std::string folder(xdgDataHome);
        if (folder.back() != '/') {
            folder += '/';
        }
        return folder;
    }
    if (home == nullptr || home[0] != '/') {
        return std::string();
    }
    std::string folder(home);
    if (folder.back() != '/') {
        folder += '/';
    }
    return folder + ".local/share/";
}

}  // namespace ks
