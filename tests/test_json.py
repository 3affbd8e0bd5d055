"""The pattern JSON document: exact output, what the reader accepts, and its positioned messages."""

import json
import math
import re

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from helpers import message_of
from vashlet import Pattern, parse_pattern, pattern_from_json

ATOM_A = '{"event_type":"A","predicates":[],"reference_predicates":[],"captures":[]}'
VALID = '{"steps":[{"atom":%s}],"consumption":"FirstSuccessorPerStart"}' % ATOM_A


def error_of(document):
    return message_of(lambda: pattern_from_json(document), ValueError)


def canonical(document):
    return pattern_from_json(document).to_json()


def value_fragment(written):
    """The first predicate's value as written: '{"Float":0.1}' or '"Null"'."""
    return re.search(r'"value":(.*?)}],"reference_predicates"', written).group(1)


# ---------------------------------------------------------------------------------------------
# Writing

EXAMPLE_COMPACT = (
    '{"steps":[{"atom":{"event_type":"A","predicates":[{"attribute":"x","operator":"Eq","value":{"Int":1}}],'
    '"reference_predicates":[],"captures":[]},"transition_from_previous":null},{"atom":{"event_type":"B",'
    '"predicates":[],"reference_predicates":[],"captures":[]},"transition_from_previous":{"max_elapsed":null,'
    '"absence":[]}}],"consumption":"FirstSuccessorPerStart"}'
)


def test_compact_and_pretty_forms_are_byte_exact():
    compact = parse_pattern("A[x == 1] -> B")
    assert compact.to_json() == compact.to_json(False) == EXAMPLE_COMPACT
    # The indented form is the one Python's own writer produces with indent=2.
    pattern = parse_pattern("A[x as $v] -[<=5, no C[é == 1]]-> B[y >= 2.5, z == $v]")
    pretty = pattern.to_json(pretty=True)
    assert pretty == json.dumps(json.loads(pattern.to_json()), indent=2, ensure_ascii=False)
    assert pattern_from_json(EXAMPLE_COMPACT).to_json(pretty=True) == compact.to_json(pretty=True)


@pytest.mark.parametrize("value, text", [
    (0.1, "0.1"), (100.0, "100.0"), (0.00001, "0.00001"), (1e-6, "1e-6"), (1.5e-7, "1.5e-7"),
    (1e15, "1000000000000000.0"), (1e16, "1e+16"), (2.5e20, "2.5e+20"), (-0.0, "-0.0"),
    (0.30000000000000004, "0.30000000000000004"), (5e-324, "5e-324"),
    (-1.7976931348623157e308, "-1.7976931348623157e+308"),
    (math.nan, "null"), (-math.inf, "null"), (-(2**63), "-9223372036854775808"),
])
def test_number_forms(value, text):
    written = value_fragment(Pattern.event("A").where_eq("x", value).build().to_json())
    assert written.split(":", 1)[1][:-1] == text


def test_string_escapes_and_raw_unicode():
    text = 'tab\t quote" back\\ slash/ nl\n cr\r ff\f bs\b nul\x00 us\x1f del\x7f é \u2028 😀'
    out = Pattern.event(text).build().to_json()
    assert ('"event_type":"tab\\t quote\\" back\\\\ slash/ nl\\n cr\\r ff\\f bs\\b nul\\u0000 us\\u001f'
            ' del\x7f é \u2028 😀"') in out
    assert json.loads(out)["steps"][0]["atom"]["event_type"] == text


# ---------------------------------------------------------------------------------------------
# Reading: accepted forms


def two_steps(transition):
    steps = '[{"atom":%s},{"atom":%s,"transition_from_previous":%s}]' % (ATOM_A, ATOM_A, transition)
    return '{"steps":%s,"consumption":"FirstSuccessorPerStart"}' % steps


