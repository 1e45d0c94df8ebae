// The text forms of USB ids that every USB tree gives out as Windows does: upper-case hex of a
// fixed width, and device instance IDs ("USB\VID_F00D&PID_1001\name", and for interface 2 of that
// device "USB\VID_F00D&PID_1001&MI_02\name").
#pragma once

#include <cstdint>
#include <string>

inline std::string UsbHex(uint32_t value, int digits) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string text(static_cast<size_t>(digits), '0');
    for (int i = digits - 1; i >= 0; --i) {
        text[static_cast<size_t>(i)] = kDigits[value & 0xFU];
        value >>= 4;
    }
    return text;
}

// interfaceNumber < 0: the device itself.
inline std::string UsbInstanceId(uint32_t vendor, uint32_t product, int interfaceNumber,
                                 const std::string& name) {
    std::string id = "USB\\VID_" + UsbHex(vendor, 4) + "&PID_" + UsbHex(product, 4);
    if (interfaceNumber >= 0) {
        id += "&MI_" + UsbHex(static_cast<uint32_t>(interfaceNumber), 2);
    }
    return id + "\\" + name;
}
