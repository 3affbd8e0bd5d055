"""Pattern and PatternBuilder: what each builder method adds, binding names, transitions, reprs."""

import json

import pytest
from hypothesis import given, settings

from helpers import INT64_MAX, Index
from test_matching_properties import text_patterns
from vashlet import Event, Pattern, match_events, parse_pattern


def steps_of(builder):
    return json.loads(builder.build().to_json())["steps"]


def test_builders_never_change():
    base = Pattern.event("A")
    base_json = base.build().to_json()
    left, right = base.where_eq("x", 1), base.then("B").where_ne("y", 2)
    assert left is not base and right is not base
    assert base.build().to_json() == base_json
    assert [len(steps_of(left)), len(steps_of(right))] == [1, 2]
    assert steps_of(right)[0]["atom"]["predicates"] == []
    built = left.build()  # a built pattern is a copy
    left.where_eq("z", 3)
    assert built.to_json() == left.build().to_json()


@pytest.mark.parametrize("method, operator", [("where_eq", "Eq"), ("where_ne", "NotEq"), ("where_gt", "Gt"),
                                              ("where_gte", "Gte"), ("where_lt", "Lt"), ("where_lte", "Lte")])
def test_each_where_method_adds_its_operator_to_the_current_step(method, operator):
    first, second = steps_of(getattr(Pattern.event("A").then("B").where_eq("first", 0), method)(" x ", "v"))
    assert first["atom"]["predicates"] == []
    assert second["atom"]["predicates"] == [
        {"attribute": "first", "operator": "Eq", "value": {"Int": 0}},
        {"attribute": " x ", "operator": operator, "value": {"String": "v"}},  # attributes stay untrimmed
    ]


def test_repeated_additions_are_kept_in_order():
    builder = (Pattern.event("A").where_eq("x", 1).where_eq("x", 1)
               .capture("a", "u").capture("b", "u").where_ref_eq("c", "$u").where_ref_eq("d", "v"))
    atom = steps_of(builder)[0]["atom"]
    assert len(atom["predicates"]) == 2 and atom["predicates"][0] == atom["predicates"][1]
    assert atom["captures"] == [{"name": "u", "attribute": "a"}, {"name": "u", "attribute": "b"}]
    assert [r["binding"] for r in atom["reference_predicates"]] == ["u", "v"]
    assert [r["attribute"] for r in atom["reference_predicates"]] == ["c", "d"]


@pytest.mark.parametrize("name, stored", [
    ("  $u  ", "u"),
    ("$$u", "$u"),
    ("$ u", " u"),
    ("$u ", "u"),
    ("$", ""),
    (" \t\n\x0b\x0c\r ", ""),
    ("\u3000\u00a0$user\u2029\u0085", "user"),
    ("\u2000$\u205fu\u202f", "\u205fu"),  # only one trim, before the sigil goes
    ("\u200b$u", "\u200b$u"),  # zero-width space is not white space
    ("u\u180e", "u\u180e"),  # nor is the Mongolian vowel separator
    ("é$", "é$"),
])
def test_binding_names_are_trimmed_and_lose_one_sigil(name, stored):
    atom = steps_of(Pattern.event("A").capture("attr", name).where_ref_eq("attr", name))[0]["atom"]
    assert atom["captures"] == [{"name": stored, "attribute": "attr"}]
    assert atom["reference_predicates"][0]["binding"] == stored


@pytest.mark.parametrize("kwargs, max_elapsed, absence", [
    ({}, None, []),
    ({"within": None, "no": None}, None, []),
    ({"within": -5}, -5, []),
    ({"within": Index(INT64_MAX)}, INT64_MAX, []),
    ({"no": " C "}, None, [" C "]),
])
def test_then_builds_the_transition(kwargs, max_elapsed, absence):
    transition = steps_of(Pattern.event("A").then("B", **kwargs))[1]["transition_from_previous"]
    assert transition["max_elapsed"] == max_elapsed
    assert [atom["event_type"] for atom in transition["absence"]] == absence


def test_an_empty_event_type_matches_only_empty_types():
    events = [Event("p", 0, ""), Event("p", 1, "A")]
    assert [m.indices for m in match_events(Pattern.event(""), events)] == [[0]]


def test_reprs_count_steps():
    builder = Pattern.event("A")
    assert [repr(builder), repr(builder.then("B"))] == ["PatternBuilder(steps=1)", "PatternBuilder(steps=2)"]
    assert repr(builder.then("B").then("C").build()) == "Pattern(steps=3)"
    assert repr(parse_pattern("A -> B")) == "Pattern(steps=2)"


def test_flags_accept_numpy_bool():
    numpy = pytest.importorskip("numpy")
    pattern = Pattern.event("A").build()
    assert pattern.to_json(pretty=numpy.True_) == pattern.to_json(pretty=True)
    assert pattern.to_json(pretty=numpy.False_) == pattern.to_json()
    events = [Event("p", 0, "A"), Event("p", 1, "B"), Event("p", 2, "B")]
    two = Pattern.event("A").then("B")
    assert len(match_events(two, events, exhaustive=numpy.True_, use_oracle=numpy.True_)) == 2
    assert len(match_events(two, events, exhaustive=numpy.False_)) == 1


def read_from_json(pattern):
    """steps, types, attributes and bindings, derived from the JSON document instead."""
    steps = json.loads(pattern.to_json())["steps"]
    atoms = []
    for step in steps:
        atoms += (step["transition_from_previous"] or {}).get("absence", []) + [step["atom"]]
    attributes = [clause["attribute"] for atom in atoms
                  for kind in ("predicates", "reference_predicates", "captures") for clause in atom[kind]]
    bindings = [capture["name"] for step in steps for capture in step["atom"]["captures"]]
    return (len(steps), tuple(step["atom"]["event_type"] for step in steps),
            tuple(dict.fromkeys(attributes)), tuple(dict.fromkeys(bindings)))


@settings(max_examples=200, deadline=None)
@given(text_patterns())
def test_introspection_agrees_with_the_json_document(pattern):
    assert (pattern.steps, pattern.types, pattern.attributes, pattern.bindings) == read_from_json(pattern)


def test_introspection_reads_built_patterns():
    pattern = (Pattern.event("a").capture("x", "u").where_eq("y", 1).then("b", within=5, no="z")
               .where_ref_eq("x", "u").capture("v", "u").capture("t", "t").build())
    assert pattern.steps == 2 and pattern.types == ("a", "b")
    assert set(pattern.attributes) >= {"x", "y", "v", "t"} and pattern.bindings == ("u", "t")
    with pytest.raises(AttributeError):
        pattern.types = ()
