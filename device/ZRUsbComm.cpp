#include "device/ZRUsbComm.h"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstring>

#include "support/LogTo.h"

using namespace zr;

namespace {

// UTF-16 code units the UTF-8 text needs (a four-byte sequence takes a surrogate pair).
size_t Utf16Units(const std::string& text) {
    size_t units = 0;
    for (const unsigned char c : text) {
        if ((c & 0xC0) != 0x80) {
            ++units;
        }
        if (c >= 0xF0) {
            ++units;
        }
    }
    return units;
}

}  // namespace

// The command modes of ZRU_Open are the pipe modes of the pipes layer.
static_assert(IBulkPipes::kPipeIn == 0 && IBulkPipes::kPipeOut == 1 &&
              IBulkPipes::kPipeDevice == 2);

int ZRU_ResetPipe(IBulkPipes& pipes, const std::string& path, uint8_t pipe, CLoggerBase* logSink) {
    int err = 0;
    int device = IBulkPipes::kInvalidHandle;
    if (path.empty() || path.find('\0') != std::string::npos) {
        err = EINVAL;
    } else if (Utf16Units(path) + 1 > CZRUsbComm::kMaxPipeName) {
        err = ENAMETOOLONG;
    } else {
        device = pipes.Open(path, IBulkPipes::kPipeDevice, &err);
    }
    if (device == IBulkPipes::kInvalidHandle) {
        if (logSink != nullptr) {
            logSink->Print(ks::kLogStation, "ERROR:ZRU_ResetPipe-->CreateFile %s failed,err=%d",
                           path.c_str(), err);
        }
        return 0;
    }
    // The reset goes through the device handle just opened: nothing is opened or claimed twice.
    err = 0;
    const bool reset = pipes.ResetPipe(device, pipe, &err);
    pipes.Close(device);
    if (!reset) {
        if (logSink != nullptr) {
            logSink->Print(ks::kLogStation, "ERROR:ZRU_ResetPipe-->DeviceIoControl failed,err=%d",
                           err);
        }
        return 0;
    }
    if (logSink != nullptr) {
        logSink->Print(ks::kLogStation, "INFO:ZRU_ResetPipe-->DeviceIoControl OK");
    }
    return 1;
}

CZRUsbComm::CZRUsbComm(CLoggerBase* logSink, int checksumFlag, IBulkPipes& pipes, IClock& clock)
    : CZRUsbComm(logSink, checksumFlag, pipes, clock, TagSource::FreshSeed()) {}

CZRUsbComm::CZRUsbComm(CLoggerBase* logSink, int checksumFlag, IBulkPipes& pipes, IClock& clock,
                       uint32_t tagSeed)
    : CZRComm(logSink, checksumFlag), pipes_(pipes), clock_(clock), tags_(tagSeed) {}

void CZRUsbComm::Log(const char* format, ...) {
    va_list args;
    va_start(args, format);
    VLogTo(LogSink(), format, args);
    va_end(args);
}

// ---------------------------------------------------------------------------------------------
// Pipe primitives

int CZRUsbComm::ZRU_Open(const std::string& path, int mode) {
    if (path.empty()) {
        return kInvalidHandle;
    }
    if (mode != IBulkPipes::kPipeIn && mode != IBulkPipes::kPipeOut &&
        mode != IBulkPipes::kPipeDevice) {
        return kInvalidHandle;
    }
    int err = 0;
    int handle = kInvalidHandle;
    const size_t suffix = mode == IBulkPipes::kPipeDevice ? 0 : kPipeSuffixLength;
    if (path.find('\0') != std::string::npos) {
        err = EINVAL;
    } else if (Utf16Units(path) + suffix + 1 > kMaxPipeName) {
        err = ENAMETOOLONG;
    } else {
        handle = pipes_.Open(path, mode, &err);
    }
    if (handle == IBulkPipes::kInvalidHandle) {
        Log("Error:ZRU_Open-->CreateFile failed,err=%d,path=%s", err, path.c_str());
        return kInvalidHandle;
    }
    return handle;
}

