"""Tests of velbrook.intToTime.ordinal_unfolder.

The calendar is checked against the standard library (datetime, calendar,
time.gmtime) over seeded random samples of the whole datetime range and of
the whole signed 64-bit range."""
import builtins
import calendar
import collections
import ctypes
import importlib
import math
import pickle
import random
import time
import traceback
import warnings
from datetime import date, datetime, timedelta, timezone
from fractions import Fraction

import pytest

from conftest import (c_function, call_object, capsule_name, check,
                      non_string_keyword)
from velbrook.intToTime import ordinal_unfolder as m

NAME = "velbrook.intToTime.ordinal_unfolder"
EPOCH = datetime(1970, 1, 1)
SECOND = timedelta(seconds=1)
FIRST_SECOND = (datetime.min - EPOCH) // SECOND
END_SECOND = (datetime.max - EPOCH) // SECOND + 1  # exclusive
INT64 = 2 ** 63
INT_MAX = 2 ** 31 - 1
# A day ordinal whose seconds value, if the product wrapped around 64 bits,
# would land near year 0.
WRAPPING_ORDINAL = 2 ** 64 // 86400 + 1
# The last second glibc breaks down: its tm_year is INT_MAX.
LAST_GMTIME_SECOND = 67768036191676799
GMTIME = ValueError("gmtime failed due to invalid input")
TOO_SMALL = ValueError("ordinal must be >= 1")


def constructor_error(*fields):
    """The ValueError of `datetime(*fields)`: velbrook passes the
    constructor's own error on, whose wording changes between versions."""
    try:
        datetime(*fields)
    except ValueError as e:
        return ValueError(*e.args)
    raise AssertionError("datetime%r is valid" % (fields,))


def out_of_range(year):
    if year > INT_MAX:  # beyond the constructor's reach: velbrook's words
        return ValueError("year %d is out of range" % year)
    return constructor_error(year, 1, 1)


def gmtime_record(seconds, milliseconds=0):
    """What int2time must give for epoch `seconds`: the C library's
    breakdown, or its failure."""
    try:
        return tuple(time.gmtime(seconds)) + (milliseconds,)
    except (OverflowError, OSError, ValueError):
        return GMTIME


def ordinal_record(ordinal, milliseconds=0):
    return gmtime_record((ordinal - EPOCH.toordinal()) * 86400, milliseconds)


def check_int2time(x, fmt, expected):
    if isinstance(expected, tuple):
        got = m.int2time(x, fmt)
        assert type(got) is m.struct_time and tuple(got) == expected
        assert all(type(v) is int for v in got)
    else:
        check(lambda: m.int2time(x, fmt), expected)


def samples(rng, n, lo, hi):
    """Uniform and log-uniform integers in [lo, hi)."""
    out = [rng.randrange(lo, hi) for _ in range(n)]
    out += [int(2 ** rng.uniform(0, 63)) * rng.choice((1, -1))
            for _ in range(n)]
    return [v for v in out if lo <= v < hi]


# -- int2time ---------------------------------------------------------------

