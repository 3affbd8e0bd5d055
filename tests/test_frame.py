"""The module, the class policy, texts and signatures of every callable, argument binding, the
conversion errors of every call and the internal-failure exception."""

import importlib
import inspect
import sys
import weakref

import pytest

import vashlet
from helpers import COERCE_MESSAGE, ORDER_MESSAGE, VALUE_MESSAGE, Index, message_of
from vashlet import _core
from vashlet import (Event, Match, NearMiss, Pattern, PatternBuilder, match_events, near_miss_events,
                     parse_pattern, pattern_from_json, sort_events)


class Outer:
    class Inner:
        pass


class RaisingIndex:
    def __init__(self, error):
        self.error = error

    def __index__(self):
        raise self.error


def test_module_attributes_in_registration_order():
    assert (_core.__name__, _core.__doc__) == ("vashlet._core", "")
    assert _core.__all__ == ["Event", "Pattern", "PatternBuilder", "Match", "NearMiss", "parse_pattern",
                             "pattern_from_json", "sort_events", "match_events", "near_miss_events"]
    assert vashlet.__all__ == _core.__all__ + [
        "match", "explain", "MatchTable", "NearMissTable", "funnel", "Funnel", "FunnelStep", "StopReason",
        "PanicException",
        "release_memory",
    ]
    assert all(getattr(vashlet, name) is getattr(_core, name) for name in _core.__all__)


def test_reimport_returns_the_same_module_object():
    saved = sys.modules.pop("vashlet._core")
    try:
        assert importlib.import_module("vashlet._core") is saved
    finally:
        sys.modules["vashlet._core"] = saved


def test_a_second_interpreter_is_refused():
    interpreters = pytest.importorskip("_xxsubinterpreters")
    interpreter = interpreters.create()
    try:
        with pytest.raises(interpreters.RunFailedError, match="ImportError"):
            interpreters.run_string(interpreter, "import vashlet._core")
    finally:
        interpreters.destroy(interpreter)


# ---------------------------------------------------------------------------------------------
# Classes: texts, members in order, and what instances refuse

PROPERTY = (None, None)
CLASSES = {
    Event: ("(partition, ts, typ, attrs=None)", "A single typed, timestamped event within a partition.",
            {"partition": PROPERTY, "ts": PROPERTY, "typ": PROPERTY, "attrs": PROPERTY}),
    Pattern: (None, "A compiled or parsed pattern, ready to match.", {
        "event": ("(typ)", "Start a builder for a pattern whose first step matches `typ`."),
        "to_json": ("($self, pretty=False)", "Serialise the pattern to the stable JSON AST."),
        # Their texts are the stub's; their values are tested in test_patterns.
        **{name: (None, getattr(Pattern, name).__doc__) for name in ("steps", "types", "attributes", "bindings")},
    }),
    PatternBuilder: (None, "A small fluent builder for the stable human-facing construction path.\n\n"
                     "The text DSL remains experimental; this builder covers the common\n"
                     "event-type, predicate, capture/reference, window, and absence subset used by\n"
                     "the examples.", {
        **{f"where_{name}": ("($self, attribute, value)", f"Add `attribute {op} value` to the current step.")
           for name, op in [("eq", "=="), ("ne", "!="), ("gt", ">"), ("gte", ">="), ("lt", "<"),
                            ("lte", "<=")]},
        "capture": ("($self, attribute, name)", "Capture `attribute` from the current step as `$name`."),
        "where_ref_eq": ("($self, attribute, name)", "Add `attribute == $name` to the current step."),
        "then": ("($self, typ, within=None, no=None)",
                 "Append a step matching `typ`, optionally at most `within` after the previous\n"
                 "step and forbidding an intervening event of type `no`.\n\n"
                 "`within` is a `datetime.timedelta` or `numpy.timedelta64` (a duration, converted to\n"
                 "the unit of the data's timestamps), or an int (raw ticks of the timestamps)."),
        "build": ("($self)", "Finalise the builder into a [`PyPattern`]."),
    }),
    Match: (None, "A single match, carrying its participating events and captured bindings.", {
        **dict.fromkeys(["partition", "indices", "start", "end", "types", "events"], PROPERTY),
        "captures": (None, "Captured bindings (registers) as a dict of name to value."),
    }),
    NearMiss: (None, "A start that did not match, with its deepest partial path and the reason.", {
        **dict.fromkeys(["partition", "start_index", "indices", "reached_steps", "next_event_type"],
                        PROPERTY),
        "reason": (None, "One of: predicate_failed, absence_blocked, window_exceeded, no_successor."),
        "detail": (None, 'Reason-specific specifics as a dict (keyed by "kind"); includes failed\n'
                         "clauses, blocking events, or window counterfactuals."),
        "events": PROPERTY, "captures": PROPERTY,
    }),
}

