#include "tools/usbip-sim/LoaderFunction.h"

LoaderFunction::LoaderFunction(std::unique_ptr<LoaderEmulator> emulator, std::string serial)
    : emulator_(std::move(emulator)), serial_(std::move(serial)) {
    emulator_->onResetRequested = [this](const ResetRequest& reset) {
        std::lock_guard<std::mutex> guard(lock_);
        pending_.kind = UsbBusRequest::Kind::kLeaveForReset;
        pending_.delayMs = reset.delayMs;
        pending_.lingerMs = reset.lingerMs;
        pending_.returnAtOtherPort = reset.returnAtOtherPort;
        pending_.noReturn = reset.noReturn;
    };
    emulator_->onUnplugRequested = [this]() {
        std::lock_guard<std::mutex> guard(lock_);
        pending_ = UsbBusRequest{};
        pending_.kind = UsbBusRequest::Kind::kUnplug;
    };
}

LoaderFunction::~LoaderFunction() {
    emulator_->onResetRequested = nullptr;
    emulator_->onUnplugRequested = nullptr;
}

UsbDeviceIdentity LoaderFunction::Identity() {
    UsbDeviceIdentity id;
    id.vendorId = emulator_->VendorId();
    id.productId = emulator_->ProductId();
    id.bcdUsb = emulator_->BcdUsb();
    id.manufacturer = "KeyStation Sim";
    id.product = (id.bcdUsb & 1) != 0 ? "Loader" : "ROM";
    id.serial = serial_;
    return id;
}

long LoaderFunction::BulkOut(const uint8_t* data, size_t size) {
    const long n = emulator_->BulkOut(data, size);
    return n < 0 ? kUsbStall : n;
}

long LoaderFunction::BulkIn(uint8_t* data, size_t size) {
    const long n = emulator_->BulkIn(data, size);
    return n < 0 ? kUsbStall : n;
}

void LoaderFunction::ClearHalt(uint8_t ep) {
    (void)ep;  // the loader's reset recovery clears both endpoints
    emulator_->ClearHalt();
}

UsbBusRequest LoaderFunction::TakeBusRequest() {
    std::lock_guard<std::mutex> guard(lock_);
    const UsbBusRequest request = pending_;
    pending_ = UsbBusRequest{};
    return request;
}

void LoaderFunction::OnReturned() {
    emulator_->OnReturnedFromReset();
}
