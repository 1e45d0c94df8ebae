// The device side of a loader-mode device at the level of its two bulk endpoints: it takes
// command blocks, runs the loader's commands against an emulated storage and vendor item store,
// and answers with data and status blocks. A simulated USB host (or a USB/IP server) feeds it
// bulk transfers; EmulatorPipes routes IBulkPipes calls to it directly.
//
// Thread-safe: one mutex per emulator. Callbacks and latency sleeps run without it held.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/sim/SectorStore.h"
#include "support/Clock.h"

// What the device asks of the host when it resets: leave the bus now, and come back (or not).
struct ResetRequest {
    uint32_t delayMs = 0;            // time off the bus before it shows up again
    bool returnAtOtherPort = false;  // comes back, but at another port of the host's choosing
    bool noReturn = false;           // does not come back in loader mode
    uint8_t subCode = 0;             // the reset command's sub-code
    // Stays on the bus this long, not answering, before it leaves (as a real board's old
    // enumeration lingers while the host notices the disconnect); the delay counts from then.
    uint32_t lingerMs = 0;
};

// What the loader does with a keybox record in its transfer area when it starts again.
enum class KeyboxTakeOut {
    kClean,           // takes the record and clears the area
    kLeaveRecord,     // leaves the record where it is ("KBOX" still there)
    kWriteExis,       // refuses it and marks "EXIS" where the tag was
    kLeaveStrayByte,  // takes the record but leaves one non-zero byte in the area
};

enum class TransferPhase { kCommand, kData, kStatus };

// Fault injection; settable at any time.
struct LoaderFaults {
    uint32_t latencyPerCommandMs = 0;    // slept (on the emulator's clock) per command block
    uint32_t latencyPerByteNs = 0;       // per data-phase byte, accumulated to whole milliseconds
    uint32_t wrongSignatureCount = 0;    // the next N status blocks carry a bad signature
    uint32_t wrongTagCount = 0;          // the next N status blocks carry another tag
    uint32_t shortDataCount = 0;         // the next N IN data phases send only half their bytes
    uint32_t failStatusCount = 0;        // the next N commands report failStatusValue (and, for
    uint8_t failStatusValue = 1;         //   writes, store nothing)
    uint32_t failTransferAtCommand = 0;  // 1-based command number (CommandCount); 0 = never
    TransferPhase failTransferPhase = TransferPhase::kCommand;
    uint32_t unplugAtCommand = 0;  // the device drops off the bus on this command block
    bool noReturnAfterReset = false;
    bool returnAtOtherPort = false;
    KeyboxTakeOut keyboxTakeOut = KeyboxTakeOut::kClean;
    uint32_t capabilityAnswerLength = 8;  // bytes of the capability answer (13 = a bad device)
};

// Faults drawn at random: each kind has its own probability per command block, drawn from the
// emulator's own seeded generator (so a run can be repeated). Probabilities are taken as given
// when in 0..1; anything else (NaN included) counts as 0.
struct RandomFaultRates {
    double statusLost =
        0;              // the data phase completes (a write is stored), the status is never sent
    double unplug = 0;  // the board leaves the bus mid-command and is plugged in again later
    double resetNeverReturns = 0;    // a reset is answered, the board never comes back as a loader
    double shortRead = 0;            // an IN data phase sends half the bytes it announced
    double badTag = 0;               // the status block carries another tag
    uint32_t unplugReturnMs = 1000;  // how long an unplugged board stays away
    // Non-zero: a board lost at a reset is plugged in again, as a fresh board, after this long
    // anyway (keeps a long soak from running out of boards). 0: it stays away.
    uint32_t lostBoardReturnMs = 0;

    bool Any() const;
};

// How often each random fault has struck on an emulator.
struct RandomFaultCounts {
    uint32_t statusLost = 0;
    uint32_t unplug = 0;
    uint32_t resetNeverReturns = 0;
    uint32_t shortRead = 0;
    uint32_t badTag = 0;
};

// Reads one "NAME=P" setting into rates (NAME: status-lost, unplug, reset-never-returns,
// short-read, bad-tag; P a decimal number in 0..1). False, rates untouched and a message in
// error, for anything else.
bool ParseRandomFault(const std::string& text, RandomFaultRates* rates, std::string* error);
// The generator seed of board `index` in a run seeded with `seed`: boards get unrelated streams.
uint64_t BoardFaultSeed(uint64_t seed, int index);

