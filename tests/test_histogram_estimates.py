"""velbrook.estimates: cdf and quantile against answers worked out by hand
on small histograms and against numpy on large data, merge, total, mean,
the numpy arrays, and the types."""
import math
import os
import random
import subprocess
import sys

import pytest

from typecheck import mypy_errors
from velbrook import estimates as est
from velbrook.centroid_histogram.bucket_summarizer import (
    CentroidBucket, CentroidHistogram, histogram_from_values)

nan, inf = math.nan, math.inf
TWO_EQUAL = [(1.0, 2), (3.0, 2)]
UNEQUAL = [(0.0, 1), (10.0, 3)]
THREE = [(0.0, 2), (4.0, 4), (6.0, 2)]


# (histogram, x, estimated count at or below x), each worked by hand from
# the trapezoid rule: half a bucket's count on each side of its centroid,
# the density linear between neighbouring centroids.
CDF_BY_HAND = [
    (TWO_EQUAL, 0.5, 0.0),     # below the first centroid
    (TWO_EQUAL, 1.0, 1.0),     # half of the first bucket
    (TWO_EQUAL, 2.0, 2.0),     # 1 + (2 + 2) / 2 * 1/2
    (TWO_EQUAL, 3.0, 3.0),     # all but half of the last bucket
    (TWO_EQUAL, 3.5, 4.0),     # above the last centroid: all
    (UNEQUAL, 5.0, 1.25),      # 0.5 + (1 + 2) / 2 * 0.5
    (THREE, 2.0, 2.25),        # 1 + (2 + 3) / 2 * 0.5
    (THREE, 4.0, 4.0),         # 2 + 4 / 2
    (THREE, 5.0, 5.75),        # 4 + (4 + 3) / 2 * 0.5
    ([(2.0, 5)], 2.0, 2.5),    # one bucket: half at its centroid
    ([(2.0, 5)], 1.9, 0.0),
    ([(2.0, 5)], 2.1, 5.0),
]


@pytest.mark.parametrize("pairs, x, count", CDF_BY_HAND)
def test_cdf_by_hand(pairs, x, count):
    assert est.cdf(pairs, x, normalized=False) == pytest.approx(count)
    total = sum(n for _, n in pairs)
    assert est.cdf(pairs, x) == pytest.approx(count / total)


# (histogram, q, value): the inverse of the rows above, solved by hand.
QUANTILE_BY_HAND = [
    (TWO_EQUAL, 0.0, 1.0),
    (TWO_EQUAL, 0.25, 1.0),    # at or below half the first bucket
    (TWO_EQUAL, 0.5, 2.0),     # d = 1, equal counts: z = d / m = 1/2
    (TWO_EQUAL, 0.75, 3.0),
    (TWO_EQUAL, 1.0, 3.0),
    # d = 1.5, m = 1, a = 2: z = 2d / (m + sqrt(m^2 + 2ad)) = 3 / (1 + √7)
    (UNEQUAL, 0.5, 30.0 / (1.0 + math.sqrt(7.0))),
    (THREE, 0.5, 4.0),
    (THREE, 2.25 / 8, 2.0),
    (THREE, 5.75 / 8, 5.0),
    ([(2.0, 5)], 0.3, 2.0),
    ([(0.0, 0), (5.0, 4)], 0.9, 5.0),  # a zero count takes no part
]


@pytest.mark.parametrize("pairs, q, value", QUANTILE_BY_HAND)
def test_quantile_by_hand(pairs, q, value):
    assert est.quantile(pairs, q) == pytest.approx(value)


def test_quantile_of_a_sequence_is_a_list():
    assert est.quantile(TWO_EQUAL, [0.5, 0.0, 1.0]) == [2.0, 1.0, 3.0]
    assert est.quantile(TWO_EQUAL, (q for q in [0.5])) == [2.0]


@pytest.mark.parametrize("seed", range(5))
def test_quantile_inverts_cdf_between_the_extremes(seed):
    rng = random.Random(seed)
    pairs = [(rng.uniform(-10, 10), rng.randrange(1, 20)) for _ in range(9)]
    lo = est.cdf(pairs, min(c for c, _ in pairs))
    hi = est.cdf(pairs, max(c for c, _ in pairs))
    for _ in range(50):
        q = rng.uniform(lo, hi)
        assert est.cdf(pairs, est.quantile(pairs, q)) == pytest.approx(q)


