#include "support/IniLocalLan.h"

#include <new>
#include <vector>

#include "support/FileSystem.h"
#include "support/Paths.h"
#include "support/TextCodec.h"

CIniLocalLan::~CIniLocalLan() = default;

bool CIniLocalLan::IsLoaded() const {
    std::lock_guard<std::mutex> guard(lock_);
    return loaded_;
}

bool CIniLocalLan::Load(const std::string& path) {
    std::lock_guard<std::mutex> guard(lock_);
    textSection_ = nullptr;
    loaded_ = false;
    try {
        if (LoadDocument(path)) {
            loaded_ = true;
            return true;
        }
    } catch (const std::bad_alloc&) {
    }
    DropDocument();
    return false;
}

bool CIniLocalLan::Save(const std::string& path) {
    std::lock_guard<std::mutex> guard(lock_);
    try {
        if (!path.empty()) {
            path_ = path;
        }
        if (path_.empty()) {
            return false;
        }
        if (!document_) {
            const std::string folder = ks::FolderOf(path_);
            if (!folder.empty() && !ks::CreateFolderChain(ks::WithoutTrailingSeparator(folder))) {
                return false;
            }
        }
        return WriteDocument(path_);
    } catch (const std::bad_alloc&) {
        return false;
    }
}

std::string CIniLocalLan::GetValue(std::string_view key) {
    std::lock_guard<std::mutex> guard(lock_);
    return GetValueLocked(key);
}

std::string CIniLocalLan::GetValueLocked(std::string_view key) {
    return CSettingBase::GetValue(key);
}

bool CIniLocalLan::SetValue(std::string_view key, std::string_view value) {
    std::lock_guard<std::mutex> guard(lock_);
    return CSettingBase::SetValue(key, value);
}

std::string CIniLocalLan::GetValue(std::string_view key, std::string_view defaultValue) {
    std::lock_guard<std::mutex> guard(lock_);
    try {
        if (!document_) {
            return std::string(defaultValue);
        }
        std::string_view entryKey;
        const ks::IniSection* section = Address(key, false, entryKey);
        if (section == nullptr || ks::TrimBlanks(entryKey).empty()) {
            return std::string(defaultValue);
        }
        const std::string* value = section->Find(entryKey);
        return value == nullptr ? std::string() : *value;
    } catch (const std::bad_alloc&) {
        return std::string(defaultValue);
    }
}

std::string CIniLocalLan::GetText(std::string_view key) {
    std::lock_guard<std::mutex> guard(lock_);
    return GetTextLocked(key);
}

std::string CIniLocalLan::GetTextLocked(std::string_view key) {
    try {
        if (!loaded_ || !document_) {
            return std::string(key);
        }
        const std::size_t colon = key.find(':');
        if (colon != std::string_view::npos) {
            textSection_ = document_->FindSection(key.substr(0, colon));
            key = key.substr(colon + 1);
        }
        if (textSection_ == nullptr || ks::TrimBlanks(key).empty()) {
            return {};
        }
        const std::string* value = textSection_->Find(key);
        return value == nullptr ? std::string() : *value;
    } catch (const std::bad_alloc&) {
        return {};
    }
}

bool CIniLocalLan::ApplyDialogTexts(IDialogTextTarget& window) {
    // The window is asked and changed outside the lock, so its code may call back into this
    // object; only the look-ups happen under the lock.
    struct Change {
        int id;
        int column;  // -1: the control's own text
        std::string text;
    };
    try {
        const std::vector<DialogControl> controls = window.Controls();
        std::vector<int> columnCounts(controls.size(), 0);
        for (std::size_t c = 0; c < controls.size(); ++c) {
            if (controls[c].id != 0 && controls[c].kind == DialogControlKind::ListView) {
                columnCounts[c] = window.ListViewColumnCount(controls[c].id);
            }
        }
        std::string title;
        std::vector<Change> changes;
        {
            std::lock_guard<std::mutex> guard(lock_);
            if (!loaded_ || !document_) {
                return false;
            }
            // Makes the window's section current for the control keys below.
            GetValueLocked("DIALOG_" + std::to_string(window.DialogId()) + ":DIALOG_TITLE");
            title = GetTextLocked("LANG:IDS_TEXT_APPNAME") + std::string(kTitleSuffix);
            for (std::size_t c = 0; c < controls.size(); ++c) {
                const DialogControl& control = controls[c];
                if (control.id == 0) {
                    continue;
                }
                const std::string id = std::to_string(control.id);
                switch (control.kind) {
                    case DialogControlKind::Button:
                        changes.push_back({control.id, -1, GetValueLocked("BUTTON_" + id)});
                        break;
                    case DialogControlKind::Label:
                        changes.push_back({control.id, -1, GetValueLocked("LABEL_" + id)});
                        break;
                    case DialogControlKind::ListView: {
                        const std::string prefix = "LISTVIEW_" + id + "_Header_";
                        for (int i = 0; i < columnCounts[c]; ++i) {
                            std::string text = GetValueLocked(prefix + std::to_string(i));
                            text.resize(ks::Utf8PrefixForUtf16Units(text, kMaxColumnTitleUnits));
                            changes.push_back({control.id, i, std::move(text)});
                        }
                        break;
                    }
                    case DialogControlKind::Other:
                        break;
                }
            }
        }
        window.SetTitle(title);
        for (const Change& change : changes) {
            if (change.column < 0) {
                window.SetControlText(change.id, change.text);
            } else {
                window.SetListViewColumnTitle(change.id, change.column, change.text);
            }
        }
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}
