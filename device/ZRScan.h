// Discovery of the maker's devices on the USB tree: walks every host controller, root hub and
// external hub through IUsbTree and hands out snapshot lists of ZRDeviceDesc records, each with
// the location string of its physical port ("1-3-2") and the path the transport opens it by.
//
// A scanner is used by one thread at a time; several scanners may walk the same tree at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "device/DeviceTables.h"
#include "device/UsbTree.h"
#include "device/ZRDeviceDesc.h"
#include "support/Clock.h"
#include "support/Logger.h"

class ZRScan {
  public:
    static constexpr int kConsecutiveSightings = 8;
    static constexpr uint32_t kPollPauseMs = 50;
    static constexpr int kHubOpenAttempts = 3;
    static constexpr uint32_t kHubOpenPauseMs = 1000;

    // ifaceLimitSec: how long WaitForDevice waits for the kinds 4, 8, 16, 32; chipLimitSec: for
    // the kinds 1 and 2. scanAll != 0 also walks controllers whose root hub is of the
    // full-speed-only kind. The vendor ids come from `tables` at once; its chip rows and the mode
    // lists only with LoadDeviceTables. tree, tables, clock and log must outlive the scanner.
    ZRScan(uint32_t ifaceLimitSec, uint32_t chipLimitSec, int scanAll, IUsbTree& tree,
           const DeviceTables& tables, IClock& clock = SystemClock(), CLoggerBase* log = nullptr);
    ZRScan(const ZRScan&) = delete;
    ZRScan& operator=(const ZRScan&) = delete;

    // Fills the chip table from the configured rows and the four mode lists (mass storage, MTP,
    // ADB, camera) with their fixed product ids of the maker's vendor id.
    void LoadDeviceTables();

    // Walks the tree and keeps the devices that pass `mask` (DeviceKind bits); returns how many.
    int Search(uint32_t mask);
    // Devices of any kind the last Search or WaitForDevice walked past (hubs not counted).
    size_t WalkedDeviceCount() const { return walked_.size(); }
    // Copies the index-th device of the last Search into *out; 1, or 0 when out of range.
    int GetDevice(int index, ZRDeviceDesc* out) const;
    // Polls every 50 ms until a device of `kind` (and with vid/pid, unless both are 0) has been
    // seen at record->location in 8 consecutive polls, then refills *record and returns 1.
    // Returns 0 when the kind's time limit runs out.
    //
    // Called right after a reset, the device seen at the location on the first poll may still be
    // the enumeration that is about to leave. Polls count only once the device is a new
    // enumeration: the location was seen empty at least once, or the tree names another
    // enumeration there than on the first poll. A device the tree cannot tell apart (or one that
    // had come back before the first poll) counts once it has been there kSameEnumerationGraceMs.
    int WaitForDevice(ZRDeviceDesc* record, uint32_t kind, uint16_t vid, uint16_t pid);

    static constexpr uint32_t kSameEnumerationGraceMs = 5000;

  private:
    struct TableRow {
        uint16_t vendorId;
        uint16_t productId;
        uint32_t value;
    };
    struct Controller {
        std::string path;
        std::string rootHubName;  // empty until fetched
        std::string prefix;       // the location of the root hub
        uint32_t flag = 0;
        int portCount = -1;
    };
    struct Hub {
        std::string name;
        std::string location;
        uint32_t flag = 0;
        int portCount = -1;
    };
    // One device of a walk; pathNode is the instance the path is built from.
    struct Found {
        ZRDeviceDesc desc;
        uint32_t pathNode = 0;
        uint64_t enumeration = 0;
    };
    enum class ListKind { kNone, kMsc, kMtp, kAdb, kUvc, kChip };

    // External hubs deeper than this are not walked (the bus allows five tiers).
    static constexpr int kMaxHubDepth = 8;

    void Walk();
    void EnumerateHostController(Controller& controller);
    // The hub's port count, or -1 when it cannot be had (after the open retries).
    int QueryHubPortCount(const std::string& hubName);
    void EnumerateHubPorts(const std::string& hubName, const std::string& location, uint32_t flag,
                           int portCount, int depth);

    bool ChipLookup(uint16_t vid, uint16_t pid, int32_t* chipCode) const;
    static bool InList(const std::vector<TableRow>& list, uint16_t vid, uint16_t pid);
    ListKind Classify(uint16_t vid, uint16_t pid) const;
    bool IsCompositeDevice(uint32_t devnode);
    // Moves a composite device's record to its first interface, or for adb to the interface
    // after it; a step the tree refuses is logged and ends the move where it stands.
    void TakeInterface(Found* found, bool adb);
    uint32_t WaitKindOf(const ZRDeviceDesc& desc, int32_t* chipCode) const;
    void Log(const char* format, ...) const KS_PRINTF_LIKE(2, 3);

    const uint32_t ifaceLimitSec_;
    const uint32_t chipLimitSec_;
    const int scanAll_;
    IUsbTree& tree_;
    const DeviceTables& tables_;
    IClock& clock_;
    CLoggerBase* log_;

    std::vector<Controller> controllers_;
    std::vector<Hub> hubs_;
    std::vector<Hub> previousHubs_;
    std::vector<Found> walked_;        // the devices of the latest walk
    std::vector<ZRDeviceDesc> found_;  // the result of the latest Search

    std::vector<TableRow> chipTable_;
    std::vector<TableRow> mscList_;
    std::vector<TableRow> mtpList_;
    std::vector<TableRow> adbList_;
    std::vector<TableRow> uvcList_;
};
