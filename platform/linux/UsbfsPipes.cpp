#include "platform/linux/UsbfsPipes.h"

#include <fcntl.h>
#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string_view>
#include <vector>

namespace {

constexpr size_t kMaxDevicePathLength = 31;
constexpr int kMaxPortDepth = 7;
constexpr unsigned kMaxBusNumber = 999;
constexpr unsigned kMaxDeviceNumber = 255;
constexpr unsigned kMaxConfigurationValue = 255;
// Bytes read from a usbfs node: the device descriptor and the configuration blocks. Larger
// blocks are cut; the descriptor walk is bounded by what was read.
constexpr size_t kMaxDescriptorBytes = 64 * 1024;
// Bytes read from one sysfs attribute file.
constexpr size_t kMaxSysfsAttributeBytes = 32;

class SystemCalls final : public IUsbfsCalls {
  public:
    int Open(const std::string& path, int flags) override {
        int fd;
        do {
            fd = ::open(path.c_str(), flags);
        } while (fd < 0 && errno == EINTR);
        return fd >= 0 ? fd : -errno;
    }
    ssize_t Read(int fd, void* buffer, size_t size) override {
        ssize_t n;
        do {
            n = ::read(fd, buffer, size);
        } while (n < 0 && errno == EINTR);
        return n >= 0 ? n : -errno;
    }
    int Ioctl(int fd, unsigned long request, void* arg) override {
        int rc;
        do {
            rc = ::ioctl(fd, request, arg);
        } while (rc < 0 && errno == EINTR);
        return rc >= 0 ? rc : -errno;
    }
    void Close(int fd) override { ::close(fd); }
};

void SetError(int* sysError, int value) {
    if (sysError != nullptr) {
        *sysError = value;
    }
}

// Reads a small sysfs attribute. Returns the byte count, or -errno; -EFBIG when the file holds
// more than the buffer, -EINVAL when it is not a regular file (a FIFO would block the read).
long ReadAttribute(const std::string& path, char* buffer, size_t size) {
    int fd;
    do {
        fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY | O_NOFOLLOW);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        return -errno;
    }
    struct stat info;
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        return -EINVAL;
    }
    size_t total = 0;
    long result = 0;
    while (true) {
        // One byte more than the caller's buffer can hold tells an over-long file apart.
        char scratch[kMaxSysfsAttributeBytes + 1];
        const ssize_t n = ::read(fd, scratch, sizeof scratch);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            result = -errno;
            break;
        }
        if (n == 0) {
            result = static_cast<long>(total);
            break;
        }
        const size_t count = static_cast<size_t>(n);
        if (count > size - total) {
            result = -EFBIG;
            break;
        }
        std::memcpy(buffer + total, scratch, count);
        total += count;
    }
    ::close(fd);
    return result;
}

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

}  // namespace

IUsbfsCalls& SystemUsbfsCalls() {
    static SystemCalls calls;
    return calls;
}