struct LoaderConfig {
    uint16_t vendorId = 0xF00D;
    uint16_t productId = 0x350A;
    uint16_t bcdUsb = 0x0201;  // bit 0 set: loader mode; 0x0200 is a ROM-mode device
    std::array<uint8_t, 8> capability = {0x10, 0, 0, 0, 0, 0, 0, 0};  // 0x10: vendor/RPMB read
    std::array<uint8_t, 4> testReadyResidue = {0, 0, 0, 0};  // status bytes 8..11 of test-ready
    uint8_t testReadyStatus = 0;
    std::vector<uint8_t> flashInfo = std::vector<uint8_t>(11, 0);  // answer to 0x1A
    uint8_t command24State = 0;                                    // status of 0x24 in mode 2
    uint32_t capacitySectors = 0x01000000;  // ordinary sectors; 0xFFF00000 and up is vendor space
    uint32_t resetReturnDelayMs = 1500;
    uint32_t resetLingerMs = 0;      // see ResetRequest::lingerMs
    bool finalResetReturns = false;  // sub-code 0 resets boot the system (no loader) unless set
};

// A keybox record the loader took out of its transfer area.
struct TakenKeybox {
    enum class Source { kVendorSector, kVendorItem8 };
    Source source = Source::kVendorSector;
    uint32_t declaredSize = 0;  // the record's size field
    std::array<uint8_t, 16> recordInfo{};
    std::vector<uint8_t> key;  // the key bytes, bounded by the record room
};

// A command's answer just before it goes out, for a reply filter to change (a board that lies).
struct LoaderReply {
    std::array<uint8_t, 31> commandBlock{};
    std::vector<uint8_t>* data = nullptr;  // the IN data phase to send; empty: none
    uint8_t* statusBlock = nullptr;        // the 13-byte status block
    // Non-zero: nothing more goes out for this command; the host's read fails after this long.
    uint32_t silentMs = 0;
};

class TakenKeyboxLog;

class LoaderEmulator {
  public:
    static constexpr uint32_t kVendorSector = 0xFFFFFF01;
    static constexpr uint32_t kVendorItem8Sector = 0xFFF00008;
    static constexpr uint32_t kVendorSpaceFirst = 0xFFF00000;
    static constexpr size_t kMaxPacket = 512;

    explicit LoaderEmulator(LoaderConfig config = {}, IClock& clock = SystemClock());
    ~LoaderEmulator();
    LoaderEmulator(const LoaderEmulator&) = delete;
    LoaderEmulator& operator=(const LoaderEmulator&) = delete;

    // --- The bus side -------------------------------------------------------------------------
    // A host that plugs the device in and out passes the attachment number it got from
    // OnAttached() with every transfer: one that was started for an earlier attachment fails
    // without touching the device, as a transfer on a port the device has left does.
    static constexpr uint64_t kAnyAttachment = 0;
    // Host to device. Returns the bytes accepted, or -1 (stall, transfer error, device gone).
    long BulkOut(const uint8_t* data, size_t size, uint64_t attachment = kAnyAttachment);
    // Device to host. Returns the bytes delivered (a short packet ends the transfer), or -1.
    long BulkIn(uint8_t* data, size_t size, uint64_t attachment = kAnyAttachment);
    // Clears a halt on both endpoints and drops any half-done command (reset recovery).
    void ClearHalt(uint64_t attachment = kAnyAttachment);
    // The device was plugged in: like a board that powers up, it forgets any half-done command
    // from before it was unplugged. Leaves a device that is off the bus as it is. Returns the
    // new attachment's number (never kAnyAttachment).
    uint64_t OnAttached();
    // The device left its port: transfers of the attachment that ended fail from now on.
    void OnDetached();
    uint16_t VendorId() const;
    uint16_t ProductId() const;
    uint16_t BcdUsb() const;

    // Set by the host before it attaches the device; called without the emulator's lock, on the
    // thread of the transfer that triggered them. After either, the device is off the bus (all
    // transfers fail) until OnReturnedFromReset().
    std::function<void(const ResetRequest&)> onResetRequested;  // after the reset's status block
    std::function<void()> onUnplugRequested;  // at the command block of unplugAtCommand
    // A random unplug: the device wants to be plugged in again at the same port after
    // returnAfterMs. A host that does not set it gets onUnplugRequested (the device stays away).
    std::function<void(uint32_t returnAfterMs)> onReplugRequested;
    // The device is back on the bus (after a reset or a re-plug): the loader starts again and
    // takes any keybox record out of its transfer area.
    void OnReturnedFromReset();
    bool IsOffBus() const;

