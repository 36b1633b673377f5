"""The command-line filters: conversions line by line, bad lines reported
with their position while the good ones still come out."""
import datetime
import io
import os
import re
import signal
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


def test_histogram_capacity_zero_is_reported(capsys):
    # A usage error since capacities are checked by the argument parser.
    with pytest.raises(SystemExit) as exit:
        run(["histogram", "-n", "0"], "1\n")
    assert exit.value.code == 2
    assert "expected a whole number from 1 to" in capsys.readouterr().err


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
        assert "$ velbrook %s" % command in proc.stdout
    assert "1614834367" in proc.stdout
    assert "4000 values" in proc.stdout


# The real console script, as a user runs it.

SCRIPT = os.path.join(os.path.dirname(sys.executable), "velbrook")
needs_script = pytest.mark.skipif(not os.path.exists(SCRIPT),
                                  reason="velbrook console script not "
                                         "installed beside the interpreter")


def velbrook(args, stdin=b"", env=None, **kw):
    """Runs the console script away from the source tree; bytes in and
    out."""
    return subprocess.run([SCRIPT] + args, input=stdin,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          cwd=os.path.abspath(os.sep),
                          env=dict(os.environ, **(env or {})), **kw)


@needs_script
@pytest.mark.parametrize("command", [
    [SCRIPT], [sys.executable, "-m", "velbrook"]])
def test_version(command):
    import velbrook as package
    proc = subprocess.run(command + ["--version"], stdout=subprocess.PIPE,
                          cwd=os.path.abspath(os.sep))
    assert proc.returncode == 0
    assert proc.stdout == b"velbrook %s\n" % package.__version__.encode()


def test_version_matches_the_installed_metadata():
    metadata = pytest.importorskip("importlib.metadata")
    import velbrook as package
    assert metadata.version("velbrook") == package.__version__


@needs_script
@pytest.mark.parametrize("names, out, reports", [
    (["missing", "good"], b"737853\n",
     ["{missing}: No such file or directory"]),
    (["good", "folder", "good"], b"737853\n737853\n",
     ["{folder}: Is a directory"]),
    (["missing", "missing", "good"], b"737853\n",
     ["{missing}: No such file or directory"] * 2),
    (["good", "latin1", "good"], b"737853\n737853\n",
     ["{latin1}:1: 'utf-8' codec can't decode byte 0xe9 in position 11: "
      "invalid continuation byte"]),
    # Opens, then fails to read.
    (["memory", "good"], b"737853\n", ["{memory}: Input/output error"]),
])
def test_unreadable_files_and_lines_are_reported_and_the_rest_converted(
        tmp_path, names, out, reports):
    paths = {"missing": tmp_path / "missing.txt", "good": tmp_path / "a.txt",
             "folder": tmp_path, "latin1": tmp_path / "b.txt",
             "memory": "/proc/self/mem"}
    if "memory" in names and not os.path.exists(paths["memory"]):
        pytest.skip("no /proc/self/mem")
    paths["good"].write_bytes(b"2021-03-04\n")
    paths["latin1"].write_bytes(b"2021-03-04 \xe9t\xe9\n")
    proc = velbrook(["date2int", "-f", "%Y-%m-%d"]
                    + [str(paths[n]) for n in names])
    assert (proc.returncode, proc.stdout) == (1, out)
    assert proc.stderr.decode() == "".join(
        "velbrook date2int: %s\n" % r.format(**paths) for r in reports)


@needs_script
def test_an_output_that_cannot_be_written_is_reported():
    if not os.path.exists("/dev/full"):
        pytest.skip("no /dev/full")
    with open("/dev/full", "wb") as full:
        proc = subprocess.run([SCRIPT, "date2int", "-f", "%Y"],
                              input=b"2021\n", stdout=full,
                              stderr=subprocess.PIPE)
    assert proc.returncode == 1
    assert proc.stderr == (b"velbrook date2int: <stdout>: "
                           b"No space left on device\n")


STRICT_LOCALE = {"LC_ALL": "C", "LANG": "C", "PYTHONUTF8": "0",
                 "PYTHONCOERCECLOCALE": "0", "PYTHONIOENCODING": ""}


