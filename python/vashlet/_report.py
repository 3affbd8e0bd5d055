"""The near-miss report: one self-contained HTML page with the pattern, the funnel chart, the
reasons per step and example near misses with their events. No script, nothing fetched."""

from __future__ import annotations

from typing import Any, Callable, Sequence

from vashlet._escapes import display_html as escape
from vashlet._format import cell_text, miss_detail
from vashlet._funnel import Funnel
from vashlet._html import STYLE, funnel_svg, reasons_html
from vashlet._times import shown_rows

# Rows of the input as dicts of column to value, for the given row numbers.
EventLookup = Callable[[Sequence[int]], list[dict[str, Any]]]

_PAGE_STYLE = """
body { font: 14px/1.45 system-ui, sans-serif; margin: 24px 32px; color: #222; max-width: 1100px; }
h1 { font-size: 22px; } h2 { font-size: 17px; margin-top: 28px; }
pre.pattern { background: #f6f8fa; padding: 10px 12px; border-radius: 4px; white-space: pre-wrap; }
.example { margin: 14px 0 18px; }
.example h3 { font-size: 14px; margin: 0 0 4px; }
.example .why { margin: 0 0 6px; color: #444; }
"""


def _roles(miss: dict[str, Any]) -> dict[int, str]:
    if miss.get("elements") is not None:  # a language pattern: the element each row was taken as
        roles = {row: f"element {e}" for e, row in zip(miss["elements"], miss["rows"])}
    else:
        roles = {row: f"step {step}" for step, row in enumerate(miss["rows"])}
    for column, role in (
        ("event_row", "fails the next step"),
        ("blocking_row", "blocks (absence)"),
        ("candidate_row", "next-step candidate"),
    ):
        if miss.get(column) is not None:
            roles[miss[column]] = role
    return roles


def _example_html(miss: dict[str, Any], events: EventLookup, times: dict[str, Any]) -> str:
    miss = shown_rows([dict(miss)], times)[0]
    roles = _roles(miss)
    rows = sorted(roles)
    cells = []
    for row, event in zip(rows, events(rows)):
        attributes = ", ".join(
            f"{k}={cell_text(k, v)}"
            for k, v in event.items()
            if k not in ("partition", "ts", "type") and v is not None
        )
        cells.append(
            f'<tr><td class="number">{row}</td><td>{escape(roles[row])}</td>'
            f"<td>{escape(cell_text('ts', event.get('ts')))}</td>"
            f"<td>{escape(cell_text('type', event.get('type')))}</td>"
            f"<td>{escape(attributes)}</td></tr>"
        )
    reason = miss["reason"]
    detail = miss_detail(miss)
    captures = cell_text("captures", miss.get("captures"))
    return (
        f'<div class="example" data-start-row="{miss["start_row"]}">'
        f"<h3>start row {miss['start_row']} &middot; partition {escape(str(miss['partition']))}"
        f" &middot; {escape(reason)}</h3>"
        f'<p class="why">stopped {_stopped_where(miss)} '
        f"({escape(miss['next_event_type'])}){': ' + escape(detail) if detail else ''}"
        f"{'; captured ' + escape(captures) if captures else ''}</p>"
        '<table class="vashlet-table"><thead><tr><th>row</th><th>role</th><th>ts</th>'
        f"<th>type</th><th>attributes</th></tr></thead><tbody>{''.join(cells)}</tbody></table>"
        "</div>"
    )


def _stopped_where(miss: dict[str, Any]) -> str:
    """A chain stops before the step after its path; a language pattern at an element."""
    if "element" in miss:
        return f"at element {miss['element']}"
    return f"before step {miss['reached_steps']}"


def _counting(funnel: Funnel) -> str:
    if funnel.per == "partition":
        return (
            "Each partition with a start counts once, at the deepest step any of its starts "
            "reached, and as matched when some complete path follows one of its starts. Each bar "
            "is the partitions that reached the step; the dark part took it."
        )
    return (
        "A start counts as matched when some complete path follows it. Each bar is the "
        "starts that reached the step; the dark part took it."
    )


def report_html(funnel: Funnel, events: EventLookup, sources: Sequence[str] = ()) -> str:
    """The whole page. `events` looks up input rows by number, for the examples' events."""
    examples = [
        _example_html(funnel.example_misses[row], events, funnel._time_columns)
        for step in funnel.steps
        for reason in step.reasons
        for row in reason.examples
    ]
    source = f"<p>Events: {escape(', '.join(sources))}</p>" if sources else ""
    return (
        '<!DOCTYPE html>\n<html lang="en"><head><meta charset="utf-8">'
        "<title>vashlet near-miss report</title>"
        f"<style>{_PAGE_STYLE}{STYLE}</style></head><body>"
        "<h1>Near-miss report</h1>"
        f"{source}<h2>Pattern</h2><pre class=\"pattern\">{escape(funnel.pattern)}</pre>"
        f'<h2>Funnel</h2><p class="summary">{escape(funnel.summary)}. {_counting(funnel)}</p>'
        f"{funnel_svg(funnel)}"
        f"<h2>Why {funnel.counted} stopped</h2>{reasons_html(funnel)}"
        "<h2>Example near misses</h2>"
        f"{''.join(examples) or '<p>None.</p>'}"
        "</body></html>\n"
    )
