"""The table path: `vashlet.match` from a table in arrival order to a result table, against the
peers on the same frame with their own sort included, and the per-row cost of reading tables.

Our results name input rows; the peers' queries name positions in event order, so each peer
run first orders the frame (DuckDB in SQL, pandas with a stable `sort_values`) and its answer
is mapped back to input rows before it is compared. DuckDB's mapping uses an array computed once
outside its timing, which can only flatter it.
"""

import numpy as np

import inputs
import peers
import vashlet
from table import Table, count, nanoseconds, rate, seconds
from timing import median_seconds, medians_in_turns

FUNNEL_QUERIES = (
    ("first successor", False, "funnel_first_successor"),
    ("exhaustive", True, "funnel_exhaustive"),
)
RATIO_NOTE = "peer/ours: the peer's seconds divided by ours (above 1: vashlet is faster)"


def row_sets(result):
    """A result table's matches as a set of input-row tuples."""
    return {tuple(row["rows"]) for row in result.to_pylist()}


def sources(rows, columns=inputs.FUNNEL_COLUMNS):
    """The events of `rows` (in their order) as a pandas frame, a pyarrow Table (one batch, and
    batches of 65,536 rows as a file's row groups give them) and a polars DataFrame, each with the
    columns partition, ts, type and the attributes of `columns`."""
    frame = inputs.make_frame(rows, columns).drop(columns="idx")
    frame = frame.rename(columns={"p": "partition", "typ": "type"})
    made = {"pandas DataFrame": frame}
    try:
        import pyarrow as pa

        made["pyarrow Table"] = pa.Table.from_pandas(frame, preserve_index=False)
        made["pyarrow batches"] = pa.Table.from_batches(
            made["pyarrow Table"].to_batches(max_chunksize=65_536))
    except ImportError:
        pass
    try:
        import polars as pl

        made["polars DataFrame"] = pl.from_pandas(frame)
    except ImportError:
        pass
    return made


class SortingPeers(peers.PeerQueries):
    """The peers' queries over a frame in arrival order (`idx` = input row), each run ordering
    the events itself and answering in input rows."""

    def __init__(self, loaded, rows, columns=inputs.FUNNEL_COLUMNS):
        self.loaded = loaded
        self.frame = inputs.make_frame(rows, columns)
        ordered = self.frame.sort_values(["p", "ts", "idx"], kind="stable")
        self.rows_in_event_order = ordered["idx"].to_numpy()
        self.duckdb = None
        if not isinstance(loaded.get("duckdb"), str):
            import duckdb

            self.duckdb = duckdb.connect()
            self.duckdb.register("raw", self.frame)
            attributes = "".join(f"{name}, " for name in columns)
            self.duckdb.execute(
                f"CREATE VIEW events AS SELECT p, ts, typ, {attributes}"
                "row_number() OVER (ORDER BY p, ts, idx) - 1 AS idx FROM raw"
            )

    def duckdb_case(self, sql):
        def run():
            return in_rows(self.duckdb.execute(sql).df(), self.rows_in_event_order)

        return run

    def pandas_case(self, query):
        def run():
            ordered = self.frame.sort_values(["p", "ts"], kind="stable")
            rows = ordered["idx"].to_numpy()
            return in_rows(query(ordered.assign(idx=np.arange(len(ordered)))), rows)

        return run


def in_rows(found, rows):
    """Index columns (positions in event order) mapped to input rows."""
    return found.apply(lambda column: rows[column.to_numpy(dtype=np.int64)])


