// What the station controller needs of the machine. Every reference must outlive the controller.
#pragma once

#include <functional>
#include <string>

#include "app/PortMapStore.h"
#include "device/BulkPipes.h"
#include "device/DeviceChangeSource.h"
#include "device/UsbTree.h"
#include "support/Clock.h"
#include "support/LocalTime.h"
#include "support/Logger.h"

struct StationPlatform {
    IUsbTree& usbTree;
    IBulkPipes& bulkPipes;
    IDeviceChangeSource& deviceChanges;
    // Used by the device command objects and the scanners (transport waits, the wait after a
    // reset).
    IClock& clock;
    // The persistent port map.
    IPortMapStore& portMap;
    // The application directory with a trailing separator: config.ini, devices.ini, the language
    // files and the log folder live here. Empty: the executable's folder.
    std::string appDir;
    // Local time for the day's log folder and the log's file name; empty: the machine's clock.
    ks::LocalTimeSource localTime;
    // Hands the station log to the platform's own pieces (device-change source, pipes) before
    // notices start, and null again before the log goes away; empty: they keep no log.
    std::function<void(CLoggerBase*)> attachLog;
};
