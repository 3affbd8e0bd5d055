"""The compiled matcher and the reference matcher return identical results on random inputs, and
first-successor matches are always among the exhaustive ones."""

import json
import math
import random
import re

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from vashlet import Event, Pattern, _core, match_events, parse_pattern, pattern_from_json, sort_events

INT64_MIN = -(2**63)
INT64_MAX = 2**63 - 1

SETTINGS = settings(max_examples=400, deadline=None)

EVENT_TYPES = st.sampled_from("AAABBC")
STEP_TYPES = st.sampled_from("AAB")
ATTRS = st.sampled_from("nnm")
NAMES = st.sampled_from("uv")  # "w" stays unbound
OPERATORS = st.sampled_from(["==", "!=", ">", ">=", "<", "<="])
# Values that the text language can write, and NaN, which only Python can hand over.
# Mostly 0 and 1, so that predicates hold often enough for matches to happen.
COMMON_VALUES = st.sampled_from([0, 1])
TEXT_VALUES = st.one_of(
    COMMON_VALUES,
    COMMON_VALUES,
    st.sampled_from([-1, 2, 0.5, 1.0, -0.0, "x", "y", True, False, None]),
)
VALUES = st.one_of(TEXT_VALUES, TEXT_VALUES, TEXT_VALUES, st.just(math.nan))
ITEM_COUNTS = st.sampled_from([0, 0, 0, 1, 1, 2])


@st.composite
def event_lists(draw):
    events = []
    for partition in draw(st.sampled_from([["a"], ["a"], ["a", "b"], ["a", "ab", "b"]])):
        ts = draw(st.sampled_from([0, 0, INT64_MIN, INT64_MAX - 40]))
        for _ in range(draw(st.integers(0, 10))):
            ts += draw(st.sampled_from([0, 0, 1, 2, 3]))
            attrs = draw(st.fixed_dictionaries({"n": VALUES}, optional={"m": VALUES}))
            events.append(Event(partition, ts, draw(EVENT_TYPES), attrs))
    return sort_events(draw(st.permutations(events)))


WINDOWS = st.sampled_from([None, None, None, None, 0, 1, 2, 4, 6, -1, INT64_MAX])


def literal(value):
    if isinstance(value, bool):
        return "true" if value else "false"
    if value is None:
        return "null"
    if isinstance(value, str):
        return f'"{value}"'
    return repr(value)


def draw_kind(draw, bound, allow_capture):
    kinds = ["predicate"] + (["capture"] if allow_capture else [])
    if bound:
        kinds += ["reference", "reference"]
    return draw(st.sampled_from(kinds))


def draw_reference_name(draw, bound):
    # Mostly names that an earlier step captured; now and then one that nothing binds.
    names = sorted(bound)
    return draw(st.sampled_from(names * 3 + ["w"]))


def text_atom(draw, bound, max_items=3, allow_capture=True):
    items, captured = [], set()
    for _ in range(min(draw(ITEM_COUNTS), max_items)):
        kind, attribute = draw_kind(draw, bound, allow_capture), draw(ATTRS)
        if kind == "capture":
            name = draw(NAMES)
            captured.add(name)
            items.append(f"{attribute} as ${name}")
        elif kind == "reference":
            items.append(f"{attribute} {draw(OPERATORS)} ${draw_reference_name(draw, bound)}")
        else:
            items.append(f"{attribute} {draw(OPERATORS)} {literal(draw(TEXT_VALUES))}")
    bound |= captured
    typ = draw(STEP_TYPES if allow_capture else EVENT_TYPES)
    return typ + (f"[{', '.join(items)}]" if items else "")


@st.composite
def text_patterns(draw):
    bound = set()
    text = text_atom(draw, bound)
    for _ in range(draw(st.integers(0, 3))):
        constraints = []
        window = draw(WINDOWS)
        if window is not None:
            constraints.append(f"<={window}")
        # An absence atom written in text carries at most one item.
        for _ in range(draw(st.sampled_from([0, 0, 1, 2]))):
            constraints.append("no " + text_atom(draw, bound, max_items=1, allow_capture=False))
        arrow = f" -[{', '.join(constraints)}]-> " if constraints else " -> "
        text += arrow + text_atom(draw, bound)
    return parse_pattern(text)


