"""velbrook.dateToInt.calendar_text_codec: the parser seen through the
module functions, the integer encodings, the zone-suffix removal, argument
handling, the C-level entries and agreement with the standard library."""
import builtins
import calendar
import ctypes
import datetime as dt
import locale
import random
import re
import traceback

import pytest

from conftest import (c_function, call_object, capsule_name, check,
                      non_string_keyword)
import velbrook.dateToInt.calendar_text_codec as ctc
from velbrook.dateToInt.calendar_text_codec import (
    date2intSafeWrapper as d2i_safe, date2intWrapper as d2i, strptime)
from velbrook.intToTime.ordinal_unfolder import int2time

FAIL = "failed to read date from fmt"
YEAR = "year is out of range"
D = dt.datetime
NAME = "velbrook.dateToInt.calendar_text_codec."


def T(*hms):
    """A time of day on 1900-01-01, the parser's default date."""
    return D(1900, 1, 1, *hms)


def epoch(*fields):
    return calendar.timegm(D(*fields).timetuple())


def encoded(when, fmt):
    """What date2intWrapper writes for the instant `when` parsed by `fmt`."""
    body = fmt[2:] if fmt.startswith(b"v2") else fmt
    if body is not fmt and b"%f" in body:
        return epoch(*when.timetuple()[:6]) * 1000 + when.microsecond // 1000
    if b"%M" not in body:
        return when.toordinal()
    return epoch(*when.timetuple()[:6])


def outcome(want):
    """A table's `want` as check() takes it: a message stands for the
    ValueError that carries it."""
    return ValueError(want) if isinstance(want, str) else want


def expect_int(want, text, fmt, *rest):
    """Both integer functions: the Safe form gives -1 for our ValueErrors."""
    check(lambda: d2i(text, fmt, *rest), outcome(want))
    check(lambda: d2i_safe(text, fmt, *rest),
          -1 if isinstance(want, str) else want)


# --------------------------------------------------------------------------
# The parser: every conversion, its bounds, where it stops, modifiers.

PARSE = [
    # %Y: exactly four digits, a fifth is left for what follows.
    (b"%Y-%m-%d", "2023-07-04", D(2023, 7, 4)),
    (b"%Y-%m-%d", "2023-07-04T10:00", FAIL), (b"%Y", "99", FAIL),
    (b"%Y", "12345", FAIL), (b"%Y5", "12345", D(1234, 1, 1)),
    (b"%Y", "+2023", FAIL), (b"%Y", "0000", YEAR),
    (b"%EY", "2023", D(2023, 1, 1)),
    (b"%OY", "2023", FAIL), (b"%Y", "\u0662\u0660\u0662\u0661", FAIL),
    (b"%Y", "\uff12\uff10\uff12\uff11", FAIL),
    # Day and month: bounds, and the early stop of the number reader.
    (b"%d", "07", D(1900, 1, 7)), (b"%e", "31", D(1900, 1, 31)),
    (b"%d", "0", FAIL), (b"%d", "32", FAIL), (b"%d", " 7", FAIL),
    (b"%Od", "09", D(1900, 1, 9)), (b"%Ed", "09", FAIL),
    (b"%d%m", "4512", FAIL), (b"%d%m12", "4512", D(1900, 5, 4)),
    (b"%m", "12", D(1900, 12, 1)), (b"%m", "13", FAIL), (b"%m", "0", FAIL),
    (b"%mx", "1x", D(1900, 1, 1)), (b"%Om", "02", D(1900, 2, 1)),
    # Hours, minutes, seconds, fractions.
    (b"%H%M", "0930", T(9, 30)), (b"%H%M", "345", T(3, 45)),
    (b"%H", "24", FAIL), (b"%k", "23", T(23)), (b"%k", "24", FAIL),
    (b"%I", "12", T(0)), (b"%l", "12", T(0)), (b"%I", "7", T(7)),
    (b"%I", "13", FAIL), (b"%I", "0", FAIL), (b"%Ol", "7", FAIL),
    (b"%OI", "7", T(7)), (b"%Ok", "7", FAIL), (b"%EH", "7", FAIL),
    (b"%Of", "5", T(0, 0, 0, 500000)), (b"%Ef", "5", FAIL),
    (b"%M", "59", T(0, 59)), (b"%M", "60", FAIL), (b"%OM", "07", T(0, 7)),
    (b"%S", "59", T(0, 0, 59)), (b"%S", "62", FAIL), (b"%ES", "1", FAIL),
    (b"%H:%M:%S.%f", "23:59:58.5", T(23, 59, 58, 500000)),
    (b"%f", "05", T(0, 0, 0, 50000)), (b"%f", "123", T(0, 0, 0, 123000)),
    (b"%f", "123456", T(0, 0, 0, 123456)), (b"%f", "1234567", FAIL),
    (b"%f7", "1234567", T(0, 0, 0, 123456)), (b"%f", ".5", FAIL),
    # Fields that are read and checked but never move the date.
    (b"%j", "366", T()), (b"%j0", "400", T()), (b"%j", "367", FAIL),
    (b"%j", "0", FAIL), (b"%Ej", "001", FAIL),
    (b"%Y %j", "2020 100", D(2020, 1, 1)),
    (b"%w", "6", T()), (b"%w", "7", FAIL), (b"%U", "53", T()),
    (b"%W", "54", FAIL), (b"%OU", "00", T()), (b"%EW", "00", FAIL),
    (b"%Ow", "3", T()), (b"%Ew", "3", FAIL),
    # Names: ASCII case folding, first table entry wins, prefix matching.
    (b"%a %d %b", "thu 01 JAN", T()), (b"%A", "Thursday", T()),
    (b"%A", "Sundays", FAIL), (b"%As", "Sundays", T()), (b"%ad", "Mond", T()),
    (b"%b", "Sept", FAIL), (b"%bt", "Sept", D(1900, 9, 1)),
    (b"%B", "MAY", D(1900, 5, 1)), (b"%h", "may", D(1900, 5, 1)),
    (b"%B %Y", "dEcEmBeR 2021", D(2021, 12, 1)), (b"%B", "Foo", FAIL),
    (b"%b", "Ma", FAIL), (b"%Eb", "Jan", FAIL), (b"%Oa", "Mon", FAIL),
    (b"%A %B", "FRIDAY APRIL", D(1900, 4, 1)), (b"%B", "APR\u0130L", FAIL),
    (b"%A", "fr\u0131day", FAIL), (b"%b", "\uff2a\uff41\uff4e", FAIL),
    # Meridian: only the whole rest of the input.
    (b"%I:%M %p", "12:15 AM", T(0, 15)), (b"%I:%M %p", "12:15 pm", T(12, 15)),
    (b"%I:%M %p", "12:15 PM x", FAIL), (b"%I:%M %p", "10:30 PM ", FAIL),
    (b"%I %p", "1 PM", T(13)), (b"%H %p", "11 am", T(11)),
    (b"%H %p", "13 PM", FAIL), (b"%p %H", "PM 11", FAIL),
    # Years from %y and %C.
    (b"%y", "68", D(2068, 1, 1)), (b"%y", "69", D(1969, 1, 1)),
    (b"%Ey", "05", D(2005, 1, 1)), (b"%Oy", "99", D(1999, 1, 1)),
    (b"%C", "19", D(1900, 1, 1)), (b"%C", "21", D(2100, 1, 1)),
    (b"%C%y", "2023", D(2023, 1, 1)), (b"%y%C", "2320", D(2023, 1, 1)),
    (b"%C%y", "1999", D(1999, 1, 1)), (b"%y%C", "9919", D(1999, 1, 1)),
    (b"%Y %y", "1850 05", D(2005, 1, 1)), (b"%OC", "19", FAIL),
    (b"%C %D", "20 07/04/23", D(2023, 7, 4)),
    # Composites.
    (b"%c", "07/04/23 10:20:30", D(2023, 7, 4, 10, 20, 30)),
    (b"%Ec", "07/04/23 10:20:30", D(2023, 7, 4, 10, 20, 30)),
    (b"%D", "07/04/23", D(2023, 7, 4)), (b"%x", "12/31/99", D(1999, 12, 31)),
    (b"%R", "10:20", T(10, 20)), (b"%T", "10:20:30", T(10, 20, 30)),
    (b"%X", "10:20:30", T(10, 20, 30)), (b"%r", "01:02:03 PM", T(13, 2, 3)),
    (b"%T", "10:20", FAIL), (b"%r", "01:02:03 PM x", FAIL),
    (b"%ED", "07/04/23", FAIL), (b"%OR", "10:20", FAIL),
    (b"%OT", "1:2:3", FAIL),
    # Blanks: a run of format spaces matches one or more spaces only.
    (b"%d %m", "0102", FAIL), (b"%d %m", "01   02", D(1900, 2, 1)),
    (b"%d  %m", "01 02", D(1900, 2, 1)), (b"%d%n%m", "0102", D(1900, 2, 1)),
    (b"%d%t%m", "01   02", D(1900, 2, 1)),
    (b"%d\t%m", "01\t02", D(1900, 2, 1)),
    (b"%d\t%m", "01 02", FAIL), (b"%d %m", "01\t02", FAIL),
    (b"%d %m", "01\xa002", FAIL), (b" %Y", "  2023", D(2023, 1, 1)),
    (b" %Y", "2023", FAIL), (b"%Y-%m-%d", "2023-07-04 ", FAIL),
    # Literals, percent signs, modifiers, unknown letters, empty formats.
    (b"%YT", "2023T", D(2023, 1, 1)), (b"%YT", "2023t", FAIL),
    ("%Y\u5e74".encode(), "2023\u5e74", D(2023, 1, 1)),
    ("%Y\xe9".encode(), "2023e", FAIL),
    (b"%%", "%", T()), (b"%E%", "%", T()), (b"%O%", "%", T()),
    (b"%%Y", "%Y", T()), (b"%", "", FAIL), (b"%Y%", "2023", FAIL),
    (b"%E", "", FAIL), (b"%EE", "", FAIL), (b"%EOd", "01", FAIL),
    (b"%OEd", "01", FAIL), (b"", "", T()), (b"", "x", FAIL),
] + [(b"%" + bytes([c]), "1", FAIL) for c in b"FGgPsuVZzq"]


