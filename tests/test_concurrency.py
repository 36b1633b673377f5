"""Many threads at once: every public function called from 8 threads over
shared inputs while other threads change those inputs and rebind the
modules' names, each result checked against a run in one thread; lists
walked while another thread refills them; rebindings seen by the calls
that start after them; and, on a free-threaded interpreter, the GIL left
off by the import.

The same tests run on every interpreter: with the GIL the threads take
turns, without it they run at once.  VELBROOK_CONCURRENCY_SECONDS sets how
long the stress test runs (default 1 s; the others a third of it).
"""
import collections
import datetime
import gc
import math
import os
import re
import subprocess
import sys
import sysconfig
import threading
import time

import pytest

from conftest import _child, optional
from velbrook import columns
from velbrook.centroid_histogram import bucket_summarizer
from velbrook.dateToInt import calendar_text_codec
from velbrook.intToTime import ordinal_unfolder

SECONDS = float(os.environ.get("VELBROOK_CONCURRENCY_SECONDS", "1"))
WORKERS = 8

FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
# Free-threaded 3.13 writes a bytearray without taking its lock, so a
# write beside any reader (the interpreter's own bytes(b) included) is a
# data race there; from 3.14 on its methods lock it, and velbrook reads a
# bytearray format under that lock.
BYTEARRAY_LOCKED = not FREE_THREADED or sys.version_info >= (3, 14)


np = optional("numpy")
pa = optional("pyarrow")
pd = optional("pandas")
pl = optional("polars")


def plain(x):
    """A result in comparable form: records and columns as plain tuples
    and lists (a rebound record type makes equal records of another
    type)."""
    if isinstance(x, tuple):
        return tuple(plain(v) for v in x)
    if isinstance(x, (list, columns.Int64Column)):
        return [plain(v) for v in x]
    return x


def outcome(call):
    """What a call gives: ("ok", result) or ("raised", type, message)."""
    try:
        return ("ok", plain(call()))
    except Exception as e:  # the error is part of the outcome
        return ("raised", type(e).__name__, str(e))


class Stop:
    """Set by a thread that found a fault, or by the passing of the time
    given: each thread looks at its own clock, so the run ends on time even
    while the threads keep the GIL busy."""

    def __init__(self):
        self.event = threading.Event()
        self.deadline = math.inf

    def set(self):
        self.event.set()

    def is_set(self):
        return self.event.is_set() or time.monotonic() > self.deadline


class Threads:
    """Runs `work(stop)` in threads until all return or `SECONDS` pass;
    an exception in any thread fails the test with that thread's error."""

    def __init__(self):
        self.stop = Stop()
        self.errors = []
        self.threads = []

    def add(self, work, count=1):
        for _ in range(count):
            self.threads.append(threading.Thread(target=self._run,
                                                 args=(work,)))

    def _run(self, work):
        try:
            work(self.stop)
        except BaseException as e:  # reported by the main thread
            self.errors.append(e)
            self.stop.set()

    def run(self, seconds=SECONDS):
        self.stop.deadline = time.monotonic() + seconds
        for t in self.threads:
            t.start()
        try:
            for t in self.threads:
                t.join(seconds + 60)  # each ends by the deadline
        finally:
            self.stop.set()
        assert not any(t.is_alive() for t in self.threads), "a thread hangs"
        if self.errors:
            raise self.errors[0]


# --------------------------------------------------------------------------
# Shared inputs.

FMT = b"%Y-%m-%d %H:%M:%S"
TEXTS = [
    "2021-03-04 05:06:07", "2021-03-04 05:06:07 +0100",
    "1999-12-31 23:59:59-05", "2000-02-29 12:00:00 +01:00", "garbage",
    "2021-03-04 05:06", "1970-01-01 00:00:00\n", "2021-03-04 05:06:07 \xe9",
    "0000-01-01 00:00:00", "2038-01-19 03:14:08 -1200",
]
OTHER_FORMATS = [FMT, b"%Y-%m-%d", b"v2%Y-%m-%d %H:%M:%S.%f", b"%Y-%m-%d %H:%M",
                 b"%Y-%m-%d %H:%M:%S \xc3\xa9"]
