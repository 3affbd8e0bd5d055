"""The module object, class policy, argument binding and the conversion errors of every call."""

import importlib
import inspect
import sys
import weakref

import pytest

import vashlet
from vashlet import _core
from vashlet._core import Event, sort_events

FULL_ORDER = [
    "Event", "Pattern", "PatternBuilder", "Match", "NearMiss",
    "parse_pattern", "pattern_from_json", "sort_events", "match_events", "near_miss_events",
]


class Outer:
    class Inner:
        pass


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class RaisingIndex:
    def __init__(self, error):
        self.error = error

    def __index__(self):
        raise self.error


class TypeErrorSubclass(TypeError):
    pass


# ---------------------------------------------------------------------------------------------
# The module


def test_module_identity():
    assert _core.__name__ == "vashlet._core"
    assert _core.__doc__ == ""
    assert sort_events.__module__ == "vashlet._core"


def test_all_lists_the_attributes_in_registration_order():
    assert _core.__all__ == [name for name in FULL_ORDER if hasattr(_core, name)]
    assert {"Event", "sort_events"} <= set(_core.__all__)
    assert vashlet.__all__ == _core.__all__
    assert all(getattr(vashlet, name) is getattr(_core, name) for name in _core.__all__)


def test_reimport_returns_the_same_module_object():
    saved = sys.modules.pop("vashlet._core")
    try:
        again = importlib.import_module("vashlet._core")
        assert again is saved
        assert again.Event is Event
    finally:
        sys.modules["vashlet._core"] = saved


def test_a_second_interpreter_is_refused():
    interpreters = pytest.importorskip("_xxsubinterpreters")
    interpreter = interpreters.create()
    try:
        with pytest.raises(interpreters.RunFailedError) as caught:
            interpreters.run_string(interpreter, "import vashlet._core")
        assert "ImportError" in str(caught.value)
    finally:
        interpreters.destroy(interpreter)


# ---------------------------------------------------------------------------------------------
# Class policy


def test_event_class_is_final():
    with pytest.raises(TypeError):
        type("Sub", (Event,), {})


def test_event_instances_have_no_dict_and_no_weakref():
    event = Event("p", 1, "t")
    assert not hasattr(event, "__dict__")
    with pytest.raises(AttributeError):
        event.extra = 1
    with pytest.raises(TypeError):
        weakref.ref(event)


def test_event_class_names():
    assert Event.__module__ == "builtins"
    assert Event.__name__ == "Event"
    assert Event.__qualname__ == "Event"
    assert repr(Event) == "<class 'builtins.Event'>"


@pytest.mark.parametrize("name", ["partition", "ts", "typ", "attrs"])
def test_event_properties_are_read_only_and_undocumented(name):
    event = Event("p", 1, "t")
    with pytest.raises(AttributeError):
        setattr(event, name, getattr(event, name))
    with pytest.raises(AttributeError):
        delattr(event, name)
    assert getattr(Event, name).__doc__ is None


def test_event_equality_is_identity():
    first, second = Event("p", 1, "t"), Event("p", 1, "t")
    assert first != second
    assert first == first
    assert hash(first) != hash(second)


def test_signatures_and_docstrings():
    assert Event.__text_signature__ == "(partition, ts, typ, attrs=None)"
    assert Event.__doc__ == "A single typed, timestamped event within a partition."
    assert list(inspect.signature(Event).parameters) == ["partition", "ts", "typ", "attrs"]
    assert sort_events.__name__ == "sort_events"
    assert sort_events.__text_signature__ == "(events)"
    assert sort_events.__doc__ == (
        "Return a copy of `events` sorted by partition then `(timestamp, input order)`."
    )