FUNCTIONS = [
    (parse_pattern, "(text)", "Parse the Phase 1 text subset into a [`PyPattern`]."),
    (pattern_from_json, "(json)", "Build a pattern from the stable JSON AST, validating its structure."),
    (sort_events, "(events)",
     "Return a copy of `events` sorted by partition then `(timestamp, input order)`."),
    (match_events,
     "(pattern, events, exhaustive=False, use_oracle=False, *, threads=None, ts_unit=None, "
     "max_matches=None)",
     "Run a pattern over already-sorted events.\n\nRaises `ValueError` if the events are not grouped by "
     "partition and sorted by\n`(timestamp, input order)`; callers should use the high-level `match`\n"
     "wrapper or [`sort_events`] first.\n\nPartitions are matched on `threads` native threads "
     "(default: the usable cores;\n1 runs on the calling thread); the result does not depend on it.\n\n"
     "`ts_unit` ('s', 'ms', 'us' or 'ns') says what the events' integer timestamps count;\n"
     "a window with a unit (`-[<=10m]->`) needs it. A window without one is raw ticks.\n\n"
     "With `max_matches`, more matches than that raise `ValueError` naming the limit and the\n"
     "partition where it was passed. Exhaustive matching that would outgrow the memory the\n"
     "process may use raises `MemoryError` naming the partition and its size."),
    (near_miss_events, "(pattern, events, *, threads=None, ts_unit=None)",
     "Explain near-misses: starts that did not match, with their deepest partial\n"
     "path and the reason. Requires already-sorted events (see [`match_events`]).\n"
     "Partitions are analysed on `threads` native threads, and `ts_unit` says what the\n"
     "timestamps count, as in `match_events`."),
]


def instance_of(cls):
    events = [Event("p", 0, "A"), Event("p", 1, "B")]
    return {
        Event: lambda: events[0],
        Pattern: lambda: parse_pattern("A -> C"),
        PatternBuilder: lambda: Pattern.event("A"),
        Match: lambda: match_events(Pattern.event("A"), events)[0],
        NearMiss: lambda: near_miss_events(parse_pattern("A -> C"), events)[0],
    }[cls]()


@pytest.mark.parametrize("cls", CLASSES)
def test_class_texts_and_members(cls):
    signature, doc, members = CLASSES[cls]
    assert (cls.__text_signature__, cls.__doc__) == (signature, doc)
    assert [name for name in vars(cls) if not name.startswith("_")] == list(members)
    for name, (signature, doc) in members.items():
        member = getattr(cls, name)
        assert (getattr(member, "__text_signature__", None), member.__doc__) == (signature, doc)
        if signature:
            inspect.signature(member)
    if cls is Pattern:
        assert isinstance(vars(Pattern)["event"], staticmethod)


@pytest.mark.parametrize("function, signature, doc", FUNCTIONS)
def test_function_texts(function, signature, doc):
    assert (function.__text_signature__, function.__doc__) == (signature, doc)
    assert function.__module__ == "vashlet._core" and getattr(_core, function.__name__) is function
    inspect.signature(function)


@pytest.mark.parametrize("cls", CLASSES)
def test_class_policy(cls):
    assert (cls.__module__, cls.__qualname__, repr(cls)) == ("builtins", cls.__name__,
                                                            f"<class 'builtins.{cls.__name__}'>")
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    if cls is not Event:
        for args, kwargs in [((), {}), ((1, 2), {"x": 3})]:
            assert message_of(lambda: cls(*args, **kwargs)) == f"No constructor defined for {cls.__name__}"
    first, second = instance_of(cls), instance_of(cls)
    assert first == first and first != second and hash(first) != hash(second)
    assert not hasattr(first, "__dict__")
    with pytest.raises(AttributeError):
        first.extra = 1
    with pytest.raises(TypeError):
        weakref.ref(first)
    for name, (signature, _) in CLASSES[cls][2].items():
        if signature is None:  # a property
            with pytest.raises(AttributeError):
                setattr(first, name, getattr(first, name))
            with pytest.raises(AttributeError):
                delattr(first, name)