@pytest.mark.parametrize("fmt, text, want", PARSE)
def test_parser(fmt, text, want):
    check(lambda: strptime(text, fmt), outcome(want))
    # skip_tz: the parser alone, no zone-suffix removal in front of it.
    expect_int(want if isinstance(want, str) else encoded(want, fmt),
               text, fmt, True)


# Parses that the parser accepts but a datetime cannot hold: the integers
# carry over (timegm-style), strptime reports the datetime type's error.
@pytest.mark.parametrize("fmt, text, want", [
    (b"%H:%M:%S", "23:59:60", epoch(1900, 1, 2)),
    (b"%S", "61", 693596),
    (b"%Y-%m-%d", "2021-02-30", D(2021, 3, 2).toordinal()),
    (b"%Y-%m-%d %H:%M", "2021-04-31 10:00", epoch(2021, 5, 1, 10)),
    (b"%EY-%m-%d", "0000-01-01", -365),  # year 0 is a leap year
    (b"%C", "00", -365),
])
def test_outside_datetime(fmt, text, want):
    expect_int(want, text, fmt, True)
    with pytest.raises(ValueError) as info:
        strptime(text, fmt)
    assert info.value.args[0] not in (FAIL, YEAR)


# --------------------------------------------------------------------------
# The three encodings and their markers.

