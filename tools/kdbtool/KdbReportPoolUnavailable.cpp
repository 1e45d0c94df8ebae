// The shift report without a PostgreSQL client (the Windows build without the key pool).
#include "tools/kdbtool/KdbReport.h"

namespace kdbtool {

bool ReadPoolAuditHead(const std::string& /*conninfo*/, bool /*insecure*/, PoolAuditHead* out) {
    out->asked = true;
    out->error = "the shared key pool is not available in this build";
    return false;
}

}  // namespace kdbtool