@needs_script
@pytest.mark.parametrize("args, stdin, out", [
    (["date2int", "-f", "%Y-%m-%d"], b"2021-03-04\n\xff\n2021-03-05\n",
     b"737853\n737854\n"),
    (["int2time", "-f", "%Y"], b"737853\n7378\xc353\n737854\n",
     b"2021-03-04 00:00:00\n2021-03-05 00:00:00\n"),
    (["histogram", "-n", "2", "--width", "4"], b"1\n\xfe\n3\n",
     b"2 buckets (capacity 2), 2 values\n"
     b"             1          1  ####\n"
     b"             3          1  ####\n"),
])
def test_a_line_that_is_not_utf8_is_one_bad_line(args, stdin, out):
    proc = velbrook(args, stdin, env=STRICT_LOCALE)
    assert (proc.returncode, proc.stdout) == (1, out)
    assert proc.stderr.startswith(
        b"velbrook %s: <stdin>:2: 'utf-8' codec can't decode byte 0x"
        % args[0].encode())
    assert proc.stderr.count(b"\n") == 1


@needs_script
def test_utf8_text_converts_under_a_strict_locale():
    proc = velbrook(["date2int", "-f", "%d %B %Y \xe0 %H:%M"],
                    "04 March 2021 \xe0 05:06\n".encode(), env=STRICT_LOCALE)
    assert (proc.returncode, proc.stdout, proc.stderr) == (
        0, b"1614834360\n", b"")


@needs_script
@pytest.mark.parametrize("args, err", [
    (["date2int", "-f", "%Y-%m-%d", "{missing}", "{dates}"],
     "velbrook date2int: {missing}: No such file or directory\n"),
    (["int2time", "-f", "%Y-%m-%d %H:%M:%S", "{seconds}"], ""),
    (["int2time", "-f", "%M", "-o", "%d/%m/%Y", "{seconds}"], ""),
])
def test_a_closed_output_ends_the_run_quietly_like_cat(tmp_path, args, err):
    files = {"missing": tmp_path / "missing.txt",
             "dates": tmp_path / "dates.txt",
             "seconds": tmp_path / "seconds.txt"}
    files["dates"].write_text("2021-03-04\n" * 200000)
    files["seconds"].write_text("1614834367\n" * 200000)
    proc = subprocess.Popen([SCRIPT] + [a.format(**files) for a in args],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            cwd=str(tmp_path))
    first = proc.stdout.readline()
    proc.stdout.close()  # as `| head -1` does
    # Killed by SIGPIPE, as cat is: a shell shows status 141.
    assert proc.wait(timeout=60) == -signal.SIGPIPE
    assert proc.stderr.read().decode() == err.format(**files)
    assert len(first) > 1 and first.endswith(b"\n")
    proc.stderr.close()


@needs_script
@pytest.mark.parametrize("fmt, layout, stdin, out", [
    ("%Y-%m-%d %H:%M:%S", "%d/%m/%Y %H:%M", b"1614834367\n",
     b"04/03/2021 05:06\n"),
    ("%Y-%m-%d", "%A %d %B %Y", b"737853\n", b"Thursday 04 March 2021\n"),
    ("v2%Y-%m-%d %H:%M:%S.%f", "%H:%M:%S.%f", b"1614834367123\n-500\n",
     b"05:06:07.123000\n23:59:59.500000\n"),
    # The layout only changes the look: the default is the former output.
    ("%Y-%m-%d %H:%M:%S", "%Y-%m-%d %H:%M:%S", b"0\n",
     b"1970-01-01 00:00:00\n"),
])
def test_int2time_output_layout(fmt, layout, stdin, out):
    proc = velbrook(["int2time", "--format", fmt, "--output-format", layout],
                    stdin)
    assert (proc.returncode, proc.stdout, proc.stderr) == (0, out, b"")


@needs_script
def test_int2time_reports_an_instant_the_layout_cannot_show():
    # Year 0 is fine in the default layout but has no datetime.
    proc = velbrook(["int2time", "-f", "%Y", "-o", "%Y"], b"0\n1\n")
    # How a year below 1000 is written depends on the Python version.
    year_1 = datetime.datetime(1, 1, 1).strftime("%Y").encode()
    assert (proc.returncode, proc.stdout) == (1, year_1 + b"\n")
    assert proc.stderr.startswith(b"velbrook int2time: <stdin>:1: year ")


