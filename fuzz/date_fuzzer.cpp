// Fuzz target for the date parser, the compiled format and the
// date-to-integer conversions.
//
// Input: "<format>\n<date>" (no newline: all of it is the format, the
// date is empty). Each part is cut at its first NUL and copied into a heap
// block of exactly its length plus the terminating NUL, so that a read one
// byte too far lands outside the block and AddressSanitizer reports it.
//
// Checked on every input:
//   - myStrptime never returns a position before the date or past its NUL;
//   - a successful parse leaves every field within the parser's bounds and
//     the fields it never writes untouched;
//   - dateToInt, over the compiled format (its markers found in one walk,
//     its fixed-width plan where there is one), gives exactly what the
//     conversion gave before there was a compiled format: the parser run
//     on the text, checked and encoded with markers found by plain
//     substring searches (`reference` below), the same value or the same
//     failure;
//   - dateToIntSafe gives -1 exactly where dateToInt fails, and the same
//     value otherwise;
//   - strptime_c ("v2" plain text) gives the parser's checked record, and
//     wherever the plan reads a text, it gives the parser's fields;
//   - the conversion's own seconds arithmetic equals the C library's
//     timegm on every record the parser produces.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>

#include "fuzz_input.h"

#include "PosixFctns.h"
#include "strptime.h"

namespace {

[[noreturn]] void fail(const char* what, const char* fmt, const char* date)
{
    std::fprintf(stderr, "date_fuzzer: %s\n  fmt  = \"%s\"\n  date = \"%s\"\n",
                 what, fmt, date);
    std::abort();
}

// An exact-size, NUL-terminated heap copy of data[0..size) up to its
// first NUL.
std::unique_ptr<char[]> exact_copy(const std::uint8_t* data, std::size_t size,
                                   std::size_t* length)
{
    const void* nul = std::memchr(data, 0, size);
    const std::size_t n =
        nul ? static_cast<std::size_t>(static_cast<const std::uint8_t*>(nul) -
                                       data)
            : size;
    std::unique_ptr<char[]> copy(new char[n + 1]);
    if (n != 0) {
        std::memcpy(copy.get(), data, n);
    }
    copy[n] = '\0';
    *length = n;
    return copy;
}

bool within(int v, int lo, int hi)
{
    return v >= lo && v <= hi;
}

void check_record(const vb::vb_tm& t, const char* fmt, const char* date)
{
    if (!within(t.tm_sec, 0, 61) || !within(t.tm_min, 0, 59) ||
        !within(t.tm_hour, 0, 23) || !within(t.tm_mday, 1, 31) ||
        !within(t.tm_mon, 0, 11) || !within(t.tm_year, -1900, 9999 - 1900) ||
        !within(t.tm_wday, 0, 6) || !within(t.tm_yday, 0, 365) ||
        !within(t.tm_micro_sec, 0, 999999)) {
        fail("parsed field out of bounds", fmt, date);
    }
    if (t.tm_isdst != 0 || t.tm_gmtoff != 0 || t.tm_zone != nullptr) {
        fail("parser wrote a field it does not own", fmt, date);
    }
}

bool same_fields(const vb::vb_tm& a, const vb::vb_tm& b)
{
    return a.tm_year == b.tm_year && a.tm_mon == b.tm_mon &&
           a.tm_mday == b.tm_mday && a.tm_hour == b.tm_hour &&
           a.tm_min == b.tm_min && a.tm_sec == b.tm_sec &&
           a.tm_wday == b.tm_wday && a.tm_yday == b.tm_yday &&
           a.tm_micro_sec == b.tm_micro_sec;
}

// The conversion as it was before formats were compiled: the parser on
// the format after a "v2" marker (when `marker`), the post-parse check and
// the encoding with each marker found by its own substring search.
struct Reference {
    vb::Failure why;
    std::int64_t value;  // when `why` is none, and `marker`
    vb::vb_tm record;    // the parser's record, or its remains
    const char* end;     // what the parser returned
};

Reference reference(const char* date, const char* fmt, bool marker)
{
    const bool v2 = marker && fmt[0] == 'v' && fmt[1] == '2';
    const char* body = v2 ? fmt + 2 : fmt;
    Reference r = {vb::Failure::none, 0, {}, nullptr};
    std::memset(static_cast<void*>(&r.record), 0, sizeof r.record);
    r.record.tm_mday = 1;
    r.end = vb::myStrptime(date, body, &r.record);
    if (r.end == nullptr || *r.end != '\0') {
        r.why = vb::Failure::failedToRead;
    } else if (r.record.tm_year < -1899 &&
               std::strstr(body, "%Y") != nullptr) {
        r.why = vb::Failure::yearOutOfRange;
    } else {
        std::tm copy = r.record;
        const std::int64_t sec = timegm(&copy);
        if (v2 && std::strstr(body, "%f") != nullptr) {
            r.value = sec * 1000 + r.record.tm_micro_sec / 1000;
        } else if (std::strstr(body, "%M") == nullptr) {
            r.value = sec / 86400 + 719163 - (sec < 0 && sec % 86400 != 0);
        } else {
            r.value = sec;
        }
    }
    return r;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size)
{
    const FormatAndDate parts = splitInput(data, size);
    const std::size_t fmt_size = parts.formatSize;
    const std::size_t date_offset = parts.dateOffset;

    std::size_t fmt_len = 0, date_len = 0;
    const std::unique_ptr<char[]> fmt_buf =
        exact_copy(data, fmt_size, &fmt_len);
    const std::unique_ptr<char[]> date_buf =
        exact_copy(data + date_offset, size - date_offset, &date_len);
    const char* const fmt = fmt_buf.get();
    const char* const date = date_buf.get();

    const Reference ref = reference(date, fmt, true);
    if (ref.end != nullptr && (ref.end < date || ref.end > date + date_len)) {
        fail("parser end position outside the date", fmt, date);
    }
    if (ref.end != nullptr) {
        // Any record the parser leaves, accepted or not, is in the domain
        // the conversion arithmetic must share with timegm.
        std::tm copy = ref.record;
        if (vb::utcSeconds(ref.record) != timegm(&copy)) {
            fail("utcSeconds differs from timegm", fmt, date);
        }
    }
    if (ref.why == vb::Failure::none) {
        check_record(ref.record, fmt, date);
    }

    // The compiled conversions must give what the reference gave.
    const vb::CompiledFormat compiled(fmt);
    std::int64_t value = 0;
    const vb::Failure why = vb::dateToInt(date, date_len, compiled, value);
    if (why != ref.why || (why == vb::Failure::none && value != ref.value)) {
        fail(compiled.plan.planned() ? "planned dateToInt differs"
                                     : "dateToInt differs",
             fmt, date);
    }
    const std::int64_t safe = vb::dateToIntSafe(date, date_len, compiled);
    if (why == vb::Failure::none ? safe != value : safe != -1) {
        fail("dateToIntSafe and dateToInt disagree", fmt, date);
    }

    // The datetime path reads the whole format, "v2" included.
    const Reference whole = reference(date, fmt, false);
    const vb::CompiledFormat text(fmt, vb::Prefix::text);
    vb::vb_tm record;
    const vb::Failure checked = vb::strptime_c(date, date_len, text, record);
    if (checked != whole.why ||
        (checked == vb::Failure::none && !same_fields(record, whole.record))) {
        fail(text.plan.planned() ? "planned strptime_c differs"
                                 : "strptime_c differs",
             fmt, date);
    }
    return 0;
}
