// The shared key pool needs a PostgreSQL client, which the Windows build does not carry: a pool
// named on Windows refuses to load with a reason, and the station keeps working with key files.
#include "keydb/pool/PoolKeySource.h"

#include "keydb/pool/PoolCrypto.h"

namespace {
constexpr const char* kReason = "the shared key pool is not available in the Windows build";
}

CPoolKeySource::CPoolKeySource(std::string conninfo, std::string pool, CLoggerBase* log,
                               const PoolSourceOptions&)
    : conninfo_(std::move(conninfo)), pool_(std::move(pool)), log_(log), error_(kReason) {}

CPoolKeySource::~CPoolKeySource() = default;

bool CPoolKeySource::TakeKey(const KeyJobInfo&, int32_t*, KeyCopy*) {
    return false;
}
bool CPoolKeySource::ReserveKey(int32_t, const KeyJobInfo&) {
    return false;
}
bool CPoolKeySource::DeliverKey(int32_t, const KeyJobInfo&) {
    return false;
}
bool CPoolKeySource::SpendKey(int32_t, const KeyJobInfo&, const std::string&, int) {
    return false;
}
bool CPoolKeySource::ReturnUnsentKey(int32_t, const KeyJobInfo&) {
    return false;
}
bool CPoolKeySource::GetCounts(KeySourceCounts*) {
    return false;
}
std::string CPoolKeySource::Describe() const {
    return "key pool " + pool_ + " (unavailable)";
}
uint64_t CPoolKeySource::GetReconnects() {
    return 0;
}
bool CPoolKeySource::IsUsedKey(const uint8_t*, size_t) {
    return false;
}
bool CPoolKeySource::WasReservedFor(const std::string&) {
    return false;
}
IKeySource::Served CPoolKeySource::WasServed(const std::string&, const uint8_t*, size_t,
                                             std::string* why) {
    if (why != nullptr) {
        *why = kReason;
    }
    return Served::kCannotTell;
}
std::string CPoolKeySource::Server() {
    return {};
}
