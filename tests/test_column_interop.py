"""Int64Column where users work: every constructor of numpy, pandas,
pyarrow and polars that takes a column, against the real libraries (values,
nulls, dtype, shared memory); the datetime converters against datetime
arithmetic over random instants; the column as a sequence; what failed;
the Arrow release callback; the package's lazy top level; leaks."""
import array
import ctypes
import datetime as dt
import gc
import os
import pickle
import pydoc
import random
import sys
import threading

import pytest

from conftest import capsule_pointer
from test_reliability import BLOCK_NOISE, SANITIZED, growth
from velbrook.columns import Int64Column, date2int
from velbrook.dateToInt.calendar_text_codec import date2intWrapper


from test_columns import INT64_MIN, np, pa, pd, pl  # None where missing
SECONDS = "%Y-%m-%d %H:%M:%S"


def version(module):
    return tuple(int(p) for p in module.__version__.split(".")[:2])


def need(*modules):
    for name in modules:
        if globals()[name] is None:
            pytest.skip("%s is not installed" % name)


def sample(n=40, every=7, fill=None):
    """A column of `n` epoch seconds, every `every`-th element failed."""
    texts = ["2021-03-04 05:06:%02d" % (i % 60) if i % every else "soon"
             for i in range(n)]
    return date2int(texts, SECONDS, errors="coerce", fill=fill)


def address(column):
    """Where the column's first value lies, without numpy."""
    return ctypes.addressof(ctypes.c_char.from_buffer(memoryview(column)))


# --------------------------------------------------------------------------
# Constructors: each gives len(c) int64 values, with nulls where the target
# has them, sharing memory where promised.

def _numpy_view(x):
    return x, None, x.dtype == np.int64, x.ctypes.data


def _pandas_view(s):
    values = s.to_numpy()
    return (s.tolist(), s.isna().tolist(), str(s.dtype) == "int64",
            values.ctypes.data)


def _arrow_view(a):
    chunk = a.chunk(0) if isinstance(a, pa.ChunkedArray) else a
    return (a.to_pylist(), [v is None for v in a.to_pylist()],
            a.type == pa.int64(), chunk.buffers()[1].address)


def _polars_view(s):
    return (s.to_list(), s.is_null().to_list(), s.dtype == pl.Int64,
            s.to_arrow().buffers()[1].address)


def _setitem(c):
    frame = pd.DataFrame({"x": range(len(c))})
    frame["s"] = c
    return frame["s"]


class CapsuleOnly:
    """The Arrow PyCapsule interface and nothing else: whether a library
    reads the interface at all."""

    def __init__(self, column):
        self.column = column

    def __arrow_c_array__(self, requested_schema=None):
        return self.column.__arrow_c_array__(requested_schema)


def _polars_reads_capsules():
    try:
        return len(pl.Series(CapsuleOnly(sample(3)))) == 3
    except (TypeError, ValueError):
        return False


# (library, make, view, nulls, shares): `shares` True where the column's
# memory is the result's; for pandas, which copies by its own rules,
# "ndarray": shared at least where pandas shares an int64 ndarray.
CONSTRUCTORS = {
    "pd.Series(c)": ("pd", lambda c: pd.Series(c), _pandas_view, False,
                     "ndarray"),
    "pd.DataFrame({'s': c})": ("pd", lambda c: pd.DataFrame({"s": c})["s"],
                               _pandas_view, False, "ndarray"),
    "df['s'] = c": ("pd", _setitem, _pandas_view, False, "ndarray"),
    "df.assign(s=c)": ("pd", lambda c: pd.DataFrame(
        {"x": range(len(c))}).assign(s=c)["s"], _pandas_view, False,
        "ndarray"),
    "pl.Series(c)": ("pl", lambda c: pl.Series(c), _polars_view, True, True),
    "pl.DataFrame({'s': c})": ("pl", lambda c: pl.DataFrame({"s": c})["s"],
                               _polars_view, True, True),
    "pl.Series('s', c)": ("pl", lambda c: pl.Series("s", c), _polars_view,
                          True, True),
    "pa.array(c)": ("pa", lambda c: pa.array(c), _arrow_view, True, True),
    "pa.chunked_array([c])": ("pa", lambda c: pa.chunked_array([c]),
                              _arrow_view, True, True),
    "np.asarray(c)": ("np", lambda c: np.asarray(c), _numpy_view, False,
                      True),
    "np.array(c)": ("np", lambda c: np.array(c), _numpy_view, False, False),
    "memoryview(c)": (None, memoryview, lambda m: (
        m.tolist(), None, m.format == "q", address(m.obj)), False, True),
}


