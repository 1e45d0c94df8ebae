#include "ProvisionTestSupport.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "device/ZRScan.h"
#include "device/ZRUsbComm.h"
#include "keydb/KeyFileWriter.h"
#include "support/FileSystem.h"

namespace fs = std::filesystem;

namespace provision_test {

uint64_t VirtualClock::NowMs() {
    std::lock_guard<std::mutex> guard(lock_);
    return now_;
}

void VirtualClock::SleepMs(uint32_t ms) {
    if (gate_ && std::this_thread::get_id() == gatedThread_) {
        gate_();
    }
    std::lock_guard<std::mutex> guard(lock_);
    now_ += ms;
}

void VirtualClock::SetGate(std::thread::id thread, std::function<void()> gate) {
    gatedThread_ = thread;
    gate_ = std::move(gate);
}

std::vector<TappedCommand> TapPipes::Commands() {
    std::lock_guard<std::mutex> guard(lock_);
    return commands_;
}

int TapPipes::ResetInterventions() {
    std::lock_guard<std::mutex> guard(lock_);
    return interventions_;
}

int TapPipes::Open(const std::string& devicePath, int mode, int* sysError) {
    bool refuse = false;
    {
        std::lock_guard<std::mutex> guard(lock_);
        refuse = mode == kPipeIn && refuseInAfterReset && last_.opcode == 0xFF;
        if (refuse) {
            last_ = TappedCommand{};
            ++interventions_;
        }
    }
    if (refuse) {
        const int h = inner_.Open(devicePath, mode, sysError);
        if (h != kInvalidHandle) {
            uint8_t status[13];
            inner_.Read(h, status, sizeof status, sysError);
            inner_.Close(h);
        }
        if (sysError != nullptr) {
            *sysError = ENODEV;
        }
        return kInvalidHandle;
    }
    return inner_.Open(devicePath, mode, sysError);
}

long TapPipes::Write(int handle, const uint8_t* data, size_t size, int* sysError) {
    if (size == 31 && std::memcmp(data, "USBC", 4) == 0) {
        const uint8_t* cb = data + 15;
        TappedCommand c;
        c.opcode = cb[0];
        c.subCode = cb[1];
        c.address = (static_cast<uint32_t>(cb[2]) << 24) | (static_cast<uint32_t>(cb[3]) << 16) |
                    (static_cast<uint32_t>(cb[4]) << 8) | cb[5];
        c.count = static_cast<uint16_t>((cb[7] << 8) | cb[8]);
        {
            std::lock_guard<std::mutex> guard(lock_);
            commands_.push_back(c);
            last_ = c;
        }
        if (onCommand) {
            onCommand(c);
        }
    }
    return inner_.Write(handle, data, size, sysError);
}

long TapPipes::Read(int handle, uint8_t* data, size_t size, int* sysError) {
    TappedCommand current;
    {
        std::lock_guard<std::mutex> guard(lock_);
        current = last_;
    }
    std::vector<uint8_t> before;
    if (swallowIn && size != 13 && swallowIn(current)) {
        before.assign(data, data + size);
    }
    const long n = inner_.Read(handle, data, size, sysError);
    if (!before.empty()) {
        std::copy(before.begin(), before.end(), data);
    }
    TappedCommand c;
    bool lose = false;
    {
        std::lock_guard<std::mutex> guard(lock_);
        c = last_;
        lose = loseResetStatus && c.opcode == 0xFF && size == 13;
        if (lose) {
            last_ = TappedCommand{};
            ++interventions_;
        }
    }
    if (lose) {
        if (sysError != nullptr) {
            *sysError = EIO;
        }
        return -1;
    }
    if (onIn && n > 0) {
        onIn(c, data, n);
    }
    return n;
}

uint8_t PatternKeyByte(uint32_t keyIndex, uint32_t keySize, uint32_t j) {
    const uint64_t x = static_cast<uint64_t>(keyIndex) * keySize + j;
    return static_cast<uint8_t>((x * 131 + 7) ^ (x >> 8) ^ (x >> 16));
}

std::vector<uint8_t> PatternKey(uint32_t keyIndex, uint32_t keySize) {
    std::vector<uint8_t> key(keySize);
    for (uint32_t j = 0; j < keySize; ++j) {
        key[j] = PatternKeyByte(keyIndex, keySize, j);
    }
    return key;
}

const uint8_t kRecordInfo[16] = {0x52, 0x49, 0x30, 0x31, 0xA5, 0x5A, 0x00, 0xFF,
                                 0x10, 0x20, 0x30, 0x40, 0x50, 0x60, 0x70, 0x80};

namespace {

class PatternSource final : public IKeyDataSource {
  public:
    explicit PatternSource(uint32_t keySize) : keySize_(keySize) {}
    bool Read(uint8_t* buffer, size_t len, std::string* /*error*/) override {
        for (size_t i = 0; i < len; ++i, ++pos_) {
            buffer[i] = PatternKeyByte(static_cast<uint32_t>(pos_ / keySize_), keySize_,
                                       static_cast<uint32_t>(pos_ % keySize_));
        }
        return true;
    }

