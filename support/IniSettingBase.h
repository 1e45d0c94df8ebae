// The station's settings, one field per key of "config.ini" (sections Language and System).
// Used on one thread (start-up, the configuration dialog, shutdown); worker threads only read the
// plain fields while the station runs.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "support/Logger.h"  // KS_PRINTF_LIKE
#include "support/SettingBase.h"

// Where a key goes on the board.
enum class KeyDestination {
    kMisc,           // the misc key area
    kVendorStorage,  // the record inside the vendor-storage sector
    kItem8,          // vendor item 8
};
// DestPosition read as a destination: 0 the misc key area, 2 vendor item 8, any other value (1,
// and 3 as older files have it) vendor storage.
KeyDestination DestinationOf(int32_t destPosition);
// "misc", "vendor" or "item8": the destination as job results and key records name it.
const char* DestinationName(KeyDestination destination);

struct LanguageEntry {
    std::string fileName;
    int32_t fontSize = 1;
};

class CIniSettingBase : public CSettingBase {
  public:
    // More languages than this are not read (LanKinds keeps its value, and the file its text).
    static constexpr int32_t kMaxLanguages = 64;

    CIniSettingBase() = default;
    ~CIniSettingBase() override;

    // Parses the file (a missing or unreadable one gives an empty document) and fills every field,
    // applying the range rules. False only when memory for the document runs out.
    bool Load(const std::string& path) override;
    // Stores the saved fields into the document and writes it to the path it was loaded from
    // (path is used only when nothing was loaded). True when the file was written. A file that
    // existed but could not be read at Load, or had lines too long to be taken, is never written
    // over (false).
    bool Save(const std::string& path) override;

    using CSettingBase::GetValue;
    using CSettingBase::SetValue;

    // The key's value read as a decimal number; defaultValue when the value is empty.
    int32_t GetIntValue(std::string_view key, int32_t defaultValue);
    // The same with the key formatted first (at most 1,000 bytes).
    int32_t GetIntValueFormat(int32_t defaultValue, const char* keyFormat, ...)
        KS_PRINTF_LIKE(3, 4);

    // Section "Language".
    std::string LangPath;
    int32_t LanKinds = 0;
    int32_t Selected = 0;
    // Section "System".
    std::string LogPath;
    int32_t LogLevel = 0;
    int32_t SingleRW = 0;
    int32_t SetLoader = 0;
    std::string LoaderPath;
    int32_t Debug = 0;
    int32_t ForceMskrom = 0;
    int32_t ForceWrite = 0;
    int32_t Compat1Rw = 0;
    int32_t Compat2Rw = 0;
    int32_t RebootDevice = 0;
    int32_t RPMB = 0;
    int32_t LockConfig = 0;
    int32_t SupportAdb = 0;
    int32_t CheckCRC = 0;
    int32_t DeviceType = 10;
    int32_t ResetAfterWrite = 0;
    int32_t DestPosition = 0;  // as the file and the dialogs keep it; read it as Destination()
    KeyDestination Destination() const { return DestinationOf(DestPosition); }
    std::string SavePath;
    // The keys Load found missing or out of range, in file order, whose defaults are in use
    // (start-up logs them: a damaged file that turns WriteKeybox off must not pass unnoticed).
    std::vector<std::string> defaultedKeys;
    int32_t GetRkp = 0;
    int32_t WriteKeybox = 0;
    int32_t Jsonformat = 0;
    // The shared key pool: a libpq connection string and the pool's name; both empty (the
    // default) when the station uses a key file.
    std::string KeyPool;
    std::string PoolName;
    // The pool's wrap key file (readable by its owner only); empty by default.
    std::string KeyPoolWrapKey;
    // 1: a board that already holds a used key of the loaded keys, or whose serial number already
    // received one, is given another key; 0 (the default): such a board fails before a key is
    // taken. Not written by Save: the file keeps what the operator set.
    int32_t AllowReprovision = 0;
    // The operator's window: below LowKeys unused keys the unused-key label turns amber (0: off);
    // Alerts 1 (the default) asks for attention at a failed job and at the end of a batch; a job
    // running longer than StuckSeconds turns its row amber (0: off).
    int32_t LowKeys = 16;
    int32_t Alerts = 1;
    int32_t StuckSeconds = 120;

    // The executable's folder with a trailing separator; set by start-up after Load.
    std::string exeFolder;
    // The key database file last loaded in this run (not a key of the file).
    std::string keyFilePath;
    // LanKinds entries from Lang%dFile / Lang%dFontSize; empty when LanKinds is 0 or less.
    std::vector<LanguageEntry> languageTable;

  private:
    void ReadFields();
    int32_t ReadInt(std::string_view key);
    void NoteDefault(std::string_view key);
    int32_t ReadFlag(std::string_view key);
    void WriteFields();
    void WriteIfKept(std::string_view key, int32_t value, int32_t defaultValue,
                     const std::string& text);
};
