"""Pattern and PatternBuilder, the three pattern functions' Python faces, and match_events' arguments."""

import inspect
import json
import sys

import pytest

from vashlet import (
    Event,
    Match,
    Pattern,
    PatternBuilder,
    match_events,
    parse_pattern,
    pattern_from_json,
    sort_events,
)

ORDER_ERROR = (
    "events must be grouped by partition and sorted by (timestamp, input order); "
    "call sort_events first"
)
COERCE_ERROR = "expected a Pattern, a pattern builder, or the result of parse_pattern()"
VALUE_ERROR = "event attribute values must be str, int, float, bool, or None"


def steps_of(builder):
    return json.loads(builder.build().to_json())["steps"]


def type_error(call):
    with pytest.raises(TypeError) as caught:
        call()
    assert type(caught.value) is TypeError
    return str(caught.value)


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


# ---------------------------------------------------------------------------------------------
# Building


def test_builders_never_change():
    base = Pattern.event("A")
    base_json = base.build().to_json()
    left = base.where_eq("x", 1)
    right = base.then("B").where_ne("y", 2)
    assert left is not base and right is not base
    assert repr(base) == "PatternBuilder(steps=1)"
    assert base.build().to_json() == base_json
    assert steps_of(left)[0]["atom"]["predicates"] == [
        {"attribute": "x", "operator": "Eq", "value": {"Int": 1}}
    ]
    assert len(steps_of(right)) == 2 and steps_of(right)[0]["atom"]["predicates"] == []
    # A built pattern is a copy: extending the builder afterwards does not reach it.
    built = left.build()
    left.where_eq("z", 3)
    assert built.to_json() == left.build().to_json()


@pytest.mark.parametrize(
    "method, operator",
    [("where_eq", "Eq"), ("where_ne", "NotEq"), ("where_gt", "Gt"),
     ("where_gte", "Gte"), ("where_lt", "Lt"), ("where_lte", "Lte")],
)
def test_each_where_method_adds_its_operator_to_the_current_step(method, operator):
    builder = getattr(Pattern.event("A").then("B").where_eq("first", 0), method)(" x ", "v")
    first, second = steps_of(builder)
    assert first["atom"]["predicates"] == []
    assert second["atom"]["predicates"] == [
        {"attribute": "first", "operator": "Eq", "value": {"Int": 0}},
        {"attribute": " x ", "operator": operator, "value": {"String": "v"}},  # untrimmed
    ]


def test_repeated_additions_are_kept_in_order():
    builder = (Pattern.event("A").where_eq("x", 1).where_eq("x", 1)
               .capture("a", "u").capture("b", "u").where_ref_eq("c", "$u").where_ref_eq("d", "v"))
    atom = steps_of(builder)[0]["atom"]
    assert len(atom["predicates"]) == 2 and atom["predicates"][0] == atom["predicates"][1]
    assert atom["captures"] == [{"name": "u", "attribute": "a"}, {"name": "u", "attribute": "b"}]
    assert atom["reference_predicates"] == [
        {"attribute": "c", "operator": "Eq", "binding": "u"},
        {"attribute": "d", "operator": "Eq", "binding": "v"},
    ]


@pytest.mark.parametrize(
    "name, stored",
    [
        ("u", "u"),
        ("$u", "u"),
        ("  $u  ", "u"),
        ("$$u", "$u"),
        ("$ u", " u"),
        ("$u ", "u"),
        ("$", ""),
        ("", ""),
        (" \t\n\x0b\x0c\r ", ""),
        ("\u3000\u00a0$user\u2029\u0085", "user"),
        ("\u2000$\u205fu\u202f", "\u205fu"),   # only one trim, before the sigil goes
        ("\u200b$u", "\u200b$u"),              # zero-width space is not white space
        ("u\u180e", "u\u180e"),                # nor is the Mongolian vowel separator
        ("U$", "U$"),
        ("é$", "é$"),
    ],
)
def test_binding_names_are_trimmed_and_lose_one_sigil(name, stored):
    atom = steps_of(Pattern.event("A").capture("attr", name).where_ref_eq("attr", name))[0]["atom"]
    assert atom["captures"] == [{"name": stored, "attribute": "attr"}]
    assert atom["reference_predicates"][0]["binding"] == stored


