// The seam between the discovery walk and the machine's USB device tree: host controllers, their
// root hubs, hub ports and the device instances behind them. Implemented from sysfs on Linux and
// by the simulated USB host in tests.
//
// Names used here:
//  - controller path: an opaque name of one host controller, from ListHostControllers;
//  - hub name: an opaque name of a hub (a root hub from GetRootHubName, an external hub from
//    GetPortHubName); ports of a hub are numbered from 1;
//  - devnode: a non-zero 32-bit id of one device instance (a device or one of its interfaces),
//    valid for the life of the tree object; 0 means "none".
//
// Every operation may be called from several threads at once (each scanner walks on its own
// thread). No operation throws.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

enum class UsbTreeStatus : int {
    kOk = 0,
    kOpenFailed = 1,     // the controller or hub could not be reached (may be transient)
    kRequestFailed = 2,  // it was reached, but the request about it failed
};

// How a tree fails a request: *sysError (when asked for) gets the error.
inline UsbTreeStatus RequestFailed(int* sysError, int error) {
    if (sysError != nullptr) {
        *sysError = error;
    }
    return UsbTreeStatus::kRequestFailed;
}

// One host controller as listed by the platform, in the platform's enumeration order.
struct UsbHostControllerEntry {
    // The controller's number; it becomes the first element of every location under it
    // ("2-3-1" for controller 2). Unique among the entries of one listing.
    uint32_t number = 0;
    // The controller's path; empty when its details could not be read (detailError tells why).
    std::string path;
    int detailError = 0;
};

// What a hub reports about one of its ports.
struct UsbPortConnection {
    static constexpr size_t kDescriptorSize = 18;

    bool connected = false;            // a device is attached and enumerated
    uint8_t currentConfiguration = 0;  // the device's current configuration value; 0 = none
    bool isHub = false;
    // Names this enumeration of the device: it changes when the device leaves the bus and is
    // enumerated again (after a reset, say), also at the same port. 0 when the platform cannot
    // tell (Linux: the bus and device numbers; the simulated host: the attachment).
    uint64_t enumeration = 0;
    // The standard device descriptor exactly as the device reported it (little-endian fields).
    uint8_t deviceDescriptor[kDescriptorSize] = {};

    uint16_t BcdUsb() const { return Le16(2); }
    uint16_t VendorId() const { return Le16(8); }
    uint16_t ProductId() const { return Le16(10); }
    uint8_t SerialIndex() const { return deviceDescriptor[16]; }

  private:
    uint16_t Le16(size_t at) const {
        return static_cast<uint16_t>(deviceDescriptor[at] | (deviceDescriptor[at + 1] << 8));
    }
};

class IUsbTree {
  public:
    virtual ~IUsbTree() = default;

    // Lists the host controllers present now. Fails (kRequestFailed) only when no listing can be
    // made at all. *sysError (may be null) receives a platform error code on every failure below.
    virtual UsbTreeStatus ListHostControllers(std::vector<UsbHostControllerEntry>* out,
                                              int* sysError) = 0;

    // The name of the controller's root hub. A root hub of the full-speed-only kind (the kind a
    // station does not walk unless told to scan everything) has "USB#ROOT_HUB#" in its name;
    // every other root hub name lacks that text.
    virtual UsbTreeStatus GetRootHubName(const std::string& controllerPath, std::string* name,
                                         int* sysError) = 0;

    // Number of downstream ports of a hub (root or external).
    virtual UsbTreeStatus GetHubPortCount(const std::string& hubName, int* portCount,
                                          int* sysError) = 0;

    // Connection information of port `port` (1-based) of a hub. kOpenFailed means the hub itself
    // is gone (the caller stops walking it); kRequestFailed concerns this port only.
    virtual UsbTreeStatus GetPortConnection(const std::string& hubName, int port,
                                            UsbPortConnection* info, int* sysError) = 0;

    // The driver key of the device at a port; FindDevnodeByDriverKey maps it to the device
    // instance.
    virtual UsbTreeStatus GetPortDriverKey(const std::string& hubName, int port,
                                           std::string* driverKey, int* sysError) = 0;

    // The hub name of the hub attached at a port.
    virtual UsbTreeStatus GetPortHubName(const std::string& hubName, int port, std::string* name,
                                         int* sysError) = 0;

    // The device instance whose driver key equals driverKey (compared without regard to case),
    // or 0 when there is none.
    virtual uint32_t FindDevnodeByDriverKey(const std::string& driverKey) = 0;

    // The device instance ID, e.g. "USB\VID_F00D&PID_3288\1-3".
    virtual UsbTreeStatus GetDeviceId(uint32_t devnode, std::string* id, int* sysError) = 0;
    // The compatible IDs of a device instance (possibly none).
    virtual UsbTreeStatus GetCompatibleIds(uint32_t devnode, std::vector<std::string>* ids,
                                           int* sysError) = 0;
    // The first child (for a USB device: its first interface) and the next sibling of an instance.
    virtual UsbTreeStatus GetFirstChild(uint32_t devnode, uint32_t* child, int* sysError) = 0;
    virtual UsbTreeStatus GetNextSibling(uint32_t devnode, uint32_t* sibling, int* sysError) = 0;

    // The path by which this platform's bulk transport (IBulkPipes::Open) reaches the device
    // instance when it is used as a device of the given kind (a DeviceKind value). The path names
    // the physical port, not the enumeration, so it stays valid when the device re-enumerates at
    // the same port: on Linux and in the simulated host it is the kernel-style device name, e.g.
    // "1-3.2" for port 2 of the hub at port 3 of bus 1 ("1-3.2:1.0" for its first interface).
    // Returns an empty string when the instance is unknown.
    virtual std::string DevicePath(uint32_t devnode, uint32_t kind) = 0;

    // The location of the physical connector a device instance is plugged into, when the
    // platform knows it to differ from the location the walk gives it; "" otherwise. On xHCI
    // controllers every connector has a port on the USB 2 bus and one on the SuperSpeed bus: a
    // board that comes back at the other speed is on the other bus, and with this it keeps one
    // location (the one on the lower-numbered bus), and so its slot.
    virtual std::string ConnectorLocation(uint32_t /*devnode*/) { return std::string(); }
};
