"""Answers from a centroid histogram: the number or fraction of values at
or below a point, quantiles, the total and the mean, and the merge of many
histograms into one.

Every function takes a ``CentroidHistogram`` (as the builders of
``velbrook.centroid_histogram.bucket_summarizer`` return it) or any
sequence of ``(centroid, count)`` pairs.

The estimator is the streaming histogram's trapezoid rule (Ben-Haim and
Tom-Tov): half of each bucket's count lies on either side of its
centroid, and between two neighbouring centroids the density changes
linearly from one count to the next.  ``cdf`` integrates that density (the
"sum" procedure); ``quantile`` inverts it by solving the quadratic of the
trapezoid (the "uniform" procedure).

- Only buckets with a count above 0 and a centroid that is not NaN take
  part; the others are left out (``total`` still counts them).  The
  buckets are taken in order of their centroids (merging can leave a
  histogram's list slightly out of order), and buckets at one centroid
  answer as one bucket of their total count.
- Below the first centroid the estimate is 0 values; above the last, all
  of them.  Nothing is known beyond the extreme centroids, so ``quantile``
  answers the first centroid for every q up to half the first bucket's
  share and the last centroid from half the last bucket's share on.
- An infinite centroid is used as it is: interpolating towards it gives
  that infinity.
"""
import bisect
import heapq
import math
from typing import (TYPE_CHECKING, Any, Iterable, List, NamedTuple,
                    Sequence, Tuple, Union, overload)

from velbrook.centroid_histogram.bucket_summarizer import (
    CentroidBucket, CentroidHistogram)

if TYPE_CHECKING:  # pragma: no cover
    import numpy

__all__ = ["cdf", "quantile", "merge", "total", "mean", "centroids",
           "counts"]

# A histogram as the builders return it, or (centroid, count) pairs.
HistogramLike = Union[CentroidHistogram, Sequence[Tuple[float, int]],
                      Sequence[CentroidBucket]]


class _Sorted(NamedTuple):
    """The buckets that take part, in order of their centroids, and the
    count at or before each centroid under the trapezoid rule."""
    centroids: List[float]
    counts: List[float]
    below: List[float]  # Σ counts before i + counts[i] / 2
    total: float


def _pairs(histogram: Any) -> List[Tuple[float, Any]]:
    buckets = getattr(histogram, "buckets", histogram)
    pairs = []
    for bucket in buckets:
        centroid, count = float(bucket[0]), bucket[1]
        if count < 0:
            raise ValueError("bucket counts must be >= 0, not %r" % (count,))
        pairs.append((centroid, count))
    return pairs


def _sorted(histogram: Any) -> _Sorted:
    usable = sorted((p for p in _pairs(histogram)
                     if p[1] > 0 and not math.isnan(p[0])),
                    key=lambda p: p[0])
    # Buckets at one centroid answer as one bucket of their total count.
    centroids: List[float] = []
    counts: List[float] = []
    for c, n in usable:
        if centroids and centroids[-1] == c:
            counts[-1] += float(n)
        else:
            centroids.append(c)
            counts.append(float(n))
    below, seen = [], 0.0
    for n in counts:
        below.append(seen + n / 2)
        seen += n
    return _Sorted(centroids, counts, below, seen)


def _empty() -> ValueError:
    return ValueError("the histogram has no bucket with a count above 0 "
                      "and a centroid")


def total(histogram: HistogramLike) -> int:
    """The number of values the histogram stands for: the sum of all its
    counts, those of NaN centroids included."""
    return sum(int(n) for _, n in _pairs(histogram))


def mean(histogram: HistogramLike) -> float:
    """The count-weighted mean of the centroids (buckets of count 0 and
    NaN centroids left out).  Raises ValueError when none is left."""
    h = _sorted(histogram)
    if not h.counts:
        raise _empty()
    products = [c * n for c, n in zip(h.centroids, h.counts)]
    if all(math.isfinite(x) for x in products):
        return math.fsum(products) / h.total
    return sum(products) / h.total  # inf, or NaN for +inf with -inf


def _count_at_or_below(h: _Sorted, x: float) -> float:
    p = h.centroids
    if x < p[0]:
        return 0.0
    if x > p[-1]:
        return h.total
    # p[i] <= x < p[i + 1], or x at the last centroid.
    i = bisect.bisect_right(p, x) - 1
    if i == len(p) - 1:
        return h.below[i]
    m_i, m_next = h.counts[i], h.counts[i + 1]
    width = p[i + 1] - p[i]
    z = (x - p[i]) / width if math.isfinite(width) else 0.0
    m_x = m_i + (m_next - m_i) * z
    return h.below[i] + (m_i + m_x) / 2 * z


def cdf(histogram: HistogramLike, x: float, *, normalized: bool = True
        ) -> float:
    """The estimated fraction of the values at or below ``x`` (with
    ``normalized=False``, their estimated number).

    0 below the first centroid, all values above the last; in between the
    trapezoid rule.  Raises ValueError for a NaN ``x``, and, for the
    fraction, when the histogram has no bucket to estimate from."""
    x = float(x)
    if math.isnan(x):
        raise ValueError("cdf() of NaN")
    h = _sorted(histogram)
    if not h.counts:
        if normalized:
            raise _empty()
        return 0.0
    below = _count_at_or_below(h, x)
    return below / h.total if normalized else below


