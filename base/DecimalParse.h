// Checked decimal conversion. Written here rather than taken from the C
// runtime: Wine's _wtoi64 wraps around on overflow instead of saturating.
#pragma once

#include <cstdint>

namespace kit {

// Reads the decimal digits at `pos` (no sign, no white space) and moves
// `pos` past them. False when there is no digit or the value exceeds
// `limit`; `*value` then holds what was read, `limit` at most.
template <typename Char>
bool ReadDecimalDigits(const Char*& pos, const Char* end, uint64_t limit, uint64_t* value) {
    uint64_t n = 0;
    bool inRange = true;
    const Char* const start = pos;
    for (; pos < end && *pos >= Char('0') && *pos <= Char('9'); ++pos) {
        const unsigned digit = static_cast<unsigned>(*pos - Char('0'));
        // A digit above the limit on its own (a limit below 9) would wrap
        // the subtraction around.
        if (digit > limit || n > (limit - digit) / 10) {
            n = limit;
            inRange = false;
        } else if (inRange) {
            n = n * 10 + digit;
        }
    }
    *value = n;
    return inRange && pos != start;
}

namespace detail {

template <typename Char>
bool IsDecimalBlank(Char c) {
    return c == Char(' ') || (c >= Char('\t') && c <= Char('\r'));
}

// Sign and magnitude as _wtoi reads them: leading blanks, one optional sign,
// digits up to the first other character; the magnitude saturates at the
// limit of the sign.
template <typename Char>
uint64_t ReadSignedMagnitude(const Char* pos, const Char* end, uint64_t maxPositive, bool* negative) {
    while (pos < end && IsDecimalBlank(*pos)) ++pos;
    *negative = false;
    if (pos < end && (*pos == Char('-') || *pos == Char('+'))) *negative = *pos++ == Char('-');
    uint64_t magnitude = 0;
    ReadDecimalDigits(pos, end, *negative ? maxPositive + 1 : maxPositive, &magnitude);
    return magnitude;
}

}  // namespace detail

// _wtoi with saturation at INT32_MIN and INT32_MAX instead of overflow.
template <typename Char>
int32_t ParseInt32Saturated(const Char* pos, const Char* end) {
    bool negative = false;
    const uint64_t magnitude = detail::ReadSignedMagnitude(pos, end, INT32_MAX, &negative);
    return negative ? static_cast<int32_t>(-static_cast<int64_t>(magnitude)) : static_cast<int32_t>(magnitude);
}

// _wtoi64 with saturation at INT64_MIN and INT64_MAX instead of overflow.
template <typename Char>
int64_t ParseInt64Saturated(const Char* pos, const Char* end) {
    bool negative = false;
    const uint64_t magnitude = detail::ReadSignedMagnitude(pos, end, INT64_MAX, &negative);
    return negative ? static_cast<int64_t>(uint64_t{0} - magnitude) : static_cast<int64_t>(magnitude);
}

}  // namespace kit
