"""Matching and near-miss analysis over tables: `match` and `explain`, and their result tables."""

from __future__ import annotations

import importlib
from contextlib import contextmanager
from typing import Any, Iterator, Sequence, TypeVar

from vashlet import _core, _pandas_read
from vashlet._absent_types import warn_absent
from vashlet._core import Pattern
from vashlet._inputs import Columns, PatternLike, as_pattern, with_mode
from vashlet._times import TimeType, python_rows, shown_rows, time_columns
from vashlet._warnings import warn_from_caller

_PREVIEW_ROWS = 10


class _ResultTable:
    """Rows of a result, held natively and handed out through the Arrow PyCapsule interface."""

    __slots__ = ("_table",)
    _kind = "ResultTable"
    _near_misses = False

    def __init__(self, table: Any) -> None:
        self._table = table

    def __arrow_c_stream__(self, requested_schema: object = None) -> object:
        return self._table.__arrow_c_stream__(requested_schema)

    def __arrow_c_schema__(self) -> object:
        return self._table.__arrow_c_schema__()

    def __len__(self) -> int:
        return len(self._table)

    def __iter__(self) -> Iterator[dict[str, Any]]:
        return iter(self.to_pylist())

    @property
    def columns(self) -> list[str]:
        """The column names, in order."""
        return self._table.column_names

    def _to_pyarrow(self) -> Any:
        """The rows as a pyarrow Table (read from the stream: `pyarrow.table()` would import
        pandas first, to check whether this is a DataFrame)."""
        pa = _optional("pyarrow", "io")
        return pa.RecordBatchReader.from_stream(self).read_all()

    def to_arrow(self) -> Any:
        """The rows as a ``pyarrow.Table`` (needs pyarrow: ``pip install 'vashlet[io]'``)."""
        return self._to_pyarrow()

    def to_pandas(self) -> Any:
        """The rows as a ``pandas.DataFrame``, converted by pyarrow (needs pandas and pyarrow:
        ``pip install 'vashlet[pandas]'``)."""
        _optional("pandas", "pandas")
        _optional("pyarrow", "pandas")
        return self._to_pyarrow().to_pandas()

    def to_polars(self) -> Any:
        """The rows as a ``polars.DataFrame``, read through the Arrow PyCapsule interface
        (needs polars: ``pip install 'vashlet[polars]'``)."""
        return _optional("polars", "polars").DataFrame(self)

    def _time_columns(self) -> dict[str, TimeType]:
        return time_columns(self._table.column_names, self._table.column_formats)

    def _rows(self, start: int | None = None, stop: int | None = None, as_: Any = None) -> Any:
        """Rows as dicts, the temporal values made Python values or text by `as_`."""
        rows = self._table.to_pylist(start, stop)
        times = self._time_columns()
        return as_(rows, times) if times and as_ is not None else rows

    def to_pylist(self) -> list[dict[str, Any]]:
        """Every row as a dict of column name to value (for small results). Timestamps, dates,
        times and durations are Python values, as pyarrow gives them."""
        return self._rows(as_=python_rows)

    def head(self: _Table, n: int = 5) -> _Table:
        """A table of the same kind holding the first `n` rows (all but the last ``-n`` where
        `n` is negative, as a slice would)."""
        return type(self)(_FirstRows(self._table, len(range(*slice(0, n).indices(len(self))))))

    def _view(self) -> tuple[list[str], list[list[str]], list[bool]]:
        """The compact view of the first rows (see `compact_view`)."""
        from vashlet._format import compact_view

        rows = self._rows(0, _PREVIEW_ROWS, shown_rows)
        return compact_view(rows, self._near_misses, self.columns)

    def __repr__(self) -> str:
        from vashlet._terminal import render

        rows = len(self)
        title = f"{self._kind}: {rows:,} {'row' if rows == 1 else 'rows'}"
        columns, texts, numeric = self._view()
        lines, _ = render(columns, texts, numeric, None)
        if rows > len(texts):
            lines.append(f"... {rows - len(texts):,} more")
        return "\n".join([title] + lines)

    def _repr_html_(self) -> str:
        from vashlet._html import STYLE, table_html

        page = table_html(*self._view(), len(self), len(self.columns))
        return f"<div><style>{STYLE}</style>{page}</div>"

    # Immutable: a copy is the table itself.
    def __copy__(self) -> _ResultTable:
        return self

    def __deepcopy__(self, memo: dict[int, Any]) -> _ResultTable:
        return self

    def __reduce__(self) -> tuple[Any, ...]:
        """Pickled as an Arrow IPC stream of its rows (which needs pyarrow)."""
        try:
            import pyarrow as pa
        except ImportError:
            raise TypeError(
                f"cannot pickle '{type(self).__name__}' without pyarrow, which writes it as "
                "Arrow IPC: pip install 'vashlet[io]'"
            ) from None
        table = self._to_pyarrow()
        sink = pa.BufferOutputStream()
        with pa.ipc.new_stream(sink, table.schema) as writer:
            writer.write_table(table)
        return (_result_from_ipc, (type(self), sink.getvalue().to_pybytes()))


