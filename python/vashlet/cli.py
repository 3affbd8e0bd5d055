"""The `vashlet` command: match a pattern over event files, or explain its near misses.

    vashlet match 'login[user as $u] -[<=5m]-> purchase[user == $u]' events.parquet
    vashlet explain --pattern-file pattern.json events.csv --report report.html

Problems with the request (pattern text, files, columns) print one line on standard error and
exit with status 2, writing nothing; otherwise the status is 0, also when nothing matches.
"""

from __future__ import annotations

import argparse
import os
import shutil
import signal
import sys
import time
import warnings
from pathlib import Path
from typing import Any, Iterable, NoReturn, Sequence, TextIO

import vashlet
from vashlet._files import (
    INPUT_FORMATS,
    StagedFiles,
    UsageError,
    output_format,
    read_events,
    require_pyarrow,
    write_result,
)
from vashlet._format import compact_view
from vashlet._inputs import MODES, Columns, with_mode
from vashlet._tables import explain_table, match_table, never_taken

_DEFAULT_LIMIT = 20
# Below this many rows everything takes a blink; above it, say what is going on.
_PROGRESS_ROWS = 2_000_000
_PROGRESS_BYTES = 64 << 20

_TIME_HELP = (
    "A window such as -[<=10m]-> or -[<=1h30m]-> (units ns us ms s m h d w) is converted to the "
    "unit of the timestamp column. Over a column of plain integers, --ts-unit says what they "
    "count; a window without a unit (-[<=600]->) is then raw ticks, and an error over a "
    "timestamp, date, time or duration column."
)


class Progress:
    """Stage messages on standard error, rewritten in place; silent unless it is a terminal
    and the input is large."""

    def __init__(self, stream: TextIO) -> None:
        self._stream = stream
        self._on = stream.isatty()
        self._started = time.perf_counter()
        self._shown = False

    def stage(self, text: str, large: bool) -> None:
        if not (self._on and large):
            return
        elapsed = time.perf_counter() - self._started
        self._stream.write(f"\r\x1b[K{text} ({elapsed:.1f} s)")
        self._stream.flush()
        self._shown = True

    def done(self) -> None:
        if self._shown:
            self._stream.write("\r\x1b[K")
            self._stream.flush()
            self._shown = False


class _Parser(argparse.ArgumentParser):
    """Reports a bad command line as every other failure: one line, status 2."""

    def error(self, message: str) -> NoReturn:
        raise UsageError(message)


class Terminated(BaseException):
    """SIGTERM, raised where the program is so that the temporary files are removed."""


def _raise_terminated(signum: int, frame: object) -> None:
    raise Terminated


