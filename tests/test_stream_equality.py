"""A Stream fed random events in random batches gives, over all its pushes and the flush, exactly
what `match` and `explain` give on the whole table: every mode, chains and the pattern language,
events out of order within the lateness, ties split between batches; matches and timeouts come
back as soon as no later event can change them. Late events are never matched: dropped,
reported or refused."""

import datetime
import json
import re

import pyarrow as pa
import pytest
from hypothesis import assume, given, note, settings
from hypothesis import strategies as st

import vashlet
from stream_feed import (Collected, arrivals, assert_same, batches, chain_texts, cuts, feed,
                         keyed, late_positions, named_types, table_of, taken, timelines)
from test_language_matching import pattern_json, patterns

MODES = ["first", "all", "non_overlapping"]
MAX_MATCHES = 500  # keeps `all` over a repeated element quick
LATENESS = st.sampled_from([0, 0, 1, 2, 5])


def one_shot_fails(pattern, table, mode):
    try:
        vashlet.match(pattern, table, mode=mode, max_matches=MAX_MATCHES)
    except ValueError as error:
        assert "max_matches" in str(error)
        return True
    return False


@st.composite
def chains(draw, mode):
    return draw(chain_texts())


@st.composite
def languages(draw, mode):
    return pattern_json(draw(patterns()), mode)


PATTERNS = {"chain": chains, "language": languages}


@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize("kind", list(PATTERNS))
@settings(max_examples=40, deadline=None)
@given(data=st.data())
def test_stream_equals_one_shot(kind, mode, data):
    pattern = data.draw(PATTERNS[kind](mode), label="pattern")
    note(f"pattern: {pattern if isinstance(pattern, str) else pattern.to_json()}")
    lateness = data.draw(LATENESS, label="lateness")
    arrived = arrivals(data.draw, data.draw(timelines()), lateness)
    table = table_of(arrived)
    assume(mode != "all" or not one_shot_fails(pattern, table, mode))
    stream = vashlet.Stream(pattern, mode=mode, lateness=lateness, explain=True,
                            max_matches=MAX_MATCHES if mode == "all" else None)
    collected = feed(stream, batches(table, cuts(data.draw, len(arrived))))
    assert collected.late == []
    assert_same(collected, pattern, table, mode=mode,
                max_matches=MAX_MATCHES if mode == "all" else None)


@pytest.mark.parametrize("text", ["^A -> A -> A? within 2", "^A -> A within 2"])
@pytest.mark.parametrize("lateness, bounds", [(1, "ones"), (0, "ones"), (1, "whole")])
def test_an_anchored_start_stays_at_the_partition_first_event(text, lateness, bounds):
    # Partition b's first event cannot complete in time; once it is decided, the two later A's
    # must not be matched as though one of them began the partition (non_overlapping reads on
    # from where matching stopped).
    events = [("a", 0, "A", 0)] * 3 + [("b", 0, "A", 0), ("b", 1, "B", 0), ("b", 4, "A", 0),
                                        ("b", 4, "A", 0)]
    table = table_of(events)
    cut = list(range(len(events) + 1)) if bounds == "ones" else [0, len(events)]
    pattern = vashlet.pattern(text)
    for mode in MODES:
        stream = vashlet.Stream(pattern, mode=mode, lateness=lateness, explain=True)
        collected = feed(stream, batches(table, cut))
        assert {row["partition"] for row in collected.matches} == {"a"}, mode
        assert_same(collected, pattern, table, mode=mode)


@pytest.mark.parametrize("lateness", ["3s", datetime.timedelta(seconds=3), 3])
@settings(max_examples=25, deadline=None)
@given(data=st.data())
def test_windows_and_lateness_with_units(lateness, data):
    # A timestamp column: windows and lateness in seconds; an integer one: ts_unit says so.
    pattern = data.draw(chain_texts(unit="s"), label="pattern")
    arrived = arrivals(data.draw, data.draw(timelines()), 3)
    temporal = not isinstance(lateness, int)
    table = table_of(arrived, ts_type=pa.timestamp("s") if temporal else pa.int64())
    unit = {} if temporal else {"ts_unit": "s"}
    stream = vashlet.Stream(pattern, lateness=lateness, explain=True, **unit)
    collected = feed(stream, batches(table, cuts(data.draw, len(arrived))))
    assert_same(collected, pattern, table, **unit)