def builder_step(draw, builder, bound):
    captured = set()
    for _ in range(draw(ITEM_COUNTS)):
        kind, attribute = draw_kind(draw, bound, True), draw(ATTRS)
        if kind == "capture":
            name = draw(NAMES)
            captured.add(name)
            builder = builder.capture(attribute, "$" + name)
        elif kind == "reference":
            builder = builder.where_ref_eq(attribute, draw_reference_name(draw, bound))
        else:
            method = draw(st.sampled_from(["eq", "ne", "gt", "gte", "lt", "lte"]))
            builder = getattr(builder, "where_" + method)(attribute, draw(VALUES))
    bound |= captured
    return builder


@st.composite
def built_patterns(draw):
    bound = set()
    builder = builder_step(draw, Pattern.event(draw(STEP_TYPES)), bound)
    for _ in range(draw(st.integers(0, 3))):
        no = draw(st.one_of(st.none(), EVENT_TYPES))
        step = builder.then(draw(STEP_TYPES), within=draw(WINDOWS), no=no)
        builder = builder_step(draw, step, bound)
    return builder.build()


def key(match):
    captures = tuple((name, type(v).__name__, repr(v)) for name, v in match.captures.items())
    return (match.partition, tuple(match.indices), match.start, match.end, captures)


def check_matchers_agree(pattern, events):
    results = {}
    for exhaustive in (False, True):
        compiled = [key(m) for m in match_events(pattern, events, exhaustive=exhaustive)]
        oracle = [key(m) for m in match_events(pattern, events, exhaustive, use_oracle=True)]
        assert compiled == oracle
        results[exhaustive] = compiled

    first_successor, exhaustive = results[False], results[True]
    assert set(first_successor) <= set(exhaustive)
    starts = [(partition, indices[0]) for partition, indices, *_ in first_successor]
    assert len(starts) == len(set(starts))
    for partition, indices, start, end, _ in exhaustive:
        assert all(a < b for a, b in zip(indices, indices[1:]))
        assert {events[i].partition for i in indices} == {partition}
        assert (start, end) == (events[indices[0]].ts, events[indices[-1]].ts)


@SETTINGS
@given(text_patterns(), event_lists())
def test_text_patterns_match_alike(pattern, events):
    check_matchers_agree(pattern, events)


@SETTINGS
@given(built_patterns(), event_lists())
def test_built_patterns_match_alike(pattern, events):
    check_matchers_agree(pattern, events)


# ---------------------------------------------------------------------------------------------
# Inputs aimed at the compiled matcher's bookkeeping: per-step waiting lists visited by event
# type, windows expired lazily in timestamp order, index prefixes and bindings shared between
# threads, and everything reset between runs.

STRESS_SETTINGS = settings(max_examples=250, deadline=None)
STRESS_TYPES = st.sampled_from("AAAABBC")
LIMIT_WINDOWS = st.sampled_from(
    [None, None, 0, 1, 3, -1, INT64_MIN, INT64_MIN + 1, INT64_MAX, INT64_MAX - 1]
)
OPERATOR_NAMES = st.sampled_from(["Eq", "NotEq", "Gt", "Gte", "Lt", "Lte"])


@st.composite
def stress_events(draw):
    """Either many short partitions or one long run, with mostly equal timestamps."""
    if draw(st.booleans()):
        partitions, sizes = [f"p{k:02}" for k in range(draw(st.integers(4, 14)))], st.integers(0, 6)
    else:
        partitions, sizes = ["p"], st.integers(15, 35)
    events = []
    for partition in partitions:
        ts = draw(st.sampled_from([0, INT64_MIN, INT64_MAX - 80]))
        for _ in range(draw(sizes)):
            ts += draw(st.sampled_from([0, 0, 0, 1, 2]))
            attrs = draw(st.fixed_dictionaries({}, optional={"n": VALUES, "m": VALUES}))
            events.append(Event(partition, ts, draw(STRESS_TYPES), attrs))
    return events  # already in event order


