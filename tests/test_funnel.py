"""The funnel: its counts against independent ones, its Arrow export and its HTML views."""

import json
from collections import Counter
from pathlib import Path
from html.parser import HTMLParser

import pytest
from hypothesis import given, settings

import vashlet
from vashlet import Event, match_events, near_miss_events, pattern_from_json
from vashlet._funnel import funnel_of
from test_matching_properties import event_lists, text_patterns

pa = pytest.importorskip("pyarrow")

SHOP = (
    'login[user as $u, country == "NZ"] -[<=300, no logout[user == $u]]-> '
    "purchase[user == $u, amount >= 10.5]"
)


def shop_table():
    rows = json.load(open(Path(__file__).resolve().parent.parent / "examples" / "shop_events.json"))
    flat = [{"partition": r["partition"], "ts": r["ts"], "type": r["typ"], **r["attrs"]} for r in rows]
    names = list(dict.fromkeys(name for row in flat for name in row))
    return pa.Table.from_pylist([{name: row.get(name) for name in names} for row in flat])


def prefix(pattern, steps):
    document = json.loads(pattern.to_json())
    document["steps"] = document["steps"][:steps]
    return pattern_from_json(json.dumps(document))


def starts_with_path(pattern, events, steps):
    """Starts from which the first `steps` steps can all be taken (the reference matcher)."""
    found = match_events(prefix(pattern, steps), events, exhaustive=True, use_oracle=True)
    return len({m.indices[0] for m in found})


@settings(max_examples=150, deadline=None)
@given(text_patterns(), event_lists())
def test_funnel_counts_agree_with_matches_and_near_misses(pattern, events):
    funnel = vashlet.funnel(pattern, events)
    total = len(funnel.steps)
    assert funnel.starts == starts_with_path(pattern, events, 1)
    assert funnel.matched == starts_with_path(pattern, events, total)
    assert funnel.starts == funnel.matched + funnel.near_misses
    for step in funnel.steps:
        assert step.reached == starts_with_path(pattern, events, max(step.step, 1))
        assert step.completed == starts_with_path(pattern, events, step.step + 1)
        assert sum(r.count for r in step.reasons) == step.stopped

    misses = {m.start_index: m for m in near_miss_events(pattern, events)}
    assert len(misses) == funnel.near_misses
    expected = Counter((m.reached_steps, m.reason) for m in misses.values())
    got = Counter()
    for step in funnel.steps:
        for r in step.reasons:
            got[(step.step, r.reason)] += r.count
            assert 1 <= len(r.examples) <= min(r.count, 3)
            for row in r.examples:
                assert (misses[row].reached_steps, misses[row].reason) == (step.step, r.reason)
                assert funnel.example_misses[row]["start_row"] == row
    assert got == expected


@pytest.mark.parametrize("id", [None, "eid"])
def test_shop_funnel_counts_exhaustively_and_names_reasons(id):
    table = shop_table()
    table = table.append_column("eid", pa.array([f"e{row}" for row in range(len(table))]))
    named = (lambda row: row) if id is None else (lambda row: f"e{row}")
    funnel = vashlet.funnel(SHOP, table, id=id)
    assert (funnel.starts, funnel.matched, funnel.near_misses) == (6, 2, 4)
    login, purchase = funnel.steps
    assert (login.event_type, login.reached, login.completed, login.reasons) == ("login", 6, 6, ())
    assert (purchase.event_type, purchase.reached, purchase.completed) == ("purchase", 6, 2)
    assert {(r.reason, r.detail, r.count, r.examples) for r in purchase.reasons} == {
        ("absence_blocked", "logout", 1, (named(3),)),
        ("window_exceeded", "too late", 1, (named(6),)),
        ("predicate_failed", "amount >= 10.5", 1, (named(8),)),
        ("no_successor", None, 1, (named(12),)),
    }


def _producer(table, producer):
    """`table` as `producer` hands it over; the reader can be read only once."""
    if producer == "reader":
        return pa.RecordBatchReader.from_batches(table.schema, table.to_batches(max_chunksize=4))
    if producer == "pandas":
        return pytest.importorskip("pandas").DataFrame(table.to_pylist())
    if producer == "polars":
        return pytest.importorskip("polars").from_arrow(table)
    if producer == "events":
        return [Event(r.pop("partition"), r.pop("ts"), r.pop("type"),
                      {k: v for k, v in r.items() if v is not None}) for r in table.to_pylist()]
    return table


