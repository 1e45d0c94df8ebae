#include "platform/linux/SysfsUsbTree.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <new>

#include "device/UsbIds.h"

namespace {

constexpr const char* kFullSpeedRootHubTag = "USB#ROOT_HUB#";
constexpr uint8_t kHubClass = 0x09;
constexpr uint8_t kDeviceDescriptorType = 0x01;

void SetError(int* err, int value) {
    if (err != nullptr) {
        *err = value;
    }
}

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// 1 to 3 decimal digits with a value in [minValue, maxValue]; advances pos.
bool TakeNumber(std::string_view s, size_t* pos, unsigned minValue, unsigned maxValue,
                unsigned* value = nullptr) {
    unsigned v = 0;
    size_t digits = 0;
    while (*pos < s.size() && IsDigit(s[*pos]) && digits < 4) {
        v = v * 10 + static_cast<unsigned>(s[*pos] - '0');
        ++*pos;
        ++digits;
    }
    if (digits == 0 || digits > 3 || v < minValue || v > maxValue) {
        return false;
    }
    if (value != nullptr) {
        *value = v;
    }
    return true;
}

// Parses "bus-port(.port)*" from the front of s; returns the length taken, 0 when malformed.
size_t DeviceNameLength(std::string_view s) {
    size_t pos = 0;
    if (!TakeNumber(s, &pos, 1, 999) || pos >= s.size() || s[pos] != '-') {
        return 0;
    }
    ++pos;
    int ports = 0;
    for (;;) {
        if (!TakeNumber(s, &pos, 1, 255)) {
            return 0;
        }
        ++ports;
        if (ports > SysfsUsbTree::kMaxPortDepth) {
            return 0;
        }
        if (pos < s.size() && s[pos] == '.') {
            ++pos;
            continue;
        }
        return pos;
    }
}

std::string_view TrimText(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) {
        s.remove_prefix(1);
    }
    while (!s.empty() && (s.back() == '\n' || s.back() == ' ' || s.back() == '\t')) {
        s.remove_suffix(1);
    }
    return s;
}

bool ParseUnsigned(std::string_view s, int base, uint32_t maxValue, uint32_t* value) {
    if (s.empty() || s.size() > 10) {
        return false;
    }
    uint64_t v = 0;
    for (char c : s) {
        int d = -1;
        if (IsDigit(c)) {
            d = c - '0';
        } else if (base == 16 && c >= 'a' && c <= 'f') {
            d = c - 'a' + 10;
        } else if (base == 16 && c >= 'A' && c <= 'F') {
            d = c - 'A' + 10;
        }
        if (d < 0 || d >= base) {
            return false;
        }
        v = v * static_cast<uint64_t>(base) + static_cast<uint64_t>(d);
        if (v > maxValue) {
            return false;
        }
    }
    *value = static_cast<uint32_t>(v);
    return true;
}

// The "version" attribute: "%2x.%02x" of bcdUSB, e.g. " 2.00".
bool ParseVersion(std::string_view s, uint16_t* bcd) {
    s = TrimText(s);
    const size_t dot = s.find('.');
    uint32_t major = 0;
    uint32_t minor = 0;
    if (dot == std::string_view::npos || s.size() - dot - 1 != 2 ||
        !ParseUnsigned(s.substr(0, dot), 16, 0xFF, &major) ||
        !ParseUnsigned(s.substr(dot + 1), 16, 0xFF, &minor)) {
        return false;
    }
    *bcd = static_cast<uint16_t>((major << 8) | minor);
    return true;
}

struct DirCloser {
    void operator()(DIR* dir) const { closedir(dir); }
};
using DirPtr = std::unique_ptr<DIR, DirCloser>;

// Splits "1-3:2.1" into configuration 2 and interface 1 (the name is already checked).
void InterfaceOrder(std::string_view name, unsigned* config, unsigned* iface) {
    size_t pos = name.find(':') + 1;
    TakeNumber(name, &pos, 0, 999, config);
    ++pos;
    TakeNumber(name, &pos, 0, 999, iface);
}

}  // namespace