@pytest.mark.parametrize("document, text", [
    # key order is free and absent options are omitted
    ('{"consumption":"FirstSuccessorPerStart","steps":[{"atom":{"captures":[],"reference_predicates":[],'
     '"predicates":[],"event_type":"A"}}]}', "A"),
    (two_steps('{"absence":[]}'), "A -> A"),
    (two_steps('{"max_elapsed":null,"absence":[]}'), "A -> A"),
    (two_steps('{"absence":[],"max_elapsed":-1}'), "A -[<=-1]-> A"),
    # unknown keys at every level, with values of every kind, are skipped
    ('{"c":{"x":[1,{"y":null}]},"steps":[{"z":true,"atom":{"event_type":"A","predicates":[],"q":"s",'
     '"reference_predicates":[],"captures":[]},"transition_from_previous":null,"n":-1.5e300}],'
     '"consumption":"FirstSuccessorPerStart","c":2}', "A"),
    # records in array form fill their fields in order, and a unit variant may be a map
    ('[[[["A",[["x","Eq",{"Int":1}]],[["u","Eq","b"]],[["b","u"]]],null],'
     '[["B",[],[],[]],[5,[["C",[],[],[]]]]]],"FirstSuccessorPerStart"]',
     "A[x == 1, u == $b, u as $b] -[<=5, no C]-> B"),
    ('{"steps":[[["A",[],[],[]],null]],"consumption":{"FirstSuccessorPerStart":null}}', "A"),
    # surrounding whitespace, and names decoded before they are compared
    (' \t\r\n{"st\\u0065ps":[{"atom":%s}],"consumption":"First\\u0053uccessorPerStart"} \n\t\r ' % ATOM_A,
     "A"),
])
def test_accepted_forms(document, text):
    assert canonical(document) == parse_pattern(text).to_json()


@pytest.mark.parametrize("value_json, written", [
    ('"Null"', '"Null"'),
    ('{"Null": null}', '"Null"'),
    ('{"Float": 1}', '{"Float":1.0}'),
    ('{"Float": -0}', '{"Float":-0.0}'),
    ('{"Float": 18446744073709551616}', '{"Float":1.8446744073709552e+19}'),
    ('{"Float": 9007199254740993}', '{"Float":9007199254740992.0}'),
    ('{"Float": 9007199254740993.0}', '{"Float":9007199254740992.0}'),  # correctly rounded
    ('{"Float": 1e-400}', '{"Float":0.0}'),
    ('{"Int": -9223372036854775808}', '{"Int":-9223372036854775808}'),
    ('{"String": "\\ud83d\\ude00\\u00e9\\u0000\\/"}', '{"String":"😀é\\u0000/"}'),
])
def test_values_read(value_json, written):
    predicate = '"predicates":[{"attribute":"x","operator":"Eq","value":%s}]' % value_json
    document = VALID.replace('"predicates":[]', predicate)
    assert value_fragment(canonical(document)) == written


@pytest.mark.parametrize("document, message", [
    ('{"steps": [], "consumption": "FirstSuccessorPerStart"}', "pattern must contain at least one step"),
    ('{"steps":[{"atom":%s,"transition_from_previous":{"absence":[]}}],"consumption":"ExhaustivePerStart"}'
     % ATOM_A, "the first pattern step cannot have a transition"),
    ('[[[%s,null],[%s,{"absence":[]}],[%s,null]],"FirstSuccessorPerStart"]' % (ATOM_A, ATOM_A, ATOM_A),
     "every step after the first must have a transition"),
])
def test_validation_messages_carry_no_position(document, message):
    assert error_of(document) == message


# ---------------------------------------------------------------------------------------------
# Reading: messages. Template rows put the fragment on line 2 after a fixed first line.

T_C = '{"steps":[],"consumption":\n'
T_ST = '{"consumption":"FirstSuccessorPerStart","steps":'
T_ATOM = T_ST + '[{"atom":{"event_type":"e","reference_predicates":[],'
T_OP = T_ATOM + '"captures":[],"predicates":[{"attribute":"a","value":"Null","operator":\n'
T_VAL = T_ATOM + '"captures":[],"predicates":[{"attribute":"a","operator":"Eq","value":\n'
T_PR = T_ATOM + '"captures":[],"predicates":\n'
T_CA = T_ATOM + '"predicates":[],"captures":\n'
T_ET = T_ST + '[{"atom":{"predicates":[],"captures":[],"event_type":\n'
T_AT = T_ST + '[{"atom":\n'
T_ME = T_ST + '[{"atom":%s,"transition_from_previous":{"absence":[],"max_elapsed":\n' % ATOM_A
T_X = '{"steps":[],"consumption":"FirstSuccessorPerStart","x":\n'

