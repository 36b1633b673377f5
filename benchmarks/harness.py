"""Timing helpers shared by the benchmark scripts: nanoseconds per call,
median of repeated runs, printed beside the nearest equivalent."""
import statistics
import time
import timeit


def ns_per_call(func, number=None, repeat=7, timer=time.perf_counter):
    """Median over `repeat` runs of the time of one `func()` call, in ns."""
    timer = timeit.Timer(func, timer=timer)
    if number is None:
        number, _ = timer.autorange()  # at least 0.2 s per run
    runs = timer.repeat(repeat=repeat, number=number)
    return statistics.median(runs) / number * 1e9


def cpu_ns_pair(ours, theirs, repeat=7):
    """Median CPU time of this thread per call of `ours()` and `theirs()`,
    in ns, their runs interleaved so that a machine shared with other
    work slows both alike."""
    timers = [timeit.Timer(f, timer=time.thread_time) for f in (ours, theirs)]
    numbers = []
    for t in timers:
        number, _ = t.autorange()
        numbers.append(number)
    runs = ([], [])
    for _ in range(repeat):
        for t, number, out in zip(timers, numbers, runs):
            out.append(t.timeit(number) / number * 1e9)
    return statistics.median(runs[0]), statistics.median(runs[1])


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


def compare(case, ours, theirs):
    """Prints and returns (ours, theirs): CPU ns per call."""
    pair = cpu_ns_pair(ours, theirs)
    print_row(case, *pair)
    return pair


def print_targets(checks):
    """`checks`: (label, target, (ours ns, theirs ns)) with the target the
    most velbrook's time may be as a share of the other's."""
    print()
    print("%-52s %8s %8s" % ("target (velbrook time / other time)",
                             "measured", "at most"))
    for label, target, (ours, theirs) in checks:
        ratio = ours / theirs
        print("%-52s %7.2fx %7.2fx%s" % (label, ratio, target,
                                         "" if ratio <= target else
                                         "  (not met)"))
