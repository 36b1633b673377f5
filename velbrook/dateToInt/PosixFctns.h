// Date text to one integer, or to a checked record, over the parser of
// "strptime.h". No interpreter header: plain byte strings in, `time_t` or
// a `vb_tm` out; failures throw std::invalid_argument with a fixed text.
//
// Integer encodings, chosen from the format text alone:
//   - format starting with "v2" and containing "%f" after it: epoch
//     milliseconds;
//   - else, no "%M" in the format: day ordinal, 0001-01-01 = 1,
//     1970-01-01 = 719163;
//   - else: epoch seconds.
// Everything is UTC; no time zone is read or applied.
#ifndef VELBROOK_DATETOINT_POSIXFCTNS_H
#define VELBROOK_DATETOINT_POSIXFCTNS_H

#include <cstdint>
#include <cstring>
#include <ctime>
#include <stdexcept>

#include "strptime.h"

namespace vb {

static_assert(sizeof(std::time_t) == 8, "64-bit time_t required");

inline constexpr std::time_t secondsPerDay = 86400;

inline constexpr const char* failedToReadMsg = "failed to read date from fmt";
inline constexpr const char* yearOutOfRangeMsg = "year is out of range";

// Day ordinal of 1970-01-01 (0001-01-01 is day 1).
inline constexpr std::time_t epochOrdinal = 719163;

namespace detail {

// Days from 1970-01-01 to y-m-d, proleptic Gregorian, m 1..12, d >= 1
// (days past the month's end run on). Whole 400-year eras of 146097 days
// make years before 1 need no separate case; |y| < 2^33 stays in int64.
inline std::int64_t days_from_civil(std::int64_t y, int m, int d) noexcept
{
    y -= m <= 2;  // years start in March: the leap day ends a year
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const std::int64_t yoe = y - era * 400;               // 0..399
    const int mp = m > 2 ? m - 3 : m + 9;                 // 0..11, 0 = Mar
    const std::int64_t doy = (153 * mp + 2) / 5 + d - 1;  // 0..365
    const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;  // 719468: 0000-03-01 to epoch
}

inline std::int64_t floor_div(std::int64_t a, std::int64_t b) noexcept
{
    const std::int64_t q = a / b;
    return (a % b != 0 && (a < 0) != (b < 0)) ? q - 1 : q;
}

}  // namespace detail

// Epoch seconds of a UTC record, carrying as the C library's timegm does
// (30 February is 2 March, second 60 the next minute) but without its
// cost and without writing the record back. Any int field values stay
// below 2^57 in magnitude, so nothing overflows.
inline std::int64_t utc_seconds(const std::tm& t) noexcept
{
    const std::int64_t month0 = t.tm_mon;
    const std::int64_t carry = detail::floor_div(month0, 12);
    const std::int64_t year = std::int64_t{t.tm_year} + 1900 + carry;
    const int month = static_cast<int>(month0 - carry * 12) + 1;  // 1..12
    const std::int64_t days = detail::days_from_civil(year, month, 1) +
                              (std::int64_t{t.tm_mday} - 1);
    return days * secondsPerDay + std::int64_t{t.tm_hour} * 3600 +
           std::int64_t{t.tm_min} * 60 + std::int64_t{t.tm_sec};
}

// Every byte zero, then day 1: absent fields give 1900-01-01 00:00:00.
inline void prepare_record(vb_tm* tmb) noexcept
{
    std::memset(static_cast<void*>(tmb), 0, sizeof *tmb);
    tmb->tm_mday = 1;
}

enum class ParseCheck { ok, failedToRead, yearOutOfRange };

// The post-parse check without throwing; `result` is what myStrptime
// returned for `fmt` (without any "v2"). Input left over is a failed
// read. Year 0 is refused only when the format text holds the bytes "%Y":
// a text test, so "%%Y" counts and "%EY" does not.
inline ParseCheck check_parse(const char* result, const vb_tm* tmb,
                              const char* fmt) noexcept
{
    if (result == nullptr || *result != '\0')
        return ParseCheck::failedToRead;
    if (tmb->tm_year < -1899 && fmt != nullptr &&
        std::strstr(fmt, "%Y") != nullptr)
        return ParseCheck::yearOutOfRange;
    return ParseCheck::ok;
}

inline void validate_strptime(const char* result, const vb_tm* tmb,
                              const char* fmt)
{
    switch (check_parse(result, tmb, fmt)) {
        case ParseCheck::ok:
            return;
        case ParseCheck::failedToRead:
            throw std::invalid_argument(failedToReadMsg);
        case ParseCheck::yearOutOfRange:
            throw std::invalid_argument(yearOutOfRangeMsg);
    }
}

namespace detail {

// A leading "v2" is a mode marker, never date text: strip it.
inline bool strip_v2(const char** fmt) noexcept
{
    const char* f = *fmt;
    // f[1] is read only when f[0] is 'v', so never past the NUL.
    if (f != nullptr && f[0] == 'v' && f[1] == '2') {
        *fmt = f + 2;
        return true;
    }
    return false;
}

// Encodes a checked record. The parser keeps years in 0..9999, so `sec`
// is within +-2.6e11 and milliseconds within +-2.6e14.
inline std::time_t encode(const vb_tm& tmb, const char* fmt,
                          bool use_v2) noexcept
{
    const std::time_t sec = utc_seconds(tmb);
    if (use_v2 && std::strstr(fmt, "%f") != nullptr) {
        // Fraction is 0..999999, so this is the floor in milliseconds,
        // also before 1970.
        return sec * 1000 + tmb.tm_micro_sec / 1000;
    }
    if (std::strstr(fmt, "%M") == nullptr) {
        // Floor division: a time of day before 1970 belongs to the
        // earlier day.
        const std::time_t q = sec / secondsPerDay;
        if (sec < 0 && sec % secondsPerDay != 0)
            return q + epochOrdinal - 1;
        return q + epochOrdinal;
    }
    return sec;
}

}  // namespace detail

// Parses `date` against `fmt` and encodes the instant (see above).
inline std::time_t dateToInt(const char* date, const char* fmt)
{
    vb_tm tmb;
    prepare_record(&tmb);
    const bool use_v2 = detail::strip_v2(&fmt);
    const char* result = myStrptime(date, fmt, &tmb);
    validate_strptime(result, &tmb, fmt);
    return detail::encode(tmb, fmt, use_v2);
}

// As dateToInt, but every failure returns -1 (also a genuine value: one
// second or millisecond before the epoch). Never throws, and failing costs
// no more than the parse itself.
inline std::time_t dateToIntSafe(const char* date, const char* fmt) noexcept
{
    vb_tm tmb;
    prepare_record(&tmb);
    const bool use_v2 = detail::strip_v2(&fmt);
    const char* result = myStrptime(date, fmt, &tmb);
    if (check_parse(result, &tmb, fmt) != ParseCheck::ok)
        return -1;
    return detail::encode(tmb, fmt, use_v2);
}

// The checked record, fields not normalised; "v2" is plain text here.
inline vb_tm strptime_c(const char* date, const char* fmt)
{
    vb_tm tmb;
    prepare_record(&tmb);
    const char* result = myStrptime(date, fmt, &tmb);
    validate_strptime(result, &tmb, fmt);
    return tmb;
}

}  // namespace vb

#endif  // VELBROOK_DATETOINT_POSIXFCTNS_H
