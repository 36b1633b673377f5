// A format compiled once: what it says (its body after a "v2" marker, the
// integer it encodes to, "%M" and "%Y"), and, where every conversion has
// a fixed width, a plan that reads a text at fixed offsets and gives the
// parser's own fields without running it. No interpreter header.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "../_shared/encoding.h"
#include "strptime.h"

namespace vb {

// The fields a plan reads, starting from the parser's defaults
// (1900-01-01 00:00:00), each within the parser's bounds.
struct PlannedTime {
    int year = 1900;  // 1..9999
    int month = 1;    // 1..12
    int day = 1;      // 1..31
    int hour = 0;     // 0..23
    int minute = 0;   // 0..59
    int second = 0;   // 0..61, carried as the parser's record is

    // utcSeconds of the parser's record, whose month needs no carry.
    std::int64_t seconds() const noexcept
    {
        return days() * secondsPerDay + std::int64_t{hour} * 3600 +
               std::int64_t{minute} * 60 + second;
    }

    // daysFromCivil(year, month, day) for the plan's years, 1..9999: with
    // no year below 0 (a March-based year is at least 0) the arithmetic
    // is unsigned, which needs no rounding of negative quotients.
    constexpr std::int64_t days() const noexcept
    {
        const unsigned y = static_cast<unsigned>(year - (month <= 2));
        const unsigned mp =
            static_cast<unsigned>(month > 2 ? month - 3 : month + 9);
        const unsigned sinceMarch1Year0 = y * 365 + y / 4 - y / 100 + y / 400 +
                                          (153 * mp + 2) / 5 +
                                          static_cast<unsigned>(day) - 1;
        return std::int64_t{sinceMarch1Year0} - 719468;
    }

    // Into a record prepared as the parser's callers prepare it: the
    // fields the parser would have written, the same values.
    void store(vb_tm& tm) const noexcept
    {
        tm.tm_year = year - 1900;
        tm.tm_mon = month - 1;
        tm.tm_mday = day;
        tm.tm_hour = hour;
        tm.tm_min = minute;
        tm.tm_sec = second;
    }
};

static_assert(
    PlannedTime{1, 1, 1}.days() == daysFromCivil(1, 1, 1) &&
        PlannedTime{1970, 1, 1}.days() == 0 &&
        PlannedTime{2000, 2, 29}.days() == daysFromCivil(2000, 2, 29) &&
        PlannedTime{2100, 3, 1}.days() == daysFromCivil(2100, 3, 1) &&
        PlannedTime{9999, 12, 31}.days() == daysFromCivil(9999, 12, 31) &&
        PlannedTime{2021, 2, 31}.days() == daysFromCivil(2021, 2, 31),
    "the plan's days are daysFromCivil's");

// A plan for the formats the parser reads at fixed widths: literal bytes
// other than '%', single spaces, and %Y %m %d %H %M %S %I %p, each at most
// once and without modifiers, %p last, not both %H and %I, at most
// `maxLength` bytes of text. Any other format has no plan.
class FixedWidthPlan {
public:
    static constexpr std::size_t maxLength = 32;

    FixedWidthPlan() noexcept = default;

    explicit FixedWidthPlan(const char* body) noexcept
    {
        planned_ = body != nullptr && compile(body);
        if (!planned_) {
            *this = FixedWidthPlan();
        }
        layout_ = planned_ ? layoutOf() : Layout::general;
        if (layout_ == Layout::dateTime) {
            fillWindows();
        }
    }

    bool planned() const noexcept { return planned_; }

