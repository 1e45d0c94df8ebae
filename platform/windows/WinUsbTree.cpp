#include "platform/windows/WinUsbTree.h"

#include <windows.h>
// The hub requests and their structures; <usbioctl.h> needs <windows.h> first.
#include <cfgmgr32.h>
#include <usbioctl.h>
#include <winioctl.h>

#include <cstring>
#include <cwctype>
#include <vector>

#include "support/WideText.h"

namespace {

constexpr std::size_t kMaxNameUnits = 32767;
constexpr int kMaxTreeDepth = 64;
// The connection request with room for 30 pipes, as the hub driver fills it.
constexpr std::size_t kConnectionBufferSize =
    sizeof(USB_NODE_CONNECTION_INFORMATION) + 30 * sizeof(USB_PIPE_INFO);

void SetError(int* sysError, uint32_t error) {
    if (sysError != nullptr) {
        *sysError = static_cast<int>(error);
    }
}

std::wstring HubPath(const std::string& hubName) {
    return L"\\\\.\\" + ks::WideFromUtf8(hubName);
}

// The units of a returned name, up to its first zero and within the bytes returned.
std::wstring NameUnits(const std::vector<uint8_t>& buffer, std::size_t offset, uint32_t returned) {
    std::wstring name;
    for (std::size_t at = offset; at + 1 < returned && at + 1 < buffer.size(); at += 2) {
        const wchar_t unit = static_cast<wchar_t>(buffer[at] | (buffer[at + 1] << 8));
        if (unit == L'\0') {
            break;
        }
        name += unit;
    }
    return name;
}

bool SameKey(const std::wstring& a, const std::wstring& b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (std::towupper(a[i]) != std::towupper(b[i])) {
            return false;
        }
    }
    return true;
}

// The first string of a property value (up to its first zero).
std::wstring FirstString(const std::wstring& value) {
    const std::size_t zero = value.find(L'\0');
    return zero == std::wstring::npos ? value : value.substr(0, zero);
}

class DeviceHandle {
  public:
    DeviceHandle(IWinUsbCalls& calls, const std::wstring& path, uint32_t* error)
        : calls_(calls), handle_(calls.OpenDevice(path, error)) {}
    ~DeviceHandle() {
        if (handle_ != IWinUsbCalls::kNoHandle) {
            calls_.CloseDevice(handle_);
        }
    }
    DeviceHandle(const DeviceHandle&) = delete;
    DeviceHandle& operator=(const DeviceHandle&) = delete;
    bool Valid() const { return handle_ != IWinUsbCalls::kNoHandle; }
    IWinUsbCalls::Handle Get() const { return handle_; }

  private:
    IWinUsbCalls& calls_;
    IWinUsbCalls::Handle handle_;
};

}  // namespace

UsbTreeStatus CWinUsbTree::ListHostControllers(std::vector<UsbHostControllerEntry>* out,
                                               int* sysError) {
    out->clear();
    std::vector<std::wstring> paths;
    std::vector<uint32_t> errors;
    uint32_t error = 0;
    if (!calls_.ListHostControllers(&paths, &errors, &error)) {
        SetError(sysError, error);
        return UsbTreeStatus::kRequestFailed;
    }
    for (std::size_t n = 0; n < paths.size(); ++n) {
        UsbHostControllerEntry entry;
        entry.number = static_cast<uint32_t>(n + 1);  // the location prefix: enumeration order
        entry.path = ks::Utf8FromWide(paths[n]);
        entry.detailError = n < errors.size() ? static_cast<int>(errors[n]) : 0;
        out->push_back(std::move(entry));
    }
    return UsbTreeStatus::kOk;
}

