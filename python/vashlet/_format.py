"""Result cells as short text, shared by the terminal table, CSV output and the HTML views, and
the compact view of a result that the command line and the tables' reprs show."""

from __future__ import annotations

from typing import Any, Sequence

from vashlet._funnel import failed_clauses


def cell_text(column: str, value: Any) -> str:
    """One cell as text: nulls empty, lists as ``[0, 2]``, structs as ``u=ann``, the failed
    clauses of a near miss as pattern text (``amount >= 10.5``)."""
    if value is None:
        return ""
    if column == "failures":
        return failed_clauses(value)
    return _text(value)


def _text(value: Any) -> str:
    if value is None:
        return "null"
    if isinstance(value, str):
        return value
    if isinstance(value, dict):
        return ", ".join(f"{k}={_text(v)}" for k, v in value.items() if v is not None)
    if isinstance(value, (list, tuple)):
        return "[" + ", ".join(_text(v) for v in value) + "]"
    return str(value)


MATCH_COLUMNS = ["match", "partition", "start", "end", "rows", "captures"]
MISS_COLUMNS = ["start_row", "partition", "reached_steps", "rows", "next_event_type", "reason"]


def _is_number(value: Any) -> bool:
    return value is None or (isinstance(value, (int, float)) and not isinstance(value, bool))


def compact_view(
    rows: list[dict[str, Any]], near_misses: bool, present: Sequence[str] = ()
) -> tuple[list[str], list[list[str]], list[bool]]:
    """The columns a result is shown with, each row's cells as text, and which columns hold
    numbers. Near misses show their reason's detail fields as one ``detail`` column
    (``row 9 fails amount >= 10.5 (amount=5.0)``) in place of eight mostly empty ones. Matches
    of a language pattern show their ``elements`` (of `present`, the table's columns) by their
    rows."""
    if near_misses:
        columns = MISS_COLUMNS + ["detail", "captures"]
        texts = [
            [cell_text(c, row[c]) for c in MISS_COLUMNS]
            + [miss_detail(row), cell_text("captures", row["captures"])]
            for row in rows
        ]
    else:
        columns = MATCH_COLUMNS
        if "elements" in present:
            columns = columns[:5] + ["elements"] + columns[5:]
        texts = [[cell_text(c, row[c]) for c in columns] for row in rows]
    # Numbers sit right, everything else left: timestamps shown as ISO text are not numbers.
    numeric = [
        any(row.get(c) is not None for row in rows) and all(_is_number(row.get(c)) for row in rows)
        for c in columns
    ]
    return columns, texts, numeric


def miss_detail(miss: dict[str, Any]) -> str:
    """What stopped a near miss, in a few words: the failed clauses and the event that failed
    them, the blocking event, the gap that exceeded the window, or how many occurrences of a
    repeated element were taken of how many needed."""
    reason = miss["reason"]
    if reason == "predicate_failed":
        actual = [
            f"{clause['attribute']}={_text(clause['actual'])}" for clause in miss["failures"] or ()
        ]
        clauses = failed_clauses(miss["failures"])
        return f"row {miss['event_row']} fails {clauses} ({', '.join(actual)})"
    if reason == "absence_blocked":
        return (
            f"{miss['blocking_event_type']} at row {miss['blocking_row']} "
            f"before row {miss['candidate_row']}"
        )
    if reason == "window_exceeded":
        late = f"row {miss['candidate_row']} after {miss['gap']} > {miss['max_elapsed']}"
        if miss.get("candidate_satisfies") is False:
            # The late event fails the step too: the start lacked a fitting event, not speed.
            # (Short: the terminal cuts a cell at 40 characters.)
            return f"no fit in time: {late}"
        return late
    if reason == "too_few":
        return f"{miss['count']} of {miss['needed']} taken"
    return ""
