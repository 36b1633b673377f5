"""velbrook.centroid_histogram.bucket_summarizer: histograms built from
values and from (centroid, count) pairs, checked bit for bit against the
pure-Python model, plus the module's errors, its names looked up at each
use, and input changed by interpreter code while it is being read."""
import builtins
import collections
import ctypes
import gc
import math
import os
import pickle
import random
import struct
import subprocess
import sys
import traceback
import warnings

import pytest

from conftest import (c_function, call_object, capsule_pointer,
                      non_string_keyword)
from histogram_model import (VECTOR_MAX_ELEMENTS, model_histogram,
                             model_histogram_values)
from velbrook.centroid_histogram import bucket_summarizer as bs

MODULE = "velbrook.centroid_histogram.bucket_summarizer"
BUILDERS = ["histogram_from_values", "histogram_from_buckets"]
SIGNATURE = "PyObject *(size_t, PyObject *, int __pyx_skip_dispatch)"
SANITIZED = os.environ.get("VELBROOK_SANITIZE") == "1"
nan, inf = math.nan, math.inf

# PYFUNCTYPE keeps the GIL held and raises the exception the callee set.
_BUILDER = ctypes.PYFUNCTYPE(ctypes.py_object, ctypes.c_size_t,
                             ctypes.py_object, ctypes.c_int)


def c_entry(name):
    """The C-level builder `name` from the module's function table."""
    entry = c_function(bs, name, _BUILDER, SIGNATURE)
    return lambda max_size, iterable: entry(max_size, iterable, 0)


def pairs(result):
    return [(b.centroid, b.count) for b in result.buckets]


def bits(buckets):
    """Buckets comparable bit for bit; a NaN's sign is not compared."""
    return [("nan" if math.isnan(c) else struct.pack("<d", c), n)
            for c, n in buckets]


def raised(call, *args):
    with pytest.raises(Exception) as info:
        call(*args)
    return info


def message_of(call, *args):
    return str(raised(call, *args).value)


class Number:
    """`value` behind `__float__` and `__int__`, which run `action` first."""

    def __init__(self, value, action=lambda: None):
        self.value, self.action = value, action

    def __float__(self):
        self.action()
        return self.value

    __int__ = __float__


# ---------------------------------------------------------------------------
# Differential test: seeded random streams through the module and the model.

def _sized(rng, make, most=60):
    return [make() for _ in range(rng.randrange(most))]


def _grid_values(rng):
    # Few distinct values on a grid: equal gaps, equal left centroids and
    # runs of equal buckets, where the tie rules decide.
    pool = [rng.randrange(-4, 5) / 2.0 for _ in range(rng.randrange(1, 5))]
    return _sized(rng, lambda: rng.choice(pool))


def _with_missing(rng):
    makers = [lambda: None, lambda: nan, lambda: inf, lambda: -inf,
              lambda: -0.0, lambda: rng.randrange(-3, 4),
              lambda: rng.uniform(-3, 3), lambda: rng.uniform(-3, 3)]
    return _sized(rng, lambda: rng.choice(makers)())


SPECIAL = [nan, inf, -inf, 0.0, -0.0, 1.0, 1e308, -1e308, 2.5]
WRAPPING = [0, 1, 2, 2 ** 63, 2 ** 64 - 1, 2 ** 64 - 2]
STREAMS = {  # name: (builder, generator of one stream from a Random)
    "uniform": ("values", lambda r: _sized(r, lambda: r.uniform(-1e3, 1e3))),
    "normal": ("values", lambda r: _sized(r, lambda: r.gauss(0.0, 1.0))),
    "grid duplicates": ("values", _grid_values),
    "None NaN inf int": ("values", _with_missing),
    "equal centroids": ("buckets", lambda r: _sized(
        r, lambda: (r.choice([1.0, 2.0, 2.0, 3.0]), r.randrange(5)), 40)),
    "special centroids": ("buckets", lambda r: _sized(
        r, lambda: (r.choice(SPECIAL), r.randrange(4)), 40)),
    "wrapping counts": ("buckets", lambda r: _sized(
        r, lambda: (float(r.randrange(-3, 4)),
                    r.choice(WRAPPING + [r.randrange(2 ** 64)])), 40)),
}
MODELS = {
    "values": lambda m, xs: model_histogram_values(m, xs, skip_missing=True),
    "buckets": model_histogram,
}
SEEDS = 80  # 7 kinds x 6 capacities x 80 seeds = 3360 streams


