// A simulated USB host: host controllers with root hubs, external hubs, and devices at their
// ports. It is at once
//  - the USB tree the discovery walk reads (IUsbTree),
//  - the bulk pipes of the emulated loader devices, routed by device path (IBulkPipes),
//  - a device-change source: every plug, unplug, reset departure and return is one notice.
//
// Locations are written the way discovery writes them: "1" is the root hub of controller 1,
// "1-3" port 3 of it, "1-3-2" port 2 of a hub at "1-3". A device's path (and driver key) is its
// kernel-style name, "1-3.2" for location "1-3-2".
//
// A loader device that asks for a reset leaves its port at once (or after the time it asks to
// linger there, not answering); after the requested delay (on
// the host's timer thread, measured on the injected clock) it is brought back with
// OnReturnedFromReset() and reattached at the same port, or at another free port when it asks so,
// or not at all. A device that asks to be plugged in again (a random unplug) comes back the same
// way at its own port. Pipes opened on a device fail once it has left its port, also when it
// comes back.
//
// Thread-safe. Device callbacks and notices run without the host's lock held.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "device/BulkPipes.h"
#include "device/DeviceChangeSource.h"
#include "device/UsbTree.h"
#include "support/Clock.h"

class LoaderEmulator;
struct ResetRequest;

// A device without bulk pipes of interest (mass storage, a camera, another maker's device): it
// only shows up in the tree.
struct SimUsbDeviceInfo {
    uint16_t vendorId = 0;
    uint16_t productId = 0;
    uint16_t bcdUsb = 0x0200;
    uint8_t deviceClass = 0;
    uint8_t serialIndex = 3;
    int interfaceCount = 1;  // more than one: a composite device
    uint8_t interfaceClass = 0xFF;
};

class SimUsbHost final : public IUsbTree, public IBulkPipes, public IDeviceChangeSource {
  public:
    static constexpr size_t kMaxOpenHandles = 4096;
    static constexpr int kMaxPorts = 255;

    explicit SimUsbHost(IClock& clock = SystemClock());
    ~SimUsbHost() override;
    SimUsbHost(const SimUsbHost&) = delete;
    SimUsbHost& operator=(const SimUsbHost&) = delete;

    // --- Building the bus ----------------------------------------------------------------------
    // Adds a controller; returns its number (1, 2, ...), which is also its root hub's location.
    // usb2 false: a full-speed-only root hub (bcdUSB 1.10).
    int AddController(bool usb2 = true, int portCount = 8);
    // Attaches a hub with portCount ports at port `port` of the hub at parentLocation ("1",
    // "1-3"); returns the new hub's location, or "" when the port does not exist or is taken.
    std::string AddHub(const std::string& parentLocation, int port, int portCount);
    // Attaches a loader device at a location (a free port of an existing hub). A device that is
    // off the bus is brought back (OnReturnedFromReset) first. False when the port does not exist,
    // is taken, or the device is attached elsewhere on this host.
    bool Plug(const std::string& location, std::shared_ptr<LoaderEmulator> device);
    bool PlugDevice(const std::string& location, const SimUsbDeviceInfo& info);
    // Detaches whatever is at the location (a hub with everything behind it).
    bool Unplug(const std::string& location);

    // --- Conditions ----------------------------------------------------------------------------
    // The current configuration value of the device or hub at a location (0: not configured).
    bool SetConfiguration(const std::string& location, uint8_t value);
    // The next `count` port-count requests of a hub ("1" for a root hub) fail as if it could not
    // be opened.
    void SetHubOpenFailures(const std::string& hubLocation, int count);
    // Connection requests for this port fail while set.
    void SetPortQueryFailure(const std::string& location, bool fail);

    // --- Observation ---------------------------------------------------------------------------
    bool IsAttached(const std::string& location) const;
    // Where a loader device is attached now, or "".
    std::string LocationOf(const LoaderEmulator* device) const;
    uint64_t NoticeCount() const;        // notices raised so far (delivered or not)
    size_t PendingReturns() const;       // devices off the bus waiting to come back
    uint64_t PortCountRequests() const;  // hub port-count requests answered or failed
    // "1-3-2" -> "1-3.2" (the device path); "" when malformed.
    static std::string NameOfLocation(const std::string& location);

    // --- IUsbTree ------------------------------------------------------------------------------
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