_Table = TypeVar("_Table", bound=_ResultTable)


def _optional(module: str, extra: str) -> Any:
    """`module`, imported where a conversion needs it; an ImportError names the extra that
    installs it."""
    try:
        return importlib.import_module(module)
    except ImportError as error:
        raise ImportError(
            f"this needs {module}, which vashlet does not install by itself: "
            f"pip install 'vashlet[{extra}]'"
        ) from error


class _FirstRows:
    """The first `count` rows of a result's rows, behind the native table's interface."""

    __slots__ = ("_rows", "_count")
    absent_types: list[str] = []

    def __init__(self, rows: Any, count: int) -> None:
        self._rows, self._count = rows, count

    def __arrow_c_stream__(self, requested_schema: object = None) -> object:
        pa = _optional("pyarrow", "io")
        table = pa.RecordBatchReader.from_stream(self._rows).read_all().slice(0, self._count)
        return table.__arrow_c_stream__(requested_schema)

    def __arrow_c_schema__(self) -> object:
        return self._rows.__arrow_c_schema__()

    def __len__(self) -> int:
        return self._count

    @property
    def column_names(self) -> list[str]:
        return self._rows.column_names  # type: ignore[no-any-return]

    @property
    def column_formats(self) -> list[str]:
        return self._rows.column_formats  # type: ignore[no-any-return]

    def to_pylist(self, start: int | None = None, stop: int | None = None) -> list[dict[str, Any]]:
        begin, end, _ = slice(start, stop).indices(self._count)
        return self._rows.to_pylist(begin, max(begin, end))  # type: ignore[no-any-return]


def _result_from_ipc(kind: type[_ResultTable], data: bytes) -> _ResultTable:
    import pyarrow as pa

    return kind(_ArrowRows(pa.ipc.open_stream(data).read_all()))


class _ArrowRows:
    """The rows of an unpickled result table, in a pyarrow Table, behind the native table's
    interface: temporal values come out of `to_pylist` as the integers the native table gives,
    and `column_formats` names their types as the native table does."""

    __slots__ = ("_arrow",)
    absent_types: list[str] = []

    def __init__(self, table: Any) -> None:
        self._arrow = table

    def __arrow_c_stream__(self, requested_schema: object = None) -> object:
        return self._arrow.__arrow_c_stream__(requested_schema)

    def __arrow_c_schema__(self) -> object:
        return self._arrow.schema.__arrow_c_schema__()

    def __len__(self) -> int:
        return int(self._arrow.num_rows)

    @property
    def column_names(self) -> list[str]:
        return list(self._arrow.column_names)

    @property
    def column_formats(self) -> list[str]:
        return [_arrow_format(field.type) for field in self._arrow.schema]

    def to_pylist(self, start: int | None = None, stop: int | None = None) -> list[dict[str, Any]]:
        import pyarrow as pa

        begin, end, _ = slice(start, stop).indices(self._arrow.num_rows)
        rows = self._arrow.slice(begin, max(0, end - begin))
        integers = pa.schema([field.with_type(_as_integers(field.type)) for field in rows.schema])
        return rows.cast(integers).to_pylist()  # type: ignore[no-any-return]


_UNIT_LETTERS = {"s": "s", "ms": "m", "us": "u", "ns": "n"}


def _arrow_format(kind: Any) -> str:
    """The Arrow C format string of a temporal type (which `_times` reads); "" for the others,
    whose values need no conversion."""
    import pyarrow as pa

    if pa.types.is_timestamp(kind):
        return f"ts{_UNIT_LETTERS[kind.unit]}:{kind.tz or ''}"
    if pa.types.is_date32(kind):
        return "tdD"
    if pa.types.is_date64(kind):
        return "tdm"
    if pa.types.is_time(kind):
        return f"tt{_UNIT_LETTERS[kind.unit]}"
    if pa.types.is_duration(kind):
        return f"tD{_UNIT_LETTERS[kind.unit]}"
    return ""


