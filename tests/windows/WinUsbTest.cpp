// The Windows USB side against a scripted stand-in for the Win32 calls (Wine has no USB stack):
// the walk finds the same boards at the same locations as on Linux, with Windows device paths;
// the WinUSB pipes carry transfers with their time-outs and resets. The notices window runs for
// real under Wine.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <memory>

#include "device/ZRDeviceDesc.h"
#include "device/ZRScan.h"
#include "platform/windows/WinDeviceNotices.h"
#include "platform/windows/WinUsbPipes.h"
#include "platform/windows/WinUsbTree.h"
#include "tests/contract/PipeContract.h"
#include "tests/discovery/DiscoveryTestSupport.h"
#include "tests/windows/FakeWinUsbCalls.h"
#include "tests/windows/FakeWinUsbRig.h"

namespace {

using Port = CFakeWinUsbCalls::Port;

constexpr wchar_t kUsbClass[] = L"{88bae032-5a81-49f0-bc3d-a4ff138216d6}";
const std::wstring kRootHub30 = L"USB#ROOT_HUB30#4&1a2b&0&0#{f18a0e88-c30c-11d0-8815-00a0c906bed8}";
const std::wstring kRootHub2 = L"USB#ROOT_HUB#4&3c4d&0#{f18a0e88-c30c-11d0-8815-00a0c906bed8}";
const std::wstring kExternalHub =
    L"USB#VID_05E3&PID_0610#6&5e6f&0&1#{f18a0e88-c30c-11d0-8815-00a0c906bed8}";

Port Board(uint16_t vendor, uint16_t product, uint16_t bcd, std::wstring key) {
    Port p;
    p.vendor = vendor;
    p.product = product;
    p.bcdUsb = bcd;
    p.driverKey = std::wstring(kUsbClass) + L"\\" + key;
    return p;
}

// Controller 1 (a USB 3 root hub, walked) with an external hub at port 1 and a board at port 3;
// an interface whose detail cannot be read; controller 3 with a plain root hub (not walked
// unless scan-all). Board A at 1-3, board B at 1-1-2, a foreign device at 1-1-3, an
// unconfigured device at 1-4.
void Script(CFakeWinUsbCalls& f) {
    f.controllers = {
        L"\\\\?\\pci#ven_8086&dev_a36d#3&11583659&0&a0#{3abf6f2d-71c4-462a-8a92-"
        L"1e6861e6af27}",
        L"",
        L"\\\\?\\pci#ven_8086&dev_a36e#3&11583659&0&a8#{3abf6f2d-71c4-462a-8a92-"
        L"1e6861e6af27}"};
    f.rootHubs[f.controllers[0]] = kRootHub30;
    f.rootHubs[f.controllers[2]] = kRootHub2;
    Port hub;
    hub.isHub = true;
    hub.vendor = 0x05E3;
    hub.product = 0x0610;
    hub.driverKey = L"{36fc9e60-c465-11cf-8056-444553540000}\\0010";
    hub.hubName = kExternalHub;
    Port unconfigured = Board(0xF00D, 0x1002, 0x0201, L"0009");
    unconfigured.configuration = 0;
    f.hubs[kRootHub30] = {{1, hub}, {3, Board(0xF00D, 0x1001, 0x0201, L"0001")}, {4, unconfigured}};
    f.portCounts[kRootHub30] = 4;
    f.hubs[kExternalHub] = {{2, Board(0xF00D, 0x2005, 0x0203, L"0002")},
                            {3, Board(0x1234, 0x5678, 0x0201, L"0003")}};
    f.portCounts[kExternalHub] = 4;
    f.hubs[kRootHub2] = {{1, Board(0xF00D, 0x1001, 0x0201, L"0004")}};
    f.portCounts[kRootHub2] = 2;
    // The device tree; the driver key of board A is stored in another case.
    f.nodes[1] = {L"HTREE\\ROOT\\0", L"", L"", {10, 20}};
    f.nodes[10] = {L"PCI\\VEN_8086&DEV_A36D\\3&11583659&0&A0", L"{36fc}\\0001", L"", {11}};
    f.nodes[11] = {L"USB\\ROOT_HUB30\\4&1A2B&0&0", L"{36fc}\\0002", L"", {12, 13, 16}};
    f.nodes[12] = {L"USB\\VID_05E3&PID_0610\\6&5E6F&0&1",
                   L"{36fc9e60-c465-11cf-8056-444553540000}\\0010",
                   L"",
                   {14, 15}};
    f.nodes[13] = {L"USB\\VID_F00D&PID_1001\\SERIAL-A",
                   L"{88BAE032-5A81-49F0-BC3D-A4FF138216D6}\\0001",
                   L"USB\\COMPOSITE",
                   {}};
    f.nodes[14] = {L"USB\\VID_F00D&PID_2005\\SERIAL-B",
                   std::wstring(kUsbClass) + L"\\0002",
                   std::wstring(L"USB\\Class_FF&SubClass_06") + L'\0' + L"USB\\Class_FF" + L'\0',
                   {}};
    f.nodes[15] = {L"USB\\VID_1234&PID_5678\\X", std::wstring(kUsbClass) + L"\\0003", L"", {}};
    f.nodes[16] = {L"USB\\VID_F00D&PID_1002\\Z", std::wstring(kUsbClass) + L"\\0009", L"", {}};
    f.nodes[20] = {L"PCI\\VEN_8086&DEV_A36E\\3&11583659&0&A8", L"", L"", {21}};
    f.nodes[21] = {
        L"USB\\VID_F00D&PID_1001\\SERIAL-C", std::wstring(kUsbClass) + L"\\0004", L"", {}};
}

int Count(const std::vector<std::string>& calls, const std::string& prefix) {
    return static_cast<int>(std::count_if(
        calls.begin(), calls.end(), [&](const std::string& c) { return c.rfind(prefix, 0) == 0; }));
}

TEST(WindowsUsbWalk, LoaderBoardsAreFoundAtTheirPortsWithWindowsDevicePaths) {
    CFakeWinUsbCalls fake;
    Script(fake);
    // The external hub answers its first two opens with "access denied": opened a third time.
    fake.failOpens[L"\\\\.\\" + kExternalHub] = 2;
    CWinUsbTree tree(fake);
    const DeviceTables tables = discovery_test::TestTables();
    discovery_test::VirtualClock clock;
    discovery_test::RecordingLog log;
    ZRScan scan(30, 30, 0, tree, tables, clock, &log);
    scan.LoadDeviceTables();

    ASSERT_EQ(scan.Search(DEVICE_KIND_LOADER), 2);
    ZRDeviceDesc first{};
    ZRDeviceDesc second{};
    ASSERT_EQ(scan.GetDevice(0, &first), 1);
    ASSERT_EQ(scan.GetDevice(1, &second), 1);
    EXPECT_EQ(scan.GetDevice(2, &second), 0);
    ASSERT_EQ(scan.GetDevice(1, &second), 1);

    // Walk order: the external hub at port 1 is walked where it is met.
    EXPECT_EQ(first.location, "1-1-2");
    EXPECT_EQ(first.vendorId, 0xF00D);
    EXPECT_EQ(first.productId, 0x2005);
    EXPECT_EQ(first.kind, static_cast<uint32_t>(DEVICE_KIND_LOADER));
    EXPECT_EQ(first.chipCode, 48);
    EXPECT_EQ(first.devnode, 14u);
    EXPECT_EQ(first.path,
              "\\\\?\\USB#VID_F00D&PID_2005#SERIAL-B#{a5dcbf10-6530-11d2-901f-00c04fb951ed}");
    EXPECT_EQ(first.controllerFlag, 1u);  // a root hub without "USB#ROOT_HUB#" in its name

    EXPECT_EQ(second.location, "1-3");
    EXPECT_EQ(second.devnode, 13u);  // found by its driver key in another case
    EXPECT_EQ(second.chipCode, 16);
    EXPECT_EQ(second.serialIndex, 3);
    EXPECT_EQ(second.path,
              "\\\\?\\USB#VID_F00D&PID_1001#SERIAL-A#{a5dcbf10-6530-11d2-901f-00c04fb951ed}");

    // The interface without detail is reported and skipped; controller 3 (a plain root hub) is
    // not walked without scan-all, so SERIAL-C stays unseen.
    EXPECT_TRUE(log.Has(
        "Error:EnumerateHostControllers-->SetupDiGetDeviceInterfaceDetail failed,err=0x7a"));
    EXPECT_EQ(Count(fake.calls, "ioctl " + std::to_string(IOCTL_USB_GET_NODE_INFORMATION) + " " +
                                    CFakeWinUsbCalls::Narrow(kRootHub2)),
              0);
    // Every handle that was opened was closed.
    EXPECT_EQ(fake.closed, Count(fake.calls, "open ") - 2);

    // A second search asks no controller for its root hub name again.
    const int rootNameAsks =
        Count(fake.calls, "ioctl " + std::to_string(IOCTL_USB_GET_ROOT_HUB_NAME));
    EXPECT_EQ(scan.Search(DEVICE_KIND_LOADER), 2);
    EXPECT_EQ(Count(fake.calls, "ioctl " + std::to_string(IOCTL_USB_GET_ROOT_HUB_NAME)),
              rootNameAsks);

    // With scan-all, controller 3's board appears with location prefix 3 (enumeration order).
    ZRScan all(30, 30, 1, tree, tables, clock, &log);
    all.LoadDeviceTables();
    ASSERT_EQ(all.Search(DEVICE_KIND_LOADER), 3);
    ZRDeviceDesc third{};
    ASSERT_EQ(all.GetDevice(2, &third), 1);
    EXPECT_EQ(third.location, "3-1");
    EXPECT_EQ(third.controllerFlag, 0u);
}

TEST(WindowsUsbWalk, CompatibleIdsAndNamesAreReadWithinTheirBounds) {
    CFakeWinUsbCalls fake;
    Script(fake);
    CWinUsbTree tree(fake);
    std::vector<std::string> ids;
    int err = 0;
    ASSERT_EQ(tree.GetCompatibleIds(14, &ids, &err), UsbTreeStatus::kOk);
    EXPECT_EQ(ids, (std::vector<std::string>{"USB\\Class_FF&SubClass_06", "USB\\Class_FF"}));
    EXPECT_EQ(tree.GetCompatibleIds(99, &ids, &err), UsbTreeStatus::kRequestFailed);
    EXPECT_EQ(err, static_cast<int>(CR_NO_SUCH_DEVNODE));
    std::string name;
    ASSERT_EQ(tree.GetPortHubName(CFakeWinUsbCalls::Narrow(kRootHub30), 1, &name, &err),
              UsbTreeStatus::kOk);
    EXPECT_EQ(name, CFakeWinUsbCalls::Narrow(kExternalHub));
    EXPECT_EQ(tree.GetPortDriverKey(CFakeWinUsbCalls::Narrow(kRootHub30), 2, &name, &err),
              UsbTreeStatus::kRequestFailed);  // nothing at port 2
    EXPECT_EQ(tree.GetHubPortCount("USB#NO_SUCH_HUB", nullptr, &err), UsbTreeStatus::kOpenFailed);
    EXPECT_EQ(err, static_cast<int>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(tree.FindDevnodeByDriverKey("{no-such-class}\\0001"), 0u);
    EXPECT_EQ(tree.DevicePath(99, DEVICE_KIND_LOADER), "");
}

TEST(WindowsUsbPipes, TransfersGetTheirTimeOutsAndATimeOutReadsAsETIMEDOUT) {
    CFakeWinUsbCalls fake;
    CWinUsbPipes pipes(fake);
    const std::string path =
        "\\\\?\\USB#VID_F00D&PID_1001#SERIAL-A#{a5dcbf10-6530-11d2-901f-00c04fb951ed}";
    int err = 0;
    const int out = pipes.Open(path, IBulkPipes::kPipeOut, &err);
    ASSERT_NE(out, IBulkPipes::kInvalidHandle);
    std::vector<uint8_t> command(31, 0x55);
    EXPECT_EQ(pipes.Write(out, command.data(), command.size(), &err), 31);
    std::vector<uint8_t> big(32u << 20, 0x5A);
    EXPECT_EQ(pipes.Write(out, big.data(), big.size(), &err), static_cast<long>(big.size()));
    // Reading from the OUT handle is refused.
    uint8_t status[13];
    EXPECT_EQ(pipes.Read(out, status, sizeof status, &err), -1);
    EXPECT_EQ(err, EBADF);
    pipes.Close(out);

    const int in = pipes.Open(path, IBulkPipes::kPipeIn, &err);
    ASSERT_NE(in, IBulkPipes::kInvalidHandle);
    fake.reads = {{'U', 'S', 'B', 'S', 1, 2, 3, 4, 0, 0, 0, 0, 0}, {}};
    EXPECT_EQ(pipes.Read(in, status, sizeof status, &err), 13);
    EXPECT_EQ(status[0], 'U');
    EXPECT_EQ(pipes.Read(in, status, sizeof status, &err), -1);
    EXPECT_EQ(err, ETIMEDOUT);
    EXPECT_TRUE(pipes.ResetPipe(in, IBulkPipes::kPipeIn, &err));
    pipes.Close(in);
    pipes.Close(in);  // a second close of the same handle does nothing

    // The device handle resets either pipe by its own endpoint.
    const int device = pipes.Open(path, IBulkPipes::kPipeDevice, &err);
    EXPECT_TRUE(pipes.ResetPipe(device, IBulkPipes::kPipeOut, &err));
    EXPECT_FALSE(pipes.ResetPipe(device, 7, &err));
    pipes.Close(device);

    const std::vector<std::string> expected = {
        "winusb " + path,   "timeout 2 5000",   "write 2 31",     "timeout 2 37000",
        "write 2 33554432", "winusb-close",     "winusb " + path, "timeout 129 5000",
        "read 129 13",      "timeout 129 5000", "read 129 13",    "reset 129",
        "winusb-close",     "winusb " + path,   "reset 2",        "winusb-close"};
    EXPECT_EQ(fake.calls, expected);

    // A path that is no USB device interface does not open.
    EXPECT_EQ(pipes.Open("\\\\?\\USB#VID_F00D&PID_1001#SERIAL-A", IBulkPipes::kPipeIn, &err),
              IBulkPipes::kInvalidHandle);
    EXPECT_EQ(err, static_cast<int>(ERROR_FILE_NOT_FOUND));
}

TEST(WindowsNotices, ArrivalsRemovalsAndNodeChangesAskForRescansOthersDoNot) {
    CWinDeviceNotices notices;
    std::atomic<int> changes{0};
    ASSERT_TRUE(notices.Start([&] { ++changes; }));
    HWND window = notices.Window();
    ASSERT_NE(window, nullptr);
    ::SendMessageW(window, WM_DEVICECHANGE, 0x8000, 0);  // arrival
    ::SendMessageW(window, WM_DEVICECHANGE, 0x8004, 0);  // removal complete
    ::SendMessageW(window, WM_DEVICECHANGE, 0x0007, 0);  // device nodes changed
    ::SendMessageW(window, WM_DEVICECHANGE, 0x0018, 0);  // configuration changed: not ours
    ::SendMessageW(window, WM_DEVICECHANGE, 0x8001, 0);  // query remove: not ours
    EXPECT_EQ(changes.load(), 3);
    notices.Stop();
    EXPECT_EQ(notices.Window(), nullptr);
    EXPECT_FALSE(::IsWindow(window));
    // Started again after a stop, it works again.
    ASSERT_TRUE(notices.Start([&] { changes += 10; }));
    ::SendMessageW(notices.Window(), WM_DEVICECHANGE, 0x8000, 0);
    EXPECT_EQ(changes.load(), 13);
}

}  // namespace

// On a desktop (run under Xvfb): the notices window is a hidden top-level window, not a
// message-only one, so the system's "device nodes changed" broadcast reaches it.
TEST(WindowsNoticesOnADesktop, TheDeviceNodesChangedBroadcastReachesTheWindow) {
    CWinDeviceNotices notices;
    std::atomic<int> changes{0};
    ASSERT_TRUE(notices.Start([&] { ++changes; }));
    HWND window = notices.Window();
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(::GetAncestor(window, GA_PARENT), ::GetDesktopWindow());
    EXPECT_FALSE(::IsWindowVisible(window));
    DWORD_PTR answer = 0;
    ::SendMessageTimeoutW(HWND_BROADCAST, WM_DEVICECHANGE, 0x0007, 0, SMTO_ABORTIFHUNG, 5000,
                          &answer);
    EXPECT_EQ(changes.load(), 1);
    notices.Stop();
}

// The pipes' contract (tests/contract/PipeContract.h) over the recorded WinUSB calls: what
// WinUSB answers for a time-out, a stall and a removed device reaches the transport as usbfs
// puts it, and selector 2 resets both endpoints.
class WinUsbRig final : public FakeWinUsbRig {
  public:
    IBulkPipes& Pipes() override { return pipes_; }
    std::string Path() override {
        return "\\\\?\\USB#VID_F00D&PID_1001#SERIAL-A#{a5dcbf10-6530-11d2-901f-00c04fb951ed}";
    }

  private:
    CWinUsbPipes pipes_{fake_};
};

TEST(WindowsUsbPipes, KeepTheContractOfEveryPipesImplementation) {
    const int ran = pipecontract::RunAll([] { return std::make_unique<WinUsbRig>(); });
    EXPECT_EQ(ran, static_cast<int>(pipecontract::Cases().size()));
}
