"""velbrook.columns: date2int over every kind of column, element for
element against date2intWrapper; its errors and arguments; Int64Column;
Ctrl-C during a long call; a call left over from a failed import."""
import array
import builtins
import enum
import gc
import math
import os
import pickle
import random
import re
import sys
import textwrap
import warnings

import pytest

from conftest import interrupted, optional
from velbrook.columns import Int64Column, date2int
from velbrook.dateToInt import calendar_text_codec as codec
from velbrook.dateToInt.calendar_text_codec import date2intWrapper

# Outside every encoding's range (day ordinals, epoch seconds and epoch
# milliseconds of years 0..9999), so a failure never passes for a value.
SENTINEL = -2 ** 62 + 12345
INT64_MIN = -2 ** 63


np = optional("numpy")
pa = optional("pyarrow")
pd = optional("pandas")
pl = optional("polars")


def is_missing(value):
    """None, NaN, NaT and pandas.NA of every kind: a missing element."""
    if value is None or (isinstance(value, float) and math.isnan(value)):
        return True
    if pd is not None and (value is pd.NA or value is pd.NaT):
        return True
    return np is not None and (
        (isinstance(value, np.inexact) and bool(value != value))
        or (isinstance(value, (np.datetime64, np.timedelta64))
            and bool(np.isnat(value))))


_oracle_cache = {}


def oracle(value, fmt, skip_tz):
    """What date2int must give for one element: date2intWrapper's value,
    or SENTINEL where it fails or the element is missing."""
    if is_missing(value):
        return SENTINEL
    # The type too: a str subclass equals the str of its characters, but
    # may not convert as that str does.
    key = (type(value), value, fmt, skip_tz)
    if key not in _oracle_cache:
        try:
            _oracle_cache[key] = date2intWrapper(value, fmt, skip_tz)
        except (ValueError, UnicodeEncodeError):
            _oracle_cache[key] = SENTINEL
    return _oracle_cache[key]


# --------------------------------------------------------------------------
# Random formats and texts.

PLAN_PIECES = ["%Y", "%m", "%d", "%H", "%M", "%S"]
OTHER_PIECES = ["%y", "%j", "%b", "%f", "%e", "%%", "%I", "%p"]
SEPARATORS = ["-", "/", ":", " ", "T", ".", "  ", ""]
MONTHS = ["Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep",
          "Oct", "Nov", "Dec"]

FIXED_FORMATS = [
    "%Y-%m-%d %H:%M:%S", "%d/%m/%Y %I:%M:%S %p", "%Y-%m-%dT%H:%M",
    "v2%Y-%m-%d %H:%M:%S.%f", "v2%Y-%m-%d %H:%M:%S", "%Y%m%d", "%Y-%m-%d",
    "%H:%M %p", "%H %p", "%I%p", "%p", "%d.%m.%Y %H:%M", "%Y-%m-%d  %H:%M",
    "%e %b %Y %H:%M", "%y%j %H%M%S", "%Y-%m-%d %H:%M:%S%%",
]


def tokens_of(fmt):
    """("lit", text) and ("conv", letter) items of a format."""
    out, i = [], 0
    if fmt.startswith("v2"):
        i = 2
    while i < len(fmt):
        if fmt[i] == "%" and i + 1 < len(fmt):
            out.append(("conv", fmt[i + 1]))
            i += 2
        else:
            out.append(("lit", fmt[i]))
            i += 1
    return out


def random_format(rng):
    if rng.random() < 0.6:
        # Fixed-width fields only: a format the fast path may take.
        pieces = rng.sample(PLAN_PIECES, rng.randint(1, 6))
        if rng.random() < 0.3:
            if "%H" in pieces and rng.random() < 0.5:
                pieces.append("%p")
            else:
                pieces = [p for p in pieces if p != "%H"] + ["%I", "%p"]
    else:
        pieces = [rng.choice(PLAN_PIECES + OTHER_PIECES)
                  for _ in range(rng.randint(1, 6))]
    fmt = pieces[0]
    for p in pieces[1:]:
        fmt += rng.choice(SEPARATORS) + p
    if rng.random() < 0.25:
        fmt = "v2" + fmt
    return fmt


def number(rng, value, width):
    if rng.random() < 0.05:
        width += rng.choice([-1, 1])  # one digit off
    return "%0*d" % (max(width, 1), value)


def pick(rng, usual, edges, p=0.06):
    return rng.choice(edges) if rng.random() < p else usual


def render(rng, tokens):
    """A text for `tokens`: a random instant, some fields out of range."""
    year = rng.choice([rng.randint(1, 9999)] * 6 + [0, 1, 9999,
                                                    rng.randint(1900, 2100)])
    month = pick(rng, rng.randint(1, 12), [0, 13, 19])
    day = pick(rng, rng.randint(1, 28), [0, 32, 29, 30, 31], 0.2)
    out = []
    for kind, c in tokens:
        if kind == "lit":
            out.append(c)
        elif c == "Y":
            out.append(number(rng, year, 4))
        elif c == "m":
            out.append(number(rng, month, 2))
        elif c == "d":
            out.append(number(rng, day, 2))
        elif c == "e":
            out.append(rng.choice(["%2d", "%d", "%02d"]) % day)
        elif c == "H":
            out.append(number(rng, pick(rng, rng.randint(0, 23), [24, 99]),
                              2))
        elif c == "I":
            out.append(number(rng, pick(rng, rng.randint(1, 12), [0, 13]),
                              2))
        elif c == "M":
            out.append(number(rng, pick(rng, rng.randint(0, 59), [60]), 2))
        elif c == "S":
            out.append(number(rng, pick(rng, rng.randint(0, 59),
                                        [60, 61, 62], 0.1), 2))
        elif c == "p":
            out.append(rng.choice(["AM", "PM", "am", "pm", "aM", "Pm",
                                   "A.M.", "XM"]))
        elif c == "y":
            out.append(number(rng, year % 100, 2))
        elif c == "j":
            out.append(number(rng, pick(rng, rng.randint(1, 366), [0, 367]),
                              3))
        elif c == "b":
            name = MONTHS[(month - 1) % 12]
            out.append(rng.choice([name, name.upper(), name.lower(),
                                   "Sept", "March"]))
        elif c == "f":
            out.append(str(rng.randint(0, 9999999))[:rng.choice(
                [1, 3, 6, 6, 7])])
        elif c == "%":
            out.append("%")
    return "".join(out)


ZONE_SUFFIXES = [" +0100", "-05", "+01", " -0530", "\u3000+01",
                 "\xa0-0530", " +01\n", "+01 ", "\t+1", " +", " +01:00",
                 " 0100", "\u2003\u2003-12", "+\u0661\u0662", "\x85+01"]
NON_ASCII = ["\xe9", "\xdf", "\u0662", "\uff12", "\u0130", "\u0131", "\u3000"]


def mutate(rng, text):
    """One change aimed at the edges of the fast path."""
    kind = rng.randrange(13)
    at = rng.randint(0, len(text))
    digits = [i for i, c in enumerate(text) if c.isdigit()]
    if kind == 0 and digits:  # one digit changed
        i = rng.choice(digits)
        return text[:i] + str(rng.randint(0, 9)) + text[i + 1:]
    if kind == 1:  # a character more or less
        if rng.random() < 0.5 and text:
            return text[:at - 1] + text[at:] if at else text[1:]
        return text[:at] + rng.choice("0 :-a") + text[at:]
    if kind == 2:  # an extra or a missing space
        spaces = [i for i, c in enumerate(text) if c == " "]
        if spaces and rng.random() < 0.5:
            i = rng.choice(spaces)
            return text[:i] + text[i + 1:]
        return text[:at] + " " + text[at:]
    if kind in (3, 4):
        return text + rng.choice(ZONE_SUFFIXES)
    if kind == 5:
        return text + "\n"
    if kind == 6:
        return text.swapcase()
    if kind == 7:
        return text[:at] + rng.choice(NON_ASCII) + text[at:]
    if kind == 8:
        return text[:at] + "\x00" + text[at:]
    if kind == 9:
        return ""
    if kind == 10:
        return text[:at]
    if kind == 11:
        return text + "\x00"
    return text[:at] + "\ud800" + text[at:]  # kept by str-based sources


