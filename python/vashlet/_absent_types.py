"""The warning for an event type of the pattern that no row of the table has: such a step can
never be taken, and the likely cause is a misspelling (``View`` for ``view``)."""

from __future__ import annotations

import difflib
from typing import Any, Iterable, Sequence

from vashlet._warnings import warn_from_caller


def nearest(missing: str, present: Iterable[str]) -> str | None:
    """The type most like `missing`: one that differs only in case, else the closest by
    difflib's ratio (at least 0.6), compared without case."""
    present = sorted(set(present))
    folded = missing.casefold()
    for name in present:
        if name.casefold() == folded:
            return name
    by_folded: dict[str, str] = {}
    for name in present:
        by_folded.setdefault(name.casefold(), name)
    close = difflib.get_close_matches(folded, list(by_folded), n=1, cutoff=0.6)
    return by_folded[close[0]] if close else None


def _types_present(data: object, column: str) -> set[str] | None:
    """The distinct values of the type column, read again through pyarrow. Runs only when a
    warning is due; None where pyarrow is missing or the data cannot be read twice (a stream)."""
    try:
        import pyarrow as pa
        import pyarrow.compute as pc
    except ImportError:
        return None
    try:
        if isinstance(data, (pa.Table, pa.RecordBatch)):
            batches: Any = [data]
        elif hasattr(type(data), "__arrow_c_stream__"):
            batches = pa.RecordBatchReader.from_stream(data)
        else:
            batches = [pa.record_batch(data)]
        found: set[str] = set()
        for batch in batches:
            values = pc.unique(batch.column(column))
            if pa.types.is_dictionary(values.type):
                values = values.dictionary_decode()
            found.update(v for v in values.to_pylist() if v is not None)
        return found
    except Exception:  # only a hint is lost
        return None


def warn_absent(absent: Sequence[str], data: object, column: str) -> None:
    """One UserWarning per type of the pattern that does not occur in `column`, at the caller's
    line."""
    if not absent:
        return
    present = _types_present(data, column)
    messages = []
    for missing in absent:
        message = f"the event type {missing!r} does not occur in column {column!r}"
        suggestion = nearest(missing, present) if present else None
        if suggestion is not None:
            message += f"; did you mean {suggestion!r}?"
        messages.append(message)
    warn_from_caller(messages)
