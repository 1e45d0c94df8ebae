// Optional trace log of the key database, discovery and command layers: UTF-16LE text with a
// byte-order mark, one file per day named folder + prefix + "YYYY-MM-DD.txt".
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <string_view>

#include "support/LocalTime.h"
#include "support/Logger.h"  // KS_PRINTF_LIKE

class DeviceTraceLog {
  public:
    // Longest text of one Report, in UTF-16 units; longer text is cut.
    static constexpr std::size_t kMaxReportUnits = 1023;

    // folder and prefix are joined as given (a folder should end with a separator). The lock is
    // the owner's and serialises the file appends of everyone sharing it.
    DeviceTraceLog(std::string folder, std::string prefix, std::mutex& lock);

    void SetEnabled(bool enabled) { enabled_ = enabled; }
    bool Enabled() const { return enabled_; }
    void SetTimeSource(ks::LocalTimeSource source);

    // Formats the text and writes it as one line when enabled and the folder is not empty.
    void Report(const char* format, ...) KS_PRINTF_LIKE(2, 3);
    // Appends "%02d:%02d:%02d %03d\t", the text and CR LF to the day's file, starting a new file
    // with FF FE. False when the file cannot be opened or written.
    bool WriteLine(std::string_view text);

    // The file a line written at this time goes to.
    std::string PathFor(const ks::LocalTime& time) const;

  private:
    std::string folder_;
    std::string prefix_;
    std::mutex& lock_;
    std::atomic<bool> enabled_ = true;
    std::mutex timeLock_;
    ks::LocalTimeSource timeSource_;
};
