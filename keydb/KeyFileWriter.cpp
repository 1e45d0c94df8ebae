#include "keydb/KeyFileWriter.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <unordered_set>

#include "keydb/Crc32.h"
#include "keydb/KeyFile.h"
#include "keydb/KeyFileFormat.h"
#include "keydb/Sha256.h"
#include "keydb/WipeMemory.h"
#include "support/NativeFile.h"
#include "support/Paths.h"
#include "support/SystemRandom.h"

namespace {

constexpr size_t kCopyPiece = 1 << 20;

bool SetError(std::string* error, std::string text) {
    if (error != nullptr) {
        *error = std::move(text);
    }
    return false;
}

std::string ErrnoText(const std::string& what, int err) {
    return what + ": " + ks::SystemErrorText(err);
}

// True when a running station holds the file at path.
bool HeldByStation(const std::string& path) {
    ks::NativeFile file;
    if (!file.Open(path, ks::kFileRead)) {
        return false;
    }
    bool held = false;
    file.TryLockExclusive(&held);
    return held;  // closing the file drops our lock, if taken
}

// Writes the header and data area into a fresh, empty file.
bool FillFile(ks::NativeFile& file, const KeyFileLayout& layout, IKeyDataSource& source,
              std::string* error) {
    const uint64_t headerSize =
        layout.headerSize != 0 ? layout.headerSize : kdb::MinHeaderSizeFor(layout.keyCount);
    std::vector<uint8_t> placeholder(static_cast<size_t>(headerSize), 0);
    if (!file.WriteAll(placeholder.data(), placeholder.size())) {
        return SetError(error, ErrnoText("cannot write the key file", file.LastError()));
    }
    std::unique_ptr<uint8_t[]> piece(new (std::nothrow) uint8_t[kCopyPiece]);
    if (!piece) {
        return SetError(error, "out of memory");
    }
    // Keys of up to 8 bytes drawn at random repeat by chance (birthday odds): such a key is drawn
    // again, so that no two keys of the file are the same bytes. Longer keys repeat only in key
    // data, which the load check after writing refuses.
    const bool redraw = source.MayRedraw() && !layout.sharedKey && layout.keySize <= 8;
    std::unordered_set<uint64_t> seen;
    if (redraw) {
        if (layout.keySize < 8 &&
            uint64_t{layout.keyCount} > (uint64_t{1} << (8 * layout.keySize))) {
            return SetError(error, "keys of " + std::to_string(layout.keySize) +
                                       " bytes have only " +
                                       std::to_string(uint64_t{1} << (8 * layout.keySize)) +
                                       " different values");
        }
        try {
            seen.reserve(layout.keyCount);
        } catch (const std::bad_alloc&) {
            return SetError(error, "out of memory");
        }
    }
    // Pieces of whole keys when keys are drawn again.
    const size_t pieceLimit = redraw ? kCopyPiece / layout.keySize * layout.keySize : kCopyPiece;
    CSha256 sha;
    uint64_t left = KeyDataLength(layout);
    bool ok = true;
    while (ok && left > 0) {
        const size_t n = static_cast<size_t>(std::min<uint64_t>(left, pieceLimit));
        if (!source.Read(piece.get(), n, error)) {
            ok = false;
            break;
        }
        for (size_t at = 0; redraw && ok && at < n; at += layout.keySize) {
            for (;;) {
                uint64_t value = 0;
                std::memcpy(&value, piece.get() + at, layout.keySize);
                bool fresh = false;
                try {
                    fresh = seen.insert(value).second;
                } catch (const std::bad_alloc&) {
                    ok = SetError(error, "out of memory");
                    break;
                }
                if (fresh) {
                    break;
                }
                if (!source.Read(piece.get() + at, layout.keySize, error)) {
                    ok = false;
                    break;
                }
            }
        }
        if (!ok) {
            break;
        }
        sha.Update(piece.get(), n);
        if (!file.WriteAll(piece.get(), n)) {
            ok = SetError(error, ErrnoText("cannot write the key file", file.LastError()));
            break;
        }
        left -= n;
    }
    WipeMemory(piece.get(), kCopyPiece);
    if (!ok) {
        return false;
    }
    uint8_t digest[kdb::kDigestSize];
    sha.Final(digest);
    std::vector<uint8_t> header;
    if (!BuildKeyFileHeader(layout, digest, &header, error)) {
        return false;
    }
    if (!file.WriteAllAt(0, header.data(), header.size())) {
        return SetError(error, ErrnoText("cannot write the key file header", file.LastError()));
    }
    if (!file.Flush()) {
        return SetError(error, ErrnoText("cannot flush the key file", file.LastError()));
    }
    return true;
}

}  // namespace

