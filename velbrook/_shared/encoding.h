// How an instant becomes one integer and back, for both date modules: the
// integer a format produces, and the proleptic Gregorian day arithmetic in
// both directions. No interpreter header and none of the C library's time
// functions: plain integers and `std::tm` records, always UTC.
//
// The integer of a format is chosen from the format text alone:
//   - a leading "v2" followed anywhere by "%f": epoch milliseconds;
//   - else no "%M" after any "v2": day ordinal, 0001-01-01 = 1,
//     1970-01-01 = 719163, 9999-12-31 = 3652059;
//   - else: epoch seconds.
// A leading "v2" is a marker, never date text. `int2time` reads integers
// back with one asymmetry: it splits milliseconds off on "v2" and "%f"
// alone, then reads the rest as seconds only when "%M" is there. So a "v2"
// format with "%f" but no "%M", written as epoch milliseconds, is read
// back as a day ordinal times 1000 plus milliseconds.
#pragma once

#include <climits>
#include <cstdint>
#include <ctime>

namespace vb {

// ---------------------------------------------------------------------------
// Civil-day arithmetic.

namespace detail {

constexpr std::int64_t floorDiv(std::int64_t a, std::int64_t b) noexcept
{
    const std::int64_t q = a / b;
    return (a % b != 0 && (a < 0) != (b < 0)) ? q - 1 : q;
}

}  // namespace detail

// Days from 1970-01-01 to y-m-d, proleptic Gregorian; m 1..12, and days
// past the month's end run on. Whole 400-year eras of 146097 days make
// years before 1 need no separate case; |y| < 2^54 stays in int64.
constexpr std::int64_t daysFromCivil(std::int64_t y, int m,
                                     std::int64_t d) noexcept
{
    y -= m <= 2;  // years start in March: the leap day ends a year
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const std::int64_t yoe = y - era * 400;               // 0..399
    const int mp = m > 2 ? m - 3 : m + 9;                 // 0..11, 0 = Mar
    const std::int64_t doy = (153 * mp + 2) / 5 + d - 1;  // 0..365 if d ok
    const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;  // 719468: 0000-03-01 to epoch
}

struct CivilDate {
    std::int64_t year;
    int month;  // 1..12
    int day;    // 1..31
};

// The date `z` days after 1970-01-01, the inverse of daysFromCivil;
// |z| < 2^62.
constexpr CivilDate civilFromDays(std::int64_t z) noexcept
{
    z += 719468;  // days since 0000-03-01
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const std::int64_t doe = z - era * 146097;  // 0..146096
    const std::int64_t yoe =
        (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;  // 0..399
    const std::int64_t doy =
        doe - (365 * yoe + yoe / 4 - yoe / 100);           // 0..365
    const int mp = static_cast<int>((5 * doy + 2) / 153);  // 0..11, 0 = Mar
    const int d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);  // 1..31
    const int m = mp < 10 ? mp + 3 : mp - 9;                       // 1..12
    return {yoe + era * 400 + (m <= 2), m, d};
}

inline constexpr std::int64_t secondsPerDay = 24 * 60 * 60;
inline constexpr std::int64_t millisecondsPerSecond = 1000;

// Day ordinal of 1970-01-01, counting 0001-01-01 as day 1.
inline constexpr std::int64_t epochOrdinal = 1 - daysFromCivil(1, 1, 1);

// Epoch seconds of ordinal day 0 (0000-12-31), negated: midnight of day
// ordinal x is x * secondsPerDay - ordinalEpochOffset epoch seconds.
inline constexpr std::int64_t ordinalEpochOffset =
    epochOrdinal * secondsPerDay;

static_assert(secondsPerDay == 86400, "a UTC day has no leap seconds");
static_assert(daysFromCivil(1970, 1, 1) == 0, "the epoch is day 0");
static_assert(epochOrdinal == 719163, "stored day ordinals depend on it");
static_assert(ordinalEpochOffset == 62135683200,
              "stored epoch seconds of ordinals depend on it");
static_assert(daysFromCivil(9999, 12, 31) + epochOrdinal == 3652059,
              "the last ordinal a datetime holds");
static_assert(daysFromCivil(2000, 1, 1) - daysFromCivil(1600, 1, 1) ==
                      146097 &&
                  146097 % 7 == 0,
              "400 years are whole weeks, so weekdays repeat by era");
static_assert(civilFromDays(0).year == 1970 && civilFromDays(0).month == 1 &&
                  civilFromDays(0).day == 1,
              "civilFromDays inverts daysFromCivil at the epoch");
static_assert(civilFromDays(-epochOrdinal).year == 0 &&
                  civilFromDays(-epochOrdinal).month == 12 &&
                  civilFromDays(-epochOrdinal).day == 31,
              "ordinal 0 is 0000-12-31");
static_assert(civilFromDays(daysFromCivil(-4800, 2, 29)).day == 29,
              "leap days before year 1 survive the round trip");

// Midnight UTC of day ordinal `x` in epoch seconds. False when the result
// leaves the signed 64-bit range (|x| above about 1.07e14).
inline bool ordinalToSeconds(std::int64_t x, std::int64_t& seconds) noexcept
{
    std::int64_t daySeconds;
    return !__builtin_mul_overflow(x, secondsPerDay, &daySeconds) &&
           !__builtin_sub_overflow(daySeconds, ordinalEpochOffset, &seconds);
}

// Epoch seconds of a UTC record, carrying as the C library's timegm does
// (30 February is 2 March, second 60 the next minute) but without its
// cost and without writing the record back. Any int field values stay
// below 2^57 in magnitude, so nothing overflows.
inline std::int64_t utcSeconds(const std::tm& t) noexcept
{
    const std::int64_t month0 = t.tm_mon;
    const std::int64_t carry = detail::floorDiv(month0, 12);
    const std::int64_t year = std::int64_t{t.tm_year} + 1900 + carry;
    const int month = static_cast<int>(month0 - carry * 12) + 1;  // 1..12
    const std::int64_t days = daysFromCivil(year, month, t.tm_mday);
    return days * secondsPerDay + std::int64_t{t.tm_hour} * 3600 +
           std::int64_t{t.tm_min} * 60 + std::int64_t{t.tm_sec};
}

// The UTC record of epoch `seconds`, field for field what the C library's
// gmtime_r writes (zone "GMT", offset 0, no daylight saving time). False,
// with `t` untouched, when the year leaves `int` as gmtime_r's does.
inline bool utcRecord(std::int64_t seconds, std::tm& t) noexcept
{
    // Quotient and remainder rounded down, without forming days * 86400,
    // which leaves 64 bits for the first day of the range.
    std::int64_t days = seconds / secondsPerDay;
    std::int64_t rest = seconds % secondsPerDay;
    if (rest < 0) {
        rest += secondsPerDay;
        --days;
    }
    const int daySecond = static_cast<int>(rest);  // 0..86399
    const CivilDate date = civilFromDays(days);    // |days| < 1.1e14
    const std::int64_t year = date.year - 1900;
    if (year < INT_MIN || year > INT_MAX) {
        return false;
    }
    t.tm_sec = daySecond % 60;
    t.tm_min = daySecond / 60 % 60;
    t.tm_hour = daySecond / 3600;
    t.tm_mday = date.day;
    t.tm_mon = date.month - 1;
    t.tm_year = static_cast<int>(year);
    // 1970-01-01 was a Thursday (4, counting from Sunday).
    t.tm_wday = static_cast<int>(days - detail::floorDiv(days + 4, 7) * 7 + 4);
    t.tm_yday = static_cast<int>(days - daysFromCivil(date.year, 1, 1));
    t.tm_isdst = 0;
    t.tm_gmtoff = 0;
    t.tm_zone = "GMT";
    return true;
}

// ---------------------------------------------------------------------------
// Which integer a format produces.

enum class Encoding { epochSeconds, epochMilliseconds, dayOrdinal };

// What a format says, read in one walk over its text: where its body
// starts, and the markers that choose its integer and the year check.
// Every marker is a plain substring test on the body, so "%%M" counts as
// "%M" and "%OM" or "%T" do not.
struct FormatClass {
    const char* body;   // the format after a leading "v2" marker
    bool milliseconds;  // "v2" leads and "%f" follows it
    bool minutes;       // "%M" in `body`
    bool year;          // "%Y" in `body`

