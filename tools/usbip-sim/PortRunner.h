// Keeps one served device on one vhci port for the life of the server: attaches it (a connected
// socket pair per attachment, the kernel getting one end), serves it, and when the device resets
// detaches it, waits until the kernel has removed the old device, lets the delay pass and attaches
// it again at the same port (or at another port, or not at all, as the device asks). An unplug
// detaches it for good. All of it runs on the runner's own thread.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "tools/usbip-sim/UsbFunction.h"
#include "tools/usbip-sim/UsbipDeviceServer.h"
#include "tools/usbip-sim/VhciPorts.h"

struct PortRunnerOptions {
    uint32_t port = 0;
    uint32_t otherPort = 0;  // where a device that returns "at another port" comes back
    std::string stateFile;   // key=value summary, rewritten after every attachment; may be empty
    uint32_t goneTimeoutMs = 15000;
};

class PortRunner {
  public:
    using LogFn = std::function<void(const std::string&)>;

    PortRunner(VhciPorts& ports, std::unique_ptr<IUsbFunction> function, UsbipFaults faults,
               PortRunnerOptions options, LogFn log);
    ~PortRunner();
    PortRunner(const PortRunner&) = delete;
    PortRunner& operator=(const PortRunner&) = delete;

    void Start();
    // Raises the stop flag, which detaches the device, and joins the thread.
    void Stop();
    // Waits until the first attachment was made or failed; true when it was made.
    bool WaitFirstAttach(uint32_t timeoutMs);

    std::string Name() const { return ports_.SysfsName(options_.port); }

  private:
    void Run();
    void WriteState(const std::string& phase);
    void SetAttachState(int state);

    VhciPorts& ports_;
    std::unique_ptr<IUsbFunction> function_;
    UsbipDeviceServer server_;
    PortRunnerOptions options_;
    LogFn log_;
    std::atomic<bool> stop_{false};
    std::thread thread_;

    std::mutex attachLock_;
    std::condition_variable attachChanged_;
    int attachState_ = 0;  // 0 pending, 1 attached, -1 failed

    // Summary figures (runner thread only).
    uint32_t currentPort_ = 0;
    uint32_t attaches_ = 0;
    uint32_t resets_ = 0;
    bool unplugged_ = false;
    uint64_t lastAttachMs_ = 0;
    uint64_t lastResetMs_ = 0;
    int64_t goneMs_ = -1;               // detach -> old sysfs name gone, last time
    int64_t reenumMs_ = -1;             // re-attach after a reset -> configured
    int64_t resetToConfiguredMs_ = -1;  // detach for the reset -> configured again
    int64_t resetToCommandMs_ = -1;     // detach for the reset -> the host's next command
    std::string lastEnd_ = "none";
};
