"""Fast, time-zone-free date conversions and centroid histograms."""

__version__ = "0.1.0"

# Names served from the package's modules, each imported on first use so
# that `import velbrook` imports nothing: name -> module under velbrook.
# A module that adds names adds one line each here, and in __init__.pyi.
_LAZY = {
    "date2int": "columns",
    "Int64Column": "columns",
    "cdf": "estimates",
    "quantile": "estimates",
    "merge": "estimates",
    "total": "estimates",
    "mean": "estimates",
    "centroids": "estimates",
    "counts": "estimates",
}


def __getattr__(name):
    module = _LAZY.get(name)
    if module is None:
        raise AttributeError("module %r has no attribute %r"
                             % (__name__, name))
    from importlib import import_module
    value = getattr(import_module("." + module, __name__), name)
    globals()[name] = value  # found directly from now on
    return value


def __dir__():
    return sorted(set(globals()) | set(_LAZY))
