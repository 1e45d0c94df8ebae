// Shared pieces of the provisioning tests: virtual time, a log that keeps its lines, a bulk-pipe
// tap that lets a test act at an exact command of the loader protocol, key files with known key
// bytes, a temporary folder, and a recording worker host.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "device/BulkPipes.h"
#include "device/DeviceTables.h"
#include "device/UsbTree.h"
#include "keydb/KeyFile.h"
#include "keydb/KeySource.h"
#include "provision/WorkerHost.h"
#include "support/Clock.h"
#include "support/IniSettingBase.h"
#include "support/Logger.h"
#include "tests/common/LineLog.h"

namespace provision_test {

using RecordingLog = test_log::LineLog;

// Virtual time: SleepMs moves NowMs forward at once. A gate (optional) runs before every sleep
// of one chosen thread: it can hold that thread back (in real time) while another thread that
// shares the clock still has to act, so that a burst of virtual sleeps cannot outrun it.
class VirtualClock final : public IClock {
  public:
    uint64_t NowMs() override;
    void SleepMs(uint32_t ms) override;
    // Set before the gated thread sleeps for the first time.
    void SetGate(std::thread::id thread, std::function<void()> gate);

  private:
    std::mutex lock_;
    uint64_t now_ = 1000;
    std::thread::id gatedThread_;
    std::function<void()> gate_;
};

// One loader command as the tap saw its command block.
struct TappedCommand {
    uint8_t opcode = 0;
    uint8_t subCode = 0;  // CB[1]
    uint32_t address = 0;
    uint16_t count = 0;
};

// Forwards every pipe call to the real pipes, telling the test about each command block first
// (the device has not seen it yet, so the test can still change the device) and letting it
// change the bytes the device sends back.
class TapPipes final : public IBulkPipes {
  public:
    explicit TapPipes(IBulkPipes& inner) : inner_(inner) {}

    std::function<void(const TappedCommand&)> onCommand;
    // Called with every IN transfer of the current command, after the device delivered it.
    std::function<void(const TappedCommand&, uint8_t* data, long size)> onIn;
    // True for a command whose IN data phase reaches nobody: the transfer reports every byte
    // delivered, but the caller's buffer keeps what it held before.
    std::function<bool(const TappedCommand&)> swallowIn;
    // After a reset command block: the status block is read from the device (so the device goes
    // ahead with the reset) but the caller sees a failed read.
    bool loseResetStatus = false;
    // After a reset command block: the device's status is consumed here and the caller's
    // opening of the IN pipe fails, as when the device left the bus at once.
    bool refuseInAfterReset = false;

    std::vector<TappedCommand> Commands();
    // How many reset answers were lost or refused as asked.
    int ResetInterventions();
    int Open(const std::string& devicePath, int mode, int* sysError) override;
    void Close(int handle) override { inner_.Close(handle); }
    long Write(int handle, const uint8_t* data, size_t size, int* sysError) override;
    long Read(int handle, uint8_t* data, size_t size, int* sysError) override;
    bool ResetPipe(int handle, uint8_t pipe, int* sysError) override {
        return inner_.ResetPipe(handle, pipe, sysError);
    }

  private:
    IBulkPipes& inner_;
    std::mutex lock_;
    std::vector<TappedCommand> commands_;
    TappedCommand last_;
    int interventions_ = 0;
};

// Byte j of key i in a pattern key file.
uint8_t PatternKeyByte(uint32_t keyIndex, uint32_t keySize, uint32_t j);
std::vector<uint8_t> PatternKey(uint32_t keyIndex, uint32_t keySize);
extern const uint8_t kRecordInfo[16];
// Writes a key file of `count` pattern keys of `keySize` bytes; false with a test failure.
bool MakePatternKeyFile(const std::string& path, uint32_t count, uint32_t keySize,
                        std::vector<uint32_t> usedIndices = {});

// Copies a file over another one, or to a new name, as an operator restoring a backup does: the
// whole target is replaced through the station's file calls. (MinGW's std::filesystem::copy_file
// refuses every existing target with "File exists": Windows files have no inode numbers there,
// so it takes any two files for the same one.) False with a test failure.
bool CopyFileOver(const std::string& from, const std::string& to);

class TempDir;

// Builds a sparse 64 MiB disk image in dir with the system's sfdisk (a test failure when sfdisk
// is missing): GPT with uboot (2048, 8192 sectors), misc (10240, 2048 sectors) and userdata.
bool MakeSfdiskImage(const TempDir& dir, std::string* image);
inline constexpr uint32_t kSfdiskMiscKeyArea = 10240 + 2048 - 128;

// A fresh folder under /tmp, removed with everything in it.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string File(const std::string& name) const { return path_ + "/" + name; }
    std::vector<std::string> Names() const;

  private:
    std::string path_;
};

// The station controller as one job sees it, recording everything the job reports.
class RecordingHost final : public IWorkerHost {
  public:
    RecordingHost(IBulkPipes& pipes, IUsbTree& tree, const DeviceTables& tables, IClock& clock);

    // --- What the test sets up ---
    int slotNumber = 2;
    WorkerSlot slot;
    CIniSettingBase settings;
    std::unique_ptr<CKeyFile> keyFile;
    bool withLog = true;
    bool failScanner = false;
    bool failComm = false;

    // --- What the job did ---
    RecordingLog log;
    std::vector<std::pair<int, std::string>> statuses;  // (row, text) in order
    int dropColourCalls = 0;
    int successCalls = 0;
    int failCalls = 0;
    int decreaseUnusedCalls = 0;
    int keyFileFailedCalls = 0;
    std::vector<std::pair<int, JobOutcome>> posted;
    std::vector<std::string> events;  // "success", "fail", "decrease", "post" in order
    std::vector<JobRecord> records;

    // Status texts carry their key so that tests see the lookup happened.
    static std::string Text(const std::string& key) { return "text(" + key + ")"; }
    std::string LastStatus() const { return statuses.empty() ? "" : statuses.back().second; }
    bool StatusShown(const std::string& key) const;

    bool CopySlot(int slotNumber, WorkerSlot* out) override;
    const CIniSettingBase& Settings() override { return settings; }
    // The key file above, seen through the key source seam as the station sees it.
    IKeySource* KeySource() override;
    CLoggerBase* Logger() override { return withLog ? &log : nullptr; }
    std::string GetLangText(const std::string& key) override { return Text(key); }
    void SetRowStatus(int row, const std::string& text) override;
    void DropRowColour(int row) override;
    void IncreaseSuccess() override;
    void IncreaseFail() override;
    void DecreaseUnused() override;
    void KeyFileFailed() override;
    void RecordJob(const JobRecord& record) override;
    void PostUpgradeResult(int slotNumber, JobOutcome outcome) override;
    std::unique_ptr<CZRComm> NewComm() override;
    std::unique_ptr<ZRScan> NewScanner() override;

  private:
    std::mutex lock_;
    std::unique_ptr<CKeyFileSource> source_;
    const CKeyFile* sourceFile_ = nullptr;
    IBulkPipes& pipes_;
    IUsbTree& tree_;
    const DeviceTables& tables_;
    IClock& clock_;
};

}  // namespace provision_test