def end_to_end(shared, loaded, repeats):
    sizes = shared.sizes
    arrival = inputs.arrival_order(shared.rows)
    table = Table(
        "tables, end to end",
        ["mode", "input", "rows", "matches", "seconds", "rows/s"] + peers.columns(peers.NAMES),
        [
            f"the funnel's {sizes.funnel_events:,} events in arrival order (partitions "
            "interleaved by time) to a result table: vashlet.match(pattern, data), sorting "
            "included",
            "the peers run on the pandas frame, their own sort included, answering in input rows",
        ],
    )
    made = sources(arrival)
    sorting_peers = SortingPeers(loaded, arrival)
    pattern = vashlet.parse_pattern(inputs.FUNNEL_TEXT)
    for mode, exhaustive, query in FUNNEL_QUERIES:
        ours = {label: (lambda data=data: vashlet.match(pattern, data, exhaustive=exhaustive))
                for label, data in made.items()}
        found = None
        for label, run in ours.items():
            result = row_sets(run())
            if found is None:
                found = result
            elif result != found:
                raise AssertionError(f"{mode}: the {label} gave other matches than the first "
                                     "input")
        timed, measured = in_turns_with_peers(table, mode, ours, sorting_peers.cases(query),
                                              found, repeats)
        for label in made:
            our_seconds = timed[label]
            cells = [mode, label, count(len(arrival)), count(len(found)), seconds(our_seconds),
                     rate(len(arrival) / our_seconds)]
            for name in peers.NAMES:
                cells += peers.cells(measured[name], our_seconds)
            table.add_row(cells)
    sorting_peers.close()
    table.note("timed in turns: each round runs every input of ours and every peer query twice "
               "in a row, timing the second")
    table.note(RATIO_NOTE)
    return table


def in_turns_with_peers(table, case, ours, cases, found, repeats):
    """Our runs (label -> callable, each checked already) and every peer formulation of `cases`
    that answers `found`, timed in turns: our medians by label, and per peer what peers.cells
    takes (its fastest formulation's median, or the cells that say why it has none)."""
    runs = {("ours", label): run for label, run in ours.items()}
    measured = {}
    for name in peers.NAMES:
        variants = peers.checked(table, case, name, cases[name], found)
        if isinstance(variants, list):
            measured[name] = variants
        else:
            runs.update({(name, variant): run for variant, run in variants.items()})
    timed = {key: median for key, (median, _) in medians_in_turns(runs, repeats).items()}
    for name in peers.NAMES:
        if name not in measured:
            measured[name] = peers.fastest(table, case, name, {
                variant: value for (who, variant), value in timed.items() if who == name})
    return {label: timed[("ours", label)] for label in ours}, measured


def _one_partition(table, shared_sizes, loaded, repeats, make_rows, text, query, columns):
    """Rows of a table for one-partition inputs of each size: ours through a pyarrow Table,
    then each peer with its sort."""
    for size in shared_sizes:
        rows = make_rows(size)
        data = sources(rows, columns).get("pyarrow Table")
        if data is None:
            table.note("n/a: pyarrow is not installed")
            return
        def ours():
            return vashlet.match(text, data)

        found = row_sets(ours())
        sorting_peers = SortingPeers(loaded, rows, columns)
        timed, measured = in_turns_with_peers(table, f"{size:,} events", {"ours": ours},
                                              sorting_peers.cases(query), found, repeats)
        sorting_peers.close()
        our_seconds = timed["ours"]
        cells = [count(size), count(len(found)), seconds(our_seconds), rate(size / our_seconds)]
        for name in peers.NAMES:
            cells += peers.cells(measured[name], our_seconds)
        table.add_row(cells)
    table.note("the peers sort too (the input is already in order, which they cannot know)")
    table.note("timed in turns: each round runs ours and every peer query twice in a row, "
               "timing the second")
    table.note(RATIO_NOTE)


def pileup(shared, loaded, repeats):
    table = Table(
        "pile-up, through the table path",
        ["events", "matches", "seconds", "events/s"] + peers.columns(peers.NAMES),
        ["A -> B over a pyarrow Table of one partition (see pile-up above): "
         "vashlet.match(pattern, table) to a result table"],
    )
    _one_partition(table, shared.sizes.pileup_events, loaded, repeats, inputs.pileup_rows,
                   "A -> B", "pileup_first_successor", {})
    return table


