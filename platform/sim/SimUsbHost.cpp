#include "platform/sim/SimUsbHost.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <new>
#include <string_view>

#include "device/UsbIds.h"
#include "platform/sim/LoaderEmulator.h"
#include "support/DecimalText.h"

namespace {

constexpr const char* kFullSpeedRootHubTag = "USB#ROOT_HUB#";
constexpr int kMaxDepth = 7;
constexpr uint64_t kTimerSliceMs = 10;

void SetError(int* err, int value) {
    if (err != nullptr) {
        *err = value;
    }
}

// 1 to 3 digits in [1, maxValue].
bool ParseNumber(std::string_view s, unsigned maxValue, unsigned* value) {
    uint64_t v = 0;
    if (!ks::ParseDecimal(s, 3, maxValue, &v) || v < 1) {
        return false;
    }
    *value = static_cast<unsigned>(v);
    return true;
}

// "N" or "N-p-q..." into its numbers.
bool ParseLocation(std::string_view location, std::vector<unsigned>* parts) {
    parts->clear();
    size_t pos = 0;
    while (true) {
        const size_t dash = location.find('-', pos);
        const std::string_view field = location.substr(
            pos, dash == std::string_view::npos ? std::string_view::npos : dash - pos);
        unsigned value = 0;
        if (!ParseNumber(field, parts->empty() ? 999U : 255U, &value)) {
            return false;
        }
        parts->push_back(value);
        if (parts->size() > static_cast<size_t>(kMaxDepth) + 1) {
            return false;
        }
        if (dash == std::string_view::npos) {
            return true;
        }
        pos = dash + 1;
    }
}

std::string ParentOf(const std::string& location) {
    const size_t dash = location.rfind('-');
    return dash == std::string::npos ? std::string() : location.substr(0, dash);
}

int PortOf(const std::string& location) {
    const size_t dash = location.rfind('-');
    return dash == std::string::npos ? 0 : std::atoi(location.c_str() + dash + 1);
}

// "1-3.2" -> "1-3-2"; "" when malformed.
std::string LocationOfName(std::string_view name) {
    const size_t dash = name.find('-');
    if (dash == std::string_view::npos || name.find('-', dash + 1) != std::string_view::npos) {
        return std::string();
    }
    std::string location(name);
    std::replace(location.begin() + static_cast<std::ptrdiff_t>(dash) + 1, location.end(), '.',
                 '-');
    std::vector<unsigned> parts;
    if (location.find('.') != std::string::npos || !ParseLocation(location, &parts)) {
        return std::string();
    }
    return location;
}

void PutLe16(uint8_t* at, uint16_t value) {
    at[0] = static_cast<uint8_t>(value & 0xFF);
    at[1] = static_cast<uint8_t>(value >> 8);
}

}  // namespace

std::string SimUsbHost::NameOfLocation(const std::string& location) {
    std::vector<unsigned> parts;
    if (!ParseLocation(location, &parts) || parts.size() < 2) {
        return std::string();
    }
    std::string name = location;
    const size_t dash = name.find('-');
    std::replace(name.begin() + static_cast<std::ptrdiff_t>(dash) + 1, name.end(), '-', '.');
    return name;
}

SimUsbHost::SimUsbHost(IClock& clock) : clock_(clock), thread_([this] { Run(); }) {}

SimUsbHost::~SimUsbHost() {
    {
        std::lock_guard<std::mutex> guard(lock_);
        stop_ = true;
    }
    wake_.notify_all();
    thread_.join();
    for (const std::shared_ptr<LoaderEmulator>& device : hooked_) {
        device->onResetRequested = nullptr;
        device->onUnplugRequested = nullptr;
        device->onReplugRequested = nullptr;
    }
}

// ---- building the bus ----

