#include "keydb/pool/PoolCall.h"

#include <libpq-fe.h>

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>

#include "keydb/WipeMemory.h"
#include "keydb/pool/PoolSql.h"

namespace pool {

namespace {

using Clock = std::chrono::steady_clock;

// Set while a call runs: whether the server sent a warning with its answer.
void NoteWarning(void* arg, const PGresult* notice) {
    const char* severity = PQresultErrorField(notice, PG_DIAG_SEVERITY_NONLOCALIZED);
    if (arg != nullptr && severity != nullptr && std::strcmp(severity, "WARNING") == 0) {
        *static_cast<bool*>(arg) = true;
    }
}

void IgnoreNotice(void*, const PGresult*) {}

// Waits until libpq can hand out the next result without blocking, or the deadline passes; false
// on the deadline or a broken connection (`broken` tells which).
bool WaitReady(PGconn* conn, Clock::time_point deadline, bool* broken) {
    for (;;) {
        if (PQconsumeInput(conn) == 0) {
            *broken = true;
            return false;
        }
        if (PQisBusy(conn) == 0) {
            return true;
        }
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            return false;
        }
        pollfd fd{PQsocket(conn), POLLIN, 0};
        if (fd.fd < 0) {
            *broken = true;
            return false;
        }
        const int ready = ::poll(&fd, 1, static_cast<int>(std::min<long long>(left.count(), 1000)));
        if (ready < 0 && errno != EINTR) {
            *broken = true;
            return false;
        }
    }
}

}  // namespace

void Discard(PGresult* result) {
    if (result == nullptr) {
        return;
    }
    for (int row = 0; row < PQntuples(result); ++row) {
        for (int field = 0; field < PQnfields(result); ++field) {
            const int length = PQgetlength(result, row, field);
            if (length > 0) {
                WipeMemory(PQgetvalue(result, row, field), static_cast<size_t>(length));
            }
        }
    }
    PQclear(result);
}

namespace {

// Collects the statement's results up to the end of the exchange (the server commits before
// it ends it); the first result is kept. False on the deadline or a broken connection.
bool Collect(PGconn* conn, Clock::time_point deadline, PGresult** first, bool* broken) {
    for (;;) {
        if (!WaitReady(conn, deadline, broken)) {
            return false;
        }
        PGresult* r = PQgetResult(conn);
        if (r == nullptr) {
            return true;
        }
        if (*first == nullptr) {
            *first = r;
        } else {
            Discard(r);
        }
    }
}

bool Names(const std::string& conninfo, const char* keyword) {
    PQconninfoOption* options = PQconninfoParse(conninfo.c_str(), nullptr);
    bool named = false;
    for (PQconninfoOption* o = options; o != nullptr && o->keyword != nullptr; ++o) {
        named = named || (std::strcmp(o->keyword, keyword) == 0 && o->val != nullptr);
    }
    PQconninfoFree(options);
    return named;
}

}  // namespace

PGconn* ConnectBounded(const std::string& conninfo, const CallLimits& limits) {
    // Values before "dbname" are defaults that the expanded connection string overrides.
    const std::string timeout = std::to_string(limits.connect.count());
    const char* keywords[] = {"connect_timeout", "target_session_attrs", "dbname", nullptr};
    const char* values[] = {timeout.c_str(), "read-write", conninfo.c_str(), nullptr};
    if (Names(conninfo, "target_session_attrs")) {
        keywords[1] = "dbname";
        values[1] = conninfo.c_str();
        keywords[2] = nullptr;
        values[2] = nullptr;
    }
    return PQconnectdbParams(keywords, values, 1);
}

