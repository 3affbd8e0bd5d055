"""Matching events as they arrive: `Stream` keeps the state between batches natively, and each
push hands back a `StreamBatch` of what became final."""

from __future__ import annotations

from datetime import timedelta
from typing import Any

from vashlet import _core
from vashlet._absent_types import warn_absent
from vashlet._core import Pattern
from vashlet._inputs import Columns, PatternLike, as_pattern, with_mode
from vashlet._tables import MatchTable, NearMissTable, _reading, warn_never_taken


class StreamBatch(MatchTable):
    """What one `Stream.push` (or `Stream.flush`) made final: a `MatchTable` of the matches,
    with `near_misses` and `late`."""

    __slots__ = ("_misses", "_late")
    _kind = "StreamBatch"

    @classmethod
    def _of(cls, table: Any, near_misses: NearMissTable | None, late: list[Any]) -> StreamBatch:
        batch = cls(table)
        batch._misses, batch._late = near_misses, late
        return batch

    @property
    def near_misses(self) -> NearMissTable | None:
        """The near misses made final, where the stream explains (``explain=True``); else
        None."""
        return getattr(self, "_misses", None)

    @property
    def late(self) -> list[Any]:
        """The late events dropped under ``late="report"``: their rows (or ids, with `id`);
        else empty."""
        return getattr(self, "_late", [])

    def head(self, n: int = 5) -> StreamBatch:
        """The first `n` matches (as `MatchTable.head`), with the same near misses and late
        events."""
        return StreamBatch._of(MatchTable(self._table).head(n)._table, self.near_misses, self.late)

    def __repr__(self) -> str:
        lines = [super().__repr__()]
        if self.near_misses is not None:
            lines.append(f"near misses: {len(self.near_misses):,}")
        if self.late:
            lines.append(f"late: {self.late!r}")
        return "\n".join(lines)

    def __reduce__(self) -> tuple[Any, ...]:
        return (_batch_of, (MatchTable(self._table), self.near_misses, self.late))


def _batch_of(
    matches: MatchTable, near_misses: NearMissTable | None, late: list[Any]
) -> StreamBatch:
    return StreamBatch._of(matches._table, near_misses, late)