int SimUsbHost::AddController(bool usb2, int portCount) {
    std::lock_guard<std::mutex> guard(lock_);
    if (portCount < 0 || portCount > kMaxPorts || controllers_.size() >= 999) {
        return 0;
    }
    controllers_.push_back({usb2, portCount});
    return static_cast<int>(controllers_.size());
}

std::string SimUsbHost::AddHub(const std::string& parentLocation, int port, int portCount) {
    if (portCount < 0 || portCount > kMaxPorts) {
        return std::string();
    }
    std::lock_guard<std::mutex> guard(lock_);
    const std::string location = parentLocation + "-" + std::to_string(port);
    if (!PortFreeLocked(location)) {
        return std::string();
    }
    Node node;
    node.isHub = true;
    node.portCount = portCount;
    node.info.bcdUsb = 0x0200;
    node.info.deviceClass = 0x09;
    node.info.vendorId = 0xFEED;  // any hub; discovery looks at hubs only as hubs
    node.info.productId = 0x0002;
    node.info.interfaceCount = 1;
    node.info.interfaceClass = 0x09;
    AttachLocked(location, node);
    return location;
}

bool SimUsbHost::Plug(const std::string& location, std::shared_ptr<LoaderEmulator> device) {
    if (!device) {
        return false;
    }
    std::lock_guard<std::mutex> guard(lock_);
    if (!PortFreeLocked(location)) {
        return false;
    }
    for (const auto& [at, node] : nodes_) {
        if (node.loader == device) {
            return false;
        }
    }
    HookLoader(device);
    // A device taken off the bus by a reset starts again when it is plugged in.
    AttachLoaderLocked(location, std::move(device), false);
    return true;
}

bool SimUsbHost::PlugDevice(const std::string& location, const SimUsbDeviceInfo& info) {
    if (info.interfaceCount < 0 || info.interfaceCount > 32) {
        return false;
    }
    std::lock_guard<std::mutex> guard(lock_);
    if (!PortFreeLocked(location)) {
        return false;
    }
    Node node;
    node.info = info;
    node.isHub = false;
    AttachLocked(location, node);
    return true;
}

bool SimUsbHost::Unplug(const std::string& location) {
    std::lock_guard<std::mutex> guard(lock_);
    if (nodes_.find(location) == nodes_.end()) {
        return false;
    }
    DetachLocked(location);
    return true;
}

bool SimUsbHost::SetConfiguration(const std::string& location, uint8_t value) {
    std::lock_guard<std::mutex> guard(lock_);
    auto it = nodes_.find(location);
    if (it == nodes_.end()) {
        return false;
    }
    it->second.configuration = value;
    return true;
}

void SimUsbHost::SetHubOpenFailures(const std::string& hubLocation, int count) {
    std::lock_guard<std::mutex> guard(lock_);
    hubOpenFailures_[hubLocation] = count;
}

void SimUsbHost::SetPortQueryFailure(const std::string& location, bool fail) {
    std::lock_guard<std::mutex> guard(lock_);
    portQueryFailures_[location] = fail;
}

bool SimUsbHost::IsAttached(const std::string& location) const {
    std::lock_guard<std::mutex> guard(lock_);
    return nodes_.find(location) != nodes_.end();
}

std::string SimUsbHost::LocationOf(const LoaderEmulator* device) const {
    std::lock_guard<std::mutex> guard(lock_);
    for (const auto& [location, node] : nodes_) {
        if (node.loader.get() == device) {
            return location;
        }
    }
    return std::string();
}

uint64_t SimUsbHost::NoticeCount() const {
    std::lock_guard<std::mutex> guard(lock_);
    return notices_;
}

size_t SimUsbHost::PendingReturns() const {
    std::lock_guard<std::mutex> guard(lock_);
    return returns_.size();
}

uint64_t SimUsbHost::PortCountRequests() const {
    std::lock_guard<std::mutex> guard(lock_);
    return portCountRequests_;
}

// ---- bus bookkeeping (lock_ held) ----

