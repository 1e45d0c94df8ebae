// One line to a log that may be absent: the owners' own Log(format, ...) helpers end here.
#pragma once

#include <cstdarg>

#include "support/Logger.h"

// One line at level 0 to `log`, or nowhere when it is null.
void VLogTo(CLoggerBase* log, const char* format, va_list args) KS_PRINTF_LIKE(2, 0);
