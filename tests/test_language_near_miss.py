"""Near misses and funnels of language patterns: each reason by hand, the first walk against a
plain statement of it, a large family that only a polynomial search finishes, and the table,
object, funnel and command-line forms."""

import json
import pickle

import pyarrow as pa
import pytest
from hypothesis import assume, given, settings
from hypothesis import strategies as st

import language_walk_reference as reference
from helpers import events_of
import near_miss_reference
from vashlet import _core, explain, funnel, match_events, near_miss_events, parse_pattern, pattern_from_json
from vashlet.cli import main


def any_typed(atom):
    if atom["event_type"] == "*":
        atom.update(event_type="", any_type=True)
    return atom


def atom_of(text):
    return any_typed(json.loads(parse_pattern(text).to_json())["steps"][0]["atom"])


def lang(text, counts=(), alts=(), gaps=(), within=None, start=False, end=False):
    """A pattern of the one-line notation `text` (where `*` is any type) with language elements
    added: counts {element: (min, max)}, alts {element: [atom texts]}, gaps {element: min}."""
    document = json.loads(parse_pattern(text).to_json())
    steps = document["steps"]
    for step in steps:
        any_typed(step["atom"])
        for absent in (step["transition_from_previous"] or {}).get("absence", []):
            any_typed(absent)
    for i, (low, high) in dict(counts).items():
        steps[i].update(min_count=low, max_count=high)
    for i, more in dict(alts).items():
        steps[i]["alternatives"] = [atom_of(t) for t in more]
    for i, gap in dict(gaps).items():
        steps[i]["transition_from_previous"]["min_elapsed"] = gap
    if within is not None:
        document["within"] = within
    if start:
        document["anchored_start"] = True
    if end:
        document["anchored_end"] = True
    return pattern_from_json(json.dumps(document))


def first_miss(pattern, events):
    found = near_miss_events(pattern, events)
    assert [reference.record(m) for m in found] == reference.near_misses(json.loads(pattern.to_json()), events)
    return found[0]


FAILED = [("failed", t, {"user": u}) for t, u in [(0, "a"), (1, "a"), (2, "b")]]

CASES = {
    "too_few": (lang("failed[user as $u] -> success", counts={0: (3, 3)}),
                events_of(*FAILED, ("success", 3)),
                [0, 1], (0, 0), 0, "failed{3}", {"kind": "too_few", "count": 2, "needed": 3}),
    "predicate_failed on an alternative": (
        lang("view -> purchase[amount >= 10]", alts={1: ["subscribe[plan == \"pro\"]"]}),
        events_of(("view", 0), ("subscribe", 1, {"plan": "free"})),
        [0], (0,), 1, "(purchase | subscribe)",
        {"kind": "predicate_failed", "event_index": 1, "failures": [
            {"type": "predicate", "attribute": "plan", "operator": "==", "expected": "pro", "actual": "free"}]}),
    "window_exceeded of a transition": (
        lang("A -[<=5]-> B", counts={1: (1, None)}), events_of(("A", 0), ("B", 10)),
        [0], (0,), 1, "B+", {"kind": "window_exceeded", "candidate_index": 1, "gap": 10, "max_elapsed": 5}),
    "window_exceeded of the whole match": (
        lang("A -> B", within=5), events_of(("A", 0), ("B", 9)),
        [0], (0,), 1, "B", {"kind": "window_exceeded", "candidate_index": 1, "gap": 9, "max_elapsed": 5}),
    "absence_blocked by any event": (
        lang("A -[no *]-> B"), events_of(("A", 0), ("C", 1), ("B", 2)),
        [0], (0,), 1, "B", {"kind": "absence_blocked", "candidate_index": 2, "blocking_index": 1,
                            "blocking_event_type": "C", "candidate_satisfies": True}),
    "no_successor after an optional element": (
        lang("A -> B -> C", counts={1: (0, 1)}), events_of(("A", 0), ("B", 1)),
        [0, 1], (0, 1), 2, "C", {"kind": "no_successor"}),
    "a skipped optional element's later transition": (
        lang("A -[<=5]-> B -[<=10]-> C", counts={1: (0, 1)}), events_of(("A", 0), ("C", 12)),
        [0], (0,), 2, "C", {"kind": "window_exceeded", "candidate_index": 1, "gap": 12, "max_elapsed": 10}),
    "an event before the minimum gap is no candidate": (
        lang("A -> B", gaps={1: 5}), events_of(("A", 0), ("B", 2)),
        [0], (0,), 1, "B", {"kind": "no_successor"}),
    "only the last event completes a $ pattern": (
        lang("A -> B[x > 1]", end=True), events_of(("A", 0), ("B", 1, {"x": 5}), ("B", 2, {"x": 0})),
        [0], (0,), 1, "B", {"kind": "predicate_failed", "event_index": 2, "failures": [
            {"type": "predicate", "attribute": "x", "operator": ">", "expected": 1, "actual": 0}]}),
    "a one-element pattern": (
        lang("A", counts={0: (2, 4)}), events_of(("A", 0)),
        [0], (0,), 0, "A{2,4}", {"kind": "too_few", "count": 1, "needed": 2}),
}


