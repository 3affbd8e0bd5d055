"""Alerts as events arrive: logins followed within five minutes by a purchase of the same user
(no logout in between), and the logins that timed out, with the reason, as soon as they are final.

The events come from a generator in batches, out of order by up to 20 seconds, as a message queue
consumer would hand them over; no broker is needed to run it: `python examples/stream_alerts.py`.
"""

import random

import pyarrow as pa

import vashlet

# Per user (the partition): a login, then within five minutes and with no logout between, a
# purchase of at least 10.
PATTERN = "login -[<=5m, no logout]-> purchase[amount >= 10]"
SCHEMA = pa.schema({"user": pa.string(), "ts": pa.int64(), "type": pa.string(),
                    "amount": pa.float64()})
USERS = ["ann", "bob", "cy", "dee", "eve", "fay"]


def sessions(rng, clock):
    """The events of one visit of a random user from `clock` on (seconds): a login, then maybe a
    purchase (soon, or too late, or too small), maybe a logout first."""
    user = rng.choice(USERS)
    events = [{"user": user, "ts": clock, "type": "login", "amount": None}]
    fate = rng.choice(["buys", "buys", "late", "small", "leaves", "browses"])
    if fate == "leaves":
        events.append({"user": user, "ts": clock + 60, "type": "logout", "amount": None})
    later = {"late": 400, "browses": None}.get(fate, rng.randrange(20, 250))
    if later is not None:
        amount = 5.0 if fate == "small" else float(rng.randrange(10, 200))
        events.append({"user": user, "ts": clock + later, "type": "purchase", "amount": amount})
    return events


def event_batches(count=12, size=16, seed=0):
    """`count` batches of about `size` events each, in arrival order: each event is up to 20 s
    late on its own time, as events from many producers are."""
    rng = random.Random(seed)
    pending, clock = [], 0
    for _ in range(count):
        for _ in range(size // 2):
            clock += rng.randrange(5, 40)
            pending += sessions(rng, clock)
        due = sorted((e for e in pending if e["ts"] <= clock),
                     key=lambda e: e["ts"] + rng.randrange(0, 21))
        pending = [e for e in pending if e["ts"] > clock]
        yield due
    yield sorted(pending, key=lambda e: e["ts"])


def describe(miss):
    if miss["reason"] == "window_exceeded":
        return f"purchase came {miss['gap']} s after the login"
    if miss["reason"] == "absence_blocked":
        return "logged out first"
    if miss["reason"] == "predicate_failed":
        failed = miss["failures"][0]
        return f"{failed['attribute']} was {failed['actual']}"
    return "no purchase"


def alerts(batches, out=print):
    """Pushes each batch of records through a stream and prints what became final; the number
    of alerts and of timeouts."""
    stream = vashlet.Stream(PATTERN, partition="user", ts_unit="s", lateness="30s",
                            explain=True)
    counts = [0, 0]
    # With a message queue, this loop polls the consumer: each poll's records become one batch.
    # After acting on the output, store `stream.snapshot()` with the offsets the consumer is
    # about to commit (in one transaction, or the snapshot first, keyed by those offsets). A
    # restart restores it with `vashlet.Stream.restore` and seeks the consumer to the offsets
    # stored with it, so that every event is pushed exactly once.
    for number, records in enumerate(batches):
        found = stream.push(pa.Table.from_pylist(records, schema=SCHEMA))
        report(f"batch {number:>2}", found, counts, out)
    # The end of the input (a bounded replay, or shutting down for good): decide the rest.
    report("flush   ", stream.flush(), counts, out)
    return tuple(counts)


def report(when, found, counts, out):
    for match in found:
        out(f"{when}  alert    {match['partition']:<4} login at {match['start']:>4} s, "
            f"purchase at {match['end']:>4} s")
    for miss in found.near_misses:
        out(f"{when}  timeout  {miss['partition']:<4} login at row {miss['start_row']:>3}: "
            f"{describe(miss)}")
    counts[0] += len(found)
    counts[1] += len(found.near_misses)


def main():
    found, missed = alerts(event_batches())
    print(f"{found} alerts, {missed} timeouts")


if __name__ == "__main__":
    main()
