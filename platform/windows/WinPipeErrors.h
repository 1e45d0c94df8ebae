// A Windows error of a bulk transfer in the pipes' terms, as usbfs reports them, for both pipe
// back-ends: a time-out is ETIMEDOUT (the transport waits on for a slow status block on that code
// alone), a halted endpoint EPIPE, a device that went away ENODEV. Other codes pass as they are.
#pragma once

#include <windows.h>

#include <cerrno>
#include <cstdint>

namespace winpipes {

// ERROR_NO_SUCH_DEVICE, which MinGW's headers lack.
constexpr uint32_t kErrorNoSuchDevice = 433;

inline int Code(uint32_t error) {
    switch (error) {
        case ERROR_SEM_TIMEOUT:        // the driver's own time-out
        case ERROR_OPERATION_ABORTED:  // our time-out: the transfer was cancelled
            return ETIMEDOUT;
        case ERROR_GEN_FAILURE:  // a stalled endpoint
            return EPIPE;
        case ERROR_BAD_COMMAND:  // the device was removed under an open handle
        case ERROR_DEVICE_NOT_CONNECTED:
        case kErrorNoSuchDevice:
            return ENODEV;
        default:
            return static_cast<int>(error);
    }
}

inline void SetError(int* sysError, int error) {
    if (sysError != nullptr) {
        *sysError = error;
    }
}

}  // namespace winpipes
