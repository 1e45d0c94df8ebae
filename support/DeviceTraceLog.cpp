#include "support/DeviceTraceLog.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <new>
#include <utility>

#include "support/FileSystem.h"
#include "support/TextCodec.h"

DeviceTraceLog::DeviceTraceLog(std::string folder, std::string prefix, std::mutex& lock)
    : folder_(std::move(folder)),
      prefix_(std::move(prefix)),
      lock_(lock),
      timeSource_(ks::NowLocalTime) {}

void DeviceTraceLog::SetTimeSource(ks::LocalTimeSource source) {
    std::lock_guard<std::mutex> guard(timeLock_);
    timeSource_ = source ? std::move(source) : ks::LocalTimeSource(ks::NowLocalTime);
}

std::string DeviceTraceLog::PathFor(const ks::LocalTime& time) const {
    char name[48];
    std::snprintf(name, sizeof(name), "%04d-%02d-%02d.txt", time.year, time.month, time.day);
    return folder_ + prefix_ + name;
}

void DeviceTraceLog::Report(const char* format, ...) {
    if (!enabled_ || folder_.empty() || format == nullptr) {
        return;
    }
    // Room for kMaxReportUnits characters of up to four bytes each.
    char text[kMaxReportUnits * 4 + 1];
    va_list args;
    va_start(args, format);
    const int n = std::vsnprintf(text, sizeof(text), format, args);
    va_end(args);
    if (n < 0) {
        return;
    }
    std::string_view view(text, std::min(static_cast<std::size_t>(n), sizeof(text) - 1));
    view = view.substr(0, ks::Utf8WithoutCutTail(view));
    view = view.substr(0, ks::Utf8PrefixForUtf16Units(view, kMaxReportUnits));
    WriteLine(view);
}

bool DeviceTraceLog::WriteLine(std::string_view text) {
    try {
        ks::LocalTime now;
        {
            std::lock_guard<std::mutex> guard(timeLock_);
            now = timeSource_();
        }
        char stamp[48];
        std::snprintf(stamp, sizeof(stamp), "%02d:%02d:%02d %03d\t", now.hour, now.minute,
                      now.second, now.millisecond);
        std::string line = stamp;
        line.append(text);
        line += "\r\n";
        const std::string bytes = ks::Utf8ToUtf16Le(line);
        const std::string path = PathFor(now);
        std::lock_guard<std::mutex> guard(lock_);
        return ks::AppendToFile(path, "\xFF\xFE", bytes) == ks::AppendStatus::Appended;
    } catch (const std::bad_alloc&) {
        return false;
    }
}
