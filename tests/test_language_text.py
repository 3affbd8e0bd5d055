"""The pattern language's text: carets under typical mistakes, the one-line notation's patterns
read the same, every pattern written back by to_text, and how text given to the entry points
is read."""

import json
import math
import string
import warnings

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import vashlet
from helpers import cli
from vashlet._inputs import as_pattern


@pytest.mark.parametrize(
    "text, message, line, caret",
    [
        ('login[user == "ann", amount > 10 -> purchase',
         "expected `,` or `]` to close the item list opened at column 6, found `->` at column 34",
         'login[user == "ann", amount > 10 -> purchase', "                                 ^^"),
        ("page view -> cart",
         "expected `->`, `-[`, `$`, `within` or the end of the pattern at column 6: a name of "
         "several words is quoted, as in `page view`",
         "page view -> cart", "     ^^^^"),
        ("A -> B{3,2}", "the maximum count is below the minimum at column 7", "A -> B{3,2}",
         "      ^^^^^"),
        ("A{0,} -> B", "the first element cannot be optional at column 2: a match starts with an event",
         "A{0,} -> B", " ^^^^"),
        ('A[path == "C:\\q"]',
         'unknown escape at column 14: a string takes \\" \\\\ \\n \\t \\r and \\uXXXX',
         'A[path == "C:\\q"]', "             ^^"),
        ("A -[<=5m, <=1m]-> B", "a transition holds one `<=` bound at column 11",
         "A -[<=5m, <=1m]-> B", "          ^^"),
        ("A ->\n  B[x == 1e5]",
         "invalid literal `1e5` at line 2, column 10: write a string in double quotes, a number, "
         "true, false or null", "  B[x == 1e5]", "         ^^^"),
        ("A\t-> B[", "expected an attribute name, found the end of the pattern at column 8",
         "A\t-> B[", " \t     ^"),
    ],
)
def test_mistakes_name_the_column_under_a_caret(text, message, line, caret):
    with pytest.raises(ValueError) as raised:
        vashlet.pattern(text)
    assert str(raised.value) == f"{message}\n  {line}\n  {caret}"


# The one-line notation's patterns whose names are identifiers and whose strings hold nothing
# that notation cuts at (`,` `[` `]` `"`, comparison signs, ` as `, and `\`, an escape here).
names = st.text(string.ascii_letters + string.digits + "_.:", min_size=1, max_size=5)
gap = st.sampled_from(["", " "])
plain_strings = st.text(string.ascii_letters + string.digits + " _.:;/+*?()|{}^'@#%&~", max_size=6)
literals = st.one_of(
    plain_strings.filter(lambda s: " as " not in f" {s} ").map(lambda s: f'"{s}"'),
    st.integers(-(2**63), 2**63 - 1).map(str),
    st.integers(0, 99).map(lambda n: f"+{n}"),
    st.from_regex(r"-?[0-9]{0,3}\.[0-9]{1,3}([eE]-?[0-9]{1,3})?", fullmatch=True),
    st.sampled_from(["true", "false", "null"]),
)
operators = st.sampled_from(["==", "!=", "<", "<=", ">", ">="])
bounds = st.one_of(st.integers(-5, 10**12).map(str), st.sampled_from(["5m", "1h30m", "0s", "250ms", "2d"]))


@st.composite
def one_line_items(draw):
    attribute = draw(names)
    kind = draw(st.sampled_from(["literal", "reference", "capture"]))
    if kind == "capture":
        return f"{attribute} as ${draw(names)}"
    operand = draw(literals) if kind == "literal" else "$" + draw(names)
    return f"{attribute}{draw(gap)}{draw(operators)}{draw(gap)}{operand}"


def one_line_atoms(max_items):
    @st.composite
    def atom(draw):
        items = draw(st.lists(one_line_items(), max_size=max_items))
        listed = f"{draw(gap)}[{', '.join(items)}]" if items or draw(st.booleans()) else ""
        return draw(names) + listed

    return atom()


