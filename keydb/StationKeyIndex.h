// What a station has handed out, whatever the stock: a digest (SHA-256) of every key it reserved,
// from any key file or key pool, and the serial numbers of the boards they went to. Kept in an
// append-only file in the station's folder, one line each ("k <key size> <sha256 hex>",
// "s <serial in hex>"); never key bytes. The re-provisioning guard asks it, so that a board keyed
// from one key file is known when another file, or a pool, is loaded.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <set>
#include <string>
#include <unordered_set>

#include "support/NativeFile.h"

class CStationKeyIndex {
  public:
    CStationKeyIndex() = default;
    CStationKeyIndex(const CStationKeyIndex&) = delete;
    CStationKeyIndex& operator=(const CStationKeyIndex&) = delete;

    // Reads the index at `path` (created when absent) and keeps it open for appending. False,
    // with a reason, when it cannot be read or written.
    bool Open(const std::string& path, std::string* error);
    bool IsOpen() const { return file_.IsOpen(); }
    // Records a key that is about to leave the station and the serial number of its board (empty:
    // none read), on stable storage before it returns true.
    bool Record(const uint8_t* key, size_t size, const std::string& serial);
    // True when the `size` bytes at `data` are a key this station reserved.
    bool HoldsKey(const uint8_t* data, size_t size) const;
    // The key sizes recorded (a board's key area is looked at with each).
    std::set<size_t> KeySizes() const;
    // True when a key went to a board with this serial number.
    bool ServedSerial(const std::string& serial) const;

  private:
    bool TakeLine(const std::string& line);

    mutable std::mutex lock_;
    ks::NativeFile file_;
    std::unordered_set<std::string> keys_;  // "<size>:<sha256 hex>"
    std::set<size_t> sizes_;
    std::unordered_set<std::string> serials_;
};
