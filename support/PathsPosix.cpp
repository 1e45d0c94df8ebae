// The executable's folder, the host name and the home folder on POSIX systems.
#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

#include "support/Paths.h"

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

std::string HostName() {
    char name[256] = {};
    if (::gethostname(name, sizeof(name) - 1) != 0) {
        return std::string();
    }
    return std::string(name);
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
