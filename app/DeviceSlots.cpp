#include "app/DeviceSlots.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdarg>
#include <utility>

#include "app/PortMapStore.h"
#include "app/StationModel.h"
#include "app/StationView.h"
#include "device/DeviceChangeSource.h"
#include "device/ZRScan.h"
#include "provision/WorkerHost.h"
#include "support/LogTo.h"

namespace {

// Without device-change notices the scan thread rescans this often.
constexpr uint32_t kFallbackRescanMs = 1000;

}  // namespace

CDeviceSlots::CDeviceSlots(IPortMapStore& portMap, IDeviceChangeSource& deviceChanges,
                           CStationModel& model, uint32_t scanIntervalMs,
                           std::function<bool()> stationRunning, JobStarter startJob)
    : portMap_(portMap),
      deviceChanges_(deviceChanges),
      model_(model),
      scanIntervalMs_(scanIntervalMs),
      stationRunning_(std::move(stationRunning)),
      startJob_(std::move(startJob)) {}

CDeviceSlots::~CDeviceSlots() {
    if (scanThread_.joinable()) {
        BeginStop();
        Join();
    }
    for (auto& t : TakeThreads()) {
        t.join();
    }
}

void CDeviceSlots::Log(const char* format, ...) {
    va_list args;
    va_start(args, format);
    VLogTo(log_, format, args);
    va_end(args);
}

// ---------------------------------------------------------------------------------------------
// Scan thread

bool CDeviceSlots::Start(ZRScan& scanner, CLoggerBase* log, std::string leftMark) {
    if (scanThread_.joinable()) {
        return true;
    }
    scanner_ = &scanner;
    log_ = log;
    leftMark_ = std::move(leftMark);
    stop_ = false;
    {
        std::lock_guard<std::mutex> guard(waitLock_);
        ended_ = false;
    }
    {
        std::lock_guard<std::mutex> guard(scanLock_);
        scanRequests_ = 1;
    }
    if (!deviceChanges_.Start([this] { NoteDeviceChange(); })) {
        Log("Error:device change notices unavailable, rescanning every %u ms", kFallbackRescanMs);
        pollForChanges_ = true;
    }
    try {
        scanThread_ = std::thread(&CDeviceSlots::ScanThreadProc, this);
    } catch (const std::system_error&) {
        deviceChanges_.Stop();
        return false;
    }
    return true;
}

void CDeviceSlots::BeginStop() {
    if (!scanThread_.joinable() || stop_) {
        return;
    }
    deviceChanges_.Stop();
    {
        std::lock_guard<std::mutex> guard(waitLock_);
        stop_ = true;
    }
    wake_.notify_all();
}

bool CDeviceSlots::WaitEnded(uint32_t timeoutMs) {
    std::unique_lock<std::mutex> guard(waitLock_);
    return wake_.wait_for(guard, std::chrono::milliseconds(timeoutMs), [this] { return ended_; });
}

void CDeviceSlots::WaitEnded() {
    std::unique_lock<std::mutex> guard(waitLock_);
    wake_.wait(guard, [this] { return ended_; });
}

void CDeviceSlots::Join() {
    if (scanThread_.joinable()) {
        scanThread_.join();
    }
}

void CDeviceSlots::ScanThreadProc() {
    {
        std::lock_guard<std::mutex> guard(slotLock_);
        slots_.clear();
        LoadPortMap();
    }
    uint32_t quietMs = 0;
    for (;;) {
        bool rescan = false;
        {
            std::lock_guard<std::mutex> guard(scanLock_);
            if (scanRequests_ > 0) {
                --scanRequests_;
                rescan = true;
            } else if (pollForChanges_) {
                quietMs += scanIntervalMs_;
                rescan = quietMs >= kFallbackRescanMs;
            }
            rescanning_ = rescan;
        }
        if (rescan) {
            quietMs = 0;
            Rescan();
            ++completedRescans_;
            std::lock_guard<std::mutex> guard(scanLock_);
            rescanning_ = false;
        }
        if (!WaitScanInterval()) {
            break;
        }
    }
    {
        std::lock_guard<std::mutex> guard(waitLock_);
        ended_ = true;
    }
    wake_.notify_all();
}

