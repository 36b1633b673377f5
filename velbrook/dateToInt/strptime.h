// Locale-free, format-driven date parser of the date-string module.
//
// No interpreter header here: plain NUL-terminated byte strings in, a
// `vb_tm` record out. The parser reads each string once, in place, never
// allocates and never reads a byte past the terminating NUL of either
// string, whatever their content.
#pragma once

#include <array>
#include <cstddef>
#include <ctime>
#include <utility>

namespace vb {

struct vb_tm;
inline const char* myStrptime(const char* buf, const char* fmt,
                              vb_tm* tm) noexcept;

// The broken-down time record of the date module. It starts with the C
// library's `struct tm`, so it can be handed to anything taking one, and
// adds the fraction of the second that `struct tm` cannot hold.
struct vb_tm : public std::tm {
    int tm_micro_sec;  // 0..999999
};

// Name tables, matched without regard to ASCII letter case. Index order
// is the stored value: 0 = Sunday, 0 = January.
inline constexpr const char* const day[7] = {
    "Sunday",   "Monday", "Tuesday", "Wednesday",
    "Thursday", "Friday", "Saturday"};
inline constexpr const char* const abday[7] = {"Sun", "Mon", "Tue", "Wed",
                                               "Thu", "Fri", "Sat"};
inline constexpr const char* const mon[12] = {
    "January", "February", "March",     "April",   "May",      "June",
    "July",    "August",   "September", "October", "November", "December"};
inline constexpr const char* const abmon[12] = {"Jan", "Feb", "Mar", "Apr",
                                                "May", "Jun", "Jul", "Aug",
                                                "Sep", "Oct", "Nov", "Dec"};
inline constexpr const char* const am_pm[2] = {"AM", "PM"};

namespace detail {

inline bool isDigit(char c) noexcept
{
    return c >= '0' && c <= '9';
}

}  // namespace detail

// ASCII-only case folding, for every case-blind comparison of the date
// module: the C library's follow the process locale (a Turkish locale
// folds 'I' differently).
inline unsigned char foldAscii(char c) noexcept
{
    unsigned char u = static_cast<unsigned char>(c);
    return (u >= 'A' && u <= 'Z') ? static_cast<unsigned char>(u + 32) : u;
}

namespace detail {

// Length of `name` if the input at `bp` starts with it (ASCII case
// ignored), else 0. The input's NUL mismatches every letter of a name,
// so the loop stops there and never reads beyond it.
inline int matchName(const char* bp, const char* name) noexcept
{
    int i = 0;
    for (; name[i] != '\0'; ++i) {
        if (foldAscii(bp[i]) != foldAscii(name[i])) {
            return 0;
        }
    }
    return i;
}

// Index in 0..n-1 of the first entry whose full or abbreviated name
// prefixes the input, advancing `*bp` past it; -1 when none does.
inline int matchTable(const char** bp, const char* const* full,
                      const char* const* abbr, int n) noexcept
{
    for (int i = 0; i < n; ++i) {
        int len = matchName(*bp, full[i]);
        if (len == 0) {
            len = matchName(*bp, abbr[i]);
        }
        if (len != 0) {
            *bp += len;
            return i;
        }
    }
    return -1;
}

// True when the rest of the input is exactly `word` (two letters, ASCII
// case ignored). Each byte is read only after the one before it was
// found not to be the NUL.
inline bool restEquals(const char* bp, const char* word) noexcept
{
    return bp[0] != '\0' && foldAscii(bp[0]) == foldAscii(word[0]) &&
           bp[1] != '\0' && foldAscii(bp[1]) == foldAscii(word[1]) &&
           bp[2] == '\0';
}

}  // namespace detail

// Reads an unsigned decimal number at `*buf` into `*dest`; 1 on success,
// 0 on failure with `*dest` untouched. Reading stops as soon as another
// digit could only exceed `ulim`, once as many digits as `ulim` has were
// read, or at a non-digit; this lets "%H%M" split "0930" without
// separators. With `add_zeros`, the digits read are the leading digits
// of a number as wide as `ulim` (a fraction: "5" of 999999 is 500000).
// Internal to the parser; bounds used are within 0..999999.
inline int conv_num(const char** buf, int* dest, int llim, int ulim,
                    bool add_zeros, int min_digits) noexcept
{
    const char* bp = *buf;
    if (!detail::isDigit(*bp)) {
        return 0;
    }
    int result = 0;
    int rulim = ulim;  // digit budget: ulim / 10^digits read
    int ndigits = 0;
    do {
        result = result * 10 + (*bp - '0');
        rulim /= 10;
        ++bp;
        ++ndigits;
        // "result * 10 > ulim" written so that it cannot overflow.
    } while (result <= ulim / 10 && rulim != 0 && detail::isDigit(*bp));
    *buf = bp;

    if (result < llim || result > ulim) {
        return 0;
    }
    if (min_digits != 0 && ndigits < min_digits) {
        return 0;
    }
    if (add_zeros) {
        // One factor of ten per digit left in the budget; result stays
        // below 10^digits(ulim), so within ulim's width.
        for (; rulim != 0; rulim /= 10) {
            result *= 10;
        }
    }
    *dest = result;
    return 1;
}

namespace detail {

// Modifiers a conversion accepts besides none: %E, %O or both.
enum class Modifiers { none, e, o, both };

// What a conversion reads and where the number it read goes.
enum class Store {
    field,          // `field` = value + `offset`
    twelveHour,     // tm_hour, 12 read as 0; %p adds 12
    nowhere,        // checked, moves nothing (week numbers)
    century,        // %C: the hundreds of the year
    yearInCentury,  // %y: the last two digits of the year
    nested,         // no number: `expansion`, parsed by a nested call
};

using IntField = int vb_tm::*;

// One conversion: the letter, what conv_num reads (bounds, a fraction's
// leading digits, a least digit count) and where it goes; or, for a
// composite conversion, the format it stands for.
struct DirectiveRow {
    char letter;
    Modifiers modifiers;
    int lo, hi;
    bool fraction;
    int minDigits;
    Store store;
    IntField field = nullptr;
    int offset = 0;
    const char* expansion = nullptr;
};

// A composite conversion: the parser reads `expansion` in its place, with
// a `split_year` of its own.
constexpr DirectiveRow composite(char letter, Modifiers modifiers,
                                 const char* expansion) noexcept
{
    return {letter, modifiers,     0,       0, false,
            0,      Store::nested, nullptr, 0, expansion};
}

// Letter, modifiers, bounds, fraction, least digits, store, field, offset;
// then the composite conversions, letter, modifiers and expansion.
inline constexpr DirectiveRow directiveRows[] = {
    {'C', Modifiers::e, 0, 99, false, 0, Store::century},
    {'d', Modifiers::o, 1, 31, false, 0, Store::field, &vb_tm::tm_mday},
    {'e', Modifiers::o, 1, 31, false, 0, Store::field, &vb_tm::tm_mday},
    {'f', Modifiers::o, 0, 999999, true, 0, Store::field,
     &vb_tm::tm_micro_sec},
    {'H', Modifiers::o, 0, 23, false, 0, Store::field, &vb_tm::tm_hour},
    {'I', Modifiers::o, 1, 12, false, 0, Store::twelveHour},
    {'l', Modifiers::none, 1, 12, false, 0, Store::twelveHour},
    {'j', Modifiers::none, 1, 366, false, 0, Store::field, &vb_tm::tm_yday,
     -1},
    {'k', Modifiers::none, 0, 23, false, 0, Store::field, &vb_tm::tm_hour},
    {'M', Modifiers::o, 0, 59, false, 0, Store::field, &vb_tm::tm_min},
    {'m', Modifiers::o, 1, 12, false, 0, Store::field, &vb_tm::tm_mon, -1},
    // 60 and 61 allow for leap seconds; they carry when converted.
    {'S', Modifiers::o, 0, 61, false, 0, Store::field, &vb_tm::tm_sec},
    {'U', Modifiers::o, 0, 53, false, 0, Store::nowhere},
    {'W', Modifiers::o, 0, 53, false, 0, Store::nowhere},
    {'w', Modifiers::o, 0, 6, false, 0, Store::field, &vb_tm::tm_wday},
    // Exactly four digits; a fifth is left for what follows.
    {'Y', Modifiers::e, 0, 9999, false, 4, Store::field, &vb_tm::tm_year,
     -1900},
    {'y', Modifiers::both, 0, 99, false, 0, Store::yearInCentury},
    composite('c', Modifiers::e, "%x %X"),
    composite('D', Modifiers::none, "%m/%d/%y"),
    composite('R', Modifiers::none, "%H:%M"),
    composite('r', Modifiers::none, "%I:%M:%S %p"),
    composite('T', Modifiers::none, "%H:%M:%S"),
    composite('X', Modifiers::e, "%H:%M:%S"),
    composite('x', Modifiers::e, "%m/%d/%y"),
};

inline constexpr std::size_t directiveCount =
    sizeof directiveRows / sizeof directiveRows[0];

inline bool accepts(Modifiers m, char alt_format) noexcept
{
    switch (alt_format) {
        case '\0':
            return true;
        case 'E':
            return m == Modifiers::e || m == Modifiers::both;
        default:  // 'O'
            return m == Modifiers::o || m == Modifiers::both;
    }
}

// Stores `value`, read for `row`, into `tm`. `split_year` is set once %C
// or %y has stored a year in this call.
inline void storeNumber(const DirectiveRow& row, int value, vb_tm* tm,
                        bool& split_year) noexcept
{
    switch (row.store) {
        case Store::field:
            tm->*row.field = value + row.offset;
            break;
        case Store::twelveHour:
            // 12 o'clock is hour 0 on the 12-hour clock; %p adds 12.
            tm->tm_hour = value == 12 ? 0 : value;
            break;
        case Store::nowhere:
        case Store::nested:
            break;
        case Store::century:
            // Years held here are always 0..9999, so % and / are floors.
            if (split_year) {
                tm->tm_year = value * 100 + (tm->tm_year + 1900) % 100 - 1900;
            } else {
                tm->tm_year = value * 100 - 1900;
                split_year = true;
            }
            break;
        case Store::yearInCentury:
            if (split_year) {
                // Keep the century held so far (year 0..9999).
                tm->tm_year = (tm->tm_year + 1900) / 100 * 100 + value - 1900;
            } else {
                // 69..99 -> 1969..1999, 0..68 -> 2000..2068.
                tm->tm_year = value < 69 ? value + 100 : value;
                split_year = true;
            }
            break;
    }
}

// Reads the conversion of row I at `bp`; the position after it, or null
// on failure. One function per row, so that its bounds and its store are
// constants to the compiler, as if written out case by case.
template <int I>
const char* readDirective(const char* bp, vb_tm* tm, char alt_format,
                          bool* split_year) noexcept
{
    constexpr DirectiveRow row = directiveRows[I];
    if (!accepts(row.modifiers, alt_format)) {
        return nullptr;
    }
    if constexpr (row.store == Store::nested) {
        return myStrptime(bp, row.expansion, tm);  // at most 3 calls deep
    } else {
        int value;
        if (!conv_num(&bp, &value, row.lo, row.hi, row.fraction,
                      row.minDigits)) {
            return nullptr;
        }
        storeNumber(row, value, tm, *split_year);
        return bp;
    }
}

// For each byte, 1 + the index of its row in directiveRows, or 0.
struct DirectiveIndex {
    unsigned char row[256] = {};
    constexpr DirectiveIndex()
    {
        for (std::size_t i = 0; i < directiveCount; ++i) {
            row[static_cast<unsigned char>(directiveRows[i].letter)] =
                static_cast<unsigned char>(i + 1);
        }
    }
};
inline constexpr DirectiveIndex directiveIndex;

// Runs the reader of row `index - 1` (`index` from directiveIndex, not 0),
// setting `*bp` to its result.
template <std::size_t... I>
inline void readRow(int index, const char** bp, vb_tm* tm, char alt_format,
                    bool* split_year, std::index_sequence<I...>) noexcept
{
    (void)((index == I + 1 &&
            (*bp = readDirective<I>(*bp, tm, alt_format, split_year), true)) ||
           ...);
}

}  // namespace detail

// Parses `buf` against `fmt` into `tm`. Returns the position in `buf`
// just past the last byte consumed (text may be left over), or null on
// failure, in which case `tm` may hold fields stored before the failing
// conversion. Only the fields named by a conversion are written.
inline const char* myStrptime(const char* buf, const char* fmt,
                              vb_tm* tm) noexcept
{
    if (buf == nullptr || fmt == nullptr || tm == nullptr) {
        return nullptr;
    }

    // Set once %C or %y has stored a year in this call; nested calls for
    // composite conversions start clear.
    bool split_year = false;
    const char* bp = buf;
    int value = 0;

    while (*fmt != '\0') {
        char c = *fmt++;

        // A run of format spaces matches a run of one or more spaces.
        if (c == ' ') {
            if (*bp != ' ') {
                return nullptr;
            }
            while (*bp == ' ') {
                ++bp;
            }
            while (*fmt == ' ') {
                ++fmt;
            }
            continue;
        }
        // Literal byte. c is not NUL, so the input's NUL never matches.
        if (c != '%') {
            if (*bp != c) {
                return nullptr;
            }
            ++bp;
            continue;
        }

        // Conversion: optional E or O modifier, then the letter. A '%' or
        // modifier at the end of the format fails without passing the NUL.
        char alt_format = '\0';
        c = *fmt;
        if (c == '\0') {
            return nullptr;
        }
        ++fmt;
        if (c == 'E' || c == 'O') {
            alt_format = c;
            c = *fmt;
            if (c == '\0' || c == 'E' || c == 'O') {
                return nullptr;
            }
            ++fmt;
        }
        // The numeric and composite conversions: one row each.
        const int index =
            detail::directiveIndex.row[static_cast<unsigned char>(c)];
        if (index != 0) {
            detail::readRow(
                index, &bp, tm, alt_format, &split_year,
                std::make_index_sequence<detail::directiveCount>());
            if (bp == nullptr) {
                return nullptr;
            }
            continue;
        }

        const bool plain = alt_format == '\0';

        switch (c) {
            case '%':
                if (*bp != '%') {
                    return nullptr;
                }
                ++bp;
                break;

            case 'a':
            case 'A':
                if (!plain) {
                    return nullptr;
                }
                value = detail::matchTable(&bp, day, abday, 7);
                if (value < 0) {
                    return nullptr;
                }
                tm->tm_wday = value;
                break;

            case 'b':
            case 'B':
            case 'h':
                if (!plain) {
                    return nullptr;
                }
                value = detail::matchTable(&bp, mon, abmon, 12);
                if (value < 0) {
                    return nullptr;
                }
                tm->tm_mon = value;
                break;

            case 'n':
            case 't':
                if (!plain) {
                    return nullptr;
                }
                while (*bp == ' ') {
                    ++bp;
                }
                break;

            case 'p':
                // Only the whole rest of the input can be the meridian, so no
                // comparison can run past the NUL.
                if (!plain) {
                    return nullptr;
                }
                if (detail::restEquals(bp, am_pm[0])) {
                    if (tm->tm_hour > 11) {
                        return nullptr;
                    }
                } else if (detail::restEquals(bp, am_pm[1])) {
                    if (tm->tm_hour > 11) {
                        return nullptr;
                    }
                    tm->tm_hour += 12;  // 0..11 -> 12..23
                } else {
                    return nullptr;
                }
                bp += 2;
                break;

            default:
                return nullptr;
        }
    }
    return bp;
}

}  // namespace vb
