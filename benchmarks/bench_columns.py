"""ns per element of turning a column of date text into integers: velbrook
columns (one thread and all of them) beside the per-call list
comprehension, numpy datetime64, pandas.to_datetime, pyarrow.compute.strptime
and polars str.strptime, each where installed, on an ISO and a non-ISO
format, from a Python list and from an Arrow array; then the same texts to a
datetime column of a pandas and of a polars DataFrame, end to end, by
velbrook and by pandas.to_datetime and polars str.strptime, and what each
Int64Column converter adds per element; then the histogram from a list and
from a numpy array.

    python benchmarks/bench_columns.py [N]   # or VELBROOK_BENCH_N=N

N distinct texts (default 10^6): 2020-01-01 00:00:00 plus 61 s steps.
Every route's result is checked once against the list comprehension's
epoch seconds before it is timed."""
import datetime
import os
import random
import sys

from velbrook.centroid_histogram.bucket_summarizer import histogram_from_values
from velbrook.dateToInt.calendar_text_codec import date2intWrapper

from harness import ns_per_call

try:
    import numpy as np
except ImportError:
    np = None
try:
    import pandas as pd
except ImportError:
    pd = None
try:
    import pyarrow as pa
    import pyarrow.compute as pc
except ImportError:
    pa = None
try:
    import polars as pl
except ImportError:
    pl = None
try:
    from velbrook.columns import date2int
except ImportError:
    date2int = None

ISO = "%Y-%m-%d %H:%M:%S"
NON_ISO = "%d/%m/%Y %I:%M:%S %p"
FORMATS = [("ISO", ISO), ("non-ISO", NON_ISO)]
REPEAT = 5
HISTOGRAM_CAPACITY = 16


def _threads():
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:
        return os.cpu_count() or 1


def _texts(n, fmt):
    start = datetime.datetime(2020, 1, 1)
    step = datetime.timedelta(seconds=61)
    return [(start + i * step).strftime(fmt) for i in range(n)]


def _seconds(result):
    """Epoch seconds of any route's result, as a list of ints."""
    if np is None:
        return list(result)
    array = np.asarray(result)
    if array.dtype.kind == "M":
        array = array.astype("datetime64[s]").astype(np.int64)
    return array.tolist()


def _routes(threads):
    """(name, source, fmt -> callable of the texts or None where the route
    does not apply).  `source` is "list" or "arrow": what the callable
    receives."""
    routes = []
    if date2int is not None:
        labels = [(1, "1 thread"), (threads, "%d threads" % threads)]
        for count, label in labels:
            for source in ("list", "arrow"):
                routes.append((
                    "velbrook columns, %s" % label, source,
                    lambda fmt, count=count: (
                        lambda texts: date2int(texts, fmt.encode(),
                                               threads=count))))
    routes.append((
        "[date2intWrapper(t, fmt) for t in texts]", "list",
        lambda fmt: (lambda texts, bfmt=fmt.encode():
                     [date2intWrapper(t, bfmt) for t in texts])))
    if np is not None:
        routes.append((
            'numpy.array(texts, dtype="datetime64[s]")', "list",
            lambda fmt: None if fmt != ISO else (
                lambda texts: np.array(texts, dtype="datetime64[s]"))))
    if pd is not None:
        routes.append((
            "pandas.to_datetime(texts, format=fmt)", "list",
            lambda fmt: (lambda texts: pd.to_datetime(texts, format=fmt))))
        if pa is not None and hasattr(pd, "ArrowDtype"):
            routes.append((
                "pandas.to_datetime(Arrow-backed Series)", "arrow-series",
                lambda fmt: (lambda texts: pd.to_datetime(texts,
                                                          format=fmt))))
    if pa is not None:
        routes.append((
            "pyarrow.compute.strptime(pa.array(texts))", "list",
            lambda fmt: (lambda texts: pc.strptime(
                pa.array(texts, pa.string()), format=fmt, unit="s"))))
        routes.append((
            "pyarrow.compute.strptime", "arrow",
            lambda fmt: (lambda texts: pc.strptime(texts, format=fmt,
                                                   unit="s"))))
    if pl is not None:
        routes.append((
            "polars pl.Series(texts).str.strptime", "list",
            lambda fmt: (lambda texts: pl.Series(texts).str.strptime(
                pl.Datetime("ms"), fmt))))
        if pa is not None:
            routes.append((
                "polars str.strptime", "arrow-polars",
                lambda fmt: (lambda texts: texts.str.strptime(
                    pl.Datetime("ms"), fmt))))
    return routes