  private:
    uint32_t keySize_;
    uint64_t pos_ = 0;
};

}  // namespace

bool MakePatternKeyFile(const std::string& path, uint32_t count, uint32_t keySize,
                        std::vector<uint32_t> usedIndices) {
    KeyFileLayout layout;
    layout.keyCount = count;
    layout.keySize = keySize;
    std::memcpy(layout.recordInfo, kRecordInfo, sizeof kRecordInfo);
    layout.created = KeyFileTime{2024, 3, 5, 14, 7, 9};
    layout.usedIndices = std::move(usedIndices);
    PatternSource source(keySize);
    std::string error;
    const bool ok = WriteKeyFile(path, layout, source, true, &error);
    EXPECT_TRUE(ok) << error;
    return ok;
}

bool CopyFileOver(const std::string& from, const std::string& to) {
    std::string bytes;
    const ks::ReadStatus read = ks::ReadWholeFile(from, std::size_t{1} << 30, bytes);
    EXPECT_EQ(read, ks::ReadStatus::Ok) << from;
    const bool written = read == ks::ReadStatus::Ok && ks::ReplaceFileAtomically(to, bytes);
    EXPECT_TRUE(written) << from << " -> " << to;
    return written;
}

TempDir::TempDir() {
    char tmpl[] = "/tmp/ks_provision_XXXXXX";
    const char* made = mkdtemp(tmpl);
    EXPECT_NE(made, nullptr);
    path_ = made != nullptr ? made : "/tmp";
}

TempDir::~TempDir() {
    std::error_code ec;
    if (path_ != "/tmp") {
        fs::remove_all(path_, ec);
    }
}

std::vector<std::string> TempDir::Names() const {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(path_, ec)) {
        names.push_back(entry.path().filename().string());
    }
    return names;
}

namespace {

std::string FindSfdisk() {
    for (const char* p : {"/usr/sbin/sfdisk", "/sbin/sfdisk", "/usr/bin/sfdisk", "/bin/sfdisk"}) {
        if (access(p, X_OK) == 0) {
            return p;
        }
    }
    return "";
}

}  // namespace

