"""Events: construction, attribute values in both directions, the repr, and sort_events."""

import math
import random

import pytest

from vashlet import Event, sort_events


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Real:
    def __float__(self):
        return 2.5


class Both(Index):
    def __float__(self):
        return 99.5


class IndexStr(str):
    def __index__(self):
        return 7


def value_back(value):
    return Event("p", 0, "t", {"v": value}).attrs["v"]


# ---------------------------------------------------------------------------------------------
# Fields and attributes


def test_fields_read_back():
    event = Event("part", -(2**63), "type", {"a": 1})
    assert (event.partition, event.ts, event.typ) == ("part", -(2**63), "type")
    assert Event("p", 2**63 - 1, "t").ts == 2**63 - 1


@pytest.mark.parametrize("ts, expected", [(True, 1), (Index(-4), -4), (7, 7)])
def test_timestamp_accepts_the_index_protocol(ts, expected):
    value = Event("p", ts, "t").ts
    assert value == expected and type(value) is int


@pytest.mark.parametrize("args", [("p", 1, "t"), ("p", 1, "t", None), ("p", 1, "t", {})])
def test_no_attributes(args):
    assert Event(*args).attrs == {}


def test_attributes_iterate_in_byte_order_of_their_names():
    attrs = Event("p", 1, "t", {"b": 1, "a": True, "B": None, "ab": 2, "é": 3, "z": 4}).attrs
    assert list(attrs) == ["B", "a", "ab", "b", "z", "é"]
    assert attrs == {"B": None, "a": True, "ab": 2, "b": 1, "z": 4, "é": 3}


def test_attrs_is_a_new_dict_each_time():
    event = Event("p", 1, "t", {"a": 1})
    first = event.attrs
    first["a"] = 2
    first["b"] = 3
    assert event.attrs == {"a": 1}
    assert event.attrs is not event.attrs


def test_dict_subclass_and_str_subclass_keys_are_accepted():
    class Attrs(dict):
        pass

    class Name(str):
        pass

    attrs = Event("p", 1, "t", Attrs({Name("k"): 1})).attrs
    assert attrs == {"k": 1}
    assert type(next(iter(attrs))) is str


def test_str_subclass_keys_that_encode_alike_keep_the_last_value():
    class Name(str):
        def __hash__(self):
            return id(self)

        def __eq__(self, other):
            return self is other

    assert Event("p", 1, "t", {Name("k"): 1, Name("k"): 2}).attrs == {"k": 2}


# ---------------------------------------------------------------------------------------------
# Values in both directions


@pytest.mark.parametrize(
    "given, expected",
    [
        (None, None),
        (True, True),
        (False, False),
        (0, 0),
        (-(2**63), -(2**63)),
        (2**63 - 1, 2**63 - 1),
        (1.0, 1.0),
        (-0.0, -0.0),
        (math.inf, math.inf),
        ("", ""),
        ("é\u0301 ☃", "é\u0301 ☃"),
        (2**63, 9.223372036854776e18),
        (2**64, 1.8446744073709552e19),
        (-(2**63) - 1, -9.223372036854776e18),
        (Index(5), 5),
        (Real(), 2.5),
        (Both(3), 3),          # the integer protocol comes first
        (IndexStr("x"), 7),    # ... even for a str subclass
    ],
)
def test_value_round_trip(given, expected):
    value = value_back(given)
    assert value == expected
    assert type(value) is type(expected)
    if isinstance(expected, float):
        assert math.copysign(1.0, value) == math.copysign(1.0, expected)


def test_nan_round_trips_as_nan():
    assert math.isnan(value_back(math.nan))


@pytest.mark.parametrize("given, expected", [(type("I", (int,), {})(4), 4),
                                             (type("S", (str,), {})("s"), "s")])
def test_subclasses_come_back_as_builtin_types(given, expected):
    value = value_back(given)
    assert value == expected and type(value) is type(expected)


@pytest.mark.parametrize("given", [[1], b"x", {}, object(), 10**400, 1j])
def test_unsupported_values(given):
    with pytest.raises(TypeError) as caught:
        value_back(given)
    assert str(caught.value) == "event attribute values must be str, int, float, bool, or None"


def test_numpy_scalars():
    np = pytest.importorskip("numpy")
    event = Event("p", np.int64(5), "t", {"i": np.int64(-3), "f": np.float64(0.25)})
    assert event.ts == 5
    assert event.attrs == {"f": 0.25, "i": -3}
    assert type(event.attrs["i"]) is int and type(event.attrs["f"]) is float