@pytest.mark.parametrize("capacity", [1, 2, 3, 5, 8, 16])
@pytest.mark.parametrize("kind", sorted(STREAMS))
def test_matches_model_bit_for_bit(kind, capacity):
    builder, generate = STREAMS[kind]
    build = getattr(bs, "histogram_from_" + builder)
    for seed in range(SEEDS):
        items = generate(random.Random("%s/%d/%d" % (kind, capacity, seed)))
        result = build(capacity, items)
        assert result.max_size == capacity
        assert bits(pairs(result)) == \
            bits(MODELS[builder](capacity, items)), seed


# ---------------------------------------------------------------------------
# The merge and insertion rules, pinned by hand-checked examples.

TIE_RULES = [
    ("values", 1, [1.0, 3.0], [(2.0, 2)]),
    ("values", 1, [1.0, 3.0, 5.0], [(3.0, 3)]),
    ("values", 5, [3.0, 1.0, 2.0], [(1.0, 1), (2.0, 1), (3.0, 1)]),
    ("values", 2, [1.0, 2.0, 10.0], [(1.5, 2), (10.0, 1)]),
    # equal gaps and counts: the smaller left centroid merges
    ("values", 2, [0.0, 1.0, 2.0], [(0.5, 2), (2.0, 1)]),
    # a full tie: pair 0 keeps its place, the larger count stands first
    ("values", 2, [5.0, 5.0, 5.0], [(5.0, 2), (5.0, 1)]),
    ("values", 2, [5.0] * 4, [(5.0, 2), (5.0, 2)]),
    # from pair 1 on, the rightmost of fully tied pairs merges
    ("values", 3, [0.0, 5.0, 5.0, 5.0], [(0.0, 1), (5.0, 1), (5.0, 2)]),
    ("values", 3, [0.0, 1.0, 1.0, 2.0], [(0.0, 1), (1.0, 2), (2.0, 1)]),
    ("values", 5, [None, nan, 2, 1.5], [(1.5, 1), (2.0, 1)]),
    ("values", 3, [], []),
    # equal centroids are ordered by count; an equal bucket goes after
    ("buckets", 5, [(5.0, 3), (5.0, 1)], [(5.0, 1), (5.0, 3)]),
    ("buckets", 5, [(5.0, 3), (5.0, 4), (5.0, 3)],
     [(5.0, 3), (5.0, 3), (5.0, 4)]),
    ("buckets", 1, [(0.0, 1), (4.0, 3)], [(3.0, 4)]),
    ("buckets", 5, [(1.0, 2), (0.0, 0)], [(0.0, 0), (1.0, 2)]),
    ("buckets", 1, [(1.0, 0), (2.0, 0)], [(nan, 0)]),
    ("buckets", 1, [(inf, 1), (-inf, 1)], [(nan, 2)]),
    # a NaN gap (inf - inf) ties with any gap: the combined count decides
    ("buckets", 2, [(0.0, 3), (inf, 1), (inf, 1)], [(0.0, 3), (inf, 2)]),
    ("buckets", 2, [[1, 1], [2, 1], [10, 1]], [(1.5, 2), (10.0, 1)]),
    ("buckets", 3, [(nan, 1)], [(nan, 1)]),
    # extra items are ignored and float counts truncate
    ("buckets", 5, [(1.0, 2, "x"), (3.0, 2.7)], [(1.0, 2), (3.0, 2)]),
    # counts wrap, and the divisor is the wrapped count 1, not 2**64 + 1
    ("buckets", 1, [(1.0, 2 ** 64 - 1), (1.0, 2)], [(2.0 ** 64, 1)]),
]