def _quantile(h: _Sorted, q: Any) -> float:
    q = float(q)
    if not 0.0 <= q <= 1.0:  # also NaN
        raise ValueError("quantile() q must be within [0, 1], not %r" % q)
    p, m, s = h.centroids, h.counts, h.below
    u = q * h.total
    if u <= s[0]:
        return p[0]
    if u >= s[-1]:
        return p[-1]
    i = bisect.bisect_right(s, u) - 1  # s[i] <= u < s[i + 1]
    d = u - s[i]
    # Solve (m[i+1] - m[i]) / 2 z^2 + m[i] z = d for z in [0, 1], in the
    # form that stays exact when the counts are equal (no division by
    # their difference) and when m[i] is 0.
    a = m[i + 1] - m[i]
    root = math.sqrt(max(m[i] * m[i] + 2 * a * d, 0.0))
    z = 2 * d / (m[i] + root) if m[i] + root > 0 else 0.0
    z = min(max(z, 0.0), 1.0)
    if z == 0.0:
        return p[i]
    if z == 1.0:
        return p[i + 1]
    return p[i] + (p[i + 1] - p[i]) * z


@overload
def quantile(histogram: HistogramLike, q: float) -> float: ...


@overload
def quantile(histogram: HistogramLike, q: Iterable[float]) -> List[float]:
    ...


def quantile(histogram: HistogramLike,
             q: Union[float, Iterable[float]]) -> Union[float, List[float]]:
    """The estimated value below which a fraction ``q`` (0 to 1) of the
    values lies; for a sequence of fractions, a list of such values.

    Inverts the trapezoid rule of ``cdf``; clamps to the first and last
    centroid, beyond which nothing is known.  Raises ValueError for a q
    outside [0, 1] or NaN, and for a histogram with no bucket to estimate
    from."""
    h = _sorted(histogram)
    if not h.counts:
        raise _empty()
    if isinstance(q, (int, float)) or not hasattr(q, "__iter__"):
        return _quantile(h, q)
    return [_quantile(h, one) for one in q]


def _merge_two(pairs: List[Tuple[float, int]], max_size: int
               ) -> List[Tuple[float, int]]:
    """Sorts the buckets by centroid and merges the two closest
    neighbours (the leftmost of equally close pairs) until ``max_size``
    are left; a merge keeps the count-weighted mean."""
    pairs.sort(key=lambda p: p[0])
    n = len(pairs)
    centroid = [c for c, _ in pairs]
    count = [k for _, k in pairs]
    alive = [True] * n
    left = list(range(-1, n - 1))
    right = list(range(1, n + 1))

    def gap(i: int, j: int) -> float:
        return 0.0 if centroid[i] == centroid[j] else \
            centroid[j] - centroid[i]

    heap = [(gap(i, i + 1), i, i + 1) for i in range(n - 1)]
    heapq.heapify(heap)
    size = n
    while size > max_size and heap:
        _, i, j = heapq.heappop(heap)
        if not (alive[i] and alive[j] and right[i] == j):
            continue  # a stale pair: one of its buckets has merged
        k = count[i] + count[j]
        centroid[i] = (centroid[i] * count[i] + centroid[j] * count[j]) / k
        count[i] = k
        alive[j] = False
        right[i] = right[j]
        if right[j] < n:
            left[right[j]] = i
            heapq.heappush(heap, (gap(i, right[j]), i, right[j]))
        if left[i] >= 0:
            heapq.heappush(heap, (gap(left[i], i), left[i], i))
        size -= 1
    return [(centroid[i], count[i]) for i in range(n) if alive[i]]


def merge(histograms: Iterable[HistogramLike], max_size: int
          ) -> CentroidHistogram:
    """One histogram of at most ``max_size`` buckets from many, as the
    streaming histogram merges two: the union of the buckets, then the
    closest neighbours merged until ``max_size`` are left; the histograms
    are merged into the result one after the other, in the order given.

    Because every step trims, the result depends on that order (and on
    the order of buckets with equal centroids).  Buckets of count 0 and
    NaN centroids are left out.  Returns a ``CentroidHistogram``."""
    max_size = int(max_size)
    if max_size < 1:
        raise ValueError("merge() max_size must be >= 1")
    merged: List[Tuple[float, int]] = []
    for histogram in histograms:
        merged = _merge_two(
            merged + [(c, int(n)) for c, n in _pairs(histogram)
                      if n > 0 and not math.isnan(c)], max_size)
    return CentroidHistogram(max_size, [CentroidBucket(float(c), n)
                                        for c, n in merged])


def centroids(histogram: HistogramLike) -> "numpy.ndarray[Any, Any]":
    """The centroids in stored order, as a numpy float64 array (numpy is
    needed only here)."""
    import numpy
    return numpy.array([c for c, _ in _pairs(histogram)],
                       dtype=numpy.float64)


def counts(histogram: HistogramLike) -> "numpy.ndarray[Any, Any]":
    """The counts in stored order, as a numpy uint64 array."""
    import numpy
    return numpy.array([int(n) for _, n in _pairs(histogram)],
                       dtype=numpy.uint64)
