"""The table reader alone, per row, over the string layouts it checks as it reads.

Times `vashlet._core._read_table` (reading the columns a pattern uses, checking them, sorting)
on the funnel's events in arrival order, with the partition and type columns in each string
layout, and with a string attribute and a string id column (whose text is checked as UTF-8).
Reads on one thread and reports processor time (the fastest and the median of the runs), so
that two builds can be compared on a busy machine by running this script with each on
PYTHONPATH, in turns:

    PYTHONPATH=python python bench/reading.py [--events N] [--repeats N]
"""

import argparse
import statistics
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import pyarrow as pa  # noqa: E402

import inputs  # noqa: E402
import vashlet  # noqa: E402
from table import Table, count, nanoseconds  # noqa: E402

LABEL_PATTERN = "view[label as $l] -[<=900]-> cart[label == $l]"


def funnel_table(events):
    """The funnel input with a string attribute and a string id column besides."""
    table = inputs.funnel_table(events, max(events // 100, 1))
    items = table.column("item").to_pylist()
    table = table.append_column("label", pa.array([f"item-{item:06d}" for item in items]))
    return table.append_column("id", pa.array([f"row-{n:09d}" for n in range(len(items))]))


def in_layout(table, layout):
    def recast(name):
        column = table.column(name)
        if layout == "dictionary":
            return column.dictionary_encode()
        return column.cast({"large_string": pa.large_string(),
                            "string_view": pa.string_view()}.get(layout, pa.string()))

    return table.set_column(0, "partition", recast("partition")).set_column(
        2, "type", recast("type"))


def timed(run, repeats):
    durations = []
    for _ in range(repeats):
        started = time.process_time()
        run()
        durations.append(time.process_time() - started)
    return min(durations), statistics.median(durations)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--events", type=int, default=1_000_000)
    parser.add_argument("--repeats", type=int, default=9)
    options = parser.parse_args()
    base = funnel_table(options.events)
    n = base.num_rows
    table = Table("the table reader, per row (processor time, one thread)",
                  ["columns read", "layout", "rows", "fastest ns/row", "median ns/row"],
                  [f"the funnel's {n:,} events in arrival order, {vashlet.__file__}"])
    cases = [("funnel (int and float attributes)", inputs.FUNNEL_TEXT, None)]
    cases.append(("a string attribute and a string id", LABEL_PATTERN, "id"))
    for label, text, id_column in cases:
        pattern = vashlet.parse_pattern(text)
        for layout in ("string", "large_string", "string_view", "dictionary"):
            data = in_layout(base, layout)

            def read(data=data, pattern=pattern, id_column=id_column):
                return vashlet._core._read_table(pattern, data.__arrow_c_stream__(), "partition",
                                                 "ts", "type", id_column, False, 1)

            read()
            fastest, median = timed(read, options.repeats)
            table.add_row([label, layout, count(n), nanoseconds(fastest / n),
                           nanoseconds(median / n)])
    table.note("layout: of the partition and type columns; the others are as built")
    print(table.render())


if __name__ == "__main__":
    main()
