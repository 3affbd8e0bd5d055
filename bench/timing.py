"""Wall-clock timing: the median of several runs. As with timeit, the cyclic garbage collector
is paused during each run (and run in between), so that a collection of objects left over by
earlier steps is not charged to whichever run happens to trigger it."""

import gc
import statistics
import time


def median_seconds(run, repeats):
    """The median duration of `repeats` calls of `run`, and the result of the last call."""
    durations, result = [], None
    enabled = gc.isenabled()
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
