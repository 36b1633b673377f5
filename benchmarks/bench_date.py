"""ns per call of the date-string functions beside the standard library's
nearest equivalents and, where installed, ciso8601 (a C parser of ISO
8601 text)."""
import calendar
import datetime

from velbrook.dateToInt.calendar_text_codec import (
    date2intSafeWrapper, date2intWrapper, strptime)

from harness import compare, print_header, print_targets

try:
    import ciso8601
except ImportError:
    ciso8601 = None

_strptime = datetime.datetime.strptime
_fromisoformat = datetime.datetime.fromisoformat
_EPOCH = datetime.datetime(1970, 1, 1)
_SECOND = datetime.timedelta(seconds=1)


def _stdlib_seconds(text, fmt):
    return calendar.timegm(_strptime(text, fmt).timetuple())


def _stdlib_seconds_or_minus_one(text, fmt):
    try:
        return _stdlib_seconds(text, fmt)
    except ValueError:
        return -1


def _isoformat_seconds(text):
    """The quickest standard route from ISO text to epoch seconds."""
    return (_fromisoformat(text) - _EPOCH) // _SECOND


def main():
    print_header("dateToInt.calendar_text_codec")
    fmt = "%Y-%m-%d %H:%M:%S"
    bfmt = fmt.encode()
    plain = "2021-03-04 05:06:07"
    zoned = "2021-03-04 05:06:07 +0100"
    zone_fmt = fmt + " %z"
    assert date2intWrapper(plain, bfmt) == _isoformat_seconds(plain)
    compare("date2intWrapper vs timegm(strptime)",
            lambda: date2intWrapper(plain, bfmt),
            lambda: _stdlib_seconds(plain, fmt))
    iso = compare("date2intWrapper vs fromisoformat -> int",
                  lambda: date2intWrapper(plain, bfmt),
                  lambda: _isoformat_seconds(plain))
    compare("date2intWrapper skip_tz vs timegm(strptime)",
            lambda: date2intWrapper(plain, bfmt, True),
            lambda: _stdlib_seconds(plain, fmt))
    # The standard library reads the zone that velbrook removes; both
    # give the wall-clock seconds' worth of work on the same text.
    compare("date2intWrapper +0100 vs timegm(strptime %z)",
            lambda: date2intWrapper(zoned, bfmt),
            lambda: _stdlib_seconds(zoned, zone_fmt))
    # fromisoformat reads no " +0100" before 3.11: the anchor is the
    # zone-free text, as for the row above.
    iso_zoned = compare("date2intWrapper +0100 vs fromisoformat -> int",
                        lambda: date2intWrapper(zoned, bfmt),
                        lambda: _isoformat_seconds(plain))
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
    checks = [
        ("date2intWrapper ISO / fromisoformat -> int", 0.25, iso),
        ("date2intWrapper +0100 / fromisoformat -> int", 0.3, iso_zoned),
    ]
    if ciso8601 is not None:
        assert strptime(plain, bfmt) == ciso8601.parse_datetime(plain)
        pair = compare("strptime ISO vs ciso8601.parse_datetime",
                       lambda: strptime(plain, bfmt),
                       lambda: ciso8601.parse_datetime(plain))
        checks.insert(0, ("strptime ISO / ciso8601.parse_datetime", 1.0,
                          pair))
    else:
        print("ciso8601 not installed: strptime not compared with it")
    print_targets(checks)


if __name__ == "__main__":
    main()
