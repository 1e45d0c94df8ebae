// A throw-away PostgreSQL server for tests: initdb into a fresh temporary folder as an
// unprivileged user (nobody when the tests run as root), postgres listening only on a Unix socket
// in that folder, and everything stopped and removed at the end. The superuser is "ksadmin".
#pragma once

#include <string>
#include <utility>

namespace pooltest {

class PgServer {
  public:
    PgServer();
    ~PgServer();
    PgServer(const PgServer&) = delete;
    PgServer& operator=(const PgServer&) = delete;

    // False (with the reason in Error()) when the server could not be started.
    bool Ok() const { return ok_; }
    const std::string& Error() const { return error_; }
    // A libpq connection string for the given role on the database "postgres".
    std::string ConnInfo(const std::string& user) const;
    // Stops the server at once (every connection dies) and starts it again.
    bool Restart();
    // Runs SQL as the superuser; false on any error.
    bool Sql(const std::string& sql) const;

  private:
    bool Run(const std::string& command);

    std::string folder_;
    std::string bin_;
    std::string asUser_;  // prefix that runs a command as the server's user
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