@needs_script
def test_int2time_help_names_the_encoding_format_and_the_layout():
    help_text = velbrook(["int2time", "--help"]).stdout.decode()
    flat = " ".join(help_text.split())
    # (3.13 shows "--format, -f FMT", older versions "--format FMT, -f FMT")
    assert re.search(r"-f FMT the encoding format", flat)
    assert "does not change how the output looks" in flat
    assert "--output-format" in flat and "strftime-style layout" in flat


@needs_script
def test_one_bad_pair_is_reported_by_its_line_and_the_rest_kept():
    proc = velbrook(["histogram", "--pairs", "--width", "2"],
                    b"1 1\n2 -1\n3 1\n")
    assert proc.returncode == 1
    assert proc.stdout == (b"2 buckets (capacity 16), 2 values\n"
                           b"             1          1  ##\n"
                           b"             3          1  ##\n")
    assert proc.stderr == (b"velbrook histogram: <stdin>:2: count must be "
                           b"0 to 18446744073709551615, got -1\n")


@needs_script
@pytest.mark.parametrize("args, message", [
    (["histogram", "--capacity", "-3"],
     b"argument --capacity/-n: expected a whole number from 1 to "
     b"18446744073709551615, got '-3'"),
    (["histogram", "-n", "0"], b"argument --capacity/-n: expected"),
    (["histogram", "-n", "2.5"], b"argument --capacity/-n: expected"),
    (["histogram", "-n", str(2 ** 64)], b"argument --capacity/-n: expected"),
    (["histogram", "--width", "-3"],
     b"argument --width: expected a whole number >= 0, got '-3'"),
    (["int2time", "-f", "%M", "-o", b"%H \xff".decode("utf-8",
                                                    "surrogateescape")],
     b"argument --output-format/-o: "),
    (["int2time"], b"the following arguments are required: --format"),
    ([], b"required: command"),
    (["tail"], b"invalid choice: 'tail'"),
])
def test_usage_errors_exit_2_before_reading_input(args, message):
    if "-o" in args:
        layout = args[args.index("-o") + 1]
        try:
            datetime.datetime(2000, 1, 1).strftime(layout)
        except ValueError:
            pass  # refused here, so the command line must refuse it too
        else:
            pytest.skip("this Python's strftime accepts %r" % layout)
    args = [os.fsencode(a) for a in args]
    proc = subprocess.run([os.fsencode(SCRIPT)] + args, input=b"1\n",
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    assert (proc.returncode, proc.stdout) == (2, b"")
    assert proc.stderr.startswith(b"usage: velbrook")
    assert message in proc.stderr


class Terminal(io.StringIO):
    def isatty(self):
        return True


@pytest.mark.parametrize("command, stderr_is_a_terminal, stdout_is_one, "
                         "shown", [
    ("date2int", True, False, True),
    ("date2int", False, False, False),
    ("date2int", True, True, False),  # the results show the progress
    ("histogram", True, True, True),  # prints only at the end
])
def test_progress_line_only_on_a_terminal(monkeypatch, command,
                                          stderr_is_a_terminal,
                                          stdout_is_one, shown):
    import velbrook.cli as cli
    monkeypatch.setattr(cli, "PROGRESS_AFTER", 0.0)
    monkeypatch.setattr(cli, "PROGRESS_EVERY", 0.0)
    err = Terminal() if stderr_is_a_terminal else io.StringIO()
    out = Terminal() if stdout_is_one else io.StringIO()
    argv = {"date2int": ["date2int", "-f", "%Y"],
            "histogram": ["histogram"]}[command]
    status = main(argv, stdin=io.StringIO("2021\nx\n2022\n"), stdout=out,
                  stderr=err)
    assert status == 1
    text = err.getvalue()
    report = "velbrook %s: <stdin>:2: " % command
    assert report in text
    if not shown:
        assert text.startswith(report) and "\r" not in text
        return
    progress = "\rvelbrook %s: <stdin>, line " % command
    assert text.startswith(progress + "1")
    assert progress + "3" in text
    # Erased before a report, and at the end.
    before, after = text.split(report)
    assert before.endswith("\r")
    assert re.search(r"line 3\r {%d}\r$" % len(progress[1:] + "3"), after)
