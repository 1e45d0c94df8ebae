#include "tools/usbip-sim/DeviceSpec.h"

#include <cstdlib>
#include <vector>

namespace {

bool ParseNumber(const std::string& text, int64_t maxValue, int64_t* value) {
    if (text.empty() || text.size() > 12)
        return false;
    int base = 10;
    size_t at = 0;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        at = 2;
    }
    int64_t v = 0;
    for (; at < text.size(); ++at) {
        const char c = text[at];
        int digit = -1;
        if (c >= '0' && c <= '9')
            digit = c - '0';
        else if (base == 16 && c >= 'a' && c <= 'f')
            digit = c - 'a' + 10;
        else if (base == 16 && c >= 'A' && c <= 'F')
            digit = c - 'A' + 10;
        if (digit < 0)
            return false;
        v = v * base + digit;
        if (v > maxValue)
            return false;
    }
    *value = v;
    return true;
}

std::vector<std::string> Split(const std::string& text, char sep) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        const size_t end = text.find(sep, start);
        parts.push_back(
            text.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos)
            break;
        start = end + 1;
    }
    return parts;
}

}  // namespace

bool ParseDeviceSpec(const std::string& text, DeviceSpec* out, std::string* error) {
    DeviceSpec spec;
    for (const std::string& item : Split(text, ',')) {
        if (item.empty())
            continue;
        const size_t eq = item.find('=');
        const std::string key = item.substr(0, eq);
        const std::string value = eq == std::string::npos ? "" : item.substr(eq + 1);
        int64_t n = 0;
        auto number = [&](int64_t maxValue) {
            if (!ParseNumber(value, maxValue, &n)) {
                *error = "bad value for " + key + ": '" + value + "'";
                return false;
            }
            return true;
        };
        if (key == "port") {
            if (spec.hasPort) {
                *error = "port given twice";
                return false;
            }
            if (!number(255))
                return false;
            spec.port = static_cast<uint32_t>(n);
            spec.hasPort = true;
        } else if (key == "type") {
            if (value == "loader")
                spec.type = DeviceSpec::Type::kLoader;
            else if (value == "rom")
                spec.type = DeviceSpec::Type::kRom;
            else if (value == "echo")
                spec.type = DeviceSpec::Type::kEcho;
            else {
                *error = "unknown type '" + value + "'";
                return false;
            }
        } else if (key == "demo") {
            if (!number(9999))
                return false;
            spec.demo = static_cast<int>(n);
        } else if (key == "vid" || key == "pid") {
            if (!number(0xFFFF))
                return false;
            (key == "vid" ? spec.vendorId : spec.productId) = static_cast<int>(n);
        } else if (key == "stall-cmd") {
            if (!number(1000000))
                return false;
            spec.serverFaults.stallOnCommand = static_cast<uint32_t>(n);
        } else if (key == "hang-cmd") {
            if (!number(1000000))
                return false;
            spec.serverFaults.hangFromCommand = static_cast<uint32_t>(n);
        } else if (key == "hang-count") {
            if (!number(1000000))
                return false;
            spec.serverFaults.hangCount = static_cast<uint32_t>(n);
        } else if (key == "unplug-opcode") {
            if (!number(255))
                return false;
            spec.serverFaults.unplugOnOpcode = static_cast<int>(n);
        } else if (key == "unplug-nth") {
            if (!number(1000000) || n == 0) {
                *error = "bad value for unplug-nth";
                return false;
            }
            spec.serverFaults.unplugOccurrence = static_cast<uint32_t>(n);
        } else if (key == "fail-cmd") {
            if (!number(1000000))
                return false;
            spec.failCommand = n;
        } else if (key == "fail-phase") {
            if (value != "command" && value != "data" && value != "status") {
                *error = "unknown fail-phase '" + value + "'";
                return false;
            }
            spec.failPhase = value;
        } else if (key == "unplug-cmd") {
            if (!number(1000000))
                return false;
            spec.unplugCommand = n;
        } else if (key == "latency-ms") {
            if (!number(60000))
                return false;
            spec.latencyMs = n;
        } else if (key == "reset-delay-ms") {
            if (!number(600000))
                return false;
            spec.resetDelayMs = n;
        } else if (key == "linger-ms") {
            if (!number(60000))
                return false;
            spec.lingerMs = n;
        } else if (key == "no-return" && value.empty()) {
            spec.noReturn = true;
        } else if (key == "other-port") {
            if (!number(255))
                return false;
            spec.otherPort = n;
        } else if (key == "keybox") {
            if (value != "clean" && value != "leave" && value != "exis" && value != "stray") {
                *error = "unknown keybox behaviour '" + value + "'";
                return false;
            }
            spec.keybox = value;
        } else {
            *error = "unknown device option '" + item + "'";
            return false;
        }
    }
    if (!spec.hasPort) {
        *error = "device without port=";
        return false;
    }
    *out = spec;
    return true;
}
