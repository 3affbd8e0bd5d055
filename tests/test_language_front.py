"""The pattern language's front: its JSON fields, the builder's methods and the `mode` keyword."""

import copy
import datetime
import io
import json
import math
import pickle

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import vashlet
from helpers import message_of
from vashlet import ANY, Pattern, cli, pattern_from_json
from vashlet._inputs import Columns
from vashlet._tables import never_taken

ANY_ATOM = {"event_type": "", "predicates": [], "reference_predicates": [], "captures": [], "any_type": True}
NEW_STEP_KEYS = {"alternatives", "min_count", "max_count"}


def atom(event_type="A", extra=""):
    return '{"event_type":"%s","predicates":[],"reference_predicates":[],"captures":[]%s}' % (event_type, extra)


def step(atom_json, transition="null", extra=""):
    return '{"atom":%s,"transition_from_previous":%s%s}' % (atom_json, transition, extra)


def document(*steps, consumption="FirstSuccessorPerStart", extra=""):
    return '{"steps":[%s],"consumption":"%s"%s}' % (",".join(steps), consumption, extra)


def transition(extra="", window="null"):
    return '{"max_elapsed":%s,"absence":[]%s}' % (window, extra)


# ---------------------------------------------------------------------------------------------
# JSON: each new field read and written back byte for byte

ROUND_TRIPS = {
    "any type": document(step(atom("", ',"any_type":true'))),
    "any-type absence": document(step(atom()), step(atom("B"), '{"max_elapsed":null,"absence":[%s]}'
                                                    % atom("", ',"any_type":true'))),
    "alternatives": document(step(atom(), extra=',"alternatives":[%s,%s]' % (atom("B"), atom("", ',"any_type":true')))),
    "exact count": document(step(atom(), extra=',"min_count":3,"max_count":3')),
    "optional": document(step(atom()), step(atom("B"), transition(), ',"min_count":0,"max_count":1')),
    "no maximum": document(step(atom(), extra=',"min_count":1,"max_count":null')),
    "alternatives and counts": document(step(atom(), extra=',"alternatives":[%s],"min_count":2,"max_count":5'
                                             % atom("B"))),
    "minimum gap in ticks": document(step(atom()), step(atom("B"), transition(',"min_elapsed":30', "60"))),
    "minimum gap as a duration": document(step(atom()), step(atom("B"), transition(',"min_elapsed":"1h30m"'))),
    "within ticks": document(step(atom()), extra=',"within":-5'),
    "within a duration": document(step(atom()), extra=',"within":"5m"'),
    "anchors": document(step(atom()), extra=',"anchored_start":true,"anchored_end":true'),
    "end anchor": document(step(atom()), extra=',"anchored_end":true'),
    "non-overlapping": document(step(atom()), consumption="NonOverlapping", extra=',"within":"1d"'),
}


@pytest.mark.parametrize("written", ROUND_TRIPS.values(), ids=ROUND_TRIPS.keys())
def test_new_fields_read_and_write_back_byte_for_byte(written):
    pattern = pattern_from_json(written)
    assert pattern.to_json() == written
    assert pattern_from_json(pattern.to_json(pretty=True)).to_json() == written


@pytest.mark.parametrize("given, written", [
    # defaults given explicitly are left out when written
    (document(step(atom(), extra=',"min_count":1,"max_count":1,"alternatives":[]'),
              extra=',"within":null,"anchored_start":false'), document(step(atom()))),
    (document(step(atom("A", ',"any_type":false'))), document(step(atom()))),
    (document(step(atom()), step(atom(), transition(',"min_elapsed":null'))),
     document(step(atom()), step(atom(), transition()))),
    # either count alone brings the other along
    (document(step(atom(), extra=',"max_count":4')), document(step(atom(), extra=',"min_count":1,"max_count":4'))),
    (document(step(atom(), extra=',"min_count":2,"max_count":null')),
     document(step(atom(), extra=',"min_count":2,"max_count":null'))),
])
def test_defaults_are_not_written(given, written):
    assert pattern_from_json(given).to_json() == written


