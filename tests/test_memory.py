"""Nothing leaks: reference counts of what callers pass in, and process memory over many events."""

import gc
import os
import sys

import pytest

from vashlet import Event, sort_events


def fresh(text):
    """A str that no other code holds (not interned, not a constant)."""
    return "".join([text, "!"])


def refcounts(objects):
    return [sys.getrefcount(o) for o in objects]


def test_successful_construction_and_reads_keep_reference_counts():
    partition, typ, key, value, number = fresh("p"), fresh("t"), fresh("k"), fresh("v"), 1.25
    attrs = {key: value, fresh("n"): number}
    watched = [partition, typ, key, value, number, attrs, Event]
    gc.collect()  # garbage left by earlier tests may still hold Event instances
    before = refcounts(watched)
    for _ in range(200):
        event = Event(partition, 10**12, typ, attrs)
        event.attrs, event.partition, event.typ, repr(event)
        sort_events([event, event])
    del event
    gc.collect()
    assert refcounts(watched) == before


@pytest.mark.parametrize(
    "args, kwargs, error",
    [
        ((fresh("p"), 1, fresh("t"), {fresh("k"): fresh("v"), fresh("bad"): [1]}), {}, TypeError),
        ((fresh("p"), 1, fresh("t"), {fresh("k"): fresh("v"), 1: fresh("v")}), {}, TypeError),
        ((fresh("p"), 2**70, fresh("t")), {}, OverflowError),
        ((fresh("p"), 1), {"typ": fresh("t"), "extra": fresh("x")}, TypeError),
        ((fresh("p"), 1, fresh("t"), {fresh("k"): "\ud800"}), {}, TypeError),
        ((fresh("p"), 1, "\udc00"), {}, UnicodeEncodeError),
    ],
)
def test_failed_construction_keeps_reference_counts(args, kwargs, error):
    watched = list(args) + list(kwargs.values())
    for mapping in [a for a in args if isinstance(a, dict)]:
        watched += list(mapping) + list(mapping.values())
    before = refcounts(watched)
    for _ in range(100):
        with pytest.raises(error):
            Event(*args, **kwargs)
    gc.collect()
    assert refcounts(watched) == before


def test_failed_sort_keeps_reference_counts():
    good, bad = Event("p", 1, "t"), fresh("bad")
    events = [good, bad]
    watched = [good, bad, events]
    before = refcounts(watched)
    for _ in range(100):
        with pytest.raises(TypeError):
            sort_events(events)
    assert refcounts(watched) == before


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs /proc")
def test_many_events_do_not_grow_the_process():
    count = 100_000
    names = [f"user{i % 997}" for i in range(count)]

    def round_trip():
        events = [
            Event(names[i], (i * 7919) % 1000, "login",
                  {"n": i, "x": 0.5, "s": names[i], "b": True})
            for i in range(count)
        ]
        ordered = sort_events(events)
        assert len(ordered) == count
        for event in ordered[::10]:
            event.attrs, repr(event)
        for _ in range(count // 10):
            try:
                Event("p", 1, "t", {"a": "x", "b": [1]})
            except TypeError:
                pass

    if "libasan" in os.environ.get("LD_PRELOAD", ""):
        round_trip()  # still worth running under the sanitizer, but its quarantine holds memory
        pytest.skip("resident size is meaningless under the address sanitizer")
    for _ in range(2):  # warm up the allocators
        round_trip()
    gc.collect()
    baseline = resident_bytes()
    for _ in range(4):
        round_trip()
    gc.collect()
    grown = resident_bytes() - baseline
    # One leaked string per event would be several MiB per round.
    assert grown < 16 * 1024 * 1024, f"resident set grew by {grown} bytes"
