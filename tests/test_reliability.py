"""Reliability of the extension modules in long-running jobs: no leak on
any path, a documented result or a clear exception for hostile input (and
a working interpreter afterwards), clean imports in a fresh interpreter.

Under the sanitizer build (VELBROOK_SANITIZE set) the interpreter allocates
through malloc, so only reference counts are checked, not blocks, and a
failed reservation aborts instead of raising.
"""
import datetime as dt
import gc
import itertools
import math
import os
import subprocess
import sys
import sysconfig

import pytest

from conftest import check
from velbrook.centroid_histogram import bucket_summarizer as bs
from velbrook.dateToInt import calendar_text_codec as ctc
from velbrook.intToTime import ordinal_unfolder as ou

SANITIZED = bool(os.environ.get("VELBROOK_SANITIZE"))
ITERATIONS = 300 if SANITIZED else 5000
# A leak of one object per call shows as thousands of blocks. A
# free-threaded build frees some blocks only later, in bursts of a few
# hundred.
BLOCK_NOISE = 400 if sysconfig.get_config_var("Py_GIL_DISABLED") else 40

NAN, INF, SUBNORMAL = float("nan"), float("inf"), 5e-324
S = b"%Y-%m-%d %H:%M:%S"  # epoch seconds; takes the zone-suffix path
D = b"%Y-%m-%d"  # day ordinal
EPOCH = dt.datetime(1970, 1, 1)
MB = 2 ** 20
U64 = 2 ** 64 - 1


class Boom(Exception):
    """Raised by the hostile objects below, never by the modules."""


def boom(*_):
    raise Boom


def hostile(**methods):
    """An instance of a fresh class with the given methods."""
    return type("Hostile", (), methods)()


BAD_INT = hostile(__int__=lambda s: "1")
RAISING_INT = hostile(__int__=boom)
SUBCLASS_INT = hostile(__int__=lambda s: True)  # a strict subclass of int
ONLY_INDEX = hostile(__index__=lambda s: 1)
BAD_FLOAT = hostile(__float__=lambda s: 1)
RAISING_FLOAT = hostile(__float__=boom)
StrSub = type("StrSub", (str,), {})
BytesSub = type("BytesSub", (bytes,), {})


class RaisingIterable:
    """Yields its items, then fails."""

    def __init__(self, *items):
        self.items = items

    def __iter__(self):
        yield from self.items
        raise Boom


class StopsWithSubclass:
    """Iterates over its items, then ends with a subclass of StopIteration."""

    def __init__(self, *items):
        self.items = list(items)

    def __iter__(self):
        return self

    def __next__(self):
        if not self.items:
            raise type("QuietStop", (StopIteration,), {})
        return self.items.pop(0)


def stop_iteration_inside():
    yield 1.0
    raise StopIteration  # a RuntimeError once it leaves the generator


def buckets(h):
    return [(b.centroid, b.count) for b in h.buckets]


@pytest.fixture(autouse=True)
def interpreter_still_works():
    """After every test: a collection, which walks every tracked object,
    and one ordinary call of each module."""
    yield
    gc.collect()
    assert ou.fromordinal(719163) == EPOCH
    assert ctc.date2intWrapper("2021-03-04 05:06:07 +0100", S) == 1614834367
    assert buckets(bs.histogram_from_values(2, [1.0, 2.0, 10.0])) == [
        (1.5, 2), (10.0, 1)]


# ---------------------------------------------------------------------------
# Leak checks


def L(name, exc, f, *args, **kwargs):
    return pytest.param(f, args, kwargs, exc, id=name)


VALUES = [1.0, None, NAN, 2, 3.5, 7.0, -0.0, INF]
BUCKETS = [(1.0, 2), [2, 1], (10.0, 1, "ignored"), (NAN, 0)]
W, WS, ST = ctc.date2intWrapper, ctc.date2intSafeWrapper, ctc.strptime
HV, HB = bs.histogram_from_values, bs.histogram_from_buckets

