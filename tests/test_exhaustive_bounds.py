"""Exhaustive matching within bounds: partial paths that an equality reference rules out are
dropped (same matches as the reference matcher), `max_matches` bounds any result, and a search
that would outgrow the memory the process may use fails with a message instead."""

import os
import random
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import vashlet
from vashlet import Event, _core, match_events, parse_pattern

PACKAGE_ROOT = Path(vashlet.__file__).resolve().parent.parent
# Partial paths are checked against later values only in partitions at least this long.
LONG_RUN = _core._tuning()["reach_index_from"]


def under_sanitizer():
    return "asan" in os.environ.get("LD_PRELOAD", "")


def a_then_b(count, b_values, x_of=lambda i: i):
    """`count` A events with x = x_of(i), then one B per value of `b_values`, in one partition."""
    events = [Event("p", i, "A", {"x": x_of(i)}) for i in range(count)]
    events += [Event("p", count + n, "B", {"x": v, "y": -1}) for n, v in enumerate(b_values)]
    return events


def test_a_reference_no_later_event_holds_keeps_no_partial_path():
    # 40,000 A events, each a partial path with every later A: 8e8 pairs, none of which a B
    # completes, except those that the two B values reach.
    count = 40_000
    events = a_then_b(count, [count - 3, -5, 7.0])
    found = match_events(parse_pattern("A[x as $v] -> A -> B[x == $v]"), events, exhaustive=True)
    # A 39,997 with A 39,998 or 39,999 then the first B; A 7 with every later A then the third.
    expected = {(count - 3, j, count) for j in (count - 2, count - 1)}
    expected |= {(7, j, count + 2) for j in range(8, count)}
    assert {tuple(m.indices) for m in found} == expected
    assert len(found) == len(expected)


TEMPLATES = [
    "A[x as $v] -> A -> B[x == $v]",
    "A[x as $v] -[<=6]-> A -[<=6]-> B[x == $v]",
    "A[x as $v] -> B[x == $v] -[<=20]-> A[x == $v]",
    "A[x as $v] -[<=8, no C[x == $v]]-> B[x == $v, y >= 1]",
    "A[x as $v, y as $w] -[<=9]-> A[y == $w] -[<=9]-> B[x == $v]",
    "A[x as $v] -[<=5]-> B[x != $v] -[<=5]-> C[x == $v]",
]
# Mostly values that few events share (the paths they start are dropped), some that many do.
X_VALUES = [0, 1, 1.0, "s", None] + list(range(100, 400))


@st.composite
def long_partitions(draw):
    """One partition long enough to be checked, then maybe a short one."""
    chooser = random.Random(draw(st.integers(0, 2**32 - 1)))
    events = []
    for partition, length in (("p", draw(st.integers(LONG_RUN, LONG_RUN + 200))),
                              ("q", draw(st.integers(0, 30)))):
        ts = 0
        for _ in range(length):
            ts += chooser.choice([0, 1, 1, 2, 5])
            attrs = {"x": chooser.choice(X_VALUES)}
            if chooser.random() < 0.5:
                attrs["y"] = chooser.choice([0, 1, 2])
            events.append(Event(partition, ts, chooser.choice("AABBC"), attrs))
    return events


@settings(max_examples=30, deadline=None)
@given(st.sampled_from(TEMPLATES), long_partitions())
def test_dropped_partial_paths_never_lose_a_match(text, events):
    pattern = parse_pattern(text)
    _core._paths_taken()  # resets the counts
    compiled = match_events(pattern, events, exhaustive=True, threads=1)
    assert _core._paths_taken()["reach_indexed"] == 1  # only the long partition
    oracle = match_events(pattern, events, exhaustive=True, use_oracle=True, threads=1)
    key = lambda m: (m.partition, tuple(m.indices), repr(sorted(m.captures.items())))  # noqa: E731
    assert [key(m) for m in compiled] == [key(m) for m in oracle]


def pairs_table(count=50):
    """Two partitions: `count` A then a B in p (count**2 / 2 exhaustive matches), one match in q."""
    events = a_then_b(count, [], x_of=lambda i: 0) + [Event("p", 10_000, "B", {"x": 0})]
    events += [Event("q", 0, "A", {"x": 0}), Event("q", 1, "A", {"x": 0}), Event("q", 2, "B", {"x": 0})]
    return events


