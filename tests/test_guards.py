"""What the modules' shortcuts rely on, defeated one assumption at a time:
records built without calling their type, the native zone-suffix removal,
calls into a module whose import failed or is still running, and Ctrl-C
during a long histogram."""
import copy
import pickle
import textwrap

import pytest

from conftest import interrupted
from velbrook.centroid_histogram import bucket_summarizer as hist
from velbrook.intToTime import ordinal_unfolder as unfolder

RECORDS = {
    "struct_time": lambda: unfolder.int2time(1614834367, b"%M"),
    "CentroidBucket": lambda: hist.histogram_from_values(4, [2.5]).buckets[0],
    "CentroidHistogram": lambda: hist.histogram_from_values(4, [2.5]),
}
HASHABLE = ["struct_time", "CentroidBucket"]


@pytest.mark.parametrize("name", HASHABLE)
def test_records_hash_and_key_as_their_tuples(name):
    r = RECORDS[name]()
    t = tuple(r)
    assert hash(r) == hash(t) and hash(r) != 0
    assert {t: 1}.get(r) == 1 and {r: 1}.get(t) == 1
    assert r in {t} and t in {r}
    assert len({RECORDS[name](), r, t}) == 1


@pytest.mark.parametrize("name", sorted(RECORDS))
def test_records_copy_pickle_and_compare_as_tuples(name):
    r = RECORDS[name]()
    t = tuple(r)
    assert r == t and not r != t and r <= t and not r < t
    assert r < t + (0,) and t[:-1] < r
    for c in (copy.copy(r), copy.deepcopy(r)):
        assert type(c) is type(r) and c == r
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        back = pickle.loads(pickle.dumps(r, protocol))
        assert type(back) is type(r) and back == r


# A package-relative `collections` (tried before the standard one) that
# hands out something other than the standard named tuples.  Each case runs
# in a fresh interpreter: a wrong shortcut here used to crash it.
FAKE_NAMEDTUPLES = {
    "not a tuple class": """
        def namedtuple(name, fields):
            def init(self, *a):
                self.a = a
            return type(name, (), {"__init__": init})
        def fields_of(r):
            return r.a
        """,
    "not a type": """
        def namedtuple(name, fields):
            return lambda *a: (name, a)
        def fields_of(r):
            return r[1]
        """,
    "a tuple class with its own __new__": """
        def namedtuple(name, fields):
            def new(cls, *a):
                return tuple.__new__(cls, a[::-1])
            return type(name, (tuple,), {"__new__": new,
                                         "_fields": tuple(fields)})
        def fields_of(r):
            return tuple(r)
        """,
    "the standard namedtuple": """
        from collections import namedtuple
        def fields_of(r):
            return tuple(r)
        """,
}

# Prints each record's fields as built, buckets inside the histogram too.
CALL_RECORDS = """
    import sys, types
    fake = types.ModuleType("fake")
    exec(textwrap.dedent({source!r}), fake.__dict__)
    for package in ("velbrook.intToTime", "velbrook.centroid_histogram"):
        sys.modules[package + ".collections"] = fake
    from velbrook.intToTime import ordinal_unfolder as u
    from velbrook.centroid_histogram import bucket_summarizer as h
    def show(r):
        return tuple([show(b) for b in f] if isinstance(f, list) else f
                     for f in fake.fields_of(r))
    print(repr(show(u.int2time(86400 + 3661, b"%M"))))
    print(repr(show(h.histogram_from_values(2, [1.5]))))
"""

STANDARD = [(1970, 1, 2, 1, 1, 1, 4, 2, 0, 0), (2, [(1.5, 1)])]
EXPECTED_RECORDS = {
    "not a tuple class": STANDARD,
    "not a type": STANDARD,
    "a tuple class with its own __new__": [
        (0, 0, 2, 4, 1, 1, 1, 2, 1, 1970), ([(1, 1.5)], 2)],
    "the standard namedtuple": STANDARD,
}


