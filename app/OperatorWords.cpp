#include "app/OperatorWords.h"

#include <cstdlib>

#include "keydb/KeyFileFormat.h"
#include "support/NativeFile.h"

namespace {

bool Has(const std::string& text, const char* part) {
    return text.find(part) != std::string::npos;
}

// The number after ",err=" (or -1).
int ErrorNumber(const std::string& text) {
    const size_t at = text.rfind(",err=");
    if (at == std::string::npos) {
        return -1;
    }
    const char* digits = text.c_str() + at + 5;
    char* end = nullptr;
    const long value = std::strtol(digits, &end, 10);
    return end == digits || value < 0 || value > 1000000 ? -1 : static_cast<int>(value);
}

// Error numbers as the platform's file calls report them.
#ifdef _WIN32
constexpr int kNotFound[] = {2, 3};      // file, path not found
constexpr int kReadOnly[] = {5, 19};     // access denied, write-protected medium
constexpr int kWriteProtected[] = {19};  // write-protected medium
constexpr int kDiskFull[] = {39, 112};   // handle disk full, disk full
constexpr int kInUse[] = {32, 33};       // sharing, lock violation
#else
constexpr int kNotFound[] = {2, 20};      // ENOENT, ENOTDIR
constexpr int kReadOnly[] = {13, 1, 30};  // EACCES, EPERM, EROFS
constexpr int kWriteProtected[] = {30};   // EROFS
constexpr int kDiskFull[] = {28, 122};    // ENOSPC, EDQUOT
constexpr int kInUse[] = {16, 26};        // EBUSY, ETXTBSY
#endif

template <size_t N>
bool OneOf(int value, const int (&list)[N]) {
    for (const int item : list) {
        if (item == value) {
            return true;
        }
    }
    return false;
}

}  // namespace

KeyFileTrouble ClassifyKeyFileError(const std::string& text) {
    if (Has(text, "in use by another station")) {
        return KeyFileTrouble::kInUse;
    }
    if (Has(text, "tag is wrong")) {
        return KeyFileTrouble::kNotKeyFile;
    }
    if (const size_t at = text.find("header size is wrong,size="); at != std::string::npos) {
        // A header that claims more bytes than the file has: the file ends too early.
        const long size = std::strtol(text.c_str() + at + 26, nullptr, 10);
        return size >= static_cast<long>(kdb::kMinHeaderSize) ? KeyFileTrouble::kCutShort
                                                              : KeyFileTrouble::kNotKeyFile;
    }
    if (Has(text, "check size failed")) {
        return KeyFileTrouble::kCutShort;
    }
    if (Has(text, "sha256") || Has(text, "crc is wrong") || Has(text, "count is wrong") ||
        Has(text, "does not fit the header") || Has(text, "restore header")) {
        return KeyFileTrouble::kDamaged;
    }
    const int err = ErrorNumber(text);
    // A journal of the stock (the station's record or the copy beside the file) that cannot be
    // opened: the log names which one.
    if (Has(text, " journal ") && (Has(text, "cannot be read") || Has(text, "cannot be written"))) {
        return OneOf(err, kDiskFull) ? KeyFileTrouble::kDiskFull : KeyFileTrouble::kJournal;
    }
    if (Has(text, " open ")) {
        if (OneOf(err, kNotFound)) {
            return KeyFileTrouble::kNotFound;
        }
        if (OneOf(err, kReadOnly)) {
            return KeyFileTrouble::kReadOnly;
        }
        if (OneOf(err, kInUse)) {
            return KeyFileTrouble::kInUse;
        }
    }
    // A key file refused for writing at load: only a read-only medium is the folder's fault.
    if (Has(text, "cannot be written") && OneOf(err, kWriteProtected)) {
        return KeyFileTrouble::kReadOnly;
    }
    if (OneOf(err, kDiskFull)) {
        return KeyFileTrouble::kDiskFull;
    }
    if (Has(text, "read ")) {
        return KeyFileTrouble::kUnreadable;
    }
    return KeyFileTrouble::kOther;
}

const char* KeyFileTroubleKey(KeyFileTrouble trouble) {
    switch (trouble) {
        case KeyFileTrouble::kDamaged:
            return "IDS_KEYFILE_DAMAGED";
        case KeyFileTrouble::kNotKeyFile:
            return "IDS_KEYFILE_NOT_KEYFILE";
        case KeyFileTrouble::kCutShort:
            return "IDS_KEYFILE_CUT_SHORT";
        case KeyFileTrouble::kReadOnly:
            return "IDS_KEYFILE_READ_ONLY";
        case KeyFileTrouble::kInUse:
            return "IDS_KEYFILE_IN_USE";
        case KeyFileTrouble::kNotFound:
            return "IDS_KEYFILE_NOT_FOUND";
        case KeyFileTrouble::kUnreadable:
            return "IDS_KEYFILE_UNREADABLE";
        case KeyFileTrouble::kDiskFull:
            return "IDS_KEYFILE_DISK_FULL";
        case KeyFileTrouble::kJournal:
            return "IDS_KEYFILE_JOURNAL";
        case KeyFileTrouble::kOther:
            break;
    }
    return "IDS_KEYFILE_OTHER";
}

bool DiskFullAt(const std::string& path, uint64_t minBytes) {
    // The folder through the file seam (UTF-16 on Windows).
    size_t cut = path.size();
    while (cut > 0 && !ks::IsPathSeparator(path[cut - 1])) {
        --cut;
    }
    const std::string folder = cut == 0   ? "."
                               : cut == 1 ? path.substr(0, 1)
                                          : path.substr(0, cut - 1);
    uint64_t available = 0;
    return ks::FreeSpaceOf(folder, &available) && available < minBytes;
}
