#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "platform/linux/UeventMonitor.h"

namespace {

// Kernel uevent datagrams are NUL-separated; a std::string keeps the embedded NULs.
std::string Datagram(std::initializer_list<const char*> fields) {
    std::string out;
    for (const char* f : fields) {
        out.append(f);
        out.push_back('\0');
    }
    return out;
}

bool ParseExact(const std::string& bytes, UeventMessage* out) {
    // A heap block of exactly the datagram's size, so AddressSanitizer sees any overrun.
    auto block = std::make_unique<char[]>(bytes.size() + (bytes.empty() ? 1 : 0));
    std::memcpy(block.get(), bytes.data(), bytes.size());
    return uevent::Parse(block.get(), bytes.size(), out);
}

// As the kernel sends them when a loader device is plugged in at port 3 of bus 1.
const std::string kUsbDeviceAdd = Datagram({
    "add@/devices/pci0000:00/0000:00:14.0/usb1/1-3",
    "ACTION=add",
    "DEVPATH=/devices/pci0000:00/0000:00:14.0/usb1/1-3",
    "SUBSYSTEM=usb",
    "MAJOR=189",
    "MINOR=4",
    "DEVNAME=bus/usb/001/005",
    "DEVTYPE=usb_device",
    "PRODUCT=f00d/3288/100",
    "TYPE=0/0/0",
    "BUSNUM=001",
    "DEVNUM=005",
    "SEQNUM=4711",
});

}  // namespace

TEST(UeventParser, ReadsAKernelUsbDeviceMessage) {
    UeventMessage message;
    ASSERT_TRUE(ParseExact(kUsbDeviceAdd, &message));
    EXPECT_EQ(message.action, "add");
    EXPECT_EQ(message.devpath, "/devices/pci0000:00/0000:00:14.0/usb1/1-3");
    EXPECT_EQ(message.subsystem, "usb");
    EXPECT_EQ(message.devtype, "usb_device");
    EXPECT_TRUE(uevent::IsUsbChange(message));
}

TEST(UeventParser, ReadsAMessageCapturedFromThisKernel) {
    // Received on this machine's uevent socket after writing "change" to lo's uevent file.
    const std::string captured = Datagram(
        {"change@/devices/virtual/net/lo", "ACTION=change", "DEVPATH=/devices/virtual/net/lo",
         "SUBSYSTEM=net", "SYNTH_UUID=0", "INTERFACE=lo", "IFINDEX=1", "SEQNUM=834"});
    UeventMessage message;
    ASSERT_TRUE(ParseExact(captured, &message));
    EXPECT_EQ(message.subsystem, "net");
    EXPECT_EQ(message.devtype, "");
    EXPECT_FALSE(uevent::IsUsbChange(message));
}

TEST(UeventParser, AUsbDeviceAddedRemovedBoundOrUnboundIsANotice) {
    for (const char* action : {"add", "remove", "bind", "unbind"}) {
        UeventMessage message{action, "/devices/x/usb1/1-3", "usb", "usb_device"};
        EXPECT_TRUE(uevent::IsUsbChange(message)) << action;
        // Without DEVTYPE the folder name tells a device from an interface.
        UeventMessage bare{action, "/devices/x/usb1/1-3/1-3.2", "usb", ""};
        EXPECT_TRUE(uevent::IsUsbChange(bare)) << action;
    }
    for (const char* action : {"change", "move", "online", "offline", ""}) {
        UeventMessage message{action, "/devices/x/usb1/1-3", "usb", "usb_device"};
        EXPECT_FALSE(uevent::IsUsbChange(message)) << action;
    }
    UeventMessage other{"add", "/devices/x/block/sdb", "block", "disk"};
    EXPECT_FALSE(uevent::IsUsbChange(other));
    UeventMessage lookalike{"add", "/devices/x/usb1/1-3/1-3:1.0/ttyUSB0", "usb-serial", ""};
    EXPECT_FALSE(uevent::IsUsbChange(lookalike));
}

// Every open of a board claims its interface and every close releases it; the kernel reports
// each as bind/unbind of the interface (usbfs is the interface's driver while it is claimed), and
// detaching a storage driver is another unbind. None of these is a device change.
TEST(UeventParser, TheStationsOwnClaimAndReleaseOfAnInterfaceIsNoNotice) {
    for (const char* action : {"bind", "unbind", "add", "remove"}) {
        UeventMessage message{action, "/devices/x/usb1/1-3/1-3:1.0", "usb", "usb_interface"};
        EXPECT_FALSE(uevent::IsUsbChange(message)) << action;
        UeventMessage bare{action, "/devices/x/usb1/1-3/1-3:1.0", "usb", ""};
        EXPECT_FALSE(uevent::IsUsbChange(bare)) << action;
    }
    // A claim as the kernel sends it.
    const std::string claim =
        Datagram({"bind@/devices/pci0000:00/0000:00:14.0/usb1/1-3/1-3:1.0", "ACTION=bind",
                  "DEVPATH=/devices/pci0000:00/0000:00:14.0/usb1/1-3/1-3:1.0", "SUBSYSTEM=usb",
                  "DEVTYPE=usb_interface", "DRIVER=usbfs", "PRODUCT=f00d/3288/100",
                  "INTERFACE=255/0/0", "SEQNUM=4712"});
    UeventMessage message;
    ASSERT_TRUE(ParseExact(claim, &message));
    EXPECT_FALSE(uevent::IsUsbChange(message));
}

