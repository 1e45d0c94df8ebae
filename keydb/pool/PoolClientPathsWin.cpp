// The PostgreSQL client's file names on Windows. libpq opens its files with fopen() and reads
// PGPASSFILE and %APPDATA% through the narrow calls, all in the ANSI code page: a CA certificate
// under C:\Users\张三 is "C:\Users\??" on a Western Windows. The station hands it each path in the
// ANSI code page when it fits there, else the file's short (8.3) name, and names the passfile and
// the CA certificate itself, found through the UTF-16 calls.
#include <winsock2.h>
// winsock2.h before windows.h
#include <shlobj.h>
#include <windows.h>

#include <string>

#include "keydb/pool/PoolCrypto.h"
#include "support/NativeFile.h"
#include "support/WideText.h"

namespace pool {

namespace {

constexpr size_t kMaxClientPath = 32767;

// `wide` in the ANSI code page, false when a character has no place there.
bool InAnsiCodePage(const std::wstring& wide, std::string* out) {
    if (wide.empty() || wide.size() > kMaxClientPath) {
        return false;
    }
    const int length = static_cast<int>(wide.size());
    BOOL lossy = FALSE;
    const int size = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide.data(), length, nullptr,
                                         0, nullptr, &lossy);
    if (size <= 0 || lossy) {
        return false;
    }
    out->assign(static_cast<size_t>(size), '\0');
    lossy = FALSE;
    return WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide.data(), length, out->data(), size,
                               nullptr, &lossy) == size &&
           !lossy;
}

std::string AppDataFile(const wchar_t* name) {
    wchar_t folder[MAX_PATH] = {};
    if (SHGetFolderPathW(nullptr, CSIDL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, folder) != S_OK) {
        return {};
    }
    const std::string path = ks::Utf8FromWide(std::wstring(folder) + L"\\postgresql\\" + name);
    ks::NativeFile file;
    return file.Open(path, ks::kFileRead) ? path : std::string();
}

}  // namespace

bool ClientFilePath(const std::string& path, std::string* out, std::string* error) {
    // libpq's own path handling turns '/' into '\' itself; a long path keeps its \\?\ prefix.
    const std::wstring wide = ks::WideFromUtf8(path);
    if (path.empty() || InAnsiCodePage(wide, out)) {
        *out = path.empty() ? path : *out;
        return true;
    }
    const std::wstring full = ks::WidePath(path);
    const DWORD size = GetShortPathNameW(full.c_str(), nullptr, 0);
    if (size > 0 && size <= kMaxClientPath) {
        std::wstring shortName(size, L'\0');
        const DWORD got = GetShortPathNameW(full.c_str(), shortName.data(), size);
        shortName.resize(got < size ? got : 0);
        if (InAnsiCodePage(shortName, out)) {
            return true;
        }
    }
    *error = "the PostgreSQL client cannot open " + path +
             ": its name does not fit the ANSI code page and it has no short name";
    return false;
}

std::string PassFileDefault() {
    std::wstring env(kMaxClientPath + 1, L'\0');
    const DWORD n = GetEnvironmentVariableW(L"PGPASSFILE", env.data(), kMaxClientPath + 1);
    if (n > 0 && n <= kMaxClientPath) {
        env.resize(n);
        return ks::Utf8FromWide(env);
    }
    return AppDataFile(L"pgpass.conf");
}

std::string RootCertDefault() {
    return AppDataFile(L"root.crt");
}

bool NoHostIsTcp() {
    return true;
}

bool IsLocalSocket(int socket) {
    // libpq's socket on Windows is a SOCKET that fits an int; AF_UNIX is 1 there too.
    sockaddr_storage address{};
    int length = sizeof address;
    return socket >= 0 &&
           ::getsockname(static_cast<SOCKET>(socket), reinterpret_cast<sockaddr*>(&address),
                         &length) == 0 &&
           address.ss_family == 1;
}

}  // namespace pool
