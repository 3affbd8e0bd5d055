"""Patterns checked against a table before matching: a literal that can never compare with its
column is an error, and an event type that no row has is a warning with the likely spelling.
Event sequences are not checked."""

import warnings

import pyarrow as pa
import pyarrow.feather as feather
import pytest

import vashlet
from vashlet import Event, match_events, near_miss_events
from vashlet._absent_types import nearest
from helpers import cli


def shop(types=("view", "cart", "purchase"), **columns):
    count = len(types)
    return pa.table({
        "partition": ["u"] * count,
        "ts": list(range(count)),
        "type": list(types),
        "price": pa.array([1.5] * count, pa.float64()),
        "qty": pa.array([2] * count, pa.int32()),
        "name": ["x"] * count,
        "flag": [True] * count,
        "when": pa.array([0] * count, pa.timestamp("us")),
        **columns,
    })


@pytest.mark.parametrize(
    "text, message",
    [
        ('view -> cart -> purchase[price > "10"]',
         "step 2 (purchase): price > \"10\" compares a string with 'price', a float64 column"),
        ('view[qty == "2"]', "step 0 (view): qty == \"2\" compares a string with 'qty', a int32"),
        ("view[name == 10]", "compares a number with 'name', a string column"),
        ("view[name != 1.5]", "compares a number with 'name', a string column"),
        ("view[name == true]", "compares a boolean with 'name', a string column"),
        ("view[price == false]", "compares a boolean with 'price', a float64 column"),
        ('view[flag == "yes"]', "compares a string with 'flag', a bool column"),
        ("view[flag == 1]", "compares a number with 'flag', a bool column"),
        ('view[when >= "2024-05-11"]', "compares a string with 'when', a timestamp[us] column"),
        ('view -[no cart[price < "3"]]-> purchase',
         "step 1 (purchase), absence of cart: price < \"3\" compares a string"),
    ],
)
def test_a_literal_that_never_compares_is_refused(text, message):
    for run_on in (vashlet.match, vashlet.explain, vashlet.funnel):
        with pytest.raises(ValueError) as raised:
            run_on(text, shop())
        assert message in str(raised.value)


def test_the_column_type_of_a_dictionary_is_its_values():
    table = shop(name=pa.array(["x", "x", "x"]).dictionary_encode())
    with pytest.raises(ValueError, match="compares a number with 'name', a string column"):
        vashlet.match("view[name == 1]", table)


@pytest.mark.parametrize(
    "text, matches",
    [
        ("view[price > 1]", 1),  # an integer against floats
        ("view[qty < 2.5]", 1),  # a float against integers
        ('view[name == "x"]', 1),
        ("view[flag == true]", 1),
        ("view[when >= 0]", 1),
        ("view[price == null]", 0),  # null is of no kind
        ("view[name as $n] -> cart[name == $n]", 1),  # references are not literals
    ],
)
def test_literals_that_compare_are_accepted(text, matches):
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        assert len(vashlet.match(text, shop())) == matches


def test_the_event_path_is_not_checked():
    events = [Event("u", 0, "view", {"price": 1.5}), Event("u", 1, "purchase", {"price": 2.0})]
    text = vashlet.parse_pattern('View -> purchase[price > "10"]')
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        assert match_events(text, events) == []
        assert near_miss_events(text, events) == []
        assert len(vashlet.match(text, events)) == 0


@pytest.mark.parametrize(
    "missing, present, suggestion",
    [
        ("View", ["view", "cart"], "view"),
        ("VIEW", ["veiw", "view"], "view"),  # a match ignoring case comes first
        ("purchse", ["purchase", "view"], "purchase"),
        ("Purchse", ["purchase", "view"], "purchase"),
        ("refund", ["view", "cart"], None),
    ],
)
def test_nearest_type(missing, present, suggestion):
    assert nearest(missing, present) == suggestion


def warned(text, data, **options):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        vashlet.match(text, data, **options)
    return [str(w.message) for w in caught if issubclass(w.category, UserWarning)]


def test_a_type_that_never_occurs_warns_with_the_nearest_one():
    assert warned("View -> cart", shop()) == [
        "the event type 'View' does not occur in column 'type'; did you mean 'view'?"
    ]
    assert warned("view -[no refund]-> kart", shop()) == [
        "the event type 'kart' does not occur in column 'type'; did you mean 'cart'?",
        "the event type 'refund' does not occur in column 'type'",
    ]
    assert warned("view -> cart -> purchase", shop()) == []
    assert warned("View", shop().slice(0, 0)) == []  # no rows: nothing to say


@pytest.mark.parametrize(
    "source",
    ["dictionary", "batches", "reader"],
)
def test_absent_types_are_found_in_any_layout(source):
    table = shop(types=["view"] * 4 + ["Cart"])
    if source == "dictionary":
        table = table.set_column(2, "type", table["type"].dictionary_encode())
    if source in ("batches", "reader"):
        table = pa.Table.from_batches(table.to_batches(max_chunksize=2))
    data = table
    if source == "reader":
        data = pa.RecordBatchReader.from_batches(table.schema, table.to_batches())
    messages = warned("view -> cart", data)
    assert len(messages) == 1 and "'cart' does not occur" in messages[0]
    if source != "reader":  # a stream read once cannot be read again for the hint
        assert messages[0].endswith("did you mean 'Cart'?")
    # A type met only in the last batch, or the last slice of a threaded read, occurs.
    assert warned("view -> Cart", data if source != "reader" else table) == []


def test_a_type_met_only_in_the_last_slice_of_a_threaded_read_occurs():
    count = 300_000
    table = pa.table({
        "partition": pa.array([0] * count, pa.int32()),
        "ts": pa.array(range(count), pa.int64()),
        "type": pa.array(["view"] * (count - 1) + ["cart"]).dictionary_encode(),
    })
    assert warned("view -> cart", table, threads=4) == []
    assert len(warned("view -> Cart", table, threads=4)) == 1


@pytest.mark.parametrize("call", [vashlet.match, vashlet.explain, vashlet.funnel])
def test_the_warning_names_the_callers_line(call):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        call("View -> cart", shop())
    assert [(w.filename, str(w.message)[:25]) for w in caught] == [
        (__file__, "the event type 'View' doe")
    ]


def test_the_warning_can_be_made_an_error():
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with pytest.raises(UserWarning, match="'View' does not occur"):
            vashlet.explain("View", shop())


def test_command_line_warns_on_stderr_and_succeeds(tmp_path):
    source = tmp_path / "events.arrow"
    feather.write_feather(shop(), source)
    status, out, err = cli("explain", "View -> cart", source, "--report", tmp_path / "r.html")
    assert (status, out) == (0, "no near misses\n")
    assert err == (
        "vashlet: warning: the event type 'View' does not occur in column 'type'; "
        "did you mean 'view'?\n"
    )
    status, out, err = cli("match", 'view[price > "10"]', source)
    assert (status, out) == (2, "")
    assert err.startswith("vashlet: error: step 0 (view): price > \"10\" compares a string")


@pytest.mark.parametrize("explain", [False, True])
def test_scale_out_groups_do_not_warn_of_types_other_groups_have(explain):
    from vashlet._inputs import Columns
    from vashlet._scaleout import Plan

    table = shop(types=["view", "view"]).append_column("id", pa.array([1, 2]))
    plan = Plan("view -> cart", Columns(id="id"), explain=explain)
    plan.check(table.schema)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        plan.run(table)
    with pytest.raises(ValueError, match="compares a string"):
        Plan('view[price > "1"]', Columns(id="id"), explain=explain).check(table.schema)