void CZRUsbComm::ZRU_Close(int handle) {
    pipes_.Close(handle);
}

int CZRUsbComm::ZRU_Write(int handle, const uint8_t* buf, uint32_t size) {
    int err = 0;
    const long n = pipes_.Write(handle, buf, size, &err);
    if (n >= 0 && static_cast<uint64_t>(n) == size) {
        return 1;
    }
    Log("Error:ZRU_Write-->WriteFile failed,bRet=%d,err=%d,size=%d,write=%d", n >= 0 ? 1 : 0, err,
        static_cast<int>(size), n >= 0 ? static_cast<int>(n) : 0);
    return 0;
}

int CZRUsbComm::ZRU_Read(int handle, uint8_t* buf, uint32_t size) {
    int err = 0;
    const long n = pipes_.Read(handle, buf, size, &err);
    if (n >= 0 && static_cast<uint64_t>(n) == size) {
        return 1;
    }
    Log("Error:ZRU_Read-->ReadFile failed,bRet=%d,err=%d,size=%d,read=%d", n >= 0 ? 1 : 0, err,
        static_cast<int>(size), n >= 0 ? static_cast<int>(n) : 0);
    return 0;
}

// ---------------------------------------------------------------------------------------------
// Transaction shapes

void CZRUsbComm::Begin(Transaction& t, uint8_t opcode) {
    BuildCommandBlock(t.block, opcode, tags_.NextTag());
}

uint64_t CZRUsbComm::StatusGraceMs(uint32_t dataPhaseBytes) {
    return static_cast<uint64_t>(dataPhaseBytes) * kStatusGraceMsPerMiB / (1024U * 1024U);
}

bool CZRUsbComm::ReadStatus(int handle, const Transaction& t, Outcome& o) {
    uint8_t csw[kStatusBlockSize] = {};
    // A loader may program flash after a long data phase before it answers: a status read that
    // timed out is asked again while the time that grows with the phase lasts (the pipe's own
    // time-out counts toward it), so a good write does not end as a failed read.
    const uint64_t graceMs = t.phase == Phase::kNone ? 0 : StatusGraceMs(t.length);
    const uint64_t start = clock_.NowMs();
    for (int reads = 1;; ++reads) {
        int err = 0;
        const long n = pipes_.Read(handle, csw, kStatusBlockSize, &err);
        if (n == static_cast<long>(kStatusBlockSize)) {
            break;
        }
        if (n < 0 && err == ETIMEDOUT && clock_.NowMs() - start < graceMs &&
            reads < kMaxStatusReads) {
            Log("INFO:ZRU_Read-->status not there yet after a data phase of %u bytes, reading "
                "again",
                t.length);
            continue;
        }
        Log("Error:ZRU_Read-->ReadFile failed,bRet=%d,err=%d,size=%d,read=%d", n >= 0 ? 1 : 0, err,
            static_cast<int>(kStatusBlockSize), n >= 0 ? static_cast<int>(n) : 0);
        o.code = ZR_ERR_READ;
        return false;
    }
    o.status = ParseStatusBlock(csw);
    if (o.status.signature != kStatusSignature || o.status.tag != GetLe32(t.block + kCbwTag)) {
        o.code = ZR_ERR_STATUS_BLOCK;
        return false;
    }
    o.code = 0;
    return true;
}

