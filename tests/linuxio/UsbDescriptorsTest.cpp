#include "platform/linux/UsbDescriptors.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>

#include "tests/linuxio/DescriptorBytes.h"

using namespace testdesc;

namespace {

bool FindIn(const Bytes& configuration, UsbBulkEndpoints* out) {
    return usbdesc::FindBulkPairInConfiguration(configuration.data(), configuration.size(), out);
}

// Copies the bytes into a heap block of exactly their size, so that AddressSanitizer reports
// any read past the end.
std::unique_ptr<uint8_t[]> Exact(const Bytes& bytes) {
    auto block = std::make_unique<uint8_t[]>(bytes.size() == 0 ? 1 : bytes.size());
    if (!bytes.empty()) {
        std::memcpy(block.get(), bytes.data(), bytes.size());
    }
    return block;
}

}  // namespace

TEST(BulkEndpointSelection, FindsBothDirectionsWhateverTheirOrder) {
    UsbBulkEndpoints found;
    ASSERT_TRUE(FindIn(
        Configuration().Interface(0).Endpoint(0x81, kBulk, 512).Endpoint(0x02, kBulk, 64).Finish(),
        &found));
    EXPECT_EQ(found.inAddress, 0x81);
    EXPECT_EQ(found.outAddress, 0x02);
    EXPECT_EQ(found.inMaxPacket, 512);
    EXPECT_EQ(found.outMaxPacket, 64);
    EXPECT_EQ(found.configurationValue, 1);

    // OUT listed first: the IN endpoint must still be found (the classic index-0 mistake).
    ASSERT_TRUE(
        FindIn(Configuration().Interface(0).Endpoint(0x01).Endpoint(0x82).Finish(), &found));
    EXPECT_EQ(found.inAddress, 0x82);
    EXPECT_EQ(found.outAddress, 0x01);
}

TEST(BulkEndpointSelection, TakesTheFirstOfEachDirectionWhenThereAreMore) {
    UsbBulkEndpoints found;
    ASSERT_TRUE(FindIn(Configuration()
                           .Interface(0, 0, 4)
                           .Endpoint(0x03)
                           .Endpoint(0x85)
                           .Endpoint(0x04)
                           .Endpoint(0x86)
                           .Finish(),
                       &found));
    EXPECT_EQ(found.outAddress, 0x03);
    EXPECT_EQ(found.inAddress, 0x85);
}

TEST(BulkEndpointSelection, SkipsInterfacesWithoutABulkPair) {
    UsbBulkEndpoints found;
    const Bytes config = Configuration(3)
                             .Interface(0, 0, 1)
                             .Endpoint(0x83, kInterrupt, 8)  // interrupt only
                             .Interface(1, 0, 1)
                             .Endpoint(0x84)  // bulk IN alone
                             .Interface(2, 0, 2)
                             .Endpoint(0x05)
                             .Endpoint(0x86)
                             .Finish();
    ASSERT_TRUE(FindIn(config, &found));
    EXPECT_EQ(found.interfaceNumber, 2);
    EXPECT_EQ(found.inAddress, 0x86);
    EXPECT_EQ(found.outAddress, 0x05);
    EXPECT_EQ(found.configurationValue, 3);
}

TEST(BulkEndpointSelection, EndpointsOfTheNextInterfaceDoNotCompleteThePreviousOne) {
    UsbBulkEndpoints found;
    const Bytes config = Configuration()
                             .Interface(0, 0, 1)
                             .Endpoint(0x81)
                             .Interface(1, 0, 1)
                             .Endpoint(0x02)
                             .Finish();
    EXPECT_FALSE(FindIn(config, &found));
}

TEST(BulkEndpointSelection, ReportsTheAlternateSettingThatHasThePair) {
    UsbBulkEndpoints found;
    const Bytes config = Configuration()
                             .Interface(0, 0, 0)  // alternate 0: no endpoints
                             .Interface(0, 1, 2)
                             .Endpoint(0x81)
                             .Endpoint(0x01)
                             .Finish();
    ASSERT_TRUE(FindIn(config, &found));
    EXPECT_EQ(found.interfaceNumber, 0);
    EXPECT_EQ(found.alternateSetting, 1);
}

