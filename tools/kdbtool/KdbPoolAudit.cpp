#include "tools/kdbtool/KdbPoolAudit.h"

#include <cstdlib>
#include <cstring>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "keydb/KeyJournal.h"
#include "keydb/Sha256.h"
#include "keydb/pool/PoolSchema.h"
#include "keydb/pool/PoolSql.h"

namespace kdbtool {

namespace {

// PostgreSQL's quote_literal: quotes and backslashes doubled, E'' when there is a backslash.
std::string QuoteLiteral(const std::string& value) {
    std::string out = value.find('\\') != std::string::npos ? "E'" : "'";
    for (const char c : value) {
        if (c == '\'' || c == '\\') {
            out += c;
        }
        out += c;
    }
    return out + "'";
}

std::string QuoteNullable(const std::string* value) {
    return value == nullptr ? "NULL" : QuoteLiteral(*value);
}

std::string QuoteNullable(const long long* value) {
    return value == nullptr ? "NULL" : QuoteLiteral(std::to_string(*value));
}

std::string Field(const PGresult* r, int row, int field) {
    return std::string(PQgetvalue(r, row, field), static_cast<size_t>(PQgetlength(r, row, field)));
}

// Seconds from 1970 to 2000, the server's epoch for timestamps, in microseconds.
constexpr long long kPgEpochMicros = 946684800LL * 1000000LL;

}  // namespace

std::string EventText(const EventColumns& e) {
    std::string text = std::to_string(e.id) + "," + std::to_string(e.unixMicros) + "," +
                       std::to_string(e.poolId) + "," + std::to_string(e.idx);
    for (const std::string& part :
         {QuoteNullable(e.event), QuoteNullable(e.station), QuoteNullable(e.slot),
          QuoteNullable(e.port), QuoteNullable(e.serial), QuoteNullable(e.destination),
          QuoteNullable(e.step), QuoteNullable(e.code)}) {
        text += "," + part;
    }
    if (e.reason != nullptr) {
        text += "," + QuoteLiteral(*e.reason);
    }
    return text;
}

bool AuditChain(PGconn* conn, const std::string& expectHead, ChainAudit* out, std::string* error) {
    // Events before chain_start form one chain over every pool with ids 1, 2, 3, ...; from it on,
    // each pool's events chain on their own, the first to the last event before chain_start.
    pool::Result start(PQexec(conn, "SELECT first_id FROM keypool.chain_start"));
    if (!start.Ok(PGRES_TUPLES_OK) || PQntuples(start.get()) != 1) {
        *error = start.Ok(PGRES_TUPLES_OK) ? "keypool.chain_start does not hold one row"
                                           : start.Error(conn);
        return false;
    }
    const long long firstPerPool = std::atoll(PQgetvalue(start.get(), 0, 0));
    std::string previous;  // the stored hash of the event before (of one chain over every pool)
    std::map<long long, std::string> poolPrevious;  // the same per pool, from firstPerPool on
    long long lastId = 0;
    for (;;) {
        const std::string after = std::to_string(lastId);
        const char* values[] = {after.c_str()};
        pool::Result r(PQexecParams(
            conn,
            "SELECT id, at, pool_id, idx, event, station, slot, port_location, serial, "
            "destination, step, code, reason, hash FROM keypool.events WHERE id > $1::bigint "
            "ORDER BY id LIMIT 20000",
            1, nullptr, values, nullptr, nullptr, 1));
        if (!r.Ok(PGRES_TUPLES_OK) || PQnfields(r.get()) != 14) {
            *error = r.Error(conn);
            return false;
        }
        const int rows = PQntuples(r.get());
        for (int i = 0; i < rows; ++i) {
            const PGresult* res = r.get();
            int64_t numbers[4] = {};
            for (int f = 0; f < 4; ++f) {
                pool::BinaryInt(res, i, f, &numbers[f]);
            }
            std::string texts[13];
            const std::string* text[13] = {};
            long long ints[13] = {};
            const long long* intp[13] = {};
            for (int f : {4, 5, 7, 8, 9, 10, 12}) {
                if (PQgetisnull(res, i, f) == 0) {
                    texts[f] = Field(res, i, f);
                    text[f] = &texts[f];
                }
            }
            for (int f : {6, 11}) {
                int64_t v = 0;
                if (pool::BinaryInt(res, i, f, &v)) {
                    ints[f] = v;
                    intp[f] = &ints[f];
                }
            }
            EventColumns e;
            e.id = numbers[0];
            e.unixMicros = numbers[1] + kPgEpochMicros;
            e.poolId = numbers[2];
            e.idx = numbers[3];
            e.event = text[4];
            e.station = text[5];
            e.slot = intp[6];
            e.port = text[7];
            e.serial = text[8];
            e.destination = text[9];
            e.step = text[10];
            e.code = intp[11];
            e.reason = text[12];
            const std::string line = EventText(e);
            const bool perPool = e.id >= firstPerPool;
            const auto own = poolPrevious.find(e.poolId);
            const std::string& before =
                perPool && own != poolPrevious.end() ? own->second : previous;
            CSha256 sha;
            sha.Update(reinterpret_cast<const uint8_t*>(before.data()), before.size());
            sha.Update(reinterpret_cast<const uint8_t*>(line.data()), line.size());
            uint8_t hash[CSha256::kDigestSize];
            sha.Final(hash);
            const std::string stored = Field(res, i, 13);
            ++out->events;
            const bool ok = (perPool || e.id == out->events) && stored.size() == sizeof hash &&
                            std::memcmp(stored.data(), hash, sizeof hash) == 0;
            if (!ok && out->brokenAt == 0) {
                out->brokenAt = e.id;
            }
            const std::string hex = HexBytes(hash, sizeof hash);
            if (out->brokenAt == 0 && hex == expectHead) {
                out->expectedFound = true;
            }
            out->headHash = hex;
            (perPool ? poolPrevious[e.poolId] : previous) = stored;
            lastId = e.id;
        }
        if (rows < 20000) {
            break;
        }
    }
    out->expectedFound = out->expectedFound || expectHead.empty();
    return true;
}

namespace {

struct Expected {
    struct Routine {
        std::string body;
        bool definer = false;
        bool procedure = false;
    };
    std::map<std::string, Routine> functions;
    std::set<std::string> triggers;  // "name on table -> function"
    std::set<std::string> tables;
    std::map<std::string, std::set<std::string>> executable;  // role -> functions
};

// What this version installs, read from its own schema text.
Expected FromSchema() {
    Expected x;
    const std::string sql = std::string(kPoolTablesSql) + kPoolFunctionsSql;
    const std::regex function(R"(CREATE (FUNCTION|PROCEDURE) keypool\.(\w+)\()");
    for (auto it = std::sregex_iterator(sql.begin(), sql.end(), function);
         it != std::sregex_iterator(); ++it) {
        const size_t start = static_cast<size_t>(it->position(0));
        const size_t as = sql.find("AS $$", start);
        const size_t end = sql.find("$$", as + 5);
        if (as == std::string::npos || end == std::string::npos) {
            continue;
        }
        const std::string header = sql.substr(start, as - start);
        x.functions[(*it)[2]] = {sql.substr(as + 5, end - as - 5),
                                 header.find("SECURITY DEFINER") != std::string::npos,
                                 (*it)[1] == "PROCEDURE"};
    }
    const std::regex trigger(
        R"(CREATE TRIGGER (\w+)[^;]*? ON keypool\.(\w+)[^;]*?EXECUTE FUNCTION keypool\.(\w+)\(\))");
    for (auto it = std::sregex_iterator(sql.begin(), sql.end(), trigger);
         it != std::sregex_iterator(); ++it) {
        x.triggers.insert((*it)[1].str() + " on " + (*it)[2].str() + " -> " + (*it)[3].str());
    }
    const std::regex table(R"(CREATE TABLE keypool\.(\w+))");
    for (auto it = std::sregex_iterator(sql.begin(), sql.end(), table);
         it != std::sregex_iterator(); ++it) {
        x.tables.insert((*it)[1]);
    }
    const std::regex grant(R"(GRANT EXECUTE ON (?:FUNCTION|PROCEDURE) ([^;]*?) TO ([a-z_, ]+);)");
    const std::regex name(R"(keypool\.(\w+)\()");
    for (auto it = std::sregex_iterator(sql.begin(), sql.end(), grant);
         it != std::sregex_iterator(); ++it) {
        const std::string list = (*it)[1];
        const std::string roles = (*it)[2];
        for (const char* role : {"keypool_station", "keypool_admin", "keypool_auditor"}) {
            if (roles.find(role) == std::string::npos) {
                continue;
            }
            for (auto n = std::sregex_iterator(list.begin(), list.end(), name);
                 n != std::sregex_iterator(); ++n) {
                x.executable[role].insert((*n)[1]);
            }
        }
    }
    return x;
}

}  // namespace

bool AuditSchema(PGconn* conn, std::vector<std::string>* differences, std::string* digest,
                 std::string* error) {
    const Expected x = FromSchema();
    pool::Result functions(PQexec(
        conn,
        "SELECT p.proname, p.prosrc, p.prosecdef, pg_get_userbyid(p.proowner), "
        "coalesce(array_to_string(p.proconfig, ';'), ''), p.proacl IS NULL OR EXISTS (SELECT 1 "
        "FROM aclexplode(p.proacl) a WHERE a.grantee = 0), "
        "has_function_privilege('keypool_station', p.oid, 'EXECUTE'), "
        "has_function_privilege('keypool_admin', p.oid, 'EXECUTE'), "
        "has_function_privilege('keypool_auditor', p.oid, 'EXECUTE'), p.prokind "
        "FROM pg_proc p WHERE p.pronamespace = 'keypool'::regnamespace ORDER BY 1, 2"));
    pool::Result triggers(PQexec(
        conn,
        "SELECT t.tgname || ' on ' || c.relname || ' -> ' || p.proname, t.tgenabled FROM "
        "pg_trigger t JOIN pg_class c ON c.oid = t.tgrelid JOIN pg_proc p ON p.oid = t.tgfoid "
        "WHERE c.relnamespace = 'keypool'::regnamespace AND NOT t.tgisinternal ORDER BY 1"));
    pool::Result tables(PQexec(
        conn,
        "SELECT c.relname, c.relkind, pg_get_userbyid(c.relowner), "
        "has_table_privilege('keypool_station', c.oid, 'SELECT,INSERT,UPDATE,DELETE,TRUNCATE'), "
        "has_table_privilege('keypool_admin', c.oid, 'INSERT,UPDATE,DELETE,TRUNCATE'), "
        "has_table_privilege('keypool_auditor', c.oid, 'INSERT,UPDATE,DELETE,TRUNCATE') "
        "FROM pg_class c WHERE c.relnamespace = 'keypool'::regnamespace AND c.relkind IN "
        "('r', 'p', 'v', 'm', 'f') ORDER BY 1"));
    pool::Result owner(PQexec(
        conn,
        "SELECT (SELECT pg_get_userbyid(nspowner) FROM pg_namespace WHERE nspname = 'keypool'), "
        "has_column_privilege('keypool_admin', 'keypool.keys', 'wrapped', 'SELECT') OR "
        "has_column_privilege('keypool_auditor', 'keypool.keys', 'wrapped', 'SELECT'), "
        "(SELECT rolcanlogin FROM pg_roles WHERE rolname = 'keypool_owner'), "
        "(SELECT string_agg(m.rolname, ' ') FROM pg_auth_members a JOIN pg_roles m ON "
        "m.oid = a.member WHERE a.roleid = 'keypool_owner'::regrole)"));
    for (const pool::Result* r : {&functions, &triggers, &tables, &owner}) {
        if (!r->Ok(PGRES_TUPLES_OK)) {
            *error = r->Error(conn);
            return false;
        }
    }
    auto differ = [&](const std::string& text) { differences->push_back(text); };
    CSha256 sha;
    std::map<std::string, int> seen;
    const PGresult* f = functions.get();
    for (int i = 0; i < PQntuples(f); ++i) {
        const std::string name = Field(f, i, 0);
        const std::string object = "function keypool." + name;
        for (int c = 0; c < PQnfields(f); ++c) {
            const std::string v = Field(f, i, c) + '\0';
            sha.Update(reinterpret_cast<const uint8_t*>(v.data()), v.size());
        }
        if (++seen[name] > 1) {
            differ(object + ": defined more than once");
            continue;
        }
        const auto it = x.functions.find(name);
        if (it == x.functions.end()) {
            differ(object + ": not installed by this version");
            continue;
        }
        if (Field(f, i, 1) != it->second.body) {
            differ(object + ": its body is not this version's");
        }
        if ((Field(f, i, 2) == "t") != it->second.definer) {
            differ(object + ": SECURITY DEFINER differs");
        }
        const bool procedure = Field(f, i, 9) == "p";
        if (procedure != it->second.procedure) {
            differ(object + (procedure ? ": a procedure here" : ": not a procedure here"));
        }
        if (Field(f, i, 3) != "keypool_owner") {
            differ(object + ": owned by " + Field(f, i, 3));
        }
        // A procedure that commits can have no SET clause: it runs no query of its own that a
        // search path could redirect (each calls one owner's function by its full name).
        if (procedure
                ? !Field(f, i, 4).empty()
                : Field(f, i, 4).find("search_path=pg_catalog, pg_temp") == std::string::npos) {
            differ(object + (procedure ? ": settings of its own" : ": no fixed search_path"));
        }
        if (Field(f, i, 5) == "t") {
            differ(object + ": executable by PUBLIC");
        }
        const char* roles[] = {"keypool_station", "keypool_admin", "keypool_auditor"};
        for (int r = 0; r < 3; ++r) {
            const auto granted = x.executable.find(roles[r]);
            const bool expected = granted != x.executable.end() && granted->second.count(name) != 0;
            if ((Field(f, i, 6 + r) == "t") != expected) {
                differ(object + (expected ? ": not executable by " : ": executable by ") +
                       roles[r]);
            }
        }
    }
    for (const auto& [name, body] : x.functions) {
        if (seen.count(name) == 0) {
            differ("function keypool." + name + ": missing");
        }
    }
    std::set<std::string> triggersSeen;
    for (int i = 0; i < PQntuples(triggers.get()); ++i) {
        const std::string t = Field(triggers.get(), i, 0);
        triggersSeen.insert(t);
        if (x.triggers.count(t) == 0) {
            differ("trigger " + t + ": not installed by this version");
        } else if (Field(triggers.get(), i, 1) != "O") {
            differ("trigger " + t + ": disabled or not fired as installed");
        }
    }
    for (const std::string& t : x.triggers) {
        if (triggersSeen.count(t) == 0) {
            differ("trigger " + t + ": missing");
        }
    }
    for (int i = 0; i < PQntuples(tables.get()); ++i) {
        const PGresult* t = tables.get();
        const std::string object = "table keypool." + Field(t, i, 0);
        if (x.tables.count(Field(t, i, 0)) == 0) {
            differ(object + ": not installed by this version");
        }
        if (Field(t, i, 2) != "keypool_owner") {
            differ(object + ": owned by " + Field(t, i, 2));
        }
        if (Field(t, i, 3) == "t") {
            differ(object + ": keypool_station may read or write it");
        }
        if (Field(t, i, 4) == "t" || Field(t, i, 5) == "t") {
            differ(object + ": an administrator or auditor may write it");
        }
    }
    const PGresult* o = owner.get();
    if (PQntuples(o) != 1 || Field(o, 0, 0) != "keypool_owner") {
        differ("schema keypool: not owned by keypool_owner");
    }
    if (PQntuples(o) == 1 && Field(o, 0, 1) == "t") {
        differ("column keypool.keys.wrapped: readable by an administrator or auditor");
    }
    if (PQntuples(o) == 1 && Field(o, 0, 2) != "f") {
        differ("role keypool_owner: may log in");
    }
    if (PQntuples(o) == 1 && PQgetisnull(o, 0, 3) == 0) {
        differ("role keypool_owner: has members (" + Field(o, 0, 3) + ")");
    }
    uint8_t hash[CSha256::kDigestSize];
    sha.Final(hash);
    *digest = HexBytes(hash, sizeof hash);
    return true;
}

}  // namespace kdbtool
