// kdbtool: creates and inspects key database files.
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

#include "tools/kdbtool/KdbCommands.h"

void kdbtool::PrintUsage(FILE* out) {
    std::fputs(
        "usage:\n"
        "  kdbtool create --keys N --key-size K [--shared] [--header-size H]\n"
        "                 [--record-info HEX32] [--created \"YYYY-MM-DD hh:mm:ss\"]\n"
        "                 [--key-data FILE] [--used 0,5,7-9] [--force] OUT.kdb\n"
        "  kdbtool info [--json] FILE.kdb\n"
        "  kdbtool audit [--json] FILE.kdb\n"
        "  kdbtool pool --db CONNINFO init | import FILE.kdb --pool NAME | status [--json]\n"
        "               | export --pool NAME OUT.kdb | audit [--json]\n"
        "\n"
        "create  writes a new key file. Keys come from FILE (all keys concatenated, or the one\n"
        "        key with --shared) or are random. --used marks indices as already used.\n"
        "        An existing OUT is kept unless --force is given.\n"
        "info    verifies a key file as a station loads it, without locking it. Exit status 0\n"
        "        when the file passes every check, 1 when it fails one, 2 for a usage error.\n"
        "audit   reads the file and its journal (FILE.kdb.journal.jsonl): keys delivered, spent,\n"
        "        in doubt and returned, serial numbers that received more than one key. Exit\n"
        "        status 1 when a key was delivered or reserved twice, or left the station\n"
        "        without being marked used in the file.\n"
        "pool    the shared key pool in a PostgreSQL database (docs/key-pool.md): init creates\n"
        "        its schema and roles, import loads a checked key file (keys used in it become\n"
        "        spent; a key area is imported once), export writes a key file whose bitmap marks\n"
        "        every key that is not free, audit exits 1 on a key delivered or reserved twice "
        "or\n"
        "        a key whose state disagrees with its events.\n",
        out);
}

int main(int argc, char** argv) {
    try {
        if (argc < 2) {
            kdbtool::PrintUsage(stderr);
            return kdbtool::kExitUsage;
        }
        const std::string command = argv[1];
        std::vector<std::string> args(argv + 2, argv + argc);
        if (command == "create") {
            return kdbtool::RunCreate(args);
        }
        if (command == "info") {
            return kdbtool::RunInfo(args);
        }
        if (command == "audit") {
            return kdbtool::RunAudit(args);
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