    // What date2intWrapper writes.
    Encoding written() const noexcept
    {
        return milliseconds ? Encoding::epochMilliseconds
               : minutes    ? Encoding::epochSeconds
                            : Encoding::dayOrdinal;
    }

    // What int2time reads once milliseconds are split off: "%M" alone
    // decides, so the asymmetric case reads as a day ordinal.
    Encoding wholeRead() const noexcept
    {
        return minutes ? Encoding::epochSeconds : Encoding::dayOrdinal;
    }
};

// Whether a leading "v2" is a mode marker (the integer conversions) or
// plain text that the date must hold (the datetime conversion).
enum class Prefix { marker, text };

// A null `fmt` has no markers (the parser refuses it). A "v2" marker can
// take no part in a "%M" or "%Y", so those read the same either way.
inline FormatClass classifyFormat(const char* fmt,
                                  Prefix prefix = Prefix::marker) noexcept
{
    FormatClass c = {fmt, false, false, false};
    if (fmt == nullptr) {
        return c;
    }
    // fmt[1] is read only when fmt[0] is 'v', so never past the NUL.
    const bool v2 = prefix == Prefix::marker && fmt[0] == 'v' && fmt[1] == '2';
    if (v2) {
        c.body += 2;
    }
    bool fraction = false;
    // Every '%' is tested, also the second of "%%": a substring search.
    for (const char* p = c.body; *p != '\0'; ++p) {
        if (*p == '%') {
            switch (p[1]) {  // at worst the NUL
                case 'f':
                    fraction = true;
                    break;
                case 'M':
                    c.minutes = true;
                    break;
                case 'Y':
                    c.year = true;
                    break;
                default:
                    break;
            }
        }
    }
    c.milliseconds = v2 && fraction;
    return c;
}

// The integer date2intWrapper stores for `seconds` and `microseconds`
// (0..999999) of a record parsed with a format of class `c`. Parsed years
// are 0..9999, so seconds are within +-2.6e11, milliseconds +-2.6e14.
inline std::int64_t encodeInstant(std::int64_t seconds, int microseconds,
                                  const FormatClass& c) noexcept
{
    switch (c.written()) {
        case Encoding::epochMilliseconds:
            // The fraction is non-negative, so this is the floor in
            // milliseconds, also before 1970.
            return seconds * millisecondsPerSecond + microseconds / 1000;
        case Encoding::dayOrdinal:
            // Floor division: a time of day before 1970 belongs to the
            // earlier day.
            return detail::floorDiv(seconds, secondsPerDay) + epochOrdinal;
        case Encoding::epochSeconds:
            break;
    }
    return seconds;
}

// An integer as int2time reads it.
struct DecodedValue {
    std::int64_t whole;  // epoch seconds or day ordinal, as `unit` says
    int milliseconds;    // -999..999, with the sign of the integer
    Encoding unit;       // epochSeconds or dayOrdinal
};

inline DecodedValue decodeInteger(std::int64_t x,
                                  const FormatClass& c) noexcept
{
    if (c.milliseconds) {
        // Division truncates toward zero: -1500 is -1 s and -500 ms.
        return {x / millisecondsPerSecond,
                static_cast<int>(x % millisecondsPerSecond), c.wholeRead()};
    }
    return {x, 0, c.wholeRead()};
}

}  // namespace vb
