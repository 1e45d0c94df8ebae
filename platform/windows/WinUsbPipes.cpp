#include "platform/windows/WinUsbPipes.h"

#include <windows.h>

#include <cerrno>
#include <climits>

#include "platform/windows/WinPipeErrors.h"
#include "support/WideText.h"

using winpipes::Code;
using winpipes::SetError;

CWinUsbPipes::~CWinUsbPipes() {
    for (const Session& session : sessions_.TakeAll()) {
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
    return sessions_.Add(session);
}

void CWinUsbPipes::Close(int handle) {
    Session session;
    if (sessions_.Take(handle, &session)) {
        calls_.CloseWinUsb(session.usb);
    }
}

long CWinUsbPipes::Transfer(int handle, bool in, uint8_t* data, size_t size, int* sysError) {
    const auto move = [&](const Session& s, uint32_t n, uint32_t* done, uint32_t* error) {
        const uint8_t pipe = in ? s.bulkIn : s.bulkOut;
        if (!calls_.SetPipeTimeout(s.usb, pipe, TimeoutFor(n), error)) {
            return false;
        }
        return in ? calls_.ReadPipe(s.usb, pipe, data, n, done, error)
                  : calls_.WritePipe(s.usb, pipe, data, n, done, error);
    };
    return winpipes::Transfer(sessions_, handle, in, data, size, sysError, move);
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
    if (!sessions_.Find(handle, &s)) {
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
