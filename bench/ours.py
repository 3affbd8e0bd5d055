"""How the benchmark calls vashlet, and the result sets that the peers must reproduce."""

import vashlet


def matcher(pattern_text, events, exhaustive=False):
    """`match_events` on prebuilt, sorted events; the pattern is parsed once, outside the timing."""
    pattern = vashlet.parse_pattern(pattern_text)
    return lambda: vashlet.match_events(pattern, events, exhaustive=exhaustive)


def near_misser(pattern_text, events):
    pattern = vashlet.parse_pattern(pattern_text)
    return lambda: vashlet.near_miss_events(pattern, events)


def index_set(matches):
    """Matches as a set of index tuples, the form in which every peer's answer is compared."""
    return {tuple(match.indices) for match in matches}
