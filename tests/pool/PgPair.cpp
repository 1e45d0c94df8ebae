#include "tests/pool/PgPair.h"

#include <libpq-fe.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>

namespace pooltest {

namespace {

constexpr int kPort = 5432;  // sockets only: the port names the socket in the pair's folder

}  // namespace

PgPair::PgPair() {
    namespace fs = std::filesystem;
    std::error_code ec;
    for (const char* dir : {"/usr/lib/postgresql/15/bin", "/usr/lib/postgresql/16/bin"}) {
        if (bin_.empty() && fs::exists(fs::path(dir) / "initdb", ec)) {
            bin_ = dir;
        }
    }
    if (bin_.empty()) {
        error_ = "no initdb (install postgresql-15)";
        return;
    }
    char pattern[] = "/tmp/kspair.XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
        error_ = "mkdtemp failed";
        return;
    }
    folder_ = pattern;
    if (geteuid() == 0) {
        asUser_ = "setpriv --reuid=nobody --regid=nogroup --clear-groups ";
    }
    if (!Run("POOL_PAIR_NOSYNC=1 " + std::string(KS_SOURCE_DIR) + "/scripts/pool-pair.sh " +
             folder_ + " " + std::to_string(kPort) + " >" + folder_ + ".log 2>&1")) {
        error_ = "scripts/pool-pair.sh failed (" + folder_ + ".log)";
        return;
    }
    ok_ = true;
}

PgPair::~PgPair() {
    for (const char* cluster : {"primary", "standby"}) {
        std::ifstream pidFile(folder_ + "/" + cluster + "/postmaster.pid");
        long pid = 0;
        if (pidFile >> pid && pid > 1 && !Ctl(cluster, "-m immediate stop")) {
            ::kill(static_cast<pid_t>(pid), SIGKILL);
        }
    }
    if (!folder_.empty()) {
        std::error_code ec;
        std::filesystem::remove_all(folder_, ec);
        std::filesystem::remove(folder_ + ".log", ec);
    }
}

bool PgPair::Run(const std::string& command) const {
    return std::system(command.c_str()) == 0;
}

bool PgPair::Ctl(const std::string& cluster, const std::string& what) const {
    return Run(asUser_ + bin_ + "/pg_ctl -D " + folder_ + "/" + cluster + " -w -l " + folder_ +
               "/" + cluster + ".log " + what + " >/dev/null 2>&1");
}

std::string PgPair::Primary(const std::string& user) const {
    return "host=" + folder_ + " port=" + std::to_string(kPort) + " user=" + user +
           " dbname=postgres";
}

std::string PgPair::Standby(const std::string& user) const {
    return "host=" + folder_ + " port=" + std::to_string(kPort + 1) + " user=" + user +
           " dbname=postgres";
}

std::string PgPair::Both(const std::string& user) const {
    return "host=" + folder_ + "," + folder_ + " port=" + std::to_string(kPort) + "," +
           std::to_string(kPort + 1) + " target_session_attrs=read-write user=" + user +
           " dbname=postgres";
}

bool PgPair::StopPrimary() {
    return Ctl("primary", "-m immediate stop");
}

bool PgPair::Promote() {
    promoted_ = Ctl("standby", "promote");
    return promoted_;
}

bool PgPair::StopStandby() {
    return Ctl("standby", "-m immediate stop");
}

bool PgPair::StartStandby() {
    return Ctl("standby", "start");
}

bool PgPair::Sql(const std::string& sql) const {
    const std::string where = promoted_ ? Standby("ksadmin") : Primary("ksadmin");
    std::unique_ptr<PGconn, decltype(&PQfinish)> conn(PQconnectdb(where.c_str()), &PQfinish);
    if (!conn || PQstatus(conn.get()) != CONNECTION_OK) {
        return false;
    }
    PGresult* r = PQexec(conn.get(), sql.c_str());
    const ExecStatusType status = PQresultStatus(r);
    PQclear(r);
    return status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK;
}

}  // namespace pooltest
