"""Aligned plain-text tables for the terminal: capped cells, and only the columns that fit."""

from __future__ import annotations

from typing import Sequence

from vashlet._escapes import display_text

_MAX_CELL = 40


def _fit(text: str, width: int) -> str:
    return text if len(text) <= width else text[: width - 1] + "…"


def render(
    columns: Sequence[str],
    rows: Sequence[Sequence[str]],
    numeric: Sequence[bool],
    width: int | None,
) -> tuple[list[str], int]:
    """The lines of the table (header, rule, rows) and how many columns were left out to keep
    within `width` characters (None: no limit). Numbers are right-aligned. Characters that would
    act on the terminal (ESC, CR, bidi controls, ...) are shown as escapes."""
    columns = [display_text(column) for column in columns]
    cells = [[_fit(display_text(cell), _MAX_CELL) for cell in row] for row in rows]
    widths = [
        max([len(column)] + [len(row[i]) for row in cells]) for i, column in enumerate(columns)
    ]
    shown = len(columns)
    if width is not None:
        used = 0
        for shown, column_width in enumerate(widths):
            used += column_width + (2 if shown else 0)
            if used > width and shown:
                break
        else:
            shown = len(columns)

    def line(texts: Sequence[str]) -> str:
        parts = [
            text.rjust(widths[i]) if numeric[i] else text.ljust(widths[i])
            for i, text in enumerate(texts[:shown])
        ]
        text = "  ".join(parts).rstrip()
        return text if width is None else _fit(text, width)

    lines = [line(list(columns)), line(["-" * w for w in widths])]
    lines += [line(row) for row in cells]
    return lines, len(columns) - shown
