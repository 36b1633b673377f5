"""Command-line filters over one value per line.

    python -m velbrook int2time  --format FMT [FILE ...]
    python -m velbrook date2int  --format FMT [--skip-tz] [--safe] [FILE ...]
    python -m velbrook histogram --capacity N [--pairs] [--width W] [FILE ...]
    python -m velbrook demo

Input comes from the named files ("-" or none: standard input), output goes
to standard output.  A line that cannot be converted is reported on
standard error with its file and line number; the other lines are still
converted, and the exit status is 1 at the end.
"""
import argparse
import datetime
import os
import sys

_DATA = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data")


class _Report:
    """Counts bad lines and reports them on standard error."""

    def __init__(self, command, stderr):
        self.command = command
        self.stderr = stderr
        self.bad = 0

    def __call__(self, where, error):
        self.bad += 1
        message = str(error) or type(error).__name__
        self.stderr.write("velbrook %s: %s: %s\n" % (self.command, where,
                                                      message))


def _lines(paths, stdin):
    """Yields (where, text) for every line of the inputs, newline removed."""
    for path in paths or ["-"]:
        if path == "-":
            stream, name, close = stdin, "<stdin>", False
        else:
            stream = open(path, encoding="utf-8", errors="surrogateescape")
            name, close = path, True
        try:
            for number, line in enumerate(stream, 1):
                yield "%s:%d" % (name, number), line.rstrip("\r\n")
        finally:
            if close:
                stream.close()