SysfsUsbTree::SysfsUsbTree(std::string root) : root_(std::move(root)) {}

// ---- names ----

bool SysfsUsbTree::IsRootHubName(std::string_view name) {
    if (name.size() < 4 || name.substr(0, 3) != "usb") {
        return false;
    }
    size_t pos = 3;
    return TakeNumber(name, &pos, 1, 999) && pos == name.size();
}

bool SysfsUsbTree::IsDeviceName(std::string_view name) {
    const size_t length = DeviceNameLength(name);
    return length != 0 && length == name.size();
}

bool SysfsUsbTree::IsInterfaceName(std::string_view name) {
    size_t pos = DeviceNameLength(name);
    if (pos == 0 || pos >= name.size() || name[pos] != ':') {
        return false;
    }
    ++pos;
    if (!TakeNumber(name, &pos, 0, 255) || pos >= name.size() || name[pos] != '.') {
        return false;
    }
    ++pos;
    return TakeNumber(name, &pos, 0, 255) && pos == name.size();
}

std::string SysfsUsbTree::HubSysfsName(const std::string& hubName) {
    std::string_view name(hubName);
    const std::string_view tag(kFullSpeedRootHubTag);
    if (name.substr(0, tag.size()) == tag) {
        name.remove_prefix(tag.size());
        return IsRootHubName(name) ? std::string(name) : std::string();
    }
    return (IsRootHubName(name) || IsDeviceName(name)) ? std::string(name) : std::string();
}

std::string SysfsUsbTree::PortDeviceName(const std::string& hubSysfsName, int port) {
    if (port < 1 || port > 255) {
        return std::string();
    }
    std::string name;
    if (IsRootHubName(hubSysfsName)) {
        name = hubSysfsName.substr(3) + "-" + std::to_string(port);
    } else {
        name = hubSysfsName + "." + std::to_string(port);
    }
    return IsDeviceName(name) ? name : std::string();
}

// ---- files ----

bool SysfsUsbTree::ResolveEntry(const std::string& name, std::string* folder, int* err) {
    if (!IsRootHubName(name) && !IsDeviceName(name) && !IsInterfaceName(name)) {
        SetError(err, EINVAL);
        return false;
    }
    std::string prefix;
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (devicesPrefix_.empty()) {
            std::unique_ptr<char, decltype(&std::free)> real(realpath(root_.c_str(), nullptr),
                                                             &std::free);
            if (!real) {
                SetError(err, errno);
                return false;
            }
            devicesPrefix_ = std::string(real.get()) + "/devices/";
        }
        prefix = devicesPrefix_;
    }
    const std::string link = root_ + "/bus/usb/devices/" + name;
    char target[PATH_MAX];
    const ssize_t length = readlink(link.c_str(), target, sizeof target);
    if (length < 0) {
        SetError(err, errno);  // ENOENT: nothing there; EINVAL: not a link
        return false;
    }
    if (static_cast<size_t>(length) >= sizeof target) {
        SetError(err, ENAMETOOLONG);
        return false;
    }
    const std::string linkText(target, static_cast<size_t>(length));
    {
        // A link the kernel has not changed leads to the folder checked before.
        std::lock_guard<std::mutex> guard(lock_);
        auto it = resolved_.find(name);
        if (it != resolved_.end() && it->second.link == linkText) {
            *folder = it->second.folder;
            return true;
        }
    }
    std::unique_ptr<char, decltype(&std::free)> real(realpath(link.c_str(), nullptr), &std::free);
    if (!real) {
        SetError(err, errno);
        return false;
    }
    const std::string_view resolved(real.get());
    // Inside ROOT/devices, and a folder of the same name (a link to elsewhere is not followed).
    if (resolved.size() <= prefix.size() || resolved.substr(0, prefix.size()) != prefix ||
        resolved.size() < name.size() + 1 ||
        resolved.substr(resolved.size() - name.size() - 1) != "/" + name) {
        SetError(err, EACCES);
        return false;
    }
    struct stat st {};
    if (stat(real.get(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        SetError(err, ENOTDIR);
        return false;
    }
    *folder = std::string(resolved);
    std::lock_guard<std::mutex> guard(lock_);
    if (resolved_.size() >= kMaxResolvedLinks) {
        resolved_.clear();
    }
    resolved_[name] = ResolvedLink{linkText, *folder};
    return true;
}

bool SysfsUsbTree::ReadAttribute(const std::string& folder, const char* attr, size_t max,
                                 std::string* out, int* err) {
    const std::string path = folder + "/" + attr;
    const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        SetError(err, errno);
        return false;
    }
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        SetError(err, EINVAL);
        close(fd);
        return false;
    }
    out->assign(max, '\0');
    size_t got = 0;
    while (got < max) {
        const ssize_t n = read(fd, out->data() + got, max - got);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            SetError(err, errno);
            close(fd);
            return false;
        }
        if (n == 0) {
            break;
        }
        got += static_cast<size_t>(n);
    }
    close(fd);
    out->resize(got);
    return true;
}

