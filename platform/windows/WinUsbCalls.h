// The Win32 calls the Windows USB side makes, as one interface of ours, so that the walk and the
// pipes can be tested against a scripted fake where Wine has no USB stack: SetupAPI for the host
// controllers, DeviceIoControl on controllers and hubs, the configuration manager for device
// nodes, WinUSB for the bulk pipes, and plain files for the pipes the maker's driver presents.
// Paths and texts are UTF-16 as the system gives them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

class IWinUsbCalls {
  public:
    using Handle = intptr_t;
    static constexpr Handle kNoHandle = -1;

    virtual ~IWinUsbCalls() = default;

    // SetupDiGetClassDevs + SetupDiEnumDeviceInterfaces + SetupDiGetDeviceInterfaceDetail over
    // the present host-controller interfaces, in enumeration order; an empty path for an
    // interface whose detail could not be read (its error in *detailErrors).
    virtual bool ListHostControllers(std::vector<std::wstring>* paths,
                                     std::vector<uint32_t>* detailErrors, uint32_t* error) = 0;

    // CreateFileW for a controller or hub (no overlapped I/O).
    virtual Handle OpenDevice(const std::wstring& path, uint32_t* error) = 0;
    virtual void CloseDevice(Handle handle) = 0;
    // DeviceIoControl; *returned gets the bytes written into out.
    virtual bool Ioctl(Handle handle, uint32_t code, const void* in, uint32_t inSize, void* out,
                       uint32_t outSize, uint32_t* returned, uint32_t* error) = 0;

    // Configuration manager (CONFIGRET results, 0 = CR_SUCCESS).
    virtual uint32_t LocateRoot(uint32_t* devnode) = 0;
    virtual uint32_t GetChild(uint32_t devnode, uint32_t* child) = 0;
    virtual uint32_t GetSibling(uint32_t devnode, uint32_t* sibling) = 0;
    virtual uint32_t GetDeviceId(uint32_t devnode, std::wstring* id) = 0;
    // A registry property of the device node (CM_DRP_DRIVER, CM_DRP_COMPATIBLEIDS) as raw
    // UTF-16 units, multi-strings with their terminating zeros.
    virtual uint32_t GetProperty(uint32_t devnode, uint32_t property, std::wstring* value) = 0;
    // CM_Locate_DevNodeW for a device instance ID (a present device only).
    virtual uint32_t LocateDevnode(const std::wstring& instanceId, uint32_t* devnode) = 0;

    // Files of a device driver (the maker's driver: the device path and its pipe files).
    // CreateFileW with this access (GENERIC_READ, GENERIC_WRITE) and share mode, an existing file
    // only, no overlapped I/O; closed with CloseDevice, requests through Ioctl.
    virtual Handle OpenFile(const std::wstring& name, uint32_t access, uint32_t share,
                            uint32_t* error) = 0;
    // One synchronous ReadFile / WriteFile of the whole buffer; *done gets the bytes moved. A
    // transfer still running after timeoutMs is cancelled (CancelSynchronousIo) and fails with
    // ERROR_OPERATION_ABORTED.
    virtual bool ReadFromFile(Handle handle, uint8_t* data, uint32_t size, uint32_t timeoutMs,
                              uint32_t* done, uint32_t* error) = 0;
    virtual bool WriteToFile(Handle handle, const uint8_t* data, uint32_t size, uint32_t timeoutMs,
                             uint32_t* done, uint32_t* error) = 0;

    // WinUSB on a device's interface path: CreateFileW (overlapped) and WinUsb_Initialize;
    // the bulk endpoints of interface 0 (0 when absent).
    virtual Handle OpenWinUsb(const std::wstring& path, uint8_t* bulkIn, uint8_t* bulkOut,
                              uint32_t* error) = 0;
    virtual void CloseWinUsb(Handle handle) = 0;
    virtual bool SetPipeTimeout(Handle handle, uint8_t pipe, uint32_t ms, uint32_t* error) = 0;
    virtual bool WritePipe(Handle handle, uint8_t pipe, const uint8_t* data, uint32_t size,
                           uint32_t* done, uint32_t* error) = 0;
    virtual bool ReadPipe(Handle handle, uint8_t pipe, uint8_t* data, uint32_t size, uint32_t* done,
                          uint32_t* error) = 0;
    virtual bool ResetPipe(Handle handle, uint8_t pipe, uint32_t* error) = 0;
};

// The system's calls (setupapi, cfgmgr32, kernel32, winusb).
class CSystemWinUsbCalls;
IWinUsbCalls& SystemWinUsbCalls();
