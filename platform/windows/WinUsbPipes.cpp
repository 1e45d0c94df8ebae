#include "platform/windows/WinUsbPipes.h"

#include <windows.h>

#include <cerrno>
#include <climits>

#include "platform/windows/WinPipeErrors.h"
#include "support/WideText.h"

using winpipes::Code;
using winpipes::SetError;

CWinUsbPipes::~CWinUsbPipes() {
    for (auto& [handle, session] : sessions_) {
        calls_.CloseWinUsb(session.usb);
    }
}

uint32_t CWinUsbPipes::TimeoutFor(size_t size) {
    const uint64_t ms = kRequestTimeoutMs + ((static_cast<uint64_t>(size) * kExtraMsPerMiB) >> 20);
    return ms > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(ms);
}

int CWinUsbPipes::Open(const std::string& devicePath, int mode, int* sysError) {
    if (mode != kPipeIn && mode != kPipeOut && mode != kPipeDevice) {
        SetError(sysError, EINVAL);
        return kInvalidHandle;
    }
    Session session;
    session.mode = mode;
    uint32_t error = 0;
    session.usb =
        calls_.OpenWinUsb(ks::WideFromUtf8(devicePath), &session.bulkIn, &session.bulkOut, &error);
    if (session.usb == IWinUsbCalls::kNoHandle) {
        SetError(sysError, Code(error));
        return kInvalidHandle;
    }
    if ((mode == kPipeIn && session.bulkIn == 0) || (mode == kPipeOut && session.bulkOut == 0)) {
        calls_.CloseWinUsb(session.usb);
        SetError(sysError, ENODEV);
        return kInvalidHandle;
    }
    std::lock_guard<std::mutex> hold(lock_);
    const int handle = next_;
    next_ = next_ == INT_MAX ? 1 : next_ + 1;
    sessions_[handle] = session;
    return handle;
}

void CWinUsbPipes::Close(int handle) {
    Session session;
    {
        std::lock_guard<std::mutex> hold(lock_);
        const auto it = sessions_.find(handle);
        if (it == sessions_.end()) {
            return;
        }
        session = it->second;
        sessions_.erase(it);
    }
    calls_.CloseWinUsb(session.usb);
}

bool CWinUsbPipes::Find(int handle, Session* out) {
    std::lock_guard<std::mutex> hold(lock_);
    const auto it = sessions_.find(handle);
    if (it == sessions_.end()) {
        return false;
    }
    *out = it->second;
    return true;
}

long CWinUsbPipes::Transfer(int handle, bool in, uint8_t* data, size_t size, int* sysError) {
    Session s;
    if (!Find(handle, &s) || (in ? s.mode != kPipeIn : s.mode != kPipeOut)) {
        SetError(sysError, EBADF);
        return -1;
    }
    if (size == 0) {
        return 0;
    }
    if (data == nullptr || size > static_cast<size_t>(LONG_MAX) || size > UINT32_MAX) {
        SetError(sysError, EINVAL);
        return -1;
    }
    const uint8_t pipe = in ? s.bulkIn : s.bulkOut;
    uint32_t error = 0;
    if (!calls_.SetPipeTimeout(s.usb, pipe, TimeoutFor(size), &error)) {
        SetError(sysError, Code(error));
        return -1;
    }
    uint32_t done = 0;
    const bool ok =
        in ? calls_.ReadPipe(s.usb, pipe, data, static_cast<uint32_t>(size), &done, &error)
           : calls_.WritePipe(s.usb, pipe, data, static_cast<uint32_t>(size), &done, &error);
    if (!ok) {
        SetError(sysError, Code(error));
        return -1;
    }
    return static_cast<long>(done > size ? size : done);
}

long CWinUsbPipes::Write(int handle, const uint8_t* data, size_t size, int* sysError) {
    return Transfer(handle, false, const_cast<uint8_t*>(data), size, sysError);
}

long CWinUsbPipes::Read(int handle, uint8_t* data, size_t size, int* sysError) {
    return Transfer(handle, true, data, size, sysError);
}

// Selector 0 resets the IN pipe, 1 the OUT pipe, 2 (what the transport passes) both, as usbfs
// does; the second is reset also when the first fails, and the first failure is reported.
bool CWinUsbPipes::ResetPipe(int handle, uint8_t pipe, int* sysError) {
    if (pipe > 2) {
        SetError(sysError, EINVAL);
        return false;
    }
    Session s;
    if (!Find(handle, &s)) {
        SetError(sysError, EBADF);
        return false;
    }
    int firstError = 0;
    const auto reset = [&](uint8_t endpoint) {
        uint32_t error = 0;
        if (endpoint == 0) {
            firstError = firstError != 0 ? firstError : ENODEV;
        } else if (!calls_.ResetPipe(s.usb, endpoint, &error) && firstError == 0) {
            firstError = Code(error);
        }
    };
    if (pipe == 0 || pipe == 2) {
        reset(s.bulkIn);
    }
    if (pipe == 1 || pipe == 2) {
        reset(s.bulkOut);
    }
    if (firstError != 0) {
        SetError(sysError, firstError);
        return false;
    }
    return true;
}
