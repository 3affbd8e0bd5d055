"""Near misses: the reasons and their detail dicts, the deepest path, the starts, the NearMiss
objects, all checked by hand and against the plain reference search."""

import gc
import json
import time

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import near_miss_reference as reference
from helpers import INT64_MAX, INT64_MIN, events_of
from test_matching_properties import event_lists, text_patterns
from vashlet import Event, match_events, near_miss_events, parse_pattern, pattern_from_json


def check_invariants(near_miss, events):
    indices = near_miss.indices
    assert len(indices) == near_miss.reached_steps >= 1
    assert indices[0] == near_miss.start_index and indices == sorted(set(indices))
    assert near_miss.partition == events[near_miss.start_index].partition
    assert next(iter(near_miss.detail)) == "kind" and near_miss.reason == near_miss.detail["kind"]
    assert len(near_miss.events) == len(indices)
    for copy, index in zip(near_miss.events, indices):
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


def same(got, expected):
    """Equal with key order, value kinds (True is not 1) and float signs taken into account."""
    return reference.canonical(got) == reference.canonical(expected)


def window(candidate, gap, max_elapsed):
    return {"kind": "window_exceeded", "candidate_index": candidate, "gap": gap, "max_elapsed": max_elapsed}


def predicate(attribute, operator, expected, actual):
    return {"type": "predicate", "attribute": attribute, "operator": operator, "expected": expected,
            "actual": actual}


def reference_clause(attribute, operator, binding, bound, actual):
    return {"type": "reference", "attribute": attribute, "operator": operator, "binding": binding,
            "bound": bound, "actual": actual}


def capture(name, attribute, bound, actual):
    return {"type": "capture", "name": name, "attribute": attribute, "bound": bound, "actual": actual}


# ---------------------------------------------------------------------------------------------
# The four reasons


@pytest.mark.parametrize("events", [
    events_of(("A", 0)),
    events_of(("A", 0), ("C", 1)),
    events_of(("A", 0), ("C", 1)) + events_of(("B", 2), partition="q"),
], ids=["start-ends-run", "no-event-of-the-type", "type-only-in-another-partition"])
def test_no_successor_detail_is_only_the_kind(events):
    near_miss = only("A[n as $n] -> B", events)
    assert (near_miss.detail, near_miss.indices) == ({"kind": "no_successor"}, [0])
    assert (near_miss.next_event_type, near_miss.captures) == ("B", {"n": None})


@pytest.mark.parametrize("text, start, later, expected", [
    ("A -[<=10]-> B", 0, 10, None),  # the window is inclusive
    ("A -[<=10]-> B", 0, 11, window(1, 11, 10)),
    # A gap too large for int64 is reported as the largest int64.
    ("A -[<=5]-> B", INT64_MIN, INT64_MAX, window(1, INT64_MAX, 5)),
    ("A -[<=5]-> B", -2, INT64_MAX - 1, window(1, INT64_MAX, 5)),
])
def test_window_exceeded(text, start, later, expected):
    result = misses(text, events_of(("A", start), ("B", later)))
    assert same([m.detail for m in result], [expected] if expected else [])


@pytest.mark.parametrize("ok, satisfies", [(True, True), (False, False)])
def test_absence_blocked_detail(ok, satisfies):
    events = events_of(("A", 0), ("X", 1), ("B", 2, {"ok": ok}), ("B", 3, {"ok": True}))
    assert same(only("A -[no X]-> B[ok == true]", events).detail, {
        "kind": "absence_blocked", "candidate_index": 2, "blocking_index": 1, "blocking_event_type": "X",
        "candidate_satisfies": satisfies})


@pytest.mark.parametrize("events, reason", [
    (events_of(("A", 0), ("X", 1), ("B", 2), ("B", 20)), "absence_blocked"),
    (events_of(("A", 0), ("X", 1), ("B", 20)), "window_exceeded"),  # a late candidate is not examined for X
    (events_of(("A", 0), ("X", 1), ("C", 2)), "no_successor"),
    (events_of(("A", 0), ("B", 1, {"n": 1}), ("X", 2), ("B", 3, {"n": 0})), "predicate_failed"),
])
def test_reason_precedence(events, reason):
    assert only("A -[<=5, no X]-> B[n == 0]", events).reason == reason


