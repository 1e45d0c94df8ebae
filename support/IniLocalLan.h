// A language file: texts by key from an INI file in code page 936.
//
// Thread safety: every public operation takes the object's lock, so GetText may be called from
// worker threads while the controller also reads texts. GetText's sticky section (textSection) is
// shared by all callers: a key with a section part changes it for everyone, so after start-up
// callers pass bare keys only.
#pragma once

#include <mutex>
#include <string>
#include <string_view>

#include "support/DialogTextTarget.h"
#include "support/SettingBase.h"

class CIniLocalLan : public CSettingBase {
  public:
    // Appended to the LANG:IDS_TEXT_APPNAME text to form the main window's title.
    static constexpr std::string_view kTitleSuffix = " V1.55";
    // A list-view column title keeps at most this many UTF-16 units.
    static constexpr std::size_t kMaxColumnTitleUnits = 259;

    CIniLocalLan() = default;
    ~CIniLocalLan() override;

    // Parses the file. True only when it could be read; on failure the document is dropped and
    // no language counts as loaded.
    bool Load(const std::string& path) override;
    // Writes the document to path (a non-empty path replaces the stored one). Without a document,
    // the path's folders are created and an empty file is written. False without any path or
    // when the file cannot be written.
    bool Save(const std::string& path) override;

    std::string GetValue(std::string_view key) override;
    bool SetValue(std::string_view key, std::string_view value) override;
    // defaultValue when there is no document, the addressed section does not exist or the key text
    // is empty; otherwise the entry's value, or empty text when the section lacks the entry.
    std::string GetValue(std::string_view key, std::string_view defaultValue);

    // The text for a message or caption key. With no language loaded, the key itself. A key with
    // a section part ("PROMPT:IDS_X") makes that section the text section (also when missing);
    // a bare key is read from the text section. Missing: empty text.
    std::string GetText(std::string_view key);

    // Applies the window section ("DIALOG_%d" from the window's number) to the window: the title
    // from LANG:IDS_TEXT_APPNAME plus " V1.55", buttons from BUTTON_<id>, labels from LABEL_<id>,
    // list-view columns from LISTVIEW_<id>_Header_<column>. False when no language is loaded.
    bool ApplyDialogTexts(IDialogTextTarget& window);

    bool IsLoaded() const;

  private:
    std::string GetValueLocked(std::string_view key);
    std::string GetTextLocked(std::string_view key);

    mutable std::mutex lock_;
    ks::IniSection* textSection_ = nullptr;
    bool loaded_ = false;
};
