#include "gui/win32/Win32StationWindow.h"

#include <commctrl.h>
#include <commdlg.h>
#include <dbt.h>
#include <initguid.h>
#include <usbiodef.h>

#include <cstdio>
#include <vector>

#include "app/StationController.h"
#include "gui/win32/resource.h"
#include "support/WideText.h"

namespace {

constexpr UINT_PTR kTickTimer = 1;
constexpr UINT kTickMs = 1000;

// Column widths in pixels at start-up; column 2 then takes the rest of the width.
constexpr int kColumnWidths[kTableColumns] = {50, 110, 420};

COLORREF Rgb(RowColour c) {
    return RGB(c.red, c.green, c.blue);
}

HFONT MakeFont(int height, int width, int weight) {
    return ::CreateFontW(height, width, 0, 0, weight, FALSE, FALSE, FALSE, GB2312_CHARSET,
                         OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY,
                         DEFAULT_PITCH | FF_DONTCARE, L"SimSun");
}

bool IsCounter(int id) {
    return id == IDC_SUCCESS_COUNTER || id == IDC_FAIL_COUNTER || id == IDC_TOTAL_COUNTER;
}

}  // namespace

std::wstring Wide(const std::string& text) {
    return ks::WideFromUtf8(text);
}

std::string Narrow(const std::wstring& text) {
    return ks::Utf8FromWide(text);
}

CWin32StationWindow::CWin32StationWindow(CWin32MainThreadPoster& poster) : poster_(poster) {}

CWin32StationWindow::~CWin32StationWindow() {
    if (window_ != nullptr) {
        ::DestroyWindow(window_);
    }
    for (HFONT font :
         {captionFont_, counterFont_, headerFont_, boldColumnFont_, columnFont_, rowFont_}) {
        if (font != nullptr) {
            ::DeleteObject(font);
        }
    }
    for (auto& [id, brush] : controlBrushes_) {
        ::DeleteObject(brush);
    }
}

bool CWin32StationWindow::Create(HINSTANCE instance) {
    instance_ = instance;
    INITCOMMONCONTROLSEX controls{sizeof(INITCOMMONCONTROLSEX), ICC_WIN95_CLASSES};
    ::InitCommonControlsEx(&controls);
    window_ = ::CreateDialogParamW(instance, MAKEINTRESOURCEW(IDD_STATION), nullptr, DialogProc,
                                   reinterpret_cast<LPARAM>(this));
    if (window_ == nullptr) {
        return false;
    }
    poster_.SetWindow(window_);
    return true;
}

void CWin32StationWindow::Show() {
    ::ShowWindow(window_, SW_SHOW);
    ::UpdateWindow(window_);
    ::SetTimer(window_, kTickTimer, kTickMs, nullptr);
}

int CWin32StationWindow::RunMessageLoop() {
    MSG message;
    while (::GetMessageW(&message, nullptr, 0, 0) > 0) {
        // Enter and Escape never reach the dialog: neither may close the window.
        if (message.message == WM_KEYDOWN &&
            (message.wParam == VK_RETURN || message.wParam == VK_ESCAPE) &&
            (message.hwnd == window_ || ::IsChild(window_, message.hwnd))) {
            continue;
        }
        if (window_ != nullptr && ::IsDialogMessageW(window_, &message)) {
            continue;
        }
        ::TranslateMessage(&message);
        ::DispatchMessageW(&message);
    }
    return static_cast<int>(message.wParam);
}

INT_PTR CALLBACK CWin32StationWindow::DialogProc(HWND window, UINT message, WPARAM w, LPARAM l) {
    if (message == WM_INITDIALOG) {
        ::SetWindowLongPtrW(window, DWLP_USER, l);
        auto* self = reinterpret_cast<CWin32StationWindow*>(l);
        self->window_ = window;
    }
    auto* self = reinterpret_cast<CWin32StationWindow*>(::GetWindowLongPtrW(window, DWLP_USER));
    return self != nullptr ? self->Handle(message, w, l) : FALSE;
}

