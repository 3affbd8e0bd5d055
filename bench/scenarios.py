"""The benchmark scenarios. Each builds its inputs (or borrows the shared funnel input), times
vashlet, checks and times the peers, and returns a table."""

import json
from dataclasses import dataclass
from functools import cached_property

import columnstore
import inputs
import language
import near_misses
import ours
import peers
import stream
import tables
import vashlet
from table import Table, count, nanoseconds, rate, ratio, seconds
from timing import median_seconds

PEER_COLUMNS = peers.columns(peers.NAMES)
FUNNEL_THREADS = (1, 2)  # vashlet's `threads` in the funnel; the other scenarios use one
RATIO_NOTE = "peer/ours: the peer's seconds divided by ours (above 1: vashlet is faster)"


@dataclass(frozen=True)
class Sizes:
    funnel_events: int
    funnel_partitions: int
    pileup_events: tuple
    correlated_events: tuple
    repeats: int


FULL = Sizes(
    1_000_000, 10_000, (50_000, 100_000, 200_000, 400_000), (50_000, 100_000, 200_000, 400_000), 7
)
QUICK = Sizes(100_000, 1_000, (5_000, 10_000, 20_000, 40_000), (5_000, 10_000, 20_000, 40_000), 3)
CORRELATED_EVENTS_PER_USER = 10


class FunnelInput:
    """The funnel events, shared by the funnel, conversion and near-miss scenarios."""

    def __init__(self, sizes):
        self.sizes = sizes

    @cached_property
    def rows(self):
        return inputs.funnel_rows(self.sizes.funnel_events, self.sizes.funnel_partitions)

    @cached_property
    def events(self):
        return inputs.make_events(self.rows)


def _duckdb_notes(table, loaded):
    duckdb_peer = loaded["duckdb"]
    if isinstance(duckdb_peer, str):
        return
    reason = duckdb_peer.match_recognize_support()
    if reason:
        table.note(f"duckdb: {reason}; the queries use joins and window functions instead")
    table.note(f"duckdb runs {duckdb_peer.threads()} threads (its default); pandas runs on one "
               "core, vashlet on the threads shown (one where no column says otherwise)")


def _matching_row(table, case, labels, events, our_run, cases, repeats):
    """One row: `labels` (the leading cells), then matches, seconds and events/s of ours, then
    the cells of each peer."""
    our_seconds, matches = median_seconds(our_run, repeats)
    found = ours.index_set(matches)
    del matches
    cells = labels + [count(len(found)), seconds(our_seconds), rate(events / our_seconds)]
    for name in peers.NAMES:
        cells += peers.compare(table, case, name, cases[name], found, our_seconds, repeats)
    table.add_row(cells)


def funnel(shared, loaded, repeats):
    sizes = shared.sizes
    table = Table(
        "funnel",
        ["mode", "threads", "events", "matches", "seconds", "events/s", "matching s"]
        + PEER_COLUMNS,
        [
            f"{sizes.funnel_events:,} events, {sizes.funnel_partitions:,} partitions, "
            f"{len(inputs.FUNNEL_TYPES)} event types; match_events on a prebuilt, sorted Event "
            "list (conversion: see below)",
            f"pattern: {inputs.FUNNEL_TEXT}",
        ],
    )
    queries = peers.PeerQueries(loaded, shared.rows)
    n = len(shared.events)
    for case, exhaustive, query in (
        ("first successor", False, "funnel_first_successor"),
        ("exhaustive", True, "funnel_exhaustive"),
    ):
        # Ours on each thread count (the same matches on each), then each peer once.
        timed, matching = {}, {}
        for threads in FUNNEL_THREADS:
            our_run = ours.matcher(inputs.FUNNEL_TEXT, shared.events, exhaustive, threads)
            our_seconds, matches = median_seconds(our_run, repeats)
            timed[threads] = (our_seconds, ours.index_set(matches))
            del matches
            matching[threads] = ours.matching_seconds(
                inputs.FUNNEL_TEXT, shared.events, exhaustive, threads, repeats)
        found = timed[FUNNEL_THREADS[0]][1]
        if any(result != found for _, result in timed.values()):
            raise SystemExit(f"funnel {case}: the thread counts found different matches")
        cases = queries.cases(query)
        measured = {name: peers.measure(table, case, name, cases[name], found, repeats)
                    for name in peers.NAMES}
        for threads, (our_seconds, _) in timed.items():
            row = [case, str(threads), count(n), count(len(found)), seconds(our_seconds),
                   rate(n / our_seconds), seconds(matching[threads])]
            for name in peers.NAMES:
                row += peers.cells(measured[name], our_seconds)
            table.add_row(row)
        one, many = timed[FUNNEL_THREADS[0]][0], timed[FUNNEL_THREADS[-1]][0]
        table.note(f"{case}: {FUNNEL_THREADS[-1]} threads are {one / many:.2f}x as fast as 1")
        step_one, step_many = matching[FUNNEL_THREADS[0]], matching[FUNNEL_THREADS[-1]]
        note = (f"{case}, the matching step alone: {FUNNEL_THREADS[-1]} threads are "
                f"{step_one / step_many:.2f}x as fast as 1")
        if isinstance(measured["duckdb"], float):  # else the cells that replace a time
            note += (f"; DuckDB's best query takes {measured['duckdb'] / step_many:.2f}x its "
                     f"time on {FUNNEL_THREADS[-1]} threads")
        table.note(note)
    queries.close()
    table.note("matching s: the matching inside match_events alone, timed natively (without "
               "handing the Event objects over and building Match objects)")
    _duckdb_notes(table, loaded)
    table.note(RATIO_NOTE)
    return table


