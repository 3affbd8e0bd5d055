"""Ctrl-C during a long native call: the call stops within a fraction of a second with
KeyboardInterrupt, on one thread or several, and leaves no worker behind."""

import gc
import os
import signal
import subprocess
import sys
import textwrap
import time

import pytest

from helpers import resident_bytes

# Each A waits for a later B with a larger x; only the last B of a partition has one, so every
# waiting A is tried against every B: seconds of work in little memory.
CHILD = textwrap.dedent("""
    import os, sys, time
    import pyarrow as pa
    import vashlet
    from vashlet import Event, match_events, near_miss_events, parse_pattern

    kind, threads, partitions = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
    # Seconds of work either way: a partition's cost grows with the square of its length.
    length = 60_000 if partitions == 1 else 30_000
    events = []
    for p in range(partitions):
        events += [Event(f"p{p}", t, "AB"[t % 2], {"x": t if t % 2 == 0 else -t})
                   for t in range(length)]
        events.append(Event(f"p{p}", length, "B", {"x": 10**9}))
    waiting = "A[x as $v] -> B[x > $v]"
    calls = {
        "match_events": lambda: match_events(parse_pattern(waiting), events, exhaustive=True,
                                             threads=threads),
        "near_miss_events": lambda: near_miss_events(parse_pattern(waiting + " -> C"), events,
                                                     threads=threads),
        # No start takes a second step: each is judged by one pass over every later B.
        "near_miss_events, no second step": lambda: near_miss_events(
            parse_pattern("A -> B[x > 1000000000000]"), events, threads=threads),
        "match": lambda: vashlet.match(waiting, pa.table({
            "partition": [e.partition for e in events], "ts": [e.ts for e in events],
            "type": [e.typ for e in events], "x": [e.attrs["x"] for e in events]}),
            exhaustive=True, threads=threads),
    }
    threads_before = len(os.listdir("/proc/self/task"))  # pyarrow's own among them
    print("ready", flush=True)
    try:
        calls[kind]()
    except KeyboardInterrupt:
        print("stopped", flush=True)
        # The workers are joined before the exception leaves the call; only the thread that lets
        # kept memory go may remain, and not for long.
        deadline = time.monotonic() + 5
        while len(os.listdir("/proc/self/task")) > threads_before and time.monotonic() < deadline:
            time.sleep(0.05)
        print("interrupted", len(os.listdir("/proc/self/task")) - threads_before, flush=True)
        # The module still works after an interrupted call.
        assert len(match_events(parse_pattern("A -> B"), events[:10], threads=threads)) == 5
        sys.exit(0)
    print("finished", flush=True)
""")


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="needs /proc and POSIX signals")
@pytest.mark.parametrize("threads, partitions", [(1, 1), (2, 6)], ids=["one thread", "threads"])
@pytest.mark.parametrize(
    "kind", ["match_events", "near_miss_events", "near_miss_events, no second step", "match"])
def test_ctrl_c_stops_a_long_call_promptly(kind, threads, partitions):
    child = subprocess.Popen([sys.executable, "-c", CHILD, kind, str(threads), str(partitions)],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        assert child.stdout.readline() == "ready\n", child.stderr.read()
        time.sleep(1.0)  # well into the call, which takes several seconds
        child.send_signal(signal.SIGINT)
        sent = time.monotonic()
        stopped = child.stdout.readline()
        latency = time.monotonic() - sent
        # Read through the same buffered pipe as the first line (communicate() would skip what it
        # has buffered already).
        out, err = child.stdout.read(), child.stderr.read()
        child.wait(timeout=60)
    finally:
        if child.poll() is None:
            child.kill()
            child.wait()
    assert (stopped, out) == ("stopped\n", "interrupted 0\n"), stopped + out + err
    assert child.returncode == 0, err
    slack = 4 if "LD_PRELOAD" in os.environ else 1  # sanitizers slow the checks down
    assert latency < slack


@pytest.mark.skipif(not hasattr(signal, "setitimer"), reason="needs interval timers")
@pytest.mark.skipif("libtsan" in os.environ.get("LD_PRELOAD", ""),
                    reason="the thread sanitizer holds signals back until its own safe points")
def test_interrupted_calls_leave_nothing_behind():
    # A handler's own exception stops the call too; calls stopped again and again grow nothing.
    from vashlet import Event, match_events, near_miss_events, parse_pattern

    events = [Event("p", t, "AB"[t % 2], {"x": t if t % 2 == 0 else -t}) for t in range(20_000)]
    events.append(Event("p", 20_000, "B", {"x": 10**9}))
    waiting = parse_pattern("A[x as $v] -> B[x > $v]")
    explained = parse_pattern("A[x as $v] -> B[x > $v] -> C")

    class Stop(Exception):
        pass

    def stop(signum, frame):
        raise Stop

    def interrupt_all():
        for threads in (1, 2):
            for call in (lambda: match_events(waiting, events, exhaustive=True, threads=threads),
                         lambda: near_miss_events(explained, events, threads=threads)):
                signal.setitimer(signal.ITIMER_REAL, 0.05)
                with pytest.raises(Stop):
                    call()

    previous = signal.signal(signal.SIGALRM, stop)
    try:
        interrupt_all()  # warm up what lives for the process
        gc.collect()
        blocks, resident = sys.getallocatedblocks(), resident_bytes()
        for _ in range(5):
            interrupt_all()
        gc.collect()
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    assert sys.getallocatedblocks() - blocks < 100
    if "LD_PRELOAD" not in os.environ:
        assert resident_bytes() - resident < 16 * 1024 * 1024
    assert len(match_events(parse_pattern("A -> B"), events[:10], threads=2)) == 5
