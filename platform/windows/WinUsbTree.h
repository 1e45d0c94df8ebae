// IUsbTree on Windows: the host controllers through SetupAPI, root hub names, hub port counts
// and port connections through the hub requests, device nodes through the configuration
// manager. The walk itself (device/ZRScan) is the same as on Linux.
#pragma once

#include "device/UsbTree.h"
#include "platform/windows/WinUsbCalls.h"

class CWinUsbTree final : public IUsbTree {
  public:
    explicit CWinUsbTree(IWinUsbCalls& calls) : calls_(calls) {}

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
    // "\\?\" + the device instance ID with every '\' turned into '#'; ZRScan appends the
    // interface suffix of the kind.
    std::string DevicePath(uint32_t devnode, uint32_t kind) override;

  private:
    // A name-returning request (root hub name, driver key, attached hub name): asked once for
    // the length, then with a buffer of that length. The name is bounded to 32,767 units.
    UsbTreeStatus NameRequest(const std::string& device, uint32_t code, int port, std::string* name,
                              int* sysError);
    bool FindInTree(uint32_t devnode, const std::wstring& key, int depth, uint32_t* found);

    IWinUsbCalls& calls_;
};
