#include "tools/usbip-sim/UsbipDeviceServer.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <new>

namespace {

// Standard requests (USB 2.0, chapter 9).
constexpr uint8_t kGetStatus = 0;
constexpr uint8_t kClearFeature = 1;
constexpr uint8_t kSetFeature = 3;
constexpr uint8_t kSetAddress = 5;
constexpr uint8_t kGetDescriptor = 6;
constexpr uint8_t kGetConfiguration = 8;
constexpr uint8_t kSetConfiguration = 9;
constexpr uint8_t kGetInterface = 10;
constexpr uint8_t kSetInterface = 11;

constexpr uint8_t kDescDevice = 1;
constexpr uint8_t kDescConfiguration = 2;
constexpr uint8_t kDescString = 3;
constexpr uint8_t kDescBos = 15;

constexpr uint16_t kFeatureEndpointHalt = 0;
constexpr size_t kCommandBlockSize = 31;
constexpr uint32_t kPollMs = 50;
constexpr uint64_t kLeaveIdleMs = 100;

void PutLe16(std::vector<uint8_t>& v, uint16_t value) {
    v.push_back(static_cast<uint8_t>(value & 0xFF));
    v.push_back(static_cast<uint8_t>(value >> 8));
}

uint16_t Le16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

bool IsCommandBlock(const uint8_t* data, size_t size) {
    return size == kCommandBlockSize && std::memcmp(data, "USBC", 4) == 0;
}

std::string Hex(unsigned value, int width) {
    char buf[16];
    std::snprintf(buf, sizeof(buf), "0x%0*x", width, value);
    return buf;
}

}  // namespace

const char* ServeEndName(ServeEnd end) {
    switch (end) {
        case ServeEnd::kStopped:
            return "stopped";
        case ServeEnd::kPeerClosed:
            return "host closed the connection";
        case ServeEnd::kLeaveForReset:
            return "leaving the bus for a reset";
        case ServeEnd::kUnplugged:
            return "unplugged";
        case ServeEnd::kProtocolError:
            return "protocol error";
    }
    return "?";
}

uint64_t SteadyMs() {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
}

UsbipDeviceServer::UsbipDeviceServer(IUsbFunction& function, UsbipFaults faults, LogFn log)
    : function_(function), faults_(faults), log_(std::move(log)) {
    if (!log_) {
        log_ = [](const std::string&) {};
    }
}

std::vector<uint8_t> UsbipDeviceServer::DeviceDescriptor() {
    const UsbDeviceIdentity id = function_.Identity();
    std::vector<uint8_t> d;
    d.push_back(18);
    d.push_back(kDescDevice);
    PutLe16(d, id.bcdUsb);
    d.push_back(0);   // class: per interface
    d.push_back(0);   // subclass
    d.push_back(0);   // protocol
    d.push_back(64);  // ep0 max packet
    PutLe16(d, id.vendorId);
    PutLe16(d, id.productId);
    PutLe16(d, id.bcdDevice);
    d.push_back(id.manufacturer.empty() ? 0 : 1);
    d.push_back(id.product.empty() ? 0 : 2);
    d.push_back(id.serial.empty() ? 0 : 3);
    d.push_back(1);  // one configuration
    return d;
}

std::vector<uint8_t> UsbipDeviceServer::ConfigurationDescriptor() const {
    std::vector<uint8_t> d = {9, kDescConfiguration, 32, 0, 1, 1, 0, 0x80, 250};
    // One vendor-specific interface with the bulk pair, so no host driver binds to it.
    const uint8_t itf[] = {9, 4, 0, 0, 2, 0xFF, 0x06, 0x50, 0};
    d.insert(d.end(), itf, itf + sizeof(itf));
    const uint8_t epIn[] = {7, 5, kBulkInEp, 0x02, 0x00, 0x02, 0};
    const uint8_t epOut[] = {7, 5, kBulkOutEp, 0x02, 0x00, 0x02, 0};
    d.insert(d.end(), epIn, epIn + sizeof(epIn));
    d.insert(d.end(), epOut, epOut + sizeof(epOut));
    return d;
}