SYNTAX = [
    ("   ", "EOF while parsing a value at line 1 column 3"),
    ("{\n", "EOF while parsing an object at line 2 column 0"),
    ("[", "EOF while parsing a list at line 1 column 1"),
    (T_ME + '"\\u00', "EOF while parsing a string at line 2 column 5"),
    ('{"steps": [}', "expected value at line 1 column 12"),
    ("\ufeff" + VALID, "expected value at line 1 column 1"),
    ('{"a" 1}', "expected `:` at line 1 column 6"),
    ('{"steps":[],}', "trailing comma at line 1 column 13"),
    ('{"steps":[] "consumption":"FirstSuccessorPerStart"}', "expected `,` or `}` at line 1 column 13"),
    (T_CA + '[["u","user"] ["v","w"]]}}]}', "expected `,` or `]` at line 2 column 15"),
    (T_VAL + '{"Float":nan}}]}}]}', "expected ident at line 2 column 11"),
    ('{"a":01}', "invalid number at line 1 column 7"),
    (T_VAL + '{"Float":1e}}]}}]}', "invalid number at line 2 column 12"),
    (T_VAL + '{"Float":1e99999999999}}]}}]}', "number out of range at line 2 column 21"),
    ('{"a":"\\q"}', "invalid escape at line 1 column 8"),
    (T_ET + '"\\u12G4"}}]}', "invalid escape at line 2 column 7"),
    (T_ET + '"\\ud800"}}]}', "unexpected end of hex escape at line 2 column 8"),
    (T_ET + '"\\ud800\\u0041"}}]}', "lone leading surrogate in hex escape at line 2 column 13"),
    ('{"a":"x\ty"}', "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 7"),
    (VALID + "\u00a0", "trailing characters at line 1 column 135"),
]

DATA = [
    ("{ \n }", "missing field `steps` at line 2 column 2"),
    (T_AT + '{"event_type":"e" , "predicates":[]  }}]}',
     "missing field `reference_predicates` at line 2 column 38"),
    ('{"st\\u0065ps":[],"steps":[],"consumption":"FirstSuccessorPerStart"}',
     "duplicate field `steps` at line 1 column 24"),
    ('{"consumption":"X","steps":5}',
     "unknown variant `X`, expected one of `FirstSuccessorPerStart`, `ExhaustivePerStart`,"
     " `NonOverlapping` at line 1 column 18"),
    (T_OP + '"eq"}]}}]}',
     "unknown variant `eq`, expected one of `Eq`, `NotEq`, `Gt`, `Gte`, `Lt`, `Lte` at line 2 column 4"),
    (T_VAL + '{"Text": "x"}}]}}]}',
     "unknown variant `Text`, expected one of `String`, `Int`, `Float`, `Bool`, `Null` at line 2 column 7"),
    (T_C + "{}}", "expected value at line 2 column 2"),
    (T_C + '{"ExhaustivePerStart":null,"B":null}}', "expected value at line 2 column 26"),
    (T_C + '{"ExhaustivePerStart": 1}}', "invalid type: integer `1`, expected unit at line 2 column 24"),
    (T_VAL + '"Int"}]}}]}', "invalid type: unit variant, expected newtype variant at line 2 column 6"),
    (T_VAL + '{"Int": 1.0}}]}}]}', "invalid type: floating point `1.0`, expected i64 at line 2 column 11"),
    (T_VAL + '{"Int": -0}}]}}]}', "invalid type: floating point `-0.0`, expected i64 at line 2 column 10"),
    # Numbers in messages are printed as the float text writes them.
    (T_VAL + '{"Int":1e15}}]}}]}',
     "invalid type: floating point `1000000000000000.0`, expected i64 at line 2 column 11"),
    (T_VAL + '{"Int":100000000000000000000}}]}}]}',
     "invalid type: floating point `1e+20`, expected i64 at line 2 column 28"),
    (T_VAL + '{"Int": 9223372036854775808}}]}}]}',
     "invalid value: integer `9223372036854775808`, expected i64 at line 2 column 27"),
    (T_VAL + '{"Int": -9223372036854775809}}]}}]}',
     "invalid type: floating point `-9.223372036854776e+18`, expected i64 at line 2 column 28"),
    (T_VAL + '{"Float": null}}]}}]}', "invalid type: null, expected f64 at line 2 column 14"),
    (T_VAL + '{"Bool": "true"}}]}}]}', 'invalid type: string "true", expected a boolean at line 2 column 15'),
    (T_ET + "[]}}]}", "invalid type: sequence, expected a string at line 2 column 0"),
    (T_PR + "[null]}}]}", "invalid type: null, expected struct Predicate at line 2 column 5"),
    ("-1.5", "invalid type: floating point `-1.5`, expected struct Pattern at line 1 column 4"),
    ('{\r\n"steps":1}', "invalid type: integer `1`, expected a sequence at line 2 column 9"),
    ('{"éé":1,"steps":5}', "invalid type: integer `5`, expected a sequence at line 1 column 19"),
    ("[[]]", "invalid length 1, expected struct Pattern with 2 elements at line 1 column 4"),
    (T_CA + '[["u"]]}}]}', "invalid length 1, expected struct Capture with 2 elements at line 2 column 6"),
    (T_CA + '[["u","user","extra"]]}}]}', "trailing characters at line 2 column 14"),
]