@pytest.mark.parametrize("x, fmt, expected", [
    (0, b"%Y-%m-%d %H:%M:%S", (1970, 1, 1, 0, 0, 0, 3, 1, 0, 0)),
    (719163, b"%Y-%m-%d", (1970, 1, 1, 0, 0, 0, 3, 1, 0, 0)),
    (0, b"%Y", (0, 12, 31, 0, 0, 0, 6, 366, 0, 0)),
    # "%M" marks epoch seconds, any other format a day ordinal
    (86399, b"%m/%d", ordinal_record(86399)),
    (5, b"100%%M", gmtime_record(5)),
    (738000, b"", ordinal_record(738000)),
    (738000, bytearray(), ordinal_record(738000)),
    (738000, b"%Y\0%M", ordinal_record(738000)),
    (5, bytearray(b"%M\0"), gmtime_record(5)),
    # "v2" with "%f": milliseconds, truncated toward zero
    (1577836800123, b"v2%Y-%m-%d %H:%M:%S.%f", gmtime_record(1577836800, 123)),
    (-1500, b"v2%H:%M:%S.%f", gmtime_record(-1, -500)),
    (-999, b"v2%f%M", gmtime_record(0, -999)),
    (INT64 - 1, bytearray(b"v2%M%f"), gmtime_record(INT64 // 1000, 807)),
    # ... and without "%M" a day ordinal scaled by 1000
    (738000123, b"v2%Y-%m-%d.%f", ordinal_record(738000, 123)),
    (1614816000000, b"v2%Y-%m-%d.%f", ordinal_record(1614816000)),
    # "%f" without "v2", "v2" without "%f", a "v2" not leading: no scaling
    (1577836800123, b"%Y-%m-%d %H:%M:%S.%f", gmtime_record(1577836800123)),
    (1614834367, b"v2%Y-%m-%d %H:%M:%S", gmtime_record(1614834367)),
    (1500, b"xv2%M%f", gmtime_record(1500)),
    (1500, b"V2%M%f", gmtime_record(1500)),
    (-1500, b"v2%M%F", gmtime_record(-1500)),
    # a year past INT_MAX (time.gmtime of 3.13 wraps it around)
    (LAST_GMTIME_SECOND, b"%M", (INT_MAX + 1900, 12, 31, 23, 59, 59, 2, 365,
                                 0, 0)),
    # beyond 64 bits once in seconds, or beyond the C library's range
    (WRAPPING_ORDINAL * 1000, b"v2%Y%f", GMTIME),
    (-INT64, b"%M", GMTIME),
    (INT64, b"%M", OverflowError()),
])
def test_int2time_decodings(x, fmt, expected):
    check_int2time(x, fmt, expected)


@pytest.mark.parametrize("fmt, record, extremes", [
    (b"%Y-%m-%d %H:%M:%S", gmtime_record,
     [FIRST_SECOND, END_SECOND - 1, -1, LAST_GMTIME_SECOND + 1,
      -67768040609740800, -67768040609740801]),
    (b"%Y-%m-%d", ordinal_record,
     [0, -1, 10 ** 12, WRAPPING_ORDINAL, -WRAPPING_ORDINAL]),
])
def test_int2time_matches_gmtime_over_64_bits(fmt, record, extremes):
    rng = random.Random(1614834367)
    for x in samples(rng, 2000, -INT64, INT64) + extremes:
        check_int2time(x, fmt, record(x))


def test_int2time_milliseconds_denote_the_written_instant():
    rng = random.Random(1577836800)
    for v in samples(rng, 1000, FIRST_SECOND * 1000 + 1000,
                     END_SECOND * 1000 - 1000):
        r = m.int2time(v, b"v2%Y-%m-%d %H:%M:%S.%f")
        shown = datetime(*r[:6]) + timedelta(milliseconds=r.tm_milli_sec)
        assert shown == EPOCH + timedelta(milliseconds=v)
        assert -999 <= r.tm_milli_sec <= 999 and r.tm_milli_sec * v >= 0


# -- fromordinal, utcfromtimestamp, totimestamp -----------------------------

@pytest.mark.parametrize("x, expected", [
    (1, datetime(1, 1, 1)),
    (3652059, datetime(9999, 12, 31)),
    (1.9, datetime(1, 1, 1)),
    (True, datetime(1, 1, 1)),
    (0, TOO_SMALL), (-5, TOO_SMALL), (-INT64, TOO_SMALL), (0.9, TOO_SMALL),
    (3652060, out_of_range(10000)),
    # the last day the C library breaks down: its year overflows int
    ((LAST_GMTIME_SECOND - FIRST_SECOND) // 86400 + 1,
     out_of_range(INT_MAX + 1900)),
    (10 ** 12, GMTIME), (WRAPPING_ORDINAL, GMTIME), (INT64 - 1, GMTIME),
    (INT64, OverflowError()),
])
def test_fromordinal(x, expected):
    check(lambda: m.fromordinal(x), expected)


def test_fromordinal_matches_datetime_over_whole_range():
    rng = random.Random(3652059)
    for x in samples(rng, 3000, 1, 3652060) + [1, 3652059]:
        assert m.fromordinal(x) == datetime.fromordinal(x)


@pytest.mark.parametrize("x, expected", [
    (0, EPOCH),
    (86400, datetime(1970, 1, 2)),
    (True, datetime(1970, 1, 1, 0, 0, 1)),
    (Fraction(3, 2), datetime(1970, 1, 1, 0, 0, 1, 500000)),
    (-1.5, datetime(1969, 12, 31, 23, 59, 58, 500000)),
    (1.9999999, datetime(1970, 1, 1, 0, 0, 1, 999999)),  # never carries
    (-1.9999999, datetime(1969, 12, 31, 23, 59, 58)),
    (1e-7, EPOCH), (-1e-7, EPOCH),
    (2 ** -7, datetime(1970, 1, 1, 0, 0, 0, 7813)),  # a tie: away from zero
    (-2 ** -7, datetime(1969, 12, 31, 23, 59, 59, 992187)),
    (FIRST_SECOND, datetime.min),
    (END_SECOND - 1, datetime.max.replace(microsecond=0)),
    (FIRST_SECOND - 0.5, out_of_range(0)),
    (float(END_SECOND), out_of_range(10000)),
    (1e15, out_of_range(31690708)),
    (10 ** 400, OverflowError()), ("0", TypeError()), (None, TypeError()),
    # not finite, outside 64 bits, or beyond the C library's range
    *[(x, GMTIME) for x in (math.nan, math.inf, -math.inf, 1e300, -1e20,
                            2.0 ** 63, -2.0 ** 63, 1e18)],
])
def test_utcfromtimestamp(x, expected):
    check(lambda: m.utcfromtimestamp(x), expected)


def nearest_microsecond(x):
    """Nearest microsecond, ties away from zero; a positive value never
    rounds up into the next second.  None near a tie."""
    q = abs(Fraction(x)) * 10 ** 6
    if abs(q - math.floor(q) - Fraction(1, 2)) < Fraction(1, 10 ** 6):
        return None
    n = math.floor(q + Fraction(1, 2))
    return min(n, math.trunc(x) * 10 ** 6 + 999999) if x > 0 else -n


def test_utcfromtimestamp_rounds_to_nearest_microsecond():
    rng = random.Random(253402300799)
    values = [rng.uniform(FIRST_SECOND, END_SECOND) for _ in range(2000)]
    values += [rng.uniform(-1e5, 1e5) for _ in range(1000)]
    values += [rng.randrange(-10 ** 15, 10 ** 15) / 1e6 for _ in range(1000)]
    for x in values:
        us = nearest_microsecond(x)
        if us is not None:
            assert m.utcfromtimestamp(x) == EPOCH + timedelta(microseconds=us)


class DatetimeSubclass(datetime):
    pass


@pytest.mark.parametrize("dt, expected", [
    (datetime(1970, 1, 2), 86400),
    (datetime(1, 1, 1), FIRST_SECOND),
    (datetime(1969, 12, 31, 23, 59, 59, 500000), -1),
    (datetime(1969, 12, 31, 23, 59, 59, 999999), -1),
    (datetime(2020, 1, 1, tzinfo=timezone(timedelta(hours=5))), 1577836800),
    (datetime(2020, 1, 1, fold=1), 1577836800),
    (DatetimeSubclass(2020, 1, 1, 0, 0, 1), 1577836801),
    (date(2020, 1, 1), TypeError()), (datetime.min.time(), TypeError()),
    ("2020-01-01", TypeError()), (None, TypeError()),
])
def test_totimestamp(dt, expected):
    check(lambda: m.totimestamp(dt), expected)


def test_totimestamp_matches_calendar_timegm():
    rng = random.Random(1577836800)
    zones = [None, timezone.utc, timezone(timedelta(hours=-11, minutes=-30))]
    span = (datetime.max - datetime.min) // timedelta(microseconds=1)
    for _ in range(2000):
        dt = datetime.min + timedelta(microseconds=rng.randrange(span))
        dt = dt.replace(tzinfo=rng.choice(zones), fold=rng.randrange(2))
        t = calendar.timegm(dt.timetuple())
        assert m.totimestamp(dt) == t
        assert m.totimestamp(m.utcfromtimestamp(t)) == t


# -- arguments --------------------------------------------------------------

def with_int(value):
    """An object whose __int__ returns `value`."""
    return type("WithInt", (), {"__int__": lambda self: value})()


INT_FUNCTIONS = {"int2time": lambda x: m.int2time(x, b"%Y"),
                 "fromordinal": m.fromordinal}


@pytest.mark.parametrize("function", sorted(INT_FUNCTIONS))
@pytest.mark.parametrize("arg, expected", [
    (object(), TypeError("an integer is required")),
    ("5", TypeError("an integer is required")),
    (None, TypeError("an integer is required")),
    (with_int(1.5), TypeError("__int__ returned non-int (type float)")),
    (type("Bad", (), {"__int__": lambda self: 1 // 0})(), ZeroDivisionError()),
    (2 ** 64, OverflowError()),
    (-INT64 - 1, OverflowError()),
])
def test_integer_argument_errors(function, arg, expected):
    check(lambda: INT_FUNCTIONS[function](arg), expected)


@pytest.mark.parametrize("function", sorted(INT_FUNCTIONS))
def test_int_subclass_from_int_is_deprecated(function):
    call = INT_FUNCTIONS[function]
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        assert call(with_int(True)) == call(1)
    assert [(w.category, str(w.message)) for w in caught] == [(
        DeprecationWarning,
        "__int__ returned non-int (type bool).  The ability to return an "
        "instance of a strict subclass of int is deprecated, and may be "
        "removed in a future version of Python.")]
    with warnings.catch_warnings():
        warnings.simplefilter("error", DeprecationWarning)
        with pytest.raises(DeprecationWarning, match="strict subclass"):
            call(with_int(True))


class BytesSubclass(bytes):
    pass


def given(n):
    return TypeError(
        "int2time() takes exactly 2 positional arguments (%d given)" % n)


MULTIPLE = TypeError("int2time() got multiple values for keyword argument 'x'")
FIVE = m.int2time(5, b"%M")


@pytest.mark.parametrize("args, kwargs, expected", [
    ((), {"x": 5, "fmt": b"%M"}, FIVE), ((), {"fmt": b"%M", "x": 5}, FIVE),
    ((5,), {"fmt": b"%M"}, FIVE),
    ((with_int(5), BytesSubclass(b"%M")), {}, FIVE),
    ((), {}, given(0)), ((1,), {}, given(1)), ((1, b"", 3), {}, given(3)),
    ((), {"fmt": b""}, given(0)), ((1,), {"x": 1}, given(1)),
    ((1, b""), {"x": 2}, MULTIPLE), ((1,), {"fmt": b"", "x": 2}, MULTIPLE),
    ((1, b""), {"y": 2},
     TypeError("int2time() got an unexpected keyword argument 'y'")),
    ((), {"x": 1, "fmt": b"", "X": 2},
     TypeError("int2time() got an unexpected keyword argument 'X'")),
    ((1, b""), {1: 2}, TypeError(non_string_keyword("int2time"))),
    (("1", "%M"), {}, TypeError("an integer is required")),  # x before fmt
    ((1, "%M"), {}, TypeError()), ((1, None), {}, TypeError()),
    ((1, memoryview(b"%M")), {}, TypeError()),
])
def test_int2time_arguments(args, kwargs, expected):
    # through the C API so that a non-string keyword reaches the function
    check(lambda: call_object(m.int2time, args, kwargs), expected)


# -- module frame -----------------------------------------------------------

@pytest.mark.parametrize("call, functions", [
    (lambda: m.int2time(2 ** 62, b"%M"), ["int2time"]),
    (lambda: m.int2time("x", b""), ["int2time"]),
    (lambda: m.int2time(), ["int2time"]),
    (lambda: m.fromordinal(0), ["fromordinal"]),
    (lambda: m.fromordinal(3652060), ["fromordinal", "tm_to_datetime"]),
    (lambda: m.utcfromtimestamp(math.nan), ["utcfromtimestamp"]),
    (lambda: m.utcfromtimestamp(1e15), ["utcfromtimestamp", "tm_to_datetime"]),
    (lambda: m.utcfromtimestamp(None), ["utcfromtimestamp"]),
    (lambda: m.totimestamp(None), ["totimestamp"]),
])
def test_traceback_names_the_function(call, functions):
    with pytest.raises(Exception) as e:
        call()
    names = [f.name for f in traceback.extract_tb(e.value.__traceback__)]
    assert [n for n in names if n.startswith(NAME + ".")] == [
        NAME + "." + f for f in functions]


def test_module_namespace():
    assert set(vars(m)) == {
        "__name__", "__doc__", "__package__", "__loader__", "__spec__",
        "__file__", "__builtins__", "__pyx_capi__", "__test__", "int2time",
        "fromordinal", "utcfromtimestamp", "totimestamp", "struct_time",
        "namedtuple"}
    assert m.__doc__ is None and m.__builtins__ is builtins
    assert m.__name__ == NAME and m.__package__ == "velbrook.intToTime"
    assert type(m.__test__) is dict and m.__test__ == {}
    assert m.namedtuple is collections.namedtuple
    assert m.struct_time._fields == (
        "tm_year", "tm_mon", "tm_mday", "tm_hour", "tm_min", "tm_sec",
        "tm_wday", "tm_yday", "tm_isdst", "tm_milli_sec")


def test_struct_time_pickles():
    r = m.int2time(1577836800123, b"v2%M%f")
    assert m.struct_time.__module__ == NAME
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        back = pickle.loads(pickle.dumps(r, protocol))
        assert type(back) is m.struct_time and back == r


def test_struct_time_rebound_and_deleted(monkeypatch):
    m.int2time(0, b"%M")  # a lookup made before the rebinding
    monkeypatch.setattr(m, "struct_time", lambda *fields: fields)
    assert m.int2time(0, b"%M") == (1970, 1, 1, 0, 0, 0, 3, 1, 0, 0)
    monkeypatch.delattr(m, "struct_time")
    check(lambda: m.int2time(0, b"%M"),
          NameError("name 'struct_time' is not defined"))
    monkeypatch.setattr(builtins, "struct_time", lambda *f: list(f),
                        raising=False)
    assert m.int2time(0, b"%M") == [1970, 1, 1, 0, 0, 0, 3, 1, 0, 0]
    monkeypatch.setattr(m, "struct_time", dict, raising=False)
    check(lambda: m.int2time(0, b"%M"), TypeError())  # the call's error
    monkeypatch.undo()
    assert type(m.int2time(0, b"%M")) is m.struct_time


@pytest.mark.parametrize("module, type_name, call", [
    ("velbrook.intToTime.ordinal_unfolder", "struct_time",
     lambda mod: mod.int2time(0, b"%M")),
    ("velbrook.centroid_histogram.bucket_summarizer", "CentroidBucket",
     lambda mod: mod.histogram_from_values(2, [1.0]).buckets[0]),
    ("velbrook.centroid_histogram.bucket_summarizer", "CentroidHistogram",
     lambda mod: mod.histogram_from_values(2, [1.0])),
])
def test_changed_record_types_are_called(monkeypatch, module, type_name,
                                         call):
    # Records are packed directly only while their type is as created: a
    # replaced __new__ or an added __init__ runs as a call would run it.
    mod = importlib.import_module(module)
    record_type = getattr(mod, type_name)
    seen = []
    original_new = record_type.__new__
    monkeypatch.setattr(record_type, "__new__", lambda cls, *a: (
        seen.append("new"), original_new(cls, *a))[1])
    assert type(call(mod)) is record_type and seen == ["new"]
    monkeypatch.undo()
    monkeypatch.setattr(record_type, "__init__",
                        lambda self, *a: seen.append("init"), raising=False)
    assert type(call(mod)) is record_type and seen == ["new", "init"]
    monkeypatch.undo()
    assert type(call(mod)) is record_type and seen == ["new", "init"]


def test_module_is_initialised_once_per_process(run_python):
    done = run_python("""
        import warnings
        warnings.simplefilter("error")  # the import warns about nothing
        import ctypes, importlib, sys, types, _testcapi
        import velbrook.intToTime.ordinal_unfolder as m
        del sys.modules[m.__name__]
        print(importlib.import_module(m.__name__) is m)
        init = ctypes.PyDLL(m.__file__).PyInit_ordinal_unfolder
        init.restype = ctypes.c_void_p
        exec_def = ctypes.PyDLL(None).PyModule_ExecDef
        exec_def.argtypes = (ctypes.py_object, ctypes.c_void_p)
        test = m.__test__
        print(exec_def(m, init()), m.__test__ is test)
        try:
            exec_def(types.ModuleType("ordinal_unfolder"), init())
        except RuntimeError as e:
            print(e)
        sys.stdout.flush()
        _testcapi.run_in_subinterp("try:\\n import " + m.__name__ +
                                   "\\nexcept ImportError as e:\\n print(e)")
    """)
    assert done.stdout.splitlines() == [
        "True", "0 True",
        "Module 'ordinal_unfolder' has already been imported. "
        "Re-initialisation is not supported.",
        "Interpreter change detected - this module can only be loaded into "
        "one interpreter per process."], done.stderr


# -- C-level function table --------------------------------------------------

class Tm(ctypes.Structure):
    _fields_ = [(n, ctypes.c_int) for n in (
        "tm_sec", "tm_min", "tm_hour", "tm_mday", "tm_mon", "tm_year",
        "tm_wday", "tm_yday", "tm_isdst")] + [
        ("tm_gmtoff", ctypes.c_long), ("tm_zone", ctypes.c_char_p)]


class TmToDatetimeOptions(ctypes.Structure):
    _fields_ = [("n", ctypes.c_int), ("microseconds", ctypes.c_int)]


def tm(year, mon, mday, hour=0, minute=0, sec=0, **other):
    return Tm(tm_year=year - 1900, tm_mon=mon - 1, tm_mday=mday,
              tm_hour=hour, tm_min=minute, tm_sec=sec, **other)


def fields(t):
    return (t.tm_year + 1900, t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min,
            t.tm_sec)


P, PTM, OBJ = ctypes.PYFUNCTYPE, ctypes.POINTER(Tm), ctypes.py_object
TABLE = [
    ("int2time", "PyObject *(long, char const *, int __pyx_skip_dispatch)",
     P(OBJ, ctypes.c_long, ctypes.c_char_p, ctypes.c_int)),
    ("fromordinal", "PyObject *(long, int __pyx_skip_dispatch)",
     P(OBJ, ctypes.c_long, ctypes.c_int)),
    ("utcfromtimestamp", "PyObject *(double, int __pyx_skip_dispatch)",
     P(OBJ, ctypes.c_double, ctypes.c_int)),
    ("totimestamp", "long (PyObject *, int __pyx_skip_dispatch)",
     P(ctypes.c_long, OBJ, ctypes.c_int)),
    ("tm_to_datetime", "PyObject *(struct tm const &, struct __pyx_opt_args_"
     "8velbrook_9intToTime_16ordinal_unfolder_tm_to_datetime "
     "*__pyx_optional_args)",
     P(OBJ, PTM, ctypes.POINTER(TmToDatetimeOptions))),
    ("fromordinal_tm", "struct tm *(long, struct tm *)",
     ctypes.CFUNCTYPE(ctypes.c_void_p, ctypes.c_long, PTM)),
    ("int2time_tm", "struct tm *(long, char const *, struct tm *)",
     ctypes.CFUNCTYPE(ctypes.c_void_p, ctypes.c_long, ctypes.c_char_p, PTM)),
    ("datetime_to_tm", "struct tm (PyObject *)", P(Tm, OBJ)),
]
C = {name: c_function(m, name, proto) for name, _, proto in TABLE}


def test_capsule_names_are_signatures():
    assert list(m.__pyx_capi__) == [name for name, _, _ in TABLE]
    for name, signature, _ in TABLE:
        assert capsule_name(m.__pyx_capi__[name]) == signature


@pytest.mark.parametrize("name, args, expected", [
    ("int2time", (1577836800123, b"v2%M%f", 1), m.int2time(1577836800, b"%M")
     ._replace(tm_milli_sec=123)),
    ("int2time", (WRAPPING_ORDINAL, b"%Y", 0), GMTIME),
    ("fromordinal", (738000, 0), datetime.fromordinal(738000)),
    ("fromordinal", (0, 1), TOO_SMALL),
    ("fromordinal", (-WRAPPING_ORDINAL, 0), TOO_SMALL),
    ("fromordinal", (WRAPPING_ORDINAL, 0), GMTIME),
    ("utcfromtimestamp", (-1.5, 0), EPOCH - timedelta(seconds=1.5)),
    ("utcfromtimestamp", (math.nan, 0), GMTIME),
    ("totimestamp", (datetime(1969, 12, 31, 23, 59, 59, 500000), 0), -1),
])
def test_c_level_functions_behave_as_module_functions(name, args, expected):
    check(lambda: C[name](*args), expected)


@pytest.mark.parametrize("name, args, expected", [
    ("int2time_tm", (86399, b"%H:%M:%S"), (1970, 1, 1, 23, 59, 59)),
    ("int2time_tm", (86399, b"%Y-%m-%d"),
     date.fromordinal(86399).timetuple()[:6]),
    ("int2time_tm", (5, b"%%M"), (1970, 1, 1, 0, 0, 5)),
    # "v2" and "%f" mean nothing here: the value is whole seconds
    ("int2time_tm", (1577836800123, b"v2%H:%M:%S.%f"),
     gmtime_record(1577836800123)[:6]),
    ("int2time_tm", (0, b"v2%Y.%f"), (0, 12, 31, 0, 0, 0)),
    ("int2time_tm", (2 ** 62, b"%M"), None),
    ("int2time_tm", (WRAPPING_ORDINAL, b"%Y"), None),
    ("int2time_tm", (-WRAPPING_ORDINAL, b""), None),
    # no bounds of its own
    ("fromordinal_tm", (0,), (0, 12, 31, 0, 0, 0)),
    ("fromordinal_tm", (3652060,), (10000, 1, 1, 0, 0, 0)),
    ("fromordinal_tm", (10 ** 12,), None),
    ("fromordinal_tm", (WRAPPING_ORDINAL,), None),
    ("fromordinal_tm", (-WRAPPING_ORDINAL,), None),
])
def test_tm_primitives(name, args, expected):
    t = Tm(tm_zone=b"untouched")
    address = C[name](*args, ctypes.byref(t))
    assert address == (None if expected is None else ctypes.addressof(t))
    assert expected is None or fields(t) == expected


def test_fromordinal_tm_over_whole_range():
    rng = random.Random(86399)
    for x in samples(rng, 1000, 1, 3652060) + [1, 3652059]:
        t = Tm()
        C["fromordinal_tm"](x, ctypes.byref(t))
        d = date.fromordinal(x).timetuple()
        assert fields(t) + (t.tm_wday, t.tm_yday + 1) == (
            d[:6] + ((d.tm_wday + 1) % 7, d.tm_yday))


BAD_MICROSECOND = constructor_error(2020, 1, 1, 0, 0, 0, 10 ** 6)
BAD_MONTH = constructor_error(2020, 13, 1)


@pytest.mark.parametrize("t, opt, expected", [
    (tm(2020, 2, 29, 12, 30, 45), None, datetime(2020, 2, 29, 12, 30, 45)),
    (tm(2020, 2, 29), (0, 777), datetime(2020, 2, 29)),
    (tm(2020, 2, 29), (1, 123456), datetime(2020, 2, 29, 0, 0, 0, 123456)),
    (tm(9999, 12, 31, 23, 59, 59), (1, 999999), datetime.max),
    (tm(2020, 1, 1, tm_wday=-7, tm_yday=999, tm_isdst=1, tm_gmtoff=-3600,
        tm_zone=b"XYZ"), None, datetime(2020, 1, 1)),
    (tm(2020, 1, 1), (1, 10 ** 6), BAD_MICROSECOND),
    (tm(2016, 12, 31, 23, 59, 60), None,
     constructor_error(2016, 12, 31, 23, 59, 60)),
    (tm(2020, 2, 30), None, constructor_error(2020, 2, 30)),
    (tm(2020, 13, 1), None, BAD_MONTH),
    (Tm(tm_mon=INT_MAX, tm_mday=1), None,
     constructor_error(1900, INT_MAX, 1)),  # the month saturates
    (tm(0, 12, 31), None, out_of_range(0)),
    (tm(10000, 1, 1), None, out_of_range(10000)),
    (Tm(tm_year=INT_MAX, tm_mday=1), None, out_of_range(INT_MAX + 1900)),
])
def test_tm_to_datetime(t, opt, expected):
    opt = ctypes.byref(TmToDatetimeOptions(*opt)) if opt else None
    check(lambda: C["tm_to_datetime"](ctypes.byref(t), opt), expected)


@pytest.mark.parametrize("dt", [
    datetime(2020, 2, 29, 12, 30, 45, 999999),
    datetime(1, 1, 1),
    datetime(9999, 12, 31, 23, 59, 59, tzinfo=timezone.utc, fold=1),
    DatetimeSubclass(1969, 12, 31, 23, 59, 59),
])
def test_datetime_to_tm(dt):
    t = C["datetime_to_tm"](dt)
    assert fields(t) == dt.timetuple()[:6]
    assert (t.tm_wday, t.tm_yday, t.tm_isdst, t.tm_gmtoff, t.tm_zone) == (
        0, 0, 0, 0, None)
    assert C["totimestamp"](dt, 0) == calendar.timegm(dt.timetuple())