    // --- Content ------------------------------------------------------------------------------
    void EditStore(const std::function<void(SectorStore&)>& edit);
    bool ReadSectors(uint32_t first, uint32_t count, uint8_t* out) const;
    bool WriteSectors(uint32_t first, uint32_t count, const uint8_t* data);
    bool LoadImageFile(const std::string& path, uint32_t firstSector, std::string* error);
    // Vendor items by id and type, served by 0x27 and written by 0x26 (data only, no header).
    void SetItem(uint16_t id, uint8_t type, std::vector<uint8_t> data);
    bool GetItem(uint16_t id, uint8_t type, std::vector<uint8_t>* data) const;
    void RemoveItem(uint16_t id, uint8_t type);

    LoaderConfig Config() const;
    void SetConfig(const LoaderConfig& config);
    LoaderFaults Faults() const;
    void SetFaults(const LoaderFaults& faults);
    // Random faults on top of the counted ones; the generator starts again from seed.
    void SetRandomFaults(const RandomFaultRates& rates, uint64_t seed);
    RandomFaultRates RandomFaults() const;
    RandomFaultCounts RandomFaultsStruck() const;

    // Keeps every keybox record the loader takes out of its transfer area in a log as well
    // (appended before the area is cleared); `earlier` are the records the log already holds.
    void UseTakenKeyboxLog(std::unique_ptr<TakenKeyboxLog> log, std::vector<TakenKeybox> earlier);
    // Every answer goes through filter (called with the emulator's lock held: it must not call
    // the emulator). An empty filter sends answers as they are.
    void SetReplyFilter(std::function<void(LoaderReply&)> filter);

    // --- Observation --------------------------------------------------------------------------
    uint32_t CommandCount() const;  // command-block transfers received so far
    uint32_t StallCount() const;
    uint32_t ResetCount() const;  // reset commands answered
    uint32_t ClearHaltCount() const;
    std::array<uint8_t, 31> LastCommandBlock() const;
    std::vector<TakenKeybox> TakenKeyboxes() const;

  private:
    enum class State { kCommand, kDataOut, kDataIn, kStatus, kStalled, kOffBus };

    struct Pending {  // what the caller does after the lock is released
        uint64_t sleepMs = 0;
        bool reset = false;
        ResetRequest resetRequest;
        bool unplug = false;
        bool replug = false;  // a random unplug: the device comes back after replugMs
        uint32_t replugMs = 0;
    };
    // Where a random unplug strikes within the current command.
    enum class UnplugPoint { kNone, kBeforeData, kBeforeStatus };
    struct Drawn {  // the random faults drawn for the current command
        bool statusLost = false;
        UnplugPoint unplug = UnplugPoint::kNone;
        bool resetLost = false;
        bool shortRead = false;
        bool badTag = false;
    };

    long Stall();
    void StartCommand();
    void FinishOut();
    void FilterReplyLocked();
    void Complete(uint8_t status, uint32_t residue);
    void DropHalfDoneCommandLocked();
    bool SectorRangeOk(uint32_t first, uint32_t count) const;
    bool StaleLocked(uint64_t attachment) const;
    void TakeKeyboxes();
    uint64_t ByteLatencyMs(size_t bytes);
    void RunPending(const Pending& pending);
    void DrawRandomFaultsLocked(uint8_t opcode);
    double NextUniformLocked();
    bool UnplugNowLocked(UnplugPoint at);

    mutable std::mutex lock_;
    IClock& clock_;
    LoaderConfig config_;
    LoaderFaults faults_;
    SectorStore store_;
    std::map<uint32_t, std::vector<uint8_t>> items_;  // key: id << 8 | type

    State state_ = State::kCommand;
    uint64_t attachment_ = kAnyAttachment;
    std::array<uint8_t, 31> cbw_{};
    uint32_t tag_ = 0;
    uint32_t commandNumber_ = 0;
    bool forcedStatus_ = false;
    uint8_t forcedStatusValue_ = 0;
    std::vector<uint8_t> data_;  // IN data to send, or OUT data received
    size_t dataPos_ = 0;
    size_t outExpected_ = 0;
    uint8_t csw_[13] = {};
    bool resetAfterStatus_ = false;
    uint8_t resetSubCode_ = 0;
    uint64_t latencyCarryNs_ = 0;

    uint32_t stalls_ = 0;
    uint32_t resets_ = 0;
    uint32_t clearHalts_ = 0;
    Pending pending_;
    std::vector<TakenKeybox> taken_;
    std::unique_ptr<TakenKeyboxLog> takenLog_;

    RandomFaultRates randomRates_;
    uint64_t randomState_ = 0;
    Drawn drawn_;
    RandomFaultCounts struck_;

    std::function<void(LoaderReply&)> replyFilter_;
    uint32_t silentMs_ = 0;  // the current command answers nothing more; reads fail after this
};
