"""ns per element of turning a column of date text into integers: velbrook
columns (one thread and all of them) beside the per-call list
comprehension, numpy datetime64, pandas.to_datetime, pyarrow.compute.strptime
and polars str.strptime, each where installed, on an ISO and a non-ISO
format, from a Python list and from an Arrow array; then the histogram
from a list and from a numpy array.

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
    _histogram_line(n)


if __name__ == "__main__":
    main(sys.argv[1:])
