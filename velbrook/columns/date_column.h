// Date text to integers for a whole column, without the interpreter: the
// per-element rule of the date module (the same zone-suffix rule, the
// same compiled format, plan, parser, check and encoding), applied to
// UTF-8 byte ranges that need not end in a NUL.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

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

// A format compiled for a column: the date module's compiled format, and
// whether a zone suffix is removed first (by the date module's rule).
struct ColumnFormat : CompiledFormat {
    ColumnFormat(const char* fmt, bool skipTz) noexcept
        : CompiledFormat(fmt), stripZone(!skipTz && markers.minutes)
    {
    }

    // The value of one element, or its failure. `scratch` holds the
    // NUL-terminated copy the parser reads, made only when the plan does
    // not decide. Inlined into the loop over a column's elements.
    __attribute__((always_inline)) Failure
    convert(TextRef t, std::int64_t& out, Scratch& scratch) const noexcept
    {
        if (t.failure != Failure::none) {
            return t.failure;
        }
        // The text read: [0, head), then [tailAt, size), a final newline
        // kept after a zone suffix.
        std::size_t head = t.size, tailAt = t.size;
        if (stripZone) {
            const Utf8Text text{
                reinterpret_cast<const unsigned char*>(t.data)};
            findZoneSuffixIn(text, t.size, head, tailAt);
        }
        const std::size_t tailSize = t.size - tailAt;
        auto copy = [&]() noexcept -> const char* {
            char* c = scratch.reserve(head + tailSize + 1);
            if (c) {
                if (head != 0) {
                    std::memcpy(c, t.data, head);
                }
                if (tailSize != 0) {
                    std::memcpy(c + head, t.data + tailAt, tailSize);
                }
                c[head + tailSize] = '\0';
            }
            return c;
        };
        if (tailSize == 0) {
            return dateToIntOfView(t.data, head, *this, out, copy);
        }
        const char* joined = copy();
        return joined ? dateToInt(joined, head + tailSize, *this, out)
                      : Failure::noMemory;
    }

    bool stripZone;
};

}  // namespace vb
