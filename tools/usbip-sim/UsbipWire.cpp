#include "tools/usbip-sim/UsbipWire.h"

#include <cstring>

namespace usbip {
namespace {

void PutWord(uint8_t* header, size_t index, uint32_t value) {
    uint8_t* p = header + index * 4;
    p[0] = static_cast<uint8_t>(value >> 24);
    p[1] = static_cast<uint8_t>(value >> 16);
    p[2] = static_cast<uint8_t>(value >> 8);
    p[3] = static_cast<uint8_t>(value);
}

// The basic header every command and reply starts with: `command`, then the request's seqnum,
// devid, direction and endpoint; the rest zero.
void PutBasic(uint8_t* out, uint32_t command, const CommandHeader& request) {
    std::memset(out, 0, kHeaderSize);
    PutWord(out, 0, command);
    PutWord(out, 1, request.seqnum);
    PutWord(out, 2, request.devid);
    PutWord(out, 3, request.direction);
    PutWord(out, 4, request.ep);
}

int32_t SignedWord(const uint8_t* header, size_t index) {
    return static_cast<int32_t>(Word(header, index));
}

}  // namespace

uint32_t Word(const uint8_t* header, size_t index) {
    const uint8_t* p = header + index * 4;
    return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
           (static_cast<uint32_t>(p[2]) << 8) | static_cast<uint32_t>(p[3]);
}

ParseResult ParseCommandHeader(const uint8_t* data, size_t size, CommandHeader* out) {
    if (data == nullptr || size < kHeaderSize) {
        return ParseResult::kShort;
    }
    CommandHeader h;
    h.command = Word(data, 0);
    h.seqnum = Word(data, 1);
    h.devid = Word(data, 2);
    h.direction = Word(data, 3);
    h.ep = Word(data, 4);
    if (h.command == kCmdSubmit) {
        h.transferFlags = Word(data, 5);
        h.transferBufferLength = SignedWord(data, 6);
        h.startFrame = SignedWord(data, 7);
        h.numberOfPackets = SignedWord(data, 8);
        h.interval = SignedWord(data, 9);
        std::memcpy(h.setup, data + 40, sizeof(h.setup));
        if (h.direction > kDirIn || h.ep > 15 || h.transferBufferLength < 0 ||
            static_cast<uint32_t>(h.transferBufferLength) > kMaxTransferLength ||
            h.numberOfPackets > 0) {
            *out = h;
            return ParseResult::kBadField;
        }
    } else if (h.command == kCmdUnlink) {
        h.unlinkSeqnum = Word(data, 5);
    } else {
        *out = h;
        return ParseResult::kUnknownCommand;
    }
    *out = h;
    return ParseResult::kOk;
}

size_t PayloadSize(const CommandHeader& header) {
    if (header.command != kCmdSubmit || header.direction != kDirOut ||
        header.transferBufferLength <= 0) {
        return 0;
    }
    return static_cast<size_t>(header.transferBufferLength);
}

void BuildRetSubmit(const CommandHeader& request, int32_t status, int32_t actualLength,
                    uint8_t out[kHeaderSize]) {
    PutBasic(out, kRetSubmit, request);
    PutWord(out, 5, static_cast<uint32_t>(status));
    PutWord(out, 6, static_cast<uint32_t>(actualLength));
    PutWord(out, 7, static_cast<uint32_t>(request.startFrame));
    PutWord(out, 8, 0);  // number_of_packets: no isochronous transfers
    PutWord(out, 9, 0);  // error_count
}

void BuildRetUnlink(const CommandHeader& request, int32_t status, uint8_t out[kHeaderSize]) {
    PutBasic(out, kRetUnlink, request);
    PutWord(out, 5, static_cast<uint32_t>(status));
}

void BuildCommand(const CommandHeader& header, uint8_t out[kHeaderSize]) {
    PutBasic(out, header.command, header);
    if (header.command == kCmdSubmit) {
        PutWord(out, 5, header.transferFlags);
        PutWord(out, 6, static_cast<uint32_t>(header.transferBufferLength));
        PutWord(out, 7, static_cast<uint32_t>(header.startFrame));
        PutWord(out, 8, static_cast<uint32_t>(header.numberOfPackets));
        PutWord(out, 9, static_cast<uint32_t>(header.interval));
        std::memcpy(out + 40, header.setup, sizeof(header.setup));
    } else {
        PutWord(out, 5, header.unlinkSeqnum);
    }
}

}  // namespace usbip
