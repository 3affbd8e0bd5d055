"""vashlet.spark on a local Spark session."""

import os
import shutil

import pytest

pytest.importorskip("pyspark", reason="the spark extra is not installed")
if not shutil.which("java") and not os.environ.get("JAVA_HOME"):
    pytest.skip("Spark needs Java, which is not installed", allow_module_level=True)

from engine_data import FUNNEL, as_set, funnel_table, local_result, spark_session  # noqa: E402

import vashlet.spark  # noqa: E402


@pytest.fixture(scope="module")
def spark():
    session = spark_session(**{"spark.sql.shuffle.partitions": "4"})
    yield session
    session.stop()


@pytest.fixture(scope="module")
def table():
    return funnel_table()


@pytest.fixture(scope="module")
def events(spark, table):
    return spark.createDataFrame(table.drop_columns(["unread"]).to_pandas()).repartition(5)


def collected(frame):
    return [row.asDict(recursive=True) for row in frame.collect()]


@pytest.mark.parametrize(
    "kind, options",
    [("match", {"exhaustive": True}), ("explain", {})],
)
def test_results_equal_the_one_machine_result(events, table, kind, options):
    call = vashlet.spark.match if kind == "match" else vashlet.spark.explain
    result = call(FUNNEL, events, partition="user", id="eid", **options)
    expected = local_result(kind, table, **options)
    assert len(expected) >= 5
    assert as_set(collected(result)) == as_set(expected)


def test_declared_schema(events):
    from pyspark.sql.types import ArrayType, LongType, StringType

    schema = vashlet.spark.match(FUNNEL, events, partition="user", id="eid").schema
    with pytest.warns(DeprecationWarning, match=r"pass the pattern first, vashlet.spark.match\("):
        assert vashlet.spark.match(events, FUNNEL, partition="user", id="eid").schema == schema
    assert schema.names == ["partition", "start", "end", "rows", "captures"]
    assert schema["rows"].dataType == ArrayType(StringType())
    assert schema["captures"].dataType.fields[0].dataType == LongType()


@pytest.mark.parametrize(
    "options, column",
    [({"id": "nope"}, "nope"), ({"ts": "type"}, "type"), ({"id": "eid", "partition": "missing"}, "missing")],
)
def test_driver_refuses_bad_columns(events, options, column):
    options = {"partition": "user", "id": "eid", **options}
    with pytest.raises((ValueError, TypeError), match=f"'{column}'"):
        vashlet.spark.match(FUNNEL, events, **options)


def test_unsupported_attribute_type_is_named_on_the_driver(spark, table):
    frame = spark.createDataFrame(table.to_pandas())
    with pytest.raises(TypeError, match="column 'unread' has type decimal"):
        vashlet.spark.match("view[unread == 1]", frame, partition="user", id="eid")


def test_null_key_on_a_worker_names_the_column_and_row(spark, events):
    from pyspark.sql import functions as F

    broken = events.withColumn(
        "user", F.when(F.col("eid") == "e00007", F.lit(None)).otherwise(F.col("user"))
    )
    with pytest.raises(Exception, match="column 'user' is null in the row whose 'eid' is 'e00007'"):
        vashlet.spark.match(FUNNEL, broken, partition="user", id="eid").collect()


@pytest.mark.parametrize("ts_type", ["long", "timestamp", "timestamp_ntz"])
def test_timestamp_columns_used_or_not(spark, ts_type):
    import datetime

    base = datetime.datetime(2024, 1, 1, 12, 0, 0)
    at = (lambda s: s) if ts_type == "long" else (lambda s: base + datetime.timedelta(seconds=s))
    rows = [("a", at(1), "login", "e1", base), ("a", at(5), "purchase", "e2", base),
            ("b", at(2), "login", "e3", None)]
    frame = spark.createDataFrame(
        rows, f"partition string, ts {ts_type}, type string, eid string, seen timestamp"
    )
    result = collected(vashlet.spark.match("login -> purchase", frame, id="eid"))
    assert [(r["partition"], r["start"], r["end"], r["rows"]) for r in result] == [
        ("a", at(1), at(5), ["e1", "e2"])
    ]
