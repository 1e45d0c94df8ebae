// The text rules of the counters and the key summary labels.
#pragma once

#include <cstdint>
#include <string>

// A counter's next text: the digits incremented in place, "99999" rolling over to "00000"; the
// width never grows. A text that is not all decimal digits becomes empty.
std::string IncrementDigits(const std::string& text);

// A summary label's new text: its current text up to and including the first ASCII ':' (nothing
// when it has none; a full-width colon is not one), followed by value.
std::string ReplaceLabelValue(const std::string& labelText, const std::string& value);

// The unused-key label counted down by one: the number after the first ASCII ':' (at the start
// when there is none), read from its leading decimal digits (0 when there are none), written back
// minus one after the same caption.
std::string DecreaseLabelNumber(const std::string& labelText);

// The number a summary label shows: the leading decimal digits after its first ASCII ':' (at the
// start when there is none), at most 18 of them; 0 when there are none.
int64_t LabelNumber(const std::string& labelText);