@pytest.mark.parametrize("document, message", SYNTAX + DATA)
def test_reader_messages(document, message):
    assert error_of(document) == message


# ---------------------------------------------------------------------------------------------
# Hostile documents: refused with a message, in bounded time and memory


def test_nesting_limit_applies_under_unknown_keys():
    def nested(depth):
        return '{"x":%s%s,%s' % ("[" * depth, "]" * depth, VALID[1:])

    assert canonical(nested(127)) == canonical(VALID)  # 128 levels with the outer object
    assert error_of(nested(128)) == "recursion limit exceeded at line 1 column 133"
    assert error_of(T_X + '{"a":' * 1_000_000) == "recursion limit exceeded at line 2 column 636"


HOSTILE = {
    "a million brackets": ("[" * 1_000_000, "invalid type: sequence, expected a string at line 1 column 4"),
    "unterminated 10 MB string": (T_X + '"' + "a" * 10_000_000,
                                  "EOF while parsing a string at line 2 column 10000001"),
    "10 MB number": (T_VAL + '{"Float":1' + "0" * 10_000_000 + "}}]}}]}",
                     "number out of range at line 2 column 10000010"),
    "10 MB of spaces": (" " * 10_000_000, "EOF while parsing a value at line 1 column 10000000"),
    "NUL between members": ('{"steps":[],\x00}', "key must be a string at line 1 column 13"),
    "lone low surrogate in a key": ('{"\\udc00":1}',
                                    "lone leading surrogate in hex escape at line 1 column 8"),
    "lone high surrogate in a skipped value": (T_X + '"\\ud800x"}',
                                               "unexpected end of hex escape at line 2 column 8"),
}


@pytest.mark.parametrize("document, message", HOSTILE.values(), ids=HOSTILE.keys())
def test_hostile_documents_are_refused(document, message):
    assert error_of(document) == message


def test_ten_megabyte_document_reads():
    event_type = "é" * 2_500_000
    document = '{"pad":"%s",%s' % ("x" * 5_000_000, VALID.replace('"A"', '"%s"' % event_type)[1:])
    assert json.loads(canonical(document))["steps"][0]["atom"]["event_type"] == event_type


# ---------------------------------------------------------------------------------------------
# Round trip

names = st.text(max_size=6)
values = st.one_of(st.none(), st.booleans(), st.integers(min_value=-(2**63), max_value=2**63 - 1),
                   st.floats(allow_nan=False, allow_infinity=False), names)
where = st.sampled_from(["where_eq", "where_ne", "where_gt", "where_gte", "where_lt", "where_lte"])
step_items = st.lists(st.one_of(st.tuples(where, names, values),
                                st.tuples(st.sampled_from(["capture", "where_ref_eq"]), names, names)),
                      max_size=4)
later_steps = st.lists(st.tuples(names, st.none() | st.integers(min_value=-(2**63), max_value=2**63 - 1),
                                 st.none() | names, step_items), max_size=3)


@settings(max_examples=300, deadline=None)
@given(names, step_items, later_steps)
def test_reading_what_was_written_writes_the_same_text(first_type, first_items, rest):
    builder = Pattern.event(first_type)
    for typ, within, no, items in [(None, None, None, first_items)] + rest:
        if typ is not None:
            builder = builder.then(typ, within=within, no=no)
        for method, a, b in items:
            builder = getattr(builder, method)(a, b)
    pattern = builder.build()
    compact, pretty = pattern.to_json(), pattern.to_json(pretty=True)
    assert pattern_from_json(compact).to_json() == compact
    assert pattern_from_json(pretty).to_json(pretty=True) == pretty
    assert pattern_from_json(pretty).to_json() == compact
    assert json.loads(compact) == json.loads(pretty)

