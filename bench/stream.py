"""The stream scenario: `Stream.push` in batches against the one-shot table path on the same
events, the time each push takes, and the state a long windowed stream keeps.

A stream's answer is checked before its time is shown: the union of what its pushes and its
flush emit equals `vashlet.match` (and `vashlet.explain`) on all the events, as multisets of
rows without the `match` column (the stream numbers matches in the order it emits them).
"""

import statistics
import time
from collections import Counter

import inputs
import vashlet
from table import Table, count, rate, ratio, seconds
from timing import median_seconds

BATCHES = (1, 100, 10_000)
STREAM_REPEATS = 3  # a pass pushes every batch; fewer passes than the one-shot's repeats
LONG_PASS = 5.0  # seconds: a pass this long is timed once
CORRELATED_EVENTS_PER_USER = 10
# The long run: a funnel-like stream whose windows bound the state, read in pushes of LONG_BATCH.
LONG_BATCH = 10_000
LONG_JITTER = 60  # events arrive up to this many ticks out of order; the lateness allows it
LONG_POINTS = (1, 5, 10)  # stats at these multiples of the funnel's size (1M, 5M, 10M in full)
STATS_EVERY = 100_000  # events between the stats() that find the largest state


def scenario(shared, loaded, repeats):
    del loaded  # no peer streams
    try:
        import pyarrow  # noqa: F401
    except ImportError:
        table = Table("stream", ["case"])
        table.note("n/a: pyarrow is not installed")
        return table
    if not hasattr(vashlet, "Stream"):
        table = Table("stream", ["case"])
        table.note("n/a: this build of vashlet has no Stream")
        return table
    throughput = _throughput(shared.sizes, repeats)
    return _Tables(throughput, _state(shared.sizes))


class _Tables:
    """Several tables printed as one scenario."""

    def __init__(self, *tables):
        self.tables = tables

    def render(self):
        return "\n\n".join(table.render() for table in self.tables)


def _cases(sizes):
    """(pattern label, pattern text, partitions, table maker, options) of each case; cases on
    the same input are neighbours and share its maker."""
    funnel = sizes.funnel_events
    # The correlated pattern has no window: a partition keeps every event from its oldest
    # waiting login on, so the smallest of the correlated sizes.
    correlated = sizes.correlated_events[0]
    users = correlated // CORRELATED_EVENTS_PER_USER
    many = sizes.funnel_partitions

    def many_funnel():
        return inputs.funnel_table(funnel, many)

    return [
        ("funnel", inputs.FUNNEL_TEXT, 1, lambda: inputs.funnel_table(funnel, 1), {}),
        ("funnel", inputs.FUNNEL_TEXT, many, many_funnel, {}),
        ("funnel, explain", inputs.FUNNEL_TEXT, many, many_funnel, {"explain": True}),
        ("correlated", inputs.CORRELATED_TEXT, 1,
         lambda: inputs.correlated_table(correlated, users), {}),
        ("correlated", inputs.CORRELATED_TEXT, many,
         lambda: inputs.correlated_table(correlated, users, many), {}),
    ]


def _throughput(sizes, repeats):
    batch_one_events = sizes.funnel_events // 50
    table = Table(
        "stream, push against the one-shot table path",
        ["pattern", "partitions", "batch", "events", "matches", "push s", "events/s",
         "one-shot s", "one-shot events/s", "push/one-shot", "median push µs", "p99 push µs"],
        ["pyarrow Tables in arrival order, pushed as zero-copy slices of `batch` rows into a "
         "vashlet.Stream (first successor, lateness 0, one thread), then flushed; one-shot: "
         "vashlet.match(pattern, table) on the same events, one thread",
         f"batches of 1 run on the first {batch_one_events:,} events of each input"],
    )
    ratios = {}
    made = (None, None)  # the last input built, kept for the next case on the same one
    for label, text, partitions, make, options in _cases(sizes):
        data = made[1] if made[0] is make else make()
        made = (make, data)
        partitions = len(data.column("partition").unique())  # users may be fewer than asked
        pattern = vashlet.parse_pattern(text)
        explain = options.get("explain", False)
        for batch in BATCHES if not explain else (10_000,):
            events = data if batch > 1 else data.slice(0, batch_one_events)
            one_shot_seconds, expected = median_seconds(
                lambda: _one_shot(pattern, events, explain), repeats)

            def run():
                return _push_all(pattern, events, batch, options)

            # A pass that takes long is not repeated: its time is far above the noise. The
            # first pass warms up the repeats.
            stream_seconds, (outputs, latencies) = median_seconds(run, 1, warm_up=False)
            if stream_seconds < LONG_PASS:
                del outputs
                stream_seconds, (outputs, latencies) = median_seconds(
                    run, min(repeats, STREAM_REPEATS), warm_up=False)
            cells = [label, count(partitions), count(batch), count(len(events)),
                     count(len(expected[0]))]
            problem = _differs(outputs, expected)
            del outputs
            if problem:
                table.note(f"{label}, {partitions:,} partitions, batches of {batch:,}: the stream "
                           f"DIFFERS from the one-shot result ({problem}; time not reported)")
                table.add_row(cells + ["differs"] + ["-"] * 6)
                continue
            n = len(events)
            share = one_shot_seconds / stream_seconds
            table.add_row(cells + [
                seconds(stream_seconds), rate(n / stream_seconds), seconds(one_shot_seconds),
                rate(n / one_shot_seconds), ratio(share),
                _microseconds(statistics.median(latencies)), _microseconds(_p99(latencies))])
            if batch == 10_000:
                ratios[(label, partitions)] = share
    table.note("push s: every push and the flush, fresh stream each pass, median of "
               f"{STREAM_REPEATS} passes (one where a pass takes over {LONG_PASS:.0f} s); "
               "push/one-shot: the stream's events/s over the one-shot's (the funnel's target "
               "in batches of 10,000: at least 0.50x)")
    table.note("median/p99 push µs: the time of one push, over the pushes of the last pass "
               "(the flush not among them)")
    table.note("funnel, explain: the stream with explain=True against vashlet.match plus "
               "vashlet.explain on the same events (near misses checked equal too)")
    for (label, partitions), share in ratios.items():
        if label == "funnel":
            table.note(f"funnel, {_partitions(partitions)}, batches of 10,000: push sustains "
                       f"{share:.2f}x the one-shot table path's events/s")
    return table


