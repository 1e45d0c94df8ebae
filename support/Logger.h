// Station log writer. Text is UTF-8 in memory and in the file.
#pragma once

#include <cstdarg>
#include <mutex>
#include <string>
#include <vector>

#define KS_PRINTF_LIKE(fmt_index, first_arg) __attribute__((format(printf, fmt_index, first_arg)))

class CLoggerBase {
public:
    virtual ~CLoggerBase() = default;
    virtual void Print(int level, const char* format, ...) KS_PRINTF_LIKE(3, 4) = 0;
    virtual void VPrint(int level, const char* format, va_list args) = 0;
    virtual void SetLevel(int threshold) = 0;
};

// One plain-text log file per run: a 158-byte banner, then one time-stamped line per Print.
// Thread-safe; the file is opened, appended and closed for every line.
class CLogger final : public CLoggerBase {
public:
    // folder: native path (a trailing separator is allowed); fileName empty = named from the time.
    CLogger(std::string folder, std::string fileName);
    ~CLogger() override;
    CLogger(const CLogger&) = delete;
    CLogger& operator=(const CLogger&) = delete;

    bool Open();
    void Print(int level, const char* format, ...) override KS_PRINTF_LIKE(3, 4);
    void VPrint(int level, const char* format, va_list args) override;
    void SetLevel(int threshold) override;

    bool IsReady() const { return ready_; }
    const std::string& FilePath() const { return filePath_; }

private:
    std::string folder_;
    std::string fileName_;
    std::string filePath_;
    std::vector<char> lineBuffer_;
    bool ready_ = false;
    int threshold_ = -1;
    std::mutex lock_;
};
