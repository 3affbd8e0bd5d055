"""The pattern text language: what each text parses to, and the message of each failure."""

import json
import math

import pytest

from vashlet import parse_pattern


def Int(n):
    return {"Int": n}


def Float(x):
    return {"Float": x}


def Str(text):
    return {"String": text}


def Bool(truth):
    return {"Bool": truth}


NULL = "Null"


def atom(event_type, preds=(), refs=(), caps=()):
    """preds: (attribute, operator, value); refs: (attribute, operator, binding); caps: (name, attribute)."""
    return {
        "event_type": event_type,
        "predicates": [{"attribute": a, "operator": o, "value": v} for a, o, v in preds],
        "reference_predicates": [{"attribute": a, "operator": o, "binding": b} for a, o, b in refs],
        "captures": [{"name": n, "attribute": a} for n, a in caps],
    }


def link(max_elapsed=None, absence=()):
    return {"max_elapsed": max_elapsed, "absence": list(absence)}


def pattern(first, *rest):
    """pattern(atom, link, atom, link, atom, ...)"""
    steps = [{"atom": first, "transition_from_previous": None}]
    steps += [{"atom": a, "transition_from_previous": t} for t, a in zip(rest[::2], rest[1::2])]
    return {"steps": steps, "consumption": "FirstSuccessorPerStart"}


def parsed(text):
    return json.loads(parse_pattern(text).to_json())


def error_of(text):
    with pytest.raises(ValueError) as caught:
        parse_pattern(text)
    return str(caught.value)


def literal(text):
    """The value of the single predicate in `A[x == <text>]`."""
    (pred,) = parsed(f"A[x == {text}]")["steps"][0]["atom"]["predicates"]
    return pred["value"]


AT_A, AT_B = atom("A"), atom("B")

PARSES = [
    ("login -> purchase", pattern(atom("login"), link(), atom("purchase"))),
    (
        'login[user as $u, country == "NZ"] -[<=300, no logout[user == $u]]-> '
        "purchase[user == $u, amount >= 10.5]",
        pattern(
            atom("login", preds=[("country", "Eq", Str("NZ"))], caps=[("u", "user")]),
            link(300, [atom("logout", refs=[("user", "Eq", "u")])]),
            atom("purchase", preds=[("amount", "Gte", Float(10.5))], refs=[("user", "Eq", "u")]),
        ),
    ),
    (
        "A[n > -5, ok != false, tag == null]",
        pattern(atom("A", preds=[("n", "Gt", Int(-5)), ("ok", "NotEq", Bool(False)), ("tag", "Eq", NULL)])),
    ),
    ("  A  ", pattern(AT_A)),
    ("A B", pattern(atom("A B"))),
    ("A->B", pattern(AT_A, link(), AT_B)),
    ("A - > B", pattern(atom("A - > B"))),
    ("A\n->\tB\r\n", pattern(AT_A, link(), AT_B)),
    ("A] -> B", pattern(atom("A] -> B"))),  # a stray `]` hides the transition
    ("]A[]", pattern(atom("]A"))),
    # constraint lists
    ("A -[<=10]-> B", pattern(AT_A, link(10), AT_B)),
    ("A -[ <= 10 ]-> B", pattern(AT_A, link(10), AT_B)),
    ("A -[<=10, <=20]-> B", pattern(AT_A, link(20), AT_B)),
    ("A -[<=-5]-> B", pattern(AT_A, link(-5), AT_B)),
    ("A -[<=+007]-> B", pattern(AT_A, link(7), AT_B)),
    ("A -[<=-9223372036854775808]-> B", pattern(AT_A, link(-(2**63)), AT_B)),
    ("A -[]-> B", pattern(AT_A, link(), AT_B)),
    ("A -[<=5,]-> B", pattern(AT_A, link(5), AT_B)),
    ("A -[no C, no D]-> B", pattern(AT_A, link(None, [atom("C"), atom("D")]), AT_B)),
    ("A -[no  C ]-> B", pattern(AT_A, link(None, [atom("C")]), AT_B)),
    (
        "A -[no C[x == 1]]-> B[y as $y] -> C",
        pattern(AT_A, link(None, [atom("C", preds=[("x", "Eq", Int(1))])]), atom("B", caps=[("y", "y")]),
                link(), atom("C")),
    ),
    # item lists
    ("A[]", pattern(AT_A)),
    ("A[ , x == 1 ,]", pattern(atom("A", preds=[("x", "Eq", Int(1))]))),
    ('A[x == "]"]', pattern(atom("A", preds=[("x", "Eq", Str("]"))]))),
    ("A[x >= 5]", pattern(atom("A", preds=[("x", "Gte", Int(5))]))),
    ("A[x => 5]", pattern(atom("A", preds=[("x =", "Gt", Int(5))]))),
    ("A[x <= 1, y < 2, z != 3]",
     pattern(atom("A", preds=[("x", "Lte", Int(1)), ("y", "Lt", Int(2)), ("z", "NotEq", Int(3))]))),
    ("A[x as $v]", pattern(atom("A", caps=[("v", "x")]))),
    ("A[x as $ v]", pattern(atom("A", caps=[(" v", "x")]))),
    ("A[x as $v as $w]", pattern(atom("A", caps=[("v as $w", "x")]))),
    ("A[x == $ v]", pattern(atom("A", refs=[("x", "Eq", "v")]))),
    ("A[x == $]", pattern(atom("A", refs=[("x", "Eq", "")]))),
    (
        "A[a == $u, b as $v, c < 1, d > $v]",
        pattern(atom("A", preds=[("c", "Lt", Int(1))], refs=[("a", "Eq", "u"), ("d", "Gt", "v")],
                     caps=[("v", "b")])),
    ),
    # Unicode white space trims like ASCII space, but only White_Space characters count
    ("\u3000A\u00a0->\u2028B\u0085", pattern(AT_A, link(), AT_B)),
    ("A[\u00a0x\u3000==\u20091\u202f]", pattern(atom("A", preds=[("x", "Eq", Int(1))]))),
    ("A -[<=\u300010]-> B", pattern(AT_A, link(10), AT_B)),
    ("A\u00a0B", pattern(atom("A\u00a0B"))),
    ("A\u200b", pattern(atom("A\u200b"))),
    ("A[x as $\u00a0v]", pattern(atom("A", caps=[("\u00a0v", "x")]))),
]