def _one_shot(pattern, events, explain):
    matches = vashlet.match(pattern, events, threads=1)
    return matches, (vashlet.explain(pattern, events, threads=1) if explain else None)


def _push_all(pattern, events, batch, options):
    """A fresh stream fed `events` in slices of `batch` rows, then flushed: its outputs and the
    seconds of each push."""
    slices = [events.slice(first, batch) for first in range(0, len(events), batch)]
    stream = vashlet.Stream(pattern, threads=1, **options)
    outputs, latencies = [], []
    clock = time.perf_counter
    for piece in slices:
        started = clock()
        out = stream.push(piece)
        latencies.append(clock() - started)
        outputs.append(out)
    outputs.append(stream.flush())
    return outputs, latencies


def _differs(outputs, expected):
    """Why the stream's outputs are not the one-shot result, or None where they are."""
    matches, near_misses = expected
    if _multiset(outputs) != _multiset([matches]):
        return "matches"
    if near_misses is not None:
        if _multiset([out.near_misses for out in outputs]) != _multiset([near_misses]):
            return "near misses"
    return None


def _multiset(results):
    """Rows of result tables, without the stream's numbering, as a multiset."""
    return Counter(
        _frozen({name: value for name, value in row.items() if name != "match"})
        for result in results for row in result.to_pylist())


def _frozen(value):
    if isinstance(value, dict):
        return tuple(sorted((name, _frozen(item)) for name, item in value.items()))
    if isinstance(value, list):
        return tuple(_frozen(item) for item in value)
    return value


def _partitions(number):
    return "1 partition" if number == 1 else f"{number:,} partitions"


def _p99(latencies):
    if len(latencies) < 2:
        return latencies[0]
    return statistics.quantiles(latencies, n=100)[98]


def _microseconds(value):
    return f"{value * 1e6:,.1f}" if value < 1e-4 else f"{value * 1e6:,.0f}"


def _state(sizes):
    """stats() along a long windowed stream, read as it is generated."""
    partitions = sizes.funnel_partitions
    points = [sizes.funnel_events * multiple for multiple in LONG_POINTS]
    table = Table(
        "stream, state over a long run",
        ["events", "rows", "partitions", "open starts", "held events", "kept events", "bytes",
         "matches", "events/s"],
        [f"the funnel pattern over a steady funnel-like stream of {points[-1]:,} events "
         f"(bench/inputs.py steady_funnel_tables): {partitions:,} partitions, each event's "
         f"ts up to {LONG_JITTER} ticks out of order, lateness {LONG_JITTER}, pushes of "
         f"{LONG_BATCH:,}; stats() after the push that reaches each count",
         f"pattern: {inputs.FUNNEL_TEXT}"],
    )
    stream = vashlet.Stream(inputs.FUNNEL_TEXT, lateness=LONG_JITTER, threads=1)
    pushed = matches = 0
    spent = 0.0
    peak = 0
    for chunk in inputs.steady_funnel_tables(points[-1], partitions, LONG_BATCH, LONG_JITTER):
        started = time.perf_counter()
        matches += len(stream.push(chunk))
        spent += time.perf_counter() - started
        pushed += len(chunk)
        if pushed % STATS_EVERY and pushed not in points:
            continue
        stats = stream.stats()  # it reads the whole state: not after every push
        peak = max(peak, stats["bytes"])
        if pushed in points:
            table.add_row([count(pushed), count(stats["rows"]), count(stats["partitions"]),
                           count(stats["open_starts"]), count(stats["held_events"]),
                           count(stats["kept_events"]), count(stats["bytes"]), count(matches),
                           rate(pushed / spent)])
    table.note(f"bytes at most {peak:,} over the run (stats() every {STATS_EVERY:,} events); "
               "events/s: the pushes so far, neither generation nor stats() counted")
    return table
