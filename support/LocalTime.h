// Local wall-clock time, broken down, for log stamps and date-named files and folders.
#pragma once

#include <functional>

namespace ks {

struct LocalTime {
    int year = 1970;  // e.g. 2024
    int month = 1;    // 1..12
    int day = 1;      // 1..31
    int hour = 0;
    int minute = 0;
    int second = 0;
    int millisecond = 0;
};

// The current local time of this machine.
LocalTime NowLocalTime();

// Where loggers read the time from; tests hand in a fixed one.
using LocalTimeSource = std::function<LocalTime()>;

}  // namespace ks