namespace usbfs {

bool IsValidDevicePath(const std::string& name) {
    if (name.empty() || name.size() > kMaxDevicePathLength) {
        return false;
    }
    // bus '-' port ('.' port)*
    size_t pos = 0;
    int field = 0;
    while (true) {
        size_t digits = 0;
        while (pos < name.size() && IsDigit(name[pos])) {
            ++pos;
            ++digits;
        }
        if (digits == 0 || digits > 3) {
            return false;
        }
        if (pos == name.size()) {
            return field >= 1;
        }
        const char separator = name[pos];
        if (field == 0 ? separator != '-' : separator != '.') {
            return false;
        }
        ++pos;
        ++field;
        if (field > kMaxPortDepth) {
            return false;
        }
    }
}

bool ParseSysfsNumber(const char* text, size_t size, unsigned maxValue, unsigned* value) {
    if (text == nullptr || value == nullptr) {
        return false;
    }
    if (size > 0 && text[size - 1] == '\n') {
        --size;
    }
    if (size == 0 || size > 9) {
        return false;
    }
    unsigned result = 0;
    for (size_t i = 0; i < size; ++i) {
        if (!IsDigit(text[i])) {
            return false;
        }
        result = result * 10 + static_cast<unsigned>(text[i] - '0');
    }
    if (result > maxValue) {
        return false;
    }
    *value = result;
    return true;
}

long RunChunkedTransfer(const BulkRequest& request, uint8_t* data, size_t size, uint16_t maxPacket,
                        const UsbfsTransferPolicy& policy, IClock& clock, int* sysError) {
    if (size == 0) {
        return 0;
    }
    if (data == nullptr || maxPacket == 0 || size > static_cast<size_t>(LONG_MAX)) {
        SetError(sysError, EINVAL);
        return -1;
    }
    // Requests are whole packets, so only the device's own short packet can end one early.
    const auto wholePackets = [maxPacket](size_t bytes) {
        return std::max<size_t>(maxPacket, bytes / maxPacket * maxPacket);
    };
    const size_t minChunk = wholePackets(policy.minChunkBytes);
    size_t chunk = std::max(minChunk, wholePackets(policy.maxChunkBytes));

    const uint64_t budgetMs =
        policy.requestTimeoutMs + ((static_cast<uint64_t>(size) * policy.extraMsPerMiB) >> 20);
    const uint64_t start = clock.NowMs();
    size_t done = 0;
    while (done < size) {
        const uint64_t elapsed = clock.NowMs() - start;
        if (elapsed >= budgetMs) {
            SetError(sysError, ETIMEDOUT);
            return -1;
        }
        // usbfs treats a time-out of 0 as "wait forever"; the minimum here is 1 ms.
        const uint32_t timeoutMs = static_cast<uint32_t>(
            std::max<uint64_t>(1, std::min<uint64_t>(policy.requestTimeoutMs, budgetMs - elapsed)));
        const size_t asked = std::min(chunk, size - done);
        const long got = request(data + done, asked, timeoutMs);
        if (got < 0) {
            const int error = static_cast<int>(-got);
            if ((error == ENOMEM || error == EINVAL) && asked > minChunk) {
                chunk = std::max(minChunk, wholePackets(asked / 2));
                continue;
            }
            SetError(sysError, error);
            return -1;
        }
        if (static_cast<size_t>(got) > asked) {
            SetError(sysError, EIO);
            return -1;
        }
        done += static_cast<size_t>(got);
        if (static_cast<size_t>(got) < asked) {
            break;
        }
    }
    return static_cast<long>(done);
}

}  // namespace usbfs

// One open usbfs file with the bulk interface claimed. Released and closed when the last
// reference goes, so a Close racing a transfer on another thread never closes the file under it.
struct UsbfsPipes::OpenDevice {
    OpenDevice(IUsbfsCalls& c, int f, int m) : calls(c), fd(f), mode(m) {}
    ~OpenDevice() {
        if (claimed) {
            unsigned int interfaceNumber = endpoints.interfaceNumber;
            calls.Ioctl(fd, USBDEVFS_RELEASEINTERFACE, &interfaceNumber);
        }
        calls.Close(fd);
    }
    OpenDevice(const OpenDevice&) = delete;
    OpenDevice& operator=(const OpenDevice&) = delete;

    IUsbfsCalls& calls;
    const int fd;
    const int mode;
    UsbBulkEndpoints endpoints;
    bool claimed = false;
};

UsbfsPipes::UsbfsPipes(std::string sysfsRoot, std::string devRoot, CLoggerBase* log,
                       IUsbfsCalls& calls, IClock& clock, UsbfsTransferPolicy policy)
    : sysfsRoot_(std::move(sysfsRoot)),
      devRoot_(std::move(devRoot)),
      log_(log),
      calls_(calls),
      clock_(clock),
      policy_(policy) {}