@pytest.mark.parametrize("sliced", [False, True])
@pytest.mark.parametrize("name", sorted(CONSTRUCTORS))
def test_constructor_takes_the_column(name, sliced):
    library, make, view, nulls, shares = CONSTRUCTORS[name]
    if library:
        need(library, "np")
    if library == "pl" and not _polars_reads_capsules():
        with pytest.raises((TypeError, ValueError)):
            make(sample())  # refused, never taken as one value
        pytest.skip("polars %s reads neither the Arrow PyCapsule interface "
                    "nor foreign sequences; c.to_polars() converts"
                    % pl.__version__)
    c = sample()
    if sliced:  # a view into a larger column, nulls at other bit offsets
        c = sample(53)[5:50]
    values, mask, int64, where = view(make(c))
    failed = list(c.is_null())
    assert len(values) == len(c) and int64
    if nulls:
        assert mask == failed
        assert [v for v, f in zip(values, failed) if not f] == [
            v for v, f in zip(c.tolist(), failed) if not f]
    else:  # no nulls in numpy: failed elements keep the fill value
        assert list(values) == c.tolist() and not any(mask or [])
    if shares == "ndarray":  # pandas may copy, as it may copy an ndarray
        plain = np.array(c.tolist(), dtype=np.int64)
        shares = view(make(plain))[3] == plain.ctypes.data or None
    if shares is not None:
        assert (where == address(c)) is shares


def test_arrow_capsule_keeps_the_column_alive():
    need("pa")
    if not hasattr(pa.Array, "_import_from_c_capsule"):
        pytest.skip("pyarrow %s has no capsule import" % pa.__version__)
    c = sample()
    want = [None if f else v for v, f in zip(c.tolist(), c.is_null())]
    imported = pa.Array._import_from_c_capsule(*c.__arrow_c_array__())
    del c
    gc.collect()
    junk = [sample() for _ in range(50)]  # reuse of freed memory shows
    assert imported.to_pylist() == want and junk


@pytest.mark.parametrize("unit, requested, kind, first", [
    ("s", "timestamp[s]", "timestamp[s]", dt.datetime(1970, 1, 1, 0, 0, 1)),
    ("ms", "timestamp[ms]", "timestamp[ms]",
     dt.datetime(1970, 1, 1, 0, 0, 0, 1000)),
    ("s", "timestamp[ms]", "timestamp[ms]", dt.datetime(1970, 1, 1, 0, 0, 1)),
    ("ordinal", "date32", "date32[day]", dt.date(1, 1, 1)),
    # Not one of the column's datetime types: ignored, as Arrow allows.
    ("ms", "timestamp[s]", "int64", 1),
    ("s", "date32", "int64", 1),
    (None, "timestamp[s]", "int64", 1),
])
def test_arrow_capsule_honours_a_requested_datetime(unit, requested, kind,
                                                     first):
    need("pa")
    if not hasattr(pa.Array, "_import_from_c_capsule"):
        pytest.skip("pyarrow %s has no capsule import" % pa.__version__)
    c = Int64Column([1, 2], unit=unit, mask=[0, 1])
    schema = pa.type_for_alias(requested).__arrow_c_schema__()
    got = pa.Array._import_from_c_capsule(*c.__arrow_c_array__(schema))
    assert str(got.type) == kind and got.to_pylist() == [first, None]


class ArrowArrayStruct(ctypes.Structure):
    pass


ArrowArrayStruct._fields_ = [
    ("length", ctypes.c_int64), ("null_count", ctypes.c_int64),
    ("offset", ctypes.c_int64), ("n_buffers", ctypes.c_int64),
    ("n_children", ctypes.c_int64), ("buffers", ctypes.c_void_p),
    ("children", ctypes.c_void_p), ("dictionary", ctypes.c_void_p),
    ("release", ctypes.CFUNCTYPE(None, ctypes.POINTER(ArrowArrayStruct))),
    ("private_data", ctypes.c_void_p)]


