// The device server against a scripted host on the other end of a socket pair, the way
// vhci-hcd talks to it: descriptors and standard requests, bulk transfers through the loader
// emulator, held requests and unlinks, injected faults, and the reset and unplug endings.
#include "tools/usbip-sim/UsbipDeviceServer.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <future>
#include <memory>
#include <thread>
#include <vector>

#include "platform/sim/DemoImage.h"
#include "tools/usbip-sim/EchoFunction.h"
#include "tools/usbip-sim/LoaderFunction.h"

namespace {

struct Ret {
    uint32_t command = 0;
    uint32_t seqnum = 0;
    int32_t status = 0;
    int32_t actualLength = 0;
    std::vector<uint8_t> data;
};

// The host end: sends commands and reads returns with a time limit.
class ScriptedHost {
  public:
    explicit ScriptedHost(int fd) : fd_(fd) {}

    uint32_t Submit(uint32_t direction, uint32_t ep, const std::vector<uint8_t>& out,
                    int32_t inLength, const uint8_t* setup = nullptr) {
        usbip::CommandHeader h;
        h.command = usbip::kCmdSubmit;
        h.seqnum = ++seq_;
        h.devid = 0x10001;
        h.direction = direction;
        h.ep = ep;
        h.transferBufferLength =
            direction == usbip::kDirOut ? static_cast<int32_t>(out.size()) : inLength;
        if (setup != nullptr)
            std::memcpy(h.setup, setup, 8);
        uint8_t raw[usbip::kHeaderSize];
        usbip::BuildCommand(h, raw);
        Send(raw, sizeof(raw));
        if (direction == usbip::kDirOut && !out.empty())
            Send(out.data(), out.size());
        return h.seqnum;
    }

    uint32_t Control(uint8_t requestType, uint8_t request, uint16_t value, uint16_t index,
                     uint16_t length) {
        const uint8_t setup[8] = {requestType,
                                  request,
                                  static_cast<uint8_t>(value),
                                  static_cast<uint8_t>(value >> 8),
                                  static_cast<uint8_t>(index),
                                  static_cast<uint8_t>(index >> 8),
                                  static_cast<uint8_t>(length),
                                  static_cast<uint8_t>(length >> 8)};
        const bool in = (requestType & 0x80) != 0;
        return Submit(in ? usbip::kDirIn : usbip::kDirOut, 0, {}, in ? length : 0, setup);
    }

    uint32_t Unlink(uint32_t target) {
        usbip::CommandHeader h;
        h.command = usbip::kCmdUnlink;
        h.seqnum = ++seq_;
        h.unlinkSeqnum = target;
        uint8_t raw[usbip::kHeaderSize];
        usbip::BuildCommand(h, raw);
        Send(raw, sizeof(raw));
        return h.seqnum;
    }

    // Reads one return; IN data is read when the return says data follows (inbound = true).
    bool Read(Ret* ret, bool inbound, int timeoutMs = 2000) {
        uint8_t raw[usbip::kHeaderSize];
        if (!ReadExact(raw, sizeof(raw), timeoutMs))
            return false;
        ret->command = usbip::Word(raw, 0);
        ret->seqnum = usbip::Word(raw, 1);
        ret->status = static_cast<int32_t>(usbip::Word(raw, 5));
        ret->actualLength = static_cast<int32_t>(usbip::Word(raw, 6));
        ret->data.clear();
        if (inbound && ret->command == usbip::kRetSubmit && ret->actualLength > 0) {
            ret->data.resize(static_cast<size_t>(ret->actualLength));
            if (!ReadExact(ret->data.data(), ret->data.size(), timeoutMs))
                return false;
        }
        return true;
    }

    bool NothingPending(int waitMs) {
        pollfd p = {fd_, POLLIN, 0};
        return ::poll(&p, 1, waitMs) == 0;
    }

    void Close() {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = -1;
    }