def correlated(shared, loaded, repeats):
    table = Table(
        "correlated, through the table path",
        ["events", "matches", "seconds", "events/s"] + peers.columns(peers.NAMES),
        [f"{inputs.CORRELATED_TEXT} over a pyarrow Table of one partition, one user per 10 "
         "events (see correlated above): vashlet.match(pattern, table) to a result table"],
    )
    _one_partition(table, shared.sizes.correlated_events, loaded, repeats,
                   lambda size: inputs.correlated_rows(size, size // 10), inputs.CORRELATED_TEXT,
                   "correlated_first_successor", inputs.CORRELATED_COLUMNS)
    return table


def reading(shared, loaded, repeats):
    """What a table costs per row on its way into the core, and per result on its way out."""
    arrival = inputs.arrival_order(shared.rows)
    n = len(arrival)
    table = Table(
        "tables, per row",
        ["step", "input", "rows", "seconds", "ns/row"],
        [f"the funnel's {n:,} events in arrival order"],
    )
    made = sources(arrival)
    pattern = vashlet.parse_pattern(inputs.FUNNEL_TEXT)
    for label, data in made.items():
        def read():
            return vashlet._core._read_table(pattern, data.__arrow_c_stream__(), "partition",
                                             "ts", "type")

        spent, _ = median_seconds(read, repeats)
        table.add_row(["reading and sorting the funnel's columns", label, count(n),
                       seconds(spent), nanoseconds(spent / n)])
    # The same columns and rows, and a pass of the matcher that starts nothing.
    never = vashlet.parse_pattern(inputs.FUNNEL_TEXT.replace("view[item as $i]",
                                                             "view[item as $i, item < 0]"))
    for label, data in made.items():
        spent, result = median_seconds(lambda: vashlet.match(never, data), repeats)
        assert len(result) == 0
        table.add_row(["... and matching with no start", label, count(n), seconds(spent),
                       nanoseconds(spent / n)])
    if "pandas DataFrame" in made:
        # Six columns more that the pattern does not read, as frames carry them: only the
        # columns read are handed on, so the frame costs what the narrow one does.
        frame = made["pandas DataFrame"]
        wide = frame.assign(**{f"score{k}": np.linspace(0.0, 1.0, n) for k in range(4)},
                            **{f"label{k}": frame["partition"] + f"/{k}" for k in range(2)})
        spent, _ = median_seconds(lambda: vashlet.match(never, wide), repeats)
        table.add_row(["... the same, the frame with six columns more", "pandas DataFrame",
                       count(n), seconds(spent), nanoseconds(spent / n)])
    if "pyarrow Table" in made:
        import pyarrow as pa

        data = made["pyarrow Table"]
        every = data.set_column(2, "type", pa.array(["view"] * n))
        nothing = vashlet.parse_pattern("view[item as $i, amount < 0.0]")
        spent, _ = median_seconds(lambda: vashlet.match(nothing, every), repeats)
        table.add_row(["reading, every row an event of the pattern (no start)", "pyarrow Table",
                       count(n), seconds(spent), nanoseconds(spent / n)])
        everything = vashlet.parse_pattern("view[item as $i]")
        all_seconds, result = median_seconds(lambda: vashlet.match(everything, every), repeats)
        assert len(result) == n
        table.add_row(["result rows (a match per row, minus the row above)", "pyarrow Table",
                       count(n), seconds(all_seconds - spent), nanoseconds((all_seconds - spent) / n)])
        export_seconds, _ = median_seconds(lambda: pa.table(result), repeats)
        table.add_row(["pyarrow.table(result)", "pyarrow Table", count(n), seconds(export_seconds),
                       nanoseconds(export_seconds / n)])
        del result
    table.note("reading and sorting: the native reader alone (vashlet._core._read_table), the "
               "events of the pattern's types with the attributes it reads, in event order")
    table.note("with no start: vashlet.match with the funnel pattern whose first step never holds")
    table.note("the pandas row includes pandas' own export through the Arrow interface")
    return table
