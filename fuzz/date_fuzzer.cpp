// Fuzz target for the date parser and the date-to-integer conversions.
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
//   - validate_strptime and dateToInt accept and refuse the same inputs,
//     with the same message;
//   - dateToIntSafe gives -1 exactly where dateToInt throws, and the same
//     value otherwise;
//   - the conversion's own seconds arithmetic equals the C library's
//     timegm on every record the parser produces;
//   - strptime_c (no "v2" handling) throws nothing but invalid_argument.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <ctime>
#include <string>

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

// Outcome of one throwing call: "" for no exception, else its message.
template <class F>
std::string outcome(F&& call, const char* fmt, const char* date)
{
    try {
        call();
        return std::string();
    } catch (const std::invalid_argument& e) {
        const std::string what = e.what();
        if (what.empty()) {
            fail("empty invalid_argument message", fmt, date);
        }
        return what;
    } catch (...) {
        fail("exception other than std::invalid_argument", fmt, date);
    }
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

    // The parser and the post-parse check, as dateToInt runs them.
    const char* body = vb::formatBody(fmt);
    vb::vb_tm record;
    vb::prepare_record(&record);
    const char* end = vb::myStrptime(date, body, &record);
    if (end != nullptr && (end < date || end > date + date_len)) {
        fail("parser end position outside the date", fmt, date);
    }
    const std::string checked =
        outcome([&] { vb::validate_strptime(end, &record, body); }, fmt, date);
    if (end != nullptr) {
        // Any record the parser leaves, accepted or not, is in the domain
        // the conversion arithmetic must share with timegm.
        std::tm copy = record;
        const std::int64_t expected = timegm(&copy);
        if (vb::utcSeconds(record) != expected) {
            fail("utcSeconds differs from timegm", fmt, date);
        }
    }
    if (checked.empty()) {
        check_record(record, fmt, date);
    }

    // The conversions must agree with that check and with each other.
    std::time_t value = 0;
    const std::string converted =
        outcome([&] { value = vb::dateToInt(date, fmt); }, fmt, date);
    if (converted != checked) {
        fail("dateToInt and validate_strptime disagree", fmt, date);
    }
    const std::time_t safe = vb::dateToIntSafe(date, fmt);
    if (converted.empty() ? safe != value : safe != -1) {
        fail("dateToIntSafe and dateToInt disagree", fmt, date);
    }

    // The datetime path reads the whole format, "v2" included.
    outcome([&] { (void)vb::strptime_c(date, fmt); }, fmt, date);
    return 0;
}
