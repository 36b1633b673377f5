"""Command-line filters over one value per line.

    velbrook int2time  --format FMT [--output-format LAYOUT] [FILE ...]
    velbrook date2int  --format FMT [--skip-tz] [--safe] [FILE ...]
    velbrook histogram --capacity N [--pairs] [--width W] [FILE ...]
    velbrook demo
    velbrook --version

`python -m velbrook` is the same program.  Input comes from the named
files ("-" or none: standard input) and is read as bytes, each line as
UTF-8; output goes to standard output as UTF-8.  A line that cannot be
converted, a line that is not UTF-8 among them, is reported on standard
error as "file:line: message" and the other lines are still converted; a
file that cannot be opened or read is reported and the next one is read.
The exit status is then 1 at the end, 2 for a usage error, 0 otherwise.
When standard output is closed early (`velbrook ... | head -1`) the
program ends silently the way `cat` does: killed by SIGPIPE, which a shell
shows as status 141.
"""
import argparse
import datetime
import os
import signal
import sys
import time

import velbrook

_DATA = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data")

# A run shows a progress line once it has lasted this long (seconds), and
# refreshes it at most this often.
PROGRESS_AFTER = 2.0
PROGRESS_EVERY = 0.25

# What a shell reports for a process killed by SIGPIPE.
EXIT_BROKEN_PIPE = 128 + getattr(signal, "SIGPIPE", 13)

_SIZE_MAX = 2 ** 64 - 1  # capacities and counts are size_t in the modules


class _Progress:
    """A self-erasing line on a terminal's standard error: shown only once
    a run has lasted PROGRESS_AFTER seconds."""

    def __init__(self, command, stream):
        self.command = command
        self.stream = stream
        self.due = time.monotonic() + PROGRESS_AFTER
        self.shown = 0  # width of the line now on the terminal

    def tick(self, name, number):
        now = time.monotonic()
        if now < self.due:
            return
        self.due = now + PROGRESS_EVERY
        text = "velbrook %s: %s, line %d" % (self.command, name, number)
        self.stream.write("\r" + text.ljust(self.shown))
        self.stream.flush()
        self.shown = len(text)

    def clear(self):
        if self.shown:
            self.stream.write("\r" + " " * self.shown + "\r")
            self.stream.flush()
            self.shown = 0


class _Session:
    """One run of a command: reads its inputs, reports bad lines and
    unreadable files on standard error and counts them."""

    def __init__(self, command, stderr, output=None, progress=False):
        self.command = command
        self.stderr = stderr
        self.output = output
        self.bad = 0
        self.progress = _Progress(command, stderr) if progress else None

    def report(self, where, error):
        self.bad += 1
        if self.progress:
            self.progress.clear()
        if self.output:
            # The lines before it first, so that with both streams on one
            # terminal or file a report stands after them.
            self.output.flush()
        if isinstance(error, OSError) and error.strerror:
            message = error.strerror  # as cat says it, without the errno
        else:
            message = str(error) or type(error).__name__
        self.stderr.write("velbrook %s: %s: %s\n" % (self.command, where,
                                                      message))

    def lines(self, paths, stdin):
        """Yields (where, text) for every UTF-8 line of the inputs, its
        line ending removed; reports the others and skips them."""
        for path in paths or ["-"]:
            if path == "-":
                name, close = "<stdin>", False
                # The bytes under a text stream; a caller's own text
                # stream (tests, embedding code) is read as text.
                stream = getattr(stdin, "buffer", stdin)
                if stream is None:
                    self.report(name, "standard input is closed")
                    continue
            else:
                name, close = path, True
                try:
                    stream = open(path, "rb")
                except OSError as error:
                    self.report(path, error)
                    continue
            lines = iter(stream)
            number = 0
            try:
                while True:
                    # Only reading is guarded: an error of the output or of
                    # standard error ends the run in main.
                    try:
                        line = next(lines)
                    except StopIteration:
                        break
                    except OSError as error:
                        self.report(name, error)
                        break
                    number += 1
                    if self.progress:
                        self.progress.tick(name, number)
                    where = "%s:%d" % (name, number)
                    if isinstance(line, bytes):
                        try:
                            line = line.rstrip(b"\r\n").decode("utf-8")
                        except UnicodeDecodeError as error:
                            self.report(where, error)
                            continue
                    else:
                        line = line.rstrip("\r\n")
                    yield where, line
            finally:
                if close:
                    stream.close()

    def done(self):
        if self.progress:
            self.progress.clear()