# ---------------------------------------------------------------------------------------------
# Predicate values


@pytest.mark.parametrize(
    "value, stored",
    [
        (True, {"Bool": True}),
        (1, {"Int": 1}),
        (2**63, {"Float": 9.223372036854776e18}),
        (1.5, {"Float": 1.5}),
        (None, "Null"),
        ("s", {"String": "s"}),
    ],
)
def test_where_values_keep_their_kind(value, stored):
    assert steps_of(Pattern.event("A").where_eq("x", value))[0]["atom"]["predicates"][0][
        "value"
    ] == stored


@pytest.mark.parametrize("value", [[1], b"x", {}, 10**400, "\ud800", object()])
def test_unsupported_where_values_raise_without_a_parameter_name(value):
    assert type_error(lambda: Pattern.event("A").where_lt("x", value)) == VALUE_ERROR


def test_the_attribute_is_converted_before_the_value():
    assert type_error(lambda: Pattern.event("A").where_eq(1, [1])) == (
        "argument 'attribute': 'int' object cannot be converted to 'PyString'"
    )


def test_numpy_scalars_convert_by_kind():
    numpy = pytest.importorskip("numpy")
    cases = [
        (numpy.True_, {"Bool": True}),
        (numpy.bool_(False), {"Bool": False}),
        (numpy.int64(-3), {"Int": -3}),
        (numpy.float64(0.25), {"Float": 0.25}),
    ]
    for value, stored in cases:
        atom = steps_of(Pattern.event("A").where_eq("x", value))[0]["atom"]
        assert atom["predicates"][0]["value"] == stored
    flag = Event("p", 0, "A", {"flag": numpy.True_}).attrs["flag"]
    assert flag is True
    # A NumPy truth value in the events matches a Python truth value in the pattern.
    events = [Event("p", 0, "A", {"flag": numpy.True_}), Event("p", 1, "A", {"flag": 1.0})]
    matched = match_events(Pattern.event("A").where_eq("flag", True), events)
    assert [m.indices for m in matched] == [[0]]


# ---------------------------------------------------------------------------------------------
# then()