INT_PTR CWin32StationWindow::Handle(UINT message, WPARAM w, LPARAM l) {
    switch (message) {
        case WM_INITDIALOG: {
            table_ = ::GetDlgItem(window_, IDC_DEVICE_TABLE);
            HICON icon = ::LoadIconW(instance_, MAKEINTRESOURCEW(IDI_STATION));
            if (icon == nullptr) {
                icon = ::LoadIconW(nullptr, MAKEINTRESOURCEW(32512));  // IDI_APPLICATION
            }
            ::SendMessageW(window_, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon));
            ::SendMessageW(window_, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icon));
            RECT outer{};
            ::GetWindowRect(window_, &outer);
            minimum_ = {outer.right - outer.left, outer.bottom - outer.top};
            SetUpFonts();
            SetUpTable();
            RecordLayout();
            ApplyLayout();  // column 2 takes the rest of the table's width
            // Arrivals and removals of USB devices reach the window itself, besides the
            // system's "device nodes changed" broadcast to every top-level window.
            DEV_BROADCAST_DEVICEINTERFACE_W filter{};
            filter.dbcc_size = sizeof filter;
            filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
            filter.dbcc_classguid = GUID_DEVINTERFACE_USB_DEVICE;
            notify_ = ::RegisterDeviceNotificationW(window_, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
            return TRUE;
        }
        case WM_COMMAND: {
            if (controller_ == nullptr || HIWORD(w) != BN_CLICKED) {
                return FALSE;
            }
            switch (LOWORD(w)) {
                case IDC_KEYFILE_BUTTON:
                    controller_->OnKeyFileButton();
                    return TRUE;
                case IDC_STARTSTOP_BUTTON:
                    controller_->OnStartStopButton();
                    return TRUE;
                case IDC_EXIT_BUTTON:
                    controller_->OnClose();
                    return TRUE;
                case IDC_CONFIG_BUTTON:
                    controller_->OnConfigButton();
                    return TRUE;
                default:
                    return TRUE;  // IDOK / IDCANCEL from Enter and Escape: nothing
            }
        }
        case WM_CLOSE:
            // The controller decides: it refuses while the station runs, otherwise it shuts
            // down and calls CloseWindow.
            if (controller_ != nullptr) {
                controller_->OnClose();
            } else {
                CloseWindow();
            }
            return TRUE;
        case WM_DESTROY:
            if (notify_ != nullptr) {
                ::UnregisterDeviceNotification(notify_);
                notify_ = nullptr;
            }
            ::KillTimer(window_, kTickTimer);
            poster_.SetWindow(nullptr);
            ::PostQuitMessage(0);
            return TRUE;
        case WM_TIMER:
            if (w == kTickTimer && controller_ != nullptr) {
                controller_->OnClockTick();
            }
            return TRUE;
        case CWin32MainThreadPoster::kMessage:
            poster_.RunQueued();
            return TRUE;
        case WM_DEVICECHANGE:
            if (controller_ != nullptr) {
                controller_->OnDeviceChangeEvent(static_cast<uint32_t>(w));
            }
            return TRUE;
        case WM_GETMINMAXINFO: {
            auto* info = reinterpret_cast<MINMAXINFO*>(l);
            if (minimum_.cx > 0) {
                info->ptMinTrackSize = {minimum_.cx, minimum_.cy};
            }
            return TRUE;
        }
        case WM_SIZE:
            if (w != SIZE_MINIMIZED && !initialRects_.empty()) {
                ApplyLayout();
            }
            return TRUE;
        case WM_NOTIFY: {
            auto* header = reinterpret_cast<NMHDR*>(l);
            if (header->hwndFrom == table_ && header->code == NM_CUSTOMDRAW) {
                ::SetWindowLongPtrW(window_, DWLP_MSGRESULT,
                                    CustomDraw(reinterpret_cast<NMLVCUSTOMDRAW*>(l)));
                return TRUE;
            }
            return FALSE;
        }
        case WM_CTLCOLORSTATIC: {
            HDC dc = reinterpret_cast<HDC>(w);
            const int id = ::GetDlgCtrlID(reinterpret_cast<HWND>(l));
            ::SetBkMode(dc, TRANSPARENT);
            COLORREF text = RGB(0, 0, 0);
            if (id == IDC_SUCCESS_COUNTER) {
                text = RGB(0, 255, 0);
            } else if (id == IDC_FAIL_COUNTER) {
                text = RGB(255, 0, 0);
            }
            ::SetTextColor(dc, text);
            const auto brush = controlBrushes_.find(id);
            if (brush != controlBrushes_.end()) {
                return reinterpret_cast<INT_PTR>(brush->second);
            }
            return reinterpret_cast<INT_PTR>(::GetSysColorBrush(COLOR_BTNFACE));
        }
        default:
            return FALSE;
    }
}

