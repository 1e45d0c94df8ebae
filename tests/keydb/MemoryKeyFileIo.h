// A key file and its companions in memory, for tests of what reaches stable storage: every write
// lands in the file at once, a Sync makes the file durable, an append is durable on return. A
// power cut can be armed for the next header rewrite or header copy: only a prefix of its sectors
// lands, and from then on nothing is written or flushed.
#pragma once

#include <errno.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "keydb/KeyFileIo.h"
#include "keydb/KeyJournal.h"

namespace keydbtest {

struct MemoryDisk {
    std::mutex lock;
    std::vector<uint8_t> file;     // as written
    std::vector<uint8_t> durable;  // as of the last flush
    std::map<KeyFileCompanion, std::vector<uint8_t>> companions;
    std::set<std::pair<JournalEvent, int64_t>> durableRecords;  // parsed from the journal
    std::string partialLine;

    // Power cut: the next header write at offset 0 (or the next header copy) lands only its first
    // cutSectors sectors; afterwards the machine is off.
    int cutSectors = -1;
    bool cutCopy = false;
    bool off = false;
    uint32_t syncDelayUs = 0;

    // What a machine finds after a restart.
    std::shared_ptr<MemoryDisk> AfterRestart() {
        std::lock_guard<std::mutex> guard(lock);
        auto next = std::make_shared<MemoryDisk>();
        next->file = file;  // a cut machine keeps what reached the platters: the whole prefix
        next->durable = file;
        next->companions = companions;
        return next;
    }

    bool DurableBit(uint32_t index) {
        std::lock_guard<std::mutex> guard(lock);
        const size_t at = 72 + index / 8;
        return at < durable.size() && (durable[at] >> (index % 8) & 1) != 0;
    }
    bool DurableRecord(JournalEvent event, int64_t key) {
        std::lock_guard<std::mutex> guard(lock);
        return durableRecords.count({event, key}) != 0;
    }
};

class MemoryKeyFileIo final : public IKeyFileIo {
  public:
    explicit MemoryKeyFileIo(std::shared_ptr<MemoryDisk> disk) : disk_(std::move(disk)) {}

    int64_t Size() override {
        std::lock_guard<std::mutex> guard(disk_->lock);
        return static_cast<int64_t>(disk_->file.size());
    }
    int64_t ReadAt(uint64_t offset, uint8_t* buffer, size_t len) override {
        std::lock_guard<std::mutex> guard(disk_->lock);
        return Copy(disk_->file, offset, buffer, len);
    }
    int64_t WriteAt(uint64_t offset, const uint8_t* buffer, size_t len) override {
        std::lock_guard<std::mutex> guard(disk_->lock);
        if (disk_->off) {
            return Off();
        }
        size_t land = len;
        if (offset == 0 && disk_->cutSectors >= 0 && !disk_->cutCopy) {
            land = std::min(len, static_cast<size_t>(disk_->cutSectors) * 512);
            disk_->off = true;
        }
        if (disk_->file.size() < offset + land) {
            disk_->file.resize(offset + land);
        }
        std::copy(buffer, buffer + land, disk_->file.begin() + static_cast<long>(offset));
        return disk_->off ? Off() : static_cast<int64_t>(len);
    }
    bool Sync() override {
        if (disk_->syncDelayUs != 0) {
            std::this_thread::sleep_for(std::chrono::microseconds(disk_->syncDelayUs));
        }
        std::lock_guard<std::mutex> guard(disk_->lock);
        if (disk_->off) {
            return Off() == 0;
        }
        disk_->durable = disk_->file;
        return true;
    }
    int LastError() const override { return error_; }

    int64_t CompanionReadAt(KeyFileCompanion which, uint64_t offset, uint8_t* buffer,
                            size_t len) override {
        std::lock_guard<std::mutex> guard(disk_->lock);
        return Copy(disk_->companions[which], offset, buffer, len);
    }
    bool CompanionReplace(KeyFileCompanion which, const uint8_t* data, size_t len) override {
        std::lock_guard<std::mutex> guard(disk_->lock);
        if (disk_->off) {
            return Off() == 0;
        }
        size_t land = len;
        if (disk_->cutSectors >= 0 && disk_->cutCopy) {
            land = std::min(len, static_cast<size_t>(disk_->cutSectors) * 512);
            disk_->off = true;
        }
        disk_->companions[which].assign(data, data + land);
        return disk_->off ? Off() == 0 : true;
    }
    bool CompanionAppend(KeyFileCompanion which, const uint8_t* data, size_t len) override {
        if (disk_->syncDelayUs != 0) {
            std::this_thread::sleep_for(std::chrono::microseconds(disk_->syncDelayUs));
        }
        std::lock_guard<std::mutex> guard(disk_->lock);
        if (disk_->off) {
            return Off() == 0;
        }
        std::vector<uint8_t>& c = disk_->companions[which];
        c.insert(c.end(), data, data + len);
        if (which == KeyFileCompanion::kJournal) {
            for (size_t i = 0; i < len; ++i) {
                if (data[i] != '\n') {
                    disk_->partialLine += static_cast<char>(data[i]);
                    continue;
                }
                JournalRecord r;
                if (ParseJournalRecord(disk_->partialLine, &r)) {
                    disk_->durableRecords.insert({r.event, r.key});
                }
                disk_->partialLine.clear();
            }
        }
        return true;
    }
    bool CompanionClear(KeyFileCompanion which) override {
        std::lock_guard<std::mutex> guard(disk_->lock);
        if (disk_->off) {
            return Off() == 0;
        }
        disk_->companions[which].clear();
        return true;
    }
    void CompanionRemove(KeyFileCompanion which) override {
        std::lock_guard<std::mutex> guard(disk_->lock);
        if (!disk_->off) {
            disk_->companions.erase(which);
        }
    }

  private:
    static int64_t Copy(const std::vector<uint8_t>& from, uint64_t offset, uint8_t* buffer,
                        size_t len) {
        if (offset >= from.size()) {
            return 0;
        }
        const size_t n = std::min(len, from.size() - static_cast<size_t>(offset));
        std::copy(from.begin() + static_cast<long>(offset),
                  from.begin() + static_cast<long>(offset + n), buffer);
        return static_cast<int64_t>(n);
    }
    int64_t Off() {
        error_ = EIO;
        return -1;
    }

    std::shared_ptr<MemoryDisk> disk_;
    int error_ = 0;
};

}  // namespace keydbtest