@pytest.mark.parametrize("kind", list(PATTERNS))
@settings(max_examples=30, deadline=None)
@given(data=st.data())
def test_first_matches_come_as_soon_as_their_last_event_is_released(kind, data):
    # After each push, every first-mode match among the released events (those at or below
    # their partition's watermark, which no later event can precede) has been handed back.
    pattern = data.draw(PATTERNS[kind]("first"), label="pattern")
    assume(isinstance(pattern, str) or not json.loads(pattern.to_json()).get("anchored_end"))
    lateness = data.draw(LATENESS, label="lateness")
    arrived = arrivals(data.draw, data.draw(timelines()), lateness)
    bounds = cuts(data.draw, len(arrived))
    table = table_of(arrived, ids=list(range(len(arrived))))
    named = named_types(pattern)
    stream = vashlet.Stream(pattern, id="id", lateness=lateness)
    emitted = []
    for a, b in zip(bounds, bounds[1:]):
        emitted += stream.push(table.slice(a, b - a)).to_pylist()
        latest = {}
        for partition, ts, typ, _ in arrived[:b]:
            if named is None or typ in named:
                latest[partition] = max(latest.get(partition, ts), ts)
        released = [k for k, (partition, ts, _, _) in enumerate(arrived[:b])
                    if partition in latest and ts <= latest[partition] - lateness]
        final = vashlet.match(pattern, taken(table, released), id="id", mode="first")
        missing = keyed(final.to_pylist()) - keyed(emitted)
        assert not missing, f"after rows {b}: not yet handed back: {sorted(missing)}"


def horizon(text):
    """The longest a match of a chain may span: the sum of its windows, or None."""
    steps = json.loads(vashlet.parse_pattern(text).to_json())["steps"][1:]
    windows = [step["transition_from_previous"]["max_elapsed"] for step in steps]
    return None if None in windows else sum(windows)


@settings(max_examples=40, deadline=None)
@given(data=st.data())
def test_timeouts_come_as_soon_as_the_watermark_passes_the_window(data):
    # After each push, a start the watermark is past (by more than the windows allow) has had
    # its near miss handed back, unless it is no_successor, which a later event may change.
    pattern = data.draw(chain_texts(), label="pattern")
    span = horizon(pattern)
    assume(span is not None)
    lateness = data.draw(LATENESS, label="lateness")
    arrived = arrivals(data.draw, data.draw(timelines()), lateness)
    bounds = cuts(data.draw, len(arrived))
    table = table_of(arrived, ids=list(range(len(arrived))))
    named = named_types(pattern)
    stream = vashlet.Stream(pattern, id="id", lateness=lateness, explain=True)
    emitted = []
    for a, b in zip(bounds, bounds[1:]):
        emitted += stream.push(table.slice(a, b - a)).near_misses.to_pylist()
        latest = {}
        for partition, ts, typ, _ in arrived[:b]:
            if typ in named:
                latest[partition] = max(latest.get(partition, ts), ts)
        mark = {partition: ts - lateness for partition, ts in latest.items()}
        released = [k for k, (partition, ts, _, _) in enumerate(arrived[:b])
                    if partition in mark and ts <= mark[partition]]
        misses = vashlet.explain(pattern, taken(table, released), id="id").to_pylist()
        final = [m for m in misses if m["reason"] != "no_successor"
                 and mark[m["partition"]] > arrived[m["start_row"]][1] + span]
        missing = keyed(final, drop=()) - keyed(emitted, drop=())
        assert not missing, f"after rows {b}: not yet handed back: {sorted(missing)}"


# ---------------------------------------------------------------------------------------------
# Late events