@pytest.mark.parametrize("producer", ["table", "reader", "pandas", "polars", "events"])
def test_funnel_reads_any_input_once(producer):
    expected = vashlet.funnel(SHOP, shop_table())
    data = _producer(shop_table(), producer)
    got = vashlet.funnel(SHOP, data)
    assert (got.starts, got.matched, got.near_misses) == (6, 2, 4)
    assert got.to_pylist() == expected.to_pylist()
    assert got.example_misses == expected.example_misses
    if producer == "reader":  # it was one-shot indeed
        assert data.read_all().num_rows == 0


@settings(max_examples=300, deadline=None)
@given(text_patterns(), event_lists())
def test_funnel_equals_the_one_from_exhaustive_matches(pattern, events):
    """The starts that complete, told by the near-miss search, are those with an exhaustive
    match: the funnel is the one built from both results."""
    expected = funnel_of(
        pattern, vashlet.match(pattern, events, exhaustive=True), vashlet.explain(pattern, events)
    )
    got = vashlet.funnel(pattern, events)
    assert got == expected
    # By repr: a captured NaN equals no other NaN.
    assert repr(got.example_misses) == repr(expected.example_misses)


@pytest.mark.parametrize("pairs", [3_000, 6_000, 50_000])
def test_funnel_does_not_enumerate_paths(pairs):
    # Every login before a view before the purchase is a path: pairs**2 / 2 of them.
    types = ["login", "view"] * pairs + ["purchase"]
    events = pa.table({"partition": ["u"] * len(types), "ts": range(len(types)), "type": types})
    funnel = vashlet.funnel("login -> view -> purchase", events)
    assert (funnel.starts, funnel.matched, funnel.near_misses) == (pairs, pairs, 0)
    assert [s.completed for s in funnel.steps] == [pairs] * 3


def test_funnel_exports_as_arrow():
    funnel = vashlet.funnel(SHOP, shop_table())
    table = pa.table(funnel)
    assert table.column_names == ["step", "event_type", "reached", "completed", "stopped", "reasons"]
    assert table.to_pylist() == funnel.to_pylist()
    assert table.column("reached").to_pylist() == [6, 6]


class _Collect(HTMLParser):
    def __init__(self):
        super().__init__()
        self.starts, self.text = [], []

    def handle_starttag(self, tag, attrs):
        self.starts.append((tag, dict(attrs)))

    def handle_data(self, data):
        self.text.append(data)


def parsed(markup):
    parser = _Collect()
    parser.feed(markup)
    return parser


HOSTILE = '<script>alert("x")</script>&'


def test_html_views_escape_user_strings():
    events = pa.table(
        {
            "partition": [HOSTILE, HOSTILE],
            "ts": [1, 9],
            "type": ["A", "B"],
            "note": [HOSTILE, None],
        }
    )
    pattern = "A[note as $n] -[<=2]-> B"
    views = [
        vashlet.match("A[note as $n]", events)._repr_html_(),
        vashlet.explain(pattern, events)._repr_html_(),
        vashlet.funnel(pattern, events)._repr_html_(),
    ]
    # An event type is any string in the JSON form.
    document = json.loads(vashlet.parse_pattern("A -> B").to_json())
    document["steps"][1]["atom"]["event_type"] = HOSTILE
    hostile_step = pattern_from_json(json.dumps(document))
    funnel_view = vashlet.funnel(hostile_step, events)._repr_html_()
    views.append(funnel_view)
    steps = [a for _, a in parsed(funnel_view).starts if a.get("class") == "funnel-step"]
    assert steps[1]["data-event-type"] == HOSTILE
    for markup in views:
        assert "<script" not in markup
        page = parsed(markup)
        assert "script" not in {tag for tag, _ in page.starts}
    assert HOSTILE in "".join(parsed(views[0]).text)
    assert HOSTILE in "".join(parsed(views[1]).text)


def test_table_html_shows_first_rows_and_total():
    events = pa.table({"partition": ["p"] * 25, "ts": list(range(25)), "type": ["A"] * 25})
    page = parsed(vashlet.match("A", events)._repr_html_())
    assert sum(tag == "tr" for tag, _ in page.starts) == 1 + 10
    assert "25 rows × 6 columns (first 10 shown)" in "".join(page.text)


def test_funnel_chart_has_a_bar_per_step():
    funnel = vashlet.funnel("login -> view -> purchase", shop_table())
    groups = [a for tag, a in parsed(funnel._repr_html_()).starts if a.get("class") == "funnel-step"]
    assert [(g["data-event-type"], int(g["data-reached"]), int(g["data-completed"])) for g in groups] == [
        (s.event_type, s.reached, s.completed) for s in funnel.steps
    ]
