from typing import (Any, Dict, Iterable, Iterator, List, Optional,
                    SupportsInt, Tuple, Union, overload)

from typing_extensions import SupportsIndex

__test__: Dict[Any, Any]

# A column of date texts: str items (None, NaN or pandas.NA for a missing
# value), a numpy unicode array, or an Arrow string array (anything with
# __arrow_c_array__ or __arrow_c_stream__).
_Texts = Union[Iterable[Optional[Union[str, float]]], Any]
# A format: str (UTF-8) or bytes.
_Format = Union[str, bytes, bytearray]

# numpy.asarray(column) is an int64 view; the converters return numpy,
# pyarrow, pandas or polars objects, typed Any so that none of those
# libraries is needed to type-check code that uses the column.
class Int64Column:
    def __new__(
        cls,
        values: Iterable[SupportsInt] = ...,
        unit: Optional[str] = None,
        mask: Optional[Iterable[object]] = None,
    ) -> "Int64Column": ...
    def __len__(self) -> int: ...
    @overload
    def __getitem__(self, __index: SupportsIndex) -> int: ...
    @overload
    def __getitem__(self, __index: slice) -> "Int64Column": ...
    def __iter__(self) -> Iterator[int]: ...
    def tolist(self) -> List[int]: ...
    @property
    def unit(self) -> Optional[str]: ...
    @property
    def null_count(self) -> int: ...
    @property
    def dtype(self) -> Any: ...
    @property
    def shape(self) -> Tuple[int]: ...
    @property
    def ndim(self) -> int: ...
    def is_null(self) -> memoryview: ...
    def null_indices(self) -> "Int64Column": ...
    def to_numpy(self, datetime: bool = False) -> Any: ...
    def to_arrow(self, datetime: bool = False) -> Any: ...
    def to_pandas(
        self, datetime: bool = False, index: Any = None, name: Any = None
    ) -> Any: ...
    def to_polars(self, datetime: bool = False, name: str = "") -> Any: ...
    def __array__(
        self, dtype: Any = None, copy: Optional[bool] = None
    ) -> Any: ...
    def __arrow_array__(self, type: Any = None) -> Any: ...
    def __arrow_c_schema__(self) -> object: ...
    def __arrow_c_array__(
        self, requested_schema: Optional[object] = None
    ) -> Tuple[object, object]: ...

@overload
def date2int(
    texts: _Texts,
    fmt: _Format,
    *,
    skip_tz: object = False,
    errors: str = "raise",
    fill: Optional[SupportsInt] = None,
    threads: Optional[SupportsInt] = None,
    format: None = None,
) -> Int64Column: ...
@overload
def date2int(
    texts: _Texts,
    fmt: None = None,
    *,
    skip_tz: object = False,
    errors: str = "raise",
    fill: Optional[SupportsInt] = None,
    threads: Optional[SupportsInt] = None,
    format: _Format,
) -> Int64Column: ...