def error_of(doc):
    return message_of(lambda: pattern_from_json(doc), ValueError)


BAD = [
    (document(step(atom(), extra=',"min_count":-1')), "invalid value: integer `-1`, expected u32 at line 1 column 139"),
    (document(step(atom(), extra=',"max_count":4294967296')),
     "invalid value: integer `4294967296`, expected u32 at line 1 column 147"),
    (document(step(atom(), extra=',"min_count":null')), "invalid type: null, expected u32 at line 1 column 141"),
    (document(step(atom(), extra=',"max_count":2.0')),
     "invalid type: floating point `2.0`, expected u32 at line 1 column 140"),
    (document(step(atom(), extra=',"min_count":2,"min_count":2')), "duplicate field `min_count` at line 1 column 150"),
    (document(step(atom(), extra=',"alternatives":{}')), "invalid type: map, expected a sequence at line 1 column 140"),
    (document(step(atom("A", ',"any_type":1'))), "invalid type: integer `1`, expected a boolean at line 1 column 104"),
    (document(step(atom("A", ',"any_type":true'))),
     'an atom of any type has an empty `event_type`, not "A" at line 1 column 108'),
    (document(step(atom()), extra=',"within":"5 fortnights"'),
     'invalid value: string "5 fortnights", expected i64 or a duration such as "10m" or "1h30m" '
     "at line 1 column 189"),
    (document(step(atom()), step(atom(), transition(',"min_elapsed":true'))),
     "invalid type: boolean `true`, expected i64 at line 1 column 287"),
    (document(step(atom()), extra=',"anchored_end":"yes"'),
     'invalid type: string "yes", expected a boolean at line 1 column 186'),
    ('{"steps":[],"consumption":"Skip"}',
     "unknown variant `Skip`, expected one of `FirstSuccessorPerStart`, `ExhaustivePerStart`, `NonOverlapping` "
     "at line 1 column 32"),
    # the array form keeps its lengths: the new fields are in the object form only
    ('[[[["A",[],[],[]],null,[]]],"FirstSuccessorPerStart"]', "trailing characters at line 1 column 24"),
    ('[[[["A",[],[],[],true],null]],"FirstSuccessorPerStart"]', "trailing characters at line 1 column 18"),
    ('[[[["A",[],[],[]],null]],"FirstSuccessorPerStart",5]', "trailing characters at line 1 column 51"),
    # counts are checked as the pattern is, without a position
    (document(step(atom(), extra=',"min_count":0,"max_count":1')),
     "the first step cannot be optional: a match starts with an event"),
    (document(step(atom(), extra=',"min_count":0,"max_count":0')),
     "step 0 is taken at most 0 times: a step's maximum count must be at least 1"),
    (document(step(atom()), step(atom(), transition(), ',"min_count":3,"max_count":2')),
     "step 1 is taken at least 3 and at most 2 times: the maximum must not be below the minimum"),
]


@pytest.mark.parametrize("doc, message", BAD)
def test_bad_new_fields_are_refused(doc, message):
    assert error_of(doc) == message


# ---------------------------------------------------------------------------------------------
# The builder: each method's JSON, and its refusals

A = Pattern.event("A")
AB = A.then("B")


def steps_of(builder):
    return json.loads(builder.build().to_json())["steps"]


def top_of(builder):
    return {k: v for k, v in json.loads(builder.build().to_json()).items() if k != "steps"}