    // --- IBulkPipes ----------------------------------------------------------------------------
    // devicePath: the device name ("1-3.2"). Only loader devices have pipes.
    int Open(const std::string& devicePath, int mode, int* sysError) override;
    void Close(int handle) override;
    long Write(int handle, const uint8_t* data, size_t size, int* sysError) override;
    long Read(int handle, uint8_t* data, size_t size, int* sysError) override;
    bool ResetPipe(int handle, uint8_t pipe, int* sysError) override;

    // --- IDeviceChangeSource -------------------------------------------------------------------
    // Notices are delivered on the host's own thread, those raised after Start only. Lock order:
    // callbackLock_ before lock_ before a loader's own lock (loaders call back into the host only
    // without theirs). Stop must not be called from onChange.
    bool Start(std::function<void()> onChange) override;
    void Stop() override;

  private:
    struct Node {  // what is attached at one port
        bool isHub = false;
        int portCount = 0;
        SimUsbDeviceInfo info;
        std::shared_ptr<LoaderEmulator> loader;
        uint8_t configuration = 1;
        uint64_t generation = 0;
        uint64_t attachment = 0;  // the loader's number for this attachment
    };
    struct Controller {
        bool usb2 = true;
        int portCount = 0;
    };
    struct Handle {
        std::string location;
        uint64_t generation = 0;
        std::shared_ptr<LoaderEmulator> loader;
        uint64_t attachment = 0;
        int mode = 0;
    };
    struct Return {  // a device coming back after a reset
        std::shared_ptr<LoaderEmulator> loader;
        std::string location;
        uint64_t dueMs = 0;
        bool otherPort = false;
        // Still on the bus (a reset's lingering enumeration): at dueMs it leaves, and comes back
        // delayMs later unless noReturn.
        bool departFirst = false;
        bool noReturn = false;
        uint32_t delayMs = 0;
    };

    // All below with lock_ held.
    // The location of the hub a hub name stands for ("usb1" -> "1", "1-3" -> "1-3"), or "".
    std::string HubLocationOfName(const std::string& hubName) const;
    int HubPortCountLocked(const std::string& hubLocation) const;  // -1: no such hub
    bool PortFreeLocked(const std::string& location) const;
    std::string FreePortLocked(const std::string& avoid) const;
    void AttachLocked(const std::string& location, Node node);
    void AttachLoaderLocked(const std::string& location, std::shared_ptr<LoaderEmulator> loader,
                            bool restart);
    void DetachLocked(const std::string& location);
    void NoticeLocked();
    uint32_t DevnodeLocked(const std::string& name);
    bool NameOfDevnodeLocked(uint32_t devnode, std::string* name) const;
    // The attached device a device or interface name belongs to, or nullptr.
    const Node* DeviceOfNameLocked(const std::string& name, int* interfaceIndex) const;
    // What a devnode names: the device or interface name, the attached device it belongs to
    // (nullptr when none) and which of its interfaces it is (-1: the device itself).
    struct Instance {
        std::string name;
        const Node* node = nullptr;
        int interfaceIndex = -1;
    };
    Instance InstanceLocked(uint32_t devnode) const;

    void HookLoader(const std::shared_ptr<LoaderEmulator>& device);
    void OnDeviceReset(LoaderEmulator* device, const ResetRequest& request);
    void OnDeviceUnplug(LoaderEmulator* device);
    void BringBack(Return ret);
    // A lingering device leaves its port; true when it is to come back (ret then holds when).
    bool Depart(Return* ret);
    void Run();
    long Transfer(int handle, int wantMode, uint8_t* in, const uint8_t* out, size_t size,
                  int* sysError);

    IClock& clock_;
    mutable std::mutex lock_;
    std::condition_variable wake_;
    bool stop_ = false;
    std::vector<Controller> controllers_;
    std::map<std::string, Node> nodes_;  // by location
    std::map<std::string, int> hubOpenFailures_;
    std::map<std::string, bool> portQueryFailures_;
    std::map<int, Handle> handles_;
    int nextHandle_ = 0;
    uint64_t nextGeneration_ = 1;
    std::vector<Return> returns_;
    std::vector<std::shared_ptr<LoaderEmulator>> hooked_;
    std::map<std::string, uint32_t> devnodes_;
    std::vector<std::string> devnodeNames_;
    uint64_t notices_ = 0;
    uint64_t undelivered_ = 0;
    uint64_t portCountRequests_ = 0;

    std::mutex callbackLock_;  // held while a notice is delivered
    std::function<void()> onChange_;

    std::thread thread_;  // last: starts after everything above is built
};