TEST(UeventParser, RefusesMessagesWithoutTheirTerminatingNul) {
    UeventMessage message;
    // The last field is cut off: its NUL is missing.
    std::string cut = kUsbDeviceAdd.substr(0, kUsbDeviceAdd.size() - 1);
    EXPECT_FALSE(ParseExact(cut, &message));
    // Cut inside the header.
    EXPECT_FALSE(ParseExact(kUsbDeviceAdd.substr(0, 10), &message));
    // Every prefix either fails or (when cut exactly after a field) parses consistently.
    for (size_t size = 0; size < kUsbDeviceAdd.size(); ++size) {
        const std::string prefix = kUsbDeviceAdd.substr(0, size);
        if (ParseExact(prefix, &message)) {
            EXPECT_EQ(prefix.back(), '\0');
            EXPECT_EQ(message.action, "add");
        }
    }
    EXPECT_FALSE(ParseExact(std::string("add@/devices/usb1/1-3"), &message));
    EXPECT_FALSE(ParseExact(std::string(), &message));
}

TEST(UeventParser, RefusesMessagesMissingRequiredKeys) {
    UeventMessage message;
    EXPECT_FALSE(
        ParseExact(Datagram({"add@/devices/usb1/1-3", "ACTION=add", "DEVPATH=/devices/usb1/1-3"}),
                   &message));  // no SUBSYSTEM
    EXPECT_FALSE(ParseExact(
        Datagram({"add@/devices/usb1/1-3", "DEVPATH=/devices/usb1/1-3", "SUBSYSTEM=usb"}),
        &message));  // no ACTION
    EXPECT_FALSE(ParseExact(Datagram({"add@/devices/usb1/1-3", "ACTION=add", "SUBSYSTEM=usb"}),
                            &message));  // no DEVPATH
    EXPECT_FALSE(ParseExact(Datagram({"add@/devices/usb1/1-3"}), &message));
}

TEST(UeventParser, RefusesHeadersThatDisagreeWithTheFields) {
    UeventMessage message;
    EXPECT_FALSE(ParseExact(Datagram({"add@/devices/usb1/1-3", "ACTION=remove",
                                      "DEVPATH=/devices/usb1/1-3", "SUBSYSTEM=usb"}),
                            &message));
    EXPECT_FALSE(ParseExact(Datagram({"add@/devices/usb1/1-4", "ACTION=add",
                                      "DEVPATH=/devices/usb1/1-3", "SUBSYSTEM=usb"}),
                            &message));
    EXPECT_FALSE(ParseExact(Datagram({"add/devices/usb1/1-3", "ACTION=add",
                                      "DEVPATH=/devices/usb1/1-3", "SUBSYSTEM=usb"}),
                            &message));  // no '@'
    EXPECT_FALSE(ParseExact(
        Datagram({"@/devices/usb1/1-3", "ACTION=", "DEVPATH=/devices/usb1/1-3", "SUBSYSTEM=usb"}),
        &message));  // empty action
}

TEST(UeventParser, RefusesLibudevRebroadcastsAndMalformedFields) {
    UeventMessage message;
    // udevd's own messages start with "libudev" and a binary header.
    std::string libudev("libudev\0\xfe\xed\xca\xfe", 12);
    libudev += kUsbDeviceAdd;
    EXPECT_FALSE(ParseExact(libudev, &message));
    EXPECT_FALSE(ParseExact(Datagram({"add@/devices/usb1/1-3", "ACTION=add",
                                      "DEVPATH=/devices/usb1/1-3", "SUBSYSTEM=usb", "NOEQUALS"}),
                            &message));
    EXPECT_FALSE(ParseExact(Datagram({"add@/devices/usb1/1-3", "ACTION=add",
                                      "DEVPATH=/devices/usb1/1-3", "SUBSYSTEM=usb", "=value"}),
                            &message));
    EXPECT_FALSE(ParseExact(Datagram({"add@/devices/usb1/1-3", "ACTION=add",
                                      "DEVPATH=/devices/usb1/1-3", "", "SUBSYSTEM=usb"}),
                            &message));
}

TEST(UeventParser, FirstOccurrenceOfAKeyCounts) {
    UeventMessage message;
    ASSERT_TRUE(
        ParseExact(Datagram({"add@/devices/usb1/1-3", "ACTION=add", "DEVPATH=/devices/usb1/1-3",
                             "SUBSYSTEM=usb", "SUBSYSTEM=block", "ACTION=remove"}),
                   &message));
    EXPECT_EQ(message.subsystem, "usb");
    EXPECT_EQ(message.action, "add");
}

TEST(UeventParser, RefusesOversizedMessages) {
    std::string big = kUsbDeviceAdd;
    while (big.size() <= uevent::kMaxMessageSize) {
        big +=
            Datagram({"PAD=xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx"});
    }
    UeventMessage message;
    EXPECT_FALSE(ParseExact(big, &message));
    EXPECT_FALSE(uevent::Parse(nullptr, 10, &message));
}
