// IUsbTree over Linux sysfs: ROOT/bus/usb/devices and the device folders its links lead to under
// ROOT/devices.
//
//  - Each root hub "usbN" is one host controller, numbered N (controllers listed by ascending N).
//  - Root hub names: "usbN" for a root hub of USB 2.00 or later, "USB#ROOT_HUB#usbN" for an older
//    one (so the walk treats it as a full-speed-only root hub). External hubs are named by their
//    sysfs device name ("1-3"); port p of "usbN" is device "N-p", port p of "1-3" is "1-3.p".
//  - A device's driver key is its sysfs name; its devnode an id given out per name, stable for the
//    life of the object. Interfaces ("1-3:1.0") are the children of their device.
//  - DevicePath is the sysfs name itself (what UsbfsPipes opens).
//
// sysfs content is untrusted: names are checked against the USB naming rules before use, links are
// followed only when they end inside ROOT/devices at a folder of the same name, attribute files
// must be regular files and are read with a bound.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "device/UsbTree.h"

class SysfsUsbTree final : public IUsbTree {
  public:
    static constexpr size_t kMaxAttributeBytes = 4096;
    static constexpr size_t kMaxDirectoryEntries = 4096;
    static constexpr int kMaxPortDepth = 7;

    explicit SysfsUsbTree(std::string root = "/sys");

    UsbTreeStatus ListHostControllers(std::vector<UsbHostControllerEntry>* out,
                                      int* sysError) override;
    UsbTreeStatus GetRootHubName(const std::string& controllerPath, std::string* name,
                                 int* sysError) override;
    UsbTreeStatus GetHubPortCount(const std::string& hubName, int* portCount,
                                  int* sysError) override;
    UsbTreeStatus GetPortConnection(const std::string& hubName, int port, UsbPortConnection* info,
                                    int* sysError) override;
    UsbTreeStatus GetPortDriverKey(const std::string& hubName, int port, std::string* driverKey,
                                   int* sysError) override;
    UsbTreeStatus GetPortHubName(const std::string& hubName, int port, std::string* name,
                                 int* sysError) override;
    uint32_t FindDevnodeByDriverKey(const std::string& driverKey) override;
    UsbTreeStatus GetDeviceId(uint32_t devnode, std::string* id, int* sysError) override;
    UsbTreeStatus GetCompatibleIds(uint32_t devnode, std::vector<std::string>* ids,
                                   int* sysError) override;
    UsbTreeStatus GetFirstChild(uint32_t devnode, uint32_t* child, int* sysError) override;
    UsbTreeStatus GetNextSibling(uint32_t devnode, uint32_t* sibling, int* sysError) override;
    std::string DevicePath(uint32_t devnode, uint32_t kind) override;
    // Follows the port/peer links of every tier ("usbB-portP", then "<hub>-portP" below each
    // hub): a device on bus B whose whole chain has peers on a lower-numbered bus C gets the
    // location of that chain on C. Only the links' names are read, never followed.
    std::string ConnectorLocation(uint32_t devnode) override;

    // Name checks (no file access).
    static bool IsRootHubName(std::string_view name);    // "usb1"
    static bool IsDeviceName(std::string_view name);     // "1-3", "2-1.4.2"
    static bool IsInterfaceName(std::string_view name);  // "1-3:1.0"

  private:
    // The sysfs name of the hub a walk hub name stands for ("usb1", "1-3"), or empty.
    static std::string HubSysfsName(const std::string& hubName);
    // The device at a port of a hub, or empty when the chain would be too deep.
    static std::string PortDeviceName(const std::string& hubSysfsName, int port);

    // The real folder of a sysfs USB entry, checked to lie inside ROOT/devices. errno-style
    // error in *err (ENOENT when the entry does not exist).
    bool ResolveEntry(const std::string& name, std::string* folder, int* err);
    // Reads up to max bytes of a regular file in folder.
    static bool ReadAttribute(const std::string& folder, const char* attr, size_t max,
                              std::string* out, int* err);
    static bool ReadNumberAttribute(const std::string& folder, const char* attr, int base,
                                    uint32_t maxValue, bool emptyIsZero, uint32_t* value, int* err);
    // The interfaces of a device, in (configuration, interface number) order.
    bool ListInterfaces(const std::string& deviceName, std::vector<std::string>* names, int* err);
    // The device at a port: resolved, and its folder checked to sit below the hub's folder.
    UsbTreeStatus ResolvePortDevice(const std::string& hubName, int port, std::string* name,
                                    std::string* folder, int* err);

    uint32_t DevnodeFor(const std::string& name);
    bool NameOf(uint32_t devnode, std::string* name);

    const std::string root_;
    std::mutex lock_;
    std::string devicesPrefix_;  // realpath(ROOT) + "/devices/", once known
    // Links resolved and checked before, by name, with the link text they had then. A walk
    // repeats every 50 ms while a worker waits; re-resolving every path component each time
    // would cost a dozen system calls per lookup.
    struct ResolvedLink {
        std::string link;
        std::string folder;
    };
    static constexpr size_t kMaxResolvedLinks = 4096;
    std::map<std::string, ResolvedLink> resolved_;
    std::map<std::string, uint32_t> devnodes_;
    std::vector<std::string> names_;  // names_[devnode - 1]
};
