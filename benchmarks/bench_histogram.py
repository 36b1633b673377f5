"""ns per value of the centroid histogram: the reference engine beside the
block engine (one C++ process, the same values), the builders beside the
streaming sketches on PyPI and numpy.histogram, numpy arrays beside pandas
and polars Series, the rank error of estimated quantiles, and the builders
beside the pure-Python model of the same histogram (tests/histogram_model.py)
and an empty `for` loop over the same list, the least any builder has to
spend.  Times are CPU-time medians."""
import os
import random
import shutil
import subprocess
import sys
import tempfile
import time

from velbrook.centroid_histogram.bucket_summarizer import (
    histogram_from_buckets, histogram_from_values)

from harness import ns_per_call, print_header, print_row

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                os.pardir, "tests"))
from histogram_model import model_histogram, model_histogram_values  # noqa

VALUES = 10 ** 6
# capacity: (runs of the native builders, values merged by the model)
CAPACITIES = {16: (5, 20000), 64: (3, 5000), 1024: (1, 1000)}


def _empty_loop(items):
    for _ in items:
        pass


def _per_value(func, items, repeat):
    return ns_per_call(lambda: func(items), number=1, repeat=repeat) \
        / len(items)


def _model_per_value(model, capacity, items, merged, repeat):
    """The model costs O(capacity) interpreter steps per merge, so it runs
    on a slice; the time of filling it up to `capacity` is taken off, which
    leaves the steady state the native builders spend nearly all of 10^6
    values in."""
    full = ns_per_call(lambda: model(capacity, items[:capacity]),
                       number=1, repeat=repeat)
    total = ns_per_call(lambda: model(capacity, items[:capacity + merged]),
                        number=1, repeat=repeat)
    return (total - full) / merged


def _from_array(values):
    """The same floats from a numpy float64 array, read from its memory,
    beside the list; and from the list with the histogram kept at one
    bucket, which leaves mostly the cost of reaching each value."""
    try:
        import numpy
    except ImportError:
        print("numpy is not installed: no array case")
        return
    array = numpy.array(values, dtype=numpy.float64)
    print_header("histogram_from_values: ns per value, 10^6 float64, "
                 "numpy array vs list", ours="array", theirs="list")
    for capacity in (16, 1):
        case = "histogram_from_values(%d, ...)" % capacity
        array_ns = _per_value(
            lambda xs: histogram_from_values(capacity, xs), array, 5)
        list_ns = _per_value(
            lambda xs: histogram_from_values(capacity, xs), values, 5)
        print_row(case, array_ns, list_ns)


HERE = os.path.dirname(os.path.abspath(__file__))
HEADERS = os.path.join(HERE, os.pardir, "velbrook", "centroid_histogram")
ENGINE_CAPACITIES = [16, 64, 256, 1024, 4096]
PEER_CAPACITIES = [16, 64, 256, 1024, 4096]
QS = [0.001, 0.01, 0.1, 0.5, 0.9, 0.99, 0.999]


