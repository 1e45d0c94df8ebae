// SHA-256 (FIPS 180-4). Buffering and padding live in CSha256; the compression of whole 64-byte
// blocks is one swappable function: portable C++ or the x86 SHA extensions, picked at run time.
#pragma once

#include <cstddef>
#include <cstdint>

enum class Sha256Impl {
    Auto,      // the fastest the CPU supports
    Portable,  // plain C++
    ShaNi,     // x86 SHA extensions
};

// True when this CPU and build can run Sha256Impl::ShaNi.
bool Sha256ShaNiAvailable();
// Selects the block function used by objects created with Sha256Impl::Auto and by DoHash256.
// Returns false (and changes nothing) when the implementation is not available here.
bool Sha256SetDefaultImpl(Sha256Impl impl);
// The implementation Auto currently resolves to (Portable or ShaNi).
Sha256Impl Sha256DefaultImpl();

class CSha256 {
  public:
    static constexpr size_t kDigestSize = 32;
    static constexpr size_t kBlockSize = 64;

    // An unavailable impl falls back to Portable.
    explicit CSha256(Sha256Impl impl = Sha256Impl::Auto);
    ~CSha256();
    CSha256(const CSha256&) = delete;
    CSha256& operator=(const CSha256&) = delete;

    void Update(const uint8_t* data, size_t length);
    // Writes the digest and wipes the state; the object is then ready for a new message.
    void Final(uint8_t digest[kDigestSize]);
    Sha256Impl Impl() const;

    using BlockFn = void (*)(uint32_t state[8], const uint8_t* blocks, size_t count);

  private:
    void Init();
    void Wipe();

    BlockFn blocks_;
    uint32_t state_[8];
    uint64_t totalBytes_;
    uint8_t buffer_[kBlockSize];
    size_t buffered_;
};

// Hashes data (length = lengthHigh:lengthLow bytes) in pieces of 262,144 bytes. False when the
// length is 0 or a pointer is missing.
bool DoHash256(uint8_t* digest, const uint8_t* data, uint32_t lengthLow, uint32_t lengthHigh);
bool DoHash256(uint8_t* digest, const uint8_t* data, uint64_t length);
