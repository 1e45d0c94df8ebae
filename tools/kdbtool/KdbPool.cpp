// kdbtool pool: creates the shared key pool's schema, imports key files into it, shows and audits
// it, and writes a pool back out as a key file. Talks to the server through libpq as the pool's
// administrator (a member of keypool_owner).
#include <libpq-fe.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "keydb/KeyFile.h"
#include "keydb/KeyFileWriter.h"
#include "keydb/Sha256.h"
#include "keydb/WipeMemory.h"
#include "keydb/pool/PoolSchema.h"
#include "keydb/pool/PoolSql.h"
#include "tools/kdbtool/KdbCommands.h"

namespace kdbtool {
namespace {

using Conn = std::unique_ptr<PGconn, decltype(&PQfinish)>;

struct PoolArgs {
    std::string db;
    std::string pool;
    bool json = false;
    std::vector<std::string> rest;
};

int Usage(const char* text) {
    std::fprintf(stderr, "kdbtool pool: %s\n", text);
    return kExitUsage;
}

int Fail(const std::string& text) {
    std::fprintf(stderr, "kdbtool pool: %s\n", text.c_str());
    return kExitFail;
}

bool Exec(PGconn* conn, const char* sql, std::string* error) {
    pool::Result result(PQexec(conn, sql));
    if (result.Ok(PGRES_COMMAND_OK) || result.Ok(PGRES_TUPLES_OK)) {
        return true;
    }
    *error = result.Error(conn);
    return false;
}

// Runs a query with text parameters and text results.
std::unique_ptr<pool::Result> Query(PGconn* conn, const char* sql,
                                    const std::vector<std::string>& params, std::string* error) {
    std::vector<const char*> values;
    for (const auto& p : params) {
        values.push_back(p.c_str());
    }
    auto result = std::make_unique<pool::Result>(PQexecParams(
        conn, sql, static_cast<int>(values.size()), nullptr, values.data(), nullptr, nullptr, 0));
    if (!result->Ok(PGRES_TUPLES_OK) && !result->Ok(PGRES_COMMAND_OK)) {
        *error = result->Error(conn);
        return nullptr;
    }
    return result;
}

std::string Text(const pool::Result& r, int row, int field) {
    return std::string(PQgetvalue(r.get(), row, field),
                       static_cast<size_t>(PQgetlength(r.get(), row, field)));
}

int RunInit(PGconn* conn) {
    std::string error;
    const std::string sql =
        std::string("SET client_min_messages = warning; BEGIN;") + kPoolSchemaSql + "COMMIT;";
    if (!Exec(conn, sql.c_str(), &error)) {
        return Fail("init: " + error);
    }
    std::puts("key pool schema created");
    return kExitOk;
}

class CMemoryKeyData final : public IKeyDataSource {
  public:
    explicit CMemoryKeyData(const std::vector<uint8_t>& data) : data_(data) {}
    bool Read(uint8_t* buffer, size_t len, std::string* error) override {
        if (len > data_.size() - offset_) {
            *error = "short key data";
            return false;
        }
        std::memcpy(buffer, data_.data() + offset_, len);
        offset_ += len;
        return true;
    }

  private:
    const std::vector<uint8_t>& data_;
    size_t offset_ = 0;
};

struct WipedBytes {
    std::vector<uint8_t> bytes;
    ~WipedBytes() {
        if (!bytes.empty()) {
            WipeMemory(bytes.data(), bytes.size());
        }
    }
};

bool ReadWholeFile(const std::string& path, uint64_t limit, std::vector<uint8_t>* out) {
    FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) {
        return false;
    }
    uint8_t chunk[65536];
    size_t n;
    bool ok = true;
    while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0) {
        if (out->size() + n > limit) {
            ok = false;
            break;
        }
        out->insert(out->end(), chunk, chunk + n);
    }
    ok = ok && std::ferror(f) == 0;
    std::fclose(f);
    WipeMemory(chunk, sizeof chunk);
    return ok;
}

