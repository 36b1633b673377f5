"""histogram_from_values on objects read through their buffers (numpy
arrays, array.array, memoryview, bytes, bytearray): the same histogram, bit
for bit, and the same errors as walking the same object item by item,
including every case where reading the buffer would not give what
iteration gives."""
import array
import ctypes
import math
import signal
import struct
import sys

import pytest

from conftest import c_function
from velbrook.centroid_histogram import bucket_summarizer as bs

nan, inf = math.nan, math.inf
SIGNATURE = "PyObject *(size_t, PyObject *, int __pyx_skip_dispatch)"
_BUILDER = ctypes.PYFUNCTYPE(ctypes.py_object, ctypes.c_size_t,
                             ctypes.py_object, ctypes.c_int)
_c_entry = c_function(bs, "histogram_from_values", _BUILDER, SIGNATURE)
ENTRIES = {
    "module": bs.histogram_from_values,
    "C-level": lambda max_size, values: _c_entry(max_size, values, 0),
}


def bits(pairs):
    """(centroid, count) pairs comparable bit for bit; a NaN's sign is not
    compared."""
    return [("nan" if math.isnan(c) else struct.pack("<d", c), n)
            for c, n in pairs]


def result_bits(result):
    return bits((b.centroid, b.count) for b in result.buckets)


def outcome(build, max_size, values):
    """The result as bits, or the exception as (type, message)."""
    try:
        return result_bits(build(max_size, values))
    except Exception as e:  # noqa: B902 - any error must match
        return type(e), str(e)


def item_path(monkeypatch, max_size, values):
    """The same object walked item by item: an `isnan` that is not the
    standard function object (but answers as it does) forbids the buffer."""
    with monkeypatch.context() as m:
        m.setattr(bs, "isnan", lambda v: math.isnan(v))
        return outcome(bs.histogram_from_values, max_size, values)


def np_or_skip():
    return pytest.importorskip("numpy", reason="numpy is not installed")


# ---------------------------------------------------------------------------
# Objects the buffer path reads.

def _floats(n, seed=7):
    import random
    rng = random.Random(seed)
    special = [nan, -nan, inf, -inf, 0.0, -0.0, 5e-324, 1.7976931348623157e308]
    return [rng.choice(special) if rng.random() < 0.1
            else rng.gauss(0.0, 100.0) for _ in range(n)]


# Each integer width's extremes and the doubles they round to: 2**53 + 1
# and 2**64 - 1 are not doubles, and halfway cases round to even.
INTS = {
    "b": [-128, 127, 0, -1, 1, 5, -5, 100],
    "B": [0, 255, 1, 128, 7, 200],
    "h": [-2 ** 15, 2 ** 15 - 1, 0, -1, 300, -300],
    "H": [0, 2 ** 16 - 1, 1, 40000],
    "i": [-2 ** 31, 2 ** 31 - 1, 0, -1, 123456789],
    "I": [0, 2 ** 32 - 1, 1, 3000000000],
    "q": [-2 ** 63, 2 ** 63 - 1, 2 ** 53 + 1, -(2 ** 53 + 1), 2 ** 53 + 3,
          2 ** 62 + 2 ** 9, 2 ** 62 + 2 ** 9 + 1, 2 ** 62 + 3 * 2 ** 9, 0, -1],
    "Q": [0, 2 ** 64 - 1, 2 ** 63, 2 ** 63 + 2 ** 10, 2 ** 63 + 2 ** 10 + 1,
          2 ** 63 + 3 * 2 ** 10, 2 ** 53 + 1, 2 ** 64 - 2 ** 11, 1],
}
INTS["l"], INTS["L"] = INTS["q"], INTS["Q"]
NUMPY_INTS = {"int8": "b", "uint8": "B", "int16": "h", "uint16": "H",
              "int32": "i", "uint32": "I", "int64": "q", "uint64": "Q",
              "longlong": "q", "ulonglong": "Q"}


def _spread(values, n=600):
    """`values` repeated to `n` items in a scrambled order."""
    return [values[(i * 7919) % len(values)] for i in range(n)]


def _numpy(make):
    def build():
        return make(np_or_skip())
    return build


def _float32(np, values):
    with np.errstate(over="ignore"):  # the largest doubles become inf
        return np.array(values, "f4")


def _unaligned(np, dtype, values):
    # An array one byte into its memory: numpy exports it as "=d", "=q"...
    raw = np.array(values, dtype=dtype).tobytes()
    return np.frombuffer(b"\0" + raw, dtype=dtype, offset=1)