@pytest.mark.parametrize("builder, index, fields", [
    (AB.times(3), 1, {"min_count": 3, "max_count": 3}),
    (AB.times(2, 5), 1, {"min_count": 2, "max_count": 5}),
    (AB.times(0, math.inf), 1, {"min_count": 0, "max_count": None}),
    (A.times(1, None), 0, {}),
    (AB.optional(), 1, {"min_count": 0, "max_count": 1}),
    (A.one_or_more(), 0, {"min_count": 1, "max_count": None}),
    (AB.times(4).optional(), 1, {"min_count": 0, "max_count": 1}),  # the latest call wins
    (AB.at_least(30), 1, {"transition_from_previous": {"max_elapsed": None, "absence": [], "min_elapsed": 30}}),
    (AB.at_least(datetime.timedelta(minutes=1)).at_least(None), 1,
     {"transition_from_previous": {"max_elapsed": None, "absence": []}}),
    (A.then(ANY, no=ANY), 1, {"atom": ANY_ATOM, "transition_from_previous": {
        "max_elapsed": None, "absence": [ANY_ATOM]}}),
    (Pattern.event(ANY), 0, {"atom": ANY_ATOM}),
])
def test_builder_step_fields(builder, index, fields):
    step = steps_of(builder)[index]
    assert {k: v for k, v in step.items() if k in fields or k in NEW_STEP_KEYS} == fields


def test_branches_take_the_later_clauses():
    built = A.capture("u", "u").then("buy").where_gte("amount", 10).or_(ANY).where_gt("x", 1).capture("y", "v")
    step = steps_of(built)[1]
    assert [c["attribute"] for c in step["atom"]["predicates"]] == ["amount"]
    assert step["alternatives"] == [dict(ANY_ATOM, predicates=[
        {"attribute": "x", "operator": "Gt", "value": {"Int": 1}}], captures=[{"name": "v", "attribute": "y"}])]
    pattern = built.or_("refund").where_ref_eq("user", "$u").build()
    assert (pattern.types, pattern.attributes, pattern.bindings) == (("A", "buy", "refund"),
                                                                    ("u", "amount", "x", "y", "user"), ("u", "v"))


@pytest.mark.parametrize("builder, fields", [
    (A.within(300), {"within": 300}),
    (A.within(datetime.timedelta(hours=1, minutes=30)), {"within": "1h30m"}),
    (A.within(5).within(None), {}),
    (A.anchored(), {"anchored_start": True}),
    (A.anchored(end=True), {"anchored_start": True, "anchored_end": True}),
    (A.anchored(start=False, end=True), {"anchored_end": True}),
])
def test_builder_pattern_fields(builder, fields):
    assert top_of(builder) == {"consumption": "FirstSuccessorPerStart"} | fields


@pytest.mark.parametrize("call, error, message", [
    (lambda: A.times(0, 2), ValueError,
     "argument 'n': the first step cannot be optional: a match starts with an event"),
    (lambda: AB.times(0), ValueError,
     "argument 'n': a step taken exactly 0 times matches nothing: say times(0, m) or optional()"),
    (lambda: AB.times(3, 2), ValueError, "argument 'm': must not be below n (3), got 2"),
    (lambda: AB.times(0, 0), ValueError, "argument 'm': must be at least 1, got 0"),
    (lambda: AB.times(-1), ValueError, "argument 'n': must be at least 0, got -1"),
    (lambda: AB.times(1, 2**32), ValueError, "argument 'm': must be at most 4294967295, got 4294967296"),
    (lambda: AB.times(1.0), TypeError, "argument 'n': 'float' object cannot be interpreted as an integer"),
    (lambda: AB.times(1, -math.inf), TypeError, "argument 'm': 'float' object cannot be interpreted as an integer"),
    (lambda: A.optional(), ValueError,
     "PatternBuilder.optional(): the first step cannot be optional: a match starts with an event"),
    (lambda: A.at_least(5), ValueError, "PatternBuilder.at_least(): the first step has no step before it to keep a "
                                        "gap from; call at_least() after then()"),
    (lambda: AB.at_least("5m"), TypeError, "argument 'window': 'str' object cannot be interpreted as an integer"),
    (lambda: A.within(datetime.timedelta(seconds=-1)), ValueError, None),
    (lambda: AB.or_(None), TypeError, "argument 'typ': 'NoneType' object cannot be converted to 'PyString'"),
    (lambda: A.anchored(end=1), TypeError, "argument 'end': 'int' object cannot be converted to 'PyBool'"),
])
def test_builder_refusals(call, error, message):
    with pytest.raises(error) as caught:
        call()
    assert message is None or str(caught.value) == message


