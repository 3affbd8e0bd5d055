"""The pattern language's bench rows: the funnel with `+` on its first step, and the correlated
scenario with `{2}` on its first step, against DuckDB where SQL can state them."""

import json

import inputs
import ours
import peers
import vashlet
from table import Table, count, rate, seconds
from timing import median_seconds

FUNNEL_PLUS = "the funnel with view[item as $i]+ (one view or more of the item, then the rest)"
CORRELATED_TWICE = "login[user as $u]{2} -> purchase[user == $u]"
NOT_EXPRESSIBLE = ("not expressible: the walk's window runs from the last of any number of "
                   "views, which needs a recursive query")

# First mode: the walk takes the next login of the user, then the first purchase of the user
# after it.
CORRELATED_TWICE_SQL = """
WITH l AS (SELECT p, "user", idx AS i0,
                  lead(idx) OVER (PARTITION BY p, "user" ORDER BY idx) AS i1
           FROM events WHERE typ = 'login'),
     b AS (SELECT p, "user", idx AS i2 FROM events WHERE typ = 'purchase')
SELECT l.i0, l.i1, b.i2 FROM l ASOF JOIN b ON l.p = b.p AND l."user" = b."user" AND l.i1 < b.i2
WHERE l.i1 IS NOT NULL"""


def repeated_first(text, least, most):
    """The pattern of `text` with its first step taken between `least` and `most` times."""
    document = json.loads(vashlet.parse_pattern(text).to_json())
    document["steps"][0]["min_count"], document["steps"][0]["max_count"] = least, most
    return vashlet.pattern_from_json(json.dumps(document))


def scenario(shared, loaded, repeats):
    table = Table(
        "language",
        ["case", "events", "matches", "seconds", "events/s"] + peers.columns(peers.NAMES),
        ["first successor; match_events on a prebuilt, sorted Event list, one thread"],
    )
    correlated_size = shared.sizes.correlated_events[0]
    correlated_rows = inputs.correlated_rows(correlated_size, correlated_size // 10)
    cases = [
        (FUNNEL_PLUS, repeated_first(inputs.FUNNEL_TEXT, 1, None), shared.rows, shared.events,
         inputs.FUNNEL_COLUMNS, None),
        (CORRELATED_TWICE, repeated_first(inputs.CORRELATED_TEXT, 2, 2), correlated_rows,
         inputs.make_events(correlated_rows), inputs.CORRELATED_COLUMNS, CORRELATED_TWICE_SQL),
    ]
    for case, pattern, rows, events, columns, sql in cases:
        our_seconds, matches = median_seconds(
            lambda: vashlet.match_events(pattern, events, threads=1), repeats)
        found = ours.index_set(matches)
        del matches
        cells = [case, count(len(events)), count(len(found)), seconds(our_seconds),
                 rate(len(events) / our_seconds)]
        queries = peers.PeerQueries(loaded, rows, columns)
        for name in peers.NAMES:
            peer = loaded[name]
            if isinstance(peer, str):
                how = peer
            elif name == "duckdb" and sql:
                how = {"ASOF JOIN": queries.duckdb_case(sql)}
            else:
                how = NOT_EXPRESSIBLE if name == "duckdb" else "not stated (no pandas query)"
            cells += peers.compare(table, case, name, how, found, our_seconds, repeats)
        queries.close()
        table.add_row(cells)
    table.note("the element matcher keeps one walk per start; walks waiting on a bound value "
               "are filed by it")
    return table
