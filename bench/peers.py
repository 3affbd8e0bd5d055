"""The optional peers, and the check that comes before any of their times is shown.

A peer case is a callable returning a pandas frame whose columns are the event indices of one
match per row. Its first call is the check (and warm-up): its rows, as a set of index tuples,
must equal our matches exactly; only then is it timed. A peer whose check fails is reported as
differing, without a time.
"""

import importlib

import inputs

from table import ratio, seconds
from timing import median_seconds

NAMES = ("duckdb", "pandas")
INSTALL = "pip install '.[bench]'"


def load():
    """Peer name -> its module (`peer_duckdb`, `peer_pandas`), or the reason it is missing."""
    try:
        importlib.import_module("pandas")  # every peer reads the events as a pandas frame
    except ImportError:
        return {name: f"pandas is not installed ({INSTALL})" for name in NAMES}
    loaded = {}
    for name in NAMES:
        try:
            loaded[name] = importlib.import_module(f"peer_{name}")
        except ImportError:
            loaded[name] = f"{name} is not installed ({INSTALL})"
    return loaded


def rows_as_set(frame):
    return set(frame.itertuples(index=False, name=None))


def compare(table, case, name, peer, ours, our_seconds, repeats):
    """The two cells (seconds, peer/ours) of peer `name` on the row `case`. `peer` is a callable,
    a dict of alternative formulations by label (each is checked, the fastest is shown), or the
    reason why the peer cannot run the case; notes go to the table."""
    measured = measure(table, case, name, peer, ours, repeats)
    return cells(measured, our_seconds)


def measure(table, case, name, peer, ours, repeats):
    """The peer's seconds on `case` (as for `compare`), or the two cells that replace them when
    it cannot run the case or differs from ours."""
    variants = checked(table, case, name, peer, ours)
    if isinstance(variants, list):
        return variants
    return fastest(table, case, name,
                   {label: median_seconds(run, repeats)[0] for label, run in variants.items()})


def checked(table, case, name, peer, ours):
    """The peer's formulations of `case` by label (None for its only one), each called once and
    found to answer `ours`; or the two cells that replace its times when it cannot run the case
    or differs from ours."""
    if isinstance(peer, str):
        table.note(f"{name} n/a: {peer}")
        return ["n/a", "n/a"]
    variants = peer if isinstance(peer, dict) else {None: peer}
    for label, run in variants.items():
        theirs = rows_as_set(run())
        if theirs != ours:
            table.note(
                f"{name}{f' ({label})' if label else ''} DIFFERS on {case}: {len(ours):,} ours, "
                f"{len(theirs):,} theirs, {len(ours - theirs):,} only ours, "
                f"{len(theirs - ours):,} only theirs (time not reported)"
            )
            return ["differs", "-"]
    return variants


def fastest(table, case, name, timed):
    """The fastest of a peer's formulations' seconds (label -> seconds), noting them all where
    there are several."""
    if len(timed) > 1:
        each = ", ".join(f"{label} {seconds(value)} s" for label, value in timed.items())
        table.note(f"{name} on {case}: {each}; the faster is shown")
    return min(timed.values())


def cells(measured, our_seconds):
    """The (seconds, peer/ours) cells of a `measure` result against our seconds."""
    if isinstance(measured, list):
        return measured
    return [seconds(measured), ratio(measured / our_seconds)]


def columns(names):
    """The two columns that each peer adds to a table."""
    return [heading for name in names for heading in (f"{name} s", f"{name}/ours")]


class PeerQueries:
    """The available peers over one events frame: `cases(name)` gives, per peer, what runs the
    query `name` (see `compare`). The frame is in event order, `idx` being the event index."""

    def __init__(self, loaded, rows, columns=inputs.FUNNEL_COLUMNS):
        self.loaded = loaded
        self.available = {name: peer for name, peer in loaded.items() if not isinstance(peer, str)}
        self.frame = inputs.make_frame(rows, columns) if self.available else None
        duckdb_peer = self.available.get("duckdb")
        self.duckdb = duckdb_peer.Peer(self.frame) if duckdb_peer else None

    def cases(self, name):
        cases = {}
        for peer_name, peer in self.loaded.items():
            if isinstance(peer, str):
                cases[peer_name] = peer
            elif peer_name == "duckdb":
                variants = peer.QUERIES[name].items()
                cases[peer_name] = {label: self.duckdb_case(sql) for label, sql in variants}
            else:
                cases[peer_name] = self.pandas_case(getattr(peer, name))
        return cases

    def duckdb_case(self, sql):
        return self.duckdb.query(sql)

    def pandas_case(self, query):
        return lambda: query(self.frame)

    def close(self):
        if self.duckdb:
            self.duckdb.close()
