// Where the station keeps its files.
#pragma once

#include <string>

#include "support/LocalTime.h"

namespace ks {

// The folder of the running executable with a trailing separator ("/" when it cannot be found).
std::string ExecutableFolder();

// The folder of the station log for the given day: exeFolder + "log/log-%d-%02d-%02d/".
std::string StationLogFolder(const std::string& exeFolder, const LocalTime& day);

// The station log's file name for a run started at the given time:
// "%d-%02d-%02d_%02d.%02d.%02d.txt".
std::string StationLogFileName(const LocalTime& start);

// The machine's host name ("" when it cannot be read), bounded to 255 bytes.
std::string HostName();

// The folder part of a path including its trailing separator ("" when there is none).
std::string FolderOf(const std::string& path);

// The user's data folder under the XDG base directory rules, with a trailing separator:
// xdgDataHome when it is an absolute path (a relative one is ignored), otherwise home +
// "/.local/share". "" when neither names a folder. Either argument may be null.
std::string UserDataFolder(const char* xdgDataHome, const char* home);

// The user's home folder: $HOME when it is an absolute path, otherwise the password database's
// entry for the real user; "" when neither is known.
std::string HomeFolder();

}  // namespace ks
