"""The funnel of a pattern: per step, how many starts (or partitions) reached it, completed it,
and why the rest stopped there, computed from the near misses of `explain` and the number of
starts."""

from __future__ import annotations

from collections import Counter
from dataclasses import dataclass, field
from typing import Any, Sequence

from vashlet import _core
from vashlet._core import Pattern
from vashlet._funnel_counts import Group, grouped_misses, merged_by_text
from vashlet._funnel_partitions import check_per, deepest_per_partition
from vashlet._inputs import Columns, PatternLike, as_pattern, with_mode
from vashlet._tables import MatchTable, NearMissTable, read, warn_never_taken

_EXAMPLES_PER_REASON = 3
_INSTALL_HINT = "pip install 'vashlet[io]'"
# A window_exceeded near miss in the funnel, told apart by whether its late candidate fits.
TOO_LATE = "too late"
NOTHING_FITS_IN_TIME = "no fitting event in time"


@dataclass(frozen=True)
class StopReason:
    """Why some starts stopped at a step: the near-miss ``reason``, its ``detail`` (the failed
    clauses of ``predicate_failed``, the blocking event type of ``absence_blocked``, for
    ``window_exceeded`` "too late" when the late candidate fits the step and "no fitting event in
    time" when it does not, otherwise None), how many starts, and the first few of their start
    rows (values of the `id` column where the funnel was given one)."""

    reason: str
    detail: str | None
    count: int
    examples: tuple[int | str, ...]


@dataclass(frozen=True)
class FunnelStep:
    """One step of the funnel. ``reached`` starts got as far as this step, ``completed`` of them
    also took it, and the others stopped here for the ``reasons`` (counts add up to
    ``stopped``). For a pattern of the language a step is an element, and ``event_type`` its
    label (``failed{3}``, ``(purchase | subscribe)``)."""

    step: int
    event_type: str
    reached: int
    completed: int
    reasons: tuple[StopReason, ...]

    @property
    def stopped(self) -> int:
        return self.reached - self.completed


@dataclass(frozen=True)
class Funnel:
    """The funnel of a pattern over a table of events (see `vashlet.funnel`).

    ``starts == matched + near_misses``; ``steps[0].reached == starts`` and the last step's
    ``completed == matched``. ``example_misses`` holds the near-miss rows of the examples, keyed
    by start row.

    ``per`` says what is counted: ``"start"``, every start; ``"partition"``, every partition with
    a start, once, at the deepest step any of its starts reached (``starts`` is then the number
    of such partitions, ``matched`` those with a complete path, and each reason's examples are
    the start rows of the deepest near miss of a partition).
    """

    pattern: str
    steps: tuple[FunnelStep, ...]
    starts: int
    matched: int
    near_misses: int
    example_misses: dict[int | str, dict[str, Any]] = field(repr=False, compare=False)
    # The temporal columns of the near misses, whose values the report shows as times.
    _time_columns: dict[str, Any] = field(default_factory=dict, repr=False, compare=False)
    per: str = "start"

    @property
    def counted(self) -> str:
        """What the counts count, plural: ``starts`` or ``partitions``."""
        return "partitions" if self.per == "partition" else "starts"

    @property
    def summary(self) -> str:
        """One line: ``6 starts: 2 matched, 4 near misses``; per partition ``3 partitions with a
        start: 1 matched, 2 stopped short``."""
        if self.per == "partition":
            return (
                f"{_counted(self.starts, 'partition', 'partitions')} with a start: "
                f"{self.matched:,} matched, {self.near_misses:,} stopped short"
            )
        return (
            f"{_counted(self.starts, 'start', 'starts')}: {self.matched:,} matched, "
            f"{_counted(self.near_misses, 'near miss', 'near misses')}"
        )

    def to_pylist(self) -> list[dict[str, Any]]:
        """One dict per step: ``step``, ``event_type``, ``reached``, ``completed``,
        ``stopped`` and ``reasons`` (a list of dicts with ``reason``, ``detail``, ``count`` and
        ``examples``)."""
        return [
            {
                "step": step.step,
                "event_type": step.event_type,
                "reached": step.reached,
                "completed": step.completed,
                "stopped": step.stopped,
                "reasons": [
                    {
                        "reason": r.reason,
                        "detail": r.detail,
                        "count": r.count,
                        "examples": list(r.examples),
                    }
                    for r in step.reasons
                ],
            }
            for step in self.steps
        ]

    def __arrow_c_stream__(self, requested_schema: object = None) -> object:
        try:
            import pyarrow as pa
        except ImportError as error:
            raise ImportError(
                f"exporting a Funnel as an Arrow table needs pyarrow: {_INSTALL_HINT}"
            ) from error
        reason = pa.struct(
            [
                ("reason", pa.string()),
                ("detail", pa.string()),
                ("count", pa.int64()),
                ("examples", pa.list_(pa.int64())),
            ]
        )
        schema = pa.schema(
            [
                ("step", pa.int64()),
                ("event_type", pa.string()),
                ("reached", pa.int64()),
                ("completed", pa.int64()),
                ("stopped", pa.int64()),
                ("reasons", pa.list_(reason)),
            ]
        )
        table = pa.Table.from_pylist(self.to_pylist(), schema=schema)
        return table.__arrow_c_stream__(requested_schema)

    def __repr__(self) -> str:
        title = "Funnel per partition: " if self.per == "partition" else "Funnel: "
        lines = [title + self.summary.replace(":", ",", 1)]
        for step in self.steps:
            lines.append(
                f"  step {step.step} {step.event_type}: reached {step.reached:,}, "
                f"completed {step.completed:,}"
            )
            for r in step.reasons:
                what = r.reason if r.detail is None else f"{r.reason} ({r.detail})"
                lines.append(f"    {what}: {r.count:,}, e.g. start rows {list(r.examples)}")
        return "\n".join(lines)

    def _repr_html_(self) -> str:
        from vashlet._html import funnel_html

        return funnel_html(self)


