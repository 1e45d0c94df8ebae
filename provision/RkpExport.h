// The RKP data file: the device's RKP item stored unchanged in a file named after the serial
// number and the local time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

struct RkpTime {
    int year = 0;
    int month = 0;
    int day = 0;
    int hour = 0;
    int minute = 0;
    int second = 0;
};

struct RkpSaveResult {
    long written =
        -1;  // bytes written; -1 when the file was not opened or there was nothing to write
    bool ok = false;  // every byte written and the file closed without error
    int error = 0;    // the platform's error number of the failing call (errno, GetLastError)
};

// Why an RKP file could not be written, when the folder is to blame: every later job would fail
// the same way until the operator frees space or makes the folder writable.
enum class RkpFolderTrouble { kNone, kFull, kReadOnly };
RkpFolderTrouble RkpFolderTroubleOf(int error);
// The language key of the operator's words for it (nullptr for kNone).
const char* RkpFolderTroubleKey(RkpFolderTrouble trouble);

// Writes and removes a small file in the folder: 0 when it can hold an RKP file, else the error.
int ProbeRkpFolder(const std::string& folder);

namespace rkp {
// UTF-16 units, without the terminating zero: the longest path Windows opens (in its \\?\ form,
// which the file seam gives every long path), so an RKP folder deeper than 260 characters works.
inline constexpr size_t kMaxPathUnits = 32767 - 4 - 1;
#ifdef _WIN32
inline constexpr char kSeparator = '\\';
#else
inline constexpr char kSeparator = '/';
#endif
}  // namespace rkp

// The station's local time now.
RkpTime RkpLocalNow();

// The folder the files go to: savePath when it is not empty, else appDir, ending in a separator
// (one is appended unless the folder ends in '/' or '\\'). An empty folder stays empty.
std::string RkpFolder(const std::string& savePath, const std::string& appDir);

// Forms the file path for jsonFormat 0, 1, 2 (three date-and-time patterns) or any other value
// (serial number only). False when the path would exceed 259 UTF-16 units (*path then holds
// the refused path, for the log).
bool FormatRkpPath(const std::string& folder, const std::string& snText, int32_t jsonFormat,
                   const RkpTime& time, std::string* path);

// Creates or truncates the file and writes the data. A path that names a symbolic link or
// anything but a regular file is not written through. Nothing is created when length is 0.
RkpSaveResult SaveRkpFile(const std::string& path, const uint8_t* data, size_t length);
