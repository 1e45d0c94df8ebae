#include "support/FileSystem.h"

#include <vector>

#include "support/NativeFile.h"

namespace ks {

std::string WithoutTrailingSeparator(std::string folder) {
    if (folder.size() > 1 && IsPathSeparator(folder.back())) {
        folder.pop_back();
    }
    return folder;
}

bool CreateFolderChain(const std::string& folder) {
    if (folder.empty()) {
        return false;
    }
    // Walk the prefixes ending before each separator, then the whole folder. Existing levels are
    // skipped; every missing one is created in turn.
    for (std::size_t pos = 0;; ++pos) {
        if (pos < folder.size() && !IsPathSeparator(folder[pos])) {
            continue;
        }
        const std::string prefix = folder.substr(0, pos);
        // A drive ("C:") is no folder to create.
        const bool drive = prefix.size() == 2 && prefix[1] == ':';
        if (!prefix.empty() && !drive && !FolderExists(prefix) && !CreateOneFolder(prefix, false)) {
            return false;
        }
        if (pos >= folder.size()) {
            return true;
        }
    }
}

ReadStatus ReadWholeFile(const std::string& path, std::size_t maxBytes, std::string& out) {
    out.clear();
    NativeFile file;
    if (!file.Open(path, kFileRead)) {
        return IsNotFoundError(file.LastError()) ? ReadStatus::NotFound : ReadStatus::Unreadable;
    }
    if (FolderExists(path)) {
        return ReadStatus::Unreadable;
    }
    // The size is only a hint (special files report 0); reading stops at maxBytes + 1.
    std::vector<char> chunk(64 * 1024);
    while (true) {
        const int64_t n = file.Read(chunk.data(), chunk.size());
        if (n < 0) {
            out.clear();
            return ReadStatus::Unreadable;
        }
        if (n == 0) {
            return ReadStatus::Ok;
        }
        if (out.size() + static_cast<std::size_t>(n) > maxBytes) {
            out.clear();
            return ReadStatus::TooLarge;
        }
        out.append(chunk.data(), static_cast<std::size_t>(n));
    }
}

namespace {

bool WriteInPlace(const std::string& path, std::string_view bytes) {
    NativeFile file;
    if (!file.Open(path, kFileWrite | kFileCreate | kFileTruncate)) {
        return false;
    }
    const bool written = file.WriteAll(bytes);
    return file.Close() && written;
}

// -1: no temporary file could be made; 0: failed after that; 1: replaced.
int ReplaceThroughTemporary(const std::string& target, std::string_view bytes) {
    NativeFile file;
    const std::string temp = CreateUniqueFile(target + ".", &file);
    if (temp.empty()) {
        return -1;
    }
    file.TakeOwnerAndModeOf(target);
    bool ok = file.WriteAll(bytes);
    ok = file.Flush() && ok;
    ok = file.Close() && ok;
    if (!ok || !RenameReplacing(temp, target)) {
        RemoveFile(temp);
        return 0;
    }
    SyncFolderOf(target);
    return 1;
}

}  // namespace

bool ReplaceFileAtomically(const std::string& path, std::string_view bytes) {
    return ReplaceThroughTemporary(ResolveLinks(path), bytes) == 1;
}

bool ReplaceFileContents(const std::string& path, std::string_view bytes) {
    const std::string target = ResolveLinks(path);
    const int result = ReplaceThroughTemporary(target, bytes);
    return result == 1 || (result < 0 && WriteInPlace(target, bytes));
}

AppendStatus AppendToFile(const std::string& path, std::string_view headerIfNew,
                          std::string_view bytes) {
    bool created = true;
    NativeFile file;
    if (!file.Open(path, kFileAppend | kFileCreate | kFileExclusive)) {
        if (!IsExistsError(file.LastError())) {
            return AppendStatus::OpenFailed;
        }
        created = false;
        if (!file.Open(path, kFileAppend)) {
            return AppendStatus::OpenFailed;
        }
    }
    bool ok = true;
    if (created && !headerIfNew.empty()) {
        ok = file.WriteAll(headerIfNew);
    }
    ok = ok && file.WriteAll(bytes);
    ok = file.Close() && ok;
    return ok ? AppendStatus::Appended : AppendStatus::WriteFailed;
}

}  // namespace ks
