"""Near misses: the reasons and their details, the deepest path and the starts, checked by hand
and against the plain reference search. The NearMiss class itself is tested in
test_near_miss_class.py."""

import json

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import near_miss_reference as reference
from vashlet import (
    Event,
    Pattern,
    match_events,
    near_miss_events,
    parse_pattern,
    pattern_from_json,
)

ORDER_MESSAGE = (
    "events must be grouped by partition and sorted by (timestamp, input order); "
    "call sort_events first"
)
INT64_MAX = 2**63 - 1


def events_of(*specs, partition="p"):
    """Events in one partition from (typ, ts) or (typ, ts, attrs) tuples."""
    return [Event(partition, spec[1], spec[0], spec[2] if len(spec) > 2 else None) for spec in specs]


def check_invariants(near_miss, events):
    indices = near_miss.indices
    assert len(indices) == near_miss.reached_steps >= 1
    assert indices[0] == near_miss.start_index
    assert indices == sorted(set(indices))
    assert near_miss.partition == events[near_miss.start_index].partition
    detail = near_miss.detail
    assert next(iter(detail)) == "kind" and near_miss.reason == detail["kind"]
    copies = near_miss.events
    assert len(copies) == len(indices)
    for copy, index in zip(copies, indices):
        original = events[index]
        assert copy is not original
        assert (copy.partition, copy.ts, copy.typ) == (original.partition, original.ts, original.typ)
        assert reference.canonical(copy.attrs) == reference.canonical(original.attrs)


def misses(pattern, events):
    if isinstance(pattern, str):
        pattern = parse_pattern(pattern)
    result = near_miss_events(pattern, events)
    for near_miss in result:
        check_invariants(near_miss, events)
    return result


def only(pattern, events):
    (near_miss,) = misses(pattern, events)
    return near_miss


def items(detail):
    """The detail with its key order made visible."""
    return list(detail.items())


# ---------------------------------------------------------------------------------------------
# The four reasons


@pytest.mark.parametrize(
    "events",
    [
        events_of(("A", 0)),
        events_of(("A", 0), ("C", 1)),
        events_of(("A", 0), ("C", 1)) + events_of(("B", 2), partition="q"),
    ],
    ids=["start-ends-run", "no-event-of-the-type", "type-only-in-another-partition"],
)
def test_no_successor_detail_is_only_the_kind(events):
    near_miss = only("A[n as $n] -> B", events)
    assert near_miss.detail == {"kind": "no_successor"}
    assert (near_miss.indices, near_miss.next_event_type) == ([0], "B")
    assert near_miss.captures == {"n": None}


@pytest.mark.parametrize("ts, expected", [(10, None), (11, [("candidate_index", 1), ("gap", 11)])])
def test_window_is_inclusive(ts, expected):
    result = misses("A -[<=10]-> B", events_of(("A", 0), ("B", ts), ("B", 40)))
    if expected is None:
        assert result == []
    else:
        (near_miss,) = result
        assert items(near_miss.detail) == [("kind", "window_exceeded")] + expected + [("max_elapsed", 10)]


@pytest.mark.parametrize(
    "window, start, later, gap",
    [(0, 5, 6, 1), (-1, 5, 5, 0), (5, -(2**63), INT64_MAX, INT64_MAX), (5, -2, INT64_MAX - 1, INT64_MAX)],
    ids=["zero-window", "negative-window", "span-of-the-whole-range", "just-past-int64"],
)
def test_window_gap(window, start, later, gap):
    near_miss = only(f"A -[<={window}]-> B", events_of(("A", start), ("B", later)))
    # A gap too large for int64 is reported as the largest int64.
    assert items(near_miss.detail) == [
        ("kind", "window_exceeded"), ("candidate_index", 1), ("gap", gap), ("max_elapsed", window)
    ]


@pytest.mark.parametrize("ok, satisfies", [(True, True), (False, False)])
def test_absence_blocked_detail(ok, satisfies):
    events = events_of(("A", 0), ("X", 1), ("B", 2, {"ok": ok}), ("B", 3, {"ok": True}))
    near_miss = only("A -[no X]-> B[ok == true]", events)
    assert items(near_miss.detail) == [
        ("kind", "absence_blocked"),
        ("candidate_index", 2),
        ("blocking_index", 1),
        ("blocking_event_type", "X"),
        ("candidate_satisfies", satisfies),
    ]