@pytest.mark.parametrize("pattern, events, expected", [
    # B@1 fails the step and is forbidden itself: it blocks B@2, which would complete the path,
    # and is judged clause by clause, never blocked by itself.
    ("A -[no B[x == 0]]-> B[x == 1] -> C",
     events_of(("A", 0), ("B", 1, {"x": 0}), ("B", 2, {"x": 1}), ("C", 3)),
     ([0], {"kind": "predicate_failed", "event_index": 1, "failures": [predicate("x", "==", 1, 0)]})),
    ("A -[no B]-> B[x == 1]",
     events_of(("A", 0), ("B", 1, {"x": 0}), ("B", 2, {"x": 1})),
     ([0], {"kind": "predicate_failed", "event_index": 1, "failures": [predicate("x", "==", 1, 0)]})),
    # Forbidden under the path's bindings only.
    ("A[u as $u] -[no B[u == $u]]-> B[x == 1]",
     events_of(("A", 0, {"u": "a"}), ("B", 1, {"u": "a", "x": 0}), ("B", 2, {"u": "b", "x": 1})),
     ([0], {"kind": "predicate_failed", "event_index": 1, "failures": [predicate("x", "==", 1, 0)]})),
    ("A[u as $u] -[no B[u == $u]]-> B[x == 1]",
     events_of(("A", 0, {"u": "a"}), ("B", 1, {"u": "b", "x": 0}), ("B", 2, {"u": "b", "x": 1})),
     None),
    # Deeper in the path, with a window that the blocked candidate would meet.
    ("A -> B -[<=5, no C[x == 0]]-> C[x == 1] -> D",
     events_of(("A", 0), ("B", 1), ("C", 2, {"x": 0}), ("C", 3, {"x": 1}), ("D", 4)),
     ([0, 1], {"kind": "predicate_failed", "event_index": 2, "failures": [predicate("x", "==", 1, 0)]})),
    # Once past a forbidden candidate that failed, every later one is blocked by it.
    ("A -[no B[x == 0]]-> B[x == 1]",
     events_of(("A", 0), ("C", 1), ("B", 2, {"x": 0}), ("B", 3, {"x": 1}), ("B", 4, {"x": 1})),
     ([0], {"kind": "predicate_failed", "event_index": 2, "failures": [predicate("x", "==", 1, 0)]})),
])
def test_a_candidate_that_fails_the_step_while_forbidden_blocks_the_later_ones(pattern, events, expected):
    parsed = parse_pattern(pattern)
    result = misses(parsed, events)
    assert same([(m.indices, m.detail) for m in result], [expected] if expected else [])
    assert same([reference.record(m) for m in result],
                reference.near_misses(json.loads(parsed.to_json()), events))
    for use_oracle in (False, True):
        matched = match_events(parsed, events, exhaustive=True, use_oracle=use_oracle)
        assert bool(matched) == (expected is None)


@pytest.mark.parametrize("pattern, candidate, failures", [
    ("A -> B[n > 5]", {}, [predicate("n", ">", 5, None)]),
    ("A -> B[user == $u]", {"user": "x"}, [reference_clause("user", "==", "u", None, "x")]),
    ("A[user as $u] -> B[user as $u]", {"user": "b"}, [capture("u", "user", "a", "b")]),
    # The clause kinds come in a fixed order, whatever the order in the text.
    ("A[user as $u] -> B[user as $u, user == $u, n == 1]", {"user": "b", "n": 2},
     [predicate("n", "==", 1, 2), reference_clause("user", "==", "u", "a", "b"),
      capture("u", "user", "a", "b")]),
    # Captures of the candidate's own step are not applied while judging it.
    ("A -> B[a as $v, b as $v]", {"a": 1, "b": 2}, []),
    # A missing attribute fails every comparison; operators are the text symbols.
    ("A -> B[" + ", ".join(f'n {op} "x"' for op in ["==", "!=", ">", ">=", "<", "<="]) + "]", {},
     [predicate("n", op, "x", None) for op in ["==", "!=", ">", ">=", "<", "<="]]),
])
def test_failed_clauses(pattern, candidate, failures):
    near_miss = only(pattern, events_of(("A", 0, {"user": "a"}), ("B", 1, candidate)))
    assert same(near_miss.detail, {"kind": "predicate_failed", "event_index": 1, "failures": failures})


@pytest.mark.parametrize("value", [0, INT64_MIN, INT64_MAX, 1.5, float("inf"), "é", True, None])
def test_values_in_details_and_captures_keep_their_kind(value):
    near_miss = only("A[v as $v] -> B[v as $v]", events_of(("A", 0, {"v": value}), ("B", 1, {"v": "other"})))
    assert same(near_miss.detail["failures"], [capture("v", "v", value, "other")])
    assert same(near_miss.captures, {"v": value})


