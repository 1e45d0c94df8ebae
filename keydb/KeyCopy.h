// A key handed out by the key database: a move-only byte buffer that wipes itself.
#pragma once

#include <cstddef>
#include <cstdint>

class KeyCopy {
  public:
    KeyCopy() = default;
    ~KeyCopy() { Reset(); }
    KeyCopy(KeyCopy&& other) noexcept;
    KeyCopy& operator=(KeyCopy&& other) noexcept;
    KeyCopy(const KeyCopy&) = delete;
    KeyCopy& operator=(const KeyCopy&) = delete;

    // Wipes and frees any held key, then allocates `size` zeroed bytes. Returns false (and holds
    // nothing) when the allocation fails or size is 0. Never throws.
    bool Allocate(size_t size);
    // Wipes the bytes and frees the buffer; afterwards empty().
    void Reset();

    const uint8_t* data() const { return data_; }
    uint8_t* data() { return data_; }
    size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }

  private:
    uint8_t* data_ = nullptr;
    size_t size_ = 0;
};
