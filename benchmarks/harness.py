"""Timing helpers shared by the benchmark scripts: nanoseconds per call,
median of repeated runs, printed beside the nearest standard-library
equivalent."""
import statistics
import timeit


def ns_per_call(func, number=None, repeat=7):
    """Median over `repeat` runs of the time of one `func()` call, in ns."""
    timer = timeit.Timer(func)
    if number is None:
        number, _ = timer.autorange()  # at least 0.2 s per run
    runs = timer.repeat(repeat=repeat, number=number)
    return statistics.median(runs) / number * 1e9


def print_header(title, ours="velbrook", theirs="stdlib"):
    print()
    print(title)
    print("%-46s %12s %12s %8s" % ("case", ours + " ns", theirs + " ns",
                                    "ratio"))


def print_row(case, ours_ns, theirs_ns):
    """One line: our time, the reference time and how many times faster
    we are (reference / ours)."""
    ratio = theirs_ns / ours_ns if ours_ns else float("inf")
    print("%-46s %12.1f %12.1f %7.2fx" % (case, ours_ns, theirs_ns, ratio))


def compare(case, ours, theirs, **kw):
    print_row(case, ns_per_call(ours, **kw), ns_per_call(theirs, **kw))
