#include "platform/windows/WinDeviceNotices.h"

#include <dbt.h>
#include <initguid.h>
#include <usbiodef.h>

namespace {
constexpr wchar_t kClassName[] = L"KeystationDeviceNotices";
}

bool IsRescanEvent(WPARAM code) {
    return code == DBT_DEVNODES_CHANGED || code == DBT_DEVICEARRIVAL ||
           code == DBT_DEVICEREMOVECOMPLETE;
}

CWinDeviceNotices::~CWinDeviceNotices() {
    Stop();
}

bool CWinDeviceNotices::Start(std::function<void()> onChange) {
    if (thread_.joinable()) {
        return window_.load() != nullptr;
    }
    onChange_ = std::move(onChange);
    ready_ = false;
    thread_ = std::thread(&CWinDeviceNotices::Run, this);
    std::unique_lock<std::mutex> hold(lock_);
    started_.wait(hold, [this] { return ready_; });
    if (window_.load() == nullptr) {
        hold.unlock();
        thread_.join();
        return false;
    }
    return true;
}

void CWinDeviceNotices::Stop() {
    if (!thread_.joinable()) {
        return;
    }
    if (HWND window = window_.load()) {
        ::PostMessageW(window, WM_CLOSE, 0, 0);
    }
    thread_.join();
}

LRESULT CALLBACK CWinDeviceNotices::WindowProc(HWND window, UINT message, WPARAM w, LPARAM l) {
    auto* self = reinterpret_cast<CWinDeviceNotices*>(::GetWindowLongPtrW(window, GWLP_USERDATA));
    switch (message) {
        case WM_DEVICECHANGE:
            if (self != nullptr && IsRescanEvent(w) && self->onChange_) {
                self->onChange_();
            }
            return TRUE;
        case WM_CLOSE:
            ::DestroyWindow(window);
            return 0;
        case WM_DESTROY:
            ::PostQuitMessage(0);
            return 0;
        default:
            return ::DefWindowProcW(window, message, w, l);
    }
}

void CWinDeviceNotices::Run() {
    HINSTANCE instance = ::GetModuleHandleW(nullptr);
    WNDCLASSEXW type{};
    type.cbSize = sizeof type;
    type.lpfnWndProc = WindowProc;
    type.hInstance = instance;
    type.lpszClassName = kClassName;
    ::RegisterClassExW(&type);  // fails harmlessly when a second source registered it already
    // A hidden top-level window, not a message-only one: only top-level windows get the
    // system's DBT_DEVNODES_CHANGED broadcast. A tool window never shows in the task bar.
    HWND window = ::CreateWindowExW(WS_EX_TOOLWINDOW | WS_EX_NOACTIVATE, kClassName, L"", WS_POPUP,
                                    0, 0, 0, 0, nullptr, nullptr, instance, nullptr);
    if (window == nullptr) {
        // No desktop to put a window on (a session without one): a message-only window still
        // gets the registered arrivals and removals.
        window = ::CreateWindowExW(0, kClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                   instance, nullptr);
    }
    HDEVNOTIFY notify = nullptr;
    if (window != nullptr) {
        ::SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
        DEV_BROADCAST_DEVICEINTERFACE_W filter{};
        filter.dbcc_size = sizeof filter;
        filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
        filter.dbcc_classguid = GUID_DEVINTERFACE_USB_DEVICE;
        notify = ::RegisterDeviceNotificationW(window, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
        registered_.store(notify != nullptr);
    }
    {
        std::lock_guard<std::mutex> hold(lock_);
        window_.store(window);
        ready_ = true;
    }
    started_.notify_all();
    if (window == nullptr) {
        return;
    }
    MSG message;
    while (::GetMessageW(&message, nullptr, 0, 0) > 0) {
        ::TranslateMessage(&message);
        ::DispatchMessageW(&message);
    }
    if (notify != nullptr) {
        ::UnregisterDeviceNotification(notify);
    }
    window_.store(nullptr);
}
