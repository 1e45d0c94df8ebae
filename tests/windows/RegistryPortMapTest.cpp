// The registry port map: for real in the Wine prefix's registry, and against a registry that
// refuses the machine's key, as for an operator without administrator rights.
#include <windows.h>

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "platform/windows/RegistryPortMap.h"
#include "support/Logger.h"

namespace {

class LineLog final : public CLoggerBase {
  public:
    void VPrint(int, const char* format, va_list args) override {
        char text[512];
        std::vsnprintf(text, sizeof text, format, args);
        lines.emplace_back(text);
    }
    void SetLevel(int) override {}
    std::vector<std::string> lines;
};

// RRF_SUBKEY_WOW6432KEY, which the headers declare only for a Windows 10 API level.
constexpr DWORD kSubkey32 = 0x00020000;

// Deletes the key under both hives, in both views, so that every test starts from nothing.
void DeleteKeys() {
    for (HKEY root : {HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER}) {
        for (REGSAM view : {KEY_WOW64_32KEY, KEY_WOW64_64KEY}) {
            HKEY key = nullptr;
            if (::RegOpenKeyExW(root, kPortMapKey, 0, KEY_ALL_ACCESS | view, &key) ==
                ERROR_SUCCESS) {
                ::RegDeleteTreeW(key, nullptr);
                ::RegCloseKey(key);
                ::RegDeleteKeyExW(root, kPortMapKey, view, 0);
            }
        }
    }
}

TEST(RegistryPortMap, BindingsSurviveANewMapAndOtherValueTypesAreIgnored) {
    DeleteKeys();
    const std::string path =
        "\\\\?\\USB#VID_2207&PID_350A#6&1a2b3c&0&3#{a5dcbf10-6530-11d2-901f-"
        "00c04fb951ed}";
    {
        CRegistryPortMap map(MakeSystemRegistry());
        std::map<std::string, uint32_t> values;
        ASSERT_TRUE(map.ReadAll(&values));  // created empty
        EXPECT_TRUE(values.empty());
        EXPECT_TRUE(map.Write(path, 3));
        EXPECT_TRUE(map.Write("second", 16));
        EXPECT_TRUE(map.Write("second", 7));  // replaced
        EXPECT_EQ(map.Hive(), IRegistry::Hive::LocalMachine);
    }
    // The values are REG_DWORD under HKLM\SOFTWARE\Quillard (any case of the key's name).
    DWORD data = 0;
    DWORD size = sizeof data;
    DWORD type = 0;
    ASSERT_EQ(::RegGetValueW(HKEY_LOCAL_MACHINE, L"Software\\quillard", L"second",
                             RRF_RT_ANY | kSubkey32, &type, &data, &size),
              ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(data, 7u);
    // A value of another type in the key is not a binding.
    HKEY key = nullptr;
    ASSERT_EQ(
        ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kPortMapKey, 0, KEY_SET_VALUE | KEY_WOW64_32KEY, &key),
        ERROR_SUCCESS);
    const wchar_t text[] = L"12";
    ::RegSetValueExW(key, L"text", 0, REG_SZ, reinterpret_cast<const BYTE*>(text), sizeof text);
    const uint64_t wide = 5;
    ::RegSetValueExW(key, L"qword", 0, REG_QWORD, reinterpret_cast<const BYTE*>(&wide),
                     sizeof wide);
    ::RegCloseKey(key);

    CRegistryPortMap again(MakeSystemRegistry());
    std::map<std::string, uint32_t> values;
    ASSERT_TRUE(again.ReadAll(&values));
    EXPECT_EQ(values, (std::map<std::string, uint32_t>{{path, 3}, {"second", 7}}));

    // Clearing deletes the key with every value; the next read finds it empty again.
    EXPECT_TRUE(again.Clear());
    EXPECT_NE(::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kPortMapKey, 0, KEY_READ | KEY_WOW64_32KEY, &key),
              ERROR_SUCCESS);
    ASSERT_TRUE(again.ReadAll(&values));
    EXPECT_TRUE(values.empty());
    DeleteKeys();
}