def _as_integers(kind: Any) -> Any:
    """`kind` with every temporal type in it (also inside lists and structs) an integer."""
    import pyarrow as pa

    if pa.types.is_timestamp(kind) or pa.types.is_date64(kind) or pa.types.is_duration(kind):
        return pa.int64()
    if pa.types.is_date32(kind):
        return pa.int32()
    if pa.types.is_time(kind):
        return pa.int64() if kind.bit_width == 64 else pa.int32()
    if pa.types.is_struct(kind):
        return pa.struct([kind.field(i).with_type(_as_integers(kind.field(i).type))
                          for i in range(kind.num_fields)])
    if pa.types.is_large_list(kind):
        return pa.large_list(kind.value_field.with_type(_as_integers(kind.value_type)))
    if pa.types.is_list(kind):
        return pa.list_(kind.value_field.with_type(_as_integers(kind.value_type)))
    return kind


class MatchTable(_ResultTable):
    """The matches of `vashlet.match`, one row per match.

    Columns: ``match`` (0, 1, ...), ``partition``, ``start`` and ``end`` (timestamps of the first
    and last event, in the type of the ts column: shown as times where it is temporal), ``rows``
    (input row of each step's event) and ``captures`` (a struct with one field per binding).
    Convert with `to_arrow`, `to_pandas` or `to_polars`, or hand it to any reader of the Arrow
    PyCapsule interface (``pyarrow.table(result)``, ``duckdb.sql("from result")``).
    """

    __slots__ = ()
    _kind = "MatchTable"


class NearMissTable(_ResultTable):
    """The near misses of `vashlet.explain`, one row per start that did not match.

    Columns: ``start_row``, ``partition``, ``reached_steps``, ``rows``, ``next_event_type``,
    ``reason``, then the reason's detail (``event_row``, ``candidate_row``, ``blocking_row``,
    ``blocking_event_type``, ``candidate_satisfies``, ``gap``, ``max_elapsed``, ``failures``; null
    where the reason has no such field; ``candidate_satisfies`` tells of the candidate of
    ``absence_blocked`` and of the late one of ``window_exceeded`` whether it satisfies the step)
    and ``captures``. Where the ts column is temporal, ``gap`` and ``max_elapsed`` are durations
    in its unit (seconds for a date32 column). Its repr shows the reason's fields as one
    ``detail`` column, as the command line does; the data keeps them all.
    """

    __slots__ = ()
    _kind = "NearMissTable"
    _near_misses = True


def never_taken(pattern: Pattern) -> list[str]:
    """What in `pattern` can never hold, one sentence each: a reference to a binding that no
    earlier step captures, a window below zero. The format allows both; they are mistakes.
    A binding captured in any branch of an earlier step may be bound (an optional step or
    another branch may leave it unbound, which is no mistake), and so may one captured by the
    same step when that step repeats."""
    problems = []
    captured: set[str] = set()
    for index, ((_, window, absences), (branches, _, most)) in enumerate(
        zip(pattern._parts, pattern._elements)
    ):
        name = f"step {index} ({' | '.join(branch[0] for branch in branches)})"
        if window is not None and window < 0:  # a duration is never below zero
            problems.append(f"{name} has a window of {window}, below zero: it can never match")
        own = {binding for _, _, captures in branches for binding, _ in captures}
        visible = captured | own if most is None or most > 1 else captured
        for absence_type, absence_references, _ in absences:
            for binding in _unbound(absence_references, visible):
                problems.append(
                    f"the absence of {absence_type} before {name} refers to "
                    f"${binding}, which no earlier step captures: it never blocks"
                )
        references = [binding for _, refs, _ in branches for binding in refs]
        for binding in _unbound(references, visible):
            problems.append(
                f"{name} refers to ${binding}, which no earlier step captures: "
                "it can never match"
            )
        captured |= own
    return problems


def _unbound(references: Sequence[str], captured: set[str]) -> list[str]:
    return [name for name in dict.fromkeys(references) if name not in captured]


def warn_never_taken(pattern: Pattern) -> None:
    """A UserWarning for each part of `pattern` that can never hold, at the caller's line."""
    warn_from_caller(never_taken(pattern))


