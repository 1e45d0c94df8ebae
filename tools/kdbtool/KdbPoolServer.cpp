#include "tools/kdbtool/KdbPoolServer.h"

#include <cstdio>
#include <cstring>

#include "keydb/pool/PoolSql.h"

namespace kdbtool {

namespace {

std::string Field(const PGresult* r, int row, int field) {
    return std::string(PQgetvalue(r, row, field),
                       static_cast<size_t>(std::min(PQgetlength(r, row, field), 256)));
}

}  // namespace

bool ReadPoolServer(PGconn* conn, nlohmann::json* out, std::string* error) {
    // sync_state is readable by superusers and members of pg_read_all_stats (pg_monitor) only;
    // for others it is NULL and the standby's state is unknown.
    pool::Result r(PQexec(conn,
                          "SELECT pg_is_in_recovery(), current_setting('synchronous_commit'), "
                          "current_setting('synchronous_standby_names'), r.application_name, "
                          "r.sync_state, r.state FROM (SELECT 1) AS one LEFT JOIN "
                          "(SELECT * FROM pg_stat_replication LIMIT 16) r ON true"));
    if (!r.Ok(PGRES_TUPLES_OK) || PQntuples(r.get()) < 1 || PQnfields(r.get()) != 6) {
        *error = r.Error(conn);
        return false;
    }
    const PGresult* res = r.get();
    const bool standby = Field(res, 0, 0) == "t";
    const std::string commit = Field(res, 0, 1);
    const std::string names = Field(res, 0, 2);
    nlohmann::json server;
    server["role"] = standby ? "standby" : "primary";
    server["synchronousCommit"] = commit;
    server["synchronousStandbyNames"] = names;
    server["synchronousStandbys"] = nlohmann::json::array();
    server["warnings"] = nlohmann::json::array();
    if (standby) {
        *out = server;
        return true;
    }
    int synchronous = 0;
    int unknown = 0;
    for (int i = 0; i < PQntuples(res); ++i) {
        if (PQgetisnull(res, i, 3) != 0) {
            continue;  // no standby connected at all
        }
        if (PQgetisnull(res, i, 4) != 0) {
            ++unknown;
            continue;
        }
        const std::string state = Field(res, i, 4);
        if (state == "sync" || state == "quorum") {
            ++synchronous;
            server["synchronousStandbys"].push_back(
                {{"name", Field(res, i, 3)}, {"syncState", state}, {"state", Field(res, i, 5)}});
        }
    }
    auto& warnings = server["warnings"];
    const bool waits = commit == "on" || commit == "remote_apply" || commit == "remote_write";
    if (names.empty() || !waits) {
        warnings.push_back(
            "the server has no synchronous standby: a reservation is kept on this server alone "
            "and a failover may lose it");
    } else if (synchronous == 0 && unknown == 0) {
        warnings.push_back(
            "synchronous_standby_names is set but no synchronous standby is connected: every "
            "reservation waits for it, and stations time out");
    } else if (synchronous == 0) {
        warnings.push_back("the standbys' state cannot be read by this role (grant it pg_monitor)");
    }
    *out = server;
    return true;
}

void PrintPoolServer(const nlohmann::json& server) {
    if (server["role"] == "standby") {
        std::printf(
            "server: a read-only standby (status and audit only; stations draw keys "
            "from the primary)\n");
        return;
    }
    std::printf("server: primary, synchronous_commit = %s\n",
                server["synchronousCommit"].get<std::string>().c_str());
    for (const auto& s : server["synchronousStandbys"]) {
        std::printf("  synchronous standby %s (%s, %s)\n", s["name"].get<std::string>().c_str(),
                    s["syncState"].get<std::string>().c_str(),
                    s["state"].get<std::string>().c_str());
    }
    for (const auto& w : server["warnings"]) {
        std::fprintf(stderr, "kdbtool pool: warning: %s\n", w.get<std::string>().c_str());
        std::printf("warning: %s\n", w.get<std::string>().c_str());
    }
}

}  // namespace kdbtool
