"""The funnel's counts of near misses three ways: as `funnel` counts them (natively for a chain
per start, with or without a table of every near miss), and from that table column-wise and row
by row (the count used without pyarrow): same steps, reasons, details, counts and examples, for
chain and language patterns, per start and per partition."""

import json
from unittest import mock

import pytest
from hypothesis import given, settings

import vashlet
from vashlet import _funnel, _funnel_partitions, pattern_from_json
from vashlet._funnel_counts import grouped_misses
from vashlet._inputs import Columns
from vashlet._tables import read
import test_language_near_miss as language
from test_matching_properties import event_lists, text_patterns

pa = pytest.importorskip("pyarrow")

_COLUMNS = Columns("partition", "ts", "type", None, None)


def three_ways(pattern, events, per, threads=None):
    parsed = vashlet.parse_pattern(pattern) if isinstance(pattern, str) else pattern
    text = _funnel._pattern_text(pattern)
    chain = vashlet._core._element_labels(parsed) is None and parsed.steps > 1
    native = vashlet._core._counted_funnel
    calls = []
    with mock.patch.object(vashlet._core, "_counted_funnel",
                           lambda *args, **kwargs: calls.append(kwargs.get("every_row", False))
                           or native(*args, **kwargs)):
        counted = vashlet.funnel(pattern, events, per=per, threads=threads)
        whole, misses = _funnel.funnel_and_misses(parsed, events, _COLUMNS, threads=threads,
                                                  text=text, per=per)
    # The funnel reads only the rows it shows; the report, the table of every near miss.
    native_counts = chain and per == "start"
    assert calls == ([False, True] if native_counts else [])
    assert_same(counted, whole)
    if native_counts:
        assert repr(misses.to_pylist()) == repr(vashlet.explain(pattern, events).to_pylist())

        def recount():
            return _funnel._funnel_from(parsed, text, whole.starts, misses)
    else:
        def recount():
            return _funnel.funnel_and_misses(parsed, events, _COLUMNS, threads=threads,
                                             text=text, per=per)[0]

    columns = recount()
    with mock.patch.object(_funnel, "_grouped", return_value=(None, 0)):
        rows = recount()
    if per == "partition":
        assert_standing_rows_alike(parsed, events, chain, threads)
    return counted, columns, rows


def assert_standing_rows_alike(parsed, events, chain, threads):
    """The near misses that stand for the partitions, picked natively for a chain, are those
    that the table's columns and rows pick."""
    table, _, by_partition, standing = read(
        vashlet._core._partition_funnel_table, parsed, events, _COLUMNS, threads=threads)
    assert (standing is not None) == chain
    misses = _funnel.NearMissTable(table)
    depth = "reached_steps" if vashlet._core._element_labels(parsed) is None else "element"
    picked = _funnel_partitions._deepest_by_columns(misses, by_partition, depth)
    assert picked == _funnel_partitions._deepest_by_rows(misses, by_partition, depth)
    if chain:
        assert standing == picked


def assert_all_same(pattern, events, per, threads=None):
    counted, columns, rows = three_ways(pattern, events, per, threads)
    assert_same(counted, columns)
    assert_same(columns, rows)
    return counted


def assert_same(columns, rows):
    assert columns == rows
    assert repr(columns) == repr(rows)
    assert [[(r.reason, r.detail, r.count, r.examples) for r in s.reasons] for s in columns.steps] \
        == [[(r.reason, r.detail, r.count, r.examples) for r in s.reasons] for s in rows.steps]
    assert repr(columns.example_misses) == repr(rows.example_misses)


@settings(max_examples=200, deadline=None)
@given(text_patterns(), event_lists())
def test_chain_funnels_count_alike(pattern, events):
    for per in ("start", "partition"):
        assert_all_same(pattern, events, per)


@settings(max_examples=150, deadline=None)
@given(language.language_patterns(), language.event_lists())
def test_language_funnels_count_alike(document, events):
    pattern = pattern_from_json(json.dumps(document))
    for per in ("start", "partition"):
        assert_all_same(pattern, events, per)


@pytest.mark.parametrize("pattern, reasons", [
    # each kind of failed clause, several in one near miss, and an empty detail's text
    ('a[x as $v] -> b[x == $v, y > 2] -> c[x as $v]',
     {("predicate_failed", "y > 2, x == $v"), ("predicate_failed", "x as $v")}),
    ('a -[<=5]-> b[y == 1]', {("window_exceeded", "too late"),
                              ("window_exceeded", "no fitting event in time")}),
    ('a -[no c]-> b', {("absence_blocked", "c"), ("no_successor", None)}),
])
def test_each_detail_is_written_as_the_rows_write_it(pattern, reasons):
    rows = [  # (partition, ts, type, x, y)
        ("p1", 0, "a", 1, 0), ("p1", 1, "b", 2, 0),
        ("p2", 0, "a", 1, 0), ("p2", 1, "b", 1, 3), ("p2", 2, "c", 3, 0),
        ("p3", 0, "a", 4, 0), ("p3", 9, "b", 4, 1),
        ("p4", 0, "a", 5, 0), ("p4", 9, "b", 5, 0),
        ("p5", 0, "a", 6, 0), ("p5", 1, "c", 6, 0), ("p5", 2, "b", 6, 0),
        ("p6", 0, "a", 7, 0),
    ]
    events = pa.table(dict(zip(["partition", "ts", "type", "x", "y"], map(list, zip(*rows)))))
    counted = assert_all_same(pattern, events, "start")
    found = {(r.reason, r.detail) for s in counted.steps for r in s.reasons}
    assert reasons <= found