# Patterns whose steps compare nothing with a binding and forbid nothing: the compiled matcher
# follows each start along the next event every step admits, rather than keeping partial matches.
@st.composite
def unbound_patterns(draw):
    text = text_atom(draw, set())
    for _ in range(draw(st.integers(0, 4))):
        window = draw(LIMIT_WINDOWS)
        text += " -> " if window is None else f" -[<={window}]-> "
        text += text_atom(draw, set())
    return parse_pattern(text)


@STRESS_SETTINGS
@given(unbound_patterns(), stress_events())
def test_unbound_patterns_match_alike(pattern, events):
    check_matchers_agree(pattern, events)


def json_value(value):
    if value is None:
        return "Null"
    kind = {bool: "Bool", int: "Int", float: "Float", str: "String"}[type(value)]
    return {kind: value}


def json_atom(draw, typ, bound, allow_capture):
    """Any mix of clauses; references mostly name bindings that earlier steps captured."""
    atom = {"event_type": typ, "predicates": [], "reference_predicates": [], "captures": []}
    for _ in range(draw(ITEM_COUNTS)):
        kind, attribute = draw_kind(draw, bound, allow_capture), draw(ATTRS)
        if kind == "capture":
            atom["captures"].append({"name": draw(NAMES), "attribute": attribute})
        elif kind == "reference":
            binding = draw_reference_name(draw, bound)
            atom["reference_predicates"].append(
                {"attribute": attribute, "operator": draw(OPERATOR_NAMES), "binding": binding}
            )
        else:
            value = json_value(draw(TEXT_VALUES))
            atom["predicates"].append(
                {"attribute": attribute, "operator": draw(OPERATOR_NAMES), "value": value}
            )
    return atom


@st.composite
def json_patterns(draw):
    """Patterns only the JSON form can write: forbidden atoms with captures or several clauses,
    often of the same type as the step they guard, and windows at the int64 limits."""
    bound = set()
    steps = []
    for index in range(draw(st.integers(1, 4))):
        typ = draw(STEP_TYPES)
        transition = None
        if index > 0:
            absence = []
            for _ in range(draw(st.sampled_from([0, 1, 1, 2]))):
                absent_type = draw(st.one_of(st.just(typ), EVENT_TYPES))
                absence.append(json_atom(draw, absent_type, bound, draw(st.booleans())))
            transition = {"max_elapsed": draw(LIMIT_WINDOWS), "absence": absence}
        atom = json_atom(draw, typ, bound, allow_capture=True)
        bound |= {capture["name"] for capture in atom["captures"]}
        steps.append({"atom": atom, "transition_from_previous": transition})
    document = {"steps": steps, "consumption": "FirstSuccessorPerStart"}
    return pattern_from_json(json.dumps(document))


@STRESS_SETTINGS
@given(json_patterns(), stress_events())
def test_json_patterns_on_stress_inputs_match_alike(pattern, events):
    check_matchers_agree(pattern, events)


@STRESS_SETTINGS
@given(text_patterns(), stress_events())
def test_text_patterns_on_stress_inputs_match_alike(pattern, events):
    check_matchers_agree(pattern, events)


def test_threads_piling_up_before_a_rare_step_all_complete():
    events = [Event("p", ts, "C" if ts % 97 == 0 else "A") for ts in range(3000)]
    events.append(Event("p", 3000, "B"))
    expected = [[i, 3000] for i in range(3000) if i % 97]
    for exhaustive in (False, True):
        matches = match_events(parse_pattern("A -> B"), events, exhaustive)
        assert [m.indices for m in matches] == expected


# ---------------------------------------------------------------------------------------------
# Threads found by the value they captured: many threads wait in one step with equal and unequal
# values of every kind, for steps and forbidden atoms that compare `attr == $name`; and exhaustive
# mode, which creates only partial matches that may still complete.

