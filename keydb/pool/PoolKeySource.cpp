#include "keydb/pool/PoolKeySource.h"

#include <libpq-fe.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <utility>

#include "keydb/KeyJournal.h"
#include "keydb/Sha256.h"
#include "keydb/WipeMemory.h"
#include "keydb/pool/PoolCall.h"
#include "keydb/pool/PoolCrypto.h"
#include "keydb/pool/PoolSql.h"
#include "support/Logger.h"
#include "support/TextCodec.h"

namespace {

constexpr std::chrono::milliseconds kFirstBackoff{250};
constexpr std::chrono::milliseconds kMaxBackoff{8000};
// A call made while the connection is lost waits for it to come back this long before its job
// fails (a short outage, a restart, a failover).
constexpr std::chrono::seconds kRideOut{10};
constexpr int32_t kMaxKeySize = 65536;
constexpr int kConnections = 4;
// Jobs in one draw or delivery call: the slots of a station.
constexpr size_t kBatchMost = 16;
// A batch waits for more jobs while they keep coming, a quiet spell of kGatherStep at a time, at
// most kGatherMost in all: jobs that started together share one call instead of one going ahead.
constexpr std::chrono::microseconds kGatherStep{200};
constexpr std::chrono::microseconds kGatherMost{2000};

}  // namespace

CPoolKeySource::CPoolKeySource(std::string conninfo, std::string pool, CLoggerBase* log,
                               const PoolSourceOptions& options)
    : pool_(std::move(pool)),
      log_(log),
      wrapKey_(std::make_unique<pool::WrapKey>()),
      draws_(std::make_unique<pool::CallBatch<DrawAsk>>(
          kBatchMost, [this](const std::vector<DrawAsk*>& asks) { RunDraws(asks); }, kGatherStep,
          kGatherMost)),
      delivers_(std::make_unique<pool::CallBatch<DeliverAsk>>(
          kBatchMost, [this](const std::vector<DeliverAsk*>& asks) { RunDelivers(asks); },
          kGatherStep, kGatherMost)),
      servedChecks_(std::make_unique<pool::CallBatch<ServedAsk>>(
          kBatchMost, [this](const std::vector<ServedAsk*>& asks) { RunServedChecks(asks); },
          kGatherStep, kGatherMost)) {
    if (!pool::IsValidPoolName(pool_)) {
        error_ = "the pool name must be 1 to 64 of A-Z a-z 0-9 _ . -";
        return;
    }
    if (!pool::CheckConnInfo(conninfo, options.insecureConnection, &conninfo_, &error_)) {
        error_ = "the key pool connection is refused: " + error_;
        return;
    }
    if (options.wrapKeyFile.empty()) {
        error_ = "no wrap key file for the key pool (--pool-wrap-key or KeyPoolWrapKey)";
        return;
    }
    if (!pool::ReadWrapKeyFile(options.wrapKeyFile, wrapKey_.get(), &error_)) {
        return;
    }
    pg_conn* conn = pool::ConnectBounded(conninfo_, limits_);
    bool readOnly = false;
    std::string why;
    insecure_ = options.insecureConnection;
    if (conn == nullptr || PQstatus(conn) != CONNECTION_OK) {
        why = pool::ConnError(conn);
    } else if (!pool::CheckConnected(conn, insecure_, &why)) {
        error_ = "the key pool connection is refused: " + why;
    } else {
        pool::PrepareSession(conn, limits_, &readOnly, &why);
    }
    if (readOnly || why.find("read-only") != std::string::npos) {
        // A standby (libpq refuses it itself when it is asked for a server that takes writes).
        error_ = "the key pool server " +
                 (readOnly ? pool::ServerName(conn) + " " : std::string()) +
                 "is a read-only standby: stations draw keys only from the primary (name the "
                 "primary, or every server with target_session_attrs=read-write)" +
                 (readOnly ? std::string() : ": " + why);
    } else if (!why.empty() && error_.empty()) {
        error_ = "cannot connect to the key pool: " + why;
    }
    if (!error_.empty()) {
        if (conn != nullptr) {
            PQfinish(conn);
        }
        return;
    }
    server_ = pool::ServerName(conn);
    const char* db = PQdb(conn);
    database_ = db != nullptr ? std::string(db, strnlen(db, 64)) : std::string("?");
    KeySourceCounts counts;
    valid_ = ReadInfo(&conn, &counts, true);
    if (valid_ && conn != nullptr) {
        // Keys this station claimed and never reserved (no byte of them left the server) go back.
        const char* values[] = {pool_.c_str()};
        std::string failed;
        pool::Result back(Call(&conn, "CALL keypool.return_unfetched($1)", 1, values, 0, &failed));
        const char* n = back.Ok(PGRES_TUPLES_OK) && PQntuples(back.get()) == 1
                            ? PQgetvalue(back.get(), 0, 0)
                            : "0";
        if (std::strcmp(n, "0") != 0 && log_ != nullptr) {
            log_->Print(ks::kLogKeyPool,
                        "Key pool %s: %s keys this station claimed and never used went back",
                        pool_.c_str(), n);
        }
    }
    std::lock_guard<std::mutex> guard(lock_);
    idle_.push_back(conn);
    made_ = 1;
}