READ = [  # id, () -> object
    ("numpy float64", _numpy(lambda np: np.array(_floats(2000)))),
    ("numpy float32", _numpy(lambda np: _float32(np, _floats(2000)))),
    ("numpy float64 past the poll budget",
     _numpy(lambda np: np.array(_floats(20000, seed=3)))),
    ("numpy float64 empty", _numpy(lambda np: np.zeros(0))),
    ("numpy float64 one", _numpy(lambda np: np.array([2.5]))),
    ("numpy float64 all NaN", _numpy(lambda np: np.full(50, nan))),
    ("numpy every third", _numpy(lambda np: np.array(_floats(900))[::3])),
    ("numpy reversed", _numpy(lambda np: np.array(_floats(900))[::-1])),
    ("numpy reversed float32 every other",
     _numpy(lambda np: _float32(np, _floats(900))[::-2])),
    ("numpy slice", _numpy(lambda np: np.array(_floats(900))[17:-40])),
    ("numpy column of 2-d", _numpy(
        lambda np: np.array(_floats(900)).reshape(300, 3)[:, 1])),
    ("numpy read-only", _numpy(lambda np: np.frombuffer(
        np.array(_floats(500)).tobytes()))),
    ("numpy unaligned float64",
     _numpy(lambda np: _unaligned(np, "f8", _floats(500)))),
    ("numpy unaligned uint64",
     _numpy(lambda np: _unaligned(np, "u8", _spread(INTS["Q"])))),
    ("numpy unaligned int32",
     _numpy(lambda np: _unaligned(np, "i4", _spread(INTS["i"])))),
] + [
    ("numpy " + name, _numpy(
        lambda np, name=name, c=c: np.array(_spread(INTS[c]), name)))
    for name, c in sorted(NUMPY_INTS.items())
] + [
    ("array.array " + c, lambda c=c: array.array(c, _spread(INTS[c])))
    for c in sorted(INTS)
] + [
    ("array.array d", lambda: array.array("d", _floats(900))),
    ("array.array f", lambda: array.array("f", _floats(900))),
    ("memoryview of array.array d",
     lambda: memoryview(array.array("d", _floats(900)))),
    ("memoryview cast d", lambda: memoryview(
        array.array("d", _floats(900)).tobytes()).cast("d")),
    ("memoryview cast @d", lambda: memoryview(
        array.array("d", _floats(900)).tobytes()).cast("@d")),
    ("memoryview cast Q", lambda: memoryview(
        array.array("Q", _spread(INTS["Q"])).tobytes()).cast("Q")),
    ("memoryview cast h every third", lambda: memoryview(
        array.array("h", _spread(INTS["h"])).tobytes()).cast("h")[::3]),
    ("memoryview reversed f",
     lambda: memoryview(array.array("f", _floats(900)))[::-1]),
    ("memoryview of numpy float64 slice", _numpy(
        lambda np: memoryview(np.array(_floats(900)))[5:-5:2])),
    ("bytes", lambda: bytes(_spread(INTS["B"]))),
    ("bytearray", lambda: bytearray(_spread(INTS["B"]))),
    ("bytes empty", lambda: b""),
]


@pytest.mark.parametrize("capacity", [1, 5, 16])
@pytest.mark.parametrize("entry", sorted(ENTRIES))
@pytest.mark.parametrize("make", [m for _, m in READ],
                         ids=[i for i, _ in READ])
def test_buffer_gives_what_the_items_give(monkeypatch, make, entry,
                                          capacity):
    values = make()
    got = outcome(ENTRIES[entry], capacity, values)
    assert got == item_path(monkeypatch, capacity, values)
    assert got == outcome(bs.histogram_from_values, capacity, list(values))
    # float(int) is the conversion every integer must go through
    floats = [float(v) for v in values]
    assert got == outcome(bs.histogram_from_values, capacity, floats)
    if hasattr(values, "tolist"):
        assert got == outcome(bs.histogram_from_values, capacity,
                              values.tolist())


# ---------------------------------------------------------------------------
# Objects where reading the buffer would not give what iteration gives:
# the result or the error is the item path's.

def _named(name, base, iterate):
    """A subclass of `base` whose type name reads `name`."""
    return type(name, (base,), {"__iter__": iterate})


def _doubled(self):
    return (2 * x for x in type(self).__mro__[1].__iter__(self))


def _ctypes_doubles():
    return memoryview((ctypes.c_double * 4)(1.0, 2.0, 3.0, 8.0))


def _released():
    view = memoryview(array.array("d", [1.0, 2.0]))
    view.release()
    return view


