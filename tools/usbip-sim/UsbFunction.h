// What a served device does behind its default control pipe: its identity (for the descriptors)
// and its two bulk endpoints. The server answers every standard control request itself.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

struct UsbDeviceIdentity {
    uint16_t vendorId = 0;
    uint16_t productId = 0;
    uint16_t bcdUsb = 0x0200;  // 0x0201 for a loader, 0x0200 for a ROM-mode device
    uint16_t bcdDevice = 0x0100;
    std::string manufacturer;
    std::string product;
    std::string serial;  // empty: the device descriptor names no serial string
};

// Results of a bulk transfer besides a byte count.
constexpr long kUsbStall = -1;  // the endpoint answers with a STALL handshake
constexpr long kUsbNak = -2;    // nothing to send yet: the host's IN request stays pending

// What the device asks of the bus after a transfer: nothing, to leave it for a while (a reset; it
// comes back after delayMs unless noReturn), or to leave it for good (an unplug).
struct UsbBusRequest {
    enum class Kind { kNone, kLeaveForReset, kUnplug };
    Kind kind = Kind::kNone;
    uint32_t delayMs = 0;
    uint32_t lingerMs = 0;  // stays attached (not answering) this long before leaving
    bool returnAtOtherPort = false;
    bool noReturn = false;
};

class IUsbFunction {
  public:
    virtual ~IUsbFunction() = default;
    virtual UsbDeviceIdentity Identity() = 0;
    // The host sent size bytes on the bulk OUT endpoint. Returns the bytes taken or kUsbStall.
    virtual long BulkOut(const uint8_t* data, size_t size) = 0;
    // The host asks for up to size bytes on the bulk IN endpoint. Returns the bytes placed in
    // data, kUsbStall, or kUsbNak when the device has nothing to send now.
    virtual long BulkIn(uint8_t* data, size_t size) = 0;
    // CLEAR_FEATURE(ENDPOINT_HALT) arrived for endpoint address ep (0x81 or 0x01).
    virtual void ClearHalt(uint8_t ep) = 0;
    // Asked after every bulk transfer; returns the pending request once and forgets it.
    virtual UsbBusRequest TakeBusRequest() { return {}; }
    // The device is back on the bus after a reset (before it is attached again).
    virtual void OnReturned() {}
};
