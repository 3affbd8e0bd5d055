"""The funnel on Spark local[2] and on Dask with 2 worker processes, beside vashlet.match on one
machine: what each engine costs on an input that one machine handles easily.

    python bench/scaleout.py            # 1,000,000 events in 10,000 partitions
    python bench/scaleout.py --quick    # a tenth of that

Each engine reads the events from memory it already holds (a cached Spark DataFrame, a
persisted Dask DataFrame), so the times are the shuffle, the sort and the matching, collected
to the driver. The session and the cluster are started before timing.
"""

import argparse
import os
import sys
import time

import pyarrow as pa

sys.path.insert(0, os.path.dirname(__file__))

from inputs import FUNNEL_TEXT, arrival_order, funnel_rows  # noqa: E402
from table import Table, count, rate, ratio, seconds  # noqa: E402
from timing import median_seconds  # noqa: E402

import vashlet  # noqa: E402


def events_table(rows):
    rows = arrival_order(rows)
    return pa.table({
        "partition": [row[0] for row in rows],
        "ts": [row[1] for row in rows],
        "type": [row[2] for row in rows],
        "item": [row[3]["item"] for row in rows],
        "amount": [row[3]["amount"] for row in rows],
        "eid": list(range(len(rows))),
    })


def spark_runs(table, repeats):
    from pyspark.sql import SparkSession

    import vashlet.spark
    from vashlet.spark import _run
    from vashlet._inputs import Columns
    from vashlet._scaleout import Plan

    root = os.path.dirname(os.path.dirname(vashlet.__file__))
    spark = (
        SparkSession.builder.master("local[2]")
        .config("spark.sql.shuffle.partitions", "4")
        .config("spark.driver.memory", "2g")
        .config("spark.ui.enabled", "false")
        .config("spark.executorEnv.PYTHONPATH", root)
        .getOrCreate()
    )
    spark.sparkContext.setLogLevel("ERROR")
    frame = spark.createDataFrame(table.to_pandas()).repartition(4).cache()
    frame.count()
    plan = lambda: Plan(FUNNEL_TEXT, Columns(id="eid"), explain=False)  # noqa: E731
    results = {}
    for label, grouped in (("repartition + mapInArrow", False), ("groupBy + applyInArrow", True)):
        elapsed, rows = median_seconds(lambda: _run(frame, plan(), grouped).collect(), repeats)
        results[label] = (elapsed, len(rows))
    spark.stop()
    return results


def dask_runs(table, repeats):
    import dask.dataframe as dd
    from distributed import Client, LocalCluster

    import vashlet.dask

    os.environ["PYTHONPATH"] = os.pathsep.join(
        [os.path.dirname(os.path.dirname(vashlet.__file__)), os.environ.get("PYTHONPATH", "")]
    )
    with LocalCluster(n_workers=2, threads_per_worker=1, dashboard_address=None) as cluster:
        with Client(cluster):
            frame = dd.from_pandas(table.to_pandas(), npartitions=4).persist()
            elapsed, rows = median_seconds(
                lambda: vashlet.dask.match(FUNNEL_TEXT, frame, id="eid").compute(), repeats
            )
    return {"shuffle + map_partitions": (elapsed, len(rows))}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="inputs a tenth the size")
    args = parser.parse_args()
    events, partitions = (100_000, 1_000) if args.quick else (1_000_000, 10_000)
    repeats = 3
    table = events_table(funnel_rows(events, partitions))

    one, result = median_seconds(lambda: vashlet.match(FUNNEL_TEXT, table, id="eid"), repeats)
    rows = [("vashlet.match", "one process", one, len(result))]
    started = time.perf_counter()
    for label, (elapsed, found) in spark_runs(table, repeats).items():
        rows.append(("Spark local[2]", label, elapsed, found))
    for label, (elapsed, found) in dask_runs(table, repeats).items():
        rows.append(("Dask, 2 workers", label, elapsed, found))

    out = Table(
        "scale-out: funnel",
        ["engine", "operator", "events", "matches", "seconds", "events/s", "vs match"],
        [f"{count(events)} events, {count(partitions)} partitions; pattern: {FUNNEL_TEXT}"],
    )
    for engine, operator, elapsed, found in rows:
        out.add_row([engine, operator, count(events), count(found), seconds(elapsed),
                     rate(events / elapsed), ratio(elapsed / one)])
    out.note(f"median of {repeats} runs; inputs held by each engine before timing")
    out.note("Spark: spark.sql.shuffle.partitions=4; Dask: 4 input partitions")
    out.note(f"engines started and warmed in {time.perf_counter() - started:.0f} s in all")
    out.note("vs match: the engine's seconds divided by vashlet.match's on one machine")
    if len({found for *_, found in rows}) != 1:
        out.note("the engines found different numbers of matches: a fault")
    print(f"# vashlet scale-out ({'quick' if args.quick else 'full'})")
    print(out.render())


if __name__ == "__main__":
    main()
