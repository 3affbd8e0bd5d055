"""Matching of the pattern language: the compiled element matcher equals the reference matcher,
and both equal an independent brute force (language_brute_force.py), in every mode."""

import json
import warnings

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import language_brute_force as brute
from vashlet import Event, _core, match, match_events, pattern_from_json, sort_events

MODES = {"first": "FirstSuccessorPerStart", "all": "ExhaustivePerStart",
         "non_overlapping": "NonOverlapping"}
VALUE_JSON = {int: "Int"}


def atom_json(atom):
    out = {
        "event_type": atom["type"] or "",
        "predicates": [{"attribute": a, "operator": op, "value": {"Int": v}}
                       for a, op, v in atom["preds"]],
        "reference_predicates": [{"attribute": a, "operator": op, "binding": name}
                                 for a, op, name in atom["refs"]],
        "captures": [{"name": name, "attribute": a} for name, a in atom["caps"]],
    }
    if atom["type"] is None:
        out["any_type"] = True
    return out


def pattern_json(pattern, mode):
    steps = []
    for e, element in enumerate(pattern["elements"]):
        step = {"atom": atom_json(element["branches"][0]), "transition_from_previous": None}
        if e:
            most, least, absent = element["gap"]
            step["transition_from_previous"] = {"max_elapsed": most,
                                                "absence": [atom_json(a) for a in absent]}
            if least is not None:
                step["transition_from_previous"]["min_elapsed"] = least
        if len(element["branches"]) > 1:
            step["alternatives"] = [atom_json(a) for a in element["branches"][1:]]
        if (element["min"], element["max"]) != (1, 1):
            step["min_count"], step["max_count"] = element["min"], element["max"]
        steps.append(step)
    doc = {"steps": steps, "consumption": MODES[mode]}
    if pattern["within"] is not None:
        doc["within"] = pattern["within"]
    if pattern["start"]:
        doc["anchored_start"] = True
    if pattern["end"]:
        doc["anchored_end"] = True
    return pattern_from_json(json.dumps(doc))


def atom(type_, preds=(), refs=(), caps=()):
    return {"type": type_, "preds": list(preds), "refs": list(refs), "caps": list(caps)}


def element(*branches, least=1, most=1, gap=(None, None, ())):
    return {"branches": list(branches), "min": least, "max": most, "gap": gap}


def language(*elements, within=None, start=False, end=False):
    return {"elements": list(elements), "within": within, "start": start, "end": end}


def library_matches(pattern, events, mode, oracle):
    found = match_events(pattern_json(pattern, mode), events, use_oracle=oracle, threads=1)
    return [(m.partition, tuple(m.indices), tuple(m.elements), m.captures) for m in found]


def uses_elements(pattern, mode):
    """Whether the library matches `pattern` as one of the language (chains report no elements)."""
    def plain(element, first):
        absent = [] if first else element["gap"][2]
        return (len(element["branches"]) == 1 and element["branches"][0]["type"] is not None
                and (element["min"], element["max"]) == (1, 1) and (first or element["gap"][1] is None)
                and all(a["type"] is not None for a in absent))
    return (mode == "non_overlapping" or pattern["within"] is not None or pattern["start"]
            or pattern["end"] or not all(plain(e, not k) for k, e in enumerate(pattern["elements"])))


def expected_matches(pattern, events, mode):
    language_pattern = uses_elements(pattern, mode)
    out, begin = [], 0
    while begin < len(events):
        end = begin
        while end < len(events) and events[end].partition == events[begin].partition:
            end += 1
        run = events[begin:end]
        for idx, els, bound in brute.matches(pattern, run, mode):
            els = tuple(els) if language_pattern else ()
            out.append((run[0].partition, tuple(begin + i for i in idx), els, bound))
        begin = end
    return out


# ---------------------------------------------------------------------------------------------
# Random small patterns and event lists

TYPES = st.sampled_from(["A", "A", "B", None])
COUNTS = st.sampled_from([(1, 1), (1, 1), (0, 1), (1, 2), (2, 2), (1, None), (0, None), (2, 3)])


@st.composite
def atoms(draw, absence=False):
    type_ = draw(st.sampled_from(["A", "B", "C", None]) if absence else TYPES)
    def some(items):  # none, mostly
        return draw(st.lists(items, max_size=draw(st.sampled_from([0, 0, 1]))))
    preds = some(st.tuples(st.just("n"), st.sampled_from(["Eq", "NotEq", "Gte"]),
                           st.integers(0, 1)))
    refs = some(st.tuples(st.just("n"), st.sampled_from(["Eq", "NotEq"]), st.sampled_from("uv")))
    # An absence's captures only test ("w" no step captures: it has no slot).
    caps = some(st.tuples(st.sampled_from("uvw" if absence else "uv"), st.just("n")))
    return atom(type_, preds, refs, caps)