# Stands for pandas.NA among the values (pandas may be missing, and
# pandas.NA refuses to be compared as a bool).
PANDAS_NA = "<pandas.NA>"

# The other missing values of numpy and pandas, made where the library is
# installed (else None), in the same way.
MISSING_KINDS = {
    "<numpy.float16 nan>": lambda: np.float16("nan"),
    "<numpy.float32 nan>": lambda: np.float32("nan"),
    "<numpy.float64 nan>": lambda: np.float64("nan"),
    "<numpy.longdouble nan>": lambda: np.longdouble("nan"),
    "<numpy.complex128 nan>": lambda: np.complex128(complex("nan")),
    "<numpy.datetime64 NaT>": lambda: np.datetime64("NaT", "s"),
    "<numpy.timedelta64 NaT>": lambda: np.timedelta64("NaT", "s"),
    "<pandas.NaT>": lambda: pd.NaT,
}


def missing_kind(name):
    library = pd if name.startswith("<pandas") else np
    return MISSING_KINDS[name]() if library is not None else None


def random_values(rng, fmt, count):
    """Texts for `fmt`, about a third of them changed, some missing."""
    tokens = tokens_of(fmt)
    values = []
    for _ in range(count):
        r = rng.random()
        if r < 0.04:
            values.append(rng.choice([None, float("nan"), PANDAS_NA]
                                     + sorted(MISSING_KINDS)))
            continue
        text = render(rng, tokens)
        for _ in range(rng.choice([0, 0, 0, 1, 1, 2])):
            text = mutate(rng, text)
        values.append(text)
    return values


def build_cases(seed=2024, formats=24, per_format=64):
    rng = random.Random(seed)
    fmts = FIXED_FORMATS + [random_format(rng) for _ in range(formats)]
    return [(fmt.encode(), random_values(rng, fmt, per_format))
            for fmt in fmts]


CASES = build_cases()
ROWS_FOR_TWO_THREADS = 4096 + 1  # more than one thread's share


SURROGATE = re.compile("[\ud800-\udfff]")
_plain_cache = {}


def plain(values, surrogates=True, missing="as is"):
    """`values` for a source: pandas.NA where it stands, lone surrogates
    replaced by a null where the source cannot hold them, and missing
    values as `missing` says."""
    key = (tuple(values), surrogates, missing)
    if key not in _plain_cache:
        out = []
        for v in values:
            if v == PANDAS_NA:
                v = pd.NA if pd is not None else None
            elif v in MISSING_KINDS:
                v = missing_kind(v)
            if (isinstance(v, str) and not surrogates
                    and SURROGATE.search(v)):
                v = None
            if is_missing(v) and missing != "as is":
                v = missing
            out.append(v)
        _plain_cache[key] = out
    return list(_plain_cache[key])


# --------------------------------------------------------------------------
# Sources: each turns values into a column and gives back the elements as
# the column holds them (numpy drops trailing NULs, Arrow has no NaN).

def need_arrow_export():
    if pa is None:
        pytest.skip("pyarrow is not installed")
    if not hasattr(pa.Array, "__arrow_c_array__"):
        pytest.skip("this pyarrow has no Arrow PyCapsule interface")


def arrow_type(name):
    need_arrow_export()
    try:
        make = getattr(pa, name)
        pa.array(["x" * 20, None], type=make())
    except (AttributeError, NotImplementedError, pa.ArrowException):
        pytest.skip("this pyarrow cannot make %s arrays" % name)
    return make()


def src_list(values):
    v = plain(values)
    return v, lambda: v


def src_tuple(values):
    v = plain(values)
    return tuple(v), lambda: v


def src_generator(values):
    v = plain(values)
    return (x for x in v), lambda: v


class StrSubclass(str):
    pass


def src_list_of_subclass(values):
    v = [StrSubclass(x) if isinstance(x, str) else x for x in plain(values)]
    return v, lambda: v


class StrOwnStr(str):
    """str() gives other text than the characters."""

    def __str__(self):
        return str.__str__(self)[1:]


class StrOwnEncode(str):
    """encode() gives other bytes than the characters."""

    def encode(self, *args, **kwargs):
        return str.encode(self[1:], *args, **kwargs)


def src_list_of(kind):
    def make(values):
        v = [kind(x) if isinstance(x, str) else x for x in plain(values)]
        return v, lambda: v
    return make


def src_list_of_str_enum(values):
    # str() of a member is "Texts.v0", encode() its value's bytes.
    v = plain(values)
    texts = sorted({x for x in v if isinstance(x, str)})
    Texts = enum.Enum("Texts", [("v%d" % i, t) for i, t in enumerate(texts)],
                      type=str)
    v = [Texts(x) if isinstance(x, str) else x for x in v]
    return v, lambda: v


def numpy_unicode(values):
    if np is None:
        pytest.skip("numpy is not installed")
    return np.array(plain(values, missing=""), dtype=str)


def src_numpy_unicode(values):
    a = numpy_unicode(values)
    return a, a.tolist


def src_numpy_unicode_reversed(values):
    a = numpy_unicode(values[::-1])[::-1]  # a negative stride
    return a, a.tolist


def src_numpy_unicode_big_endian(values):
    a = numpy_unicode(values)
    a = a.astype(a.dtype.newbyteorder(">" if sys.byteorder == "little"
                                      else "<"))
    return a, a.tolist


def src_numpy_char_array(values):
    # Its items come without trailing whitespace.  (Deprecated in numpy 2.5,
    # still there.)
    plain_array = numpy_unicode(values)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        a = np.char.array(plain_array)
    return a, lambda: list(a)


def numpy_subclass(method):
    """An ndarray subclass whose `method` (__iter__ or __getitem__) drops
    the first character of each text."""
    def shifted(x):
        return str(x)[1:] if isinstance(x, str) else x

    def __iter__(self):
        return (shifted(x) for x in np.ndarray.__iter__(self))

    def __getitem__(self, i):
        return shifted(np.ndarray.__getitem__(self, i))

    body = {"__iter__": __iter__, "__getitem__": __getitem__}
    return type("Shifted" + method.strip("_"), (np.ndarray,),
                {method: body[method]})


def src_numpy_subclass(method):
    def make(values):
        a = numpy_unicode(values).view(numpy_subclass(method))
        return a, lambda: list(a)
    return make


def src_numpy_object(values):
    if np is None:
        pytest.skip("numpy is not installed")
    v = plain(values)
    a = np.empty(len(v), dtype=object)
    a[:] = v
    return a, lambda: v


def arrow_source(type_name, sliced=False):
    def make(values):
        kind = arrow_type(type_name)
        v = plain(values, surrogates=False, missing=None)
        if sliced:  # an offset into the buffers, and into the nulls
            a = pa.array([None, "x", "2021-03-04 05:06:07 extra"] + v,
                         type=kind)[3:]
        else:
            a = pa.array(v, type=kind)
        return a, a.to_pylist
    return make


def src_arrow_chunked(values):
    kind = arrow_type("string")
    v = plain(values, surrogates=False, missing=None)
    third = len(v) // 3
    a = pa.chunked_array([pa.array(v[:third], type=kind),
                          pa.array([], type=kind),
                          pa.array(v[third:], type=kind)])
    return a, a.to_pylist


def src_polars(values):
    if pl is None:
        pytest.skip("polars is not installed")
    s = pl.Series(plain(values, surrogates=False, missing=None),
                  dtype=pl.Utf8)
    return s, s.to_list


def pandas_source(dtype):
    def make(values):
        if pd is None:
            pytest.skip("pandas is not installed")
        kind = dtype
        if dtype == "arrow":
            need_arrow_export()
            if not hasattr(pd, "ArrowDtype"):
                pytest.skip("this pandas has no ArrowDtype")
            kind = pd.ArrowDtype(pa.string())
        surrogates = dtype in ("object", "string[python]")
        v = plain(values, surrogates=surrogates,
                  missing="as is" if dtype == "object" else None)
        try:
            s = pd.Series(v, dtype=kind)
        except TypeError:
            pytest.skip("this pandas has no %s dtype" % dtype)
        return s, lambda: list(s)
    return make