CZRUsbComm::Outcome CZRUsbComm::Attempt(const std::string& path, Transaction& t, bool second) {
    Outcome o;
    int h = ZRU_Open(path, IBulkPipes::kPipeOut);
    if (h == kInvalidHandle) {
        return {ZR_ERR_OPEN_OUT, true, {}};
    }
    if (ZRU_Write(h, t.block, kCommandBlockSize) == 0 ||
        (t.phase == Phase::kOut && t.length > 0 && ZRU_Write(h, t.out, t.length) == 0)) {
        ZRU_Close(h);
        return {ZR_ERR_WRITE, false, {}};
    }
    ZRU_Close(h);

    h = ZRU_Open(path, IBulkPipes::kPipeIn);
    if (h == kInvalidHandle) {
        return {ZR_ERR_OPEN_IN, true, {}};
    }
    if (t.phase == Phase::kIn && (t.length > 0 || t.reader == InReader::kFlashInfo)) {
        if (second && t.waitBeforeRetryRead) {
            clock_.SleepMs(kRetryReadWaitMs);
        }
        switch (t.reader) {
            case InReader::kExact:
                if (ZRU_Read(h, t.in, t.length) == 0) {
                    if (t.readLogName != nullptr) {
                        Log("Error:%s-->ZRU_Read failed", t.readLogName);
                    }
                    ZRU_Close(h);
                    if (t.readLogName != nullptr) {
                        Log("Error:%s-->ZRU_Close return", t.readLogName);
                    }
                    return {ZR_ERR_READ, false, {}};
                }
                break;
            case InReader::kFlashInfo: {
                constexpr uint32_t kRequest = 512;
                int err = 0;
                const long n = pipes_.Read(h, t.in, kRequest, &err);
                if (n < 0) {
                    Log("Error:ZRU_ReadFlashInfo-->ReadFile failed,bRet=%d,err=%d,size=%d,read=%d",
                        0, err, static_cast<int>(kRequest), 0);
                }
                if (n < 11 || n > static_cast<long>(kRequest)) {
                    ZRU_Close(h);
                    return {ZR_ERR_READ, false, {}};
                }
                if (t.flashInfoLength != nullptr) {
                    *t.flashInfoLength = static_cast<uint32_t>(n);
                }
                break;
            }
            case InReader::kCommand04:
                // Clear the head first so that only a status block of this transfer can match.
                std::memset(t.in, 0, kStatusBlockSize);
                if (ZRU_Read(h, t.in, t.length) == 0) {
                    ZRU_Close(h);
                    const StatusBlock s = ParseStatusBlock(t.in);
                    if (s.signature == kStatusSignature && s.tag == GetLe32(t.block + kCbwTag) &&
                        s.status == 1) {
                        return {ZR_ERR_DEVICE, true, {}};
                    }
                    return {ZR_ERR_READ, false, {}};
                }
                break;
        }
    }
    const bool good = ReadStatus(h, t, o);
    ZRU_Close(h);
    o.final = good;
    return o;
}

CZRUsbComm::Outcome CZRUsbComm::RunStandard(const std::string& path, Transaction& t) {
    Outcome last;
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (attempt == 1) {
            clock_.SleepMs(kRetryWaitMs);
            if (ZRU_ResetPipe(pipes_, path, 2, LogSink()) == 0) {
                return last;
            }
        }
        last = Attempt(path, t, attempt == 1);
        if (last.final) {
            return last;
        }
    }
    return last;
}

CZRUsbComm::Outcome CZRUsbComm::RunWriteRetry(const std::string& path, Transaction& t) {
    int h = kInvalidHandle;
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (attempt == 1) {
            clock_.SleepMs(kRetryWaitMs);
            if (ZRU_ResetPipe(pipes_, path, 2, LogSink()) == 0) {
                return {ZR_ERR_WRITE, true, {}};
            }
        }
        h = ZRU_Open(path, IBulkPipes::kPipeOut);
        if (h == kInvalidHandle) {
            return {ZR_ERR_OPEN_OUT, true, {}};
        }
        if (ZRU_Write(h, t.block, kCommandBlockSize) != 0) {
            break;
        }
        ZRU_Close(h);
        h = kInvalidHandle;
    }
    if (h == kInvalidHandle) {
        return {ZR_ERR_WRITE, true, {}};
    }
    ZRU_Close(h);
    h = ZRU_Open(path, IBulkPipes::kPipeIn);
    if (h == kInvalidHandle) {
        return {ZR_ERR_OPEN_IN, true, {}};
    }
    Outcome o;
    ReadStatus(h, t, o);
    ZRU_Close(h);
    o.final = true;
    return o;
}

