// The trailing numeric time-zone suffix that the date module removes: the
// one match of its pattern `\s*[\+-][0-9]+$` (the module attribute
// TZ_REGEXP) as the regular-expression module finds it in a `str`. No
// interpreter header: the rule is written once over a reader of the text,
// so that code points, ASCII bytes and UTF-8 share it.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vb {

// True for the code points `str.isspace()` accepts, which is how the
// regular-expression module's `\s` counts whitespace in a `str` pattern.
constexpr bool isUnicodeSpace(std::uint32_t c) noexcept
{
    return (c >= 0x09 && c <= 0x0D) || (c >= 0x1C && c <= 0x20) || c == 0x85 ||
           c == 0xA0 || c == 0x1680 || (c >= 0x2000 && c <= 0x200A) ||
           c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
           c == 0x3000;
}

// Where the suffix is in a text of `n` units: a sign and ASCII digits
// ending at the end or just before a final newline, with the whitespace
// run before the sign. The text without [start, end) is what `re.sub`
// leaves; a match can only end there, so it is also the only one removed.
// False for no match. `text` reads the text by units:
//   - unit(i): the unit at 0 <= i < n, compared here with ASCII only (so
//     a unit of a multi-unit character must never equal an ASCII one, as
//     none of UTF-8's do);
//   - spaceBefore(p): for 0 < p <= n, how many units the character ending
//     at p spans when it is whitespace as isUnicodeSpace says, else 0.
template <class Text>
bool findZoneSuffixIn(const Text& text, std::size_t n, std::size_t& start,
                      std::size_t& end) noexcept
{
    const std::size_t e = (n > 0 && text.unit(n - 1) == '\n') ? n - 1 : n;
    std::size_t d = e;
    while (d > 0 && text.unit(d - 1) >= '0' && text.unit(d - 1) <= '9') {
        --d;
    }
    if (d == e || d == 0 ||
        (text.unit(d - 1) != '+' && text.unit(d - 1) != '-')) {
        return false;
    }
    std::size_t p = d - 1;
    for (std::size_t w; p > 0 && (w = text.spaceBefore(p)) != 0;) {
        p -= w;
    }
    start = p;
    end = e;
    return true;
}

// A text of one byte per character: ASCII (or Latin-1 code points).
struct ByteText {
    const unsigned char* s;

    std::uint32_t unit(std::size_t i) const noexcept { return s[i]; }
    std::size_t spaceBefore(std::size_t p) const noexcept
    {
        return isUnicodeSpace(s[p - 1]) ? 1 : 0;
    }
};

}  // namespace vb