@pytest.mark.parametrize("text, fmt, want", [
    ("2021-03-04 05:06:07", b"%Y-%m-%d %H:%M:%S", 1614834367),
    ("2021-03-04 05:06:07.123456", b"v2%Y-%m-%d %H:%M:%S.%f", 1614834367123),
    ("2021-03-04 05:06:07.123456", b"%Y-%m-%d %H:%M:%S.%f", 1614834367),
    ("2021-03-04", b"%Y-%m-%d", 737853),
    ("1969-12-31 23", b"%Y-%m-%d %H", 719162),
    ("10:30", b"%H:%M", -2208951000), ("", b"", 693596),
    ("0001-01-01", b"%Y-%m-%d", 1), ("9999-12-31", b"%Y-%m-%d", 3652059),
    ("1969-12-31", b"%Y-%m-%d", 719162),
    ("1969-12-31 23:59:59", b"%Y-%m-%d %H:%M:%S", -1),
    ("1969-12-31 23:59:59.5", b"v2%Y-%m-%d %H:%M:%S.%f", -500),
    ("1970-01-01 00:00:00.999999", b"v2%Y-%m-%d %H:%M:%S.%f", 999),
    ("2021-03-04 05:06:07", b"v2%Y-%m-%d %H:%M:%S", 1614834367),
    ("2021-03-04", b"v2%Y-%m-%d", 737853),
    ("2021-03-04 .5", b"v2%Y-%m-%d .%f", 1614816000500),  # ms without %M
    ("2021-03-04 .25", b"%Y-%m-%d .%f", 737853),  # %f without v2: dropped
    ("2021-03-04 05:06:07", b"%Y-%m-%d %T", 737853),  # no "%M" in the text
    ("2021-03-04 05:06", b"%Y-%m-%d %H:%OM", 737853),
    ("2021-03-04 %M", b"%Y-%m-%d %%M", 1614816000),  # "%%M" counts
    ("", b"v2", 693596), ("x", b"v2", FAIL), ("v2", b"v2", FAIL),
    ("v22021", b"v2%Y", FAIL), ("2021v2", b"%Yv2", 737791),
    ("V22021", b"V2%Y", 737791), ("2021", b"V2%Y", FAIL),
    ("0000-01-01", b"%Y-%m-%d", YEAR), ("0000", b"v2%Y", YEAR),
    ("%Y0000", b"%%Y%EY", YEAR), ("2021-03-04 ", b"%Y-%m-%d", FAIL),
])
def test_encodings(text, fmt, want):
    expect_int(want, text, fmt)


def second(d):
    return d.replace(microsecond=0)


