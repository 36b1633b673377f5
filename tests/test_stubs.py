"""The type stubs beside each module against the module itself: every
function is called the ways its stub allows and the ways it forbids, and
run time must agree; where mypy is installed it must agree as well."""
import ast
import datetime as dt
import importlib
import os

import pytest

from typecheck import mypy_errors

MODULES = [
    "velbrook.intToTime.ordinal_unfolder",
    "velbrook.dateToInt.calendar_text_codec",
    "velbrook.centroid_histogram.bucket_summarizer",
]
# The columns module (keyword-only parameters, no C-level table) is checked
# by stubtest alone, and so is the package's top level, whose check covers
# every module of the package.
CHECKED_BY_STUBTEST = MODULES + ["velbrook.columns"]
STUBTEST_PACKAGE = "velbrook"

# One good value for each parameter of each function of the stubs.
GOOD = {
    "int2time": {"x": 737853, "fmt": b"%Y"},
    "fromordinal": {"x": 737853},
    "utcfromtimestamp": {"x": 1.5},
    "totimestamp": {"dt": dt.datetime(2021, 3, 4)},
    "date2intWrapper": {"x": "2021", "fmt": b"%Y", "skip_tz": True},
    "date2intSafeWrapper": {"x": "2021", "fmt": b"%Y", "skip_tz": True},
    "strptime": {"x": "2021", "fmt": b"%Y"},
    "isnan": {"x": 1.0},
    "histogram_from_values": {"max_size": 2, "values": [1.0]},
    "histogram_from_buckets": {"max_size": 2, "buckets": [(1.0, 1)]},
}


def _stub(module):
    # The stub installed beside the extension module it describes.
    path = os.path.join(os.path.dirname(module.__file__),
                        module.__name__.rpartition(".")[2] + ".pyi")
    with open(path) as f:
        return ast.parse(f.read(), path)


def _is_positional_only(name):
    # The convention a stub readable by every supported interpreter uses.
    return name.startswith("__") and not name.endswith("__")


class Signature:
    """The parameters of one stub function."""

    def __init__(self, node):
        args = node.args
        params = list(getattr(args, "posonlyargs", [])) + list(args.args)
        self.names = [p.arg for p in params]
        self.positional_only = [n for n in self.names
                                if _is_positional_only(n)]
        self.required = len(params) - len(args.defaults)
        assert not (args.vararg or args.kwarg or args.kwonlyargs), (
            "a parameter kind this test does not model")

    def plain(self, name):
        return name[2:] if _is_positional_only(name) else name


def _functions():
    for name in MODULES:
        module = importlib.import_module(name)
        for node in _stub(module).body:
            if isinstance(node, ast.FunctionDef):
                yield pytest.param(module, node, id=node.name)


FUNCTIONS = list(_functions())


def test_every_public_name_has_a_stub_and_the_other_way_round():
    for name in MODULES:
        module = importlib.import_module(name)
        stubbed = set()
        for node in _stub(module).body:
            if isinstance(node, (ast.FunctionDef, ast.ClassDef)):
                stubbed.add(node.name)
            elif isinstance(node, ast.AnnAssign):
                stubbed.add(node.target.id)
            elif isinstance(node, (ast.Import, ast.ImportFrom)):
                # "import x as x" re-exports x; other imports are private.
                stubbed.update(a.asname for a in node.names
                               if a.asname == a.name.split(".")[-1])
        public = {n for n in vars(module) if not n.startswith("_")}
        public |= {"__pyx_capi__", "__test__"}
        stubbed = {n for n in stubbed if not n.startswith("_")
                   or n in ("__pyx_capi__", "__test__")}
        assert stubbed == public, name


@pytest.mark.parametrize("name", ["struct_time", "CentroidBucket",
                                  "CentroidHistogram"])
def test_record_fields_match(name):
    for module_name in MODULES:
        module = importlib.import_module(module_name)
        for node in _stub(module).body:
            if isinstance(node, ast.ClassDef) and node.name == name:
                fields = tuple(n.target.id for n in node.body
                               if isinstance(n, ast.AnnAssign))
                assert getattr(module, name)._fields == fields
                return
    pytest.fail("no stub for " + name)


