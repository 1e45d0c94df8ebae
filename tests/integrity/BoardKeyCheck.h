// The key promise as seen from the boards: every key of the file found on any board (in its misc
// key area, in a keybox record left in its vendor sector or item 8, or among the records its
// loader took) sits on one board only and is marked used in the key file.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "keydb/KeyFile.h"

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
        }
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
    std::string path_;
    size_t keySize_ = 0;
    std::map<std::string, uint32_t> index_;
    std::map<uint32_t, std::set<int>> found_;
};

}  // namespace integrity
