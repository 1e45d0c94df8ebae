// The executable's folder, the computer name and the profile folder on Windows.
#include <windows.h>

#include <vector>

#include "support/Paths.h"
#include "support/WideText.h"

namespace ks {

std::string ExecutableFolder() {
    std::vector<wchar_t> buffer(32768);
    const DWORD n = ::GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (n == 0 || n >= buffer.size()) {
        return "C:\\";
    }
    const std::string folder = FolderOf(Utf8FromWide(std::wstring_view(buffer.data(), n)));
    return folder.empty() ? "C:\\" : folder;
}

std::string HostName() {
    wchar_t name[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD size = MAX_COMPUTERNAME_LENGTH + 1;
    if (!::GetComputerNameW(name, &size)) {
        return std::string();
    }
    std::string text = Utf8FromWide(std::wstring_view(name, size));
    return text.size() > 255 ? text.substr(0, 255) : text;
}

std::string HomeFolder() {
    std::vector<wchar_t> buffer(32768);
    const DWORD n =
        ::GetEnvironmentVariableW(L"USERPROFILE", buffer.data(), static_cast<DWORD>(buffer.size()));
    if (n == 0 || n >= buffer.size()) {
        return std::string();
    }
    return Utf8FromWide(std::wstring_view(buffer.data(), n));
}

}  // namespace ks