def _sources(texts):
    """The same texts as each route takes them; built before any timing."""
    sources = {"list": texts}
    if pa is not None:
        sources["arrow"] = pa.array(texts, pa.string())
        if pd is not None and hasattr(pd, "ArrowDtype"):
            sources["arrow-series"] = pd.Series(
                sources["arrow"], dtype=pd.ArrowDtype(pa.string()))
        if pl is not None:
            sources["arrow-polars"] = pl.from_arrow(sources["arrow"])
    return sources


def _time_routes(n, threads):
    """{(route name, source): {format label: ns per element}}."""
    table = {}
    for label, fmt in FORMATS:
        texts = _texts(n, fmt)
        expected = [date2intWrapper(t, fmt.encode()) for t in texts]
        sources = _sources(texts)
        for name, source, make in _routes(threads):
            func = make(fmt)
            if func is None or source not in sources:
                continue
            data = sources[source]
            got = _seconds(func(data))
            if got != expected:
                raise AssertionError("%s (%s) disagrees with date2intWrapper"
                                     % (name, label))
            ns = ns_per_call(lambda: func(data), number=1, repeat=REPEAT)
            table.setdefault((name, source), {})[label] = ns / n
    return table


def _print_table(table, n):
    print()
    print("date text column -> integers: ns per element, %d texts, "
          "median of %d runs" % (n, REPEAT))
    print("%-48s %-7s %9s %9s" % ("route", "from", "ISO", "non-ISO"))
    for (name, source), row in table.items():
        cells = ["%9.1f" % row[label] if label in row else "%9s" % "-"
                 for label, _ in FORMATS]
        print("%-48s %-7s %s" % (name, source.split("-")[0], " ".join(cells)))


def _print_targets(table, threads):
    """The ratios the column interface aims for: velbrook's time over the
    other route's, the target the most it may be."""
    def get(name, source, label):
        return table.get((name, source), {}).get(label)

    one, every = "velbrook columns, 1 thread", \
        "velbrook columns, %d threads" % threads
    checks = [
        ("list, ISO, 1 thread / numpy datetime64", 0.6,
         get(one, "list", "ISO"),
         get('numpy.array(texts, dtype="datetime64[s]")', "list", "ISO")),
        ("list, non-ISO, 1 thread / pyarrow strptime", 0.6,
         get(one, "list", "non-ISO"),
         get("pyarrow.compute.strptime", "arrow", "non-ISO")),
    ]
    for label, _ in FORMATS:
        checks.append(("Arrow, %s, all threads / pyarrow strptime" % label,
                       0.3, get(every, "arrow", label),
                       get("pyarrow.compute.strptime", "arrow", label)))
        checks.append(("Arrow, %s, all threads / polars strptime" % label,
                       0.3, get(every, "arrow", label),
                       get("polars str.strptime", "arrow-polars", label)))
    print()
    print("%-48s %8s %8s" % ("ratio (velbrook / other)", "measured",
                             "target"))
    for label, target, ours, theirs in checks:
        if ours is None or theirs is None:
            print("%-48s %8s %8s  (a route is not installed)"
                  % (label, "-", "<= %.1f" % target))
            continue
        ratio = ours / theirs
        print("%-48s %8.2f %8s  %s" % (label, ratio, "<= %.1f" % target,
                                       "met" if ratio <= target
                                       else "NOT met"))


# --------------------------------------------------------------------------
# To a DataFrame: texts to a datetime column of a pandas or polars frame.