@pytest.mark.parametrize("kind, capacity, items, expected", TIE_RULES)
def test_tie_rules(kind, capacity, items, expected):
    result = getattr(bs, "histogram_from_" + kind)(capacity, items)
    assert bits(pairs(result)) == bits(expected)
    assert type(result) is bs.CentroidHistogram
    assert type(result.buckets) is list
    for bucket in result.buckets:
        assert type(bucket) is bs.CentroidBucket
        assert type(bucket.centroid) is float and type(bucket.count) is int


@pytest.mark.parametrize("max_size, reported", [
    (3, 3), (2.9, 2), (True, 1), (Number(4), 4),
    (type("Big", (int,), {})(7), 7), (2 ** 64 - 1, 2 ** 64 - 1),
])
@pytest.mark.parametrize("kind, items", [
    ("values", [1.0, 2.0, 3.0]), ("buckets", [(1.0, 1)] * 3)])
def test_capacity_conversion(kind, items, max_size, reported):
    # both by keyword; by position everywhere else
    result = getattr(bs, "histogram_from_" + kind)(**{
        kind: items, "max_size": max_size})
    assert type(result.max_size) is int and result.max_size == reported
    assert len(result.buckets) == min(reported, 3)


# ---------------------------------------------------------------------------
# Errors, through the interpreter-level functions and the C-level entries.

def _failing_generator():
    yield 1.0
    raise KeyError("from the generator")


CAPACITY_ERRORS = [
    (0, 5, ValueError, "histogram size must be >= 1"),
    (0, [], ValueError, "histogram size must be >= 1"),
    (VECTOR_MAX_ELEMENTS, [], ValueError, "vector::reserve"),
    (2 ** 63, [], ValueError, "vector::reserve"),
    (2 ** 64 - 2, 5, ValueError, "vector::reserve"),
    (-1, [], OverflowError, "can't convert negative value to size_t"),
    (-2 ** 70, [], OverflowError, "can't convert negative value to size_t"),
    (2 ** 64, [], OverflowError, None),
    ("3", [], TypeError, "an integer is required"),
    (None, [], TypeError, "an integer is required"),
    (Number("4"), [], TypeError, "__int__ returned non-int (type str)"),
    (Number(2.0), [], TypeError, "__int__ returned non-int (type float)"),
]
NOT_REAL = message_of(math.isnan, "x")  # the interpreter's own words
ITEM_ERRORS = [
    ("values", 5, TypeError, "'int' object is not iterable"),
    ("values", type("B", (), {"__iter__": lambda s: 1 / 0})(),
     ZeroDivisionError, "division by zero"),
    ("values", _failing_generator, KeyError, "'from the generator'"),
    ("values", ["x"], TypeError, NOT_REAL),
    ("values", [1.0, 10 ** 400], OverflowError,
     message_of(math.isnan, 10 ** 400)),
    ("buckets", None, TypeError, "'NoneType' object is not iterable"),
    ("buckets", [(1.0,)], IndexError, "tuple index out of range"),
    ("buckets", [[1.0]], IndexError, "list index out of range"),
    ("buckets", [5], TypeError, "'int' object is not subscriptable"),
    ("buckets", [{}], KeyError, "0"),
    ("buckets", [("x", 1)], TypeError, NOT_REAL),
    ("buckets", [(1.0, -1)], OverflowError,
     "can't convert negative value to size_t"),
    ("buckets", [(1.0, "2")], TypeError, "an integer is required"),
    ("buckets", [(1.0, 2 ** 64)], OverflowError, None),
    ("buckets", [(1.0, Number(b""))], TypeError,
     "__int__ returned non-int (type bytes)"),
]


def _check_error(builder, max_size, iterable, exc, message):
    calls = [getattr(bs, builder)]
    if isinstance(max_size, int) and 0 <= max_size < 2 ** 64:
        calls.append(c_entry(builder))
    for call in calls:
        info = raised(call, max_size,
                      iterable() if callable(iterable) else iterable)
        assert info.type is exc
        assert message is None or str(info.value) == message
        # exactly one traceback entry, named after the function
        names = [f.name for f in traceback.extract_tb(info.tb)]
        assert names.count(MODULE + "." + builder) == 1


