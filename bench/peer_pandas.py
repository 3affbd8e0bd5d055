"""The pandas versions of the benchmark queries, written as an analyst would write them.

Every function takes the events frame of `inputs.make_frame` (one row per event, `idx` = event
index, rows in event order) and returns a frame of index columns, one row per match.

First successor: `merge_asof(direction="forward", allow_exact_matches=False)` by partition (and
by the captured item, which is what the reference predicate compares) finds, for each partial
match, the earliest later event that fits the next step. Exhaustive: a plain merge on the same
keys, filtered by order and window. The absence test is a forward as-of merge too: the first
forbidden event after the previous step must not come before the next step's event.
"""

import pandas as pd

from inputs import FUNNEL_CART_TO_PURCHASE, FUNNEL_MIN_AMOUNT, FUNNEL_VIEW_TO_CART

VERSION = pd.__version__


def _rows(frame, mask, index_name, ts_name, keys):
    picked = frame.loc[mask, keys + ["idx", "ts"]]
    return picked.rename(columns={"idx": index_name, "ts": ts_name})


def _next(left, right, after, first, keys):
    """For each row of `left`, the earliest row of `right` with the same keys whose `first`
    column is greater than `left[after]`; rows without one are dropped."""
    joined = pd.merge_asof(
        left.sort_values(after, kind="stable"),
        right,
        left_on=after,
        right_on=first,
        by=keys,
        direction="forward",
        allow_exact_matches=False,
    )
    return joined.dropna(subset=[first]).astype({first: "int64"})


def _not_blocked(pairs, forbidden, since, until, keys):
    """Rows of `pairs` with no `forbidden` row of the same keys strictly between the indices
    `since` and `until`."""
    first_blocker = pd.merge_asof(
        pairs.sort_values(since, kind="stable"),
        forbidden,
        left_on=since,
        right_on="blocker",
        by=keys,
        direction="forward",
        allow_exact_matches=False,
    )
    blocker = first_blocker["blocker"]
    return first_blocker[blocker.isna() | (blocker > first_blocker[until])]


def _funnel_steps(frame):
    keys = ["p", "item"]
    views = _rows(frame, frame["typ"] == "view", "i0", "t0", keys)
    carts = _rows(frame, frame["typ"] == "cart", "i1", "t1", keys)
    purchases = _rows(
        frame,
        (frame["typ"] == "purchase") & (frame["amount"] >= FUNNEL_MIN_AMOUNT),
        "i2",
        "t2",
        keys,
    )
    removes = _rows(frame, frame["typ"] == "remove", "blocker", "tb", keys)[keys + ["blocker"]]
    return keys, views, carts, purchases, removes


def funnel_first_successor(frame):
    keys, views, carts, purchases, removes = _funnel_steps(frame)
    step1 = _next(views, carts, "i0", "i1", keys)
    step1 = step1[step1["t1"] - step1["t0"] <= FUNNEL_VIEW_TO_CART]
    step2 = _next(step1, purchases, "i1", "i2", keys)
    step2 = step2[step2["t2"] - step2["t1"] <= FUNNEL_CART_TO_PURCHASE]
    return _not_blocked(step2, removes, "i1", "i2", keys)[["i0", "i1", "i2"]]


def funnel_exhaustive(frame):
    keys, views, carts, purchases, removes = _funnel_steps(frame)
    step1 = views.merge(carts, on=keys)
    step1 = step1[
        (step1["i1"] > step1["i0"]) & (step1["t1"] - step1["t0"] <= FUNNEL_VIEW_TO_CART)
    ]
    step2 = step1.merge(purchases, on=keys)
    step2 = step2[
        (step2["i2"] > step2["i1"]) & (step2["t2"] - step2["t1"] <= FUNNEL_CART_TO_PURCHASE)
    ]
    return _not_blocked(step2, removes, "i1", "i2", keys)[["i0", "i1", "i2"]]


def correlated_first_successor(frame):
    keys = ["p", "user"]
    logins = _rows(frame, frame["typ"] == "login", "i0", "t0", keys)
    purchases = _rows(frame, frame["typ"] == "purchase", "i1", "t1", keys)
    return _next(logins, purchases, "i0", "i1", keys)[["i0", "i1"]]


def pileup_first_successor(frame):
    keys = ["p"]
    a_rows = _rows(frame, frame["typ"] == "A", "i0", "t0", keys)
    b_rows = _rows(frame, frame["typ"] == "B", "i1", "t1", keys)
    return _next(a_rows, b_rows, "i0", "i1", keys)[["i0", "i1"]]
