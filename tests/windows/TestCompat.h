// What the shared test sources take from POSIX and the Windows C library lacks, for the Windows
// test programs only (forced in by tests/windows/CMakeLists.txt).
#pragma once

#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "support/WideText.h"

// Creates a new folder from a template ending in "XXXXXX", as POSIX mkdtemp does.
inline char* mkdtemp(char* pattern) {
    const std::size_t len = std::strlen(pattern);
    if (len < 6 || std::strcmp(pattern + len - 6, "XXXXXX") != 0) {
        return nullptr;
    }
    static constexpr char kDigits[] = "0123456789abcdefghijklmnopqrstuvwxyz";
    unsigned long long seed = ::GetTickCount64() ^ (::GetCurrentProcessId() * 2654435761ULL) ^
                              reinterpret_cast<uintptr_t>(pattern);
    for (int attempt = 0; attempt < 100; ++attempt) {
        for (std::size_t i = len - 6; i < len; ++i) {
            seed = seed * 6364136223846793005ULL + 1442695040888963407ULL;
            pattern[i] = kDigits[(seed >> 33) % 36];
        }
        if (::CreateDirectoryW(ks::WidePath(pattern).c_str(), nullptr)) {
            return pattern;
        }
        if (::GetLastError() != ERROR_ALREADY_EXISTS) {
            return nullptr;
        }
    }
    return nullptr;
}

#include "support/NativeFile.h"

// Cuts or extends a file to len bytes, as POSIX truncate does.
inline int truncate(const char* path, long long len) {
    ks::NativeFile file;
    return file.Open(path, ks::kFileWrite) && file.Truncate(static_cast<uint64_t>(len)) ? 0 : -1;
}
