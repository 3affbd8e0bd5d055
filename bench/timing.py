"""Wall-clock timing: the median of several runs, after one run that is not timed. As with
timeit, the cyclic garbage collector is paused during each run (and run in between), so that a
collection of objects left over by earlier steps is not charged to whichever run happens to
trigger it.

The untimed run takes what only a process's first call pays: the pages of fresh memory, which
on a virtual machine cost from 0.04 to 0.3 s for a match over a million rows, against 0.03 s a
call after. Without it, whichever case a script times first carries that in its first two
runs, and its median of five moves with the machine.

Where a table reports a ratio of two times, `medians_in_turns` times the two in turns, round by
round, so that a stretch of a noisy machine slows both sides rather than whichever was being
timed then. Each timed call there follows an untimed one of its own, as in a run of calls."""

import gc
import statistics
import time


def median_seconds(run, repeats, warm_up=True):
    """The median duration of `repeats` calls of `run` (after one more, untimed, unless not
    `warm_up`), and the result of the last call."""
    durations, result = [], None
    enabled = gc.isenabled()
    if warm_up:
        run()
    try:
        for _ in range(repeats):
            result = None
            gc.collect()
            gc.disable()
            started = time.perf_counter()
            result = run()
            durations.append(time.perf_counter() - started)
            if enabled:
                gc.enable()
    finally:
        if enabled:
            gc.enable()
    return statistics.median(durations), result


def medians_in_turns(runs, repeats):
    """As median_seconds for each of `runs` (label -> callable), called in turns: each round
    calls every one twice in a row, the first time untimed. Returns label -> (median, the result
    of its last call). Each timed call thus finds what a call of its own left (memory that a
    library keeps between calls, warm caches), as in median_seconds, and not what the other
    cases left: a peer that allocates gigabytes, or the seconds they take, after which kept
    memory may have been let go."""
    durations = {label: [] for label in runs}
    results = dict.fromkeys(runs)
    enabled = gc.isenabled()
    try:
        for _ in range(repeats):
            for label, run in runs.items():
                results[label] = None
                run()
                gc.collect()
                gc.disable()
                started = time.perf_counter()
                results[label] = run()
                durations[label].append(time.perf_counter() - started)
                if enabled:
                    gc.enable()
    finally:
        if enabled:
            gc.enable()
    return {label: (statistics.median(durations[label]), results[label]) for label in runs}
