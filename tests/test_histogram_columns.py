"""histogram_from_values on pandas and polars Series and pyarrow arrays,
read in place: the histogram, bit for bit, is that of iterating the same
column with its nulls as None; and every object that is not exactly one of
these types, or whose numbers cannot be read, is iterated."""
import math
import struct

import pytest

from velbrook.centroid_histogram import bucket_summarizer as bs

nan, inf = math.nan, math.inf


def bits(result):
    return [("nan" if math.isnan(b.centroid) else
             struct.pack("<d", b.centroid), b.count) for b in result.buckets]


def outcome(values, capacity=5):
    try:
        return bits(bs.histogram_from_values(capacity, values))
    except Exception as e:  # noqa: B902 - any error must match
        return type(e), str(e)


def iterated(monkeypatch, values, capacity=5):
    """The item path: an `isnan` that is not the standard function object
    forbids reading in place."""
    with monkeypatch.context() as m:
        m.setattr(bs, "isnan", lambda v: math.isnan(v))
        return outcome(values, capacity)


def _floats(n=700):
    import random
    rng = random.Random(5)
    return [rng.choice([None, nan, inf, -inf, -0.0, 5e-324])
            if rng.random() < 0.1 else rng.lognormvariate(0, 2)
            for _ in range(n)]


def _ints(n=700):
    import random
    rng = random.Random(6)
    edge = [2 ** 63 - 1, -2 ** 63, 2 ** 53 + 1, -(2 ** 53 + 1), 0, None]
    return [rng.choice(edge) if rng.random() < 0.2
            else rng.randrange(-10 ** 6, 10 ** 6) for _ in range(n)]


def _as_list(values):
    """The same column as a list, None for each null (NaN stays NaN)."""
    return [None if v is None else v for v in values]


def lib(name):
    return pytest.importorskip(name, reason=name + " is not installed")


def _pa(data, type_=None):
    pa = lib("pyarrow")
    return pa.array(data, type=type_, from_pandas=False)


COLUMNS = [  # id, () -> (column, the same values as a list)
    ("pyarrow float64", lambda: (_pa(_floats()), _floats())),
    ("pyarrow float32", lambda: (_pa(_floats(), lib("pyarrow").float32()),
                                 _pa(_floats(), lib("pyarrow").float32())
                                 .to_pylist())),
    ("pyarrow int64 with nulls", lambda: (_pa(_ints()), _ints())),
    ("pyarrow uint64", lambda: (_pa([2 ** 64 - 1, 2 ** 63 + 1025, 3, None],
                                    lib("pyarrow").uint64()),
                                [2 ** 64 - 1, 2 ** 63 + 1025, 3, None])),
    ("pyarrow int8", lambda: (_pa([-128, 127, None, 5],
                                  lib("pyarrow").int8()),
                              [-128, 127, None, 5])),
    ("pyarrow slice (offset into the validity bits)",
     lambda: (_pa(_floats()).slice(13, 500), _floats()[13:513])),
    ("pyarrow chunked", lambda: (
        lib("pyarrow").chunked_array([_floats()[:300], [], _floats()[300:]]),
        _floats())),
    ("pyarrow empty", lambda: (_pa([], lib("pyarrow").float64()), [])),
    ("polars float64 with null and NaN",
     lambda: (lib("polars").Series(_floats(), strict=False), _floats())),
    ("polars int64 with nulls", lambda: (lib("polars").Series(_ints()),
                                         _ints())),
    ("pandas float64", lambda: (
        lib("pandas").Series([nan if v is None else v for v in _floats()]),
        [nan if v is None else v for v in _floats()])),
    ("pandas int64 strided view", lambda: (
        lib("pandas").Series(lib("numpy").arange(3000)[::7]),
        list(range(0, 3000, 7)))),
    ("pandas double[pyarrow] with NA", lambda: (
        lib("pandas").Series(_floats(), dtype="double[pyarrow]"),
        _floats())),
    ("pandas Float64 with NA", lambda: (
        lib("pandas").Series(_floats(), dtype="Float64"), _floats())),
    ("pandas Int64 with NA", lambda: (
        lib("pandas").Series(_ints(), dtype="Int64"), _ints())),
]


def _read_in_place(column):
    if hasattr(column, "__arrow_c_array__") or \
            hasattr(column, "__arrow_c_stream__"):
        return True
    np = lib("numpy")  # a pandas Series of a numpy dtype: __array__
    return type(column).__module__.startswith("pandas") and \
        isinstance(column.dtype, np.dtype)