uint64_t KeyDataLength(const KeyFileLayout& layout) {
    return layout.sharedKey ? uint64_t{layout.keySize}
                            : uint64_t{layout.keyCount} * uint64_t{layout.keySize};
}

bool CRandomKeySource::Read(uint8_t* buffer, size_t len, std::string* error) {
    int err = 0;
    if (!ks::FillSystemRandom(buffer, len, &err)) {
        return SetError(error, ErrnoText("cannot read random bytes", err));
    }
    return true;
}

CFileKeySource::~CFileKeySource() = default;

bool CFileKeySource::Open(uint64_t expectedLength, std::string* error) {
    if (!file_.Open(path_, ks::kFileRead)) {
        return SetError(error, ErrnoText("cannot open key data " + path_, file_.LastError()));
    }
    const int64_t size = file_.Size();
    if (size < 0) {
        return SetError(error, ErrnoText("cannot read key data " + path_, file_.LastError()));
    }
    if (static_cast<uint64_t>(size) != expectedLength) {
        return SetError(error, "key data " + path_ + " holds " + std::to_string(size) +
                                   " bytes, the key file needs " + std::to_string(expectedLength));
    }
    return true;
}

bool CFileKeySource::Read(uint8_t* buffer, size_t len, std::string* error) {
    if (!file_.IsOpen()) {
        return SetError(error, "key data " + path_ + " is not open");
    }
    while (len > 0) {
        const int64_t n = file_.Read(buffer, len);
        if (n < 0) {
            return SetError(error, ErrnoText("cannot read key data " + path_, file_.LastError()));
        }
        if (n == 0) {
            return SetError(error, "key data " + path_ + " ended early");
        }
        buffer += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

bool CheckKeyFileLayout(const KeyFileLayout& layout, std::string* error) {
    if (layout.keyCount == 0) {
        return SetError(error, "the key count must be at least 1");
    }
    if (layout.keyCount > kdb::kMaxKeyCount) {
        return SetError(error, "the key count must be at most " +
                                   std::to_string(kdb::kMaxKeyCount) +
                                   " (the used-key bitmap must fit a 65,535-byte header)");
    }
    if (layout.keySize == 0 || layout.keySize > kdb::kMaxKeySize) {
        return SetError(error, "the key size must be 1 .. 16777215 bytes");
    }
    const uint64_t minimum = kdb::MinHeaderSizeFor(layout.keyCount);
    if (layout.headerSize != 0 &&
        (layout.headerSize < minimum || layout.headerSize > kdb::kMaxHeaderSize)) {
        return SetError(error, "the header size must be " + std::to_string(minimum) +
                                   " .. 65535 bytes for " + std::to_string(layout.keyCount) +
                                   " keys");
    }
    for (uint32_t index : layout.usedIndices) {
        if (index >= layout.keyCount) {
            return SetError(error,
                            "used index " + std::to_string(index) + " is not below the key count");
        }
    }
    const KeyFileTime& t = layout.created;
    if (t.year < 0 || t.year > 0xFFFF || t.month < 0 || t.month > 255 || t.day < 0 || t.day > 255 ||
        t.hour < 0 || t.hour > 255 || t.minute < 0 || t.minute > 255 || t.second < 0 ||
        t.second > kdb::kSecondMask) {
        return SetError(error, "the creation time does not fit the header fields");
    }
    return true;
}

bool BuildKeyFileHeader(const KeyFileLayout& layout, const uint8_t digest[32],
                        std::vector<uint8_t>* header, std::string* error) {
    if (header == nullptr || digest == nullptr) {
        return SetError(error, "no output");
    }
    if (!CheckKeyFileLayout(layout, error)) {
        return false;
    }
    const uint32_t h = static_cast<uint32_t>(
        layout.headerSize != 0 ? layout.headerSize : kdb::MinHeaderSizeFor(layout.keyCount));
    try {
        header->assign(h, 0);
    } catch (const std::bad_alloc&) {
        return SetError(error, "out of memory");
    }
    uint8_t* p = header->data();
    const KeyFileTime& t = layout.created;
    kdb::StoreLe32(p + kdb::kOffTag, kdb::kTag);
    kdb::StoreLe16(p + kdb::kOffHeaderSize, static_cast<uint16_t>(h));
    p[kdb::kOffSecondShared] = static_cast<uint8_t>((t.second & kdb::kSecondMask) |
                                                    (layout.sharedKey ? kdb::kSharedKeyBit : 0));
    p[kdb::kOffMinute] = static_cast<uint8_t>(t.minute);
    p[kdb::kOffHour] = static_cast<uint8_t>(t.hour);
    p[kdb::kOffKeySizeHigh] = static_cast<uint8_t>(layout.keySize >> 16);
    p[kdb::kOffDay] = static_cast<uint8_t>(t.day);
    p[kdb::kOffMonth] = static_cast<uint8_t>(t.month);
    kdb::StoreLe16(p + kdb::kOffYear, static_cast<uint16_t>(t.year));
    kdb::StoreLe32(p + kdb::kOffKeyCount, layout.keyCount);
    kdb::StoreLe16(p + kdb::kOffKeySizeLow, static_cast<uint16_t>(layout.keySize & 0xFFFF));
    std::memcpy(p + kdb::kOffDigest, digest, kdb::kDigestSize);
    std::memcpy(p + kdb::kOffRecordInfo, layout.recordInfo, kdb::kRecordInfoSize);
    uint32_t used = 0;
    for (uint32_t index : layout.usedIndices) {
        uint8_t& byte = p[kdb::kOffBitmap + index / 8];
        const uint8_t bit = static_cast<uint8_t>(1u << (index % 8));
        if ((byte & bit) == 0) {
            byte = static_cast<uint8_t>(byte | bit);
            ++used;
        }
    }
    kdb::StoreLe32(p + kdb::kOffUnusedCount, layout.keyCount - used);
    kdb::StoreLe32(p + h - kdb::kCrcSize, CalcCrc32(p, h - kdb::kCrcSize));
    return true;
}

bool BuildKeyFileImage(const KeyFileLayout& layout, const uint8_t* data, size_t dataLength,
                       std::vector<uint8_t>* image, std::string* error) {
    if (image == nullptr || data == nullptr) {
        return SetError(error, "no data");
    }
    if (!CheckKeyFileLayout(layout, error)) {
        return false;
    }
    if (dataLength != KeyDataLength(layout)) {
        return SetError(error, "the key data holds " + std::to_string(dataLength) +
                                   " bytes, the layout needs " +
                                   std::to_string(KeyDataLength(layout)));
    }
    uint8_t digest[kdb::kDigestSize];
    if (!DoHash256(digest, data, uint64_t{dataLength})) {
        return SetError(error, "cannot hash the key data");
    }
    if (!BuildKeyFileHeader(layout, digest, image, error)) {
        return false;
    }
    try {
        image->insert(image->end(), data, data + dataLength);
    } catch (const std::bad_alloc&) {
        return SetError(error, "out of memory");
    }
    return true;
}

bool WriteKeyFile(const std::string& path, const KeyFileLayout& layout, IKeyDataSource& source,
                  bool overwrite, std::string* error) {
    if (!CheckKeyFileLayout(layout, error)) {
        return false;
    }
    if (path.empty()) {
        return SetError(error, "no output file given");
    }
    if (!overwrite) {
        ks::NativeFile existing;
        if (existing.Open(path, ks::kFileRead | ks::kFileNoFollow) ||
            !ks::IsNotFoundError(existing.LastError())) {
            return SetError(error, path + " already exists");
        }
    }
    const std::string folder = ks::FolderOf(path);
    const std::string base = path.substr(folder.size());
    ks::NativeFile file;
    const std::string temp = ks::CreateUniqueFile(folder + "." + base + ".", &file);
    if (temp.empty()) {
        return SetError(error,
                        ErrnoText("cannot create a file in " + (folder.empty() ? "." : folder),
                                  file.LastError()));
    }
    bool ok = FillFile(file, layout, source, error);
    if (!file.Close() && ok) {
        ok = SetError(error, ErrnoText("cannot close the key file", file.LastError()));
    }
    if (ok) {
        // The new file must load as a station loads it: among other things, no two of its keys
        // may be the same bytes (a key would go to two boards).
        const CKeyFile check(temp, nullptr, KeyFileAccess::VerifyOnly);
        if (!check.IsValid()) {
            std::string reason = check.GetError();
            if (const size_t arrow = reason.rfind("->"); arrow != std::string::npos) {
                reason.erase(0, arrow + 2);
            }
            ok = SetError(error, "the new key file does not load: " + reason);
        }
    }
    if (ok) {
        int err = 0;
        if (overwrite) {
            if (HeldByStation(path)) {
                ok = SetError(error, path + " is in use by a station");
            } else if (!ks::RenameReplacing(temp, path, &err)) {
                ok = SetError(error, ErrnoText("cannot rename the key file to " + path, err));
            }
        } else {
            bool exists = false;
            if (!ks::RenameNoReplace(temp, path, &exists, &err)) {
                ok = SetError(error, exists ? path + " already exists"
                                            : ErrnoText("cannot create " + path, err));
            }
        }
    }
    ks::RemoveFile(temp);  // gone after a rename; removes the leftover otherwise
    if (ok) {
        ks::SyncFolderOf(path);
    }
    return ok;
}
