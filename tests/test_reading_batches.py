"""Tables read batch by batch: events are built only after the keys of every batch are sorted,
so the values they hold must outlive batches their producer has let go of, and a failure must
still be that of the first failing row in input order."""

import random

import pyarrow as pa
import pyarrow.compute as pc
import pytest

import vashlet

PARTITIONS = 40
LONG = "an item name too long to fit inside a short string "


def string_column(values, layout):
    if layout == "dictionary":
        return pa.array(values, pa.string()).dictionary_encode()
    return pa.array(values, getattr(pa, layout)())


def fresh_batches(layout, rows_per_batch=7):
    """A stream whose batches are made as they are asked for and dropped once handed over:
    arrival order, so each partition's events lie in several batches."""
    rows = []
    for step, typ in enumerate(["view", "noise", "cart"]):
        for p in range(PARTITIONS):
            rows.append((f"p{p:03d}", 10 * step + p % 3, typ, f"{LONG}{p}", f"other {p}"))
    schema = None

    def batches():
        for begin in range(0, len(rows), rows_per_batch):
            chunk = rows[begin:begin + rows_per_batch]
            yield pa.record_batch({
                "partition": pa.array([r[0] for r in chunk]),
                "ts": pa.array([r[1] for r in chunk], pa.int64()),
                "type": string_column([r[2] for r in chunk], layout),
                "item": string_column([r[3] for r in chunk], layout),
                "note": string_column([r[4] for r in chunk], layout),
            })

    schema = next(batches()).schema
    return pa.RecordBatchReader.from_batches(schema, batches())


@pytest.mark.parametrize("layout", ["string", "large_string", "string_view", "dictionary"])
@pytest.mark.parametrize("threads", [1, 2])
@pytest.mark.parametrize("text, captured", [
    ("view[item as $i] -> cart[item == $i]", {"i"}),
    # an atom of any type keeps the rows of every type, with their own type's text
    ("view[item as $i] -> *[note as $n] -> cart[item == $i]", {"i", "n"}),
])
def test_values_outlive_the_batches_they_came_in(layout, threads, text, captured):
    pattern = vashlet.pattern(text)
    found = vashlet.match(pattern, fresh_batches(layout), threads=threads).to_pylist()
    assert [row["partition"] for row in found] == [f"p{p:03d}" for p in range(PARTITIONS)]
    for p, row in enumerate(found):
        assert row["captures"]["i"] == f"{LONG}{p}"
        assert set(row["captures"]) == captured
        if "n" in captured:
            assert row["captures"]["n"] == f"other {p}"
    # the same events handed over in one table give the same matches
    table = pa.Table.from_batches(list(fresh_batches(layout)))
    assert vashlet.match(pattern, table, threads=threads).to_pylist() == found


def not_utf8(texts):
    data = b"".join(texts)
    offsets = [0]
    for text in texts:
        offsets.append(offsets[-1] + len(text))
    return pa.Array.from_buffers(
        pa.string(), len(texts), [None, pa.py_buffer(pa.array(offsets, pa.int32()).buffers()[1]),
                                  pa.py_buffer(data)])


@pytest.mark.parametrize("column, bad, message", [
    ("amount", pa.array([1, 2, 2**63 + 5], pa.uint64()),
     "column 'amount' holds 9223372036854775813 at row 2"),
    ("item", not_utf8([b"ok", b"ok", b"\xff\xfe"]), "column 'item'"),
])
@pytest.mark.parametrize("threads", [1, 2])
def test_an_attribute_failure_comes_before_a_later_batch_failure(column, bad, message, threads):
    # The first batch's attribute fails at row 2; the second batch has no timestamp at row 4.
    first = {
        "partition": pa.array(["a", "a", "b"]),
        "ts": pa.array([1, 2, 3], pa.int64()),
        "type": pa.array(["view", "cart", "view"]),
        "item": pa.array(["x", "y", "z"]),
        "amount": pa.array([1, 2, 3], pa.uint64()),
    }
    first[column] = bad
    second = dict(first, ts=pa.array([4, None, 6], pa.int64()), item=pa.array(["x", "y", "z"]),
                  amount=pa.array([1, 2, 3], pa.uint64()))
    batches = [pa.record_batch(first), pa.record_batch(second)]
    data = pa.RecordBatchReader.from_batches(batches[0].schema, iter(batches))
    with pytest.raises(ValueError) as caught:
        vashlet.match("view[item as $i, amount as $a] -> cart[item == $i]", data, threads=threads)
    assert message in str(caught.value)
    assert "row 2" in str(caught.value) and "'ts'" not in str(caught.value)


