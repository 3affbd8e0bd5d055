"""The command line end to end, run as `python -m vashlet` on files the tests write."""

import csv
import json
import os
import subprocess
import sys
from pathlib import Path

import pytest

import vashlet

pa = pytest.importorskip("pyarrow")
import pyarrow.csv as pcsv  # noqa: E402
import pyarrow.parquet as pq  # noqa: E402

PACKAGE_ROOT = Path(vashlet.__file__).resolve().parent.parent
REPOSITORY = Path(__file__).resolve().parent.parent
PATTERN = "login[user as $u] -[<=300]-> purchase[user == $u]"
EVENTS = pa.table(
    {
        "partition": ["ann", "ann", "bob", "bob", "cat"],
        "ts": [100, 130, 100, 900, 50],
        "type": ["login", "purchase", "login", "purchase", "login"],
        "user": ["ann", "ann", "bob", "bob", "cat"],
    }
)


def run(*arguments, cwd=None, pythonpath=()):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([*map(str, pythonpath), str(PACKAGE_ROOT)]))
    return subprocess.run(
        [sys.executable, "-m", "vashlet", *map(str, arguments)],
        capture_output=True, text=True, env=env, cwd=cwd, timeout=120,
    )


def write_events(path, table=EVENTS):
    """`table` written in the format of `path`'s extension."""
    suffix = "".join(path.suffixes)
    if suffix == ".parquet":
        pq.write_table(table, path)
    elif suffix in (".csv", ".csv.gz"):
        with pa.CompressedOutputStream(path, "gzip") if suffix.endswith(".gz") else pa.OSFile(str(path), "wb") as out:
            pcsv.write_csv(table, out)
    elif suffix == ".jsonl":
        path.write_text("".join(json.dumps(row) + "\n" for row in table.to_pylist()))
    elif suffix == ".arrow":
        with pa.ipc.new_file(path, table.schema) as writer:
            writer.write_table(table)
    elif suffix == ".stream":
        with pa.ipc.new_stream(path, table.schema) as writer:
            writer.write_table(table)
    return path


@pytest.mark.parametrize("name", ["e.parquet", "e.csv", "e.csv.gz", "e.jsonl", "e.arrow", "e.stream"])
def test_each_input_format_is_read(tmp_path, name):
    path = write_events(tmp_path / name)
    fmt = ["--format", "arrow"] if name.endswith(".stream") else []
    result = run("explain", PATTERN, path, *fmt)
    assert (result.returncode, result.stderr) == (0, "")
    lines = result.stdout.splitlines()
    assert lines[0].split() == [
        "start_row", "partition", "reached_steps", "rows", "next_event_type", "reason", "detail",
        "captures",
    ]
    assert lines[2].split() == [
        "2", "bob", "1", "[2]", "purchase", "window_exceeded", "row", "3", "after", "800", ">",
        "300", "u=bob",
    ]
    assert lines[3].split() == ["4", "cat", "1", "[4]", "purchase", "no_successor", "u=cat"]
    assert lines[-1] == "(2 near misses)"


def test_match_prints_an_aligned_table(tmp_path):
    result = run("match", PATTERN, write_events(tmp_path / "e.parquet"))
    assert (result.returncode, result.stderr) == (0, "")
    assert result.stdout == (
        "match  partition  start  end  rows    captures\n"
        "-----  ---------  -----  ---  ------  --------\n"
        "    0  ann          100  130  [0, 1]  u=ann\n"
        "(1 match)\n"
    )


@pytest.mark.parametrize(
    "command, suffix",
    [("match", ".csv"), ("explain", ".csv"), ("match", ".jsonl"), ("explain", ".parquet")],
)
def test_output_files_hold_every_row(tmp_path, command, suffix):
    events = pa.table({
        "partition": [f"p{n % 7}" for n in range(300)],
        "ts": list(range(300)),
        "type": ["login", "purchase", "view"] * 100,
        "user": [f"u{n % 5}" for n in range(300)],
    })
    source = write_events(tmp_path / "e.parquet", events)
    out = tmp_path / f"out{suffix}"
    result = run(command, PATTERN, source, "--output", out)
    assert result.returncode == 0, result.stderr
    assert result.stdout == ""
    expected = getattr(vashlet, command)(PATTERN, events)
    assert len(expected) > 20
    if suffix == ".parquet":
        assert pq.read_table(out).to_pylist() == expected.to_pylist()
    elif suffix == ".jsonl":
        assert [json.loads(line) for line in out.read_text().splitlines()] == expected.to_pylist()
    else:
        with open(out, newline="") as handle:
            rows = list(csv.reader(handle))
        assert rows[0] == expected.columns
        assert [int(row[0]) for row in rows[1:]] == [row[expected.columns[0]] for row in expected]
        assert json.loads(rows[1][expected.columns.index("rows") ]) == expected.to_pylist()[0]["rows"]