@contextmanager
def _reading(data: object, columns: Columns, pattern: Pattern) -> Iterator[object]:
    """What the native reader takes of `data` (see `_as_source`), a pandas frame as
    `_pandas_read.for_reading` prepares it for a read of `pattern` with `columns`; a batch of a
    pyarrow stream that is not of the stream's schema fails the read with its own error, not
    the producer failure the native reader sees."""
    mismatches: list[ValueError] = []
    source = _as_source(_pandas_read.for_reading(data, columns, pattern), mismatches)
    try:
        yield source
    except ValueError:
        if mismatches:
            raise mismatches[0] from None
        raise


def _as_source(data: object, mismatches: list[ValueError]) -> object:
    """What the native reader takes: a stream capsule, a (schema, array) capsule pair, or the
    sequence of events itself. A pyarrow stream's batches that differ from its schema are
    added to `mismatches` as they are read."""
    kind = type(data)
    if kind.__name__ == "RecordBatchReader" and kind.__module__.startswith("pyarrow"):
        data = _schema_checked(data, mismatches)
    if hasattr(kind, "__arrow_c_stream__"):
        return data.__arrow_c_stream__()  # type: ignore[attr-defined]
    if hasattr(kind, "__arrow_c_array__"):
        pair = tuple(data.__arrow_c_array__())  # type: ignore[attr-defined]
        # Never read as a sequence of events; the reader checks the capsules' names.
        if len(pair) != 2 or any(type(part).__name__ != "PyCapsule" for part in pair):
            parts = ", ".join(f"'{type(part).__qualname__}'" for part in pair)
            raise TypeError(
                "data's __arrow_c_array__ must give a pair of capsules named 'arrow_schema' and "
                f"'arrow_array', not ({parts})"
            )
        return pair
    if isinstance(data, Sequence) and not isinstance(data, (str, bytes)):
        return data
    raise TypeError(
        "data must export the Arrow PyCapsule interface (__arrow_c_stream__ or "
        "__arrow_c_array__: a pyarrow, polars, pandas or DuckDB table) or be a sequence of "
        f"Event objects, not '{kind.__qualname__}'"
    )


def _schema_checked(reader: Any, mismatches: list[ValueError]) -> Any:
    """`reader` with each batch checked against its schema as it passes. A pyarrow reader made
    with `from_batches` hands on batches whose columns differ from the schema it declares (a
    large_string column under a string field), and the C stream carries only the declared
    schema, so the native reader would read such a batch's buffers with the wrong layout."""
    import pyarrow as pa

    schema = reader.schema

    def batches() -> Iterator[Any]:
        for number, batch in enumerate(reader):
            if not batch.schema.equals(schema):
                mismatches.append(ValueError(_mismatch(number, batch.schema, schema)))
                raise pa.ArrowInvalid(str(mismatches[-1]))
            yield batch

    return pa.RecordBatchReader.from_batches(schema, batches())


def _mismatch(number: int, found: Any, declared: Any) -> str:
    where = f"batch {number} of the stream does not have the stream's schema"
    if found.names != declared.names:
        return f"{where}: its columns are {found.names}, the schema's {declared.names}"
    for field, expected in zip(found, declared):
        if not field.equals(expected):
            return (f"{where}: column '{field.name}' is {field.type}"
                    f"{'' if field.nullable else ' not null'}, the schema says {expected.type}"
                    f"{'' if expected.nullable else ' not null'}")
    return where


