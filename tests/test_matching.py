"""What match_events finds: consumption modes, windows, forbidden events, captures, comparisons
and result order, checked through the compiled matcher and the reference matcher alike."""

import math

import pytest

from vashlet import Event, Pattern, match_events, parse_pattern

INT64_MIN = -(2**63)
INT64_MAX = 2**63 - 1

BOTH_MATCHERS = pytest.mark.parametrize("use_oracle", [False, True], ids=["compiled", "oracle"])


def timeline(text, partition="p"):
    """Events written as `type@ts` separated by spaces, all in one partition."""
    events = []
    for item in text.split():
        typ, ts = item.split("@")
        events.append(Event(partition, int(ts), typ))
    return events


def indices(pattern, events, exhaustive=False, use_oracle=False):
    return [m.indices for m in match_events(pattern, events, exhaustive, use_oracle)]


def all_modes(pattern, events):
    """(first-successor, exhaustive) index lists, after checking that both matchers agree."""
    results = []
    for exhaustive in (False, True):
        compiled = indices(pattern, events, exhaustive=exhaustive)
        assert indices(pattern, events, exhaustive=exhaustive, use_oracle=True) == compiled
        results.append(compiled)
    return tuple(results)


# ---------------------------------------------------------------------------------------------
# Consumption modes, windows and forbidden events


@pytest.mark.parametrize(
    "text, events, first_successor, exhaustive",
    [
        ("A -> B", "", [], []),
        ("A -> B", "B@0 B@1", [], []),
        ("A", "B@0 A@1 A@1", [[1], [2]], [[1], [2]]),
        ("A -> B", "A@0 A@1 B@2", [[0, 2], [1, 2]], [[0, 2], [1, 2]]),
        ("A -> A", "A@0 A@1 A@2", [[0, 1], [1, 2]], [[0, 1], [0, 2], [1, 2]]),
        # The earliest successor is taken even when a later one would complete the match.
        ("A -[<=20]-> B -[<=5]-> C", "A@0 B@1 B@12 C@15", [], [[0, 2, 3]]),
        # Each window is measured from the previous step's event, not from the start.
        ("A -[<=10]-> B -[<=10]-> C", "A@0 B@8 C@16", [[0, 1, 2]], [[0, 1, 2]]),
        ("A -[<=10]-> B", "A@0 B@10", [[0, 1]], [[0, 1]]),
        ("A -[<=10]-> B", "A@0 B@11", [], []),
        ("A -[<=0]-> B", "A@0 B@0 B@1", [[0, 1]], [[0, 1]]),
        ("A -[<=0]-> B", "B@3 A@3", [], []),  # equal timestamps keep input order
        ("A -[<=-1]-> B", "A@0 B@0 B@1", [], []),
        # An expired thread is dropped; a later start still matches.
        ("A -[<=5]-> B", "A@0 A@3 B@7", [[1, 2]], [[1, 2]]),
        # The successor is tested before the forbidden atoms; under exhaustive consumption it
        # then blocks the same thread's later successors.
        ("A -[no B]-> B", "A@0 B@1 B@2", [[0, 1]], [[0, 1]]),
        ("A -[no X]-> B", "A@0 X@1 B@2", [], []),
        ("A -[no X]-> B", "A@0 B@1 X@2 B@3", [[0, 1]], [[0, 1]]),
        ("A -[no X, <=10]-> B", "A@0 X@1 A@2 B@3 B@20", [[2, 3]], [[2, 3]]),
        # Any one of several forbidden atoms blocks; a later start is unaffected.
        ("A -[no X, no Y]-> B", "A@0 Y@1 A@2 B@3", [[2, 3]], [[2, 3]]),
        # Results within a run are ordered by index lists, not by completion.
        ("A -> B", "A@0 A@1 B@2 B@3", [[0, 2], [1, 2]], [[0, 2], [0, 3], [1, 2], [1, 3]]),
        ("A -> B -> C", "A@0 B@1 A@2 B@3 C@4",
         [[0, 1, 4], [2, 3, 4]], [[0, 1, 4], [0, 3, 4], [2, 3, 4]]),
    ],
)
def test_consumption_windows_and_absence(text, events, first_successor, exhaustive):
    assert all_modes(parse_pattern(text), timeline(events)) == (first_successor, exhaustive)