int SimUsbHost::HubPortCountLocked(const std::string& hubLocation) const {
    if (hubLocation.find('-') == std::string::npos) {
        unsigned number = 0;
        if (!ParseNumber(hubLocation, 999, &number) || number > controllers_.size()) {
            return -1;
        }
        return controllers_[number - 1].portCount;
    }
    auto it = nodes_.find(hubLocation);
    if (it == nodes_.end() || !it->second.isHub) {
        return -1;
    }
    return it->second.portCount;
}

bool SimUsbHost::PortFreeLocked(const std::string& location) const {
    std::vector<unsigned> parts;
    if (!ParseLocation(location, &parts) || parts.size() < 2) {
        return false;
    }
    const int count = HubPortCountLocked(ParentOf(location));
    return count >= 0 && PortOf(location) <= count && nodes_.find(location) == nodes_.end();
}

std::string SimUsbHost::FreePortLocked(const std::string& avoid) const {
    std::vector<std::string> hubs;
    hubs.push_back(ParentOf(avoid));
    for (size_t i = 1; i <= controllers_.size(); ++i) {
        hubs.push_back(std::to_string(i));
    }
    for (const auto& [location, node] : nodes_) {
        if (node.isHub) {
            hubs.push_back(location);
        }
    }
    for (const std::string& hub : hubs) {
        const int count = HubPortCountLocked(hub);
        for (int port = 1; port <= count; ++port) {
            std::string location = hub + "-" + std::to_string(port);
            if (location != avoid && PortFreeLocked(location)) {
                return location;
            }
        }
    }
    return std::string();
}

void SimUsbHost::AttachLocked(const std::string& location, Node node) {
    node.generation = nextGeneration_++;
    nodes_[location] = std::move(node);
    NoticeLocked();
}

void SimUsbHost::DetachLocked(const std::string& location) {
    const std::string below = location + "-";
    for (auto it = nodes_.begin(); it != nodes_.end();) {
        if (it->first == location || it->first.compare(0, below.size(), below) == 0) {
            if (it->second.loader) {
                it->second.loader->OnDetached();  // transfers already under way now fail
            }
            it = nodes_.erase(it);
        } else {
            ++it;
        }
    }
    NoticeLocked();
}

void SimUsbHost::NoticeLocked() {
    ++notices_;
    ++undelivered_;
    wake_.notify_all();
}

uint32_t SimUsbHost::DevnodeLocked(const std::string& name) {
    auto it = devnodes_.find(name);
    if (it != devnodes_.end()) {
        return it->second;
    }
    devnodeNames_.push_back(name);
    const auto id = static_cast<uint32_t>(devnodeNames_.size());
    devnodes_.emplace(name, id);
    return id;
}

bool SimUsbHost::NameOfDevnodeLocked(uint32_t devnode, std::string* name) const {
    if (devnode == 0 || devnode > devnodeNames_.size()) {
        return false;
    }
    *name = devnodeNames_[devnode - 1];
    return true;
}

SimUsbHost::Instance SimUsbHost::InstanceLocked(uint32_t devnode) const {
    Instance instance;
    if (NameOfDevnodeLocked(devnode, &instance.name)) {
        instance.node = DeviceOfNameLocked(instance.name, &instance.interfaceIndex);
    }
    return instance;
}

const SimUsbHost::Node* SimUsbHost::DeviceOfNameLocked(const std::string& name,
                                                       int* interfaceIndex) const {
    *interfaceIndex = -1;
    std::string device = name;
    const size_t colon = name.find(':');
    if (colon != std::string::npos) {
        // "<device>:1.<interface>"
        const std::string_view rest = std::string_view(name).substr(colon + 1);
        if (rest.size() < 3 || rest.substr(0, 2) != "1.") {
            return nullptr;
        }
        unsigned index = 0;
        if (rest.substr(2) == "0") {
            index = 0;
        } else if (!ParseNumber(rest.substr(2), 255, &index)) {
            return nullptr;
        }
        *interfaceIndex = static_cast<int>(index);
        device = name.substr(0, colon);
    }
    const std::string location = LocationOfName(device);
    auto it = nodes_.find(location);
    if (location.empty() || it == nodes_.end()) {
        return nullptr;
    }
    if (*interfaceIndex >= it->second.info.interfaceCount) {
        return nullptr;
    }
    return &it->second;
}

