// The sixteen device slots, the persistent port map that binds device paths to slot numbers, and
// the scan thread that keeps both in step with what discovery sees on the USB tree.
//
// Every device-change notice adds one rescan request; the scan thread looks at the request count
// after each pause, and for each request walks the tree and reconciles the slot table by port
// location: a device not seen any more leaves its slot (at once when the slot is idle, with its
// job's result when a job runs), a device seen for the first time is bound to the slot number
// stored for its device path, or to the lowest free one. While the station runs, a newly bound
// device gets a job at once.
//
// A board that leaves its slot after a finished job (a board reset at the end of its job leaves
// the bus, and a board unplugged during its job leaves with the result) frees the slot at once,
// but its row keeps the job's colour, port and result, marked as left, until another board takes
// the slot; a board that leaves without a finished job leaves an empty row.
//
// Threads:
// - The scan thread (Start to Join) is the only writer of the port map (usbMap_,
//   freeSlotNumbers_, the store); it creates slots, removes idle ones and changes `present`.
// - The main thread starts jobs (StartJobs) and ends them (EndJob); it alone calls Start,
//   BeginStop, Join and TakeThreads.
// - Any thread may ask for a rescan and read the observation calls.
//
// Locks, never two of them at once and none while waiting for a thread:
// - slotLock_: the slot table, usbMap_, freeSlotNumbers_, the unbound-device notes and the job
//   threads. The job starter runs with it held (it must not call back into this class).
// - scanLock_: the request count and the "rescan under way" flag.
// - waitLock_: the stop flag's wake-up and the end event.
// The model's and the logger's locks are taken inside any of them.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "device/ZRDeviceDesc.h"
#include "support/Logger.h"

class CStationModel;
class IDeviceChangeSource;
class IPortMapStore;
class ZRScan;
struct WorkerSlot;

// One slot of the device table, numbered 1..16 (table row = slotNumber - 1).
struct DeviceSlot {
    int slotNumber = 0;
    int running = 0;  // 1 while a worker is active for the slot
    int present = 0;  // 1 while the latest scan found the device at portLocation
    std::string devicePath;
    std::string portLocation;
};

class CDeviceSlots {
  public:
    static constexpr int kSlotCount = 16;

    // Starts the job thread of a slot that has just been set running; called with slotLock_
    // held. An empty thread means it could not start: the slot is set idle again.
    using JobStarter = std::function<std::thread(int slotNumber)>;

    // stationRunning: whether a newly bound device gets a job at once (read by the scan thread).
    // The references must outlive this object.
    CDeviceSlots(IPortMapStore& portMap, IDeviceChangeSource& deviceChanges, CStationModel& model,
                 uint32_t scanIntervalMs, std::function<bool()> stationRunning,
                 JobStarter startJob);
    // Stops the scan thread and joins every thread still here.
    ~CDeviceSlots();
    CDeviceSlots(const CDeviceSlots&) = delete;
    CDeviceSlots& operator=(const CDeviceSlots&) = delete;

    // --- Scan thread (main thread). Start takes the device-change notices and starts the thread
    // with one rescan asked for; scanner and log (may be null) must outlive Join. leftMark is
    // shown after the result of a row whose board has left.
    bool Start(ZRScan& scanner, CLoggerBase* log, std::string leftMark);
    bool Started() const { return scanThread_.joinable(); }
    // Stops the notices and asks the thread to end after the rescan under way, if any.
    void BeginStop();
    bool StopRequested() const { return stop_.load(); }
    // Waits at most timeoutMs for the thread to end (any thread); true when it has ended.
    bool WaitEnded(uint32_t timeoutMs);
    // Waits until it has ended, however long that takes (any thread; every rescan is bounded).
    void WaitEnded();
    // Joins the ended thread (main thread, after BeginStop).
    void Join();

    // --- Rescan requests (any thread).
    void NoteDeviceChange();
    int PendingRescans() const;
    // True while a rescan is asked for or under way.
    bool RescanBusy() const;
    uint64_t CompletedRescans() const { return completedRescans_.load(); }

    // --- Jobs (main thread).
    // Sets every present idle slot running, in ascending slot number, and starts its job.
    void StartJobs();
    // A job's result arrived: the slot stays (idle) when its device is present, else it leaves
    // the table. Joins the job's thread (or keeps it for later when called on that thread).
    // Returns false when the slot had no running job.
    struct JobEnd {
        bool removed = false;     // the slot left the table with its result
        bool anyRunning = false;  // some slot still runs a job
    };
    bool EndJob(int slotNumber, JobEnd* out);
    bool AnyRunning() const;
    // Every job thread still here, for the owner to join.
    std::vector<std::thread> TakeThreads();

    // --- Observation (any thread).
    bool CopySlot(int slotNumber, WorkerSlot* out) const;
    std::vector<DeviceSlot> Snapshot() const;
    std::map<std::string, int> UsbMapSnapshot() const;

  private:
    using SlotTable = std::map<int, DeviceSlot>;

    void Log(const char* format, ...) KS_PRINTF_LIKE(2, 3);
    void ScanThreadProc();
    bool WaitScanInterval();  // false when asked to stop
    void Rescan();
    void LoadPortMap();
    void HandleNewDevice(const ZRDeviceDesc& desc);
    SlotTable::iterator HandleRemoveDevice(SlotTable::iterator slot);
    int AllocateSlotNumber(const std::string& devicePath);
    void RebuildUsbMap();
    void ResetFreeSlotNumbers();
    bool LoadUsbMapInfo();
    bool WriteUsbMap(const std::string& devicePath, int slotNumber);
    bool ClearUsbMap();
    void ClearRow(int row);
    // The row of a slot that left with a finished job: its port back, its result marked as left.
    void KeepResultLocked(int slotNumber, const std::string& portLocation);
    bool AnyRunningLocked() const;
    void StartJobLocked(DeviceSlot& slot);

    IPortMapStore& portMap_;
    IDeviceChangeSource& deviceChanges_;
    CStationModel& model_;
    const uint32_t scanIntervalMs_;
    const std::function<bool()> stationRunning_;
    const JobStarter startJob_;
    ZRScan* scanner_ = nullptr;
    CLoggerBase* log_ = nullptr;
    std::string leftMark_;

    // Scan thread: stop flag, end event, wake-up for its pauses.
    std::thread scanThread_;
    std::atomic<bool> stop_ = false;
    std::mutex waitLock_;
    std::condition_variable wake_;
    bool ended_ = false;  // the end event, under waitLock_
    bool pollForChanges_ = false;
    std::atomic<uint64_t> completedRescans_ = 0;

    mutable std::mutex scanLock_;
    int scanRequests_ = 0;
    bool rescanning_ = false;

    mutable std::mutex slotLock_;
    SlotTable slots_;
    std::map<std::string, int> usbMap_;
    std::deque<int> freeSlotNumbers_;
    std::set<std::string> unboundReported_;  // devices left without a slot, logged once each
    bool unboundWaiting_ = false;            // a device waits for a free slot number
    bool keptResult_[kSlotCount] = {};       // the row shows the result of a board that has left
    std::thread jobs_[kSlotCount];
    std::vector<std::thread> retiredJobs_;
};
