"""Date text to integers and naive datetime objects, through a format of
strptime-style conversions given as bytes. Everything is UTC."""
from datetime import datetime
from re import search as search, sub as sub
from typing import Any, Dict, Protocol, Union

# Formats are bytes, never str; bytes after a NUL are ignored.
_Format = Union[bytes, bytearray]

class _Text(Protocol):
    """A date: a str, or anything whose encode() gives its UTF-8 bytes."""
    def encode(self) -> Union[bytes, bytearray]: ...

# A trailing numeric zone such as " +0100" or "-05"; removed (not applied)
# by date2intWrapper and date2intSafeWrapper when the format contains "%M"
# and skip_tz is false. Rebinding it changes later calls.
TZ_REGEXP: str

__pyx_capi__: Dict[str, Any]
__test__: Dict[Any, Any]

# `x` is typed as any object because a format with "%M" (and skip_tz
# false) parses str(x); every other format needs a _Text and raises
# AttributeError for an object without encode().
def date2intWrapper(x: object, fmt: _Format, skip_tz: object = False) -> int:
    """Epoch seconds, epoch milliseconds ("v2" formats with "%f") or a day
    ordinal (formats without "%M") of the date in `x`; ValueError when the
    text does not match the format."""

def date2intSafeWrapper(
    x: object, fmt: _Format, skip_tz: object = False
) -> int:
    """As date2intWrapper, but -1 where it raises ValueError for a text that
    does not match or a year of 0."""

def strptime(x: _Text, fmt: _Format) -> datetime:
    """The naive datetime, with microseconds, of the date in `x`."""
