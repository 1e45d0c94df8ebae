#include "support/IniSettingBase.h"

#include <cstdarg>
#include <cstdio>
#include <new>

namespace {

bool InRange(int32_t value, int32_t low, int32_t high) {
    return value >= low && value <= high;
}

const char* Flag(int32_t value) {
    return value != 0 ? "1" : "0";
}

}  // namespace

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
    return ks::ParseDecimal(GetValue(key));
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
    LangPath = GetValue("Language:LangPath");
    LanKinds = ReadInt("LanKinds");
    if (LanKinds > kMaxLanguages) {
        LanKinds = kMaxLanguages;
    }
    languageTable.clear();
    if (LanKinds > 0) {
        languageTable.reserve(static_cast<std::size_t>(LanKinds));
        for (int32_t i = 1; i <= LanKinds; ++i) {
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
    if (!InRange(Selected, 0, LanKinds - 1)) {
        Selected = 1;
    }

    LogPath = GetValue("System:LogPath");
    LogLevel = ReadInt("LogLevel");
    if (!InRange(LogLevel, -1, 10)) {
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
        DestPosition = 0;
    }
    SavePath = GetValue("SavePath");
    GetRkp = ReadFlag("GetRkp");
    WriteKeybox = ReadFlag("WriteKeybox");
    Jsonformat = ReadInt("Jsonformat");
    if (!InRange(Jsonformat, 0, 2)) {
        Jsonformat = 0;
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
}

bool CIniSettingBase::Save(const std::string& path) {
    try {
        EnsureDocument();
        WriteFields();
        return WriteDocument(path_.empty() ? path : path_);
    } catch (const std::bad_alloc&) {
        return false;
    }
}
