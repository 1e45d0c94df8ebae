// The USB/IP URB messages exchanged with the kernel's virtual host controller (vhci-hcd) once a
// device is attached: CMD_SUBMIT / RET_SUBMIT and CMD_UNLINK / RET_UNLINK. Every message starts
// with a 48-byte header whose integer fields are big-endian; the 8 setup bytes of a control
// transfer are carried as the device sees them (little-endian fields).
#pragma once

#include <cstddef>
#include <cstdint>

namespace usbip {

constexpr size_t kHeaderSize = 48;

enum Command : uint32_t {
    kCmdSubmit = 1,
    kCmdUnlink = 2,
    kRetSubmit = 3,
    kRetUnlink = 4,
};

enum Direction : uint32_t {
    kDirOut = 0,
    kDirIn = 1,
};

// Status values of the returns, as the host's USB core understands them (negated errno).
constexpr int32_t kStatusOk = 0;
constexpr int32_t kStatusStall = -32;      // -EPIPE: the endpoint is halted
constexpr int32_t kStatusUnlinked = -104;  // -ECONNRESET: the URB was taken back

// Largest data phase accepted from the host in one URB. The station's largest transfer is a
// 65535-sector read or write (just under 32 MiB); anything above is treated as a broken stream.
constexpr uint32_t kMaxTransferLength = 32u * 1024u * 1024u;

// One parsed command header (CMD_SUBMIT or CMD_UNLINK).
struct CommandHeader {
    uint32_t command = 0;
    uint32_t seqnum = 0;
    uint32_t devid = 0;
    uint32_t direction = 0;
    uint32_t ep = 0;
    // CMD_SUBMIT
    uint32_t transferFlags = 0;
    int32_t transferBufferLength = 0;
    int32_t startFrame = 0;
    int32_t numberOfPackets = 0;
    int32_t interval = 0;
    uint8_t setup[8] = {};
    // CMD_UNLINK
    uint32_t unlinkSeqnum = 0;
};

enum class ParseResult {
    kOk,
    kShort,           // fewer than kHeaderSize bytes
    kUnknownCommand,  // not a command the host sends
    kBadField,        // direction, endpoint, length or packet count outside what is served
};

// Parses the 48-byte header at data (size bytes available). For CMD_SUBMIT it checks the fields
// a device server relies on: direction 0/1, endpoint 0..15, a transfer length of 0 up to
// kMaxTransferLength, and no isochronous packets.
ParseResult ParseCommandHeader(const uint8_t* data, size_t size, CommandHeader* out);

// Bytes that follow a parsed CMD_SUBMIT header on the stream (the OUT data phase); 0 for IN.
size_t PayloadSize(const CommandHeader& header);

// Fills a RET_SUBMIT header. For an IN transfer actualLength bytes of data follow it; an OUT
// transfer's return carries only the length, never data.
void BuildRetSubmit(const CommandHeader& request, int32_t status, int32_t actualLength,
                    uint8_t out[kHeaderSize]);

// Fills a RET_UNLINK header answering the given CMD_UNLINK.
void BuildRetUnlink(const CommandHeader& request, int32_t status, uint8_t out[kHeaderSize]);

// Builds a command header as the host would send it (used by tests and by nothing else).
void BuildCommand(const CommandHeader& header, uint8_t out[kHeaderSize]);

// Reads the i-th big-endian 32-bit word of a header.
uint32_t Word(const uint8_t* header, size_t index);

}  // namespace usbip