std::vector<uint8_t> UsbipDeviceServer::BosDescriptor() const {
    // BOS header and one USB 2.0 extension capability without LPM.
    return {5, kDescBos, 12, 0, 1, 7, 0x10, 0x02, 0, 0, 0, 0};
}

std::vector<uint8_t> UsbipDeviceServer::StringDescriptor(uint8_t index) {
    if (index == 0) {
        return {4, kDescString, 0x09, 0x04};  // US English
    }
    const UsbDeviceIdentity id = function_.Identity();
    const std::string* text = nullptr;
    if (index == 1)
        text = &id.manufacturer;
    if (index == 2)
        text = &id.product;
    if (index == 3)
        text = &id.serial;
    if (text == nullptr || text->empty()) {
        return {};
    }
    std::vector<uint8_t> d = {0, kDescString};
    for (char c : *text) {
        if (d.size() + 2 > 254)
            break;
        d.push_back(static_cast<uint8_t>(c));  // the served strings are ASCII
        d.push_back(0);
    }
    d[0] = static_cast<uint8_t>(d.size());
    return d;
}

bool* UsbipDeviceServer::HaltFlag(uint32_t direction, uint32_t ep) {
    if (ep != 1)
        return nullptr;
    return direction == usbip::kDirIn ? &inHalted_ : &outHalted_;
}

UsbipDeviceServer::Reply UsbipDeviceServer::HandleControl(const usbip::CommandHeader& h,
                                                          const uint8_t* payload, size_t size) {
    (void)payload;
    (void)size;
    Reply r;
    const uint8_t requestType = h.setup[0];
    const uint8_t request = h.setup[1];
    const uint16_t value = Le16(h.setup + 2);
    const uint16_t index = Le16(h.setup + 4);
    const uint16_t length = Le16(h.setup + 6);
    const uint8_t recipient = requestType & 0x1F;
    auto stall = [&r]() {
        r.status = usbip::kStatusStall;
        r.data.clear();
        return r;
    };
    if ((requestType & 0x60) != 0) {
        return stall();  // no class or vendor requests on ep0
    }
    switch (request) {
        case kGetDescriptor: {
            const uint8_t type = static_cast<uint8_t>(value >> 8);
            const uint8_t i = static_cast<uint8_t>(value & 0xFF);
            if (type == kDescDevice) {
                r.data = DeviceDescriptor();
            } else if (type == kDescConfiguration && i == 0) {
                r.data = ConfigurationDescriptor();
            } else if (type == kDescString) {
                r.data = StringDescriptor(i);
                if (r.data.empty())
                    return stall();
            } else if (type == kDescBos) {
                r.data = BosDescriptor();
            } else {
                return stall();  // device qualifier, other speed, ...
            }
            break;
        }
        case kGetStatus: {
            uint8_t status = 0;
            if (recipient == 2) {
                const uint8_t ep = static_cast<uint8_t>(index & 0xFF);
                if (ep == kBulkInEp)
                    status = inHalted_ ? 1 : 0;
                else if (ep == kBulkOutEp)
                    status = outHalted_ ? 1 : 0;
                else if ((ep & 0x7F) != 0)
                    return stall();
            }
            r.data = {status, 0};
            break;
        }
        case kClearFeature:
        case kSetFeature: {
            if (recipient == 2 && value == kFeatureEndpointHalt) {
                const uint8_t ep = static_cast<uint8_t>(index & 0xFF);
                bool* halted = nullptr;
                if (ep == kBulkInEp)
                    halted = &inHalted_;
                if (ep == kBulkOutEp)
                    halted = &outHalted_;
                if ((ep & 0x7F) == 0)
                    break;
                if (halted == nullptr)
                    return stall();
                if (request == kSetFeature) {
                    *halted = true;
                } else {
                    *halted = false;
                    ++stats_.clearHalts;
                    log_("clear halt on endpoint " + Hex(ep, 2));
                    function_.ClearHalt(ep);
                }
            }
            break;  // device features (remote wake-up, test mode) are accepted and ignored
        }
        case kSetAddress:
            break;  // the host controller handles addressing itself
        case kGetConfiguration:
            r.data = {configuration_};
            break;
        case kSetConfiguration:
            if (value > 1)
                return stall();
            configuration_ = static_cast<uint8_t>(value);
            inHalted_ = outHalted_ = false;
            if (value == 1) {
                ++stats_.configurations;
                stats_.configuredMs = SteadyMs();
                log_("configured " + std::to_string(stats_.configuredMs - serveStartMs_) +
                     " ms after attach");
            }
            break;
        case kGetInterface:
            if (configuration_ == 0 || index != 0)
                return stall();
            r.data = {0};
            break;
        case kSetInterface:
            if (configuration_ == 0 || index != 0 || value != 0)
                return stall();
            inHalted_ = outHalted_ = false;
            break;
        default:
            return stall();
    }
    if (h.direction == usbip::kDirIn) {
        const size_t limit = std::min<size_t>(
            {static_cast<size_t>(length), static_cast<size_t>(h.transferBufferLength)});
        if (r.data.size() > limit)
            r.data.resize(limit);
    } else {
        r.data.clear();
        r.outLength = h.transferBufferLength;
    }
    return r;
}