def test_absence_atoms_see_the_path_bindings():
    events = events_of(
        ("A", 0, {"user": "u"}), ("X", 1, {"user": "other"}), ("X", 2, {"user": "u"}), ("B", 3, {"user": "u"})
    )
    near_miss = only("A[user as $u] -[no X[user == $u]]-> B[user == $u, n > 1]", events)
    assert near_miss.detail["kind"] == "absence_blocked"
    assert near_miss.detail["blocking_index"] == 2


def test_candidate_before_the_forbidden_event_is_judged_clause_by_clause():
    events = events_of(("A", 0), ("B", 1, {"ok": False}), ("X", 2), ("B", 3, {"ok": True}))
    near_miss = only("A -[no X]-> B[ok == true]", events)
    assert items(near_miss.detail) == [
        ("kind", "predicate_failed"),
        ("event_index", 1),
        (
            "failures",
            [{"type": "predicate", "attribute": "ok", "operator": "==", "expected": True, "actual": False}],
        ),
    ]


@pytest.mark.parametrize(
    "events, reason",
    [
        (events_of(("A", 0), ("X", 1), ("B", 2), ("B", 20)), "absence_blocked"),
        # A late candidate is not examined for forbidden events.
        (events_of(("A", 0), ("X", 1), ("B", 20)), "window_exceeded"),
        (events_of(("A", 0), ("X", 1), ("C", 2)), "no_successor"),
        (events_of(("A", 0), ("B", 1, {"n": 1}), ("X", 2), ("B", 3, {"n": 0})), "predicate_failed"),
    ],
)
def test_reason_precedence(events, reason):
    assert only("A -[<=5, no X]-> B[n == 0]", events).reason == reason


# ---------------------------------------------------------------------------------------------
# Failed clauses


@pytest.mark.parametrize(
    "pattern, candidate, failures",
    [
        (
            "A -> B[n > 5]",
            {},
            [{"type": "predicate", "attribute": "n", "operator": ">", "expected": 5, "actual": None}],
        ),
        (
            "A -> B[n <= 2.5, s != \"x\"]",
            {"n": 3, "s": "x"},
            [
                {"type": "predicate", "attribute": "n", "operator": "<=", "expected": 2.5, "actual": 3},
                {"type": "predicate", "attribute": "s", "operator": "!=", "expected": "x", "actual": "x"},
            ],
        ),
        (
            "A -> B[user == $u]",
            {"user": "x"},
            [{"type": "reference", "attribute": "user", "operator": "==", "binding": "u", "bound": None,
              "actual": "x"}],
        ),
        (
            "A[user as $u] -> B[user >= $u]",
            {},
            [{"type": "reference", "attribute": "user", "operator": ">=", "binding": "u", "bound": "a",
              "actual": None}],
        ),
        (
            "A[user as $u] -> B[user == $u]",
            {"user": "b"},
            [{"type": "reference", "attribute": "user", "operator": "==", "binding": "u", "bound": "a",
              "actual": "b"}],
        ),
        (
            "A[user as $u] -> B[user as $u]",
            {"user": "b"},
            [{"type": "capture", "name": "u", "attribute": "user", "bound": "a", "actual": "b"}],
        ),
        (
            "A[user as $u] -> B[user as $u]",
            {},
            [{"type": "capture", "name": "u", "attribute": "user", "bound": "a", "actual": None}],
        ),
        # The clause kinds come in a fixed order, whatever the order in the text.
        (
            "A[user as $u] -> B[user as $u, user == $u, n == 1]",
            {"user": "b", "n": 2},
            [
                {"type": "predicate", "attribute": "n", "operator": "==", "expected": 1, "actual": 2},
                {"type": "reference", "attribute": "user", "operator": "==", "binding": "u", "bound": "a",
                 "actual": "b"},
                {"type": "capture", "name": "u", "attribute": "user", "bound": "a", "actual": "b"},
            ],
        ),
        # Captures of the candidate's own step are not applied while judging it.
        ("A -> B[a as $v, b as $v]", {"a": 1, "b": 2}, []),
    ],
)
def test_failed_clauses(pattern, candidate, failures):
    events = events_of(("A", 0, {"user": "a"}), ("B", 1, candidate))
    near_miss = only(pattern, events)
    assert near_miss.detail["event_index"] == 1
    got = near_miss.detail["failures"]
    assert reference.canonical(got) == reference.canonical(failures)  # kinds and key order too


