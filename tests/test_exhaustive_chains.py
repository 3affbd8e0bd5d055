"""Exhaustive matching of plain chains (no step reads a binding, none forbids an event) enumerates
each start's completions from per-step lists instead of keeping partial matches: the same matches
as the reference matcher, in the same order, from lists of events and from tables alike."""

import random

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import vashlet
from vashlet import Event, _core, match_events, parse_pattern

INT64_MIN = -(2**63)
INT64_MAX = 2**63 - 1

# Windows around the gaps drawn below, and the extremes of the arithmetic.
WINDOWS = st.sampled_from([None, None, 0, 1, 2, 3, 5, -1, INT64_MAX])
# A step's atom: a type alone, a literal test, or a capture (a new name per step).
ATOMS = st.sampled_from(["A", "A", "B", "C", "A[n >= 1]", "B[n == 0]", "C[n != 2]", "A[m < 1]"])


@st.composite
def chains(draw):
    steps = draw(st.integers(1, 5))
    text = ""
    for k in range(steps):
        atom = draw(ATOMS)
        if draw(st.integers(0, 3)) == 0:  # capture into a fresh name
            inner = atom[2:-1] + ", " if "[" in atom else ""
            atom = f"{atom[0]}[{inner}n as $c{k}]"
        if k:
            window = draw(WINDOWS)
            text += " -> " if window is None else f" -[<={window}]-> "
        text += atom
    return text


@st.composite
def partitions(draw):
    """Several partitions, or one long one, with many equal timestamps."""
    names = draw(st.sampled_from([["p"], ["p", "q"], ["a", "b", "c", "d"]]))
    chooser = random.Random(draw(st.integers(0, 2**32 - 1)))
    events = []
    for name in names:
        ts = draw(st.sampled_from([0, INT64_MIN, INT64_MAX - 200]))
        for _ in range(draw(st.integers(0, 40))):
            ts += chooser.choice([0, 0, 1, 1, 2, 4])
            attrs = {"n": chooser.choice([0, 1, 2, 1.5, "x"])}
            if chooser.random() < 0.5:
                attrs["m"] = chooser.choice([0, 1, None])
            events.append(Event(name, ts, chooser.choice("AAABBCD"), attrs))
    return events


def key(match):
    captures = sorted((name, type(v).__name__, repr(v)) for name, v in match.captures.items())
    return (match.partition, tuple(match.indices), match.start, match.end, tuple(captures))


def taken(call):
    _core._paths_taken()  # resets the counts
    result = call()
    return result, _core._paths_taken()


@settings(max_examples=300, deadline=None)
@given(chains(), partitions(), st.sampled_from([1, 2]))
def test_enumerated_chains_match_the_reference(text, events, threads):
    pattern = parse_pattern(text)
    found, paths = taken(lambda: match_events(pattern, events, exhaustive=True, threads=threads))
    oracle = match_events(pattern, events, exhaustive=True, use_oracle=True)
    assert [key(m) for m in found] == [key(m) for m in oracle]
    if events:
        assert paths["exhaustive_chains"] == len({e.partition for e in events})
        assert paths["staged"] == paths["streamed"] == 0


def as_table(events):
    pa = pytest.importorskip("pyarrow")
    return pa.table({
        "partition": [e.partition for e in events],
        "ts": [e.ts for e in events],
        "type": [e.typ for e in events],
        "n": [e.attrs["n"] for e in events],
    })


def run_of(name, length, seed):
    rng = random.Random(seed)
    return [Event(name, ts // 3, rng.choice("AABCD"), {"n": rng.randrange(3)})
            for ts in range(length)]


# Runs past the cached-run threshold still take the lists; a table's rows come back in the
# reference matcher's order, its captures in their columns.
@pytest.mark.parametrize("text", [
    "A -[<=2]-> B -[<=2]-> C",
    "A[n as $a] -[<=1]-> A -[<=3]-> B[n >= 1, n as $b]",
    "A -[<=4]-> A -[<=0]-> A",
])
@pytest.mark.parametrize("threads", [1, 2])
def test_long_runs_and_tables_match_the_reference(text, threads):
    events = run_of("long", 3 * _core._tuning()["cached_run"], 7) + run_of("short", 300, 8)
    pattern = parse_pattern(text)
    oracle = match_events(pattern, events, exhaustive=True, use_oracle=True)
    assert oracle
    table, paths = taken(lambda: vashlet.match(text, as_table(events), exhaustive=True,
                                               threads=threads))
    assert paths["exhaustive_chains"] == 2
    rows = table.to_pylist()
    assert [tuple(r["rows"]) for r in rows] == [tuple(m.indices) for m in oracle]
    assert [(r["start"], r["end"]) for r in rows] == [(m.start, m.end) for m in oracle]
    assert [r["captures"] for r in rows] == [dict(m.captures) for m in oracle]


@pytest.mark.parametrize("threads", [1, 2])
def test_max_matches_bounds_an_enumerated_chain(threads):
    # 30 A then a B: 435 pairs of A, each completed by the B.
    events = [Event("p", i, "A") for i in range(30)] + [Event("p", 30, "B")]
    pattern = parse_pattern("A -> A -> B")
    assert len(match_events(pattern, events, exhaustive=True, threads=threads,
                            max_matches=435)) == 435
    with pytest.raises(ValueError, match=r"max_matches=434 .*partition 'p' \(31 events\)"):
        match_events(pattern, events, exhaustive=True, threads=threads, max_matches=434)