def test_unbound_calls_refuse_a_foreign_receiver():
    # The interpreter checks the receiver before native code would read it as its own.
    assert "'builtins.Pattern'" in message_of(lambda: PatternBuilder.build(Pattern.event("A").build()))
    assert "'builtins.Event'" in message_of(lambda: Match.partition.__get__(Event("p", 0, "A")))


# ---------------------------------------------------------------------------------------------
# Argument binding: every template, and the order of the checks

B = Pattern.event("A")
P = B.build()
NEW, MISSING, TAKES = "Event.__new__() ", " required positional argument", " positional arguments but "


@pytest.mark.parametrize("call, message", [
    (lambda: Event(), NEW + "missing 3" + MISSING + "s: 'partition', 'ts', and 'typ'"),
    (lambda: Event("p"), NEW + "missing 2" + MISSING + "s: 'ts' and 'typ'"),
    (lambda: Event(ts=1), NEW + "missing 2" + MISSING + "s: 'partition' and 'typ'"),
    (lambda: Event(None, None), NEW + "missing 1" + MISSING + ": 'typ'"),  # binding precedes conversion
    (lambda: Event("p", 1, "t", None, 5), NEW + "takes from 3 to 4" + TAKES + "5 were given"),
    (lambda: Event("p", 1, "t", **{"é": 1}), NEW + "got an unexpected keyword argument 'é'"),
    (lambda: Event("p", 1, "t", partition="q"), NEW + "got multiple values for argument 'partition'"),
    # too many positional first, then keywords in the order given, then the missing ones
    (lambda: Event(1, 2, 3, 4, 5, bogus=1), NEW + "takes from 3 to 4" + TAKES + "5 were given"),
    (lambda: Event(bogus=1), NEW + "got an unexpected keyword argument 'bogus'"),
    (lambda: Event("p", bogus=1, partition="q"), NEW + "got an unexpected keyword argument 'bogus'"),
    (lambda: Event("p", partition="q", bogus=1), NEW + "got multiple values for argument 'partition'"),
    (lambda: sort_events(), "sort_events() missing 1" + MISSING + ": 'events'"),
    (lambda: sort_events(evts=[]), "sort_events() got an unexpected keyword argument 'evts'"),
    (lambda: sort_events([], events=[]), "sort_events() got multiple values for argument 'events'"),
    (lambda: parse_pattern("A", "B"), "parse_pattern() takes 1" + TAKES + "2 were given"),
    (lambda: pattern_from_json(), "pattern_from_json() missing 1" + MISSING + ": 'json'"),
    (lambda: match_events(P, [], 1, 2, 3), "match_events() takes from 2 to 4" + TAKES + "5 were given"),
    (lambda: near_miss_events(), "near_miss_events() missing 2" + MISSING + "s: 'pattern' and 'events'"),
    (lambda: near_miss_events(1, [], 3), "near_miss_events() takes 2" + TAKES + "3 were given"),
    (lambda: Pattern.event(), "Pattern.event() missing 1" + MISSING + ": 'typ'"),
    (lambda: P.to_json(True, 1), "Pattern.to_json() takes from 0 to 1" + TAKES + "2 were given"),
    (lambda: B.then("B", 1, "C", 4), "PatternBuilder.then() takes from 1 to 3" + TAKES + "4 were given"),
    (lambda: B.capture("a"), "PatternBuilder.capture() missing 1" + MISSING + ": 'name'"),
    (lambda: B.where_gte("a", v=1), "PatternBuilder.where_gte() got an unexpected keyword argument 'v'"),
    (lambda: B.build(1), "PatternBuilder.build() takes 0" + TAKES + "1 was given"),
])
def test_binding_errors(call, message):
    assert message_of(call) == message


