// A scripted stand-in for the Win32 USB calls where Wine has no USB stack: host controllers,
// hubs with their ports, the device-node tree, WinUSB sessions with queued reads, and the maker's
// driver's files (the device path, PIPE00 and PIPE01, its reset request) over the same device.
// The hub requests are answered in the system's own structure layouts (<usbioctl.h>), so the code
// under test parses what Windows gives it. Every call is recorded.
#pragma once

#include <windows.h>
// After <windows.h>.
#include <cfgmgr32.h>
#include <usbioctl.h>
#include <winioctl.h>

#include <cstring>
#include <deque>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "platform/sim/LoaderEmulator.h"
#include "platform/windows/WinUsbCalls.h"

class CFakeWinUsbCalls final : public IWinUsbCalls {
  public:
    struct Port {
        bool connected = true;
        uint8_t configuration = 1;
        bool isHub = false;
        uint16_t vendor = 0, product = 0, bcdUsb = 0x0200;
        uint8_t serialIndex = 3;
        uint16_t address = 5;
        std::wstring driverKey;  // the device's driver key
        std::wstring hubName;    // for a hub: the name of the hub attached here
    };
    struct Node {
        std::wstring id;
        std::wstring driver;
        std::wstring compatible;  // multi-string
        std::vector<uint32_t> children;
    };

    // Script.
    std::vector<std::wstring> controllers;             // "" for one whose detail cannot be read
    std::map<std::wstring, std::wstring> rootHubs;     // controller path -> root hub name
    std::map<std::wstring, std::map<int, Port>> hubs;  // hub name -> ports
    std::map<std::wstring, int> portCounts;            // hub name -> number of ports
    std::map<uint32_t, Node> nodes;                    // devnode -> node; 1 is the root
    std::map<uint32_t, std::wstring> services;  // devnode -> its driver's service (CM_DRP_SERVICE)
    std::map<std::wstring, int> failOpens;      // path -> times its open fails first
    // WinUSB: sessions by path, bulk endpoints, and what the device answers.
    uint8_t bulkIn = 0x81, bulkOut = 0x02;
    std::deque<std::vector<uint8_t>> reads;  // one answer per ReadPipe; empty = time-out
    std::set<uint8_t> halted;                // endpoints that stall until reset
    bool gone = false;                       // removed: WinUSB calls fail with ERROR_BAD_COMMAND
    std::vector<uint8_t> cleared;            // endpoints reset successfully, in order
    std::vector<std::string> calls;          // the record
    // Boards behind their interface paths: a transfer on a session or file of such a path goes to
    // the emulated loader (a stall is ERROR_GEN_FAILURE), a reset clears its halts.
    std::map<std::wstring, LoaderEmulator*> boards;

    bool ListHostControllers(std::vector<std::wstring>* paths, std::vector<uint32_t>* errors,
                             uint32_t*) override {
        calls.push_back("list");
        *paths = controllers;
        errors->clear();
        for (const auto& p : controllers) {
            errors->push_back(p.empty() ? ERROR_INSUFFICIENT_BUFFER : 0);
        }
        return true;
    }

    Handle OpenDevice(const std::wstring& path, uint32_t* error) override {
        calls.push_back("open " + Narrow(path));
        auto fail = failOpens.find(path);
        if (fail != failOpens.end() && fail->second > 0) {
            --fail->second;
            *error = ERROR_ACCESS_DENIED;
            return kNoHandle;
        }
        const std::wstring name = path.rfind(L"\\\\.\\", 0) == 0 ? path.substr(4) : path;
        if (rootHubs.count(path) == 0 && hubs.count(name) == 0) {
            *error = ERROR_FILE_NOT_FOUND;
            return kNoHandle;
        }
        open_.push_back(path);
        return static_cast<Handle>(open_.size() - 1);
    }
    void CloseDevice(Handle handle) override {
        if (handle >= kFileBase) {
            calls.push_back("close-file");
        }
        ++closed;
    }

