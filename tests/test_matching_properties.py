"""The compiled matcher and the reference matcher return identical results on random inputs, and
first-successor matches are always among the exhaustive ones."""

import math

from hypothesis import given, settings
from hypothesis import strategies as st

from vashlet import Event, Pattern, match_events, parse_pattern, sort_events

INT64_MIN = -(2**63)
INT64_MAX = 2**63 - 1

SETTINGS = settings(max_examples=400, deadline=None)

EVENT_TYPES = st.sampled_from("AAABBC")
STEP_TYPES = st.sampled_from("AAB")
ATTRS = st.sampled_from("nnm")
NAMES = st.sampled_from("uv")  # "w" stays unbound
OPERATORS = st.sampled_from(["==", "!=", ">", ">=", "<", "<="])
# Values that the text language can write, and NaN, which only Python can hand over.
# Mostly 0 and 1, so that predicates hold often enough for matches to happen.
COMMON_VALUES = st.sampled_from([0, 1])
TEXT_VALUES = st.one_of(
    COMMON_VALUES,
    COMMON_VALUES,
    st.sampled_from([-1, 2, 0.5, 1.0, -0.0, "x", "y", True, False, None]),
)
VALUES = st.one_of(TEXT_VALUES, TEXT_VALUES, TEXT_VALUES, st.just(math.nan))
ITEM_COUNTS = st.sampled_from([0, 0, 0, 1, 1, 2])


@st.composite
def event_lists(draw):
    events = []
    for partition in draw(st.sampled_from([["a"], ["a"], ["a", "b"], ["a", "ab", "b"]])):
        ts = draw(st.sampled_from([0, 0, INT64_MIN, INT64_MAX - 40]))
        for _ in range(draw(st.integers(0, 10))):
            ts += draw(st.sampled_from([0, 0, 1, 2, 3]))
            attrs = draw(st.fixed_dictionaries({"n": VALUES}, optional={"m": VALUES}))
            events.append(Event(partition, ts, draw(EVENT_TYPES), attrs))
    return sort_events(draw(st.permutations(events)))


WINDOWS = st.sampled_from([None, None, None, None, 0, 1, 2, 4, 6, -1, INT64_MAX])


def literal(value):
    if isinstance(value, bool):
        return "true" if value else "false"
    if value is None:
        return "null"
    if isinstance(value, str):
        return f'"{value}"'
    return repr(value)


def draw_kind(draw, bound, allow_capture):
    kinds = ["predicate"] + (["capture"] if allow_capture else [])
    if bound:
        kinds += ["reference", "reference"]
    return draw(st.sampled_from(kinds))


def draw_reference_name(draw, bound):
    # Mostly names that an earlier step captured; now and then one that nothing binds.
    names = sorted(bound)
    return draw(st.sampled_from(names * 3 + ["w"]))


def text_atom(draw, bound, max_items=3, allow_capture=True):
    items, captured = [], set()
    for _ in range(min(draw(ITEM_COUNTS), max_items)):
        kind, attribute = draw_kind(draw, bound, allow_capture), draw(ATTRS)
        if kind == "capture":
            name = draw(NAMES)
            captured.add(name)
            items.append(f"{attribute} as ${name}")
        elif kind == "reference":
            items.append(f"{attribute} {draw(OPERATORS)} ${draw_reference_name(draw, bound)}")
        else:
            items.append(f"{attribute} {draw(OPERATORS)} {literal(draw(TEXT_VALUES))}")
    bound |= captured
    typ = draw(STEP_TYPES if allow_capture else EVENT_TYPES)
    return typ + (f"[{', '.join(items)}]" if items else "")


@st.composite
def text_patterns(draw):
    bound = set()
    text = text_atom(draw, bound)
    for _ in range(draw(st.integers(0, 3))):
        constraints = []
        window = draw(WINDOWS)
        if window is not None:
            constraints.append(f"<={window}")
        # An absence atom written in text carries at most one item.
        for _ in range(draw(st.sampled_from([0, 0, 1, 2]))):
            constraints.append("no " + text_atom(draw, bound, max_items=1, allow_capture=False))
        arrow = f" -[{', '.join(constraints)}]-> " if constraints else " -> "
        text += arrow + text_atom(draw, bound)
    return parse_pattern(text)


def builder_step(draw, builder, bound):
    captured = set()
    for _ in range(draw(ITEM_COUNTS)):
        kind, attribute = draw_kind(draw, bound, True), draw(ATTRS)
        if kind == "capture":
            name = draw(NAMES)
            captured.add(name)
            builder = builder.capture(attribute, "$" + name)
        elif kind == "reference":
            builder = builder.where_ref_eq(attribute, draw_reference_name(draw, bound))
        else:
            method = draw(st.sampled_from(["eq", "ne", "gt", "gte", "lt", "lte"]))
            builder = getattr(builder, "where_" + method)(attribute, draw(VALUES))
    bound |= captured
    return builder


@st.composite
def built_patterns(draw):
    bound = set()
    builder = builder_step(draw, Pattern.event(draw(STEP_TYPES)), bound)
    for _ in range(draw(st.integers(0, 3))):
        no = draw(st.one_of(st.none(), EVENT_TYPES))
        step = builder.then(draw(STEP_TYPES), within=draw(WINDOWS), no=no)
        builder = builder_step(draw, step, bound)
    return builder.build()


def key(match):
    captures = tuple((name, type(v).__name__, repr(v)) for name, v in match.captures.items())
    return (match.partition, tuple(match.indices), match.start, match.end, captures)


def check_matchers_agree(pattern, events):
    results = {}
    for exhaustive in (False, True):
        compiled = [key(m) for m in match_events(pattern, events, exhaustive=exhaustive)]
        oracle = [key(m) for m in match_events(pattern, events, exhaustive, use_oracle=True)]
        assert compiled == oracle
        results[exhaustive] = compiled

    first_successor, exhaustive = results[False], results[True]
    assert set(first_successor) <= set(exhaustive)
    starts = [(partition, indices[0]) for partition, indices, *_ in first_successor]
    assert len(starts) == len(set(starts))
    for partition, indices, start, end, _ in exhaustive:
        assert all(a < b for a, b in zip(indices, indices[1:]))
        assert {events[i].partition for i in indices} == {partition}
        assert (start, end) == (events[indices[0]].ts, events[indices[-1]].ts)


@SETTINGS
@given(text_patterns(), event_lists())
def test_text_patterns_match_alike(pattern, events):
    check_matchers_agree(pattern, events)


@SETTINGS
@given(built_patterns(), event_lists())
def test_built_patterns_match_alike(pattern, events):
    check_matchers_agree(pattern, events)