bool CDeviceSlots::WaitScanInterval() {
    std::unique_lock<std::mutex> guard(waitLock_);
    return !wake_.wait_for(guard, std::chrono::milliseconds(scanIntervalMs_),
                           [this] { return stop_.load(); });
}

void CDeviceSlots::NoteDeviceChange() {
    std::lock_guard<std::mutex> guard(scanLock_);
    if (scanRequests_ < INT_MAX) {
        ++scanRequests_;
    }
}

int CDeviceSlots::PendingRescans() const {
    std::lock_guard<std::mutex> guard(scanLock_);
    return scanRequests_;
}

bool CDeviceSlots::RescanBusy() const {
    std::lock_guard<std::mutex> guard(scanLock_);
    return scanRequests_ > 0 || rescanning_;
}

void CDeviceSlots::Rescan() {
    const int count = scanner_->Search(DEVICE_KIND_LOADER);
    std::vector<ZRDeviceDesc> found;
    for (int i = 0; i < count; ++i) {
        ZRDeviceDesc desc;
        if (scanner_->GetDevice(i, &desc) != 0) {
            found.push_back(std::move(desc));
        }
    }

    {
        std::lock_guard<std::mutex> guard(slotLock_);
        for (auto it = slots_.begin(); it != slots_.end();) {
            const std::string& location = it->second.portLocation;
            const bool seen = std::any_of(found.begin(), found.end(), [&](const ZRDeviceDesc& d) {
                return d.location == location;
            });
            it = seen ? std::next(it) : HandleRemoveDevice(it);
        }
    }

    for (const ZRDeviceDesc& desc : found) {
        std::lock_guard<std::mutex> guard(slotLock_);
        auto it = std::find_if(slots_.begin(), slots_.end(), [&](const auto& entry) {
            return entry.second.portLocation == desc.location;
        });
        if (it == slots_.end()) {
            HandleNewDevice(desc);
        } else if (it->second.present == 0) {
            it->second.present = 1;
            model_.SetCellText(it->first - 1, kColumnLocation, it->second.portLocation);
        }
    }
}

// ---------------------------------------------------------------------------------------------
// Port map

void CDeviceSlots::LoadPortMap() {
    LoadUsbMapInfo();
    ResetFreeSlotNumbers();
}

void CDeviceSlots::ResetFreeSlotNumbers() {
    freeSlotNumbers_.clear();
    for (int n = 1; n <= kSlotCount; ++n) {
        freeSlotNumbers_.push_back(n);
    }
    for (const auto& [path, number] : usbMap_) {
        auto it = std::find(freeSlotNumbers_.begin(), freeSlotNumbers_.end(), number);
        if (it != freeSlotNumbers_.end()) {
            freeSlotNumbers_.erase(it);
        }
    }
}

bool CDeviceSlots::LoadUsbMapInfo() {
    usbMap_.clear();
    std::map<std::string, uint32_t> stored;
    if (!portMap_.ReadAll(&stored)) {
        Log("Error:LoadUsbMapInfo open key failed.");
        return false;
    }
    for (const auto& [path, number] : stored) {
        if (number < 1 || number > static_cast<uint32_t>(kSlotCount)) {
            // No table row for it: such a binding could never be shown or used.
            Log("Error:LoadUsbMapInfo ignored slot %u of %s", number, path.c_str());
            continue;
        }
        usbMap_[path] = static_cast<int>(number);
    }
    return true;
}

bool CDeviceSlots::WriteUsbMap(const std::string& devicePath, int slotNumber) {
    if (!portMap_.Write(devicePath, static_cast<uint32_t>(slotNumber))) {
        Log("Error:WriteUsbMap open key failed.");
        return false;
    }
    return true;
}

