"""The NearMiss class and near_miss_events as Python sees them: class policy, texts, the repr, the
shape of the detail dicts, the event copies, argument handling and reference counts."""

import gc
import sys
import weakref

import pytest

from vashlet import Event, NearMiss, near_miss_events, parse_pattern

GETTERS = [
    "partition", "start_index", "indices", "reached_steps", "next_event_type",
    "reason", "detail", "events", "captures",
]
ORDER_MESSAGE = (
    "events must be grouped by partition and sorted by (timestamp, input order); "
    "call sort_events first"
)


def events_of(*specs, partition="p"):
    return [Event(partition, spec[1], spec[0], spec[2] if len(spec) > 2 else None) for spec in specs]


# One scenario per reason: (pattern text, events, expected detail items).
SCENARIOS = {
    "predicate_failed": (
        "A[u as $u] -> B[n > 1, user == $u, u as $u]",
        events_of(("A", 0, {"u": "a"}), ("B", 1, {"n": 1, "user": "b", "u": "b"})),
        [
            ("kind", "predicate_failed"),
            ("event_index", 1),
            ("failures", [
                {"type": "predicate", "attribute": "n", "operator": ">", "expected": 1, "actual": 1},
                {"type": "reference", "attribute": "user", "operator": "==", "binding": "u",
                 "bound": "a", "actual": "b"},
                {"type": "capture", "name": "u", "attribute": "u", "bound": "a", "actual": "b"},
            ]),
        ],
    ),
    "absence_blocked": (
        "A -[no X]-> B",
        events_of(("A", 0), ("X", 1), ("B", 2)),
        [
            ("kind", "absence_blocked"),
            ("candidate_index", 2),
            ("blocking_index", 1),
            ("blocking_event_type", "X"),
            ("candidate_satisfies", True),
        ],
    ),
    "window_exceeded": (
        "A -[<=3]-> B",
        events_of(("A", -2), ("B", 5)),
        [("kind", "window_exceeded"), ("candidate_index", 1), ("gap", 7), ("max_elapsed", 3)],
    ),
    "no_successor": ("A -> B", events_of(("A", 0)), [("kind", "no_successor")]),
}


def scenario(reason):
    text, events, _ = SCENARIOS[reason]
    (near_miss,) = near_miss_events(parse_pattern(text), events)
    return near_miss, events


@pytest.fixture
def sample():
    """A near miss with captures and a path of two events."""
    events = events_of(("A", 0, {"u": "a", "x": 1.5}), ("B", 1, {"u": "a"}), ("C", 9))
    (near_miss,) = near_miss_events(parse_pattern("A[u as $u] -> B[u == $u] -[<=2]-> C"), events)
    return near_miss, events


# ---------------------------------------------------------------------------------------------
# Class policy and texts


def test_class_is_final_without_dict_or_weakref(sample):
    near_miss, _ = sample
    with pytest.raises(TypeError):
        type("Sub", (NearMiss,), {})
    assert not hasattr(near_miss, "__dict__")
    with pytest.raises(AttributeError):
        near_miss.extra = 1
    with pytest.raises(TypeError):
        weakref.ref(near_miss)
    assert (NearMiss.__module__, NearMiss.__qualname__) == ("builtins", "NearMiss")
    assert repr(NearMiss) == "<class 'builtins.NearMiss'>"


@pytest.mark.parametrize("args, kwargs", [((), {}), ((1, 2), {}), ((), {"partition": "p"})])
def test_no_constructor_whatever_the_arguments(args, kwargs):
    with pytest.raises(TypeError) as caught:
        NearMiss(*args, **kwargs)
    assert str(caught.value) == "No constructor defined for NearMiss"


def test_getters_are_read_only_and_in_order(sample):
    near_miss, _ = sample
    assert [name for name in vars(NearMiss) if name in GETTERS] == GETTERS
    for name in GETTERS:
        with pytest.raises(AttributeError):
            setattr(near_miss, name, getattr(near_miss, name))
        with pytest.raises(AttributeError):
            delattr(near_miss, name)
    assert not [name for name in vars(NearMiss) if not name.startswith("__") and name not in GETTERS]


