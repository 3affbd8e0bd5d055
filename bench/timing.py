"""Wall-clock timing: the median of several runs, after one run that is not timed. As with
timeit, the cyclic garbage collector is paused during each run (and run in between), so that a
collection of objects left over by earlier steps is not charged to whichever run happens to
trigger it.

The untimed run takes what only a process's first call pays: the pages of fresh memory, which
on a virtual machine cost from 0.04 to 0.3 s for a match over a million rows, against 0.03 s a
call after. Without it, whichever case a script times first carries that in its first two
runs, and its median of five moves with the machine."""

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