IGNORED = [  # buckets that take no part, and the histogram without them
    ([(1.0, 2), (2.0, 0), (3.0, 2)], TWO_EQUAL),
    ([(nan, 7), (1.0, 2), (3.0, 2)], TWO_EQUAL),
    ([(3.0, 2), (1.0, 2)], TWO_EQUAL),  # out of order: sorted first
    ([(1.0, 1), (1.0, 1), (3.0, 2)], [(1.0, 2), (3.0, 2)]),
]


@pytest.mark.parametrize("pairs, same_as", IGNORED)
def test_buckets_that_take_no_part(pairs, same_as):
    for x in [0.0, 1.0, 1.5, 2.0, 2.9, 3.0, 4.0]:
        assert est.cdf(pairs, x, normalized=False) == \
            est.cdf(same_as, x, normalized=False)
    for q in [0.0, 0.3, 0.5, 0.7, 1.0]:
        assert est.quantile(pairs, q) == est.quantile(same_as, q)
    assert est.mean(pairs) == est.mean(same_as)


def test_infinite_centroids():
    pairs = [(-inf, 1), (0.0, 2), (inf, 1)]
    assert est.cdf(pairs, 0.0, normalized=False) == 2.0
    # towards an infinite centroid the density spreads over no width
    assert est.cdf(pairs, 1e300, normalized=False) == 2.0
    assert est.cdf(pairs, inf, normalized=False) == 3.5  # half of inf's
    assert est.quantile(pairs, [0.0, 0.5, 1.0]) == [-inf, 0.0, inf]
    assert math.isnan(est.mean(pairs))


ERRORS = [
    (lambda: est.quantile(TWO_EQUAL, 1.5), ValueError, "within"),
    (lambda: est.quantile(TWO_EQUAL, -0.1), ValueError, "within"),
    (lambda: est.quantile(TWO_EQUAL, nan), ValueError, "within"),
    (lambda: est.quantile([], 0.5), ValueError, "no bucket"),
    (lambda: est.quantile([(nan, 3), (1.0, 0)], 0.5), ValueError,
     "no bucket"),
    (lambda: est.cdf([], 1.0), ValueError, "no bucket"),
    (lambda: est.cdf(TWO_EQUAL, nan), ValueError, "NaN"),
    (lambda: est.mean([]), ValueError, "no bucket"),
    (lambda: est.total([(1.0, -1)]), ValueError, ">= 0"),
    (lambda: est.merge([TWO_EQUAL], 0), ValueError, ">= 1"),
    (lambda: est.quantile([(1.0,)], 0.5), IndexError, "range"),
]


@pytest.mark.parametrize("call, exc, words", ERRORS)
def test_errors(call, exc, words):
    with pytest.raises(exc, match=words):
        call()


def test_empty_count_is_zero():
    assert est.cdf([], 3.0, normalized=False) == 0.0


def test_total_and_mean():
    h = histogram_from_values(3, [1.0, 2.0, 3.0, 10.0])
    assert est.total(h) == 4
    assert est.total([(nan, 5), (1.0, 0), (2.0, 2 ** 64 - 1)]) == \
        5 + 2 ** 64 - 1
    assert est.mean(h) == 4.0
    assert est.mean(THREE) == 3.5


def test_histogram_and_pairs_answer_alike():
    h = histogram_from_values(8, [random.Random(1).gauss(0, 1)
                                  for _ in range(500)])
    pairs = [(b.centroid, b.count) for b in h.buckets]
    assert est.quantile(h, [0.1, 0.5]) == est.quantile(pairs, [0.1, 0.5])
    assert est.cdf(h, 0.3) == est.cdf(pairs, 0.3)


# ---------------------------------------------------------------------------
# Against numpy on large data: the rank of each estimated quantile in the
# sorted data, and the cdf at numpy's quantile, within the error the
# reference documents for data without heavy skew (1 / capacity).

QS = [0.01, 0.05, 0.1, 0.25, 0.5, 0.75, 0.9, 0.95, 0.99]


@pytest.mark.parametrize("capacity", [64, 256])
@pytest.mark.parametrize("data", ["normal", "uniform"])
def test_against_numpy_quantile(data, capacity):
    np = pytest.importorskip("numpy", reason="numpy is not installed")
    rng = np.random.default_rng(20240601)
    x = rng.normal(size=200000) if data == "normal" else \
        rng.uniform(size=200000)
    xs = np.sort(x)
    h = histogram_from_values(capacity, x)
    for q, value in zip(QS, est.quantile(h, QS)):
        rank = np.searchsorted(xs, value, side="right") / len(xs)
        assert abs(rank - q) <= 1.0 / capacity, q
        assert abs(est.cdf(h, np.quantile(x, q)) - q) <= 1.0 / capacity, q


