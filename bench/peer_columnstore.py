"""The in-process column store (chdb) versions of the column-store benchmark questions: SQL over
the pyarrow events table through its `Python()` table function.

Ties: the column store orders events of equal timestamp arbitrarily, so each query orders the
events by their input row (a join's order key) or by a key `ts * M + row` (M above the number of
rows; the sequence functions take one timestamp argument). In arrival order the rows grow with
ts, so within a partition either orders the events exactly as our event order (partition, ts,
input row) does; for two events in that order `ts2 - ts1 <= W` holds exactly when
`key2 - key1 <= (W + 1) * M - 1` (the rows differ by less than M), which is how the sequence
functions' windows are scaled. `columnstore.py` checks the input is in arrival order first.

Why each answer equals ours (the steps' events are ordered by `row`, which is event order within
a partition in arrival order; the windows are then filters on ts):

- chain_partitions: for a cart, the best view is the last one before it (the smallest gap) and
  the best purchase the first qualifying one after it, so a chain view -> cart -> purchase
  within the windows exists exactly when some cart has both within its windows: an ASOF JOIN
  to the previous view and one to the next purchase. That is "some complete path exists", the
  partitions of `match(..., exhaustive=True)` over the same plain chain.
- deepest_step: level 3 when such a cart exists, else 2 when some cart has its previous view in
  the window, else 1 when the partition has a view, else 0. Our per-partition funnel counts each
  partition with a start at the deepest step any of its starts reached (the deepest partial
  path, or the end for a complete path), which is the same existence test per prefix.
- funnel_captures: first successor, step by step, as the DuckDB peer states it: an ASOF JOIN on
  partition and item picks the earliest later event that fits the next step, the window is then
  a filter (a later event of the partition cannot be closer), and the absence is the first
  `remove` of the item after the cart: the pair survives when there is none or it comes after
  the purchase.

The sequence functions are not equal, and are kept to show it (their answers are checked like
any other and reported as differing): `sequenceMatch('(?1).*(?t<=W)(?2)')` measures the time
condition after `.*` from the last event the `.*` passed over, not from the (?1) event, so it
accepts a cart more than W after every view (on the bench input at 100,000 events, 3 of 1,000
partitions); without `.*` the steps must be adjacent among the events of the conditions.
`windowFunnel` measures its one window from the first event of the chain.
"""

import chdb

from inputs import FUNNEL_CART_TO_PURCHASE, FUNNEL_MIN_AMOUNT, FUNNEL_VIEW_TO_CART

VERSION = chdb.__version__

# The plain chain of the first two questions: the bench funnel without its item binding and
# absence, which the sequence functions cannot state.
CHAIN_TEXT = (
    f"view -[<={FUNNEL_VIEW_TO_CART}]-> cart -[<={FUNNEL_CART_TO_PURCHASE}]-> "
    f"purchase[amount >= {FUNNEL_MIN_AMOUNT}]"
)


def scaled(window, m):
    """A window in ticks as a window over keys `ts * m + row` (see above)."""
    return (window + 1) * m - 1


def _key(m):
    return f"toUInt64(ts * {m} + row)"


_RELEVANT = f"""
    v AS (SELECT partition, row, ts FROM Python(events) WHERE type = 'view'),
    c AS (SELECT partition, row, ts FROM Python(events) WHERE type = 'cart'),
    b AS (SELECT partition, row, ts FROM Python(events)
          WHERE type = 'purchase' AND amount >= {FUNNEL_MIN_AMOUNT}),
    -- each cart with its previous view in the window, then those with their next purchase
    cv AS (SELECT c.partition AS partition, c.row AS row, c.ts AS ts
           FROM c ASOF JOIN v ON c.partition = v.partition AND c.row > v.row
           WHERE c.ts - v.ts <= {FUNNEL_VIEW_TO_CART}),
    chain AS (SELECT DISTINCT cv.partition AS partition
              FROM cv ASOF JOIN b ON cv.partition = b.partition AND cv.row < b.row
              WHERE b.ts - cv.ts <= {FUNNEL_CART_TO_PURCHASE})"""


def chain_partitions(m):
    return f"WITH {_RELEVANT}\nSELECT partition FROM chain"