@st.composite
def late_runs(draw):
    """A pattern, a lateness, and an arrival order in which some events of types the pattern
    names come later than the lateness allows (events of other types never do)."""
    kind = draw(st.sampled_from(list(PATTERNS)))
    pattern = draw(PATTERNS[kind]("first"))
    lateness = draw(LATENESS)
    named = named_types(pattern)
    every = draw(st.sampled_from([0, 2, 3]))  # of every how many named events may come late
    counter = iter(range(10**6))

    def too_late(event):
        named_here = named is None or event[2] in named
        return bool(every) and named_here and next(counter) % every == 0

    arrived = arrivals(draw, draw(timelines()), lateness, too_late=too_late)
    late = late_positions(arrived, lateness, named)
    ids = [1000 + 7 * k for k in range(len(arrived))]  # not row numbers, so results name ids
    return pattern, lateness, arrived, ids, late, cuts(draw, len(arrived))


@pytest.mark.parametrize("late", ["drop", "report"])
@settings(max_examples=50, deadline=None)
@given(run=late_runs())
def test_late_events_are_dropped_and_reported(late, run):
    pattern, lateness, arrived, ids, late_at, bounds = run
    table = table_of(arrived, ids)
    stream = vashlet.Stream(pattern, id="id", lateness=lateness, late=late, explain=True)
    collected = feed(stream, batches(table, bounds))
    kept = [k for k in range(len(arrived)) if k not in late_at]
    assert_same(collected, pattern, taken(table, kept), id="id")
    assert collected.late == ([ids[k] for k in late_at] if late == "report" else [])


@settings(max_examples=30, deadline=None)
@given(run=late_runs())
def test_late_rows_without_ids_are_stream_rows(run):
    pattern, lateness, arrived, _, late_at, bounds = run
    stream = vashlet.Stream(pattern, lateness=lateness, late="report")
    collected = feed(stream, batches(table_of(arrived), bounds))
    assert collected.late == late_at


@settings(max_examples=40, deadline=None)
@given(run=late_runs())
def test_a_late_event_refuses_its_batch_and_changes_nothing(run):
    pattern, lateness, arrived, ids, late_at, bounds = run
    table = table_of(arrived, ids)
    stream = vashlet.Stream(pattern, id="id", lateness=lateness, explain=True)
    collected = Collected()
    for a, b in zip(bounds, bounds[1:]):
        part = table.slice(a, b - a)
        inside = [k for k in late_at if a <= k < b]
        if inside:
            before, snapshot = stream.stats(), stream.snapshot()
            with pytest.raises(ValueError, match=r"row \d+ is late \(id \d+\)") as refused:
                stream.push(part)
            # It names one of the batch's late rows, counted across the stream, and its id.
            named = re.search(r"row (\d+) is late \(id (\d+)\)", str(refused.value))
            row, name = map(int, named.groups())
            assert row - before["rows"] in [k - a for k in inside]
            assert name == ids[a + row - before["rows"]]
            assert stream.stats() == before and stream.snapshot() == snapshot
            part = taken(table, [k for k in range(a, b) if k not in inside])
        collected.add(stream.push(part))
    collected.add(stream.flush())
    kept = [k for k in range(len(arrived)) if k not in late_at]
    assert_same(collected, pattern, taken(table, kept), id="id")


@pytest.mark.parametrize("late", ["raise", "drop", "report"])
def test_an_event_exactly_at_the_watermark_is_not_late(late):
    # Watermark 10 - 4 = 6: ts 6 is on time, ts 5 is late.
    stream = vashlet.Stream("A -> B", lateness=4, late=late)
    stream.push(table_of([("p", 10, "A", 0), ("p", 6, "B", 0)]))
    refused = pytest.raises(ValueError, match="late") if late == "raise" else None
    if refused:
        with refused:
            stream.push(table_of([("p", 5, "B", 0)]))
    else:
        assert list(stream.push(table_of([("p", 5, "B", 0)])).late) == (
            [2] if late == "report" else [])
    assert [row["rows"] for row in stream.flush().to_pylist()] == []


def test_watermarks_are_per_partition_and_ignore_other_types():
    stream = vashlet.Stream("A -> B", lateness=1, late="report")
    table = table_of([("p", 100, "A", 0), ("q", 0, "A", 0), ("q", 50, "X", 0), ("q", 1, "B", 0),
                      ("p", 98, "B", 0)])
    out = stream.push(table)
    assert list(out.late) == [4]
    rows = out.to_pylist() + stream.flush().to_pylist()
    assert [row["rows"] for row in rows] == [[1, 3]]
