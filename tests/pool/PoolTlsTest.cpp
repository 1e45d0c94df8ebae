// The network path (attack 3): a server that takes station logins only over TLS with SCRAM
// passwords (certificates made in the test with openssl). The station refuses a plain TCP
// connection string and a password in it, refuses a man in the middle that answers "no TLS"
// before sending it a byte more, and over verified TLS with channel binding provisions its boards.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <utility>

#include "keydb/pool/PoolCrypto.h"
#include "keydb/pool/PoolKeySource.h"
#include "tests/common/ChildProcess.h"
#include "tests/pool/PgServer.h"
#include "tests/pool/PoolTestKit.h"

namespace {

namespace fs = std::filesystem;

// Listens on 127.0.0.1; to the first client's TLS request it answers "N" (no TLS), then counts
// what the client sends before it hangs up.
class NoTlsProxy {
  public:
    NoTlsProxy() {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof addr;
        if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
            ::listen(fd_, 1) != 0 ||
            ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &length) != 0) {
            return;
        }
        port_ = ntohs(addr.sin_port);
        thread_ = std::thread([this] { Serve(); });
    }
    ~NoTlsProxy() {
        if (thread_.joinable()) {
            thread_.join();
        }
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    int Port() const { return port_; }
    // Waits until the proxy has served its one connection (the client closed it, or 3 s passed
    // without a byte), so that what it saw is complete.
    void Finish() {
        if (thread_.joinable()) {
            thread_.join();
        }
    }
    bool Answered() const { return answered_; }
    long AfterNo() const { return afterNo_; }

  private:
    void Serve() {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, 20000) != 1) {
            return;
        }
        const int client = ::accept(fd_, nullptr, nullptr);
        unsigned char request[8];
        if (client >= 0 && ::recv(client, request, sizeof request, MSG_WAITALL) == 8 &&
            request[4] == 0x04 && request[5] == 0xd2 && request[6] == 0x16 && request[7] == 0x2f) {
            answered_ = ::send(client, "N", 1, 0) == 1;
            char buffer[512];
            pollfd c{client, POLLIN, 0};
            while (::poll(&c, 1, 3000) == 1) {
                const ssize_t n = ::recv(client, buffer, sizeof buffer, 0);
                if (n <= 0) {
                    break;
                }
                afterNo_ += n;
            }
        }
        if (client >= 0) {
            ::close(client);
        }
    }

    int fd_ = -1;
    int port_ = 0;
    std::thread thread_;
    std::atomic<bool> answered_{false};
    std::atomic<long> afterNo_{0};
};