# ---------------------------------------------------------------------------------------------
# Argument binding


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: Event(), "Event.__new__() missing 3 required positional arguments: "
                          "'partition', 'ts', and 'typ'"),
        (lambda: Event("p"), "Event.__new__() missing 2 required positional arguments: "
                             "'ts' and 'typ'"),
        (lambda: Event(ts=1), "Event.__new__() missing 2 required positional arguments: "
                              "'partition' and 'typ'"),
        (lambda: Event("p", 1), "Event.__new__() missing 1 required positional argument: 'typ'"),
        (lambda: sort_events(), "sort_events() missing 1 required positional argument: 'events'"),
        (lambda: Event("p", 1, "t", None, 5),
         "Event.__new__() takes from 3 to 4 positional arguments but 5 were given"),
        (lambda: sort_events([], []),
         "sort_events() takes 1 positional arguments but 2 were given"),
        (lambda: sort_events(evts=[]), "sort_events() got an unexpected keyword argument 'evts'"),
        (lambda: Event("p", 1, "t", **{"é": 1}),
         "Event.__new__() got an unexpected keyword argument 'é'"),
        (lambda: Event("p", 1, "t", Partition="q"),
         "Event.__new__() got an unexpected keyword argument 'Partition'"),
        (lambda: sort_events([], events=[]),
         "sort_events() got multiple values for argument 'events'"),
        (lambda: Event("p", 1, "t", partition="q"),
         "Event.__new__() got multiple values for argument 'partition'"),
        # Check order: too many positional, then keywords in the order given, then missing.
        (lambda: Event(1, 2, 3, 4, 5, bogus=1),
         "Event.__new__() takes from 3 to 4 positional arguments but 5 were given"),
        (lambda: Event(bogus=1), "Event.__new__() got an unexpected keyword argument 'bogus'"),
        (lambda: Event("p", bogus=1, partition="q"),
         "Event.__new__() got an unexpected keyword argument 'bogus'"),
        (lambda: Event("p", partition="q", bogus=1),
         "Event.__new__() got multiple values for argument 'partition'"),
        # Binding is complete before any conversion runs.
        (lambda: Event(None, None),
         "Event.__new__() missing 1 required positional argument: 'typ'"),
    ],
)
def test_binding_errors(call, message):
    with pytest.raises(TypeError) as caught:
        call()
    assert str(caught.value) == message


def test_keywords_bind_in_any_order():
    event = Event(typ="t", ts=3, partition="p", attrs={"a": 1})
    assert (event.partition, event.ts, event.typ, event.attrs) == ("p", 3, "t", {"a": 1})
    assert sort_events(events=[event])[0].typ == "t"


# ---------------------------------------------------------------------------------------------
# Conversion errors


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: Event(None, 1, "t"),
         "argument 'partition': 'NoneType' object cannot be converted to 'PyString'"),
        (lambda: Event(b"p", 1, "t"),
         "argument 'partition': 'bytes' object cannot be converted to 'PyString'"),
        (lambda: Event("p", 1, Outer.Inner()),
         "argument 'typ': 'Outer.Inner' object cannot be converted to 'PyString'"),
        (lambda: Event("p", 1.5, "t"),
         "argument 'ts': 'float' object cannot be interpreted as an integer"),
        (lambda: Event("p", None, "t"),
         "argument 'ts': 'NoneType' object cannot be interpreted as an integer"),
        (lambda: Event("p", "1", "t"),
         "argument 'ts': 'str' object cannot be interpreted as an integer"),
        (lambda: Event("p", 1, "t", [("a", 1)]),
         "argument 'attrs': 'list' object cannot be converted to 'PyDict'"),
        (lambda: sort_events(None),
         "argument 'events': 'NoneType' object cannot be converted to 'Sequence'"),
        (lambda: sort_events({}),
         "argument 'events': 'dict' object cannot be converted to 'Sequence'"),
        (lambda: sort_events(e for e in []),
         "argument 'events': 'generator' object cannot be converted to 'Sequence'"),
        (lambda: sort_events([Event("p", 1, "t"), 1]),
         "argument 'events': 'int' object cannot be converted to 'Event'"),
        (lambda: sort_events((Event("p", 1, "t"), "x")),
         "argument 'events': 'str' object cannot be converted to 'Event'"),
        (lambda: Event("p", RaisingIndex(TypeError("no index today")), "t"),
         "argument 'ts': no index today"),
    ],
)
def test_conversion_errors_name_the_parameter(call, message):
    with pytest.raises(TypeError) as caught:
        call()
    assert type(caught.value) is TypeError
    assert str(caught.value) == message


