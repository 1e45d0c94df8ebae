#include "platform/sim/TakenKeyboxLog.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <new>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "device/ZRTransport.h"
#include "platform/sim/StandardCrc32.h"

using zr::GetLe16;
using zr::GetLe32;
using zr::PutLe16;
using zr::PutLe32;

namespace {

// Record layout: "TKB1", source (0: vendor sector, 1: vendor item 8), three zero bytes, the
// declared size, 16 bytes of record info, the key length (16 bits) and two zero bytes, the key
// padded with zeros, and a CRC-32 of everything before it.
constexpr char kMagic[4] = {'T', 'K', 'B', '1'};
constexpr size_t kSourceAt = 4;
constexpr size_t kDeclaredAt = 8;
constexpr size_t kInfoAt = 12;
constexpr size_t kKeyLengthAt = 28;
constexpr size_t kKeyAt = 32;
constexpr size_t kCrcAt = TakenKeyboxLog::kRecordSize - 4;
static_assert(kKeyAt + TakenKeyboxLog::kMaxKeyBytes == kCrcAt);

void SetError(std::string* error, const std::string& text) {
    if (error != nullptr) {
        *error = text;
    }
}

bool Decode(const uint8_t* r, TakenKeybox* out) {
    const uint16_t keyLength = GetLe16(r + kKeyLengthAt);
    if (std::memcmp(r, kMagic, 4) != 0 || r[kSourceAt] > 1 ||
        keyLength > TakenKeyboxLog::kMaxKeyBytes ||
        GetLe32(r + kCrcAt) != StandardCrc32(r, kCrcAt)) {
        return false;
    }
    out->source =
        r[kSourceAt] == 0 ? TakenKeybox::Source::kVendorSector : TakenKeybox::Source::kVendorItem8;
    out->declaredSize = GetLe32(r + kDeclaredAt);
    std::memcpy(out->recordInfo.data(), r + kInfoAt, out->recordInfo.size());
    out->key.assign(r + kKeyAt, r + kKeyAt + keyLength);
    return true;
}

// Reads the whole records of an open log; *whole gets their count.
bool ReadRecords(int fd, const std::string& path, std::vector<TakenKeybox>* records, size_t* whole,
                 std::string* error) {
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        SetError(error, "not a regular file: " + path);
        return false;
    }
    const uint64_t size = static_cast<uint64_t>(st.st_size);
    if (size >=
        static_cast<uint64_t>(TakenKeyboxLog::kMaxRecords + 1) * TakenKeyboxLog::kRecordSize) {
        SetError(error, "keybox log too large: " + path);
        return false;
    }
    const size_t count = static_cast<size_t>(size / TakenKeyboxLog::kRecordSize);
    std::vector<TakenKeybox> out;
    try {
        out.reserve(count);
        uint8_t record[TakenKeyboxLog::kRecordSize];
        for (size_t i = 0; i < count; ++i) {
            size_t done = 0;
            while (done < sizeof record) {
                const ssize_t n =
                    ::pread(fd, record + done, sizeof record - done,
                            static_cast<off_t>(i * TakenKeyboxLog::kRecordSize + done));
                if (n < 0 && errno == EINTR) {
                    continue;
                }
                if (n <= 0) {
                    SetError(error, "cannot read " + path);
                    return false;
                }
                done += static_cast<size_t>(n);
            }
            TakenKeybox taken;
            if (!Decode(record, &taken)) {
                SetError(error, "damaged record " + std::to_string(i) + " in " + path);
                return false;
            }
            out.push_back(std::move(taken));
        }
    } catch (const std::bad_alloc&) {
        SetError(error, "out of memory");
        return false;
    }
    *records = std::move(out);
    *whole = count;
    return true;
}

}  // namespace

TakenKeyboxLog::~TakenKeyboxLog() {
    ::close(fd_);
}

std::unique_ptr<TakenKeyboxLog> TakenKeyboxLog::Open(const std::string& path,
                                                     std::vector<TakenKeybox>* records,
                                                     std::string* error) {
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) {
        SetError(error, "cannot open " + path + ": " + std::strerror(errno));
        return nullptr;
    }
    size_t count = 0;
    if (!ReadRecords(fd, path, records, &count, error)) {
        ::close(fd);
        return nullptr;
    }
    if (::ftruncate(fd, static_cast<off_t>(count * kRecordSize)) != 0) {  // a torn last record
        SetError(error, "cannot trim " + path + ": " + std::strerror(errno));
        ::close(fd);
        return nullptr;
    }
    std::unique_ptr<TakenKeyboxLog> log(new (std::nothrow) TakenKeyboxLog(fd, count));
    if (!log) {
        ::close(fd);
        SetError(error, "out of memory");
    }
    return log;
}

bool TakenKeyboxLog::Read(const std::string& path, std::vector<TakenKeybox>* records,
                          std::string* error) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0 && errno == ENOENT) {
        records->clear();
        return true;
    }
    if (fd < 0) {
        SetError(error, "cannot open " + path + ": " + std::strerror(errno));
        return false;
    }
    size_t count = 0;
    const bool ok = ReadRecords(fd, path, records, &count, error);
    ::close(fd);
    return ok;
}

bool TakenKeyboxLog::Append(const TakenKeybox& taken) {
    if (count_ >= kMaxRecords) {
        return false;
    }
    uint8_t record[kRecordSize] = {};
    std::memcpy(record, kMagic, 4);
    record[kSourceAt] = taken.source == TakenKeybox::Source::kVendorSector ? 0 : 1;
    PutLe32(record + kDeclaredAt, taken.declaredSize);
    std::memcpy(record + kInfoAt, taken.recordInfo.data(), taken.recordInfo.size());
    const size_t keyLength = std::min(taken.key.size(), kMaxKeyBytes);
    PutLe16(record + kKeyLengthAt, static_cast<uint16_t>(keyLength));
    if (keyLength > 0) {
        std::memcpy(record + kKeyAt, taken.key.data(), keyLength);
    }
    PutLe32(record + kCrcAt, StandardCrc32(record, kCrcAt));
    // One write for the whole record: a process killed now leaves it whole or torn, never mixed.
    ssize_t n = -1;
    do {
        n = ::pwrite(fd_, record, sizeof record, static_cast<off_t>(count_ * kRecordSize));
    } while (n < 0 && errno == EINTR);
    if (n != static_cast<ssize_t>(sizeof record)) {
        return false;
    }
    ++count_;
    return true;
}
