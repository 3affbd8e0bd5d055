"""HTML views for notebooks and the report: result tables and the funnel as an inline SVG bar
chart (no script, nothing fetched). Every user-supplied string is escaped, its control
characters (bidi overrides among them) shown as marked escapes."""

from __future__ import annotations

from html import escape
from typing import TYPE_CHECKING, Sequence

from vashlet._escapes import display_html, display_text

if TYPE_CHECKING:
    from vashlet._funnel import Funnel

_NUMBER_CELL = '<td class="number">'
_BAR_WIDTH = 420
_LABEL_WIDTH = 180
_ROW_HEIGHT = 34
_BAR_HEIGHT = 22
_COUNT_WIDTH = 170

# Scoped to the classes below so that a notebook's own styles are left alone.
STYLE = """
.vashlet-table { border-collapse: collapse; font: 13px/1.4 system-ui, sans-serif; }
.vashlet-table th, .vashlet-table td { border-bottom: 1px solid #ddd; padding: 3px 8px;
  text-align: left; vertical-align: top; }
.vashlet-table th { background: #f3f4f6; }
.vashlet-table td.number { text-align: right; font-variant-numeric: tabular-nums; }
.vashlet-caption { font: 12px system-ui, sans-serif; color: #555; margin: 4px 0; }
.vashlet-funnel text { font: 13px system-ui, sans-serif; fill: #222; }
.vashlet-funnel .bar { fill: #c7d7ee; }
.vashlet-funnel .bar-completed { fill: #2f6db5; }
.vashlet-escape { color: #a0181c; background: #fde8e8; font-family: monospace; }
.vashlet-funnel .vashlet-escape { fill: #a0181c; }
"""


def table_html(
    columns: Sequence[str],
    rows: Sequence[Sequence[str]],
    numeric: Sequence[bool],
    total: int,
    width: int,
) -> str:
    """A table of the first `rows` (their cells as text) with a caption giving the `total` rows
    and the `width` (columns) of the whole result, as pandas shows one."""
    head = "".join(f"<th>{display_html(column)}</th>" for column in columns)
    body = []
    for row in rows:
        cells = [
            (_NUMBER_CELL if number else "<td>") + f"{display_html(text)}</td>"
            for text, number in zip(row, numeric)
        ]
        body.append("<tr>" + "".join(cells) + "</tr>")
    nouns = "row" if total == 1 else "rows"
    shown = f" (first {len(rows):,} shown)" if len(rows) < total else ""
    return (
        f'<table class="vashlet-table"><thead><tr>{head}</tr></thead>'
        f"<tbody>{''.join(body)}</tbody></table>"
        f'<p class="vashlet-caption">{total:,} {nouns} &times; {width} columns{shown}</p>'
    )


def funnel_svg(funnel: Funnel) -> str:
    """A horizontal bar per step: its length is the starts (or partitions) that reached the
    step, the dark part those that completed it. Each bar's group carries its counts as data
    attributes, and the chart what it counts (``data-per``)."""
    scale = _BAR_WIDTH / funnel.starts if funnel.starts else 0.0
    width = _LABEL_WIDTH + _BAR_WIDTH + _COUNT_WIDTH
    height = _ROW_HEIGHT * len(funnel.steps) + 8
    parts = [
        f'<svg class="vashlet-funnel" xmlns="http://www.w3.org/2000/svg" width="{width}" '
        f'height="{height}" viewBox="0 0 {width} {height}" role="img" '
        f'data-per="{funnel.per}" aria-label="funnel of {funnel.starts:,} {funnel.counted}">'
    ]
    for step in funnel.steps:
        y = 4 + step.step * _ROW_HEIGHT
        text_y = y + _BAR_HEIGHT / 2 + 5
        event_type = escape(display_text(step.event_type))
        title = (
            f"step {step.step} {step.event_type}: reached {step.reached:,}, "
            f"completed {step.completed:,}, stopped {step.stopped:,}"
        )
        parts.append(
            f'<g class="funnel-step" data-step="{step.step}" data-event-type="{event_type}" '
            f'data-reached="{step.reached}" data-completed="{step.completed}" '
            f'data-stopped="{step.stopped}"><title>{escape(display_text(title))}</title>'
            f'<text x="{_LABEL_WIDTH - 8}" y="{text_y}" text-anchor="end">'
            f"{step.step}. {display_html(step.event_type, 'tspan')}</text>"
            f'<rect class="bar" x="{_LABEL_WIDTH}" y="{y}" width="{step.reached * scale:.1f}" '
            f'height="{_BAR_HEIGHT}"/>'
            f'<rect class="bar-completed" x="{_LABEL_WIDTH}" y="{y}" '
            f'width="{step.completed * scale:.1f}" height="{_BAR_HEIGHT}"/>'
            f'<text x="{_LABEL_WIDTH + step.reached * scale + 6:.1f}" y="{text_y}">'
            f"{step.completed:,} / {step.reached:,}</text></g>"
        )
    parts.append("</svg>")
    return "".join(parts)


def reasons_html(funnel: Funnel) -> str:
    """The stop reasons of every step, one row each, with example start rows."""
    rows = []
    for step in funnel.steps:
        for r in step.reasons:
            share = f"{r.count / step.reached:.1%}" if step.reached else ""
            rows.append(
                f"<tr><td class=\"number\">{step.step}</td><td>{display_html(step.event_type)}</td>"
                f"<td>{display_html(r.reason)}</td><td>{display_html(r.detail or '')}</td>"
                f'<td class="number">{r.count:,}</td><td class="number">{share}</td>'
                f"<td>{escape(', '.join(map(str, r.examples)))}</td></tr>"
            )
    if not rows:
        noun = "partition" if funnel.per == "partition" else "start"
        return f'<p class="vashlet-caption">No {noun} stopped short.</p>'
    head = "".join(
        f"<th>{name}</th>"
        for name in (
            "step", "event type", "reason", "detail", funnel.counted, "of reached", "e.g. rows"
        )
    )
    return (
        f'<table class="vashlet-table vashlet-reasons"><thead><tr>{head}</tr></thead>'
        f"<tbody>{''.join(rows)}</tbody></table>"
    )


def funnel_html(funnel: Funnel) -> str:
    """The funnel for a notebook: summary, chart and reasons."""
    return (
        f"<div><style>{STYLE}</style>"
        f'<p class="vashlet-caption">{escape(funnel.summary)}</p>'
        f"{funnel_svg(funnel)}{reasons_html(funnel)}</div>"
    )