// The system registry, except that the machine's key is refused.
class NoMachineKey final : public IRegistry {
  public:
    explicit NoMachineKey(int* machineAttempts)
        : real_(MakeSystemRegistry()), attempts_(machineAttempts) {}
    bool OpenOrCreate(Hive hive, const std::wstring& key) override {
        if (hive == Hive::LocalMachine) {
            ++*attempts_;
            return false;
        }
        return real_->OpenOrCreate(hive, key);
    }
    bool ReadDwords(std::map<std::wstring, unsigned long>* v) override {
        return real_->ReadDwords(v);
    }
    bool SetDword(const std::wstring& n, unsigned long v) override { return real_->SetDword(n, v); }
    bool DeleteTree() override { return real_->DeleteTree(); }
    void Close() override { real_->Close(); }

  private:
    std::unique_ptr<IRegistry> real_;
    int* attempts_;
};

TEST(RegistryPortMap, WithoutRightsOnTheMachineKeyTheUsersKeyServesWithOneLogLine) {
    DeleteKeys();
    LineLog log;
    int machineAttempts = 0;
    CRegistryPortMap map(std::make_unique<NoMachineKey>(&machineAttempts), &log);
    std::map<std::string, uint32_t> values;
    ASSERT_TRUE(map.ReadAll(&values));
    EXPECT_TRUE(map.Write("dev-a", 1));
    EXPECT_TRUE(map.Write("dev-b", 2));
    ASSERT_TRUE(map.ReadAll(&values));
    EXPECT_EQ(values, (std::map<std::string, uint32_t>{{"dev-a", 1}, {"dev-b", 2}}));
    EXPECT_EQ(map.Hive(), IRegistry::Hive::CurrentUser);
    // Asked once, said once.
    EXPECT_EQ(machineAttempts, 1);
    ASSERT_EQ(log.lines.size(), 1u);
    EXPECT_NE(log.lines[0].find("HKEY_CURRENT_USER"), std::string::npos);
    // The bindings really are in the user's key, and not in the machine's.
    DWORD data = 0;
    DWORD size = sizeof data;
    EXPECT_EQ(::RegGetValueW(HKEY_CURRENT_USER, kPortMapKey, L"dev-b", RRF_RT_REG_DWORD, nullptr,
                             &data, &size),
              ERROR_SUCCESS);
    EXPECT_EQ(data, 2u);
    HKEY key = nullptr;
    EXPECT_NE(::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kPortMapKey, 0, KEY_READ | KEY_WOW64_32KEY, &key),
              ERROR_SUCCESS);
    EXPECT_TRUE(map.Clear());
    DeleteKeys();
}

}  // namespace

// The view is chosen, not left to the station's bitness: a 64-bit station reads the bindings a
// 32-bit installation wrote (WOW6432Node), and a value only in the 64-bit view is not a binding.
TEST(RegistryPortMap, A64BitStationFindsTheMapOfA32BitInstallation) {
    DeleteKeys();
    const auto put = [](REGSAM view, const wchar_t* name, DWORD value) {
        HKEY key = nullptr;
        ASSERT_EQ(::RegCreateKeyExW(HKEY_LOCAL_MACHINE, kPortMapKey, 0, nullptr, 0,
                                    KEY_SET_VALUE | view, nullptr, &key, nullptr),
                  ERROR_SUCCESS);
        ::RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                         sizeof value);
        ::RegCloseKey(key);
    };
    put(KEY_WOW64_32KEY, L"left by the 32-bit station", 5);
    put(KEY_WOW64_64KEY, L"only in the 64-bit view", 9);
    CRegistryPortMap map(MakeSystemRegistry());
    std::map<std::string, uint32_t> values;
    ASSERT_TRUE(map.ReadAll(&values));
    EXPECT_EQ(values, (std::map<std::string, uint32_t>{{"left by the 32-bit station", 5}}));
    EXPECT_EQ(map.Hive(), IRegistry::Hive::LocalMachine);
    DeleteKeys();
}
