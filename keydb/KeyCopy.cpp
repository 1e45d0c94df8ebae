#include "keydb/KeyCopy.h"

#include <new>

#include "keydb/WipeMemory.h"

KeyCopy::KeyCopy(KeyCopy&& other) noexcept : data_(other.data_), size_(other.size_) {
    other.data_ = nullptr;
    other.size_ = 0;
}

KeyCopy& KeyCopy::operator=(KeyCopy&& other) noexcept {
    if (this != &other) {
        Reset();
        data_ = other.data_;
        size_ = other.size_;
        other.data_ = nullptr;
        other.size_ = 0;
    }
    return *this;
}

bool KeyCopy::Allocate(size_t size) {
    Reset();
    if (size == 0) {
        return false;
    }
    data_ = new (std::nothrow) uint8_t[size]();
    if (data_ == nullptr) {
        return false;
    }
    size_ = size;
    return true;
}

void KeyCopy::Reset() {
    if (data_ != nullptr) {
        WipeMemory(data_, size_);
        delete[] data_;
    }
    data_ = nullptr;
    size_ = 0;
}
