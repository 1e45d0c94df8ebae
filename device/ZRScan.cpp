#include "device/ZRScan.h"

#include <cstdarg>
#include <new>

#include "support/LogTo.h"

namespace {

constexpr const char* kFullSpeedRootHubTag = "USB#ROOT_HUB#";
constexpr int kMaxPortCount = 255;  // a hub descriptor counts its ports in one byte

bool IsInterfaceKind(uint32_t kind) {
    return kind == DEVICE_KIND_MSC || kind == DEVICE_KIND_ADB || kind == DEVICE_KIND_MTP ||
           kind == DEVICE_KIND_UVC;
}

uint32_t ChipKind(uint16_t bcdUsb) {
    return (bcdUsb & 1U) != 0 ? DEVICE_KIND_LOADER : DEVICE_KIND_ROM;
}

}  // namespace

ZRScan::ZRScan(uint32_t ifaceLimitSec, uint32_t chipLimitSec, int scanAll, IUsbTree& tree,
               const DeviceTables& tables, IClock& clock, CLoggerBase* log)
    : ifaceLimitSec_(ifaceLimitSec),
      chipLimitSec_(chipLimitSec),
      scanAll_(scanAll),
      tree_(tree),
      tables_(tables),
      clock_(clock),
      log_(log) {}

void ZRScan::Log(const char* format, ...) const {
    va_list args;
    va_start(args, format);
    VLogTo(log_, format, args);
    va_end(args);
}

void ZRScan::LoadDeviceTables() {
    chipTable_.clear();
    mscList_.clear();
    mtpList_.clear();
    adbList_.clear();
    uvcList_.clear();
    try {
        for (const DeviceTables::ChipRow& row : tables_.ChipRows()) {
            chipTable_.push_back(
                {row.vendorId, row.productId, static_cast<uint32_t>(row.chipCode)});
        }
        const uint16_t vendor = tables_.VendorId();
        if (vendor == 0) {
            return;  // no vendor configured: the mode lists would name vendor 0
        }
        mscList_ = {{vendor, 0x0000, 0}, {vendor, 0x0010, 0}};
        mtpList_ = {{vendor, 0x0001, 0}};
        adbList_ = {{vendor, 0x0006, 0}, {vendor, 0x0011, 0}};
        uvcList_ = {{vendor, 0x0016, 0}};
    } catch (const std::bad_alloc&) {
        chipTable_.clear();
        mscList_.clear();
        mtpList_.clear();
        adbList_.clear();
        uvcList_.clear();
    }
}

// ---- the walk ----

void ZRScan::Walk() {
    walked_.clear();
    hubs_.clear();
    std::vector<UsbHostControllerEntry> list;
    int err = 0;
    if (tree_.ListHostControllers(&list, &err) != UsbTreeStatus::kOk) {
        Log("Error:EnumerateHostControllers-->SetupDiGetClassDevs failed,err=0x%x",
            static_cast<unsigned>(err));
    } else {
        for (const UsbHostControllerEntry& entry : list) {
            if (entry.path.empty()) {
                Log("Error:EnumerateHostControllers-->SetupDiGetDeviceInterfaceDetail "
                    "failed,err=0x%x",
                    static_cast<unsigned>(entry.detailError));
                continue;
            }
            size_t index = 0;
            while (index < controllers_.size() && controllers_[index].path != entry.path) {
                ++index;
            }
            if (index == controllers_.size()) {
                Controller controller;
                controller.path = entry.path;
                controller.prefix = std::to_string(entry.number);
                controllers_.push_back(std::move(controller));
            }
            EnumerateHostController(controllers_[index]);
        }
    }
    previousHubs_ = std::move(hubs_);
    hubs_.clear();
}

void ZRScan::EnumerateHostController(Controller& controller) {
    if (controller.rootHubName.empty()) {
        std::string name;
        int err = 0;
        const UsbTreeStatus st = tree_.GetRootHubName(controller.path, &name, &err);
        if (st == UsbTreeStatus::kOpenFailed) {
            Log("Error:EnumerateHostController-->CreateFile failed,err=0x%x",
                static_cast<unsigned>(err));
            return;
        }
        if (st != UsbTreeStatus::kOk || name.empty()) {
            Log("Error:EnumerateHostController-->GetRootHubName failed!");
            return;
        }
        controller.rootHubName = name;
        controller.flag = name.find(kFullSpeedRootHubTag) == std::string::npos ? 1 : 0;
    }
    if (scanAll_ == 0 && controller.flag == 0) {
        return;
    }
    if (controller.portCount == -1) {
        controller.portCount = QueryHubPortCount(controller.rootHubName);
    }
    if (controller.portCount < 0) {
        return;
    }
    EnumerateHubPorts(controller.rootHubName, controller.prefix, controller.flag,
                      controller.portCount, 0);
}