def _format_time(t, milliseconds):
    text = "%04d-%02d-%02d %02d:%02d:%02d" % tuple(t[:6])
    if not milliseconds:
        return text
    ms = t.tm_milli_sec
    if ms >= 0:
        return "%s.%03d" % (text, ms)
    # Before 1970 the milliseconds come back negative: show the instant.
    try:
        instant = datetime.datetime(*t[:6]) + datetime.timedelta(
            milliseconds=ms)
    except (ValueError, OverflowError):
        return "%s%+04d ms" % (text, ms)
    return instant.strftime("%Y-%m-%d %H:%M:%S.") + "%03d" % (
        instant.microsecond // 1000)


def _int2time(args, stdin, stdout, report):
    from velbrook.intToTime.ordinal_unfolder import int2time

    fmt = os.fsencode(args.format)
    milliseconds = fmt.startswith(b"v2") and b"%f" in fmt[2:]
    for where, line in _lines(args.files, stdin):
        try:
            value = int(line)
            stdout.write(_format_time(int2time(value, fmt), milliseconds)
                         + "\n")
        except (ValueError, TypeError, OverflowError) as error:
            report(where, error)


def _date2int(args, stdin, stdout, report):
    from velbrook.dateToInt.calendar_text_codec import (
        date2intSafeWrapper, date2intWrapper)

    convert = date2intSafeWrapper if args.safe else date2intWrapper
    fmt = os.fsencode(args.format)
    for where, line in _lines(args.files, stdin):
        try:
            stdout.write("%d\n" % convert(line, fmt, args.skip_tz))
        except (ValueError, TypeError, UnicodeError) as error:
            report(where, error)


def _read_histogram_input(args, stdin, report):
    for where, line in _lines(args.files, stdin):
        if not line.strip():
            continue
        try:
            if not args.pairs:
                yield float(line)
                continue
            parts = line.split()
            if len(parts) != 2:
                raise ValueError("expected 'centroid count', got %r" % line)
            yield float(parts[0]), int(parts[1])
        except ValueError as error:
            report(where, error)


def _histogram(args, stdin, stdout, report):
    from velbrook.centroid_histogram.bucket_summarizer import (
        histogram_from_buckets, histogram_from_values)

    build = histogram_from_buckets if args.pairs else histogram_from_values
    try:
        result = build(args.capacity, _read_histogram_input(args, stdin,
                                                            report))
    except (ValueError, OverflowError, TypeError) as error:
        report("capacity %s" % args.capacity, error)
        return
    stdout.write(render_histogram(result, args.width))


def render_histogram(result, width=50):
    """The buckets of a histogram, one per line, each with a bar scaled to
    its count."""
    buckets = result.buckets
    total = sum(b.count for b in buckets)
    top = max((b.count for b in buckets), default=0)
    lines = ["%d buckets (capacity %d), %d values"
             % (len(buckets), result.max_size, total)]
    for b in buckets:
        bar = int(round(width * b.count / top)) if top else 0
        lines.append("%14.6g %10d  %s" % (b.centroid, b.count, "#" * bar))
    return "\n".join(lines) + "\n"


def _demo(args, stdin, stdout, report):
    runs = [
        ("date2int", ["--format", "%Y-%m-%d %H:%M:%S",
                      os.path.join(_DATA, "dates.txt")]),
        ("int2time", ["--format", "%Y-%m-%d %H:%M:%S",
                      os.path.join(_DATA, "seconds.txt")]),
        ("int2time", ["--format", "v2%Y-%m-%d %H:%M:%S.%f",
                      os.path.join(_DATA, "milliseconds.txt")]),
        ("histogram", ["--capacity", "12",
                       os.path.join(_DATA, "values.txt")]),
    ]
    for command, argv in runs:
        shown = [os.path.relpath(a, _DATA) if a.startswith(_DATA) else a
                 for a in argv]
        stdout.write("$ python -m velbrook %s %s\n" % (
            command, " ".join(_quote(a) for a in shown)))
        sub = _parser().parse_args([command] + argv)
        sub.run(sub, stdin, stdout, report)
        stdout.write("\n")


def _quote(arg):
    return "'%s'" % arg if any(c in arg for c in " %$") else arg


def _parser():
    parser = argparse.ArgumentParser(
        prog="python -m velbrook",
        description="Time-zone-free date conversions and centroid "
                    "histograms, one value per line.")
    sub = parser.add_subparsers(dest="command")
    sub.required = True

    p = sub.add_parser("int2time", help="integers to date and time text")
    p.add_argument("--format", "-f", required=True,
                   help="the format the integers were written with; it "
                        "selects epoch seconds, milliseconds or day "
                        "ordinals")
    p.add_argument("files", nargs="*", help="input files (default: stdin)")
    p.set_defaults(run=_int2time)

    p = sub.add_parser("date2int", help="date text to integers")
    p.add_argument("--format", "-f", required=True,
                   help="strptime-style format of the dates")
    p.add_argument("--skip-tz", action="store_true",
                   help="keep a trailing numeric zone such as +0100 in the "
                        "text instead of removing it")
    p.add_argument("--safe", action="store_true",
                   help="print -1 for a date that does not parse instead "
                        "of reporting it")
    p.add_argument("files", nargs="*", help="input files (default: stdin)")
    p.set_defaults(run=_date2int)

    p = sub.add_parser("histogram", help="summarise numbers as a centroid "
                                         "histogram")
    p.add_argument("--capacity", "-n", type=int, default=16,
                   help="largest number of buckets (default 16)")
    p.add_argument("--pairs", action="store_true",
                   help="lines hold 'centroid count' pairs instead of "
                        "single values")
    p.add_argument("--width", type=int, default=50,
                   help="length of the longest bar (default 50)")
    p.add_argument("files", nargs="*", help="input files (default: stdin)")
    p.set_defaults(run=_histogram)

    p = sub.add_parser("demo", help="run every command on bundled examples")
    p.set_defaults(run=_demo)
    return parser


def main(argv=None, stdin=None, stdout=None, stderr=None):
    stdin = stdin or sys.stdin
    stdout = stdout or sys.stdout
    stderr = stderr or sys.stderr
    args = _parser().parse_args(argv)
    report = _Report(args.command, stderr)
    try:
        args.run(args, stdin, stdout, report)
    except OSError as error:
        report("input", error)
    except KeyboardInterrupt:
        return 130
    return 1 if report.bad else 0