@st.composite
def patterns(draw):
    elements = []
    for e in range(draw(st.integers(1, 3))):
        least, most = draw(COUNTS)
        if e == 0:
            least = max(least, 1)
            most = None if most is None else max(most, least)
        branches = draw(st.lists(atoms(), min_size=1, max_size=2))
        gap = (draw(st.sampled_from([None, None, 0, 1, 3])),
               draw(st.sampled_from([None, None, None, 1, 2])),
               draw(st.lists(atoms(absence=True), max_size=draw(st.sampled_from([0, 0, 1])))))
        elements.append(element(*branches, least=least, most=most, gap=gap))
    return language(*elements, within=draw(st.sampled_from([None, None, 2, 5])),
                    start=draw(st.booleans()) and draw(st.booleans()),
                    end=draw(st.booleans()) and draw(st.booleans()))


@st.composite
def event_lists(draw):
    events = []
    for partition in draw(st.sampled_from([["a"], ["a", "b"]])):
        ts = 0
        for _ in range(draw(st.integers(0, 8))):
            ts += draw(st.sampled_from([0, 1, 1, 2]))
            events.append(Event(partition, ts, draw(st.sampled_from("AAABBC")),
                                {"n": draw(st.integers(0, 1))}))
    return sort_events(events)


@pytest.mark.parametrize("mode", list(MODES))
@settings(max_examples=150, deadline=None)
@given(pattern=patterns(), events=event_lists())
def test_compiled_equals_reference_equals_brute_force(mode, pattern, events):
    expected = expected_matches(pattern, events, mode)
    assert library_matches(pattern, events, mode, oracle=True) == expected
    assert library_matches(pattern, events, mode, oracle=False) == expected
    assert table_matches(pattern, events, mode) == [
        (list(i), list(e) if e else None, {n: b.get(n) for n in "uv"}) for _, i, e, b in expected]


def table_matches(pattern, events, mode):
    """The rows, elements and captures of vashlet.match over the events as a table."""
    pa = pytest.importorskip("pyarrow")
    table = pa.table({"partition": pa.array([e.partition for e in events], pa.string()),
                      "ts": pa.array([e.ts for e in events], pa.int64()),
                      "type": pa.array([e.typ for e in events], pa.string()),
                      "n": pa.array([e.attrs["n"] for e in events], pa.int64())})
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        result = pa.table(match(pattern_json(pattern, mode), table, exhaustive=mode == "all"))
    elements = (result.column("elements").to_pylist() if "elements" in result.column_names
                else [None] * result.num_rows)
    captures = [{n: c.get(n) for n in "uv"} for c in result.column("captures").to_pylist()]
    return list(zip(result.column("rows").to_pylist(), elements, captures))


# ---------------------------------------------------------------------------------------------
# Cases of the documentation

def events_of(text, times=None, attrs=None):
    times = times or range(len(text.split()))
    return sort_events([Event("p", ts, typ, (attrs or {}).get(i, {"n": 0}))
                        for i, (ts, typ) in enumerate(zip(times, text.split()))])


A, B, C = atom("A"), atom("B"), atom("C")

HAND_CASES = {
    # A -[<=5]-> B? -[<=10]-> C: a C taken with B skipped is within 10 of the A.
    "optional skipped: window from A": (
        language(element(A), element(B, least=0, gap=(5, None, ())), element(C, gap=(10, None, ()))),
        events_of("A C", [0, 12]), "first", []),
    "optional taken": (
        language(element(A), element(B, least=0, gap=(5, None, ())), element(C, gap=(10, None, ()))),
        events_of("A B C", [0, 4, 12]), "first", [((0, 1, 2), (0, 1, 2))]),
    # failed[user as $u]{3}: three failures of one user.
    "captures across repetition": (
        language(element(atom("F", caps=[("u", "n")]), least=3, most=3)),
        events_of("F F F F", attrs={0: {"n": 1}, 1: {"n": 2}, 2: {"n": 1}, 3: {"n": 1}}),
        "first", [((0, 2, 3), (0, 0, 0))]),
    "trailing + takes one": (
        language(element(A), element(B, most=None)), events_of("A B B"), "first",
        [((0, 1), (0, 1))]),
    "trailing + in all mode": (
        language(element(A), element(B, most=None)), events_of("A B B"), "all",
        [((0, 1), (0, 1)), ((0, 1, 2), (0, 1, 1)), ((0, 2), (0, 1))]),
    "$: the completing event is the run's last": (
        language(element(A), element(B, most=None), end=True), events_of("A B C B"), "first",
        [((0, 3), (0, 1))]),
    "non_overlapping conversions": (
        language(element(atom("view")), element(atom("buy"))),
        events_of("view view buy view buy"), "non_overlapping",
        [((0, 2), (0, 1)), ((3, 4), (0, 1))]),
    "no * is immediately followed by": (
        language(element(A), element(B, gap=(None, None, [atom(None)]))),
        events_of("A C B A B"), "first", [((3, 4), (0, 1))]),
    # ^A -[no C[n as $w]]-> B: an absence's capture into a name no step binds is a test only.
    "absence capturing an unbound name": (
        language(element(A), element(B, gap=(None, None, [atom("C", caps=[("w", "n")])])),
                 start=True), events_of("A C B"), "first", []),
}


