"""Arguments whose Python protocols misbehave: a length that lies, and conversions interrupted by
an exception that must reach the caller unchanged."""

import sys

import pytest

from helpers import VALUE_MESSAGE, message_of
from vashlet import Event, Pattern, match_events, near_miss_events, parse_pattern, sort_events

EVENTS = [Event("p", 0, "A"), Event("p", 1, "B")]

ENTRY_POINTS = {
    "sort_events": lambda events: [e.typ for e in sort_events(events)],
    "match_events": lambda events: [m.indices for m in match_events(parse_pattern("A -> B"), events)],
    "near_miss_events": lambda events: [m.indices for m in near_miss_events(parse_pattern("A -> B -> C"),
                                                                            events)],
}


def lying(length):
    """A sequence of EVENTS whose __len__ returns `length` (or raises it)."""

    class Lying:
        def __len__(self):
            if isinstance(length, BaseException):
                raise length
            return length

        def __getitem__(self, index):
            return EVENTS[index]

    return Lying()


@pytest.mark.parametrize("entry", ENTRY_POINTS.values(), ids=ENTRY_POINTS.keys())
@pytest.mark.parametrize("length", [sys.maxsize, 2**40, 3, 0, 2**64, -1, ValueError("no length")])
def test_a_length_is_only_a_hint(entry, length):
    assert entry(lying(length)) == entry(list(EVENTS))


@pytest.mark.parametrize("entry", ENTRY_POINTS.values(), ids=ENTRY_POINTS.keys())
def test_an_interrupted_length_propagates(entry):
    interrupt = KeyboardInterrupt()
    with pytest.raises(KeyboardInterrupt) as caught:
        entry(lying(interrupt))
    assert caught.value is interrupt


# ---------------------------------------------------------------------------------------------
# Attribute values and operands: only ordinary failures of a conversion are passed over


class Interrupted(BaseException):
    pass


class Failing:
    """A value whose integer and float protocols raise `error`."""

    def __init__(self, error):
        self.error = error

    def __index__(self):
        raise self.error

    def __float__(self):
        raise self.error


class FloatOnly:
    def __init__(self, error):
        self.error = error

    def __float__(self):
        raise self.error


def failing_type_lookup(error):
    # The value's type cannot even say which module it comes from.
    class Meta(type):
        def __getattribute__(cls, name):
            if name == "__module__":
                raise error
            return super().__getattribute__(name)

    return Meta("Opaque", (), {})()


CONVERSIONS = {
    "Event": lambda value: Event("p", 0, "A", {"x": value}),
    **{name: (lambda name: lambda value: getattr(Pattern.event("A"), name)("x", value))(name)
       for name in ["where_eq", "where_ne", "where_gt", "where_gte", "where_lt", "where_lte"]},
}
VALUES = {"both protocols": Failing, "__float__ only": FloatOnly, "type lookup": failing_type_lookup}


@pytest.mark.parametrize("convert", CONVERSIONS.values(), ids=CONVERSIONS.keys())
@pytest.mark.parametrize("make", VALUES.values(), ids=VALUES.keys())
@pytest.mark.parametrize("error", [KeyboardInterrupt, SystemExit, MemoryError, GeneratorExit, Interrupted])
def test_interrupts_propagate_unchanged(convert, make, error):
    raised = error("stop")
    with pytest.raises(error) as caught:
        convert(make(raised))
    assert caught.value is raised


@pytest.mark.parametrize("convert", CONVERSIONS.values(), ids=CONVERSIONS.keys())
@pytest.mark.parametrize("make", VALUES.values(), ids=VALUES.keys())
@pytest.mark.parametrize("error", [TypeError, ValueError, OverflowError, ArithmeticError, LookupError])
def test_ordinary_failures_still_read_as_an_unsupported_value(convert, make, error):
    assert message_of(lambda: convert(make(error("no")))) == VALUE_MESSAGE