@pytest.mark.parametrize("pattern", [
    "A[v as $v] -> B[v == $v]",
    "A[v as $v, w as $w] -> B[w == $w] -> C[v == $v]",
    # The second capture of $v must equal the first: starts whose w differs are no starts.
    "A[v as $v, w as $v] -> B[v == $v]",
])
def test_each_start_of_a_run_binds_its_own_values(pattern):
    """Many starts in one run, of values of every kind and starts the first step refuses among
    them: each near miss keeps its own start's values, as the plain search gives them."""
    values = [1, "one", 1.5, None, True, 1, -7]
    events = events_of(*[("A", k, {"v": v, "w": v if k % 3 else "other"})
                         for k, v in enumerate(values)],
                       ("B", 20, {"v": 1, "w": 1}), ("C", 30, {"v": "one"}))
    parsed = parse_pattern(pattern)
    result = misses(parsed, events)
    assert len(result) >= 3
    assert same([reference.record(m) for m in result],
                reference.near_misses(json.loads(parsed.to_json()), events))


# ---------------------------------------------------------------------------------------------
# The deepest path and the starts


@pytest.mark.parametrize("pattern, events, expected", [
    # every start is analysed, even one inside another's match
    ("A -> A -> A", events_of(("A", 0), ("A", 1), ("A", 2)), [("p", 1, [1, 2]), ("p", 2, [2])]),
    # a start that some path completes is no near miss, even where first-successor matching finds none
    ("A -[<=20]-> B -[<=5]-> C", events_of(("A", 0), ("B", 1), ("B", 12), ("C", 15)), []),
    ("A -> B", events_of(("A", 0), ("A", 5), partition="a") + events_of(("B", 1), ("A", 2), partition="b"),
     [("a", 0, [0]), ("a", 1, [1]), ("b", 3, [3])]),
])
def test_starts_and_partitions(pattern, events, expected):
    assert [(m.partition, m.start_index, m.indices) for m in misses(pattern, events)] == expected


@pytest.mark.parametrize("consumption", ["FirstSuccessorPerStart", "ExhaustivePerStart"])
def test_consumption_plays_no_part(consumption):
    document = json.loads(parse_pattern("A -> B[n == 1]").to_json())
    document["consumption"] = consumption
    near_miss = only(pattern_from_json(json.dumps(document)), events_of(("A", 0), ("B", 1, {"n": 2})))
    assert near_miss.reason == "predicate_failed"


def test_pattern_of_100000_steps():
    result = misses("A" + " -> A" * 99_999, events_of(*[("A", ts) for ts in range(40)]))
    assert [(m.reached_steps, m.reason) for m in result] == [(n, "no_successor") for n in range(40, 0, -1)]


# ---------------------------------------------------------------------------------------------
# NearMiss objects


def sample():
    """A near miss with captures and a path of two events."""
    events = events_of(("A", 0, {"u": "a", "x": 1.5}), ("B", 1, {"u": "a"}), ("C", 9))
    (near_miss,) = near_miss_events(parse_pattern("A[u as $u] -> B[u == $u] -[<=2]-> C"), events)
    return near_miss, events


def test_getters_build_new_owned_objects_each_time():
    near_miss, events = sample()
    assert same(reference.record(near_miss), {
        "partition": "p", "start_index": 0, "indices": [0, 1], "reached_steps": 2, "next_event_type": "C",
        "reason": "window_exceeded", "detail": window(2, 8, 2), "captures": {"u": "a"}})
    for name in ["indices", "detail", "events", "captures"]:
        assert getattr(near_miss, name) is not getattr(near_miss, name)
    events.clear()
    gc.collect()
    assert [(e.typ, e.attrs) for e in near_miss.events] == [("A", {"u": "a", "x": 1.5}), ("B", {"u": "a"})]
    near_miss = only("A -> B[n == 1]", events_of(("A", 0), ("B", 1)))
    first, second = near_miss.detail["failures"], near_miss.detail["failures"]
    assert first is not second and first[0] is not second[0]


def test_near_miss_repr():
    events = events_of(("A", 0), ("B", 1), ("C", 9), partition="a\tb'é\u00a0\\")
    assert repr(only("A -> B -[<=2]-> C", events)) == (
        'NearMiss(partition="a\\tb\'é\\u{a0}\\\\", indices=[0, 1], next="C", reason="window_exceeded")')
    events = events_of(("Z", 0), ("A", 1), ("Z", 2), ("B", 3), partition="")
    assert repr(only("A -> B -> C", events)) == (
        'NearMiss(partition="", indices=[1, 3], next="C", reason="no_successor")')