LEAK_CASES = [
    L("int2time", None, ou.int2time, 1614834367, S),
    L("int2time-keywords", None, ou.int2time, x=1577836800123,
      fmt=bytearray(b"v2%Y-%m-%d %H:%M:%S.%f")),
    L("int2time-gmtime", ValueError, ou.int2time, 2 ** 62, S),
    L("int2time-overflow", OverflowError, ou.int2time, 2 ** 64, S),
    L("int2time-fmt-type", TypeError, ou.int2time, 0, "%Y"),
    L("int2time-bad-int", TypeError, ou.int2time, BAD_INT, S),
    L("int2time-raising-int", Boom, ou.int2time, RAISING_INT, S),
    L("int2time-arity", TypeError, ou.int2time, 0),
    L("int2time-keyword-twice", TypeError, ou.int2time, 0, S, fmt=S),
    L("int2time-keyword-unknown", TypeError, ou.int2time, 0, S, y=1),
    L("fromordinal", None, ou.fromordinal, 737853),
    L("fromordinal-below-1", ValueError, ou.fromordinal, 0),
    L("fromordinal-year", ValueError, ou.fromordinal, 3652060),
    L("fromordinal-type", TypeError, ou.fromordinal, ONLY_INDEX),
    L("utcfromtimestamp", None, ou.utcfromtimestamp, -1.5),
    L("utcfromtimestamp-nan", ValueError, ou.utcfromtimestamp, NAN),
    L("utcfromtimestamp-year", ValueError, ou.utcfromtimestamp, 1e12),
    L("utcfromtimestamp-type", TypeError, ou.utcfromtimestamp, BAD_FLOAT),
    L("totimestamp", None, ou.totimestamp, dt.datetime(2021, 3, 4, 5)),
    L("totimestamp-type", TypeError, ou.totimestamp, dt.date(2021, 3, 4)),
    L("date2int-suffix", None, W, "2021-03-04 05:06:07 +0100", S),
    L("date2int-ordinal", None, W, "2021-03-04", D),
    L("date2int-non-ascii", None, W, "2021-03-04 \u00e9", D + b" \xc3\xa9"),
    L("date2int-keywords", None, W, x="2021-03-04 05:06:07.5",
      fmt=b"v2%Y-%m-%d %H:%M:%S.%f", skip_tz=1),
    L("date2int-no-match", ValueError, W, "garbage", S),
    L("date2int-year-0", ValueError, W, "0000-01-01", D),
    L("date2int-no-encode", AttributeError, W, b"2021", b"%Y"),
    L("date2int-surrogate", UnicodeEncodeError, W, "\ud800", S),
    L("date2int-encode-type", TypeError, W,
      hostile(encode=lambda s: "2021"), b"%Y"),
    L("date2int-str-raises", Boom, W, hostile(__str__=boom), S),
    L("date2int-skip-tz-raises", Boom, W, "2021", b"%Y",
      skip_tz=hostile(__bool__=boom)),
    L("date2int-fmt-type", TypeError, W, "2021", "%Y"),
    L("date2int-arity", TypeError, W, "2021"),
    L("date2int-keyword-unknown", TypeError, W, "2021", b"%Y", tz=1),
    L("date2intSafe", None, WS, "2021-03-04T05:06:07-0700",
      b"%Y-%m-%dT%H:%M:%S"),
    L("date2intSafe-no-match", None, WS, "g\u00e4rbage", S),
    L("date2intSafe-no-encode", AttributeError, WS, None, b"%Y"),
    L("date2intSafe-surrogate", UnicodeEncodeError, WS, "\udc80", b"%Y"),
    L("strptime", None, ST, "2023-07-04 10:20:30.5", S + b".%f"),
    L("strptime-encoded", None, ST, StrSub("2023-07-04"), bytearray(D)),
    L("strptime-no-match", ValueError, ST, "2023-07-04 ", D),
    L("strptime-datetime-range", ValueError, ST, "23:59:60", b"%H:%M:%S"),
    L("strptime-no-encode", AttributeError, ST, b"2023", b"%Y"),
    L("strptime-encode-raises", Boom, ST, hostile(encode=boom), b"%Y"),
    L("strptime-fmt-type", TypeError, ST, "2023", "%Y"),
    L("values", None, HV, 3, VALUES),
    L("values-iterable", None, HV, values=range(20), max_size=4),
    L("values-capacity-0", ValueError, HV, 0, VALUES),
    L("values-capacity-negative", OverflowError, HV, -1, VALUES),
    L("values-reserve", ValueError, HV, 2 ** 63, VALUES),
    L("values-not-iterable", TypeError, HV, 3, 5),
    L("values-isnan", TypeError, HV, 3, [1.0, "x"]),
    L("values-bad-float", TypeError, HV, 3, [1.0, BAD_FLOAT]),
    L("values-iterator-raises", Boom, HV, 3, RaisingIterable(1.0, 2.0)),
    L("values-arity", TypeError, HV, 3),
    L("buckets", None, HB, 2, BUCKETS),
    L("buckets-short", IndexError, HB, 2, [(1.0, 1), (2.0,)]),
    L("buckets-count-negative", OverflowError, HB, 2, [(1.0, -1)]),
    L("buckets-count-type", TypeError, HB, 2, [(1.0, "1")]),
    L("buckets-centroid-type", TypeError, HB, 2, [("x", 1)]),
    L("buckets-not-indexable", TypeError, HB, 2, [5]),
    L("buckets-iterator-raises", Boom, HB, 2,
      RaisingIterable((1.0, 1), (2.0, 1))),
]


