"""Counting a funnel per partition: which near misses stand for the partitions that never
completed. A partition with more starts than near misses has a start with a complete path; every
other partition counts at its deepest near miss (the first of them, in input order)."""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from vashlet._tables import NearMissTable

PER_CHOICES = ("start", "partition")


def check_per(per: object) -> None:
    if not isinstance(per, str) or per not in PER_CHOICES:
        raise ValueError(f"per must be 'start' or 'partition', not {per!r}")


def deepest_per_partition(
    misses: NearMissTable, starts: dict[Any, int], depth: str = "reached_steps"
) -> list[int]:
    """Positions in `misses`, ascending, of one near miss per partition that has no complete
    path: the first of its deepest, by the column `depth` (``element`` for a language
    pattern). `starts` holds the number of starts of each partition."""
    try:
        import pyarrow  # noqa: F401
    except ImportError:
        return _deepest_by_rows(misses, starts, depth)
    return _deepest_by_columns(misses, starts, depth)


def _deepest_by_rows(
    misses: NearMissTable, starts: dict[Any, int], depth: str = "reached_steps"
) -> list[int]:
    counts: dict[Any, int] = {}
    deepest: dict[Any, tuple[int, int]] = {}  # partition -> (reached_steps, position)
    for position, miss in enumerate(misses.to_pylist()):
        partition = miss["partition"]
        counts[partition] = counts.get(partition, 0) + 1
        known = deepest.get(partition)
        if known is None or miss[depth] > known[0]:
            deepest[partition] = (miss[depth], position)
    return sorted(
        position
        for partition, (_, position) in deepest.items()
        if counts[partition] >= starts.get(partition, 0)
    )


def _deepest_by_columns(
    misses: NearMissTable, starts: dict[Any, int], depth: str = "reached_steps"
) -> list[int]:
    """As `_deepest_by_rows`, in a few passes over the columns: one key per near miss orders
    deeper first, then earlier, so that its maximum per partition names the chosen one."""
    import pyarrow as pa
    import pyarrow.compute as pc

    total = len(misses)
    if not total:
        return []
    table = misses._to_pyarrow().select(["partition", depth])
    reached = table[depth].combine_chunks()
    partitions = pc.dictionary_encode(table["partition"]).combine_chunks()
    try:
        import numpy as np
    except ImportError:
        later = pa.array(range(total - 1, -1, -1), pa.int64())
        key = pc.add(pc.multiply(reached, pa.scalar(total, pa.int64())), later)
        grouped = (
            pa.table({"partition": partitions.indices, "key": key})
            .group_by("partition")
            .aggregate([("key", "max"), ("key", "count")])
            .to_pydict()
        )
        codes, best, counts = grouped["partition"], grouped["key_max"], grouped["key_count"]
    else:  # numpy spares the group_by its import of pyarrow's query engine
        indices = partitions.indices.to_numpy(zero_copy_only=False)
        key = reached.to_numpy(zero_copy_only=False) * total + np.arange(total - 1, -1, -1)
        best_by_code = np.full(len(partitions.dictionary), -1, dtype=np.int64)
        np.maximum.at(best_by_code, indices, key)
        counts_by_code = np.bincount(indices, minlength=len(partitions.dictionary))
        codes = range(len(partitions.dictionary))
        best, counts = best_by_code.tolist(), counts_by_code.tolist()
    values = partitions.dictionary.to_pylist()
    return sorted(
        total - 1 - best[at] % total
        for at, code in enumerate(codes)
        if counts[at] >= starts.get(values[code], 0)
    )
