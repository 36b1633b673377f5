// Date text to integers for a whole column, without the interpreter: the
// per-element rule of the date module (the same zone-suffix removal, the
// same compiled format, parser, check and encoding), applied to UTF-8
// byte ranges that need not end in a NUL.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "../_shared/encoding.h"
#include "../dateToInt/PosixFctns.h"
#include "../dateToInt/zone_suffix.h"

namespace vb {

// One element: UTF-8 bytes (not NUL-terminated; a NUL inside ends the text
// for the parser, as it does for the C string the date module reads), or
// a failure known before parsing.
struct TextRef {
    const char* data;
    std::size_t size;
    Failure failure;
};

namespace detail {

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
        if (length == 0 || !isUnicodeSpace(c)) {
            break;
        }
        p -= static_cast<std::size_t>(length);
    }
    start = p;
    end = e;
    return true;
}

// A format compiled for a column: the date module's compiled format and
// whether the zone suffix is removed.
class ColumnFormat {
public:
    ColumnFormat(const char* fmt, bool skipTz)
        : format_(fmt), stripZone_(!skipTz && format_.markers.minutes)
    {
    }

    bool planned() const noexcept { return format_.plan.planned(); }

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
        if (!tail && plannedDateToInt(t.data, size, format_, out)) {
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
        return parsedDateToInt(scratch.c_str(), format_, out);
    }

private:
    CompiledFormat format_;
    bool stripZone_;
};

}  // namespace vb