int ZRScan::QueryHubPortCount(const std::string& hubName) {
    int err = 0;
    for (int attempt = 1; attempt <= kHubOpenAttempts; ++attempt) {
        int count = -1;
        const UsbTreeStatus st = tree_.GetHubPortCount(hubName, &count, &err);
        if (st == UsbTreeStatus::kOk) {
            if (count < 0 || count > kMaxPortCount) {
                Log("Error:EnumerateHub-->DeviceIoControl failed,err=0x%x", 0U);
                return -1;
            }
            return count;
        }
        if (st != UsbTreeStatus::kOpenFailed) {
            Log("Error:EnumerateHub-->DeviceIoControl failed,err=0x%x", static_cast<unsigned>(err));
            return -1;
        }
        if (attempt < kHubOpenAttempts) {
            clock_.SleepMs(kHubOpenPauseMs);
        }
    }
    Log("Error:EnumerateHub-->CreateFile failed,err=0x%x", static_cast<unsigned>(err));
    return -1;
}

void ZRScan::EnumerateHubPorts(const std::string& hubName, const std::string& location,
                               uint32_t flag, int portCount, int depth) {
    for (int port = 1; port <= portCount; ++port) {
        std::string portLocation =
            location.empty() ? std::to_string(port) : location + "-" + std::to_string(port);
        UsbPortConnection info;
        int err = 0;
        const UsbTreeStatus st = tree_.GetPortConnection(hubName, port, &info, &err);
        if (st == UsbTreeStatus::kOpenFailed) {
            Log("Error:EnumerateHubPorts-->CreateFile failed,err=0x%x", static_cast<unsigned>(err));
            return;
        }
        if (st != UsbTreeStatus::kOk) {
            Log("Error:EnumerateHubPorts-->DeviceIoControl failed,err=0x%x",
                static_cast<unsigned>(err));
            continue;
        }
        if (!info.connected || info.currentConfiguration == 0) {
            continue;
        }
        uint32_t devnode = 0;
        std::string driverKey;
        if (tree_.GetPortDriverKey(hubName, port, &driverKey, &err) == UsbTreeStatus::kOk) {
            devnode = tree_.FindDevnodeByDriverKey(driverKey);
        } else {
            Log("Error:EnumerateHubPorts-->DeviceIoControl failed,err=0x%x",
                static_cast<unsigned>(err));
        }

        if (info.isHub) {
            if (depth >= kMaxHubDepth) {
                continue;
            }
            Hub hub;
            if (tree_.GetPortHubName(hubName, port, &hub.name, &err) != UsbTreeStatus::kOk ||
                hub.name.empty()) {
                Log("Error:EnumerateHubPorts-->DeviceIoControl failed,err=0x%x",
                    static_cast<unsigned>(err));
                continue;
            }
            hub.location = portLocation;
            hub.flag = flag;
            for (const Hub& previous : previousHubs_) {
                if (previous.name == hub.name && previous.location == hub.location) {
                    hub.portCount = previous.portCount;
                    break;
                }
            }
            if (hub.portCount == -1) {
                hub.portCount = QueryHubPortCount(hub.name);
            }
            hubs_.push_back(hub);
            if (hub.portCount >= 0) {
                EnumerateHubPorts(hub.name, hub.location, hub.flag, hub.portCount, depth + 1);
            }
            continue;
        }

        if (devnode == 0) {
            continue;
        }
        std::string id;
        if (tree_.GetDeviceId(devnode, &id, &err) != UsbTreeStatus::kOk) {
            continue;
        }
        Found found;
        found.desc.vendorId = info.VendorId();
        found.desc.productId = info.ProductId();
        found.desc.serialIndex = info.SerialIndex();
        found.desc.bcdUsb = info.BcdUsb();
        found.desc.devnode = devnode;
        std::string connector = tree_.ConnectorLocation(devnode);
        found.desc.location = connector.empty() ? std::move(portLocation) : std::move(connector);
        found.desc.controllerFlag = flag;
        found.pathNode = devnode;
        found.enumeration = info.enumeration;
        walked_.push_back(std::move(found));
    }
}

// ---- classification ----

