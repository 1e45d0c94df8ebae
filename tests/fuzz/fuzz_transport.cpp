// The loader transport against a scripted board: every pipe open, write and read is answered from
// the input (failures, short and long reads, good status blocks for the command just sent, raw
// bytes where a status block is due), while up to four of the 32 loader commands run with
// arguments from the input. Buffers are exactly as large as each command's contract says.
//
// Input: one byte (bit 0: sector writes carry a checksum; bit 1: a path at the name limit), then
// for each command its slot and arguments, interleaved with the board's answers as they are asked.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "device/BulkPipes.h"
#include "device/ZRTransport.h"
#include "device/ZRUsbComm.h"
#include "tests/fuzz/FuzzSupport.h"

namespace {

class ScriptedBoard final : public IBulkPipes {
  public:
    explicit ScriptedBoard(fuzz::Reader& in) : in_(in) {}

    int Open(const std::string&, int, int* sysError) override {
        if ((in_.U8() & 0x0F) == 0x0F) {
            *sysError = 19;  // ENODEV
            return kInvalidHandle;
        }
        return ++handles_;
    }
    void Close(int) override {}
    long Write(int, const uint8_t* data, size_t size, int* sysError) override {
        if (size == zr::kCommandBlockSize) {
            lastTag_ = zr::GetLe32(data + zr::kCbwTag);
        }
        switch (in_.U8() % 8) {
            case 0:
                *sysError = 110;  // ETIMEDOUT
                return -1;
            case 1:
                return static_cast<long>(size / 2);
            default:
                return static_cast<long>(size);
        }
    }
    long Read(int, uint8_t* data, size_t size, int* sysError) override {
        switch (in_.U8() % 8) {
            case 0:
                *sysError = 32;  // EPIPE
                return -1;
            case 1: {
                // A status block for the command just sent, residue and status from the input.
                uint8_t csw[zr::kStatusBlockSize];
                const uint32_t residue = in_.U32();
                zr::BuildStatusBlock(csw, lastTag_, residue, in_.U8() % 4);
                const size_t n = std::min(size, sizeof csw);
                if (n > 0) {
                    std::memcpy(data, csw, n);
                }
                return static_cast<long>(n);
            }
            case 2: {
                const size_t n = in_.U8() % (size + 1);  // short
                in_.Fill(data, n);
                return static_cast<long>(n);
            }
            case 3:
                // Longer than asked: the board sent more than the transfer could take.
                in_.Fill(data, size);
                return static_cast<long>(size + 1 + in_.U8());
            default:
                if (size > 0) {
                    std::memset(data, 0, size);
                }
                in_.Fill(data, size);
                return static_cast<long>(size);
        }
    }
    bool ResetPipe(int, uint8_t, int* sysError) override {
        if ((in_.U8() & 1) != 0) {
            *sysError = 5;
            return false;
        }
        return true;
    }