  private:
    void Send(const uint8_t* data, size_t size) {
        ASSERT_EQ(::write(fd_, data, size), static_cast<ssize_t>(size));
    }
    bool ReadExact(uint8_t* data, size_t size, int timeoutMs) {
        size_t done = 0;
        while (done < size) {
            pollfd p = {fd_, POLLIN, 0};
            if (::poll(&p, 1, timeoutMs) <= 0)
                return false;
            const ssize_t n = ::read(fd_, data + done, size - done);
            if (n <= 0)
                return false;
            done += static_cast<size_t>(n);
        }
        return true;
    }

    int fd_;
    uint32_t seq_ = 100;
};

std::vector<uint8_t> CommandBlock(uint8_t opcode, uint32_t tag, uint32_t dataLength, bool in) {
    std::vector<uint8_t> b(31, 0);
    std::memcpy(b.data(), "USBC", 4);
    b[4] = static_cast<uint8_t>(tag);
    b[5] = static_cast<uint8_t>(tag >> 8);
    b[8] = static_cast<uint8_t>(dataLength);
    b[9] = static_cast<uint8_t>(dataLength >> 8);
    b[12] = in ? 0x80 : 0x00;
    b[14] = 6;
    b[15] = opcode;
    return b;
}

// A served device on one end of a socket pair, with Serve running on its own thread.
class ServedDevice {
  public:
    ServedDevice(std::unique_ptr<IUsbFunction> function, UsbipFaults faults = {})
        : function_(std::move(function)), server_(*function_, faults, [](const std::string&) {}) {
        int sv[2];
        EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
        deviceFd_ = sv[0];
        host_ = std::make_unique<ScriptedHost>(sv[1]);
        end_ = std::async(std::launch::async, [this]() { return server_.Serve(deviceFd_, stop_); });
    }
    ~ServedDevice() {
        stop_ = true;
        if (end_.valid())
            end_.wait();
        host_->Close();
        ::close(deviceFd_);
    }

    ScriptedHost& Host() { return *host_; }
    UsbipDeviceServer& Server() { return server_; }
    IUsbFunction& Function() { return *function_; }
    // Waits for Serve to end; false when it is still running after timeoutMs.
    bool Ended(ServeEnd* end, int timeoutMs = 2000) {
        if (end_.wait_for(std::chrono::milliseconds(timeoutMs)) != std::future_status::ready) {
            return false;
        }
        *end = end_.get();
        return true;
    }
    void Stop() { stop_ = true; }

    // Standard enumeration tail: SET_CONFIGURATION(1).
    void Configure() {
        Ret r;
        host_->Control(0x00, 9, 1, 0, 0);
        ASSERT_TRUE(host_->Read(&r, false));
        ASSERT_EQ(r.status, 0);
    }