bool UsbipDeviceServer::LeaveDue() const {
    return leaveRequested_ && SteadyMs() >= leaveAtMs_;
}

void UsbipDeviceServer::TakeBusRequest() {
    const UsbBusRequest request = function_.TakeBusRequest();
    if (request.kind == UsbBusRequest::Kind::kLeaveForReset) {
        leave_ = request;
        leaveRequested_ = true;
        leaveAtMs_ = SteadyMs() + request.lingerMs;
        log_("device resets: leaving the bus" +
             (request.noReturn ? std::string(" for good")
                               : " for " + std::to_string(request.delayMs) + " ms"));
    } else if (request.kind == UsbBusRequest::Kind::kUnplug) {
        unplugRequested_ = true;
        log_("device unplugs itself");
    }
}

bool UsbipDeviceServer::CommandIsHung() const {
    if (faults_.hangFromCommand == 0 || stats_.commands < faults_.hangFromCommand)
        return false;
    return stats_.commands - faults_.hangFromCommand < faults_.hangCount;
}

UsbipDeviceServer::Reply UsbipDeviceServer::HandleBulkOut(const usbip::CommandHeader& h,
                                                          const uint8_t* payload, size_t size,
                                                          bool* unplug) {
    Reply r;
    if (h.ep != 1 || configuration_ == 0) {
        r.status = usbip::kStatusStall;
        return r;
    }
    if (outHalted_) {
        r.status = usbip::kStatusStall;
        return r;
    }
    if (IsCommandBlock(payload, size)) {
        ++stats_.commands;
        const uint64_t now = SteadyMs();
        if (stats_.firstCommandMs == 0) {
            stats_.firstCommandMs = now;
        }
        if (stats_.sessionFirstCommandMs == 0) {
            stats_.sessionFirstCommandMs = now;
        }
        stats_.lastCommandMs = now;
        const uint8_t opcode = payload[15];
        if (faults_.unplugOnOpcode >= 0 && opcode == faults_.unplugOnOpcode &&
            ++unplugSeen_ == faults_.unplugOccurrence) {
            log_("unplug fault: command " + std::to_string(stats_.commands) + " opcode " +
                 Hex(opcode, 2));
            *unplug = true;
            return r;
        }
        if (faults_.stallOnCommand != 0 && stats_.commands == faults_.stallOnCommand) {
            ++stats_.stallsInjected;
            outHalted_ = true;
            log_("stall fault: command " + std::to_string(stats_.commands) + " opcode " +
                 Hex(opcode, 2));
            r.status = usbip::kStatusStall;
            return r;
        }
        if (CommandIsHung()) {
            log_("hang fault: IN requests of command " + std::to_string(stats_.commands) +
                 " opcode " + Hex(opcode, 2) + " are held");
        }
    } else if (stats_.firstCommandMs != 0) {
        stats_.lastCommandMs = SteadyMs();
    }
    const long taken = function_.BulkOut(payload, size);
    TakeBusRequest();
    if (unplugRequested_) {
        *unplug = true;
        return r;
    }
    if (taken == kUsbStall || taken < 0) {
        outHalted_ = true;
        r.status = usbip::kStatusStall;
        return r;
    }
    r.outLength = static_cast<int32_t>(std::min<size_t>(static_cast<size_t>(taken), size));
    return r;
}