@pytest.mark.parametrize("pattern, events, indices, elements, element, label, detail",
                         CASES.values(), ids=CASES.keys())
def test_each_reason_by_hand(pattern, events, indices, elements, element, label, detail):
    miss = first_miss(pattern, events)
    assert (miss.indices, miss.elements, miss.element, miss.next_event_type, miss.detail) == (
        indices, elements, element, label, detail)
    assert miss.reached_steps == len(indices) and miss.reason == detail["kind"]


@pytest.mark.parametrize("counts, label", [
    ((3, 3), "A{3}"), ((1, None), "A+"), ((0, 1), "A?"), ((2, None), "A{2,}"), ((0, 2), "A{0,2}"),
    ((1, 1), "A")])
def test_element_labels(counts, label):
    pattern = lang("X -> A", counts={1: counts}, alts={} if counts != (1, 1) else {1: ["*", "B"]})
    expected = label if counts != (1, 1) else "(A | * | B)"
    assert _core._element_labels(pattern) == ["X", expected]
    assert _core._element_labels(parse_pattern("X -> A")) is None


# ---------------------------------------------------------------------------------------------
# Random patterns: each start completes its walk or has exactly one near miss, and that near miss
# is the walk's, explained as the plain statement says.

TYPES = st.sampled_from(["A", "B", "C", "*"])
COUNTS = st.sampled_from([(1, 1), (1, 1), (0, 1), (1, None), (2, 2), (1, 3), (0, 2)])


@st.composite
def atoms(draw, captured, absent=False):
    typ = draw(TYPES)
    atom = {"event_type": "" if typ == "*" else typ, "predicates": [], "reference_predicates": [],
            "captures": []}
    clause = draw(st.sampled_from(["none", "none", "predicate", "capture", "reference"]))
    if clause == "predicate":
        atom["predicates"].append({"attribute": "x", "operator": "Gt", "value": {"Int": 0}})
    elif clause == "capture":  # in an absence only a test ($w: a name no step captures)
        name = draw(st.sampled_from("vw")) if absent else "v"
        atom["captures"].append({"name": name, "attribute": "x"})
    elif clause == "reference" and captured:
        atom["reference_predicates"].append({"attribute": "x", "operator": "Eq", "binding": "v"})
    if typ == "*":
        atom["any_type"] = True
    return atom


