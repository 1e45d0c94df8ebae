// Raw USB descriptor parsing for the usbfs transport: finds the bulk IN/OUT endpoint pair a loader
// device is driven through. The bytes come from the device, so every length is checked before it
// is used and no walk ever leaves the buffer it was given.
#pragma once

#include <cstddef>
#include <cstdint>

// The bulk endpoint pair of one interface setting.
struct UsbBulkEndpoints {
    uint8_t configurationValue = 0;  // bConfigurationValue of the configuration it belongs to
    uint8_t interfaceNumber = 0;
    uint8_t alternateSetting = 0;
    uint8_t inAddress = 0;   // bEndpointAddress, bit 7 set
    uint8_t outAddress = 0;  // bEndpointAddress, bit 7 clear
    uint16_t inMaxPacket = 0;
    uint16_t outMaxPacket = 0;
};

namespace usbdesc {

constexpr uint8_t kTypeDevice = 1;
constexpr uint8_t kTypeConfiguration = 2;
constexpr uint8_t kTypeInterface = 4;
constexpr uint8_t kTypeEndpoint = 5;

constexpr size_t kDeviceDescriptorSize = 18;
constexpr size_t kConfigurationHeaderSize = 9;
constexpr size_t kInterfaceDescriptorSize = 9;
constexpr size_t kEndpointDescriptorSize = 7;

// Searches one configuration descriptor block (the configuration descriptor followed by its
// interface, endpoint and class descriptors) for the first interface setting, in descriptor
// order, that has both a bulk IN and a bulk OUT endpoint; within it the first of each direction
// is taken. The block is bounded by min(size, wTotalLength). Endpoints with a zero packet size are
// ignored. Returns false when no setting qualifies or the block header is malformed.
bool FindBulkPairInConfiguration(const uint8_t* data, size_t size, UsbBulkEndpoints* out);

// Parses what reading a usbfs device node returns: the 18-byte device descriptor followed by the
// device's configuration descriptor blocks back to back. Searches the configuration whose
// bConfigurationValue equals activeConfiguration, or the first one when activeConfiguration is
// negative (unknown). Returns false when the buffer is malformed before that configuration, the
// configuration is not present, or it has no qualifying interface setting.
bool FindBulkPair(const uint8_t* data, size_t size, int activeConfiguration, UsbBulkEndpoints* out);

}  // namespace usbdesc