@st.composite
def one_line_transitions(draw):
    constraints = draw(st.lists(st.one_of(bounds.map(lambda b: f"<={b}"),
                                          one_line_atoms(1).map(lambda a: f"no {a}")), max_size=3))
    window = [c for c in constraints if c.startswith("<=")][:1]
    constraints = window + [c for c in constraints if not c.startswith("<=")]
    return f" -[{', '.join(constraints)}]-> " if constraints else draw(st.sampled_from(["->", " -> "]))


@st.composite
def one_line_patterns(draw):
    text = draw(one_line_atoms(3))
    for _ in range(draw(st.integers(0, 3))):
        text += draw(one_line_transitions()) + draw(one_line_atoms(3))
    return text


@settings(max_examples=200, deadline=None)
@given(one_line_patterns())
def test_the_one_line_notation_reads_the_same_in_the_language(text):
    one_line, language = vashlet.parse_pattern(text), vashlet.pattern(text)
    assert language.to_json() == one_line.to_json()


# Patterns of the language with every element, names quoted either way and strings escaped.
quoted = st.text(st.characters(blacklist_categories=("Cs",), blacklist_characters="\b\f"), max_size=4)


@st.composite
def language_names(draw):
    kind = draw(st.sampled_from(["bare", "backquoted", "quoted"]))
    if kind == "bare":
        return draw(names)
    if kind == "backquoted":
        return "`" + draw(quoted.filter(lambda s: "`" not in s)) + "`"
    return json.dumps(draw(quoted))  # JSON's escapes, but for \b and \f, are the language's


@st.composite
def language_atoms(draw):
    head = "*" if draw(st.booleans()) else draw(language_names())
    items = []
    for _ in range(draw(st.integers(0, 2))):
        attribute = draw(language_names())
        kind = draw(st.sampled_from(["literal", "reference", "capture"]))
        if kind == "capture":
            items.append(f"{attribute} as ${draw(language_names())}")
        else:
            operand = (json.dumps(draw(quoted)) if draw(st.booleans()) else draw(literals)
                       ) if kind == "literal" else "$" + draw(language_names())
            items.append(f"{attribute} {draw(operators)} {operand}")
    return head + (f"[{', '.join(items)}]" if items else "")


@st.composite
def elements(draw, first):
    atoms = draw(st.lists(language_atoms(), min_size=1, max_size=3))
    unit = atoms[0] if len(atoms) == 1 and draw(st.booleans()) else f"({' | '.join(atoms)})"
    counts = ["", "+", "{2}", "{1,3}", "{2,}"] + ([] if first else ["?", "{0,2}", "{0,}"])
    return unit + draw(st.sampled_from(counts))


@st.composite
def language_patterns(draw):
    text = ("^" if draw(st.booleans()) else "") + draw(elements(True))
    for _ in range(draw(st.integers(0, 3))):
        constraints = [f"{op}{draw(bounds)}" for op in ("<=", ">=") if draw(st.booleans())]
        constraints += [f"no {draw(language_atoms())}" for _ in range(draw(st.integers(0, 2)))]
        arrow = f" -[{', '.join(constraints)}]-> " if constraints else " -> "
        text += arrow + draw(elements(False))
    text += " $" if draw(st.booleans()) else ""
    return text + (f" within {draw(bounds)}" if draw(st.booleans()) else "")


@settings(max_examples=200, deadline=None)
@given(language_patterns())
def test_to_text_reads_back_the_same_pattern(text):
    pattern = vashlet.pattern(text)
    again = vashlet.pattern(pattern.to_text())
    assert (again.to_json(), again.to_text()) == (pattern.to_json(), pattern.to_text())


# Any name or string the model holds, and any finite float, written and read back.
values = st.one_of(
    st.text().map(lambda s: {"String": s}),
    st.integers(-(2**63), 2**63 - 1).map(lambda n: {"Int": n}),
    st.floats(allow_nan=False, allow_infinity=False).map(lambda x: {"Float": x}),
    st.booleans().map(lambda b: {"Bool": b}),
    st.just("Null"),
)
json_atoms = st.builds(
    lambda typ, predicates, captures: {
        "event_type": typ, "reference_predicates": [],
        "predicates": [{"attribute": a, "operator": op, "value": v} for a, op, v in predicates],
        "captures": [{"name": n, "attribute": a} for n, a in captures],
    },
    st.text(),
    st.lists(st.tuples(st.text(), st.sampled_from(["Eq", "NotEq", "Gt", "Gte", "Lt", "Lte"]), values),
             max_size=3),
    st.lists(st.tuples(st.text(), st.text()), max_size=2),
)


