// The broken-down time (`struct tm`, as the C library's gmtime_r fills
// it) of the integers the date module writes, always UTC, with the
// encodings and the arithmetic of "encoding.h".  No interpreter types.
#pragma once

#include <cstdint>
#include <ctime>

#include "../_shared/encoding.h"

namespace vb {

// Broken-down time of epoch seconds; null when the year leaves `int`.
inline struct tm* secondsTm(std::int64_t seconds, struct tm* t) noexcept
{
    return utcRecord(seconds, *t) ? t : nullptr;
}

// Broken-down time of day ordinal `x`; null when the day cannot be
// represented (seconds beyond 64 bits, or a year beyond `int`).
inline struct tm* fromordinal_tm(long x, struct tm* t) noexcept
{
    std::int64_t seconds;
    return ordinalToSeconds(x, seconds) ? secondsTm(seconds, t) : nullptr;
}

// Broken-down time of `x` read as epoch seconds or as a day ordinal.
inline struct tm* decodedTm(std::int64_t x, Encoding unit,
                            struct tm* t) noexcept
{
    return unit == Encoding::epochSeconds ? secondsTm(x, t)
                                          : fromordinal_tm(x, t);
}

// Broken-down time of `x`, read as epoch seconds when `fmt` contains "%M"
// and as a day ordinal otherwise; "v2" and "%f" split nothing off here.
inline struct tm* int2time_tm(long x, const char* fmt, struct tm* t) noexcept
{
    return decodedTm(x, classifyFormat(fmt).wholeRead(), t);
}

// A timestamp split into whole seconds and microseconds, rounded to the
// nearest microsecond without ever carrying into the next second.
struct SplitTimestamp {
    std::int64_t seconds;
    int microseconds;  // 0..999999
};

// False for NaN, infinities and values whose whole part leaves the signed
// 64-bit range; checked before any conversion to an integer.
inline bool splitTimestamp(double x, SplitTimestamp& out) noexcept
{
    if (!(x >= -0x1p63 && x < 0x1p63)) {
        return false;
    }
    std::int64_t seconds = static_cast<std::int64_t>(x);        // toward zero
    double f = (x - static_cast<double>(seconds)) * 1000000.0;  // (-1e6, 1e6)
    int us;
    if (x > 0) {
        us = static_cast<int>(f + 0.5);
    } else {
        us = static_cast<int>(f - 0.5);
        if (us != 0) {
            // A fraction exists only for |x| < 2^52: no overflow here.
            seconds -= 1;
            us += 1000000;
        }
    }
    if (us > 999999) {
        us = 999999;
    }
    out = {seconds, us};
    return true;
}

}  // namespace vb
