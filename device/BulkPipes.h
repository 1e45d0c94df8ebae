// The seam between the loader transport and the machine: the device's two bulk pipes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

class IBulkPipes {
  public:
    static constexpr int kInvalidHandle = -1;
    // Pipe modes.
    static constexpr int kPipeIn = 0;      // bulk IN: data from the device and status blocks
    static constexpr int kPipeOut = 1;     // bulk OUT: command blocks and data to the device
    static constexpr int kPipeDevice = 2;  // the device itself

    virtual ~IBulkPipes() = default;

    // Opens a pipe of the device named by devicePath. Returns a handle >= 0, or kInvalidHandle
    // with *sysError set (an errno value) when the device or pipe cannot be opened.
    virtual int Open(const std::string& devicePath, int mode, int* sysError) = 0;
    virtual void Close(int handle) = 0;
    // One whole-buffer transfer. Returns the bytes transferred (possibly fewer than size), or -1
    // with *sysError set. Never blocks longer than the implementation's transfer time-out.
    virtual long Write(int handle, const uint8_t* data, size_t size, int* sysError) = 0;
    virtual long Read(int handle, uint8_t* data, size_t size, int* sysError) = 0;
    // Returns the bulk pipes of the device open under `handle` (any mode) to a usable state
    // (clears a halt), without opening or claiming anything again. pipe is the selector byte the
    // caller passes (the station always passes 2).
    virtual bool ResetPipe(int handle, uint8_t pipe, int* sysError) = 0;
};
