"""Nothing leaks: every call keeps the reference counts of what it is given, whether it succeeds or
fails, and many events do not grow the process."""

import gc
import os

import pytest

from helpers import fresh, refcounts
from vashlet import (Event, Pattern, match_events, near_miss_events, parse_pattern, pattern_from_json,
                     sort_events)


def assert_counts_kept(watched, run, times=100):
    run()  # warm up caches that live for the process
    gc.collect()
    before = refcounts(watched)
    for _ in range(times):
        run()
    gc.collect()
    assert refcounts(watched) == before


def test_successful_calls_keep_reference_counts():
    partition, typ, attr, value, name = fresh("p"), fresh("A"), fresh("x"), fresh("v"), fresh("$u")
    window, number = 10**12 + 1, 1.25
    attrs = {attr: value, fresh("n"): number}
    events = [Event(partition, 0, typ, attrs), Event(partition, 1, "B", {attr: value})]

    def run():
        event = Event(partition, window, typ, attrs)
        event.attrs, event.partition, event.typ, repr(event), sort_events([event, *events])
        builder = (Pattern.event(typ).where_eq(attr, value).capture(attr, name)
                   .then("B", within=window, no=typ).where_ref_eq(attr, name))
        pattern = builder.build()
        pattern_from_json(pattern.to_json(pretty=True)), repr(builder), repr(pattern), parse_pattern(typ)
        for exhaustive in (False, True):
            for m in match_events(builder, events, exhaustive=exhaustive, use_oracle=exhaustive):
                m.partition, m.events, m.captures, m.types, m.indices, repr(m)
        for miss in near_miss_events(builder.then("C"), events):
            miss.partition, miss.events, miss.detail, miss.captures, miss.next_event_type, repr(miss)

    watched = [partition, typ, attr, value, name, window, number, attrs, events, *events, Event]
    assert_counts_kept(watched, run)


# Each call fails; `a` holds fresh objects: two strings, a list holding a string, two events and
# a dict with a convertible entry before a bad one.
FAILING = [
    (lambda a: Event(a["s"], 1, a["t"], a["attrs"]), TypeError),
    (lambda a: Event(a["s"], 1, a["t"], {a["s"]: a["t"], 1: a["t"]}), TypeError),
    (lambda a: Event(a["s"], 2**70, a["t"]), OverflowError),
    (lambda a: Event(a["s"], 1, typ=a["t"], extra=a["s"]), TypeError),
    (lambda a: Event(a["s"], 1, a["t"], {a["s"]: "\ud800"}), TypeError),
    (lambda a: sort_events([*a["events"], a["s"]]), TypeError),
    (lambda a: Pattern.event(a["s"]).where_eq(a["t"], a["list"]), TypeError),
    (lambda a: Pattern.event(a["s"]).then(a["s"], within=a["list"]), TypeError),
    (lambda a: Pattern.event(a["s"]).capture(a["list"], a["t"]), TypeError),
    (lambda a: parse_pattern(a["s"] + " ->"), ValueError),
    (lambda a: pattern_from_json(a["s"]), ValueError),
    (lambda a: match_events(a["t"], a["events"]), TypeError),
    (lambda a: match_events(Pattern.event(a["s"]), a["events"], exhaustive=a["list"]), TypeError),
    (lambda a: match_events(Pattern.event(a["s"]), a["events"][::-1]), ValueError),
    (lambda a: near_miss_events(parse_pattern(a["s"]), a["events"][::-1]), ValueError),
    (lambda a: near_miss_events({a["s"]: []}, a["events"]), TypeError),
]


@pytest.mark.parametrize("call, error", FAILING)
def test_failed_calls_keep_reference_counts(call, error):
    a = {"s": fresh("A"), "t": fresh("x"), "list": [fresh("bad")],
         "events": [Event("p", 0, "A"), Event("q", 1, "A")],
         "attrs": {fresh("k"): fresh("v"), fresh("bad"): [1]}}
    watched = [*a.values(), *a["list"], *a["events"], *a["attrs"], *a["attrs"].values()]

    def run():
        with pytest.raises(error):
            call(a)

    assert_counts_kept(watched, run, times=50)


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs /proc")
def test_many_events_do_not_grow_the_process():
    names = [f"user{i % 997}" for i in range(100_000)]

    def round_trip():
        events = [Event(name, (i * 7919) % 1000, "login", {"n": i, "x": 0.5, "s": name, "b": True})
                  for i, name in enumerate(names)]
        for event in sort_events(events)[::10]:
            event.attrs, repr(event)
            with pytest.raises(TypeError):
                Event("p", 1, "t", {"a": "x", "b": [1]})

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
    # One leaked string per event would be several MiB per round.
    assert resident_bytes() - baseline < 16 * 1024 * 1024
