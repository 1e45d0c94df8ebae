// The maker's driver's pipe files beside WinUSB, over recorded Win32 calls: the files, access and
// share modes and the reset request exactly as the driver wants them, the 260-unit name bound, the
// one pipe contract, and the choice of driver per device from its device node's service name,
// with the loader commands of the transport running over both drivers against emulated boards.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

#include "device/ZRUsbComm.h"
#include "platform/sim/DemoImage.h"
#include "platform/windows/DriverPipeFiles.h"
#include "platform/windows/PipesByDriver.h"
#include "support/WideText.h"
#include "tests/contract/PipeContract.h"
#include "tests/device_comm/TestDoubles.h"
#include "tests/windows/FakeWinUsbCalls.h"
#include "tests/windows/FakeWinUsbRig.h"

namespace {

const std::string kGuid = "#{a5dcbf10-6530-11d2-901f-00c04fb951ed}";
const std::string kPathA = "\\\\?\\USB#VID_F00D&PID_1001#SERIAL-A" + kGuid;
const std::string kPathB = "\\\\?\\USB#VID_F00D&PID_2005#SERIAL#B" + kGuid;
const std::string kPathC = "\\\\?\\USB#VID_F00D&PID_1002#SERIAL-C" + kGuid;
const std::string kResetRequest = "request " + std::to_string(0x8000A008u) + " 1 2 out 0";

// Device nodes for A (WinUSB bound), B (the maker's driver; '#' in its serial) and C (no driver).
void Nodes(CFakeWinUsbCalls& f) {
    f.nodes[1] = {L"HTREE\\ROOT\\0", L"", L"", {2, 3, 4}};
    f.nodes[2] = {L"USB\\VID_F00D&PID_1001\\SERIAL-A", L"", L"", {}};
    f.nodes[3] = {L"USB\\VID_F00D&PID_2005\\SERIAL#B", L"", L"", {}};
    f.nodes[4] = {L"USB\\VID_F00D&PID_1002\\SERIAL-C", L"", L"", {}};
    f.services[2] = L"WinUSB";
    f.services[3] = L"loaderusb";
}

int Count(const std::vector<std::string>& calls, const std::string& prefix) {
    return static_cast<int>(std::count_if(
        calls.begin(), calls.end(), [&](const std::string& c) { return c.rfind(prefix, 0) == 0; }));
}

TEST(MakersDriverPipes, OpenTheDriversFilesInTheirModesAndResetThroughTheDevicePath) {
    CFakeWinUsbCalls fake;
    CDriverPipeFiles pipes(fake);
    int err = 0;
    const int out = pipes.Open(kPathA, IBulkPipes::kPipeOut, &err);
    ASSERT_NE(out, IBulkPipes::kInvalidHandle);
    std::vector<uint8_t> block(31, 0x55);
    EXPECT_EQ(pipes.Write(out, block.data(), block.size(), &err), 31);
    std::vector<uint8_t> big(65535u * 512u, 0x5A);  // the largest sector transfer, in one call
    EXPECT_EQ(pipes.Write(out, big.data(), big.size(), &err), static_cast<long>(big.size()));
    // A reset on a pipe handle opens the device path for the request and closes it again.
    EXPECT_TRUE(pipes.ResetPipe(out, 2, &err));
    pipes.Close(out);

    const int in = pipes.Open(kPathA, IBulkPipes::kPipeIn, &err);
    ASSERT_NE(in, IBulkPipes::kInvalidHandle);
    fake.reads = {std::vector<uint8_t>(13, 0x11), std::vector<uint8_t>(5, 0x22), {}};
    uint8_t status[13];
    EXPECT_EQ(pipes.Read(in, status, sizeof status, &err), 13);
    EXPECT_EQ(pipes.Read(in, status, sizeof status, &err), 5);  // short: the count as it came
    EXPECT_EQ(pipes.Read(in, status, sizeof status, &err), -1);
    EXPECT_EQ(err, ETIMEDOUT);
    pipes.Close(in);

    // The device path itself: read and write, shared both ways; the reset goes through it.
    const int device = pipes.Open(kPathA, IBulkPipes::kPipeDevice, &err);
    ASSERT_NE(device, IBulkPipes::kInvalidHandle);
    EXPECT_TRUE(pipes.ResetPipe(device, 2, &err));
    EXPECT_FALSE(pipes.ResetPipe(device, 3, &err));  // refused before the driver sees it
    EXPECT_EQ(err, EINVAL);
    pipes.Close(device);

    const std::vector<std::string> expected = {"file " + kPathA + "\\PIPE01 write share write",
                                               "writefile 31 within 5000",
                                               "writefile 33553920 within 36999",
                                               "file " + kPathA + " read+write share read+write",
                                               kResetRequest,
                                               "close-file",
                                               "close-file",
                                               "file " + kPathA + "\\PIPE00 read share read",
                                               "readfile 13 within 5000",
                                               "readfile 13 within 5000",
                                               "readfile 13 within 5000",
                                               "close-file",
                                               "file " + kPathA + " read+write share read+write",
                                               kResetRequest,
                                               "close-file"};
    EXPECT_EQ(fake.calls, expected);
    EXPECT_EQ(fake.written.size(), 2u);
    EXPECT_EQ(fake.written[1].size(), big.size());
}

TEST(MakersDriverPipes, ANameOverTheDriversBoundIsRefusedBeforeTheSystemIsAsked) {
    CFakeWinUsbCalls fake;
    CDriverPipeFiles pipes(fake);
    // "\\?\" + 245 units + the interface class: 252 units; + "\PIPE00" + terminator = 260.
    const std::string stem = "\\\\?\\USB#VID_F00D&PID_1001#";
    const std::string fits = stem + std::string(252 - stem.size() - kGuid.size(), 'S') + kGuid;
    ASSERT_EQ(fits.size(), 252u);
    int err = 0;
    const int in = pipes.Open(fits, IBulkPipes::kPipeIn, &err);
    EXPECT_NE(in, IBulkPipes::kInvalidHandle);
    pipes.Close(in);
    const std::string over = stem + "S" + fits.substr(stem.size());
    EXPECT_EQ(pipes.Open(over, IBulkPipes::kPipeIn, &err), IBulkPipes::kInvalidHandle);
    EXPECT_EQ(err, ENAMETOOLONG);
    EXPECT_EQ(pipes.Open(over, IBulkPipes::kPipeOut, &err), IBulkPipes::kInvalidHandle);
    EXPECT_EQ(err, ENAMETOOLONG);
    // The device path alone has room for 259 units; Chinese text counts in UTF-16 units.
    std::string device = stem;
    while (device.size() < 259 - kGuid.size()) {
        device += 'D';
    }
    EXPECT_NE(pipes.Open(device + kGuid, IBulkPipes::kPipeDevice, &err),
              IBulkPipes::kInvalidHandle);
    EXPECT_EQ(pipes.Open(device + "D" + kGuid, IBulkPipes::kPipeDevice, &err),
              IBulkPipes::kInvalidHandle);
    EXPECT_EQ(err, ENAMETOOLONG);
    EXPECT_EQ(pipes.Open(kPathA, 3, &err), IBulkPipes::kInvalidHandle);
    EXPECT_EQ(err, EINVAL);
    EXPECT_EQ(Count(fake.calls, "file "), 2);  // the two that fit
}

// The one contract over the maker's pipe files, and over the per-device choice with either driver
// bound: the transport sees the same codes as from usbfs, WinUSB and the emulator.
class DriverRig final : public FakeWinUsbRig {
  public:
    enum class Through { kPipeFiles, kChoiceWinUsb, kChoicePipeFiles };
    explicit DriverRig(Through through) : through_(through) {
        Nodes(fake_);
        if (through == Through::kPipeFiles) {
            pipes_ = std::make_unique<CDriverPipeFiles>(fake_);
        } else {
            pipes_ = std::make_unique<CPipesByDriver>(fake_);
        }
    }
    IBulkPipes& Pipes() override { return *pipes_; }
    std::string Path() override { return through_ == Through::kChoiceWinUsb ? kPathA : kPathB; }

