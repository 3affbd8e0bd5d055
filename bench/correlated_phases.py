"""Where a call of match_events spends its time on the correlated scenario, per event, as the
input grows: taking in the event list, matching, and building the Match objects (each holds its
own copies of the events it names). It tells a matcher whose cost per event grows apart from
memory that stops fitting the cache.

    PYTHONPATH=python python bench/correlated_phases.py               # 50k to 400k events
    PYTHONPATH=python python bench/correlated_phases.py 50000 800000  # sizes of your choice

Each call starts as the bench's do (timing.median_seconds): the cyclic collector runs first and
is paused during the call. `take in` and `matching` come from `_time_matching`, which returns
the seconds of its matching; `building` is the rest of a whole `match_events` call.
"""

import gc
import os
import statistics
import sys
import time

sys.path.insert(0, os.path.dirname(__file__))

import inputs  # noqa: E402
from table import Table, count, rate  # noqa: E402

import vashlet  # noqa: E402

EVENTS_PER_USER = 10
REPEATS = 9


def collected_then(call):
    """The seconds of `call()`, run after a collection with the collector paused, and its result."""
    gc.collect()
    gc.disable()
    try:
        started = time.perf_counter()
        result = call()
        return time.perf_counter() - started, result
    finally:
        gc.enable()


def phases(pattern, events):
    """Median seconds of the take-in, the matching and the whole call."""
    take_in, matching, whole = [], [], []
    for _ in range(REPEATS):
        seconds, matched = collected_then(
            lambda: vashlet._core._time_matching(pattern, events, threads=1))
        take_in.append(seconds - matched)
        matching.append(matched)
        result = None
        seconds, result = collected_then(lambda: vashlet.match_events(pattern, events, threads=1))
        whole.append(seconds)
    return statistics.median(take_in), statistics.median(matching), statistics.median(whole)


def main(sizes):
    pattern = vashlet.parse_pattern(inputs.CORRELATED_TEXT)
    table = Table(
        "correlated: where the time goes",
        ["events", "matches", "take in ns/ev", "matching ns/ev", "building ns/ev", "events/s"],
        [f"pattern: {inputs.CORRELATED_TEXT}; one partition, one user per {EVENTS_PER_USER} "
         f"events; one thread; median of {REPEATS}"],
    )
    for size in sizes:
        events = inputs.make_events(inputs.correlated_rows(size, size // EVENTS_PER_USER))
        matches = len(vashlet.match_events(pattern, events, threads=1))
        take_in, matching, whole = phases(pattern, events)
        per_event = lambda seconds: f"{seconds / size * 1e9:.1f}"  # noqa: E731
        table.add_row([count(size), count(matches), per_event(take_in), per_event(matching),
                       per_event(max(whole - take_in - matching, 0.0)), rate(size / whole)])
    table.note("building: the whole call less the take-in and the matching")
    print(table.render())


if __name__ == "__main__":
    main([int(arg) for arg in sys.argv[1:]] or [50_000, 100_000, 200_000, 400_000])
