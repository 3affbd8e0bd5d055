"""What a stream keeps: flat over a long windowed run, growing only where the pattern has no
bound, bounded by max_open."""

import numpy as np
import pyarrow as pa
import pytest

import vashlet
from stream_feed import table_of

WINDOW, LATENESS, PARTITIONS, SPACING = 100, 20, 10, 10  # an event per partition every 10 ticks


def steady_events(count, seed=7):
    """`count` events at one per tick, round robin over the partitions, out of order by up to
    LATENESS; logins, purchases (of the same user, or not) and page views."""
    rng = np.random.default_rng(seed)
    ts = np.arange(count, dtype=np.int64)
    arrival = np.argsort(ts + rng.integers(0, LATENESS + 1, count), kind="stable")
    types = rng.choice(np.array(["login", "purchase", "view"]), count, p=[0.3, 0.2, 0.5])
    table = pa.table({
        "partition": pa.array((ts % PARTITIONS).astype(str)),
        "ts": pa.array(ts),
        "type": pa.array(types),
        "user": pa.array(rng.integers(0, 3, count)),
    })
    return table.take(pa.array(arrival))


def test_state_stays_flat_over_a_long_windowed_run():
    pattern = f"login[user as $u] -[<={WINDOW}]-> purchase[user == $u]"
    table = steady_events(200_000)
    stream = vashlet.Stream(pattern, lateness=LATENESS, explain=True)
    # Per partition: the events of a window and of the lateness, and as many open starts.
    per_partition = (WINDOW + LATENESS) // SPACING + 1
    bound = 3 * PARTITIONS * per_partition
    matches = misses = 0
    seen = []
    for batch in table.to_batches(max_chunksize=2_000):
        out = stream.push(batch)
        matches, misses = matches + len(out), misses + len(out.near_misses)
        stats = stream.stats()
        seen.append(stats)
        assert stats["open_starts"] <= bound and stats["held_events"] <= bound
        assert stats["kept_events"] <= bound, (len(seen), stats)
    assert seen[-1]["rows"] == table.num_rows and seen[-1]["partitions"] <= PARTITIONS
    quarter = len(seen) // 4
    early = max(s["bytes"] for s in seen[2:quarter])
    assert max(s["bytes"] for s in seen[-quarter:]) <= 3 * early
    out = stream.flush()
    matches, misses = matches + len(out), misses + len(out.near_misses)
    assert matches == len(vashlet.match(pattern, table))
    assert misses == len(vashlet.explain(pattern, table))
    assert stream.stats()["open_starts"] == stream.stats()["kept_events"] == 0


@pytest.mark.parametrize("pattern, bounded", [
    ("A -> B[n == 1]", False),  # no window: a later B may still match
    ("A -[<=5]-> B[n == 1]+", False),  # a repetition without a maximum or `within`
    ("A{2} -[<=5]-> B[n == 1]", False),  # a repeated first element: no transition joins them
    ("A -[<=5]-> B[n == 1]", True),
    ("A -> B[n == 1] within 5", True),
    ("A -[<=2]-> B? -[<=3]-> B[n == 1]", True),
])
def test_starts_stay_open_only_without_a_bound(pattern, bounded):
    # Every A is followed 7 ticks later by a B that does not do.
    stream = vashlet.Stream(vashlet.pattern(pattern), explain=True)
    misses = 0
    for k in range(1, 41):
        out = stream.push(table_of([("p", 10 * k, "A", 0), ("p", 10 * k + 7, "B", 0)]))
        misses += len(out.near_misses)
        assert len(out) == 0
        assert stream.stats()["open_starts"] == (0 if bounded else k)
    assert misses == (40 if bounded else 0)
    out = stream.flush()
    assert misses + len(out.near_misses) == 40 and stream.stats()["open_starts"] == 0