def touched_objects(f, args, kwargs):
    """The arguments, the items of container arguments (two levels) and
    the module's public attributes; shared singletons whose counts the
    interpreter itself moves (None, bools, small ints) are left out."""
    found, todo = [], list(args) + list(kwargs.values())
    for _ in range(3):
        found += todo
        todo = [i for o in todo if isinstance(o, (list, tuple)) for i in o]
    found += [v for k, v in vars(f.__self__).items() if not k.startswith("_")]
    return [o for o in found if o is not None and o is not True and
            o is not False and not (type(o) is int and -5 <= o <= 256)]


def growth(call, touched, n=ITERATIONS):
    """(allocated-block growth, [refcount growth per touched object]) over n
    calls, after a warm-up that fills the interpreter's caches."""
    for _ in itertools.repeat(None, 100):
        call()
    gc.collect()
    before = [sys.getrefcount(o) for o in touched]
    blocks = sys.getallocatedblocks()
    for _ in itertools.repeat(None, n):
        call()
    gc.collect()
    blocks = sys.getallocatedblocks() - blocks
    after = [sys.getrefcount(o) for o in touched]
    return blocks, [a - b for a, b in zip(after, before)]


def leak_case_call(f, args, kwargs, exc):
    """A call of the case that swallows its expected exception, after
    checking that the path under test is the one taken."""
    if exc is not None:
        with pytest.raises(exc):
            f(*args, **kwargs)

    def call():
        try:
            f(*args, **kwargs)
        except exc or ():
            pass
    return call


@pytest.mark.parametrize("f, args, kwargs, exc", LEAK_CASES)
def test_no_leak(f, args, kwargs, exc):
    call = leak_case_call(f, args, kwargs, exc)
    touched = touched_objects(f, args, kwargs)
    blocks, refs = growth(call, touched)
    moved = [(repr(o)[:60], d) for o, d in zip(touched, refs) if d]
    assert not moved, "reference counts changed over %d calls" % ITERATIONS
    if not SANITIZED:
        assert blocks <= BLOCK_NOISE, "%d blocks after %d calls" % (
            blocks, ITERATIONS)


@pytest.mark.skipif(not hasattr(sys, "gettotalrefcount"),
                    reason="a debug interpreter counts all references")
@pytest.mark.parametrize("f, args, kwargs, exc", LEAK_CASES)
def test_total_reference_count_is_unchanged(f, args, kwargs, exc):
    def total_growth(call):
        for _ in itertools.repeat(None, 100):
            call()
        gc.collect()
        before = sys.gettotalrefcount()
        for _ in itertools.repeat(None, 1000):
            call()
        gc.collect()
        return sys.gettotalrefcount() - before

    # Against the same loop around a call that does nothing.
    call = leak_case_call(f, args, kwargs, exc)
    assert total_growth(call) - total_growth(lambda: None) <= 0


