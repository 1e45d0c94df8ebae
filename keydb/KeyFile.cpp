#include "keydb/KeyFile.h"

#include <errno.h>

#include <algorithm>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>

#include "keydb/Crc32.h"
#include "keydb/KeyFileFormat.h"
#include "keydb/Sha256.h"
#include "keydb/WipeMemory.h"
#include "support/Logger.h"

namespace {

constexpr size_t kReadPiece = 1 << 20;

std::string Format(const char* format, ...) KS_PRINTF_LIKE(1, 2);

std::string Format(const char* format, ...) {
    char text[1024];
    va_list args;
    va_start(args, format);
    const int n = std::vsnprintf(text, sizeof(text), format, args);
    va_end(args);
    if (n < 0) {
        return std::string();
    }
    return std::string(text, std::min(static_cast<size_t>(n), sizeof(text) - 1));
}

void Report(CLoggerBase* log, const std::string& text) {
    if (log != nullptr) {
        log->Print(0, "%s", text.c_str());
    }
}

bool TestBit(const uint8_t* bitmap, uint32_t index) {
    return (bitmap[index / 8] & (1u << (index % 8))) != 0;
}

void SetBit(uint8_t* bitmap, uint32_t index) {
    bitmap[index / 8] = static_cast<uint8_t>(bitmap[index / 8] | (1u << (index % 8)));
}

void ClearBit(uint8_t* bitmap, uint32_t index) {
    bitmap[index / 8] = static_cast<uint8_t>(bitmap[index / 8] & ~(1u << (index % 8)));
}

}  // namespace

CKeyFile::CKeyFile(const std::string& path, CLoggerBase* log)
    : CKeyFile(path, log, KeyFileAccess::Station) {}

CKeyFile::CKeyFile(const std::string& path, CLoggerBase* log, KeyFileAccess access)
    : path_(path), log_(log), access_(access) {
    KeyFileOpenResult opened = OpenKeyFileIo(path, access);
    if (opened.status == KeyFileOpenStatus::InUse) {
        Fail(Format("Error:CKeyFile->CKeyFile key file %s is in use by another station",
                    path.c_str()));
        return;
    }
    if (opened.status != KeyFileOpenStatus::Ok) {
        Fail(Format("Error:CKeyFile->CKeyFile open %s failed,err=%d", path.c_str(), opened.error));
        return;
    }
    io_ = std::move(opened.io);
    Load();
}

CKeyFile::CKeyFile(std::unique_ptr<IKeyFileIo> io, const std::string& path, CLoggerBase* log,
                   KeyFileAccess access)
    : path_(path), log_(log), access_(access), io_(std::move(io)) {
    if (!io_) {
        Fail(Format("Error:CKeyFile->CKeyFile open %s failed,err=%d", path.c_str(), EBADF));
        return;
    }
    Load();
}

CKeyFile::~CKeyFile() {
    if (image_ != nullptr) {
        WipeMemory(image_, imageSize_);
        delete[] image_;
    }
}

bool CKeyFile::Fail(std::string text) {
    error_ = std::move(text);
    Report(log_, error_);
    valid_ = false;
    if (image_ != nullptr) {
        WipeMemory(image_, imageSize_);
        delete[] image_;
        image_ = nullptr;
        imageSize_ = 0;
    }
    io_.reset();  // an object that failed to load keeps no file and no lock
    return false;
}

bool CKeyFile::ReadImage() {
    const int64_t size = io_->Size();
    if (size < 0) {
        return Fail(
            Format("Error:CKeyFile->CKeyFile read key file failed,err=%d", io_->LastError()));
    }
    if (static_cast<uint64_t>(size) > SIZE_MAX - 1) {
        return Fail(Format("Error:CKeyFile->CKeyFile new memory failed,err=%d", ENOMEM));
    }
    imageSize_ = static_cast<uint64_t>(size);
    // One spare byte keeps the allocation non-empty for an empty file.
    image_ = new (std::nothrow) uint8_t[static_cast<size_t>(imageSize_) + 1];
    if (image_ == nullptr) {
        imageSize_ = 0;
        return Fail(Format("Error:CKeyFile->CKeyFile new memory failed,err=%d", ENOMEM));
    }
    uint64_t done = 0;
    while (done < imageSize_) {
        const size_t want = static_cast<size_t>(std::min<uint64_t>(kReadPiece, imageSize_ - done));
        const int64_t got = io_->ReadAt(done, image_ + done, want);
        if (got <= 0 || static_cast<uint64_t>(got) > want) {
            return Fail(Format("Error:CKeyFile->CKeyFile read key file failed,err=%d",
                               got < 0 ? io_->LastError() : 0));
        }
        done += static_cast<uint64_t>(got);
    }
    return true;
}

