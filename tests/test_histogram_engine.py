"""The block engine against the reference histogram, push for push: a C++
harness (histogram_engine_check.cpp), built here with the engines'
invariant checks compiled in (and the sanitizers in the sanitized run),
compares every bucket after every push over adversarial streams at
capacities from 1 to 4096, and at four block sizes so that small
capacities still cross many blocks."""
import math
import os
import random
import shutil
import struct
import subprocess
import sys
import sysconfig

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
HEADERS = os.path.join(ROOT, "velbrook", "centroid_histogram")
SANITIZED = os.environ.get("VELBROOK_SANITIZE") == "1"
U64 = 2 ** 64
inf, nan = math.inf, math.nan


def _compiler():
    for name in (os.environ.get("CXX"),
                 (sysconfig.get_config_var("CXX") or "").split()[:1],
                 "g++", "clang++"):
        if isinstance(name, list):
            name = name[0] if name else None
        if name and shutil.which(name):
            return name
    return None


@pytest.fixture(scope="module")
def harness(tmp_path_factory):
    if not os.path.isdir(HEADERS):
        pytest.skip("the C++ headers are not beside the tests")
    cxx = _compiler()
    if cxx is None:
        pytest.skip("no C++ compiler to build the harness")
    binary = str(tmp_path_factory.mktemp("engine") / "check")
    flags = ["-std=c++17", "-O2", "-ffp-contract=off", "-Wall", "-Wextra",
             "-Werror"]
    if SANITIZED:
        flags += ["-fsanitize=address,undefined", "-fno-sanitize-recover=all",
                  "-g"]
    subprocess.run([cxx] + flags + ["-I", HEADERS, "-o", binary,
                                    os.path.join(HERE,
                                                 "histogram_engine_check.cpp")],
                   check=True)
    return binary


def run(harness, capacity, pushes):
    """Feeds `pushes` ((centroid, count) with count None for a value) at
    `capacity`; returns the harness's output line."""
    data = [struct.pack("<Q", capacity)]
    for centroid, count in pushes:
        if count is None:
            data.append(struct.pack("<BdQ", 0, centroid, 0))
        else:
            data.append(struct.pack("<BdQ", 1, centroid, count))
    env = dict(os.environ)
    env.pop("LD_PRELOAD", None)  # the harness links its own runtimes
    done = subprocess.run([harness], input=b"".join(data), env=env,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          timeout=600)
    out = done.stdout.decode() + done.stderr.decode()
    assert done.returncode == 0, out
    return out


# ---------------------------------------------------------------------------
# Streams: each a function (random, length) -> pushes.

def values(make):
    return lambda r, n: [(make(r), None) for _ in range(n)]


def buckets(make_centroid, make_count):
    return lambda r, n: [(make_centroid(r), make_count(r)) for _ in range(n)]


def sorted_runs(r, n):
    out, x = [], 0.0
    while len(out) < n:
        run = r.randrange(1, 200)
        step = r.choice([1.0, -1.0, 0.5, 0.0])
        for _ in range(run):
            out.append((x, None))
            x += step
        x = r.uniform(-100, 100)
    return out[:n]


def mixture(r, n):
    """Every stream's items, interleaved."""
    kinds = [make for name, make in STREAMS if name != "mixture"]
    return [r.choice(kinds)(r, 1)[0] for _ in range(n)]


SPECIAL = [inf, -inf, 0.0, -0.0, nan, 5e-324, -5e-324, 2.2250738585072014e-308,
           1.7976931348623157e308, -1.7976931348623157e308, 1.0, 2.0]
NEAR_WRAP = [U64 - 1, U64 - 2, U64 - 3, 2 ** 63, 2 ** 63 - 1, 1, 0, 2]

STREAMS = [
    ("lognormal", values(lambda r: r.lognormvariate(0.0, 1.0))),
    ("integers 0..9", values(lambda r: float(r.randrange(10)))),
    ("repeats of one value", values(lambda r: 5.0)),
    ("integer buckets, counts 1..3",
     buckets(lambda r: float(r.randrange(-3, 4)),
             lambda r: r.randrange(1, 4))),
    ("sorted runs", sorted_runs),
    ("lognormal with +-inf", values(
        lambda r: r.choice([inf, -inf]) if r.random() < 0.02
        else r.lognormvariate(0.0, 1.0))),
    ("+-0.0 and small integers", values(
        lambda r: r.choice([0.0, -0.0, 1.0, -1.0, 0.0, -0.0]))),
    ("NaN centroids", buckets(
        lambda r: nan if r.random() < 0.05 else r.gauss(0.0, 1.0),
        lambda r: r.randrange(0, 3))),
    ("NaN values", values(
        lambda r: nan if r.random() < 0.01 else r.uniform(0, 1))),
    ("zero counts", buckets(lambda r: float(r.randrange(20)),
                            lambda r: r.choice([0, 0, 1, 2]))),
    ("counts near 2**64", buckets(lambda r: float(r.randrange(-5, 6)),
                                  lambda r: r.choice(NEAR_WRAP))),
    ("subnormals", values(lambda r: r.randrange(-50, 50) * 5e-324)),
    ("huge magnitudes", values(
        lambda r: r.choice([1.0, -1.0]) * r.uniform(0.5, 1.0) * 1e308)),
    ("special values as buckets", buckets(
        lambda r: r.choice(SPECIAL), lambda r: r.choice(NEAR_WRAP + [1, 1]))),
    ("mixture", mixture),
]
CAPACITIES = [1, 2, 3, 4, 5, 8, 9, 17, 33, 64, 100, 257, 1024, 4096]