void CWin32StationWindow::SetUpFonts() {
    captionFont_ = MakeFont(13, 0, FW_NORMAL);
    counterFont_ = MakeFont(20, 0, FW_HEAVY);
    headerFont_ = MakeFont(20, 10, FW_BOLD);
    boldColumnFont_ = MakeFont(20, 10, FW_BOLD);
    columnFont_ = MakeFont(15, 10, FW_NORMAL);
    for (int id = IDC_SUCCESS_CAPTION; id <= IDC_TOTAL_COUNTER; ++id) {
        ::SendDlgItemMessageW(window_, id, WM_SETFONT,
                              reinterpret_cast<WPARAM>(IsCounter(id) ? counterFont_ : captionFont_),
                              FALSE);
    }
}

void CWin32StationWindow::SetUpTable() {
    ListView_SetExtendedListViewStyle(
        table_, LVS_EX_FULLROWSELECT | LVS_EX_GRIDLINES | LVS_EX_DOUBLEBUFFER);
    for (int column = 0; column < kTableColumns; ++column) {
        LVCOLUMNW c{};
        c.mask = LVCF_FMT | LVCF_WIDTH | LVCF_TEXT | LVCF_SUBITEM;
        c.fmt = LVCFMT_CENTER;
        c.cx = kColumnWidths[column];
        c.pszText = const_cast<wchar_t*>(L"");
        c.iSubItem = column;
        ListView_InsertColumn(table_, column, &c);
    }
    for (int row = 0; row < kTableRows; ++row) {
        std::wstring number = std::to_wstring(row + 1);
        LVITEMW item{};
        item.mask = LVIF_TEXT;
        item.iItem = row;
        item.pszText = number.data();
        ListView_InsertItem(table_, &item);
    }
    // Column 0's alignment once more: a list view keeps its first column left-aligned at insert.
    LVCOLUMNW first{};
    first.mask = LVCF_FMT;
    first.fmt = LVCFMT_CENTER;
    ListView_SetColumn(table_, 0, &first);
    HWND header = ListView_GetHeader(table_);
    ::SendMessageW(header, WM_SETFONT, reinterpret_cast<WPARAM>(headerFont_), FALSE);
    FitRows();
}