std::string SimUsbHost::HubLocationOfName(const std::string& hubName) const {
    std::string_view name(hubName);
    const std::string_view tag(kFullSpeedRootHubTag);
    if (name.substr(0, tag.size()) == tag) {
        name.remove_prefix(tag.size());
    }
    if (name.substr(0, 3) == "usb") {
        unsigned number = 0;
        if (!ParseNumber(name.substr(3), 999, &number) || number > controllers_.size()) {
            return std::string();
        }
        return std::to_string(number);
    }
    const std::string location = LocationOfName(name);
    auto it = nodes_.find(location);
    if (location.empty() || it == nodes_.end() || !it->second.isHub) {
        return std::string();
    }
    return location;
}

// ---- resets ----

void SimUsbHost::HookLoader(const std::shared_ptr<LoaderEmulator>& device) {
    for (const std::shared_ptr<LoaderEmulator>& hooked : hooked_) {
        if (hooked == device) {
            return;
        }
    }
    hooked_.push_back(device);
    LoaderEmulator* raw = device.get();
    device->onResetRequested = [this, raw](const ResetRequest& request) {
        OnDeviceReset(raw, request);
    };
    device->onUnplugRequested = [this, raw] { OnDeviceUnplug(raw); };
    // Pulled out and plugged in again: the same path as a reset that returns at its own port.
    device->onReplugRequested = [this, raw](uint32_t returnAfterMs) {
        ResetRequest request;
        request.delayMs = returnAfterMs;
        OnDeviceReset(raw, request);
    };
}

void SimUsbHost::OnDeviceReset(LoaderEmulator* device, const ResetRequest& request) {
    std::lock_guard<std::mutex> guard(lock_);
    for (auto& [location, node] : nodes_) {
        if (node.loader.get() != device) {
            continue;
        }
        Return ret;
        ret.loader = node.loader;
        ret.location = location;
        ret.otherPort = request.returnAtOtherPort;
        if (request.lingerMs > 0) {
            ret.departFirst = true;
            ret.noReturn = request.noReturn;
            ret.delayMs = request.delayMs;
            ret.dueMs = clock_.NowMs() + request.lingerMs;
            returns_.push_back(std::move(ret));
            wake_.notify_all();
            return;
        }
        ret.dueMs = clock_.NowMs() + request.delayMs;
        DetachLocked(ret.location);  // invalidates `node`
        if (!request.noReturn) {
            returns_.push_back(std::move(ret));
            wake_.notify_all();
        }
        return;
    }
}

void SimUsbHost::OnDeviceUnplug(LoaderEmulator* device) {
    std::lock_guard<std::mutex> guard(lock_);
    for (const auto& [location, node] : nodes_) {
        if (node.loader.get() == device) {
            const std::string at = location;
            DetachLocked(at);
            return;
        }
    }
}

bool SimUsbHost::Depart(Return* ret) {
    std::lock_guard<std::mutex> guard(lock_);
    auto it = nodes_.find(ret->location);
    if (it != nodes_.end() && it->second.loader == ret->loader) {
        DetachLocked(ret->location);
    }
    ret->departFirst = false;
    ret->dueMs = clock_.NowMs() + ret->delayMs;
    return !ret->noReturn;
}