    // The fields when `text[0..size)` (no NUL needed after it) has the
    // planned length, its literal bytes where the format has them, digits
    // where numbers are read, every number within the parser's bounds
    // (where the parser reads the very same digits, giving the same
    // fields) and a year other than 0. False sends the text to the
    // parser, which then decides, and leaves `t` unspecified. Inlined, so
    // that the fields stay out of memory on the column path.
    __attribute__((always_inline)) bool run(const char* text, std::size_t size,
                                            PlannedTime& t) const noexcept
    {
        // The common shapes read at offsets the compiler knows: the same
        // steps as the general plan, without loading them from the plan.
        switch (layout_) {
            case Layout::dateTime:  // %Y?%m?%d?%H?%M?%S
                return runAt<19, 0, 5, 8, 11, 14, 17>(text, size, t);
            case Layout::date:  // %Y?%m?%d
                return runAt<10, 0, 5, 8, -1, -1, -1>(text, size, t);
            case Layout::general:
                break;
        }
        return runGeneral(text, size, t);
    }

private:
    // Which of `run`'s readers a plan takes.
    enum class Layout : std::uint8_t { general, dateTime, date };

    // `run` for a plan of length `L` whose year, month, day, hour, minute
    // and second start at the offsets given (-1: absent), without %I and
    // %p.
    template <int L, int Y, int Mo, int D, int H, int Mi, int S>
    __attribute__((always_inline)) bool runAt(const char* text,
                                              std::size_t size,
                                              PlannedTime& t) const noexcept
    {
        if (size != L || !matchesLayoutShape<L>(text)) {
            return false;
        }
        t = PlannedTime();
        t.year = twoDigits(text + Y) * 100 + twoDigits(text + Y + 2);
        return t.year != 0 && read(text, Mo, 1, 12, t.month) &&
               read(text, D, 1, 31, t.day) && read(text, H, 0, 23, t.hour) &&
               read(text, Mi, 0, 59, t.minute) &&
               read(text, S, 0, 61, t.second);
    }

    // matchesShape for a layout, whose every byte is a literal or a
    // digit: from 16 bytes on, two overlapping 16-byte windows, the first
    // and the last of the text, tested a window at a time.
    template <int L>
    __attribute__((always_inline)) bool matchesLayoutShape(
        const char* text) const noexcept
    {
#if defined(__SSE2__)
        if constexpr (L >= 16) {
            const __m128i first =
                _mm_loadu_si128(reinterpret_cast<const __m128i*>(text));
            const __m128i last = _mm_loadu_si128(
                reinterpret_cast<const __m128i*>(text + L - 16));
            const __m128i good =
                _mm_and_si128(windowGood(first, 0), windowGood(last, 1));
            return _mm_movemask_epi8(good) == 0xFFFF;
        }
#endif
        return matchesShape<(L + 7) / 8>(text, L);
    }

#if defined(__SSE2__)
    // All ones in each byte of window `k` that is the literal there or,
    // where the plan reads a number, a digit.
    __attribute__((always_inline)) __m128i windowGood(__m128i bytes,
                                                      int k) const noexcept
    {
        const __m128i isLiteral =
            _mm_loadu_si128(reinterpret_cast<const __m128i*>(windowMask_[k]));
        const __m128i literal =
            _mm_loadu_si128(reinterpret_cast<const __m128i*>(windowBytes_[k]));
        const __m128i d = _mm_sub_epi8(bytes, _mm_set1_epi8('0'));
        const __m128i digit =
            _mm_cmpeq_epi8(_mm_min_epu8(d, _mm_set1_epi8(9)), d);
        return _mm_or_si128(
            _mm_and_si128(isLiteral, _mm_cmpeq_epi8(bytes, literal)),
            _mm_andnot_si128(isLiteral, digit));
    }
#endif

    // The literal bytes of the two windows of a layout of `length_` 16 or
    // more, from the shape's words; set once the layout is known.
    void fillWindows() noexcept
    {
        for (int k = 0; k < 2; ++k) {
            const std::size_t from = k == 0 ? 0 : length_ - 16u;
            for (std::size_t i = 0; i < 16; ++i) {
                const std::size_t at = from + i, w = at / 8,
                                  shift = 8 * (at % 8);
                windowMask_[k][i] =
                    static_cast<std::uint8_t>(literalMask_[w] >> shift);
                windowBytes_[k][i] =
                    static_cast<std::uint8_t>(literalBytes_[w] >> shift);
            }
        }
    }