@pytest.mark.parametrize(
    "kwargs, transition",
    [
        ({}, {"max_elapsed": None, "absence": []}),
        ({"within": None, "no": None}, {"max_elapsed": None, "absence": []}),
        ({"within": 0}, {"max_elapsed": 0, "absence": []}),
        ({"within": -5}, {"max_elapsed": -5, "absence": []}),
        ({"within": True}, {"max_elapsed": 1, "absence": []}),
        ({"within": Index(2**63 - 1)}, {"max_elapsed": 2**63 - 1, "absence": []}),
        ({"no": ""}, {"max_elapsed": None, "absence": [""]}),
        ({"no": " C "}, {"max_elapsed": None, "absence": [" C "]}),
    ],
)
def test_then_builds_the_transition(kwargs, transition):
    step = steps_of(Pattern.event("A").then("B", **kwargs))[1]
    got = step["transition_from_previous"]
    assert got["max_elapsed"] == transition["max_elapsed"]
    assert [atom["event_type"] for atom in got["absence"]] == transition["absence"]


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda b: b.then("B", within=1.5),
         "argument 'within': 'float' object cannot be interpreted as an integer"),
        (lambda b: b.then("B", no=5), "argument 'no': 'int' object cannot be converted to 'PyString'"),
        # typ is converted first, then within, then no.
        (lambda b: b.then(1, within=1.5, no=2),
         "argument 'typ': 'int' object cannot be converted to 'PyString'"),
        (lambda b: b.then("B", within=1.5, no=2),
         "argument 'within': 'float' object cannot be interpreted as an integer"),
        (lambda b: b.then(), "PatternBuilder.then() missing 1 required positional argument: 'typ'"),
        (lambda b: b.then("B", 1, "C", 4),
         "PatternBuilder.then() takes from 1 to 3 positional arguments but 4 were given"),
        (lambda b: b.capture("a"), "PatternBuilder.capture() missing 1 required positional "
                                   "argument: 'name'"),
        (lambda b: b.where_ref_eq(b"a", "u"),
         "argument 'attribute': 'bytes' object cannot be converted to 'PyString'"),
        (lambda b: b.where_gte("a", valu=1),
         "PatternBuilder.where_gte() got an unexpected keyword argument 'valu'"),
        (lambda b: b.build(1), "PatternBuilder.build() takes 0 positional arguments but 1 was given"),
        (lambda b: Pattern.event(), "Pattern.event() missing 1 required positional argument: 'typ'"),
        (lambda b: Pattern.event(3), "argument 'typ': 'int' object cannot be converted to 'PyString'"),
        (lambda b: b.build().to_json(pretty=1),
         "argument 'pretty': 'int' object cannot be converted to 'PyBool'"),
    ],
)
def test_builder_argument_errors(call, message):
    assert type_error(lambda: call(Pattern.event("A"))) == message


def test_window_overflow_passes_through():
    with pytest.raises(OverflowError):
        Pattern.event("A").then("B", within=2**63)


def test_empty_event_type_is_accepted_and_matches_only_empty_types():
    events = [Event("p", 0, ""), Event("p", 1, "A")]
    assert [m.indices for m in match_events(Pattern.event(""), events)] == [[0]]


# ---------------------------------------------------------------------------------------------
# Pattern


def test_reprs_count_steps():
    builder = Pattern.event("A")
    assert repr(builder) == "PatternBuilder(steps=1)"
    assert repr(builder.then("B")) == "PatternBuilder(steps=2)"
    assert repr(builder.then("B").then("C").build()) == "Pattern(steps=3)"
    assert repr(parse_pattern("A -> B")) == "Pattern(steps=2)"


def test_to_json_switches_between_compact_and_indented():
    pattern = Pattern.event("A").then("B").build()
    compact, pretty = pattern.to_json(), pattern.to_json(pretty=True)
    assert "\n" not in compact and pretty.startswith('{\n  "steps": [')
    assert json.loads(compact) == json.loads(pretty)
    assert pattern.to_json(False) == compact


def test_flags_accept_numpy_bool():
    numpy = pytest.importorskip("numpy")
    pattern = Pattern.event("A").build()
    assert pattern.to_json(pretty=numpy.True_) == pattern.to_json(pretty=True)
    assert pattern.to_json(pretty=numpy.False_) == pattern.to_json()
    events = [Event("p", 0, "A"), Event("p", 1, "B"), Event("p", 2, "B")]
    two = Pattern.event("A").then("B")
    assert len(match_events(two, events, exhaustive=numpy.True_, use_oracle=numpy.True_)) == 2
    assert len(match_events(two, events, exhaustive=numpy.False_)) == 1


@pytest.mark.parametrize("text", ["A", "A -> B", "A[x == 1] -[<=5, no C]-> B[y as $u]"])
def test_json_round_trip_keeps_the_pattern(text):
    pattern = parse_pattern(text)
    again = pattern_from_json(pattern.to_json(pretty=True))
    assert again.to_json() == pattern.to_json()


def test_builder_and_text_make_the_same_pattern():
    built = Pattern.event("login").capture("user", "$u").then("purchase", within=300, no="logout")
    built = built.where_ref_eq("user", "u").where_gte("amount", 10.5).build()
    text = parse_pattern("login[user as $u] -[<=300, no logout]-> purchase[user == $u, amount >= 10.5]")
    assert built.to_json() == text.to_json()


