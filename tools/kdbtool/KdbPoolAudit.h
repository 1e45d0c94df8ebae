// The parts of `kdbtool pool audit` that trust nothing the audited server computes: the event
// chain recomputed here from each event's raw columns, and the schema's functions, triggers,
// grants and owners compared with what this version of kdbtool installs.
#pragma once

#include <libpq-fe.h>

#include <string>
#include <vector>

namespace kdbtool {

// The text an event's hash covers, from its raw columns (NULL: a null pointer). The one
// definition of it the audit uses; the schema's event_text makes the same text on the server.
struct EventColumns {
    long long id = 0;
    long long unixMicros = 0;
    long long poolId = 0;
    long long idx = 0;
    const std::string* event = nullptr;
    const std::string* station = nullptr;
    const long long* slot = nullptr;
    const std::string* port = nullptr;
    const std::string* serial = nullptr;
    const std::string* destination = nullptr;
    const std::string* step = nullptr;
    const long long* code = nullptr;
    const std::string* reason = nullptr;
};
std::string EventText(const EventColumns& e);

struct ChainAudit {
    long long events = 0;
    long long brokenAt = 0;      // the first event whose id or hash is not what it must be; 0
    std::string headHash;        // hex, as recomputed
    bool expectedFound = false;  // the earlier head given is one of the recomputed hashes
};
// Reads every event in id order and recomputes the chains (one per pool, and before
// keypool.chain_start one over every pool); headHash is the last event's. False (with the
// reason) when the events cannot be read.
bool AuditChain(PGconn* conn, const std::string& expectHead, ChainAudit* out, std::string* error);

// Every difference between the schema on the server and the one this version installs, each
// naming its object; `digest` gets the SHA-256 (hex) of the server's definitions as read.
bool AuditSchema(PGconn* conn, std::vector<std::string>* differences, std::string* digest,
                 std::string* error);

}  // namespace kdbtool
