"""The pattern text language: what each text parses to, and the message of each failure."""

import json
import math

import pytest

from helpers import message_of
from vashlet import Event, match_events, parse_pattern


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


def literal(text):
    """The value of the single predicate in `A[x == <text>]`."""
    (pred,) = parsed(f"A[x == {text}]")["steps"][0]["atom"]["predicates"]
    return pred["value"]


A, B, C = atom("A"), atom("B"), atom("C")


def where(*preds):
    return pattern(atom("A", preds=preds))


@pytest.mark.parametrize("text, expected", [
    ("login -> purchase", pattern(atom("login"), link(), atom("purchase"))),
    ('login[user as $u, country == "NZ"] -[<=300, no logout[user == $u]]-> '
     "purchase[user == $u, amount >= 10.5]",
     pattern(atom("login", preds=[("country", "Eq", {"String": "NZ"})], caps=[("u", "user")]),
             link(300, [atom("logout", refs=[("user", "Eq", "u")])]),
             atom("purchase", preds=[("amount", "Gte", {"Float": 10.5})], refs=[("user", "Eq", "u")]))),
    ("A[n > -5, ok != false, tag == null, x <= 1, y < 2]",
     where(("n", "Gt", {"Int": -5}), ("ok", "NotEq", {"Bool": False}), ("tag", "Eq", "Null"),
           ("x", "Lte", {"Int": 1}), ("y", "Lt", {"Int": 2}))),
    ("A B", pattern(atom("A B"))),
    ("A->B", pattern(A, link(), B)),
    ("A - > B", pattern(atom("A - > B"))),
    ("A\n->\tB\r\n", pattern(A, link(), B)),
    ("A] -> B", pattern(atom("A] -> B"))),  # a stray `]` hides the transition
    # constraint lists
    ("A -[ <= 10 ]-> B", pattern(A, link(10), B)),
    ("A -[<=10, <=20]-> B", pattern(A, link(20), B)),  # the last window wins
    ("A -[<=+007]-> B", pattern(A, link(7), B)),
    ("A -[<=-9223372036854775808]-> B", pattern(A, link(-(2**63)), B)),
    ("A -[<=5,]-> B", pattern(A, link(5), B)),
    ("A -[no  C , no D]-> B", pattern(A, link(None, [C, atom("D")]), B)),
    ("A -[no C[x == 1]]-> B[y as $y] -> C",
     pattern(A, link(None, [atom("C", preds=[("x", "Eq", {"Int": 1})])]), atom("B", caps=[("y", "y")]),
             link(), C)),
    # item lists
    ("A[ , x == 1 ,]", where(("x", "Eq", {"Int": 1}))),
    ('A[x == "]"]', where(("x", "Eq", {"String": "]"}))),
    ("A[x => 5]", where(("x =", "Gt", {"Int": 5}))),
    ("A[x as $ v]", pattern(atom("A", caps=[(" v", "x")]))),
    ("A[x as $v as $w]", pattern(atom("A", caps=[("v as $w", "x")]))),
    ("A[x == $ v]", pattern(atom("A", refs=[("x", "Eq", "v")]))),
    ("A[x == $]", pattern(atom("A", refs=[("x", "Eq", "")]))),
    ("A[a == $u, b as $v, c < 1, d > $v]",
     pattern(atom("A", preds=[("c", "Lt", {"Int": 1})], refs=[("a", "Eq", "u"), ("d", "Gt", "v")],
                  caps=[("v", "b")]))),
    # Unicode white space trims like the ASCII space, but only White_Space characters count
    ("\u3000A\u00a0->\u2028B\u0085", pattern(A, link(), B)),
    ("A[\u00a0x\u3000==\u20091\u202f]", where(("x", "Eq", {"Int": 1}))),
    ("A\u00a0B\u200b", pattern(atom("A\u00a0B\u200b"))),
    ("A[x as $\u00a0v]", pattern(atom("A", caps=[("\u00a0v", "x")]))),
])
def test_parses_to_model(text, expected):
    assert parsed(text) == expected


