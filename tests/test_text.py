"""One quoted display form and one white-space trim, wherever the library shows or reads text."""

import json

import pytest

import vashlet
from vashlet import Event

# Every Unicode White_Space character, and characters that only look like space.
WHITE_SPACE = "\t\n\v\f\r \x85\xa0\u1680\u2000\u2001\u2002\u2003\u2004\u2005\u2006\u2007\u2008\u2009\u200a" \
              "\u2028\u2029\u202f\u205f\u3000"
NOT_WHITE_SPACE = "\u200b\u180e\ufeff\x1c"

DISPLAYED = [
    ("", '""'),
    ("it's a \"b\\c/", '"it\'s a \\"b\\\\c/"'),
    ("\0\t\r\n", '"\\0\\t\\r\\n"'),
    ("\x01\x08\x0c\x1f\x7f", '"\\u{1}\\u{8}\\u{c}\\u{1f}\\u{7f}"'),
    ("\x85\xa0\u3000\u2028\u2029", '"\\u{85}\\u{a0}\\u{3000}\\u{2028}\\u{2029}"'),  # Cc, Zs, Zl, Zp
    ("e\u0301\u20dd", '"e\\u{301}\\u{20dd}"'),  # Mn, Me
    # grapheme extenders outside Mn and Me, some of which an older table missed
    ("\u09be\uff9e\u0b3e\u1b35\U0001133e", '"\\u{9be}\\u{ff9e}\\u{b3e}\\u{1b35}\\u{1133e}"'),
    ("\u200b\u200d\ufeff\U000e0041\ue000\u0378\U0010ffff",  # Cf, Co, Cn
     '"\\u{200b}\\u{200d}\\u{feff}\\u{e0041}\\u{e000}\\u{378}\\u{10ffff}"'),
    ("é日本 😀 ½", '"é日本 😀 ½"'),  # printed as they are
]


@pytest.mark.parametrize("text, shown", DISPLAYED)
def test_reprs_and_json_messages_quote_alike(text, shown):
    # The repr leaves the attributes out.
    assert repr(Event(text, -(2**63), text, {"a": 1})) == (
        f"Event(partition={shown}, ts=-9223372036854775808, typ={shown})")
    document = json.dumps({"steps": text, "consumption": "FirstSuccessorPerStart"})
    with pytest.raises(ValueError) as error:
        vashlet.pattern_from_json(document)
    assert str(error.value).startswith(f"invalid type: string {shown}, expected a sequence at line 1 column ")


@pytest.mark.parametrize("space", list(WHITE_SPACE))
def test_builder_and_parser_trim_the_same_space(space):
    text = vashlet.parse_pattern(f"A[x as {space}$u{space}] -> B[x == {space}$u{space}]").to_json()
    built = vashlet.Pattern.event("A").capture("x", f"{space}$u{space}").then("B").where_ref_eq("x", f"{space}u")
    assert built.build().to_json() == text


@pytest.mark.parametrize("other", list(NOT_WHITE_SPACE))
def test_only_white_space_is_trimmed(other):
    built = vashlet.Pattern.event("A").capture("x", f"{other}u").build()
    assert json.loads(built.to_json())["steps"][0]["atom"]["captures"][0]["name"] == f"{other}u"
