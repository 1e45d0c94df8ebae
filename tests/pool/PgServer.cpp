#include "tests/pool/PgServer.h"

#include <libpq-fe.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>

namespace pooltest {

namespace {

std::string FindBin() {
    namespace fs = std::filesystem;
    std::error_code ec;
    for (const char* dir : {"/usr/lib/postgresql/15/bin", "/usr/lib/postgresql/16/bin"}) {
        if (fs::exists(fs::path(dir) / "initdb", ec)) {
            return dir;
        }
    }
    return std::string();
}

}  // namespace

PgServer::PgServer() {
    bin_ = FindBin();
    if (bin_.empty()) {
        error_ = "no initdb (install postgresql-15)";
        return;
    }
    char pattern[] = "/tmp/kspool.XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
        error_ = "mkdtemp failed";
        return;
    }
    folder_ = pattern;
    if (geteuid() == 0) {
        // The server refuses to run as root: hand the folder to nobody and run as nobody.
        if (!Run("chown nobody:nogroup " + folder_)) {
            error_ = "chown failed";
            return;
        }
        asUser_ = "setpriv --reuid=nobody --regid=nogroup --clear-groups ";
    }
    if (!Run(asUser_ + bin_ + "/initdb -D " + folder_ + "/data -U ksadmin -A trust -E UTF8 " +
             "--no-sync >" + folder_ + "/initdb.log 2>&1")) {
        error_ = "initdb failed (" + folder_ + "/initdb.log)";
        return;
    }
    started_ = Run(asUser_ + bin_ + "/pg_ctl -D " + folder_ + "/data -w -l " + folder_ +
                   "/server.log -o \"-c listen_addresses='' -k " + folder_ + "\" start >/dev/null");
    if (!started_) {
        error_ = "postgres did not start";
        return;
    }
    ok_ = true;
}

RemovedAtEnd::~RemovedAtEnd() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

PgServer::~PgServer() {
    if (started_ &&
        !Run(asUser_ + bin_ + "/pg_ctl -D " + folder_ + "/data -w -m immediate stop >/dev/null")) {
        // pg_ctl failed: stop the server through the process id it noted.
        std::ifstream pidFile(folder_ + "/data/postmaster.pid");
        long pid = 0;
        if (pidFile >> pid && pid > 1) {
            ::kill(static_cast<pid_t>(pid), SIGKILL);
        }
    }
    if (!folder_.empty()) {
        std::error_code ec;
        std::filesystem::remove_all(folder_, ec);
    }
}

bool PgServer::Restart() {
    return Run(asUser_ + bin_ + "/pg_ctl -D " + folder_ + "/data -w -m immediate -l " + folder_ +
               "/server.log -o \"-c listen_addresses='' -k " + folder_ + "\" restart >/dev/null");
}

bool PgServer::Run(const std::string& command) {
    return std::system(command.c_str()) == 0;
}

std::string PgServer::ConnInfo(const std::string& user) const {
    return "host=" + folder_ + " user=" + user + " dbname=postgres";
}

bool PgServer::Sql(const std::string& sql) const {
    std::unique_ptr<PGconn, decltype(&PQfinish)> conn(PQconnectdb(ConnInfo("ksadmin").c_str()),
                                                      &PQfinish);
    if (!conn || PQstatus(conn.get()) != CONNECTION_OK) {
        return false;
    }
    PGresult* r = PQexec(conn.get(), sql.c_str());
    const ExecStatusType status = PQresultStatus(r);
    PQclear(r);
    return status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK;
}

}  // namespace pooltest
