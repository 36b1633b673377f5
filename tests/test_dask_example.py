"""examples/dask_dates.py on a dask.distributed cluster of two worker
processes gives what it gives in one process: the same integers, which are
date2intWrapper's element for element, and the same histograms, pickled
back from the workers."""
import importlib.util
import math
import os
import sys

import pytest

for _name in ("pandas", "dask.dataframe", "distributed"):
    pytest.importorskip(_name, reason="%s is not installed on this "
                        "interpreter" % _name)

import pandas as pd  # noqa: E402
from distributed import Client  # noqa: E402

from velbrook.centroid_histogram.bucket_summarizer import (  # noqa: E402
    histogram_from_buckets, histogram_from_values)
from velbrook.dateToInt.calendar_text_codec import (  # noqa: E402
    date2intWrapper)

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PARTITIONS, ROWS, CAPACITY = 4, 1500, 16


def _load_example():
    # Under the name it has on the workers, which get the file from it.
    spec = importlib.util.spec_from_file_location(
        "dask_dates", os.path.join(ROOT, "examples", "dask_dates.py"))
    module = importlib.util.module_from_spec(spec)
    sys.modules[spec.name] = module
    spec.loader.exec_module(module)
    return module


example = _load_example()


def _columns_location():
    import velbrook.columns
    return os.path.realpath(velbrook.columns.__file__)


# A lambda travels by value; this module is not importable on the workers.
_worker_columns_location = lambda: _columns_location()  # noqa: E731


@pytest.fixture(scope="module")
def folder(tmp_path_factory):
    folder = str(tmp_path_factory.mktemp("dataset"))
    example.make_dataset(folder, partitions=PARTITIONS, rows=ROWS)
    return folder


@pytest.fixture(scope="module")
def runs(folder):
    """{"single": Result, "cluster": Result}, and where each worker
    imported velbrook.columns from."""
    single = example.run(folder, CAPACITY, scheduler="sync")
    with example.local_cluster(2) as cluster, Client(cluster) as client:
        example.ship_to(client)
        clustered = example.run(folder, CAPACITY, scheduler=client)
        locations = client.run(_worker_columns_location)
    return {"single": single, "cluster": clustered}, locations


def test_workers_import_the_installed_package(runs):
    _, locations = runs
    assert len(locations) == 2
    assert set(locations.values()) == {_columns_location()}
    # Not the source tree's package (the venvs may live inside the clone).
    source = os.path.join(os.path.realpath(ROOT), "velbrook") + os.sep
    assert not _columns_location().startswith(source)


@pytest.mark.parametrize("part", [
    lambda r: r.frame,
    lambda r: r.partition_histograms,
    lambda r: r.histogram,
], ids=["frame", "partition histograms", "merged histogram"])
def test_cluster_gives_what_one_process_gives(runs, part):
    results, _ = runs
    single, clustered = part(results["single"]), part(results["cluster"])
    if isinstance(single, pd.DataFrame):
        pd.testing.assert_frame_equal(clustered, single)
    else:
        assert clustered == single


def _expected_seconds(text):
    if not isinstance(text, str):  # an empty field, read as missing
        return example.MISSING
    try:
        return date2intWrapper(text, example.DATE_FORMAT)
    except ValueError:
        return example.MISSING


@pytest.mark.parametrize("name", ["single", "cluster"])
def test_seconds_are_date2intWrapper_element_for_element(runs, name):
    frame = runs[0][name].frame
    assert len(frame) == PARTITIONS * ROWS
    got = [int(s) for s in frame["seconds"]]
    assert got == [_expected_seconds(t) for t in frame["when"]]
    # Both paths taken: good dates, empty fields and malformed text.
    missing = got.count(example.MISSING)
    assert 0 < frame["when"].isna().sum() < missing < len(got) // 50


@pytest.mark.parametrize("name", ["single", "cluster"])
def test_histograms_follow_the_partitions_in_order(runs, name):
    result = runs[0][name]
    amounts = [float(a) for a in result.frame["amount"]]
    per_partition = [histogram_from_values(
        CAPACITY, amounts[p * ROWS:(p + 1) * ROWS]) for p in range(PARTITIONS)]
    assert result.partition_histograms == per_partition
    pairs = [(b.centroid, b.count) for h in per_partition for b in h.buckets]
    assert result.histogram == histogram_from_buckets(CAPACITY, pairs)
    assert sum(b.count for b in result.histogram.buckets) == len(amounts)
    assert len(result.histogram.buckets) == CAPACITY


def test_main_reports_in_one_process(folder, capsys):
    assert example.main([folder, "--capacity", "4"]) == 0
    lines = capsys.readouterr().out.splitlines()
    assert lines[0].startswith("%d rows in %d partitions, "
                               % (PARTITIONS * ROWS, PARTITIONS))
    assert lines[2] == "amount: 4 buckets (capacity 4)"
    counts = [int(line.split()[1]) for line in lines[3:]]
    assert len(counts) == 4 and sum(counts) == PARTITIONS * ROWS
    assert all(math.isfinite(float(line.split()[0])) for line in lines[3:])
