"""The funnel per partition against one counted by hand from `match` and `explain`, and the
funnel's window_exceeded reasons told apart by whether the late event fits the step."""

import io
import json
import sys
from collections import Counter
from unittest import mock

import pytest
from hypothesis import given, settings

import vashlet
from vashlet import Event
from vashlet._funnel_partitions import _deepest_by_columns, _deepest_by_rows
from vashlet.cli import run
from test_matching_properties import event_lists, text_patterns

pa = pytest.importorskip("pyarrow")


def by_hand(pattern, events):
    """{partition: deepest level} (a complete path is the last level) and {partition: the first
    of its deepest near misses} of the partitions without a complete path."""
    parsed = vashlet.parse_pattern(pattern) if isinstance(pattern, str) else pattern
    steps = len(json.loads(parsed.to_json())["steps"])
    complete = {m["partition"] for m in vashlet.match(pattern, events, exhaustive=True).to_pylist()}
    deepest = {}
    for miss in vashlet.explain(pattern, events).to_pylist():  # in start order
        known = deepest.get(miss["partition"])
        if miss["partition"] not in complete and (
            known is None or miss["reached_steps"] > known["reached_steps"]
        ):
            deepest[miss["partition"]] = miss
    levels = {p: steps for p in complete} | {p: m["reached_steps"] for p, m in deepest.items()}
    return levels, deepest


@settings(max_examples=200, deadline=None)
@given(text_patterns(), event_lists())
def test_partition_funnel_equals_one_counted_by_hand(pattern, events):
    levels, deepest = by_hand(pattern, events)
    funnel = vashlet.funnel(pattern, events, per="partition")
    assert funnel.per == "partition"
    assert (funnel.starts, funnel.matched, funnel.near_misses) == (
        len(levels), len(levels) - len(deepest), len(deepest)
    )
    for step in funnel.steps:
        assert step.reached == sum(level >= step.step for level in levels.values())
        assert step.completed == sum(level > step.step for level in levels.values())
    expected = Counter((m["reached_steps"], m["reason"]) for m in deepest.values())
    got = Counter()
    chosen = {m["start_row"]: m for m in deepest.values()}
    for step in funnel.steps:
        for reason in step.reasons:
            got[(step.step, reason.reason)] += reason.count
            for row in reason.examples:
                assert (chosen[row]["reached_steps"], chosen[row]["reason"]) == (
                    step.step, reason.reason
                )
                assert funnel.example_misses[row]["start_row"] == row
    assert got == expected

    misses = vashlet.explain(pattern, events)
    starts = Counter(m["partition"] for m in misses.to_pylist())
    starts.update({p: 1 for p in levels if p not in deepest})  # one more start: a complete one
    chosen_rows = _deepest_by_rows(misses, starts)
    assert _deepest_by_columns(misses, starts) == chosen_rows
    with mock.patch.dict(sys.modules, {"numpy": None}):  # pyarrow's own grouping
        assert _deepest_by_columns(misses, starts) == chosen_rows


def test_partition_funnel_counts_each_partition_once_at_its_deepest_step():
    events = pa.table(
        {
            "partition": ["u1", "u1", "u1", "u2", "u2", "u3", "u3", "u3", "u4"],
            "ts": [0, 5, 9, 0, 1, 0, 1, 2, 0],
            "type": ["A", "A", "B", "A", "A", "A", "B", "C", "X"],
        }
    )
    per_start = vashlet.funnel("A -> B -> C", events)
    assert [(s.reached, s.completed) for s in per_start.steps] == [(5, 5), (5, 3), (3, 1)]
    funnel = vashlet.funnel("A -> B -> C", events, per="partition")
    assert (funnel.starts, funnel.matched, funnel.near_misses) == (3, 1, 2)
    assert [(s.reached, s.completed) for s in funnel.steps] == [(3, 3), (3, 2), (2, 1)]
    # u1's first start, as deep as its second, stands for it; u2 stopped at B.
    assert [(s.step, r.reason, r.examples) for s in funnel.steps for r in s.reasons] == [
        (1, "no_successor", (3,)), (2, "no_successor", (0,))
    ]


