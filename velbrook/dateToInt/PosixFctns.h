// Date text to one integer, or to a checked record, over the parser of
// "strptime.h" and the compiled format of "compiled_format.h". No
// interpreter header: byte strings in, an integer or a `vb_tm` out, and a
// `Failure` (never an exception) when the text has no value.
//
// Which integer a format produces (epoch seconds, epoch milliseconds or
// day ordinal) and the date arithmetic are those of "encoding.h".
// Everything is UTC; no time zone is read or applied.
//
// A date text is `size` bytes at `date` followed by a NUL; the parser
// reads up to the first NUL, so bytes after an embedded one are not seen
// (the plan, which reads all `size` bytes, refuses a NUL as any other
// byte out of place).
#pragma once

#include <cstdint>
#include <cstring>
#include <ctime>

#include "../_shared/encoding.h"
#include "compiled_format.h"
#include "failure.h"
#include "strptime.h"

namespace vb {

static_assert(sizeof(std::time_t) == 8, "64-bit time_t required");

// Every byte zero, then day 1: absent fields give 1900-01-01 00:00:00.
inline void prepareRecord(vb_tm* tmb) noexcept
{
    std::memset(static_cast<void*>(tmb), 0, sizeof *tmb);
    tmb->tm_mday = 1;
}

// The post-parse check; `result` is what myStrptime returned for the body
// of a format with markers `fmt`. Input left over is a failed read. Year
// 0 is refused only when the format text holds the bytes "%Y".
inline Failure validate_strptime(const char* result, const vb_tm* tmb,
                                 const FormatClass& fmt) noexcept
{
    if (result == nullptr || *result != '\0') {
        return Failure::failedToRead;
    }
    if (tmb->tm_year < -1899 && fmt.year) {
        return Failure::yearOutOfRange;
    }
    return Failure::none;
}

// The record of `date` as the parser leaves it, checked. `date` must be
// NUL-terminated.
inline Failure parsedRecord(const char* date, const CompiledFormat& fmt,
                            vb_tm& tmb) noexcept
{
    prepareRecord(&tmb);
    return validate_strptime(myStrptime(date, fmt.markers.body, &tmb), &tmb,
                             fmt.markers);
}

// The plan's integer for `date[0..size)`, which needs no NUL after it;
// false when the plan does not read it (the parser then decides).
// Inlined, as the plan is, into the single calls and the column loop.
__attribute__((always_inline)) inline bool plannedDateToInt(
    const char* date, std::size_t size, const CompiledFormat& fmt,
    std::int64_t& out) noexcept
{
    PlannedTime t;
    if (!fmt.plan.run(date, size, t)) {
        return false;
    }
    out = encodeInstant(t.seconds(), 0, fmt.markers);
    return true;
}

// The parser's integer for the NUL-terminated `date`.
inline Failure parsedDateToInt(const char* date, const CompiledFormat& fmt,
                               std::int64_t& out) noexcept
{
    vb_tm tmb;
    const Failure why = parsedRecord(date, fmt, tmb);
    if (why == Failure::none) {
        out = encodeInstant(utcSeconds(tmb), tmb.tm_micro_sec, fmt.markers);
    }
    return why;
}

// The conversion of a text that need not end in a NUL: the plan reads
// `date[0..size)` where it lies; only when it leaves the text to the
// parser is `terminated()` asked for those bytes followed by a NUL (null
// when there is no memory for a copy). `out` is written only on success.
template <class Terminated>
__attribute__((always_inline)) inline Failure dateToIntOfView(
    const char* date, std::size_t size, const CompiledFormat& fmt,
    std::int64_t& out, Terminated terminated) noexcept
{
    if (plannedDateToInt(date, size, fmt, out)) {
        return Failure::none;
    }
    const char* text = terminated();
    return text ? parsedDateToInt(text, fmt, out) : Failure::noMemory;
}

// Parses `date` against the format and encodes the instant as its markers
// say; `out` is written only on success.
__attribute__((always_inline)) inline Failure dateToInt(
    const char* date, std::size_t size, const CompiledFormat& fmt,
    std::int64_t& out) noexcept
{
    return dateToIntOfView(date, size, fmt, out, [date] { return date; });
}

// As dateToInt, but every failure gives -1 (also a genuine value: one
// second or millisecond before the epoch).
inline std::int64_t dateToIntSafe(const char* date, std::size_t size,
                                  const CompiledFormat& fmt) noexcept
{
    std::int64_t value;
    return dateToInt(date, size, fmt, value) == Failure::none ? value : -1;
}

// The checked record, fields not normalised; the format is compiled with
// `Prefix::text`, "v2" being plain text here. `tmb` is written whatever
// the outcome and must not be used after a failure.
__attribute__((always_inline)) inline Failure strptime_c(
    const char* date, std::size_t size, const CompiledFormat& fmt,
    vb_tm& tmb) noexcept
{
    PlannedTime t;
    if (fmt.plan.run(date, size, t)) {
        prepareRecord(&tmb);
        t.store(tmb);
        return Failure::none;
    }
    return parsedRecord(date, fmt, tmb);
}

}  // namespace vb
