"""vashlet.Stream as Python sees it: arguments refused by name, one thread at a time per stream,
pickling, the end of a stream, foreign snapshots, and every kind of input reading alike."""

import copy
import datetime as dt
import importlib
import pickle
import threading
import warnings

import duckdb
import pandas as pd
import pyarrow as pa
import pytest

import vashlet
from vashlet import Event, MatchTable, NearMissTable, Stream, StreamBatch

PATTERN = "login -[<=300]-> purchase"
ROWS = {
    "user": ["ann", "bob", "ann", "cat", "bob"],
    "ts": [100, 105, 130, 140, 900],
    "type": ["login", "login", "purchase", "view", "purchase"],
}


def key(row):
    """A result row without its number, which depends on the order of emission."""
    return repr(sorted((name, value) for name, value in row.items() if name != "match"))


def collected(stream, batches):
    """Matches and near misses of every push and the flush, as sorted keys."""
    matches, misses, late = [], [], []
    for batch in [*map(stream.push, batches), stream.flush()]:
        matches += batch.to_pylist()
        misses += [] if batch.near_misses is None else batch.near_misses.to_pylist()
        late += batch.late
    return sorted(map(key, matches)), sorted(map(key, misses)), late


def one_shot(rows=ROWS):
    table = pa.table(rows)
    return (sorted(map(key, vashlet.match(PATTERN, table, partition="user").to_pylist())),
            sorted(map(key, vashlet.explain(PATTERN, table, partition="user").to_pylist())))


def split(rows, at):
    return [{name: values[begin:end] for name, values in rows.items()}
            for begin, end in zip([0, *at], [*at, len(rows["ts"])])]


# ---------------------------------------------------------------------------------------------
# Arguments


@pytest.mark.parametrize("options, error, words", [
    ({"late": "warn"}, ValueError, "late must be one of 'raise', 'drop', 'report', not 'warn'"),
    ({"late": 1}, TypeError, "argument 'late'"),
    ({"lateness": -1}, ValueError, "argument 'lateness': must not be negative, got -1"),
    ({"lateness": dt.timedelta(seconds=-1)}, ValueError, "'lateness': must not be negative"),
    ({"lateness": "soon"}, ValueError, "argument 'lateness': must be a duration such as '30s'"),
    ({"lateness": "-5s"}, ValueError, "argument 'lateness'"),
    ({"lateness": 1.5}, TypeError, "argument 'lateness': must be an int, a duration text"),
    ({"lateness": True}, TypeError, "argument 'lateness'"),
    ({"max_open": -1}, ValueError, "argument 'max_open': must be at least 1, got -1"),
    ({"max_open": 0}, ValueError, "argument 'max_open': must be at least 1, got 0"),
    ({"max_open": "3"}, TypeError, "argument 'max_open'"),
    ({"threads": 0}, ValueError, "argument 'threads'"),
    ({"max_matches": -1}, ValueError, "argument 'max_matches'"),
    ({"explain": "yes"}, TypeError, "argument 'explain'"),
    ({"mode": "every"}, ValueError, "mode must be one of"),
    ({"mode": "first", "exhaustive": True}, ValueError, "exhaustive=True and mode='first'"),
    ({"ts_unit": "h"}, ValueError, "ts_unit must be one of"),
    ({"partition": 3}, TypeError, "argument 'partition'"),
    ({"id": b"row"}, TypeError, "argument 'id'"),
])
def test_a_bad_argument_is_refused_by_name(options, error, words):
    with pytest.raises(error) as raised:
        Stream(PATTERN, **options)
    assert words in str(raised.value)


@pytest.mark.parametrize("lateness, shown", [
    (None, 0), (7, 7), ("90s", "90s"), (dt.timedelta(minutes=1, seconds=30), "1m30s"),
    (pd.Timedelta("2h"), "2h"),
])
def test_lateness_is_kept_as_ticks_or_a_duration(lateness, shown):
    assert Stream(PATTERN, lateness=lateness)._native.options()["lateness"] == shown


def test_a_pattern_that_is_no_pattern_is_refused():
    with pytest.raises(TypeError, match="expected a Pattern"):
        Stream(42)
    with pytest.raises(ValueError):
        Stream("login -> ")


@pytest.mark.parametrize("data, error, words", [
    ("login", TypeError, "data must export the Arrow PyCapsule interface"),
    ([1, 2], TypeError, "argument 'data'"),
    (pa.table({"user": ["a"], "when": [1], "type": ["login"]}), ValueError, "'ts'"),
])
def test_a_bad_batch_is_refused_and_changes_nothing(data, error, words):
    first, rest = (pa.table(part) for part in split(ROWS, [2]))
    stream = Stream(PATTERN, partition="user", explain=True)
    ahead = stream.push(first)
    before = stream.snapshot()
    with pytest.raises(error, match=words):
        stream.push(data)
    assert stream.snapshot() == before
    matches, misses, _ = collected(stream, [rest])
    assert (sorted(matches + list(map(key, ahead.to_pylist()))), misses) == one_shot()


