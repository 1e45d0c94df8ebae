// Decimal numbers in untrusted text: digits only (no sign, no blanks), at most maxDigits of them,
// and a value of at most maxValue. Anything else is refused and *value left as it was.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace ks {

inline bool ParseDecimal(std::string_view text, std::size_t maxDigits, uint64_t maxValue,
                         uint64_t* value) {
    if (text.empty() || text.size() > maxDigits) {
        return false;
    }
    uint64_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') {
            return false;
        }
        const uint64_t digit = static_cast<uint64_t>(c - '0');
        if (digit > maxValue || v > (maxValue - digit) / 10) {
            return false;
        }
        v = v * 10 + digit;
    }
    *value = v;
    return true;
}

}  // namespace ks