@pytest.mark.parametrize("exhaustive, expected", [(False, []), (True, [[0, 2, 3]])])
@BOTH_MATCHERS
def test_three_step_match_carries_span_and_types(exhaustive, use_oracle, expected):
    pattern = Pattern.event("A").then("B", within=20).then("C", within=5)
    matches = match_events(pattern, timeline("A@0 B@1 B@12 C@15"), exhaustive, use_oracle)
    assert [m.indices for m in matches] == expected
    for match in matches:
        assert (match.partition, match.start, match.end) == ("p", 0, 15)
        assert match.types == ["A", "B", "C"]


@pytest.mark.parametrize(
    "start, end, within, matched",
    [
        (INT64_MIN, INT64_MAX, INT64_MAX, False),  # elapsed 2**64 - 1 does not wrap around
        (INT64_MIN, -1, INT64_MAX, True),
        (INT64_MIN, 0, INT64_MAX, False),
        (INT64_MIN, INT64_MAX, None, True),
        (INT64_MAX, INT64_MAX, 0, True),
        (INT64_MIN, INT64_MIN, 0, True),
        (0, 0, INT64_MIN, False),
        (INT64_MIN, INT64_MAX, INT64_MIN, False),
    ],
)
@BOTH_MATCHERS
def test_windows_at_the_timestamp_limits(start, end, within, matched, use_oracle):
    events = [Event("p", start, "A"), Event("p", end, "B")]
    matches = match_events(Pattern.event("A").then("B", within=within), events, True, use_oracle)
    assert [(m.start, m.end) for m in matches] == ([(start, end)] if matched else [])


@BOTH_MATCHERS
def test_window_text_literal_at_the_limit(use_oracle):
    events = [Event("p", INT64_MIN, "A"), Event("p", INT64_MIN, "B")]
    pattern = parse_pattern(f"A -[<={INT64_MIN}]-> B")
    assert match_events(pattern, events, use_oracle=use_oracle) == []


# ---------------------------------------------------------------------------------------------
# Comparisons inside predicates


@pytest.mark.parametrize(
    "value, method, operand, expected",
    [
        (3, "where_eq", 3.0, True),
        (3, "where_lt", 3.5, True),
        (2.5, "where_gt", 2, True),
        (2**53 + 1, "where_eq", float(2**53), True),  # the int converts to the nearest double
        (2**53 + 1, "where_eq", 2**53, False),  # but two ints compare exactly
        (INT64_MIN, "where_lt", INT64_MAX, True),
        (INT64_MAX, "where_gt", INT64_MAX - 1, True),  # no detour through doubles
        (math.nan, "where_eq", math.nan, False),
        (math.nan, "where_ne", math.nan, True),
        (math.nan, "where_gt", 1, False),
        (math.nan, "where_lte", 1, False),
        (1, "where_gte", math.nan, False),
        (0.0, "where_eq", -0.0, True),
        (-0.0, "where_lt", 0.0, False),
        (math.inf, "where_gt", INT64_MAX, True),
        ("abc", "where_lt", "abd", False),  # strings are never ordered
        ("b", "where_gt", "a", False),
        ("a", "where_gte", "a", False),
        ("x", "where_eq", "x", True),
        ("1", "where_eq", 1, False),
        ("1", "where_ne", 1, True),
        (True, "where_eq", 1, False),
        (True, "where_gte", False, False),
        (None, "where_eq", None, True),
        (None, "where_ne", None, False),
        (None, "where_lte", None, False),
        (None, "where_ne", 0, True),
    ],
)
@BOTH_MATCHERS
def test_predicate_comparisons(value, method, operand, expected, use_oracle):
    pattern = getattr(Pattern.event("E"), method)("x", operand)
    matches = match_events(pattern, [Event("p", 0, "E", {"x": value})], use_oracle=use_oracle)
    assert bool(matches) is expected


@pytest.mark.parametrize("method", ["where_eq", "where_ne", "where_gt", "where_lte"])
def test_a_missing_attribute_fails_every_operator(method):
    pattern = getattr(Pattern.event("E"), method)("x", 1)
    assert match_events(pattern, [Event("p", 0, "E", {"y": 1})]) == []


def test_event_types_compare_exactly():
    events = [Event("p", 0, "login"), Event("p", 1, "Login"), Event("p", 2, "login\u00a0")]
    assert indices(parse_pattern("login"), events) == [[0]]


# ---------------------------------------------------------------------------------------------
# Captures and references


def two_steps(first_value, second_attrs, second_step):
    events = [Event("p", 0, "A", {"v": first_value}), Event("p", 1, "B", second_attrs)]
    return match_events(parse_pattern(f"A[v as $v] -> {second_step}"), events)


