#include "tools/usbip-sim/VhciPorts.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "support/DecimalText.h"

namespace {

// Reads a small sysfs file into text (at most 63 bytes).
bool ReadSmall(const std::string& path, std::string* text) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    char buf[64];
    const ssize_t n = ::read(fd, buf, sizeof(buf) - 1);
    ::close(fd);
    if (n < 0)
        return false;
    text->assign(buf, static_cast<size_t>(n));
    while (!text->empty() && (text->back() == '\n' || text->back() == ' '))
        text->pop_back();
    return true;
}

bool ParseUnsigned(const std::string& text, uint32_t* value) {
    uint64_t v = 0;
    if (!ks::ParseDecimal(text, 9, UINT32_MAX, &v))
        return false;
    *value = static_cast<uint32_t>(v);
    return true;
}

}  // namespace

VhciPorts::VhciPorts(std::string sysfsRoot) : sysfsRoot_(std::move(sysfsRoot)) {}

std::string VhciPorts::ControllerDir() const {
    return sysfsRoot_ + "/devices/platform/vhci_hcd.0";
}

bool VhciPorts::Probe(std::string* error) {
    std::string text;
    if (!ReadSmall(ControllerDir() + "/nports", &text) || !ParseUnsigned(text, &portsPerHub_) ||
        portsPerHub_ < 2) {
        *error = "no usable " + ControllerDir() + "/nports (is vhci-hcd loaded?)";
        return false;
    }
    // nports counts both root hubs of every controller; each hub has half of one controller's.
    // The per-hub count comes from the high-speed root hub's maxchild.
    DIR* dir = ::opendir(ControllerDir().c_str());
    if (dir == nullptr) {
        *error = "cannot list " + ControllerDir();
        return false;
    }
    hsBus_ = 0;
    uint32_t hubPorts = 0;
    while (dirent* e = ::readdir(dir)) {
        const std::string name = e->d_name;
        if (name.rfind("usb", 0) != 0)
            continue;
        std::string speed, busnum, maxchild;
        const std::string base = ControllerDir() + "/" + name;
        if (!ReadSmall(base + "/speed", &speed) || speed != "480")
            continue;
        uint32_t bus = 0, ports = 0;
        if (ReadSmall(base + "/busnum", &busnum) && ParseUnsigned(busnum, &bus) &&
            ReadSmall(base + "/maxchild", &maxchild) && ParseUnsigned(maxchild, &ports)) {
            hsBus_ = bus;
            hubPorts = ports;
        }
    }
    ::closedir(dir);
    if (hsBus_ == 0 || hubPorts == 0) {
        *error = "no high-speed root hub under " + ControllerDir();
        return false;
    }
    portsPerHub_ = hubPorts;
    return true;
}

std::string VhciPorts::SysfsName(uint32_t port) const {
    return std::to_string(hsBus_) + "-" + std::to_string(port + 1);
}

bool VhciPorts::WriteFile(const std::string& path, const std::string& text, std::string* error) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) {
        *error = "open " + path + ": " + std::strerror(errno);
        return false;
    }
    const ssize_t n = ::write(fd, text.data(), text.size());
    const int err = errno;
    ::close(fd);
    if (n != static_cast<ssize_t>(text.size())) {
        *error = "write '" + text + "' to " + path + ": " + std::strerror(err);
        return false;
    }
    return true;
}

bool VhciPorts::Attach(uint32_t port, int sockfd, uint32_t devid, std::string* error) {
    if (port >= portsPerHub_) {
        *error = "port " + std::to_string(port) + " outside 0.." + std::to_string(portsPerHub_ - 1);
        return false;
    }
    const std::string line = std::to_string(port) + " " + std::to_string(sockfd) + " " +
                             std::to_string(devid) + " " + std::to_string(kSpeedHigh);
    return WriteFile(ControllerDir() + "/attach", line, error);
}

bool VhciPorts::Detach(uint32_t port, std::string* error) {
    return WriteFile(ControllerDir() + "/detach", std::to_string(port), error);
}

bool VhciPorts::DevicePresent(const std::string& name) const {
    struct stat st;
    return ::stat((sysfsRoot_ + "/bus/usb/devices/" + name).c_str(), &st) == 0;
}

bool VhciPorts::WaitGone(const std::string& name, uint32_t timeoutMs) const {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (DevicePresent(name)) {
        if (std::chrono::steady_clock::now() >= end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

bool VhciPorts::WaitConfigured(const std::string& name, uint32_t timeoutMs) const {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    const std::string path = sysfsRoot_ + "/bus/usb/devices/" + name + "/bConfigurationValue";
    for (;;) {
        std::string text;
        uint32_t value = 0;
        if (ReadSmall(path, &text) && ParseUnsigned(text, &value) && value != 0)
            return true;
        if (std::chrono::steady_clock::now() >= end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}