  private:
    fuzz::Reader& in_;
    int handles_ = 0;
    uint32_t lastTag_ = 0;
};

bool KnownResult(int r) {
    return r == ZR_OK || (r <= ZR_ERR_OPEN_OUT && r >= ZR_ERR_ARGUMENT) ||
           r == ZR_ERR_DEVICE_WRITE2;
}

// Runs the command in slot with arguments from the input; returns its result code.
int RunCommand(CZRUsbComm& comm, const std::string& path, fuzz::Reader& in, uint8_t slot) {
    std::vector<uint8_t> buf;
    auto out = [&](size_t n) -> const uint8_t* {
        buf = in.Bytes(n);
        buf.resize(n);
        return buf.data();
    };
    auto room = [&](size_t n) -> uint8_t* {
        buf.assign(n, 0);
        return buf.data();
    };
    switch (slot) {
        case 0: {
            const uint8_t lun = in.U8();
            const uint32_t address = in.U32();
            const uint32_t count = in.U8() % 20;
            const int r = comm.ZRU_BlockCommand(path, lun, address, count, in.U8());
            FUZZ_CHECK(count <= 16 || r == ZR_ERR_ARGUMENT);
            return r;
        }
        case 1:
            return comm.ZRU_Command1B(path, room(16));
        case 2:
            return comm.ZRU_ReadCapability(path, room(8));
        case 3:
            return comm.ZRU_Command2B(path, room(4));
        case 4:
            return comm.ZRU_Command01(path, in.U8(), room(5));
        case 5: {
            uint32_t length = 0;
            const int r = comm.ZRU_ReadFlashInfo(path, room(512), &length);
            FUZZ_CHECK(r != 0 || (length >= 11 && length <= 512));
            return r;
        }
        case 6: {
            const uint16_t id = in.U16();
            const uint16_t size = in.U16() % 4096;
            return comm.ZRU_ReadVendorRpmb(path, id, in.U8(), room(size), size);
        }
        case 7: {
            const uint32_t address = in.U32();
            const uint16_t count = in.U8() % 9;
            return comm.ZRU_ReadLBA(path, address, count, room(count * 512u), in.U8());
        }
        case 8: {
            const uint16_t count = in.U8() % 9;
            return comm.ZRU_ReadComData(path, room(count * 512u), count);
        }
        case 9: {
            const uint32_t address = in.U32();
            const uint16_t count = in.U8() % 24;
            const int r = comm.ZRU_Command04(path, address, count, room(count * 528u));
            FUZZ_CHECK(count <= 20 || r == ZR_ERR_ARGUMENT);
            return r;
        }
        case 10:
            return comm.ZRU_ResetDevice(path, in.U8());
        case 11:
            return comm.ZRU_Command2A(path, in.U8());
        case 12:
            return comm.ZRU_Command1E(path, in.U8());
        case 13:
            return comm.ZRU_Command16(path);
        case 14: {
            const uint8_t lun = in.U8() % 5;
            const uint32_t address = in.U32();
            const uint32_t count = in.U16() % 600;
            const int r = comm.ZRU_Command03(path, lun, address, count, room(64));
            FUZZ_CHECK((lun <= 3 && count <= 512) || r == ZR_ERR_ARGUMENT);
            return r;
        }
        case 15: {
            uint32_t first = 0;
            uint32_t second = 0;
            const uint8_t shape = in.U8() % 3;
            return comm.ZRU_TestDeviceReady(path, shape > 0 ? &first : nullptr,
                                            shape > 1 ? &second : nullptr, in.U8());
        }
        case 16: {
            const uint16_t id = in.U16();
            const uint16_t size = in.U16() % 2048;
            return comm.ZRU_WriteVendorRpmb(path, id, in.U8(), out(size), size);
        }
        case 17: {
            const uint32_t address = in.U32();
            const uint16_t count = in.U8() % 9;
            return comm.ZRU_WriteLBA(path, address, count, out(count * 512u), in.U8());
        }
        case 18: {
            const uint32_t address = in.U32();
            const uint16_t count = in.U8() % 24;
            const int r = comm.ZRU_Command05(path, address, count, out(count * 528u));
            FUZZ_CHECK(count <= 20 || r == ZR_ERR_ARGUMENT);
            return r;
        }
        case 19: {
            const uint16_t size = in.U16() % 2048;
            return comm.ZRU_Command20(path, room(size), size);
        }
        case 20: {
            const uint16_t size = in.U16() % 2048;
            return comm.ZRU_Command1F(path, out(size), size);
        }
        case 21: {
            const uint16_t size = in.U16() % 2048;
            return comm.ZRU_Command18(path, out(size), size);
        }
        case 22: {
            const uint32_t address = in.U32();
            const uint32_t size = in.U32();
            return comm.ZRU_Command21(path, address, size, room(static_cast<uint16_t>(size)));
        }
        case 23: {
            const uint32_t address = in.U32();
            const uint32_t size = in.U32();
            return comm.ZRU_Command22(path, address, size, out(static_cast<uint16_t>(size)));
        }
        case 24: {
            const uint16_t address = in.U16();
            const uint16_t size = in.U16() % 2048;
            const uint8_t mode = in.U8() % 4;
            return comm.ZRU_Command24(path, address, size, room(mode == 2 ? 4 : size), mode);
        }
        case 25: {
            const uint16_t address = in.U16();
            const uint16_t size = in.U16() % 2048;
            return comm.ZRU_Command23(path, address, size, out(size), in.U8() % 4);
        }
        case 26:
            return comm.ZRU_Command19(path);
        case 27: {
            const uint32_t address = in.U32();
            return comm.ZRU_Command25(path, address, in.U16());
        }
        case 28: {
            const int handle = comm.ZRU_Open(path, in.U8() % 4);
            if (handle != CZRComm::kInvalidHandle) {
                comm.ZRU_Close(handle);
            }
            return 0;
        }
        case 29:
            comm.ZRU_Close(in.U8());
            return 0;
        case 30: {
            const uint32_t size = in.U8();
            const int r = comm.ZRU_Write(in.U8(), out(size), size);
            FUZZ_CHECK(r == 0 || r == 1);
            return 0;
        }
        default: {
            const uint32_t size = in.U8();
            const int r = comm.ZRU_Read(in.U8(), room(size), size);
            FUZZ_CHECK(r == 0 || r == 1);
            return 0;
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Reader in(data, size);
    const uint8_t flags = in.U8();
    const std::string path = (flags & 2) != 0 ? "/dev/bus/usb/" + std::string(240, 'x') + "/002"
                                              : "/dev/bus/usb/001/002";
    ScriptedBoard board(in);
    fuzz::VirtualClock clock;
    fuzz::DropLog log;
    CZRUsbComm comm(&log, flags & 1, board, clock, 0x2545F491u);
    for (int i = 0; i < 4 && !in.Empty(); ++i) {
        const int r = RunCommand(comm, path, in, in.U8() % 32);
        FUZZ_CHECK(KnownResult(r));
    }
    // Each command waits at most once before its one retry.
    FUZZ_CHECK(clock.NowMs() <=
               1000 + 4 * (CZRUsbComm::kRetryWaitMs + CZRUsbComm::kRetryReadWaitMs));
    return 0;
}
