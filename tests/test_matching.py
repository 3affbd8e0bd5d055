"""What match_events finds (consumption modes, windows, forbidden events, comparisons, captures,
result order), checked through the compiled matcher and the reference matcher alike, and the
Match objects it returns."""

import gc
import json
import math
import random

import pytest

from helpers import INT64_MAX, INT64_MIN, Sequence, timeline
from vashlet import Event, Pattern, _core, match_events, parse_pattern, pattern_from_json

BOTH_MATCHERS = pytest.mark.parametrize("use_oracle", [False, True], ids=["compiled", "oracle"])


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


@pytest.mark.parametrize("text, events, first_successor, exhaustive", [
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
    ("A -[<=5]-> B", "A@0 A@3 B@7", [[1, 2]], [[1, 2]]),  # an expired thread does not block a later start
    # The successor is tested before the forbidden atoms; under exhaustive consumption it then
    # blocks the same thread's later successors.
    ("A -[no B]-> B", "A@0 B@1 B@2", [[0, 1]], [[0, 1]]),
    ("A -[no X]-> B", "A@0 X@1 B@2", [], []),
    ("A -[no X]-> B", "A@0 B@1 X@2 B@3", [[0, 1]], [[0, 1]]),
    ("A -[no X, <=10]-> B", "A@0 X@1 A@2 B@3 B@20", [[2, 3]], [[2, 3]]),
    ("A -[no X, no Y]-> B", "A@0 Y@1 A@2 B@3", [[2, 3]], [[2, 3]]),  # any one forbidden atom blocks
    # Results within a run are ordered by index lists, not by completion.
    ("A -> B", "A@0 A@1 B@2 B@3", [[0, 2], [1, 2]], [[0, 2], [0, 3], [1, 2], [1, 3]]),
    ("A -> B -> C", "A@0 B@1 A@2 B@3 C@4", [[0, 1, 4], [2, 3, 4]], [[0, 1, 4], [0, 3, 4], [2, 3, 4]]),
    # Successors and starts made by an event are not offered that same event.
    ("A -> A -> A", "A@0 A@0 A@0", [[0, 1, 2]], [[0, 1, 2]]),
    # One event type that advances one step and is forbidden before another.
    ("A -> B -[no A]-> C", "A@0 B@1 A@2 C@3", [], []),
    ("A -> B -[no A]-> C", "A@0 B@1 C@2 A@3 B@4 C@5", [[0, 1, 2], [3, 4, 5]],
     [[0, 1, 2], [0, 4, 5], [3, 4, 5]]),
    # The forbidden event clears one step's waiting threads but not the next step's.
    ("A -[no X]-> B -> C", "A@0 B@1 A@2 X@3 C@4", [[0, 1, 4]], [[0, 1, 4]]),
    # Expired threads are a prefix of the waiting list; later ones still match.
    ("A -[<=2]-> B", "A@0 A@1 A@2 A@3 A@4 B@5", [[3, 5], [4, 5]], [[3, 5], [4, 5]]),
    ("A -[<=0]-> B", "A@1 A@2 B@2 A@2 B@2", [[1, 2], [3, 4]], [[1, 2], [1, 4], [3, 4]]),
    # A waiting list left over at the end of a run never reaches into the next run.
    ("A -> B -> C", "A@0 B@1 | C@0 A@1 B@2 C@3", [[3, 4, 5]], [[3, 4, 5]]),
    # Exhaustive mode keeps only partial matches that can still complete.
    ("A -> A -> A -> A -> B", "A@0 A@1 A@2 A@3 A@4", [], []),
    ("A -> A -> A -> A -> B", "B@0 A@1 A@2 A@3 A@4", [], []),
    ("A -> A -> B", "A@0 A@1 B@2 A@3 A@4", [[0, 1, 2]], [[0, 1, 2]]),
    # The closest later event decides a window: B@5 is too far from A@1 but not from A@4.
    ("A -> A -[<=1]-> B", "A@0 A@1 A@4 B@5", [[1, 2, 3]], [[0, 2, 3], [1, 2, 3]]),
    ("A -[<=1]-> A -> B", "A@0 A@1 A@4 B@5", [[0, 1, 3]], [[0, 1, 3]]),
])
def test_consumption_windows_and_absence(text, events, first_successor, exhaustive):
    # Runs separated by `|` go to partitions of ascending names.
    events = [e for n, run in enumerate(events.split("|")) for e in timeline(run, f"p{n}")]
    assert all_modes(parse_pattern(text), events) == (first_successor, exhaustive)