def test_docstrings_and_text_signature():
    assert NearMiss.__doc__ == "A start that did not match, with its deepest partial path and the reason."
    assert NearMiss.reason.__doc__ == (
        "One of: predicate_failed, absence_blocked, window_exceeded, no_successor."
    )
    assert NearMiss.detail.__doc__ == (
        'Reason-specific specifics as a dict (keyed by "kind"); includes failed\n'
        "clauses, blocking events, or window counterfactuals."
    )
    undocumented = [name for name in GETTERS if name not in ("reason", "detail")]
    assert [getattr(NearMiss, name).__doc__ for name in undocumented] == [None] * len(undocumented)
    assert near_miss_events.__name__ == "near_miss_events"
    assert near_miss_events.__module__ == "vashlet._core"
    assert near_miss_events.__text_signature__ == "(pattern, events)"
    assert near_miss_events.__doc__ == (
        "Explain near-misses: starts that did not match, with their deepest partial\n"
        "path and the reason. Requires already-sorted events (see [`match_events`])."
    )


# ---------------------------------------------------------------------------------------------
# Values and the repr


def test_getters_read_back(sample):
    near_miss, _ = sample
    assert (near_miss.partition, near_miss.start_index, near_miss.indices) == ("p", 0, [0, 1])
    assert (near_miss.reached_steps, near_miss.next_event_type) == (2, "C")
    assert near_miss.reason == "window_exceeded"
    assert near_miss.captures == {"u": "a"}
    assert [type(getattr(near_miss, name)) for name in GETTERS] == [
        str, int, list, int, str, str, dict, list, dict
    ]


@pytest.mark.parametrize("name", ["indices", "detail", "events", "captures"])
def test_each_access_builds_a_new_object(sample, name):
    near_miss, _ = sample
    first, second = getattr(near_miss, name), getattr(near_miss, name)
    assert first is not second
    if name == "events":  # Event equality is identity
        assert all(a is not b and a.attrs == b.attrs for a, b in zip(first, second))
    else:
        assert first == second


def test_nested_failure_lists_are_new_each_time():
    near_miss, _ = scenario("predicate_failed")
    first, second = near_miss.detail["failures"], near_miss.detail["failures"]
    assert first is not second and first[0] is not second[0]


def test_events_are_owned_copies(sample):
    near_miss, events = sample
    copies = near_miss.events
    assert [e.typ for e in copies] == ["A", "B"]
    for copy, original in zip(copies, events):
        assert copy is not original
        assert (copy.partition, copy.ts, copy.typ, copy.attrs) == (
            original.partition, original.ts, original.typ, original.attrs
        )
    events.clear()
    gc.collect()
    assert [e.attrs for e in near_miss.events] == [{"u": "a", "x": 1.5}, {"u": "a"}]


@pytest.mark.parametrize(
    "partition, expected",
    [
        ("u1", 'NearMiss(partition="u1", indices=[0, 1], next="C", reason="window_exceeded")'),
        ("", 'NearMiss(partition="", indices=[0, 1], next="C", reason="window_exceeded")'),
        ("a\tb'é\u00a0\\", 'NearMiss(partition="a\\tb\'é\\u{a0}\\\\", indices=[0, 1], next="C", '
                           'reason="window_exceeded")'),
    ],
)
def test_repr(partition, expected):
    events = events_of(("A", 0), ("B", 1), ("C", 9), partition=partition)
    (near_miss,) = near_miss_events(parse_pattern("A -> B -[<=2]-> C"), events)
    assert repr(near_miss) == expected


def test_repr_of_later_indices():
    events = events_of(("Z", 0), ("A", 1), ("Z", 2), ("B", 3))
    (near_miss,) = near_miss_events(parse_pattern("A -> B -> C"), events)
    assert repr(near_miss) == 'NearMiss(partition="p", indices=[1, 3], next="C", reason="no_successor")'


# ---------------------------------------------------------------------------------------------
# The detail dict


@pytest.mark.parametrize("reason", list(SCENARIOS))
def test_detail_keys_and_values_in_order(reason):
    near_miss, _ = scenario(reason)
    detail = near_miss.detail
    expected = SCENARIOS[reason][2]
    assert list(detail.items()) == expected
    assert near_miss.reason == detail["kind"] == reason
    # bool stays bool and counts stay int (True == 1 would hide a mix-up).
    assert [type(value) for _, value in detail.items()] == [type(value) for _, value in expected]
    want_failures = dict(expected).get("failures", [])
    assert [list(f.items()) for f in detail.get("failures", [])] == [list(f.items()) for f in want_failures]


def test_operators_are_text_symbols():
    ops = ["==", "!=", ">", ">=", "<", "<="]
    text = "A -> B[" + ", ".join(f'n {op} "x"' for op in ops) + "]"
    # A missing attribute fails every comparison, so each predicate reports.
    (near_miss,) = near_miss_events(parse_pattern(text), events_of(("A", 0), ("B", 1)))
    failures = near_miss.detail["failures"]
    assert [f["operator"] for f in failures] == ops
    assert all(f["actual"] is None and f["expected"] == "x" for f in failures)


