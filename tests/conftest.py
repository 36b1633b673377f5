"""Helpers shared by the extension modules' tests."""
import ctypes
import os
import subprocess
import sys
import textwrap

import pytest

# Own prototypes, so that ctypes.pythonapi's shared settings stay as found.
_get_pointer = ctypes.PYFUNCTYPE(
    ctypes.c_void_p, ctypes.py_object, ctypes.c_char_p)(
    ("PyCapsule_GetPointer", ctypes.pythonapi))
_get_name = ctypes.PYFUNCTYPE(ctypes.c_char_p, ctypes.py_object)(
    ("PyCapsule_GetName", ctypes.pythonapi))


def capsule_name(capsule):
    """The name of a capsule as text."""
    return _get_name(capsule).decode()


def c_function(module, name, prototype):
    """Entry `name` of `module`'s C-level function table, called through
    `prototype` (a ctypes CFUNCTYPE or PYFUNCTYPE type)."""
    capsule = module.__pyx_capi__[name]
    address = _get_pointer(capsule, _get_name(capsule))
    return prototype(address)


def _run_python(code, timeout=60):
    """Runs `code` in a fresh interpreter, away from the source tree so the
    installed package is the one imported.  Returns the CompletedProcess."""
    env = dict(os.environ)
    env.pop("PYTHONPATH", None)
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        cwd=os.path.abspath(os.sep),
        env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
        universal_newlines=True, timeout=timeout)


@pytest.fixture
def run_python():
    """Runs a snippet in a subprocess (for things that may crash the
    interpreter or change process-wide state)."""
    return _run_python
