"""ns per call of the date-string functions beside the standard library's
nearest equivalents."""
import calendar
import datetime

from velbrook.dateToInt.calendar_text_codec import (
    date2intSafeWrapper, date2intWrapper, strptime)

from harness import compare, print_header

_strptime = datetime.datetime.strptime


def _stdlib_seconds(text, fmt):
    return calendar.timegm(_strptime(text, fmt).timetuple())


def _stdlib_seconds_or_minus_one(text, fmt):
    try:
        return _stdlib_seconds(text, fmt)
    except ValueError:
        return -1


def main():
    print_header("dateToInt.calendar_text_codec")
    fmt = "%Y-%m-%d %H:%M:%S"
    bfmt = fmt.encode()
    plain = "2021-03-04 05:06:07"
    zoned = "2021-03-04 05:06:07 +0100"
    zone_fmt = fmt + " %z"
    compare("date2intWrapper vs timegm(strptime)",
            lambda: date2intWrapper(plain, bfmt),
            lambda: _stdlib_seconds(plain, fmt))
    compare("date2intWrapper skip_tz vs timegm(strptime)",
            lambda: date2intWrapper(plain, bfmt, True),
            lambda: _stdlib_seconds(plain, fmt))
    # The standard library reads the zone that velbrook removes; both
    # give the wall-clock seconds' worth of work on the same text.
    compare("date2intWrapper +0100 vs timegm(strptime %z)",
            lambda: date2intWrapper(zoned, bfmt),
            lambda: _stdlib_seconds(zoned, zone_fmt))
    bad = "2021-03-04 05:06:07 UTC"
    compare("date2intSafeWrapper bad text vs try strptime",
            lambda: date2intSafeWrapper(bad, bfmt),
            lambda: _stdlib_seconds_or_minus_one(bad, fmt))
    compare("date2intSafeWrapper bad, skip_tz vs same",
            lambda: date2intSafeWrapper(bad, bfmt, True),
            lambda: _stdlib_seconds_or_minus_one(bad, fmt))
    compare("strptime vs datetime.strptime",
            lambda: strptime(plain, bfmt), lambda: _strptime(plain, fmt))
    us_fmt = "%Y-%m-%d %H:%M:%S.%f"
    us_text = "2021-03-04 05:06:07.123456"
    compare("strptime %f vs datetime.strptime",
            lambda: strptime(us_text, us_fmt.encode()),
            lambda: _strptime(us_text, us_fmt))


if __name__ == "__main__":
    main()
