// Date text to integers for a whole column, without the interpreter: the
// per-element rule of the date module (the same zone-suffix removal, the
// same compiled format, parser, check and encoding), applied to UTF-8
// byte ranges that need not end in a NUL.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
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

    // Whether a zone suffix is removed before parsing.
    bool stripsZone() const noexcept { return stripZone_; }

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
        if (!tail && plannedDateToInt(t.data, size, format_, out)) {
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
        return parsedDateToInt(copy, format_, out);
    }

private:
    CompiledFormat format_;
    bool stripZone_;
};

}  // namespace vb
