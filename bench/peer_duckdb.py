"""The DuckDB versions of the benchmark queries: SQL over the pandas events frame.

Row pattern matching (MATCH_RECOGNIZE) would be the direct statement of the first-successor
queries, but DuckDB 2.0 does not parse it (`match_recognize_support` checks at run time), and it
cannot state the exhaustive mode in any case: it reports one match per start row. So the queries
are joins and window functions. Where two formulations are competitive, both are kept, each is
checked, and the faster one is reported:

- first successor, as an ASOF JOIN: `ON same partition AND same item AND prev.i < next.i` picks
  the earliest later event that fits the next step; the window is then a filter (a later event
  cannot be closer, since timestamps do not decrease within a partition);
- first successor, as a window function: `first_value(CASE WHEN <next step> THEN idx END
  IGNORE NULLS)` over the following rows of the same partition and item gives the same event;
- exhaustive: an equi-join on partition and item, with the order and the window as join
  conditions;
- absence: the first forbidden event after the previous step (an ASOF LEFT JOIN, or one more
  window column); the pair survives when there is none or it comes after the next step's event.
"""

import duckdb

from inputs import FUNNEL_CART_TO_PURCHASE, FUNNEL_MIN_AMOUNT, FUNNEL_VIEW_TO_CART

VERSION = duckdb.__version__

_FUNNEL_STEPS = f"""
    v AS (SELECT p, item, idx AS i0, ts AS t0 FROM events WHERE typ = 'view'),
    c AS (SELECT p, item, idx AS i1, ts AS t1 FROM events WHERE typ = 'cart'),
    b AS (SELECT p, item, idx AS i2, ts AS t2 FROM events
          WHERE typ = 'purchase' AND amount >= {FUNNEL_MIN_AMOUNT}),
    r AS (SELECT p, item, idx AS k FROM events WHERE typ = 'remove')"""

_NOT_BLOCKED = """
    SELECT s2.i0, s2.i1, s2.i2
    FROM s2 ASOF LEFT JOIN r ON s2.p = r.p AND s2.item = r.item AND s2.i1 < r.k
    WHERE r.k IS NULL OR r.k > s2.i2"""

FUNNEL_FIRST_SUCCESSOR = f"""
WITH {_FUNNEL_STEPS},
    s1 AS (SELECT v.p, v.item, v.i0, c.i1, c.t1
           FROM v ASOF JOIN c ON v.p = c.p AND v.item = c.item AND v.i0 < c.i1
           WHERE c.t1 - v.t0 <= {FUNNEL_VIEW_TO_CART}),
    s2 AS (SELECT s1.p, s1.item, s1.i0, s1.i1, b.i2
           FROM s1 ASOF JOIN b ON s1.p = b.p AND s1.item = b.item AND s1.i1 < b.i2
           WHERE b.t2 - s1.t1 <= {FUNNEL_CART_TO_PURCHASE})
{_NOT_BLOCKED}"""

FUNNEL_EXHAUSTIVE = f"""
WITH {_FUNNEL_STEPS},
    s1 AS (SELECT v.p, v.item, v.i0, c.i1, c.t1
           FROM v JOIN c ON v.p = c.p AND v.item = c.item AND c.i1 > v.i0
                        AND c.t1 <= v.t0 + {FUNNEL_VIEW_TO_CART}),
    s2 AS (SELECT s1.p, s1.item, s1.i0, s1.i1, b.i2
           FROM s1 JOIN b ON s1.p = b.p AND s1.item = b.item AND b.i2 > s1.i1
                         AND b.t2 <= s1.t1 + {FUNNEL_CART_TO_PURCHASE})
{_NOT_BLOCKED}"""

FUNNEL_FIRST_SUCCESSOR_WINDOW = f"""
WITH relevant AS (
    SELECT p, item, idx, ts, typ, amount FROM events
    WHERE typ IN ('view', 'cart', 'purchase', 'remove')),
    following AS (
    SELECT *,
        first_value(CASE WHEN typ = 'cart' THEN idx END IGNORE NULLS) OVER w AS cart_idx,
        first_value(CASE WHEN typ = 'cart' THEN ts END IGNORE NULLS) OVER w AS cart_ts,
        first_value(CASE WHEN typ = 'purchase' AND amount >= {FUNNEL_MIN_AMOUNT} THEN idx END
                    IGNORE NULLS) OVER w AS purchase_idx,
        first_value(CASE WHEN typ = 'purchase' AND amount >= {FUNNEL_MIN_AMOUNT} THEN ts END
                    IGNORE NULLS) OVER w AS purchase_ts,
        first_value(CASE WHEN typ = 'remove' THEN idx END IGNORE NULLS) OVER w AS remove_idx
    FROM relevant
    WINDOW w AS (PARTITION BY p, item ORDER BY idx
                 ROWS BETWEEN 1 FOLLOWING AND UNBOUNDED FOLLOWING))
SELECT v.idx AS i0, c.idx AS i1, c.purchase_idx AS i2
FROM following v JOIN following c ON c.idx = v.cart_idx
WHERE v.typ = 'view'
  AND v.cart_ts - v.ts <= {FUNNEL_VIEW_TO_CART}
  AND c.purchase_ts - c.ts <= {FUNNEL_CART_TO_PURCHASE}
  AND (c.remove_idx IS NULL OR c.remove_idx > c.purchase_idx)"""

