// The transaction shapes of the bulk transport, driven by scripted pipes: which calls happen in
// which order, what is retried, what is waited for, and which result comes back.
#include <gtest/gtest.h>

#include <cstring>

#include "device/ZRUsbComm.h"
#include "tests/device_comm/TestDoubles.h"

namespace {

using Reply = ScriptedPipes::Reply;
using Events = std::vector<std::string>;

const std::string kPath = "/dev/bus/usb/001/007";

class TransportTest : public ::testing::Test {
  protected:
    Events events;
    ScriptedPipes pipes{events};
    FakeClock clock{&events};
    CapturingLogger log;
    CZRUsbComm comm{&log, 0, pipes, clock};

    bool Logged(const std::string& line) {
        for (const std::string& l : log.Lines()) {
            if (l == line) {
                return true;
            }
        }
        return false;
    }
};

// One standard attempt without a data phase.
const Events kPlainAttempt = {"open1", "write 31", "close", "open0", "read 13", "close"};

Events Concat(std::initializer_list<Events> parts) {
    Events all;
    for (const Events& p : parts) {
        all.insert(all.end(), p.begin(), p.end());
    }
    return all;
}

TEST_F(TransportTest, OutPipeOpenFailureReturnsAtOnceWithoutWaitOrReset) {
    pipes.openResults = {false};
    EXPECT_EQ(comm.ZRU_TestDeviceReady(kPath, nullptr, nullptr, 0), ZR_ERR_OPEN_OUT);
    EXPECT_EQ(events, Events{"open1"});
    EXPECT_TRUE(clock.Sleeps().empty());
    EXPECT_TRUE(Logged("Error:ZRU_Open-->CreateFile failed,err=2,path=" + kPath));
}

TEST_F(TransportTest, InPipeOpenFailureReturnsAtOnce) {
    pipes.openResults = {true, false};
    EXPECT_EQ(comm.ZRU_TestDeviceReady(kPath, nullptr, nullptr, 0), ZR_ERR_OPEN_IN);
    EXPECT_EQ(events, (Events{"open1", "write 31", "close", "open0"}));
}

TEST_F(TransportTest, WrongTagIsRetriedOnceAfterWaitAndPipeResetThenFails) {
    pipes.reads = {Reply(ScriptedPipes::WrongTag()), ScriptedPipes::WrongTag()};
    EXPECT_EQ(comm.ZRU_TestDeviceReady(kPath, nullptr, nullptr, 0), ZR_ERR_STATUS_BLOCK);
    EXPECT_EQ(events,
              Concat({kPlainAttempt, {"sleep 2000", "open2", "reset 2", "close"}, kPlainAttempt}));
    EXPECT_EQ(clock.Sleeps(), std::vector<uint32_t>{2000});
    EXPECT_TRUE(Logged("INFO:ZRU_ResetPipe-->DeviceIoControl OK"));
    // The retry resends the very same block, tag included.
    ASSERT_EQ(pipes.writes.size(), 2u);
    EXPECT_EQ(pipes.writes[0], pipes.writes[1]);
}

TEST_F(TransportTest, WrongSignatureThenGoodStatusSucceedsOnSecondAttempt) {
    Reply bad = ScriptedPipes::Status(0);
    bad.wrongSignature = true;
    pipes.reads = {bad, ScriptedPipes::Status(0)};
    EXPECT_EQ(comm.ZRU_Command16(kPath), 0);
    EXPECT_EQ(clock.Sleeps(), std::vector<uint32_t>{2000});
}

TEST_F(TransportTest, FailedPipeResetReturnsTheFirstAttemptsCode) {
    pipes.reads = {ScriptedPipes::WrongTag()};
    pipes.resetResult = false;
    EXPECT_EQ(comm.ZRU_TestDeviceReady(kPath, nullptr, nullptr, 0), ZR_ERR_STATUS_BLOCK);
    EXPECT_EQ(events, Concat({kPlainAttempt, {"sleep 2000", "open2", "reset 2", "close"}}));
    EXPECT_TRUE(Logged("ERROR:ZRU_ResetPipe-->DeviceIoControl failed,err=19"));
}

TEST_F(TransportTest, PipeResetOfAVanishedDeviceLogsTheOpenFailure) {
    pipes.reads = {ScriptedPipes::Fail()};
    pipes.openResults = {true, true, false};
    EXPECT_EQ(comm.ZRU_TestDeviceReady(kPath, nullptr, nullptr, 0), ZR_ERR_READ);
    EXPECT_TRUE(Logged("ERROR:ZRU_ResetPipe-->CreateFile " + kPath + " failed,err=2"));
    EXPECT_EQ(events.back(), "open2");
}

TEST_F(TransportTest, PipeResetRefusesAPathTooLongForTheDeviceName) {
    const std::string longPath(260, 'a');
    EXPECT_EQ(ZRU_ResetPipe(pipes, longPath, 2, &log), 0);
    EXPECT_TRUE(events.empty());
    EXPECT_TRUE(Logged("ERROR:ZRU_ResetPipe-->CreateFile " + longPath + " failed,err=36"));
    EXPECT_EQ(ZRU_ResetPipe(pipes, std::string(259, 'a'), 2, nullptr), 1);
    EXPECT_EQ(events, (Events{"open2", "reset 2", "close"}));
}

TEST_F(TransportTest, DeviceFailureStatusIsNotRetried) {
    pipes.reads = {ScriptedPipes::Bytes(std::vector<uint8_t>(512, 0)), ScriptedPipes::Status(1)};
    uint8_t sector[512];
    EXPECT_EQ(comm.ZRU_ReadLBA(kPath, 0, 1, sector, 0), ZR_ERR_DEVICE);
    EXPECT_TRUE(clock.Sleeps().empty());
    EXPECT_EQ(pipes.writes.size(), 1u);
}

TEST_F(TransportTest, ShortSectorReadFailsBothAttemptsWithTheReadWaitBeforeTheSecond) {
    pipes.reads = {ScriptedPipes::Bytes(std::vector<uint8_t>(512, 0xAB)),
                   ScriptedPipes::Bytes(std::vector<uint8_t>(512, 0xAB))};
    std::vector<uint8_t> buf(1024);
    EXPECT_EQ(comm.ZRU_ReadLBA(kPath, 64, 2, buf.data(), 0), ZR_ERR_READ);
    const Events attempt = {"open1", "write 31", "close", "open0", "read 1024", "close"};
    EXPECT_EQ(
        events,
        Concat({attempt,
                {"sleep 2000", "open2", "reset 2", "close"},
                {"open1", "write 31", "close", "open0", "sleep 1000", "read 1024", "close"}}));
    EXPECT_TRUE(Logged("Error:ZRU_Read-->ReadFile failed,bRet=1,err=0,size=1024,read=512"));
    const std::vector<std::string> lines = log.Lines();
    const auto first = std::find(lines.begin(), lines.end(), "Error:ZRU_ReadLBA-->ZRU_Read failed");
    ASSERT_NE(first, lines.end());
    ASSERT_NE(first + 1, lines.end());
    EXPECT_EQ(*(first + 1), "Error:ZRU_ReadLBA-->ZRU_Close return");
}

TEST_F(TransportTest, FailedCommandBlockWriteIsRetried) {
    pipes.writeResults = {-1};
    pipes.reads = {ScriptedPipes::Status(0)};
    EXPECT_EQ(comm.ZRU_Command19(kPath), 0);
    EXPECT_TRUE(Logged("Error:ZRU_Write-->WriteFile failed,bRet=0,err=5,size=31,write=0"));
    EXPECT_EQ(clock.Sleeps(), std::vector<uint32_t>{2000});
}

TEST_F(TransportTest, PartialDataWriteCountsAsWriteFailure) {
    pipes.writeResults = {31, 100, 31, 100};
    std::vector<uint8_t> data(512, 1);
    EXPECT_EQ(comm.ZRU_WriteLBA(kPath, 0, 1, data.data(), 0), ZR_ERR_WRITE);
    EXPECT_TRUE(Logged("Error:ZRU_Write-->WriteFile failed,bRet=1,err=0,size=512,write=100"));
}

TEST_F(TransportTest, ResetRetriesOnlyTheCommandBlockWrite) {
    pipes.writeResults = {-1, 31};
    pipes.reads = {ScriptedPipes::Status(0)};
    EXPECT_EQ(comm.ZRU_ResetDevice(kPath, 1), 0);
    EXPECT_EQ(events, (Events{"open1", "write 31", "close", "sleep 2000", "open2", "reset 2",
                              "close", "open1", "write 31", "close", "open0", "read 13", "close"}));
}

TEST_F(TransportTest, ResetWithBothWritesFailingIsAWriteFailure) {
    pipes.writeResults = {-1, -1};
    EXPECT_EQ(comm.ZRU_ResetDevice(kPath, 0), ZR_ERR_WRITE);
    pipes.writeResults = {-1};
    pipes.resetResult = false;
    EXPECT_EQ(comm.ZRU_Command2A(kPath, 1), ZR_ERR_WRITE);
}

TEST_F(TransportTest, ResetStatusProblemsAreNotRetried) {
    pipes.reads = {ScriptedPipes::WrongTag()};
    EXPECT_EQ(comm.ZRU_ResetDevice(kPath, 1), ZR_ERR_STATUS_BLOCK);
    pipes.reads = {ScriptedPipes::Fail()};
    EXPECT_EQ(comm.ZRU_ResetDevice(kPath, 1), ZR_ERR_READ);
    pipes.openResults = {true, false};
    EXPECT_EQ(comm.ZRU_ResetDevice(kPath, 1), ZR_ERR_OPEN_IN);
    EXPECT_TRUE(clock.Sleeps().empty());
}

TEST_F(TransportTest, OpenRejectsUnknownModesSilentlyAndOverlongPathsWithALogLine) {
    EXPECT_EQ(comm.ZRU_Open(kPath, 3), CZRComm::kInvalidHandle);
    EXPECT_EQ(comm.ZRU_Open(kPath, -1), CZRComm::kInvalidHandle);
    EXPECT_EQ(comm.ZRU_Open("", 0), CZRComm::kInvalidHandle);
    EXPECT_TRUE(events.empty());
    EXPECT_TRUE(log.Lines().empty());

    // 252 units + 7 + terminator = 260 fits; one more does not.
    EXPECT_NE(comm.ZRU_Open(std::string(252, 'a'), 0), CZRComm::kInvalidHandle);
    EXPECT_EQ(comm.ZRU_Open(std::string(253, 'a'), 1), CZRComm::kInvalidHandle);
    EXPECT_EQ(events.size(), 1u);
    EXPECT_EQ(log.Lines().size(), 1u);
    // The device itself needs no suffix; a two-byte UTF-8 character is one unit.
    EXPECT_NE(comm.ZRU_Open(std::string(259, 'a'), 2), CZRComm::kInvalidHandle);
    std::string wide;
    for (int i = 0; i < 252; ++i) {
        wide += "\xC3\xA9";
    }
    EXPECT_NE(comm.ZRU_Open(wide, 1), CZRComm::kInvalidHandle);
    EXPECT_EQ(comm.ZRU_Open(std::string("a\0b", 3), 1), CZRComm::kInvalidHandle);
}

TEST_F(TransportTest, CommandsWithoutALogSinkStaySilent) {
    CZRUsbComm quiet(nullptr, 0, pipes, clock);
    pipes.openResults = {false};
    EXPECT_EQ(quiet.ZRU_Command16(kPath), ZR_ERR_OPEN_OUT);
    EXPECT_TRUE(log.Lines().empty());
}

TEST_F(TransportTest, ArgumentLimitsSendNothing) {
    std::vector<uint8_t> buf(21 * 528);
    EXPECT_EQ(comm.ZRU_Command04(kPath, 0, 21, buf.data()), ZR_ERR_ARGUMENT);
    EXPECT_EQ(comm.ZRU_Command05(kPath, 0, 21, buf.data()), ZR_ERR_ARGUMENT);
    EXPECT_EQ(comm.ZRU_BlockCommand(kPath, 0, 0, 17, 0x06), ZR_ERR_ARGUMENT);
    EXPECT_EQ(comm.ZRU_Command03(kPath, 4, 0, 1, buf.data()), ZR_ERR_ARGUMENT);
    EXPECT_EQ(comm.ZRU_Command03(kPath, 0, 0, 513, buf.data()), ZR_ERR_ARGUMENT);
    EXPECT_EQ(comm.ZRU_ReadLBA(kPath, 0, 1, nullptr, 0), ZR_ERR_ARGUMENT);
    EXPECT_TRUE(events.empty());
    // The limits themselves are allowed.
    pipes.reads = {ScriptedPipes::Status(0)};
    EXPECT_EQ(comm.ZRU_BlockCommand(kPath, 0, 0, 16, 0x06), 0);
}

TEST_F(TransportTest, CapabilityAnsweredWithThirteenBytesIsRejectedWithoutFurtherReads) {
    pipes.reads = {ScriptedPipes::Bytes(std::vector<uint8_t>(13, 0x10))};
    uint8_t caps[8] = {};
    EXPECT_EQ(comm.ZRU_ReadCapability(kPath, caps), ZR_ERR_DEVICE);
    EXPECT_EQ(events, (Events{"open1", "write 31", "close", "open0", "read 13", "close"}));
    EXPECT_EQ(caps[0], 0);
}

TEST_F(TransportTest, CapabilityIsSingleShotAndIgnoresTheStatusByte) {
    pipes.reads = {ScriptedPipes::Bytes({0x10, 1, 2, 3, 4, 5, 6, 7}), ScriptedPipes::Status(1)};
    uint8_t caps[8] = {};
    EXPECT_EQ(comm.ZRU_ReadCapability(kPath, caps), 0);
    EXPECT_EQ(caps[0], 0x10);
    EXPECT_EQ(caps[7], 7);

    pipes.reads = {ScriptedPipes::Bytes(std::vector<uint8_t>(8, 0)), ScriptedPipes::WrongTag()};
    EXPECT_EQ(comm.ZRU_ReadCapability(kPath, caps), ZR_ERR_STATUS_BLOCK);
    EXPECT_TRUE(clock.Sleeps().empty());
}

TEST_F(TransportTest, Command2BNeedsExactlyFourBytesAndMapsStatusToReadyFailure) {
    pipes.reads = {ScriptedPipes::Bytes({1, 2, 3, 4}), ScriptedPipes::Status(1)};
    uint8_t buf[4];
    EXPECT_EQ(comm.ZRU_Command2B(kPath, buf), ZR_ERR_DEVICE_READY);
    pipes.reads = {ScriptedPipes::Bytes({1, 2, 3})};
    EXPECT_EQ(comm.ZRU_Command2B(kPath, buf), ZR_ERR_READ);
    EXPECT_TRUE(clock.Sleeps().empty());
}

TEST_F(TransportTest, FlashInfoAcceptsElevenToFiveHundredTwelveBytes) {
    std::vector<uint8_t> buf(512);
    uint32_t length = 0;
    pipes.reads = {ScriptedPipes::Bytes(std::vector<uint8_t>(10, 1)),
                   ScriptedPipes::Bytes(std::vector<uint8_t>(10, 1))};
    EXPECT_EQ(comm.ZRU_ReadFlashInfo(kPath, buf.data(), &length), ZR_ERR_READ);
    EXPECT_EQ(length, 0u);

    pipes.reads = {ScriptedPipes::Bytes(std::vector<uint8_t>(512, 2)), ScriptedPipes::Status(1)};
    EXPECT_EQ(comm.ZRU_ReadFlashInfo(kPath, buf.data(), &length), 0);
    EXPECT_EQ(length, 512u);

    pipes.reads = {ScriptedPipes::Bytes(std::vector<uint8_t>(11, 3)), ScriptedPipes::Status(0)};
    EXPECT_EQ(comm.ZRU_ReadFlashInfo(kPath, buf.data(), nullptr), 0);
    EXPECT_EQ(buf[10], 3);
    // The read is asked for 512 bytes while the block announces 11.
    EXPECT_EQ(zr::GetLe32(pipes.LastCommandBlock().data() + 8), 11u);
    EXPECT_NE(std::find(events.begin(), events.end(), "read 512"), events.end());
}

TEST_F(TransportTest, FlashInfoReadCallFailureIsLogged) {
    pipes.reads = {ScriptedPipes::Fail(), ScriptedPipes::Fail()};
    std::vector<uint8_t> buf(512);
    EXPECT_EQ(comm.ZRU_ReadFlashInfo(kPath, buf.data(), nullptr), ZR_ERR_READ);
    EXPECT_TRUE(Logged("Error:ZRU_ReadFlashInfo-->ReadFile failed,bRet=0,err=32,size=512,read=0"));
}

TEST_F(TransportTest, Command04RecognisesAFailureStatusInPlaceOfData) {
    pipes.reads = {ScriptedPipes::Status(1)};
    std::vector<uint8_t> buf(528, 0xEE);
    EXPECT_EQ(comm.ZRU_Command04(kPath, 5, 1, buf.data()), ZR_ERR_DEVICE);
    EXPECT_TRUE(clock.Sleeps().empty());

    // A status block with status 0 there is just a short read.
    pipes.reads = {ScriptedPipes::Status(0), ScriptedPipes::Status(0)};
    EXPECT_EQ(comm.ZRU_Command04(kPath, 5, 1, buf.data()), ZR_ERR_READ);
    EXPECT_EQ(clock.Sleeps(), std::vector<uint32_t>{2000});
}

TEST_F(TransportTest, Command24ModeTwoReportsTheStateThroughTheBuffer) {
    uint8_t buf[8];
    std::memset(buf, 0xCC, sizeof(buf));
    pipes.reads = {ScriptedPipes::Status(1)};
    EXPECT_EQ(comm.ZRU_Command24(kPath, 0x1234, 300, buf, 2), 0);
    uint32_t state = 0;
    std::memcpy(&state, buf, 4);
    EXPECT_EQ(state, 1u);
    const std::vector<uint8_t> cbw = pipes.LastCommandBlock();
    EXPECT_EQ(zr::GetLe32(cbw.data() + 8), 300u);
    EXPECT_EQ(cbw[15 + 1], 2);
    EXPECT_EQ(zr::GetBe32(cbw.data() + 15 + 2), 0u);
    EXPECT_EQ(zr::GetBe16(cbw.data() + 15 + 7), 0);
    EXPECT_EQ(std::count(events.begin(), events.end(), "read 13"), 1);
    EXPECT_EQ(events.size(), 6u);  // no data phase

    pipes.reads = {ScriptedPipes::Status(0)};
    EXPECT_EQ(comm.ZRU_Command24(kPath, 0, 300, buf, 2), 0);
    std::memcpy(&state, buf, 4);
    EXPECT_EQ(state, 0u);
    pipes.reads = {ScriptedPipes::Status(2)};
    EXPECT_EQ(comm.ZRU_Command24(kPath, 0, 300, buf, 2), ZR_ERR_DEVICE);
}

TEST_F(TransportTest, TestDeviceReadyReturnsTheResidue) {
    Reply ready = ScriptedPipes::Status(0);
    const uint8_t residue[4] = {0x00, 0x10, 0x00, 0x02};
    std::memcpy(ready.residue, residue, 4);
    uint32_t first = 0;
    uint32_t second = 0;
    pipes.reads = {ready};
    EXPECT_EQ(comm.ZRU_TestDeviceReady(kPath, &first, &second, 0), 0);
    EXPECT_EQ(first, 0x0010u);
    EXPECT_EQ(second, 0x0002u);

    pipes.reads = {ready};
    EXPECT_EQ(comm.ZRU_TestDeviceReady(kPath, &first, nullptr, 0), 0);
    EXPECT_EQ(first, 0x00100002u);

    second = 77;
    pipes.reads = {ready};
    EXPECT_EQ(comm.ZRU_TestDeviceReady(kPath, nullptr, &second, 0), 0);
    EXPECT_EQ(second, 77u);

    Reply notReady = ready;
    notReady.status = 1;
    first = 5;
    pipes.reads = {notReady};
    EXPECT_EQ(comm.ZRU_TestDeviceReady(kPath, &first, &second, 0), ZR_ERR_DEVICE_READY);
    EXPECT_EQ(first, 5u);
}

TEST_F(TransportTest, StatusValuesWithoutAMeaningAreFailuresNotSuccess) {
    std::vector<uint8_t> buf(512);
    pipes.reads = {ScriptedPipes::Bytes(std::vector<uint8_t>(512, 0)), ScriptedPipes::Status(2)};
    EXPECT_EQ(comm.ZRU_ReadLBA(kPath, 0, 1, buf.data(), 0), ZR_ERR_DEVICE);
    pipes.reads = {ScriptedPipes::Status(2)};
    EXPECT_EQ(comm.ZRU_WriteLBA(kPath, 0, 1, buf.data(), 0), ZR_ERR_DEVICE_WRITE2);
    pipes.reads = {ScriptedPipes::Status(3)};
    EXPECT_EQ(comm.ZRU_BlockCommand(kPath, 0, 0, 0, 0x06), ZR_ERR_DEVICE_BLOCK);
    // Commands that ignore the status byte still do.
    pipes.reads = {ScriptedPipes::Status(9)};
    EXPECT_EQ(comm.ZRU_Command16(kPath), 0);
}

TEST_F(TransportTest, SectorWriteChecksumGoesIntoTheCommandBlock) {
    CZRUsbComm summing(nullptr, 1, pipes, clock);
    std::vector<uint8_t> data(1024);
    uint32_t expected = 0;
    for (size_t i = 0; i < data.size(); i += 4) {
        const uint32_t word = static_cast<uint32_t>(i * 2654435761u);
        zr::PutLe32(data.data() + i, word);
        expected += word;
    }
    pipes.reads = {ScriptedPipes::Status(0)};
    EXPECT_EQ(summing.ZRU_WriteLBA(kPath, 0x100, 2, data.data(), 0), 0);
    std::vector<uint8_t> cbw = pipes.LastCommandBlock();
    EXPECT_EQ(cbw[14], 13);
    EXPECT_EQ(zr::GetLe32(cbw.data() + 15 + 9), expected);
    EXPECT_EQ(pipes.writes.back(), data);

    pipes.reads = {ScriptedPipes::Status(0)};
    EXPECT_EQ(comm.ZRU_WriteLBA(kPath, 0x100, 2, data.data(), 0), 0);
    cbw = pipes.LastCommandBlock();
    EXPECT_EQ(cbw[14], 10);
    EXPECT_EQ(zr::GetLe32(cbw.data() + 15 + 9), 0u);
}

}  // namespace