@pytest.mark.parametrize("partition_type", [pa.string(), pa.int64(), pa.large_string()])
def test_runs_of_one_partition_number_as_scattered_rows_do(partition_type):
    # 140,000 rows, sorted: long runs of one partition, some across the threads' slices; the
    # same rows scattered give the same partitions, in the same order.
    rows = 140_000
    users = [row * 37 // rows for row in range(rows)]  # 37 runs
    keys = [f"u{u:02d}" if partition_type != pa.int64() else 1000 - u for u in users]
    sorted_table = pa.table({
        "partition": pa.array(keys, partition_type),
        "ts": pa.array(range(rows), pa.int64()),
        "type": pa.array(["login" if row % 3 else "purchase" for row in range(rows)]),
    })
    scattered = sorted_table.take(pa.array([(row * 7919) % rows for row in range(rows)]))
    pattern = "login -[<=1]-> purchase"

    def found(table, threads):
        return [(row["partition"], row["start"], row["end"])
                for row in vashlet.match(pattern, table, threads=threads).to_pylist()]

    expected = found(scattered, 1)
    assert len({partition for partition, _, _ in expected}) == 37
    for threads in (1, 2):
        assert found(sorted_table, threads) == expected


@pytest.mark.parametrize("partition_type", [pa.string(), pa.int64()])
@pytest.mark.parametrize("later", [20_000, 70_000])  # one slice, or two on two threads
def test_partitions_numbered_across_slices_and_batches(partition_type, later):
    # A first batch large enough for two slices on two threads, its partitions interleaved, then
    # a batch of partitions old and new, the new ones met in each of its slices: the same matches
    # as when every batch is small.
    rng = random.Random(3)
    first = 140_000
    users = [rng.randrange(500) for _ in range(first)]
    users += [rng.randrange(400, 700) for _ in range(later)]
    keys = [f"u{u:03d}" if partition_type != pa.int64() else 5000 - u for u in users]
    table = pa.table({
        "partition": pa.array(keys, partition_type),
        "ts": pa.array(range(first + later), pa.int64()),
        "type": pa.array([rng.choice(["login", "purchase"]) for _ in users]),
    })
    two_batches = pa.Table.from_batches(
        [table.slice(0, first).combine_chunks().to_batches()[0],
         table.slice(first).combine_chunks().to_batches()[0]])
    small_batches = pa.Table.from_batches(table.to_batches(max_chunksize=1000))

    def found(data, threads):
        return [(row["partition"], row["start"], row["end"])
                for row in vashlet.match("login -> purchase", data, threads=threads).to_pylist()]

    expected = found(small_batches, 1)
    assert len({partition for partition, _, _ in expected}) == 700
    assert found(two_batches, 2) == expected
    assert found(table.combine_chunks(), 2) == expected


@pytest.mark.parametrize("threads", [1, 2])
@pytest.mark.parametrize("sizes", [
    [997] * 80 + [70_000],  # the first store grows batch by batch, then the rest is added
    [150_000],
    [1] + [65_535] + [2] + [84_462],  # batches ending either side of a store's boundary
])
def test_values_read_over_many_batches_stay_with_their_rows(threads, sizes):
    # Every login captures a value computed from its own row, so a value that went to another
    # row's place while the batches were stored shows as a wrong capture.
    rows = 150_000
    assert sum(sizes) <= rows
    row = pa.array(range(rows), pa.int64())
    table = pa.table({
        "partition": pa.array([f"u{r % 500}" for r in range(rows)]),
        "ts": row,
        "type": pa.array(["login" if (r // 500) % 2 == 0 else "purchase" for r in range(rows)]),
        "amount": pc.add(pc.multiply(row, 3), 1),
    })
    batches, begin = [], 0
    for size in sizes + [rows - sum(sizes)]:
        if size:
            batches.append(table.slice(begin, size).combine_chunks().to_batches()[0])
        begin += size
    data = pa.RecordBatchReader.from_batches(table.schema, batches)
    found = vashlet.match("login[amount as $a] -> purchase", data, threads=threads).to_pylist()
    assert len(found) == rows // 2
    for match in found:
        assert match["end"] == match["start"] + 500
        assert match["captures"]["a"] == match["start"] * 3 + 1