# Numbers that are equal across kinds (1 and 1.0, -0.0 and 0), Ints that share a nearest double
# but differ (2**53 and 2**53 + 1), NaN, strings that look like numbers, booleans and null.
KEYED_VALUES = st.sampled_from(
    [0, 1, 1, 1.0, -0.0, 0.0, 2, 2.0, 2**53, 2**53 + 1, float(2**53), -(2**63), math.nan,
     "x", "1", "", True, False, None]
)
KEYED_TYPES = st.sampled_from("AAAABBC")
KEYED_TEMPLATES = st.sampled_from(
    [
        "A[n as $u] -{W}> B[n == $u]",
        "A[n as $u] -{W}> B[m == $u]",
        "A[n as $u] -{W, no C[n == $u]}> B[n == $u]",
        "A[n as $u] -{W, no C[m == $u]}> B",
        "A[n as $u] -{W, no B[n == $u]}> B[m == $u]",
        "A[n as $u] -{W}> A[n == $u] -{W, no C[m == $u]}> B[n == $u]",
        "A[n as $u, m as $v] -{W}> B[n == $u, m != $v] -{W, no C[m == $v]}> C[n == $u]",
        "A[n as $u, m as $v] -{W, no C[n == $u], no C[m == $v]}> B[m == $v]",
        "A[n as $u] -{W}> B[n == $u, m == $u]",
        "A[n as $u] -{W}> B[n as $u] -{W}> C[m == $u]",
        "A[n as $u] -{W, no C[n != $u]}> B[n == $u]",
        "A -{W}> A[n > 0] -{W}> A -{W}> B[m == 1]",
        "A[n == 1] -{W}> A -{W}> A[m != 0] -{W}> B",
    ]
)
KEYED_WINDOWS = st.sampled_from([None, None, None, 0, 2, 5, 20])


@st.composite
def keyed_patterns(draw):
    def arrow(match):
        window = draw(KEYED_WINDOWS)
        items = [f"<={window}"] if window is not None else []
        items += [item.strip() for item in match.group(1).split(",") if item.strip() != "W"]
        return f" -[{', '.join(items)}]-> " if items else " -> "

    text = re.sub(r" -\{([^}]*)\}> ", arrow, draw(KEYED_TEMPLATES))
    return parse_pattern(text)


@st.composite
def keyed_events(draw):
    """One long run, where dozens of threads wait in one step (enough for them to be filed by
    value), or several shorter ones; values from a small pool, attributes often missing."""
    if draw(st.booleans()):
        partitions, sizes = ["p"], st.integers(40, 120)
    else:
        partitions, sizes = ["p", "q", "r"], st.integers(0, 20)
    events = []
    for partition in partitions:
        ts = 0
        for _ in range(draw(sizes)):
            ts += draw(st.sampled_from([0, 0, 1, 1, 2]))
            attrs = draw(st.fixed_dictionaries({}, optional={"n": KEYED_VALUES, "m": KEYED_VALUES}))
            events.append(Event(partition, ts, draw(KEYED_TYPES), attrs))
    return events


@settings(max_examples=300, deadline=None)
@given(keyed_patterns(), keyed_events())
def test_threads_found_by_value_match_alike(pattern, events):
    check_matchers_agree(pattern, events)


def test_many_threads_found_by_value_match_alike():
    """Thousands of waiting threads, so that their copies filed by value are tidied many times,
    with windows expiring some and forbidden events blocking others by value."""
    rng = random.Random(7)
    pool = [1, 1.0, 2, -0.0, 0, "1", "a", None, True, math.nan]
    events = []
    for ts in range(1200):
        typ = rng.choice("AAABBC")
        attrs = {} if rng.random() < 0.05 else {"n": rng.choice(pool + list(range(30)))}
        events.append(Event("p", ts, typ, attrs))
    for text in (
        "A[n as $u] -> B[n == $u]",
        "A[n as $u] -[<=300, no C[n == $u]]-> B[n == $u]",
        "A[n as $u] -[no C[n == $u]]-> A[n == $u] -[<=50]-> B[n == $u]",
    ):
        check_matchers_agree(parse_pattern(text), events)