  private:
    Through through_;
    std::unique_ptr<IBulkPipes> pipes_;
};

TEST(MakersDriverPipes, KeepTheContractOfEveryPipesImplementationAlsoWhenChosenPerDevice) {
    for (DriverRig::Through through :
         {DriverRig::Through::kPipeFiles, DriverRig::Through::kChoiceWinUsb,
          DriverRig::Through::kChoicePipeFiles}) {
        SCOPED_TRACE(static_cast<int>(through));
        const int ran = pipecontract::RunAll([&] { return std::make_unique<DriverRig>(through); });
        EXPECT_EQ(ran, static_cast<int>(pipecontract::Cases().size()));
    }
    // The rig through the choice for B spoke only through the driver's files.
    DriverRig rig(DriverRig::Through::kChoicePipeFiles);
    pipecontract::Run(rig, pipecontract::Cases().front());
    EXPECT_EQ(Count(rig.Fake().calls, "winusb"), 0);
    EXPECT_GT(Count(rig.Fake().calls, "file " + kPathB), 0);
}

TEST(DriverChoice, InstanceIdsAreTakenFromInterfacePathsWithinTheirThreeParts) {
    EXPECT_EQ(CPipesByDriver::InstanceIdOf(L"\\\\?\\USB#VID_F00D&PID_1001#SERIAL-A#{a5dcbf10-"
                                           L"6530-11d2-901f-00c04fb951ed}"),
              L"USB\\VID_F00D&PID_1001\\SERIAL-A");
    EXPECT_EQ(CPipesByDriver::InstanceIdOf(L"\\\\?\\USB#VID_F00D&PID_1001#5&1A#2&0&3#{guid}"),
              L"USB\\VID_F00D&PID_1001\\5&1A#2&0&3");
    EXPECT_EQ(CPipesByDriver::InstanceIdOf(L"\\\\?\\USB#VID_F00D#{guid}"), L"");
    EXPECT_EQ(CPipesByDriver::InstanceIdOf(L""), L"");
}

// Two boards on one station, one bound to WinUSB and one to the maker's driver, and a third with
// no driver: each board's commands go through its own driver and no other (no trial transfer),
// the log says once per board which, a driver installed later is followed, and the resets of the
// transport's retry reach the maker's driver as its request on the device path.
TEST(DriverChoice, EachBoardIsSpokenToThroughTheDriverBoundToItsDeviceNode) {
    CFakeWinUsbCalls fake;
    Nodes(fake);
    FakeClock clock;
    std::unique_ptr<LoaderEmulator> boardA = MakeDemoLoader(1, DemoLayout::kGpt, clock);
    std::unique_ptr<LoaderEmulator> boardB = MakeDemoLoader(2, DemoLayout::kGpt, clock);
    fake.boards[ks::WideFromUtf8(kPathA)] = boardA.get();
    fake.boards[ks::WideFromUtf8(kPathB)] = boardB.get();
    CPipesByDriver pipes(fake);
    CapturingLogger log;
    pipes.SetLog(&log);
    CZRUsbComm comm(nullptr, 0, pipes, clock);

    std::vector<uint8_t> data(128 * 512);
    for (size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<uint8_t>(i * 7 + 3);
    }
    for (const std::string& path : {kPathA, kPathB}) {
        SCOPED_TRACE(path);
        ASSERT_EQ(comm.ZRU_TestDeviceReady(path, nullptr, nullptr, 0), 0);
        ASSERT_EQ(comm.ZRU_WriteLBA(path, 4096, 128, data.data(), 0), 0);
        std::vector<uint8_t> back(data.size());
        ASSERT_EQ(comm.ZRU_ReadLBA(path, 4096, 128, back.data(), 0), 0);
        EXPECT_EQ(back, data);
    }
    // A: WinUSB only. B: its pipe files only, every transfer one call of the whole buffer.
    EXPECT_GT(Count(fake.calls, "winusb " + kPathA), 0);
    EXPECT_EQ(Count(fake.calls, "file " + kPathA), 0);
    EXPECT_EQ(Count(fake.calls, "winusb " + kPathB), 0);
    EXPECT_EQ(Count(fake.calls, "file " + kPathB + "\\PIPE01 write share write"), 3);
    EXPECT_EQ(Count(fake.calls, "file " + kPathB + "\\PIPE00 read share read"), 3);
    EXPECT_EQ(Count(fake.calls, "writefile 65536 within"), 1);
    EXPECT_EQ(Count(fake.calls, "readfile 65536 within"), 1);
    EXPECT_EQ(Count(fake.calls, "locate USB\\VID_F00D&PID_2005\\SERIAL#B"), 6);

    // C has no driver: nothing is opened, the command fails at its OUT pipe, the log says why.
    const size_t before = fake.calls.size();
    EXPECT_EQ(comm.ZRU_TestDeviceReady(kPathC, nullptr, nullptr, 0), ZR_ERR_OPEN_OUT);
    EXPECT_EQ(Count({fake.calls.begin() + static_cast<long>(before), fake.calls.end()}, "file "),
              0);
    EXPECT_EQ(Count({fake.calls.begin() + static_cast<long>(before), fake.calls.end()}, "winusb"),
              0);

    // A status block with another tag: the transport waits, resets the pipes and sends again. On
    // the maker's driver the reset is its request, selector 2, on the device path opened for
    // reading and writing.
    LoaderFaults faults = boardB->Faults();
    faults.wrongTagCount = 1;
    boardB->SetFaults(faults);
    fake.calls.clear();
    ASSERT_EQ(comm.ZRU_TestDeviceReady(kPathB, nullptr, nullptr, 0), 0);
    const auto reset = std::find(fake.calls.begin(), fake.calls.end(), kResetRequest);
    ASSERT_NE(reset, fake.calls.end());
    EXPECT_EQ(*(reset - 1), "file " + kPathB + " read+write share read+write");

    // The WinUSB driver installed on B later: its next command goes through WinUSB.
    fake.services[3] = L"WINUSB";
    fake.calls.clear();
    ASSERT_EQ(comm.ZRU_TestDeviceReady(kPathB, nullptr, nullptr, 0), 0);
    EXPECT_EQ(Count(fake.calls, "file "), 0);
    EXPECT_GT(Count(fake.calls, "winusb " + kPathB), 0);

    const std::vector<std::string> said = {
        "INFO:SelectDriver-->" + kPathA + ": driver WinUSB, WinUSB pipes",
        "INFO:SelectDriver-->" + kPathB + ": driver loaderusb, pipe files PIPE00/PIPE01",
        "ERROR:SelectDriver-->no driver bound to " + kPathC,
        "INFO:SelectDriver-->" + kPathB + ": driver WINUSB, WinUSB pipes"};
    std::vector<std::string> lines;
    for (const std::string& line : log.Lines()) {
        if (line.find("SelectDriver") != std::string::npos) {
            lines.push_back(line);
        }
    }
    EXPECT_EQ(lines, said);
}

}  // namespace