int RunImport(PGconn* conn, const PoolArgs& a) {
    if (a.rest.size() != 1 || a.pool.empty()) {
        return Usage("import needs FILE.kdb and --pool NAME");
    }
    if (!pool::IsValidPoolName(a.pool)) {
        return Usage("the pool name must be 1 to 64 of A-Z a-z 0-9 _ . -");
    }
    const std::string& path = a.rest[0];
    CKeyFile file(path, nullptr, KeyFileAccess::VerifyOnly);
    if (!file.IsValid()) {
        return Fail("import: " + path + ": " + file.GetError());
    }
    if (file.IsSharedKey()) {
        return Fail(
            "import: a shared-key file has one key for every board; a pool holds keys "
            "that each go to one board only");
    }
    const uint32_t count = static_cast<uint32_t>(file.GetKeyCount());
    const uint32_t size = static_cast<uint32_t>(file.GetKeySize());
    const uint32_t header = static_cast<uint32_t>(file.GetHeaderSize());
    const uint64_t expected = header + static_cast<uint64_t>(count) * size;
    WipedBytes image;
    if (!ReadWholeFile(path, expected, &image.bytes) || image.bytes.size() != expected) {
        return Fail("import: " + path + " changed while it was read");
    }
    uint8_t digest[CSha256::kDigestSize];
    CSha256 sha;
    sha.Update(image.bytes.data() + header, expected - header);
    sha.Final(digest);
    if (std::memcmp(digest, image.bytes.data() + 24, sizeof digest) != 0) {
        return Fail("import: " + path + " changed while it was read");
    }
    const std::string digestHex = HexBytes(digest, sizeof digest);

    std::string error;
    if (!Exec(conn, "BEGIN ISOLATION LEVEL SERIALIZABLE; SET LOCAL ROLE keypool_owner", &error)) {
        return Fail("import: " + error);
    }
    auto done = [&](int code, const std::string& text) {
        std::string ignored;
        Exec(conn, code == kExitOk ? "COMMIT" : "ROLLBACK", &ignored);
        return code == kExitOk ? code : Fail("import: " + text);
    };
    auto seen = Query(conn, "SELECT name FROM keypool.pools WHERE area_sha256 = $1 OR name = $2",
                      {digestHex, a.pool}, &error);
    if (!seen) {
        return done(kExitFail, error);
    }
    if (PQntuples(seen->get()) != 0) {
        return done(kExitFail, "this key area or this pool name is already in the database (pool " +
                                   Text(*seen, 0, 0) + ")");
    }
    const std::string info = "\\x" + HexBytes(file.GetRecordInfo(), 16);
    auto made = Query(conn,
                      "INSERT INTO keypool.pools (name, key_size, key_count, record_info, created, "
                      "area_sha256) VALUES ($1, $2, $3, $4::bytea, $5, $6) RETURNING id",
                      {a.pool, std::to_string(size), std::to_string(count), info,
                       file.GetCreateTime(), digestHex},
                      &error);
    if (!made || PQntuples(made->get()) != 1) {
        return done(kExitFail, error);
    }
    const std::string poolId = Text(*made, 0, 0);
    // COPY in binary would avoid the hex text; the hex copy of each key is wiped below.
    pool::Result copy(PQexec(conn,
                             "COPY keypool.keys (pool_id, idx, key_bytes, state, station, "
                             "step) FROM STDIN"));
    if (!copy.Ok(PGRES_COPY_IN)) {
        return done(kExitFail, copy.Error(conn));
    }
    std::string line;
    uint32_t used = 0;
    bool sent = true;
    for (uint32_t i = 0; i < count && sent; ++i) {
        const bool isUsed = file.IsMarkedUsedAtLoad(i);
        used += isUsed ? 1 : 0;
        line = poolId + "\t" + std::to_string(i) + "\t\\\\x" +
               HexBytes(image.bytes.data() + header + static_cast<uint64_t>(i) * size, size) +
               (isUsed ? "\tspent\timport\timported as used\n" : "\tfree\t\\N\t\\N\n");
        sent = PQputCopyData(conn, line.data(), static_cast<int>(line.size())) == 1;
        WipeMemory(line.data(), line.size());
    }
    if (PQputCopyEnd(conn, sent ? nullptr : "aborted") != 1) {
        return done(kExitFail, pool::ConnError(conn));
    }
    pool::Result copied(PQgetResult(conn));
    while (PGresult* extra = PQgetResult(conn)) {
        PQclear(extra);
    }
    if (!copied.Ok(PGRES_COMMAND_OK)) {
        return done(kExitFail, copied.Error(conn));
    }
    auto logged = Query(conn,
                        "INSERT INTO keypool.events (pool_id, idx, event, station, step) "
                        "SELECT pool_id, idx, CASE WHEN state = 'spent' THEN 'spent' ELSE "
                        "'imported' END, session_user, step FROM keypool.keys WHERE pool_id = $1",
                        {poolId}, &error);
    if (!logged) {
        return done(kExitFail, error);
    }
    done(kExitOk, std::string());
    std::printf("imported %u keys of %u bytes into pool %s (%u already used: spent)\n", count, size,
                a.pool.c_str(), used);
    return kExitOk;
}

