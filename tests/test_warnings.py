"""Patterns the format allows but that can never hold warn from the table functions; the core
and the Event functions accept them silently."""

import warnings

import pytest

import vashlet
from vashlet import Event, Pattern

pa = pytest.importorskip("pyarrow")

EVENTS = pa.table({
    "partition": ["p", "p", "p"],
    "ts": [1, 2, 3],
    "type": ["login", "logout", "purchase"],
    "user": ["ann", "ann", "ann"],
})
NEVER = [
    ("login -> purchase[user == $zz]",
     ["step 1 (purchase) refers to $zz, which no earlier step captures: it can never match"]),
    ("login[user == $u, user as $u] -> purchase",
     ["step 0 (login) refers to $u, which no earlier step captures: it can never match"]),
    ("login -[<=-5]-> purchase",
     ["step 1 (purchase) has a window of -5, below zero: it can never match"]),
    ("login -[no logout[user == $v]]-> purchase[user as $v]",
     ["the absence of logout before step 1 (purchase) refers to $v, which no earlier step "
      "captures: it never blocks"]),
    (Pattern.event("login").then("purchase", within=-1).where_ref_eq("user", "w"),
     ["step 1 (purchase) has a window of -1, below zero: it can never match",
      "step 1 (purchase) refers to $w, which no earlier step captures: it can never match"]),
]
FINE = [
    "login[user as $u] -[<=0, no logout[user == $u]]-> purchase[user == $u]",
    "login -> logout[user as $u] -> purchase[user == $u]",
    "login -[<=1h30m]-> purchase",
]
TABLE_CALLS = {
    "match": lambda p: vashlet.match(p, EVENTS, ts_unit="s"),
    "exhaustive": lambda p: vashlet.match(p, EVENTS, exhaustive=True, ts_unit="s"),
    "explain": lambda p: vashlet.explain(p, EVENTS, ts_unit="s"),
    "funnel": lambda p: vashlet.funnel(p, EVENTS, ts_unit="s"),
}


@pytest.mark.parametrize("call", TABLE_CALLS)
@pytest.mark.parametrize("pattern, messages", NEVER)
def test_table_functions_warn_once_naming_the_step(call, pattern, messages):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("default")
        TABLE_CALLS[call](pattern)
    assert [str(w.message) for w in caught] == messages
    assert {w.category for w in caught} == {UserWarning}
    # Attributed to the caller's line, not to the package.
    assert {w.filename for w in caught} == {__file__}


@pytest.mark.parametrize("call", TABLE_CALLS)
@pytest.mark.parametrize("pattern", FINE)
def test_patterns_that_can_hold_do_not_warn(call, pattern):
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        TABLE_CALLS[call](pattern)


@pytest.mark.parametrize("pattern, messages", NEVER)
def test_event_functions_and_the_parser_stay_silent(pattern, messages):
    events = [Event("p", 1, "login", {"user": "ann"}), Event("p", 2, "purchase", {"user": "ann"})]
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        parsed = vashlet.parse_pattern(pattern) if isinstance(pattern, str) else pattern.build()
        vashlet.match_events(parsed, events)
        vashlet.near_miss_events(parsed, events)