@pytest.mark.parametrize(
    "first, second, fails",
    [
        (1, 1.0, True),
        (1, 1, False),
        (0.0, -0.0, False),
        (float("nan"), float("nan"), True),
        (None, None, False),
    ],
)
def test_capture_uses_strict_equality(first, second, fails):
    events = events_of(("A", 0, {"x": first}), ("B", 1, {"x": second}))
    result = misses("A[x as $v] -> B[x as $v]", events)
    assert bool(result) == fails
    if fails:
        (failure,) = result[0].detail["failures"]
        assert reference.canonical(failure) == reference.canonical(
            {"type": "capture", "name": "v", "attribute": "x", "bound": first, "actual": second}
        )


def test_reference_uses_numeric_equality():
    events = events_of(("A", 0, {"x": 5}), ("B", 1, {"x": 5.0}))
    assert misses("A[x as $v] -> B[x == $v]", events) == []


def test_missing_capture_attribute_matches_a_bound_null():
    assert misses("A[x as $v] -> B[x as $v]", events_of(("A", 0), ("B", 1))) == []


# ---------------------------------------------------------------------------------------------
# The deepest path and the starts


def test_a_longer_path_beats_an_earlier_one():
    events = events_of(("A", 0), ("B", 1, {"x": 1}), ("B", 2, {"x": 2}), ("C", 3, {"x": 2}))
    near_miss = only("A -> B[x as $v] -> C[x == $v] -> D", events)
    assert (near_miss.indices, near_miss.next_event_type) == ([0, 2, 3], "D")
    assert near_miss.captures == {"v": 2}


def test_equally_deep_paths_keep_the_earliest_events():
    events = events_of(("A", 0), ("B", 1, {"x": 1}), ("B", 2, {"x": 2}), ("C", 3, {"x": 3}))
    near_miss = only("A -> B[x as $v] -> C[x == $v]", events)
    assert near_miss.indices == [0, 1]
    assert near_miss.captures == {"v": 1}
    assert near_miss.detail["failures"][0]["bound"] == 1


def test_every_start_is_analysed_even_inside_another_match():
    result = misses("A -> A -> A", events_of(("A", 0), ("A", 1), ("A", 2)))
    assert [(m.start_index, m.indices) for m in result] == [(1, [1, 2]), (2, [2])]


def test_start_that_only_a_later_choice_completes_is_no_near_miss():
    pattern = parse_pattern("A -[<=20]-> B -[<=5]-> C")
    events = events_of(("A", 0), ("B", 1), ("B", 12), ("C", 15))
    assert match_events(pattern, events) == []
    assert misses(pattern, events) == []


@pytest.mark.parametrize("consumption", ["FirstSuccessorPerStart", "ExhaustivePerStart"])
def test_consumption_plays_no_part(consumption):
    document = json.loads(parse_pattern("A -> B[n == 1]").to_json())
    document["consumption"] = consumption
    events = events_of(("A", 0), ("B", 1, {"n": 2}))
    assert only(pattern_from_json(json.dumps(document)), events).reason == "predicate_failed"


@pytest.mark.parametrize(
    "pattern, events",
    [
        ("A -> B", []),
        ("A -> B", events_of(("B", 0), ("C", 1))),
        ("A", events_of(("A", 0), ("A", 1))),
    ],
    ids=["no-events", "no-starts", "one-step"],
)
def test_nothing_to_report(pattern, events):
    assert misses(pattern, events) == []


def test_partitions_are_separate_and_ordered():
    events = events_of(("A", 0), ("A", 5), partition="a") + events_of(("B", 1), ("A", 2), partition="b")
    result = misses("A -> B", events)
    assert [(m.partition, m.start_index, m.indices) for m in result] == [
        ("a", 0, [0]), ("a", 1, [1]), ("b", 3, [3])
    ]


def test_pattern_of_100000_steps():
    text = "A" + " -> A" * 99_999
    events = events_of(*[("A", ts) for ts in range(40)])
    result = misses(text, events)
    assert [m.reached_steps for m in result] == list(range(40, 0, -1))
    assert all(m.reason == "no_successor" for m in result)


# ---------------------------------------------------------------------------------------------
# Arguments


@pytest.mark.parametrize(
    "pattern", ["A -> B", None, parse_pattern("A -> B")], ids=["text", "none", "pattern"]
)
def test_order_is_checked_before_the_pattern(pattern):
    events = events_of(("A", 5), ("B", 1))
    with pytest.raises(ValueError, match=r"^events must be grouped") as caught:
        near_miss_events(pattern, events)
    assert str(caught.value) == ORDER_MESSAGE