@pytest.mark.parametrize("text, expected", PARSES)
def test_parses_to_model(text, expected):
    assert parsed(text) == expected


@pytest.mark.parametrize(
    "text, expected",
    [
        ("1.0e5", Float(100000.0)),
        (".5", Float(0.5)),
        ("5.", Float(5.0)),
        ("-.5E-3", Float(-0.0005)),
        ("+1.5e+2", Float(150.0)),
        ("0.1", Float(0.1)),
        ("9007199254740993.0", Float(9007199254740992.0)),  # ties to even
        ("4.9406564584124654e-324", Float(5e-324)),
        ("2.4703282292062328e-324", Float(5e-324)),  # just above half the smallest subnormal
        ("1.0e-400", Float(0.0)),
        ("0.0e99999999999999999999", Float(0.0)),
        ("1.0e400", Float(None)),
        ("1.797693134862315808e308", Float(None)),
        ("1.797693134862315807e308", Float(1.7976931348623157e308)),
        ("+7", Int(7)),
        ("007", Int(7)),
        ("-0", Int(0)),
        ("9223372036854775807", Int(2**63 - 1)),
        ("-9223372036854775808", Int(-(2**63))),
        ("true", Bool(True)),
        ("false", Bool(False)),
        ("null", NULL),
        ('""', Str("")),
        ('"a"b"', Str('a"b')),
        ('" é "', Str(" é ")),
    ],
)
def test_literal(text, expected):
    assert literal(text) == expected


@pytest.mark.parametrize("text", ["-0.0", "-1.0e-400", "-.0e5"])
def test_negative_zero_keeps_its_sign(text):
    value = literal(text)["Float"]
    assert value == 0.0 and math.copysign(1.0, value) == -1.0


