#include "gui/win32/Win32StationWindow.h"

#include <commctrl.h>
#include <commdlg.h>
#include <dbt.h>
#include <initguid.h>
#include <usbiodef.h>

#include <ole2.h>

#include <algorithm>
#include <cstdio>
#include <vector>

#include "app/StationController.h"
#include "gui/win32/resource.h"
#include "support/TextElide.h"
#include "support/WideText.h"

namespace {

constexpr UINT_PTR kTickTimer = 1;
constexpr UINT kTickMs = 1000;

// Column widths in pixels at start-up; column 2 then takes the rest of the width.
constexpr int kColumnWidths[kTableColumns] = {50, 110, 420};
// The shift summary's lines: small enough for the pace and three failure texts.
constexpr int kSummaryPixels = 11;
// The job time's distance from the status cell's right edge, and the gap before it.
constexpr int kTimeMargin = 6;
constexpr int kTimeGap = 4;
// The selected row's frame.
constexpr int kFrameWidth = 2;
// The summary's tool tip wraps at this width in pixels.
constexpr int kTipWidth = 600;

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

int TextWidth(HDC dc, const std::wstring& text) {
    SIZE size{};
    ::GetTextExtentPoint32W(dc, text.c_str(), static_cast<int>(text.size()), &size);
    return size.cx;
}

// The longest start of `line` that fits `width` pixels with an ellipsis after it, cut at a
// character boundary, or the line itself when it fits.
std::wstring Elide(HDC dc, const std::wstring& line, int width) {
    return ks::WideFromUtf8(ks::ElideUtf8(ks::Utf8FromWide(line), [&](std::string_view text) {
        return TextWidth(dc, ks::WideFromUtf8(text)) <= width;
    }));
}

bool IsButton(HWND window) {
    wchar_t kind[16] = {};
    ::GetClassNameW(window, kind, 16);
    const LONG type = ::GetWindowLongW(window, GWL_STYLE) & BS_TYPEMASK;
    return _wcsicmp(kind, L"Button") == 0 && (type == BS_PUSHBUTTON || type == BS_DEFPUSHBUTTON);
}

// A filter of the form "Name(*.a *.b);;Other(*.*)" as the file dialog takes it: name and
// patterns, each ended by a zero, the whole ended by one more.
std::wstring DialogFilter(const std::wstring& filter) {
    std::wstring out;
    std::size_t start = 0;
    while (start < filter.size()) {
        std::size_t end = filter.find(L";;", start);
        if (end == std::wstring::npos) {
            end = filter.size();
        }
        const std::wstring entry = filter.substr(start, end - start);
        const std::size_t open = entry.rfind(L'(');
        const std::size_t close = entry.rfind(L')');
        if (!entry.empty() && open != std::wstring::npos && close != std::wstring::npos &&
            close > open + 1) {
            std::wstring patterns = entry.substr(open + 1, close - open - 1);
            std::replace(patterns.begin(), patterns.end(), L' ', L';');
            out += entry;
            out += L'\0';
            out += patterns;
            out += L'\0';
        }
        start = end + 2;
    }
    if (!out.empty()) {
        out += L'\0';
    }
    return out;
}

std::wstring WindowText(HWND window) {
    if (window == nullptr) {
        return {};
    }
    const int n = ::GetWindowTextLengthW(window);
    std::wstring text(static_cast<std::size_t>(std::max(n, 0)) + 1, L'\0');
    const int got = ::GetWindowTextW(window, text.data(), n + 1);
    text.resize(static_cast<std::size_t>(std::max(got, 0)));
    return text;
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
    for (HFONT font : {captionFont_, counterFont_, headerFont_, boldColumnFont_, columnFont_,
                       rowFont_, summaryFont_}) {
        if (font != nullptr) {
            ::DeleteObject(font);
        }
    }
    for (auto& [id, brush] : controlBrushes_) {
        ::DeleteObject(brush);
    }
    if (comReady_) {
        ::OleUninitialize();
    }
}

bool CWin32StationWindow::Create(HINSTANCE instance) {
    instance_ = instance;
    // Apartment-threaded COM (and OLE, which the chooser's edit box uses) before any shell
    // dialog; S_FALSE when this thread had it already, which also needs its OleUninitialize.
    if (!comReady_) {
        comReady_ = SUCCEEDED(::OleInitialize(nullptr));
    }
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
    // The focus frame shows from the start, not only after the first Tab; the first focus is
    // the key-file button (no key file is loaded yet).
    ::SendMessageW(window_, WM_CHANGEUISTATE, MAKEWPARAM(UIS_CLEAR, UISF_HIDEFOCUS), 0);
    ShowFocus(wantedFocus_ != 0 ? wantedFocus_ : IDC_KEYFILE_BUTTON);
    ::UpdateWindow(window_);
    ::SetTimer(window_, kTickTimer, kTickMs, nullptr);
}

bool CWin32StationWindow::PreTranslate(MSG* message) {
    if (window_ == nullptr) {
        return false;
    }
    // Enter and Escape never reach the dialog: neither may close the window. Enter presses the
    // focused button, as Space does.
    if (message->message == WM_KEYDOWN &&
        (message->wParam == VK_RETURN || message->wParam == VK_ESCAPE) &&
        (message->hwnd == window_ || ::IsChild(window_, message->hwnd))) {
        const bool repeated = (message->lParam & (1L << 30)) != 0;
        if (message->wParam == VK_RETURN && !repeated && IsButton(message->hwnd) &&
            ::IsWindowEnabled(message->hwnd) && ::IsWindowVisible(message->hwnd)) {
            ::SendMessageW(message->hwnd, BM_CLICK, 0, 0);
        }
        return true;
    }
    return ::IsDialogMessageW(window_, message) != FALSE;
}

int CWin32StationWindow::RunMessageLoop() {
    MSG message;
    while (::GetMessageW(&message, nullptr, 0, 0) > 0) {
        if (PreTranslate(&message)) {
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
            SetUpSummary();
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
                    controller_->OnClose("exit-button");
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
                controller_->OnClose("close-box");
            } else {
                CloseWindow();
            }
            return TRUE;
        case WM_QUERYENDSESSION: {
            // Refused while a job runs, with the reason the shutdown screen shows.
            std::string why;
            const bool may = controller_ == nullptr || controller_->QueryEndSession(&why);
            if (may) {
                ::ShutdownBlockReasonDestroy(window_);
            } else {
                ::ShutdownBlockReasonCreate(window_, Wide(why).c_str());
            }
            ::SetWindowLongPtrW(window_, DWLP_MSGRESULT, may ? TRUE : FALSE);
            return TRUE;
        }
        case WM_ENDSESSION:
            // The process ends once this returns: the station goes through its close path here,
            // its jobs finishing first.
            if (w != FALSE && controller_ != nullptr) {
                EndSession();
            } else if (window_ != nullptr) {
                ::ShutdownBlockReasonDestroy(window_);
            }
            ::SetWindowLongPtrW(window_, DWLP_MSGRESULT, 0);
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
                ShowSummary();
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

// The summary in its smaller face, with the whole text as the label's tool tip.
void CWin32StationWindow::SetUpSummary() {
    HWND label = ::GetDlgItem(window_, IDC_SUMMARY_LABEL);
    summaryFont_ = MakeFont(kSummaryPixels, 0, FW_NORMAL);
    ::SendMessageW(label, WM_SETFONT, reinterpret_cast<WPARAM>(summaryFont_), FALSE);
    summaryTip_ =
        ::CreateWindowExW(WS_EX_TOPMOST, TOOLTIPS_CLASSW, nullptr,
                          WS_POPUP | TTS_NOPREFIX | TTS_ALWAYSTIP, CW_USEDEFAULT, CW_USEDEFAULT,
                          CW_USEDEFAULT, CW_USEDEFAULT, window_, nullptr, instance_, nullptr);
    if (summaryTip_ == nullptr) {
        return;
    }
    TTTOOLINFOW tool{};
    tool.cbSize = TTTOOLINFOW_V2_SIZE;
    tool.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
    tool.hwnd = window_;
    tool.uId = reinterpret_cast<UINT_PTR>(label);
    tool.lpszText = const_cast<wchar_t*>(L"");
    ::SendMessageW(summaryTip_, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&tool));
    ::SendMessageW(summaryTip_, TTM_SETMAXTIPWIDTH, 0, kTipWidth);
}

// Each line of the summary cut to the label's width.
void CWin32StationWindow::ShowSummary() {
    HWND label = ::GetDlgItem(window_, IDC_SUMMARY_LABEL);
    if (label == nullptr) {
        return;
    }
    RECT client{};
    ::GetClientRect(label, &client);
    HDC dc = ::GetDC(label);
    HGDIOBJ old = ::SelectObject(dc, summaryFont_);
    std::wstring shown;
    std::size_t start = 0;
    while (start <= summaryText_.size()) {
        std::size_t end = summaryText_.find(L'\n', start);
        if (end == std::wstring::npos) {
            end = summaryText_.size();
        }
        if (!shown.empty() || start > 0) {
            shown += L"\r\n";
        }
        shown += Elide(dc, summaryText_.substr(start, end - start), client.right);
        start = end + 1;
    }
    ::SelectObject(dc, old);
    ::ReleaseDC(label, dc);
    ::SetWindowTextW(label, shown.c_str());
    if (summaryTip_ != nullptr) {
        TTTOOLINFOW tool{};
        tool.cbSize = TTTOOLINFOW_V2_SIZE;
        tool.hwnd = window_;
        tool.uId = reinterpret_cast<UINT_PTR>(label);
        tool.lpszText = summaryText_.data();
        ::SendMessageW(summaryTip_, TTM_UPDATETIPTEXTW, 0, reinterpret_cast<LPARAM>(&tool));
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
    HWND header = ListView_GetHeader(table_);
    RECT client{};
    ::GetClientRect(table_, &client);
    // The height the rows have once they fit: a scroll bar they caused goes with them.
    if ((::GetWindowLongW(table_, GWL_STYLE) & WS_HSCROLL) != 0) {
        client.bottom += ::GetSystemMetrics(SM_CYHSCROLL);
    }
    ListView_EnsureVisible(table_, 0, FALSE);
    RECT first{};
    int top = 0;
    if (ListView_GetItemRect(table_, 0, &first, LVIR_BOUNDS)) {
        top = first.top;
    } else {
        RECT headerRect{};
        ::GetWindowRect(header, &headerRect);
        top = headerRect.bottom - headerRect.top;
    }
    const int rowSpace = client.bottom - top;
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
    // A list view's rows are as tall as its font or its small images, plus its own padding: an
    // image list of about the row height, made smaller until a row is no taller than its share,
    // makes the sixteen rows share the client height.
    for (int image = h; image > 0 && image > h - 6; --image) {
        HIMAGELIST rows = ::ImageList_Create(1, image, ILC_COLOR, 0, 0);
        HIMAGELIST old = ListView_SetImageList(table_, rows, LVSIL_SMALL);
        if (old != nullptr) {
            ::ImageList_Destroy(old);
        }
        RECT row{};
        if (!ListView_GetItemRect(table_, 0, &row, LVIR_BOUNDS) || row.bottom - row.top <= h) {
            break;
        }
    }
}

// Each cell in its column's font on the row's colour. The selection is no fill that would hide a
// row's green or red but a frame drawn around the row once it is painted.
LRESULT CWin32StationWindow::CustomDraw(NMLVCUSTOMDRAW* draw) {
    const int row = static_cast<int>(draw->nmcd.dwItemSpec);
    switch (draw->nmcd.dwDrawStage) {
        case CDDS_PREPAINT:
            return CDRF_NOTIFYITEMDRAW;
        case CDDS_ITEMPREPAINT:
            draw->nmcd.uItemState &= ~static_cast<UINT>(CDIS_SELECTED | CDIS_FOCUS);
            return CDRF_NOTIFYSUBITEMDRAW | CDRF_NOTIFYPOSTPAINT;
        case CDDS_ITEMPREPAINT | CDDS_SUBITEM: {
            ::SelectObject(draw->nmcd.hdc, draw->iSubItem == 0 ? boldColumnFont_ : columnFont_);
            draw->clrText = RGB(0, 0, 0);
            if (row >= 0 && row < kTableRows && rowColours_[row]) {
                draw->clrTextBk = Rgb(*rowColours_[row]);
            } else {
                draw->clrTextBk = ::GetSysColor(COLOR_WINDOW);
            }
            if (row >= 0 && row < kTableRows && draw->iSubItem >= 0 &&
                draw->iSubItem < kTableColumns) {
                DrawCell(draw, row, draw->iSubItem);
                return CDRF_SKIPDEFAULT;
            }
            return CDRF_NEWFONT;
        }
        case CDDS_ITEMPOSTPAINT: {
            if (row < 0 || row >= kTableRows ||
                (ListView_GetItemState(table_, row, LVIS_SELECTED) & LVIS_SELECTED) == 0) {
                return CDRF_DODEFAULT;
            }
            RECT r{};
            ListView_GetItemRect(table_, row, &r, LVIR_BOUNDS);
            HBRUSH frame = ::GetSysColorBrush(COLOR_HIGHLIGHT);
            for (int i = 0; i < kFrameWidth; ++i) {
                ::FrameRect(draw->nmcd.hdc, &r, frame);
                ::InflateRect(&r, -1, -1);
            }
            return CDRF_DODEFAULT;
        }
        default:
            return CDRF_DODEFAULT;
    }
}

// A cell centred in its column's font. The status cell has the job time at its right end, and
// the status text with its mark centred in the room left of it, cut with an ellipsis rather than
// running into the time.
void CWin32StationWindow::DrawCell(NMLVCUSTOMDRAW* draw, int row, int column) {
    HDC dc = draw->nmcd.hdc;
    RECT cell{};
    ListView_GetSubItemRect(table_, row, column, LVIR_BOUNDS, &cell);
    if (column == 0) {
        // The first column's bounds are the whole row's.
        cell.right = cell.left + ListView_GetColumnWidth(table_, 0);
    }
    // The grid lines stay visible between the cells.
    cell.right -= 1;
    cell.bottom -= 1;
    HBRUSH background = ::CreateSolidBrush(draw->clrTextBk);
    ::FillRect(dc, &cell, background);
    ::DeleteObject(background);
    HGDIOBJ oldFont = ::SelectObject(dc, column == 0 ? boldColumnFont_ : columnFont_);
    const int oldMode = ::SetBkMode(dc, TRANSPARENT);
    const COLORREF oldColour = ::SetTextColor(dc, draw->clrText);
    RECT room = cell;
    room.left += kTimeMargin;
    room.right -= kTimeMargin;
    const std::wstring time = column == kColumnStatus ? times_[row] : std::wstring();
    if (!time.empty()) {
        ::DrawTextW(dc, time.c_str(), static_cast<int>(time.size()), &room,
                    DT_RIGHT | DT_VCENTER | DT_SINGLELINE | DT_NOPREFIX);
        room.right -= TextWidth(dc, time) + kTimeGap;
    }
    const std::wstring shown = CellText(row, column);
    if (room.right > room.left && !shown.empty()) {
        ::DrawTextW(dc, shown.c_str(), static_cast<int>(shown.size()), &room,
                    DT_CENTER | DT_VCENTER | DT_SINGLELINE | DT_NOPREFIX | DT_END_ELLIPSIS);
    }
    ::SetTextColor(dc, oldColour);
    ::SetBkMode(dc, oldMode);
    ::SelectObject(dc, oldFont);
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

// Buttons and key labels stay; the key-file label stretches with the width; the counters keep
// their distance from the right edge; the summary band and the status line stay under the table
// and as wide as it; the table fills the rest.
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
        } else if (id >= IDC_SUCCESS_CAPTION && id <= IDC_TOTAL_COUNTER) {
            n.left += dx;
            n.right += dx;
        } else if (id == IDC_DEVICE_TABLE) {
            n.right += dx;
            n.bottom += dy;
        } else if (id == IDC_STATUS_LINE || id == IDC_SUMMARY_LABEL) {
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
    // The rows first: once they fit, no vertical scroll bar takes from the width.
    FitRows();
    RECT table{};
    ::GetClientRect(table_, &table);
    if ((::GetWindowLongW(table_, GWL_STYLE) & WS_VSCROLL) != 0) {
        table.right += ::GetSystemMetrics(SM_CXVSCROLL);
    }
    const int rest =
        table.right - ListView_GetColumnWidth(table_, 0) - ListView_GetColumnWidth(table_, 1) - 10;
    if (rest > 0) {
        ListView_SetColumnWidth(table_, 2, rest);
    }
    ::InvalidateRect(window_, nullptr, TRUE);
}

void CWin32StationWindow::RedrawRow(int row) {
    ListView_RedrawItems(table_, row, row);
    ::UpdateWindow(table_);
}

std::optional<RowColour> CWin32StationWindow::RowColourOf(int row) const {
    return row >= 0 && row < kTableRows ? rowColours_[row] : std::nullopt;
}

std::optional<RowColour> CWin32StationWindow::ControlColourOf(int controlId) const {
    const auto it = controlColours_.find(controlId);
    return it == controlColours_.end() ? std::nullopt : std::optional<RowColour>(it->second);
}

std::wstring CWin32StationWindow::CellText(int row, int column) const {
    if (row < 0 || row >= kTableRows || column < 0 || column >= kTableColumns) {
        return {};
    }
    // The table's own copy of the cell, as it would draw it.
    std::vector<wchar_t> text(4096, L'\0');
    LVITEMW item{};
    item.iSubItem = column;
    item.pszText = text.data();
    item.cchTextMax = static_cast<int>(text.size());
    const auto n = ::SendMessageW(table_, LVM_GETITEMTEXTW, static_cast<WPARAM>(row),
                                  reinterpret_cast<LPARAM>(&item));
    return std::wstring(text.data(), static_cast<std::size_t>(std::max<LRESULT>(n, 0)));
}

std::wstring CWin32StationWindow::RowTime(int row) const {
    return row >= 0 && row < kTableRows ? times_[row] : std::wstring();
}

std::wstring CWin32StationWindow::ColumnTitle(int column) const {
    wchar_t text[256] = {};
    LVCOLUMNW c{};
    c.mask = LVCF_TEXT;
    c.pszText = text;
    c.cchTextMax = 256;
    if (!ListView_GetColumn(table_, column, &c)) {
        return {};
    }
    return text;
}

std::wstring CWin32StationWindow::ControlText(int controlId) const {
    return WindowText(::GetDlgItem(window_, controlId));
}

void CWin32StationWindow::ShowWindowTitle(const std::string& title) {
    ::SetWindowTextW(window_, Wide(title).c_str());
}

void CWin32StationWindow::ShowControlText(int controlId, const std::string& text) {
    if (controlId == IDC_SUMMARY_LABEL) {
        summaryText_ = Wide(text);
        ShowSummary();
        return;
    }
    ::SetDlgItemTextW(window_, controlId, Wide(text).c_str());
}

void CWin32StationWindow::ShowControlEnabled(int controlId, bool enabled) {
    ::EnableWindow(::GetDlgItem(window_, controlId), enabled ? TRUE : FALSE);
    if (enabled && controlId == wantedFocus_) {
        ShowFocus(controlId);
    }
}

// The dialog's own way to move the focus (the default button follows), with the focus frame
// shown at once, not only after a key press.
void CWin32StationWindow::ShowFocus(int controlId) {
    HWND control = ::GetDlgItem(window_, controlId);
    wantedFocus_ = controlId;
    if (control == nullptr || !::IsWindowEnabled(control) || !::IsWindowVisible(window_)) {
        return;
    }
    ::SendMessageW(window_, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(control), TRUE);
    ::SendMessageW(window_, WM_CHANGEUISTATE, MAKEWPARAM(UIS_CLEAR, UISF_HIDEFOCUS), 0);
    wantedFocus_ = 0;
}

int CWin32StationWindow::FocusedControl() const {
    HWND focus = ::GetFocus();
    if (focus == nullptr || !::IsChild(window_, focus) || !IsButton(focus) ||
        !::IsWindowEnabled(focus)) {
        return 0;
    }
    return ::GetDlgCtrlID(focus);
}

void CWin32StationWindow::ShowColumnTitle(int column, const std::string& title) {
    std::wstring text = Wide(title);
    LVCOLUMNW c{};
    c.mask = LVCF_TEXT;
    c.pszText = text.data();
    ListView_SetColumn(table_, column, &c);
}

void CWin32StationWindow::ShowCellText(int row, int column, const std::string& text) {
    if (row < 0 || row >= kTableRows || column < 0 || column >= kTableColumns) {
        return;
    }
    if (column == kColumnStatus) {
        statusTexts_[row] = Wide(text);
        SetStatusCell(row);
        return;
    }
    std::wstring wide = Wide(text);
    ListView_SetItemText(table_, row, column, wide.data());
}

// The table holds the status text followed by the mark, as it is drawn.
void CWin32StationWindow::SetStatusCell(int row) {
    std::wstring shown = statusTexts_[row] + marks_[row];
    ListView_SetItemText(table_, row, kColumnStatus, shown.data());
}

void CWin32StationWindow::ShowRowMark(int row, const std::string& mark) {
    if (row < 0 || row >= kTableRows) {
        return;
    }
    marks_[row] = Wide(mark);
    SetStatusCell(row);
}

void CWin32StationWindow::ShowRowTime(int row, const std::string& text) {
    if (row < 0 || row >= kTableRows) {
        return;
    }
    times_[row] = Wide(text);
    RedrawRow(row);
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
    controlColours_.erase(controlId);
    if (colour) {
        controlBrushes_[controlId] = ::CreateSolidBrush(Rgb(*colour));
        controlColours_[controlId] = *colour;
    }
    ::InvalidateRect(::GetDlgItem(window_, controlId), nullptr, TRUE);
}

void CWin32StationWindow::CallAttention() {
    ++attentionCalls_;
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
    // The filter in the station's language; the built-in one without a language text.
    std::wstring filter;
    if (controller_ != nullptr) {
        const std::string text = controller_->GetLangText("IDS_KEYFILE_FILTER");
        if (!text.empty() && text != "IDS_KEYFILE_FILTER") {
            filter = DialogFilter(Wide(text));
        }
    }
    if (filter.empty()) {
        filter = DialogFilter(L"Key Database(*.kdb);;All File(*.*)");
    }
    OPENFILENAMEW open{};
    open.lStructSize = sizeof open;
    open.hwndOwner = window_;
    open.lpstrFilter = filter.c_str();
    open.lpstrFile = file.data();
    open.nMaxFile = static_cast<DWORD>(file.size());
    open.Flags = OFN_FILEMUSTEXIST | OFN_PATHMUSTEXIST | OFN_HIDEREADONLY | OFN_NOCHANGEDIR;
    if (!::GetOpenFileNameW(&open)) {
        return std::nullopt;
    }
    return Narrow(file.data());
}

void CWin32StationWindow::EndSession() {
    controller_->EndStation("session-end");
    MSG message;
    while (!controller_->IsShutDown() && ::GetMessageW(&message, nullptr, 0, 0) > 0) {
        if (!PreTranslate(&message)) {
            ::TranslateMessage(&message);
            ::DispatchMessageW(&message);
        }
    }
}

void CWin32StationWindow::CloseWindow() {
    if (window_ != nullptr) {
        HWND window = window_;
        ::DestroyWindow(window);
        window_ = nullptr;
    }
}

bool CWin32StationWindow::SaveBitmap(const std::wstring& path) {
    return SaveWindowBitmap(window_, path);
}

bool SaveWindowBitmap(HWND window, const std::wstring& path) {
    RECT r{};
    ::GetWindowRect(window, &r);
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
            ::PrintWindow(window, memory, 0);
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
