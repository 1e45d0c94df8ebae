// The key area's place on a board whose sectors come from the input: the partition table (a GPT
// or a parameter file at sector 0 or 8192) is read through the board's sector reads, parsed, and
// misc's last 128 sectors located. Also the two parsers on the raw bytes.
//
// Input: one byte (bit 0: the bytes start at sector 8192, sectors 0 and 1 read as zeros; bits
// 4-7: which sector read fails, 0 for none), then the board's sectors.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "provision/MiscLocation.h"
#include "tests/fuzz/FuzzSupport.h"

namespace {

constexpr uint32_t kAltSector = misc_location::kParameterAltSector;

class SectorBoard final : public fuzz::SilentBoard {
  public:
    SectorBoard(std::vector<uint8_t> bytes, uint32_t firstSector, int failingRead)
        : bytes_(std::move(bytes)), firstSector_(firstSector), failingRead_(failingRead) {}

    int ZRU_ReadLBA(const std::string&, uint32_t address, uint16_t count, uint8_t* buf,
                    uint8_t) override {
        ++reads_;
        if (reads_ == failingRead_) {
            return ZR_ERR_READ;
        }
        // The whole request is written, as a real transfer would, so that ASan sees a buffer
        // smaller than the count.
        std::memset(buf, 0, size_t{count} * misc_location::kSectorBytes);
        if (address < firstSector_) {
            return 0;
        }
        const size_t from = size_t{address - firstSector_} * misc_location::kSectorBytes;
        if (from < bytes_.size()) {
            const size_t n = std::min(bytes_.size() - from, size_t{count} * 512);
            std::memcpy(buf, bytes_.data() + from, n);
        }
        return 0;
    }

  private:
    std::vector<uint8_t> bytes_;
    uint32_t firstSector_;
    int failingRead_;
    int reads_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Reader in(data, size);
    const uint8_t mode = in.U8();
    std::vector<uint8_t> sectors = in.Rest();

    std::vector<PartitionEntry> list;
    ParseGpt(&list, sectors.data(), sectors.size());
    FUZZ_CHECK(list.size() <= misc_location::kGptMaxEntries);
    ParseParameter(reinterpret_cast<const char*>(sectors.data()), sectors.size(), &list);

    fuzz::DropLog log;
    SectorBoard board(std::move(sectors), (mode & 1) != 0 ? kAltSector : 0, mode >> 4);
    const int32_t offset = GetKeyMiscOffset("/dev/bus/usb/001/002", &board, &log);
    FUZZ_CHECK(offset >= -1);
    // Every refusal says why in one line.
    FUZZ_CHECK(offset >= 0 || log.lines >= 1);
    return 0;
}
