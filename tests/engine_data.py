"""Generated funnel events and the local Spark session shared by the engine tests."""

import os
import random
import sys

import pyarrow as pa

FUNNEL = (
    "view[item as $i] -[<=900]-> cart[item == $i] -[<=3600, no remove[item == $i]]-> "
    "purchase[item == $i, amount >= 20.0]"
)
TYPES = ["view", "cart", "purchase", "remove", "other"]


def funnel_table(partitions=60, per_partition=40, seed=7):
    """Events in arrival order (partitions interleaved), with ties in time and a string id."""
    rng = random.Random(seed)
    rows = []
    for number in range(partitions):
        ts = rng.randrange(1000)
        for _ in range(per_partition):
            ts += rng.choice([0, 60, 300, 900, 1200])
            rows.append((f"u{number:03d}", ts, rng.choice(TYPES), rng.randrange(3),
                         round(rng.uniform(1, 60), 1)))
    rng.shuffle(rows)
    rows.sort(key=lambda row: row[1])
    columns = list(zip(*rows))
    return pa.table({
        "user": columns[0], "ts": columns[1], "type": columns[2], "item": columns[3],
        "amount": columns[4], "eid": [f"e{n:05d}" for n in range(len(rows))],
        "unread": pa.array([1] * len(rows), pa.decimal128(5, 1)),
    })


def local_result(kind, table, **options):
    """The one-machine result, ties taken in id order as the engines take them."""
    import vashlet

    ordered = table.sort_by([("ts", "ascending"), ("eid", "ascending")])
    call = vashlet.match if kind == "match" else vashlet.explain
    rows = call(FUNNEL, ordered, partition="user", id="eid", **options).to_pylist()
    for row in rows:
        row.pop("match", None)
    return rows


def as_set(rows):
    return sorted(repr(sorted(row.items())) for row in rows)


def spark_session(**config):
    """A local[2] Spark session whose workers import vashlet as the driver does (from an in-tree
    build or an install), with `config` on top of the settings every test session has."""
    from pyspark.sql import SparkSession

    import vashlet

    package_root = os.path.dirname(os.path.dirname(vashlet.__file__))
    path = os.pathsep.join([package_root, os.environ.get("PYTHONPATH", "")])
    builder = (
        SparkSession.builder.master("local[2]")
        .config("spark.driver.memory", "1g")
        .config("spark.ui.enabled", "false")
        .config("spark.executorEnv.PYTHONPATH", path)
        .config("spark.pyspark.python", sys.executable)
    )
    for key, value in config.items():
        builder = builder.config(key, value)
    session = builder.getOrCreate()
    session.sparkContext.setLogLevel("ERROR")
    return session
