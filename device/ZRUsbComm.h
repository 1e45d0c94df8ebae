// The loader command set over the device's two bulk pipes.
#pragma once

#include <cstdint>
#include <string>

#include "device/BulkPipes.h"
#include "device/ZRComm.h"
#include "device/ZRTransport.h"
#include "support/Clock.h"
#include "support/Logger.h"

// Returns both bulk pipes of the device at path to a usable state: checks that the device can be
// opened (mode 2), then asks the pipes layer to reset them. 1 on success, 0 on failure; writes
// one line to logSink (may be null) either way.
int ZRU_ResetPipe(IBulkPipes& pipes, const std::string& path, uint8_t pipe, CLoggerBase* logSink);

// Every command is one bulk-only transaction: command block on the OUT pipe, optional data phase,
// status block from the IN pipe. Pipes are opened per transaction and closed again; between calls
// nothing is held open. The object is meant for one thread at a time (its tag generator is its
// only changing state); give each thread its own.
class CZRUsbComm final : public CZRComm {
  public:
    // Milliseconds waited before the second attempt of a transaction, and before the data read
    // of the second attempt of a sector or item read.
    static constexpr uint32_t kRetryWaitMs = 2000;
    static constexpr uint32_t kRetryReadWaitMs = 1000;
    // A status read that times out after a data phase is asked again until this much per MiB
    // of the phase has passed since the status read began (a loader may program flash first).
    static constexpr uint32_t kStatusGraceMsPerMiB = 1000;
    static uint64_t StatusGraceMs(uint32_t dataPhaseBytes);
    static constexpr int kMaxStatusReads = 16;  // a bound also for a pipe that times out at once
    // Pipe names are built in a 260-unit buffer: path + 7-character suffix + terminator.
    static constexpr size_t kMaxPipeName = 260;
    static constexpr size_t kPipeSuffixLength = 7;

    CZRUsbComm(CLoggerBase* logSink, int checksumFlag, IBulkPipes& pipes,
               IClock& clock = SystemClock());
    CZRUsbComm(CLoggerBase* logSink, int checksumFlag, IBulkPipes& pipes, IClock& clock,
               uint32_t tagSeed);

    int ZRU_BlockCommand(const std::string& path, uint8_t lun, uint32_t address, uint32_t count,
                         uint8_t opcode) override;
    int ZRU_Command1B(const std::string& path, uint8_t* buf16) override;
    int ZRU_ReadCapability(const std::string& path, uint8_t* buf8) override;
    int ZRU_Command2B(const std::string& path, uint8_t* buf4) override;
    int ZRU_Command01(const std::string& path, uint8_t lun, uint8_t* buf5) override;
    int ZRU_ReadFlashInfo(const std::string& path, uint8_t* buf512, uint32_t* outLength) override;
    int ZRU_ReadVendorRpmb(const std::string& path, uint16_t id, uint8_t type, uint8_t* buf,
                           uint16_t size) override;
    int ZRU_ReadLBA(const std::string& path, uint32_t address, uint16_t count, uint8_t* buf,
                    uint8_t subCode) override;
    int ZRU_ReadComData(const std::string& path, uint8_t* buf, uint16_t count) override;
    int ZRU_Command04(const std::string& path, uint32_t address, uint16_t count,
                      uint8_t* buf) override;
    int ZRU_ResetDevice(const std::string& path, uint8_t subCode) override;
    int ZRU_Command2A(const std::string& path, uint8_t value) override;
    int ZRU_Command1E(const std::string& path, uint8_t value) override;
    int ZRU_Command16(const std::string& path) override;
    int ZRU_Command03(const std::string& path, uint8_t lun, uint32_t address, uint32_t count,
                      uint8_t* buf64) override;
    int ZRU_TestDeviceReady(const std::string& path, uint32_t* first, uint32_t* second,
                            uint8_t subCode) override;
    int ZRU_WriteVendorRpmb(const std::string& path, uint16_t id, uint8_t type, const uint8_t* buf,
                            uint16_t size) override;
    int ZRU_WriteLBA(const std::string& path, uint32_t address, uint16_t count, const uint8_t* buf,
                     uint8_t subCode) override;
    int ZRU_Command05(const std::string& path, uint32_t address, uint16_t count,
                      const uint8_t* buf) override;
    int ZRU_Command20(const std::string& path, uint8_t* buf, uint16_t size) override;
    int ZRU_Command1F(const std::string& path, const uint8_t* buf, uint16_t size) override;
    int ZRU_Command18(const std::string& path, const uint8_t* buf, uint16_t size) override;
    int ZRU_Command21(const std::string& path, uint32_t address, uint32_t size,
                      uint8_t* buf) override;
    int ZRU_Command22(const std::string& path, uint32_t address, uint32_t size,
                      const uint8_t* buf) override;
    int ZRU_Command24(const std::string& path, uint16_t address, uint16_t size, uint8_t* buf,
                      uint8_t mode) override;
    int ZRU_Command23(const std::string& path, uint16_t address, uint16_t size, const uint8_t* buf,
                      uint8_t mode) override;
    int ZRU_Command19(const std::string& path) override;
    int ZRU_Command25(const std::string& path, uint32_t address, uint16_t count) override;
    int ZRU_Open(const std::string& path, int mode) override;
    void ZRU_Close(int handle) override;
    int ZRU_Write(int handle, const uint8_t* buf, uint32_t size) override;
    int ZRU_Read(int handle, uint8_t* buf, uint32_t size) override;

  private:
    enum class Phase { kNone, kIn, kOut };
    enum class InReader { kExact, kFlashInfo, kCommand04 };

    // One transaction's description.
    struct Transaction {
        uint8_t block[zr::kCommandBlockSize] = {};
        Phase phase = Phase::kNone;
        uint8_t* in = nullptr;
        const uint8_t* out = nullptr;
        uint32_t length = 0;  // bytes of the data phase
        InReader reader = InReader::kExact;
        bool waitBeforeRetryRead = false;   // sector and item reads
        const char* readLogName = nullptr;  // command name for the data-read failure lines
        uint32_t* flashInfoLength = nullptr;
    };
    // The outcome of a transaction: a negative transport code, or a good status block.
    struct Outcome {
        int code = 0;        // < 0: failure code; 0: status block good
        bool final = false;  // code is the command's result as it stands (no mapping)
        zr::StatusBlock status;
    };

    void Begin(Transaction& t, uint8_t opcode);
    Outcome RunStandard(const std::string& path, Transaction& t);
    Outcome Attempt(const std::string& path, Transaction& t, bool second);
    Outcome RunWriteRetry(const std::string& path, Transaction& t);
    Outcome RunSingleIn(const std::string& path, const Transaction& t, uint8_t* out, size_t want,
                        size_t ask, int shortCode);
    bool ReadStatus(int handle, const Transaction& t, Outcome& o);
    void Log(const char* format, ...) KS_PRINTF_LIKE(2, 3);

    IBulkPipes& pipes_;
    IClock& clock_;
    zr::TagSource tags_;
};
