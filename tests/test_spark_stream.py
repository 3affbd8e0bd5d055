"""vashlet.spark.match_stream / explain_stream: local Spark streaming queries over Parquet files,
one micro-batch per file."""

import datetime
import os
import random
import shutil

import pytest

pytest.importorskip("pyspark", reason="the spark extra is not installed")
if not shutil.which("java") and not os.environ.get("JAVA_HOME"):
    pytest.skip("Spark needs Java, which is not installed", allow_module_level=True)

import pyarrow as pa  # noqa: E402
import pyarrow.parquet as pq  # noqa: E402
from engine_data import as_set, spark_session  # noqa: E402

import vashlet  # noqa: E402
import vashlet.spark  # noqa: E402

# Long enough for a loaded machine, short enough that a stuck query fails rather than hangs.
QUERY_SECONDS = 300
TYPES = ["login", "view", "purchase", "logout", "other"]
WEIGHTS = [4, 4, 4, 1, 1]
LATENESS = 25
SPAN = 400  # the time each file covers
FAR = 100_000  # the last file's events, which move every key's watermark past all the rest
EPOCH = datetime.datetime(2024, 3, 1)


def pattern(unit):
    return (f"login[item as $i] -[<={60}{unit}]-> view[item == $i] "
            f"-[<={200}{unit}, no logout]-> purchase[item == $i]")


@pytest.fixture(scope="module")
def spark():
    session = spark_session(**{
        "spark.sql.shuffle.partitions": "2",  # a state store each: few keep batches quick
        "spark.sql.session.timeZone": "UTC",
        "spark.sql.streaming.noDataMicroBatches.enabled": "false",
    })
    yield session
    session.stop()


def generated(seed, keys=5, per_key=50):
    """Batches of events: ties in time inside a batch, and events that arrive a batch late by
    less than LATENESS (never splitting a tie); the last batch holds, per key, one event of each
    type at FAR and later, and a logout after them, so that all of them are released."""
    rng = random.Random(seed)
    rows = []
    for key in range(keys):
        ts = rng.randrange(40)
        for _ in range(per_key):
            ts += rng.choice([0, 5, 15, 30, 90])
            rows.append([f"u{key}", ts, rng.choices(TYPES, WEIGHTS)[0], rng.randrange(2)])
    rows.sort(key=lambda row: (row[1], row[0]))
    count = {}
    for row in rows:
        count[row[0], row[1]] = count.get((row[0], row[1]), 0) + 1
    batches = {}
    for number, row in enumerate(rows):
        row.append(f"e{number:04d}")  # ids in time order: the one-shot tie order is the batches'
        batch = row[1] // SPAN
        near_the_end = row[1] % SPAN >= SPAN - LATENESS + 5
        if near_the_end and count[row[0], row[1]] == 1 and rng.random() < .5:
            batch += 1  # arrives after later events, but within the lateness
        batches.setdefault(batch, []).append(row)
    ordered = [batches[b] for b in sorted(batches)]
    for batch in ordered:
        rng.shuffle(batch)  # arrival order inside a micro-batch means nothing
    last = []
    for key in range(keys):
        for step, kind in enumerate(TYPES):
            last.append([f"u{key}", FAR + 10 * step, kind, 0, f"z{key}{step}"])
        last.append([f"u{key}", FAR + 1000, "logout", 0, f"z{key}9"])  # releases the rest
    return ordered + [last]


def table(rows, ts_type):
    """The events of `rows` as Arrow, `ts` of `ts_type` (long, timestamp or timestamp_ntz)."""
    columns = list(zip(*rows))
    ts = pa.array(columns[1], pa.int64())
    if ts_type != "long":
        zone = "UTC" if ts_type == "timestamp" else None
        ts = pa.array([EPOCH + datetime.timedelta(seconds=s) for s in columns[1]],
                      pa.timestamp("us", zone))
    return pa.table({"user": pa.array(columns[0], pa.string()), "ts": ts,
                     "type": pa.array(columns[2], pa.string()),
                     "item": pa.array(columns[3], pa.int64()),
                     "eid": pa.array(columns[4], pa.string())})


def source(spark, tmp_path, batches, ts_type):
    """A streaming DataFrame reading one Parquet file per micro-batch, in order."""
    folder = tmp_path / "events"
    folder.mkdir()
    for number, rows in enumerate(batches):
        path = folder / f"part-{number:03d}.parquet"
        pq.write_table(table(rows, ts_type), path)
        os.utime(path, (1_700_000_000 + number, 1_700_000_000 + number))
    schema = f"user string, ts {ts_type}, type string, item long, eid string"
    return (spark.readStream.schema(schema).option("maxFilesPerTrigger", 1).parquet(str(folder)))


def run(spark, frame, tmp_path, name):
    """The rows a query writes, once it has read every file."""
    query = (frame.writeStream.format("memory").queryName(name).outputMode("append")
             .option("checkpointLocation", str(tmp_path / "checkpoint"))
             .trigger(availableNow=True).start())
    try:
        finished = query.awaitTermination(QUERY_SECONDS)
        assert finished, f"the query did not finish in {QUERY_SECONDS} s"
        rows = [row.asDict(recursive=True) for row in spark.table(name).collect()]
    finally:
        query.stop()
        spark.catalog.dropTempView(name)
    return rows


def local(rows, ts_type):
    """As Spark collects them: timestamps without a zone (the session's is UTC)."""
    events = table(rows, ts_type)
    if ts_type == "timestamp":
        events = events.set_column(1, "ts", events.column("ts").cast(pa.timestamp("us")))
    return events.sort_by([("ts", "ascending"), ("eid", "ascending")])


