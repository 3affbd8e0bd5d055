"""A stream's walks that wait on `attr == $bound` skip the events that carry another value unread,
and a start's walk is made only once an event may move it: the results stay those of the
one-shot `match` and `explain`, with values that meet across kinds, missing values, absences
read from the start, and snapshots taken while walks wait."""

import pyarrow as pa
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import vashlet
from stream_feed import Collected, assert_same, batches, cuts, feed
from vashlet import _core

VALUES = {
    "int": pa.array([1, 2, 1, 2, 1, 2, 1, 2], pa.int64()),
    "float": pa.array([1.0, -0.0, 0.0, 2.0, 1.0, float("nan"), float("nan"), 2.0], pa.float64()),
    "string": pa.array(["ann", None, "bob", None, "ann", "bob", "", ""], pa.string()),
}


def table_of(rows, values):
    """rows: (partition, ts, type, index into `values` or None for a missing value)."""
    picked = [None if at is None else values[at].as_py() for _, _, _, at in rows]
    return pa.table({
        "partition": pa.array([r[0] for r in rows], pa.string()),
        "ts": pa.array([r[1] for r in rows], pa.int64()),
        "type": pa.array([r[2] for r in rows], pa.string()),
        "n": pa.array(picked, values.type),
    })


@st.composite
def runs(draw):
    rows, ts = [], 0
    for _ in range(draw(st.integers(1, 24))):
        ts += draw(st.sampled_from([0, 1, 2, 5]))
        rows.append((draw(st.sampled_from("pq")), ts, draw(st.sampled_from("AABBC")),
                     draw(st.sampled_from([0, 1, 2, 3, 4, 5, 6, 7, None]))))
    return rows


PATTERNS = [
    "A[n as $u] -[<=6]-> B[n == $u]",
    "A[n as $u] -> B[n == $u] -> B[n == $u]",
    "A[n as $u] -[<=8, no C[n == $u]]-> B[n == $u]",
    "A[n as $u] -[no C]-> B[n as $u]",  # a capture of a bound name is an equality too
    "A[n as $u] -> (B[n == $u] | C[n == $u])",
]


@pytest.mark.parametrize("kind", list(VALUES))
@pytest.mark.parametrize("pattern", PATTERNS)
@settings(max_examples=30, deadline=None)
@given(data=st.data())
def test_keyed_walks_give_the_one_shot_results(pattern, kind, data):
    table = table_of(data.draw(runs(), label="rows"), VALUES[kind])
    stream = vashlet.Stream(pattern, explain=True)
    collected = feed(stream, batches(table, cuts(data.draw, len(table))))
    assert_same(collected, pattern, table)


def test_walks_skip_events_of_other_values():
    # Many users' starts wait at once in one partition: each B reaches only its user's walks.
    users = 50
    rows = [("site", t, "A", t % users) for t in range(users)]
    rows += [("site", users + t, "B", (7 * t) % users) for t in range(users)]
    table = table_of(rows, pa.array(range(users), pa.int64()))
    pattern = "A[n as $u] -> B[n == $u]"
    _core._paths_taken()  # resets the counts
    collected = feed(vashlet.Stream(pattern), batches(table, [0, users, 2 * users]))
    assert _core._paths_taken()["stream_keyed_walks"] == 2  # both pushes
    assert_same(collected, pattern, table, explain=False)
    assert len(collected.matches) == users


def test_a_walk_made_late_reads_the_absences_since_its_start():
    # The C of the same user between comes before any event that may move the walk: the walk
    # made at the B must still see it; the C of another user does not block.
    pattern = "A[n as $u] -[no C[n == $u]]-> B[n == $u]"
    rows = [("p", 0, "A", 0), ("p", 1, "C", 1), ("p", 2, "A", 1), ("p", 3, "C", 0),
            ("p", 4, "B", 0), ("p", 5, "B", 1)]
    table = table_of(rows, pa.array([1, 2], pa.int64()))
    for bounds in ([0, 6], [0, 1, 2, 3, 4, 5, 6], [0, 4, 6]):
        collected = feed(vashlet.Stream(pattern, explain=True), batches(table, bounds))
        assert [row["rows"] for row in collected.matches] == [[2, 5]]
        assert_same(collected, pattern, table)


@pytest.mark.parametrize("at", range(1, 6))
def test_snapshots_while_walks_wait_continue_exactly(at):
    pattern = "A[n as $u] -[<=10]-> B[n == $u] -> B[n == $u]"
    rows = [("p", 0, "A", 0), ("p", 1, "A", 1), ("p", 2, "B", 1), ("p", 3, "A", 0),
            ("p", 4, "B", 0), ("p", 5, "B", 1), ("p", 6, "B", 0)]
    table = table_of(rows, pa.array([1, 2], pa.int64()))
    parts = batches(table, list(range(len(rows) + 1)))
    first = vashlet.Stream(pattern, explain=True)
    collected = Collected()
    for part in parts[:at]:
        collected.add(first.push(part))
    again = vashlet.Stream.restore(first.snapshot())
    feed(again, parts[at:], collected)
    assert_same(collected, pattern, table)
