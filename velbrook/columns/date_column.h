// Date text to integers for a whole column, without the interpreter: the
// per-element rule of the date module (the same zone-suffix removal, the
// same parser, check and encoding), applied to UTF-8 byte ranges that need
// not end in a NUL, plus a compiled plan for fixed-width formats that
// gives the parser's own result without running it.
#pragma once

#include <cstddef>
#include <cstdint>
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

namespace detail {

// True for the code points `str.isspace()` accepts, which is how the
// regular-expression module's `\s` counts whitespace in a `str` pattern.
constexpr bool isUnicodeSpace(std::uint32_t c) noexcept
{
    return (c >= 0x09 && c <= 0x0D) || (c >= 0x1C && c <= 0x20) ||
           c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 ||
           c == 0x202F || c == 0x205F || c == 0x3000;
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
    const int expected = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 0;
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
        : fmt_(fmt),
          class_(classifyFormat(fmt)),
          stripZone_(!skipTz && containsMinutes(fmt))
    {
        compilePlan(class_.body);
    }

    bool planned() const noexcept { return planned_; }

    // The value of one element, or its failure. `scratch` holds the
    // NUL-terminated copy the parser reads.
    Failure convert(TextRef t, std::int64_t& out,
                    std::string& scratch) const noexcept
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
        try {
            scratch.assign(t.data, size);
            if (tail) {
                scratch.append(t.data + tailAt, t.size - tailAt);
            }
        } catch (...) {
            return Failure::noMemory;
        }
        vb_tm tmb;
        const char* result = detail::parse(scratch.c_str(), class_.body, &tmb);
        switch (check_parse(result, &tmb, class_.body)) {
            case ParseCheck::ok:
                out = detail::encode(tmb, fmt_);
                return Failure::none;
            case ParseCheck::failedToRead:
                return Failure::failedToRead;
            case ParseCheck::yearOutOfRange:
                return Failure::yearOutOfRange;
        }
        return Failure::failedToRead;
    }

private:
    enum class Op : std::uint8_t {
        literal,     // one byte
        number,      // `width` digits, lo..hi, stored in `field` + offset
        twelveHour,  // two digits 1..12, 12 stored as 0
        meridian,    // "AM" or "PM" (ASCII case ignored), the last step
    };

    struct Step {
        Op op;
        char byte;
        std::uint8_t width;
        int lo, hi, offset;
        int vb_tm::*field;
    };

    // A plan only for formats the parser reads at fixed widths: literal
    // bytes other than spaces and '%', single spaces, and %Y %m %d %H %M
    // %S %I without modifiers, with %p last. Anything else: no plan.
    void compilePlan(const char* body)
    {
        planned_ = false;
        length_ = 0;
        steps_.clear();
        if (body == nullptr) {
            return;
        }
        for (const char* f = body; *f != '\0'; ++f) {
            if (*f != '%') {
                if (*f == ' ' && f[1] == ' ') {
                    return;  // a run of spaces matches runs of any length
                }
                steps_.push_back({Op::literal, *f, 1, 0, 0, 0, nullptr});
                length_ += 1;
                continue;
            }
            if (!steps_.empty() && steps_.back().op == Op::meridian) {
                return;  // %p must be last
            }
            switch (*++f) {
                case 'Y':
                    steps_.push_back(
                        {Op::number, 0, 4, 0, 9999, -1900, &vb_tm::tm_year});
                    break;
                case 'm':
                    steps_.push_back(
                        {Op::number, 0, 2, 1, 12, -1, &vb_tm::tm_mon});
                    break;
                case 'd':
                    steps_.push_back(
                        {Op::number, 0, 2, 1, 31, 0, &vb_tm::tm_mday});
                    break;
                case 'H':
                    steps_.push_back(
                        {Op::number, 0, 2, 0, 23, 0, &vb_tm::tm_hour});
                    break;
                case 'M':
                    steps_.push_back(
                        {Op::number, 0, 2, 0, 59, 0, &vb_tm::tm_min});
                    break;
                case 'S':
                    steps_.push_back(
                        {Op::number, 0, 2, 0, 61, 0, &vb_tm::tm_sec});
                    break;
                case 'I':
                    steps_.push_back(
                        {Op::twelveHour, 0, 2, 1, 12, 0, &vb_tm::tm_hour});
                    break;
                case 'p':
                    steps_.push_back({Op::meridian, 0, 2, 0, 0, 0, nullptr});
                    break;
                default:
                    return;  // modifiers, names, %%, %f, ...: the parser
            }
            length_ += steps_.back().width;
        }
        // A literal after %p would have been refused above only for
        // conversions; refuse it here too.
        for (std::size_t i = 0; i + 1 < steps_.size(); ++i) {
            if (steps_[i].op == Op::meridian) {
                return;
            }
        }
        planned_ = !steps_.empty();
    }

    static bool twoDigits(const char* p, int& v) noexcept
    {
        if (p[0] < '0' || p[0] > '9' || p[1] < '0' || p[1] > '9') {
            return false;
        }
        v = (p[0] - '0') * 10 + (p[1] - '0');
        return true;
    }

    static char fold(char c) noexcept
    {
        return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
    }

    // The value when the text is read at the planned offsets and every
    // field is within the parser's bounds (where the parser reads the very
    // same digits), with a year other than 0; false sends the element to
    // the parser, which then decides.
    bool runPlan(const char* text, std::size_t size,
                 std::int64_t& out) const noexcept
    {
        if (size != length_) {
            return false;
        }
        vb_tm tmb;
        prepare_record(&tmb);
        const char* p = text;
        for (const Step& s : steps_) {
            int v;
            switch (s.op) {
                case Op::literal:
                    if (*p != s.byte) {
                        return false;
                    }
                    break;
                case Op::number:
                    if (s.width == 4) {
                        int hi, lo;
                        if (!twoDigits(p, hi) || !twoDigits(p + 2, lo)) {
                            return false;
                        }
                        v = hi * 100 + lo;
                        if (v == 0) {
                            return false;  // year 0: the parser's error
                        }
                    } else if (!twoDigits(p, v) || v < s.lo || v > s.hi) {
                        return false;
                    }
                    tmb.*s.field = v + s.offset;
                    break;
                case Op::twelveHour:
                    if (!twoDigits(p, v) || v < 1 || v > 12) {
                        return false;
                    }
                    tmb.tm_hour = v == 12 ? 0 : v;
                    break;
                case Op::meridian: {
                    const char a = fold(p[0]), m = fold(p[1]);
                    if ((a != 'a' && a != 'p') || m != 'm' ||
                        tmb.tm_hour > 11) {
                        return false;
                    }
                    if (a == 'p') {
                        tmb.tm_hour += 12;
                    }
                    break;
                }
            }
            p += s.width;
        }
        out = detail::encode(tmb, fmt_);
        return true;
    }

    const char* fmt_;
    FormatClass class_;
    bool stripZone_;
    bool planned_ = false;
    std::size_t length_ = 0;
    std::vector<Step> steps_;
};

}  // namespace vb