@pytest.mark.parametrize("case", sorted(FAKE_NAMEDTUPLES))
def test_records_from_another_namedtuple_are_called(run_python, case):
    source = textwrap.dedent(FAKE_NAMEDTUPLES[case])
    done = run_python("import textwrap\n" + textwrap.dedent(
        CALL_RECORDS).format(source=source))
    assert done.returncode == 0, done.stderr
    got = [eval(line) for line in done.stdout.splitlines()]
    assert got == EXPECTED_RECORDS[case]


def replace_code(record_type, reversing):
    record_type.__new__.__code__ = reversing.__code__


def reinit_staticmethod(record_type, reversing):
    # The staticmethod in the type's dict, pointed at another function.
    record_type.__dict__["__new__"].__init__(reversing)


@pytest.mark.parametrize("change", [replace_code, reinit_staticmethod])
@pytest.mark.parametrize("name", sorted(RECORDS))
def test_new_changed_in_place_is_run(name, change):
    r = RECORDS[name]()
    record_type = type(r)
    new = record_type.__new__  # the function inside the staticmethod
    saved = new.__code__
    # Same globals (`_tuple_new` is there), other code: the fields reversed.
    reversing = eval("lambda _cls, *a: _tuple_new(_cls, a[::-1])",
                     dict(new.__globals__))
    try:
        change(record_type, reversing)
        assert tuple(RECORDS[name]()) == tuple(r)[::-1]
    finally:
        new.__code__ = saved
        record_type.__dict__["__new__"].__init__(new)
    assert tuple(RECORDS[name]()) == tuple(r)


ZONE_TEXT = "2021-03-04 05:06:07 +0100"
ZONE_FMT = b"%Y-%m-%d %H:%M:%S"


@pytest.mark.parametrize("name", ["search", "sub"])
def test_wrapper_installed_on_re_before_import_is_called(run_python, name):
    done = run_python("""
        import functools, re
        calls = []
        original = re.{name}
        @functools.wraps(original)
        def wrapper(*args, **kwargs):
            calls.append(args[0])
            return original(*args, **kwargs)
        re.{name} = wrapper
        from velbrook.dateToInt import calendar_text_codec as m
        assert m.{name} is wrapper
        print(m.date2intWrapper({text!r}, {fmt!r}), calls == [m.TZ_REGEXP])
    """.format(name=name, text=ZONE_TEXT, fmt=ZONE_FMT))
    assert done.returncode == 0, done.stderr
    assert done.stdout.split() == ["1614834367", "True"]


@pytest.mark.parametrize("change, expected", [
    # No match: the suffix stays and the parse fails.
    ("m.search.__code__ = (lambda p, s, f=0: None).__code__", "ValueError"),
    # re itself refuses flags=None.
    ("m.search.__defaults__ = (None,)", "TypeError"),
    # '?' is no date.
    ("m.sub.__code__ = (lambda p, r, s, *a, **k: '?').__code__",
     "ValueError"),
])
def test_re_function_changed_in_place_is_called(run_python, change,
                                                expected):
    # In a child: the change reaches the standard `re` module itself.
    done = run_python("""
        from velbrook.dateToInt import calendar_text_codec as m
        {change}
        try:
            print(m.date2intWrapper({text!r}, {fmt!r}))
        except Exception as e:
            print(type(e).__name__)
    """.format(change=change, text=ZONE_TEXT, fmt=ZONE_FMT))
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == expected


# Functions left reachable by a failed import (the "init ..." traceback
# entry keeps the abandoned namespace) raise instead of touching null
# state.  Each line: what to block, the module, then the call.
HALF_BUILT = {
    "histogram": ("math", "velbrook.centroid_histogram.bucket_summarizer",
                  "histogram_from_values(2, [1.0])"),
    "buckets": ("math", "velbrook.centroid_histogram.bucket_summarizer",
                "histogram_from_buckets(2, [(1.0, 1)])"),
    "int2time": ("collections", "velbrook.intToTime.ordinal_unfolder",
                 "int2time(0, b'%M')"),
    "fromordinal": ("collections", "velbrook.intToTime.ordinal_unfolder",
                    "fromordinal(1)"),
    "zone path": ("re", "velbrook.dateToInt.calendar_text_codec",
                  "date2intWrapper('2021-03-04 05:06 +01', b'%Y-%m-%d %H:%M')"),
    "strptime": ("re", "velbrook.dateToInt.calendar_text_codec",
                 "strptime('2021', b'%Y')"),
}