void SimUsbHost::BringBack(Return ret) {
    std::lock_guard<std::mutex> guard(lock_);
    for (const auto& [location, node] : nodes_) {
        if (node.loader == ret.loader) {
            return;  // plugged in again by hand meanwhile
        }
    }
    std::string target;
    if (ret.otherPort) {
        target = FreePortLocked(ret.location);
    } else if (PortFreeLocked(ret.location)) {
        target = ret.location;
    }
    if (target.empty()) {
        return;  // nowhere to come back to: the device stays off the bus
    }
    AttachLoaderLocked(target, std::move(ret.loader), true);
}

// The loader's start-up and the attachment happen under one hold of the bus lock. Nobody can
// reach a device that is not attached (its transfers carry an ended attachment), so the state
// looked at here is the state it is attached in: never half-started, never still off the bus.
void SimUsbHost::AttachLoaderLocked(const std::string& location,
                                    std::shared_ptr<LoaderEmulator> loader, bool restart) {
    if (restart || loader->IsOffBus()) {
        loader->OnReturnedFromReset();
    }
    Node node;
    node.attachment = loader->OnAttached();
    node.info.vendorId = loader->VendorId();
    node.info.productId = loader->ProductId();
    node.info.bcdUsb = loader->BcdUsb();
    node.loader = std::move(loader);
    AttachLocked(location, std::move(node));
}

void SimUsbHost::Run() {
    std::unique_lock<std::mutex> lock(lock_);
    while (!stop_) {
        if (undelivered_ > 0) {
            lock.unlock();
            {
                // The count is taken under the callback lock, so a listener that Start installs
                // never gets notices raised before it.
                std::lock_guard<std::mutex> callbackGuard(callbackLock_);
                uint64_t count = 0;
                {
                    std::lock_guard<std::mutex> guard(lock_);
                    count = undelivered_;
                    undelivered_ = 0;
                }
                for (uint64_t i = 0; i < count && onChange_; ++i) {
                    onChange_();
                }
            }
            lock.lock();
            continue;
        }
        if (!returns_.empty()) {
            auto next = std::min_element(
                returns_.begin(), returns_.end(),
                [](const Return& a, const Return& b) { return a.dueMs < b.dueMs; });
            const uint64_t now = clock_.NowMs();
            if (now >= next->dueMs) {
                Return ret = std::move(*next);
                returns_.erase(next);
                lock.unlock();
                if (ret.departFirst) {
                    if (Depart(&ret)) {
                        lock.lock();
                        returns_.push_back(std::move(ret));
                        continue;
                    }
                } else {
                    BringBack(std::move(ret));
                }
                lock.lock();
                continue;
            }
            const uint64_t wait = std::min(next->dueMs - now, kTimerSliceMs);
            lock.unlock();
            clock_.SleepMs(static_cast<uint32_t>(wait));
            const bool advanced = clock_.NowMs() != now;
            lock.lock();
            if (!advanced && !stop_ && undelivered_ == 0) {
                // A clock that only moves when a test moves it: do not spin.
                wake_.wait_for(lock, std::chrono::milliseconds(1));
            }
            continue;
        }
        wake_.wait(lock);
    }
}

// ---- IDeviceChangeSource ----

bool SimUsbHost::Start(std::function<void()> onChange) {
    std::lock_guard<std::mutex> callbackGuard(callbackLock_);
    {
        std::lock_guard<std::mutex> guard(lock_);
        undelivered_ = 0;  // raised while nobody listened
    }
    onChange_ = std::move(onChange);
    return true;
}

void SimUsbHost::Stop() {
    std::lock_guard<std::mutex> guard(callbackLock_);
    onChange_ = nullptr;
}

// ---- IUsbTree ----

UsbTreeStatus SimUsbHost::ListHostControllers(std::vector<UsbHostControllerEntry>* out,
                                              int* sysError) {
    try {
        std::lock_guard<std::mutex> guard(lock_);
        out->clear();
        for (size_t i = 0; i < controllers_.size(); ++i) {
            UsbHostControllerEntry entry;
            entry.number = static_cast<uint32_t>(i + 1);
            entry.path = "hc" + std::to_string(i + 1);
            out->push_back(std::move(entry));
        }
        return UsbTreeStatus::kOk;
    } catch (const std::bad_alloc&) {
        return RequestFailed(sysError, ENOMEM);
    }
}

