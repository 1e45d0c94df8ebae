// The loader device's bulk pipes on Linux, reached through usbfs (/dev/bus/usb/BBB/DDD).
//
// A device path is the kernel's sysfs name of the device, which names its physical port:
// "1-3" (port 3 of bus 1) or "2-1.4" (port 4 of the hub at port 1 of bus 2). Every Open resolves
// it afresh through ROOT/bus/usb/devices/<name>/busnum and devnum, so a path stays valid when the
// device re-enumerates at the same port (after a reset, for example). The sysfs entry is followed
// only into ROOT/devices, to a folder of the same name; attribute files must be regular files.
//
// Each handle owns its own usbfs file with the device's bulk interface claimed; Close releases
// the interface and closes the file. Transfers are synchronous USBDEVFS_BULK requests with a
// time-out (see UsbfsTransferPolicy), split internally where usbfs cannot take the whole buffer
// in one request.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "device/BulkPipes.h"
#include "platform/linux/UsbDescriptors.h"
#include "support/Clock.h"
#include "support/Logger.h"

// The system calls the transport makes on usbfs nodes, so that tests can stand in a scripted
// device. Each returns what the system call returns on success, or the negated errno value.
class IUsbfsCalls {
  public:
    virtual ~IUsbfsCalls() = default;
    virtual int Open(const std::string& path, int flags) = 0;
    virtual ssize_t Read(int fd, void* buffer, size_t size) = 0;
    virtual int Ioctl(int fd, unsigned long request, void* arg) = 0;
    virtual void Close(int fd) = 0;
};

// open/read/ioctl/close of the running system.
IUsbfsCalls& SystemUsbfsCalls();

// How one whole-buffer transfer is carried out.
struct UsbfsTransferPolicy {
    // Time-out of one USBDEVFS_BULK request. A device that does not complete a request within it
    // fails the transfer with ETIMEDOUT.
    uint32_t requestTimeoutMs = 5000;
    // The whole transfer must end within requestTimeoutMs plus this much per MiB of buffer
    // (a 32 MiB sector transfer may take 37 s, enough for a full-speed device).
    uint32_t extraMsPerMiB = 1000;
    // Largest single request. usbfs copies each request through one kernel buffer, counted
    // against the usbfs_memory_mb limit (16 MiB by default), so whole sector transfers of up to
    // 32 MiB cannot go in one request. A request refused with ENOMEM or EINVAL (kernels that
    // allowed only 16 KiB) is retried at half the size, down to minChunkBytes; nothing is moved
    // on the bus when usbfs refuses a request that way.
    size_t maxChunkBytes = 256 * 1024;
    size_t minChunkBytes = 16 * 1024;
    // udev makes a new node accessible a moment after the kernel announced the device: an open
    // refused with EACCES is tried again every permissionPollMs, for up to permissionWaitMs,
    // unless sysfs says the device has been connected longer than that.
    uint32_t permissionWaitMs = 5000;
    uint32_t permissionPollMs = 100;
};

namespace usbfs {

// One bulk request: transfers up to size bytes with the given time-out (always >= 1 ms) and
// returns the byte count, or the negated errno value.
using BulkRequest = std::function<long(uint8_t* data, size_t size, uint32_t timeoutMs)>;

// Carries out one whole-buffer transfer as a series of requests of whole packets. A request that
// moves fewer bytes than asked (a short packet) ends the transfer. Returns the total byte count,
// or -1 with *sysError set when any request fails or the transfer's time budget runs out.
long RunChunkedTransfer(const BulkRequest& request, uint8_t* data, size_t size, uint16_t maxPacket,
                        const UsbfsTransferPolicy& policy, IClock& clock, int* sysError);

// True when name is a sysfs USB device name: bus number, '-', port numbers joined by '.', each
// number 1 to 3 digits, at most 7 ports. Interfaces ("1-3:1.0"), root hubs ("usb1") and anything
// with other characters are refused.
bool IsValidDevicePath(const std::string& name);

// Parses a small sysfs number file ("5\n"): decimal digits, optionally followed by one newline.
// Returns false for anything else or a value above maxValue.
bool ParseSysfsNumber(const char* text, size_t size, unsigned maxValue, unsigned* value);

}  // namespace usbfs

