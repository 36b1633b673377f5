from typing import Any, Dict, Iterable, List, Optional, SupportsInt, Union

__test__: Dict[Any, Any]

# A column of date texts: str items (None, NaN, NaT or pandas.NA for a
# missing value), a numpy unicode array, or an Arrow string array (anything
# with __arrow_c_array__ or __arrow_c_stream__).
_Texts = Union[Iterable[Optional[Union[str, float]]], Any]

# Iterates through __getitem__; numpy.asarray(column) is an int64 view.
class Int64Column:
    def __new__(cls, values: Iterable[SupportsInt] = ...) -> "Int64Column": ...
    def __len__(self) -> int: ...
    def __getitem__(self, __index: int) -> int: ...
    def tolist(self) -> List[int]: ...

def date2int(
    texts: _Texts,
    fmt: Union[bytes, bytearray],
    *,
    skip_tz: object = False,
    errors: str = "raise",
    fill: int = ...,
    threads: Optional[int] = None,
) -> Int64Column: ...
