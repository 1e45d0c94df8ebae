#include "platform/windows/PipesByDriver.h"

#include <windows.h>
// After <windows.h>.
#include <cfgmgr32.h>

#include <climits>
#include <cwctype>

#include "platform/windows/WinPipeErrors.h"
#include "support/Logger.h"
#include "support/WideText.h"

using winpipes::SetError;

std::wstring CPipesByDriver::InstanceIdOf(const std::wstring& interfacePath) {
    std::wstring id = interfacePath;
    if (id.rfind(L"\\\\?\\", 0) == 0 || id.rfind(L"\\\\.\\", 0) == 0) {
        id.erase(0, 4);
    }
    // The interface class at the end: "#{...}".
    const std::size_t klass = id.rfind(L"#{");
    if (klass != std::wstring::npos && !id.empty() && id.back() == L'}') {
        id.erase(klass);
    }
    int separators = 0;
    for (wchar_t& c : id) {
        if (c == L'#' && separators < 2) {
            c = L'\\';
            ++separators;
        }
    }
    return separators == 2 ? id : std::wstring();
}

CPipesByDriver::Driver CPipesByDriver::DriverOf(const std::string& devicePath,
                                                std::string* service) {
    service->clear();
    const std::wstring id = InstanceIdOf(ks::WideFromUtf8(devicePath));
    uint32_t devnode = 0;
    std::wstring value;
    if (id.empty() || calls_.LocateDevnode(id, &devnode) != CR_SUCCESS ||
        calls_.GetProperty(devnode, CM_DRP_SERVICE, &value) != CR_SUCCESS) {
        return Driver::kNone;
    }
    const std::size_t zero = value.find(L'\0');
    if (zero != std::wstring::npos) {
        value.erase(zero);
    }
    if (value.empty() || value.size() > 256) {
        return Driver::kNone;
    }
    *service = ks::Utf8FromWide(value);
    std::wstring upper;
    for (wchar_t c : value) {
        upper += static_cast<wchar_t>(std::towupper(c));
    }
    return upper == L"WINUSB" ? Driver::kWinUsb : Driver::kPipeFiles;
}

void CPipesByDriver::Say(const std::string& devicePath, Driver driver, const std::string& service) {
    const std::string choice = driver == Driver::kWinUsb      ? service + ": WinUSB"
                               : driver == Driver::kPipeFiles ? service + ": pipe files"
                                                              : std::string("none");
    {
        std::lock_guard<std::mutex> hold(lock_);
        const auto it = said_.find(devicePath);
        if (it != said_.end() && it->second == choice) {
            return;
        }
        if (said_.size() >= kMaxRemembered) {
            said_.clear();
        }
        said_[devicePath] = choice;
    }
    CLoggerBase* log = log_.load();
    if (log == nullptr) {
        return;
    }
    if (driver == Driver::kNone) {
        log->Print(ks::kLogStation, "ERROR:SelectDriver-->no driver bound to %s",
                   devicePath.c_str());
    } else if (driver == Driver::kWinUsb) {
        log->Print(ks::kLogStation, "INFO:SelectDriver-->%s: driver %s, WinUSB pipes",
                   devicePath.c_str(), service.c_str());
    } else {
        log->Print(ks::kLogStation, "INFO:SelectDriver-->%s: driver %s, pipe files PIPE00/PIPE01",
                   devicePath.c_str(), service.c_str());
    }
}

int CPipesByDriver::Open(const std::string& devicePath, int mode, int* sysError) {
    if (mode != kPipeIn && mode != kPipeOut && mode != kPipeDevice) {
        SetError(sysError, EINVAL);
        return kInvalidHandle;
    }
    std::string service;
    const Driver driver = DriverOf(devicePath, &service);
    Say(devicePath, driver, service);
    if (driver == Driver::kNone) {
        SetError(sysError, ENODEV);
        return kInvalidHandle;
    }
    IBulkPipes* pipes = driver == Driver::kWinUsb ? static_cast<IBulkPipes*>(&winUsb_)
                                                  : static_cast<IBulkPipes*>(&pipeFiles_);
    const int inner = pipes->Open(devicePath, mode, sysError);
    if (inner == kInvalidHandle) {
        return kInvalidHandle;
    }
    return open_.Add(Route{pipes, inner});
}

void CPipesByDriver::Close(int handle) {
    Route o;
    if (open_.Take(handle, &o)) {
        o.pipes->Close(o.inner);
    }
}

long CPipesByDriver::Write(int handle, const uint8_t* data, size_t size, int* sysError) {
    Route o;
    if (!open_.Find(handle, &o)) {
        SetError(sysError, EBADF);
        return -1;
    }
    return o.pipes->Write(o.inner, data, size, sysError);
}

long CPipesByDriver::Read(int handle, uint8_t* data, size_t size, int* sysError) {
    Route o;
    if (!open_.Find(handle, &o)) {
        SetError(sysError, EBADF);
        return -1;
    }
    return o.pipes->Read(o.inner, data, size, sysError);
}

bool CPipesByDriver::ResetPipe(int handle, uint8_t pipe, int* sysError) {
    Route o;
    if (!open_.Find(handle, &o)) {
        SetError(sysError, EBADF);
        return false;
    }
    return o.pipes->ResetPipe(o.inner, pipe, sysError);
}
