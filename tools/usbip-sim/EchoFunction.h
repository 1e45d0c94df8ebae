// A minimal bulk device for checking the USB/IP path itself: whatever the host writes on the OUT
// endpoint comes back on the IN endpoint. An IN request with nothing to return stays pending.
#pragma once

#include <deque>
#include <vector>

#include "tools/usbip-sim/UsbFunction.h"

class EchoFunction final : public IUsbFunction {
  public:
    explicit EchoFunction(UsbDeviceIdentity identity) : identity_(std::move(identity)) {}

    UsbDeviceIdentity Identity() override { return identity_; }
    long BulkOut(const uint8_t* data, size_t size) override;
    long BulkIn(uint8_t* data, size_t size) override;
    void ClearHalt(uint8_t ep) override;

    // Bytes kept at most; a write beyond it stalls.
    static constexpr size_t kCapacity = 1024 * 1024;

  private:
    UsbDeviceIdentity identity_;
    std::deque<std::vector<uint8_t>> queue_;
    size_t queued_ = 0;
};