def test_keywords_bind_in_any_order():
    event = Event(typ="t", ts=3, partition="p", attrs={"a": 1})
    assert (event.partition, event.ts, event.typ, event.attrs) == ("p", 3, "t", {"a": 1})
    assert sort_events(events=[event])[0].typ == "t"
    assert len(match_events(events=[event], use_oracle=True, pattern=Pattern.event("t"))) == 1


# ---------------------------------------------------------------------------------------------
# Conversion: each converter's message, prefixed with the parameter, in parameter order

UNSORTED = [Event("b", 0, "A"), Event("a", 0, "A")]
STR, SEQ, BOOL = ("object cannot be converted to '%s'" % name for name in ["PyString", "Sequence", "PyBool"])
INT = "object cannot be interpreted as an integer"


@pytest.mark.parametrize("call, message", [
    (lambda: Event(None, 1, "t"), "argument 'partition': 'NoneType' " + STR),
    (lambda: Event("p", 1, Outer.Inner()), "argument 'typ': 'Outer.Inner' " + STR),
    (lambda: Event("p", 1.5, "t"), "argument 'ts': 'float' " + INT),
    (lambda: Event("p", RaisingIndex(TypeError("no index today")), "t"), "argument 'ts': no index today"),
    (lambda: Event("p", 1, "t", [("a", 1)]),
     "argument 'attrs': 'list' object cannot be converted to 'PyDict'"),
    (lambda: Event("p", 1, "t", {"ok": 1, None: 2}), "'NoneType' " + STR),  # attribute names: no prefix
    (lambda: sort_events(None), "argument 'events': 'NoneType' " + SEQ),
    (lambda: sort_events({}), "argument 'events': 'dict' " + SEQ),
    (lambda: sort_events(e for e in []), "argument 'events': 'generator' " + SEQ),
    (lambda: sort_events((Event("p", 1, "t"), 1)),
     "argument 'events': 'int' object cannot be converted to 'Event'"),
    (lambda: parse_pattern(b"A"), "argument 'text': 'bytes' " + STR),
    (lambda: pattern_from_json(None), "argument 'json': 'NoneType' " + STR),
    (lambda: P.to_json(pretty=1), "argument 'pretty': 'int' " + BOOL),
    (lambda: Pattern.event(3), "argument 'typ': 'int' " + STR),
    (lambda: B.where_eq(1, [1]), "argument 'attribute': 'int' " + STR),
    (lambda: B.where_lt("x", [1]), VALUE_MESSAGE),  # values carry no parameter name
    (lambda: B.capture("a", None), "argument 'name': 'NoneType' " + STR),
    (lambda: B.then(1, within=1.5, no=2), "argument 'typ': 'int' " + STR),
    (lambda: B.then("B", within=1.5, no=2), "argument 'within': 'float' " + INT),
    (lambda: B.then("B", no=5), "argument 'no': 'int' " + STR),
    # match_events: events, then the flags, then the order, then the pattern
    (lambda: match_events("A", None, exhaustive=1), "argument 'events': 'NoneType' " + SEQ),
    (lambda: match_events("A", UNSORTED, exhaustive=1), "argument 'exhaustive': 'int' " + BOOL),
    (lambda: match_events("A", UNSORTED, use_oracle=None), "argument 'use_oracle': 'NoneType' " + BOOL),
    (lambda: near_miss_events(None, None), "argument 'events': 'NoneType' " + SEQ),
    (lambda: match_events("A -> B", []), COERCE_MESSAGE),
    (lambda: match_events(Pattern, []), COERCE_MESSAGE),
    (lambda: near_miss_events({"steps": []}, []), COERCE_MESSAGE),
])
def test_conversion_errors(call, message):
    assert message_of(call) == message


@pytest.mark.parametrize("function", [match_events, near_miss_events])
@pytest.mark.parametrize("pattern", [None, "A", P])
def test_event_order_is_checked_before_the_pattern(function, pattern):
    assert message_of(lambda: function(pattern, UNSORTED), ValueError) == ORDER_MESSAGE


def test_str_is_refused_as_an_event_list():
    message = message_of(lambda: near_miss_events(P, "ab"))
    assert message.startswith("argument 'events': ") and "Sequence" not in message


