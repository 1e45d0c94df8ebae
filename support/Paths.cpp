#include "support/Paths.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

namespace ks {

std::string ExecutableFolder() {
    std::vector<char> buffer(4096);
    const ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (n <= 0 || static_cast<std::size_t>(n) >= buffer.size()) {
        return "/";
    }
    const std::string folder = FolderOf(std::string(buffer.data(), static_cast<std::size_t>(n)));
    return folder.empty() ? "/" : folder;
}

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

std::string HostName() {
    char name[256] = {};
    if (::gethostname(name, sizeof(name) - 1) != 0) {
        return std::string();
    }
    return std::string(name);
}

std::string FolderOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
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

std::string HomeFolder() {
    const char* home = std::getenv("HOME");
    if (home != nullptr && home[0] == '/') {
        return std::string(home);
    }
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* found = nullptr;
    if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) != 0 ||
        found == nullptr || found->pw_dir == nullptr || found->pw_dir[0] != '/') {
        return std::string();
    }
    return std::string(found->pw_dir);
}

}  // namespace ks
