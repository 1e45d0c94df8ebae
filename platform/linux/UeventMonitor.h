// Device-change notices on Linux from the kernel's uevent netlink socket.
//
// A thread of the monitor waits on the socket and on a control pipe; writing a byte to the pipe
// stops it. Only messages sent by the kernel are taken, each is parsed within its received length,
// and every add, remove, bind or unbind of a USB device (not of its interfaces) becomes one notice.
// Where the socket cannot be opened (a container without netlink, for example), the monitor falls
// back to one notice every poll interval, so the station still rescans.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "device/DeviceChangeSource.h"
#include "support/Logger.h"

// The fields of one kernel uevent the monitor looks at.
struct UeventMessage {
    std::string action;     // "add", "remove", "bind", "unbind", "change", ...
    std::string devpath;    // "/devices/pci0000:00/0000:00:14.0/usb1/1-3"
    std::string subsystem;  // "usb", "net", ...
    std::string devtype;    // "usb_device", "usb_interface", or empty
};

namespace uevent {

// Largest datagram taken; the kernel's own messages are far smaller.
constexpr size_t kMaxMessageSize = 8192;

// Parses one kernel uevent datagram: "ACTION@DEVPATH\0" followed by "KEY=VALUE\0" fields. Every
// field must end with a NUL inside the given size; the header must agree with the ACTION and
// DEVPATH fields; ACTION, DEVPATH and SUBSYSTEM must be present. Returns false for anything else
// (libudev's re-broadcasts, truncated or malformed messages).
bool Parse(const char* data, size_t size, UeventMessage* out);

// True when the message is about a USB device itself (DEVTYPE usb_device; without DEVTYPE, a
// devpath whose last name is not an interface name such as "1-3:1.0").
bool IsUsbDevice(const UeventMessage& message);

// True when the message asks for a rescan: a USB device added or removed, or the kernel's
// device-level driver bound to or unbound from it (it binds once the device is configured).
// Interface events never are: claiming and releasing an interface through usbfs binds and unbinds
// the interface, and the station does that around every transfer.
bool IsUsbChange(const UeventMessage& message);

}  // namespace uevent

struct UeventMonitorOptions {
    // Skip the netlink socket and notify every pollIntervalMs (the fallback).
    bool forcePolling = false;
    uint32_t pollIntervalMs = 2000;
};

class UeventMonitor final : public IDeviceChangeSource {
  public:
    // log may be null; it receives one line when the monitor falls back to polling.
    explicit UeventMonitor(CLoggerBase* log = nullptr, UeventMonitorOptions options = {});
    ~UeventMonitor() override;
    UeventMonitor(const UeventMonitor&) = delete;
    UeventMonitor& operator=(const UeventMonitor&) = delete;

    // Opens the socket (or chooses the fallback) and starts the thread. False when the monitor
    // is already running, onChange is empty, or no thread or control pipe can be made.
    bool Start(std::function<void()> onChange) override;
    // Wakes the thread through the control pipe and joins it. Safe to call repeatedly. Called
    // from inside onChange it only asks the thread to end; the join happens at the next Stop,
    // Start or destruction.
    void Stop() override;

    // Attaches (or, with null, detaches) the log; safe at any time. The log must stay valid
    // while attached.
    void SetLog(CLoggerBase* log) { log_.store(log); }

    // True while running on the periodic fallback instead of the socket.
    bool IsPolling() const { return polling_.load(); }
    // Kernel messages parsed so far (any subsystem), datagrams dropped (truncated, not from the
    // kernel, or malformed), and notices delivered.
    uint64_t AcceptedMessageCount() const { return accepted_.load(); }
    uint64_t DroppedMessageCount() const { return dropped_.load(); }
    uint64_t NoticeCount() const { return notices_.load(); }
    // The netlink port the socket is bound to (0 when polling); lets a test address it.
    uint32_t PortId() const { return portId_.load(); }

  private:
    bool OpenSocket(int* sysError);
    void Run();
    // Reads every pending datagram; false (with *sysError) when the socket failed for good.
    bool DrainSocket(int* sysError);
    void Notify();
    void JoinAndClose();

    std::atomic<CLoggerBase*> log_;
    const UeventMonitorOptions options_;

    std::mutex lifecycleLock_;
    std::thread thread_;
    std::atomic<std::thread::id> threadId_{};
    std::atomic<bool> endRequested_{false};
    std::function<void()> onChange_;
    int socket_ = -1;
    int wakeRead_ = -1;
    int wakeWrite_ = -1;
    bool passCredentials_ = false;

    std::atomic<bool> polling_{false};
    std::atomic<uint64_t> accepted_{0};
    std::atomic<uint64_t> dropped_{0};
    std::atomic<uint64_t> notices_{0};
    std::atomic<uint32_t> portId_{0};
};
