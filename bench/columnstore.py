"""The column-store scenario: three questions an analyst asks of the funnel input (a pyarrow
Table in arrival order), answered by vashlet and by an in-process column store's sequence
functions and joins, in one process. Each answer is checked equal to ours before its time is
shown; why they must be equal is written next to each query in `peer_columnstore.py`."""

import os

import inputs
import vashlet
from table import Table, count, ratio, seconds
from timing import median_seconds

INSTALL = "pip install '.[bench]'"


def load():
    """The peer module, or the reason it is missing."""
    try:
        import peer_columnstore
    except ImportError:
        return f"chdb is not installed ({INSTALL})"
    return peer_columnstore


def events_table(rows):
    """The rows as a pyarrow Table (partition, ts, type, item, amount), with the input row number
    as `row` for the column store's tie-break (vashlet reads neither `row` nor its order)."""
    import pyarrow as pa

    columns = {name: [] for name in ("partition", "ts", "type", "item", "amount")}
    for partition, ts, typ, attrs in rows:
        columns["partition"].append(partition)
        columns["ts"].append(ts)
        columns["type"].append(typ)
        columns["item"].append(attrs["item"])
        columns["amount"].append(attrs["amount"])
    table = pa.table(
        {
            "partition": pa.array(columns["partition"], pa.string()),
            "ts": pa.array(columns["ts"], pa.int64()),
            "type": pa.array(columns["type"], pa.string()),
            "item": pa.array(columns["item"], pa.int64()),
            "amount": pa.array(columns["amount"], pa.float64()),
        }
    )
    return table.append_column("row", pa.array(range(len(rows)), pa.int64()))


def tie_scale(rows):
    """The key scale M (a power of two above the number of rows), after checking that the rows
    are in arrival order, which the scaled windows rely on."""
    if any(later[1] < earlier[1] for earlier, later in zip(rows, rows[1:])):
        raise SystemExit("columnstore: the input is not in arrival order")
    return 1 << max(len(rows), 1).bit_length()


def _partitions_of(result):
    import pyarrow as pa

    return set(pa.table(result)["partition"].to_pylist())


def _levels_of_funnel(funnel, partitions):
    """{deepest level: partitions} of a per-partition funnel: no start is level 0, a partition
    that stopped at step k took k steps, a matched one took them all."""
    levels = {0: partitions - funnel.starts, len(funnel.steps): funnel.matched}
    for step in funnel.steps:
        if step.stopped:
            levels[step.step] = step.stopped
    return {level: n for level, n in levels.items() if n}


def _row_triples(result):
    import pyarrow as pa

    return {tuple(rows) for rows in pa.table(result)["rows"].to_pylist()}


def scenario(shared, loaded, repeats):
    peer = load()
    rows = inputs.arrival_order(shared.rows)
    n_partitions = len({row[0] for row in rows})
    table = Table(
        "column store: the funnel input as a pyarrow Table in arrival order",
        ["question", "answer", "vashlet s", "column store s", "column store/ours"],
        [
            f"{len(rows):,} events, {n_partitions:,} partitions; both on their default threads "
            "(all cores), one process, the same Table",
            f"chain: {getattr(peer, 'CHAIN_TEXT', '')}",
            f"captures: {inputs.FUNNEL_TEXT}",
        ],
    )
    if isinstance(peer, str):
        table.note(f"column store n/a: {peer}")
        return table
    events = events_table(rows)
    m = tie_scale(rows)
    chain = vashlet.parse_pattern(peer.CHAIN_TEXT)
    captures = vashlet.parse_pattern(inputs.FUNNEL_TEXT)
    column_store = peer.Peer(events)
    questions = [
        (
            "partitions with the chain",
            lambda: vashlet.match(chain, events, exhaustive=True),
            _partitions_of,
            "chain",
            lambda result: set(result["partition"].to_pylist()),
            lambda answer: f"{count(len(answer))} partitions",
        ),
        (
            "deepest step per partition",
            lambda: vashlet.funnel(chain, events, per="partition"),
            lambda funnel: _levels_of_funnel(funnel, n_partitions),
            "deepest",
            lambda result: dict(zip(*result.to_pydict().values())),
            lambda answer: " ".join(f"{level}:{n:,}" for level, n in sorted(answer.items())),
        ),
        (
            "funnel with captures",
            lambda: vashlet.match(captures, events),
            _row_triples,
            "captures",
            lambda result: set(zip(*result.to_pydict().values())),
            lambda answer: f"{count(len(answer))} matches",
        ),
    ]
    for question, ours, our_answer, name, their_answer, shown in questions:
        our_seconds, result = median_seconds(ours, repeats)
        answer = our_answer(result)
        timed = {}
        for label, sql in peer.QUERIES[name].items():
            theirs = column_store.query(sql(m))
            if their_answer(theirs()) != answer:
                table.note(f"column store ({label}) DIFFERS on {question} (time not reported)")
                continue
            timed[label] = median_seconds(theirs, repeats)[0]
        cells = [question, shown(answer), seconds(our_seconds)]
        if timed:
            label = min(timed, key=timed.get)
            cells += [f"{seconds(timed[label])} ({label})", ratio(timed[label] / our_seconds)]
        else:
            cells += ["differs", "-"]
        table.add_row(cells)
    column_store.close()
    table.note(f"column store: chdb {peer.VERSION}, {peer.threads()} threads; vashlet: "
               f"{len(os.sched_getaffinity(0))} threads")
    table.note(
        "ties: the column store orders a partition's events by input row (joins) or by "
        f"ts * M + row (M = {m:,}; sequence functions, windows scaled); see peer_columnstore.py"
    )
    table.note("column store/ours: its seconds divided by ours (above 1: vashlet is faster)")
    return table
