// IRegistry over advapi32.
#include <windows.h>

#include <vector>

#include "platform/windows/RegistryPortMap.h"

namespace {

class CSystemRegistry final : public IRegistry {
  public:
    ~CSystemRegistry() override { Close(); }

    bool OpenOrCreate(Hive hive, const std::wstring& key) override {
        Close();
        HKEY root = hive == Hive::LocalMachine ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER;
        HKEY opened = nullptr;
        const LONG rc = ::RegCreateKeyExW(root, key.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                          KEY_READ | KEY_WRITE | DELETE, nullptr, &opened, nullptr);
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
        Close();
        const LONG rc = ::RegDeleteTreeW(root_, path_.c_str());
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
