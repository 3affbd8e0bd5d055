"""The near-miss table of a chain pattern holds the same rows whatever the layout of the input:
partitions as strings or integers, rows named by position or by an id column, one thread (whose
part is sized from the type numbers) or several, and types the pattern does not name."""

import functools
import random

import numpy as np
import pyarrow as pa
import pytest

import vashlet

PATTERN = ("view[item as $i] -[<=900]-> cart[item == $i] "
           "-[<=3600, no remove[item == $i]]-> purchase[item == $i, amount >= 20.0]")


def events(count=3000, partitions=7, seed=5):
    rng = random.Random(seed)
    types = ["view", "view", "cart", "purchase", "remove", "other"]
    rows = []
    ts = {p: 0 for p in range(partitions)}
    for _ in range(count):
        p = rng.randrange(partitions)
        ts[p] += rng.choice([0, 60, 300, 1200])
        rows.append((p, ts[p], rng.choice(types), rng.randrange(3), round(rng.uniform(1, 40), 1)))
    return rows


def table(rows, partition_kind, ids):
    columns = {
        "partition": [f"p{r[0]}" if partition_kind == "string" else r[0] for r in rows],
        "ts": pa.array([r[1] for r in rows], pa.int64()),
        "type": [r[2] for r in rows],
        "item": pa.array([r[3] for r in rows], pa.int64()),
        "amount": [r[4] for r in rows],
    }
    if ids:
        columns["eid"] = [f"e{n}" for n in range(len(rows))]
    return pa.table(columns)


def canonical(misses, id_of):
    """Rows with input references as positions and partitions as text, in start order."""
    out = []
    for miss in misses:
        miss = dict(miss)
        for key in ("start_row", "event_row", "candidate_row", "blocking_row"):
            if miss[key] is not None:
                miss[key] = id_of(miss[key])
        miss["rows"] = [id_of(row) for row in miss["rows"]]
        miss["partition"] = str(miss["partition"]).lstrip("p")
        out.append(miss)
    return sorted(out, key=lambda miss: miss["start_row"])


@pytest.mark.parametrize("partition_kind", ["string", "integer"])
@pytest.mark.parametrize("ids", [False, True])
@pytest.mark.parametrize("threads", [1, 3])
def test_same_near_misses_for_every_layout(partition_kind, ids, threads):
    rows = events()
    expected = canonical(vashlet.explain(PATTERN, table(rows, "string", False)).to_pylist(),
                         lambda row: row)
    assert any(miss["reason"] == "predicate_failed" for miss in expected)
    assert any(miss["reason"] == "absence_blocked" for miss in expected)
    got = vashlet.explain(PATTERN, table(rows, partition_kind, ids), threads=threads,
                          id="eid" if ids else None).to_pylist()
    id_of = (lambda row: int(row[1:])) if ids else (lambda row: row)
    assert canonical(got, id_of) == expected


@pytest.mark.parametrize("kind", [pa.string(), pa.large_string(), pa.string_view()])
@pytest.mark.parametrize("name", ["p{}", "a partition whose name runs long {}", "{}"])
def test_each_near_miss_names_the_partition_of_its_start(kind, name):
    rows = events()
    data = table(rows, "string", False)
    names = pa.array([name.format(r[0]) for r in rows], kind)
    data = data.set_column(0, "partition", names)
    misses = pa.table(vashlet.explain(PATTERN, data))
    assert misses.schema.field("partition").type == kind
    partitions = names.to_pylist()
    starts = misses["start_row"].to_pylist()
    assert misses["partition"].to_pylist() == [partitions[s] for s in starts]
    # The steps' types and the reasons, written from a few texts, read back as each row's own.
    steps = ["view", "cart", "purchase"]
    reached = misses["reached_steps"].to_pylist()
    assert misses["next_event_type"].to_pylist() == [steps[n] for n in reached]
    assert set(misses["reason"].to_pylist()) == {
        "predicate_failed", "absence_blocked", "window_exceeded", "no_successor"}