# ---------------------------------------------------------------------------------------------
# Class policy, docstrings and text signatures

PATTERN_BUILDER_DOC = (
    "A small fluent builder for the stable human-facing construction path.\n"
    "\n"
    "The text DSL remains experimental; this builder covers the common\n"
    "event-type, predicate, capture/reference, window, and absence subset used by\n"
    "the examples."
)


@pytest.mark.parametrize("cls", [Pattern, PatternBuilder, Match])
def test_classes_cannot_be_instantiated_or_subclassed(cls):
    assert type_error(lambda: cls()) == f"No constructor defined for {cls.__name__}"
    assert type_error(lambda: cls(1, x=2)) == f"No constructor defined for {cls.__name__}"
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    assert (cls.__module__, cls.__qualname__) == ("builtins", cls.__name__)


def test_patterns_are_opaque():
    builder = Pattern.event("A")
    pattern = builder.build()
    with pytest.raises(AttributeError):
        pattern.extra = 1
    assert builder.build() != builder.build()
    with pytest.raises(AttributeError):
        pattern.steps
    with pytest.raises(AttributeError):
        builder.to_json


def test_class_docstrings():
    assert Pattern.__doc__ == "A compiled or parsed pattern, ready to match."
    assert PatternBuilder.__doc__ == PATTERN_BUILDER_DOC
    assert Match.__doc__ == "A single match, carrying its participating events and captured bindings."


@pytest.mark.parametrize(
    "member, signature, doc",
    [
        (Pattern.event, "(typ)", "Start a builder for a pattern whose first step matches `typ`."),
        (Pattern.to_json, "($self, pretty=False)", "Serialise the pattern to the stable JSON AST."),
        (PatternBuilder.where_eq, "($self, attribute, value)",
         "Add `attribute == value` to the current step."),
        (PatternBuilder.where_ne, "($self, attribute, value)",
         "Add `attribute != value` to the current step."),
        (PatternBuilder.where_gt, "($self, attribute, value)",
         "Add `attribute > value` to the current step."),
        (PatternBuilder.where_gte, "($self, attribute, value)",
         "Add `attribute >= value` to the current step."),
        (PatternBuilder.where_lt, "($self, attribute, value)",
         "Add `attribute < value` to the current step."),
        (PatternBuilder.where_lte, "($self, attribute, value)",
         "Add `attribute <= value` to the current step."),
        (PatternBuilder.capture, "($self, attribute, name)",
         "Capture `attribute` from the current step as `$name`."),
        (PatternBuilder.where_ref_eq, "($self, attribute, name)",
         "Add `attribute == $name` to the current step."),
        (PatternBuilder.then, "($self, typ, within=None, no=None)",
         "Append a step matching `typ`, optionally within `within` time units of\n"
         "the previous step and forbidding an intervening event of type `no`."),
        (PatternBuilder.build, "($self)", "Finalise the builder into a [`PyPattern`]."),
        (parse_pattern, "(text)", "Parse the Phase 1 text subset into a [`PyPattern`]."),
        (pattern_from_json, "(json)",
         "Build a pattern from the stable JSON AST, validating its structure."),
        (match_events, "(pattern, events, exhaustive=False, use_oracle=False)",
         "Run a pattern over already-sorted events.\n"
         "\n"
         "Raises `ValueError` if the events are not grouped by partition and sorted by\n"
         "`(timestamp, input order)`; callers should use the high-level `match`\n"
         "wrapper or [`sort_events`] first."),
    ],
)
def test_signatures_and_docstrings(member, signature, doc):
    assert member.__text_signature__ == signature
    assert member.__doc__ == doc
    inspect.signature(member)  # the text signature parses