def test_any_is_one_object_that_pickles_as_itself():
    assert repr(ANY) == "vashlet.ANY"
    assert pickle.loads(pickle.dumps(ANY)) is ANY and copy.deepcopy(ANY) is ANY
    with pytest.raises(TypeError):
        type(ANY)()
    built = A.then("B").or_(ANY).times(2, math.inf).within(9).anchored(end=True)
    assert pickle.loads(pickle.dumps(built)).build().to_json() == built.build().to_json()


# ---------------------------------------------------------------------------------------------
# mode=: the consumption that reaches the core

pa = pytest.importorskip("pyarrow")
EVENTS = pa.table({"partition": ["p"] * 3, "ts": [1, 2, 3], "type": ["A", "B", "B"]})
CONSUMPTION = {None: "FirstSuccessorPerStart", "first": "FirstSuccessorPerStart", "all": "ExhaustivePerStart",
               "non_overlapping": "NonOverlapping"}


@pytest.fixture
def reaching_core(monkeypatch):
    """The consumption of each pattern handed to the native table calls, and their exhaustive flag."""
    seen = []
    real = Columns.read

    def read(self, native, pattern, source, **options):
        seen.append((json.loads(pattern.to_json())["consumption"], options.get("exhaustive", False)))
        return real(self, native, pattern, source, **options)

    monkeypatch.setattr(Columns, "read", read)
    return seen


def plan(pattern, **kw):
    from vashlet._scaleout import Plan  # Spark's and Dask's call, as the workers receive it

    return Plan(pattern, Columns(id="id"), explain=False, **kw)


CALLS = {
    "match": lambda pattern, **kw: vashlet.match(pattern, EVENTS, **kw),
    "explain": lambda pattern, **kw: vashlet.explain(pattern, EVENTS, **kw),
    "funnel": lambda pattern, **kw: vashlet.funnel(pattern, EVENTS, **kw),
    "funnel per partition": lambda pattern, **kw: vashlet.funnel(pattern, EVENTS, per="partition", **kw),
    "scale-out plan": lambda pattern, **kw: plan(pattern, **kw).pattern.to_json(),
}


@pytest.mark.parametrize("call", CALLS.values(), ids=CALLS.keys())
@pytest.mark.parametrize("mode", CONSUMPTION)
def test_mode_sets_the_consumption(call, mode, reaching_core):
    out = call("A -> B", mode=mode)
    consumption = json.loads(out)["consumption"] if isinstance(out, str) else reaching_core[-1][0]
    assert consumption == CONSUMPTION[mode]


EXHAUSTIVE_DOC = json.dumps(dict(json.loads(Pattern.event("A").then("B").build().to_json()),
                                 consumption="ExhaustivePerStart"))


@pytest.mark.parametrize("mode, exhaustive, from_document, from_text", [
    (None, False, 2, 1),  # the pattern's own consumption
    (None, True, 2, 2),
    ("first", False, 1, 1),  # mode overrides the document's
    ("all", False, 2, 2),
    ("all", True, 2, 2),
])
def test_mode_overrides_the_pattern_and_agrees_with_exhaustive(mode, exhaustive, from_document, from_text):
    document = pattern_from_json(EXHAUSTIVE_DOC)
    assert len(vashlet.match(document, EVENTS, mode=mode, exhaustive=exhaustive)) == from_document
    assert len(vashlet.match("A -> B", EVENTS, mode=mode, exhaustive=exhaustive)) == from_text