int RunStatus(PGconn* conn, const PoolArgs& a) {
    std::string error;
    auto r = Query(conn,
                   "SELECT p.name, coalesce(k.station, ''), k.state, count(*) FROM keypool.pools p "
                   "JOIN keypool.keys k ON k.pool_id = p.id GROUP BY 1, 2, 3 ORDER BY 1, 2, 3",
                   {}, &error);
    if (!r) {
        return Fail("status: " + error);
    }
    nlohmann::json out = nlohmann::json::object();
    for (int i = 0; i < PQntuples(r->get()); ++i) {
        const std::string poolName = Text(*r, i, 0);
        if (!a.pool.empty() && poolName != a.pool) {
            continue;
        }
        const std::string station = Text(*r, i, 1);
        const std::string state = Text(*r, i, 2);
        const long long n = std::stoll(Text(*r, i, 3));
        auto& entry = out[poolName];
        auto& states = entry["states"];
        states[state] = (states.contains(state) ? states[state].get<long long>() : 0LL) + n;
        if (!station.empty()) {
            entry["stations"][station][state] = n;
        }
    }
    if (a.json) {
        std::puts(out.dump(2).c_str());
        return kExitOk;
    }
    for (const auto& [name, entry] : out.items()) {
        std::printf("pool %s\n", name.c_str());
        for (const auto& [state, n] : entry["states"].items()) {
            std::printf("  %-10s %lld\n", state.c_str(), n.get<long long>());
        }
        if (entry.contains("stations")) {
            for (const auto& [station, states] : entry["stations"].items()) {
                std::printf("  station %s:", station.c_str());
                for (const auto& [state, n] : states.items()) {
                    std::printf(" %s %lld", state.c_str(), n.get<long long>());
                }
                std::printf("\n");
            }
        }
    }
    return kExitOk;
}