bool CDeviceSlots::ClearUsbMap() {
    if (!portMap_.Clear()) {
        Log("Error:ClearUsbMap open key failed.");
        return false;
    }
    return true;
}

void CDeviceSlots::RebuildUsbMap() {
    ClearUsbMap();
    usbMap_.clear();
    for (const auto& [number, slot] : slots_) {
        WriteUsbMap(slot.devicePath, number);
        usbMap_[slot.devicePath] = number;
    }
    ResetFreeSlotNumbers();
}

int CDeviceSlots::AllocateSlotNumber(const std::string& devicePath) {
    if (freeSlotNumbers_.empty()) {
        // With every number held by a slot in the table the rebuild would free nothing.
        if (slots_.size() >= static_cast<size_t>(kSlotCount)) {
            return 0;
        }
        RebuildUsbMap();
        if (freeSlotNumbers_.empty()) {
            return 0;
        }
    }
    const int number = freeSlotNumbers_.front();
    freeSlotNumbers_.pop_front();
    WriteUsbMap(devicePath, number);
    usbMap_[devicePath] = number;
    return number;
}

// ---------------------------------------------------------------------------------------------
// Slots

void CDeviceSlots::HandleNewDevice(const ZRDeviceDesc& desc) {
    int number = 0;
    if (auto stored = usbMap_.find(desc.path); stored != usbMap_.end()) {
        number = stored->second;
        auto occupant = slots_.find(number);
        if (occupant != slots_.end()) {
            DeviceSlot& slot = occupant->second;
            if (slot.devicePath == desc.path && slot.running != 0) {
                // The device of a running job is back at another port: the job keeps it.
                slot.present = 1;
                slot.portLocation = desc.location;
                Log("<ID %d>Info:in HandleNewDevice", number);
                model_.SetCellText(number - 1, kColumnLocation, desc.location);
                return;
            }
            if (slot.devicePath != desc.path) {
                // The stored number belongs to another device in the table: this path gets a
                // number of its own instead of taking that slot away.
                number = 0;
            }
        }
    }
    if (number == 0) {
        number = AllocateSlotNumber(desc.path);
        if (number == 0) {
            unboundWaiting_ = true;
            if (unboundReported_.insert(desc.path).second) {
                Log("Error:HandleNewDevice no free slot for %s at %s", desc.path.c_str(),
                    desc.location.c_str());
            }
            return;
        }
    }
    unboundReported_.erase(desc.path);
    if (keptResult_[number - 1]) {
        // A board takes the slot again: the row keeps the last job's colour and result (a failed
        // board may hold a spent key) until a job starts in the slot; only the mark goes.
        keptResult_[number - 1] = false;
        model_.SetRowMark(number - 1, std::string());
    }

    DeviceSlot& slot = slots_[number];
    slot.slotNumber = number;
    slot.running = 0;
    slot.present = 1;
    slot.devicePath = desc.path;
    slot.portLocation = desc.location;
    Log("<ID %d>Info:in HandleNewDevice", number);
    model_.SetCellText(number - 1, kColumnLocation, desc.location);
    if (stationRunning_()) {
        slot.running = 1;
        StartJobLocked(slot);
    }
}

CDeviceSlots::SlotTable::iterator CDeviceSlots::HandleRemoveDevice(SlotTable::iterator slot) {
    const int number = slot->first;
    Log("<ID %d>Info:in HandleRemoveDevice", number);
    if (slot->second.running == 0) {
        if (model_.RowColourOf(number - 1)) {
            KeepResultLocked(number, slot->second.portLocation);
        } else {
            ClearRow(number - 1);
        }
        return slots_.erase(slot);
    }
    slot->second.present = 0;
    model_.SetCellText(number - 1, kColumnLocation, std::string());
    return std::next(slot);
}

void CDeviceSlots::ClearRow(int row) {
    model_.ClearRow(row);
}

void CDeviceSlots::KeepResultLocked(int slotNumber, const std::string& portLocation) {
    const int row = slotNumber - 1;
    keptResult_[row] = true;
    model_.SetCellText(row, kColumnLocation, portLocation);
    model_.SetRowMark(row, leftMark_);
}

