// The key pool's audit head for the shift report: the event chain recomputed here, as
// `kdbtool pool audit` does, over a connection checked as every pool connection is.
#include <libpq-fe.h>

#include <memory>
#include <string>

#include "keydb/pool/PoolCrypto.h"
#include "keydb/pool/PoolSql.h"
#include "tools/kdbtool/KdbPoolAudit.h"
#include "tools/kdbtool/KdbReport.h"

namespace kdbtool {

bool ReadPoolAuditHead(const std::string& conninfo, bool insecure, PoolAuditHead* out) {
    out->asked = true;
    std::string effective;
    if (!pool::CheckConnInfo(conninfo, insecure, &effective, &out->error)) {
        return false;
    }
    std::unique_ptr<PGconn, decltype(&PQfinish)> conn(PQconnectdb(effective.c_str()), &PQfinish);
    if (!conn || PQstatus(conn.get()) != CONNECTION_OK) {
        out->error = "cannot connect: " + pool::ConnError(conn.get());
        return false;
    }
    std::string error;
    if (!pool::CheckConnected(conn.get(), insecure, &error)) {
        out->error = "the connection is refused: " + error;
        return false;
    }
    ChainAudit chain;
    if (!AuditChain(conn.get(), std::string(), &chain, &error)) {
        out->error = "the key pool's events could not be read: " + error;
        return false;
    }
    out->events = chain.events;
    out->brokenAt = chain.brokenAt;
    out->head = chain.headHash;
    out->read = true;
    return true;
}

}  // namespace kdbtool