def test_builder_members_in_their_documented_order():
    members = [name for name in vars(PatternBuilder) if not name.startswith("_")]
    assert members == ["where_eq", "where_ne", "where_gt", "where_gte", "where_lt", "where_lte",
                       "capture", "where_ref_eq", "then", "build"]
    assert isinstance(vars(Pattern)["event"], staticmethod)


@pytest.mark.parametrize(
    "call, receiver, cls",
    [
        (lambda: PatternBuilder.then(5, "x"), "int", "PatternBuilder"),
        (lambda: PatternBuilder.build(Pattern.event("A").build()), "Pattern", "PatternBuilder"),
        (lambda: Pattern.to_json(Pattern.event("A")), "PatternBuilder", "Pattern"),
        (lambda: PatternBuilder.__repr__(None), "NoneType", "PatternBuilder"),
        (lambda: Match.partition.__get__(Event("p", 0, "A")), "Event", "Match"),
    ],
)
def test_unbound_calls_refuse_a_foreign_receiver(call, receiver, cls):
    # The interpreter's descriptors check the receiver before native code runs.
    message = type_error(call)
    assert f"'{receiver}'" in message or f"'builtins.{receiver}'" in message
    assert cls in message


# ---------------------------------------------------------------------------------------------
# parse_pattern, pattern_from_json and match_events arguments


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: parse_pattern(b"A"), "argument 'text': 'bytes' object cannot be converted to 'PyString'"),
        (lambda: pattern_from_json(None),
         "argument 'json': 'NoneType' object cannot be converted to 'PyString'"),
        (lambda: parse_pattern("A", "B"), "parse_pattern() takes 1 positional arguments but 2 were given"),
        (lambda: match_events(Pattern.event("A")),
         "match_events() missing 1 required positional argument: 'events'"),
        (lambda: match_events(Pattern.event("A"), [], exhaustive=1),
         "argument 'exhaustive': 'int' object cannot be converted to 'PyBool'"),
        (lambda: match_events(Pattern.event("A"), [], use_oracle=None),
         "argument 'use_oracle': 'NoneType' object cannot be converted to 'PyBool'"),
        (lambda: match_events(Pattern.event("A"), [Event("p", 0, "A"), 1]),
         "argument 'events': 'int' object cannot be converted to 'Event'"),
    ],
)
def test_function_argument_errors(call, message):
    assert type_error(call) == message


@pytest.mark.parametrize("pattern", ["A -> B", None, {"steps": []}, Event("p", 0, "A"), Pattern])
def test_only_patterns_and_builders_are_accepted(pattern):
    assert type_error(lambda: match_events(pattern, [])) == COERCE_ERROR


def test_core_messages_become_value_errors():
    with pytest.raises(ValueError, match="^pattern is empty$"):
        parse_pattern("  ")
    with pytest.raises(ValueError, match=r" at line 1 column \d+$"):
        pattern_from_json("{")


def test_arguments_are_checked_in_order():
    unsorted = [Event("b", 0, "A"), Event("a", 0, "A")]
    # events first, then the flags, then the order, then the pattern.
    assert type_error(lambda: match_events("A", None, exhaustive=1)).startswith("argument 'events'")
    assert type_error(lambda: match_events("A", unsorted, exhaustive=1)).startswith(
        "argument 'exhaustive'")
    assert type_error(lambda: match_events("A", unsorted, use_oracle=1)).startswith(
        "argument 'use_oracle'")
    with pytest.raises(ValueError) as caught:
        match_events("A", unsorted)
    assert str(caught.value) == ORDER_ERROR
    assert match_events(Pattern.event("A"), sort_events(unsorted), use_oracle=True)[0].partition == "a"


def test_events_may_be_any_sequence_of_events():
    events = (Event("p", 0, "A"), Event("p", 1, "B"))
    assert [m.indices for m in match_events(Pattern.event("B"), events)] == [[1]]
    assert match_events(Pattern.event("B"), []) == []