def test_release_from_a_thread_without_the_interpreter_lock():
    # A consumer moves the array out of its capsule and releases it later
    # from a thread of its own; ctypes calls it without the lock.
    c = sample()
    base = sys.getrefcount(c)
    _, capsule = c.__arrow_c_array__()
    source = ArrowArrayStruct.from_address(capsule_pointer(capsule,
                                                           "arrow_array"))
    moved = ArrowArrayStruct()
    ctypes.pointer(moved)[0] = source
    ctypes.memset(ctypes.addressof(source) + ArrowArrayStruct.release.offset,
                  0, ctypes.sizeof(ctypes.c_void_p))
    del capsule, source
    assert sys.getrefcount(c) == base + 1  # held by the moved array
    assert moved.length == len(c) and moved.null_count == c.null_count
    worker = threading.Thread(target=moved.release, args=(moved,))
    worker.start()
    worker.join()
    assert sys.getrefcount(c) == base and not moved.release


# --------------------------------------------------------------------------
# Datetimes, against datetime arithmetic over random instants.

EPOCH = dt.datetime(1970, 1, 1)
# (format, unit, instant -> what the column holds)
UNITS = {
    "s": (SECONDS, lambda t: t.replace(microsecond=0)),
    "ms": ("v2%Y-%m-%d %H:%M:%S.%f",
           lambda t: t.replace(microsecond=t.microsecond // 1000 * 1000)),
    "ordinal": ("%Y-%m-%d", lambda t: t.date()),
}


def random_instants(rng, n):
    """Instants of years 1 to 9999, before 1970 and after 2100 among them,
    the first and last of the range, and None for a text that fails."""
    span = (dt.datetime(9999, 12, 31, 23, 59, 59) - dt.datetime(1, 1, 1))
    out = [dt.datetime(1, 1, 1), dt.datetime(9999, 12, 31, 23, 59, 59, 999999),
           dt.datetime(1969, 12, 31, 23, 59, 59, 999000), None]
    for _ in range(n):
        if rng.random() < 0.1:
            out.append(None)
            continue
        start = rng.choice([dt.datetime(1, 1, 1), dt.datetime(1900, 1, 1),
                            dt.datetime(2100, 1, 1)])
        seconds = rng.uniform(0, min(span.total_seconds(), (
            dt.datetime(9999, 12, 31) - start).total_seconds()))
        out.append(start + dt.timedelta(seconds=seconds))
    return out


def text_of(t, unit):
    if t is None:
        return "not a date"
    text = "%04d-%02d-%02d" % (t.year, t.month, t.day)
    if unit != "ordinal":
        text += " %02d:%02d:%02d" % (t.hour, t.minute, t.second)
    return text + (".%06d" % t.microsecond if unit == "ms" else "")


def as_instant(value):
    """A converter's element as a datetime or date, None for a null."""
    if value is None or (pd is not None and value is pd.NaT):
        return None
    if np is not None and isinstance(value, np.datetime64):
        return None if np.isnat(value) else value.item()
    if pd is not None and isinstance(value, pd.Timestamp):
        return value.to_pydatetime()
    return value


CONVERTERS = {
    "numpy": ("np", lambda c: c.to_numpy(datetime=True),
              lambda a: a.tolist(), lambda a, u: str(a.dtype) ==
              "datetime64[%s]" % ("D" if u == "ordinal" else u)),
    "arrow": ("pa", lambda c: c.to_arrow(datetime=True),
              lambda a: a.to_pylist(), lambda a, u: str(a.type) == {
                  "s": "timestamp[s]", "ms": "timestamp[ms]",
                  "ordinal": "date32[day]"}[u]),
    "pandas": ("pd", lambda c: c.to_pandas(datetime=True), list,
               lambda s, u: s.dtype.kind == "M"),
    "polars": ("pl", lambda c: c.to_polars(datetime=True),
               lambda s: s.to_list(), lambda s, u: s.dtype == (
                   pl.Date if u == "ordinal" else pl.Datetime("ms"))),
}


@pytest.mark.parametrize("unit", sorted(UNITS))
@pytest.mark.parametrize("target", sorted(CONVERTERS))
def test_datetimes_match_datetime_arithmetic(target, unit):
    library, convert, items, right_type = CONVERTERS[target]
    need(library, "np")
    fmt, held = UNITS[unit]
    instants = random_instants(random.Random(unit + target), 300)
    if target == "pandas" and version(pd) < (2, 0):
        # Nanoseconds only: years 1678 to 2261.
        instants = [t for t in instants
                    if t is None or 1678 <= t.year <= 2261]
    c = date2int([text_of(t, unit) for t in instants], fmt, errors="coerce")
    assert c.unit == unit and c.null_count == instants.count(None)
    got = convert(c)
    assert right_type(got, unit) and len(got) == len(instants)
    want = [None if t is None else held(t) for t in instants]
    if target == "pandas" and unit == "ordinal":
        want = [t and dt.datetime(t.year, t.month, t.day) for t in want]
    assert [as_instant(v) for v in items(got)] == want


@pytest.mark.parametrize("unit", ["s", "ms"])
@pytest.mark.parametrize("target", ["numpy", "arrow", "pandas"])
def test_epoch_datetimes_share_memory(target, unit):
    library, convert, _, _ = CONVERTERS[target]
    need(library, "np")
    if target == "pandas" and version(pd) < (2, 0):
        pytest.skip("pandas %s holds nanoseconds only" % pd.__version__)
    c = Int64Column([0, INT64_MIN, 5], unit=unit, mask=[0, 1, 0])
    got = convert(c)
    where = {"numpy": lambda a: a.ctypes.data,
             "arrow": lambda a: a.buffers()[1].address,
             "pandas": lambda s: s.to_numpy().ctypes.data}[target](got)
    assert where == address(c)


@pytest.mark.parametrize("fill", [0, -1, 5])
def test_datetime_nulls_are_nat_whatever_the_fill(fill):
    need("np")
    c = date2int(["2021-03-04", "x", "2021-03-05 soon"], "%Y-%m-%d",
                 errors="coerce", fill=fill)
    assert c.tolist()[1:] == [fill, fill]
    for column in (c, Int64Column(c, unit="s", mask=c.is_null())):
        got = column.to_numpy(datetime=True)
        assert np.isnat(got).tolist() == [False, True, True]
        assert address(column) != got.ctypes.data  # a fill to replace


@pytest.mark.parametrize("values, mask, call, bad", [
    ([1, 2 ** 40], None, lambda c: c._epoch_values(1, 4), 1),  # date32
    ([2 ** 50, 1], [0, 1], lambda c: c._epoch_values(86400), 0),
    ([1, -2 ** 63], None, lambda c: c._epoch_values(), 1),
    ([1, -2 ** 63, 2 ** 62], [0, 1, 0], lambda c: c._epoch_values(1, 4), 2),
    ([1, 2 ** 40], [0, 1], lambda c: c._epoch_values(1, 4), None),  # a null
])
def test_days_out_of_range(values, mask, call, bad):
    c = Int64Column(values, unit="ordinal", mask=mask)
    if bad is None:
        assert len(call(c)) == 4 * len(values)
        return
    with pytest.raises(OverflowError) as info:
        call(c)
    assert str(info.value) == ("Int64Column item %d at position %d is out "
                               "of range as a date or time" % (values[bad],
                                                               bad))


@pytest.mark.parametrize("convert", ["to_numpy", "to_arrow", "to_pandas",
                                     "to_polars"])
def test_datetime_needs_a_unit(convert):
    with pytest.raises(ValueError, match="has no unit"):
        getattr(Int64Column([1, 2]), convert)(datetime=True)


def test_int_converters_keep_nulls_and_share():
    need("np")
    c = sample()
    assert np.shares_memory(c.to_numpy(), np.asarray(c))
    if pd is not None:
        s = c.to_pandas(index=range(10, 10 + len(c)), name="n")
        assert str(s.dtype) == "Int64" and s.name == "n" and s.index[0] == 10
        assert s.isna().tolist() == list(c.is_null())
    if pl is not None and pa is not None:
        s = c.to_polars(name="n")
        assert s.name == "n" and s.null_count() == c.null_count


# --------------------------------------------------------------------------
# numpy's __array__ keywords and the column's array attributes.

@pytest.mark.parametrize("kwargs, shares", [
    ({}, True), ({"copy": None}, True), ({"copy": False}, True),
    ({"copy": True}, False), ({"dtype": "int64"}, True),
    ({"dtype": "float64"}, False),
])
def test_array_protocol(kwargs, shares):
    need("np")
    c = sample()
    a = c.__array__(**kwargs)
    assert a.tolist() == c.tolist()
    assert np.shares_memory(a, np.asarray(c)) is shares
    with pytest.raises(ValueError):
        c.__array__("float64", copy=False)


def test_array_attributes():
    c = sample(12)
    assert (c.shape, c.ndim, len(c), list(c)) == ((12,), 1, 12, c.tolist())
    assert c.dtype == (np.dtype("int64") if np is not None else "int64")


# --------------------------------------------------------------------------
# A column as a sequence: slices, repr, equality, pickles, constructor.

@pytest.mark.parametrize("key", [
    slice(None, 5), slice(None, None, -1), slice(-7, -2), slice(3, 40, 7),
    slice(40, 0, -3), slice(8, 16), slice(1, 9), slice(9, 3), slice(None),
])
def test_slices_are_columns(key):
    c = sample(45)
    s = c[key]
    failed = list(c.is_null())
    assert type(s) is Int64Column and s.unit == c.unit
    assert s.tolist() == c.tolist()[key]
    assert list(s.is_null()) == failed[key]
    assert s.null_count == sum(failed[key])
    if key.step in (None, 1) and len(s):
        assert address(s) == address(c) + 8 * range(45)[key][0]


def test_a_slice_outlives_its_column():
    c = sample()
    s = c[2:10]
    want = s.tolist()
    del c
    gc.collect()
    assert s.tolist() == want and s[1:][0] == want[1]


@pytest.mark.parametrize("key, error", [
    ("1", TypeError), (1.0, TypeError), (45, IndexError), (-46, IndexError),
    (2 ** 70, IndexError),
])
def test_bad_subscripts(key, error):
    with pytest.raises(error):
        sample(45)[key]


@pytest.mark.parametrize("column, text", [
    (lambda: Int64Column([1, 2], unit="s"),
     "Int64Column([1, 2], length=2, unit='s', null_count=0)"),
    (lambda: Int64Column([1, 2], mask=[0, 1]),
     "Int64Column([1, None], length=2, null_count=1)"),
    (lambda: sample(9, every=4),
     "Int64Column([None, 1614834361, 1614834362, 1614834363, None, "
     "1614834365, ...], length=9, unit='s', null_count=3)"),
    (lambda: date2int(["2021-03-04", "x"], "v2%Y-%m-%d.%f",
                      errors="coerce"),
     "Int64Column([None, None], length=2, unit='ms', null_count=2)"),
])
def test_repr(column, text):
    assert repr(column()) == text


@pytest.mark.parametrize("a, b, equal", [
    (dict(values=[1, 2]), dict(values=[1, 2], unit="s"), False),
    (dict(values=[1, 2], unit="s"), dict(values=[1, 2], unit="s"), True),
    (dict(values=[1, 2], mask=[1, 0]), dict(values=[1, 2], mask=[0, 1]),
     False),
    (dict(values=[1, 2], mask=[0, 0]), dict(values=[1, 2]), True),
    (dict(values=[1, 2], mask=b"\x01\x00"), dict(values=[1, 2], mask=[1, 0]),
     True),
])
def test_equality_counts_unit_and_nulls(a, b, equal):
    assert (Int64Column(**a) == Int64Column(**b)) is equal


@pytest.mark.parametrize("make", [
    lambda: sample(), lambda: sample()[3:17], lambda: Int64Column([], "ms"),
    lambda: Int64Column([5], mask=[True]),
    lambda: date2int(["2021", "x"], "%Y", errors="coerce", fill=7),
])
def test_pickle_carries_unit_and_nulls(make):
    c = make()
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        back = pickle.loads(pickle.dumps(c, protocol))
        assert back == c and back.unit == c.unit
        assert list(back.is_null()) == list(c.is_null())
    # Readable: the constructor's own arguments.
    kind, args = c.__reduce__()
    assert kind(*args) == c and args[1] == c.unit


def test_old_pickles_still_load():
    old = (b"\x80\x04\x95\x47\x00\x00\x00\x00\x00\x00\x00\x8c\x10velbrook."
           b"columns\x94\x8c\x0bInt64Column\x94\x93\x94\x8c\x05array\x94\x8c"
           b"\x05array\x94\x93\x94\x8c\x01q\x94C\x08\x07\x00\x00\x00\x00\x00"
           b"\x00\x00\x94\x86\x94R\x94\x85\x94R\x94.")
    c = pickle.loads(old)
    assert c.tolist() == [7] and c.unit is None and c.null_count == 0


@pytest.mark.parametrize("kwargs, error, message", [
    (dict(unit="D"), ValueError, "Int64Column() unit must be None, 's', "
     "'ms' or 'ordinal', not 'D'"),
    (dict(unit=b"s"), ValueError, None),
    (dict(mask=[1]), ValueError,
     "Int64Column() mask has 1 items for 2 values"),
    (dict(mask=b"\x01"), ValueError,
     "Int64Column() mask has 1 items for 2 values"),
    (dict(mask=5), TypeError, None),
    (dict(mask=[0, object()]), None, None),  # objects are true
])
def test_constructor_arguments(kwargs, error, message):
    if error is None:
        assert Int64Column([1, 2], **kwargs).null_count == 1
        return
    with pytest.raises(error) as info:
        Int64Column([1, 2], **kwargs)
    assert message is None or str(info.value) == message


# --------------------------------------------------------------------------
# What failed: the mask under threads, Arrow chunks and the raise message.

def test_failures_are_marked_whatever_the_threads_and_chunks():
    need("pa")
    rng = random.Random(15)
    n = 3 * 65536 + 77
    values = ["2021-03-04 05:06:07" if rng.random() < 0.7 else "x"
              for _ in range(n)]
    want = [v == "x" for v in values]
    cuts = [0, 13, 4099, 70001, 70002, n]  # chunks at odd bit offsets
    chunked = pa.chunked_array([pa.array(values[a:b])
                                for a, b in zip(cuts, cuts[1:])])
    sources = [values]
    if hasattr(pa.ChunkedArray, "__arrow_c_stream__"):
        sources.append(chunked)
    for texts in sources:
        for threads in (1, 2, 3):
            c = date2int(texts, SECONDS, errors="coerce", threads=threads)
            assert list(c.is_null()) == want
            assert c.null_indices().tolist() == [
                i for i, w in enumerate(want) if w]


def test_raise_shows_five_failures_and_counts_all():
    texts = ["2021", None, "x", "0000", "y", "z", "w", "2022"]
    with pytest.raises(ValueError) as info:
        date2int(texts, "%Y", threads=2)
    assert str(info.value) == (
        "date2int(): missing value at position 1: None (format '%Y'); 6 of 8 "
        "elements failed, also at positions 2: 'x' (failed to read date from "
        "fmt), 3: '0000' (year is out of range), 4: 'y' (failed to read date "
        "from fmt), 5: 'z' (failed to read date from fmt), ...")


@pytest.mark.parametrize("call, want", [
    (lambda: date2int(["2021-03-04"], "%Y-%m-%d"), [737853]),
    (lambda: date2int(["2021-03-04"], format=b"%Y-%m-%d"), [737853]),
    (lambda: date2int(["2021-03-04"], None, format="%Y-%m-%d"), [737853]),
    (lambda: date2int(["\xe9t\xe9 2021"], "\xe9t\xe9 %Y"),
     [date2intWrapper("\xe9t\xe9 2021", "\xe9t\xe9 %Y".encode())]),
    (lambda: date2int(["2021", "x"], "%Y", errors="coerce", fill=None),
     [date2intWrapper("2021", b"%Y"), INT64_MIN]),
])
def test_friendly_arguments(call, want):
    assert call().tolist() == want


@pytest.mark.parametrize("call, error, message", [
    (lambda: date2int(["2021"], "%Y", format="%Y"), TypeError,
     "date2int() takes fmt or format, not both"),
    (lambda: date2int(["2021"], format=None), TypeError,
     "date2int() missing 1 required positional argument: 'fmt'"),
    (lambda: date2int(["2021"], "%Y\udc80"), ValueError,
     "date2int() format '%Y\\udc80' is not encodable as UTF-8"),
    (lambda: date2int(["2021"], format=memoryview(b"%Y")), TypeError,
     "date2int() fmt must be str, bytes or bytearray, not memoryview"),
])
def test_format_errors(call, error, message):
    with pytest.raises(error) as info:
        call()
    assert type(info.value) is error and str(info.value) == message


def test_help_reads_as_a_docstring():
    import inspect
    assert str(inspect.signature(date2int)) == (
        "(texts, fmt=None, *, skip_tz=False, errors='raise', fill=None, "
        "threads=None, format=None)")
    text = pydoc.render_doc(date2int, renderer=pydoc.plaintext)
    assert "Parameters\n" in text and "$module" not in text


# --------------------------------------------------------------------------
# The package: lazy names, nothing imported before they are used.

def test_top_level_is_lazy(run_python):
    done = run_python("""
        import sys
        import velbrook
        heavy = ["velbrook.columns", "numpy", "pandas", "pyarrow", "polars"]
        print([m for m in heavy if m in sys.modules])
        print(sorted(set(velbrook._LAZY) - set(dir(velbrook))))
        c = velbrook.date2int(["2021"], "%Y")
        print(repr(c), velbrook.Int64Column is type(c))
        print([m for m in heavy[1:] if m in sys.modules])
        from velbrook import date2int
        print(date2int is velbrook.columns.date2int)
    """)
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines() == [
        "[]", "[]",
        "Int64Column([737791], length=1, unit='ordinal', null_count=0) True",
        "[]", "True"]


def test_static_names_match_the_lazy_ones():
    import ast
    import os
    import velbrook
    path = os.path.join(os.path.dirname(velbrook.__file__), "__init__.pyi")
    with open(path) as f:
        tree = ast.parse(f.read())
    names = {a.asname for node in tree.body
             if isinstance(node, ast.ImportFrom) and
             node.module.startswith("velbrook") for a in node.names}
    assert names == set(velbrook._LAZY)
    for name, module in velbrook._LAZY.items():
        assert getattr(velbrook, name) is getattr(
            __import__("velbrook." + module, fromlist=[name]), name)


# --------------------------------------------------------------------------
# Leaks: columns made, sliced, exported and converted many times.

def _export_and_drop(c):
    schema, capsule = c.__arrow_c_array__()
    return c.__arrow_c_schema__(), schema, capsule


def _rebuilt(c):
    kind, args = c.__reduce__()
    return kind(*args)


LEAK_CASES = {
    "date2int coerce": lambda: date2int(["2021", "x", None], "%Y",
                                        errors="coerce"),
    "date2int raise": lambda: date2int(["2021", "x", None], "%Y"),
    "slices": lambda: (sample()[1:30], sample()[::-3]),
    "capsules": lambda: _export_and_drop(sample()),
    "mask and reduce": lambda: _rebuilt(Int64Column([1, 2, 3], "s",
                                                [0, 1, 0])).is_null(),
    "null indices and repr": lambda: repr(sample().null_indices()),
    "bad mask": lambda: Int64Column([1], mask=[0, 1]),
    "numpy": lambda: (sample().to_numpy(datetime=True),
                      Int64Column([1], "ordinal").to_numpy(datetime=True)),
    "datetime capsules": lambda: (
        sample()._arrow_c_array_as("tsm:"),
        Int64Column([1, 2], "ordinal", [0, 1])._arrow_c_array_as("tdD"),
        Int64Column([1], "ordinal")._arrow_c_array_as("tss:")),
}


@pytest.mark.parametrize("name", sorted(LEAK_CASES))
def test_no_leak(name):
    if name == "numpy":
        need("np")
    make = LEAK_CASES[name]

    def call():
        try:
            make()
        except ValueError:
            pass
    kept = sample()
    # Twice: a cache the interpreter fills once (after an earlier test's
    # exceptions) can land in one run; a leak grows in both.
    runs = [growth(call, [kept, Int64Column]) for _ in range(2)]
    assert [refs for _, refs in runs] == [[0, 0]] * 2
    if not SANITIZED:
        assert min(blocks for blocks, _ in runs) <= BLOCK_NOISE


def _resident_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4096


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="Linux /proc")
@pytest.mark.skipif(bool(os.environ.get("VELBROOK_SANITIZE")),
                    reason="AddressSanitizer keeps freed memory resident")
def test_exported_datetime_values_are_freed():
    # Values made for an export live in the C library's heap, which the
    # block count does not see: 100 exports of 8 MB would keep 800 MB.
    c = Int64Column(array.array("q", range(10 ** 6)), unit="s")
    for _ in range(3):
        c._arrow_c_array_as("tsm:")
    before = _resident_bytes()
    for _ in range(100):
        c._arrow_c_array_as("tsm:")
    assert _resident_bytes() - before < 100 * 2 ** 20
