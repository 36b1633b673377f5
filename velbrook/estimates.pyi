from typing import Any, Iterable, List, Sequence, Tuple, Union, overload

import numpy

from velbrook.centroid_histogram.bucket_summarizer import (
    CentroidBucket, CentroidHistogram)

__all__ = ["cdf", "quantile", "merge", "total", "mean", "centroids",
           "counts"]

# A histogram as the builders return it, or (centroid, count) pairs.
HistogramLike = Union[CentroidHistogram, Sequence[Tuple[float, int]],
                      Sequence[CentroidBucket]]

def total(histogram: HistogramLike) -> int: ...
def mean(histogram: HistogramLike) -> float: ...
def cdf(histogram: HistogramLike, x: float, *,
        normalized: bool = ...) -> float: ...
@overload
def quantile(histogram: HistogramLike, q: float) -> float: ...
@overload
def quantile(histogram: HistogramLike,
             q: Iterable[float]) -> List[float]: ...
def merge(histograms: Iterable[HistogramLike],
          max_size: int) -> CentroidHistogram: ...
def centroids(histogram: HistogramLike) -> numpy.ndarray[Any, Any]: ...
def counts(histogram: HistogramLike) -> numpy.ndarray[Any, Any]: ...
