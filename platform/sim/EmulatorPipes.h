// IBulkPipes over loader emulators, routed by device path (no USB tree): for transport tests and
// benchmarks. A device that resets leaves its path and comes back once the delay it asked for
// has passed on the given clock (checked lazily, on the next open or presence test), and so does
// one that asks to be plugged in again; one that unplugs, or will not return, stays away until it
// is attached again.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>

#include "device/BulkPipes.h"
#include "platform/sim/LoaderEmulator.h"
#include "support/Clock.h"

class EmulatorPipes final : public IBulkPipes {
  public:
    explicit EmulatorPipes(IClock& clock = SystemClock());
    ~EmulatorPipes() override;
    EmulatorPipes(const EmulatorPipes&) = delete;
    EmulatorPipes& operator=(const EmulatorPipes&) = delete;

    // Routes path to the emulator (not owned; it must outlive the attachment) and installs its
    // reset and unplug callbacks. Attaching again brings an absent device back.
    void Attach(const std::string& path, LoaderEmulator& emulator);
    void Detach(const std::string& path);
    // True when a device is on the bus at path (returning a reset device whose delay is over).
    bool IsPresent(const std::string& path);

    size_t OpenHandleCount() const;
    uint32_t ResetPipeCount() const;

    int Open(const std::string& devicePath, int mode, int* sysError) override;
    void Close(int handle) override;
    long Write(int handle, const uint8_t* data, size_t size, int* sysError) override;
    long Read(int handle, uint8_t* data, size_t size, int* sysError) override;
    bool ResetPipe(int handle, uint8_t pipe, int* sysError) override;

  private:
    static constexpr uint64_t kNever = UINT64_MAX;
    struct Device {
        LoaderEmulator* emulator = nullptr;
        bool present = true;
        uint64_t returnAtMs = kNever;
    };
    struct Handle {
        LoaderEmulator* emulator = nullptr;
        int mode = 0;
    };

    void OnReset(const std::string& path, const ResetRequest& request);
    void OnUnplug(const std::string& path);
    // Brings back a device whose reset delay is over; returns its emulator when present.
    LoaderEmulator* Present(const std::string& path, int* sysError);
    LoaderEmulator* FindHandle(int handle, int mode, int* sysError) const;

    IClock& clock_;
    mutable std::mutex lock_;
    std::map<std::string, Device> devices_;
    std::map<int, Handle> handles_;
    int nextHandle_ = 1;
    uint32_t resetPipes_ = 0;
};
