#include "keydb/StationKeyIndex.h"

#include <algorithm>
#include <exception>
#include <string_view>
#include <vector>

#include "keydb/KeyJournal.h"
#include "keydb/Sha256.h"

namespace {

// Lines longer than this are not entries (a serial number is at most 100 characters).
constexpr size_t kMaxLine = 512;
// Key sizes looked at at most: one per stock kind a station meets.
constexpr size_t kMaxSizes = 16;

std::string Digest(const uint8_t* data, size_t size) {
    uint8_t digest[32];
    CSha256 sha;
    sha.Update(data, size);
    sha.Final(digest);
    return std::to_string(size) + ":" + HexBytes(digest, sizeof digest);
}

bool IsHex(std::string_view text) {
    for (const char c : text) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) {
            return false;
        }
    }
    return true;
}

}  // namespace

bool CStationKeyIndex::TakeLine(const std::string& line) {
    if (line.size() > 2 && line[0] == 's' && line[1] == ' ' && IsHex(line.substr(2))) {
        serials_.insert(line.substr(2));
        return true;
    }
    if (line.size() < 4 || line[0] != 'k' || line[1] != ' ') {
        return false;
    }
    const size_t space = line.find(' ', 2);
    if (space == std::string::npos || line.size() - space - 1 != 64 ||
        !IsHex(line.substr(space + 1))) {
        return false;
    }
    size_t size = 0;
    for (size_t i = 2; i < space; ++i) {
        if (line[i] < '0' || line[i] > '9' || size > (1u << 24)) {
            return false;
        }
        size = size * 10 + static_cast<size_t>(line[i] - '0');
    }
    if (size == 0 || (sizes_.size() >= kMaxSizes && sizes_.count(size) == 0)) {
        return false;
    }
    sizes_.insert(size);
    keys_.insert(std::to_string(size) + ":" + line.substr(space + 1));
    return true;
}

bool CStationKeyIndex::Open(const std::string& path, std::string* error) {
    std::lock_guard<std::mutex> guard(lock_);
    try {
        if (!file_.Open(path, ks::kFileAppend | ks::kFileRead | ks::kFileCreate, 0600)) {
            *error = "cannot open " + path + ": " + ks::SystemErrorText(file_.LastError());
            return false;
        }
        std::vector<uint8_t> piece(1 << 16);
        std::string line;
        uint64_t offset = 0;
        for (;;) {
            const int64_t n = file_.ReadAt(offset, piece.data(), piece.size());
            if (n < 0) {
                *error = "cannot read " + path + ": " + ks::SystemErrorText(file_.LastError());
                file_.Close();
                return false;
            }
            if (n == 0) {
                break;
            }
            offset += static_cast<uint64_t>(n);
            for (int64_t i = 0; i < n; ++i) {
                const char c = static_cast<char>(piece[static_cast<size_t>(i)]);
                if (c == '\n') {
                    TakeLine(line);
                    line.clear();
                } else if (line.size() <= kMaxLine) {
                    line += c;
                }
            }
        }
        if (!line.empty()) {
            // A line a crash cut off: ended, so that the next entry starts a line of its own.
            if (!file_.WriteAll("\n", 1) || !file_.Flush()) {
                *error = "cannot write " + path + ": " + ks::SystemErrorText(file_.LastError());
                file_.Close();
                return false;
            }
        }
        return true;
    } catch (const std::exception&) {
        *error = "out of memory reading " + path;
        file_.Close();
        return false;
    }
}

bool CStationKeyIndex::Record(const uint8_t* key, size_t size, const std::string& serial) {
    if (key == nullptr || size == 0) {
        return false;
    }
    std::lock_guard<std::mutex> guard(lock_);
    if (!file_.IsOpen()) {
        return false;
    }
    try {
        const std::string digest = Digest(key, size);
        std::string text =
            "k " + std::to_string(size) + " " + digest.substr(digest.find(':') + 1) + "\n";
        std::string serialHex;
        if (!serial.empty()) {
            serialHex = HexBytes(reinterpret_cast<const uint8_t*>(serial.data()),
                                 std::min<size_t>(serial.size(), kMaxLine / 2 - 2));
            text += "s " + serialHex + "\n";
        }
        if (!file_.WriteAll(text) || !file_.Flush()) {
            return false;
        }
        if (sizes_.size() < kMaxSizes || sizes_.count(size) != 0) {
            sizes_.insert(size);
            keys_.insert(digest);
        }
        if (!serialHex.empty()) {
            serials_.insert(serialHex);
        }
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

bool CStationKeyIndex::HoldsKey(const uint8_t* data, size_t size) const {
    if (data == nullptr || size == 0) {
        return false;
    }
    try {
        const std::string digest = Digest(data, size);
        std::lock_guard<std::mutex> guard(lock_);
        return keys_.count(digest) != 0;
    } catch (const std::exception&) {
        return false;
    }
}

std::set<size_t> CStationKeyIndex::KeySizes() const {
    std::lock_guard<std::mutex> guard(lock_);
    return sizes_;
}

bool CStationKeyIndex::ServedSerial(const std::string& serial) const {
    if (serial.empty()) {
        return false;
    }
    try {
        const std::string hex = HexBytes(reinterpret_cast<const uint8_t*>(serial.data()),
                                         std::min<size_t>(serial.size(), kMaxLine / 2 - 2));
        std::lock_guard<std::mutex> guard(lock_);
        return serials_.count(hex) != 0;
    } catch (const std::exception&) {
        return false;
    }
}