SOURCES = {
    "list": src_list,
    "tuple": src_tuple,
    "generator": src_generator,
    "list of str subclass": src_list_of_subclass,
    "list of str with __str__": src_list_of(StrOwnStr),
    "list of str with encode": src_list_of(StrOwnEncode),
    "list of str Enum": src_list_of_str_enum,
    "numpy U": src_numpy_unicode,
    "numpy U reversed": src_numpy_unicode_reversed,
    "numpy U byte-swapped": src_numpy_unicode_big_endian,
    "numpy object": src_numpy_object,
    "numpy char.array": src_numpy_char_array,
    "numpy subclass __iter__": src_numpy_subclass("__iter__"),
    "numpy subclass __getitem__": src_numpy_subclass("__getitem__"),
    "arrow string": arrow_source("string"),
    "arrow large_string": arrow_source("large_string"),
    "arrow string_view": arrow_source("string_view"),
    "arrow string sliced": arrow_source("string", sliced=True),
    "arrow string_view sliced": arrow_source("string_view", sliced=True),
    "arrow chunked": src_arrow_chunked,
    "polars": src_polars,
    "pandas object": pandas_source("object"),
    "pandas string[python]": pandas_source("string[python]"),
    "pandas string[pyarrow]": pandas_source("string[pyarrow]"),
    "pandas arrow": pandas_source("arrow"),
}


def failed_positions(want):
    """Where the oracle failed: the nulls a column must have."""
    return [i for i, w in enumerate(want) if w == SENTINEL]


def describe_mismatches(fmt, skip_tz, stored, got, want, limit=5):
    rows = ["fmt=%r skip_tz=%r" % (fmt, skip_tz)]
    for i, (g, w) in enumerate(zip(got, want)):
        if g != w:
            rows.append("  [%d] %r: got %r, want %r" % (i, stored[i], g, w))
            if len(rows) > limit:
                break
    return "\n".join(rows)


@pytest.mark.parametrize("threads", [1, 2])
@pytest.mark.parametrize("source", sorted(SOURCES))
def test_matches_date2intWrapper_element_for_element(source, threads):
    build = SOURCES[source]
    problems = []
    for fmt, values in CASES:
        for skip_tz in (False, True):
            texts, stored = build(values)
            stored = stored()
            want = [oracle(v, fmt, skip_tz) for v in stored]
            if threads > 1:
                # Long enough to be shared between the threads: the same
                # elements over and over, so the same values over and over.
                copies = ROWS_FOR_TWO_THREADS // len(values) + 1
                texts, _ = build(values * copies)
                stored, want = stored * copies, want * copies
            column = date2int(texts, fmt, skip_tz=skip_tz,
                              errors="coerce", fill=SENTINEL,
                              threads=threads)
            got = column.tolist()
            if got != want:
                problems.append(describe_mismatches(fmt, skip_tz, stored,
                                                    got, want))
            elif column.null_indices().tolist() != failed_positions(want):
                problems.append("fmt=%r skip_tz=%r: nulls %r" % (
                    fmt, skip_tz, column.null_indices().tolist()[:5]))
    assert not problems, "\n".join(problems)


# --------------------------------------------------------------------------
# Whitespace before a trailing zone suffix: what counts is what
# str.isspace() and the regular expressions of the date module count.

WHITESPACE = sorted(
    {c for c in range(0x3001) if chr(c).isspace()}
    | {0x85, 0xA0, 0x1680, 0x2028, 0x2029, 0x202F, 0x205F, 0x3000, 0x180E,
       0x200B, 0xFEFF, 0x2060, 0x1C, 0x1F, 0x08, 0x0E, 0x7F, 0xAD}
    | set(range(0x2000, 0x200C)))
ZONE_FMT = b"%Y-%m-%d %H:%M"


def whitespace_texts(c):
    s = chr(c)
    return ["2021-03-04 05:06" + s + "+01", "2021-03-04 05:06" + s * 2 +
            "-0530", "2021-03-04 05:06 " + s + "+01\n",
            "2021-03-04 05:06" + s]


@pytest.mark.parametrize("c", WHITESPACE, ids="U+{:04X}".format)
def test_zone_suffix_after_any_whitespace(c):
    texts = whitespace_texts(c)
    want = [oracle(t, ZONE_FMT, False) for t in texts]
    got = date2int(texts, ZONE_FMT, errors="coerce", fill=SENTINEL)
    assert got.tolist() == want
    if pa is not None and hasattr(pa.Array, "__arrow_c_array__"):
        got = date2int(pa.array(texts), ZONE_FMT, errors="coerce",
                       fill=SENTINEL)
        assert got.tolist() == want


# --------------------------------------------------------------------------
# The date module's search, sub and TZ_REGEXP rebound: date2int removes a
# zone suffix exactly as date2intWrapper then does.

def _copy_of_pattern():
    return "".join(list(codec.TZ_REGEXP))  # equal, another object


class PatternStr(str):
    pass


REBINDINGS = {
    "TZ_REGEXP reads Z and colons": lambda: {
        "TZ_REGEXP": r"\s*(Z|[+-]\d\d:?\d\d)$"},
    "TZ_REGEXP an equal copy": lambda: {"TZ_REGEXP": _copy_of_pattern()},
    "TZ_REGEXP a str subclass": lambda: {
        "TZ_REGEXP": PatternStr(codec.TZ_REGEXP)},
    "search wrapped": lambda: {"search": lambda p, s: re.search(p, s)},
    "sub removes nothing": lambda: {"sub": lambda p, r, s: s},
    "sub strips spaces too": lambda: {
        "sub": lambda p, r, s: re.sub(p, r, s).strip()},
}
REBOUND_SOURCES = ["list", "tuple", "generator", "numpy U", "arrow string",
                   "arrow chunked", "list of str subclass", "polars"]


@pytest.fixture
def rebind(monkeypatch):
    def apply(names):
        for name, value in names.items():
            monkeypatch.setattr(codec, name, value)
    return apply


@pytest.mark.parametrize("threads", [1, 2])
@pytest.mark.parametrize("source", REBOUND_SOURCES)
@pytest.mark.parametrize("rebinding", sorted(REBINDINGS))
def test_rebound_zone_names_match_date2intWrapper(rebinding, source,
                                                  threads, rebind):
    rebind(REBINDINGS[rebinding]())
    problems = []
    for fmt, values in CASES[::3]:
        texts, stored = SOURCES[source](values)
        stored = stored()
        want = []
        for v in stored:
            try:
                want.append(SENTINEL if is_missing(v)
                             else date2intWrapper(v, fmt))
            except (ValueError, UnicodeEncodeError):
                want.append(SENTINEL)
        column = date2int(texts, fmt, errors="coerce", fill=SENTINEL,
                          threads=threads)
        got = column.tolist()
        if got != want:
            problems.append(describe_mismatches(fmt, False, stored, got,
                                                want))
        elif column.null_indices().tolist() != failed_positions(want):
            problems.append("fmt=%r: nulls %r" % (
                fmt, column.null_indices().tolist()[:5]))
    assert not problems, "\n".join(problems)


def test_zone_suffix_with_the_issue_pattern(rebind):
    rebind({"TZ_REGEXP": r"\s*(Z|[+-]\d\d:?\d\d)$"})
    texts = ["2021-03-04 05:06Z", "2021-03-04 05:06 +01:00",
             "2021-03-04 05:06 +0100"]
    want = [date2intWrapper(t, ZONE_FMT) for t in texts]
    assert date2int(texts, ZONE_FMT).tolist() == want
    assert want[0] == date2intWrapper("2021-03-04 05:06", ZONE_FMT)


@pytest.mark.parametrize("name", ["TZ_REGEXP", "search", "sub"])
def test_zone_suffix_name_deleted(name, monkeypatch):
    monkeypatch.delattr(codec, name)
    text = "2021-03-04 05:06 +01"
    with pytest.raises(NameError) as want:
        date2intWrapper(text, ZONE_FMT)
    with pytest.raises(NameError) as got:
        date2int([text], ZONE_FMT, errors="coerce")
    assert str(got.value) == str(want.value)
    # Without "%M" (or with skip_tz) no name is read.
    assert date2int(["2021-03-04"], b"%Y-%m-%d").tolist() == [
        date2intWrapper("2021-03-04", b"%Y-%m-%d")]
    assert date2int([text], ZONE_FMT, skip_tz=True,
                    errors="coerce").tolist() == [INT64_MIN]


