// Date text to one integer, or to a checked record, over the parser of
// "strptime.h". No interpreter header: plain byte strings in, `time_t` or
// a `vb_tm` out; failures throw std::invalid_argument with a fixed text.
//
// Which integer a format produces (epoch seconds, epoch milliseconds or
// day ordinal) and the date arithmetic are those of "encoding.h".
// Everything is UTC; no time zone is read or applied.
#pragma once

#include <cstdint>
#include <cstring>
#include <ctime>
#include <stdexcept>

#include "../_shared/encoding.h"
#include "strptime.h"

namespace vb {

static_assert(sizeof(std::time_t) == 8, "64-bit time_t required");

inline constexpr const char* failedToReadMsg = "failed to read date from fmt";
inline constexpr const char* yearOutOfRangeMsg = "year is out of range";

// Every byte zero, then day 1: absent fields give 1900-01-01 00:00:00.
inline void prepare_record(vb_tm* tmb) noexcept
{
    std::memset(static_cast<void*>(tmb), 0, sizeof *tmb);
    tmb->tm_mday = 1;
}

enum class ParseCheck { ok, failedToRead, yearOutOfRange };

// The post-parse check without throwing; `result` is what myStrptime
// returned for `fmt` (without any "v2"). Input left over is a failed
// read. Year 0 is refused only when the format text holds the bytes "%Y":
// a text test, so "%%Y" counts and "%EY" does not.
inline ParseCheck check_parse(const char* result, const vb_tm* tmb,
                              const char* fmt) noexcept
{
    if (result == nullptr || *result != '\0') {
        return ParseCheck::failedToRead;
    }
    if (tmb->tm_year < -1899 && fmt != nullptr &&
        std::strstr(fmt, "%Y") != nullptr) {
        return ParseCheck::yearOutOfRange;
    }
    return ParseCheck::ok;
}

inline void validate_strptime(const char* result, const vb_tm* tmb,
                              const char* fmt)
{
    switch (check_parse(result, tmb, fmt)) {
        case ParseCheck::ok:
            return;
        case ParseCheck::failedToRead:
            throw std::invalid_argument(failedToReadMsg);
        case ParseCheck::yearOutOfRange:
            throw std::invalid_argument(yearOutOfRangeMsg);
    }
}

namespace detail {

// Parses `date` against `body`, the format without its "v2" marker; the
// result is myStrptime's.
inline const char* parse(const char* date, const char* body,
                         vb_tm* tmb) noexcept
{
    prepare_record(tmb);
    return myStrptime(date, body, tmb);
}

// The format is classified only once the parse succeeded, so failing
// costs no more than the parse.
inline std::time_t encode(const vb_tm& tmb, const char* fmt) noexcept
{
    return encodeInstant(utc_seconds(tmb), tmb.tm_micro_sec,
                         classifyFormat(fmt));
}

}  // namespace detail

// Parses `date` against `fmt` and encodes the instant as the format's
// class says.
inline std::time_t dateToInt(const char* date, const char* fmt)
{
    const char* body = formatBody(fmt);
    vb_tm tmb;
    const char* result = detail::parse(date, body, &tmb);
    validate_strptime(result, &tmb, body);
    return detail::encode(tmb, fmt);
}

// As dateToInt, but every failure returns -1 (also a genuine value: one
// second or millisecond before the epoch). Never throws, and failing costs
// no more than the parse itself.
inline std::time_t dateToIntSafe(const char* date, const char* fmt) noexcept
{
    const char* body = formatBody(fmt);
    vb_tm tmb;
    const char* result = detail::parse(date, body, &tmb);
    if (check_parse(result, &tmb, body) != ParseCheck::ok) {
        return -1;
    }
    return detail::encode(tmb, fmt);
}

// The checked record, fields not normalised; "v2" is plain text here.
inline vb_tm strptime_c(const char* date, const char* fmt)
{
    vb_tm tmb;
    prepare_record(&tmb);
    const char* result = myStrptime(date, fmt, &tmb);
    validate_strptime(result, &tmb, fmt);
    return tmb;
}

}  // namespace vb