bool MakeSfdiskImage(const TempDir& dir, std::string* image) {
    const std::string sfdisk = FindSfdisk();
    EXPECT_FALSE(sfdisk.empty()) << "sfdisk (Debian package fdisk) is needed for this test";
    if (sfdisk.empty()) {
        return false;
    }
    *image = dir.File("disk.img");
    const std::string script = dir.File("layout.sfdisk");
    {
        std::ofstream out(script);
        out << "label: gpt\n"
               "start=2048, size=8192, type=0FC63DAF-8483-4772-8E79-3D69D8477DE4, "
               "name=\"uboot\"\n"
               "start=10240, size=2048, type=0FC63DAF-8483-4772-8E79-3D69D8477DE4, "
               "name=\"misc\"\n"
               "start=12288, type=0FC63DAF-8483-4772-8E79-3D69D8477DE4, name=\"userdata\"\n";
        if (!out) {
            ADD_FAILURE() << "cannot write " << script;
            return false;
        }
    }
    const std::string cmd = "truncate -s 64M '" + *image + "' && '" + sfdisk + "' --quiet '" +
                            *image + "' < '" + script + "' > '" + dir.File("sfdisk.out") + "' 2>&1";
    const int rc = std::system(cmd.c_str());
    const bool ok = rc != -1 && WIFEXITED(rc) && WEXITSTATUS(rc) == 0;
    EXPECT_TRUE(ok) << "sfdisk failed: " << cmd;
    return ok;
}

RecordingHost::RecordingHost(IBulkPipes& pipes, IUsbTree& tree, const DeviceTables& tables,
                             IClock& clock)
    : pipes_(pipes), tree_(tree), tables_(tables), clock_(clock) {}

bool RecordingHost::StatusShown(const std::string& key) const {
    for (const auto& s : statuses) {
        if (s.second == Text(key)) {
            return true;
        }
    }
    return false;
}

bool RecordingHost::CopySlot(int number, WorkerSlot* out) {
    if (number != slotNumber) {
        return false;
    }
    *out = slot;
    return true;
}

void RecordingHost::SetRowStatus(int row, const std::string& text) {
    std::lock_guard<std::mutex> guard(lock_);
    statuses.emplace_back(row, text);
}

void RecordingHost::DropRowColour(int /*row*/) {
    std::lock_guard<std::mutex> guard(lock_);
    ++dropColourCalls;
}

void RecordingHost::IncreaseSuccess() {
    std::lock_guard<std::mutex> guard(lock_);
    ++successCalls;
    events.emplace_back("success");
}

void RecordingHost::IncreaseFail() {
    std::lock_guard<std::mutex> guard(lock_);
    ++failCalls;
    events.emplace_back("fail");
}

void RecordingHost::DecreaseUnused() {
    std::lock_guard<std::mutex> guard(lock_);
    ++decreaseUnusedCalls;
    events.emplace_back("decrease");
}

IKeySource* RecordingHost::KeySource() {
    std::lock_guard<std::mutex> guard(lock_);
    if (!keyFile) {
        return nullptr;
    }
    if (!source_ || sourceFile_ != keyFile.get()) {
        source_ = std::make_unique<CKeyFileSource>(keyFile.get());
        sourceFile_ = keyFile.get();
    }
    return source_.get();
}

void RecordingHost::KeyFileFailed() {
    std::lock_guard<std::mutex> guard(lock_);
    ++keyFileFailedCalls;
    events.emplace_back("keyfile-failed");
}

void RecordingHost::RecordJob(const JobRecord& record) {
    std::lock_guard<std::mutex> guard(lock_);
    records.push_back(record);
}

void RecordingHost::PostUpgradeResult(int number, JobOutcome outcome) {
    std::lock_guard<std::mutex> guard(lock_);
    posted.emplace_back(number, outcome);
    events.emplace_back("post");
}

std::unique_ptr<CZRComm> RecordingHost::NewComm() {
    if (failComm) {
        return nullptr;
    }
    return std::make_unique<CZRUsbComm>(nullptr, 0, pipes_, clock_);
}

std::unique_ptr<ZRScan> RecordingHost::NewScanner() {
    if (failScanner) {
        return nullptr;
    }
    auto scanner = std::make_unique<ZRScan>(30, 30, 0, tree_, tables_, clock_);
    scanner->LoadDeviceTables();
    return scanner;
}

}  // namespace provision_test