// One attempt, no retry: the command block, a data read of `ask` bytes that must give exactly
// `want` (else `shortCode`), then the status block.
CZRUsbComm::Outcome CZRUsbComm::RunSingleIn(const std::string& path, const Transaction& t,
                                            uint8_t* out, size_t want, size_t ask, int shortCode) {
    int h = ZRU_Open(path, IBulkPipes::kPipeOut);
    if (h == kInvalidHandle) {
        return {ZR_ERR_OPEN_OUT, true, {}};
    }
    if (ZRU_Write(h, t.block, kCommandBlockSize) == 0) {
        ZRU_Close(h);
        return {ZR_ERR_WRITE, true, {}};
    }
    ZRU_Close(h);
    h = ZRU_Open(path, IBulkPipes::kPipeIn);
    if (h == kInvalidHandle) {
        return {ZR_ERR_OPEN_IN, true, {}};
    }
    uint8_t answer[kStatusBlockSize] = {};
    int err = 0;
    const long n = pipes_.Read(h, answer, std::min(ask, sizeof answer), &err);
    if (n < 0 || static_cast<size_t>(n) != want) {
        ZRU_Close(h);
        return {shortCode, true, {}};
    }
    std::memcpy(out, answer, want);
    Outcome o;
    ReadStatus(h, t, o);
    ZRU_Close(h);
    o.final = true;
    return o;
}

