// docs/key-pool.md's set-up, run as written against a fresh server with TLS and SCRAM: the
// commands of "The pool" and the station's command line, with only the names of this machine put
// in (the server's host and port, its socket folder and superuser, the CA certificate, the
// folders of the files) and the console station given simulated boards.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "tests/pool/PgServer.h"
#include "tests/pool/PoolTestKit.h"

namespace {

namespace fs = std::filesystem;

void ReplaceAll(std::string* text, const std::string& from, const std::string& to) {
    for (size_t at = text->find(from); at != std::string::npos;
         at = text->find(from, at + to.size())) {
        text->replace(at, from.size(), to);
    }
}

// The indented command lines of a section of the document (continuations joined).
std::vector<std::string> Commands(const std::string& doc, const std::string& from,
                                  const std::string& to) {
    const size_t begin = doc.find(from);
    const size_t end = doc.find(to, begin);
    std::vector<std::string> out;
    if (begin == std::string::npos || end == std::string::npos) {
        return out;
    }
    std::string line;
    bool continued = false;
    size_t at = begin;
    while (at < end) {
        const size_t eol = doc.find('\n', at);
        std::string text = doc.substr(at, eol - at);
        at = eol + 1;
        if (text.rfind("    ", 0) != 0) {
            continued = false;
            continue;
        }
        text = text.substr(4);
        // A comment after the command goes (it would take the redirection with it).
        const size_t comment = text.find("  #");
        if (comment != std::string::npos) {
            text.erase(text.find_last_not_of(' ', comment) + 1);
        }
        const bool more = !text.empty() && text.back() == '\\';
        if (more) {
            text.pop_back();
        }
        if (continued) {
            line += " " + text.substr(text.find_first_not_of(' '));
        } else {
            line = text;
        }
        continued = more;
        if (!more) {
            out.push_back(line);
        }
    }
    return out;
}

TEST(PoolDocs, TheSetUpRunsAsWritten) {
    pooltest::PgServer pg(true);
    ASSERT_TRUE(pg.Ok()) << pg.Error();
    const fs::path dir = fs::temp_directory_path() / ("kspooldocs." + std::to_string(getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir / "home");
    const pooltest::RemovedAtEnd cleanUp(dir.string());
    const std::string doc = pooltest::ReadText(std::string(KS_SOURCE_DIR) + "/docs/key-pool.md");
    std::vector<std::string> commands = Commands(doc, "### The pool", "A station then runs with");
    ASSERT_EQ(commands.size(), 7u);
    // The administrator's connection as the text after the commands gives it.
    const std::string adminAt = "with `ADMIN=\"";
    const size_t admin = doc.find(adminAt);
    ASSERT_NE(admin, std::string::npos);
    std::string adminConn = doc.substr(
        admin + adminAt.size(), doc.find('"', admin + adminAt.size()) - admin - adminAt.size());
    const std::string port = std::to_string(pg.Port());
    const std::vector<std::pair<std::string, std::string>> names = {
        {"host=/var/run/postgresql user=postgres",
         "host=" + pg.Folder() + " port=" + port + " user=ksadmin"},
        {"host=db.line", "host=localhost hostaddr=127.0.0.1 port=" + port},
        {"sslrootcert=ca.crt", "sslrootcert=" + pg.Folder() + "/ca.crt"},
        {"/secure/line1.key", (dir / "line1.key").string()},
        {"PASSWORD '...'", "PASSWORD 'Docs-pass-1'"},
        {"keys.kdb", (dir / "keys.kdb").string()},
        {"~/.pgpass", (dir / "pgpass").string()},
        {"kdbtool ", std::string(KS_KDBTOOL) + " "},
        {"psql ", pg.Bin() + "/psql -q "},
        {"keystation-cli ", std::string(KS_KEYSTATION_CLI) + " "},
    };
    for (const auto& [from, to] : names) {
        ReplaceAll(&adminConn, from, to);
        for (std::string& c : commands) {
            ReplaceAll(&c, from, to);
        }
    }
    // The passfile as the text describes it, for the administrator and the station.
    {
        std::ofstream pass(dir / "pgpass");
        pass << "localhost:" << port << ":keys:keyadmin:Docs-pass-1\n"
             << "localhost:" << port << ":keys:station01:Docs-pass-1\n";
    }
    fs::permissions(dir / "pgpass", fs::perms::owner_read | fs::perms::owner_write);
    ::setenv("PGPASSFILE", (dir / "pgpass").string().c_str(), 1);
    ::setenv("ADMIN", adminConn.c_str(), 1);
    ASSERT_EQ(pooltest::Kdbtool("create --keys 20 --key-size 64 " + (dir / "keys.kdb").string()),
              0);
    for (const std::string& c : commands) {
        const std::string said = (dir / "said.txt").string();
        EXPECT_EQ(std::system((c + " >" + said + " 2>&1").c_str()), 0) << c << "\n"
                                                                       << pooltest::ReadText(said);
    }
    // The station's command line, on two simulated boards.
    std::vector<std::string> station = Commands(doc, "A station then runs with", "or keeps");
    ASSERT_EQ(station.size(), 1u);
    for (const auto& [from, to] : names) {
        ReplaceAll(&station[0], from, to);
    }
    const fs::path data = fs::path(KS_SOURCE_DIR) / "data";
    fs::copy(data / "lang", dir / "home" / "lang", fs::copy_options::recursive);
    fs::copy_file(data / "devices.ini", dir / "home" / "devices.ini");
    fs::copy_file(data / "config.ini", dir / "home" / "config.ini");
    const std::string said = (dir / "station.txt").string();
    EXPECT_EQ(
        std::system((station[0] + " --home " + (dir / "home").string() +
                     " --simulate 2 --until-idle --keybox 1 --rkp 0 --dest 0 >" + said + " 2>&1")
                        .c_str()),
        0)
        << station[0] << "\n"
        << pooltest::ReadText(said);
    pooltest::Conn keys =
        pooltest::Connect("host=" + pg.Folder() + " port=" + port + " user=ksadmin dbname=keys");
    PGresult* r = PQexec(keys.get(),
                         "SELECT count(*) FROM keypool.keys WHERE state = "
                         "'delivered' AND station = 'station01'");
    ASSERT_EQ(PQresultStatus(r), PGRES_TUPLES_OK);
    EXPECT_STREQ(PQgetvalue(r, 0, 0), "2");
    PQclear(r);
    ::unsetenv("PGPASSFILE");
    ::unsetenv("ADMIN");
}

}  // namespace