@pytest.mark.parametrize("error", [TypeError("wrapped"), type("Sub", (TypeError,), {})(), KeyError("key")])
def test_only_an_exact_type_error_is_prefixed_and_it_keeps_its_cause(error):
    error.__cause__ = cause = ValueError("root")
    with pytest.raises(type(error)) as caught:
        Event("p", RaisingIndex(error), "t")
    if type(error) is TypeError:
        assert (str(caught.value), caught.value.__cause__) == ("argument 'ts': wrapped", cause)
    else:
        assert caught.value is error


@pytest.mark.parametrize("call, error", [
    (lambda: Event("p", 2**63, "t"), OverflowError),
    (lambda: Event("p", Index(-(2**63) - 1), "t"), OverflowError),
    (lambda: B.then("B", within=2**63), OverflowError),
    (lambda: Event("\ud800", 1, "t"), UnicodeEncodeError),
    (lambda: Event("p", 1, "t", {"\udc80": 1}), UnicodeEncodeError),
])
def test_interpreter_errors_pass_through(call, error):
    with pytest.raises(error):
        call()


# ---------------------------------------------------------------------------------------------
# Internal failures


def panic(attrs):
    with pytest.raises(BaseException) as caught:
        Event("p", 1, "t", attrs)
    assert type(caught.value).__name__ == "PanicException"
    return caught.value


def growing_attrs():
    attrs = {}

    class Grow:
        def __index__(self):
            attrs["late"] = 1
            return 1

    attrs["x"] = Grow()
    return attrs


def test_panic_exception_is_a_base_exception_created_once():
    first, second = panic(growing_attrs()), panic(growing_attrs())
    assert type(first) is type(second) is vashlet.PanicException is _core.PanicException
    assert not isinstance(first, Exception)
    assert str(first) == "dictionary changed size during iteration"
    assert "PanicException" not in _core.__all__


# A native allocation that fails: a million events handed to the matcher with 16 MiB of address
# space to spare.
OUT_OF_MEMORY = """
import resource
from vashlet import Event, match_events, parse_pattern
events = [Event("b", t, "A") for t in range(1_000_000)]
size = int(open("/proc/self/statm").read().split()[0]) * resource.getpagesize()
resource.setrlimit(resource.RLIMIT_AS, (size + (16 << 20), size + (16 << 20)))
try:
    match_events(parse_pattern("A -> A"), events, threads=1)
except MemoryError as error:
    print(error)
"""


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="needs RLIMIT_AS")
@pytest.mark.skipif("LD_PRELOAD" in __import__("os").environ, reason="sanitizers reserve address space")
def test_native_memory_error_has_a_message():
    import subprocess

    done = subprocess.run([sys.executable, "-c", OUT_OF_MEMORY], capture_output=True, text=True,
                          timeout=120)
    assert done.stdout == (
        "out of memory: the native code could not allocate the memory the call needs\n"
    ), done.stderr


def test_a_rekeyed_dict_panics_without_reading_freed_entries():
    attrs = {}

    class Rekey:
        def __index__(self):
            del attrs["".join(["fi", "rst"])]  # drops the only reference to the key
            attrs["third"] = 3
            return 1

    attrs["".join(["fi", "rst"])] = Rekey()
    attrs["second"] = 2
    assert str(panic(attrs)) == "dictionary keys changed during iteration"


def test_the_stub_declares_what_the_module_has_and_no_test_hooks():
    import ast
    from pathlib import Path

    from vashlet import _core

    tree = ast.parse(Path(_core.__file__).with_name("_core.pyi").read_text())
    declared = {node.name for node in tree.body if isinstance(node, (ast.FunctionDef, ast.ClassDef))}
    declared |= {node.target.id for node in tree.body if isinstance(node, ast.AnnAssign)}
    assert {name for name in declared if not hasattr(_core, name)} == {"_TableCall"}
    assert set(_core.__all__) <= declared
    hooks = {"_read_table", "_time_matching", "_cgroup_quota_cores"}
    assert all(hasattr(_core, name) for name in hooks)  # still there for the tests and bench
    assert not hooks & (declared | set(importlib.import_module("vashlet").__all__))
