#include <windows.h>

#include "support/WideText.h"

namespace ks {

std::wstring WideFromUtf8(std::string_view text) {
    if (text.empty() || text.size() > 0x7FFFFFFF) {
        return std::wstring();
    }
    const int size = static_cast<int>(text.size());
    const int n = ::MultiByteToWideChar(CP_UTF8, 0, text.data(), size, nullptr, 0);
    if (n <= 0) {
        return std::wstring();
    }
    std::wstring out(static_cast<std::size_t>(n), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, text.data(), size, out.data(), n);
    return out;
}

std::string Utf8FromWide(std::wstring_view text) {
    if (text.empty() || text.size() > 0x3FFFFFFF) {
        return std::string();
    }
    const int size = static_cast<int>(text.size());
    const int n =
        ::WideCharToMultiByte(CP_UTF8, 0, text.data(), size, nullptr, 0, nullptr, nullptr);
    if (n <= 0) {
        return std::string();
    }
    std::string out(static_cast<std::size_t>(n), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text.data(), size, out.data(), n, nullptr, nullptr);
    return out;
}

std::wstring WidePath(const std::string& path) {
    std::wstring wide = WideFromUtf8(path);
    for (wchar_t& c : wide) {
        if (c == L'/') {
            c = L'\\';
        }
    }
    // A path near MAX_PATH or beyond works only in the \\?\ form, which the system takes
    // verbatim: it is made absolute (".", ".." and relative parts resolved) first.
    if (wide.size() < kLongPathFrom || wide.rfind(L"\\\\?\\", 0) == 0 ||
        wide.rfind(L"\\\\.\\", 0) == 0) {
        return wide;
    }
    const DWORD need = ::GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
    if (need == 0 || need > 32767) {
        return wide;
    }
    std::wstring full(need, L'\0');
    const DWORD n = ::GetFullPathNameW(wide.c_str(), need, full.data(), nullptr);
    if (n == 0 || n >= need) {
        return wide;
    }
    full.resize(n);
    if (full.rfind(L"\\\\", 0) == 0) {  // \\server\share\... becomes \\?\UNC\server\share\...
        return L"\\\\?\\UNC\\" + full.substr(2);
    }
    return L"\\\\?\\" + full;
}

}  // namespace ks