bool SysfsUsbTree::ReadNumberAttribute(const std::string& folder, const char* attr, int base,
                                       uint32_t maxValue, bool emptyIsZero, uint32_t* value,
                                       int* err) {
    std::string text;
    if (!ReadAttribute(folder, attr, 64, &text, err)) {
        return false;
    }
    const std::string_view trimmed = TrimText(text);
    if (trimmed.empty() && emptyIsZero) {
        *value = 0;
        return true;
    }
    if (!ParseUnsigned(trimmed, base, maxValue, value)) {
        SetError(err, EINVAL);
        return false;
    }
    return true;
}

bool SysfsUsbTree::ListInterfaces(const std::string& deviceName, std::vector<std::string>* names,
                                  int* err) {
    std::string folder;
    if (!ResolveEntry(deviceName, &folder, err)) {
        return false;
    }
    DirPtr dir(opendir(folder.c_str()));
    if (!dir) {
        SetError(err, errno);
        return false;
    }
    names->clear();
    size_t seen = 0;
    while (const dirent* entry = readdir(dir.get())) {
        if (++seen > kMaxDirectoryEntries) {
            break;
        }
        const std::string_view name(entry->d_name);
        if (name.size() <= deviceName.size() || name.substr(0, deviceName.size()) != deviceName ||
            name[deviceName.size()] != ':' || !IsInterfaceName(name)) {
            continue;
        }
        struct stat st {};
        const std::string path = folder + "/" + entry->d_name;
        if (lstat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
            continue;  // a real interface is a folder below its device, never a link
        }
        names->emplace_back(name);
    }
    std::sort(names->begin(), names->end(), [](const std::string& a, const std::string& b) {
        unsigned ca = 0, ia = 0, cb = 0, ib = 0;
        InterfaceOrder(a, &ca, &ia);
        InterfaceOrder(b, &cb, &ib);
        return ca != cb ? ca < cb : ia < ib;
    });
    return true;
}

UsbTreeStatus SysfsUsbTree::ResolvePortDevice(const std::string& hubName, int port,
                                              std::string* name, std::string* folder, int* err) {
    const std::string hub = HubSysfsName(hubName);
    std::string hubFolder;
    if (hub.empty()) {
        SetError(err, EINVAL);
        return UsbTreeStatus::kOpenFailed;
    }
    if (!ResolveEntry(hub, &hubFolder, err)) {
        return UsbTreeStatus::kOpenFailed;
    }
    *name = PortDeviceName(hub, port);
    if (name->empty()) {
        return RequestFailed(err, EINVAL);
    }
    if (!ResolveEntry(*name, folder, err)) {
        return UsbTreeStatus::kRequestFailed;
    }
    // The kernel keeps a device's folder directly below its hub's.
    if (folder->size() != hubFolder.size() + 1 + name->size() ||
        folder->compare(0, hubFolder.size() + 1, hubFolder + "/") != 0) {
        return RequestFailed(err, EACCES);
    }
    return UsbTreeStatus::kOk;
}

// ---- devnodes ----