UsbTreeStatus SimUsbHost::GetRootHubName(const std::string& controllerPath, std::string* name,
                                         int* sysError) {
    std::lock_guard<std::mutex> guard(lock_);
    unsigned number = 0;
    if (controllerPath.size() < 3 || controllerPath.compare(0, 2, "hc") != 0 ||
        !ParseNumber(std::string_view(controllerPath).substr(2), 999, &number) ||
        number > controllers_.size()) {
        SetError(sysError, ENODEV);
        return UsbTreeStatus::kOpenFailed;
    }
    const std::string hub = "usb" + std::to_string(number);
    *name = controllers_[number - 1].usb2 ? hub : kFullSpeedRootHubTag + hub;
    return UsbTreeStatus::kOk;
}

UsbTreeStatus SimUsbHost::GetHubPortCount(const std::string& hubName, int* portCount,
                                          int* sysError) {
    std::lock_guard<std::mutex> guard(lock_);
    ++portCountRequests_;
    const std::string location = HubLocationOfName(hubName);
    if (location.empty()) {
        SetError(sysError, ENODEV);
        return UsbTreeStatus::kOpenFailed;
    }
    auto failures = hubOpenFailures_.find(location);
    if (failures != hubOpenFailures_.end() && failures->second > 0) {
        --failures->second;
        SetError(sysError, EBUSY);
        return UsbTreeStatus::kOpenFailed;
    }
    *portCount = HubPortCountLocked(location);
    return UsbTreeStatus::kOk;
}

UsbTreeStatus SimUsbHost::GetPortConnection(const std::string& hubName, int port,
                                            UsbPortConnection* info, int* sysError) {
    std::lock_guard<std::mutex> guard(lock_);
    *info = UsbPortConnection();
    const std::string hub = HubLocationOfName(hubName);
    if (hub.empty()) {
        SetError(sysError, ENODEV);
        return UsbTreeStatus::kOpenFailed;
    }
    if (port < 1 || port > HubPortCountLocked(hub)) {
        return RequestFailed(sysError, EINVAL);
    }
    const std::string location = hub + "-" + std::to_string(port);
    auto failing = portQueryFailures_.find(location);
    if (failing != portQueryFailures_.end() && failing->second) {
        return RequestFailed(sysError, EIO);
    }
    auto it = nodes_.find(location);
    if (it == nodes_.end()) {
        return UsbTreeStatus::kOk;
    }
    const Node& node = it->second;
    uint8_t* d = info->deviceDescriptor;
    d[0] = UsbPortConnection::kDescriptorSize;
    d[1] = 0x01;
    PutLe16(d + 2, node.info.bcdUsb);
    d[4] = node.info.deviceClass;
    d[7] = 64;
    PutLe16(d + 8, node.info.vendorId);
    PutLe16(d + 10, node.info.productId);
    PutLe16(d + 12, 0x0100);
    d[14] = 1;
    d[15] = 2;
    d[16] = node.info.serialIndex;
    d[17] = 1;
    info->connected = true;
    info->currentConfiguration = node.configuration;
    info->isHub = node.isHub;
    info->enumeration = node.generation;
    return UsbTreeStatus::kOk;
}

UsbTreeStatus SimUsbHost::GetPortDriverKey(const std::string& hubName, int port,
                                           std::string* driverKey, int* sysError) {
    std::lock_guard<std::mutex> guard(lock_);
    const std::string hub = HubLocationOfName(hubName);
    if (hub.empty()) {
        SetError(sysError, ENODEV);
        return UsbTreeStatus::kOpenFailed;
    }
    const std::string location = hub + "-" + std::to_string(port);
    if (nodes_.find(location) == nodes_.end()) {
        return RequestFailed(sysError, ENOENT);
    }
    *driverKey = NameOfLocation(location);
    return UsbTreeStatus::kOk;
}

