#include "keydb/Sha256.h"

#include <atomic>
#include <cstring>

#include "keydb/Sha256Blocks.h"
#include "keydb/WipeMemory.h"

namespace {

constexpr uint32_t kInitialState[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                       0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};

constexpr size_t kHashPiece = 262144;

bool ShaNiAvailable() {
    static const bool available = Sha256CpuHasShaNi();
    return available;
}

CSha256::BlockFn BestBlockFn() {
    return ShaNiAvailable() ? &Sha256BlocksShaNi : &Sha256BlocksPortable;
}

std::atomic<CSha256::BlockFn>& DefaultBlockFn() {
    static std::atomic<CSha256::BlockFn> fn{BestBlockFn()};
    return fn;
}

CSha256::BlockFn Resolve(Sha256Impl impl) {
    switch (impl) {
        case Sha256Impl::Portable:
            return &Sha256BlocksPortable;
        case Sha256Impl::ShaNi:
            return ShaNiAvailable() ? &Sha256BlocksShaNi : &Sha256BlocksPortable;
        case Sha256Impl::Auto:
            break;
    }
    return DefaultBlockFn().load(std::memory_order_relaxed);
}

void StoreBe32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}

}  // namespace

bool Sha256ShaNiAvailable() {
    return ShaNiAvailable();
}

bool Sha256SetDefaultImpl(Sha256Impl impl) {
    CSha256::BlockFn fn = nullptr;
    switch (impl) {
        case Sha256Impl::Auto:
            fn = BestBlockFn();
            break;
        case Sha256Impl::Portable:
            fn = &Sha256BlocksPortable;
            break;
        case Sha256Impl::ShaNi:
            if (!ShaNiAvailable()) {
                return false;
            }
            fn = &Sha256BlocksShaNi;
            break;
    }
    DefaultBlockFn().store(fn, std::memory_order_relaxed);
    return true;
}

Sha256Impl Sha256DefaultImpl() {
    return DefaultBlockFn().load(std::memory_order_relaxed) == &Sha256BlocksShaNi
               ? Sha256Impl::ShaNi
               : Sha256Impl::Portable;
}

CSha256::CSha256(Sha256Impl impl) : blocks_(Resolve(impl)) {
    Init();
}

CSha256::~CSha256() {
    Wipe();
}

Sha256Impl CSha256::Impl() const {
    return blocks_ == &Sha256BlocksShaNi ? Sha256Impl::ShaNi : Sha256Impl::Portable;
}

void CSha256::Init() {
    std::memcpy(state_, kInitialState, sizeof(state_));
    totalBytes_ = 0;
    buffered_ = 0;
}

void CSha256::Wipe() {
    WipeMemory(state_, sizeof(state_));
    WipeMemory(buffer_, sizeof(buffer_));
    WipeMemory(&totalBytes_, sizeof(totalBytes_));
    buffered_ = 0;
}

void CSha256::Update(const uint8_t* data, size_t length) {
    if (data == nullptr || length == 0) {
        return;
    }
    totalBytes_ += length;
    if (buffered_ > 0) {
        const size_t take = length < kBlockSize - buffered_ ? length : kBlockSize - buffered_;
        std::memcpy(buffer_ + buffered_, data, take);
        buffered_ += take;
        data += take;
        length -= take;
        if (buffered_ < kBlockSize) {
            return;
        }
        blocks_(state_, buffer_, 1);
        buffered_ = 0;
    }
    const size_t whole = length / kBlockSize;
    if (whole > 0) {
        blocks_(state_, data, whole);
        data += whole * kBlockSize;
        length -= whole * kBlockSize;
    }
    if (length > 0) {
        std::memcpy(buffer_, data, length);
        buffered_ = length;
    }
}

void CSha256::Final(uint8_t digest[kDigestSize]) {
    const uint64_t bitLength = totalBytes_ * 8;
    buffer_[buffered_++] = 0x80;
    if (buffered_ > kBlockSize - 8) {
        std::memset(buffer_ + buffered_, 0, kBlockSize - buffered_);
        blocks_(state_, buffer_, 1);
        buffered_ = 0;
    }
    std::memset(buffer_ + buffered_, 0, kBlockSize - 8 - buffered_);
    for (int i = 0; i < 8; ++i) {
        buffer_[kBlockSize - 1 - i] = static_cast<uint8_t>(bitLength >> (8 * i));
    }
    blocks_(state_, buffer_, 1);
    for (int i = 0; i < 8; ++i) {
        StoreBe32(digest + 4 * i, state_[i]);
    }
    Wipe();
    Init();
}

bool DoHash256(uint8_t* digest, const uint8_t* data, uint64_t length) {
    if (digest == nullptr || data == nullptr || length == 0) {
        return false;
    }
    CSha256 sha;
    while (length > 0) {
        const size_t piece = length < kHashPiece ? static_cast<size_t>(length) : kHashPiece;
        sha.Update(data, piece);
        data += piece;
        length -= piece;
    }
    sha.Final(digest);
    return true;
}

bool DoHash256(uint8_t* digest, const uint8_t* data, uint32_t lengthLow, uint32_t lengthHigh) {
    return DoHash256(digest, data, (uint64_t{lengthHigh} << 32) | lengthLow);
}
