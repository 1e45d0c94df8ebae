// Pool calls that never wait for ever, and where a connection lands. A station's connection asks
// for a server that takes writes (target_session_attrs=read-write unless the connection string
// says otherwise) and bounds every statement on the server (statement and lock time-outs); every
// call is also bounded on the client: past its limit the statement is cancelled on the
// connection (PQcancel) and the call fails as a lost connection does. A commit whose wait for the
// synchronous standby was cut short is committed on the primary alone: the server answers it
// with a warning, and such a call fails too (its key may be lost in a failover: never sent).
#pragma once

#include <chrono>
#include <string>

// libpq's handles, as <libpq-fe.h> declares them: this header is also read where there is no
// libpq (the Windows build's pool stand-in), and only the implementation calls libpq.
typedef struct pg_conn PGconn;
typedef struct pg_result PGresult;

namespace pool {

struct CallLimits {
    std::chrono::milliseconds call{5000};        // the whole call, as the client waits for it
    std::chrono::milliseconds cancelWait{1500};  // after the cancel, for the server to answer it
    std::chrono::milliseconds statement{4000};   // the server's statement_timeout
    std::chrono::milliseconds lock{2000};        // the server's lock_timeout
    std::chrono::seconds connect{5};             // libpq's connect_timeout, per server tried
};

enum class CallEnd {
    kAnswered,  // the server answered without a warning (the result says how)
    kWarned,    // answered, with a warning: not to be trusted as done
    kTimedOut,  // cancelled past the limit; the connection is of no further use
    kLost,      // the connection broke
    kNotSent,   // the statement never left: not connected, or the send failed
};

// Opens a connection: connect_timeout and target_session_attrs=read-write unless `conninfo`
// names them itself. Never null unless out of memory; check PQstatus.
PGconn* ConnectBounded(const std::string& conninfo, const CallLimits& limits);

// Sets the session's server-side bounds and tells whether the server takes writes. False (with
// the reason) when it could not be asked.
bool PrepareSession(PGconn* conn, const CallLimits& limits, bool* readOnly, std::string* error);

// One statement with text parameters, bounded as above. The result, only when the call ended
// kAnswered (null else), is the caller's to clear.
PGresult* BoundedExec(PGconn* conn, const char* sql, int count, const char* const* values,
                      int resultFormat, const CallLimits& limits, CallEnd* end);

// Clears a result that is not used, its values wiped first (a key may be among them).
void Discard(PGresult* result);

// Why a call ended as it did, for the log.
const char* EndText(CallEnd end);

// "host:port" of the server the connection is on (a socket folder stands for the host).
std::string ServerName(const PGconn* conn);

}  // namespace pool