SECONDS_VALUES = [0, 1614834367, -1, 2 ** 31, -2 ** 40, 10 ** 12]
ORDINALS = [1, 719163, 3652059, 0, 3652060]
STAMPS = [0.0, -1.5, 1.9999999, 1614834367.25, float("nan")]
DATETIMES = [datetime.datetime(1970, 1, 2), datetime.datetime(2021, 3, 4, 5)]
VALUES = [1.5, None, 2, float("nan"), -3.25, 1e300, 0.0, 7.0, 7.0, -0.5,
          float("inf"), 4.5, 3, 2.25, -8.0, 100.0, 0.125, 6.5, 6.0, 1.0]
BUCKETS = [[1.0, 2], (0.0, 0), (5.5, 3), [2.0, 1], (float("inf"), 1),
           [-4.0, 7], (1.0, 1), [9.0, 2], (3.5, 4), [0.5, 1]]
CAPACITY = 5


def _rebindings():
    """(module, name, an equivalent object): the same results through the
    slow path, since every shortcut is proved for the original only."""
    tz = calendar_text_codec.TZ_REGEXP
    return [
        (bucket_summarizer, "isnan", lambda v: math.isnan(v)),
        (bucket_summarizer, "CentroidBucket",
         collections.namedtuple("CentroidBucket", ["centroid", "count"])),
        (bucket_summarizer, "CentroidHistogram",
         collections.namedtuple("CentroidHistogram",
                                ["max_size", "buckets"])),
        (calendar_text_codec, "TZ_REGEXP", "".join(list(tz))),
        (calendar_text_codec, "search", lambda p, s: re.search(p, s)),
        (calendar_text_codec, "sub", lambda p, r, s: re.sub(p, r, s)),
        (ordinal_unfolder, "struct_time",
         collections.namedtuple("struct_time", ordinal_unfolder.struct_time
                                ._fields)),
    ]


@pytest.fixture
def restore_names():
    """Puts every module name a test may rebind back afterwards."""
    saved = [(m, n, getattr(m, n)) for m, n, _ in _rebindings()]
    yield
    for module, name, value in saved:
        setattr(module, name, value)


def rebinder(stop):
    """Rebinds each name to its equivalent and back, over and over."""
    pairs = [(m, n, getattr(m, n), alt) for m, n, alt in _rebindings()]
    while not stop.is_set():
        for module, name, original, alternative in pairs:
            setattr(module, name, alternative)
            time.sleep(0)
            setattr(module, name, original)


def refiller(shared, items):
    """Empties `shared` and appends `items` one at a time, over and over:
    whenever a call reads it, it is a prefix of `items`."""
    def work(stop):
        while not stop.is_set():
            shared.clear()
            for x in items:
                shared.append(x)
    return work


def prefixes(function, items):
    """The outcomes of `function` over every prefix of `items`."""
    return {repr(outcome(lambda: function(items[:k])))
            for k in range(len(items) + 1)}