@pytest.mark.parametrize("text, expected", [
    (".5", 0.5), ("5.", 5.0), ("-.5E-3", -0.0005), ("+1.5e+2", 150.0),
    ("9007199254740993.0", 9007199254740992.0),  # ties to even
    ("4.9406564584124654e-324", 5e-324),
    ("2.4703282292062328e-324", 5e-324),  # just above half the smallest subnormal
    ("1.0e-400", 0.0), ("0.0e99999999999999999999", 0.0),
    ("1.797693134862315807e308", 1.7976931348623157e308),
    ("1.797693134862315808e308", None), ("1.0e400", None),  # infinity is written as null
])
def test_float_literal(text, expected):
    assert literal(text) == {"Float": expected}


@pytest.mark.parametrize("text, expected", [
    ("+7", {"Int": 7}), ("007", {"Int": 7}), ("-0", {"Int": 0}),
    ("9223372036854775807", {"Int": 2**63 - 1}), ("-9223372036854775808", {"Int": -(2**63)}),
    ("true", {"Bool": True}), ('""', {"String": ""}), ('"a"b"', {"String": 'a"b'}),
    ('" é "', {"String": " é "}),
])
def test_other_literals(text, expected):
    assert literal(text) == expected


@pytest.mark.parametrize("text", ["-0.0", "-1.0e-400", "-.0e5"])
def test_negative_zero_keeps_its_sign(text):
    value = literal(text)["Float"]
    assert value == 0.0 and math.copysign(1.0, value) == -1.0


@pytest.mark.parametrize("text, hits", [("1.0e400", [0]), ("-1.0e400", [1])])
def test_overflowing_float_keeps_its_sign(text, hits):
    events = [Event("p", 0, "A", {"x": math.inf}), Event("p", 1, "A", {"x": -math.inf})]
    assert [m.indices[0] for m in match_events(parse_pattern(f"A[x == {text}]"), events)] == hits


@pytest.mark.parametrize("text, message", [
    (" \t\n\u00a0\u3000", "pattern is empty"),
    ("-[<=5]-> B", "atom is empty"),
    ("[x == 1]", "atom event type is empty"),
    ("A -[no C[x == 1, y == 2]]-> B", "atom predicate list is missing closing `]`"),
    ('A[x == "]"] -> B', "unexpected text after atom predicate list"),
    ("A -[<=10] -> B", "transition constraint is missing closing `]->`"),
    ("A -[no]-> B", "unsupported transition constraint `no`"),
    ("A -[no\u00a0C]-> B", "unsupported transition constraint `no\u00a0C`"),
    ("A -[<=9223372036854775808]-> B", "invalid timestamp literal `9223372036854775808`"),
    ("A -[<=+-1]-> B", "invalid timestamp literal `+-1`"),
    ('A[note == "has as one"]', "capture binding must start with `$`"),
    ("A[x as v]", "capture binding must start with `$`"),
    ("A[x as $]", "capture binding name is empty"),
    ("A[x as ]", "unsupported atom predicate `x as`"),
    ("A[x !=  ]", "comparison must have an attribute and value"),
    ("A[x == 1.2.3]", "invalid float literal `1.2.3`"),
    ("A[x == 1.5e]", "invalid float literal `1.5e`"),
    ('A[x == "a,b"]', 'invalid literal `"a`'),
    ('A[msg != "x==y"]', 'invalid literal `y"`'),  # `==` is searched before `!=`
    ("A[x == True]", "invalid literal `True`"),
    ("A[x == 1e5]", "invalid literal `1e5`"),
    ("A[x == 9223372036854775808]", "invalid literal `9223372036854775808`"),
    ('A[x == "abc]', 'invalid literal `"abc`'),
    ("A[x == +-5]", "invalid literal `+-5`"),
    ("A[x == 1] -> B[y == bad] -> C[", "invalid literal `bad`"),  # the first failure wins
])
def test_failure_message(text, message):
    assert message_of(lambda: parse_pattern(text), ValueError) == message


def test_long_texts():
    steps = parsed("A" + " -> A" * 99_999)["steps"]
    assert len(steps) == 100_000 and steps[-1] == {"atom": A, "transition_from_previous": link()}
    assert parsed("A" + "]" * 100_000 + " -> B") == pattern(atom("A" + "]" * 100_000 + " -> B"))
    assert message_of(lambda: parse_pattern("A" + "[" * 100_000 + " -> B"), ValueError) == (
        "atom predicate list is missing closing `]`")
    assert message_of(lambda: parse_pattern("A" + " -[" * 50_000), ValueError) == (
        "transition constraint is missing closing `]->`")
