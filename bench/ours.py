"""How the benchmark calls vashlet, and the result sets that the peers must reproduce."""

import statistics

import vashlet


def matcher(pattern_text, events, exhaustive=False, threads=1):
    """`match_events` on prebuilt, sorted events; the pattern is parsed once, outside the timing.
    One thread unless asked, so that each scenario states what it measures."""
    pattern = vashlet.parse_pattern(pattern_text)
    return lambda: vashlet.match_events(pattern, events, exhaustive=exhaustive, threads=threads)


def matching_seconds(pattern_text, events, exhaustive, threads, repeats):
    """The median of the seconds that `match_events` spends matching alone (timed natively,
    without its hand-over of the events and its Match objects)."""
    pattern = vashlet.parse_pattern(pattern_text)
    return statistics.median(
        vashlet._core._time_matching(pattern, events, exhaustive=exhaustive, threads=threads)
        for _ in range(repeats)
    )


def near_misser(pattern_text, events, threads=1):
    pattern = vashlet.parse_pattern(pattern_text)
    return lambda: vashlet.near_miss_events(pattern, events, threads=threads)


def index_set(matches):
    """Matches as a set of index tuples, the form in which every peer's answer is compared."""
    return {tuple(match.indices) for match in matches}