uint32_t SysfsUsbTree::DevnodeFor(const std::string& name) {
    std::lock_guard<std::mutex> guard(lock_);
    auto it = devnodes_.find(name);
    if (it != devnodes_.end()) {
        return it->second;
    }
    names_.push_back(name);
    const auto id = static_cast<uint32_t>(names_.size());
    devnodes_.emplace(name, id);
    return id;
}

bool SysfsUsbTree::NameOf(uint32_t devnode, std::string* name) {
    std::lock_guard<std::mutex> guard(lock_);
    if (devnode == 0 || devnode > names_.size()) {
        return false;
    }
    *name = names_[devnode - 1];
    return true;
}

// ---- IUsbTree ----

UsbTreeStatus SysfsUsbTree::ListHostControllers(std::vector<UsbHostControllerEntry>* out,
                                                int* sysError) {
    try {
        out->clear();
        const std::string folder = root_ + "/bus/usb/devices";
        DirPtr dir(opendir(folder.c_str()));
        if (!dir) {
            SetError(sysError, errno);
            return UsbTreeStatus::kRequestFailed;
        }
        size_t seen = 0;
        while (const dirent* entry = readdir(dir.get())) {
            if (++seen > kMaxDirectoryEntries) {
                break;
            }
            const std::string_view name(entry->d_name);
            if (!IsRootHubName(name)) {
                continue;
            }
            UsbHostControllerEntry controller;
            size_t pos = 3;
            unsigned number = 0;
            TakeNumber(name, &pos, 1, 999, &number);
            controller.number = number;
            controller.path = std::string(name);
            out->push_back(std::move(controller));
        }
        std::sort(out->begin(), out->end(),
                  [](const UsbHostControllerEntry& a, const UsbHostControllerEntry& b) {
                      return a.number < b.number;
                  });
        return UsbTreeStatus::kOk;
    } catch (const std::bad_alloc&) {
        return RequestFailed(sysError, ENOMEM);
    }
}

UsbTreeStatus SysfsUsbTree::GetRootHubName(const std::string& controllerPath, std::string* name,
                                           int* sysError) {
    try {
        std::string folder;
        if (!IsRootHubName(controllerPath)) {
            SetError(sysError, EINVAL);
            return UsbTreeStatus::kOpenFailed;
        }
        if (!ResolveEntry(controllerPath, &folder, sysError)) {
            return UsbTreeStatus::kOpenFailed;
        }
        uint16_t bcd = 0;
        std::string raw;
        if (ReadAttribute(folder, "descriptors", UsbPortConnection::kDescriptorSize, &raw,
                          sysError) &&
            raw.size() == UsbPortConnection::kDescriptorSize &&
            static_cast<uint8_t>(raw[1]) == kDeviceDescriptorType) {
            bcd = static_cast<uint16_t>(static_cast<uint8_t>(raw[2]) |
                                        (static_cast<uint8_t>(raw[3]) << 8));
        } else if (!ReadAttribute(folder, "version", 64, &raw, sysError) ||
                   !ParseVersion(raw, &bcd)) {
            return RequestFailed(sysError, EIO);
        }
        *name = bcd < 0x0200 ? std::string(kFullSpeedRootHubTag) + controllerPath : controllerPath;
        return UsbTreeStatus::kOk;
    } catch (const std::bad_alloc&) {
        return RequestFailed(sysError, ENOMEM);
    }
}

UsbTreeStatus SysfsUsbTree::GetHubPortCount(const std::string& hubName, int* portCount,
                                            int* sysError) {
    try {
        const std::string hub = HubSysfsName(hubName);
        std::string folder;
        if (hub.empty()) {
            SetError(sysError, EINVAL);
            return UsbTreeStatus::kOpenFailed;
        }
        if (!ResolveEntry(hub, &folder, sysError)) {
            return UsbTreeStatus::kOpenFailed;
        }
        uint32_t count = 0;
        if (!ReadNumberAttribute(folder, "maxchild", 10, 255, false, &count, sysError)) {
            return UsbTreeStatus::kRequestFailed;
        }
        *portCount = static_cast<int>(count);
        return UsbTreeStatus::kOk;
    } catch (const std::bad_alloc&) {
        return RequestFailed(sysError, ENOMEM);
    }
}

