"""ns per value of the centroid histogram builders beside the pure-Python
model of the same histogram (tests/histogram_model.py) and beside an empty
`for` loop over the same list, the least any builder has to spend."""
import os
import random
import sys

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


def main():
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
