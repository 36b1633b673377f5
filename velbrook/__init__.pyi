from typing import List

from velbrook.columns import Int64Column as Int64Column
from velbrook.columns import date2int as date2int

__version__: str

def __dir__() -> List[str]: ...