UsbTreeStatus SimUsbHost::GetPortHubName(const std::string& hubName, int port, std::string* name,
                                         int* sysError) {
    std::string key;
    const UsbTreeStatus st = GetPortDriverKey(hubName, port, &key, sysError);
    if (st != UsbTreeStatus::kOk) {
        return st;
    }
    std::lock_guard<std::mutex> guard(lock_);
    auto it = nodes_.find(LocationOfName(key));
    if (it == nodes_.end() || !it->second.isHub) {
        return RequestFailed(sysError, ENOTDIR);
    }
    *name = key;
    return UsbTreeStatus::kOk;
}

uint32_t SimUsbHost::FindDevnodeByDriverKey(const std::string& driverKey) {
    std::lock_guard<std::mutex> guard(lock_);
    std::string key = driverKey;
    std::transform(key.begin(), key.end(), key.begin(), [](char c) {
        return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    });
    const std::string location = LocationOfName(key);
    if (location.empty() || nodes_.find(location) == nodes_.end()) {
        return 0;
    }
    return DevnodeLocked(key);
}

UsbTreeStatus SimUsbHost::GetDeviceId(uint32_t devnode, std::string* id, int* sysError) {
    std::lock_guard<std::mutex> guard(lock_);
    const Instance d = InstanceLocked(devnode);
    if (d.node == nullptr) {
        return RequestFailed(sysError, ENODEV);
    }
    *id = UsbInstanceId(d.node->info.vendorId, d.node->info.productId, d.interfaceIndex, d.name);
    return UsbTreeStatus::kOk;
}

UsbTreeStatus SimUsbHost::GetCompatibleIds(uint32_t devnode, std::vector<std::string>* ids,
                                           int* sysError) {
    std::lock_guard<std::mutex> guard(lock_);
    const Instance d = InstanceLocked(devnode);
    if (d.node == nullptr) {
        return RequestFailed(sysError, ENODEV);
    }
    ids->clear();
    if (d.interfaceIndex >= 0) {
        ids->push_back("USB\\Class_" + UsbHex(d.node->info.interfaceClass, 2));
    } else {
        ids->push_back("USB\\DevClass_" + UsbHex(d.node->info.deviceClass, 2));
        if (d.node->info.interfaceCount > 1) {
            ids->push_back("USB\\COMPOSITE");
        }
    }
    return UsbTreeStatus::kOk;
}

UsbTreeStatus SimUsbHost::GetFirstChild(uint32_t devnode, uint32_t* child, int* sysError) {
    std::lock_guard<std::mutex> guard(lock_);
    const Instance d = InstanceLocked(devnode);
    if (d.node == nullptr) {
        return RequestFailed(sysError, ENODEV);
    }
    if (d.interfaceIndex >= 0 || d.node->info.interfaceCount < 1) {
        return RequestFailed(sysError, ENOENT);
    }
    *child = DevnodeLocked(d.name + ":1.0");
    return UsbTreeStatus::kOk;
}

UsbTreeStatus SimUsbHost::GetNextSibling(uint32_t devnode, uint32_t* sibling, int* sysError) {
    std::lock_guard<std::mutex> guard(lock_);
    const Instance d = InstanceLocked(devnode);
    if (d.node == nullptr) {
        return RequestFailed(sysError, ENODEV);
    }
    if (d.interfaceIndex < 0 || d.interfaceIndex + 1 >= d.node->info.interfaceCount) {
        return RequestFailed(sysError, ENOENT);
    }
    *sibling = DevnodeLocked(d.name.substr(0, d.name.find(':')) + ":1." +
                             std::to_string(d.interfaceIndex + 1));
    return UsbTreeStatus::kOk;
}