def test_non_overlapping_matches_share_no_events():
    views = pa.table({"partition": ["u"] * 7, "ts": range(7),
                      "type": ["view", "view", "cart", "purchase", "view", "cart", "purchase"]})
    rows = [row["rows"] for row in vashlet.match("view -> cart -> purchase", views, mode="non_overlapping")]
    assert rows == [[0, 2, 3], [4, 5, 6]]
    assert len(vashlet.match("view -> cart -> purchase", views)) == 3


@pytest.mark.parametrize("kwargs, error, message", [
    ({"mode": "first", "exhaustive": True}, ValueError,
     "exhaustive=True and mode='first' disagree: exhaustive=True means mode='all'; give only one of them"),
    ({"mode": "non_overlapping", "exhaustive": True}, ValueError, None),
    ({"mode": "First"}, ValueError, "mode must be one of 'first', 'all', 'non_overlapping', not 'First'"),
    ({"mode": 1}, TypeError, "argument 'mode': must be a str or None, not 'int'"),
])
def test_bad_modes(kwargs, error, message):
    for call in (CALLS["match"], CALLS["scale-out plan"]):
        with pytest.raises(error) as caught:
            call("A -> B", **kwargs)
        assert message is None or str(caught.value) == message
    if "exhaustive" not in kwargs:
        with pytest.raises(error):
            vashlet.explain("A -> B", EVENTS, **kwargs)


@pytest.mark.parametrize("argv, consumption, error", [
    (["match", "--mode", "non_overlapping"], "NonOverlapping", None),
    (["explain", "--mode", "all"], "ExhaustivePerStart", None),
    (["match", "--exhaustive"], "FirstSuccessorPerStart", None),  # widened by the flag, as before
    (["match", "--exhaustive", "--mode", "all"], "ExhaustivePerStart", None),
    (["match", "--exhaustive", "--mode", "first"], None,
     "--exhaustive and --mode first disagree: --exhaustive means --mode all; give only one of them"),
    (["match", "--mode", "some"], None, "argument --mode: invalid choice: 'some'"),
])
def test_cli_mode(argv, consumption, error, tmp_path, reaching_core):
    path = tmp_path / "events.csv"
    pytest.importorskip("pyarrow.csv").write_csv(EVENTS, path)
    stdout, stderr = io.StringIO(), io.StringIO()
    try:
        status = cli.run([*argv, "A -> B", str(path)], stdout, stderr)
    except SystemExit as exit:
        status = exit.code
    if error:
        assert status != 0 and error in stderr.getvalue()
    else:
        assert status == 0 and reaching_core[-1][0] == consumption


# ---------------------------------------------------------------------------------------------
# Introspection and the never-taken warning over branches, any type and repetition

@pytest.mark.parametrize("builder, problems", [
    # bound in an optional step or in one branch: may be bound, no warning
    (A.then("B").capture("k", "u").optional().then("C").where_ref_eq("k", "u"), []),
    (A.then("B").or_("X").capture("k", "u").then("C").where_ref_eq("k", "u"), []),
    (A.then("C").where_ref_eq("k", "u").or_(ANY).capture("k", "u").times(2), []),  # a repeated step binds itself
    (A.then("C", no="D").capture("k", "u").times(1, math.inf), []),
    # captured only later, or by the same step taken once: never
    (A.then("C").where_ref_eq("k", "u").or_(ANY).capture("k", "u"),
     ["step 1 (C | *) refers to $u, which no earlier step captures: it can never match"]),
    (A.then(ANY, within=-1).or_("B").where_ref_eq("k", "v"),
     ["step 1 (* | B) has a window of -1, below zero: it can never match",
      "step 1 (* | B) refers to $v, which no earlier step captures: it can never match"]),
])
def test_never_taken_over_language_steps(builder, problems):
    assert never_taken(builder.build()) == problems


@pytest.mark.parametrize("builder, types, attributes, bindings", [
    (Pattern.event(ANY).where_gt("amount", 1000), (), ("amount",), ()),
    (A.then("B", no=ANY).or_("C").capture("x", "c"), ("A", "B", "C"), ("x",), ("c",)),
])
def test_introspection_over_branches(builder, types, attributes, bindings):
    pattern = builder.build()
    assert (pattern.types, pattern.attributes, pattern.bindings) == (types, attributes, bindings)


