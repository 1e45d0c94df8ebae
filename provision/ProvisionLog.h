// One station-log line from the provisioning code, written only when there is a station log.
#pragma once

#include "support/Logger.h"

void ProvLog(CLoggerBase* log, const char* format, ...) KS_PRINTF_LIKE(2, 3);
