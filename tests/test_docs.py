"""Every code block of README.md and docs/*.md runs as shown, every link between the pages
leads to a file, and docs/api.md is current.

The fence's first word says how a block is checked; words after it qualify it:

- ``python``: run; the blocks of one file run in order in one namespace, in a temporary
  directory holding a copy of examples/. A ``text`` block right after it (blank lines between
  at most) is what it prints, compared line by line without trailing spaces.
- ``console`` or ``sh``: lines starting with ``$ vashlet`` or ``$ python -m vashlet`` run the
  command line in that directory; the lines up to the next ``$`` are its output (standard
  error, then standard output), and the status is 2 where an error is shown, else 0. Any
  other command needs ``no-run``.
- ``pycon``: run as a doctest (the examples of docs/api.md's docstrings).
- ``json``: parsed.
- ``text``: only as the output of the block before it.
- ``no-run``: shown, never run: installs, builds, benchmarks, anything needing a cluster.
- ``java``: skipped where Java (for local Spark) is not installed, and under preloaded sanitizer
  runtimes (as the sanitizer run leaves out the Spark tests).
"""

from __future__ import annotations

import contextlib
import doctest
import io
import json
import os
import re
import shlex
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import vashlet

ROOT = Path(__file__).resolve().parent.parent
PAGES = [ROOT / "README.md", *sorted((ROOT / "docs").glob("*.md"))]
FENCE = re.compile(r"^```(.*)$")


def blocks(path: Path) -> list[tuple[int, list[str], str, bool]]:
    """(line of the opening fence, fence words, body, whether only blank lines lie between it
    and the block before) of each fenced block of a page."""
    found, lines, index, after = [], path.read_text(encoding="utf-8").splitlines(), 0, None
    while index < len(lines):
        opening = FENCE.match(lines[index])
        if not opening:
            index += 1
            continue
        end = next((j for j in range(index + 1, len(lines)) if lines[j] == "```"), None)
        assert end is not None, f"{path.name}:{index + 1}: the block is never closed"
        adjacent = after is not None and not "".join(lines[after:index]).strip()
        found.append((index + 1, opening.group(1).split(), "\n".join(lines[index + 1:end]),
                      adjacent))
        index = after = end + 1
    return found


def shown(text: str) -> str:
    return "\n".join(line.rstrip() for line in text.strip("\n").splitlines())


def run_python(body: str, line: int, namespace: dict, name: str) -> str:
    out = io.StringIO()
    code = compile("\n" * line + body, name, "exec")  # tracebacks give the page's line numbers
    with contextlib.redirect_stdout(out):
        exec(code, namespace)
    return out.getvalue()


def run_console(body: str, where: str) -> None:
    sessions = re.split(r"^\$ ", body, flags=re.M)
    assert sessions[0].strip() == "", f"{where}: commands start with '$ ', or mark the block no-run"
    for session in sessions[1:]:
        command, _, expected = session.partition("\n")
        words = shlex.split(command)
        if words[:1] == ["vashlet"]:
            words = words[1:]
        elif words[:3] == ["python", "-m", "vashlet"]:
            words = words[3:]
        else:
            pytest.fail(f"{where}: '{command}' is not the command line; mark the block no-run")
        done = subprocess.run([sys.executable, "-m", "vashlet", *words], capture_output=True,
                              text=True, timeout=120)
        if expected.strip():
            assert shown(done.stderr + done.stdout) == shown(expected), f"{where}: $ {command}"
        # An error shown is status 2; anything else, even a warning, is 0.
        status = 2 if "vashlet: error:" in expected else 0
        assert done.returncode == status, f"{where}: $ {command}\n{done.stderr}"


@pytest.mark.parametrize("page", PAGES, ids=lambda page: str(page.relative_to(ROOT)))
def test_page_runs_as_shown(page, tmp_path, monkeypatch):
    shutil.copytree(ROOT / "examples", tmp_path / "examples")
    monkeypatch.chdir(tmp_path)
    # Spark's workers run this interpreter, which imports the vashlet under test.
    monkeypatch.setenv("PYSPARK_PYTHON", sys.executable)
    package_root = str(Path(vashlet.__file__).resolve().parent.parent)
    monkeypatch.setenv("PYTHONPATH", os.pathsep.join(
        filter(None, [package_root, os.environ.get("PYTHONPATH")])))
    for target in re.findall(r"\]\(([^)#:]+)(?:#[^)]*)?\)", page.read_text(encoding="utf-8")):
        assert (page.parent / target).exists(), f"{page.name}: the link to {target} leads nowhere"
    namespace = {"__name__": "__docs__"}
    found = blocks(page)
    for number, (line, words, body, _) in enumerate(found):
        where = f"{page.name}:{line}"
        language, flags = (words[0], set(words[1:])) if words else ("", set())
        if "no-run" in flags:
            continue
        if "java" in flags and (not (shutil.which("java") or os.environ.get("JAVA_HOME"))
                                or "asan" in os.environ.get("LD_PRELOAD", "")):
            continue  # no Java, or sanitizer runtimes preloaded, which must not reach the JVM
        if language == "python":
            printed = run_python(body, line, namespace, str(page))
            following = found[number + 1] if number + 1 < len(found) else None
            if following and following[1][:1] == ["text"] and following[3]:
                assert shown(printed) == shown(following[2]), f"{where}: printed differently"
        elif language in ("console", "sh"):
            run_console(body, where)
        elif language == "pycon":
            test = doctest.DocTestParser().get_doctest(body, {}, where, str(page), line)
            runner = doctest.DocTestRunner(optionflags=doctest.NORMALIZE_WHITESPACE)
            report = io.StringIO()
            runner.run(test, out=report.write)
            assert not runner.failures, report.getvalue()
        elif language == "json":
            json.loads(body)
        elif language == "text":
            previous = found[number - 1][1][:1] if number else []
            assert previous == ["python"] and found[number][3], (
                f"{where}: a text block shows the output of the python block right before it")
        else:
            pytest.fail(f"{where}: unknown fence '{' '.join(words)}'; mark it no-run if shown only")


def test_api_reference_is_current():
    done = subprocess.run([sys.executable, str(ROOT / "scripts" / "api_reference.py"), "--check"],
                          capture_output=True, text=True)
    assert done.returncode == 0, done.stdout + done.stderr
