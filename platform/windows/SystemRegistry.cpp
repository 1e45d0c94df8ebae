// IRegistry over advapi32. Every key is opened in the registry's 32-bit view
// (KEY_WOW64_32KEY): a 64-bit station then finds the port map that a 32-bit installation of the
// station left (under WOW6432Node of HKLM), and both builds share one map. The current user's
// SOFTWARE key is not redirected, so the flag changes nothing there.
#include <windows.h>

#include <vector>

#include "platform/windows/RegistryPortMap.h"

namespace {

constexpr REGSAM kView = KEY_WOW64_32KEY;

class CSystemRegistry final : public IRegistry {
  public:
    ~CSystemRegistry() override { Close(); }

    bool OpenOrCreate(Hive hive, const std::wstring& key) override {
        Close();
        HKEY root = hive == Hive::LocalMachine ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER;
        HKEY opened = nullptr;
        const LONG rc =
            ::RegCreateKeyExW(root, key.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                              KEY_READ | KEY_WRITE | DELETE | kView, nullptr, &opened, nullptr);
        if (rc != ERROR_SUCCESS) {
            return false;
        }
        key_ = opened;
        root_ = root;
        path_ = key;
        return true;
    }

    bool ReadDwords(std::map<std::wstring, unsigned long>* values) override {
        if (key_ == nullptr) {
            return false;
        }
        // Value names are at most 16,383 units long.
        std::vector<wchar_t> name(16384);
        for (DWORD index = 0;; ++index) {
            DWORD nameLength = static_cast<DWORD>(name.size());
            DWORD type = 0;
            DWORD data = 0;
            DWORD dataSize = sizeof data;
            const LONG rc = ::RegEnumValueW(key_, index, name.data(), &nameLength, nullptr, &type,
                                            reinterpret_cast<BYTE*>(&data), &dataSize);
            if (rc == ERROR_NO_MORE_ITEMS) {
                return true;
            }
            if (rc == ERROR_MORE_DATA) {
                continue;  // a value larger than a DWORD: of another type
            }
            if (rc != ERROR_SUCCESS) {
                return false;
            }
            if (type == REG_DWORD && dataSize == sizeof data) {
                (*values)[std::wstring(name.data(), nameLength)] = data;
            }
        }
    }

    bool SetDword(const std::wstring& name, unsigned long value) override {
        if (key_ == nullptr) {
            return false;
        }
        const DWORD data = static_cast<DWORD>(value);
        return ::RegSetValueExW(key_, name.c_str(), 0, REG_DWORD,
                                reinterpret_cast<const BYTE*>(&data), sizeof data) == ERROR_SUCCESS;
    }

    bool DeleteTree() override {
        if (key_ == nullptr) {
            return false;
        }
        // The values and subkeys through the open key (in its view), then the key itself.
        LONG rc = ::RegDeleteTreeW(key_, nullptr);
        Close();
        if (rc != ERROR_SUCCESS && rc != ERROR_FILE_NOT_FOUND) {
            return false;
        }
        rc = ::RegDeleteKeyExW(root_, path_.c_str(), kView, 0);
        return rc == ERROR_SUCCESS || rc == ERROR_FILE_NOT_FOUND;
    }

    void Close() override {
        if (key_ != nullptr) {
            ::RegCloseKey(key_);
            key_ = nullptr;
        }
    }

  private:
    HKEY key_ = nullptr;
    HKEY root_ = nullptr;
    std::wstring path_;
};

}  // namespace

std::unique_ptr<IRegistry> MakeSystemRegistry() {
    return std::make_unique<CSystemRegistry>();
}
