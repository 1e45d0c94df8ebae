// The kernel's virtual host controller as seen from user space: attaching a connected socket at a
// port, detaching it, and the sysfs name the device gets there.
//
// vhci_hcd.N has a high-speed root hub and a SuperSpeed one with kPortsPerHub ports each; its
// attach file takes "port sockfd devid speed" where port = 2 * kPortsPerHub * N + root-hub port
// (0-based) and the speed chooses the hub. Only the high-speed hub is used here, so port p of
// vhci_hcd.0 becomes "<bus>-<p + 1>".
#pragma once

#include <cstdint>
#include <string>

class VhciPorts {
  public:
    static constexpr uint32_t kSpeedHigh = 3;

    // sysfsRoot: "/sys" (tests pass a fake tree).
    explicit VhciPorts(std::string sysfsRoot = "/sys");

    // Reads nports and finds the high-speed root hub's bus number. False (with *error) when the
    // controller is missing.
    bool Probe(std::string* error);

    uint32_t PortsPerHub() const { return portsPerHub_; }
    uint32_t HighSpeedBus() const { return hsBus_; }

    // The sysfs device name of the device at port p ("1-3" for p = 2).
    std::string SysfsName(uint32_t port) const;

    // Writes "port sockfd devid speed" to the attach file. The calling process must own sockfd.
    bool Attach(uint32_t port, int sockfd, uint32_t devid, std::string* error);
    // Writes the port to the detach file.
    bool Detach(uint32_t port, std::string* error);

    // True while /sys/bus/usb/devices/<name> exists.
    bool DevicePresent(const std::string& name) const;
    // Waits until the device's sysfs entry is gone (true) or timeoutMs passed (false).
    bool WaitGone(const std::string& name, uint32_t timeoutMs) const;
    // Waits until the device's bConfigurationValue reads non-zero.
    bool WaitConfigured(const std::string& name, uint32_t timeoutMs) const;

  private:
    std::string ControllerDir() const;
    bool WriteFile(const std::string& path, const std::string& text, std::string* error);

    const std::string sysfsRoot_;
    uint32_t portsPerHub_ = 0;
    uint32_t hsBus_ = 0;
};
