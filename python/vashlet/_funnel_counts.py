"""Counting a funnel's near misses column-wise: per (step, reason, detail), how many and the
positions of the first few, through pyarrow compute instead of a Python loop over every near
miss (which cost several times the search that found them). The detail text is the funnel's
own (`_funnel._reason_detail`), written for one row of each group."""

from __future__ import annotations

from typing import Any, Callable, NamedTuple


class Group(NamedTuple):
    step: int
    reason: str
    detail: str | None
    count: int
    positions: list[int]  # of its first few rows, ascending
    examples: list[Any]  # their start rows


def grouped_misses(
    table: Any, depth: str, examples: int, detail_of: Callable[[dict[str, Any]], str | None]
) -> list[Group] | None:
    """The groups of the near misses in `table` (a pyarrow Table with the columns the funnel
    reads), in order of their first row, each named by `detail_of` (the funnel's detail text) of
    its first row; None where the codes below would not fit in 64 bits, so that the caller
    counts row by row instead.

    The rows are grouped first by codes of what their text is written from (equal codes, equal
    text), then groups whose texts coincide anyway are merged: only one row per group is read
    into Python."""
    import pyarrow as pa
    import pyarrow.compute as pc

    if not table.num_rows:
        return []
    step = table[depth].combine_chunks()
    reason = pc.dictionary_encode(table["reason"].combine_chunks())
    detail = _detail_codes(table, reason)
    if detail is None:
        return None
    reasons = len(reason.dictionary)
    details = pc.max(detail).as_py() + 1
    steps = pc.max(step).as_py() + 1
    if steps * reasons * details >= 1 << 62:
        return None
    key = pc.add(pc.multiply(pc.add(pc.multiply(pc.cast(step, pa.int64()), reasons),
                                    pc.cast(reason.indices, pa.int64())), details), detail)
    # The stable sort keeps each group's rows in order.
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
    chosen = [order.slice(begins[g], min(count, examples)).to_pylist()
              for g, count in enumerate(counts)]
    firsts = [some[0] for some in chosen]
    rows = table.take(pa.array(firsts, pa.int64())).to_pylist()
    start_rows = table["start_row"]
    return merged_by_text(
        rows, counts, chosen, depth, examples, detail_of,
        lambda positions: pc.take(start_rows, pa.array(positions, pa.int64())).to_pylist(),
    )


def merged_by_text(
    firsts: list[dict[str, Any]],
    counts: list[int],
    chosen: list[list[int]],
    depth: str,
    examples: int,
    detail_of: Callable[[dict[str, Any]], str | None],
    start_rows: Callable[[list[int]], list[Any]],
) -> list[Group]:
    """Groups of rows, each given by its first row (`firsts`), its count and the positions of its
    first rows (`chosen`, ascending), named by the funnel's text of its first row: groups of the
    same text are merged (counts added, the first `examples` positions kept), in order of their
    first rows. `start_rows` gives the start rows at some positions."""
    merged: dict[tuple[int, str, str | None], tuple[int, list[int]]] = {}
    for row, count, positions in zip(firsts, counts, chosen):
        name = (row[depth], row["reason"], detail_of(row))
        total, kept = merged.get(name, (0, []))
        merged[name] = (total + count, sorted(kept + positions)[:examples])
    groups = [
        Group(at, why, text, count, positions, start_rows(positions))
        for (at, why, text), (count, positions) in merged.items()
    ]
    return sorted(groups, key=lambda group: group.positions[0])


def _detail_codes(table: Any, reason: Any) -> Any:
    """Per row, a code of what its detail text is written from: rows of one reason with equal
    codes have equal texts."""
    import pyarrow as pa
    import pyarrow.compute as pc

    rows = len(reason)
    kinds = reason.dictionary.to_pylist()
    is_reason = {kind: pc.equal(reason.indices, kinds.index(kind)) if kind in kinds else None
                 for kind in ("predicate_failed", "absence_blocked", "window_exceeded", "too_few")}
    code = pc.fill_null(pa.nulls(rows, pa.int64()), 0)
    if is_reason["absence_blocked"] is not None:
        blocking = pc.dictionary_encode(table["blocking_event_type"].combine_chunks())
        code = pc.if_else(is_reason["absence_blocked"],
                          pc.cast(pc.fill_null(blocking.indices, len(blocking.dictionary)),
                                  pa.int64()), code)
    if is_reason["window_exceeded"] is not None:
        satisfies = table["candidate_satisfies"].combine_chunks()
        late = pc.fill_null(pc.cast(pc.cast(satisfies, pa.int8()), pa.int64()), 2)
        code = pc.if_else(is_reason["window_exceeded"], late, code)
    if is_reason["too_few"] is not None:
        count = pc.fill_null(pc.cast(table["count"].combine_chunks(), pa.int64()), 0)
        needed = pc.fill_null(pc.cast(table["needed"].combine_chunks(), pa.int64()), 0)
        pairs = pc.dictionary_encode(pc.binary_join_element_wise(
            pc.cast(count, pa.string()), pc.cast(needed, pa.string()), ","))
        code = pc.if_else(is_reason["too_few"], pc.cast(pairs.indices, pa.int64()), code)
    if is_reason["predicate_failed"] is not None:
        clauses = _clause_codes(table["failures"].combine_chunks())
        if clauses is None:
            return None
        code = pc.if_else(is_reason["predicate_failed"], clauses, code)
    return code


_CLAUSE_FIELDS = ("type", "attribute", "operator", "expected", "binding", "name")


def _clause_codes(failures: Any) -> Any:
    """Per row, a code of its failed clauses' fields that the text shows (not their values):
    rows with equal codes have equal clause texts. None where the fields' codes would not fit in
    64 bits."""
    import pyarrow as pa
    import pyarrow.compute as pc

    items = pc.list_flatten(failures)
    item = pc.fill_null(pa.nulls(len(items), pa.int64()), 0)
    scale = 1
    for name in _CLAUSE_FIELDS:
        encoded = pc.dictionary_encode(pc.struct_field(items, name))
        size = len(encoded.dictionary) + 1  # the last code: null
        scale *= size
        if scale >= 1 << 62:
            return None
        indices = pc.cast(pc.fill_null(encoded.indices, size - 1), pa.int64())
        item = pc.add(pc.multiply(item, size), indices)
    # A row without a clause takes code 0; a row of one clause, that clause's code (from 1); the
    # few of several, a code of the text of their codes, after every clause's.
    small = pc.cast(pc.dictionary_encode(item).indices, pa.int64())
    lengths = pc.fill_null(pc.list_value_length(failures), 0)
    offsets = pa.concat_arrays([pa.array([0], pa.int64()),
                                pc.cumulative_sum(pc.cast(lengths, pa.int64()))])
    rows = len(failures)
    if not len(items):
        return pc.fill_null(pa.nulls(rows, pa.int64()), 0)
    firsts = pc.min_element_wise(offsets.slice(0, rows), len(items) - 1)
    # An empty row's offset is that of the next row's first clause: it must not take its code.
    code = pc.if_else(pc.equal(lengths, 0), 0, pc.add(pc.take(small, firsts), 1))
    several = pc.greater_equal(lengths, 2)
    if pc.any(several).as_py():
        lists = pa.ListArray.from_arrays(pc.cast(offsets, pa.int32()), pc.cast(small, pa.string()))
        joined = pc.dictionary_encode(pc.binary_join(pc.filter(lists, several), ","))
        distinct = pc.max(small).as_py() + 2
        code = pc.replace_with_mask(
            code, several, pc.add(pc.cast(joined.indices, pa.int64()), distinct))
    return code