    bool Ioctl(Handle handle, uint32_t code, const void* in, uint32_t inSize, void* out,
               uint32_t outSize, uint32_t* returned, uint32_t* error) override {
        if (handle >= kFileBase) {
            return DriverRequest(handle, code, in, inSize, outSize, returned, error);
        }
        const std::wstring path = open_.at(static_cast<std::size_t>(handle));
        const std::wstring hub = path.rfind(L"\\\\.\\", 0) == 0 ? path.substr(4) : path;
        ULONG port = 0;
        if (inSize >= sizeof port && code != IOCTL_USB_GET_NODE_INFORMATION) {
            std::memcpy(&port, in, sizeof port);
        }
        calls.push_back("ioctl " + std::to_string(code) + " " + Narrow(hub) + " " +
                        std::to_string(port));
        auto* o = static_cast<uint8_t*>(out);
        // The root hub name and the node information share one code: a controller's handle
        // answers the first, a hub's the second.
        if (code == IOCTL_USB_GET_ROOT_HUB_NAME && rootHubs.count(path) != 0) {
            return Name(rootHubs.at(path), false, 0, o, outSize, returned);
        }
        switch (code) {
            case IOCTL_USB_GET_NODE_INFORMATION: {
                USB_NODE_INFORMATION node{};
                node.NodeType = UsbHub;
                node.u.HubInformation.HubDescriptor.bNumberOfPorts =
                    static_cast<UCHAR>(portCounts.at(hub));
                std::memcpy(o, &node, sizeof node);
                *returned = sizeof node;
                return true;
            }
            case IOCTL_USB_GET_NODE_CONNECTION_INFORMATION: {
                USB_NODE_CONNECTION_INFORMATION c{};
                c.ConnectionIndex = port;
                const auto& ports = hubs.at(hub);
                const auto it = ports.find(static_cast<int>(port));
                if (it == ports.end()) {
                    c.ConnectionStatus = NoDeviceConnected;
                } else {
                    const Port& p = it->second;
                    c.ConnectionStatus = p.connected ? DeviceConnected : NoDeviceConnected;
                    c.CurrentConfigurationValue = p.configuration;
                    c.DeviceIsHub = p.isHub;
                    c.DeviceAddress = p.address;
                    c.DeviceDescriptor.bLength = 18;
                    c.DeviceDescriptor.bDescriptorType = 1;
                    c.DeviceDescriptor.bcdUSB = p.bcdUsb;
                    c.DeviceDescriptor.idVendor = p.vendor;
                    c.DeviceDescriptor.idProduct = p.product;
                    c.DeviceDescriptor.iSerialNumber = p.serialIndex;
                }
                std::memcpy(o, &c, sizeof c);
                *returned = sizeof c;
                return true;
            }
            case IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME:
            case IOCTL_USB_GET_NODE_CONNECTION_NAME: {
                const auto& ports = hubs.at(hub);
                const auto it = ports.find(static_cast<int>(port));
                if (it == ports.end()) {
                    *error = ERROR_INVALID_PARAMETER;
                    return false;
                }
                const std::wstring& name = code == IOCTL_USB_GET_NODE_CONNECTION_NAME
                                               ? it->second.hubName
                                               : it->second.driverKey;
                return Name(name, true, port, o, outSize, returned);
            }
            default:
                *error = ERROR_INVALID_FUNCTION;
                return false;
        }
    }