# ---------------------------------------------------------------------------
# merge

def test_merge_by_hand():
    # Union (0, 1), (1, 1), (5, 2), (6, 2); the closest pair (0, 1)
    # merges first, then (5, 6) at gap 1 (the leftmost of equal gaps was
    # already taken).
    got = est.merge([[(0.0, 1), (5.0, 2)], [(1.0, 1), (6.0, 2)]], 2)
    assert got == CentroidHistogram(2, [CentroidBucket(0.5, 2),
                                        CentroidBucket(5.5, 4)])
    assert type(got.buckets[0]) is CentroidBucket


def test_merge_depends_on_order():
    parts = [[(0.0, 1)], [(1.0, 1)], [(4.0, 1)], [(7.0, 1)]]
    # 0, 1 then 4: 0 and 1 merge; then 7: 4 and 7 merge.
    assert est.merge(parts, 2).buckets == [CentroidBucket(0.5, 2),
                                           CentroidBucket(5.5, 2)]
    # 7, 4 then 1: 4 and 1 are closest (3 = 7 - 4, the leftmost wins);
    # then 0 joins them.
    assert est.merge(parts[::-1], 2).buckets == [
        CentroidBucket(5.0 / 3.0, 3), CentroidBucket(7.0, 1)]
    # With one bucket left, the mean whatever the order.
    assert est.merge(parts, 1) == est.merge(parts[::-1], 1)


def test_merge_keeps_what_fits_and_the_total():
    h = histogram_from_values(64, [random.Random(2).random()
                                   for _ in range(3000)])
    assert est.merge([h], 64).buckets == h.buckets
    parts = [histogram_from_values(32, [random.Random(i).random()
                                        for _ in range(1000)])
             for i in range(5)]
    merged = est.merge(parts, 32)
    assert merged.max_size == 32 and len(merged.buckets) == 32
    assert est.total(merged) == 5000
    assert est.mean(merged) == pytest.approx(
        sum(est.mean(p) for p in parts) / 5)
    # Zero counts and NaN centroids are left out.
    assert est.merge([[(nan, 3), (1.0, 0), (2.0, 1)]], 4).buckets == \
        [CentroidBucket(2.0, 1)]


def test_arrays():
    np = pytest.importorskip("numpy", reason="numpy is not installed")
    h = histogram_from_values(4, [1.0, 2.0, 2.0])
    assert est.centroids(h).dtype == np.float64
    assert est.centroids(h).tolist() == [1.0, 2.0, 2.0]
    assert est.counts(h).dtype == np.uint64
    assert est.counts([(1.0, 2 ** 64 - 1)]).tolist() == [2 ** 64 - 1]


# ---------------------------------------------------------------------------
# Types

TYPED = '''\
from typing import List
from velbrook import estimates
from velbrook.centroid_histogram.bucket_summarizer import (
    CentroidHistogram, histogram_from_values)

h = histogram_from_values(8, [1.0, 2.0])
a: float = estimates.cdf(h, 1.5)
b: float = estimates.cdf([(1.0, 2)], 1.5, normalized=False)
c: float = estimates.quantile(h, 0.5)
d: List[float] = estimates.quantile(h, [0.1, 0.9])
e: CentroidHistogram = estimates.merge([h, [(3.0, 1)]], 8)
f: int = estimates.total(h)
g: float = estimates.mean(h)
'''


def test_annotations_pass_mypy_strict():
    errors = mypy_errors({"ok": TYPED,
                          "bad": "from velbrook import estimates\n"
                                 "x: str = estimates.total([(1.0, 2)])\n"})
    assert errors["ok"] == {}
    assert list(errors["bad"]) == [2]


def test_stubtest_agrees():
    pytest.importorskip("mypy.stubtest")
    if os.environ.get("VELBROOK_SANITIZE"):
        pytest.skip("mypy's compiled modules are not for the sanitizer run")
    done = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "velbrook.estimates"],
        cwd=os.path.abspath(os.sep), stdout=subprocess.PIPE,
        stderr=subprocess.STDOUT, universal_newlines=True, timeout=300)
    assert done.returncode == 0, done.stdout
