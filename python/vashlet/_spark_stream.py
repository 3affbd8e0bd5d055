"""`vashlet.spark.match_stream` and `explain_stream`: the matcher over a streaming DataFrame, with
one `vashlet.Stream` per partition key kept in Spark's state store as its snapshot.

Each micro-batch hands every key that has new events to `step`, which restores the key's Stream
(or starts one from a template made on the driver), pushes the key's new events sorted by
(timestamp, id) and keeps the new snapshot. What comes out is what the Stream made final: what a
`vashlet.Stream` fed the same micro-batches gives, without the `flush()` a streaming query never
reaches. Starts still open when the input pauses stay in the state until that key's later events
decide them.

Why `applyInPandasWithState` and not `transformWithStateInPandas`: a key's state is one value
(the snapshot), which is what GroupState holds, and the older operator runs on the default state
store, where the newer one needs the RocksDB provider set on the session before the query first
runs. Its timers would buy nothing (below).

Why GroupStateTimeout.NoTimeout: a key's Stream decides by its own watermark (the key's latest
timestamp less `lateness`), which only the key's events move; a timeout could only flush the key,
deciding starts that a later event of the key could still change. And under EventTimeTimeout
Spark drops rows older than the query's global watermark before the function sees them, so a
key's late rows would vanish without the `late=` policy ever judging them. The Spark watermark
(`withWatermark` on a timestamp column, delayed by `lateness`) is still declared, so the query's
progress reports event time; with NoTimeout it drops nothing here.

Timestamp columns travel to the workers as microseconds since the epoch (pandas would hand them
over as wall times of the session's zone, which repeat when clocks go back) and return as the
column's own type.
"""

from __future__ import annotations

import re
import warnings
from datetime import datetime, timedelta
from typing import TYPE_CHECKING, Any, Iterator

import pyarrow as pa

from vashlet._inputs import Columns, PatternLike, as_pattern
from vashlet._scaleout import Plan, conform, keyed

if TYPE_CHECKING:
    import pandas as pd
    from pyspark.sql import DataFrame

__all__ = ["match_stream", "explain_stream"]

_LATE_POLICIES = ("raise", "drop")
_DURATION = re.compile(r"(\d+)(ns|us|ms|s|m|h|d|w)")
_MICROSECONDS = {"ns": 0.001, "us": 1, "ms": 1_000, "s": 1_000_000, "m": 60_000_000,
                 "h": 3_600_000_000, "d": 86_400_000_000, "w": 604_800_000_000}


class _Step:
    """What every worker runs for one key of one micro-batch: picklable, small (the template
    snapshot and two schemas)."""

    def __init__(self, template: bytes, events: pa.Schema, result: pa.Schema, ts: str,
                 id: str, explain: bool) -> None:
        self.template = template
        self.events = events  # the input as the Stream reads it
        self.result = result  # the declared output
        self.id = id
        self.order = [(ts, "ascending"), (id, "ascending")]
        self.explain = explain

    def __call__(self, key: tuple, frames: Iterator[pd.DataFrame],
                 state: Any) -> Iterator[pd.DataFrame]:
        from vashlet import Stream

        tables = [pa.Table.from_pandas(frame, schema=self.events, preserve_index=False)
                  for frame in frames]
        table = pa.concat_tables(tables).sort_by(self.order)
        stream = Stream.restore(state.get[0] if state.exists else self.template)
        before = stream.stats()["rows"]
        try:
            with warnings.catch_warnings():  # a type absent from one key's batch is no news
                warnings.simplefilter("ignore", UserWarning)
                out = stream.push(table)
        except ValueError as error:
            raise ValueError(self._named(str(error), table, before)) from None
        state.update((stream.snapshot(),))
        found = out.near_misses if self.explain else out
        if len(found):
            yield conform(found.to_arrow(), self.result).to_pandas()

    def _named(self, message: str, table: pa.Table, before: int) -> str:
        """A key's own row numbers mean nothing to the user: name the row by its id instead."""
        found = re.search(r"\brow (\d+)\b", message)
        index = int(found.group(1)) - before if found else -1
        if not 0 <= index < table.num_rows:
            return message
        ident = table.column(self.id)[index].as_py()
        return message.replace(found.group(0), f"the row whose {self.id!r} is {ident!r}", 1)


def _lateness_delay(lateness: object) -> str | None:
    """`lateness` as the delay of a Spark watermark, or None where it is not a duration."""
    if isinstance(lateness, timedelta):
        micros = lateness // timedelta(microseconds=1)
    elif isinstance(lateness, str) and lateness and _DURATION.sub("", lateness) == "":
        micros = sum(int(n) * _MICROSECONDS[u] for n, u in _DURATION.findall(lateness))
    else:
        return None
    return f"{max(int(micros), 0)} microseconds"


