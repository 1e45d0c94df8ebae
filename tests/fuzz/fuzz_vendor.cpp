// Vendor storage as a board whose readiness, capability bytes and vendor item come from the
// input: the item read, the serial number made text and checked, the RKP file name formed from
// it; and the vendor sector's keybox records built into and judged on a sector from the input.
//
// Input: readiness byte, 8 capability bytes, item id (2), caller's capacity (2), file-name
// pattern (1), time (6), key size (2), then the item as the board sends it (also the sector).
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "provision/RkpExport.h"
#include "provision/VendorStorage.h"
#include "support/TextCodec.h"
#include "tests/fuzz/FuzzSupport.h"

namespace {

class VendorBoard final : public fuzz::SilentBoard {
  public:
    VendorBoard(uint8_t ready, const std::vector<uint8_t>& capability, std::vector<uint8_t> item)
        : ready_(ready), capability_(capability), item_(std::move(item)) {}

    int ZRU_TestDeviceReady(const std::string&, uint32_t* first, uint32_t* second,
                            uint8_t) override {
        if ((ready_ & 1) != 0) {
            return ZR_ERR_DEVICE_READY;
        }
        *first = ready_;
        *second = ready_ >> 4;
        return 0;
    }
    int ZRU_ReadCapability(const std::string&, uint8_t* buf8) override {
        if ((ready_ & 2) != 0) {
            return ZR_ERR_DEVICE;
        }
        std::memset(buf8, 0, 8);
        if (!capability_.empty()) {
            std::memcpy(buf8, capability_.data(), std::min<size_t>(8, capability_.size()));
        }
        return 0;
    }
    int ZRU_ReadVendorRpmb(const std::string&, uint16_t, uint8_t, uint8_t* buf,
                           uint16_t size) override {
        if ((ready_ & 4) != 0) {
            return ZR_ERR_READ;
        }
        if (size > 0) {
            std::memset(buf, 0, size);
        }
        if (size > 0 && !item_.empty()) {
            std::memcpy(buf, item_.data(), std::min<size_t>(size, item_.size()));
        }
        return 0;
    }

  private:
    uint8_t ready_;
    std::vector<uint8_t> capability_;
    std::vector<uint8_t> item_;
};

void CheckSerialAndFileName(const uint8_t* bytes, size_t length, int32_t pattern,
                            const RkpTime& time) {
    const std::string sn = SnBytesToText(bytes, length);
    FUZZ_CHECK(ks::IsValidUtf8(sn));
    FUZZ_CHECK(sn.find('\0') == std::string::npos);
    if (!IsSnTextValid(sn)) {
        return;
    }
    const std::string folder = "/srv/rkp/";
    std::string path;
    if (!FormatRkpPath(folder, sn, pattern, time, &path)) {
        return;
    }
    // A valid serial number never leads the file out of its folder.
    FUZZ_CHECK(path.compare(0, folder.size(), folder) == 0);
    const std::string name = path.substr(folder.size());
    FUZZ_CHECK(name.find('/') == std::string::npos);
    FUZZ_CHECK(name != "." && name != "..");
    FUZZ_CHECK(name.size() > sn.size());
}

void CheckRecords(const std::vector<uint8_t>& item, size_t keySize) {
    uint8_t sector[vendor::kSectorBytes] = {};
    if (!item.empty()) {
        std::memcpy(sector, item.data(), std::min(item.size(), sizeof sector));
    }
    const uint8_t before = sector[0];
    for (const auto destination : {VendorDestination::kStorageSector, VendorDestination::kItem8}) {
        CheckVendorCleared(destination, sector);
    }
    const bool vend = HasVendTag(sector);
    std::vector<uint8_t> key(keySize, 0x5A);
    const uint8_t info[vendor::kRecordInfoBytes] = {1, 2, 3};
    const bool fits = keySize <= VendorKeyRoom(VendorDestination::kStorageSector);
    FUZZ_CHECK(BuildVendorStorageRecord(sector, info, key.data(), keySize) == fits);
    FUZZ_CHECK(HasVendTag(sector) == vend && sector[0] == before);
    if (fits) {
        FUZZ_CHECK(CheckVendorCleared(VendorDestination::kStorageSector, sector) ==
                   VendorClearState::kRecordPresent);
    }
    uint8_t item8[vendor::kSectorBytes];
    std::memcpy(item8, sector, sizeof item8);
    FUZZ_CHECK(BuildVendorItem8(item8, info, key.data(), keySize) ==
               (keySize <= VendorKeyRoom(VendorDestination::kItem8)));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Reader in(data, size);
    const uint8_t ready = in.U8();
    const std::vector<uint8_t> capability = in.Bytes(8);
    const uint16_t id = in.U16();
    const uint16_t capacity = in.U16();
    const int32_t pattern = in.U8() % 4;
    RkpTime time;
    time.year = 1900 + in.U8() * 2;
    time.month = in.U8();
    time.day = in.U8();
    time.hour = in.U8();
    time.minute = in.U8();
    time.second = in.U8();
    const size_t keySize = in.U16() % 600;
    const std::vector<uint8_t> item = in.Rest();

    fuzz::DropLog log;
    VendorBoard board(ready, capability, item);
    // Exactly the caller's capacity, so that ASan sees any write past it.
    std::vector<uint8_t> buffer(capacity);
    uint16_t length = capacity;
    if (ZR_ReadVendorRpmbData(&board, &log, "/dev/bus/usb/001/002", id, 0, buffer.data(),
                              &length)) {
        FUZZ_CHECK(length <= capacity);
        const int sent = (item.size() > 0 ? item[0] : 0) | (item.size() > 1 ? item[1] << 8 : 0);
        FUZZ_CHECK(sent == id);
        CheckSerialAndFileName(buffer.data(), length, pattern, time);
    }
    CheckSerialAndFileName(item.data(), item.size(), pattern, time);
    CheckRecords(item, keySize);
    return 0;
}
