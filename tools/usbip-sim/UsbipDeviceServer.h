// Serves one attached device on the device end of a USB/IP connection: answers the standard
// control requests from the identity of an IUsbFunction (device, configuration, string and BOS
// descriptors; configuration, interface, status and halt requests) and passes the two bulk
// endpoints to the function. URBs the device cannot complete yet are held until the function has
// data or the host takes them back with CMD_UNLINK; every CMD_UNLINK is answered.
//
// The host side (vhci-hcd) matches a RET_SUBMIT by sequence number alone and reads data after it
// only for IN transfers, so an OUT return never carries data.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "tools/usbip-sim/UsbFunction.h"
#include "tools/usbip-sim/UsbipWire.h"

// Faults the server injects at the bulk level, counted in command blocks (31-byte OUT transfers
// starting with "USBC", the first being 1).
struct UsbipFaults {
    // The OUT transfer carrying this command block ends with a STALL and the endpoint stays halted
    // until the host clears the halt; the block does not reach the function. 0 = never.
    uint32_t stallOnCommand = 0;
    // IN requests that follow command blocks hangFromCommand .. hangFromCommand + hangCount - 1
    // are never completed (the host's time-out takes them back with CMD_UNLINK). 0 = never.
    uint32_t hangFromCommand = 0;
    uint32_t hangCount = 1;
    // The device leaves the bus for good when a command block with this opcode arrives for the
    // unplugOccurrence-th time (the block is not answered). -1 = never.
    int unplugOnOpcode = -1;
    uint32_t unplugOccurrence = 1;
};

struct UsbipDeviceStats {
    uint32_t commands = 0;        // command blocks seen
    uint32_t clearHalts = 0;      // CLEAR_FEATURE(ENDPOINT_HALT) requests
    uint32_t stallsInjected = 0;  // faults of stallOnCommand
    uint32_t heldUnlinked = 0;    // held URBs taken back by CMD_UNLINK (answered -ECONNRESET)
    uint32_t lateUnlinks = 0;     // CMD_UNLINK for URBs already completed (answered 0)
    uint32_t configurations = 0;  // SET_CONFIGURATION requests with a non-zero value
    uint64_t firstCommandMs = 0;  // steady-clock time of the first command block, 0 = none yet
    uint64_t lastCommandMs = 0;   // steady-clock time of the last bulk transfer of a command
    uint64_t configuredMs = 0;    // time of the last SET_CONFIGURATION(1), 0 = none since Serve
    uint64_t sessionFirstCommandMs = 0;  // first command block since Serve began, 0 = none
};

enum class ServeEnd {
    kStopped,        // the stop flag was raised
    kPeerClosed,     // the host closed the connection (detach or shutdown)
    kLeaveForReset,  // the function asked to leave the bus (RequestLeave)
    kUnplugged,      // the unplug fault fired
    kProtocolError,  // the host sent something this server cannot parse; the stream is lost
};

const char* ServeEndName(ServeEnd end);

// Milliseconds of a steady clock (the times in UsbipDeviceStats).
uint64_t SteadyMs();

class UsbipDeviceServer {
  public:
    using LogFn = std::function<void(const std::string&)>;

    UsbipDeviceServer(IUsbFunction& function, UsbipFaults faults, LogFn log);

    // Serves the connection on fd (one end of a connected stream socket) until one of the
    // ServeEnd reasons. stop is looked at at least every 50 ms. fd stays open.
    ServeEnd Serve(int fd, const std::atomic<bool>& stop);

    // The function's bus requests are taken after every bulk transfer. A reset makes Serve
    // return kLeaveForReset once the transfer that raised it has been answered (or after 100 ms
    // without traffic); an unplug makes it return kUnplugged at once, leaving that transfer
    // unanswered.
    const UsbipDeviceStats& Stats() const { return stats_; }
    // The reset request behind the last kLeaveForReset.
    const UsbBusRequest& LastLeave() const { return leave_; }

    // Descriptors as served (wLength not applied). Exposed for tests.
    std::vector<uint8_t> DeviceDescriptor();
    std::vector<uint8_t> ConfigurationDescriptor() const;
    std::vector<uint8_t> BosDescriptor() const;
    std::vector<uint8_t> StringDescriptor(uint8_t index);

    static constexpr uint8_t kBulkInEp = 0x81;
    static constexpr uint8_t kBulkOutEp = 0x01;

  private:
    struct Reply {
        int32_t status = usbip::kStatusOk;
        std::vector<uint8_t> data;  // IN data (control or bulk)
        int32_t outLength = 0;      // OUT bytes taken
    };

    bool ReadExact(int fd, uint8_t* data, size_t size);
    bool WriteAll(int fd, const uint8_t* data, size_t size);
    bool SendRetSubmit(int fd, const usbip::CommandHeader& h, const Reply& reply);
    bool SendRetUnlink(int fd, const usbip::CommandHeader& h, int32_t status);

    Reply HandleControl(const usbip::CommandHeader& h, const uint8_t* payload, size_t size);
    Reply HandleBulkOut(const usbip::CommandHeader& h, const uint8_t* payload, size_t size,
                        bool* unplug);
    // Tries to complete a bulk IN URB; false when it must stay pending.
    bool TryBulkIn(const usbip::CommandHeader& h, Reply* reply);
    bool RetryPendingIn(int fd, bool* anyCompleted);
    bool CommandIsHung() const;
    void TakeBusRequest();
    // A reset was asked for and its lingering time is over.
    bool LeaveDue() const;
    bool* HaltFlag(uint32_t direction, uint32_t ep);

    IUsbFunction& function_;
    const UsbipFaults faults_;
    LogFn log_;
    UsbipDeviceStats stats_;
    bool leaveRequested_ = false;
    uint64_t leaveAtMs_ = 0;  // a reset's enumeration lingers until then
    bool unplugRequested_ = false;
    UsbBusRequest leave_;
    uint64_t serveStartMs_ = 0;
    uint8_t configuration_ = 0;
    bool inHalted_ = false;
    bool outHalted_ = false;
    uint32_t unplugSeen_ = 0;
    std::vector<usbip::CommandHeader> pendingIn_;  // NAKed, retried after every OUT
    std::vector<usbip::CommandHeader> heldIn_;     // hung on purpose, only unlinked
};
