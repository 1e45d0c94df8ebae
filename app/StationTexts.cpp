#include "app/StationTexts.h"

#include <algorithm>
#include <cstdint>

namespace {

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

}  // namespace

std::string IncrementDigits(const std::string& text) {
    if (!std::all_of(text.begin(), text.end(), IsDigit)) {
        return {};
    }
    std::string out = text;
    for (size_t i = out.size(); i-- > 0;) {
        if (out[i] != '9') {
            ++out[i];
            return out;
        }
        out[i] = '0';
    }
    return out;  // every digit was 9: all zeros of the same width
}

std::string ReplaceLabelValue(const std::string& labelText, const std::string& value) {
    const size_t colon = labelText.find(':');
    if (colon == std::string::npos) {
        return value;
    }
    return labelText.substr(0, colon + 1) + value;
}

int64_t LabelNumber(const std::string& labelText) {
    const size_t colon = labelText.find(':');
    const size_t split = colon == std::string::npos ? 0 : colon + 1;
    // At most 18 digits are read, so the number and its decrement always fit.
    int64_t number = 0;
    for (size_t i = split, n = 0; i < labelText.size() && IsDigit(labelText[i]) && n < 18;
         ++i, ++n) {
        number = number * 10 + (labelText[i] - '0');
    }
    return number;
}

std::string DecreaseLabelNumber(const std::string& labelText) {
    const size_t colon = labelText.find(':');
    const size_t split = colon == std::string::npos ? 0 : colon + 1;
    return labelText.substr(0, split) + std::to_string(LabelNumber(labelText) - 1);
}
