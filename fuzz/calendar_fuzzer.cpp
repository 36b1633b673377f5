// Fuzz target for the calendar arithmetic of "encoding.h", checked against
// the C library it stands in for.
//
// Input: a sequence of cases, each a choice of check and its integers.
// Values are drawn near the edges that matter (the epoch, the ends of the
// years gmtime_r can represent, the ends of int and of 64 bits) as well as
// anywhere.
//
// Checked:
//   - utcRecord equals gmtime_r field for field (zone and offset too) on
//     any 64-bit epoch second, and fails exactly where gmtime_r fails;
//   - utcSeconds equals timegm on records with any int fields that
//     timegm accepts, and timegm refuses every year beyond int;
//   - civilFromDays inverts daysFromCivil, and day ordinals turn into
//     seconds as the epoch offset says.
#include <fuzzer/FuzzedDataProvider.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "../velbrook/_shared/encoding.h"

namespace {

[[noreturn]] void fail(const char* what, long long a, long long b = 0)
{
    std::fprintf(stderr, "calendar_fuzzer: %s (%lld, %lld)\n", what, a, b);
    std::abort();
}

// Seconds of the last instant whose year gmtime_r still represents.
constexpr std::int64_t lastSecond = 67768036191676799;
constexpr std::int64_t firstSecond = -67768040609740800;

std::int64_t pick_seconds(FuzzedDataProvider& in)
{
    const std::int64_t near[] = {0,           lastSecond,
                                 firstSecond, INT64_MAX,
                                 INT64_MIN,   -vb::ordinalEpochOffset};
    switch (in.ConsumeIntegralInRange<int>(0, 2)) {
        case 0:
            return in.ConsumeIntegral<std::int64_t>();
        case 1: {
            const std::int64_t base =
                near[in.ConsumeIntegralInRange<int>(0, 5)];
            const std::int64_t step = in.ConsumeIntegralInRange<std::int64_t>(
                -vb::secondsPerDay * 800, vb::secondsPerDay * 800);
            std::int64_t v;
            return __builtin_add_overflow(base, step, &v) ? base : v;
        }
        default:  // years 0..9999, where stored integers live
            return in.ConsumeIntegralInRange<std::int64_t>(
                -vb::ordinalEpochOffset, 253402300799);
    }
}

int pick_field(FuzzedDataProvider& in, int lo, int hi)
{
    switch (in.ConsumeIntegralInRange<int>(0, 3)) {
        case 0:
            return in.ConsumeIntegral<int>();
        case 1:  // near the ends of int, where the C library must carry
            return in.ConsumeBool()
                       ? INT_MAX - in.ConsumeIntegralInRange(0, 40)
                       : INT_MIN + in.ConsumeIntegralInRange(0, 40);
        default:
            return in.ConsumeIntegralInRange(lo, hi);
    }
}

bool same_record(const std::tm& a, const std::tm& b)
{
    return a.tm_sec == b.tm_sec && a.tm_min == b.tm_min &&
           a.tm_hour == b.tm_hour && a.tm_mday == b.tm_mday &&
           a.tm_mon == b.tm_mon && a.tm_year == b.tm_year &&
           a.tm_wday == b.tm_wday && a.tm_yday == b.tm_yday &&
           a.tm_isdst == b.tm_isdst && a.tm_gmtoff == b.tm_gmtoff &&
           a.tm_zone != nullptr && b.tm_zone != nullptr &&
           std::strcmp(a.tm_zone, b.tm_zone) == 0;
}

void check_breakdown(std::int64_t seconds)
{
    std::tm ours = {}, theirs = {};
    const std::time_t s = seconds;
    const bool ok = vb::utcRecord(seconds, ours);
    if (ok != (gmtime_r(&s, &theirs) != nullptr)) {
        fail("utcRecord and gmtime_r disagree on failing", seconds);
    }
    if (ok && !same_record(ours, theirs)) {
        fail("utcRecord differs from gmtime_r", seconds);
    }
}

void check_timegm(FuzzedDataProvider& in)
{
    std::tm t = {};
    t.tm_year = pick_field(in, -3000, 10000);
    t.tm_mon = pick_field(in, -30, 30);
    t.tm_mday = pick_field(in, -400, 400);
    t.tm_hour = pick_field(in, -50, 50);
    t.tm_min = pick_field(in, -100, 100);
    t.tm_sec = pick_field(in, -100, 100);
    std::tm copy = t;
    errno = 0;
    const std::int64_t theirs = timegm(&copy);
    const std::int64_t ours = vb::utcSeconds(t);
    std::tm normalised;
    const bool representable = vb::utcRecord(ours, normalised);
    // timegm refuses every year beyond int, and also some records whose
    // end year fits but whose carries, taken one field at a time, leave
    // int on the way; the records the modules convert have fields in
    // their usual ranges, far from those.
    const bool refused = theirs == -1 && errno == EOVERFLOW;
    if (!refused && (!representable || ours != theirs)) {
        std::fprintf(stderr, "calendar_fuzzer: record %d-%d-%d %d:%d:%d\n",
                     t.tm_year, t.tm_mon, t.tm_mday, t.tm_hour, t.tm_min,
                     t.tm_sec);
        fail("utcSeconds differs from timegm", ours, theirs);
    }
}

void check_days(FuzzedDataProvider& in)
{
    const std::int64_t z = in.ConsumeIntegralInRange<std::int64_t>(
        -(std::int64_t{1} << 62), std::int64_t{1} << 62);
    const vb::CivilDate d = vb::civilFromDays(z);
    if (d.month < 1 || d.month > 12 || d.day < 1 || d.day > 31 ||
        vb::daysFromCivil(d.year, d.month, d.day) != z) {
        fail("civilFromDays does not invert daysFromCivil", z);
    }
    std::int64_t seconds;
    const std::int64_t ordinal = z + vb::epochOrdinal;
    if (vb::ordinalToSeconds(ordinal, seconds) &&
        seconds != z * vb::secondsPerDay) {
        fail("ordinal seconds differ from the day's", ordinal, seconds);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size)
{
    FuzzedDataProvider in(data, size);
    while (in.remaining_bytes() != 0) {
        switch (in.ConsumeIntegralInRange<int>(0, 2)) {
            case 0:
                check_breakdown(pick_seconds(in));
                break;
            case 1:
                check_timegm(in);
                break;
            default:
                check_days(in);
                break;
        }
    }
    return 0;
}
