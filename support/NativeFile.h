// The one owner of an open file and the few file-system calls that differ between platforms.
// Paths are UTF-8 (on Windows converted to UTF-16 at the call). Failures are reported by return
// value; LastError() keeps the platform's code (errno, or GetLastError() on Windows).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace ks {

// What a file is, whatever names lead to it: device and inode on POSIX, volume serial number and
// file index on Windows. A rename, a copy or a restore over the name makes another identity.
struct FileIdentity {
    uint64_t device = 0;
    uint64_t file = 0;
    bool operator==(const FileIdentity& other) const {
        return device == other.device && file == other.file;
    }
    bool operator!=(const FileIdentity& other) const { return !(*this == other); }
};

// How NativeFile::Open opens a file; combine with |.
enum FileOpenFlags : unsigned {
    kFileRead = 1u << 0,
    kFileWrite = 1u << 1,
    kFileCreate = 1u << 2,     // create when absent
    kFileExclusive = 1u << 3,  // with kFileCreate: fail when the name exists
    kFileTruncate = 1u << 4,   // empty it on open
    kFileAppend = 1u << 5,     // every write goes to the end
    kFileNoFollow = 1u << 6,   // refuse a symbolic link as the last component
    kFileNonBlock = 1u << 7,   // do not wait for a reader of a FIFO (POSIX)
    kFileFolder = 1u << 8,     // open a folder, for SyncFolder
    // While this file is open, others may only read it: opens for writing and renames or
    // deletions of the file are refused (Windows share modes; nothing on POSIX, where the
    // station's lock is what keeps other stations out).
    kFileShareReadOnly = 1u << 9,
};

class NativeFile {
  public:
    NativeFile() = default;
    ~NativeFile();
    NativeFile(NativeFile&& other) noexcept;
    NativeFile& operator=(NativeFile&& other) noexcept;
    NativeFile(const NativeFile&) = delete;
    NativeFile& operator=(const NativeFile&) = delete;

    // Opens path with FileOpenFlags; a file opened before is closed first. Others may read,
    // write, rename and delete the file while it is open (as on POSIX), unless
    // kFileShareReadOnly is given.
    bool Open(const std::string& path, unsigned flags, unsigned mode = 0644);
    bool IsOpen() const { return handle_ != kNone; }
    // Closes now so that a failing close is seen; true when nothing was open.
    bool Close();

    // Sequential read: bytes read (0 at the end), or -1.
    int64_t Read(void* buffer, std::size_t len);
    // Positioned read and write: bytes done (possibly fewer than len), or -1.
    int64_t ReadAt(uint64_t offset, void* buffer, std::size_t len);
    int64_t WriteAt(uint64_t offset, const void* data, std::size_t len);
    // Writes everything at the current position (the end for kFileAppend), continuing partial
    // writes; false on an error or a write that makes no progress.
    bool WriteAll(const void* data, std::size_t len);
    bool WriteAll(std::string_view bytes) { return WriteAll(bytes.data(), bytes.size()); }
    bool WriteAllAt(uint64_t offset, const void* data, std::size_t len);

    // Flushes the file's data and size to stable storage.
    bool Flush();
    // File length, or -1.
    int64_t Size();
    bool Truncate(uint64_t length);
    // True when the open file is a regular file (not a folder, FIFO or device).
    bool IsRegularFile();
    // The identity of the open file; false (LastError) when it cannot be had.
    bool Identity(FileIdentity* out);
    // Takes the station's exclusive lock without waiting. It belongs to this open file: another
    // NativeFile on the same path, in this process or another, is refused it until this one is
    // closed. It never stops others from reading or writing. *held is set when another holder
    // is the reason for a refusal.
    bool TryLockExclusive(bool* held);

    // Gives the file the permissions and owner of the file at `like` where the platform and the
    // process may (nothing otherwise); when `like` does not exist, mode 0644.
    void TakeOwnerAndModeOf(const std::string& like);

    int LastError() const { return error_; }

  private:
    static constexpr intptr_t kNone = -1;
    bool Fail();
    intptr_t handle_ = kNone;
    int error_ = 0;
};

// Error classes of LastError() and the codes below.
bool IsNotFoundError(int error);
bool IsExistsError(int error);
// The file is open elsewhere in a way that excludes this open (Windows share modes).
bool IsSharingError(int error);
// A text for a platform error code, for messages.
std::string SystemErrorText(int error);
// The platform's code for "not enough memory", for callers that report one.
int OutOfMemoryError();
// The platform's code for a file that is not open for writing.
int NotWritableError();

// Makes the rename of or into `path`'s folder survive a power cut. Folders without such a
// flush (Windows, where the rename itself is written through) report true.
bool SyncFolderOf(const std::string& path);

// Renames `from` over `to` in one step (the old `to` is replaced) and, on Windows, writes the
// rename through. *error gets the platform code on failure.
bool RenameReplacing(const std::string& from, const std::string& to, int* error = nullptr);

// Renames `from` to `to` only when `to` does not exist (*exists is then set).
bool RenameNoReplace(const std::string& from, const std::string& to, bool* exists,
                     int* error = nullptr);

// The identity of the file `path` names now (links followed); false with *error (the platform
// code: not found when nothing is there) when it cannot be had.
bool IdentityOfPath(const std::string& path, FileIdentity* out, int* error);

// Removes a file; true when it is gone afterwards (also when it never existed).
bool RemoveFile(const std::string& path);

// The file a path leads to: itself, or the final target of its symbolic links.
std::string ResolveLinks(const std::string& path);

// The name the file at `path` goes by itself: absolute, every symbolic link and "." or ".."
// resolved (realpath on POSIX; on Windows the final path of the opened file, without the "\\?\"
// prefix where the name is short enough not to need it). A link, a second path to the same
// folder or another working folder give the same name. `path` itself when the file cannot be
// reached.
std::string RealPath(const std::string& path);

// Creates a new, empty file with a unique name starting with `prefix` (a path) and opens it for
// writing. The file's name, or "" when none could be made.
std::string CreateUniqueFile(const std::string& prefix, NativeFile* file);

// Creates one folder level; true when it exists afterwards. Private to the user when asked.
bool CreateOneFolder(const std::string& path, bool privateToUser);

// The bytes the user may still write on the file system that holds `folder`; false when it
// cannot be told.
bool FreeSpaceOf(const std::string& folder, uint64_t* available);

// True for a character that separates path components on this platform.
bool IsPathSeparator(char c);

}  // namespace ks