TEST(PoolTls, AStationRefusesPlainAndStrippedConnectionsAndProvisionsOverTlsWithScram) {
    pooltest::PgServer pg(true);
    ASSERT_TRUE(pg.Ok()) << pg.Error();
    const fs::path dir = fs::temp_directory_path() / ("kspooltls." + std::to_string(getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    const pooltest::RemovedAtEnd cleanUp(dir.string());
    const std::string kdb = (dir / "keys.kdb").string();
    const std::string wrap = (dir / "pool.key").string();
    const std::string db = "--db \"" + pg.ConnInfo("ksadmin") + "\"";
    ASSERT_EQ(pooltest::Kdbtool("create --keys 40 --key-size 64 " + kdb), 0);
    ASSERT_EQ(pooltest::Kdbtool("pool keygen " + wrap), 0);
    ASSERT_EQ(pooltest::Kdbtool("pool " + db + " init"), 0);
    ASSERT_EQ(
        pooltest::Kdbtool("pool " + db + " import " + kdb + " --pool line --wrap-key " + wrap), 0);
    ASSERT_TRUE(pg.Sql("CREATE ROLE st LOGIN PASSWORD 'St-pass-1'; GRANT keypool_station TO st"));
    ASSERT_EQ(pooltest::Kdbtool("pool " + db + " bind --pool line st"), 0);
    // The password only in the passfile.
    const std::string passfile = (dir / "pgpass").string();
    std::ofstream(passfile) << "localhost:" << pg.Port() << ":postgres:st:St-pass-1\n";
    fs::permissions(passfile, fs::perms::owner_read | fs::perms::owner_write);
    ::setenv("PGPASSFILE", passfile.c_str(), 1);
    PoolSourceOptions options;
    options.wrapKeyFile = wrap;

    // A plain TCP string, and one that carries its password, are refused before connecting.
    const std::string plain =
        "host=127.0.0.1 port=" + std::to_string(pg.Port()) + " user=st dbname=postgres";
    CPoolKeySource refused(plain, "line", nullptr, options);
    EXPECT_FALSE(refused.IsValid());
    EXPECT_NE(refused.GetError().find("sslmode=verify-full"), std::string::npos);
    CPoolKeySource withPassword(pg.TcpConnInfo("st") + " password=St-pass-1", "line", nullptr,
                                options);
    EXPECT_FALSE(withPassword.IsValid());
    EXPECT_NE(withPassword.GetError().find("PGPASSFILE"), std::string::npos);
    EXPECT_NE(pooltest::Kdbtool("pool --db \"" + plain + "\" status"), 0);

    // A man in the middle that answers "no TLS" gets nothing more: no login, no password.
    {
        NoTlsProxy proxy;
        ASSERT_GT(proxy.Port(), 0);
        const std::string viaProxy =
            "host=localhost hostaddr=127.0.0.1 port=" + std::to_string(proxy.Port()) +
            " user=st dbname=postgres sslmode=verify-full sslrootcert=" + pg.Folder() + "/ca.crt";
        CPoolKeySource stripped(viaProxy, "line", nullptr, options);
        EXPECT_FALSE(stripped.IsValid());
        proxy.Finish();
        EXPECT_TRUE(proxy.Answered());
        EXPECT_EQ(proxy.AfterNo(), 0);
    }

    // Over verified TLS the login is SCRAM with channel binding, which libpq enforces.
    std::string effective;
    std::string error;
    ASSERT_TRUE(pool::CheckConnInfo(pg.TcpConnInfo("st"), false, &effective, &error)) << error;
    EXPECT_NE(effective.find("channel_binding='require'"), std::string::npos);
    {
        pooltest::Conn conn = pooltest::Connect(effective);
        ASSERT_EQ(PQstatus(conn.get()), CONNECTION_OK) << PQerrorMessage(conn.get());
        EXPECT_EQ(PQsslInUse(conn.get()), 1);
        EXPECT_STREQ(PQsslAttribute(conn.get(), "protocol"), "TLSv1.3");
    }

    // A console station over that connection provisions its simulated boards; a plain string on
    // its command line is refused (Start refused: no key source).
    const fs::path home = dir / "home";
    fs::create_directories(home);
    const fs::path data = fs::path(KS_SOURCE_DIR) / "data";
    fs::copy(data / "lang", home / "lang", fs::copy_options::recursive);
    fs::copy_file(data / "devices.ini", home / "devices.ini");
    fs::copy_file(data / "config.ini", home / "config.ini");
    auto station = [&](const std::string& conninfo) {
        return child_process::Run({KS_KEYSTATION_CLI, "--home", home.string(), "--key-pool",
                                   conninfo, "--pool", "line", "--pool-wrap-key", wrap,
                                   "--simulate", "4", "--start", "--until-idle", "--keybox", "1",
                                   "--rkp", "0", "--dest", "0"});
    };
    EXPECT_EQ(station(plain), 2);

    // A string without a host that a service (PGSERVICE) takes over TCP is checked on what was
    // connected: sslmode=require (no certificate check: an impostor's would pass) and verify-full
    // without channel binding are refused with the rule that refused them, by the station source,
    // kdbtool and the console station, whose operator reads the rule.
    const std::string services = (dir / "pg_service.conf").string();
    std::ofstream(services) << "[loose]\nhost=localhost\nhostaddr=127.0.0.1\nport=" << pg.Port()
                            << "\nsslmode=require\n[nobinding]\nhost=localhost\nhostaddr=127.0.0.1"
                            << "\nport=" << pg.Port()
                            << "\nsslmode=verify-full\nsslrootcert=" << pg.Folder() << "/ca.crt\n";
    ::setenv("PGSERVICEFILE", services.c_str(), 1);
    const std::string noHost = "user=st dbname=postgres";
    for (const auto& [service, rule] : {std::pair{"loose", "sslmode=require"},
                                        std::pair{"nobinding", "channel_binding=require"}}) {
        ::setenv("PGSERVICE", service, 1);
        CPoolKeySource viaService(noHost, "line", nullptr, options);
        EXPECT_FALSE(viaService.IsValid()) << service;
        EXPECT_NE(viaService.GetError().find(rule), std::string::npos) << viaService.GetError();
        const std::string said = (dir / "said.txt").string();
        EXPECT_EQ(pooltest::Kdbtool("pool --db \"" + noHost + "\" status", said), 1);
        EXPECT_NE(pooltest::ReadText(said).find(rule), std::string::npos) << service;
        const std::string cli = std::string(KS_KEYSTATION_CLI) + " --home " + home.string() +
                                " --key-pool \"" + noHost + "\" --pool line --pool-wrap-key " +
                                wrap + " --simulate 1 --start --until-idle --keybox 1 --rkp 0 " +
                                "--dest 0 >" + said + " 2>&1";
        EXPECT_NE(std::system(cli.c_str()), 0);
        const std::string words = pooltest::ReadText(said);
        EXPECT_NE(words.find(rule), std::string::npos) << words;
        EXPECT_EQ(words.find("check the network"), std::string::npos) << words;
    }
    ::unsetenv("PGSERVICE");
    ::unsetenv("PGSERVICEFILE");
    EXPECT_EQ(station(pg.TcpConnInfo("st")), 0);
    EXPECT_EQ(pooltest::Column(pg,
                               "SELECT count(*) FROM keypool.keys WHERE state = 'delivered' "
                               "AND station = 'st'"),
              std::vector<std::string>{"4"});
    ::unsetenv("PGPASSFILE");
}

}  // namespace