  private:
    std::unique_ptr<IUsbFunction> function_;
    UsbipDeviceServer server_;
    std::atomic<bool> stop_{false};
    int deviceFd_ = -1;
    std::unique_ptr<ScriptedHost> host_;
    std::future<ServeEnd> end_;
};

std::unique_ptr<LoaderFunction> DemoLoader(int index, uint16_t bcdUsb = 0x0201) {
    std::unique_ptr<LoaderEmulator> emulator = MakeDemoLoader(index);
    LoaderConfig config = emulator->Config();
    config.bcdUsb = bcdUsb;
    config.resetReturnDelayMs = 250;
    emulator->SetConfig(config);
    return std::make_unique<LoaderFunction>(std::move(emulator), "SER0001");
}

UsbDeviceIdentity EchoIdentity() {
    UsbDeviceIdentity id;
    id.vendorId = 0x1234;
    id.productId = 0x5678;
    id.product = "Echo";
    return id;
}

TEST(UsbipDeviceServer, DeviceDescriptorCarriesTheLoaderOrRomBcdUsb) {
    for (uint16_t bcd : {uint16_t{0x0201}, uint16_t{0x0200}}) {
        ServedDevice dev(DemoLoader(0, bcd));
        Ret r;
        const uint32_t seq = dev.Host().Control(0x80, 6, 0x0100, 0, 18);
        ASSERT_TRUE(dev.Host().Read(&r, true));
        EXPECT_EQ(r.seqnum, seq);
        ASSERT_EQ(r.data.size(), 18u);
        EXPECT_EQ(r.data[1], 1);
        EXPECT_EQ(r.data[2] | (r.data[3] << 8), bcd);
        EXPECT_EQ(r.data[8] | (r.data[9] << 8), 0xF00D);
        EXPECT_EQ(r.data[17], 1);  // one configuration
    }
}

TEST(UsbipDeviceServer, DescriptorsAreCutToTheRequestedLength) {
    ServedDevice dev(DemoLoader(0));
    Ret r;
    dev.Host().Control(0x80, 6, 0x0100, 0, 8);  // the host's first, 8-byte read
    ASSERT_TRUE(dev.Host().Read(&r, true));
    EXPECT_EQ(r.data.size(), 8u);
    EXPECT_EQ(r.data[7], 64);  // ep0 max packet

    dev.Host().Control(0x80, 6, 0x0200, 0, 9);
    ASSERT_TRUE(dev.Host().Read(&r, true));
    ASSERT_EQ(r.data.size(), 9u);
    EXPECT_EQ(r.data[2], 32);  // total length announced
}

TEST(UsbipDeviceServer, ConfigurationOffersOneVendorInterfaceWithTheBulkPair) {
    ServedDevice dev(DemoLoader(0));
    Ret r;
    dev.Host().Control(0x80, 6, 0x0200, 0, 255);
    ASSERT_TRUE(dev.Host().Read(&r, true));
    ASSERT_EQ(r.data.size(), 32u);
    EXPECT_EQ(r.data[9 + 4], 2);      // two endpoints
    EXPECT_EQ(r.data[9 + 5], 0xFF);   // vendor class: no host driver binds
    EXPECT_EQ(r.data[18 + 2], 0x81);  // bulk IN
    EXPECT_EQ(r.data[18 + 3], 0x02);
    EXPECT_EQ(r.data[18 + 4] | (r.data[18 + 5] << 8), 512);
    EXPECT_EQ(r.data[25 + 2], 0x01);  // bulk OUT
    EXPECT_EQ(r.data[25 + 3], 0x02);
}

TEST(UsbipDeviceServer, StringsBosAndUnknownRequests) {
    ServedDevice dev(DemoLoader(0));
    Ret r;
    dev.Host().Control(0x80, 6, 0x0303, 0x0409, 255);
    ASSERT_TRUE(dev.Host().Read(&r, true));
    ASSERT_EQ(r.data.size(), 2u + 2 * 7);
    EXPECT_EQ(r.data[2], 'S');
    EXPECT_EQ(r.data[3], 0);

    dev.Host().Control(0x80, 6, 0x0307, 0x0409, 255);  // no such string
    ASSERT_TRUE(dev.Host().Read(&r, true));
    EXPECT_EQ(r.status, usbip::kStatusStall);
    EXPECT_TRUE(r.data.empty());

    dev.Host().Control(0x80, 6, 0x0F00, 0, 255);
    ASSERT_TRUE(dev.Host().Read(&r, true));
    ASSERT_EQ(r.data.size(), 12u);
    EXPECT_EQ(r.data[1], 15);

    dev.Host().Control(0xC0, 0x51, 0, 0, 4);  // vendor request
    ASSERT_TRUE(dev.Host().Read(&r, true));
    EXPECT_EQ(r.status, usbip::kStatusStall);

    dev.Host().Control(0x80, 6, 0x0600, 0, 10);  // device qualifier
    ASSERT_TRUE(dev.Host().Read(&r, true));
    EXPECT_EQ(r.status, usbip::kStatusStall);
}

TEST(UsbipDeviceServer, BulkBeforeConfigurationStalls) {
    ServedDevice dev(DemoLoader(0));
    Ret r;
    dev.Host().Submit(usbip::kDirOut, 1, CommandBlock(0x00, 1, 0, true), 0);
    ASSERT_TRUE(dev.Host().Read(&r, false));
    EXPECT_EQ(r.status, usbip::kStatusStall);
}

TEST(UsbipDeviceServer, OutReturnsCarryNoDataAndInReturnsCarryTheStatusBlock) {
    ServedDevice dev(DemoLoader(0));
    dev.Configure();
    Ret r;
    const uint32_t out = dev.Host().Submit(usbip::kDirOut, 1, CommandBlock(0x00, 0x77, 0, true), 0);
    ASSERT_TRUE(dev.Host().Read(&r, false));
    EXPECT_EQ(r.seqnum, out);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.actualLength, 31);
    // The very next bytes on the stream are the IN return's header: no data followed the OUT one.
    const uint32_t in = dev.Host().Submit(usbip::kDirIn, 1, {}, 13);
    ASSERT_TRUE(dev.Host().Read(&r, true));
    EXPECT_EQ(r.command, static_cast<uint32_t>(usbip::kRetSubmit));
    EXPECT_EQ(r.seqnum, in);
    ASSERT_EQ(r.data.size(), 13u);
    EXPECT_EQ(std::memcmp(r.data.data(), "USBS", 4), 0);
    EXPECT_EQ(r.data[4], 0x77);  // the command's tag
    EXPECT_EQ(r.data[12], 0);
    EXPECT_EQ(dev.Server().Stats().commands, 1u);
}