    uint32_t LocateRoot(uint32_t* devnode) override {
        *devnode = 1;
        return CR_SUCCESS;
    }
    uint32_t GetChild(uint32_t devnode, uint32_t* child) override {
        const auto it = nodes.find(devnode);
        if (it == nodes.end() || it->second.children.empty()) {
            return CR_NO_SUCH_DEVNODE;
        }
        *child = it->second.children.front();
        return CR_SUCCESS;
    }
    uint32_t GetSibling(uint32_t devnode, uint32_t* sibling) override {
        for (const auto& [id, node] : nodes) {
            for (std::size_t i = 0; i + 1 < node.children.size(); ++i) {
                if (node.children[i] == devnode) {
                    *sibling = node.children[i + 1];
                    return CR_SUCCESS;
                }
            }
        }
        return CR_NO_SUCH_DEVNODE;
    }
    uint32_t GetDeviceId(uint32_t devnode, std::wstring* id) override {
        const auto it = nodes.find(devnode);
        if (it == nodes.end()) {
            return CR_NO_SUCH_DEVNODE;
        }
        *id = it->second.id;
        return CR_SUCCESS;
    }
    uint32_t GetProperty(uint32_t devnode, uint32_t property, std::wstring* value) override {
        const auto it = nodes.find(devnode);
        if (it == nodes.end()) {
            return CR_NO_SUCH_DEVNODE;
        }
        const std::wstring& v = property == CM_DRP_DRIVER    ? it->second.driver
                                : property == CM_DRP_SERVICE ? services[devnode]
                                                             : it->second.compatible;
        if (v.empty()) {
            return CR_NO_SUCH_VALUE;
        }
        *value = v + std::wstring(1, L'\0');
        return CR_SUCCESS;
    }

    uint32_t LocateDevnode(const std::wstring& instanceId, uint32_t* devnode) override {
        calls.push_back("locate " + Narrow(instanceId));
        for (const auto& [number, node] : nodes) {
            if (node.id == instanceId) {
                *devnode = number;
                return CR_SUCCESS;
            }
        }
        return CR_NO_SUCH_DEVNODE;
    }

    // The maker's driver: files below a USB device interface path that it serves (driverPaths;
    // any such path when empty). Gone, the device's files no longer open and open handles fail.
    std::set<std::wstring> driverPaths;
    Handle OpenFile(const std::wstring& name, uint32_t access, uint32_t share,
                    uint32_t* error) override {
        calls.push_back("file " + Narrow(name) + " " + Access(access, false) + " share " +
                        Access(share, true));
        const std::size_t slash = name.rfind(L'\\');
        const std::wstring leaf = slash == std::wstring::npos ? name : name.substr(slash);
        const bool pipe = leaf == L"\\PIPE00" || leaf == L"\\PIPE01";
        const std::wstring device = pipe ? name.substr(0, slash) : name;
        const bool served =
            driverPaths.empty()
                ? device.find(L"#{a5dcbf10-6530-11d2-901f-00c04fb951ed}") != std::wstring::npos
                : driverPaths.count(device) != 0;
        if (gone || !served) {
            *error = ERROR_FILE_NOT_FOUND;
            return kNoHandle;
        }
        files_.push_back(pipe ? (leaf == L"\\PIPE00" ? bulkIn : bulkOut) : 0);
        const Handle handle = kFileBase + static_cast<Handle>(files_.size() - 1);
        pathOf_[handle] = device;
        return handle;
    }
    bool ReadFromFile(Handle handle, uint8_t* data, uint32_t size, uint32_t timeoutMs,
                      uint32_t* done, uint32_t* error) override {
        return FileOf("readfile", handle, bulkIn, size, timeoutMs, error) &&
               ReadPipe(handle, bulkIn, data, size, done, error, false);
    }
    bool WriteToFile(Handle handle, const uint8_t* data, uint32_t size, uint32_t timeoutMs,
                     uint32_t* done, uint32_t* error) override {
        return FileOf("writefile", handle, bulkOut, size, timeoutMs, error) &&
               WritePipe(handle, bulkOut, data, size, done, error, false);
    }
    // Records a transfer on a pipe file; false (access denied) when the file is not endpoint's.
    bool FileOf(const char* what, Handle handle, uint8_t endpoint, uint32_t size,
                uint32_t timeoutMs, uint32_t* error) {
        calls.push_back(std::string(what) + " " + std::to_string(size) + " within " +
                        std::to_string(timeoutMs));
        if (FileEndpoint(handle) != endpoint) {
            *error = ERROR_ACCESS_DENIED;
            return false;
        }
        return true;
    }