def test_every_function_has_good_arguments_here():
    for param in FUNCTIONS:
        _, node = param.values
        plain = [Signature(node).plain(n) for n in Signature(node).names]
        assert sorted(GOOD[node.name]) == sorted(plain), node.name


def _call(function, args, kwargs):
    """None if the call binds, else the TypeError raised."""
    try:
        function(*args, **kwargs)
    except TypeError as error:
        return error
    return None


@pytest.mark.parametrize("module, node", FUNCTIONS)
def test_calls_the_stub_allows_work(module, node):
    sig = Signature(node)
    function = getattr(module, node.name)
    good = [GOOD[node.name][sig.plain(n)] for n in sig.names]
    # Every argument by position; then, from each parameter that can take
    # a keyword on, the rest by keyword; then without each optional one.
    assert _call(function, good, {}) is None
    for i in range(len(sig.positional_only), len(sig.names)):
        kwargs = dict(zip(sig.names[i:], good[i:]))
        assert _call(function, good[:i], kwargs) is None, kwargs
    for i in range(sig.required, len(sig.names)):
        assert _call(function, good[:i], {}) is None, i


@pytest.mark.parametrize("module, node", FUNCTIONS)
def test_calls_the_stub_forbids_fail(module, node):
    sig = Signature(node)
    function = getattr(module, node.name)
    good = [GOOD[node.name][sig.plain(n)] for n in sig.names]
    forbidden = [
        (good + [good[-1]], {}),  # one argument too many
        (good, {"unknown": 1}),
    ]
    for i in range(sig.required):  # a required argument missing
        forbidden.append((good[:i], {}))
    for i, name in enumerate(sig.positional_only):  # by keyword
        forbidden.append((good[:i], dict(zip(
            [sig.plain(n) for n in sig.names[i:]], good[i:]))))
    for args, kwargs in forbidden:
        assert _call(function, args, kwargs) is not None, (args, kwargs)


PRELUDE = '''\
from datetime import date, datetime
from decimal import Decimal
from typing import Iterator, Union

from velbrook.centroid_histogram.bucket_summarizer import (
    histogram_from_buckets, histogram_from_values, isnan)
from velbrook.dateToInt.calendar_text_codec import (
    date2intSafeWrapper, date2intWrapper, strptime)
from velbrook.intToTime.ordinal_unfolder import (
    fromordinal, int2time, totimestamp, utcfromtimestamp)


class HasInt:
    def __int__(self) -> int:
        return 737853


class HasIndex:
    def __index__(self) -> int:
        return 737853


class HasFloat:
    def __float__(self) -> float:
        return 1.5


class HasEncode:
    def encode(self) -> Union[bytes, bytearray]:
        return bytearray(b"2021")


def floats() -> Iterator[float]:
    yield 1.0
'''