UsbfsPipes::~UsbfsPipes() = default;

bool UsbfsPipes::DeviceFolder(const std::string& devicePath, std::string* folder,
                              int* sysError) const {
    std::unique_ptr<char, decltype(&std::free)> root(::realpath(sysfsRoot_.c_str(), nullptr),
                                                     &std::free);
    if (!root) {
        SetError(sysError, errno);
        return false;
    }
    const std::string link = sysfsRoot_ + "/bus/usb/devices/" + devicePath;
    std::unique_ptr<char, decltype(&std::free)> real(::realpath(link.c_str(), nullptr), &std::free);
    if (!real) {
        SetError(sysError, errno);
        return false;
    }
    // The entry must lead into ROOT/devices, to a folder of its own name.
    const std::string prefix = std::string(root.get()) + "/devices/";
    const std::string suffix = "/" + devicePath;
    const std::string_view resolved(real.get());
    if (resolved.size() <= prefix.size() + devicePath.size() ||
        resolved.substr(0, prefix.size()) != prefix ||
        resolved.substr(resolved.size() - suffix.size()) != suffix) {
        SetError(sysError, EACCES);
        return false;
    }
    *folder = std::string(resolved) + "/";
    return true;
}

bool UsbfsPipes::ReadDeviceNumbers(const std::string& folder, unsigned* bus, unsigned* dev,
                                   int* sysError) const {
    char text[kMaxSysfsAttributeBytes];
    long n = ReadAttribute(folder + "busnum", text, sizeof text);
    if (n < 0) {
        SetError(sysError, n == -EFBIG || n == -EINVAL ? EIO : static_cast<int>(-n));
        return false;
    }
    if (!usbfs::ParseSysfsNumber(text, static_cast<size_t>(n), kMaxBusNumber, bus) || *bus == 0) {
        SetError(sysError, EIO);
        return false;
    }
    n = ReadAttribute(folder + "devnum", text, sizeof text);
    if (n < 0) {
        SetError(sysError, n == -EFBIG || n == -EINVAL ? EIO : static_cast<int>(-n));
        return false;
    }
    if (!usbfs::ParseSysfsNumber(text, static_cast<size_t>(n), kMaxDeviceNumber, dev) ||
        *dev == 0) {
        SetError(sysError, EIO);
        return false;
    }
    return true;
}

bool UsbfsPipes::ResolveNode(const std::string& devicePath, std::string* nodePath,
                             int* sysError) const {
    if (!usbfs::IsValidDevicePath(devicePath) || nodePath == nullptr) {
        SetError(sysError, EINVAL);
        return false;
    }
    try {
        std::string folder;
        unsigned bus = 0;
        unsigned dev = 0;
        if (!DeviceFolder(devicePath, &folder, sysError) ||
            !ReadDeviceNumbers(folder, &bus, &dev, sysError)) {
            return false;
        }
        char suffix[16];
        std::snprintf(suffix, sizeof suffix, "/%03u/%03u", bus, dev);
        *nodePath = devRoot_ + suffix;
        return true;
    } catch (const std::bad_alloc&) {
        SetError(sysError, ENOMEM);
        return false;
    }
}

// -1 when unknown, 0 when the device is unconfigured, else bConfigurationValue.
int UsbfsPipes::ReadActiveConfiguration(const std::string& devicePath) const {
    std::string folder;
    int ignored = 0;
    if (!DeviceFolder(devicePath, &folder, &ignored)) {
        return -1;
    }
    char text[kMaxSysfsAttributeBytes];
    const long n = ReadAttribute(folder + "bConfigurationValue", text, sizeof text);
    if (n < 0) {
        return -1;
    }
    if (n == 0 || (n == 1 && text[0] == '\n')) {
        return 0;
    }
    unsigned value = 0;
    if (!usbfs::ParseSysfsNumber(text, static_cast<size_t>(n), kMaxConfigurationValue, &value)) {
        return -1;
    }
    return static_cast<int>(value);
}

