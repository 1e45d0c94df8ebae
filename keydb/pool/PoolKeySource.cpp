#include "keydb/pool/PoolKeySource.h"

#include <libpq-fe.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>

#include "keydb/KeyJournal.h"
#include "keydb/Sha256.h"
#include "keydb/WipeMemory.h"
#include "keydb/pool/PoolSql.h"
#include "support/Logger.h"

namespace {

constexpr std::chrono::milliseconds kFirstBackoff{250};
constexpr std::chrono::milliseconds kMaxBackoff{8000};
constexpr int32_t kMaxKeySize = 65536;
constexpr int kConnections = 4;

}  // namespace

CPoolKeySource::CPoolKeySource(std::string conninfo, std::string pool, CLoggerBase* log)
    : conninfo_(std::move(conninfo)), pool_(std::move(pool)), log_(log) {
    if (!pool::IsValidPoolName(pool_)) {
        error_ = "the pool name must be 1 to 64 of A-Z a-z 0-9 _ . -";
        return;
    }
    pg_conn* conn = PQconnectdb(conninfo_.c_str());
    if (conn == nullptr || PQstatus(conn) != CONNECTION_OK) {
        error_ = "cannot connect to the key pool: " + pool::ConnError(conn);
        if (conn != nullptr) {
            PQfinish(conn);
        }
        return;
    }
    const char* db = PQdb(conn);
    database_ = db != nullptr ? std::string(db, strnlen(db, 64)) : std::string("?");
    KeySourceCounts counts;
    valid_ = ReadInfo(conn, &counts, true);
    std::lock_guard<std::mutex> guard(lock_);
    idle_.push_back(conn);
    made_ = 1;
}

CPoolKeySource::~CPoolKeySource() {
    for (pg_conn* conn : idle_) {
        if (conn != nullptr) {
            PQfinish(conn);
        }
    }
}

std::string CPoolKeySource::Describe() const {
    return "pool " + pool_ + " (" + database_ + ")";
}

uint64_t CPoolKeySource::GetReconnects() {
    std::lock_guard<std::mutex> guard(lock_);
    return reconnects_;
}

pg_conn* CPoolKeySource::Borrow() {
    std::unique_lock<std::mutex> guard(lock_);
    returned_.wait(guard, [this] { return !idle_.empty() || made_ < kConnections; });
    if (idle_.empty()) {
        ++made_;
        return nullptr;  // a place for a new connection
    }
    pg_conn* conn = idle_.back();
    idle_.pop_back();
    return conn;
}

void CPoolKeySource::GiveBack(pg_conn* conn) {
    {
        std::lock_guard<std::mutex> guard(lock_);
        idle_.push_back(conn);
    }
    returned_.notify_one();
}

bool CPoolKeySource::ReadInfo(pg_conn* conn, KeySourceCounts* counts, bool atLoad) {
    const char* values[] = {pool_.c_str()};
    pool::Result result(
        PQexecParams(conn,
                     "SELECT key_size, record_info, created, keys, free, mine_reserved, mine_taken "
                     "FROM keypool.pool_info($1)",
                     1, nullptr, values, nullptr, nullptr, 1));
    std::string error;
    if (!result.Ok(PGRES_TUPLES_OK)) {
        error = "cannot read the key pool: " + result.Error(conn);
    } else if (PQntuples(result.get()) != 1 || PQnfields(result.get()) != 7) {
        error = "no key pool named " + pool_;
    }
    int64_t numbers[7] = {};
    for (int field : {0, 3, 4, 5, 6}) {
        if (error.empty() && !pool::BinaryInt(result.get(), 0, field, &numbers[field])) {
            error = "the key pool answered with a malformed row";
        }
    }
    const int infoLength = error.empty() ? PQgetlength(result.get(), 0, 1) : 0;
    const int createdLength = error.empty() ? PQgetlength(result.get(), 0, 2) : 0;
    if (error.empty() &&
        (numbers[0] < 1 || numbers[0] > kMaxKeySize ||
         infoLength != static_cast<int>(recordInfo_.size()) || createdLength > 32)) {
        error = "the key pool answered with a malformed row";
    }
    if (!error.empty()) {
        if (atLoad) {
            error_ = error;
        }
        return false;
    }
    if (atLoad) {
        // Fixed for the life of the source: read once, before any job runs.
        keySize_ = static_cast<int32_t>(numbers[0]);
        std::memcpy(recordInfo_.data(), PQgetvalue(result.get(), 0, 1), recordInfo_.size());
        created_.assign(PQgetvalue(result.get(), 0, 2), static_cast<size_t>(createdLength));
    }
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

bool CPoolKeySource::Connect(pg_conn** conn) {
    if (*conn != nullptr && PQstatus(*conn) == CONNECTION_OK) {
        return true;
    }
    const auto now = std::chrono::steady_clock::now();
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (now < nextAttempt_) {
            return false;
        }
    }
    const bool again = *conn != nullptr;
    if (*conn == nullptr) {
        *conn = PQconnectdb(conninfo_.c_str());
    } else {
        PQreset(*conn);
    }
    const bool ok = *conn != nullptr && PQstatus(*conn) == CONNECTION_OK;
    std::lock_guard<std::mutex> guard(lock_);
    if (ok) {
        reconnects_ += again ? 1 : 0;
        backoff_ = std::chrono::milliseconds(0);
        if (again && log_ != nullptr) {
            log_->Print(1, "Key pool %s: connected again", pool_.c_str());
        }
        return true;
    }
    backoff_ = std::min(kMaxBackoff, backoff_.count() == 0 ? kFirstBackoff : backoff_ * 2);
    nextAttempt_ = std::chrono::steady_clock::now() + backoff_;
    if (log_ != nullptr) {
        log_->Print(1, "Error:Key pool %s: connection lost (%s); next attempt in %lld ms",
                    pool_.c_str(), pool::ConnError(*conn).c_str(),
                    static_cast<long long>(backoff_.count()));
    }
    return false;
}

