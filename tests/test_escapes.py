"""Data never acts on the display: control characters in terminal tables and reprs are shown as
escapes, and bidi controls in HTML are shown escaped and marked."""

import re

import pytest

import vashlet
from vashlet._escapes import display_html, display_text

pa = pytest.importorskip("pyarrow")

HOSTILE = "p\x1b]0;PWNED\x07\x1b[2J"
# What a terminal or a browser would act on, and the escape shown for it.
CONTROLS = [
    ("\x1b", "\\x1b"),
    ("\x07", "\\x07"),
    ("\r", "\\r"),
    ("\n", "\\n"),
    ("\x00", "\\x00"),
    ("\x7f", "\\x7f"),
    ("\x9b", "\\x9b"),
    ("\u202e", "\\u202e"),
    ("\u2066", "\\u2066"),
    ("\u200f", "\\u200f"),
    ("\u061c", "\\u061c"),
    ("\u2028", "\\u2028"),
]
BIDI = "\u202a\u202b\u202c\u202d\u202e\u2066\u2067\u2068\u2069\u200e\u200f\u061c"
RAW = re.compile(f"[\x00-\x08\x0b-\x1f\x7f-\x9f{BIDI}]")


def events(partition, user="ann"):
    return pa.table({
        "partition": [partition, partition],
        "ts": [1, 5],
        "type": ["login", "purchase"],
        "user": [user, "bob"],
    })


@pytest.mark.parametrize("text", ["ann", "a\\x1b", "สวัสดี", "नमस्ते", "日本語", "e\u0301", ""])
def test_ordinary_text_is_shown_as_it_is(text):
    assert display_text(text) == text
    assert display_html(text) == text


@pytest.mark.parametrize("char, shown", CONTROLS)
def test_result_repr_shows_escapes(char, shown):
    result = vashlet.match("login -> purchase", events(f"p{char}q"))
    text = repr(result)
    assert f"p{shown}q" in text
    assert not RAW.search(text.replace("\n", ""))


def test_hostile_partition_cannot_retitle_the_terminal():
    text = repr(vashlet.explain("login -> refund", events(HOSTILE)))
    assert "p\\x1b]0;PWNED\\x07\\x1b[2J" in text
    assert "\x1b" not in text and "\x07" not in text


@pytest.mark.parametrize("char, shown", [(c, s) for c, s in CONTROLS if c not in "\n"])
def test_html_marks_controls(char, shown):
    page = vashlet.match("login -> purchase", events(f"p{char}q"))._repr_html_()
    assert f'p<span class="vashlet-escape">{shown}</span>q' in page
    assert not RAW.search(page.replace("\n", ""))


def test_html_of_the_funnel_marks_bidi_in_step_names_and_details():
    from vashlet._html import funnel_html

    evil = "purch\u202eesa"
    table = pa.table({"partition": ["p", "p"], "ts": [1, 2], "type": ["login", evil],
                      "user": ["a\u202eb", "c"]})
    pattern = vashlet.Pattern.event("login").then(evil).where_eq("user", "x")
    page = funnel_html(vashlet.funnel(pattern, table))
    assert not RAW.search(page)
    assert '<tspan class="vashlet-escape">\\u202e</tspan>' in page
    assert '<span class="vashlet-escape">\\u202e</span>' in page


def test_command_line_table_and_report_escape(tmp_path):
    from test_cli import run

    source = tmp_path / "e.parquet"
    import pyarrow.parquet as pq

    pq.write_table(events(HOSTILE, user="x\u202ey"), source)
    shown = run("match", "login[user as $u] -> purchase", source)
    assert shown.returncode == 0, shown.stderr
    assert "\x1b" not in shown.stdout and "p\\x1b]0;PWNED" in shown.stdout
    report = tmp_path / "r.html"
    done = run("explain", "login[user as $u] -> purchase[user == $u]", source, "--report", report)
    assert done.returncode == 0, done.stderr
    page = report.read_text()
    assert not RAW.search(page.replace("\n", ""))
    assert '<span class="vashlet-escape">\\x1b</span>' in page
    assert '<span class="vashlet-escape">\\u202e</span>' in page