def _cases(shared):
    """(label, call, the outcomes allowed) for every public function, over
    the inputs in `shared`; the outcomes come from this thread, now."""
    fmt, kwargs = shared["fmt"], shared["kwargs"]
    cases = []

    def fixed(label, call):
        cases.append((label, call, {repr(outcome(call))}))

    def over_prefixes(label, function, key, items):
        cases.append((label, lambda: function(shared[key]),
                      prefixes(function, items)))

    m = calendar_text_codec
    for t in TEXTS:
        fixed("date2intWrapper", lambda t=t: m.date2intWrapper(t, fmt))
        fixed("date2intSafeWrapper(**kwargs)",
              lambda t=t: m.date2intSafeWrapper(t, **kwargs))
        fixed("strptime", lambda t=t: m.strptime(t, fmt))
        # Several formats, each an exact bytes object, in turn: a format
        # compiled for one call must not be another call's.
        for f in OTHER_FORMATS:
            fixed("date2intSafeWrapper(%r)" % f,
                  lambda t=t, f=f: m.date2intSafeWrapper(t, f, True))
            fixed("strptime(%r)" % f, lambda t=t, f=f: m.strptime(t, f))
    u = ordinal_unfolder
    for x in SECONDS_VALUES:
        fixed("int2time", lambda x=x: u.int2time(x, fmt))
        fixed("int2time v2", lambda x=x: u.int2time(x, b"v2%H:%M:%S.%f"))
    for x in ORDINALS:
        fixed("fromordinal", lambda x=x: u.fromordinal(x))
    for x in STAMPS:
        fixed("utcfromtimestamp", lambda x=x: u.utcfromtimestamp(x))
    for x in DATETIMES:
        fixed("totimestamp", lambda x=x: u.totimestamp(x))

    h = bucket_summarizer
    values = tuple(VALUES)
    fixed("histogram_from_values(tuple)",
          lambda: h.histogram_from_values(CAPACITY, values))
    fixed("histogram_from_values(generator)",
          lambda: h.histogram_from_values(CAPACITY, (v for v in values)))
    over_prefixes("histogram_from_values(list)",
                  lambda xs: h.histogram_from_values(CAPACITY, xs),
                  "values", VALUES)
    over_prefixes("histogram_from_buckets(list)",
                  lambda bs: h.histogram_from_buckets(CAPACITY, bs),
                  "buckets", BUCKETS)
    over_prefixes("columns.date2int(list)",
                  lambda ts: columns.date2int(ts, FMT, errors="coerce",
                                              fill=-1),
                  "texts", TEXTS)
    fixed("columns.date2int(tuple, threads=2)",
          lambda: columns.date2int(tuple(TEXTS), fmt, errors="coerce",
                                   fill=-1, threads=2))
    if np is not None:
        array = shared["array"]
        fixed("histogram_from_values(ndarray)",
              lambda: h.histogram_from_values(CAPACITY, array))
        unicode = np.array(TEXTS)
        fixed("columns.date2int(numpy unicode)",
              lambda: columns.date2int(unicode, FMT, errors="coerce"))
    if pa is not None:
        arrow = pa.array(TEXTS)
        fixed("columns.date2int(Arrow)",
              lambda: columns.date2int(arrow, FMT, errors="coerce"))
    # Numeric columns read in place, also at a capacity the block engines
    # take (a longer column, in several chunks).  Only polars iterates a
    # null as None: pandas and pyarrow columns with nulls would raise once
    # the rebound `isnan` sends them through iteration, so theirs have
    # none (NaN stays).
    present = [v for v in VALUES if v is not None]
    long_values = [v * (k + 1) for k in range(40) for v in present]
    columns_read = []
    if pa is not None:
        columns_read += [
            ("Arrow", pa.array(present, pa.float64()), CAPACITY),
            ("Arrow chunked", pa.chunked_array(
                [long_values[:300], long_values[300:]], pa.float64()), 64)]
    if pd is not None:
        columns_read += [
            ("pandas", pd.Series(long_values, dtype="float64"), 64),
            ("pandas Int64", pd.Series([3, -7, 2 ** 40] * 30, dtype="Int64"),
             64)]
    if pl is not None:
        columns_read.append(("polars with nulls", pl.Series(VALUES * 30), 64))
    for label, column, capacity in columns_read:
        fixed("histogram_from_values(%s, %d)" % (label, capacity),
              lambda c=column, n=capacity: h.histogram_from_values(n, c))
    return cases