def test_exhaustive_chain_without_its_last_step_finds_nothing_at_scale():
    # Without pruning the partial matches number about n**4 / 24: far beyond memory.
    events = [Event("p", ts, "A") for ts in range(20_000)]
    assert match_events(parse_pattern("A -> A -> A -> A -> B"), events, exhaustive=True) == []


# ---------------------------------------------------------------------------------------------
# Long runs whose steps are all correlated by one name are matched key by key; the matches must
# be those of the plain search, in the same order. Values of every kind meet across Int and
# Float, NaN meets nothing, a missing attribute binds Null, and a type that plays two roles
# offers two values. In first-successor mode, where nothing but `==` on that name reads the
# bindings and nothing is forbidden, each key's events are followed as chains, except the keys
# whose values are not all one value (0 and -0.0, Null), which the step matcher takes.

LONG_RUN_USERS = [1, 2, 3.0, 4.5, -0.0, 0, "a", "b", True, False, None, math.nan]
# With whether the run is split by key (not where a type offers the key through two attributes),
# and whether its keys are followed as chains in first-successor mode.
LONG_RUN_PATTERNS = [
    ("login[user as $u] -> purchase[user == $u]", True, True),
    ("login[user as $u] -[<=60, no logout[user == $u]]-> purchase[user == $u]", True, False),
    ("login[user as $u] -[<=90]-> view[user == $u] -> purchase[user == $u, user as $u]",
     True, False),
    ("login[user as $u, n as $n] -[<=40]-> login[user == $u, n > $n]", True, False),
    ("login[user as $u, n as $n] -[<=40]-> login[other == $u, n > $n]", False, False),
    ("login[user as $u, n as $n] -[<=30]-> view[user == $u, n < 3] -> purchase[user == $u]",
     True, True),
    ("login[user as $u] -> login[user == $u] -[<=20]-> purchase[user == $u, user as $v, n as $n]",
     True, True),
]


# The matcher's thresholds, read from the module so that moving one keeps its paths tested.
TUNING = _core._tuning()


def paths_taken(call):
    """`call()` and the matching strategies it took, by name."""
    _core._paths_taken()  # resets the counts
    result = call()
    return result, _core._paths_taken()