UsbTreeStatus SysfsUsbTree::GetPortConnection(const std::string& hubName, int port,
                                              UsbPortConnection* info, int* sysError) {
    try {
        *info = UsbPortConnection();
        std::string name;
        std::string folder;
        int err = 0;
        const UsbTreeStatus st = ResolvePortDevice(hubName, port, &name, &folder, &err);
        if (st != UsbTreeStatus::kOk) {
            if (st == UsbTreeStatus::kRequestFailed && err == ENOENT) {
                return UsbTreeStatus::kOk;  // nothing at this port
            }
            SetError(sysError, err);
            return st;
        }
        std::string raw;
        if (!ReadAttribute(folder, "descriptors", UsbPortConnection::kDescriptorSize, &raw,
                           sysError)) {
            return UsbTreeStatus::kRequestFailed;
        }
        if (raw.size() < UsbPortConnection::kDescriptorSize ||
            static_cast<uint8_t>(raw[0]) != UsbPortConnection::kDescriptorSize ||
            static_cast<uint8_t>(raw[1]) != kDeviceDescriptorType) {
            return RequestFailed(sysError, EIO);
        }
        uint32_t configuration = 0;
        uint32_t deviceClass = 0;
        if (!ReadNumberAttribute(folder, "bConfigurationValue", 10, 255, true, &configuration,
                                 sysError) ||
            !ReadNumberAttribute(folder, "bDeviceClass", 16, 255, false, &deviceClass, sysError)) {
            return UsbTreeStatus::kRequestFailed;
        }
        std::copy(raw.begin(), raw.begin() + UsbPortConnection::kDescriptorSize,
                  info->deviceDescriptor);
        info->connected = true;
        info->currentConfiguration = static_cast<uint8_t>(configuration);
        info->isHub = deviceClass == kHubClass;
        // The bus and device numbers name the enumeration: a device enumerated again (after a
        // reset, at the same port) gets the next free device number, or another bus number when
        // it comes back at another speed. Unreadable numbers leave it unknown (0).
        uint32_t busnum = 0;
        uint32_t devnum = 0;
        int ignored = 0;
        if (ReadNumberAttribute(folder, "busnum", 10, 999, false, &busnum, &ignored) &&
            ReadNumberAttribute(folder, "devnum", 10, 0xFFFF, false, &devnum, &ignored) &&
            devnum != 0) {
            info->enumeration = (static_cast<uint64_t>(busnum) << 32) | devnum;
        }
        return UsbTreeStatus::kOk;
    } catch (const std::bad_alloc&) {
        return RequestFailed(sysError, ENOMEM);
    }
}

UsbTreeStatus SysfsUsbTree::GetPortDriverKey(const std::string& hubName, int port,
                                             std::string* driverKey, int* sysError) {
    try {
        std::string folder;
        return ResolvePortDevice(hubName, port, driverKey, &folder, sysError);
    } catch (const std::bad_alloc&) {
        return RequestFailed(sysError, ENOMEM);
    }
}

UsbTreeStatus SysfsUsbTree::GetPortHubName(const std::string& hubName, int port, std::string* name,
                                           int* sysError) {
    return GetPortDriverKey(hubName, port, name, sysError);
}

uint32_t SysfsUsbTree::FindDevnodeByDriverKey(const std::string& driverKey) {
    try {
        std::string name = driverKey;
        std::transform(name.begin(), name.end(), name.begin(), [](char c) {
            return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
        });
        std::string folder;
        int err = 0;
        if (!IsDeviceName(name) || !ResolveEntry(name, &folder, &err)) {
            return 0;
        }
        return DevnodeFor(name);
    } catch (const std::bad_alloc&) {
        return 0;
    }
}

