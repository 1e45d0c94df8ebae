// The discovery record of one USB device, shared by discovery, the slot table and the worker.
#pragma once

#include <cstdint>
#include <string>

enum DeviceKind : uint32_t {
    DEVICE_KIND_ROM = 1,
    DEVICE_KIND_LOADER = 2,
    DEVICE_KIND_MSC = 4,
    DEVICE_KIND_ADB = 8,
    DEVICE_KIND_MTP = 16,
    DEVICE_KIND_UVC = 32,
};

struct ZRDeviceDesc {
    uint16_t vendorId = 0;
    uint16_t productId = 0;
    uint16_t serialIndex = 0;
    uint16_t bcdUsb = 0;
    uint32_t devnode = 0;  // platform handle of the device (or the chosen interface child)
    std::string path;      // the path the transport opens the device by
    std::string location;  // physical port chain, e.g. "2-3-1"
    uint32_t kind = 0;     // one DeviceKind value
    int32_t chipCode = 0;  // ROM and loader kinds only
    uint32_t controllerFlag = 0;
};
