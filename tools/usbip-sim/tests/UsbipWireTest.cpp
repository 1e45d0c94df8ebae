#include "tools/usbip-sim/UsbipWire.h"

#include <gtest/gtest.h>

namespace {

usbip::CommandHeader Submit(uint32_t seqnum, uint32_t direction, uint32_t ep, int32_t length) {
    usbip::CommandHeader h;
    h.command = usbip::kCmdSubmit;
    h.seqnum = seqnum;
    h.devid = 0x00010002;
    h.direction = direction;
    h.ep = ep;
    h.transferBufferLength = length;
    return h;
}

TEST(UsbipWire, SubmitHeaderSurvivesTheWireBigEndian) {
    usbip::CommandHeader h = Submit(0x01020304, usbip::kDirIn, 1, 512);
    h.transferFlags = 0x200;
    const uint8_t setup[8] = {0x80, 6, 0, 1, 0, 0, 18, 0};
    std::copy(setup, setup + 8, h.setup);
    uint8_t raw[usbip::kHeaderSize];
    usbip::BuildCommand(h, raw);
    EXPECT_EQ(raw[0], 0);
    EXPECT_EQ(raw[3], 1);  // command 1, big-endian
    EXPECT_EQ(raw[4], 0x01);
    EXPECT_EQ(raw[7], 0x04);   // seqnum big-endian
    EXPECT_EQ(raw[40], 0x80);  // setup bytes as the device sees them

    usbip::CommandHeader parsed;
    ASSERT_EQ(usbip::ParseCommandHeader(raw, sizeof(raw), &parsed), usbip::ParseResult::kOk);
    EXPECT_EQ(parsed.seqnum, 0x01020304u);
    EXPECT_EQ(parsed.devid, 0x00010002u);
    EXPECT_EQ(parsed.direction, usbip::kDirIn);
    EXPECT_EQ(parsed.ep, 1u);
    EXPECT_EQ(parsed.transferBufferLength, 512);
    EXPECT_EQ(parsed.transferFlags, 0x200u);
    EXPECT_EQ(parsed.setup[6], 18);
    EXPECT_EQ(usbip::PayloadSize(parsed), 0u);  // IN: nothing follows the header
}

TEST(UsbipWire, OutSubmitIsFollowedByItsData) {
    uint8_t raw[usbip::kHeaderSize];
    usbip::BuildCommand(Submit(1, usbip::kDirOut, 1, 31), raw);
    usbip::CommandHeader parsed;
    ASSERT_EQ(usbip::ParseCommandHeader(raw, sizeof(raw), &parsed), usbip::ParseResult::kOk);
    EXPECT_EQ(usbip::PayloadSize(parsed), 31u);
}

TEST(UsbipWire, UnlinkNamesTheRequestItTakesBack) {
    usbip::CommandHeader h;
    h.command = usbip::kCmdUnlink;
    h.seqnum = 9;
    h.unlinkSeqnum = 7;
    uint8_t raw[usbip::kHeaderSize];
    usbip::BuildCommand(h, raw);
    usbip::CommandHeader parsed;
    ASSERT_EQ(usbip::ParseCommandHeader(raw, sizeof(raw), &parsed), usbip::ParseResult::kOk);
    EXPECT_EQ(parsed.seqnum, 9u);
    EXPECT_EQ(parsed.unlinkSeqnum, 7u);
    EXPECT_EQ(usbip::PayloadSize(parsed), 0u);
}

TEST(UsbipWire, HeadersThatCannotBeServedAreRefused) {
    uint8_t raw[usbip::kHeaderSize] = {};
    usbip::CommandHeader parsed;
    EXPECT_EQ(usbip::ParseCommandHeader(raw, usbip::kHeaderSize - 1, &parsed),
              usbip::ParseResult::kShort);

    usbip::CommandHeader h = Submit(1, usbip::kDirIn, 1, 64);
    h.numberOfPackets = 4;  // isochronous
    usbip::BuildCommand(h, raw);
    EXPECT_EQ(usbip::ParseCommandHeader(raw, sizeof(raw), &parsed), usbip::ParseResult::kBadField);

    usbip::BuildCommand(Submit(1, 2, 1, 64), raw);
    EXPECT_EQ(usbip::ParseCommandHeader(raw, sizeof(raw), &parsed), usbip::ParseResult::kBadField);

    usbip::BuildCommand(Submit(1, usbip::kDirOut, 16, 64), raw);
    EXPECT_EQ(usbip::ParseCommandHeader(raw, sizeof(raw), &parsed), usbip::ParseResult::kBadField);

    usbip::BuildCommand(Submit(1, usbip::kDirOut, 1, -1), raw);
    EXPECT_EQ(usbip::ParseCommandHeader(raw, sizeof(raw), &parsed), usbip::ParseResult::kBadField);

    usbip::BuildCommand(
        Submit(1, usbip::kDirOut, 1, static_cast<int32_t>(usbip::kMaxTransferLength + 1)), raw);
    EXPECT_EQ(usbip::ParseCommandHeader(raw, sizeof(raw), &parsed), usbip::ParseResult::kBadField);

    h = Submit(1, usbip::kDirIn, 1, 0);
    h.command = usbip::kRetSubmit;  // a device never receives returns
    usbip::BuildCommand(h, raw);
    EXPECT_EQ(usbip::ParseCommandHeader(raw, sizeof(raw), &parsed),
              usbip::ParseResult::kUnknownCommand);
}

TEST(UsbipWire, ReturnsEchoTheSequenceNumberAndCarryStatusAndLength) {
    const usbip::CommandHeader request = Submit(0xABCDEF01, usbip::kDirIn, 1, 512);
    uint8_t raw[usbip::kHeaderSize];
    usbip::BuildRetSubmit(request, usbip::kStatusStall, 13, raw);
    EXPECT_EQ(usbip::Word(raw, 0), static_cast<uint32_t>(usbip::kRetSubmit));
    EXPECT_EQ(usbip::Word(raw, 1), 0xABCDEF01u);
    EXPECT_EQ(static_cast<int32_t>(usbip::Word(raw, 5)), usbip::kStatusStall);
    EXPECT_EQ(usbip::Word(raw, 6), 13u);
    EXPECT_EQ(usbip::Word(raw, 8), 0u);  // no isochronous packets

    usbip::CommandHeader unlink;
    unlink.command = usbip::kCmdUnlink;
    unlink.seqnum = 44;
    unlink.unlinkSeqnum = 40;
    usbip::BuildRetUnlink(unlink, usbip::kStatusUnlinked, raw);
    EXPECT_EQ(usbip::Word(raw, 0), static_cast<uint32_t>(usbip::kRetUnlink));
    EXPECT_EQ(usbip::Word(raw, 1), 44u);  // the unlink's own sequence number
    EXPECT_EQ(static_cast<int32_t>(usbip::Word(raw, 5)), usbip::kStatusUnlinked);
}

}  // namespace
