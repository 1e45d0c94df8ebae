// The loader device command interface. Every command names the device by its interface path and
// returns 0 on success or a negative result code (see ZRResult below). The object keeps only its
// log sink and checksum flag; it holds no device state between calls.
#pragma once

#include <cstdint>
#include <string>

#include "support/Logger.h"

// Result codes shared by all commands.
enum ZRResult : int {
    ZR_OK = 0,
    ZR_ERR_OPEN_OUT = -1,        // OUT pipe could not be opened (never retried)
    ZR_ERR_OPEN_IN = -2,         // IN pipe could not be opened (never retried)
    ZR_ERR_WRITE = -3,           // command block or outgoing data not written completely
    ZR_ERR_READ = -4,            // incoming data or status block not read completely
    ZR_ERR_STATUS_BLOCK = -5,    // status block signature or tag wrong
    ZR_ERR_DEVICE_READY = -6,    // device failure: test ready, command 0x2B
    ZR_ERR_DEVICE_BLOCK = -7,    // device failure: block command, command 0x03
    ZR_ERR_DEVICE = -8,          // device failure: most commands
    ZR_ERR_ARGUMENT = -9,        // length or count outside the command's limit; nothing sent
    ZR_ERR_DEVICE_WRITE2 = -14,  // status 2 of the sector write
};

class CZRComm {
  public:
    // logSink may be null (then nothing is logged). checksumFlag non-zero makes sector writes
    // carry an additive checksum of their data in the command block.
    CZRComm(CLoggerBase* logSink, int checksumFlag)
        : logSink_(logSink), checksumFlag_(checksumFlag) {}
    virtual ~CZRComm() = default;
    CZRComm(const CZRComm&) = delete;
    CZRComm& operator=(const CZRComm&) = delete;

    CLoggerBase* LogSink() const { return logSink_; }
    int ChecksumFlag() const { return checksumFlag_; }

    static constexpr int kInvalidHandle = -1;