def test_str_is_refused_as_an_event_list_before_the_sequence_check():
    with pytest.raises(TypeError) as caught:
        sort_events("ab")
    assert str(caught.value).startswith("argument 'events': ")
    assert "Sequence" not in str(caught.value)


def test_prefixed_error_keeps_the_cause():
    cause = ValueError("root")
    error = TypeError("wrapped")
    error.__cause__ = cause
    with pytest.raises(TypeError) as caught:
        Event("p", RaisingIndex(error), "t")
    assert str(caught.value) == "argument 'ts': wrapped"
    assert caught.value is not error
    assert caught.value.__cause__ is cause


@pytest.mark.parametrize(
    "error", [TypeErrorSubclass("sub"), ValueError("value"), KeyError("key")]
)
def test_errors_other_than_exact_type_error_pass_unchanged(error):
    with pytest.raises(type(error)) as caught:
        Event("p", RaisingIndex(error), "t")
    assert caught.value is error


@pytest.mark.parametrize("ts", [2**63, -(2**63) - 1, Index(2**64)])
def test_timestamp_overflow_passes_through(ts):
    with pytest.raises(OverflowError):
        Event("p", ts, "t")


@pytest.mark.parametrize(
    "call",
    [
        lambda: Event("\ud800", 1, "t"),
        lambda: Event("p", 1, "x\udfffy"),
        lambda: Event("p", 1, "t", {"\udc80": 1}),
    ],
)
def test_unencodable_text_passes_through(call):
    with pytest.raises(UnicodeEncodeError):
        call()


@pytest.mark.parametrize(
    "attrs, message",
    [
        ({1: "x"}, "'int' object cannot be converted to 'PyString'"),
        ({"ok": 1, None: 2}, "'NoneType' object cannot be converted to 'PyString'"),
        ({"x": [1]}, "event attribute values must be str, int, float, bool, or None"),
        ({"x": b"x"}, "event attribute values must be str, int, float, bool, or None"),
        ({"x": 10**400}, "event attribute values must be str, int, float, bool, or None"),
        ({"x": "\ud800"}, "event attribute values must be str, int, float, bool, or None"),
    ],
)
def test_attribute_errors_are_not_prefixed(attrs, message):
    with pytest.raises(TypeError) as caught:
        Event("p", 1, "t", attrs)
    assert str(caught.value) == message


# ---------------------------------------------------------------------------------------------
# Internal failures


def panic_type():
    """Provokes one internal failure and returns the class it was raised as."""
    attrs = {}

    class Grow:
        def __index__(self):
            attrs["late"] = 1
            return 1

    attrs["x"] = Grow()
    with pytest.raises(BaseException) as caught:
        Event("p", 1, "t", attrs)
    return type(caught.value), str(caught.value)


def test_panic_exception_derives_from_base_exception_only():
    cls, _ = panic_type()
    assert cls.__name__ == "PanicException"
    assert issubclass(cls, BaseException)
    assert not issubclass(cls, Exception)
    assert panic_type()[0] is cls  # created once


def test_dict_growing_during_conversion_panics():
    assert panic_type()[1] == "dictionary changed size during iteration"


def test_dict_rekeyed_during_conversion_panics_without_reading_freed_entries():
    attrs = {}

    class Rekey:
        def __index__(self):
            # Drops the dict's references to this entry, then keeps the size unchanged.
            del attrs["".join(["fi", "rst"])]
            attrs["third"] = 3
            return 1

    attrs["".join(["fi", "rst"])] = Rekey()
    attrs["second"] = 2
    with pytest.raises(BaseException) as caught:
        Event("p", 1, "t", attrs)
    assert type(caught.value).__name__ == "PanicException"
    assert str(caught.value) == "dictionary keys changed during iteration"
