#include "support/Logger.h"

#include <cstdio>
#include <new>
#include <utility>

#include "support/FileSystem.h"
#include "support/Paths.h"
#include "support/TextCodec.h"

static_assert(CLogger::kBanner.size() == 158, "the log banner is 158 bytes");

CLogger::CLogger(std::string folder, std::string fileName)
    : folder_(std::move(folder)), fileName_(std::move(fileName)), timeSource_(ks::NowLocalTime) {
    SetCharset(ks::EnvironmentCharset());
}

void CLogger::SetCharset(std::string charset) {
    std::lock_guard<std::mutex> guard(lock_);
    charset_ = ks::KeepsUtf8(charset) ? std::string() : std::move(charset);
}

CLogger::~CLogger() = default;

void CLogger::SetTimeSource(ks::LocalTimeSource source) {
    std::lock_guard<std::mutex> guard(lock_);
    timeSource_ = source ? std::move(source) : ks::LocalTimeSource(ks::NowLocalTime);
}

bool CLogger::Open() {
    if (ready_) {
        return true;
    }
    std::lock_guard<std::mutex> guard(lock_);
    const std::string folder = ks::WithoutTrailingSeparator(folder_);
    if (folder.empty() || !ks::CreateFolderChain(folder)) {
        return false;
    }
    try {
        const std::string name =
            fileName_.empty() ? ks::StationLogFileName(timeSource_()) : fileName_;
        filePath_ = folder.back() == '/' ? folder + name : folder + "/" + name;
        lineBuffer_.assign(kLineBufferBytes, '\0');
    } catch (const std::bad_alloc&) {
        filePath_.clear();
        lineBuffer_.clear();
        lineBuffer_.shrink_to_fit();
        return false;
    }
    ready_ = true;
    return true;
}

void CLogger::VPrint(int level, const char* format, va_list args) {
    if (!ready_ || level < threshold_ || format == nullptr) {
        return;
    }
    std::lock_guard<std::mutex> guard(lock_);
    const ks::LocalTime now = timeSource_();
    char* const buffer = lineBuffer_.data();
    // Room is kept for the CR LF that ends the line.
    const std::size_t room = kLineBufferBytes - 2;
    const int stamp = std::snprintf(buffer, room, "%02d:%02d:%02d:%03d ", now.hour, now.minute,
                                    now.second, now.millisecond);
    if (stamp < 0 || static_cast<std::size_t>(stamp) >= room) {
        return;
    }
    std::size_t length = static_cast<std::size_t>(stamp);
    const int message = std::vsnprintf(buffer + length, room - length, format, args);
    if (message < 0) {
        return;  // a formatting error: nothing of this line is written
    }
    if (static_cast<std::size_t>(message) < room - length) {
        length += static_cast<std::size_t>(message);
    } else {
        // Cut: keep what fitted, without a character split in two.
        const std::size_t kept = room - length - 1;
        length += ks::Utf8WithoutCutTail(std::string_view(buffer + length, kept));
    }
    if (buffer[length - 1] != '\n') {
        buffer[length++] = '\r';
        buffer[length++] = '\n';
    }
    // A failed open or write loses this line only; the next line tries again.
    const std::string_view line(buffer, length);
    std::string converted;
    if (!charset_.empty()) {
        try {
            if (ks::Utf8ToCharset(line, charset_, &converted)) {
                ks::AppendToFile(filePath_, kBanner, converted);
                return;
            }
        } catch (const std::bad_alloc&) {
        }
    }
    ks::AppendToFile(filePath_, kBanner, line);
}

void CLogger::SetLevel(int threshold) {
    threshold_ = threshold;
}