def _counted(number: int, noun: str, plural: str) -> str:
    return f"{number:,} {noun if number == 1 else plural}"


def failed_clauses(failures: Sequence[dict[str, Any]] | None) -> str:
    """The failed clauses of a near miss as pattern text, e.g. ``amount >= 10.5, user == $u``."""
    texts = []
    for clause in failures or ():
        if clause["type"] == "predicate":
            texts.append(f"{clause['attribute']} {clause['operator']} {clause['expected']}")
        elif clause["type"] == "reference":
            texts.append(f"{clause['attribute']} {clause['operator']} ${clause['binding']}")
        else:
            texts.append(f"{clause['attribute']} as ${clause['name']}")
    return ", ".join(texts)


def _reason_detail(miss: dict[str, Any]) -> str | None:
    if miss["reason"] == "too_few":
        return f"{miss['count']} of {miss['needed']}"
    if miss["reason"] == "predicate_failed":
        return failed_clauses(miss["failures"])
    if miss["reason"] == "absence_blocked":
        return miss["blocking_event_type"]
    if miss["reason"] == "window_exceeded" and miss["candidate_satisfies"] is not None:
        # A late candidate that fails the step says nothing about speed: no event fitted in time.
        return TOO_LATE if miss["candidate_satisfies"] else NOTHING_FITS_IN_TIME
    return None


def _pattern_text(pattern: PatternLike) -> str:
    return pattern if isinstance(pattern, str) else as_pattern(pattern).to_json(pretty=True)


def _completed_starts(matches: MatchTable) -> int:
    """Distinct first rows of the matches: the starts with at least one complete path."""
    try:
        import pyarrow.compute as pc
    except ImportError:
        return len({row["rows"][0] for row in matches.to_pylist()})
    if not len(matches):
        return 0
    return pc.count_distinct(pc.list_element(matches._to_pyarrow()["rows"], 0)).as_py()


_MISS_COLUMNS = [
    "start_row", "reached_steps", "reason", "blocking_event_type", "candidate_satisfies",
    "failures",
]
# Read too for a language pattern's near misses: the element stopped at, a too_few's counts.
_ELEMENT_COLUMNS = ["element", "count", "needed"]


def _miss_rows(
    misses: NearMissTable, positions: list[int] | None, language: bool
) -> list[dict[str, Any]]:
    """The columns the funnel reads, one dict per near miss at `positions` (all when None),
    column-wise through pyarrow where it is installed, which is several times faster on large
    results. A language pattern's near misses also give the ``element`` they stopped at."""
    try:
        import pyarrow as pa
    except ImportError:
        rows = misses.to_pylist()
        return rows if positions is None else [rows[at] for at in positions]
    table = misses._to_pyarrow().select(_MISS_COLUMNS + (_ELEMENT_COLUMNS if language else []))
    if positions is not None:
        table = table.take(pa.array(positions, pa.int64()))
    columns = table.to_pydict()
    return [dict(zip(columns, values)) for values in zip(*columns.values())]


def _grouped(
    misses: NearMissTable, positions: list[int] | None, language: bool, depth: str
) -> tuple[list[Group] | None, int]:
    """The near misses (those at `positions`, when given) counted column-wise, and how many
    there are; None where pyarrow is not installed or the columns need the row-by-row count."""
    try:
        import pyarrow as pa
    except ImportError:
        return None, 0
    table = misses._to_pyarrow().select(_MISS_COLUMNS + (_ELEMENT_COLUMNS if language else []))
    if positions is not None:
        table = table.take(pa.array(positions, pa.int64()))
    groups = grouped_misses(table, depth, _EXAMPLES_PER_REASON, _reason_detail)
    return groups, table.num_rows