bool UsbfsPipes::ClaimInterface(OpenDevice& device, const std::string& devicePath, int* sysError) {
    unsigned int interfaceNumber = device.endpoints.interfaceNumber;

    // Releasing an interface whose alternate setting is not 0 makes the kernel select setting 0
    // again, which resets the endpoints; the transport opens and closes the device between a
    // command block and its data and status phases, so such a device would lose its command
    // half-way. It is refused instead.
    if (device.endpoints.alternateSetting != 0) {
        if (CLoggerBase* log = log_.load(); log != nullptr) {
            log->Print(ks::kLogStation,
                       "ERROR:UsbfsPipes-->%s has its bulk pair only in alternate setting %u of "
                       "interface %u; refused (releasing the interface would reset its "
                       "endpoints between the phases of a command)",
                       devicePath.c_str(), static_cast<unsigned>(device.endpoints.alternateSetting),
                       interfaceNumber);
        }
        SetError(sysError, ENODEV);
        return false;
    }

    // A kernel driver bound to the interface (a storage driver, say) must let go first. Another
    // usbfs user shows up as the driver "usbfs"; that one is left alone and the claim fails.
    usbdevfs_getdriver driver{};
    driver.interface = interfaceNumber;
    const bool haveDriver = calls_.Ioctl(device.fd, USBDEVFS_GETDRIVER, &driver) == 0;
    driver.driver[sizeof driver.driver - 1] = '\0';
    const bool otherDriver = haveDriver && std::strcmp(driver.driver, "usbfs") != 0;
    const auto logDetach = [&] {
        if (CLoggerBase* log = log_.load(); log != nullptr) {
            log->Print(ks::kLogStation,
                       "INFO:UsbfsPipes-->detached driver %s from interface %u of %s",
                       driver.driver, interfaceNumber, devicePath.c_str());
        }
    };

    // Detach and claim in one step where the kernel has it (3.x and later), so no driver can
    // bind again in between; any driver but another usbfs user is detached.
    usbdevfs_disconnect_claim both{};
    both.interface = interfaceNumber;
    both.flags = USBDEVFS_DISCONNECT_CLAIM_EXCEPT_DRIVER;
    std::snprintf(both.driver, sizeof both.driver, "usbfs");
    int rc = calls_.Ioctl(device.fd, USBDEVFS_DISCONNECT_CLAIM, &both);
    if (rc == 0) {
        device.claimed = true;
        if (otherDriver) {
            logDetach();
        }
        return true;
    }
    if (rc != -ENOTTY && rc != -EINVAL) {
        SetError(sysError, -rc);
        return false;
    }

    // Older kernels: detach, then claim.
    if (otherDriver) {
        usbdevfs_ioctl command{};
        command.ifno = static_cast<int>(interfaceNumber);
        command.ioctl_code = static_cast<int>(USBDEVFS_DISCONNECT);
        command.data = nullptr;
        rc = calls_.Ioctl(device.fd, USBDEVFS_IOCTL, &command);
        // ENODATA: the driver went away in between.
        if (rc < 0 && rc != -ENODATA) {
            SetError(sysError, -rc);
            return false;
        }
        logDetach();
    }
    rc = calls_.Ioctl(device.fd, USBDEVFS_CLAIMINTERFACE, &interfaceNumber);
    if (rc < 0) {
        SetError(sysError, -rc);
        return false;
    }
    device.claimed = true;
    return true;
}

int64_t UsbfsPipes::ConnectedMs(const std::string& devicePath) const {
    std::string folder;
    int ignored = 0;
    if (!DeviceFolder(devicePath, &folder, &ignored)) {
        return -1;
    }
    char text[kMaxSysfsAttributeBytes];
    const long n = ReadAttribute(folder + "power/connected_duration", text, sizeof text);
    unsigned value = 0;
    if (n <= 0 || !usbfs::ParseSysfsNumber(text, static_cast<size_t>(n), 0xFFFFFFFFU, &value)) {
        return -1;
    }
    return value;
}