def test_a_producer_failing_midway_leaves_the_stream_as_it_was():
    first = pa.record_batch(split(ROWS, [2])[0])

    def batches():
        yield first
        raise ValueError("the producer broke")

    stream = Stream(PATTERN, partition="user")
    before = stream.snapshot()
    with pytest.raises(ValueError, match="the producer broke"):
        stream.push(pa.RecordBatchReader.from_batches(first.schema, batches()))
    assert stream.snapshot() == before and stream.stats()["rows"] == 0
    assert collected(stream, [pa.table(ROWS)])[0] == one_shot()[0]


def test_an_id_column_is_refused_for_events():
    stream = Stream(PATTERN, id="event_id")
    with pytest.raises(ValueError, match="id names a column of a table"):
        stream.push([Event("ann", 1, "login")])


# ---------------------------------------------------------------------------------------------
# Threads


def held_reader(started, proceed):
    """A stream of two batches whose second waits for `proceed`: a push reading it holds the
    stream until then."""
    first, second = split(ROWS, [3])

    def batches():
        yield pa.record_batch(first)
        started.set()
        assert proceed.wait(30)
        yield pa.record_batch(second)

    return pa.RecordBatchReader.from_batches(pa.record_batch(first).schema, batches())


def test_a_second_thread_is_refused_while_a_push_runs():
    stream = Stream(PATTERN, partition="user", explain=True)
    started, proceed = threading.Event(), threading.Event()
    outcome = {}

    def pushing():
        try:
            outcome["batch"] = stream.push(held_reader(started, proceed))
        except BaseException as error:  # noqa: BLE001 - reported below
            outcome["error"] = error

    worker = threading.Thread(target=pushing)
    worker.start()
    try:
        assert started.wait(30)
        refused = []
        for call in (lambda: stream.push(pa.table(ROWS)), stream.flush, stream.stats,
                     stream.snapshot):
            with pytest.raises(RuntimeError, match="the stream is in use by another thread"):
                call()
            refused.append(call)
        assert "in use" in repr(stream)
    finally:
        proceed.set()
        worker.join(30)
    assert "error" not in outcome, outcome.get("error")
    # The refused calls left no trace: the stream goes on as if they never came.
    assert stream.stats()["rows"] == len(ROWS["ts"])
    matches, misses, _ = collected(stream, [])
    ahead = sorted(map(key, outcome["batch"].to_pylist()))
    assert sorted(ahead + matches) == one_shot()[0]
    assert len(refused) == 4


@pytest.mark.parametrize("threads", [1, 3])
def test_two_streams_on_two_threads_agree_with_one_thread(threads):
    batches = [pa.table(part) for part in split(ROWS, [1, 3])]
    expected = collected(Stream(PATTERN, partition="user", explain=True), batches)
    barrier, results = threading.Barrier(2), []

    def run():
        barrier.wait()
        for _ in range(50):
            stream = Stream(PATTERN, partition="user", explain=True, threads=threads)
            results.append(collected(stream, batches))

    workers = [threading.Thread(target=run) for _ in range(2)]
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join(60)
    assert len(results) == 100 and all(result == expected for result in results)


# ---------------------------------------------------------------------------------------------
# Snapshots, pickling, the end


@pytest.mark.parametrize("cut", [0, 1, 2, 4])
@pytest.mark.parametrize("reload", [
    lambda stream: pickle.loads(pickle.dumps(stream)),
    lambda stream: Stream.restore(stream.snapshot()),
    lambda stream: Stream.restore(bytearray(stream.snapshot())),
    copy.deepcopy,
], ids=["pickle", "restore", "bytearray", "deepcopy"])
def test_a_restored_stream_continues_as_the_original(cut, reload):
    batches = [pa.table(part) for part in split(ROWS, [1, 2, 4])]
    original = Stream(PATTERN, partition="user", explain=True, lateness=10, late="report")
    for batch in batches[:cut]:
        original.push(batch)
    restored = reload(original)
    assert isinstance(restored, Stream)
    assert repr(restored) == repr(original)
    assert restored.stats() | {"bytes": 0} == original.stats() | {"bytes": 0}  # an estimate
    assert collected(restored, batches[cut:]) == collected(original, batches[cut:])
    assert restored._native.options() | {"pattern": None} == (
        original._native.options() | {"pattern": None})


@pytest.mark.parametrize("data", [
    b"", b"not a snapshot", b"\x00" * 64, pickle.dumps({"a": 1}),
])
def test_foreign_snapshot_bytes_are_refused(data):
    with pytest.raises(ValueError, match="not a vashlet stream snapshot|version"):
        Stream.restore(data)