def _numpy_subclass(np):
    cls = type("Doubling", (np.ndarray,), {"__iter__": _doubled})
    return np.array([1.0, 2.0, 3.0, 50.0]).view(cls)


NOT_READ = [  # id, () -> object
    ("ndarray subclass with its own __iter__", _numpy(_numpy_subclass)),
    ("2-d array", _numpy(lambda np: np.arange(12.0).reshape(4, 3))),
    ("2-d array of one column", _numpy(
        lambda np: np.arange(12.0).reshape(12, 1))),
    ("0-d array", _numpy(lambda np: np.array(2.5))),
    ("big-endian float64", _numpy(
        lambda np: np.array(_floats(300), ">f8"))),
    ("big-endian int32", _numpy(
        lambda np: np.array(_spread(INTS["i"]), ">i4"))),
    ("float16", _numpy(lambda np: np.array(_floats(300), "f2"))),
    ("bool", _numpy(lambda np: np.array([True, False, True]))),
    ("complex", _numpy(lambda np: np.array([1 + 2j, 3.0]))),
    ("longdouble", _numpy(lambda np: np.array(_floats(300), "g"))),
    ("datetime64 (no buffer)", _numpy(
        lambda np: np.array(["2020-01-01"], "datetime64[s]"))),
    ("object array", _numpy(
        lambda np: np.array([1.0, None, nan, 3], dtype=object))),
    ("structured", _numpy(
        lambda np: np.zeros(3, dtype=[("a", "f8"), ("b", "i4")]))),
    ("bytes subclass", lambda: _named("B", bytes, _doubled)(b"\x01\x05")),
    ("bytearray subclass", lambda: _named(
        "BA", bytearray, _doubled)(b"\x01\x05\x09")),
    ("array.array subclass", lambda: _named(
        "A", array.array, _doubled)("d", [1.0, 4.0, 5.0])),
    ("bytearray subclass named numpy.ndarray", lambda: _named(
        "numpy.ndarray", bytearray, _doubled)(b"\x01\x05\x09")),
    ("bytearray subclass named array.array", lambda: _named(
        "array.array", bytearray, _doubled)(b"\x01\x05\x09")),
    ("memoryview of little-endian ctypes doubles", _ctypes_doubles),
    ("memoryview 2-d", lambda: memoryview(
        array.array("d", range(6)).tobytes()).cast("d", (2, 3))),
    ("memoryview 0-d", lambda: memoryview(
        array.array("d", [4.0]).tobytes()).cast("d", ())),
    ("memoryview released", _released),
    ("memoryview of chars", lambda: memoryview(b"abc").cast("c")),
    ("memoryview of bools", lambda: memoryview(b"\x00\x01").cast("?")),
    ("memoryview ssize_t", lambda: memoryview(
        array.array("q", [1, 2]).tobytes()).cast("n")),
    ("array.array of wide characters", lambda: array.array("u", "ab")),
]


@pytest.mark.filterwarnings("ignore")  # numpy's scalar conversions warn
@pytest.mark.parametrize("make", [m for _, m in NOT_READ],
                         ids=[i for i, _ in NOT_READ])
def test_what_the_buffer_cannot_prove_walks_the_items(monkeypatch, make):
    values = make()
    expected = item_path(monkeypatch, 3, values)
    assert outcome(bs.histogram_from_values, 3, values) == expected


def _skip_above(limit):
    return lambda v: v > limit


@pytest.mark.parametrize("isnan, make, expected", [
    (_skip_above(2), lambda: array.array("d", [1.0, 2.0, 3.0, nan]),
     [(1.0, 1), (2.0, 1), (nan, 1)]),
    (_skip_above(2), _numpy(lambda np: np.array([1.0, 2.0, 3.0, 4.0])),
     [(1.0, 1), (2.0, 1)]),
    (lambda v: False, lambda: bytes([1, 2]), [(1.0, 1), (2.0, 1)]),
    (lambda v: 1 / 0, lambda: bytearray(b"\x01"),
     (ZeroDivisionError, "division by zero")),
    (None, lambda: bytes([1]), (NameError, "name 'isnan' is not defined")),
    (None, lambda: b"", []),
])
def test_replaced_isnan_is_called_for_every_element(monkeypatch, isnan,
                                                    make, expected):
    if isnan is None:
        monkeypatch.delattr(bs, "isnan")
    else:
        monkeypatch.setattr(bs, "isnan", isnan)
    got = outcome(bs.histogram_from_values, 5, make())
    assert got == (bits(expected) if isinstance(expected, list)
                   else expected)