@pytest.mark.parametrize("max_size, iterable, exc, message", CAPACITY_ERRORS)
@pytest.mark.parametrize("builder", BUILDERS)
def test_capacity_errors(builder, max_size, iterable, exc, message):
    _check_error(builder, max_size, iterable, exc, message)


@pytest.mark.parametrize("kind, iterable, exc, message", ITEM_ERRORS)
def test_item_errors(kind, iterable, exc, message):
    _check_error("histogram_from_" + kind, 4, iterable, exc, message)


@pytest.mark.skipif(SANITIZED, reason="sanitizers abort on huge requests")
@pytest.mark.parametrize("builder", BUILDERS)
def test_reservation_beyond_memory_is_a_value_error(builder):
    _check_error(builder, 2 ** 58, [], ValueError, "std::bad_alloc")


@pytest.mark.parametrize("args, kwargs, message", [
    ((3,), {}, "takes exactly 2 positional arguments (1 given)"),
    ((), {"max_size": 3}, "takes exactly 2 positional arguments (1 given)"),
    ((3,), {"iterable": []}, "takes exactly 2 positional arguments (1 given)"),
    ((), {}, "takes exactly 2 positional arguments (0 given)"),
    ((3, [], 4), {}, "takes exactly 2 positional arguments (3 given)"),
    ((3, []), {"max_size": 3},
     "got multiple values for keyword argument 'max_size'"),
    ((3, []), {"bins": 1}, "got an unexpected keyword argument 'bins'"),
    ((3, []), {1: 2}, None),
])
@pytest.mark.parametrize("builder", BUILDERS)
def test_argument_binding_errors(builder, args, kwargs, message):
    # Called through the C API so that non-string keywords get through.
    info = raised(call_object, getattr(bs, builder), args, kwargs)
    want = (builder + "() " + message if message is not None
            else non_string_keyword(builder))
    assert (info.type, str(info.value)) == (TypeError, want)


@pytest.mark.parametrize("where", ["max_size", "count"])
def test_int_subclass_from_dunder_int_warns(where):
    flag = Number(True)
    args = (flag, [(1.0, 1)]) if where == "max_size" else (3, [(1.0, flag)])
    text = ("__int__ returned non-int (type bool).  The ability to return "
            "an instance of a strict subclass of int is deprecated, and may "
            "be removed in a future version of Python.")
    with pytest.warns(DeprecationWarning) as record:
        assert pairs(bs.histogram_from_buckets(*args)) == [(1.0, 1)]
    assert [str(w.message) for w in record] == [text]
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        assert message_of(bs.histogram_from_buckets, *args) == text


# ---------------------------------------------------------------------------
# Input forms, and input changed by interpreter code while it is read.

class EndsWithStopSubclass:
    def __init__(self, items):
        self.rest = iter(items)

    def __iter__(self):
        return self

    def __next__(self):
        for item in self.rest:
            return item
        raise type("Done", (StopIteration,), {})()


FORMS = {
    "list": list, "tuple": tuple, "iterator": iter,
    "generator": lambda xs: (x for x in xs),
    "list subclass": type("L", (list,), {}),
    "tuple subclass": type("T", (tuple,), {}),
    "deque": collections.deque,
    "__getitem__ only": type("G", (), {
        "__init__": lambda s, xs: setattr(s, "xs", xs),
        "__getitem__": lambda s, i: s.xs[i]}),
    "StopIteration subclass": EndsWithStopSubclass,
}


@pytest.mark.parametrize("form", sorted(FORMS))
@pytest.mark.parametrize("kind, items", [
    ("values", [3.0, None, 1, nan, 2.5, -1.0, 3.0, inf, 0.25]),
    ("buckets", [(3.0, 2), [1, 1], (nan, 0), (2.5, 3, "extra"), (0.0, 0)])])
