#include "keydb/pool/PoolKeySource.h"

#include <libpq-fe.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>

#include "keydb/WipeMemory.h"
#include "keydb/pool/PoolSql.h"
#include "support/Logger.h"

namespace {

constexpr std::chrono::milliseconds kFirstBackoff{250};
constexpr std::chrono::milliseconds kMaxBackoff{8000};
constexpr int32_t kMaxKeySize = 65536;

}  // namespace

CPoolKeySource::CPoolKeySource(std::string conninfo, std::string pool, CLoggerBase* log)
    : conninfo_(std::move(conninfo)), pool_(std::move(pool)), log_(log) {
    std::lock_guard<std::mutex> guard(lock_);
    if (!pool::IsValidPoolName(pool_)) {
        error_ = "the pool name must be 1 to 64 of A-Z a-z 0-9 _ . -";
        return;
    }
    conn_ = PQconnectdb(conninfo_.c_str());
    if (conn_ == nullptr || PQstatus(conn_) != CONNECTION_OK) {
        error_ = "cannot connect to the key pool: " + pool::ConnError(conn_);
        return;
    }
    KeySourceCounts counts;
    valid_ = ReadInfoLocked(&counts, true);
}

CPoolKeySource::~CPoolKeySource() {
    if (conn_ != nullptr) {
        PQfinish(conn_);
    }
}

std::string CPoolKeySource::Describe() const {
    const char* db = conn_ != nullptr ? PQdb(conn_) : nullptr;
    return "pool " + pool_ + " (" + (db != nullptr ? db : "?") + ")";
}

bool CPoolKeySource::ReadInfoLocked(KeySourceCounts* counts, bool atLoad) {
    const char* values[] = {pool_.c_str()};
    pool::Result result(
        PQexecParams(conn_,
                     "SELECT key_size, record_info, created, keys, free, mine_reserved, mine_taken "
                     "FROM keypool.pool_info($1)",
                     1, nullptr, values, nullptr, nullptr, 1));
    if (!result.Ok(PGRES_TUPLES_OK)) {
        error_ = "cannot read the key pool: " + result.Error(conn_);
        return false;
    }
    if (PQntuples(result.get()) != 1 || PQnfields(result.get()) != 7) {
        error_ = "no key pool named " + pool_;
        return false;
    }
    int64_t numbers[7] = {};
    for (int field : {0, 3, 4, 5, 6}) {
        if (!pool::BinaryInt(result.get(), 0, field, &numbers[field])) {
            error_ = "the key pool answered with a malformed row";
            return false;
        }
    }
    const int infoLength = PQgetlength(result.get(), 0, 1);
    const int createdLength = PQgetlength(result.get(), 0, 2);
    if (numbers[0] < 1 || numbers[0] > kMaxKeySize ||
        infoLength != static_cast<int>(recordInfo_.size()) || createdLength > 32) {
        error_ = "the key pool answered with a malformed row";
        return false;
    }
    keySize_ = static_cast<int32_t>(numbers[0]);
    std::memcpy(recordInfo_.data(), PQgetvalue(result.get(), 0, 1), recordInfo_.size());
    created_.assign(PQgetvalue(result.get(), 0, 2), static_cast<size_t>(createdLength));
    counts->keys = numbers[3];
    counts->unused = numbers[4];
    counts->inDoubt = numbers[5];
    if (atLoad && log_ != nullptr && (numbers[5] != 0 || numbers[6] != 0)) {
        log_->Print(1,
                    "Key pool %s: this station holds %lld keys reserved without an end (in "
                    "doubt) and %lld taken but never sent",
                    pool_.c_str(), static_cast<long long>(numbers[5]),
                    static_cast<long long>(numbers[6]));
    }
    return true;
}

bool CPoolKeySource::EnsureConnectedLocked() {
    if (conn_ != nullptr && PQstatus(conn_) == CONNECTION_OK) {
        return true;
    }
    const auto now = std::chrono::steady_clock::now();
    if (now < nextAttempt_) {
        return false;
    }
    if (conn_ == nullptr) {
        conn_ = PQconnectdb(conninfo_.c_str());
    } else {
        PQreset(conn_);
    }
    if (conn_ != nullptr && PQstatus(conn_) == CONNECTION_OK) {
        ++reconnects_;
        backoff_ = std::chrono::milliseconds(0);
        if (log_ != nullptr) {
            log_->Print(1, "Key pool %s: connected again", pool_.c_str());
        }
        return true;
    }
    backoff_ = std::min(kMaxBackoff, backoff_.count() == 0 ? kFirstBackoff : backoff_ * 2);
    nextAttempt_ = now + backoff_;
    if (log_ != nullptr) {
        log_->Print(1, "Error:Key pool %s: connection lost (%s); next attempt in %lld ms",
                    pool_.c_str(), pool::ConnError(conn_).c_str(),
                    static_cast<long long>(backoff_.count()));
    }
    return false;
}

