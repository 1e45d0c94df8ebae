// The persistent copy of the USB port map: name -> 32-bit number pairs under one group that can
// be deleted at once. The controller keeps device path -> slot number bindings here so that a
// device gets the same slot again after a restart.
#pragma once

#include <cstdint>
#include <map>
#include <string>

class IPortMapStore {
  public:
    virtual ~IPortMapStore() = default;
    // Reads every pair of the group into *out (cleared first); a group that does not exist yet is
    // empty. False when the group can't be opened.
    virtual bool ReadAll(std::map<std::string, uint32_t>* out) = 0;
    // Stores one pair, replacing a pair of the same name. False when it could not be stored.
    virtual bool Write(const std::string& name, uint32_t value) = 0;
    // Deletes the group with all its pairs. False when it could not be deleted.
    virtual bool Clear() = 0;
};

// The group as an INI file with one section "UsbMap": one line per pair, "name=decimal number".
//
// Names are written percent-encoded: every byte other than a-z, 0-9, '-', '.', '_' and '~' becomes
// '%' and two upper-case hex digits. So no name can contain a character that the INI format treats
// specially ('=', '[', ']', ';', '#', ':', blanks, line ends) and names that differ only in the
// case of their letters stay apart (INI keys compare without regard to case). Lines whose name
// does not decode or whose value is not a decimal number of 32 bits are ignored, as the registry
// ignores values of other types.
//
// Every change rewrites the whole file through a temporary file in the same folder that is
// flushed to disk and renamed over the old one, so a crash leaves either the old or the new file,
// never a partial one. Not for use by two processes at once.
class CPortMapFile final : public IPortMapStore {
  public:
    explicit CPortMapFile(std::string path);

    bool ReadAll(std::map<std::string, uint32_t>* out) override;
    bool Write(const std::string& name, uint32_t value) override;
    bool Clear() override;

    const std::string& Path() const { return path_; }

    static std::string EncodeName(const std::string& name);
    // False when text is not a valid encoding (a stray '%', bad hex, or a byte that would have
    // been encoded).
    static bool DecodeName(const std::string& text, std::string* name);

  private:
    std::string path_;
};
