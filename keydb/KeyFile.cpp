#include "keydb/KeyFile.h"

#include <errno.h>

#include <algorithm>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <exception>
#include <functional>
#include <new>
#include <optional>
#include <string_view>

#include "keydb/Crc32.h"
#include "keydb/HeaderCopy.h"
#include "keydb/KeyAudit.h"
#include "keydb/KeyFileFormat.h"
#include "keydb/Sha256.h"
#include "keydb/WipeMemory.h"
#include "support/Logger.h"
#include "support/NativeFile.h"
#include "support/Paths.h"
#include "support/SystemRandom.h"

namespace {

constexpr size_t kReadPiece = 1 << 20;
// The key area is read in blocks of whole keys of about this size (one key when keys are larger).
constexpr size_t kScanBlock = 1 << 20;
constexpr uint32_t kNoKey = UINT32_MAX;
// Pairs of keys with the same hash that are read back and compared at most (beyond chance only
// for a file with duplicate keys, where the first pair fails the load).
constexpr size_t kMaxDuplicateCandidates = 64;

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
        log->Print(ks::kLogStation, "%s", text.c_str());
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

constexpr uint32_t kSectorBytes = 512;

constexpr const char* kChangedUnderUs = "the key file was changed while the station was using it";

}  // namespace

CKeyFile::CKeyFile(const std::string& path, CLoggerBase* log)
    : CKeyFile(path, log, KeyFileAccess::Station) {}

CKeyFile::CKeyFile(const std::string& path, CLoggerBase* log, KeyFileAccess access,
                   const std::string& recordsFolder)
    : path_(path),
      sidePath_(ks::RealPath(path)),
      log_(log),
      access_(access),
      commit_([this](const CGroupCommit::Batch& batch) { return FlushBatch(batch); }) {
    KeyFileOpenResult opened = OpenKeyFileIo(sidePath_, access, recordsFolder);
    if (opened.status == KeyFileOpenStatus::InUse) {
        Fail(Format("Error:CKeyFile->CKeyFile key file %s is in use by another station",
                    path.c_str()));
        return;
    }
    if (opened.status != KeyFileOpenStatus::Ok) {
        // A file the station may read but not write is said so: its folder may well be writable.
        ks::NativeFile reader;
        if (access == KeyFileAccess::Station && !ks::IsNotFoundError(opened.error) &&
            reader.Open(sidePath_, ks::kFileRead)) {
            Fail(Format("Error:CKeyFile->CKeyFile key file %s cannot be written,err=%d",
                        path.c_str(), opened.error));
            return;
        }
        Fail(Format("Error:CKeyFile->CKeyFile open %s failed,err=%d", path.c_str(), opened.error));
        return;
    }
    io_ = std::move(opened.io);
    Load();
}

CKeyFile::CKeyFile(std::unique_ptr<IKeyFileIo> io, const std::string& path, CLoggerBase* log,
                   KeyFileAccess access)
    : path_(path),
      sidePath_(path),
      log_(log),
      access_(access),
      io_(std::move(io)),
      commit_([this](const CGroupCommit::Batch& batch) { return FlushBatch(batch); }) {
    if (!io_) {
        Fail(Format("Error:CKeyFile->CKeyFile open %s failed,err=%d", path.c_str(), EBADF));
        return;
    }
    Load();
}