def test_every_iterable_form_gives_the_same_result(kind, items, form):
    builder = "histogram_from_" + kind
    expected = bits(pairs(getattr(bs, builder)(3, list(items))))
    for build in (getattr(bs, builder), c_entry(builder)):
        assert bits(pairs(build(3, FORMS[form](items)))) == expected


def test_list_subclass_is_walked_through_its_own_iter():
    doubling = type("D", (list,), {
        "__iter__": lambda s: (2 * x for x in list.__iter__(s))})
    assert pairs(bs.histogram_from_values(2, doubling([1.0, 2.0, 10.0]))) \
        == [(3.0, 2), (20.0, 1)]


def _fresh(*xs):
    # Floats made at run time, so that a list holds their only reference.
    return [float(repr(x)) for x in xs]


def _holding_itself(make):
    """A list filled with `make(the list)`."""
    box = []
    box.extend(make(box))
    return box


_KEEP = []


def _isnan_doing(action):
    """Values 1.0 to 4.0 and an `isnan` that runs `action(values, v)`."""
    def case():
        values = _fresh(1.0, 2.0, 3.0, 4.0)
        return "values", values, lambda v: action(values, v) and False
    return case


def _plain(kind, make):
    return lambda: (kind, make(), None)


MUTATIONS = [  # id, case () -> (kind, input, isnan or None), expected
    ("isnan empties the list at 2.0",
     _isnan_doing(lambda xs, v: v == 2.0 and xs.clear()), [1.0, 2.0]),
    ("isnan appends 5.0 at 1.0",
     _isnan_doing(lambda xs, v: v == 1.0 and xs.append(5.0)),
     [1.0, 2.0, 3.0, 4.0, 5.0]),
    ("isnan removes the item it looks at",
     _isnan_doing(lambda xs, v: xs.remove(v)), [1.0, 3.0]),
    # The freed float's memory goes at once to the next floats made: an
    # item read without a reference of our own would change its value.
    ("isnan replaces the item it looks at",
     _isnan_doing(lambda xs, v: _KEEP.append(
         (xs.__setitem__(xs.index(v), None), float(len(_KEEP)) + 1000.5))),
     [1.0, 2.0, 3.0, 4.0]),
    ("__float__ empties the list", _plain("values", lambda: _holding_itself(
        lambda xs: _fresh(1.0) + [Number(7.0, xs.clear), 3.0])),
     [1.0, 7.0]),
    ("centroid's __float__ empties its bucket", _plain("buckets", lambda: [
        _holding_itself(lambda b: [Number(2.0, b.clear), 5])]), IndexError),
    ("centroid's __float__ swaps the count", _plain("buckets", lambda: [
        _holding_itself(lambda b: [Number(2.0, lambda: b.pop() and
                                          b.append(9)), 5])]), [(2.0, 9)]),
    ("count's __int__ empties the list", _plain("buckets", lambda:
        _holding_itself(lambda xs: [(_fresh(1.5)[0], Number(4, xs.clear)),
                                    (2.0, 1)])), [(1.5, 4)]),
]


@pytest.mark.parametrize("case, expected", [m[1:] for m in MUTATIONS],
                         ids=[m[0] for m in MUTATIONS])
def test_input_changed_while_read(monkeypatch, case, expected):
    kind, items, isnan = case()
    if isnan:
        monkeypatch.setattr(bs, "isnan", isnan)
    build = getattr(bs, "histogram_from_" + kind)
    if isinstance(expected, list):
        assert pairs(build(10, items)) == \
            [x if kind == "buckets" else (x, 1) for x in expected]
    else:
        with pytest.raises(expected):
            build(10, items)


# ---------------------------------------------------------------------------
# Module names looked up at each use.

DELETE = object()