@pytest.mark.parametrize("start, end, within, matched", [
    (INT64_MIN, INT64_MAX, INT64_MAX, False),  # elapsed 2**64 - 1 does not wrap around
    (INT64_MIN, -1, INT64_MAX, True),
    (INT64_MIN, 0, INT64_MAX, False),
    (INT64_MIN, INT64_MAX, None, True),
    (INT64_MAX, INT64_MAX, 0, True),
    (INT64_MIN, INT64_MIN, 0, True),
    (0, 0, INT64_MIN, False),
    (INT64_MIN, INT64_MAX, INT64_MIN, False),
])
@BOTH_MATCHERS
def test_windows_at_the_timestamp_limits(start, end, within, matched, use_oracle):
    events = [Event("p", start, "A"), Event("p", end, "B")]
    matches = match_events(Pattern.event("A").then("B", within=within), events, True, use_oracle)
    assert [(m.start, m.end) for m in matches] == ([(start, end)] if matched else [])


# The near-miss reference checks these rules on random values; these rows hold the boundaries.
@pytest.mark.parametrize("value, method, operand, expected", [
    (2**53 + 1, "where_eq", float(2**53), True),  # the int converts to the nearest double
    (2**53 + 1, "where_eq", 2**53, False),  # but two ints compare exactly
    (INT64_MAX, "where_gt", INT64_MAX - 1, True), (math.inf, "where_gt", INT64_MAX, True),
    (math.nan, "where_eq", math.nan, False), (math.nan, "where_ne", math.nan, True),
    (math.nan, "where_gt", 1, False), (1, "where_gte", math.nan, False),
    (0.0, "where_eq", -0.0, True), (-0.0, "where_lt", 0.0, False),
    ("abc", "where_lt", "abd", False), ("a", "where_gte", "a", False),  # strings are never ordered
    ("1", "where_eq", 1, False), ("1", "where_ne", 1, True), (True, "where_eq", 1, False),
    (True, "where_gte", False, False), (None, "where_eq", None, True), (None, "where_ne", 0, True),
])
@BOTH_MATCHERS
def test_predicate_comparisons(value, method, operand, expected, use_oracle):
    pattern = getattr(Pattern.event("E"), method)("x", operand)
    assert bool(match_events(pattern, [Event("p", 0, "E", {"x": value})], use_oracle=use_oracle)) is expected