@settings(max_examples=100, deadline=None)
@given(st.lists(json_atoms, min_size=1, max_size=3))
def test_to_text_writes_any_name_string_and_float(atoms):
    steps = [{"atom": atom, "transition_from_previous": None if i == 0 else {"max_elapsed": None, "absence": []}}
             for i, atom in enumerate(atoms)]
    document = json.dumps({"steps": steps, "consumption": "FirstSuccessorPerStart"})
    pattern = vashlet.pattern_from_json(document)
    assert vashlet.pattern(pattern.to_text()).to_json() == pattern.to_json()


@pytest.mark.parametrize("pattern, written", [
    (vashlet.Pattern.event("A").where_gt("x", math.inf).where_lt("y", -math.inf).build(),
     "A[x > 1.0e999, y < -1.0e999]"),
    (vashlet.Pattern.event("A").where_eq("x", 1e300).where_eq("y", -0.0).build(),
     "A[x == 1.0e+300, y == -0.0]"),
])
def test_floats_beyond_the_shortest_digits_read_back(pattern, written):
    assert pattern.to_text() == written
    assert vashlet.pattern(written).to_text() == written


@pytest.mark.parametrize("pattern, culprit", [
    (vashlet.pattern_from_json('{"steps": [{"atom": {"event_type": "A", "predicates": [], '
                               '"reference_predicates": [], "captures": []}, '
                               '"transition_from_previous": null}], "consumption": "%s"}' % mode), mode)
    for mode in ("NonOverlapping", "ExhaustivePerStart")
] + [(vashlet.Pattern.event("A").where_eq("x", math.nan).build(), "NaN")])
def test_to_text_refuses_what_the_language_cannot_say(pattern, culprit):
    with pytest.raises(ValueError, match=culprit):
        pattern.to_text()


@pytest.mark.parametrize("text, reading, warns", [
    ("A[x == 1] -> B", "one-line", False),   # both read it alike
    ("A -[>=5]-> B", "language", False),     # only the language reads it
    ("A+ -> B", "one-line", True),           # both, differently
])
def test_text_is_read_in_both_languages(text, reading, warns):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        pattern = as_pattern(text)
    expected = vashlet.parse_pattern(text) if reading == "one-line" else vashlet.pattern(text)
    assert pattern.to_json() == expected.to_json()
    assert [str(w.message) for w in caught if "vashlet.pattern(text)" in str(w.message)] == (
        [f"{text!r} is read in the one-line notation (event types 'A+', 'B'), which differs from "
         "its reading in the pattern language: call vashlet.pattern(text) to mean the language"]
        if warns else [])
    assert all(w.filename == __file__ for w in caught)


def test_text_neither_reads_keeps_the_one_line_error_with_the_language_as_a_note():
    text = "A[x ==] -> B"
    with pytest.raises(ValueError) as one_line:
        vashlet.parse_pattern(text)
    with pytest.raises(ValueError) as raised:
        vashlet.match(text, [])
    assert type(raised.value) is ValueError and str(raised.value) == str(one_line.value)
    assert raised.value.__notes__ == [
        "the pattern language cannot read it either: expected a value or a `$name` after the "
        "comparison, found `]` at column 7\n  A[x ==] -> B\n        ^"]


@pytest.mark.parametrize("text, status, said", [
    ("A+ -> B", 0, "vashlet: warning: 'A+ -> B' is read in the one-line notation"),
    ("A -[>=5]-> B", 0, ""),
    ("A[x ==] -> B", 2, "vashlet: error: bad pattern: comparison must have an attribute and value\n"),
])
def test_the_command_line_reads_text_the_same_way(tmp_path, text, status, said):
    events = tmp_path / "e.csv"
    events.write_text("partition,ts,type\np,1,A\np,9,B\n")
    code, _, err = cli("match", text, events)
    assert code == status and (err.startswith(said) if said else err == "")