@pytest.mark.parametrize("name, value, kind, items, expected", [
    ("isnan", lambda v: v > 2, "values", [1, 2, 3, 4], [(1.0, 1), (2.0, 1)]),
    # without __float__, the float type itself converts
    ("isnan", lambda v: False, "values", ["2.5"], [(2.5, 1)]),
    ("isnan", lambda v: False, "values", [Number(3)],
     (TypeError, "__float__ returned non-float (type int)")),
    ("isnan", lambda v: 1 / 0, "values", [1.0], (ZeroDivisionError, None)),
    ("isnan", DELETE, "values", [None], []),
    ("isnan", DELETE, "values", [1.0],
     (NameError, "name 'isnan' is not defined")),
    ("isnan", DELETE, "buckets", [(nan, 1)], [(nan, 1)]),
    ("CentroidBucket", lambda c, n: (n, c), "values", [1.5], [(1, 1.5)]),
    ("CentroidBucket", DELETE, "values", [], []),
    ("CentroidBucket", DELETE, "buckets", [(1.0, 1)],
     (NameError, "name 'CentroidBucket' is not defined")),
    ("CentroidHistogram", lambda m, b: ("H", m, b), "values", [],
     ("H", 3, [])),
    ("CentroidHistogram", DELETE, "values", [],
     (NameError, "name 'CentroidHistogram' is not defined")),
])
def test_rebound_and_deleted_names(monkeypatch, name, value, kind, items,
                                   expected):
    if value is DELETE:
        monkeypatch.delattr(bs, name)
    else:
        monkeypatch.setattr(bs, name, value)
    build = getattr(bs, "histogram_from_" + kind)
    if isinstance(expected, list):
        result = build(3, items)
        assert bits([tuple(b) for b in result.buckets]) == bits(expected)
    elif isinstance(expected[0], type):
        info = raised(build, 3, items)
        assert info.type is expected[0]
        assert expected[1] is None or str(info.value) == expected[1]
    else:
        assert build(3, items) == expected


def test_deleted_name_falls_back_to_builtins(monkeypatch):
    monkeypatch.delattr(bs, "isnan")
    monkeypatch.setattr(builtins, "isnan", lambda v: v < 0, raising=False)
    assert pairs(bs.histogram_from_values(3, [-1.0, 2.0])) == [(2.0, 1)]


# ---------------------------------------------------------------------------
# The module itself, pickling, resources.

def test_module_namespace():
    assert list(bs.__pyx_capi__) == BUILDERS
    for capsule in bs.__pyx_capi__.values():
        assert capsule_pointer(capsule, SIGNATURE)
    assert bs.isnan is math.isnan and bs.collections is collections
    assert bs.__test__ == {}
    assert bs.CentroidBucket._fields == ("centroid", "count")
    assert bs.CentroidHistogram._fields == ("max_size", "buckets")
    assert bs.CentroidBucket.__module__ == MODULE
    assert bs.CentroidHistogram.__module__ == MODULE
    doc = "Build a centroid histogram of a given size from an iterable of "
    assert bs.histogram_from_values.__doc__ == doc + "floating-point values."
    assert bs.histogram_from_buckets.__doc__ == \
        doc + "(centroid, count) pairs."


@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
def test_results_pickle(protocol):
    result = bs.histogram_from_values(2, [1.0, 2.0, 10.0])
    copy = pickle.loads(pickle.dumps(result, protocol))
    assert copy == result and type(copy) is bs.CentroidHistogram
    assert type(copy.buckets[0]) is bs.CentroidBucket


LEAK_CALLS = [  # successes, then failures at each stage
    (bs.histogram_from_values, 5, [1.0, None, nan, 2, 3.5, 4.0] * 3),
    (bs.histogram_from_buckets, 2, [(1.0, 2), (3.0, 1), (9.0, 4)]),
    (bs.histogram_from_values, 5, [1.0, "x"]),
    (bs.histogram_from_buckets, 5, [(1.0, 2), (3.0,)]),
    (bs.histogram_from_values, 0, [1.0]),
    (bs.histogram_from_values, -1, [1.0]),
]


def test_no_reference_or_block_leaks():
    def run_all(times):
        for build, max_size, items in LEAK_CALLS:
            for _ in range(times):
                try:
                    build(max_size, items)
                except (TypeError, ValueError, IndexError, OverflowError):
                    pass

    def references():
        gc.collect()
        return [sys.getrefcount(x) for _, _, xs in LEAK_CALLS for x in xs]
    run_all(20)
    counts, blocks = references(), sys.getallocatedblocks()
    run_all(300)
    assert all(b - a < 10 for a, b in zip(counts, references()))
    assert sys.getallocatedblocks() - blocks < 50


