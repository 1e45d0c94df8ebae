// In-memory INI document: sections ordered by name, entries ordered by key, both compared without
// regard to the case of A-Z (the spelling stored first is kept). Names and keys are trimmed of
// spaces and tabs at both ends whenever they are looked up or inserted; values are kept as given.
#pragma once

#include <cstddef>
#include <map>
#include <string>
#include <string_view>

namespace ks {

// Orders text the way UTF-16 code units with A-Z folded to a-z would order: byte order of UTF-8,
// except that characters beyond U+FFFF sort below U+E000..U+FFFF, as their surrogates do.
struct IniNameLess {
    using is_transparent = void;
    bool operator()(std::string_view a, std::string_view b) const;
};

// Removes spaces and tabs from both ends.
std::string_view TrimBlanks(std::string_view text);

class IniSection {
  public:
    using Entries = std::map<std::string, std::string, IniNameLess>;

    explicit IniSection(std::string name) : name_(std::move(name)) {}

    const std::string& Name() const { return name_; }
    // The entry's value, or nullptr when there is no such key.
    const std::string* Find(std::string_view key) const;
    // Stores the value, creating the entry when missing. False for an empty (after trimming) key.
    bool Set(std::string_view key, std::string_view value);
    bool Remove(std::string_view key);
    const Entries& GetEntries() const { return entries_; }

  private:
    std::string name_;
    Entries entries_;
};

class IniDocument {
  public:
    using Sections = std::map<std::string, IniSection, IniNameLess>;

    IniSection* FindSection(std::string_view name);
    const IniSection* FindSection(std::string_view name) const;
    // Looks the section up, creating it empty when missing. References stay valid until the
    // section is removed or the document cleared.
    IniSection& GetOrAddSection(std::string_view name);
    void Clear() { sections_.clear(); }
    bool Empty() const { return sections_.empty(); }
    const Sections& GetSections() const { return sections_; }

  private:
    Sections sections_;
};

// What a parse skipped, for diagnostics.
struct IniParseReport {
    std::size_t lines = 0;              // lines seen
    std::size_t overlongLines = 0;      // lines longer than kIniMaxLineBytes, ignored whole
    std::size_t firstOverlongLine = 0;  // 1-based number of the first of them, 0 if none
    std::size_t orphanEntries = 0;      // entries before the first section header, dropped
};

// Lines longer than this (after decoding) are ignored whole.
inline constexpr std::size_t kIniMaxLineBytes = 16 * 1024;
// Settings and language files larger than this are not read.
inline constexpr std::size_t kIniMaxFileBytes = 8 * 1024 * 1024;

// Parses code page 936 text into doc (cleared first). LF ends a line, with or without CR before
// it; blank lines, comments and lines without "=" are ignored; a repeated header continues its
// section; a later duplicate key wins; entries before the first header are dropped.
IniParseReport ParseIni(const char* data, std::size_t size, IniDocument& doc);
// The same for text that is already UTF-8.
IniParseReport ParseIniUtf8(std::string_view text, IniDocument& doc);
// True when ParseIni reads these bytes as UTF-8: a byte-order mark followed by valid UTF-8 (as an
// editor saves it). Such a file is to be written back the same way.
bool IsUtf8WithBom(std::string_view bytes);
inline constexpr std::string_view kUtf8ByteOrderMark = "\xEF\xBB\xBF";

// The document as code page 936 text: sections in name order, each header followed by its entries
// in key order, every line ending in CR LF.
std::string SerializeIni(const IniDocument& doc);
// The same as UTF-8.
std::string SerializeIniUtf8(const IniDocument& doc);

}  // namespace ks
