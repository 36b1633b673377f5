"""The conversions of an Int64Column that need numpy, pandas, pyarrow or
polars, each imported when first called: the columns module calls these
functions with the column first (column.to_pandas(...) is
to_pandas(column, ...)), so that importing velbrook imports none of them.

A column holds int64 values, a validity bitmap (`column._validity`, bytes
with bit i set where item i is valid, or None when no item is null) and a
unit ('s', 'ms', 'ordinal' or None).  Its values are shared wherever the
target can hold them as they are: numpy and pandas int64 and datetime64[s]
or [ms], Arrow int64 and timestamp[s] or [ms]; day ordinals are shifted
to days since 1970 in one pass (column._epoch_values) and copied."""

from importlib import import_module

INT64_MIN = -2 ** 63


def _numpy():
    return import_module("numpy")


def _unit(column):
    if column.unit is None:
        raise ValueError(
            "this Int64Column has no unit, so its integers are not known to "
            "be dates or times: give Int64Column(values, unit='s', 'ms' or "
            "'ordinal'), or convert with datetime=False")
    return column.unit


def dtype(column):
    """numpy's int64 dtype, or its name where numpy is not installed."""
    try:
        numpy = _numpy()
    except ImportError:
        return "int64"
    return numpy.dtype("int64")


def array(column, dtype=None, copy=None):
    """numpy's __array__ protocol (the dtype and copy keywords of numpy 2,
    either missing from numpy 1)."""
    numpy = _numpy()
    values = numpy.asarray(memoryview(column))
    if dtype is not None and numpy.dtype(dtype) != values.dtype:
        if copy is False:
            raise ValueError("Int64Column cannot be made an array of %s "
                             "without a copy" % numpy.dtype(dtype))
        return values.astype(dtype)
    return values.copy() if copy else values


def to_numpy(column, datetime=False):
    unit = _unit(column) if datetime else None
    numpy = _numpy()
    if not datetime:
        return numpy.asarray(memoryview(column))
    kind = "datetime64[%s]" % ("D" if unit == "ordinal" else unit)
    return _instants(numpy, column, 1).view(kind)


def _instants(numpy, column, scale):
    """int64 instants since 1970 in the column's unit (days for day
    ordinals) times `scale`, NaT for nulls: the column's own memory where
    it holds that already (seconds and milliseconds whose nulls hold the
    int64 minimum), else a new array, written in one pass."""
    out = numpy.empty(len(column), dtype=numpy.int64)
    values = column._epoch_values(scale, 8, out)
    return out if values is out else numpy.asarray(memoryview(values))


def _arrow_type(pa, unit):
    if unit == "ordinal":
        return pa.date32()
    return pa.timestamp(unit)


def to_arrow(column, datetime=False):
    unit = _unit(column) if datetime else None
    pa = import_module("pyarrow")
    validity = column._validity
    buffers = [None if validity is None else pa.py_buffer(validity)]
    if not datetime:
        kind, values = pa.int64(), column
    else:
        kind = _arrow_type(pa, unit)
        # Arrow keeps the nulls in the bitmap: the values under them do not
        # matter, so seconds and milliseconds are the column's own memory.
        values = column
        if unit == "ordinal":
            values = column._epoch_values(1, 4,
                                          pa.allocate_buffer(4 * len(column)))
    buffers.append(pa.py_buffer(values))
    return pa.Array.from_buffers(kind, len(column), buffers,
                                 null_count=column.null_count)


def arrow_array(column, type=None):
    """pyarrow's __arrow_array__ protocol."""
    result = to_arrow(column)
    if type is not None and not result.type.equals(type):
        result = result.cast(type)
    return result


def _pandas_datetime(column):
    """datetime64 values pandas keeps: [s] or [ms] for epoch units, [s] at
    midnight for day ordinals (pandas has no day unit)."""
    if _unit(column) == "ordinal":
        return _instants(_numpy(), column, 86400).view("datetime64[s]")
    return to_numpy(column, datetime=True)


def to_pandas(column, datetime=False, index=None, name=None):
    # The unit is checked before pandas is imported.
    values = _pandas_datetime(column) if datetime else to_numpy(column)
    pd = import_module("pandas")
    if not datetime and column.null_count:
        mask = _numpy().asarray(column.is_null())
        values = pd.arrays.IntegerArray(values, mask)
    return pd.Series(values, index=index, name=name, copy=False)


class _ArrowAs:
    """A column as the Arrow PyCapsule interface gives it in one format:
    for libraries that take the interface but ask for no schema."""

    def __init__(self, column, format):
        self.column, self.format = column, format

    def __arrow_c_array__(self, requested_schema=None):
        return self.column._arrow_c_array_as(self.format)


# The Arrow formats of the polars datetime types: polars datetimes have no
# seconds unit, and its dates count days since 1970 in 32 bits.
_POLARS_FORMATS = {"s": "tsm:", "ms": "tsm:", "ordinal": "tdD"}


def to_polars(column, datetime=False, name=""):
    unit = _unit(column) if datetime else None
    pl = import_module("polars")
    try:
        # Polars that read the Arrow PyCapsule interface take the column
        # as it is, nulls included, and its datetimes made in one pass
        # (some polars drop the name on the way).
        source = _ArrowAs(column, _POLARS_FORMATS[unit]) if unit else column
        return pl.Series(name, source).alias(name)
    except (TypeError, ValueError):
        pass
    series = pl.from_arrow(to_arrow(column, datetime)).alias(name)
    return series.cast(pl.Datetime("ms")) if unit == "s" else series