@pytest.mark.parametrize(
    "value", [0, -(2**63), 2**63 - 1, 1.5, float("inf"), "", "é", True, False, None],
)
def test_values_in_details_and_captures_keep_their_type(value):
    events = events_of(("A", 0, {"v": value}), ("B", 1, {"v": "other"}))
    (near_miss,) = near_miss_events(parse_pattern("A[v as $v] -> B[v as $v]"), events)
    (failure,) = near_miss.detail["failures"]
    assert type(failure["bound"]) is type(value) and failure["bound"] == value
    assert type(near_miss.captures["v"]) is type(value)


# ---------------------------------------------------------------------------------------------
# Arguments


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: near_miss_events(),
         "near_miss_events() missing 2 required positional arguments: 'pattern' and 'events'"),
        (lambda: near_miss_events(parse_pattern("A -> B")),
         "near_miss_events() missing 1 required positional argument: 'events'"),
        (lambda: near_miss_events(events=[]),
         "near_miss_events() missing 1 required positional argument: 'pattern'"),
        (lambda: near_miss_events(1, [], 3),
         "near_miss_events() takes 2 positional arguments but 3 were given"),
        (lambda: near_miss_events(1, [], exhaustive=True),
         "near_miss_events() got an unexpected keyword argument 'exhaustive'"),
        (lambda: near_miss_events(1, [], events=[]),
         "near_miss_events() got multiple values for argument 'events'"),
        # Events are converted before the pattern is looked at.
        (lambda: near_miss_events(None, None),
         "argument 'events': 'NoneType' object cannot be converted to 'Sequence'"),
        (lambda: near_miss_events(1, 5),
         "argument 'events': 'int' object cannot be converted to 'Sequence'"),
        (lambda: near_miss_events(1, {"a": 1}),
         "argument 'events': 'dict' object cannot be converted to 'Sequence'"),
        (lambda: near_miss_events(1, [Event("p", 0, "A"), "B"]),
         "argument 'events': 'str' object cannot be converted to 'Event'"),
    ],
)
def test_argument_errors(call, message):
    with pytest.raises(TypeError) as caught:
        call()
    assert str(caught.value) == message


def test_str_is_refused_as_events():
    with pytest.raises(TypeError, match=r"^argument 'events': "):
        near_miss_events(parse_pattern("A -> B"), "AB")


@pytest.mark.parametrize("pattern", [object(), None, 5])
def test_order_error_comes_before_the_pattern(pattern):
    with pytest.raises(ValueError) as caught:
        near_miss_events(pattern, events_of(("A", 2), ("B", 1)))
    assert str(caught.value) == ORDER_MESSAGE


def test_keywords_and_any_sequence_of_events():
    class Events:
        def __init__(self, items):
            self.items = items

        def __len__(self):
            return len(self.items)

        def __getitem__(self, index):
            return self.items[index]

    events = events_of(("A", 0), ("B", 5))
    pattern = parse_pattern("A -[<=1]-> B")
    expected = repr(near_miss_events(pattern, events))
    assert repr(near_miss_events(events=tuple(events), pattern=pattern)) == expected
    assert repr(near_miss_events(pattern, Events(events))) == expected


# ---------------------------------------------------------------------------------------------
# Reference counts


def fresh(text):
    return "".join([text, "!"])


def test_calls_keep_the_reference_counts_of_their_arguments():
    value, key = fresh("v"), "".join(["ke", "y"])
    events = [Event("p", 0, "A", {key: value}), Event("p", 1, "B", {"n": 0}), Event("p", 9, "X")]
    pattern = parse_pattern("A[key as $k] -> B[n == 1]")
    unsorted = list(reversed(events))
    bad_item, bad_pattern = fresh("bad"), {fresh("steps"): []}
    calls = [
        (lambda: near_miss_events(pattern, events), None),
        (lambda: near_miss_events(pattern, unsorted), ValueError),
        (lambda: near_miss_events(bad_pattern, events), TypeError),
        (lambda: near_miss_events(pattern, events + [bad_item]), TypeError),
        (lambda: near_miss_events(pattern=pattern), TypeError),
    ]
    watched = [value, key, pattern, events, unsorted, bad_item, bad_pattern, *events]

    def run_all():
        for call, error in calls:
            if error is None:
                for near_miss in call():
                    near_miss.events, near_miss.detail, near_miss.captures, repr(near_miss)
            else:
                with pytest.raises(error):
                    call()

    run_all()  # warm up
    gc.collect()
    before = [sys.getrefcount(o) for o in watched]
    for _ in range(100):
        run_all()
    gc.collect()
    assert [sys.getrefcount(o) for o in watched] == before