def _run(pattern: PatternLike, df: DataFrame, columns: Columns, *, explain: bool,
         exhaustive: bool, mode: str | None, lateness: object, late: str,
         max_open: int | None) -> DataFrame:
    from pyspark.sql import functions as F
    from pyspark.sql.pandas.types import to_arrow_schema
    from pyspark.sql.streaming.state import GroupStateTimeout
    from pyspark.sql.types import (
        BinaryType, StructField, StructType, TimestampNTZType, TimestampType,
    )

    import vashlet
    from vashlet.spark import _spark_schema

    if not isinstance(late, str) or late not in _LATE_POLICIES:
        raise ValueError(
            f"late must be 'raise' or 'drop' in a Spark query (a streaming query has nowhere to "
            f"hand back late rows), not {late!r}"
        )
    keyed(columns.id)
    plan = Plan(as_pattern(pattern), columns, explain=explain, exhaustive=exhaustive, mode=mode)
    timezone = df.sparkSession.conf.get("spark.sql.session.timeZone")
    result = plan.check(to_arrow_schema(df.schema, timezone=timezone))  # names bad columns
    declared = _spark_schema(result, df, plan)

    events = df.select(*[name for name in plan.read_columns() if name in df.columns])
    ts_type = events.schema[columns.ts].dataType
    ts_unit = columns.ts_unit
    if isinstance(ts_type, (TimestampType, TimestampNTZType)):
        if isinstance(lateness, int) and not isinstance(lateness, bool):
            raise ValueError(
                f"lateness {lateness} has no unit, but {columns.ts!r} is a timestamp: write "
                f"'{lateness}s', or '{lateness}us' for microseconds"
            )
        delay = _lateness_delay(lateness if lateness is not None else "0s")
        if delay is not None and isinstance(ts_type, TimestampType):  # Spark's needs a zone
            events = events.withWatermark(columns.ts, delay)
        epoch = F.lit(datetime(1970, 1, 1)).cast("timestamp_ntz")
        micros = (F.unix_micros(F.col(columns.ts)) if isinstance(ts_type, TimestampType)
                  else F.timestamp_diff("MICROSECOND", epoch, F.col(columns.ts)))
        events = events.withColumn(columns.ts, micros)
        ts_unit = "us"
    events_schema = to_arrow_schema(events.schema, timezone=timezone)

    stream = vashlet.Stream(
        plan.pattern, partition=columns.partition, ts=columns.ts, type=columns.type,
        id=columns.id, ts_unit=ts_unit, exhaustive=exhaustive, lateness=lateness, late=late,
        explain=explain, max_open=max_open, threads=1,
    )
    template = stream.snapshot()
    with warnings.catch_warnings():  # refuses bad options here, not on a worker
        warnings.simplefilter("ignore", UserWarning)
        stream.push(events_schema.empty_table())

    step = _Step(template, events_schema, result, columns.ts, columns.id, explain)
    return events.groupBy(columns.partition).applyInPandasWithState(
        step, declared, StructType([StructField("snapshot", BinaryType(), True)]), "append",
        GroupStateTimeout.NoTimeout,
    )


_MATCH_DOC = """The matches of `pattern` in the streaming DataFrame `df`, as a streaming
    DataFrame: each row is a match, emitted once, in the micro-batch that made it final.

    Columns, `id` and the options as in `vashlet.spark.match`; `lateness` and `late` (``"raise"``
    or ``"drop"``) and `max_open` as in `vashlet.Stream`. One Stream per `partition` value lives
    in the query's state store; a start still open stays there until that partition's later
    events decide it (nothing flushes a streaming query). Events of one micro-batch with equal
    timestamps are taken in `id` order, across micro-batches in arrival order."""

_EXPLAIN_DOC = """The near misses of `pattern` in the streaming DataFrame `df`, as a streaming
    DataFrame of the columns of `vashlet.spark.explain`: each start that can no longer match,
    emitted once, in the micro-batch that decided it. Options as in `match_stream`."""


def match_stream(pattern: PatternLike, df: DataFrame, *, partition: str = "partition",
                 ts: str = "ts", type: str = "type", id: str, exhaustive: bool = False,
                 mode: str | None = None, ts_unit: str | None = None,
                 lateness: int | str | timedelta | None = None, late: str = "raise",
                 max_open: int | None = None) -> DataFrame:
    keyed(id)
    return _run(pattern, df, Columns(partition, ts, type, id, ts_unit), explain=False,
                exhaustive=exhaustive, mode=mode, lateness=lateness, late=late,
                max_open=max_open)


def explain_stream(pattern: PatternLike, df: DataFrame, *, partition: str = "partition",
                   ts: str = "ts", type: str = "type", id: str, mode: str | None = None,
                   ts_unit: str | None = None, lateness: int | str | timedelta | None = None,
                   late: str = "raise", max_open: int | None = None) -> DataFrame:
    keyed(id)
    return _run(pattern, df, Columns(partition, ts, type, id, ts_unit), explain=True,
                exhaustive=False, mode=mode, lateness=lateness, late=late, max_open=max_open)


match_stream.__doc__ = _MATCH_DOC
explain_stream.__doc__ = _EXPLAIN_DOC