bool CPoolKeySource::TakeKey(const KeyJobInfo& job, int32_t* index, KeyCopy* key) {
    if (index == nullptr || key == nullptr || !valid_) {
        return false;
    }
    pg_conn* conn = Borrow();
    if (!Connect(&conn)) {
        GiveBack(conn);
        return false;
    }
    const std::string slot = std::to_string(job.slot);
    const char* values[] = {pool_.c_str(), slot.c_str(), job.portLocation.c_str()};
    pool::Result result(PQexecParams(conn,
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
    GiveBack(conn);
    return taken;
}

bool CPoolKeySource::Step(const char* sql, int count, const char* const* values, const char* what,
                          int32_t index) {
    pg_conn* conn = Borrow();
    if (!Connect(&conn)) {
        GiveBack(conn);
        return false;
    }
    pool::Result result(PQexecParams(conn, sql, count, nullptr, values, nullptr, nullptr, 0));
    const bool done = result.Ok(PGRES_TUPLES_OK) && PQntuples(result.get()) == 1 &&
                      PQnfields(result.get()) == 1 &&
                      std::strcmp(PQgetvalue(result.get(), 0, 0), "t") == 0;
    if (!done && log_ != nullptr) {
        log_->Print(1, "Error:Key pool %s: key %d could not be marked %s (%s)", pool_.c_str(),
                    static_cast<int>(index), what,
                    result.Ok(PGRES_TUPLES_OK) ? "not this station's key in that state"
                                               : result.Error(conn).c_str());
    }
    GiveBack(conn);
    return done;
}

bool CPoolKeySource::ReserveKey(int32_t index, const KeyJobInfo& job) {
    const std::string idx = std::to_string(index);
    const char* values[] = {pool_.c_str(), idx.c_str(), job.serial.c_str(),
                            job.destination.c_str()};
    return Step("SELECT keypool.reserve_key($1, $2, $3, $4)", 4, values, "reserved", index);
}

bool CPoolKeySource::DeliverKey(int32_t index, const KeyJobInfo&) {
    const std::string idx = std::to_string(index);
    const char* values[] = {pool_.c_str(), idx.c_str()};
    return Step("SELECT keypool.deliver_key($1, $2)", 2, values, "delivered", index);
}

bool CPoolKeySource::SpendKey(int32_t index, const KeyJobInfo&, const std::string& step, int code) {
    const std::string idx = std::to_string(index);
    const std::string codeText = std::to_string(code);
    const char* values[] = {pool_.c_str(), idx.c_str(), step.c_str(), codeText.c_str()};
    return Step("SELECT keypool.spend_key($1, $2, $3, $4)", 4, values, "spent", index);
}

void CPoolKeySource::ReturnKey(int32_t index, const KeyJobInfo&) {
    const std::string idx = std::to_string(index);
    const char* values[] = {pool_.c_str(), idx.c_str()};
    Step("SELECT keypool.return_key($1, $2)", 2, values, "returned", index);
}

bool CPoolKeySource::Ask(const char* sql, int count, const char* const* values) {
    if (!valid_) {
        return false;
    }
    pg_conn* conn = Borrow();
    if (!Connect(&conn)) {
        GiveBack(conn);
        return false;
    }
    pool::Result result(PQexecParams(conn, sql, count, nullptr, values, nullptr, nullptr, 0));
    const bool ok =
        result.Ok(PGRES_TUPLES_OK) && PQntuples(result.get()) == 1 && PQnfields(result.get()) == 1;
    const bool yes = ok && std::strcmp(PQgetvalue(result.get(), 0, 0), "t") == 0;
    if (!ok && log_ != nullptr) {
        log_->Print(1, "Error:Key pool %s: the re-provisioning check could not be made (%s)",
                    pool_.c_str(), result.Error(conn).c_str());
    }
    GiveBack(conn);
    return yes;
}

bool CPoolKeySource::IsUsedKey(const uint8_t* data, size_t size) {
    if (data == nullptr || size != static_cast<size_t>(keySize_)) {
        return false;
    }
    uint8_t digest[32];
    if (!DoHash256(digest, data, size)) {
        return false;
    }
    const std::string digestText = "\\x" + HexBytes(digest, sizeof(digest));
    const char* values[] = {pool_.c_str(), digestText.c_str()};
    return Ask("SELECT keypool.key_used($1, $2)", 2, values);
}

bool CPoolKeySource::WasDeliveredTo(const std::string& serial) {
    if (serial.empty()) {
        return false;
    }
    const char* values[] = {pool_.c_str(), serial.c_str()};
    return Ask("SELECT keypool.serial_delivered($1, $2)", 2, values);
}

bool CPoolKeySource::GetCounts(KeySourceCounts* out) {
    if (out == nullptr || !valid_) {
        return false;
    }
    pg_conn* conn = Borrow();
    const bool ok = Connect(&conn) && ReadInfo(conn, out, false);
    GiveBack(conn);
    return ok;
}