@st.composite
def language_patterns(draw):
    steps = []
    for i in range(draw(st.integers(1, 4))):
        step = {"atom": draw(atoms(i > 0)), "transition_from_previous": None}
        if i:
            window = draw(st.sampled_from([None, None, 1, 3]))
            step["transition_from_previous"] = {
                "max_elapsed": window, "absence": draw(st.lists(atoms(True, absent=True), max_size=1))}
            gap = draw(st.sampled_from([None, None, 1, 2]))
            if gap is not None:
                step["transition_from_previous"]["min_elapsed"] = gap
        alternatives = draw(st.lists(atoms(i > 0), max_size=2))
        if alternatives:
            step["alternatives"] = alternatives
        low, high = draw(COUNTS)
        step.update(min_count=max(low, 1) if i == 0 else low, max_count=high)
        steps.append(step)
    document = {"steps": steps, "consumption": "FirstSuccessorPerStart"}
    within = draw(st.sampled_from([None, None, 2, 5]))
    if within is not None:
        document["within"] = within
    for anchor in ("anchored_start", "anchored_end"):
        if draw(st.integers(0, 4)) == 0:
            document[anchor] = True
    return document


@st.composite
def event_lists(draw):
    events = []
    for partition in draw(st.sampled_from([["a"], ["a", "b"]])):
        ts = 0
        for _ in range(draw(st.integers(0, 10))):
            ts += draw(st.sampled_from([0, 1, 1, 2]))
            attrs = draw(st.sampled_from([{}, {"x": 0}, {"x": 1}, {"x": 2}]))
            events.extend(events_of((draw(st.sampled_from("ABCD")), ts, attrs), partition=partition))
    return events


@settings(max_examples=300, deadline=None)
@given(language_patterns(), event_lists())
def test_random_patterns_agree_with_the_plain_walk(document, events):
    pattern = pattern_from_json(json.dumps(document))
    # A document of plain steps only is a chain, explained by its deepest path (near_miss_reference
    # states that), not by the walk.
    assume(_core._element_labels(pattern) is not None)
    found = near_miss_events(pattern, events)
    assert [reference.record(m) for m in found] == reference.near_misses(document, events)
    # Every start either has a `first` match of the compiled matcher or exactly one near miss.
    starts = [m.start_index for m in found]
    matched = [m.indices[0] for m in match_events(pattern, events)]
    every = [start for start, _, _ in reference.walks(document, [near_miss_reference.Ev(e) for e in events])]
    assert sorted(starts + matched) == every
    for miss in found:  # the matched events are a walk: elements never go back
        assert miss.indices == sorted(set(miss.indices)) and miss.indices[0] == miss.start_index
        assert list(miss.elements) == sorted(miss.elements) and miss.elements[0] == 0
        assert miss.elements[-1] <= miss.element


# ---------------------------------------------------------------------------------------------
# The near-miss family: distinct captures and long chains, now with quantifiers and alternatives.
# Any search over the runs' subsets of occurrences would not finish; one walk per start does.

CHAIN = "A[id as $v] -[<=10000]-> A[id != $v] -> A[id == $v]"


@pytest.mark.parametrize("text, counts, alts, count", [
    (CHAIN, {0: (1, None)}, {}, 3000),
    (CHAIN, {1: (2, 40)}, {1: ["B"], 2: ["B[id == $v]"]}, 3000),
    (CHAIN, {1: (1, None)}, {2: ["*[id == $v]"]}, 2000),
    # A walk that stays at its start reads every later event, each judged once against the
    # absence (not again for every later candidate, which made the whole cubic).
    ("A[id as $v] -[no C]-> A[id == $v]", {1: (1, 3)}, {1: ["*[id == $v]"]}, 3000),
], ids=["first-repeated", "bounded-with-alternative", "unbounded-then-any", "absence-stuck"])
def test_a_long_family_of_starts_completes(text, counts, alts, count):
    pattern = lang(text, counts=counts, alts=alts)
    events = events_of(*[("A", ts, {"id": ts}) for ts in range(count)])
    found = near_miss_events(pattern, events)
    assert len(found) == count and all(m.reason in ("predicate_failed", "no_successor", "too_few")
                                       for m in found)


# ---------------------------------------------------------------------------------------------
# The forms: table columns, pickles, repr, funnel and command line

