#include "platform/windows/DriverPipeFiles.h"

#include <windows.h>

#include <climits>

#include "platform/windows/WinPipeErrors.h"
#include "platform/windows/WinUsbPipes.h"
#include "support/WideText.h"

using winpipes::Code;
using winpipes::SetError;

CDriverPipeFiles::~CDriverPipeFiles() {
    for (const Session& session : sessions_.TakeAll()) {
        calls_.CloseDevice(session.file);
    }
}

int CDriverPipeFiles::Open(const std::string& devicePath, int mode, int* sysError) {
    const wchar_t* suffix = nullptr;
    uint32_t access = 0, share = 0;
    switch (mode) {
        case kPipeIn:
            suffix = kInPipe;
            access = GENERIC_READ;
            share = FILE_SHARE_READ;
            break;
        case kPipeOut:
            suffix = kOutPipe;
            access = GENERIC_WRITE;
            share = FILE_SHARE_WRITE;
            break;
        case kPipeDevice:
            suffix = L"";
            access = GENERIC_READ | GENERIC_WRITE;
            share = FILE_SHARE_READ | FILE_SHARE_WRITE;
            break;
        default:
            SetError(sysError, EINVAL);
            return kInvalidHandle;
    }
    Session session;
    session.mode = mode;
    session.devicePath = ks::WideFromUtf8(devicePath);
    if (session.devicePath.empty() || session.devicePath.find(L'\0') != std::wstring::npos) {
        SetError(sysError, EINVAL);
        return kInvalidHandle;
    }
    const std::wstring name = session.devicePath + suffix;
    if (name.size() + 1 > kMaxName) {
        SetError(sysError, ENAMETOOLONG);
        return kInvalidHandle;
    }
    uint32_t error = 0;
    session.file = calls_.OpenFile(name, access, share, &error);
    if (session.file == IWinUsbCalls::kNoHandle) {
        SetError(sysError, Code(error));
        return kInvalidHandle;
    }
    return sessions_.Add(session);
}

void CDriverPipeFiles::Close(int handle) {
    Session session;
    if (sessions_.Take(handle, &session)) {
        calls_.CloseDevice(session.file);
    }
}

long CDriverPipeFiles::Transfer(int handle, bool in, uint8_t* data, size_t size, int* sysError) {
    const auto move = [&](const Session& s, uint32_t n, uint32_t* done, uint32_t* error) {
        const uint32_t timeout = CWinUsbPipes::TimeoutFor(n);
        return in ? calls_.ReadFromFile(s.file, data, n, timeout, done, error)
                  : calls_.WriteToFile(s.file, data, n, timeout, done, error);
    };
    return winpipes::Transfer(sessions_, handle, in, data, size, sysError, move);
}

long CDriverPipeFiles::Write(int handle, const uint8_t* data, size_t size, int* sysError) {
    return Transfer(handle, false, const_cast<uint8_t*>(data), size, sysError);
}

long CDriverPipeFiles::Read(int handle, uint8_t* data, size_t size, int* sysError) {
    return Transfer(handle, true, data, size, sysError);
}

bool CDriverPipeFiles::ResetPipe(int handle, uint8_t pipe, int* sysError) {
    Session s;
    if (!sessions_.Find(handle, &s)) {
        SetError(sysError, EBADF);
        return false;
    }
    // The driver resets the IN pipe for 0, the OUT pipe for 1 and both for 2; other selectors
    // are refused here, as by every other implementation of the pipes.
    if (pipe > 2) {
        SetError(sysError, EINVAL);
        return false;
    }
    IWinUsbCalls::Handle device = s.file;
    uint32_t error = 0;
    if (s.mode != kPipeDevice) {
        device = calls_.OpenFile(s.devicePath, GENERIC_READ | GENERIC_WRITE,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE, &error);
        if (device == IWinUsbCalls::kNoHandle) {
            // The device path is gone with the device.
            const bool gone = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
            SetError(sysError, gone ? ENODEV : Code(error));
            return false;
        }
    }
    uint32_t returned = 0;
    const bool ok = calls_.Ioctl(device, kResetRequest, &pipe, 1, nullptr, 0, &returned, &error);
    if (device != s.file) {
        calls_.CloseDevice(device);
    }
    if (!ok) {
        SetError(sysError, Code(error));
    }
    return ok;
}