TEST(UsbipDeviceServer, HeldRequestIsAnsweredOnlyByItsUnlink) {
    UsbipFaults faults;
    faults.hangFromCommand = 1;
    ServedDevice dev(DemoLoader(0), faults);
    dev.Configure();
    Ret r;
    dev.Host().Submit(usbip::kDirOut, 1, CommandBlock(0x00, 5, 0, true), 0);
    ASSERT_TRUE(dev.Host().Read(&r, false));
    const uint32_t held = dev.Host().Submit(usbip::kDirIn, 1, {}, 13);
    EXPECT_TRUE(dev.Host().NothingPending(200));

    const uint32_t unlink = dev.Host().Unlink(held);
    ASSERT_TRUE(dev.Host().Read(&r, true));
    EXPECT_EQ(r.command, static_cast<uint32_t>(usbip::kRetUnlink));
    EXPECT_EQ(r.seqnum, unlink);
    EXPECT_EQ(r.status, usbip::kStatusUnlinked);
    EXPECT_TRUE(dev.Host().NothingPending(200));  // never a RET_SUBMIT for it afterwards
    EXPECT_EQ(dev.Server().Stats().heldUnlinked, 1u);
}

TEST(UsbipDeviceServer, UnlinkOfACompletedRequestIsAnsweredWithZero) {
    ServedDevice dev(DemoLoader(0));
    dev.Configure();
    Ret r;
    const uint32_t out = dev.Host().Submit(usbip::kDirOut, 1, CommandBlock(0x00, 5, 0, true), 0);
    ASSERT_TRUE(dev.Host().Read(&r, false));
    dev.Host().Unlink(out);
    ASSERT_TRUE(dev.Host().Read(&r, true));
    EXPECT_EQ(r.command, static_cast<uint32_t>(usbip::kRetUnlink));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(dev.Server().Stats().lateUnlinks, 1u);
}

TEST(UsbipDeviceServer, PendingInCompletesAfterTheNextOut) {
    ServedDevice dev(std::make_unique<EchoFunction>(EchoIdentity()));
    dev.Configure();
    Ret r;
    const uint32_t in = dev.Host().Submit(usbip::kDirIn, 1, {}, 512);
    EXPECT_TRUE(dev.Host().NothingPending(150));  // nothing to return yet
    const uint32_t out = dev.Host().Submit(usbip::kDirOut, 1, {1, 2, 3}, 0);
    ASSERT_TRUE(dev.Host().Read(&r, false));
    EXPECT_EQ(r.seqnum, out);
    ASSERT_TRUE(dev.Host().Read(&r, true));
    EXPECT_EQ(r.seqnum, in);
    EXPECT_EQ(r.data, (std::vector<uint8_t>{1, 2, 3}));
}