# Event types are told apart by their length first, then by a few of their bytes: types of the
# same length as a named one that differ from it in a single byte, wherever it lies, match nothing.
@pytest.mark.parametrize("length", [1, 2, 3, 4, 7, 8, 9, 15, 16, 17, 40, 63, 64, 65, 100])
def test_types_that_differ_in_one_byte_are_told_apart(length):
    start = ("ab" * length)[:length]
    end = start[:-1] + "x"
    decoys = sorted({start[:at] + "z" + start[at + 1:] for at in (0, length // 2, length - 1)}
                    | {end[:at] + "z" + end[at + 1:] for at in (0, length // 2, length - 1)})
    types = [start] + decoys + [end] + decoys + [start[:-1], start + "a", end] + decoys
    events = [Event("p", ts, typ, {}) for ts, typ in enumerate(types)]
    pattern = parse_pattern(f"{start} -> {end}")
    assert all_modes(pattern, events) == ([[0, len(decoys) + 1]],
                                          [[0, len(decoys) + 1], [0, len(types) - len(decoys) - 1]])


# ---------------------------------------------------------------------------------------------
# Captures and references


def two_steps(first_value, second_attrs, second_step):
    events = [Event("p", 0, "A", {"v": first_value}), Event("p", 1, "B", second_attrs)]
    return match_events(parse_pattern(f"A[v as $v] -> {second_step}"), events)


@pytest.mark.parametrize("first_value, second_attrs, second_step, expected", [
    # A reference compares numerically; a second capture demands strict equality.
    (5, {"amount": 5.0}, "B[amount == $v]", True), (5, {"amount": 5.0}, "B[amount as $v]", False),
    (5, {"amount": 5}, "B[amount as $v]", True), (1, {"amount": True}, "B[amount as $v]", False),
    (math.nan, {"amount": math.nan}, "B[amount as $v]", False),
    (math.nan, {"amount": math.nan}, "B[amount != $v]", True),
    ("x", {"amount": "x"}, "B[amount as $v]", True), (2, {"amount": 3}, "B[amount > $v]", True),
    (None, {}, "B[amount as $v]", True),  # a missing attribute captures None
    (None, {"amount": 0}, "B[amount as $v]", False),
    (2, {"amount": 3}, "B[amount == $w]", False), (2, {"amount": 3}, "B[amount != $w]", False),  # unbound
])
def test_captures_and_references(first_value, second_attrs, second_step, expected):
    assert bool(two_steps(first_value, second_attrs, second_step)) is expected


def test_signed_zeros_are_strictly_equal_and_the_first_capture_is_kept():
    (match,) = two_steps(-0.0, {"amount": 0.0}, "B[amount as $v]")
    assert math.copysign(1.0, match.captures["v"]) == -1.0


def test_a_reference_in_the_capturing_atom_reads_the_earlier_binding():
    events = [Event("p", 0, "A", {"x": 1}), Event("p", 1, "A", {"x": 1})]
    assert indices(parse_pattern("A[x as $v, x == $v]"), events) == []
    assert indices(parse_pattern("A[x as $v] -> A[x as $v, x == $v]"), events) == [[0, 1]]


@pytest.mark.parametrize("steps, expected", [
    ([("login", "a"), ("logout", "b"), ("buy", "a")], [[0, 2]]),
    ([("login", "a"), ("logout", "a"), ("buy", "a")], []),
    # Each thread checks forbidden events against its own captures.
    ([("login", "a"), ("login", "b"), ("logout", "a"), ("buy", "a"), ("buy", "b")], [[1, 4]]),
])
def test_forbidden_atoms_see_the_threads_bindings(steps, expected):
    events = [Event("p", ts, typ, {"user": user}) for ts, (typ, user) in enumerate(steps)]
    pattern = parse_pattern("login[user as $u] -[no logout[user == $u]]-> buy[user == $u]")
    assert all_modes(pattern, events) == (expected, expected)


# ---------------------------------------------------------------------------------------------
# Runs, inputs, consumption and long patterns


def test_the_exhaustive_flag_widens_a_call_and_never_narrows_a_pattern():
    events = timeline("A@0 B@1 B@2")
    pattern = parse_pattern("A -> B")
    before = pattern.to_json()
    assert all_modes(pattern, events) == ([[0, 1]], [[0, 1], [0, 2]])
    assert pattern.to_json() == before
    document = json.loads(before)
    document["consumption"] = "ExhaustivePerStart"
    assert all_modes(pattern_from_json(json.dumps(document)), events) == ([[0, 1], [0, 2]],) * 2


@pytest.mark.parametrize("named", [8, 9, 30])  # up to 8 event types are compared, more are hashed
def test_patterns_naming_many_event_types(named):
    # Steps T0, T1, ... over all but one of the named types; the last one, X, is only forbidden.
    steps = [f"T{i}" for i in range(named - 1)]
    builder = Pattern.event(steps[0])
    for typ in steps[1:-1]:
        builder = builder.then(typ)
    builder = builder.then(steps[-1], no="X")
    unnamed = ["", "T", f"T{named}", "t0", "T0 ", "X\0", "Y"]

    def run(partition, blocked):
        """A complete path with an unnamed type after each event, X just before the last step."""
        events = []
        for i, typ in enumerate(steps):
            if i == len(steps) - 1:
                events.append(("X" if blocked else unnamed[i % len(unnamed)], partition))
            events.append((typ, partition))
            events.append((unnamed[i % len(unnamed)], partition))
        return events

    rows = run("a", blocked=True) + run("b", blocked=False)
    events = [Event(partition, ts, typ) for ts, (typ, partition) in enumerate(rows)]
    path = [i for i, (typ, partition) in enumerate(rows) if partition == "b" and typ in steps]
    assert len(path) == len(steps)
    assert all_modes(builder, events) == ([path], [path])


@pytest.mark.parametrize("exhaustive", [False, True])
@BOTH_MATCHERS
def test_a_hundred_thousand_steps_over_a_few_events(exhaustive, use_oracle):
    pattern = parse_pattern(" -> ".join(["A"] * 100_000))
    assert match_events(pattern, timeline("A@0 A@1 A@2"), exhaustive, use_oracle) == []


@BOTH_MATCHERS
def test_a_hundred_thousand_step_match(use_oracle):
    events = [Event("p", 0, "S")] + [Event("p", ts, "A") for ts in range(1, 100_000)]
    (match,) = match_events(parse_pattern("S" + " -> A" * 99_999), events, use_oracle=use_oracle)
    assert (match.indices, match.start, match.end) == (list(range(100_000)), 0, 99_999)


# ---------------------------------------------------------------------------------------------
# Match objects

EVENTS = [
    Event("u1", 10, "login", {"user": "ann", "n": 1}),
    Event("u1", 12, "view", {"user": "ann"}),
    Event("u1", 15, "purchase", {"user": "ann", "amount": 12.5}),
    Event("u2", 3, "login", {"user": "bob"}),
    Event("u2", 4, "purchase", {"user": "eve"}),
]


def test_match_properties_are_new_copies_each_time():
    (match,) = match_events(parse_pattern("login[user as $user] -> purchase[user == $user]"), EVENTS)
    assert (match.partition, match.indices, match.start, match.end) == ("u1", [0, 2], 10, 15)
    assert (match.types, match.captures) == (["login", "purchase"], {"user": "ann"})
    assert [(e.partition, e.ts, e.typ, e.attrs) for e in match.events] == [
        (e.partition, e.ts, e.typ, e.attrs) for e in (EVENTS[0], EVENTS[2])]
    assert match.events[0] is not match.events[0] and match.events[0] is not EVENTS[0]
    for name in ("indices", "types", "events", "captures"):
        first = getattr(match, name)
        assert first is not getattr(match, name)
        first.clear()  # changing what was handed out leaves the match as it was
    assert (match.indices, match.captures) == ([0, 2], {"user": "ann"})
    assert len(match.types) == len(match.events) == 2


def event_fields(event):
    return (event.partition, event.ts, event.typ, repr(sorted(event.attrs.items())))


# A Match keeps its events' copies packed; every kind of value, text and size comes back as given.
KEPT_EVENTS = [
    Event("", INT64_MIN, "A", {}),
    Event("partition beyond sixteen bytes", -1, "A", {"s": "", "t": "x" * 40, "u": "é\x00ü"}),
    Event("p", 0, "a type name beyond sixteen bytes", {"i": INT64_MAX, "j": INT64_MIN, "k": -0.0}),
    Event("p", 1, "A", {"f": math.inf, "g": -math.inf, "n": math.nan, "b": True, "c": False}),
    Event("p", INT64_MAX, "A", {"none": None, "z" * 100: 1.5, "": "empty name"}),
]


@pytest.mark.parametrize("position", range(len(KEPT_EVENTS)))
def test_a_match_gives_back_its_events_as_they_were(position):
    events = [KEPT_EVENTS[position], Event(KEPT_EVENTS[position].partition, INT64_MAX, "B")]
    (match,) = match_events(Pattern.event(events[0].typ).then("B"), events)
    assert [event_fields(e) for e in match.events] == [event_fields(e) for e in events]
    assert match.types == [events[0].typ, "B"]
    assert (match.partition, match.start, match.end) == (events[0].partition, events[0].ts, INT64_MAX)


def many_matching_events():
    """Short runs, then a run long enough to be matched key by key, then one match whose events
    are too large to share a block of copies with others."""
    rng = random.Random(5)
    events = []
    for run in range(300):
        for ts in range(rng.randrange(1, 30)):
            typ = rng.choice(["login", "purchase", "other"])
            events.append(Event(f"a{run:03d}", ts, typ, {"user": rng.randrange(3), "n": ts}))
    for ts in range(_core._tuning()["split_from"] + 3_600):
        typ = rng.choice(["login", "purchase", "other"])
        note = "x" * rng.randrange(60)
        events.append(Event("site", ts // 2, typ, {"user": rng.randrange(400), "note": note}))
    big = {"user": 1, "note": "y" * 100_000}
    events += [Event("zz", 1, "login", big), Event("zz", 2, "purchase", big)]
    return events


MANY_MATCHING_EVENTS = many_matching_events()


# Matches copy their events while the matcher holds them, many to a shared block; each must
# give back exactly the events at its indices.
@pytest.mark.parametrize("threads", [1, 2])
@pytest.mark.parametrize("exhaustive", [False, True])
def test_matches_give_back_the_events_at_their_indices(threads, exhaustive):
    events = MANY_MATCHING_EVENTS
    pattern = parse_pattern("login[user as $u] -> purchase[user == $u]")
    _core._paths_taken()  # resets the counts
    matches = match_events(pattern, events, exhaustive, threads=threads)
    assert _core._paths_taken()["keyed"] == 1
    assert len(matches) > 5_000 and matches[-1].partition == "zz"
    for match in matches:
        assert [event_fields(e) for e in match.events] == [
            event_fields(events[i]) for i in match.indices]


def test_a_match_kept_alone_keeps_its_events():
    events = list(MANY_MATCHING_EVENTS)
    pattern = parse_pattern("login[user as $u] -> purchase[user == $u]")
    matches = match_events(pattern, events)
    kept = [matches[0], matches[len(matches) // 2], matches[-1]]
    expected = [[event_fields(events[i]) for i in match.indices] for match in kept]
    del matches, events
    gc.collect()
    for _ in range(3):  # later calls take the memory that the dropped matches gave back
        assert match_events(pattern, MANY_MATCHING_EVENTS)
    assert [[event_fields(e) for e in match.events] for match in kept] == expected


def test_captures_are_named_without_sigil_in_byte_order():
    pattern = (Pattern.event("login").capture("n", "$z").capture("user", "  $B ")
               .capture("user", "a").capture("n", "$$é"))
    captures = match_events(pattern, EVENTS[:1])[0].captures
    assert list(captures.items()) == [("$é", 1), ("B", "ann"), ("a", "ann"), ("z", 1)]


def test_match_repr():
    partition = 'a"b\\c\n\u00a0'
    events = [Event(partition, 10, "A"), Event(partition, 12, "C"), Event(partition, 15, "B")]
    assert repr(match_events(Pattern.event("A").then("B"), events)[0]) == (
        'Match(partition="a\\"b\\\\c\\n\\u{a0}", indices=[0, 2], span=(10, 15))')
    (match,) = match_events(Pattern.event("A"), [Event("", -7, "A")])
    assert repr(match) == 'Match(partition="", indices=[0], span=(-7, -7))'

