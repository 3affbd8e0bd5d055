"""Partitions shared among native threads: every thread count gives the single-threaded result, in
its order, calls from several Python threads at once agree with calls one at a time, worker
failures reach the caller, and the default count follows the CPU quota."""

import os
import subprocess
import sys
import textwrap
import threading

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from helpers import Index
from test_matching_properties import VALUES, key, text_patterns
import vashlet
from vashlet import Event, match_events, near_miss_events, parse_pattern
from vashlet._core import _cgroup_quota_cores, _time_matching, _worker_threads

THREAD_COUNTS = (1, 2, 4)
SETTINGS = settings(max_examples=100, deadline=None)


@st.composite
def partitioned_events(draw):
    """Many partitions of mixed sizes, sometimes one that dwarfs the others, so that the chunks
    of the split have few or many runs and a boundary may fall inside a long run."""
    sizes = draw(st.lists(st.integers(0, 6), min_size=2, max_size=30))
    if draw(st.booleans()):
        sizes[draw(st.integers(0, len(sizes) - 1))] = draw(st.integers(20, 60))
    events = []
    for number, size in enumerate(sizes):
        ts = draw(st.sampled_from([0, -(2**63), 2**63 - 200]))
        for _ in range(size):
            ts += draw(st.sampled_from([0, 0, 1, 2]))
            attrs = draw(st.fixed_dictionaries({"n": VALUES}, optional={"m": VALUES}))
            events.append(Event(f"p{number:02}", ts, draw(st.sampled_from("AAABBC")), attrs))
    return events


def miss_key(miss):
    return (miss.partition, miss.indices, miss.next_event_type, repr(miss.detail),
            repr(miss.captures))


def results_by_thread_count(run):
    return {threads: run(threads) for threads in THREAD_COUNTS}


@SETTINGS
@given(text_patterns(), partitioned_events(), st.booleans(), st.booleans())
def test_matches_do_not_depend_on_the_thread_count(pattern, events, exhaustive, use_oracle):
    found = results_by_thread_count(lambda threads: [
        key(m) for m in match_events(pattern, events, exhaustive, use_oracle, threads=threads)])
    assert found[2] == found[1] and found[4] == found[1]


@SETTINGS
@given(text_patterns(), partitioned_events())
def test_near_misses_do_not_depend_on_the_thread_count(pattern, events):
    found = results_by_thread_count(lambda threads: [
        miss_key(miss) for miss in near_miss_events(pattern, events, threads=threads)])
    assert found[2] == found[1] and found[4] == found[1]


