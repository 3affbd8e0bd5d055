"""What the Spark and Dask front-ends share: the plan of one call, checked on the driver against
the input's Arrow schema, and the step every worker runs on its share of the events."""

from __future__ import annotations

import re
from typing import Any, Callable, Iterable, Iterator

import pyarrow as pa
import pyarrow.compute as pc

from vashlet import Pattern, _core
from vashlet._inputs import Columns, PatternLike, as_pattern, pattern_first, with_mode

# Rows gathered before a worker runs the matcher over the partitions complete so far: big enough
# that the per-call cost vanishes, small enough that memory holds one chunk plus one partition.
CHUNK_ROWS = 1 << 17


def _kind(arrow_type: pa.DataType) -> str | None:
    if pa.types.is_dictionary(arrow_type):
        return _kind(arrow_type.value_type)
    if pa.types.is_string(arrow_type) or pa.types.is_large_string(arrow_type):
        return "string"
    if pa.types.is_string_view(arrow_type):
        return "string"
    if pa.types.is_boolean(arrow_type):
        return "bool"
    if pa.types.is_floating(arrow_type):
        return "float"
    if pa.types.is_integer(arrow_type) or pa.types.is_temporal(arrow_type):
        return "int"
    return None  # null columns, and types the reader refuses anyway


_KIND_TYPES = {"string": pa.string(), "int": pa.int64(), "float": pa.float64(), "bool": pa.bool_()}


def capture_types(pattern: Pattern, schema: pa.Schema) -> dict[str, pa.DataType]:
    """The type of each binding in a declared result schema, from the columns it is captured
    from: one kind keeps it, integers and floats make floats, any other mixture makes text (the
    values written as pattern literals, as the one-machine result does)."""
    sources: dict[str, set[str]] = {}
    for (_, _, absences), (branches, _, _) in zip(pattern._parts, pattern._elements):
        for _, _, captures in (*branches, *absences):
            for name, attribute in captures:
                kinds = sources.setdefault(name, set())
                if attribute in schema.names:
                    kind = _kind(schema.field(attribute).type)
                    if kind:
                        kinds.add(kind)
    types = {}
    for name in sorted(sources, key=lambda text: text.encode()):
        kinds = sources[name]
        if len(kinds) == 1:
            types[name] = _KIND_TYPES[kinds.pop()]
        elif kinds == {"int", "float"}:
            types[name] = pa.float64()
        else:
            types[name] = pa.string()
    return types


class Plan:
    """One call of `match` or `explain`, as the workers run it: picklable, so it travels with
    the task (the pattern through its JSON form)."""

    def __init__(
        self, pattern: PatternLike, columns: Columns, *, explain: bool, exhaustive: bool = False,
        mode: str | None = None,
    ) -> None:
        self.pattern = with_mode(as_pattern(pattern), mode, exhaustive)
        self.columns = columns
        self.explain = explain
        self.exhaustive = exhaustive
        self.schema: pa.Schema | None = None  # the result, set by `check`

    @property
    def id(self) -> str:
        return self.columns.id  # type: ignore[return-value]  # never None: see `keyed`

    def read_columns(self) -> list[str]:
        """The input columns the workers need: the keys, then the attributes the pattern reads."""
        keys = [self.columns.partition, self.columns.ts, self.columns.type, self.id]
        named = dict.fromkeys(keys + list(self.pattern.attributes))
        return list(named)

    def check(self, input_schema: pa.Schema) -> pa.Schema:
        """Runs the call on no rows of the input's schema, so that a missing column or one of an
        unsupported type is reported here, on the driver, by the reader itself; returns (and
        keeps) the schema of the result."""
        empty = input_schema.empty_table()  # unread columns cost nothing, and name the rest
        result = self._run(empty)
        self.schema = self._declared(result.schema, input_schema)
        return self.schema

    def _declared(self, result: pa.Schema, input_schema: pa.Schema) -> pa.Schema:
        fields = []
        for field in result:
            if field.name == "match":
                continue  # a running number within one call: the rows name a match instead
            if field.name == "captures":
                captures = capture_types(self.pattern, input_schema)
                field = pa.field("captures", pa.struct([pa.field(n, t) for n, t in captures.items()]))
            elif pa.types.is_large_list(field.type):
                field = pa.field(field.name, pa.list_(field.type.value_type))
            fields.append(field)
        return pa.schema(fields)

    def _run(self, table: pa.Table) -> pa.Table:
        # One thread: the engine already runs a task per core. The native calls themselves: an
        # event type missing from one group of partitions is no mistake of the pattern's.
        run = _core._explain_table if self.explain else _core._match_table
        return pa.table(self.columns.read(run, self.pattern, table.__arrow_c_stream__(),
                                          exhaustive=self.exhaustive, threads=1))

    def run(self, table: pa.Table) -> pa.Table:
        """The result over `table`, whose partitions are complete, in the declared schema."""
        if self.schema is None:
            raise RuntimeError("Plan.check must run before Plan.run")
        try:
            result = self._run(table)
        except ValueError as error:
            raise ValueError(self._located(str(error), table)) from None
        return conform(result, self.schema)

    def _located(self, message: str, table: pa.Table) -> str:
        """A worker's row numbers mean nothing to the user: name the row by its id instead."""
        found = re.search(r" at row (\d+)", message)
        if not found or self.id not in table.column_names:
            return message
        ident = table.column(self.id)[int(found.group(1))].as_py()
        if ident is None:
            return message.replace(found.group(0), " in a row")
        return message.replace(found.group(0), f" in the row whose {self.id!r} is {ident!r}")

    def run_sorted(self, batches: Iterable[pa.RecordBatch]) -> Iterator[pa.RecordBatch]:
        """Runs the matcher over batches that arrive grouped by partition, a chunk of complete
        partitions at a time, so memory holds one chunk and one partition, not the whole input."""
        pending: list[pa.RecordBatch] = []
        rows = 0
        for batch in batches:
            if batch.num_rows == 0:
                continue
            pending.append(batch)
            rows += batch.num_rows
            if rows < CHUNK_ROWS:
                continue
            table = pa.Table.from_batches(pending)
            keys = table.column(self.columns.partition)
            cut = pc.index(keys, keys[-1]).as_py()  # where the last, maybe unfinished, one starts
            if cut <= 0:
                continue  # one partition so far: keep gathering
            yield from self.run(table.slice(0, cut)).to_batches()
            pending = table.slice(cut).to_batches()
            rows = table.num_rows - cut
        if pending:
            yield from self.run(pa.Table.from_batches(pending)).to_batches()