# ---------------------------------------------------------------------------------------------
# Round trip of random language patterns built with the builder

types = st.text(max_size=4) | st.just(ANY)
windows = st.none() | st.integers(min_value=-(2**63), max_value=2**63 - 1) | st.timedeltas(
    min_value=datetime.timedelta(0), max_value=datetime.timedelta(days=9000))
clauses = st.lists(st.tuples(st.sampled_from(["where_eq", "where_lt", "capture", "where_ref_eq"]),
                             st.text(max_size=3), st.integers(-3, 3)), max_size=2)
counts = st.none() | st.tuples(st.integers(0, 4), st.none() | st.integers(1, 6) | st.just(math.inf))
later = st.tuples(types, windows, st.none() | types, clauses, st.lists(st.tuples(types, clauses), max_size=2),
                  counts, windows)


def with_clauses(builder, items):
    for method, name, value in items:
        builder = getattr(builder, method)(name, value if method.startswith("where_") and method != "where_ref_eq"
                                           else name)
    return builder


@settings(max_examples=300, deadline=None)
@given(types, clauses, counts, st.lists(later, max_size=3), windows, st.booleans(), st.booleans())
def test_language_patterns_read_back_as_written_in_json_and_text(first, items, first_counts, steps, within, start, end):
    builder = with_clauses(Pattern.event(first), items)
    for typ, window, no, step_items, branches, count, gap in [(None,) * 7] + steps:
        if typ is not None:
            builder = with_clauses(builder.then(typ, within=window, no=no), step_items).at_least(gap)
            for branch, branch_items in branches:
                builder = with_clauses(builder.or_(branch), branch_items)
        if count is not None and (typ is not None or count[0] > 0):
            n, m = count
            builder = builder.times(n, max(m, n, 1) if m is not None else (None if n else 1))
    pattern = builder.within(within).anchored(start, end).build()
    written = pattern.to_json()
    assert pattern_from_json(written).to_json() == written
    assert vashlet.pattern(pattern.to_text()).to_json() == written
    assert pattern_from_json(pattern.to_json(pretty=True)).to_json(pretty=True) == pattern.to_json(pretty=True)


# ---------------------------------------------------------------------------------------------
# The table API's checks of a pattern against the table reach every branch and absence, and an
# atom of any type is never an event type the table lacks.

def shop():
    pa = pytest.importorskip("pyarrow")
    return pa.table({"partition": ["u"] * 3, "ts": [0, 1, 2], "type": ["view", "cart", "buy"],
                     "price": pa.array([1.5] * 3, pa.float64())})


@pytest.mark.parametrize("text, message", [
    ('view -> (cart | buy[price > "10"])', "step 1 (buy): price > \"10\" compares a string"),
    ('(* | view[price == "2"])+', "step 0 (view): price == \"2\" compares a string"),
    ('view -[no cart, no buy[price < "3"]]-> buy', "step 1 (buy), absence of buy: price < \"3\""),
    ('view -> (* | buy) -[no *[price < "3"]]-> buy', "step 2 (buy), absence of *: price < \"3\""),
])
def test_literals_are_checked_in_every_branch_and_absence(text, message):
    for run_on in (vashlet.match, vashlet.explain, vashlet.funnel):
        with pytest.raises(ValueError, match="compares a string with 'price', a float64 column") as raised:
            run_on(vashlet.pattern(text), shop())
        assert message in str(raised.value)


@pytest.mark.parametrize("text", ["* -[no *]-> (buy | *)+", "^view -[no *[price as $p]]-> *$ within 5"])
def test_any_type_is_never_an_absent_type(text, recwarn):
    for run_on in (vashlet.match, vashlet.explain, vashlet.funnel):
        run_on(vashlet.pattern(text), shop())
    assert [str(w.message) for w in recwarn] == []