def deepest_step(m):
    return f"""
WITH {_RELEVANT},
    levels AS (
        SELECT partition, multiIf(
            partition IN (SELECT partition FROM chain), 3,
            partition IN (SELECT partition FROM cv), 2,
            countIf(type = 'view') > 0, 1,
            0) AS level
        FROM Python(events) GROUP BY partition)
SELECT level, count() AS partitions FROM levels GROUP BY level ORDER BY level
"""


def _sequence(m, steps):
    view_cart, cart_purchase = scaled(FUNNEL_VIEW_TO_CART, m), scaled(FUNNEL_CART_TO_PURCHASE, m)
    pattern = f"(?1).*(?t<={view_cart})(?2)" + (f".*(?t<={cart_purchase})(?3)" if steps == 3 else "")
    return (
        f"sequenceMatch('{pattern}')({_key(m)}, type = 'view', type = 'cart', "
        f"type = 'purchase' AND amount >= {FUNNEL_MIN_AMOUNT})"
    )


def chain_partitions_sequence(m):
    return f"""
SELECT partition FROM Python(events)
WHERE type IN ('view', 'cart', 'purchase')
GROUP BY partition HAVING {_sequence(m, 3)}
"""


def deepest_step_sequence(m):
    return f"""
SELECT level, count() AS partitions FROM (
    SELECT partition, multiIf({_sequence(m, 3)}, 3, {_sequence(m, 2)}, 2,
                              countIf(type = 'view') > 0, 1, 0) AS level
    FROM Python(events) GROUP BY partition)
GROUP BY level ORDER BY level
"""


def funnel_captures():
    """First successor of the bench funnel; `row` orders the events of a partition (see above),
    the windows are on ts as written."""
    return f"""
WITH
    v AS (SELECT partition, item, row AS i0, ts AS t0 FROM Python(events) WHERE type = 'view'),
    c AS (SELECT partition, item, row AS i1, ts AS t1 FROM Python(events) WHERE type = 'cart'),
    b AS (SELECT partition, item, row AS i2, ts AS t2 FROM Python(events)
          WHERE type = 'purchase' AND amount >= {FUNNEL_MIN_AMOUNT}),
    r AS (SELECT partition, item, row AS k FROM Python(events) WHERE type = 'remove'),
    s1 AS (SELECT v.partition AS partition, v.item AS item, v.i0 AS i0, c.i1 AS i1, c.t1 AS t1
           FROM v ASOF JOIN c ON v.partition = c.partition AND v.item = c.item AND v.i0 < c.i1
           WHERE c.t1 - v.t0 <= {FUNNEL_VIEW_TO_CART}),
    s2 AS (SELECT s1.partition AS partition, s1.item AS item, s1.i0 AS i0, s1.i1 AS i1,
                  b.i2 AS i2
           FROM s1 ASOF JOIN b ON s1.partition = b.partition AND s1.item = b.item
                               AND s1.i1 < b.i2
           WHERE b.t2 - s1.t1 <= {FUNNEL_CART_TO_PURCHASE})
SELECT s2.i0 AS i0, s2.i1 AS i1, s2.i2 AS i2
FROM s2 ASOF LEFT JOIN r ON s2.partition = r.partition AND s2.item = r.item AND s2.i1 < r.k
WHERE r.k IS NULL OR r.k > s2.i2
SETTINGS join_use_nulls = 1
"""


# Question -> its formulations by label, each a function of the key scale M.
QUERIES = {
    "chain": {"ASOF JOIN": chain_partitions, "sequenceMatch": chain_partitions_sequence},
    "deepest": {"ASOF JOIN": deepest_step, "sequenceMatch": deepest_step_sequence},
    "captures": {"ASOF JOIN": lambda m: funnel_captures()},
}


def threads():
    return int(chdb.query("SELECT getSetting('max_threads')", "CSV").bytes().strip() or 0)


class Peer:
    """One session; `events` (a pyarrow Table with the columns partition, ts, type, item,
    amount and row) is scanned in place by every query."""

    def __init__(self, events):
        self.events = events
        self.session = chdb.session.Session()

    def query(self, sql):
        def run():
            events = self.events  # noqa: F841 - `Python(events)` names this variable
            return self.session.query(sql, "ArrowTable")

        return run

    def close(self):
        self.session.close()