UsbTreeStatus SysfsUsbTree::GetDeviceId(uint32_t devnode, std::string* id, int* sysError) {
    try {
        std::string name;
        if (!NameOf(devnode, &name)) {
            return RequestFailed(sysError, ENODEV);
        }
        const bool isInterface = IsInterfaceName(name);
        const std::string device = isInterface ? name.substr(0, name.find(':')) : name;
        std::string folder;
        uint32_t vid = 0;
        uint32_t pid = 0;
        if (!ResolveEntry(device, &folder, sysError) ||
            !ReadNumberAttribute(folder, "idVendor", 16, 0xFFFF, false, &vid, sysError) ||
            !ReadNumberAttribute(folder, "idProduct", 16, 0xFFFF, false, &pid, sysError)) {
            return UsbTreeStatus::kRequestFailed;
        }
        if (!isInterface) {
            *id = UsbInstanceId(vid, pid, -1, name);
            return UsbTreeStatus::kOk;
        }
        uint32_t number = 0;
        if (!ResolveEntry(name, &folder, sysError) ||
            !ReadNumberAttribute(folder, "bInterfaceNumber", 16, 0xFF, false, &number, sysError)) {
            return UsbTreeStatus::kRequestFailed;
        }
        *id = UsbInstanceId(vid, pid, static_cast<int>(number), name);
        return UsbTreeStatus::kOk;
    } catch (const std::bad_alloc&) {
        return RequestFailed(sysError, ENOMEM);
    }
}

UsbTreeStatus SysfsUsbTree::GetCompatibleIds(uint32_t devnode, std::vector<std::string>* ids,
                                             int* sysError) {
    try {
        std::string name;
        std::string folder;
        if (!NameOf(devnode, &name)) {
            return RequestFailed(sysError, ENODEV);
        }
        if (!ResolveEntry(name, &folder, sysError)) {
            return UsbTreeStatus::kRequestFailed;
        }
        const bool isInterface = IsInterfaceName(name);
        uint32_t cls = 0;
        uint32_t sub = 0;
        uint32_t prot = 0;
        if (!ReadNumberAttribute(folder, isInterface ? "bInterfaceClass" : "bDeviceClass", 16, 0xFF,
                                 false, &cls, sysError) ||
            !ReadNumberAttribute(folder, isInterface ? "bInterfaceSubClass" : "bDeviceSubClass", 16,
                                 0xFF, false, &sub, sysError) ||
            !ReadNumberAttribute(folder, isInterface ? "bInterfaceProtocol" : "bDeviceProtocol", 16,
                                 0xFF, false, &prot, sysError)) {
            return UsbTreeStatus::kRequestFailed;
        }
        const char* word = isInterface ? "Class" : "DevClass";
        ids->clear();
        const std::string base = std::string("USB\\") + word + "_" + UsbHex(cls, 2);
        ids->push_back(base + "&SubClass_" + UsbHex(sub, 2) + "&Prot_" + UsbHex(prot, 2));
        ids->push_back(base + "&SubClass_" + UsbHex(sub, 2));
        ids->push_back(base);
        if (!isInterface) {
            uint32_t interfaces = 0;
            if (!ReadNumberAttribute(folder, "bNumInterfaces", 10, 255, true, &interfaces,
                                     sysError)) {
                return UsbTreeStatus::kRequestFailed;
            }
            if (interfaces > 1) {
                ids->push_back("USB\\COMPOSITE");
            }
        }
        return UsbTreeStatus::kOk;
    } catch (const std::bad_alloc&) {
        return RequestFailed(sysError, ENOMEM);
    }
}

UsbTreeStatus SysfsUsbTree::GetFirstChild(uint32_t devnode, uint32_t* child, int* sysError) {
    try {
        std::string name;
        if (!NameOf(devnode, &name)) {
            return RequestFailed(sysError, ENODEV);
        }
        std::vector<std::string> interfaces;
        if (!IsDeviceName(name)) {
            return RequestFailed(sysError, ENOENT);  // interfaces have no children here
        }
        if (!ListInterfaces(name, &interfaces, sysError)) {
            return UsbTreeStatus::kRequestFailed;
        }
        if (interfaces.empty()) {
            return RequestFailed(sysError, ENOENT);
        }
        *child = DevnodeFor(interfaces.front());
        return UsbTreeStatus::kOk;
    } catch (const std::bad_alloc&) {
        return RequestFailed(sysError, ENOMEM);
    }
}