def pileup(shared, loaded, repeats):
    table = Table(
        "pile-up",
        ["events", "B events", "matches", "seconds", "events/s"] + PEER_COLUMNS,
        [
            "pattern: A -> B (no window, first successor); one partition of A events with one B "
            "at a random place in every 500 events, so about 500 starts wait at any time",
        ],
    )
    for size in shared.sizes.pileup_events:
        rows = inputs.pileup_rows(size)
        events = inputs.make_events(rows)
        queries = peers.PeerQueries(loaded, rows)
        labels = [count(size), count(sum(1 for row in rows if row[2] == "B"))]
        our_run = ours.matcher("A -> B", events)
        cases = queries.cases("pileup_first_successor")
        _matching_row(table, f"{size:,} events", labels, size, our_run, cases, repeats)
        queries.close()
    table.note("linear cost shows as a steady events/s")
    table.note(
        "exhaustive mode is not run here: without a window every A pairs with every later B "
        "(n²/1000 matches)"
    )
    _duckdb_notes(table, loaded)
    table.note(RATIO_NOTE)
    return table


def correlated(shared, loaded, repeats):
    table = Table(
        "correlated",
        ["events", "users", "matches", "seconds", "events/s"] + PEER_COLUMNS,
        [
            f"pattern: {inputs.CORRELATED_TEXT} (first successor); one partition, "
            f"{inputs.CORRELATED_LOGIN_SHARE:.0%} logins, the rest purchases, users drawn at "
            f"random, one user per {CORRELATED_EVENTS_PER_USER} events, so that many logins "
            "wait at any time and a purchase completes only its own user's",
        ],
    )
    for size in shared.sizes.correlated_events:
        users = size // CORRELATED_EVENTS_PER_USER
        rows = inputs.correlated_rows(size, users)
        events = inputs.make_events(rows)
        queries = peers.PeerQueries(loaded, rows, inputs.CORRELATED_COLUMNS)
        labels = [count(size), count(users)]
        our_run = ours.matcher(inputs.CORRELATED_TEXT, events)
        cases = queries.cases("correlated_first_successor")
        _matching_row(table, f"{size:,} events", labels, size, our_run, cases, repeats)
        queries.close()
    table.note("linear cost shows as a steady events/s")
    _duckdb_notes(table, loaded)
    table.note(RATIO_NOTE)
    return table


