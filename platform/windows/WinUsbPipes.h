// IBulkPipes on Windows: the device's two bulk endpoints through WinUSB on its interface path.
// Every transfer gets a time-out of its own as on Linux: 5 s plus 1 s per MiB of buffer.
#pragma once

#include <cstdint>

#include "device/BulkPipes.h"
#include "platform/windows/PipeSessions.h"
#include "platform/windows/WinUsbCalls.h"

class CWinUsbPipes final : public IBulkPipes {
  public:
    static constexpr uint32_t kRequestTimeoutMs = 5000;
    static constexpr uint32_t kExtraMsPerMiB = 1000;

    explicit CWinUsbPipes(IWinUsbCalls& calls) : calls_(calls) {}
    ~CWinUsbPipes() override;

    int Open(const std::string& devicePath, int mode, int* sysError) override;
    void Close(int handle) override;
    long Write(int handle, const uint8_t* data, size_t size, int* sysError) override;
    long Read(int handle, uint8_t* data, size_t size, int* sysError) override;
    bool ResetPipe(int handle, uint8_t pipe, int* sysError) override;

    // The time-out a transfer of this many bytes gets.
    static uint32_t TimeoutFor(size_t size);

  private:
    struct Session {
        IWinUsbCalls::Handle usb = IWinUsbCalls::kNoHandle;
        uint8_t bulkIn = 0;
        uint8_t bulkOut = 0;
        int mode = 0;
    };
    long Transfer(int handle, bool in, uint8_t* data, size_t size, int* sysError);

    IWinUsbCalls& calls_;
    winpipes::Sessions<Session> sessions_;
};