UsbTreeStatus SysfsUsbTree::GetNextSibling(uint32_t devnode, uint32_t* sibling, int* sysError) {
    try {
        std::string name;
        if (!NameOf(devnode, &name)) {
            return RequestFailed(sysError, ENODEV);
        }
        if (!IsInterfaceName(name)) {
            return RequestFailed(sysError,
                                 ENOENT);  // only the interfaces of one device are siblings here
        }
        std::vector<std::string> interfaces;
        if (!ListInterfaces(name.substr(0, name.find(':')), &interfaces, sysError)) {
            return UsbTreeStatus::kRequestFailed;
        }
        const auto it = std::find(interfaces.begin(), interfaces.end(), name);
        if (it == interfaces.end() || it + 1 == interfaces.end()) {
            return RequestFailed(sysError, ENOENT);
        }
        *sibling = DevnodeFor(*(it + 1));
        return UsbTreeStatus::kOk;
    } catch (const std::bad_alloc&) {
        return RequestFailed(sysError, ENOMEM);
    }
}

std::string SysfsUsbTree::ConnectorLocation(uint32_t devnode) {
    try {
        std::string name;
        if (!NameOf(devnode, &name) || !IsDeviceName(name)) {
            return std::string();
        }
        const size_t dash = name.find('-');
        const std::string bus = name.substr(0, dash);
        std::vector<std::string> ports;
        for (size_t pos = dash + 1; pos <= name.size();) {
            const size_t end = std::min(name.find('.', pos), name.size());
            ports.push_back(name.substr(pos, end - pos));
            pos = end + 1;
        }
        std::string peerBus;
        std::string peerHub;  // the hub on the peer bus whose port the next tier names
        std::string location;
        std::string hub;  // the hub on this bus, "" for the root hub
        for (const std::string& port : ports) {
            const std::string portName = (hub.empty() ? "usb" + bus : hub) + "-port" + port;
            const std::string iface = hub.empty() ? bus + "-0:1.0" : hub + ":1.0";
            const std::string link = root_ + "/bus/usb/devices/" + iface + "/" + portName + "/peer";
            char target[PATH_MAX];
            const ssize_t length = readlink(link.c_str(), target, sizeof target - 1);
            if (length <= 0) {
                return std::string();
            }
            const std::string_view text(target, static_cast<size_t>(length));
            const size_t slash = text.rfind('/');
            const std::string_view peer =
                slash == std::string_view::npos ? text : text.substr(slash + 1);
            const size_t mark = peer.rfind("-port");
            if (mark == std::string_view::npos) {
                return std::string();
            }
            const std::string_view owner = peer.substr(0, mark);
            const std::string_view number = peer.substr(mark + 5);
            size_t at = 0;
            unsigned peerPort = 0;
            if (!TakeNumber(number, &at, 1, 255, &peerPort) || at != number.size()) {
                return std::string();
            }
            if (peerHub.empty()) {
                // The root tier: the peer is a port of another root hub, "usbC".
                if (!IsRootHubName(owner) || owner.substr(3) == bus) {
                    return std::string();
                }
                peerBus = std::string(owner.substr(3));
                peerHub = peerBus + "-" + std::to_string(peerPort);
                location = peerBus + "-" + std::to_string(peerPort);
            } else {
                if (owner != peerHub) {
                    return std::string();  // the tiers do not line up
                }
                peerHub += "." + std::to_string(peerPort);
                location += "-" + std::to_string(peerPort);
            }
            hub = hub.empty() ? bus + "-" + port : hub + "." + port;
        }
        // One name per connector: the one on the lower-numbered bus.
        if (peerBus.empty() || std::stoul(peerBus) >= std::stoul(bus)) {
            return std::string();
        }
        return location;
    } catch (const std::exception&) {
        return std::string();
    }
}

std::string SysfsUsbTree::DevicePath(uint32_t devnode, uint32_t /*kind*/) {
    try {
        std::string name;
        return NameOf(devnode, &name) ? name : std::string();
    } catch (const std::bad_alloc&) {
        return std::string();
    }
}
