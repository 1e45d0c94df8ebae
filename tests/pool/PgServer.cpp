#include "tests/pool/PgServer.h"

#include <arpa/inet.h>
#include <libpq-fe.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
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

// A port on 127.0.0.1 that nobody listens on now.
int FreePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof addr;
    int port = 0;
    if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length) == 0) {
        port = ntohs(addr.sin_port);
    }
    if (fd >= 0) {
        ::close(fd);
    }
    return port;
}

}  // namespace

PgServer::PgServer(bool tls) {
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
    options_ = "-c listen_addresses='' -k " + folder_;
    if (tls) {
        port_ = FreePort();
        const std::string& d = folder_;
        const std::string quiet = " >>" + d + "/openssl.log 2>&1";
        const bool made =
            port_ > 0 &&
            Run("openssl req -x509 -newkey rsa:2048 -nodes -keyout " + d + "/ca.key -out " + d +
                "/ca.crt -days 2 -subj /CN=kstest-ca" + quiet) &&
            Run("openssl req -newkey rsa:2048 -nodes -keyout " + d + "/data/server.key -out " + d +
                "/server.csr -subj /CN=localhost" + quiet) &&
            Run("printf 'subjectAltName=DNS:localhost,IP:127.0.0.1\\n' >" + d + "/san.ext") &&
            Run("openssl x509 -req -in " + d + "/server.csr -CA " + d + "/ca.crt -CAkey " + d +
                "/ca.key -CAcreateserial -out " + d + "/data/server.crt -days 2 -extfile " + d +
                "/san.ext" + quiet) &&
            Run("chmod 600 " + d + "/data/server.key && chmod 644 " + d + "/ca.crt") &&
            (asUser_.empty() ||
             Run("chown nobody:nogroup " + d + "/data/server.key " + d + "/data/server.crt")) &&
            Run("printf 'local all all trust\\nhostssl all all 127.0.0.1/32 scram-sha-256\\n' "
                ">" +
                d + "/data/pg_hba.conf") &&
            Run("printf \"ssl = on\\nssl_min_protocol_version = 'TLSv1.3'\\n"
                "password_encryption = 'scram-sha-256'\\n\" >>" +
                d + "/data/postgresql.conf");
        if (!made) {
            error_ = "the TLS set-up failed (" + folder_ + "/openssl.log)";
            return;
        }
        options_ = "-c listen_addresses=127.0.0.1 -p " + std::to_string(port_) + " -k " + folder_;
    }
    started_ = Run(asUser_ + bin_ + "/pg_ctl -D " + folder_ + "/data -w -l " + folder_ +
                   "/server.log -o \"" + options_ + "\" start >/dev/null");
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
               "/server.log -o \"" + options_ + "\" restart >/dev/null");
}

bool PgServer::Run(const std::string& command) {
    return std::system(command.c_str()) == 0;
}

std::string PgServer::ConnInfo(const std::string& user) const {
    return "host=" + folder_ + " port=" + std::to_string(port_) + " user=" + user +
           " dbname=postgres";
}

std::string PgServer::TcpConnInfo(const std::string& user) const {
    return "host=localhost hostaddr=127.0.0.1 port=" + std::to_string(port_) + " user=" + user +
           " dbname=postgres sslmode=verify-full sslrootcert=" + folder_ + "/ca.crt";
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