SHOP = pa.table({
    "partition": ["u1", "u1", "u1", "u2", "u2", "u3", "u3", "u3"],
    "ts": [0, 1, 2, 0, 5, 0, 1, 2],
    "type": ["failed", "failed", "failed", "failed", "success", "failed", "failed", "success"],
})
BRUTE = lang("failed -> success", counts={0: (3, 3)})


def test_table_columns_of_language_and_chain_patterns():
    table = explain(BRUTE, SHOP)._to_pyarrow()
    assert table.column_names[:6] == ["start_row", "partition", "reached_steps", "element", "rows", "elements"]
    assert table["elements"].to_pylist()[:2] == [[0, 0, 0], [0, 0]]
    assert table.column_names[-3:] == ["count", "needed", "captures"]
    rows = table.select(["start_row", "reached_steps", "element", "reason", "count", "needed"]).to_pylist()
    assert [tuple(r.values()) for r in rows] == [
        (0, 3, 1, "no_successor", None, None), (1, 2, 0, "too_few", 2, 3), (2, 1, 0, "too_few", 1, 3),
        (3, 1, 0, "too_few", 1, 3), (5, 2, 0, "too_few", 2, 3), (6, 1, 0, "too_few", 1, 3)]
    chain = explain("failed -> success", SHOP)._to_pyarrow()
    assert not {"element", "count", "needed"} & set(chain.column_names)


def test_near_miss_pickles_and_repr():
    miss = near_miss_events(BRUTE, events_of(("failed", 0), ("failed", 1)))[0]
    copy = pickle.loads(pickle.dumps(miss))
    assert reference.record(copy) == reference.record(miss)
    assert repr(miss) == 'NearMiss(partition="p", indices=[0, 1], next="failed{3}", reason="too_few", element=0)'
    # A pickle of a chain's near miss written before elements existed still loads.
    chain = near_miss_events(parse_pattern("A -> B"), events_of(("A", 0)))[0]
    function, args = chain.__reduce__()
    old = function(*args[:8])
    assert (old.element, old.elements, repr(old)) == (1, (), repr(chain))


@pytest.mark.parametrize("pattern, per, expected", [
    (BRUTE, "start", [("failed{3}", 6, 1), ("success", 1, 0)]),
    (BRUTE, "partition", [("failed{3}", 3, 1), ("success", 1, 0)]),
    # `^`: only a partition's first event starts
    (lang("failed -> success", counts={0: (2, None)}, start=True), "start",
     [("failed{2,}", 3, 2), ("success", 2, 1)]),
    (lang("* -> success", counts={0: (2, None)}, start=True), "start",
     [("*{2,}", 3, 3), ("success", 3, 1)]),
])
def test_funnel_has_a_step_per_element(pattern, per, expected):
    result = funnel(pattern, SHOP, per=per)
    assert [(s.event_type, s.reached, s.completed) for s in result.steps] == expected
    assert result.starts == result.matched + result.near_misses
    label = expected[0][0]
    assert f"step 0 {label}" in repr(result) and label in result._repr_html_()
    if pattern is BRUTE and per == "start":
        assert [(r.reason, r.detail, r.count) for r in result.steps[0].reasons] == [
            ("too_few", "1 of 3", 3), ("too_few", "2 of 3", 2)]


def test_command_line_shows_too_few(tmp_path, capsys):
    (tmp_path / "p.json").write_text(BRUTE.to_json())
    pa.csv = __import__("pyarrow.csv").csv
    pa.csv.write_csv(SHOP, tmp_path / "e.csv")
    assert main(["explain", "--pattern-file", str(tmp_path / "p.json"), str(tmp_path / "e.csv"),
                 "--report", str(tmp_path / "r.html")]) == 0
    out = capsys.readouterr().out
    assert "2 of 3 taken" in out and "failed{3}" in out
    report = (tmp_path / "r.html").read_text()
    assert "stopped at element 0" in report and "<td>element 0</td>" in report
