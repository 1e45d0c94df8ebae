#include <utility>

#include "keydb/KeyFile.h"
#include "keydb/KeySource.h"

CKeyFileSource::CKeyFileSource(std::unique_ptr<CKeyFile> file, std::string path)
    : owned_(std::move(file)), file_(owned_.get()), path_(std::move(path)) {}

CKeyFileSource::CKeyFileSource(CKeyFile* file, std::string path)
    : file_(file), path_(std::move(path)) {}

CKeyFileSource::~CKeyFileSource() = default;

bool CKeyFileSource::TakeKey(const KeyJobInfo&, int32_t* index, KeyCopy* key) {
    return file_ != nullptr && file_->GetKey(index, key);
}

bool CKeyFileSource::ReserveKey(int32_t index, const KeyJobInfo& job) {
    return file_ != nullptr && file_->ReserveKey(index, job);
}

bool CKeyFileSource::DeliverKey(int32_t index, const KeyJobInfo& job) {
    return file_ != nullptr && file_->DeliverKey(index, job);
}

bool CKeyFileSource::SpendKey(int32_t index, const KeyJobInfo& job, const std::string& step,
                              int code) {
    return file_ != nullptr && file_->SpendKey(index, job, step, code);
}

bool CKeyFileSource::ReturnUnsentKey(int32_t index, const KeyJobInfo& job) {
    return file_ != nullptr && file_->ReturnKey(index, job);
}

bool CKeyFileSource::IsUsedKey(const uint8_t* data, size_t size) {
    return file_ != nullptr && file_->IsUsedKey(data, size);
}

bool CKeyFileSource::WasReservedFor(const std::string& serial) {
    return file_ != nullptr && file_->WasReservedFor(serial);
}

bool CKeyFileSource::GetCounts(KeySourceCounts* out) {
    if (file_ == nullptr || out == nullptr) {
        return false;
    }
    out->keys = file_->GetKeyCount();
    out->unused = file_->GetUnusedCount();
    out->inDoubt = file_->GetInDoubtCount();
    return true;
}

int32_t CKeyFileSource::GetKeySize() const {
    return file_ != nullptr ? file_->GetKeySize() : 0;
}

const uint8_t* CKeyFileSource::GetRecordInfo() const {
    return file_ != nullptr ? file_->GetRecordInfo() : nullptr;
}

std::string CKeyFileSource::GetCreateTime() const {
    return file_ != nullptr ? file_->GetCreateTime() : std::string();
}

bool CKeyFileSource::IsBroken() const {
    return file_ == nullptr || file_->IsBroken();
}

std::string CKeyFileSource::BrokenReason() {
    return file_ != nullptr ? file_->GetBrokenReason() : std::string();
}

std::vector<std::string> CKeyFileSource::LoadNotes() const {
    return file_ != nullptr ? file_->GetLoadNotes() : std::vector<std::string>();
}