    Handle OpenWinUsb(const std::wstring& path, uint8_t* in, uint8_t* out,
                      uint32_t* error) override {
        calls.push_back("winusb " + Narrow(path));
        if (path.find(L"#{a5dcbf10-6530-11d2-901f-00c04fb951ed}") == std::wstring::npos) {
            *error = ERROR_FILE_NOT_FOUND;
            return kNoHandle;
        }
        *in = bulkIn;
        *out = bulkOut;
        pathOf_[++sessions_] = path;
        return sessions_;
    }
    void CloseWinUsb(Handle) override { calls.push_back("winusb-close"); }
    bool SetPipeTimeout(Handle, uint8_t pipe, uint32_t ms, uint32_t* error) override {
        calls.push_back("timeout " + std::to_string(pipe) + " " + std::to_string(ms));
        return !Gone(error);
    }
    bool WritePipe(Handle handle, uint8_t pipe, const uint8_t* data, uint32_t size, uint32_t* done,
                   uint32_t* error) override {
        return WritePipe(handle, pipe, data, size, done, error, true);
    }
    bool WritePipe(Handle handle, uint8_t pipe, const uint8_t* data, uint32_t size, uint32_t* done,
                   uint32_t* error, bool record) {
        if (record) {
            calls.push_back("write " + std::to_string(pipe) + " " + std::to_string(size));
        }
        if (Gone(error) || Halted(pipe, error)) {
            return false;
        }
        if (LoaderEmulator* board = BoardOf(handle)) {
            const long n = board->BulkOut(data, size);
            return Moved(n, done, error);
        }
        written.emplace_back(data, data + size);
        *done = size;
        return true;
    }
    bool ReadPipe(Handle handle, uint8_t pipe, uint8_t* data, uint32_t size, uint32_t* done,
                  uint32_t* error) override {
        return ReadPipe(handle, pipe, data, size, done, error, true);
    }
    bool ReadPipe(Handle handle, uint8_t pipe, uint8_t* data, uint32_t size, uint32_t* done,
                  uint32_t* error, bool record) {
        if (record) {
            calls.push_back("read " + std::to_string(pipe) + " " + std::to_string(size));
        }
        if (Gone(error) || Halted(pipe, error)) {
            return false;
        }
        if (LoaderEmulator* board = BoardOf(handle)) {
            return Moved(board->BulkIn(data, size), done, error);
        }
        if (reads.empty() || reads.front().empty()) {
            if (!reads.empty()) {
                reads.pop_front();
            }
            *error = ERROR_SEM_TIMEOUT;
            return false;
        }
        const std::vector<uint8_t> answer = reads.front();
        reads.pop_front();
        const uint32_t n = std::min<uint32_t>(size, static_cast<uint32_t>(answer.size()));
        std::memcpy(data, answer.data(), n);
        *done = n;
        return true;
    }
    bool ResetPipe(Handle handle, uint8_t pipe, uint32_t* error) override {
        calls.push_back("reset " + std::to_string(pipe));
        if (Gone(error)) {
            return false;
        }
        if (LoaderEmulator* board = BoardOf(handle)) {
            board->ClearHalt();
        }
        halted.erase(pipe);
        cleared.push_back(pipe);
        return true;
    }
    bool Gone(uint32_t* error) const {
        if (gone) {
            *error = ERROR_BAD_COMMAND;
        }
        return gone;
    }
    bool Halted(uint8_t pipe, uint32_t* error) const {
        if (halted.count(pipe) != 0) {
            *error = ERROR_GEN_FAILURE;  // what WinUSB answers for a stalled endpoint
            return true;
        }
        return false;
    }

