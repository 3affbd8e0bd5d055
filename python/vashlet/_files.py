"""Event files in, result files out, for the command line: Parquet, CSV, JSON Lines and Arrow
IPC read through pyarrow; results written as CSV, JSON Lines or Parquet, all or nothing."""

from __future__ import annotations

import csv
import json
import os
import signal
import tempfile
from contextlib import contextmanager
from pathlib import Path
from typing import TYPE_CHECKING, Any, Iterator, Sequence

if TYPE_CHECKING:
    import pyarrow as pa

INSTALL_HINT = "pip install 'vashlet[io]'"

INPUT_FORMATS = {
    ".parquet": "parquet",
    ".pq": "parquet",
    ".csv": "csv",
    ".tsv": "csv",
    ".jsonl": "jsonl",
    ".ndjson": "jsonl",
    ".arrow": "arrow",
    ".feather": "arrow",
    ".ipc": "arrow",
}
OUTPUT_FORMATS = {".csv": "csv", ".jsonl": "jsonl", ".ndjson": "jsonl", ".parquet": "parquet"}
_COMPRESSIONS = {".gz", ".bz2", ".zst", ".lz4"}
_CAN_HOLD = hasattr(signal, "pthread_sigmask")


class UsageError(Exception):
    """A problem with what the user asked for: reported in one line, exit status 2."""


def require_pyarrow() -> None:
    try:
        import pyarrow  # noqa: F401
    except ImportError:
        raise UsageError(f"reading and writing files needs pyarrow: {INSTALL_HINT}") from None


def input_format(path: str, given: str | None) -> str:
    """The format of an input: `given` (``--format``), else the extension (past ``.gz`` and
    the like, which CSV and JSON Lines read through)."""
    if given:
        return given
    suffixes = [s.lower() for s in Path(path).suffixes]
    if suffixes and suffixes[-1] in _COMPRESSIONS:
        suffixes.pop()
    if suffixes and suffixes[-1] in INPUT_FORMATS:
        return INPUT_FORMATS[suffixes[-1]]
    known = ", ".join(sorted(INPUT_FORMATS))
    raise UsageError(f"{path}: cannot tell the format from the extension ({known}); use --format")


def output_format(path: str) -> str:
    suffix = Path(path).suffix.lower()
    if suffix not in OUTPUT_FORMATS:
        known = ", ".join(sorted(OUTPUT_FORMATS))
        raise UsageError(f"{path}: unknown output extension (known: {known})")
    return OUTPUT_FORMATS[suffix]


def _read_one(path: str, fmt: str, string_keys: Sequence[str]) -> pa.Table:
    import pyarrow as pa

    if fmt == "parquet":
        import pyarrow.parquet as pq

        # ParquetFile rather than read_table, which imports the dataset layer (a fifth of a
        # second). Partition and type as dictionaries: much faster to read, and the matcher
        # reads them as they are.
        schema = pq.ParquetFile(path).schema_arrow
        strings = [
            name
            for name in string_keys
            if name in schema.names and pa.types.is_string(schema.field(name).type)
        ]
        return pq.ParquetFile(path, read_dictionary=strings or None, memory_map=True).read()
    if fmt == "csv":
        import pyarrow.csv as pcsv

        delimiter = "\t" if ".tsv" in Path(path).suffixes else ","
        return pcsv.read_csv(path, parse_options=pcsv.ParseOptions(delimiter=delimiter))
    if fmt == "jsonl":
        import pyarrow.json as pjson

        return pjson.read_json(path)
    with pa.memory_map(path) as source:
        try:
            return pa.ipc.open_file(source).read_all()
        except pa.ArrowInvalid:
            source.seek(0)
            return pa.ipc.open_stream(source).read_all()