def conversion(shared, loaded, repeats):
    """Per-event costs around the matcher: building Event objects, sorting them, handing them
    to the core, and building and reading Match objects."""
    rows = shared.rows
    n = len(rows)
    table = Table(
        "conversion",
        ["step", "events", "seconds", "ns/event", "pandas s", "pandas/ours"],
        [f"the funnel rows ({n:,} events, two attributes each); the Match rows are per match"],
    )
    pandas_peer = loaded["pandas"]
    no_peer = ["n/a", "n/a"]

    def pandas_cells(run, same, our_seconds):
        if isinstance(pandas_peer, str):
            table.note(f"pandas n/a: {pandas_peer}")
            return no_peer
        if not same(run()):
            table.note("pandas DIFFERS on a conversion step (time not reported)")
            return ["differs", "-"]
        peer_seconds, _ = median_seconds(run, repeats)
        return [seconds(peer_seconds), ratio(peer_seconds / our_seconds)]

    def add(step, our_seconds, peer_cells):
        cells = [step, count(n), seconds(our_seconds), nanoseconds(our_seconds / n)]
        table.add_row(cells + peer_cells)

    # Event construction; pandas builds its frame from the same rows.
    built_seconds, events = median_seconds(lambda: inputs.make_events(rows), repeats)
    add("Event(...) from rows", built_seconds, pandas_cells(
        lambda: inputs.make_frame(rows), lambda frame: len(frame) == n, built_seconds))

    # sort_events on the stream order (partitions interleaved by time), then on sorted input,
    # where it is little more than reading the events in and the new Event objects out.
    expected = [row[:3] for row in rows]
    for step, order in (("sort_events (stream order)", inputs.arrival_order(rows)),
                        ("sort_events (already sorted)", rows)):
        given = inputs.make_events(order)
        sort_seconds, in_order = median_seconds(lambda: vashlet.sort_events(given), repeats)
        if [(event.partition, event.ts, event.typ) for event in in_order] != expected:
            raise SystemExit("sort_events did not give back the generated order")
        del in_order, given
        frame = None if isinstance(pandas_peer, str) else inputs.make_frame(order)
        add(step, sort_seconds, pandas_cells(
            lambda: frame.sort_values(["p", "ts"], kind="stable"),
            lambda result: list(zip(result["p"], result["ts"], result["typ"])) == expected,
            sort_seconds))
        del frame

    # Events into the core: with no start, match_events holds each event and checks the order,
    # and the matcher compares one type per event.
    handing_seconds, _ = median_seconds(ours.matcher("never", events), repeats)
    add("events into the core (match_events, no start)", handing_seconds, no_peer)

    # Match objects: a one-step pattern that every event matches, minus handing the same list
    # to the core.
    same_type = inputs.make_events([(p, ts, "e", attrs) for p, ts, _, attrs in rows])
    base_seconds, _ = median_seconds(ours.matcher("never", same_type), repeats)
    all_seconds, matches = median_seconds(ours.matcher("e", same_type), repeats)
    if len(matches) != n:
        raise SystemExit("the one-step pattern did not match every event")
    add("Match objects (one-step match of each event, minus the row above)",
        all_seconds - base_seconds, no_peer)
    read_seconds, _ = median_seconds(lambda: [match.indices for match in matches], repeats)
    add("reading Match.indices", read_seconds, no_peer)
    del matches, same_type

    if not isinstance(pandas_peer, str):
        table.note("pandas steps: the events frame built from the same rows (make_frame in "
                   "bench/inputs.py), and a stable sort_values(['p', 'ts']) of the frame in the "
                   "same order; both checked against ours")
        table.note("the other steps have no pandas counterpart: the peers read the frame in place")
        table.note("pandas/ours: the pandas seconds divided by ours (above 1: vashlet is faster)")
    return table


def near_miss(shared, loaded, repeats):
    table = Table(
        "near misses",
        ["case", "events", "near misses", "seconds", "events/s", "plain s", "plain/ours"],
        ["near_miss_events; 'plain' is the tests' Python statement of the analysis (every path "
         "from every start, nothing remembered), run only where it finishes"],
    )
    plain_limit = 20
    chain_events = near_misses.a_events(2000)
    small_events = near_misses.a_events(plain_limit)
    cases = [
        ("30 x A", near_misses.chain(30), chain_events),
        ("30 x A -> B", near_misses.chain(30, "B"), chain_events),
        ("8 x A -> B", near_misses.chain(8, "B"), small_events),
        ("funnel", inputs.FUNNEL_TEXT, shared.events),
        *near_misses.correlated_cases(),
    ]
    for case, text, events in cases:
        our_seconds, found = median_seconds(ours.near_misser(text, events), repeats)
        cells = [case, count(len(events)), count(len(found)), seconds(our_seconds),
                 rate(len(events) / our_seconds)]
        if len(events) <= plain_limit:
            cells += _plain_search(table, case, text, events, found, our_seconds, repeats)
        else:
            cells += ["n/a", "n/a"]
            table.note(f"plain n/a beyond {plain_limit} events: its search is exponential")
        table.add_row(cells)
    table.note("duckdb, pandas n/a: neither explains the starts that did not match")
    table.note("plain/ours: its seconds divided by ours")
    return table


def _plain_search(table, case, text, events, found, our_seconds, repeats):
    reference = near_misses.near_miss_reference
    pattern = json.loads(vashlet.parse_pattern(text).to_json())

    def run():
        return reference.near_misses(pattern, events)

    def canonical(records):
        return [repr(reference.canonical(record)) for record in records]

    if canonical(run()) != canonical(reference.record(miss) for miss in found):
        table.note(f"plain DIFFERS on {case} (time not reported)")
        return ["differs", "-"]
    plain_seconds, _ = median_seconds(run, min(repeats, 3))
    return [seconds(plain_seconds), f"{plain_seconds / our_seconds:,.0f}x"]


ALL = {
    "funnel": funnel,
    "pileup": pileup,
    "correlated": correlated,
    "conversion": conversion,
    "near-misses": near_miss,
    "tables": tables.end_to_end,
    "tables-pileup": tables.pileup,
    "tables-correlated": tables.correlated,
    "tables-reading": tables.reading,
    "columnstore": columnstore.scenario,
    "language": language.scenario,
    "stream": stream.scenario,
}