int RunExport(PGconn* conn, const PoolArgs& a) {
    if (a.rest.size() != 1 || a.pool.empty()) {
        return Usage("export needs --pool NAME and OUT.kdb");
    }
    std::string error;
    auto head = Query(conn,
                      "SELECT key_size, key_count, encode(record_info, 'hex'), created FROM "
                      "keypool.pools WHERE name = $1",
                      {a.pool}, &error);
    if (!head || PQntuples(head->get()) != 1) {
        return Fail("export: no pool " + a.pool + (error.empty() ? "" : ": " + error));
    }
    KeyFileLayout layout;
    layout.keySize = static_cast<uint32_t>(std::stoul(Text(*head, 0, 0)));
    layout.keyCount = static_cast<uint32_t>(std::stoul(Text(*head, 0, 1)));
    const std::string info = Text(*head, 0, 2);
    for (size_t i = 0; i < 16 && info.size() == 32; ++i) {
        layout.recordInfo[i] = static_cast<uint8_t>(std::stoul(info.substr(2 * i, 2), nullptr, 16));
    }
    KeyFileTime& t = layout.created;
    if (std::sscanf(Text(*head, 0, 3).c_str(), "%d-%d-%d %d:%d:%d", &t.year, &t.month, &t.day,
                    &t.hour, &t.minute, &t.second) != 6) {
        return Fail("export: the pool's creation time is malformed");
    }
    const char* values[] = {a.pool.c_str()};
    pool::Result keys(
        PQexecParams(conn,
                     "SELECT k.idx, k.key_bytes, k.state <> 'free' FROM keypool.keys k "
                     "JOIN keypool.pools p ON p.id = k.pool_id WHERE p.name = $1 "
                     "ORDER BY k.idx",
                     1, nullptr, values, nullptr, nullptr, 1));
    if (!keys.Ok(PGRES_TUPLES_OK) || PQntuples(keys.get()) != static_cast<int>(layout.keyCount)) {
        return Fail("export: the pool's keys could not be read: " + keys.Error(conn));
    }
    WipedBytes data;
    data.bytes.assign(static_cast<size_t>(layout.keyCount) * layout.keySize, 0);
    for (int i = 0; i < PQntuples(keys.get()); ++i) {
        int64_t idx = -1;
        if (!pool::BinaryInt(keys.get(), i, 0, &idx) || idx != i ||
            PQgetlength(keys.get(), i, 1) != static_cast<int>(layout.keySize) ||
            PQgetlength(keys.get(), i, 2) != 1) {
            return Fail("export: the pool's keys are not numbered 0..N-1 or not of its key size");
        }
        std::memcpy(data.bytes.data() + static_cast<size_t>(i) * layout.keySize,
                    PQgetvalue(keys.get(), i, 1), layout.keySize);
        WipeMemory(PQgetvalue(keys.get(), i, 1), layout.keySize);
        if (PQgetvalue(keys.get(), i, 2)[0] != 0) {
            layout.usedIndices.push_back(static_cast<uint32_t>(i));
        }
    }
    CMemoryKeyData source(data.bytes);
    if (!WriteKeyFile(a.rest[0], layout, source, false, &error)) {
        return Fail("export: " + error);
    }
    std::printf("exported %u keys (%zu not free, marked used) to %s\n", layout.keyCount,
                layout.usedIndices.size(), a.rest[0].c_str());
    return kExitOk;
}