def test_partition_funnel_needs_no_pyarrow(monkeypatch):
    events = [Event(p, ts, t) for p, ts, t in
              [("a", 0, "A"), ("a", 1, "B"), ("b", 0, "A"), ("b", 1, "A"), ("c", 3, "B")]]
    expected = vashlet.funnel("A -> B", events, per="partition")
    monkeypatch.setitem(sys.modules, "pyarrow", None)
    got = vashlet.funnel("A -> B", events, per="partition")
    assert got == expected and (got.starts, got.matched) == (2, 1)


@pytest.mark.parametrize("per", ["partitions", "", "START", None, 1])
def test_a_bad_per_is_refused_by_name(per):
    with pytest.raises(ValueError, match="per must be 'start' or 'partition'"):
        vashlet.funnel("A -> B", [Event("a", 0, "A")], per=per)


@pytest.mark.parametrize("per, title, noun", [
    ("start", "Funnel: 3 starts, 1 matched", "starts"),
    ("partition", "Funnel per partition: 2 partitions with a start, 1 matched", "partitions"),
])
def test_views_say_what_the_funnel_counts(per, title, noun):
    events = [Event(p, ts, t) for p, ts, t in [("a", 0, "A"), ("a", 1, "B"), ("b", 0, "A"), ("b", 1, "A")]]
    funnel = vashlet.funnel("A -> B", events, per=per)
    assert repr(funnel).startswith(title)
    html = funnel._repr_html_()
    assert f'data-per="{per}"' in html and f"<th>{noun}</th>" in html


# view -> cart of the same item within 10: u_late's cart of its item comes at 20 ("too late");
# u_other's next cart, at 20 too, is of another item ("no fitting event in time").
LATE_PATTERN = "view[item as $i] -[<=10]-> cart[item == $i]"
LATE_EVENTS = pa.table(
    {
        "partition": ["u_late", "u_late", "u_other", "u_other"],
        "ts": [0, 20, 0, 20],
        "type": ["view", "cart", "view", "cart"],
        "item": [1, 1, 1, 2],
    }
)


@pytest.mark.parametrize("per", ["start", "partition"])
def test_funnel_tells_a_late_fit_from_no_fit_in_time(per):
    funnel = vashlet.funnel(LATE_PATTERN, LATE_EVENTS, per=per)
    reasons = {(r.reason, r.detail, r.examples) for r in funnel.steps[1].reasons}
    assert reasons == {
        ("window_exceeded", "too late", (0,)),
        ("window_exceeded", "no fitting event in time", (2,)),
    }
    text = repr(funnel)
    assert "window_exceeded (too late): 1" in text
    assert "window_exceeded (no fitting event in time): 1" in text
    assert "<td>no fitting event in time</td>" in funnel._repr_html_()
    # The near misses keep their reason; the table says which candidate fits.
    misses = vashlet.explain(LATE_PATTERN, LATE_EVENTS).to_pylist()
    assert [(m["reason"], m["candidate_satisfies"]) for m in misses] == [
        ("window_exceeded", True), ("window_exceeded", False)
    ]


def _cli(*arguments):
    out, err = io.StringIO(), io.StringIO()
    return run([str(a) for a in arguments], out, err), out.getvalue(), err.getvalue()


@pytest.mark.parametrize("per", [None, "start", "partition"])
def test_command_line_details_and_report(tmp_path, per):
    import pyarrow.parquet as pq

    source = tmp_path / "events.parquet"

    pq.write_table(LATE_EVENTS, source)
    report = tmp_path / "report.html"
    status, out, err = _cli(
        "explain", LATE_PATTERN, source, "--report", report, *(["--per", per] if per else [])
    )
    assert (status, err) == (0, "")
    lines = out.splitlines()
    assert "row 1 after 20 > 10" in lines[2] and "no fit" not in lines[2]
    assert "no fit in time: row 3 after 20 > 10" in lines[3]
    page = report.read_text()
    assert "no fitting event in time" in page and "too late" in page
    counted = "partitions" if per == "partition" else "starts"
    assert f"<h2>Why {counted} stopped</h2>" in page


