#include "platform/sim/EmulatorPipes.h"

#include <cerrno>
#include <climits>
#include <vector>

namespace {

void SetError(int* sysError, int value) {
    if (sysError != nullptr) {
        *sysError = value;
    }
}

// A transfer's count as the pipes give it: a failure is ENODEV for a board off the bus, EPIPE
// for a halted endpoint.
long Moved(const LoaderEmulator& emulator, long n, int* sysError) {
    if (n < 0) {
        SetError(sysError, emulator.IsOffBus() ? ENODEV : EPIPE);
    }
    return n;
}

}  // namespace

EmulatorPipes::EmulatorPipes(IClock& clock) : clock_(clock) {}

EmulatorPipes::~EmulatorPipes() {
    std::vector<LoaderEmulator*> emulators;
    {
        std::lock_guard<std::mutex> guard(lock_);
        for (auto& [path, device] : devices_) {
            emulators.push_back(device.emulator);
        }
        devices_.clear();
    }
    for (LoaderEmulator* emulator : emulators) {
        emulator->onResetRequested = nullptr;
        emulator->onUnplugRequested = nullptr;
        emulator->onReplugRequested = nullptr;
    }
}

void EmulatorPipes::Attach(const std::string& path, LoaderEmulator& emulator) {
    emulator.onResetRequested = [this, path](const ResetRequest& request) {
        OnReset(path, request);
    };
    emulator.onUnplugRequested = [this, path] { OnUnplug(path); };
    emulator.onReplugRequested = [this, path](uint32_t returnAfterMs) {
        ResetRequest request;
        request.delayMs = returnAfterMs;
        OnReset(path, request);
    };
    bool wasAbsent = false;
    {
        std::lock_guard<std::mutex> guard(lock_);
        auto it = devices_.find(path);
        wasAbsent = it != devices_.end() && it->second.emulator == &emulator && !it->second.present;
        devices_[path] = Device{&emulator, true, kNever};
    }
    if (wasAbsent || emulator.IsOffBus()) {
        emulator.OnReturnedFromReset();
    }
}

void EmulatorPipes::Detach(const std::string& path) {
    LoaderEmulator* emulator = nullptr;
    {
        std::lock_guard<std::mutex> guard(lock_);
        auto it = devices_.find(path);
        if (it == devices_.end()) {
            return;
        }
        emulator = it->second.emulator;
        devices_.erase(it);
        for (auto h = handles_.begin(); h != handles_.end();) {
            h = h->second.emulator == emulator ? handles_.erase(h) : std::next(h);
        }
    }
    emulator->onResetRequested = nullptr;
    emulator->onUnplugRequested = nullptr;
    emulator->onReplugRequested = nullptr;
}

void EmulatorPipes::OnReset(const std::string& path, const ResetRequest& request) {
    std::lock_guard<std::mutex> guard(lock_);
    auto it = devices_.find(path);
    if (it == devices_.end()) {
        return;
    }
    it->second.present = false;
    // Without ports, a device that comes back elsewhere is gone from this path.
    it->second.returnAtMs =
        request.noReturn || request.returnAtOtherPort ? kNever : clock_.NowMs() + request.delayMs;
}

void EmulatorPipes::OnUnplug(const std::string& path) {
    std::lock_guard<std::mutex> guard(lock_);
    auto it = devices_.find(path);
    if (it != devices_.end()) {
        it->second.present = false;
        it->second.returnAtMs = kNever;
    }
}

LoaderEmulator* EmulatorPipes::Present(const std::string& path, int* sysError) {
    LoaderEmulator* returning = nullptr;
    {
        std::lock_guard<std::mutex> guard(lock_);
        auto it = devices_.find(path);
        if (it == devices_.end()) {
            SetError(sysError, ENOENT);
            return nullptr;
        }
        Device& device = it->second;
        if (device.present) {
            return device.emulator;
        }
        if (device.returnAtMs == kNever || clock_.NowMs() < device.returnAtMs) {
            SetError(sysError, ENODEV);
            return nullptr;
        }
        device.present = true;
        device.returnAtMs = kNever;
        returning = device.emulator;
    }
    returning->OnReturnedFromReset();
    return returning;
}

bool EmulatorPipes::IsPresent(const std::string& path) {
    return Present(path, nullptr) != nullptr;
}

int EmulatorPipes::Open(const std::string& devicePath, int mode, int* sysError) {
    if (mode != kPipeIn && mode != kPipeOut && mode != kPipeDevice) {
        SetError(sysError, EINVAL);
        return kInvalidHandle;
    }
    LoaderEmulator* emulator = Present(devicePath, sysError);
    if (emulator == nullptr) {
        return kInvalidHandle;
    }
    std::lock_guard<std::mutex> guard(lock_);
    int handle = nextHandle_;
    while (handles_.count(handle) != 0) {
        handle = handle == INT_MAX ? 1 : handle + 1;
    }
    nextHandle_ = handle == INT_MAX ? 1 : handle + 1;
    handles_[handle] = Handle{emulator, mode};
    return handle;
}

void EmulatorPipes::Close(int handle) {
    std::lock_guard<std::mutex> guard(lock_);
    handles_.erase(handle);
}

LoaderEmulator* EmulatorPipes::FindHandle(int handle, int mode, int* sysError) const {
    std::lock_guard<std::mutex> guard(lock_);
    auto it = handles_.find(handle);
    if (it == handles_.end() || it->second.mode != mode) {
        SetError(sysError, EBADF);
        return nullptr;
    }
    return it->second.emulator;
}

long EmulatorPipes::Write(int handle, const uint8_t* data, size_t size, int* sysError) {
    LoaderEmulator* emulator = FindHandle(handle, kPipeOut, sysError);
    return emulator == nullptr ? -1 : Moved(*emulator, emulator->BulkOut(data, size), sysError);
}

long EmulatorPipes::Read(int handle, uint8_t* data, size_t size, int* sysError) {
    LoaderEmulator* emulator = FindHandle(handle, kPipeIn, sysError);
    return emulator == nullptr ? -1 : Moved(*emulator, emulator->BulkIn(data, size), sysError);
}

bool EmulatorPipes::ResetPipe(int handle, uint8_t pipe, int* sysError) {
    // Selectors as the platforms take them: 0 IN, 1 OUT, 2 both (the emulator clears both).
    if (pipe > 2) {
        SetError(sysError, EINVAL);
        return false;
    }
    LoaderEmulator* emulator = nullptr;
    {
        std::lock_guard<std::mutex> guard(lock_);
        auto it = handles_.find(handle);
        if (it == handles_.end()) {
            SetError(sysError, EBADF);
            return false;
        }
        emulator = it->second.emulator;
    }
    {
        std::lock_guard<std::mutex> guard(lock_);
        ++resetPipes_;
    }
    emulator->ClearHalt();
    return true;
}

size_t EmulatorPipes::OpenHandleCount() const {
    std::lock_guard<std::mutex> guard(lock_);
    return handles_.size();
}

uint32_t EmulatorPipes::ResetPipeCount() const {
    std::lock_guard<std::mutex> guard(lock_);
    return resetPipes_;
}