# ---------------------------------------------------------------------------
# Hostile input


def C(name, expected, thunk):
    """expected: an exception type, a predicate on the result, or a value."""
    return pytest.param(thunk, expected, id=name)


BEYOND_INT64 = [("2^63", 2 ** 63), ("-2^63-1", -2 ** 63 - 1),
                ("2^64", 2 ** 64), ("-2^64", -2 ** 64), ("10^100", 10 ** 100),
                ("-10^100", -10 ** 100), ("inf", INF), ("-inf", -INF)]
INT64_EDGES = [("2^63-1", 2 ** 63 - 1), ("-2^63", -2 ** 63)]
BEYOND_UINT64 = [("2^64", 2 ** 64), ("-1", -1), ("-2^63", -2 ** 63),
                 ("10^100", 10 ** 100), ("-10^100", -10 ** 100),
                 ("inf", INF)]
NEAR_ZERO = [("-0.0", -0.0), ("subnormal", SUBNORMAL),
             ("-subnormal", -SUBNORMAL), ("False", False)]


def each(name, expected, f, values):
    """One case per (label, value): f(value) gives `expected`."""
    return [C("%s %s" % (name, label), expected, lambda v=v: f(v))
            for label, v in values]


TIME_CASES = [
    C("seconds 2^31", (2038, 1, 19, 3, 14, 8),
      lambda: ou.int2time(2 ** 31, S)[:6]),
    C("ordinal 2^31", (5879611, 7, 12), lambda: ou.int2time(2 ** 31, D)[:3]),
    C("int2time bool", 1, lambda: ou.int2time(True, S).tm_sec),
    C("int2time nan", ValueError, lambda: ou.int2time(NAN, S)),
    C("int2time __int__ str", TypeError, lambda: ou.int2time(BAD_INT, S)),
    C("int2time __int__ raises", Boom, lambda: ou.int2time(RAISING_INT, S)),
    C("int2time __int__ bool", 1, lambda: pytest.warns(
        DeprecationWarning, ou.int2time, SUBCLASS_INT, S).tm_sec),
    C("int2time __index__ only", TypeError,
      lambda: ou.int2time(ONLY_INDEX, S)),
    C("int2time str-subclass fmt", TypeError,
      lambda: ou.int2time(0, StrSub("%M"))),
    C("int2time bytes-subclass fmt", 1,
      lambda: ou.int2time(60, BytesSub(S)).tm_min),
    C("int2time NUL ends fmt", 0, lambda: ou.int2time(0, b"%Y\0%M").tm_year),
    C("int2time 1 MB fmt", 1,
      lambda: ou.int2time(60, b"x" * MB + b"%M").tm_min),
    C("fromordinal 2^31", ValueError, lambda: ou.fromordinal(2 ** 31)),
    C("fromordinal True", dt.datetime(1, 1, 1), lambda: ou.fromordinal(True)),
    C("fromordinal nan", ValueError, lambda: ou.fromordinal(NAN)),
    C("utcfromtimestamp 10^400", OverflowError,
      lambda: ou.utcfromtimestamp(10 ** 400)),
    C("utcfromtimestamp __float__ int", TypeError,
      lambda: ou.utcfromtimestamp(BAD_FLOAT)),
    C("utcfromtimestamp __float__ raises", Boom,
      lambda: ou.utcfromtimestamp(RAISING_FLOAT)),
    C("totimestamp None", TypeError, lambda: ou.totimestamp(None)),
] + (each("int2time", OverflowError, lambda v: ou.int2time(v, S),
          BEYOND_INT64)
     + each("seconds", ValueError, lambda v: ou.int2time(v, S), INT64_EDGES)
     + each("ordinal", ValueError, lambda v: ou.int2time(v, D), INT64_EDGES)
     + each("int2time", 1970, lambda v: ou.int2time(v, S).tm_year, NEAR_ZERO)
     + each("fromordinal", OverflowError, ou.fromordinal, BEYOND_INT64)
     + each("fromordinal", ValueError, ou.fromordinal, INT64_EDGES)
     + each("utcfromtimestamp", ValueError, ou.utcfromtimestamp,
            [("nan", NAN)] + BEYOND_INT64)
     + each("utcfromtimestamp", EPOCH, ou.utcfromtimestamp, NEAR_ZERO))