def _frame_routes():
    """(target, name, source, fmt -> callable of (texts, frame) giving
    the datetime column as it stands in the frame)."""
    routes = []
    if pd is not None:
        def to_pandas(column, frame):
            frame["when"] = column
            return frame["when"]
        routes.append(("pandas", "velbrook", "list", lambda fmt: (
            lambda texts, frame: to_pandas(date2int(
                texts, fmt).to_pandas(datetime=True), frame))))
        routes.append(("pandas", "pandas.to_datetime", "list", lambda fmt: (
            lambda texts, frame: to_pandas(pd.to_datetime(
                texts, format=fmt), frame))))
        if pa is not None:
            routes.append(("pandas", "velbrook", "arrow", lambda fmt: (
                lambda texts, frame: to_pandas(date2int(
                    texts, fmt).to_pandas(datetime=True), frame))))
            if hasattr(pd, "ArrowDtype"):
                routes.append((
                    "pandas", "pandas.to_datetime", "arrow-series",
                    lambda fmt: (lambda texts, frame: to_pandas(
                        pd.to_datetime(texts, format=fmt), frame))))
    if pl is not None:
        def to_polars(column):
            return pl.DataFrame({"when": column})["when"]
        routes.append(("polars", "velbrook", "list", lambda fmt: (
            lambda texts, frame: to_polars(date2int(
                texts, fmt).to_polars(datetime=True)))))
        routes.append(("polars", "polars str.strptime", "list", lambda fmt: (
            lambda texts, frame: to_polars(pl.Series(texts).str.strptime(
                pl.Datetime("ms"), fmt)))))
        if pa is not None:
            routes.append(("polars", "velbrook", "arrow", lambda fmt: (
                lambda texts, frame: to_polars(date2int(
                    texts, fmt).to_polars(datetime=True)))))
            routes.append((
                "polars", "polars str.strptime", "arrow-polars",
                lambda fmt: (lambda texts, frame: to_polars(
                    texts.str.strptime(pl.Datetime("ms"), fmt)))))
    return routes


def _frame_seconds(column):
    """Epoch seconds of a pandas or polars datetime column."""
    if pl is not None and isinstance(column, pl.Series):
        return column.dt.epoch("s").to_list()
    return column.to_numpy().astype("datetime64[s]").astype(
        np.int64).tolist()


def _time_frames(n):
    """{(target, route, source): {format label: ns per element}}."""
    table = {}
    if date2int is None or np is None:
        return table
    for label, fmt in FORMATS:
        texts = _texts(n, fmt)
        expected = [date2intWrapper(t, fmt.encode()) for t in texts]
        sources = _sources(texts)
        frame = pd.DataFrame(index=range(n)) if pd is not None else None
        for target, name, source, make in _frame_routes():
            if source not in sources:
                continue
            func, data = make(fmt), sources[source]
            if _frame_seconds(func(data, frame)) != expected:
                raise AssertionError("%s to %s (%s) disagrees with "
                                     "date2intWrapper" % (name, target,
                                                          label))
            ns = ns_per_call(lambda: func(data, frame), number=1,
                             repeat=REPEAT)
            table.setdefault((target, name, source), {})[label] = ns / n
    return table


