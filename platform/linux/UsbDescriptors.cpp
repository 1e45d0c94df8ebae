#include "platform/linux/UsbDescriptors.h"

#include <algorithm>

namespace usbdesc {
namespace {

constexpr uint8_t kTransferTypeMask = 0x03;
constexpr uint8_t kTransferTypeBulk = 0x02;
constexpr uint8_t kDirectionIn = 0x80;
constexpr uint8_t kEndpointNumberMask = 0x0F;
constexpr uint16_t kMaxPacketMask = 0x07FF;

uint16_t Le16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

// The interface setting being collected while the walk is inside it.
struct Setting {
    bool open = false;
    bool hasIn = false;
    bool hasOut = false;
    UsbBulkEndpoints found;

    bool Complete() const { return open && hasIn && hasOut; }
};

void TakeEndpoint(const uint8_t* ep, Setting* setting) {
    const uint8_t address = ep[2];
    const uint8_t attributes = ep[3];
    const uint16_t maxPacket = Le16(ep + 4) & kMaxPacketMask;
    if ((attributes & kTransferTypeMask) != kTransferTypeBulk || maxPacket == 0 ||
        (address & kEndpointNumberMask) == 0) {
        return;
    }
    if ((address & kDirectionIn) != 0) {
        if (!setting->hasIn) {
            setting->hasIn = true;
            setting->found.inAddress = address;
            setting->found.inMaxPacket = maxPacket;
        }
    } else if (!setting->hasOut) {
        setting->hasOut = true;
        setting->found.outAddress = address;
        setting->found.outMaxPacket = maxPacket;
    }
}

}  // namespace

bool FindBulkPairInConfiguration(const uint8_t* data, size_t size, UsbBulkEndpoints* out) {
    if (data == nullptr || out == nullptr || size < kConfigurationHeaderSize) {
        return false;
    }
    const uint8_t headerLength = data[0];
    if (headerLength < kConfigurationHeaderSize || data[1] != kTypeConfiguration) {
        return false;
    }
    const size_t totalLength = Le16(data + 2);
    if (totalLength < headerLength) {
        return false;
    }
    const size_t limit = std::min(size, totalLength);
    if (limit < headerLength) {
        return false;  // the header itself is cut off
    }
    const uint8_t configurationValue = data[5];

    Setting setting;
    size_t pos = headerLength;
    while (limit - pos >= 2) {
        const uint8_t length = data[pos];
        const uint8_t type = data[pos + 1];
        // A descriptor shorter than its own header or reaching past the block ends the walk.
        if (length < 2 || length > limit - pos) {
            break;
        }
        if (type == kTypeInterface) {
            if (setting.Complete()) {
                break;
            }
            setting = Setting{};
            if (length >= kInterfaceDescriptorSize) {
                setting.open = true;
                setting.found.interfaceNumber = data[pos + 2];
                setting.found.alternateSetting = data[pos + 3];
            }
        } else if (type == kTypeEndpoint) {
            if (setting.open && length >= kEndpointDescriptorSize) {
                TakeEndpoint(data + pos, &setting);
            }
        } else if (type == kTypeConfiguration) {
            // The next configuration block: this one had no more interfaces.
            break;
        }
        pos += length;
    }
    if (!setting.Complete()) {
        return false;
    }
    *out = setting.found;
    out->configurationValue = configurationValue;
    return true;
}

bool FindBulkPair(const uint8_t* data, size_t size, int activeConfiguration,
                  UsbBulkEndpoints* out) {
    if (data == nullptr || out == nullptr || size < kDeviceDescriptorSize) {
        return false;
    }
    if (data[0] != kDeviceDescriptorSize || data[1] != kTypeDevice) {
        return false;
    }
    const unsigned configurationCount = data[17];
    size_t pos = kDeviceDescriptorSize;
    for (unsigned i = 0; i < configurationCount && size - pos >= kConfigurationHeaderSize; ++i) {
        const uint8_t* block = data + pos;
        const size_t remaining = size - pos;
        if (block[0] < kConfigurationHeaderSize || block[1] != kTypeConfiguration) {
            return false;
        }
        const size_t totalLength = Le16(block + 2);
        if (totalLength < block[0]) {
            return false;
        }
        const size_t blockLength = std::min(totalLength, remaining);
        if (activeConfiguration < 0 || block[5] == activeConfiguration) {
            return FindBulkPairInConfiguration(block, blockLength, out);
        }
        pos += blockLength;
    }
    return false;
}

}  // namespace usbdesc