def keyed(id: object) -> None:
    """Refuses an `id` that is not a column name: row numbers mean nothing once the events are
    shuffled."""
    if not isinstance(id, str):
        raise TypeError(
            "id must name a column that identifies each row (row numbers mean nothing once "
            f"the events are shuffled), not '{type(id).__qualname__}'"
        )


_MATCH_DOC = """The matches of `pattern` in the events of `df` ({frame}), one row per match, as a
    {frame}.

    Columns as `vashlet.match` returns them, less ``match`` (a running number within one call):
    ``partition``, ``start``, ``end``, ``rows`` (the `id` of each step's event) and
    ``captures``. `id` names a column of integers or strings that identifies each row; the other
    options are those of `vashlet.match`. The older order ``match(df, pattern)`` still works,
    with a DeprecationWarning."""

_EXPLAIN_DOC = """The near misses of `pattern` in the events of `df` ({frame}), one row per start
    that did not match, in the columns of `vashlet.explain` (`mode` as there); every row
    reference is a value of the `id` column. The older order ``explain(df, pattern)`` still works, with a
    DeprecationWarning."""


def front_end(run: Callable[[Any, Plan], Any], module: str, frame: str) -> tuple[Any, Any]:
    """The `match` and `explain` of an engine, whose `run(df, plan)` runs a plan over the
    events of `df`; `module` is the engine's module and `frame` names its DataFrame class."""

    def match(pattern: PatternLike, df: Any, *, partition: str = "partition", ts: str = "ts",
              type: str = "type", id: str, exhaustive: bool = False, mode: str | None = None,
              ts_unit: str | None = None) -> Any:
        pattern, df = pattern_first(pattern, df, f"{module}.match")
        keyed(id)
        plan = Plan(pattern, Columns(partition, ts, type, id, ts_unit), explain=False,
                    exhaustive=exhaustive, mode=mode)
        return run(df, plan)

    def explain(pattern: PatternLike, df: Any, *, partition: str = "partition", ts: str = "ts",
                type: str = "type", id: str, mode: str | None = None,
                ts_unit: str | None = None) -> Any:
        pattern, df = pattern_first(pattern, df, f"{module}.explain")
        keyed(id)
        plan = Plan(pattern, Columns(partition, ts, type, id, ts_unit), explain=True, mode=mode)
        return run(df, plan)

    for function, doc in ((match, _MATCH_DOC), (explain, _EXPLAIN_DOC)):
        function.__module__ = module
        function.__qualname__ = function.__name__
        function.__doc__ = doc.format(frame=frame)
    return match, explain


def conform(result: pa.Table, schema: pa.Schema) -> pa.Table:
    """`result` cast to the declared schema: list offsets narrowed, and each binding's column of
    the type the whole job declares (one call types it by the values it happened to see)."""
    columns = []
    for field in schema:
        column = result.column(field.name)
        if field.name == "captures":
            column = _conform_captures(column, field.type)
        elif column.type != field.type:
            column = column.cast(field.type)
        columns.append(column)
    return pa.Table.from_arrays(columns, schema=schema)


def _conform_captures(column: pa.ChunkedArray, declared: pa.StructType) -> pa.ChunkedArray:
    chunks = []
    for chunk in column.chunks:
        children = []
        for index in range(declared.num_fields):
            target = declared.field(index)
            child = chunk.field(target.name)
            if child.type != target.type:
                if pa.types.is_string(target.type) and pa.types.is_floating(child.type):
                    child = pa.array([_float_literal(v) for v in child.to_pylist()], pa.string())
                else:
                    child = child.cast(target.type)
            children.append(child)
        chunks.append(
            pa.StructArray.from_arrays(children, fields=list(declared), mask=chunk.is_null())
        )
    return pa.chunked_array(chunks, declared)


def _float_literal(value: float | None) -> str | None:
    """A float as a pattern literal: always with a point or an exponent."""
    if value is None:
        return None
    if value != value:
        return "nan"
    if value in (float("inf"), float("-inf")):
        return "inf" if value > 0 else "-inf"
    text = repr(value)
    return text if any(c in text for c in ".en") else text + ".0"