TEST(BulkEndpointSelection, PrefersTheEarlierSettingAndSkipsClassDescriptors) {
    UsbBulkEndpoints found;
    const Bytes config = Configuration()
                             .Interface(0, 0, 2)
                             .Raw({5, 0x24, 0, 0x10, 0x01})  // class-specific descriptor
                             .Endpoint(0x81)
                             .Raw({6, 0x30, 0, 0, 0, 0})  // companion descriptor
                             .Endpoint(0x02)
                             .Interface(0, 1, 2)
                             .Endpoint(0x83)
                             .Endpoint(0x04)
                             .Finish();
    ASSERT_TRUE(FindIn(config, &found));
    EXPECT_EQ(found.alternateSetting, 0);
    EXPECT_EQ(found.inAddress, 0x81);
    EXPECT_EQ(found.outAddress, 0x02);
}

TEST(BulkEndpointSelection, IgnoresUnusableEndpoints) {
    UsbBulkEndpoints found;
    // Zero packet size, endpoint number 0, and a too-short endpoint descriptor are all ignored.
    const Bytes config = Configuration()
                             .Interface(0, 0, 5)
                             .Endpoint(0x81, kBulk, 0)
                             .Endpoint(0x80)
                             .Raw({6, 5, 0x83, kBulk, 0x00, 0x02})
                             .Endpoint(0x02)
                             .Finish();
    EXPECT_FALSE(FindIn(config, &found));
}

TEST(MalformedDescriptors, ZeroLengthDescriptorStopsTheWalk) {
    UsbBulkEndpoints found;
    Bytes config = Configuration().Interface(0).Endpoint(0x81).Raw({0, 5}).Endpoint(0x02).Finish();
    EXPECT_FALSE(FindIn(config, &found));
}

TEST(MalformedDescriptors, DescriptorReachingPastTheEndIsNotRead) {
    UsbBulkEndpoints found;
    Bytes config = Configuration().Interface(0).Endpoint(0x81).Finish();
    // An endpoint descriptor claiming 7 bytes with only 4 present: cut off at the buffer's end.
    config.insert(config.end(), {7, 5, 0x02, kBulk});
    config[2] = static_cast<uint8_t>(config.size());
    auto exact = Exact(config);
    EXPECT_FALSE(usbdesc::FindBulkPairInConfiguration(exact.get(), config.size(), &found));
}

TEST(MalformedDescriptors, HugeTotalLengthIsBoundedByTheBuffer) {
    UsbBulkEndpoints found;
    Bytes config = Configuration().Interface(0).Endpoint(0x81).Endpoint(0x02).Finish();
    config[2] = 0xFF;
    config[3] = 0xFF;
    auto exact = Exact(config);
    ASSERT_TRUE(usbdesc::FindBulkPairInConfiguration(exact.get(), config.size(), &found));
    EXPECT_EQ(found.inAddress, 0x81);
}

TEST(MalformedDescriptors, TotalLengthShorterThanTheBufferHidesTheRest) {
    UsbBulkEndpoints found;
    Bytes config = Configuration().Interface(0).Endpoint(0x81).Endpoint(0x02).Finish();
    config[2] = static_cast<uint8_t>(config.size() - 7);  // the OUT endpoint lies outside
    EXPECT_FALSE(FindIn(config, &found));
}

TEST(MalformedDescriptors, EveryTruncationOfAValidBlockIsSafe) {
    const Bytes full = Configuration()
                           .Interface(0, 0, 1)
                           .Endpoint(0x83, kInterrupt, 8)
                           .Interface(1)
                           .Endpoint(0x81)
                           .Endpoint(0x02)
                           .Finish();
    for (size_t size = 0; size < full.size(); ++size) {
        auto exact = Exact(Bytes(full.begin(), full.begin() + static_cast<long>(size)));
        UsbBulkEndpoints found;
        EXPECT_FALSE(usbdesc::FindBulkPairInConfiguration(exact.get(), size, &found)) << size;
    }
    UsbBulkEndpoints found;
    EXPECT_TRUE(FindIn(full, &found));
}

TEST(MalformedDescriptors, BadConfigurationHeaderIsRefused) {
    UsbBulkEndpoints found;
    Bytes config = LoaderConfiguration();
    config[1] = 4;  // not a configuration descriptor
    EXPECT_FALSE(FindIn(config, &found));
    config = LoaderConfiguration();
    config[0] = 8;  // shorter than a configuration header
    EXPECT_FALSE(FindIn(config, &found));
    config = LoaderConfiguration();
    config[2] = 5;  // total length below the header's own length
    config[3] = 0;
    EXPECT_FALSE(FindIn(config, &found));
    // A header claiming more bytes than the buffer holds (found by the random-bytes test).
    config = LoaderConfiguration();
    config[0] = 200;
    auto exact = Exact(Bytes(config.begin(), config.begin() + 20));
    EXPECT_FALSE(usbdesc::FindBulkPairInConfiguration(exact.get(), 20, &found));
    EXPECT_FALSE(usbdesc::FindBulkPairInConfiguration(nullptr, 100, &found));
}