def without_match(found):
    rows = found.to_pylist()
    for row in rows:
        row.pop("match", None)
    return rows


def one_shot(kind, rows, ts_type, **options):
    call = vashlet.match if kind == "match" else vashlet.explain
    return without_match(call(pattern(unit(ts_type)), local(rows, ts_type), partition="user",
                              id="eid", **options))


def streamed(kind, batches, ts_type, **options):
    """What a Stream fed the same batches, each in (ts, id) order, hands back before a flush."""
    stream = vashlet.Stream(pattern(unit(ts_type)), partition="user", id="eid",
                            explain=kind == "explain", **options)
    found = []
    for batch in batches:
        out = stream.push(local(batch, ts_type))
        found += without_match(out.near_misses if kind == "explain" else out)
    return found


def unit(ts_type):
    return "" if ts_type == "long" else "s"


def before_far(rows):
    """The rows of starts before the last file's events (whose ids start with z)."""
    return [row for row in rows if not row.get("start_row", row["rows"][0]).startswith("z")]


@pytest.mark.parametrize(
    "kind, mode, ts_type",
    [("match", "first", "long"), ("match", "all", "timestamp"),
     ("explain", "non_overlapping", "long"), ("explain", "first", "timestamp_ntz")],
)
def test_results_equal_a_stream_and_the_final_one_shot_result(spark, tmp_path, kind, mode, ts_type):
    batches = generated(seed=len(kind) + len(mode) + len(ts_type))
    call = vashlet.spark.match_stream if kind == "match" else vashlet.spark.explain_stream
    lateness = LATENESS if ts_type == "long" else f"{LATENESS}s"
    frame = call(pattern(unit(ts_type)), source(spark, tmp_path, batches, ts_type),
                 partition="user", id="eid", mode=mode, lateness=lateness)
    got = run(spark, frame, tmp_path, f"out_{kind}_{mode}_{ts_type}")
    assert as_set(got) == as_set(streamed(kind, batches, ts_type, mode=mode, lateness=lateness))
    # Every start before FAR is decided by the last file; the last file's own starts may be open.
    expected = one_shot(kind, [row for batch in batches for row in batch], ts_type, mode=mode)
    assert len(before_far(expected)) >= 5
    assert as_set(before_far(got)) == as_set(before_far(expected))
    assert set(as_set(got)) <= set(as_set(expected))


@pytest.mark.parametrize("kind", ["match", "explain"])
@pytest.mark.parametrize("ts_type", ["long", "timestamp", "timestamp_ntz"])
def test_declared_schema_is_the_batch_front_ends(spark, tmp_path, kind, ts_type):
    streaming = source(spark, tmp_path, [], ts_type)
    static = spark.createDataFrame([], streaming.schema)
    text = pattern(unit(ts_type))
    if kind == "match":
        got = vashlet.spark.match_stream(text, streaming, partition="user", id="eid")
        want = vashlet.spark.match(text, static, partition="user", id="eid")
    else:
        got = vashlet.spark.explain_stream(text, streaming, partition="user", id="eid")
        want = vashlet.spark.explain(text, static, partition="user", id="eid")
    assert got.isStreaming
    assert got.schema == want.schema


@pytest.mark.parametrize(
    "ts_type, options, error, message",
    [("long", {"late": "report"}, ValueError, "late must be 'raise' or 'drop'"),
     ("timestamp", {"lateness": 25}, ValueError, "lateness 25 has no unit, but 'ts' is a times"),
     ("long", {"id": None}, TypeError, "id must name a column"),
     ("long", {"partition": "missing"}, ValueError, "'missing'"),
     ("timestamp", {"lateness": "soon"}, ValueError, "soon"),
     ("long", {"max_open": -1}, ValueError, "max_open")],
)
def test_driver_refuses_bad_arguments(spark, tmp_path, ts_type, options, error, message):
    frame = source(spark, tmp_path, [], ts_type)
    options = {"partition": "user", "id": "eid", **options}
    with pytest.raises(error, match=message):
        vashlet.spark.match_stream(pattern(unit(ts_type)), frame, **options)


LATE_BATCHES = [
    [["a", 100, "login", 1, "a1"], ["a", 150, "view", 1, "a2"], ["b", 100, "login", 1, "b1"]],
    [["a", 300, "purchase", 1, "a3"], ["b", 120, "view", 1, "b2"], ["b", 130, "purchase", 1, "b3"]],
    [["a", 200, "purchase", 1, "a4"], ["b", 1000, "login", 0, "b4"]],  # a4: 200 < 300 - 25
]


@pytest.mark.parametrize("late", ["raise", "drop"])
def test_a_late_row_fails_the_query_or_is_dropped(spark, tmp_path, late):
    frame = vashlet.spark.match_stream(pattern(""), source(spark, tmp_path, LATE_BATCHES, "long"),
                                       partition="user", id="eid", lateness=LATENESS, late=late)
    if late == "raise":
        with pytest.raises(Exception, match="the row whose 'eid' is 'a4' is late"):
            run(spark, frame, tmp_path, "late_raise")
        return
    got = run(spark, frame, tmp_path, "late_drop")
    assert [row["rows"] for row in got] == [["b1", "b2", "b3"]]
    assert as_set(got) == as_set(streamed("match", LATE_BATCHES, "long", lateness=LATENESS,
                                          late="drop"))