CPoolKeySource::~CPoolKeySource() {
    std::vector<HeldKey> held;
    {
        std::lock_guard<std::mutex> guard(heldLock_);
        held.swap(held_);
    }
    for (const HeldKey& key : held) {
        SpendUnsent(key.index, key.slot, "held");
    }
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

std::string CPoolKeySource::Server() {
    std::lock_guard<std::mutex> guard(lock_);
    return server_;
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

bool CPoolKeySource::ReadInfo(pg_conn** conn, KeySourceCounts* counts, bool atLoad) {
    const char* values[] = {pool_.c_str()};
    std::string why;
    pool::Result result(
        Call(conn,
             "SELECT key_size, record_info, created, keys, free, mine_reserved, mine_taken, "
             "pool_id, wrap_check, blank_keys FROM keypool.pool_info($1)",
             1, values, 1, &why));
    std::string error;
    if (!result.Ok(PGRES_TUPLES_OK)) {
        error = "cannot read the key pool: " + why;
    } else if (PQntuples(result.get()) != 1 || PQnfields(result.get()) != 10) {
        error = "no key pool named " + pool_ + " that this station is bound to";
    }
    int64_t numbers[10] = {};
    for (int field : {0, 3, 4, 5, 6, 7, 9}) {
        if (error.empty() && !pool::BinaryInt(result.get(), 0, field, &numbers[field])) {
            error = "the key pool answered with a malformed row";
        }
    }
    const int infoLength = error.empty() ? PQgetlength(result.get(), 0, 1) : 0;
    const int createdLength = error.empty() ? PQgetlength(result.get(), 0, 2) : 0;
    if (error.empty() &&
        (numbers[0] < 1 || numbers[0] > kMaxKeySize ||
         infoLength != static_cast<int>(recordInfo_.size()) || createdLength > 32 ||
         numbers[7] < 0 || numbers[7] > INT32_MAX || PQgetlength(result.get(), 0, 8) != 32)) {
        error = "the key pool answered with a malformed row";
    }
    if (error.empty() && atLoad) {
        const auto check = pool::WrapCheck(*wrapKey_);
        if (std::memcmp(check.data(), PQgetvalue(result.get(), 0, 8), check.size()) != 0) {
            error = "the wrap key is not the one the pool's keys were imported with";
        }
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
        poolId_ = static_cast<int32_t>(numbers[7]);
    }
    noBlankKey_ = numbers[9] == 0;
    counts->keys = numbers[3];
    counts->unused = numbers[4];
    counts->inDoubt = numbers[5];
    if (atLoad && log_ != nullptr && (numbers[5] != 0 || numbers[6] != 0)) {
        log_->Print(ks::kLogKeyPool,
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
    const bool again = *conn != nullptr || dropped_;
    if (*conn == nullptr) {
        *conn = pool::ConnectBounded(conninfo_, limits_);
    } else {
        PQreset(*conn);
    }
    bool ok = *conn != nullptr && PQstatus(*conn) == CONNECTION_OK;
    bool readOnly = false;
    std::string why;
    if (ok && !pool::CheckConnected(*conn, insecure_, &why)) {
        // Checked again on every connection: where it lands may have changed (a failover).
        why = "refused: " + why;
        ok = false;
    } else if (ok && (!pool::PrepareSession(*conn, limits_, &readOnly, &why) || readOnly)) {
        // A server that has become a standby takes no writes: it is not the pool's server now.
        why = readOnly ? "the server " + pool::ServerName(*conn) + " is a read-only standby" : why;
        ok = false;
    } else if (!ok && why.empty()) {
        why = pool::ConnError(*conn);
    }
    if (ok) {
        const std::string server = pool::ServerName(*conn);
        std::lock_guard<std::mutex> guard(lock_);
        reconnects_ += again ? 1 : 0;
        backoff_ = std::chrono::milliseconds(0);
        if (again && log_ != nullptr) {
            log_->Print(ks::kLogKeyPool, "Key pool %s: connected again", pool_.c_str());
        }
        if (server != server_) {
            // Said once per change, however many connections follow the pool there.
            server_ = server;
            if (log_ != nullptr) {
                log_->Print(ks::kLogKeyPool, "key pool: now on %s", server.c_str());
            }
        }
        return true;
    }
    if (*conn != nullptr) {
        PQfinish(*conn);
        *conn = nullptr;
    }
    NoteFailure("connection lost (" + why + ")");
    return false;
}

void CPoolKeySource::NoteFailure(const std::string& why) {
    std::lock_guard<std::mutex> guard(lock_);
    backoff_ = std::min(kMaxBackoff, backoff_.count() == 0 ? kFirstBackoff : backoff_ * 2);
    nextAttempt_ = std::chrono::steady_clock::now() + backoff_;
    if (log_ != nullptr) {
        log_->Print(ks::kLogKeyPool, "Error:Key pool %s: %s; next attempt in %lld ms",
                    pool_.c_str(), why.c_str(), static_cast<long long>(backoff_.count()));
    }
}

PGresult* CPoolKeySource::Call(pg_conn** conn, const char* sql, int count,
                               const char* const* values, int format, std::string* why,
                               pool::CallEnd* ended) {
    pool::CallEnd end = pool::CallEnd::kLost;
    PGresult* result = pool::BoundedExec(*conn, sql, count, values, format, limits_, &end);
    if (ended != nullptr) {
        *ended = end;
    }
    if (end == pool::CallEnd::kAnswered) {
        pool::Result view(result);
        *why = view.Ok(PGRES_TUPLES_OK) ? std::string() : view.Error(*conn);
        view.Release();
        return result;
    }
    *why = pool::EndText(end);
    if (end != pool::CallEnd::kWarned) {
        // Nothing more is asked on a connection whose call was cut short or broke.
        PQfinish(*conn);
        *conn = nullptr;
        {
            std::lock_guard<std::mutex> guard(lock_);
            dropped_ = true;
        }
        NoteFailure(*why);
    }
    return nullptr;
}

bool CPoolKeySource::ConnectWithin(pg_conn** conn, std::chrono::steady_clock::time_point deadline) {
    for (;;) {
        if (Connect(conn)) {
            return true;
        }
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline) {
            return false;
        }
        std::chrono::steady_clock::time_point next;
        {
            std::lock_guard<std::mutex> guard(lock_);
            next = nextAttempt_;
        }
        std::this_thread::sleep_until(
            std::min(deadline, std::max(next, now + std::chrono::milliseconds(10))));
    }
}

PGresult* CPoolKeySource::CallWithin(pg_conn** conn, const char* sql, int count,
                                     const char* const* values, int format, std::string* why,
                                     bool repeatable) {
    const auto deadline = std::chrono::steady_clock::now() + kRideOut;
    for (;;) {
        if (!ConnectWithin(conn, deadline)) {
            if (why->empty()) {
                *why = "not connected";
            }
            return nullptr;
        }
        pool::CallEnd end = pool::CallEnd::kLost;
        PGresult* result = Call(conn, sql, count, values, format, why, &end);
        // Made again on a new connection only when it never left, or when making it twice
        // changes nothing (a fetch, a check, a delivery): never a claim that may have been made.
        const bool again =
            end == pool::CallEnd::kNotSent || (end == pool::CallEnd::kLost && repeatable);
        if (result != nullptr || !again || std::chrono::steady_clock::now() >= deadline) {
            return result;
        }
    }
}

bool CPoolKeySource::TakeKey(const KeyJobInfo& job, int32_t* index, KeyCopy* key) {
    if (index == nullptr || key == nullptr || !valid_) {
        return false;
    }
    {
        // A key this slot drew for an earlier job that never reserved it: that job has ended.
        std::vector<HeldKey> ended;
        {
            std::lock_guard<std::mutex> guard(heldLock_);
            for (auto it = held_.begin(); it != held_.end();) {
                if (it->slot == job.slot) {
                    ended.push_back(*it);
                    it = held_.erase(it);
                } else {
                    ++it;
                }
            }
        }
        for (const HeldKey& held : ended) {
            SpendUnsent(held.index, held.slot, "held");
        }
    }
    DrawAsk ask{&job, -1, std::string(), nullptr, nullptr, 0, nullptr, 0, std::string()};
    if (!draws_->Run(&ask)) {
        return false;
    }
    const bool drawn = ask.index >= 0;
    const bool fetchedAny = ask.fetched != nullptr;
    const bool opened = drawn &&
                        ask.wrappedLength == keySize_ + static_cast<int>(pool::kWrapOverhead) &&
                        key->Allocate(static_cast<size_t>(keySize_)) &&
                        pool::UnwrapPoolKey(*wrapKey_, poolId_, ask.index,
                                            reinterpret_cast<const uint8_t*>(ask.wrapped),
                                            static_cast<size_t>(ask.wrappedLength), key->data());
    // The key is the one the pool recorded at import: its SHA-256 is the stored digest (a key
    // pooled again under a made-up digest would pass every re-provisioning guard).
    bool digestOk = false;
    if (opened) {
        uint8_t digest[32];
        digestOk = ask.digestLength == 32 && DoHash256(digest, key->data(), key->size()) &&
                   std::memcmp(digest, ask.digest, 32) == 0;
    }
    const bool taken = opened && digestOk;
    ask.fetched.reset();  // the wrapped bytes go with the result
    if (taken) {
        *index = ask.index;
        std::lock_guard<std::mutex> guard(heldLock_);
        held_.push_back({*index, job.slot, KeyState::kTaken});
    } else {
        key->Reset();
    }
    if (log_ != nullptr && ask.status == "limit") {
        log_->Print(ks::kLogKeyPool,
                    "Error:Key pool %s: this station holds as many keys without an end as its "
                    "limit allows; no key handed out",
                    pool_.c_str());
    } else if (log_ != nullptr && ask.status == "unbound") {
        log_->Print(ks::kLogKeyPool, "Error:Key pool %s: this station is not bound to the pool",
                    pool_.c_str());
    } else if (log_ != nullptr && !ask.why.empty()) {
        log_->Print(ks::kLogKeyPool, "Error:Key pool %s: no key drawn (%s)", pool_.c_str(),
                    ask.why.c_str());
    }
    if (drawn && !taken && !fetchedAny) {
        // Reserved, and its bytes never came (the fetch failed): never handed out again.
        SpendUnsent(ask.index, job.slot, "fetch");
    } else if (drawn && !taken) {
        // Reserved on the server but unusable here: never handed out again.
        if (log_ != nullptr) {
            log_->Print(ks::kLogKeyPool,
                        opened ? "Error:Key pool %s: key %d is not the key the pool recorded (its "
                                 "SHA-256 differs from the stored digest); spent"
                               : "Error:Key pool %s: key %d does not open with the wrap key or "
                                 "has the wrong size; spent",
                        pool_.c_str(), static_cast<int>(ask.index));
        }
        SpendUnsent(ask.index, job.slot, opened ? "digest" : "unwrap");
    }
    return taken;
}

namespace {

// A text from a board as the server takes it: well-formed UTF-8, else every byte past ASCII
// becomes '?' (one board's bad bytes must not fail the other jobs of its batch).
std::string ServerText(const std::string& text) {
    if (ks::IsValidUtf8(text)) {
        return text;
    }
    std::string out = text;
    for (char& c : out) {
        if (static_cast<unsigned char>(c) >= 0x80) {
            c = '?';
        }
    }
    return out;
}

// A PostgreSQL array literal of texts: every element quoted, '"' and '\\' escaped.
std::string TextArray(const std::vector<std::string>& items) {
    std::string out = "{";
    for (const std::string& item : items) {
        if (out.size() > 1) {
            out += ',';
        }
        out += '"';
        for (const char c : item) {
            if (c == '"' || c == '\\') {
                out += '\\';
            }
            out += c;
        }
        out += '"';
    }
    return out + "}";
}

bool IsBlankArea(const uint8_t* data, size_t size) {
    const auto same = [&](uint8_t value) {
        return std::all_of(data, data + size, [value](uint8_t b) { return b == value; });
    };
    return size > 0 && (same(0x00) || same(0xFF));
}

std::string IntArray(const std::vector<int32_t>& items) {
    std::string out = "{";
    for (const int32_t item : items) {
        out += (out.size() > 1 ? "," : "") + std::to_string(item);
    }
    return out + "}";
}

}  // namespace

void CPoolKeySource::RunDraws(const std::vector<DrawAsk*>& asks) {
    pg_conn* conn = Borrow();
    std::vector<int32_t> slots;
    std::vector<std::string> ports;
    std::vector<std::string> serials;
    std::vector<std::string> destinations;
    for (const DrawAsk* ask : asks) {
        slots.push_back(ask->job->slot);
        ports.push_back(ServerText(ask->job->portLocation));
        serials.push_back(ServerText(ask->job->serial));
        destinations.push_back(ServerText(ask->job->destination));
    }
    const std::string slotArray = IntArray(slots);
    const std::string portArray = TextArray(ports);
    const std::string serialArray = TextArray(serials);
    const std::string destinationArray = TextArray(destinations);
    const char* values[] = {pool_.c_str(), slotArray.c_str(), portArray.c_str(),
                            serialArray.c_str(), destinationArray.c_str()};
    // Claimed and reserved in one committed (flushed) call for every job asking, then the bytes
    // in the next: they never leave in the transaction that reserved them.
    std::string why;
    pool::Result claimed(CallWithin(&conn, "CALL keypool.claim_keys($1, $2, $3, $4, $5)", 5, values,
                                    1, &why, false));
    std::vector<pool::ArrayItem> idx;
    std::vector<pool::ArrayItem> status;
    const bool answered = claimed.Ok(PGRES_TUPLES_OK) && PQnfields(claimed.get()) == 2 &&
                          PQntuples(claimed.get()) == 1 &&
                          pool::BinaryArray(claimed.get(), 0, 0, asks.size(), &idx) &&
                          pool::BinaryArray(claimed.get(), 0, 1, asks.size(), &status) &&
                          idx.size() == asks.size() && status.size() == asks.size();
    std::vector<int32_t> indices;
    for (size_t i = 0; i < asks.size(); ++i) {
        DrawAsk& ask = *asks[i];
        int64_t n = -1;
        if (!answered) {
            ask.why = why.empty() ? "unexpected answer" : why;
        } else if (pool::ItemInt(idx[i], &n) && n >= 0 && n <= INT32_MAX) {
            ask.index = static_cast<int32_t>(n);
            indices.push_back(ask.index);
        } else if (status[i].data != nullptr) {
            ask.status.assign(status[i].data, std::min<size_t>(status[i].length, 16));
        }
    }
    if (!indices.empty()) {
        const std::string indexArray = IntArray(indices);
        const char* fetchValues[] = {pool_.c_str(), indexArray.c_str()};
        const char* fetchSql = "CALL keypool.fetch_keys($1, $2)";
        std::shared_ptr<pg_result> fetched(
            CallWithin(&conn, fetchSql, 2, fetchValues, 1, &why, true), pool::Discard);
        // Log that no commit has flushed yet lies past the reservation (other sessions' work):
        // one commit that is flushed here and on the synchronous standbys takes it along, then
        // the bytes are asked for again, a few times while others keep writing.
        for (int again = 0;
             again < 5 && fetched != nullptr && PQresultStatus(fetched.get()) != PGRES_TUPLES_OK &&
             why.find("not yet durable") != std::string::npos;
             ++again) {
            std::string flushed;
            pool::Result flush(
                CallWithin(&conn, "SELECT keypool.flush_now()", 0, nullptr, 0, &flushed, true));
            if (!flush.Ok(PGRES_TUPLES_OK)) {
                break;
            }
            why.clear();
            fetched.reset(CallWithin(&conn, fetchSql, 2, fetchValues, 1, &why, true),
                          pool::Discard);
        }
        std::vector<pool::ArrayItem> got;
        std::vector<pool::ArrayItem> wrapped;
        std::vector<pool::ArrayItem> digests;
        const size_t n = indices.size();
        const bool ok = fetched != nullptr && PQresultStatus(fetched.get()) == PGRES_TUPLES_OK &&
                        PQnfields(fetched.get()) == 3 && PQntuples(fetched.get()) == 1 &&
                        pool::BinaryArray(fetched.get(), 0, 0, n, &got) &&
                        pool::BinaryArray(fetched.get(), 0, 1, n, &wrapped) &&
                        pool::BinaryArray(fetched.get(), 0, 2, n, &digests) && got.size() == n &&
                        wrapped.size() == n && digests.size() == n;
        size_t item = 0;
        for (DrawAsk* ask : asks) {
            if (ask->index < 0) {
                continue;
            }
            int64_t at = -1;
            if (ok && pool::ItemInt(got[item], &at) && at == ask->index &&
                wrapped[item].data != nullptr) {
                ask->fetched = fetched;
                ask->wrapped = wrapped[item].data;
                ask->wrappedLength = wrapped[item].length;
                ask->digest = digests[item].data;
                ask->digestLength = digests[item].length;
            } else if (!ok) {
                ask->why = why.empty() ? "unexpected answer" : why;
            }
            ++item;
        }
    }
    GiveBack(conn);
}

bool CPoolKeySource::SpendUnsent(int32_t index, int, const char* why) {
    const std::string idx = std::to_string(index);
    const char* values[] = {pool_.c_str(), idx.c_str(), why, "0"};
    return Step("CALL keypool.spend_key($1, $2, $3, $4)", 4, values, "spent", index);
}

bool CPoolKeySource::Step(const char* sql, int count, const char* const* values, const char* what,
                          int32_t index) {
    pg_conn* conn = Borrow();
    std::string why;
    pool::Result result(CallWithin(&conn, sql, count, values, 0, &why, false));
    const bool done = result.Ok(PGRES_TUPLES_OK) && PQntuples(result.get()) == 1 &&
                      PQnfields(result.get()) == 1 &&
                      std::strcmp(PQgetvalue(result.get(), 0, 0), "t") == 0;
    if (!done && log_ != nullptr) {
        log_->Print(
            ks::kLogKeyPool, "Error:Key pool %s: key %d could not be marked %s (%s)", pool_.c_str(),
            static_cast<int>(index), what,
            result.Ok(PGRES_TUPLES_OK) ? "not this station's key in that state" : why.c_str());
    }
    GiveBack(conn);
    return done;
}

bool CPoolKeySource::MoveHeld(int32_t index, KeyEvent event) {
    std::optional<KeyState> next;
    {
        std::lock_guard<std::mutex> guard(heldLock_);
        const auto it = std::find_if(held_.begin(), held_.end(),
                                     [index](const HeldKey& key) { return key.index == index; });
        if (it == held_.end()) {
            return event != KeyEvent::kReserve && event != KeyEvent::kReturn;
        }
        next = NextKeyState(it->state, event);
        if (next && *next != KeyState::kTaken) {
            held_.erase(it);
        } else if (next) {
            it->state = *next;
        }
    }
    if (!next && log_ != nullptr) {
        log_->Print(ks::kLogKeyPool, "Error:Key pool %s: key %d is taken and cannot %s",
                    pool_.c_str(), static_cast<int>(index), KeyEventName(event));
    }
    return next.has_value();
}

bool CPoolKeySource::ReserveKey(int32_t index, const KeyJobInfo&) {
    // The draw reserved the key on the server before its bytes left; the job's reservation takes
    // it out of the held keys.
    return MoveHeld(index, KeyEvent::kReserve);
}

bool CPoolKeySource::DeliverKey(int32_t index, const KeyJobInfo&) {
    if (!MoveHeld(index, KeyEvent::kDeliver)) {
        return false;  // a held key was never reserved by its job
    }
    DeliverAsk ask{index, false, std::string()};
    if (!valid_ || !delivers_->Run(&ask)) {
        return false;
    }
    if (!ask.delivered && log_ != nullptr) {
        log_->Print(ks::kLogKeyPool, "Error:Key pool %s: key %d could not be marked delivered (%s)",
                    pool_.c_str(), static_cast<int>(index),
                    ask.why.empty() ? "not this station's key in that state" : ask.why.c_str());
    }
    return ask.delivered;
}

void CPoolKeySource::RunDelivers(const std::vector<DeliverAsk*>& asks) {
    pg_conn* conn = Borrow();
    std::vector<int32_t> indices;
    for (const DeliverAsk* ask : asks) {
        indices.push_back(ask->index);
    }
    const std::string indexArray = IntArray(indices);
    const char* values[] = {pool_.c_str(), indexArray.c_str()};
    std::string why;
    pool::Result result(
        CallWithin(&conn, "CALL keypool.deliver_keys($1, $2)", 2, values, 1, &why, true));
    std::vector<pool::ArrayItem> idx;
    std::vector<pool::ArrayItem> delivered;
    const bool ok = result.Ok(PGRES_TUPLES_OK) && PQnfields(result.get()) == 2 &&
                    PQntuples(result.get()) == 1 &&
                    pool::BinaryArray(result.get(), 0, 0, asks.size(), &idx) &&
                    pool::BinaryArray(result.get(), 0, 1, asks.size(), &delivered) &&
                    idx.size() == asks.size() && delivered.size() == asks.size();
    for (size_t i = 0; i < asks.size(); ++i) {
        int64_t n = -1;
        if (!ok) {
            asks[i]->why = why.empty() ? "unexpected answer" : why;
        } else {
            asks[i]->delivered =
                pool::ItemInt(idx[i], &n) && n == asks[i]->index && pool::ItemTrue(delivered[i]);
        }
    }
    GiveBack(conn);
}

bool CPoolKeySource::SpendKey(int32_t index, const KeyJobInfo&, const std::string& step, int code) {
    if (!MoveHeld(index, KeyEvent::kSpend)) {
        return false;  // a held key was never reserved by its job
    }
    const std::string idx = std::to_string(index);
    const std::string codeText = std::to_string(code);
    const char* values[] = {pool_.c_str(), idx.c_str(), step.c_str(), codeText.c_str()};
    return Step("CALL keypool.spend_key($1, $2, $3, $4)", 4, values, "spent", index);
}

bool CPoolKeySource::ReturnUnsentKey(int32_t index, const KeyJobInfo& job) {
    // Returned by its job; but its bytes have left the server: it never becomes free again.
    return MoveHeld(index, KeyEvent::kReturn) && SpendUnsent(index, job.slot, "returned");
}

bool CPoolKeySource::IsUsedKey(const uint8_t* data, size_t size) {
    return data != nullptr && WasServed(std::string(), data, size) == Served::kServed;
}

bool CPoolKeySource::WasReservedFor(const std::string& serial) {
    return WasServed(serial, nullptr, 0) == Served::kServed;
}

IKeySource::Served CPoolKeySource::WasServed(const std::string& serial, const uint8_t* data,
                                             size_t size, std::string* why) {
    // The serial as the draw stored it.
    ServedAsk ask{ServerText(serial), std::string(), false, false, std::string()};
    // A board that never had a key holds a blank key area, which no key of the pool matches
    // unless the pool itself holds such a key (import refuses them): the server is not asked.
    if (data != nullptr && size == static_cast<size_t>(keySize_) &&
        !(noBlankKey_.load() && IsBlankArea(data, size))) {
        uint8_t digest[32];
        if (!DoHash256(digest, data, size)) {
            ask.why = "no digest of the key area";
        } else {
            ask.digest = "\\x" + HexBytes(digest, sizeof(digest));
        }
    }
    if (ask.serial.empty() && ask.digest.empty() && ask.why.empty()) {
        return Served::kNotServed;  // nothing to ask: a blank area and no serial number
    }
    if (!valid_) {
        ask.why = error_.empty() ? "the key pool is not loaded" : error_;
    } else if (ask.why.empty() && !servedChecks_->Run(&ask)) {
        ask.why = "out of memory";
    }
    if (ask.answered) {
        return ask.served ? Served::kServed : Served::kNotServed;
    }
    if (why != nullptr) {
        *why = ask.why.empty() ? "no answer" : ask.why;
    }
    return Served::kCannotTell;
}

void CPoolKeySource::RunServedChecks(const std::vector<ServedAsk*>& asks) {
    pg_conn* conn = Borrow();
    std::vector<std::string> serials;
    std::vector<std::string> digests;
    for (const ServedAsk* ask : asks) {
        serials.push_back(ask->serial);
        digests.push_back(ask->digest);
    }
    const std::string serialArray = TextArray(serials);
    const std::string digestArray = TextArray(digests);
    const char* values[] = {pool_.c_str(), serialArray.c_str(), digestArray.c_str()};
    std::string why;
    pool::Result result(CallWithin(&conn,
                                   "SELECT s.served FROM keypool.boards_served($1, $2, $3) s", 3,
                                   values, 0, &why, true));
    const bool ok = result.Ok(PGRES_TUPLES_OK) && PQnfields(result.get()) == 1 &&
                    PQntuples(result.get()) == static_cast<int>(asks.size());
    for (size_t i = 0; i < asks.size(); ++i) {
        const int row = static_cast<int>(i);
        if (ok && PQgetisnull(result.get(), row, 0) == 0) {
            asks[i]->served = std::strcmp(PQgetvalue(result.get(), row, 0), "t") == 0;
            asks[i]->answered = true;
        } else {
            asks[i]->why = why.empty() ? "unexpected answer" : why;
        }
    }
    if (!ok && log_ != nullptr) {
        log_->Print(ks::kLogKeyPool,
                    "Error:Key pool %s: the re-provisioning check could not be made (%s)",
                    pool_.c_str(), why.empty() ? "unexpected answer" : why.c_str());
    }
    GiveBack(conn);
}

bool CPoolKeySource::GetCounts(KeySourceCounts* out) {
    if (out == nullptr || !valid_) {
        return false;
    }
    pg_conn* conn = Borrow();
    const bool ok = Connect(&conn) && ReadInfo(&conn, out, false);
    GiveBack(conn);
    return ok;
}
