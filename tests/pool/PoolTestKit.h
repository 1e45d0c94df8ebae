// What the pool tests share: kdbtool runs, statements as a given role, the keys of a key file.
#pragma once

#include <gtest/gtest.h>
#include <libpq-fe.h>
#include <sys/wait.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "keydb/KeyFile.h"
#include "tests/pool/PgServer.h"

namespace pooltest {

using Conn = std::unique_ptr<PGconn, decltype(&PQfinish)>;

inline Conn Connect(const std::string& conninfo) {
    return Conn(PQconnectdb(conninfo.c_str()), &PQfinish);
}

// kdbtool with these arguments (a shell line); its exit status. Output to `out` when given.
inline int Kdbtool(const std::string& args, const std::string& out = "/dev/null") {
    const int status =
        std::system((std::string(KS_KDBTOOL) + " " + args + " >" + out + " 2>&1").c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

inline std::string ReadText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), {});
}

// Runs one statement as `user`; true when the server accepted it.
inline bool Allowed(const PgServer& pg, const std::string& user, const std::string& sql) {
    Conn conn = Connect(pg.ConnInfo(user));
    EXPECT_EQ(PQstatus(conn.get()), CONNECTION_OK) << user;
    PGresult* r = PQexec(conn.get(), sql.c_str());
    const ExecStatusType status = PQresultStatus(r);
    PQclear(r);
    return status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK;
}

// The first column of every row of a query as the superuser.
inline std::vector<std::string> Column(const PgServer& pg, const std::string& sql) {
    Conn conn = Connect(pg.ConnInfo("ksadmin"));
    PGresult* r = PQexec(conn.get(), sql.c_str());
    std::vector<std::string> out;
    for (int i = 0; PQresultStatus(r) == PGRES_TUPLES_OK && i < PQntuples(r); ++i) {
        out.emplace_back(PQgetvalue(r, i, 0), static_cast<size_t>(PQgetlength(r, i, 0)));
    }
    PQclear(r);
    return out;
}

// Key bytes -> index, as the key file holds them.
inline std::map<std::string, uint32_t> FileKeys(const std::string& kdb) {
    std::map<std::string, uint32_t> keys;
    CKeyFile file(kdb, nullptr, KeyFileAccess::VerifyOnly);
    EXPECT_TRUE(file.IsValid()) << kdb;
    const std::string bytes = ReadText(kdb);
    const size_t size = static_cast<size_t>(file.GetKeySize());
    for (uint32_t i = 0; i < static_cast<uint32_t>(file.GetKeyCount()); ++i) {
        keys[bytes.substr(file.GetHeaderSize() + i * size, size)] = i;
    }
    return keys;
}

}  // namespace pooltest
