// IWinUsbCalls over the system: setupapi, cfgmgr32, kernel32 and winusb.
#include <windows.h>
// After <windows.h>: the SetupAPI, configuration manager, USB and WinUSB declarations.
#include <cfgmgr32.h>
#include <initguid.h>
#include <setupapi.h>
#include <usbiodef.h>
#include <winioctl.h>
#include <winusb.h>

#include <vector>

#include "platform/windows/WinUsbCalls.h"

namespace {

struct WinUsbSession {
    HANDLE file = INVALID_HANDLE_VALUE;
    WINUSB_INTERFACE_HANDLE usb = nullptr;
};

WinUsbSession* SessionOf(IWinUsbCalls::Handle handle) {
    return reinterpret_cast<WinUsbSession*>(handle);
}

// Cancels the calling thread's synchronous I/O when it still runs after a time-out: a driver
// that never completes a transfer must not hold a worker for ever.
class IoDeadline {
  public:
    explicit IoDeadline(uint32_t ms) {
        if (!::DuplicateHandle(::GetCurrentProcess(), ::GetCurrentThread(), ::GetCurrentProcess(),
                               &thread_, THREAD_TERMINATE, FALSE, 0)) {
            thread_ = nullptr;
            return;
        }
        if (!::CreateTimerQueueTimer(&timer_, nullptr, &IoDeadline::Fire, this, ms, 0,
                                     WT_EXECUTEONLYONCE)) {
            timer_ = nullptr;
        }
    }
    ~IoDeadline() {
        if (timer_ != nullptr) {
            // Waits for a callback that is running: it never outlives the thread handle.
            ::DeleteTimerQueueTimer(nullptr, timer_, INVALID_HANDLE_VALUE);
        }
        if (thread_ != nullptr) {
            ::CloseHandle(thread_);
        }
    }
    IoDeadline(const IoDeadline&) = delete;
    IoDeadline& operator=(const IoDeadline&) = delete;

  private:
    static void CALLBACK Fire(void* self, BOOLEAN) {
        ::CancelSynchronousIo(static_cast<IoDeadline*>(self)->thread_);
    }
    HANDLE thread_ = nullptr;
    HANDLE timer_ = nullptr;
};

// One synchronous ReadFile or WriteFile (`io`, given where to put the bytes moved) cancelled at
// the deadline; the system's error is taken before the deadline's own calls.
template <typename Io>
bool WithDeadline(uint32_t timeoutMs, uint32_t* done, uint32_t* error, Io io) {
    DWORD moved = 0;
    DWORD failure = 0;
    BOOL ok = FALSE;
    {
        IoDeadline deadline(timeoutMs);
        ok = io(&moved);
        failure = ok ? 0 : ::GetLastError();
    }
    *done = moved;
    *error = failure;
    return ok != FALSE;
}

}  // namespace