    __attribute__((always_inline)) bool runGeneral(
        const char* text, std::size_t size, PlannedTime& t) const noexcept
    {
        if (!planned_ || size != length_ || !matchesShape(text, size)) {
            return false;
        }
        t = PlannedTime();
        if (at_.year >= 0) {
            t.year = twoDigits(text + at_.year) * 100 +
                     twoDigits(text + at_.year + 2);
            if (t.year == 0) {
                return false;  // year 0: the parser's error
            }
        }
        // The parser's bounds, written out so that they are constants.
        if (!read(text, at_.month, 1, 12, t.month) ||
            !read(text, at_.day, 1, 31, t.day) ||
            !read(text, at_.hour, 0, 23, t.hour) ||
            !read(text, at_.minute, 0, 59, t.minute) ||
            // 60 and 61 carry, as in the parser's record.
            !read(text, at_.second, 0, 61, t.second)) {
            return false;
        }
        if (at_.hour12 >= 0) {
            if (!read(text, at_.hour12, 1, 12, t.hour)) {
                return false;
            }
            t.hour = t.hour == 12 ? 0 : t.hour;
        }
        if (at_.meridian >= 0) {
            const unsigned char a = foldAscii(text[at_.meridian]);
            if ((a != 'a' && a != 'p') ||
                foldAscii(text[at_.meridian + 1]) != 'm' || t.hour > 11) {
                return false;
            }
            t.hour += a == 'p' ? 12 : 0;
        }
        return true;
    }

    // The layout of a compiled plan: a constant-offset reader where the
    // conversions stand where it reads them.
    Layout layoutOf() const noexcept
    {
        const bool iso = at_.year == 0 && at_.month == 5 && at_.day == 8 &&
                         at_.hour12 < 0 && at_.meridian < 0;
        if (iso && length_ == 19 && at_.hour == 11 && at_.minute == 14 &&
            at_.second == 17) {
            return Layout::dateTime;
        }
        if (iso && length_ == 10 && at_.hour < 0 && at_.minute < 0 &&
            at_.second < 0) {
            return Layout::date;
        }
        return Layout::general;
    }

    // Where each conversion starts in the text; -1 for absent.
    struct Offsets {
        std::int8_t year = -1, month = -1, day = -1, hour = -1, hour12 = -1,
                    minute = -1, second = -1, meridian = -1;
    };

    static constexpr std::size_t shapeWords = maxLength / 8;

    // False for a format without a plan.
    bool compile(const char* body) noexcept
    {
        bool any = false;
        for (const char* f = body; *f != '\0'; ++f) {
            if (at_.meridian >= 0) {
                return false;  // %p must come last
            }
            if (*f != '%') {
                if (*f == ' ' && f[1] == ' ') {
                    return false;  // a run of spaces matches any run
                }
                if (!append(Cell::literal, 1, *f)) {
                    return false;
                }
                continue;
            }
            std::int8_t* slot;
            std::size_t width = 2;
            switch (*++f) {  // at worst the NUL
                case 'Y':
                    slot = &at_.year;
                    width = 4;
                    break;
                case 'm':
                    slot = &at_.month;
                    break;
                case 'd':
                    slot = &at_.day;
                    break;
                case 'H':
                    slot = &at_.hour;
                    break;
                case 'I':
                    slot = &at_.hour12;
                    break;
                case 'M':
                    slot = &at_.minute;
                    break;
                case 'S':
                    slot = &at_.second;
                    break;
                case 'p':
                    slot = &at_.meridian;
                    break;
                default:
                    return false;  // modifiers, names, %%, %f, ...
            }
            if (*slot >= 0) {
                return false;  // read twice: the parser
            }
            *slot = static_cast<std::int8_t>(length_);
            if (!append(slot == &at_.meridian ? Cell::letter : Cell::digit,
                        width)) {
                return false;
            }
            any = true;
        }
        return any && !(at_.hour >= 0 && at_.hour12 >= 0);
    }

    // The two digits at `at` into `out` when within lo..hi; true also for
    // an absent field (`at` -1), which keeps its default.
    __attribute__((always_inline)) static bool read(const char* text, int at,
                                                    int lo, int hi,
                                                    int& out) noexcept
    {
        if (at < 0) {
            return true;
        }
        const int v = twoDigits(text + at);
        if (v < lo || v > hi) {
            return false;
        }
        out = v;
        return true;
    }