    int closed = 0;
    std::vector<std::vector<uint8_t>> written;

    static std::string Narrow(const std::wstring& w) {
        std::string s;
        for (wchar_t c : w) {
            s += c < 0x80 ? static_cast<char>(c) : '?';
        }
        return s;
    }

  private:
    static constexpr Handle kFileBase = Handle{1} << 20;
    // The endpoint behind a file handle: 0 for the device path itself, which moves no data.
    uint8_t FileEndpoint(Handle handle) const {
        return files_.at(static_cast<std::size_t>(handle - kFileBase));
    }
    // The driver's reset request on the device path: one input byte, 0 the IN pipe, 1 the OUT
    // pipe, 2 both; on a pipe file, with another size or code, it is an invalid request.
    bool DriverRequest(Handle handle, uint32_t code, const void* in, uint32_t inSize,
                       uint32_t outSize, uint32_t* returned, uint32_t* error) {
        const uint8_t selector = inSize == 1 ? *static_cast<const uint8_t*>(in) : 0xEE;
        calls.push_back("request " + std::to_string(code) + " " + std::to_string(inSize) + " " +
                        std::to_string(selector) + " out " + std::to_string(outSize));
        if (Gone(error)) {
            return false;
        }
        if (code != 0x8000A008 || inSize != 1 || selector > 2 || FileEndpoint(handle) != 0) {
            *error = ERROR_INVALID_FUNCTION;
            return false;
        }
        if (LoaderEmulator* board = BoardOf(handle)) {
            board->ClearHalt();
        }
        for (uint8_t endpoint : {bulkIn, bulkOut}) {
            if (selector == 2 || (selector == 0) == (endpoint == bulkIn)) {
                halted.erase(endpoint);
                cleared.push_back(endpoint);
            }
        }
        *returned = 0;
        return true;
    }
    static std::string Access(uint32_t bits, bool share) {
        const uint32_t read = share ? FILE_SHARE_READ : GENERIC_READ;
        const uint32_t write = share ? FILE_SHARE_WRITE : GENERIC_WRITE;
        if ((bits & ~(read | write)) != 0) {
            return std::to_string(bits);
        }
        const bool r = (bits & read) != 0, w = (bits & write) != 0;
        return r && w ? "read+write" : r ? "read" : w ? "write" : "none";
    }

    LoaderEmulator* BoardOf(Handle handle) const {
        const auto path = pathOf_.find(handle);
        if (path == pathOf_.end()) {
            return nullptr;
        }
        const auto board = boards.find(path->second);
        return board == boards.end() ? nullptr : board->second;
    }
    static bool Moved(long n, uint32_t* done, uint32_t* error) {
        if (n < 0) {
            *error = ERROR_GEN_FAILURE;
            return false;
        }
        *done = static_cast<uint32_t>(n);
        return true;
    }

    std::vector<uint8_t> files_;             // the endpoint behind each file opened
    std::map<Handle, std::wstring> pathOf_;  // the interface path of each session or file
    // A name answer as the hub driver gives it: a buffer too small for the name still succeeds
    // and says the length needed.
    static bool Name(const std::wstring& name, bool withIndex, ULONG port, uint8_t* out,
                     uint32_t outSize, uint32_t* returned) {
        const uint32_t header = withIndex ? 8 : 4;
        const ULONG actual = header + static_cast<ULONG>((name.size() + 1) * sizeof(wchar_t));
        if (withIndex) {
            std::memcpy(out, &port, 4);
        }
        std::memcpy(out + (withIndex ? 4 : 0), &actual, 4);
        if (outSize < actual) {
            *returned = outSize;
            return true;
        }
        std::memcpy(out + header, name.c_str(), (name.size() + 1) * sizeof(wchar_t));
        *returned = actual;
        return true;
    }

    std::vector<std::wstring> open_;
    Handle sessions_ = 100;
};
