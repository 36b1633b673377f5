from typing import List

from velbrook.columns import Int64Column as Int64Column
from velbrook.columns import date2int as date2int
from velbrook.estimates import cdf as cdf
from velbrook.estimates import centroids as centroids
from velbrook.estimates import counts as counts
from velbrook.estimates import mean as mean
from velbrook.estimates import merge as merge
from velbrook.estimates import quantile as quantile
from velbrook.estimates import total as total

__version__: str

def __dir__() -> List[str]: ...
