// kdbtool: creates and inspects key database files.
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

#include "support/CommandLine.h"
#include "tools/kdbtool/KdbCommands.h"

void kdbtool::PrintUsage(FILE* out) {
    std::fputs(
        "usage:\n"
        "  kdbtool create --keys N --key-size K [--shared] [--header-size H]\n"
        "                 [--record-info HEX32] [--created \"YYYY-MM-DD hh:mm:ss\"]\n"
        "                 [--key-data FILE] [--used 0,5,7-9] [--force] OUT.kdb\n"
        "  kdbtool info [--json] FILE.kdb\n"
        "  kdbtool audit [--json] [--home DIR] FILE.kdb\n"
        "  kdbtool carry --home DIR FILE.kdb\n"
        "  kdbtool pool keygen OUT\n"
        "  kdbtool pool --db CONNINFO [--insecure-pool-connection]\n"
        "               init | upgrade | import FILE.kdb --pool NAME --wrap-key FILE\n"
        "               | status [--json] | export --pool NAME --wrap-key FILE OUT.kdb\n"
        "               | audit [--json] [--expect-head HASH]\n"
        "               | verify --pool NAME --wrap-key FILE\n"
        "               | resolve --pool NAME KEY spent|delivered [--serial SN] --reason TEXT\n"
        "               | bind --pool NAME [--limit N] ROLE | unbind --pool NAME ROLE\n"
        "  kdbtool report RESULTS.jsonl... [--since T] [--until T] [--csv FILE] [--html FILE]\n"
        "                 [--pool-db CONNINFO [--insecure-pool-connection]]\n"
        "\n"
        "create  writes a new key file. Keys come from FILE (all keys concatenated, or the one\n"
        "        key with --shared) or are random. --used marks indices as already used.\n"
        "        An existing OUT is kept unless --force is given.\n"
        "info    verifies a key file as a station loads it, without locking it. Exit status 0\n"
        "        when the file passes every check, 1 when it fails one, 2 for a usage error.\n"
        "audit   reads the file and its journal (FILE.kdb.journal.jsonl): keys delivered, spent,\n"
        "        in doubt and returned, serial numbers that received more than one key. Exit\n"
        "        status 1 when a key was delivered or reserved twice, or left the station\n"
        "        without being marked used in the file. With --home, the stock's records in\n"
        "        that station's folder (found by the key area's SHA-256) and the journal beside\n"
        "        the file, as that station reads them.\n"
        "carry   puts the stock's journal from the station's folder DIR beside FILE, so that\n"
        "        FILE and FILE.journal.jsonl moved to another station keep every key used.\n"
        "pool    the shared key pool in a PostgreSQL database (docs/key-pool.md): keygen writes\n"
        "        a new wrap key file (mode 0600), init creates the schema and roles (as a\n"
        "        superuser), import loads a checked key file wrapped under the wrap key (keys\n"
        "        used in it become spent; a key present twice or already in the database is\n"
        "        refused), bind lets a station role draw from a pool (at most N keys without an\n"
        "        end, default 32), export transfers the pool's free keys into a new key file\n"
        "        (the pool never hands them out again), audit recomputes the event chain itself,\n"
        "        checks every key's state against its events and the schema against this\n"
        "        version's, prints the head hash, and exits 1 on a broken chain, a key delivered\n"
        "        or reserved twice or present twice, a disagreement or a schema difference;\n"
        "        upgrade moves a pool of an earlier release to this schema (as a superuser),\n"
        "        verify opens every key of a pool with the wrap key (as a superuser), resolve\n"
        "        marks a key in doubt spent or delivered with a reason.\n"
        "report  a shift from the stations' results files (results/results-*.jsonl): every job\n"
        "        (time, slot, port, serial, key, key file and its SHA-256 or pool, host,\n"
        "        practice or production, result, failing step and reason, whether a key went\n"
        "        out), then keys per key source, failures by reason and per slot, and each\n"
        "        station run with how it ended. T is a UTC time YYYY-MM-DD[Thh:mm[:ss]]\n"
        "        (--since from, --until before). --csv writes the jobs for a spreadsheet (UTF-8\n"
        "        with a byte-order mark), --html one page with plots. --pool-db reads the key\n"
        "        pool's audit head to keep with the report (an auditor's connection). Exit\n"
        "        status 1 when a file, a line or the pool could not be read, or the pool's\n"
        "        chain is broken.\n",
        out);
}

int main(int argc, char** argv) {
    try {
        // UTF-8 arguments on every platform, and a console that shows UTF-8 output.
        ks::UseUtf8Console();
        const std::vector<std::string> arguments = ks::CommandLineArguments(argc, argv);
        if (arguments.size() < 2) {
            kdbtool::PrintUsage(stderr);
            return kdbtool::kExitUsage;
        }
        const std::string command = arguments[1];
        std::vector<std::string> args(arguments.begin() + 2, arguments.end());
        if (command == "create") {
            return kdbtool::RunCreate(args);
        }
        if (command == "info") {
            return kdbtool::RunInfo(args);
        }
        if (command == "audit") {
            return kdbtool::RunAudit(args);
        }
        if (command == "report") {
            return kdbtool::RunReport(args);
        }
        if (command == "carry") {
            return kdbtool::RunCarry(args);
        }
        if (command == "pool") {
            return kdbtool::RunPool(args);
        }
        if (command == "--help" || command == "-h" || command == "help") {
            kdbtool::PrintUsage(stdout);
            return kdbtool::kExitOk;
        }
        std::fprintf(stderr, "kdbtool: unknown command \"%s\"\n", command.c_str());
        kdbtool::PrintUsage(stderr);
        return kdbtool::kExitUsage;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "kdbtool: %s\n", e.what());
        return kdbtool::kExitFail;
    }
}