namespace {

// Any non-zero status is the command's failure: a status other than the documented ones
// (a phase error, for one) must never pass as success.
int StatusResult(int code, uint8_t status, int failure) {
    if (code < 0) {
        return code;
    }
    return status == 0 ? 0 : failure;
}

// Commands whose status byte carries no meaning: a good status block is success.
int IgnoredStatus(int code) {
    return code < 0 ? code : 0;
}

void PutAddress(uint8_t* block, uint32_t address) {
    PutBe32(block + kCbwCb + 2, address);
}
void PutCount(uint8_t* block, uint16_t count) {
    PutBe16(block + kCbwCb + 7, count);
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Commands

int CZRUsbComm::ZRU_BlockCommand(const std::string& path, uint8_t lun, uint32_t address,
                                 uint32_t count, uint8_t opcode) {
    if (count > 16) {
        return ZR_ERR_ARGUMENT;
    }
    Transaction t;
    Begin(t, opcode);
    t.block[kCbwLun] = lun;
    PutAddress(t.block, address);
    PutCount(t.block, static_cast<uint16_t>(count));
    const Outcome o = RunStandard(path, t);
    return StatusResult(o.code, o.status.status, ZR_ERR_DEVICE_BLOCK);
}

int CZRUsbComm::ZRU_Command1B(const std::string& path, uint8_t* buf16) {
    if (buf16 == nullptr) {
        return ZR_ERR_ARGUMENT;
    }
    Transaction t;
    Begin(t, 0x1B);
    PutLe32(t.block + kCbwDataLength, 16);
    t.phase = Phase::kIn;
    t.in = buf16;
    t.length = 16;
    return IgnoredStatus(RunStandard(path, t).code);
}

int CZRUsbComm::ZRU_ReadCapability(const std::string& path, uint8_t* buf8) {
    if (buf8 == nullptr) {
        return ZR_ERR_ARGUMENT;
    }
    Transaction t;
    Begin(t, 0xAA);
    PutLe32(t.block + kCbwDataLength, 8);
    // Asked for 13 so that a device answering with its status block instead is noticed.
    const Outcome o = RunSingleIn(path, t, buf8, 8, kStatusBlockSize, ZR_ERR_DEVICE);
    return IgnoredStatus(o.code);
}

int CZRUsbComm::ZRU_Command2B(const std::string& path, uint8_t* buf4) {
    if (buf4 == nullptr) {
        return ZR_ERR_ARGUMENT;
    }
    Transaction t;
    Begin(t, 0x2B);
    PutLe32(t.block + kCbwDataLength, 4);
    const Outcome o = RunSingleIn(path, t, buf4, 4, 4, ZR_ERR_READ);
    return StatusResult(o.code, o.status.status, ZR_ERR_DEVICE_READY);
}

int CZRUsbComm::ZRU_Command01(const std::string& path, uint8_t lun, uint8_t* buf5) {
    if (buf5 == nullptr) {
        return ZR_ERR_ARGUMENT;
    }
    Transaction t;
    Begin(t, 0x01);
    t.block[kCbwLun] = lun;
    PutLe32(t.block + kCbwDataLength, 5);
    t.phase = Phase::kIn;
    t.in = buf5;
    t.length = 5;
    return IgnoredStatus(RunStandard(path, t).code);
}

int CZRUsbComm::ZRU_ReadFlashInfo(const std::string& path, uint8_t* buf512, uint32_t* outLength) {
    if (buf512 == nullptr) {
        return ZR_ERR_ARGUMENT;
    }
    Transaction t;
    Begin(t, 0x1A);
    PutLe32(t.block + kCbwDataLength, 11);
    t.phase = Phase::kIn;
    t.in = buf512;
    t.length = 512;
    t.reader = InReader::kFlashInfo;
    t.flashInfoLength = outLength;
    return IgnoredStatus(RunStandard(path, t).code);
}

int CZRUsbComm::ZRU_ReadVendorRpmb(const std::string& path, uint16_t id, uint8_t type, uint8_t* buf,
                                   uint16_t size) {
    if (buf == nullptr && size > 0) {
        return ZR_ERR_ARGUMENT;
    }
    Transaction t;
    Begin(t, 0x27);
    PutBe16(t.block + kCbwCb + 2, id);
    t.block[kCbwCb + 5] = type;
    PutCount(t.block, size);
    PutLe32(t.block + kCbwDataLength, size);
    t.phase = Phase::kIn;
    t.in = buf;
    t.length = size;
    t.waitBeforeRetryRead = true;
    t.readLogName = "ZRU_ReadVendorRpmb";
    const Outcome o = RunStandard(path, t);
    return StatusResult(o.code, o.status.status, ZR_ERR_DEVICE);
}

int CZRUsbComm::ZRU_ReadLBA(const std::string& path, uint32_t address, uint16_t count, uint8_t* buf,
                            uint8_t subCode) {
    if (buf == nullptr && count > 0) {
        return ZR_ERR_ARGUMENT;
    }
    const uint32_t bytes = static_cast<uint32_t>(count) * kSectorSize;
    Transaction t;
    Begin(t, 0x14);
    t.block[kCbwCb + 1] = subCode;
    PutAddress(t.block, address);
    PutCount(t.block, count);
    PutLe32(t.block + kCbwDataLength, bytes);
    t.phase = Phase::kIn;
    t.in = buf;
    t.length = bytes;
    t.waitBeforeRetryRead = true;
    t.readLogName = "ZRU_ReadLBA";
    const Outcome o = RunStandard(path, t);
    return StatusResult(o.code, o.status.status, ZR_ERR_DEVICE);
}

int CZRUsbComm::ZRU_ReadComData(const std::string& path, uint8_t* buf, uint16_t count) {
    if (buf == nullptr && count > 0) {
        return ZR_ERR_ARGUMENT;
    }
    Transaction t;
    Begin(t, 0x28);
    PutCount(t.block, count);
    t.phase = Phase::kIn;
    t.in = buf;
    t.length = static_cast<uint32_t>(count) * kSectorSize;
    t.waitBeforeRetryRead = true;
    t.readLogName = "ZRU_ReadComData";
    const Outcome o = RunStandard(path, t);
    return StatusResult(o.code, o.status.status, ZR_ERR_DEVICE);
}

int CZRUsbComm::ZRU_Command04(const std::string& path, uint32_t address, uint16_t count,
                              uint8_t* buf) {
    if (count > 20 || (buf == nullptr && count > 0)) {
        return ZR_ERR_ARGUMENT;
    }
    const uint32_t bytes = static_cast<uint32_t>(count) * 528;
    Transaction t;
    Begin(t, 0x04);
    PutAddress(t.block, address);
    PutCount(t.block, count);
    PutLe32(t.block + kCbwDataLength, bytes);
    t.phase = Phase::kIn;
    t.in = buf;
    t.length = bytes;
    t.reader = InReader::kCommand04;
    const Outcome o = RunStandard(path, t);
    return StatusResult(o.code, o.status.status, ZR_ERR_DEVICE);
}

int CZRUsbComm::ZRU_ResetDevice(const std::string& path, uint8_t subCode) {
    Transaction t;
    Begin(t, 0xFF);
    t.block[kCbwCb + 1] = subCode;
    const Outcome o = RunWriteRetry(path, t);
    return StatusResult(o.code, o.status.status, ZR_ERR_DEVICE);
}

int CZRUsbComm::ZRU_Command2A(const std::string& path, uint8_t value) {
    Transaction t;
    Begin(t, 0x2A);
    t.block[kCbwCb + 1] = value;
    const Outcome o = RunWriteRetry(path, t);
    return StatusResult(o.code, o.status.status, ZR_ERR_DEVICE);
}

int CZRUsbComm::ZRU_Command1E(const std::string& path, uint8_t value) {
    Transaction t;
    Begin(t, 0x1E);
    t.block[kCbwCb + 1] = value;
    const Outcome o = RunStandard(path, t);
    return StatusResult(o.code, o.status.status, ZR_ERR_DEVICE);
}

int CZRUsbComm::ZRU_Command16(const std::string& path) {
    Transaction t;
    Begin(t, 0x16);
    return IgnoredStatus(RunStandard(path, t).code);
}

int CZRUsbComm::ZRU_Command03(const std::string& path, uint8_t lun, uint32_t address,
                              uint32_t count, uint8_t* buf64) {
    if (lun > 3 || count > 512 || buf64 == nullptr) {
        return ZR_ERR_ARGUMENT;
    }
    Transaction t;
    Begin(t, 0x03);
    t.block[kCbwLun] = lun;
    PutAddress(t.block, address);
    PutCount(t.block, static_cast<uint16_t>(count));
    PutLe32(t.block + kCbwDataLength, 64);
    t.phase = Phase::kIn;
    t.in = buf64;
    t.length = 64;
    const Outcome o = RunStandard(path, t);
    return StatusResult(o.code, o.status.status, ZR_ERR_DEVICE_BLOCK);
}

int CZRUsbComm::ZRU_TestDeviceReady(const std::string& path, uint32_t* first, uint32_t* second,
                                    uint8_t subCode) {
    Transaction t;
    Begin(t, 0x00);
    t.block[kCbwCb + 1] = subCode;
    const Outcome o = RunStandard(path, t);
    const int result = StatusResult(o.code, o.status.status, ZR_ERR_DEVICE_READY);
    if (result != 0) {
        return result;
    }
    if (first != nullptr) {
        if (second != nullptr) {
            *first = GetBe16(o.status.residue);
            *second = GetBe16(o.status.residue + 2);
        } else {
            *first = GetBe32(o.status.residue);
        }
    }
    return 0;
}

int CZRUsbComm::ZRU_WriteVendorRpmb(const std::string& path, uint16_t id, uint8_t type,
                                    const uint8_t* buf, uint16_t size) {
    if (buf == nullptr && size > 0) {
        return ZR_ERR_ARGUMENT;
    }
    Transaction t;
    Begin(t, 0x26);
    PutBe16(t.block + kCbwCb + 2, id);
    t.block[kCbwCb + 5] = type;
    PutCount(t.block, size);
    PutLe32(t.block + kCbwDataLength, size);
    t.phase = Phase::kOut;
    t.out = buf;
    t.length = size;
    const Outcome o = RunStandard(path, t);
    return StatusResult(o.code, o.status.status, ZR_ERR_DEVICE);
}

int CZRUsbComm::ZRU_WriteLBA(const std::string& path, uint32_t address, uint16_t count,
                             const uint8_t* buf, uint8_t subCode) {
    if (buf == nullptr && count > 0) {
        return ZR_ERR_ARGUMENT;
    }
    const uint32_t bytes = static_cast<uint32_t>(count) * kSectorSize;
    Transaction t;
    Begin(t, 0x15);
    t.block[kCbwCb + 1] = subCode;
    PutAddress(t.block, address);
    PutCount(t.block, count);
    PutLe32(t.block + kCbwDataLength, bytes);
    if (ChecksumFlag() != 0) {
        t.block[kCbwCbLength] = 13;
        PutLe32(t.block + kCbwCb + 9, count > 0 ? SectorChecksum(buf, count) : 0);
    }
    t.phase = Phase::kOut;
    t.out = buf;
    t.length = bytes;
    const Outcome o = RunStandard(path, t);
    if (o.code == 0 && o.status.status == 2) {
        return ZR_ERR_DEVICE_WRITE2;
    }
    return StatusResult(o.code, o.status.status, ZR_ERR_DEVICE);
}

int CZRUsbComm::ZRU_Command05(const std::string& path, uint32_t address, uint16_t count,
                              const uint8_t* buf) {
    if (count > 20 || (buf == nullptr && count > 0)) {
        return ZR_ERR_ARGUMENT;
    }
    const uint32_t bytes = static_cast<uint32_t>(count) * 528;
    Transaction t;
    Begin(t, 0x05);
    PutAddress(t.block, address);
    PutCount(t.block, count);
    PutLe32(t.block + kCbwDataLength, bytes);
    t.phase = Phase::kOut;
    t.out = buf;
    t.length = bytes;
    const Outcome o = RunStandard(path, t);
    return StatusResult(o.code, o.status.status, ZR_ERR_DEVICE);
}

int CZRUsbComm::ZRU_Command20(const std::string& path, uint8_t* buf, uint16_t size) {
    if (buf == nullptr && size > 0) {
        return ZR_ERR_ARGUMENT;
    }
    Transaction t;
    Begin(t, 0x20);
    PutLe32(t.block + kCbwDataLength, size);
    t.phase = Phase::kIn;
    t.in = buf;
    t.length = size;
    return IgnoredStatus(RunStandard(path, t).code);
}

int CZRUsbComm::ZRU_Command1F(const std::string& path, const uint8_t* buf, uint16_t size) {
    if (buf == nullptr && size > 0) {
        return ZR_ERR_ARGUMENT;
    }
    Transaction t;
    Begin(t, 0x1F);
    PutCount(t.block, size);
    PutLe32(t.block + kCbwDataLength, size);
    t.phase = Phase::kOut;
    t.out = buf;
    t.length = size;
    const Outcome o = RunStandard(path, t);
    return StatusResult(o.code, o.status.status, ZR_ERR_DEVICE);
}

int CZRUsbComm::ZRU_Command18(const std::string& path, const uint8_t* buf, uint16_t size) {
    if (buf == nullptr && size > 0) {
        return ZR_ERR_ARGUMENT;
    }
    Transaction t;
    Begin(t, 0x18);
    t.block[kCbwCb + 1] = 0xAA;
    PutCount(t.block, size);
    PutLe32(t.block + kCbwDataLength, size);
    t.phase = Phase::kOut;
    t.out = buf;
    t.length = size;
    const Outcome o = RunStandard(path, t);
    return StatusResult(o.code, o.status.status, ZR_ERR_DEVICE);
}

int CZRUsbComm::ZRU_Command21(const std::string& path, uint32_t address, uint32_t size,
                              uint8_t* buf) {
    const uint16_t phase = static_cast<uint16_t>(size);
    if (buf == nullptr && phase > 0) {
        return ZR_ERR_ARGUMENT;
    }
    Transaction t;
    Begin(t, 0x21);
    PutAddress(t.block, address);
    PutCount(t.block, phase);
    PutLe32(t.block + kCbwDataLength, size);
    t.phase = Phase::kIn;
    t.in = buf;
    t.length = phase;
    const Outcome o = RunStandard(path, t);
    return StatusResult(o.code, o.status.status, ZR_ERR_DEVICE);
}

int CZRUsbComm::ZRU_Command22(const std::string& path, uint32_t address, uint32_t size,
                              const uint8_t* buf) {
    const uint16_t phase = static_cast<uint16_t>(size);
    if (buf == nullptr && phase > 0) {
        return ZR_ERR_ARGUMENT;
    }
    Transaction t;
    Begin(t, 0x22);
    PutAddress(t.block, address);
    PutCount(t.block, phase);
    PutLe32(t.block + kCbwDataLength, size);
    t.phase = Phase::kOut;
    t.out = buf;
    t.length = phase;
    const Outcome o = RunStandard(path, t);
    return StatusResult(o.code, o.status.status, ZR_ERR_DEVICE);
}

int CZRUsbComm::ZRU_Command24(const std::string& path, uint16_t address, uint16_t size,
                              uint8_t* buf, uint8_t mode) {
    if (buf == nullptr && (mode == 2 || size > 0)) {
        return ZR_ERR_ARGUMENT;
    }
    Transaction t;
    Begin(t, 0x24);
    t.block[kCbwCb + 1] = mode;
    PutLe32(t.block + kCbwDataLength, size);
    if (mode == 2) {
        const Outcome o = RunStandard(path, t);
        if (o.code < 0) {
            return o.code;
        }
        if (o.status.status > 1) {
            return ZR_ERR_DEVICE;
        }
        const uint32_t state = o.status.status;
        std::memcpy(buf, &state, sizeof(state));
        return 0;
    }
    if (mode != 0) {
        PutAddress(t.block, address);
    }
    PutCount(t.block, size);
    t.phase = Phase::kIn;
    t.in = buf;
    t.length = size;
    const Outcome o = RunStandard(path, t);
    return StatusResult(o.code, o.status.status, ZR_ERR_DEVICE);
}

int CZRUsbComm::ZRU_Command23(const std::string& path, uint16_t address, uint16_t size,
                              const uint8_t* buf, uint8_t mode) {
    if (buf == nullptr && size > 0) {
        return ZR_ERR_ARGUMENT;
    }
    Transaction t;
    Begin(t, 0x23);
    t.block[kCbwCb + 1] = mode;
    if (mode == 0) {
        PutBe16(t.block + kCbwCb + 13, address);
    } else {
        PutAddress(t.block, address);
    }
    PutCount(t.block, size);
    PutLe32(t.block + kCbwDataLength, size);
    t.phase = Phase::kOut;
    t.out = buf;
    t.length = size;
    const Outcome o = RunStandard(path, t);
    return StatusResult(o.code, o.status.status, ZR_ERR_DEVICE);
}

int CZRUsbComm::ZRU_Command19(const std::string& path) {
    Transaction t;
    Begin(t, 0x19);
    t.block[kCbwCb + 1] = 0xAA;
    const Outcome o = RunStandard(path, t);
    return StatusResult(o.code, o.status.status, ZR_ERR_DEVICE);
}

int CZRUsbComm::ZRU_Command25(const std::string& path, uint32_t address, uint16_t count) {
    Transaction t;
    Begin(t, 0x25);
    PutAddress(t.block, address);
    PutCount(t.block, count);
    const Outcome o = RunStandard(path, t);
    return StatusResult(o.code, o.status.status, ZR_ERR_DEVICE);
}