SURROGATES = [("high", "\ud800"), ("low", "2021-03-04\udc80"),
              ("suffix path", "\udfff 2021 +01")]
DATE_CASES = [
    C("str subclass", 1614834367,
      lambda: W(StrSub("2021-03-04 05:06:07 +01"), S)),
    C("str subclass __str__", 1614834367, lambda: W(type("T", (str,), {
        "__str__": lambda s: "2021-03-04 05:06:07"})("junk"), S)),
    C("encode bytearray", dt.datetime(2023, 1, 1), lambda: ST(
        hostile(encode=lambda s: bytearray(b"2023")), b"%Y")),
    C("encode str", TypeError, lambda: W(hostile(encode=lambda s: "1"), D)),
    C("encode raises", Boom, lambda: WS(hostile(encode=boom), b"%Y")),
    C("__str__ not str", TypeError,
      lambda: W(hostile(__str__=lambda s: 5), S)),
    C("__str__ raises", Boom, lambda: WS(hostile(__str__=boom), S)),
    C("skip_tz __bool__ raises", Boom,
      lambda: W("2021", b"%Y", hostile(__bool__=boom))),
    C("skip_tz __bool__ not bool", TypeError,
      lambda: W("2021", b"%Y", hostile(__bool__=lambda s: 1))),
    C("bool text", AttributeError, lambda: W(True, D)),
    C("bool text via str", -1, lambda: WS(True, S)),
    C("nan text", ValueError, lambda: W(NAN, S)),
    C("NUL ends text", 737853, lambda: W("2021-03-04\0junk", D)),
    C("NUL ends bytearray fmt", 737791,
      lambda: WS("2021", bytearray(b"%Y\0x"))),
    C("NUL ends strptime text", dt.datetime(2023, 1, 1),
      lambda: ST("2023\0junk", b"%Y")),
    C("1 MB text", ValueError, lambda: W("2" * MB, b"%Y")),
    C("1 MB text Safe", -1, lambda: WS("1" * MB, S)),
    C("1 MB non-ASCII text", -1, lambda: WS("\u00e9" * MB, D)),
    C("1 MB blank before suffix", 1614834367,
      lambda: W("2021-03-04 05:06:07" + " " * MB + "+0100", S)),
    C("1 MB fmt", 693596, lambda: W("", b"%n" * (MB // 2))),
    C("1 MB fmt strptime", ValueError, lambda: ST("2023", b"%Y" + b"%%" * MB)),
    C("str subclass fmt", TypeError, lambda: ST("2021", StrSub("%Y"))),
    C("memoryview fmt", TypeError, lambda: WS("2021", memoryview(b"%Y"))),
    C("bytes subclass fmt", 737791, lambda: W("2021", BytesSub(b"%Y"))),
] + (each("Safe text", -1, lambda v: WS(v, b"%Y%m%d%H%M"),
          [("-2^63", -2 ** 63), ("2^64", 2 ** 64), ("10^100", 10 ** 100),
           ("-0.0", -0.0)])
     + each("date2intWrapper surrogate", UnicodeEncodeError,
            lambda v: W(v, S), SURROGATES)
     + each("date2intSafeWrapper surrogate", UnicodeEncodeError,
            lambda v: WS(v, D), SURROGATES)
     + each("strptime surrogate", UnicodeEncodeError, lambda v: ST(v, D),
            SURROGATES))


class Grower:
    """A value whose conversion appends to the list being walked."""

    def __init__(self, target):
        self.target = target

    def __float__(self):
        if len(self.target) < 50:
            self.target.append(1.0)
        return 2.0


def growing():
    items = []
    items.extend(Grower(items) for _ in range(3))
    total = sum(b.count for b in HV(5, items).buckets)
    return total == len(items) > 3  # every item pushed exactly once


def shrinking(builder, make_item):
    """Items whose conversion empties the list; the list holds the only
    reference to each, so an item the walk does not keep alive is freed
    in the middle of its own conversion."""
    items = []
    items.extend(make_item(items) for _ in range(10))
    h = builder(5, items)
    return not items and sum(b.count for b in h.buckets) <= 10


def clearing_value(items):
    return hostile(__float__=lambda s: (items.clear(), 4.0)[1])


def clearing_bucket(items):
    return hostile(__getitem__=lambda s, i: (items.clear(), [4.0, 1][i])[1])


def is_nan_bucket(h):
    return len(h.buckets) == 1 and math.isnan(h.buckets[0].centroid)


HISTOGRAM_CASES = [
    C("capacity 2^64-1 short input", [(1.0, 1), (3.0, 1)],
      lambda: buckets(HV(U64, [3.0, 1.0]))),
    C("capacity 2^63", ValueError, lambda: HV(2 ** 63, [])),
    C("capacity True", [(2.0, 2)], lambda: buckets(HV(True, [1.0, 3.0]))),
    C("capacity False", ValueError, lambda: HV(False, [])),
    C("capacity nan", ValueError, lambda: HV(NAN, [])),
    C("capacity __int__ str", TypeError, lambda: HV(BAD_INT, [])),
    C("capacity __int__ raises", Boom, lambda: HB(RAISING_INT, [])),
    C("capacity __index__ only", TypeError, lambda: HV(ONLY_INDEX, [])),
    C("non-finite values", [(-INF, 1), (-0.0, 1), (SUBNORMAL, 1), (INF, 1)],
      lambda: buckets(HV(10, [INF, -INF, -0.0, SUBNORMAL, NAN, None]))),
    C("inf and -inf merged", is_nan_bucket, lambda: HV(1, [INF, -INF])),
    C("bool values", [(0.0, 1), (1.0, 1)],
      lambda: buckets(HV(3, [True, False]))),
    C("value 10^400", OverflowError, lambda: HV(1, [10 ** 400])),
    C("value __float__ int", TypeError, lambda: HV(1, [BAD_FLOAT])),
    C("value __float__ raises", Boom, lambda: HV(1, [RAISING_FLOAT])),
    C("value str subclass", TypeError, lambda: HV(1, [StrSub("1.0")])),
    C("iterator raises midway", Boom, lambda: HV(3, RaisingIterable(1.0, 2))),
    C("StopIteration subclass ends", [(1.0, 1), (3.0, 1)],
      lambda: buckets(HV(3, StopsWithSubclass(1.0, 3.0)))),
    C("generator raises StopIteration", RuntimeError,
      lambda: HV(3, stop_iteration_inside())),
    C("list grows while walked", True, growing),
    C("list shrinks while walked", True,
      lambda: shrinking(HV, clearing_value)),
    C("bucket list shrinks while walked", True,
      lambda: shrinking(HB, clearing_bucket)),
    C("count 2^64-1 wraps", 1,
      lambda: HB(1, [(1.0, U64), (1.0, 2)]).buckets[0].count),
    C("count True", [(1.0, 1)], lambda: buckets(HB(1, [(1.0, True)]))),
    C("count nan", ValueError, lambda: HB(1, [(1.0, NAN)])),
    C("NaN centroid kept", is_nan_bucket, lambda: HB(1, [(NAN, 1)])),
    C("centroid str", TypeError, lambda: HB(1, [("1.0", 1)])),
    C("centroid __float__ int", TypeError, lambda: HB(1, [(BAD_FLOAT, 1)])),
    C("bucket str", TypeError, lambda: HB(1, ["ab"])),
    C("bucket mapping", [(1.0, 2)], lambda: buckets(HB(1, [{0: 1.0, 1: 2}]))),
    C("bucket __getitem__ raises", Boom,
      lambda: HB(1, [hostile(__getitem__=boom)])),
    C("bucket iterator raises", Boom,
      lambda: HB(1, RaisingIterable((1.0, 1)))),
] + (each("capacity", OverflowError, lambda v: HV(v, []), BEYOND_UINT64)
     + each("count", OverflowError, lambda v: HB(1, [(1.0, v)]),
            BEYOND_UINT64))
if not SANITIZED:  # ASan aborts on a failed reservation instead of throwing
    HISTOGRAM_CASES.append(C("capacity 2^40", ValueError,
                             lambda: HV(2 ** 40, [])))


@pytest.mark.parametrize("thunk, expected", TIME_CASES)
def test_time_module_hostile_input(thunk, expected):
    check(thunk, expected)


@pytest.mark.parametrize("thunk, expected", DATE_CASES)
def test_date_module_hostile_input(thunk, expected):
    check(thunk, expected)


@pytest.mark.parametrize("thunk, expected", HISTOGRAM_CASES)
def test_histogram_module_hostile_input(thunk, expected):
    check(thunk, expected)


# ---------------------------------------------------------------------------
# Fresh interpreter

MODULES = [ou.__name__, ctc.__name__, bs.__name__]
SMOKE = """
import gc, importlib, sys
for name in sys.argv[1:]:
    importlib.import_module(name)
from velbrook.intToTime import ordinal_unfolder as ou
from velbrook.dateToInt import calendar_text_codec as ctc
from velbrook.centroid_histogram import bucket_summarizer as bs
assert ou.int2time(0, b"%M").tm_year == 1970
assert ctc.strptime("2023-07-04", b"%Y-%m-%d").day == 4
assert bs.histogram_from_values(1, [1.0, 3.0]).buckets[0].centroid == 2.0
for bad in (lambda: ctc.date2intWrapper("x", b"%M"),
            lambda: bs.histogram_from_values(0, [])):
    try:
        bad()
    except ValueError:
        pass
gc.collect()
"""


@pytest.mark.parametrize("order", [MODULES, MODULES[::-1]],
                         ids=["time-date-histogram", "histogram-date-time"])
def test_import_in_fresh_interpreter(order):
    env = dict(os.environ)
    env.pop("PYTHONPATH", None)
    proc = subprocess.run(
        [sys.executable, "-X", "dev", "-W", "error", "-c", SMOKE] + order,
        cwd=os.path.abspath(os.sep), env=env, stdout=subprocess.PIPE,
        stderr=subprocess.PIPE, universal_newlines=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    assert proc.stderr == ""


@pytest.mark.parametrize("module, function, keywords", [
    ("velbrook.intToTime.ordinal_unfolder", "int2time",
     "x=Clear(), fmt=bytes(bytearray(b'%Y-%m-%d %H:%M'))"),
    ("velbrook.centroid_histogram.bucket_summarizer",
     "histogram_from_values", "max_size=Clear(), values=[1.0, 2.0]"),
    ("velbrook.dateToInt.calendar_text_codec", "date2intWrapper",
     "x=''.join(['2021-03-04 ', '05:06 +0100']), skip_tz=Clear(), "
     "fmt=bytes(bytearray(b'%Y-%m-%d %H:%M'))"),
])
def test_keyword_dict_emptied_by_a_conversion(run_python, monkeypatch,
                                              module, function, keywords):
    # PyObject_Call (and f(**d) on 3.7) hands the caller's dict over as it
    # is; an __int__ or __bool__ that empties it must not free the other
    # arguments.
    # Freed memory is poisoned so that any use of it shows.
    monkeypatch.setenv("PYTHONMALLOC", "debug")
    out = run_python("""
        import ctypes
        from %s import %s as function
        call = ctypes.PyDLL(None).PyObject_Call
        call.argtypes = (ctypes.py_object,) * 3
        call.restype = ctypes.py_object
        d = {}
        class Clear:
            def __int__(self):
                d.clear()
                return 2
            def __bool__(self):
                d.clear()
                return False
        for i in range(3):
            d.update(%s)
            print(call(function, (), d))
    """ % (module, function, "dict(%s)" % keywords))
    assert out.returncode == 0, out.stderr
    assert len(out.stdout.splitlines()) == 3