def test_zone_suffix_names_from_builtins(monkeypatch):
    # A name missing from the date module is looked up among the builtins.
    monkeypatch.delattr(codec, "search")
    monkeypatch.setattr(builtins, "search", re.search, raising=False)
    texts = ["2021-03-04 05:06 +01", "2021-03-04 05:06"]
    want = [date2intWrapper(t, ZONE_FMT) for t in texts]
    assert date2int(texts, ZONE_FMT).tolist() == want


# A str subclass whose str() or encode() raises: the exception of
# date2intWrapper, or a failure where it raises ValueError.
class RaisingStr(str):
    def error(self):
        return (ValueError("not today") if "bad" in self
                else RuntimeError("boom"))

    def __str__(self):
        raise self.error()

    def encode(self, *args, **kwargs):
        raise self.error()


@pytest.mark.parametrize("threads", [1, 2])
@pytest.mark.parametrize("fmt", [ZONE_FMT, b"%Y-%m-%d"])
def test_str_subclass_that_raises(fmt, threads):
    good = "2021-03-04 05:06" if fmt == ZONE_FMT else "2021-03-04"
    texts = [good, RaisingStr("bad"), "x", RaisingStr("bad too"), good]
    got = date2int(texts, fmt, errors="coerce", fill=SENTINEL,
                   threads=threads)
    assert got.tolist() == [date2intWrapper(good, fmt), SENTINEL, SENTINEL,
                            SENTINEL, date2intWrapper(good, fmt)]
    assert got.null_indices().tolist() == [1, 2, 3]
    # Its own text, for the first failure and among the others.
    with pytest.raises(ValueError) as info:
        date2int(texts, fmt, threads=threads)
    assert str(info.value) == (
        "date2int(): not today at position 1: 'bad' (format %r); 3 of 5 "
        "elements failed, also at positions 2: 'x' (failed to read date "
        "from fmt), 3: 'bad too'" % fmt)
    with pytest.raises(ValueError) as info:
        date2int(texts[2:], fmt, threads=threads)
    assert str(info.value).endswith(
        "2 of 3 elements failed, also at position 1: 'bad too' (not today)")
    with pytest.raises(RuntimeError, match="boom"):
        date2int([good, RaisingStr("x")], fmt, errors="coerce",
                  threads=threads)


# --------------------------------------------------------------------------
# Leaks: the paths through date2intWrapper, the missing values and the
# refused arguments, on success and on error, many times over.

class WhenEnum(str, enum.Enum):
    START = "2021-03-04 05:06"


def _leak_cases():
    good = "2021-03-04 05:06"
    subclasses = [StrOwnStr("x" + good), StrOwnEncode(good), WhenEnum.START,
                  "2021年03月04日", good, None]
    cases = {
        "str subclasses": (subclasses, {"errors": "coerce"}, None),
        "str subclasses, threads": (subclasses * 3, {"errors": "coerce",
                                                     "threads": 2}, None),
        "iterator of non-ASCII": (lambda: iter(["2021年03月04日 05:06"] * 5),
                                  {"threads": 2, "errors": "coerce"}, None),
        "ValueError of a str subclass": ([good, RaisingStr("bad")], {},
                                         ValueError),
        "RuntimeError of a str subclass": ([good, RaisingStr("x")],
                                           {"threads": 2}, RuntimeError),
        "a number": ([good, 2021.0], {"errors": "coerce"}, TypeError),
        "fill 1.5": ([good], {"fill": 1.5}, TypeError),
        "fill too big": ([good], {"fill": 2 ** 64}, OverflowError),
        "threads 0.5": ([good], {"threads": 0.5}, TypeError),
    }
    if np is not None:
        cases["numpy missing kinds"] = (
            [np.float32("nan"), np.datetime64("NaT", "s"), good],
            {"errors": "coerce"}, None)
        cases["numpy all NaN, raise"] = (np.full(5, np.nan, "float32"), {},
                                         ValueError)
        cases["numpy U, names rebound"] = (np.array([good, good + " +01",
                                                     "x"]), {}, ValueError)
    if pa is not None and hasattr(pa.Array, "__arrow_c_array__"):
        cases["arrow floats, all missing"] = (
            pa.array([None, float("nan")]), {"errors": "coerce"}, None)
        cases["arrow floats, a number"] = (pa.array([None, 1.0]), {},
                                           TypeError)
        cases["arrow, names rebound"] = (pa.array([good, None, "x"]), {},
                                         ValueError)
    return cases


LEAK_CASES = _leak_cases()
LEAK_CALLS = 300 if os.environ.get("VELBROOK_SANITIZE") else 2000


@pytest.mark.parametrize("case", sorted(LEAK_CASES))
def test_no_leak(case, rebind):
    texts, kwargs, exc = LEAK_CASES[case]
    if "rebound" in case:
        rebind({"search": lambda p, s: re.search(p, s)})
    make = texts if callable(texts) else (lambda: texts)

    def call():
        try:
            date2int(make(), ZONE_FMT, **kwargs)
        except exc or ():
            pass
    if exc is not None:
        with pytest.raises(exc):
            date2int(make(), ZONE_FMT, **kwargs)
    items = [] if callable(texts) else list(texts)
    for _ in range(100):
        call()
    gc.collect()
    counts = [sys.getrefcount(o) for o in items]
    # The least growth of three rounds: a leak grows every round, while a
    # free-threaded build frees some blocks only later, in bursts.
    growth = []
    for _ in range(3):
        blocks = sys.getallocatedblocks()
        for _ in range(LEAK_CALLS):
            call()
        gc.collect()
        growth.append(sys.getallocatedblocks() - blocks)
    assert [sys.getrefcount(o) for o in items] == counts
    if not os.environ.get("VELBROOK_SANITIZE"):
        assert min(growth) <= 40, "%s blocks after %d calls" % (growth,
                                                                LEAK_CALLS)


# --------------------------------------------------------------------------
# errors="raise": the first failure, named exactly.

RAISE_FMT = b"%Y-%m-%d %H:%M"
GOOD = "2021-03-04 05:06"

# (bad text, format): each failure the parser has, and one with a zone
# suffix that stays in the message as written.
BAD_TEXTS = [
    ("2021-13-04 05:06", RAISE_FMT),
    ("0000-03-04 05:06", RAISE_FMT),
    ("2021-03-04 05:06 +0100x", RAISE_FMT),
    ("2021-03-04\u3000+01", b"%Y-%m-%d"),
    ("\xe9t\xe9 2021", b"v2%Y"),
    ("", b"%Y"),
]

GOOD_FOR = {RAISE_FMT: GOOD, b"%Y-%m-%d": "2021-03-04", b"v2%Y": "2021",
            b"%Y": "2021"}

STR_SOURCES = ["list", "tuple", "generator", "list of str subclass",
               "numpy U", "numpy U reversed", "numpy object",
               "arrow string", "arrow large_string", "arrow string_view",
               "arrow string sliced", "arrow chunked", "polars",
               "pandas object", "pandas string[python]",
               "pandas string[pyarrow]", "pandas arrow"]


def why_failed(text, fmt):
    try:
        date2intWrapper(text, fmt)
    except ValueError as e:
        return str(e)
    raise AssertionError("not a failing text: %r" % text)


def expected_message(text, fmt, position, total, others=()):
    """The first failure, then how many of `total` elements failed and
    where the next ones are: `others` lists up to four (position, text)
    that fail for the same reason as the first, `more` the rest."""
    message = "date2int(): %s at position %d: %r (format %r); %d of %d " \
        "elements failed" % (why_failed(text, fmt), position, text, fmt,
                             1 + len(others), total)
    shown = others[:4]
    if shown:
        message += ", also at position%s " % ("s" if len(shown) > 1 else "")
        message += ", ".join("%d: %r" % item for item in shown)
    return message + (", ..." if len(others) > 4 else "")