bool ZRScan::InList(const std::vector<TableRow>& list, uint16_t vid, uint16_t pid) {
    for (const TableRow& row : list) {
        if (row.vendorId == vid && row.productId == pid) {
            return true;
        }
    }
    return false;
}

bool ZRScan::ChipLookup(uint16_t vid, uint16_t pid, int32_t* chipCode) const {
    for (const TableRow& row : chipTable_) {
        if (row.vendorId == vid && row.productId == pid) {
            *chipCode = static_cast<int32_t>(row.value);
            return true;
        }
    }
    // Unconfigured vendor id (0) matches nothing: a device reporting vendor 0 is not a board.
    const uint16_t vendor = tables_.VendorId();
    if (vendor != 0 && vid == vendor && (pid & 0xFF00U) != 0) {
        *chipCode = pid;
        return true;
    }
    return false;
}

ZRScan::ListKind ZRScan::Classify(uint16_t vid, uint16_t pid) const {
    if (InList(mscList_, vid, pid)) {
        return ListKind::kMsc;
    }
    if (InList(mtpList_, vid, pid)) {
        return ListKind::kMtp;
    }
    if (InList(adbList_, vid, pid)) {
        return ListKind::kAdb;
    }
    if (InList(uvcList_, vid, pid)) {
        return ListKind::kUvc;
    }
    int32_t code = 0;
    if (ChipLookup(vid, pid, &code)) {
        return ListKind::kChip;
    }
    return ListKind::kNone;
}

bool ZRScan::IsCompositeDevice(uint32_t devnode) {
    std::vector<std::string> ids;
    int err = 0;
    if (tree_.GetCompatibleIds(devnode, &ids, &err) != UsbTreeStatus::kOk) {
        Log("ERROR:IsCompositeDevice-->CM_Get_DevNode_Registry_Property failed(0x%x)",
            static_cast<unsigned>(err));
        return false;
    }
    for (const std::string& id : ids) {
        if (id.find("COMPOSITE") != std::string::npos) {
            return true;
        }
    }
    return false;
}

void ZRScan::TakeInterface(Found* found, bool adb) {
    const char* step = adb ? "Search_ADB" : "Search";
    uint32_t node = 0;
    int err = 0;
    if (tree_.GetFirstChild(found->desc.devnode, &node, &err) != UsbTreeStatus::kOk || node == 0) {
        Log("ERROR:%s-->CM_Get_Child failed(0x%x)", step, static_cast<unsigned>(err));
        return;
    }
    found->desc.devnode = node;
    if (adb) {
        uint32_t sibling = 0;
        if (tree_.GetNextSibling(node, &sibling, &err) != UsbTreeStatus::kOk || sibling == 0) {
            Log("ERROR:%s-->CM_Get_Sibling failed(0x%x)", step, static_cast<unsigned>(err));
            return;
        }
        node = sibling;
        found->desc.devnode = node;
    }
    std::string id;
    if (tree_.GetDeviceId(node, &id, &err) != UsbTreeStatus::kOk) {
        Log("ERROR:%s-->CM_Get_Device_ID failed(0x%x)", step, static_cast<unsigned>(err));
        return;
    }
    found->pathNode = node;
}

// ---- public operations ----

int ZRScan::Search(uint32_t mask) {
    try {
        found_.clear();
        Walk();
        for (Found& device : walked_) {
            const ListKind list = Classify(device.desc.vendorId, device.desc.productId);
            uint32_t kind = 0;
            switch (list) {
                case ListKind::kMsc:
                    kind = DEVICE_KIND_MSC;
                    break;
                case ListKind::kMtp:
                    kind = DEVICE_KIND_MTP;
                    break;
                case ListKind::kAdb:
                    kind = DEVICE_KIND_ADB;
                    break;
                case ListKind::kUvc:
                    kind = DEVICE_KIND_UVC;
                    break;
                case ListKind::kChip:
                    kind = ChipKind(device.desc.bcdUsb);
                    break;
                case ListKind::kNone:
                    continue;
            }
            // The mask is applied before the interface lookups; the result is the same and the
            // lookups are spared for devices that would be dropped.
            if ((mask & kind) == 0) {
                continue;
            }
            if (list == ListKind::kChip) {
                ChipLookup(device.desc.vendorId, device.desc.productId, &device.desc.chipCode);
            } else {
                device.desc.chipCode = 0;
                if (IsCompositeDevice(device.desc.devnode)) {
                    TakeInterface(&device, list == ListKind::kAdb);
                }
            }
            if (kind == DEVICE_KIND_MSC) {
                device.desc.serialIndex = 0;
            }
            device.desc.kind = kind;
            device.desc.path = tree_.DevicePath(device.pathNode, kind);
            if (device.desc.path.empty()) {
                continue;  // the instance left between the walk and now
            }
            found_.push_back(device.desc);
        }
        return static_cast<int>(found_.size());
    } catch (const std::bad_alloc&) {
        found_.clear();
        return 0;
    }
}

