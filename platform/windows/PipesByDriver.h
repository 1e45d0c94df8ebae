// The pipes of a Windows station: each device is spoken to through the driver bound to its device
// node. The driver's service name is read through the configuration manager (the device instance
// ID from the interface path, CM_Locate_DevNodeW, CM_DRP_SERVICE) at every open, never guessed by
// trial transfers: "WinUSB" gets the WinUSB pipes, any other driver the pipe files the maker's
// driver presents. The first choice for a device path, and every change of it, is written to the
// station log. A device with no driver bound does not open (ENODEV).
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>

#include "device/BulkPipes.h"
#include "platform/windows/DriverPipeFiles.h"
#include "platform/windows/PipeSessions.h"
#include "platform/windows/WinUsbCalls.h"
#include "platform/windows/WinUsbPipes.h"

class CLoggerBase;

class CPipesByDriver final : public IBulkPipes {
  public:
    enum class Driver { kNone, kWinUsb, kPipeFiles };

    explicit CPipesByDriver(IWinUsbCalls& calls)
        : calls_(calls), winUsb_(calls), pipeFiles_(calls) {}

    int Open(const std::string& devicePath, int mode, int* sysError) override;
    void Close(int handle) override;
    long Write(int handle, const uint8_t* data, size_t size, int* sysError) override;
    long Read(int handle, uint8_t* data, size_t size, int* sysError) override;
    bool ResetPipe(int handle, uint8_t pipe, int* sysError) override;

    // The station log (may be null); set by the station, read by its workers.
    void SetLog(CLoggerBase* log) { log_.store(log); }

    // The driver bound to the device of an interface path, and its service name.
    Driver DriverOf(const std::string& devicePath, std::string* service);
    // "\\?\USB#VID_F00D&PID_1001#SERIAL#{guid}" -> "USB\VID_F00D&PID_1001\SERIAL": the first two
    // '#' are the separators of the instance ID; an instance part may hold '#' itself.
    static std::wstring InstanceIdOf(const std::wstring& interfacePath);

  private:
    static constexpr size_t kMaxRemembered = 256;
    struct Route {
        IBulkPipes* pipes = nullptr;
        int inner = kInvalidHandle;
    };
    void Say(const std::string& devicePath, Driver driver, const std::string& service);

    IWinUsbCalls& calls_;
    CWinUsbPipes winUsb_;
    CDriverPipeFiles pipeFiles_;
    std::atomic<CLoggerBase*> log_{nullptr};
    winpipes::Sessions<Route> open_;
    std::mutex lock_;                          // said_
    std::map<std::string, std::string> said_;  // device path -> the choice last logged
};