def test_max_open_refuses_the_push_that_passes_it():
    stream = vashlet.Stream("A -> B", max_open=3)
    stream.push(table_of([("p", 0, "A", 0), ("p", 1, "A", 0), ("q", 1, "A", 0)]))
    before, snapshot = stream.stats(), stream.snapshot()
    with pytest.raises(ValueError, match=r"max_open.*\bp\b|\bp\b.*max_open"):
        stream.push(table_of([("q", 2, "A", 0), ("p", 2, "A", 0), ("p", 3, "A", 0)]))
    assert stream.stats() == before and stream.snapshot() == snapshot
    out = stream.push(table_of([("p", 4, "B", 0), ("p", 5, "A", 0)]))
    assert [row["rows"] for row in out.to_pylist()] == [[0, 3], [1, 3]]
    assert stream.stats()["open_starts"] == 2


def test_one_open_start_does_not_keep_every_batch_it_came_with():
    # Partition "open" has a start no event ever decides, and one event it keeps in each batch;
    # partition "busy" has many events per batch, each decided at once. Its events are let go,
    # but their batches would stay alive for the open start's sake if nothing gathered them.
    pattern = "A -> B[n == 1]"
    rows = [("open", 0, "A", 0)]
    for k in range(1, 121):
        rows.append(("open", 2_000 * k, "B", 0))
        rows += [("busy", 2_000 * k + j, "B", 0) for j in range(1, 2_000)]
    table = table_of(rows)
    stream = vashlet.Stream(pattern, explain=True)
    held = []
    for batch in table.to_batches(max_chunksize=2_000):
        stream.push(batch)
        held.append(stream.stats()["bytes"])
    # Without gathering, every batch would stay: 120 batches of 2,000 events for 121 kept. The
    # first push keeps its whole batch, which gives the bytes of one.
    assert stream.stats()["kept_events"] == 121
    assert max(held) < 0.4 * 120 * held[0]
    out = stream.flush()
    assert len(out.near_misses) == 1
    assert out.near_misses.to_pylist()[0]["reason"] == "predicate_failed"


def as_events(rows):
    return [vashlet.Event(p, ts, typ, {"n": n}) for p, ts, typ, n in rows]


# Enough events let go in one push for the stream to gather the few it still needs.
LET_GO = 40_000


@pytest.mark.parametrize("second_as", ["table", "events"])
def test_a_start_kept_across_a_gathering_keeps_its_values(second_as):
    # A table's start stays open (nothing of its value ever follows) while a second push lets
    # tens of thousands of events go: gathering the needed events then frees the table's batch.
    # The start must keep its captured value, and complete on it later.
    stream = vashlet.Stream("A[n as $x] -> B[n == $x]")
    stream.push(table_of([("keep", 0, "A", 12_345)]))
    rows = [("keep2", 1, "A", 1)]
    rows += [row for i in range(LET_GO)
             for row in ((f"p{i % 100}", 2 + 2 * i, "A", 2), (f"p{i % 100}", 3 + 2 * i, "B", 2))]
    stream.push(table_of(rows) if second_as == "table" else as_events(rows))
    stats = stream.stats()
    assert stats["open_starts"] == 2 and stats["kept_events"] == 2
    assert stats["bytes"] < 64 * 2 * LET_GO / 10  # the let-go events' batches are gone
    end = 2 * LET_GO + 10
    out = stream.push(table_of([("keep", end, "B", 12_345), ("keep2", end, "B", 1)]))
    assert [(row["partition"], row["rows"], row["captures"]) for row in out.to_pylist()] == [
        ("keep", [0, 2 * LET_GO + 2], {"x": 12_345}),
        ("keep2", [1, 2 * LET_GO + 3], {"x": 1}),
    ]


def test_held_table_events_count_in_the_stream_bytes():
    # Every start stays open: the batch's events are all held, and count as much whether they
    # came in a table or as Event objects.
    rows = [(f"p{i % 100}", i, "A", i) for i in range(5_000)]
    held = {}
    for name, data in (("table", table_of(rows)), ("events", as_events(rows))):
        stream = vashlet.Stream("A -> B")
        stream.push(data)
        held[name] = stream.stats()["bytes"]
    assert held["table"] > 5_000 * 64
    assert 0.5 < held["table"] / held["events"] < 2
