#include "platform/sim/SectorStore.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Reads n bytes at offset; what lies past the end of the file reads as zeros.
bool PreadAll(int fd, uint8_t* out, size_t n, uint64_t offset) {
    size_t done = 0;
    while (done < n) {
        const ssize_t r = ::pread(fd, out + done, n - done, static_cast<off_t>(offset + done));
        if (r < 0 && errno == EINTR) {
            continue;
        }
        if (r < 0) {
            return false;
        }
        if (r == 0) {
            std::memset(out + done, 0, n - done);
            return true;
        }
        done += static_cast<size_t>(r);
    }
    return true;
}

bool PwriteAll(int fd, const uint8_t* data, size_t n, uint64_t offset) {
    size_t done = 0;
    while (done < n) {
        const ssize_t w = ::pwrite(fd, data + done, n - done, static_cast<off_t>(offset + done));
        if (w < 0 && errno == EINTR) {
            continue;
        }
        if (w <= 0) {
            return false;
        }
        done += static_cast<size_t>(w);
    }
    return true;
}

// Drops every byte of the file but keeps its length: a sparse file of zeros. False when the
// file could not be cut or grown back.
bool EmptyFile(int fd) {
    struct stat st {};
    return ::fstat(fd, &st) == 0 && ::ftruncate(fd, 0) == 0 && ::ftruncate(fd, st.st_size) == 0;
}

}  // namespace

SectorStore::~SectorStore() {
    if (lowFd_ >= 0) {
        ::close(lowFd_);
    }
    if (highFd_ >= 0) {
        ::close(highFd_);
    }
}

void SectorStore::UseFiles(int lowFd, int highFd, uint32_t splitSector) {
    chunks_.clear();
    if (lowFd_ >= 0 && lowFd_ != lowFd) {
        ::close(lowFd_);
    }
    if (highFd_ >= 0 && highFd_ != highFd) {
        ::close(highFd_);
    }
    lowFd_ = lowFd;
    highFd_ = highFd;
    splitSector_ = splitSector;
}

void SectorStore::Clear() {
    chunks_.clear();
    if (FileBacked()) {
        EmptyFile(lowFd_);
        EmptyFile(highFd_);
    }
}

// Writes `in`, or reads into `out`, whole sectors of a file-backed store, split at the boundary of
// the two files.
bool SectorStore::FileIo(uint32_t first, uint32_t count, const uint8_t* in, uint8_t* out) const {
    uint64_t sector = first;
    const uint64_t end = static_cast<uint64_t>(first) + count;
    while (sector < end) {
        const bool low = sector < splitSector_;
        const uint64_t pieceEnd = low ? std::min<uint64_t>(end, splitSector_) : end;
        const int fd = low ? lowFd_ : highFd_;
        const uint64_t offset = (low ? sector : sector - splitSector_) * kSectorSize;
        const size_t bytes = static_cast<size_t>(pieceEnd - sector) * kSectorSize;
        if (in != nullptr ? !PwriteAll(fd, in, bytes, offset) : !PreadAll(fd, out, bytes, offset)) {
            return false;
        }
        if (in != nullptr) {
            in += bytes;
        } else {
            out += bytes;
        }
        sector = pieceEnd;
    }
    return true;
}

bool SectorStore::HoldsDataAt(uint32_t sector) const {
    if (!FileBacked()) {
        return chunks_.find(sector / kChunkSectors) != chunks_.end();
    }
    uint8_t bytes[kSectorSize];
    static const uint8_t kZero[kSectorSize] = {};
    return !FileIo(sector, 1, nullptr, bytes) || std::memcmp(bytes, kZero, kSectorSize) != 0;
}

bool SectorStore::Read(uint32_t first, uint32_t count, uint8_t* out) const {
    if (!InRange(first, count)) {
        return false;
    }
    if (FileBacked()) {
        return FileIo(first, count, nullptr, out);
    }
    ForEachRun(first, count, [&](uint32_t chunk, size_t offset, size_t bytes) {
        auto it = chunks_.find(chunk);
        if (it == chunks_.end()) {
            std::memset(out, 0, bytes);
        } else {
            std::memcpy(out, it->second->data() + offset, bytes);
        }
        out += bytes;
    });
    return true;
}