def test_per_without_a_report_is_refused(tmp_path):
    import pyarrow.parquet as pq

    source = tmp_path / "events.parquet"
    pq.write_table(LATE_EVENTS, source)
    status, out, err = _cli("explain", LATE_PATTERN, source, "--per", "partition")
    assert (status, out) == (2, "")
    assert "--per" in err and "--report" in err


@settings(max_examples=100, deadline=None)
@given(text_patterns(), event_lists())
def test_partition_funnel_of_a_chain_writes_only_the_partitions_near_misses(pattern, events):
    """A chain's funnel per partition keeps one near miss per partition in the native pass; it
    must count as the funnel counted from every near miss and the starts of each partition."""
    from vashlet._funnel import funnel_and_misses
    from vashlet._inputs import Columns

    parsed = vashlet.parse_pattern(pattern) if isinstance(pattern, str) else pattern
    calls = Counter()
    native = vashlet._core._deepest_per_partition

    def counted(*args, **kwargs):
        calls["deepest"] += 1
        return native(*args, **kwargs)

    with mock.patch.object(vashlet._core, "_deepest_per_partition", counted):
        funnel = vashlet.funnel(parsed, events, per="partition")
    full, _ = funnel_and_misses(
        parsed, events, Columns("partition", "ts", "type", None, None), per="partition"
    )
    chain = vashlet._core._element_labels(parsed) is None and parsed.steps > 1
    assert calls["deepest"] == (1 if chain else 0)
    assert repr(funnel) == repr(full)
    assert repr(funnel.example_misses) == repr(full.example_misses)  # a capture may be nan


def test_partition_funnel_examples_keep_the_kinds_of_every_near_miss():
    # The chosen near miss captured an int and another start of its partition a float: the
    # example shows the capture as the table of every near miss holds it, a float.
    events = [Event("a", 0, "A", {"n": 0}), Event("a", 1, "A", {"n": 0.5})]
    pattern = "A[n as $u] -> B"
    funnel = vashlet.funnel(pattern, events, per="partition")
    example = funnel.example_misses[0]["captures"]["u"]
    assert example == vashlet.explain(pattern, events).to_pylist()[0]["captures"]["u"]
    assert isinstance(example, float)


@pytest.mark.parametrize(
    "pattern, events, reached, completed",
    [
        # The first start completes: later starts of the partition change nothing.
        ("A -[<=5]-> B", [Event("a", 0, "A"), Event("a", 1, "B"), Event("a", 10, "A")],
         [1, 1], [1, 1]),
        ("A[n as $u] -[<=5]-> B",
         [Event("a", 0, "A", {"n": 1}), Event("a", 1, "B"), Event("a", 10, "A", {"n": 2.5})],
         [1, 1], [1, 1]),
        # A later start goes deeper than the first: the partition stops where it did.
        ("A -[<=5]-> B -> C", [Event("a", 0, "A"), Event("a", 10, "A"), Event("a", 11, "B")],
         [1, 1, 1], [1, 1, 0]),
        # A deeper start, then one that completes: the partition is matched.
        ("A -[<=5]-> B -[<=5]-> C",
         [Event("a", 0, "A"), Event("a", 1, "B"), Event("a", 10, "A"), Event("a", 11, "B"),
          Event("a", 12, "C")],
         [1, 1, 1], [1, 1, 1]),
    ],
)
def test_partition_funnel_counts_a_partition_once_whatever_its_other_starts(
    pattern, events, reached, completed
):
    # The native pass keeps one near miss per partition and stops at a complete path; the funnel
    # must agree with the one counted from every near miss.
    from vashlet._funnel import funnel_and_misses
    from vashlet._inputs import Columns

    funnel = vashlet.funnel(pattern, events, per="partition")
    assert [s.reached for s in funnel.steps] == reached
    assert [s.completed for s in funnel.steps] == completed
    full, _ = funnel_and_misses(
        vashlet.parse_pattern(pattern), events, Columns("partition", "ts", "type", None, None),
        per="partition",
    )
    assert repr(funnel) == repr(full)
    assert repr(funnel.example_misses) == repr(full.example_misses)