def test_parquet_output_leaves_out_captures_of_a_pattern_that_binds_nothing(tmp_path):
    out = tmp_path / "out.parquet"
    result = run("explain", "login -[<=300]-> purchase", write_events(tmp_path / "e.csv"), "-o", out)
    assert result.returncode == 0, result.stderr
    written = pq.read_table(out)
    assert "captures" not in written.column_names
    assert written.column("start_row").to_pylist() == [2, 4]


def test_terminal_table_is_limited_and_counted(tmp_path):
    source = write_events(tmp_path / "e.parquet", pa.table({
        "partition": ["p"] * 50, "ts": list(range(50)), "type": ["A"] * 50,
    }))
    shown = run("match", "A", source, "--limit", "5").stdout.splitlines()
    assert len(shown) == 2 + 5 + 1
    assert shown[-1] == "(50 matches; first 5 shown; --limit 0 shows all, --output writes them to a file)"
    assert len(run("match", "A", source, "--limit", "0").stdout.splitlines()) == 2 + 50 + 1


def test_nothing_matching_is_success(tmp_path):
    source = write_events(tmp_path / "e.csv")
    result = run("match", "purchase -> login", source)
    assert (result.returncode, result.stdout, result.stderr) == (0, "no matches\n", "")


@pytest.mark.parametrize("as_json", [False, True])
def test_pattern_file_in_text_or_json(tmp_path, as_json):
    pattern = vashlet.parse_pattern(PATTERN)
    pattern_file = tmp_path / "p.txt"
    pattern_file.write_text(pattern.to_json(pretty=True) if as_json else PATTERN + "\n")
    source = write_events(tmp_path / "e.jsonl")
    result = run("match", "--pattern-file", pattern_file, source, source, "--exhaustive")
    assert result.returncode == 0, result.stderr
    # Two files: the second one's rows follow the first one's, and ann's two logins and two
    # purchases pair up every way.
    assert result.stdout.splitlines()[-1] == "(4 matches)"
    assert "[5, 1]" in result.stdout


def test_columns_named_by_options(tmp_path):
    renamed = EVENTS.rename_columns(["who", "when", "what", "user"])
    source = write_events(tmp_path / "e.parquet", renamed)
    result = run("match", PATTERN, source, "--partition", "who", "--ts", "when", "--type", "what")
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines()[-1] == "(1 match)"