@pytest.mark.parametrize("oracle", [False, True])
@pytest.mark.parametrize("case", list(HAND_CASES))
def test_documented_cases(case, oracle):
    pattern, events, mode, wanted = HAND_CASES[case]
    got = [(i, e) for _, i, e, _ in library_matches(pattern, events, mode, oracle)]
    assert got == wanted
    assert [(i, e) for _, i, e, _ in expected_matches(pattern, events, mode)] == wanted


def test_language_patterns_take_the_element_path_and_chains_do_not():
    events = events_of("A B B")
    _core._paths_taken()
    library_matches(language(element(A), element(B, most=None)), events, "first", False)
    assert _core._paths_taken()["elements"] == 1
    match_events(pattern_from_json(json.dumps(
        {"steps": [{"atom": atom_json(A), "transition_from_previous": None}],
         "consumption": "FirstSuccessorPerStart"})), events)
    assert _core._paths_taken()["elements"] == 0
    assert [m.elements for m in match_events(pattern_from_json(json.dumps(
        {"steps": [{"atom": atom_json(A), "transition_from_previous": None}],
         "consumption": "FirstSuccessorPerStart"})), events)] == [()]


@pytest.mark.parametrize("exhaustive, rows, elements", [
    (False, [[0, 1], [3, 4]], [[0, 1], [0, 1]]),
    (True, [[0, 1], [0, 1, 2], [0, 1, 2, 4], [0, 1, 4], [0, 2], [0, 2, 4], [0, 4], [3, 4]],
     [[0, 1], [0, 1, 1], [0, 1, 1, 1], [0, 1, 1], [0, 1], [0, 1, 1], [0, 1], [0, 1]]),
])
def test_match_table_rows_and_elements(exhaustive, rows, elements):
    pa = pytest.importorskip("pyarrow")
    # B+ with its captures in the second branch only: unbound where the first branch took it.
    pattern = pattern_json(language(element(A), element(B, atom("C", caps=[("u", "n")]),
                                                         most=None)), "first")
    table = pa.table({"partition": ["p"] * 5, "ts": range(5), "type": list("ABBAC"),
                      "n": range(5)})
    result = pa.table(match(pattern, table, exhaustive=exhaustive))
    assert result.column("rows").to_pylist() == rows
    assert result.column("elements").to_pylist() == elements
    assert result.column("elements").type.value_type == pa.int32()
    wanted = [4 if r[-1] == 4 else None for r in rows]
    assert [c["u"] for c in result.column("captures").to_pylist()] == wanted
    chain = pa.table(match(pattern_json(language(element(A), element(B)), "first"), table))
    assert "elements" not in chain.column_names


def test_match_objects_pickle_their_elements():
    import pickle
    found = library_matches(language(element(A), element(B, most=None)), events_of("A B"),
                            "first", False)
    match = match_events(pattern_json(language(element(A), element(B, most=None)), "first"),
                         events_of("A B"))[0]
    assert pickle.loads(pickle.dumps(match)).elements == match.elements == found[0][2] == (0, 1)


@pytest.mark.parametrize("oracle", [False, True])
def test_all_mode_is_bounded_by_max_matches(oracle):
    # A B+ over A and twelve Bs: 4095 matches, every nonempty subset of the Bs.
    pattern = pattern_json(language(element(A), element(B, most=None)), "all")
    with pytest.raises(ValueError, match="max_matches=100"):
        match_events(pattern, events_of("A" + " B" * 12), use_oracle=oracle, max_matches=100)


@pytest.mark.parametrize("pattern, header, cells", [
    (language(element(A), element(B, most=None)),
     "match  partition  start  end  rows       elements   captures", "[0, 1, 1]"),
    (language(element(A), element(B)), "match  partition  start  end  rows    captures", "[0, 1]"),
])
def test_match_table_repr_shows_elements_of_language_patterns(pattern, header, cells):
    pa = pytest.importorskip("pyarrow")
    table = pa.table({"partition": ["p"] * 3, "ts": range(3), "type": list("ABB")})
    result = match(pattern_json(pattern, "first"), table, mode="all")
    assert repr(result).splitlines()[1] == header
    html = result._repr_html_()
    assert ("<th>elements</th>" in html) == ("elements" in header) and f"<td>{cells}</td>" in html