@pytest.mark.parametrize("threads", [1, 2])
@pytest.mark.parametrize("bad, fmt", BAD_TEXTS)
@pytest.mark.parametrize("source", STR_SOURCES)
def test_raise_names_position_text_and_format(source, bad, fmt, threads):
    good = GOOD_FOR[fmt]
    values = [good] * 4 + [bad] + [good, bad]  # the chunked one splits at 2
    texts, _ = SOURCES[source](values)
    with pytest.raises(ValueError) as info:
        date2int(texts, fmt, threads=threads)
    assert type(info.value) is ValueError
    assert str(info.value) == expected_message(bad, fmt, 4, 7, [(6, bad)])


# A missing element, as each source shows it.
MISSING = [
    ("list", None, "None"),
    ("list", float("nan"), "nan"),
    ("list", PANDAS_NA, "<NA>"),
    ("tuple", None, "None"),
    ("generator", None, "None"),
    ("numpy object", None, "None"),
    ("arrow string", None, "None"),
    ("arrow large_string", None, "None"),
    ("arrow string_view", None, "None"),
    ("arrow string sliced", None, "None"),
    ("arrow chunked", None, "None"),
    ("polars", None, "None"),
]


@pytest.mark.parametrize("threads", [1, 2])
@pytest.mark.parametrize("source, value, shown", MISSING)
def test_raise_names_a_missing_value(source, value, shown, threads):
    if value == PANDAS_NA and pd is None:
        pytest.skip("pandas is not installed")
    texts, _ = SOURCES[source](["2021", "2022", "2023", value, "x"])
    with pytest.raises(ValueError) as info:
        date2int(texts, b"%Y", threads=threads)
    assert str(info.value) == (
        "date2int(): missing value at position 3: %s (format b'%%Y'); 2 of 5 "
        "elements failed, also at position 4: 'x' (failed to read date from "
        "fmt)" % shown)


SURROGATE_SOURCES = ["list", "tuple", "generator", "numpy object",
                     "pandas object", "pandas string[python]", "numpy U"]


@pytest.mark.parametrize("source", SURROGATE_SOURCES)
def test_raise_names_a_text_without_utf8(source):
    texts, _ = SOURCES[source](["2021", "2\ud800", "x"])
    with pytest.raises(ValueError) as info:
        date2int(texts, b"%Y")
    assert str(info.value) == ("date2int(): text not encodable as UTF-8 at "
                               "position 1: '2\\ud800' (format b'%Y'); 2 of 3 "
                               "elements failed, also at position 2: 'x' "
                               "(failed to read date from fmt)")