# ---------------------------------------------------------------------------------------------
# Properties against the plain reference, on the matcher's random patterns and events


@settings(max_examples=300, deadline=None)
@given(text_patterns(), event_lists())
def test_agrees_with_the_reference(pattern, events):
    expected = reference.near_misses(json.loads(pattern.to_json()), events)
    assert same([reference.record(m) for m in misses(pattern, events)], expected)


@settings(max_examples=300, deadline=None)
@given(text_patterns(), event_lists())
def test_a_start_misses_exactly_when_it_has_no_match(pattern, events):
    first = json.loads(pattern.to_json())["steps"][0]["atom"]
    starts = {i for i, e in enumerate(events) if reference.evaluate(first, reference.Ev(e), {}) is not None}
    matched = {m.indices[0] for m in match_events(pattern, events, exhaustive=True)}
    missed = [m.start_index for m in misses(pattern, events)]
    assert len(missed) == len(set(missed))
    assert set(missed).isdisjoint(matched)
    assert set(missed) | matched == starts


# ---------------------------------------------------------------------------------------------
# Captures that later steps read, looked up by value

# Numbers meet across kinds (Int 1 == Float 1.0, -0.0 == 0.0), a NaN equals nothing, large Ints
# meet a Float by their nearest double but not each other; strings, booleans and null only
# themselves.
MIXED_VALUES = [0, 1, 1.0, -0.0, 0.0, float("nan"), 2**53, 2**53 + 1, float(2**53), "1", "a", True, None]


@st.composite
def correlated_texts(draw):
    """Steps that capture several names, of which later steps read some (mostly by equality)."""
    names, attributes = ["u", "v", "w"], ["x", "y"]

    def items(allow_captures=True, most=2):
        chosen = []
        for _ in range(draw(st.integers(0, most))):
            attribute, name = draw(st.sampled_from(attributes)), draw(st.sampled_from(names))
            if allow_captures and draw(st.booleans()):
                chosen.append(f"{attribute} as ${name}")
            else:
                chosen.append(f"{attribute} {draw(st.sampled_from(['==', '==', '==', '!=', '<']))} ${name}")
        return f"[{', '.join(chosen)}]" if chosen else ""

    text = "A" + items()
    for _ in range(draw(st.integers(1, 3))):
        constraints = [f"<={draw(st.integers(0, 6))}"] if draw(st.booleans()) else []
        if draw(st.integers(0, 3)) == 0:
            constraints.append(f"no {draw(st.sampled_from('XB'))}{items(False, 1)}")
        link = f" -[{', '.join(constraints)}]-> " if constraints else " -> "
        text += link + draw(st.sampled_from("AAB")) + items()
    return text


@st.composite
def long_runs(draw):
    """Runs long enough for a step's candidates to be looked up by value."""
    events = []
    for partition in sorted(draw(st.sets(st.sampled_from(["a", "b"]), min_size=1))):
        ts = 0
        for _ in range(draw(st.integers(6, 12))):
            ts += draw(st.integers(0, 2))
            attrs = draw(st.dictionaries(st.sampled_from(["x", "y"]), st.sampled_from(MIXED_VALUES), max_size=2))
            events.append(Event(partition, ts, draw(st.sampled_from("AAAABX")), attrs))
    return events


@settings(max_examples=150, deadline=None)
@given(correlated_texts(), long_runs())
def test_correlated_steps_agree_with_the_reference(text, events):
    pattern = parse_pattern(text)
    expected = reference.near_misses(json.loads(pattern.to_json()), events)
    assert same([reference.record(m) for m in misses(pattern, events)], expected)


def capture_chain(steps):
    """Every step captures its own name; only the last reads one, the first."""
    return " -> ".join([f"A[id as $v{i}]" for i in range(steps - 1)] + ["A[id == $v0]"])


def window_chain(steps):
    """One capture, read by the last step only, across steps linked by windows."""
    return "A[id as $v]" + " -[<=10]-> A" * (steps - 2) + " -[<=10]-> A[id == $v]"


def distinct_ids(count):
    return events_of(*[("A", ts, {"id": ts}) for ts in range(count)])