# ---------------------------------------------------------------------------
# Interpreter code that runs while the buffer is read: signal handlers run
# between stretches of work, with the buffer let go.

def _during_call(values, action, capacity=16):
    """Calls the builder with a one-shot timer whose handler runs
    `action()` once, while the call is under way.  Returns the outcome and
    whether the handler ran."""
    ran = []

    def handler(signum, frame):
        ran.append(True)
        action()

    previous = signal.signal(signal.SIGALRM, handler)
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.002)
        got = outcome(bs.histogram_from_values, capacity, values)
        during = bool(ran)
        signal.setitimer(signal.ITIMER_REAL, 0)
    finally:
        signal.signal(signal.SIGALRM, previous)
    return got, during


def _counts(got):
    return sum(n for _, n in got)  # got: bits


def _skips_from_then_on(values, got):
    seen = _counts(got)
    assert 0 < seen < len(values)
    assert got == result_bits(bs.histogram_from_values(16, values[:seen]))


def _walks_each_once(values, got):
    # neither restarted nor cut short where the buffer was given up
    assert got == result_bits(bs.histogram_from_values(16, values))


@pytest.mark.skipif(not hasattr(signal, "setitimer"), reason="no timers")
@pytest.mark.parametrize("isnan, check", [
    (lambda v: True, _skips_from_then_on),
    (lambda v: False, _walks_each_once),
])
@pytest.mark.parametrize("kind", ["numpy", "array.array"])
def test_isnan_rebound_by_a_handler_takes_effect_at_once(monkeypatch, kind,
                                                         isnan, check):
    n = 10 ** 6
    if kind == "numpy":
        values = np_or_skip().arange(float(n))
    else:
        values = array.array("d", range(n))
    with monkeypatch.context() as m:
        got, during = _during_call(
            values, lambda: m.setattr(bs, "isnan", isnan))
    assert during
    check(values, got)


@pytest.mark.skipif(not hasattr(signal, "setitimer"), reason="no timers")
@pytest.mark.parametrize("action, expected_extra", [
    (lambda data: data.extend(b"\x07" * 1000), 1000),
    (lambda data: data.__delitem__(slice(2 * 10 ** 6, None)), None),
])
def test_bytearray_resized_by_a_handler(action, expected_extra):
    data = bytearray(3 * 10 ** 6)
    data[-1] = 9
    got, during = _during_call(data, lambda: action(data), capacity=4)
    assert during
    # iteration reads the bytearray as it is at each step
    assert got == result_bits(bs.histogram_from_values(4, list(data)))
    if expected_extra is not None:
        assert _counts(got) == 3 * 10 ** 6 + expected_extra


def _interrupt():
    raise KeyboardInterrupt


@pytest.mark.skipif(not hasattr(signal, "setitimer"), reason="no timers")
def test_handler_exception_stops_the_call_and_lets_go_of_the_buffer():
    data = bytearray(3 * 10 ** 6)
    with pytest.raises(KeyboardInterrupt):
        _during_call(data, _interrupt)
    data.append(1)  # BufferError if an export were still held


# ---------------------------------------------------------------------------
# The buffer is let go on every path.

def _resize_numpy(a):
    a.resize(a.size + 1, refcheck=False)  # refuses while exported


LET_GO = [  # id, () -> object, proof that no export is held
    ("bytearray", lambda: bytearray(b"\x01\x02"), lambda b: b.append(3)),
    ("array.array", lambda: array.array("d", [1.0]), lambda a: a.append(2)),
    ("memoryview", lambda: memoryview(b"\x01\x02"), lambda v: v.release()),
    ("numpy", _numpy(lambda np: np.array([1.0, 2.0])), _resize_numpy),
    ("2-d memoryview", lambda: memoryview(b"\x01\x02").cast("B", (1, 2)),
     lambda v: v.release()),
    ("memoryview of a format not read", lambda: memoryview(b"ab").cast("c"),
     lambda v: v.release()),
]


@pytest.mark.parametrize("isnan", ["standard", "failing"])
@pytest.mark.parametrize("make, let_go", [(m, g) for _, m, g in LET_GO],
                         ids=[i for i, _, _ in LET_GO])
def test_buffer_is_released(monkeypatch, make, let_go, isnan):
    values = make()
    if isnan == "failing":
        monkeypatch.setattr(bs, "isnan", lambda v: 1 / 0)
    for _ in range(3):
        outcome(bs.histogram_from_values, 2, values)
    refs = sys.getrefcount(values)
    for _ in range(200):
        outcome(bs.histogram_from_values, 2, values)
    assert sys.getrefcount(values) == refs
    let_go(values)
