"""Events: fields, attribute values in both directions, the quoted form in the repr, sort_events."""

import math
import random
import time

import pytest

from helpers import INT64_MAX, INT64_MIN, VALUE_MESSAGE, Index, Sequence, message_of
from vashlet import Event, Pattern, match_events, sort_events


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


@pytest.mark.parametrize("ts, expected", [(INT64_MIN, INT64_MIN), (INT64_MAX, INT64_MAX), (True, 1),
                                          (Index(-4), -4)])
def test_timestamps(ts, expected):
    event = Event("part", ts, "type")
    assert (event.partition, event.ts, event.typ, event.attrs) == ("part", expected, "type", {})
    assert type(event.ts) is int


def test_attributes_iterate_in_byte_order_and_each_read_is_a_new_dict():
    event = Event("p", 1, "t", {"b": 1, "a": True, "B": None, "ab": 2, "é": 3, "z": 4})
    assert list(event.attrs.items()) == [("B", None), ("a", True), ("ab", 2), ("b", 1), ("z", 4), ("é", 3)]
    first = event.attrs
    first.clear()
    assert event.attrs is not first and len(event.attrs) == 6
    assert Event("p", 1, "t", {}).attrs == Event("p", 1, "t", None).attrs == {}


def test_names_that_encode_alike_keep_the_last_value_wherever_they_arrive():
    # str subclasses distinct to Python but encoding alike, in a dict subclass
    name = type("Name", (str,), {"__hash__": lambda self: id(self), "__eq__": lambda self, o: self is o})
    given = [("b", 1), ("a", 2), ("b", 3), ("é", 4), ("a", 5), ("", 6), ("b", 7), ("ab", 8)]
    attrs = Event("p", 1, "t", type("Attrs", (dict,), {})({name(key): value for key, value in given})).attrs
    assert list(attrs.items()) == [("", 6), ("a", 5), ("ab", 8), ("b", 7), ("é", 4)]
    assert all(type(key) is str for key in attrs)


@pytest.mark.parametrize("order", ["descending", "ascending", "shuffled"])
def test_many_attributes_are_ordered_in_one_sort(order):
    # Inserting each name at its place took minutes for 100,000 names arriving in descending order.
    names = [f"{prefix}{i:05d}" for i in range(50_000) for prefix in ("k", "k\u00e9")]
    arrival = {"descending": sorted(names, reverse=True), "ascending": sorted(names),
               "shuffled": random.Random(3).sample(names, len(names))}[order]
    started = time.monotonic()
    attrs = Event("p", 1, "t", {name: i for i, name in enumerate(arrival)}).attrs
    assert time.monotonic() - started < 10
    assert list(attrs) == sorted(names, key=str.encode)
    assert all(attrs[name] == i for i, name in enumerate(arrival))


@pytest.mark.parametrize("given, expected", [
    (None, None), (True, True), (False, False),
    (INT64_MIN, INT64_MIN), (INT64_MAX, INT64_MAX),
    (2**63, 9.223372036854776e18), (-(2**63) - 1, -9.223372036854776e18),  # beyond int64: a float
    (-0.0, -0.0), (math.inf, math.inf), ("", ""), ("é\u0301 ☃", "é\u0301 ☃"),
    (Index(5), 5), (Real(), 2.5),
    (Both(3), 3), (IndexStr("x"), 7),  # the integer protocol comes first, even for a str subclass
    (type("I", (int,), {})(4), 4), (type("S", (str,), {})("s"), "s"),  # subclasses come back as builtins
])
def test_values_round_trip(given, expected):
    value = value_back(given)
    assert (value, type(value)) == (expected, type(expected))
    if isinstance(expected, float):
        assert math.copysign(1.0, value) == math.copysign(1.0, expected)


def test_nan_round_trips():
    assert math.isnan(value_back(math.nan))


@pytest.mark.parametrize("given", [[1], b"x", {}, object(), 10**400, 1j, "\ud800"])
def test_unsupported_values(given):
    assert message_of(lambda: value_back(given)) == VALUE_MESSAGE


def test_numpy_scalars_convert_by_kind():
    np = pytest.importorskip("numpy")
    event = Event("p", np.int64(5), "t", {"i": np.int64(-3), "f": np.float64(0.25), "b": np.True_})
    assert event.ts == 5
    assert [(k, v, type(v)) for k, v in event.attrs.items()] == [
        ("b", True, bool), ("f", 0.25, float), ("i", -3, int)]
    # A NumPy truth value is a Bool on both sides, never the number 1.
    events = [Event("p", 0, "A", {"flag": np.True_}), Event("p", 1, "A", {"flag": 1.0})]
    pattern = Pattern.event("A").where_eq("flag", np.bool_(True))
    assert [m.indices for m in match_events(pattern, events)] == [[0]]


# ---------------------------------------------------------------------------------------------
# sort_events


def keys(events):
    return [(e.partition, e.ts, e.typ) for e in events]


def test_sort_is_stable_on_partition_bytes_then_timestamp():
    rng = random.Random(7)
    # UTF-8 byte order is code point order, unlike UTF-16 order for the last two. The rest share
    # long prefixes, with and without NUL bytes, around and beyond eight bytes.
    partitions = ["", "a", "ab", "b", "B", "é", "\uffff", "\U00010000",
                  "\0", "a\0", "a\0\0", "abcdefgh", "abcdefgh\0", "abcdefghi", "abcdefgi", "abcdefg\xff",
                  "user-000000001", "user-000000002", "user-0000000010"]
    events = [Event(rng.choice(partitions), rng.randint(-3, 3), str(i), {"k": -i}) for i in range(2000)]
    expected = sorted(events, key=lambda e: (e.partition.encode(), e.ts))
    assert keys(sort_events(events)) == keys(expected)


@pytest.mark.parametrize("container", [list, tuple, Sequence])
def test_sort_returns_new_events_and_leaves_its_input_alone(container):
    given = [Event("q", 0, "u"), Event("p", 1, "t", {"a": 1.5, "b": "x"})]
    before = list(given)
    result = sort_events(container(given))
    assert type(result) is list and given == before
    assert result[0] is not given[1]
    assert [keys(result), result[0].attrs] == [[("p", 1, "t"), ("q", 0, "u")], {"a": 1.5, "b": "x"}]
    assert sort_events(container([])) == []
