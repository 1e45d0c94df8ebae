// An IKeyFileIo that passes every call to another one: a base for wrappers that change a few
// calls (fault injection in tests, a flush-free file in benchmarks).
#pragma once

#include <memory>
#include <string>
#include <utility>

#include "keydb/KeyFileIo.h"

class CForwardingKeyFileIo : public IKeyFileIo {
  public:
    explicit CForwardingKeyFileIo(std::unique_ptr<IKeyFileIo> real) : real_(std::move(real)) {}

    int64_t Size() override { return real_->Size(); }
    int64_t ReadAt(uint64_t offset, uint8_t* buffer, size_t len) override {
        return real_->ReadAt(offset, buffer, len);
    }
    int64_t WriteAt(uint64_t offset, const uint8_t* buffer, size_t len) override {
        return real_->WriteAt(offset, buffer, len);
    }
    bool Sync() override { return real_->Sync(); }
    int LastError() const override { return real_->LastError(); }
    int64_t CompanionReadAt(KeyFileCompanion which, uint64_t offset, uint8_t* buffer,
                            size_t len) override {
        return real_->CompanionReadAt(which, offset, buffer, len);
    }
    bool CompanionReplace(KeyFileCompanion which, const uint8_t* data, size_t len) override {
        return real_->CompanionReplace(which, data, len);
    }
    bool CompanionAppend(KeyFileCompanion which, const uint8_t* data, size_t len) override {
        return real_->CompanionAppend(which, data, len);
    }
    bool CompanionClear(KeyFileCompanion which) override { return real_->CompanionClear(which); }
    void CompanionRemove(KeyFileCompanion which) override { real_->CompanionRemove(which); }
    std::string CompanionName(KeyFileCompanion which) const override {
        return real_->CompanionName(which);
    }
    void UseStockRecords(const std::string& digestHex) override {
        real_->UseStockRecords(digestHex);
    }
    bool HasSideJournal() const override { return real_->HasSideJournal(); }
    KeyFileOpenStatus OpenRecords(KeyFileCompanion* which) override {
        return real_->OpenRecords(which);
    }
    bool StillHeld(std::string* why) override { return real_->StillHeld(why); }

  protected:
    IKeyFileIo& Real() { return *real_; }

  private:
    std::unique_ptr<IKeyFileIo> real_;
};
