// The kernel uevent parser on one datagram, and the rescan decision on what it accepts.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/linux/UeventMonitor.h"
#include "tests/fuzz/FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // A copy of exactly the input's length, so that ASan sees any read past it.
    const std::vector<char> datagram(data, data + size);
    UeventMessage message;
    if (!uevent::Parse(datagram.data(), datagram.size(), &message)) {
        return 0;
    }
    FUZZ_CHECK(size <= uevent::kMaxMessageSize);
    FUZZ_CHECK(!message.action.empty() && !message.devpath.empty());
    // The header names the same action and device path as the fields.
    const std::string header = message.action + "@" + message.devpath;
    FUZZ_CHECK(size > header.size() && std::string(datagram.data(), header.size()) == header);
    FUZZ_CHECK(datagram[header.size()] == '\0');
    // Every field ended inside the datagram.
    FUZZ_CHECK(datagram.back() == '\0');
    if (uevent::IsUsbChange(message)) {
        FUZZ_CHECK(message.subsystem == "usb");
    }
    return 0;
}