class _Output:
    """Writes text as UTF-8 to the bytes under a text stream (so the
    locale cannot refuse a character), or to a caller's own text stream."""

    def __init__(self, stream):
        self.text = stream
        self.binary = getattr(stream, "buffer", None)
        # A terminal sees each line at once, as with a text stream.
        self.eager = _isatty(stream)

    def write(self, text):
        if self.binary is None:
            self.text.write(text)
        else:
            self.binary.write(text.encode("utf-8", "surrogateescape"))
        if self.eager:
            self.flush()

    def flush(self):
        (self.text if self.binary is None else self.binary).flush()


def _isatty(stream):
    try:
        return stream.isatty()
    except (AttributeError, ValueError, OSError):
        return False


def _format_time(t, milliseconds):
    text = "%04d-%02d-%02d %02d:%02d:%02d" % tuple(t[:6])
    if not milliseconds:
        return text
    ms = t.tm_milli_sec
    if ms >= 0:
        return "%s.%03d" % (text, ms)
    # Before 1970 the milliseconds come back negative: show the instant.
    try:
        instant = _instant(t)
    except (ValueError, OverflowError):
        return "%s%+04d ms" % (text, ms)
    return instant.strftime("%Y-%m-%d %H:%M:%S.") + "%03d" % (
        instant.microsecond // 1000)


def _instant(t):
    """The datetime of a struct_time from int2time, its milliseconds (which
    are negative before 1970) applied; ValueError outside years 1..9999."""
    return datetime.datetime(*t[:6]) + datetime.timedelta(
        milliseconds=t.tm_milli_sec)


def _int2time(args, stdin, stdout, session):
    from velbrook.intToTime.ordinal_unfolder import int2time

    fmt = os.fsencode(args.format)
    # The module knows which formats carry milliseconds: 1 read with such
    # a format is one millisecond.
    milliseconds = int2time(1, fmt).tm_milli_sec == 1
    layout = args.output_format
    for where, line in session.lines(args.files, stdin):
        try:
            t = int2time(int(line), fmt)
            if layout is None:
                text = _format_time(t, milliseconds)
            else:
                text = _instant(t).strftime(layout)
        except (ValueError, TypeError, OverflowError) as error:
            session.report(where, error)
            continue
        stdout.write(text + "\n")


def _date2int(args, stdin, stdout, session):
    from velbrook.dateToInt.calendar_text_codec import (
        date2intSafeWrapper, date2intWrapper)

    convert = date2intSafeWrapper if args.safe else date2intWrapper
    fmt = os.fsencode(args.format)
    for where, line in session.lines(args.files, stdin):
        try:
            value = convert(line, fmt, args.skip_tz)
        except (ValueError, TypeError, UnicodeError) as error:
            session.report(where, error)
            continue
        stdout.write("%d\n" % value)


def _read_histogram_input(args, stdin, session):
    for where, line in session.lines(args.files, stdin):
        if not line.strip():
            continue
        try:
            if not args.pairs:
                yield float(line)
                continue
            parts = line.split()
            if len(parts) != 2:
                raise ValueError("expected 'centroid count', got %r" % line)
            centroid, count = float(parts[0]), int(parts[1])
            # Checked here, so that one bad pair is reported as its line
            # instead of failing the whole histogram.
            if not 0 <= count <= _SIZE_MAX:
                raise ValueError("count must be 0 to %d, got %s"
                                 % (_SIZE_MAX, parts[1]))
            yield centroid, count
        except ValueError as error:
            session.report(where, error)


def _histogram(args, stdin, stdout, session):
    from velbrook.centroid_histogram.bucket_summarizer import (
        histogram_from_buckets, histogram_from_values)

    build = histogram_from_buckets if args.pairs else histogram_from_values
    try:
        result = build(args.capacity, _read_histogram_input(args, stdin,
                                                            session))
    except (ValueError, OverflowError, TypeError, MemoryError) as error:
        session.report("capacity %s" % args.capacity, error)
        return
    session.done()
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
        lines.append(("%14.6g %10d  %s" % (b.centroid, b.count,
                                            "#" * bar)).rstrip())
    return "\n".join(lines) + "\n"


def _demo(args, stdin, stdout, session):
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
        stdout.write("$ velbrook %s %s\n" % (
            command, " ".join(_quote(a) for a in shown)))
        sub = _parser().parse_args([command] + argv)
        sub.run(sub, stdin, stdout, session)
        stdout.write("\n")


def _quote(arg):
    return "'%s'" % arg if any(c in arg for c in " %$") else arg


def _whole_number(low, high=None):
    """An argparse type: a decimal integer from low to high (if given)."""
    wanted = ("a whole number >= %d" % low if high is None
              else "a whole number from %d to %d" % (low, high))

    def parse(text):
        try:
            value = int(text)
        except ValueError:
            value = None
        if value is None or value < low or (high is not None
                                            and value > high):
            raise argparse.ArgumentTypeError("expected %s, got %r"
                                             % (wanted, text))
        return value
    return parse


def _layout(text):
    """An argparse type: a strftime layout that datetime accepts."""
    try:
        datetime.datetime(2000, 1, 1).strftime(text)
    except (ValueError, UnicodeError) as error:
        raise argparse.ArgumentTypeError("%r: %s" % (text, error))
    return text


def _parser():
    parser = argparse.ArgumentParser(
        prog="velbrook",
        description="Time-zone-free date conversions and centroid "
                    "histograms, one value per line.")
    parser.add_argument("--version", action="version",
                        version="velbrook %s" % velbrook.__version__)
    sub = parser.add_subparsers(dest="command")
    sub.required = True

    p = sub.add_parser(
        "int2time", help="integers to date and time text",
        description="Integers, one per line, back to date and time text.")
    p.add_argument("--format", "-f", required=True, metavar="FMT",
                   help="the encoding format: the date format the integers "
                        "were written with (as given to date2int); it "
                        "selects epoch seconds, epoch milliseconds or day "
                        "ordinals, and does not change how the output looks "
                        "(see --output-format)")
    p.add_argument("--output-format", "-o", type=_layout, metavar="LAYOUT",
                   help="strftime-style layout of each output line, such as "
                        "'%%d/%%m/%%Y %%H:%%M' (%%f prints microseconds); "
                        "default '%%Y-%%m-%%d %%H:%%M:%%S', with '.' and "
                        "three digits of milliseconds when FMT selects "
                        "milliseconds")
    p.add_argument("files", nargs="*", metavar="FILE",
                   help="input files (default: stdin)")
    p.set_defaults(run=_int2time)

    p = sub.add_parser("date2int", help="date text to integers",
                       description="Date text, one per line, to integers.")
    p.add_argument("--format", "-f", required=True, metavar="FMT",
                   help="strptime-style format of the dates")
    p.add_argument("--skip-tz", action="store_true",
                   help="keep a trailing numeric zone such as +0100 in the "
                        "text instead of removing it")
    p.add_argument("--safe", action="store_true",
                   help="print -1 for a date that does not parse instead "
                        "of reporting it")
    p.add_argument("files", nargs="*", metavar="FILE",
                   help="input files (default: stdin)")
    p.set_defaults(run=_date2int)

    p = sub.add_parser("histogram", help="summarise numbers as a centroid "
                                         "histogram")
    p.add_argument("--capacity", "-n", type=_whole_number(1, _SIZE_MAX),
                   default=16, metavar="N",
                   help="largest number of buckets (default 16)")
    p.add_argument("--pairs", action="store_true",
                   help="lines hold 'centroid count' pairs instead of "
                        "single values")
    p.add_argument("--width", type=_whole_number(0), default=50,
                   metavar="W",
                   help="length of the longest bar (default 50)")
    p.add_argument("files", nargs="*", metavar="FILE",
                   help="input files (default: stdin)")
    p.set_defaults(run=_histogram)

    p = sub.add_parser("demo", help="run every command on bundled examples")
    p.set_defaults(run=_demo)
    return parser


def main(argv=None, stdin=None, stdout=None, stderr=None):
    """Runs one command and returns its exit status: 0, 1 when a line or a
    file was reported, EXIT_BROKEN_PIPE when the output was closed early,
    130 on an interrupt.  A usage error raises SystemExit(2)."""
    stdin = stdin or sys.stdin
    stdout = stdout or sys.stdout
    stderr = stderr or sys.stderr
    args = _parser().parse_args(argv)
    # Progress only where nothing else shows that the run is alive: not
    # while the results themselves scroll past on the same terminal.
    progress = _isatty(stderr) and (args.command == "histogram"
                                    or not _isatty(stdout))
    output = _Output(stdout)
    session = _Session(args.command, stderr, output, progress)
    try:
        args.run(args, stdin, output, session)
        session.done()
        output.flush()
    except BrokenPipeError:
        return EXIT_BROKEN_PIPE
    except OSError as error:  # the output cannot be written: a full disk
        session.output = None
        session.report("<stdout>", error)
        return 1
    except KeyboardInterrupt:
        session.done()
        return 130
    return 1 if session.bad else 0


def console_main():
    """The `velbrook` command and `python -m velbrook`."""
    status = main()
    if status == EXIT_BROKEN_PIPE and hasattr(signal, "SIGPIPE"):
        # End as cat does when its reader goes away: by the signal itself,
        # and without the interpreter's exit flushing into the closed pipe.
        signal.signal(signal.SIGPIPE, signal.SIG_DFL)
        os.kill(os.getpid(), signal.SIGPIPE)
    sys.exit(status)