@pytest.mark.parametrize("case", sorted(HALF_BUILT))
def test_functions_of_a_failed_import_raise(run_python, case):
    blocked, module, call = HALF_BUILT[case]
    done = run_python("""
        import importlib, sys
        if {module!r}.endswith("calendar_text_codec"):
            import velbrook.intToTime.ordinal_unfolder
        saved = sys.modules.pop({blocked!r}, None)
        sys.modules[{blocked!r}] = None
        try:
            importlib.import_module({module!r})
        except ImportError as e:
            tb = e.__traceback__
        while tb.tb_next:
            tb = tb.tb_next
        namespace = tb.tb_frame.f_globals
        assert tb.tb_frame.f_code.co_name == "init " + {module!r}
        del sys.modules[{blocked!r}]
        if saved is not None:
            sys.modules[{blocked!r}] = saved
        try:
            eval({call!r}, namespace)
        except RuntimeError as e:
            print(e)
        module = importlib.import_module({module!r})  # a new import works
        print(type(eval("module." + {call!r})).__name__)
    """.format(blocked=blocked, module=module, call=call))
    assert done.returncode == 0, done.stderr
    lines = done.stdout.splitlines()
    assert lines[0] == ("module %s is not initialised: its import failed "
                        "or has not finished" % module)
    assert len(lines) == 2 and lines[1] != "NoneType"


def test_functions_called_while_the_import_runs_raise(run_python):
    # A finder answering the module's own package-relative import runs
    # while the datetime C API is not loaded yet.
    done = run_python("""
        import sys
        seen = []
        class Finder:
            @staticmethod
            def find_spec(name, path=None, target=None):
                if name == "velbrook.intToTime.collections":
                    u = sys.modules["velbrook.intToTime.ordinal_unfolder"]
                    for f, arg in [(u.fromordinal, 1),
                                   (u.utcfromtimestamp, 0.0),
                                   (u.totimestamp, None)]:
                        try:
                            f(arg)
                        except RuntimeError as e:
                            seen.append(str(e))
                return None
        sys.meta_path.insert(0, Finder)
        from velbrook.intToTime import ordinal_unfolder as u
        print(len(seen), len(set(seen)), u.fromordinal(1).year)
        print(seen[0])
    """)
    assert done.returncode == 0, done.stderr
    lines = done.stdout.splitlines()
    assert lines[0] == "3 1 1"
    assert lines[1].startswith("module velbrook.intToTime.ordinal_unfolder "
                               "is not initialised")


# Calls that would run for minutes; Ctrl-C must end each within a second
# or so, with KeyboardInterrupt.  Above the block engines' largest
# capacity a list still costs O(capacity) a push; below it, an endless
# iterator keeps them busy.
LONG_CALLS = [
    "h.histogram_from_values(2 ** 23, values)",
    "h.histogram_from_values(100000, itertools.cycle(values))",
    "h.histogram_from_values(16, itertools.repeat(1.0, 10 ** 10))",
    "h.histogram_from_buckets(16, itertools.repeat((1.0, 1), 10 ** 10))",
]


@pytest.mark.parametrize("call", LONG_CALLS)
def test_ctrl_c_stops_a_long_histogram(call):
    code = textwrap.dedent("""
        import itertools, sys
        from velbrook.centroid_histogram import bucket_summarizer as h
        values = [float(i % 1000) for i in range(400000)]
        print("ready", flush=True)
        try:
            {call}
        except KeyboardInterrupt:
            print("interrupted", flush=True)
    """).format(call=call)
    out, status, waited = interrupted(code)
    assert out == "interrupted\n" and status == 0
    assert waited < 5