def test_every_function_from_many_threads_matches_one_thread(restore_names):
    shared = {
        "fmt": bytearray(FMT),  # its bytes are rewritten, never resized
        "kwargs": {"fmt": FMT, "skip_tz": False},
        "values": list(VALUES),
        "buckets": list(BUCKETS),
        "texts": list(TEXTS),
    }
    if np is not None:
        shared["array"] = np.array([v for v in VALUES if v is not None],
                                   dtype=float)
    cases = _cases(shared)
    mismatches, calls = [], []

    def worker(stop):
        i = 0
        while not stop.is_set():
            label, call, allowed = cases[i % len(cases)]
            got = repr(outcome(call))
            if got not in allowed:
                mismatches.append((label, got))
                stop.set()
            i += 1
        calls.append(i)

    def rewriter(stop):
        # Equal bytes into the shared bytearray format and numpy array,
        # and new but equal objects into the keyword dict, whose old
        # values are then freed.
        fmt, kwargs = shared["fmt"], shared["kwargs"]
        copy = shared["array"].copy() if np is not None else None
        while not stop.is_set():
            if BYTEARRAY_LOCKED:
                fmt[:] = FMT
            kwargs["fmt"] = bytes(bytearray(FMT))
            kwargs["skip_tz"] = False
            if copy is not None:
                shared["array"][:] = copy

    threads = Threads()
    threads.add(worker, WORKERS)
    threads.add(rebinder)
    threads.add(rewriter)
    for key, items in (("values", VALUES), ("buckets", BUCKETS),
                       ("texts", TEXTS)):
        threads.add(refiller(shared[key], items))
    threads.run()
    assert not mismatches, mismatches[:5]
    assert sum(calls) >= len(cases)  # every case ran at least once


# --------------------------------------------------------------------------
# A list walked while another thread changes it: the result is one a GIL
# build could give.  Its items need no interpreter code, so under the GIL
# the whole walk happens between two thread switches: the result is that
# of one state of the list, never a mix of two.

WALKS = {
    "histogram_from_values": (
        lambda xs: bucket_summarizer.histogram_from_values(3, xs),
        [float(i) for i in range(200)], [-float(i) for i in range(200)]),
    "histogram_from_buckets": (
        lambda bs: bucket_summarizer.histogram_from_buckets(3, bs),
        [[float(i), i] for i in range(200)], [(-1.0, i) for i in range(200)]),
    "columns.date2int": (
        lambda ts: columns.date2int(ts, b"%Y"),
        [str(1900 + i) for i in range(200)], [str(2000 + i) for i in range(200)]),
}


@pytest.mark.parametrize("how", ["swapped whole", "refilled one by one"])
@pytest.mark.parametrize("name", sorted(WALKS))
def test_list_walk_sees_one_state_of_the_list(name, how):
    function, a, b = WALKS[name]
    shared = list(a)
    if how == "swapped whole":
        allowed = {repr(outcome(lambda: function(a))),
                   repr(outcome(lambda: function(b)))}

        def mutate(stop):
            while not stop.is_set():
                shared[:] = b
                shared[:] = a
    else:
        allowed = prefixes(function, a)
        mutate = refiller(shared, a)
    seen, wrong = set(), []

    def worker(stop):
        while not stop.is_set():
            got = repr(outcome(lambda: function(shared)))
            if got not in allowed:
                wrong.append(got)
                stop.set()
            seen.add(got)

    # Few readers, so that on few cores the writer runs beside them.
    threads = Threads()
    threads.add(worker, 2)
    threads.add(mutate)
    threads.run(SECONDS / 3)
    assert not wrong, wrong[:3]


# --------------------------------------------------------------------------
# Rebinding a module name from another thread: every call that starts after
# the rebinding uses the new object.  The rebinding thread marks each
# change with a sequence number, odd while it is under way; a call during
# which the number did not move must have used the binding it names.

def _never_found(pattern, text):
    return None


def _unchanged(pattern, replacement, text):
    return text


