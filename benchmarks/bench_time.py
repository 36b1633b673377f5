"""ns per call of the integer-to-time functions beside the standard
library's nearest equivalents."""
import calendar
import datetime
import time

from velbrook.intToTime.ordinal_unfolder import (
    fromordinal, int2time, totimestamp, utcfromtimestamp)

from harness import compare, print_header, print_targets

_utcfromtimestamp = getattr(datetime.datetime, "utcfromtimestamp")


def _stdlib_utcfromtimestamp(x):
    # Deprecated from 3.12 on; the naive-UTC equivalent is the same work.
    return datetime.datetime.fromtimestamp(
        x, datetime.timezone.utc).replace(tzinfo=None)


def main():
    print_header("intToTime.ordinal_unfolder")
    seconds = 1614834367
    fmt = b"%Y-%m-%d %H:%M:%S"
    gmtime = compare("int2time(seconds, fmt) vs time.gmtime",
                     lambda: int2time(seconds, fmt),
                     lambda: time.gmtime(seconds))
    ms_fmt = b"v2%Y-%m-%d %H:%M:%S.%f"
    compare("int2time(milliseconds, v2 fmt) vs time.gmtime",
            lambda: int2time(1614834367123, ms_fmt),
            lambda: time.gmtime(1614834367.123))
    ordinal = compare("fromordinal vs datetime.fromordinal",
                      lambda: fromordinal(737853),
                      lambda: datetime.datetime.fromordinal(737853))
    stamp = 1614834367.25
    stamp_pair = compare("utcfromtimestamp vs datetime.utcfromtimestamp",
                         lambda: utcfromtimestamp(stamp),
                         lambda: _stdlib_utcfromtimestamp(stamp))
    dt = datetime.datetime(2021, 3, 4, 5, 6, 7)
    compare("totimestamp vs calendar.timegm(utctimetuple)",
            lambda: totimestamp(dt),
            lambda: calendar.timegm(dt.utctimetuple()))
    print_targets([
        ("int2time / time.gmtime", 0.5, gmtime),
        ("fromordinal / datetime.fromordinal", 1.0, ordinal),
        ("utcfromtimestamp / fromtimestamp(utc)", 1.0, stamp_pair),
    ])


if __name__ == "__main__":
    main()
