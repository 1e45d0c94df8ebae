#include "provision/ProvisionLog.h"

#include <cstdarg>

void ProvLog(CLoggerBase* log, const char* format, ...) {
    if (log == nullptr) {
        return;
    }
    va_list args;
    va_start(args, format);
    log->VPrint(ks::kLogStation, format, args);
    va_end(args);
}