// The rows follow the table's font, made with a character height of (client height / 16) * 72
// / dpi, so that sixteen rows fill the table.
void CWin32StationWindow::FitRows() {
    RECT client{};
    ::GetClientRect(table_, &client);
    HWND header = ListView_GetHeader(table_);
    RECT headerRect{};
    ::GetWindowRect(header, &headerRect);
    const int rowSpace = client.bottom - (headerRect.bottom - headerRect.top);
    HDC dc = ::GetDC(table_);
    const int dpi = ::GetDeviceCaps(dc, LOGPIXELSY);
    ::ReleaseDC(table_, dc);
    const int h = rowSpace / kTableRows;
    const int height = dpi > 0 ? (h * 72 + dpi / 2) / dpi : 12;
    HFONT font = MakeFont(height > 0 ? height : 12, 0, FW_NORMAL);
    ::SendMessageW(table_, WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
    ::SendMessageW(header, WM_SETFONT, reinterpret_cast<WPARAM>(headerFont_), TRUE);
    if (rowFont_ != nullptr) {
        ::DeleteObject(rowFont_);
    }
    rowFont_ = font;
}

LRESULT CWin32StationWindow::CustomDraw(NMLVCUSTOMDRAW* draw) {
    switch (draw->nmcd.dwDrawStage) {
        case CDDS_PREPAINT:
            return CDRF_NOTIFYITEMDRAW;
        case CDDS_ITEMPREPAINT:
            return CDRF_NOTIFYSUBITEMDRAW;
        case CDDS_ITEMPREPAINT | CDDS_SUBITEM: {
            const int row = static_cast<int>(draw->nmcd.dwItemSpec);
            ::SelectObject(draw->nmcd.hdc, draw->iSubItem == 0 ? boldColumnFont_ : columnFont_);
            draw->clrText = RGB(0, 0, 0);
            if (row >= 0 && row < kTableRows && rowColours_[row]) {
                draw->clrTextBk = Rgb(*rowColours_[row]);
            } else {
                draw->clrTextBk = ::GetSysColor(COLOR_WINDOW);
            }
            return CDRF_NEWFONT;
        }
        default:
            return CDRF_DODEFAULT;
    }
}

void CWin32StationWindow::RecordLayout() {
    RECT client{};
    ::GetClientRect(window_, &client);
    initialClient_ = {client.right, client.bottom};
    for (HWND child = ::GetWindow(window_, GW_CHILD); child != nullptr;
         child = ::GetWindow(child, GW_HWNDNEXT)) {
        RECT r{};
        ::GetWindowRect(child, &r);
        ::MapWindowPoints(nullptr, window_, reinterpret_cast<POINT*>(&r), 2);
        initialRects_[::GetDlgCtrlID(child)] = r;
    }
}

// Buttons and key labels stay; the key-file label and the status line stretch with the width;
// the counters keep their distance from the right edge; the table fills the rest.
void CWin32StationWindow::ApplyLayout() {
    RECT client{};
    ::GetClientRect(window_, &client);
    const int dx = client.right - initialClient_.cx;
    const int dy = client.bottom - initialClient_.cy;
    HDWP defer = ::BeginDeferWindowPos(static_cast<int>(initialRects_.size()));
    for (const auto& [id, r] : initialRects_) {
        RECT n = r;
        if (id == IDC_KEYFILE_LABEL) {
            n.right += dx;
        } else if ((id >= IDC_SUCCESS_CAPTION && id <= IDC_TOTAL_COUNTER) ||
                   id == IDC_SUMMARY_LABEL) {
            n.left += dx;
            n.right += dx;
        } else if (id == IDC_DEVICE_TABLE) {
            n.right += dx;
            n.bottom += dy;
        } else if (id == IDC_STATUS_LINE) {
            n.top += dy;
            n.bottom += dy;
            n.right += dx;
        } else {
            continue;
        }
        HWND child = ::GetDlgItem(window_, id);
        if (child != nullptr && defer != nullptr) {
            defer = ::DeferWindowPos(defer, child, nullptr, n.left, n.top, n.right - n.left,
                                     n.bottom - n.top, SWP_NOZORDER | SWP_NOACTIVATE);
        }
    }
    if (defer != nullptr) {
        ::EndDeferWindowPos(defer);
    }
    RECT table{};
    ::GetClientRect(table_, &table);
    const int rest =
        table.right - ListView_GetColumnWidth(table_, 0) - ListView_GetColumnWidth(table_, 1) - 10;
    if (rest > 0) {
        ListView_SetColumnWidth(table_, 2, rest);
    }
    FitRows();
    ::InvalidateRect(window_, nullptr, TRUE);
}

void CWin32StationWindow::RedrawRow(int row) {
    ListView_RedrawItems(table_, row, row);
    ::UpdateWindow(table_);
}

std::optional<RowColour> CWin32StationWindow::RowColourOf(int row) const {
    return row >= 0 && row < kTableRows ? rowColours_[row] : std::nullopt;
}

void CWin32StationWindow::ShowWindowTitle(const std::string& title) {
    ::SetWindowTextW(window_, Wide(title).c_str());
}

void CWin32StationWindow::ShowControlText(int controlId, const std::string& text) {
    ::SetDlgItemTextW(window_, controlId, Wide(text).c_str());
}

void CWin32StationWindow::ShowControlEnabled(int controlId, bool enabled) {
    ::EnableWindow(::GetDlgItem(window_, controlId), enabled ? TRUE : FALSE);
}

void CWin32StationWindow::ShowColumnTitle(int column, const std::string& title) {
    std::wstring text = Wide(title);
    LVCOLUMNW c{};
    c.mask = LVCF_TEXT;
    c.pszText = text.data();
    ListView_SetColumn(table_, column, &c);
}

void CWin32StationWindow::ShowCellText(int row, int column, const std::string& text) {
    std::wstring wide = Wide(text);
    ListView_SetItemText(table_, row, column, wide.data());
}

void CWin32StationWindow::ShowRowColour(int row, std::optional<RowColour> colour) {
    if (row < 0 || row >= kTableRows) {
        return;
    }
    rowColours_[row] = colour;
    RedrawRow(row);
}

void CWin32StationWindow::ShowControlColour(int controlId, std::optional<RowColour> colour) {
    const auto old = controlBrushes_.find(controlId);
    if (old != controlBrushes_.end()) {
        ::DeleteObject(old->second);
        controlBrushes_.erase(old);
    }
    if (colour) {
        controlBrushes_[controlId] = ::CreateSolidBrush(Rgb(*colour));
    }
    ::InvalidateRect(::GetDlgItem(window_, controlId), nullptr, TRUE);
}

void CWin32StationWindow::CallAttention() {
    FLASHWINFO flash{sizeof(FLASHWINFO), window_, FLASHW_ALL | FLASHW_TIMERNOFG, 3, 0};
    ::FlashWindowEx(&flash);
    ::MessageBeep(MB_ICONEXCLAMATION);
}

void CWin32StationWindow::ShowMessage(const std::string& text, const std::string& caption,
                                      MessageIcon icon) {
    ::MessageBoxW(window_, Wide(text).c_str(), caption.empty() ? nullptr : Wide(caption).c_str(),
                  MB_OK | (icon == MessageIcon::kError ? MB_ICONERROR : 0));
}

std::optional<std::string> CWin32StationWindow::ChooseKeyFile() {
    std::vector<wchar_t> file(32768, L'\0');
    static constexpr wchar_t kFilter[] = L"Key files (*.kdb)\0*.kdb\0All files (*.*)\0*.*\0";
    OPENFILENAMEW open{};
    open.lStructSize = sizeof open;
    open.hwndOwner = window_;
    open.lpstrFilter = kFilter;
    open.lpstrFile = file.data();
    open.nMaxFile = static_cast<DWORD>(file.size());
    open.Flags = OFN_FILEMUSTEXIST | OFN_PATHMUSTEXIST | OFN_HIDEREADONLY | OFN_NOCHANGEDIR;
    if (!::GetOpenFileNameW(&open)) {
        return std::nullopt;
    }
    return Narrow(file.data());
}

void CWin32StationWindow::CloseWindow() {
    if (window_ != nullptr) {
        HWND window = window_;
        ::DestroyWindow(window);
        window_ = nullptr;
    }
}

bool CWin32StationWindow::SaveBitmap(const std::wstring& path) {
    RECT r{};
    ::GetWindowRect(window_, &r);
    const int width = r.right - r.left;
    const int height = r.bottom - r.top;
    HDC screen = ::GetDC(nullptr);
    HDC memory = ::CreateCompatibleDC(screen);
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 24;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    HBITMAP bitmap = ::CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    bool ok = false;
    if (bitmap != nullptr) {
        HGDIOBJ old = ::SelectObject(memory, bitmap);
        // The window as the screen shows it; PrintWindow where the screen cannot be read.
        if (!::BitBlt(memory, 0, 0, width, height, screen, r.left, r.top, SRCCOPY)) {
            ::PrintWindow(window_, memory, 0);
        }
        ::GdiFlush();
        const DWORD stride = ((static_cast<DWORD>(width) * 3 + 3) / 4) * 4;
        const DWORD imageSize = stride * static_cast<DWORD>(height);
        BITMAPFILEHEADER fileHeader{};
        fileHeader.bfType = 0x4D42;
        fileHeader.bfOffBits = sizeof(BITMAPFILEHEADER) + sizeof(BITMAPINFOHEADER);
        fileHeader.bfSize = fileHeader.bfOffBits + imageSize;
        HANDLE out = ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                   FILE_ATTRIBUTE_NORMAL, nullptr);
        if (out != INVALID_HANDLE_VALUE) {
            DWORD written = 0;
            ok = ::WriteFile(out, &fileHeader, sizeof fileHeader, &written, nullptr) &&
                 ::WriteFile(out, &info.bmiHeader, sizeof(BITMAPINFOHEADER), &written, nullptr) &&
                 ::WriteFile(out, bits, imageSize, &written, nullptr) && written == imageSize;
            ok = ::CloseHandle(out) && ok;
        }
        ::SelectObject(memory, old);
        ::DeleteObject(bitmap);
    }
    ::DeleteDC(memory);
    ::ReleaseDC(nullptr, screen);
    return ok;
}