REBIND = {
    "isnan": (
        bucket_summarizer,
        lambda v: math.isnan(v) or v < 0,  # also skips negative values
        lambda: bucket_summarizer.histogram_from_values(4, [1.0, -2.0])),
    "CentroidBucket": (
        bucket_summarizer, lambda c, n: ("bucket", c, n),
        lambda: bucket_summarizer.histogram_from_values(4, [1.0])),
    "TZ_REGEXP": (
        calendar_text_codec, r"\s*[\+-][0-9]{4}$",  # 4 digits only
        lambda: calendar_text_codec.date2intSafeWrapper(
            "2021-03-04 05:06:07 +01", FMT)),
    "search": (
        calendar_text_codec, _never_found,
        lambda: calendar_text_codec.date2intSafeWrapper(
            "2021-03-04 05:06:07 +0100", FMT)),
    "sub": (
        calendar_text_codec, _unchanged,
        lambda: calendar_text_codec.date2intSafeWrapper(
            "2021-03-04 05:06:07 +0100", FMT)),
}


@pytest.mark.parametrize("name", sorted(REBIND))
def test_rebinding_from_another_thread_reaches_later_calls(name,
                                                           restore_names):
    module, alternative, call = REBIND[name]
    original = getattr(module, name)
    expected = [repr(outcome(call))]
    setattr(module, name, alternative)
    expected.append(repr(outcome(call)))
    setattr(module, name, original)
    assert expected[0] != expected[1]  # the two bindings are told apart
    sequence = [0]  # even: binding sequence[0] // 2 % 2 is in place
    checked, wrong = [0], []

    def rebind(stop):
        bindings = (alternative, original)
        while not stop.is_set():
            sequence[0] += 1
            setattr(module, name, bindings[sequence[0] // 2 % 2])
            sequence[0] += 1
            time.sleep(0.0005)

    def worker(stop):
        while not stop.is_set():
            before = sequence[0]
            got = repr(outcome(call))
            if before % 2 == 0 and sequence[0] == before:
                checked[0] += 1
                if got != expected[before // 2 % 2]:
                    wrong.append((before, got))
                    stop.set()

    threads = Threads()
    threads.add(worker, WORKERS)
    threads.add(rebind)
    threads.run(SECONDS / 3)
    assert not wrong, wrong[:3]
    assert checked[0] > 0


# --------------------------------------------------------------------------
# Failures in many threads: each raises with its traceback entry and
# leaves nothing behind (3.13t never frees a code object made once a
# second thread has run, so the entries' code objects are made once).

@pytest.mark.skipif(bool(os.environ.get("VELBROOK_SANITIZE")),
                    reason="the sanitizer builds allocate through malloc")
def test_failures_after_other_threads_ran_leave_nothing_behind():
    def fail():
        with pytest.raises(ValueError) as info:
            ordinal_unfolder.fromordinal(0)
        assert info.traceback[-1].name == \
            "velbrook.intToTime.ordinal_unfolder.fromordinal"

    threads = Threads()
    threads.add(lambda stop: [fail() for _ in range(100)], 2)
    threads.run()
    for _ in range(200):
        fail()
    gc.collect()
    before = sys.getallocatedblocks()
    for _ in range(5000):
        fail()
    gc.collect()
    assert sys.getallocatedblocks() - before <= 40


# --------------------------------------------------------------------------
# The GIL stays off.

@pytest.mark.skipif(not FREE_THREADED, reason="not a free-threaded build")
def test_importing_everything_leaves_the_gil_off():
    # PYTHON_GIL unset, so the modules' own declaration is what counts.
    child = _child("""
        import sys
        import velbrook, velbrook.cli, velbrook.columns
        import velbrook.centroid_histogram.bucket_summarizer
        import velbrook.dateToInt.calendar_text_codec
        import velbrook.intToTime.ordinal_unfolder
        print(sys._is_gil_enabled())
    """, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    child["env"].pop("PYTHON_GIL", None)
    proc = subprocess.run(timeout=60, **child)
    assert (proc.returncode, proc.stdout, proc.stderr) == (0, "False\n", "")
