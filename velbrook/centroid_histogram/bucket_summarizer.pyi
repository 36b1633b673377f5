import collections as collections
from typing import (Any, Dict, Iterable, List, NamedTuple, Optional,
                    Protocol, SupportsFloat, SupportsInt)

# A capacity or a count: an int, or anything with __int__ (floats truncate).
_Size = SupportsInt

class _Pair(Protocol):
    """A (centroid, count) bucket: item 0 is read as a float, item 1 as a
    count through __int__; later items are ignored."""
    def __getitem__(self, __index: int) -> Any: ...

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

def histogram_from_buckets(
    max_size: _Size, buckets: Iterable[_Pair]
) -> CentroidHistogram: ...