WIDE_PATTERN = ("view[item as $i, tag as $t, amount as $a] -[<=900]-> cart[item == $i, tag == $t] "
                "-[<=3600, no remove[item == $i]]-> purchase[item == $i, amount >= $a]")


@functools.lru_cache(maxsize=None)
def wide_rows(count):
    return events(count=count, partitions=8000, seed=11)


@functools.lru_cache(maxsize=None)
def wide_table(partition_kind, ids):
    """Enough near misses that their table is written in several slices of rows, with nulls,
    text and float captures, and failed clauses that bind values of every kind."""
    per_slice = vashlet._core._tuning()["table_rows_per_slice"]
    rows = wide_rows(per_slice * 24)
    data = table(rows, "string", ids == "string")
    data = data.set_column(3, "item", pa.array(
        [None if n % 97 == 0 else r[3] for n, r in enumerate(rows)], pa.int64()))
    data = data.append_column("tag", pa.array([f"t{r[3] + r[0] % 2}" for r in rows]))
    if partition_kind == "integer":
        data = data.set_column(0, "partition", pa.array([r[0] for r in rows], pa.int16()))
    elif partition_kind == "large":
        data = data.set_column(0, "partition", pa.array([f"p{r[0]}" for r in rows],
                                                        pa.large_string()))
    if ids == "integer":
        data = data.append_column("eid", pa.array(range(5, 5 + len(rows)), pa.int32()))
    return data, per_slice


@pytest.mark.parametrize("partition_kind", ["string", "integer", "large"])
@pytest.mark.parametrize("ids", [None, "string", "integer"])
def test_near_miss_table_is_the_same_on_every_thread_count(partition_kind, ids):
    data, per_slice = wide_table(partition_kind, ids)
    id_column = "eid" if ids else None
    one = pa.table(vashlet.explain(WIDE_PATTERN, data, threads=1, id=id_column))
    assert one.num_rows > 3 * per_slice
    failures = pa.concat_arrays([chunk.flatten() for chunk in one["failures"].chunks])
    assert len(failures) > 2 * per_slice
    assert set(one["reason"].to_pylist()) == {
        "predicate_failed", "absence_blocked", "window_exceeded", "no_successor"}
    assert one["captures"].null_count == 0 and one["captures"].combine_chunks().field("i").null_count
    for threads in (2, 5):
        many = pa.table(vashlet.explain(WIDE_PATTERN, data, threads=threads, id=id_column))
        assert many.schema == one.schema
        assert many.equals(one), threads


@pytest.mark.parametrize("per", ["start", "partition"])
def test_funnel_near_misses_are_the_same_on_every_thread_count(per):
    data, _ = wide_table("string", None)
    one = vashlet.funnel(WIDE_PATTERN, data, threads=1, per=per)
    many = vashlet.funnel(WIDE_PATTERN, data, threads=4, per=per)
    assert many.example_misses == one.example_misses
    assert many.summary == one.summary and many.starts == one.starts


def repeated_view(text, count):
    """`count` string views of one long text, all sharing its bytes."""
    views = np.zeros((count, 4), np.int32)
    views[:, 0] = len(text)
    views[:, 1] = np.frombuffer(text[:4], np.int32)[0]
    return pa.Array.from_buffers(pa.string_view(), count,
                                 [None, pa.py_buffer(views.tobytes()), pa.py_buffer(text)])


def test_view_partitions_past_two_gibibytes_stay_whole():
    # Every result names the one partition, 4 MiB long: 2.1 GiB of text in all, past the reach
    # of a view's 32-bit offset into one buffer.
    key = b"abcdefgh" * (1 << 19) + b"end"
    count = (1 << 31) // len(key) + 16
    data = pa.table({"partition": repeated_view(key, count), "ts": pa.array(range(count)),
                     "type": ["a"] * count})
    partitions = pa.table(vashlet.explain("a -> b", data))["partition"]
    assert len(partitions) == count
    for chunk in partitions.chunks:
        chunk.validate(full=True)
    assert {partitions[n].as_py() for n in (0, count // 2, count - 1)} == {key.decode()}
