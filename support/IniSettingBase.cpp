#include "support/IniSettingBase.h"

#include <cstdarg>
#include <cstdio>
#include <new>

namespace {

// Compared in 64 bits: a bound computed from a file's number (LanKinds - 1) cannot overflow.
bool InRange(int64_t value, int64_t low, int64_t high) {
    return value >= low && value <= high;
}

const char* Flag(int32_t value) {
    return value != 0 ? "1" : "0";
}

}  // namespace

KeyDestination DestinationOf(int32_t destPosition) {
    switch (destPosition) {
        case 0:
            return KeyDestination::kMisc;
        case 2:
            return KeyDestination::kItem8;
        default:
            return KeyDestination::kVendorStorage;
    }
}

const char* DestinationName(KeyDestination destination) {
    switch (destination) {
        case KeyDestination::kMisc:
            return "misc";
        case KeyDestination::kVendorStorage:
            return "vendor";
        case KeyDestination::kItem8:
            return "item8";
    }
    return "vendor";
}

CIniSettingBase::~CIniSettingBase() = default;

int32_t CIniSettingBase::GetIntValue(std::string_view key, int32_t defaultValue) {
    const std::string value = GetValue(key);
    return value.empty() ? defaultValue : ks::ParseDecimal(value);
}

int32_t CIniSettingBase::GetIntValueFormat(int32_t defaultValue, const char* keyFormat, ...) {
    char key[1001];
    va_list args;
    va_start(args, keyFormat);
    const int n = std::vsnprintf(key, sizeof(key), keyFormat, args);
    va_end(args);
    if (n < 0) {
        return defaultValue;
    }
    return GetIntValue(key, defaultValue);
}

int32_t CIniSettingBase::ReadInt(std::string_view key) {
    const std::string value = GetValue(key);
    if (value.empty()) {
        NoteDefault(key);
    }
    return ks::ParseDecimal(value);
}

void CIniSettingBase::NoteDefault(std::string_view key) {
    for (const std::string& known : defaultedKeys) {
        if (known == key) {
            return;
        }
    }
    defaultedKeys.emplace_back(key);
}

int32_t CIniSettingBase::ReadFlag(std::string_view key) {
    return ReadInt(key) != 0 ? 1 : 0;
}

bool CIniSettingBase::Load(const std::string& path) {
    try {
        LoadDocument(path);  // a missing or unreadable file leaves the document empty
        ReadFields();
        return true;
    } catch (const std::bad_alloc&) {
        DropDocument();
        return false;
    }
}

void CIniSettingBase::ReadFields() {
    // Every key without a section part below belongs to the section named last.
    defaultedKeys.clear();
    LangPath = GetValue("Language:LangPath");
    // LanKinds is kept as read (and saved back so); only the table it sizes is bounded.
    LanKinds = ReadInt("LanKinds");
    languageTable.clear();
    const int32_t tableSize = LanKinds > kMaxLanguages ? kMaxLanguages : LanKinds;
    if (tableSize > 0) {
        languageTable.reserve(static_cast<std::size_t>(tableSize));
        for (int32_t i = 1; i <= tableSize; ++i) {
            const std::string index = std::to_string(i);
            LanguageEntry entry;
            entry.fileName = GetValue("Lang" + index + "File");
            const std::string size = GetValue("Lang" + index + "FontSize");
            entry.fontSize = size.empty() ? 1 : ks::ParseDecimal(size);
            if (!InRange(entry.fontSize, 1, 255)) {
                entry.fontSize = 1;
            }
            languageTable.push_back(std::move(entry));
        }
    }
    Selected = ReadInt("Selected");
    if (!InRange(Selected, 0, int64_t{LanKinds} - 1)) {
        NoteDefault("Selected");
        Selected = 1;
    }

    LogPath = GetValue("System:LogPath");
    LogLevel = ReadInt("LogLevel");
    if (!InRange(LogLevel, -1, 10)) {
        NoteDefault("LogLevel");
        LogLevel = 10;
    }
    SingleRW = ReadFlag("SingleRW");
    SetLoader = ReadFlag("SetLoader");
    LoaderPath = GetValue("LoaderPath");
    Debug = ReadFlag("Debug");
    ForceMskrom = ReadFlag("ForceMskrom");
    ForceWrite = ReadFlag("ForceWrite");
    Compat1Rw = ReadFlag("Compat1Rw");
    Compat2Rw = ReadFlag("Compat2Rw");
    RebootDevice = ReadFlag("RebootDevice");
    RPMB = ReadFlag("RPMB");
    LockConfig = ReadFlag("LockConfig");
    SupportAdb = ReadFlag("SupportAdb");
    CheckCRC = ReadFlag("CheckCRC");
    DeviceType = GetIntValue("DeviceType", 10);
    if (DeviceType != 10 && DeviceType != 20) {
        DeviceType = 10;
    }
    ResetAfterWrite = ReadFlag("ResetAfterWrite");
    DestPosition = ReadInt("DestPosition");
    if (!InRange(DestPosition, 0, 3)) {
        NoteDefault("DestPosition");
        DestPosition = 0;
    }
    SavePath = GetValue("SavePath");
    GetRkp = ReadFlag("GetRkp");
    WriteKeybox = ReadFlag("WriteKeybox");
    Jsonformat = ReadInt("Jsonformat");
    if (!InRange(Jsonformat, 0, 2)) {
        NoteDefault("Jsonformat");
        Jsonformat = 0;
    }
    KeyPool = GetValue("KeyPool");
    PoolName = GetValue("PoolName");
    KeyPoolWrapKey = GetValue("KeyPoolWrapKey");
    AllowReprovision = GetIntValue("AllowReprovision", 0) != 0 ? 1 : 0;
    // Keys newer than most files: a missing one takes its default without a word.
    LowKeys = GetIntValue("LowKeys", 16);
    if (LowKeys < 0) {
        NoteDefault("LowKeys");
        LowKeys = 16;
    }
    Alerts = GetIntValue("Alerts", 1) != 0 ? 1 : 0;
    StuckSeconds = GetIntValue("StuckSeconds", 120);
    if (StuckSeconds < 0) {
        NoteDefault("StuckSeconds");
        StuckSeconds = 120;
    }
}