def _counted_groups(
    misses: NearMissTable, counted: list[tuple[int, list[int]]], depth: str
) -> tuple[list[Group], int]:
    """The groups of natively counted near misses, merged by text as the column-wise count
    merges them (each group gives its count and the positions of its first rows in `misses`,
    ascending, in the order of its first row). Only those rows are read."""
    rows = {
        position: misses._table.to_pylist(position, position + 1)[0]
        for position in sorted({p for _, chosen in counted for p in chosen})
    }
    groups = merged_by_text(
        [rows[chosen[0]] for _, chosen in counted], [count for count, _ in counted],
        [chosen for _, chosen in counted], depth, _EXAMPLES_PER_REASON, _reason_detail,
        lambda positions: [rows[p]["start_row"] for p in positions],
    )
    return groups, sum(count for count, _ in counted)


def funnel(
    pattern: PatternLike,
    data: object,
    *,
    partition: str = "partition",
    ts: str = "ts",
    type: str = "type",
    id: str | None = None,
    mode: str | None = None,
    threads: int | None = None,
    ts_unit: str | None = None,
    per: str = "start",
) -> Funnel:
    """Count, step by step, how far the starts of `pattern` got in a table of events, and why
    those that stopped did.

    A start is an event that satisfies the first step. It counts as matched when at least one
    complete path exists from it: the distinct start rows of ``match(..., exhaustive=True)``
    (each match's ``rows[0]``). Every other start is a near miss of `explain`, which stopped at
    the step after its deepest partial path. So the funnel counts in the exhaustive sense: a start
    whose earliest path fails but a later one succeeds is matched here, though
    first-successor `match` returns no match for it. ``starts == matched + near_misses``.
    The paths are not enumerated: the near-miss search tells which starts complete, so the
    funnel costs about what `explain` does, whatever the number of paths.

    For a pattern of the language (quantifiers, alternatives, ...) a step is an element (a
    repeated element counts once) and a start counts as matched when its ``first`` walk
    completes; the near misses are those walks (see docs/language.md).

    With ``per="partition"`` each partition with a start counts once, at the deepest step any
    of its starts reached (a partition with a complete path counts as matched); its reasons are
    those of the first of its deepest near misses. That is the funnel of users rather than of
    attempts.

    `data`, `partition`, `ts`, `type`, `id`, `mode`, `threads` and `ts_unit` are as for `match` (with
    `id`, the example start rows are values of that column); `data` is read once, so a one-shot
    stream (a ``pyarrow.RecordBatchReader``) will do.

    >>> import vashlet
    >>> import pyarrow as pa
    >>> events = pa.table({
    ...     "partition": ["u1", "u1", "u2", "u3", "u3"],
    ...     "ts": [100, 130, 105, 100, 900],
    ...     "type": ["login", "purchase", "login", "login", "purchase"],
    ... })
    >>> f = vashlet.funnel("login -[<=300]-> purchase", events)
    >>> f.starts, f.matched, f.near_misses
    (3, 1, 2)
    >>> [(s.event_type, s.reached, s.completed) for s in f.steps]
    [('login', 3, 3), ('purchase', 3, 1)]
    >>> [(r.reason, r.count, r.examples) for r in f.steps[1].reasons]
    [('no_successor', 1, (2,)), ('window_exceeded', 1, (3,))]
    """
    check_per(per)
    parsed = with_mode(as_pattern(pattern), mode)
    warn_never_taken(parsed)
    columns = Columns(partition, ts, type, id, ts_unit)
    text = _pattern_text(pattern)
    if per == "partition" and _core._element_labels(parsed) is None and parsed.steps > 1:
        # Only the near misses the funnel counts are written: one per partition.
        table, partitions = read(
            _core._deepest_per_partition, parsed, data, columns, threads=threads
        )
        return _funnel_from(parsed, text, partitions, NearMissTable(table), per=per)
    if per == "start" and _core._element_labels(parsed) is None and parsed.steps > 1:
        # The near misses are counted natively: only the few shown as examples are written.
        table, starts, counted = read(
            _core._counted_funnel, parsed, data, columns, threads=threads,
            examples=_EXAMPLES_PER_REASON,
        )
        return _funnel_from(parsed, text, starts, NearMissTable(table), counted=counted)
    return funnel_and_misses(parsed, data, columns, threads=threads, text=text, per=per)[0]


