"""Nothing leaks: every call keeps the reference counts of what it is given (refused calls: in
test_errors.py), many events do not grow the process, and idle memory goes back to the system."""

import gc
import os
import subprocess
import sys
import textwrap
import time

import pyarrow as pa
import pytest

import vashlet
from helpers import Sequence, fresh, refcounts, resident_bytes
from vashlet import Event, Pattern, match_events, near_miss_events, parse_pattern, pattern_from_json, sort_events


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
        for exhaustive, threads in ((False, None), (True, 2)):
            for m in match_events(builder, events, exhaustive=exhaustive, use_oracle=exhaustive,
                                  threads=threads):
                m.partition, m.events, m.captures, m.types, m.indices, repr(m)
        for threads in (1, 3):
            for miss in near_miss_events(builder.then("C"), events, threads=threads):
                miss.partition, miss.events, miss.detail, miss.captures, miss.next_event_type
                repr(miss)

    watched = [partition, typ, attr, value, name, window, number, attrs, events, *events, Event]
    assert_counts_kept(watched, run)


@pytest.mark.parametrize("container", [list, tuple, Sequence])
def test_calls_hold_the_given_events_only_while_they_run(container):
    # The calls read the events in place, holding each item while they run; what they return
    # holds copies, so keeping the results keeps no given event alive.
    events = [Event(fresh("p"), 0, "A", {fresh("x"): 1.5}), Event(fresh("p"), 1, "B")]
    given = container(events)
    gc.collect()
    before = refcounts(events)
    results = [sort_events(given), match_events(parse_pattern("A -> B"), given, exhaustive=True),
               near_miss_events(parse_pattern("A -> B -> C"), given),
               match_events(parse_pattern("A -> B"), given, threads=2),
               near_miss_events(parse_pattern("A -> B -> C"), given, threads=2)]
    assert refcounts(events) == before
    assert [len(result) for result in results] == [2, 1, 1, 1, 1]


ONE_STEP, TWO_STEPS = parse_pattern("A"), parse_pattern("A -> B")
# Each calls the function directly: nothing that the collector tracks is allocated on the way in.
CALLS = {
    "sort_events": lambda events: sort_events(events),
    "match_events": lambda events: match_events(ONE_STEP, events),
    "near_miss_events": lambda events: near_miss_events(TWO_STEPS, events),
}


def described(results):
    return [[(e.partition, e.ts, e.attrs) for e in getattr(item, "events", [item])]
            for item in results]


@pytest.mark.parametrize("call", CALLS.values(), ids=CALLS.keys())
def test_events_outlive_a_finaliser_that_empties_their_list(call):
    # The collector runs once the call allocates its result list, and a finaliser then empties
    # the caller's list, whose items nothing else holds: the call must go on reading valid events.
    events = [Event("p", ts, "A", {fresh("n"): ts}) for ts in range(40)]
    expected = described(call(list(events)))
    phase, seen = ["before"], []

    class Emptier:
        def __del__(self):
            seen.append((phase[0], len(events)))
            events.clear()

    threshold = gc.get_threshold()
    gc.collect()
    gc.disable()
    try:
        cycle = Emptier()
        cycle.self = cycle
        del cycle
        gc.set_threshold(1)
        phase[0] = "calling"
        gc.enable()
        result = call(events)
        phase[0] = "returned"
    finally:
        gc.set_threshold(*threshold)
        gc.enable()
        gc.collect()
    assert seen == [("calling", 40)] and events == []
    assert described(result) == expected


STARTS_THEN_LOGIN = parse_pattern("login[n < 1000, s as $s] -> login[s == $s]")
STARTS_THEN_LOGOUT = parse_pattern("login[n < 1000, s as $s] -> logout[s == $s]")


@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs /proc")
def test_many_events_do_not_grow_the_process():
    names = [f"user{i % 997}" for i in range(100_000)]

    def round_trip():
        events = [Event(name, (i * 7919) % 1000, "login", {"n": i, "x": 0.5, "s": name, "b": True})
                  for i, name in enumerate(names)]
        in_order = sort_events(events)
        for event in in_order[::10]:
            event.attrs, repr(event)
            with pytest.raises(TypeError):
                Event("p", 1, "t", {"a": "x", "b": [1]})
        # The native workers' results, and what they hold, go with each call.
        for threads in (1, 2):
            assert len(match_events(STARTS_THEN_LOGIN, in_order, threads=threads)) > 900
            assert len(near_miss_events(STARTS_THEN_LOGOUT, in_order, threads=threads)) > 900

    if "libasan" in os.environ.get("LD_PRELOAD", ""):
        round_trip()  # still worth running under the sanitizer, but its quarantine holds memory
        pytest.skip("resident size is meaningless under the address sanitizer")
    for _ in range(2):  # warm up the allocators
        round_trip()
    # Large blocks kept for the next call, and free heap not yet trimmed, are not leaks: let them
    # go before each measure, so that it does not depend on when the keeper last swept.
    gc.collect()
    vashlet.release_memory()
    baseline = resident_bytes()
    for _ in range(4):
        round_trip()
    gc.collect()
    vashlet.release_memory()
    # One leaked string per event would be several MiB per round.
    assert resident_bytes() - baseline < 16 * 1024 * 1024