def read_events(
    paths: Sequence[str], fmt: str | None, string_keys: Sequence[str] = ()
) -> pa.Table:
    """The events of every file, one table in the order given (rows number across files)."""
    import pyarrow as pa

    tables = []
    for path in paths:
        if os.path.isdir(path):
            raise UsageError(f"{path}: is a directory, not a file of events")
        if not os.path.isfile(path):
            raise UsageError(f"{path}: no such file")
        chosen = input_format(path, fmt)
        try:
            tables.append(_read_one(path, chosen, string_keys))
        except (pa.ArrowException, OSError, ValueError) as error:
            raise UsageError(f"{path}: cannot read as {chosen}: {_one_line(error)}") from None
    # A CSV of only a header has columns of no type; it adds no events, and alone it leaves
    # nothing to match.
    typed = [t for t in tables if t.num_rows or not _untyped(t)]
    if not typed:
        which = paths[0] if len(paths) == 1 else "the input files"
        raise UsageError(f"{which}: no events (a header and no rows)")
    tables = typed
    if len(tables) == 1:
        return tables[0]
    try:
        return pa.concat_tables(tables, promote_options="permissive")
    except (pa.ArrowException, ValueError) as error:
        raise UsageError(f"the input files have different columns: {_one_line(error)}") from None


def _untyped(table: pa.Table) -> bool:
    import pyarrow as pa

    return all(pa.types.is_null(field.type) for field in table.schema)


def _one_line(error: BaseException) -> str:
    text = str(error).strip()
    return text.splitlines()[0] if text else type(error).__name__


class StagedFiles:
    """Output files written beside their targets under temporary names, and moved into place
    together by `commit` once every one is complete: a failure (or SIGTERM, raised as an
    exception) on the way leaves every target as it was, and `discard` removes the temporaries."""

    def __init__(self) -> None:
        self._staged: list[tuple[str, Path]] = []

    @contextmanager
    def open(self, path: str, mode: str = "w") -> Iterator[Any]:
        target = Path(path)
        handle, temporary = tempfile.mkstemp(dir=target.parent, prefix=f".{target.name}.")
        self._staged.append((temporary, target))
        text = "b" not in mode
        newline, encoding = ("", "utf-8") if text else (None, None)
        with open(handle, mode, newline=newline, encoding=encoding) as out:
            yield out

    def commit(self) -> None:
        # mkstemp makes the file private; give it the permissions a plain open() would.
        umask = os.umask(0)
        os.umask(umask)
        for temporary, _ in self._staged:
            os.chmod(temporary, 0o666 & ~umask)
        # SIGINT and SIGTERM wait until every file is in place (they arrive right after).
        held = {signal.SIGINT, signal.SIGTERM}
        mask = signal.pthread_sigmask(signal.SIG_BLOCK, held) if _CAN_HOLD else None
        try:
            while self._staged:
                temporary, target = self._staged[0]
                os.replace(temporary, target)
                del self._staged[0]
        finally:
            if mask is not None:
                signal.pthread_sigmask(signal.SIG_SETMASK, mask)

    def discard(self) -> None:
        while self._staged:
            temporary, _ = self._staged.pop()
            try:
                os.unlink(temporary)
            except FileNotFoundError:
                pass


def _json_default(value: Any) -> str:
    return str(value)


def _without_empty_structs(table: pa.Table) -> pa.Table:
    """Parquet cannot hold a struct without fields: the captures of a pattern that binds
    nothing. Such a column says nothing, so it is left out."""
    import pyarrow as pa

    empty = [
        field.name
        for field in table.schema
        if pa.types.is_struct(field.type) and field.type.num_fields == 0
    ]
    return table.drop_columns(empty) if empty else table


def write_result(result: Any, path: str, staged: StagedFiles) -> None:
    """Write a MatchTable or NearMissTable to `path` in the format of its extension, staged in
    `staged` to be committed with the other outputs. CSV holds lists and structs as JSON text;
    CSV and JSON Lines hold times as ISO 8601 text."""
    fmt = output_format(path)
    if fmt == "parquet":
        import pyarrow.parquet as pq

        import pyarrow as pa

        table = _without_empty_structs(result._to_pyarrow())
        try:
            with staged.open(path, "wb") as out:
                pq.write_table(table, out)
        except pa.ArrowException as error:
            raise UsageError(f"{path}: cannot write as Parquet: {_one_line(error)}") from None
        return
    from vashlet._times import file_rows

    rows = result._rows(as_=file_rows)
    with staged.open(path) as out:
        if fmt == "jsonl":
            for row in rows:
                out.write(json.dumps(row, default=_json_default) + "\n")
            return
        writer = csv.writer(out)
        writer.writerow(result.columns)
        for row in rows:
            writer.writerow(
                [
                    json.dumps(v, default=_json_default) if isinstance(v, (list, dict)) else v
                    for v in row.values()
                ]
            )
