// A loader-mode (or ROM-mode) device served over USB/IP: the same loader-device emulator the
// simulated host uses, seen through its two bulk endpoints.
#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "platform/sim/LoaderEmulator.h"
#include "tools/usbip-sim/UsbFunction.h"

class LoaderFunction final : public IUsbFunction {
  public:
    // Takes the emulator and installs its reset and unplug hooks.
    LoaderFunction(std::unique_ptr<LoaderEmulator> emulator, std::string serial);
    ~LoaderFunction() override;
    LoaderFunction(const LoaderFunction&) = delete;
    LoaderFunction& operator=(const LoaderFunction&) = delete;

    UsbDeviceIdentity Identity() override;
    long BulkOut(const uint8_t* data, size_t size) override;
    long BulkIn(uint8_t* data, size_t size) override;
    void ClearHalt(uint8_t ep) override;
    UsbBusRequest TakeBusRequest() override;
    void OnReturned() override;

    LoaderEmulator& Emulator() { return *emulator_; }

  private:
    std::unique_ptr<LoaderEmulator> emulator_;
    const std::string serial_;
    std::mutex lock_;
    UsbBusRequest pending_;
};
