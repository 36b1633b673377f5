"""Helpers shared by the extension modules' tests."""
import ctypes
import os
import signal
import subprocess
import sys
import textwrap
import time

import pytest

# A handle of our own on the interpreter's C API, and function objects of
# our own made from it: ctypes.pythonapi's shared prototypes stay as found.
# PYFUNCTYPE keeps the GIL held and raises the exception the callee set.
_api = ctypes.PyDLL(None)
_get_pointer = ctypes.PYFUNCTYPE(
    ctypes.c_void_p, ctypes.py_object, ctypes.c_char_p)(
    ("PyCapsule_GetPointer", _api))
_get_name = ctypes.PYFUNCTYPE(ctypes.c_char_p, ctypes.py_object)(
    ("PyCapsule_GetName", _api))
_call = ctypes.PYFUNCTYPE(*(ctypes.py_object,) * 4)(("PyObject_Call", _api))


def capsule_name(capsule):
    """The name of a capsule as text."""
    return _get_name(capsule).decode()


def capsule_pointer(capsule, signature=None):
    """The address a capsule holds. With `signature`, the capsule must
    carry that name, or PyCapsule_GetPointer raises ValueError."""
    if signature is None:
        return _get_pointer(capsule, _get_name(capsule))
    return _get_pointer(capsule, signature.encode())


def c_function(module, name, prototype, signature=None):
    """Entry `name` of `module`'s C-level function table, called through
    `prototype` (a ctypes CFUNCTYPE or PYFUNCTYPE type)."""
    return prototype(capsule_pointer(module.__pyx_capi__[name], signature))


def call_object(function, args, kwargs):
    """`function(*args, **kwargs)` through PyObject_Call, so that keywords
    that are not strings reach the function."""
    return _call(function, args, kwargs)


def non_string_keyword(name):
    """The message of a call of the function `name` with a keyword that is
    not a string, made through PyObject_Call.  From 3.9 on the interpreter
    refuses such a keyword itself, in its own words, before it calls a
    function of the fast calling convention; 3.7 and 3.8 leave it to the
    function's own binder."""
    if sys.version_info >= (3, 9):
        return "keywords must be strings"
    return name + "() keywords must be strings"


def check(call, expected):
    """`call()` returns `expected` or raises it. `expected` is one of:
    an exception instance (exactly its type, with its args if it has any);
    an exception type (it or a subclass); a callable that is not a type (a
    predicate the result satisfies); any other value (a result of the
    same type that compares equal)."""
    if isinstance(expected, BaseException):
        with pytest.raises(type(expected)) as info:
            call()
        assert type(info.value) is type(expected)
        assert not expected.args or info.value.args == expected.args
    elif isinstance(expected, type) and issubclass(expected, BaseException):
        with pytest.raises(expected):
            call()
    elif callable(expected) and not isinstance(expected, type):
        assert expected(call())
    else:
        got = call()
        assert type(got) is type(expected) and got == expected


def _child(code, **kwargs):
    """Arguments for running `code` in a fresh interpreter, away from the
    source tree so the installed package is the one imported."""
    env = dict(os.environ)
    env.pop("PYTHONPATH", None)
    return dict(args=[sys.executable, "-c", textwrap.dedent(code)],
                cwd=os.path.abspath(os.sep), env=env,
                universal_newlines=True, **kwargs)


def _run_python(code, timeout=60):
    """Runs `code` in a fresh interpreter.  Returns the CompletedProcess."""
    return subprocess.run(timeout=timeout, **_child(
        code, stdout=subprocess.PIPE, stderr=subprocess.PIPE))


def interrupted(code, delay=0.5):
    """Runs `code`, which prints "ready" before a long call, sends SIGINT
    `delay` seconds after that line and returns (its standard output after
    "ready", its exit status, the seconds it took to end after the
    signal)."""
    child = subprocess.Popen(**_child(code, stdout=subprocess.PIPE))
    try:
        assert child.stdout.readline() == "ready\n"
        time.sleep(delay)  # well inside the call
        child.send_signal(signal.SIGINT)
        sent = time.monotonic()
        out, _ = child.communicate(timeout=60)
        return out, child.returncode, time.monotonic() - sent
    finally:
        child.kill()


@pytest.fixture
def run_python():
    """Runs a snippet in a subprocess (for things that may crash the
    interpreter or change process-wide state)."""
    return _run_python
