// Device-change notices on Windows: a hidden top-level window (not message-only, so that the
// system's broadcasts reach it) on a thread of its own registers for the USB device interface's
// arrivals and removals (RegisterDeviceNotificationW) and hands the
// rescan codes (device nodes changed 0x0007, arrival 0x8000, removal complete 0x8004) on.
#pragma once

#include <windows.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

#include "device/DeviceChangeSource.h"

// True for the event codes that ask for a rescan.
bool IsRescanEvent(WPARAM code);

class CWinDeviceNotices final : public IDeviceChangeSource {
  public:
    CWinDeviceNotices() = default;
    ~CWinDeviceNotices() override;
    CWinDeviceNotices(const CWinDeviceNotices&) = delete;
    CWinDeviceNotices& operator=(const CWinDeviceNotices&) = delete;

    // False when the window could not be made. The registration for USB devices may fail
    // (the window then still gets the system's "device nodes changed" broadcasts).
    bool Start(std::function<void()> onChange) override;
    void Stop() override;

    HWND Window() const { return window_.load(); }
    bool Registered() const { return registered_.load(); }

  private:
    static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM w, LPARAM l);
    void Run();

    std::function<void()> onChange_;
    std::thread thread_;
    std::mutex lock_;
    std::condition_variable started_;
    bool ready_ = false;
    std::atomic<HWND> window_{nullptr};
    std::atomic<bool> registered_{false};
};
