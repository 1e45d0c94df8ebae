// A sparse 32-bit-addressed store of 512-byte sectors: what an emulated device's storage holds.
// Unwritten sectors read as zeros. Storage is allocated in chunks of 128 sectors (64 KiB), so an
// image with large empty stretches stays small. Not thread-safe: the owner serialises access.
//
// A store can also keep its sectors in two files instead (UseFiles): then every write goes to
// its file at once, so what a device acknowledged outlives the program that ran it.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>

class SectorStore {
  public:
    static constexpr size_t kSectorSize = 512;
    static constexpr uint32_t kChunkSectors = 128;
    static constexpr size_t kChunkBytes = kChunkSectors * kSectorSize;

    SectorStore() = default;
    ~SectorStore();
    SectorStore(const SectorStore&) = delete;
    SectorStore& operator=(const SectorStore&) = delete;

    // From now on the sectors live in files (what was held in memory is dropped): those below
    // splitSector in lowFd at byte sector * 512, the others in highFd at byte
    // (sector - splitSector) * 512. The store takes both descriptors and closes them. Holes and
    // bytes past a file's end read as zeros; there is no flush (the page cache keeps a write when
    // the process dies). Clear() empties both files and keeps their sizes, as holes.
    void UseFiles(int lowFd, int highFd, uint32_t splitSector);
    bool FileBacked() const { return lowFd_ >= 0; }

    // Sectors first .. first+count-1 must lie below 2^32 (false, nothing copied, otherwise).
    bool Read(uint32_t first, uint32_t count, uint8_t* out) const;
    bool Write(uint32_t first, uint32_t count, const uint8_t* data);

    // Places bytes at sector `first` on; a partial last sector is padded with zeros. All-zero
    // chunks of the input are not stored. False when the bytes would pass sector 2^32 - 1.
    bool LoadBytes(uint32_t first, const uint8_t* data, size_t size);
    // Reads a whole image file (as written by a partitioning or imaging tool) to sector `first`.
    bool LoadImageFile(const std::string& path, uint32_t first, std::string* error = nullptr);
    // Writes sectors [0, sectorCount) to a file as a sparse image (holes where nothing is stored).
    bool SaveImageFile(const std::string& path, uint64_t sectorCount,
                       std::string* error = nullptr) const;

    // Number of allocated chunks (for tests of sparseness; 0 for a store kept in files).
    size_t ChunkCount() const { return chunks_.size(); }
    void Clear();

  private:
    using Chunk = std::array<uint8_t, kChunkBytes>;
    static bool InRange(uint32_t first, uint64_t count) {
        return static_cast<uint64_t>(first) + count <= (uint64_t{1} << 32);
    }
    bool FileIo(uint32_t first, uint32_t count, const uint8_t* in, uint8_t* out) const;
    bool CopyFilesTo(int fd, uint64_t sectorCount) const;
    bool HoldsDataAt(uint32_t sector) const;
    // Calls visit(chunk, byte offset in the chunk, bytes) for each piece of sectors
    // [first, first + count) that lies in one chunk, in order.
    template <typename Visit>
    static void ForEachRun(uint32_t first, uint32_t count, Visit visit) {
        uint64_t sector = first;
        const uint64_t end = static_cast<uint64_t>(first) + count;
        while (sector < end) {
            const uint32_t within = static_cast<uint32_t>(sector % kChunkSectors);
            const uint64_t n = std::min<uint64_t>(kChunkSectors - within, end - sector);
            visit(static_cast<uint32_t>(sector / kChunkSectors),
                  static_cast<size_t>(within) * kSectorSize, static_cast<size_t>(n) * kSectorSize);
            sector += n;
        }
    }

    std::unordered_map<uint32_t, std::unique_ptr<Chunk>> chunks_;
    int lowFd_ = -1;
    int highFd_ = -1;
    uint32_t splitSector_ = 0;
};
