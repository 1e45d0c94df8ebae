#include "gui/win32/Win32StationWindow.h"

void CWin32MainThreadPoster::SetWindow(HWND window) {
    std::lock_guard<std::mutex> hold(lock_);
    window_ = window;
    if (window_ != nullptr && !queue_.empty()) {
        ::PostMessageW(window_, kMessage, 0, 0);
    }
}

void CWin32MainThreadPoster::Post(std::function<void()> fn) {
    std::lock_guard<std::mutex> hold(lock_);
    queue_.push_back(std::move(fn));
    if (window_ != nullptr) {
        ::PostMessageW(window_, kMessage, 0, 0);
    }
}

void CWin32MainThreadPoster::RunQueued() {
    for (;;) {
        std::function<void()> fn;
        {
            std::lock_guard<std::mutex> hold(lock_);
            if (queue_.empty()) {
                return;
            }
            fn = std::move(queue_.front());
            queue_.pop_front();
        }
        fn();
    }
}
