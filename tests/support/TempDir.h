// A fresh folder under the system's temporary folder, removed with everything in it at the end.
// Paths are UTF-8 and files are read and written through the station's own file calls
// (support/NativeFile.h, FileSystem.h), so the tests also run where the temporary folder lies in
// a profile named 张三 (UTF-16 at the Windows calls, never the ANSI code page).
#pragma once

#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

#include "support/FileSystem.h"
#include "support/NativeFile.h"

class TempDir {
  public:
    TempDir() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "ks_support_XXXXXX").string();
        if (::mkdtemp(pattern.data()) != nullptr) {
            path_ = pattern + "/";
        }
    }
    ~TempDir() {
        std::error_code ec;
        if (!path_.empty()) {
            std::filesystem::remove_all(FsPath(path_), ec);
        }
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    // The folder with a trailing '/'.
    const std::string& Path() const { return path_; }
    std::string File(const std::string& name) const { return path_ + name; }

    // A UTF-8 path for std::filesystem (a plain std::string would be read in the ANSI code page
    // on Windows).
    static std::filesystem::path FsPath(const std::string& utf8) {
        return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
    }

    // The whole file; empty when it cannot be read.
    static std::string Read(const std::string& path) {
        std::string bytes;
        if (ks::ReadWholeFile(path, kMaxReadBytes, bytes) != ks::ReadStatus::Ok) {
            bytes.clear();
        }
        return bytes;
    }
    // Creates or empties the file and writes the bytes in place; false when that fails.
    static bool Write(const std::string& path, const std::string& bytes) {
        ks::NativeFile out;
        return out.Open(path, ks::kFileWrite | ks::kFileCreate | ks::kFileTruncate) &&
               out.WriteAll(bytes) && out.Close();
    }

  private:
    static constexpr std::size_t kMaxReadBytes = std::size_t{64} << 20;
    std::string path_;
};
