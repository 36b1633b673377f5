"""The command-line filters: conversions line by line, bad lines reported
with their position while the good ones still come out."""
import io
import os
import subprocess
import sys

import pytest

from velbrook.cli import main, render_histogram


def run(argv, text=""):
    out, err = io.StringIO(), io.StringIO()
    status = main(argv, stdin=io.StringIO(text), stdout=out, stderr=err)
    return status, out.getvalue(), err.getvalue()


@pytest.mark.parametrize("argv, text, expected", [
    (["int2time", "-f", "%Y-%m-%d %H:%M:%S"], "0\n1614834367\n",
     "1970-01-01 00:00:00\n2021-03-04 05:06:07\n"),
    (["int2time", "-f", "%Y-%m-%d"], "737853\n", "2021-03-04 00:00:00\n"),
    (["int2time", "-f", "v2%Y-%m-%d %H:%M:%S.%f"], "1614834367123\n-500\n",
     "2021-03-04 05:06:07.123\n1969-12-31 23:59:59.500\n"),
    (["date2int", "-f", "%Y-%m-%d %H:%M:%S"], "2021-03-04 05:06:07 +0100\n",
     "1614834367\n"),
    (["date2int", "-f", "%Y-%m-%d"], "2021-03-04\r\n", "737853\n"),
    (["date2int", "--safe", "-f", "%Y"], "garbage\n1999\n",
     "-1\n729755\n"),
])
def test_filters_convert_each_line(argv, text, expected):
    assert run(argv, text) == (0, expected, "")


@pytest.mark.parametrize("argv, text, out, bad_line", [
    (["int2time", "-f", "%M"], "1\nx\n2\n",
     "1970-01-01 00:00:01\n1970-01-01 00:00:02\n", "<stdin>:2: "),
    (["int2time", "-f", "%Y"], "99999999999999999999\n0\n",
     "0000-12-31 00:00:00\n", "<stdin>:1: "),
    (["date2int", "-f", "%Y-%m-%d"], "2021-03-04\n2021-13-01\n",
     "737853\n", "<stdin>:2: failed to read date from fmt"),
    (["date2int", "--skip-tz", "-f", "%Y-%m-%d %H:%M"],
     "2021-03-04 05:06 +0100\n", "",
     "<stdin>:1: failed to read date from fmt"),
])
def test_bad_lines_are_reported_and_good_lines_kept(argv, text, out,
                                                     bad_line):
    status, stdout, stderr = run(argv, text)
    assert status == 1
    assert stdout == out
    assert bad_line in stderr
    assert stderr.startswith("velbrook %s: " % argv[0])


def test_files_are_read_in_order_with_their_names(tmp_path):
    first, second = tmp_path / "a.txt", tmp_path / "b.txt"
    first.write_text("0\n")
    second.write_text("86400\nnope\n")
    status, out, err = run(["int2time", "-f", "%M", str(first),
                            str(second)])
    assert status == 1
    assert out == "1970-01-01 00:00:00\n1970-01-02 00:00:00\n"
    assert "%s:2: " % second in err


def test_histogram_bars_scale_with_counts():
    status, out, err = run(["histogram", "-n", "2", "--width", "10"],
                           "1\n2\n10\n\n")
    assert (status, err) == (0, "")
    lines = out.splitlines()
    assert lines[0] == "2 buckets (capacity 2), 3 values"
    assert lines[1].split()[:2] == ["1.5", "2"]
    assert lines[1].endswith(" " + "#" * 10)
    assert lines[2].endswith(" " + "#" * 5)


def test_histogram_pairs_and_bad_pairs():
    status, out, err = run(["histogram", "-n", "5", "--pairs"],
                           "1.0 2\n0.0 0\n3.0\n")
    assert status == 1
    assert "<stdin>:3: expected 'centroid count'" in err
    assert out.splitlines()[0] == "2 buckets (capacity 5), 2 values"


def test_histogram_capacity_zero_is_reported():
    status, out, err = run(["histogram", "-n", "0"], "1\n")
    assert status == 1 and out == ""
    assert "histogram size must be >= 1" in err


def test_render_of_an_empty_histogram():
    from velbrook.centroid_histogram.bucket_summarizer import (
        histogram_from_values)
    assert render_histogram(histogram_from_values(3, [])) == \
        "0 buckets (capacity 3), 0 values\n"


def test_demo_runs_every_command_in_a_fresh_interpreter():
    proc = subprocess.run([sys.executable, "-I", "-m", "velbrook", "demo"],
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          universal_newlines=True, cwd=os.path.dirname(
                              os.path.dirname(os.path.abspath(__file__))))
    assert proc.returncode == 0, proc.stderr
    assert proc.stderr == ""
    for command in ("date2int", "int2time", "histogram"):
        assert "$ python -m velbrook %s" % command in proc.stdout
    assert "1614834367" in proc.stdout
    assert "4000 values" in proc.stdout