std::shared_ptr<UsbfsPipes::OpenDevice> UsbfsPipes::OpenDeviceAt(const std::string& devicePath,
                                                                 int mode, int* sysError) {
    try {
        std::string node;
        if (!ResolveNode(devicePath, &node, sysError)) {
            return nullptr;
        }
        int fd = calls_.Open(node, O_RDWR | O_CLOEXEC);
        // The kernel announces a device before udev has applied the rule that lets the operator
        // open it: a node still refused shortly after the device arrived is not ready yet.
        const uint64_t firstTry = clock_.NowMs();
        while (fd == -EACCES) {
            const int64_t connected = ConnectedMs(devicePath);
            const uint64_t waited = clock_.NowMs() - firstTry;
            if ((connected >= 0 && connected > static_cast<int64_t>(policy_.permissionWaitMs)) ||
                waited >= policy_.permissionWaitMs) {
                break;
            }
            clock_.SleepMs(policy_.permissionPollMs);
            if (!ResolveNode(devicePath, &node, sysError)) {
                return nullptr;
            }
            fd = calls_.Open(node, O_RDWR | O_CLOEXEC);
        }
        if (clock_.NowMs() != firstTry) {
            if (CLoggerBase* log = log_.load(); log != nullptr) {
                log->Print(ks::kLogStation,
                           "INFO:UsbfsPipes-->%s not accessible at first, %s after %u ms",
                           node.c_str(), fd >= 0 ? "opened" : "still refused",
                           static_cast<unsigned>(clock_.NowMs() - firstTry));
            }
        }
        if (fd < 0) {
            SetError(sysError, -fd);
            return nullptr;
        }
        auto device = std::make_shared<OpenDevice>(calls_, fd, mode);

        // The port may have re-enumerated between reading its numbers and opening the node; the
        // node opened must still be the device at that port.
        std::string nodeAfter;
        int ignored = 0;
        if (!ResolveNode(devicePath, &nodeAfter, &ignored) || nodeAfter != node) {
            SetError(sysError, ENODEV);
            return nullptr;
        }

        std::vector<uint8_t> descriptors(kMaxDescriptorBytes);
        size_t have = 0;
        while (have < descriptors.size()) {
            const ssize_t n = calls_.Read(fd, descriptors.data() + have, descriptors.size() - have);
            if (n < 0) {
                SetError(sysError, static_cast<int>(-n));
                return nullptr;
            }
            if (n == 0) {
                break;
            }
            have += std::min(static_cast<size_t>(n), descriptors.size() - have);
        }

        const int active = ReadActiveConfiguration(devicePath);
        if (active == 0 ||
            !usbdesc::FindBulkPair(descriptors.data(), have, active, &device->endpoints)) {
            SetError(sysError, ENODEV);
            return nullptr;
        }
        if (!ClaimInterface(*device, devicePath, sysError)) {
            return nullptr;
        }
        return device;
    } catch (const std::bad_alloc&) {
        SetError(sysError, ENOMEM);
        return nullptr;
    }
}

int UsbfsPipes::Open(const std::string& devicePath, int mode, int* sysError) {
    if (mode != kPipeIn && mode != kPipeOut && mode != kPipeDevice) {
        SetError(sysError, EINVAL);
        return kInvalidHandle;
    }
    std::shared_ptr<OpenDevice> device = OpenDeviceAt(devicePath, mode, sysError);
    if (!device) {
        return kInvalidHandle;
    }
    try {
        std::lock_guard<std::mutex> guard(tableLock_);
        // Handles are not reused while the previous holder of a number may still be open.
        int handle = nextHandle_;
        for (size_t tries = 0; handles_.count(handle) != 0; ++tries) {
            if (tries > handles_.size()) {
                SetError(sysError, EMFILE);
                return kInvalidHandle;
            }
            handle = handle == INT_MAX ? 0 : handle + 1;
        }
        nextHandle_ = handle == INT_MAX ? 0 : handle + 1;
        handles_.emplace(handle, std::move(device));
        return handle;
    } catch (const std::bad_alloc&) {
        SetError(sysError, ENOMEM);
        return kInvalidHandle;
    }
}

