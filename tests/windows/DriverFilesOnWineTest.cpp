// The maker's driver's pipe files through the system's own file calls under Wine: the device path
// is a folder holding two FIFOs, PIPE00 and PIPE01 (made by driver_files_test.sh), and a thread
// of the test stands for the driver, carrying every bulk transfer between the FIFOs and an
// emulated loader. The station's commands then run over CreateFileW, ReadFile and WriteFile as
// they do over the driver. (A transfer's time-out cannot be shown here: Wine does not cancel a
// read that waits on a FIFO; the fakes of DriverPipesTest.cpp cover it.)
#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "device/ZRUsbComm.h"
#include "platform/sim/DemoImage.h"
#include "platform/windows/DriverPipeFiles.h"
#include "platform/windows/WinUsbCalls.h"
#include "support/Clock.h"
#include "support/WideText.h"

namespace {

std::string DeviceFolder() {
    wchar_t folder[1024] = {};
    const DWORD n = ::GetEnvironmentVariableW(L"KS_DRIVER_FOLDER", folder, 1024);
    return n == 0 || n >= 1024 ? std::string() : ks::Utf8FromWide(folder);
}

// Reads exactly size bytes from a FIFO (a writer may hand them over in pieces).
bool ReadAll(HANDLE h, uint8_t* data, size_t size) {
    size_t got = 0;
    while (got < size) {
        DWORD n = 0;
        if (!::ReadFile(h, data + got, static_cast<DWORD>(size - got), &n, nullptr) || n == 0) {
            return false;
        }
        got += n;
    }
    return true;
}

bool WriteAll(HANDLE h, const uint8_t* data, size_t size) {
    DWORD n = 0;
    return ::WriteFile(h, data, static_cast<DWORD>(size), &n, nullptr) && n == size;
}

// The driver's side of the two FIFOs: command blocks and OUT data from PIPE01 to the loader, its
// IN data and status blocks to PIPE00. Both FIFOs are opened for reading and writing, which never
// waits for the other end.
class FifoDriver {
  public:
    FifoDriver(const std::string& folder, LoaderEmulator& loader) : loader_(loader) {
        const std::wstring base = ks::WideFromUtf8(folder);
        out_ =
            ::CreateFileW((base + L"\\PIPE01").c_str(), GENERIC_READ | GENERIC_WRITE,
                          FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
        in_ = ::CreateFileW((base + L"\\PIPE00").c_str(), GENERIC_READ | GENERIC_WRITE,
                            FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
        if (Ready()) {
            thread_ = std::thread([this] { Serve(); });
        }
    }
    ~FifoDriver() {
        stop_ = true;
        if (thread_.joinable()) {
            // A last command block that the loop reads and drops.
            const uint8_t wake[31] = {};
            DWORD n = 0;
            ::WriteFile(out_, wake, sizeof wake, &n, nullptr);
            thread_.join();
        }
        ::CloseHandle(out_);
        ::CloseHandle(in_);
    }
    bool Ready() const { return out_ != INVALID_HANDLE_VALUE && in_ != INVALID_HANDLE_VALUE; }

  private:
    void Serve() {
        std::vector<uint8_t> buffer;
        uint8_t block[31];
        while (ReadAll(out_, block, sizeof block) && !stop_) {
            loader_.BulkOut(block, sizeof block);
            uint32_t length = 0;
            std::memcpy(&length, block + 8, 4);
            buffer.assign(length, 0);
            if (length > 0 && (block[12] & 0x80) != 0) {
                const long n = loader_.BulkIn(buffer.data(), buffer.size());
                if (n > 0) {
                    WriteAll(in_, buffer.data(), static_cast<size_t>(n));
                }
            } else if (length > 0) {
                if (!ReadAll(out_, buffer.data(), buffer.size())) {
                    return;
                }
                loader_.BulkOut(buffer.data(), buffer.size());
            }
            uint8_t status[13];
            if (loader_.BulkIn(status, sizeof status) == 13) {
                WriteAll(in_, status, sizeof status);
            }
        }
    }

    LoaderEmulator& loader_;
    HANDLE out_ = INVALID_HANDLE_VALUE;
    HANDLE in_ = INVALID_HANDLE_VALUE;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

TEST(MakersDriverFilesUnderWine, LoaderCommandsRunOverTheSystemsFileCalls) {
    const std::string folder = DeviceFolder();
    if (folder.empty()) {
        GTEST_SKIP() << "KS_DRIVER_FOLDER names no folder with the two FIFOs";
    }
    std::unique_ptr<LoaderEmulator> loader = MakeDemoLoader(3, DemoLayout::kGpt, SystemClock());
    FifoDriver driver(folder, *loader);
    ASSERT_TRUE(driver.Ready()) << "cannot open the FIFOs in " << folder;
    CDriverPipeFiles pipes(SystemWinUsbCalls());
    CZRUsbComm comm(nullptr, 0, pipes, SystemClock());

    ASSERT_EQ(comm.ZRU_TestDeviceReady(folder, nullptr, nullptr, 0), 0);
    std::vector<uint8_t> data(64 * 512);
    for (size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<uint8_t>(i * 13 + 5);
    }
    ASSERT_EQ(comm.ZRU_WriteLBA(folder, 2048, 64, data.data(), 0), 0);
    std::vector<uint8_t> back(data.size());
    ASSERT_EQ(comm.ZRU_ReadLBA(folder, 2048, 64, back.data(), 0), 0);
    EXPECT_EQ(back, data);
    std::vector<uint8_t> stored(data.size());
    ASSERT_TRUE(loader->ReadSectors(2048, 64, stored.data()));
    EXPECT_EQ(stored, data);

    // A second board's worth of commands on the same files: nothing was left open or half read.
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(comm.ZRU_TestDeviceReady(folder, nullptr, nullptr, 0), 0);
    }
}

}  // namespace