def test_a_builder_matches_like_its_built_pattern():
    events = sort_events([Event("u", t, typ) for t, typ in [(0, "A"), (1, "B"), (2, "A"), (3, "B")]])
    builder = Pattern.event("A").then("B", within=5)
    assert [m.indices for m in match_events(builder, events)] == [
        m.indices for m in match_events(builder.build(), events)
    ] == [[0, 1], [2, 3]]


def test_exhaustive_does_not_leak_into_the_pattern():
    events = [Event("p", 0, "A"), Event("p", 1, "B"), Event("p", 2, "B")]
    pattern = parse_pattern("A -> B")
    before = pattern.to_json()
    assert len(match_events(pattern, events, exhaustive=True)) == 2
    assert pattern.to_json() == before
    assert len(match_events(pattern, events)) == 1


def test_a_pattern_that_is_exhaustive_stays_so_without_the_flag():
    events = [Event("p", 0, "A"), Event("p", 1, "B"), Event("p", 2, "B")]
    document = json.loads(parse_pattern("A -> B").to_json())
    document["consumption"] = "ExhaustivePerStart"
    pattern = pattern_from_json(json.dumps(document))
    for use_oracle in (False, True):
        found = match_events(pattern, events, exhaustive=False, use_oracle=use_oracle)
        assert [m.indices for m in found] == [[0, 1], [0, 2]]


# ---------------------------------------------------------------------------------------------
# Reference counts: nothing passed in is kept or dropped, whether the call succeeds or fails


def fresh(text):
    return "".join([text, "!"])


def refcounts(objects):
    return [sys.getrefcount(o) for o in objects]


def test_successful_calls_keep_reference_counts():
    typ, attr, name, value, window = fresh("A"), fresh("x"), fresh("$u"), fresh("v"), 10**12 + 1
    events = [Event("p", 0, typ, {attr: value}), Event("p", 1, "B", {attr: value})]
    watched = [typ, attr, name, value, window, events, *events]
    before = refcounts(watched)
    for _ in range(100):
        builder = (Pattern.event(typ).where_eq(attr, value).capture(attr, name)
                   .then("B", within=window, no=typ).where_ref_eq(attr, name))
        pattern = builder.build()
        pattern.to_json(pretty=True), repr(builder), repr(pattern)
        for exhaustive in (False, True):
            for m in match_events(builder, events, exhaustive=exhaustive, use_oracle=exhaustive):
                m.events, m.captures, m.types, m.indices, repr(m)
        pattern_from_json(pattern.to_json())
        parse_pattern(typ)
    del builder, pattern, m
    assert refcounts(watched) == before


@pytest.mark.parametrize(
    "call",
    [
        lambda a: Pattern.event(a[0]).where_eq(a[1], a[2]),
        lambda a: Pattern.event(a[0]).then(a[0], within=a[2]),
        lambda a: Pattern.event(a[0]).then(a[0], no=a[2]),
        lambda a: Pattern.event(a[0]).capture(a[2], a[1]),
        lambda a: Pattern.event(a[0]).build().to_json(pretty=a[1]),
        lambda a: match_events(a[1], a[3]),
        lambda a: match_events(Pattern.event(a[0]), a[3], exhaustive=a[2]),
        lambda a: match_events(Pattern.event(a[0]), [a[3][1], a[3][0]]),
        lambda a: parse_pattern(a[1] + " ->"),
        lambda a: pattern_from_json(a[1]),
        lambda a: PatternBuilder.then(a[2], a[0]),
    ],
)
def test_failed_calls_keep_reference_counts(call):
    args = (fresh("A"), fresh("x"), [fresh("bad")], [Event("p", 0, "A"), Event("p", 1, "A")])
    watched = [*args, *args[2], *args[3]]
    before = refcounts(watched)
    for _ in range(50):
        with pytest.raises((TypeError, ValueError)):
            call(args)
    assert refcounts(watched) == before
