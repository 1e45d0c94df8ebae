// A throw-away PostgreSQL server for tests: initdb into a fresh temporary folder as an
// unprivileged user (nobody when the tests run as root), postgres listening only on a Unix socket
// in that folder, and everything stopped and removed at the end. The superuser is "ksadmin".
// With `tls`, it also listens on 127.0.0.1 for TLS only (a CA and a server certificate for
// "localhost" made with openssl in the folder, TLS 1.3 at least), and roles log in over TCP with
// SCRAM passwords; the Unix socket stays trusted for the test's own set-up.
#pragma once

#include <string>
#include <utility>

namespace pooltest {

class PgServer {
  public:
    explicit PgServer(bool tls = false);
    ~PgServer();
    PgServer(const PgServer&) = delete;
    PgServer& operator=(const PgServer&) = delete;

    // False (with the reason in Error()) when the server could not be started.
    bool Ok() const { return ok_; }
    const std::string& Error() const { return error_; }
    // A libpq connection string for the given role on the database "postgres".
    std::string ConnInfo(const std::string& user) const;
    // A verify-full TLS connection string over TCP for the given role (a `tls` server).
    std::string TcpConnInfo(const std::string& user) const;
    int Port() const { return port_; }
    // The folder of the server's programs (pg_dump).
    const std::string& Bin() const { return bin_; }
    // The server's folder (the CA certificate is ca.crt in it).
    const std::string& Folder() const { return folder_; }
    // Stops the server at once (every connection dies) and starts it again.
    bool Restart();
    // Runs SQL as the superuser; false on any error.
    bool Sql(const std::string& sql) const;

  private:
    bool Run(const std::string& command);

    std::string folder_;
    std::string bin_;
    std::string asUser_;   // prefix that runs a command as the server's user
    std::string options_;  // the server's -o options
    int port_ = 5432;
    bool started_ = false;
    bool ok_ = false;
    std::string error_;
};

// Removes a folder when the scope ends, also when an assertion returns early.
class RemovedAtEnd {
  public:
    explicit RemovedAtEnd(std::string path) : path_(std::move(path)) {}
    ~RemovedAtEnd();
    RemovedAtEnd(const RemovedAtEnd&) = delete;
    RemovedAtEnd& operator=(const RemovedAtEnd&) = delete;

  private:
    std::string path_;
};

}  // namespace pooltest
