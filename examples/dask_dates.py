"""velbrook on Dask: a partitioned CSV dataset whose date column becomes
epoch seconds in each partition, and a centroid histogram of its numeric
column built per partition and merged into one.

    python examples/dask_dates.py [FOLDER] [--cluster N] [--capacity K]

FOLDER (default: a temporary folder) receives a small dataset when it holds
none.  With --cluster N the work runs on a local dask.distributed cluster
of N worker processes, so every partition's result is pickled back to this
process; without it, in this process alone.  Either way the output is the
same: velbrook needs nothing on the workers but its installed package.

Needs dask[dataframe] (with pandas and numpy), and distributed for
--cluster."""
import argparse
import collections
import csv
import datetime
import glob
import os
import random
import sys
import tempfile

import dask
import dask.dataframe as dd
import numpy as np
import pandas as pd

from velbrook.centroid_histogram.bucket_summarizer import (
    histogram_from_buckets, histogram_from_values)
from velbrook.columns import date2int

DATE_FORMAT = b"%Y-%m-%d %H:%M:%S"
# What a date that is missing or does not parse becomes; numpy reads the
# int64 minimum as NaT.
MISSING = -2 ** 63

Result = collections.namedtuple(
    "Result", "frame partition_histograms histogram")
Result.__doc__ = """frame: the whole dataset as one pandas DataFrame with
the added `seconds` column, partitions in order; partition_histograms: one
CentroidHistogram of `amount` per partition, in order; histogram: their
merge."""


def make_dataset(folder, partitions=4, rows=2000, seed=20240601):
    """Writes `partitions` CSV files part-000.csv, ... into `folder`, each
    of `rows` lines `when,amount`: times 61 s apart from 2020-01-01, one in
    500 left empty and one in 997 malformed, and amounts from two normal
    distributions.  Returns the file names in partition order."""
    os.makedirs(folder, exist_ok=True)
    rng = random.Random(seed)
    start = datetime.datetime(2020, 1, 1)
    names = []
    for p in range(partitions):
        name = os.path.join(folder, "part-%03d.csv" % p)
        with open(name, "w", newline="") as f:
            out = csv.writer(f)
            out.writerow(["when", "amount"])
            for r in range(rows):
                i = p * rows + r
                when = (start + datetime.timedelta(seconds=61 * i)).strftime(
                    DATE_FORMAT.decode())
                if i % 500 == 499:
                    when = ""
                elif i % 997 == 996:
                    when = when.replace(" ", "T")
                amount = rng.gauss(10.0, 2.0) if rng.random() < 0.7 \
                    else rng.gauss(25.0, 5.0)
                out.writerow([when, repr(amount)])
        names.append(name)
    return names


def dataset_files(folder):
    """The dataset's files in partition order, written first if `folder`
    holds none."""
    names = sorted(glob.glob(os.path.join(folder, "part-*.csv")))
    return names or make_dataset(folder)


def convert_dates(partition, fmt=DATE_FORMAT, column="when", threads=1):
    """The partition with a `seconds` column: `column` through date2int,
    MISSING where a date is empty or malformed.  One thread per partition:
    Dask already runs as many partitions at once as it has cores."""
    seconds = date2int(partition[column], fmt, errors="coerce",
                       fill=MISSING, threads=threads)
    # A zero-copy int64 view of the column; pandas keeps the array alive.
    return partition.assign(
        seconds=pd.Series(np.asarray(seconds), index=partition.index))


def partition_histogram(partition, max_size, column="amount"):
    """The centroid histogram of one partition's `column`."""
    values = partition[column].to_numpy(dtype=np.float64)
    return histogram_from_values(max_size, values)


def merge_histograms(max_size, histograms):
    """One histogram from the buckets of `histograms`, fed as (centroid,
    count) pairs in the order given.  A bounded centroid histogram merges
    its nearest centroids as it goes, so another order of the same
    histograms can give other buckets: callers keep partition order."""
    pairs = [(bucket.centroid, bucket.count)
             for histogram in histograms for bucket in histogram.buckets]
    return histogram_from_buckets(max_size, pairs)


def read_dataset(folder):
    """The dataset as a Dask DataFrame, one partition per file."""
    return dd.read_csv(dataset_files(folder), dtype={"when": str,
                                                     "amount": np.float64},
                       blocksize=None)


def run(folder, max_size=16, scheduler="sync"):
    """Converts and summarises the dataset in `folder`.  `scheduler` is
    what dask.compute takes: "sync" for this process alone, or a
    distributed Client.  The dataset is read once: the conversion and the
    per-partition histograms are one graph."""
    frame = read_dataset(folder)
    meta = pd.DataFrame({name: pd.Series([], dtype=dtype)
                         for name, dtype in frame.dtypes.items()})
    meta["seconds"] = pd.Series([], dtype=np.int64)
    parts = frame.map_partitions(convert_dates, meta=meta).to_delayed()
    histograms = [dask.delayed(partition_histogram)(part, max_size)
                  for part in parts]
    done = dask.compute(*parts, *histograms, scheduler=scheduler)
    per_partition = list(done[len(parts):])
    return Result(pd.concat(done[:len(parts)]), per_partition,
                  merge_histograms(max_size, per_partition))


def local_cluster(workers):
    """A dask.distributed LocalCluster of `workers` worker processes of one
    thread each, dashboard off."""
    from distributed import LocalCluster

    return LocalCluster(n_workers=workers, threads_per_worker=1,
                        processes=True, dashboard_address=None)


def ship_to(client):
    """Workers have velbrook installed but not this file.  Run as a script,
    its functions travel by value; imported as a module, they travel by
    name, so the workers get the file to import."""
    if __name__ != "__main__":
        client.upload_file(os.path.abspath(__file__))


def report(result, out=None):
    """Prints what the run found to `out` (default: standard output)."""
    out = out or sys.stdout
    frame = result.frame
    seconds = frame["seconds"].to_numpy()
    good = seconds != MISSING
    # Epoch seconds are datetime64[s] as they are: a view, no conversion.
    times = seconds[good].view("datetime64[s]")
    print("%d rows in %d partitions, %d dates missing or malformed"
          % (len(frame), len(result.partition_histograms),
             int((~good).sum())), file=out)
    print("dates from %s to %s" % (times.min(), times.max()), file=out)
    histogram = result.histogram
    print("amount: %d buckets (capacity %d)"
          % (len(histogram.buckets), histogram.max_size), file=out)
    for bucket in histogram.buckets:
        print("%14.6g %8d" % (bucket.centroid, bucket.count), file=out)


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("folder", nargs="?",
                        help="dataset folder (default: a temporary one)")
    parser.add_argument("--cluster", type=int, metavar="N", default=0,
                        help="run on a local cluster of N worker processes")
    parser.add_argument("--capacity", type=int, default=16,
                        help="buckets of the histogram (default 16)")
    args = parser.parse_args(argv)
    with tempfile.TemporaryDirectory() as scratch:
        folder = args.folder or scratch
        if args.cluster:
            from distributed import Client

            with local_cluster(args.cluster) as cluster, \
                    Client(cluster) as client:
                ship_to(client)
                result = run(folder, args.capacity, scheduler=client)
        else:
            result = run(folder, args.capacity)
        report(result)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
