#include "support/LogTo.h"

void VLogTo(CLoggerBase* log, const char* format, va_list args) {
    if (log != nullptr) {
        log->VPrint(ks::kLogStation, format, args);
    }
}