def expected_chain_misses(text, steps, count):
    """Each start gets as far as the run allows, in consecutive events; the last step then fails
    on its reference predicate (its id was the start's), or the run ends first."""
    capturing = text.startswith("A[id as $v0]")
    result = []
    for start in range(count):
        reached = min(steps - 1, count - start)
        indices = list(range(start, start + reached))
        captures = {f"v{i}": index for i, index in enumerate(indices)} if capturing else {"v": start}
        name = "v0" if capturing else "v"
        if reached < steps - 1 or start + reached == count:
            detail = {"kind": "no_successor"}
        else:
            candidate = start + reached
            detail = {"kind": "predicate_failed", "event_index": candidate,
                      "failures": [reference_clause("id", "==", name, start, candidate)]}
        result.append({"partition": "p", "start_index": start, "indices": indices, "reached_steps": reached,
                       "next_event_type": "A", "reason": detail["kind"], "detail": detail,
                       "captures": dict(sorted(captures.items(), key=lambda item: item[0].encode()))})
    return result


@pytest.mark.parametrize("text, steps, count", [
    (capture_chain(4), 4, 9), (window_chain(5), 5, 24),
    (capture_chain(8), 8, 35), (capture_chain(10), 10, 26), (window_chain(40), 40, 3000),
    (capture_chain(60), 60, 5000), (window_chain(60), 60, 5000),
], ids=["captures-4x9", "window-5x24", "captures-8x35", "captures-10x26", "window-40x3000", "captures-60x5000", "window-60x5000"])
def test_long_chains_whose_last_step_cannot_match(text, steps, count):
    # Every path ends at the last step, so the search must see early that no later event can
    # satisfy it; the largest also fill the search's memo past the size at which it is dropped.
    events = distinct_ids(count)
    started = time.perf_counter()
    result = near_miss_events(parse_pattern(text), events)
    # A guard against the exponential search, which takes hours here, not a measure of speed:
    # the bound leaves room for sanitizer builds on a loaded machine (up to 17 s seen).
    assert time.perf_counter() - started < 120
    # Every value is an Int or a string, so plain equality is exact.
    assert [reference.record(m) for m in result] == expected_chain_misses(text, steps, count)


def test_states_shared_across_starts_after_the_memo_is_dropped():
    # Each start binds its own value, which every later step reads, so each start fills the memo
    # with its own states for the same events; past the memo's size limit it is dropped between
    # starts, and the starts after that must not find the states of earlier ones. The first starts
    # skip one A each, so their states differ in number from those of the later starts.
    starts, tail = 5000, 60
    events = events_of(*[("S", 0, {"id": i}) for i in range(starts)],
                       *[("A", 1, {"id": j}) for j in range(tail)])
    text = "S[id as $v]" + " -> A[id != $v]" * tail + " -> B"
    result = near_miss_events(parse_pattern(text), events)
    assert [(m.start_index, m.indices, m.next_event_type, m.reason, m.captures) for m in result] == [
        (i, [i, *(starts + j for j in range(tail) if j != i)], "A" if i < tail else "B",
         "predicate_failed" if i == tail - 1 else "no_successor", {"v": i})
        for i in range(starts)]


@pytest.mark.parametrize("text", [
    "A[id as $v] -> A[x == $v] -> B",
    "A[id as $v] -> A[x as $w] -[<=50]-> A[x == $w, id != $v] -> B",
    "A[x as $v] -> A[id != $v] -> A[x == $v] -> B[x == $v]",
], ids=["indexed", "window", "reads-both"])
def test_a_long_run_followed_by_short_ones(text):
    # One search serves a worker's runs in turn: the long first run fills its states, bindings
    # and value indexes far beyond what the short runs after it use, and none of them may see
    # what the run before them learnt.
    long_run = events_of(*[("A" if i % 7 else "B", i, {"id": i, "x": i % 5}) for i in range(40)],
                         partition="a")
    # More candidates than a step scans without its value index.
    short_runs = [event for k, partition in enumerate(["b", "c"])
                  for event in events_of(*[("A" if i % 6 else "B", i, {"id": i % 3, "x": (i + k) % 4})
                                           for i in range(14)], partition=partition)]
    pattern = parse_pattern(text)
    for events in (long_run + short_runs, short_runs + long_run + short_runs):
        events = sorted(events, key=lambda e: (e.partition, e.ts))
        expected = reference.near_misses(json.loads(pattern.to_json()), events)
        assert same([reference.record(m) for m in misses(pattern, events)], expected)