CKeyFile::~CKeyFile() {
    if (valid_ && access_ == KeyFileAccess::Station && io_) {
        commit_.Drain();  // "returned" records still queued
        if (usedHeaderCopy_) {
            io_->CompanionRemove(KeyFileCompanion::kHeaderCopy);
        }
    }
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

bool CKeyFile::ReadHead() {
    const int64_t size = io_->Size();
    if (size < 0) {
        return Fail(
            Format("Error:CKeyFile->CKeyFile read key file failed,err=%d", io_->LastError()));
    }
    fileSize_ = static_cast<uint64_t>(size);
    // Everything a header can be, and no more: the key area is read in blocks later. One spare
    // byte keeps the allocation non-empty for an empty file.
    imageSize_ = std::min<uint64_t>(fileSize_, uint64_t{kdb::kMaxHeaderSize} + 1);
    image_ = new (std::nothrow) uint8_t[static_cast<size_t>(imageSize_) + 1];
    if (image_ == nullptr) {
        imageSize_ = 0;
        return Fail(Format("Error:CKeyFile->CKeyFile new memory failed,err=%d", ENOMEM));
    }
    if (!ReadFully(0, image_, static_cast<size_t>(imageSize_))) {
        return Fail(
            Format("Error:CKeyFile->CKeyFile read key file failed,err=%d", io_->LastError()));
    }
    return true;
}

bool CKeyFile::ReadFully(uint64_t offset, uint8_t* buffer, size_t len) {
    size_t done = 0;
    while (done < len) {
        const size_t want = std::min(kReadPiece, len - done);
        const int64_t got = io_->ReadAt(offset + done, buffer + done, want);
        if (got <= 0 || static_cast<uint64_t>(got) > want) {
            return false;
        }
        done += static_cast<size_t>(got);
    }
    return true;
}

bool CKeyFile::RestoreHeaderCopy() {
    // A copy of the header is written before the header is rewritten in place and emptied after
    // the rewrite reached the disk. One that checks out while the header in place does not is
    // what a power cut during the rewrite leaves; it is taken (in memory; the file itself is put
    // right once every check below has passed). A copy beside an intact header is outdated.
    std::vector<uint8_t> raw(header_copy::kMaxSize + 1);
    size_t got = 0;
    while (got < raw.size()) {
        const int64_t n = io_->CompanionReadAt(KeyFileCompanion::kHeaderCopy, got, raw.data() + got,
                                               raw.size() - got);
        if (n < 0) {
            return Fail(Format("Error:CKeyFile->CKeyFile read %s failed,err=%d",
                               io_->CompanionName(KeyFileCompanion::kHeaderCopy).c_str(),
                               io_->LastError()));
        }
        if (n == 0) {
            break;
        }
        got += static_cast<size_t>(n);
    }
    std::vector<uint8_t> copy;
    if (got == 0 || !header_copy::Decode(raw.data(), got, &copy)) {
        return true;
    }
    std::string ignored;
    if (CheckHeader(image_, fileSize_, &ignored)) {
        return true;
    }
    if (copy.size() >= imageSize_ || copy.size() >= fileSize_ ||
        !CheckHeader(copy.data(), copy.size() + 1, &ignored) ||
        kdb::LoadLe16(copy.data() + kdb::kOffHeaderSize) != copy.size()) {
        return true;
    }
    std::memcpy(image_, copy.data(), copy.size());
    restoredHeader_ = true;
    return true;
}

// Tag, header size and CRC of a header at the start of `header`, which holds at least
// min(fileSize, 65536) readable bytes.
bool CKeyFile::CheckHeader(const uint8_t* header, uint64_t fileSize, std::string* error) const {
    if (fileSize < kdb::kMinHeaderSize + 1 || kdb::LoadLe32(header + kdb::kOffTag) != kdb::kTag) {
        *error = "tag";
        return false;
    }
    const uint32_t h = kdb::LoadLe16(header + kdb::kOffHeaderSize);
    if (h < kdb::kMinHeaderSize || h >= fileSize) {
        *error = "size";
        return false;
    }
    if (kdb::LoadLe32(header + h - kdb::kCrcSize) != CalcCrc32(header, h - kdb::kCrcSize)) {
        *error = "crc";
        return false;
    }
    return true;
}

void CKeyFile::ReadJournal() {
    KeyJournalSummary& summary = journal_;
    std::string error;
    if (!SummariseJournal(*io_, digestHex_, keyCount_, &summary, &error)) {
        journalError_ =
            Format("read journal %s failed,%s",
                   io_->CompanionName(KeyFileCompanion::kJournal).c_str(), error.c_str());
        Report(log_, "Error:CKeyFile->CKeyFile " + journalError_);
        summary = KeyJournalSummary{};
        return;
    }
    journalCut_ = summary.lastLineCut;
    if (io_->HasSideJournal()) {
        // The journal beside the file: a copy of the stock's records, or the records of a stock
        // brought from another station. Either may be missing, cut, older or another file's:
        // what either records as used stays used.
        KeyJournalSummary side;
        if (!SummariseJournal(*io_, digestHex_, keyCount_, &side, &error, 1)) {
            journalError_ =
                Format("read journal %s failed,%s",
                       io_->CompanionName(KeyFileCompanion::kSideJournal).c_str(), error.c_str());
            Report(log_, "Error:CKeyFile->CKeyFile " + journalError_);
            summary = KeyJournalSummary{};
            return;
        }
        sideJournalCut_ = side.lastLineCut;
        uint32_t disagree = 0;
        try {
            disagree = MergeJournalSummaries(side, &summary, &sideOnlyUsed_);
            journalsDisagree_ = disagree;
        } catch (const std::bad_alloc&) {
            journalError_ = "read journal failed,out of memory";
            summary = KeyJournalSummary{};
            return;
        }
        if (disagree > 0 && access_ == KeyFileAccess::Station) {
            Note(
                Format("the journal beside the key file and the station's records of this key "
                       "stock disagree on %u keys: every key either records as used stays used",
                       disagree));
        }
    }
    inDoubt_ = summary.InDoubtCount();
    for (const auto& [index, history] : summary.keys) {
        if (history.open) {
            states_[index] = KeyState::kInDoubt;
        }
    }
}

void CKeyFile::Note(const std::string& text) {
    Report(log_, "CKeyFile->CKeyFile " + path_ + ": " + text);
    try {
        loadNotes_.push_back(text);
    } catch (const std::bad_alloc&) {
        // The log has it.
    }
}

bool CKeyFile::MarkJournalKeysUsed() {
    // A key the journal of this key area says went out (reserved, delivered or spent) is used,
    // whatever the header says: the file may be an older copy put back beside its journal. It is
    // marked on disk before any key is handed out.
    std::vector<uint32_t> marks;
    try {
        for (const auto& [index, history] : journal_.keys) {
            if ((history.reserved > 0 || history.delivered > 0 || history.spent > 0) &&
                index < keyCount_ && !TestBit(loadedBitmap_.data(), index)) {
                marks.push_back(index);
            }
        }
    } catch (const std::bad_alloc&) {
        return Fail(Format("Error:CKeyFile->CKeyFile new memory failed,err=%d", ENOMEM));
    }
    if (marks.empty()) {
        return true;
    }
    if (!WriteHeaderBits(marks)) {
        return Fail(
            Format("Error:CKeyFile->CKeyFile %zu keys the journal records as used could not be "
                   "marked used in the file",
                   marks.size()));
    }
    uint32_t unused = kdb::LoadLe32(image_ + kdb::kOffUnusedCount);
    for (const uint32_t i : marks) {
        SetBit(image_ + kdb::kOffBitmap, i);
        SetBit(loadedBitmap_.data(), i);
        unused = unused > 0 ? unused - 1 : 0;
    }
    kdb::StoreLe32(image_ + kdb::kOffUnusedCount, unused);
    Note(Format("%zu keys the journal records as used were free in the file: marked used",
                marks.size()));
    Report(log_, "CKeyFile->CKeyFile keys marked used from the journal: " + IndexRanges(marks));
    return true;
}

namespace {

// A host name read from the journal, fit for a log line and the status line.
std::string ShownHost(const std::string& host) {
    std::string shown;
    for (const char c : host) {
        if (shown.size() >= 64) {
            shown += "...";
            break;
        }
        shown += static_cast<unsigned char>(c) < 0x20 || c == 0x7F ? '?' : c;
    }
    return shown;
}

}  // namespace

void CKeyFile::NoteOtherHosts() {
    // A copy of the key file on a second station hands out the same keys: say so when its
    // journal shows another host loaded this key area.
    std::string others;
    for (const std::string& host : journal_.hosts) {
        if (!host.empty() && host != host_) {
            others += (others.empty() ? "" : ", ") + ShownHost(host);
        }
    }
    if (!others.empty()) {
        Note("this key file was also loaded on another station (" + others +
             "): a copy of a key file hands out the same keys again; stations that share keys "
             "draw from a key pool");
    }
}

void CKeyFile::Load() {
    host_ = ks::HostName();
    if (!ReadHead()) {
        return;
    }
    // The stock's records are found by what it is: the key area's SHA-256 as the header states it
    // (the first sector, which a power cut never tears); the scan below checks it.
    if (imageSize_ >= kdb::kOffDigest + kdb::kDigestSize) {
        io_->UseStockRecords(HexBytes(image_ + kdb::kOffDigest, kdb::kDigestSize));
    }
    journalPath_ = io_->CompanionName(KeyFileCompanion::kJournal);
    if (io_->HasSideJournal()) {
        sideJournalPath_ = io_->CompanionName(KeyFileCompanion::kSideJournal);
    }
    if (!RestoreHeaderCopy()) {
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
    if (headerSize < kdb::kMinHeaderSize || headerSize >= fileSize_) {
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
    if (expected != fileSize_) {
        Fail("Error:CKeyFile->CKeyFile check size failed!");
        return;
    }
    // A header that claims more unused keys than keys is damaged, whatever its CRC says.
    const uint32_t unusedCount = kdb::LoadLe32(fixed + kdb::kOffUnusedCount);
    if (unusedCount > keyCount) {
        Fail(Format("Error:CKeyFile->CKeyFile unused count is wrong,unused=%u,keys=%u", unusedCount,
                    keyCount));
        return;
    }
    if (!kdb::BitmapFits(headerSize, keyCount)) {
        Fail(Format("Error:CKeyFile->CKeyFile key bitmap does not fit the header,keys=%u,size=%d",
                    keyCount, static_cast<int>(headerSize)));
        return;
    }
    headerSize_ = headerSize;
    keySize_ = keySize;
    keyCount_ = keyCount;
    sharedKey_ = shared;
    // A station takes its stock's records, and their lock, before reading the key area: what
    // could not be written later is refused now, before any key is handed out.
    if (access_ == KeyFileAccess::Station && !OpenRecords()) {
        return;
    }
    uint8_t digest[kdb::kDigestSize];
    if (!ScanKeyArea(digest)) {
        return;
    }
    if (std::memcmp(digest, image_ + kdb::kOffDigest, kdb::kDigestSize) != 0) {
        Fail("Error:CKeyFile->CKeyFile memcmp sha256 failed!");
        return;
    }
    if (!CheckDuplicates()) {
        return;
    }
    try {
        if (access_ == KeyFileAccess::Station) {
            knownHeader_.assign(image_, image_ + headerSize);
        }
    } catch (const std::bad_alloc&) {
        Fail(Format("Error:CKeyFile->CKeyFile new memory failed,err=%d", ENOMEM));
        return;
    }
    digestHex_ = HexBytes(image_ + kdb::kOffDigest, kdb::kDigestSize);
    if (restoredHeader_ && access_ == KeyFileAccess::Station) {
        // The copy checked out and belongs to this file: put it back in place for good.
        if (!WriteAll(0, image_, headerSize) || !io_->Sync()) {
            Fail(Format("Error:CKeyFile->CKeyFile restore header failed,err=%d", io_->LastError()));
            return;
        }
    }
    if (access_ == KeyFileAccess::Station) {
        io_->CompanionRemove(KeyFileCompanion::kHeaderCopy);
    }
    if (restoredHeader_) {
        Report(log_, Format("CKeyFile->CKeyFile %s: header restored from %s", path_.c_str(),
                            io_->CompanionName(KeyFileCompanion::kHeaderCopy).c_str()));
    }
    try {
        loadedBitmap_.assign(image_ + kdb::kOffBitmap,
                             image_ + kdb::kOffBitmap + kdb::BitmapBytes(keyCount));
    } catch (const std::bad_alloc&) {
        Fail(Format("Error:CKeyFile->CKeyFile new memory failed,err=%d", ENOMEM));
        return;
    }
    ReadJournal();
    if (access_ == KeyFileAccess::Station && !journalError_.empty()) {
        // A station that cannot read what it handed out would forget it.
        Fail("Error:CKeyFile->CKeyFile " + journalError_);
        return;
    }
    if (access_ == KeyFileAccess::Station && !MarkJournalKeysUsed()) {
        return;
    }
    if (access_ == KeyFileAccess::Station) {
        NoteOtherHosts();
    }
    if (access_ == KeyFileAccess::Station) {
        try {
            // Every reservation may have put a key on its board: delivered, spent, or open.
            for (const auto& [serial, keys] : journal_.keysBySerial) {
                if (!keys.empty()) {
                    reservedSerials_.insert(serial);
                }
            }
        } catch (const std::bad_alloc&) {
            Fail(Format("Error:CKeyFile->CKeyFile new memory failed,err=%d", ENOMEM));
            return;
        }
    }
    if (access_ == KeyFileAccess::VerifyOnly) {
        // A reader needs only the header.
        std::vector<uint64_t>().swap(keyHashes_);
        std::vector<uint32_t>().swap(hashTable_);
        io_.reset();
    }
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

bool CKeyFile::Transition(uint32_t index, KeyEvent event) {
    auto it = states_.find(index);
    const KeyState from = it == states_.end() ? KeyState::kFree : it->second;
    const std::optional<KeyState> to = NextKeyState(from, event);
    if (!to) {
        return false;
    }
    states_[index] = *to;
    return true;
}

KeyState CKeyFile::GetKeyState(int32_t index) {
    if (!valid_ || index < 0 || static_cast<uint32_t>(index) >= keyCount_) {
        return KeyState::kFree;
    }
    const auto i = static_cast<uint32_t>(index);
    std::lock_guard<std::mutex> lock(keyLock_);
    const auto it = states_.find(i);
    if (it != states_.end()) {
        return it->second;
    }
    // Used before this run, or free.
    return TestBit(image_ + kdb::kOffBitmap, i) ? KeyState::kSpent : KeyState::kFree;
}

bool CKeyFile::IsMarkedUsedAtLoad(uint32_t index) const {
    return valid_ && index < keyCount_ && TestBit(loadedBitmap_.data(), index);
}

void CKeyFile::SetJournalHost(const std::string& host) {
    std::lock_guard<std::mutex> lock(keyLock_);
    host_ = host;
}

bool CKeyFile::GetKey(int32_t* index, KeyCopy* key) {
    if (!valid_ || access_ != KeyFileAccess::Station || index == nullptr || key == nullptr ||
        broken_) {
        return false;
    }
    // Allocate before taking a key, so that a failed allocation leaves the pool untouched.
    KeyCopy copy;
    if (!copy.Allocate(keySize_)) {
        return false;
    }
    uint32_t found = 0;
    try {
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
        if (!Transition(found, KeyEvent::kTake)) {
            // A key this run already spent cannot be free in the bitmap; refuse rather than
            // hand it out.
            return false;
        }
        searchStart_ = found / 8;
        SetBit(image_ + kdb::kOffBitmap, found);
        kdb::StoreLe32(image_ + kdb::kOffUnusedCount, unused - 1);
    } catch (const std::exception&) {
        return false;  // the state table could not grow; nothing was taken
    }
    // The key is read where it lies; it must still be the key the load checked.
    if (!ReadKey(found, copy.data())) {
        Break(Format("Error:GetKey-->key %u on disk is not the key that was loaded: %s", found,
                     kChangedUnderUs),
              kChangedUnderUs);
        return false;
    }
    *key = std::move(copy);
    *index = static_cast<int32_t>(found);
    return true;
}

void CKeyFile::ReleaseKey(int32_t index) {
    ReturnKey(index, KeyJobInfo{});
}

bool CKeyFile::ReturnKey(int32_t index, const KeyJobInfo& job) {
    uint32_t i = 0;
    if (!StationIndex(index, &i)) {
        return false;
    }
    {
        std::lock_guard<std::mutex> lock(keyLock_);
        // Only a taken key goes back; anything else (a key used in an earlier run, a reserved
        // key, a double release) would hand one key to two devices.
        if (!Transition(i, KeyEvent::kReturn)) {
            return false;
        }
        ClearBit(image_ + kdb::kOffBitmap, i);
        const uint32_t unused = kdb::LoadLe32(image_ + kdb::kOffUnusedCount);
        kdb::StoreLe32(image_ + kdb::kOffUnusedCount, unused + 1);
        searchStart_ = std::min(searchStart_, i / 8);
    }
    commit_.Queue(Record(JournalEvent::kReturned, i, job));
    return true;
}

std::string CKeyFile::Record(JournalEvent event, uint32_t index, const KeyJobInfo& job,
                             const std::string& step, int code) {
    JournalRecord record;
    record.event = event;
    record.time = JournalTimeNow();
    {
        std::lock_guard<std::mutex> lock(keyLock_);
        record.host = host_;
    }
    record.key = index;
    record.job = job;
    record.step = step;
    record.code = code;
    return FormatJournalRecord(record);
}

void CKeyFile::Break(const std::string& text, const std::string& reason) {
    {
        std::lock_guard<std::mutex> lock(keyLock_);
        if (broken_.exchange(true)) {
            return;
        }
        brokenReason_ = reason;
    }
    if (!text.empty()) {
        Report(log_, text);
    }
}

std::string CKeyFile::GetBrokenReason() {
    std::lock_guard<std::mutex> lock(keyLock_);
    return brokenReason_;
}

bool CKeyFile::StationIndex(int32_t index, uint32_t* out) const {
    if (!valid_ || access_ != KeyFileAccess::Station || index < 0 ||
        static_cast<uint32_t>(index) >= keyCount_) {
        return false;
    }
    *out = static_cast<uint32_t>(index);
    return true;
}

bool CKeyFile::StationKeyIn(int32_t index, KeyState state, uint32_t* out) {
    if (!StationIndex(index, out)) {
        return false;
    }
    std::lock_guard<std::mutex> lock(keyLock_);
    const auto it = states_.find(*out);
    return it != states_.end() && it->second == state;
}

uint64_t CKeyFile::KeyHash(const uint8_t* data) const {
    // Four independent lanes of multiply and shift over 8-byte words: fast enough to run beside
    // SHA-256 over the whole key area. Seeded per load, so that no file can be made to collide.
    const auto load = [](const uint8_t* p) {
        uint64_t v;
        std::memcpy(&v, p, sizeof(v));
        return v;
    };
    const auto mix = [](uint64_t x) {
        x *= 0x9E3779B97F4A7C15ull;
        return x ^ (x >> 29);
    };
    const size_t n = keySize_;
    uint64_t a = hashSeed_, b = hashSeed_ ^ 0xC2B2AE3D27D4EB4Full, c = hashSeed_ + n,
             d = ~hashSeed_;
    size_t i = 0;
    for (; i + 32 <= n; i += 32) {
        a = mix(a ^ load(data + i));
        b = mix(b ^ load(data + i + 8));
        c = mix(c ^ load(data + i + 16));
        d = mix(d ^ load(data + i + 24));
    }
    for (; i + 8 <= n; i += 8) {
        a = mix(a ^ load(data + i));
    }
    if (i < n) {
        uint64_t tail = 0;
        std::memcpy(&tail, data + i, n - i);
        b = mix(b ^ tail ^ (uint64_t{n - i} << 56));
    }
    const auto rotate = [](uint64_t x, int r) { return (x << r) | (x >> (64 - r)); };
    return mix(mix(a ^ rotate(b, 17)) ^ rotate(c, 31) ^ rotate(d, 47));
}

bool CKeyFile::ReadKey(uint32_t index, uint8_t* out) {
    const uint32_t slot = sharedKey_ ? 0 : index;
    if (slot >= keyHashes_.size()) {
        return false;
    }
    const uint64_t offset = headerSize_ + uint64_t{slot} * keySize_;
    return ReadFully(offset, out, keySize_) && KeyHash(out) == keyHashes_[slot];
}

bool CKeyFile::ScanKeyArea(uint8_t* digest) {
    // The key area is read once, in blocks of whole keys: its SHA-256 and a hash of every key
    // (for the duplicate check, the used-key guard and the check of a key read when taken). Only
    // the header and the hashes stay in memory.
    const uint64_t area = fileSize_ - headerSize_;
    const uint64_t slots = sharedKey_ ? 1 : keyCount_;
    const size_t block = keySize_ * std::max<size_t>(1, kScanBlock / keySize_);
    if (!ks::FillSystemRandom(&hashSeed_, sizeof(hashSeed_), nullptr)) {
        hashSeed_ ^= reinterpret_cast<uintptr_t>(this) * 0x9E3779B97F4A7C15ull;
    }
    std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[block]);
    try {
        keyHashes_.resize(static_cast<size_t>(slots));
    } catch (const std::bad_alloc&) {
        buffer.reset();
    }
    if (!buffer) {
        return Fail(Format("Error:CKeyFile->CKeyFile new memory failed,err=%d", ENOMEM));
    }
    CSha256 sha;
    uint64_t done = 0;
    size_t key = 0;
    bool ok = true;
    while (done < area) {
        const size_t want = static_cast<size_t>(std::min<uint64_t>(block, area - done));
        if (!ReadFully(headerSize_ + done, buffer.get(), want)) {
            ok = false;
            break;
        }
        sha.Update(buffer.get(), want);
        for (size_t at = 0; at + keySize_ <= want && key < keyHashes_.size(); at += keySize_) {
            keyHashes_[key++] = KeyHash(buffer.get() + at);
        }
        done += want;
    }
    WipeMemory(buffer.get(), block);
    if (!ok) {
        return Fail(
            Format("Error:CKeyFile->CKeyFile read key file failed,err=%d", io_->LastError()));
    }
    sha.Final(digest);
    return true;
}

bool CKeyFile::CheckDuplicates() {
    // Every key goes to one board only, so no two keys of a file may be the same bytes (a shared
    // key file has its one key). Keys are placed in an open-addressing table by their hash; two
    // with the same hash are read back and compared. The table stays for the used-key guard.
    if (sharedKey_ || keyCount_ == 0) {
        return true;
    }
    size_t size = 1;
    while (size < size_t{keyCount_} * 2) {
        size *= 2;
    }
    try {
        hashTable_.assign(size, kNoKey);
    } catch (const std::bad_alloc&) {
        return Fail(Format("Error:CKeyFile->CKeyFile new memory failed,err=%d", ENOMEM));
    }
    const size_t mask = size - 1;
    std::vector<std::pair<uint32_t, uint32_t>> candidates;  // same hash: (earlier, later)
    for (uint32_t j = 0; j < keyCount_; ++j) {
        const uint64_t h = keyHashes_[j];
        size_t slot = static_cast<size_t>(h) & mask;
        while (hashTable_[slot] != kNoKey) {
            const uint32_t i = hashTable_[slot];
            if (keyHashes_[i] == h && candidates.size() < kMaxDuplicateCandidates) {
                try {
                    candidates.emplace_back(i, j);
                } catch (const std::bad_alloc&) {
                    return Fail(
                        Format("Error:CKeyFile->CKeyFile new memory failed,err=%d", ENOMEM));
                }
            }
            slot = (slot + 1) & mask;
        }
        hashTable_[slot] = j;
    }
    if (candidates.empty()) {
        return true;
    }
    KeyCopy first, second;
    if (!first.Allocate(keySize_) || !second.Allocate(keySize_)) {
        return Fail(Format("Error:CKeyFile->CKeyFile new memory failed,err=%d", ENOMEM));
    }
    for (const auto& [i, j] : candidates) {  // in the order of the later key: the first pair
        if (!ReadKey(i, first.data()) || !ReadKey(j, second.data())) {
            return Fail(
                Format("Error:CKeyFile->CKeyFile read key file failed,err=%d", io_->LastError()));
        }
        if (std::memcmp(first.data(), second.data(), keySize_) == 0) {
            return Fail(
                Format("Error:CKeyFile->CKeyFile keys %u and %u are the same bytes; "
                       "every key must be different",
                       i, j));
        }
    }
    return true;
}

bool CKeyFile::UsedLocked(uint32_t index) const {
    const auto it = states_.find(index);
    if (it != states_.end()) {
        // Reserved, delivered, spent or in doubt: it may be on a board. Taken or returned: not.
        return KeyMayBeOnBoard(it->second);
    }
    return TestBit(loadedBitmap_.data(), index);
}

bool CKeyFile::IsUsedKey(const uint8_t* data, size_t size) {
    if (!valid_ || access_ != KeyFileAccess::Station || sharedKey_ || data == nullptr ||
        size != keySize_ || hashTable_.empty()) {
        return false;
    }
    const uint64_t hash = KeyHash(data);
    std::vector<uint32_t> candidates;
    try {
        std::lock_guard<std::mutex> lock(keyLock_);
        const size_t mask = hashTable_.size() - 1;
        for (size_t slot = static_cast<size_t>(hash) & mask; hashTable_[slot] != kNoKey;
             slot = (slot + 1) & mask) {
            const uint32_t i = hashTable_[slot];
            if (keyHashes_[i] == hash && UsedLocked(i)) {
                candidates.push_back(i);
            }
        }
    } catch (const std::bad_alloc&) {
        return false;
    }
    if (candidates.empty()) {
        return false;
    }
    // The bytes are compared with the key on disk (the hash alone could be a coincidence).
    KeyCopy key;
    if (!key.Allocate(keySize_)) {
        return false;
    }
    for (const uint32_t i : candidates) {
        if (!ReadKey(i, key.data())) {
            Break(Format("Error:IsUsedKey-->key %u on disk is not the key that was loaded: %s", i,
                         kChangedUnderUs),
                  kChangedUnderUs);
            return false;
        }
        if (std::memcmp(key.data(), data, size) == 0) {
            return true;
        }
    }
    return false;
}

bool CKeyFile::WasReservedFor(const std::string& serial) {
    if (!valid_ || serial.empty()) {
        return false;
    }
    std::lock_guard<std::mutex> lock(keyLock_);
    return reservedSerials_.count(serial) != 0;
}

bool CKeyFile::ReserveKey(int32_t index, const KeyJobInfo& job) {
    uint32_t i = 0;
    if (!StationKeyIn(index, KeyState::kTaken, &i)) {
        return false;
    }
    const std::string line = Record(JournalEvent::kReserved, i, job);
    if (line.empty() || !commit_.Commit(i, line)) {
        // Whatever reached the disk, the key stays taken in memory: never handed out again in
        // this run, and never sent.
        Break(
            Format("Error:ReserveKey-->key %u could not be reserved; no further key is handed "
                   "out",
                   i));
        return false;
    }
    std::unique_lock<std::mutex> lock(keyLock_);
    if (!Transition(i, KeyEvent::kReserve)) {
        // Recorded, but no longer taken here: it is not sent, and nothing more is handed out.
        const std::string now = KeyStateName(states_[i]);
        lock.unlock();
        Break(
            Format("Error:ReserveKey-->key %u is %s and cannot be reserved; no further key is "
                   "handed out",
                   i, now.c_str()));
        return false;
    }
    try {
        if (!job.serial.empty()) {
            reservedSerials_.insert(job.serial);
        }
    } catch (const std::bad_alloc&) {
        // The guard misses this board; the key itself is recorded and safe.
    }
    return true;
}

bool CKeyFile::DeliverKey(int32_t index, const KeyJobInfo& job) {
    uint32_t i = 0;
    if (!StationKeyIn(index, KeyState::kReserved, &i)) {
        return false;
    }
    const std::string line = Record(JournalEvent::kDelivered, i, job);
    const bool ok = !line.empty() && commit_.Commit(-1, line);
    bool moved = false;
    std::string now;
    {
        std::lock_guard<std::mutex> lock(keyLock_);
        moved = Transition(i, ok ? KeyEvent::kDeliver : KeyEvent::kSpend);
        now = KeyStateName(states_[i]);
    }
    if (!ok) {
        Break(
            Format("Error:DeliverKey-->key %u could not be recorded as delivered; no further "
                   "key is handed out",
                   i));
    } else if (!moved) {
        Break(
            Format("Error:DeliverKey-->key %u is %s and cannot be delivered; no further key is "
                   "handed out",
                   i, now.c_str()));
    }
    return ok && moved;
}

bool CKeyFile::SpendKey(int32_t index, const KeyJobInfo& job, const std::string& step, int code) {
    uint32_t i = 0;
    if (!StationIndex(index, &i)) {
        return false;
    }
    {
        std::lock_guard<std::mutex> lock(keyLock_);
        if (!Transition(i, KeyEvent::kSpend)) {
            return false;
        }
    }
    // The key is used on disk already; its end record is written with the next flush.
    const std::string line = Record(JournalEvent::kSpent, i, job, step, code);
    if (line.empty() || !commit_.Commit(-1, line)) {
        Break(
            Format("Error:SpendKey-->key %u could not be recorded as spent; no further key is "
                   "handed out",
                   i));
        return false;
    }
    return true;
}

bool CKeyFile::UpdateKeyFile(int32_t index) {
    uint32_t i = 0;
    if (!StationIndex(index, &i)) {
        return false;
    }
    {
        // A taken key is recorded as delivered and can no longer be released; a key in any other
        // state stays as it is.
        std::lock_guard<std::mutex> lock(keyLock_);
        const auto it = states_.find(i);
        if (it != states_.end() && it->second == KeyState::kTaken &&
            !(Transition(i, KeyEvent::kReserve) && Transition(i, KeyEvent::kDeliver))) {
            return false;
        }
    }
    if (!commit_.Commit(i, std::string())) {
        Break(std::string());  // the failing step has reported why
        return false;
    }
    return true;
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

bool CKeyFile::OpenRecords() {
    KeyFileCompanion which = KeyFileCompanion::kJournal;
    const KeyFileOpenStatus status = io_->OpenRecords(&which);
    if (status == KeyFileOpenStatus::InUse) {
        return Fail(Format("Error:CKeyFile->CKeyFile key file %s is in use by another station",
                           path_.c_str()));
    }
    if (status != KeyFileOpenStatus::Ok) {
        // Said as it is: a journal that takes writes but cannot be read is not a read-only one.
        const int err = io_->LastError();
        const std::string name = io_->CompanionName(which);
        ks::NativeFile writer;
        const bool writable = writer.Open(name, ks::kFileAppend);
        return Fail(Format("Error:CKeyFile->CKeyFile journal %s cannot be %s,err=%d", name.c_str(),
                           writable ? "read" : "written", err));
    }
    return true;
}

bool CKeyFile::AppendJournal(KeyFileCompanion which, bool cut, const std::string& records) {
    std::string text;
    try {
        if (!journalStarted_) {
            if (cut) {
                text += '\n';  // end the line a crash cut off, so that ours parse
            }
            JournalRecord loaded;
            loaded.event = JournalEvent::kLoaded;
            loaded.time = JournalTimeNow();
            {
                std::lock_guard<std::mutex> lock(keyLock_);
                loaded.host = host_;
            }
            loaded.digest = digestHex_;
            loaded.keys = keyCount_;
            loaded.inDoubt = inDoubt_;
            text += FormatJournalRecord(loaded);
        }
        text += records;
    } catch (const std::exception&) {
        return false;
    }
    if (!io_->CompanionAppend(which, reinterpret_cast<const uint8_t*>(text.data()), text.size())) {
        const int err = io_->LastError();
        Report(log_, Format("Error:UpdateKeyFile-->write journal %s failed,err=%d",
                            io_->CompanionName(which).c_str(), err));
        Break(std::string(),
              "the key file's journal could not be written (" + ks::SystemErrorText(err) + ")");
        return false;
    }
    return true;
}

bool CKeyFile::FlushBatch(const CGroupCommit::Batch& batch) {
    // The names must still lead to the files this station holds: a key file or journal renamed,
    // replaced or deleted under it (or a file system that is gone) stops it before it writes.
    std::string why;
    if (!io_->StillHeld(&why)) {
        Break("Error:UpdateKeyFile-->" + why, why);
        return false;
    }
    // The header is checked before anything is written (a file written over under us takes no
    // record), then the journal: a key is marked used on disk only once its reservation is on
    // stable storage, and a reservation whose header mark did not follow is marked at the next
    // load.
    if (!batch.headerBits.empty()) {
        std::unique_ptr<uint8_t[]> disk(new (std::nothrow) uint8_t[headerSize_]);
        if (!disk || !ReadOwnHeader(disk.get())) {
            Break(std::string(),
                  "the key file could not be read (" + ks::SystemErrorText(io_->LastError()) + ")");
            return false;
        }
    }
    if (!batch.journal.empty()) {
        if (!AppendJournal(KeyFileCompanion::kJournal, journalCut_, batch.journal)) {
            return false;
        }
        if (io_->HasSideJournal() &&
            !AppendJournal(KeyFileCompanion::kSideJournal, sideJournalCut_, batch.journal)) {
            return false;
        }
        journalStarted_ = true;
    }
    if (!batch.headerBits.empty() && !WriteHeaderBits(batch.headerBits)) {
        const int err = io_->LastError();
        Break(std::string(),
              "the key file could not be written (" + ks::SystemErrorText(err) + ")");
        return false;
    }
    return true;
}

bool CKeyFile::ReadOwnHeader(uint8_t* disk) {
    const uint32_t h = headerSize_;
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
        if (knownHeader_.size() == h) {
            // We left it intact: it was changed under us.
            Break(std::string("Error:UpdateKeyFile-->") + kChangedUnderUs, kChangedUnderUs);
        }
        return false;
    }
    // An intact header that is not the one we left: only one that still holds everything this
    // station wrote (the same key area, every bit it set) may be written over; anything else is
    // another file or an older copy put in place during the run.
    if (!known && knownHeader_.size() == h) {
        const uint8_t* mine = knownHeader_.data();
        bool ours = std::memcmp(mine, disk, kdb::kOffUnusedCount) == 0 &&
                    std::memcmp(mine + kdb::kOffKeySizeLow, disk + kdb::kOffKeySizeLow,
                                kdb::kOffBitmap - kdb::kOffKeySizeLow) == 0;
        for (size_t b = kdb::kOffBitmap; ours && b < h - kdb::kCrcSize; ++b) {
            ours = (mine[b] & ~disk[b]) == 0;
        }
        if (!ours) {
            Break(std::string("Error:UpdateKeyFile-->") + kChangedUnderUs, kChangedUnderUs);
            return false;
        }
    }
    return true;
}

bool CKeyFile::WriteHeaderBits(const std::vector<uint32_t>& bits) {
    const uint32_t h = headerSize_;
    std::unique_ptr<uint8_t[]> header(new (std::nothrow) uint8_t[2 * size_t{h}]);
    if (!header) {
        Report(log_, Format("Error:UpdateKeyFile-->new memory failed,err=%d", ENOMEM));
        return false;
    }
    uint8_t* disk = header.get();
    uint8_t* original = header.get() + h;
    if (!ReadOwnHeader(disk)) {
        return false;
    }
    std::memcpy(original, disk, h);
    for (const uint32_t i : bits) {
        SetBit(disk + kdb::kOffBitmap, i);
        const uint32_t unused = kdb::LoadLe32(disk + kdb::kOffUnusedCount);
        kdb::StoreLe32(disk + kdb::kOffUnusedCount, unused > 0 ? unused - 1 : 0);
    }
    kdb::StoreLe32(disk + h - kdb::kCrcSize, CalcCrc32(disk, h - kdb::kCrcSize));

    // A header within the first sector is written by the disk as a whole. A longer one could be
    // cut between its sectors by a power cut; its new version goes to a copy first, which a load
    // takes when the header in place fails its check. The copy holds the new header rather than
    // the old one: taking it can only mark more keys used, never fewer.
    const bool guarded = h > kSectorBytes;
    if (guarded) {
        std::vector<uint8_t> copy;
        if (!header_copy::Encode(disk, h, &copy) ||
            !io_->CompanionReplace(KeyFileCompanion::kHeaderCopy, copy.data(), copy.size())) {
            Report(log_, Format("Error:UpdateKeyFile-->write %s failed,err=%d",
                                io_->CompanionName(KeyFileCompanion::kHeaderCopy).c_str(),
                                io_->LastError()));
            return false;
        }
        usedHeaderCopy_ = true;
    }
    if (!WriteAll(0, disk, h)) {
        const int err = io_->LastError();
        // A partly written header fails its CRC and would make the whole file unusable; put the
        // old one back if the file still takes writes.
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
    ++headerWrites_;
    if (guarded) {
        io_->CompanionClear(KeyFileCompanion::kHeaderCopy);
    }
    if (knownHeader_.size() == h) {
        std::memcpy(knownHeader_.data(), disk, h);
    }
    return true;
}