def _print_frames(table, n):
    print()
    print("date text column -> datetime column of a DataFrame, end to end: "
          "ns per element, %d texts" % n)
    print("%-8s %-40s %-7s %9s %9s" % ("frame", "route", "from", "ISO",
                                       "non-ISO"))
    for (target, name, source), row in table.items():
        cells = ["%9.1f" % row[label] if label in row else "%9s" % "-"
                 for label, _ in FORMATS]
        print("%-8s %-40s %-7s %s" % (target, name, source.split("-")[0],
                                      " ".join(cells)))
    # velbrook to each frame against the fastest peer from the same source
    # (pandas.to_datetime or polars str.strptime, whichever frame it
    # fills).
    print()
    print("%-48s %8s %8s" % ("ratio (velbrook / fastest peer)", "measured",
                             "target"))
    for target in ("pandas", "polars"):
        for source in ("list", "arrow"):
            for label, _ in FORMATS:
                ours = table.get((target, "velbrook", source), {}).get(label)
                peers = [row[label] for (_, name, src), row in table.items()
                         if name != "velbrook" and src.split("-")[0] == source
                         and label in row]
                what = "%s, %s, %s" % (target, source, label)
                if ours is None or not peers:
                    print("%-48s %8s %8s  (a route is not installed)"
                          % (what, "-", "<= 0.3"))
                    continue
                ratio = ours / min(peers)
                print("%-48s %8.2f %8s  %s" % (what, ratio, "<= 0.3",
                                               "met" if ratio <= 0.3
                                               else "NOT met"))


def _converter_lines(n):
    """What each converter adds to the conversion, per element."""
    if date2int is None:
        return
    print()
    print("Int64Column converters: ns per element over the conversion, "
          "%d elements" % n)
    texts = _texts(n, ISO)
    for unit, fmt in [("s", ISO), ("ms", "v2" + ISO + ".%f"),
                      ("ordinal", "%Y-%m-%d")]:
        data = {"s": texts, "ms": [t + ".123" for t in texts],
                "ordinal": [t[:10] for t in texts]}[unit]
        column = date2int(data, fmt)
        for name, module, call in [
                ("to_numpy(datetime=True)", np, lambda c: c.to_numpy(True)),
                ("to_arrow(datetime=True)", pa, lambda c: c.to_arrow(True)),
                ("to_pandas(datetime=True)", pd,
                 lambda c: c.to_pandas(True)),
                ("to_polars(datetime=True)", pl,
                 lambda c: c.to_polars(True))]:
            if module is None:
                continue
            ns = ns_per_call(lambda: call(column), number=1,
                             repeat=REPEAT) / n
            print("%-48s %9.2f  target <= 2, %s" % (
                "%s, %s" % (unit, name), ns, "met" if ns <= 2 else "NOT met"))


def _histogram_line(n):
    rng = random.Random(20240601)
    values = [rng.random() for _ in range(n)]
    print()
    print("histogram_from_values(%d, ...): ns per value, %d values"
          % (HISTOGRAM_CAPACITY, n))
    from_list = ns_per_call(
        lambda: histogram_from_values(HISTOGRAM_CAPACITY, values),
        number=1, repeat=REPEAT) / n
    print("%-48s %9.1f" % ("from a list of float", from_list))
    if np is None:
        print("%-48s %9s  (numpy is not installed)"
              % ("from a numpy float64 array", "-"))
        return
    array = np.array(values, dtype=np.float64)
    if histogram_from_values(HISTOGRAM_CAPACITY, array) != \
            histogram_from_values(HISTOGRAM_CAPACITY, values):
        raise AssertionError("the array and the list give other histograms")
    from_array = ns_per_call(
        lambda: histogram_from_values(HISTOGRAM_CAPACITY, array),
        number=1, repeat=REPEAT) / n
    print("%-48s %9.1f" % ("from a numpy float64 array", from_array))
    ratio = from_array / from_list
    print("%-48s %9.2f  target <= 0.5, %s" % (
        "ratio (array / list)", ratio, "met" if ratio <= 0.5 else "NOT met"))


def main(argv=()):
    n = int(argv[0] if argv else os.environ.get("VELBROOK_BENCH_N", 10 ** 6))
    threads = _threads()
    missing = [name for name, module in [
        ("velbrook.columns", date2int), ("numpy", np), ("pandas", pd),
        ("pyarrow", pa), ("polars", pl)] if module is None]
    if missing:
        print()
        print("not installed, so not measured: " + ", ".join(missing))
    table = _time_routes(n, threads)
    _print_table(table, n)
    _print_targets(table, threads)
    _print_frames(_time_frames(n), n)
    _converter_lines(n)
    _histogram_line(n)


if __name__ == "__main__":
    main(sys.argv[1:])