bool CPoolKeySource::TakeKey(const KeyJobInfo& job, int32_t* index, KeyCopy* key) {
    if (index == nullptr || key == nullptr || !valid_) {
        return false;
    }
    std::lock_guard<std::mutex> guard(lock_);
    if (!EnsureConnectedLocked()) {
        return false;
    }
    const std::string slot = std::to_string(job.slot);
    const char* values[] = {pool_.c_str(), slot.c_str(), job.portLocation.c_str()};
    pool::Result result(PQexecParams(conn_,
                                     "SELECT idx, key_bytes FROM keypool.take_key($1, $2, $3)", 3,
                                     nullptr, values, nullptr, nullptr, 1));
    const bool ok =
        result.Ok(PGRES_TUPLES_OK) && PQntuples(result.get()) == 1 && PQnfields(result.get()) == 2;
    int64_t idx = -1;
    const int length = ok ? PQgetlength(result.get(), 0, 1) : 0;
    bool taken = ok && pool::BinaryInt(result.get(), 0, 0, &idx) && idx >= 0 && idx <= INT32_MAX &&
                 length == keySize_;
    if (taken) {
        taken = key->Allocate(static_cast<size_t>(length));
        if (taken) {
            std::memcpy(key->data(), PQgetvalue(result.get(), 0, 1), static_cast<size_t>(length));
            *index = static_cast<int32_t>(idx);
        }
    }
    if (ok && length > 0) {
        WipeMemory(PQgetvalue(result.get(), 0, 1), static_cast<size_t>(length));
    }
    if (!taken && ok && PQntuples(result.get()) != 0 && log_ != nullptr) {
        log_->Print(1, "Error:Key pool %s: a key of the wrong size or index; not used",
                    pool_.c_str());
    }
    return taken;
}

bool CPoolKeySource::StepLocked(const char* sql, int count, const char* const* values,
                                const char* what, int32_t index) {
    if (!EnsureConnectedLocked()) {
        return false;
    }
    pool::Result result(PQexecParams(conn_, sql, count, nullptr, values, nullptr, nullptr, 0));
    const bool done = result.Ok(PGRES_TUPLES_OK) && PQntuples(result.get()) == 1 &&
                      PQnfields(result.get()) == 1 &&
                      std::strcmp(PQgetvalue(result.get(), 0, 0), "t") == 0;
    if (!done && log_ != nullptr) {
        log_->Print(1, "Error:Key pool %s: key %d could not be marked %s (%s)", pool_.c_str(),
                    static_cast<int>(index), what,
                    result.Ok(PGRES_TUPLES_OK) ? "not this station's key in that state"
                                               : result.Error(conn_).c_str());
    }
    EnsureConnectedLocked();  // a connection lost by this call starts its back-off now
    return done;
}

bool CPoolKeySource::ReserveKey(int32_t index, const KeyJobInfo& job) {
    const std::string idx = std::to_string(index);
    const char* values[] = {pool_.c_str(), idx.c_str(), job.serial.c_str(),
                            job.destination.c_str()};
    std::lock_guard<std::mutex> guard(lock_);
    return StepLocked("SELECT keypool.reserve_key($1, $2, $3, $4)", 4, values, "reserved", index);
}

bool CPoolKeySource::DeliverKey(int32_t index, const KeyJobInfo&) {
    const std::string idx = std::to_string(index);
    const char* values[] = {pool_.c_str(), idx.c_str()};
    std::lock_guard<std::mutex> guard(lock_);
    return StepLocked("SELECT keypool.deliver_key($1, $2)", 2, values, "delivered", index);
}

bool CPoolKeySource::SpendKey(int32_t index, const KeyJobInfo&, const std::string& step, int code) {
    const std::string idx = std::to_string(index);
    const std::string codeText = std::to_string(code);
    const char* values[] = {pool_.c_str(), idx.c_str(), step.c_str(), codeText.c_str()};
    std::lock_guard<std::mutex> guard(lock_);
    return StepLocked("SELECT keypool.spend_key($1, $2, $3, $4)", 4, values, "spent", index);
}

void CPoolKeySource::ReturnKey(int32_t index, const KeyJobInfo&) {
    const std::string idx = std::to_string(index);
    const char* values[] = {pool_.c_str(), idx.c_str()};
    std::lock_guard<std::mutex> guard(lock_);
    StepLocked("SELECT keypool.return_key($1, $2)", 2, values, "returned", index);
}

bool CPoolKeySource::GetCounts(KeySourceCounts* out) {
    if (out == nullptr || !valid_) {
        return false;
    }
    std::lock_guard<std::mutex> guard(lock_);
    return EnsureConnectedLocked() && ReadInfoLocked(out, false);
}
