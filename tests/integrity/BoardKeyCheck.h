// The key promise as seen from the boards: every key of the file found on any board (in its misc
// key area, in a keybox record left in its vendor sector or item 8, or among the records its
// loader took) sits on one board only and is marked used in the key file; and no text the station
// writes holds a key's bytes.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "keydb/KeyFile.h"
#include "support/HexDigit.h"

namespace integrity {

class BoardKeyCheck {
  public:
    // Reads the key file's keys (its bytes as stored) for the lookups.
    explicit BoardKeyCheck(const std::string& keyFilePath) : path_(keyFilePath) {
        CKeyFile file(keyFilePath, nullptr, KeyFileAccess::VerifyOnly);
        EXPECT_TRUE(file.IsValid()) << file.GetError();
        if (!file.IsValid()) {
            return;
        }
        keySize_ = static_cast<size_t>(file.GetKeySize());
        std::ifstream in(keyFilePath, std::ios::binary);
        const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                         std::istreambuf_iterator<char>());
        const size_t header = static_cast<size_t>(file.GetHeaderSize());
        for (uint32_t i = 0; header + (size_t{i} + 1) * keySize_ <= bytes.size(); ++i) {
            index_[std::string(bytes.begin() + static_cast<long>(header + i * keySize_),
                               bytes.begin() + static_cast<long>(header + (i + 1) * keySize_))] = i;
            if (keySize_ >= kLeakBytes) {
                uint64_t head = 0;
                std::memcpy(&head, &bytes[header + i * keySize_], kLeakBytes);
                heads_[head] = i;
            }
        }
    }

    // "8 bytes of key 12 at 345 (in hex)" when any 8 bytes of the text starting a key of the
    // file equal that key's first 8 bytes, as raw bytes or written in hex (either case, either
    // alignment); "" when none does.
    std::string KeyBytesIn(const std::string& text) const {
        std::string found = HeadIn(reinterpret_cast<const uint8_t*>(text.data()), text.size());
        if (!found.empty()) {
            return found;
        }
        std::vector<uint8_t> decoded;
        for (size_t at = 0; at < text.size();) {
            size_t end = at;
            while (end < text.size() && ks::HexDigit(text[end]) >= 0) {
                ++end;
            }
            for (size_t start = at; end - start >= 2 * kLeakBytes && start < at + 2; ++start) {
                decoded.clear();
                for (size_t c = start; c + 1 < end; c += 2) {
                    decoded.push_back(static_cast<uint8_t>(ks::HexDigit(text[c]) * 16 +
                                                           ks::HexDigit(text[c + 1])));
                }
                found = HeadIn(decoded.data(), decoded.size());
                if (!found.empty()) {
                    return found + " (in hex from " + std::to_string(start) + ")";
                }
            }
            at = end + 1;
        }
        return std::string();
    }

    size_t KeySize() const { return keySize_; }

    // The key starting at `at`, if it is one of the file's.
    void SeeAt(int board, const uint8_t* data, size_t size) {
        if (keySize_ == 0 || size < keySize_) {
            return;
        }
        const auto it = index_.find(std::string(data, data + keySize_));
        if (it != index_.end()) {
            found_[it->second].insert(board);
        }
    }
    // Any of the file's keys anywhere in a sector (a keybox record's key lies inside it).
    void SeeWithin(int board, const std::vector<uint8_t>& area) {
        for (size_t at = 0; at + keySize_ <= area.size(); ++at) {
            SeeAt(board, area.data() + at, area.size() - at);
        }
    }

    // How many of the file's keys were seen on the board.
    size_t KeysOn(int board) const {
        size_t n = 0;
        for (const auto& entry : found_) {
            n += entry.second.count(board);
        }
        return n;
    }

    // Whether key `index` was seen on any board.
    bool Seen(uint32_t index) const { return found_.count(index) != 0; }

    // Checks the promise; returns how many distinct keys were found on boards.
    size_t Verify() {
        CKeyFile file(path_, nullptr, KeyFileAccess::VerifyOnly);
        EXPECT_TRUE(file.IsValid()) << file.GetError();
        for (const auto& [index, boards] : found_) {
            EXPECT_EQ(boards.size(), 1u)
                << "key " << index << " is on " << boards.size() << " boards";
            EXPECT_TRUE(file.IsMarkedUsedAtLoad(index))
                << "key " << index << " is on a board but not marked used";
        }
        return found_.size();
    }

  private:
    static constexpr size_t kLeakBytes = 8;

    std::string HeadIn(const uint8_t* data, size_t size) const {
        for (size_t at = 0; at + kLeakBytes <= size; ++at) {
            uint64_t head = 0;
            std::memcpy(&head, data + at, kLeakBytes);
            const auto it = heads_.find(head);
            if (it != heads_.end()) {
                return std::to_string(kLeakBytes) + " bytes of key " + std::to_string(it->second) +
                       " at " + std::to_string(at);
            }
        }
        return std::string();
    }

    std::string path_;
    size_t keySize_ = 0;
    std::map<std::string, uint32_t> index_;
    std::map<uint32_t, std::set<int>> found_;
    std::unordered_map<uint64_t, uint32_t> heads_;  // each key's first 8 bytes
};

}  // namespace integrity
