// kdbtool pool needs a PostgreSQL client, which the Windows build does not carry.
#include <cstdio>

#include "tools/kdbtool/KdbCommands.h"

namespace kdbtool {

int RunPool(const std::vector<std::string>& /*args*/) {
    std::fprintf(stderr, "kdbtool: pool: the shared key pool is not available on Windows\n");
    return 2;
}

}  // namespace kdbtool
