"""The `vashlet` command on a Parquet file against `vashlet.match` on the same table in memory.

Writes the funnel input (1,000,000 events, flattened to partition, ts, type, item, amount) to a
Parquet file, then times, as the median of several runs:
- `vashlet.match` / `vashlet.explain` on the table already in memory (the baseline);
- the same call as the first one of a new process that has just read the file;
- the command, end to end as a new process (interpreter start, imports, reading the file,
  matching, printing the first rows or writing every row to a Parquet file).

    PYTHONPATH=python python bench/cli.py [--events N] [--repeats N]
"""

import argparse
import os
import resource
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import inputs  # noqa: E402
from table import Table, count, ratio, seconds  # noqa: E402
from timing import median_seconds  # noqa: E402

import vashlet  # noqa: E402


def funnel_table(events):
    import pyarrow as pa

    rows = inputs.funnel_rows(events, events // 100)
    return pa.table(
        {
            "partition": [r[0] for r in rows],
            "ts": pa.array([r[1] for r in rows], pa.int64()),
            "type": [r[2] for r in rows],
            "item": [r[3]["item"] for r in rows],
            "amount": [r[3]["amount"] for r in rows],
        }
    )


def cpu_seconds(run, repeats):
    """The median processor time (user and system, all threads) of `repeats` calls of `run`."""
    durations = []
    for _ in range(repeats):
        started = time.process_time()
        run()
        durations.append(time.process_time() - started)
    return statistics.median(durations)


def command_seconds(arguments, repeats):
    """The median wall and processor seconds of the command as a new process."""
    return process_seconds(["-m", "vashlet", *arguments], repeats)


# What every run of the command pays before it reads a byte: a new interpreter that imports what
# the command imports.
_IMPORTS_ONLY = ["-c", "import pyarrow.parquet, vashlet.cli"]


def process_seconds(arguments, repeats):
    """The median wall and processor seconds of a new Python process run with `arguments`."""
    env = dict(os.environ, PYTHONPATH=str(Path(vashlet.__file__).resolve().parent.parent))
    command = [sys.executable, *arguments]
    walls, cpus = [], []
    for _ in range(repeats):
        before = resource.getrusage(resource.RUSAGE_CHILDREN)
        started = time.perf_counter()
        subprocess.run(
            command, env=env, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL
        )
        walls.append(time.perf_counter() - started)
        after = resource.getrusage(resource.RUSAGE_CHILDREN)
        cpus.append(after.ru_utime - before.ru_utime + after.ru_stime - before.ru_stime)
    return statistics.median(walls), statistics.median(cpus)


_FIRST_CALL = """
import sys, time
import pyarrow.parquet as pq
import vashlet
table = pq.ParquetFile(sys.argv[1]).read()
wall, cpu = time.perf_counter(), time.process_time()
getattr(vashlet, sys.argv[2])(sys.argv[3], table)
print(time.perf_counter() - wall, time.process_time() - cpu)
"""


def first_call_seconds(command, pattern, source, repeats):
    """The median wall and processor seconds of the first call in a new process, the table
    already read: what the command pays for matching, whose memory is not yet the process's."""
    env = dict(os.environ, PYTHONPATH=str(Path(vashlet.__file__).resolve().parent.parent))
    walls, cpus = [], []
    for _ in range(repeats):
        done = subprocess.run(
            [sys.executable, "-c", _FIRST_CALL, source, command, pattern],
            env=env, check=True, capture_output=True, text=True,
        )
        wall, cpu = map(float, done.stdout.split())
        walls.append(wall)
        cpus.append(cpu)
    return statistics.median(walls), statistics.median(cpus)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--events", type=int, default=1_000_000)
    parser.add_argument("--repeats", type=int, default=5)
    options = parser.parse_args()

    import pyarrow.parquet as pq

    table = funnel_table(options.events)
    pattern = inputs.FUNNEL_TEXT
    report = Table(
        "command line",
        ["run", "events", "results", "seconds", "vs in memory", "cpu seconds", "cpu vs in memory"],
        [
            f"{count(options.events)} funnel events in {count(options.events // 100)} partitions, "
            f"read from Parquet; median of {options.repeats}",
            f"pattern: {pattern}",
        ],
    )
    floor, floor_cpu = process_seconds(_IMPORTS_ONLY, options.repeats)
    beyond = []  # per command, what it takes beyond the floor, against the call in memory
    with tempfile.TemporaryDirectory() as folder:
        source = str(Path(folder) / "funnel.parquet")
        pq.write_table(table, source)
        out = str(Path(folder) / "out.parquet")
        for command in ("match", "explain"):
            run = getattr(vashlet, command)
            memory, result = median_seconds(lambda: run(pattern, table), options.repeats)
            memory_cpu = cpu_seconds(lambda: run(pattern, table), options.repeats)
            report.add_row([f"vashlet.{command}, table in memory", count(table.num_rows),
                            count(len(result)), seconds(memory), ratio(1.0), seconds(memory_cpu),
                            ratio(1.0)])
            wall, cpu = first_call_seconds(command, pattern, source, options.repeats)
            report.add_row([f"vashlet.{command}, first call in a new process",
                            count(table.num_rows), count(len(result)), seconds(wall),
                            ratio(wall / memory), seconds(cpu), ratio(cpu / memory_cpu)])
            for label, extra in (("terminal", []), ("--output .parquet", ["--output", out])):
                wall, cpu = command_seconds([command, pattern, source, *extra], options.repeats)
                report.add_row([f"vashlet {command}, {label}", count(table.num_rows),
                                count(len(result)), seconds(wall), ratio(wall / memory),
                                seconds(cpu), ratio(cpu / memory_cpu)])
                beyond.append(f"vashlet {command}, {label}: {seconds(wall - floor)} s "
                              f"({ratio((wall - floor) / memory)} in memory)")
    report.add_row(["new process, imports only", "-", "-", seconds(floor), "-",
                    seconds(floor_cpu), "-"])
    report.note("the command's time includes starting Python and importing vashlet and pyarrow")
    report.note("imports only: a new interpreter that imports what the command imports "
                "for a Parquet file (pyarrow.parquet, vashlet.cli) and does nothing else")
    report.note("beyond that floor: " + "; ".join(beyond))
    report.note("terminal: the first 20 rows printed (to /dev/null); --output: every row written")
    report.note("first call: the same call, timed alone in a process that has just read the file")
    report.note("cpu seconds: user and system time of every thread (of the child, for the command)")
    report.note(f"{os.cpu_count()} cores; load average when done: "
                + ", ".join(f"{x:.1f}" for x in os.getloadavg()))
    print(report.render())


if __name__ == "__main__":
    main()
