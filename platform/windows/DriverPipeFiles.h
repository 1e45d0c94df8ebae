// IBulkPipes over the maker's USB driver: the driver presents a loader-mode device's bulk pipes as
// files below its device interface path, device path + "\PIPE00" (IN: read only, share read) and
// device path + "\PIPE01" (OUT: write only, share write). A transfer is one synchronous ReadFile
// or WriteFile of the whole buffer; the pipe reset is the driver's request 0x8000A008 with one
// input byte (the selector) on the device path itself, opened for reading and writing.
//
// Every name is built in a buffer of 260 UTF-16 units: path + suffix + terminator must fit, else
// the open fails with ENAMETOOLONG and nothing is asked of the system. A transfer the driver does
// not complete within 5 s plus 1 s per MiB of its buffer is cancelled and fails with ETIMEDOUT.
#pragma once

#include <cstdint>
#include <string>

#include "device/BulkPipes.h"
#include "platform/windows/PipeSessions.h"
#include "platform/windows/WinUsbCalls.h"

class CDriverPipeFiles final : public IBulkPipes {
  public:
    static constexpr uint32_t kResetRequest = 0x8000A008;
    static constexpr size_t kMaxName = 260;  // UTF-16 units with the terminator
    static constexpr const wchar_t* kInPipe = L"\\PIPE00";
    static constexpr const wchar_t* kOutPipe = L"\\PIPE01";

    explicit CDriverPipeFiles(IWinUsbCalls& calls) : calls_(calls) {}
    ~CDriverPipeFiles() override;

    int Open(const std::string& devicePath, int mode, int* sysError) override;
    void Close(int handle) override;
    long Write(int handle, const uint8_t* data, size_t size, int* sysError) override;
    long Read(int handle, uint8_t* data, size_t size, int* sysError) override;
    // Through the device handle when `handle` is one; on a pipe handle the device path is opened
    // for the request on its own and closed after it.
    bool ResetPipe(int handle, uint8_t pipe, int* sysError) override;

  private:
    struct Session {
        IWinUsbCalls::Handle file = IWinUsbCalls::kNoHandle;
        int mode = 0;
        std::wstring devicePath;
    };
    long Transfer(int handle, bool in, uint8_t* data, size_t size, int* sysError);

    IWinUsbCalls& calls_;
    winpipes::Sessions<Session> sessions_;
};