def funnel_and_misses(
    pattern: Pattern,
    data: object,
    columns: Columns,
    *,
    threads: int | None = None,
    text: str | None = None,
    per: str = "start",
) -> tuple[Funnel, NearMissTable]:
    """The funnel and the near misses it counts, from one reading of `data` (see `funnel`).
    `text` is the pattern as the funnel shows it (default: its JSON document)."""
    check_per(per)
    text = text or _pattern_text(pattern)
    if per == "partition":
        table, _, by_partition, deepest = read(
            _core._partition_funnel_table, pattern, data, columns, threads=threads
        )
        misses = NearMissTable(table)
        if deepest is None:  # picked natively for chain patterns of two steps or more only
            depth = "reached_steps" if _core._element_labels(pattern) is None else "element"
            deepest = deepest_per_partition(misses, by_partition, depth)
        return _funnel_from(pattern, text, len(by_partition), misses, deepest, per), misses
    if _core._element_labels(pattern) is None and pattern.steps > 1:
        # Every near miss is written, and counted natively, as `funnel` counts them.
        table, starts, counted = read(
            _core._counted_funnel, pattern, data, columns, threads=threads,
            examples=_EXAMPLES_PER_REASON, every_row=True,
        )
        misses = NearMissTable(table)
        return _funnel_from(pattern, text, starts, misses, counted=counted), misses
    table, starts = read(_core._funnel_table, pattern, data, columns, threads=threads)
    misses = NearMissTable(table)
    return _funnel_from(pattern, text, starts, misses), misses


def funnel_of(pattern: PatternLike, matches: MatchTable, miss_table: NearMissTable) -> Funnel:
    """The funnel from results already at hand: `matches` must come from
    ``match(..., exhaustive=True)`` and `miss_table` from `explain`, on the same data."""
    starts = _completed_starts(matches) + len(miss_table)
    return _funnel_from(as_pattern(pattern), _pattern_text(pattern), starts, miss_table)


def _funnel_from(
    pattern: Pattern,
    text: str,
    starts: int,
    miss_table: NearMissTable,
    positions: list[int] | None = None,
    per: str = "start",
    counted: list[tuple[int, list[int]]] | None = None,
) -> Funnel:
    """The funnel of `starts` starts (or partitions), of which the rows of `miss_table` (those at
    `positions`, ascending, when given) did not complete. With `counted`, the near misses were
    counted natively (`_core._counted_funnel`): `miss_table` holds their examples, or all."""
    labels = _core._element_labels(pattern)
    # A language pattern's funnel has a step per element, where its near misses stopped.
    depth = "reached_steps" if labels is None else "element"
    types = pattern.types if labels is None else labels

    stopped_at: Counter[int] = Counter()
    reason_counts: Counter[tuple[int, str, str | None]] = Counter()
    examples: dict[tuple[int, str, str | None], list[int]] = {}
    example_positions: list[int] = []
    if counted is not None:
        groups, total = _counted_groups(miss_table, counted, depth)
    else:
        groups, total = _grouped(miss_table, positions, labels is not None, depth)
    if groups is not None:
        for group in groups:
            key = (group.step, group.reason, group.detail)
            stopped_at[group.step] += group.count
            reason_counts[key] = group.count
            examples[key] = list(group.examples)
            example_positions.extend(group.positions)
        example_positions.sort()
    else:
        misses = _miss_rows(miss_table, positions, labels is not None)
        total = len(misses)
        for position, miss in enumerate(misses):
            step = miss[depth]
            key = (step, miss["reason"], _reason_detail(miss))
            stopped_at[step] += 1
            reason_counts[key] += 1
            chosen = examples.setdefault(key, [])
            if len(chosen) < _EXAMPLES_PER_REASON:
                chosen.append(miss["start_row"])
                example_positions.append(position)
    example_misses = {}
    if positions is not None:
        example_positions = [positions[at] for at in example_positions]
    for position in example_positions:
        row = miss_table._table.to_pylist(position, position + 1)[0]
        example_misses[row["start_row"]] = row

    matched = starts - total
    steps = []
    reached = starts
    for index, event_type in enumerate(types):
        completed = reached - stopped_at[index]
        reasons = sorted(
            (
                StopReason(reason, detail, count, tuple(examples[(step, reason, detail)]))
                for (step, reason, detail), count in reason_counts.items()
                if step == index
            ),
            key=lambda r: (-r.count, r.reason, r.detail or ""),
        )
        steps.append(FunnelStep(index, event_type, reached, completed, tuple(reasons)))
        reached = completed
    return Funnel(
        pattern=text,
        steps=tuple(steps),
        starts=starts,
        matched=matched,
        near_misses=total,
        example_misses=example_misses,
        _time_columns=miss_table._time_columns(),
        per=per,
    )