def _parser() -> argparse.ArgumentParser:
    parser = _Parser(
        prog="vashlet",
        description="Find sequential patterns in event files, and explain the near misses.",
    )
    parser.add_argument("--version", action="version", version=f"vashlet {vashlet.__version__}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    match_help = "print the matches of a pattern"
    explain_help = "print the starts that did not match, and why"
    for name, text in (("match", match_help), ("explain", explain_help)):
        command = commands.add_parser(
            name,
            help=text,
            description=text,
            epilog=_TIME_HELP,
            usage=f"vashlet {name} [options] PATTERN FILE...\n"
            f"       vashlet {name} [options] --pattern-file PATH FILE...",
        )
        command.add_argument(
            "arguments",
            nargs="+",
            metavar="PATTERN FILE...",
            help="the pattern text (unless --pattern-file is given), then the event files",
        )
        command.add_argument(
            "--pattern-file", metavar="PATH", help="read the pattern (text or JSON) from a file"
        )
        command.add_argument(
            "--partition", default="partition", help="partition column (default: partition)"
        )
        command.add_argument("--ts", default="ts", help="timestamp column (default: ts)")
        command.add_argument("--type", default="type", help="event type column (default: type)")
        command.add_argument(
            "--ts-unit",
            choices=["s", "ms", "us", "ns"],
            help="what the values of an integer timestamp column count (needed for windows "
            "with a unit, such as -[<=10m]->; a timestamp column's type says it already)",
        )
        command.add_argument(
            "--format",
            choices=sorted(set(INPUT_FORMATS.values())),
            help="input format (default: from each file's extension)",
        )
        command.add_argument(
            "--output",
            "-o",
            metavar="PATH",
            help="write the results to a .csv, .jsonl or .parquet file",
        )
        command.add_argument(
            "--limit",
            type=int,
            default=_DEFAULT_LIMIT,
            help=f"rows shown on the terminal (default: {_DEFAULT_LIMIT}; 0: all)",
        )
        command.add_argument("--threads", type=int, help="threads for matching (default: the usable cores)")
        command.add_argument(
            "--mode",
            choices=list(MODES),
            help="which matches each start yields: the first, all (as --exhaustive), or "
            "non_overlapping ones per partition (default: the pattern's own, first unless its "
            "JSON says otherwise)",
        )
        if name == "match":
            command.add_argument(
                "--exhaustive",
                action="store_true",
                help="every combination of events, not only the first per start",
            )
        else:
            command.add_argument(
                "--report", metavar="PATH", help="also write an HTML report of the funnel"
            )
            command.add_argument(
                "--per",
                choices=["start", "partition"],
                help="what the report's funnel counts: every start (the default), or every "
                "partition once, at the deepest step any of its starts reached",
            )
    return parser


def _load_pattern(arguments: argparse.Namespace) -> tuple[Any, str | None, list[str]]:
    """The parsed pattern, its text (None when the pattern is JSON), and the input files."""
    items = list(arguments.arguments)
    if arguments.pattern_file:
        try:
            text = Path(arguments.pattern_file).read_text(encoding="utf-8")
        except (OSError, UnicodeDecodeError) as error:
            raise UsageError(
                f"{arguments.pattern_file}: cannot read the pattern: {error}"
            ) from None
    else:
        text = items.pop(0)
    if not items:
        raise UsageError("no event files given")
    is_json = text.lstrip().startswith("{")
    try:
        if is_json:
            pattern = vashlet.pattern_from_json(text)
        else:
            pattern = vashlet.parse_pattern(text.strip())
    except ValueError as error:
        raise UsageError(f"bad pattern: {error}") from None
    return pattern, None if is_json else text.strip(), items


def _check_writable(path: str | None) -> None:
    if path and Path(path).is_dir():
        raise UsageError(f"{path}: is a directory")
    if path and not Path(path).resolve().parent.is_dir():
        raise UsageError(f"{path}: no such directory")


def _same_file(a: str, b: str) -> bool:
    try:
        return os.path.samefile(a, b)
    except OSError:  # one of them does not exist (yet): compare where they lead
        return os.path.realpath(a) == os.path.realpath(b)


def _check_distinct(outputs: Sequence[tuple[str, str | None]], inputs: Sequence[str]) -> None:
    """Refuse an output that would replace an input, or two outputs in one file."""
    named = [(option, path) for option, path in outputs if path]
    for i, (option, path) in enumerate(named):
        for source in inputs:
            if _same_file(path, source):
                raise UsageError(f"{path}: {option} names an input file; it would be replaced")
        for other_option, other in named[:i]:
            if _same_file(path, other):
                raise UsageError(f"{path}: {other_option} and {option} name the same file")


def _is_large(paths: Sequence[str]) -> bool:
    return sum(os.path.getsize(p) for p in paths if os.path.isfile(p)) > _PROGRESS_BYTES


def _print_table(result: Any, noun: str, view: str, limit: int, out: TextIO) -> None:
    from vashlet._terminal import render
    from vashlet._times import shown_rows

    total = len(result)
    rows = result._rows(0, total if limit <= 0 else limit, shown_rows)
    columns, texts, numeric = compact_view(rows, view != "match")
    width = shutil.get_terminal_size().columns if out.isatty() else None
    nouns = noun if total == 1 else noun + "es"
    if total:
        lines, hidden = render(columns, texts, numeric, width)
        out.write("\n".join(lines) + "\n")
        notes = [f"{total:,} {nouns}"]
        if len(rows) < total:
            notes.append(
                f"first {len(rows):,} shown; --limit 0 shows all, --output writes them to a file"
            )
        if hidden:
            notes.append(f"{hidden} column{'s' if hidden > 1 else ''} not shown")
        out.write("(" + "; ".join(notes) + ")\n")
    else:
        out.write(f"no {nouns}\n")


def _print_warnings(messages: Iterable[str], stderr: TextIO) -> None:
    """Warnings about the pattern or the data, once each: the answer stands, so the status
    stays 0."""
    for text in dict.fromkeys(messages):
        stderr.write(f"vashlet: warning: {text}\n")


def _events_lookup(table: Any) -> Any:
    def events(rows: Sequence[int]) -> list[dict[str, Any]]:
        return table.take(list(rows)).to_pylist()

    return events


def run(argv: Sequence[str] | None, stdout: TextIO, stderr: TextIO) -> int:
    progress = Progress(stderr)
    staged = StagedFiles()
    try:
        arguments = _parser().parse_args(argv)
        if arguments.output:
            output_format(arguments.output)
        report = getattr(arguments, "report", None)
        if getattr(arguments, "per", None) and not report:
            raise UsageError("--per says what the funnel of --report counts; give --report too")
        _check_writable(arguments.output)
        _check_writable(report)
        pattern, pattern_text, paths = _load_pattern(arguments)
        if getattr(arguments, "exhaustive", False) and arguments.mode not in (None, "all"):
            raise UsageError(f"--exhaustive and --mode {arguments.mode} disagree: --exhaustive "
                             "means --mode all; give only one of them")
        pattern = with_mode(pattern, arguments.mode)
        _check_distinct(
            [("--output", arguments.output), ("--report", report)],
            [*paths, *([arguments.pattern_file] if arguments.pattern_file else [])],
        )
        # Said before the files are read; the calls below do not say them again.
        problems = never_taken(pattern)
        _print_warnings(problems, stderr)
        require_pyarrow()
        large = _is_large(paths)
        progress.stage(f"reading {len(paths)} file{'s' if len(paths) > 1 else ''}", large)
        table = read_events(paths, arguments.format, (arguments.partition, arguments.type))
        large = large or table.num_rows > _PROGRESS_ROWS
        columns = Columns(arguments.partition, arguments.ts, arguments.type,
                          ts_unit=arguments.ts_unit)
        result: vashlet.MatchTable | vashlet.NearMissTable
        with warnings.catch_warnings(record=True) as noticed:
            warnings.simplefilter("always", UserWarning)
            try:
                progress.stage(f"sorting and matching {table.num_rows:,} events", large)
                if arguments.command == "match":
                    result = match_table(pattern, table, columns, exhaustive=arguments.exhaustive,
                                         threads=arguments.threads)
                elif report:
                    from vashlet._funnel import funnel_and_misses
                    from vashlet._report import report_html

                    funnel, result = funnel_and_misses(
                        pattern, table, columns, threads=arguments.threads, text=pattern_text,
                        per=arguments.per or "start"
                    )
                    page = report_html(funnel, _events_lookup(table), paths)
                else:
                    result = explain_table(pattern, table, columns, threads=arguments.threads)
            except (ValueError, TypeError) as error:
                raise UsageError(str(error)) from None
        _print_warnings([str(w.message) for w in noticed], stderr)
        if arguments.output:
            progress.stage(f"writing {arguments.output}", large)
            write_result(result, arguments.output, staged)
        if report:
            with staged.open(report) as out:
                out.write(page)
        staged.commit()
        progress.done()
        noun = "match" if arguments.command == "match" else "near miss"
        if not arguments.output:
            _print_table(result, noun, arguments.command, arguments.limit, stdout)
        else:
            stderr.write(f"{len(result):,} rows written to {arguments.output}\n")
    except UsageError as error:
        return _fail(str(error), progress, stderr)
    except BrokenPipeError:
        raise
    except OSError as error:
        return _fail(str(error), progress, stderr)
    except MemoryError as error:
        message = str(error) or "out of memory"
        if not message.startswith("out of memory"):
            message = f"out of memory: {message}"
        return _fail(message, progress, stderr)
    finally:
        staged.discard()
    return 0


def _fail(message: str, progress: Progress, stderr: TextIO) -> int:
    progress.done()
    stderr.write(f"vashlet: error: {' '.join(message.splitlines())}\n")
    return 2


def main(argv: Sequence[str] | None = None) -> int:
    """The console entry point: run the command and return its exit status. The SIGTERM
    handler and warning filters it sets are the caller's again when it returns."""
    try:
        previous = signal.signal(signal.SIGTERM, _raise_terminated)
    except ValueError:  # not the main thread: leave signals alone
        return _main(argv)
    try:
        return _main(argv)
    except Terminated:
        # The temporaries are gone; now end as SIGTERM would have (or as the caller's handler
        # says), for the caller to see.
        signal.signal(signal.SIGTERM, signal.SIG_DFL if previous is None else previous)
        os.kill(os.getpid(), signal.SIGTERM)
        return 128 + signal.SIGTERM
    finally:
        if signal.getsignal(signal.SIGTERM) is _raise_terminated:
            signal.signal(signal.SIGTERM, signal.SIG_DFL if previous is None else previous)


def _main(argv: Sequence[str] | None) -> int:
    try:
        return run(argv, sys.stdout, sys.stderr)
    except KeyboardInterrupt:
        return 130
    except BrokenPipeError:
        # A reader such as `head` closed the pipe: not an error of ours.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 0