@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs /proc")
def test_large_buffers_are_kept_only_briefly():
    # Large buffers are kept a moment for the next call of about the same size; calls of ever new
    # sizes must not pile them up beyond that moment.
    def call(rows):
        table = pa.table({"partition": pa.array(["p"] * rows), "ts": pa.array(range(rows)),
                          "type": pa.array(["A", "B"] * (rows // 2))})
        assert len(vashlet.match("A -> B", table)) == rows // 2

    if "LD_PRELOAD" in os.environ:
        call(1_000)
        pytest.skip("resident size is meaningless under the sanitizers")
    call(20_000)
    gc.collect()
    baseline = resident_bytes()
    for step in range(1, 11):
        call(200_000 + 40_000 * step)  # each size asks for blocks of its own
    time.sleep(2.5)
    call(20_000)  # finds every kept block too old
    gc.collect()
    # These calls used several hundred MiB; a few pages of it may stay with the allocator.
    assert resident_bytes() - baseline < 64 * 1024 * 1024


# ---------------------------------------------------------------------------------------------
# Idle memory: what a large call keeps for the next one leaves on its own within seconds, at once
# on release_memory(), and not at all with VASHLET_KEEP_MEMORY=0. Each runs in a fresh process,
# whose resident size is its own.

IDLE_CHILD = textwrap.dedent("""
    import gc, os, sys, time
    import pyarrow as pa
    import vashlet

    def resident_mib():
        with open("/proc/self/statm") as statm:
            return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") / 2**20

    mode, rows = sys.argv[1], 1_000_000
    table = pa.table({"partition": pa.array([f"user{i % 50_000:05}" for i in range(rows)]),
                      "ts": pa.array(range(rows)),
                      "type": pa.array(["login", "view", "view", "logout"] * (rows // 4)),
                      "item": pa.array([i % 97 for i in range(rows)])})
    small = table.slice(0, 1_000)
    vashlet.match("login -> view", small), vashlet.explain("login -> purchase", small)
    gc.collect()
    baseline = resident_mib()
    # Few results, which stay held: the process should come back to about its baseline.
    held = (vashlet.match("login[item == 3] -> view[item == 5] -> logout", table),
            vashlet.explain("login[item == 1] -> purchase", table))
    assert 0 < len(held[1]) < 10_000
    after = resident_mib()
    if mode == "idle":
        time.sleep(3)
    elif mode == "release":
        freed = vashlet.release_memory()
        print("freed", freed > 0, vashlet.release_memory())
    elif mode == "fork":
        pid = os.fork()
        if pid == 0:  # nothing kept came along, and the module works and lets go as before
            code = 0 if vashlet.release_memory() == 0 else 1
            vashlet.match("login -> view", table.slice(0, 400_000))
            time.sleep(3)
            code = code or (0 if vashlet.release_memory() == 0 else 2)
            os._exit(code)
        print("child", os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]))
        time.sleep(3)
    print(f"{baseline:.0f} {after:.0f} {resident_mib():.0f}")
""")


def run_idle_child(mode, **environment):
    done = subprocess.run([sys.executable, "-c", IDLE_CHILD, mode], capture_output=True, text=True,
                          timeout=300, env={**os.environ, **environment})
    assert done.returncode == 0, done.stderr
    *lines, figures = done.stdout.splitlines()
    baseline, after, later = (float(figure) for figure in figures.split())
    return lines, baseline, after, later


needs_real_allocator = pytest.mark.skipif(
    "LD_PRELOAD" in os.environ or not os.path.exists("/proc/self/statm"),
    reason="needs /proc, and resident size is meaningless under the sanitizers")


@needs_real_allocator
@pytest.mark.parametrize("mode, keep, messages", [
    ("idle", "1", []),  # the kept memory leaves on its own, with no further call
    ("release", "1", ["freed True 0"]),  # at once; a second release finds nothing
    ("release", "0", ["freed False 0"]),  # nothing was kept
    ("fork", "1", ["child 0"]),  # a child starts with nothing kept, and lets go of its own
])
def test_memory_of_a_large_call_goes_back_to_the_system(mode, keep, messages):
    lines, baseline, after, later = run_idle_child(mode, VASHLET_KEEP_MEMORY=keep)
    print(f"resident MiB of {mode}, keeping {keep}: {baseline} before, {after} right after, "
          f"{later} at the end")
    assert lines == messages
    if keep == "1":
        assert after > baseline + 100  # the call did keep a lot
    assert later < 1.2 * baseline, (baseline, after, later)