@pytest.mark.parametrize("capacity", [1, 5, 300])
@pytest.mark.parametrize("make", [m for _, m in COLUMNS],
                         ids=[i for i, _ in COLUMNS])
def test_column_gives_what_its_values_give(monkeypatch, make, capacity):
    try:
        column, values = make()
    except (TypeError, ValueError) as e:  # an older library's constructor
        pytest.skip("cannot build this column here: %s" % e)
    if not _read_in_place(column):
        # An older library without the Arrow PyCapsule interface: the
        # column is iterated, whatever that gives.
        assert outcome(column, capacity) == \
            iterated(monkeypatch, column, capacity)
        return
    expected = outcome(_as_list(values), capacity)
    assert outcome(column, capacity) == expected
    # Where iterating the column yields None for a null (or has no nulls),
    # the item path agrees too.
    if None not in values or type(column).__module__.startswith("polars"):
        assert iterated(monkeypatch, column, capacity) == expected


def _series_subclass():
    pd = lib("pandas")

    class Doubled(pd.Series):
        def __iter__(self):
            return (2 * v for v in pd.Series.__iter__(self))
    return Doubled([1.0, 2.0, 3.0])


NOT_READ = [  # id, () -> column; iterated, with whatever that gives
    ("pandas Series subclass with its own __iter__", _series_subclass),
    ("pandas bool", lambda: lib("pandas").Series([True, False, True])),
    ("pandas object", lambda: lib("pandas").Series([1.0, "x"])),
    ("pandas datetime64", lambda: lib("pandas").Series(
        lib("pandas").to_datetime(["2020-01-01"]))),
    ("pandas category", lambda: lib("pandas").Series(
        [1.0, 2.0], dtype="category")),
    ("pyarrow float16", lambda: _pa(lib("numpy").array([1.5, 2.0], "f2"))),
    ("pyarrow bool", lambda: _pa([True, None])),
    ("pyarrow strings", lambda: _pa(["1.0"])),
    ("pyarrow dictionary", lambda: _pa([1.0, 2.0]).dictionary_encode()),
    ("polars strings", lambda: lib("polars").Series(["1.0"])),
    ("polars bool", lambda: lib("polars").Series([True, False])),
]


@pytest.mark.filterwarnings("ignore")
@pytest.mark.parametrize("make", [m for _, m in NOT_READ],
                         ids=[i for i, _ in NOT_READ])
def test_other_columns_are_iterated(monkeypatch, make):
    try:
        column = make()
    except (TypeError, ValueError, AttributeError) as e:
        pytest.skip("cannot build this column here: %s" % e)
    assert outcome(column) == iterated(monkeypatch, column)


def test_rebound_isnan_makes_the_column_iterated(monkeypatch):
    # Then pyarrow's own scalars reach isnan and float(), and the null
    # one (or, in old pyarrow, every one) has no float value.
    pa = lib("pyarrow")
    seen = []
    monkeypatch.setattr(bs, "isnan", lambda v: seen.append(v) or False)
    with pytest.raises(TypeError):  # worded by pyarrow's version
        bs.histogram_from_values(3, pa.array([1.0, None, 2.0]))
    assert seen[0].as_py() == 1.0  # pyarrow's own scalar: iterated


def test_export_failure_falls_back_to_iteration(monkeypatch):
    pl = lib("polars")
    if not hasattr(pl.Series, "__arrow_c_stream__"):
        pytest.skip("this polars exports no Arrow stream")

    def broken(self, requested_schema=None):
        raise RuntimeError("no export")
    monkeypatch.setattr(pl.Series, "__arrow_c_stream__", broken)
    assert outcome(pl.Series([3.0, None, 1.0])) == outcome([3.0, None, 1.0])


def test_interrupt_during_the_export_is_raised(monkeypatch):
    pl = lib("polars")
    if not hasattr(pl.Series, "__arrow_c_stream__"):
        pytest.skip("this polars exports no Arrow stream")

    def interrupted(self, requested_schema=None):
        raise KeyboardInterrupt
    monkeypatch.setattr(pl.Series, "__arrow_c_stream__", interrupted)
    with pytest.raises(KeyboardInterrupt):
        bs.histogram_from_values(3, pl.Series([1.0]))