bool PrepareSession(PGconn* conn, const CallLimits& limits, bool* readOnly, std::string* error) {
    const std::string statement = std::to_string(limits.statement.count());
    const std::string lock = std::to_string(limits.lock.count());
    const char* values[] = {statement.c_str(), lock.c_str()};
    CallEnd end = CallEnd::kLost;
    Result result(BoundedExec(conn,
                              "SELECT set_config('statement_timeout', $1, false), "
                              "set_config('lock_timeout', $2, false), "
                              "pg_is_in_recovery() OR current_setting('transaction_read_only') = "
                              "'on'",
                              2, values, 0, limits, &end));
    if (end != CallEnd::kAnswered || !result.Ok(PGRES_TUPLES_OK) || PQntuples(result.get()) != 1 ||
        PQnfields(result.get()) != 3) {
        *error =
            end == CallEnd::kTimedOut ? "the server did not answer in time" : result.Error(conn);
        return false;
    }
    *readOnly = std::strcmp(PQgetvalue(result.get(), 0, 2), "t") == 0;
    return true;
}

PGresult* BoundedExec(PGconn* conn, const char* sql, int count, const char* const* values,
                      int resultFormat, const CallLimits& limits, CallEnd* end) {
    *end = CallEnd::kNotSent;
    if (conn == nullptr || PQstatus(conn) != CONNECTION_OK) {
        return nullptr;
    }
    // A connection the server closed while it was idle (a restart, a failover) is found out
    // before anything is sent: such a call may be made again on a new connection.
    pollfd idle{PQsocket(conn), POLLIN, 0};
    if (idle.fd < 0 || (::poll(&idle, 1, 0) > 0 &&
                        (PQconsumeInput(conn) == 0 || PQstatus(conn) != CONNECTION_OK))) {
        return nullptr;
    }
    bool warned = false;
    PQsetNoticeReceiver(conn, NoteWarning, &warned);
    const auto deadline = Clock::now() + limits.call;
    if (PQsendQueryParams(conn, sql, count, nullptr, values, nullptr, nullptr, resultFormat) != 1) {
        PQsetNoticeReceiver(conn, IgnoreNotice, nullptr);
        return nullptr;
    }
    bool broken = false;
    PGresult* result = nullptr;
    const bool answered = !broken && Collect(conn, deadline, &result, &broken);
    if (!answered && !broken) {
        // Past the limit: the server is asked to cancel the statement and given a moment to say
        // so; the call has failed whatever it answers.
        char reason[256] = {};
        if (PGcancel* cancel = PQgetCancel(conn)) {
            PQcancel(cancel, reason, sizeof reason);
            PQfreeCancel(cancel);
        }
        bool ignored = false;
        Collect(conn, Clock::now() + limits.cancelWait, &result, &ignored);
        Discard(result);
        PQsetNoticeReceiver(conn, IgnoreNotice, nullptr);
        *end = CallEnd::kTimedOut;
        return nullptr;
    }
    PQsetNoticeReceiver(conn, IgnoreNotice, nullptr);
    if (broken || PQstatus(conn) != CONNECTION_OK) {
        *end = CallEnd::kLost;
    } else {
        *end = warned ? CallEnd::kWarned : CallEnd::kAnswered;
    }
    if (*end != CallEnd::kAnswered) {
        Discard(result);
        return nullptr;
    }
    return result;
}

const char* EndText(CallEnd end) {
    switch (end) {
        case CallEnd::kAnswered:
            return "answered";
        case CallEnd::kWarned:
            return "the server warned that the commit is not confirmed by its synchronous standby";
        case CallEnd::kTimedOut:
            return "no answer within the call's time limit; cancelled";
        case CallEnd::kNotSent:
            return "connection lost (the call was not sent)";
        case CallEnd::kLost:
            break;
    }
    return "connection lost";
}

std::string ServerName(const PGconn* conn) {
    if (conn == nullptr) {
        return std::string();
    }
    const char* host = PQhost(conn);
    const char* port = PQport(conn);
    std::string name(host != nullptr ? std::string(host, strnlen(host, 256)) : std::string("?"));
    if (port != nullptr && port[0] != '\0') {
        name += ":" + std::string(port, strnlen(port, 16));
    }
    return name;
}

}  // namespace pool
