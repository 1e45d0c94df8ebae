// A station log for tests: keeps every printed line (cut at 2047 bytes), from any thread.
#pragma once

#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "support/Logger.h"

namespace test_log {

class LineLog final : public CLoggerBase {
  public:
    void VPrint(int /*level*/, const char* format, va_list args) override KS_PRINTF_LIKE(3, 0) {
        char line[2048];
        std::vsnprintf(line, sizeof line, format, args);
        std::lock_guard<std::mutex> guard(lock_);
        lines_.emplace_back(line);
    }
    void SetLevel(int /*threshold*/) override {}

    std::vector<std::string> Lines() {
        std::lock_guard<std::mutex> guard(lock_);
        return lines_;
    }
    // True when a line is exactly `line`.
    bool Has(const std::string& line) {
        std::lock_guard<std::mutex> guard(lock_);
        for (const std::string& l : lines_) {
            if (l == line) {
                return true;
            }
        }
        return false;
    }
    // True when any line contains `text`.
    bool Contains(const std::string& text) {
        std::lock_guard<std::mutex> guard(lock_);
        for (const std::string& l : lines_) {
            if (l.find(text) != std::string::npos) {
                return true;
            }
        }
        return false;
    }
    void Clear() {
        std::lock_guard<std::mutex> guard(lock_);
        lines_.clear();
    }

  private:
    std::mutex lock_;
    std::vector<std::string> lines_;
};

}  // namespace test_log