class UsbfsPipes final : public IBulkPipes {
  public:
    // sysfsRoot: the sysfs mount ("/sys"); devRoot: the usbfs node folder ("/dev/bus/usb").
    // log may be null; it receives a line when a kernel driver is detached from the interface.
    explicit UsbfsPipes(std::string sysfsRoot = "/sys", std::string devRoot = "/dev/bus/usb",
                        CLoggerBase* log = nullptr, IUsbfsCalls& calls = SystemUsbfsCalls(),
                        IClock& clock = SystemClock(), UsbfsTransferPolicy policy = {});
    ~UsbfsPipes() override;
    UsbfsPipes(const UsbfsPipes&) = delete;
    UsbfsPipes& operator=(const UsbfsPipes&) = delete;

    // Any mode opens the device, finds the bulk pair of its active configuration and claims that
    // interface (detaching a kernel driver bound to it). Errors: EINVAL for a bad mode or path,
    // ENOENT/ENODEV when no device is at the port (or it changed while opening), ENODEV when the
    // device is unconfigured or has no interface with both bulk directions, EBUSY when the
    // interface is claimed elsewhere, EACCES without permission (see the udev rule).
    int Open(const std::string& devicePath, int mode, int* sysError) override;
    void Close(int handle) override;
    // Write works on an OUT handle, Read on an IN handle (EBADF otherwise).
    long Write(int handle, const uint8_t* data, size_t size, int* sysError) override;
    long Read(int handle, uint8_t* data, size_t size, int* sysError) override;
    // pipe 0 clears a halt on the IN endpoint, 1 on the OUT endpoint, 2 on both (EINVAL
    // otherwise), on the device the handle holds open and claimed (EBADF for an unknown handle).
    bool ResetPipe(int handle, uint8_t pipe, int* sysError) override;

    // The usbfs node the device path resolves to now, e.g. "/dev/bus/usb/001/005".
    bool ResolveNode(const std::string& devicePath, std::string* nodePath, int* sysError) const;

    // Number of open handles.
    size_t OpenHandleCount() const;

    // Attaches (or, with null, detaches) the log; safe at any time. The log must stay valid
    // while attached.
    void SetLog(CLoggerBase* log) { log_.store(log); }

  private:
    struct OpenDevice;

    std::shared_ptr<OpenDevice> OpenDeviceAt(const std::string& devicePath, int mode,
                                             int* sysError);
    // The real folder of the device's sysfs entry, with a trailing '/'. The entry must lead
    // into ROOT/devices to a folder of the same name (EACCES otherwise).
    bool DeviceFolder(const std::string& devicePath, std::string* folder, int* sysError) const;
    bool ReadDeviceNumbers(const std::string& folder, unsigned* bus, unsigned* dev,
                           int* sysError) const;
    int ReadActiveConfiguration(const std::string& devicePath) const;
    bool ClaimInterface(OpenDevice& device, const std::string& devicePath, int* sysError);
    // Milliseconds since the device at the port connected (sysfs power/connected_duration), or
    // -1 when unknown.
    int64_t ConnectedMs(const std::string& devicePath) const;
    std::shared_ptr<OpenDevice> Find(int handle) const;
    long Transfer(int handle, int requiredMode, uint8_t* data, size_t size, int* sysError);

    const std::string sysfsRoot_;
    const std::string devRoot_;
    std::atomic<CLoggerBase*> log_;
    IUsbfsCalls& calls_;
    IClock& clock_;
    const UsbfsTransferPolicy policy_;

    mutable std::mutex tableLock_;
    std::map<int, std::shared_ptr<OpenDevice>> handles_;
    int nextHandle_ = 0;
};