bool UsbipDeviceServer::TryBulkIn(const usbip::CommandHeader& h, Reply* reply) {
    if (h.ep != 1 || configuration_ == 0 || inHalted_) {
        reply->status = usbip::kStatusStall;
        return true;
    }
    try {
        reply->data.resize(static_cast<size_t>(h.transferBufferLength));
    } catch (const std::bad_alloc&) {
        reply->status = usbip::kStatusStall;
        reply->data.clear();
        return true;
    }
    const long got = function_.BulkIn(reply->data.data(), reply->data.size());
    TakeBusRequest();
    if (got == kUsbNak) {
        reply->data.clear();
        return false;
    }
    if (got < 0) {
        inHalted_ = true;
        reply->status = usbip::kStatusStall;
        reply->data.clear();
        return true;
    }
    reply->data.resize(std::min<size_t>(static_cast<size_t>(got), reply->data.size()));
    if (stats_.firstCommandMs != 0)
        stats_.lastCommandMs = SteadyMs();
    return true;
}

namespace {

// Repeats move(bytes done so far) (one read or write) until `size` bytes have gone; false at the
// end of the stream or on an error other than EINTR.
template <typename Move>
bool Whole(size_t size, Move move) {
    size_t done = 0;
    while (done < size) {
        const ssize_t n = move(done);
        if (n > 0) {
            done += static_cast<size_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            return false;
        }
    }
    return true;
}

}  // namespace

bool UsbipDeviceServer::ReadExact(int fd, uint8_t* data, size_t size) {
    return Whole(size, [&](size_t done) { return ::read(fd, data + done, size - done); });
}

bool UsbipDeviceServer::WriteAll(int fd, const uint8_t* data, size_t size) {
    return Whole(size, [&](size_t done) { return ::write(fd, data + done, size - done); });
}

bool UsbipDeviceServer::SendRetSubmit(int fd, const usbip::CommandHeader& h, const Reply& reply) {
    uint8_t header[usbip::kHeaderSize];
    const bool in = h.direction == usbip::kDirIn;
    const int32_t actual = in ? static_cast<int32_t>(reply.data.size()) : reply.outLength;
    usbip::BuildRetSubmit(h, reply.status, reply.status == usbip::kStatusOk ? actual : 0, header);
    if (!WriteAll(fd, header, sizeof(header)))
        return false;
    if (in && reply.status == usbip::kStatusOk && !reply.data.empty()) {
        return WriteAll(fd, reply.data.data(), reply.data.size());
    }
    return true;
}

bool UsbipDeviceServer::SendRetUnlink(int fd, const usbip::CommandHeader& h, int32_t status) {
    uint8_t header[usbip::kHeaderSize];
    usbip::BuildRetUnlink(h, status, header);
    return WriteAll(fd, header, sizeof(header));
}

bool UsbipDeviceServer::RetryPendingIn(int fd, bool* anyCompleted) {
    while (!pendingIn_.empty() && !unplugRequested_) {
        Reply reply;
        if (!TryBulkIn(pendingIn_.front(), &reply))
            break;
        const usbip::CommandHeader h = pendingIn_.front();
        pendingIn_.erase(pendingIn_.begin());
        if (!SendRetSubmit(fd, h, reply))
            return false;
        *anyCompleted = true;
    }
    return true;
}