@pytest.mark.parametrize("pattern", ["A -> B", None, {"steps": []}])
def test_pattern_must_be_a_pattern(pattern):
    with pytest.raises(TypeError) as caught:
        near_miss_events(pattern, [])
    assert str(caught.value) == "expected a Pattern, a pattern builder, or the result of parse_pattern()"


def test_builder_is_accepted_as_is():
    builder = Pattern.event("A").then("B", within=5, no="X")
    events = events_of(("A", 0), ("X", 1), ("B", 2))
    by_builder = [reference.record(m) for m in near_miss_events(builder, events)]
    by_pattern = [reference.record(m) for m in near_miss_events(events=events, pattern=builder.build())]
    assert by_builder == by_pattern and by_builder[0]["reason"] == "absence_blocked"


# ---------------------------------------------------------------------------------------------
# Properties against the plain reference

# Repeated entries weight the draw towards values that make clauses pass.
ATTRIBUTES = ["x", "y"]
LITERALS = ["0", "1", "0", "1", "1.0", "-0.0", "0.5", '"a"', "true", "null"]
VALUES = [0, 1, 0, 1, 2, 1.0, 0.0, -0.0, 0.5, float("nan"), "a", True, None]
OPERATORS = ["==", "!=", ">", ">=", "<", "<="]


@st.composite
def items_text(draw, allow_captures=True, most=2):
    kinds = ["predicate", "reference"] + (["capture"] if allow_captures else [])
    items = []
    for _ in range(draw(st.integers(0, most))):
        kind = draw(st.sampled_from(kinds))
        attribute = draw(st.sampled_from(ATTRIBUTES))
        binding = draw(st.sampled_from(["v", "w"]))
        if kind == "capture":
            items.append(f"{attribute} as ${binding}")
        elif kind == "reference":
            items.append(f"{attribute} {draw(st.sampled_from(OPERATORS))} ${binding}")
        else:
            items.append(f"{attribute} {draw(st.sampled_from(OPERATORS))} {draw(st.sampled_from(LITERALS))}")
    return f"[{', '.join(items)}]" if items else ""


@st.composite
def pattern_texts(draw):
    text = draw(st.sampled_from("AB")) + draw(items_text(most=1))
    for _ in range(draw(st.integers(1, 3))):
        constraints = []
        if draw(st.booleans()):
            constraints.append(f"<={draw(st.integers(-1, 4))}")
        if draw(st.booleans()):
            # An absence atom can carry one item in the text language.
            constraints.append(f"no {draw(st.sampled_from('XXAB'))}{draw(items_text(False, 1))}")
        link = f" -[{', '.join(constraints)}]-> " if constraints else " -> "
        text += link + draw(st.sampled_from("AB")) + draw(items_text())
    return text


@st.composite
def event_lists(draw):
    events = []
    for partition in sorted(draw(st.sets(st.sampled_from(["a", "b"]), min_size=1))):
        ts = draw(st.integers(-3, 3))
        for _ in range(draw(st.integers(1, 9))):
            ts += draw(st.integers(0, 2))
            attrs = draw(st.dictionaries(st.sampled_from(ATTRIBUTES), st.sampled_from(VALUES), max_size=2))
            events.append(Event(partition, ts, draw(st.sampled_from("ABX")), attrs))
    return events


@settings(max_examples=300, deadline=None)
@given(pattern_texts(), event_lists())
def test_agrees_with_the_reference(text, events):
    pattern = parse_pattern(text)
    expected = reference.near_misses(json.loads(pattern.to_json()), events)
    got = [reference.record(m) for m in misses(pattern, events)]
    assert reference.canonical(got) == reference.canonical(expected)


@settings(max_examples=300, deadline=None)
@given(pattern_texts(), event_lists())
def test_a_start_misses_exactly_when_it_has_no_match(text, events):
    pattern = parse_pattern(text)
    first = json.loads(pattern.to_json())["steps"][0]["atom"]
    starts = {
        i for i, event in enumerate(events) if reference.evaluate(first, reference.Ev(event), {}) is not None
    }
    matched = {m.indices[0] for m in match_events(pattern, events, exhaustive=True)}
    missed = [m.start_index for m in misses(pattern, events)]
    assert len(missed) == len(set(missed))
    assert set(missed).isdisjoint(matched)
    assert set(missed) | matched == starts