    // What the shape tests in one byte of the text.
    enum class Cell {
        literal,  // equal to the format's byte
        digit,    // '0' to '9'
        letter,   // one of the two letters that `run` checks for %p
    };

    // Adds `width` bytes of kind `cell` to the shape. False past
    // `maxLength`.
    bool append(Cell cell, std::size_t width, char literal = '\0') noexcept
    {
        if (length_ + width > maxLength) {
            return false;
        }
        for (std::size_t k = 0; k < width; ++k, ++length_) {
            const std::size_t w = length_ / 8, shift = 8 * (length_ % 8);
            if (cell == Cell::digit) {
                digitMask_[w] |= std::uint64_t{0xFF} << shift;
            } else if (cell == Cell::literal) {
                literalMask_[w] |= std::uint64_t{0xFF} << shift;
                literalBytes_[w] |=
                    std::uint64_t{static_cast<unsigned char>(literal)}
                    << shift;
            }
        }
        return true;
    }

    static int twoDigits(const char* p) noexcept
    {
        return (p[0] - '0') * 10 + (p[1] - '0');
    }

    // Literal bytes equal and digits ('0' to '9') where numbers are read,
    // eight bytes at a time; the letters of %p are checked by `run`.
    // The first `W` words are compared: those past the text have no
    // mask, so `shapeWords` is always right, and fewer skip a known rest.
    template <std::size_t W = shapeWords>
    __attribute__((always_inline)) bool matchesShape(
        const char* text, std::size_t size) const noexcept
    {
        // size == length_ <= maxLength
        std::uint64_t words[shapeWords] = {};
        if (size < 8) {
            std::memcpy(words, text, size);
        } else {
            for (std::size_t w = 0; w < size / 8; ++w) {
                std::memcpy(&words[w], text + 8 * w, 8);
            }
            if (size % 8 != 0) {
                // The last eight bytes, shifted down to the bytes past
                // the whole words: no read beyond the text.
                std::uint64_t last;
                std::memcpy(&last, text + size - 8, 8);
                words[size / 8] = last >> (8 * (8 - size % 8));
            }
        }
        constexpr std::uint64_t zeros = 0x3030303030303030;
        constexpr std::uint64_t highs = 0x8080808080808080;
        constexpr std::uint64_t lows = 0x7F7F7F7F7F7F7F7F;
        constexpr std::uint64_t below10 = 0x7676767676767676;
        std::uint64_t bad = 0;
        // Every word, also those past the text: their masks are zero.
        for (std::size_t w = 0; w < W; ++w) {
            bad |= (words[w] & literalMask_[w]) ^ literalBytes_[w];
            // A digit XOR '0' is 0..9; a byte of 10 or more, plus 0x76,
            // reaches the high bit (which `| d` catches for 0x80 up).
            const std::uint64_t d = words[w] ^ zeros;
            bad |= (((d & lows) + below10) | d) & highs & digitMask_[w];
        }
        return bad == 0;
    }

    bool planned_ = false;
    Layout layout_ = Layout::general;
    std::uint8_t length_ = 0;  // of the text a plan reads
    Offsets at_;
    std::uint64_t literalMask_[shapeWords] = {};
    std::uint64_t literalBytes_[shapeWords] = {};
    std::uint64_t digitMask_[shapeWords] = {};
    // 0xFF where a window's byte is a literal; that literal.
    std::uint8_t windowMask_[2][16] = {};
    std::uint8_t windowBytes_[2][16] = {};
};

// Everything a conversion needs to know of its format, worked out once.
// `markers.body` points into the format text, which must outlive this.
struct CompiledFormat {
    FormatClass markers;
    FixedWidthPlan plan;

    explicit CompiledFormat(const char* fmt,
                            Prefix prefix = Prefix::marker) noexcept
        : markers(classifyFormat(fmt, prefix)), plan(markers.body)
    {
    }
};

}  // namespace vb
