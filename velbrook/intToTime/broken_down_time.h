// Integer encodings of an instant and their conversion to the C library's
// broken-down time, always UTC.  No interpreter types here.
//
//   epoch seconds: signed 64-bit seconds since 1970-01-01 00:00:00 UTC
//   day ordinal:   signed 64-bit day number, 0001-01-01 = 1,
//                  1970-01-01 = 719163, 9999-12-31 = 3652059
#pragma once

#include <cstdint>
#include <cstring>
#include <ctime>

namespace vb {

// Seconds from 0001-01-01 to 1970-01-01 plus one day: 719163 * 86400.
constexpr std::int64_t ordinalEpochOffset = 62135683200;

// Midnight UTC of day ordinal `x` in epoch seconds.  False when the result
// leaves the signed 64-bit range (|x| above about 1.07e14).
inline bool ordinalToSeconds(std::int64_t x, std::int64_t& seconds) noexcept
{
    std::int64_t daySeconds;
    return !__builtin_mul_overflow(x, std::int64_t{86400}, &daySeconds) &&
           !__builtin_sub_overflow(daySeconds, ordinalEpochOffset, &seconds);
}

inline bool containsMinutes(const char* fmt) noexcept
{
    return std::strstr(fmt, "%M") != nullptr;
}

// Broken-down time of day ordinal `x`; null when the day cannot be
// represented (seconds beyond 64 bits, or a year beyond `int`).
inline struct tm* fromordinal_tm(long x, struct tm* t) noexcept
{
    std::int64_t seconds;
    if (!ordinalToSeconds(x, seconds)) {
        return nullptr;
    }
    time_t s = static_cast<time_t>(seconds);
    return gmtime_r(&s, t);
}

// Broken-down time of `x`, read as epoch seconds when `fmt` contains "%M"
// and as a day ordinal otherwise.
inline struct tm* int2time_tm(long x, const char* fmt, struct tm* t) noexcept
{
    if (!containsMinutes(fmt)) {
        return fromordinal_tm(x, t);
    }
    time_t s = static_cast<time_t>(x);
    return gmtime_r(&s, t);
}

// How `int2time` reads an integer written with format `fmt`: a leading
// "v2" followed somewhere by "%f" marks epoch milliseconds (or, without
// "%M", a day ordinal scaled by 1000).
struct DecodedValue {
    std::int64_t value;  // epoch seconds or day ordinal
    int milliseconds;    // -999..999, sign of the input
    const char* fmt;     // the format with any "v2" removed
};

inline DecodedValue splitMilliseconds(std::int64_t x, const char* fmt) noexcept
{
    if (fmt[0] == 'v' && fmt[1] == '2') {
        fmt += 2;
        if (std::strstr(fmt, "%f")) {
            // Division truncates toward zero: -1500 is -1 s and -500 ms.
            return {x / 1000, static_cast<int>(x % 1000), fmt};
        }
    }
    return {x, 0, fmt};
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