@pytest.mark.parametrize(
    "command, arguments, message",
    [
        ("match", ["login ->", "{events}"], "vashlet: error: bad pattern: transition is missing a following atom"),
        ("explain", ["login", "{missing}"], "no such file"),
        ("match", ["login", "{garbage}"], "cannot read as parquet"),
        ("explain", ["login", "{events}", "--ts", "when"], "ts column 'when' is not in the data"),
        ("match", ["purchase[amount > 1]", "{events}"], "'amount'"),
        ("explain", ["login", "{events}", "--pattern-file", "{missing}"], "cannot read the pattern"),
        ("match", ["login", "{notes}"], "cannot tell the format"),
        ("explain", ["login", "{events}", "{other}"], "different columns"),
        ("match", ["login", "{folder}"], "folder.csv: is a directory"),
        ("match", ["login", "{header}"], "h.csv: no events (a header and no rows)"),
        ("match", ["login", "{header}", "{header}"], "no events"),
        ("match", ["login", "{events}", "--format", "xml"], "invalid choice: 'xml'"),
        ("match", ["login", "{events}", "--limit", "many"], "invalid int value: 'many'"),
        ("match", [], "the following arguments are required"),
        ("explain", ["login", "{events}", "--report", "{out}"], "--output and --report name the same file"),
        ("explain", ["login", "{events}", "--report", "{events}"], "--report names an input file"),
        ("explain", ["login", "{events}", "--report", "{folder}"], "folder.csv: is a directory"),
    ],
)
def test_errors_are_one_line_with_status_2_and_leave_output_alone(tmp_path, command, arguments, message):
    paths = {
        "events": write_events(tmp_path / "e.parquet"),
        "other": write_events(tmp_path / "o.parquet", pa.table({"partition": [1], "ts": ["x"], "type": [2]})),
        "missing": tmp_path / "missing.parquet",
        "garbage": tmp_path / "garbage.parquet",
        "notes": tmp_path / "notes.txt",
        "folder": tmp_path / "folder.csv",
        "header": tmp_path / "h.csv",
        "out": tmp_path / "out.csv",
    }
    paths["garbage"].write_bytes(b"not a parquet file")
    paths["notes"].write_text("x")
    paths["folder"].mkdir()
    paths["header"].write_text("partition,ts,type\n")
    out = tmp_path / "out.csv"
    out.write_text("before\n")
    result = run(command, *[a.format(**paths) for a in arguments], "--output", out)
    assert result.returncode == 2
    assert result.stdout == ""
    assert result.stderr.startswith("vashlet: error: ") and result.stderr.count("\n") == 1
    assert message in result.stderr
    assert out.read_text() == "before\n"
    assert sorted(p.name for p in tmp_path.iterdir() if p.name.startswith(".out"))== []


def test_unknown_output_extension_is_refused_before_any_work(tmp_path):
    result = run("match", PATTERN, write_events(tmp_path / "e.csv"), "--output", tmp_path / "out.xlsx")
    assert result.returncode == 2 and "unknown output extension" in result.stderr
    assert not (tmp_path / "out.xlsx").exists()


def test_without_pyarrow_the_command_says_how_to_install_it(tmp_path):
    blocker = tmp_path / "blocker" / "pyarrow"
    blocker.mkdir(parents=True)
    (blocker / "__init__.py").write_text("raise ImportError('blocked for the test')\n")
    result = run("match", PATTERN, write_events(tmp_path / "e.csv"), pythonpath=[blocker.parent])
    assert result.returncode == 2
    assert result.stderr == "vashlet: error: reading and writing files needs pyarrow: pip install 'vashlet[io]'\n"


def test_bundled_example_explains_its_near_misses():
    result = run("explain", PATTERN, "examples/shop_events.jsonl", cwd=REPOSITORY)
    assert result.returncode == 0, result.stderr
    assert "carol" in result.stdout and "window_exceeded" in result.stdout
    assert result.stdout.endswith("near misses)\n")


class Stream:
    def __init__(self, terminal):
        self.terminal, self.text = terminal, ""

    def isatty(self):
        return self.terminal

    def write(self, text):
        self.text += text

    def flush(self):
        pass


@pytest.mark.parametrize("terminal, large, shown", [(True, True, True), (True, False, False), (False, True, False)])
def test_progress_only_on_a_terminal_for_large_inputs(terminal, large, shown):
    from vashlet.cli import Progress

    stream = Stream(terminal)
    progress = Progress(stream)
    progress.stage("reading 1 file", large)
    assert ("reading 1 file" in stream.text) is shown
    progress.done()
    assert stream.text.endswith("\r\x1b[K") is shown


def test_json_pattern_file_with_a_report(tmp_path):
    pattern_file = tmp_path / "p.json"
    pattern_file.write_text(vashlet.parse_pattern(PATTERN).to_json(pretty=True))
    report, out = tmp_path / "r.html", tmp_path / "out.csv"
    result = run("explain", "--pattern-file", pattern_file, write_events(tmp_path / "e.csv"),
                 "--report", report, "-o", out)
    assert (result.returncode, result.stderr) == (0, "2 rows written to " + str(out) + "\n")
    page = report.read_text()
    assert "3 starts: 1 matched, 2 near misses" in page and "&quot;purchase&quot;" in page