// ---------------------------------------------------------------------------------------------
// Jobs

bool CDeviceSlots::AnyRunningLocked() const {
    return std::any_of(slots_.begin(), slots_.end(),
                       [](const auto& entry) { return entry.second.running != 0; });
}

bool CDeviceSlots::AnyRunning() const {
    std::lock_guard<std::mutex> guard(slotLock_);
    return AnyRunningLocked();
}

void CDeviceSlots::StartJobLocked(DeviceSlot& slot) {
    const int number = slot.slotNumber;
    std::thread& thread = jobs_[number - 1];
    if (thread.joinable()) {
        // A slot's thread is taken when its result is handled, before `running` is cleared, so
        // this is never reached; should it be, the thread is still joined later.
        retiredJobs_.push_back(std::move(thread));
    }
    thread = startJob_(number);
    if (!thread.joinable()) {
        slot.running = 0;
        Log("<ID %d>Error:start worker thread failed", number);
    }
}

void CDeviceSlots::StartJobs() {
    std::lock_guard<std::mutex> guard(slotLock_);
    for (auto& [number, slot] : slots_) {
        if (slot.present != 0 && slot.running == 0) {
            slot.running = 1;
            StartJobLocked(slot);
        }
    }
}

bool CDeviceSlots::EndJob(int slotNumber, JobEnd* out) {
    std::thread finished;
    bool rescanForWaitingDevice = false;
    JobEnd end;
    bool wasRunning = false;
    {
        std::lock_guard<std::mutex> guard(slotLock_);
        auto it = slots_.find(slotNumber);
        if (it != slots_.end() && it->second.running != 0) {
            wasRunning = true;
            finished = std::move(jobs_[slotNumber - 1]);
            if (it->second.present != 0) {
                it->second.running = 0;
            } else {
                if (model_.RowColourOf(slotNumber - 1)) {
                    KeepResultLocked(slotNumber, it->second.portLocation);
                }
                slots_.erase(it);
                end.removed = true;
                rescanForWaitingDevice = unboundWaiting_;
                unboundWaiting_ = false;
            }
        }
        end.anyRunning = AnyRunningLocked();
    }
    if (finished.joinable()) {
        // The result is the job's last act: its thread is ending.
        if (finished.get_id() == std::this_thread::get_id()) {
            std::lock_guard<std::mutex> guard(slotLock_);
            retiredJobs_.push_back(std::move(finished));
        } else {
            finished.join();
        }
    }
    if (rescanForWaitingDevice) {
        NoteDeviceChange();  // a device waits for a slot number: look again
    }
    if (out != nullptr) {
        *out = end;
    }
    return wasRunning;
}

std::vector<std::thread> CDeviceSlots::TakeThreads() {
    std::lock_guard<std::mutex> guard(slotLock_);
    std::vector<std::thread> threads = std::move(retiredJobs_);
    retiredJobs_.clear();
    for (auto& t : jobs_) {
        if (t.joinable()) {
            threads.push_back(std::move(t));
        }
    }
    return threads;
}

// ---------------------------------------------------------------------------------------------
// Observation

bool CDeviceSlots::CopySlot(int slotNumber, WorkerSlot* out) const {
    std::lock_guard<std::mutex> guard(slotLock_);
    auto it = slots_.find(slotNumber);
    if (it == slots_.end() || out == nullptr) {
        return false;
    }
    out->devicePath = it->second.devicePath;
    out->portLocation = it->second.portLocation;
    return true;
}

std::vector<DeviceSlot> CDeviceSlots::Snapshot() const {
    std::lock_guard<std::mutex> guard(slotLock_);
    std::vector<DeviceSlot> out;
    for (const auto& [number, slot] : slots_) {
        out.push_back(slot);
    }
    return out;
}

std::map<std::string, int> CDeviceSlots::UsbMapSnapshot() const {
    std::lock_guard<std::mutex> guard(slotLock_);
    return usbMap_;
}
