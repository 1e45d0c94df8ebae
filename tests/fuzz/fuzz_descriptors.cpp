// The USB descriptor walk that finds a loader's bulk endpoint pair, on what reading a device node
// returns (device descriptor and configuration blocks) and on one configuration block alone.
//
// Input: one byte, the active configuration (255: unknown), then the descriptors.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/linux/UsbDescriptors.h"
#include "tests/fuzz/FuzzSupport.h"

namespace {

void CheckPair(const UsbBulkEndpoints& found) {
    FUZZ_CHECK((found.inAddress & 0x80) != 0);
    FUZZ_CHECK((found.outAddress & 0x80) == 0);
    FUZZ_CHECK(found.inMaxPacket != 0 && found.outMaxPacket != 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Reader in(data, size);
    const uint8_t active = in.U8();
    // A copy of exactly the input's length, so that ASan sees any read past it.
    const std::vector<uint8_t> bytes = in.Rest();
    UsbBulkEndpoints found;
    if (usbdesc::FindBulkPair(bytes.data(), bytes.size(), active == 255 ? -1 : active, &found)) {
        CheckPair(found);
        FUZZ_CHECK(active == 255 || found.configurationValue == active);
    }
    UsbBulkEndpoints inBlock;
    if (usbdesc::FindBulkPairInConfiguration(bytes.data(), bytes.size(), &inBlock)) {
        CheckPair(inBlock);
        FUZZ_CHECK(inBlock.configurationValue == bytes[5]);
    }
    return 0;
}