def _vm_size():
    with open("/proc/self/status") as status:
        return [int(line.split()[1]) * 1024 for line in status
                if line.startswith("VmSize:")][0]


@pytest.mark.parametrize("build, items", [
    (bs.histogram_from_values, [1.0]), (bs.histogram_from_values, ["x"]),
    (bs.histogram_from_buckets, [(1.0,)])])
def test_histogram_storage_is_freed(build, items):
    # Each call reserves 16 MiB; a leak would map over a gigabyte.
    before = _vm_size()
    for _ in range(100):
        try:
            build(2 ** 20, items)
        except (TypeError, IndexError):
            pass
    assert _vm_size() - before < 800 * 2 ** 20


MEMORY_SCRIPT = """
import itertools, resource
from velbrook.centroid_histogram import bucket_summarizer as bs
with open("/proc/self/status") as status:
    vm = [int(l.split()[1]) * 1024 for l in status if l.startswith("VmSize")]
headroom = 256 * 2 ** 20
resource.setrlimit(resource.RLIMIT_AS, (vm[0] + headroom,) * 2)
for build, item in [(bs.histogram_from_values, 1.0),
                    (bs.histogram_from_buckets, (1.0, 1))]:
    try:
        build(2 ** 64 - 1, itertools.repeat(item, 10 ** 9))
    except MemoryError:
        # the grown bucket list is gone: half the headroom is free again
        block = bytearray(headroom // 2)
        del block
        print(build.__name__, "MemoryError")
"""


@pytest.mark.skipif(SANITIZED, reason="sanitizers abort instead of failing")
def test_unbounded_growth_running_out_of_memory():
    done = subprocess.run(
        [sys.executable, "-c", MEMORY_SCRIPT], cwd=os.sep,
        stdout=subprocess.PIPE, stderr=subprocess.PIPE,
        universal_newlines=True, timeout=120)
    assert (done.returncode, done.stderr) == (0, "")
    assert done.stdout.split("\n") == [
        "histogram_from_values MemoryError",
        "histogram_from_buckets MemoryError", ""]


# ---------------------------------------------------------------------------
# From 48 buckets on the builders use block engines (blocks of 128 from
# 2048): the same buckets.

def _long(rng, make, n=1200):
    return [make() for _ in range(n)]


LONG_STREAMS = {  # name: (builder, one stream from a Random)
    "lognormal with None, NaN, inf": ("values", lambda r: _long(
        r, lambda: r.choice([None, nan, inf, -inf]) if r.random() < 0.03
        else r.lognormvariate(0.0, 1.0))),
    "integers 0..9": ("values", lambda r: _long(
        r, lambda: r.randrange(10))),
    "equal centroids, counts near 2**64": ("buckets", lambda r: _long(
        r, lambda: (float(r.randrange(-3, 4)),
                    r.choice(WRAPPING + [r.randrange(5)])))),
    "special centroids, zero counts": ("buckets", lambda r: _long(
        r, lambda: (r.choice(SPECIAL), r.randrange(3)))),
}


@pytest.mark.parametrize("capacity", [47, 48, 300, 2047, 2048])
@pytest.mark.parametrize("kind", sorted(LONG_STREAMS))
@pytest.mark.parametrize("entry", ["module", "C-level"])
def test_block_engine_capacities_match_model(kind, capacity, entry):
    builder, generate = LONG_STREAMS[kind]
    name = "histogram_from_" + builder
    build = getattr(bs, name) if entry == "module" else c_entry(name)
    rng = random.Random("%s/%d" % (kind, capacity))
    items = generate(rng)
    if capacity > 1000:  # past the capacity, so that it merges
        items = items * 3
    result = build(capacity, items)
    assert result.max_size == capacity
    assert bits(pairs(result)) == bits(MODELS[builder](capacity, items))