TEST(UsbipDeviceServer, InjectedStallHoldsUntilTheHaltIsCleared) {
    UsbipFaults faults;
    faults.stallOnCommand = 1;
    ServedDevice dev(DemoLoader(0), faults);
    dev.Configure();
    Ret r;
    dev.Host().Submit(usbip::kDirOut, 1, CommandBlock(0x00, 1, 0, true), 0);
    ASSERT_TRUE(dev.Host().Read(&r, false));
    EXPECT_EQ(r.status, usbip::kStatusStall);

    dev.Host().Submit(usbip::kDirOut, 1, CommandBlock(0x00, 2, 0, true), 0);
    ASSERT_TRUE(dev.Host().Read(&r, false));
    EXPECT_EQ(r.status, usbip::kStatusStall);  // still halted

    dev.Host().Control(0x82, 0, 0, 0x01, 2);  // GET_STATUS(endpoint 0x01)
    ASSERT_TRUE(dev.Host().Read(&r, true));
    EXPECT_EQ(r.data, (std::vector<uint8_t>{1, 0}));

    dev.Host().Control(0x02, 1, 0, 0x01, 0);  // CLEAR_FEATURE(ENDPOINT_HALT) on 0x01
    ASSERT_TRUE(dev.Host().Read(&r, false));
    EXPECT_EQ(r.status, 0);
    dev.Host().Control(0x02, 1, 0, 0x81, 0);
    ASSERT_TRUE(dev.Host().Read(&r, false));

    dev.Host().Submit(usbip::kDirOut, 1, CommandBlock(0x00, 3, 0, true), 0);
    ASSERT_TRUE(dev.Host().Read(&r, false));
    EXPECT_EQ(r.status, 0);
    dev.Host().Submit(usbip::kDirIn, 1, {}, 13);
    ASSERT_TRUE(dev.Host().Read(&r, true));
    ASSERT_EQ(r.data.size(), 13u);
    EXPECT_EQ(r.data[4], 3);
    EXPECT_EQ(dev.Server().Stats().clearHalts, 2u);
    EXPECT_EQ(dev.Server().Stats().stallsInjected, 1u);
    auto& loader = static_cast<LoaderFunction&>(dev.Function());
    EXPECT_EQ(loader.Emulator().ClearHaltCount(), 2u);
}

TEST(UsbipDeviceServer, ResetCommandLeavesTheBusAfterItsStatusBlock) {
    ServedDevice dev(DemoLoader(0));
    dev.Configure();
    Ret r;
    std::vector<uint8_t> reset = CommandBlock(0xFF, 9, 0, false);
    reset[16] = 1;  // sub-code 1: the loader starts again (sub-code 0 boots the system)
    dev.Host().Submit(usbip::kDirOut, 1, reset, 0);
    ASSERT_TRUE(dev.Host().Read(&r, false));
    EXPECT_EQ(r.status, 0);
    dev.Host().Submit(usbip::kDirIn, 1, {}, 13);
    ASSERT_TRUE(dev.Host().Read(&r, true));
    ASSERT_EQ(r.data.size(), 13u);
    EXPECT_EQ(r.data[12], 0);
    ServeEnd end = ServeEnd::kStopped;
    ASSERT_TRUE(dev.Ended(&end));
    EXPECT_EQ(end, ServeEnd::kLeaveForReset);
    EXPECT_EQ(dev.Server().LastLeave().delayMs, 250u);
    EXPECT_FALSE(dev.Server().LastLeave().noReturn);
}