    // Slot 0: caller-chosen opcode, no data phase. count at most 16.
    virtual int ZRU_BlockCommand(const std::string& path, uint8_t lun, uint32_t address,
                                 uint32_t count, uint8_t opcode) = 0;
    // Slot 1: 0x1B, 16 bytes in.
    virtual int ZRU_Command1B(const std::string& path, uint8_t* buf16) = 0;
    // Slot 2: 0xAA, exactly 8 bytes in; buf8[0] bit 0x10 = vendor storage / RPMB readable.
    virtual int ZRU_ReadCapability(const std::string& path, uint8_t* buf8) = 0;
    // Slot 3: 0x2B, exactly 4 bytes in.
    virtual int ZRU_Command2B(const std::string& path, uint8_t* buf4) = 0;
    // Slot 4: 0x01, 5 bytes in.
    virtual int ZRU_Command01(const std::string& path, uint8_t lun, uint8_t* buf5) = 0;
    // Slot 5: 0x1A, 11..512 bytes in; buf512 must hold 512 bytes; outLength may be null.
    virtual int ZRU_ReadFlashInfo(const std::string& path, uint8_t* buf512,
                                  uint32_t* outLength) = 0;
    // Slot 6: 0x27, read a vendor item (header + data) of exactly size bytes.
    virtual int ZRU_ReadVendorRpmb(const std::string& path, uint16_t id, uint8_t type, uint8_t* buf,
                                   uint16_t size) = 0;
    // Slot 7: 0x14, count 512-byte sectors from sector address.
    virtual int ZRU_ReadLBA(const std::string& path, uint32_t address, uint16_t count, uint8_t* buf,
                            uint8_t subCode) = 0;
    // Slot 8: 0x28, count sectors in.
    virtual int ZRU_ReadComData(const std::string& path, uint8_t* buf, uint16_t count) = 0;
    // Slot 9: 0x04, count (at most 20) raw 528-byte sectors in.
    virtual int ZRU_Command04(const std::string& path, uint32_t address, uint16_t count,
                              uint8_t* buf) = 0;
    // Slot 10: 0xFF, reset the device. -2 / -4 may mean the device left the bus before answering.
    virtual int ZRU_ResetDevice(const std::string& path, uint8_t subCode) = 0;
    // Slot 11: 0x2A.
    virtual int ZRU_Command2A(const std::string& path, uint8_t value) = 0;
    // Slot 12: 0x1E.
    virtual int ZRU_Command1E(const std::string& path, uint8_t value) = 0;
    // Slot 13: 0x16.
    virtual int ZRU_Command16(const std::string& path) = 0;
    // Slot 14: 0x03, 64 bytes in. lun at most 3, count at most 512.
    virtual int ZRU_Command03(const std::string& path, uint8_t lun, uint32_t address,
                              uint32_t count, uint8_t* buf64) = 0;
    // Slot 15: 0x00, test unit ready. Outputs from the status residue: both pointers given =
    // two big-endian 16-bit halves; only first = big-endian 32-bit value; first null = nothing.
    virtual int ZRU_TestDeviceReady(const std::string& path, uint32_t* first, uint32_t* second,
                                    uint8_t subCode) = 0;
    // Slot 16: 0x26, write a vendor item of size bytes.
    virtual int ZRU_WriteVendorRpmb(const std::string& path, uint16_t id, uint8_t type,
                                    const uint8_t* buf, uint16_t size) = 0;
    // Slot 17: 0x15, count 512-byte sectors to sector address.
    virtual int ZRU_WriteLBA(const std::string& path, uint32_t address, uint16_t count,
                             const uint8_t* buf, uint8_t subCode) = 0;
    // Slot 18: 0x05, count (at most 20) raw 528-byte sectors out.
    virtual int ZRU_Command05(const std::string& path, uint32_t address, uint16_t count,
                              const uint8_t* buf) = 0;
    // Slot 19: 0x20, size bytes in.
    virtual int ZRU_Command20(const std::string& path, uint8_t* buf, uint16_t size) = 0;
    // Slot 20: 0x1F, size bytes out.
    virtual int ZRU_Command1F(const std::string& path, const uint8_t* buf, uint16_t size) = 0;
    // Slot 21: 0x18, size bytes out.
    virtual int ZRU_Command18(const std::string& path, const uint8_t* buf, uint16_t size) = 0;
    // Slot 22: 0x21, (size mod 65536) bytes in.
    virtual int ZRU_Command21(const std::string& path, uint32_t address, uint32_t size,
                              uint8_t* buf) = 0;
    // Slot 23: 0x22, (size mod 65536) bytes out.
    virtual int ZRU_Command22(const std::string& path, uint32_t address, uint32_t size,
                              const uint8_t* buf) = 0;
    // Slot 24: 0x24, size bytes in; mode 2 has no data phase and reports the device's status
    // 0/1 in the buffer's first 32-bit word (buf must then hold 4 bytes).
    virtual int ZRU_Command24(const std::string& path, uint16_t address, uint16_t size,
                              uint8_t* buf, uint8_t mode) = 0;
    // Slot 25: 0x23, size bytes out.
    virtual int ZRU_Command23(const std::string& path, uint16_t address, uint16_t size,
                              const uint8_t* buf, uint8_t mode) = 0;
    // Slot 26: 0x19.
    virtual int ZRU_Command19(const std::string& path) = 0;
    // Slot 27: 0x25.
    virtual int ZRU_Command25(const std::string& path, uint32_t address, uint16_t count) = 0;
    // Slot 28: open a pipe (0 = IN, 1 = OUT, 2 = the device); kInvalidHandle on failure.
    virtual int ZRU_Open(const std::string& path, int mode) = 0;
    // Slot 29.
    virtual void ZRU_Close(int handle) = 0;
    // Slot 30: 1 when exactly size bytes were written in one call, else 0.
    virtual int ZRU_Write(int handle, const uint8_t* buf, uint32_t size) = 0;
    // Slot 31: 1 when exactly size bytes were read in one call, else 0.
    virtual int ZRU_Read(int handle, uint8_t* buf, uint32_t size) = 0;

  private:
    CLoggerBase* const logSink_;
    const int checksumFlag_;
};