def _cpu_ns_per_value(func, n, repeat=3):
    times = []
    for _ in range(repeat):
        start = time.process_time()
        func()
        times.append(time.process_time() - start)
    times.sort()
    return times[len(times) // 2] * 1e9 / n


def _data_sets(np):
    rng = np.random.default_rng(20240601)
    lognormal = rng.lognormal(size=VALUES)
    integers = rng.integers(0, 10, size=VALUES).astype(np.float64)
    with_inf = rng.lognormal(size=VALUES)
    spots = rng.random(VALUES) < 0.01
    with_inf[spots] = np.where(rng.random(spots.sum()) < 0.5,
                               np.inf, -np.inf)
    return [("lognormal", lognormal), ("integers 0..9", integers),
            ("lognormal, 1% +-inf", with_inf)]


def _engines(np, data_sets):
    """The two engines in one C++ process, built here."""
    cxx = shutil.which(os.environ.get("CXX", "")) or shutil.which("g++") \
        or shutil.which("clang++")
    if not cxx or not os.path.isdir(HEADERS):
        print("\nno C++ compiler or headers: no engine comparison")
        return
    folder = tempfile.mkdtemp(prefix="velbrook-bench-")
    try:
        binary = os.path.join(folder, "engines")
        subprocess.run([cxx, "-std=c++17", "-O2", "-ffp-contract=off",
                        "-I", HEADERS, "-o", binary,
                        os.path.join(HERE, "histogram_engines.cpp")],
                       check=True)
        print()
        print("engines: ns per value, 10^6 float64, CPU-time median; the "
              "reference beside the engine the builders use at that "
              "capacity")
        print("%-22s %8s %12s %10s %10s %8s" % (
            "data", "capacity", "reference ns", "engine", "engine ns",
            "ratio"))
        for name, values in data_sets:
            path = os.path.join(folder, "values")
            values.astype(np.float64).tofile(path)
            for capacity in ENGINE_CAPACITIES:
                repeat = 5 if capacity < 1024 else 3
                out = subprocess.run([binary, str(capacity), path,
                                      str(repeat)], check=True,
                                     stdout=subprocess.PIPE,
                                     universal_newlines=True).stdout.split()
                reference, engine, ns = float(out[1]), out[2], float(out[3])
                print("%-22s %8d %12.1f %10s %10.1f %7.2fx" % (
                    name, capacity, reference, engine, ns, reference / ns))
    finally:
        shutil.rmtree(folder, True)


def _peers(np, values):
    print()
    print("ns per value from a numpy float64 array of 10^6 lognormal values "
          "(CPU-time median)")
    n = len(values)
    rows = []
    for capacity in PEER_CAPACITIES:
        rows.append(("velbrook histogram_from_values(%d)" % capacity,
                     lambda c=capacity: histogram_from_values(c, values)))
    try:
        import fastdigest
        rows.append(("fastdigest TDigest.from_values",
                     lambda: fastdigest.TDigest.from_values(values)))
    except ImportError:
        print("fastdigest is not installed")
    try:
        import pytdigest
        rows.append(("pytdigest TDigest.compute",
                     lambda: pytdigest.TDigest.compute(values)))
    except ImportError:
        print("pytdigest is not installed")
    try:
        import crick

        def crick_update():
            crick.TDigest().update(values)
        rows.append(("crick TDigest.update", crick_update))
    except ImportError:
        print("crick is not installed")
    try:
        import datasketches

        def kll():
            datasketches.kll_doubles_sketch(200).update(values)
        rows.append(("datasketches KLL k=200", kll))
    except ImportError:
        print("datasketches is not installed")
    rows.append(("numpy.histogram, 64 fixed bins",
                 lambda: np.histogram(values, bins=64)))
    timed = [(name, _cpu_ns_per_value(f, n)) for name, f in rows]
    reference = dict(timed).get("fastdigest TDigest.from_values")
    print("%-46s %12s %14s" % ("summary", "ns per value", "x fastdigest"))
    for name, ns in timed:
        print("%-46s %12.1f %13s" % (
            name, ns, "%.2fx" % (ns / reference) if reference else "-"))


def _columns(np, values):
    print()
    print("histogram_from_values: ns per value, 10^6 float64, numpy array "
          "vs the same column as a Series")
    columns = []
    try:
        import pandas
        columns.append(("pandas Series", pandas.Series(values)))
        try:
            columns.append(("pandas Series double[pyarrow]",
                            pandas.Series(values, dtype="double[pyarrow]")))
        except (ImportError, TypeError):
            pass
    except ImportError:
        print("pandas is not installed")
    try:
        import polars
        columns.append(("polars Series", polars.Series(values)))
    except ImportError:
        print("polars is not installed")
    print("%-46s %12s %12s %8s" % ("case", "column ns", "array ns",
                                   "x array"))
    for capacity in (16, 256):
        array_ns = _cpu_ns_per_value(
            lambda: histogram_from_values(capacity, values), len(values), 5)
        for name, column in columns:
            column_ns = _cpu_ns_per_value(
                lambda: histogram_from_values(capacity, column),
                len(values), 5)
            print("%-46s %12.1f %12.1f %7.2fx" % (
                "%s, capacity %d" % (name, capacity), column_ns, array_ns,
                column_ns / array_ns))


def _accuracy(np, values):
    from velbrook import estimates
    exact = np.sort(values)

    def rank_errors(quantile):
        return [abs(np.searchsorted(exact, quantile(q), side="right")
                    / len(exact) - q) for q in QS]

    print()
    print("rank error of the estimated quantile, 10^6 lognormal values, "
          "against numpy.quantile's data")
    print("%-34s" % "q" + "".join("%9s" % q for q in QS))
    for capacity in (16, 64, 256):
        h = histogram_from_values(capacity, values)
        print("%-34s" % ("velbrook estimates, capacity %d" % capacity)
              + "".join("%9.4f" % e for e in rank_errors(
                  lambda q: estimates.quantile(h, q))))
    try:
        import fastdigest
        d = fastdigest.TDigest.from_values(values)
        print("%-34s" % "fastdigest"
              + "".join("%9.4f" % e for e in rank_errors(d.quantile)))
    except ImportError:
        pass
    for q in (0.5,):
        print("exact median %.4f" % np.quantile(values, q))


def _issue_tables():
    try:
        import numpy as np
    except ImportError:
        print("numpy is not installed: no engine, peer or column figures")
        return
    data_sets = _data_sets(np)
    _engines(np, data_sets)
    _peers(np, data_sets[0][1])
    _columns(np, data_sets[0][1])
    _accuracy(np, data_sets[0][1])


def main():
    _issue_tables()
    rng = random.Random(20240601)
    values = [rng.random() for _ in range(VALUES)]
    buckets = [(rng.gauss(0.0, 1.0), rng.randrange(1, 10))
               for _ in range(VALUES)]
    floor = _per_value(_empty_loop, values, 7)

    print_header("centroid_histogram.bucket_summarizer: ns per value, "
                 "10^6 values", theirs="model")
    rows = []
    for capacity, (repeat, merged) in sorted(CAPACITIES.items()):
        for name, ours, model, items in [
                ("histogram_from_values", histogram_from_values,
                 model_histogram_values, values),
                ("histogram_from_buckets", histogram_from_buckets,
                 model_histogram, buckets)]:
            ours_ns = _per_value(lambda xs: ours(capacity, xs), items,
                                 repeat)
            model_ns = _model_per_value(model, capacity, items, merged,
                                        min(repeat, 3))
            case = "%s(%d, ...)" % (name, capacity)
            print_row(case + " vs model", ours_ns, model_ns)
            rows.append((case, ours_ns))

    _from_array(values)

    print()
    print("beside an empty for loop over the same list (the floor)")
    print("%-46s %12s %12s %8s" % ("case", "velbrook ns", "for-loop ns",
                                    "x floor"))
    for case, ours_ns in rows:
        print("%-46s %12.1f %12.1f %7.1fx" % (case, ours_ns, floor,
                                              ours_ns / floor))


if __name__ == "__main__":
    main()
