// Practice never spends production's keys. A practice run (simulated boards in a window) keeps
// its files in a folder of its own, makes its own key file there, and refuses a key stock that
// production has used: one production's records know (its "stocks" folder holds the stock's
// journal, found by the key area's SHA-256, wherever the file lies or whatever it is called), or
// one whose header marks keys used that this practice folder's records do not account for. A
// key pool is production's by nature (the line's stations share it). An explicit option
// (--practice-with-production-keys) lets practice take them; its records still say practice.
#pragma once

#include <cstdint>
#include <string>

#include "app/StationArguments.h"

// The application folder of a practice run started without --home: "practice" inside
// production's (with the trailing separator productionAppDir ends with).
std::string PracticeFolder(const std::string& productionAppDir);

// The application folder of a window program started with these arguments, given the one
// chosen for them (`--home`, else production's): practice without --home moves to its own.
std::string WindowStationFolder(const StationArguments& arguments, const std::string& chosen);

// The key file practice makes for itself in its folder: random keys that are no board's.
inline constexpr const char* kPracticeKeyFileName = "practice-keys.kdb";
inline constexpr uint32_t kPracticeKeyCount = 1000;
inline constexpr uint32_t kPracticeKeySize = 128;

// Makes the practice key file at path when there is none (an existing one is kept). False, with
// the reason in *error, when it could not be written.
bool MakePracticeKeyFile(const std::string& path, std::string* error);

// Why practice must not take the key file at path: empty when it may (also when the file is not
// a valid key file: the load says what is wrong with it). The file is read, never written or
// locked, and no record of it is made. productionRecords: production's records folder (empty when
// unknown; ignored when it is practiceRecords itself); practiceRecords: this practice station's.
std::string ProductionUseOf(const std::string& path, const std::string& productionRecords,
                            const std::string& practiceRecords);
