"""Integers back to calendar records and naive datetime objects, and
datetime objects to epoch seconds. Everything is UTC."""
import datetime
from typing import (Any, Callable, Dict, NamedTuple, SupportsFloat,
                    SupportsInt, Union)

# Formats are bytes, never str; bytes after a NUL are ignored.
_Format = Union[bytes, bytearray]

class struct_time(NamedTuple):
    tm_year: int
    tm_mon: int
    tm_mday: int
    tm_hour: int
    tm_min: int
    tm_sec: int
    tm_wday: int  # Monday = 0
    tm_yday: int  # 1 January = 1
    tm_isdst: int
    tm_milli_sec: int  # -999..999, 0 unless the format selects milliseconds

namedtuple: Callable[..., Any]
__pyx_capi__: Dict[str, Any]
__test__: Dict[Any, Any]

# Integers are taken through __int__, so a float is truncated. The three
# one-argument functions take no keywords: their parameters are
# positional-only.
def int2time(x: SupportsInt, fmt: _Format) -> struct_time: ...
def fromordinal(__x: SupportsInt) -> datetime.datetime: ...
def utcfromtimestamp(__x: SupportsFloat) -> datetime.datetime: ...
def totimestamp(__dt: datetime.datetime) -> int: ...