void UsbfsPipes::Close(int handle) {
    std::shared_ptr<OpenDevice> device;
    {
        std::lock_guard<std::mutex> guard(tableLock_);
        auto it = handles_.find(handle);
        if (it == handles_.end()) {
            return;
        }
        device = std::move(it->second);
        handles_.erase(it);
    }
    // Released and closed here, outside the lock, unless a transfer still holds it.
}

std::shared_ptr<UsbfsPipes::OpenDevice> UsbfsPipes::Find(int handle) const {
    std::lock_guard<std::mutex> guard(tableLock_);
    auto it = handles_.find(handle);
    return it == handles_.end() ? nullptr : it->second;
}

size_t UsbfsPipes::OpenHandleCount() const {
    std::lock_guard<std::mutex> guard(tableLock_);
    return handles_.size();
}

long UsbfsPipes::Transfer(int handle, int requiredMode, uint8_t* data, size_t size, int* sysError) {
    std::shared_ptr<OpenDevice> device = Find(handle);
    if (!device || device->mode != requiredMode) {
        SetError(sysError, EBADF);
        return -1;
    }
    const bool in = requiredMode == kPipeIn;
    const unsigned int endpoint = in ? device->endpoints.inAddress : device->endpoints.outAddress;
    const uint16_t maxPacket = in ? device->endpoints.inMaxPacket : device->endpoints.outMaxPacket;
    IUsbfsCalls& calls = calls_;
    const int fd = device->fd;
    const usbfs::BulkRequest request = [&calls, fd, endpoint](uint8_t* bytes, size_t count,
                                                              uint32_t timeoutMs) -> long {
        usbdevfs_bulktransfer bulk{};
        bulk.ep = endpoint;
        bulk.len = static_cast<unsigned int>(count);
        bulk.timeout = timeoutMs;
        bulk.data = bytes;
        return calls.Ioctl(fd, USBDEVFS_BULK, &bulk);
    };
    return usbfs::RunChunkedTransfer(request, data, size, maxPacket, policy_, clock_, sysError);
}

long UsbfsPipes::Write(int handle, const uint8_t* data, size_t size, int* sysError) {
    // usbfs only reads from the buffer of an OUT request.
    return Transfer(handle, kPipeOut, const_cast<uint8_t*>(data), size, sysError);
}

long UsbfsPipes::Read(int handle, uint8_t* data, size_t size, int* sysError) {
    return Transfer(handle, kPipeIn, data, size, sysError);
}

bool UsbfsPipes::ResetPipe(int handle, uint8_t pipe, int* sysError) {
    if (pipe > 2) {
        SetError(sysError, EINVAL);
        return false;
    }
    std::shared_ptr<OpenDevice> device = Find(handle);
    if (!device) {
        SetError(sysError, EBADF);
        return false;
    }
    int firstError = 0;
    const auto clear = [&](unsigned int endpoint) {
        const int rc = calls_.Ioctl(device->fd, USBDEVFS_CLEAR_HALT, &endpoint);
        if (rc < 0 && firstError == 0) {
            firstError = -rc;
        }
    };
    if (pipe == 0 || pipe == 2) {
        clear(device->endpoints.inAddress);
    }
    if (pipe == 1 || pipe == 2) {
        clear(device->endpoints.outAddress);
    }
    if (firstError != 0) {
        SetError(sysError, firstError);
        return false;
    }
    return true;
}
