"""Result cells as short text, shared by the terminal table, CSV output and the HTML views."""

from __future__ import annotations

from typing import Any

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


def row_texts(row: dict[str, Any]) -> list[str]:
    return [cell_text(column, value) for column, value in row.items()]


def miss_detail(miss: dict[str, Any]) -> str:
    """What stopped a near miss, in a few words: the failed clauses and the event that failed
    them, the blocking event, or the gap that exceeded the window."""
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
    return ""
