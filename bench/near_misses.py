"""Timings of the near-miss analysis.

Two deep searches over one partition of 2,000 `A` events: a 30-step chain of `A` (the late starts
cannot complete), and the same chain followed by a `B` that never occurs (every start is a near
miss). Then chains whose steps capture values and whose last step reads one that no later event
has, over events with distinct `id`s: with a capture on every step, or with one capture and windows. The plain search, every path from every start with nothing remembered, is shown beside the
module on an input small enough for it; it is the Python statement of the analysis that the tests
use as their oracle.

    PYTHONPATH=python python bench/near_misses.py [--repeats N]
"""

import argparse
import json
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
sys.path.insert(0, str(Path(__file__).resolve().parent))

import near_miss_reference  # noqa: E402
from timing import median_seconds  # noqa: E402
from vashlet import Event, near_miss_events, parse_pattern  # noqa: E402


def chain(steps, then=None):
    return " -> ".join(["A"] * steps + ([then] if then else []))


def a_events(count):
    return [Event("u", ts, "A") for ts in range(count)]


def capture_chain(steps):
    """Every step captures a value of its own; only the last step reads one, the first, and no
    later event has it."""
    return " -> ".join([f"A[id as $v{i}]" for i in range(steps - 1)] + ["A[id == $v0]"])


def window_chain(steps):
    """One captured value, read by the last step only, across steps linked by 10-unit windows."""
    return "A[id as $v]" + " -[<=10]-> A" * (steps - 2) + " -[<=10]-> A[id == $v]"


def id_events(count):
    return [Event("u", ts, "A", {"id": ts}) for ts in range(count)]


# Searches that only work when the memo keeps just the bindings later steps read and the depth
# bound sees a reference predicate that no later event satisfies: (name, pattern, events).
def correlated_cases():
    return [
        ("8 steps, 7 captures", capture_chain(8), id_events(35)),
        ("10 steps, 9 captures", capture_chain(10), id_events(26)),
        ("40 steps, windows", window_chain(40), id_events(3000)),
        ("60 steps, 59 captures", capture_chain(60), id_events(5000)),
        ("60 steps, windows", window_chain(60), id_events(5000)),
    ]


def module(pattern_text, events):
    pattern = parse_pattern(pattern_text)
    return lambda: len(near_miss_events(pattern, events))


def plain(pattern_text, events):
    pattern = json.loads(parse_pattern(pattern_text).to_json())
    return lambda: len(near_miss_reference.near_misses(pattern, events))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeats", type=int, default=5, help="runs per case (default 5)")
    repeats = parser.parse_args().repeats

    cases = [
        ("30 x A", "module", 2000, module(chain(30), a_events(2000)), repeats),
        ("30 x A -> B", "module", 2000, module(chain(30, "B"), a_events(2000)), repeats),
        ("8 x A -> B", "module", 20, module(chain(8, "B"), a_events(20)), repeats),
        ("8 x A -> B", "plain search", 20, plain(chain(8, "B"), a_events(20)), min(repeats, 3)),
    ]
    cases += [(name, "module", len(events), module(text, events), repeats)
              for name, text, events in correlated_cases()]
    print(f"{'pattern':<22} {'search':<13} {'events':>7} {'near misses':>12} {'seconds':>10}")
    for name, search, count, run, runs in cases:
        seconds, found = median_seconds(run, runs)
        print(f"{name:<22} {search:<13} {count:>7} {found:>12} {seconds:>10.4f}")


if __name__ == "__main__":
    main()
