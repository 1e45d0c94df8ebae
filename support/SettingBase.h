// Common base of the settings file and the language file: an INI document with key addressing
// "Section:Key". A key naming a section makes that section current for itself and every later key
// without a section part, so objects of this family are stateful and must be used from one thread
// at a time (CIniLocalLan adds its own lock).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "support/FileSystem.h"
#include "support/IniDocument.h"

namespace ks {

// Reads a decimal number the way wcstol does with base 10 on a platform whose long has 32 bits:
// leading white space and one sign are accepted, reading stops at the first non-digit, text
// without digits reads as 0, and values beyond the 32-bit range saturate.
int32_t ParseDecimal(std::string_view text);

}  // namespace ks

class CSettingBase {
  public:
    CSettingBase() = default;
    virtual ~CSettingBase();
    CSettingBase(const CSettingBase&) = delete;
    CSettingBase& operator=(const CSettingBase&) = delete;

    virtual bool Save(const std::string& path) = 0;
    virtual bool Load(const std::string& path) = 0;

    // The value of the key, or empty text when the document, the section or the entry is missing.
    virtual std::string GetValue(std::string_view key);
    // Stores the value, creating a missing section or entry. False when nothing was stored (no
    // section addressed, or an empty key).
    virtual bool SetValue(std::string_view key, std::string_view value);

    // The path given to Load (empty before).
    const std::string& LoadedPath() const { return path_; }
    // True when the file given to Load exists but could not be read (too large, no permission, an
    // I/O error): its settings are then the defaults, and it must not be written over with them.
    bool LoadedFileUnread() const {
        return loadStatus_ == ks::ReadStatus::Unreadable || loadStatus_ == ks::ReadStatus::TooLarge;
    }
    // The 1-based number of the first line longer than ks::kIniMaxLineBytes in the file Load read
    // (such lines are not taken), 0 when none. Writing the file would lose them: it is not saved.
    std::size_t FirstOverlongLine() const { return firstOverlongLine_; }
    // The parsed document, or nullptr before Load or Save created one.
    const ks::IniDocument* Document() const { return document_.get(); }

  protected:
    // Stores the path, replaces the document with a fresh one and parses the file into it.
    // Returns false when the file could not be read (the document then stays empty). Throws
    // std::bad_alloc when memory runs out.
    bool LoadDocument(const std::string& path);
    // Writes the document (an empty one when there is none) to the path in code page 936.
    bool WriteDocument(const std::string& path) const;
    // Creates an empty document when there is none. Throws std::bad_alloc.
    ks::IniDocument& EnsureDocument();
    void DropDocument();

    // Resolves "Section:Key" / "Key" against the document. With create, a missing section is
    // created. Updates currentSection_. Returns the section (nullptr when none) and sets entryKey.
    ks::IniSection* Address(std::string_view key, bool create, std::string_view& entryKey);

    std::unique_ptr<ks::IniDocument> document_;
    std::string path_;
    ks::ReadStatus loadStatus_ = ks::ReadStatus::NotFound;
    bool utf8WithBom_ = false;
    std::size_t firstOverlongLine_ = 0;
    ks::IniSection* currentSection_ = nullptr;
};
