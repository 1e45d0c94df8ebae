#include "tools/usbip-sim/EchoFunction.h"

#include <algorithm>
#include <cstring>

long EchoFunction::BulkOut(const uint8_t* data, size_t size) {
    if (queued_ + size > kCapacity) {
        return kUsbStall;
    }
    queue_.emplace_back(data, data + size);
    queued_ += size;
    return static_cast<long>(size);
}

long EchoFunction::BulkIn(uint8_t* data, size_t size) {
    if (queue_.empty()) {
        return kUsbNak;
    }
    std::vector<uint8_t>& front = queue_.front();
    const size_t n = std::min(size, front.size());
    std::memcpy(data, front.data(), n);
    if (n == front.size()) {
        queue_.pop_front();
    } else {
        front.erase(front.begin(), front.begin() + static_cast<long>(n));
    }
    queued_ -= n;
    return static_cast<long>(n);
}

void EchoFunction::ClearHalt(uint8_t ep) {
    (void)ep;
    queue_.clear();
    queued_ = 0;
}