int ZRScan::GetDevice(int index, ZRDeviceDesc* out) const {
    if (out == nullptr || index < 0 || static_cast<size_t>(index) >= found_.size()) {
        return 0;
    }
    try {
        *out = found_[static_cast<size_t>(index)];
    } catch (const std::bad_alloc&) {
        return 0;
    }
    return 1;
}

uint32_t ZRScan::WaitKindOf(const ZRDeviceDesc& desc, int32_t* chipCode) const {
    *chipCode = 0;
    if (ChipLookup(desc.vendorId, desc.productId, chipCode)) {
        return ChipKind(desc.bcdUsb);
    }
    if (InList(mscList_, desc.vendorId, desc.productId)) {
        return DEVICE_KIND_MSC;
    }
    if (InList(adbList_, desc.vendorId, desc.productId)) {
        return DEVICE_KIND_ADB;
    }
    if (InList(mtpList_, desc.vendorId, desc.productId)) {
        return DEVICE_KIND_MTP;
    }
    if (InList(uvcList_, desc.vendorId, desc.productId)) {
        return DEVICE_KIND_UVC;
    }
    return 0;
}

int ZRScan::WaitForDevice(ZRDeviceDesc* record, uint32_t kind, uint16_t vid, uint16_t pid) {
    if (record == nullptr) {
        return 0;
    }
    try {
        const uint64_t limitSec = IsInterfaceKind(kind) ? ifaceLimitSec_ : chipLimitSec_;
        const uint64_t startSec = clock_.NowMs() / 1000;
        const bool anyId = vid == 0 && pid == 0;
        const uint64_t startMs = clock_.NowMs();
        int sightings = 0;
        bool firstPoll = true;
        bool seenGone = false;     // the location was empty on some poll
        uint64_t firstSeen = 0;    // the enumeration there on the first poll (0: none or unknown)
        uint64_t lastCounted = 0;  // the enumeration the current run of sightings is about
        for (;;) {
            Walk();
            const Found* hit = nullptr;
            const Found* present = nullptr;
            int32_t chipCode = 0;
            for (const Found& device : walked_) {
                if (device.desc.location != record->location) {
                    continue;
                }
                present = &device;
                if (!anyId && (device.desc.vendorId != vid || device.desc.productId != pid)) {
                    continue;
                }
                if (WaitKindOf(device.desc, &chipCode) != kind) {
                    continue;
                }
                hit = &device;
                break;
            }
            if (firstPoll) {
                firstPoll = false;
                firstSeen = present != nullptr ? present->enumeration : 0;
            }
            if (present == nullptr) {
                seenGone = true;
            }
            const bool isNew =
                hit != nullptr &&
                (seenGone || (hit->enumeration != 0 && hit->enumeration != firstSeen) ||
                 clock_.NowMs() - startMs >= kSameEnumerationGraceMs);
            if (isNew && sightings > 0 && hit->enumeration != lastCounted) {
                sightings = 0;  // it re-enumerated between two polls: count this one afresh
            }
            sightings = isNew ? sightings + 1 : 0;
            if (isNew) {
                lastCounted = hit->enumeration;
            }
            if (sightings >= kConsecutiveSightings) {
                std::string path = tree_.DevicePath(hit->desc.devnode, kind);
                if (!path.empty()) {
                    record->vendorId = hit->desc.vendorId;
                    record->productId = hit->desc.productId;
                    record->devnode = hit->desc.devnode;
                    record->path = std::move(path);
                    record->kind = kind;
                    record->bcdUsb = hit->desc.bcdUsb;
                    record->controllerFlag = hit->desc.controllerFlag;
                    record->serialIndex = kind == DEVICE_KIND_MSC ? 0 : hit->desc.serialIndex;
                    record->chipCode =
                        (kind == DEVICE_KIND_ROM || kind == DEVICE_KIND_LOADER) ? chipCode : 0;
                    return 1;
                }
                sightings = 0;  // it left while being looked at
            }
            clock_.SleepMs(kPollPauseMs);
            if (clock_.NowMs() / 1000 - startSec > limitSec) {
                return 0;
            }
        }
    } catch (const std::bad_alloc&) {
        return 0;
    }
}
