"""The README and the reference as a user reads them: every Python example
gives the output shown and passes mypy --strict, every command-line example
prints what is shown, so neither document can drift from the package."""
import doctest
import importlib.util
import os
import re
import shlex
import subprocess
import sys

import pytest

from typecheck import mypy_errors

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
DOCS = {"README": os.path.join(ROOT, "README.md"),
        "reference": os.path.join(ROOT, "docs", "reference.md")}
BIN = os.path.dirname(sys.executable)


def _read(name):
    with open(DOCS[name], encoding="utf-8") as f:
        return f.read()


def _blocks(text, language):
    """(first line number, lines) of each fenced block of the language."""
    blocks, current = [], None
    for number, line in enumerate(text.splitlines(), 1):
        if current is None and line.strip() == "```" + language:
            current = (number + 1, [])
        elif current is not None and line.strip() == "```":
            blocks.append(current)
            current = None
        elif current is not None:
            current[1].append(line)
    assert current is None, "unclosed block"
    return blocks


def _python_examples(name):
    """The file's python blocks as one doctest text, each line at its own
    line number, so that a failure names the line of the file."""
    text = _read(name)
    lines = [""] * (text.count("\n") + 2)
    for first, block in _blocks(text, "python"):
        lines[first - 1:first - 1 + len(block)] = block
    return "\n".join(lines)


def _skip_without_imported_libraries(text, name):
    """Skips when an example imports a library that is not installed (the
    column recipes use pandas, pyarrow and polars, optional for the
    package and absent from the sanitizer run)."""
    imported = re.findall(r"^>>> from (\w+)", text, re.M)
    for names in re.findall(r"^>>> import (.*)", text, re.M):
        imported += [n.split()[0].split(".")[0] for n in names.split(",")]
    missing = sorted({m for m in imported
                      if importlib.util.find_spec(m) is None})
    if missing:
        pytest.skip("the %s examples import %s, not installed"
                    % (name, ", ".join(missing)))


@pytest.mark.parametrize("name", sorted(DOCS))
def test_python_examples_give_the_output_shown(name):
    parser = doctest.DocTestParser()
    text = _python_examples(name)
    _skip_without_imported_libraries(text, name)
    test = parser.get_doctest(text, {}, name, DOCS[name], 0)
    assert len(test.examples) > 3
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    failures = []
    runner.run(test, out=failures.append)
    assert not failures, "".join(failures)


def test_python_examples_pass_mypy_strict():
    parser = doctest.DocTestParser()
    sources = {}
    for name in DOCS:
        examples = parser.get_examples(_python_examples(name))
        sources[name] = "".join(e.source for e in examples)
    # pandas and pyarrow carry no type information: untyped, not errors.
    errors = mypy_errors(sources, ignore_missing_imports=True)
    assert errors == {name: {} for name in DOCS}


def _console_examples(name):
    """(command, expected output) for each "$ " line of console blocks."""
    for first, block in _blocks(_read(name), "console"):
        for i, line in enumerate(block):
            if line.startswith("$ "):
                output = []
                for later in block[i + 1:]:
                    if later.startswith("$ "):
                        break
                    output.append(later + "\n")
                yield pytest.param(line[2:], "".join(output),
                                   id="%s:%d" % (name, first + i))


@pytest.mark.skipif(not os.path.exists(os.path.join(BIN, "velbrook")),
                    reason="velbrook console script not installed")
@pytest.mark.parametrize("command, output", [
    example for name in sorted(DOCS) for example in _console_examples(name)])
def test_command_line_examples_print_what_is_shown(tmp_path, command,
                                                   output):
    # As written in a clone, where the README's commands use the virtual
    # environment's script; here the one installed beside this interpreter.
    command = command.replace(".venv/bin/", shlex.quote(BIN) + "/")
    env = dict(os.environ, PATH=BIN + os.pathsep + os.environ["PATH"])
    env.pop("PYTHONPATH", None)
    cwd = ROOT if ".venv/bin/" in command or "velbrook/data" in command \
        else str(tmp_path)
    proc = subprocess.run(["sh", "-c", command], cwd=cwd, env=env,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          universal_newlines=True, timeout=120)
    assert (proc.stdout, proc.stderr) == (output, "")


def test_readme_opens_with_the_two_commands_and_links_the_reference():
    text = _read("README")
    first = _blocks(text, "sh")[0]
    commands = [line for line in first[1] if line.strip()]
    assert len(commands) == 2
    assert commands[0].startswith("python3 -m venv .venv && ")
    assert commands[0].endswith(".venv/bin/velbrook demo")
    assert commands[1] == "scripts/run-tests"
    # Nothing but the title and one paragraph before them.
    assert first[0] < 8
    assert "](docs/reference.md)" in text


def test_readme_commands_use_the_virtual_environment():
    # Bare python3 -m pip or python3 -m velbrook fail on an externally
    # managed interpreter, or run the source folder instead of the build.
    text = _read("README")
    for _, block in _blocks(text, "sh") + _blocks(text, "console"):
        for line in block:
            assert not re.search(r"python3? -m (pip|velbrook)|(^|\s)pip ",
                                 line), line
