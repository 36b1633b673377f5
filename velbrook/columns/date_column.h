// Date text to integers for a whole column, without the interpreter: the
// per-element rule of the date module (the same zone-suffix removal, the
// same parser, check and encoding), applied to UTF-8 byte ranges that need
// not end in a NUL, plus a compiled plan for fixed-width formats that
// gives the parser's own result without running it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "../_shared/encoding.h"
#include "../dateToInt/PosixFctns.h"

namespace vb {

// Why an element has no value.
enum class Failure : std::uint8_t {
    none,
    failedToRead,    // the parser's "failed to read date from fmt"
    yearOutOfRange,  // the parser's "year is out of range"
    missing,         // None or a null entry
    notText,         // a str that has no UTF-8 form (a lone surrogate)
    noMemory,        // no memory for the parser's copy of the text
    // date2intWrapper raised a ValueError with a text of its own (from a
    // str subclass's methods); the caller keeps that text.
    otherValueError,
};

inline const char* failureText(Failure f) noexcept
{
    switch (f) {
        case Failure::failedToRead:
            return failedToReadMsg;
        case Failure::yearOutOfRange:
            return yearOutOfRangeMsg;
        case Failure::missing:
            return "missing value";
        case Failure::notText:
            return "text not encodable as UTF-8";
        case Failure::noMemory:
            return "out of memory";
        case Failure::otherValueError:
        case Failure::none:
            break;
    }
    return "";
}

// One element: UTF-8 bytes (not NUL-terminated; a NUL inside ends the text
// for the parser, as it does for the C string the date module reads), or
// a failure known before parsing.
struct TextRef {
    const char* data;
    std::size_t size;
    Failure failure;
};

// Bytes of code point `c` in UTF-8, 1 to 4; 0 for a surrogate or a value
// beyond U+10FFFF, which have no UTF-8 form (strict, as `str.encode()`).
constexpr std::size_t utf8Length(std::uint32_t c) noexcept
{
    return c < 0x80                       ? 1
           : c < 0x800                    ? 2
           : (c >= 0xD800 && c <= 0xDFFF) ? 0
           : c < 0x10000                  ? 3
           : c <= 0x10FFFF                ? 4
                                          : 0;
}

// Writes code point `c` (one with a UTF-8 form) at `out`; returns the end.
inline char* putUtf8(char* out, std::uint32_t c) noexcept
{
    auto byte = [&](std::uint32_t b) { *out++ = static_cast<char>(b); };
    if (c < 0x80) {
        byte(c);
    } else if (c < 0x800) {
        byte(0xC0 | (c >> 6));
        byte(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        byte(0xE0 | (c >> 12));
        byte(0x80 | ((c >> 6) & 0x3F));
        byte(0x80 | (c & 0x3F));
    } else {
        byte(0xF0 | (c >> 18));
        byte(0x80 | ((c >> 12) & 0x3F));
        byte(0x80 | ((c >> 6) & 0x3F));
        byte(0x80 | (c & 0x3F));
    }
    return out;
}

// Memory for one text at a time that never throws: a short text is kept
// inline, a longer one in memory from the C library's allocator, whose
// failure is a null. Threads that convert a column must not throw: the
// first exception a thread throws makes the C++ runtime allocate that
// thread's exception state, and when that allocation fails the C library
// ends the process.
class Scratch {
public:
    Scratch() noexcept = default;
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;
    ~Scratch() { std::free(heap_); }

    // Room for `n` bytes, valid until the next call; null when there is
    // no memory for them.
    char* reserve(std::size_t n) noexcept
    {
        if (n <= sizeof inline_) {
            return inline_;
        }
        if (n > capacity_) {
            void* grown = std::realloc(heap_, n);
            if (!grown) {
                return nullptr;
            }
            heap_ = static_cast<char*>(grown);
            capacity_ = n;
        }
        return heap_;
    }

private:
    char inline_[128];
    char* heap_ = nullptr;
    std::size_t capacity_ = 0;
};

namespace detail {

// True for the code points `str.isspace()` accepts, which is how the
// regular-expression module's `\s` counts whitespace in a `str` pattern.
constexpr bool isUnicodeSpace(std::uint32_t c) noexcept
{
    return (c >= 0x09 && c <= 0x0D) || (c >= 0x1C && c <= 0x20) || c == 0x85 ||
           c == 0xA0 || c == 0x1680 || (c >= 0x2000 && c <= 0x200A) ||
           c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
           c == 0x3000;
}

// The code point of the well-formed UTF-8 sequence ending just before
// `end` (after `begin`), and its length; length 0 for anything else.
inline std::uint32_t codePointBefore(const unsigned char* begin,
                                     const unsigned char* end,
                                     int& length) noexcept
{
    length = 0;
    if (end == begin) {
        return 0;
    }
    if (end[-1] < 0x80) {
        length = 1;
        return end[-1];
    }
    // Up to three continuation bytes, then a lead byte.
    int n = 1;
    while (n <= 4 && end - n >= begin && (end[-n] & 0xC0) == 0x80) {
        ++n;
    }
    if (n > 4 || end - n < begin) {
        return 0;
    }
    const unsigned char lead = end[-n];
    const int expected = lead >= 0xF0   ? 4
                         : lead >= 0xE0 ? 3
                         : lead >= 0xC0 ? 2
                                        : 0;
    if (expected != n) {
        return 0;
    }
    std::uint32_t c = lead & (0x7F >> n);
    for (int i = n - 1; i >= 1; --i) {
        c = (c << 6) | (end[-i] & 0x3F);
    }
    length = n;
    return c;
}

}  // namespace detail

// Where `\s*[\+-][0-9]+$` matches in `text`: a sign and ASCII digits
// ending at the end or just before a final newline, with the whitespace
// run before the sign. The text without [start, end) is what the date
// module's `sub` leaves. False for no match.
inline bool findZoneSuffix(const char* text, std::size_t size,
                           std::size_t& start, std::size_t& end) noexcept
{
    const auto* s = reinterpret_cast<const unsigned char*>(text);
    std::size_t e = (size > 0 && s[size - 1] == '\n') ? size - 1 : size;
    std::size_t d = e;
    while (d > 0 && s[d - 1] >= '0' && s[d - 1] <= '9') {
        --d;
    }
    if (d == e || d == 0 || (s[d - 1] != '+' && s[d - 1] != '-')) {
        return false;
    }
    std::size_t p = d - 1;
    for (;;) {
        int length;
        const std::uint32_t c = detail::codePointBefore(s, s + p, length);
        if (length == 0 || !detail::isUnicodeSpace(c)) {
            break;
        }
        p -= static_cast<std::size_t>(length);
    }
    start = p;
    end = e;
    return true;
}

// A format compiled for a column: its class, whether the zone suffix is
// removed, and, where every conversion has a fixed width, a plan of steps
// that reads a text of exactly the planned length at fixed offsets.
class ColumnFormat {
public:
    ColumnFormat(const char* fmt, bool skipTz)
        : class_(classifyFormat(fmt)),
          stripZone_(!skipTz && containsMinutes(fmt))
    {
        compilePlan(class_.body);
    }

    bool planned() const noexcept { return planned_; }

    // The value of one element, or its failure. `scratch` holds the
    // NUL-terminated copy the parser reads.
    Failure convert(TextRef t, std::int64_t& out,
                    Scratch& scratch) const noexcept
    {
        if (t.failure != Failure::none) {
            return t.failure;
        }
        std::size_t size = t.size;
        std::size_t tailAt = size;  // a final newline kept after a suffix
        if (stripZone_) {
            std::size_t start, end;
            if (findZoneSuffix(t.data, size, start, end)) {
                size = start;
                tailAt = end;
            }
        }
        const bool tail = tailAt < t.size;
        if (planned_ && !tail && runPlan(t.data, size, out)) {
            return Failure::none;
        }
        const std::size_t tailSize = tail ? t.size - tailAt : 0;
        char* copy = scratch.reserve(size + tailSize + 1);
        if (!copy) {
            return Failure::noMemory;
        }
        if (size != 0) {
            std::memcpy(copy, t.data, size);
        }
        if (tailSize != 0) {
            std::memcpy(copy + size, t.data + tailAt, tailSize);
        }
        copy[size + tailSize] = '\0';
        vb_tm tmb;
        const char* result = detail::parse(copy, class_.body, &tmb);
        switch (check_parse(result, &tmb, class_.body)) {
            case ParseCheck::ok:
                // detail::encode with the format classified once.
                out =
                    encodeInstant(utc_seconds(tmb), tmb.tm_micro_sec, class_);
                return Failure::none;
            case ParseCheck::failedToRead:
                return Failure::failedToRead;
            case ParseCheck::yearOutOfRange:
                return Failure::yearOutOfRange;
        }
        return Failure::failedToRead;
    }

private:
    // Where each conversion of a plan starts in the text; -1 for absent.
    struct Offsets {
        int year = -1, month = -1, day = -1, hour = -1, hour12 = -1,
            minute = -1, second = -1, meridian = -1;
    };

    // A plan only for formats the parser reads at fixed widths: literal
    // bytes other than '%', single spaces, and %Y %m %d %H %M %S %I %p,
    // each at most once, without modifiers, %p last and not with %H.
    // Anything else: no plan.
    void compilePlan(const char* body)
    {
        planned_ = false;
        if (body == nullptr) {
            return;
        }
        bool any = false;
        for (const char* f = body; *f != '\0'; ++f) {
            if (at_.meridian >= 0) {
                return;  // %p must come last
            }
            if (*f != '%') {
                if (*f == ' ' && f[1] == ' ') {
                    return;  // a run of spaces matches runs of any length
                }
                expect_.push_back(*f);
                continue;
            }
            int* slot;
            std::size_t width = 2;
            switch (*++f) {
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
                    return;  // modifiers, names, %%, %f, ...: the parser
            }
            if (*slot >= 0) {
                return;  // read twice: the parser
            }
            *slot = static_cast<int>(expect_.size());
            expect_.append(width, '\0');  // digits or letters
            any = true;
        }
        if (at_.hour >= 0 && at_.hour12 >= 0) {
            return;
        }
        planned_ = any && compileShape();
    }

    static int digit(char c) noexcept { return c - '0'; }

    static int twoDigits(const char* p) noexcept
    {
        return digit(p[0]) * 10 + digit(p[1]);
    }

    static char fold(char c) noexcept
    {
        return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
    }

    // The value when the text has the planned length, its literal bytes
    // where the format has them, digits where numbers are read, and every
    // number within the parser's bounds (where the parser reads the very
    // same digits, giving the same fields), with a year other than 0.
    // False sends the element to the parser, which then decides.
    bool runPlan(const char* text, std::size_t size,
                 std::int64_t& out) const noexcept
    {
        if (size != expect_.size() || !matchesShape(text, size)) {
            return false;
        }
        // The parser's defaults: 1900-01-01 00:00:00.
        int year = 1900, month = 1, day = 1, hour = 0, minute = 0, second = 0;
        if (at_.year >= 0) {
            year = twoDigits(text + at_.year) * 100 +
                   twoDigits(text + at_.year + 2);
            if (year == 0) {
                return false;  // year 0: the parser's error
            }
        }
        if (at_.month >= 0) {
            month = twoDigits(text + at_.month);
            if (month < 1 || month > 12) {
                return false;
            }
        }
        if (at_.day >= 0) {
            day = twoDigits(text + at_.day);
            if (day < 1 || day > 31) {
                return false;
            }
        }
        if (at_.hour >= 0) {
            hour = twoDigits(text + at_.hour);
            if (hour > 23) {
                return false;
            }
        }
        if (at_.hour12 >= 0) {
            hour = twoDigits(text + at_.hour12);
            if (hour < 1 || hour > 12) {
                return false;
            }
            hour = hour == 12 ? 0 : hour;
        }
        if (at_.minute >= 0) {
            minute = twoDigits(text + at_.minute);
            if (minute > 59) {
                return false;
            }
        }
        if (at_.second >= 0) {
            second = twoDigits(text + at_.second);
            if (second > 61) {
                return false;  // 60 and 61 carry, as in the parser's
            }
        }
        if (at_.meridian >= 0) {
            const char a = fold(text[at_.meridian]);
            if ((a != 'a' && a != 'p') ||
                fold(text[at_.meridian + 1]) != 'm' || hour > 11) {
                return false;
            }
            hour += a == 'p' ? 12 : 0;
        }
        // utc_seconds of the parser's record, whose month needs no carry.
        const std::int64_t seconds =
            days_from_civil(year, month, day) * secondsPerDay +
            std::int64_t{hour} * 3600 + std::int64_t{minute} * 60 + second;
        out = encodeInstant(seconds, 0, class_);
        return true;
    }

    // Up to 32 bytes compared eight at a time: literal bytes equal, and
    // digits (bytes '0' to '9') where numbers are read; the letters of %p
    // are checked by their step.
    static constexpr std::size_t shapeWords = 4;

    bool compileShape()
    {
        if (expect_.size() > 8 * shapeWords) {
            return false;
        }
        for (std::size_t i = 0; i < expect_.size(); ++i) {
            const std::size_t w = i / 8, shift = 8 * (i % 8);
            const bool letter = at_.meridian >= 0 &&
                                i - static_cast<std::size_t>(at_.meridian) < 2;
            if (expect_[i] != '\0') {
                literalMask_[w] |= std::uint64_t{0xFF} << shift;
                literalBytes_[w] |=
                    std::uint64_t{static_cast<unsigned char>(expect_[i])}
                    << shift;
            } else if (!letter) {
                digitMask_[w] |= std::uint64_t{0xFF} << shift;
            }
        }
        return true;
    }

    bool matchesShape(const char* text, std::size_t size) const noexcept
    {
        std::uint64_t words[shapeWords] = {};
        std::memcpy(words, text, size);  // size <= 32: checked at compile
        constexpr std::uint64_t zeros = 0x3030303030303030;
        constexpr std::uint64_t highs = 0x8080808080808080;
        constexpr std::uint64_t lows = 0x7F7F7F7F7F7F7F7F;
        constexpr std::uint64_t below10 = 0x7676767676767676;
        std::uint64_t bad = 0;
        for (std::size_t w = 0; w < shapeWords; ++w) {
            bad |= (words[w] & literalMask_[w]) ^ literalBytes_[w];
            // A digit XOR '0' is 0..9; a byte of 10 or more, plus 0x76,
            // reaches the high bit (which `| d` catches for 0x80 up).
            const std::uint64_t d = words[w] ^ zeros;
            bad |= (((d & lows) + below10) | d) & highs & digitMask_[w];
        }
        return bad == 0;
    }

    FormatClass class_;
    bool stripZone_;
    bool planned_ = false;
    std::string expect_;  // per byte: the literal, or NUL for a field
    Offsets at_;
    std::uint64_t literalMask_[shapeWords] = {};
    std::uint64_t literalBytes_[shapeWords] = {};
    std::uint64_t digitMask_[shapeWords] = {};
};

}  // namespace vb
