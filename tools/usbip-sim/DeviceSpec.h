// One served device as given on the command line:
//   port=N[,type=loader|rom|echo][,demo=I][,vid=0xV][,pid=0xP][,OPTION]...
// Options of the server (counted in command blocks, the first being 1):
//   stall-cmd=K          the OUT transfer of command block K stalls
//   hang-cmd=K           IN requests of command K (and hang-count - 1 more) are never answered
//   hang-count=N
//   unplug-opcode=0xNN   leave the bus for good at the unplug-nth command block with that opcode
//   unplug-nth=N
// Options of the loader emulator:
//   fail-cmd=K, fail-phase=command|data|status   transfer failure (a stall) at command K
//   unplug-cmd=K         the device drops off the bus at command block K
//   latency-ms=N         per command block
//   reset-delay-ms=N     time off the bus after a reset
//   linger-ms=N          after a reset, stays attached (not answering) this long before leaving
//   no-return            does not come back after a reset
//   other-port=N         comes back after a reset at port N instead
//   keybox=clean|leave|exis|stray   what the loader does with a keybox record at start-up
#pragma once

#include <cstdint>
#include <string>

#include "tools/usbip-sim/UsbipDeviceServer.h"

struct DeviceSpec {
    enum class Type { kLoader, kRom, kEcho };

    uint32_t port = 0;
    bool hasPort = false;
    Type type = Type::kLoader;
    int demo = -1;  // demo device index; -1 = the port number
    int vendorId = -1;
    int productId = -1;
    UsbipFaults serverFaults;
    // Emulator settings; -1 / empty = the emulator's own default.
    int64_t failCommand = 0;
    std::string failPhase = "command";
    int64_t unplugCommand = 0;
    int64_t latencyMs = 0;
    int64_t resetDelayMs = -1;
    int64_t lingerMs = 0;
    bool noReturn = false;
    int64_t otherPort = -1;
    std::string keybox = "clean";
};

// Parses one device argument. Numbers are decimal or 0x-prefixed hex; unknown keys, repeated
// ports and values out of range are errors.
bool ParseDeviceSpec(const std::string& text, DeviceSpec* out, std::string* error);
