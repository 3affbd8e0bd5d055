"""Two builds of the package timed in one process, call by call in turns, on the funnel input.

A speed change of a few percent is smaller than what a shared machine drifts between processes
(runs of one build minutes apart have differed by a quarter), so timing each build in a process
of its own cannot tell it. Here both builds are imported side by side (each package directory is
copied under a name of its own), read the same Table, and take turns call by call, the order
flipping every round; each build's median and the median of the per-round ratios are printed.

    PYTHONPATH=python python bench/paired_builds.py BEFORE_DIR AFTER_DIR \
        [--calls match explain funnel] [--threads 1 2] [--rounds 24] [--batch-rows N]

BEFORE_DIR and AFTER_DIR are package directories (`.../python/vashlet` of two checkouts, each
with its module built in place).
"""

import argparse
import re
import shutil
import statistics
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import inputs  # noqa: E402
from table import Table, seconds  # noqa: E402

CALLS = {
    "match": lambda m, p, data, threads: m.match(p, data, threads=threads),
    "explain": lambda m, p, data, threads: m.explain(p, data, threads=threads),
    "funnel": lambda m, p, data, threads: m.funnel(p, data, threads=threads),
    "funnel-partition": lambda m, p, data, threads: m.funnel(p, data, threads=threads,
                                                             per="partition"),
}


def renamed_copy(package, name, into):
    """The package at `package` copied to `into/name`, its absolute imports renamed."""
    target = Path(into) / name
    shutil.copytree(package, target)
    for source in target.glob("*.py"):
        text = source.read_text()
        source.write_text(re.sub(r"\b(from|import) vashlet\b", rf"\1 {name}", text))
    return target


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("before", help="package directory of the first build")
    parser.add_argument("after", help="package directory of the second build")
    parser.add_argument("--calls", nargs="+", choices=sorted(CALLS), default=["match", "explain"])
    parser.add_argument("--threads", type=int, nargs="+", default=[1])
    parser.add_argument("--rounds", type=int, default=24, help="calls of each build per row")
    parser.add_argument("--events", type=int, default=1_000_000)
    parser.add_argument("--batch-rows", type=int, default=None,
                        help="split the Table into batches of this many rows, as a file's row "
                             "groups or a stream give them (default: one batch)")
    args = parser.parse_args()

    with tempfile.TemporaryDirectory() as scratch:
        renamed_copy(args.before, "vashlet_before", scratch)
        renamed_copy(args.after, "vashlet_after", scratch)
        sys.path.insert(0, scratch)
        import vashlet_after
        import vashlet_before

        builds = {"before": vashlet_before, "after": vashlet_after}
        data = inputs.funnel_table(args.events, max(args.events // 100, 1))
        layout = "a pyarrow Table in arrival order"
        if args.batch_rows:
            import pyarrow as pa

            data = pa.Table.from_batches(data.to_batches(max_chunksize=args.batch_rows))
            layout += f", in batches of {args.batch_rows:,} rows"
        patterns = {k: m.parse_pattern(inputs.FUNNEL_TEXT) for k, m in builds.items()}
        table = Table(
            "paired builds",
            ["call", "threads", "before s", "after s", "after/before", "paired ratio"],
            [f"{args.events:,} events of the bench funnel, {layout}",
             f"{args.rounds} calls of each build per row, in turns, the order flipped each round; "
             "medians, the first two rounds left out as warm-up",
             f"before: {args.before}", f"after: {args.after}"],
        )
        for call in args.calls:
            for threads in args.threads:
                times = {k: [] for k in builds}
                for round_number in range(args.rounds + 2):
                    order = list(builds) if round_number % 2 == 0 else list(builds)[::-1]
                    for name in order:
                        started = time.perf_counter()
                        CALLS[call](builds[name], patterns[name], data, threads)
                        times[name].append(time.perf_counter() - started)
                before, after = times["before"][2:], times["after"][2:]
                paired = statistics.median(a / b for b, a in zip(before, after))
                table.add_row([call, str(threads), seconds(statistics.median(before)),
                               seconds(statistics.median(after)),
                               f"{statistics.median(after) / statistics.median(before):.3f}",
                               f"{paired:.3f}"])
        print(table.render())


if __name__ == "__main__":
    main()