FAILS = [
    ("", "pattern is empty"),
    (" \t\n\u00a0\u3000", "pattern is empty"),
    ("-> B", "atom is empty"),
    ("-[<=5]-> B", "atom is empty"),
    ("[x == 1]", "atom event type is empty"),
    ("A -[no []]-> B", "atom event type is empty"),
    ("A[x == 1", "atom predicate list is missing closing `]`"),
    ("A[ -> B", "atom predicate list is missing closing `]`"),
    ("A -[no C[x == 1, y == 2]]-> B", "atom predicate list is missing closing `]`"),
    ("A[x == 1] B", "unexpected text after atom predicate list"),
    ('A[x == "]"] -> B', "unexpected text after atom predicate list"),
    ("A]x[", "unexpected text after atom predicate list"),
    ("A ->", "transition is missing a following atom"),
    ("A -> -> B", "transition is missing a following atom"),
    ("A -[<=1]->  ", "transition is missing a following atom"),
    ("A -[<=10] -> B", "transition constraint is missing closing `]->`"),
    ("A -[within 10]-> B", "unsupported transition constraint `within 10`"),
    ("A -[no]-> B", "unsupported transition constraint `no`"),
    ("A -[no\u00a0C]-> B", "unsupported transition constraint `no\u00a0C`"),
    ("A -[<=]-> B", "invalid timestamp literal ``"),
    ("A -[<=1.5]-> B", "invalid timestamp literal `1.5`"),
    ("A -[<=9223372036854775808]-> B", "invalid timestamp literal `9223372036854775808`"),
    ("A -[<=+-1]-> B", "invalid timestamp literal `+-1`"),
    ('A[note == "has as one"]', "capture binding must start with `$`"),
    ("A[x as v]", "capture binding must start with `$`"),
    ("A[x as $]", "capture binding name is empty"),
    ("A[x]", "unsupported atom predicate `x`"),
    ("A[x as ]", "unsupported atom predicate `x as`"),
    ("A[== 1]", "comparison must have an attribute and value"),
    ("A[x !=  ]", "comparison must have an attribute and value"),
    ("A[x == 1.2.3]", "invalid float literal `1.2.3`"),
    ("A[x == .]", "invalid float literal `.`"),
    ("A[x == 1.5e]", "invalid float literal `1.5e`"),
    ("A[x == 1 .5]", "invalid float literal `1 .5`"),
    ("A[x == inf.]", "invalid float literal `inf.`"),
    ('A[x == "a,b"]', 'invalid literal `"a`'),
    ('A[msg != "x==y"]', 'invalid literal `y"`'),  # `==` is searched before `!=`
    ("A[x -> y]", "invalid literal `y`"),
    ("A[x == True]", "invalid literal `True`"),
    ("A[x == 1e5]", "invalid literal `1e5`"),
    ("A[x == 1e400]", "invalid literal `1e400`"),
    ("A[x == 9223372036854775808]", "invalid literal `9223372036854775808`"),
    ("A[x == -9223372036854775809]", "invalid literal `-9223372036854775809`"),
    ('A[x == "]', 'invalid literal `"`'),
    ('A[x == "abc]', 'invalid literal `"abc`'),
    ("A[x == alice]", "invalid literal `alice`"),
    ("A[x == NaN]", "invalid literal `NaN`"),
    ("A[x == +]", "invalid literal `+`"),
    ("A[x == +-5]", "invalid literal `+-5`"),
    ("A[x == 0x10]", "invalid literal `0x10`"),
    ("A[x == 1] -> B[y == bad] -> C[", "invalid literal `bad`"),  # the first failure wins
]


@pytest.mark.parametrize("text, message", FAILS)
def test_failure_message(text, message):
    assert error_of(text) == message


def test_long_chain_parses_every_step():
    steps = parsed("A" + " -> A" * 99_999)["steps"]
    assert len(steps) == 100_000
    assert steps[-1] == {"atom": AT_A, "transition_from_previous": link()}


def test_unbalanced_brackets_at_scale():
    assert error_of("A" + "[" * 100_000 + " -> B") == "atom predicate list is missing closing `]`"
    assert parsed("A" + "]" * 100_000 + " -> B") == pattern(atom("A" + "]" * 100_000 + " -> B"))
    assert error_of("A" + " -[" * 50_000) == "transition constraint is missing closing `]->`"


@pytest.mark.parametrize("text, hits", [("1.0e400", [0]), ("-1.0e400", [1])])
def test_overflowing_float_keeps_its_sign(text, hits):
    from vashlet import Event, match_events

    events = [Event("p", 0, "A", {"x": math.inf}), Event("p", 1, "A", {"x": -math.inf})]
    found = match_events(parse_pattern(f"A[x == {text}]"), events)
    assert [m.indices[0] for m in found] == hits