UsbTreeStatus CWinUsbTree::NameRequest(const std::string& device, uint32_t code, int port,
                                       std::string* name, int* sysError) {
    const bool rootHub = code == IOCTL_USB_GET_ROOT_HUB_NAME;
    uint32_t error = 0;
    DeviceHandle handle(calls_, rootHub ? ks::WideFromUtf8(device) : HubPath(device), &error);
    if (!handle.Valid()) {
        SetError(sysError, error);
        return UsbTreeStatus::kOpenFailed;
    }
    // Root hub name: {ULONG ActualLength; WCHAR name[]}; the port requests put the port number
    // first: {ULONG ConnectionIndex; ULONG ActualLength; WCHAR name[]}.
    const std::size_t lengthAt = rootHub ? 0 : sizeof(ULONG);
    const std::size_t nameAt = lengthAt + sizeof(ULONG);
    std::vector<uint8_t> buffer(nameAt + sizeof(WCHAR), 0);
    const ULONG index = static_cast<ULONG>(port);
    if (!rootHub) {
        std::memcpy(buffer.data(), &index, sizeof index);
    }
    uint32_t returned = 0;
    if (!calls_.Ioctl(handle.Get(), code, buffer.data(), static_cast<uint32_t>(buffer.size()),
                      buffer.data(), static_cast<uint32_t>(buffer.size()), &returned, &error) ||
        returned < nameAt) {
        SetError(sysError, error);
        return UsbTreeStatus::kRequestFailed;
    }
    ULONG actual = 0;
    std::memcpy(&actual, buffer.data() + lengthAt, sizeof actual);
    if (actual < nameAt || actual > nameAt + kMaxNameUnits * sizeof(WCHAR)) {
        SetError(sysError, ERROR_INVALID_DATA);
        return UsbTreeStatus::kRequestFailed;
    }
    buffer.assign(actual, 0);
    if (!rootHub) {
        std::memcpy(buffer.data(), &index, sizeof index);
    }
    if (!calls_.Ioctl(handle.Get(), code, buffer.data(), actual, buffer.data(), actual, &returned,
                      &error)) {
        SetError(sysError, error);
        return UsbTreeStatus::kRequestFailed;
    }
    *name = ks::Utf8FromWide(NameUnits(buffer, nameAt, returned));
    return name->empty() ? UsbTreeStatus::kRequestFailed : UsbTreeStatus::kOk;
}

UsbTreeStatus CWinUsbTree::GetRootHubName(const std::string& controllerPath, std::string* name,
                                          int* sysError) {
    return NameRequest(controllerPath, IOCTL_USB_GET_ROOT_HUB_NAME, 0, name, sysError);
}

UsbTreeStatus CWinUsbTree::GetPortDriverKey(const std::string& hubName, int port,
                                            std::string* driverKey, int* sysError) {
    return NameRequest(hubName, IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME, port, driverKey,
                       sysError);
}

UsbTreeStatus CWinUsbTree::GetPortHubName(const std::string& hubName, int port, std::string* name,
                                          int* sysError) {
    return NameRequest(hubName, IOCTL_USB_GET_NODE_CONNECTION_NAME, port, name, sysError);
}

UsbTreeStatus CWinUsbTree::GetHubPortCount(const std::string& hubName, int* portCount,
                                           int* sysError) {
    uint32_t error = 0;
    DeviceHandle handle(calls_, HubPath(hubName), &error);
    if (!handle.Valid()) {
        SetError(sysError, error);
        return UsbTreeStatus::kOpenFailed;
    }
    USB_NODE_INFORMATION node{};
    uint32_t returned = 0;
    if (!calls_.Ioctl(handle.Get(), IOCTL_USB_GET_NODE_INFORMATION, &node, sizeof node, &node,
                      sizeof node, &returned, &error) ||
        returned < sizeof node) {
        SetError(sysError, error);
        return UsbTreeStatus::kRequestFailed;
    }
    *portCount = node.u.HubInformation.HubDescriptor.bNumberOfPorts;
    return UsbTreeStatus::kOk;
}

UsbTreeStatus CWinUsbTree::GetPortConnection(const std::string& hubName, int port,
                                             UsbPortConnection* info, int* sysError) {
    uint32_t error = 0;
    DeviceHandle handle(calls_, HubPath(hubName), &error);
    if (!handle.Valid()) {
        SetError(sysError, error);
        return UsbTreeStatus::kOpenFailed;
    }
    std::vector<uint8_t> buffer(kConnectionBufferSize, 0);
    USB_NODE_CONNECTION_INFORMATION request{};
    request.ConnectionIndex = static_cast<ULONG>(port);
    std::memcpy(buffer.data(), &request, sizeof request);
    uint32_t returned = 0;
    if (!calls_.Ioctl(handle.Get(), IOCTL_USB_GET_NODE_CONNECTION_INFORMATION, buffer.data(),
                      static_cast<uint32_t>(buffer.size()), buffer.data(),
                      static_cast<uint32_t>(buffer.size()), &returned, &error) ||
        returned < sizeof(USB_NODE_CONNECTION_INFORMATION)) {
        SetError(sysError, error);
        return UsbTreeStatus::kRequestFailed;
    }
    USB_NODE_CONNECTION_INFORMATION answer{};
    std::memcpy(&answer, buffer.data(), sizeof answer);
    *info = UsbPortConnection{};
    info->connected = answer.ConnectionStatus == DeviceConnected;
    info->currentConfiguration = answer.CurrentConfigurationValue;
    info->isHub = answer.DeviceIsHub != FALSE;
    // The hub gives a device a new address at every enumeration: after a reset, another value
    // tells the device that came back from the one that was leaving.
    info->enumeration = answer.DeviceAddress;
    static_assert(sizeof(answer.DeviceDescriptor) == UsbPortConnection::kDescriptorSize);
    std::memcpy(info->deviceDescriptor, &answer.DeviceDescriptor,
                UsbPortConnection::kDescriptorSize);
    return UsbTreeStatus::kOk;
}

