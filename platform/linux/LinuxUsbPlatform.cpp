#include "platform/linux/LinuxUsbPlatform.h"

#include <utility>

LinuxUsbPlatform::LinuxUsbPlatform(std::string sysfsRoot, std::string devRoot, CLoggerBase* log,
                                   UeventMonitorOptions changeOptions)
    : sysfsRoot_(std::move(sysfsRoot)),
      devRoot_(std::move(devRoot)),
      tree_(sysfsRoot_),
      pipes_(sysfsRoot_, devRoot_, log),
      changes_(log, changeOptions) {}

LinuxUsbPlatform::~LinuxUsbPlatform() {
    changes_.Stop();
}

void LinuxUsbPlatform::SetLog(CLoggerBase* log) {
    pipes_.SetLog(log);
    changes_.SetLog(log);
}