std::string SimUsbHost::DevicePath(uint32_t devnode, uint32_t /*kind*/) {
    std::lock_guard<std::mutex> guard(lock_);
    std::string name;
    return NameOfDevnodeLocked(devnode, &name) ? name : std::string();
}

// ---- IBulkPipes ----

int SimUsbHost::Open(const std::string& devicePath, int mode, int* sysError) {
    if (mode != kPipeIn && mode != kPipeOut && mode != kPipeDevice) {
        SetError(sysError, EINVAL);
        return kInvalidHandle;
    }
    try {
        std::lock_guard<std::mutex> guard(lock_);
        const std::string location = LocationOfName(devicePath);
        auto it = nodes_.find(location);
        if (location.empty() || it == nodes_.end() || !it->second.loader) {
            SetError(sysError, ENODEV);
            return kInvalidHandle;
        }
        if (handles_.size() >= kMaxOpenHandles) {
            SetError(sysError, EMFILE);
            return kInvalidHandle;
        }
        do {
            nextHandle_ = nextHandle_ == INT_MAX ? 0 : nextHandle_ + 1;
        } while (handles_.count(nextHandle_) != 0);
        handles_[nextHandle_] =
            Handle{location, it->second.generation, it->second.loader, it->second.attachment, mode};
        return nextHandle_;
    } catch (const std::bad_alloc&) {
        SetError(sysError, ENOMEM);
        return kInvalidHandle;
    }
}

void SimUsbHost::Close(int handle) {
    std::lock_guard<std::mutex> guard(lock_);
    handles_.erase(handle);
}

long SimUsbHost::Transfer(int handle, int wantMode, uint8_t* in, const uint8_t* out, size_t size,
                          int* sysError) {
    std::shared_ptr<LoaderEmulator> device;
    uint64_t attachment = 0;
    {
        std::lock_guard<std::mutex> guard(lock_);
        auto it = handles_.find(handle);
        if (it == handles_.end() || it->second.mode != wantMode) {
            SetError(sysError, EBADF);
            return -1;
        }
        auto node = nodes_.find(it->second.location);
        if (node == nodes_.end() || node->second.generation != it->second.generation) {
            SetError(sysError, ENODEV);  // the device left its port since the open
            return -1;
        }
        device = it->second.loader;
        attachment = it->second.attachment;
    }
    // The device may leave its port once the lock is released; the attachment number makes a
    // transfer that was started before that fail instead of reaching the device's next life.
    const long result = in != nullptr ? device->BulkIn(in, size, attachment)
                                      : device->BulkOut(out, size, attachment);
    if (result < 0) {
        SetError(sysError, EPIPE);
    }
    return result;
}

long SimUsbHost::Write(int handle, const uint8_t* data, size_t size, int* sysError) {
    return Transfer(handle, kPipeOut, nullptr, data, size, sysError);
}

long SimUsbHost::Read(int handle, uint8_t* data, size_t size, int* sysError) {
    if (data == nullptr) {
        SetError(sysError, EINVAL);
        return -1;
    }
    return Transfer(handle, kPipeIn, data, nullptr, size, sysError);
}

bool SimUsbHost::ResetPipe(int handle, uint8_t /*pipe*/, int* sysError) {
    std::shared_ptr<LoaderEmulator> device;
    uint64_t attachment = 0;
    {
        std::lock_guard<std::mutex> guard(lock_);
        auto it = handles_.find(handle);
        if (it == handles_.end()) {
            SetError(sysError, EBADF);
            return false;
        }
        auto node = nodes_.find(it->second.location);
        if (node == nodes_.end() || node->second.generation != it->second.generation ||
            !it->second.loader) {
            SetError(sysError, ENODEV);  // the device left its port since the open
            return false;
        }
        device = it->second.loader;
        attachment = it->second.attachment;
    }
    device->ClearHalt(attachment);
    return true;
}