# Calls and whether the stubs and run time accept them (run time: the call
# raises no TypeError or AttributeError).
TYPED_CALLS = [
    ("int2time(737853, b'%Y')", True),
    ("int2time(737853.9, bytearray(b'%Y'))", True),
    ("int2time(HasInt(), b'%Y')", True),
    ("int2time(Decimal(737853), b'%Y')", True),
    ("int2time(x=737853, fmt=b'%Y')", True),
    ("int2time('737853', b'%Y')", False),
    ("int2time(HasIndex(), b'%Y')", False),
    ("int2time(737853, '%Y')", False),
    ("int2time(737853, memoryview(b'%Y'))", False),
    ("fromordinal(737853)", True),
    ("fromordinal(HasInt())", True),
    ("fromordinal(x=737853)", False),
    ("fromordinal('737853')", False),
    ("utcfromtimestamp(1.5)", True),
    ("utcfromtimestamp(1)", True),
    ("utcfromtimestamp(HasFloat())", True),
    ("utcfromtimestamp(Decimal('1.5'))", True),
    ("utcfromtimestamp(x=1.5)", False),
    ("utcfromtimestamp('1.5')", False),
    ("totimestamp(datetime(2021, 3, 4))", True),
    ("totimestamp(dt=datetime(2021, 3, 4))", False),
    ("totimestamp(date(2021, 3, 4))", False),
    ("date2intWrapper('2021', b'%Y')", True),
    ("date2intWrapper('2021', bytearray(b'%Y'), None)", True),
    ("date2intWrapper(x='2021', fmt=b'%Y', skip_tz=1)", True),
    ("date2intWrapper(HasEncode(), b'%Y')", True),
    ("date2intWrapper(datetime(2021, 3, 4, 5, 6), b'%Y-%m-%d %H:%M:%S')",
     True),
    ("date2intWrapper('2021', '%Y')", False),
    ("date2intWrapper('2021', memoryview(b'%Y'))", False),
    ("date2intWrapper('2021')", False),
    ("date2intSafeWrapper('junk', b'%Y', skip_tz=False)", True),
    ("date2intSafeWrapper('2021', '%Y')", False),
    ("strptime('2021', b'%Y')", True),
    ("strptime(HasEncode(), bytearray(b'%Y'))", True),
    ("strptime(x='2021', fmt=b'%Y')", True),
    ("strptime(b'2021', b'%Y')", False),
    ("strptime('2021', '%Y')", False),
    ("strptime(2021, b'%Y')", False),
    ("histogram_from_values(2, [1.0, None, 2, Decimal(3), HasFloat()])",
     True),
    ("histogram_from_values(2.9, floats())", True),
    ("histogram_from_values(max_size=HasInt(), values=(1.0,))", True),
    ("histogram_from_values(2, ['1.0'])", False),
    ("histogram_from_values(2, 1.0)", False),
    ("histogram_from_values('2', [1.0])", False),
    ("histogram_from_buckets(2, [(1.0, 1), [2.0, 3]])", True),
    ("histogram_from_buckets(2, [{0: 1.0, 1: 2}])", True),
    ("histogram_from_buckets(2, [(HasFloat(), HasInt(), 'ignored')])", True),
    ("histogram_from_buckets(max_size=2, buckets=[])", True),
    ("histogram_from_buckets(2, [1.0])", False),
    ("histogram_from_buckets(2, 1.0)", False),
    ("isnan(1.0)", True),
    ("isnan(x=1.0)", False),
    ("isnan('nan')", False),
]


def test_mypy_and_run_time_agree_on_which_calls_are_typed_right():
    lines = PRELUDE.count("\n")
    source = PRELUDE + "".join("\nr%d = %s" % (i, call)
                               for i, (call, _) in enumerate(TYPED_CALLS))
    rejected = mypy_errors({"calls": source})["calls"]
    assert all(line > lines for line in rejected), rejected
    namespace = {}
    exec(PRELUDE, namespace)
    for i, (call, accepted) in enumerate(TYPED_CALLS):
        try:
            eval(call, namespace)
            runs = True
        except (TypeError, AttributeError):
            runs = False
        assert runs == accepted, "run time disagrees: " + call
        line = lines + 2 + i
        assert (line not in rejected) == accepted, (
            "mypy disagrees: %s %s" % (call, rejected.get(line, "")))


def test_stubtest_finds_the_stubs_and_the_modules_agree():
    # The functions carry text signatures, so stubtest compares each stub's
    # parameters (names, kinds, defaults) with the module's own.
    pytest.importorskip("mypy.stubtest")
    import subprocess
    import sys
    # The result type's class-level flags (final, disjoint base) are
    # spelled differently by each mypy version: not checked.
    allow = os.path.join(os.path.dirname(os.path.abspath(__file__)),
                         "stubtest-allowlist.txt")
    done = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "--allowlist", allow,
         STUBTEST_PACKAGE],
        cwd=os.path.abspath(os.sep), stdout=subprocess.PIPE,
        stderr=subprocess.STDOUT, universal_newlines=True, timeout=300)
    assert done.returncode == 0, done.stdout


@pytest.mark.parametrize("module", CHECKED_BY_STUBTEST)
def test_every_function_carries_a_text_signature(module):
    import inspect
    m = importlib.import_module(module)
    for name, f in vars(m).items():
        if type(f).__name__ == "builtin_function_or_method" and \
                f.__module__ == m.__name__:
            assert f.__text_signature__, name
            inspect.signature(f)
