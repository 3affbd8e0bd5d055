"""What near-miss analysis and funnels cost against matching, on the funnel input.

Builds the bench funnel (arrival order, as a pyarrow Table) once, then times `vashlet.match`,
`vashlet.explain` and `vashlet.funnel` (per start and per partition) on it in turns (each round
calls all four), in this one process, and prints the median of each and their ratio to
match's. All read the same table, so a ratio is the near-miss search's (and the funnel's
counting) cost over the matcher's.

    PYTHONPATH=python python bench/explain_cost.py [--events N] [--repeats N] [--threads N ...]
"""

import argparse
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import inputs  # noqa: E402
import vashlet  # noqa: E402
from table import Table, count, ratio, seconds  # noqa: E402
from timing import medians_in_turns  # noqa: E402


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--events", type=int, default=1_000_000)
    parser.add_argument("--partitions", type=int, default=None,
                        help="default: one per 100 events")
    parser.add_argument("--repeats", type=int, default=5, help="runs per timing (default 5)")
    parser.add_argument("--threads", type=int, nargs="+", default=[1, 2])
    args = parser.parse_args()
    partitions = args.partitions or max(args.events // 100, 1)
    data = inputs.funnel_table(args.events, partitions)
    pattern = vashlet.parse_pattern(inputs.FUNNEL_TEXT)

    table = Table(
        "explain cost",
        ["threads", "events", "matches", "near misses", "match s", "explain s", "explain/match",
         "funnel start s", "/match", "funnel partition s", "/match"],
        [f"{args.events:,} events, {partitions:,} partitions, arrival order, pyarrow Table",
         f"pattern: {inputs.FUNNEL_TEXT}",
         f"median of {args.repeats} each, the four calls in turns round by round, in one "
         "process"],
    )
    for threads in args.threads:
        timed = medians_in_turns({
            "match": lambda: vashlet.match(pattern, data, threads=threads),
            "explain": lambda: vashlet.explain(pattern, data, threads=threads),
            "start": lambda: vashlet.funnel(pattern, data, threads=threads),
            "partition": lambda: vashlet.funnel(pattern, data, threads=threads, per="partition"),
        }, args.repeats)
        match_s, matches = timed["match"]
        explain_s, misses = timed["explain"]
        per_start_s = timed["start"][0]
        per_partition_s = timed["partition"][0]
        table.add_row([str(threads), count(args.events), count(len(matches)),
                       count(len(misses)), seconds(match_s), seconds(explain_s),
                       ratio(explain_s / match_s), seconds(per_start_s),
                       ratio(per_start_s / match_s), seconds(per_partition_s),
                       ratio(per_partition_s / match_s)])
    print(table.render())


if __name__ == "__main__":
    main()