bool CWinUsbTree::FindInTree(uint32_t devnode, const std::wstring& key, int depth,
                             uint32_t* found) {
    if (depth > kMaxTreeDepth) {
        return false;
    }
    std::wstring driver;
    if (calls_.GetProperty(devnode, CM_DRP_DRIVER, &driver) == CR_SUCCESS &&
        SameKey(FirstString(driver), key)) {
        *found = devnode;
        return true;
    }
    uint32_t child = 0;
    if (calls_.GetChild(devnode, &child) != CR_SUCCESS) {
        return false;
    }
    for (int siblings = 0; siblings < 4096; ++siblings) {
        if (FindInTree(child, key, depth + 1, found)) {
            return true;
        }
        if (calls_.GetSibling(child, &child) != CR_SUCCESS) {
            return false;
        }
    }
    return false;
}

uint32_t CWinUsbTree::FindDevnodeByDriverKey(const std::string& driverKey) {
    uint32_t root = 0;
    uint32_t found = 0;
    if (driverKey.empty() || calls_.LocateRoot(&root) != CR_SUCCESS) {
        return 0;
    }
    return FindInTree(root, ks::WideFromUtf8(driverKey), 0, &found) ? found : 0;
}

UsbTreeStatus CWinUsbTree::GetDeviceId(uint32_t devnode, std::string* id, int* sysError) {
    std::wstring wide;
    const uint32_t rc = calls_.GetDeviceId(devnode, &wide);
    if (rc != CR_SUCCESS) {
        SetError(sysError, rc);
        return UsbTreeStatus::kRequestFailed;
    }
    *id = ks::Utf8FromWide(FirstString(wide));
    return UsbTreeStatus::kOk;
}

UsbTreeStatus CWinUsbTree::GetCompatibleIds(uint32_t devnode, std::vector<std::string>* ids,
                                            int* sysError) {
    ids->clear();
    std::wstring value;
    const uint32_t rc = calls_.GetProperty(devnode, CM_DRP_COMPATIBLEIDS, &value);
    if (rc != CR_SUCCESS) {
        SetError(sysError, rc);
        return UsbTreeStatus::kRequestFailed;
    }
    std::size_t start = 0;
    while (start < value.size()) {
        const std::size_t zero = value.find(L'\0', start);
        const std::size_t end = zero == std::wstring::npos ? value.size() : zero;
        if (end == start) {
            break;  // the empty string that ends the list
        }
        ids->push_back(ks::Utf8FromWide(value.substr(start, end - start)));
        start = end + 1;
    }
    return UsbTreeStatus::kOk;
}

UsbTreeStatus CWinUsbTree::GetFirstChild(uint32_t devnode, uint32_t* child, int* sysError) {
    const uint32_t rc = calls_.GetChild(devnode, child);
    SetError(sysError, rc);
    return rc == CR_SUCCESS ? UsbTreeStatus::kOk : UsbTreeStatus::kRequestFailed;
}

UsbTreeStatus CWinUsbTree::GetNextSibling(uint32_t devnode, uint32_t* sibling, int* sysError) {
    const uint32_t rc = calls_.GetSibling(devnode, sibling);
    SetError(sysError, rc);
    return rc == CR_SUCCESS ? UsbTreeStatus::kOk : UsbTreeStatus::kRequestFailed;
}

namespace {

// The interface class a device of each kind is opened through.
const char* InterfaceSuffix(uint32_t kind) {
    switch (kind) {
        case 4:
            return "#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}";  // disk
        case 8:
            return "#{f72fe0d4-cbcb-407d-8814-9ed673d0dd6b}";  // Android ADB interface
        case 16:
            return "#{6ac27878-a6fa-4155-ba85-f98f491d4f33}";  // portable device
        case 32:
            return "#{65E8773D-8F56-11D0-A3B9-00A0C9223196}";  // video capture
        default:
            return "#{a5dcbf10-6530-11d2-901f-00c04fb951ed}";  // USB device (ROM, loader)
    }
}

}  // namespace

std::string CWinUsbTree::DevicePath(uint32_t devnode, uint32_t kind) {
    std::string id;
    if (GetDeviceId(devnode, &id, nullptr) != UsbTreeStatus::kOk) {
        return std::string();
    }
    for (char& c : id) {
        if (c == '\\') {
            c = '#';
        }
    }
    return "\\\\?\\" + id + InterfaceSuffix(kind);
}
