// Builders for raw USB descriptor bytes as a device (and usbfs) hands them out.
#pragma once

#include <cstdint>
#include <vector>

namespace testdesc {

using Bytes = std::vector<uint8_t>;

constexpr uint8_t kBulk = 0x02;
constexpr uint8_t kInterrupt = 0x03;

inline void Append(Bytes& to, const Bytes& from) {
    to.insert(to.end(), from.begin(), from.end());
}

inline Bytes DeviceDescriptor(uint8_t configurationCount = 1) {
    return {18,   1,    0x00, 0x02, 0,    0, 0, 64, 0x0D,
            0xF0, 0x88, 0x32, 0x01, 0x00, 1, 2, 3,  configurationCount};
}

// A configuration block; Finish() writes wTotalLength from what was added.
class Configuration {
  public:
    explicit Configuration(uint8_t value = 1) : bytes_{9, 2, 0, 0, 0, value, 0, 0x80, 50} {}

    Configuration& Interface(uint8_t number, uint8_t alternate = 0, uint8_t endpointCount = 2,
                             uint8_t interfaceClass = 0xFF) {
        Append(bytes_, {9, 4, number, alternate, endpointCount, interfaceClass, 0x06, 0x50, 0});
        ++interfaces_;
        bytes_[4] = interfaces_;
        return *this;
    }
    Configuration& Endpoint(uint8_t address, uint8_t attributes = kBulk, uint16_t maxPacket = 512) {
        Append(bytes_, {7, 5, address, attributes, static_cast<uint8_t>(maxPacket & 0xFF),
                        static_cast<uint8_t>(maxPacket >> 8), 0});
        return *this;
    }
    Configuration& Raw(const Bytes& descriptor) {
        Append(bytes_, descriptor);
        return *this;
    }
    Bytes Finish() const {
        Bytes out = bytes_;
        out[2] = static_cast<uint8_t>(out.size() & 0xFF);
        out[3] = static_cast<uint8_t>(out.size() >> 8);
        return out;
    }

  private:
    Bytes bytes_;
    uint8_t interfaces_ = 0;
};

// The usual loader device: one vendor interface with bulk IN 0x81 and bulk OUT 0x02.
inline Bytes LoaderConfiguration(uint8_t value = 1) {
    return Configuration(value).Interface(0).Endpoint(0x81).Endpoint(0x02).Finish();
}

// What reading the usbfs node of such a device returns.
inline Bytes LoaderNodeBytes() {
    Bytes out = DeviceDescriptor(1);
    Append(out, LoaderConfiguration());
    return out;
}

}  // namespace testdesc