void CKeyFile::Load() {
    if (!ReadImage()) {
        return;
    }
    // Fields are read through a zero-padded copy so that a file shorter than the fixed fields
    // fails the checks below instead of being read past its end.
    uint8_t fixed[kdb::kOffBitmap] = {};
    std::memcpy(fixed, image_, static_cast<size_t>(std::min<uint64_t>(sizeof(fixed), imageSize_)));

    const uint32_t tag = kdb::LoadLe32(fixed + kdb::kOffTag);
    if (tag != kdb::kTag) {
        Fail(Format("Error:CKeyFile->CKeyFile tag is wrong,tag=0x%x", tag));
        return;
    }
    const uint32_t headerSize = kdb::LoadLe16(fixed + kdb::kOffHeaderSize);
    if (headerSize < kdb::kMinHeaderSize || headerSize >= imageSize_) {
        Fail(Format("Error:CKeyFile->CKeyFile header size is wrong,size=%d",
                    static_cast<int>(headerSize)));
        return;
    }
    const uint32_t storedCrc = kdb::LoadLe32(image_ + headerSize - kdb::kCrcSize);
    const uint32_t crc = CalcCrc32(image_, headerSize - kdb::kCrcSize);
    if (storedCrc != crc) {
        Fail(Format("Error:CKeyFile->CKeyFile header crc is wrong,old=%x,new=%x", storedCrc, crc));
        return;
    }
    const bool shared = (fixed[kdb::kOffSecondShared] & kdb::kSharedKeyBit) != 0;
    const uint32_t keyCount = kdb::LoadLe32(fixed + kdb::kOffKeyCount);
    const uint32_t keySize =
        uint32_t{fixed[kdb::kOffKeySizeHigh]} << 16 | kdb::LoadLe16(fixed + kdb::kOffKeySizeLow);
    // 64-bit arithmetic: a count and size whose product wraps in 32 bits must not match the file
    // length, or keys would be read outside the image.
    const uint64_t expected =
        uint64_t{headerSize} + (shared ? uint64_t{keySize} : uint64_t{keyCount} * keySize);
    if (expected != imageSize_) {
        Fail("Error:CKeyFile->CKeyFile check size failed!");
        return;
    }
    if (!kdb::BitmapFits(headerSize, keyCount)) {
        Fail(Format("Error:CKeyFile->CKeyFile key bitmap does not fit the header,keys=%u,size=%d",
                    keyCount, static_cast<int>(headerSize)));
        return;
    }
    uint8_t digest[kdb::kDigestSize];
    if (!DoHash256(digest, image_ + headerSize, imageSize_ - headerSize)) {
        Fail("Error:CKeyFile->CKeyFile DoHash256 failed!");
        return;
    }
    if (std::memcmp(digest, image_ + kdb::kOffDigest, kdb::kDigestSize) != 0) {
        Fail("Error:CKeyFile->CKeyFile memcmp sha256 failed!");
        return;
    }
    try {
        inFlight_.assign(static_cast<size_t>(kdb::BitmapBytes(keyCount)), 0);
        if (access_ == KeyFileAccess::Station) {
            knownHeader_.assign(image_, image_ + headerSize);
        }
    } catch (const std::bad_alloc&) {
        Fail(Format("Error:CKeyFile->CKeyFile new memory failed,err=%d", ENOMEM));
        return;
    }
    if (access_ == KeyFileAccess::VerifyOnly) {
        // A reader needs only the header; drop the keys.
        uint8_t* header = new (std::nothrow) uint8_t[headerSize];
        if (header != nullptr) {
            std::memcpy(header, image_, headerSize);
            WipeMemory(image_, imageSize_);
            delete[] image_;
            image_ = header;
            imageSize_ = headerSize;
        }
        io_.reset();
    }
    headerSize_ = headerSize;
    keyCount_ = keyCount;
    keySize_ = keySize;
    sharedKey_ = shared;
    valid_ = true;
}

