"""Match objects: what each property holds, that each access builds new objects, and the repr."""

import gc

import pytest

from vashlet import Event, Match, Pattern, match_events, parse_pattern

EVENTS = [
    Event("u1", 10, "login", {"user": "ann", "n": 1}),
    Event("u1", 12, "view", {"user": "ann"}),
    Event("u1", 15, "purchase", {"user": "ann", "amount": 12.5}),
    Event("u2", 3, "login", {"user": "bob"}),
    Event("u2", 4, "purchase", {"user": "eve"}),
]


def login_then_purchase():
    return parse_pattern("login[user as $user] -> purchase[user == $user]")


def test_properties_hold_the_match():
    (match,) = match_events(login_then_purchase(), EVENTS)
    assert type(match.partition) is str and all(type(i) is int for i in match.indices)
    assert match.partition == "u1"
    assert match.indices == [0, 2]
    assert (match.start, match.end) == (10, 15)
    assert match.types == ["login", "purchase"]
    assert match.captures == {"user": "ann"}
    for got, index in zip(match.events, match.indices):
        want = EVENTS[index]
        assert (got.partition, got.ts, got.typ, got.attrs) == (
            want.partition, want.ts, want.typ, want.attrs)


def test_every_access_builds_new_objects():
    (match,) = match_events(login_then_purchase(), EVENTS)
    assert match.events[0] is not match.events[0]
    assert match.events[0] is not EVENTS[0]
    for name in ("indices", "types", "events", "captures"):
        first = getattr(match, name)
        assert first is not getattr(match, name)
        first.clear()  # changing what was handed out leaves the match as it was
    assert match.indices == [0, 2] and match.captures == {"user": "ann"}
    assert len(match.types) == len(match.events) == 2


def test_a_match_outlives_its_event_list():
    events = [Event("p", 1, "A", {"k": "v"}), Event("p", 2, "B")]
    matches = match_events(Pattern.event("A").capture("k", "$key").then("B"), events)
    del events
    gc.collect()
    (match,) = matches
    assert [e.attrs for e in match.events] == [{"k": "v"}, {}]
    assert match.captures == {"key": "v"}


def test_one_step_matches_start_and_end_on_the_same_event():
    matches = match_events(Pattern.event("login"), EVENTS)
    assert [(m.partition, m.indices, m.start, m.end) for m in matches] == [
        ("u1", [0], 10, 10),
        ("u2", [3], 3, 3),
    ]
    assert all(len(m.types) == len(m.events) == 1 for m in matches)
    assert all(m.captures == {} for m in matches)


def test_captures_are_named_without_sigil_in_byte_order():
    pattern = (Pattern.event("login").capture("n", "$z").capture("user", "  $B ")
               .capture("user", "a").capture("n", "$$é"))
    (match,) = match_events(pattern, EVENTS[:1])
    assert list(match.captures) == ["$é", "B", "a", "z"]
    assert match.captures == {"$é": 1, "B": "ann", "a": "ann", "z": 1}


def test_captured_values_keep_their_python_types():
    events = [Event("p", 0, "A", {"b": True, "i": 2, "f": -0.0, "s": "x", "n": None})]
    pattern = Pattern.event("A")
    for name in ("b", "i", "f", "s", "n"):
        pattern = pattern.capture(name, name)
    captures = match_events(pattern, events)[0].captures
    assert [type(v) for v in captures.values()] == [bool, float, int, type(None), str]
    assert str(captures["f"]) == "-0.0"


@pytest.mark.parametrize(
    "partition, indices, expected",
    [
        ("u1", None, 'Match(partition="u1", indices=[0, 2], span=(10, 15))'),
        ('a"b\\c', None, 'Match(partition="a\\"b\\\\c", indices=[0, 2], span=(10, 15))'),
        ("x\ny\u00a0", None, 'Match(partition="x\\ny\\u{a0}", indices=[0, 2], span=(10, 15))'),
    ],
)
def test_repr_quotes_the_partition(partition, indices, expected):
    events = [Event(partition, 10, "A"), Event(partition, 12, "C"), Event(partition, 15, "B")]
    (match,) = match_events(Pattern.event("A").then("B"), events)
    assert repr(match) == expected


def test_repr_of_negative_span_and_single_index():
    (match,) = match_events(Pattern.event("A"), [Event("", -7, "A")])
    assert repr(match) == 'Match(partition="", indices=[0], span=(-7, -7))'


def test_properties_in_order_read_only_and_documented():
    names = [name for name in vars(Match) if not name.startswith("_")]
    assert names == ["partition", "indices", "start", "end", "types", "events", "captures"]
    assert Match.captures.__doc__ == "Captured bindings (registers) as a dict of name to value."
    assert all(getattr(Match, name).__doc__ is None for name in names[:-1])
    (match,) = match_events(Pattern.event("view"), EVENTS)
    for name in names:
        with pytest.raises(AttributeError):
            setattr(match, name, None)