def match(
    pattern: PatternLike,
    data: object,
    *,
    partition: str = "partition",
    ts: str = "ts",
    type: str = "type",
    id: str | None = None,
    exhaustive: bool = False,
    mode: str | None = None,
    threads: int | None = None,
    ts_unit: str | None = None,
    max_matches: int | None = None,
) -> MatchTable:
    """Find the matches of `pattern` in a table of events, in any order.

    `data` is any table that exports the Arrow PyCapsule interface (pyarrow, polars, pandas,
    DuckDB) or a sequence of `Event` objects. Each row is an event: `partition`, `ts` and `type`
    name its columns; every other column is an attribute, read only where the pattern uses it,
    and a null cell is a missing attribute. Results name input rows (0-based, in arrival order),
    or, with `id`, the values of that column (a string or integer column that names each row).
    Large tables are read, and partitions matched, on `threads` native threads (default: the
    usable cores; 1 runs on the calling thread); the result does not depend on it.

    Windows (`-[<=10m]->`, ``then(..., within=timedelta(minutes=10))``) measure the time from the
    previous step's event. A window with a unit is converted to the unit of the `ts` column,
    rounding down; over an integer column, `ts_unit` (``"s"``, ``"ms"``, ``"us"`` or ``"ns"``)
    says what its values count, and a window with a unit needs it. A window without a unit is
    raw ticks of an integer column, and a ValueError over a timestamp, date, time or duration
    column, whose storage unit varies with the writer. `ts_unit` given with such a column must
    agree with its type.

    `mode` says which matches a start yields: ``"first"`` (the earliest events that fit, at most
    one match per start), ``"all"`` (every match; ``exhaustive=True`` says the same) or
    ``"non_overlapping"`` (per partition, the first match of the earliest start, then of the
    first start after that match, and so on). None, the default, keeps the pattern's own.

    With `max_matches`, a call that finds more matches than that raises `ValueError` naming the
    limit and the partition where it was passed (an exhaustive search can find a number of
    matches that grows with a power of a partition's length). Exhaustive matching that would
    outgrow the memory the process may use raises `MemoryError` naming the partition and its
    size.

    The pattern is checked against the table first: a literal that can never compare with its
    column (a string against a numeric column, a number against a string column, a boolean
    against either) raises ValueError, and an event type that no row has gives a UserWarning.

    >>> import vashlet
    >>> import pyarrow as pa
    >>> events = pa.table({
    ...     "partition": ["u1", "u1", "u2"],
    ...     "ts": [100, 130, 105],
    ...     "type": ["login", "purchase", "login"],
    ...     "user": ["ann", "ann", "bob"],
    ... })
    >>> result = vashlet.match("login[user as $u] -[<=300]-> purchase[user == $u]", events)
    >>> result.to_pylist()
    [{'match': 0, 'partition': 'u1', 'start': 100, 'end': 130, 'rows': [0, 1], 'captures': {'u': 'ann'}}]
    """
    pattern = with_mode(as_pattern(pattern), mode, exhaustive)
    warn_never_taken(pattern)
    columns = Columns(partition, ts, type, id, ts_unit)
    return match_table(pattern, data, columns, exhaustive=exhaustive, threads=threads,
                       max_matches=max_matches)


def explain(
    pattern: PatternLike,
    data: object,
    *,
    partition: str = "partition",
    ts: str = "ts",
    type: str = "type",
    id: str | None = None,
    mode: str | None = None,
    threads: int | None = None,
    ts_unit: str | None = None,
) -> NearMissTable:
    """Explain every start of `pattern` in a table of events that did not become a match.

    Takes the same `data`, columns, `mode` and `ts_unit` as `match`. Each row is one start: how
    many steps it reached, the input rows of its deepest partial path, the step it could not
    take and why (``predicate_failed``, ``absence_blocked``, ``window_exceeded`` or
    ``no_successor``).

    >>> import vashlet
    >>> import pyarrow as pa
    >>> events = pa.table({
    ...     "partition": ["u1", "u1"],
    ...     "ts": [100, 900],
    ...     "type": ["login", "purchase"],
    ... })
    >>> miss = vashlet.explain("login -[<=300]-> purchase", events).to_pylist()[0]
    >>> miss["reason"], miss["rows"], miss["candidate_row"], miss["gap"]
    ('window_exceeded', [0], 1, 800)
    """
    pattern = with_mode(as_pattern(pattern), mode)
    warn_never_taken(pattern)
    return explain_table(pattern, data, Columns(partition, ts, type, id, ts_unit), threads=threads)


def read(native: Any, pattern: Pattern, data: object, columns: Columns, **options: Any) -> Any:
    """What `native` (a `_core` table call) gives over `data`, after a warning for each event
    type of the pattern that the type column lacks."""
    with _reading(data, columns, pattern) as source:
        result = columns.read(native, pattern, source, **options)
    table = result[0] if isinstance(result, tuple) else result
    warn_absent(table.absent_types, data, columns.type)
    return result


def match_table(pattern: Pattern, data: object, columns: Columns, **options: Any) -> MatchTable:
    """`match` of a pattern and columns already checked (for the command line)."""
    return MatchTable(read(_core._match_table, pattern, data, columns, **options))


def explain_table(
    pattern: Pattern, data: object, columns: Columns, **options: Any
) -> NearMissTable:
    """`explain` of a pattern and columns already checked (for the command line)."""
    return NearMissTable(read(_core._explain_table, pattern, data, columns, **options))
