// Station log writer. Text is UTF-8 in memory and in the file.
#pragma once

#include <atomic>
#include <cstdarg>
#include <cstddef>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "support/LocalTime.h"

#if defined(__MINGW32__)
// MinGW's C99 printf family (__USE_MINGW_ANSI_STDIO), not the system library's.
#define KS_PRINTF_LIKE(fmt_index, first_arg) \
    __attribute__((format(gnu_printf, fmt_index, first_arg)))
#else
#define KS_PRINTF_LIKE(fmt_index, first_arg) __attribute__((format(printf, fmt_index, first_arg)))
#endif

namespace ks {
// The levels lines are printed at, and the threshold that writes them all (SetLevel).
inline constexpr int kLogAll = -1;     // a threshold: every line is written
inline constexpr int kLogStation = 0;  // the station's lines: every writer but the key pool
inline constexpr int kLogKeyPool = 1;  // the key pool's lines
}  // namespace ks

class CLoggerBase {
  public:
    virtual ~CLoggerBase() = default;
    // Formats through VPrint: a logger that writes lines its own way need only give VPrint.
    virtual void Print(int level, const char* format, ...) KS_PRINTF_LIKE(3, 4) {
        va_list args;
        va_start(args, format);
        VPrint(level, format, args);
        va_end(args);
    }
    virtual void VPrint(int level, const char* format, va_list args) KS_PRINTF_LIKE(3, 0) = 0;
    virtual void SetLevel(int threshold) = 0;
};

// One plain-text log file per run: a 158-byte banner, then one time-stamped line per Print.
// Thread-safe; the file is opened, appended and closed for every line.
class CLogger final : public CLoggerBase {
  public:
    // The three banner lines a new file starts with (158 bytes).
    static constexpr std::string_view kBanner =
        "ZR Logger V1.1.1 May  8 2023 log Message\r\n"
        "Time       Message\r\n"
        "----------------------------------------------------------------------------------------"
        "------\r\n";
    // Capacity of the line buffer: stamp, message and line end. Longer lines are cut.
    static constexpr std::size_t kLineBufferBytes = 10240;

    // folder: native path (a trailing separator is allowed); fileName empty = named from the time.
    CLogger(std::string folder, std::string fileName);
    ~CLogger() override;
    CLogger(const CLogger&) = delete;
    CLogger& operator=(const CLogger&) = delete;

    // Creates the folder chain and fixes the file path; the file itself appears with the first
    // line. True at once when already open.
    bool Open();
    // Writes one line when open and level >= threshold: "%02d:%02d:%02d:%03d " and the message,
    // then CR LF unless the message ends with LF. A line longer than the buffer is cut (between
    // characters) and still ended with CR LF.
    void VPrint(int level, const char* format, va_list args) override KS_PRINTF_LIKE(3, 0);
    void SetLevel(int threshold) override;

    bool IsReady() const { return ready_; }
    const std::string& FilePath() const { return filePath_; }

    // Replaces the wall clock used for stamps and the time-based file name. Call before Open.
    void SetTimeSource(ks::LocalTimeSource source);
    // The character set lines are written in; by default the environment's locale's. Lines are
    // written as UTF-8 where it is UTF-8 (or plain ASCII, which cannot hold them), or where a
    // line cannot be converted.
    void SetCharset(std::string charset);

  private:
    std::string folder_;
    std::string fileName_;
    std::string filePath_;
    std::vector<char> lineBuffer_;
    std::atomic<bool> ready_ = false;
    std::atomic<int> threshold_ = -1;
    ks::LocalTimeSource timeSource_;
    std::string charset_;  // empty: UTF-8
    std::mutex lock_;
};