PILEUP_FIRST_SUCCESSOR = """
WITH a AS (SELECT p, idx AS i0 FROM events WHERE typ = 'A'),
     b AS (SELECT p, idx AS i1 FROM events WHERE typ = 'B')
SELECT a.i0, b.i1 FROM a ASOF JOIN b ON a.p = b.p AND a.i0 < b.i1"""

PILEUP_FIRST_SUCCESSOR_WINDOW = """
SELECT i0, i1 FROM (
    SELECT typ, idx AS i0,
        first_value(CASE WHEN typ = 'B' THEN idx END IGNORE NULLS) OVER (
            PARTITION BY p ORDER BY idx ROWS BETWEEN 1 FOLLOWING AND UNBOUNDED FOLLOWING) AS i1
    FROM events WHERE typ IN ('A', 'B'))
WHERE typ = 'A' AND i1 IS NOT NULL"""

CORRELATED_FIRST_SUCCESSOR = """
WITH l AS (SELECT p, "user", idx AS i0 FROM events WHERE typ = 'login'),
     b AS (SELECT p, "user", idx AS i1 FROM events WHERE typ = 'purchase')
SELECT l.i0, b.i1 FROM l ASOF JOIN b ON l.p = b.p AND l."user" = b."user" AND l.i0 < b.i1"""

CORRELATED_FIRST_SUCCESSOR_WINDOW = """
SELECT i0, i1 FROM (
    SELECT typ, idx AS i0,
        first_value(CASE WHEN typ = 'purchase' THEN idx END IGNORE NULLS) OVER (
            PARTITION BY p, "user" ORDER BY idx
            ROWS BETWEEN 1 FOLLOWING AND UNBOUNDED FOLLOWING) AS i1
    FROM events WHERE typ IN ('login', 'purchase'))
WHERE typ = 'login' AND i1 IS NOT NULL"""

# Query name -> its formulations, by label.
QUERIES = {
    "funnel_first_successor": {
        "ASOF JOIN": FUNNEL_FIRST_SUCCESSOR,
        "window": FUNNEL_FIRST_SUCCESSOR_WINDOW,
    },
    "funnel_exhaustive": {"range join": FUNNEL_EXHAUSTIVE},
    "pileup_first_successor": {
        "ASOF JOIN": PILEUP_FIRST_SUCCESSOR,
        "window": PILEUP_FIRST_SUCCESSOR_WINDOW,
    },
    "correlated_first_successor": {
        "ASOF JOIN": CORRELATED_FIRST_SUCCESSOR,
        "window": CORRELATED_FIRST_SUCCESSOR_WINDOW,
    },
}

_PROBE = """
SELECT * FROM events MATCH_RECOGNIZE (
    PARTITION BY p ORDER BY idx
    MEASURES FIRST(idx) AS i0
    ONE ROW PER MATCH AFTER MATCH SKIP TO NEXT ROW
    PATTERN (a b)
    DEFINE a AS typ = 'A', b AS typ = 'B')"""


def threads():
    """The number of threads DuckDB uses by default (one per core)."""
    connection = duckdb.connect()
    try:
        return connection.execute("SELECT current_setting('threads')").fetchone()[0]
    finally:
        connection.close()


def match_recognize_support():
    """None when the installed DuckDB parses MATCH_RECOGNIZE, else the reason it cannot."""
    import pandas as pd

    connection = duckdb.connect()
    connection.register("events", pd.DataFrame({"p": ["p"], "idx": [0], "typ": ["A"]}))
    try:
        connection.execute(_PROBE)
    except duckdb.Error as error:
        return f"DuckDB {VERSION} has no MATCH_RECOGNIZE ({type(error).__name__})"
    finally:
        connection.close()
    return None


class Peer:
    """One connection with the events frame registered as the view `events`; the frame is
    scanned in place by every query."""

    def __init__(self, frame):
        self.connection = duckdb.connect()
        self.connection.register("events", frame)

    def query(self, sql):
        def run():
            return self.connection.execute(sql).df()

        return run

    def close(self):
        self.connection.close()