@pytest.mark.parametrize(
    "first_value, second_attrs, second_step, expected",
    [
        # A reference compares numerically; a second capture demands strict equality.
        (5, {"amount": 5.0}, "B[amount == $v]", True),
        (5, {"amount": 5.0}, "B[amount as $v]", False),
        (5, {"amount": 5}, "B[amount as $v]", True),
        (1, {"amount": True}, "B[amount as $v]", False),
        (math.nan, {"amount": math.nan}, "B[amount as $v]", False),
        (math.nan, {"amount": math.nan}, "B[amount != $v]", True),
        ("x", {"amount": "x"}, "B[amount as $v]", True),
        (None, {}, "B[amount as $v]", True),  # a missing attribute captures None
        (None, {"amount": 0}, "B[amount as $v]", False),
        (2, {"amount": 3}, "B[amount > $v]", True),
        (2, {"amount": 3}, "B[amount == $w]", False),  # an unbound name fails
        (2, {"amount": 3}, "B[amount != $w]", False),
    ],
)
def test_captures_and_references(first_value, second_attrs, second_step, expected):
    assert bool(two_steps(first_value, second_attrs, second_step)) is expected


def test_signed_zeros_are_strictly_equal_and_the_first_capture_is_kept():
    (match,) = two_steps(-0.0, {"amount": 0.0}, "B[amount as $v]")
    assert math.copysign(1.0, match.captures["v"]) == -1.0


def test_a_reference_in_the_capturing_atom_reads_the_earlier_binding():
    events = [Event("p", 0, "A", {"x": 1}), Event("p", 1, "A", {"x": 1})]
    assert indices(parse_pattern("A[x as $v, x == $v]"), events) == []
    assert indices(parse_pattern("A[x as $v] -> A[x as $v, x == $v]"), events) == [[0, 1]]


@BOTH_MATCHERS
def test_captures_follow_the_path_that_matched(use_oracle):
    events = [
        Event("p", 0, "A", {"user": "x"}),
        Event("p", 1, "A", {"user": "y"}),
        Event("p", 2, "B", {"user": "y"}),
    ]
    pattern = Pattern.event("A").capture("user", "$u").then("B").where_ref_eq("user", "u")
    matches = match_events(pattern, events, use_oracle=use_oracle)
    assert [(m.indices, m.captures) for m in matches] == [([1, 2], {"u": "y"})]


LOGIN_THEN_BUY = "login[user as $u] -[no logout[user == $u]]-> buy[user == $u]"


@pytest.mark.parametrize(
    "steps, expected",
    [
        ([("login", "a"), ("logout", "b"), ("buy", "a")], [[0, 2]]),
        ([("login", "a"), ("logout", "a"), ("buy", "a")], []),
        # Each thread checks forbidden events against its own captures.
        ([("login", "a"), ("login", "b"), ("logout", "a"), ("buy", "a"), ("buy", "b")], [[1, 4]]),
    ],
)
def test_forbidden_atoms_see_the_threads_bindings(steps, expected):
    events = [Event("p", ts, typ, {"user": user}) for ts, (typ, user) in enumerate(steps)]
    assert all_modes(parse_pattern(LOGIN_THEN_BUY), events) == (expected, expected)


# ---------------------------------------------------------------------------------------------
# Partitions


@BOTH_MATCHERS
def test_runs_never_combine_and_come_in_input_order(use_oracle):
    events = [
        Event("a", 5, "A"), Event("a", 6, "B"),
        Event("ab", 0, "A"),
        Event("b", 0, "B"), Event("b", 1, "A"), Event("b", 2, "B"),
    ]
    matches = match_events(parse_pattern("A -> B"), events, True, use_oracle)
    assert [(m.partition, m.indices, m.start, m.end) for m in matches] == [
        ("a", [0, 1], 5, 6),
        ("b", [4, 5], 1, 2),
    ]


# ---------------------------------------------------------------------------------------------
# Long patterns


@pytest.mark.parametrize("exhaustive", [False, True])
@BOTH_MATCHERS
def test_a_hundred_thousand_steps_over_a_few_events(exhaustive, use_oracle):
    pattern = parse_pattern(" -> ".join(["A"] * 100_000))
    assert match_events(pattern, timeline("A@0 A@1 A@2"), exhaustive, use_oracle) == []


@BOTH_MATCHERS
def test_a_hundred_thousand_step_match(use_oracle):
    pattern = parse_pattern("S" + " -> A" * 99_999)
    events = [Event("p", 0, "S")] + [Event("p", ts, "A") for ts in range(1, 100_000)]
    (match,) = match_events(pattern, events, use_oracle=use_oracle)
    assert match.indices == list(range(100_000))
    assert (match.start, match.end) == (0, 99_999)