def many_partitions(count=300):
    return [Event(f"u{p:04}", ts, typ, {"item": (p + ts // 3) % 2})
            for p in range(count) for ts, typ in enumerate("ABABCABBA")]


SHARED_PATTERN = parse_pattern("A[item as $i] -[<=4]-> B[item == $i] -[no C]-> A")
SHARED_EVENTS = many_partitions()


def test_default_and_extreme_thread_counts_agree():
    expected = [key(m) for m in match_events(SHARED_PATTERN, SHARED_EVENTS, threads=1)]
    assert expected
    for threads in (None, Index(3), True, 10**6):  # more threads than partitions are not used
        got = match_events(SHARED_PATTERN, SHARED_EVENTS, threads=threads)
        assert [key(m) for m in got] == expected


def test_the_benchmarks_matching_timer_runs_what_match_events_runs():
    # It checks the same things, and it times a call that can fail like match_events does.
    for threads in (1, 2):
        assert _time_matching(SHARED_PATTERN, SHARED_EVENTS, threads=threads) >= 0.0
    with pytest.raises(ValueError, match="call sort_events first"):
        _time_matching(SHARED_PATTERN, SHARED_EVENTS[::-1])
    with pytest.raises(ValueError, match="threads"):
        _time_matching(SHARED_PATTERN, SHARED_EVENTS, threads=0)


@pytest.mark.parametrize("call", [
    lambda events, threads: [(key(m), m.events) for m in match_events(
        parse_pattern("A[n as $n]"), events, threads=threads)],
    lambda events, threads: [(miss_key(m), m.events) for m in near_miss_events(
        parse_pattern("A -> B"), events, threads=threads)],
], ids=["match_events", "near_miss_events"])
def test_many_results_are_copied_alike_on_several_threads(call):
    # Enough results that their events are copied on several threads as well.
    events = [Event(f"p{i // 7:05}", i, "A", {"n": i, "s": f"v{i}"}) for i in range(20_000)]
    expected = call(events, 1)
    assert len(expected) == 20_000
    for threads in (2, 5):
        got = call(events, threads)
        assert [k for k, _ in got] == [k for k, _ in expected]
        def described(results):
            return [[(e.partition, e.ts, e.attrs) for e in copies] for _, copies in results]

        assert described(got) == described(expected)


def test_calls_from_several_python_threads_share_patterns():
    # The GIL is released while the native workers run, so these calls really overlap.
    def run_all():
        return ([key(m) for m in match_events(SHARED_PATTERN, SHARED_EVENTS, threads=2)],
                [key(m) for m in match_events(SHARED_PATTERN, SHARED_EVENTS, True, threads=3)],
                [miss_key(m) for m in near_miss_events(SHARED_PATTERN, SHARED_EVENTS, threads=2)])

    expected = run_all()
    results, errors = [], []

    def worker():
        try:
            for _ in range(5):
                results.append(run_all())
        except BaseException as error:  # noqa: BLE001 - reported below
            errors.append(error)

    workers = [threading.Thread(target=worker) for _ in range(4)]
    for thread in workers:
        thread.start()
    for thread in workers:
        thread.join()
    assert errors == []
    assert len(results) == 20 and all(result == expected for result in results)


# A worker that runs out of memory: an exhaustive pattern without a window over one long
# partition has far more matches than memory, while the other partitions are harmless.
OUT_OF_MEMORY = textwrap.dedent("""
    import resource
    from vashlet import Event, match_events, parse_pattern
    events = [Event("a", t, "A") for t in range(3)]
    events += [Event("b", t, "A") for t in range(600)]
    events += [Event("c", t, "A") for t in range(3)]
    resource.setrlimit(resource.RLIMIT_AS, (1 << 29, 1 << 29))
    pattern = parse_pattern("A -> A -> A -> A")
    for threads in (1, 2, 3):
        try:
            match_events(pattern, events, exhaustive=True, threads=threads)
        except MemoryError:
            print("MemoryError", threads)
    print(len(match_events(pattern, events[:8], exhaustive=True, threads=2)))
""")


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="needs RLIMIT_AS")
@pytest.mark.skipif("LD_PRELOAD" in os.environ, reason="sanitizers reserve address space")
def test_a_worker_out_of_memory_raises_memory_error():
    done = subprocess.run([sys.executable, "-c", OUT_OF_MEMORY], capture_output=True, text=True,
                          timeout=120, env=dict(os.environ))
    assert done.returncode == 0, done.stderr
    assert done.stdout.split("\n") == ["MemoryError 1", "MemoryError 2", "MemoryError 3", "5", ""]


# ---------------------------------------------------------------------------------------------
# The default thread count: the CPU affinity, capped by the cgroup's CPU quota. Each case is a
# cgroup file system ({path: text}) and the process's /proc/self/cgroup.

V2_SELF, V1_SELF = "0::/\n", "4:memory:/m\n3:cpu,cpuacct:/\n0::/\n"


@pytest.mark.parametrize("files, self_cgroup, cores", [
    ({"cpu.max": "max 100000\n"}, V2_SELF, None),
    ({"cpu.max": "150000 100000\n"}, V2_SELF, 2),
    ({"cpu.max": "100000 100000"}, V2_SELF, 1),
    ({"cpu.max": "1000 100000"}, V2_SELF, 1),  # a sliver of a core is still one thread
    ({"cpu.max": "250000 100000"}, V2_SELF, 3),
    ({"cpu.max": "200000"}, V2_SELF, 2),  # the period defaults to 100 ms
    ({"cpu.max": "0 100000"}, V2_SELF, None),
    ({"cpu.max": "lots 100000"}, V2_SELF, None),
    ({"cpu.max": "150000 0"}, V2_SELF, None),
    ({"cpu.max": ""}, V2_SELF, None),
    ({}, V2_SELF, None),
    # The group's own limit and its ancestors': the tightest wins.
    ({"a/b/cpu.max": "400000 100000", "a/cpu.max": "200000 100000", "cpu.max": "max 100000"},
     "0::/a/b\n", 2),
    ({"a/b/cpu.max": "100000 100000", "a/cpu.max": "max 100000"}, "0::/a/b\n", 1),
    # A container sees its own group as the root.
    ({"cpu.max": "300000 100000"}, "0::/kubepods/pod1/abc\n", 3),
    # cgroup v1, with the cpu controller alone or joined with cpuacct.
    ({"cpu/cpu.cfs_quota_us": "-1\n", "cpu/cpu.cfs_period_us": "100000\n"}, V1_SELF, None),
    ({"cpu/cpu.cfs_quota_us": "50000\n", "cpu/cpu.cfs_period_us": "100000\n"}, V1_SELF, 1),
    ({"cpu,cpuacct/cpu.cfs_quota_us": "300000", "cpu,cpuacct/cpu.cfs_period_us": "100000"},
     V1_SELF, 3),
    ({"cpu,cpuacct/docker/x/cpu.cfs_quota_us": "200000",
      "cpu,cpuacct/docker/x/cpu.cfs_period_us": "50000"}, "3:cpu,cpuacct:/docker/x\n", 4),
    ({"cpu/cpu.cfs_quota_us": "300000"}, V1_SELF, None),  # no period: not a quota
    # Both hierarchies: the tighter.
    ({"cpu.max": "300000 100000", "cpu/cpu.cfs_quota_us": "200000",
      "cpu/cpu.cfs_period_us": "100000"}, "1:cpu:/\n0::/\n", 2),
])
def test_cgroup_cpu_quotas_cap_the_cores(tmp_path, files, self_cgroup, cores):
    for path, text in files.items():
        (tmp_path / path).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / path).write_text(text)
    assert _cgroup_quota_cores(str(tmp_path), self_cgroup) == cores



# The default thread count under a quota, seen from the CPU time the calling thread spends: it
# takes the first share of the partitions and the workers the rest.
QUOTA_CHILD = textwrap.dedent("""
    import os, time
    os.sched_setaffinity(0, sorted(os.sched_getaffinity(0))[:2])
    from vashlet import Event, match_events, parse_pattern
    # Each A waits for a later B with a larger x, which only the last B has: quadratic work.
    events = [Event(f"p{p}", t, "AB"[t % 2], {"x": -t}) for p in range(8) for t in range(1500)]
    pattern = parse_pattern("A[x as $v] -> B[x > $v]")
    thread, process = time.thread_time(), time.process_time()
    match_events(pattern, events)
    print(round((time.thread_time() - thread) / (time.process_time() - process), 2))
""")


@pytest.mark.skipif(not hasattr(os, "sched_setaffinity") or len(os.sched_getaffinity(0)) < 2,
                    reason="needs two cores")
@pytest.mark.parametrize("cpu_max, alone", [("100000 100000", True), ("max 100000", False)])
def test_the_default_thread_count_follows_the_cpu_quota(tmp_path, cpu_max, alone):
    (tmp_path / "cpu.max").write_text(cpu_max + "\n")
    done = subprocess.run([sys.executable, "-c", QUOTA_CHILD], capture_output=True, text=True,
                          timeout=120, env=dict(os.environ, VASHLET_TEST_CGROUP_ROOT=str(tmp_path)))
    assert done.returncode == 0, done.stderr
    share = float(done.stdout)
    assert share > 0.9 if alone else share < 0.75, share


# A child forked after calls that ran on several threads gets the same answers on several threads.
FORK_CHILD = textwrap.dedent("""
    import os
    import pyarrow as pa
    import vashlet
    from vashlet import Event, match_events, near_miss_events, parse_pattern

    events = [Event(f"u{p:03}", t, "ABC"[(p + t) % 3], {"x": t % 4}) for p in range(300) for t in range(30)]
    table = pa.table({"partition": [e.partition for e in events], "ts": [e.ts for e in events],
                      "type": [e.typ for e in events], "x": [e.attrs["x"] for e in events]})
    text = "A[x as $v] -[<=6]-> B[x == $v] -> C"

    def answers():
        pattern = parse_pattern(text)
        return ([m.indices for m in match_events(pattern, events, threads=2)],
                [(m.indices, m.reason) for m in near_miss_events(pattern, events, threads=2)],
                vashlet.match(text, table, threads=2).to_pylist(),
                vashlet.explain(text, table, threads=2).to_pylist())

    before = answers()
    pid = os.fork()
    if pid == 0:
        os._exit(0 if answers() == before else 1)
    print(os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]), answers() == before, len(before[0]) > 100)
""")


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
def test_a_child_forked_after_threaded_calls_answers_alike():
    done = subprocess.run([sys.executable, "-c", FORK_CHILD], capture_output=True, text=True,
                          timeout=120)
    assert (done.returncode, done.stdout, done.stderr) == (0, "0 True True\n", "")


# Worker threads are kept from one parallel stage to the next, and leave once calls stop: many
# threaded calls never pile threads up, and soon after the last one the process has only the
# threads it had before the first (the module's memory keeper leaves as well).
WORKERS_LEAVE = textwrap.dedent("""
    import os, time
    from vashlet import Event, match_events, near_miss_events, parse_pattern

    def threads():
        return len(os.listdir("/proc/self/task"))

    events = [Event(f"p{i // 10:05}", i, "A" if i % 3 else "B") for i in range(30_000)]
    pattern = parse_pattern("A -> B -> A")
    before = threads()
    most = 0
    for _ in range(10):
        match_events(pattern, events, threads=3)
        near_miss_events(pattern, events, threads=3)
        most = max(most, threads())
    deadline = time.monotonic() + 30
    while threads() > before and time.monotonic() < deadline:
        time.sleep(0.05)
    print(most - before, threads() - before)
""")


def test_release_memory_lets_idle_workers_go_at_once():
    # Far within the time idle workers are otherwise kept: release_memory returns once they left.
    events = [Event(f"p{i // 10:05}", i, "A" if i % 3 else "B") for i in range(30_000)]
    found = match_events(parse_pattern("A -> B"), events, threads=3)
    assert _worker_threads() > 0
    vashlet.release_memory()
    assert _worker_threads() == 0
    # and workers are started again when needed
    again = match_events(parse_pattern("A -> B"), events, threads=3)
    assert [m.indices for m in again] == [m.indices for m in found]


@pytest.mark.skipif(not os.path.isdir("/proc/self/task"), reason="counts threads in /proc")
def test_worker_threads_are_reused_and_leave_once_calls_stop():
    done = subprocess.run([sys.executable, "-c", WORKERS_LEAVE], capture_output=True, text=True,
                          timeout=120)
    assert done.returncode == 0, done.stderr
    most, left = map(int, done.stdout.split())
    assert 0 < most <= 3 and left == 0  # two workers and the memory keeper at most