int RunPoolAudit(PGconn* conn, const PoolArgs& a) {
    std::string error;
    // The state each key's events lead to, beside the state the keys table holds.
    auto mismatch =
        Query(conn,
              "WITH last AS (SELECT DISTINCT ON (pool_id, idx) pool_id, idx, event FROM "
              "keypool.events ORDER BY pool_id, idx, id DESC) "
              "SELECT p.name, k.idx, k.state, coalesce(l.event, '') FROM keypool.keys k "
              "JOIN keypool.pools p ON p.id = k.pool_id LEFT JOIN last l ON "
              "l.pool_id = k.pool_id AND l.idx = k.idx WHERE l.event IS NULL OR "
              "k.state <> CASE l.event WHEN 'imported' THEN 'free' WHEN 'returned' "
              "THEN 'free' ELSE l.event END ORDER BY 1, 2",
              {}, &error);
    auto twice = Query(conn,
                       "SELECT p.name, e.idx, count(*) FILTER (WHERE e.event = 'delivered'), "
                       "count(*) FILTER (WHERE e.event = 'reserved') FROM keypool.events e JOIN "
                       "keypool.pools p ON p.id = e.pool_id GROUP BY 1, 2 HAVING count(*) FILTER "
                       "(WHERE e.event = 'delivered') > 1 OR count(*) FILTER (WHERE e.event = "
                       "'reserved') > 1 ORDER BY 1, 2",
                       {}, &error);
    auto doubt =
        Query(conn,
              "SELECT p.name, k.station, k.idx FROM keypool.keys k JOIN keypool.pools p ON "
              "p.id = k.pool_id WHERE k.state = 'reserved' ORDER BY 1, 2, 3",
              {}, &error);
    auto serials = Query(conn,
                         "SELECT serial, count(*) FROM keypool.keys WHERE serial IS NOT NULL AND "
                         "serial <> '' AND state IN ('reserved', 'delivered', 'spent') GROUP BY 1 "
                         "HAVING count(*) > 1 ORDER BY 1",
                         {}, &error);
    if (!mismatch || !twice || !doubt || !serials) {
        return Fail("audit: " + error);
    }
    nlohmann::json out;
    out["disagreements"] = nlohmann::json::array();
    for (int i = 0; i < PQntuples(mismatch->get()); ++i) {
        out["disagreements"].push_back({{"pool", Text(*mismatch, i, 0)},
                                        {"key", std::stoll(Text(*mismatch, i, 1))},
                                        {"state", Text(*mismatch, i, 2)},
                                        {"lastEvent", Text(*mismatch, i, 3)}});
    }
    out["twice"] = nlohmann::json::array();
    for (int i = 0; i < PQntuples(twice->get()); ++i) {
        out["twice"].push_back({{"pool", Text(*twice, i, 0)},
                                {"key", std::stoll(Text(*twice, i, 1))},
                                {"delivered", std::stoll(Text(*twice, i, 2))},
                                {"reserved", std::stoll(Text(*twice, i, 3))}});
    }
    out["inDoubt"] = nlohmann::json::array();
    for (int i = 0; i < PQntuples(doubt->get()); ++i) {
        out["inDoubt"].push_back({{"pool", Text(*doubt, i, 0)},
                                  {"station", Text(*doubt, i, 1)},
                                  {"key", std::stoll(Text(*doubt, i, 2))}});
    }
    out["serialsWithSeveralKeys"] = nlohmann::json::array();
    for (int i = 0; i < PQntuples(serials->get()); ++i) {
        out["serialsWithSeveralKeys"].push_back(
            {{"serial", Text(*serials, i, 0)}, {"keys", std::stoll(Text(*serials, i, 1))}});
    }
    const bool pass = out["disagreements"].empty() && out["twice"].empty();
    out["pass"] = pass;
    if (a.json) {
        std::puts(out.dump(2).c_str());
    } else {
        std::printf("disagreements between keys and events: %zu\n", out["disagreements"].size());
        std::printf("keys reserved or delivered more than once: %zu\n", out["twice"].size());
        std::printf("in doubt (reserved, no end recorded): %zu\n", out["inDoubt"].size());
        for (const auto& d : out["inDoubt"]) {
            std::printf("  pool %s station %s key %lld\n", d["pool"].get<std::string>().c_str(),
                        d["station"].get<std::string>().c_str(), d["key"].get<long long>());
        }
        std::printf("serial numbers with more than one key: %zu\n",
                    out["serialsWithSeveralKeys"].size());
        std::printf("%s\n", pass ? "audit passed" : "audit FAILED");
    }
    return pass ? kExitOk : kExitFail;
}

}  // namespace

int RunPool(const std::vector<std::string>& args) {
    PoolArgs a;
    std::string command;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if ((arg == "--db" || arg == "--pool") && i + 1 < args.size()) {
            (arg == "--db" ? a.db : a.pool) = args[++i];
        } else if (arg == "--json") {
            a.json = true;
        } else if (!arg.empty() && arg[0] == '-') {
            return Usage(("unknown option " + arg).c_str());
        } else if (command.empty()) {
            command = arg;
        } else {
            a.rest.push_back(arg);
        }
    }
    if (a.db.empty() || command.empty()) {
        return Usage("needs --db CONNINFO and a command (init, import, status, export, audit)");
    }
    Conn conn(PQconnectdb(a.db.c_str()), &PQfinish);
    if (!conn || PQstatus(conn.get()) != CONNECTION_OK) {
        return Fail("cannot connect: " + pool::ConnError(conn.get()));
    }
    if (command == "init") {
        return RunInit(conn.get());
    }
    if (command == "import") {
        return RunImport(conn.get(), a);
    }
    if (command == "status") {
        return RunStatus(conn.get(), a);
    }
    if (command == "export") {
        return RunExport(conn.get(), a);
    }
    if (command == "audit") {
        return RunPoolAudit(conn.get(), a);
    }
    return Usage(("unknown command " + command).c_str());
}

}  // namespace kdbtool