def long_run(seed, length=TUNING["split_from"] + 3_600):
    rng = random.Random(seed)
    users = LONG_RUN_USERS + list(range(10, 150))
    events = []
    for ts in range(length):
        attrs = {"n": rng.randrange(5)}
        if rng.random() < 0.97:
            attrs["user"] = rng.choice(users)
        if rng.random() < 0.3:
            attrs["other"] = rng.choice(users)
        typ = rng.choice(["login", "login", "purchase", "logout", "view"])
        events.append(Event("site", ts // 3, typ, attrs))
    return events


@pytest.mark.parametrize("text, keyed, chained", LONG_RUN_PATTERNS)
@pytest.mark.parametrize("exhaustive", [False, True])
def test_long_correlated_runs_match_alike(text, keyed, chained, exhaustive):
    events, pattern = long_run(len(text)), parse_pattern(text)
    found, taken = paths_taken(lambda: match_events(pattern, events, exhaustive))
    compiled = [key(m) for m in found]
    assert (taken["keyed"], taken["streamed"]) == ((1, 0) if keyed else (0, 1))
    chains = chained and not exhaustive
    assert taken["keyed_chains"] == chains
    if chains:
        assert taken["staged"] >= 2  # the keys of 0 and -0.0, and of Null
    assert compiled == [key(m) for m in match_events(pattern, events, exhaustive, use_oracle=True)]
    assert compiled  # the input is meant to complete some


# One worker groups run after run, each into what the last one left: longer and shorter runs,
# each with a key that mixes 1 and 1.0 and so goes to the step matcher over the grouped events.
@pytest.mark.parametrize("threads", [1, 2])
def test_long_runs_grouped_one_after_another_match_alike(threads):
    events = []
    for run, extra in enumerate([3_600, 0, 9_000]):
        rng = random.Random(run)
        for ts in range(TUNING["split_from"] + extra):
            user = rng.randrange(300)
            user = float(user) if user == 1 and rng.random() < 0.5 else user
            typ = rng.choice(["login", "purchase", "view"])
            events.append(Event(f"site{run}", ts // 2, typ, {"user": user}))
    pattern = parse_pattern("login[user as $u] -[<=40]-> purchase[user == $u]")
    found, taken = paths_taken(lambda: match_events(pattern, events, threads=threads))
    assert (taken["keyed"], taken["keyed_chains"]) == (3, 3)
    assert taken["staged"] >= 3  # the key of 1 and 1.0, once per run
    assert [key(m) for m in found] == [key(m) for m in match_events(pattern, events, use_oracle=True)]


# A key holds values that share a hash key; chains may follow it only where they are one value.
# Ints past 2^53 share the nearest double without being equal, 0.0 and -0.0 are equal in two
# payloads: the plain search decides both. Each login is followed by a purchase of its partner.
@pytest.mark.parametrize("login_user, purchase_user, meet", [
    (2**53, 2**53 + 1, False),
    (2**53 + 1, 2**53 + 1, True),
    (0.0, -0.0, True),
    (1, 1.0, True),
    ("ann", "ann", True),
])
def test_keys_of_values_that_only_share_a_hash_key(login_user, purchase_user, meet):
    events = []
    for ts in range(TUNING["split_from"]):
        events.append(Event("site", ts, "login", {"user": ts % 97}))
        events.append(Event("site", ts, "purchase", {"user": (ts + 1) % 97}))
    events += [Event("site", 10**6, "login", {"user": login_user}),
               Event("site", 10**6 + 1, "purchase", {"user": purchase_user})]
    pattern = parse_pattern("login[user as $u] -> purchase[user == $u]")
    found, taken = paths_taken(lambda: match_events(pattern, events))
    assert taken["keyed_chains"] == 1
    assert [key(m) for m in found] == [key(m) for m in match_events(pattern, events, use_oracle=True)]
    assert any(m.indices == [len(events) - 2, len(events) - 1] for m in found) == meet


# Where no key's values are all one value, no key is followed as chains: the run is split by
# key and every key goes to the step matcher, and the chains path is not counted.
@pytest.mark.parametrize("login_user, purchase_user", [
    (int, float),  # 1 and 1.0 share a key without being one value
    (lambda k: None, lambda k: None),  # Null is never one value
])
def test_runs_whose_keys_all_mix_values_take_no_chains(login_user, purchase_user):
    events = []
    for ts in range(TUNING["split_from"]):
        events.append(Event("site", ts, "login", {"user": login_user(ts % 97)}))
        events.append(Event("site", ts, "purchase", {"user": purchase_user(ts % 97)}))
    pattern = parse_pattern("login[user as $u] -> purchase[user == $u]")
    found, taken = paths_taken(lambda: match_events(pattern, events))
    assert (taken["keyed"], taken["keyed_chains"]) == (1, 0)
    assert [key(m) for m in found] == [key(m) for m in match_events(pattern, events, use_oracle=True)]


# Where every key of a long run is one value (no Null, no 1 beside 1.0), the run is followed as
# chains without being grouped: one pass over it in run order, whatever the steps, windows, other
# predicates and captures, with a type that plays two roles. Runs of several lengths, one after
# another on one worker and on two, reuse what the last one left.
EXACT_RUN_PATTERNS = [
    "login[user as $u] -> purchase[user == $u]",
    "login[user as $u] -[<=7]-> purchase[user == $u]",
    "login[user as $u, n as $n] -[<=30]-> view[user == $u, n < 3] -> purchase[user == $u]",
    "login[user as $u] -> login[user == $u] -[<=20]-> purchase[user == $u, user as $v, n as $n]",
    "login[user as $u] -[<=9]-> view[user == $u] -[<=9]-> view[user == $u] -> "
    "purchase[user == $u, n as $n]",
    "view[user as $u, n > 1] -> view[user == $u, n < 2]",
]


def exact_runs(lengths):
    """Runs of the given lengths, each user always one value: Ints, Floats, strings and Bools, as
    well as NaN, which equals nothing and so is in no key."""
    users = [2.5, -7.25, "a", "b", True, False, math.nan, 2**53 + 1] + list(range(-20, 150))
    events = []
    for run, length in enumerate(lengths):
        rng = random.Random(run)
        for ts in range(length):
            typ = rng.choice(["login", "login", "purchase", "logout", "view"])
            attrs = {"user": rng.choice(users), "n": rng.randrange(5)}
            events.append(Event(f"site{run}", ts // 3, typ, attrs))
    return events


@pytest.mark.parametrize("text", EXACT_RUN_PATTERNS)
@pytest.mark.parametrize("threads", [1, 2])
def test_runs_of_exact_keys_are_followed_without_grouping(text, threads):
    split = TUNING["split_from"]
    events, pattern = exact_runs([split + 3_000, split, split + 6_000]), parse_pattern(text)
    found, taken = paths_taken(lambda: match_events(pattern, events, threads=threads))
    assert (taken["keyed"], taken["keyed_chains"]) == (3, 3)
    assert (taken["staged"], taken["streamed"]) == (0, 0)  # no key went to the step matcher
    compiled = [key(m) for m in found]
    assert compiled == [key(m) for m in match_events(pattern, events, use_oracle=True)]
    assert compiled


# Runs of up to `cached_run` events are staged: read ahead in blocks that span several of them (a
# run may begin inside one block and end past it); longer runs are streamed, read as they come.
# Runs on either side of that size, in one list and on several threads, must match as the plain
# search does, in both modes.
@pytest.mark.parametrize("threads", [1, 2])
@pytest.mark.parametrize("exhaustive", [False, True])
def test_runs_of_every_length_match_alike(threads, exhaustive):
    rng = random.Random(11)
    events = []
    cached = TUNING["cached_run"]
    lengths = [3, 700, 500, cached - 1, cached, cached + 1, 3 * cached // 2, 1]
    lengths += [40] * 30 + [2 * cached]
    for partition, length in enumerate(lengths):
        for position in range(length):
            typ = rng.choice(["view", "cart", "purchase", "remove", "other", "noise"])
            attrs = {"item": rng.randrange(4), "amount": rng.randrange(40)}
            events.append(Event(f"p{partition:02d}", position // 2, typ, attrs))
    pattern = parse_pattern(
        "view[item as $i] -[<=6]-> cart[item == $i] "
        "-[<=10, no remove[item == $i]]-> purchase[item == $i, amount >= 20]"
    )
    found, taken = paths_taken(lambda: match_events(pattern, events, exhaustive, threads=threads))
    compiled = [key(m) for m in found]
    assert (taken["staged"], taken["streamed"]) == (len(lengths) - 3, 3)
    oracle = match_events(pattern, events, exhaustive, use_oracle=True)
    assert compiled == [key(m) for m in oracle]
    assert len({partition for partition, *_ in compiled}) >= 10


# A step's waiting partial matches are scanned while few, and filed by the value they bind once
# more than `file_above` wait: one side of the threshold and the other must match alike.
@pytest.mark.parametrize("extra, filed", [(0, False), (1, True)])
@pytest.mark.parametrize("exhaustive", [False, True])
def test_waiting_matches_filed_by_value_past_the_threshold(extra, filed, exhaustive):
    count = TUNING["file_above"] + extra
    events = [Event("p", i, "A", {"x": i % 7}) for i in range(count)]
    events += [Event("p", count + i, "B", {"x": i}) for i in range(9)]
    pattern = parse_pattern("A[x as $v] -[no C[x == $v]]-> B[x == $v]")
    found, taken = paths_taken(lambda: match_events(pattern, events, exhaustive))
    assert (taken["filed_by_value"] > 0) == filed
    oracle = match_events(pattern, events, exhaustive, use_oracle=True)
    assert [key(m) for m in found] == [key(m) for m in oracle]
    assert len(found) == count
