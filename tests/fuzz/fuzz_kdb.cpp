// A key file through the station's full load checks, then key hand-outs, returns and records on
// a copy in the scratch folder, and a second load of what the records left on disk.
//
// Input: one flag byte (bit 0: before writing, seal the file as the writer would, with the
// SHA-256 of the data area and the header CRC, so that mutations reach the checks behind them),
// 16 operation bytes, then the file.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "keydb/Crc32.h"
#include "keydb/KeyCopy.h"
#include "keydb/KeyFile.h"
#include "keydb/KeyFileFormat.h"
#include "keydb/Sha256.h"
#include "tests/fuzz/FuzzSupport.h"

namespace {

constexpr size_t kOperations = 16;
// Hand-outs tried on the reloaded file; bounds the time one input takes.
constexpr int kReloadDraws = 64;

void Seal(std::vector<uint8_t>& file) {
    if (file.size() < kdb::kMinHeaderSize) {
        return;
    }
    const uint32_t h = kdb::LoadLe16(file.data() + kdb::kOffHeaderSize);
    if (h < kdb::kMinHeaderSize || h >= file.size()) {
        return;
    }
    DoHash256(file.data() + kdb::kOffDigest, file.data() + h, file.size() - h);
    kdb::StoreLe32(file.data() + h - kdb::kCrcSize, CalcCrc32(file.data(), h - kdb::kCrcSize));
}

// Where key index's bytes lie in the file, as the header describes it.
size_t KeyOffset(const std::vector<uint8_t>& file, uint32_t index, uint32_t* keySize) {
    const uint32_t h = kdb::LoadLe16(file.data() + kdb::kOffHeaderSize);
    *keySize = uint32_t{file[kdb::kOffKeySizeHigh]} << 16 |
               kdb::LoadLe16(file.data() + kdb::kOffKeySizeLow);
    const bool shared = (file[kdb::kOffSecondShared] & kdb::kSharedKeyBit) != 0;
    return h + (shared ? 0 : size_t{index} * *keySize);
}

void CheckKeyBytes(const std::vector<uint8_t>& file, int32_t index, const KeyCopy& key) {
    uint32_t keySize = 0;
    const size_t at = KeyOffset(file, static_cast<uint32_t>(index), &keySize);
    FUZZ_CHECK(key.size() == keySize);
    FUZZ_CHECK(at + keySize <= file.size());
    FUZZ_CHECK(std::memcmp(key.data(), file.data() + at, keySize) == 0);
}

void Run(const uint8_t* data, size_t size) {
    fuzz::Reader in(data, size);
    const uint8_t flags = in.U8();
    const std::vector<uint8_t> ops = in.Bytes(kOperations);
    std::vector<uint8_t> file = in.Rest();
    if ((flags & 1) != 0) {
        Seal(file);
    }
    const std::string path = fuzz::WriteScratchFile("keys.kdb", file.data(), file.size());

    std::set<int32_t> recorded;
    {
        fuzz::DropLog log;
        CKeyFile keys(path, &log);
        if (!keys.IsValid()) {
            FUZZ_CHECK(keys.GetKeyCount() < 0 && keys.GetUnusedCount() < 0);
            int32_t index = 0;
            KeyCopy key;
            FUZZ_CHECK(!keys.GetKey(&index, &key) && key.empty());
            return;
        }
        const int32_t count = keys.GetKeyCount();
        FUZZ_CHECK(count >= 0);
        std::set<int32_t> out;  // handed out, neither returned nor recorded
        for (const uint8_t op : ops) {
            const int32_t before = keys.GetUnusedCount();
            FUZZ_CHECK(before >= 0);
            switch (op & 3) {
                case 0: {
                    int32_t index = -1;
                    KeyCopy key;
                    if (keys.GetKey(&index, &key)) {
                        FUZZ_CHECK(index >= 0 && index < count);
                        FUZZ_CHECK(out.count(index) == 0 && recorded.count(index) == 0);
                        // The count reads as at most INT32_MAX.
                        FUZZ_CHECK(before == INT32_MAX || keys.GetUnusedCount() == before - 1);
                        CheckKeyBytes(file, index, key);
                        out.insert(index);
                    }
                    break;
                }
                case 1:
                    if (!out.empty()) {
                        const int32_t index = *out.begin();
                        keys.ReleaseKey(index);
                        out.erase(index);
                        FUZZ_CHECK(before == INT32_MAX || keys.GetUnusedCount() == before + 1);
                    }
                    break;
                case 2:
                    if (!out.empty()) {
                        const int32_t index = *out.rbegin();
                        out.erase(index);
                        if (keys.UpdateKeyFile(index)) {
                            recorded.insert(index);
                        }
                        // A recorded key is not returned to the pool.
                        keys.ReleaseKey(index);
                        FUZZ_CHECK(keys.GetUnusedCount() == before);
                    }
                    break;
                default:
                    // A return of a key this run never handed out changes nothing.
                    {
                        const int32_t index = static_cast<int32_t>(op >> 2) - 8;
                        if (out.count(index) == 0) {
                            keys.ReleaseKey(index);
                            FUZZ_CHECK(keys.GetUnusedCount() == before);
                        }
                    }
                    break;
            }
        }
    }
    if (recorded.empty()) {
        return;
    }
    // What the records wrote must load again, and no recorded key may be handed out again.
    CKeyFile again(path);
    FUZZ_CHECK(again.IsValid());
    for (int i = 0; i < kReloadDraws; ++i) {
        int32_t index = -1;
        KeyCopy key;
        if (!again.GetKey(&index, &key)) {
            break;
        }
        FUZZ_CHECK(recorded.count(index) == 0);
        CheckKeyBytes(file, index, key);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Run(data, size);
    // The loader may leave companion files beside the key file; every input starts afresh.
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(fuzz::ScratchDir(), ec)) {
        std::filesystem::remove_all(entry.path(), ec);
    }
    return 0;
}