# ---------------------------------------------------------------------------------------------
# repr and the quoted form


@pytest.mark.parametrize(
    "text, quoted",
    [
        ("", '""'),
        ("login", '"login"'),
        ("it's", '"it\'s"'),
        ('a"b', '"a\\"b"'),
        ("back\\slash", '"back\\\\slash"'),
        ("\0\t\r\n", '"\\0\\t\\r\\n"'),
        ("\x01\x1f\x7f", '"\\u{1}\\u{1f}\\u{7f}"'),
        ("a b", '"a b"'),
        ("\u00a0\u3000\u2028\u2029", '"\\u{a0}\\u{3000}\\u{2028}\\u{2029}"'),
        ("é", '"é"'),
        ("e\u0301", '"e\\u{301}"'),                 # combining mark (Mn)
        ("\u20dd", '"\\u{20dd}"'),                  # enclosing mark (Me)
        ("\u09be\uff9e", '"\\u{9be}\\u{ff9e}"'),    # grapheme extenders outside Mn/Me
        ("\u200d\ufeff\U000e0041", '"\\u{200d}\\u{feff}\\u{e0041}"'),  # Cf
        ("\ue000\u0378", '"\\u{e000}\\u{378}"'),    # Co, Cn
        ("日本 😀 ½", '"日本 😀 ½"'),
    ],
)
def test_repr_quotes_partition_and_type(text, quoted):
    assert repr(Event(text, 3, text)) == f"Event(partition={quoted}, ts=3, typ={quoted})"


def test_repr_examples():
    assert repr(Event("p", -5, "login")) == 'Event(partition="p", ts=-5, typ="login")'
    assert repr(Event('a"b', 0, "x\ny")) == 'Event(partition="a\\"b", ts=0, typ="x\\ny")'
    assert repr(Event("p", -(2**63), "t", {"a": 1})) == (
        'Event(partition="p", ts=-9223372036854775808, typ="t")'
    )


# ---------------------------------------------------------------------------------------------
# sort_events


def keys(events):
    return [(e.partition, e.ts, e.typ) for e in events]


def test_partitions_sort_byte_wise():
    events = [Event(p, 0, p) for p in ["b", "a", "B", "ab", "\U00010000", "\uffff", "é", ""]]
    # UTF-8 byte order is code point order (unlike UTF-16 order for the last two).
    assert [e.partition for e in sort_events(events)] == ["", "B", "a", "ab", "b", "é", "\uffff",
                                                          "\U00010000"]


def test_ties_keep_input_order_and_only_partition_and_ts_count():
    events = [
        Event("a", 5, "X", {"k": 2}),
        Event("a", 5, "Y", {"k": 1}),
        Event("a", 1, "Z"),
        Event("a", -1, "W"),
        Event("a", 0, "V"),
        Event("a", 5, "A"),
    ]
    assert [e.typ for e in sort_events(events)] == ["W", "V", "Z", "X", "Y", "A"]


def test_sort_returns_copies_and_leaves_the_input_alone():
    event = Event("p", 1, "t", {"a": 1.5, "b": "x"})
    given = [Event("q", 0, "u"), event]
    before = list(given)
    result = sort_events(given)
    assert given == before
    assert type(result) is list
    assert result[0] is not event
    assert (result[0].partition, result[0].ts, result[0].typ, result[0].attrs) == (
        "p", 1, "t", {"a": 1.5, "b": "x"})


@pytest.mark.parametrize("container", [list, tuple])
def test_empty_and_tuple_inputs(container):
    assert sort_events(container()) == []
    assert keys(sort_events(container([Event("b", 1, "x"), Event("a", 2, "y")]))) == [
        ("a", 2, "y"), ("b", 1, "x")]


def test_any_sequence_is_accepted():
    class Events:
        def __init__(self, items):
            self.items = items

        def __len__(self):
            return len(self.items)

        def __getitem__(self, index):
            return self.items[index]

    assert keys(sort_events(Events([Event("b", 1, "x"), Event("a", 2, "y")]))) == [
        ("a", 2, "y"), ("b", 1, "x")]


def test_sort_matches_a_stable_sort_on_partition_bytes_and_ts():
    rng = random.Random(7)
    partitions = ["", "a", "ab", "b", "B", "é", "\uffff", "\U00010000"]
    events = [Event(rng.choice(partitions), rng.randint(-3, 3), str(i)) for i in range(2000)]
    expected = sorted(events, key=lambda e: (e.partition.encode(), e.ts))
    assert keys(sort_events(events)) == keys(expected)