# Long columns with failures on both sides of the threads' shares and of
# the batches: the lowest position is named, whatever the thread count.
LONG = 3 * 65536 + 100
FAILURES = [
    {LONG - 1}, {0, LONG - 1}, {9999, 10000}, {LONG // 2 + 1, LONG // 2},
    {65536 * 2 + 5, 65536 * 2 + 4}, {4200, 131073, 140000}, {150000},
]
LONG_SOURCES = ["list", "generator", "numpy U", "arrow string",
                "arrow chunked"]


@pytest.mark.parametrize("threads", [1, 2, 3])
@pytest.mark.parametrize("failures", FAILURES, ids=lambda f: str(sorted(f)))
@pytest.mark.parametrize("source", LONG_SOURCES)
def test_first_failure_wins_whatever_the_threads(source, failures, threads):
    values = [GOOD] * LONG
    for i in failures:
        values[i] = "2021-03-04 05:%02d" % (60 + i % 40)
    texts, _ = SOURCES[source](values)
    first, *others = sorted(failures)
    with pytest.raises(ValueError) as info:
        date2int(texts, RAISE_FMT, threads=threads)
    assert str(info.value) == expected_message(
        values[first], RAISE_FMT, first, LONG,
        [(i, values[i]) for i in others])
    # The same elements are nulls, whichever batch and share they are in.
    texts, _ = SOURCES[source](values)
    got = date2int(texts, RAISE_FMT, errors="coerce", threads=threads)
    assert got.null_indices().tolist() == sorted(failures)


@pytest.mark.parametrize("kwargs, want", [
    ({"errors": "coerce"}, INT64_MIN),
    ({"errors": "coerce", "fill": 0}, 0),
    ({"errors": "coerce", "fill": 2 ** 63 - 1}, 2 ** 63 - 1),
    ({"errors": "coerce", "fill": -1, "threads": 2}, -1),
    ({"errors": "coerce", "fill": True}, 1),
])
def test_coerce_writes_fill(kwargs, want):
    texts = [GOOD, "nonsense", None, GOOD + " +01", "0000-01-01 00:00"]
    got = date2int(texts, RAISE_FMT, **kwargs).tolist()
    good = date2intWrapper(GOOD, RAISE_FMT)
    assert got == [good, want, want, good, want]


# Integers of other types are integers; more threads than are useful are
# fewer threads; fill=None is the default's int64 minimum.
@pytest.mark.parametrize("kwargs", [
    {"threads": 2 ** 70}, {"threads": True}, {"fill": False}, {"fill": None},
    {"fill": "numpy.int64", "threads": "numpy.uint8"},
], ids=str)
def test_integer_arguments(kwargs):
    if "numpy.int64" in kwargs.values():
        if np is None:
            pytest.skip("numpy is not installed")
        kwargs = {"fill": np.int64(-7), "threads": np.uint8(2)}
    fill = kwargs.get("fill")
    fill = INT64_MIN if fill is None else fill
    got = date2int([GOOD, "x"], RAISE_FMT, errors="coerce", **kwargs)
    assert got.tolist() == [date2intWrapper(GOOD, RAISE_FMT), int(fill)]


def test_fill_is_not_used_with_raise():
    assert date2int([GOOD], RAISE_FMT, fill=5).tolist() == [
        date2intWrapper(GOOD, RAISE_FMT)]


# --------------------------------------------------------------------------
# Bad arguments.

class Boom(Exception):
    pass


def exploding():
    yield "2021"
    raise Boom("from the iterable")


def arrow_ints():
    need_arrow_export()
    return pa.array([1, 2])


def arrow_dictionary():
    need_arrow_export()
    return pa.array(["2021", "2021"]).dictionary_encode()


def numpy_bytes():
    if np is None:
        pytest.skip("numpy is not installed")
    return np.array([b"2021"])


def numpy_two_dimensions():
    if np is None:
        pytest.skip("numpy is not installed")
    return np.array([["2021"]])


def polars_ints():
    if pl is None:
        pytest.skip("polars is not installed")
    if not hasattr(pl.Series, "__arrow_c_stream__"):
        pytest.skip("this polars has no Arrow PyCapsule interface")
    return pl.Series([1, 2])


NOT_STR = ("date2int() texts must hold str (or None for a missing value), "
           "not %s at position %d")
NOT_ARROW_STRINGS = ("date2int() texts must be Arrow strings (format 'u', "
                     "'U' or 'vu'), not Arrow format %s")

FILL_RANGE = ("date2int() fill must be None or an integer from "
              "-9223372036854775808 to 9223372036854775807")
FILL_TYPE = FILL_RANGE + ", not %s"
THREADS_TYPE = "date2int() threads must be None or an integer of at least 1, " \
    "not %s"

# (texts, keyword arguments, exception type, message or None where the
# interpreter words it).
BAD_ARGUMENTS = {
    "int element": (lambda: ["2021", 2021], {}, TypeError,
                    NOT_STR % ("int", 1)),
    "int element, threads": (lambda: ["2021", 2021], {"threads": 2},
                             TypeError, NOT_STR % ("int", 1)),
    "bytes element": (lambda: (b"2021",), {}, TypeError,
                      NOT_STR % ("bytes", 0)),
    "object element": (lambda: iter(["2021", "2022", object()]), {},
                       TypeError, NOT_STR % ("object", 2)),
    "bytes element, coerce": (lambda: [None, b"2021"], {"errors": "coerce"},
                              TypeError, NOT_STR % ("bytes", 1)),
    "float element": (lambda: [1.5], {}, TypeError, NOT_STR % ("float", 0)),
    "numpy bytes": (numpy_bytes, {}, TypeError,
                    NOT_STR % ("numpy.bytes_", 0)),
    "numpy 2-D": (numpy_two_dimensions, {}, TypeError,
                  NOT_STR % ("numpy.ndarray", 0)),
    "not iterable": (lambda: 2021, {}, TypeError,
                     "date2int() texts must be an iterable of str, an Arrow "
                     "string array or a numpy unicode array, not int"),
    "one str": (lambda: "2021", {}, TypeError,
                "date2int() texts must be a column of texts (a list, an "
                "Arrow or numpy array, ...), not str"),
    "one bytes": (lambda: b"2021", {}, TypeError,
                  "date2int() texts must be a column of texts (a list, an "
                  "Arrow or numpy array, ...), not bytes"),
    "iterable raises": (exploding, {}, Boom, "from the iterable"),
    "arrow int64": (arrow_ints, {}, TypeError, NOT_ARROW_STRINGS % "'l'"),
    "arrow dictionary": (arrow_dictionary, {}, TypeError,
                         NOT_ARROW_STRINGS % "'i' with a dictionary"),
    "polars int64": (polars_ints, {}, TypeError, NOT_ARROW_STRINGS % "'l'"),
    "errors bogus": (lambda: [], {"errors": "bogus"}, ValueError,
                     "date2int() errors must be 'raise' or 'coerce', not "
                     "'bogus'"),
    "errors bytes": (lambda: [], {"errors": b"raise"}, ValueError,
                     "date2int() errors must be 'raise' or 'coerce', not "
                     "b'raise'"),
    "threads 0": (lambda: [], {"threads": 0}, ValueError,
                  "date2int() threads must be None or at least 1, not 0"),
    "threads -1": (lambda: ["2021"], {"threads": -1}, ValueError,
                   "date2int() threads must be None or at least 1, not -1"),
    "threads -2**70": (lambda: [], {"threads": -2 ** 70}, ValueError,
                       "date2int() threads must be None or at least 1, not "
                       "-1180591620717411303424"),
    "threads str": (lambda: [], {"threads": "2"}, TypeError,
                    THREADS_TYPE % "str"),
    "threads 2.7": (lambda: ["2021"], {"threads": 2.7}, TypeError,
                    THREADS_TYPE % "float"),
    "threads 0.5": (lambda: ["2021"], {"threads": 0.5}, TypeError,
                    THREADS_TYPE % "float"),
    "threads 2.0": (lambda: ["2021"], {"threads": 2.0}, TypeError,
                    THREADS_TYPE % "float"),
    "fill str": (lambda: [], {"fill": "0"}, TypeError, FILL_TYPE % "str"),
    "fill 1.9": (lambda: ["x"], {"errors": "coerce", "fill": 1.9},
                 TypeError, FILL_TYPE % "float"),
    "fill nan": (lambda: ["x"], {"errors": "coerce", "fill": float("nan")},
                 TypeError, FILL_TYPE % "float"),
    "fill too big": (lambda: [], {"fill": 2 ** 63}, OverflowError,
                     FILL_RANGE + ", not 9223372036854775808"),
    "fill too small": (lambda: [], {"fill": -2 ** 63 - 1}, OverflowError,
                       FILL_RANGE + ", not -9223372036854775809"),
    "unknown keyword": (lambda: [], {"fmt2": b"%Y"}, TypeError,
                        "date2int() got an unexpected keyword argument "
                        "'fmt2'"),
}


@pytest.mark.parametrize("case", sorted(BAD_ARGUMENTS))
def test_bad_arguments(case):
    make, kwargs, kind, message = BAD_ARGUMENTS[case]
    with pytest.raises(kind) as info:
        date2int(make(), b"%Y", **kwargs)
    assert type(info.value) is kind
    if message is not None:
        assert str(info.value) == message


@pytest.mark.parametrize("call, kind, message", [
    (lambda: date2int(["2021"], 2021), TypeError,
     "date2int() fmt must be str, bytes or bytearray, not int"),
    (lambda: date2int(["2021"], None), TypeError, None),
    (lambda: date2int(["2021"], b"%Y", True), TypeError,
     "date2int() takes at most 2 positional arguments (3 given)"),
    (lambda: date2int(["2021"]), TypeError,
     "date2int() missing 1 required positional argument: 'fmt'"),
    (lambda: date2int(["2021"], b"%Y", texts=[]), TypeError,
     "date2int() got multiple values for keyword argument 'texts'"),
])
def test_bad_signature(call, kind, message):
    with pytest.raises(kind) as info:
        call()
    if message is not None:
        assert str(info.value) == message


# --------------------------------------------------------------------------
# Columns of numbers: entirely missing is a column of failures, a number
# anywhere is refused.

def _need(*libraries):
    for name, module in zip(("numpy", "pandas", "pyarrow", "polars"),
                            (np, pd, pa, pl)):
        if name in libraries and module is None:
            pytest.skip("%s is not installed" % name)
    if "pyarrow" in libraries:
        need_arrow_export()


ALL_MISSING = {
    "numpy float16": (("numpy",), lambda: np.full(3, np.nan, "float16")),
    "numpy float32": (("numpy",), lambda: np.full(3, np.nan, "float32")),
    "numpy float64": (("numpy",), lambda: np.full(3, np.nan)),
    "numpy float64 strided": (("numpy",), lambda: np.full(6, np.nan)[::2]),
    "numpy float64 byte-swapped": (
        ("numpy",), lambda: np.full(3, np.nan, ">f8")),
    "numpy longdouble": (("numpy",), lambda: np.full(3, np.nan,
                                                     np.longdouble)),
    "numpy complex128": (("numpy",), lambda: np.full(3, np.nan, complex)),
    "numpy datetime64": (("numpy",), lambda: np.full(3, "NaT",
                                                     "datetime64[s]")),
    "numpy timedelta64": (("numpy",), lambda: np.full(3, "NaT",
                                                      "timedelta64[s]")),
    "numpy float64 empty": (("numpy",), lambda: np.zeros(0)),
    "pandas float64": (("pandas",), lambda: pd.Series([np.nan] * 3)),
    "pandas float32": (("pandas",), lambda: pd.Series([np.nan] * 3,
                                                      dtype="float32")),
    "pandas Float64": (("pandas",), lambda: pd.Series([None] * 3,
                                                      dtype="Float64")),
    "pandas Int64": (("pandas",), lambda: pd.Series([None] * 3,
                                                    dtype="Int64")),
    "pandas datetime64": (("pandas",), lambda: pd.Series([pd.NaT] * 3)),
    "arrow float64 nulls": (("pyarrow",), lambda: pa.array([None] * 3,
                                                           pa.float64())),
    "arrow float64 NaN": (("pyarrow",), lambda: pa.array(
        [float("nan"), None, float("nan")], pa.float64())),
    "arrow float32 NaN": (("pyarrow",), lambda: pa.array(
        [float("nan")] * 3, pa.float32())),
    "arrow float16 NaN": (("pyarrow", "numpy"), lambda: pa.array(
        np.full(3, np.nan, "float16"))),
    "arrow int64 nulls": (("pyarrow",), lambda: pa.array([None] * 3,
                                                         pa.int64())),
    "arrow timestamp nulls": (("pyarrow",), lambda: pa.array(
        [None] * 3, pa.timestamp("s"))),
    "arrow chunked float64": (("pyarrow",), lambda: pa.chunked_array(
        [pa.array([None], pa.float64()),
         pa.array([float("nan")] * 2, pa.float64())])),
    "polars Float64": (("polars",), lambda: pl.Series([None, float("nan"),
                                                       None])),
    "list of numpy and pandas kinds": (("numpy", "pandas"), lambda: [
        missing_kind(k) for k in sorted(MISSING_KINDS)]),
}


@pytest.mark.parametrize("threads", [1, 2])
@pytest.mark.parametrize("case", sorted(ALL_MISSING))
def test_entirely_missing_numbers_are_failures(case, threads):
    libraries, make = ALL_MISSING[case]
    _need(*libraries)
    texts = make()
    n = len(texts)
    got = date2int(texts, b"%Y %M", errors="coerce", fill=SENTINEL,
                   threads=threads)
    assert got.tolist() == [SENTINEL] * n
    assert got.null_count == n and got.unit == "s"
    if n:
        with pytest.raises(ValueError) as info:
            date2int(texts, b"%Y", threads=threads)
        message = str(info.value)
        assert message.startswith("date2int(): missing value at position 0: ")
        assert "; %d of %d elements failed, also at positions 1: " % (
            n, n) in message


# (libraries, column, exception message): one real number among missing
# values is a TypeError that names what was given.
WITH_A_NUMBER = {
    "numpy float64": (("numpy",), lambda: np.array([np.nan, 1.5]),
                      NOT_STR % ("numpy.float64", 1)),
    "numpy float32": (("numpy",), lambda: np.array([np.nan, 0], "float32"),
                      NOT_STR % ("numpy.float32", 1)),
    "numpy datetime64": (("numpy",), lambda: np.array(
        ["NaT", "2021-03-04"], "datetime64[D]"),
        NOT_STR % ("numpy.datetime64", 1)),
    "list of numpy float32": (("numpy",), lambda: [np.float32("nan"),
                                                   np.float32(2)],
                              NOT_STR % ("numpy.float32", 1)),
    "list with a float": ((), lambda: [float("nan"), 2.0],
                          NOT_STR % ("float", 1)),
    "pandas float64": (("pandas", "pyarrow"), lambda: pd.Series(
        [np.nan, 1.0]), NOT_ARROW_STRINGS % "'g'"),
    "arrow float64": (("pyarrow",), lambda: pa.array([None, float("nan"),
                                                      0.0]),
                      NOT_ARROW_STRINGS % "'g'"),
    "arrow int64": (("pyarrow",), lambda: pa.array([None, 3]),
                    NOT_ARROW_STRINGS % "'l'"),
}


@pytest.mark.parametrize("case", sorted(WITH_A_NUMBER))
def test_a_number_among_missing_values_is_refused(case):
    libraries, make, message = WITH_A_NUMBER[case]
    _need(*libraries)
    with pytest.raises(TypeError) as info:
        date2int(make(), b"%Y", errors="coerce")
    assert str(info.value) == message


# Formats at their edges: a bytearray, bytes after a NUL, no conversion.
@pytest.mark.parametrize("fmt", [bytearray(b"%Y-%m"), b"%Y\x00-%m", b"",
                                 b"v2", b"%", b"%Y%", b"v2%f", b"%M"])
def test_odd_formats(fmt):
    texts = ["2021", "2021-03", "", "%", "5", "2021-03 +01"]
    want = [oracle(t, bytes(fmt), False) for t in texts]
    assert date2int(texts, fmt, errors="coerce",
                    fill=SENTINEL).tolist() == want


# Columns with nothing but missing values (which pandas hands over as the
# Arrow null type) convert as a list of the same values does.
@pytest.mark.parametrize("values", [[], [None], [None, float("nan")]],
                         ids=["empty", "None", "None and NaN"])
def test_pandas_object_series_of_missing_values(values):
    if pd is None:
        pytest.skip("pandas is not installed")
    s = pd.Series(values, dtype=object)
    got = date2int(s, b"%Y", errors="coerce", fill=SENTINEL).tolist()
    assert got == date2int(list(s), b"%Y", errors="coerce",
                           fill=SENTINEL).tolist()


# --------------------------------------------------------------------------
# Int64Column.

def column(values):
    return Int64Column(array.array("q", values))


def test_numpy_reads_the_column_in_place():
    if np is None:
        pytest.skip("numpy is not installed")
    c = date2int(["2021-03-04 05:06:07", "x"], b"%Y-%m-%d %H:%M:%S",
                 errors="coerce")
    a = np.asarray(c)
    assert a.dtype == np.int64 and a.shape == (2,)
    assert np.asarray(c).ctypes.data == a.ctypes.data  # no copy
    a[1] = 42
    assert c[1] == 42 and c.tolist()[1] == 42
    del c
    assert a.tolist() == [date2intWrapper("2021-03-04 05:06:07",
                                          b"%Y-%m-%d %H:%M:%S"), 42]


@pytest.mark.parametrize("texts, fmt, unit, want", [
    (["2021-03-04 05:06:07", "x"], b"%Y-%m-%d %H:%M:%S", "s",
     ["2021-03-04T05:06:07", "NaT"]),
    (["0001-01-01 00:00:00", "9999-12-31 23:59:59"], b"%Y-%m-%d %H:%M:%S",
     "s", ["0001-01-01T00:00:00", "9999-12-31T23:59:59"]),
    (["2021-03-04 05:06:07.891", "y"], b"v2%Y-%m-%d %H:%M:%S.%f", "ms",
     ["2021-03-04T05:06:07.891", "NaT"]),
    (["2021-03-04", "1969-12-31"], b"%Y-%m-%d", "D",
     ["2021-03-04", "1969-12-31"]),
])
def test_views_as_datetime64(texts, fmt, unit, want):
    if np is None:
        pytest.skip("numpy is not installed")
    a = np.asarray(date2int(texts, fmt, errors="coerce"))
    if unit == "D":
        a = a - 719163
    got = a.view("datetime64[%s]" % unit)
    assert got.tolist() == np.array(want, dtype="datetime64[%s]" %
                                    unit).tolist()


def test_arrow_reads_the_column_in_place():
    if pa is None or np is None:
        pytest.skip("pyarrow and numpy are needed")
    c = column([1, -2, 3])
    assert pa.py_buffer(c).address == np.asarray(c).ctypes.data
    assert pa.Array.from_buffers(pa.int64(), 3, [None, pa.py_buffer(c)]
                                 ).to_pylist() == [1, -2, 3]


@pytest.mark.parametrize("values", [[], [0], [1, -2, 2 ** 63 - 1, -2 ** 63],
                                    list(range(-5, 20))])
def test_sequence_behaviour(values):
    c = column(values)
    assert len(c) == len(values)
    assert list(c) == values and c.tolist() == values
    assert [c[i] for i in range(len(values))] == values
    assert [c[-i] for i in range(1, len(values) + 1)] == [
        values[-i] for i in range(1, len(values) + 1)]
    for i in (len(values), -len(values) - 1, 2 ** 62):
        with pytest.raises(IndexError) as info:
            c[i]
        assert str(info.value) == "Int64Column index out of range"
    m = memoryview(c)
    assert (m.format, m.itemsize, m.ndim, m.shape) == (
        "q", 8, 1, (len(values),))
    assert m.tolist() == values and not m.readonly


@pytest.mark.parametrize("values", [[], [1, 2], [2 ** 63 - 1, -2 ** 63]])
def test_pickle_round_trip(values):
    c = column(values)
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        back = pickle.loads(pickle.dumps(c, protocol))
        assert type(back) is Int64Column and back == c
        assert back.tolist() == values


def test_the_buffer_outlives_the_name():
    m = memoryview(date2int(["2021"], b"%Y"))
    assert m.tolist() == [date2intWrapper("2021", b"%Y")]


@pytest.mark.parametrize("make, want", [
    (lambda: Int64Column(), []),
    (lambda: Int64Column([1, 2]), [1, 2]),
    (lambda: Int64Column((x for x in [3, -4])), [3, -4]),
    (lambda: Int64Column(array.array("q", [5, 2 ** 63 - 1])),
     [5, 2 ** 63 - 1]),
    (lambda: Int64Column(array.array("l", [6, -7])), [6, -7]),
    (lambda: Int64Column(array.array("i", [8, -9])), [8, -9]),
    (lambda: Int64Column(memoryview(array.array("q", [10]))), [10]),
    (lambda: Int64Column(values=column([11, 12])), [11, 12]),
    (lambda: Int64Column([2 ** 63]), OverflowError),
    (lambda: Int64Column(["1"]), TypeError),
    (lambda: Int64Column(5), TypeError),
])
def test_constructor(make, want):
    if isinstance(want, type):
        with pytest.raises(want):
            make()
    else:
        c = make()
        assert type(c) is Int64Column and c.tolist() == want


# A buffer of int64 in either byte order, with or without a prefix that
# says so: the same integers (copied when in the machine's order, else
# iterated).
@pytest.mark.parametrize("dtype", ["<i8", ">i8", "=i8", "i8"])
def test_constructor_reads_each_byte_order(dtype):
    if np is None:
        pytest.skip("numpy is not installed")
    values = [5, -6, 2 ** 40, -2 ** 63]
    source = np.array(values, dtype)
    assert Int64Column(source).tolist() == values
    assert Int64Column(source[::-1]).tolist() == values[::-1]


def test_constructor_copies_the_buffer():
    source = array.array("q", [1, 2])
    c = Int64Column(source)
    source[0] = 9
    assert c.tolist() == [1, 2]


@pytest.mark.parametrize("a, b, equal", [
    ([], [], True), ([1, 2], [1, 2], True), ([1, 2], [1, 3], False),
    ([1, 2], [1, 2, 3], False), ([0], [], False),
])
def test_equality(a, b, equal):
    assert (column(a) == column(b)) is equal
    assert (column(a) != column(b)) is not equal
    assert (column(a) == a) is False  # not a list


@pytest.mark.parametrize("values, text", [
    ([], "Int64Column([], length=0)"),
    ([1, -2], "Int64Column([1, -2], length=2)"),
    (list(range(7)), "Int64Column([0, 1, 2, 3, 4, 5, 6], length=7)"),
    (list(range(8)), "Int64Column([0, 1, 2, 3, 4, 5, ...], length=8)"),
    ([-2 ** 63], "Int64Column([-9223372036854775808], length=1)"),
])
def test_repr(values, text):
    assert repr(column(values)) == text


# --------------------------------------------------------------------------
# Processes: Ctrl-C, and a call through the namespace of a failed import.

def child_env():
    env = dict(os.environ)
    env.pop("PYTHONPATH", None)
    return env


@pytest.mark.parametrize("threads", [1, 2])
def test_ctrl_c_stops_a_long_call(threads):
    if np is None:
        pytest.skip("numpy is not installed")
    code = textwrap.dedent("""
        import numpy
        from velbrook.columns import date2int
        # Two hundred million elements that all share one string.
        texts = numpy.broadcast_to(numpy.array("2020-01-01 00:00:00"),
                                   (2 * 10 ** 8,))
        print("ready", flush=True)
        try:
            date2int(texts, b"%Y-%m-%d %H:%M:%S", threads={threads})
            print("finished", flush=True)
        except KeyboardInterrupt:
            print("interrupted", flush=True)
    """).format(threads=threads)
    out, status, waited = interrupted(code)
    assert out == "interrupted\n" and status == 0
    assert waited < 5


# Under an address-space limit that leaves room for some of the threads
# asked for, or none: the threads that started are joined, the rest of the
# work is done on the calling thread, and the result is the same (or a
# MemoryError where even that cannot be done).  Swept in steps smaller
# than a thread's stack, so some step starts some but not all threads.
THREAD_START_CHILD = """
import resource
from velbrook.columns import date2int
try:
    import numpy
except ImportError:
    numpy = None

FMT = b"%Y-%m-%d %H:%M:%S"
TEXTS = ["2021-03-04 05:06:07", "2021-13-04 05:06:07"] * 150000


def vm_size():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmSize:"):
                return int(line.split()[1]) * 1024


columns = [("list", TEXTS), ("iterator", None)]
if numpy is not None:
    columns.append(("numpy", numpy.array(TEXTS)))
soft, hard = resource.getrlimit(resource.RLIMIT_AS)
for name, texts in columns:
    want = date2int(TEXTS, FMT, errors="coerce", threads=1)
    outcomes = []
    for mib in range(0, 161, 4):
        column = iter(TEXTS) if texts is None else texts
        try:
            resource.setrlimit(resource.RLIMIT_AS,
                               (vm_size() + mib * 2 ** 20, hard))
            try:
                got = date2int(column, FMT, errors="coerce", threads=8)
            finally:
                resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
        except MemoryError:
            outcomes.append("M")
            continue
        outcomes.append("=" if got == want else "X")
    print(name, "".join(outcomes), flush=True)
"""


def test_threads_that_cannot_start(run_python):
    if os.environ.get("VELBROOK_SANITIZE"):
        pytest.skip("the sanitizers reserve more address space than a "
                    "limit can leave")
    done = run_python(THREAD_START_CHILD, timeout=300)
    assert done.returncode == 0, done.stderr
    lines = done.stdout.splitlines()
    assert len(lines) >= 2
    for line in lines:
        name, outcomes = line.split()
        assert set(outcomes) <= {"=", "M"}, line
        assert outcomes.endswith("="), line  # enough room: threads ran


# From a thread with the smallest stack the interpreter allows: the
# threads' shares of a batch are not kept on the calling thread's stack.
SMALL_STACK_CHILD = """
import threading
from velbrook.columns import date2int
try:
    import numpy
except ImportError:
    numpy = None

TEXTS = ["2021-03-04 05:06:07", "x"] * 150000
columns = [("list", lambda: TEXTS), ("iterator", lambda: iter(TEXTS))]
if numpy is not None:
    columns.append(("numpy", lambda: numpy.array(TEXTS)))
want = date2int(TEXTS, "%Y-%m-%d %H:%M:%S", errors="coerce", threads=1)
for size in (32768, 65536, 131072):  # the least this interpreter allows
    try:
        threading.stack_size(size)
        break
    except ValueError:
        pass
for name, make in columns:
    got = []
    worker = threading.Thread(target=lambda: got.append(date2int(
        make(), "%Y-%m-%d %H:%M:%S", errors="coerce", threads=8)))
    worker.start()
    worker.join()
    print(name, got == [want], flush=True)
"""


def test_threads_from_a_thread_with_a_small_stack(run_python):
    if os.environ.get("VELBROOK_SANITIZE"):
        pytest.skip("the sanitizers' stack frames outgrow the smallest stack")
    done = run_python(SMALL_STACK_CHILD, timeout=300)
    assert done.returncode == 0, done.stderr
    lines = done.stdout.splitlines()
    assert len(lines) >= 2 and all(line.endswith(" True") for line in lines)


# A non-ASCII str is encoded for the call, not through the interpreter's
# UTF-8 cache, which would stay on each str (sys.getsizeof counts it).
def object_array(texts):
    if np is None:
        pytest.skip("numpy is not installed")
    a = np.empty(len(texts), dtype=object)
    a[:] = texts
    return a


NON_ASCII_CONTAINERS = {
    "list": list, "tuple": tuple, "generator": lambda t: (x for x in t),
    "numpy object": object_array,
}


@pytest.mark.parametrize("threads", [1, 2])
@pytest.mark.parametrize("source", sorted(NON_ASCII_CONTAINERS))
def test_non_ascii_texts_keep_no_utf8_copy(source, threads):
    fmt = "%Y年%m月%d日 %H:%M".encode()
    # New str objects for each test, none encoded yet.
    texts = ["%04d年03月04日 05:06" % (1000 + i) for i in range(300)]
    texts += ["".join(list(t)) for t in ["2021年03月04日 05:06 +01",
                               "2021年03月04日\u3000+01", "\ud800x",
                               "2021年13月04日 05:06", "\xe9t\xe9"]]
    sizes = [sys.getsizeof(t) for t in texts]
    got = date2int(NON_ASCII_CONTAINERS[source](texts), fmt,
                   errors="coerce", fill=SENTINEL, threads=threads)
    assert [sys.getsizeof(t) for t in texts] == sizes
    assert got.tolist() == [oracle(t, fmt, False) for t in texts]


def test_date2int_of_a_failed_import_raises(run_python):
    # The module imports nothing at its initialisation; it does look up
    # the builtin ValueError, and fails when that is gone.
    done = run_python("""
        import builtins, importlib
        import velbrook
        saved = builtins.ValueError
        del builtins.ValueError
        try:
            importlib.import_module("velbrook.columns")
        except NameError as e:
            tb = e.__traceback__
        finally:
            builtins.ValueError = saved
        while tb.tb_next:
            tb = tb.tb_next
        assert tb.tb_frame.f_code.co_name == "init velbrook.columns"
        namespace = tb.tb_frame.f_globals
        try:
            namespace["date2int"](["2021"], b"%Y")
        except RuntimeError as e:
            print(e)
        module = importlib.import_module("velbrook.columns")
        print(module.date2int(["2021"], b"%Y").tolist())
    """)
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines() == [
        "module velbrook.columns is not initialised: its import failed or "
        "has not finished",
        str([date2intWrapper("2021", b"%Y")])]