ServeEnd UsbipDeviceServer::Serve(int fd, const std::atomic<bool>& stop) {
    leaveRequested_ = false;
    unplugRequested_ = false;
    leave_ = {};
    serveStartMs_ = SteadyMs();
    configuration_ = 0;
    inHalted_ = outHalted_ = false;
    pendingIn_.clear();
    heldIn_.clear();
    stats_.configuredMs = 0;
    stats_.sessionFirstCommandMs = 0;
    uint64_t lastTraffic = SteadyMs();
    std::vector<uint8_t> payload;

    for (;;) {
        if (stop.load())
            return ServeEnd::kStopped;
        if (LeaveDue() && SteadyMs() - lastTraffic >= kLeaveIdleMs) {
            return ServeEnd::kLeaveForReset;
        }
        pollfd p = {fd, POLLIN, 0};
        const int ready = ::poll(&p, 1, static_cast<int>(kPollMs));
        if (ready < 0 && errno != EINTR)
            return ServeEnd::kPeerClosed;
        if (ready <= 0)
            continue;
        if ((p.revents & (POLLIN | POLLHUP | POLLERR)) == 0)
            continue;

        uint8_t raw[usbip::kHeaderSize];
        if (!ReadExact(fd, raw, sizeof(raw)))
            return ServeEnd::kPeerClosed;
        lastTraffic = SteadyMs();
        usbip::CommandHeader h;
        const usbip::ParseResult parsed = usbip::ParseCommandHeader(raw, sizeof(raw), &h);
        if (parsed != usbip::ParseResult::kOk) {
            log_("unexpected message: command " + std::to_string(h.command) + " length " +
                 std::to_string(h.transferBufferLength) + " packets " +
                 std::to_string(h.numberOfPackets));
            return ServeEnd::kProtocolError;
        }

        if (h.command == usbip::kCmdUnlink) {
            int32_t status = 0;
            auto take = [&](std::vector<usbip::CommandHeader>& list) {
                auto it = std::find_if(list.begin(), list.end(),
                                       [&](const auto& c) { return c.seqnum == h.unlinkSeqnum; });
                if (it == list.end())
                    return false;
                list.erase(it);
                return true;
            };
            if (take(pendingIn_) || take(heldIn_)) {
                status = usbip::kStatusUnlinked;
                ++stats_.heldUnlinked;
                log_("unlink of held request " + std::to_string(h.unlinkSeqnum));
            } else {
                ++stats_.lateUnlinks;
            }
            if (!SendRetUnlink(fd, h, status))
                return ServeEnd::kPeerClosed;
            continue;
        }

        const size_t payloadSize = usbip::PayloadSize(h);
        try {
            payload.resize(payloadSize);
        } catch (const std::bad_alloc&) {
            return ServeEnd::kProtocolError;
        }
        if (payloadSize > 0 && !ReadExact(fd, payload.data(), payloadSize)) {
            return ServeEnd::kPeerClosed;
        }

        if (h.ep == 0) {
            const Reply reply = HandleControl(h, payload.data(), payloadSize);
            if (!SendRetSubmit(fd, h, reply))
                return ServeEnd::kPeerClosed;
            continue;
        }

        if (h.direction == usbip::kDirOut) {
            bool unplug = false;
            const Reply reply = HandleBulkOut(h, payload.data(), payloadSize, &unplug);
            if (unplug)
                return ServeEnd::kUnplugged;
            if (!SendRetSubmit(fd, h, reply))
                return ServeEnd::kPeerClosed;
            bool completed = false;
            if (!RetryPendingIn(fd, &completed))
                return ServeEnd::kPeerClosed;
            if (unplugRequested_)
                return ServeEnd::kUnplugged;
            if (completed && LeaveDue())
                return ServeEnd::kLeaveForReset;
            continue;
        }

        // Bulk IN.
        if (CommandIsHung() && h.ep == 1) {
            heldIn_.push_back(h);
            continue;
        }
        if (!pendingIn_.empty()) {
            pendingIn_.push_back(h);  // keep the order of the host's requests
            continue;
        }
        Reply reply;
        if (!TryBulkIn(h, &reply)) {
            pendingIn_.push_back(h);
            continue;
        }
        if (unplugRequested_)
            return ServeEnd::kUnplugged;
        if (!SendRetSubmit(fd, h, reply))
            return ServeEnd::kPeerClosed;
        if (LeaveDue())
            return ServeEnd::kLeaveForReset;
    }
}
