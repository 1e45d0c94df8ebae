// The Linux USB platform in one piece: the USB tree from sysfs, the bulk pipes through usbfs and
// the device-change notices from the uevent socket, built from one sysfs root and one usbfs root.
#pragma once

#include <string>

#include "device/BulkPipes.h"
#include "device/DeviceChangeSource.h"
#include "device/UsbTree.h"
#include "platform/linux/SysfsUsbTree.h"
#include "platform/linux/UeventMonitor.h"
#include "platform/linux/UsbfsPipes.h"
#include "support/Logger.h"

class LinuxUsbPlatform {
  public:
    // sysfsRoot: the sysfs mount ("/sys"); devRoot: the usbfs node folder ("/dev/bus/usb").
    // log (may be null) receives the pipes' driver-detach lines and the monitor's fallback line;
    // it must outlive the platform.
    explicit LinuxUsbPlatform(std::string sysfsRoot = "/sys", std::string devRoot = "/dev/bus/usb",
                              CLoggerBase* log = nullptr, UeventMonitorOptions changeOptions = {});
    // Stops the change source before the tree and the pipes go.
    ~LinuxUsbPlatform();
    LinuxUsbPlatform(const LinuxUsbPlatform&) = delete;
    LinuxUsbPlatform& operator=(const LinuxUsbPlatform&) = delete;

    // Attaches the station log once it exists (null detaches it). Call it before
    // Changes().Start() so that a fallback to polling is logged.
    void SetLog(CLoggerBase* log);

    IUsbTree& Tree() { return tree_; }
    IBulkPipes& Pipes() { return pipes_; }
    IDeviceChangeSource& Changes() { return changes_; }

    const std::string& SysfsRoot() const { return sysfsRoot_; }
    const std::string& DevRoot() const { return devRoot_; }

  private:
    const std::string sysfsRoot_;
    const std::string devRoot_;
    SysfsUsbTree tree_;
    UsbfsPipes pipes_;
    UeventMonitor changes_;
};