bool SectorStore::Write(uint32_t first, uint32_t count, const uint8_t* data) {
    if (!InRange(first, count)) {
        return false;
    }
    if (FileBacked()) {
        return FileIo(first, count, data, nullptr);
    }
    try {
        ForEachRun(first, count, [&](uint32_t chunk, size_t offset, size_t bytes) {
            std::unique_ptr<Chunk>& slot = chunks_[chunk];
            if (!slot) {
                slot = std::make_unique<Chunk>();
                slot->fill(0);
            }
            std::memcpy(slot->data() + offset, data, bytes);
            data += bytes;
        });
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

bool SectorStore::LoadBytes(uint32_t first, const uint8_t* data, size_t size) {
    const uint64_t sectors = (static_cast<uint64_t>(size) + kSectorSize - 1) / kSectorSize;
    if (!InRange(first, sectors)) {
        return false;
    }
    uint8_t sector[kSectorSize];
    static const uint8_t kZero[kSectorSize] = {};
    for (uint64_t i = 0; i < sectors; ++i) {
        const size_t offset = static_cast<size_t>(i) * kSectorSize;
        const size_t n = std::min(kSectorSize, size - offset);
        std::memcpy(sector, data + offset, n);
        std::memset(sector + n, 0, kSectorSize - n);
        const uint32_t at = first + static_cast<uint32_t>(i);
        // Zero sectors are only written where something is already stored there.
        if (std::memcmp(sector, kZero, kSectorSize) == 0 && !HoldsDataAt(at)) {
            continue;
        }
        if (!Write(at, 1, sector)) {
            return false;
        }
    }
    return true;
}

namespace {

void SetError(std::string* error, const std::string& text) {
    if (error != nullptr) {
        *error = text;
    }
}

}  // namespace

bool SectorStore::LoadImageFile(const std::string& path, uint32_t first, std::string* error) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        SetError(error, "cannot open " + path + ": " + std::strerror(errno));
        return false;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        SetError(error, "not a regular file: " + path);
        return false;
    }
    const uint64_t size = static_cast<uint64_t>(st.st_size);
    if (!InRange(first, (size + kSectorSize - 1) / kSectorSize)) {
        ::close(fd);
        SetError(error, "image does not fit the 32-bit sector space: " + path);
        return false;
    }
    std::vector<uint8_t> buffer;
    try {
        buffer.resize(kChunkBytes);
    } catch (const std::bad_alloc&) {
        ::close(fd);
        SetError(error, "out of memory");
        return false;
    }
    uint64_t done = 0;
    bool ok = true;
    while (done < size) {
        const size_t want = static_cast<size_t>(std::min<uint64_t>(kChunkBytes, size - done));
        size_t have = 0;
        while (have < want) {
            const ssize_t n = ::read(fd, buffer.data() + have, want - have);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                break;
            }
            have += static_cast<size_t>(n);
        }
        if (have != want) {
            SetError(error, "short read from " + path);
            ok = false;
            break;
        }
        if (!LoadBytes(first + static_cast<uint32_t>(done / kSectorSize), buffer.data(), have)) {
            SetError(error, "out of memory");
            ok = false;
            break;
        }
        done += have;
    }
    ::close(fd);
    return ok;
}

// Copies sectors [0, sectorCount) of a file-backed store to fd, chunk by chunk, stepping over the
// holes of the backing files and leaving all-zero chunks as holes.
bool SectorStore::CopyFilesTo(int fd, uint64_t sectorCount) const {
    std::vector<uint8_t> buffer;
    try {
        buffer.resize(kChunkBytes);
    } catch (const std::bad_alloc&) {
        return false;
    }
    static const uint8_t kZero[kChunkBytes] = {};
    uint64_t sector = 0;
    while (sector < sectorCount) {
        const bool low = sector < splitSector_;
        const uint64_t base = low ? 0 : splitSector_;
        const off_t data = ::lseek(low ? lowFd_ : highFd_,
                                   static_cast<off_t>((sector - base) * kSectorSize), SEEK_DATA);
        if (data < 0) {  // nothing more in this file
            if (!low) {
                break;
            }
            sector = splitSector_;
            continue;
        }
        const uint64_t next = base + static_cast<uint64_t>(data) / kChunkBytes * kChunkSectors;
        if (next > sector) {
            sector = low ? std::min<uint64_t>(next, splitSector_) : next;
            continue;
        }
        const uint64_t limit = low ? std::min<uint64_t>(sectorCount, splitSector_) : sectorCount;
        const uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(kChunkSectors, limit - sector));
        const size_t bytes = static_cast<size_t>(n) * kSectorSize;
        if (!FileIo(static_cast<uint32_t>(sector), n, nullptr, buffer.data())) {
            return false;
        }
        if (std::memcmp(buffer.data(), kZero, bytes) != 0 &&
            !PwriteAll(fd, buffer.data(), bytes, sector * kSectorSize)) {
            return false;
        }
        sector += n;
    }
    return true;
}

bool SectorStore::SaveImageFile(const std::string& path, uint64_t sectorCount,
                                std::string* error) const {
    if (sectorCount > (uint64_t{1} << 32)) {
        SetError(error, "sector count too large");
        return false;
    }
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        SetError(error, "cannot create " + path + ": " + std::strerror(errno));
        return false;
    }
    bool ok = ::ftruncate(fd, static_cast<off_t>(sectorCount * kSectorSize)) == 0;
    if (ok && FileBacked()) {
        ok = CopyFilesTo(fd, sectorCount);
    }
    for (const auto& [chunk, data] : chunks_) {
        if (!ok) {
            break;
        }
        const uint64_t firstSector = static_cast<uint64_t>(chunk) * kChunkSectors;
        if (firstSector >= sectorCount) {
            continue;
        }
        const uint64_t n = std::min<uint64_t>(kChunkSectors, sectorCount - firstSector);
        const size_t bytes = static_cast<size_t>(n) * kSectorSize;
        size_t written = 0;
        while (written < bytes) {
            const ssize_t w = ::pwrite(fd, data->data() + written, bytes - written,
                                       static_cast<off_t>(firstSector * kSectorSize + written));
            if (w < 0 && errno == EINTR) {
                continue;
            }
            if (w <= 0) {
                ok = false;
                break;
            }
            written += static_cast<size_t>(w);
        }
    }
    if (::close(fd) != 0) {
        ok = false;
    }
    if (!ok) {
        SetError(error, "cannot write " + path);
    }
    return ok;
}