def test_a_group_is_named_by_the_funnel_text_of_its_first_row():
    clause = pa.struct([(name, pa.string()) for name in
                        ("type", "attribute", "operator", "expected", "binding", "name")])
    failures = pa.array([[{"type": "predicate", "attribute": "x", "operator": "==",
                           "expected": None, "binding": None, "name": None}]] * 2,
                        pa.list_(clause))
    table = pa.table({"start_row": [4, 7], "reached_steps": [1, 1],
                      "reason": ["predicate_failed"] * 2,
                      "blocking_event_type": pa.nulls(2, pa.string()),
                      "candidate_satisfies": pa.nulls(2, pa.bool_()), "failures": failures})
    [group] = grouped_misses(table, "reached_steps", 3, _funnel._reason_detail)
    assert (group.detail, group.count, group.examples) == ("x == None", 2, [4, 7])


_X = {"type": "predicate", "attribute": "x", "operator": "==", "expected": "1", "binding": None,
      "name": None}
_Y = {"type": "capture", "attribute": "y", "operator": None, "expected": None, "binding": None,
      "name": "v"}


@pytest.mark.parametrize("clause_lists", [
    [[], [_X]], [[_X], []], [None, [_X], []], [[], [_X, _Y], [_X]], [[_X, _Y], [], [_Y], []],
])
def test_rows_without_a_failed_clause_group_apart(clause_lists):
    # A row without clauses lies at the offset of the next row's first clause.
    clause = pa.struct([(name, pa.string()) for name in _X])
    rows = len(clause_lists)
    table = pa.table({"start_row": list(range(rows)), "reached_steps": [1] * rows,
                      "reason": ["predicate_failed"] * rows,
                      "blocking_event_type": pa.nulls(rows, pa.string()),
                      "candidate_satisfies": pa.nulls(rows, pa.bool_()),
                      "failures": pa.array(clause_lists, pa.list_(clause))})
    expected = {}
    for row in table.to_pylist():
        detail = _funnel._reason_detail(row)
        expected[detail] = expected.get(detail, 0) + 1
    groups = grouped_misses(table, "reached_steps", 3, _funnel._reason_detail)
    assert {group.detail: group.count for group in groups} == expected


@pytest.mark.parametrize("threads", [1, 2])
def test_native_count_merges_many_groups_over_parts_in_row_order(threads):
    # Each b fails its own subset of four predicates: fifteen details at one step, more than are
    # compared one by one, spread over many partitions (so several parts on two threads), with
    # late and blocked starts among them.
    rows = []
    for n in range(3_000):
        p, bits = f"p{n:04d}", n % 16
        rows.append((p, 0, "a", 0, 0, 0, 0))
        if n % 7 == 3:
            rows.append((p, 1, "c", 0, 0, 0, 0))
        rows.append((p, 50 if n % 11 == 5 else 2, "b", bits & 1, bits >> 1 & 1, bits >> 2 & 1,
                     bits >> 3 & 1))
    names = ["partition", "ts", "type", "x", "y", "z", "w"]
    events = pa.table(dict(zip(names, map(list, zip(*rows)))))
    pattern = "a -[<=10, no c]-> b[x > 0, y > 0, z > 0, w > 0]"
    counted = assert_all_same(pattern, events, "start", threads)
    reasons = [r for s in counted.steps for r in s.reasons]
    assert len(reasons) > 16
    assert counted == _funnel.funnel_of(pattern, vashlet.match(pattern, events, exhaustive=True),
                                        vashlet.explain(pattern, events))


@pytest.mark.parametrize("more, error", [
    ({}, None),
    ({"examples": None}, None),
    ({"every_row": False}, None),
    ({"examples": 0}, ValueError),
    ({"every_row": "yes"}, TypeError),
    ({"every_row": None}, TypeError),
])
def test_counted_funnel_defaults_and_refusals(more, error):
    events = pa.table({"partition": ["p", "p", "q"], "ts": [1, 2, 1],
                       "type": ["a", "b", "a"], "x": [1, 0, 1]})
    parsed = vashlet.parse_pattern("a -> b[x > 0]")

    def call(**more):
        return read(vashlet._core._counted_funnel, parsed, events, _COLUMNS, **more)

    if error:
        with pytest.raises(error, match="examples|every_row"):
            call(**more)
        return
    table, starts, groups = call(**more)
    assert (starts, groups) == (2, [(1, [0]), (1, [1])])
    assert len(table) == 2
