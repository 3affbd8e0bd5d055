"""vashlet.spark.match_stream / explain_stream: local Spark streaming queries over Parquet files,
one micro-batch per file."""

import datetime
import os
import random
import shutil
import sys

import pytest

pytest.importorskip("pyspark", reason="the spark extra is not installed")
if not shutil.which("java") and not os.environ.get("JAVA_HOME"):
    pytest.skip("Spark needs Java, which is not installed", allow_module_level=True)

import pyarrow as pa  # noqa: E402
import pyarrow.parquet as pq  # noqa: E402
from engine_data import as_set  # noqa: E402

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
    from pyspark.sql import SparkSession

    package_root = os.path.dirname(os.path.dirname(vashlet.__file__))
    path = os.pathsep.join([package_root, os.environ.get("PYTHONPATH", "")])
    session = (
        SparkSession.builder.master("local[2]")
        .config("spark.sql.shuffle.partitions", "2")  # a state store each: few keep batches quick
        .config("spark.sql.session.timeZone", "UTC")
        .config("spark.sql.streaming.noDataMicroBatches.enabled", "false")
        .config("spark.driver.memory", "1g")
        .config("spark.ui.enabled", "false")
        .config("spark.executorEnv.PYTHONPATH", path)
        .config("spark.pyspark.python", sys.executable)
        .getOrCreate()
    )
    session.sparkContext.setLogLevel("ERROR")
    yield session
    session.stop()


def generated(seed, keys=5, per_key=50):
    """Batches of events: ties in time inside a batch, and events that arrive a batch late by
    less than LATENESS (never splitting a tie); the last batch holds, per key, one event of each
    type at FAR and later."""
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
        if row[1] % SPAN >= SPAN - LATENESS + 5 and count[row[0], row[1]] == 1 and rng.random() < .5:
            batch += 1  # arrives after later events, but within the lateness
        batches.setdefault(batch, []).append(row)
    ordered = [batches[b] for b in sorted(batches)]
    for batch in ordered:
        rng.shuffle(batch)  # arrival order inside a micro-batch means nothing
    last = []
    for key in range(keys):
        for step, kind in enumerate(TYPES):
            last.append([f"u{key}", FAR + 10 * step, kind, 0, f"z{key}{step}"])
    return ordered + [last]


def table(rows, timestamps):
    columns = list(zip(*rows))
    ts = pa.array(columns[1], pa.int64())
    if timestamps:
        ts = pa.array([EPOCH + datetime.timedelta(seconds=s) for s in columns[1]],
                      pa.timestamp("us", "UTC"))
    return pa.table({"user": pa.array(columns[0]), "ts": ts, "type": pa.array(columns[2]),
                     "item": pa.array(columns[3], pa.int64()), "eid": pa.array(columns[4])})


def source(spark, tmp_path, batches, timestamps):
    """A streaming DataFrame reading one Parquet file per micro-batch, in order."""
    folder = tmp_path / "events"
    folder.mkdir()
    for number, rows in enumerate(batches):
        path = folder / f"part-{number:03d}.parquet"
        pq.write_table(table(rows, timestamps), path)
        os.utime(path, (1_700_000_000 + number, 1_700_000_000 + number))
    kind = "timestamp" if timestamps else "long"
    return (spark.readStream.schema(f"user string, ts {kind}, type string, item long, eid string")
            .option("maxFilesPerTrigger", 1).parquet(str(folder)))


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


def one_shot(kind, rows, timestamps, **options):
    events = table(rows, timestamps)
    if timestamps:
        events = events.set_column(1, "ts", events.column("ts").cast(pa.timestamp("us")))
    call = vashlet.match if kind == "match" else vashlet.explain
    found = call(pattern("s" if timestamps else ""), events.sort_by([("ts", "ascending"), ("eid", "ascending")]),
                 partition="user", id="eid", ts_unit=None, **options).to_pylist()
    for row in found:
        row.pop("match", None)
    return found


def before_far(rows):
    """The rows of starts before the last file's events (whose ids start with z)."""
    return [row for row in rows if not row.get("start_row", (row["rows"] or ["?"])[0]).startswith("z")]


@pytest.mark.parametrize(
    "kind, mode, timestamps",
    [("match", "first", False), ("match", "all", True), ("explain", "non_overlapping", False),
     ("explain", "first", True)],
)
def test_final_results_equal_the_one_shot_result(spark, tmp_path, kind, mode, timestamps):
    batches = generated(seed=len(kind) + len(mode) + timestamps)
    call = vashlet.spark.match_stream if kind == "match" else vashlet.spark.explain_stream
    lateness = f"{LATENESS}s" if timestamps else LATENESS
    frame = call(pattern("s" if timestamps else ""), source(spark, tmp_path, batches, timestamps),
                 partition="user", id="eid", mode=mode, lateness=lateness)
    got = run(spark, frame, tmp_path, f"out_{kind}_{mode}_{int(timestamps)}")
    everything = [row for batch in batches for row in batch]
    expected = one_shot(kind, everything, timestamps, mode=mode)
    # Every start before FAR is decided by the last file; the last file's own starts may be open.
    assert len(before_far(expected)) >= 5
    assert as_set(before_far(got)) == as_set(before_far(expected))
    assert set(as_set(got)) <= set(as_set(expected))
