"""Runs every benchmark of the installed package:

    python benchmarks/run.py            # all modules
    python benchmarks/run.py time date  # some of them

Each line gives CPU ns per call (median of 7 runs) of a velbrook function, of
its nearest standard-library equivalent, and the ratio (how many times
faster velbrook is)."""
import importlib
import os
import platform
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

SUITES = ["time", "date", "histogram", "columns", "threads"]


def main(argv):
    chosen = argv or SUITES
    print("CPython %s on %s" % (platform.python_version(), platform.machine()))
    for name in chosen:
        try:
            suite = importlib.import_module("bench_" + name)
        except ImportError as error:
            print("\n%s: skipped (%s)" % (name, error))
            continue
        suite.main()


if __name__ == "__main__":
    main(sys.argv[1:])
