"""Seeded benchmark inputs.

Inputs are plain rows `(partition, ts, typ, attrs)` first, so that building `Event` objects and
sorting them can be timed on their own. Generation uses only the standard library, so our own
timings need none of the optional peers installed.
"""

import bisect
import itertools
import random

SEED = 20240611

# Funnel: a shop session stream. Four event types carry the pattern; sixteen others are noise.
FUNNEL_TYPES = ["view", "cart", "purchase", "remove"] + [f"t{n:02d}" for n in range(4, 20)]
FUNNEL_WEIGHTS = [20, 8, 4, 3] + [65 / 16] * 16
FUNNEL_ITEMS = 5
FUNNEL_TEXT = (
    "view[item as $i] -[<=900]-> cart[item == $i] "
    "-[<=3600, no remove[item == $i]]-> purchase[item == $i, amount >= 20.0]"
)
# The pattern's pieces, for the peers, which restate it by hand.
FUNNEL_VIEW_TO_CART = 900
FUNNEL_CART_TO_PURCHASE = 3600
FUNNEL_MIN_AMOUNT = 20.0


def funnel_rows(events, partitions, seed=SEED):
    """Rows in event order: partitions `u00000`, `u00001`, ... each with events // partitions
    events whose timestamps grow by 0 (a tie, one step in ten) or by 15 to 120 in steps of 15, so
    that gaps of exactly a window's length are common."""
    rng = random.Random(seed)
    cumulative = list(itertools.accumulate(FUNNEL_WEIGHTS))
    total = cumulative[-1]
    per_partition = events // partitions
    rows = []
    for number in range(partitions):
        partition = f"u{number:05d}"
        ts = rng.randrange(86_400)
        for _ in range(per_partition):
            if rng.random() >= 0.1:
                ts += 15 * rng.randint(1, 8)
            typ = FUNNEL_TYPES[bisect.bisect_right(cumulative, rng.random() * total)]
            attrs = {"item": rng.randrange(FUNNEL_ITEMS), "amount": round(rng.uniform(1, 100), 2)}
            rows.append((partition, ts, typ, attrs))
    return rows


def pileup_rows(events, b_every=500, seed=SEED):
    """One partition of frequent `A` events and rare `B` events: one `B` at a random place in
    each block of `b_every` events, so that the waiting work per event is the same at any size."""
    rng = random.Random(seed)
    b_at = {block + rng.randrange(b_every) for block in range(0, events, b_every)}
    return [("p", ts, "B" if ts in b_at else "A", {}) for ts in range(events)]


# Correlated: one site's stream of logins and purchases by users drawn at random; a purchase
# follows a login of the same user.
CORRELATED_TEXT = "login[user as $u] -> purchase[user == $u]"
CORRELATED_LOGIN_SHARE = 0.6


def correlated_rows(events, users, seed=SEED):
    """One partition of `events` events, one per timestamp: a login with probability 0.6, else a
    purchase, each by a user drawn uniformly from `users`, so that many logins wait at any time
    and each purchase completes only those of its own user."""
    rng = random.Random(seed)
    rows = []
    for ts in range(events):
        typ = "login" if rng.random() < CORRELATED_LOGIN_SHARE else "purchase"
        rows.append(("site", ts, typ, {"user": rng.randrange(users)}))
    return rows


def arrival_order(rows):
    """The rows as a stream delivers them: all partitions interleaved by time (stable, so the
    ties of one partition keep their order and sort_events gives back `rows`)."""
    return sorted(rows, key=lambda row: row[1])


def make_events(rows):
    from vashlet import Event

    return [Event(partition, ts, typ, attrs) for partition, ts, typ, attrs in rows]


# The attribute columns of the peers' frame, with their types and the value of a missing one.
FUNNEL_COLUMNS = {"item": ("int64", -1), "amount": ("float64", float("nan"))}
CORRELATED_COLUMNS = {"user": ("int64", -1)}


def funnel_table(events, partitions):
    """The funnel input in arrival order as a pyarrow Table (partition, ts, type, item, amount)."""
    import pyarrow as pa

    rows = arrival_order(funnel_rows(events, partitions))
    return pa.table({
        "partition": pa.array([row[0] for row in rows]),
        "ts": pa.array([row[1] for row in rows], pa.int64()),
        "type": pa.array([row[2] for row in rows]),
        "item": pa.array([row[3]["item"] for row in rows], pa.int64()),
        "amount": pa.array([row[3]["amount"] for row in rows], pa.float64()),
    })


def correlated_table(events, users, partitions=1):
    """`correlated_rows` as a pyarrow Table in arrival order (partition, ts, type, user): in one
    partition `site`, or spread over `partitions` partitions by user (`s00000`, ...), so that a
    purchase still finds its user's logins in its own partition."""
    import pyarrow as pa

    rows = correlated_rows(events, users)
    users_of = [row[3]["user"] for row in rows]
    if partitions == 1:
        names = [row[0] for row in rows]
    else:
        names = [f"s{user % partitions:05d}" for user in users_of]
    return pa.table({
        "partition": pa.array(names),
        "ts": pa.array([row[1] for row in rows], pa.int64()),
        "type": pa.array([row[2] for row in rows]),
        "user": pa.array(users_of, pa.int64()),
    })


def steady_funnel_tables(events, partitions, chunk, jitter, gap=60, seed=SEED):
    """A long funnel-like stream as pyarrow Tables of `chunk` rows (the last may be shorter), built
    one at a time so that memory stays small however long the stream: each event goes to a
    partition drawn at random, with the funnel's types, items and amounts, while a shared clock
    advances so that a partition's events are about `gap` apart; each event's ts lags the clock
    by up to `jitter`, so events arrive out of order by at most that much."""
    import pyarrow as pa

    rng = random.Random(seed)
    cumulative = list(itertools.accumulate(FUNNEL_WEIGHTS))
    names = [f"u{number:05d}" for number in range(partitions)]
    lags = range(jitter + 1)
    amounts = [cents / 100 for cents in range(100, 10_001)]
    for first in range(0, events, chunk):
        size = min(chunk, events - first)
        lagging = rng.choices(lags, k=size)
        yield pa.table({
            "partition": pa.array(rng.choices(names, k=size)),
            "ts": pa.array([(first + n) * gap // partitions + jitter - lag
                            for n, lag in enumerate(lagging)], pa.int64()),
            "type": pa.array(rng.choices(FUNNEL_TYPES, cum_weights=cumulative, k=size)),
            "item": pa.array(rng.choices(range(FUNNEL_ITEMS), k=size), pa.int64()),
            "amount": pa.array(rng.choices(amounts, k=size), pa.float64()),
        })


def make_frame(rows, columns=FUNNEL_COLUMNS):
    """The peers' input: one row per event, `idx` being the event index in the sorted list, and
    one column per attribute named in `columns`."""
    import pandas as pd

    partitions, stamps, types = [], [], []
    values = {name: [] for name in columns}
    for partition, ts, typ, attrs in rows:
        partitions.append(partition)
        stamps.append(ts)
        types.append(typ)
        for name, (_, missing) in columns.items():
            values[name].append(attrs.get(name, missing))
    frame = {
        "idx": range(len(rows)),
        "p": partitions,
        "ts": pd.array(stamps, dtype="int64"),
        "typ": types,
    }
    for name, (dtype, _) in columns.items():
        frame[name] = pd.array(values[name], dtype=dtype)
    return pd.DataFrame(frame)