class Stream:
    """Match `pattern` over events that keep arriving, batch by batch.

    Each `push` takes a batch (anything `vashlet.match` takes, with the same columns) and
    returns the matches that no later event can change, as a `StreamBatch`; `flush` ends the
    input and decides everything still open. All pushes followed by the flush give the matches
    (and, with `explain=True`, the near misses) that `vashlet.match` (`vashlet.explain`) gives
    over all the batches concatenated: rows are counted across the stream (or named by `id`),
    and ``match`` numbers run on across batches. Emission order differs: compare as sets.

    Events may arrive out of order by up to `lateness` per partition: ticks of an integer ts
    column (an int), or a duration (``"30s"``, ``"5m"``, a ``datetime.timedelta``). An event
    older than its partition's latest timestamp less `lateness` is late: ``late="raise"``
    refuses the push with a ValueError naming the row (the stream stays as it was),
    ``late="drop"`` drops it, ``late="report"`` drops it and lists it in the batch's `late`.
    `max_open` bounds the undecided starts per partition (a push that would exceed it raises
    ValueError naming the partition, and changes nothing). `mode`, `exhaustive`, `ts_unit`,
    `threads` and `max_matches` (per push) mean what they mean for `vashlet.match`. An event
    type of the pattern that no batch has gives a UserWarning at `flush`.

    `stats()` tells the state's size, `snapshot()` gives it as bytes and `Stream.restore`
    continues from them exactly; ``pickle.dumps(stream)`` works the same way. A Stream is for
    one thread at a time: a call while another thread's push runs raises RuntimeError.

    >>> import vashlet
    >>> import pyarrow as pa
    >>> s = vashlet.Stream("login -[<=300]-> purchase", partition="user", explain=True)
    >>> len(s.push(pa.table({"user": ["ann", "bob"], "ts": [100, 105],
    ...                      "type": ["login", "login"]})))
    0
    >>> out = s.push(pa.table({"user": ["ann"], "ts": [130], "type": ["purchase"]}))
    >>> [(m["partition"], m["rows"]) for m in out]
    [('ann', [0, 2])]
    >>> end = s.flush()
    >>> len(end), [(m["partition"], m["reason"]) for m in end.near_misses]
    (0, [('bob', 'no_successor')])
    """

    __slots__ = ("_native", "_columns", "_pattern", "_absent")

    def __init__(
        self,
        pattern: PatternLike,
        *,
        partition: str = "partition",
        ts: str = "ts",
        type: str = "type",
        id: str | None = None,
        ts_unit: str | None = None,
        mode: str | None = None,
        exhaustive: bool = False,
        lateness: int | str | timedelta | None = None,
        late: str = "raise",
        explain: bool = False,
        max_open: int | None = None,
        threads: int | None = 1,
        max_matches: int | None = None,
    ) -> None:
        pattern = with_mode(as_pattern(pattern), mode, exhaustive)
        warn_never_taken(pattern)
        columns = Columns(partition, ts, type, id, ts_unit)
        if isinstance(lateness, timedelta) and lateness < timedelta(0):
            raise ValueError(f"argument 'lateness': must not be negative, got {lateness!r}")
        native = _core._Stream(
            pattern, columns.partition, columns.ts, columns.type, columns.id,
            exhaustive=exhaustive, threads=threads, ts_unit=columns.ts_unit,
            max_matches=max_matches, lateness=lateness, late=late, explain=explain,
            max_open=max_open,
        )
        self._take(native)

    def _take(self, native: Any) -> None:
        options = native.options()
        self._native = native
        self._pattern: Pattern = options["pattern"]
        self._columns = Columns(options["partition"], options["ts"], options["type"],
                                options["id"], options["ts_unit"])
        # The pattern's types that every batch with rows so far lacked (None: no such batch).
        self._absent: list[str] | None = None

    @classmethod
    def restore(cls, snapshot: bytes) -> Stream:
        """The stream that `snapshot` (from `Stream.snapshot`) holds, continuing exactly where
        it was. Bytes that are no stream snapshot, or one of another format version, raise
        ValueError."""
        if isinstance(snapshot, (bytearray, memoryview)):
            snapshot = bytes(snapshot)
        stream = cls.__new__(cls)
        stream._take(_core._Stream.restore(snapshot))
        return stream

    @property
    def pattern(self) -> Pattern:
        """The pattern matched, in the mode the stream was made with."""
        return self._pattern

    def push(self, data: object) -> StreamBatch:
        """Add a batch of events; the matches (and near misses, and late events) it made final.

        `data` is anything `vashlet.match` takes: an Arrow table, batch or stream, a pandas,
        polars or DuckDB table, or a sequence of `Event` objects. A failing push (a late event
        under ``late="raise"``, too many open starts, a bad batch) changes nothing."""
        with _reading(data, self._columns, self._pattern) as source:
            matches, near_misses, late, absent = self._native.push(source)
        if absent is not None:
            kept = absent if self._absent is None else self._absent
            self._absent = [name for name in kept if name in absent]
        return self._batch(matches, near_misses, late)

    def flush(self) -> StreamBatch:
        """End the input: every start still open is decided. The stream takes no more pushes."""
        matches, near_misses, late, _ = self._native.flush()
        if self._absent:
            warn_absent(self._absent, None, self._columns.type)
            self._absent = []
        return self._batch(matches, near_misses, late)

    @staticmethod
    def _batch(matches: Any, near_misses: Any, late: list[Any]) -> StreamBatch:
        misses = None if near_misses is None else NearMissTable(near_misses)
        return StreamBatch._of(matches, misses, late)

    def stats(self) -> dict[str, Any]:
        """The state's size: ``rows`` pushed, ``partitions`` with state, ``open_starts`` not yet
        decided, ``held_events`` waiting for the watermark, ``kept_events`` an open start still
        needs, about how many ``bytes`` they take, and whether the stream was ``flushed``."""
        return self._native.stats()  # type: ignore[no-any-return]

    def snapshot(self) -> bytes:
        """The whole state as bytes, for `Stream.restore`."""
        return self._native.snapshot()  # type: ignore[no-any-return]

    def __reduce__(self) -> tuple[Any, ...]:
        return (type(self).restore, (self.snapshot(),))

    def __repr__(self) -> str:
        columns = self._columns
        try:
            text = repr(self._pattern.to_text())
        except ValueError:  # a pattern the one-line notation cannot write
            text = repr(self._pattern)
        parts = [f"pattern={text}", f"partition={columns.partition!r}", f"ts={columns.ts!r}",
                 f"type={columns.type!r}"]
        try:
            stats = self.stats()
        except RuntimeError:  # pushed to by another thread right now
            parts.append("in use")
        else:
            parts += [f"{name}={stats[name]:,}" for name in
                      ("rows", "partitions", "open_starts", "held_events")]
            if stats["flushed"]:
                parts.append("flushed")
        return f"Stream({', '.join(parts)})"