TEST(NodeDescriptors, PicksTheActiveConfiguration) {
    Bytes node = DeviceDescriptor(2);
    Append(node, Configuration(1).Interface(0).Endpoint(0x81).Endpoint(0x02).Finish());
    Append(node, Configuration(2).Interface(0).Endpoint(0x83).Endpoint(0x04).Finish());
    UsbBulkEndpoints found;
    ASSERT_TRUE(usbdesc::FindBulkPair(node.data(), node.size(), 2, &found));
    EXPECT_EQ(found.inAddress, 0x83);
    EXPECT_EQ(found.configurationValue, 2);
    ASSERT_TRUE(usbdesc::FindBulkPair(node.data(), node.size(), 1, &found));
    EXPECT_EQ(found.inAddress, 0x81);
    // Unknown active configuration: the first block.
    ASSERT_TRUE(usbdesc::FindBulkPair(node.data(), node.size(), -1, &found));
    EXPECT_EQ(found.inAddress, 0x81);
    EXPECT_FALSE(usbdesc::FindBulkPair(node.data(), node.size(), 3, &found));
}

TEST(NodeDescriptors, ConfigurationCountBeyondTheBufferIsSafe) {
    Bytes node = DeviceDescriptor(255);
    Append(node, LoaderConfiguration(1));
    auto exact = Exact(node);
    UsbBulkEndpoints found;
    EXPECT_FALSE(usbdesc::FindBulkPair(exact.get(), node.size(), 7, &found));
    EXPECT_TRUE(usbdesc::FindBulkPair(exact.get(), node.size(), 1, &found));
}

TEST(NodeDescriptors, MalformedDeviceDescriptorIsRefused) {
    Bytes node = LoaderNodeBytes();
    UsbBulkEndpoints found;
    ASSERT_TRUE(usbdesc::FindBulkPair(node.data(), node.size(), 1, &found));
    node[1] = 2;
    EXPECT_FALSE(usbdesc::FindBulkPair(node.data(), node.size(), 1, &found));
    node = LoaderNodeBytes();
    EXPECT_FALSE(usbdesc::FindBulkPair(node.data(), 17, 1, &found));
    // A first block whose total length is huge does not hide a walk past the buffer.
    node[18 + 2] = 0xFF;
    node[18 + 3] = 0xFF;
    auto exact = Exact(node);
    EXPECT_FALSE(usbdesc::FindBulkPair(exact.get(), node.size(), 2, &found));
    EXPECT_TRUE(usbdesc::FindBulkPair(exact.get(), node.size(), 1, &found));
}

// Random bytes and random corruptions of a valid block: the walk must stay inside the buffer
// (AddressSanitizer reports otherwise) and any pair it reports must be a real bulk pair.
TEST(MalformedDescriptors, RandomBytesNeverLeadOutsideTheBuffer) {
    std::mt19937 random(20240611);
    const Bytes valid = LoaderNodeBytes();
    for (int round = 0; round < 20000; ++round) {
        Bytes bytes;
        if (round % 2 == 0) {
            bytes.resize(random() % 96);
            for (auto& b : bytes) {
                b = static_cast<uint8_t>(random());
            }
            if (bytes.size() >= 18 && round % 4 == 0) {
                bytes[0] = 18;
                bytes[1] = 1;
            }
        } else {
            bytes = valid;
            const int flips = 1 + static_cast<int>(random() % 4);
            for (int f = 0; f < flips; ++f) {
                bytes[random() % bytes.size()] = static_cast<uint8_t>(random());
            }
            bytes.resize(random() % (bytes.size() + 1));
        }
        auto exact = Exact(bytes);
        UsbBulkEndpoints found;
        if (usbdesc::FindBulkPair(exact.get(), bytes.size(), -1, &found)) {
            EXPECT_NE(found.inAddress & 0x80, 0);
            EXPECT_EQ(found.outAddress & 0x80, 0);
            EXPECT_NE(found.inMaxPacket, 0);
            EXPECT_NE(found.outMaxPacket, 0);
        }
        if (bytes.size() > 18) {
            usbdesc::FindBulkPairInConfiguration(exact.get() + 18, bytes.size() - 18, &found);
        }
    }
}