void CIniSettingBase::WriteIfKept(std::string_view key, int32_t value, int32_t defaultValue,
                                  const std::string& text) {
    if (value != defaultValue || !GetValue(key).empty()) {
        SetValue(key, text);
    }
}

void CIniSettingBase::WriteFields() {
    SetValue("Language:Selected", std::to_string(Selected));
    SetValue("System:LogPath", LogPath);
    SetValue("LogLevel", std::to_string(LogLevel));
    SetValue("SingleRW", Flag(SingleRW));
    SetValue("LoaderPath", LoaderPath);
    SetValue("SetLoader", Flag(SetLoader));
    SetValue("ForceMskrom", Flag(ForceMskrom));
    SetValue("ForceWrite", Flag(ForceWrite));
    SetValue("Compat1Rw", Flag(Compat1Rw));
    SetValue("Compat2Rw", Flag(Compat2Rw));
    SetValue("RebootDevice", Flag(RebootDevice));
    SetValue("RPMB", Flag(RPMB));
    SetValue("LockConfig", Flag(LockConfig));
    SetValue("SupportAdb", Flag(SupportAdb));
    SetValue("CheckCRC", Flag(CheckCRC));
    SetValue("DeviceType", std::to_string(DeviceType));
    SetValue("ResetAfterWrite", Flag(ResetAfterWrite));
    SetValue("DestPosition", std::to_string(DestPosition));
    SetValue("SavePath", SavePath);
    SetValue("GetRkp", Flag(GetRkp));
    SetValue("WriteKeybox", Flag(WriteKeybox));
    // The window's keys are written when the file has them or they differ from their defaults,
    // so that a file without them is saved as it was.
    WriteIfKept("System:LowKeys", LowKeys, 16, std::to_string(LowKeys));
    WriteIfKept("System:Alerts", Alerts, 1, Flag(Alerts));
    WriteIfKept("System:StuckSeconds", StuckSeconds, 120, std::to_string(StuckSeconds));
    if (!KeyPoolWrapKey.empty() || !GetValue("System:KeyPoolWrapKey").empty()) {
        SetValue("System:KeyPoolWrapKey", KeyPoolWrapKey);
    }
    // Written only when set, so that a station without a pool keeps its config.ini as it was.
    if (!KeyPool.empty() || !PoolName.empty()) {
        SetValue("KeyPool", KeyPool);
        SetValue("PoolName", PoolName);
    }
}

bool CIniSettingBase::Save(const std::string& path) {
    if (LoadedFileUnread() || FirstOverlongLine() != 0) {
        // The operator's file was there but could not be read: the values in memory are defaults,
        // and writing them would lose the file's (language settings and all). It is left alone.
        return false;
    }
    try {
        EnsureDocument();
        WriteFields();
        return WriteDocument(path_.empty() ? path : path_);
    } catch (const std::bad_alloc&) {
        return false;
    }
}