class CSystemWinUsbCalls final : public IWinUsbCalls {
  public:
    bool ListHostControllers(std::vector<std::wstring>* paths, std::vector<uint32_t>* detailErrors,
                             uint32_t* error) override {
        paths->clear();
        detailErrors->clear();
        HDEVINFO set = ::SetupDiGetClassDevsW(&GUID_DEVINTERFACE_USB_HOST_CONTROLLER, nullptr,
                                              nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
        if (set == INVALID_HANDLE_VALUE) {
            *error = ::GetLastError();
            return false;
        }
        for (DWORD index = 0; index < 64; ++index) {
            SP_DEVICE_INTERFACE_DATA data{};
            data.cbSize = sizeof data;
            if (!::SetupDiEnumDeviceInterfaces(set, nullptr, &GUID_DEVINTERFACE_USB_HOST_CONTROLLER,
                                               index, &data)) {
                break;
            }
            DWORD needed = 0;
            ::SetupDiGetDeviceInterfaceDetailW(set, &data, nullptr, 0, &needed, nullptr);
            std::vector<uint8_t> buffer(needed > sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)
                                            ? needed
                                            : sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W));
            auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(buffer.data());
            detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
            if (!::SetupDiGetDeviceInterfaceDetailW(
                    set, &data, detail, static_cast<DWORD>(buffer.size()), nullptr, nullptr)) {
                paths->emplace_back();
                detailErrors->push_back(::GetLastError());
                continue;
            }
            paths->emplace_back(detail->DevicePath);
            detailErrors->push_back(0);
        }
        ::SetupDiDestroyDeviceInfoList(set);
        return true;
    }

    Handle OpenDevice(const std::wstring& path, uint32_t* error) override {
        HANDLE h = ::CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_WRITE, nullptr,
                                 OPEN_EXISTING, 0, nullptr);
        if (h == INVALID_HANDLE_VALUE) {
            *error = ::GetLastError();
            return kNoHandle;
        }
        return reinterpret_cast<Handle>(h);
    }

    void CloseDevice(Handle handle) override { ::CloseHandle(reinterpret_cast<HANDLE>(handle)); }

    bool Ioctl(Handle handle, uint32_t code, const void* in, uint32_t inSize, void* out,
               uint32_t outSize, uint32_t* returned, uint32_t* error) override {
        DWORD got = 0;
        if (!::DeviceIoControl(reinterpret_cast<HANDLE>(handle), code, const_cast<void*>(in),
                               inSize, out, outSize, &got, nullptr)) {
            *error = ::GetLastError();
            return false;
        }
        *returned = got;
        return true;
    }

    uint32_t LocateRoot(uint32_t* devnode) override {
        DEVINST root = 0;
        const CONFIGRET rc = ::CM_Locate_DevNodeW(&root, nullptr, CM_LOCATE_DEVNODE_NORMAL);
        *devnode = root;
        return rc;
    }

    uint32_t GetChild(uint32_t devnode, uint32_t* child) override {
        DEVINST c = 0;
        const CONFIGRET rc = ::CM_Get_Child(&c, devnode, 0);
        *child = c;
        return rc;
    }

    uint32_t GetSibling(uint32_t devnode, uint32_t* sibling) override {
        DEVINST s = 0;
        const CONFIGRET rc = ::CM_Get_Sibling(&s, devnode, 0);
        *sibling = s;
        return rc;
    }

    uint32_t GetDeviceId(uint32_t devnode, std::wstring* id) override {
        wchar_t buffer[MAX_DEVICE_ID_LEN + 1] = {};
        const CONFIGRET rc = ::CM_Get_Device_IDW(devnode, buffer, MAX_DEVICE_ID_LEN, 0);
        if (rc == CR_SUCCESS) {
            *id = buffer;
        }
        return rc;
    }

    uint32_t GetProperty(uint32_t devnode, uint32_t property, std::wstring* value) override {
        ULONG size = 0;
        ULONG type = 0;
        CONFIGRET rc =
            ::CM_Get_DevNode_Registry_PropertyW(devnode, property, &type, nullptr, &size, 0);
        if (rc != CR_BUFFER_SMALL && rc != CR_SUCCESS) {
            return rc;
        }
        if (size > 65536) {
            return CR_BUFFER_SMALL;
        }
        std::vector<wchar_t> buffer(size / sizeof(wchar_t) + 2, L'\0');
        size = static_cast<ULONG>(buffer.size() * sizeof(wchar_t));
        rc = ::CM_Get_DevNode_Registry_PropertyW(devnode, property, &type, buffer.data(), &size, 0);
        if (rc == CR_SUCCESS) {
            value->assign(buffer.data(), size / sizeof(wchar_t));
        }
        return rc;
    }

    uint32_t LocateDevnode(const std::wstring& instanceId, uint32_t* devnode) override {
        DEVINST found = 0;
        std::wstring id = instanceId;
        const CONFIGRET rc = ::CM_Locate_DevNodeW(&found, id.data(), CM_LOCATE_DEVNODE_NORMAL);
        *devnode = found;
        return rc;
    }

    Handle OpenFile(const std::wstring& name, uint32_t access, uint32_t share,
                    uint32_t* error) override {
        HANDLE h = ::CreateFileW(name.c_str(), access, share, nullptr, OPEN_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h == INVALID_HANDLE_VALUE) {
            *error = ::GetLastError();
            return kNoHandle;
        }
        return reinterpret_cast<Handle>(h);
    }

    bool ReadFromFile(Handle handle, uint8_t* data, uint32_t size, uint32_t timeoutMs,
                      uint32_t* done, uint32_t* error) override {
        return WithDeadline(timeoutMs, done, error, [&](DWORD* moved) {
            return ::ReadFile(reinterpret_cast<HANDLE>(handle), data, size, moved, nullptr);
        });
    }

    bool WriteToFile(Handle handle, const uint8_t* data, uint32_t size, uint32_t timeoutMs,
                     uint32_t* done, uint32_t* error) override {
        return WithDeadline(timeoutMs, done, error, [&](DWORD* moved) {
            return ::WriteFile(reinterpret_cast<HANDLE>(handle), data, size, moved, nullptr);
        });
    }

    Handle OpenWinUsb(const std::wstring& path, uint8_t* bulkIn, uint8_t* bulkOut,
                      uint32_t* error) override {
        auto* session = new (std::nothrow) WinUsbSession;
        if (session == nullptr) {
            *error = ERROR_NOT_ENOUGH_MEMORY;
            return kNoHandle;
        }
        session->file = ::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
        if (session->file == INVALID_HANDLE_VALUE ||
            !::WinUsb_Initialize(session->file, &session->usb)) {
            *error = ::GetLastError();
            CloseWinUsb(reinterpret_cast<Handle>(session));
            return kNoHandle;
        }
        *bulkIn = 0;
        *bulkOut = 0;
        USB_INTERFACE_DESCRIPTOR interface {};
        if (::WinUsb_QueryInterfaceSettings(session->usb, 0, &interface)) {
            for (UCHAR i = 0; i < interface.bNumEndpoints; ++i) {
                WINUSB_PIPE_INFORMATION pipe{};
                if (!::WinUsb_QueryPipe(session->usb, 0, i, &pipe) ||
                    pipe.PipeType != UsbdPipeTypeBulk) {
                    continue;
                }
                // Each endpoint by its own direction bit: either may come first.
                if ((pipe.PipeId & 0x80) != 0 && *bulkIn == 0) {
                    *bulkIn = pipe.PipeId;
                } else if ((pipe.PipeId & 0x80) == 0 && *bulkOut == 0) {
                    *bulkOut = pipe.PipeId;
                }
            }
        }
        return reinterpret_cast<Handle>(session);
    }

    void CloseWinUsb(Handle handle) override {
        WinUsbSession* session = SessionOf(handle);
        if (session == nullptr) {
            return;
        }
        if (session->usb != nullptr) {
            ::WinUsb_Free(session->usb);
        }
        if (session->file != INVALID_HANDLE_VALUE) {
            ::CloseHandle(session->file);
        }
        delete session;
    }

    bool SetPipeTimeout(Handle handle, uint8_t pipe, uint32_t ms, uint32_t* error) override {
        ULONG value = ms;
        if (!::WinUsb_SetPipePolicy(SessionOf(handle)->usb, pipe, PIPE_TRANSFER_TIMEOUT,
                                    sizeof value, &value)) {
            *error = ::GetLastError();
            return false;
        }
        return true;
    }

    bool WritePipe(Handle handle, uint8_t pipe, const uint8_t* data, uint32_t size, uint32_t* done,
                   uint32_t* error) override {
        ULONG written = 0;
        if (!::WinUsb_WritePipe(SessionOf(handle)->usb, pipe, const_cast<PUCHAR>(data), size,
                                &written, nullptr)) {
            *error = ::GetLastError();
            return false;
        }
        *done = written;
        return true;
    }

    bool ReadPipe(Handle handle, uint8_t pipe, uint8_t* data, uint32_t size, uint32_t* done,
                  uint32_t* error) override {
        ULONG read = 0;
        if (!::WinUsb_ReadPipe(SessionOf(handle)->usb, pipe, data, size, &read, nullptr)) {
            *error = ::GetLastError();
            return false;
        }
        *done = read;
        return true;
    }

    bool ResetPipe(Handle handle, uint8_t pipe, uint32_t* error) override {
        if (!::WinUsb_ResetPipe(SessionOf(handle)->usb, pipe)) {
            *error = ::GetLastError();
            return false;
        }
        return true;
    }
};

IWinUsbCalls& SystemWinUsbCalls() {
    static CSystemWinUsbCalls calls;
    return calls;
}
