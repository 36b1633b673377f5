"""Runs mypy --strict, when it is installed, on snippets that use the
installed package, and tells which of their lines it rejects."""
import atexit
import os
import re
import shutil
import subprocess
import sys
import tempfile

import pytest

_cache = None


def mypy_errors(sources, ignore_missing_imports=False):
    """{name: {line: [messages]}} of mypy --strict over the modules given
    as {name: source text}; skips the test when mypy is missing.  With
    `ignore_missing_imports`, libraries without type information (pandas,
    pyarrow) are taken as untyped rather than reported."""
    global _cache
    pytest.importorskip("mypy", reason="mypy is not installed")
    if os.environ.get("VELBROOK_SANITIZE"):
        pytest.skip("mypy's compiled modules are not for the sanitizer run")
    if _cache is None:  # one cache for the session: typeshed parsed once
        _cache = tempfile.mkdtemp(prefix="velbrook-mypy-")
        atexit.register(shutil.rmtree, _cache, True)
    folder = tempfile.mkdtemp(prefix="velbrook-snippets-")
    try:
        for name, text in sources.items():
            with open(os.path.join(folder, name + ".py"), "w") as f:
                f.write(text)
        # From a folder of its own, so the source tree cannot shadow the
        # installed package and its stubs.  No promotion of memoryview or
        # bytearray to bytes (newer mypy's default, older mypy's option):
        # the modules refuse a memoryview format.
        proc = subprocess.run(
            [sys.executable, "-m", "mypy", "--strict", "--cache-dir", _cache,
             "--disable-memoryview-promotion",
             "--disable-bytearray-promotion",
             "--no-error-summary", "--show-error-codes", "--no-color-output"]
            + (["--ignore-missing-imports"] if ignore_missing_imports else [])
            + sorted(name + ".py" for name in sources),
            cwd=folder, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
            universal_newlines=True, timeout=600)
    finally:
        shutil.rmtree(folder, True)
    assert proc.returncode in (0, 1), proc.stdout + proc.stderr
    errors = {name: {} for name in sources}
    for line in proc.stdout.splitlines():
        # Older mypy (the newest that installs as a wheel on some
        # interpreters) gives some notes no line number.
        match = re.match(r"(.+?):(?:(\d+):)? (error|note): (.*)", line)
        assert match, "unexpected mypy output: " + line
        path, number, kind, message = match.groups()
        name = path[:-3] if path.endswith(".py") else None
        if kind == "note":  # context for an error, maybe in another file
            continue
        assert number, "unexpected mypy output: " + line
        assert name in errors, "mypy error outside the snippets: " + line
        errors[name].setdefault(int(number), []).append(message)
    return errors
