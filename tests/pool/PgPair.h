// A primary and a synchronous standby for tests, made by scripts/pool-pair.sh in a fresh
// temporary folder (sockets only, the superuser "ksadmin"), stopped and removed at the end. The
// test kills the primary and promotes the standby as an operator would.
#pragma once

#include <string>

namespace pooltest {

class PgPair {
  public:
    PgPair();
    ~PgPair();
    PgPair(const PgPair&) = delete;
    PgPair& operator=(const PgPair&) = delete;

    bool Ok() const { return ok_; }
    const std::string& Error() const { return error_; }
    // Connection strings for `user` on the database "postgres": one server, or both as a
    // station names them (the one that takes writes wins).
    std::string Primary(const std::string& user) const;
    std::string Standby(const std::string& user) const;
    std::string Both(const std::string& user) const;
    // pg_ctl stop -m immediate on the primary: every connection dies, nothing is flushed.
    bool StopPrimary();
    // The standby becomes the primary (pg_ctl promote, waiting until it takes writes).
    bool Promote();
    bool StopStandby();
    bool StartStandby();
    // Runs SQL as the superuser on the primary (the standby once promoted); false on any error.
    bool Sql(const std::string& sql) const;

  private:
    bool Run(const std::string& command) const;
    bool Ctl(const std::string& cluster, const std::string& what) const;

    std::string folder_;
    std::string bin_;
    std::string asUser_;
    bool promoted_ = false;
    bool ok_ = false;
    std::string error_;
};

}  // namespace pooltest