int32_t CKeyFile::GetKeyCount() const {
    if (!valid_) {
        return -1;
    }
    return static_cast<int32_t>(keyCount_);  // bounded by the header's bitmap
}

int32_t CKeyFile::GetUnusedCount() {
    if (!valid_) {
        return -1;
    }
    std::lock_guard<std::mutex> lock(keyLock_);
    const uint32_t unused = kdb::LoadLe32(image_ + kdb::kOffUnusedCount);
    return unused > INT32_MAX ? INT32_MAX : static_cast<int32_t>(unused);
}

int32_t CKeyFile::GetKeySize() const {
    return valid_ ? static_cast<int32_t>(keySize_) : -1;
}

int32_t CKeyFile::GetHeaderSize() const {
    return valid_ ? static_cast<int32_t>(headerSize_) : -1;
}

bool CKeyFile::IsSharedKey() const {
    return valid_ && sharedKey_;
}

std::string CKeyFile::GetCreateTime() const {
    if (!valid_) {
        return std::string();
    }
    const uint8_t* h = image_;
    return Format("%04d-%02d-%02d %02d:%02d:%02d", kdb::LoadLe16(h + kdb::kOffYear),
                  h[kdb::kOffMonth], h[kdb::kOffDay], h[kdb::kOffHour], h[kdb::kOffMinute],
                  h[kdb::kOffSecondShared] & kdb::kSecondMask);
}

const uint8_t* CKeyFile::GetRecordInfo() const {
    return valid_ ? image_ + kdb::kOffRecordInfo : nullptr;
}

int32_t CKeyFile::FindFirstUnusedLocked() const {
    if (keyCount_ == 0) {
        return -1;
    }
    const uint8_t* bitmap = image_ + kdb::kOffBitmap;
    const uint32_t lastByte = (keyCount_ - 1) / 8;
    uint32_t i = searchStart_;
    while (i + 8 <= lastByte + 1) {
        uint64_t word;
        std::memcpy(&word, bitmap + i, sizeof(word));
        if (word != ~uint64_t{0}) {
            break;
        }
        i += 8;
    }
    for (; i <= lastByte; ++i) {
        if (bitmap[i] != 0xFF) {
            break;
        }
    }
    if (i > lastByte) {
        return -1;
    }
    const uint32_t byte = bitmap[i];
    uint32_t bit = 0;
    while ((byte & (1u << bit)) != 0) {
        ++bit;
    }
    const uint32_t index = i * 8 + bit;
    return index < keyCount_ ? static_cast<int32_t>(index) : -1;
}

bool CKeyFile::GetKey(int32_t* index, KeyCopy* key) {
    if (!valid_ || access_ != KeyFileAccess::Station || index == nullptr || key == nullptr) {
        return false;
    }
    // Allocate before taking a key, so that a failed allocation leaves the pool untouched.
    KeyCopy copy;
    if (!copy.Allocate(keySize_)) {
        return false;
    }
    uint32_t found = 0;
    {
        std::lock_guard<std::mutex> lock(keyLock_);
        const uint32_t unused = kdb::LoadLe32(image_ + kdb::kOffUnusedCount);
        if (unused == 0) {
            return false;
        }
        const int32_t first = FindFirstUnusedLocked();
        if (first < 0) {
            return false;
        }
        found = static_cast<uint32_t>(first);
        searchStart_ = found / 8;
        SetBit(image_ + kdb::kOffBitmap, found);
        SetBit(inFlight_.data(), found);
        kdb::StoreLe32(image_ + kdb::kOffUnusedCount, unused - 1);
    }
    // The data area never changes after load, so the copy needs no lock.
    const uint64_t offset = headerSize_ + (sharedKey_ ? 0 : uint64_t{found} * keySize_);
    std::memcpy(copy.data(), image_ + offset, keySize_);
    *key = std::move(copy);
    *index = static_cast<int32_t>(found);
    return true;
}

