// Dialog 129: RKP export and its folder, keybox writing, the reset after writing. It edits the
// controller's settings in memory; they reach config.ini at shutdown.
//
// The folder chooser runs on the window's thread, where the window holds COM apartment-threaded
// (OleInitialize, see CWin32StationWindow::Create). A folder picked there goes into the edit and
// into SavePath at once: a later Cancel of the dialog keeps it. The check boxes are as wide as
// their texts need, so that no language's text is cut.
#include <shlobj.h>

#include <algorithm>

#include "gui/win32/Win32StationWindow.h"
#include "gui/win32/resource.h"
#include "support/FileSystem.h"
#include "support/IniLocalLan.h"
#include "support/IniSettingBase.h"

namespace {

struct ConfigState {
    CIniSettingBase* settings;
    CIniLocalLan* language;
};

// The widest a check box may grow, in dialog units: the frame it sits on, or the group's width.
constexpr int kCheckBoxMaxUnits = 240;
constexpr int kResetMaxUnits = 230;

std::wstring Text(HWND dialog, int id) {
    const int n = ::GetWindowTextLengthW(::GetDlgItem(dialog, id));
    std::wstring text(static_cast<std::size_t>(n) + 1, L'\0');
    ::GetDlgItemTextW(dialog, id, text.data(), n + 1);
    text.resize(static_cast<std::size_t>(n));
    return text;
}

// A language text, or the built-in one when the language file has none.
std::wstring TextOr(CIniLocalLan& lan, const char* key, const wchar_t* builtIn) {
    const std::string text = lan.GetText(key);
    return text.empty() || text == key ? std::wstring(builtIn) : Wide(text);
}

bool Checked(HWND dialog, int id) {
    return ::IsDlgButtonChecked(dialog, id) == BST_CHECKED;
}

// A check box's width for its text: the box, the gap after it, the text in the dialog's font.
void FitCheckBox(HWND dialog, int id, int maxDialogUnits) {
    HWND box = ::GetDlgItem(dialog, id);
    if (box == nullptr) {
        return;
    }
    const std::wstring text = Text(dialog, id);
    HDC dc = ::GetDC(box);
    HGDIOBJ old =
        ::SelectObject(dc, reinterpret_cast<HFONT>(::SendMessageW(box, WM_GETFONT, 0, 0)));
    SIZE size{};
    ::GetTextExtentPoint32W(dc, text.c_str(), static_cast<int>(text.size()), &size);
    ::SelectObject(dc, old);
    ::ReleaseDC(box, dc);
    RECT limit{0, 0, maxDialogUnits, 1};
    ::MapDialogRect(dialog, &limit);
    const int width = std::min<int>(
        size.cx + ::GetSystemMetrics(SM_CXMENUCHECK) + 4 * ::GetSystemMetrics(SM_CXEDGE),
        limit.right);
    RECT r{};
    ::GetWindowRect(box, &r);
    ::SetWindowPos(box, nullptr, 0, 0, width, r.bottom - r.top,
                   SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void SetTexts(HWND dialog, CIniLocalLan& lan) {
    auto set = [&](int id, const char* key) {
        ::SetDlgItemTextW(dialog, id, Wide(lan.GetText(key)).c_str());
    };
    ::SetWindowTextW(dialog, Wide(lan.GetText("IDS_INFO_CONFIG")).c_str());
    set(IDOK, "IDS_INFO_CONFIG_SAVE");
    set(IDCANCEL, "IDS_INFO_CONFIG_CANCEL");
    set(IDC_CFG_RKP, "IDS_INFO_RKP");
    set(IDC_CFG_SAVEPATH_LABEL, "IDS_RKP_SAVEPATH");
    set(IDC_CFG_KEYBOX, "IDS_INFO_KEYBOX");
    set(IDC_CFG_KEYFILE_LABEL, "IDS_INFO_KEYBOX_FILEPATH");
    set(IDC_CFG_DEST_LABEL, "IDS_KEYBOX_DEST");
    set(IDC_CFG_GENERAL, "IDS_INFO_GENERAL");
    set(IDC_CFG_RESET, "IDS_REBOOTAFTER");
    HWND list = ::GetDlgItem(dialog, IDC_CFG_DEST);
    int index = 0;
    for (const char* key : {"IDS_MISC", "IDS_VENDORSTORAGE", "IDS_OTHER"}) {
        ::SendMessageW(list, CB_INSERTSTRING, static_cast<WPARAM>(index++),
                       reinterpret_cast<LPARAM>(Wide(lan.GetText(key)).c_str()));
    }
    ::ShowWindow(::GetDlgItem(dialog, IDC_CFG_DEST_LABEL), SW_HIDE);
    ::ShowWindow(list, SW_HIDE);
    FitCheckBox(dialog, IDC_CFG_RKP, kCheckBoxMaxUnits);
    FitCheckBox(dialog, IDC_CFG_KEYBOX, kCheckBoxMaxUnits);
    FitCheckBox(dialog, IDC_CFG_RESET, kResetMaxUnits);
}

void Load(HWND dialog, CIniSettingBase& s) {
    ::CheckDlgButton(dialog, IDC_CFG_RKP, s.GetRkp != 0 ? BST_CHECKED : BST_UNCHECKED);
    ::EnableWindow(::GetDlgItem(dialog, IDC_CFG_SAVEPATH), s.GetRkp != 0);
    ::EnableWindow(::GetDlgItem(dialog, IDC_CFG_BROWSE), s.GetRkp != 0);
    ::SetDlgItemTextW(dialog, IDC_CFG_SAVEPATH, Wide(s.SavePath).c_str());
    ::SetDlgItemTextW(dialog, IDC_CFG_KEYFILE, Wide(s.keyFilePath).c_str());
    ::CheckDlgButton(dialog, IDC_CFG_KEYBOX, s.WriteKeybox != 0 ? BST_CHECKED : BST_UNCHECKED);
    ::EnableWindow(::GetDlgItem(dialog, IDC_CFG_KEYFILE), s.WriteKeybox != 0);
    if (s.DestPosition < 0 || s.DestPosition > 2) {
        s.DestPosition = 0;
    }
    ::SendDlgItemMessageW(dialog, IDC_CFG_DEST, CB_SETCURSEL, static_cast<WPARAM>(s.DestPosition),
                          0);
    ::CheckDlgButton(dialog, IDC_CFG_RESET, s.ResetAfterWrite != 0 ? BST_CHECKED : BST_UNCHECKED);
}

// The folder chooser: file-system folders only, not below the domain, the new-style dialog with
// an edit box. A picked folder is written to the edit and to SavePath at once; cancelling the
// chooser changes nothing.
void ChooseFolder(HWND dialog, CIniSettingBase& s, CIniLocalLan& lan) {
    const std::wstring title = TextOr(lan, "IDS_CHOOSE_DIR", L"Choose a directory");
    BROWSEINFOW browse{};
    browse.hwndOwner = dialog;
    browse.lpszTitle = title.c_str();
    browse.ulFlags =
        BIF_RETURNONLYFSDIRS | BIF_DONTGOBELOWDOMAIN | BIF_NEWDIALOGSTYLE | BIF_EDITBOX;
    PIDLIST_ABSOLUTE chosen = ::SHBrowseForFolderW(&browse);
    if (chosen == nullptr) {
        return;
    }
    wchar_t path[MAX_PATH] = {};
    if (::SHGetPathFromIDListW(chosen, path)) {
        ::SetDlgItemTextW(dialog, IDC_CFG_SAVEPATH, path);
        s.SavePath = Narrow(path);
    }
    ::CoTaskMemFree(chosen);
}

// OK: false keeps the dialog open after a message.
bool Accept(HWND dialog, CIniSettingBase& s, CIniLocalLan& lan) {
    const std::wstring caption = TextOr(lan, "IDS_CAPTION_ERROR", L"ERROR");
    s.GetRkp = Checked(dialog, IDC_CFG_RKP) ? 1 : 0;
    const std::string folder = Narrow(Text(dialog, IDC_CFG_SAVEPATH));
    if (folder.empty() || ::GetFileAttributesW(Wide(folder).c_str()) == INVALID_FILE_ATTRIBUTES) {
        ::MessageBoxW(dialog, TextOr(lan, "IDS_NO_DIR", L"No dir Selected").c_str(),
                      caption.c_str(), MB_OK | MB_ICONERROR);
        return false;
    }
    s.SavePath = folder;
    s.WriteKeybox = Checked(dialog, IDC_CFG_KEYBOX) ? 1 : 0;
    s.DestPosition =
        static_cast<int32_t>(::SendDlgItemMessageW(dialog, IDC_CFG_DEST, CB_GETCURSEL, 0, 0));
    if (s.DestPosition < 0 || s.DestPosition > 2) {
        ::MessageBoxW(dialog, TextOr(lan, "IDS_DEST_WRONG", L"Keybox Dest select wrong").c_str(),
                      caption.c_str(), MB_OK | MB_ICONERROR);
        return false;
    }
    s.ResetAfterWrite = Checked(dialog, IDC_CFG_RESET) ? 1 : 0;
    return true;
}

INT_PTR CALLBACK ConfigProc(HWND dialog, UINT message, WPARAM w, LPARAM l) {
    if (message == WM_INITDIALOG) {
        ::SetWindowLongPtrW(dialog, DWLP_USER, l);
        auto* state = reinterpret_cast<ConfigState*>(l);
        SetTexts(dialog, *state->language);
        Load(dialog, *state->settings);
        return TRUE;
    }
    auto* state = reinterpret_cast<ConfigState*>(::GetWindowLongPtrW(dialog, DWLP_USER));
    if (state == nullptr || message != WM_COMMAND) {
        return FALSE;
    }
    switch (LOWORD(w)) {
        case IDC_CFG_BROWSE:
            ChooseFolder(dialog, *state->settings, *state->language);
            return TRUE;
        case IDC_CFG_RKP: {
            const BOOL on = Checked(dialog, IDC_CFG_RKP) ? TRUE : FALSE;
            ::EnableWindow(::GetDlgItem(dialog, IDC_CFG_SAVEPATH), on);
            ::EnableWindow(::GetDlgItem(dialog, IDC_CFG_BROWSE), on);
            return TRUE;
        }
        case IDC_CFG_KEYBOX:
            ::EnableWindow(::GetDlgItem(dialog, IDC_CFG_KEYFILE),
                           Checked(dialog, IDC_CFG_KEYBOX) ? TRUE : FALSE);
            return TRUE;
        case IDOK:
            if (Accept(dialog, *state->settings, *state->language)) {
                ::EndDialog(dialog, IDOK);
            }
            return TRUE;
        case IDCANCEL:
            ::EndDialog(dialog, IDCANCEL);
            return TRUE;
        default:
            return FALSE;
    }
}

}  // namespace

void CWin32StationWindow::RunConfigDialog(CIniSettingBase& settings, CIniLocalLan& language) {
    ConfigState state{&settings, &language};
    ::DialogBoxParamW(instance_, MAKEINTRESOURCEW(IDD_CONFIG), window_, ConfigProc,
                      reinterpret_cast<LPARAM>(&state));
}
