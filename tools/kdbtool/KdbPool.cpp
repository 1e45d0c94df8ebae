// kdbtool pool: creates the shared key pool's schema (as a superuser, once), imports key files
// into it wrapped under a pool wrap key, binds stations to pools, shows and audits it, and
// transfers a pool's free keys out into a key file. Talks to the server through libpq as the
// pool's administrator (a member of keypool_admin, acting through the owner's functions) or, for
// status and audit, as an auditor (keypool_auditor).
#include <libpq-fe.h>

#include <openssl/rand.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "keydb/KeyFile.h"
#include "keydb/KeyFileWriter.h"
#include "keydb/Sha256.h"
#include "keydb/WipeMemory.h"
#include "keydb/pool/PoolCrypto.h"
#include "keydb/pool/PoolSchema.h"
#include "keydb/pool/PoolSql.h"
#include "support/NativeFile.h"
#include "tools/kdbtool/KdbCommands.h"
#include "tools/kdbtool/KdbPoolAudit.h"
#include "tools/kdbtool/KdbPoolServer.h"

namespace kdbtool {
namespace {

using Conn = std::unique_ptr<PGconn, decltype(&PQfinish)>;

struct PoolArgs {
    std::string db;
    std::string pool;
    std::string wrapKey;
    std::string expectHead;
    std::string serial;
    std::string reason;
    int limit = 32;
    bool json = false;
    bool insecure = false;
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
    const std::string sql = std::string("SET client_min_messages = warning; BEGIN;") +
                            kPoolTablesSql + kPoolFunctionsSql + "COMMIT;";
    if (!Exec(conn, sql.c_str(), &error)) {
        return Fail("init: " + error);
    }
    std::printf("key pool schema created (version %d)\n", kPoolSchemaVersion);
    return kExitOk;
}

// The schema's version on the server: 0 without a key pool schema, 1 for the first release's
// (no version table), else what keypool.schema_version holds; -1 when it cannot be read.
int SchemaVersion(PGconn* conn, std::string* error) {
    auto r = Query(conn,
                   "SELECT CASE WHEN to_regnamespace('keypool') IS NULL THEN 0 "
                   "WHEN to_regclass('keypool.schema_version') IS NULL THEN 1 ELSE -2 END",
                   {}, error);
    if (!r || PQntuples(r->get()) != 1) {
        return -1;
    }
    const int found = std::atoi(PQgetvalue(r->get(), 0, 0));
    if (found != -2) {
        return found;
    }
    r = Query(conn, "SELECT max(version) FROM keypool.schema_version", {}, error);
    return r && PQntuples(r->get()) == 1 && PQgetisnull(r->get(), 0, 0) == 0
               ? std::atoi(PQgetvalue(r->get(), 0, 0))
               : -1;
}

// Moves a pool made by an earlier release to this version's schema, in one transaction (as a
// database superuser): its keys, events and bindings stay as they are.
int RunUpgrade(PGconn* conn) {
    std::string error;
    const int version = SchemaVersion(conn, &error);
    if (version < 0) {
        return Fail("upgrade: the schema's version cannot be read" +
                    (error.empty() ? std::string() : ": " + error));
    }
    if (version == 0) {
        return Fail("upgrade: no key pool schema in this database (kdbtool pool init)");
    }
    if (version == kPoolSchemaVersion) {
        std::printf("key pool schema is at version %d already\n", version);
        return kExitOk;
    }
    if (version != 1 && version != 2) {
        return Fail("upgrade: schema version " + std::to_string(version) +
                    " is not one this kdbtool upgrades (it makes version " +
                    std::to_string(kPoolSchemaVersion) + ")");
    }
    const std::string sql = std::string("SET client_min_messages = warning; BEGIN;") +
                            (version == 1 ? kPoolUpgradeFrom1Sql : "") + kPoolUpgradeFrom2Sql +
                            kPoolFunctionsSql + "COMMIT;";
    if (!Exec(conn, sql.c_str(), &error)) {
        std::string ignored;
        Exec(conn, "ROLLBACK", &ignored);
        return Fail("upgrade: " + error + " (nothing was changed)");
    }
    std::printf("key pool schema upgraded from version %d to version %d\n", version,
                kPoolSchemaVersion);
    return kExitOk;
}

struct WipedBytes {
    std::vector<uint8_t> bytes;
    ~WipedBytes() {
        if (!bytes.empty()) {
            WipeMemory(bytes.data(), bytes.size());
        }
    }
};

bool ReadWholeFile(const std::string& path, uint64_t limit, std::vector<uint8_t>* out) {
    ks::NativeFile f;  // the file seam: UTF-16 names on Windows
    if (!f.Open(path, ks::kFileRead)) {
        return false;
    }
    uint8_t chunk[65536];
    int64_t n;
    bool ok = true;
    while ((n = f.Read(chunk, sizeof chunk)) > 0) {
        if (out->size() + static_cast<uint64_t>(n) > limit) {
            ok = false;
            break;
        }
        out->insert(out->end(), chunk, chunk + n);
    }
    ok = ok && n >= 0;
    f.Close();
    WipeMemory(chunk, sizeof chunk);
    return ok;
}

// A query with binary parameters of the given lengths (text where the length is -1).
std::unique_ptr<pool::Result> QueryBinary(PGconn* conn, const char* sql,
                                          const std::vector<std::pair<const void*, int>>& params,
                                          std::string* error) {
    std::vector<const char*> values;
    std::vector<int> lengths;
    std::vector<int> formats;
    for (const auto& [data, length] : params) {
        values.push_back(static_cast<const char*>(data));
        lengths.push_back(length < 0 ? 0 : length);
        formats.push_back(length < 0 ? 0 : 1);
    }
    auto result = std::make_unique<pool::Result>(
        PQexecParams(conn, sql, static_cast<int>(values.size()), nullptr, values.data(),
                     lengths.data(), formats.data(), 0));
    if (!result->Ok(PGRES_TUPLES_OK)) {
        *error = result->Error(conn);
        return nullptr;
    }
    return result;
}

int RunImport(PGconn* conn, const PoolArgs& a) {
    if (a.rest.size() != 1 || a.pool.empty() || a.wrapKey.empty()) {
        return Usage("import needs FILE.kdb, --pool NAME and --wrap-key FILE");
    }
    if (!pool::IsValidPoolName(a.pool)) {
        return Usage("the pool name must be 1 to 64 of A-Z a-z 0-9 _ . -");
    }
    pool::WrapKey wrapKey;
    std::string error;
    if (!pool::ReadWrapKeyFile(a.wrapKey, &wrapKey, &error)) {
        return Fail("import: " + error);
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
    // A key the file's journal says went out is used, whatever the header says: the file may be
    // an older copy put back beside its journal. Without the journal no key's fate is known.
    if (!file.GetJournalError().empty()) {
        return Fail("import: " + path + ": its journal cannot be read (" + file.GetJournalError() +
                    "); the keys it records as used would go out again");
    }
    const KeyJournalSummary& journal = file.GetJournalSummary();
    auto journalSaysOut = [&](uint32_t i) {
        const auto it = journal.keys.find(i);
        return it != journal.keys.end() &&
               (it->second.reserved > 0 || it->second.delivered > 0 || it->second.spent > 0);
    };
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
    auto keyAt = [&](uint32_t i) { return image.bytes.data() + header + uint64_t{i} * size; };

    // One key, one board: no key twice in the file, none already in the database.
    std::vector<uint8_t> digests(uint64_t{count} * 32);
    std::map<std::string, uint32_t> firstOf;
    std::vector<std::string> clashes;
    for (uint32_t i = 0; i < count; ++i) {
        DoHash256(digests.data() + uint64_t{i} * 32, keyAt(i), size);
        const auto [it, fresh] = firstOf.emplace(
            std::string(reinterpret_cast<const char*>(digests.data()) + uint64_t{i} * 32, 32), i);
        if (!fresh) {
            clashes.push_back("key " + std::to_string(i) + " is key " + std::to_string(it->second) +
                              " of the file");
        }
    }
    constexpr uint32_t kBatch = 2000;
    for (uint32_t first = 0; first < count && clashes.size() < 100; first += kBatch) {
        const uint32_t n = std::min(kBatch, count - first);
        auto present = QueryBinary(
            conn, "SELECT pos, pool, idx FROM keypool.present_digests($1)",
            {{digests.data() + uint64_t{first} * 32, static_cast<int>(n * 32)}}, &error);
        if (!present) {
            return Fail("import: " + error);
        }
        for (int r = 0; r < PQntuples(present->get()); ++r) {
            clashes.push_back("key " + std::to_string(first + std::stoul(Text(*present, r, 0))) +
                              " is key " + Text(*present, r, 2) + " of pool " +
                              Text(*present, r, 1));
        }
    }
    if (!clashes.empty()) {
        for (size_t i = 0; i < clashes.size() && i < 20; ++i) {
            std::fprintf(stderr, "kdbtool pool: import: %s\n", clashes[i].c_str());
        }
        return Fail("import: refused, " + std::to_string(clashes.size()) +
                    (clashes.size() >= 100 ? " or more" : "") +
                    " keys of the file are present twice or in the database already");
    }

    if (!Exec(conn, "BEGIN", &error)) {
        return Fail("import: " + error);
    }
    auto done = [&](int code, const std::string& text) {
        std::string ignored;
        Exec(conn, code == kExitOk ? "COMMIT" : "ROLLBACK", &ignored);
        return code == kExitOk ? code : Fail("import: " + text);
    };
    const std::string info = "\\x" + HexBytes(file.GetRecordInfo(), 16);
    const auto check = pool::WrapCheck(wrapKey);
    auto made = Query(conn, "SELECT keypool.create_pool($1, $2, $3, $4::bytea, $5, $6, $7::bytea)",
                      {a.pool, std::to_string(size), std::to_string(count), info,
                       file.GetCreateTime(), digestHex, "\\x" + HexBytes(check.data(), 32)},
                      &error);
    if (!made || PQntuples(made->get()) != 1) {
        return done(kExitFail, error.find("duplicate") != std::string::npos
                                   ? "this key area or this pool name is in the database already"
                                   : error);
    }
    const int32_t poolId = static_cast<int32_t>(std::stol(Text(*made, 0, 0)));
    uint32_t used = 0;
    uint32_t usedByJournal = 0;
    WipedBytes wrapped;
    std::vector<uint8_t> one;
    for (uint32_t first = 0; first < count; first += kBatch) {
        const uint32_t n = std::min(kBatch, count - first);
        wrapped.bytes.clear();
        std::string usedText;
        for (uint32_t i = first; i < first + n; ++i) {
            if (!pool::WrapPoolKey(wrapKey, poolId, static_cast<int32_t>(i), keyAt(i), size,
                                   &one)) {
                return done(kExitFail, "a key could not be wrapped");
            }
            wrapped.bytes.insert(wrapped.bytes.end(), one.begin(), one.end());
            const bool byJournal = !file.IsMarkedUsedAtLoad(i) && journalSaysOut(i);
            const bool isUsed = file.IsMarkedUsedAtLoad(i) || byJournal;
            used += isUsed ? 1 : 0;
            usedByJournal += byJournal ? 1 : 0;
            usedText += isUsed ? '1' : '0';
        }
        const std::string firstText = std::to_string(first);
        const std::string idText = std::to_string(poolId);
        auto added =
            QueryBinary(conn, "SELECT keypool.add_keys($1::integer, $2::integer, $3, $4, $5)",
                        {{idText.c_str(), -1},
                         {firstText.c_str(), -1},
                         {wrapped.bytes.data(), static_cast<int>(wrapped.bytes.size())},
                         {digests.data() + uint64_t{first} * 32, static_cast<int>(n * 32)},
                         {usedText.c_str(), -1}},
                        &error);
        if (!added) {
            return done(kExitFail, error);
        }
    }
    done(kExitOk, std::string());
    std::printf("imported %u keys of %u bytes into pool %s (%u already used: spent)\n", count, size,
                a.pool.c_str(), used);
    if (usedByJournal > 0) {
        std::printf("%u of them were free in the file but used by its journal\n", usedByJournal);
    }
    return kExitOk;
}

// Per pool and station: what its events say it did, the keys it holds now, and whether its
// reservations in the last hour stand out against its own earlier rate and the other stations'.
nlohmann::json StationActivity(PGconn* conn, std::string* error) {
    auto r = Query(
        conn,
        "WITH ev AS (SELECT e.pool_id, e.idx, e.event, e.station, e.at, e.step, "
        "lag(e.event) OVER (PARTITION BY e.pool_id, e.idx ORDER BY e.id) AS before "
        "FROM keypool.events e), "
        "act AS (SELECT pool_id, station, "
        "count(*) FILTER (WHERE event = 'taken' OR (event = 'reserved' AND before IS DISTINCT "
        "FROM 'taken')) AS claimed, "
        "count(*) FILTER (WHERE event = 'reserved') AS reserved, "
        "count(*) FILTER (WHERE event = 'fetched') AS fetched, "
        "count(*) FILTER (WHERE event = 'delivered') AS delivered, "
        "count(*) FILTER (WHERE event = 'returned') AS returned, "
        "count(*) FILTER (WHERE event = 'spent' AND step IS DISTINCT FROM 'import') AS spent, "
        "count(*) FILTER (WHERE event = 'refused') AS refused, "
        "count(*) FILTER (WHERE event = 'reserved' AND at > now() - interval '1 hour') AS hour, "
        "count(*) FILTER (WHERE event = 'reserved' AND at <= now() - interval '1 hour') AS "
        "earlier, "
        "extract(epoch FROM (now() - interval '1 hour') - min(at) FILTER (WHERE event = "
        "'reserved')) / 3600.0 AS earlier_hours "
        "FROM ev WHERE event IN ('taken', 'reserved', 'fetched', 'delivered', 'returned', "
        "'spent', 'refused') GROUP BY 1, 2), "
        "held AS (SELECT pool_id, station, count(*) FILTER (WHERE state = 'reserved') AS "
        "in_doubt, count(*) FILTER (WHERE state = 'taken') AS taken FROM keypool.keys "
        "WHERE station IS NOT NULL GROUP BY 1, 2) "
        "SELECT p.name, a.station, a.claimed, a.reserved, a.fetched, a.delivered, a.returned, "
        "a.spent, a.refused, coalesce(h.in_doubt, 0), coalesce(h.taken, 0), a.hour, a.earlier, "
        "coalesce(a.earlier_hours, 0) FROM act a JOIN keypool.pools p ON p.id = a.pool_id "
        "LEFT JOIN held h ON h.pool_id = a.pool_id AND h.station = a.station "
        "WHERE a.claimed + a.reserved + a.refused > 0 ORDER BY 1, 2",
        {}, error);
    nlohmann::json out = nlohmann::json::object();
    if (!r) {
        return nullptr;
    }
    static const char* const kFields[] = {"claimed",  "reserved", "fetched", "delivered",
                                          "returned", "spent",    "refused", "inDoubt",
                                          "taken",    "lastHour"};
    std::map<std::string, std::vector<long long>> hours;
    for (int i = 0; i < PQntuples(r->get()); ++i) {
        auto& st = out[Text(*r, i, 0)][Text(*r, i, 1)];
        for (int f = 0; f < 10; ++f) {
            st[kFields[f]] = std::stoll(Text(*r, i, 2 + f));
        }
        const double earlierHours = std::stod(Text(*r, i, 13));
        st["usualPerHour"] = earlierHours >= 1.0
                                 ? static_cast<double>(std::stoll(Text(*r, i, 12))) / earlierHours
                                 : 0.0;
        hours[Text(*r, i, 0)].push_back(std::stoll(Text(*r, i, 11)));
    }
    // Above its usual rate: more than three times its own earlier hourly rate and three times the
    // median station of the pool in the last hour, and more than a full station's worth (32).
    for (auto& [poolName, stations] : out.items()) {
        auto& h = hours[poolName];
        std::sort(h.begin(), h.end());
        const double median = h.empty() ? 0.0 : static_cast<double>(h[(h.size() - 1) / 2]);
        for (auto& [name, st] : stations.items()) {
            const auto last = static_cast<double>(st["lastHour"].get<long long>());
            const double usual = st["usualPerHour"].get<double>();
            st["outlier"] = last > 32 && last > 3 * median && (usual == 0.0 || last > 3 * usual) &&
                            h.size() > 1;
        }
    }
    return out;
}

void PrintActivity(const nlohmann::json& activity, const std::string& poolName) {
    if (!activity.contains(poolName)) {
        return;
    }
    for (const auto& [station, st] : activity[poolName].items()) {
        std::printf(
            "  station %s: claimed %lld reserved %lld fetched %lld delivered %lld returned %lld "
            "spent %lld in doubt %lld refused %lld, last hour %lld%s\n",
            station.c_str(), st["claimed"].get<long long>(), st["reserved"].get<long long>(),
            st["fetched"].get<long long>(), st["delivered"].get<long long>(),
            st["returned"].get<long long>(), st["spent"].get<long long>(),
            st["inDoubt"].get<long long>(), st["refused"].get<long long>(),
            st["lastHour"].get<long long>(),
            st["outlier"].get<bool>() ? "  ABOVE ITS USUAL RATE" : "");
    }
}

int RunStatus(PGconn* conn, const PoolArgs& a) {
    std::string error;
    auto r = Query(conn,
                   "SELECT p.name, k.state, count(*) FROM keypool.pools p "
                   "JOIN keypool.keys k ON k.pool_id = p.id GROUP BY 1, 2 ORDER BY 1, 2",
                   {}, &error);
    const nlohmann::json activity = r ? StationActivity(conn, &error) : nlohmann::json();
    if (!r || activity.is_null()) {
        return Fail("status: " + error);
    }
    nlohmann::json out = nlohmann::json::object();
    for (int i = 0; i < PQntuples(r->get()); ++i) {
        const std::string poolName = Text(*r, i, 0);
        if (!a.pool.empty() && poolName != a.pool) {
            continue;
        }
        out[poolName]["states"][Text(*r, i, 1)] = std::stoll(Text(*r, i, 2));
        if (activity.contains(poolName)) {
            out[poolName]["stations"] = activity[poolName];
        }
    }
    // The server itself: a primary with or without a synchronous standby, or a standby. Under
    // "@server", a name no pool can have.
    nlohmann::json server;
    if (!ReadPoolServer(conn, &server, &error)) {
        return Fail("status: " + error);
    }
    if (a.json) {
        out["@server"] = server;
        std::puts(out.dump(2).c_str());
        return kExitOk;
    }
    PrintPoolServer(server);
    for (const auto& [name, entry] : out.items()) {
        std::printf("pool %s\n", name.c_str());
        for (const auto& [state, n] : entry["states"].items()) {
            std::printf("  %-10s %lld\n", state.c_str(), n.get<long long>());
        }
        PrintActivity(activity, name);
    }
    return kExitOk;
}

class CExportData final : public IKeyDataSource {
  public:
    explicit CExportData(const std::vector<uint8_t>& data) : data_(data) {}
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

// Export is a transfer: the pool's free keys become exported (never handed out by the pool
// again) in a committed transaction, then their bytes are read and written to the key file as
// unused. Every other index of the file holds random bytes marked used: a key that may be on a
// board never leaves the pool.
int RunExport(PGconn* conn, const PoolArgs& a) {
    if (a.rest.size() != 1 || a.pool.empty() || a.wrapKey.empty()) {
        return Usage("export needs --pool NAME, --wrap-key FILE and OUT.kdb");
    }
    {
        ks::NativeFile existing;
        if (existing.Open(a.rest[0], ks::kFileRead) || !ks::IsNotFoundError(existing.LastError())) {
            return Fail("export: " + a.rest[0] + " exists or cannot be checked");
        }
    }
    pool::WrapKey wrapKey;
    std::string error;
    if (!pool::ReadWrapKeyFile(a.wrapKey, &wrapKey, &error)) {
        return Fail("export: " + error);
    }
    auto head = Query(conn,
                      "SELECT key_size, key_count, encode(record_info, 'hex'), created, id, "
                      "encode(wrap_check, 'hex') FROM keypool.pools WHERE name = $1",
                      {a.pool}, &error);
    if (!head || PQntuples(head->get()) != 1) {
        return Fail("export: no pool " + a.pool + (error.empty() ? "" : ": " + error));
    }
    const auto check = pool::WrapCheck(wrapKey);
    if (Text(*head, 0, 5) != HexBytes(check.data(), check.size())) {
        return Fail("export: the wrap key is not the one the pool's keys were imported with");
    }
    KeyFileLayout layout;
    layout.keySize = static_cast<uint32_t>(std::stoul(Text(*head, 0, 0)));
    layout.keyCount = static_cast<uint32_t>(std::stoul(Text(*head, 0, 1)));
    const int32_t poolId = static_cast<int32_t>(std::stol(Text(*head, 0, 4)));
    const std::string info = Text(*head, 0, 2);
    for (size_t i = 0; i < 16 && info.size() == 32; ++i) {
        layout.recordInfo[i] = static_cast<uint8_t>(std::stoul(info.substr(2 * i, 2), nullptr, 16));
    }
    KeyFileTime& t = layout.created;
    if (std::sscanf(Text(*head, 0, 3).c_str(), "%d-%d-%d %d:%d:%d", &t.year, &t.month, &t.day,
                    &t.hour, &t.minute, &t.second) != 6) {
        return Fail("export: the pool's creation time is malformed");
    }
    auto mark = Query(conn, "SELECT keypool.export_mark($1)", {a.pool}, &error);
    if (!mark || PQntuples(mark->get()) != 1 || PQgetisnull(mark->get(), 0, 0)) {
        return Fail("export: " + (error.empty() ? "no pool " + a.pool : error));
    }
    const std::string batch = Text(*mark, 0, 0);
    // The mark flushed here and on the synchronous standbys before a byte leaves.
    if (!Query(conn, "SELECT keypool.flush_now()", {}, &error)) {
        return Fail("export: the keys were marked exported (batch " + batch +
                    ") but the mark could not be flushed: " + error);
    }
    const char* values[] = {a.pool.c_str(), batch.c_str()};
    pool::Result keys(PQexecParams(conn, "SELECT idx, wrapped FROM keypool.export_fetch($1, $2)", 2,
                                   nullptr, values, nullptr, nullptr, 1));
    if (!keys.Ok(PGRES_TUPLES_OK)) {
        return Fail("export: the keys were marked exported (batch " + batch +
                    ") but could not be read: " + keys.Error(conn));
    }
    if (PQntuples(keys.get()) == 0) {
        return Fail("export: pool " + a.pool + " has no free key");
    }
    WipedBytes data;
    data.bytes.assign(static_cast<size_t>(layout.keyCount) * layout.keySize, 0);
    std::vector<bool> exported(layout.keyCount, false);
    for (int i = 0; i < PQntuples(keys.get()); ++i) {
        int64_t idx = -1;
        const int length = PQgetlength(keys.get(), i, 1);
        if (!pool::BinaryInt(keys.get(), i, 0, &idx) || idx < 0 || idx >= layout.keyCount ||
            length != static_cast<int>(layout.keySize + pool::kWrapOverhead) ||
            !pool::UnwrapPoolKey(wrapKey, poolId, static_cast<int32_t>(idx),
                                 reinterpret_cast<const uint8_t*>(PQgetvalue(keys.get(), i, 1)),
                                 static_cast<size_t>(length),
                                 data.bytes.data() + static_cast<size_t>(idx) * layout.keySize)) {
            return Fail("export: key " + std::to_string(idx) +
                        " does not open with the wrap key (batch " + batch + ")");
        }
        exported[static_cast<size_t>(idx)] = true;
    }
    for (uint32_t i = 0; i < layout.keyCount; ++i) {
        if (!exported[i]) {
            layout.usedIndices.push_back(i);
            if (RAND_bytes(data.bytes.data() + static_cast<size_t>(i) * layout.keySize,
                           static_cast<int>(layout.keySize)) != 1) {
                return Fail("export: no random bytes");
            }
        }
    }
    CExportData source(data.bytes);
    if (!WriteKeyFile(a.rest[0], layout, source, false, &error)) {
        return Fail("export: " + error + " (the keys stay exported, batch " + batch + ")");
    }
    std::printf("exported %d keys of pool %s to %s; the pool will not hand them out again\n",
                PQntuples(keys.get()), a.pool.c_str(), a.rest[0].c_str());
    return kExitOk;
}

// Every key of a pool opened with the wrap key (each with its own pool id and index as associated
// data), its SHA-256 against the stored digest, and every nonce its own. Reads the wrapped bytes:
// run by the database superuser, on the live server or on a restored copy.
int RunVerify(PGconn* conn, const PoolArgs& a) {
    if (!a.rest.empty() || a.pool.empty() || a.wrapKey.empty()) {
        return Usage("verify needs --pool NAME and --wrap-key FILE");
    }
    pool::WrapKey wrapKey;
    std::string error;
    if (!pool::ReadWrapKeyFile(a.wrapKey, &wrapKey, &error)) {
        return Fail("verify: " + error);
    }
    auto head = Query(conn,
                      "SELECT id, key_size, key_count, encode(wrap_check, 'hex') FROM "
                      "keypool.pools WHERE name = $1",
                      {a.pool}, &error);
    if (!head || PQntuples(head->get()) != 1) {
        return Fail("verify: no pool " + a.pool + (error.empty() ? "" : ": " + error));
    }
    const auto check = pool::WrapCheck(wrapKey);
    if (Text(*head, 0, 3) != HexBytes(check.data(), check.size())) {
        return Fail("verify: the wrap key is not the one the pool's keys were imported with");
    }
    const std::string poolId = Text(*head, 0, 0);
    const auto keySize = static_cast<size_t>(std::stoul(Text(*head, 0, 1)));
    const uint32_t keyCount = static_cast<uint32_t>(std::stoul(Text(*head, 0, 2)));
    std::map<std::string, int64_t> nonces;
    std::vector<std::string> problems;
    uint32_t seen = 0;
    WipedBytes clear;
    clear.bytes.assign(keySize, 0);
    constexpr int kBatch = 5000;
    for (int64_t from = 0;;) {
        const std::string fromText = std::to_string(from);
        const char* values[] = {poolId.c_str(), fromText.c_str()};
        pool::Result keys(PQexecParams(
            conn,
            "SELECT idx, wrapped, digest FROM keypool.keys WHERE pool_id = $1::integer AND idx >= "
            "$2::integer ORDER BY idx LIMIT 5000",
            2, nullptr, values, nullptr, nullptr, 1));
        if (!keys.Ok(PGRES_TUPLES_OK)) {
            return Fail("verify: the wrapped keys cannot be read (" + keys.Error(conn) +
                        "); run it as the database superuser");
        }
        const int rows = PQntuples(keys.get());
        for (int i = 0; i < rows; ++i) {
            int64_t idx = -1;
            pool::BinaryInt(keys.get(), i, 0, &idx);
            from = idx + 1;
            ++seen;
            const auto* wrapped = reinterpret_cast<const uint8_t*>(PQgetvalue(keys.get(), i, 1));
            const int length = PQgetlength(keys.get(), i, 1);
            const std::string key = "key " + std::to_string(idx) + " ";
            if (length != static_cast<int>(keySize + pool::kWrapOverhead) ||
                !pool::UnwrapPoolKey(wrapKey, static_cast<int32_t>(std::stol(poolId)),
                                     static_cast<int32_t>(idx), wrapped,
                                     static_cast<size_t>(length), clear.bytes.data())) {
                problems.push_back(key + "does not open with the wrap key as this pool's key " +
                                   std::to_string(idx));
                continue;
            }
            uint8_t digest[CSha256::kDigestSize];
            DoHash256(digest, clear.bytes.data(), keySize);
            if (PQgetlength(keys.get(), i, 2) != 32 ||
                std::memcmp(digest, PQgetvalue(keys.get(), i, 2), 32) != 0) {
                problems.push_back(key + "does not match its stored digest");
            }
            const auto [it, fresh] = nonces.emplace(
                std::string(reinterpret_cast<const char*>(wrapped), pool::kWrapNonceBytes), idx);
            if (!fresh) {
                problems.push_back(key + "has the nonce of key " + std::to_string(it->second));
            }
        }
        if (rows < kBatch) {
            break;
        }
    }
    if (seen != keyCount) {
        problems.push_back("the pool holds " + std::to_string(seen) + " keys, not " +
                           std::to_string(keyCount));
    }
    for (const std::string& p : problems) {
        std::printf("%s\n", p.c_str());
    }
    std::printf("%u keys of pool %s verified: %s\n", seen, a.pool.c_str(),
                problems.empty() ? "every key opens, matches its digest and has its own nonce"
                                 : (std::to_string(problems.size()) + " problems").c_str());
    return problems.empty() ? kExitOk : kExitFail;
}

// An administrator's word on a key in doubt: spent, or delivered to the named serial number.
int RunResolve(PGconn* conn, const PoolArgs& a) {
    if (a.rest.size() != 2 || a.pool.empty() || a.reason.empty() ||
        (a.rest[1] != "spent" && a.rest[1] != "delivered") ||
        (a.rest[1] == "delivered" && a.serial.empty())) {
        return Usage(
            "resolve needs --pool NAME, KEY, spent or delivered (with --serial SN) and "
            "--reason TEXT");
    }
    std::string error;
    auto r = Query(conn, "SELECT keypool.resolve_key($1, $2::integer, $3, $4, $5)",
                   {a.pool, a.rest[0], a.rest[1], a.serial, a.reason}, &error);
    if (!r || PQntuples(r->get()) != 1) {
        return Fail("resolve: " + error);
    }
    if (Text(*r, 0, 0) != "t") {
        return Fail("resolve: key " + a.rest[0] + " of pool " + a.pool +
                    " is not in doubt (reserved without an end)");
    }
    std::printf("key %s of pool %s resolved: %s%s\n", a.rest[0].c_str(), a.pool.c_str(),
                a.rest[1].c_str(), a.rest[1] == "delivered" ? (" to " + a.serial).c_str() : "");
    return kExitOk;
}

int RunBind(PGconn* conn, const PoolArgs& a, bool bind) {
    if (a.rest.size() != 1 || a.pool.empty()) {
        return Usage("bind and unbind need --pool NAME and ROLE");
    }
    std::string error;
    auto r =
        bind ? Query(conn, "SELECT keypool.bind_station($1, $2, $3)",
                     {a.pool, a.rest[0], std::to_string(a.limit)}, &error)
             : Query(conn, "SELECT keypool.unbind_station($1, $2)", {a.pool, a.rest[0]}, &error);
    if (!r || PQntuples(r->get()) != 1) {
        return Fail(std::string(bind ? "bind: " : "unbind: ") + error);
    }
    if (Text(*r, 0, 0) != "t") {
        return Fail(bind ? "bind: no pool " + a.pool + " or no station role " + a.rest[0] +
                               " (a member of keypool_station)"
                         : "unbind: " + a.rest[0] + " is not bound to pool " + a.pool);
    }
    std::printf("%s %s %s pool %s\n", bind ? "bound" : "unbound", a.rest[0].c_str(),
                bind ? "to" : "from", a.pool.c_str());
    return kExitOk;
}

nlohmann::json Rows(const pool::Result& r, const std::vector<std::string>& names,
                    const std::vector<bool>& numeric) {
    nlohmann::json out = nlohmann::json::array();
    for (int i = 0; i < PQntuples(r.get()); ++i) {
        nlohmann::json row;
        for (size_t f = 0; f < names.size(); ++f) {
            const std::string v = Text(r, i, static_cast<int>(f));
            row[names[f]] = numeric[f] ? nlohmann::json(std::stoll(v)) : nlohmann::json(v);
        }
        out.push_back(row);
    }
    return out;
}

int RunPoolAudit(PGconn* conn, const PoolArgs& a) {
    std::string error;
    const int version = SchemaVersion(conn, &error);
    if (version != kPoolSchemaVersion) {
        return Fail("audit: the key pool schema is version " + std::to_string(version) +
                    ", this kdbtool audits version " + std::to_string(kPoolSchemaVersion) +
                    (version > 0 && version < kPoolSchemaVersion ? " (kdbtool pool upgrade)" : ""));
    }
    // The chains (one per pool; before chain_start one over every pool, ids 1..N without a
    // gap): each hash over the previous row's hash and this row's text, both made here from the
    // raw columns (nothing the server computes is trusted).
    ChainAudit chain;
    if (!AuditChain(conn, a.expectHead, &chain, &error)) {
        return Fail("audit: the events cannot be read: " + error);
    }
    // The schema as this version installs it: functions, triggers, grants, owners.
    std::vector<std::string> differences;
    std::string definitions;
    if (!AuditSchema(conn, &differences, &definitions, &error)) {
        return Fail("audit: the schema cannot be read: " + error);
    }
    // The state each key's events lead to, beside the state the keys table holds.
    auto mismatch =
        Query(conn,
              "WITH last AS (SELECT DISTINCT ON (pool_id, idx) pool_id, idx, event FROM "
              "keypool.events WHERE idx >= 0 ORDER BY pool_id, idx, id DESC) "
              "SELECT p.name, k.idx, k.state, coalesce(l.event, '') FROM keypool.keys k "
              "JOIN keypool.pools p ON p.id = k.pool_id LEFT JOIN last l ON "
              "l.pool_id = k.pool_id AND l.idx = k.idx WHERE l.event IS NULL OR "
              "k.state <> CASE l.event WHEN 'imported' THEN 'free' WHEN 'returned' "
              "THEN 'free' WHEN 'fetched' THEN 'reserved' ELSE l.event END ORDER BY 1, 2",
              {}, &error);
    auto twice = Query(conn,
                       "SELECT p.name, e.idx, count(*) FILTER (WHERE e.event = 'delivered'), "
                       "count(*) FILTER (WHERE e.event = 'reserved') FROM keypool.events e JOIN "
                       "keypool.pools p ON p.id = e.pool_id WHERE e.idx >= 0 GROUP BY 1, 2 "
                       "HAVING count(*) FILTER (WHERE e.event = 'delivered') > 1 OR count(*) "
                       "FILTER (WHERE e.event = 'reserved') > 1 ORDER BY 1, 2",
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
    auto duplicates = Query(conn,
                            "SELECT encode(k.digest, 'hex'), string_agg(p.name || ':' || k.idx, "
                            "' ' ORDER BY p.name, k.idx) FROM keypool.keys k JOIN keypool.pools "
                            "p ON p.id = k.pool_id GROUP BY k.digest HAVING count(*) > 1 "
                            "ORDER BY 1",
                            {}, &error);
    const nlohmann::json activity = duplicates ? StationActivity(conn, &error) : nlohmann::json();
    if (!mismatch || !twice || !doubt || !serials || !duplicates || activity.is_null()) {
        return Fail("audit: " + error);
    }
    nlohmann::json out;
    out["events"] = chain.events;
    out["chainBrokenAt"] = chain.brokenAt;
    out["headHash"] = chain.headHash;
    out["expectedHeadFound"] = chain.expectedFound;
    out["schemaDifferences"] = differences;
    out["schemaDigest"] = definitions;
    out["disagreements"] =
        Rows(*mismatch, {"pool", "key", "state", "lastEvent"}, {false, true, false, false});
    out["twice"] =
        Rows(*twice, {"pool", "key", "delivered", "reserved"}, {false, true, true, true});
    out["inDoubt"] = Rows(*doubt, {"pool", "station", "key"}, {false, false, true});
    out["serialsWithSeveralKeys"] = Rows(*serials, {"serial", "keys"}, {false, true});
    out["duplicateDigests"] = Rows(*duplicates, {"digest", "keys"}, {false, false});
    out["stations"] = activity;
    const bool pass = out["chainBrokenAt"] == 0 && out["expectedHeadFound"].get<bool>() &&
                      out["disagreements"].empty() && out["twice"].empty() &&
                      out["duplicateDigests"].empty() && differences.empty();
    out["pass"] = pass;
    if (a.json) {
        std::puts(out.dump(2).c_str());
    } else {
        std::printf(
            "events: %lld, chain %s\n", out["events"].get<long long>(),
            out["chainBrokenAt"] == 0
                ? "intact"
                : ("BROKEN at event " + std::to_string(out["chainBrokenAt"].get<long long>()))
                      .c_str());
        if (!a.expectHead.empty()) {
            std::printf("earlier head %s: %s\n", a.expectHead.c_str(),
                        out["expectedHeadFound"].get<bool>() ? "in the chain" : "NOT FOUND");
        }
        std::printf("schema differences from this version's: %zu\n", differences.size());
        for (const std::string& d : differences) {
            std::printf("  %s\n", d.c_str());
        }
        std::printf("disagreements between keys and events: %zu\n", out["disagreements"].size());
        std::printf("keys reserved or delivered more than once: %zu\n", out["twice"].size());
        std::printf("keys present more than once (by digest): %zu\n",
                    out["duplicateDigests"].size());
        for (const auto& d : out["duplicateDigests"]) {
            std::printf("  %s\n", d["keys"].get<std::string>().c_str());
        }
        std::printf("in doubt (reserved, no end recorded): %zu\n", out["inDoubt"].size());
        for (const auto& d : out["inDoubt"]) {
            std::printf("  pool %s station %s key %lld\n", d["pool"].get<std::string>().c_str(),
                        d["station"].get<std::string>().c_str(), d["key"].get<long long>());
        }
        std::printf("serial numbers with more than one key: %zu\n",
                    out["serialsWithSeveralKeys"].size());
        for (const auto& [name, stations] : activity.items()) {
            std::printf("pool %s\n", name.c_str());
            PrintActivity(activity, name);
        }
        std::printf("head hash %s\n", out["headHash"].get<std::string>().c_str());
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
        const bool valued = arg == "--db" || arg == "--pool" || arg == "--wrap-key" ||
                            arg == "--expect-head" || arg == "--limit" || arg == "--serial" ||
                            arg == "--reason";
        if (valued && i + 1 < args.size()) {
            const std::string& value = args[++i];
            if (arg == "--limit") {
                char* end = nullptr;
                const long n = std::strtol(value.c_str(), &end, 10);
                if (end == value.c_str() || *end != '\0' || n < 1 || n > 4096) {
                    return Usage("--limit takes 1..4096");
                }
                a.limit = static_cast<int>(n);
            } else {
                (arg == "--db"         ? a.db
                 : arg == "--pool"     ? a.pool
                 : arg == "--wrap-key" ? a.wrapKey
                 : arg == "--serial"   ? a.serial
                 : arg == "--reason"   ? a.reason
                                       : a.expectHead) = value;
            }
        } else if (arg == "--json") {
            a.json = true;
        } else if (arg == "--insecure-pool-connection") {
            a.insecure = true;
        } else if (!arg.empty() && arg[0] == '-') {
            return Usage(("unknown option " + arg).c_str());
        } else if (command.empty()) {
            command = arg;
        } else {
            a.rest.push_back(arg);
        }
    }
    if (command == "keygen") {
        if (a.rest.size() != 1) {
            return Usage("keygen needs OUT");
        }
        std::string error;
        if (!pool::WriteNewWrapKeyFile(a.rest[0], &error)) {
            return Fail("keygen: " + error);
        }
        std::printf("wrote a new pool wrap key to %s (mode 0600)\n", a.rest[0].c_str());
        return kExitOk;
    }
    if (a.db.empty() || command.empty()) {
        return Usage(
            "needs --db CONNINFO and a command (init, upgrade, import, status, export, audit, "
            "verify, resolve, bind, unbind), or keygen OUT");
    }
    std::string conninfo;
    std::string error;
    if (!pool::CheckConnInfo(a.db, a.insecure, &conninfo, &error)) {
        return Fail(error);
    }
    if (a.insecure) {
        std::fprintf(stderr,
                     "kdbtool pool: --insecure-pool-connection: the connection is not required "
                     "to be verified TLS\n");
    }
    Conn conn(PQconnectdb(conninfo.c_str()), &PQfinish);
    if (!conn || PQstatus(conn.get()) != CONNECTION_OK) {
        return Fail("cannot connect: " + pool::ConnError(conn.get()));
    }
    if (!pool::CheckConnected(conn.get(), a.insecure, &error)) {
        return Fail("the connection is refused: " + error);
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
    if (command == "upgrade") {
        return RunUpgrade(conn.get());
    }
    if (command == "resolve") {
        return RunResolve(conn.get(), a);
    }
    if (command == "verify") {
        return RunVerify(conn.get(), a);
    }
    if (command == "bind" || command == "unbind") {
        return RunBind(conn.get(), a, command == "bind");
    }
    return Usage(("unknown command " + command).c_str());
}

}  // namespace kdbtool
