"""Pure-Python reference model of the bounded centroid histogram.

Used by differential tests against the native module.  Buckets come back
as ``(centroid, count)`` tuples.  Python floats are IEEE doubles and Python
never fuses a multiply with an add, so the model's arithmetic is rounded
exactly like the native code's; counts are kept modulo 2**64.
"""

import bisect
import math

COUNT_MODULUS = 2 ** 64
MAX_CAPACITY = COUNT_MODULUS - 1

# Largest element count the C++ standard library's vector accepts for a
# 16-byte bucket on the build toolchain (PTRDIFF_MAX // 16).  Reserving more
# than this fails with the container's own "vector::reserve" error.
VECTOR_MAX_ELEMENTS = (2 ** 63 - 1) // 16

SIZE_MESSAGE = "histogram size must be >= 1"
RESERVE_MESSAGE = "vector::reserve"


def _divide(numerator, denominator):
    """IEEE division by a non-negative divisor.

    Python raises on division by zero; hardware gives NaN for 0/0 and NaN/0
    and a signed infinity otherwise.  The divisor is a converted unsigned
    count, so a zero divisor is always +0.0.
    """
    if denominator != 0.0:
        return numerator / denominator
    if math.isnan(numerator) or numerator == 0.0:
        return math.nan
    return math.copysign(math.inf, numerator)


def merged(first, second):
    """Merge two ``(centroid, count)`` pairs into their weighted mean."""
    c1, n1 = first
    c2, n2 = second
    total = (n1 + n2) % COUNT_MODULUS
    # Each product is its own rounded double; the divisor is the wrapped
    # integer total, not float(n1) + float(n2).
    weighted = float(n1) * c1 + float(n2) * c2
    return (_divide(weighted, float(total)), total)


def _lexicographic_less(xs, ys):
    """Tuple ``<`` as C++ defines it: a part decides only when strictly less.

    Python's own tuple comparison tests equality first, so a NaN part would
    decide there (``nan == nan`` is false) instead of falling through.
    """
    for x, y in zip(xs, ys):
        if x < y:
            return True
        if y < x:
            return False
    return False


class _Ordered(object):
    """Bucket wrapper so that ``bisect`` orders by (centroid, count)."""

    __slots__ = ("centroid", "count")

    def __init__(self, centroid, count):
        self.centroid = centroid
        self.count = count

    def __lt__(self, other):
        return _lexicographic_less((self.centroid, self.count),
                                   (other.centroid, other.count))


def _pair_key(buckets, index):
    left, right = buckets[index], buckets[index + 1]
    return (
        right.centroid - left.centroid,
        (left.count + right.count) % COUNT_MODULUS,
        left.centroid,
        # The index negated, read as an unsigned 64-bit number: pair 0
        # keeps 0 and so cannot be beaten on it, later pairs beat earlier
        # ones from pair 1 on.
        (-index) % COUNT_MODULUS,
    )


def pair_to_merge(buckets):
    """Index of the left bucket of the pair the histogram merges next.

    ``buckets`` is a sequence of ``(centroid, count)`` with at least two
    entries.  The scan is strictly left to right against the running best,
    because with NaN parts the comparison is not transitive.
    """
    wrapped = [_Ordered(c, n) for c, n in buckets]
    best = 0
    best_key = _pair_key(wrapped, 0)
    for index in range(1, len(wrapped) - 1):
        key = _pair_key(wrapped, index)
        if _lexicographic_less(key, best_key):
            best, best_key = index, key
    return best


def check_capacity(max_size):
    """Raise as the native constructor would for an unusable capacity.

    Only the deterministic failures are modelled; whether memory for a
    large but permitted reservation exists is up to the machine.
    """
    if not 0 <= max_size <= MAX_CAPACITY:
        raise OverflowError("capacity out of unsigned 64-bit range")
    if max_size == 0:
        raise ValueError(SIZE_MESSAGE)
    if (max_size + 1) % COUNT_MODULUS > VECTOR_MAX_ELEMENTS:
        raise ValueError(RESERVE_MESSAGE)


class ModelHistogram(object):
    """Incremental model: push values or buckets, read ``buckets()``."""

    def __init__(self, max_size):
        check_capacity(max_size)
        self.max_size = max_size
        self._buckets = []

    def push_bucket(self, centroid, count):
        if not 0 <= count < COUNT_MODULUS:
            raise OverflowError("count out of unsigned 64-bit range")
        new = _Ordered(float(centroid), count)
        # bisect_right probes exactly like the native halving search, which
        # matters once merges leave the list slightly out of order.
        position = bisect.bisect_right(self._buckets, new)
        self._buckets.insert(position, new)
        if len(self._buckets) > self.max_size:
            plain = self.buckets()
            index = pair_to_merge(plain)
            centroid, count = merged(plain[index], plain[index + 1])
            self._buckets[index:index + 2] = [_Ordered(centroid, count)]

    def push_value(self, value):
        self.push_bucket(value, 1)

    def buckets(self):
        return [(b.centroid, b.count) for b in self._buckets]


def model_histogram(max_size, buckets):
    """Histogram of ``(centroid, count)`` pairs, fed in order."""
    histogram = ModelHistogram(max_size)
    for centroid, count in buckets:
        histogram.push_bucket(centroid, count)
    return histogram.buckets()


def model_histogram_values(max_size, values, skip_missing=False):
    """Histogram of single observations, each a bucket of count 1.

    With ``skip_missing`` the builder's input filter is applied: ``None``
    and NaN values are dropped before they reach the histogram.
    """
    histogram = ModelHistogram(max_size)
    for value in values:
        if skip_missing and (value is None or math.isnan(value)):
            continue
        histogram.push_value(float(value))
    return histogram.buckets()