def via_events(pattern, events, **options):
    return len(match_events(parse_pattern(pattern), events, **options))


def via_table(pattern, events, **options):
    return len(vashlet.match(pattern, events, **options))


@pytest.mark.parametrize("call", [via_events, via_table])
@pytest.mark.parametrize("exhaustive", [True, False])
@pytest.mark.parametrize("threads", [1, 2])
def test_max_matches_bounds_the_result(call, exhaustive, threads):
    pattern = "A[x as $v] -> A -> B[x == $v]"
    events = pairs_table()
    total = call(pattern, events, exhaustive=exhaustive, threads=threads)
    assert total == (50 * 49 // 2 + 1 if exhaustive else 49 + 1)
    assert call(pattern, events, exhaustive=exhaustive, threads=threads, max_matches=total) == total
    assert call(pattern, events, exhaustive=exhaustive, threads=threads, max_matches=None) == total
    with pytest.raises(ValueError, match=rf"max_matches={total - 1} .*partition '[pq]'"):
        call(pattern, events, exhaustive=exhaustive, threads=threads, max_matches=total - 1)


def test_max_matches_with_the_reference_matcher_and_in_one_partition():
    pattern = parse_pattern("A -> B")
    events = pairs_table(10)
    with pytest.raises(ValueError, match=r"max_matches=3 .*partition 'p'"):
        match_events(pattern, events, exhaustive=True, use_oracle=True, max_matches=3)
    with pytest.raises(ValueError, match=r"max_matches=0 .*partition 'p' \(11 events\)"):
        match_events(pattern, events, exhaustive=True, threads=1, max_matches=0)


@pytest.mark.skipif(under_sanitizer(), reason="an address-space limit conflicts with the sanitizer")
def test_a_search_beyond_the_memory_limit_fails_with_a_message():
    # No reference predicate decides these paths (y > $v is no equality): every pair of A waits
    # for a B until the last event, which then completes none of them.
    script = textwrap.dedent(
        """
        import resource, sys
        limit = 1 << 30
        resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
        from vashlet import Event, match_events, parse_pattern
        events = [Event("big", i, "A", {"x": i}) for i in range(6000)]
        events.append(Event("big", 6000, "B", {"y": -1}))
        try:
            match_events(parse_pattern("A[x as $v] -> A -> B[y > $v]"), events, exhaustive=True,
                         threads=1)
        except MemoryError as error:
            print(error)
            sys.exit(3)
        """
    )
    env = dict(os.environ, PYTHONPATH=str(PACKAGE_ROOT))
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                          env=env, timeout=120)
    assert done.returncode == 3, done.stderr
    message = done.stdout
    assert "partition 'big' (6,001 events)" in message
    assert "partial paths" in message and "MiB" in message


@pytest.mark.parametrize("said", ["exhaustive matching of partition 'p' (1 events) would hold more", ""])
def test_command_line_reports_a_memory_error_in_one_line(tmp_path, monkeypatch, capsys, said):
    pa = pytest.importorskip("pyarrow")
    import pyarrow.parquet as pq
    from vashlet import cli

    source = tmp_path / "events.parquet"
    pq.write_table(pa.table({"partition": ["p"], "ts": [1], "type": ["A"]}), source)

    def exhausted(*args, **kwargs):
        raise MemoryError(*([said] if said else []))

    monkeypatch.setattr(cli, "match_table", exhausted)
    status = cli.main(["match", "--exhaustive", "A -> A", str(source)])
    assert status == 2
    err = capsys.readouterr().err
    assert err == "vashlet: error: out of memory" + (f": {said}" if said else "") + "\n"

    monkeypatch.setattr("vashlet._funnel.funnel_and_misses", exhausted)
    status = cli.main(["explain", "A -> A", str(source), "--report", str(tmp_path / "r.html")])
    assert status == 2
    assert capsys.readouterr().err.count("\n") == 1
    assert not (tmp_path / "r.html").exists()
