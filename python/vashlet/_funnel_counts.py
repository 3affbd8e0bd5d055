"""Counting a funnel's near misses column-wise: per (step, reason, detail), how many and the
positions of the first few, through pyarrow compute instead of a Python loop over every near
miss (which cost several times the search that found them). The detail text is the funnel's:
see `_funnel._reason_detail`, which this must agree with row for row."""

from __future__ import annotations

from typing import Any, NamedTuple

# The order of the key's parts in the one text that groups the rows. Neither the step's digits
# nor a reason holds the separator, so the detail, last, may hold anything.
_SEP = "\x1f"


class Group(NamedTuple):
    step: int
    reason: str
    detail: str | None
    count: int
    positions: list[int]  # of its first few rows, ascending
    examples: list[Any]  # their start rows


def grouped_misses(
    table: Any, depth: str, examples: int, too_late: str, nothing_fits: str
) -> list[Group] | None:
    """The groups of the near misses in `table` (a pyarrow Table with the columns the funnel
    reads), in order of their first row; None where a value has a form the text would not
    reproduce, so that the caller counts row by row instead."""
    import pyarrow as pa
    import pyarrow.compute as pc

    total = table.num_rows
    if not total:
        return []
    step = table[depth].combine_chunks()
    reason = table["reason"].combine_chunks()
    detail = _details(table, reason, too_late, nothing_fits)
    if detail is None:
        return None
    # The step and reason never hold nulls; a null detail is told apart from an empty one.
    marked = pc.if_else(pc.is_null(detail), pa.scalar("0"), pc.binary_join_element_wise(
        "1", pc.fill_null(detail, ""), ""))
    key = pc.binary_join_element_wise(pc.cast(step, pa.string()), reason, marked, _SEP)
    if key.null_count:
        return None
    # The stable sort keeps each group's rows in order; the groups go by their first rows.
    codes = pc.dictionary_encode(key).indices
    found = pc.value_counts(codes)
    counts = [0] * len(found)
    for code, count in zip(found.field("values").to_pylist(), found.field("counts").to_pylist()):
        counts[code] = count
    order = pc.sort_indices(codes)
    begins = []
    begin = 0
    for count in counts:
        begins.append(begin)
        begin += count
    firsts = pc.take(order, pa.array(begins, pa.int64()))
    steps = pc.take(step, firsts).to_pylist()
    reasons = pc.take(reason, firsts).to_pylist()
    texts = pc.take(detail, firsts).to_pylist()
    chosen = [order.slice(begins[g], min(count, examples)).to_pylist()
              for g, count in enumerate(counts)]
    start_rows = pc.take(table["start_row"],
                         pa.array([p for some in chosen for p in some], pa.int64())).to_pylist()
    groups = []
    for g, count in enumerate(counts):
        groups.append(Group(steps[g], reasons[g], texts[g], count, chosen[g],
                            start_rows[:len(chosen[g])]))
        start_rows = start_rows[len(chosen[g]):]
    return sorted(groups, key=lambda group: group.positions[0])


def _details(table: Any, reason: Any, too_late: str, nothing_fits: str) -> Any:
    import pyarrow as pa
    import pyarrow.compute as pc

    detail = pa.nulls(len(reason), pa.string())
    names = set(table.column_names)
    if "count" in names and "needed" in names:
        few = pc.binary_join_element_wise(
            pc.cast(table["count"].combine_chunks(), pa.string()),
            pc.cast(table["needed"].combine_chunks(), pa.string()), " of ")
        detail = pc.if_else(pc.equal(reason, "too_few"), few, detail)
    clauses = _clause_texts(table["failures"].combine_chunks())
    if clauses is None:
        return None
    detail = pc.if_else(pc.equal(reason, "predicate_failed"), clauses, detail)
    blocking = table["blocking_event_type"].combine_chunks()
    detail = pc.if_else(pc.equal(reason, "absence_blocked"), blocking, detail)
    satisfies = table["candidate_satisfies"].combine_chunks()
    late = pc.if_else(satisfies, pa.scalar(too_late), pa.scalar(nothing_fits))
    return pc.if_else(pc.equal(reason, "window_exceeded"), late, detail)


def _clause_texts(failures: Any) -> Any:
    """Per row, its failed clauses as `_funnel.failed_clauses` writes them (null rows give ``""``
    there too; they are read only for predicate_failed, whose failures are never null)."""
    import pyarrow as pa
    import pyarrow.compute as pc

    items = pc.list_flatten(failures)
    field = {name: pc.struct_field(items, name) for name in
             ("type", "attribute", "operator", "expected", "binding", "name")}
    predicate = pc.binary_join_element_wise(
        field["attribute"], field["operator"], field["expected"], " ")
    reference = pc.binary_join_element_wise(
        field["attribute"], field["operator"],
        pc.binary_join_element_wise("$", field["binding"], ""), " ")
    capture = pc.binary_join_element_wise(
        field["attribute"], pc.binary_join_element_wise("as $", field["name"], ""), " ")
    kind = field["type"]
    text = pc.if_else(pc.equal(kind, "predicate"), predicate,
                      pc.if_else(pc.equal(kind, "reference"), reference, capture))
    if text.null_count:
        return None  # a field the text would write as "None": left to the row-by-row count
    lengths = pc.fill_null(pc.list_value_length(failures), 0)
    offsets = pa.concat_arrays([pa.array([0], pa.int32()),
                                pc.cumulative_sum(pc.cast(lengths, pa.int32()))])
    lists = pa.ListArray.from_arrays(offsets, text)
    return pc.binary_join(lists, ", ")