// ---- a loader that programs flash before it answers a long write ----

// After a 32 MiB data phase the status block may take longer than one pipe time-out: the read is
// asked again while 1 s per MiB has not passed, so a good write is not turned into a failed one
// (and the board is not made to take the write a second time).
TEST_F(TransportTest, AStatusSlowAfterALongWriteIsWaitedForLongerThanOneTimeOut) {
    pipes.clock = &clock;
    const uint16_t sectors = 0xFFFF;
    std::vector<uint8_t> data(size_t{sectors} * 512, 0x5A);
    pipes.reads = {ScriptedPipes::Timeout(), ScriptedPipes::Timeout(), ScriptedPipes::Timeout(),
                   ScriptedPipes::Status(0)};
    EXPECT_EQ(comm.ZRU_WriteLBA(kPath, 0x100, sectors, data.data(), 0), 0);
    const Events expected = {"open1",   "write 31", "write " + std::to_string(data.size()),
                             "close",   "open0",    "read 13",
                             "read 13", "read 13",  "read 13",
                             "close"};
    EXPECT_EQ(events, expected);  // one attempt: no pipe reset, no second write
}

// The grace grows with the phase: after a one-sector write one time-out fails the status read
// (and the command layer's own second attempt follows), as before.
TEST_F(TransportTest, AStatusTimeOutAfterAShortWriteIsNotWaitedForAgain) {
    pipes.clock = &clock;
    std::vector<uint8_t> data(512, 0x5A);
    pipes.reads = {ScriptedPipes::Timeout(), ScriptedPipes::Timeout()};
    EXPECT_NE(comm.ZRU_WriteLBA(kPath, 0x100, 1, data.data(), 0), 0);
    size_t statusReads = 0;
    for (const std::string& e : events) {
        statusReads += e == "read 13" ? 1 : 0;
    }
    EXPECT_EQ(statusReads, 2u);  // one per attempt
    EXPECT_EQ(CZRUsbComm::StatusGraceMs(512), 0u);
    EXPECT_EQ(CZRUsbComm::StatusGraceMs(32u << 20), 32000u);
}