def milli(d):
    return d.replace(microsecond=d.microsecond // 1000 * 1000)


def day(d):
    return D(d.year, d.month, d.day)


ROUND_TRIP = [  # format, text of a datetime, the instant read back
    (b"%Y-%m-%d %H:%M:%S", "{:%Y-%m-%d %H:%M:%S}", second),
    (b"v2%Y-%m-%d %H:%M:%S", "{:%Y-%m-%d %H:%M:%S}", second),
    (b"%Y-%m-%d %H:%M:%S.%f", "{:%Y-%m-%d %H:%M:%S.%f}", second),
    (b"v2%Y-%m-%d %H:%M:%S.%f", "{:%Y-%m-%d %H:%M:%S.%f}", milli),
    (b"%Y-%m-%d", "{:%Y-%m-%d}", day),
    (b"v2%Y-%m-%d", "{:%Y-%m-%d}", day),
    (b"%d/%m/%Y %H:%M", "{:%d/%m/%Y %H:%M}",
     lambda d: d.replace(second=0, microsecond=0)),
]


@pytest.mark.parametrize("fmt, template, instant", ROUND_TRIP)
def test_round_trip_with_int2time(fmt, template, instant):
    rng = random.Random(fmt)
    for d in [D(1969, 12, 31, 23, 59, 59, 999999), D(1970, 1, 1)] + [
            D(1900, 1, 1) + dt.timedelta(microseconds=rng.randrange(10 ** 17))
            for _ in range(200)]:
        t = int2time(d2i(template.format(d), fmt), fmt)
        whole = D(*t[:6])  # before 1970: the second rounded toward zero
        assert whole + dt.timedelta(milliseconds=t.tm_milli_sec) == instant(d)
        assert t.tm_wday == whole.weekday()
        assert t.tm_yday == whole.timetuple().tm_yday


def test_v2_fraction_without_minutes_does_not_round_trip():
    # Written as epoch milliseconds, read back as a day ordinal times 1000.
    value = d2i("2021-03-04 .123", b"v2%Y-%m-%d .%f")
    assert value == 1614816000123
    t = int2time(value, b"v2%Y-%m-%d .%f")
    assert t.tm_year > 9999 and t.tm_milli_sec == 123


# --------------------------------------------------------------------------
# The zone suffix.

S = b"%Y-%m-%d %H:%M:%S"
STAMP = 1614834367  # 2021-03-04 05:06:07


@pytest.mark.parametrize("text, fmt, want, want_skipped", [
    ("2021-03-04T05:06:07-0700", b"%Y-%m-%dT%H:%M:%S", STAMP, FAIL),
    ("2021-03-04 05:06:07 +0100", S, STAMP, FAIL),
    ("2021-03-04 05:06:07+1", S, STAMP, FAIL),
    ("2021-03-04 05:06:07\t+0100", S, STAMP, FAIL),
    ("2021-03-04 05:06:07\u3000+0100", S, STAMP, FAIL),  # any str whitespace
    ("2021-03-04 05:06:07\xa0\u2003-05", S, STAMP, FAIL),
    ("2021-03-04 05:06:07.5-05", b"v2" + S + b".%f", STAMP * 1000 + 500, FAIL),
    ("2021-03-04 05:06:07", S, STAMP, STAMP),
    ("2021-03-04 05:06 +01:00", b"%Y-%m-%d %H:%M", FAIL, FAIL),
    ("2021-03-04 05:06:07Z", S, FAIL, FAIL),
    ("2021-03-04 05:06:07 UTC", S, FAIL, FAIL),
    ("2021-03-04 05:06:07 +0100 ", S, FAIL, FAIL),
    ("2021-03-04 05:06:07 -\u0661", S, FAIL, FAIL),  # ASCII digits only
    # "$" matches before a final newline: the zone goes, the newline stays.
    ("2021-03-04 05:06:07 +0100\n", S, FAIL, FAIL),
    ("2021-03-04 05:06:07 +0100\n", S + b"\n", STAMP, FAIL),
    # A day written last looks like a zone and is removed.
    ("10:00 2021-03-04", b"%H:%M %Y-%m-%d", FAIL, epoch(2021, 3, 4, 10)),
    # Without "%M" in the format nothing is removed.
    ("2021-03-04", b"%Y-%m-%d", 737853, 737853),
    ("2021-03-04 +0100", b"%Y-%m-%d", FAIL, FAIL),
    ("2021-03-04 05:06:07\xe9 +0100", S + "\xe9".encode(), STAMP, FAIL),
])
def test_zone_suffix(text, fmt, want, want_skipped):
    expect_int(want, text, fmt)
    expect_int(want, text, fmt, False)
    expect_int(want_skipped, text, fmt, True)


@pytest.mark.parametrize("flag, skipped", [
    (True, True), (1, True), ("x", True), ([0], True), (2.5, True),
    (False, False), (0, False), (None, False), ("", False), ([], False),
    (0.0, False),
])
def test_skip_tz_truth_value(flag, skipped):
    want = FAIL if skipped else STAMP
    expect_int(want, "2021-03-04 05:06:07 +0100", S, flag)
    check(lambda: d2i_safe(x="2021-03-04 05:06:07 +0100", skip_tz=flag,
                           fmt=S), -1 if skipped else STAMP)


def test_skip_tz_truth_errors_propagate():
    class Bad:
        def __bool__(self):
            raise ZeroDivisionError
    for func in (d2i, d2i_safe):
        with pytest.raises(ZeroDivisionError):
            func("2021", b"%Y", Bad())


class Recorder:
    """Stands in for re.search / re.sub and records its calls."""
    def __init__(self, result):
        self.calls, self.result = [], result

    def __call__(self, *args):
        self.calls.append(args)
        return self.result(*args) if callable(self.result) else self.result


def test_search_sub_and_pattern_are_read_at_each_call(monkeypatch):
    text = "2021-03-04 05:06:07Z"
    assert d2i_safe(text, S) == -1  # fills the name cache
    monkeypatch.setattr(ctc, "TZ_REGEXP", r"\s*(Z|UTC)$")
    assert d2i(text, S) == STAMP
    assert d2i_safe("2021-03-04 05:06:07 +0100", S) == -1
    search, sub = Recorder(re.search), Recorder(re.sub)
    monkeypatch.setattr(ctc, "search", search)
    monkeypatch.setattr(ctc, "sub", sub)
    assert d2i(text, S) == STAMP
    assert search.calls == [(r"\s*(Z|UTC)$", text)]
    assert sub.calls == [(r"\s*(Z|UTC)$", "", text)]
    assert d2i(D(2021, 3, 4, 5, 6, 7), S) == STAMP  # str() of the object
    assert search.calls[-1][1] == "2021-03-04 05:06:07"
    assert len(sub.calls) == 1  # no match, no sub
    monkeypatch.undo()
    assert d2i_safe(text, S) == -1
    assert d2i("2021-03-04 05:06:07 +0100", S) == STAMP


@pytest.mark.parametrize("search, sub, want", [
    (Recorder(None), Recorder(lambda *a: 1 / 0), FAIL),  # falsy: no sub
    (Recorder(0), Recorder("unused"), FAIL),
    (Recorder(1), Recorder("2021-03-04 05:06:07"), STAMP),
    (Recorder(1), Recorder(b"2021-03-04 05:06:07"), AttributeError),
    (Recorder(1), Recorder(D(2021, 3, 4)), AttributeError),
    (Recorder(type("Bad", (), {"__bool__": lambda s: 1 / 0})()), Recorder(""),
     ZeroDivisionError),
    # The search done natively, the cut by the sub bound now.
    (re.search, Recorder("1999-01-01 00:00:00"), epoch(1999, 1, 1)),
    (re.search, Recorder("1999-01-01 0:00:00"), epoch(1999, 1, 1)),
])
def test_rebound_search_and_sub(monkeypatch, search, sub, want):
    monkeypatch.setattr(ctc, "search", search)
    monkeypatch.setattr(ctc, "sub", sub)
    expect_int(want, "2021-03-04 05:06:07 +0100", S)


# While search, sub and TZ_REGEXP are untouched the module finds and cuts
# the suffix itself; it must decide and cut exactly as the calls would.
SUFFIX_PIECES = ["0", "7", "42", "+", "-", " ", "  ", "\t", "\n", "\r",
                 "\x0b", "\x1c", "\x85", "\xa0", "\u3000", "\u2028", "a",
                 ":", "\u0660", "\uff11", "\U0001d7d8"]


def random_tails(seed, count, pieces=SUFFIX_PIECES):
    rng = random.Random(seed)
    return ["".join(rng.choice(pieces) for _ in range(rng.randrange(8)))
            for _ in range(count)]


def test_native_suffix_search_agrees_with_re(monkeypatch):
    sub = Recorder(re.sub)  # leaves the search to the module
    monkeypatch.setattr(ctc, "sub", sub)
    for tail in random_tails(1, 3000):
        text = "x" + tail
        d2i_safe(text, S)
        removed = bool(sub.calls) and sub.calls.pop()[2] == text
        assert removed == bool(re.search(ctc.TZ_REGEXP, text)), repr(text)


def test_native_suffix_cut_agrees_with_re():
    # "%Mx" and then the expected rest as literal text: the parse succeeds
    # only if exactly the same text is left.  ASCII spaces are left out
    # because one format space matches any run of them.
    pieces = [p for p in SUFFIX_PIECES if " " not in p]
    for tail in random_tails(2, 3000, pieces):
        text = "5x" + tail
        rest = re.sub(ctc.TZ_REGEXP, "", text)[2:]
        fmt = b"%Mx" + rest.encode()
        assert d2i_safe(text, fmt) == -2208988800 + 300, repr(text)


@pytest.mark.parametrize("name", ["search", "sub", "TZ_REGEXP"])
def test_deleted_names(monkeypatch, name):
    monkeypatch.delattr(ctc, name)
    for func in (d2i, d2i_safe):
        with pytest.raises(NameError,
                           match="^name '%s' is not defined$" % name):
            func("2021-03-04 05:06:07 +0100", S)
        assert func("2021-03-04 05:06:07", S, True) == STAMP  # path not taken
        assert func("2021-03-04", b"%Y-%m-%d") == 737853
    # The builtins stand in for a missing module attribute.
    monkeypatch.setattr(builtins, name, getattr(re, name, r"\s*[\+-][0-9]+$"),
                        raising=False)
    assert d2i("2021-03-04 05:06:07 +0100", S) == STAMP


def test_format_is_pinned_while_interpreter_code_runs(monkeypatch):
    fmt = bytearray(S)

    def grow(pattern, text):
        fmt.extend(b"x" * 4096)
    monkeypatch.setattr(ctc, "search", grow)
    with pytest.raises(BufferError):
        d2i("2021-03-04 05:06:07", fmt)
    assert fmt == S


# --------------------------------------------------------------------------
# Arguments and date objects.

MULTIPLE = "got multiple values for keyword argument "
UNEXPECTED = "got an unexpected keyword argument "


@pytest.mark.parametrize("func, args, kwargs, message", [
    (d2i, (), {}, "takes at least 2 positional arguments (0 given)"),
    (d2i, ("x",), {}, "takes at least 2 positional arguments (1 given)"),
    (d2i, (), {"x": "x"}, "takes at least 2 positional arguments (1 given)"),
    (d2i, ("x", b"", 1, 2), {},
     "takes at most 3 positional arguments (4 given)"),
    (d2i_safe, ("x",), {"skip_tz": 1},
     "takes at least 2 positional arguments (1 given)"),
    (d2i, ("x",), {"fmt": b"", "x": "y"}, MULTIPLE + "'x'"),
    (d2i_safe, ("x", b"", 1), {"skip_tz": 0}, MULTIPLE + "'skip_tz'"),
    (d2i, ("x", b"%Y"), {"tz": 1}, UNEXPECTED + "'tz'"),
    (strptime, ("x",), {}, "takes exactly 2 positional arguments (1 given)"),
    (strptime, ("x", b"", 1), {},
     "takes exactly 2 positional arguments (3 given)"),
    (strptime, (), {"fmt": b"%Y"},
     "takes exactly 2 positional arguments (0 given)"),
    (strptime, ("x", b""), {"skip_tz": 1}, UNEXPECTED + "'skip_tz'"),
])
def test_argument_errors(func, args, kwargs, message):
    with pytest.raises(TypeError) as info:
        func(*args, **kwargs)
    assert str(info.value) == "%s() %s" % (func.__name__, message)


@pytest.mark.parametrize("func", [d2i, d2i_safe, strptime])
def test_keywords(func):
    with pytest.raises(TypeError) as info:
        call_object(func, ("2021", b"%Y"), {1: 2})
    assert str(info.value) == non_string_keyword(func.__name__)
    assert func(fmt=b"%Y", x="1999") == func("1999", b"%Y") == \
        func(x="1999", fmt=b"%Y")


@pytest.mark.parametrize("fmt, want", [
    (b"%Y-%m-%d", 737853), (bytearray(b"%Y-%m-%d"), 737853),
    (type("B", (bytes,), {})(b"%Y-%m-%d"), 737853),
    (type("BA", (bytearray,), {})(b"%Y-%m-%d"), 737853),
    # Its own bytes, not what a __buffer__ (used from 3.12 on) hands out.
    (type("BA", (bytearray,), {"__buffer__": lambda s, f: memoryview(b"%Y")})(
        b"%Y-%m-%d"), 737853),
    (b"%Y-%m-%d\0junk", 737853), (bytearray(b"%Y-%m-%d\0%H"), 737853),
    (bytearray(), FAIL), ("%Y-%m-%d", TypeError),
    (memoryview(b"%Y"), TypeError), (None, TypeError),
])
def test_format_types(fmt, want):
    expect_int(want, "2021-03-04", fmt)
    check(lambda: strptime("2021-03-04", fmt),
          outcome(want) if isinstance(want, (str, type)) else D(2021, 3, 4))


def encoder(result):
    """An object whose encode() returns `result` (or calls it)."""
    def encode(self):
        return result() if callable(result) else result
    return type("Encodes", (), {"encode": encode})()


@pytest.mark.parametrize("x, fmt, want", [
    (b"2021-03-04", b"%Y-%m-%d", AttributeError),
    (b"2021-03-04 05:06", b"%Y-%m-%d %H:%M", FAIL),  # str(b"...") has b''
    (202103040506, b"%Y%m%d%H%M", 1614834360),
    (202103040506, b"%Y%m%d", AttributeError),
    (None, b"%Y", AttributeError), (None, b"%H:%M", FAIL),
    (D(2021, 3, 4, 5, 6, 7), S, STAMP),
    (D(2021, 3, 4), b"%Y-%m-%d", AttributeError),
    (D(2021, 3, 4, 5, 6, 7, tzinfo=dt.timezone.utc), S, FAIL),  # "+00:00"
    (type("S", (str,), {"encode": lambda s, *a: b"2021-03-04"})("junk"),
     b"%Y-%m-%d", 737853),
    (encoder(bytearray(b"2021-03-04")), b"%Y-%m-%d", 737853),
    (encoder(type("B", (bytes,), {})(b"2021-03-04")), b"%Y-%m-%d", 737853),
    (encoder("2021-03-04"), b"%Y-%m-%d", TypeError),
    (encoder(memoryview(b"2021-03-04")), b"%Y-%m-%d", TypeError),
    (encoder(lambda: {}[0]), b"%Y-%m-%d", KeyError),
    ("2021-03-04\ud800", b"%Y-%m-%d", UnicodeEncodeError),
    ("2021-03-04 05:06:07 +0100\ud800", S, UnicodeEncodeError),
    ("2021-03-04\0junk", b"%Y-%m-%d", 737853),
    ("2021-03-04\xe9", "%Y-%m-%d\xe9".encode(), 737853),
    ("2021-03-04\U0001f600", b"%Y-%m-%d", FAIL),
])
def test_date_objects(x, fmt, want):
    expect_int(want, x, fmt)


@pytest.mark.parametrize("x, fmt, want", [
    (b"2023", b"%Y", AttributeError), ("2023\0junk", b"%Y", D(2023, 1, 1)),
    ("2023-07-04 +0100", b"%Y-%m-%d", FAIL),
    ("v22023", b"v2%Y", D(2023, 1, 1)),
    ("2023\ud800", b"%Y", UnicodeEncodeError),
    (encoder(b"2023"), b"%Y", D(2023, 1, 1)),
    (encoder("2023"), b"%Y", TypeError), ("0000-01-01", b"%Y-%m-%d", YEAR),
])
def test_strptime_objects(x, fmt, want):
    check(lambda: strptime(x, fmt), outcome(want))
    if isinstance(want, D):
        assert type(strptime(x, fmt)) is D and strptime(x, fmt).tzinfo is None


@pytest.mark.parametrize("func, args", [
    (d2i, ("x", b"%Y")), (d2i, ("x",)), (d2i_safe, (None, b"%Y")),
    (d2i_safe, ("x", "%Y")), (strptime, ("x", b"%Y")), (strptime, ("x",)),
])
def test_traceback_names_the_function(func, args):
    with pytest.raises(Exception) as info:
        func(*args)
    names = [entry.name for entry in traceback.extract_tb(info.tb)]
    assert NAME + func.__name__ in names


def test_module_attributes():
    for func in (d2i, d2i_safe):
        assert func.__doc__ == func.__name__ + \
            "(x, const char *fmt, bool skip_tz=False)"
    assert strptime.__doc__ == "strptime(x, const char *fmt)"
    assert ctc.TZ_REGEXP == r"\s*[\+-][0-9]+$" and type(ctc.TZ_REGEXP) is str
    assert ctc.search is re.search and ctc.sub is re.sub
    assert ctc.__test__ == {}
    head = "PyObject *(PyObject *, char const *, int __pyx_skip_dispatch"
    opt = (", struct __pyx_opt_args_8velbrook_9dateToInt_"
           "19calendar_text_codec_%s *__pyx_optional_args)")
    assert [(k, capsule_name(v)) for k, v in ctc.__pyx_capi__.items()] == [
        ("date2intWrapper", head + opt % "date2intWrapper"),
        ("date2intSafeWrapper", head + opt % "date2intSafeWrapper"),
        ("strptime", head + ")"),
    ]


# --------------------------------------------------------------------------
# The C-level entries, called through their capsules with the GIL held.

class Options(ctypes.Structure):
    _fields_ = [("__pyx_n", ctypes.c_int), ("skip_tz", ctypes.c_bool)]


def c_entry(name, *argtypes):
    return c_function(ctc, name, ctypes.PYFUNCTYPE(
        ctypes.py_object, ctypes.py_object, ctypes.c_char_p, ctypes.c_int,
        *argtypes))


@pytest.mark.parametrize("options, skipped", [
    (None, False), (Options(0, True), False), (Options(1, False), False),
    (Options(1, True), True), (Options(2, True), True),
])
@pytest.mark.parametrize("name", ["date2intWrapper", "date2intSafeWrapper"])
def test_c_level_date2int(name, options, skipped):
    f = c_entry(name, ctypes.POINTER(Options))
    opt = ctypes.byref(options) if options is not None else None
    text = "2021-03-04 05:06:07 +0100"
    if not skipped:
        assert f(text, S, 1, opt) == STAMP
    elif name == "date2intSafeWrapper":
        assert f(text, S, 0, opt) == -1
    else:
        with pytest.raises(ValueError, match="^%s$" % FAIL):
            f(text, S, 0, opt)
    with pytest.raises(AttributeError):
        f(b"2021", b"%Y", 0, opt)


def test_c_level_strptime():
    f = c_entry("strptime")
    assert f("2023-07-04 10:20:30.5", b"%Y-%m-%d %H:%M:%S.%f", 0) == \
        D(2023, 7, 4, 10, 20, 30, 500000)
    for text, message in [("0000", YEAR), ("2023 ", FAIL)]:
        with pytest.raises(ValueError, match="^%s$" % message):
            f(text, b"%Y", 0)


# --------------------------------------------------------------------------
# The calendar, against the standard library.

def random_datetimes(count, seed):
    rng, span = random.Random(seed), int((D.max - D.min).total_seconds())
    return [D.min + dt.timedelta(seconds=rng.randrange(span),
                                 microseconds=rng.randrange(10 ** 6))
            for _ in range(count)]


def test_calendar_against_standard_library():
    fmt = "%Y-%m-%d %H:%M:%S.%f"
    for d in random_datetimes(3000, 1):
        day = "%04d-%02d-%02d" % (d.year, d.month, d.day)
        text = "%s %02d:%02d:%02d" % (day, d.hour, d.minute, d.second)
        seconds = calendar.timegm(d.timetuple())
        assert d2i(text, S, True) == seconds
        assert d2i(day, b"%Y-%m-%d") == d.toordinal()
        full = "%s.%06d" % (text, d.microsecond)
        assert d2i(full, b"v2" + fmt.encode()) == \
            seconds * 1000 + d.microsecond // 1000
        assert strptime(full, fmt.encode()) == D.strptime(full, fmt) == d


def test_names_and_meridian_against_standard_library():
    fmt = "%a %d %B %Y %I:%M:%S %p"
    rng = random.Random(2)
    for d in random_datetimes(1000, 3):
        text = "%s %02d %s %04d %02d:%02d:%02d %s" % (
            calendar.day_abbr[d.weekday()], d.day,
            calendar.month_name[d.month],
            d.year, (d.hour + 11) % 12 + 1, d.minute, d.second,
            "AM" if d.hour < 12 else "PM")
        text = rng.choice([str.upper, str.lower, str.title])(text)
        assert strptime(text, fmt.encode()) == D.strptime(text, fmt) == \
            d.replace(microsecond=0)


def test_names_fold_ascii_only_under_turkish_locale():
    saved = locale.setlocale(locale.LC_ALL)
    for name in ("tr_TR.ISO-8859-9", "tr_TR.UTF-8", "tr_TR"):
        try:
            locale.setlocale(locale.LC_ALL, name)
            break
        except locale.Error:
            continue
    else:
        pytest.skip("no Turkish locale")
    try:
        for fmt, text, want in PARSE:
            if b"%a" in fmt or b"%A" in fmt or b"%b" in fmt or b"%B" in fmt:
                check(lambda: strptime(text, fmt), outcome(want))
        for text in ("FRIDAY 01 APRIL 2022", "friday 01 april 2022"):
            assert strptime(text, b"%A %d %B %Y") == D(2022, 4, 1)
    finally:
        locale.setlocale(locale.LC_ALL, saved)


# --------------------------------------------------------------------------
# Import-time binding, in fresh interpreters.

@pytest.mark.parametrize("tamper, restore, error", [
    ('del ou.__pyx_capi__["tm_to_datetime"]',
     'ou.__pyx_capi__["tm_to_datetime"] = saved["tm_to_datetime"]',
     "ImportError: velbrook.intToTime.ordinal_unfolder does not export "
     "expected C function tm_to_datetime"),
    ('ou.__pyx_capi__["tm_to_datetime"] = saved["fromordinal_tm"]',
     'ou.__pyx_capi__["tm_to_datetime"] = saved["tm_to_datetime"]',
     "TypeError: C function velbrook.intToTime.ordinal_unfolder."
     "tm_to_datetime has wrong signature (expected "
     "PyObject *(struct tm const &, struct "
     "__pyx_opt_args_8velbrook_9intToTime_16ordinal_unfolder_tm_to_datetime "
     "*__pyx_optional_args), got struct tm *(long, struct tm *))"),
    ("del ou.__pyx_capi__", "ou.__pyx_capi__ = saved", "AttributeError: "),
    ('sys.modules["velbrook.intToTime.ordinal_unfolder"] = None',
     'sys.modules["velbrook.intToTime.ordinal_unfolder"] = ou',
     "ModuleNotFoundError: import of velbrook.intToTime.ordinal_unfolder "
     "halted; None in sys.modules"),
    ('sys.modules["re"] = types.ModuleType("re"); '
     'sys.modules["re"].sub = re.sub',
     'sys.modules["re"] = re', "ImportError: cannot import name search"),
])
def test_binding_errors(run_python, tamper, restore, error):
    out = run_python("""
        import re, sys, traceback, types
        import velbrook.intToTime.ordinal_unfolder as ou
        saved = dict(ou.__pyx_capi__)
        %s
        try:
            import velbrook.dateToInt.calendar_text_codec
        except Exception as e:
            error = e
        %s
        print("%%s: %%s" %% (type(error).__name__, error))
        print([f.name for f in traceback.extract_tb(error.__traceback__)])
        import velbrook.dateToInt.calendar_text_codec as c
        print(c.strptime("2021-03-04", b"%%Y-%%m-%%d"))
    """ % (tamper, restore))
    assert out.returncode == 0, out.stderr
    lines = out.stdout.splitlines()
    assert lines[0] == error or (error.endswith(": ") and
                                 lines[0].startswith(error))
    assert "'init velbrook.dateToInt.calendar_text_codec'" in lines[1]
    assert lines[2:] == ["2021-03-04 00:00:00"]


def test_package_relative_re_comes_first(run_python):
    out = run_python("""
        import re, sys, types
        import velbrook.dateToInt
        fake = types.ModuleType("velbrook.dateToInt.re")
        fake.search, fake.sub = (lambda p, s: None), re.sub
        sys.modules["velbrook.dateToInt.re"] = fake
        import velbrook.dateToInt.calendar_text_codec as c
        print(c.search is fake.search, c.sub is re.sub)
    """)
    assert out.stdout.split() == ["True", "True"], out.stderr


# --------------------------------------------------------------------------
# The compiled format (markers found once, a fixed-width plan where every
# conversion has a fixed width, formats cached by object) against the
# parser alone.  A "%n" at the end of a format defeats the plan and
# changes nothing else: it skips spaces that no text compared here ends
# with, and it is none of the markers ("v2", "%f", "%M", "%Y").

PLANNED = [b"%Y", b"%m", b"%d", b"%H", b"%M", b"%S", b"%I", b"%p"]
OTHER = [b"-", b":", b" ", b"/", b"T", b".", b"%%", b"%f", b"%y", b"%e",
         b"%OM", b"%EY", b"  ", b"\xc3\xa9", b"v2"]


def random_format(rng):
    pieces = [rng.choice(PLANNED if rng.random() < 0.6 else OTHER)
              for _ in range(rng.randrange(1, 8))]
    fmt = b"".join(pieces)
    return b"v2" + fmt if rng.random() < 0.2 else fmt


def random_text(rng, fmt):
    """Mostly what the format asks for, with the usual mistakes."""
    body = fmt[2:] if fmt.startswith(b"v2") and rng.random() < 0.8 else fmt
    out, i = [], 0
    while i < len(body):
        c = body[i:i + 1]
        if c != b"%":
            out.append(c.decode("latin-1"))
            i += 1
            continue
        letter = body[i + 1:i + 2]
        if letter in (b"E", b"O"):
            letter = body[i + 2:i + 3]
            i += 1
        i += 2
        if letter == b"p":
            out.append(rng.choice(["AM", "pm", "Pm", "XM", "A"]))
        elif letter == b"%":
            out.append("%")
        else:
            width = 4 if letter == b"Y" else 2
            width += rng.choice([0, 0, 0, 0, -1, 1])
            out.append("".join(rng.choice("0123456789" if rng.random() < 0.95
                                          else "9x ")
                               for _ in range(max(width, 0))))
    text = "".join(out).replace("\xc3\xa9", "\xe9")
    return text + rng.choice(["", "", "", " +0100", "-05", "\n", "\0x"])


def outcomes(func, *args):
    try:
        return func(*args)
    except ValueError as e:
        return ("ValueError", str(e))


def test_compiled_format_against_the_parser_alone():
    rng = random.Random(17)
    planned = 0
    for _ in range(6000):
        fmt = random_format(rng)
        text = random_text(rng, fmt)
        if text.split("\0")[0].endswith(" "):
            continue
        parser = fmt + b"%n"
        for func in (d2i, d2i_safe):
            got = outcomes(func, text, fmt)
            assert got == outcomes(func, text, parser), (fmt, text)
            # A bytearray is compiled at each call, bytes once.
            assert got == outcomes(func, text, bytearray(fmt)), (fmt, text)
        got = outcomes(strptime, text, fmt)
        assert got == outcomes(strptime, text, parser), (fmt, text)
        planned += got == outcomes(strptime, text, parser) and \
            isinstance(got, D)
    assert planned > 300  # the comparison reached parsed dates


def test_format_changed_by_interpreter_code_is_read_as_changed():
    # The zone decision reads the format before str() runs, the parse
    # after.  A pinned bytearray keeps its size, not its content.
    fmt = bytearray(b"%Y-%m-%d %H:%M")

    class Date:
        def __str__(self):
            fmt[:] = b"%Y-%m-%d %H%M\0"
            return "2021-03-04 0506"
    assert d2i(Date(), fmt) == 1614834360

    class Text(str):
        def encode(self):
            fmt[2:3] = b"\0"
            return b"2021"
    for func, want in [(d2i, 737791), (strptime, D(2021, 1, 1))]:
        fmt[:] = b"%Y-%m-%d"
        assert func(Text("x"), fmt) == want


def test_whitespace_before_a_suffix_is_what_str_isspace_says():
    # Every code point but the surrogates between the time and a suffix.
    for c in range(0x110000):
        if 0xD800 <= c < 0xE000:
            continue
        ch = chr(c)
        text = "2021-03-04 05:06" + ch + "+01"
        # A NUL ends the text the parser reads, whatever the suffix did.
        want = 1614834360 if ch.isspace() or ch == "\0" else -1
        assert d2i_safe(text, b"%Y-%m-%d %H:%M") == want, hex(c)


# --------------------------------------------------------------------------
# The layouts read at constant offsets, "%Y?%m?%d?%H?%M?%S" and "%Y?%m?%d"
# with single-byte separators, against the parser alone, on texts that
# break one of the plan's rules each: a bound, a digit, a separator, the
# length.

LAYOUT_BOUNDS = [["0000", "0001", "9999", "20x1"],
                 ["00", "01", "12", "13", "1x"],
                 ["00", "01", "29", "30", "31", "32"],
                 ["00", "23", "24"], ["00", "59", "60"],
                 ["00", "59", "60", "61", "62"]]


def layout_texts(fmt):
    seps = [s.decode() for s in re.split(rb"%[YmdHMS]", fmt)[1:-1]]
    fields = ["2021", "02", "28", "05", "06", "07"][:len(seps) + 1]
    join = lambda f: f[0] + "".join(s + v for s, v in zip(seps, f[1:]))
    base = join(fields)
    texts = {base, base[:-1], base + "0", " " + base}
    for i in range(len(fields)):
        for value in LAYOUT_BOUNDS[i]:
            texts.add(join(fields[:i] + [value] + fields[i + 1:]))
    for at in range(len(base)):
        for c in "x/ :-\0\xe9":
            texts.add(base[:at] + c + base[at + 1:])
    return sorted(texts)


@pytest.mark.parametrize("fmt", [
    b"%Y-%m-%d %H:%M:%S", b"%Y/%m/%dT%H.%M.%S", b"%Y-%m-%d-%H-%M-%S",
    b"%Y %m %d %H %M %S", b"v2%Y-%m-%d %H:%M:%S", b"%Y-%m-%d",
    b"%Y.%m.%d", b"%Y %m %d",
])
def test_layouts_against_the_parser_alone(fmt):
    parser = fmt + b"%n"  # the same, where no whitespace ends the text
    for text in layout_texts(fmt[2:] if fmt.startswith(b"v2") else fmt):
        if text.split("\0")[0][-1:].isspace():
            continue
        for func in (d2i, d2i_safe, strptime):
            assert outcomes(func, text, fmt) == \
                outcomes(func, text, parser), (fmt, text)


# --------------------------------------------------------------------------
# A call with an exact ASCII str, exact bytes and a skip_tz of True,
# False, None or none at all is read in place.  Each variant below defeats
# one of those conditions and must give the same outcome.

class Str(str):
    pass


class Bytes(bytes):
    pass


class Truth:
    """A skip_tz whose truth test runs interpreter code, counted."""
    def __init__(self, value):
        self.value, self.tests = value, 0

    def __bool__(self):
        self.tests += 1
        return self.value


PLAIN_TEXTS = [
    "2021-03-04 05:06:07", "2021-03-04 05:06:07 +0100",
    "2021-03-04 05:06:07-05\n", "2021-3-04 05:06:07 +0100",
    "2021-03-04 05:06:07 UTC", "0000-03-04 05:06:07", "2021-03-04",
    "2021-03-04 05:06:07\0x", "2021-02-30 05:06:07 -01", "",
]
PLAIN_FORMATS = [S, b"%Y-%m-%d", b"v2%Y-%m-%d %H:%M:%S.%f", b"%Y %j"]


def result_of(call):
    """What `call()` returns, or the type and text of what it raises."""
    try:
        got = call()
    except Exception as e:
        return type(e).__name__, str(e)
    return type(got), got


def call_variants(x, fmt, flag):
    """(what the variant defeats, args, kwargs) for one call."""
    rest = () if flag is None else (flag,)
    kw = {} if flag is None else {"skip_tz": flag}
    yield "keywords", (), dict(x=x, fmt=fmt, **kw)
    yield "str subclass", (Str(x), fmt) + rest, {}
    yield "bytes subclass", (x, Bytes(fmt)) + rest, {}
    yield "bytearray", (x, bytearray(fmt)) + rest, {}
    # "\xe9" before the date and its UTF-8 before the format: a text that
    # is no longer ASCII, with the same date in it.
    yield "not ASCII", ("\xe9" + x, "\xe9".encode() + fmt) + rest, {}
    if flag is not None:
        yield "skip_tz truth", (x, fmt, Truth(bool(flag))), {}


@pytest.mark.parametrize("flag", [None, False, True])
@pytest.mark.parametrize("fmt", PLAIN_FORMATS)
def test_calls_read_in_place_agree_with_every_other_call(fmt, flag):
    rest = () if flag is None else (flag,)
    funcs = (d2i, d2i_safe) + ((strptime,) if flag is None else ())
    for text in PLAIN_TEXTS:
        for func in funcs:
            want = result_of(lambda: func(text, fmt, *rest))
            for what, args, kwargs in call_variants(text, fmt, flag):
                if what == "not ASCII" and "\0" in text:
                    continue  # the NUL then cuts the format's "\xe9" off
                got = result_of(lambda: func(*args, **kwargs))
                assert got == want, (func.__name__, what, text, fmt)
                if what == "skip_tz truth":
                    assert args[2].tests == 1
                    args[2].tests = 0


def test_a_name_read_through_the_builtins_may_replace_the_cached_format(
        monkeypatch):
    # `sub` missing from the module is read from the builtins, whose
    # module __getattr__ runs a call with another format meanwhile: the
    # outer call still parses with its own.
    def builtins_getattr(name):
        if name != "sub":
            raise AttributeError(name)
        assert d2i("2021", b"%Y") == 737791
        return re.sub
    monkeypatch.delattr(ctc, "sub")
    monkeypatch.setattr(builtins, "__getattr__", builtins_getattr,
                        raising=False)
    for text in ["2021-03-04 05:06:07 +0100", "2021-3-04 05:06:07 +0100",
                 "2021-03-04 05:06:07 +0100\n"]:
        want = STAMP if not text.endswith("\n") else FAIL
        expect_int(want, text, S)


@pytest.mark.parametrize("fmt", [b"%Y-%m-%d", bytearray(b"%Y-%m-%d")])
def test_datetime_refusal_names_both_functions(fmt):
    with pytest.raises(ValueError) as info:
        strptime("2021-02-30", fmt)
    names = [entry.name for entry in traceback.extract_tb(info.tb)]
    assert [n for n in names if n.startswith("velbrook.")] == [
        NAME + "strptime",
        "velbrook.intToTime.ordinal_unfolder.tm_to_datetime"]