@pytest.mark.parametrize("spelling", ["same", "relative", "link"])
def test_an_output_that_is_an_input_is_refused(tmp_path, spelling):
    source = write_events(tmp_path / "e.csv")
    before = source.read_bytes()
    if spelling == "link":
        (tmp_path / "alias.csv").symlink_to(source)
    target = {"same": source, "relative": "./e.csv", "link": tmp_path / "alias.csv"}[spelling]
    result = run("match", PATTERN, source, "-o", target, cwd=tmp_path)
    assert result.returncode == 2
    assert result.stderr.count("\n") == 1 and "--output names an input file" in result.stderr
    assert source.read_bytes() == before


def test_no_output_is_replaced_unless_every_output_is_written(tmp_path):
    out = tmp_path / "out.csv"
    out.write_text("before\n")
    (tmp_path / "r.html").mkdir()  # the report cannot be written
    result = run("explain", PATTERN, write_events(tmp_path / "e.csv"), "-o", out,
                 "--report", tmp_path / "r.html")
    assert result.returncode == 2 and result.stderr.count("\n") == 1
    assert out.read_text() == "before\n"


def run_patched(tmp_path, patch, *arguments):
    """The command in a child whose `patch` code runs first."""
    script = tmp_path / "child.py"
    script.write_text(f"import sys\n{patch}\nfrom vashlet.cli import main\nsys.exit(main(sys.argv[1:]))\n")
    env = dict(os.environ, PYTHONPATH=str(PACKAGE_ROOT))
    return subprocess.run([sys.executable, script, *map(str, arguments)], capture_output=True,
                          text=True, env=env, cwd=tmp_path, timeout=120)


SIGTERM_WHILE_WRITING = """
import csv, os, signal
real = csv.writer
class Writer:
    def __init__(self, out):
        self.writer = real(out)
    def writerow(self, row):
        os.kill(os.getpid(), signal.SIGTERM)
        return self.writer.writerow(row)
csv.writer = Writer
"""


def test_sigterm_while_writing_leaves_no_temporary_file(tmp_path):
    out = tmp_path / "out.csv"
    out.write_text("before\n")
    result = run_patched(tmp_path, SIGTERM_WHILE_WRITING, "match", PATTERN,
                         write_events(tmp_path / "e.parquet"), "-o", out)
    assert result.returncode == -15
    assert out.read_text() == "before\n"
    assert [p.name for p in tmp_path.iterdir() if p.name.startswith(".")] == []


@pytest.mark.parametrize("command", [["match"], ["explain"], ["explain", "--report", "r.html"]])
def test_a_step_that_can_never_match_warns_once_and_succeeds(tmp_path, command):
    source = write_events(tmp_path / "e.csv")
    result = run(*command, "login -[<=-1]-> purchase[user == $zz]", source, cwd=tmp_path)
    assert result.returncode == 0
    assert result.stderr.splitlines() == [
        "vashlet: warning: step 1 (purchase) has a window of -1, below zero: it can never match",
        "vashlet: warning: step 1 (purchase) refers to $zz, which no earlier step captures: it can never match",
    ]


@pytest.mark.parametrize("arguments", [["match", PATTERN], ["explain", "login -[<=-1]-> purchase"]])
def test_an_in_process_run_leaves_the_callers_signals_and_warnings_alone(tmp_path, arguments):
    import signal
    import warnings

    from vashlet import cli

    source = write_events(tmp_path / "e.parquet")
    handler_before, filters_before = signal.getsignal(signal.SIGTERM), list(warnings.filters)
    assert cli.main([*arguments, str(source)]) == 0
    assert signal.getsignal(signal.SIGTERM) is handler_before
    assert warnings.filters == filters_before


@pytest.mark.parametrize("command", [["-m", "vashlet"], ["-c", "from vashlet.cli import main; main()"]])
def test_version_is_the_projects(command):
    project = Path(__file__).resolve().parent.parent / "pyproject.toml"
    declared = next(line.split('"')[1] for line in project.read_text().splitlines()
                    if line.startswith("version = "))
    assert vashlet.__version__ == declared
    result = subprocess.run([sys.executable, *command, "--version"], capture_output=True,
                            text=True, env=dict(os.environ, PYTHONPATH=str(PACKAGE_ROOT)))
    assert (result.returncode, result.stdout) == (0, f"vashlet {declared}\n")
