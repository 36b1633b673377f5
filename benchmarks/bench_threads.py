"""Calls per second of single calls made from 1 and from 2 threads at once,
each thread over inputs of its own, and the ratio of the two.

On a free-threaded interpreter running with the GIL off the calls of two
threads run at the same time, so on two idle cores the ratio approaches 2;
with the GIL they take turns and it stays near 1.  The machine's load
average is printed before and after: other processes on the cores lower
the ratio.  So the table also gives calls per second of CPU time the
threads used: where two threads spend no more CPU time per call than one
(no waiting for each other, no cache lines passed between cores), that
ratio is 1, and two free cores would give twice the calls per second.

    python benchmarks/bench_threads.py          # 1 s per measurement
    VELBROOK_BENCH_SECONDS=3 python benchmarks/bench_threads.py
"""
import os
import random
import sys
import threading
import time

from velbrook.centroid_histogram.bucket_summarizer import \
    histogram_from_values
from velbrook.dateToInt.calendar_text_codec import date2intWrapper, strptime
from velbrook.intToTime.ordinal_unfolder import int2time

SECONDS = float(os.environ.get("VELBROOK_BENCH_SECONDS", "1"))
REPEAT = 3  # the best of these runs per thread count
THREADS = (1, 2)
BATCH = 1000  # calls per loop over a thread's inputs


def _date_texts(rng):
    return ["%04d-%02d-%02d %02d:%02d:%02d %+03d00" % (
        rng.randint(1971, 2037), rng.randint(1, 12), rng.randint(1, 28),
        rng.randint(0, 23), rng.randint(0, 59), rng.randint(0, 59),
        rng.randint(-12, 12)) for _ in range(BATCH)]


# Each case makes the inputs of one thread (a new rng per thread, so no
# object is shared) and a loop that makes BATCH calls over them.
def _date2int_case(rng):
    texts, fmt = _date_texts(rng), bytes(b"%Y-%m-%d %H:%M:%S")

    def run():
        for text in texts:
            date2intWrapper(text, fmt)
    return run, BATCH


def _strptime_case(rng):
    texts = [t[:19] for t in _date_texts(rng)]
    fmt = bytes(b"%Y-%m-%d %H:%M:%S")

    def run():
        for text in texts:
            strptime(text, fmt)
    return run, BATCH


def _int2time_case(rng):
    seconds = [rng.randint(0, 2 ** 31) for _ in range(BATCH)]
    fmt = bytes(b"%Y-%m-%d %H:%M:%S")

    def run():
        for x in seconds:
            int2time(x, fmt)
    return run, BATCH


def _histogram_case(rng):
    # Capacity 64, 10^4 float values a call, from a list.
    values = [rng.gauss(0.0, 1.0) for _ in range(10 ** 4)]

    def run():
        histogram_from_values(64, values)
    return run, 1


def _gmtime_case(rng):
    # The standard library's nearest call, for what the interpreter itself
    # allows: it too builds a record of a type all threads share.
    seconds = [rng.randint(0, 2 ** 31) for _ in range(BATCH)]

    def run():
        for x in seconds:
            time.gmtime(x)
    return run, BATCH


CASES = [
    ("date2intWrapper(text with zone, fmt)", _date2int_case),
    ("strptime(text, fmt)", _strptime_case),
    ("int2time(seconds, fmt)", _int2time_case),
    ("histogram_from_values(64, 10^4 floats)", _histogram_case),
    ("time.gmtime(seconds), for reference", _gmtime_case),
]


def _calls_per_second(make_case, threads):
    """(calls per second, calls per CPU second) of `threads` threads, each
    running its own loop over its own inputs for SECONDS, started
    together."""
    loops = [make_case(random.Random(1000 + i)) for i in range(threads)]
    counts = [0] * threads
    cpu = [0.0] * threads
    start = threading.Barrier(threads + 1)
    stop = threading.Event()

    def work(i):
        run, per_loop = loops[i]
        run()  # warm up before the clock starts
        start.wait()
        began = time.thread_time()
        done = 0
        while not stop.is_set():
            run()
            done += per_loop
        counts[i] = done
        cpu[i] = time.thread_time() - began

    workers = [threading.Thread(target=work, args=(i,))
               for i in range(threads)]
    for w in workers:
        w.start()
    start.wait()
    began = time.perf_counter()
    time.sleep(SECONDS)
    stop.set()
    for w in workers:
        w.join()
    # Each thread finishes the loop it is in: count until the last ends.
    wall = time.perf_counter() - began
    return sum(counts) / wall, sum(counts) / sum(cpu)


def _gil_state():
    check = getattr(sys, "_is_gil_enabled", None)
    if check is None:
        return "GIL build"
    return "free-threaded build, GIL %s" % ("on" if check() else "off")


def main():
    print()
    print("Scaling with threads (%s; %d cores; load average %s)" % (
        _gil_state(), os.cpu_count() or 0,
        " ".join("%.2f" % x for x in os.getloadavg())))
    print("%-40s %12s %12s %7s %10s" % (
        "calls per second", "1 thread", "2 threads", "ratio",
        "CPU ratio"))
    for name, make_case in CASES:
        runs = [[_calls_per_second(make_case, n) for _ in range(REPEAT)]
                for n in THREADS]
        wall = [max(r[0] for r in rs) for rs in runs]
        cpu = [max(r[1] for r in rs) for rs in runs]
        print("%-40s %12.0f %12.0f %6.2fx %9.2fx" % (
            name, wall[0], wall[-1], wall[-1] / wall[0], cpu[-1] / cpu[0]))
    print("load average after: %s" % " ".join(
        "%.2f" % x for x in os.getloadavg()))


if __name__ == "__main__":
    main()