def _length(capacity):
    return 1500 + 3 * capacity if capacity < 1024 else 2 * capacity + 3000


@pytest.mark.parametrize("capacity", CAPACITIES)
@pytest.mark.parametrize("name, make", STREAMS, ids=[n for n, _ in STREAMS])
def test_every_push_leaves_the_reference_buckets(harness, name, make,
                                                 capacity):
    if SANITIZED and capacity > 257:
        pytest.skip("the large capacities run in the plain suite")
    rng = random.Random("%s/%d" % (name, capacity))
    pushes = make(rng, _length(capacity))
    out = run(harness, capacity, pushes)
    assert out.startswith("pushes %d " % len(pushes))


@pytest.mark.parametrize("capacity", [64, 256, 1024])
def test_descending_and_ascending_fill_and_drain(harness, capacity):
    # Insertion at the very front and the very back every time: block 0's
    # pair 0 changes on every push, and blocks split and join at the ends.
    n = 4 * capacity
    down = [(float(n - i), None) for i in range(n)]
    up = [(float(i), None) for i in range(n)]
    run(harness, capacity, down + up + down)


SHORT_STARTS = [nan, inf, -inf, 0.0, -0.0, 1.0]


@pytest.mark.parametrize("first", SHORT_STARTS, ids=repr)
@pytest.mark.parametrize("capacity", [1, 2, 3, 64])
def test_short_streams_from_special_first_buckets(harness, first, capacity):
    # A lone bucket has no pair that could tell of its NaN or infinite
    # centroid: every second bucket, each count, on either side of it.
    for second in SHORT_STARTS + [-1.0, 2.0]:
        for counts in [(0, 0), (1, 0), (0, 1), (1, 1), (2, 1)]:
            pushes = [(first, counts[0]), (second, counts[1]),
                      (first, 1), (second, None), (first, None)]
            run(harness, capacity, pushes)


# Faults planted in the block engine's paths, each to be caught by the
# harness: the merged push, the scan that runs while a gap is NaN, the
# search by centroid, the cached best pair.
PLANTED = {
    "pair 0 loses its ties in the merged push": (
        "        if (!less(key, keyOf(slots(0), 0))) {",
        "        if (less(keyOf(slots(0), 0), key)) {"),
    "a full tie beats pair 0 in the scan": (
        "                wins = !pair0;",
        "                wins = true;"),
    "the search by centroid takes an equal centroid as below": (
        "        if (s[at].c < c) {\n            p = base;",
        "        if (s[at].c <= c) {\n            p = base;"),
    "a merged push keeps a lost best": (
        "        if (m.bestAt - (i - 1) <= 1) {",
        "        if (m.bestAt - (i - 1) <= 0) {"),
}


@pytest.mark.parametrize("fault", sorted(PLANTED))
def test_harness_catches_planted_engine_faults(harness, tmp_path, fault):
    old, new = PLANTED[fault]
    for name in os.listdir(HEADERS):
        if name.endswith(".h"):
            shutil.copy(os.path.join(HEADERS, name), str(tmp_path))
    path = tmp_path / "block_histogram.h"
    source = path.read_text()
    assert source.count(old) == 1
    path.write_text(source.replace(old, new))
    binary = str(tmp_path / "check")
    subprocess.run([_compiler() or "g++", "-std=c++17", "-O1",
                    "-ffp-contract=off", "-I", str(tmp_path), "-o", binary,
                    os.path.join(HERE, "histogram_engine_check.cpp")],
                   check=True)
    for capacity in (2, 5, 17, 64):
        for name, make in STREAMS:
            pushes = make(random.Random("%s/%d" % (name, capacity)), 800)
            try:
                run(binary, capacity, pushes)
            except AssertionError:
                return
    pytest.fail("the harness missed: " + fault)


def test_harness_reports_a_difference(harness, tmp_path):
    # The comparison itself is live: a harness whose block engine pushes
    # a different value must fail.
    source = open(os.path.join(HERE, "histogram_engine_check.cpp")).read()
    broken = source.replace("vb::Bucket(centroid, asValue ? 1 : count)",
                            "vb::Bucket(centroid, asValue ? 1 : count), "
                            "pushes == 40")
    assert broken != source
    lockstep = open(os.path.join(HERE, "histogram_lockstep.h")).read()
    lockstep = lockstep.replace(
        "std::string push(const vb::Bucket& bucket, bool asValue)",
        "std::string push(const vb::Bucket& bucket, bool asValue, "
        "bool skew = false)").replace(
        "large_.push(bucket.centroid());",
        "large_.push(bucket.centroid() + (skew ? 1.0 : 0.0));")
    (tmp_path / "histogram_lockstep.h").write_text(lockstep)
    (tmp_path / "check.cpp").write_text(broken)
    binary = str(tmp_path / "check")
    subprocess.run([_compiler() or "g++", "-std=c++17", "-O1", "-I",
                    str(tmp_path), "-I", HEADERS, "-o", binary,
                    str(tmp_path / "check.cpp")], check=True)
    with pytest.raises(AssertionError, match="push 41: the builders' blocks"):
        run(binary, 16, [(float(i), None) for i in range(100)])
