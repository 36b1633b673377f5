import collections as collections
from typing import (Any, Dict, Iterable, List, NamedTuple, Optional,
                    Sequence, SupportsFloat, SupportsInt)

# A capacity or a count: an int, or anything with __int__ (floats truncate).
_Size = SupportsInt

class CentroidBucket(NamedTuple):
    centroid: float
    count: int  # type: ignore[assignment]  # shadows tuple.count

class CentroidHistogram(NamedTuple):
    max_size: int
    buckets: List[CentroidBucket]

__pyx_capi__: Dict[str, Any]
__test__: Dict[Any, Any]

def isnan(__x: SupportsFloat) -> bool: ...

# None and NaN values are skipped.
def histogram_from_values(
    max_size: _Size, values: Iterable[Optional[SupportsFloat]]
) -> CentroidHistogram: ...

# Each bucket's items 0 and 1 are read as (centroid, count); later items
# are ignored.
def histogram_from_buckets(
    max_size: _Size, buckets: Iterable[Sequence[Any]]
) -> CentroidHistogram: ...
