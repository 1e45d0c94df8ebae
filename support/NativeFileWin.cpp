// NativeFile over Win32 handles: CreateFileW with UTF-16 names, LockFileEx for the station's
// lock, FlushFileBuffers for every flush, MoveFileExW for the replacing rename.
#include <windows.h>

#include <cstdio>
#include <utility>
#include <vector>

#include "support/FileSystem.h"
#include "support/NativeFile.h"
#include "support/WideText.h"

namespace ks {

namespace {

HANDLE H(intptr_t handle) {
    return reinterpret_cast<HANDLE>(handle);
}

// The station's lock is one byte far beyond any key file's end. Byte-range locks on Windows are
// mandatory, so a lock on the data would stop tools from reading a file a station holds.
constexpr DWORD kLockOffsetHigh = 0x7FFFFFFF;

OVERLAPPED At(uint64_t offset) {
    OVERLAPPED o{};
    o.Offset = static_cast<DWORD>(offset & 0xFFFFFFFFu);
    o.OffsetHigh = static_cast<DWORD>(offset >> 32);
    return o;
}

constexpr DWORD kMaxPiece = 1u << 30;

DWORD Piece(std::size_t len) {
    return static_cast<DWORD>(len > kMaxPiece ? kMaxPiece : len);
}

}  // namespace

bool NativeFile::Fail() {
    error_ = static_cast<int>(::GetLastError());
    return false;
}

bool NativeFile::Open(const std::string& path, unsigned flags, unsigned /*mode*/) {
    Close();
    const std::wstring name = WidePath(path);
    DWORD access = 0;
    if ((flags & kFileFolder) != 0) {
        access = GENERIC_READ;
    } else {
        if ((flags & kFileRead) != 0 || (flags & (kFileWrite | kFileAppend)) == 0) {
            access |= GENERIC_READ;
        }
        if ((flags & kFileAppend) != 0) {
            access |= FILE_APPEND_DATA | FILE_WRITE_ATTRIBUTES | SYNCHRONIZE;
        } else if ((flags & kFileWrite) != 0) {
            access |= GENERIC_WRITE;
        }
    }
    DWORD disposition = OPEN_EXISTING;
    if ((flags & kFileCreate) != 0) {
        if ((flags & kFileExclusive) != 0) {
            disposition = CREATE_NEW;
        } else {
            disposition = (flags & kFileTruncate) != 0 ? CREATE_ALWAYS : OPEN_ALWAYS;
        }
    } else if ((flags & kFileTruncate) != 0) {
        disposition = TRUNCATE_EXISTING;
    }
    DWORD attributes = FILE_ATTRIBUTE_NORMAL;
    if ((flags & kFileFolder) != 0) {
        attributes = FILE_FLAG_BACKUP_SEMANTICS;
    }
    if ((flags & kFileNoFollow) != 0) {
        attributes |= FILE_FLAG_OPEN_REPARSE_POINT;
    }
    const DWORD share = (flags & kFileShareReadOnly) != 0
                            ? FILE_SHARE_READ
                            : FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    HANDLE h =
        ::CreateFileW(name.c_str(), access, share, nullptr, disposition, attributes, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        return Fail();
    }
    handle_ = reinterpret_cast<intptr_t>(h);
    if ((flags & kFileNoFollow) != 0) {
        FILE_ATTRIBUTE_TAG_INFO tag{};
        if (::GetFileInformationByHandleEx(h, FileAttributeTagInfo, &tag, sizeof tag) &&
            (tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 &&
            tag.ReparseTag == IO_REPARSE_TAG_SYMLINK) {
            Close();
            error_ = ERROR_CANT_ACCESS_FILE;
            return false;
        }
    }
    if ((flags & kFileAppend) != 0) {
        LARGE_INTEGER zero{};
        ::SetFilePointerEx(h, zero, nullptr, FILE_END);
    }
    return true;
}

bool NativeFile::Close() {
    if (handle_ == kNone) {
        return true;
    }
    const BOOL ok = ::CloseHandle(H(handle_));
    handle_ = kNone;
    return ok != FALSE || Fail();
}

int64_t NativeFile::Read(void* buffer, std::size_t len) {
    DWORD done = 0;
    if (!::ReadFile(H(handle_), buffer, Piece(len), &done, nullptr)) {
        if (::GetLastError() == ERROR_BROKEN_PIPE) {
            return 0;
        }
        Fail();
        return -1;
    }
    return done;
}

int64_t NativeFile::ReadAt(uint64_t offset, void* buffer, std::size_t len) {
    OVERLAPPED o = At(offset);
    DWORD done = 0;
    if (!::ReadFile(H(handle_), buffer, Piece(len), &done, &o)) {
        if (::GetLastError() == ERROR_HANDLE_EOF) {
            return 0;
        }
        Fail();
        return -1;
    }
    return done;
}

int64_t NativeFile::WriteAt(uint64_t offset, const void* data, std::size_t len) {
    OVERLAPPED o = At(offset);
    DWORD done = 0;
    if (!::WriteFile(H(handle_), data, Piece(len), &done, &o)) {
        Fail();
        return -1;
    }
    return done;
}

bool NativeFile::WriteAll(const void* data, std::size_t len) {
    const auto* p = static_cast<const char*>(data);
    while (len > 0) {
        DWORD done = 0;
        if (!::WriteFile(H(handle_), p, Piece(len), &done, nullptr)) {
            return Fail();
        }
        if (done == 0) {
            error_ = ERROR_WRITE_FAULT;
            return false;
        }
        p += done;
        len -= done;
    }
    return true;
}

bool NativeFile::Flush() {
    return ::FlushFileBuffers(H(handle_)) != FALSE || Fail();
}

int64_t NativeFile::Size() {
    LARGE_INTEGER size{};
    if (!::GetFileSizeEx(H(handle_), &size)) {
        Fail();
        return -1;
    }
    return size.QuadPart;
}

bool NativeFile::Truncate(uint64_t length) {
    FILE_END_OF_FILE_INFO end{};
    end.EndOfFile.QuadPart = static_cast<LONGLONG>(length);
    return ::SetFileInformationByHandle(H(handle_), FileEndOfFileInfo, &end, sizeof end) != FALSE ||
           Fail();
}

bool NativeFile::IsRegularFile() {
    if (::GetFileType(H(handle_)) != FILE_TYPE_DISK) {
        return false;
    }
    BY_HANDLE_FILE_INFORMATION info{};
    if (!::GetFileInformationByHandle(H(handle_), &info)) {
        return Fail();
    }
    return (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

bool NativeFile::Identity(FileIdentity* out) {
    BY_HANDLE_FILE_INFORMATION info{};
    if (!::GetFileInformationByHandle(H(handle_), &info)) {
        return Fail();
    }
    out->device = info.dwVolumeSerialNumber;
    out->file = uint64_t{info.nFileIndexHigh} << 32 | info.nFileIndexLow;
    return true;
}

bool IdentityOfPath(const std::string& path, FileIdentity* out, int* error) {
    // Opened for its attributes only, sharing everything: never in the way of another opener.
    const std::wstring wide = WidePath(path);
    const HANDLE h = ::CreateFileW(wide.c_str(), FILE_READ_ATTRIBUTES,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                   OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        if (error != nullptr) {
            *error = static_cast<int>(::GetLastError());
        }
        return false;
    }
    BY_HANDLE_FILE_INFORMATION info{};
    const bool ok = ::GetFileInformationByHandle(h, &info) != 0;
    const DWORD err = ::GetLastError();
    ::CloseHandle(h);
    if (!ok) {
        if (error != nullptr) {
            *error = static_cast<int>(err);
        }
        return false;
    }
    out->device = info.dwVolumeSerialNumber;
    out->file = uint64_t{info.nFileIndexHigh} << 32 | info.nFileIndexLow;
    return true;
}

bool NativeFile::TryLockExclusive(bool* held) {
    if (held != nullptr) {
        *held = false;
    }
    OVERLAPPED o{};
    o.Offset = 0;
    o.OffsetHigh = kLockOffsetHigh;
    if (::LockFileEx(H(handle_), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0,
                     &o)) {
        return true;
    }
    const DWORD err = ::GetLastError();
    if (held != nullptr) {
        *held = err == ERROR_LOCK_VIOLATION || err == ERROR_IO_PENDING;
    }
    error_ = static_cast<int>(err);
    return false;
}

void NativeFile::TakeOwnerAndModeOf(const std::string& /*like*/) {
    // A new file takes its access rights from its folder; a replaced file keeps its folder's.
}

bool IsNotFoundError(int error) {
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

bool IsSharingError(int error) {
    return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION;
}

bool IsExistsError(int error) {
    return error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS;
}

std::string SystemErrorText(int error) {
    wchar_t* text = nullptr;
    const DWORD n = ::FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, static_cast<DWORD>(error), 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::string result;
    if (n > 0 && text != nullptr) {
        result = Utf8FromWide(std::wstring_view(text, n));
        while (!result.empty() && (result.back() == '\n' || result.back() == '\r' ||
                                   result.back() == ' ' || result.back() == '.')) {
            result.pop_back();
        }
    }
    if (text != nullptr) {
        ::LocalFree(text);
    }
    if (result.empty()) {
        char code[32];
        std::snprintf(code, sizeof code, "error %d", error);
        result = code;
    }
    return result;
}

int OutOfMemoryError() {
    return ERROR_NOT_ENOUGH_MEMORY;
}

int NotWritableError() {
    return ERROR_ACCESS_DENIED;
}

bool SyncFolderOf(const std::string& /*path*/) {
    // Renames are written through (MOVEFILE_WRITE_THROUGH) and new files are flushed with their
    // data; NTFS keeps folder entries in its journal.
    return true;
}

bool RenameReplacing(const std::string& from, const std::string& to, int* error) {
    if (::MoveFileExW(WidePath(from).c_str(), WidePath(to).c_str(),
                      MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        return true;
    }
    if (error != nullptr) {
        *error = static_cast<int>(::GetLastError());
    }
    return false;
}

bool RenameNoReplace(const std::string& from, const std::string& to, bool* exists, int* error) {
    if (exists != nullptr) {
        *exists = false;
    }
    if (::MoveFileExW(WidePath(from).c_str(), WidePath(to).c_str(), MOVEFILE_WRITE_THROUGH)) {
        return true;
    }
    const int err = static_cast<int>(::GetLastError());
    if (exists != nullptr) {
        *exists = IsExistsError(err);
    }
    if (error != nullptr) {
        *error = err;
    }
    return false;
}

bool RemoveFile(const std::string& path) {
    if (::DeleteFileW(WidePath(path).c_str())) {
        return true;
    }
    return IsNotFoundError(static_cast<int>(::GetLastError()));
}

std::string ResolveLinks(const std::string& path) {
    const std::wstring name = WidePath(path);
    const DWORD attributes = ::GetFileAttributesW(name.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
        return path;
    }
    HANDLE h =
        ::CreateFileW(name.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        return path;
    }
    std::vector<wchar_t> buffer(32768);
    const DWORD n =
        ::GetFinalPathNameByHandleW(h, buffer.data(), static_cast<DWORD>(buffer.size()), 0);
    ::CloseHandle(h);
    if (n == 0 || n >= buffer.size()) {
        return path;
    }
    return Utf8FromWide(std::wstring_view(buffer.data(), n));
}

std::string RealPath(const std::string& path) {
    HANDLE h = ::CreateFileW(WidePath(path).c_str(), 0,
                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                             OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        return path;
    }
    std::vector<wchar_t> buffer(32768);
    const DWORD n = ::GetFinalPathNameByHandleW(h, buffer.data(), static_cast<DWORD>(buffer.size()),
                                                FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    ::CloseHandle(h);
    if (n == 0 || n >= buffer.size()) {
        return path;
    }
    std::wstring name(buffer.data(), n);
    // "\\?\C:\..." and "\\?\UNC\server\..." back to their ordinary forms where those reach
    // the file (shorter than MAX_PATH); longer names keep the prefix that lets them be opened.
    const std::wstring unc = L"\\\\?\\UNC\\";
    const std::wstring local = L"\\\\?\\";
    if (name.compare(0, unc.size(), unc) == 0 && name.size() - unc.size() + 2 < MAX_PATH) {
        name = L"\\\\" + name.substr(unc.size());
    } else if (name.compare(0, local.size(), local) == 0 && name.size() - local.size() < MAX_PATH &&
               name.size() > local.size() + 1 && name[local.size() + 1] == L':') {
        name = name.substr(local.size());
    }
    const std::string out = Utf8FromWide(name);
    return out.empty() ? path : out;
}

std::string CreateUniqueFile(const std::string& prefix, NativeFile* file) {
    static constexpr char kDigits[] = "0123456789abcdefghijklmnopqrstuvwxyz";
    ULONGLONG seed = ::GetTickCount64() ^ (static_cast<ULONGLONG>(::GetCurrentProcessId()) << 20) ^
                     reinterpret_cast<uintptr_t>(file);
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string name = prefix;
        for (int i = 0; i < 6; ++i) {
            seed = seed * 6364136223846793005ULL + 1442695040888963407ULL;
            name += kDigits[(seed >> 33) % 36];
        }
        if (file->Open(name, kFileWrite | kFileCreate | kFileExclusive)) {
            return name;
        }
        if (!IsExistsError(file->LastError())) {
            return std::string();
        }
    }
    return std::string();
}

bool CreateOneFolder(const std::string& path, bool /*privateToUser*/) {
    const std::wstring name = WidePath(path);
    if (::CreateDirectoryW(name.c_str(), nullptr)) {
        return true;
    }
    const DWORD attributes = ::GetFileAttributesW(name.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool FolderExists(const std::string& path) {
    if (path.empty()) {
        return false;
    }
    const DWORD attributes = ::GetFileAttributesW(WidePath(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool FreeSpaceOf(const std::string& folder, uint64_t* available) {
    ULARGE_INTEGER free{};
    if (!::GetDiskFreeSpaceExW(WidePath(folder.empty() ? std::string(".") : folder).c_str(), &free,
                               nullptr, nullptr)) {
        return false;
    }
    *available = free.QuadPart;
    return true;
}

bool IsPathSeparator(char c) {
    return c == '/' || c == '\\';
}

}  // namespace ks
