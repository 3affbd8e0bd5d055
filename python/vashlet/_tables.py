"""Matching and near-miss analysis over tables: `match` and `explain`, and their result tables."""

from __future__ import annotations

from typing import Any, Iterator, Sequence, Union

from vashlet import _core
from vashlet._core import Event, Pattern, PatternBuilder, parse_pattern

PatternLike = Union[str, Pattern, PatternBuilder]

_PREVIEW_ROWS = 10


class _ResultTable:
    """Rows of a result, held natively and handed out through the Arrow PyCapsule interface."""

    __slots__ = ("_table",)
    _kind = "ResultTable"

    def __init__(self, table: Any) -> None:
        self._table = table

    def __arrow_c_stream__(self, requested_schema: object = None) -> object:
        return self._table.__arrow_c_stream__(requested_schema)

    def __arrow_c_schema__(self) -> object:
        return self._table.__arrow_c_schema__()

    def __len__(self) -> int:
        return len(self._table)

    def __iter__(self) -> Iterator[dict[str, Any]]:
        return iter(self._table.to_pylist())

    @property
    def columns(self) -> list[str]:
        """The column names, in order."""
        return self._table.column_names

    def _to_pyarrow(self) -> Any:
        """The rows as a pyarrow Table (read from the stream: `pyarrow.table()` would import
        pandas first, to check whether this is a DataFrame)."""
        import pyarrow as pa

        return pa.RecordBatchReader.from_stream(self).read_all()

    def to_pylist(self) -> list[dict[str, Any]]:
        """Every row as a dict of column name to value (for small results)."""
        return self._table.to_pylist()

    def head(self, n: int = 5) -> list[dict[str, Any]]:
        """The first `n` rows as dicts."""
        return self._table.to_pylist(0, n)

    def __repr__(self) -> str:
        from vashlet._format import row_texts
        from vashlet._terminal import render

        rows = len(self)
        title = f"{self._kind}: {rows:,} {'row' if rows == 1 else 'rows'}"
        preview = self._table.to_pylist(0, _PREVIEW_ROWS)
        numeric = [
            all(isinstance(row[name], (int, float)) or row[name] is None for row in preview)
            for name in self.columns
        ]
        lines, _ = render(self.columns, [row_texts(row) for row in preview], numeric, None)
        if rows > len(preview):
            lines.append(f"... {rows - len(preview):,} more")
        return "\n".join([title] + lines)

    def _repr_html_(self) -> str:
        from vashlet._html import STYLE, table_html

        rows = self._table.to_pylist(0, _PREVIEW_ROWS)
        return f"<div><style>{STYLE}</style>{table_html(self.columns, rows, len(self))}</div>"


class MatchTable(_ResultTable):
    """The matches of `vashlet.match`, one row per match.

    Columns: ``match`` (0, 1, ...), ``partition``, ``start`` and ``end`` (timestamps of the first
    and last event), ``rows`` (input row of each step's event) and ``captures`` (a struct with one
    field per binding). Export with ``pyarrow.table(result)``, ``polars.DataFrame(result)`` or any
    reader of the Arrow PyCapsule interface.
    """

    __slots__ = ()
    _kind = "MatchTable"


class NearMissTable(_ResultTable):
    """The near misses of `vashlet.explain`, one row per start that did not match.

    Columns: ``start_row``, ``partition``, ``reached_steps``, ``rows``, ``next_event_type``,
    ``reason``, then the reason's detail (``event_row``, ``candidate_row``, ``blocking_row``,
    ``blocking_event_type``, ``candidate_satisfies``, ``gap``, ``max_elapsed``, ``failures``; null
    where the reason has no such field) and ``captures``.
    """

    __slots__ = ()
    _kind = "NearMissTable"


def _as_pattern(pattern: PatternLike) -> Pattern | PatternBuilder:
    if isinstance(pattern, str):
        return parse_pattern(pattern)
    return pattern


def _as_source(data: object) -> object:
    """What the native reader takes: a stream capsule, a (schema, array) capsule pair, or the
    sequence of events itself."""
    kind = type(data)
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


def match(
    pattern: PatternLike,
    data: object,
    *,
    partition: str = "partition",
    ts: str = "ts",
    type: str = "type",
    id: str | None = None,
    exhaustive: bool = False,
    threads: int | None = None,
) -> MatchTable:
    """Find the matches of `pattern` in a table of events, in any order.

    `data` is any table that exports the Arrow PyCapsule interface (pyarrow, polars, pandas,
    DuckDB) or a sequence of `Event` objects. Each row is an event: `partition`, `ts` and `type`
    name its columns; every other column is an attribute, read only where the pattern uses it,
    and a null cell is a missing attribute. Results name input rows (0-based, in arrival order),
    or, with `id`, the values of that column (a string or integer column that names each row).
    Large tables are read, and partitions matched, on `threads` native threads (default: the
    usable cores; 1 runs on the calling thread); the result does not depend on it.

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
    return MatchTable(
        _core._match_table(
            _as_pattern(pattern), _as_source(data), partition, ts, type, id, exhaustive, threads
        )
    )


def explain(
    pattern: PatternLike,
    data: object,
    *,
    partition: str = "partition",
    ts: str = "ts",
    type: str = "type",
    id: str | None = None,
    threads: int | None = None,
) -> NearMissTable:
    """Explain every start of `pattern` in a table of events that did not become a match.

    Takes the same `data` and columns as `match`. Each row is one start: how many steps it
    reached, the input rows of its deepest partial path, the step it could not take and why
    (``predicate_failed``, ``absence_blocked``, ``window_exceeded`` or ``no_successor``).

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
    return NearMissTable(
        _core._explain_table(
            _as_pattern(pattern), _as_source(data), partition, ts, type, id, False, threads
        )
    )
