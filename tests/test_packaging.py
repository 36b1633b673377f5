"""What the source distribution carries: everything its own build and test
suite need, nothing built, and the project's metadata."""
import os
import shutil
import subprocess
import sys
import tarfile

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

# Files without which the sdist cannot build or test itself.
NEEDED = [
    "LICENSE", "MANIFEST.in", "README.md", "pyproject.toml", "setup.py",
    "docs/reference.md",
    "tests/conftest.py", "tests/histogram_model.py", "tests/requirements.txt",
    "tests/typecheck.py", "tests/test_reference.py", "tests/test_cli.py",
    "velbrook/py.typed", "velbrook/data/values.txt",
    "velbrook/intToTime/broken_down_time.h",
    "velbrook/intToTime/ordinal_unfolder.cpp",
    "velbrook/intToTime/ordinal_unfolder.pyi",
    "velbrook/dateToInt/strptime.h", "velbrook/dateToInt/PosixFctns.h",
    "velbrook/dateToInt/calendar_text_codec.cpp",
    "velbrook/dateToInt/calendar_text_codec.pyi",
    "velbrook/centroid_histogram/histogram.h",
    "velbrook/centroid_histogram/bucket_summarizer.cpp",
    "velbrook/centroid_histogram/bucket_summarizer.pyi",
] + sorted(  # the shared headers every module is compiled with
    "velbrook/_shared/" + name
    for name in os.listdir(os.path.join(ROOT, "velbrook", "_shared"))
    if name.endswith(".h"))


def _tracked(folders):
    """The files git tracks in the folders, or None outside a checkout."""
    if not os.path.isdir(os.path.join(ROOT, ".git")) and not os.path.isfile(
            os.path.join(ROOT, ".git")):
        return None
    try:
        out = subprocess.run(["git", "ls-files", "--"] + folders, cwd=ROOT,
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                             universal_newlines=True, check=True).stdout
    except (OSError, subprocess.CalledProcessError):
        return None
    return set(out.split())


@pytest.fixture(scope="module")
def sdist(tmp_path_factory):
    """(names relative to the sdist's folder, PKG-INFO text) of an sdist
    built from a copy of this tree."""
    pytest.importorskip("build", reason="the build tool is not installed")
    setuptools = pytest.importorskip("setuptools",
                                     reason="setuptools is not installed")
    if int(setuptools.__version__.split(".")[0]) < 61:
        pytest.skip("setuptools before 61 cannot read pyproject metadata")
    pytest.importorskip("wheel", reason="wheel is not installed")
    work = tmp_path_factory.mktemp("sdist")
    tree = str(work / "tree")
    # A copy without what earlier builds left, as a fresh clone has it.
    shutil.copytree(ROOT, tree, ignore=shutil.ignore_patterns(
        ".git", ".venv", ".venvs", "build", "dist", "*.egg-info", "*.so",
        "__pycache__", ".pytest_cache", "out"))
    proc = subprocess.run(
        [sys.executable, "-m", "build", "--sdist", "--no-isolation",
         "--outdir", str(work / "dist"), tree],
        stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
        universal_newlines=True, timeout=600)
    assert proc.returncode == 0, proc.stdout
    (archive,) = os.listdir(str(work / "dist"))
    with tarfile.open(str(work / "dist" / archive)) as tar:
        names = tar.getnames()
        top = names[0].split("/")[0]
        info = tar.extractfile(top + "/PKG-INFO").read().decode("utf-8")
    return {n[len(top) + 1:] for n in names if n.startswith(top + "/")}, info


def test_sdist_holds_what_its_build_and_tests_need(sdist):
    names, _ = sdist
    assert sorted(set(NEEDED) - names) == []
    # Every tracked file of the package, its tests, docs and examples (a
    # test runs one), so a file added later cannot be forgotten.
    tracked = _tracked(["velbrook", "tests", "docs", "examples"])
    if tracked is not None:
        assert sorted(tracked - names) == []


def test_sdist_holds_nothing_built(sdist):
    names, _ = sdist
    assert [n for n in names if n.endswith((".so", ".pyc", ".o"))
            or "__pycache__" in n] == []


@pytest.mark.parametrize("line", [
    "Name: velbrook",
    "License: MIT",
    "Classifier: License :: OSI Approved :: MIT License",
    "Requires-Python: >=3.7",
] + ["Classifier: Programming Language :: Python :: 3.%d" % minor
     for minor in range(7, 16)])
def test_sdist_metadata(sdist, line):
    _, info = sdist
    assert line in info.splitlines()


def test_sdist_metadata_names_urls_and_keywords(sdist):
    _, info = sdist
    lines = info.splitlines()
    assert any(l.startswith("Project-URL: Source, ") for l in lines)
    assert any(l.startswith("Project-URL: Documentation, ") for l in lines)
    assert any(l.startswith("Keywords: ") and "histogram" in l
               for l in lines)
