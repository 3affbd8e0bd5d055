"""Walks of the element matcher filed by a bound value (first and non-overlapping modes): an event
reaches only the walks filed under its values, with the same matches as the reference matcher."""

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import test_language_matching as lm
from vashlet import Event, _core, match_events, sort_events


def both(pattern, events, mode):
    return [lm.library_matches(pattern, events, mode, oracle) for oracle in (False, True)]


@pytest.mark.parametrize("mode", ["first", "non_overlapping"])
@pytest.mark.parametrize("users", [
    [1, 2, 1, 2, 1, 2],
    [1, 1.0, 2, 1, 2.0, -0.0, 0, 0],  # numbers equal across kinds meet under ==
    ["ann", None, "bob", None, "ann", "bob"],  # None: the attribute is missing
])
def test_correlated_pattern_takes_the_filed_path(mode, users):
    # login[n as $u]{2} -> purchase[n == $u]: each partial walk waits on one user's events.
    pattern = lm.language(lm.element(lm.atom("A", caps=[("u", "n")]), least=2, most=2),
                          lm.element(lm.atom("B", refs=[("n", "Eq", "u")])))
    events = sort_events([
        Event("p", ts, "AB"[ts >= 2 * len(users)], {} if user is None else {"n": user})
        for ts, user in enumerate(users * 3)])
    _core._paths_taken()
    got, expected = both(pattern, events, mode)
    assert _core._paths_taken()["elements_filed"] == 1
    assert got == expected and got


def test_walks_watching_an_absence_are_not_filed():
    # A[n as $u]+ -[no C]-> B[n == $u]: the C between must still rule out the B.
    pattern = lm.language(lm.element(lm.atom("A", caps=[("u", "n")]), most=None),
                          lm.element(lm.atom("B", refs=[("n", "Eq", "u")]),
                                     gap=(None, None, [lm.atom("C")])))
    events = sort_events([Event("p", t, typ, {"n": 1}) for t, typ in enumerate("AACBAB")])
    _core._paths_taken()
    got, expected = both(pattern, events, "first")
    assert _core._paths_taken()["elements_filed"] == 0
    assert got == expected and got
    assert all(indices[-1] != 3 for _, indices, _, _ in got)


@st.composite
def keyed_atoms(draw, name):
    keyed = draw(st.sampled_from(["cap", "cap", "ref", "none"]))
    return lm.atom(draw(st.sampled_from(["A", "B", None])),
                   caps=[(name, "n")] if keyed == "cap" else [],
                   refs=[("n", draw(st.sampled_from(["Eq", "Eq", "NotEq"])), name)]
                   if keyed == "ref" else [])


@st.composite
def correlated_patterns(draw):
    elements = []
    for e in range(draw(st.integers(1, 3))):
        least, most = draw(st.sampled_from([(1, 1), (0, 1), (2, 2), (1, None), (1, 3)]))
        least = max(least, 1) if e == 0 else least
        branches = draw(st.lists(keyed_atoms(draw(st.sampled_from("uuv"))), min_size=1,
                                 max_size=2))
        gap = (draw(st.sampled_from([None, None, 1, 3])), draw(st.sampled_from([None, None, 1])),
               draw(st.lists(lm.atoms(absence=True), max_size=draw(st.sampled_from([0, 0, 1])))))
        elements.append(lm.element(*branches, least=least, most=most, gap=gap))
    return lm.language(*elements, within=draw(st.sampled_from([None, None, 3])),
                       end=draw(st.booleans()) and draw(st.booleans()))


@st.composite
def keyed_events(draw):
    events, ts = [], 0
    for _ in range(draw(st.integers(0, 12))):
        ts += draw(st.sampled_from([0, 1, 1, 2]))
        n = draw(st.sampled_from([0, 1, 2, 1.0, None]))
        events.append(Event("p", ts, draw(st.sampled_from("AABBC")), {} if n is None else {"n": n}))
    return sort_events(events)


@pytest.mark.parametrize("mode", ["first", "non_overlapping"])
@settings(max_examples=300, deadline=None)
@given(pattern=correlated_patterns(), events=keyed_events())
def test_filed_walks_equal_the_reference(mode, pattern, events):
    got, expected = both(pattern, events, mode)
    assert got == expected