def test_a_damaged_snapshot_is_refused():
    stream = Stream(PATTERN, partition="user", explain=True)
    stream.push(pa.table(ROWS))
    whole = stream.snapshot()
    for size in (len(whole) // 3, len(whole) // 2, len(whole) - 1):
        with pytest.raises(ValueError):
            Stream.restore(whole[:size])


def test_a_snapshot_must_be_bytes():
    with pytest.raises(TypeError, match="argument 'snapshot'"):
        Stream.restore("text")


def test_a_flushed_stream_takes_no_more_pushes():
    stream = Stream(PATTERN, partition="user")
    stream.push(pa.table(ROWS))
    stream.flush()
    assert stream.stats()["flushed"] and "flushed" in repr(stream)
    with pytest.raises(ValueError, match="the stream was flushed"):
        stream.push(pa.table(ROWS))


def test_a_flushed_stream_restores_flushed():
    stream = Stream(PATTERN, partition="user")
    stream.push(pa.table(ROWS))
    stream.flush()
    restored = pickle.loads(pickle.dumps(stream))
    assert restored.stats()["flushed"]
    with pytest.raises(ValueError, match="the stream was flushed"):
        restored.push(pa.table(ROWS))


# ---------------------------------------------------------------------------------------------
# Inputs and outputs


def events(rows):
    return [Event(user, ts, typ) for user, ts, typ in zip(rows["user"], rows["ts"], rows["type"])]


INPUTS = {
    "table": pa.table,
    "record batch": pa.record_batch,
    "reader of one-row batches": lambda rows: pa.RecordBatchReader.from_batches(
        pa.record_batch(rows).schema, pa.table(rows).to_batches(max_chunksize=1)),
    "pandas": pd.DataFrame,
    "polars": lambda rows: importlib.import_module("polars").DataFrame(rows),  # not under TSan
    "duckdb": lambda rows: duckdb.from_arrow(pa.table(rows)),
    "events": events,
}


@pytest.mark.parametrize("kind", INPUTS)
@pytest.mark.parametrize("at", [[], [1], [2, 3], [1, 2, 3, 4]])
def test_every_kind_of_input_gives_the_one_shot_result(kind, at):
    batches = [INPUTS[kind](part) for part in split(ROWS, at)]
    matches, misses, _ = collected(Stream(PATTERN, partition="user", explain=True), batches)
    assert (matches, misses) == one_shot()


def test_rows_count_every_row_of_every_batch():
    """Rows of types the pattern leaves out, and rows of a stream's later batches, count."""
    stream = Stream(PATTERN, partition="user")
    reader = INPUTS["reader of one-row batches"](split(ROWS, [4])[0])
    assert len(stream.push(reader)) == 1
    assert stream.stats()["rows"] == 4
    (made,) = stream.push(pa.table({"user": ["cat", "cat"], "ts": [200, 201],
                                    "type": ["login", "purchase"]})).to_pylist()
    assert made["rows"] == [4, 5]


def test_a_batch_carries_near_misses_and_late_events():
    plain = Stream(PATTERN, partition="user").push(pa.table(ROWS))
    assert isinstance(plain, StreamBatch) and isinstance(plain, MatchTable)
    assert plain.near_misses is None and plain.late == []
    stream = Stream(PATTERN, partition="user", explain=True, late="report")
    stream.push(pa.table(ROWS))
    out = stream.push(pa.table({"user": ["ann"], "ts": [50], "type": ["login"]}))
    assert out.late == [5] and isinstance(out.near_misses, NearMissTable)
    by_id = Stream(PATTERN, partition="user", id="name", late="report")
    by_id.push(pa.table({**ROWS, "name": list("abcde")}))
    assert by_id.push(pa.table({"user": ["ann"], "ts": [50], "type": ["login"],
                                "name": ["f"]})).late == ["f"]


def test_a_batch_keeps_its_parts_through_head_and_pickle():
    stream = Stream(PATTERN, partition="user", explain=True, late="report")
    stream.push(pa.table(ROWS))
    out = stream.push(pa.table({"user": ["ann"], "ts": [50], "type": ["login"]}))
    for copied in (out.head(0), pickle.loads(pickle.dumps(out))):
        assert type(copied) is StreamBatch
        assert copied.late == out.late
        assert copied.near_misses.to_pylist() == out.near_misses.to_pylist()
    assert repr(out).startswith("StreamBatch: ") and "late: [5]" in repr(out)


def test_repr_names_the_pattern_the_columns_and_the_state():
    stream = Stream(PATTERN, partition="user", type="kind")
    assert repr(stream) == ("Stream(pattern='login -[<=300]-> purchase', partition='user', "
                            "ts='ts', type='kind', rows=0, partitions=0, open_starts=0, "
                            "held_events=0)")


def test_an_absent_type_warns_once_at_flush_when_no_batch_had_it():
    stream = Stream(PATTERN, partition="user")
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        stream.push(pa.table({"user": ["a"], "ts": [1], "type": ["login"]}))
        stream.push(pa.table({"user": ["a"], "ts": [2], "type": ["view"]}))
        stream.push(pa.table({"user": [], "ts": [], "type": []},
                             schema=pa.schema([("user", pa.string()), ("ts", pa.int64()),
                                               ("type", pa.string())])))
    with pytest.warns(UserWarning, match="'purchase' does not occur in column 'type'") as caught:
        stream.flush()
    assert len(caught) == 1 and caught[0].filename == __file__
    seen = Stream(PATTERN, partition="user")
    seen.push(pa.table({"user": ["a"], "ts": [1], "type": ["login"]}))
    seen.push(pa.table({"user": ["a"], "ts": [2], "type": ["purchase"]}))
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        seen.flush()
