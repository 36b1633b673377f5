import datetime
from typing import Any, Callable, Dict, NamedTuple, Union

_Format = Union[bytes, bytearray]

class struct_time(NamedTuple):
    tm_year: int
    tm_mon: int
    tm_mday: int
    tm_hour: int
    tm_min: int
    tm_sec: int
    tm_wday: int
    tm_yday: int
    tm_isdst: int
    tm_milli_sec: int

namedtuple: Callable[..., Any]
__pyx_capi__: Dict[str, Any]
__test__: Dict[Any, Any]

def int2time(x: int, fmt: _Format) -> struct_time: ...
def fromordinal(x: int) -> datetime.datetime: ...
def utcfromtimestamp(x: float) -> datetime.datetime: ...
def totimestamp(dt: datetime.datetime) -> int: ...