void CKeyFile::ReleaseKey(int32_t index) {
    if (!valid_ || access_ != KeyFileAccess::Station || index < 0 ||
        static_cast<uint32_t>(index) >= keyCount_) {
        return;
    }
    const uint32_t i = static_cast<uint32_t>(index);
    std::lock_guard<std::mutex> lock(keyLock_);
    // Only a key handed out in this run and not yet recorded goes back; anything else (a key
    // used in an earlier run, a double release) would hand one key to two devices.
    if (!TestBit(inFlight_.data(), i)) {
        return;
    }
    ClearBit(inFlight_.data(), i);
    ClearBit(image_ + kdb::kOffBitmap, i);
    const uint32_t unused = kdb::LoadLe32(image_ + kdb::kOffUnusedCount);
    kdb::StoreLe32(image_ + kdb::kOffUnusedCount, unused + 1);
    searchStart_ = std::min(searchStart_, i / 8);
}

bool CKeyFile::WriteAll(uint64_t offset, const uint8_t* data, size_t len) {
    size_t done = 0;
    while (done < len) {
        const int64_t n = io_->WriteAt(offset + done, data + done, len - done);
        if (n <= 0 || static_cast<uint64_t>(n) > len - done) {
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

bool CKeyFile::UpdateKeyFile(int32_t index) {
    if (!valid_ || access_ != KeyFileAccess::Station || index < 0 ||
        static_cast<uint32_t>(index) >= keyCount_) {
        return false;
    }
    const uint32_t i = static_cast<uint32_t>(index);
    {
        // A recorded key can no longer be released.
        std::lock_guard<std::mutex> lock(keyLock_);
        ClearBit(inFlight_.data(), i);
    }
    const uint32_t h = headerSize_;
    std::unique_ptr<uint8_t[]> header(new (std::nothrow) uint8_t[2 * size_t{h}]);
    if (!header) {
        Report(log_, Format("Error:UpdateKeyFile-->new memory failed,err=%d", ENOMEM));
        return false;
    }
    uint8_t* disk = header.get();
    uint8_t* original = header.get() + h;

    std::lock_guard<std::mutex> lock(fileLock_);
    size_t done = 0;
    while (done < h) {
        const int64_t n = io_->ReadAt(done, disk + done, h - done);
        if (n <= 0 || static_cast<uint64_t>(n) > h - done) {
            Report(log_, Format("Error:UpdateKeyFile-->read file header failed,err=%d",
                                n < 0 ? io_->LastError() : 0));
            return false;
        }
        done += static_cast<size_t>(n);
    }
    // Never re-seal a header that is not intact: a new CRC would make damage look valid. The
    // header as we last left it is known to be; anything else has its CRC checked.
    const bool known = knownHeader_.size() == h && std::memcmp(knownHeader_.data(), disk, h) == 0;
    if (!known && (kdb::LoadLe32(disk + kdb::kOffTag) != kdb::kTag ||
                   kdb::LoadLe16(disk + kdb::kOffHeaderSize) != h ||
                   kdb::LoadLe32(disk + h - kdb::kCrcSize) != CalcCrc32(disk, h - kdb::kCrcSize))) {
        Report(log_, "Error:UpdateKeyFile-->file header on disk is damaged");
        return false;
    }
    std::memcpy(original, disk, h);
    SetBit(disk + kdb::kOffBitmap, i);
    const uint32_t unused = kdb::LoadLe32(disk + kdb::kOffUnusedCount);
    kdb::StoreLe32(disk + kdb::kOffUnusedCount, unused > 0 ? unused - 1 : 0);
    kdb::StoreLe32(disk + h - kdb::kCrcSize, CalcCrc32(disk, h - kdb::kCrcSize));
    if (!WriteAll(0, disk, h)) {
        const int err = io_->LastError();
        // A partly written header fails its CRC and would make the whole file unusable; put the
        // old one back if the file still takes writes. The key then stays unrecorded on disk.
        if (WriteAll(0, original, h)) {
            io_->Sync();
        }
        Report(log_, Format("Error:UpdateKeyFile-->write file header failed,err=%d", err));
        return false;
    }
    if (!io_->Sync()) {
        Report(log_,
               Format("Error:UpdateKeyFile-->flush file header failed,err=%d", io_->LastError()));
        return false;
    }
    if (knownHeader_.size() == h) {
        std::memcpy(knownHeader_.data(), disk, h);
    }
    return true;
}