TEST(UsbipDeviceServer, FinalResetLeavesForGood) {
    ServedDevice dev(DemoLoader(0));
    dev.Configure();
    Ret r;
    dev.Host().Submit(usbip::kDirOut, 1, CommandBlock(0xFF, 9, 0, false), 0);
    ASSERT_TRUE(dev.Host().Read(&r, false));
    dev.Host().Submit(usbip::kDirIn, 1, {}, 13);
    ASSERT_TRUE(dev.Host().Read(&r, true));
    ServeEnd end = ServeEnd::kStopped;
    ASSERT_TRUE(dev.Ended(&end));
    EXPECT_EQ(end, ServeEnd::kLeaveForReset);
    EXPECT_TRUE(dev.Server().LastLeave().noReturn);
}

TEST(UsbipDeviceServer, UnplugFaultEndsWithoutAnsweringTheCommand) {
    UsbipFaults faults;
    faults.unplugOnOpcode = 0x15;
    ServedDevice dev(DemoLoader(0), faults);
    dev.Configure();
    Ret r;
    dev.Host().Submit(usbip::kDirOut, 1, CommandBlock(0x00, 1, 0, true), 0);
    ASSERT_TRUE(dev.Host().Read(&r, false));
    dev.Host().Submit(usbip::kDirIn, 1, {}, 13);
    ASSERT_TRUE(dev.Host().Read(&r, true));
    dev.Host().Submit(usbip::kDirOut, 1, CommandBlock(0x15, 2, 512, false), 0);
    ServeEnd end = ServeEnd::kStopped;
    ASSERT_TRUE(dev.Ended(&end));
    EXPECT_EQ(end, ServeEnd::kUnplugged);
    EXPECT_TRUE(dev.Host().NothingPending(100));
}

TEST(UsbipDeviceServer, EmulatorUnplugEndsTheSession) {
    std::unique_ptr<LoaderFunction> loader = DemoLoader(0);
    LoaderFaults faults = loader->Emulator().Faults();
    faults.unplugAtCommand = 1;
    loader->Emulator().SetFaults(faults);
    ServedDevice dev(std::move(loader));
    dev.Configure();
    dev.Host().Submit(usbip::kDirOut, 1, CommandBlock(0x00, 1, 0, true), 0);
    ServeEnd end = ServeEnd::kStopped;
    ASSERT_TRUE(dev.Ended(&end));
    EXPECT_EQ(end, ServeEnd::kUnplugged);
}

TEST(UsbipDeviceServer, BrokenStreamAndClosedPeerEndTheSession) {
    {
        usbip::CommandHeader h;
        h.command = usbip::kCmdSubmit;
        h.direction = usbip::kDirIn;
        h.ep = 1;
        h.numberOfPackets = 3;  // isochronous: not served
        uint8_t raw[usbip::kHeaderSize];
        usbip::BuildCommand(h, raw);
        int sv[2];
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
        std::atomic<bool> stop{false};
        EchoFunction echo(EchoIdentity());
        UsbipDeviceServer server(echo, {}, nullptr);
        auto end = std::async(std::launch::async, [&]() { return server.Serve(sv[0], stop); });
        ASSERT_EQ(::write(sv[1], raw, sizeof(raw)), static_cast<ssize_t>(sizeof(raw)));
        ASSERT_EQ(end.wait_for(std::chrono::seconds(2)), std::future_status::ready);
        EXPECT_EQ(end.get(), ServeEnd::kProtocolError);
        ::close(sv[0]);
        ::close(sv[1]);
    }
    {
        ServedDevice dev(DemoLoader(0));
        dev.Host().Close();
        ServeEnd end = ServeEnd::kStopped;
        ASSERT_TRUE(dev.Ended(&end));
        EXPECT_EQ(end, ServeEnd::kPeerClosed);
    }
}

TEST(UsbipDeviceServer, StopFlagEndsAnIdleSession) {
    ServedDevice dev(DemoLoader(0));
    dev.Stop();
    ServeEnd end = ServeEnd::kPeerClosed;
    ASSERT_TRUE(dev.Ended(&end, 1000));
    EXPECT_EQ(end, ServeEnd::kStopped);
}

}  // namespace
